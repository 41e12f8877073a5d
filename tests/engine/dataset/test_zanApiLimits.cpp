// The table component at its limits: keys near the key-size limit (one long string, several
// fields), UTF-8 and spaces in table, field and index names, names of the longest length, many
// fields and indexes, empty and multi-megabyte blobs; rows are compared with a model and the
// checker runs over the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

struct TLimitsDb {
    TTempFile File{"api_limits.zan"};
    std::unique_ptr<TZanDataBase> Db;
    TLimitsDb() {
        CreateDatabaseFile(File.Path);
        Db = NewDatabase(File.Path);
        Db->Open();
    }
    void Check(TZanTable& t) {
        auto problems = CheckDatabase(*Db->GetDiskMgr(), {&t.GetTableDef()});
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    }
};

std::unique_ptr<TZanTable> Table(TZanDataBase& db, const std::string& name) {
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName(name);
    return t;
}

// A string of exactly size bytes: a long shared prefix, then the number n.
std::string LongValue(size_t size, int n, char fill) {
    std::string tail = std::to_string(100000 + n);
    std::string s(size > tail.size() ? size - tail.size() : 0, fill);
    return (s + tail).substr(0, size);
}

} // namespace

// Two string fields and an integer whose key fills the key up to, and just past, its limit:
// a definition at the limit takes rows of full-length values in any order, keeps them in key
// order, finds each one and survives deleting half; one past it is refused.
TEST(ApiLimits, KeysAtTheKeySizeLimit) {
    for (int32_t second : {200, 230, 236, 238, 240, 242, 244, 246, 250, 256}) {
        SCOPED_TRACE("second field " + std::to_string(second));
        TLimitsDb f;
        auto t = Table(*f.Db, "K");
        t->GetFieldDefs().Add("S1", ftString, 250);
        t->GetFieldDefs().Add("S2", ftString, second);
        t->GetFieldDefs().Add("N", ftInteger);
        t->GetIndexDefs().Add("ix", "S1;S2;N", {ixUnique});
        t->GetIndexDefs().Add("ixCI", "S2;S1", {ixCaseInsensitive});
        std::string message;
        const int32_t code = ErrorCodeOf([&] { t->CreateTable(); }, &message);
        if (code != 0) {
            EXPECT_EQ(code, 9602) << message;
            continue;
        }
        t->SetIndexName("ix");
        t->Open();
        std::mt19937 random{uint32_t(second)};
        std::vector<int> order(300);
        for (int i = 0; i < 300; ++i)
            order[size_t(i)] = i;
        std::shuffle(order.begin(), order.end(), random);
        std::set<std::string> model;
        for (int n : order) {
            const std::string s1 = LongValue(250, n % 7, 'q');
            const std::string s2 = LongValue(size_t(second), n, 'b');
            t->AppendRecord({Variant(s1), Variant(s2), Variant(n)});
            model.insert(s1 + "|" + s2);
        }
        // A duplicate full key is refused.
        EXPECT_NE(ErrorCodeOf([&] {
                      t->AppendRecord({Variant(LongValue(250, 3, 'q')),
                                       Variant(LongValue(size_t(second), 3, 'b')), Variant(3)});
                  }),
                  0);
        t->Cancel();
        std::vector<std::string> seen;
        for (t->First(); !t->GetEOF(); t->Next())
            seen.push_back(t->FieldByName("S1")->GetAsString() + "|" +
                           t->FieldByName("S2")->GetAsString());
        EXPECT_EQ(seen, std::vector<std::string>(model.begin(), model.end()));
        for (int n = 0; n < 300; n += 2) {
            ASSERT_TRUE(t->FindKey({Variant(LongValue(250, n % 7, 'q')),
                                    Variant(LongValue(size_t(second), n, 'b')), Variant(n)}))
                << n;
            t->Delete();
        }
        EXPECT_EQ(t->GetRecordCount(), 150);
        t->SetIndexName("ixCI");
        int count = 0;
        std::string prev;
        for (t->First(); !t->GetEOF(); t->Next(), ++count) {
            const std::string key = t->FieldByName("S2")->GetAsString();
            EXPECT_LE(prev, key);
            prev = key;
        }
        EXPECT_EQ(count, 150);
        f.Check(*t);
    }
}

// UTF-8, spaces and the longest names for tables, fields and indexes; many tables.
TEST(ApiLimits, NamesWithSpacesUtf8AndFullLength) {
    TLimitsDb f;
    const std::vector<std::string> names = {"with space",
                                            "ünïcödé tàble",
                                            "名前",
                                            std::string(40, 'n'),
                                            std::string(13, 'x') + "ä" + std::string(25, 'y'),
                                            " lead",
                                            "Ω"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        auto t = Table(*f.Db, name);
        t->GetFieldDefs().Add("field " + name.substr(0, 20), ftInteger);
        t->GetFieldDefs().Add(std::string(40, 'F'), ftString, 60);
        t->GetIndexDefs().Add("index " + name.substr(0, 20), "field " + name.substr(0, 20), {});
        std::string message;
        const int32_t code = ErrorCodeOf([&] { t->CreateTable(); }, &message);
        if (code != 0) {
            ADD_FAILURE() << "refused: " << code << " " << message;
            continue;
        }
        t->Open();
        t->AppendRecord({Variant(7), Variant(name)});
        t->Close();
        auto again = Table(*f.Db, name);
        again->SetIndexName("index " + name.substr(0, 20));
        again->Open();
        EXPECT_EQ(again->FieldByName(std::string(40, 'F'))->GetAsString(), name);
        f.Check(*again);
    }
    auto listed = TableNames(*f.Db);
    for (const std::string& name : names)
        EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;
    // Renames to and from such names keep the rows (renames need the file alone).
    f.Db->Close();
    f.Db->SetExclusive(true);
    f.Db->Open();
    f.Db->RenameTable("名前", "renamed 名前");
    auto r = Table(*f.Db, "renamed 名前");
    r->Open();
    EXPECT_EQ(r->FieldByName(std::string(40, 'F'))->GetAsString(), "名前");
    r->Close();
    f.Db->DeleteTable("renamed 名前");
    EXPECT_EQ(TableNames(*f.Db).size(), names.size() - 1);
}

// 255 fields, 32 indexes over them, a record near the size limit: rows round-trip.
TEST(ApiLimits, ManyFieldsAndIndexes) {
    TLimitsDb f;
    auto t = Table(*f.Db, "wide");
    for (int i = 0; i < 255; ++i)
        t->GetFieldDefs().Add("F" + std::to_string(i), i % 3 == 0 ? ftString : ftInteger,
                              i % 3 == 0 ? 200 : 0);
    for (int i = 0; i < 32; ++i)
        t->GetIndexDefs().Add("ix" + std::to_string(i),
                              "F" + std::to_string(i) + ";F" + std::to_string(254 - i), {});
    std::string message;
    const int32_t code = ErrorCodeOf([&] { t->CreateTable(); }, &message);
    ASSERT_EQ(code, 0) << message;
    t->Open();
    for (int r = 0; r < 60; ++r) {
        t->Append();
        for (int i = 0; i < 255; ++i) {
            if (i % 3 == 0)
                t->GetFields().Fields(i)->SetAsString(
                    std::string(size_t(r % 200), char('a' + i % 26)));
            else
                t->GetFields().Fields(i)->SetAsInteger(r * 1000 + i);
        }
        t->Post();
    }
    for (int ix = 0; ix < 32; ix += 5) {
        t->SetIndexName("ix" + std::to_string(ix));
        int count = 0;
        for (t->First(); !t->GetEOF(); t->Next())
            ++count;
        EXPECT_EQ(count, 60);
    }
    t->SetIndexName("");
    t->First();
    t->MoveBy(17);
    for (int i = 1; i < 255; i += 3)
        EXPECT_EQ(t->GetFields().Fields(i)->GetAsInteger() % 1000, i);
    f.Check(*t);
}

// Blobs of no bytes, NULL and many megabytes; replaced by smaller and larger ones.
TEST(ApiLimits, EmptyNullAndLargeBlobs) {
    TLimitsDb f;
    auto t = Table(*f.Db, "B");
    t->GetFieldDefs().Add("Id", ftInteger);
    t->GetFieldDefs().Add("M", ftMemo);
    t->GetFieldDefs().Add("G", ftBlob);
    t->GetIndexDefs().Add("ix", "Id", {ixUnique});
    t->CreateTable();
    t->SetIndexName("ix");
    t->Open();
    std::mt19937 random(3);
    auto bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s)
            c = char(random());
        return s;
    };
    std::map<int, std::pair<std::string, std::string>> model;
    const size_t sizes[] = {0, 1, 4095, 4096, 70000, 6u << 20, 0, 3};
    for (int i = 0; i < 8; ++i) {
        const std::string g = bytes(sizes[i]);
        const std::string m(sizes[(i + 3) % 8], 'm');
        t->Append();
        t->FieldByName("Id")->SetAsInteger(i);
        t->FieldByName("M")->SetAsString(m);
        if (i != 6) t->FieldByName("G")->SetAsString(g);
        t->Post();
        model[i] = {m, i == 6 ? std::string() : g};
    }
    for (int round = 0; round < 2; ++round) {
        for (t->First(); !t->GetEOF(); t->Next()) {
            const int id = t->FieldByName("Id")->GetAsInteger();
            EXPECT_EQ(t->FieldByName("M")->GetAsString(), model[id].first) << id;
            EXPECT_TRUE(t->FieldByName("G")->GetAsString() == model[id].second) << id;
        }
        // Swap the sizes around.
        for (int id = 0; id < 8; ++id) {
            ASSERT_TRUE(t->FindKey({Variant(id)}));
            const std::string g = bytes(sizes[(id + 5) % 8]);
            t->Edit();
            t->FieldByName("G")->SetAsString(g);
            t->FieldByName("M")->SetAsString("");
            t->Post();
            model[id] = {"", g};
        }
    }
    f.Check(*t);
}
