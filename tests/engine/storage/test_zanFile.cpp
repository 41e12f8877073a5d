#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <random>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanFile.h"
#include "engine/storage/zanJournal.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;

// A file of pages pages, page n filled with the byte n.
void MakeFile(const std::string& path, uint32_t pages) {
    TWinFile f;
    f.Create(path, fsDenyNone, true);
    std::vector<uint8_t> page(P);
    for (uint32_t n = 0; n < pages; ++n) {
        std::fill(page.begin(), page.end(), static_cast<uint8_t>(n));
        f.WriteAt(page.data(), P, uint64_t(n) * P);
    }
}

std::vector<uint8_t> DiskBytes(const std::string& path, uint64_t address, uint32_t count) {
    TWinFile f;
    f.Open(path, faRead, fsDenyNone);
    std::vector<uint8_t> out(count);
    out.resize(f.ReadAt(out.data(), count, address));
    return out;
}

uint64_t DiskSize(const std::string& path) {
    TWinFile f;
    f.Open(path, faRead, fsDenyNone);
    return f.Size();
}

void Prepare(TZanFile& file, bool exclusive = false, bool write = true) {
    file.SetXORKeyBuf(C_ZANXORKEY, sizeof C_ZANXORKEY);
    file.SetBlowKeyBuf(C_ZANDEFAULTBLOWKEY, sizeof C_ZANDEFAULTBLOWKEY);
    file.SetOpenRead(true);
    file.SetOpenWrite(write);
    file.SetOpenReadExclusive(exclusive);
    file.SetOpenWriteExclusive(exclusive);
    file.SetCacheActive(true);
}

std::vector<uint8_t> Pattern(uint32_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

} // namespace

TEST(ZanFile, CacheSizeFollowsFileSize) {
    EXPECT_EQ(TZanFile::CachePageCountFor(199ull * P, P), 50);
    EXPECT_EQ(TZanFile::CachePageCountFor(1000ull * P, P), 250);
    EXPECT_EQ(TZanFile::CachePageCountFor(40000ull * P, P), 1000);
    TTempFile t("zf_size.zan");
    MakeFile(t.Path, 1000);
    TZanFile file;
    Prepare(file);
    file.OpenZanFile(t.Path);
    EXPECT_EQ(file.GetPageCache().Count(), 250);
}

TEST(ZanFile, OpenChecksAndErrors) {
    TTempFile t("zf_open.zan");
    MakeFile(t.Path, 6);
    TZanFile file;
    std::string msg;
    EXPECT_EQ(ErrorCodeOf([&] { file.OpenZanFile(t.Path); }, &msg), 8581);
    EXPECT_NE(msg.find("Crypt key not set before opening"), std::string::npos);
    Prepare(file);
    EXPECT_EQ(ErrorCodeOf([&] { file.OpenZanFile(t.Path + ".missing"); }, &msg), 8449);
    EXPECT_NE(msg.find("Unable to open file. Error type of: "), std::string::npos);
    Prepare(file);
    file.OpenZanFile(t.Path);
    EXPECT_TRUE(file.CheckOpen());
    EXPECT_EQ(ErrorCodeOf([&] { file.SetXORKeyBuf("k", 1); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { file.Commit(); }), 10257);
    EXPECT_EQ(ErrorCodeOf([&] { file.Rollback(); }), 10257);
    file.StartTransaction();
    EXPECT_EQ(ErrorCodeOf([&] { file.StartTransaction(); }), 10256);
    file.CloseZanFile();
    EXPECT_FALSE(file.GetTransactionActive());
    // Closing forgot the keys.
    EXPECT_EQ(ErrorCodeOf([&] { file.OpenZanFile(t.Path); }), 8581);
}

TEST(ZanFile, CipherRoutingRoundTrips) {
    TTempFile t("zf_cipher.zan");
    MakeFile(t.Path, 10);
    TZanFile file;
    Prepare(file);
    file.OpenZanFile(t.Path);
    const auto plain = Pattern(P, 3);
    file.SeekAndWriteZanFile(plain.data(), 7, P, 6 * P, 1);
    file.SeekAndWriteZanFile(plain.data(), 7, P, 7 * P, 3);
    file.SeekAndWriteZanFile(plain.data(), 7, P, 8 * P, 5);
    file.SeekAndWriteZanFile(plain.data(), 7, P, 9 * P, 5);
    file.SeekAndWriteZanFile(plain.data(), 8, P, 5 * P, 3);
    EXPECT_EQ(DiskBytes(t.Path, 6 * P, P), plain);
    // XOR: the scrambler keyed by the table id.
    std::vector<uint8_t> xored(P);
    XORCryptBuf(plain.data(), xored.data(), C_ZANXORKEY, 7, sizeof C_ZANXORKEY, P);
    EXPECT_EQ(DiskBytes(t.Path, 7 * P, P), xored);
    EXPECT_NE(DiskBytes(t.Path, 5 * P, P), xored); // another table, other bytes
    // Blowfish restarts for every page: equal plaintext, equal pages.
    EXPECT_NE(DiskBytes(t.Path, 8 * P, P), plain);
    EXPECT_EQ(DiskBytes(t.Path, 8 * P, P), DiskBytes(t.Path, 9 * P, P));

    file.CloseZanFile();
    Prepare(file);
    file.OpenZanFile(t.Path);
    std::vector<uint8_t> back(P);
    for (uint32_t n : {6u, 8u}) {
        file.SeekAndReadZanFile(back.data(), 7, P, n * P, n == 6 ? 1 : 5);
        EXPECT_EQ(back, plain) << n;
    }
    file.SeekAndReadZanFile(back.data(), 7, P, 7 * P, 3);
    EXPECT_EQ(back, plain);
    file.SeekAndReadZanFile(back.data(), 8, P, 7 * P, 1); // read plain: scrambled bytes
    EXPECT_EQ(back, xored);
    // Without the cache the page path still ciphers whole pages.
    file.SetCacheActive(false);
    std::vector<uint8_t> part(10);
    file.SeekAndReadZanFile(part.data(), 7, 10, 8 * P + 100, 5);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), plain.begin() + 100));
    file.SeekAndWriteZanFile(part.data(), 7, 10, 8 * P + 200, 5);
    file.SetCacheActive(true);
    file.SeekAndReadZanFile(back.data(), 7, P, 8 * P, 5);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), back.begin() + 200));
}

TEST(ZanFile, TransactionAppendsStayInMemoryUntilCommit) {
    TTempFile t("zf_append.zan");
    MakeFile(t.Path, 6);
    TZanFile file;
    Prepare(file);
    file.OpenZanFile(t.Path);
    file.StartTransaction();
    const auto a = Pattern(P, 1), b = Pattern(P, 2);
    EXPECT_EQ(file.SeekAndAppendZanFile(a.data(), P, 3, 5), 6 * P);
    EXPECT_EQ(file.SeekAndAppendZanFile(b.data(), P, 3, 1), 7 * P);
    EXPECT_EQ(file.SeekAndAppendZanFile(b.data(), 100, 0, 0), 8 * P); // raw stretch
    EXPECT_EQ(file.SeekZanEof(), 8 * P + 100);
    EXPECT_EQ(DiskSize(t.Path), 6u * P);
    std::vector<uint8_t> back(P);
    file.SeekAndReadZanFile(back.data(), 3, P, 6 * P, 5);
    EXPECT_EQ(back, a);
    file.Commit();
    EXPECT_EQ(DiskSize(t.Path), 8u * P + 100);
    EXPECT_EQ(DiskBytes(t.Path, 7 * P, P), b);
    EXPECT_EQ(file.SeekZanEof(), 8u * P + 100);
}

TEST(ZanFile, RollbackRestoresFileBytes) {
    TTempFile t("zf_rollback.zan");
    MakeFile(t.Path, 8);
    TZanFile file;
    Prepare(file);
    file.OpenZanFile(t.Path);
    const auto before = DiskBytes(t.Path, 0, 8 * P);
    std::vector<uint8_t> back(P);
    file.SeekAndReadZanFile(back.data(), 2, P, 6 * P, 1); // clean in the cache
    file.StartTransaction();
    const auto x = Pattern(P, 9);
    file.SeekAndWriteZanFile(x.data(), 2, P, 6 * P, 1);
    file.SeekAndWriteZanFile(x.data(), 2, 300, 7 * P + 5, 0);
    file.SeekAndAppendZanFile(x.data(), P, 2, 1);
    file.SeekAndReadZanFile(back.data(), 2, P, 6 * P, 1);
    EXPECT_EQ(back, x);
    file.Rollback();
    EXPECT_EQ(DiskBytes(t.Path, 0, 9 * P), before);
    file.SeekAndReadZanFile(back.data(), 2, P, 6 * P, 1);
    EXPECT_EQ(back, std::vector<uint8_t>(P, 6));
    file.SeekAndReadZanFile(back.data(), 2, 300, 7 * P + 5, 0);
    EXPECT_EQ(back[0], 7);
}

// A page released (zeroed raw) and then reallocated in one transaction ends with the new bytes,
// whichever cache held what.
TEST(ZanFile, ReleaseThenReallocateInOneTransaction) {
    TTempFile t("zf_release.zan");
    MakeFile(t.Path, 8);
    TZanFile file;
    Prepare(file);
    file.OpenZanFile(t.Path);
    const std::vector<uint8_t> zero(P, 0);
    const auto oldBytes = Pattern(P, 4), newBytes = Pattern(P, 5);
    file.StartTransaction();
    file.SeekAndWriteZanFile(oldBytes.data(), 3, P, 6 * P, 3);
    file.ReleasePage(6 * P, zero.data());
    std::vector<uint8_t> back(P);
    file.ReadThroughZanFile(back.data(), 6 * P, P);
    EXPECT_EQ(back, zero);
    file.SeekAndWriteZanFile(newBytes.data(), 4, P, 6 * P, 3);
    // The same with a partial page write after the release.
    file.SeekAndWriteZanFile(oldBytes.data(), 3, P, 7 * P, 1);
    file.ReleasePage(7 * P, zero.data());
    file.SeekAndWriteZanFile(newBytes.data(), 4, 16, 7 * P + 32, 1);
    file.Commit();
    file.SeekAndReadZanFile(back.data(), 4, P, 6 * P, 3);
    EXPECT_EQ(back, newBytes);
    auto page7 = DiskBytes(t.Path, 7 * P, P);
    EXPECT_EQ(page7[0], 0);
    EXPECT_TRUE(std::equal(newBytes.begin(), newBytes.begin() + 16, page7.begin() + 32));
    EXPECT_EQ(page7[48], 0);
}

// Raw stretches of different sizes at one address, and raw bytes under page reads and over
// dirty pages, all see the newest bytes inside the transaction.
TEST(ZanFile, RawAndPageWritesFormOneOverlay) {
    TTempFile t("zf_overlay.zan");
    MakeFile(t.Path, 8);
    TZanFile file;
    Prepare(file);
    file.OpenZanFile(t.Path);
    file.StartTransaction();
    const auto header = Pattern(256, 1);
    file.WriteThroughZanFile(header.data(), 2 * P, 256);
    std::vector<uint8_t> first(64);
    file.ReadThroughZanFile(first.data(), 2 * P, 64); // a smaller read of a pending stretch
    EXPECT_TRUE(std::equal(first.begin(), first.end(), header.begin()));
    // A page read folds the pending raw bytes in (XOR page: deciphered view of them).
    std::vector<uint8_t> page(P);
    file.SeekAndReadZanFile(page.data(), 9, P, 2 * P, 1);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), page.begin()));
    EXPECT_EQ(page[300], 2);
    // A raw write over part of a dirty ciphered page keeps the rest of the page's changes.
    const auto body = Pattern(P, 7);
    file.SeekAndWriteZanFile(body.data(), 9, P, 3 * P, 5);
    file.WriteThroughZanFile(header.data(), 3 * P + 1000, 10);
    std::vector<uint8_t> raw(20);
    file.ReadThroughZanFile(raw.data(), 3 * P + 995, 20);
    EXPECT_EQ(raw[5], header[0]);
    file.Commit();
    EXPECT_EQ(DiskBytes(t.Path, 2 * P, 256), header);
    EXPECT_EQ(DiskBytes(t.Path, 2 * P + 256, 1)[0], 2);
    TZanFile other;
    Prepare(other);
    other.OpenZanFile(t.Path);
    std::vector<uint8_t> disk = DiskBytes(t.Path, 3 * P, P);
    EXPECT_TRUE(std::equal(header.begin(), header.begin() + 10, disk.begin() + 1000));
    std::vector<uint8_t> plain(P);
    other.SeekAndReadZanFile(plain.data(), 9, P, 3 * P, 5);
    // Blowfish CFB-8 garbles the bytes just after the raw patch; the rest is intact.
    EXPECT_TRUE(std::equal(body.begin(), body.begin() + 1000, plain.begin()));
    EXPECT_TRUE(std::equal(body.begin() + 1100, body.end(), plain.begin() + 1100));
}

// Two connections growing the file in overlapping transactions never overwrite each other.
TEST(ZanFile, OverlappingTransactionsAppendPastEachOther) {
    TTempFile t("zf_grow.zan");
    MakeFile(t.Path, 6);
    TZanFile a, b;
    Prepare(a);
    Prepare(b);
    a.OpenZanFile(t.Path);
    b.OpenZanFile(t.Path);
    a.StartTransaction();
    b.StartTransaction();
    const auto pa = Pattern(P, 10), pb = Pattern(P, 20);
    EXPECT_EQ(b.SeekAndAppendZanFile(pb.data(), P, 1, 1), 6 * P);
    b.Commit();
    uint32_t at = a.SeekAndAppendZanFile(pa.data(), P, 1, 1);
    EXPECT_EQ(at, 7 * P);
    a.Commit();
    EXPECT_EQ(DiskBytes(t.Path, 6 * P, P), pb);
    EXPECT_EQ(DiskBytes(t.Path, 7 * P, P), pa);
}

TEST(ZanFile, FailedCommitKeepsTheTransactionActive) {
    TTempFile t("zf_fail.zan");
    MakeFile(t.Path, 8);
    TZanFile file;
    Prepare(file, false, false); // read-only handle: every write fails
    file.OpenZanFile(t.Path);
    file.StartTransaction();
    const auto x = Pattern(P, 3);
    file.SeekAndWriteZanFile(x.data(), 1, P, 5 * P, 1);
    file.SeekAndWriteZanFile(x.data(), 1, P, 6 * P, 1);
    EXPECT_EQ(ErrorCodeOf([&] { file.Commit(); }), 9218);
    EXPECT_TRUE(file.GetTransactionActive());
    std::vector<uint8_t> back(P);
    file.SeekAndReadZanFile(back.data(), 1, P, 6 * P, 1);
    EXPECT_EQ(back, x);
    file.Rollback();
    file.SeekAndReadZanFile(back.data(), 1, P, 6 * P, 1);
    EXPECT_EQ(back, std::vector<uint8_t>(P, 6));
    // A read beyond the end outside a transaction is a short transfer.
    EXPECT_EQ(ErrorCodeOf([&] { file.SeekAndReadZanFile(back.data(), 1, P, 20 * P, 1); }), 9217);
}

TEST(ZanFile, GrowthBeyondTheAddressLimitIsRefused) {
    TTempFile t("zf_limit.zan");
    MakeFile(t.Path, 1);
    ASSERT_EQ(truncate(t.Path.c_str(), static_cast<off_t>(ZanMaxPageAddress)), 0); // sparse
    TZanFile file;
    Prepare(file);
    file.OpenZanFile(t.Path);
    const auto x = Pattern(P, 1);
    std::string msg;
    EXPECT_EQ(
        ErrorCodeOf([&] { file.SeekAndWriteZanFile(x.data(), 1, P, ZanMaxPageAddress + 1, 1); },
                    &msg),
        9482);
    EXPECT_NE(msg.find("0xFFFFF000"), std::string::npos) << msg;
    file.StartTransaction();
    EXPECT_EQ(file.SeekAndAppendZanFile(x.data(), P, 1, 1), ZanMaxPageAddress); // the last page
    EXPECT_EQ(ErrorCodeOf([&] { file.SeekAndAppendZanFile(x.data(), P, 1, 1); }), 9482);
    file.Rollback();
    EXPECT_EQ(DiskSize(t.Path), ZanMaxPageAddress);
}

TEST(ZanFile, ShareModesAndCopy) {
    TTempFile t("zf_share.zan"), copy("zf_share_copy.zan");
    MakeFile(t.Path, 6);
    TZanFile a, b;
    Prepare(a, true);
    a.OpenZanFile(t.Path);
    Prepare(b);
    EXPECT_EQ(ErrorCodeOf([&] { b.OpenZanFile(t.Path); }), 8449);
    {
        TChildProcess child([&](TChildProcess&) {
            TZanFile c;
            Prepare(c);
            return ErrorCodeOf([&] { c.OpenZanFile(t.Path); }) == 8449 ? 0 : 1;
        });
        EXPECT_EQ(child.Wait(), 0);
    }
    a.StartTransaction();
    const auto x = Pattern(P, 1);
    a.SeekAndWriteZanFile(x.data(), 1, P, 2 * P, 1);
    a.CopyZanFile(copy.Path); // the file as it is on disk: no pending changes
    a.Rollback();
    a.FlushBuffers();
    a.CloseZanFile();
    EXPECT_EQ(DiskBytes(copy.Path, 0, 6 * P), DiskBytes(t.Path, 0, 6 * P));
    EXPECT_EQ(DiskBytes(copy.Path, 2 * P, 1)[0], 2);
    Prepare(b);
    b.OpenZanFile(t.Path);
}

// Opened without write sharing, raw stretches read outside a transaction are kept. A random mix
// of raw and page reads and writes, transactions committed or rolled back and a restore by
// another handle, against a model of the bytes: every read answers the newest bytes, and the
// size answered is the size on disk.
TEST(ZanFile, KeptRawStretchesFollowEveryChange) {
    constexpr uint32_t C_PAGES = 8;
    for (bool exclusive : {true, false}) {
        SCOPED_TRACE(exclusive ? "exclusive" : "shared");
        TTempFile tmp("zanfile_clean_blocks.zan");
        MakeFile(tmp.Path, C_PAGES);
        std::vector<uint8_t> model = DiskBytes(tmp.Path, 0, C_PAGES * P);
        std::vector<uint8_t> committed = model;
        TZanFile file;
        Prepare(file, exclusive);
        file.OpenZanFile(tmp.Path);
        std::mt19937 rng(5);
        auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
        uint64_t readsBefore = 0, hits = 0;
        for (int step = 0; step < 3000; ++step) {
            const uint32_t page = 1 + pick(C_PAGES - 1);
            const uint32_t offset = pick(P - 300);
            const uint32_t count = 1 + pick(256);
            const uint32_t address = page * P + offset;
            switch (pick(9)) {
            case 0:
            case 1:
            case 2: { // raw read, often of the same few stretches
                const uint32_t a = pick(2) ? (1 + pick(2)) * P + 64 : address;
                std::vector<uint8_t> got(count);
                readsBefore = file.GetReadCalls();
                file.SeekAndReadZanFile(got.data(), 0, count, a, 0);
                hits += file.GetReadCalls() == readsBefore;
                ASSERT_EQ(0, std::memcmp(got.data(), model.data() + a, count))
                    << "step " << step << ": raw read at " << a;
                break;
            }
            case 3:
            case 4: { // raw write, through or buffered
                const std::vector<uint8_t> bytes = Pattern(count, static_cast<uint8_t>(step));
                file.SeekAndWriteZanFile(bytes.data(), 0, count, address, 0);
                std::memcpy(model.data() + address, bytes.data(), count);
                break;
            }
            case 5: { // a page written through the cache
                if (file.GetTransactionActive()) break; // pages of a transaction: as raw ones
                const std::vector<uint8_t> bytes = Pattern(P, static_cast<uint8_t>(step));
                file.SeekAndWriteZanFile(bytes.data(), 0, P, page * P, 1);
                std::memcpy(model.data() + page * P, bytes.data(), P); // plain: stored as is
                break;
            }
            case 6: // transaction boundaries
                if (!file.GetTransactionActive()) {
                    file.StartTransaction();
                    committed = model;
                } else if (pick(2)) {
                    file.Commit();
                } else {
                    file.Rollback();
                    model = committed;
                }
                break;
            case 7: { // another handle changes the file (a journal restored)
                if (file.GetTransactionActive()) break;
                const std::vector<uint8_t> bytes = Pattern(count, 0xA0);
                const int other = open(tmp.Path.c_str(), O_RDWR); // past the share check
                ASSERT_GE(other, 0);
                ASSERT_EQ(pwrite(other, bytes.data(), count, address), ssize_t(count));
                close(other);
                std::memcpy(model.data() + address, bytes.data(), count);
                file.FileChangedElsewhere();
                break;
            }
            default:
                struct stat st {};
                ASSERT_EQ(stat(tmp.Path.c_str(), &st), 0);
                ASSERT_EQ(file.SeekZanEof(), uint64_t(st.st_size));
            }
            if (!file.GetTransactionActive()) committed = model;
        }
        if (file.GetTransactionActive()) file.Commit();
        file.CloseZanFile();
        EXPECT_EQ(DiskBytes(tmp.Path, 0, C_PAGES * P), model);
        if (exclusive) {
            EXPECT_GT(hits, 10u) << "raw stretches read again are copies";
        }
    }
}

// The journal of a commit holds the bytes the file had before the commit, whatever path the
// transaction's writes took. Here a page is written through the page cache, a raw stretch then
// overlaps it (the page's changes move to the raw buffer), and a part of the page is written
// through the cache again, which reads the page back with the raw bytes in it: those bytes are
// the transaction's, never a pre-image. The committer is killed at each point of its commit.
TEST(ZanFile, JournalHoldsOldBytesAfterRawOverlapAndPartialPageWrite) {
    TTempFile t("zf_preimage.zan");
    MakeFile(t.Path, 8);
    const std::vector<uint8_t> original = DiskBytes(t.Path, 0, 8 * P);
    // The file with the old commit stamp: a finished commit leaves its own stamp.
    auto unstamped = [&](std::vector<uint8_t> bytes) {
        std::memcpy(bytes.data() + ZanStampAddress, original.data() + ZanStampAddress,
                    ZanStampSize);
        return bytes;
    };
    std::vector<uint8_t> committed = original;
    std::memcpy(committed.data() + 3 * P, Pattern(P, 0x40).data(), P);
    std::memcpy(committed.data() + 3 * P + 100, Pattern(16, 0x90).data(), 16);
    std::memcpy(committed.data() + 3 * P + 2000, Pattern(16, 0xC0).data(), 16);
    // Runs the transaction on a copy, killed at crash point killAt (0: none); answers the
    // crash points its commit passed.
    auto change = [&](const std::string& path, uint64_t killAt) {
        TZanFile file;
        Prepare(file);
        file.SetJournalActive(true);
        file.OpenZanFile(path);
        std::vector<uint8_t> page(P);
        file.SeekAndReadZanFile(page.data(), 0, P, 3 * P, 1); // page 3 cached clean
        file.StartTransaction();
        file.SeekAndWriteZanFile(Pattern(P, 0x40).data(), 0, P, 3 * P, 1);
        file.SeekAndWriteZanFile(Pattern(16, 0x90).data(), 0, 16, 3 * P + 100, 0);
        file.SeekAndWriteZanFile(Pattern(16, 0xC0).data(), 0, 16, 3 * P + 2000, 1);
        const uint64_t before = ZanCrashPointCount();
        ZanArmCrashPoint(killAt);
        file.Commit();
        ZanArmCrashPoint(0);
        const uint64_t points = ZanCrashPointCount() - before;
        file.CloseZanFile();
        return points;
    };
    uint64_t points = 0;
    {
        TTempFile copy("zf_preimage_count.zan");
        std::filesystem::copy_file(t.Path, copy.Path);
        points = change(copy.Path, 0);
        EXPECT_TRUE(unstamped(DiskBytes(copy.Path, 0, 8 * P)) == committed);
        unlink(JournalFileNameFor(copy.Path).c_str());
    }
    ASSERT_GT(points, 1u);
    for (uint64_t k = 1; k <= points; ++k) {
        SCOPED_TRACE(::testing::Message() << "kill at " << k);
        TTempFile copy("zf_preimage_run.zan");
        std::filesystem::copy_file(t.Path, copy.Path);
        TChildProcess child([&](TChildProcess&) {
            change(copy.Path, k);
            return 3;
        });
        child.Wait();
        const std::string journal = JournalFileNameFor(copy.Path);
        if (InspectJournal(journal, copy.Path).State == jsHot)
            ForEachJournalRecord(journal, [&](uint32_t address, const uint8_t* bytes,
                                              uint32_t length) {
                EXPECT_EQ(0, std::memcmp(bytes, original.data() + address, length))
                    << "journal record at " << address << " is not the file's old bytes";
            });
        RecoverJournal(journal, copy.Path, false);
        const std::vector<uint8_t> after = DiskBytes(copy.Path, 0, 8 * P);
        EXPECT_TRUE(after == original || unstamped(after) == committed);
        unlink(journal.c_str());
        if (::testing::Test::HasFailure()) return;
    }
}

// A page changed in place through the pointer a by-reference read answers, then written back by
// reference inside a transaction, reaches the file at commit, at every page size, whether the
// page was cached before the transaction or only read inside it, and whether the change follows
// a partial write of the page or not.
TEST(ZanFile, PageChangedInPlaceByReferenceIsCommittedAndJournalled) {
    for (const uint32_t size : {256u, 1024u, 4096u, 16384u})
        for (int variant = 0; variant < 3; ++variant) {
            SCOPED_TRACE(::testing::Message() << "page size " << size << " variant " << variant);
            TTempFile t("zf_byref.zan");
            {
                TWinFile f;
                f.Create(t.Path, fsDenyNone, true);
                std::vector<uint8_t> page(size);
                for (uint32_t n = 0; n < 8; ++n) {
                    std::fill(page.begin(), page.end(), static_cast<uint8_t>(n));
                    f.WriteAt(page.data(), size, uint64_t(n) * size);
                }
            }
            const std::vector<uint8_t> original = DiskBytes(t.Path, 0, 8 * size);
            const uint32_t at = 6 * size;
            std::vector<uint8_t> expected(original.begin() + at, original.begin() + at + size);
            {
                TZanFile file;
                Prepare(file);
                file.SetPageSize(size);
                file.SetJournalActive(true);
                file.OpenZanFile(t.Path);
                std::vector<uint8_t> probe(size);
                if (variant == 0) file.SeekAndReadZanFile(probe.data(), 1, size, at, 1);
                file.StartTransaction();
                if (variant == 2) {
                    const auto part = Pattern(8, 0x31);
                    file.SeekAndWriteZanFile(part.data(), 1, 8, at + 16, 1);
                    std::copy(part.begin(), part.end(), expected.begin() + 16);
                }
                uint8_t* ref = file.SeekAndReadZanFileByRef(1, size, at, 1);
                ref[3] = 0xA5;
                ref[size - 1] = 0x5A;
                expected[3] = 0xA5;
                expected[size - 1] = 0x5A;
                file.SeekAndWriteZanFileByRef(ref, 1, size, at, 1);
                file.Commit();
                file.CloseZanFile();
            }
            const std::vector<uint8_t> after = DiskBytes(t.Path, at, size);
            EXPECT_TRUE(after == expected);
        }
}
