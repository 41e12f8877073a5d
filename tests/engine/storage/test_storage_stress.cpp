// Two connections on one file, in one process and in two, run random inserts, deletes, updates
// (name and id keys moved, notes' blob chains edited) on two shared tables (a plain one and an
// enciphered one, weakly or strongly by seed), in batches outside and inside transactions that
// commit or roll back at random. After every step the rows a
// connection reads equal an in-memory model of what it must see, and a fresh connection finds
// the file consistent and holding exactly the committed rows.
//
// ZAN_STRESS_SEEDS sets the number of seeds of each form (50 by default).
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "host/win/child_process.h"
#include "storage_e2e_table.h"

using namespace zan;

namespace {

using TRows = std::map<int32_t, std::pair<std::string, std::string>>; // id: name, note
using TModel = std::array<TRows, 2>;                                   // per table

constexpr int Steps = 30;
constexpr int32_t IdRange = 120;
const char* const TableNames[2] = {"s1", "s2"};

enum TOpKind : uint8_t { okInsert, okDelete, okUpdate };

struct TOp {
    TOpKind Kind;
    int32_t Id;
    int32_t NewId;
    std::string Name;
    std::string Note;
};

// The differences of two row sets, for failure messages.
std::string RowDiff(const TRows& got, const TRows& want) {
    std::string text;
    for (const auto& [id, row] : want) {
        auto it = got.find(id);
        if (it == got.end())
            text += " missing " + std::to_string(id);
        else if (it->second != row)
            text += " changed " + std::to_string(id) + " (" + it->second.first + "/" +
                    std::to_string(it->second.second.size()) + " instead of " + row.first + "/" +
                    std::to_string(row.second.size()) + ")";
    }
    for (const auto& [id, row] : got)
        if (!want.count(id)) text += " extra " + std::to_string(id);
    return text;
}

// Creates the file and both tables, the second enciphered (weakly, or strongly when strong);
// the definitions learn their table ids.
void CreateStressFile(const std::string& path, std::array<TTableDef, 2>& defs,
                      bool strong = false) {
    TTestDatabase db(path);
    db.Create();
    db.Open();
    for (int t = 0; t < 2; ++t) {
        BuildSampleTableDef(defs[size_t(t)], t == 0 ? encNone : strong ? encStrong : encWeak);
        defs[size_t(t)].SetTableName(TableNames[t]);
        db.UserTables().CreateTableDef(TableNames[t], defs[size_t(t)]);
    }
    db.Close();
}

int SeedCount() {
    const char* text = std::getenv("ZAN_STRESS_SEEDS");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 50;
}

// One run of the random schedule. In the two-process form each process opens only its own
// connection and runs only its own steps, but draws every step and keeps the model, so both
// sides agree on what comes next; the parent tells the child when to act.
class TStressRun {
public:
    // defs: the tables as CreateStressFile made them. localMask: bit c set when connection c
    // runs in this process; peer: the other process, if any.
    TStressRun(const std::string& path, const std::array<TTableDef, 2>& defs, uint32_t seed,
               int localMask, TChildProcess* peer)
        : FPath(path), FDefs(defs), FRng(seed), FLocalMask(localMask), FPeer(peer) {}

    void Open() {
        for (int c = 0; c < 2; ++c) {
            if (!Local(c)) continue;
            FDb[c] = std::make_unique<TTestDatabase>(FPath);
            FDb[c]->Open();
            for (int t = 0; t < 2; ++t)
                FTables[c][t] = std::make_unique<TE2ETable>(*FDb[c], TableNames[t], FDefs[t]);
        }
    }

    void Close() {
        for (int c = 0; c < 2; ++c) {
            for (auto& t : FTables[c])
                t.reset();
            if (FDb[c]) FDb[c]->Close();
            FDb[c].reset();
        }
    }

    // Runs the schedule; the checks run where checkAfterSteps is set.
    void Run(bool checkAfterSteps) {
        for (int step = 0; step < Steps; ++step) {
            FStep = step;
            SCOPED_TRACE(::testing::Message() << "step " << step);
            Step();
            if (::testing::Test::HasFailure()) return;
            if (checkAfterSteps) Check();
            if (::testing::Test::HasFailure()) return;
        }
        FStep = Steps;
        if (FOwner >= 0) Act(FOwner, [&] { FDb[FOwner]->Disk().DiskCommit(); });
        if (FOwner >= 0) FCommitted = FPending;
        FOwner = -1;
        if (checkAfterSteps) Check();
    }

    // The step running now (Steps after the last).
    int CurrentStep() const { return FStep; }

private:
    bool Local(int c) const { return (FLocalMask >> c & 1) != 0; }

    // Runs f for connection c here, or lets the peer process run it.
    template <class F>
    void Act(int c, F f) {
        if (Local(c)) {
            if (FPeer && FPeer->Pid() == 0) { // this is the child
                if (FPeer->Receive() != 'g') throw std::runtime_error("no go");
                f();
                FPeer->Send(::testing::Test::HasFailure() ? 'x' : 'd');
            } else {
                f();
            }
        } else if (FPeer && FPeer->Pid() != 0) {
            const char reply = FPeer->Send('g') ? FPeer->Receive() : 0;
            if (reply == 0)
                ADD_FAILURE() << "the other process is gone or silent (its error is on stderr)";
            else
                EXPECT_EQ(reply, 'd') << "the other process failed its step";
        }
    }

    std::string RandomText(size_t maxLength, size_t minLength) {
        const size_t n = minLength + FRng() % (maxLength - minLength + 1);
        std::string s(n, 'a');
        for (char& ch : s)
            ch = static_cast<char>('a' + FRng() % 26);
        return s;
    }
    std::string RandomNote() {
        // Empty, within one blob block, or several blocks long.
        switch (FRng() % 4) {
        case 0:
            return {};
        case 1:
            return RandomText(200, 1);
        default:
            return RandomText(3000, 900);
        }
    }
    int32_t FreeId(const TRows& rows) {
        for (;;) {
            const int32_t id = 1 + int32_t(FRng() % IdRange);
            if (!rows.count(id)) return id;
        }
    }
    int32_t SomeId(const TRows& rows) {
        auto it = rows.begin();
        std::advance(it, long(FRng() % rows.size()));
        return it->first;
    }

    // A batch of operations drawn against (and applied to) rows.
    std::vector<TOp> DrawBatch(TRows& rows) {
        std::vector<TOp> ops;
        // An empty batch still writes the table header (its change counter moves).
        const int count = int(FRng() % 7);
        for (int i = 0; i < count; ++i) {
            const uint32_t r = FRng() % 100;
            TOp op{okInsert, 0, 0, {}, {}};
            if (rows.empty() || (r < 45 && rows.size() < IdRange - 10)) {
                op = {okInsert, FreeId(rows), 0, RandomText(30, 1), RandomNote()};
                rows[op.Id] = {op.Name, op.Note};
            } else if (r < 70) {
                op = {okDelete, SomeId(rows), 0, {}, {}};
                rows.erase(op.Id);
            } else {
                op.Kind = okUpdate;
                op.Id = SomeId(rows);
                const auto old = rows[op.Id];
                // A new id (the unique key moves), a new name (the other key), a new note.
                op.NewId = FRng() % 3 == 0 ? FreeId(rows) : op.Id;
                op.Name = FRng() % 2 ? RandomText(30, 1) : old.first;
                op.Note = FRng() % 2 ? RandomNote() : old.second;
                rows.erase(op.Id);
                rows[op.NewId] = {op.Name, op.Note};
            }
            ops.push_back(std::move(op));
        }
        return ops;
    }

    void RunBatch(int c, int t, const std::vector<TOp>& ops) {
        TE2ETable& table = *FTables[c][t];
        table.Batch([&] {
            for (const TOp& op : ops) {
                switch (op.Kind) {
                case okInsert:
                    EXPECT_TRUE(table.InsertRow(op.Id, op.Name, op.Note)) << op.Id;
                    break;
                case okDelete:
                    EXPECT_TRUE(table.Delete(op.Id)) << op.Id;
                    break;
                case okUpdate:
                    EXPECT_TRUE(table.UpdateRow(op.Id, op.NewId, op.Name, op.Note)) << op.Id;
                    break;
                }
            }
        });
    }

    // What connection c must read: its own transaction's rows, else the committed ones.
    const TModel& View(int c) const { return FOwner == c ? FPending : FCommitted; }

    void Read(int c, int t) {
        Act(c, [&] {
            uint32_t byName = 0;
            const TRows rows = FTables[c][t]->ReadRows(byName);
            EXPECT_TRUE(rows == View(c)[size_t(t)])
                << "connection " << c << " table " << t << RowDiff(rows, View(c)[size_t(t)]);
            EXPECT_EQ(byName, View(c)[size_t(t)].size());
        });
    }

    void Step() {
        const uint32_t r = FRng() % 100;
        int t = int(FRng() % 2);
        if (FOwner < 0 && !FNext.empty()) {
            // Follow-up of a rollback: the other connection writes what the rolled-back
            // transaction wrote, then the rolled-back connection reads it.
            const TNextAction next = FNext.front();
            FNext.erase(FNext.begin());
            if (next.Write) {
                const std::vector<TOp> ops = DrawBatch(FCommitted[size_t(next.Table)]);
                Act(next.Connection, [&] { RunBatch(next.Connection, next.Table, ops); });
            } else {
                Read(next.Connection, next.Table);
            }
            return;
        }
        if (FOwner < 0) {
            // Nobody in a transaction: either connection reads, writes or starts one.
            const int c = int(FRng() % 2);
            if (r < 25) {
                Read(c, t);
            } else if (r < 50) {
                Act(c, [&] { FDb[c]->Disk().DiskStartTransaction(false); });
                FOwner = c;
                FWritten = 0;
                FPending = FCommitted;
            } else {
                const std::vector<TOp> ops = DrawBatch(FCommitted[size_t(t)]);
                Act(c, [&] { RunBatch(c, t, ops); });
            }
            return;
        }
        // A transaction is open: its owner writes, reads, commits or rolls back; the other
        // connection may only read (the transaction's locks keep it from writing).
        const int o = FOwner;
        if (r < 40) {
            const std::vector<TOp> ops = DrawBatch(FPending[size_t(t)]);
            Act(o, [&] { RunBatch(o, t, ops); });
            FWritten |= 1 << t;
        } else if (r < 52) {
            Read(o, t);
        } else if (r < 64) {
            Read(1 - o, t);
        } else if (r < 80) {
            Act(o, [&] { FDb[o]->Disk().DiskCommit(); });
            FCommitted = FPending;
            FOwner = -1;
        } else {
            Act(o, [&] { FDb[o]->Disk().DiskRollback(); });
            FOwner = -1;
            for (int table = 0; table < 2; ++table)
                if ((FWritten >> table & 1) && FRng() % 2) {
                    FNext.push_back({1 - o, table, true});
                    FNext.push_back({o, table, false});
                }
        }
    }

    // A fresh connection: the file is consistent and holds the committed rows.
    void Check() {
        TTestDatabase db(FPath);
        db.Open();
        {
            TE2ETable t0(db, TableNames[0], FDefs[0]), t1(db, TableNames[1], FDefs[1]);
            const auto problems = CheckDatabase(db.Disk(), {&t0.Def(), &t1.Def()});
            EXPECT_TRUE(problems.empty()) << ProblemText(problems);
            uint32_t byName = 0;
            const TRows rows0 = t0.ReadRows(byName), rows1 = t1.ReadRows(byName);
            EXPECT_TRUE(rows0 == FCommitted[0]) << "table 0" << RowDiff(rows0, FCommitted[0]);
            EXPECT_TRUE(rows1 == FCommitted[1]) << "table 1" << RowDiff(rows1, FCommitted[1]);
        }
        db.Close();
    }

    std::string FPath;
    const std::array<TTableDef, 2>& FDefs;
    std::mt19937 FRng;
    int FLocalMask;
    TChildProcess* FPeer;
    std::array<std::unique_ptr<TTestDatabase>, 2> FDb;
    std::array<std::array<std::unique_ptr<TE2ETable>, 2>, 2> FTables;
    TModel FCommitted, FPending;
    int FStep = -1;
    int FOwner = -1;  // the connection with an open transaction, or -1
    int FWritten = 0; // bit t: the open transaction wrote table t
    struct TNextAction {
        int Connection;
        int Table;
        bool Write;
    };
    std::vector<TNextAction> FNext; // actions that follow a rollback
};

// Runs body(path, defs, seed) for every seed on a new file with both tables; stops at the
// first failing seed.
template <class F>
void ForEachSeed(const char* fileName, F body) {
    const int seeds = SeedCount();
    for (int seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        TTempFile file(fileName);
        std::array<TTableDef, 2> defs;
        CreateStressFile(file.Path, defs, seed % 2 == 0);
        body(file.Path, defs, uint32_t(seed));
        if (::testing::Test::HasFailure()) return;
    }
}

} // namespace

TEST(StorageStress, TwoConnectionsAgreeWithTheModel) {
    ForEachSeed("stress_connections.zan",
                [](const std::string& path, const std::array<TTableDef, 2>& defs, uint32_t seed) {
                    TStressRun run(path, defs, seed, 3, nullptr);
                    run.Open();
                    run.Run(true);
                    run.Close();
                });
}

TEST(StorageStress, TwoProcessesAgreeWithTheModel) {
    ForEachSeed("stress_processes.zan", [](const std::string& path,
                                           const std::array<TTableDef, 2>& defs, uint32_t seed) {
        // The child runs connection 1; it opens after the fork, so no handle is shared.
        TChildProcess child([&](TChildProcess& self) {
            TStressRun run(path, defs, seed, 2, &self);
            try {
                run.Open();
                run.Run(false);
                run.Close();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "seed %u step %d, child: %s\n", seed, run.CurrentStep(),
                             e.what());
                throw;
            }
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        {
            TStressRun run(path, defs, seed, 1, &child);
            run.Open();
            run.Run(true);
            run.Close();
        }
        EXPECT_EQ(child.Wait(), 0);
    });
}
