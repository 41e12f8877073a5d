// A restructure by one connection seen by another that keeps pages of the table: the change
// counter moves on through the restructure, so the other connection drops its stale pages.
#include <gtest/gtest.h>

#include "engine/storage/storage_e2e_table.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

std::vector<int32_t> Range(int32_t from, int32_t to) {
    std::vector<int32_t> v;
    for (int32_t i = from; i <= to; ++i)
        v.push_back(i);
    return v;
}

// Connection a rebuilds the table's fields (records emptied, trees replaced) under the table
// and header write locks.
void RestructureFields(TTestDatabase& a, const std::string& name, const TTableDef& stored) {
    TTableDef open;
    open.Assign(stored);
    a.UserTables().OpenTableDefConnection(name, open);
    const auto id = static_cast<uint16_t>(open.GetTableID());
    a.Disk().SetTableLock(id, ZanLockWrite);
    a.Disk().SetHeaderWriteLock();
    open.GetTableHeader()->ReadHeader();
    TRestructureFieldDefs fieldChange;
    fieldChange.SetChangeStatus(dcDataChange);
    TInternalRestructureRec rec;
    rec.FieldDefs = &fieldChange;
    a.UserTables().RestructureTableDef(open, rec);
    a.Disk().ReleaseHeaderLock();
    a.Disk().ReleaseTableLock(id);
    open.InternalClose();
    a.UserTables().CloseTableDefConnection(id);
}

} // namespace

// b remembers the counter K; a restructures and writes until the stored counter would be K
// again had the restructure restarted it. b reads a's rows, never its stale pages; then b
// writes and the file stays sound.
TEST(StorageRestructureElsewhere, CounterMovesOnThroughARestructure) {
    TTempFile f("restructure_elsewhere.zan");
    TTestDatabase a(f.Path), b(f.Path);
    a.Create();
    a.Open();
    b.Open();
    TTableDef def;
    BuildSampleTableDef(def);
    def.SetTableName("t");
    a.UserTables().CreateTableDef("t", def);
    TE2ETable ta(a, "t", def), tb(b, "t", def);
    ta.Batch([&] {
        for (int id = 1; id <= 150; ++id)
            ta.Insert(id);
    });
    ta.Batch([&] {
        for (int id = 151; id <= 300; ++id)
            ta.Insert(id);
    });
    uint32_t byName = 0, bad = 0;
    ASSERT_EQ(tb.ReadAllIds(byName, bad), Range(1, 300));
    const uint32_t remembered = tb.Def().GetTableHeader()->GetModifiedFlag();
    RestructureFields(a, "t", def);
    int32_t next = 1000;
    TTableHeader& h = *const_cast<TTableDef&>(ta.Def()).GetTableHeader();
    for (int batch = 0; batch < 50; ++batch) {
        ta.Batch([&] { ta.Insert(next++); });
        a.Disk().SetHeaderReadLock();
        h.ReadHeader();
        a.Disk().ReleaseHeaderLock();
        if (h.GetModifiedFlag() >= remembered) break;
    }
    std::vector<int32_t> ids;
    std::string message;
    const int32_t code = ErrorCodeOf([&] { ids = tb.ReadAllIds(byName, bad); }, &message);
    if (code != 0 && b.Disk().GetHeaderReadLocked()) b.Disk().ReleaseHeaderLock();
    ASSERT_EQ(code, 0) << message;
    EXPECT_EQ(ids, Range(1000, next - 1));
    EXPECT_EQ(bad, 0u);
    tb.Batch([&] {
        tb.Delete(1000);
        tb.Insert(2000);
    });
    std::vector<int32_t> want = Range(1001, next - 1);
    want.push_back(2000);
    EXPECT_EQ(ta.ReadAllIds(byName, bad), want);
    auto problems = CheckDatabase(a.Disk(), {&ta.Def()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}
