#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDataUnit.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

// A memory store that counts writes and page-change notices.
class TCountingIO : public TMemoryIOInterface {
public:
    void WriteBlock(uint32_t address, uint32_t size, const void* data) override {
        ++Writes;
        TMemoryIOInterface::WriteBlock(address, size, data);
    }
    void NotifyPageChange(uint32_t owner) override { Notices.push_back(owner); }
    int Writes = 0;
    std::vector<uint32_t> Notices;
};

struct HeaderFixture : ::testing::Test {
    void Open(int32_t base) {
        MapAddr = Io.AllocateNewAddress(C_HEADER_MAP_SIZE, nullptr);
        Mgr.SetBaseAddress(MapAddr);
        Mgr.SetBaseTableID(base);
        Mgr.Open(&Io);
    }
    TCountingIO Io;
    TTableHeaderMgr Mgr;
    uint32_t MapAddr = 0;
};

TEST_F(HeaderFixture, OpenNeedsBaseAddress) {
    TTableHeaderMgr m;
    EXPECT_EQ(ErrorCodeOf([&] { m.Open(&Io); }), 8581);
}

TEST_F(HeaderFixture, UserIdsStartAt1AndAreReusedInMapOrder) {
    Open(C_USER_BASE_TABLE_ID);
    EXPECT_EQ(Mgr.AddTable(1), 1);
    EXPECT_EQ(Mgr.AddTable(2), 2);
    EXPECT_EQ(Mgr.AddTable(0), 3);
    Mgr.DeleteTable(1);
    EXPECT_EQ(Mgr.AddTable(1), 1);
    EXPECT_EQ(Mgr.MapTableID(0), 2u);
    EXPECT_EQ(Mgr.MapTableID(1), 3u);
    EXPECT_EQ(Mgr.MapTableID(2), 1u);
    EXPECT_EQ(Mgr.MapTableID(3), 0u);
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.DeleteTable(77); }), 8579);
    // An id the map does not hold is a table the file lost: damage.
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.OpenTable(77); }), 8962);

    // The map on the store matches the one in memory.
    uint8_t map[C_HEADER_MAP_SIZE];
    Io.ReadBlock(MapAddr, C_HEADER_MAP_SIZE, map);
    EXPECT_EQ(GetLE32(map + 16), 1u);
    EXPECT_NE(GetLE32(map + 20), 0u);
}

TEST_F(HeaderFixture, NewHeaderIsWrittenOnceWithItsIdentity) {
    Open(C_SYSTEM_BASE_TABLE_ID);
    int32_t id = Mgr.AddTable(3);
    EXPECT_EQ(id, 1024);
    TTableHeader* h = Mgr.OpenTable(id);
    EXPECT_EQ(h->GetTableID(), 1024u);
    EXPECT_EQ(h->GetModifiedFlag(), 1u);
    EXPECT_EQ(h->GetHeaderSize(), 256u);
    EXPECT_EQ(h->GetIndexCount(), 3u);
    EXPECT_FALSE(h->GetDirty());
    EXPECT_EQ(Io.Notices, std::vector<uint32_t>{1024}); // first read counts as a change
}

TEST_F(HeaderFixture, TableLimit) {
    Open(C_USER_BASE_TABLE_ID);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(Mgr.AddTable(0), 1 + i);
    size_t blocks = Io.BlockCount();
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.AddTable(0); }), 9601);
    EXPECT_EQ(Io.BlockCount(), blocks); // nothing allocated
    Mgr.DeleteTable(500);
    EXPECT_EQ(Mgr.AddTable(0), 500);
}

TEST_F(HeaderFixture, SettersMarkDirtyOnlyOnChangeAndRangesAreChecked) {
    Open(C_USER_BASE_TABLE_ID);
    TTableHeader* h = Mgr.OpenTable(Mgr.AddTable(34));
    h->SetGenerator1(0);
    h->SetIndexRoot(33, 0);
    EXPECT_FALSE(h->GetDirty());
    h->SetIndexRoot(33, 8192);
    h->SetIndexDepth(33, 2);
    EXPECT_TRUE(h->GetDirty());
    EXPECT_EQ(h->GetIndexRoot(33), 8192u);
    EXPECT_EQ(h->GetIndexDepth(33), 2);
    EXPECT_EQ(ErrorCodeOf([&] { h->SetIndexRoot(34, 1); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { h->GetIndexRoot(-1); }), 8581);

    // A corrupt index count cannot push an access past the buffer.
    h->SetIndexCount(1000);
    EXPECT_EQ(ErrorCodeOf([&] { h->SetIndexRoot(40, 1); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { h->GetIndexDepth(40); }), 8581);
    h->SetIndexCount(34);

    int before = Io.Writes;
    Mgr.CloseTable(h); // last user: dirty header written
    EXPECT_EQ(Io.Writes, before + 1);
    TTableHeader* again = Mgr.OpenTable(1);
    EXPECT_EQ(again->GetIndexRoot(33), 8192u);
    EXPECT_EQ(again->GetModifiedFlag(), 2u);
    before = Io.Writes;
    Mgr.CloseTable(again); // clean: not written
    EXPECT_EQ(Io.Writes, before);
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.CloseTable(nullptr); }), 8581);
}

TEST_F(HeaderFixture, OpenersShareOneHeader) {
    Open(C_USER_BASE_TABLE_ID);
    int32_t id = Mgr.AddTable(1);
    TTableHeader* a = Mgr.OpenTable(id);
    TTableHeader* b = Mgr.OpenTable(id);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->GetUserCount(), 2);
    Mgr.CloseTable(a);
    EXPECT_EQ(Mgr.FindHdrItemByID(id), b);
    Mgr.CloseTable(b);
    EXPECT_EQ(Mgr.FindHdrItemByID(id), nullptr);
}

TEST_F(HeaderFixture, ChangeCounterNoticesOtherWriters) {
    Open(C_USER_BASE_TABLE_ID);
    int32_t id = Mgr.AddTable(0);
    TTableHeader* h = Mgr.OpenTable(id);
    Io.Notices.clear();
    h->ReadHeader();
    EXPECT_TRUE(Io.Notices.empty());
    // Another copy of the header writes: the counter moves.
    TTableHeader other;
    other.SetIOInterface(&Io);
    other.SetHeaderSize(256);
    other.SetBaseAddress(h->GetBaseAddress());
    other.SetTableID(static_cast<uint32_t>(id));
    other.ReadHeader();
    Io.Notices.clear();
    other.SetRecordAutoIncVal(9);
    other.WriteHeader();
    h->ReadHeader();
    EXPECT_EQ(Io.Notices, std::vector<uint32_t>{uint32_t(id)});
    EXPECT_EQ(h->GetRecordAutoIncVal(), 9u);
}

// Reads swap the stored block in through a kept buffer: many reads after another copy's writes
// see each write, a refused block leaves the held values as they were, and reads still follow a
// change of the held header's size.
TEST_F(HeaderFixture, RepeatedReadsFollowWritesAndRefusalsKeepTheHeldHeader) {
    Open(C_USER_BASE_TABLE_ID);
    int32_t id = Mgr.AddTable(0);
    TTableHeader* h = Mgr.OpenTable(id);
    TTableHeader other;
    other.SetIOInterface(&Io);
    other.SetHeaderSize(256);
    other.SetBaseAddress(h->GetBaseAddress());
    other.SetTableID(static_cast<uint32_t>(id));
    other.ReadHeader();
    for (uint32_t i = 1; i <= 50; ++i) {
        other.SetRecordFirstEmpty(i * 7);
        other.SetGenerator2(i);
        other.WriteHeader();
        h->ReadHeader();
        ASSERT_EQ(h->GetRecordFirstEmpty(), i * 7);
        ASSERT_EQ(h->GetGenerator2(), i);
        ASSERT_FALSE(h->GetDirty());
    }
    uint8_t hdr[256];
    Io.ReadBlock(h->GetBaseAddress(), 256, hdr);
    uint8_t bad[256];
    std::memcpy(bad, hdr, 256);
    PutLE32(bad, 55); // another table's id
    Io.WriteBlock(h->GetBaseAddress(), 256, bad);
    EXPECT_EQ(ErrorCodeOf([&] { h->ReadHeader(); }), 8962);
    EXPECT_EQ(h->GetTableID(), uint32_t(id));
    EXPECT_EQ(h->GetRecordFirstEmpty(), 350u);
    EXPECT_EQ(h->GetHeaderSize(), 256u);
    Io.WriteBlock(h->GetBaseAddress(), 256, hdr);
    h->ReadHeader();
    EXPECT_EQ(h->GetGenerator2(), 50u);
    // A smaller held size no longer matches the stored block: refused, the held copy intact.
    other.ResetHeaderSize(128, false);
    EXPECT_EQ(ErrorCodeOf([&] { other.ReadHeader(); }), 8962);
    EXPECT_EQ(other.GetHeaderSize(), 128u);
    EXPECT_EQ(other.GetTableID(), uint32_t(id));
    other.ResetHeaderSize(256, false);
    other.ReadHeader();
    EXPECT_EQ(other.GetRecordFirstEmpty(), 350u);
}

TEST_F(HeaderFixture, CorruptStoredHeadersAndMapsAreRefused) {
    Open(C_USER_BASE_TABLE_ID);
    int32_t id = Mgr.AddTable(0);
    int32_t pos = 0;
    ASSERT_TRUE(Mgr.FindTableHeaderInMap(id, pos));
    uint32_t addr = Mgr.MapAddress(pos);
    uint8_t hdr[256];
    Io.ReadBlock(addr, 256, hdr);

    PutLE32(hdr + 8, 100000); // header size
    Io.WriteBlock(addr, 256, hdr);
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.OpenTable(id); }), 8962);
    EXPECT_EQ(Mgr.Count(), 0);
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.DeleteTable(id); }), 8962);

    PutLE32(hdr + 8, 256);
    PutLE32(hdr, 55); // another table's id
    Io.WriteBlock(addr, 256, hdr);
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.OpenTable(id); }), 8962);
    EXPECT_EQ(Mgr.Count(), 0);

    uint8_t map[C_HEADER_MAP_SIZE];
    Io.ReadBlock(MapAddr, C_HEADER_MAP_SIZE, map);
    PutLE32(map + 8, 5000); // an id outside the manager's range
    Io.WriteBlock(MapAddr, C_HEADER_MAP_SIZE, map);
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.AddTable(0); }), 8962);
}

TEST_F(HeaderFixture, DumpNamesOrphanPairs) {
    Open(C_USER_BASE_TABLE_ID);
    Mgr.OpenTable(Mgr.AddTable(1));
    TStringList lines;
    Mgr.DebugDumpAllHeaders(lines);
    EXPECT_EQ(lines[0], "Current Headers");
    EXPECT_NE(lines.GetText().find("TableID=1 BaseAddr="), std::string::npos);
    EXPECT_NE(lines.GetText().find("Header MapPos=0 TableID=1"), std::string::npos);
    EXPECT_NE(lines.GetText().find("   Idx=0 Root=0 Depth=0"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------

struct RecordFixture : ::testing::Test {
    void SetUp() override {
        auto add = [&](const char* name, TFieldType t, int32_t size = 0) {
            auto* f = Fields.Add();
            f->SetFieldName(name);
            f->SetDataType(t);
            if (size) f->SetFieldSize(size);
            f->SetFieldIndex(Fields.Count() - 1);
            return f;
        };
        Name = add("Name", ftString, 21);
        add("Memo", ftMemo);
        Qty = add("Qty", ftInteger);
        add("Pic", ftBlob);
        Fields.SetDefaultOffsets();
        Mgr.SetFields(&Fields);
        Mgr.SetRecordSize(Fields.GetRecordSize());
    }
    std::vector<uint8_t> Record(const std::string& name, int32_t qty) {
        std::vector<uint8_t> r(static_cast<size_t>(Fields.GetRecordSize()), 0);
        r[0] = 1;
        RecordSetString(r.data(), *Name, name);
        RecordSetInteger(r.data(), *Qty, qty);
        return r;
    }
    TInternalFields Fields;
    TInternalFieldItem* Name = nullptr;
    TInternalFieldItem* Qty = nullptr;
    TMemoryIOInterface Io;
    TRecordMgr Mgr;
};

TEST_F(RecordFixture, OpenMakesOneInvalidEntryPerBlobField) {
    Mgr.Open(&Io);
    TBlobMgr& blobs = Mgr.GetBlobMgr();
    ASSERT_EQ(blobs.Count(), 2);
    EXPECT_EQ(blobs.Items(0)->GetFieldNo(), 1);
    EXPECT_EQ(blobs.Items(1)->GetFieldNo(), 3);
    EXPECT_EQ(blobs.CheckBlobStates(), bsInvalid);
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.SetRecordSize(10); }), 8581);

    blobs.Items(0)->SetRecID(500);
    EXPECT_EQ(blobs.FindBlob(0, 1), blobs.Items(0));
    EXPECT_EQ(blobs.FindBlob(500, 1), blobs.Items(0));
    EXPECT_EQ(blobs.FindBlob(501, 1), nullptr);
    blobs.Items(0)->SetState(bsModified);
    EXPECT_EQ(blobs.CheckBlobStates(), bsInvalid);
    blobs.Items(1)->SetState(bsValid);
    EXPECT_EQ(blobs.CheckBlobStates(), bsModified);
    blobs.Items(0)->SetState(bsValid);
    EXPECT_EQ(blobs.CheckBlobStates(), bsValid);
    blobs.InvalidateStreams();
    EXPECT_EQ(blobs.CheckBlobStates(), bsInvalid);
    blobs.Clear();
    EXPECT_EQ(blobs.CheckBlobStates(), bsNone);
}

TEST_F(RecordFixture, OpenRefusesMissingSizeAndBadLayouts) {
    TRecordMgr m;
    EXPECT_EQ(ErrorCodeOf([&] { m.Open(&Io); }), 8576);
    m.SetFields(&Fields);
    m.SetRecordSize(Fields.GetRecordSize() - 1); // the last field would lie outside
    EXPECT_EQ(ErrorCodeOf([&] { m.Open(&Io); }), 8962);
    TRecordMgr closed;
    uint8_t buf[64] = {};
    EXPECT_EQ(ErrorCodeOf([&] { closed.AddRecord(buf); }), 8576);
}

TEST_F(RecordFixture, RecordsRoundTripInMemory) {
    Mgr.Open(&Io);
    auto r1 = Record("first", 1);
    auto r2 = Record("zweite Größe", -2);
    uint32_t a1 = Mgr.AddRecord(r1.data());
    uint32_t a2 = Mgr.AddRecord(r2.data());
    EXPECT_NE(a1, a2);
    EXPECT_EQ(std::memcmp(Mgr.GetInternalBuffer(), r2.data(), r2.size()), 0);

    std::vector<uint8_t> buf(r1.size());
    Mgr.GetBlobMgr().Items(0)->SetState(bsValid);
    Mgr.ReadRecord(a1, buf.data(), false);
    EXPECT_EQ(buf, r1);
    EXPECT_EQ(Mgr.GetBlobMgr().Items(0)->GetState(), bsValid);
    Mgr.ReadRecord(a1, buf.data(), true);
    EXPECT_EQ(Mgr.GetBlobMgr().Items(0)->GetState(), bsInvalid);
    EXPECT_EQ(RecordGetString(buf.data(), *Name), "first");

    auto r3 = Record("changed", 3);
    Mgr.UpdateRecord(a1, r3.data());
    uint8_t* p = nullptr;
    Mgr.ReadRecordByRef(a1, p);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(RecordGetInteger(p, *Qty), 3);

    std::vector<uint8_t> restored(r1.size());
    Mgr.RestoreBufferFromInternalBuffer(restored.data());
    EXPECT_EQ(restored, r3);

    Mgr.DeleteRecord(a1);
    EXPECT_FALSE(Io.CheckBlockAddressValid(a1));
    EXPECT_EQ(ErrorCodeOf([&] { Mgr.ReadRecord(a1, buf.data(), false); }), 8581);
    Mgr.ReadRecord(a2, buf.data(), false);
    EXPECT_EQ(buf, r2);

    Mgr.Close();
    EXPECT_FALSE(Mgr.IsOpen());
    EXPECT_EQ(Mgr.GetBlobMgr().Count(), 0);
}

// ---------------------------------------------------------------------------------------------

TEST(ReadAheadBuffer, LifetimeIsInclusive) {
    TReadAheadBuffer rab;
    rab.Open(40, 12, 10000);
    EXPECT_FALSE(rab.IsValid(0)); // empty
    rab.Add()->SetRecAddr(100);
    rab.SetValidTimeStamp(5000);
    EXPECT_TRUE(rab.IsValid(15000));
    EXPECT_EQ(rab.Count(), 1);
    EXPECT_FALSE(rab.IsValid(15001));
    EXPECT_EQ(rab.Count(), 0);
    EXPECT_EQ(rab.GetValidTimeStamp(), 0u);
    // 64-bit times do not wrap at 2^32 ms.
    rab.Add();
    rab.SetValidTimeStamp(0xFFFFFF00ull);
    EXPECT_TRUE(rab.IsValid(0xFFFFFF00ull + 10000));
    EXPECT_FALSE(rab.IsValid(0x1FFFFFFFFull));
}

TEST(ReadAheadBuffer, LookupAndPoolReuse) {
    TReadAheadBuffer rab;
    rab.Open(40, 12, 10000);
    for (uint32_t i = 1; i <= 3; ++i) {
        auto* it = rab.Add();
        it->SetRecAddr(i * 100);
        it->SetRecNo(static_cast<int32_t>(i));
        std::memset(it->GetRecordBuffer(), static_cast<int>(i), 40);
    }
    EXPECT_EQ(rab.GetInternalBufferCount(), 3);
    uint8_t* firstBuffer = rab.Items(0)->GetRecordBuffer();
    EXPECT_EQ(rab.GetIndexOfBufferItem(200), 1);
    EXPECT_EQ(rab.GetIndexOfBufferItem(999), -1);
    EXPECT_EQ(rab.GetNextBufferItem(200)->GetRecAddr(), 300u);
    EXPECT_EQ(rab.GetNextBufferItem(300), nullptr);
    EXPECT_EQ(rab.GetPriorBufferItem(200)->GetRecAddr(), 100u);
    EXPECT_EQ(rab.GetPriorBufferItem(100), nullptr);
    EXPECT_EQ(rab.GetBufferItem(999), nullptr);
    EXPECT_EQ(rab.Last()->GetRecNo(), 3);

    // A duplicate address is found from the end.
    rab.Add()->SetRecAddr(100);
    EXPECT_EQ(rab.GetIndexOfBufferItem(100), 3);

    rab.Invalidate();
    EXPECT_EQ(rab.Count(), 0);
    EXPECT_EQ(rab.GetInternalBufferCount(), 4);
    auto* again = rab.Add();
    EXPECT_EQ(again->GetRecordBuffer(), firstBuffer); // pooled buffer reused
    EXPECT_EQ(again->GetRecordBuffer()[0], 1);
    EXPECT_EQ(rab.GetInternalBufferCount(), 4);

    rab.Close();
    EXPECT_EQ(rab.GetInternalBufferCount(), 0);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// On disk

#include <random>

#include "engine/storage/zanDisk.h"
#include "host/win/child_process.h"

namespace {

constexpr uint32_t P = 4096;

// A database with the user header store and map, one table and its record and blob stores.
struct TDiskTable {
    explicit TDiskTable(const std::string& name, bool create = true) : T(name) {
        if (create) {
            TDiskMgr d;
            d.SetFileName(T.Path);
            d.CreateNewFile(true);
        }
    }
    void Open(uint8_t flags = 1) {
        Disk = std::make_unique<TDiskMgr>();
        Disk->SetFileName(T.Path);
        Disk->SetOpenFlags(0x42);
        Disk->SetLockRetryCount(100);
        Disk->SetLockRetryInterval(5);
        Disk->Open();
        Headers.SetDiskMgr(Disk.get());
        Headers.SetUsage(C_USAGE_HEADERS);
        Headers.SetBlockSize(256);
        Headers.SetAccessFlags(0);
        Headers.SetGlobalFirstEmptyOffset(C_GLOBAL_FE_USER_HEADERS);
        Headers.Open();
        Map = std::make_unique<TTableHeaderMgr>();
        Map->SetBaseAddress(3 * P);
        Map->SetBaseTableID(C_USER_BASE_TABLE_ID);
        Map->Open(&Headers);
        Flags = flags;
    }
    void OpenTable(int32_t id, TInternalFields& fields) {
        Header = Map->OpenTable(id);
        auto setup = [&](TDiskIOInterface& io, uint16_t usage, uint32_t block, uint32_t fe) {
            io.SetDiskMgr(Disk.get());
            io.SetTableID(static_cast<uint16_t>(id));
            io.SetUsage(usage);
            io.SetBlockSize(block);
            io.SetAccessFlags(Flags);
            io.SetFirstEmpty(fe);
            io.SetFirstEmptyValid(true);
            io.Open();
        };
        setup(Records, C_USAGE_RECORDS, static_cast<uint32_t>(fields.GetRecordSize()),
              Header->GetRecordFirstEmpty());
        setup(Blobs, C_USAGE_BLOBS, 512, Header->GetBlobFirstEmpty());
        Blob.SetIOInterface(&Blobs);
        Blob.SetBlobBlockSize(512);
        Blob.Open();
        // A fresh manager: closing one also empties the layout it was given.
        MgrPtr = std::make_unique<TRecordMgr>();
        MgrPtr->SetFields(&fields);
        MgrPtr->SetRecordSize(fields.GetRecordSize());
        MgrPtr->Open(&Records);
    }
    // What a cursor does after a change: heads back into the header, header written.
    void SaveHeads() {
        Header->SetRecordFirstEmpty(Records.GetFirstEmpty());
        Header->SetBlobFirstEmpty(Blobs.GetFirstEmpty());
        Header->WriteHeader();
    }
    void Close() {
        MgrPtr.reset();
        if (Map) Map->Close();
        Map.reset();
        Disk.reset();
    }
    TTempFile T;
    std::unique_ptr<TDiskMgr> Disk;
    TDiskIOInterface Headers, Records, Blobs;
    std::unique_ptr<TTableHeaderMgr> Map;
    TTableHeader* Header = nullptr;
    TBlobInterface Blob;
    std::unique_ptr<TRecordMgr> MgrPtr;
    uint8_t Flags = 1;
};

struct TPeople {
    TPeople() {
        auto add = [&](const char* name, TFieldType t, int32_t size = 0) {
            auto* f = Fields.Add();
            f->SetFieldName(name);
            f->SetDataType(t);
            if (size) f->SetFieldSize(size);
            f->SetFieldIndex(Fields.Count() - 1);
            return f;
        };
        Name = add("Name", ftString, 40);
        Age = add("Age", ftInteger);
        Note = add("Note", ftMemo);
        Fields.SetDefaultOffsets();
    }
    std::vector<uint8_t> Make(const std::string& name, int32_t age) {
        std::vector<uint8_t> r(static_cast<size_t>(Fields.GetRecordSize()), 0);
        r[0] = 1;
        RecordSetString(r.data(), *Name, name);
        RecordSetInteger(r.data(), *Age, age);
        return r;
    }
    TInternalFields Fields;
    TInternalFieldItem *Name, *Age, *Note;
};

TEST(DiskTableHeaders, IdsFromBothBasesSurviveReopen) {
    TDiskTable db("hdr_ids.zan");
    db.Open();
    EXPECT_EQ(db.Map->AddTable(2), 1);
    EXPECT_EQ(db.Map->AddTable(2), 2);
    TTableHeaderMgr system;
    TDiskIOInterface sysHeaders;
    sysHeaders.SetDiskMgr(db.Disk.get());
    sysHeaders.SetUsage(C_USAGE_HEADERS);
    sysHeaders.SetBlockSize(256);
    sysHeaders.SetAccessFlags(0);
    sysHeaders.SetGlobalFirstEmptyOffset(C_GLOBAL_FE_SYSTEM_HEADERS);
    sysHeaders.Open();
    system.SetBaseAddress(P);
    system.SetBaseTableID(C_SYSTEM_BASE_TABLE_ID);
    system.Open(&sysHeaders);
    EXPECT_EQ(system.AddTable(1), 1024);
    TTableHeader* h = db.Map->OpenTable(2);
    h->SetGenerator2(77);
    db.Map->CloseTable(h);
    system.Close();
    db.Close();

    db.Open();
    TTableHeader* again = db.Map->OpenTable(2);
    EXPECT_EQ(again->GetGenerator2(), 77u);
    EXPECT_EQ(again->GetModifiedFlag(), 2u);
    EXPECT_EQ(db.Map->MapTableID(0), 1u);
    db.Map->DeleteTable(1);
    EXPECT_EQ(db.Map->AddTable(0), 1);
    EXPECT_EQ(db.Map->MapTableID(0), 2u);
    EXPECT_EQ(db.Map->MapTableID(1), 1u);
    db.Close();
}

TEST(DiskRecords, RoundTripOutsideAndInsideTransactions) {
    TPeople people;
    TDiskTable db("rec_trip.zan");
    db.Open(3);
    int32_t id = db.Map->AddTable(0);
    db.OpenTable(id, people.Fields);

    auto r1 = people.Make("Ann", 31);
    uint32_t a1 = db.MgrPtr->AddRecord(r1.data());
    TStringStream note(std::string(3000, 'n'));
    uint32_t blob = db.Blob.InsertBlob(note);
    RecordSetBlobRef(r1.data(), *people.Note, blob, 3000);
    db.MgrPtr->UpdateRecord(a1, r1.data());
    db.SaveHeads();

    db.Disk->DiskStartTransaction(false);
    auto r2 = people.Make("Bob", 42);
    uint32_t a2 = db.MgrPtr->AddRecord(r2.data());
    auto r1b = people.Make("Ann B", 32);
    RecordSetBlobRef(r1b.data(), *people.Note, blob, 3000);
    db.MgrPtr->UpdateRecord(a1, r1b.data());
    db.SaveHeads();
    db.Disk->DiskCommit();

    db.Disk->DiskStartTransaction(false);
    auto r3 = people.Make("Cy", 5);
    uint32_t a3 = db.MgrPtr->AddRecord(r3.data());
    db.MgrPtr->DeleteRecord(a2);
    db.SaveHeads();
    db.Disk->DiskRollback();
    (void)a3;
    db.Close();

    db.Open(3);
    db.OpenTable(id, people.Fields);
    std::vector<uint8_t> buf(r1.size());
    db.MgrPtr->ReadRecord(a1, buf.data(), true);
    EXPECT_EQ(buf, r1b);
    db.MgrPtr->ReadRecord(a2, buf.data(), false);
    EXPECT_EQ(buf, r2); // the rolled-back delete left it
    uint32_t head = 0, len = 0;
    RecordGetBlobRef(r1b.data(), *people.Note, head, len);
    TStringStream out;
    EXPECT_EQ(db.Blob.ReadBlob(head, out, len), 3000u);
    EXPECT_EQ(out.DataString(), std::string(3000, 'n'));
    // The rolled-back add did not consume the run: the next add takes the same place.
    uint32_t a4 = db.MgrPtr->AddRecord(r3.data());
    EXPECT_EQ(a4, a3);
    db.MgrPtr->DeleteRecord(a4);
    db.MgrPtr->DeleteRecord(a2);
    db.SaveHeads();
    db.Close();
}

// Flips random bytes of the table's pages, then reads everything: only engine errors may come.
TEST(DiskRecords, CorruptPagesGiveEngineErrorsOnly) {
    TPeople people;
    std::vector<uint32_t> addresses;
    int32_t id = 0;
    TDiskTable db("rec_fuzz.zan");
    db.Open();
    id = db.Map->AddTable(0);
    db.OpenTable(id, people.Fields);
    for (int i = 0; i < 60; ++i) {
        auto r = people.Make("name" + std::to_string(i), i);
        uint32_t a = db.MgrPtr->AddRecord(r.data());
        TStringStream s(std::string(static_cast<size_t>(100 * i), char('a' + i % 26)));
        uint32_t h = db.Blob.InsertBlob(s);
        RecordSetBlobRef(r.data(), *people.Note, h, static_cast<uint32_t>(100 * i));
        db.MgrPtr->UpdateRecord(a, r.data());
        addresses.push_back(a);
    }
    for (int i = 0; i < 60; i += 3)
        db.MgrPtr->DeleteRecord(addresses[static_cast<size_t>(i)]);
    db.SaveHeads();
    db.Close();

    TWinFile raw;
    raw.Open(db.T.Path, faReadWrite, fsDenyNone);
    const uint64_t size = raw.Size();
    std::vector<uint8_t> original(static_cast<size_t>(size));
    raw.ReadAt(original.data(), original.size(), 0);
    std::mt19937 rng(12345);
    int errors = 0;
    for (int round = 0; round < 25; ++round) {
        raw.WriteAt(original.data(), original.size(), 0);
        for (int k = 0; k < 40; ++k) {
            // Pages 1-4 (header maps) and everything after the first map page.
            uint64_t at = (k % 8 == 0) ? P + rng() % (4 * P) : 6 * P + rng() % (size - 6 * P);
            uint8_t b = static_cast<uint8_t>(rng());
            raw.WriteAt(&b, 1, at);
        }
        try {
            db.Open();
            db.OpenTable(id, people.Fields);
            std::vector<uint8_t> buf(static_cast<size_t>(people.Fields.GetRecordSize()));
            for (uint32_t a : addresses) {
                try {
                    db.MgrPtr->ReadRecord(a, buf.data(), true);
                    if (!RecordFieldIsNull(buf.data(), *people.Name))
                        RecordGetString(buf.data(), *people.Name);
                    uint32_t h = 0, len = 0;
                    RecordGetBlobRef(buf.data(), *people.Note, h, len);
                    TMemoryStream out;
                    db.Blob.ReadBlob(h, out, len);
                } catch (const EZanDatabaseError&) {
                    ++errors;
                }
            }
            for (int i = 0; i < 5; ++i) {
                try {
                    db.SaveHeads();
                    db.MgrPtr->AddRecord(buf.data());
                    TStringStream s(std::string(1500, 'z'));
                    db.Blob.InsertBlob(s);
                } catch (const EZanDatabaseError&) {
                    ++errors;
                }
            }
        } catch (const EZanDatabaseError&) {
            ++errors;
        }
        db.Close();
    }
    EXPECT_GT(errors, 0);
}

} // namespace
