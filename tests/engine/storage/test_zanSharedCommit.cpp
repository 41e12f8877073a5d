// Shared commits with fewer looks at the disk, against other processes: the table and header
// locks taken together look at the journal once, and a stretch a transaction read under locks it
// kept since is the journal's pre-image without a second read. Each case has another process
// change or break the file where the shortcut could have gone stale.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanDisk.h"
#include "engine/storage/zanJournal.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/win/WinFiles.h"
#include "host/win/child_process.h"
#include "journal_test_support.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

// A database of 6 + n pages, the pages from 6 on owned by table 9 and filled with 0x09.
std::vector<uint8_t> MakeDb(const std::string& path, int n) {
    TDb db(path);
    for (int i = 0; i < n; ++i) db.Alloc(9, 0x09);
    db.Disk.Close();
    unlink(JournalFileNameFor(path).c_str());
    return ReadFileBytes(path);
}

// Leaves the hot journal of a committer of table 9 killed just before its commit point: the
// file holds its new bytes, the journal names the header lock and table 9.
void LeaveHotJournal(const std::string& path, const std::vector<uint8_t>& before) {
    const int points = CommitTableInChild(path, 0, 9, 0x99);
    ASSERT_GT(points, 2);
    WriteFileBytes(path, before);
    unlink(JournalFileNameFor(path).c_str());
    ASSERT_EQ(CommitTableInChild(path, static_cast<uint64_t>(points), 9, 0x99), -1);
    const TJournalCheck check = InspectJournal(JournalFileNameFor(path), path);
    ASSERT_EQ(check.State, jsHot);
    ASSERT_TRUE(check.Header.LockIds.test(0));
    ASSERT_FALSE(check.Header.LockIds.test(7));
}

} // namespace

// Table 7's lock and the header lock taken together, after a committer of table 9 died: the
// one look at the journal restores it. While someone else holds the commit lock (restoring it),
// the journal names the header lock just taken, not table 7: both locks go back and the call
// fails once its retries are spent, holding nothing; afterwards the same call restores.
TEST(SharedCommit, TableAndHeaderLockLookAtTheJournalForBoth) {
    TFiles f("sc_both_locks.zan");
    const std::vector<uint8_t> before = MakeDb(f.Db.Path, 3);
    TDb db(f.Db.Path, false);
    ASSERT_NO_FATAL_FAILURE(LeaveHotJournal(f.Db.Path, before));
    {
        TChildProcess restorer([&](TChildProcess& self) {
            // The commit lock alone, as a restorer holds it (opening a connection would
            // restore the journal).
            TWinFile users;
            users.Open(UsersFileNameFor(f.Db.Path), faReadWrite, fsDenyNone);
            if (!users.TryLock(TDiskMgr::CommitLockOffset, 1)) return 1;
            self.Send('c');
            self.Receive(60000);
            return 0;
        });
        ASSERT_EQ(restorer.Receive(), 'c');
        EXPECT_EQ(ErrorCodeOf([&] { db.Disk.SetTableLockWithHeader(7, ZanLockRead, false); }),
                  10249);
        EXPECT_EQ(db.Disk.QueryTableLockStatus(7), ZanLockNone);
        EXPECT_EQ(db.Disk.QueryTableLockStatus(0), ZanLockNone);
        EXPECT_FALSE(db.Disk.GetHeaderReadLocked());
        EXPECT_EQ(InspectJournal(f.Journal, f.Db.Path).State, jsHot);
        restorer.Send('x');
        EXPECT_EQ(restorer.Wait(), 0);
    }
    EXPECT_EQ(db.Disk.SetTableLockWithHeader(7, ZanLockWrite, true), ZanLockWrite);
    EXPECT_TRUE(db.Disk.GetHeaderWriteLocked());
    std::vector<uint8_t> page(P);
    db.Disk.ReadPages(6 * P, 1, page.data(), 9, 1);
    EXPECT_EQ(page[10], 0x09) << "the dead commit's bytes were read without restoring";
    db.Disk.ReleaseHeaderLock();
    db.Disk.ReleaseTableLock(7);
    EXPECT_NE(InspectJournal(f.Journal, f.Db.Path).State, jsHot);
    db.Disk.Close();
    EXPECT_EQ(ReadFileBytes(f.Db.Path), before);
}

namespace {

constexpr uint32_t C_STRETCH = 6 * P + 200;
constexpr uint32_t C_STRETCH_LENGTH = 100;

// In a child: a write scope that reads the stretch of table 9 under a read lock (the header
// read lock held throughout, to after the scope), gives the table lock back when release is set and waits for the
// parent's word, then writes 0xCC over the stretch under the write lock; the scope's commit
// runs with the crash point armed at killAt. Unarmed, it sends the number of reads the commit
// made and exits with the number of its crash points.
int ScopeRewritingStretch(const std::string& path, bool release, uint64_t killAt) {
    TChildProcess child([&](TChildProcess& self) {
        TDb db(path, false);
        uint64_t start = 0, reads = 0;
        {
            TDiskWriteScope scope(db.Disk);
            db.Disk.SetHeaderReadLock();
            db.Disk.SetTableLock(9, ZanLockRead);
            std::vector<uint8_t> bytes(C_STRETCH_LENGTH);
            db.Disk.ReadCustomSize(C_STRETCH, C_STRETCH_LENGTH, bytes.data(), 9, 0);
            if (bytes[0] != 0x09) return 90;
            if (release) db.Disk.ReleaseTableLock(9);
            self.Send('r');
            if (self.Receive() != 'w') return 91;
            db.Disk.SetTableLock(9, ZanLockWrite);
            std::fill(bytes.begin(), bytes.end(), 0xCC);
            db.Disk.WriteCustomSize(C_STRETCH, C_STRETCH_LENGTH, bytes.data(), 9, 0);
            db.Disk.ReleaseTableLock(9); // a write lock: given back at the scope's end
            reads = db.Disk.GetZanFile()->GetReadCalls();
            start = ZanCrashPointCount();
            ZanArmCrashPoint(killAt);
        }
        self.Send(static_cast<char>(db.Disk.GetZanFile()->GetReadCalls() - reads));
        db.Disk.ReleaseHeaderLock();
        return static_cast<int>(ZanCrashPointCount() - start);
    });
    if (child.Receive() != 'r') return -2;
    if (release) {
        // Another connection changes the stretch while the child holds no lock on it.
        TDb other(path, false);
        TDiskWriteScope scope(other.Disk);
        other.Disk.SetTableLock(9, ZanLockWrite);
        std::vector<uint8_t> bytes(C_STRETCH_LENGTH, 0xBB);
        other.Disk.WriteCustomSize(C_STRETCH, C_STRETCH_LENGTH, bytes.data(), 9, 0);
        other.Disk.ReleaseTableLock(9);
    }
    child.Send('w');
    if (killAt == 0) {
        const char reads = child.Receive();
        const int points = child.Wait();
        return points < 0 ? points : points * 256 + static_cast<uint8_t>(reads);
    }
    return child.Wait();
}

} // namespace

// The child's commit is killed just before its commit point, so the next connection puts back
// what its journal says the stretch held. Kept locks: the stretch read in the scope is the
// pre-image (the commit reads nothing) and the old bytes come back. Lock given back between read
// and write: another connection changed the stretch meanwhile, and its bytes must come back,
// not the stale ones the child read first.
TEST(SharedCommit, HeldStretchIsThePreImageOnlyWhileItsLocksWereKept) {
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release ? "lock given back" : "locks kept");
        TFiles f(release ? "sc_stretch_released.zan" : "sc_stretch_kept.zan");
        const std::vector<uint8_t> before = MakeDb(f.Db.Path, 2);
        const int dry = ScopeRewritingStretch(f.Db.Path, release, 0);
        ASSERT_GT(dry, 0);
        const int points = dry / 256;
        ASSERT_GE(points, 3);
        if (!release) {
            EXPECT_EQ(dry % 256, 0) << "the commit read the stretch again";
        }
        std::vector<uint8_t> image = ReadFileBytes(f.Db.Path);
        EXPECT_EQ(image[C_STRETCH], 0xCC);
        WriteFileBytes(f.Db.Path, before);
        unlink(f.Journal.c_str());
        unlink(UsersFileNameFor(f.Db.Path).c_str());

        ASSERT_EQ(ScopeRewritingStretch(f.Db.Path, release, static_cast<uint64_t>(points)), -1);
        ASSERT_EQ(InspectJournal(f.Journal, f.Db.Path).State, jsHot);
        {
            TDb db(f.Db.Path, false);
        }
        image = ReadFileBytes(f.Db.Path);
        const uint8_t expected = release ? 0xBB : 0x09;
        for (uint32_t i = 0; i < C_STRETCH_LENGTH; ++i)
            ASSERT_EQ(image[C_STRETCH + i], expected) << "byte " << i << " of the stretch";
        EXPECT_EQ(image[C_STRETCH - 1], 0x09);
        EXPECT_EQ(image[C_STRETCH + C_STRETCH_LENGTH], 0x09);
    }
}

namespace {

// In a child: a transaction that reads pages 6 and 7 of table 9, changes ten bytes at 1000 and
// one at 3000 of page 6 and writes page 7 back unchanged, committed with the crash point armed
// at killAt (0: not armed). Exits with the number of crash points the commit passed.
int CommitSmallPageChange(const std::string& path, uint64_t killAt) {
    TChildProcess child([&](TChildProcess&) {
        TDb db(path, false);
        db.Disk.DiskStartTransaction(false);
        db.Disk.SetTableLock(9, ZanLockWrite);
        std::vector<uint8_t> page(P);
        db.Disk.ReadPages(6 * P, 1, page.data(), 9, 1);
        std::fill(page.begin() + 1000, page.begin() + 1010, 0x55);
        page[3000] = 0x66;
        db.Disk.WritePages(6 * P, 1, page.data(), 9, 1);
        db.Disk.ReadPages(7 * P, 1, page.data(), 9, 1);
        db.Disk.WritePages(7 * P, 1, page.data(), 9, 1);
        const uint64_t start = ZanCrashPointCount();
        ZanArmCrashPoint(killAt);
        db.Disk.DiskCommit();
        return static_cast<int>(ZanCrashPointCount() - start);
    });
    return child.Wait();
}

} // namespace

// A page changed in a few bytes puts the old bytes of the sectors holding the changes into the
// journal, not the whole page, and a page written back unchanged puts nothing. Killed at every
// crash point of the commit, the next connection sees the old or the new state.
TEST(SharedCommit, PageChangeJournalsOnlyTheSectorsItChanges) {
    TFiles f("sc_sectors.zan");
    const std::vector<uint8_t> before = MakeDb(f.Db.Path, 3);
    const int points = CommitSmallPageChange(f.Db.Path, 0);
    ASSERT_GE(points, 3);
    const std::vector<uint8_t> after = ReadFileBytes(f.Db.Path);
    ASSERT_EQ(after[6 * P + 1000], 0x55);
    ASSERT_EQ(after[6 * P + 3000], 0x66);
    for (int k = 1; k <= points; ++k) {
        SCOPED_TRACE("killed at point " + std::to_string(k));
        WriteFileBytes(f.Db.Path, before);
        unlink(f.Journal.c_str());
        unlink(UsersFileNameFor(f.Db.Path).c_str());
        ASSERT_EQ(CommitSmallPageChange(f.Db.Path, static_cast<uint64_t>(k)), -1);
        if (k == points) {
            // Killed at the commit point: the journal is complete.
            ASSERT_EQ(InspectJournal(f.Journal, f.Db.Path).State, jsHot);
            std::vector<std::pair<uint32_t, uint32_t>> pageRecords;
            ForEachJournalRecord(f.Journal, [&](uint32_t address, const uint8_t* bytes,
                                                uint32_t length) {
                if (address + length > 6 * P && address < 8 * P) {
                    pageRecords.emplace_back(address, length);
                    for (uint32_t i = 0; i < length; ++i)
                        ASSERT_EQ(bytes[i], 0x09) << "not the old bytes at " << address + i;
                }
            });
            ASSERT_EQ(pageRecords.size(), 1u);
            EXPECT_EQ(pageRecords[0].first, 6 * P + 512);
            EXPECT_EQ(pageRecords[0].second, 2560u);
        }
        {
            TDb db(f.Db.Path, false);
        }
        const std::vector<uint8_t> image = ReadFileBytes(f.Db.Path);
        EXPECT_TRUE(image == before || image == after) << "neither the old nor the new state";
    }
}

// A commit writes each run of consecutive dirty pages from the first changed sector of its first
// page to the last changed sector of its last page, and a page written back unchanged not at
// all: the file holds those bytes already. Marks put into the file behind the connection's back,
// after the transaction read the pages, show what was written: marks where no write goes stay,
// every changed byte arrives, and pages inside a run are written whole.
TEST(SharedCommit, PageWritesLeaveOutUnchangedSectorsAtTheEndsOfARun) {
    TFiles f("sc_trimmed.zan");
    MakeDb(f.Db.Path, 11); // pages 6 to 16
    std::vector<uint8_t> expected = ReadFileBytes(f.Db.Path);
    ASSERT_EQ(expected.size(), 17u * P);
    struct TChange {
        uint32_t Page;
        std::vector<uint32_t> Sectors; // changed; none: written back unchanged
    };
    // 6 alone (7 unchanged), changed in its first and last sector: written whole. 8 and 10
    // alone (9 unchanged between them, 11 not in the transaction). 12 to 14 one run, 13 written
    // whole. 16 alone, changed in a middle sector.
    const TChange changes[] = {{6, {0, 7}}, {7, {}},  {8, {3}},  {9, {}},
                               {10, {1}},   {12, {7}}, {13, {2}}, {14, {0}}, {16, {4}}};
    // (page, sector) that no write may reach, and (page, sector) inside a run written whole.
    const std::pair<uint32_t, uint32_t> untouched[] = {
        {7, 0},  {7, 7},  {8, 0},  {8, 2},  {8, 4},  {9, 0},  {9, 7},  {10, 0},
        {10, 2}, {11, 0}, {12, 0}, {12, 6}, {14, 1}, {14, 7}, {15, 3}, {16, 0},
        {16, 3}, {16, 5}, {16, 7}};
    const std::pair<uint32_t, uint32_t> rewritten[] = {{6, 1}, {6, 6}, {13, 0}, {13, 7}};
    TDb db(f.Db.Path, false);
    db.Disk.DiskStartTransaction(false);
    db.Disk.SetTableLock(9, ZanLockWrite);
    for (const TChange& c : changes) {
        std::vector<uint8_t> page(P);
        db.Disk.ReadPages(c.Page * P, 1, page.data(), 9, 1);
        for (uint32_t s : c.Sectors) {
            for (uint32_t at : {s * 512, s * 512 + 200, s * 512 + 511}) {
                page[at] = static_cast<uint8_t>(0x40 + c.Page);
                expected[c.Page * P + at] = page[at];
            }
        }
        db.Disk.WritePages(c.Page * P, 1, page.data(), 9, 1);
    }
    const int fd = open(f.Db.Path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const uint8_t mark = 0xEE;
    for (const auto& [page, sector] : untouched) {
        ASSERT_EQ(pwrite(fd, &mark, 1, page * P + sector * 512 + 7), 1);
        expected[page * P + sector * 512 + 7] = mark;
    }
    for (const auto& [page, sector] : rewritten)
        ASSERT_EQ(pwrite(fd, &mark, 1, page * P + sector * 512 + 7), 1);
    close(fd);
    db.Disk.DiskCommit();
    const std::vector<uint8_t> image = ReadFileBytes(f.Db.Path);
    ASSERT_EQ(image.size(), expected.size());
    for (uint32_t at = 6 * P; at < 17 * P; ++at)
        ASSERT_EQ(image[at], expected[at]) << "page " << at / P << " byte " << at % P;
    // The connection reads the committed pages as the file holds them.
    db.Disk.Close();
    TDb again(f.Db.Path, false);
    std::vector<uint8_t> page(P);
    again.Disk.ReadPages(12 * P, 1, page.data(), 9, 1);
    EXPECT_EQ(page[7 * 512 + 200], 0x40 + 12);
    EXPECT_EQ(page[7], mark);
}

// A commit gives its commit lock back together with the locks it held for writing, in one
// unlock: a write scope's (table and header locks whose release waited for the scope's end)
// and a transaction's (table, header and record locks). Another process then has each of them
// at once: nothing stays held, and what it reads is the committed state.
TEST(SharedCommit, CommitLockGoesBackWithTheOtherLocksInOneCall) {
    TFiles f("sc_one_unlock.zan");
    MakeDb(f.Db.Path, 2);
    TDb db(f.Db.Path, false);
    auto othersHaveAll = [&](uint8_t expected) {
        TChildProcess other([&](TChildProcess&) {
            TWinFile users;
            users.Open(UsersFileNameFor(f.Db.Path), faReadWrite, fsDenyNone);
            if (!users.TryLock(TDiskMgr::CommitLockOffset, 1)) return 1;
            users.Unlock(TDiskMgr::CommitLockOffset, 1);
            users.Close();
            TDb reader(f.Db.Path, false);
            if (reader.Disk.SetTableLockWithHeader(9, ZanLockWrite, true) != ZanLockWrite)
                return 2;
            if (reader.Disk.SetRecordLock(6 * P + 40, 9) != ZanLockWrite) return 3;
            std::vector<uint8_t> page(P);
            reader.Disk.ReadPages(6 * P, 1, page.data(), 9, 1);
            return page[10] == expected ? 0 : 4;
        });
        return other.Wait();
    };
    std::vector<uint8_t> page(P, 0x51);
    uint64_t calls = 0;
    {
        TDiskWriteScope scope(db.Disk);
        db.Disk.SetTableLockWithHeader(9, ZanLockWrite, true);
        db.Disk.WritePages(6 * P, 1, page.data(), 9, 1);
        db.Disk.ReleaseHeaderLock();
        db.Disk.ReleaseTableLock(9);
        calls = TWinFile::LockCallCount();
    }
    // The commit lock taken, then everything given back in one call.
    EXPECT_EQ(TWinFile::LockCallCount() - calls, 2u);
    EXPECT_EQ(db.Disk.QueryTableLockStatus(9), ZanLockNone);
    EXPECT_EQ(othersHaveAll(0x51), 0);

    db.Disk.DiskStartTransaction(false);
    db.Disk.SetTableLockWithHeader(9, ZanLockWrite, true);
    ASSERT_EQ(db.Disk.SetRecordLock(6 * P + 40, 9), ZanLockWrite);
    std::fill(page.begin(), page.end(), 0x52);
    db.Disk.WritePages(6 * P, 1, page.data(), 9, 1);
    // Held by this connection: another process has none of them.
    EXPECT_NE(othersHaveAll(0x52), 0);
    calls = TWinFile::LockCallCount();
    db.Disk.DiskCommit();
    EXPECT_LE(TWinFile::LockCallCount() - calls, 4u);
    EXPECT_EQ(othersHaveAll(0x52), 0);
    EXPECT_NE(InspectJournal(f.Journal, f.Db.Path).State, jsHot);
}

// A transaction on table 1 takes the transaction bytes of table 1 and the header (neighbours)
// in one call, and its commit upgrades both read locks in one call. Another process is kept out
// exactly as when they were taken one at a time: no transaction on table 1, nor on another table
// (the header's transaction byte), while reading stays open; after the commit all of them are
// free and the new page is there.
TEST(SharedCommit, NeighbouringLocksOfATransactionInOneCallEach) {
    TFiles f("sc_pair_locks.zan");
    MakeDb(f.Db.Path, 2);
    TDb db(f.Db.Path, false);
    // Bit 0: a transaction on table 1; bit 1: one on table 2; bit 2: table 1's read lock;
    // bit 3: the header's read lock; bit 4: page at reads back as fill.
    auto othersGet = [&](uint32_t at, uint8_t fill) {
        TChildProcess other([&](TChildProcess&) {
            TDb reader(f.Db.Path, false);
            reader.Disk.GetTransactionLockMgr()->SetLockRetryCount(1);
            int mask = 0;
            for (uint16_t table : {1, 2}) {
                reader.Disk.DiskStartTransaction(false);
                if (ErrorCodeOf([&] {
                        reader.Disk.SetTableLockWithHeader(table, ZanLockWrite, true);
                    }) == 0)
                    mask |= table == 1 ? 1 : 2;
                reader.Disk.DiskRollback();
            }
            if (ErrorCodeOf([&] { reader.Disk.SetTableLock(1, ZanLockRead); }) == 0) mask |= 4;
            reader.Disk.ReleaseTableLock(1);
            if (ErrorCodeOf([&] { reader.Disk.SetHeaderReadLock(); }) == 0) {
                mask |= 8;
                if (at != 0) {
                    std::vector<uint8_t> page(P);
                    reader.Disk.ReadPages(at, 1, page.data(), 1, 1);
                    if (page[10] == fill) mask |= 16;
                }
                reader.Disk.ReleaseHeaderLock();
            }
            return mask;
        });
        return other.Wait();
    };
    db.Disk.DiskStartTransaction(false);
    uint64_t calls = TWinFile::LockCallCount();
    db.Disk.SetTableLockWithHeader(1, ZanLockWrite, true);
    EXPECT_EQ(TWinFile::LockCallCount() - calls, 3u); // transaction bytes, two read bytes
    EXPECT_EQ(othersGet(0, 0), 4 | 8);
    const uint32_t at = db.Alloc(1, 0x11);
    calls = TWinFile::LockCallCount();
    db.Disk.DiskCommit();
    // The upgrade, the commit lock, then everything given back.
    EXPECT_EQ(TWinFile::LockCallCount() - calls, 3u);
    EXPECT_EQ(db.Disk.QueryTableLockStatus(1), ZanLockNone);
    EXPECT_EQ(db.Disk.QueryTableLockStatus(0), ZanLockNone);
    EXPECT_EQ(othersGet(at, 0x11), 1 | 2 | 4 | 8 | 16);
}

// Inside a transaction a cursor takes its table's lock with the header's at every row; once both
// are held to the transaction's end, taking them again changes no lock. Another process still
// cannot take table 7 until the commit, a table not yet locked (8) is still taken and enlisted,
// and the commit gives every lock back.
TEST(SharedCommit, LocksRetakenInATransactionStayAsTheyWere) {
    TFiles f("sc_retaken_locks.zan");
    MakeDb(f.Db.Path, 2);
    TDb db(f.Db.Path, false);
    TBaseLockMgr& tables = *db.Disk.GetTableLockMgr();
    TBaseLockMgr& enlisted = *db.Disk.GetTransactionLockMgr();
    db.Disk.DiskStartTransaction(false);
    ASSERT_EQ(db.Disk.SetTableLockWithHeader(7, ZanLockWrite, true), ZanLockRead);
    db.Disk.ReleaseHeaderLock();
    db.Disk.ReleaseTableLock(7);
    const uint64_t changes = tables.GetChangeCount();
    const uint64_t enlistings = enlisted.GetChangeCount();
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(db.Disk.SetTableLockWithHeader(7, ZanLockWrite, true), ZanLockRead);
        EXPECT_TRUE(db.Disk.GetHeaderWriteLocked());
        db.Disk.ReleaseHeaderLock();
        EXPECT_FALSE(db.Disk.GetHeaderWriteLocked());
        db.Disk.ReleaseTableLock(7);
    }
    EXPECT_EQ(tables.GetChangeCount(), changes);
    EXPECT_EQ(enlisted.GetChangeCount(), enlistings);
    auto childLocks = [&](uint16_t table) {
        TChildProcess child([&](TChildProcess&) {
            TDb other(f.Db.Path, false);
            return ErrorCodeOf([&] { other.Disk.SetTableLock(table, ZanLockWrite); }) == 0 ? 0
                                                                                           : 1;
        });
        return child.Wait() == 0;
    };
    EXPECT_FALSE(childLocks(7));
    EXPECT_EQ(db.Disk.SetTableLockWithHeader(8, ZanLockWrite, true), ZanLockRead);
    EXPECT_NE(tables.GetChangeCount(), changes);
    EXPECT_TRUE(enlisted.LockExists(8, ZanLockWrite));
    db.Disk.ReleaseHeaderLock();
    db.Disk.ReleaseTableLock(8);
    EXPECT_FALSE(childLocks(8));
    db.Disk.DiskCommit();
    EXPECT_EQ(db.Disk.QueryTableLockStatus(7), ZanLockNone);
    EXPECT_EQ(db.Disk.QueryTableLockStatus(8), ZanLockNone);
    EXPECT_TRUE(childLocks(7));
}
