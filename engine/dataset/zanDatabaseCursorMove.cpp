// TZanDataSet positioning: key searches on the current index, ranges, read-ahead, header change
// detection, counts and record numbers, positioning on a known record.
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"

namespace zan {

namespace {

// A null flag (or the buffer's key flag) as a key marker: below all, compare, above all.
int32_t MarkerOf(uint32_t flag) {
    if (flag == C_NULLFLAG_LOWEST) return 0;
    if (flag == C_NULLFLAG_HIGHEST) return 2;
    return 1;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Keys

TIndexItem& TZanDataSet::IndexByName(const std::string& name, const char* context) const {
    TIndexItem* index = FIndexMgr->FindIndex(name);
    if (index == nullptr) ZanDatabaseErrorFmt(9997, context, "Index %s", {name});
    return *index;
}

TIndexItem& TZanDataSet::CurrentIndexItem(const char* context) const {
    TIndexItem* index = FIndexMgr->CurrentIndex();
    if (index == nullptr) ZanDatabaseError(9997, context);
    return *index;
}

std::string TZanDataSet::GetCurrentIndexName() const {
    return FIndexMgr->GetCurrentIndexName();
}

void TZanDataSet::BuildMarkers(const TIndexItem& index, const uint8_t* recBuf,
                               TKeyMarkers& markers) const {
    const TKeyFields& keys = index.GetKeyFields();
    markers.resize(size_t(keys.Count()));
    const uint32_t keyFlag = ExtraKeyFlag(recBuf);
    for (int i = 0; i < keys.Count(); ++i) {
        const TKeyFieldItem* k = keys.Items(i);
        markers[size_t(i)] =
            k->GetPhysicalFieldNo() >= 0 ? MarkerOf(recBuf[k->GetNullFlagOffset()]) : MarkerOf(keyFlag);
    }
}

void TZanDataSet::CreateKey(TIndexItem& index, const uint8_t* recBuf) {
    TKeyMarkers markers;
    BuildMarkers(index, recBuf, markers);
    index.CreateKeyBuffer(recBuf, &markers);
}

int32_t TZanDataSet::SearchIndex(TIndexItem& index, TIndexSearchType type,
                                 const TSearchModifier* modifier) {
    if (type == stLEG) {
        if (index.FullIndexSearch(stGE) == 0) return 0;
        return index.FullIndexSearch(stLE);
    }
    return index.PartialIndexSearch(type, modifier);
}

// An index entry names a live record of this table holding the entry's key. Anything else (a
// free or zeroed block, another table's record, a key field changed on disk) is damage: its
// bytes are no row, and as the next step searches from the key the record holds, a record whose
// key lies behind its entry would be met again and again.
void TZanDataSet::CheckRecordAtEntry(TIndexItem& index, const uint8_t* recBuf, uint32_t address,
                                     const uint8_t* entryKey) {
    static const char* const context = "TZanDataSet.CheckRecordAtEntry";
    if (!InternalCheckRecordValid(recBuf))
        ZanDatabaseErrorFmt(8962, context, "Index %s names no live record at %d",
                            {index.GetIndexName(), int64_t(address)});
    index.CreateTempKeyBuffer(recBuf);
    if (index.CompareKeyBuffers(0, nullptr, nullptr, index.GetTempKeyBuffer(), entryKey) != 0)
        ZanDatabaseErrorFmt(8962, context, "The record at %d does not hold its key in index %s",
                            {int64_t(address), index.GetIndexName()});
}

void TZanDataSet::ReadAtIndex(TIndexItem& index, uint8_t* recBuf, bool current) {
    const uint32_t address = index.GetRecordAddress();
    FRecordMgr->ReadRecord(address, recBuf, current);
    CheckRecordAtEntry(index, recBuf, address, index.GetCurrentKeyBuf());
    SetExtraInfo(recBuf, address, index.GetRecordNo());
    SetExtraKeyFlag(recBuf, 0);
}

namespace {

// Inside a fetch bracket, an index still standing on a record of the filling (of that index)
// the cursor was served from steps forward through it to the record at address instead of
// searching for it; answers whether it got there.
bool StepThroughFilling(TIndexItem& index, const TReadAheadBuffer& filling, uint32_t address) {
    if (filling.Count() < 2 || !index.GetTree().CursorValid()) return false;
    const int32_t from = filling.GetIndexOfBufferItem(index.GetRecordAddress());
    const int32_t to = filling.GetIndexOfBufferItem(address);
    if (from < 0 || to <= from) return false;
    // Each step must land on the next record listed, or the filling is no guide any more.
    for (int32_t i = from + 1; i <= to; ++i)
        if (!index.NextKey() || index.GetRecordAddress() != filling.Items(i)->GetRecAddr())
            return false;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Searches

int32_t TZanDataSet::InternalSearchOnly(const uint8_t* recBuf, TIndexSearchType type,
                                        const std::string& indexName,
                                        const TSearchModifier* modifier) {
    TIndexItem& index = IndexByName(indexName, "TZanDataSet.InternalSearchOnly");
    CreateKey(index, recBuf);
    return SearchIndex(index, type, modifier);
}

bool TZanDataSet::InternalFind(TIndexSearchType type, const std::string& indexName,
                               const TSearchModifier* modifier) {
    static const char* const context = "TZanDataSet.InternalFind";
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    TIndexItem& index = IndexByName(indexName, context);
    TIndexItem& current = CurrentIndexItem(context);
    bool found = false;
    const uint32_t recNo = ExtraRecNo(FRecBuf.data());
    const uint32_t address = ExtraAddress(FRecBuf.data());
    // The index still standing on the record (its pages unchanged since, or the header stamp
    // would have dropped them) moves from there; otherwise it goes to the record number.
    const bool standing = index.GetTree().CursorValid() && index.GetRecordAddress() == address;
    if (FReadAheadMode == raReadAheadActive && recNo >= 1 && address != 0 &&
        (standing ||
         (&index == &current && StepThroughFilling(index, *FReadAhead, address)) ||
         index.SetRecordNo(recNo) == address)) {
        // Inside a fetch bracket the index moves by record number from the last record.
        switch (type) {
        case stLT:
            found = index.PriorKey();
            break;
        case stGT:
            found = index.NextKey();
            break;
        case stEQ:
            found = true;
            break;
        default:
            ZanDatabaseError(8581, context, "Unexpected seek type in Internal Find");
        }
    } else {
        CreateKey(index, FRecBuf.data());
        found = SearchIndex(index, type, modifier) == 0;
    }
    if (!found || index.GetRecordAddress() == 0) return false;
    ReadAtIndex(index, FRecBuf.data(), true);
    if (&index != &current) {
        current.CreateKeyBuffer(FRecBuf.data());
        ZanAssert(current.FullIndexSearch(stEQ) == 0, "Key found but not in current index");
        SetExtraInfo(FRecBuf.data(), current.GetRecordAddress(), current.GetRecordNo());
    }
    FBufferState = 1;
    if (!FReadAhead->GetRecordCountValid()) {
        FReadAhead->SetLastRecordCount(int32_t(current.GetRecordCount()));
        FReadAhead->SetRecordCountValid(true);
    }
    if (FUseReadAheadBuffer && FReadAhead->GetBufferItem(ExtraAddress(FRecBuf.data())) == nullptr)
        FillReadAheadBuffer(FReadAheadBufferSize, FReadAheadDirection);
    FReadAheadDirection = rdCenter;
    return true;
}

bool TZanDataSet::Find(TIndexSearchType type, const std::string& indexName,
                       const TSearchModifier* modifier) {
    bool found = InternalFind(type, indexName, modifier);
    if (!found) return false;
    if (FRangeActive) {
        if (!FRangeValid) return false;
        if (CompareToRange(rmRangeEnd, FRecBuf.data()) > 0) {
            if (type == stLT || type == stLE || type == stLEG)
                found = MoveToRangeEnd(rmRangeEnd);
            else
                return false;
        }
        if (found && CompareToRange(rmRangeStart, FRecBuf.data()) < 0) {
            if (type == stGE || type == stGT || type == stLEG)
                found = MoveToRangeEnd(rmRangeStart);
            else
                return false;
        }
        // A range holding no record: the end reached lies outside the other end.
        if (found && !KeyInRange(FRecBuf.data())) return false;
    }
    if (found && FFilterMgr->GetActive()) {
        const uint32_t address = ExtraAddress(FRecBuf.data());
        const uint32_t filtered = FFilterMgr->FindFilterRecord(address, type);
        if (filtered == 0) return false;
        if (filtered != address) found = SetToRecord(filtered, nullptr, true, false);
    }
    return found;
}

bool TZanDataSet::FindBuf(const uint8_t* recBuf, TIndexSearchType type,
                          const std::string& indexName, const TSearchModifier* modifier,
                          bool refreshIfMissing) {
    std::memcpy(FRecBuf.data(), recBuf, FRecBuf.size());
    const bool found = Find(type, indexName, modifier);
    if (!found && refreshIfMissing) DataSetRefresh(FRecBuf.data(), false);
    return found;
}

void TZanDataSet::InternalSetIndexName(const std::string& name) {
    TIndexItem& index = IndexByName(name, "TZanDataSet.InternalSetIndexName");
    FIndexMgr->SetCurrentIndexName(index.GetIndexName());
    FIndexName = index.GetIndexName();
    FReadAhead->Open(InternalGetRecordSize(), C_MAXKEYSIZE + 1, C_READ_AHEAD_LIFETIME);
    if (FRangeActive) DataSetClearRange();
    // A filter delivers in the order of the current index.
    FFilterMgr->ResetFilter();
}

// ---------------------------------------------------------------------------------------------
// Moves

bool TZanDataSet::DataSetFirst() {
    if (FFilterMgr->GetActive()) return InternalMoveToFilterRecord(spFromStart, 0);
    return DataSetInternalFirst();
}

bool TZanDataSet::DataSetLast() {
    if (FFilterMgr->GetActive()) return InternalMoveToFilterRecord(spFromEnd, 0);
    return DataSetInternalLast();
}

bool TZanDataSet::DataSetNext() {
    if (FFilterMgr->GetActive()) return InternalMoveToFilterRecord(spFromCurrent, 1);
    return DataSetInternalNext();
}

bool TZanDataSet::DataSetPrior() {
    if (FFilterMgr->GetActive()) return InternalMoveToFilterRecord(spFromCurrent, -1);
    return DataSetInternalPrior();
}

bool TZanDataSet::DataSetMoveToEnd(bool first) {
    CheckInternalActive();
    const uint8_t flag = first ? C_NULLFLAG_LOWEST : C_NULLFLAG_HIGHEST;
    TInternalFields& fields = *FTableDef->GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i)
        FRecBuf[size_t(fields.Items(i)->GetNullFlagOffset())] = flag;
    SetExtraKeyFlag(FRecBuf.data(), flag);
    if (FReadAheadMode == raReadAheadActive) FReadAheadMode = raReadAheadUninitialized;
    return Find(first ? stGE : stLE, GetCurrentIndexName(), nullptr);
}

bool TZanDataSet::DataSetInternalFirst() {
    if (!FRangeActive) return DataSetMoveToEnd(true);
    SetKeyFlagsToBOF(FRecBuf.data());
    if (!FRangeValid) return false;
    return MoveToRangeEnd(rmRangeStart) && KeyInRange(FRecBuf.data());
}

bool TZanDataSet::DataSetInternalLast() {
    if (!FRangeActive) return DataSetMoveToEnd(false);
    SetKeyFlagsToEOF(FRecBuf.data());
    if (!FRangeValid) return false;
    return MoveToRangeEnd(rmRangeEnd) && KeyInRange(FRecBuf.data());
}

bool TZanDataSet::DataSetInternalNext() {
    return InternalStep(true);
}

bool TZanDataSet::DataSetInternalPrior() {
    return InternalStep(false);
}

bool TZanDataSet::InternalStep(bool forwards) {
    const TReadAheadDirection direction = forwards ? rdForwards : rdBackwards;
    bool found = GetFromReadAheadBuffer(direction);
    if (!found) {
        FReadAheadDirection = direction;
        FMoveBuf = FRecBuf;
        found = InternalFind(forwards ? stGT : stLT, GetCurrentIndexName(), nullptr);
        if (found && FRangeActive && (!FRangeValid || !KeyInRange(FRecBuf.data()))) {
            // The cursor stays on the last record of the range.
            FRecBuf = FMoveBuf;
            found = false;
        }
    }
    if (found && FReadAheadMode == raReadAheadUninitialized) FReadAheadMode = raReadAheadActive;
    return found;
}

// ---------------------------------------------------------------------------------------------
// Ranges

void TZanDataSet::InitializeRangeBuffers(TRangeMode mode) {
    SetKeyFlagsTo(FRangeBuf[mode].data(),
                  mode == rmRangeStart ? C_NULLFLAG_LOWEST : C_NULLFLAG_HIGHEST);
}

void TZanDataSet::SetNullIndexFieldsToRangeEnd(uint8_t* recBuf, const std::string& indexName,
                                               TRangeMode mode,
                                               const std::vector<std::string>& fieldNames) {
    TIndexItem* index = FIndexMgr->FindIndex(indexName);
    if (index == nullptr) return;
    const uint8_t flag = mode == rmRangeEnd ? C_NULLFLAG_HIGHEST : C_NULLFLAG_LOWEST;
    for (int i = 0; i < index->GetKeyFields().Count(); ++i) {
        const TKeyFieldItem* k = index->GetKeyFields().Items(i);
        if (k->GetPhysicalFieldNo() < 0) continue;
        const bool listed = std::any_of(fieldNames.begin(), fieldNames.end(), [&](const auto& n) {
            return SameText(n, k->GetFieldName());
        });
        if (listed || recBuf[k->GetNullFlagOffset()] != C_NULLFLAG_NULL) continue;
        recBuf[k->GetNullFlagOffset()] = flag;
        SetExtraKeyFlag(recBuf, flag);
    }
}

void TZanDataSet::SetKeyFieldsAfter(uint8_t* recBuf, const std::string& indexName, int after,
                                    uint8_t flag) {
    TIndexItem& index = IndexByName(indexName, "TZanDataSet.SetKeyFieldsAfter");
    for (int i = after + 1; i < index.GetKeyFields().Count(); ++i) {
        const TKeyFieldItem* k = index.GetKeyFields().Items(i);
        if (k->GetPhysicalFieldNo() >= 0) recBuf[k->GetNullFlagOffset()] = flag;
    }
    SetExtraKeyFlag(recBuf, flag);
}

void TZanDataSet::SetFieldKeyFlagToMax(int32_t n) {
    FRecBuf[size_t(GetFieldNullOffset(n))] = C_NULLFLAG_HIGHEST;
    SetExtraKeyFlag(FRecBuf.data(), C_NULLFLAG_HIGHEST);
}

void TZanDataSet::SetKeyFlagsTo(uint8_t* recBuf, uint8_t flag) {
    std::memset(recBuf, 0, size_t(GetRecBufSize()));
    TInternalFields& fields = *FTableDef->GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i)
        recBuf[fields.Items(i)->GetNullFlagOffset()] = flag;
    SetExtraKeyFlag(recBuf, flag);
}

void TZanDataSet::SetKeyFlagsToBOF(uint8_t* recBuf) {
    SetKeyFlagsTo(recBuf, C_NULLFLAG_LOWEST);
}

void TZanDataSet::SetKeyFlagsToEOF(uint8_t* recBuf) {
    SetKeyFlagsTo(recBuf, C_NULLFLAG_HIGHEST);
}

void TZanDataSet::SetRangeOn(bool on) {
    CheckInternalActive();
    if (on) {
        TIndexItem& index = CurrentIndexItem("TZanDataSet.SetRangeOn");
        for (int m = 0; m < 2; ++m) {
            uint8_t* buf = FRangeBuf[m].data();
            // The part that is not a table field bounds the range: below every duplicate at
            // the start, above every duplicate at the end; unless the end was moved past its
            // key already (a value longer than its field).
            const uint8_t outer = m == rmRangeStart ? C_NULLFLAG_LOWEST : C_NULLFLAG_HIGHEST;
            const uint8_t inner = m == rmRangeStart ? C_NULLFLAG_HIGHEST : C_NULLFLAG_LOWEST;
            if (ExtraKeyFlag(buf) != inner) SetExtraKeyFlag(buf, outer);
            BuildMarkers(index, buf, FRangeMarkers[m]);
            index.CreateTempKeyBuffer(buf);
            std::fill(FRangeKey[m].begin(), FRangeKey[m].end(), 0);
            std::memcpy(FRangeKey[m].data(), index.GetTempKeyBuffer(),
                        std::min(FRangeKey[m].size(), size_t(index.GetMaximumKeySize()) + 1));
        }
        FRangeValid = index.CompareKeyBuffers(0, &FRangeMarkers[0], &FRangeMarkers[1],
                                              FRangeKey[0].data(), FRangeKey[1].data()) <= 0;
        FRangeActive = true;
    } else {
        FRangeActive = FRangeValid = false;
        InitializeRangeBuffers(rmRangeStart);
        InitializeRangeBuffers(rmRangeEnd);
    }
    ClearFoundFlags();
    FFilterMgr->ResetFilter();
    InvalidateReadAhead(false);
}

bool TZanDataSet::CheckKeyBufInRange(const uint8_t* keyBuf, TRangeMode mode) {
    TIndexItem& index = CurrentIndexItem("TZanDataSet.CheckKeyBufInRange");
    const int32_t cmp =
        index.CompareKeyBuffers(0, &FRangeMarkers[mode], nullptr, FRangeKey[mode].data(), keyBuf);
    return mode == rmRangeStart ? cmp <= 0 : cmp >= 0;
}

// -1 below the range start, 1 above the range end, else 0 (for the end asked).
int32_t TZanDataSet::CompareToRange(TRangeMode mode, const uint8_t* recBuf) {
    TIndexItem& index = CurrentIndexItem("TZanDataSet.CompareToRange");
    index.CreateTempKeyBuffer(recBuf);
    if (CheckKeyBufInRange(index.GetTempKeyBuffer(), mode)) return 0;
    return mode == rmRangeStart ? -1 : 1;
}

bool TZanDataSet::KeyInRange(const uint8_t* recBuf) {
    return CompareToRange(rmRangeStart, recBuf) == 0 && CompareToRange(rmRangeEnd, recBuf) == 0;
}

bool TZanDataSet::MoveToRangeEnd(TRangeMode mode) {
    TIndexItem& index = CurrentIndexItem("TZanDataSet.MoveToRangeEnd");
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    index.CopyKeyBuffer(FRangeKey[mode].data(), &FRangeMarkers[mode]);
    const bool found = index.FullIndexSearch(mode == rmRangeStart ? stGE : stLE) == 0 &&
                       index.GetRecordAddress() != 0;
    if (!found) return false;
    ReadAtIndex(index, FRecBuf.data(), true);
    FBufferState = 1;
    SetExtraInfo(FRangeBuf[mode].data(), ExtraAddress(FRecBuf.data()), ExtraRecNo(FRecBuf.data()));
    FRangeFound[mode] = true;
    return true;
}

uint32_t TZanDataSet::GetRangeEndRecNo(TRangeMode mode) {
    if (!FRangeActive || !FRangeValid) return 0;
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    if (FRangeFound[mode]) return ExtraRecNo(FRangeBuf[mode].data());
    TIndexItem& index = CurrentIndexItem("TZanDataSet.GetRangeEndRecNo");
    index.CopyKeyBuffer(FRangeKey[mode].data(), &FRangeMarkers[mode]);
    uint32_t address = 0, recNo = 0;
    if (index.FullIndexSearch(mode == rmRangeStart ? stGE : stLE) == 0) {
        address = index.GetRecordAddress();
        recNo = index.GetRecordNo();
    }
    // The index cursor is not a position of this cursor: every move searches again.
    SetExtraInfo(FRangeBuf[mode].data(), address, recNo);
    FRangeFound[mode] = true;
    return recNo;
}

bool TZanDataSet::ValidateRecBufPostDataChange() {
    if (!FRangeActive || !FRangeValid) return true;
    if (CompareToRange(rmRangeStart, FRecBuf.data()) < 0) {
        MoveToRangeEnd(rmRangeStart);
        return false;
    }
    if (CompareToRange(rmRangeEnd, FRecBuf.data()) > 0) {
        MoveToRangeEnd(rmRangeEnd);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Counts and numbers

int32_t TZanDataSet::GetTotalRecordCount() {
    if (!FInternalActive) return 0;
    if (FReadAhead->GetRecordCountValid()) return FReadAhead->GetLastRecordCount();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    return int32_t(CurrentIndexItem("TZanDataSet.GetTotalRecordCount").GetRecordCount());
}

int32_t TZanDataSet::GetCurrentRecordCount() {
    if (!FInternalActive) return 0;
    if (FFilterMgr->GetActive()) return FFilterMgr->GetRecordCount();
    if (!FRangeActive) return GetTotalRecordCount();
    if (!FRangeValid) return 0;
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    const int64_t start = GetRangeEndRecNo(rmRangeStart);
    const int64_t end = GetRangeEndRecNo(rmRangeEnd);
    const int32_t count = start >= 1 && end >= 1 ? int32_t(std::max<int64_t>(end - start + 1, 0))
                                                 : 0;
    if (count > 0 && GetActive() && GetRecNo() == 0)
        GDBLogger().LogItem(FTableName, "Invalid recno/count. Resetting to range start");
    return count;
}

int32_t TZanDataSet::DataSetGetRecordNo() {
    return DataSetGetRecordNoFromBuf(FRecBuf.data());
}

int32_t TZanDataSet::DataSetGetRecordNoFromBuf(const uint8_t* recBuf) {
    // Under a filter the number is the position in the filter's result.
    if (FFilterMgr->GetActive()) return FFilterMgr->GetFilterPosition(ExtraAddress(recBuf));
    int32_t n = int32_t(ExtraRecNo(recBuf));
    if (FRangeActive && n > 0) {
        const int32_t base = int32_t(GetRangeEndRecNo(rmRangeStart));
        if (base >= 1) n = n - base + 1;
    }
    return n;
}

int32_t TZanDataSet::DataSetSetRecordNo(int32_t n) {
    if (n < 1) return -1;
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    if (FFilterMgr->GetActive()) {
        // With a filter the number is a position in the filter list, as RecNo reads it.
        const uint32_t address = FFilterMgr->GetFilterRecord(n);
        if (address == 0) return -1;
        SetToRecord(address, nullptr, true, false);
        return n;
    }
    int64_t absolute = n, bound;
    if (FRangeActive) {
        if (!FRangeValid) return -1;
        const int64_t base = GetRangeEndRecNo(rmRangeStart);
        if (base > 0) absolute = base + n - 1;
        bound = GetRangeEndRecNo(rmRangeEnd);
    } else {
        bound = GetTotalRecordCount();
    }
    if (absolute < 1 || absolute > bound) return -1;
    TIndexItem& index = CurrentIndexItem("TZanDataSet.DataSetSetRecordNo");
    const uint32_t address = index.SetRecordNo(uint32_t(absolute));
    if (address == 0) return -1;
    SetToRecord(address, nullptr, true, false);
    return n;
}

// ---------------------------------------------------------------------------------------------
// Positioning on a known record

bool TZanDataSet::SetToRecord(uint32_t address, const uint8_t* compareBuf, bool reposition,
                              bool check) {
    static const char* const context = "TZanDataSet.SetToRecord";
    if (address == 0) ZanDatabaseError(8581, context, "Invalid address of 0 for SetToRecord");
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    TIndexSearchType type;
    const int32_t recordSize = InternalGetRecordSize();
    if (ReadValidRecord(address, FScratch.data())) {
        FRecordMgr->ReadRecord(address, FRecBuf.data(), true);
        SetExtraInfo(FRecBuf.data(), address, 0);
        SetExtraKeyFlag(FRecBuf.data(), 0);
        type = stEQ;
        if (check && compareBuf &&
            (GetLE32(compareBuf + C_REC_OWNER_OFFSET) != FOwnerTag ||
             GetLE32(compareBuf + C_REC_LOGICAL_RECNO_OFFSET) !=
                 GetLE32(FRecBuf.data() + C_REC_LOGICAL_RECNO_OFFSET)))
            ZanDatabaseError(8708, context);
    } else {
        type = stLEG;
        if (compareBuf)
            std::memcpy(FRecBuf.data(), compareBuf, size_t(recordSize));
        else
            FRecordMgr->RestoreBufferFromInternalBuffer(FRecBuf.data());
        SetExtraKeyFlag(FRecBuf.data(), 0);
    }
    if (!reposition) return true;
    TIndexItem& index = CurrentIndexItem(context);
    CreateKey(index, FRecBuf.data());
    if (SearchIndex(index, type, nullptr) != 0) {
        if (index.GetRecordCount() > 0) ZanDatabaseError(8708, context);
        FBufferState = 0;
        return false;
    }
    const uint32_t found = index.GetRecordAddress();
    ZanAssert(found != 0, "The record cannot be found - the address is invalid");
    if (type == stLEG) FRecordMgr->ReadRecord(found, FRecBuf.data(), true);
    FBufferState = 1;
    SetExtraInfo(FRecBuf.data(), found, index.GetRecordNo());
    if (!FFilterMgr->GetActive()) return true;
    return FFilterMgr->FindFilterRecord(found, stEQ) == found;
}

bool TZanDataSet::SetToRecordKeepingBlobs(uint32_t address, const uint8_t* compareBuf) {
    TBlobMgr& blobs = FRecordMgr->GetBlobMgr();
    std::vector<std::pair<int, std::unique_ptr<TMemoryStream>>> pending;
    for (int i = 0; i < blobs.Count(); ++i) {
        TBlob& blob = *blobs.Items(i);
        if (blob.GetState() != bsModified) continue;
        pending.emplace_back(i, std::make_unique<TMemoryStream>());
        blob.GetStream().SaveToStream(*pending.back().second);
    }
    TScopeExit restore([&] {
        for (auto& [i, stream] : pending) {
            TBlob& blob = *blobs.Items(i);
            blob.GetStream().LoadFromStream(*stream);
            blob.SetState(bsModified);
        }
    });
    return SetToRecord(address, compareBuf, true, false);
}

bool TZanDataSet::SetToRecordBuffer(const uint8_t* recBuf, bool reposition, bool check) {
    const uint32_t address = ExtraAddress(recBuf);
    if (address == 0 && !check) {
        DataSetFirst();
        return false;
    }
    return SetToRecord(address, recBuf, reposition, check);
}

bool TZanDataSet::DataSetSetToBookmark(const uint8_t* bookmark) {
    if (bookmark == nullptr) return false;
    return SetToRecord(GetLE32(bookmark), nullptr, true, false);
}

bool TZanDataSet::DataSetSetToFlags(uint32_t address, uint32_t stamp, uint32_t logicalNo) {
    // A deleted record's slot may hold a newer record with the same stamp: the logical record
    // number, never reused within a table, tells them apart.
    if (SetToRecord(address, nullptr, true, false) &&
        DataSetGetRecordModFlag(FRecBuf.data()) == stamp &&
        DataSetGetRecordLogicalNo(FRecBuf.data()) == logicalNo)
        return true;
    ZanDatabaseError(8708, "TZanDataSet.DataSetSetToFlags");
}

bool TZanDataSet::DataSetSetToLiveRecord(uint32_t address) {
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    if (!ReadValidRecord(address, FScratch.data())) return false;
    if (FFilterMgr->GetActive() && FFilterMgr->FindFilterRecord(address, stEQ) != address)
        return false;
    FRecordMgr->ReadRecord(address, FRecBuf.data(), true);
    SetExtraInfo(FRecBuf.data(), address, 0);
    SetExtraKeyFlag(FRecBuf.data(), 0);
    FBufferState = 1;
    return true;
}

void TZanDataSet::DataSetSetToUnorderedRecord(uint32_t address) {
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    FRecordMgr->ReadRecord(address, FRecBuf.data(), true);
    SetExtraInfo(FRecBuf.data(), address, ExtraRecNo(FRecBuf.data()));
    FBufferState = 1;
}

// ---------------------------------------------------------------------------------------------
// Re-reading

uint32_t TZanDataSet::RefreshDataSet(TIndexSearchType type, uint8_t* recBuf) {
    TIndexItem& index = CurrentIndexItem("TZanDataSet.RefreshDataSet");
    FRecordMgr->RestoreBufferFromInternalBuffer(FScratch.data());
    SetExtraKeyFlag(FScratch.data(), 0);
    CreateKey(index, FScratch.data());
    if (SearchIndex(index, type, nullptr) != 0) return 0;
    const uint32_t address = index.GetRecordAddress();
    ZanAssert(address != 0, "Address of 0 return from successful search");
    ReadAtIndex(index, recBuf, recBuf == FRecBuf.data());
    if (recBuf == FRecBuf.data()) FBufferState = 1;
    if (type == stLEG) {
        ClearFoundFlags();
        ValidateRecBufPostDataChange();
    }
    return address;
}

bool TZanDataSet::DataSetRefresh(uint8_t* recBuf, bool exact) {
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    InvalidateReadAhead(false);
    FFilterMgr->DropPassingCaches();
    if (RefreshDataSet(exact ? stEQ : stLEG, recBuf) == 0) return false;
    if (exact || !FRangeActive) return true;
    // The record was deleted: the nearest one may lie outside the range. The search went up
    // first, so a record above the range end means none is left above the deleted one: the
    // range's last record follows (none when the range is empty). One below the start was
    // found going down, after nothing was found going up: the range is empty.
    if (FRangeValid && KeyInRange(recBuf)) return true;
    if (!FRangeValid || recBuf != FRecBuf.data() || CompareToRange(rmRangeEnd, recBuf) == 0)
        return false;
    return DataSetInternalLast();
}

void TZanDataSet::RefreshDataSetIndex(uint32_t address) {
    TIndexItem& index = CurrentIndexItem("TZanDataSet.RefreshDataSetIndex");
    SetExtraKeyFlag(FRecBuf.data(), 0);
    index.CreateKeyBuffer(FRecBuf.data());
    if (index.FullIndexSearch(stEQ) != 0) ZanDatabaseError(8708, "TZanDataSet.RefreshDataSetIndex");
    if (address != 0 && index.GetRecordAddress() != address)
        GDBLogger().LogItem(FTableName, "RefreshDataSetIndex failed");
    SetExtraInfo(FRecBuf.data(), index.GetRecordAddress(), index.GetRecordNo());
}

// ---------------------------------------------------------------------------------------------
// Header change detection

void TZanDataSet::ReadTableHeader() {
    TTableDef& def = *FTableDef;
    TTableHeader& header = *def.GetTableHeader();
    const bool onDisk = !def.GetMemory() && !FDataBase->IsMemoryDatabase();
    if (onDisk) header.ReadHeader();
    const uint32_t stamp = header.GetModifiedFlag();
    // A rollback since the last read may have dropped pages this cursor's indexes hold
    // buffered, also when the header on disk never changed (a transaction whose commit failed
    // before its header was written): those buffers would name pages as they never were.
    TBaseIOInterface* io = header.GetIOInterface();
    const uint32_t rollbacks = io != nullptr ? io->GetRollbackCount() : 0;
    const bool changed = stamp != FLastStamp || rollbacks != FLastRollbacks;
    FLastRollbacks = rollbacks;
    if (changed) ClearFoundFlags();
    FPrevStamp = FLastStamp;
    FLastStamp = stamp;
    FIndexMgr->ReadIndexHeaders(changed);
    def.GetRecordInterface()->SetFirstEmpty(header.GetRecordFirstEmpty());
    def.GetRecordInterface()->SetFirstEmptyValid(true);
    if (def.GetUsesBlobs()) {
        def.GetBlobInterface()->SetFirstEmpty(header.GetBlobFirstEmpty());
        def.GetBlobInterface()->SetFirstEmptyValid(true);
    }
    if (changed) {
        InvalidateReadAhead(true);
        ClearBlobCache();
        FFilterMgr->ResetFilter();
    }
}

// ---------------------------------------------------------------------------------------------
// Read-ahead

void TZanDataSet::SetReadAheadMode(TReadAheadMode mode) {
    if (FReadAheadNesting == 0) FReadAheadMode = mode;
    ++FReadAheadNesting;
}

void TZanDataSet::ReleaseReadAheadMode() {
    if (FReadAheadNesting > 0) --FReadAheadNesting;
    if (FReadAheadNesting == 0) FReadAheadMode = raReadAheadInactive;
}

void TZanDataSet::ClearReadAheadMode() {
    FReadAheadNesting = 0;
    FReadAheadMode = raReadAheadInactive;
}

void TZanDataSet::InvalidateReadAhead(bool count) {
    FReadAhead->Invalidate();
    if (count) FReadAhead->SetRecordCountValid(false);
}

void TZanDataSet::FillReadAheadBuffer(int32_t size, TReadAheadDirection direction) {
    if (!FUseReadAheadBuffer || direction == rdNone || size < 2) return;
    TIndexItem* index = FIndexMgr->CurrentIndex();
    ZanAssert(index != nullptr, "Current Index item is not assigned");
    FReadAhead->Invalidate();
    index->ListReadAheadRecords(direction, size, *FReadAhead);
    ++FReadAheadFills;
    FReadAhead->SetValidTimeStamp(Now());
    if (FReadAhead->Count() == 0) return;
    if (FRangeActive) {
        const auto inRange = [&](TReadAheadBufferItem* item) {
            return FRangeValid && CheckKeyBufInRange(item->GetKeyBuffer(), rmRangeStart) &&
                   CheckKeyBufInRange(item->GetKeyBuffer(), rmRangeEnd);
        };
        if (!inRange(FReadAhead->Items(0)) || !inRange(FReadAhead->Last())) {
            for (int i = FReadAhead->Count() - 1; i >= 0; --i)
                if (!inRange(FReadAhead->Items(i))) FReadAhead->Delete(i);
            for (int i = 1; i < FReadAhead->Count(); ++i)
                ZanAssert(uint32_t(FReadAhead->Items(i)->GetRecNo()) ==
                              uint32_t(FReadAhead->Items(i - 1)->GetRecNo()) + 1,
                          "Read ahead buffer recno's are out of sync");
        }
    }
    // The filling's records are read together: their pages are looked up and fetched at once
    // (in address order where they are not cached), then each record is copied once.
    FRecordMgr->ReadFilling(*FReadAhead);
    for (int i = 0; i < FReadAhead->Count(); ++i) {
        TReadAheadBufferItem* item = FReadAhead->Items(i);
        CheckRecordAtEntry(*index, item->GetRecordBuffer(), item->GetRecAddr(),
                           item->GetKeyBuffer());
    }
}

bool TZanDataSet::GetFromReadAheadBuffer(TReadAheadDirection direction) {
    if (!FUseReadAheadBuffer || !FInternalActive || !FReadAhead->IsValid(Now())) return false;
    const uint32_t address = ExtraAddress(FRecBuf.data());
    if (address == 0 || FBufferState != 1) return false;
    TReadAheadBufferItem* item = direction == rdForwards    ? FReadAhead->GetNextBufferItem(address)
                                 : direction == rdBackwards ? FReadAhead->GetPriorBufferItem(address)
                                                            : FReadAhead->GetBufferItem(address);
    if (item == nullptr) return false;
    std::memcpy(FRecBuf.data(), item->GetRecordBuffer(), size_t(InternalGetRecordSize()));
    // The record served is the last one read, as if it had been read now.
    FRecordMgr->KeepRecord(FRecBuf.data());
    SetExtraInfo(FRecBuf.data(), item->GetRecAddr(), uint32_t(item->GetRecNo()));
    SetExtraKeyFlag(FRecBuf.data(), 0);
    FBufferState = 1;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Filter bridge

bool TZanDataSet::InternalMoveToFilterRecord(TSeekPosition from, int32_t offset) {
    CheckInternalActive();
    const bool skipLock = FDataBase->GetQueryActive();
    const bool taken = !skipLock && TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    TFilterMgr& filter = *FFilterMgr;
    uint32_t address = 0;
    if (from == spFromCurrent) {
        const uint32_t current = ExtraAddress(FRecBuf.data());
        if (current != 0 && filter.InFilterList(current))
            address = filter.MoveBy(current, offset);
        else
            address = NearestFilterRecord(current, offset >= 0);
    } else {
        address = filter.MoveToEnd(from == spFromStart);
        if (address != 0 && offset != 0) address = filter.MoveBy(address, offset);
    }
    if (address == 0) return false;
    FRecordMgr->ReadRecord(address, FRecBuf.data(), true);
    if (!InternalCheckRecordValid(FRecBuf.data()))
        ZanDatabaseErrorFmt(8962, "TZanDataSet.InternalMoveToFilterRecord",
                            "No live record at %d", {int64_t(address)});
    // The index's record number (RecNo under a filter is the position in the result).
    SetExtraInfo(FRecBuf.data(), address,
                 filter.GetQueryActive() ? 0 : uint32_t(filter.GetRecNo(address)));
    SetExtraKeyFlag(FRecBuf.data(), 0);
    FBufferState = 1;
    return true;
}

bool TZanDataSet::PassFilterEvent(uint32_t address) {
    if (!FRecordFilter) return true;
    FRecordMgr->ReadRecord(address, FFilterBuf.data(), false);
    return FRecordFilter(FFilterBuf.data());
}

void TZanDataSet::InternalCheckFilterStatus(bool lockWasHeld) {
    // A filter kept for the next find is computed again after any write of this cursor.
    if ((lockWasHeld && FFilterMgr->GetActive()) || FFilterMgr->GetSuspended())
        FFilterMgr->ResetFilter();
}

} // namespace zan
