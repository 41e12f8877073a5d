// The shell with processes that die or run at once: a shell killed at each write of a script
// or of the creation of its file, another killed while it restores the journal left, several
// shells creating one file at once, and a file read-only on disk. After any kill the next shell
// opens the file and sees it as after some prefix of the script's statements (each its own
// commit), never an error that stays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/storage/zanDisk.h"
#include "engine/storage/zanJournal.h"
#include "engine/storage/zanTemporary.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"
#include "tools/zansql/zanSqlShell.h"

using namespace zan;

namespace {

struct TShellRun {
    int Code = 0;
    std::string Out, Err;
};

TShellRun Shell(const std::string& database, const std::string& script) {
    std::istringstream in;
    std::ostringstream out, err;
    TShellRun run;
    run.Code = RunZanSql(std::vector<std::string>{"--tsv", "-c", script, database}, in, out, err);
    run.Out = out.str();
    run.Err = err.str();
    return run;
}

// Standard output of a child shell, sent to the parent byte by byte as it is written.
class TPipeOut : public std::streambuf {
public:
    explicit TPipeOut(TChildProcess& self) : FSelf(self) {}

protected:
    int overflow(int c) override {
        if (c != traits_type::eof()) FSelf.Send(static_cast<char>(c));
        return traits_type::not_eof(c);
    }

private:
    TChildProcess& FSelf;
};

struct TKilledShell {
    bool Killed = false; // died at the crash point; false when the script ended first
    std::string Out;     // what it wrote to standard output until then
};

// Runs the script in a child shell that kills itself at its n-th crash point (a write, sync,
// truncate or unlink of the file or its journal).
TKilledShell ShellKilledAt(const std::string& database, const std::string& script, uint64_t n) {
    TChildProcess child([&](TChildProcess& self) {
        TPipeOut pipe(self);
        std::ostream out(&pipe);
        std::ostringstream err;
        std::istringstream in;
        ZanArmCrashPoint(n);
        RunZanSql(std::vector<std::string>{"-c", script, database}, in, out, err);
        return 0;
    });
    TKilledShell result;
    result.Killed = child.Wait() == -1;
    for (char c; (c = child.Receive(2000)) != 0;)
        result.Out += c;
    return result;
}

// The distance between the crash points a test tries: every one with ZAN_CRASH_ALL=1.
uint64_t CrashPointStep(uint64_t usual) {
    const char* all = std::getenv("ZAN_CRASH_ALL");
    return all != nullptr && std::string(all) == "1" ? 1 : usual;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Removes the file, its journal and users file, and what killed creators left beside it.
void RemoveDatabaseFiles(const std::string& path) {
    const std::filesystem::path p(path);
    const std::string stem = p.filename().string();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(p.parent_path(), ec))
        if (entry.path().filename().string().rfind(stem, 0) == 0)
            std::filesystem::remove(entry.path(), ec);
    std::filesystem::remove(UsersFileNameFor(path), ec);
}

// The files beside path whose names start with its name, the path itself left out.
std::vector<std::string> FilesBeside(const std::string& path) {
    const std::filesystem::path p(path);
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(p.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(p.filename().string(), 0) == 0 && name != p.filename().string())
            names.push_back(name);
    }
    return names;
}

// The rows of each table, those of t also through each of its indexes.
const char* const C_DUMP = "SELECT * FROM t ORDER BY id;\n"
                           "SELECT id, s FROM t WHERE s >= '' ORDER BY s, id;\n"
                           "SELECT id FROM t WHERE v >= 0 ORDER BY v, id;\n"
                           "SELECT * FROM u ORDER BY id;\nSELECT * FROM x ORDER BY id;\n";

std::string Dump(const std::string& database) {
    const TShellRun run = Shell(database, C_DUMP);
    return run.Out + "--\n" + run.Err;
}

// The crash points a shell passes running the script on the file (run in a child, the file
// changed as the script changes it).
uint64_t CrashPointsOf(const std::string& database, const std::string& script) {
    TChildProcess child([&](TChildProcess& self) {
        std::istringstream in;
        std::ostringstream out, err;
        const uint64_t start = ZanCrashPointCount();
        RunZanSql(std::vector<std::string>{"-c", script, database}, in, out, err);
        for (char c : std::to_string(ZanCrashPointCount() - start))
            self.Send(c);
        return 0;
    });
    std::string text;
    for (char c; (c = child.Receive(20000)) != 0;)
        text += c;
    EXPECT_EQ(child.Wait(), 0);
    return text.empty() ? 0 : std::stoull(text);
}

// Runs each statement alone on a table with rows, long strings, memos and two indexes, killed at
// three crash points spread over its run (ZAN_CRASH_ALL=1: at every one). The next shell must see
// the schema and rows before it or after it, whole, and change the file again.
void KillEachStatement(const std::string& name, const std::vector<std::string>& statements) {
    TTempFile file(name);
    RemoveDatabaseFiles(file.Path);
    std::string base = "CREATE TABLE t (id INTEGER NOT NULL, s VARCHAR(120), v INTEGER, f FLOAT, "
                       "m BLOB(1, 1), PRIMARY KEY (id));\nCREATE INDEX ts ON t (s);\n"
                       "CREATE INDEX tv ON t (v);\nCREATE TABLE u (id INTEGER, a VARCHAR(10));\n"
                       "INSERT INTO u VALUES (1, 'kept');\n"
                       "INSERT INTO t VALUES (1, '" +
                       std::string(90, 's') + "', 1, 0.5, '" + std::string(300, 'm') + "');\n";
    for (int k = 1; k < 32; k *= 2)
        base +=
            "INSERT INTO t SELECT id + " + std::to_string(k) + ", s, v * 3 + 1, f + 1, m FROM t;\n";
    ASSERT_EQ(Shell(file.Path, base).Code, 0);
    const std::vector<uint8_t> baseBytes = ReadFileBytes(file.Path);
    // Rows through the primary index and each other index, the columns, and which indexes
    // exist (dropped on a copy: a new index changes nothing read).
    const std::string dump = "SELECT * FROM t ORDER BY id;\n"
                             "SELECT id, s FROM t WHERE s >= '' ORDER BY s, id;\n"
                             "SELECT id, v FROM t WHERE v >= 0 ORDER BY v, id;\n"
                             "SELECT * FROM u;\nSELECT * FROM n;\n";
    const std::string scratch = file.Path + ".copy.zan";
    auto state = [&](bool indexes) {
        const TShellRun run = Shell(file.Path, dump);
        std::string text = run.Out + "--\n" + run.Err;
        if (indexes) {
            RemoveDatabaseFiles(scratch);
            WriteFileBytes(scratch, ReadFileBytes(file.Path));
            text += Shell(scratch, "DROP INDEX t ts;\nDROP INDEX t tv;\nDROP INDEX t tf;\n"
                                   "DROP INDEX t PRIMARY;\n")
                        .Err;
            RemoveDatabaseFiles(scratch);
        }
        return text;
    };
    for (const std::string& statement : statements) {
        SCOPED_TRACE(statement);
        const bool indexes = statement.find("INDEX") != std::string::npos;
        RemoveDatabaseFiles(file.Path);
        WriteFileBytes(file.Path, baseBytes);
        const std::string before = state(indexes);
        const uint64_t points = CrashPointsOf(file.Path, statement);
        ASSERT_GT(points, 0u);
        const std::string after = state(indexes);
        ASSERT_TRUE(after != before) << "the statement changed nothing";
        const uint64_t step = CrashPointStep(std::max<uint64_t>(1, points / 3));
        int old = 0, changed = 0;
        for (uint64_t n = 1 + (points / 3) / 2 % step; n <= points; n += step) {
            SCOPED_TRACE("crash point " + std::to_string(n) + " of " + std::to_string(points));
            RemoveDatabaseFiles(file.Path);
            WriteFileBytes(file.Path, baseBytes);
            ASSERT_TRUE(ShellKilledAt(file.Path, statement, n).Killed);
            const std::string got = state(indexes);
            if (got == before)
                ++old;
            else if (got == after)
                ++changed;
            else
                ADD_FAILURE() << "neither before nor after:\n" << got.substr(0, 2000);
            const TShellRun next = Shell(file.Path, "INSERT INTO u VALUES (2, 'next');\n");
            EXPECT_EQ(next.Code, 0) << next.Err;
        }
        EXPECT_GT(old + changed, 0);
    }
    RemoveDatabaseFiles(file.Path);
}


// Leaves files as two processes would: leave() runs in a child that stays alive until it is sent
// 'q' (Live), and in one that has already ended (GonePid). GonePid is 0 when either failed.
struct TLeavers {
    std::unique_ptr<TChildProcess> Live;
    pid_t GonePid = 0;
};

// Whether a process id is in use. On a busy machine a gone process's id can be taken again at
// once; its files then have a live owner and are rightly kept, so that case cannot be shown.
bool IdInUse(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

TLeavers LeaveFromLiveAndGone(const std::function<bool()>& leave) {
    TLeavers r;
    r.Live = std::make_unique<TChildProcess>([&](TChildProcess& self) {
        self.Send(leave() ? 'w' : 'f');
        return self.Receive() == 'q' ? 0 : 1;
    });
    if (r.Live->Receive() != 'w') return r;
    TChildProcess gone([&](TChildProcess&) { return leave() ? 0 : 1; });
    const pid_t pid = gone.Pid(); // Wait forgets it
    if (gone.Wait() == 0) r.GonePid = pid;
    return r;
}
} // namespace

// A script of single-statement commits (rows with long strings and memos, updates that move
// index entries, deletes, a table created, indexed and changed) dies at every fourth crash point
// in turn (ZAN_CRASH_ALL=1: at every one). The file is then opened by a shell that is itself
// killed at a crash point of its journal restore (every second time), and read by a third: it
// must hold the rows after some prefix of the statements, at least those the killed shell
// reported done, and read the same again.
TEST(SqlShellProcesses, KilledAtEveryWriteOfAScript) {
    TTempFile file("killed_script.zan");
    TTempFile model("killed_script_model.zan");
    const std::string base = "CREATE TABLE t (id INTEGER NOT NULL, s VARCHAR(150), v INTEGER, "
                             "PRIMARY KEY (id));\nCREATE INDEX ts ON t (s);\n"
                             "CREATE INDEX tv ON t (v);\n"
                             "CREATE TABLE u (id INTEGER, m BLOB(1, 1));\n"
                             "INSERT INTO t VALUES (1, 'one', 1);\n";
    const std::vector<std::string> statements = {
        "INSERT INTO t VALUES (2, '" + std::string(140, 'b') + "', 2);",
        "INSERT INTO u VALUES (1, '" + std::string(6000, 'm') + "');",
        "INSERT INTO t SELECT id + 10, s, v + 1 FROM t;",
        "UPDATE t SET s = 'moved " + std::string(100, 'w') + "', v = v + 5 WHERE v < 3;",
        "DELETE FROM t WHERE v > 5;",
        "CREATE TABLE x (id INTEGER NOT NULL, a VARCHAR(150), PRIMARY KEY (id));",
        "INSERT INTO x SELECT id, s FROM t;",
        "CREATE INDEX xa ON x (a);",
        "ALTER TABLE x ADD b INTEGER;",
    };
    std::string script;
    for (const std::string& s : statements)
        script += s + "\n";

    RemoveDatabaseFiles(model.Path);
    ASSERT_EQ(Shell(model.Path, base).Code, 0);
    const std::vector<uint8_t> baseBytes = ReadFileBytes(model.Path);
    std::vector<std::string> states{Dump(model.Path)};
    for (const std::string& s : statements) {
        ASSERT_EQ(Shell(model.Path, s).Code, 0) << s;
        states.push_back(Dump(model.Path));
    }
    RemoveDatabaseFiles(model.Path);

    int restoresKilled = 0;
    const uint64_t step = CrashPointStep(4);
    for (uint64_t n = 1;; n += step) {
        SCOPED_TRACE("crash point " + std::to_string(n));
        RemoveDatabaseFiles(file.Path);
        WriteFileBytes(file.Path, baseBytes);
        const TKilledShell run = ShellKilledAt(file.Path, script, n);
        const size_t done = Count(run.Out, " rows affected");
        if (!run.Killed) {
            EXPECT_EQ(done, statements.size());
            EXPECT_EQ(Dump(file.Path), states.back());
            break;
        }
        ASSERT_LT(n, 5000u);
        const bool killRestore = (n / step) % 2 == 1;
        if (killRestore && ShellKilledAt(file.Path, "SELECT COUNT(*) FROM t;", 1 + n % 7).Killed)
            ++restoresKilled;
        const std::string got = Dump(file.Path);
        // The last prefix that reads so (a new index changes nothing read).
        size_t prefix = states.size();
        while (prefix > 0 && states[prefix - 1] != got)
            --prefix;
        ASSERT_GT(prefix, 0u) << "no prefix of the script left this file:\n" << got;
        EXPECT_GE(prefix - 1, done) << "a statement the shell reported done was lost";
        if (killRestore) {
            EXPECT_EQ(Dump(file.Path), got);
        }
    }
    EXPECT_GT(restoresKilled, 0);
}

// Index statements killed: an index made on a full table, an index and the primary index
// dropped.
TEST(SqlShellProcesses, IndexChangesKilled) {
    KillEachStatement("killed_index.zan", {
                                              "CREATE UNIQUE INDEX tf ON t (f, id);",
                                              "DROP INDEX t ts;",
                                              "DROP INDEX t PRIMARY;",
                                          });
}

// Column changes killed: a column dropped, a column retyped with another added.
TEST(SqlShellProcesses, ColumnChangesKilled) {
    KillEachStatement("killed_columns.zan",
                      {
                          "ALTER TABLE t DROP m;",
                          "ALTER TABLE t ALTER f TYPE INTEGER, ADD w VARCHAR(20);",
                      });
}

// The table dropped, a table created, and statements that change every row and every index
// entry, killed.
TEST(SqlShellProcesses, TableDropsAndWholeTableStatementsKilled) {
    KillEachStatement("killed_whole.zan",
                      {
                          "DROP TABLE t;",
                          "CREATE TABLE n (id INTEGER NOT NULL, q VARCHAR(10), PRIMARY KEY (id));",
                          "UPDATE t SET s = s || 'updated', v = v + 1, m = s;",
                          "DELETE FROM t;",
                      });
}

// A shell killed at every second crash point of the creation of its new file (ZAN_CRASH_ALL=1:
// at every one): the next shell opens the path (or creates it when nothing is there) and works;
// no half-made file ever appears there.
TEST(SqlShellProcesses, KilledWhileCreatingItsFile) {
    TTempFile file("killed_create.zan");
    for (uint64_t n = 1;; n += CrashPointStep(2)) {
        SCOPED_TRACE("crash point " + std::to_string(n));
        RemoveDatabaseFiles(file.Path);
        const bool killed = ShellKilledAt(file.Path, "CREATE TABLE a (x INTEGER);", n).Killed;
        const TShellRun run = Shell(file.Path, "CREATE TABLE b (x INTEGER);\n"
                                               "INSERT INTO b VALUES (7);\nSELECT x FROM b;\n");
        EXPECT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(run.Out, "x\n7\n");
        // The killed creator's temporary file, its journal and users file went with the next
        // shell's create.
        EXPECT_EQ(FilesBeside(file.Path), std::vector<std::string>{});
        if (!killed) break;
        ASSERT_LT(n, 1000u);
    }
    RemoveDatabaseFiles(file.Path);
}

// Temporary files beside a database (a creator's or copier's file and journal, named by its
// process id) are removed by the next open once their process is gone, and kept while it lives.
TEST(SqlShellProcesses, TemporariesOfGoneProcessesAreRemovedAtOpen) {
    TTempFile file("temp_owner.zan");
    RemoveDatabaseFiles(file.Path);
    ASSERT_EQ(Shell(file.Path, "CREATE TABLE a (x INTEGER);").Code, 0);
    auto leave = [&] {
        const std::string temp = TemporaryFileNameFor(file.Path);
        for (const std::string& name : {temp, JournalFileNameFor(temp)}) {
            FILE* f = std::fopen(name.c_str(), "w");
            if (f == nullptr) return false;
            std::fputs("half a file", f);
            std::fclose(f);
        }
        return true;
    };
    TLeavers leavers = LeaveFromLiveAndGone(leave);
    ASSERT_NE(leavers.GonePid, 0);
    TChildProcess& live = *leavers.Live;
    const pid_t gonePid = leavers.GonePid;
    const std::string base = std::filesystem::path(file.Path).filename().string();
    const std::string liveTemp = base + ".tmp" + std::to_string(live.Pid());
    // Names no process id writes stay whatever they hold: a leading zero, and a number that
    // wraps to the gone process's id in 32 bits.
    const std::vector<std::string> userNames{
        base + ".tmp0" + std::to_string(gonePid),
        base + ".tmp" + std::to_string(int64_t(gonePid) + (int64_t(1) << 32))};
    const std::string folder = std::filesystem::path(file.Path).parent_path().string() + "/";
    for (const std::string& name : userNames) {
        FILE* f = std::fopen((folder + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    std::vector<std::string> liveFiles{liveTemp, liveTemp + "-journal"};
    liveFiles.insert(liveFiles.end(), userNames.begin(), userNames.end());
    std::sort(liveFiles.begin(), liveFiles.end());
    auto beside = [&] {
        std::vector<std::string> names = FilesBeside(file.Path);
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ(beside().size(), 6u);
    TShellRun run = Shell(file.Path, "SELECT COUNT(*) AS c FROM a;");
    EXPECT_EQ(run.Out, "c\n0\n") << run.Err;
    if (IdInUse(gonePid)) GTEST_SKIP() << "the gone process's id was taken again";
    EXPECT_EQ(beside(), liveFiles) << "the live process keeps its files";
    live.Send('q');
    ASSERT_EQ(live.Wait(), 0);
    run = Shell(file.Path, "SELECT COUNT(*) AS c FROM a;");
    EXPECT_EQ(run.Out, "c\n0\n") << run.Err;
    std::vector<std::string> kept = userNames;
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(beside(), kept);
    for (const std::string& name : userNames)
        std::remove((folder + name).c_str());
    RemoveDatabaseFiles(file.Path);
}

// A schema change copies the file to its backup (".zdx") under a temporary name first; killed
// during that copy, it leaves a file as large as the database that no later copy reuses. The next
// open removes such copies of gone processes and keeps a live one's, and the backup itself.
TEST(SqlShellProcesses, BackupCopiesOfGoneProcessesAreRemovedAtOpen) {
    TTempFile file("backup_owner.zan");
    RemoveDatabaseFiles(file.Path);
    const std::string backup = std::filesystem::path(file.Path).replace_extension(".zdx").string();
    ASSERT_EQ(Shell(file.Path, "CREATE TABLE a (x INTEGER);\nINSERT INTO a VALUES (1);\n"
                               "CREATE INDEX ax ON a (x);\n")
                  .Code,
              0);
    ASSERT_TRUE(std::filesystem::exists(backup));
    auto leave = [&] {
        FILE* f = std::fopen(TemporaryFileNameFor(backup).c_str(), "w");
        if (f == nullptr) return false;
        std::fputs("half a copy", f);
        std::fclose(f);
        return true;
    };
    TLeavers leavers = LeaveFromLiveAndGone(leave);
    ASSERT_NE(leavers.GonePid, 0);
    TChildProcess& live = *leavers.Live;
    const pid_t gonePid = leavers.GonePid;
    const std::string goneCopy = backup + ".tmp" + std::to_string(gonePid);
    const std::string liveCopy = backup + ".tmp" + std::to_string(live.Pid());
    ASSERT_TRUE(std::filesystem::exists(goneCopy));
    TShellRun run = Shell(file.Path, "SELECT COUNT(*) AS c FROM a;");
    EXPECT_EQ(run.Out, "c\n1\n") << run.Err;
    if (IdInUse(gonePid)) GTEST_SKIP() << "the gone process's id was taken again";
    EXPECT_FALSE(std::filesystem::exists(goneCopy));
    EXPECT_TRUE(std::filesystem::exists(liveCopy)) << "the live process keeps its copy";
    EXPECT_TRUE(std::filesystem::exists(backup));
    live.Send('q');
    ASSERT_EQ(live.Wait(), 0);
    run = Shell(file.Path, "DROP INDEX a ax;\nSELECT COUNT(*) AS c FROM a;");
    EXPECT_EQ(run.Out, "c\n1\n") << run.Err;
    EXPECT_FALSE(std::filesystem::exists(liveCopy));
    EXPECT_TRUE(std::filesystem::exists(backup));
    std::filesystem::remove(backup);
    RemoveDatabaseFiles(file.Path);
}

// Shells started at once on a missing file each create a table of their own and fill it. Each
// one either works or fails with a clear lock error; the file then holds the table and row of
// every shell that worked, and nothing is left beside it.
TEST(SqlShellProcesses, ShellsCreatingOneFileAtOnce) {
    TTempFile file("create_race.zan");
    constexpr int C_SHELLS = 4;
    int worked = 0;
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        RemoveDatabaseFiles(file.Path);
        std::vector<std::unique_ptr<TChildProcess>> shells;
        for (int k = 0; k < C_SHELLS; ++k)
            shells.push_back(std::make_unique<TChildProcess>([&, k](TChildProcess& self) {
                if (self.Receive() != 'g') return 4;
                const std::string table = "p" + std::to_string(k);
                const TShellRun run =
                    Shell(file.Path, "CREATE TABLE " + table + " (x INTEGER);\nINSERT INTO " +
                                         table + " VALUES (" + std::to_string(k) + ");\n");
                if (run.Code == 0) return 0;
                std::fprintf(stderr, "shell %d: %s", k, run.Err.c_str());
                const bool lockError =
                    run.Err.find("error 10249:") != std::string::npos ||
                    run.Err.find("in use by another handle") != std::string::npos;
                return lockError ? 1 : 3;
            }));
        for (auto& shell : shells)
            shell->Send('g');
        std::string check, expected;
        for (int k = 0; k < C_SHELLS; ++k) {
            const int code = shells[k]->Wait();
            EXPECT_TRUE(code == 0 || code == 1) << "shell " << k << " ended with " << code;
            if (code != 0) continue;
            ++worked;
            check += "SELECT x FROM p" + std::to_string(k) + ";\n";
            expected += "x\n" + std::to_string(k) + "\n";
        }
        const TShellRun run = Shell(file.Path, check);
        EXPECT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(run.Out, expected);
        EXPECT_EQ(FilesBeside(file.Path), std::vector<std::string>{});
    }
    EXPECT_GT(worked, 8);
    RemoveDatabaseFiles(file.Path);
}

// A file whose mode has no write bits is shared without locks; a shell must not write it, also
// when it runs privileged (two such writers once broke an index). It reads it as before once
// the mode allows writing again.
TEST(SqlShellProcesses, FileReadOnlyOnDiskIsNeverWritten) {
    TTempFile file("ro_shell.zan");
    ASSERT_EQ(Shell(file.Path, "CREATE TABLE a (x INTEGER);\nINSERT INTO a VALUES (1);\n").Code, 0);
    ASSERT_EQ(chmod(file.Path.c_str(), 0444), 0);
    const std::vector<uint8_t> before = ReadFileBytes(file.Path);
    const TShellRun run = Shell(file.Path, "INSERT INTO a VALUES (2);\n");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("error 8449: "), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("is read-only on disk; zansql opens its database for writing"),
              std::string::npos)
        << run.Err;
    EXPECT_TRUE(ReadFileBytes(file.Path) == before);
    ASSERT_EQ(chmod(file.Path.c_str(), 0644), 0);
    const TShellRun after = Shell(file.Path, "SELECT x FROM a;\n");
    EXPECT_EQ(after.Code, 0) << after.Err;
    EXPECT_EQ(after.Out, "x\n1\n");
}

// A shell whose writes hit the file size limit (as on a full disk): the statement fails with a
// write failure (9218), never a read failure, and the file keeps the rows before it. Once by the
// file's growth (a row with a long memo), once by the journal (an update of every memo). A
// users file that cannot be written when it is made is an I/O error on it (8450), never an
// internal error, and the next shell uses the file.
TEST(SqlShellProcesses, WritesBeyondTheSizeLimitFailAsWrites) {
    TTempFile file("size_limit.zan");
    RemoveDatabaseFiles(file.Path);
    const std::string memo(40000, 'm');
    ASSERT_EQ(Shell(file.Path, "CREATE TABLE t (id INTEGER NOT NULL, m BLOB(1, 1), "
                               "PRIMARY KEY (id));\nINSERT INTO t VALUES (1, '" +
                                   memo + "');\nINSERT INTO t VALUES (2, '" + memo + "');\n")
                  .Code,
              0);
    struct TCase {
        const char* Name;
        std::string Sql;
        std::string Error;
    };
    const TCase cases[] = {
        {"growth", "INSERT INTO t VALUES (3, '" + std::string(300000, 'g') + "');\n",
         "error 9218: "},
        {"journal", "UPDATE t SET m = '" + std::string(40000, 'u') + "';\n", "error 9218: "},
        {"users file", "INSERT INTO t VALUES (3, 'x');\n", "error 8450: "},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        struct stat st {};
        ASSERT_EQ(stat(file.Path.c_str(), &st), 0);
        const std::string name = c.Name;
        const rlim_t limit = name == "growth"       ? rlim_t(st.st_size) + 4096
                             : name == "users file" ? rlim_t(1)
                                                    : rlim_t(8192);
        TChildProcess shell([&](TChildProcess&) {
            signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead of a signal
            const struct rlimit rl {limit, limit};
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 4;
            const TShellRun run = Shell(file.Path, c.Sql);
            std::fprintf(stderr, "%s", run.Err.c_str());
            if (run.Code == 0) return 3;
            if (run.Err.find(c.Error) == std::string::npos) return 1;
            return run.Err.find("read failure") == std::string::npos ? 0 : 2;
        });
        EXPECT_EQ(shell.Wait(), 0) << "0: a write failure; 1, 2: another message; 3: it worked";
        const TShellRun after =
            Shell(file.Path, "SELECT id, SUBSTRING(m FROM 1 FOR 1) AS c, SUBSTRING(m FROM 39999 "
                             "FOR 5) AS e FROM t ORDER BY id;\n");
        EXPECT_EQ(after.Out, "id\tc\te\n1\tm\tmm\n2\tm\tmm\n") << after.Err;
    }
    RemoveDatabaseFiles(file.Path);
}

// A database in a folder its user may not write: the users file cannot be created there. The
// shell says it has no access to the folder (9219), not that the engine failed inside.
TEST(SqlShellProcesses, FolderWithoutWriteAccessIsNamedAsSuch) {
    TTempFile holder("ro_folder");
    const std::string folder = holder.Path + ".d";
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string path = folder + "/f.zan";
    ASSERT_EQ(Shell(path, "CREATE TABLE a (x INTEGER);\nINSERT INTO a VALUES (1);\n").Code, 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    TChildProcess shell([&](TChildProcess&) {
        // Root writes any folder: the shell runs as an unprivileged user instead.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 77;
        if (access(path.c_str(), R_OK | W_OK) != 0 || access(folder.c_str(), W_OK) == 0)
            return 77;
        const TShellRun run = Shell(path, "SELECT x FROM a;\n");
        std::fprintf(stderr, "%s", run.Err.c_str());
        return run.Code == 1 && run.Err.find("error 9219: ") != std::string::npos ? 0 : 1;
    });
    const int code = shell.Wait();
    chmod(folder.c_str(), 0755);
    std::filesystem::remove_all(folder);
    if (code == 77) GTEST_SKIP() << "no unprivileged user to run the shell as";
    EXPECT_EQ(code, 0);
}

// A journal left by a shell killed in a commit, copied away, and put back beside the file after
// later commits (a backup's journal restored by hand). Laying its old pages over the later
// commits would mix states; the next shell must refuse the file with 8962 and leave both files
// alone, and the file must read as after the last commit once the journal is removed. Put back
// before any later commit, the same journal is the file's own and is restored as usual.
TEST(SqlShellProcesses, JournalOfAnOlderCommitIsRefused) {
    TTempFile file("older_journal.zan");
    RemoveDatabaseFiles(file.Path);
    ASSERT_EQ(Shell(file.Path, "CREATE TABLE t (id INTEGER NOT NULL, v INTEGER, s VARCHAR(40), "
                               "PRIMARY KEY (id));\nCREATE INDEX tv ON t (v);\n"
                               "INSERT INTO t VALUES (1, 1, 'a');\n"
                               "INSERT INTO t SELECT id + 1, v + 1, s FROM t;\n"
                               "INSERT INTO t SELECT id + 2, v + 2, s FROM t;\n"
                               "INSERT INTO t SELECT id + 4, v + 4, s FROM t;\n")
                  .Code,
              0);
    const std::vector<uint8_t> baseBytes = ReadFileBytes(file.Path);
    const std::string journal = JournalFileNameFor(file.Path);
    const std::string update = "UPDATE t SET s = 'killed' WHERE id = 5;\n";
    const std::string dump = "SELECT * FROM t ORDER BY id;\nSELECT id, v FROM t WHERE v >= 0 "
                             "ORDER BY v, id;\n";
    // Kill points in turn until one leaves a hot journal (the update written in place or not).
    std::vector<uint8_t> hot;
    for (uint64_t n = 1; n < 40 && hot.empty(); ++n) {
        RemoveDatabaseFiles(file.Path);
        WriteFileBytes(file.Path, baseBytes);
        if (!ShellKilledAt(file.Path, update, n).Killed) break;
        if (InspectJournal(journal, file.Path).State == jsHot) hot = ReadFileBytes(journal);
    }
    ASSERT_FALSE(hot.empty()) << "no kill left a hot journal";
    const std::string before = Dump(file.Path); // restores it
    ASSERT_FALSE(std::filesystem::exists(journal));

    // Put back at once: the file's own journal, restored again to the same rows.
    WriteFileBytes(journal, hot);
    EXPECT_EQ(Dump(file.Path), before);

    // Put back after later commits: refused, nothing changed.
    ASSERT_EQ(Shell(file.Path, "UPDATE t SET s = 'later' WHERE id = 5;\nUPDATE t SET v = v + 100;"
                               "\nINSERT INTO t VALUES (20, 20, 'new');\n")
                  .Code,
              0);
    const TShellRun later = Shell(file.Path, dump);
    ASSERT_EQ(later.Code, 0) << later.Err;
    const std::vector<uint8_t> laterBytes = ReadFileBytes(file.Path);
    WriteFileBytes(journal, hot);
    for (const char* sql : {"SELECT * FROM t;\n", "INSERT INTO t VALUES (30, 30, 'x');\n"}) {
        SCOPED_TRACE(sql);
        const TShellRun run = Shell(file.Path, sql);
        EXPECT_EQ(run.Code, 1);
        EXPECT_NE(run.Err.find("error 8962: "), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find("older than the database's last commit"), std::string::npos)
            << run.Err;
        EXPECT_TRUE(ReadFileBytes(file.Path) == laterBytes);
        EXPECT_TRUE(ReadFileBytes(journal) == hot);
    }
    ASSERT_EQ(unlink(journal.c_str()), 0);
    const TShellRun after = Shell(file.Path, dump);
    EXPECT_EQ(after.Out, later.Out) << after.Err;
    RemoveDatabaseFiles(file.Path);
}
