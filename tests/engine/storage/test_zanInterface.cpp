#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanInterfaceUnit.h"

namespace {

template <class F>
int32_t ErrorOf(F f) {
    try {
        f();
    } catch (const EZanDatabaseError& e) {
        return e.ErrorCode;
    }
    return 0;
}

std::string Pattern(size_t n, uint32_t seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7) % 251);
    return s;
}

TEST(BaseIOInterface, AllocationAndReleaseAreRefused) {
    TBaseIOInterface io;
    EXPECT_EQ(ErrorOf([&] { io.AllocateNewAddress(10, nullptr); }), 10065);
    EXPECT_EQ(ErrorOf([&] { io.ReleaseBlock(16, 10); }), 10065);
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
    EXPECT_EQ(ErrorOf([&] {
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
    EXPECT_EQ(ErrorOf([&] { io.WriteBlock(a, 3, nullptr); }), 8581);
    EXPECT_EQ(ErrorOf([&] { io.ReadBlock(a, 6, nullptr); }), 8581);
    EXPECT_EQ(ErrorOf([&] { io.ReadBlock(a, 6, io.ReadBlockByRef(a, 6)); }), 8581);
    EXPECT_EQ(ErrorOf([&] { io.ReadBlock(a, 7, out); }), 8581); // beyond the block
    EXPECT_EQ(ErrorOf([&] { io.WriteBlock(a, 7, "1234567"); }), 8581);
    EXPECT_EQ(ErrorOf([&] { io.ReadBlockByRef(4, 1); }), 8581);
    EXPECT_EQ(ErrorOf([&] { io.ReleaseBlock(4, 1); }), 8581);
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
    EXPECT_EQ(ErrorOf([&] { b.Open(); }), 8581);
    b.SetIOInterface(&Io);
    EXPECT_EQ(ErrorOf([&] { b.Open(); }), 8581);
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
    EXPECT_EQ(ErrorOf([&] { Read(h, 199); }), 8963);
    EXPECT_EQ(ErrorOf([&] { Blob.DeleteBlob(h, 100); }), 8963);
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
    EXPECT_EQ(ErrorOf([&] { Read(h); }), 8963);
    TStringStream s(Pattern(500));
    EXPECT_EQ(ErrorOf([&] { Blob.EditBlob(h, UINT32_MAX, s); }), 8963);
    EXPECT_EQ(ErrorOf([&] { Blob.DeleteBlob(h); }), 8963);
    EXPECT_EQ(Io.BlockCount(), 4u); // nothing was released

    // A count beyond the payload, or a short block in the middle.
    PutLE32(block, 0);
    PutLE32(block + 4, 57);
    Io.WriteBlock(a, 64, block);
    EXPECT_EQ(ErrorOf([&] { Read(h); }), 8963);
    Io.ReadBlock(h, 64, block);
    PutLE32(block + 4, 10);
    Io.WriteBlock(h, 64, block);
    EXPECT_EQ(ErrorOf([&] { Read(h); }), 8963);
}

} // namespace
