// The journal of a commit holds the bytes the file had before the commit, for every stretch it
// overwrites, whatever path the transaction's writes took. Here a page is written
// through the page cache, then a raw stretch overlaps it (the page's changes move to the raw
// buffer), then a part of the page is written through the page cache again. The committer is
// killed at each point of its commit; every journal record left must equal the old file bytes,
// and recovery must give back the old file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanFile.h"
#include "engine/storage/zanJournal.h"
#include "host/win/WinFiles.h"
#include "host/win/child_process.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;

void MakePages(const std::string& path, uint32_t pages) {
    TWinFile f;
    f.Create(path, fsDenyNone, true);
    std::vector<uint8_t> page(P);
    for (uint32_t n = 0; n < pages; ++n) {
        std::fill(page.begin(), page.end(), static_cast<uint8_t>(n));
        f.WriteAt(page.data(), P, uint64_t(n) * P);
    }
}

std::vector<uint8_t> Bytes(const std::string& path) {
    TWinFile f;
    f.Open(path, faRead, fsDenyNone);
    std::vector<uint8_t> out(f.Size());
    out.resize(f.ReadAt(out.data(), uint32_t(out.size()), 0));
    return out;
}

std::vector<uint8_t> Fill(uint32_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

// The transaction; killAt 0: no kill. Answers the crash points its commit passed.
uint64_t RunChange(const std::string& path, uint64_t killAt) {
    TZanFile file;
    file.SetXORKeyBuf(C_ZANXORKEY, sizeof C_ZANXORKEY);
    file.SetBlowKeyBuf(C_ZANDEFAULTBLOWKEY, sizeof C_ZANDEFAULTBLOWKEY);
    file.SetOpenRead(true);
    file.SetOpenWrite(true);
    file.SetCacheActive(true);
    file.SetJournalActive(true);
    file.OpenZanFile(path);
    std::vector<uint8_t> probe(P);
    file.SeekAndReadZanFile(probe.data(), 0, P, 3 * P, 1); // page 3 cached clean
    file.StartTransaction();
    const auto whole = Fill(P, 0x40);
    file.SeekAndWriteZanFile(whole.data(), 0, P, 3 * P, 1);      // page path, whole page
    const auto raw = Fill(16, 0x90);
    file.SeekAndWriteZanFile(raw.data(), 0, 16, 3 * P + 100, 0); // raw stretch over it
    const auto part = Fill(16, 0xC0);
    file.SeekAndWriteZanFile(part.data(), 0, 16, 3 * P + 2000, 1); // part of the page again
    const uint64_t before = ZanCrashPointCount();
    ZanArmCrashPoint(killAt);
    file.Commit();
    ZanArmCrashPoint(0);
    const uint64_t points = ZanCrashPointCount() - before;
    file.CloseZanFile();
    return points;
}

} // namespace

TEST(JournalPreImage, OldBytesAfterRawOverlapAndPartialPageWrite) {
    TTempFile file("preimage.zan");
    MakePages(file.Path, 8);
    const std::vector<uint8_t> original = Bytes(file.Path);
    // Without a kill: the new bytes are all there.
    uint64_t points = 0;
    {
        TTempFile copy("preimage_count.zan");
        std::filesystem::copy_file(file.Path, copy.Path);
        points = RunChange(copy.Path, 0);
        std::vector<uint8_t> want = original;
        std::memcpy(want.data() + 3 * P, Fill(P, 0x40).data(), P);
        std::memcpy(want.data() + 3 * P + 100, Fill(16, 0x90).data(), 16);
        std::memcpy(want.data() + 3 * P + 2000, Fill(16, 0xC0).data(), 16);
        EXPECT_TRUE(Bytes(copy.Path) == want) << "the committed bytes";
        unlink(JournalFileNameFor(copy.Path).c_str());
    }
    ASSERT_GT(points, 1u);
    for (uint64_t k = 1; k <= points; ++k) {
        SCOPED_TRACE(::testing::Message() << "kill at " << k);
        TTempFile copy("preimage_run.zan");
        std::filesystem::copy_file(file.Path, copy.Path);
        TChildProcess child([&](TChildProcess&) {
            RunChange(copy.Path, k);
            return 3;
        });
        child.Wait();
        const std::string journal = JournalFileNameFor(copy.Path);
        const TJournalCheck check = InspectJournal(journal, copy.Path);
        if (check.State == jsHot) {
            ForEachJournalRecord(journal, [&](uint32_t address, const uint8_t* bytes,
                                              uint32_t length) {
                EXPECT_EQ(0, std::memcmp(bytes, original.data() + address, length))
                    << "journal record at " << address << " (" << length
                    << " bytes) is not the old bytes of the file";
            });
        }
        RecoverJournal(journal, copy.Path, false);
        const std::vector<uint8_t> after = Bytes(copy.Path);
        std::vector<uint8_t> want = original;
        std::memcpy(want.data() + 3 * P, Fill(P, 0x40).data(), P);
        std::memcpy(want.data() + 3 * P + 100, Fill(16, 0x90).data(), 16);
        std::memcpy(want.data() + 3 * P + 2000, Fill(16, 0xC0).data(), 16);
        std::vector<uint8_t> mid = original; // the transaction's bytes before its last write
        std::memcpy(mid.data() + 3 * P, Fill(P, 0x40).data(), P);
        std::memcpy(mid.data() + 3 * P + 100, Fill(16, 0x90).data(), 16);
        EXPECT_TRUE(after == original || after == want)
            << "after recovery the file is neither the old nor the new (state "
            << JournalStateName(check.State) << ")"
            << (after == mid ? ": page 3 holds the transaction's own uncommitted bytes" : "");
        unlink(journal.c_str());
        if (::testing::Test::HasFailure()) return;
    }
}
