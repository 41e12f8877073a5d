// A table of the sample layout (Id, Name, Note; indexes "ById" and "ByName") driven the way a
// cursor drives the storage engine, for the crash and multi-process tests: the table write lock
// and the header write lock around a batch of changes, the table header refreshed inside them
// and written back at the end.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
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
    bool Insert(int32_t id) { return InsertRow(id, E2EName(id), E2ENote(id)); }

    // Inside a batch: a row of any name (up to 30 bytes) and note.
    bool InsertRow(int32_t id, const std::string& name, const std::string& note) {
        TInternalFields& fields = *FDef.GetInternalFields();
        std::vector<uint8_t> rec(static_cast<size_t>(FDef.GetRecordSize()), 0);
        NewRecordPrefix(rec.data());
        RecordSetInteger(rec.data(), *fields.Items(0), id);
        RecordSetString(rec.data(), *fields.Items(1), name);
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
        std::vector<uint8_t> rec;
        const uint32_t address = FindRow(id, rec);
        if (address == 0) return false;
        const uint32_t size = static_cast<uint32_t>(rec.size());
        TInternalFields& fields = *FDef.GetInternalFields();
        DeleteKeys(rec, address, id);
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(rec.data(), *fields.Items(2), head, length);
        if (head != 0) FBlob.DeleteBlob(head, length);
        FDef.GetRecordInterface()->ReleaseBlock(address, size);
        return true;
    }

    // Inside a batch: the row of oldId gets newId, name and note in place (its record address
    // stays; changed keys move, the note's blob chain is edited). False when there is no row.
    bool UpdateRow(int32_t oldId, int32_t newId, const std::string& name,
                   const std::string& note) {
        std::vector<uint8_t> rec;
        const uint32_t address = FindRow(oldId, rec);
        if (address == 0) return false;
        TInternalFields& fields = *FDef.GetInternalFields();
        DeleteKeys(rec, address, oldId);
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(rec.data(), *fields.Items(2), head, length);
        TStringStream stream(note);
        if (note.empty()) {
            if (head != 0) FBlob.DeleteBlob(head, length);
            head = 0;
        } else if (head == 0) {
            head = FBlob.InsertBlob(stream);
        } else {
            head = FBlob.EditBlob(head, length, stream);
        }
        RecordSetBlobRef(rec.data(), *fields.Items(2), head, uint32_t(note.size()));
        RecordSetInteger(rec.data(), *fields.Items(0), newId);
        RecordSetString(rec.data(), *fields.Items(1), name);
        FDef.GetRecordInterface()->WriteBlock(address, uint32_t(rec.size()), rec.data());
        for (int i = 0; i < FIndexes.Count(); ++i) {
            FIndexes.Items(i)->CreateKeyBuffer(rec.data());
            EXPECT_EQ(FIndexes.Items(i)->InsertKey(address), 0) << "index " << i << " id " << newId;
        }
        return true;
    }

    // Under the header read lock: every row (id to name and note) found through "ById", and the
    // number of keys "ByName" holds.
    std::map<int32_t, std::pair<std::string, std::string>> ReadRows(uint32_t& byNameCount) {
        std::map<int32_t, std::pair<std::string, std::string>> rows;
        FDisk.SetHeaderReadLock();
        FDef.GetTableHeader()->ReadHeader();
        FIndexes.ReadIndexHeaders(true);
        TInternalFields& fields = *FDef.GetInternalFields();
        std::vector<uint8_t> rec(static_cast<size_t>(FDef.GetRecordSize()));
        TIndexItem* byId = FIndexes.FindIndex("ById");
        byNameCount = FIndexes.FindIndex("ByName")->GetRecordCount();
        if (byId->GetRecordCount() > 0 && byId->SetRecordNo(1) != 0) {
            do {
                FDef.GetRecordInterface()->ReadBlock(byId->GetRecordAddress(),
                                                     uint32_t(rec.size()), rec.data());
                uint32_t head = 0, length = 0;
                RecordGetBlobRef(rec.data(), *fields.Items(2), head, length);
                TStringStream note;
                if (head != 0) FBlob.ReadBlob(head, note, length);
                rows[RecordGetInteger(rec.data(), *fields.Items(0))] = {
                    RecordGetString(rec.data(), *fields.Items(1)), note.DataString()};
            } while (byId->NextKey());
        }
        FDisk.ReleaseHeaderLock();
        return rows;
    }

    // Under the header read lock: the ids found through "ById" in key order; rows whose name or
    // note is not the one their id gives are counted in badRows.
    std::vector<int32_t> ReadAllIds(uint32_t& byNameCount, uint32_t& badRows) {
        badRows = 0;
        std::vector<int32_t> ids;
        for (const auto& [id, row] : ReadRows(byNameCount)) {
            ids.push_back(id);
            if (row.first != E2EName(id) || row.second != E2ENote(id)) ++badRows;
        }
        return ids;
    }

private:
    // The address of the row of that id (0 when none) and its record.
    uint32_t FindRow(int32_t id, std::vector<uint8_t>& rec) {
        const uint32_t size = static_cast<uint32_t>(FDef.GetRecordSize());
        rec.assign(size, 0);
        RecordSetInteger(rec.data(), *FDef.GetInternalFields()->Items(0), id);
        TIndexItem* byId = FIndexes.Items(0);
        byId->CreateKeyBuffer(rec.data());
        if (byId->FullIndexSearch(stEQ) != 0) return 0;
        const uint32_t address = byId->GetRecordAddress();
        FDef.GetRecordInterface()->ReadBlock(address, size, rec.data());
        return address;
    }
    // Removes the keys of the record at address from every index.
    void DeleteKeys(const std::vector<uint8_t>& rec, uint32_t address, int32_t id) {
        for (int i = 0; i < FIndexes.Count(); ++i) {
            TIndexItem* index = FIndexes.Items(i);
            index->CreateKeyBuffer(rec.data());
            if (index->FullIndexSearch(stEQ) != 0 || index->GetRecordAddress() != address)
                ADD_FAILURE() << "index " << i << " misses id " << id;
            else
                index->DeleteKey();
        }
    }

    TDiskMgr& FDisk;
};

} // namespace zan
