// Table maintenance: restructure against a model of the rows, reindex, record transfer, delete,
// rename and copy of tables and files, and the refusals while another connection (or process)
// has a table open.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

// One model row: field name (upper case) to its value as text, "<null>" for NULL.
using TRow = std::map<std::string, std::string>;
using TModel = std::map<int32_t, TRow>; // by ID

constexpr int32_t C_ROWS = 60;
const char* const C_NULL = "<null>";

std::string Text(const Variant& v) { return VarIsNull(v) ? std::string(C_NULL) : VarToStr(v); }

void DefineSample(TFieldDefs& f, TIndexDefs& i) {
    f.Add("ID", ftInteger, 0, true);
    f.Add("NAME", ftString, 20);
    f.Add("AMOUNT", ftFloat);
    f.Add("NOTE", ftMemo);
    i.Add("ixID", "ID", {ixUnique});
    i.Add("ixName", "NAME", {ixCaseInsensitive});
}

struct TFixture {
    TTempFile File{"maint.zan"};
    std::unique_ptr<TZanDataBase> Db;

    explicit TFixture(bool exclusive = true) {
        CreateDatabaseFile(File.Path);
        Db = NewDatabase(File.Path);
        Db->SetExclusive(exclusive);
        Db->Open();
    }
    ~TFixture() {
        Db.reset();
        unlink(ChangeFileExt(File.Path, ".zdx").c_str());
    }
    std::unique_ptr<TZanTable> Table(const std::string& name = "T") {
        auto t = std::make_unique<TZanTable>();
        t->SetDataBase(Db.get());
        t->SetTableName(name);
        return t;
    }
    void Create(const std::string& name,
                const std::function<void(TFieldDefs&, TIndexDefs&)>& define = DefineSample) {
        auto t = Table(name);
        define(t->GetFieldDefs(), t->GetIndexDefs());
        t->CreateTable();
    }
    // Rows 0..n-1: names in mixed case, whole amounts, a note on every third row.
    TModel Fill(const std::string& name = "T", int32_t n = C_ROWS) {
        TModel model;
        auto t = Table(name);
        t->Open();
        for (int32_t id = 0; id < n; ++id) {
            const int32_t k = (id * 37) % n;
            t->Append();
            t->FieldByName("ID")->SetAsInteger(k);
            const std::string nm = (k % 2 ? "Name-" : "name-") + std::to_string(1000 - k);
            t->FieldByName("NAME")->SetAsString(nm);
            t->FieldByName("AMOUNT")->SetValue(Variant(double(k * 3)));
            if (k % 3 == 0) t->FieldByName("NOTE")->SetAsString("note of " + std::to_string(k));
            t->Post();
            model[k] = {{"ID", std::to_string(k)},
                        {"NAME", nm},
                        {"AMOUNT", Text(Variant(double(k * 3)))},
                        {"NOTE", k % 3 == 0 ? "note of " + std::to_string(k) : C_NULL}};
        }
        return model;
    }
    // The rows as the table holds them, by ID, in the order of the index given.
    TModel Read(const std::string& name = "T", const std::string& index = "",
                std::vector<int32_t>* order = nullptr) {
        TModel rows;
        auto t = Table(name);
        t->SetIndexName(index);
        t->Open();
        for (t->First(); !t->GetEOF(); t->Next()) {
            TRow row;
            for (int i = 0; i < t->GetFieldCount(); ++i) {
                TField* f = t->GetFields().Fields(i);
                row[ZanAnsiUpperCase(f->GetFieldName())] =
                    f->IsNull() ? std::string(C_NULL) : f->GetAsString();
            }
            const int32_t id = int32_t(t->FieldByName("ID")->GetAsFloat());
            rows[id] = row;
            if (order) order->push_back(id);
        }
        return rows;
    }
    std::string Check() {
        std::vector<std::unique_ptr<TTableDef>> defs;
        std::vector<const TTableDef*> list;
        TStringList names;
        Db->GetTableNames(names);
        std::vector<std::string> all{"$SYSTBL_OBJECTIDREF", "$SYSTBL_INTGENERATOR"};
        for (int i = 0; i < names.Count(); ++i)
            all.push_back(names.Get(i));
        for (const std::string& name : all) {
            defs.push_back(std::make_unique<TTableDef>());
            Db->OpenTable(name, *defs.back());
            list.push_back(defs.back().get());
        }
        const auto problems = CheckDatabase(*Db->GetDiskMgr(), list);
        for (auto& d : defs)
            Db->CloseTable(*d);
        return ProblemText(problems);
    }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Restructure matrix

namespace {

struct TRestructureCase {
    const char* Name;
    std::function<void(TZanTable&)> Change;      // on the restructure definitions
    std::function<void(TRow&)> Transform;        // the same change on a model row
    TRestructureRecord Options;
    int32_t ExpectedFieldLevel;                   // for the record of what was graded
};

void RenameField(TRestructureFieldDefs& f, const char* from, const char* to) {
    f.Find(from)->SetName(to);
}

void MoveKey(TRow& row, const std::string& from, const std::string& to) {
    row[to] = row[from];
    row.erase(from);
}

} // namespace

class RestructureMatrix : public ::testing::TestWithParam<int> {};

const std::vector<TRestructureCase>& RestructureCases() {
    static const std::vector<TRestructureCase> cases = {
        {"RenameField",
         [](TZanTable& t) {
             RenameField(t.GetRestructureFieldDefs(), "NAME", "TITLE");
             t.GetRestructureIndexDefs().ReplaceFieldName("NAME", "TITLE");
         },
         [](TRow& r) { MoveKey(r, "NAME", "TITLE"); }, {}, 1},
        {"AddField",
         [](TZanTable& t) { t.GetRestructureFieldDefs().AddAndSetFieldDef("EXTRA", ftInteger, 0); },
         [](TRow& r) { r["EXTRA"] = C_NULL; }, {}, 2},
        {"DropField",
         [](TZanTable& t) {
             auto& f = t.GetRestructureFieldDefs();
             f.DeleteItem(f.Find("AMOUNT")->GetIndex());
         },
         [](TRow& r) { r.erase("AMOUNT"); }, {}, 4},
        {"RetypeLossless",
         [](TZanTable& t) { t.GetRestructureFieldDefs().Find("ID")->SetDataType(ftFloat); },
         [](TRow&) {}, {}, 4},
        {"RetypeLossy",
         [](TZanTable& t) {
             auto& f = t.GetRestructureFieldDefs();
             f.Find("AMOUNT")->SetDataType(ftInteger);
             f.Find("NAME")->SetSize(6);
         },
         [](TRow& r) { r["NAME"] = r["NAME"].substr(0, 6); }, {}, 5},
        {"RenameAndRetype",
         [](TZanTable& t) {
             auto* f = t.GetRestructureFieldDefs().Find("NAME");
             f->SetName("LABEL");
             f->SetDataType(ftMemo);
             f->SetSize(0);
             t.GetRestructureIndexDefs().DeleteItem(1);
         },
         [](TRow& r) { MoveKey(r, "NAME", "LABEL"); }, {}, 5},
        {"StringToInteger",
         [](TZanTable& t) {
             auto& f = t.GetRestructureFieldDefs();
             f.Find("NOTE")->SetDataType(ftInteger);
         },
         // Notes are not numbers: each is logged and left NULL.
         [](TRow& r) { r["NOTE"] = C_NULL; }, {}, 5},
        {"AddIndex",
         [](TZanTable& t) { t.GetRestructureIndexDefs().AddAndSetIndexDef("ixAmt", "AMOUNT", {}); },
         [](TRow&) {}, {}, 0},
        {"DropIndex", [](TZanTable& t) { t.GetRestructureIndexDefs().DeleteItem(1); },
         [](TRow&) {}, {}, 0},
        {"RenameIndex",
         [](TZanTable& t) { t.GetRestructureIndexDefs().Find("ixName")->SetName("ixTitle"); },
         [](TRow&) {}, {}, 0},
        {"DescendingAndCase",
         [](TZanTable& t) {
             auto* i = t.GetRestructureIndexDefs().Find("ixName");
             i->SetCaseInsFields("");
             i->SetOptions({});
             i->SetDescFields("NAME");
         },
         [](TRow&) {}, {}, 0},
        {"BlobSize", [](TZanTable&) {}, [](TRow&) {}, {false, encNone, false, false, true, 64}, 4},
        {"Encryption", [](TZanTable&) {}, [](TRow&) {}, {true, encWeak, false, false, false, 0},
         4},
        {"Compression", [](TZanTable&) {}, [](TRow&) {}, {false, encNone, true, true, false, 0},
         4},
    };
    return cases;
}

TEST_P(RestructureMatrix, RowsIndexesAndBackupFollowTheChange) {
    const TRestructureCase& c = RestructureCases()[size_t(GetParam())];
    SCOPED_TRACE(c.Name);
    TFixture fx;
    fx.Create("T");
    TModel model = fx.Fill();
    auto t = fx.Table();
    t->Open();
    std::vector<TBookmark> marks;
    for (t->First(); !t->GetEOF(); t->Next())
        marks.push_back(t->GetBookmark());
    c.Change(*t);
    t->Close();
    t->RestructureTable(c.Options);
    for (auto& [id, row] : model)
        c.Transform(row);
    EXPECT_EQ(fx.Read(), model);
    EXPECT_EQ(fx.Check(), "");
    // Every index holds every row, in its order.
    t->Open();
    TStringList names;
    t->GetIndexNames(names);
    for (int i = 0; i < names.Count(); ++i) {
        std::vector<int32_t> order;
        const TModel rows = fx.Read("T", names.Get(i), &order);
        EXPECT_EQ(rows.size(), model.size()) << names.Get(i);
        if (names.Get(i) == "ixID") {
            EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        }
        if (names.Get(i) == "ixName" && std::string(c.Name) == "DescendingAndCase") {
            std::vector<std::string> keys;
            for (int32_t id : order)
                keys.push_back(rows.at(id).at("NAME"));
            EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
                return DBANSICompareStrings(a.data(), int32_t(a.size()), b.data(),
                                            int32_t(b.size()), false, false) > 0;
            }));
        }
    }
    // A definition-only change rewrites no record: every bookmark still finds its row.
    if (c.ExpectedFieldLevel == 1) {
        for (const TBookmark& mark : marks)
            EXPECT_TRUE(t->BookmarkValid(mark));
    }
    t->Close();
    // The backup holds the old file.
    const std::string backup = ChangeFileExt(fx.File.Path, ".zdx");
    auto old = NewDatabase(backup);
    old->Open();
    TZanTable ot;
    ot.SetDataBase(old.get());
    ot.SetTableName("T");
    ot.Open();
    EXPECT_EQ(ot.GetFieldCount(), 4);
    EXPECT_EQ(ot.GetRecordCount(), C_ROWS);
    ot.Close();
    old.reset();
    unlink(UsersFileNameFor(backup).c_str());
}

INSTANTIATE_TEST_SUITE_P(Cases, RestructureMatrix,
                         ::testing::Range(0, int(RestructureCases().size())),
                         [](const auto& info) { return RestructureCases()[size_t(info.param)].Name; });
