// Maintenance against a model: a table with fields of every stored kind (memo and blob among
// them) and several indexes (unique, multi-field, descending, case-insensitive) takes random
// rows with NULLs, long strings and big blobs; random maintenance (index add and drop, reindex,
// rebuild, restructures of fields and storage, emptying, renaming, file copy, database rebuild)
// runs between random inserts, updates and deletes, some of it inside transactions (a reindex,
// a file copy that must hold only what was committed). After every step each index shows
// exactly the model's rows, the integer key index in its order, and the checker finds nothing.
// ZAN_MAINT_SEED runs one seed of choice, ZAN_MAINT_TRACE prints the steps.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "dataset_test_support.h"
#include "host/rtl/ScopeExit.h"
#include "support/zanCheckFile.h"

using namespace zan;

namespace {

const char* const C_NULL = "<null>";

using TRow = std::map<std::string, std::string>; // field name (upper case) to its text

struct TModelField {
    std::string Name;
    TFieldType Type;
    int32_t Size;
};

struct TModelIndex {
    std::string Name, Fields;
    TIndexOptions Options;
    std::string Desc, CaseIns;
};

// The indexes the test adds and drops: none of them can see a key violation.
const std::vector<TModelIndex>& SpareIndexes() {
    static const std::vector<TModelIndex> list = {
        {"ixNS", "N;S", {}, "S", ""},
        {"ixF", "F", {ixDescending}, "", ""},
        {"ixCI", "S", {ixCaseInsensitive}, "", ""},
        {"ixLID", "L;ID", {ixUnique}, "L", ""},
        {"ixDT", "DT;S", {}, "", "S"},
    };
    return list;
}

class TMaintModel {
public:
    explicit TMaintModel(uint32_t seed) : FSeed(seed) {
        unlink(Backup().c_str());
        CreateDatabaseFile(File.Path);
        Connect();
        FFields = {{"ID", ftInteger, 0},     {"S", ftString, 40},  {"N", ftSmallint, 0},
                   {"L", ftInteger, 0},     {"F", ftFloat, 0},    {"C", ftCurrency, 0},
                   {"B", ftBoolean, 0},      {"D", ftDate, 0},     {"DT", ftDateTime, 0},
                   {"TM", ftTime, 0},        {"M", ftMemo, 0},     {"BL", ftBlob, 0}};
        FIndexes = {{"ixID", "ID", {ixUnique}, "", ""}, SpareIndexes()[0], SpareIndexes()[2]};
        auto t = Table();
        for (const TModelField& f : FFields)
            t->GetFieldDefs().Add(f.Name, f.Type, f.Size, f.Name == "ID");
        for (const TModelIndex& i : FIndexes) {
            TIndexDef& d = t->GetIndexDefs().Add(i.Name, i.Fields, i.Options);
            d.SetDescFields(i.Desc);
            d.SetCaseInsFields(i.CaseIns);
        }
        t->CreateTable();
    }
    ~TMaintModel() {
        Db.reset();
        unlink(Backup().c_str());
        unlink(UsersFileNameFor(Backup()).c_str());
    }

    TTempFile File{"maint_model.zan"};
    TTempFile CopyFile{"maint_model_copy.zan"};
    std::unique_ptr<TZanDataBase> Db;
    std::string Name = "T";

    uint32_t Draw(uint32_t n) {
        FSeed = FSeed * 1103515245u + 12345u;
        return ((FSeed >> 8) & 0xFFFFFF) % n;
    }

    std::unique_ptr<TZanTable> Table(const std::string& index = "") {
        auto t = std::make_unique<TZanTable>();
        t->SetDataBase(Db.get());
        t->SetTableName(Name);
        t->SetIndexName(index);
        return t;
    }

    // A closed table component whose definitions were read from the table.
    std::unique_ptr<TZanTable> Closed() {
        auto t = Table();
        t->Open();
        t->Close();
        return t;
    }

    // A value for field f, NULL now and then.
    Variant Value(const TModelField& f) {
        if (f.Name != "ID" && Draw(6) == 0) return Null();
        switch (f.Type) {
        case ftString: {
            static const char* const words[] = {"alpha", "Alpha", "ALPHA", "beta", "Beta",
                                                "gamma", "x", ""};
            std::string s = words[Draw(8)];
            if (Draw(3) == 0) s += "-" + std::to_string(Draw(1000));
            if (Draw(5) == 0) s = std::string(size_t(f.Size), char('a' + Draw(26)));
            return Variant(s.substr(0, size_t(f.Size)));
        }
        case ftSmallint: return Variant(int32_t(Draw(200)) - 100);
        case ftInteger: return Variant(int32_t(Draw(100000)) - 50000);
        case ftFloat: return Variant(double(int32_t(Draw(2000)) - 1000) / 8.0);
        case ftCurrency: return Variant(Currency::FromScaled(int64_t(Draw(1000000)) - 500000));
        case ftBoolean: return Variant(Draw(2) == 1);
        case ftDate: return VarFromDateTime(TDateTime(double(40000 + Draw(5000))));
        case ftDateTime:
            return VarFromDateTime(TDateTime(40000.0 + double(Draw(5000)) + double(Draw(24)) / 24));
        case ftTime: return VarFromDateTime(TDateTime(double(Draw(96)) / 96.0));
        case ftMemo: {
            std::string s(size_t(Draw(4) == 0 ? Draw(9000) : Draw(60)), 'm');
            for (size_t i = 0; i < s.size(); i += 7)
                s[i] = char('a' + (i / 7 + Draw(26)) % 26);
            return Variant(s);
        }
        case ftBlob: {
            std::string s(size_t(Draw(5) == 0 ? 20000 + Draw(40000) : Draw(300)), '\0');
            for (size_t i = 0; i < s.size(); i += 3)
                s[i] = char(Draw(256));
            return Variant(s);
        }
        default: return Null();
        }
    }

    // The model's text of a field as the table shows it.
    static std::string Text(TField* f) {
        if (f->IsNull()) return C_NULL;
        if (f->GetDataType() == ftBlob) {
            const std::string s = f->GetAsString();
            return std::to_string(s.size()) + ":" + std::to_string(std::hash<std::string>{}(s));
        }
        return f->GetAsString();
    }

    static TRow RowOf(TZanTable& t) {
        TRow row;
        for (int i = 0; i < t.GetFieldCount(); ++i) {
            TField* f = t.GetFields().Fields(i);
            row[ZanAnsiUpperCase(f->GetFieldName())] = Text(f);
        }
        return row;
    }

    void Write(TZanTable& t, bool fresh) {
        for (const TModelField& f : FFields) {
            if (f.Name == "ID") {
                if (fresh) t.FieldByName("ID")->SetValue(Variant(FNextId++));
                continue;
            }
            if (!fresh && Draw(2) == 0) continue;
            const Variant v = Value(f);
            if (VarIsNull(v))
                t.FieldByName(f.Name)->Clear();
            else if (f.Type == ftDate || f.Type == ftDateTime || f.Type == ftTime)
                t.FieldByName(f.Name)->SetAsDateTime(v.AsDateTime());
            else
                t.FieldByName(f.Name)->SetValue(v);
        }
    }

    // Inserts, updates and deletes through the key index; the model takes what was posted.
    void Edits(int count) {
        auto t = Table(Present("ixID") >= 0 ? "ixID" : "");
        t->Open();
        for (int k = 0; k < count; ++k) {
            const uint32_t what = Draw(10);
            int32_t id = FNextId;
            if (what < 5 || Model.empty()) {
                // The posted row is looked up by its key: the cursor may stand elsewhere.
                t->Append();
                Write(*t, true);
                t->Post();
            } else {
                auto it = Model.begin();
                std::advance(it, Draw(uint32_t(Model.size())));
                id = it->first;
                ASSERT_TRUE(t->Locate("ID", Variant(id), {})) << id;
                if (what < 8) {
                    t->Edit();
                    Write(*t, false);
                    t->Post();
                } else {
                    if (std::getenv("ZAN_MAINT_TRACE"))
                        std::fprintf(stderr, "  delete %d at %d\n", id,
                                     t->FieldByName("ID")->GetAsInteger());
                    t->Delete();
                    Model.erase(id);
                    continue;
                }
            }
            if (std::getenv("ZAN_MAINT_TRACE")) std::fprintf(stderr, "  post %d\n", id);
            ASSERT_TRUE(t->Locate("ID", Variant(id), {})) << id;
            Model[id] = RowOf(*t);
        }
    }

    // Every index shows the model's rows, the key index in ascending order.
    void Compare(const std::string& step) {
        SCOPED_TRACE(step);
        std::vector<TModelIndex> orders = FIndexes;
        if (orders.empty()) orders.push_back({"", "", {}, "", ""}); // the natural order
        for (const TModelIndex& index : orders) {
            SCOPED_TRACE(index.Name);
            auto t = Table(index.Name);
            t->Open();
            std::map<int32_t, TRow> rows;
            int32_t last = INT32_MIN;
            int32_t count = 0;
            for (t->First(); !t->GetEOF(); t->Next()) {
                const int32_t id = t->FieldByName("ID")->GetAsInteger();
                if (index.Name == "ixID") {
                    EXPECT_LT(last, id);
                    last = id;
                }
                rows[id] = RowOf(*t);
                ++count;
            }
            EXPECT_EQ(count, int32_t(Model.size()));
            EXPECT_EQ(t->GetRecordCount(), int32_t(Model.size()));
            auto ids = [](const auto& m) {
                std::string text;
                for (const auto& entry : m)
                    text += std::to_string(entry.first) + " ";
                return text;
            };
            if (std::getenv("ZAN_MAINT_TRACE") && ids(rows) != ids(Model))
                for (const auto& [id, row] : rows)
                    for (const auto& [name, text] : row)
                        std::fprintf(stderr, "  %d %s=%s\n", id, name.c_str(),
                                     text.substr(0, 40).c_str());
            ASSERT_EQ(ids(rows), ids(Model));
            for (const auto& [id, row] : Model)
                ASSERT_EQ(rows[id], row) << "row " << id;
        }
        EXPECT_EQ(Check(), "");
    }

    std::string Check() { return CheckTables(*Db, {Name}); }

    // One random maintenance operation; answers its name.
    std::string Maintain() {
        switch (Draw(16)) {
        case 13: { // retype a field no index uses: to a wider kind, or a memo to a short string
            std::vector<size_t> free;
            for (size_t i = 1; i < FFields.size(); ++i)
                if (!Indexed(FFields[i].Name) &&
                    (FFields[i].Type == ftSmallint || FFields[i].Type == ftMemo ||
                     FFields[i].Type == ftInteger))
                    free.push_back(i);
            if (free.empty()) return "no field to retype";
            TModelField& f = FFields[free[Draw(uint32_t(free.size()))]];
            auto t = Closed();
            TRestructureFieldDef* def = t->GetRestructureFieldDefs().Find(f.Name);
            const TModelField was = f;
            if (f.Type == ftSmallint) {
                f.Type = ftInteger;
            } else if (f.Type == ftInteger) {
                f.Type = ftFloat;
            } else {
                f.Type = ftString;
                f.Size = 30;
            }
            def->SetDataType(f.Type);
            def->SetSize(f.Size);
            try {
                t->RestructureTable({});
            } catch (...) {
                f = was;
                throw;
            }
            if (f.Type == ftString)
                for (auto& [id, row] : Model)
                    if (row[f.Name] != C_NULL) row[f.Name] = row[f.Name].substr(0, 30);
            return "retype " + f.Name;
        }
        case 14: { // the key index goes, and comes back later as a spare
            if (Present("ixID") < 0) {
                Table()->AddIndex("ixID", "ID", {ixUnique});
                FIndexes.insert(FIndexes.begin(), TModelIndex{"ixID", "ID", {ixUnique}, "", ""});
                return "add the key index";
            }
            Table()->DeleteIndex("ixID");
            FIndexes.erase(FIndexes.begin() + Present("ixID"));
            return "drop the key index";
        }
        case 15: { // a file copy inside a transaction holds what was committed
            const auto committed = Model;
            Db->StartTransaction();
            bool open = true;
            TScopeExit end([&] {
                if (open) Db->Rollback();
            });
            Edits(int(Draw(30)));
            const auto pending = Model;
            Db->CopyDatabase(CopyFile.Path, true);
            {
                auto copy = NewDatabase(CopyFile.Path);
                copy->Open();
                std::swap(copy, Db);
                Model = committed;
                TScopeExit back([&] {
                    std::swap(copy, Db);
                    Model = pending;
                });
                Compare("copy in a transaction");
            }
            open = false;
            if (Draw(2)) {
                Db->Commit();
                return "copy in a committed transaction";
            }
            Db->Rollback();
            Model = committed;
            return "copy in a rolled back transaction";
        }
        case 12: { // a reindex inside a transaction of edits, committed or rolled back
            const auto before = Model;
            Db->StartTransaction();
            Edits(int(Draw(20)));
            {
                auto t = Table(FIndexes.empty() ? ""
                                                : FIndexes[Draw(uint32_t(FIndexes.size()))].Name);
                t->Open();
                t->ReIndex(false);
            }
            Edits(int(Draw(5)));
            if (Draw(2)) {
                Db->Commit();
                return "reindex in a committed transaction";
            }
            Db->Rollback();
            Model = before;
            return "reindex in a rolled back transaction";
        }
        case 0: { // add a spare index not present
            std::vector<const TModelIndex*> absent;
            for (const TModelIndex& s : SpareIndexes())
                if (Present(s.Name) < 0 && FieldsPresent(s.Fields)) absent.push_back(&s);
            if (absent.empty()) return "no index to add";
            const TModelIndex& s = *absent[Draw(uint32_t(absent.size()))];
            auto t = Table();
            t->AddIndex(s.Name, s.Fields, s.Options, s.Desc, s.CaseIns);
            FIndexes.push_back(s);
            return "add index " + s.Name;
        }
        case 1: { // drop an index other than the key index
            if (FIndexes.size() < 2) return "no index to drop";
            const size_t at = 1 + Draw(uint32_t(FIndexes.size() - 1));
            const std::string name = FIndexes[at].Name;
            auto t = Table(Draw(2) ? name : FIndexes[0].Name);
            if (Draw(2)) t->Open();
            t->DeleteIndex(name);
            FIndexes.erase(FIndexes.begin() + long(at));
            return "drop index " + name;
        }
        case 2: {
            auto t = Table(FIndexes.empty() ? "" : FIndexes[Draw(uint32_t(FIndexes.size()))].Name);
            t->Open();
            t->ReIndex(false);
            return "reindex";
        }
        case 3: {
            auto t = Table();
            t->RebuildTable();
            return "rebuild table";
        }
        case 4: { // add a field
            const std::string name = "X" + std::to_string(FNextField++);
            const TFieldType type = Draw(3) == 0 ? ftMemo : Draw(2) ? ftInteger : ftString;
            auto t = Closed();
            t->GetRestructureFieldDefs().AddAndSetFieldDef(name, type, type == ftString ? 12 : 0);
            t->RestructureTable({});
            FFields.push_back({name, type, type == ftString ? 12 : 0});
            for (auto& [id, row] : Model)
                row[name] = C_NULL;
            return "add field " + name;
        }
        case 5: { // drop a field no index uses
            std::vector<size_t> free;
            for (size_t i = 1; i < FFields.size(); ++i)
                if (!Indexed(FFields[i].Name)) free.push_back(i);
            if (free.empty()) return "no field to drop";
            const size_t at = free[Draw(uint32_t(free.size()))];
            const std::string name = FFields[at].Name;
            auto t = Closed();
            auto& defs = t->GetRestructureFieldDefs();
            defs.DeleteItem(defs.Find(name)->GetIndex());
            t->RestructureTable({});
            FFields.erase(FFields.begin() + long(at));
            for (auto& [id, row] : Model)
                row.erase(name);
            return "drop field " + name;
        }
        case 6: { // grow the string field
            auto t = Closed();
            TModelField* s = Field("S");
            if (s == nullptr) return "no string";
            s->Size += 5;
            t->GetRestructureFieldDefs().Find("S")->SetSize(s->Size);
            t->RestructureTable({});
            return "grow S";
        }
        case 7: { // rename a field no index uses, or the string field with its indexes
            const size_t at = 1 + Draw(uint32_t(FFields.size() - 1));
            const std::string from = FFields[at].Name;
            if (Indexed(from)) return "indexed field kept";
            const std::string to = "R" + std::to_string(FNextField++);
            auto t = Closed();
            t->GetRestructureFieldDefs().Find(from)->SetName(to);
            t->RestructureTable({});
            FFields[at].Name = to;
            for (auto& [id, row] : Model) {
                row[to] = row[from];
                row.erase(from);
            }
            return "rename " + from + " to " + to;
        }
        case 8: { // storage changes: blob size, encryption, compression
            TRestructureRecord options;
            switch (Draw(3)) {
            case 0:
                options.ChangeBlobSize = true;
                options.BlobBlockSize = Draw(2) ? 64 : 2048;
                break;
            case 1:
                options.ChangeEncryption = true;
                options.EncryptionLevel = Draw(2) ? encWeak : encNone;
                break;
            default:
                options.ChangeCompression = true;
                options.BlobCompression = Draw(2) == 1;
                break;
            }
            auto t = Closed();
            t->RestructureTable(options);
            return "storage change";
        }
        case 9: {
            auto t = Table();
            t->Open();
            t->EmptyTable();
            Model.clear();
            return "empty";
        }
        case 10: {
            const std::string to = Name == "T" ? "T2" : "T";
            Db->RenameTable(Name, to);
            Name = to;
            return "rename table";
        }
        default: {
            if (Draw(2)) {
                Db->CopyDatabase(CopyFile.Path, true);
                auto copy = NewDatabase(CopyFile.Path);
                copy->Open();
                std::swap(copy, Db);
                Compare("copy");
                std::swap(copy, Db);
                return "copy database";
            }
            Db->Close();
            Db->SetExclusive(false);
            Db->RebuildDatabase();
            Connect();
            return "rebuild database";
        }
        }
    }

    std::map<int32_t, TRow> Model;

    void Connect() {
        Db = NewDatabase(File.Path);
        Db->SetExclusive(true);
        Db->Open();
    }
    std::string Backup() const { return ChangeFileExt(File.Path, ".zdx"); }

private:
    int Present(const std::string& index) const {
        for (size_t i = 0; i < FIndexes.size(); ++i)
            if (FIndexes[i].Name == index) return int(i);
        return -1;
    }
    bool Indexed(const std::string& field) const {
        for (const TModelIndex& i : FIndexes)
            for (const std::string& f : SplitFields(i.Fields))
                if (SameText(f, field)) return true;
        return false;
    }
    bool FieldsPresent(const std::string& fields) {
        for (const std::string& f : SplitFields(fields))
            if (Field(f) == nullptr) return false;
        return true;
    }
    static std::vector<std::string> SplitFields(const std::string& fields) {
        std::vector<std::string> out;
        size_t start = 0;
        while (start <= fields.size()) {
            const size_t end = fields.find(';', start);
            out.push_back(fields.substr(start, end == std::string::npos ? end : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return out;
    }
    TModelField* Field(const std::string& name) {
        for (TModelField& f : FFields)
            if (SameText(f.Name, name)) return &f;
        return nullptr;
    }

    uint32_t FSeed;
    int32_t FNextId = 1;
    int32_t FNextField = 1;
    std::vector<TModelField> FFields;
    std::vector<TModelIndex> FIndexes;
};

} // namespace

TEST(MaintModel, RandomMaintenanceBetweenEditsKeepsEveryRow) {
    std::vector<uint32_t> seeds{1u, 3u};
    if (const char* only = std::getenv("ZAN_MAINT_SEED")) seeds = {uint32_t(std::stoul(only))};
    for (uint32_t seed : seeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TMaintModel m(seed);
        m.Edits(60);
        m.Compare("fill");
        for (int step = 0; step < 22 && !::testing::Test::HasFatalFailure(); ++step) {
            std::string what;
            try {
                what = m.Maintain();
            if (std::getenv("ZAN_MAINT_TRACE"))
                std::fprintf(stderr, "step %d: %s\n", step, what.c_str());
            } catch (const std::exception& e) {
                ADD_FAILURE() << "step " << step << ": " << e.what();
                what = "failed";
            }
            m.Compare(std::to_string(step) + " " + what);
            m.Edits(int(m.Draw(12)));
            m.Compare(std::to_string(step) + " " + what + " then edits");
        }
    }
}

namespace {

// The names in the database's folder that start with its file name, its own files left out.
std::set<std::string> StrayFiles(const std::string& path) {
    const std::filesystem::path p(path);
    const std::string stem = p.stem().string();
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(p.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(stem, 0) != 0) continue;
        if (name == p.filename().string() || name == stem + ".zdx" ||
            entry.path().string() == UsersFileNameFor(path) ||
            entry.path().string() == UsersFileNameFor(ChangeFileExt(path, ".zdx")))
            continue;
        names.insert(name);
    }
    return names;
}

// The failures the running test has recorded so far (a forked child's are its own).
int FailureCount() {
    const ::testing::TestResult* result =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < result->total_part_count(); ++i)
        if (result->GetTestPartResult(i).failed()) ++n;
    return n;
}

} // namespace

// Maintenance whose writes hit the file size limit (a full disk): each fails with an engine
// error, the table keeps every row and index, the checker is content, the table takes a row
// once the limit is gone, and no temporary file stays behind.
TEST(MaintModel, OperationsOnAFullDiskFailAndKeepTheTable) {
    struct TCase {
        const char* Name;
        std::function<void(TMaintModel&)> Run;
    };
    const std::vector<TCase> cases{
        {"widen a field",
         [](TMaintModel& m) {
             auto t = m.Closed();
             t->GetRestructureFieldDefs().AddAndSetFieldDef("WIDE", ftString, 250);
             t->RestructureTable({});
         }},
        {"blob block size",
         [](TMaintModel& m) {
             auto t = m.Closed();
             TRestructureRecord options;
             options.ChangeBlobSize = true;
             options.BlobBlockSize = 64;
             t->RestructureTable(options);
         }},
        {"add index",
         [](TMaintModel& m) { m.Table()->AddIndex("ixBig", "S;DT;ID", {}, "DT"); }},
        {"rebuild table", [](TMaintModel& m) { m.Table()->RebuildTable(); }},
        {"rebuild database",
         [](TMaintModel& m) {
             m.Db->Close();
             m.Db->SetExclusive(false);
             m.Db->RebuildDatabase();
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TMaintModel m(7);
        m.Edits(250);
        m.Compare("fill");
        m.Db.reset();
        const auto before = StrayFiles(m.File.Path);
        struct stat st {};
        ASSERT_EQ(stat(m.File.Path.c_str(), &st), 0);
        const int failures = FailureCount();
        TChildProcess child([&](TChildProcess&) {
            signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG
            struct rlimit rl {};
            getrlimit(RLIMIT_FSIZE, &rl);
            const rlim_t hard = rl.rlim_max;
            rl.rlim_cur = rlim_t(st.st_size);
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 4;
            m.Connect();
            int code = 0;
            try {
                c.Run(m);
                code = 3;
            } catch (const EZanDatabaseError& e) {
                std::fprintf(stderr, "failed as expected: %d %s\n", e.ErrorCode,
                             e.Message().c_str());
            }
            rl.rlim_cur = hard;
            setrlimit(RLIMIT_FSIZE, &rl);
            if (!m.Db->GetConnected()) m.Connect();
            m.Compare("after the failure");
            m.Edits(5);
            m.Compare("after edits");
            m.Db.reset();
            std::fflush(stdout);
            if (FailureCount() > failures) return 1;
            return code;
        });
        // 0: refused, 3: done within the limit (the rows are then the same too).
        const int code = child.Wait();
        EXPECT_TRUE(code == 0 || code == 3) << code << " (1: rows or checker)";
        m.Connect();
        // The child's edits are not in this model: the checker judges.
        EXPECT_EQ(m.Check(), "");
        m.Db.reset();
        EXPECT_EQ(StrayFiles(m.File.Path), before);
    }
}

// Another process empties the table and fills it again while this one edits a row and while
// it deletes one: the edit's post and the delete never change the other process's new rows.
TEST(MaintModel, EmptyingUnderAnotherProcessesEditChangesNoNewRow) {
    for (const bool deleting : {false, true}) {
        SCOPED_TRACE(deleting ? "delete" : "edit");
        TMaintModel m(11);
        m.Db->Close();
        m.Db->SetExclusive(false);
        m.Db->Open();
        m.Edits(40);
        auto t = m.Table("ixID");
        t->Open();
        t->Last();
        const int32_t id = t->FieldByName("ID")->GetAsInteger();
        if (!deleting) {
            t->Edit();
            t->FieldByName("S")->SetAsString("edited here");
        }
        TChildProcess child([&](TChildProcess&) {
            auto db = NewDatabase(m.File.Path);
            db->Open();
            TZanTable other;
            other.SetDataBase(db.get());
            other.SetTableName("T");
            other.SetIndexName("ixID");
            other.Open();
            try {
                other.EmptyTable();
            } catch (const EZanDatabaseError& e) {
                std::fprintf(stderr, "empty refused: %d %s\n", e.ErrorCode, e.Message().c_str());
                return 5;
            }
            for (int32_t k = 0; k < 60; ++k) {
                other.Append();
                other.FieldByName("ID")->SetAsInteger(id + k - 30);
                other.FieldByName("S")->SetAsString("new " + std::to_string(k));
                other.Post();
            }
            return 0;
        });
        const int code = child.Wait();
        ASSERT_TRUE(code == 0 || code == 5) << code;
        std::string error;
        try {
            if (deleting)
                t->Delete();
            else
                t->Post();
        } catch (const EZanDatabaseError& e) {
            error = e.Message();
            t->Cancel();
        }
        t->Close();
        auto check = m.Table("ixID");
        check->Open();
        std::map<int32_t, std::string> rows;
        for (check->First(); !check->GetEOF(); check->Next())
            rows[check->FieldByName("ID")->GetAsInteger()] = check->FieldByName("S")->GetAsString();
        check->Close();
        if (code == 0) {
            EXPECT_NE(error, "") << "the post or delete reached a row of the emptied table";
            ASSERT_EQ(rows.size(), 60u);
            for (int32_t k = 0; k < 60; ++k)
                EXPECT_EQ(rows[id + k - 30], "new " + std::to_string(k)) << k;
        }
        EXPECT_EQ(m.Check(), "");
    }
}

// Another process empties the table while this one has rows of it pending in a transaction:
// either the emptying is refused and the commit keeps every row, or the emptying runs and the
// commit fails; never a table holding part of both, and the checker is content.
TEST(MaintModel, EmptyingUnderAnotherProcessesTransaction) {
    TMaintModel m(13);
    m.Db->Close();
    m.Db->SetExclusive(false);
    m.Db->Open();
    m.Edits(30);
    const auto committed = m.Model;
    m.Db->StartTransaction();
    m.Edits(15);
    const auto pending = m.Model;
    TChildProcess child([&](TChildProcess&) {
        auto db = NewDatabase(m.File.Path);
        db->SetLockRetryMaximum(3);
        db->Open();
        TZanTable other;
        other.SetDataBase(db.get());
        other.SetTableName("T");
        other.Open();
        try {
            other.EmptyTable();
        } catch (const EZanDatabaseError& e) {
            std::fprintf(stderr, "empty refused: %d %s\n", e.ErrorCode, e.Message().c_str());
            return 5;
        }
        return 0;
    });
    const int code = child.Wait();
    ASSERT_TRUE(code == 0 || code == 5) << code;
    int32_t commitError = 0;
    try {
        m.Db->Commit();
    } catch (const EZanDatabaseError& e) {
        commitError = e.ErrorCode;
        m.Db->Rollback();
    }
    if (code == 5) {
        EXPECT_EQ(commitError, 0);
        m.Model = pending;
    } else {
        EXPECT_NE(commitError, 0) << "a commit over an emptied table";
        m.Model.clear();
    }
    m.Compare("after the commit");
}
