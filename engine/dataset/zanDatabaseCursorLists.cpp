// TZanDataSet lists and locate: record-address lists of the current range, hash loads, the
// key-ordered search behind Locate, and questions about the indexes.
#include <algorithm>
#include <cstring>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"

namespace zan {

// ---------------------------------------------------------------------------------------------
// Record lists

void TZanDataSet::LoadCompleteListOfRecords(TCompoundList& list) {
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    InternalPrepareMasterRecordList(list);
}

void TZanDataSet::InternalPrepareMasterRecordList(TCompoundList& list) {
    list.Clear();
    TIndexItem& index = CurrentIndexItem("TZanDataSet.InternalPrepareMasterRecordList");
    uint32_t first = 1, last = index.GetRecordCount();
    if (FRangeActive) {
        if (!FRangeValid) return;
        first = GetRangeEndRecNo(rmRangeStart);
        last = GetRangeEndRecNo(rmRangeEnd);
        if (first < 1 || last < first) return;
    }
    if (last < 1 || index.SetRecordNo(first) == 0) return;
    for (uint32_t recNo = first;; ++recNo) {
        list.Add(int32_t(index.GetRecordAddress()), int32_t(recNo));
        if (recNo >= last || !index.NextKey()) break;
    }
}

void TZanDataSet::LoadHashListOfRecords(TZanBaseHash& hash, const std::string& fieldName,
                                        TCompoundList& list, bool noSort) {
    CheckInternalActive();
    const TInternalFieldItem* field = FTableDef->GetInternalFields()->FindField(fieldName);
    ZanAssert(field != nullptr, "Field not found in LoadHashListOfRecords: " + fieldName);
    // The hash keys are the field's values, read from records or index keys directly: the
    // user needs the field's read privilege as for any other read.
    CheckFieldRead(field->GetFieldIndex());
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    list.Clear();
    auto hashRecord = [&](uint32_t address) {
        FRecordMgr->ReadRecord(address, FScratch.data(), false);
        const uint8_t* rec = FScratch.data();
        if (rec[field->GetNullFlagOffset()] == C_NULLFLAG_NULL) return;
        int32_t size = field->GetFieldSize();
        if (field->GetSizeMarkerOffset() > 0) {
            uint16_t marker = 0;
            std::memcpy(&marker, rec + field->GetSizeMarkerOffset(), 2);
            size = std::min<int32_t>(marker, size);
        }
        hash.Add(rec + field->GetDataOffset(), size, address);
    };
    if (FFilterMgr->GetActive()) {
        std::vector<uint32_t> addresses;
        FFilterMgr->GetRecordList(addresses);
        if (!noSort) std::sort(addresses.begin(), addresses.end());
        for (uint32_t address : addresses) {
            list.Add(int32_t(address), 0);
            hashRecord(address);
        }
        return;
    }
    // An index holding the field fills the hash from its keys, reading no record. A range
    // limits the records, so it needs the record scan.
    TIndexItem* keyed = nullptr;
    int32_t keyPart = -1;
    auto partOf = [&](TIndexItem* index) {
        for (int i = 0; index && i < index->GetKeyFields().Count(); ++i)
            if (index->GetKeyFields().Items(i)->GetPhysicalFieldNo() == field->GetFieldIndex())
                return i;
        return -1;
    };
    if (!FRangeActive) {
        keyed = FIndexMgr->CurrentIndex();
        keyPart = partOf(keyed);
        for (int i = 0; keyPart < 0 && i < FIndexMgr->Count(); ++i) {
            keyed = FIndexMgr->Items(i);
            keyPart = partOf(keyed);
        }
    }
    if (keyPart >= 0) {
        keyed->FillHashTable(keyPart, hash);
        return;
    }
    InternalPrepareMasterRecordList(list);
    std::vector<uint32_t> addresses;
    for (int32_t a : list.List1())
        addresses.push_back(uint32_t(a));
    std::sort(addresses.begin(), addresses.end());
    for (uint32_t address : addresses)
        hashRecord(address);
}

// ---------------------------------------------------------------------------------------------
// Locate

int32_t TZanDataSet::InternalCompareRecords(const uint8_t* keyBuf, const uint8_t* recBuf,
                                            int32_t& fieldIndex, bool caseInsensitive,
                                            bool partial, const TSearchFields& searchFields) const {
    static const char* const context = "TZanDataSet.InternalCompareRecords";
    const TZanCompareFunc compare =
        FTableDef->GetSortOrder() == soASCII ? DBASCIICompareStrings : DBANSICompareStrings;
    for (int i = 0; i < searchFields.Count(); ++i) {
        const TSearchFieldItem& f = *searchFields.Items(i);
        fieldIndex = i;
        const bool nullA = keyBuf[f.GetNullFlagOffset()] != C_NULLFLAG_VALUE;
        const bool nullB = recBuf[f.GetNullFlagOffset()] != C_NULLFLAG_VALUE;
        int32_t r = 0;
        if (nullA || nullB) {
            r = int32_t(!nullA) - int32_t(!nullB);
        } else {
            const uint8_t* a = keyBuf + f.GetDataOffset();
            const uint8_t* b = recBuf + f.GetDataOffset();
            switch (f.GetDataType()) {
            case ftString: {
                uint16_t la = 0, lb = 0;
                std::memcpy(&la, keyBuf + f.GetSizeMarkerOffset(), 2);
                std::memcpy(&lb, recBuf + f.GetSizeMarkerOffset(), 2);
                la = uint16_t(std::min<int32_t>(la, f.GetFieldSize()));
                lb = uint16_t(std::min<int32_t>(lb, f.GetFieldSize()));
                // A partial key matches records that begin with it.
                if (partial && lb > la) lb = la;
                r = compare(reinterpret_cast<const char*>(a), la,
                            reinterpret_cast<const char*>(b), lb, false, caseInsensitive);
                break;
            }
            case ftSmallint:
            case ftWord:
            case ftInteger:
            case ftAutoInc: {
                const int64_t x = RecordGetInteger(keyBuf, f), y = RecordGetInteger(recBuf, f);
                r = (x > y) - (x < y);
                break;
            }
            case ftBoolean: {
                const int x = RecordGetBoolean(keyBuf, f), y = RecordGetBoolean(recBuf, f);
                r = (x > y) - (x < y);
                break;
            }
            case ftFloat:
            case ftCurrency:
            case ftDate:
            case ftTime:
            case ftDateTime: {
                double x, y;
                std::memcpy(&x, a, 8);
                std::memcpy(&y, b, 8);
                r = (x > y) - (x < y);
                break;
            }
            default:
                ZanDatabaseError(10000, context, "Invalid field type");
            }
        }
        if (f.GetDescending()) r = -r;
        if (r != 0) return r > 0 ? 1 : -1;
    }
    return 0;
}

bool TZanDataSet::DoLocate(const std::string& indexName, uint8_t* keyBuf, uint8_t* resultBuf,
                           const std::vector<std::string>& fieldNames, TLocateOptions options,
                           bool useIndexName, bool reposition) {
    static const char* const context = "TZanDataSet.DoLocate";
    CheckInternalActive();
    TIndexItem& index = useIndexName ? IndexByName(indexName, context)
                                     : CurrentIndexItem(context);
    const bool caseInsensitive = options.contains(loCaseInsensitive);
    const bool partial = options.contains(loPartialKey);
    SetNullIndexFieldsToRangeEnd(keyBuf, index.GetIndexName(), rmRangeStart, fieldNames);
    // The search fields: the leading key fields that are asked for and that the index orders
    // as the search compares them (case rule included), then the other fields asked for.
    TSearchFields search;
    TInternalFields& fields = *FTableDef->GetInternalFields();
    std::vector<std::string> rest = fieldNames;
    int32_t leading = 0;
    for (int i = 0; i < index.GetKeyFields().Count(); ++i) {
        const TKeyFieldItem& k = *index.GetKeyFields().Items(i);
        if (k.GetPhysicalFieldNo() < 0) break;
        const auto it = std::find_if(rest.begin(), rest.end(), [&](const std::string& n) {
            return SameText(n, k.GetFieldName());
        });
        if (it == rest.end()) break;
        if (k.GetDataType() == ftString && k.GetCaseInsensitive() != caseInsensitive) break;
        TSearchFieldItem* s = search.Add();
        s->Assign(*fields.GetField(k.GetPhysicalFieldNo()));
        s->SetInIndex(true);
        s->SetDescending(k.GetDescending());
        rest.erase(it);
        ++leading;
    }
    for (const std::string& name : rest) {
        const TInternalFieldItem* f = fields.FindField(name);
        if (f == nullptr) ZanDatabaseError(10116, context, name);
        TSearchFieldItem* s = search.Add();
        s->Assign(*f);
    }
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    // A filter's result is brought up to date before the index is positioned: a match must
    // also be in the filter.
    const bool filtered = FFilterMgr->GetActive();
    if (filtered) FFilterMgr->GetFilterRecordCount();
    const bool onCurrent = &index == FIndexMgr->CurrentIndex();
    const bool ranged = onCurrent && FRangeActive;
    if (ranged && !FRangeValid) return false;
    FLocateReads = 0;
    bool positioned;
    if (leading > 0) {
        // Key parts after the leading ones start at their lowest value.
        std::vector<uint8_t> start(keyBuf, keyBuf + GetRecBufSize());
        for (int i = leading; i < index.GetKeyFields().Count(); ++i) {
            const TKeyFieldItem& k = *index.GetKeyFields().Items(i);
            if (k.GetPhysicalFieldNo() >= 0) start[size_t(k.GetNullFlagOffset())] = C_NULLFLAG_LOWEST;
        }
        SetExtraKeyFlag(start.data(), C_NULLFLAG_LOWEST);
        CreateKey(index, start.data());
        positioned = index.FullIndexSearch(stGE) == 0;
        if (positioned && ranged) {
            std::vector<uint8_t> key(index.GetCurrentKeyBuf(),
                                     index.GetCurrentKeyBuf() + index.GetMaximumKeySize() + 1);
            if (!CheckKeyBufInRange(key.data(), rmRangeStart)) {
                index.CopyKeyBuffer(FRangeKey[rmRangeStart].data(), &FRangeMarkers[rmRangeStart]);
                positioned = index.FullIndexSearch(stGE) == 0;
            }
        }
    } else if (ranged) {
        index.CopyKeyBuffer(FRangeKey[rmRangeStart].data(), &FRangeMarkers[rmRangeStart]);
        positioned = index.FullIndexSearch(stGE) == 0;
    } else {
        positioned = index.GetRecordCount() > 0 && index.SetRecordNo(1) != 0;
    }
    bool found = false;
    std::vector<uint8_t> record(size_t(GetRecBufSize()), 0);
    while (positioned) {
        const uint32_t address = index.GetRecordAddress();
        if (ranged) {
            std::vector<uint8_t> key(index.GetCurrentKeyBuf(),
                                     index.GetCurrentKeyBuf() + index.GetMaximumKeySize() + 1);
            if (!CheckKeyBufInRange(key.data(), rmRangeEnd)) break;
        }
        FRecordMgr->ReadRecord(address, record.data(), false);
        ++FLocateReads;
        int32_t at = 0;
        const int32_t r =
            InternalCompareRecords(keyBuf, record.data(), at, caseInsensitive, partial, search);
        if (r == 0 && (!filtered || FFilterMgr->CheckRecordInFilter(address))) {
            SetExtraInfo(record.data(), address, index.GetRecordNo());
            SetExtraKeyFlag(record.data(), 0);
            found = true;
            break;
        }
        // In index order no later record can match once a leading field has passed the key.
        if (r < 0 && at < leading) break;
        positioned = index.NextKey();
    }
    if (!found) return false;
    if (resultBuf) std::memcpy(resultBuf, record.data(), record.size());
    if (reposition) {
        std::memcpy(FRecBuf.data(), record.data(), record.size());
        return Find(stEQ, index.GetIndexName(), nullptr);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Index information

void TZanDataSet::GetIndexNames(TStrings& list) const {
    list.Clear();
    for (int i = 0; i < FIndexMgr->Count(); ++i)
        if (!FIndexMgr->Items(i)->GetHidden()) list.Add(FIndexMgr->Items(i)->GetIndexName());
}

void TZanDataSet::GetIndexDef(int32_t n, TIndexDef& def) const {
    ZanAssert(n >= 0 && n < FIndexMgr->Count(), "Index number out of range");
    const TIndexItem& index = *FIndexMgr->Items(n);
    ZanAssert(!index.GetHidden(), "Attempting to access a hidden index");
    std::string fields, desc, caseIns;
    auto join = [](std::string& list, const std::string& name) {
        if (!list.empty()) list += ";";
        list += name;
    };
    for (int i = 0; i < index.GetKeyFields().Count(); ++i) {
        const TKeyFieldItem& k = *index.GetKeyFields().Items(i);
        if (k.GetPhysicalFieldNo() < 0) continue;
        join(fields, k.GetFieldName());
        if (k.GetDescending()) join(desc, k.GetFieldName());
        if (k.GetCaseInsensitive()) join(caseIns, k.GetFieldName());
    }
    def.SetName(index.GetIndexName());
    def.SetFields(fields);
    def.SetDescFields(desc);
    def.SetCaseInsFields(caseIns);
    TIndexOptions options;
    if (index.GetUnique()) options.insert(ixUnique);
    if (index.GetPrimary()) options.insert(ixPrimary);
    def.SetOptions(options);
}

std::string TZanDataSet::FindIndexForFields(const std::string& fields) const {
    TStringList names;
    ConvertFieldNamesToList(fields, names);
    std::vector<std::string> list;
    for (int i = 0; i < names.Count(); ++i)
        list.push_back(names.Get(i));
    const TIndexItem* index = FIndexMgr->FindIndexForFields(list, false);
    if (index == nullptr) ZanDatabaseError(9997, "TZanDataSet.FindIndexForFields", fields);
    return index->GetIndexName();
}

std::string TZanDataSet::GetIndexFieldsFromKeyFields(const std::string& indexName) const {
    const TIndexItem& index = IndexByName(indexName, "TZanDataSet.GetIndexFieldsFromKeyFields");
    std::string list;
    for (int i = 0; i < index.GetKeyFields().Count(); ++i) {
        const TKeyFieldItem& k = *index.GetKeyFields().Items(i);
        if (k.GetPhysicalFieldNo() < 0) continue;
        if (!list.empty()) list += ";";
        list += k.GetFieldName();
    }
    return list;
}

int32_t TZanDataSet::GetIndexFieldCount() const {
    const TIndexItem* index = FIndexMgr->CurrentIndex();
    if (index == nullptr) return 0;
    int32_t count = 0;
    for (int i = 0; i < index->GetKeyFields().Count(); ++i)
        if (index->GetKeyFields().Items(i)->GetPhysicalFieldNo() >= 0) ++count;
    return count;
}

int32_t TZanDataSet::InternalGetIndexCount() const {
    int32_t count = 0;
    for (int i = 0; i < FIndexMgr->Count(); ++i)
        if (!FIndexMgr->Items(i)->GetHidden()) ++count;
    return count;
}

} // namespace zan
