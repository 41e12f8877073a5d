// Shells of several users on one database in a shared sticky folder: the file's owner, a member
// of its group and a privileged process (root). Whatever another user's shell leaves beside the
// file, also when it is killed at any write of a commit (journal, users file) or after a schema
// change (the backup copy), the owner's next shell must open, read and write the file. Runs only
// as root (it needs other users); skipped otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanJournal.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"
#include "tools/zansql/zanSqlShell.h"

using namespace zan;

namespace {

// The ids a child process takes before it runs a shell: the owner (nobody) and a member of the
// owner's group with a primary group of its own. Root (uid 0) stays root.
struct TUser {
    uid_t Uid;
    gid_t Gid;
    gid_t Extra; // a supplementary group, or the primary one again
};
constexpr TUser C_OWNER{65534, 65534, 65534};
constexpr TUser C_MEMBER{65533, 65533, 65534};
constexpr TUser C_ROOT{0, 0, 0};

bool BecomeUser(const TUser& user) {
    if (user.Uid == 0) return true;
    const gid_t groups[1] = {user.Extra};
    return setgroups(1, groups) == 0 && setresgid(user.Gid, user.Gid, user.Gid) == 0 &&
           setresuid(user.Uid, user.Uid, user.Uid) == 0;
}

struct TUserRun {
    int Code = 0;
    std::string Out, Err;
};

TUserRun RunShell(const std::string& database, const std::string& script) {
    std::istringstream in;
    std::ostringstream out, err;
    TUserRun run;
    run.Code = RunZanSql(std::vector<std::string>{"--tsv", "-c", script, database}, in, out, err);
    run.Out = out.str();
    run.Err = err.str();
    return run;
}

// Runs the script in a child shell of the user; its output and errors come back through the
// pipe, split by a byte of 1.
TUserRun UserShell(const TUser& user, const std::string& database, const std::string& script) {
    TChildProcess child([&](TChildProcess& self) {
        if (!BecomeUser(user)) return 5;
        const TUserRun run = RunShell(database, script);
        for (char c : run.Out + '\x01' + run.Err)
            self.Send(c);
        return run.Code;
    });
    std::string text;
    for (char c; (c = child.Receive(20000)) != 0;)
        text += c;
    TUserRun run;
    const size_t split = text.find('\x01');
    run.Out = text.substr(0, split);
    if (split != std::string::npos) run.Err = text.substr(split + 1);
    run.Code = child.Wait();
    return run;
}

// Runs the script in a child shell of the user that kills itself at its n-th crash point; true
// when it died there.
bool ShellKilledAt(const TUser& user, const std::string& database, const std::string& script,
                   uint64_t n) {
    TChildProcess child([&](TChildProcess&) {
        if (!BecomeUser(user)) return 5;
        std::istringstream in;
        std::ostringstream out, err;
        ZanArmCrashPoint(n);
        RunZanSql(std::vector<std::string>{"-c", script, database}, in, out, err);
        return 0;
    });
    return child.Wait() == -1;
}

// A folder anyone may create files in, where only a file's owner may remove it.
struct TStickyFolder {
    TStickyFolder() : Path(TestTempPath("sticky_users")) {
        std::filesystem::remove_all(Path);
        std::filesystem::create_directories(Path);
        chmod(Path.c_str(), 01777);
    }
    ~TStickyFolder() {
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
    std::vector<std::string> FilesBeside(const std::string& name) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Path)) {
            const std::string n = entry.path().filename().string();
            if (n != name) names.push_back(n);
        }
        return names;
    }
    std::string Path;
};

uid_t OwnerOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

gid_t GroupOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_gid : gid_t(-1);
}

// The owner's database, written by another user's shell killed at each crash point of a commit
// in turn: the journal and users file it leaves must let the owner restore, read and write the
// file next (and remove them, when root left them).
void KilledCommitsLeaveTheOwnerAWorkingFile(const TStickyFolder& folder, const TUser& writer) {
    const std::string db = folder.Path + "/owned.zan";
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path))
        std::filesystem::remove(entry.path());
    const TUserRun created = UserShell(
        C_OWNER, db, "CREATE TABLE t (id INTEGER NOT NULL, s VARCHAR(40), PRIMARY KEY (id));\n"
                     "INSERT INTO t VALUES (1, 'one');\n");
    ASSERT_EQ(created.Code, 0) << created.Err;
    // The group may write it.
    ASSERT_EQ(chmod(db.c_str(), 0664), 0);
    const std::vector<uint8_t> base = ReadFileBytes(db);
    int killedInCommit = 0;
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE("writer " + std::to_string(writer.Uid) + ", crash point " +
                     std::to_string(n));
        // The file keeps its owner: its bytes are written back in place.
        for (const std::string& name : folder.FilesBeside("owned.zan"))
            std::filesystem::remove(folder.Path + "/" + name);
        WriteFileBytes(db, base);
        ASSERT_EQ(OwnerOf(db), C_OWNER.Uid);
        const bool killed = ShellKilledAt(writer, db, "INSERT INTO t VALUES (2, 'two');", n);
        if (killed && std::filesystem::exists(JournalFileNameFor(db))) ++killedInCommit;
        for (const std::string& name : folder.FilesBeside("owned.zan"))
            EXPECT_EQ(GroupOf(folder.Path + "/" + name), C_OWNER.Gid) << name;
        const TUserRun after = UserShell(
            C_OWNER, db, "INSERT INTO t VALUES (3, 'three');\nSELECT id FROM t ORDER BY id;\n");
        EXPECT_EQ(after.Code, 0) << after.Err;
        if (killed)
            EXPECT_TRUE(after.Out == "id\n1\n3\n" || after.Out == "id\n1\n2\n3\n") << after.Out;
        else
            EXPECT_EQ(after.Out, "id\n1\n2\n3\n");
        // The owner removes what root left; a sticky folder keeps the member's files, which
        // the member's next shell uses again.
        if (writer.Uid == 0) {
            EXPECT_EQ(folder.FilesBeside("owned.zan"), std::vector<std::string>{});
        } else {
            const TUserRun again = UserShell(writer, db, "SELECT COUNT(*) FROM t;\n");
            EXPECT_EQ(again.Code, 0) << again.Err;
            const auto rows = std::count(after.Out.begin(), after.Out.end(), '\n') - 1;
            EXPECT_EQ(again.Out, "COUNT(*)\n" + std::to_string(rows) + "\n");
        }
        if (!killed) break;
        ASSERT_LT(n, 200u);
    }
    EXPECT_GT(killedInCommit, 0);
}

} // namespace

// Root, and a member of the owner's group, write the owner's database and are killed at each
// crash point of a commit; the owner then works on. A schema change by root leaves a backup copy
// the owner's next schema change replaces.
TEST(SqlShellUsers, OtherUsersLeaveNothingTheOwnerCannotUse) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    TStickyFolder folder;
    {
        SCOPED_TRACE("root");
        KilledCommitsLeaveTheOwnerAWorkingFile(folder, C_ROOT);
    }
    {
        SCOPED_TRACE("group member");
        KilledCommitsLeaveTheOwnerAWorkingFile(folder, C_MEMBER);
    }
    const std::string db = folder.Path + "/owned.zan";
    const TUserRun indexed = RunShell(db, "CREATE INDEX ts ON t (s);\n");
    ASSERT_EQ(indexed.Code, 0) << indexed.Err;
    const std::string backup = folder.Path + "/owned.zdx";
    ASSERT_TRUE(std::filesystem::exists(backup));
    EXPECT_EQ(OwnerOf(backup), C_OWNER.Uid);
    const TUserRun altered =
        UserShell(C_OWNER, db, "ALTER TABLE t ADD c INTEGER;\nSELECT id, c FROM t WHERE id = 1;\n");
    EXPECT_EQ(altered.Code, 0) << altered.Err;
    EXPECT_EQ(altered.Out, "id\tc\n1\t\\N\n");
}

// Schema changes of users taking turns on one database in the sticky folder: each change first
// copies the file to its backup, which the user who made the last one owns. A user who may write
// that copy but not replace it (another user's file in a sticky folder) must still change the
// schema: root's database shared with everyone (root's backup, then the owner's change), and the
// owner's database shared with its group (the member's backup, then the owner's change).
TEST(SqlShellUsers, SchemaChangesTakeTurnsOverEachOthersBackup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    TStickyFolder folder;
    const std::string db = folder.Path + "/turns.zan";
    const std::string backup = folder.Path + "/turns.zdx";
    ASSERT_EQ(RunShell(db, "CREATE TABLE t (id INTEGER NOT NULL, s VARCHAR(40), PRIMARY KEY (id));\n"
                           "INSERT INTO t VALUES (1, 'one');\n")
                  .Code,
              0);
    ASSERT_EQ(chmod(db.c_str(), 0666), 0);
    ASSERT_EQ(RunShell(db, "CREATE INDEX ts ON t (s);\n").Code, 0);
    ASSERT_EQ(OwnerOf(backup), 0u);
    const TUserRun altered =
        UserShell(C_OWNER, db, "ALTER TABLE t ADD c INTEGER;\nSELECT id, s, c FROM t;\n");
    EXPECT_EQ(altered.Code, 0) << altered.Err;
    EXPECT_EQ(altered.Out, "id\ts\tc\n1\tone\t\\N\n");
    EXPECT_EQ(OwnerOf(backup), 0u); // rewritten in place, not replaced
    const TUserRun dropped = UserShell(C_OWNER, db, "DROP INDEX t ts;\nSELECT COUNT(*) FROM t;\n");
    EXPECT_EQ(dropped.Code, 0) << dropped.Err;
    EXPECT_EQ(dropped.Out, "COUNT(*)\n1\n");

    for (const auto& entry : std::filesystem::directory_iterator(folder.Path))
        std::filesystem::remove(entry.path());
    const std::string owned = folder.Path + "/owned.zan";
    ASSERT_EQ(UserShell(C_OWNER, owned,
                        "CREATE TABLE t (id INTEGER NOT NULL, s VARCHAR(40), PRIMARY KEY (id));\n"
                        "INSERT INTO t VALUES (1, 'one');\n")
                  .Code,
              0);
    ASSERT_EQ(chmod(owned.c_str(), 0664), 0);
    const TUserRun member = UserShell(C_MEMBER, owned, "CREATE INDEX ts ON t (s);\n");
    ASSERT_EQ(member.Code, 0) << member.Err;
    ASSERT_EQ(OwnerOf(folder.Path + "/owned.zdx"), C_MEMBER.Uid);
    const TUserRun owner =
        UserShell(C_OWNER, owned, "ALTER TABLE t ADD c INTEGER;\nSELECT id, s, c FROM t;\n");
    EXPECT_EQ(owner.Code, 0) << owner.Err;
    EXPECT_EQ(owner.Out, "id\ts\tc\n1\tone\t\\N\n");
    // A backup the user may not even write still refuses the change clearly.
    ASSERT_EQ(chmod((folder.Path + "/owned.zdx").c_str(), 0644), 0);
    const TUserRun refused = UserShell(C_OWNER, owned, "ALTER TABLE t DROP c;\n");
    EXPECT_EQ(refused.Code, 1);
    EXPECT_NE(refused.Err.find("error 9344: "), std::string::npos) << refused.Err;
    const TUserRun kept = UserShell(C_OWNER, owned, "SELECT id, s, c FROM t;\n");
    EXPECT_EQ(kept.Out, "id\ts\tc\n1\tone\t\\N\n") << kept.Err;
}

// Root's database made with a narrow mode, opened to everyone while root keeps a connection: the
// users file made at root's open keeps the narrow mode. Another user's shell cannot open it and
// says so (8449, the users file named), not as an internal error; once root's connection
// closes, the users file is made again with the file's mode and the other user works.
TEST(SqlShellUsers, UsersFileOfANarrowerModeRefusesClearly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    TStickyFolder folder;
    const std::string db = folder.Path + "/narrow.zan";
    ASSERT_EQ(RunShell(db, "CREATE TABLE t (id INTEGER);\nINSERT INTO t VALUES (1);\n").Code, 0);
    ASSERT_EQ(chmod(db.c_str(), 0644), 0);
    {
        TZanDataBase held;
        held.SetDataBaseName(db);
        held.Open();
        ASSERT_EQ(chmod(db.c_str(), 0666), 0);
        const TUserRun refused = UserShell(C_OWNER, db, "SELECT COUNT(*) FROM t;\n");
        EXPECT_EQ(refused.Code, 1);
        EXPECT_NE(refused.Err.find("error 8449: "), std::string::npos) << refused.Err;
        EXPECT_NE(refused.Err.find("narrow.lck"), std::string::npos) << refused.Err;
        held.Close();
    }
    const TUserRun worked = UserShell(C_OWNER, db, "INSERT INTO t VALUES (2);\nSELECT COUNT(*) FROM t;\n");
    EXPECT_EQ(worked.Code, 0) << worked.Err;
    EXPECT_EQ(worked.Out, "COUNT(*)\n2\n");
}
