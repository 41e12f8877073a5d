// Table components of two connections on one file (and of two processes) meeting on the same
// rows: record locks of edits, rows changed or deleted under a positioned cursor, rollbacks under
// positioned cursors, posts refused inside and outside transactions.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

void CreateRows(TZanDataBase& db, const std::string& name, int rows) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(name);
    t.GetFieldDefs().Add("Id", ftInteger, 0, true);
    t.GetFieldDefs().Add("Name", ftString, 12);
    t.GetFieldDefs().Add("Note", ftMemo);
    t.GetIndexDefs().Add("ixId", "Id", {ixUnique});
    t.GetIndexDefs().Add("ixName", "Name", {});
    t.CreateTable();
    t.Open();
    for (int i = 1; i <= rows; ++i)
        t.AppendRecord({Variant(i), Variant("n" + std::to_string(100 + i)), Variant("note")});
}

std::unique_ptr<TZanTable> Open(TZanDataBase& db, const std::string& name,
                                const std::string& index = "ixId") {
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName(name);
    t->SetIndexName(index);
    t->Open();
    return t;
}

std::string Rows(TZanTable& t) {
    std::string out;
    for (t.First(); !t.GetEOF(); t.Next())
        out +=
            t.FieldByName("Id")->GetAsString() + ":" + t.FieldByName("Name")->GetAsString() + " ";
    return out;
}

struct TTwo {
    TTempFile File{"api_cursors.zan"};
    std::unique_ptr<TZanDataBase> A, B;
    explicit TTwo(int rows = 5, const std::vector<std::string>& tables = {"T"}) {
        CreateDatabaseFile(File.Path);
        A = NewDatabase(File.Path);
        A->SetLockRetryMaximum(3);
        A->Open();
        for (const std::string& name : tables)
            CreateRows(*A, name, rows);
        B = NewDatabase(File.Path);
        B->SetLockRetryMaximum(3);
        B->Open();
    }
    void Check(TZanTable& t) {
        auto problems = CheckDatabase(*A->GetDiskMgr(), {&t.GetTableDef()});
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    }
};

} // namespace

// An edit in one connection locks its record only: the other connection can edit another row,
// and a row of another table, but not that row.
TEST(ApiCursors, RecordLocksOfEditsAreThoseOfTheRecord) {
    TTwo f(5, {"T", "U"});
    auto a = Open(*f.A, "T");
    auto bT = Open(*f.B, "T");
    auto bU = Open(*f.B, "U");
    a->First();
    a->Edit();
    a->FieldByName("Name")->SetAsString("a-edit");
    // The same record of the same table: refused while a edits it.
    bT->First();
    EXPECT_NE(ErrorCodeOf([&] { bT->Edit(); }), 0);
    if (bT->GetState() == dsEdit) bT->Cancel();
    // Another table's first record is another record.
    bU->First();
    EXPECT_EQ(ErrorCodeOf([&] { bU->Edit(); }), 0);
    if (bU->GetState() == dsEdit) {
        bU->FieldByName("Name")->SetAsString("u-edit");
        EXPECT_EQ(ErrorCodeOf([&] { bU->Post(); }), 0);
    }
    a->Post();
    EXPECT_EQ(Rows(*a), "1:a-edit 2:n102 3:n103 4:n104 5:n105 ");
}

// A row deleted by the other connection while this cursor shows it: an edit of it is refused and
// nothing comes back; a delete of it is refused; the cursor moves on to the neighbours.
TEST(ApiCursors, ARowDeletedUnderAPositionedCursor) {
    TTwo f;
    auto a = Open(*f.A, "T");
    auto b = Open(*f.B, "T", "ixName");
    ASSERT_TRUE(b->Locate("Id", Variant(3), {}));
    ASSERT_TRUE(a->Locate("Id", Variant(3), {}));
    a->Delete();
    b->Edit();
    b->FieldByName("Name")->SetAsString("zombie");
    EXPECT_NE(ErrorCodeOf([&] { b->Post(); }), 0);
    b->Cancel();
    EXPECT_EQ(Rows(*a), "1:n101 2:n102 4:n104 5:n105 ");
    ASSERT_TRUE(b->Locate("Id", Variant(2), {}));
    a->Locate("Id", Variant(2), {});
    a->Delete();
    EXPECT_NE(ErrorCodeOf([&] { b->Delete(); }), 0);
    EXPECT_EQ(Rows(*a), "1:n101 4:n104 5:n105 ");
    b->Refresh();
    b->Next();
    EXPECT_EQ(Rows(*b), "1:n101 4:n104 5:n105 ");
    f.Check(*a);
}

// A row changed by the other connection while this one edits it (its record lock released by a
// refused post): the second post is refused, the other change stays.
TEST(ApiCursors, ARefusedPostReleasesNothingTheEditStillNeeds) {
    TTwo f;
    auto a = Open(*f.A, "T");
    auto b = Open(*f.B, "T");
    a->First();
    a->Edit();
    a->FieldByName("Id")->SetAsInteger(2); // a duplicate key: refused
    EXPECT_NE(ErrorCodeOf([&] { a->Post(); }), 0);
    ASSERT_EQ(a->GetState(), dsEdit);
    // b must still find row 1 locked by a's edit.
    b->First();
    const int32_t code = ErrorCodeOf([&] {
        b->Edit();
        b->FieldByName("Name")->SetAsString("b-wins");
        b->Post();
    });
    if (b->GetState() == dsEdit) b->Cancel();
    a->FieldByName("Id")->SetAsInteger(10);
    const int32_t second = ErrorCodeOf([&] { a->Post(); });
    EXPECT_NE(code, 0) << "b edited a row a was still editing";
    EXPECT_EQ(second, 0) << "a's corrected post was refused";
    if (a->GetState() == dsEdit) a->Cancel();
    a->Refresh();
    EXPECT_EQ(Rows(*a), "2:n102 3:n103 4:n104 5:n105 10:n101 ");
    f.Check(*a);
}

// A rollback while cursors of both connections are positioned on rows the transaction inserted
// or deleted; the cursors then move, edit and delete without harm.
TEST(ApiCursors, RollbackUnderPositionedCursors) {
    TTwo f;
    auto a = Open(*f.A, "T");
    auto a2 = Open(*f.A, "T", "ixName");
    auto b = Open(*f.B, "T");
    ASSERT_TRUE(b->Locate("Id", Variant(4), {}));
    f.A->StartTransaction();
    a->AppendRecord({Variant(7), Variant("n107")});
    ASSERT_TRUE(a2->Locate("Id", Variant(7), {}));
    ASSERT_TRUE(a->Locate("Id", Variant(4), {}));
    a->Delete();
    a->Insert();
    a->FieldByName("Id")->SetAsInteger(8);
    f.A->Rollback();
    EXPECT_EQ(a->GetState(), dsBrowse);
    EXPECT_EQ(Rows(*a), "1:n101 2:n102 3:n103 4:n104 5:n105 ");
    // a2 sat on the rolled-back insert.
    a2->Refresh();
    EXPECT_EQ(ErrorCodeOf([&] { a2->Next(); }), 0);
    EXPECT_EQ(Rows(*a2), "1:n101 2:n102 3:n103 4:n104 5:n105 ");
    // b sat on the row deleted then restored: it edits it.
    b->Edit();
    b->FieldByName("Name")->SetAsString("b4");
    EXPECT_EQ(ErrorCodeOf([&] { b->Post(); }), 0);
    EXPECT_EQ(Rows(*b), "1:n101 2:n102 3:n103 4:b4 5:n105 ");
    f.Check(*a);
}

// A refused post inside a transaction leaves the transaction's other rows to its commit, and a
// required field left NULL is refused without a trace.
TEST(ApiCursors, RefusedPostsInsideAndOutsideTransactions) {
    TTwo f;
    auto a = Open(*f.A, "T");
    auto b = Open(*f.B, "T");
    f.A->StartTransaction();
    a->AppendRecord({Variant(6), Variant("n106")});
    EXPECT_NE(ErrorCodeOf([&] { a->AppendRecord({Variant(6), Variant("dup")}); }), 0);
    if (a->GetState() != dsBrowse) a->Cancel();
    a->Insert();
    a->FieldByName("Name")->SetAsString("noid");
    EXPECT_THROW(a->Post(), std::exception);
    a->Cancel();
    f.A->Commit();
    b->Refresh();
    EXPECT_EQ(Rows(*b), "1:n101 2:n102 3:n103 4:n104 5:n105 6:n106 ");
    b->Insert();
    b->FieldByName("Name")->SetAsString("noid");
    EXPECT_THROW(b->Post(), std::exception);
    b->Cancel();
    EXPECT_EQ(Rows(*a), "1:n101 2:n102 3:n103 4:n104 5:n105 6:n106 ");
    f.Check(*a);
}

// Another process edits, deletes and inserts while this one keeps a filtered cursor and a ranged
// cursor open; both show the other process's rows after a refresh.
TEST(ApiCursors, AnotherProcessWritesUnderFilteredAndRangedCursors) {
    TTwo f(20);
    auto filtered = Open(*f.A, "T", "ixName");
    filtered->SetFilter("Id > 10");
    filtered->SetFiltered(true);
    auto ranged = Open(*f.B, "T");
    ranged->SetRange({Variant(5)}, {Variant(15)});
    filtered->First();
    filtered->MoveBy(3);
    ranged->Last();
    const std::string path = f.File.Path;
    TChildProcess child([&](TChildProcess&) {
        auto db = NewDatabase(path);
        db->Open();
        auto c = Open(*db, "T");
        for (int id : {12, 14, 15}) {
            if (!c->Locate("Id", Variant(id), {})) return 2;
            c->Delete();
        }
        if (!c->Locate("Id", Variant(11), {})) return 3;
        c->Edit();
        c->FieldByName("Id")->SetAsInteger(30);
        c->Post();
        c->AppendRecord({Variant(13000), Variant("a")});
        // A duplicate of a row this cursor never showed is refused.
        return ErrorCodeOf([&] { c->AppendRecord({Variant(9), Variant("x")}); }) != 0 ? 0 : 4;
    });
    EXPECT_EQ(child.Wait(), 0);
    filtered->Refresh();
    EXPECT_EQ(Rows(*filtered), "13000:a 30:n111 13:n113 16:n116 17:n117 18:n118 19:n119 20:n120 ");
    ranged->Refresh();
    EXPECT_EQ(Rows(*ranged), "5:n105 6:n106 7:n107 8:n108 9:n109 10:n110 13:n113 ");
}

// A database file this user may only read: a shared open is refused, a read-only open reads the
// rows and refuses every write; the file is left as it was.
TEST(ApiCursors, ReadOnlyFileAndDirectory) {
    TTempFile file("api_readonly.zan");
    CreateDatabaseFile(file.Path);
    {
        auto db = NewDatabase(file.Path);
        db->Open();
        CreateRows(*db, "T", 3);
    }
    const std::vector<uint8_t> before = ReadFileBytes(file.Path);
    ASSERT_EQ(chmod(file.Path.c_str(), 0444), 0);
    if (geteuid() == 0) GTEST_SKIP() << "root writes read-only files";
    auto db = NewDatabase(file.Path);
    std::string message;
    // A shared open needs to write: refused with an engine error.
    EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }, &message), 8449) << message;
    // Opened read-only, the rows read and every write is refused.
    db->SetReadOnly(true);
    ASSERT_EQ(ErrorCodeOf([&] { db->Open(); }, &message), 0) << message;
    {
        auto t = Open(*db, "T");
        EXPECT_EQ(Rows(*t), "1:n101 2:n102 3:n103 ");
        EXPECT_THROW(t->AppendRecord({Variant(9), Variant("x")}), std::exception);
        if (t->GetState() != dsBrowse) t->Cancel();
        t->First();
        EXPECT_THROW(t->Delete(), std::exception);
        EXPECT_EQ(Rows(*t), "1:n101 2:n102 3:n103 ");
    }
    db->Close();
    chmod(file.Path.c_str(), 0644);
    EXPECT_EQ(ReadFileBytes(file.Path), before);
}

// A writable database file in a directory this user cannot write (no journal, no users file can
// be made beside it): opens are refused with an engine error and the file stays as it was.
TEST(ApiCursors, WritableFileInAReadOnlyDirectory) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    const std::string dir = TestTempPath("api_rodir");
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    const std::string path = dir + "/db.zan";
    CreateDatabaseFile(path);
    {
        auto db = NewDatabase(path);
        db->Open();
        CreateRows(*db, "T", 3);
    }
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const std::vector<uint8_t> before = ReadFileBytes(path);
    auto db = NewDatabase(path);
    std::string message;
    EXPECT_NE(ErrorCodeOf([&] { db->Open(); }, &message), 0);
    EXPECT_NE(message.find("db.lck"), std::string::npos) << message;
    // Every session registers in the users file beside the database, read-only ones too: with
    // none to be made, a read-only open is refused as well, with an engine error.
    db->SetReadOnly(true);
    EXPECT_NE(ErrorCodeOf([&] { db->Open(); }), 0);
    EXPECT_FALSE(db->GetConnected());
    EXPECT_EQ(ReadFileBytes(path), before);
    chmod(dir.c_str(), 0755);
    std::filesystem::remove_all(dir);
}

// A table closed (or destroyed) while it edits a row, after a refused post or not, leaves that
// row free for the other connection.
TEST(ApiCursors, ClosingWhileEditingFreesTheRecord) {
    TTwo f;
    auto b = Open(*f.B, "T");
    for (bool refusedFirst : {false, true}) {
        SCOPED_TRACE(refusedFirst ? "after a refused post" : "edit only");
        {
            auto a = Open(*f.A, "T");
            a->First();
            a->Edit();
            a->FieldByName("Name")->SetAsString("held");
            if (refusedFirst) {
                a->FieldByName("Id")->SetAsInteger(2);
                EXPECT_NE(ErrorCodeOf([&] { a->Post(); }), 0);
            }
            if (refusedFirst) a->Close();
        }
        b->First();
        EXPECT_EQ(ErrorCodeOf([&] {
                      b->Edit();
                      b->FieldByName("Name")->SetAsString("b");
                      b->Post();
                  }),
                  0);
        if (b->GetState() == dsEdit) b->Cancel();
    }
    EXPECT_EQ(Rows(*b), "1:b 2:n102 3:n103 4:n104 5:n105 ");
}

// A row one connection edits cannot be deleted by the other meanwhile.
TEST(ApiCursors, ARowBeingEditedIsNotDeletedUnderTheEdit) {
    TTwo f;
    auto a = Open(*f.A, "T");
    auto b = Open(*f.B, "T");
    a->First();
    a->Edit();
    a->FieldByName("Name")->SetAsString("kept");
    b->First();
    const int32_t deleted = ErrorCodeOf([&] { b->Delete(); });
    const int32_t posted = ErrorCodeOf([&] { a->Post(); });
    EXPECT_NE(deleted, 0) << "the other connection deleted a row under an edit";
    EXPECT_EQ(posted, 0);
    if (a->GetState() == dsEdit) a->Cancel();
    EXPECT_EQ(Rows(*a), "1:kept 2:n102 3:n103 4:n104 5:n105 ");
}

// Two tables of one connection editing one row share the connection's record lock: the one that
// cancels, closes or goes first leaves the row locked for the other's edit, so the other
// connection cannot edit it meanwhile.
TEST(ApiCursors, AnotherTableOfTheConnectionKeepsTheRecordLocked) {
    TTwo f;
    auto b = Open(*f.B, "T");
    auto a = Open(*f.A, "T");
    a->First();
    a->Edit();
    a->FieldByName("Name")->SetAsString("a");
    for (const char* way : {"cancel", "close", "destroy", "delete"}) {
        SCOPED_TRACE(way);
        {
            auto other = Open(*f.A, "T");
            other->First();
            if (std::string(way) == "delete") {
                other->Next(); // another row of the same table
                other->Delete();
            } else {
                other->Edit();
                other->FieldByName("Name")->SetAsString("other");
                if (std::string(way) == "cancel") other->Cancel();
                if (std::string(way) == "close") other->Close();
            }
        }
        b->First();
        EXPECT_NE(ErrorCodeOf([&] {
                      b->Edit();
                      b->FieldByName("Name")->SetAsString("b");
                      b->Post();
                  }),
                  0);
        if (b->GetState() == dsEdit) b->Cancel();
    }
    a->Post();
    b->Refresh();
    EXPECT_EQ(Rows(*b), "1:a 3:n103 4:n104 5:n105 ");
}
