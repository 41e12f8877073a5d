// Two connections on one file: what one connection's rollback, failed lock or block release
// must not do to the other.
#include <gtest/gtest.h>

#include <unistd.h>

#include "host/win/child_process.h"
#include "storage_e2e_table.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

// Two connections with the sample table "t" (and "u" when asked) created by the first.
struct TTwoConnections {
    explicit TTwoConnections(const char* name, bool secondTable = false)
        : File(name), A(File.Path), B(File.Path) {
        A.Create();
        A.Open();
        B.Open();
        BuildSampleTableDef(T);
        T.SetTableName("t");
        A.UserTables().CreateTableDef("t", T);
        BuildSampleTableDef(U);
        U.SetTableName("u");
        if (secondTable) A.UserTables().CreateTableDef("u", U);
    }
    TTempFile File;
    TTestDatabase A, B;
    TTableDef T, U;
};

// Deletes as the cursor does: the table write lock only, no header lock.
struct TCursorTable : TE2ETable {
    TCursorTable(TTestDatabase& db, const std::string& name, const TTableDef& def)
        : TE2ETable(db, name, def), Disk(db.Disk()) {}
    TDiskMgr& Disk;
    void CursorDelete(int32_t id) {
        Disk.SetTableLock(TableID(), ZanLockWrite);
        FDef.GetTableHeader()->ReadHeader();
        LoadFreeHeads();
        FIndexes.ReadIndexHeaders(true);
        EXPECT_TRUE(Delete(id)) << id;
        FIndexes.WriteIndexHeaders();
        StoreFreeHeads();
        FDef.GetTableHeader()->WriteHeader();
        Disk.ReleaseTableLock(TableID());
    }
};

} // namespace

// B's rolled-back header write raised the change counter in B's memory only; the next writer
// stores that same value, and B must still see the change.
TEST(StorageSharing, RollbackDoesNotHideTheNextChangeOfAnotherConnection) {
    for (bool insertAfter : {false, true}) {
        SCOPED_TRACE(insertAfter ? "B inserts" : "B deletes");
        TTwoConnections c("rollback_counter.zan");
        TE2ETable ta(c.A, "t", c.T), tb(c.B, "t", c.T);
        ta.Batch([&] {
            for (int id = 1; id <= 300; ++id)
                ta.Insert(id);
        });
        uint32_t byName = 0, bad = 0;
        tb.ReadAllIds(byName, bad);
        c.B.Disk().DiskStartTransaction(false);
        tb.Batch([] {});
        c.B.Disk().DiskRollback();
        ta.Batch([&] {
            for (int id = 2; id <= 150; ++id)
                ta.Delete(id);
        });
        EXPECT_EQ(tb.ReadAllIds(byName, bad).size(), 151u);
        EXPECT_EQ(bad, 0u);
        EXPECT_EQ(byName, 151u);
        if (insertAfter)
            tb.Batch([&] { EXPECT_TRUE(tb.Insert(1000)); });
        else
            tb.Batch([&] { EXPECT_TRUE(tb.Delete(300)); });
        // A sees B's change in turn.
        EXPECT_EQ(ta.ReadAllIds(byName, bad).size(), insertAfter ? 152u : 150u);
        EXPECT_EQ(bad, 0u);
        const auto problems = CheckDatabase(c.B.Disk(), {&tb.Def()});
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    }
}

// The same with the other writer in a second process.
TEST(StorageSharing, RollbackDoesNotHideAChangeOfAnotherProcess) {
    TTwoConnections c("rollback_counter_proc.zan");
    TE2ETable tb(c.B, "t", c.T);
    {
        TE2ETable ta(c.A, "t", c.T);
        ta.Batch([&] {
            for (int id = 1; id <= 300; ++id)
                ta.Insert(id);
        });
    }
    c.A.Close();
    uint32_t byName = 0, bad = 0;
    tb.ReadAllIds(byName, bad);
    c.B.Disk().DiskStartTransaction(false);
    tb.Batch([] {});
    c.B.Disk().DiskRollback();
    TChildProcess child([&](TChildProcess&) {
        TTestDatabase db(c.File.Path);
        db.Open();
        {
            TE2ETable t(db, "t", c.T);
            t.Batch([&] {
                for (int id = 2; id <= 150; ++id)
                    t.Delete(id);
            });
        }
        db.Close();
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(tb.ReadAllIds(byName, bad).size(), 151u);
    tb.Batch([&] { EXPECT_TRUE(tb.Insert(1000)); });
    const auto problems = CheckDatabase(c.B.Disk(), {&tb.Def()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}

// A rollback that cannot take the header lock again still ends with no lock of the
// transaction held, and the header is read again at the next lock.
TEST(StorageSharing, FailedRollbackReleasesTheTransactionsLocks) {
    TTwoConnections c("rollback_locks.zan");
    TDiskMgr& a = c.A.Disk();
    TDiskMgr& b = c.B.Disk();
    a.SetLockRetryCount(3);
    b.SetLockRetryCount(3);
    b.DiskStartTransaction(false);
    b.SetTableLock(7, ZanLockWrite);
    a.SetHeaderWriteLock();
    EXPECT_EQ(ErrorCodeOf([&] { b.DiskRollback(); }), 10249);
    EXPECT_EQ(b.GetTableLockMgr()->GetLockCount(), 0);
    EXPECT_EQ(b.GetTransactionLockMgr()->GetLockCount(), 0);
    EXPECT_FALSE(b.GetHeaderReadLocked() || b.GetHeaderWriteLocked());
    a.ReleaseHeaderLock();
    EXPECT_EQ(ErrorCodeOf([&] { a.SetTableLock(7, ZanLockWrite); }), 0);
    a.ReleaseTableLock(7);
    EXPECT_EQ(ErrorCodeOf([&] { b.DiskRollback(); }), 10257);
    EXPECT_EQ(ErrorCodeOf([&] { b.SetHeaderReadLock(); }), 0);
    b.ReleaseHeaderLock();
}

// A header lock whose header cannot be read is given back at once.
TEST(StorageSharing, HeaderLockWithUnreadableHeaderIsReleased) {
    TTwoConnections c("unreadable_header.zan");
    TDiskMgr& b = c.B.Disk();
    b.SetLockRetryCount(3);
    ASSERT_EQ(truncate(c.File.Path.c_str(), 100), 0);
    for (bool write : {false, true}) {
        EXPECT_NE(ErrorCodeOf([&] {
                      if (write)
                          b.SetHeaderWriteLock();
                      else
                          b.SetHeaderReadLock();
                  }),
                  0);
        EXPECT_FALSE(b.GetHeaderReadLocked() || b.GetHeaderWriteLocked());
        EXPECT_EQ(b.GetTableLockMgr()->GetLockCount(), 0);
    }
}

// Transactions on different tables do not wait for each other: releasing a record block looks
// at the page map without enlisting the global header in the transaction.
TEST(StorageSharing, TransactionsDeletingFromDifferentTablesDoNotCollide) {
    TTwoConnections c("tx_tables.zan", true);
    TCursorTable t(c.A, "t", c.T), u(c.B, "u", c.U);
    t.Batch([&] {
        for (int id = 1; id <= 100; ++id)
            t.Insert(id);
    });
    u.Batch([&] {
        for (int id = 1; id <= 100; ++id)
            u.Insert(id);
    });
    c.A.Disk().SetLockRetryCount(3);
    c.B.Disk().SetLockRetryCount(3);
    c.A.Disk().DiskStartTransaction(false);
    c.B.Disk().DiskStartTransaction(false);
    t.CursorDelete(10);
    t.CursorDelete(14); // a row with a note: blob blocks go back too
    EXPECT_EQ(ErrorCodeOf([&] { u.CursorDelete(20); }), 0);
    EXPECT_EQ(ErrorCodeOf([&] { u.CursorDelete(21); }), 0);
    c.A.Disk().DiskCommit();
    c.B.Disk().DiskCommit();
    uint32_t byName = 0, bad = 0;
    EXPECT_EQ(t.ReadAllIds(byName, bad).size(), 98u);
    EXPECT_EQ(u.ReadAllIds(byName, bad).size(), 98u);
    TTestDatabase fresh(c.File.Path);
    fresh.Open();
    const auto problems = CheckDatabase(fresh.Disk(), {&t.Def(), &u.Def()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}
