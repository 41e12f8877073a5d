#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <vector>

#include "child_process.h"
#include "host/win/WinFiles.h"

using namespace zan;

namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Opens a second handle; answers whether it was admitted.
bool CanOpen(const std::string& path, TFileAccess access, TFileShare share) {
    TWinFile f;
    try {
        f.Open(path, access, share);
        return true;
    } catch (const ESharingViolation& e) {
        EXPECT_EQ(e.ErrorCode, EBUSY);
        return false;
    }
}

} // namespace

TEST(WinFileShare, ConflictsWithinOneProcess) {
    TTempFile t("share1");
    WriteText(t.Path, "data");
    struct Case {
        TFileAccess A1;
        TFileShare S1;
        TFileAccess A2;
        TFileShare S2;
        bool Admitted;
    } cases[] = {
        {faRead, fsExclusive, faRead, fsDenyNone, false},
        {faRead, fsDenyNone, faRead, fsExclusive, false},
        {faRead, fsDenyNone, faReadWrite, fsDenyNone, true},
        {faRead, fsDenyWrite, faRead, fsDenyWrite, true},
        {faRead, fsDenyWrite, faReadWrite, fsDenyNone, false}, // it denies my write
        {faReadWrite, fsDenyNone, faRead, fsDenyWrite, false}, // I deny its write
        {faRead, fsDenyNone, faWrite, fsDenyRead, false},
        {faWrite, fsDenyRead, faWrite, fsDenyRead, true},
        {faWrite, fsDenyRead, faRead, fsDenyNone, false},
        {faReadWrite, fsDenyNone, faReadWrite, fsDenyNone, true},
    };
    for (const auto& c : cases) {
        TWinFile first;
        first.Open(t.Path, c.A1, c.S1);
        EXPECT_EQ(CanOpen(t.Path, c.A2, c.S2), c.Admitted)
            << int(c.A1) << "/" << int(c.S1) << " then " << int(c.A2) << "/" << int(c.S2);
    }
    // Refused opens leave nothing behind; closed handles neither.
    EXPECT_TRUE(CanOpen(t.Path, faReadWrite, fsExclusive));
}

TEST(WinFileShare, TruncatingCreateNeverTouchesAHeldFile) {
    TTempFile t("share2");
    TWinFile holder;
    holder.Create(t.Path, fsExclusive);
    holder.WriteAt("keep", 4, 0);
    TWinFile other;
    EXPECT_THROW(other.Create(t.Path, fsExclusive, true), ESharingViolation);
    EXPECT_FALSE(other.IsOpen());
    EXPECT_EQ(holder.Size(), 4u);
    EXPECT_THROW(other.Create(t.Path, fsDenyNone), EOSError); // exists
    holder.Close();
    other.Create(t.Path, fsDenyNone, true);
    EXPECT_EQ(other.Size(), 0u);
}

TEST(WinFileShare, ConflictsAcrossProcesses) {
    TTempFile t("share3");
    WriteText(t.Path, "data");
    TChildProcess child([&](TChildProcess& self) {
        TWinFile f;
        f.Open(t.Path, faRead, fsDenyWrite);
        self.Send('o');
        self.Receive(60000);
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'o');
    EXPECT_FALSE(CanOpen(t.Path, faReadWrite, fsDenyNone));
    EXPECT_FALSE(CanOpen(t.Path, faRead, fsExclusive));
    EXPECT_TRUE(CanOpen(t.Path, faRead, fsDenyNone));
    child.Kill();
    EXPECT_TRUE(CanOpen(t.Path, faReadWrite, fsExclusive));
}

TEST(WinFileIO, PositionalReadWriteAndSize) {
    TTempFile t("io1");
    TWinFile f;
    EXPECT_EQ(f.GetHandle(), TWinFile::NoHandle);
    EXPECT_THROW(f.Open(t.Path, faRead, fsDenyNone), EOSError);
    f.Create(t.Path, fsDenyNone);
    EXPECT_TRUE(FileExists(t.Path));
    const uint64_t far = (uint64_t(1) << 32) + 10; // beyond 32-bit offsets, sparse
    f.WriteAt("hello", 5, far);
    EXPECT_EQ(f.Size(), far + 5);
    char buf[16] = {};
    EXPECT_EQ(f.ReadAt(buf, 16, far + 1), 4u); // short at end of file
    EXPECT_EQ(std::string(buf, 4), "ello");
    EXPECT_EQ(f.ReadAt(buf, 16, far + 100), 0u);
    EXPECT_EQ(f.ReadAt(buf, 2, 10), 2u);
    EXPECT_EQ(buf[0], 0);
    f.Flush();
    TWinFile r;
    r.Open(t.Path, faRead, fsDenyNone);
    EXPECT_THROW(r.WriteAt("x", 1, 0), EOSError);
    f.Close();
    EXPECT_FALSE(FileExists(t.Path + ".none"));
    EXPECT_FALSE(FileExists(TestTempPath("")));
    EXPECT_TRUE(DeleteFile(t.Path));
    EXPECT_FALSE(DeleteFile(t.Path));
    EXPECT_EQ(errno, ENOENT);
}

TEST(WinFileIO, CopyKeepsContentAndMode) {
    TTempFile src("copy_src"), dst("copy_dst");
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    WriteText(src.Path, content);
    chmod(src.Path.c_str(), 0640);
    CopyFile(src.Path, dst.Path, true);
    EXPECT_EQ(ReadText(dst.Path), content);
    struct stat st {};
    ASSERT_EQ(stat(dst.Path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // An existing target is refused with failIfExists and truncated without it.
    WriteText(dst.Path, std::string(300000, 'x'));
    try {
        CopyFile(src.Path, dst.Path, true);
        ADD_FAILURE();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode, EEXIST);
    }
    EXPECT_EQ(ReadText(dst.Path).size(), 300000u);
    CopyFile(src.Path, dst.Path, false);
    EXPECT_EQ(ReadText(dst.Path), content);
    // Onto itself: refused, the file intact.
    EXPECT_THROW(CopyFile(src.Path, src.Path, false), EOSError);
    EXPECT_EQ(ReadText(src.Path), content);
    EXPECT_THROW(CopyFile(src.Path + ".none", dst.Path, false), EOSError);
}

TEST(WinFileIO, ReadOnlyOnDisk) {
    TTempFile t("ro");
    EXPECT_FALSE(IsFileReadOnly(t.Path)); // missing
    WriteText(t.Path, "x");
    EXPECT_FALSE(IsFileReadOnly(t.Path));
    chmod(t.Path.c_str(), 0444);
    EXPECT_TRUE(IsFileReadOnly(t.Path));
}

TEST(WinFileLocks, HandlesOfOneProcessConflict) {
    TTempFile t("lk1");
    TWinFile a, b;
    a.Create(t.Path, fsDenyNone);
    b.Open(t.Path, faReadWrite, fsDenyNone);
    ASSERT_TRUE(a.TryLock(100, 10));
    EXPECT_FALSE(b.TryLock(100, 10));
    EXPECT_FALSE(b.TryLock(109, 1));
    EXPECT_FALSE(b.TryLock(90, 11));
    EXPECT_TRUE(b.TryLock(110, 5)); // adjacent
    EXPECT_TRUE(b.TryLock(99, 1));
    // 64-bit offsets: a lock past 4 GiB does not alias a low one.
    EXPECT_TRUE(a.TryLock((uint64_t(1) << 32) + 100, 1));
    EXPECT_FALSE(b.TryLock((uint64_t(1) << 32) + 100, 1));
    EXPECT_EQ(a.Size(), 0u); // locking beyond the end does not grow the file
    EXPECT_THROW(a.TryLock(TWinFile::ShareLockBase - 1, 2), EOSError);
    // Closing frees every lock of the handle.
    a.Close();
    EXPECT_TRUE(b.TryLock(100, 10));
    EXPECT_TRUE(b.TryLock((uint64_t(1) << 32) + 100, 1));
}

TEST(WinFileLocks, SameHandleRelockAndInexactUnlock) {
    TTempFile t("lk2");
    TWinFile a, b;
    a.Create(t.Path, fsDenyNone);
    b.Open(t.Path, faReadWrite, fsDenyNone);
    ASSERT_TRUE(a.TryLock(0, 8));
    uint64_t calls = TWinFile::LockCallCount();
    EXPECT_FALSE(a.TryLock(0, 8)); // refused by the handle's own registry, no system call
    EXPECT_FALSE(a.TryLock(7, 4));
    EXPECT_FALSE(a.Unlock(0, 4));
    EXPECT_FALSE(a.Unlock(2, 6));
    EXPECT_FALSE(a.Unlock(20, 1));
    EXPECT_TRUE(a.TryLock(5, 0)); // zero length: nothing happens
    EXPECT_TRUE(a.Unlock(5, 0));
    EXPECT_EQ(TWinFile::LockCallCount(), calls);
    EXPECT_EQ(a.LockCount(), 1u);
    // The refused unlocks left the whole range held.
    for (uint64_t i = 0; i < 8; ++i)
        EXPECT_FALSE(b.TryLock(i, 1));
    EXPECT_TRUE(a.Unlock(0, 8));
    EXPECT_EQ(a.LockCount(), 0u);
    EXPECT_TRUE(b.TryLock(0, 8));
    EXPECT_FALSE(a.TryLock(3, 1));
}

namespace {

// Bytes [from, to) as another handle sees them: 'x' held by someone else, '.' free.
std::string LockMap(TWinFile& other, uint64_t from, uint64_t to) {
    std::string map;
    for (uint64_t i = from; i < to; ++i) {
        const bool free = other.TryLock(i, 1);
        if (free) other.Unlock(i, 1);
        map += free ? '.' : 'x';
    }
    return map;
}

} // namespace

// A span over a range already held: one system call, the pieces around it recorded as ranges
// of their own; runs of touching ranges are unlocked in one call each, and what another handle
// sees always matches the registry.
TEST(WinFileLocks, SpanAroundAHeldRangeAndUnlockingRuns) {
    TTempFile t("lk3");
    TWinFile a, b;
    a.Create(t.Path, fsDenyNone);
    b.Open(t.Path, faReadWrite, fsDenyNone);
    auto heldByOthers = [&](uint64_t from, uint64_t to) { return LockMap(b, from, to); };
    ASSERT_TRUE(a.TryLock(105, 1));
    uint64_t calls = TWinFile::LockCallCount();
    ASSERT_TRUE(a.TryLockSpan(100, 10));
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    EXPECT_EQ(a.LockCount(), 3u);
    EXPECT_EQ(heldByOthers(98, 112), "..xxxxxxxxxx..");
    // Each piece is a range of its own: unlocking the middle one leaves the others.
    EXPECT_FALSE(a.Unlock(100, 10));
    EXPECT_TRUE(a.Unlock(105, 1));
    EXPECT_EQ(heldByOthers(98, 112), "..xxxxx.xxxx..");
    EXPECT_TRUE(a.TryLock(105, 1));
    // A span whose bytes are all held needs no call; one crossing a held range's end is
    // refused; one another handle holds a byte of changes nothing.
    calls = TWinFile::LockCallCount();
    EXPECT_TRUE(a.TryLockSpan(100, 10));
    EXPECT_FALSE(a.TryLockSpan(108, 4));
    EXPECT_FALSE(a.TryLockSpan(95, 6));
    EXPECT_EQ(TWinFile::LockCallCount(), calls);
    ASSERT_TRUE(b.TryLock(115, 1));
    EXPECT_FALSE(a.TryLockSpan(110, 10));
    EXPECT_EQ(a.LockCount(), 3u);
    EXPECT_EQ(heldByOthers(110, 115), ".....");
    ASSERT_TRUE(a.TryLock(200, 5));
    // Ranges with no other range of the handle between them go in one call, even apart; a
    // range not held exactly is skipped and one named twice is unlocked once.
    calls = TWinFile::LockCallCount();
    a.UnlockRanges({{200, 5}, {105, 1}, {100, 5}, {106, 4}, {100, 5}, {300, 1}, {200, 2}});
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    EXPECT_EQ(a.LockCount(), 0u);
    EXPECT_EQ(heldByOthers(98, 112), "..............");
    EXPECT_TRUE(b.TryLock(200, 5));
    // A range still held between two being unlocked splits the run and stays held; so do
    // ranges before and after it.
    ASSERT_TRUE(a.TryLock(20, 2));
    ASSERT_TRUE(a.TryLock(30, 2));
    ASSERT_TRUE(a.TryLock(40, 2));
    ASSERT_TRUE(a.TryLock(50, 2));
    ASSERT_TRUE(a.TryLock(60, 2));
    calls = TWinFile::LockCallCount();
    a.UnlockRanges({{30, 2}, {50, 2}});
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 2);
    EXPECT_EQ(a.LockCount(), 3u);
    EXPECT_EQ(heldByOthers(18, 64), "..xx" + std::string(18, '.') + "xx" + std::string(18, '.') +
                                        "xx..");
    a.UnlockRanges({{20, 2}, {40, 2}, {60, 2}});
    EXPECT_EQ(a.LockCount(), 0u);
    // Touching but with a gap still held elsewhere in the registry: two runs.
    ASSERT_TRUE(a.TryLock(10, 2));
    ASSERT_TRUE(a.TryLock(12, 2));
    ASSERT_TRUE(a.TryLock(14, 2));
    a.UnlockRanges({{10, 2}, {14, 2}});
    EXPECT_EQ(a.LockCount(), 1u);
    EXPECT_EQ(heldByOthers(8, 18), "....xx....");
}

// Neighbouring regions locked in one call stay unlockable one by one: the pieces are cut at
// the given points as well as around ranges already held; "whole" refuses any range held inside.
TEST(WinFileLocks, SpanCutIntoRegions) {
    TTempFile t("spancuts");
    TWinFile a, b;
    a.Create(t.Path, fsDenyNone);
    b.Open(t.Path, faReadWrite, fsDenyNone);
    auto heldByOthers = [&](uint64_t from, uint64_t to) { return LockMap(b, from, to); };
    // Two regions of 10 bytes from 100, a read byte held in each (102 and 117).
    ASSERT_TRUE(a.TryLock(102, 1));
    ASSERT_TRUE(a.TryLock(117, 1));
    uint64_t calls = TWinFile::LockCallCount();
    const uint64_t at110[] = {110}, at201[] = {201}, at201and202[] = {201, 202};
    const uint64_t at300[] = {300}, at301[] = {301};
    ASSERT_TRUE(a.TryLockSpan(100, 20, at110, false));
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    // 100-101, 103-109 | 110-116, 118-119, with the two read bytes.
    EXPECT_EQ(a.LockCount(), 6u);
    EXPECT_EQ(heldByOthers(98, 122), "..xxxxxxxxxxxxxxxxxxxx..");
    EXPECT_FALSE(a.Unlock(103, 14)); // never one range across the cut
    EXPECT_TRUE(a.Unlock(103, 7));
    EXPECT_TRUE(a.Unlock(110, 7));
    EXPECT_EQ(heldByOthers(98, 122), "..xxx..............xxx..");
    // The second region's pieces go without touching the first region's.
    a.UnlockRanges({{117, 1}, {118, 2}});
    EXPECT_EQ(heldByOthers(98, 122), "..xxx...................");
    a.UnlockRanges({{100, 2}, {102, 1}});
    EXPECT_EQ(a.LockCount(), 0u);

    // Whole: every byte must be free in this handle, each region recorded whole.
    ASSERT_TRUE(a.TryLock(201, 1));
    calls = TWinFile::LockCallCount();
    EXPECT_FALSE(a.TryLockSpan(200, 2, at201, true));
    EXPECT_EQ(TWinFile::LockCallCount(), calls);
    EXPECT_EQ(a.LockCount(), 1u);
    EXPECT_EQ(heldByOthers(200, 202), ".x");
    ASSERT_TRUE(a.Unlock(201, 1));
    calls = TWinFile::LockCallCount();
    ASSERT_TRUE(a.TryLockSpan(200, 3, at201and202, true));
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    EXPECT_EQ(a.LockCount(), 3u);
    EXPECT_TRUE(a.Unlock(201, 1));
    EXPECT_EQ(heldByOthers(200, 203), "x.x");
    // Another handle holding one byte of the span: nothing is taken.
    ASSERT_TRUE(b.TryLock(301, 1));
    EXPECT_FALSE(a.TryLockSpan(300, 2, at301, true));
    EXPECT_FALSE(a.TryLockSpan(290, 20, at300, false));
    EXPECT_EQ(a.LockCount(), 2u);
    EXPECT_TRUE(b.TryLock(300, 1));
}

// Unlocks in a batch stay held (for this handle and for others) until its outermost end, which
// makes them in one call; a lock asked inside the batch unlocks what was noted first.
TEST(WinFileLocks, UnlockBatchHoldsUntilItsEnd) {
    TTempFile t("lk4");
    TWinFile a, b;
    a.Create(t.Path, fsDenyNone);
    b.Open(t.Path, faReadWrite, fsDenyNone);
    auto freeForOthers = [&](uint64_t offset) {
        const bool free = b.TryLock(offset, 1);
        if (free) b.Unlock(offset, 1);
        return free;
    };
    ASSERT_TRUE(a.TryLock(1000, 8));
    ASSERT_TRUE(a.TryLock(5000, 1));
    ASSERT_TRUE(a.TryLock(9000, 4));
    ASSERT_TRUE(a.TryLock(70000, 1));
    uint64_t calls = TWinFile::LockCallCount();
    {
        TUnlockBatch outer(&a);
        EXPECT_TRUE(a.Unlock(9000, 4));
        EXPECT_FALSE(a.Unlock(9000, 4)); // noted once
        EXPECT_FALSE(a.Unlock(9000, 2)); // not a held range
        {
            TUnlockBatch inner(&a);
            a.UnlockRanges({{1000, 8}, {5000, 1}});
        }
        EXPECT_EQ(TWinFile::LockCallCount(), calls);
        EXPECT_EQ(a.LockCount(), 4u);
        for (uint64_t at : {1000u, 5000u, 9000u, 70000u})
            EXPECT_FALSE(freeForOthers(at)) << at;
        calls = TWinFile::LockCallCount();
    }
    // 1000 to 9004 in one call; 70000 was not asked for and stays.
    EXPECT_EQ(TWinFile::LockCallCount(), calls + 1);
    EXPECT_EQ(a.LockCount(), 1u);
    for (uint64_t at : {1000u, 1007u, 5000u, 9003u})
        EXPECT_TRUE(freeForOthers(at)) << at;
    EXPECT_FALSE(freeForOthers(70000));
    // A lock inside the batch: what was noted goes first, so the range can be had again.
    ASSERT_TRUE(a.TryLock(1000, 8));
    {
        TUnlockBatch batch(&a);
        EXPECT_TRUE(a.Unlock(1000, 8));
        EXPECT_TRUE(a.TryLock(1000, 8));
        EXPECT_TRUE(a.Unlock(70000, 1));
        a.FlushUnlockBatch();
        EXPECT_TRUE(freeForOthers(70000));
        EXPECT_FALSE(freeForOthers(1000));
    }
    EXPECT_EQ(a.LockCount(), 1u);
    EXPECT_FALSE(freeForOthers(1004));
    // Closing inside a batch forgets what was noted; the end then has nothing to do.
    {
        TUnlockBatch batch(&a);
        EXPECT_TRUE(a.Unlock(1000, 8));
        a.Close();
    }
    EXPECT_TRUE(freeForOthers(1000));
}

TEST(WinFileLocks, ReadOnlyOpenLocksThroughItsLockDescriptor) {
    TTempFile t("lk3");
    WriteText(t.Path, "data");
    TWinFile r, w;
    r.Open(t.Path, faRead, fsDenyNone);
    r.CheckLockSupport();
    w.Open(t.Path, faReadWrite, fsDenyNone);
    ASSERT_TRUE(r.TryLock(8192, 1));
    EXPECT_FALSE(w.TryLock(8192, 1));
    EXPECT_TRUE(r.Unlock(8192, 1));
    EXPECT_TRUE(w.TryLock(8192, 1));
    EXPECT_FALSE(r.TryLock(8192, 1));
    // A read-only file gives no lock descriptor: asking for lock support is an error, and a
    // lock is not granted.
    chmod(t.Path.c_str(), 0444);
    TTempFile t2("lk3b");
    WriteText(t2.Path, "data");
    chmod(t2.Path.c_str(), 0444);
    if (access(t2.Path.c_str(), W_OK) != 0) { // not when running privileged
        TWinFile ro;
        ro.Open(t2.Path, faRead, fsDenyNone);
        EXPECT_THROW(ro.CheckLockSupport(), EOSError);
        EXPECT_FALSE(ro.TryLock(0, 1));
    }
}

TEST(WinFileLocks, AcrossProcessesAndFreedWhenTheHolderIsKilled) {
    TTempFile t("lk4");
    WriteText(t.Path, "");
    TChildProcess child([&](TChildProcess& self) {
        TWinFile f;
        f.Open(t.Path, faReadWrite, fsDenyNone);
        if (!f.TryLock(0x800000, 8192)) return 1;
        self.Send('l');
        // Whether the parent's lock is visible here.
        self.Receive(60000);
        self.Send(f.TryLock(50, 1) ? 'y' : 'n');
        self.Receive(60000);
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'l');
    TWinFile f;
    f.Open(t.Path, faReadWrite, fsDenyNone);
    EXPECT_FALSE(f.TryLock(0x800000 + 4000, 1));
    ASSERT_TRUE(f.TryLock(50, 1));
    child.Send('?');
    EXPECT_EQ(child.Receive(), 'n');
    child.Kill();
    EXPECT_EQ(child.Wait(), -1);
    EXPECT_TRUE(f.TryLock(0x800000 + 4000, 1));
}
