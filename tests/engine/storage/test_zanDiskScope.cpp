// Write scopes and the journal as the disk manager drives them: a scope buffers and commits
// once, an exception inside it changes nothing, lock releases wait for its end; the journal
// guards commits and is restored at open or by a connection that newly takes a lock.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "engine/storage/zanDisk.h"
#include "engine/storage/zanJournal.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/win/child_process.h"
#include "journal_test_support.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

// Journals that stop a connection, as WriteBadJournal writes them, and the error they give.
const struct TBadJournal {
    const char* Name;
    bool Damaged, OtherDb;
    int32_t Code;
} BadJournals[] = {{"damaged", true, false, 8962}, {"another database's", false, true, 8449}};

// A journal of the database whose bytes are before, naming lock 8: sound; with an unknown
// version (damaged); or with fixed-region checksums of another database.
void WriteBadJournal(const std::string& journal, const std::vector<uint8_t>& before, bool damaged,
                     bool otherDb) {
    TJournalWriter w;
    w.Begin(journal, P, 0600, before.size(), false);
    w.AddStretch(6 * P, before.data() + 6 * P, P);
    TJournalHeader h;
    h.FixedCRCBefore = h.FixedCRCAfter = FixedRegionsCRC(before.data()) + (otherDb ? 1 : 0);
    h.LockIds.set(8);
    w.Finish(h);
    w.Abandon();
    if (damaged) {
        std::vector<uint8_t> head(ZanJournalHeaderSize);
        TWinFile j;
        j.Open(journal, faReadWrite, fsDenyNone);
        j.ReadAt(head.data(), head.size(), 0);
        TJournalHeader bad;
        bad.Decode(head.data());
        bad.Version = 9;
        bad.Encode(head.data());
        j.WriteAt(head.data(), head.size(), 0);
    }
}

} // namespace

// Nothing reaches the file before the outermost scope ends; then everything does, through one
// journaled commit.
TEST(DiskWriteScope, NestedScopesCommitOnceAtTheOuterEnd) {
    TFiles f("scope_nested.zan");
    TDb db(f.Db.Path);
    const std::vector<uint8_t> before = ReadFileBytes(f.Db.Path);
    uint32_t a = 0, b = 0;
    {
        TDiskWriteScope outer(db.Disk);
        EXPECT_TRUE(db.Disk.GetWriteScopeActive());
        EXPECT_FALSE(db.Disk.IsTransactionActive()) << "a scope is not a transaction";
        a = db.Alloc(3, 0x11);
        {
            TDiskWriteScope inner(db.Disk);
            b = db.Alloc(3, 0x22);
            EXPECT_EQ(db.Disk.GetWriteScopeDepth(), 2);
        }
        EXPECT_EQ(ReadFileBytes(f.Db.Path), before) << "still buffered";
        std::vector<uint8_t> back(P);
        db.Disk.ReadPages(b, 1, back.data(), 3, 1);
        EXPECT_EQ(back[100], 0x22) << "the scope reads its own writes";
        EXPECT_EQ(ErrorCodeOf([&] { db.Disk.DiskStartTransaction(false); }), 10256);
    }
    EXPECT_FALSE(db.Disk.GetWriteScopeActive());
    const std::vector<uint8_t> after = ReadFileBytes(f.Db.Path);
    ASSERT_EQ(after.size(), before.size() + 2 * P);
    EXPECT_EQ(after[a + 5], 0x11);
    EXPECT_EQ(after[b + 5], 0x22);
    EXPECT_EQ(InspectJournal(f.Journal).State, jsEmpty) << "kept, emptied at the commit point";
    EXPECT_TRUE(db.Disk.DebugCheckMap().empty());
    db.Disk.Close();
    EXPECT_FALSE(FileExists(f.Journal)) << "removed at close";
}

// An exception leaving the scope rolls back every write of it, allocations included; the disk
// manager goes on as before.
TEST(DiskWriteScope, ExceptionChangesNothing) {
    TFiles f("scope_throw.zan");
    TDb db(f.Db.Path);
    db.Alloc(4, 0x01);
    const std::vector<uint8_t> before = ReadFileBytes(f.Db.Path);
    const uint32_t mapCount = db.Disk.GetGlobalHdr()->GetMapPageCount();
    EXPECT_THROW(
        {
            TDiskWriteScope scope(db.Disk);
            db.Alloc(4, 0x02);
            db.Disk.SetHeaderWriteLock();
            db.Disk.GetGlobalHdr()->SetGlobalDBGenerator(77);
            db.Disk.ReleaseHeaderLock();
            db.Disk.DeleteOwnedPages(4, 1, true);
            throw std::runtime_error("application failure");
        },
        std::runtime_error);
    EXPECT_FALSE(db.Disk.GetWriteScopeActive());
    EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
    db.Disk.SetHeaderReadLock();
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetGlobalDBGenerator(), 0u);
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetMapPageCount(), mapCount);
    db.Disk.ReleaseHeaderLock();
    // The next allocation takes up where the file really is.
    const uint32_t c = db.Alloc(4, 0x03);
    EXPECT_EQ(c, before.size());
    EXPECT_TRUE(db.Disk.DebugCheckMap().empty());
}

// The header write lock released inside a scope is still held until the scope's commit: no
// other connection allocates before then, and afterwards it sees the change.
TEST(DiskWriteScope, LockReleaseWaitsForTheScopeEnd) {
    TFiles f("scope_locks.zan");
    TDb db(f.Db.Path);
    TDb other(f.Db.Path, false);
    {
        TDiskWriteScope scope(db.Disk);
        db.Alloc(5, 0x05);                    // takes and "releases" the header write lock
        db.Disk.SetTableLock(5, ZanLockWrite);
        db.Disk.ReleaseTableLock(5);
        EXPECT_EQ(ErrorCodeOf([&] { other.Alloc(6, 0x06); }), 10249);
        EXPECT_EQ(ErrorCodeOf([&] { other.Disk.SetTableLock(5, ZanLockRead); }), 10249);
        EXPECT_EQ(db.Disk.QueryTableLockStatus(5), ZanLockWrite);
    }
    EXPECT_EQ(db.Disk.QueryTableLockStatus(5), ZanLockNone);
    EXPECT_EQ(db.Disk.QueryTableLockStatus(0), ZanLockNone);
    const uint32_t b = other.Alloc(6, 0x06);
    EXPECT_EQ(b, 7 * P) << "the other connection allocates after the scope's page";
    other.Disk.SetTableLock(5, ZanLockRead);
    other.Disk.ReleaseTableLock(5);
}

// A hot journal left by a dead process: restored at open, and by a live connection when it
// newly takes a lock the dead writer held.
TEST(DiskJournal, HotJournalRestoredAtOpenAndAtLock) {
    for (bool survivorOpenFirst : {false, true}) {
        SCOPED_TRACE(survivorOpenFirst ? "restored at lock" : "restored at open");
        TFiles f("scope_hot.zan");
        {
            TDb db(f.Db.Path);
            db.Alloc(7, 0x07);
        }
        const std::vector<uint8_t> before = ReadFileBytes(f.Db.Path);
        TTempFile dry("scope_hot_dry.zan");
        std::filesystem::copy_file(f.Db.Path, dry.Path);
        const int points = CommitTableInChild(dry.Path, 0, 7, 0x77);
        ASSERT_GT(points, 3);
        unlink(JournalFileNameFor(dry.Path).c_str());
        unlink(UsersFileNameFor(dry.Path).c_str());
        EXPECT_EQ(ReadFileBytes(dry.Path).size(), before.size() + P);

        std::unique_ptr<TDb> survivor;
        if (survivorOpenFirst) survivor = std::make_unique<TDb>(f.Db.Path, false);
        // Dies at the commit point: everything written in place, the journal still hot.
        EXPECT_EQ(CommitTableInChild(f.Db.Path, static_cast<uint64_t>(points), 7, 0x77), -1);
        ASSERT_EQ(InspectJournal(f.Journal, f.Db.Path).State, jsHot);
        EXPECT_NE(ReadFileBytes(f.Db.Path), before);
        if (survivorOpenFirst) {
            survivor->Disk.SetTableLock(7, ZanLockRead);
            survivor->Disk.ReleaseTableLock(7);
        } else {
            survivor = std::make_unique<TDb>(f.Db.Path, false);
        }
        EXPECT_NE(InspectJournal(f.Journal).State, jsHot);
        EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
        std::vector<uint8_t> page(P);
        survivor->Disk.ReadPages(6 * P, 1, page.data(), 7, 1);
        EXPECT_EQ(page[9], 0x07) << "no cached copy of the undone bytes";
        EXPECT_TRUE(survivor->Disk.DebugCheckMap().empty());
    }
}

// Journals that must stop a connection: damaged (8962) and another database's (8449), at open
// and at a lock; a foreign thing at the path lets reads work and fails commits (9217) before
// anything is written.
TEST(DiskJournal, BadJournalsStopOpenLockOrCommit) {
    TFiles f("scope_bad.zan");
    {
        TDb db(f.Db.Path);
        db.Alloc(8, 0x08);
    }
    const std::vector<uint8_t> before = ReadFileBytes(f.Db.Path);
    auto writeJournal = [&](bool damaged, bool otherDb) {
        WriteBadJournal(f.Journal, before, damaged, otherDb);
    };
    for (const TBadJournal& c : BadJournals) {
        SCOPED_TRACE(c.Name);
        writeJournal(c.Damaged, c.OtherDb);
        TDiskMgr disk;
        disk.SetFileName(f.Db.Path);
        disk.SetPageSize(P);
        EXPECT_EQ(ErrorCodeOf([&] { disk.Open(); }), c.Code);
        unlink(f.Journal.c_str());
        TDb live(f.Db.Path, false);
        writeJournal(c.Damaged, c.OtherDb);
        EXPECT_EQ(ErrorCodeOf([&] { live.Disk.SetTableLock(8, ZanLockRead); }), c.Code);
        EXPECT_EQ(live.Disk.QueryTableLockStatus(8), ZanLockNone) << "the lock went back";
        EXPECT_TRUE(FileExists(f.Journal)) << "kept";
        unlink(f.Journal.c_str());
    }
    EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
    // Foreign: a directory at the path.
    std::filesystem::create_directory(f.Journal);
    {
        TDb db(f.Db.Path, false);
        std::vector<uint8_t> page(P);
        db.Disk.ReadPages(6 * P, 1, page.data(), 8, 1);
        EXPECT_EQ(page[0], 0x08);
        EXPECT_EQ(ErrorCodeOf([&] { db.Alloc(8, 0x09); }), 9217);
    }
    EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
    std::filesystem::remove(f.Journal);
}

// A commit lock that is never freed: the commit fails with 10249 before writing anything and
// the transaction stays, to be committed once the lock is free.
TEST(DiskJournal, CommitLockHeldElsewhereTimesOut) {
    TFiles f("scope_commitlock.zan");
    TDb db(f.Db.Path);
    const std::vector<uint8_t> before = ReadFileBytes(f.Db.Path);
    TWinFile users;
    users.Open(UsersFileNameFor(f.Db.Path), faReadWrite, fsDenyNone);
    ASSERT_TRUE(users.TryLock(TDiskMgr::CommitLockOffset, 1));
    db.Disk.DiskStartTransaction(false);
    db.Alloc(9, 0x09);
    EXPECT_EQ(ErrorCodeOf([&] { db.Disk.DiskCommit(); }), 10249);
    EXPECT_TRUE(db.Disk.IsTransactionActive());
    EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
    // A write outside a transaction fails the same way and changes nothing.
    db.Disk.DiskRollback();
    EXPECT_EQ(ErrorCodeOf([&] { db.Alloc(9, 0x0A); }), 10249);
    EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
    users.Unlock(TDiskMgr::CommitLockOffset, 1);
    db.Disk.DiskStartTransaction(false);
    db.Alloc(9, 0x0B);
    db.Disk.DiskCommit();
    EXPECT_EQ(ReadFileBytes(f.Db.Path).size(), before.size() + P);
}

// While another process holds the commit lock its journal may be read half written or half
// emptied (truncated at its commit point between the size check and the reads), so it can look
// damaged or another database's: open and a newly taken lock go on then. Once the lock is free
// the same journal stops them.
TEST(DiskJournal, JournalOfALiveCommitterIsNotJudged) {
    TFiles f("scope_live_committer.zan");
    {
        TDb db(f.Db.Path);
        db.Alloc(8, 0x08);
    }
    const std::vector<uint8_t> before = ReadFileBytes(f.Db.Path);
    for (const TBadJournal& c : BadJournals) {
        SCOPED_TRACE(c.Name);
        TDb live(f.Db.Path, false); // keeps the users file
        WriteBadJournal(f.Journal, before, c.Damaged, c.OtherDb);
        TChildProcess committer([&](TChildProcess& self) {
            TWinFile users;
            users.Open(UsersFileNameFor(f.Db.Path), faReadWrite, fsDenyNone);
            self.Send(users.TryLock(TDiskMgr::CommitLockOffset, 1) ? 'l' : 'n');
            return self.Receive() == 'q' ? 0 : 1;
        });
        ASSERT_EQ(committer.Receive(), 'l');
        live.Disk.SetTableLock(8, ZanLockRead);
        EXPECT_EQ(live.Disk.QueryTableLockStatus(8), ZanLockRead);
        live.Disk.ReleaseTableLock(8);
        EXPECT_NO_THROW(TDb(f.Db.Path, false));
        committer.Send('q');
        EXPECT_EQ(committer.Wait(), 0);
        EXPECT_EQ(ErrorCodeOf([&] { live.Disk.SetTableLock(8, ZanLockRead); }), c.Code);
        EXPECT_EQ(live.Disk.QueryTableLockStatus(8), ZanLockNone) << "the lock went back";
        EXPECT_EQ(ErrorCodeOf([&] { TDb(f.Db.Path, false); }), c.Code);
        EXPECT_TRUE(FileExists(f.Journal)) << "kept";
        unlink(f.Journal.c_str());
    }
    EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
}
