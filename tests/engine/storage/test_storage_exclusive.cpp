// A database opened exclusively keeps the header, the page map and the file size in memory
// between header locks (no other connection can change them). A rollback must still forget
// what the transaction changed, and the file must end up the same as a shared connection
// would leave it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "host/win/child_process.h"
#include "storage_e2e_table.h"

using namespace zan;

namespace {

// A connection opened exclusively (flags 0x12), with the user-table manager.
struct TExclusiveDatabase {
    explicit TExclusiveDatabase(const std::string& path) {
        Disk.SetFileName(path);
        Disk.SetOpenFlags(0x12);
        Disk.Open();
        Headers.SetDiskMgr(&Disk);
        Headers.SetUsage(C_USAGE_HEADERS);
        Headers.SetBlockSize(256);
        Headers.SetAccessFlags(0);
        Headers.SetGlobalFirstEmptyOffset(C_GLOBAL_FE_USER_HEADERS);
        Headers.Open();
        Tables.SetHdrDiskInterface(&Headers);
        Tables.SetBaseDefMgrAddress(3 * Disk.GetPageSize());
        Tables.Open();
    }
    ~TExclusiveDatabase() {
        Tables.Close();
        Headers.Close();
        Disk.Close();
    }
    TDiskMgr Disk;
    TDiskIOInterface Headers;
    TDiskTableDefMgr Tables;
};

uint64_t SizeOnDisk(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

} // namespace

TEST(StorageExclusive, RollbackCommitAndReopenKeepTheFileConsistent) {
    TTempFile file("exclusive.zan");
    TTableDef stored;
    BuildSampleTableDef(stored);
    stored.SetTableName("t");
    {
        TTestDatabase db(file.Path);
        db.Create();
        db.Open();
        db.UserTables().CreateTableDef("t", stored);
        db.Close();
    }
    {
        TExclusiveDatabase db(file.Path);
        // A second connection cannot open the file meanwhile.
        TTestDatabase other(file.Path);
        EXPECT_THROW(other.Open(), EZanDatabaseError);

        TE2ETable t(db.Tables, db.Disk, "t", stored);
        t.Batch([&] {
            for (int32_t id = 0; id < 3000; ++id)
                t.Insert(id);
        });
        EXPECT_EQ(db.Disk.GetFileSize(), SizeOnDisk(file.Path));
        // A rolled-back transaction that grew the file and took pages from the map: the kept
        // map pages and header must not keep its allocations.
        db.Disk.DiskStartTransaction(false);
        t.Batch([&] {
            for (int32_t id = 3000; id < 9000; ++id)
                t.Insert(id);
            for (int32_t id = 0; id < 3000; id += 2)
                t.Delete(id);
        });
        db.Disk.DiskRollback();
        EXPECT_EQ(db.Disk.GetFileSize(), SizeOnDisk(file.Path));
        // The same space is taken again, this time committed.
        db.Disk.DiskStartTransaction(false);
        t.Batch([&] {
            for (int32_t id = 3000; id < 6000; ++id)
                t.Insert(id);
            for (int32_t id = 0; id < 3000; id += 3)
                t.Delete(id);
        });
        db.Disk.DiskCommit();
        EXPECT_EQ(db.Disk.GetFileSize(), SizeOnDisk(file.Path));
        auto problems = CheckDatabase(db.Disk, {&t.Def()});
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    }
    TTestDatabase db(file.Path);
    db.Open();
    {
        TE2ETable t(db, "t", stored);
        auto problems = CheckDatabase(db.Disk(), {&t.Def()});
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
        uint32_t byName = 0, bad = 0;
        std::vector<int32_t> expected;
        for (int32_t id = 0; id < 6000; ++id)
            if (id >= 3000 || id % 3 != 0) expected.push_back(id);
        EXPECT_EQ(t.ReadAllIds(byName, bad), expected);
        EXPECT_EQ(byName, expected.size());
        EXPECT_EQ(bad, 0u);
    }
    db.Close();
}
