// Two database components on one file used as an application uses them: table components on
// either connection insert, edit, delete, cancel and post rows (some refused by the unique index),
// one connection runs transactions that commit or roll back, and cursors of both connections kept
// open in other index orders, under a range and under a filter are compared with a row model after
// every step; the checker runs over the file every few steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

struct TApiRow {
    std::optional<std::string> Name;
    int32_t Grp = 0;
    std::string Note;
    friend bool operator==(const TApiRow&, const TApiRow&) = default;
};
using TApiModel = std::map<int32_t, TApiRow>;

std::string RowText(int32_t id, const TApiRow& r) {
    return std::to_string(id) + ":" + (r.Name ? *r.Name : "<null>") + ":" + std::to_string(r.Grp) +
           ":" + std::to_string(r.Note.size());
}

void CreateApiTable(TZanDataBase& db) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName("T");
    t.GetFieldDefs().Add("Id", ftInteger, 0, true);
    t.GetFieldDefs().Add("Name", ftString, 12);
    t.GetFieldDefs().Add("Grp", ftInteger);
    t.GetFieldDefs().Add("Note", ftMemo);
    t.GetIndexDefs().Add("ixId", "Id", {ixUnique});
    t.GetIndexDefs().Add("ixName", "Name", {});
    t.GetIndexDefs().Add("ixGrp", "Grp;Id", {}).SetDescFields("Grp");
    t.CreateTable();
}

std::unique_ptr<TZanTable> OpenApiTable(TZanDataBase& db, const std::string& index) {
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName("T");
    t->SetIndexName(index);
    t->Open();
    return t;
}

std::vector<std::string> Walk(TZanTable& t) {
    std::vector<std::string> rows;
    for (t.First(); !t.GetEOF(); t.Next()) {
        TApiRow r;
        if (!t.FieldByName("Name")->IsNull()) r.Name = t.FieldByName("Name")->GetAsString();
        r.Grp = t.FieldByName("Grp")->GetAsInteger();
        r.Note = t.FieldByName("Note")->GetAsString();
        rows.push_back(RowText(t.FieldByName("Id")->GetAsInteger(), r));
    }
    return rows;
}

// The rows a cursor must show: ixId ascending; ixName by name (NULL first), ties by insertion, so
// compared as sorted texts after checking the key order; ixGrp by Grp descending then Id.
std::vector<std::string> Expected(const TApiModel& m, const std::string& index,
                                  int32_t lo = INT32_MIN, int32_t hi = INT32_MAX,
                                  int32_t grp = -1) {
    std::vector<std::pair<int32_t, const TApiRow*>> rows;
    for (const auto& [id, r] : m)
        if (id >= lo && id <= hi && (grp < 0 || r.Grp == grp)) rows.push_back({id, &r});
    if (index == "ixGrp")
        std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
            if (a.second->Grp != b.second->Grp) return a.second->Grp > b.second->Grp;
            return a.first < b.first;
        });
    std::vector<std::string> out;
    for (const auto& [id, r] : rows)
        out.push_back(RowText(id, *r));
    if (index == "ixName") std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> NameOrderChecked(TZanTable& t) {
    std::vector<std::string> rows = Walk(t);
    std::vector<std::string> names;
    for (const std::string& row : rows) {
        const size_t a = row.find(':'), b = row.find(':', a + 1);
        names.push_back(row.substr(a + 1, b - a - 1));
    }
    for (size_t i = 1; i < names.size(); ++i) {
        const bool prevNull = names[i - 1] == "<null>", curNull = names[i] == "<null>";
        EXPECT_TRUE(prevNull || (!curNull && names[i - 1] <= names[i]))
            << names[i - 1] << " before " << names[i];
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

TApiRow RandomRow(std::mt19937& random) {
    TApiRow r;
    static const char* names[] = {"alpha", "beta", "gamma", "delta", "", "zeta", "alpha"};
    if (random() % 5 != 0) r.Name = names[random() % 7];
    r.Grp = int32_t(random() % 4);
    const int size = random() % 4 == 0 ? int(random() % 9000) : int(random() % 40);
    r.Note = std::string(size_t(size), char('a' + random() % 26));
    return r;
}

void SetFields(TZanTable& t, int32_t id, const TApiRow& r) {
    t.FieldByName("Id")->SetAsInteger(id);
    if (r.Name)
        t.FieldByName("Name")->SetAsString(*r.Name);
    else
        t.FieldByName("Name")->Clear();
    t.FieldByName("Grp")->SetAsInteger(r.Grp);
    t.FieldByName("Note")->SetAsString(r.Note);
}

} // namespace

TEST(ApiModel, TwoConnectionsTransactionsAndOpenCursorsFollowTheModel) {
    TTempFile file("api_model.zan");
    CreateDatabaseFile(file.Path);
    auto dbA = NewDatabase(file.Path);
    dbA->Open();
    CreateApiTable(*dbA);
    auto dbB = NewDatabase(file.Path);
    dbB->Open();
    auto a = OpenApiTable(*dbA, "ixId");
    auto b = OpenApiTable(*dbB, "ixId");
    auto aName = OpenApiTable(*dbA, "ixName");
    auto bGrp = OpenApiTable(*dbB, "ixGrp");
    auto bRange = OpenApiTable(*dbB, "ixId");
    int32_t rangeLo = 10;
    bRange->SetRange({Variant(rangeLo)}, {Variant(rangeLo + 15)});
    auto aFilter = OpenApiTable(*dbA, "ixId");
    aFilter->SetFilter("Grp = 2");
    aFilter->SetFiltered(true);

    const char* seedText = std::getenv("ZAN_API_SEED");
    std::mt19937 random(seedText ? uint32_t(std::stoul(seedText)) : 20261209u);
    TApiModel committed, model;
    bool inTx = false;
    int refused = 0, done = 0;
    for (int step = 0; step < 450; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        // While A is in a transaction only A writes.
        const bool useA = inTx || random() % 2 == 0;
        TZanTable& t = useA ? *a : *b;
        const int op = int(random() % 10);
        const int32_t id = int32_t(1 + random() % 40);
        std::string what;
        if (op <= 2) { // insert, or a refused duplicate
            const TApiRow r = RandomRow(random);
            what = "insert " + RowText(id, r);
            t.Insert();
            SetFields(t, id, r);
            const int32_t code = ErrorCodeOf([&] { t.Post(); });
            if (model.count(id)) {
                EXPECT_NE(code, 0) << what;
                t.Cancel();
                ++refused;
            } else {
                EXPECT_EQ(code, 0) << what;
                if (code == 0) model[id] = r;
            }
        } else if (op <= 4 && !model.empty()) { // edit, the key too at times
            auto it = model.begin();
            std::advance(it, random() % model.size());
            const int32_t oldId = it->first;
            const int32_t newId = random() % 3 == 0 ? id : oldId;
            const TApiRow r = RandomRow(random);
            what = "edit " + std::to_string(oldId) + " to " + RowText(newId, r);
            ASSERT_TRUE(t.Locate("Id", Variant(oldId), {})) << what;
            t.Edit();
            SetFields(t, newId, r);
            const int32_t code = ErrorCodeOf([&] { t.Post(); });
            if (newId != oldId && model.count(newId)) {
                EXPECT_NE(code, 0) << what;
                t.Cancel();
                ++refused;
            } else {
                EXPECT_EQ(code, 0) << what;
                if (code == 0) {
                    model.erase(oldId);
                    model[newId] = r;
                }
            }
        } else if (op == 5 && !model.empty()) { // delete
            auto it = model.begin();
            std::advance(it, random() % model.size());
            what = "delete " + std::to_string(it->first);
            ASSERT_TRUE(t.Locate("Id", Variant(it->first), {})) << what;
            t.Delete();
            model.erase(it);
        } else if (op == 6 && !model.empty()) { // an edit or insert cancelled
            what = "cancel";
            if (random() % 2) {
                t.First();
                t.Edit();
            } else {
                t.Insert();
            }
            SetFields(t, id, RandomRow(random));
            t.Cancel();
        } else if (op == 7) { // transaction bounds on A
            if (!inTx) {
                what = "start";
                dbA->StartTransaction();
                inTx = true;
                committed = model;
            } else if (random() % 2) {
                what = "commit";
                dbA->Commit();
                inTx = false;
            } else {
                what = "rollback";
                dbA->Rollback();
                inTx = false;
                model = committed;
            }
        } else {
            what = "range and filter change";
            rangeLo = int32_t(random() % 40);
            bRange->SetRange({Variant(rangeLo)}, {Variant(rangeLo + 15)});
            aFilter->SetFilter("Grp = " + std::to_string(random() % 4));
        }
        SCOPED_TRACE(what);
        if (std::getenv("ZAN_API_TRACE"))
            std::printf("%d %s %s\n", step, useA ? "A" : "B", what.c_str());
        ++done;
        // Cursors of the connection in the transaction see its changes, the other sees the
        // committed rows.
        const TApiModel& seenByB = inTx ? committed : model;
        a->Refresh();
        EXPECT_EQ(Walk(*a), Expected(model, "ixId"));
        aName->Refresh();
        EXPECT_EQ(NameOrderChecked(*aName), Expected(model, "ixName"));
        const int32_t grp = std::stoi(aFilter->GetFilter().substr(6));
        aFilter->Refresh();
        EXPECT_EQ(Walk(*aFilter), Expected(model, "ixId", INT32_MIN, INT32_MAX, grp));
        if (!inTx) {
            b->Refresh();
            EXPECT_EQ(Walk(*b), Expected(seenByB, "ixId"));
            bGrp->Refresh();
            EXPECT_EQ(Walk(*bGrp), Expected(seenByB, "ixGrp"));
            bRange->Refresh();
            EXPECT_EQ(Walk(*bRange), Expected(seenByB, "ixId", rangeLo, rangeLo + 15));
        }
        if (!inTx && step % 25 == 0) {
            auto problems = CheckDatabase(*dbA->GetDiskMgr(), {&a->GetTableDef()});
            ASSERT_TRUE(problems.empty()) << ProblemText(problems);
        }
        if (::testing::Test::HasFailure()) break;
    }
    if (inTx) dbA->Commit();
    b->Refresh();
    EXPECT_EQ(Walk(*b), Expected(model, "ixId"));
    auto problems = CheckDatabase(*dbA->GetDiskMgr(), {&a->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    EXPECT_GT(refused, 10);
    EXPECT_EQ(done, 450);
}

// A memo or blob set on a record being inserted or edited reaches the file whatever the cursor
// read between the change and the post: an insert among rows, an append after rows, an edit while
// another connection changed the table.
TEST(ApiModel, BlobValuesOfInsertsAndEditsSurviveThePost) {
    TTempFile file("api_blobs.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->Open();
    CreateApiTable(*db);
    auto other = NewDatabase(file.Path);
    other->Open();
    auto a = OpenApiTable(*db, "ixId");
    auto b = OpenApiTable(*other, "ixId");
    a->Insert();
    SetFields(*a, 39, TApiRow{"delta", 1, std::string(28, 'q')});
    a->Post();
    a->Insert(); // before the row shown
    SetFields(*a, 17, TApiRow{"alpha", 1, std::string(34, 'q')});
    a->Post();
    a->Append(); // after the rows
    SetFields(*a, 50, TApiRow{"beta", 2, std::string(5000, 'q')});
    a->Post();
    a->First();
    a->Insert();
    a->FieldByName("Id")->SetAsInteger(5);
    a->FieldByName("Note")->SetAsString(std::string(7, 'q'));
    a->Post();
    // An edit whose post comes after another connection changed the table.
    ASSERT_TRUE(a->Locate("Id", Variant(39), {}));
    a->Edit();
    a->FieldByName("Note")->SetAsString(std::string(99, 'q'));
    b->AppendRecord({Variant(60), Variant("other"), Variant(3)});
    a->Post();
    ASSERT_TRUE(a->Locate("Id", Variant(50), {}));
    a->Edit();
    a->FieldByName("Note")->Clear();
    b->First();
    b->Edit();
    b->FieldByName("Grp")->SetAsInteger(4);
    b->Post();
    a->Post();
    const std::vector<std::string> want = {"5:<null>:4:7", "17:alpha:1:34", "39:delta:1:99",
                                           "50:beta:2:0", "60:other:3:0"};
    b->Refresh();
    EXPECT_EQ(Walk(*b), want);
    auto problems = CheckDatabase(*db->GetDiskMgr(), {&a->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}

namespace {

// One step of the two-process model, drawn alike in both processes from the shared seed: which
// process acts and what it does. Answers the outcome ('o' done, 'r' refused).
struct TSharedStep {
    int Actor;
    int Op;
    int32_t Id;
    size_t Pick;
    TApiRow Row;
};

TSharedStep DrawStep(std::mt19937& random) {
    TSharedStep s;
    s.Actor = int(random() % 2);
    s.Op = int(random() % 6);
    s.Id = int32_t(1 + random() % 30);
    s.Pick = size_t(random());
    s.Row = RandomRow(random);
    return s;
}

char RunStep(TZanTable& t, const TSharedStep& s, const TApiModel& model) {
    if (s.Op <= 2) {
        t.Insert();
        SetFields(t, s.Id, s.Row);
        const int32_t code = ErrorCodeOf([&] { t.Post(); });
        if (code != 0) t.Cancel();
        return code == 0 ? 'o' : 'r';
    }
    if (model.empty()) return 'o';
    auto it = model.begin();
    std::advance(it, s.Pick % model.size());
    if (!t.Locate("Id", Variant(it->first), {})) return 'n';
    if (s.Op == 5) {
        t.Delete();
        return 'o';
    }
    t.Edit();
    SetFields(t, s.Op == 4 ? s.Id : it->first, s.Row);
    const int32_t code = ErrorCodeOf([&] { t.Post(); });
    if (code != 0) t.Cancel();
    return code == 0 ? 'o' : 'r';
}

// The outcome the model expects, and the model after it.
char Apply(TApiModel& model, const TSharedStep& s) {
    if (s.Op <= 2) {
        if (model.count(s.Id)) return 'r';
        model[s.Id] = s.Row;
        return 'o';
    }
    if (model.empty()) return 'o';
    auto it = model.begin();
    std::advance(it, s.Pick % model.size());
    const int32_t oldId = it->first;
    if (s.Op == 5) {
        model.erase(it);
        return 'o';
    }
    const int32_t newId = s.Op == 4 ? s.Id : oldId;
    if (newId != oldId && model.count(newId)) return 'r';
    model.erase(oldId);
    model[newId] = s.Row;
    return 'o';
}

bool ViewsMatch(TZanTable& byId, TZanTable& byName, const TApiModel& model) {
    byId.Refresh();
    byName.Refresh();
    return Walk(byId) == Expected(model, "ixId") &&
           NameOrderChecked(byName) == Expected(model, "ixName");
}

} // namespace

// Two processes take turns on one file, each with a cursor in key order and one in name order
// kept open and positioned between turns; both check their cursors against the model after every
// step.
TEST(ApiModel, TwoProcessesTakeTurnsAgainstTheModel) {
    TTempFile file("api_model_fork.zan");
    CreateDatabaseFile(file.Path);
    {
        auto db = NewDatabase(file.Path);
        db->Open();
        CreateApiTable(*db);
    }
    // ZAN_API_SEED and ZAN_API_STEPS run other sequences.
    const char* seedText = std::getenv("ZAN_API_SEED");
    const char* stepsText = std::getenv("ZAN_API_STEPS");
    const uint32_t C_SEED = seedText ? uint32_t(std::stoul(seedText)) : 4242;
    const int C_STEPS = stepsText ? std::stoi(stepsText) : 160;
    TChildProcess child([&](TChildProcess& self) {
        auto db = NewDatabase(file.Path);
        db->Open();
        auto t = OpenApiTable(*db, "ixId");
        auto byName = OpenApiTable(*db, "ixName");
        std::mt19937 random(C_SEED);
        TApiModel model;
        for (int step = 0; step < C_STEPS; ++step) {
            const TSharedStep s = DrawStep(random);
            TApiModel before = model;
            const char want = Apply(model, s);
            char got;
            if (s.Actor == 1) {
                got = RunStep(*t, s, before);
                self.Send(got);
            } else {
                got = self.Receive();
            }
            if (got != want) return 10;
            const bool ok = ViewsMatch(*t, *byName, model);
            self.Send(ok ? 'v' : 'x');
            if (!ok) return 11;
            if (self.Receive() != 'n') return 12;
        }
        return 0;
    });
    auto db = NewDatabase(file.Path);
    db->Open();
    auto t = OpenApiTable(*db, "ixId");
    auto byName = OpenApiTable(*db, "ixName");
    std::mt19937 random(C_SEED);
    TApiModel model;
    for (int step = 0; step < C_STEPS; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const TSharedStep s = DrawStep(random);
        TApiModel before = model;
        const char want = Apply(model, s);
        char got;
        if (s.Actor == 0) {
            got = RunStep(*t, s, before);
            child.Send(got);
        } else {
            got = child.Receive();
        }
        ASSERT_EQ(got, want) << "actor " << s.Actor << " op " << s.Op;
        ASSERT_TRUE(ViewsMatch(*t, *byName, model));
        ASSERT_EQ(child.Receive(), 'v');
        child.Send('n');
    }
    EXPECT_EQ(child.Wait(), 0);
    auto problems = CheckDatabase(*db->GetDiskMgr(), {&t->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}
