#include "engine/dataset/zanRowStore.h"

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/StringList.h"

namespace zan {

TZanRowStore::TZanRowStore(TBaseTableDefMgr& mgr, TDiskMgr* disk, const std::string& name,
                           const TTableDef& stored)
    : FMgr(mgr), FDisk(disk) {
    FDef.Assign(stored);
    FDef.SetInternalTable(stored.GetInternalTable());
    FMgr.OpenTableDefConnection(name, FDef);
    try {
        OpenStores();
    } catch (...) {
        FIndexes.Close();
        FDef.InternalClose();
        FMgr.CloseTableDefConnection(FDef.GetTableID());
        throw;
    }
}

void TZanRowStore::OpenStores() {
    FIndexes.SetIOInterface(FDef.GetIndexInterface());
    FIndexes.SetTableHeader(FDef.GetTableHeader());
    FIndexes.SetDBStringCompareFunction(DBANSICompareStrings);
    FIndexes.Assign(*FDef.GetInternalIndexDefs());
    FIndexes.AssignKeyFields(*FDef.GetKeyFields());
    FIndexes.Open();
    FBlob.SetIOInterface(FDef.GetBlobInterface());
    FBlob.SetBlobBlockSize(static_cast<uint32_t>(FDef.GetDefaultBlobSize()));
    FBlob.Open();
}

TZanRowStore::~TZanRowStore() {
    try {
        FBlob.Close();
        FIndexes.Close();
        const int32_t id = FDef.GetTableID();
        FDef.InternalClose();
        FMgr.CloseTableDefConnection(id);
    } catch (const std::exception&) {
        // Closing forgets the stores; nothing of the file is changed here.
    }
}

const TInternalFieldItem& TZanRowStore::Field(const std::string& name) const {
    TInternalFields& fields = *FDef.GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i)
        if (SameText(fields.Items(i)->GetFieldName(), name)) return *fields.Items(i);
    ZanDatabaseError(8579, "TZanRowStore.Field", name);
}

TZanRow TZanRowStore::NewRow() const {
    return TZanRow(static_cast<size_t>(FDef.GetRecordSize()), 0);
}

TIndexItem& TZanRowStore::Index(const std::string& name) const {
    TIndexItem* index = FIndexes.FindIndex(name);
    if (index == nullptr) ZanDatabaseError(8579, "TZanRowStore.Index", name);
    return *index;
}

void TZanRowStore::Acquire(bool write) {
    if (FDisk) {
        const uint16_t id = TableID();
        // A table lock this connection holds already (taken before the header lock by a change
        // of several tables) stays with its taker: it is neither taken again nor released here.
        const int32_t held = FDisk->QueryTableLockStatus(id);
        FTableLockTaken = !(held == ZanLockWrite || (held == ZanLockRead && !write));
        const bool headerFree = !FDisk->GetHeaderReadLocked() && !FDisk->GetHeaderWriteLocked();
        const int32_t type = write ? ZanLockWrite : ZanLockRead;
        if (FTableLockTaken && !headerFree) FDisk->SetTableLock(id, type);
        FHeaderLockTaken = false;
        try {
            if (FTableLockTaken && headerFree) {
                // Both locks with one look at the journal.
                FDisk->SetTableLockWithHeader(id, type, write);
                FHeaderLockTaken = true;
            } else if (headerFree) {
                if (write)
                    FDisk->SetHeaderWriteLock();
                else
                    FDisk->SetHeaderReadLock();
                FHeaderLockTaken = true;
            } else if (write && !FDisk->GetHeaderWriteLocked()) {
                ZanDatabaseError(8581, "TZanRowStore.Acquire",
                                 "Header read lock held for a change");
            }
            FDef.GetTableHeader()->ReadHeader();
        } catch (...) {
            if (FHeaderLockTaken) {
                TScopeExit unlock([&] {
                    if (FTableLockTaken) FDisk->ReleaseTableLock(id);
                });
                FDisk->ReleaseHeaderLock();
            } else if (FTableLockTaken) {
                FDisk->ReleaseTableLock(id);
            }
            FHeaderLockTaken = false;
            FTableLockTaken = false;
            throw;
        }
    }
    LoadFreeHeads();
    FIndexes.ReadIndexHeaders(true);
    FWriteLocked = write;
}

void TZanRowStore::LoadFreeHeads() {
    TTableHeader& h = *FDef.GetTableHeader();
    FDef.GetRecordInterface()->SetFirstEmpty(h.GetRecordFirstEmpty());
    FDef.GetRecordInterface()->SetFirstEmptyValid(true);
    FDef.GetBlobInterface()->SetFirstEmpty(h.GetBlobFirstEmpty());
    FDef.GetBlobInterface()->SetFirstEmptyValid(true);
}

void TZanRowStore::StoreFreeHeads() {
    TTableHeader& h = *FDef.GetTableHeader();
    h.SetRecordFirstEmpty(FDef.GetRecordInterface()->GetFirstEmpty());
    h.SetBlobFirstEmpty(FDef.GetBlobInterface()->GetFirstEmpty());
}

void TZanRowStore::NewRecordPrefix(uint8_t* rec) {
    TTableHeader& h = *FDef.GetTableHeader();
    rec[C_REC_INUSE_OFFSET] = 1;
    PutLE32(rec + C_REC_OWNER_OFFSET, uint32_t(TableID()) * 16 + C_USAGE_RECORDS);
    h.SetLogicalRecordNo(h.GetLogicalRecordNo() + 1);
    PutLE32(rec + C_REC_LOGICAL_RECNO_OFFSET, h.GetLogicalRecordNo());
}

void TZanRowStore::Release(bool write) {
    std::exception_ptr failure;
    if (write) {
        try {
            FIndexes.WriteIndexHeaders();
            StoreFreeHeads();
            FDef.GetTableHeader()->WriteHeader();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (FDisk) {
        try {
            if (FHeaderLockTaken) FDisk->ReleaseHeaderLock();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        FHeaderLockTaken = false;
        try {
            if (FTableLockTaken) FDisk->ReleaseTableLock(TableID());
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        FTableLockTaken = false;
    }
    FWriteLocked = false;
    if (failure) std::rethrow_exception(failure);
}

void TZanRowStore::WithLock(bool write, const std::function<void()>& f) {
    if (FLockDepth > 0) {
        if (write && !FWriteLocked)
            ZanDatabaseError(8581, "TZanRowStore.WithLock", "Change inside a read-only scope");
        ++FLockDepth;
        TScopeExit leave([&] { --FLockDepth; });
        f();
        return;
    }
    Acquire(write);
    FLockDepth = 1;
    try {
        f();
    } catch (...) {
        FLockDepth = 0;
        FreeNewBlobs(NewRow());
        try {
            Release(write);
        } catch (...) {
            // The first failure is the one to report.
        }
        throw;
    }
    FLockDepth = 0;
    Release(write);
}

void TZanRowStore::RequireWrite(const char* context) const {
    if (FLockDepth == 0 || !FWriteLocked)
        ZanDatabaseError(8581, context, "The table is not locked for a change");
}

uint32_t TZanRowStore::Find(const std::string& indexName, const TZanRow& key) {
    uint32_t address = 0;
    WithLock(false, [&] {
        TIndexItem& index = Index(indexName);
        index.CreateKeyBuffer(key.data());
        if (index.FullIndexSearch(stEQ) == 0) address = index.GetRecordAddress();
    });
    return address;
}

TZanRow TZanRowStore::Read(uint32_t address) {
    TZanRow row = NewRow();
    WithLock(false, [&] {
        FDef.GetRecordInterface()->ReadBlock(address, static_cast<uint32_t>(row.size()),
                                             row.data());
    });
    const uint32_t owner = GetLE32(row.data() + C_REC_OWNER_OFFSET);
    if (row[C_REC_INUSE_OFFSET] != 1 || owner != uint32_t(TableID()) * 16 + C_USAGE_RECORDS)
        ZanDatabaseErrorFmt(8962, "TZanRowStore.Read", "Record at %d is not a record of table %d",
                            {int64_t(address), int64_t(TableID())});
    return row;
}

void TZanRowStore::RemoveKeys(const TZanRow& row, uint32_t address, int count) {
    for (int i = 0; i < count; ++i) {
        TIndexItem* index = FIndexes.Items(i);
        index->CreateKeyBuffer(row.data());
        if (index->FullIndexSearch(stEQ) != 0 || index->GetRecordAddress() != address)
            ZanDatabaseErrorFmt(8962, "TZanRowStore.RemoveKeys", "Index %s misses record %d",
                                {index->GetIndexName(), int64_t(address)});
        index->DeleteKey();
    }
}

void TZanRowStore::InsertKeys(const TZanRow& row, uint32_t address, const char* context) {
    for (int i = 0; i < FIndexes.Count(); ++i) {
        FIndexes.Items(i)->CreateKeyBuffer(row.data());
        if (FIndexes.Items(i)->InsertKey(address) != 0) {
            RemoveKeys(row, address, i);
            ZanDatabaseError(9729, context, FIndexes.Items(i)->GetIndexName());
        }
    }
}

void TZanRowStore::FreeNewBlobs(const TZanRow&) noexcept {
    for (const auto& [field, head] : FNewBlobs) {
        try {
            FBlob.DeleteBlob(head);
        } catch (const std::exception&) {
            // A chain that cannot be freed stays allocated; the record never pointed to it.
        }
    }
    FNewBlobs.clear();
}

void TZanRowStore::FreeBlobs(const TZanRow& row) {
    TInternalFields& fields = *FDef.GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i) {
        if (!IsBlobFieldType(fields.Items(i)->GetDataType())) continue;
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(row.data(), *fields.Items(i), head, length);
        if (head != 0) FBlob.DeleteBlob(head, length);
    }
}

uint32_t TZanRowStore::Insert(TZanRow& row) {
    static const char* const context = "TZanRowStore.Insert";
    TDiskWriteScope scope(FDisk); // all of the row or nothing, also for a killed process
    uint32_t address = 0;
    WithLock(true, [&] {
        RequireWrite(context);
        ZanAssert(row.size() == size_t(FDef.GetRecordSize()), "Insert: record size");
        TTableHeader& h = *FDef.GetTableHeader();
        // A refused record leaves the counters as they were.
        const uint32_t logicalNo = h.GetLogicalRecordNo(), autoInc = h.GetRecordAutoIncVal();
        auto restore = [&] {
            h.SetLogicalRecordNo(logicalNo);
            h.SetRecordAutoIncVal(autoInc);
        };
        NewRecordPrefix(row.data());
        TInternalFields& fields = *FDef.GetInternalFields();
        for (int i = 0; i < fields.Count(); ++i) {
            if (fields.Items(i)->GetDataType() != ftAutoInc) continue;
            h.SetRecordAutoIncVal(h.GetRecordAutoIncVal() + 1);
            RecordSetInteger(row.data(), *fields.Items(i),
                             static_cast<int32_t>(h.GetRecordAutoIncVal()));
        }
        address = FDef.GetRecordInterface()->AllocateNewAddress(uint32_t(row.size()), row.data());
        try {
            InsertKeys(row, address, context);
        } catch (...) {
            restore();
            FDef.GetRecordInterface()->ReleaseBlock(address, uint32_t(row.size()));
            throw;
        }
        FNewBlobs.clear();
    });
    return address;
}

void TZanRowStore::Update(uint32_t address, const TZanRow& row) {
    static const char* const context = "TZanRowStore.Update";
    TDiskWriteScope scope(FDisk);
    WithLock(true, [&] {
        RequireWrite(context);
        ZanAssert(row.size() == size_t(FDef.GetRecordSize()), "Update: record size");
        const TZanRow old = Read(address);
        TZanRow stored = row;
        std::copy(old.begin(), old.begin() + C_RECORD_PREFIX_SIZE, stored.begin());
        PutLE32(stored.data() + C_REC_STAMP_OFFSET, GetLE32(old.data() + C_REC_STAMP_OFFSET) + 1);
        RemoveKeys(old, address, FIndexes.Count());
        try {
            InsertKeys(stored, address, context);
        } catch (...) {
            InsertKeys(old, address, context);
            throw;
        }
        FDef.GetRecordInterface()->WriteBlock(address, uint32_t(stored.size()), stored.data());
        FNewBlobs.clear();
        // Chains the new record no longer points to.
        TInternalFields& fields = *FDef.GetInternalFields();
        for (int i = 0; i < fields.Count(); ++i) {
            if (!IsBlobFieldType(fields.Items(i)->GetDataType())) continue;
            uint32_t oldHead = 0, oldLength = 0, newHead = 0, newLength = 0;
            RecordGetBlobRef(old.data(), *fields.Items(i), oldHead, oldLength);
            RecordGetBlobRef(stored.data(), *fields.Items(i), newHead, newLength);
            if (oldHead != 0 && oldHead != newHead) FBlob.DeleteBlob(oldHead, oldLength);
        }
    });
}

void TZanRowStore::Delete(uint32_t address) {
    static const char* const context = "TZanRowStore.Delete";
    TDiskWriteScope scope(FDisk);
    WithLock(true, [&] {
        RequireWrite(context);
        const TZanRow old = Read(address);
        RemoveKeys(old, address, FIndexes.Count());
        FreeBlobs(old);
        FDef.GetRecordInterface()->ReleaseBlock(address, uint32_t(old.size()));
    });
}

void TZanRowStore::Scan(const std::string& indexName,
                        const std::function<bool(uint32_t address, const TZanRow& row)>& f) {
    WithLock(false, [&] {
        TIndexItem& index = Index(indexName);
        if (index.GetRecordCount() == 0 || index.SetRecordNo(1) == 0) return;
        // The addresses first: f may read (not change) the table meanwhile.
        std::vector<uint32_t> addresses;
        do
            addresses.push_back(index.GetRecordAddress());
        while (index.NextKey());
        for (uint32_t address : addresses)
            if (!f(address, Read(address))) break;
    });
}

std::string TZanRowStore::ReadBlobText(const TZanRow& row, const std::string& field) {
    uint32_t head = 0, length = 0;
    RecordGetBlobRef(row.data(), Field(field), head, length);
    if (head == 0) return {};
    TStringStream text;
    WithLock(false, [&] { FBlob.ReadBlob(head, text, length); });
    return text.DataString();
}

void TZanRowStore::SetBlobText(TZanRow& row, const std::string& field, const std::string& text) {
    static const char* const context = "TZanRowStore.SetBlobText";
    RequireWrite(context);
    const TInternalFieldItem& f = Field(field);
    uint32_t head = 0;
    if (!text.empty()) {
        TStringStream stream(text);
        head = FBlob.InsertBlob(stream);
        FNewBlobs.emplace_back(f.GetIndex(), head);
    }
    RecordSetBlobRef(row.data(), f, head, uint32_t(text.size()));
}

} // namespace zan
