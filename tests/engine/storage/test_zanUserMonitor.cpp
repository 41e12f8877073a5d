#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/Random.h"
#include "host/rtl/StringList.h"
#include "host/win/WinFiles.h"
#include "host/win/WinSys.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint64_t Block = 4096;

// A database file and its users file, removed at both ends of the test.
struct TDbFiles {
    explicit TDbFiles(const std::string& name) : Db(name + ".zan"), Lck(name + ".lck") {
        TWinFile f;
        f.Create(Db.Path, fsDenyNone, true);
    }
    TTempFile Db, Lck;
};

// One connection: its own database handle and its monitor on the users file.
struct TConn {
    explicit TConn(const TDbFiles& files) {
        Db.Open(files.Db.Path, faReadWrite, fsDenyNone);
        Mon = std::make_unique<TDBUserMonitor>(&Db, files.Lck.Path);
    }
    TWinFile Db;
    std::unique_ptr<TDBUserMonitor> Mon;
};

// The text of the block at offset, read straight from the file.
std::string BlockText(const std::string& path, uint64_t offset) {
    TWinFile f;
    f.Open(path, faRead, fsDenyNone);
    char buf[Block + 1] = {};
    f.ReadAt(buf, Block, offset);
    return buf;
}

uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

std::vector<std::string> Users(TDBUserMonitor& m) {
    TStringList list;
    m.GetCurrentUsers(list);
    std::vector<std::string> lines;
    for (int i = 0; i < list.Count(); ++i)
        lines.push_back(list[i]);
    return lines;
}

// The straightforward count: every byte of the range tried and, when had, given back.
int32_t ReferenceCount(TDBUserMonitor& m, uint64_t lockOffset) {
    TWinFile* f = m.GetLockFileHandle();
    int32_t count = 0;
    for (uint64_t k = 0; k < Block; ++k) {
        if (f->TryLock(lockOffset + k, 1))
            f->Unlock(lockOffset + k, 1);
        else
            ++count;
    }
    return count;
}

// Whether the monitor's handle is the file at its path, still linked.
bool RegisteredAtPath(TDBUserMonitor& m, ino_t* inode = nullptr) {
    struct stat open {
    }, named{};
    if (fstat(m.GetLockFileHandle()->GetHandle(), &open) != 0) return false;
    if (inode) *inode = open.st_ino;
    if (stat(m.GetLockFileName().c_str(), &named) != 0) return false;
    return open.st_nlink > 0 && open.st_ino == named.st_ino && open.st_dev == named.st_dev;
}

} // namespace

TEST(UserMonitor, SameIdentityTwiceSharesAnEntryUntilItsLastClose) {
    TDbFiles files("um1");
    TConn a(files), b(files);
    EXPECT_EQ(a.Mon->GetCurrentConnectionCount(), 0); // closed: nothing to count
    a.Mon->Close();                                   // closed: nothing to do

    a.Mon->Open("alice", "host");
    EXPECT_EQ(FileSize(files.Lck.Path), 2 * Block);
    EXPECT_EQ(BlockText(files.Lck.Path, 0), "");
    EXPECT_EQ(BlockText(files.Lck.Path, Block), "host,alice");
    EXPECT_EQ(a.Mon->GetConnectionLockOffset(), 0x400000u + Block);

    b.Mon->Open("ALICE", "Host"); // the same identity, ignoring case
    EXPECT_EQ(b.Mon->GetConnectionLockOffset(), 0x400000u + Block + 1);
    EXPECT_EQ(FileSize(files.Lck.Path), 2 * Block);
    for (TConn* c : {&a, &b}) {
        EXPECT_EQ(c->Mon->GetCurrentUserCount(), 1);
        EXPECT_EQ(c->Mon->GetCurrentConnectionCount(), 2);
        EXPECT_EQ(c->Mon->CountConnectionsForUser(TDBUserMonitor::GetLockOffset(Block)), 2);
        EXPECT_EQ(ReferenceCount(*c->Mon, TDBUserMonitor::GetLockOffset(Block)), 2);
    }
    std::vector<std::string> dump;
    b.Mon->DebugDumpStatus(dump);
    EXPECT_EQ(dump,
              (std::vector<std::string>{"User 1  :  host,alice - connections 2", "Total Users 1"}));

    // Neither the global lock nor the parent lock stays held after an open.
    TWinFile other, otherDb;
    other.Open(files.Lck.Path, faReadWrite, fsDenyNone);
    otherDb.Open(files.Db.Path, faReadWrite, fsDenyNone);
    EXPECT_TRUE(other.TryLock(0, 1));
    EXPECT_TRUE(otherDb.TryLock(8192, 1));
    other.Close();
    otherDb.Close();

    a.Mon->Close();
    EXPECT_FALSE(a.Mon->IsOpen());
    EXPECT_TRUE(FileExists(files.Lck.Path));
    EXPECT_EQ(BlockText(files.Lck.Path, Block), "host,alice");
    EXPECT_EQ(b.Mon->GetCurrentConnectionCount(), 1);
    b.Mon->Close();
    EXPECT_FALSE(FileExists(files.Lck.Path));

    // The next open creates the file again with block 0 and one entry.
    b.Mon->Open("bob", "host");
    EXPECT_EQ(FileSize(files.Lck.Path), 2 * Block);
    EXPECT_EQ(BlockText(files.Lck.Path, Block), "host,bob");
    EXPECT_EQ(b.Mon->GetConnectionLockOffset(), 0x400000u + Block);
    b.Mon.reset(); // the destructor closes
    EXPECT_FALSE(FileExists(files.Lck.Path));
}

TEST(UserMonitor, IdentityIsQuotedCommaText) {
    TDbFiles files("um2");
    TConn a(files), b(files);
    a.Mon->Open("John Smith", "my,pc");
    EXPECT_EQ(a.Mon->GetIdentity(), "\"my,pc\",\"John Smith\"");
    b.Mon->Open("o\"neil", "pc");
    EXPECT_EQ(b.Mon->GetIdentity(), "pc,\"o\"\"neil\"");
    EXPECT_EQ(Users(*a.Mon),
              (std::vector<std::string>{"\"my,pc\",\"John Smith\"", "pc,\"o\"\"neil\""}));
    // Non-ASCII letters compare ignoring case too.
    TConn c(files);
    c.Mon->Open("JOSÉ", "PC");
    TConn d(files);
    d.Mon->Open("josé", "pc");
    EXPECT_EQ(d.Mon->GetConnectionLockOffset(), 0x400000u + 3 * Block + 1);
    EXPECT_EQ(a.Mon->GetCurrentUserCount(), 3);
}

TEST(UserMonitor, FreeMiddleBlockListsBlankAndIsReused) {
    TDbFiles files("um3");
    TConn a(files), b(files), c(files), d(files);
    a.Mon->Open("alice", "host");
    b.Mon->Open("bob", "host");
    c.Mon->Open("carol", "host");
    b.Mon->Close();
    EXPECT_EQ(Users(*a.Mon), (std::vector<std::string>{"host,alice", "", "host,carol"}));
    EXPECT_EQ(a.Mon->GetCurrentUserCount(), 2);
    std::vector<std::string> dump;
    a.Mon->DebugDumpStatus(dump);
    EXPECT_EQ(dump,
              (std::vector<std::string>{"User 1  :  host,alice - connections 1",
                                        "User 2  :  host,carol - connections 1", "Total Users 2"}));
    d.Mon->Open("dave", "host");
    EXPECT_EQ(Users(*a.Mon), (std::vector<std::string>{"host,alice", "host,dave", "host,carol"}));
    EXPECT_EQ(d.Mon->GetConnectionLockOffset(), 0x400000u + 2 * Block);
    EXPECT_EQ(FileSize(files.Lck.Path), 4 * Block);
}

TEST(UserMonitor, KilledConnectionLeavesAnEntryTheNextCloseSweeps) {
    TDbFiles files("um4");
    TChildProcess child([&](TChildProcess& self) {
        TConn k(files);
        k.Mon->Open("bob", "host");
        self.Send('o');
        self.Receive(60000);
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'o');
    TConn a(files), c(files);
    a.Mon->Open("alice", "host");
    c.Mon->Open("carol", "host");
    EXPECT_EQ(a.Mon->GetCurrentUserCount(), 3);
    child.Kill();
    // The platform freed the byte; the entry stays until a close sweeps it.
    EXPECT_EQ(a.Mon->GetCurrentUserCount(), 2);
    EXPECT_EQ(a.Mon->GetCurrentConnectionCount(), 2);
    EXPECT_EQ(Users(*a.Mon), (std::vector<std::string>{"host,bob", "host,alice", "host,carol"}));
    c.Mon->Close();
    EXPECT_EQ(Users(*a.Mon), (std::vector<std::string>{"", "host,alice", ""}));
    a.Mon->Close();
    EXPECT_FALSE(FileExists(files.Lck.Path));
}

TEST(UserMonitor, CountByLockQueryMatchesTryingEveryByte) {
    TDbFiles files("um5");
    TConn a(files), b(files);
    a.Mon->Open("alice", "host");
    b.Mon->Open("alice", "host");
    const uint64_t range = TDBUserMonitor::GetLockOffset(Block);
    // Other handles hold scattered single bytes, a run, and a lock reaching past the range.
    std::vector<std::unique_ptr<TWinFile>> holders;
    auto hold = [&](uint64_t offset, uint64_t length) {
        holders.push_back(std::make_unique<TWinFile>());
        holders.back()->Open(files.Lck.Path, faReadWrite, fsDenyNone);
        ASSERT_TRUE(holders.back()->TryLock(offset, length));
    };
    for (uint64_t k : {4093u, 17u, 3000u, 5u})
        hold(range + k, 1);
    hold(range + 100, 50);
    hold(range + 4000, 90);      // ends inside the range
    hold(range + Block - 2, 10); // reaches into the next entry's range
    hold(range - 3, 3);          // ends where the range starts
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(a.Mon->CountConnectionsForUser(range), ReferenceCount(*a.Mon, range));
        EXPECT_EQ(b.Mon->CountConnectionsForUser(range), ReferenceCount(*b.Mon, range));
        EXPECT_EQ(a.Mon->CountConnectionsForUser(range + Block),
                  ReferenceCount(*a.Mon, range + Block));
        if (round == 0) holders.erase(holders.begin() + 2, holders.begin() + 5);
    }
    EXPECT_EQ(a.Mon->CountConnectionsForUser(range), 2 + 1 + 1 + 90 + 2);
    // Outside the connection area (the table locks) every byte is tried: the handle's own
    // locks there count as well.
    a.Mon->GetLockFileHandle()->TryLock(0x800000 + 10, 3);
    EXPECT_EQ(a.Mon->CountConnectionsForUser(0x800000), 3);
}

TEST(UserMonitor, OversizedFileIsRefused) {
    TDbFiles files("um6");
    {
        TWinFile f;
        f.Create(files.Lck.Path, fsDenyNone);
        ASSERT_EQ(ftruncate(f.GetHandle(), 0x400000), 0);
    }
    TConn a(files);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { a.Mon->Open("alice", "host"); }, &message), 9486);
    EXPECT_NE(message.find("The lock file has grown too large"), std::string::npos);
    EXPECT_FALSE(a.Mon->IsOpen());
    // Nothing stays locked after the refusal.
    TWinFile other;
    other.Open(files.Lck.Path, faReadWrite, fsDenyNone);
    EXPECT_TRUE(other.TryLock(0, 1));
}

TEST(UserMonitor, TheLastEntryEndsBelowTheTableLocks) {
    TDbFiles files("um7");
    {
        // 1022 entries of ended connections fill the file to one block below the limit.
        TWinFile f;
        f.Create(files.Lck.Path, fsDenyNone);
        std::vector<char> blocks(0x3FF000, 0);
        for (uint64_t off = Block; off < blocks.size(); off += Block)
            blocks[off] = 'x';
        f.WriteAt(blocks.data(), blocks.size(), 0);
    }
    TConn a(files), b(files);
    a.Mon->Open("alice", "host");
    EXPECT_EQ(FileSize(files.Lck.Path), 0x400000u);
    EXPECT_EQ(a.Mon->GetConnectionLockOffset(), 0x7FF000u);
    // Once the file has reached the limit every further open is refused.
    EXPECT_EQ(ErrorCodeOf([&] { b.Mon->Open("bob", "host"); }), 9486);
    a.Mon->Close(); // sweeps everything and deletes the file
    EXPECT_FALSE(FileExists(files.Lck.Path));

    // A file cut short of a block boundary near the limit: the append would reach 0x800000.
    {
        TWinFile f;
        f.Create(files.Lck.Path, fsDenyNone);
        std::vector<char> blocks(0x3FF001, 0);
        for (uint64_t off = Block; off < blocks.size(); off += Block)
            blocks[off] = 'x';
        f.WriteAt(blocks.data(), blocks.size(), 0);
    }
    EXPECT_EQ(ErrorCodeOf([&] { b.Mon->Open("bob", "host"); }), 9486);
    EXPECT_FALSE(b.Mon->IsOpen());
}

TEST(UserMonitor, ShortFileNeverPutsAnEntryOnBlockZero) {
    TDbFiles files("um8");
    {
        TWinFile f; // as left by a creator that has not written its zero block yet
        f.Create(files.Lck.Path, fsDenyNone);
    }
    TConn a(files);
    a.Mon->Open("alice", "host");
    EXPECT_EQ(BlockText(files.Lck.Path, 0), "");
    EXPECT_EQ(BlockText(files.Lck.Path, Block), "host,alice");
    EXPECT_EQ(a.Mon->GetConnectionLockOffset(), 0x400000u + Block);
}

TEST(UserMonitor, HeldGlobalOrParentLockTimesOut) {
    TDbFiles files("um9");
    TConn a(files);
    std::string message;
    {
        // The file is missing and another connection holds the parent lock.
        TWinFile db;
        db.Open(files.Db.Path, faReadWrite, fsDenyNone);
        ASSERT_TRUE(db.TryLock(8192, 1));
        EXPECT_EQ(ErrorCodeOf([&] { a.Mon->Open("alice", "host"); }, &message), 10249);
        EXPECT_NE(message.find("A lock could not be obtained on the lock file"), std::string::npos);
        EXPECT_FALSE(FileExists(files.Lck.Path));
    }
    a.Mon->Open("alice", "host");
    TWinFile holder;
    holder.Open(files.Lck.Path, faReadWrite, fsDenyNone);
    ASSERT_TRUE(holder.TryLock(0, 1));
    TConn b(files);
    EXPECT_EQ(ErrorCodeOf([&] { b.Mon->Open("bob", "host"); }), 10249);
    EXPECT_FALSE(b.Mon->IsOpen());
    // A close that cannot have the global lock still ends closed and frees its byte.
    EXPECT_EQ(ErrorCodeOf([&] { a.Mon->Close(); }), 10249);
    EXPECT_FALSE(a.Mon->IsOpen());
    EXPECT_TRUE(holder.TryLock(0x400000 + Block, Block));
    holder.Close();
    b.Mon->Open("bob", "host");
    b.Mon->Close(); // sweeps alice's entry
    EXPECT_FALSE(FileExists(files.Lck.Path));
}

// An opener whose handle is on a file that the last closer unlinked while the opener waited for
// the global lock starts over on the file now at the path.
TEST(UserMonitor, OpenerOfADeletedFileStartsOver) {
    TDbFiles files("um10");
    auto old = std::make_unique<TWinFile>();
    old->Create(files.Lck.Path, fsDenyNone);
    const char zeros[Block] = {};
    old->WriteAt(zeros, Block, 0);
    ASSERT_TRUE(old->TryLock(0, 1));
    const int oldFd = old->GetHandle();
    TChildProcess child([&](TChildProcess& self) {
        close(oldFd); // the parent's handle, with its lock on byte 0, is not the child's
        TConn k(files);
        k.Mon->Open("kid", "host");
        self.Send(RegisteredAtPath(*k.Mon) ? 'y' : 'n');
        self.Receive(60000);
        return 0;
    });
    // Wait until the child has the old file open: its shared access byte shows.
    bool seen = false;
    for (int i = 0; i < 2000 && !seen; ++i) {
        struct flock q {};
        q.l_type = F_WRLCK;
        q.l_whence = SEEK_SET;
        q.l_start = static_cast<off_t>(TWinFile::ShareLockBase);
        q.l_len = 1;
        ASSERT_EQ(fcntl(old->GetHandle(), F_OFD_GETLK, &q), 0);
        seen = q.l_type != F_UNLCK;
        if (!seen) Sleep(5);
    }
    ASSERT_TRUE(seen);
    // What a last closer does: unlink under the global lock; then someone creates a new file.
    ASSERT_EQ(unlink(files.Lck.Path.c_str()), 0);
    {
        TWinFile fresh;
        fresh.Create(files.Lck.Path, fsDenyNone);
        fresh.WriteAt(zeros, Block, 0);
    }
    old.reset();
    EXPECT_EQ(child.Receive(), 'y');
    EXPECT_EQ(BlockText(files.Lck.Path, Block), "host,kid");
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
}

// Processes opening and closing at random: every participant is registered in the file at the
// path, and the file is gone once all have closed.
TEST(UserMonitor, RaceSoakKeepsEveryoneInTheFileAtThePath) {
    TDbFiles files("um11");
    TTempFile log("um11.log");
    constexpr int Processes = 4, Cycles = 200;
    std::vector<std::unique_ptr<TChildProcess>> kids;
    for (int p = 0; p < Processes; ++p) {
        kids.push_back(std::make_unique<TChildProcess>([&, p](TChildProcess& self) {
            int out = open(log.Path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (out < 0) return 3;
            Randomize(); // forked children would otherwise draw the same lengths
            TConn c(files);
            if (self.Receive() != 'g') return 2;
            int result = 0;
            for (int i = 0; i < Cycles; ++i) {
                // Two of the processes share an identity.
                c.Mon->Open(p < 2 ? "same" : "user" + std::to_string(p), "host");
                ino_t inode = 0;
                bool first = RegisteredAtPath(*c.Mon, &inode);
                for (int spin = Random(200); spin > 0; --spin)
                    c.Mon->GetCurrentConnectionCount();
                bool last = RegisteredAtPath(*c.Mon);
                std::string line = std::to_string(getpid()) + " " + std::to_string(inode) + " " +
                                   (first && last ? "ok" : "lost") + "\n";
                if (write(out, line.data(), line.size()) != ssize_t(line.size())) result = 4;
                if (!(first && last)) result = 1;
                c.Mon->Close();
            }
            close(out);
            return result;
        }));
    }
    for (auto& kid : kids)
        kid->Send('g');
    for (auto& kid : kids)
        EXPECT_EQ(kid->Wait(), 0);
    EXPECT_FALSE(FileExists(files.Lck.Path));
    std::ifstream in(log.Path);
    std::string pid, inode, state;
    int records = 0;
    while (in >> pid >> inode >> state) {
        ++records;
        EXPECT_EQ(state, "ok") << "process " << pid << " in inode " << inode;
    }
    EXPECT_EQ(records, Processes * Cycles);
}

// Something other than a regular file at the users-file path (a link to another file or to the
// database itself, a dangling link, a FIFO, a directory) is refused as a damaged users file; the
// link's target keeps its bytes and the opener never blocks.
TEST(UserMonitor, RefusesAUsersPathThatIsNotARegularFile) {
    TDbFiles files("um_not_regular");
    TTempFile other("um_not_regular_other.txt");
    const std::string text = "not a users file";
    WriteFileBytes(other.Path, std::vector<uint8_t>(text.begin(), text.end()));
    WriteFileBytes(files.Db.Path, std::vector<uint8_t>(100, 7));
    struct TCase {
        const char* Name;
        std::function<void(const std::string&)> Make;
    };
    auto linkTo = [](const std::string& target) {
        return [target](const std::string& p) { ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0); };
    };
    const TCase cases[] = {
        {"link to another file", linkTo(other.Path)},
        {"link to the database", linkTo(files.Db.Path)},
        {"dangling link", linkTo(other.Path + ".none")},
        {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
        {"directory", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
    };
    for (const TCase& c : cases) {
        unlink(files.Lck.Path.c_str());
        rmdir(files.Lck.Path.c_str());
        c.Make(files.Lck.Path);
        TConn conn(files);
        std::string message;
        // A damaged users file (8966), not an internal error.
        EXPECT_EQ(ErrorCodeOf([&] { conn.Mon->Open("alice", "host"); }, &message), 8966)
            << c.Name;
        EXPECT_NE(message.find("could not be opened"), std::string::npos) << c.Name << message;
        EXPECT_EQ(ReadFileBytes(other.Path).size(), text.size()) << c.Name;
        EXPECT_EQ(ReadFileBytes(files.Db.Path), std::vector<uint8_t>(100, 7)) << c.Name;
    }
    unlink(files.Lck.Path.c_str());
    rmdir(files.Lck.Path.c_str());
    unlink((other.Path + ".none").c_str());
}
