// The journal unit on its own: a commit simulated on a plain file (old bytes journaled, new bytes
// written in place, the file grown), then the journal judged and recovered whole, cut at every
// kind of point, with each header field changed, and killed inside recovery.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanFile.h"
#include "engine/storage/zanJournal.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;
constexpr uint32_t C_OLD_PAGES = 6;
constexpr uint32_t C_NEW_PAGES = 8;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    return v;
}

struct TChange {
    uint32_t Address;
    uint32_t Length;
};

// The stretches the simulated commit overwrites: the global header, a whole page, a stretch
// across two pages (two records), a few bytes; and two pages of growth.
const TChange C_CHANGES[] = {{1024, 128}, {2 * P, P}, {4 * P - 100, 300}, {5 * P + 7, 9}};

// A database-like file, its journal for the simulated commit, and the images before and after.
struct TScenario {
    TTempFile Db{"journal_db.zan"};
    std::string Journal = JournalFileNameFor(Db.Path);
    std::vector<uint8_t> Before, After;
    std::vector<uint64_t> RecordEnds; // journal offsets where each record ends

    TScenario() {
        unlink(Journal.c_str());
        Before = Pattern(C_OLD_PAGES * P, 1);
        After = Before;
        std::vector<uint8_t> grown = Pattern((C_NEW_PAGES - C_OLD_PAGES) * P, 99);
        After.insert(After.end(), grown.begin(), grown.end());
        uint8_t seed = 50;
        for (const TChange& c : C_CHANGES) {
            std::vector<uint8_t> fresh = Pattern(c.Length, seed++);
            std::memcpy(After.data() + c.Address, fresh.data(), c.Length);
        }
        WriteFileBytes(Db.Path, Before);
    }
    ~TScenario() { unlink(Journal.c_str()); }

    TJournalHeader Fields() const {
        TJournalHeader h;
        h.Truncate = true;
        h.FixedCRCBefore = FixedRegionsCRC(Before.data());
        h.FixedCRCAfter = FixedRegionsCRC(After.data());
        h.LockIds.set(0);
        h.LockIds.set(5);
        h.LockIds.set(2047);
        return h;
    }

};

// Journals the old bytes of the simulated commit and, with inPlace, writes the new image over
// the file; the journal is left hot, as by a process that died there.
void CommitKeepingJournal(TScenario& s, bool inPlace) {
    TJournalWriter w;
    w.Begin(s.Journal, P, 0640, s.Before.size(), false);
    uint64_t end = ZanJournalHeaderSize;
    s.RecordEnds.clear();
    for (const TChange& c : C_CHANGES) {
        w.AddStretch(c.Address, s.Before.data() + c.Address, c.Length);
        for (uint32_t a = c.Address; a < c.Address + c.Length; a = (a / P + 1) * P)
            s.RecordEnds.push_back(end += ZanJournalRecordOverhead +
                                          std::min(c.Address + c.Length, (a / P + 1) * P) - a);
    }
    w.Finish(s.Fields());
    ASSERT_EQ(w.GetLength(), end);
    ASSERT_EQ(w.GetRecordCount(), s.RecordEnds.size());
    if (inPlace) WriteFileBytes(s.Db.Path, s.After);
    // Simulates the process dying with the journal hot: the descriptor is dropped, the file
    // stays.
    std::string keep = s.Journal + ".keep";
    std::filesystem::copy_file(s.Journal, keep);
    w.Discard();
    std::filesystem::rename(keep, s.Journal);
}

void PatchJournal(const std::string& path, uint64_t offset, const void* bytes, size_t n) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes, n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
    close(fd);
}

std::vector<uint8_t> ReadHeader(const std::string& path) {
    std::vector<uint8_t> all = ReadFileBytes(path);
    all.resize(ZanJournalHeaderSize);
    return all;
}

} // namespace

TEST(ZanJournal, HeaderEncodesEveryField) {
    TJournalHeader h;
    h.PageSize = 8192;
    h.Nonce = 0xDEADBEEF;
    h.RecordCount = 77;
    h.JournalLength = 0x123456789ull;
    h.OldSize = 0xFFFFE000ull;
    h.Truncate = true;
    h.FixedCRCBefore = 0x01020304;
    h.FixedCRCAfter = 0xA0B0C0D0;
    h.LockIds.set(0);
    h.LockIds.set(9);
    h.LockIds.set(2047);
    uint8_t raw[ZanJournalHeaderSize];
    h.Encode(raw);
    EXPECT_EQ(std::memcmp(raw, ZanJournalMagic, 8), 0);
    TJournalHeader back;
    ASSERT_TRUE(back.Decode(raw));
    EXPECT_EQ(back.PageSize, h.PageSize);
    EXPECT_EQ(back.Nonce, h.Nonce);
    EXPECT_EQ(back.RecordCount, h.RecordCount);
    EXPECT_EQ(back.JournalLength, h.JournalLength);
    EXPECT_EQ(back.OldSize, h.OldSize);
    EXPECT_TRUE(back.Truncate);
    EXPECT_EQ(back.FixedCRCBefore, h.FixedCRCBefore);
    EXPECT_EQ(back.FixedCRCAfter, h.FixedCRCAfter);
    EXPECT_EQ(back.LockIds, h.LockIds);
    raw[100] ^= 1;
    EXPECT_FALSE(back.Decode(raw));
}

TEST(ZanJournal, HotJournalRestoresOldBytesAndSize) {
    TScenario s;
    CommitKeepingJournal(s, true);
    ASSERT_EQ(ReadFileBytes(s.Db.Path), s.After);
    TJournalCheck check = InspectJournal(s.Journal, s.Db.Path);
    ASSERT_EQ(check.State, jsHot) << check.Reason;
    EXPECT_TRUE(check.Header.LockIds.test(5));
    EXPECT_FALSE(check.Header.LockIds.test(4));
    EXPECT_EQ(RecoverJournal(s.Journal, s.Db.Path, true), jsHot);
    EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
    EXPECT_FALSE(FileExists(s.Journal));
    // A journal found before anything was written in place restores nothing new.
    CommitKeepingJournal(s, false);
    EXPECT_EQ(RecoverJournal(s.Journal, s.Db.Path, false), jsHot);
    EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
}

// A stamped journal (the commit writes its nonce into the file before anything else there) is
// the file's own when the file holds its nonce, or holds exactly the journal's old bytes at its
// old size; any other file was changed by later commits, and the journal is kept as damaged.
TEST(ZanJournal, StampedJournalOfAnOlderCommitIsDamaged) {
    TScenario s;
    TJournalWriter w;
    w.Begin(s.Journal, P, 0640, s.Before.size(), false);
    for (const TChange& c : C_CHANGES)
        w.AddStretch(c.Address, s.Before.data() + c.Address, c.Length);
    w.AddStretch(ZanStampAddress, s.Before.data() + ZanStampAddress, ZanStampSize);
    TJournalHeader fields = s.Fields();
    fields.Stamped = true;
    w.Finish(fields);
    const uint32_t nonce = w.GetNonce();
    const std::vector<uint8_t> journal = ReadFileBytes(s.Journal);
    w.Discard();
    std::vector<uint8_t> stamped = s.After;
    for (uint32_t i = 0; i < ZanStampSize; ++i)
        stamped[ZanStampAddress + i] = static_cast<uint8_t>(nonce >> (8 * i));
    std::vector<uint8_t> later = s.Before; // a later commit changed a journalled page
    later[2 * P + 100] ^= 0x5A;
    std::vector<uint8_t> grown = s.Before; // a later commit grew the file
    grown.resize(grown.size() + P, 7);
    struct TCase {
        const char* Name;
        const std::vector<uint8_t>& File;
        TJournalState Expected;
    };
    const TCase cases[] = {
        {"nothing written yet", s.Before, jsHot},
        {"stamped and written", stamped, jsHot},
        {"written without its stamp", s.After, jsDamaged},
        {"a page changed since", later, jsDamaged},
        {"grown since", grown, jsDamaged},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFileBytes(s.Db.Path, c.File);
        WriteFileBytes(s.Journal, journal);
        const TJournalCheck check = InspectJournal(s.Journal, s.Db.Path);
        EXPECT_EQ(check.State, c.Expected) << check.Reason;
        if (c.Expected == jsHot) {
            EXPECT_EQ(RecoverJournal(s.Journal, s.Db.Path, false), jsHot);
            EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
            continue;
        }
        EXPECT_NE(check.Reason.find("older than the database's last commit"), std::string::npos);
        int code = 0;
        try {
            RecoverJournal(s.Journal, s.Db.Path, false);
        } catch (const EZanDatabaseError& e) {
            code = e.ErrorCode;
        }
        EXPECT_EQ(code, 8962);
        EXPECT_EQ(ReadFileBytes(s.Db.Path), c.File);
        EXPECT_EQ(ReadFileBytes(s.Journal), journal);
    }
}

TEST(ZanJournal, CipheredPagesStayAsStored) {
    TTempFile db("journal_cipher.zan");
    const std::string journal = JournalFileNameFor(db.Path);
    unlink(journal.c_str());
    const std::vector<uint8_t> plain = Pattern(P, 7), other = Pattern(P, 8);
    auto prepare = [](TZanFile& f) {
        f.SetXORKeyBuf(C_ZANXORKEY, sizeof C_ZANXORKEY);
        f.SetBlowKeyBuf(C_ZANDEFAULTBLOWKEY, sizeof C_ZANDEFAULTBLOWKEY);
        f.SetOpenRead(true);
        f.SetOpenWrite(true);
    };
    {
        TZanFile f;
        prepare(f);
        f.CreateZanFile(db.Path);
        // A database file never has fewer than six pages.
        std::vector<uint8_t> zero(6 * P);
        f.WriteThroughZanFile(zero.data(), 0, 6 * P);
        f.SeekAndWriteZanFile(plain.data(), 3, P, P, ZanAccessPage | ZanAccessBlowfish);
        f.CloseZanFile();
    }
    const std::vector<uint8_t> stored = ReadFileBytes(db.Path);
    ASSERT_NE(std::memcmp(stored.data() + P, plain.data(), P), 0) << "the page is ciphered";
    {
        TJournalWriter w;
        w.Begin(journal, P, 0600, stored.size(), false);
        w.AddStretch(P, stored.data() + P, P);
        TJournalHeader h;
        h.FixedCRCBefore = h.FixedCRCAfter = FixedRegionsCRC(stored.data());
        w.Finish(h);
        // Every byte after the header is the record: the ciphered bytes as stored.
        std::vector<uint8_t> j = ReadFileBytes(journal);
        ASSERT_EQ(j.size(), ZanJournalHeaderSize + ZanJournalRecordOverhead + P);
        EXPECT_EQ(std::memcmp(j.data() + ZanJournalHeaderSize + 8, stored.data() + P, P), 0);
        // The new page goes in place; the process then dies with the journal hot.
        TZanFile f;
        prepare(f);
        f.OpenZanFile(db.Path);
        f.SeekAndWriteZanFile(other.data(), 3, P, P, ZanAccessPage | ZanAccessBlowfish);
        f.CloseZanFile();
        std::filesystem::copy_file(journal, journal + ".keep");
        w.Discard();
        std::filesystem::rename(journal + ".keep", journal);
    }
    EXPECT_EQ(RecoverJournal(journal, db.Path, false), jsHot);
    EXPECT_EQ(ReadFileBytes(db.Path), stored);
    TZanFile f;
    prepare(f);
    f.OpenZanFile(db.Path);
    std::vector<uint8_t> back(P);
    f.SeekAndReadZanFile(back.data(), 3, P, P, ZanAccessPage | ZanAccessBlowfish);
    EXPECT_EQ(back, plain);
}

// A good journal cut anywhere is torn (or empty at length 0): recovery removes it and leaves
// the database alone.
TEST(ZanJournal, CutJournalIsTornAndRemoved) {
    TScenario s;
    CommitKeepingJournal(s, false);
    const std::vector<uint8_t> whole = ReadFileBytes(s.Journal);
    std::vector<uint64_t> cuts = {1, 7, 8, 100, ZanJournalHeaderSize - 1, ZanJournalHeaderSize,
                                  ZanJournalHeaderSize + 5, whole.size() - 1};
    for (uint64_t end : s.RecordEnds) {
        cuts.push_back(end); // at a record boundary
        cuts.push_back(end - 3); // inside a record's checksum
        cuts.push_back(end - 40); // inside its bytes
    }
    for (uint64_t cut : cuts) {
        if (cut >= whole.size()) continue;
        SCOPED_TRACE("cut at " + std::to_string(cut));
        WriteFileBytes(s.Journal, std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
        TJournalCheck check = InspectJournal(s.Journal, s.Db.Path);
        EXPECT_EQ(check.State, jsTorn) << check.Reason;
        EXPECT_EQ(RecoverJournal(s.Journal, s.Db.Path, false), jsTorn);
        EXPECT_FALSE(FileExists(s.Journal));
        EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
    }
    // Records written, header still zero (or zeroed at a commit point): no journal, never hot.
    std::vector<uint8_t> noHeader = whole;
    std::fill(noHeader.begin(), noHeader.begin() + ZanJournalHeaderSize, 0);
    WriteFileBytes(s.Journal, noHeader);
    EXPECT_EQ(InspectJournal(s.Journal).State, jsEmpty);
    // Only part of the header zero: torn.
    noHeader[ZanJournalHeaderSize - 1] = 1;
    WriteFileBytes(s.Journal, noHeader);
    EXPECT_EQ(InspectJournal(s.Journal).State, jsTorn);
    // An empty file is not hot and stays.
    WriteFileBytes(s.Journal, {});
    EXPECT_EQ(RecoverJournal(s.Journal, s.Db.Path, false), jsEmpty);
    EXPECT_TRUE(FileExists(s.Journal));
    // A record's byte changed: its checksum fails, torn.
    WriteFileBytes(s.Journal, whole);
    const uint8_t flip = whole[s.RecordEnds[1] - 20] ^ 0x40;
    PatchJournal(s.Journal, s.RecordEnds[1] - 20, &flip, 1);
    EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsTorn);
}

// Each header field changed, with the header checksum made to match: the verdict the field's
// meaning calls for. Without the matching checksum every change is torn.
TEST(ZanJournal, HeaderFieldChanged) {
    struct TCase {
        const char* Field;
        uint32_t Offset;
        uint64_t Value; // written little-endian over Width bytes; see Delta
        uint32_t Width;
        bool Delta;     // Value is added to the field instead of replacing it
        TJournalState Expected;
    };
    const uint64_t oldSize = uint64_t(C_OLD_PAGES) * P;
    const TCase cases[] = {
        {"magic", 0, 'X', 1, false, jsForeign},
        {"version", 8, 2, 4, false, jsDamaged},
        {"page size not a power of two", 12, 3000, 4, false, jsDamaged},
        {"page size too small", 12, 64, 4, false, jsDamaged},
        {"page size smaller than a record", 12, 2048, 4, false, jsDamaged},
        {"nonce", 16, 1, 4, true, jsTorn},
        {"record count up", 20, 1, 4, true, jsDamaged},
        {"record count down", 20, uint64_t(-1), 4, true, jsDamaged},
        {"record count huge", 20, 0xFFFFFFFF, 4, false, jsDamaged},
        {"journal length up", 24, 1, 8, true, jsTorn},
        {"journal length down", 24, uint64_t(-1), 8, true, jsDamaged},
        {"journal length below header", 24, 10, 8, false, jsDamaged},
        {"old size unaligned", 32, 1, 8, true, jsDamaged},
        {"old size beyond the file", 32, oldSize + 100 * P, 8, false, jsDamaged},
        {"old size beyond 4 GiB", 32, 0x200000000ull, 8, false, jsDamaged},
        {"old size below a record", 32, 3 * P, 8, false, jsDamaged},
        // No database file is smaller than its reserved pages and first map page: cutting the
        // file to such a size would lose every table.
        {"old size zero", 32, 0, 8, false, jsDamaged},
        {"old size within the reserved pages", 32, 5 * P, 8, false, jsDamaged},
        {"unknown flag", 40, 4, 4, true, jsDamaged},
        {"truncate flag off", 40, 0, 4, false, jsHot},
        {"fixed CRC after only", 48, 1, 4, true, jsHot}, // before still matches
        {"both fixed CRCs", 44, 0x0101010101010101ull, 8, true, jsOtherDatabase},
        {"lock map", 64 + 17, 0x80, 1, false, jsHot},
    };
    for (const TCase& c : cases) {
        for (bool fixCrc : {true, false}) {
            SCOPED_TRACE(std::string(c.Field) + (fixCrc ? "" : ", checksum not matched"));
            TScenario s;
            CommitKeepingJournal(s, false);
            std::vector<uint8_t> head = ReadHeader(s.Journal);
            uint64_t v = 0;
            for (uint32_t i = 0; i < c.Width; ++i)
                v |= uint64_t(head[c.Offset + i]) << (8 * i);
            v = c.Delta ? v + c.Value : c.Value;
            for (uint32_t i = 0; i < c.Width; ++i)
                head[c.Offset + i] = static_cast<uint8_t>(v >> (8 * i));
            if (fixCrc) {
                const uint32_t crc = CalcCRC(head.data(), 508);
                std::memcpy(head.data() + 508, &crc, 4);
            }
            PatchJournal(s.Journal, 0, head.data(), head.size());
            const TJournalState expected =
                fixCrc || c.Expected == jsForeign ? c.Expected : jsTorn;
            TJournalCheck check = InspectJournal(s.Journal, s.Db.Path);
            EXPECT_EQ(JournalStateName(check.State), std::string(JournalStateName(expected)))
                << check.Reason;
            const std::vector<uint8_t> journal = ReadFileBytes(s.Journal);
            const int32_t code = ErrorCodeOf([&] { RecoverJournal(s.Journal, s.Db.Path, false); });
            switch (expected) {
            case jsDamaged:
            case jsOtherDatabase:
                EXPECT_EQ(code, expected == jsDamaged ? 8962 : 8449);
                EXPECT_EQ(ReadFileBytes(s.Journal), journal) << "kept as it was";
                break;
            case jsForeign:
                EXPECT_EQ(code, 0);
                EXPECT_EQ(ReadFileBytes(s.Journal), journal) << "never touched";
                break;
            default:
                EXPECT_EQ(code, 0);
                EXPECT_FALSE(FileExists(s.Journal));
            }
            EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
        }
    }
}

TEST(ZanJournal, ForeignPathsAreNeverTouched) {
    TScenario s;
    const std::string target = s.Db.Path + ".target";
    WriteFileBytes(target, Pattern(600, 3));
    auto cleanup = [&] {
        std::error_code ec;
        std::filesystem::remove_all(s.Journal, ec);
    };
    struct TCase {
        const char* Name;
        std::function<void()> Make;
    } cases[] = {
        {"symbolic link", [&] { ASSERT_EQ(symlink(target.c_str(), s.Journal.c_str()), 0); }},
        {"directory", [&] { std::filesystem::create_directory(s.Journal); }},
        {"fifo", [&] { ASSERT_EQ(mkfifo(s.Journal.c_str(), 0600), 0); }},
        {"other bytes", [&] { WriteFileBytes(s.Journal, Pattern(2000, 9)); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        cleanup();
        c.Make();
        EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsForeign);
        EXPECT_EQ(RecoverJournal(s.Journal, s.Db.Path, false), jsForeign);
        struct stat st {};
        EXPECT_EQ(lstat(s.Journal.c_str(), &st), 0) << "still there";
        // A commit cannot write its journal there.
        TJournalWriter w;
        EXPECT_EQ(ErrorCodeOf([&] { w.Begin(s.Journal, P, 0600, s.Before.size(), false); }),
                  9217);
        EXPECT_EQ(lstat(s.Journal.c_str(), &st), 0) << "still there";
    }
    cleanup();
    unlink(target.c_str());
    EXPECT_EQ(InspectJournal(s.Journal).State, jsAbsent);
}

TEST(ZanJournal, WriterKeepsAndReusesItsFile) {
    TScenario s;
    TJournalWriter w;
    for (int round = 0; round < 3; ++round) {
        w.Begin(s.Journal, P, 0640, s.Before.size(), true);
        w.AddStretch(2 * P, s.Before.data() + 2 * P, 3 * P); // three records
        w.Finish(s.Fields());
        EXPECT_EQ(w.GetRecordCount(), 3u);
        EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsHot);
        w.Invalidate(true);
        EXPECT_EQ(InspectJournal(s.Journal).State, jsEmpty);
        struct stat st {};
        ASSERT_EQ(stat(s.Journal.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << "the database's mode bits";
    }
    // Another writer reuses the empty file; a non-empty one is refused.
    TJournalWriter other;
    other.Begin(s.Journal, P, 0640, s.Before.size(), false);
    other.AddStretch(0, s.Before.data(), 10);
    other.Finish(s.Fields());
    TJournalWriter third;
    EXPECT_EQ(ErrorCodeOf([&] { third.Begin(s.Journal, P, 0640, s.Before.size(), false); }),
              9217);
    other.Invalidate(false);
    EXPECT_FALSE(FileExists(s.Journal));
    // The first writer notices its kept file is gone and creates a new one.
    w.Begin(s.Journal, P, 0640, s.Before.size(), false);
    w.AddStretch(0, s.Before.data(), 10);
    w.Finish(s.Fields());
    EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsHot);
    w.Invalidate(true);
    w.Close();
    EXPECT_FALSE(FileExists(s.Journal)) << "an empty kept journal is removed at close";
    // An unwritable directory: the journal cannot be created.
    TJournalWriter nowhere;
    EXPECT_EQ(ErrorCodeOf([&] {
                  nowhere.Begin("/proc/no-such-dir/x-journal", P, 0600, 0, false);
              }),
              9218);
}

// The commit point zeroes the kept journal's header and leaves its records: the file is no
// journal to anyone (this process's recovery or another's), it stays at full length and the
// next commit writes into the same file, where the stale records fail their checksum beyond
// the new length. A journal over 64 KiB is cut to zero length instead.
TEST(ZanJournal, InvalidatedJournalIsNeverHotAndIsReused) {
    TScenario s;
    TJournalWriter w;
    w.Begin(s.Journal, P, 0640, s.Before.size(), false);
    w.AddStretch(0, s.Before.data(), 4 * P); // four records
    w.Finish(s.Fields());
    const uint64_t length = w.GetLength();
    w.Invalidate(true);
    struct stat first {};
    ASSERT_EQ(stat(s.Journal.c_str(), &first), 0);
    EXPECT_EQ(static_cast<uint64_t>(first.st_size), length) << "the blocks stay";
    EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsEmpty);
    TChildProcess other([&](TChildProcess&) {
        return RecoverJournal(s.Journal, s.Db.Path, true) == jsEmpty && FileExists(s.Journal)
                   ? 0
                   : 1;
    });
    EXPECT_EQ(other.Wait(), 0) << "another process's recovery leaves it alone";
    EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
    EXPECT_TRUE(w.KeptReady());

    // The next commit, shorter, in the same file; the header's length bounds the records.
    w.Begin(s.Journal, P, 0640, s.Before.size(), false);
    w.AddStretch(P, s.Before.data() + P, P);
    w.Finish(s.Fields());
    struct stat second {};
    ASSERT_EQ(stat(s.Journal.c_str(), &second), 0);
    EXPECT_EQ(second.st_ino, first.st_ino);
    EXPECT_EQ(second.st_size, first.st_size);
    EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsHot);
    // A header claiming the stale records as well finds them failing the new nonce.
    TJournalHeader h;
    ASSERT_TRUE(h.Decode(ReadHeader(s.Journal).data()));
    h.RecordCount = 2;
    h.JournalLength = ZanJournalHeaderSize + 2 * (ZanJournalRecordOverhead + P);
    uint8_t head[ZanJournalHeaderSize];
    h.Encode(head);
    const std::vector<uint8_t> hot = ReadHeader(s.Journal);
    PatchJournal(s.Journal, 0, head, sizeof head);
    EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsTorn);
    PatchJournal(s.Journal, 0, hot.data(), hot.size());
    w.Invalidate(true);
    EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsEmpty);

    // Another writer reuses the zeroed file too.
    TJournalWriter next;
    next.Begin(s.Journal, P, 0640, s.Before.size(), false);
    next.AddStretch(0, s.Before.data(), 10);
    next.Finish(s.Fields());
    EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsHot);
    EXPECT_FALSE(w.KeptReady()) << "it holds a journal now";
    next.Invalidate(true);
    next.Abandon();

    // Big: cut to zero length.
    EXPECT_TRUE(w.KeptReady());
    w.Begin(s.Journal, P, 0640, s.Before.size(), false);
    for (int i = 0; i < 300; ++i)
        w.AddStretch(0, s.Before.data(), P);
    w.Finish(s.Fields());
    w.Invalidate(true);
    EXPECT_EQ(ReadFileBytes(s.Journal).size(), 0u);
    w.Close();
    EXPECT_FALSE(FileExists(s.Journal));
}

// Recovery killed at each of its writes, truncate and unlink, and then run again, ends with the
// old database and no journal: recovery is idempotent.
TEST(ZanJournal, RecoveryKilledAnywhereCanBeRepeated) {
    TScenario s;
    CommitKeepingJournal(s, true);
    const std::vector<uint8_t> hot = ReadFileBytes(s.Journal);
    const std::string db0 = s.Db.Path + ".after";
    WriteFileBytes(db0, s.After);
    // Records + truncate + sync + unlink.
    const uint64_t points = s.RecordEnds.size() + 3;
    for (uint64_t n = 1; n <= points; ++n) {
        for (bool torn : {false, true}) {
            SCOPED_TRACE("killed at point " + std::to_string(n) + (torn ? ", torn" : ""));
            WriteFileBytes(s.Db.Path, s.After);
            WriteFileBytes(s.Journal, hot);
            TChildProcess child([&](TChildProcess&) {
                ZanArmCrashPoint(n, torn);
                RecoverJournal(s.Journal, s.Db.Path, true);
                return 0;
            });
            const int code = child.Wait();
            EXPECT_EQ(code, -1) << "the child was killed";
            EXPECT_NE(RecoverJournal(s.Journal, s.Db.Path, true), jsDamaged);
            EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
            EXPECT_FALSE(FileExists(s.Journal));
        }
    }
    unlink(db0.c_str());
}

// The kept journal is recognised by the file at its path, not by its name: a file put in its
// place (even an empty one) or one that gained bytes is not the kept, empty journal any more.
// Told that no one else can have touched the path, the writer does not look.
TEST(ZanJournal, KeptJournalIsKnownByItsFile) {
    TScenario s;
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"untouched", [] {}},
        {"replaced by an empty file",
         [&] {
             unlink(s.Journal.c_str());
             WriteFileBytes(s.Journal, {});
         }},
        {"removed", [&] { unlink(s.Journal.c_str()); }},
        {"written to", [&] { WriteFileBytes(s.Journal, {1, 2, 3}); }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        unlink(s.Journal.c_str());
        TJournalWriter w;
        EXPECT_FALSE(w.KeptReady()) << "nothing kept before a commit";
        w.Begin(s.Journal, P, 0640, s.Before.size(), false);
        w.Finish(s.Fields());
        w.Invalidate(true);
        change();
        EXPECT_TRUE(w.KeptReady(true));
        EXPECT_EQ(w.KeptIdle(), std::string(name) == "untouched");
        EXPECT_EQ(w.KeptReady(), std::string(name) == "untouched");
        w.Close();
    }
}

// The header and the records still buffered go out in one write; a journal over 1 MiB writes
// its records in pieces first. Killed at each of those writes, whole or half written, the
// journal is never hot (the database was not touched yet); complete, it restores every byte.
namespace {

// Kills a child writing the journal at each of its first `points` crash points, whole and
// torn: every kill must leave a journal that is torn or empty, never one taken as hot.
void ExpectJournalKillsLeaveTornOrEmpty(const std::string& journal, const std::string& dbPath,
                                        uint64_t points, const std::function<void()>& writeJournal,
                                        const std::string& label) {
    for (uint64_t n = 1; n <= points; ++n)
        for (bool torn : {false, true}) {
            SCOPED_TRACE(label + "killed at write " + std::to_string(n) + (torn ? ", torn" : ""));
            unlink(journal.c_str());
            TChildProcess child([&](TChildProcess&) {
                ZanArmCrashPoint(n, torn);
                writeJournal();
                return 0;
            });
            EXPECT_EQ(child.Wait(), -1) << "the child was killed";
            const TJournalState state = InspectJournal(journal, dbPath).State;
            EXPECT_TRUE(state == jsTorn || state == jsEmpty) << JournalStateName(state);
        }
    unlink(journal.c_str());
}

} // namespace

TEST(ZanJournal, JournalWritesKilledAnywhereAreTorn) {
    TScenario s;
    // The smallest database file has six pages.
    for (uint32_t pages : {6u, 300u}) {
        std::vector<uint8_t> big = Pattern(size_t(pages) * P, 7);
        const TTempFile bigDb("journal_big.zan");
        WriteFileBytes(bigDb.Path, big);
        const std::string journal = JournalFileNameFor(bigDb.Path);
        auto writeJournal = [&] {
            TJournalWriter w;
            w.Begin(journal, P, 0640, big.size(), false);
            for (uint32_t i = 0; i < pages; ++i)
                w.AddStretch(i * P, big.data() + size_t(i) * P, P);
            TJournalHeader h;
            h.FixedCRCBefore = h.FixedCRCAfter = FixedRegionsCRC(big.data());
            w.Finish(h);
            w.Abandon();
        };
        unlink(journal.c_str());
        const uint64_t before = ZanCrashPointCount();
        writeJournal();
        const uint64_t points = ZanCrashPointCount() - before;
        // Small: records and header in one write. Large: a 1 MiB piece, the rest, the header.
        EXPECT_EQ(points, pages == 6 ? 1u : 3u);
        EXPECT_EQ(InspectJournal(journal, bigDb.Path).State, jsHot);
        std::vector<uint8_t> changed(big.size(), 0xEE);
        WriteFileBytes(bigDb.Path, changed);
        EXPECT_EQ(RecoverJournal(journal, bigDb.Path, false), jsHot);
        EXPECT_EQ(ReadFileBytes(bigDb.Path), big);
        ExpectJournalKillsLeaveTornOrEmpty(journal, bigDb.Path, points, writeJournal,
                                           std::to_string(pages) + " pages, ");
    }
}

// Records whose bytes are written from where they lie, mixed with copied ones, in more pieces
// than one system call takes and over more than 1 MiB: the journal reads back record for
// record, restores the file, and killed at any of its writes (torn or not) is never hot.
TEST(ZanJournal, RecordsLeftInPlaceReadBackAndKilledAreTorn) {
    constexpr uint32_t pages = 600;
    const std::vector<uint8_t> big = Pattern(size_t(pages) * P, 3);
    const TTempFile db("journal_inplace.zan");
    WriteFileBytes(db.Path, big);
    const std::string journal = JournalFileNameFor(db.Path);
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    auto writeJournal = [&] {
        expected.clear();
        TJournalWriter w;
        w.Begin(journal, P, 0640, big.size(), false);
        for (uint32_t i = 0; i < pages; ++i) {
            if (i % 2 == 0) {
                w.AddStretchInPlace(i * P, big.data() + size_t(i) * P, P);
                expected.emplace_back(i * P, P);
                continue;
            }
            for (uint32_t k = 0; k < 8; ++k) {
                const uint32_t a = i * P + k * 500;
                if (k % 2 == 0)
                    w.AddStretchInPlace(a, big.data() + a, 20);
                else
                    w.AddStretch(a, big.data() + a, 20);
                expected.emplace_back(a, 20);
            }
        }
        TJournalHeader h;
        h.FixedCRCBefore = h.FixedCRCAfter = FixedRegionsCRC(big.data());
        w.Finish(h);
        w.Abandon();
    };
    unlink(journal.c_str());
    const uint64_t before = ZanCrashPointCount();
    writeJournal();
    const uint64_t points = ZanCrashPointCount() - before;
    EXPECT_GE(points, 3u);
    ASSERT_EQ(InspectJournal(journal, db.Path).State, jsHot);
    size_t next = 0, wrong = 0;
    ForEachJournalRecord(journal, [&](uint32_t address, const uint8_t* bytes, uint32_t length) {
        if (next >= expected.size() || expected[next] != std::make_pair(address, length) ||
            std::memcmp(bytes, big.data() + address, length) != 0)
            ++wrong;
        ++next;
    });
    EXPECT_EQ(next, expected.size());
    EXPECT_EQ(wrong, 0u);
    // The journaled bytes overwritten: recovery puts them back.
    std::vector<uint8_t> changed = big;
    for (const auto& [address, length] : expected)
        std::memset(changed.data() + address, 0xEE, length);
    WriteFileBytes(db.Path, changed);
    EXPECT_EQ(RecoverJournal(journal, db.Path, false), jsHot);
    EXPECT_EQ(ReadFileBytes(db.Path), big);
    ExpectJournalKillsLeaveTornOrEmpty(journal, db.Path, points, writeJournal, "");
}

// Journals pages pages of the scenario's old image (page i is page i mod the old page count)
// through w, without syncs, and leaves the journal hot.
void JournalPages(TScenario& s, TJournalWriter& w, uint32_t pages) {
    w.Begin(s.Journal, P, 0640, s.Before.size(), false);
    for (uint32_t i = 0; i < pages; ++i)
        w.AddStretch((i % C_OLD_PAGES) * P, s.Before.data() + (i % C_OLD_PAGES) * P, P);
    w.Finish(s.Fields());
}

// Without syncs a kept journal is written, read and zeroed through a shared mapping of its
// first 64 KiB. The mapping is used only below the size the file had when last seen under the
// commit lock: another connection that cut the file (a big journal is cut to zero length at
// its commit point) makes the next commit write through the descriptor again, never into
// pages past the end of the file. Killed inside a mapped write, the journal is torn or empty;
// killed after it, hot, and it restores the old bytes.
TEST(ZanJournal, KeptJournalWrittenThroughItsMapping) {
    TScenario s;
    auto commit = [&](TJournalWriter& w, uint32_t pages) { JournalPages(s, w, pages); };
    auto expectRecords = [&](uint32_t pages) {
        uint32_t n = 0, wrong = 0;
        ForEachJournalRecord(s.Journal, [&](uint32_t address, const uint8_t* bytes,
                                            uint32_t length) {
            const uint32_t at = (n++ % C_OLD_PAGES) * P;
            if (address != at || length != P || std::memcmp(bytes, s.Before.data() + at, P))
                ++wrong;
        });
        EXPECT_EQ(n, pages);
        EXPECT_EQ(wrong, 0u);
    };
    // A commit read back while hot, then invalidated: its crash points.
    auto commitChecked = [&](TJournalWriter& w, uint32_t pages) {
        const uint64_t before = ZanCrashPointCount();
        commit(w, pages);
        const uint64_t points = ZanCrashPointCount() - before;
        EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsHot);
        expectRecords(pages);
        w.Invalidate(true);
        EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsEmpty);
        return points;
    };
    TJournalWriter a, b;
    commit(a, 3); // creates the file: through the descriptor
    a.Invalidate(true);
    ASSERT_TRUE(a.KeptReady());
    EXPECT_EQ(commitChecked(a, 2), 1u) << "fits the file: through the mapping, one write";

    // Another connection's big journal cuts the shared file to zero length.
    commit(b, 20);
    b.Invalidate(true);
    ASSERT_EQ(ReadFileBytes(s.Journal).size(), 0u);
    ASSERT_TRUE(a.KeptReady());
    commitChecked(a, 2); // the file is empty now: written through the descriptor
    // The same file, seen as grown by another writer, is mapped again in full.
    commit(b, 4);
    b.Invalidate(true);
    ASSERT_TRUE(a.KeptReady());
    commit(a, 4);
    expectRecords(4);
    EXPECT_EQ(RecoverJournal(s.Journal, s.Db.Path, true), jsHot);
    EXPECT_EQ(ReadFileBytes(s.Db.Path), s.Before);
    a.Close();
    b.Close();

    // Killed at the mapped write (whole or half) and just after it.
    for (int at = 0; at < 3; ++at) {
        SCOPED_TRACE("kill " + std::to_string(at));
        unlink(s.Journal.c_str());
        TChildProcess child([&](TChildProcess&) {
            TJournalWriter w;
            commit(w, 3);
            w.Invalidate(true);
            if (!w.KeptReady()) return 1;
            ZanArmCrashPoint(at == 2 ? 2 : 1, at == 1);
            commit(w, 3);
            w.Invalidate(true);
            return 2;
        });
        EXPECT_EQ(child.Wait(), -1) << "the child was killed";
        const TJournalState state = InspectJournal(s.Journal, s.Db.Path).State;
        if (at < 2) {
            EXPECT_TRUE(state == jsTorn || state == jsEmpty) << JournalStateName(state);
        } else {
            EXPECT_EQ(state, jsHot);
            expectRecords(3);
        }
    }
    unlink(s.Journal.c_str());
}

// The kept journal's file changed by hand between commits: cut to zero length while the
// connection trusts it untouched (an exclusive open does not look), renamed away from its path,
// or left sparse by hand on a file system that then fills up. Each commit must keep its journal
// at the path, and a write it cannot make must fail as an error, never as a signal (a store
// through the mapping into a page the file does not have, or cannot be given, is SIGBUS).
TEST(ZanJournal, KeptJournalChangedByHand) {
    TScenario s;
    auto commit = [&](TJournalWriter& w, uint32_t pages) { JournalPages(s, w, pages); };
    // Cut to zero length by hand while no commit runs; the next commit trusts the file
    // (known) and must still write its journal whole.
    {
        TChildProcess child([&](TChildProcess&) {
            TJournalWriter w;
            commit(w, 3);
            w.Invalidate(true);
            if (truncate(s.Journal.c_str(), 0) != 0) return 10 + errno;
            if (!w.KeptReady(true)) return 2;
            commit(w, 2);
            return InspectJournal(s.Journal, s.Db.Path).State == jsHot ? 0 : 3;
        });
        EXPECT_EQ(child.Wait(), 0) << "-1: killed by a signal";
        unlink(s.Journal.c_str());
    }
    // Renamed by hand: the file at the path is no longer the kept one, and the next commit's
    // journal must be at the path, where a restorer looks for it.
    {
        const std::string moved = s.Journal + ".moved";
        TJournalWriter w;
        commit(w, 3);
        w.Invalidate(true);
        ASSERT_EQ(rename(s.Journal.c_str(), moved.c_str()), 0);
        EXPECT_FALSE(w.KeptReady());
        EXPECT_FALSE(w.KeptIdle());
        commit(w, 2);
        EXPECT_EQ(InspectJournal(s.Journal, s.Db.Path).State, jsHot);
        w.Invalidate(true);
        w.Close();
        unlink(moved.c_str());
        unlink(s.Journal.c_str());
    }
}

// A kept journal made sparse by hand (an empty header over a hole reads as no journal, so a
// commit reuses the file), on a file system that is full: the commit must fail with an error,
// not die storing into a hole the file system cannot fill. Needs a private mount of a small
// memory file system (root); skipped elsewhere.
TEST(ZanJournal, SparseKeptJournalOnFullFileSystem) {
    const std::string dir = TestTempPath("full_fs");
    std::filesystem::create_directories(dir);
    TChildProcess child([&](TChildProcess&) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=512k") != 0)
            return 77;
        const std::string db = dir + "/db.zan", journal = JournalFileNameFor(db);
        const std::vector<uint8_t> before = Pattern(C_OLD_PAGES * P, 1);
        WriteFileBytes(db, before);
        const int sparse = open(journal.c_str(), O_CREAT | O_WRONLY, 0640);
        if (sparse < 0 || ftruncate(sparse, 64 << 10) != 0) return 2;
        close(sparse);
        {
            // Fill the file system.
            const int fd = open((dir + "/fill").c_str(), O_CREAT | O_WRONLY, 0640);
            const std::vector<uint8_t> block(4096, 0);
            while (write(fd, block.data(), block.size()) > 0) {
            }
            close(fd);
        }
        TJournalWriter w;
        TJournalHeader fields;
        fields.FixedCRCBefore = fields.FixedCRCAfter = FixedRegionsCRC(before.data());
        try {
            w.Begin(journal, P, 0640, before.size(), false);
            for (uint32_t i = 0; i < 4; ++i)
                w.AddStretch(i * P, before.data() + i * P, P);
            w.Finish(fields);
        } catch (const EZanDatabaseError& e) {
            return e.ErrorCode == 9218 ? 0 : 3;
        }
        return 4; // written although the file system is full
    });
    const int result = child.Wait();
    std::filesystem::remove_all(dir);
    if (result == 77) GTEST_SKIP() << "no private memory file system here";
    EXPECT_EQ(result, 0) << "-1 or 1: killed by a signal";
}
