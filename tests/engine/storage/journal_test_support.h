// Helpers of the journal and write-scope tests: a disk manager on a file of 4096-byte pages, and
// a database file whose journal and users file go with it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/storage/zanDisk.h"
#include "engine/storage/zanJournal.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

namespace zan {

constexpr uint32_t P = 4096;

struct TDb {
    explicit TDb(const std::string& path, bool create = true, int32_t flags = 0x42) {
        Disk.SetFileName(path);
        Disk.SetPageSize(P);
        if (create) Disk.CreateNewFile(true);
        Disk.SetOpenFlags(flags);
        Disk.SetLockRetryCount(3);
        Disk.SetLockRetryInterval(5);
        Disk.Open();
    }
    uint32_t Alloc(uint32_t owner, uint8_t fill) {
        std::vector<uint8_t> buf(P, fill);
        return Disk.WriteNewPages(owner, 1, 1, 1, buf.data());
    }
    TDiskMgr Disk;
};

struct TFiles {
    TTempFile Db;
    std::string Journal;
    explicit TFiles(const char* name) : Db(name), Journal(JournalFileNameFor(Db.Path)) {
        unlink(Journal.c_str());
    }
    ~TFiles() {
        chmod(Db.Path.c_str(), 0644);
        std::error_code ec;
        std::filesystem::remove(Journal, ec);
        unlink(UsersFileNameFor(Db.Path).c_str());
    }
};

// In a child: a transaction of table that allocates a page filled with fill (the header lock
// written) and rewrites page 6 with 0x99, committed with the crash point armed at killAt (0: not
// armed). Exits with the number of crash points the commit passed.
inline int CommitTableInChild(const std::string& path, uint64_t killAt, uint32_t table,
                              uint8_t fill) {
    TChildProcess child([&](TChildProcess&) {
        TDb db(path, false);
        db.Disk.DiskStartTransaction(false);
        db.Disk.SetTableLock(table, ZanLockWrite);
        db.Alloc(table, fill);
        std::vector<uint8_t> page(P, 0x99);
        db.Disk.WritePages(6 * P, 1, page.data(), table, 1);
        const uint64_t start = ZanCrashPointCount();
        ZanArmCrashPoint(killAt);
        db.Disk.DiskCommit();
        return static_cast<int>(ZanCrashPointCount() - start);
    });
    return child.Wait();
}

} // namespace zan
