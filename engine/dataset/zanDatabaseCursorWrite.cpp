// TZanDataSet writes: adding, updating and deleting records with index and blob upkeep; table
// and record locks; the table header write.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/ScopeExit.h"

namespace zan {

namespace {

std::string IndexDetail(const std::string& prefix, const TIndexItem& index, int position) {
    return prefix + index.GetIndexName() + ". Index " + std::to_string(position);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Locks

void TZanDataSet::InternalSetReadLock() {
    FDataBase->LockTable(*FTableDef, ZanLockRead);
    FReadLocked = true;
    try {
        ReadTableHeader();
    } catch (...) {
        FReadLocked = false;
        FDataBase->UnLockTable(*FTableDef);
        throw;
    }
}

void TZanDataSet::InternalSetWriteLock() {
    const bool hadRead = FReadLocked;
    FDataBase->LockTable(*FTableDef, ZanLockWrite);
    FReadLocked = FWriteLocked = true;
    try {
        ReadTableHeader();
    } catch (...) {
        FWriteLocked = false;
        FReadLocked = hadRead;
        if (!hadRead) FDataBase->UnLockTable(*FTableDef);
        throw;
    }
}

void TZanDataSet::InternalReleaseLock() {
    std::exception_ptr failure;
    if (FWriteLocked) {
        try {
            WriteTableHeader();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    FReadLocked = FWriteLocked = false;
    try {
        FDataBase->UnLockTable(*FTableDef);
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (FTableDef->GetRecordInterface()) FTableDef->GetRecordInterface()->SetFirstEmptyValid(false);
    if (FTableDef->GetBlobInterface()) FTableDef->GetBlobInterface()->SetFirstEmptyValid(false);
    if (failure) std::rethrow_exception(failure);
}

void TZanDataSet::LocksReleased() {
    FReadLocked = FWriteLocked = false;
    FRecordLocks.clear();
    if (!FInternalActive) return;
    if (FTableDef->GetRecordInterface()) FTableDef->GetRecordInterface()->SetFirstEmptyValid(false);
    if (FTableDef->GetBlobInterface()) FTableDef->GetBlobInterface()->SetFirstEmptyValid(false);
}

bool TZanDataSet::TakeReadLock() {
    if (FReadLocked || FWriteLocked) return false;
    InternalSetReadLock();
    return true;
}

TDiskMgr* TZanDataSet::WriteScopeDisk() const {
    return FTableDef->GetMemory() ? nullptr : FDataBase->GetDiskMgr();
}

bool TZanDataSet::TakeWriteLock() {
    if (FWriteLocked) return false;
    const bool hadRead = FReadLocked;
    InternalSetWriteLock();
    // A read lock the caller holds becomes the write lock and stays with the caller.
    return !hadRead;
}

void TZanDataSet::ReleaseTaken(bool taken) {
    if (taken) InternalReleaseLock();
}

bool TZanDataSet::ReadLockTable() {
    CheckInternalActive();
    if (!FReadLocked) InternalSetReadLock();
    return true;
}

bool TZanDataSet::LockTable() {
    CheckInternalActive();
    if (!FWriteLocked) InternalSetWriteLock();
    return true;
}

bool TZanDataSet::UnlockTable() {
    if (FReadLocked || FWriteLocked) InternalReleaseLock();
    return true;
}

bool TZanDataSet::InternalSetRecordLock(uint32_t address) {
    const bool locked = FDataBase->LockRecord(*FTableDef, address);
    if (locked) FRecordLocks.push_back(address);
    return locked;
}

bool TZanDataSet::InternalReleaseRecordLock(uint32_t address) {
    const auto it = std::find(FRecordLocks.begin(), FRecordLocks.end(), address);
    if (it == FRecordLocks.end()) return false;
    FRecordLocks.erase(it);
    // The connection holds one lock per record, whichever of its cursors took it: another cursor
    // still editing the record keeps it.
    auto holds = [&](TZanDataSet* other) {
        return other != nullptr && other != this && other->FTableDef &&
               other->FTableDef->GetMemory() == FTableDef->GetMemory() &&
               other->FTableDef->GetTableID() == FTableDef->GetTableID() &&
               other->HoldsRecordLock(address);
    };
    for (int i = 0; i < FDataBase->GetDataSetCount(); ++i)
        if (holds(dynamic_cast<TZanDataSet*>(FDataBase->GetDataSet(i)))) return true;
    for (TZanDataSet* other : FDataBase->InternalDataSets())
        if (holds(other)) return true;
    return FDataBase->UnLockRecord(*FTableDef, address);
}

bool TZanDataSet::HoldsRecordLock(uint32_t address) const {
    return std::find(FRecordLocks.begin(), FRecordLocks.end(), address) != FRecordLocks.end();
}

void TZanDataSet::CheckWritable(const char* context) const {
    // A cursor on a read-only database (or opened read-only) changes nothing.
    if (FIsReadOnly) ZanDatabaseError(10501, context);
}

void TZanDataSet::WriteHeaderInScope(bool taken) {
    if (taken || !FWriteLocked) return;
    TDiskMgr* disk = WriteScopeDisk();
    if (disk == nullptr || disk->IsTransactionActive()) return;
    WriteTableHeader();
}

void TZanDataSet::WriteTableHeader() {
    if (!FInternalActive || FIsReadOnly) return;
    TTableDef& def = *FTableDef;
    TTableHeader& header = *def.GetTableHeader();
    header.SetRecordFirstEmpty(def.GetRecordInterface()->GetFirstEmpty());
    if (def.GetUsesBlobs()) header.SetBlobFirstEmpty(def.GetBlobInterface()->GetFirstEmpty());
    FIndexMgr->WriteIndexHeaders();
    if (!header.GetDirty()) return;
    header.WriteHeader();
    // The stamp written is this cursor's own: it is no change to be detected.
    FPrevStamp = FLastStamp = header.GetModifiedFlag();
    InvalidateReadAhead(false);
    ClearBlobCache();
}

// ---------------------------------------------------------------------------------------------
// Identity

bool TZanDataSet::InternalCheckRecordValid(const uint8_t* recBuf) const {
    return recBuf[C_REC_INUSE_OFFSET] == 1 && GetLE32(recBuf + C_REC_OWNER_OFFSET) == FOwnerTag;
}

bool TZanDataSet::InternalCheckRecordFlags(const uint8_t* recBuf, const uint8_t* storedBuf,
                                           bool checkStamp, bool checkIdentity) const {
    bool ok = true;
    if (checkIdentity)
        ok = recBuf[C_REC_INUSE_OFFSET] == 1 && storedBuf[C_REC_INUSE_OFFSET] == 1 &&
             GetLE32(storedBuf + C_REC_OWNER_OFFSET) == FOwnerTag &&
             GetLE32(recBuf + C_REC_OWNER_OFFSET) == FOwnerTag &&
             GetLE32(recBuf + C_REC_LOGICAL_RECNO_OFFSET) ==
                 GetLE32(storedBuf + C_REC_LOGICAL_RECNO_OFFSET);
    if (ok && checkStamp)
        ok = GetLE32(recBuf + C_REC_STAMP_OFFSET) == GetLE32(storedBuf + C_REC_STAMP_OFFSET);
    return ok;
}

void TZanDataSet::AfterChange(uint32_t address, bool lockWasHeld) {
    if (FAppendOnly) {
        // The cursor stays unplaced: the caller moves it by address itself.
        FBufferState = 1;
        ClearFoundFlags();
        InternalCheckFilterStatus(lockWasHeld);
        return;
    }
    FBufferState = 1;
    ClearFoundFlags();
    RefreshDataSetIndex(address);
    ValidateRecBufPostDataChange();
    InternalCheckFilterStatus(lockWasHeld);
}

// ---------------------------------------------------------------------------------------------
// Add

void TZanDataSet::AddRecord(bool useAutoInc) {
    static const char* const context = "TZanDataSet.AddRecord";
    CheckInternalActive();
    CheckWritable(context);
    CheckPrivilegePresent(FTableDef->GetPrivilegeFlags(), MapObjectPrivTypeToConst(opInsertData));
    ZanAssert(!FRecBuf.empty(), "Add record. RecBuf not assigned");
    const bool lockWasHeld = FWriteLocked;
    TDiskWriteScope scope(WriteScopeDisk()); // the record, its keys and blobs: all or nothing
    const bool taken = TakeWriteLock();
    TTableHeader& header = *FTableDef->GetTableHeader();
    const int uncaught = std::uncaught_exceptions();
    TScopeExit release([&] {
        header.SetDirty(true);
        if (std::uncaught_exceptions() == uncaught) WriteHeaderInScope(taken);
        ReleaseTaken(taken);
    });
    uint8_t* rec = FRecBuf.data();
    SetExtraKeyFlag(rec, 0);
    // A refused record leaves the counters as they were.
    const uint32_t autoInc = header.GetRecordAutoIncVal();
    const uint32_t logicalNo = header.GetLogicalRecordNo();
    try {
        TInternalFields& fields = *FTableDef->GetInternalFields();
        if (fields.GetAutoIncFieldNo() >= 0) {
            const TInternalFieldItem& f = *fields.GetField(fields.GetAutoIncFieldNo());
            const uint32_t next = autoInc + 1;
            if (useAutoInc || rec[f.GetNullFlagOffset()] != C_NULLFLAG_VALUE) {
                // The counter may stand at the largest value (one given or written by an
                // update): the next number would wrap to a negative one, so it is refused.
                if (next > uint32_t(INT32_MAX))
                    ZanDatabaseError(9985, context,
                                     "Value " + std::to_string(uint64_t(next)) +
                                         " is out of range for field " + f.GetFieldName());
                RecordSetInteger(rec, f, int32_t(next));
                header.SetRecordAutoIncVal(next);
            } else {
                const int32_t given = RecordGetInteger(rec, f);
                if (given >= 0 && uint32_t(given) >= next)
                    header.SetRecordAutoIncVal(uint32_t(given));
            }
        }
        header.SetLogicalRecordNo(logicalNo + 1);
        PutLE32(rec + C_REC_LOGICAL_RECNO_OFFSET, logicalNo + 1);
        PutLE32(rec + C_REC_OWNER_OFFSET, FOwnerTag);
        rec[C_REC_INUSE_OFFSET] = 1;
        // Only a unique key can be taken already: a key of another index ends with the logical
        // record number just drawn, which no record of the table has had.
        for (int i = 0; i < FIndexMgr->Count(); ++i) {
            TIndexItem& index = *FIndexMgr->Items(i);
            if (!index.GetUnique() && !index.GetPrimary()) continue;
            index.CreateKeyBuffer(rec);
            if (index.FullIndexSearch(stEQ) == 0)
                ZanDatabaseErrorFmt(9729, context, "Index %s", {index.GetIndexName()});
        }
    } catch (...) {
        header.SetRecordAutoIncVal(autoInc);
        header.SetLogicalRecordNo(logicalNo);
        throw;
    }
    WriteBlobsToInterface(false);
    const uint32_t address = FRecordMgr->AddRecord(rec);
    ZanAssert(address != 0, "Add record. RecAddr = 0");
    SetExtraInfo(rec, address, 0);
    for (int i = 0; i < FIndexMgr->Count(); ++i) {
        TIndexItem& index = *FIndexMgr->Items(i);
        index.CreateKeyBuffer(rec);
        if (index.InsertKey(address) != 0)
            ZanDatabaseErrorFmt(8581, context, "Failed to add key to Index %s",
                                {index.GetIndexName()});
    }
    AfterChange(address, lockWasHeld);
    InvalidateReadAhead(true);
}

// ---------------------------------------------------------------------------------------------
// Update

void TZanDataSet::UpdateRecord() {
    static const char* const context = "TZanDataSet.UpdateRecord";
    CheckInternalActive();
    CheckWritable(context);
    CheckPrivilegePresent(FTableDef->GetPrivilegeFlags(), MapObjectPrivTypeToConst(opUpdateData));
    if (FBufferState == 0) ZanDatabaseError(8710, context);
    const bool lockWasHeld = FWriteLocked;
    uint8_t* rec = FRecBuf.data();
    const uint32_t address = ExtraAddress(rec);
    TDiskWriteScope scope(WriteScopeDisk()); // the record, its keys and blobs: all or nothing
    const bool taken = TakeWriteLock();
    const int uncaught = std::uncaught_exceptions();
    TScopeExit release([&] {
        FTableDef->GetTableHeader()->SetDirty(true);
        // A refused update leaves the edit going (to be corrected and posted, or cancelled): the
        // record stays locked for it.
        const bool refused = std::uncaught_exceptions() != uncaught;
        TScopeExit unlockRecord([&] {
            if (!refused) InternalReleaseRecordLock(address);
        });
        if (!refused) WriteHeaderInScope(taken);
        ReleaseTaken(taken);
    });
    SetExtraKeyFlag(rec, 0);
    // The stored record must still be the one this buffer was read from.
    std::vector<uint8_t> stored(FRecBuf.size(), 0);
    if (!ReadValidRecord(address, stored.data()) ||
        !InternalCheckRecordFlags(rec, stored.data(), true, true))
        ZanDatabaseError(8708, context);
    std::vector<int> changed;
    std::vector<uint8_t> oldKey, newKey;
    for (int i = 0; i < FIndexMgr->Count(); ++i) {
        TIndexItem& index = *FIndexMgr->Items(i);
        const size_t keySize = size_t(index.GetMaximumKeySize()) + 1;
        index.CreateTempKeyBuffer(stored.data());
        oldKey.assign(index.GetTempKeyBuffer(), index.GetTempKeyBuffer() + keySize);
        index.CreateTempKeyBuffer(rec);
        newKey.assign(index.GetTempKeyBuffer(), index.GetTempKeyBuffer() + keySize);
        // An unchanged key is this record's own entry: only a changed one can meet another's.
        if (oldKey == newKey) continue;
        changed.push_back(i);
        index.CreateKeyBuffer(rec);
        if (index.FullIndexSearch(stEQ) == 0 && index.GetRecordAddress() != address)
            ZanDatabaseErrorFmt(9729, context, "Index %s", {index.GetIndexName()});
    }
    PutLE32(rec + C_REC_STAMP_OFFSET, GetLE32(stored.data() + C_REC_STAMP_OFFSET) + 1);
    WriteBlobsToInterface(false);
    FRecordMgr->UpdateRecord(address, rec);
    for (size_t k = 0; k < changed.size(); ++k) {
        TIndexItem& index = *FIndexMgr->Items(changed[k]);
        const int position = int(k);
        index.CreateKeyBuffer(stored.data());
        // The stored record was read whole above: an index without its key, or holding the
        // new key the search before found free, is damaged.
        if (index.FullIndexSearch(stEQ) != 0)
            ZanDatabaseError(8962, context, IndexDetail("Key not found in Index - ", index, position));
        if (index.DeleteKey() != 0)
            ZanDatabaseError(8962, context,
                             IndexDetail("Failed to delete key from Index ", index, position));
        index.CreateKeyBuffer(rec);
        if (index.FullIndexSearch(stEQ) == 0)
            ZanDatabaseError(8962, context,
                             IndexDetail("Unexpected key violation on update- Index ", index,
                                         position));
        index.CreateKeyBuffer(rec);
        if (index.InsertKey(address) != 0)
            ZanDatabaseError(8581, context,
                             IndexDetail("Failed to add key to index - Index ", index, position));
    }
    // A value written into an AUTOINC field is never drawn again: the counter moves up to it,
    // as it does for a value given when the record is added.
    const TInternalFields& fields = *FTableDef->GetInternalFields();
    if (fields.GetAutoIncFieldNo() >= 0) {
        const TInternalFieldItem& f = *fields.GetField(fields.GetAutoIncFieldNo());
        TTableHeader& header = *FTableDef->GetTableHeader();
        const int32_t given = RecordGetInteger(rec, f);
        if (rec[f.GetNullFlagOffset()] == C_NULLFLAG_VALUE && given > 0 &&
            uint32_t(given) > header.GetRecordAutoIncVal())
            header.SetRecordAutoIncVal(uint32_t(given));
    }
    AfterChange(address, lockWasHeld);
    InvalidateReadAhead(false);
    ClearBlobCache();
}

// ---------------------------------------------------------------------------------------------
// Delete

int32_t TZanDataSet::DeleteRecord(const uint8_t* compareBuf) {
    static const char* const context = "TZanDataSet.DeleteRecord";
    CheckInternalActive();
    CheckWritable(context);
    CheckPrivilegePresent(FTableDef->GetPrivilegeFlags(), MapObjectPrivTypeToConst(opDeleteData));
    ZanAssert(!FRecBuf.empty(), "Delete record. RecBuf not assigned");
    const bool lockWasHeld = FWriteLocked;
    TDiskWriteScope scope(WriteScopeDisk()); // the record, its keys and blobs: all or nothing
    const bool taken = TakeWriteLock();
    int32_t result = 0;
    const int uncaught = std::uncaught_exceptions();
    TScopeExit release([&] {
        if (result != -1) {
            FTableDef->GetTableHeader()->SetDirty(true);
            if (std::uncaught_exceptions() == uncaught) WriteHeaderInScope(taken);
        }
        ReleaseTaken(taken);
    });
    uint8_t* rec = FRecBuf.data();
    SetExtraKeyFlag(rec, 0);
    const uint32_t address = ExtraAddress(rec);
    // The stored record at the buffer's address, as it is now.
    std::vector<uint8_t> stored(FRecBuf.size(), 0);
    const bool valid = ReadValidRecord(address, stored.data());
    if (compareBuf && (!valid || !InternalCheckRecordFlags(compareBuf, stored.data(), true, true))) {
        result = -1;
        return result;
    }
    // The keys to remove are those of the stored record, whatever the buffer holds now.
    if (valid) std::memcpy(rec, stored.data(), size_t(InternalGetRecordSize()));
    for (int i = 0; i < FIndexMgr->Count(); ++i) {
        TIndexItem& index = *FIndexMgr->Items(i);
        index.CreateKeyBuffer(rec);
        if (index.FullIndexSearch(stEQ) != 0)
            ZanDatabaseErrorFmt(8708, context, "Index %s", {index.GetIndexName()});
    }
    const uint32_t target = FIndexMgr->Items(0)->GetRecordAddress();
    FRecordMgr->DeleteRecord(target);
    WriteBlobsToInterface(true);
    for (int i = 0; i < FIndexMgr->Count(); ++i) {
        TIndexItem& index = *FIndexMgr->Items(i);
        if (index.DeleteKey() != 0)
            ZanDatabaseErrorFmt(8581, context, "Failed to delete key from Index %s",
                                {index.GetIndexName()});
    }
    FBufferState = 0;
    ClearFoundFlags();
    FReadAheadDirection = rdNone;
    InvalidateReadAhead(true);
    ClearBlobCache();
    // The cursor goes to the following record, else to the preceding one.
    TIndexItem& current = CurrentIndexItem(context);
    current.CreateKeyBuffer(rec);
    bool found = current.FullIndexSearch(stGE) == 0;
    if (!found) {
        current.CreateKeyBuffer(rec);
        found = current.FullIndexSearch(stLE) == 0;
    }
    if (found && current.GetRecordAddress() != 0) {
        ReadAtIndex(current, rec, true);
        FBufferState = 1;
        ValidateRecBufPostDataChange();
    }
    InternalCheckFilterStatus(lockWasHeld);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Blobs of the record being written

void TZanDataSet::WriteBlobsToInterface(bool deleting) {
    static const char* const context = "TZanDataSet.WriteBlobsToInterface";
    TBlobMgr& blobs = FRecordMgr->GetBlobMgr();
    TInternalFields& fields = *FTableDef->GetInternalFields();
    uint8_t* rec = FRecBuf.data();
    // Two fields of the record naming one chain: releasing or rewriting one would free or
    // change blocks the other still names (and a later chain would take them), so the record
    // is damaged and nothing is written.
    for (int i = 1; i < blobs.Count(); ++i) {
        const TInternalFieldItem* a = fields.GetField(blobs.Items(i)->GetFieldNo());
        if (a == nullptr || !IsBlobFieldType(a->GetDataType()) ||
            rec[a->GetNullFlagOffset()] == C_NULLFLAG_NULL)
            continue;
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(rec, *a, head, length);
        for (int j = 0; j < i && head != 0; ++j) {
            const TInternalFieldItem* b = fields.GetField(blobs.Items(j)->GetFieldNo());
            if (b == nullptr || !IsBlobFieldType(b->GetDataType()) ||
                rec[b->GetNullFlagOffset()] == C_NULLFLAG_NULL)
                continue;
            uint32_t other = 0;
            RecordGetBlobRef(rec, *b, other, length);
            if (other == head)
                ZanDatabaseErrorFmt(8962, context, "Blob fields %s and %s name one chain at %d",
                                    {b->GetFieldName(), a->GetFieldName(), int64_t(head)});
        }
    }
    for (int i = 0; i < blobs.Count(); ++i) {
        TBlob& blob = *blobs.Items(i);
        const TInternalFieldItem* field = fields.GetField(blob.GetFieldNo());
        if (field == nullptr || !IsBlobFieldType(field->GetDataType()))
            ZanDatabaseError(8581, context, "Blob field not found");
        if (deleting) {
            blob.GetStream().Clear();
            blob.SetState(bsModified);
        }
        if (blob.GetState() != bsModified) continue;
        uint32_t head = 0, length = 0;
        if (rec[field->GetNullFlagOffset()] != C_NULLFLAG_NULL)
            RecordGetBlobRef(rec, *field, head, length);
        TMemoryStream& stream = blob.GetStream();
        stream.SetPosition(0);
        const uint32_t size = uint32_t(stream.GetSize());
        if (head == 0) {
            if (size > 0) head = FBlobInterface->InsertBlob(stream);
        } else if (size > 0) {
            head = FBlobInterface->EditBlob(head, length, stream);
        } else {
            FBlobInterface->DeleteBlob(head, length);
            head = 0;
        }
        RecordSetBlobRef(rec, *field, head, head == 0 ? 0 : size);
        blob.SetState(deleting ? bsInvalid : bsValid);
    }
}

} // namespace zan
