// Damage the coverage-guided fuzz targets (tests/fuzz) found, each laid into a fresh copy of
// their sample database: every use that meets it ends with the damage error, never with an
// internal error (8581) or a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

// The fuzz targets' sample database (without the filler table) in a temporary file.
struct TSample {
    TTempFile File{"fuzzed_damage.zan"};
    std::vector<uint8_t> Good;

    TSample() {
        fuzz::MakeSampleDatabase(File.Path, false);
        Good = ReadFileBytes(File.Path);
    }
    ~TSample() { fuzz::RemoveSideFiles(File.Path); }

    uint32_t U32(uint32_t page, uint32_t offset) const {
        uint32_t v;
        std::memcpy(&v, Good.data() + size_t(page) * fuzz::C_PAGE + offset, 4);
        return v;
    }
    // The page map's entry of a page (first map page, page 5: 20 bytes of header, then one
    // 16-bit entry per page).
    uint16_t MapEntry(uint32_t page) const {
        uint16_t v;
        std::memcpy(&v, Good.data() + 5 * fuzz::C_PAGE + 20 + 2 * page, 2);
        return v;
    }
    // The sample with bytes laid at a page's offset.
    void Patch(uint32_t page, uint32_t offset, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> damaged = Good;
        std::memcpy(damaged.data() + size_t(page) * fuzz::C_PAGE + offset, bytes.data(),
                    bytes.size());
        fuzz::RemoveSideFiles(File.Path);
        WriteFileBytes(File.Path, damaged);
    }
};

// Runs a use; answers its engine error (0 for none) and fails on an internal error.
int32_t UseCode(const char* what, const std::function<void()>& use) {
    std::string message;
    const int32_t code = ErrorCodeOf(use, &message);
    EXPECT_NE(code, 8581) << what << ": " << message;
    return code;
}

} // namespace

// The only leaf of T's unique index (page 16, a one-leaf tree) with its sibling links damaged
// to name addresses beyond the file. Walking off the leaf fails with 8962; the node it was
// reading is then gone, and the cursor used to keep standing on it: the next First, Last or
// search asked that node for its record address and met 8581. Now every later move fails with
// the damage again or works.
TEST(FuzzedDamage, LeafLinkBeyondTheFileLeavesNoHalfReadPath) {
    TSample s;
    ASSERT_EQ(s.MapEntry(16) & 15, 8) << "page 16 is an index page";
    ASSERT_EQ(s.U32(16, 0), 1u) << "a leaf";
    ASSERT_EQ(s.U32(16, 8), 0u) << "without a next leaf";
    ASSERT_EQ(s.U32(16, 12), 0u) << "without a prior leaf";
    s.Patch(16, 8, {0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0});
    auto db = fuzz::Connect(s.File.Path);
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("T");
    t.Open();
    t.SetIndexName("ixId");
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        EXPECT_EQ(UseCode("index order", [&] {
                      for (t.First(); !t.GetEOF(); t.Next())
                          (void)t.GetFields()[0]->GetAsInteger();
                  }),
                  8962);
        UseCode("last and prior", [&] {
            t.Last();
            t.Prior();
        });
        UseCode("search", [&] { t.FindKey({Variant(12)}); });
        UseCode("natural order", [&] {
            t.SetIndexName("");
            t.First();
            t.SetIndexName("ixId");
            t.First();
        });
    }
    t.Close();
    UseCode("SQL", [&] {
                  TZanQuery q;
                  q.SetDataBase(db.get());
                  q.GetSQL().SetText("SELECT Id FROM T WHERE Id > 50 ORDER BY Id");
                  q.Open();
                  for (q.First(); !q.GetEOF(); q.Next()) {
                  }
              });
}

// The map of table headers (page 1: pairs of table id and header address) with the first
// pair's id changed (1024, a system table's, now 1280): opening the database fails with 8962,
// as for a pair naming a block that is not the table's header, instead of 8581.
TEST(FuzzedDamage, HeaderMapPairWithAnotherTableIdIsDamage) {
    TSample s;
    ASSERT_EQ(s.U32(1, 0), 1024u);
    s.Patch(1, 1, {0x05});
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { fuzz::Connect(s.File.Path); }, &message), 8962) << message;
}

// The page map claiming a page past the end of the file for P's index (entry of page 118, never
// allocated, set to table 3's index usage). Every statement that rebuilds or drops P's index
// released the page by zeroing it: the file grew to 119 pages and those between its old end
// and page 118 had no map entry, damage the checker then found in a file it had found whole.
// Now those statements fail with 8962 and leave the file as it was; P's rows still read.
TEST(FuzzedDamage, MapEntryPastTheEndOfTheFileIsNotReleased) {
    TSample s;
    const size_t pages = s.Good.size() / fuzz::C_PAGE;
    ASSERT_LT(pages, 118u);
    ASSERT_EQ(s.MapEntry(118), 0);
    s.Patch(5, 20 + 2 * 118, {0x38, 0x00});
    for (const char* sql : {"ALTER TABLE P DROP d", "DROP TABLE P"}) {
        SCOPED_TRACE(sql);
        auto db = fuzz::Connect(s.File.Path);
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { fuzz::Exec(*db, sql); }, &message), 8962) << message;
        EXPECT_EQ(ReadFileBytes(s.File.Path).size(), s.Good.size());
        TZanQuery q;
        q.SetDataBase(db.get());
        q.GetSQL().SetText("SELECT COUNT(*) FROM P");
        q.Open();
        EXPECT_EQ(q.GetFields()[0]->GetAsInteger(), 80);
    }
}
