#include "engine/query/zanDatasetBridge.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "engine/dataset/zanFilterOptimizer.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

TMemoryStream& TDataHolder::GetStream() {
    if (!FStream) FStream = std::make_unique<TMemoryStream>();
    return *FStream;
}

TZanDatasetBridge::TZanDatasetBridge(TComponent* owner) : TZanBaseTable(owner) {}
TZanDatasetBridge::~TZanDatasetBridge() {
    Destroying();
    CloseFromDestructor();
}

bool TZanDatasetBridge::FirstBridgeRecord() { return DataSetFirst(); }
bool TZanDatasetBridge::NextBridgeRecord() { return DataSetNext(); }
bool TZanDatasetBridge::LastBridgeRecord() { return DataSetLast(); }

Variant TZanDatasetBridge::GetFieldDataAsVariant(int32_t fieldNo) {
    if (!IsFieldBlob(fieldNo)) return DataSetGetFieldDataAsVariant(fieldNo);
    TMemoryStream stream;
    bool isNull = true;
    DataSetGetFieldStream(fieldNo, isNull, stream);
    if (isNull) return Null();
    return Variant(std::string(stream.Memory(), size_t(stream.GetSize())));
}

void TZanDatasetBridge::GetRawFieldData(int32_t fieldNo, TDataHolder& holder) {
    if (IsFieldBlob(fieldNo)) {
        TMemoryStream& stream = holder.GetStream();
        stream.Clear();
        bool isNull = true;
        DataSetGetFieldStream(fieldNo, isNull, stream);
        stream.Seek(0, soBeginning);
        holder.IsNull = isNull;
        holder.Length = int32_t(stream.GetSize());
        holder.Data = reinterpret_cast<const uint8_t*>(stream.Memory());
        holder.UsesStream = true;
        return;
    }
    bool isNull = true;
    int32_t length = 0;
    const uint8_t* data = nullptr;
    DataSetGetFieldDataByReferenceFromRecBuf(fieldNo, isNull, length, data);
    holder.IsNull = isNull;
    holder.Length = isNull ? 0 : length;
    holder.Data = data;
    holder.UsesStream = false;
}

uint32_t TZanDatasetBridge::GetRecAddr() {
    if (!GetInternalActive()) return 0;
    return DatasetGetRecAddr();
}

uint32_t TZanDatasetBridge::GetRecModFlag() { return DataSetGetRecordModFlag(); }

int32_t TZanDatasetBridge::GetTotalBridgeRecordCount() { return GetTotalRecordCount(); }

bool TZanDatasetBridge::MoveToRecAddr(uint32_t address) {
    if (address == 0) return false;
    ++FAddressMoves;
    return DataSetSetToLiveRecord(address);
}

uint32_t TZanDatasetBridge::GetRecLogicalNo() { return DataSetGetRecordLogicalNo(); }

bool TZanDatasetBridge::MoveToRecAddrAndValidate(uint32_t address, uint32_t flags,
                                                 uint32_t logicalNo) {
    ++FAddressMoves;
    return DataSetSetToFlags(address, flags, logicalNo);
}

void TZanDatasetBridge::AssessJoin(const std::vector<std::string>& fieldNames, const Variant&,
                                   TJoinStatistics& statistics) {
    statistics.Indexed = GetIndexManager().FindIndexForFields(fieldNames, false) != nullptr;
}

void TZanDatasetBridge::PrepareJoin(const std::vector<std::string>& fieldNames) {
    if (TIndexItem* index = GetIndexManager().FindIndexForFields(fieldNames, false))
        InternalSetIndexName(index->GetIndexName());
    FPreparedFilterText = GetFilter();
}

void TZanDatasetBridge::SetBridgeIndexRange(const std::string& indexName, const Variant& low,
                                            const Variant& high) {
    InternalSetIndexName(indexName);
    InternalSetRange({low}, {high});
}

void TZanDatasetBridge::SetJoinSelectExprRoot(TZanFilterExprDriver& driver) {
    AssignFilterExpr(driver);
}

void TZanDatasetBridge::ClearJoinSelectExpr() { InternalClearFilter(); }

void TZanDatasetBridge::LoadHashTable(TZanBaseHash& hash, TCompoundList& list, bool& hashFull,
                                      bool noSort) {
    LoadHashListOfRecords(hash, hash.SourceFieldName, list, noSort);
    hashFull = hash.CheckHashFull();
}

void TZanDatasetBridge::SetJoinValues(TZanExprOperator op,
                                      const std::vector<std::string>& fieldNames,
                                      const std::vector<TDataHolder*>& values) {
    ZanAssert(fieldNames.size() == values.size(), "Join values do not match the join fields");
    std::string text = FPreparedFilterText;
    bool added = false;
    for (size_t i = 0; i < fieldNames.size(); ++i) {
        const int32_t n = GetFieldNo(fieldNames[i]);
        ZanAssert(n >= 0, "Join field can not be found");
        if (!text.empty()) text += " AND ";
        text += "[" + fieldNames[i] + "]";
        if (values[i]->IsNull) {
            text += " IS NULL";
        } else {
            switch (op) {
            case zeoNE: text += " <> "; break;
            case zeoGT: text += " > "; break;
            case zeoLT: text += " < "; break;
            case zeoGE: text += " >= "; break;
            case zeoLE: text += " <= "; break;
            default: text += " = "; break;
            }
            TFieldDef def;
            GetFieldDef(n, def);
            text += ZanJoinValueLiteral(def.GetDataType(), *values[i]);
        }
        added = true;
    }
    FJoinFilterText = text;
    SetFilter(text);
    if (added) SetFiltered(true);
}

namespace {

template <typename T>
T ReadRaw(const TDataHolder& value) {
    T v{};
    std::memcpy(&v, value.Data, sizeof v);
    return v;
}

// The shortest decimal that reads back to exactly v, without an exponent (the SQL number
// reader takes none).
std::string ShortestDouble(double v) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

std::string DateLiteral(TDateTime v, bool withTime) {
    int y, m, d, h, n, s, ms;
    DecodeDateTime(v, y, m, d, h, n, s, ms);
    std::string text = Format("%.4d-%.2d-%.2d", {y, m, d});
    if (withTime) text += Format(" %.2d:%.2d:%.2d.%.3d", {h, n, s, ms});
    return "'" + text + "'";
}

} // namespace

std::string ZanJoinValueLiteral(TFieldType type, const TDataHolder& value) {
    switch (type) {
    case ftString: {
        std::string text(reinterpret_cast<const char*>(value.Data), size_t(value.Length));
        const size_t nul = text.find('\0');
        if (nul != std::string::npos) text.resize(nul);
        return "'" + StringReplace(text, "'", "''", {rfReplaceAll}) + "'";
    }
    case ftSmallint:
        return std::to_string(ReadRaw<int16_t>(value));
    case ftWord:
        return std::to_string(ReadRaw<uint16_t>(value));
    case ftInteger:
    case ftAutoInc:
        return std::to_string(ReadRaw<int32_t>(value));
    case ftBoolean:
        return value.Data[0] != 0 ? "True" : "False";
    case ftFloat:
    case ftCurrency:
        return ShortestDouble(ReadRaw<double>(value));
    case ftDate:
        return DateLiteral(ReadRaw<double>(value), false);
    case ftDateTime:
        return DateLiteral(ReadRaw<double>(value), true);
    default:
        ZanDatabaseError(10000, "GetStringFromData", std::string(FieldTypeName(type)));
    }
}

bool TZanDatasetBridge::HoldReadLock() {
    if (!GetInternalActive()) return false;
    return TakeReadLock();
}

void TZanDatasetBridge::ReleaseHeldReadLock() {
    if (GetInternalActive()) ReleaseTaken(true);
}

} // namespace zan
