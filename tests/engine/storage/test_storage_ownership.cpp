// The block ownership check of the disk stores: a record, blob or index block is read or written
// only while its page belongs to the store in the page map. The pages a store once found to be
// its own may change hands afterwards (released by another connection, taken back by a
// rollback) and another table may get them; the store must then refuse them again.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "engine/storage/zanDisk.h"
#include "host/win/child_process.h"
#include "storage_e2e_table.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint32_t C_ROWS = 800;

// A file with the sample tables "one" and "two".
struct TTwoTables {
    explicit TTwoTables(const std::string& name) : File(name) {
        TTestDatabase db(File.Path);
        db.Create();
        db.Open();
        for (const char* table : {"one", "two"}) {
            auto def = std::make_unique<TTableDef>();
            BuildSampleTableDef(*def);
            def->SetTableName(table);
            db.UserTables().CreateTableDef(table, *def);
            Defs.push_back(std::move(def));
        }
        db.Close();
    }
    TTempFile File;
    std::vector<std::unique_ptr<TTableDef>> Defs;
};

std::vector<uint32_t> PagesOf(TDiskMgr& disk, uint32_t table, uint32_t usage) {
    std::vector<uint32_t> pages;
    disk.SetHeaderReadLock();
    disk.GetMapPageMgr()->ListPagesUsedByOwner(table, usage, pages, true);
    disk.ReleaseHeaderLock();
    return pages;
}

// Reads one page-sized block through the store: the engine error code, 0 when it was read.
int32_t ReadPageThrough(TBaseIOInterface& io, TDiskMgr& disk, uint32_t address) {
    std::vector<uint8_t> buffer(disk.GetPageSize());
    return ErrorCodeOf([&] { io.ReadBlock(address, uint32_t(buffer.size()), buffer.data()); });
}

} // namespace

// Connection A reads table one through its index; connection B deletes every row of it (index
// pages go back to the map) and fills table two, which takes those pages. A sees the change at
// its next header read and must no longer accept the pages as its index's.
TEST(BlockOwnership, PagesAnotherConnectionGaveAwayAreRefused) {
    TTwoTables f("own_conn.zan");
    TTestDatabase a(f.File.Path), b(f.File.Path);
    a.Open();
    b.Open();
    {
        TE2ETable oneA(a, "one", *f.Defs[0]);
        TE2ETable oneB(b, "one", *f.Defs[0]);
        TE2ETable twoB(b, "two", *f.Defs[1]);
        const uint16_t idOne = oneA.TableID(), idTwo = twoB.TableID();
        oneA.Batch([&] {
            for (uint32_t i = 0; i < C_ROWS; ++i)
                oneA.Insert(int32_t(i));
        });
        uint32_t byName = 0;
        ASSERT_EQ(oneA.ReadRows(byName).size(), C_ROWS);
        const std::vector<uint32_t> indexPages = PagesOf(a.Disk(), idOne, C_USAGE_INDEX);
        TBaseIOInterface& indexA = *oneA.Def().GetIndexInterface();
        for (uint32_t page : indexPages)
            ASSERT_EQ(ReadPageThrough(indexA, a.Disk(), page), 0);

        oneB.Batch([&] {
            for (uint32_t i = 0; i < C_ROWS; ++i)
                oneB.Delete(int32_t(i));
        });
        twoB.Batch([&] {
            for (uint32_t i = 0; i < C_ROWS; ++i)
                twoB.Insert(int32_t(i));
        });
        std::set<uint32_t> taken;
        for (uint32_t usage : {C_USAGE_RECORDS, C_USAGE_BLOBS})
            for (uint32_t page : PagesOf(b.Disk(), idTwo, usage))
                taken.insert(page);

        EXPECT_EQ(oneA.ReadRows(byName).size(), 0u); // A sees the change
        size_t reused = 0;
        for (uint32_t page : indexPages) {
            if (taken.count(page) == 0) continue;
            ++reused;
            EXPECT_EQ(ReadPageThrough(indexA, a.Disk(), page), 8962) << "page " << page;
        }
        EXPECT_GT(reused, 0u);
    }
    a.Close();
    b.Close();
}

// Pages a transaction added to table one are taken back by its rollback; table two of the same
// connection then gets the same addresses. Table one's stores must refuse them.
TEST(BlockOwnership, PagesARollbackTookBackAreRefused) {
    TTwoTables f("own_rollback.zan");
    TTestDatabase a(f.File.Path);
    a.Open();
    {
        TE2ETable one(a, "one", *f.Defs[0]);
        TE2ETable two(a, "two", *f.Defs[1]);
        a.Disk().DiskStartTransaction(false);
        one.Batch([&] {
            for (uint32_t i = 0; i < C_ROWS; ++i)
                one.Insert(int32_t(i));
        });
        uint32_t byName = 0;
        ASSERT_EQ(one.ReadRows(byName).size(), C_ROWS);
        const std::vector<uint32_t> recordPages =
            PagesOf(a.Disk(), one.TableID(), C_USAGE_RECORDS);
        ASSERT_FALSE(recordPages.empty());
        a.Disk().DiskRollback();

        EXPECT_EQ(one.ReadRows(byName).size(), 0u);
        two.Batch([&] {
            for (uint32_t i = 0; i < C_ROWS; ++i)
                two.Insert(int32_t(i));
        });
        std::set<uint32_t> taken;
        for (uint32_t usage : {C_USAGE_RECORDS, C_USAGE_BLOBS, C_USAGE_INDEX})
            for (uint32_t page : PagesOf(a.Disk(), two.TableID(), usage))
                taken.insert(page);
        TBaseIOInterface& records = *one.Def().GetRecordInterface();
        size_t reused = 0;
        for (uint32_t page : recordPages) {
            if (taken.count(page) == 0) continue;
            ++reused;
            EXPECT_EQ(ReadPageThrough(records, a.Disk(), page), 8962) << "page " << page;
        }
        EXPECT_GT(reused, 0u);
    }
    a.Close();
}

// B-tree nodes are read in place through pins: a pinned block is checked as a read one is.
TEST(BlockOwnership, PinnedBlocksAreCheckedAsReadOnes) {
    TTwoTables f("own_pin.zan");
    TTestDatabase a(f.File.Path);
    a.Open();
    {
        TE2ETable one(a, "one", *f.Defs[0]);
        TE2ETable two(a, "two", *f.Defs[1]);
        two.Batch([&] {
            for (uint32_t i = 0; i < 200; ++i)
                two.Insert(int32_t(i));
        });
        const std::vector<uint32_t> foreign = PagesOf(a.Disk(), two.TableID(), C_USAGE_RECORDS);
        ASSERT_FALSE(foreign.empty());
        TBaseIOInterface& index = *one.Def().GetIndexInterface();
        const uint32_t P = a.Disk().GetPageSize();
        EXPECT_EQ(ReadPageThrough(index, a.Disk(), foreign[0]), 8962);
        EXPECT_EQ(ErrorCodeOf([&] { index.PinBlock(foreign[0], P); }), 8962);
        EXPECT_EQ(ErrorCodeOf([&] { index.PinBlock(0x7FFFF000, P); }), 8962); // beyond the file
    }
    a.Close();
}
