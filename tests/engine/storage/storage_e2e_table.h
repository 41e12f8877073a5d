// A table of the sample layout (Id, Name, Note; indexes "ById" and "ByName") driven the way a
// cursor drives the storage engine, for the crash and multi-process tests: the table write lock
// and the header write lock around a batch of changes, the table header refreshed inside them
// and written back at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "engine/storage/zanTableMgrUnit.h"
#include "support/zanChecker.h"
#include "support/zanOpenTable.h"

namespace zan {

inline std::string E2EName(int32_t id) {
    return "r" + std::to_string(id % 977) + "-" + std::to_string(id);
}
// Every seventh row carries a note of one to three blob blocks.
inline std::string E2ENote(int32_t id) {
    if (id % 7 != 0) return {};
    return std::string(static_cast<size_t>(id % 1200 + 1), static_cast<char>('a' + id % 26));
}

class TE2ETable : public TOpenTable {
public:
    TE2ETable(TTestDatabase& db, const std::string& name, const TTableDef& stored)
        : TE2ETable(db.UserTables(), db.Disk(), name, stored) {}
    TE2ETable(TBaseTableDefMgr& mgr, TDiskMgr& disk, const std::string& name,
              const TTableDef& stored)
        : TOpenTable(mgr, name, stored), FDisk(disk) {}

    // Takes the table and header write locks (a lock another connection holds past the retry
    // time is asked for again, as an application would), runs f, writes the headers back.
    template <class F>
    void Batch(F f) {
        for (int attempt = 0;; ++attempt) {
            try {
                FDisk.SetTableLock(TableID(), ZanLockWrite);
                try {
                    FDisk.SetHeaderWriteLock();
                } catch (...) {
                    FDisk.ReleaseTableLock(TableID());
                    throw;
                }
                break;
            } catch (const EZanDatabaseError&) {
                if (attempt >= 200) throw;
            }
        }
        TTableHeader& h = *FDef.GetTableHeader();
        h.ReadHeader();
        LoadFreeHeads();
        FIndexes.ReadIndexHeaders(true);
        f();
        FIndexes.WriteIndexHeaders();
        StoreFreeHeads();
        h.WriteHeader();
        FDisk.ReleaseHeaderLock();
        FDisk.ReleaseTableLock(TableID());
    }

    // Inside a batch. Answers false when the unique index already holds the id.
    bool Insert(int32_t id) {
        TInternalFields& fields = *FDef.GetInternalFields();
        std::vector<uint8_t> rec(static_cast<size_t>(FDef.GetRecordSize()), 0);
        NewRecordPrefix(rec.data());
        RecordSetInteger(rec.data(), *fields.Items(0), id);
        RecordSetString(rec.data(), *fields.Items(1), E2EName(id));
        const std::string note = E2ENote(id);
        uint32_t head = 0;
        if (!note.empty()) {
            TStringStream stream(note);
            head = FBlob.InsertBlob(stream);
            RecordSetBlobRef(rec.data(), *fields.Items(2), head, uint32_t(note.size()));
        }
        const uint32_t address =
            FDef.GetRecordInterface()->AllocateNewAddress(uint32_t(rec.size()), rec.data());
        for (int i = 0; i < FIndexes.Count(); ++i) {
            FIndexes.Items(i)->CreateKeyBuffer(rec.data());
            if (FIndexes.Items(i)->InsertKey(address) != 0) {
                EXPECT_EQ(i, 0) << "a secondary key refused for id " << id;
                for (int k = i - 1; k >= 0; --k) {
                    FIndexes.Items(k)->CreateKeyBuffer(rec.data());
                    FIndexes.Items(k)->FullIndexSearch(stEQ);
                    FIndexes.Items(k)->DeleteKey();
                }
                if (head != 0) FBlob.DeleteBlob(head, uint32_t(note.size()));
                FDef.GetRecordInterface()->ReleaseBlock(address, uint32_t(rec.size()));
                return false;
            }
        }
        return true;
    }

    // Inside a batch: removes the row of that id (false when there is none).
    bool Delete(int32_t id) {
        const uint32_t size = static_cast<uint32_t>(FDef.GetRecordSize());
        std::vector<uint8_t> rec(size, 0);
        TInternalFields& fields = *FDef.GetInternalFields();
        RecordSetInteger(rec.data(), *fields.Items(0), id);
        TIndexItem* byId = FIndexes.Items(0);
        byId->CreateKeyBuffer(rec.data());
        if (byId->FullIndexSearch(stEQ) != 0) return false;
        const uint32_t address = byId->GetRecordAddress();
        FDef.GetRecordInterface()->ReadBlock(address, size, rec.data());
        for (int i = 0; i < FIndexes.Count(); ++i) {
            TIndexItem* index = FIndexes.Items(i);
            index->CreateKeyBuffer(rec.data());
            if (index->FullIndexSearch(stEQ) != 0 || index->GetRecordAddress() != address)
                ADD_FAILURE() << "index " << i << " misses id " << id;
            else
                index->DeleteKey();
        }
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(rec.data(), *fields.Items(2), head, length);
        if (head != 0) FBlob.DeleteBlob(head, length);
        FDef.GetRecordInterface()->ReleaseBlock(address, size);
        return true;
    }

    // Under the header read lock: the ids found through "ById" in key order; rows whose name or
    // note is not the one their id gives are counted in badRows.
    std::vector<int32_t> ReadAllIds(uint32_t& byNameCount, uint32_t& badRows) {
        badRows = 0;
        std::vector<int32_t> ids;
        FDisk.SetHeaderReadLock();
        FDef.GetTableHeader()->ReadHeader();
        FIndexes.ReadIndexHeaders(true);
        TInternalFields& fields = *FDef.GetInternalFields();
        const uint32_t size = static_cast<uint32_t>(FDef.GetRecordSize());
        std::vector<uint8_t> rec(size);
        TIndexItem* byId = FIndexes.FindIndex("ById");
        byNameCount = FIndexes.FindIndex("ByName")->GetRecordCount();
        if (byId->GetRecordCount() > 0 && byId->SetRecordNo(1) != 0) {
            do {
                FDef.GetRecordInterface()->ReadBlock(byId->GetRecordAddress(), size, rec.data());
                const int32_t id = RecordGetInteger(rec.data(), *fields.Items(0));
                ids.push_back(id);
                uint32_t head = 0, length = 0;
                RecordGetBlobRef(rec.data(), *fields.Items(2), head, length);
                TStringStream note;
                if (head != 0) FBlob.ReadBlob(head, note, length);
                if (RecordGetString(rec.data(), *fields.Items(1)) != E2EName(id) ||
                    note.DataString() != E2ENote(id))
                    ++badRows;
            } while (byId->NextKey());
        }
        FDisk.ReleaseHeaderLock();
        return ids;
    }

private:
    TDiskMgr& FDisk;
};

} // namespace zan
