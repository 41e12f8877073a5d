#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

std::string Pattern(size_t n, uint32_t seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7) % 251);
    return s;
}

TEST(BaseIOInterface, AllocationAndReleaseAreRefused) {
    TBaseIOInterface io;
    EXPECT_EQ(ErrorCodeOf([&] { io.AllocateNewAddress(10, nullptr); }), 10065);
    EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(16, 10); }), 10065);
    EXPECT_FALSE(io.CheckBlockAddressValid(16));
    EXPECT_EQ(io.GetNextMemoryBlockAddress(0), 0u);
}

TEST(MemoryIOInterface, HandlesAreUniqueOrderedAndStaleOnesInvalid) {
    TMemoryIOInterface io;
    io.SetTableID(3);
    io.SetUsage(C_USAGE_RECORDS);
    io.Open();
    EXPECT_EQ(io.GetOwnerTag(), 3 * 16 + 9);
    EXPECT_EQ(io.GetIOMode(), iomMemory);

    std::vector<uint32_t> a;
    for (int i = 0; i < 5; ++i)
        a.push_back(io.AllocateNewAddress(8, nullptr));
    EXPECT_EQ(a[0], 16u);
    for (size_t i = 1; i < a.size(); ++i)
        EXPECT_EQ(a[i], a[i - 1] + 16);

    io.ReleaseBlock(a[2], 8);
    EXPECT_FALSE(io.CheckBlockAddressValid(a[2]));
    EXPECT_FALSE(io.CheckPageValid(a[2]));
    uint32_t fresh = io.AllocateNewAddress(8, nullptr);
    EXPECT_NE(fresh, a[2]); // never reused before the counter wraps
    EXPECT_EQ(ErrorCodeOf([&] {
                  uint8_t b[8];
                  io.ReadBlock(a[2], 8, b);
              }),
              8581);

    // Allocation order, with the released block gone and the new one last.
    std::vector<uint32_t> order;
    for (uint32_t x = io.GetNextMemoryBlockAddress(0); x != 0; x = io.GetNextMemoryBlockAddress(x))
        order.push_back(x);
    EXPECT_EQ(order, (std::vector<uint32_t>{a[0], a[1], a[3], a[4], fresh}));
    std::vector<uint32_t> listed;
    io.ListBlocks(listed);
    EXPECT_EQ(listed, order);
    EXPECT_EQ(io.GetNextMemoryBlockAddress(fresh), 0u);

    io.Empty(true);
    EXPECT_EQ(io.BlockCount(), 0u);
    EXPECT_EQ(io.GetNextMemoryBlockAddress(0), 0u);
}

TEST(MemoryIOInterface, CounterWrapSkipsLiveHandles) {
    TMemoryIOInterface io;
    uint32_t first = io.AllocateNewAddress(4, nullptr); // 16
    io.SetNextHandle(0xFFFFFFF0u);
    EXPECT_EQ(io.AllocateNewAddress(4, nullptr), 0xFFFFFFF0u);
    uint32_t wrapped = io.AllocateNewAddress(4, nullptr);
    EXPECT_NE(wrapped, 0u);
    EXPECT_NE(wrapped, first);
    EXPECT_EQ(wrapped, 32u);
}

TEST(MemoryIOInterface, ReadWriteChecks) {
    TMemoryIOInterface io;
    const char data[6] = "hello";
    uint32_t a = io.AllocateNewAddress(6, data);
    char out[6] = {};
    io.ReadBlock(a, 6, out);
    EXPECT_STREQ(out, "hello");
    io.WriteBlock(a, 3, "HEL");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(io.ReadBlockByRef(a, 6)), 5), "HELlo");
    io.WriteBlock(a + 1000, 3, "xyz"); // an unknown address is ignored
    EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlock(a, 3, nullptr); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 6, nullptr); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 6, io.ReadBlockByRef(a, 6)); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlock(a, 7, out); }), 8581); // beyond the block
    EXPECT_EQ(ErrorCodeOf([&] { io.WriteBlock(a, 7, "1234567"); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { io.ReadBlockByRef(4, 1); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { io.ReleaseBlock(4, 1); }), 8581);
}

struct BlobFixture : ::testing::Test {
    void SetUp() override {
        Blob.SetIOInterface(&Io);
        Blob.SetBlobBlockSize(64); // payload 56
        Blob.Open();
    }
    uint32_t Insert(const std::string& s) {
        TStringStream in(s);
        return Blob.InsertBlob(in);
    }
    std::string Read(uint32_t head, uint32_t max = UINT32_MAX) {
        TStringStream out;
        uint32_t n = Blob.ReadBlob(head, out, max);
        EXPECT_EQ(n, out.DataString().size());
        return out.DataString();
    }
    TMemoryIOInterface Io;
    TBlobInterface Blob;
};

TEST_F(BlobFixture, OpenChecks) {
    TBlobInterface b;
    EXPECT_EQ(ErrorCodeOf([&] { b.Open(); }), 8581);
    b.SetIOInterface(&Io);
    EXPECT_EQ(ErrorCodeOf([&] { b.Open(); }), 8581);
}

TEST_F(BlobFixture, ChainSizesAtPayloadBoundaries) {
    EXPECT_EQ(Insert(""), 0u);
    EXPECT_EQ(Io.BlockCount(), 0u);
    EXPECT_EQ(Read(0), "");

    std::string two = Pattern(2 * 56);
    uint32_t h = Insert(two);
    EXPECT_EQ(Io.BlockCount(), 2u);
    EXPECT_EQ(Read(h), two);
    std::string three = Pattern(2 * 56 + 1, 2);
    uint32_t h3 = Insert(three);
    EXPECT_EQ(Io.BlockCount(), 5u);
    EXPECT_EQ(Read(h3), three);

    // Head is the first piece; pieces are written last first, so the head is the newest block.
    uint8_t block[64];
    Io.ReadBlock(h3, 64, block);
    EXPECT_EQ(GetLE32(block + 4), 56u);
    uint32_t second = GetLE32(block);
    Io.ReadBlock(second, 64, block);
    uint32_t third = GetLE32(block);
    Io.ReadBlock(third, 64, block);
    EXPECT_EQ(GetLE32(block), 0u);
    EXPECT_EQ(GetLE32(block + 4), 1u);

    Blob.DeleteBlob(h3);
    Blob.DeleteBlob(h);
    EXPECT_EQ(Io.BlockCount(), 0u);
}

TEST_F(BlobFixture, EditGrowsShrinksAndEmpties) {
    std::string v1 = Pattern(100, 1);
    uint32_t h = Insert(v1);
    ASSERT_EQ(Io.BlockCount(), 2u);

    std::string v2 = Pattern(300, 2); // 6 blocks
    TStringStream s2(v2);
    EXPECT_EQ(Blob.EditBlob(h, 100, s2), h);
    EXPECT_EQ(Io.BlockCount(), 6u);
    EXPECT_EQ(Read(h), v2);

    std::string v3 = Pattern(57, 3); // 2 blocks, the second holding 1 byte
    TStringStream s3(v3);
    EXPECT_EQ(Blob.EditBlob(h, 300, s3), h);
    EXPECT_EQ(Io.BlockCount(), 2u);
    EXPECT_EQ(Read(h), v3);

    std::string v4 = Pattern(56, 4); // exactly one block
    TStringStream s4(v4);
    EXPECT_EQ(Blob.EditBlob(h, 57, s4), h);
    EXPECT_EQ(Io.BlockCount(), 1u);
    EXPECT_EQ(Read(h), v4);

    TStringStream empty;
    EXPECT_EQ(Blob.EditBlob(h, 56, empty), 0u);
    EXPECT_EQ(Io.BlockCount(), 0u);

    TStringStream s5(v1);
    uint32_t h5 = Blob.EditBlob(0, 0, s5); // no chain yet: a new one
    EXPECT_NE(h5, 0u);
    EXPECT_EQ(Read(h5), v1);
}

TEST_F(BlobFixture, CorruptChainsRaise8963WithoutDamage) {
    uint32_t h = Insert(Pattern(200));
    ASSERT_EQ(Io.BlockCount(), 4u);
    // Bounded by the stored length.
    EXPECT_EQ(ErrorCodeOf([&] { Read(h, 199); }), 8963);
    EXPECT_EQ(ErrorCodeOf([&] { Blob.DeleteBlob(h, 100); }), 8963);
    EXPECT_EQ(Io.BlockCount(), 4u);

    // Make the chain loop back on its head.
    uint8_t block[64];
    uint32_t a = h;
    for (int i = 0; i < 3; ++i) {
        Io.ReadBlock(a, 64, block);
        a = GetLE32(block);
    }
    Io.ReadBlock(a, 64, block);
    PutLE32(block, h);
    PutLE32(block + 4, 56);
    Io.WriteBlock(a, 64, block);
    EXPECT_EQ(ErrorCodeOf([&] { Read(h); }), 8963);
    TStringStream s(Pattern(500));
    EXPECT_EQ(ErrorCodeOf([&] { Blob.EditBlob(h, UINT32_MAX, s); }), 8963);
    EXPECT_EQ(ErrorCodeOf([&] { Blob.DeleteBlob(h); }), 8963);
    EXPECT_EQ(Io.BlockCount(), 4u); // nothing was released

    // A count beyond the payload, or a short block in the middle.
    PutLE32(block, 0);
    PutLE32(block + 4, 57);
    Io.WriteBlock(a, 64, block);
    EXPECT_EQ(ErrorCodeOf([&] { Read(h); }), 8963);
    Io.ReadBlock(h, 64, block);
    PutLE32(block + 4, 10);
    Io.WriteBlock(h, 64, block);
    EXPECT_EQ(ErrorCodeOf([&] { Read(h); }), 8963);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Disk store

#include "engine/storage/zanDisk.h"
#include "host/win/child_process.h"

namespace {

constexpr uint32_t P = 4096;

struct TDiskDb {
    explicit TDiskDb(const std::string& name) : T(name) {
        Disk.SetFileName(T.Path);
        Disk.SetPageSize(P);
        Disk.CreateNewFile(true);
        Disk.SetOpenFlags(0x42);
        Disk.SetLockRetryCount(100);
        Disk.SetLockRetryInterval(5);
        Disk.Open();
    }
    std::unique_ptr<TDiskIOInterface> Store(uint16_t table, uint16_t usage, uint32_t block,
                                            uint32_t global = 0, uint8_t flags = 1) {
        auto io = std::make_unique<TDiskIOInterface>();
        io->SetDiskMgr(&Disk);
        io->SetTableID(table);
        io->SetUsage(usage);
        io->SetBlockSize(block);
        io->SetAccessFlags(flags);
        io->SetGlobalFirstEmptyOffset(global);
        io->SetFirstEmpty(0);
        io->SetFirstEmptyValid(true);
        io->Open();
        return io;
    }
    size_t OwnedPages(uint32_t table, uint32_t usage) {
        std::vector<uint32_t> list;
        Disk.SetHeaderReadLock();
        Disk.GetMapPageMgr()->ListPagesUsedByOwner(table, usage, list, true);
        Disk.ReleaseHeaderLock();
        return list.size();
    }
    // Blocks on the free chain starting at head.
    static uint64_t FreeBlocks(TBaseIOInterface& io) {
        uint64_t total = 0;
        uint32_t head = io.GetFirstEmpty();
        for (int guard = 0; head != 0 && guard < 1000000; ++guard) {
            uint8_t h[16];
            io.ReadBlock(head, 16, h);
            total += GetLE32(h + 12);
            head = GetLE32(h + 8);
        }
        return total;
    }
    TTempFile T;
    TDiskMgr Disk;
};

TEST(DiskIOInterface, OpenChecks) {
    TDiskIOInterface io;
    EXPECT_EQ(ErrorCodeOf([&] { io.Open(); }), 8581);
    TDiskDb db("io_open.zan");
    io.SetDiskMgr(&db.Disk);
    EXPECT_EQ(ErrorCodeOf([&] { io.Open(); }), 8581); // no usage
    io.SetUsage(C_USAGE_RECORDS);
    EXPECT_EQ(ErrorCodeOf([&] { io.Open(); }), 8581); // no block size
    io.SetBlockSize(100);
    io.SetTableID(2);
    io.Open();
    EXPECT_EQ(io.GetOwnerTag(), 2 * 16 + 9);
    EXPECT_EQ(ErrorCodeOf([&] { io.AllocateNewAddress(100, nullptr); }), 8581); // first empty unset
    io.SetFirstEmptyValid(true);
    EXPECT_EQ(ErrorCodeOf([&] { io.AllocateNewAddress(101, nullptr); }), 8581);
}

TEST(DiskIOInterface, RecordsFillAPageAsARunOf20InAddressOrder) {
    TDiskDb db("io_run.zan");
    auto io = db.Store(1, C_USAGE_RECORDS, 200);
    std::vector<uint8_t> rec(200, 0x11);
    uint32_t first = io->AllocateNewAddress(200, rec.data());
    EXPECT_EQ(first % P, 0u);
    EXPECT_EQ(io->GetFirstEmpty(), first + 200);
    uint8_t h[16];
    db.Disk.ReadCustomSize(first + 200, 16, h, 1, 1);
    EXPECT_EQ(GetLE32(h + 8), 0u);
    EXPECT_EQ(GetLE32(h + 12), 19u);
    for (uint32_t k = 1; k < 20; ++k)
        EXPECT_EQ(io->AllocateNewAddress(200, rec.data()), first + 200 * k);
    EXPECT_EQ(io->GetFirstEmpty(), 0u);
    EXPECT_EQ(db.OwnedPages(1, C_USAGE_RECORDS), 1u);
    uint32_t next = io->AllocateNewAddress(200, rec.data());
    EXPECT_NE(next / P, first / P);
    EXPECT_EQ(db.OwnedPages(1, C_USAGE_RECORDS), 2u);

    std::vector<uint32_t> listed;
    io->ListBlocks(listed);
    EXPECT_EQ(listed.size(), 40u);

    // Released blocks are reused last-released first.
    io->ReleaseBlock(first + 400, 200);
    io->ReleaseBlock(first + 1000, 200);
    EXPECT_EQ(io->AllocateNewAddress(200, rec.data()), first + 1000);
    EXPECT_EQ(io->AllocateNewAddress(200, rec.data()), first + 400);
    std::vector<uint8_t> back(200);
    io->ReadBlock(first + 400, 200, back.data());
    EXPECT_EQ(back, rec);
}

TEST(DiskIOInterface, PageAlignedReleaseGoesBackToTheMap) {
    TDiskDb db("io_pages.zan");
    auto io = db.Store(2, C_USAGE_INDEX, P);
    uint32_t a = io->AllocateNewAddress(P, nullptr);
    EXPECT_EQ(db.OwnedPages(2, C_USAGE_INDEX), 1u);
    EXPECT_EQ(io->GetFirstEmpty(), 0u);
    io->ReleaseBlock(a, P);
    EXPECT_EQ(db.OwnedPages(2, C_USAGE_INDEX), 0u);
    EXPECT_EQ(io->GetFirstEmpty(), 0u);

    auto big = db.Store(2, C_USAGE_BLOBS, 65536);
    uint32_t b = big->AllocateNewAddress(65536, nullptr);
    EXPECT_EQ(db.OwnedPages(2, C_USAGE_BLOBS), 16u);
    big->ReleaseBlock(b, 65536);
    EXPECT_EQ(db.OwnedPages(2, C_USAGE_BLOBS), 0u);
}

TEST(DiskIOInterface, GlobalChainKeepsACallersHeaderLock) {
    TDiskDb db("io_global.zan");
    auto io = db.Store(3, C_USAGE_INDEX, 1024, C_GLOBAL_FE_INDEXES);
    uint32_t a = io->AllocateNewAddress(1024, nullptr);
    EXPECT_FALSE(db.Disk.GetHeaderWriteLocked() || db.Disk.GetHeaderReadLocked());
    db.Disk.SetHeaderReadLock();
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetIndexesFirstEmpty(), a + 1024);
    db.Disk.ReleaseHeaderLock();

    db.Disk.SetHeaderWriteLock();
    uint32_t b = io->AllocateNewAddress(1024, nullptr);
    EXPECT_EQ(b, a + 1024);
    EXPECT_TRUE(db.Disk.GetHeaderWriteLocked());
    io->ReleaseBlock(a, 1024);
    EXPECT_TRUE(db.Disk.GetHeaderWriteLocked());
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetIndexesFirstEmpty(), a);
    db.Disk.ReleaseHeaderLock();

    // Another table's store shares the chain.
    auto other = db.Store(4, C_USAGE_INDEX, 1024, C_GLOBAL_FE_INDEXES);
    EXPECT_EQ(other->AllocateNewAddress(1024, nullptr), a);
}

TEST(DiskIOInterface, CorruptFreeRunsAndForeignBlocksRaise8962) {
    TDiskDb db("io_corrupt.zan");
    auto io = db.Store(1, C_USAGE_RECORDS, 200);
    auto other = db.Store(7, C_USAGE_RECORDS, 200);
    uint32_t a = io->AllocateNewAddress(200, nullptr);
    uint32_t foreign = other->AllocateNewAddress(200, nullptr);
    const uint32_t fe = io->GetFirstEmpty();
    auto patch = [&](uint32_t at, std::vector<uint8_t> bytes) {
        db.Disk.WriteCustomSize(at, static_cast<uint32_t>(bytes.size()), bytes.data(), 1, 1);
    };
    uint8_t good[16];
    db.Disk.ReadCustomSize(fe, 16, good, 1, 1);

    patch(fe, {1});
    EXPECT_EQ(ErrorCodeOf([&] { io->AllocateNewAddress(200, nullptr); }), 8962);
    EXPECT_EQ(io->GetFirstEmpty(), fe);                          // nothing taken
    patch(fe, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); // count 0
    EXPECT_EQ(ErrorCodeOf([&] { io->AllocateNewAddress(200, nullptr); }), 8962);
    patch(fe, {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 1, 0, 0, 0}); // next inside page 0
    EXPECT_EQ(ErrorCodeOf([&] { io->AllocateNewAddress(200, nullptr); }), 8962);
    patch(fe, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200, 0, 0, 0}); // a run beyond its pages
    EXPECT_EQ(ErrorCodeOf([&] { io->AllocateNewAddress(200, nullptr); }), 8962);

    // A run whose next leads into another table's page: refused when followed.
    std::vector<uint8_t> h(16, 0);
    PutLE32(h.data() + 8, foreign);
    PutLE32(h.data() + 12, 1);
    patch(fe, h);
    EXPECT_EQ(io->AllocateNewAddress(200, nullptr), fe);
    EXPECT_EQ(io->GetFirstEmpty(), foreign);
    EXPECT_EQ(ErrorCodeOf([&] { io->AllocateNewAddress(200, nullptr); }), 8962);

    // Heads outside the file or in the fixed pages.
    io->SetFirstEmpty(100);
    EXPECT_EQ(ErrorCodeOf([&] { io->AllocateNewAddress(200, nullptr); }), 8962);
    io->SetFirstEmpty(0x7FFFF000);
    EXPECT_EQ(ErrorCodeOf([&] { io->AllocateNewAddress(200, nullptr); }), 8962);

    // Releasing another table's block, or one outside the file, writes nothing.
    io->SetFirstEmpty(0);
    EXPECT_EQ(ErrorCodeOf([&] { io->ReleaseBlock(foreign, 200); }), 8962);
    EXPECT_EQ(ErrorCodeOf([&] { io->ReleaseBlock(0x7FFFF000, 200); }), 8962);
    EXPECT_EQ(ErrorCodeOf([&] { io->ReleaseBlock(1024, 200); }), 8962);
    io->ReleaseBlock(a, 200);
    EXPECT_EQ(io->GetFirstEmpty(), a);
}

// A store remembers the pages it found to be its own, so releases and reused runs in them skip
// the map; a page that left the store (released whole, then taken by another table) is looked
// up again, and a release or reuse in it is refused.
TEST(DiskIOInterface, RememberedPagesThatLeaveTheStoreAreCheckedAgain) {
    TDiskDb db("io_owned.zan");
    auto pages = db.Store(1, C_USAGE_RECORDS, P);
    auto other = db.Store(2, C_USAGE_RECORDS, P);
    std::vector<uint8_t> page(P, 0x5A);
    const uint32_t a = pages->AllocateNewAddress(P, page.data());
    const uint32_t b = pages->AllocateNewAddress(P, page.data());
    pages->ReadBlock(a, P, page.data()); // found to be the store's
    pages->ReadBlock(b, P, page.data());
    pages->ReleaseBlock(a, P);
    EXPECT_EQ(db.OwnedPages(1, C_USAGE_RECORDS), 1u);
    // The freed page changes hands; it starts like a free run of one block.
    std::vector<uint8_t> run(P, 0);
    PutLE32(run.data() + 12, 1);
    EXPECT_EQ(other->AllocateNewAddress(P, run.data()), a);
    EXPECT_EQ(ErrorCodeOf([&] { pages->ReleaseBlock(a, P); }), 8962);
    EXPECT_EQ(ErrorCodeOf([&] { pages->ReleaseBlock(a + 200, 200); }), 8962);
    EXPECT_EQ(db.OwnedPages(2, C_USAGE_RECORDS), 1u);

    // Small blocks: released and reused many times over, every run checked once; a chain
    // pointing into the other table's page is still refused when followed.
    auto recs = db.Store(1, C_USAGE_RECORDS, 200);
    std::vector<uint32_t> taken;
    for (int i = 0; i < 60; ++i)
        taken.push_back(recs->AllocateNewAddress(200, nullptr));
    for (int round = 0; round < 3; ++round) {
        for (uint32_t address : taken)
            recs->ReleaseBlock(address, 200);
        std::vector<uint32_t> again;
        for (size_t i = 0; i < taken.size(); ++i)
            again.push_back(recs->AllocateNewAddress(200, nullptr));
        std::sort(again.begin(), again.end());
        std::vector<uint32_t> sorted = taken;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(again, sorted) << round; // the same blocks, nothing leaked
    }
    recs->ReleaseBlock(taken[0], 200);
    std::vector<uint8_t> h(16, 0);
    PutLE32(h.data() + 8, a);
    PutLE32(h.data() + 12, 1);
    db.Disk.WriteCustomSize(taken[0], 16, h.data(), 1, 1);
    EXPECT_EQ(recs->AllocateNewAddress(200, nullptr), taken[0]);
    EXPECT_EQ(recs->GetFirstEmpty(), a);
    EXPECT_EQ(ErrorCodeOf([&] { recs->AllocateNewAddress(200, nullptr); }), 8962);
}

TEST(DiskIOInterface, NoPageLeaksAcrossBlockSizes) {
    TDiskDb db("io_leak.zan");
    struct TCase {
        uint32_t Size, Count;
    };
    const TCase cases[] = {{200, 4000}, {3000, 2500}, {4096, 2000}, {5000, 1400}, {65536, 100}};
    uint16_t table = 10;
    for (const TCase& c : cases) {
        auto io = db.Store(table, C_USAGE_RECORDS, c.Size);
        std::vector<uint32_t> addresses;
        for (uint32_t i = 0; i < c.Count; ++i)
            addresses.push_back(io->AllocateNewAddress(c.Size, nullptr));
        EXPECT_EQ(std::set<uint32_t>(addresses.begin(), addresses.end()).size(), c.Count);
        const size_t owned = db.OwnedPages(table, C_USAGE_RECORDS);
        std::vector<uint32_t> listed;
        io->ListBlocks(listed);
        // Every block of the owned pages is either handed out or on the free chain.
        EXPECT_EQ(listed.size(), c.Count + db.FreeBlocks(*io)) << c.Size;
        for (size_t i = 0; i < addresses.size(); ++i)
            io->ReleaseBlock(addresses[(i * 7919) % addresses.size()], c.Size);
        if (c.Size % P == 0) {
            EXPECT_EQ(db.OwnedPages(table, C_USAGE_RECORDS), 0u) << c.Size;
        } else {
            EXPECT_EQ(db.FreeBlocks(*io), listed.size()) << c.Size;
            for (uint32_t i = 0; i < c.Count; ++i)
                io->AllocateNewAddress(c.Size, nullptr);
            EXPECT_EQ(db.OwnedPages(table, C_USAGE_RECORDS), owned) << c.Size; // reused
        }
        ++table;
    }
}

TEST(DiskIOInterface, BlobChainsOnDisk) {
    TDiskDb db("io_blob.zan");
    auto io = db.Store(5, C_USAGE_BLOBS, 512, 0, 3);
    TBlobInterface blob;
    blob.SetIOInterface(io.get());
    blob.SetBlobBlockSize(512);
    blob.Open();
    auto blocksOf = [&](uint32_t head) {
        int n = 0;
        for (uint8_t b[8]; head != 0; ++n) {
            io->ReadBlock(head, 8, b);
            head = GetLE32(b);
        }
        return n;
    };
    std::string two = Pattern(2 * 504), three = Pattern(2 * 504 + 1, 3);
    TStringStream s2(two), s3(three);
    uint32_t h2 = blob.InsertBlob(s2), h3 = blob.InsertBlob(s3);
    EXPECT_EQ(blocksOf(h2), 2);
    EXPECT_EQ(blocksOf(h3), 3);
    TStringStream out;
    EXPECT_EQ(blob.ReadBlob(h3, out, 1009), 1009u);
    EXPECT_EQ(out.DataString(), three);

    std::string grown = Pattern(5000, 4);
    TStringStream sg(grown);
    EXPECT_EQ(blob.EditBlob(h2, 1008, sg), h2);
    TStringStream out2;
    blob.ReadBlob(h2, out2);
    EXPECT_EQ(out2.DataString(), grown);
    EXPECT_EQ(blocksOf(h2), 10);
    TStringStream small("tiny");
    blob.EditBlob(h2, 5000, small);
    EXPECT_EQ(blocksOf(h2), 1);
    blob.DeleteBlob(h2, 4);
    blob.DeleteBlob(h3, 1009);
    std::vector<uint32_t> listed;
    io->ListBlocks(listed);
    EXPECT_EQ(db.FreeBlocks(*io), listed.size());
}

} // namespace
