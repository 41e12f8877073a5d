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
#include "security_test_support.h"
#include "support/zanCheckFile.h"

using namespace zan;

namespace {

// One model row: field name (upper case) to its value as text, "<null>" for NULL.
using TRow = std::map<std::string, std::string>;
using TModel = std::map<int32_t, TRow>; // by ID

constexpr int32_t C_ROWS = 60;
const char* const C_NULL = "<null>";

std::string Text(const Variant& v) {
    return VarIsNull(v) ? std::string(C_NULL) : VarToStr(v);
}

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
    std::string Check() { return CheckFile(*Db); }
};

} // namespace

namespace {

// A forked process connected to the file, with the table open when one is named, until
// Release.
class THoldingChild {
public:
    THoldingChild(const std::string& path, const std::string& table) {
        if (pipe(FReady) != 0 || pipe(FDone) != 0) throw std::runtime_error("pipe");
        FChild = std::make_unique<TChildProcess>([this, path, table](TChildProcess&) {
            auto own = NewDatabase(path);
            own->Open();
            TZanTable t;
            t.SetDataBase(own.get());
            t.SetTableName(table);
            if (!table.empty()) t.Open();
            char c = 1;
            if (write(FReady[1], &c, 1) != 1) return 2;
            if (read(FDone[0], &c, 1) != 1) return 3;
            return table.empty() || t.GetActive() ? 0 : 4;
        });
        char c = 0;
        if (read(FReady[0], &c, 1) != 1) throw std::runtime_error("child not ready");
    }
    ~THoldingChild() {
        if (FChild) Release();
        for (int fd : {FReady[0], FReady[1], FDone[0], FDone[1]})
            close(fd);
    }
    // Lets the child end; answers its exit code.
    int Release() {
        char c = 1;
        if (write(FDone[1], &c, 1) != 1) return -1;
        const int code = FChild->Wait();
        FChild.reset();
        return code;
    }

private:
    int FReady[2] = {-1, -1};
    int FDone[2] = {-1, -1};
    std::unique_ptr<TChildProcess> FChild;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Restructure matrix

namespace {

struct TRestructureCase {
    const char* Name;
    std::function<void(TZanTable&)> Change; // on the restructure definitions
    std::function<void(TRow&)> Transform;   // the same change on a model row
    TRestructureRecord Options;
    int32_t ExpectedFieldLevel; // for the record of what was graded
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
         [](TRow& r) { MoveKey(r, "NAME", "TITLE"); },
         {},
         1},
        {"AddField",
         [](TZanTable& t) { t.GetRestructureFieldDefs().AddAndSetFieldDef("EXTRA", ftInteger, 0); },
         [](TRow& r) { r["EXTRA"] = C_NULL; },
         {},
         2},
        {"DropField",
         [](TZanTable& t) {
             auto& f = t.GetRestructureFieldDefs();
             f.DeleteItem(f.Find("AMOUNT")->GetIndex());
         },
         [](TRow& r) { r.erase("AMOUNT"); },
         {},
         4},
        {"RetypeLossless",
         [](TZanTable& t) { t.GetRestructureFieldDefs().Find("ID")->SetDataType(ftFloat); },
         [](TRow&) {},
         {},
         4},
        {"RetypeLossy",
         [](TZanTable& t) {
             auto& f = t.GetRestructureFieldDefs();
             f.Find("AMOUNT")->SetDataType(ftInteger);
             f.Find("NAME")->SetSize(6);
         },
         [](TRow& r) { r["NAME"] = r["NAME"].substr(0, 6); },
         {},
         5},
        {"RenameAndRetype",
         [](TZanTable& t) {
             auto* f = t.GetRestructureFieldDefs().Find("NAME");
             f->SetName("LABEL");
             f->SetDataType(ftMemo);
             f->SetSize(0);
             t.GetRestructureIndexDefs().DeleteItem(1);
         },
         [](TRow& r) { MoveKey(r, "NAME", "LABEL"); },
         {},
         5},
        {"StringToInteger",
         [](TZanTable& t) {
             auto& f = t.GetRestructureFieldDefs();
             f.Find("NOTE")->SetDataType(ftInteger);
         },
         // Notes are not numbers: each is logged and left NULL.
         [](TRow& r) { r["NOTE"] = C_NULL; },
         {},
         5},
        {"MemoToShortString",
         [](TZanTable& t) {
             auto* f = t.GetRestructureFieldDefs().Find("NOTE");
             f->SetDataType(ftString);
             f->SetSize(6);
         },
         // A memo's text is cut at the new size as a string's is, not lost.
         [](TRow& r) {
             if (r["NOTE"] != C_NULL) r["NOTE"] = r["NOTE"].substr(0, 6);
         },
         {},
         5},
        {"AddIndex",
         [](TZanTable& t) { t.GetRestructureIndexDefs().AddAndSetIndexDef("ixAmt", "AMOUNT", {}); },
         [](TRow&) {},
         {},
         0},
        {"DropIndex",
         [](TZanTable& t) { t.GetRestructureIndexDefs().DeleteItem(1); },
         [](TRow&) {},
         {},
         0},
        {"RenameIndex",
         [](TZanTable& t) { t.GetRestructureIndexDefs().Find("ixName")->SetName("ixTitle"); },
         [](TRow&) {},
         {},
         0},
        {"DescendingAndCase",
         [](TZanTable& t) {
             auto* i = t.GetRestructureIndexDefs().Find("ixName");
             i->SetCaseInsFields("");
             i->SetOptions({});
             i->SetDescFields("NAME");
         },
         [](TRow&) {},
         {},
         0},
        {"BlobSize", [](TZanTable&) {}, [](TRow&) {}, {false, encNone, false, false, true, 64}, 4},
        {"Encryption", [](TZanTable&) {}, [](TRow&) {}, {true, encWeak, false, false, false, 0}, 4},
        {"Compression", [](TZanTable&) {}, [](TRow&) {}, {false, encNone, true, true, false, 0}, 4},
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
                         ::testing::Range(0, int(RestructureCases().size())), [](const auto& info) {
                             return RestructureCases()[size_t(info.param)].Name;
                         });

// ---------------------------------------------------------------------------------------------
// Definition checks and index refusals

TEST(Maintenance, PrecisionOnlyChangeKeepsEverything) {
    TFixture fx;
    fx.Create("T");
    const TModel model = fx.Fill();
    auto t = fx.Table();
    t->Open();
    t->GetRestructureFieldDefs().Find("AMOUNT")->SetPrecision(4);
    t->Close();
    EXPECT_EQ(ErrorCodeOf([&] { t->RestructureTable({}); }), 0);
    EXPECT_EQ(fx.Read(), model);
    EXPECT_TRUE(std::filesystem::exists(ChangeFileExt(fx.File.Path, ".zdx")));
}

TEST(Maintenance, RefusedDefinitionsChangeNothing) {
    TFixture fx;
    fx.Create("T");
    const TModel model = fx.Fill();
    auto t = fx.Table();
    // A memo key, through each path.
    EXPECT_EQ(ErrorCodeOf([&] { t->AddIndex("ixNote", "NOTE", {}); }), 10117);
    EXPECT_FALSE(t->GetActive());
    t->Open();
    t->GetRestructureIndexDefs().AddAndSetIndexDef("ixNote", "NOTE", {});
    t->Close();
    EXPECT_EQ(ErrorCodeOf([&] { t->RestructureTable({}); }), 10117);
    EXPECT_EQ(ErrorCodeOf([&] {
                  fx.Create("U", [](TFieldDefs& f, TIndexDefs& i) {
                      f.Add("M", ftMemo);
                      i.Add("ixM", "M", {});
                  });
              }),
              10117);
    struct TCase {
        const char* Name;
        std::function<void(TZanTable&)> Change;
        TRestructureRecord Options;
        int32_t Code;
    } cases[] = {
        {"missing key field",
         [](TZanTable& t) { t.GetRestructureIndexDefs().AddAndSetIndexDef("ix", "NOPE", {}); },
         {},
         9996},
        {"key over 500 bytes",
         [](TZanTable& t) {
             t.GetRestructureFieldDefs().AddAndSetFieldDef("WIDE", ftString, 250);
             t.GetRestructureFieldDefs().AddAndSetFieldDef("WIDE2", ftString, 250);
             t.GetRestructureIndexDefs().AddAndSetIndexDef("ix", "WIDE;WIDE2", {});
         },
         {},
         9996},
        {"blob size 63", [](TZanTable&) {}, {false, encNone, false, false, true, 63}, 10029},
        {"blob size 65537", [](TZanTable&) {}, {false, encNone, false, false, true, 65537}, 10029},
        {"no fields",
         [](TZanTable& t) {
             auto& f = t.GetRestructureFieldDefs();
             while (f.Count() > 0)
                 f.DeleteItem(0);
             t.GetRestructureIndexDefs().Clear();
         },
         {},
         9492},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        t->Open();
        c.Change(*t);
        t->Close();
        EXPECT_EQ(ErrorCodeOf([&] { t->RestructureTable(c.Options); }), c.Code);
        t->Open(); // drops the restructure definitions
        t->Close();
        EXPECT_EQ(fx.Read(), model);
    }
    std::string message;
    EXPECT_EQ(ErrorCodeOf(
                  [&] {
                      t->RestructureTable({false, encNone, false, false, true, 63});
                  },
                  &message),
              10029);
    EXPECT_NE(message.find("63 is not a valid value (min. length 64, max. length 65536) bytes"),
              std::string::npos)
        << message;
    t->Open();
    EXPECT_THROW(t->RestructureTable({}), EDatabaseError);
}

// ---------------------------------------------------------------------------------------------
// Reindex

TEST(Maintenance, ReIndexLeavesDuplicatesOutOnlyWhenAsked) {
    TFixture fx;
    fx.Create("T", [](TFieldDefs& f, TIndexDefs& i) {
        f.Add("ID", ftInteger, 0, true);
        f.Add("NAME", ftString, 20);
        i.Add("ixName", "NAME", {});
    });
    auto t = fx.Table();
    t->Open();
    for (int32_t id = 0; id < 300; ++id) {
        t->Append();
        t->FieldByName("ID")->SetAsInteger(id % 250); // 50 duplicates of ID
        t->FieldByName("NAME")->SetAsString("n" + std::to_string(id));
        t->Post();
    }
    // A unique index over the duplicates: the restructure reindexes leaving them out.
    t->AddIndex("ixID", "ID", {ixUnique});
    EXPECT_TRUE(t->GetActive());
    t->SetIndexName("ixID");
    EXPECT_EQ(t->GetRecordCount(), 250);
    std::vector<int32_t> seen;
    int32_t cancelAt = -1;
    t->OnUpdateProgress = [&](int32_t percent, bool& cancel) {
        seen.push_back(percent);
        if (percent == cancelAt) cancel = true;
    };
    EXPECT_EQ(ErrorCodeOf([&] { t->ReIndex(false); }), 9729);
    seen.clear();
    t->ReIndex(true);
    EXPECT_EQ(t->GetRecordCount(), 250);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "strictly rising";
    EXPECT_EQ(seen.back(), 100);
    // Cancel stops the loop: the records after it are in no index.
    seen.clear();
    cancelAt = 10;
    t->ReIndex(true);
    EXPECT_EQ(seen.back(), 10);
    EXPECT_LT(t->GetRecordCount(), 50);
    t->OnUpdateProgress = nullptr;
    t->ReIndex(true);
    EXPECT_EQ(t->GetRecordCount(), 250);
    // A filter is applied again to the new indexes.
    t->SetFilter("ID >= 200");
    t->SetFiltered(true);
    EXPECT_EQ(t->GetRecordCount(), 50);
    t->Next();
    t->ReIndex(true);
    EXPECT_EQ(t->GetRecordCount(), 50);
    EXPECT_TRUE(t->GetBOF());
    EXPECT_EQ(t->FieldByName("ID")->GetAsInteger(), 200);
    t->SetFiltered(false);
    const auto log = fx.Db->GetLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("left out of the indexes: key violation in Index ixID") !=
               std::string::npos;
    }));
}

// The table stands on a row that a new unique index leaves out: adding the index keeps the
// table open on a row it can reach (that row when kept, else the first one).
TEST(Maintenance, AddIndexStandingOnARowTheIndexLeavesOut) {
    for (const std::string target : {"r3", "dup"}) {
        SCOPED_TRACE(target);
        TFixture fx;
        fx.Create("T", [](TFieldDefs& f, TIndexDefs& i) {
            f.Add("ID", ftInteger, 0, true);
            f.Add("NAME", ftString, 20);
            i.Add("ixName", "NAME", {});
        });
        auto t = fx.Table();
        t->Open();
        for (int32_t id = 1; id <= 6; ++id)
            t->AppendRecord({Variant(id), Variant("r" + std::to_string(id))});
        t->AppendRecord({Variant(3), Variant("dup")});
        t->First();
        while (!t->GetEOF() && t->FieldByName("NAME")->GetAsString() != target)
            t->Next();
        ASSERT_EQ(t->FieldByName("NAME")->GetAsString(), target);
        t->AddIndex("ixID", "ID", {ixUnique});
        ASSERT_TRUE(t->GetActive());
        const std::string at = t->FieldByName("NAME")->GetAsString();
        t->First();
        if (at != target) {
            EXPECT_EQ(at, t->FieldByName("NAME")->GetAsString());
        }
        int rows = 0;
        for (; !t->GetEOF(); t->Next())
            ++rows;
        EXPECT_EQ(rows, 6);
    }
}

// ---------------------------------------------------------------------------------------------
// Record transfer

TEST(Maintenance, CopyRawTableDataLogsAndHoldsTheDestination) {
    TFixture fx(false);
    fx.Create("T");
    fx.Fill("T", 250);
    fx.Create("D", [](TFieldDefs& f, TIndexDefs&) {
        f.Add("ID", ftInteger, 0, true);
        f.Add("AMOUNT", ftString, 10);
        f.Add("NOTE", ftInteger);
        f.Add("OTHER", ftString, 5);
    });
    fx.Db->ClearLog();
    TZanDataSet src, dest;
    src.SetDataBase(fx.Db.get());
    src.SetTableName("T");
    src.DataSetOpen();
    dest.SetDataBase(fx.Db.get());
    dest.SetTableName("D");
    dest.DataSetOpen();
    auto other = NewDatabase(fx.File.Path);
    other->SetLockRetryMaximum(2);
    other->Open();
    int32_t refused = 0;
    src.OnUpdateProgress = [&](int32_t percent, bool&) {
        if (percent != 50) return;
        TZanTable d;
        d.SetDataBase(other.get());
        d.SetTableName("D");
        refused = ErrorCodeOf([&] {
            d.Open();
            d.Append();
            d.FieldByName("ID")->SetAsInteger(-1);
            d.Post();
        });
    };
    src.CopyRawTableData(&dest);
    EXPECT_EQ(refused, 10249);
    EXPECT_EQ(dest.GetTotalRecordCount(), 250);
    std::vector<std::string> texts;
    for (const std::string& line : fx.Db->GetLog()) {
        const size_t at = line.find(" : ");
        texts.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    auto has = [&](const std::string& text) {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };
    for (const char* golden :
         {"Copying record data - Starting", "Importing data - field mapping...", "ID -> ID",
          "AMOUNT -> AMOUNT", "NOTE -> NOTE", "Records Copied 250", "Copying record data - Done"})
        EXPECT_TRUE(has(golden)) << golden;
    EXPECT_FALSE(has("NAME -> NAME"));
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
        return t.rfind("Found ", 0) == 0 &&
               t.find(" records (including unallocated and deleted records)") != std::string::npos;
    }));
    // Row 3's note is not a number: logged with the conversion text, the field left NULL.
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
        return t.find(": Error converting NOTE (ftMemo) to NOTE (ftInteger)). Message: ") !=
               std::string::npos;
    }));
}

// ---------------------------------------------------------------------------------------------
// Catalogue: delete, rename, index add and drop

TEST(Maintenance, DeleteTableFreesPagesAndReferences) {
    TFixture fx;
    fx.Create("T");
    fx.Create("Keep");
    fx.Fill();
    TTableDef def;
    fx.Db->QueryTableDef("T", false, def);
    const uint32_t id = uint32_t(def.GetTableID());
    ASSERT_GT(fx.Db->GetObjectID("T"), 0);
    {
        auto t = fx.Table();
        t->Open();
        EXPECT_EQ(ErrorCodeOf([&] { fx.Db->DeleteTable("T"); }), 10053);
    }
    auto nonExclusive = NewDatabase(fx.File.Path);
    EXPECT_EQ(ErrorCodeOf([&] { fx.Db->DeleteTable("Nope"); }), 10024);
    fx.Db->DeleteTable("T");
    TStringList pages;
    fx.Db->GetDiskMgr()->DebugListOwnedPages(id, 0, false, pages);
    EXPECT_EQ(pages.Count(), 0);
    EXPECT_EQ(fx.Db->GetObjectID("T"), -1);
    EXPECT_EQ(TableNames(*fx.Db), std::vector<std::string>{"Keep"});
    EXPECT_EQ(ErrorCodeOf([&] { fx.Table()->Open(); }), 10024);
    EXPECT_EQ(fx.Check(), "");
    // The name is free again.
    fx.Create("T");
    EXPECT_EQ(fx.Fill().size(), size_t(C_ROWS));
    fx.Db->Close();
    fx.Db->SetExclusive(false);
    fx.Db->Open();
    EXPECT_EQ(ErrorCodeOf([&] { fx.Db->DeleteTable("T"); }), 10121);
}

TEST(Maintenance, RenameTableRules) {
    TFixture fx;
    fx.Create("T");
    fx.Create("Other");
    const TModel model = fx.Fill();
    const int32_t objectID = fx.Db->GetObjectID("T");
    const std::string name40(40, 'n'), name41(41, 'n');
    struct TCase {
        std::string From, To;
        int32_t Code;
    } cases[] = {
        {"T", "Other", 13060}, {"T", "$Sys", 10041}, {"T", name41, 10039},   {"Nope", "X", 10024},
        {"T", "t", 0},         {"t", name40, 0},     {name40, "Renamed", 0},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ErrorCodeOf([&] { fx.Db->RenameTable(c.From, c.To); }), c.Code)
            << c.From << " -> " << c.To;
    EXPECT_EQ(fx.Read("Renamed"), model);
    EXPECT_EQ(fx.Db->GetObjectID("Renamed"), objectID);
    EXPECT_EQ(fx.Db->GetObjectID("T"), -1);
    EXPECT_EQ(TableNames(*fx.Db), (std::vector<std::string>{"Other", "Renamed"}));
    auto t = fx.Table("Renamed");
    t->Open();
    EXPECT_EQ(ErrorCodeOf([&] { fx.Db->RenameTable("Renamed", "Again"); }), 10119);
    t->Close();
    EXPECT_EQ(fx.Check(), "");
}

TEST(Maintenance, AddAndDeleteIndexRestoreStateAndPosition) {
    TFixture fx;
    fx.Create("T");
    fx.Fill();
    auto t = fx.Table();
    t->AddIndex("ixAmt", "AMOUNT", {}, "AMOUNT");
    EXPECT_FALSE(t->GetActive());
    t->Open();
    EXPECT_NE(t->GetIndexDefs().IndexOf("ixAmt"), -1);
    t->SetIndexName("ixName");
    t->First();
    t->MoveBy(17);
    const int32_t id = t->FieldByName("ID")->GetAsInteger();
    t->DeleteIndex("ixAmt");
    EXPECT_TRUE(t->GetActive());
    EXPECT_EQ(t->GetIndexName(), "ixName");
    EXPECT_EQ(t->FieldByName("ID")->GetAsInteger(), id);
    EXPECT_EQ(t->GetIndexDefs().IndexOf("ixAmt"), -1);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { t->DeleteIndex("ixAmt"); }, &message), 9997);
    EXPECT_NE(message.find("Index ixAmt"), std::string::npos);
    // Dropping the current index leaves the table on its first index.
    t->DeleteIndex("ixName");
    EXPECT_TRUE(t->GetActive());
    EXPECT_EQ(t->GetIndexName(), "ixID");
    EXPECT_EQ(t->GetRecordCount(), C_ROWS);
}

// ---------------------------------------------------------------------------------------------
// Whole files

TEST(Maintenance, CopyDatabaseRefusesTheSourceUnderAnyName) {
    TTempFile file("copysrc.zan"), dest("copydst.zan"), link("copylink.zan"), hard("copyhard.zan");
    CreateFileWithTables(file.Path, {"T"});
    chmod(file.Path.c_str(), 0640);
    auto db = NewDatabase(file.Path);
    const std::string dir = std::filesystem::path(file.Path).parent_path().string();
    const std::string dotted = dir + "/./" + std::filesystem::path(file.Path).filename().string();
    ASSERT_EQ(symlink(file.Path.c_str(), link.Path.c_str()), 0);
    ASSERT_EQ(::link(file.Path.c_str(), hard.Path.c_str()), 0);
    for (const std::string& same : {file.Path, dotted, link.Path, hard.Path})
        EXPECT_EQ(ErrorCodeOf([&] { db->CopyDatabase(same, true); }), 9344) << same;
    db->CopyDatabase(dest.Path, false);
    struct stat st {};
    ASSERT_EQ(stat(dest.Path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { db->CopyDatabase(dest.Path, false); }, &message), 1);
    EXPECT_NE(message.find("Error code unknown"), std::string::npos) << message;
    EXPECT_EQ(ErrorCodeOf([&] { db->CopyDatabase(dir, true); }), 9344);
    EXPECT_EQ(ErrorCodeOf([&] { db->CopyDatabase(dir + "/missing/x.zan", true); }), 9344);
    auto gone = NewDatabase(dir + "/no_such_source.zan");
    EXPECT_EQ(ErrorCodeOf([&] { gone->CopyDatabase(dest.Path, true); }), 9988);
    // Connected: the open file is copied; the copy opens with its rows.
    db->SetExclusive(true);
    db->Open();
    db->CopyDatabase(dest.Path, true);
    db->Close();
    auto copy = NewDatabase(dest.Path);
    copy->Open();
    EXPECT_EQ(TableNames(*copy), std::vector<std::string>{"T"});
    copy->Close();
    unlink(UsersFileNameFor(dest.Path).c_str());
}

TEST(Maintenance, RebuildTableKeepsRowsBlobsAndAutoIncValues) {
    TFixture fx;
    fx.Create("A", [](TFieldDefs& f, TIndexDefs& i) {
        f.Add("ID", ftAutoInc);
        f.Add("NOTE", ftMemo);
        i.Add("ixID", "ID", {ixUnique, ixPrimary});
    });
    auto t = fx.Table("A");
    t->Open();
    for (int n = 0; n < 30; ++n) {
        t->Append();
        t->FieldByName("NOTE")->SetAsString(std::string(size_t(700 + n), char('a' + n % 26)));
        t->Post();
    }
    // Gaps in the numbers survive the rebuild.
    t->First();
    for (int n = 0; n < 10; ++n)
        t->Delete();
    std::map<int32_t, std::string> before;
    for (t->First(); !t->GetEOF(); t->Next())
        before[t->FieldByName("ID")->GetAsInteger()] = t->FieldByName("NOTE")->GetAsString();
    t->Close();
    t->RebuildTable();
    t->Open();
    std::map<int32_t, std::string> after;
    for (t->First(); !t->GetEOF(); t->Next())
        after[t->FieldByName("ID")->GetAsInteger()] = t->FieldByName("NOTE")->GetAsString();
    EXPECT_EQ(after, before);
    t->Append();
    t->FieldByName("NOTE")->SetAsString("new");
    t->Post();
    EXPECT_EQ(t->FieldByName("ID")->GetAsInteger(), 31);
    t->Close();
    EXPECT_EQ(fx.Check(), "");
}

// ---------------------------------------------------------------------------------------------
// Other connections and processes

TEST(Maintenance, AnotherProcessHoldingTheTableRefusesItsChange) {
    TTempFile file("maint_fork.zan"), copy("maint_fork_copy.zan");
    CreateFileWithTables(file.Path, {"T", "U"});
    auto db = NewDatabase(file.Path);
    db->SetLockRetryMaximum(3);
    db->Open();
    THoldingChild child(file.Path, "T");
    const std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    EXPECT_EQ(ErrorCodeOf([&] { db->DeleteTable("T", false, true); }), 10249);
    EXPECT_EQ(ErrorCodeOf([&] { db->RenameTable("T", "T2", true); }), 10249);
    EXPECT_EQ(ErrorCodeOf([&] { db->CopyDatabase(copy.Path, false); }), 0);
    db->Close();
    // The file itself is held: it is not replaced, not even by a copy onto it.
    auto other = NewDatabase(copy.Path);
    EXPECT_EQ(ErrorCodeOf([&] { other->CopyDatabase(file.Path, true); }), 9344);
    db->SetExclusive(true);
    EXPECT_NE(ErrorCodeOf([&] { db->Open(); }), 0);
    EXPECT_EQ(ReadFileBytes(file.Path), bytes);
    db->SetExclusive(false);
    db->Open();
    // A table nobody else has open can go.
    db->DeleteTable("U", false, true);
    EXPECT_EQ(child.Release(), 0);
    db->DeleteTable("T", false, true);
    EXPECT_TRUE(TableNames(*db).empty());
    db->Close();
    unlink(UsersFileNameFor(copy.Path).c_str());
}

// ---------------------------------------------------------------------------------------------
// Rebuild of the whole file, definition copy, raw records

namespace {

struct TFileState {
    std::vector<std::string> Tables;
    TModel Rows;
    int32_t Generator = 0;
    int32_t ObjectID = 0;
};

TFileState StateOf(TZanDataBase& db) {
    TFileState s;
    s.Tables = TableNames(db);
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName("T");
    t.Open();
    for (t.First(); !t.GetEOF(); t.Next()) {
        TRow row;
        for (int i = 0; i < t.GetFieldCount(); ++i) {
            TField* f = t.GetFields().Fields(i);
            row[f->GetFieldName()] = f->IsNull() ? std::string(C_NULL) : f->GetAsString();
        }
        s.Rows[t.FieldByName("ID")->GetAsInteger()] = row;
    }
    t.Close();
    int32_t step = 0;
    db.QueryGenerator("gen", s.Generator, step);
    s.ObjectID = db.GetObjectID("T");
    return s;
}

bool operator==(const TFileState& a, const TFileState& b) {
    return a.Tables == b.Tables && a.Rows == b.Rows && a.Generator == b.Generator &&
           a.ObjectID == b.ObjectID;
}

} // namespace

TEST(Maintenance, RebuildDatabaseKeepsEverything) {
    TFixture fx;
    fx.Create("Empty");
    fx.Create("T");
    fx.Fill();
    fx.Db->CreateGenerator("gen", 40, 3);
    fx.Db->GetGeneratorValue("gen", false);
    const TFileState before = StateOf(*fx.Db);
    fx.Db->Close();
    fx.Db->SetExclusive(false);
    fx.Db->RebuildDatabase();
    EXPECT_FALSE(fx.Db->GetConnected());
    EXPECT_FALSE(fx.Db->GetExclusive());
    fx.Db->Open();
    EXPECT_TRUE(StateOf(*fx.Db) == before);
    EXPECT_EQ(fx.Check(), "");
    // Indexes too: the unique key still refuses its duplicate.
    auto t = fx.Table();
    t->Open();
    t->Append();
    t->FieldByName("ID")->SetAsInteger(5);
    EXPECT_EQ(ErrorCodeOf([&] { t->Post(); }), 9729);
    t->Cancel();
    t->Close();
    const auto log = fx.Db->GetLog();
    for (const char* text :
         {"Rebuild database start", "Backup database created -", "Opening Source database",
          "Creating tables...", "Creating table T", "Copying data from source table T"})
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        })) << text;
}

TEST(Maintenance, RebuildDatabaseOfASecuredFileKeepsLogonsAndPrivileges) {
    TTempFile file("maint_secured.zan");
    CreateSecuredFile(file.Path);
    {
        auto admin = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
        CreateUserTable(*admin, "T");
        TSecurityManager& sm = admin->GetSecurityManager();
        sm.AddGroup("clerks");
        sm.AddUser("clerk", "secret", "clerks");
        Grant(sm, "clerks", "T", {opExecuteObj, opReadData});
    }
    auto clerk = NewDatabase(file.Path, 2);
    clerk->BeforeLogin = [](TObject*, std::string& u, std::string& p, std::string&) {
        u = "clerk";
        p = "secret";
    };
    clerk->RebuildDatabase();
    clerk->Open();
    TZanTable t;
    t.SetDataBase(clerk.get());
    t.SetTableName("T");
    EXPECT_EQ(ErrorCodeOf([&] { t.Open(); }), 0);
    EXPECT_EQ(ErrorCodeOf([&] { clerk->DeleteTable("T"); }), 10121);
    t.Close();
    clerk->Close();
    // Exclusive, the clerk still lacks the delete and alter privileges.
    clerk->SetExclusive(true);
    clerk->SetMasterKey(C_TEST_KEY);
    clerk->Open();
    EXPECT_EQ(ErrorCodeOf([&] { clerk->DeleteTable("T"); }), 10624);
    EXPECT_EQ(ErrorCodeOf([&] { clerk->RenameTable("T", "T2"); }), 10624);
    EXPECT_EQ(ErrorCodeOf([&] { t.AddIndex("ixCode", "Code", {}); }), 10624);
    clerk->Close();
    EXPECT_EQ(ConnectCode(file.Path, "clerk", "wrong"), 10036);
    EXPECT_EQ(ConnectCode(file.Path, C_ADMIN_USER, "plinth"), 0);
    unlink(ChangeFileExt(file.Path, ".zdx").c_str());
}

TEST(Maintenance, RebuildDatabaseRefusedWhileAnotherProcessHoldsTheFile) {
    TTempFile file("maint_rebuild_fork.zan");
    CreateFileWithTables(file.Path, {"T"});
    THoldingChild child(file.Path, "");
    const std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    auto db = NewDatabase(file.Path);
    db->SetLockRetryMaximum(2);
    EXPECT_NE(ErrorCodeOf([&] { db->RebuildDatabase(); }), 0);
    EXPECT_EQ(ReadFileBytes(file.Path), bytes);
    EXPECT_EQ(child.Release(), 0);
    unlink(ChangeFileExt(file.Path, ".zdx").c_str());
}

TEST(Maintenance, DefinitionCopyAndRawRecords) {
    TFixture fx;
    fx.Create("T");
    fx.Fill();
    fx.Db->SetSaveTableDefinitions(true);
    auto u = fx.Table("U");
    u->GetFieldDefs().Add("X", ftInteger);
    u->CreateTable(); // through the database with the save-definitions flag
    const std::string zdd = ChangeFileExt(fx.File.Path, ".zdd");
    {
        auto copy = NewDatabase(zdd);
        copy->Open();
        EXPECT_EQ(TableNames(*copy), (std::vector<std::string>{"T", "U"}));
        TZanTable t;
        t.SetDataBase(copy.get());
        t.SetTableName("T");
        t.Open();
        EXPECT_EQ(t.GetRecordCount(), 0);
        EXPECT_EQ(t.GetFieldCount(), 4);
    }
    unlink(zdd.c_str());
    unlink(UsersFileNameFor(zdd).c_str());
    TTableDef def;
    fx.Db->QueryTableDef("T", false, def);
    fx.Db->Close();
    std::vector<int32_t> ids;
    int32_t visited = 0;
    auto collect = [&](int32_t stopAfter) {
        ids.clear();
        visited = 0;
        fx.Db->TransferRecordBuffers(
            def.GetTableID(), def.GetRecordSize(),
            [&](const uint8_t* rec, int32_t count, int32_t position, bool& more) {
                // Every block of the records' pages, free slots too.
                EXPECT_GE(count, C_ROWS);
                EXPECT_EQ(position, visited++);
                if (rec[C_REC_INUSE_OFFSET] == 1)
                    ids.push_back(RecordGetInteger(rec, *def.GetInternalFields()->FindField("ID")));
                if (visited == stopAfter) more = false;
            });
    };
    collect(-1);
    std::sort(ids.begin(), ids.end());
    ASSERT_EQ(ids.size(), size_t(C_ROWS));
    EXPECT_EQ(ids.front(), 0);
    EXPECT_EQ(ids.back(), C_ROWS - 1);
    collect(5);
    EXPECT_EQ(visited, 5);
}

TEST(Maintenance, ImportDataMapsByNameAndLogs) {
    TFixture fx;
    fx.Create("T");
    fx.Fill("T", 12);
    fx.Create("D", [](TFieldDefs& f, TIndexDefs& i) {
        f.Add("ID", ftInteger, 0, true);
        f.Add("NAME", ftString, 6);
        f.Add("NOTE", ftInteger);
        f.Add("EXTRA", ftString, 5);
        i.Add("ixID", "ID", {ixUnique});
    });
    auto src = fx.Table("T");
    src->Open();
    auto d = fx.Table("D");
    d->SetName("Dest");
    d->Open();
    EXPECT_EQ(ErrorCodeOf([&] { d->ImportData(*src); }), 8576);
    d->GetRestructureFieldDefs();
    fx.Db->ClearLog();
    std::vector<int32_t> progress;
    d->OnUpdateProgress = [&](int32_t percent, bool&) { progress.push_back(percent); };
    d->ImportData(*src);
    EXPECT_EQ(d->GetRecordCount(), 12);
    EXPECT_EQ(progress.back(), 100);
    for (d->First(); !d->GetEOF(); d->Next()) {
        EXPECT_TRUE(d->FieldByName("EXTRA")->IsNull());
        EXPECT_LE(d->FieldByName("NAME")->GetAsString().size(), 6u);
    }
    std::vector<std::string> texts;
    for (const std::string& line : fx.Db->GetLog()) {
        if (line.find("Dest.DataImport") == std::string::npos) continue;
        texts.push_back(line.substr(line.find(" : ") + 3));
    }
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(texts[0], "Matching fields");
    EXPECT_EQ(texts[1], "Source field [ID] mapped to Field [ID]");
    EXPECT_EQ(texts[4], "No Source field set for Field [EXTRA]");
    EXPECT_EQ(texts[5], "Starting import");
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "   Record 1  Source field \"NOTE      \" could not be converted to "
                        "Destination field \"NOTE      \". Source value \"note of 0\"   Error: "
                        "'note of 0' is not a valid value for field 'NOTE'"),
              texts.end());
    // A second import collides with every key: each record is logged and left out.
    d->ImportData(*src);
    EXPECT_EQ(d->GetRecordCount(), 12);
    const auto log = fx.Db->GetLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](auto& line) {
        return line.find("Record 12 could not be added. Error: ") != std::string::npos;
    }));
}

TEST(Maintenance, RebuildDatabaseReportsAFailedTableAndKeepsTheFile) {
    TFixture fx;
    fx.Create("T");
    fx.Create("Bad");
    fx.Fill();
    fx.Fill("Bad", 5);
    uint32_t headerAddress = 0;
    {
        TTableDef def;
        fx.Db->OpenTable("Bad", def);
        headerAddress = def.GetTableHeader()->GetBaseAddress();
        fx.Db->CloseTable(def);
    }
    fx.Db->Close();
    // The table's header is damaged: its definition is read, its rows are not.
    std::vector<uint8_t> bytes = ReadFileBytes(fx.File.Path);
    ASSERT_LT(size_t(headerAddress) + 64, bytes.size());
    std::fill(bytes.begin() + headerAddress, bytes.begin() + headerAddress + 64, 0xA5);
    WriteFileBytes(fx.File.Path, bytes);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { fx.Db->RebuildDatabase(); }, &message), 8581);
    EXPECT_NE(message.find("Bad"), std::string::npos) << message;
    EXPECT_NE(message.find(".zdx"), std::string::npos) << message;
    EXPECT_EQ(message.find(" T "), std::string::npos) << message;
    EXPECT_EQ(ReadFileBytes(fx.File.Path), bytes);
    EXPECT_FALSE(fx.Db->GetConnected());
    const auto log = fx.Db->GetLog();
    for (const char* text : {"Exception while copying data from source table Bad", "Exception was ",
                             "Attempting to empty this table"})
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        })) << text;
}

TEST(Maintenance, MemoryTables) {
    auto db = NewDatabase(C_MEMORY_DATABASE);
    db->Open();
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("M");
    t.SetMemory(true);
    DefineSample(t.GetFieldDefs(), t.GetIndexDefs());
    t.CreateTable();
    t.Open();
    for (int32_t id = 0; id < 20; ++id)
        t.AppendRecord({Variant(id), Variant("n" + std::to_string(id))});
    t.ReIndex(false);
    EXPECT_EQ(t.GetRecordCount(), 20);
    t.Close();
    EXPECT_EQ(ErrorCodeOf([&] { t.RestructureTable({}); }), 10766);
    EXPECT_EQ(ErrorCodeOf([&] { t.RebuildTable(); }), 10766);
    t.Open();
    EXPECT_EQ(ErrorCodeOf([&] { db->DeleteTable("M", true); }), 10053);
    t.Close();
    db->DeleteTable("M", true);
    EXPECT_EQ(ErrorCodeOf([&] { t.Open(); }), 10024);
}
