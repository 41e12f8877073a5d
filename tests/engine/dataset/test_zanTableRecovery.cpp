// Tables after failures and under ranges: a failed commit and its rollback, a lock release that
// fails in a destructor, blobs rewritten while another process reads them, over-long range
// values and deletes inside a range.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

std::unique_ptr<TZanTable> OpenTable(TZanDataBase& db, const std::string& name = "T") {
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName(name);
    t->Open();
    return t;
}

// Id (unique), Name string(10), Grp, Note memo; indexes on Id, Name, Name;Grp and Grp.
std::unique_ptr<TZanTable> MakeTable(TZanDataBase& db, const std::string& name = "T") {
    TZanTable create;
    create.SetDataBase(&db);
    create.SetTableName(name);
    create.GetFieldDefs().Add("Id", ftInteger, 0, true);
    create.GetFieldDefs().Add("Name", ftString, 10);
    create.GetFieldDefs().Add("Grp", ftInteger);
    create.GetFieldDefs().Add("Note", ftMemo);
    create.GetIndexDefs().Add("ixId", "Id", {ixUnique});
    create.GetIndexDefs().Add("ixName", "Name", {});
    create.GetIndexDefs().Add("ixNameGrp", "Name;Grp", {});
    create.GetIndexDefs().Add("ixGrp", "Grp", {});
    create.CreateTable();
    return OpenTable(db, name);
}

// A file holding table T with rows 1..count (Grp = Id % 3).
void FillFile(const std::string& path, int count) {
    CreateDatabaseFile(path);
    auto db = NewDatabase(path);
    db->Open();
    auto t = MakeTable(*db);
    for (int i = 1; i <= count; ++i)
        t->AppendRecord({Variant(i), Variant("n" + std::to_string(i)), Variant(i % 3)});
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Counts the rows of a First/Next scan, giving up (-1) past limit.
int ScanCount(TZanTable& t, int limit = 100000) {
    int n = 0;
    for (t.First(); !t.GetEOF(); t.Next())
        if (++n > limit) return -1;
    return n;
}

// A commit that cannot write (a read-only connection keeps no journal) and the rollback after
// it: the connection sees the rows as they are on disk, a scan ends, the file is unchanged.
// File mode 0444 makes the connection single-user as well.
class FailedCommit : public ::testing::TestWithParam<mode_t> {};
TEST_P(FailedCommit, RollbackOnAReadOnlyConnectionShowsTheRowsOnDisk) {
    TTempFile file("ro_commit.zan");
    FillFile(file.Path, 50);
    chmod(file.Path.c_str(), GetParam());
    const std::string before = FileBytes(file.Path);
    TChildProcess child([&](TChildProcess&) {
        alarm(60); // a scan that never ends fails the test
        auto db = NewDatabase(file.Path);
        db->SetReadOnly(true);
        db->Open();
        auto t = OpenTable(*db);
        db->StartTransaction();
        try {
            for (int i = 101; i <= 140; ++i)
                t->AppendRecord({Variant(i), Variant("x"), Variant(1)});
            db->Commit();
            return 2; // written on a read-only connection
        } catch (const EDatabaseError&) {
        }
        if (t->GetState() != dsBrowse) t->Cancel();
        if (db->InTransaction()) db->Rollback();
        t->Refresh();
        if (t->GetRecordCount() != 50 || ScanCount(*t) != 50) return 3;
        if (t->FindKey({Variant(101)})) return 4;
        for (const char* index : {"ixName", "ixGrp"}) {
            t->SetIndexName(index);
            if (ScanCount(*t) != 50) return 5;
        }
        t.reset();
        db->Close();
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    chmod(file.Path.c_str(), 0644);
    EXPECT_TRUE(FileBytes(file.Path) == before);
}
INSTANTIATE_TEST_SUITE_P(Modes, FailedCommit, ::testing::Values(mode_t(0444), mode_t(0644)));

// A table destroyed while it holds its lock and the lock's release fails: the destructor
// drops the failure instead of ending the process.
TEST(FailedRelease, DestroyingALockedTableDoesNotAbort) {
    TTempFile file("ro_locked.zan");
    FillFile(file.Path, 1);
    TChildProcess child([&](TChildProcess&) {
        alarm(60);
        auto db = NewDatabase(file.Path);
        db->SetReadOnly(true);
        db->Open();
        auto t = OpenTable(*db);
        t->SetLocked(true);
        try {
            t->AppendRecord({Variant(2), Variant("x"), Variant(1)});
            return 2;
        } catch (const EDatabaseError&) {
        }
        if (t->GetState() != dsBrowse) t->Cancel();
        t.reset();
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0) << "-1: the process aborted";
}

// One process rewrites blobs (the old chain freed each time) while another reads them: every
// read gives one whole value of one of the written lengths, never a corruption error.
TEST(BlobsAcrossProcesses, ReadsWhileAnotherProcessRewrites) {
    TTempFile file("blob_rewrite.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->Open();
    auto t = MakeTable(*db);
    auto lengthOf = [](char c) { return 1000 + (c - 'a') * 20000; };
    for (int i = 1; i <= 4; ++i)
        t->AppendRecord({Variant(i), Variant("r"), Variant(1), Variant(std::string(1000, 'a'))});
    TChildProcess reader([&](TChildProcess& self) {
        auto db2 = NewDatabase(file.Path);
        db2->SetLockRetryMaximum(2000);
        db2->SetLockRetryInterval(1);
        db2->Open();
        auto r = OpenTable(*db2);
        self.Send('r');
        for (int reads = 0; reads < 1500;) {
            r->Refresh();
            for (r->First(); !r->GetEOF(); r->Next(), ++reads) {
                std::string s;
                try {
                    s = r->FieldByName("Note")->GetAsString();
                } catch (const EZanDatabaseError& e) {
                    // The record itself changed under the read: refused, never corrupt.
                    if (e.ErrorCode != 8708) return 3;
                    continue;
                }
                if (s.empty() || s.find_first_not_of(s[0]) != std::string::npos) return 4;
                if (int(s.size()) != lengthOf(s[0])) return 5;
            }
        }
        return 0;
    });
    ASSERT_EQ(reader.Receive(), 'r');
    for (int round = 0; round < 100; ++round) {
        const char c = char('a' + round % 26);
        ASSERT_TRUE(t->FindKey({Variant(1 + round % 4)}));
        t->Edit();
        t->FieldByName("Note")->SetAsString(std::string(size_t(lengthOf(c)), c));
        t->Post();
    }
    EXPECT_EQ(reader.Wait(), 0);
    EXPECT_EQ(ProblemText(CheckDatabase(*db->GetDiskMgr(), {&t->GetTableDef()})), "");
}

// Range ends longer than their field: never truncated into a match. As a lower bound such a
// value starts after the truncated key, as an upper bound it includes it.
TEST(Ranges, OverLongValuesBoundTheRange) {
    TTempFile file("range_long.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->Open();
    auto t = MakeTable(*db);
    for (const char* n : {"abcdefghij", "abcdefghik", "b", ""})
        t->AppendRecord({Variant(t->GetRecordCount() + 1), Variant(n), Variant(1)});
    const std::string over = "abcdefghijX", huge(100000, 'a');
    struct TCase {
        const char* Index;
        std::vector<Variant> Start, End;
        std::vector<std::string> Names;
    };
    const std::vector<TCase> cases = {
        {"ixName", {Variant(over)}, {Variant(over)}, {}},
        {"ixName", {Variant("abcdefghij")}, {Variant(over)}, {"abcdefghij"}},
        {"ixName", {Variant(over)}, {Variant("b")}, {"abcdefghik", "b"}},
        {"ixName", {Variant(huge)}, {Variant(std::string(300, 'z'))}, {"abcdefghij", "abcdefghik", "b"}},
        {"ixName", {Variant("")}, {Variant(huge)}, {""}},
        {"ixNameGrp", {Variant(over), Variant(0)}, {Variant(over), Variant(9)}, {}},
        {"ixNameGrp", {Variant("abcdefghij"), Variant(1)}, {Variant(over), Variant(0)}, {"abcdefghij"}},
    };
    for (const TCase& c : cases) {
        t->SetIndexName(c.Index);
        t->SetRange(c.Start, c.End);
        std::vector<std::string> names;
        for (t->First(); !t->GetEOF(); t->Next()) names.push_back(t->FieldByName("Name")->GetAsString());
        EXPECT_EQ(names, c.Names) << c.Index << " from " << VarToStr(c.Start[0]).substr(0, 12);
        EXPECT_EQ(t->GetRecordCount(), int(c.Names.size()));
        t->CancelRange();
    }
    t->SetIndexName("ixName");
    EXPECT_FALSE(t->FindKey({Variant(over)}));
}

// Deleting inside a range keeps the cursor in the range: the next record of the range, the
// previous one after its last, empty when none remains; the rows outside stay.
TEST(Ranges, DeletesInsideARangeStayInside) {
    TTempFile file("range_delete.zan");
    FillFile(file.Path, 60);
    auto db = NewDatabase(file.Path);
    db->Open();
    auto t = OpenTable(*db);
    t->SetIndexName("ixGrp");
    t->SetRange({Variant(1)}, {Variant(1)});
    ASSERT_EQ(t->GetRecordCount(), 20);
    // The range's last record first: the cursor goes back to the one before.
    t->Last();
    t->Delete();
    EXPECT_FALSE(t->GetEOF());
    EXPECT_EQ(t->FieldByName("Grp")->GetAsInteger(), 1);
    int deleted = 1;
    while (!t->IsEmpty()) {
        ASSERT_EQ(t->FieldByName("Grp")->GetAsInteger(), 1) << "after " << deleted << " deletes";
        t->Delete();
        ASSERT_LE(++deleted, 20);
    }
    EXPECT_EQ(deleted, 20);
    t->CancelRange();
    EXPECT_EQ(t->GetRecordCount(), 40);
    EXPECT_EQ(ScanCount(*t), 40);
    // A range over the middle of a unique index, deleted from its first record.
    t->SetIndexName("ixId");
    t->SetRange({Variant(10)}, {Variant(30)});
    while (!t->IsEmpty()) t->Delete();
    t->CancelRange();
    std::vector<int> ids;
    for (t->First(); !t->GetEOF(); t->Next()) ids.push_back(t->FieldByName("Id")->GetAsInteger());
    std::vector<int> expected;
    for (int i = 1; i <= 60; ++i)
        if (i % 3 != 1 && (i < 10 || i > 30)) expected.push_back(i);
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(ProblemText(CheckDatabase(*db->GetDiskMgr(), {&t->GetTableDef()})), "");
}

} // namespace
