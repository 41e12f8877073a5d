// Rebuilds and restructures on closed components, and rebuilds over rows a unique index left out.
#include <gtest/gtest.h>
#include <unistd.h>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

struct TRebuildDb {
    TTempFile File{"maint_rebuild.zan"};
    std::unique_ptr<TZanDataBase> Db;
    TRebuildDb() {
        CreateDatabaseFile(File.Path);
        Db = NewDatabase(File.Path);
        Db->SetExclusive(true);
        Db->Open();
    }
    ~TRebuildDb() {
        Db.reset();
        unlink(ChangeFileExt(File.Path, ".zdx").c_str());
    }
    std::unique_ptr<TZanTable> Table(const std::string& index = "") {
        auto t = std::make_unique<TZanTable>();
        t->SetDataBase(Db.get());
        t->SetTableName("T");
        t->SetIndexName(index);
        return t;
    }
    void Create(bool indexed) {
        auto t = Table();
        t->GetFieldDefs().Add("ID", ftInteger, 0, true);
        t->GetFieldDefs().Add("NAME", ftString, 20);
        t->GetFieldDefs().Add("NOTE", ftMemo);
        if (indexed) t->GetIndexDefs().Add("ixID", "ID", {ixUnique});
        t->CreateTable();
        t->Open();
        for (int i = 0; i < 20; ++i)
            t->AppendRecord({Variant(i), Variant(i % 2 ? "odd" : "even"),
                             Variant(std::string(size_t(i * 50), 'n'))});
    }
    std::string Rows(const std::string& index = "") {
        auto t = Table(index);
        t->Open();
        std::string text;
        for (t->First(); !t->GetEOF(); t->Next()) {
            for (int i = 0; i < t->GetFieldCount(); ++i)
                text += t->GetFields().Fields(i)->GetFieldName() + "=" +
                        (t->GetFields().Fields(i)->IsNull()
                             ? std::string("<null>")
                             : std::to_string(t->GetFields().Fields(i)->GetAsString().size())) +
                        " ";
            text += "\n";
        }
        return text;
    }
};

} // namespace

// A storage change through a component never opened has no field definitions to go by: it is
// refused, and the rows stay as they were.
TEST(MaintRebuild, StorageChangeOnANeverOpenedComponentChangesNothing) {
    for (bool indexed : {false, true}) {
        SCOPED_TRACE(indexed);
        TRebuildDb p;
        p.Create(indexed);
        const std::string before = p.Rows();
        auto t = p.Table();
        TRestructureRecord options;
        options.ChangeEncryption = true;
        options.EncryptionLevel = encWeak;
        std::string error;
        try {
            t->RestructureTable(options);
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_NE(error, "");
        EXPECT_EQ(p.Rows(), before) << error;
    }
}

// A unique index added over duplicate values leaves the rows that collide out of every index
// (they come back when the index goes). A rebuild of the table or of the file cannot add them
// either: it fails, naming the violation, and the rows stay, instead of being dropped for good
// under a rebuild that reports success.
TEST(MaintRebuild, RebuildsNeverDropRowsAUniqueIndexLeftOut) {
    for (const bool wholeFile : {false, true}) {
        SCOPED_TRACE(wholeFile ? "database" : "table");
        TRebuildDb p;
        p.Create(true);
        const std::string before = p.Rows("ixID");
        p.Table()->AddIndex("ixName", "NAME", {ixUnique});
        EXPECT_NE(p.Rows("ixID"), before); // two rows seen, 18 left out
        int32_t code = 0;
        try {
            if (wholeFile) {
                p.Db->Close();
                p.Db->SetExclusive(false);
                p.Db->RebuildDatabase();
                p.Db->SetExclusive(true);
                p.Db->Open();
            } else {
                p.Table()->RebuildTable();
            }
        } catch (const EZanDatabaseError& e) {
            code = e.ErrorCode;
        }
        EXPECT_EQ(code, wholeFile ? 8581 : 9729);
        if (!p.Db->GetConnected()) {
            p.Db->SetExclusive(true);
            p.Db->Open();
        }
        p.Table()->DeleteIndex("ixName");
        EXPECT_EQ(p.Rows("ixID"), before);
        TTableDef def;
        p.Db->OpenTable("T", def);
        const auto problems = CheckDatabase(*p.Db->GetDiskMgr(), {&def});
        p.Db->CloseTable(def);
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    }
}

// An enciphered table renamed: its rows read back under the new name and the old again.
TEST(MaintRebuild, RenamedEncipheredTableReadsBack) {
    TRebuildDb p;
    p.Create(true);
    const std::string before = p.Rows("ixID");
    {
        auto t = p.Table();
        t->Open();
        t->Close();
        TRestructureRecord options;
        options.ChangeEncryption = true;
        options.EncryptionLevel = encWeak;
        t->RestructureTable(options);
    }
    EXPECT_EQ(p.Rows("ixID"), before);
    p.Db->RenameTable("T", "U");
    auto t = p.Table("ixID");
    t->SetTableName("U");
    std::string text;
    try {
        t->Open();
        for (t->First(); !t->GetEOF(); t->Next())
            text += t->FieldByName("ID")->GetAsString() + ",";
    } catch (const std::exception& e) {
        text = e.what();
    }
    EXPECT_EQ(text, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,");
    t->Close();
    // Renamed in case only, and enciphered again through a name of another case.
    p.Db->RenameTable("U", "u");
    {
        auto lower = p.Table();
        lower->SetTableName("U");
        lower->Open();
        lower->Close();
        TRestructureRecord options;
        options.ChangeEncryption = true;
        options.EncryptionLevel = encWeak;
        lower->RestructureTable(options);
    }
    for (const char* name : {"u", "U"}) {
        SCOPED_TRACE(name);
        t->SetTableName(name);
        text.clear();
        try {
            t->Open();
            for (t->First(); !t->GetEOF(); t->Next())
                text += t->FieldByName("ID")->GetAsString() + ",";
            t->Close();
        } catch (const std::exception& e) {
            text = e.what();
        }
        EXPECT_EQ(text, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,");
    }
}
