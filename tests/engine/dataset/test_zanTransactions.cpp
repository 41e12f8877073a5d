// Transactions with the rollback walk over the datasets, and generators: checks, values, limits
// and two processes drawing from one generator.
#include <gtest/gtest.h>

#include <climits>
#include <set>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

struct TFileDb {
    TTempFile File{"transactions.zan"};
    std::unique_ptr<TZanDataBase> Db;
    TFileDb() {
        CreateDatabaseFile(File.Path);
        Db = NewDatabase(File.Path);
        Db->Open();
    }
};

std::unique_ptr<TZanTable> OpenTable(TZanDataBase& db) {
    TZanTable create;
    create.SetDataBase(&db);
    create.SetTableName("T");
    create.GetFieldDefs().Add("Id", ftInteger, 0, true);
    create.GetFieldDefs().Add("Name", ftString, 10);
    create.GetIndexDefs().Add("ixId", "Id", {ixUnique});
    create.CreateTable();
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName("T");
    t->Open();
    return t;
}

std::vector<std::string> Rows(TZanTable& t) {
    std::vector<std::string> rows;
    for (t.First(); !t.GetEOF(); t.Next())
        rows.push_back(t.FieldByName("Id")->GetAsString() + ":" +
                       t.FieldByName("Name")->GetAsString());
    return rows;
}

TEST(Transactions, RollbackRestoresRowsAndDatasetStates) {
    TFileDb f;
    auto t = OpenTable(*f.Db);
    t->AppendRecord({Variant(1), Variant("a")});
    t->AppendRecord({Variant(2), Variant("b")});
    f.Db->StartTransaction();
    EXPECT_TRUE(f.Db->InTransaction());
    t->AppendRecord({Variant(3), Variant("c")});
    t->First();
    t->Edit();
    t->FieldByName("Name")->SetAsString("changed");
    t->Post();
    t->Last();
    t->Prior();
    t->Delete();
    t->Append();
    t->FieldByName("Id")->SetAsInteger(4);
    EXPECT_EQ(Rows(*t).size(), 3u) << "walking posts the insert";
    t->Append();
    t->FieldByName("Id")->SetAsInteger(5);
    f.Db->Rollback();
    EXPECT_FALSE(f.Db->InTransaction());
    EXPECT_EQ(t->GetState(), dsBrowse);
    EXPECT_EQ(Rows(*t), (std::vector<std::string>{"1:a", "2:b"}));
    // A committed change stays.
    f.Db->StartTransaction();
    t->AppendRecord({Variant(6), Variant("f")});
    f.Db->Commit();
    EXPECT_EQ(Rows(*t), (std::vector<std::string>{"1:a", "2:b", "6:f"}));
    // Emptying a disk table inside a transaction is refused.
    f.Db->StartTransaction();
    EXPECT_EQ(ErrorCodeOf([&] { t->EmptyTable(); }), 10122);
    f.Db->Rollback();
}

TEST(Transactions, MemoryDatabaseRefusesTransactionsAndGenerators) {
    auto db = NewDatabase(C_MEMORY_DATABASE);
    db->Open();
    EXPECT_EQ(ErrorCodeOf([&] { db->StartTransaction(); }), 10880);
    EXPECT_EQ(ErrorCodeOf([&] { db->CreateGenerator("G", 1, 1); }), 10880);
    EXPECT_FALSE(db->InTransaction());
}

TEST(Generators, ValuesChecksAndNames) {
    TFileDb f;
    TZanDataBase& db = *f.Db;
    CreateUserTable(db, "U"); // draws an object id from "$INTGEN_OBJID"
    db.CreateGenerator("G", 10, 5);
    EXPECT_EQ(db.GetGeneratorValue("G", false), 10);
    EXPECT_EQ(db.GetGeneratorValue("G", true), 15);
    EXPECT_EQ(db.GetGeneratorValue("G", false), 15);
    EXPECT_EQ(db.GetGeneratorValue("G", false), 20);
    int32_t value = 0, step = 0;
    EXPECT_TRUE(db.QueryGenerator("g", value, step));
    EXPECT_EQ(value, 25);
    EXPECT_EQ(step, 5);
    const std::string twenty(20, 'N');
    db.CreateGenerator(twenty, 1, 1);
    struct TCase {
        std::string Name;
        int32_t Code;
    };
    for (const TCase& c : std::vector<TCase>{{"G", 8580},
                                             {"$INTGEN_OBJID", 8580}, // existence first
                                             {twenty + "X", 9605},
                                             {std::string(300, 'x'), 9605},
                                             {"$X", 10125},
                                             {"", 10125}})
        EXPECT_EQ(ErrorCodeOf([&] { db.CreateGenerator(c.Name, 1, 1); }), c.Code) << c.Name.size();
    // Over-long names are never looked up truncated.
    EXPECT_EQ(ErrorCodeOf([&] { db.GetGeneratorValue(twenty + "X", false); }), 8579);
    EXPECT_EQ(ErrorCodeOf([&] { db.GetGeneratorValue(twenty + "X", true); }), 8579);
    EXPECT_EQ(ErrorCodeOf([&] { db.GetGeneratorValue("", false); }), 8579);
    TStringList names;
    db.GetGeneratorNames(names);
    ASSERT_EQ(names.Count(), 2);
    EXPECT_EQ(names.Get(0), "G");
    EXPECT_EQ(names.Get(1), twenty);
    db.DeleteGenerator("G");
    db.DeleteGenerator("G");
    EXPECT_FALSE(db.QueryGenerator("G", value, step));
    // Leaving the 32-bit range refuses the read and keeps the row.
    db.CreateGenerator("Hi", INT32_MAX - 1, 1);
    EXPECT_EQ(db.GetGeneratorValue("Hi", false), INT32_MAX - 1);
    EXPECT_EQ(ErrorCodeOf([&] { db.GetGeneratorValue("Hi", false); }), 9985);
    EXPECT_EQ(db.GetGeneratorValue("Hi", true), INT32_MAX);
    db.CreateGenerator("Lo", INT32_MIN, -1);
    EXPECT_EQ(ErrorCodeOf([&] { db.GetGeneratorValue("Lo", false); }), 9985);
}

TEST(Generators, TwoProcessesDrawDistinctValues) {
    TFileDb f;
    f.Db->CreateGenerator("Shared", 1, 1);
    const std::string path = f.File.Path;
    constexpr int C_DRAWS = 300;
    auto drawer = [&](TChildProcess& self) {
        auto db = NewDatabase(path);
        db->Open();
        self.Send('r');
        self.Receive();
        for (int i = 0; i < C_DRAWS; ++i) {
            const int32_t v = db->GetGeneratorValue("Shared", false);
            self.Send(char(v & 0x7f));
        }
        return 0;
    };
    TChildProcess a(drawer), b(drawer);
    ASSERT_EQ(a.Receive(), 'r');
    ASSERT_EQ(b.Receive(), 'r');
    a.Send('g');
    b.Send('g');
    for (int i = 0; i < C_DRAWS; ++i) {
        a.Receive();
        b.Receive();
    }
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);
    EXPECT_EQ(f.Db->GetGeneratorValue("Shared", true), 2 * C_DRAWS + 1)
        << "every draw advanced the generator exactly once";
}

std::unique_ptr<TZanTable> OpenExisting(TZanDataBase& db) {
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName("T");
    t->Open();
    return t;
}

TEST(TableProcesses, ADeleteOfARecordAnotherProcessChangedIsRefused) {
    TFileDb f;
    auto t = OpenTable(*f.Db);
    t->AppendRecord({Variant(1), Variant("a")});
    t->First();
    const std::string path = f.File.Path;
    TChildProcess child([&](TChildProcess&) {
        auto db = NewDatabase(path);
        db->Open();
        auto c = OpenExisting(*db);
        c->Edit();
        c->FieldByName("Name")->SetAsString("child");
        c->Post();
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    // This dataset still shows the record as it was before the child's change.
    EXPECT_EQ(ErrorCodeOf([&] { t->Delete(); }), 8708);
    EXPECT_FALSE(t->GetLocked());
    t->Refresh();
    EXPECT_EQ(Rows(*t), (std::vector<std::string>{"1:child"}));
}

TEST(TableProcesses, InsertsInTwoTransactionsCommitOrRollBack) {
    TFileDb f;
    OpenTable(*f.Db)->Close();
    const std::string path = f.File.Path;
    TChildProcess child([&](TChildProcess& self) {
        auto db = NewDatabase(path);
        db->Open();
        auto c = OpenExisting(*db);
        db->StartTransaction();
        c->AppendRecord({Variant(2), Variant("child")});
        self.Send('i');
        if (self.Receive() != 'c') return 2;
        try {
            db->Commit();
        } catch (const EZanDatabaseError& e) {
            db->Rollback();
            return e.ErrorCode == 10249 ? 1 : 3;
        }
        return 0;
    });
    auto t = OpenExisting(*f.Db);
    ASSERT_EQ(child.Receive(), 'i');
    f.Db->StartTransaction();
    bool committed = true;
    try {
        t->AppendRecord({Variant(1), Variant("parent")});
        f.Db->Commit();
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(e.ErrorCode, 10249) << e.what();
        f.Db->Rollback();
        committed = false;
    }
    child.Send('c');
    const int childResult = child.Wait();
    ASSERT_TRUE(childResult == 0 || childResult == 1) << childResult;
    std::vector<std::string> want;
    if (committed) want.push_back("1:parent");
    if (childResult == 0) want.push_back("2:child");
    t->Refresh();
    EXPECT_EQ(Rows(*t), want);
    auto problems = CheckDatabase(*f.Db->GetDiskMgr(), {&t->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}

TEST(InternalTables, GeneratorsAndObjectReferencesThroughInternalTableComponents) {
    TFileDb f;
    TZanDataBase& db = *f.Db;
    CreateUserTable(db, "U");
    // The generator table is open for the connection but is no client of the database.
    EXPECT_EQ(db.GetDataSetCount(), 0);
    auto refs = db.OpenInternalTable("$SYSTBL_OBJECTIDREF", "ixObjectName");
    EXPECT_TRUE(refs->GetSystemTable());
    EXPECT_EQ(db.GetDataSetCount(), 0);
    ASSERT_TRUE(refs->FindKey({Variant("u")}));
    EXPECT_EQ(refs->FieldByName("ObjectID")->GetAsInteger(), db.GetObjectID("U"));
    // A draw in a transaction goes back with it; draws go on afterwards.
    db.CreateGenerator("G", 1, 1);
    db.StartTransaction();
    EXPECT_EQ(db.GetGeneratorValue("G", false), 1);
    EXPECT_EQ(db.GetGeneratorValue("G", false), 2);
    db.Rollback();
    EXPECT_EQ(db.GetGeneratorValue("G", false), 1);
    db.StartTransaction();
    EXPECT_EQ(db.GetGeneratorValue("G", false), 2);
    db.Commit();
    EXPECT_EQ(db.GetGeneratorValue("G", true), 3);
    refs.reset();
    db.Close();
}

// A table held locked across a commit or rollback: the lock is gone with it, and what was
// written under it (its header and index roots) is in the commit.
TEST(Transactions, ATableLockedAcrossCommitOrRollbackKnowsItIsReleased) {
    TFileDb f;
    auto t = OpenTable(*f.Db);
    for (bool commit : {true, false}) {
        f.Db->StartTransaction();
        t->SetLocked(true);
        EXPECT_TRUE(t->GetLocked());
        const int base = commit ? 0 : 1000;
        for (int i = 1; i <= 300; ++i)
            t->AppendRecord({Variant(base + i), Variant("n" + std::to_string(i))});
        if (commit)
            f.Db->Commit();
        else
            f.Db->Rollback();
        EXPECT_FALSE(t->GetLocked()) << commit;
        // Another process can write the table at once.
        const std::string path = f.File.Path;
        TChildProcess child([&](TChildProcess&) {
            auto db = NewDatabase(path);
            db->SetLockRetryMaximum(2);
            db->Open();
            auto c = OpenExisting(*db);
            c->AppendRecord({Variant(commit ? 5000 : 6000), Variant("child")});
            return c->GetRecordCount() == (commit ? 301 : 302) ? 0 : 1;
        });
        EXPECT_EQ(child.Wait(), 0) << commit;
    }
    t->Refresh();
    EXPECT_EQ(t->GetRecordCount(), 302);
    auto problems = CheckDatabase(*f.Db->GetDiskMgr(), {&t->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}

} // namespace

namespace {

// Opened exclusively, the connection's table, record, header, transaction and commit locks
// are kept in lists: no lock system call in thousands of operations of every kind.
TEST(ExclusiveOpen, NoLockSystemCalls) {
    TTempFile file("exclusive_locks.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->SetExclusive(true);
    db->Open();
    auto t = OpenTable(*db);
    db->CreateGenerator("G", 1, 1);
    const uint64_t before = TWinFile::LockCallCount();
    int operations = 0;
    for (int i = 1; i <= 2000; ++i, ++operations)
        t->AppendRecord({Variant(i), Variant("n" + std::to_string(i))});
    for (int i = 1; i <= 4000; ++i, ++operations)
        ASSERT_TRUE(t->FindKey({Variant(1 + i % 2000)}));
    for (int i = 1; i <= 500; ++i, operations += 2) {
        ASSERT_TRUE(t->FindKey({Variant(i)}));
        t->Edit();
        t->FieldByName("Name")->SetAsString("e" + std::to_string(i));
        t->Post();
    }
    for (int round = 0; round < 50; ++round, operations += 22) {
        db->StartTransaction();
        for (int i = 0; i < 10; ++i)
            t->AppendRecord({Variant(10000 + round * 10 + i), Variant("tx")});
        ASSERT_TRUE(t->FindKey({Variant(600 + round)}));
        t->Delete();
        if (round % 2)
            db->Commit();
        else
            db->Rollback();
        db->GetGeneratorValue("G", false);
    }
    t->SetLocked(true);
    t->SetLocked(false);
    for (t->First(); !t->GetEOF(); t->Next())
        ++operations;
    EXPECT_GT(operations, 10000);
    EXPECT_EQ(TWinFile::LockCallCount() - before, 0u);
    EXPECT_EQ(t->GetRecordCount(), 2000 + 25 * 10 - 25);
    EXPECT_EQ(db->GetGeneratorValue("G", true), 51);
}

} // namespace
