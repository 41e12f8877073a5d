// In-memory row sources for the SQL tests: a data provider over rows of Variants, and a
// subquery node provider whose result is the reference dataset of the dataset-framework tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/zanExprEvaluator.h"
#include "engine/storage/zanCommon.h"
#include "host/db/mem_dataset.h"

namespace zan {

// Fields with FieldIndex 0..n-1; rows of Variants (Null = SQL NULL); record addresses 1..n. A
// provider has a name (its table name) and may know other named providers, through which
// qualified field names are placed.
class TZanMemProvider : public TZanExprDataProvider {
public:
    explicit TZanMemProvider(std::string name = {}, TSortOrder order = soASCII);

    TInternalFieldItem* AddField(const std::string& name, TFieldType type, int32_t size = 0);
    void AddRow(std::vector<Variant> values);
    int RowCount() const { return static_cast<int>(FRows.size()); }
    // 0-based; the row the provider reads.
    void SetCurrentRow(int index) { FCurrent = index; }
    int GetCurrentRow() const { return FCurrent; }
    const std::string& GetName() const { return FName; }
    void SetSortOrder(TSortOrder order);
    // Makes another provider reachable by its name (not owned).
    void AddNamedProvider(TZanMemProvider* provider) { FNamed.push_back(provider); }
    // A table-list entry for the parser: the name (and alias) and a copy of the fields.
    void AddToTableList(TTableList& list, const std::string& correlation = {}) const;

    // Counts of value reads and null-flag reads.
    int ValueReads = 0;
    int NullFlagReads = 0;

    Variant GetDataAsVariant(int32_t fieldNo) override;
    bool IsFieldNull(int32_t fieldNo) override;
    void GetDefaultRecordList(TCompoundList& list) override;
    bool MoveToRecord(int32_t recordAddress) override;
    TZanExprDataProvider* FindProvider(std::string_view name) override;

private:
    std::string FName;
    std::vector<std::vector<Variant>> FRows;
    std::vector<TZanMemProvider*> FNamed;
    int FCurrent = 0;
};

// A subquery's rows: PrepareAndOpen opens the reference dataset filled with the rows (once) and
// counts the calls; with FailOpen it answers False.
class TZanMemSubqueryProvider : public TCustomExprNodeDataProvider {
public:
    TZanMemSubqueryProvider(std::vector<std::pair<std::string, TFieldType>> fields,
                            std::vector<std::vector<Variant>> rows);
    bool PrepareAndOpen() override;

    int Opens = 0;
    bool FailOpen = false;

private:
    std::unique_ptr<TMemDataSet> FDataSet;
    std::vector<std::vector<Variant>> FRows;
};

} // namespace zan
