// A live query over an empty table passes the dataset protocol suite: its rows are written
// through to the base table.
#include <gtest/gtest.h>

#include "host/db/dataset_protocol_suite.h"
#include "sql_test_support.h"

using namespace zan;

namespace {

// A live query that owns its "MEMORY" database and the table it reads.
class TOwningQuery : public TZanQuery {
public:
    TOwningQuery() : FDb(std::make_unique<TZanDataBase>()) {
        FDb->SetDataBaseName(C_MEMORY_DATABASE);
        FDb->Open();
        TZanTable t;
        t.SetDataBase(FDb.get());
        t.SetTableName("T");
        t.SetMemory(true);
        t.GetFieldDefs().Add("ID", ftInteger, 0, true);
        t.GetFieldDefs().Add("NAME", ftString, 20);
        t.GetFieldDefs().Add("AMOUNT", ftFloat);
        t.GetFieldDefs().Add("BORN", ftDate);
        t.CreateTable();
        SetDatabase(FDb.get());
        SetRequestLive(true);
        GetSQL().SetText("SELECT ID, NAME, AMOUNT, BORN FROM T");
    }
    ~TOwningQuery() override {
        Destroying();
        Close();
        SetDatabase(nullptr);
    }

private:
    std::unique_ptr<TZanDataBase> FDb;
};

struct LiveQueryFactory {
    static constexpr bool KeyOrdered = true;
    static std::unique_ptr<TDataSet> Create() { return std::make_unique<TOwningQuery>(); }
};

} // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(LiveQuery, DataSetProtocol, ::testing::Types<LiveQueryFactory>);
