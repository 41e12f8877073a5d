// Several processes, each with its own connection, insert at the same time into their own tables
// and into one shared table under the lock protocol (table write lock, then header write lock,
// per batch). Afterwards the file passes the consistency checker and every table holds exactly
// the rows inserted: none lost, none twice, every row intact.
#include <gtest/gtest.h>

#include <memory>

#include "host/win/child_process.h"
#include "storage_e2e_table.h"

using namespace zan;

namespace {

constexpr int32_t C_ROWS_PER_PROCESS = 1500;
constexpr int32_t C_BATCH = 30;

struct TMultiProcCase {
    int Processes;
    bool SameTable;
};

std::string TableOf(int process, bool sameTable) {
    return sameTable ? "shared" : "own" + std::to_string(process);
}

class StorageMultiProcess : public ::testing::TestWithParam<TMultiProcCase> {};

} // namespace

TEST_P(StorageMultiProcess, ConcurrentInsertsLoseAndDuplicateNothing) {
    const TMultiProcCase c = GetParam();
    TTempFile file("multiproc.zan");
    std::vector<std::string> names;
    for (int p = 0; p < c.Processes; ++p)
        if (!c.SameTable || p == 0) names.push_back(TableOf(p, c.SameTable));
    std::vector<std::unique_ptr<TTableDef>> defs;
    {
        TTestDatabase db(file.Path);
        db.Create();
        db.Open();
        for (const std::string& name : names) {
            auto def = std::make_unique<TTableDef>();
            BuildSampleTableDef(*def);
            def->SetTableName(name);
            db.UserTables().CreateTableDef(name, *def);
            defs.push_back(std::move(def));
        }
        db.Close();
    }

    // Each child opens its connection, reports ready, waits for the start signal, then inserts
    // its ids (process p: p, p + n, p + 2n, ...) in small batches; exit code 0 when all went in.
    std::vector<std::unique_ptr<TChildProcess>> children;
    for (int p = 0; p < c.Processes; ++p) {
        const TTableDef& stored = *defs[c.SameTable ? 0 : size_t(p)];
        children.push_back(std::make_unique<TChildProcess>([&, p](TChildProcess& self) {
            TTestDatabase db(file.Path);
            db.Open();
            int code = 0;
            {
                TE2ETable t(db, TableOf(p, c.SameTable), stored);
                self.Send('r');
                if (self.Receive() != 'g') return 2;
                for (int32_t i = 0; i < C_ROWS_PER_PROCESS; i += C_BATCH) {
                    // Every third batch is a transaction of its own: its growth must not
                    // overwrite what the others commit meanwhile.
                    const bool inTransaction = (i / C_BATCH) % 3 == 2;
                    if (inTransaction) db.Disk().DiskStartTransaction(false);
                    t.Batch([&] {
                        for (int32_t k = i; k < std::min(C_ROWS_PER_PROCESS, i + C_BATCH); ++k)
                            if (!t.Insert(k * c.Processes + p)) code = 3;
                    });
                    if (inTransaction) db.Disk().DiskCommit();
                }
            }
            db.Close();
            return code;
        }));
    }
    for (auto& child : children)
        ASSERT_EQ(child->Receive(), 'r');
    for (auto& child : children)
        child->Send('g');
    for (int p = 0; p < c.Processes; ++p)
        EXPECT_EQ(children[size_t(p)]->Wait(), 0) << "process " << p;

    TTestDatabase db(file.Path);
    db.Open();
    {
        std::vector<std::unique_ptr<TE2ETable>> tables;
        std::vector<const TTableDef*> opened;
        for (size_t i = 0; i < names.size(); ++i) {
            tables.push_back(std::make_unique<TE2ETable>(db, names[i], *defs[i]));
            opened.push_back(&tables.back()->Def());
        }
        auto problems = CheckDatabase(db.Disk(), opened);
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
        for (size_t i = 0; i < names.size(); ++i) {
            SCOPED_TRACE(names[i]);
            uint32_t byName = 0, bad = 0;
            const std::vector<int32_t> ids = tables[i]->ReadAllIds(byName, bad);
            std::vector<int32_t> expected;
            for (int p = 0; p < c.Processes; ++p)
                if (c.SameTable || size_t(p) == i)
                    for (int32_t k = 0; k < C_ROWS_PER_PROCESS; ++k)
                        expected.push_back(k * c.Processes + p);
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(ids, expected);
            EXPECT_EQ(byName, expected.size());
            EXPECT_EQ(bad, 0u);
        }
    }
    db.Close();
}

INSTANTIATE_TEST_SUITE_P(Cases, StorageMultiProcess,
                         ::testing::Values(TMultiProcCase{2, false}, TMultiProcCase{2, true},
                                           TMultiProcCase{4, false}, TMultiProcCase{4, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.Processes) +
                                    (info.param.SameTable ? "SameTable" : "OwnTables");
                         });
