#include "support/zanMemProvider.h"

#include "host/rtl/SysUtils.h"

namespace zan {

TZanMemProvider::TZanMemProvider(std::string name, TSortOrder order) : FName(std::move(name)) {
    SetSortOrder(order);
}

void TZanMemProvider::SetSortOrder(TSortOrder order) {
    SetDBStringCompare(order == soASCII ? DBASCIICompareStrings : DBANSICompareStrings);
}

TInternalFieldItem* TZanMemProvider::AddField(const std::string& name, TFieldType type,
                                              int32_t size) {
    TInternalFields& fields = GetProviderFields();
    TInternalFieldItem* f = fields.Add();
    f->SetFieldName(name);
    f->SetDataType(type);
    if (type == ftString) {
        f->SetIsVariable(true);
        f->SetFieldSize(size + 1); // the writable size is the declared one
    }
    f->SetFieldNo(fields.Count());
    f->SetFieldIndex(fields.Count() - 1);
    return f;
}

void TZanMemProvider::AddRow(std::vector<Variant> values) {
    values.resize(static_cast<size_t>(GetProviderFields().Count()), Null());
    FRows.push_back(std::move(values));
}

void TZanMemProvider::AddToTableList(TTableList& list, const std::string& correlation) const {
    TTableNameItem* item = list.Add();
    item->SetTableName(FName);
    item->SetCorrelationName(correlation);
    item->SetTableFields(FProviderFields.get());
}

Variant TZanMemProvider::GetDataAsVariant(int32_t fieldNo) {
    ++ValueReads;
    if (FCurrent < 0 || FCurrent >= RowCount()) return Null();
    return FRows[static_cast<size_t>(FCurrent)].at(static_cast<size_t>(fieldNo));
}

bool TZanMemProvider::IsFieldNull(int32_t fieldNo) {
    ++NullFlagReads;
    if (FCurrent < 0 || FCurrent >= RowCount()) return true;
    return VarIsNull(FRows[static_cast<size_t>(FCurrent)].at(static_cast<size_t>(fieldNo)));
}

void TZanMemProvider::GetDefaultRecordList(TCompoundList& list) {
    list.Clear();
    for (int i = 1; i <= RowCount(); ++i)
        list.Add(i, i);
    SetBaseRecNo(1);
}

bool TZanMemProvider::MoveToRecord(int32_t recordAddress) {
    if (recordAddress < 1 || recordAddress > RowCount()) return false;
    FCurrent = recordAddress - 1;
    return true;
}

TZanExprDataProvider* TZanMemProvider::FindProvider(std::string_view name) {
    if (SameText(name, FName)) return this;
    for (TZanMemProvider* p : FNamed)
        if (SameText(name, p->GetName())) return p;
    return nullptr;
}

TZanMemSubqueryProvider::TZanMemSubqueryProvider(
    std::vector<std::pair<std::string, TFieldType>> fields, std::vector<std::vector<Variant>> rows)
    : FDataSet(std::make_unique<TMemDataSet>()), FRows(std::move(rows)) {
    for (const auto& [name, type] : fields)
        FDataSet->GetFieldDefs().Add(name, type, type == ftString ? 40 : 0);
    SetProviderDataset(FDataSet.get());
}

bool TZanMemSubqueryProvider::PrepareAndOpen() {
    ++Opens;
    if (FailOpen) return false;
    if (!FDataSet->GetActive()) {
        FDataSet->Open();
        for (const auto& row : FRows)
            FDataSet->AppendRecord(row);
    }
    FDataSet->First();
    return true;
}

} // namespace zan
