// The select list of a SELECT: a chain of select nodes (TZanSelectParser), then the statement's
// output columns (TZanSelectAnalyser filling a TSelectFields) with the GROUP BY, HAVING,
// ORDER BY, DISTINCT and UNION rules checked against them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanMiscParsers.h"
#include "engine/sql/zanParserUtils.h"
#include "engine/storage/zanDataUnit.h"

namespace zan {

enum TSelectNodeType : uint8_t { snSingleColumn, snGroupColumn, snAggFunc };

// The most columns a DISTINCT select may have.
inline constexpr int C_MAXDISTINCTCOLUMNS = 32;

// One select-list entry.
class TZanSelectNode {
public:
    TZanSelectNode() = default;
    TZanSelectNode(const TZanSelectNode&) = delete;
    TZanSelectNode& operator=(const TZanSelectNode&) = delete;

    TSelectNodeType SelectNodeType = snSingleColumn;
    TZanExpr Expr;
    const TParserToken* Token = nullptr; // where the entry began (owned by the pre-parser)
    std::string Qualifier;               // of "name.*"; empty for "*"
    std::string RawColumnName;           // the entry's trimmed text
    std::string OutputColumnName;        // after AS; empty when none
    TZanSelectNode* Next = nullptr;

    void Display(const std::string& indent, TStrings& lines) const;
    static void DisplayList(const TZanSelectNode* first, TStrings& lines);
};

class TZanSelectParser : public TBaseParser {
public:
    TZanSelectParser();
    void Clear() override;
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;
    void SetTableList(TTableList* list) { FTableList = list; }
    bool GetIsDistinct() const { return FIsDistinct; }
    void SetIsDistinct(bool value) { FIsDistinct = value; }
    TZanSelectNode* GetFirstNode() const { return FNodes.empty() ? nullptr : FNodes.front().get(); }
    int GetNodeCount() const { return static_cast<int>(FNodes.size()); }
    void DebugDisplay(TStrings& lines) const { TZanSelectNode::DisplayList(GetFirstNode(), lines); }

private:
    TZanSelectNode* NewNode(TSelectNodeType type);
    void ParseDerivedColumn(TZanSelectNode* node);

    std::vector<std::unique_ptr<TZanSelectNode>> FNodes;
    TTableList* FTableList = nullptr; // not owned
    bool FIsDistinct = false;
};

class TSelectFieldItem : public TInternalFieldItem {
public:
    ZAN_CLASS(TSelectFieldItem)
    const TZanExprNode* ExprRoot = nullptr;    // the column's expression (owned by its node)
    const TZanExprNode* AggExprRoot = nullptr; // an aggregate column's argument
    TZanSQLAggFunc AggFunc = zafUnknown;
    bool DistinctQuantifier = false;
    bool HasAggregateFunction = false;
    bool IsGrouped = false;
    std::string RawColumnName;
    std::string SourceFieldName;
    const TTableNameItem* SourceTableItem = nullptr; // not owned
    std::string CustomQualifier;
    void Assign(const TCollectionItem& source) override;
};

class TSelectFields : public TInternalFields {
public:
    TSelectFields();
    ZAN_CLASS(TSelectFields)
    TSelectFieldItem* Add() { return static_cast<TSelectFieldItem*>(TInternalFields::Add()); }
    TSelectFieldItem* Items(int index) const {
        return static_cast<TSelectFieldItem*>(TCollection::Items(index));
    }
    // A column copied from a table field.
    TSelectFieldItem* AddSelectField(const std::string& name, const std::string& sourceField,
                                     const TInternalFieldItem& field, const TTableNameItem* table);
    bool ContainsAggregateColumns() const;
    bool ContainsGroupedOutput() const;
    TSelectFieldItem* FindField(std::string_view name) const;
    // By output name or raw text (a bracketed one also by the name inside the brackets); with a
    // qualifier, also by source table and source field.
    TSelectFieldItem* FindColumn(std::string_view qualifier, std::string_view name) const;
    // The column a reference qualifier.name in ORDER BY, GROUP BY or HAVING means: with a
    // qualifier, first the plain column of the table it names (ColumnReferenceRank 1, then 2);
    // else as FindColumn finds it.
    TSelectFieldItem* FindReference(std::string_view qualifier, std::string_view name) const;
};

// How a plain column answers the reference qualifier.field (either may be bracketed): 1 when
// the qualifier is its table's alias or the name of its unaliased table, 2 when it is the table
// name of its aliased table, 0 otherwise (another table or field, or no plain column). The
// smaller rank wins, as a qualified name finds its table.
int ColumnReferenceRank(const TSelectFieldItem& column, std::string_view qualifier,
                        std::string_view field);

class TZanSelectAnalyser {
public:
    bool CheckSelect(const TZanSelectNode* first, const TTableList* tables);
    bool CheckGroupedColumns(const TGroupByItems* items);
    bool CheckHavingExpr(TZanExpr* expr);
    bool CheckOrderByColumns(const TOrderByItems* items);
    bool ValidateUnionSelectFields(const TSelectFields* other);

    TSelectFields& GetSelectFields() { return FSelectFields; }
    const TSelectFields& GetSelectFields() const { return FSelectFields; }
    void SetSelectFields(const TSelectFields& fields) { FSelectFields.Assign(fields); }
    bool GetIsDistinct() const { return FIsDistinct; }
    void SetIsDistinct(bool value) { FIsDistinct = value; }
    const std::string& GetErrorText() const { return FErrorText; }

private:
    void PrepareAllFields();
    void AddFieldsForTable(const TTableNameItem& table);
    void AnalyseColumnNode(const TZanSelectNode& node);
    std::string UniqueName(const std::string& name);
    void CheckDistinct();
    void InternalCheckHavingExpr(TZanExpr& expr);
    void CheckHavingFieldRefs(const TZanExprNode* root);
    void SetError(std::string text) {
        if (FErrorText.empty()) FErrorText = std::move(text);
    }

    TSelectFields FSelectFields;
    // Upper-cased names of the select fields seen so far, and for each base name the next
    // suffix to try, so that naming the columns of "*" over many tables stays linear.
    std::unordered_set<std::string> FTakenNames;
    std::unordered_map<std::string, int> FNextSuffix;
    int FTakenCount = 0;
    const TZanSelectNode* FFirstNode = nullptr;
    const TTableList* FTableList = nullptr;
    bool FIsDistinct = false;
    std::string FErrorText;
};

} // namespace zan
