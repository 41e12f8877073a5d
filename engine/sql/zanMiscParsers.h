// The small clause parsers: ORDER BY and GROUP BY items, SQL data types (for CREATE/ALTER
// TABLE and CAST) and the schema statements (CREATE, ALTER and DROP of tables and indexes).
#pragma once

#include <cstdint>
#include <string>

#include "engine/sql/zanBaseParser.h"
#include "engine/storage/zanDataUnit.h"
#include "host/rtl/StringList.h"
#include "host/db/DB.h"
#include "host/rtl/Collections.h"

namespace zan {

class TOrderByItem : public TCollectionItem {
public:
    ZAN_CLASS(TOrderByItem)
    int32_t FieldIndex = 0; // 1-based result column when given by number, else 0
    std::string SortKey;    // the key's text when given by name or expression
    int32_t ResultSetIndex = -1; // 0-based result column the select analyser found, else -1
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
    void ParseSizeAndScale();
    bool ReadSizeNumber(int32_t& value, std::string_view error);

    TFieldType FDataType = ftUnknown;
    int32_t FFieldSize = 0;
    int32_t FScale = 0;
    TZanSQLTokens FInvalidDataTypes = ZanSQLTokens({zstAutoInc});
    bool FAllowConstraints = false;
    bool FNotNull = false;
};

class TRestructureFieldDefs;
class TRestructureIndexDefs;

enum TSQLSchemaManipulationOp : uint8_t {
    ddUnknown,
    ddCreateTable,
    ddAlterTable,
    ddCreateIndex,
    ddDropTable,
    ddDropIndex
};
enum TAlterColumnOperation : uint8_t {
    aoUnknown,
    aoAdd,
    aoDrop,
    aoAlterAny,
    aoAlterName,
    aoAlterType
};

// CREATE TABLE, ALTER TABLE, CREATE INDEX, DROP TABLE and DROP INDEX: what the statement asks
// for, its validation against the table and its application to restructure definitions.
class TZanSchemaManipulationParser : public TBaseParser {
public:
    TZanSchemaManipulationParser();
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;
    // Against the table's present fields and index definitions (indexes needed by DROP INDEX).
    bool ValidateTableChanges(const TInternalFields& tableFields,
                              const TRestructureIndexDefs* indexDefs);
    void SetRestructureFieldDefs(TRestructureFieldDefs& defs) const;
    void SetRestructureIndexDefs(TRestructureIndexDefs& defs) const;
    // The index columns joined by ";".
    std::string GetIndexFieldsAsText() const;

    TSQLSchemaManipulationOp GetOperation() const { return FOperation; }
    const std::string& GetTableName() const { return FTableName; }
    void SetTableName(const std::string& name) { FTableName = name; }
    bool GetTemporaryTable() const { return FTemporaryTable; }
    void SetTemporaryTable(bool value) { FTemporaryTable = value; }
    const std::string& GetIndexName() const { return FIndexName; }
    TIndexOptions GetIndexOptions() const { return FIndexOptions; }
    const TInternalFields& GetAddedFields() const { return FAdded.Fields; }
    const TInternalFields& GetDroppedFields() const { return FDropped.Fields; }
    const TInternalFields& GetAlteredFields() const { return FAltered.Fields; }
    // aoAlterName or aoAlterType of the altered field at index i.
    TAlterColumnOperation GetAlterOperation(int i) const { return FAlterOps.at(i); }
    const TStringList& GetIndexColumns() const { return FIndexColumns; }

private:
    // A field list whose items remember the token of their names.
    struct TNamedFields {
        TInternalFields Fields;
        std::vector<TParserToken> Tokens;
        TInternalFieldItem* Add(const TParserToken& token);
        void Clear() {
            Fields.Clear();
            Tokens.clear();
        }
    };
    bool Expect(TZanSQLToken token, std::string_view error);
    // A name token (else "Invalid token"); its text, the token consumed.
    bool TakeName(std::string& name);
    void ParseCreate();
    void ParseCreateTable();
    void ParseCreateIndex();
    void ParseAlter();
    void ParseDrop();
    // name data-type [NOT NULL] into list.
    void ParseColumnDefinition(TNamedFields& list);
    // Reads a data type at the current token into the item.
    void ParseDataTypeInto(TInternalFieldItem& item);
    void ParseIndexColumns();
    bool ErrorAt(const TNamedFields& list, int i, std::string_view error);
    // Whether an earlier rename of this statement gives altered field i's new name or renames
    // its source field already.
    bool RenamedBefore(int i) const;

    TSQLSchemaManipulationOp FOperation = ddUnknown;
    std::string FTableName;
    bool FTemporaryTable = false;
    std::string FIndexName;
    TIndexOptions FIndexOptions;
    TNamedFields FAdded, FDropped, FAltered;
    std::vector<TAlterColumnOperation> FAlterOps;
    TStringList FIndexColumns;
    std::vector<TParserToken> FIndexColumnTokens;
};

} // namespace zan
