#include "engine/query/zanQueryDataset.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/Streams.h"
#include "host/rtl/SysUtils.h"
#include "host/rtl/VarCompare.h"

namespace zan {

// ---------------------------------------------------------------------------------------------
// Result columns

TResultSetField::TResultSetField() : FEvaluator(std::make_unique<TExprEvaluator>()) {}
TResultSetField::~TResultSetField() = default;

Variant TResultSetField::GetValue() {
    if (!FEvaluator->IsPrepared())
        return GetDataProvider() ? GetDataProvider()->GetDataAsVariant(GetSourceFieldNo()) : Null();
    Variant value;
    FEvaluator->Reset();
    FEvaluator->EvaluateValueExpr(value);
    // A selected condition that is neither true nor false is NULL.
    if (VarIsEmpty(value)) value = Null();
    return value;
}

TResultSetFields::TResultSetFields()
    : TJoinFields([] { return std::make_unique<TResultSetField>(); }) {}

TResultSetField* TResultSetFields::FindResultSetField(const std::string& name) const {
    for (int i = 0; i < Count(); ++i) {
        TResultSetField* f = Items(i);
        if (SameText(f->GetFieldName(), name)) return f;
        const TSelectFieldItem* s = f->SelectFieldItem;
        if (s && (SameText(s->SourceFieldName, name) || SameText(s->GetFieldName(), name) ||
                  SameText(Trim(s->RawColumnName), Trim(name))))
            return f;
    }
    return nullptr;
}

TResultSetField* TResultSetFields::FindReferencedField(std::string_view qualifier,
                                                      const std::string& name) const {
    if (!qualifier.empty())
        for (int rank = 1; rank <= 2; ++rank)
            for (int i = 0; i < Count(); ++i) {
                TResultSetField* f = Items(i);
                if (f->SelectFieldItem &&
                    ColumnReferenceRank(*f->SelectFieldItem, qualifier, name) == rank)
                    return f;
            }
    return FindResultSetField(name);
}

// ---------------------------------------------------------------------------------------------
// Accumulators

TFuncResultItem::TFuncResultItem() = default;
TFuncResultItem::~TFuncResultItem() {
    if (FDistinctTable) {
        FDistinctTable->Close();
        FDistinctTable->SetDataBase(nullptr);
    }
}

namespace {

bool IsStringValue(const Variant& v) {
    return v.Type() == varString;
}

// -1, 0, 1: strings by the database comparison, everything else by the Variant order.
int CompareAggValues(const Variant& a, const Variant& b, TZanCompareFunc compare) {
    if (IsStringValue(a) && IsStringValue(b) && compare) {
        const std::string& x = a.StringRef();
        const std::string& y = b.StringRef();
        const int32_t c = compare(x.data(), int32_t(std::min<size_t>(x.size(), INT32_MAX)),
                                  y.data(), int32_t(std::min<size_t>(y.size(), INT32_MAX)), false,
                                  false);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    switch (VarCompareValue(a, b)) {
    case vrLessThan:
        return -1;
    case vrGreaterThan:
        return 1;
    case vrEqual:
        return 0;
    default:
        return VarCompareValue(Variant(a.AsDouble()), Variant(b.AsDouble())) == vrLessThan ? -1 : 1;
    }
}

double AsNumber(const Variant& v) {
    if (IsStringValue(v)) ZanDatabaseError(9645, "TFuncResultItem.SetNewValue",
                                           "Invalid data type result for agg func");
    return v.AsDouble();
}

} // namespace

TZanTable& TFuncResultItem::DistinctTable() {
    if (FDistinctTable) return *FDistinctTable;
    auto* holder = static_cast<TFuncResultHolder*>(GetCollection());
    ZanAssert(holder && holder->GetDatabase(), "FindFuncResultItem failed");
    auto table = std::make_unique<TZanTable>();
    table->SetDataBase(holder->GetDatabase());
    table->SetTableName(holder->GetBaseTableName() + "_" + std::to_string(FieldNo) + "_" +
                        std::to_string(GetID()));
    table->SetMemory(true);
    TFieldType type = ValueType;
    int32_t size = 0;
    if (type == ftUnknown || type == ftAutoInc) type = type == ftAutoInc ? ftInteger : ftFloat;
    // As wide as the widest string field: a value cut shorter would miss FindKey and then
    // collide with its own cut copy (9729).
    if (type == ftString) size = 256;
    const std::string fieldName = "fld1";
    table->GetFieldDefs().Add(fieldName, type, size, false);
    table->GetIndexDefs().Add("idxvalue", fieldName, {ixPrimary, ixUnique});
    table->CreateTable();
    table->Open();
    FDistinctTable = std::move(table);
    return *FDistinctTable;
}

void TFuncResultItem::Accumulate(const Variant& value, TZanCompareFunc compare) {
    ++FCounter;
    switch (AggFunc) {
    case zafSum:
    case zafAvg:
        FSum += AsNumber(value);
        break;
    case zafMax:
        if (VarIsEmpty(FExtreme) || CompareAggValues(value, FExtreme, compare) > 0)
            FExtreme = value;
        break;
    case zafMin:
        if (VarIsEmpty(FExtreme) || CompareAggValues(value, FExtreme, compare) < 0)
            FExtreme = value;
        break;
    default:
        break;
    }
}

void TFuncResultItem::SetNewValue(const Variant& value, TZanCompareFunc compare) {
    if (VarIsNull(value) || VarIsEmpty(value)) return;
    if (!Distinct) {
        Accumulate(value, compare);
        return;
    }
    if ((AggFunc == zafSum || AggFunc == zafAvg) && IsStringValue(value))
        ZanDatabaseError(9645, "TFuncResultItem.SetNewValue",
                         "Invalid data type result for agg func");
    if (AddDistinctInteger(value)) return;
    TZanTable& t = DistinctTable();
    if (!t.FindKey({value})) t.AppendRecord({value});
}

bool TFuncResultItem::AddDistinctInteger(const Variant& value) {
    const bool integerColumn = ValueType == ftInteger || ValueType == ftAutoInc;
    if (!FIntegersInTable && integerColumn && value.Type() == varInteger) {
        FDistinctIntegers.insert(value.AsInt64());
        return true;
    }
    MoveDistinctIntegersToTable();
    return false;
}

void TFuncResultItem::MoveDistinctIntegersToTable() {
    if (FIntegersInTable) return;
    FIntegersInTable = true;
    if (FDistinctIntegers.empty()) return;
    TZanTable& t = DistinctTable();
    for (int64_t v : FDistinctIntegers)
        if (!t.FindKey({Variant(int32_t(v))})) t.AppendRecord({Variant(int32_t(v))});
    FDistinctIntegers.clear();
}

Variant TFuncResultItem::GetResult(TZanCompareFunc compare) {
    // DISTINCT: the accumulation runs over the distinct values.
    if (Distinct && FDistinctTable) {
        FCounter = 0;
        FSum = 0;
        FExtreme = Variant();
        TZanTable& t = *FDistinctTable;
        for (t.First(); !t.GetEOF(); t.Next())
            Accumulate(t.GetFields()[0]->GetValue(), compare);
    } else if (Distinct && !FDistinctIntegers.empty()) {
        // Ascending, as the table's index would give them.
        FCounter = 0;
        FSum = 0;
        FExtreme = Variant();
        for (int64_t v : FDistinctIntegers)
            Accumulate(Variant(int32_t(v)), compare);
    }
    switch (AggFunc) {
    case zafCount:
        return Variant(double(FCounter));
    case zafSum:
        return Variant(FSum);
    case zafAvg:
        return Variant(FCounter ? FSum / double(FCounter) : 0.0);
    case zafMax:
    case zafMin:
        return VarIsEmpty(FExtreme) ? Variant(0) : FExtreme;
    default:
        return Variant(0);
    }
}

TFuncResultHolder::TFuncResultHolder(uint32_t recAddr)
    : TCollection([] { return std::make_unique<TFuncResultItem>(); }), FRecAddr(recAddr),
      FBaseTableName(std::to_string(recAddr)) {}
TFuncResultHolder::~TFuncResultHolder() {
    Clear();
}

TFuncResultList::TFuncResultList() = default;
TFuncResultList::~TFuncResultList() {
    FByAddr.clear();
    FHolders.clear(); // the DISTINCT tables close before their database goes
    if (FDistinctDb) FDistinctDb->Close();
}

TFuncResultHolder& TFuncResultList::Add(uint32_t recAddr) {
    FHolders.push_back(std::make_unique<TFuncResultHolder>(recAddr));
    TFuncResultHolder& h = *FHolders.back();
    FByAddr[recAddr] = &h;
    return h;
}

TFuncResultHolder* TFuncResultList::Find(uint32_t recAddr) const {
    auto it = FByAddr.find(recAddr);
    return it == FByAddr.end() ? nullptr : it->second;
}

TZanDataBase& TFuncResultList::GetDistinctDatabase(TSortOrder order) {
    if (!FDistinctDb) {
        FDistinctDb = std::make_unique<TZanDataBase>();
        FDistinctDb->SetDataBaseName(C_MEMORY_DATABASE);
        FDistinctDb->SetDefaultSortOrder(order);
        FDistinctDb->Open();
    }
    return *FDistinctDb;
}

// ---------------------------------------------------------------------------------------------
// The dataset

void DropResultTable(TZanDataBase& db, const std::string& name) {
    db.DeleteTable(name, true, true);
}

TZanQueryDataset::TZanQueryDataset(TComponent* owner) : TZanBaseTable(owner) {}

TZanQueryDataset::~TZanQueryDataset() {
    Destroying();
    Close();
    if (GetInternalActive()) DataSetClose();
}

TZanCompareFunc TZanQueryDataset::GetDBStringCompare() const {
    return GetSortOrder() == soASCII ? DBASCIICompareStrings : DBANSICompareStrings;
}

void TZanQueryDataset::EnsureOpen() {
    if (!GetInternalActive()) DataSetOpen();
}

void TZanQueryDataset::PrepareEmptyResultSet(bool defsExist) {
    ZanAssert(GetFieldDefs().Count() > 0,
              "Field defs are not prepared in TZanQueryDataset.CreateResultSet");
    Close();
    if (GetInternalActive()) DataSetClose();
    SetMemory(true);
    if (GetTableName().empty()) {
        SetTableName("testqry");
        CreateResultSetTable();
        return;
    }
    if (defsExist && GetDataBase()->GetMemoryTableDefMgr().IndexOfTableName(GetTableName()) >= 0) {
        EnsureOpen();
        DataSetEmptyTable();
        DataSetClose();
        return;
    }
    CreateResultSetTable();
}

void TZanQueryDataset::CreateResultSetTable() {
    SetTableDef(true, GetFieldDefs(), GetIndexDefs());
    TInternalFields& fields = *GetTableDef().GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i) {
        TInternalFieldItem* f = fields.Items(i);
        if ((FCreateLiveResult &&
             (f->GetFieldName() == "__RecAddr" || f->GetFieldName() == "__RecModFlag" ||
              f->GetFieldName() == "__RecLogicalNo")) ||
            (GetOrdersKeyTies() && f->GetFieldName() == FSortTieField) ||
            IsKeyHashField(f->GetFieldName()))
            f->SetHidden(true);
    }
    InternalCreateTable();
}

uint32_t TZanQueryDataset::KeyAddress(const std::string& indexName) {
    TIndexItem* index = GetIndexManager().FindIndex(indexName);
    ZanAssert(index != nullptr, "Result set index is missing: " + indexName);
    const TResultKey* columns = FindResultKey(indexName);
    StampKeyHashes();
    TSearchModifier modifier;
    modifier.LimitedSearch = true;
    int32_t searched = 0;
    while (searched < index->GetKeyFields().Count() &&
           !index->GetKeyFields().Items(searched)->GetHidden())
        ++searched;
    // A cut key is searched over its keyed columns, and its hash field when it has one.
    if (columns && !columns->Whole()) searched = columns->Keyed + (columns->Hashed() ? 1 : 0);
    modifier.IncludedKeyFieldCount = searched;
    std::vector<uint8_t> probe(GetRecBuf(), GetRecBuf() + GetRecBufSize());
    SetExtraKeyFlag(probe.data(), C_NULLFLAG_LOWEST);
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    if (InternalSearchOnly(probe.data(), stEQ, indexName, &modifier) != 0) return 0;
    if (!columns || columns->Whole()) return index->GetRecordAddress();
    // The key holds the leading columns (and their hash of the rest) only: the rows that share
    // it are read until one matches over the rest too.
    index->CreateTempKeyBuffer(probe.data());
    const std::vector<uint8_t> key(index->GetTempKeyBuffer(),
                                   index->GetTempKeyBuffer() + index->GetMaximumKeySize() + 1);
    const size_t keyed = size_t(columns->Keyed);
    const std::vector<Variant> row = RowValues(GetRecBuf(), columns->Columns, keyed);
    std::vector<uint8_t> stored(static_cast<size_t>(GetRecBufSize()));
    for (;;) {
        const uint32_t address = index->GetRecordAddress();
        ReadRecordBuffer(address, stored.data());
        if (SameColumns(row, RowValues(stored.data(), columns->Columns, keyed), 0, row.size()))
            return address;
        if (!index->NextKey()) return 0;
        if (index->CompareKeyBuffers(searched, nullptr, nullptr, key.data(),
                                     index->GetCurrentKeyBuf()) != 0)
            return 0;
    }
}

std::vector<std::string> TZanQueryDataset::GetKeyHashFields() const {
    std::vector<std::string> names;
    for (const auto& entry : FResultKeys)
        if (entry.second.Hashed()) names.push_back(entry.second.HashField);
    return names;
}

bool TZanQueryDataset::IsKeyHashField(const std::string& name) const {
    for (const auto& entry : FResultKeys)
        if (entry.second.Hashed() && entry.second.HashField == name) return true;
    return false;
}

int32_t TZanQueryDataset::KeyHashFieldNo(const TResultKey& key) const {
    if (key.HashFieldNo < 0) key.HashFieldNo = GetFieldNo(key.HashField);
    ZanAssert(key.HashFieldNo >= 0, "Result set hash field is missing: " + key.HashField);
    return key.HashFieldNo;
}

void TZanQueryDataset::StampKeyHashes() {
    const bool bytes = GetSortOrder() == soASCII;
    for (const auto& entry : FResultKeys) {
        const TResultKey& key = entry.second;
        if (!key.Hashed()) continue;
        // Values equal under CompareColumnValues must hash alike: NULL and Empty are one value;
        // numbers of a column (one type) hash as doubles with -0 as 0; strings by their bytes
        // in the byte order, which tells strings apart by bytes and length, and by their
        // length in the collated order, where only equal lengths compare equal.
        uint64_t h = 1469598103934665603ull;
        const auto mix = [&](uint64_t v) {
            for (int i = 0; i < 8; ++i) {
                h ^= (v >> (8 * i)) & 0xFF;
                h *= 1099511628211ull;
            }
        };
        const uint8_t* rec = GetRecBuf();
        for (size_t i = size_t(key.Keyed); i < key.Columns.size(); ++i) {
            const Variant v = DataSetGetFieldDataFromRecBufAsVariant(rec, key.Columns[i]);
            switch (v.Type()) {
            case varEmpty:
            case varNull:
                mix(0);
                break;
            case varString: {
                const std::string& text = v.StringRef();
                mix(text.size());
                if (bytes)
                    for (const char c : text) {
                        h ^= uint8_t(c);
                        h *= 1099511628211ull;
                    }
                break;
            }
            case varSmallint:
            case varInteger:
            case varDouble:
            case varCurrency:
            case varDate:
            case varBoolean:
            case varInt64: {
                double d = v.AsDouble();
                if (d == 0) d = 0; // -0 as 0
                uint64_t bits = 0;
                std::memcpy(&bits, &d, sizeof bits);
                mix(bits);
                break;
            }
            default:
                mix(1);
                break;
            }
        }
        DataSetSetFieldDataToRecBufAsVariant(GetRecBuf(), KeyHashFieldNo(key),
                                             Variant(int32_t(uint32_t(h ^ (h >> 32)))));
    }
}

void TZanQueryDataset::SetResultKey(const std::string& indexName, TResultKey key) {
    FResultKeys[indexName] = std::move(key);
}

const TZanQueryDataset::TResultKey* TZanQueryDataset::FindResultKey(
    const std::string& indexName) const {
    const auto found = FResultKeys.find(indexName);
    return found == FResultKeys.end() ? nullptr : &found->second;
}

bool TZanQueryDataset::HavingColumnValue(const TResultSetFields& fields, const std::string& table,
                                         const std::string& field, Variant& value) {
    if (!FHavingRow) return false;
    const TResultSetField* f = fields.FindReferencedField(table, field);
    if (!f || !f->SelectFieldItem || f->SelectFieldItem->HasAggregateFunction) return false;
    value = DataSetGetFieldDataFromRecBufAsVariant(GetRecBuf(), f->GetIndex());
    return true;
}

bool TZanQueryDataset::GetOrdersKeyTies() const {
    const TResultKey* key = FindResultKey("idxorderby");
    return key && !key->Whole();
}

std::vector<Variant> TZanQueryDataset::RowValues(const uint8_t* recBuf,
                                                 const std::vector<int32_t>& columns,
                                                 size_t first) {
    std::vector<Variant> row;
    row.reserve(columns.size() - std::min(first, columns.size()));
    for (size_t i = first; i < columns.size(); ++i)
        row.push_back(DataSetGetFieldDataFromRecBufAsVariant(recBuf, columns[i]));
    return row;
}

int TZanQueryDataset::CompareColumnValues(const Variant& a, const Variant& b) const {
    const bool noA = VarIsNull(a) || VarIsEmpty(a), noB = VarIsNull(b) || VarIsEmpty(b);
    if (noA || noB) return int(noB) - int(noA);
    return CompareAggValues(a, b, GetDBStringCompare());
}

bool TZanQueryDataset::SameColumns(const std::vector<Variant>& a, const std::vector<Variant>& b,
                                   size_t first, size_t last) const {
    for (size_t i = first; i < last && i < a.size() && i < b.size(); ++i)
        if (CompareColumnValues(a[i], b[i]) != 0) return false;
    return true;
}

void TZanQueryDataset::WriteValue(int32_t n, const Variant& value) {
    if (IsFieldBlob(n)) {
        // Blobs, NULL ones too, go through the blob stream: the record holds only their chain.
        TMemoryStream stream;
        const bool isNull = VarIsNull(value) || VarIsEmpty(value);
        if (!isNull) {
            const std::string text = value.AsString();
            stream.Write(text.data(), int32_t(text.size()));
            stream.SetPosition(0);
        }
        DataSetSetFieldStream(n, isNull, stream);
        return;
    }
    // A string longer than its column is the statement's fault: refused as SQL, not as an
    // internal error of the record buffer.
    const TInternalFieldItem* f = GetInternalFields().GetField(n);
    if (f && f->GetDataType() == ftString && !VarIsNull(value) && !VarIsEmpty(value)) {
        const size_t length =
            value.Type() == varString ? value.StringRef().size() : value.AsString().size();
        if (length > size_t(std::max(f->GetWriteableFieldSize(), 0)))
            ZanDatabaseError(9645, "TZanQueryDataset.WriteValue",
                             "Field data length is out of range: " + f->GetFieldName());
    }
    DataSetSetFieldDataToRecBufAsVariant(GetRecBuf(), n, value);
}

void TZanQueryDataset::CheckRequiredFields() {
    // An AUTOINC field is numbered when the record is added.
    const TInternalFields& fields = GetInternalFields();
    for (int32_t i = 0; i < fields.Count(); ++i) {
        const TInternalFieldItem* f = fields.GetField(i);
        if (!f || !f->GetRequired() || f->GetDataType() == ftAutoInc) continue;
        if (GetIsEditFieldNull(i))
            ZanDatabaseError(9732, "TZanQueryDataset.CheckRequiredFields",
                             "Field " + f->GetFieldName() + " must have a value");
    }
}

void TZanQueryDataset::AddResultRow() {
    AddRecord(false);
}

void TZanQueryDataset::InsertData(TResultSetFields& fields) {
    const bool wasOpen = GetInternalActive();
    EnsureOpen();
    TScopeExit close([&] {
        if (!wasOpen) DataSetClose();
    });
    for (int i = 0; i < fields.Count(); ++i)
        fields.Items(i)->SetSourceFieldNo(GetFieldNo(fields.Items(i)->GetFieldName()));
    ClearRecord();
    InitializeNewRecord(GetRecBuf(), false);
    for (int i = 0; i < fields.Count(); ++i) {
        TResultSetField* f = fields.Items(i);
        ZanAssert(f->GetSourceFieldNo() >= 0, "The result set field could not be found: " +
                                             f->GetFieldName());
        WriteValue(f->GetSourceFieldNo(), f->GetData());
    }
    CheckRequiredFields();
    AddRecord(true);
    FRowsAffected = 1;
}

void TZanQueryDataset::InsertDataFromDataset(TResultSetFields& fields, TDataSet& source,
                                             bool resetCount, bool distinct,
                                             bool checkRequired) {
    EnsureOpen();
    const bool taken = TakeWriteLock(); // for all the rows (see DeleteData)
    TScopeExit release([&] { ReleaseTaken(taken); });
    if (resetCount) FRowsAffected = 0;
    for (int i = 0; i < fields.Count(); ++i)
        fields.Items(i)->SetSourceFieldNo(GetFieldNo(fields.Items(i)->GetFieldName()));
    const int count = std::min(fields.Count(), source.GetFieldCount());
    for (source.First(); !source.GetEOF(); source.Next()) {
        ClearRecord();
        InitializeNewRecord(GetRecBuf(), false);
        for (int i = 0; i < count; ++i) {
            TResultSetField* f = fields.Items(i);
            if (f->GetSourceFieldNo() < 0) continue;
            TField* from = source.GetFields()[i];
            const Variant value = from->IsNull() ? Null() : from->GetValue();
            WriteValue(f->GetSourceFieldNo(), value);
        }
        if (distinct && KeyAddress("idxdistinct") != 0) continue;
        if (checkRequired) CheckRequiredFields();
        StampKeyHashes();
        AddRecord(true);
        ++FRowsAffected;
    }
}

void TZanQueryDataset::DeleteData(bool allRows, std::vector<uint32_t>& list) {
    EnsureOpen();
    // The table stays write-locked from the first row to the last: a row then neither takes the
    // lock nor reads and writes back the table header on its own. Inside the statement's
    // transaction nothing is given back before its end anyway.
    const bool taken = TakeWriteLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    if (allRows) ListAllRecords(list);
    FRowsAffected = 0;
    for (uint32_t address : list) {
        if (!SetToRecord(address, nullptr, false, false)) continue;
        if (DeleteRecord(nullptr) >= 0) ++FRowsAffected;
    }
}

void TZanQueryDataset::UpdateData(bool allRows, std::vector<uint32_t>& list,
                                  TZanUpdateRowConstructor& setList,
                                  TZanExprDataProvider* provider) {
    EnsureOpen();
    const bool taken = TakeWriteLock(); // for all the rows (see DeleteData)
    TScopeExit release([&] { ReleaseTaken(taken); });
    for (int i = 0; i < setList.Count(); ++i) {
        TZanUpdateRowConstructorElement* e = setList.Items(i);
        e->TargetColumnIndex = GetFieldNo(e->TargetColumnName);
        ZanAssert(e->TargetColumnIndex >= 0,
                  "The result set field could not be found: " + e->TargetColumnName);
    }
    // The addresses first, so that a SET changing the current index's key neither skips rows
    // nor updates one twice.
    if (allRows) ListAllRecords(list);
    setList.Prepare(provider, FInstant);
    // Each row is found by its address: none needs its place in the index order.
    SetAppendOnly(true);
    TScopeExit appendOnly([&] { SetAppendOnly(false); });
    FRowsAffected = 0;
    for (uint32_t address : list) {
        if (!provider->MoveToRecord(int32_t(address))) continue;
        // The record is read, not placed in the index order: the update places it afterwards.
        if (!DataSetSetToLiveRecord(address)) continue;
        UpdateCurrentRecord(setList);
        ++FRowsAffected;
    }
}

void TZanQueryDataset::ListAllRecords(std::vector<uint32_t>& list) {
    TCompoundList all;
    LoadCompleteListOfRecords(all);
    list.clear();
    for (int32_t i = 0; i < all.Count(); ++i)
        list.push_back(uint32_t(all.GetItems(i)));
}

void TZanQueryDataset::UpdateCurrentRecord(TZanUpdateRowConstructor& setList) {
    // Every value from the old row, then all written.
    std::vector<Variant> values;
    values.reserve(size_t(setList.Count()));
    for (int i = 0; i < setList.Count(); ++i)
        values.push_back(setList.Items(i)->GetRowData());
    for (int i = 0; i < setList.Count(); ++i)
        WriteValue(setList.Items(i)->TargetColumnIndex, values[size_t(i)]);
    CheckRequiredFields();
    UpdateRecord();
}

void TZanQueryDataset::RemoveDuplicates(const std::string& indexName) {
    EnsureOpen();
    const std::string current = GetCurrentIndexName();
    InternalSetIndexName(indexName);
    TScopeExit restore([&] { InternalSetIndexName(current); });
    std::vector<uint32_t> doomed;
    // Rows come in the order of the index's keyed columns; those that share them form a run, and
    // a row equal to one kept in its run goes. When the index keys every column, equal rows are
    // neighbours and a run keeps one row.
    TResultKey all;
    const TResultKey* key = FindResultKey(indexName);
    if (!key) {
        for (int32_t i = 0; i < GetInternalFieldCount(); ++i)
            all.Columns.push_back(i);
        all.Keyed = GetInternalFieldCount();
        key = &all;
    }
    const size_t keyed = std::min(size_t(key->Keyed), key->Columns.size());
    // A hashed key's runs also share the hash of the other columns.
    const int32_t hashField = key->Hashed() ? KeyHashFieldNo(*key) : -1;
    Variant runHash;
    std::vector<std::vector<Variant>> run;
    for (bool more = DataSetFirst(); more; more = DataSetNext()) {
        std::vector<Variant> row = RowValues(GetRecBuf(), key->Columns);
        if (hashField >= 0) {
            Variant hash = DataSetGetFieldDataFromRecBufAsVariant(GetRecBuf(), hashField);
            if (!run.empty() && CompareColumnValues(hash, runHash) != 0) run.clear();
            runHash = std::move(hash);
        }
        if (!run.empty() && !SameColumns(row, run[0], 0, keyed)) run.clear();
        const bool duplicate = std::any_of(run.begin(), run.end(), [&](const auto& kept) {
            return SameColumns(row, kept, keyed, row.size());
        });
        if (duplicate)
            doomed.push_back(ExtraAddress(GetRecBuf()));
        else
            run.push_back(std::move(row));
    }
    for (uint32_t address : doomed)
        if (SetToRecord(address, nullptr, false, false)) DeleteRecord(nullptr);
}

void TZanQueryDataset::OrderKeyTies() {
    const TResultKey* key = FindResultKey("idxorderby");
    if (!key || key->Whole()) return;
    EnsureOpen();
    TIndexItem* index = GetIndexManager().FindIndex("idxorderby");
    const int32_t tieField = GetFieldNo(FSortTieField);
    ZanAssert(index != nullptr && tieField >= 0, "Result set sort tie field is missing");
    const size_t keyed = size_t(key->Keyed);
    // The rows in the index's order: a run shares the keyed columns (compared as the index
    // compares them), and is sorted on the other columns; each row of a run of more than one
    // gets its place in it.
    struct TTied {
        uint32_t Address;
        std::vector<Variant> Rest;
    };
    std::vector<TTied> run;
    std::vector<std::pair<uint32_t, int32_t>> places;
    const auto sortRun = [&] {
        if (run.size() > 1) {
            std::stable_sort(run.begin(), run.end(), [&](const TTied& a, const TTied& b) {
                for (size_t i = 0; i < a.Rest.size(); ++i) {
                    int c = CompareColumnValues(a.Rest[i], b.Rest[i]);
                    if (key->Descending[keyed + i]) c = -c;
                    if (c != 0) return c < 0;
                }
                return false;
            });
            for (size_t i = 0; i < run.size(); ++i)
                places.emplace_back(run[i].Address, int32_t(i));
        }
        run.clear();
    };
    {
        const std::string current = GetCurrentIndexName();
        InternalSetIndexName("idxorderby");
        TScopeExit restore([&] { InternalSetIndexName(current); });
        const size_t keySize = size_t(index->GetMaximumKeySize()) + 1;
        std::vector<uint8_t> previous, here;
        for (bool more = DataSetFirst(); more; more = DataSetNext()) {
            index->CreateTempKeyBuffer(GetRecBuf());
            here.assign(index->GetTempKeyBuffer(), index->GetTempKeyBuffer() + keySize);
            if (!previous.empty() && index->CompareKeyBuffers(key->Keyed, nullptr, nullptr,
                                                              previous.data(), here.data()) != 0)
                sortRun();
            previous.swap(here);
            run.push_back({ExtraAddress(GetRecBuf()), RowValues(GetRecBuf(), key->Columns, keyed)});
        }
        sortRun();
    }
    for (const auto& [address, place] : places) {
        if (!SetToRecord(address, nullptr, false, false)) continue;
        DataSetSetFieldDataToRecBufAsVariant(GetRecBuf(), tieField, Variant(place));
        UpdateRecord();
    }
}

void TZanQueryDataset::PopulateSimpleCountResultSet(int32_t count) {
    EnsureOpen();
    DataSetEmptyTable();
    ClearRecord();
    InitializeNewRecord(GetRecBuf(), false);
    DataSetSetFieldDataToRecBufAsVariant(GetRecBuf(), 0, Variant(count));
    AddRecord(false);
    FRowsAffected = 1;
}

void TZanQueryDataset::SetReadOnlyResultFields(TResultSetFields& fields) {
    for (int i = 0; i < fields.Count(); ++i) {
        TResultSetField* f = fields.Items(i);
        if (TField* field = FindField(f->GetFieldName())) field->SetReadOnly(f->IsComputed());
    }
}

} // namespace zan
