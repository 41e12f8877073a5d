// The table datasets: the dataset protocol suite on a memory and a file table, and what the
// table adds (bookmarks of reused slots, positions in ranges, locate, key searches, blob streams,
// the post lock).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "dataset_test_support.h"
#include "host/db/dataset_protocol_suite.h"

using namespace zan;

namespace {

// A table component that owns its database (and, for a file, the file).
class TOwningTable : public TZanTable {
public:
    TOwningTable(std::unique_ptr<TZanDataBase> db, std::unique_ptr<TTempFile> file)
        : FDb(std::move(db)), FFile(std::move(file)) {
        SetDataBase(FDb.get());
    }
    ~TOwningTable() override {
        Destroying();
        Close();
        SetDataBase(nullptr);
    }

private:
    std::unique_ptr<TZanDataBase> FDb;
    std::unique_ptr<TTempFile> FFile;
};

void CreateTable(TZanDataBase& db, const std::string& name, bool memory,
                 const std::function<void(TFieldDefs&, TIndexDefs&)>& define) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(name);
    t.SetMemory(memory);
    define(t.GetFieldDefs(), t.GetIndexDefs());
    t.CreateTable();
}

void ProtocolDefs(TFieldDefs& f, TIndexDefs&) {
    f.Add("ID", ftInteger, 0, true);
    f.Add("NAME", ftString, 20);
    f.Add("AMOUNT", ftFloat);
    f.Add("BORN", ftDate);
}

std::unique_ptr<TDataSet> NewTable(bool file,
                                   const std::function<void(TFieldDefs&, TIndexDefs&)>& define) {
    static std::atomic<int> serial{0};
    std::unique_ptr<TTempFile> temp;
    std::unique_ptr<TZanDataBase> db;
    if (file) {
        temp = std::make_unique<TTempFile>("table_" + std::to_string(++serial) + ".zan");
        CreateDatabaseFile(temp->Path);
        db = NewDatabase(temp->Path);
    } else {
        db = NewDatabase(C_MEMORY_DATABASE);
    }
    db->Open();
    CreateTable(*db, "T", !file, define);
    auto t = std::make_unique<TOwningTable>(std::move(db), std::move(temp));
    t->SetTableName("T");
    t->SetMemory(!file);
    return t;
}

struct MemoryTableFactory {
    static constexpr bool KeyOrdered = true;
    static std::unique_ptr<TDataSet> Create() { return NewTable(false, ProtocolDefs); }
};
struct FileTableFactory {
    static constexpr bool KeyOrdered = true;
    static std::unique_ptr<TDataSet> Create() { return NewTable(true, ProtocolDefs); }
};

} // namespace

using TableFactories = ::testing::Types<MemoryTableFactory, FileTableFactory>;
INSTANTIATE_TYPED_TEST_SUITE_P(Table, DataSetProtocol, TableFactories);
