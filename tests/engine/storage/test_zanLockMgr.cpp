#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/Random.h"
#include "host/win/WinFiles.h"
#include "host/win/WinSys.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint64_t TableBase = 0x800000;
constexpr uint32_t TableRegion = 8192;
constexpr uint64_t RecordBase = 0x2000000;

// One connection: its own handle on the shared lock file and a table manager on it.
struct TConn {
    TConn(const std::string& path, uint64_t base = TableBase, uint32_t region = TableRegion,
          int32_t count = 3, int32_t interval = 10) {
        File.Open(path, faReadWrite, fsDenyNone);
        Mgr = GetLockManager(nullptr, &File, base, region, false);
        Mgr->SetLockRetryCount(count);
        Mgr->SetLockRetryInterval(interval);
        Mgr->SetReadLockErrMsg("read refused");
        Mgr->SetWriteLockErrMsg("write refused");
    }
    TWinFile File;
    std::unique_ptr<TBaseLockMgr> Mgr;
};

std::string MakeLockFile(const TTempFile& t) {
    TWinFile f;
    f.Create(t.Path, fsDenyNone, true);
    return t.Path;
}

// The engine error code of a call; 0 when it succeeds.
} // namespace

TEST(LockMgr, ConstructionChecksAndAddresses) {
    TTempFile t("mgr0");
    TWinFile f;
    EXPECT_EQ(ErrorCodeOf([&] { TWinLockMgr m(&f, TableBase, TableRegion); }), 8581); // not open
    EXPECT_EQ(ErrorCodeOf([&] { TWinLockMgr m(nullptr, TableBase, TableRegion); }), 8581);
    f.Create(t.Path, fsDenyNone);
    EXPECT_EQ(ErrorCodeOf([&] { TWinLockMgr m(&f, TableBase, 0); }), 8581);
    auto m = GetLockManager(nullptr, &f, TableBase, TableRegion, true);
    EXPECT_STREQ(m->ClassName(), "TWinLockMgr");
    EXPECT_EQ(m->GetLockRetryCount(), 10);
    EXPECT_EQ(m->GetLockRetryInterval(), 200);
    EXPECT_EQ(m->GetCalculatedLockAddr(0), 0x800000u);
    EXPECT_EQ(m->GetCalculatedLockAddr(5), 0x800000u + 5 * 8192);
    // Record addresses near 4 GiB stay above the users-file bytes instead of wrapping.
    TWinLockMgr rec(&f, RecordBase, 1);
    EXPECT_EQ(rec.GetCalculatedLockAddr(0xFFFFFFF0u), 0x2000000ull + 0xFFFFFFF0ull);
}

TEST(LockMgr, ReadersShareAndAWriterTimesOut) {
    TTempFile t("mgr1");
    std::string path = MakeLockFile(t);
    TConn a(path), b(path);
    EXPECT_TRUE(a.Mgr->SetReadLock(5, 1));
    EXPECT_TRUE(b.Mgr->SetReadLock(5, 0));
    EXPECT_TRUE(a.Mgr->SetReadLock(5, 1)); // held already: no new item
    EXPECT_EQ(a.Mgr->GetLockCount(), 1);
    const TLockItem& item = a.Mgr->GetLocks().at(0);
    EXPECT_GE(item.LckAddr, TableBase + 5 * TableRegion);
    EXPECT_LT(item.LckAddr, TableBase + 6 * TableRegion);
    EXPECT_EQ(item.LckSize, 1u);
    EXPECT_EQ(a.Mgr->QueryLockType(5), 1);
    EXPECT_EQ(a.Mgr->QueryLockType(6), 0);
    // A third connection's write lock conflicts with both readers.
    TConn c(path);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { c.Mgr->SetWriteLock(5, 0); }, &message), 10249);
    EXPECT_NE(message.find("write refused"), std::string::npos);
    EXPECT_EQ(c.Mgr->GetLockCount(), 0);
    EXPECT_EQ(ErrorCodeOf([&] { c.Mgr->SetWriteLock(6, 0); }), 0); // another table is free
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->SetReadLock(6, 1); }, &message), 10249);
    EXPECT_NE(message.find("read refused"), std::string::npos);
    a.Mgr->ReleaseLock(5);
    b.Mgr->ReleaseAllLocks();
    EXPECT_EQ(c.Mgr->SetWriteLock(5, 0), 4);
}

TEST(LockMgr, WriteLockHeldAndItsOwnReadRequest) {
    TTempFile t("mgr2");
    std::string path = MakeLockFile(t);
    TConn a(path), b(path);
    EXPECT_EQ(a.Mgr->SetWriteLock(7, 0), 4);
    const TLockItem& item = a.Mgr->GetLocks().at(0);
    EXPECT_EQ(item.LckAddr, TableBase + 7 * TableRegion);
    EXPECT_EQ(item.LckSize, TableRegion);
    uint64_t calls = TWinFile::LockCallCount();
    EXPECT_EQ(a.Mgr->SetWriteLock(7, 0), 4);
    EXPECT_EQ(TWinFile::LockCallCount(), calls); // answered from the list
    EXPECT_EQ(a.Mgr->GetLockCount(), 1);
    // A read request on an id the connection write-holds collides with its own region: a
    // timeout, and the write lock stays.
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->SetReadLock(7, 1); }), 10249);
    EXPECT_EQ(a.Mgr->QueryLockType(7), 4);
    EXPECT_EQ(ErrorCodeOf([&] { b.Mgr->SetReadLock(7, 1); }), 10249);
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->SetWriteLock(8, TableRegion + 1); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->SetReadLock(8, TableRegion + 1); }), 8581);
    std::vector<std::string> dump;
    a.Mgr->DebugDumpStatus(dump);
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_EQ(dump[0], "TBaseLockMgr.DebugDumpStatus");
    EXPECT_EQ(dump[1], "Hnd - " + std::to_string(a.File.GetHandle()));
    EXPECT_EQ(dump[2], "Locks present - 1");
    EXPECT_EQ(dump[3], "Lock 0: Addr 8445952 Size 8192 Type 4");
    // Destroying the manager frees its locks.
    a.Mgr.reset();
    EXPECT_TRUE(b.Mgr->SetReadLock(7, 1));
}

TEST(LockMgr, UpgradeKeepsTheReadByte) {
    TTempFile t("mgr3");
    std::string path = MakeLockFile(t);
    TConn a(path), b(path);
    ASSERT_TRUE(a.Mgr->SetReadLock(3, 1));
    EXPECT_EQ(a.Mgr->SetWriteLock(3, 0), 4);
    ASSERT_EQ(a.Mgr->GetLockCount(), 3);
    EXPECT_EQ(a.Mgr->QueryLockType(3), 1);
    EXPECT_TRUE(a.Mgr->LockExists(3, 4));
    uint64_t covered = 0;
    for (const auto& item : a.Mgr->GetLocks())
        covered += item.LckSize;
    EXPECT_EQ(covered, TableRegion);
    EXPECT_EQ(ErrorCodeOf([&] { b.Mgr->SetReadLock(3, 1); }), 10249);
    a.Mgr->ReleaseLock(3);
    EXPECT_EQ(a.Mgr->GetLockCount(), 0);
    EXPECT_EQ(a.File.LockCount(), 0u);
    EXPECT_EQ(b.Mgr->SetWriteLock(3, 0), 4);
}

// The lock calls of a commit: an upgrade is one call, and the release of neighbouring ids'
// locks (read byte and the parts around it) is one call per run of touching ranges.
TEST(LockMgr, UpgradeAndReleaseInFewCalls) {
    TTempFile t("mgr6");
    std::string path = MakeLockFile(t);
    TConn a(path), b(path);
    ASSERT_TRUE(a.Mgr->SetReadLock(0, 1));
    ASSERT_TRUE(a.Mgr->SetReadLock(1, 1));
    ASSERT_TRUE(a.Mgr->SetReadLock(5, 1));
    uint64_t calls = TWinFile::LockCallCount();
    a.Mgr->UpgradeReadLocks();
    // Neighbours 0 and 1 in one call, 5 in another.
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 2);
    EXPECT_EQ(a.Mgr->GetLockCount(), 9);
    for (uint32_t id : {0u, 1u, 5u})
        EXPECT_EQ(ErrorCodeOf([&] { b.Mgr->SetReadLock(id, 1); }), 10249);
    // Nothing else of a's lies between ids 0, 1 and 5: one call for all.
    calls = TWinFile::LockCallCount();
    a.Mgr->ReleaseLocks({0, 1, 5});
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    EXPECT_EQ(a.Mgr->GetLockCount(), 0);
    EXPECT_EQ(a.File.LockCount(), 0u);
    for (uint32_t id : {0u, 1u, 5u})
        EXPECT_EQ(b.Mgr->SetWriteLock(id, 0), 4);
    // Released one id at a time, the others stay held.
    b.Mgr->ReleaseLock(1);
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->SetReadLock(0, 1); }), 10249);
    EXPECT_TRUE(a.Mgr->SetReadLock(1, 1));
    // b's ids 0 and 5 go in one call over id 1's range, where a's read lock stays.
    calls = TWinFile::LockCallCount();
    b.Mgr->ReleaseAllLocks();
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    EXPECT_EQ(b.File.LockCount(), 0u);
    EXPECT_EQ(ErrorCodeOf([&] { b.Mgr->SetWriteLock(1, 0); }), 10249);
    EXPECT_EQ(a.Mgr->SetWriteLock(5, 0), 4);
}

// Neighbouring ids taken or upgraded together in one call end exactly as one at a time: the
// same items, each id's ranges released alone, and a refusal of the joint call falls back to
// one id at a time (with its retries), so an id another connection holds is the only one missed.
TEST(LockMgr, NeighbouringIdsTogether) {
    TTempFile t("mgr7");
    std::string path = MakeLockFile(t);
    // One-byte regions, as the transaction locks have.
    constexpr uint64_t ByteBase = 0x1FFE000;
    TConn a(path, ByteBase, 1, 1), b(path, ByteBase, 1, 1);
    uint64_t calls = TWinFile::LockCallCount();
    const uint32_t tableAndHeader[2] = {1, 0};
    a.Mgr->SetWriteLocks(tableAndHeader, 2);
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    EXPECT_EQ(a.Mgr->GetLockCount(), 2);
    EXPECT_EQ(a.File.LockCount(), 2u);
    for (uint32_t id : {0u, 1u}) {
        EXPECT_EQ(a.Mgr->QueryLockType(id), 4);
        EXPECT_EQ(ErrorCodeOf([&] { b.Mgr->SetWriteLock(id, 0); }), 10249);
    }
    // Held: no call at all.
    calls = TWinFile::LockCallCount();
    a.Mgr->SetWriteLocks(tableAndHeader, 2);
    EXPECT_EQ(TWinFile::LockCallCount(), calls);
    EXPECT_EQ(a.Mgr->GetLockCount(), 2);
    a.Mgr->ReleaseLock(1);
    EXPECT_EQ(b.Mgr->SetWriteLock(1, 0), 4);
    EXPECT_EQ(ErrorCodeOf([&] { b.Mgr->SetWriteLock(0, 0); }), 10249);
    a.Mgr->ReleaseAllLocks();
    b.Mgr->ReleaseAllLocks();
    ASSERT_EQ(b.Mgr->SetWriteLock(0, 0), 4);
    // b holds 0: the joint call is refused; one at a time, a gets 1 and times out on 0.
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->SetWriteLocks(tableAndHeader, 2); }), 10249);
    EXPECT_EQ(a.Mgr->QueryLockType(1), 4);
    EXPECT_EQ(a.Mgr->QueryLockType(0), 0);
    EXPECT_EQ(a.File.LockCount(), 1u);
    a.Mgr->ReleaseAllLocks();
    b.Mgr->ReleaseAllLocks();

    // Upgrades of table regions 2 and 3 (read bytes drawn at random).
    TConn c(path, TableBase, TableRegion, 1), d(path);
    for (int round = 0; round < 8; ++round) {
        ASSERT_TRUE(c.Mgr->SetReadLock(2, 1));
        ASSERT_TRUE(c.Mgr->SetReadLock(3, 1));
        calls = TWinFile::LockCallCount();
        c.Mgr->UpgradeReadLocks();
        ASSERT_EQ(TWinFile::LockCallCount(), calls + 1);
        ASSERT_EQ(c.Mgr->GetLockCount(), 6);
        for (uint32_t id : {2u, 3u}) {
            uint64_t covered = 0;
            for (const auto& item : c.Mgr->GetLocks())
                if (item.RqID == id) {
                    ASSERT_GE(item.LckAddr, c.Mgr->GetCalculatedLockAddr(id));
                    ASSERT_LE(item.LckAddr + item.LckSize,
                              c.Mgr->GetCalculatedLockAddr(id) + TableRegion);
                    covered += item.LckSize;
                }
            ASSERT_EQ(covered, TableRegion);
            ASSERT_EQ(ErrorCodeOf([&] { d.Mgr->SetReadLock(id, 1); }), 10249);
        }
        // Region 2 goes back alone, all of it; region 3 stays whole.
        c.Mgr->ReleaseLock(2);
        ASSERT_EQ(d.Mgr->SetWriteLock(2, 0), 4);
        ASSERT_EQ(ErrorCodeOf([&] { d.Mgr->SetReadLock(3, 1); }), 10249);
        c.Mgr->ReleaseAllLocks();
        ASSERT_EQ(c.File.LockCount(), 0u);
        d.Mgr->ReleaseAllLocks();
    }
    // Another connection reading region 3: 2 is upgraded, 3 times out and keeps its read byte.
    ASSERT_TRUE(c.Mgr->SetReadLock(2, 1));
    ASSERT_TRUE(c.Mgr->SetReadLock(3, 1));
    ASSERT_TRUE(d.Mgr->SetReadLock(3, 1));
    EXPECT_EQ(ErrorCodeOf([&] { c.Mgr->UpgradeReadLocks(); }), 10249);
    EXPECT_TRUE(c.Mgr->LockExists(2, 4));
    EXPECT_FALSE(c.Mgr->LockExists(3, 4));
    EXPECT_EQ(c.Mgr->QueryLockType(3), 1);
    // The two read bytes and the parts around the first (one is empty when its read byte
    // begins or ends the region).
    size_t ranges = 0;
    for (const auto& item : c.Mgr->GetLocks())
        ranges += item.LckSize > 0;
    EXPECT_EQ(c.Mgr->GetLockCount(), 4);
    EXPECT_EQ(c.File.LockCount(), ranges);
    EXPECT_GE(ranges, 3u);
    d.Mgr->ReleaseAllLocks();
    c.Mgr->UpgradeReadLocks();
    EXPECT_TRUE(c.Mgr->LockExists(3, 4));
    EXPECT_EQ(ErrorCodeOf([&] { d.Mgr->SetReadLock(3, 1); }), 10249);
    c.Mgr->ReleaseAllLocks();
    EXPECT_EQ(c.File.LockCount(), 0u);
    EXPECT_EQ(d.Mgr->SetWriteLock(2, 0), 4);
    EXPECT_EQ(d.Mgr->SetWriteLock(3, 0), 4);
}

TEST(LockMgr, FailedUpgradeRecordsNothingAndFreesTheFirstPart) {
    TTempFile t("mgr4");
    std::string path = MakeLockFile(t);
    TConn a(path);
    TWinFile other;
    other.Open(path, faReadWrite, fsDenyNone);
    const uint64_t addr = TableBase + 4 * TableRegion;
    uint64_t r = 0;
    do { // a read byte with room before it and after it
        a.Mgr->ReleaseAllLocks();
        ASSERT_TRUE(a.Mgr->SetReadLock(4, 1));
        r = a.Mgr->GetLocks().at(0).LckAddr;
    } while (r == addr || r + 1 == addr + TableRegion);
    ASSERT_TRUE(other.TryLock(addr + TableRegion - 1, 1)); // blocks the part after r
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->UpgradeReadLocks(); }, &message), 10249);
    EXPECT_NE(message.find("write refused"), std::string::npos);
    EXPECT_EQ(a.Mgr->GetLockCount(), 1);
    EXPECT_FALSE(a.Mgr->LockExists(4, 4));
    EXPECT_EQ(a.Mgr->QueryLockType(4), 1);
    EXPECT_EQ(a.File.LockCount(), 1u);
    EXPECT_TRUE(other.TryLock(addr, r - addr)); // the part before r was given back
    EXPECT_FALSE(other.TryLock(r, 1));          // the read byte is still held
}

TEST(LockMgr, RecordLocksAndReadBytesStayInTheirRegion) {
    TTempFile t("mgr5");
    std::string path = MakeLockFile(t);
    TConn rec(path, RecordBase, 1);
    TWinFile other;
    other.Open(path, faReadWrite, fsDenyNone);
    EXPECT_EQ(rec.Mgr->SetWriteLock(0xFFFFFFF0u, 0), 4);
    EXPECT_FALSE(other.TryLock(RecordBase + 0xFFFFFFF0ull, 1));
    EXPECT_TRUE(other.TryLock((RecordBase + 0xFFFFFFF0ull) & 0xFFFFFFFFu, 1)); // no wrap
    // Region 1: the read byte is the address; upgrading adds two empty parts.
    ASSERT_TRUE(rec.Mgr->SetReadLock(10, 0));
    EXPECT_EQ(rec.Mgr->GetLocks().back().LckAddr, RecordBase + 10);
    EXPECT_EQ(rec.Mgr->SetWriteLock(10, 0), 4);
    EXPECT_EQ(rec.Mgr->GetLockCount(), 4);
    // A wider read request is drawn so that it ends inside the region.
    TConn small(path, 0x100000, 4);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(small.Mgr->SetReadLock(1, 3));
        uint64_t at = small.Mgr->GetLocks().at(0).LckAddr;
        EXPECT_TRUE(at == 0x100004 || at == 0x100005) << at;
        small.Mgr->ReleaseAllLocks();
    }
}

TEST(LockMgr, HolderInAnotherProcessKilled) {
    TTempFile t("mgr6");
    std::string path = MakeLockFile(t);
    TChildProcess child([&](TChildProcess& self) {
        TConn c(path);
        c.Mgr->SetWriteLock(9, 0);
        self.Send('w');
        self.Receive(60000);
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'w');
    TConn a(path);
    EXPECT_EQ(ErrorCodeOf([&] { a.Mgr->SetReadLock(9, 1); }), 10249);
    EXPECT_EQ(a.Mgr->GetLockCount(), 0);
    child.Kill();
    EXPECT_TRUE(a.Mgr->SetReadLock(9, 1));
}

namespace {

constexpr uint32_t CounterTable = 7;

int64_t ReadCounter(TWinFile& side) {
    int64_t v = 0;
    if (side.ReadAt(&v, sizeof v, 0) != sizeof v) return 0;
    return v;
}

void WriteCounter(TWinFile& side, int64_t v) {
    side.WriteAt(&v, sizeof v, 0);
}

// One increment under a table write lock; false when the lock timed out.
bool IncrementUnderWriteLock(TConn& c, TWinFile& side) {
    if (ErrorCodeOf([&] { c.Mgr->SetWriteLock(CounterTable, 0); }) != 0) return false;
    WriteCounter(side, ReadCounter(side) + 1);
    c.Mgr->ReleaseLock(CounterTable);
    return true;
}

// One increment read under a read lock and written after upgrading; false on 10249.
bool IncrementUnderUpgradedLock(TConn& c, TWinFile& side) {
    if (ErrorCodeOf([&] { c.Mgr->SetReadLock(CounterTable, 1); }) != 0) return false;
    int64_t v = ReadCounter(side);
    int32_t error = ErrorCodeOf([&] { c.Mgr->UpgradeReadLocks(); });
    if (error == 0) WriteCounter(side, v + 1);
    c.Mgr->ReleaseLock(CounterTable);
    if (error != 0 && error != 10249) throw std::runtime_error("unexpected error");
    return error == 0;
}

struct TCounterRun {
    int64_t Final = 0;
    int64_t Timeouts = 0;
};

// Children plus two connections of this process, each making `rounds` increments.
TCounterRun RunCounter(const std::string& lockPath, const std::string& sidePath, bool upgrade,
                       int children, int rounds) {
    int32_t count = upgrade ? 3 : 500;
    int32_t interval = upgrade ? 2 : 1;
    std::vector<std::unique_ptr<TChildProcess>> kids;
    for (int k = 0; k < children; ++k) {
        kids.push_back(std::make_unique<TChildProcess>([&](TChildProcess& self) {
            TConn c(lockPath, TableBase, TableRegion, count, interval);
            TWinFile side;
            side.Open(sidePath, faReadWrite, fsDenyNone);
            if (self.Receive() != 'g') return 2;
            for (int done = 0; done < rounds;) {
                if (upgrade ? IncrementUnderUpgradedLock(c, side)
                            : IncrementUnderWriteLock(c, side))
                    ++done;
                else
                    Sleep(static_cast<uint32_t>(Random(4)));
            }
            return 0;
        }));
    }
    TConn c1(lockPath, TableBase, TableRegion, count, interval);
    TConn c2(lockPath, TableBase, TableRegion, count, interval);
    TWinFile side;
    side.Open(sidePath, faReadWrite, fsDenyNone);
    for (auto& kid : kids)
        kid->Send('g');
    TCounterRun run;
    int done1 = 0, done2 = 0;
    while (done1 < rounds || done2 < rounds) {
        if (!upgrade) {
            if (done1 < rounds && IncrementUnderWriteLock(c1, side)) ++done1;
            if (done2 < rounds && IncrementUnderWriteLock(c2, side)) ++done2;
            continue;
        }
        // Both connections read first, then both try to upgrade: the first upgrade meets the
        // other's read byte and must time out instead of losing the other's update.
        bool r1 = done1 < rounds && ErrorCodeOf([&] { c1.Mgr->SetReadLock(CounterTable, 1); }) == 0;
        bool r2 = done2 < rounds && ErrorCodeOf([&] { c2.Mgr->SetReadLock(CounterTable, 1); }) == 0;
        int64_t v1 = r1 ? ReadCounter(side) : 0, v2 = r2 ? ReadCounter(side) : 0;
        for (auto [c, r, v, done] : {std::tuple{&c1, r1, v1, &done1}, {&c2, r2, v2, &done2}}) {
            if (!r) continue;
            int32_t error = ErrorCodeOf([&] { c->Mgr->UpgradeReadLocks(); });
            if (error == 0) {
                WriteCounter(side, v + 1);
                ++*done;
            } else {
                EXPECT_EQ(error, 10249);
                ++run.Timeouts;
            }
            c->Mgr->ReleaseLock(CounterTable);
        }
        Sleep(static_cast<uint32_t>(Random(3)));
    }
    for (auto& kid : kids)
        EXPECT_EQ(kid->Wait(), 0);
    run.Final = ReadCounter(side);
    return run;
}

} // namespace

TEST(LockMgrEndToEnd, WriteLockedCounterLosesNoUpdate) {
    TTempFile lck("e2e1.lck"), side("e2e1.cnt");
    MakeLockFile(lck);
    MakeLockFile(side);
    TCounterRun run = RunCounter(lck.Path, side.Path, false, 3, 100);
    EXPECT_EQ(run.Final, 5 * 100);
}

TEST(LockMgrEndToEnd, UpgradedReadLocksShowContentionAsTimeouts) {
    TTempFile lck("e2e2.lck"), side("e2e2.cnt");
    MakeLockFile(lck);
    MakeLockFile(side);
    TCounterRun run = RunCounter(lck.Path, side.Path, true, 3, 20);
    EXPECT_EQ(run.Final, 5 * 20);
    // The two in-process connections always collide when both read first.
    EXPECT_GT(run.Timeouts, 0);
}

// Two processes hold read locks on one table and both upgrade, the second starting 0.6 of an
// interval after the first: each waits for the other's read byte in vain. The first to run out
// of attempts must give up at once after its last refusal and give its locks back (as a failed
// statement's rollback does), so the other's last attempt finds the table free: exactly one
// times out. With two attempts the first gives up 0.75 to 1.25 intervals after it began, the
// other tries last 1.35 to 1.85 intervals after; a pause after the last refusal (1.5 to 2.5
// intervals) had both time out.
TEST(LockMgr, UpgradeDeadlockEndsWithOneTimeout) {
    TTempFile t("mgr_deadlock");
    const std::string path = MakeLockFile(t);
    constexpr int32_t C_INTERVAL = 500;
    constexpr int C_ROUNDS = 3;
    int single = 0;
    for (int round = 0; round < C_ROUNDS; ++round) {
        std::vector<std::unique_ptr<TChildProcess>> children;
        for (int p = 0; p < 2; ++p)
            children.push_back(std::make_unique<TChildProcess>([&](TChildProcess& self) {
                Randomize();
                TConn c(path, TableBase, TableRegion, 2, C_INTERVAL);
                if (!c.Mgr->SetReadLock(CounterTable, 1)) return 3;
                self.Send('r');
                if (self.Receive() != 'u') return 3;
                const int32_t code =
                    ErrorCodeOf([&] { c.Mgr->SetWriteLock(CounterTable, 0); });
                c.Mgr->ReleaseAllLocks();
                return code == 0 ? 0 : code == 10249 ? 1 : 2;
            }));
        for (auto& child : children)
            ASSERT_EQ(child->Receive(), 'r');
        children[0]->Send('u');
        Sleep(C_INTERVAL * 6 / 10);
        children[1]->Send('u');
        const int first = children[0]->Wait();
        const int second = children[1]->Wait();
        EXPECT_TRUE(first <= 1 && second <= 1) << first << " " << second;
        if (first + second == 1) ++single;
    }
    // A loaded machine may stretch one pause past its margin; both timing out in most rounds
    // is the fault.
    EXPECT_GE(single, C_ROUNDS - 1) << "rounds with a single timeout";
}
