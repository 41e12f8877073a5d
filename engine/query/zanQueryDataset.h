// The dataset a statement's rows are produced in: for a SELECT the in-memory result table
// ("$Q..." with up to three indexes: "idxorderby", "idxgroupby", "idxdistinct") that the query
// component then opens; for INSERT, DELETE and UPDATE the cursor on the target table through
// which rows are written. Beside it the result columns (TResultSetFields) and the aggregate
// accumulators (TFuncResultList -> TFuncResultHolder -> TFuncResultItem).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/sql/zanExecParsers.h"
#include "engine/sql/zanExprEvaluator.h"
#include "engine/sql/zanSelectParser.h"
#include "engine/query/zanJoinDataProviderUnit.h"

namespace zan {

// One output column: where its value comes from (a provider's field, or an evaluator over the
// column's expression), and the value INSERT writes.
class TResultSetField : public TJoinFieldItem {
public:
    TResultSetField();
    ~TResultSetField() override;
    ZAN_CLASS(TResultSetField)

    const TSelectFieldItem* SelectFieldItem = nullptr; // not owned
    std::string SourceFieldName;
    // The select-list text when the field name had to be cut from it; else empty.
    std::string DisplayName;
    // Prepared only for computed columns.
    TExprEvaluator& GetEvaluator() { return *FEvaluator; }
    // Computed columns (expressions, aggregates) are read-only in a live result.
    bool IsComputed() const { return FComputed; }
    void SetComputed(bool value) { FComputed = value; }
    Variant GetData() const { return FData; }
    void SetData(const Variant& value) { FData = value; }
    // The column's value for the provider's current row.
    Variant GetValue();

private:
    std::unique_ptr<TExprEvaluator> FEvaluator;
    Variant FData;
    bool FComputed = false;
};

class TResultSetFields : public TJoinFields {
public:
    TResultSetFields();
    ZAN_CLASS(TResultSetFields)
    TResultSetField* Add() { return static_cast<TResultSetField*>(TCollection::Add()); }
    TResultSetField* Items(int i) const {
        return static_cast<TResultSetField*>(TCollection::Items(i));
    }
    // The first column whose output name equals name (any case), or whose select item's source
    // name, column name or trimmed expression text does.
    TResultSetField* FindResultSetField(const std::string& name) const;
    // The column a reference qualifier.name means: with a qualifier, first the plain column of
    // the table it names (ColumnReferenceRank); else as FindResultSetField finds it.
    TResultSetField* FindReferencedField(std::string_view qualifier, const std::string& name) const;
};

// One aggregate of one row: its function, DISTINCT, a count and a running value. MAX and MIN
// keep the value in its own type (strings by the database comparison); SUM and AVG run in
// doubles. DISTINCT values are kept in a temporary table of the holder's "MEMORY" database.
class TFuncResultHolder;
class TFuncResultItem : public TCollectionItem {
public:
    TFuncResultItem();
    ~TFuncResultItem() override;
    ZAN_CLASS(TFuncResultItem)

    int32_t FieldNo = -1;
    const TZanExprNode* AggNode = nullptr; // the aggregate node this item accumulates
    TZanSQLAggFunc AggFunc = zafUnknown;
    bool Distinct = false;
    TFieldType ValueType = ftUnknown;
    std::string ArgumentName;

    void SetNewValue(const Variant& value, TZanCompareFunc compare);
    // COUNT(*): every row counts.
    void CountRow() { ++FCounter; }
    Variant GetResult(TZanCompareFunc compare);

private:
    TZanTable& DistinctTable();
    // Integers of an integer column are kept distinct in memory; any other value moves them
    // into the table, which then takes every value.
    bool AddDistinctInteger(const Variant& value);
    void MoveDistinctIntegersToTable();
    // Counts the value and adds it to the running sum or extreme.
    void Accumulate(const Variant& value, TZanCompareFunc compare);
    int64_t FCounter = 0;
    double FSum = 0;
    Variant FExtreme;
    std::unique_ptr<TZanTable> FDistinctTable;
    std::set<int64_t> FDistinctIntegers;
    bool FIntegersInTable = false; // the table took over
};

class TFuncResultHolder : public TCollection {
public:
    explicit TFuncResultHolder(uint32_t recAddr);
    ~TFuncResultHolder() override;
    ZAN_CLASS(TFuncResultHolder)
    TFuncResultItem* Add() { return static_cast<TFuncResultItem*>(TCollection::Add()); }
    TFuncResultItem* Items(int i) const {
        return static_cast<TFuncResultItem*>(TCollection::Items(i));
    }
    uint32_t GetRecAddr() const { return FRecAddr; }
    const std::string& GetBaseTableName() const { return FBaseTableName; }
    // The private "MEMORY" database of the DISTINCT accumulators, shared by every holder of one
    // population.
    TZanDataBase* GetDatabase() const { return FDatabase; }
    void SetDatabase(TZanDataBase* db) { FDatabase = db; }

private:
    uint32_t FRecAddr;
    std::string FBaseTableName;
    TZanDataBase* FDatabase = nullptr; // not owned
};

// The holders of one population, found by the row's record address.
class TFuncResultList {
public:
    TFuncResultList();
    ~TFuncResultList();
    TFuncResultHolder& Add(uint32_t recAddr);
    TFuncResultHolder* Find(uint32_t recAddr) const;
    // The memory database of the DISTINCT aggregates' value tables, comparing strings in the
    // given order (the query's, as the values are compared everywhere else).
    TZanDataBase& GetDistinctDatabase(TSortOrder order);

private:
    std::vector<std::unique_ptr<TFuncResultHolder>> FHolders;
    std::unordered_map<uint32_t, TFuncResultHolder*> FByAddr;
    std::unique_ptr<TZanDataBase> FDistinctDb;
};

// Drops an in-memory result table of the database.
void DropResultTable(TZanDataBase& db, const std::string& name);

// The hidden integer field of a result table whose "idxorderby" keys only the leading ORDER BY
// items: the place of a row among those that share them.
inline constexpr const char* C_SORT_TIE_FIELD = "__SortTie";
// The hidden hash fields of a cut "idxgroupby" and a cut "idxdistinct" (TResultKey::HashField),
// each with a suffix when a result column has that name.
inline constexpr const char* C_GROUP_HASH_FIELD = "__GroupHash";
inline constexpr const char* C_DISTINCT_HASH_FIELD = "__DistinctHash";

class TZanQueryDataset : public TZanBaseTable {
public:
    explicit TZanQueryDataset(TComponent* owner = nullptr);
    ~TZanQueryDataset() override;
    ZAN_CLASS(TZanQueryDataset)

    void SetProviderMgr(TZanJoinDataProviderMgr* mgr) { FProviderMgr = mgr; }
    TZanJoinDataProviderMgr* GetProviderMgr() const { return FProviderMgr; }
    int32_t GetMaxRecords() const { return FMaxRecords; }
    void SetMaxRecords(int32_t value) { FMaxRecords = value; }
    int32_t GetRowsAffected() const { return FRowsAffected; }
    void SetCreateLiveResult(bool value) { FCreateLiveResult = value; }
    bool GetCreateLiveResult() const { return FCreateLiveResult; }
    // The comparison of the table's sort order.
    TZanCompareFunc GetDBStringCompare() const;

    // --- Read side ------------------------------------------------------------------------------
    // Creates the in-memory result table from the field and index definitions, or empties the
    // one made by an earlier run.
    void PrepareEmptyResultSet(bool defsExist);
    void CreateResultSetTable();
    void PopulateResultSet(TResultSetFields& fields, bool distinct);
    // Groups (grouped) or one row, the aggregates accumulated per aggregate node, then HAVING
    // (when given) removes the groups that fail. COUNT(*) alone over one table without a WHERE
    // (whereEvaluated false) takes the table's count.
    void PopulateAggregateResultSet(TResultSetFields& fields, bool grouped, TZanExprNode* having,
                                    bool whereEvaluated);
    void PopulateSimpleCountResultSet(int32_t count);
    void SetReadOnlyResultFields(TResultSetFields& fields);
    // Every record address the single-table root provider delivers.
    void PopulateResultSetAddrList(std::vector<uint32_t>& list);

    // --- Write side -----------------------------------------------------------------------------
    void InsertData(TResultSetFields& fields);
    // checkRequired: the rows go to a statement's target table, whose NOT NULL fields must get
    // values (a UNION's result table takes its members' NULLs).
    void InsertDataFromDataset(TResultSetFields& fields, TDataSet& source, bool resetCount,
                               bool distinct, bool checkRequired);
    void DeleteData(bool allRows, std::vector<uint32_t>& list);
    // The SET values are evaluated over provider, moved to each row (MoveToRecord) first.
    void UpdateData(bool allRows, std::vector<uint32_t>& list, TZanUpdateRowConstructor& setList,
                    TZanExprDataProvider* provider);
    void UpdateCurrentRecord(TZanUpdateRowConstructor& setList);
    // Deletes every row equal over the named index's columns to an earlier row in its order.
    void RemoveDuplicates(const std::string& indexName);
    // The columns a result index orders or matches rows by ("idxorderby": the ORDER BY items;
    // "idxgroupby": the grouped columns; "idxdistinct": every column), as result field numbers
    // in key order with their directions, and how many of them the index keys. When all of them
    // would pass the key-size limit the index keys the leading ones: rows that share those are
    // told apart by the others when they are read (KeyAddress, RemoveDuplicates), and ordered
    // by them through the hidden tie field that "idxorderby" keys after them (OrderKeyTies).
    // A cut "idxgroupby" or "idxdistinct" keys a hidden integer field after the keyed columns,
    // HashField, holding a hash of the other columns (equal values hash alike under the
    // table's comparison), so that rows sharing a long leading part fall into small runs: a
    // probe and a duplicate sweep compare only the rows of one run.
    struct TResultKey {
        std::vector<int32_t> Columns;
        std::vector<bool> Descending;
        int32_t Keyed = 0;
        std::string HashField;
        mutable int32_t HashFieldNo = -1; // resolved at the first use
        bool Whole() const { return size_t(Keyed) >= Columns.size(); }
        bool Hashed() const { return !Whole() && !HashField.empty(); }
    };
    void SetResultKey(const std::string& indexName, TResultKey key);
    void ClearResultKeys() { FResultKeys.clear(); }
    // The hash fields the result keys name (the result table needs them as integer fields).
    std::vector<std::string> GetKeyHashFields() const;
    bool IsKeyHashField(const std::string& name) const;
    // Whether "idxorderby" keys fewer columns than it orders by (the result table then needs
    // the tie field).
    bool GetOrdersKeyTies() const;
    // The tie field's name: C_SORT_TIE_FIELD, with a suffix when a result column has that name.
    void SetSortTieField(std::string name) { FSortTieField = std::move(name); }
    const std::string& GetSortTieField() const { return FSortTieField; }
    // Gives the rows that share the keyed columns of "idxorderby" their places by its other
    // columns (rows alone in their keyed values keep a NULL tie field).
    void OrderKeyTies();
    // While HAVING is checked the current record is a group's result row: the value there of
    // the grouped column a source column reference names, which the outer references of
    // subqueries in HAVING read. False outside HAVING or when no grouped column is named so.
    bool HavingColumnValue(const TResultSetFields& fields, const std::string& table,
                           const std::string& field, Variant& value);
    void SetRowsAffected(int32_t value) { FRowsAffected = value; }
    // The instant CURRENT_* read in this execution.
    void SetInstant(TDateTime value) { FInstant = value; }

private:
    // Opens the cursor level of the table when it is not.
    void EnsureOpen();
    // The address of every record of the table.
    void ListAllRecords(std::vector<uint32_t>& list);
    // Writes value into field n of the cursor buffer (blobs through a stream of its text).
    void WriteValue(int32_t n, const Variant& value);
    // Refuses (9732) a record in the cursor buffer that leaves a NOT NULL field NULL.
    void CheckRequiredFields();
    // The address of a row equal to the cursor buffer's key in the named index, and over the
    // index's columns the key leaves out; 0 when none.
    uint32_t KeyAddress(const std::string& indexName);
    const TResultKey* FindResultKey(const std::string& indexName) const;
    // Writes each hashed result key's hash of the cursor buffer's row into its field; called
    // before a row is probed, added or rewritten.
    void StampKeyHashes();
    // The field number of a hashed key's hash field.
    int32_t KeyHashFieldNo(const TResultKey& key) const;
    // -1, 0, 1 as a result index orders two values of a column: NULL lowest, strings by the
    // table's comparison.
    int CompareColumnValues(const Variant& a, const Variant& b) const;
    // Whether the values first..last - 1 are the same in both rows (NULLs equal).
    bool SameColumns(const std::vector<Variant>& a, const std::vector<Variant>& b, size_t first,
                     size_t last) const;
    // The values of the given fields of a record buffer, from the first'th on.
    std::vector<Variant> RowValues(const uint8_t* recBuf, const std::vector<int32_t>& columns,
                                   size_t first = 0);
    void AddResultRow();
    void FillRow(TResultSetFields& fields, bool skipAggregates);

    TZanJoinDataProviderMgr* FProviderMgr = nullptr; // not owned
    int32_t FMaxRecords = 0;
    int32_t FRowsAffected = 0;
    bool FCreateLiveResult = false;
    TDateTime FInstant = 0;
    std::map<std::string, TResultKey> FResultKeys; // by index name
    std::string FSortTieField = C_SORT_TIE_FIELD;
    bool FHavingRow = false; // HAVING is being checked on the current record
};

} // namespace zan
