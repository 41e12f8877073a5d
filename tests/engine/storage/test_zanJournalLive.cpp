// The journal while other processes commit: a connection that opens the file or takes a lock
// meanwhile never calls a live writer's journal damaged, and a copy of the file never holds a
// dead committer's half-written commit.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
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

// A database of 6 + n pages, the pages from 6 on owned by table 7 and filled with 0x07.
std::vector<uint8_t> MakeDb(const std::string& path, int n) {
    TDb db(path);
    for (int i = 0; i < n; ++i) db.Alloc(7, 0x07);
    db.Disk.Close();
    unlink(JournalFileNameFor(path).c_str());
    return ReadFileBytes(path);
}

// A hot journal for page 6 of the image before, the page in the file then overwritten with 0xEE
// (a writer that died after writing in place).
void MakeHot(const std::string& path, const std::vector<uint8_t>& before) {
    TJournalWriter w;
    w.Begin(JournalFileNameFor(path), P, 0644, before.size(), false);
    w.AddStretch(6 * P, before.data() + 6 * P, P);
    TJournalHeader h;
    h.FixedCRCBefore = h.FixedCRCAfter = FixedRegionsCRC(before.data());
    h.LockIds.set(7);
    w.Finish(h);
    w.Abandon();
    std::vector<uint8_t> bad(P, 0xEE);
    TWinFile f;
    f.Open(path, faReadWrite, fsDenyNone);
    f.WriteAt(bad.data(), bad.size(), 6 * P);
}


} // namespace

// The journal cannot be written (EFBIG): 9218, nothing changed, the transaction kept; once the
// limit is lifted the same transaction commits.

// Opens and newly taken locks while another process commits in a loop: the journal they see may
// be mid-write, which is no damage.
// A live committer in another process commits small scopes over and over (its journal kept and
// emptied at each commit point). Connections opening the database meanwhile must never call
// the database damaged (8962) or the journal another database's (8449): nothing is wrong with
// either. Lock timeouts (10249) are fine.
TEST(JournalLive, OpenAndLocksDuringLiveCommitsNeverReportDamage) {
    TFiles f("pj_live_open.zan");
    const std::vector<uint8_t> before = MakeDb(f.Db.Path, 8);
    TChildProcess committer([&](TChildProcess& self) {
        TDb db(f.Db.Path, false);
        std::vector<uint8_t> page(P);
        self.Send('s');
        for (uint32_t i = 0;; ++i) {
            try {
                TDiskWriteScope scope(db.Disk);
                db.Disk.SetTableLock(7, ZanLockWrite);
                for (uint32_t k = 0; k < 8; ++k) {
                    std::fill(page.begin(), page.end(), static_cast<uint8_t>(i));
                    db.Disk.WritePages((6 + k) * P, 1, page.data(), 7, 1);
                }
                db.Disk.ReleaseTableLock(7);
            } catch (const EZanDatabaseError&) {
                db.Disk.ReleaseAllLocks();
            }
        }
        return 0;
    });
    ASSERT_EQ(committer.Receive(), 's');
    std::map<int32_t, int> codes;
    for (int i = 0; i < 1000; ++i) {
        TDiskMgr disk;
        disk.SetFileName(f.Db.Path);
        disk.SetPageSize(P);
        disk.SetOpenFlags(0x42);
        disk.SetLockRetryCount(3);
        disk.SetLockRetryInterval(1);
        const int32_t code = ErrorCodeOf([&] { disk.Open(); });
        if (code != 0) ++codes[code];
    }
    // The same at a lock newly taken by a connection that is already open.
    std::map<int32_t, int> lockCodes;
    {
        TDb reader(f.Db.Path, false);
        for (int i = 0; i < 1000; ++i) {
            const int32_t code = ErrorCodeOf([&] {
                reader.Disk.SetTableLock(8, ZanLockRead);
                reader.Disk.ReleaseTableLock(8);
            });
            if (code != 0) ++lockCodes[code];
        }
    }
    committer.Kill();
    EXPECT_EQ(lockCodes[8962], 0);
    EXPECT_EQ(lockCodes[8449], 0);
    EXPECT_EQ(codes[8962], 0);
    EXPECT_EQ(codes[8449], 0);
}

// A dead committer's hot journal appears while a connection is open; that connection copies the
// database (holding the commit lock, so no committer is alive). The copy must show the state
// before the dead commit: a copy with the torn bytes and no journal beside it is a damaged
// backup that nothing can repair.
TEST(JournalLive, CopyRestoresAHotJournalFirst) {
    TFiles f("pj_copy_hot.zan");
    const std::vector<uint8_t> before = MakeDb(f.Db.Path, 3);
    TDb db(f.Db.Path, false);
    MakeHot(f.Db.Path, before);
    TTempFile copy("pj_copy_hot_copy.zan");
    db.Disk.CopyCurrentFile(copy.Path);
    const std::vector<uint8_t> copied = ReadFileBytes(copy.Path);
    ASSERT_EQ(copied.size(), before.size());
    EXPECT_EQ(copied[6 * P + 10], 0x07) << "the copy holds the dead commit's torn bytes";
    EXPECT_FALSE(FileExists(JournalFileNameFor(copy.Path)));
    unlink(UsersFileNameFor(copy.Path).c_str());
}

// As above with a real committer killed at each crash point of its commit while this
// connection is open: the copy must hold the old or the new state, never a mix.
TEST(JournalLive, CopyAfterAKilledCommitIsOldOrNew) {
    TFiles f("pj_copy_kill.zan");
    const std::vector<uint8_t> before = MakeDb(f.Db.Path, 3);
    TTempFile dry("pj_copy_kill_dry.zan");
    std::filesystem::copy_file(f.Db.Path, dry.Path);
    const int points = CommitTableInChild(dry.Path, 0, 7, 0x77);
    ASSERT_GT(points, 3);
    unlink(JournalFileNameFor(dry.Path).c_str());
    unlink(UsersFileNameFor(dry.Path).c_str());
    const std::vector<uint8_t> after = ReadFileBytes(dry.Path);
    int torn = 0;
    for (int k = 1; k <= points; ++k) {
        WriteFileBytes(f.Db.Path, before);
        unlink(f.Journal.c_str());
        TDb db(f.Db.Path, false);
        ASSERT_EQ(CommitTableInChild(f.Db.Path, static_cast<uint64_t>(k), 7, 0x77), -1);
        TTempFile copy("pj_copy_kill_copy.zan");
        db.Disk.CopyCurrentFile(copy.Path);
        const std::vector<uint8_t> copied = ReadFileBytes(copy.Path);
        if (copied != before && copied != after) {
            ++torn;
            ADD_FAILURE() << "killed at point " << k << " of " << points
                          << ": the copy is neither the old nor the new state (journal "
                          << JournalStateName(InspectJournal(f.Journal, f.Db.Path).State) << ")";
        }
        unlink(UsersFileNameFor(copy.Path).c_str());
    }
    EXPECT_EQ(torn, 0);
}
