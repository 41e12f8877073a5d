// The data-changing statements: INSERT, UPDATE and DELETE parsers, and the row constructors
// that hold their values (one element per column), validated against the target table,
// bound to the statement's parameters and evaluated once per written row.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanExprEvaluator.h"
#include "engine/sql/zanParserUtils.h"
#include "engine/storage/zanDataUnit.h"
#include "host/db/Params.h"
#include "host/rtl/Collections.h"
#include "host/rtl/StringList.h"

namespace zan {

// One value: a constant in Data, or an expression evaluated per row.
class TZanRowConstructorElement : public TCollectionItem {
public:
    TZanRowConstructorElement();
    ~TZanRowConstructorElement() override;
    ZAN_CLASS(TZanRowConstructorElement)

    Variant Data;
    bool HasParameter = false;
    TParserToken FirstToken; // where the value began, for errors found at validation

    // The expression, created (with its evaluator) on first use.
    TZanExpr* GetExpr();
    bool HasExpr() const { return FExpr != nullptr; }
    // The evaluated expression once prepared; otherwise Data.
    Variant GetRowData();
    // Prepares the evaluator (when there is one) over the provider; NULL comparisons are
    // decided, not excluded. CURRENT_* read the instant when given (one per execution).
    virtual void Prepare(TZanExprDataProvider* provider);
    void Prepare(TZanExprDataProvider* provider, TDateTime instant);
    // Every node that is or was a parameter takes the value of its parameter.
    void BindExprParams(const TParams& params);

private:
    std::unique_ptr<TZanExpr> FExpr;
    std::unique_ptr<TExprEvaluator> FEvaluator;
    TZanExprDataProvider* FProvider = nullptr;
    bool FPrepared = false;
    bool FHasInstant = false;
    TDateTime FInstant = 0;
};

class TZanRowConstructor : public TCollection {
public:
    TZanRowConstructor();
    ZAN_CLASS(TZanRowConstructor)
    TZanRowConstructorElement* Add() { return static_cast<TZanRowConstructorElement*>(TCollection::Add()); }
    TZanRowConstructorElement* Items(int i) const {
        return static_cast<TZanRowConstructorElement*>(TCollection::Items(i));
    }
    virtual void Prepare(TZanExprDataProvider* provider);
    void Prepare(TZanExprDataProvider* provider, TDateTime instant);
    void BindParams(const TParams& params);

protected:
    explicit TZanRowConstructor(TCollectionItemFactory factory);
};

class TZanUpdateRowConstructorElement : public TZanRowConstructorElement {
public:
    ZAN_CLASS(TZanUpdateRowConstructorElement)
    std::string TargetColumnName;
    int32_t TargetColumnIndex = -1; // set by the statement's owner
};

class TZanUpdateRowConstructor : public TZanRowConstructor {
public:
    TZanUpdateRowConstructor();
    ZAN_CLASS(TZanUpdateRowConstructor)
    TZanUpdateRowConstructorElement* Add() {
        return static_cast<TZanUpdateRowConstructorElement*>(TCollection::Add());
    }
    TZanUpdateRowConstructorElement* Items(int i) const {
        return static_cast<TZanUpdateRowConstructorElement*>(TCollection::Items(i));
    }
};

// What the three statement parsers share: statement end, single-token constants, value
// expressions, handing a WHERE or SELECT to the owner, constant conversion at validation.
class TZanExecParser : public TBaseParser {
public:
    const std::string& GetTableName() const { return FTableName; }
    // The subquery node handed to the owner (WHERE, or the SELECT of INSERT ... SELECT).
    TZanExpr& GetSubqueryExpr() { return FSubqueryExpr; }
    bool ValidateAndSetDataTypes(const TInternalFields& fields);

protected:
    bool AtStatementEnd() const;
    // A value that is one token before one of the given tokens becomes a constant at once;
    // False when the value is not such a constant.
    bool TakeSingleConstant(TZanRowConstructorElement& element, const TZanSQLTokens& followers);
    void ParseElementExpr(TZanRowConstructorElement& element, const TZanSQLTokens& endTokens,
                          const TZanParserOptions& options, TTableList* tables);
    void HandOverSubquery();
    // The field each element writes; nullptr when unknown.
    virtual const TInternalFieldItem* TargetField(const TInternalFields& fields, int i) const = 0;
    virtual TZanRowConstructor& Row() = 0;

    std::string FTableName;
    TZanExpr FSubqueryExpr;
};

class TZanInsertParser : public TZanExecParser {
public:
    TZanInsertParser();
    void Clear() override;
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;

    bool ValidateValueColumns(const TInternalFields& fields);
    bool ValidateSelectColumns(const TInternalFields& selectColumns, const TInternalFields& fields);
    bool ValidateColumnsPresent(const TInternalFields& fields);
    void CreateDefaultColumns(const TInternalFields& fields);
    static bool CheckDataConversionValid(TFieldType from, TFieldType to);

    TStringList& GetColumnNames() { return FColumnNames; }
    bool GetColumnsNotSpecified() const { return FColumnsNotSpecified; }
    TZanRowConstructor& GetRowConstructor() { return FRow; }
    bool GetHasSelectClause() const { return FHasSelectClause; }

protected:
    const TInternalFieldItem* TargetField(const TInternalFields& fields, int i) const override;
    TZanRowConstructor& Row() override { return FRow; }

private:
    void ParseColumnList();
    void ParseValueList();
    bool CheckColumnCount(int valueCount);

    TStringList FColumnNames;
    bool FColumnsNotSpecified = true;
    TZanRowConstructor FRow;
    bool FHasSelectClause = false;
};

class TZanDeleteParser : public TZanExecParser {
public:
    TZanDeleteParser();
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;
    void SetTables(TTableList* tables) { FTables = tables; }
    bool GetHasWhereClause() const { return FHasWhereClause; }

protected:
    const TInternalFieldItem* TargetField(const TInternalFields&, int) const override {
        return nullptr;
    }
    TZanRowConstructor& Row() override { return FNoRow; }

private:
    TTableList* FTables = nullptr; // not owned
    bool FHasWhereClause = false;
    TZanRowConstructor FNoRow;
};

using TTableListValidateEvent = std::function<bool(TTableList& tables)>;

class TZanUpdateParser : public TZanExecParser {
public:
    TZanUpdateParser();
    void Clear() override;
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;
    void SetTables(TTableList* tables) { FTables = tables; }
    void SetTableListValidateEvent(TTableListValidateEvent event) { FValidate = std::move(event); }
    bool ValidateValueColumns(const TInternalFields& fields);

    TZanUpdateRowConstructor& GetSetList() { return FSetList; }
    bool GetHasWhereClause() const { return FHasWhereClause; }

protected:
    const TInternalFieldItem* TargetField(const TInternalFields& fields, int i) const override;
    TZanRowConstructor& Row() override { return FSetList; }

private:
    void ParseSetList();

    TTableList* FTables = nullptr; // not owned
    TTableListValidateEvent FValidate;
    TZanUpdateRowConstructor FSetList;
    bool FHasWhereClause = false;
};

} // namespace zan
