// The posted row is the current one after its post, whatever the index puts around it: appends,
// inserts and edits that move the row, in and out of transactions; with a filter or a range the
// row falls outside of, the cursor stays on a row of the cursor without failing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "dataset_test_support.h"

using namespace zan;

namespace {

// A table T (ID, N, S) whose current index ixNS sorts on N ascending, then S descending.
std::unique_ptr<TZanTable> NewPostTable(TZanDataBase& db) {
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName("T");
    t->GetFieldDefs().Add("ID", ftInteger, 0, true);
    t->GetFieldDefs().Add("N", ftSmallint);
    t->GetFieldDefs().Add("S", ftString, 20);
    TIndexDef& d = t->GetIndexDefs().Add("ixNS", "N;S", {});
    d.SetDescFields("S");
    t->CreateTable();
    t->SetIndexName("ixNS");
    t->Open();
    return t;
}

int32_t CurrentId(TZanTable& t) {
    return t.FieldByName("ID")->GetAsInteger();
}

// The cursor stands on the row id: its fields, its RecNo (its place in the cursor's order) and
// its neighbours (Next then Prior, Prior then Next come back to it).
void ExpectCurrentIs(TZanTable& t, int32_t id) {
    ASSERT_EQ(CurrentId(t), id);
    const int recNo = t.GetRecNo();
    t.Next();
    if (!t.GetEOF()) {
        t.Prior();
        EXPECT_EQ(CurrentId(t), id) << "Next then Prior";
    }
    t.Prior();
    if (!t.GetBOF()) {
        t.Next();
        EXPECT_EQ(CurrentId(t), id) << "Prior then Next";
    }
    int place = 0;
    bool found = false;
    for (t.First(); !t.GetEOF() && !found; t.Next()) {
        ++place;
        found = CurrentId(t) == id;
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(recNo, place) << "RecNo of the posted row";
}

void SetKey(TZanTable& t, std::mt19937& random) {
    // Some rows have no key at all; the others share keys now and then.
    if (random() % 8 == 0) {
        t.FieldByName("N")->Clear();
        t.FieldByName("S")->Clear();
        return;
    }
    t.FieldByName("N")->SetAsInteger(int32_t(random() % 10));
    const char* const names[] = {"a", "b", "bb", "c", "ALPHA"};
    t.FieldByName("S")->SetAsString(names[random() % 5]);
}

} // namespace

TEST(PostPosition, AppendedRowIsCurrentAfterItsPost) {
    for (const bool inTransaction : {false, true})
        for (const bool nullKey : {false, true}) {
            SCOPED_TRACE(std::to_string(inTransaction) + std::to_string(nullKey));
            TTempFile file("post_position.zan");
            CreateDatabaseFile(file.Path);
            auto db = NewDatabase(file.Path);
            db->Open();
            auto t = NewPostTable(*db);
            t->AppendRecord({Variant(40), Variant(44), Variant("ALPHA")});
            if (inTransaction) db->StartTransaction();
            t->Append();
            t->FieldByName("ID")->SetAsInteger(41);
            if (!nullKey) {
                t->FieldByName("N")->SetAsInteger(1);
                t->FieldByName("S")->SetAsString("b");
            }
            t->Post();
            EXPECT_EQ(t->FieldByName("ID")->GetAsInteger(), 41);
            if (inTransaction) db->Commit();
        }
}

// Appends, inserts (from a random row, and into an empty cursor) and edits that move the row in
// the index order, with keys shared between rows and rows without a key.
TEST(PostPosition, PostedRowIsCurrentAfterAppendInsertAndMovingEdit) {
    for (const bool inTransaction : {false, true}) {
        SCOPED_TRACE(inTransaction ? "in a transaction" : "no transaction");
        TTempFile file("post_position_model.zan");
        CreateDatabaseFile(file.Path);
        auto db = NewDatabase(file.Path);
        db->Open();
        auto t = NewPostTable(*db);
        std::mt19937 random(inTransaction ? 11 : 7);
        int32_t nextId = 1;
        int rows = 0;
        for (int step = 0; step < 120; ++step) {
            const int op = rows == 0 ? 1 : int(random() % 3);
            SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
            if (inTransaction && step % 10 == 0) db->StartTransaction();
            int32_t id = 0;
            if (op == 2) {
                t->First();
                t->MoveBy(int(random() % unsigned(rows)));
                id = CurrentId(*t);
                t->Edit();
            } else {
                if (op == 1 && rows > 0) {
                    t->First();
                    t->MoveBy(int(random() % unsigned(rows)));
                }
                if (op == 0)
                    t->Append();
                else
                    t->Insert();
                id = nextId++;
                t->FieldByName("ID")->SetAsInteger(id);
                ++rows;
            }
            SetKey(*t, random);
            t->Post();
            ExpectCurrentIs(*t, id);
            if (inTransaction && step % 10 == 9) db->Commit();
            if (::testing::Test::HasFailure()) return;
        }
        EXPECT_EQ(t->GetRecordCount(), rows);
    }
}

// A posted row outside the filter or the range: the post succeeds and the cursor stands on a
// row of the cursor; one inside them is current.
TEST(PostPosition, RowOutsideFilterOrRangeLeavesTheCursorOnANearbyRow) {
    TTempFile file("post_position_filter.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->Open();
    auto t = NewPostTable(*db);
    for (int32_t id = 1; id <= 20; ++id)
        t->AppendRecord({Variant(id), Variant(id % 10), Variant(id < 10 ? "a" : "b")});
    auto inCursor = [&](int lo, int hi) {
        ASSERT_FALSE(t->IsEmpty());
        const int32_t n = t->FieldByName("N")->GetAsInteger();
        EXPECT_GE(n, lo);
        EXPECT_LE(n, hi);
    };
    for (const bool range : {false, true}) {
        SCOPED_TRACE(range ? "range" : "filter");
        if (range) {
            t->SetRange({Variant(5)}, {Variant(7)});
        } else {
            t->SetFilter("N >= 5 and N <= 7");
            t->SetFiltered(true);
        }
        const int count = t->GetRecordCount();
        const int32_t base = range ? 100 : 200;
        // Appended and inserted rows outside: the cursor stays within.
        t->Append();
        t->FieldByName("ID")->SetAsInteger(base + 1);
        t->FieldByName("N")->SetAsInteger(1);
        t->Post();
        inCursor(5, 7);
        t->Last();
        t->Insert();
        t->FieldByName("ID")->SetAsInteger(base + 2);
        t->FieldByName("N")->SetAsInteger(9);
        t->Post();
        inCursor(5, 7);
        EXPECT_EQ(t->GetRecordCount(), count);
        // Rows inside: current, wherever the index puts them.
        t->Append();
        t->FieldByName("ID")->SetAsInteger(base + 3);
        t->FieldByName("N")->SetAsInteger(5);
        t->FieldByName("S")->SetAsString("z");
        t->Post();
        ExpectCurrentIs(*t, base + 3);
        t->Last();
        t->Insert();
        t->FieldByName("ID")->SetAsInteger(base + 4);
        t->FieldByName("N")->SetAsInteger(6);
        t->Post();
        ExpectCurrentIs(*t, base + 4);
        EXPECT_EQ(t->GetRecordCount(), count + 2);
        // An edit that moves the row out of the cursor, then one that moves it within.
        t->First();
        t->Edit();
        t->FieldByName("N")->SetAsInteger(0);
        t->Post();
        inCursor(5, 7);
        EXPECT_EQ(t->GetRecordCount(), count + 1);
        t->First();
        const int32_t first = CurrentId(*t);
        t->Edit();
        t->FieldByName("N")->SetAsInteger(7);
        t->FieldByName("S")->Clear();
        t->Post();
        ExpectCurrentIs(*t, first);
        if (range)
            t->CancelRange();
        else
            t->SetFiltered(false);
    }
}
