// The small clause parsers: ORDER BY and GROUP BY items, and SQL data types (for CREATE/ALTER
// TABLE and CAST).
#pragma once

#include <cstdint>
#include <string>

#include "engine/sql/zanBaseParser.h"
#include "host/db/DB.h"
#include "host/rtl/Collections.h"

namespace zan {

class TOrderByItem : public TCollectionItem {
public:
    ZAN_CLASS(TOrderByItem)
    int32_t FieldIndex = 0; // 1-based result column when given by number, else 0
    std::string SortKey;    // the key's text when given by name or expression
    bool Descending = false;
    void Assign(const TCollectionItem& source) override;
};

class TOrderByItems : public TCollectionT<TOrderByItem> {
public:
    ZAN_CLASS(TOrderByItems)
    TOrderByItem* AddOrderByItem(int32_t fieldIndex, const std::string& sortKey, bool descending);
};

class TGroupByItem : public TCollectionItem {
public:
    ZAN_CLASS(TGroupByItem)
    std::string TableName; // empty when not qualified
    std::string FieldName;
    int32_t ResultSetIndex = 0; // filled by the select analyser
    void Assign(const TCollectionItem& source) override;
};

class TGroupByItems : public TCollectionT<TGroupByItem> {
public:
    ZAN_CLASS(TGroupByItems)
};

// ORDER BY { number | key } [ASC | DESC] { , ... }.
class TZanOrderByParser : public TBaseParser {
public:
    TZanOrderByParser();
    // Clears the items; with a stack, parses the clause into them. True without error.
    bool ExecuteOrderBy(TOrderByItems& items, TParserStack* stack);

private:
    bool AtKeyEnd() const;
    void ParseItems(TOrderByItems& items);
};

// GROUP BY [table.]column { , ... }.
class TZanGroupByParser : public TBaseParser {
public:
    TZanGroupByParser();
    bool ExecuteGroupBy(TGroupByItems& items, TParserStack* stack);

private:
    void ParseItems(TGroupByItems& items);
};

// An SQL data type: type word, optional (size[, scale]), with constraints NOT NULL.
class TZanDataTypeParser : public TBaseParser {
public:
    // Resets InvalidDataTypes to {zstAutoInc}, then runs the base with {zpoExtSyntax} (the
    // options given are not used): takes the first token unless one was inherited.
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;
    // Reads the type at the current token. True without error.
    bool ParseDataType();
    // Scale 0, FieldSize 0 (1 for ftString).
    void SetDefaultsForDataType(TFieldType type);

    TFieldType GetDataType() const { return FDataType; }
    void SetDataType(TFieldType type) { FDataType = type; }
    int32_t GetFieldSize() const { return FFieldSize; }
    void SetFieldSize(int32_t size) { FFieldSize = size; }
    int32_t GetScale() const { return FScale; }
    void SetScale(int32_t scale) { FScale = scale; }
    const TZanSQLTokens& GetInvalidDataTypes() const { return FInvalidDataTypes; }
    void SetInvalidDataTypes(const TZanSQLTokens& tokens) { FInvalidDataTypes = tokens; }
    bool GetAllowConstraints() const { return FAllowConstraints; }
    void SetAllowConstraints(bool value) { FAllowConstraints = value; }
    bool GetNotNull() const { return FNotNull; }
    void SetNotNull(bool value) { FNotNull = value; }

private:
    void ParseSpecification();
    bool ReadSpecificationNumber(int32_t& value, std::string_view error);

    TFieldType FDataType = ftUnknown;
    int32_t FFieldSize = 0;
    int32_t FScale = 0;
    TZanSQLTokens FInvalidDataTypes = ZanSQLTokens({zstAutoInc});
    bool FAllowConstraints = false;
    bool FNotNull = false;
};

} // namespace zan
