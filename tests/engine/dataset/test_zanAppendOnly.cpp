// Rows added in append-only mode (as a query fills its result table): equal keys are still
// refused by unique and primary indexes, every row reaches every index, and the cursor works
// as before once the mode is off.
#include <gtest/gtest.h>

#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

struct TAppendTable {
    TAppendTable() {
        Db.SetDataBaseName("MEMORY");
        Db.Open();
        Table.SetDataBase(&Db);
        Table.SetTableName("appended");
        Table.SetMemory(true);
        Table.GetFieldDefs().Add("id", ftInteger, 0);
        Table.GetFieldDefs().Add("code", ftInteger, 0);
        Table.GetFieldDefs().Add("grp", ftInteger, 0);
        Table.GetIndexDefs().Add("pk", "id", {ixPrimary});
        Table.GetIndexDefs().Add("ixcode", "code", {ixUnique});
        Table.GetIndexDefs().Add("ixgrp", "grp", {});
        Table.CreateTable();
        Table.Open();
    }
    ~TAppendTable() {
        Table.Close();
        Db.Close();
    }
    void Add(int id, int code, int grp) {
        Table.ClearRecord();
        Table.InitializeNewRecord(Table.GetRecBuf(), false);
        Table.DataSetSetFieldDataToRecBufAsVariant(Table.GetRecBuf(), 0, Variant(id));
        Table.DataSetSetFieldDataToRecBufAsVariant(Table.GetRecBuf(), 1, Variant(code));
        Table.DataSetSetFieldDataToRecBufAsVariant(Table.GetRecBuf(), 2, Variant(grp));
        Table.AddRecord(false);
    }
    // The ids in the order of the index.
    std::vector<int> Ids(const std::string& index) {
        Table.InternalSetIndexName(index);
        std::vector<int> ids;
        for (bool more = Table.DataSetFirst(); more; more = Table.DataSetNext())
            ids.push_back(
                Table.DataSetGetFieldDataFromRecBufAsVariant(Table.GetRecBuf(), 0).AsInteger());
        return ids;
    }

    TZanDataBase Db;
    TZanTable Table;
};

} // namespace

TEST(AppendOnly, EqualKeysAreRefusedWhereUniqueAndEveryRowReachesEveryIndex) {
    TAppendTable t;
    t.Table.SetAppendOnly(true);
    // Many rows of few groups: the non-unique index holds equal values in several nodes.
    constexpr int kRows = 600;
    for (int i = 1; i <= kRows; ++i)
        t.Add(i, kRows + 1 - i, i % 3);
    struct TRefusal {
        int Id, Code;
    };
    for (const TRefusal& r : {TRefusal{5, 9999}, TRefusal{9999, 5}})
        EXPECT_EQ(ErrorCodeOf([&] { t.Add(r.Id, r.Code, 1); }), 9729);
    t.Table.SetAppendOnly(false);
    EXPECT_EQ(t.Table.GetTotalRecordCount(), kRows);
    std::vector<int> byId = t.Ids("pk"), byCode = t.Ids("ixcode"), byGrp = t.Ids("ixgrp");
    ASSERT_EQ(byId.size(), size_t(kRows));
    ASSERT_EQ(byCode.size(), size_t(kRows));
    ASSERT_EQ(byGrp.size(), size_t(kRows));
    for (int i = 0; i < kRows; ++i) {
        EXPECT_EQ(byId[size_t(i)], i + 1);
        EXPECT_EQ(byCode[size_t(i)], kRows - i);
    }
    // Group 0 first, each group in the order its rows were added.
    for (int i = 1; i < kRows; ++i) {
        const int a = byGrp[size_t(i - 1)], b = byGrp[size_t(i)];
        EXPECT_TRUE(a % 3 < b % 3 || (a % 3 == b % 3 && a < b)) << a << " before " << b;
    }
    // With the mode off an added row is the current one again.
    t.Add(kRows + 1, 0, 7);
    EXPECT_EQ(t.Table.DataSetGetFieldDataFromRecBufAsVariant(t.Table.GetRecBuf(), 0).AsInteger(),
              kRows + 1);
    EXPECT_EQ(t.Table.GetTotalRecordCount(), kRows + 1);
}
