#include "engine/storage/zanJournal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanFile.h"
#include "host/rtl/Random.h"
#include "host/rtl/ScopeExit.h"
#include "host/win/WinSys.h"

namespace zan {

namespace {

constexpr size_t C_FLUSH_SIZE = 1u << 20; // records go to the file in pieces of this size
// A kept journal longer than this is cut to zero length at its commit point, so the file does
// not keep the blocks of one big transaction; a shorter one has only its header zeroed. Cutting
// also drops the large cache folios a long journal write leaves, which would make each later
// small journal write into them several times slower.
constexpr uint64_t C_KEEP_LENGTH = 64u << 10;
// The part of a kept journal written through a shared mapping: every journal kept whole.
constexpr uint64_t C_MAP_LENGTH = C_KEEP_LENGTH;
constexpr uint32_t C_FLAG_TRUNCATE = 1;
constexpr uint32_t C_FLAG_STAMPED = 2;
constexpr uint32_t C_MIN_PAGE = 128;
constexpr uint32_t C_MAX_PAGE = 65536;

// The fixed regions: definition header, security header, global header.
constexpr struct {
    uint32_t Offset, Size;
} C_FIXED_REGIONS[] = {{0, 254}, {768, 40}, {1024, 128}};

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}
uint64_t Get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

uint32_t RecordCRC(uint32_t nonce, const uint8_t* record, uint32_t length) {
    uint8_t n[4];
    Put32(n, nonce);
    uint32_t crc = CRCUpdate(0, n, 4);
    return CRCUpdate(crc, record, static_cast<int32_t>(8 + length));
}

// Syncs the directory holding path (a journal created or removed there); false on failure.
bool SyncDirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ZanCrashPoint(csSync);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

bool IsPowerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// A descriptor closed at scope end.
struct TFd {
    int Fd = -1;
    explicit TFd(int fd) : Fd(fd) {}
    ~TFd() {
        if (Fd >= 0) close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

// pread of exactly count bytes; false at end of file or on an error.
bool ReadExact(int fd, void* buffer, size_t count, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = pread(fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// The file holds no journal: it is empty, or its whole header is zeros (a journal invalidated
// at its commit point, or one whose header was never written). Such a file is never hot.
bool HeaderIsZero(int fd, uint64_t size) {
    if (size == 0) return true;
    if (size < ZanJournalHeaderSize) return false;
    static const uint8_t zero[ZanJournalHeaderSize] = {};
    uint8_t head[ZanJournalHeaderSize];
    if (!ReadExact(fd, head, sizeof head, 0)) return false;
    return std::memcmp(head, zero, sizeof head) == 0;
}

// Reads the records of a journal in order through a buffer, so a long journal costs few calls.
class TRecordScanner {
public:
    TRecordScanner(int fd, uint64_t end) : FFd(fd), FEnd(end) {}
    // The next count bytes, not consumed, as a pointer valid until the next call; nullptr when
    // they would reach beyond the end or cannot be read.
    const uint8_t* Peek(uint32_t count) {
        if (FPos + count > FEnd) return nullptr;
        if (FPos < FBufStart || FPos + count > FBufStart + FBuf.size()) {
            const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(count, C_FLUSH_SIZE),
                                                     FEnd - FPos);
            FBuf.resize(want);
            if (!ReadExact(FFd, FBuf.data(), want, FPos)) return nullptr;
            FBufStart = FPos;
        }
        return FBuf.data() + (FPos - FBufStart);
    }
    void Skip(uint32_t count) { FPos += count; }
    uint64_t Pos() const { return FPos; }

private:
    int FFd;
    uint64_t FEnd;
    uint64_t FPos = ZanJournalHeaderSize;
    uint64_t FBufStart = ZanJournalHeaderSize;
    std::vector<uint8_t> FBuf;
};

// Walks the records of a journal whose header is valid. Answers jsHot when every record is
// sound, jsTorn for a checksum that fails, jsDamaged for impossible fields.
TJournalState ScanRecords(int fd, const TJournalHeader& h, std::string& reason,
                          const std::function<void(uint32_t, const uint8_t*, uint32_t)>& action) {
    TRecordScanner scan(fd, h.JournalLength);
    for (uint32_t i = 0; i < h.RecordCount; ++i) {
        const std::string which = "record " + std::to_string(i) + " at " +
                                  std::to_string(scan.Pos());
        const uint8_t* record = scan.Peek(8);
        const uint32_t address = record ? Get32(record) : 0;
        const uint32_t length = record ? Get32(record + 4) : 0;
        if (record && (length == 0 || length > h.PageSize)) {
            reason = which + " has an impossible length";
            return jsDamaged;
        }
        if (record) record = scan.Peek(length + ZanJournalRecordOverhead);
        if (!record) {
            reason = which + " lies beyond the journal length";
            return jsDamaged;
        }
        if (RecordCRC(h.Nonce, record, length) != Get32(record + 8 + length)) {
            reason = which + " fails its checksum";
            return jsTorn;
        }
        if (address / h.PageSize != (uint64_t(address) + length - 1) / h.PageSize) {
            reason = which + " crosses a page";
            return jsDamaged;
        }
        if (uint64_t(address) + length > h.OldSize) {
            reason = which + " lies beyond the old size";
            return jsDamaged;
        }
        if (action) action(address, record + 8, length);
        scan.Skip(length + ZanJournalRecordOverhead);
    }
    if (scan.Pos() != h.JournalLength) {
        reason = "the records do not fill the journal length";
        return jsDamaged;
    }
    return jsHot;
}

// Whether the database was written in place after the journal was made: its fixed regions are
// already those the commit leaves, or a sound record (one holding its checksum, in order up to
// the first that does not or the journal's end) no longer matches the database's bytes at its
// address. Until the journal is complete the database is left alone, so a journal cut or
// failing a checksum beside such a database was damaged after its commit began writing, not
// cut while it was written (a power cut before the journal's sync leaves the database as the
// records hold it).
bool DatabaseWrittenSince(int journalFd, uint64_t journalEnd, const TJournalHeader& h,
                          const std::string& databasePath) {
    TFd db(open(databasePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (db.Fd < 0) return false;
    // The fixed regions as the commit leaves them, where the commit changes them.
    uint8_t image[ZanFixedRegionsEnd] = {};
    if (h.FixedCRCAfter != h.FixedCRCBefore && ReadExact(db.Fd, image, sizeof image, 0) &&
        FixedRegionsCRC(image) == h.FixedCRCAfter)
        return true;
    TRecordScanner scan(journalFd, journalEnd);
    std::vector<uint8_t> stored;
    for (uint32_t i = 0; i < h.RecordCount; ++i) {
        const uint8_t* record = scan.Peek(8);
        if (!record) return false;
        const uint32_t address = Get32(record);
        const uint32_t length = Get32(record + 4);
        if (length == 0 || length > h.PageSize) return false;
        record = scan.Peek(length + ZanJournalRecordOverhead);
        if (!record || RecordCRC(h.Nonce, record, length) != Get32(record + 8 + length))
            return false;
        if (uint64_t(address) + length > h.OldSize) return false;
        stored.resize(length);
        // A database shorter than a record's place was cut after the journal began. The
        // commit stamp (zanJournal.h) is no write of the commit's data.
        const bool stamp = address == ZanStampAddress && length == ZanStampSize;
        if (!stamp && (!ReadExact(db.Fd, stored.data(), length, address) ||
                       std::memcmp(stored.data(), record + 8, length) != 0))
            return true;
        scan.Skip(length + ZanJournalRecordOverhead);
    }
    return false;
}

// Whether a complete, stamped journal was left from an older commit: the database holds
// another stamp than the journal's nonce, so its commit never began writing in place, yet the
// database is not exactly as the journal's records hold it at its old size (later commits
// changed it).
bool OlderThanDatabase(int journalFd, const TJournalHeader& h, int dbFd, uint64_t dbSize) {
    uint8_t stamp[ZanStampSize];
    if (ReadExact(dbFd, stamp, sizeof stamp, ZanStampAddress) && Get32(stamp) == h.Nonce)
        return false;
    if (dbSize != h.OldSize) return true;
    TRecordScanner scan(journalFd, h.JournalLength);
    std::vector<uint8_t> stored;
    for (uint32_t i = 0; i < h.RecordCount; ++i) {
        const uint8_t* record = scan.Peek(8);
        if (!record) return false; // read as hot a moment ago: judged again under the lock
        const uint32_t length = Get32(record + 4);
        record = scan.Peek(length + ZanJournalRecordOverhead);
        if (!record) return false;
        stored.resize(length);
        // The stamp's own record is no change of the database (a stamp cut while it was
        // written holds neither value).
        const bool stamp = Get32(record) == ZanStampAddress && length == ZanStampSize;
        if (!stamp && (!ReadExact(dbFd, stored.data(), length, Get32(record)) ||
                       std::memcmp(stored.data(), record + 8, length) != 0))
            return true;
        scan.Skip(length + ZanJournalRecordOverhead);
    }
    return false;
}

// The checks of the header fields beyond the checksum.
bool HeaderFieldsPossible(const TJournalHeader& h, std::string& reason) {
    if (h.Version != ZanJournalVersion) {
        reason = "unknown version " + std::to_string(h.Version);
        return false;
    }
    if (!IsPowerOfTwo(h.PageSize) || h.PageSize < C_MIN_PAGE || h.PageSize > C_MAX_PAGE) {
        reason = "impossible page size " + std::to_string(h.PageSize);
        return false;
    }
    if (h.JournalLength < ZanJournalHeaderSize ||
        (h.JournalLength - ZanJournalHeaderSize) / (ZanJournalRecordOverhead + 1) <
            h.RecordCount) {
        reason = "journal length and record count do not agree";
        return false;
    }
    // A database file never shrinks below its five reserved pages and first map page, so no
    // commit can have started from a smaller one.
    if (h.OldSize % h.PageSize != 0 || h.OldSize < 6 * uint64_t(h.PageSize) ||
        h.OldSize > ZanMaxFileEnd) {
        reason = "impossible old size " + std::to_string(h.OldSize);
        return false;
    }
    return true;
}

uint64_t GCrashPointCount = 0;
uint64_t GCrashPointArmed = 0; // the count at which to die; 0 = off
bool GCrashTorn = false;
std::function<void(int)> GSyncObserver;

bool CrashPointHit() {
    ++GCrashPointCount;
    return GCrashPointArmed != 0 && GCrashPointCount == GCrashPointArmed;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Crash points

void ZanArmCrashPoint(uint64_t n, bool torn) {
    GCrashPointArmed = n == 0 ? 0 : GCrashPointCount + n;
    GCrashTorn = torn;
}

void ZanSetSyncObserver(std::function<void(int fd)> observer) {
    GSyncObserver = std::move(observer);
}

void ZanSynced(int fd) {
    if (GSyncObserver) GSyncObserver(fd);
}

uint64_t ZanCrashPointCount() {
    return GCrashPointCount;
}

void ZanCrashNow() {
    kill(getpid(), SIGKILL);
    for (;;)
        pause();
}

void ZanCrashPoint(TZanCrashSite) {
    if (CrashPointHit()) ZanCrashNow();
}

size_t ZanCrashWritePoint(size_t count, bool& killAfter) {
    killAfter = false;
    if (!CrashPointHit()) return count;
    if (!GCrashTorn || count < 2) ZanCrashNow();
    killAfter = true;
    return count / 2;
}

bool ZanPWriteAll(int fd, const void* buffer, size_t count, uint64_t offset) {
    bool killAfter = false;
    const size_t todo = ZanCrashWritePoint(count, killAfter);
    const auto* p = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < todo) {
        ssize_t n = pwrite(fd, p + done, todo - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (killAfter) ZanCrashNow();
    return true;
}

bool ZanPWriteAllV(int fd, iovec* iov, int count, uint64_t offset) {
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += iov[i].iov_len;
    bool killAfter = false;
    size_t todo = ZanCrashWritePoint(total, killAfter);
    // A torn write stops after todo bytes.
    if (todo < total) {
        size_t keep = todo;
        int n = 0;
        while (n < count && keep > iov[n].iov_len) {
            keep -= iov[n].iov_len;
            ++n;
        }
        if (n < count) {
            iov[n].iov_len = keep;
            count = n + 1;
        }
    }
    iovec* at = iov;
    while (todo > 0) {
        ssize_t n = pwritev(fd, at, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        todo -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
        // Skip what was written.
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= at->iov_len) {
            done -= at->iov_len;
            ++at;
            --count;
        }
        if (count > 0) {
            at->iov_base = static_cast<uint8_t*>(at->iov_base) + done;
            at->iov_len -= done;
        }
    }
    if (killAfter) ZanCrashNow();
    return true;
}

bool ZanPWriteAll2(int fd, const void* first, size_t firstCount, const void* second,
                   size_t secondCount, uint64_t offset) {
    iovec iov[2] = {{const_cast<void*>(first), firstCount},
                    {const_cast<void*>(second), secondCount}};
    return ZanPWriteAllV(fd, iov, 2, offset);
}

// ---------------------------------------------------------------------------------------------
// Names, header

std::string JournalFileNameFor(const std::string& databaseFileName) {
    return databaseFileName + "-journal";
}

void ZanGiveOwner(int fd, uid_t uid, gid_t gid) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || (st.st_uid == uid && st.st_gid == gid)) return;
    if (fchown(fd, uid, gid) == 0 || st.st_gid == gid) return;
    if (fchown(fd, static_cast<uid_t>(-1), gid) != 0) {
        // Neither may be given: the file keeps its owner and group.
    }
}

uint32_t FixedRegionsCRC(const uint8_t* image) {
    uint32_t crc = 0;
    for (const auto& r : C_FIXED_REGIONS)
        crc = CRCUpdate(crc, image + r.Offset, static_cast<int32_t>(r.Size));
    return crc;
}

void TJournalHeader::Encode(uint8_t* out) const {
    std::memset(out, 0, ZanJournalHeaderSize);
    std::memcpy(out, ZanJournalMagic, sizeof ZanJournalMagic);
    Put32(out + 8, Version);
    Put32(out + 12, PageSize);
    Put32(out + 16, Nonce);
    Put32(out + 20, RecordCount);
    Put64(out + 24, JournalLength);
    Put64(out + 32, OldSize);
    Put32(out + 40, (Truncate ? C_FLAG_TRUNCATE : 0) | (Stamped ? C_FLAG_STAMPED : 0));
    Put32(out + 44, FixedCRCBefore);
    Put32(out + 48, FixedCRCAfter);
    for (size_t i = LockIds._Find_first(); i < ZanJournalLockIds; i = LockIds._Find_next(i))
        out[64 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    Put32(out + 508, CalcCRC(out, 508));
}

bool TJournalHeader::Decode(const uint8_t* in) {
    if (CalcCRC(in, 508) != Get32(in + 508)) return false;
    Version = Get32(in + 8);
    PageSize = Get32(in + 12);
    Nonce = Get32(in + 16);
    RecordCount = Get32(in + 20);
    JournalLength = Get64(in + 24);
    OldSize = Get64(in + 32);
    const uint32_t flags = Get32(in + 40);
    // An unknown flag bit makes the version's layout unknown too.
    if (flags & ~(C_FLAG_TRUNCATE | C_FLAG_STAMPED)) Version = 0;
    Truncate = (flags & C_FLAG_TRUNCATE) != 0;
    Stamped = (flags & C_FLAG_STAMPED) != 0;
    FixedCRCBefore = Get32(in + 44);
    FixedCRCAfter = Get32(in + 48);
    LockIds.reset();
    for (uint32_t byte = 0; byte < ZanJournalLockIds / 8; ++byte)
        if (const uint8_t bits = in[64 + byte])
            for (uint32_t bit = 0; bit < 8; ++bit)
                if (bits & (1u << bit)) LockIds.set(byte * 8 + bit);
    return true;
}

const char* JournalStateName(TJournalState state) {
    switch (state) {
    case jsAbsent: return "absent";
    case jsEmpty: return "empty";
    case jsTorn: return "torn";
    case jsHot: return "hot";
    case jsDamaged: return "damaged";
    case jsForeign: return "foreign";
    case jsOtherDatabase: return "another database's";
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------
// Inspection and recovery

TJournalCheck InspectJournal(const std::string& journalPath, const std::string& databasePath) {
    TJournalCheck check;
    TFileFacts st;
    if (!FileFactsAt(AT_FDCWD, journalPath.c_str(), AT_SYMLINK_NOFOLLOW, st)) {
        check.State = errno == ENOENT ? jsAbsent : jsForeign;
        if (check.State == jsForeign) check.Reason = "cannot be examined";
        return check;
    }
    if (!S_ISREG(st.Mode)) {
        check.State = jsForeign;
        check.Reason = "not a regular file";
        return check;
    }
    if (st.Size == 0) {
        check.State = jsEmpty; // the common case: a journal kept between commits
        return check;
    }
    TFd fd(open(journalPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.Fd < 0 || !FileFactsAt(fd.Fd, "", AT_EMPTY_PATH, st) || !S_ISREG(st.Mode)) {
        check.State = fd.Fd < 0 && errno == ENOENT ? jsAbsent : jsForeign;
        check.Reason = "cannot be opened";
        return check;
    }
    const uint64_t size = st.Size;
    if (size == 0) {
        check.State = jsEmpty;
        return check;
    }
    uint8_t head[ZanJournalHeaderSize] = {};
    const size_t got = static_cast<size_t>(std::min<uint64_t>(size, ZanJournalHeaderSize));
    if (!ReadExact(fd.Fd, head, got, 0)) {
        check.State = jsForeign;
        check.Reason = "cannot be read";
        return check;
    }
    // Our magic (or as much of it as the file holds), or zeros where the header is still to
    // come; anything else is not ours.
    const size_t magicBytes = std::min(got, sizeof ZanJournalMagic);
    const bool ours = std::memcmp(head, ZanJournalMagic, magicBytes) == 0;
    const bool zero = std::all_of(head, head + magicBytes, [](uint8_t b) { return b == 0; });
    if (!ours && !zero) {
        check.State = jsForeign;
        check.Reason = "other magic";
        return check;
    }
    check.State = jsTorn;
    if (zero) {
        if (got == ZanJournalHeaderSize &&
            std::all_of(head, head + got, [](uint8_t b) { return b == 0; })) {
            // The kept journal after its commit point: its header zeroed, its old records left
            // for the next commit to overwrite.
            check.State = jsEmpty;
            return check;
        }
        check.Reason = "header not written";
        return check;
    }
    if (got < ZanJournalHeaderSize) {
        check.Reason = "header cut";
        return check;
    }
    if (!check.Header.Decode(head)) {
        check.Reason = "header checksum fails";
        // A header cut while it was written leaves the database untouched. Its fields as
        // they read (records that hold their checksums under its nonce are this journal's)
        // may still show the database written since: the header was damaged afterwards.
        uint8_t asRead[ZanJournalHeaderSize];
        std::memcpy(asRead, head, sizeof asRead);
        Put32(asRead + 508, CalcCRC(asRead, 508));
        TJournalHeader fields;
        std::string ignored;
        if (!databasePath.empty() && fields.Decode(asRead) &&
            HeaderFieldsPossible(fields, ignored) &&
            DatabaseWrittenSince(fd.Fd, std::min(size, fields.JournalLength), fields,
                                 databasePath)) {
            check.Header = fields;
            check.State = jsDamaged;
            check.Reason += ", and the database was written after the journal";
        }
        return check;
    }
    const TJournalHeader& h = check.Header;
    if (!HeaderFieldsPossible(h, check.Reason)) {
        check.State = jsDamaged;
        return check;
    }
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> fixedRecords;
    if (size < h.JournalLength)
        check.Reason = "records cut";
    else
        check.State = ScanRecords(fd.Fd, h, check.Reason,
                                  [&](uint32_t address, const uint8_t* bytes, uint32_t length) {
                                      if (address < ZanFixedRegionsEnd)
                                          fixedRecords.emplace_back(
                                              address,
                                              std::vector<uint8_t>(bytes, bytes + length));
                                  });
    // A torn journal is removed, which must not leave a commit half written in the database.
    if (check.State == jsTorn && !databasePath.empty() &&
        DatabaseWrittenSince(fd.Fd, std::min(size, h.JournalLength), h, databasePath)) {
        check.State = jsDamaged;
        check.Reason += ", and the database was written after the journal";
    }
    if (check.State != jsHot || databasePath.empty()) return check;

    // Against the database file.
    TFd db(open(databasePath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat dbst {};
    if (db.Fd < 0 || fstat(db.Fd, &dbst) != 0)
        ZanDatabaseError(8449, "TZanJournal.Inspect",
                         "Unable to open file. Error type of: " + SysErrorMessage(errno));
    if (h.OldSize > static_cast<uint64_t>(dbst.st_size)) {
        check.State = jsDamaged;
        check.Reason = "old size beyond the database file";
        return check;
    }
    uint8_t image[ZanFixedRegionsEnd] = {};
    for (uint64_t at = 0; at < ZanFixedRegionsEnd;) {
        ssize_t n = pread(db.Fd, image + at, ZanFixedRegionsEnd - at, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // a short file reads as zeros beyond its end
        at += static_cast<uint64_t>(n);
    }
    if (FixedRegionsCRC(image) != h.FixedCRCAfter) {
        for (const auto& [address, bytes] : fixedRecords) {
            const size_t n = std::min<size_t>(bytes.size(), ZanFixedRegionsEnd - address);
            std::memcpy(image + address, bytes.data(), n);
        }
        if (FixedRegionsCRC(image) != h.FixedCRCBefore) {
            check.State = jsOtherDatabase;
            check.Reason = "the fixed regions match neither checksum";
            return check;
        }
    }
    if (h.Stamped && OlderThanDatabase(fd.Fd, h, db.Fd, static_cast<uint64_t>(dbst.st_size))) {
        check.State = jsDamaged;
        check.Reason = "it is older than the database's last commit";
    }
    return check;
}

void ForEachJournalRecord(const std::string& journalPath,
                          const std::function<void(uint32_t, const uint8_t*, uint32_t)>& action) {
    TFd fd(open(journalPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    uint8_t head[ZanJournalHeaderSize];
    TJournalHeader h;
    std::string reason;
    if (fd.Fd < 0 || !ReadExact(fd.Fd, head, sizeof head, 0) || !h.Decode(head) ||
        !HeaderFieldsPossible(h, reason) || ScanRecords(fd.Fd, h, reason, action) != jsHot)
        ZanDatabaseError(8962, "TZanJournal.ForEachRecord",
                         "The journal " + journalPath + " changed while it was read " + reason);
}

namespace {
// Removes a journal that is done with. Where the folder forbids that (another user's file in a
// folder with the sticky bit, a folder the process may not write) the file is emptied in place
// instead: an empty file holds no journal, and the next commit reuses it. Answers errno or 0.
int RemoveJournal(const std::string& journalPath, bool sync) {
    ZanCrashPoint(csUnlink);
    if (unlink(journalPath.c_str()) == 0 || errno == ENOENT) return 0;
    const int error = errno;
    if (error != EACCES && error != EPERM) return error;
    TFd fd(open(journalPath.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.Fd < 0 || fstat(fd.Fd, &st) != 0 || !S_ISREG(st.st_mode)) return error;
    ZanCrashPoint(csTruncate);
    if (ftruncate(fd.Fd, 0) != 0) return error;
    if (sync) {
        ZanCrashPoint(csSync);
        if (fdatasync(fd.Fd) != 0) return errno;
        ZanSynced(fd.Fd);
    }
    return 0;
}
} // namespace

TJournalState RecoverJournal(const std::string& journalPath, const std::string& databasePath,
                             bool sync) {
    const TJournalCheck check = InspectJournal(journalPath, databasePath);
    switch (check.State) {
    case jsAbsent:
    case jsEmpty:
    case jsForeign:
        return check.State;
    case jsDamaged:
        ZanDatabaseError(8962, "TZanJournal.Recover",
                         "The journal " + journalPath + " is damaged: " + check.Reason);
    case jsOtherDatabase:
        ZanDatabaseError(8449, "TZanJournal.Recover",
                         "The journal " + journalPath + " belongs to another database: " +
                             check.Reason);
    case jsTorn:
        GDBLogger().LogItem("TZanJournal", "Removing torn journal: " + check.Reason);
        if (const int error = RemoveJournal(journalPath, sync))
            ZanDatabaseError(9217, "TZanJournal.Recover",
                             "The journal could not be removed. " + SysErrorMessage(error));
        return jsTorn;
    case jsHot:
        break;
    }
    GDBLogger().LogItem("TZanJournal", "Recovering from hot journal " + journalPath);
    TFd db(open(databasePath.c_str(), O_RDWR | O_CLOEXEC));
    if (db.Fd < 0)
        ZanDatabaseError(8449, "TZanJournal.Recover",
                         "A hot journal needs the database file written back, but it cannot be "
                         "opened for writing. " +
                             SysErrorMessage(errno));
    auto writeBack = [&](uint32_t address, const uint8_t* bytes, uint32_t length) {
        if (!ZanPWriteAll(db.Fd, bytes, length, address))
            ZanDatabaseError(9218, "TZanJournal.Recover",
                             "Unable to complete file write operation. " + SysErrorMessage(errno));
    };
    // The commit stamp goes back last, after the cut: until then the file keeps the journal's
    // nonce, so a recovery killed half way is still this journal's to repeat, not one that
    // reads as older than the file.
    const TJournalHeader& h = check.Header;
    std::vector<uint8_t> stamp;
    ForEachJournalRecord(journalPath, [&](uint32_t address, const uint8_t* bytes,
                                          uint32_t length) {
        if (h.Stamped && address == ZanStampAddress && length == ZanStampSize)
            stamp.assign(bytes, bytes + length);
        else
            writeBack(address, bytes, length);
    });
    if (h.Truncate) {
        ZanCrashPoint(csTruncate);
        if (ftruncate(db.Fd, static_cast<off_t>(h.OldSize)) != 0)
            ZanDatabaseError(9218, "TZanJournal.Recover",
                             "The database file could not be cut to its old size. " +
                                 SysErrorMessage(errno));
    }
    if (!stamp.empty()) writeBack(ZanStampAddress, stamp.data(), ZanStampSize);
    if (sync) {
        ZanCrashPoint(csSync);
        if (fdatasync(db.Fd) != 0)
            ZanDatabaseError(8450, "TZanJournal.Recover",
                             "The file buffers could not be flushed. " + SysErrorMessage(errno));
        ZanSynced(db.Fd);
    }
    if (const int error = RemoveJournal(journalPath, sync))
        ZanDatabaseError(9217, "TZanJournal.Recover",
                         "The journal could not be removed. " + SysErrorMessage(error));
    return jsHot;
}

// ---------------------------------------------------------------------------------------------
// Writing

TJournalWriter::~TJournalWriter() {
    // Removing needs the commit lock, which only the owner knows about: leave the file.
    Abandon();
}

void TJournalWriter::Fail(const std::string& what, int error) {
    const std::string text = what + " " + FPath + ". " + SysErrorMessage(error);
    Discard();
    ZanDatabaseError(9218, "TJournalWriter", text);
}

bool TJournalWriter::StillLinked() const {
    TFileFacts open, named;
    if (FHandle < 0 || !FileFactsAt(FHandle, "", AT_EMPTY_PATH, open) || open.Links == 0)
        return false;
    if (!FileFactsAt(AT_FDCWD, FPath.c_str(), AT_SYMLINK_NOFOLLOW, named)) return false;
    return S_ISREG(named.Mode) && open.Dev == named.Dev && open.Ino == named.Ino;
}

bool TJournalWriter::KeptFacts(TFileFacts& facts) const {
    // An open handle outside a commit is the journal Invalidate(true) emptied and kept. It is
    // ours while the file at the path is the same inode: a link count alone would take a file
    // renamed or linked away by hand for it, and a journal written there is not where a
    // restorer looks.
    return FHandle >= 0 && !FActive &&
           FileFactsAt(AT_FDCWD, FPath.c_str(), AT_SYMLINK_NOFOLLOW, facts) &&
           S_ISREG(facts.Mode) && facts.Dev == FDev && facts.Ino == FIno;
}

bool TJournalWriter::KeptIdle() const {
    TFileFacts kept;
    // Another committer may have written into it since: it must hold no journal now.
    return KeptFacts(kept) && HeaderIsZero(FHandle, kept.Size);
}

bool TJournalWriter::KeptReady(bool known) {
    FVerified = false;
    FSizeUnseen = false;
    if (FHandle < 0 || FActive) return false;
    if (!known) {
        TFileFacts kept;
        if (!KeptFacts(kept) || !KeptHeaderIsZero(kept)) return false;
    } else if (FMap) {
        // Not looked at: the size is asked before the mapping is used (a file cut by hand
        // since would leave mapped pages past its end).
        FMappedValid = 0;
        FSizeUnseen = true;
    }
    FVerified = true;
    return true;
}

uint64_t TJournalWriter::MappableLength(uint64_t size, uint64_t blocks) const {
    // Only bytes the file holds blocks for: a store into a hole needs a block, and one the
    // file system cannot give (full) is SIGBUS, where a write fails with an error. A file
    // with fewer blocks than its size (made sparse by hand) is written through the descriptor.
    if (!FMap || blocks * 512 < size) return 0;
    return std::min(size, C_MAP_LENGTH);
}

bool TJournalWriter::KeptHeaderIsZero(const TFileFacts& facts) {
    // Seen under the commit lock: the file keeps this size until the lock is released.
    const uint64_t size = facts.Size;
    FMappedValid = MappableLength(size, facts.Blocks);
    if (size == 0) return true;
    if (!MappedUpTo(ZanJournalHeaderSize)) return HeaderIsZero(FHandle, size);
    static const uint8_t zero[ZanJournalHeaderSize] = {};
    return std::memcmp(FMap, zero, ZanJournalHeaderSize) == 0;
}

void TJournalWriter::MapKept() noexcept {
    if (FSync || FMap || FHandle < 0) return;
    void* map = mmap(nullptr, C_MAP_LENGTH, PROT_READ | PROT_WRITE, MAP_SHARED, FHandle, 0);
    // A file system that cannot map the file is written through the descriptor.
    if (map != MAP_FAILED) FMap = static_cast<uint8_t*>(map);
    FMappedValid = 0;
}

void TJournalWriter::CloseHandle() noexcept {
    if (FMap) munmap(FMap, C_MAP_LENGTH);
    FMap = nullptr;
    FMappedValid = 0;
    if (FHandle >= 0) close(FHandle);
    FHandle = -1;
}

void TJournalWriter::Begin(const std::string& path, uint32_t pageSize, mode_t mode,
                           uint64_t oldSize, bool sync, int ownerFd) {
    ZanAssert(!FActive, "Journal already active");
    const bool verified = FVerified && FPath == path;
    FVerified = false;
    if (verified && FSizeUnseen && !sync) {
        TFileFacts st;
        FMappedValid = FileFactsAt(FHandle, "", AT_EMPTY_PATH, st)
                           ? MappableLength(st.Size, st.Blocks)
                           : 0;
    }
    FSizeUnseen = false;
    if (FHandle >= 0 && !verified && (FPath != path || !StillLinked())) {
        // Another connection removed or replaced the kept file: start afresh.
        CloseHandle();
    }
    FPath = path;
    FSync = sync;
    FCreated = false;
    if (FHandle >= 0 && !verified) {
        TFileFacts st;
        if (!FileFactsAt(FHandle, "", AT_EMPTY_PATH, st) || !KeptHeaderIsZero(st)) {
            // Our kept journal must hold no journal here; never write over one that does.
            CloseHandle();
            ZanDatabaseError(9217, "TJournalWriter.Begin",
                             "The journal " + path + " is not empty before a commit");
        }
    } else if (FHandle < 0) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      mode & 0666);
        if (fd >= 0) {
            FCreated = true;
            // The database's owner and permission bits, whatever the user and umask.
            struct stat owner {};
            if (ownerFd >= 0 && fstat(ownerFd, &owner) == 0)
                ZanGiveOwner(fd, owner.st_uid, owner.st_gid);
            if (fchmod(fd, mode & 0666) != 0) {
                const int e = errno;
                close(fd);
                unlink(path.c_str());
                ZanDatabaseError(9218, "TJournalWriter.Begin",
                                 "The journal " + path + " could not be created. " +
                                     SysErrorMessage(e));
            }
        } else if (errno == EEXIST) {
            // An empty regular file left by an earlier commit may be reused; anything else
            // is not ours to write.
            fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat st {};
            if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                !HeaderIsZero(fd, static_cast<uint64_t>(st.st_size))) {
                if (fd >= 0) close(fd);
                ZanDatabaseError(9217, "TJournalWriter.Begin",
                                 "The journal path " + path + " holds something else");
            }
        } else {
            ZanDatabaseError(9218, "TJournalWriter.Begin",
                             "The journal " + path + " could not be created. " +
                                 SysErrorMessage(errno));
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            const int e = errno;
            close(fd);
            if (FCreated) unlink(path.c_str());
            ZanDatabaseError(9217, "TJournalWriter.Begin",
                             "The journal " + path + " could not be examined. " +
                                 SysErrorMessage(e));
        }
        FDev = st.st_dev;
        FIno = st.st_ino;
        FHandle = fd;
        MapKept();
        FMappedValid = MappableLength(static_cast<uint64_t>(st.st_size),
                                      static_cast<uint64_t>(st.st_blocks));
    }
    if (sync) {
        // Synced commits write through the descriptor only.
        FMappedValid = 0;
    } else if (!FMap) {
        MapKept();
        // Not seen under this lock yet: used once this commit has written it.
    }
    FHeader = TJournalHeader();
    FHeader.PageSize = pageSize;
    FHeader.OldSize = oldSize;
    FHeader.Nonce = (static_cast<uint32_t>(Random(0x10000)) << 16) |
                    static_cast<uint32_t>(Random(0x10000));
    FWritten = ZanJournalHeaderSize;
    DropPieces();
    FActive = true;
}

uint8_t* TJournalWriter::AppendOwned(size_t n) {
    if (FBufferUsed + n > FBuffer.size()) FBuffer.resize(std::max(FBufferUsed + n, 2 * FBuffer.size()));
    const size_t at = FBufferUsed;
    FBufferUsed += n;
    if (!FPieces.empty() && FPieces.back().Bytes == nullptr &&
        FPieces.back().Offset + FPieces.back().Length == at)
        FPieces.back().Length += n;
    else
        FPieces.push_back({nullptr, at, n});
    FPending += n;
    return FBuffer.data() + at;
}

void TJournalWriter::AddRecord(uint32_t address, const uint8_t* bytes, uint32_t length,
                               bool copy) {
    // The nonce, then the record's address and length, then its bytes.
    uint8_t nonceAndHead[12];
    Put32(nonceAndHead, FHeader.Nonce);
    Put32(nonceAndHead + 4, address);
    Put32(nonceAndHead + 8, length);
    const uint32_t crc =
        CRCUpdate(CRCUpdate(0, nonceAndHead, 12), bytes, static_cast<int32_t>(length));
    std::memcpy(AppendOwned(8), nonceAndHead + 4, 8);
    if (copy) {
        std::memcpy(AppendOwned(length), bytes, length);
    } else {
        FPieces.push_back({bytes, 0, length});
        FPending += length;
    }
    Put32(AppendOwned(4), crc);
    ++FHeader.RecordCount;
    FHeader.JournalLength += ZanJournalRecordOverhead + length;
    if (FPending >= C_FLUSH_SIZE) FlushRecords();
}

void TJournalWriter::AddStretchPieces(uint32_t address, const uint8_t* p, uint32_t length,
                                      bool copy) {
    ZanAssert(FActive, "Journal not active");
    const uint32_t page = FHeader.PageSize;
    while (length > 0) {
        const uint32_t n = std::min(length, page - address % page);
        AddRecord(address, p, n, copy);
        address += n;
        p += n;
        length -= n;
    }
}

void TJournalWriter::AddStretch(uint32_t address, const void* bytes, uint32_t length) {
    AddStretchPieces(address, static_cast<const uint8_t*>(bytes), length, true);
}

void TJournalWriter::AddStretchInPlace(uint32_t address, const void* bytes, uint32_t length) {
    AddStretchPieces(address, static_cast<const uint8_t*>(bytes), length, false);
}

void TJournalWriter::PiecesToIov(size_t first, size_t count, std::vector<iovec>& iov) const {
    for (size_t i = first; i < first + count; ++i) {
        const TPiece& piece = FPieces[i];
        const uint8_t* bytes = piece.Bytes ? piece.Bytes : FBuffer.data() + piece.Offset;
        iov.push_back({const_cast<uint8_t*>(bytes), piece.Length});
    }
}

void TJournalWriter::FlushRecords() {
    std::vector<iovec> iov;
    for (size_t first = 0; first < FPieces.size();) {
        const size_t count = std::min<size_t>(FPieces.size() - first, IOV_MAX);
        iov.clear();
        PiecesToIov(first, count, iov);
        size_t bytes = 0;
        for (const iovec& v : iov)
            bytes += v.iov_len;
        if (!ZanPWriteAllV(FHandle, iov.data(), static_cast<int>(iov.size()), FWritten))
            Fail("Unable to write the journal", errno);
        FWritten += bytes;
        first += count;
    }
    NoteWritten();
    DropPieces();
}

void TJournalWriter::DropPieces() noexcept {
    FPieces.clear();
    FPending = 0;
    FBufferUsed = 0;
}

void TJournalWriter::NoteWritten() {
    // The file now reaches at least the end of what was written.
    if (FMap) FMappedValid = std::max(FMappedValid, std::min(FWritten, C_MAP_LENGTH));
}

bool TJournalWriter::FinishMapped(const uint8_t* head) {
    const size_t total = ZanJournalHeaderSize + FPending;
    if (FSync || !MappedUpTo(total)) return false;
    bool killAfter = false;
    const size_t todo = ZanCrashWritePoint(total, killAfter);
    // Copies at most limit bytes of the records after the header.
    auto copyRecords = [this](size_t limit) {
        uint8_t* at = FMap + ZanJournalHeaderSize;
        for (const TPiece& piece : FPieces) {
            const size_t m = std::min(limit, piece.Length);
            std::memcpy(at, piece.Bytes ? piece.Bytes : FBuffer.data() + piece.Offset, m);
            at += m;
            limit -= m;
        }
    };
    if (killAfter) {
        // A write cut short, in file order as a cut write would leave it.
        const size_t n = std::min<size_t>(todo, ZanJournalHeaderSize);
        std::memcpy(FMap, head, n);
        copyRecords(todo - n);
        ZanCrashNow();
    }
    // The records first, the header last: until the header is whole the file holds no
    // journal (its header still zero) or a torn one, never a hot journal with missing records.
    copyRecords(FPending);
    std::memcpy(FMap, head, ZanJournalHeaderSize);
    FWritten += FPending;
    DropPieces();
    return true;
}

void TJournalWriter::Finish(const TJournalHeader& fields) {
    ZanAssert(FActive, "Journal not active");
    // Records that all still wait go out with the header in one write: a write cut short
    // leaves the file shorter than the header's journal length, which reads as torn.
    const bool together = FWritten == ZanJournalHeaderSize && FPieces.size() < IOV_MAX;
    if (!together) FlushRecords();
    TJournalHeader h = fields;
    h.Version = ZanJournalVersion;
    h.PageSize = FHeader.PageSize;
    h.Nonce = FHeader.Nonce;
    h.RecordCount = FHeader.RecordCount;
    h.JournalLength = FHeader.JournalLength;
    h.OldSize = FHeader.OldSize;
    FHeader = h;
    uint8_t head[ZanJournalHeaderSize];
    h.Encode(head);
    if (together && FinishMapped(head)) {
        // Written through the mapping: no sync is asked of such a commit.
    } else if (together) {
        std::vector<iovec> iov;
        iov.reserve(FPieces.size() + 1);
        iov.push_back({head, sizeof head});
        PiecesToIov(0, FPieces.size(), iov);
        if (!ZanPWriteAllV(FHandle, iov.data(), static_cast<int>(iov.size()), 0))
            Fail("Unable to write the journal", errno);
        FWritten += FPending;
        DropPieces();
        NoteWritten();
    } else if (!ZanPWriteAll(FHandle, head, sizeof head, 0)) {
        Fail("Unable to write the journal", errno);
    }
    if (!FSync) return;
    ZanCrashPoint(csSync);
    if (fdatasync(FHandle) != 0) Fail("Unable to sync the journal", errno);
    ZanSynced(FHandle);
    if (FCreated) {
        if (!SyncDirectoryOf(FPath)) Fail("Unable to sync the journal's directory", errno);
        FCreated = false;
    }
}

void TJournalWriter::Invalidate(bool keep) {
    ZanAssert(FActive, "Journal not active");
    int truncateError = 0;
    // The file stays, holding no journal, for the next commit.
    auto kept = [this] {
        if (FSync) {
            ZanCrashPoint(csSync);
            if (fdatasync(FHandle) == 0) ZanSynced(FHandle);
        }
        FActive = false;
        DropPieces();
    };
    if (keep && FHeader.JournalLength <= C_KEEP_LENGTH) {
        // Zeroing the header is enough: the file reads as no journal, and its blocks stay
        // allocated for the next commit, whose records carry a new nonce (stale records past
        // its length or left from this one fail their checksum).
        // One crash point, never half written: a killed process does not cut a write of one
        // sector (cut anyway, the header fails its checksum: torn, never restored).
        static const uint8_t zero[ZanJournalHeaderSize] = {};
        ZanCrashPoint(csWrite);
        if (!FSync && MappedUpTo(sizeof zero)) {
            std::memset(FMap, 0, sizeof zero);
            return kept();
        }
        if (pwrite(FHandle, zero, sizeof zero, 0) == static_cast<ssize_t>(sizeof zero))
            return kept();
        // Not written: cutting the file empties it as well.
    }
    if (keep) {
        ZanCrashPoint(csTruncate);
        if (ftruncate(FHandle, 0) == 0) {
            FMappedValid = 0;
            return kept();
        }
        truncateError = errno; // keeping failed: removing the journal commits as well
    }
    ZanCrashPoint(csUnlink);
    if (unlink(FPath.c_str()) != 0)
        ZanDatabaseError(9217, "TJournalWriter.Invalidate",
                         "The journal " + FPath + (keep ? " could not be emptied. "
                                                        : " could not be removed. ") +
                             SysErrorMessage(truncateError != 0 ? truncateError : errno));
    CloseHandle();
    if (FSync) SyncDirectoryOf(FPath);
    FActive = false;
    DropPieces();
}

void TJournalWriter::Discard() noexcept {
    if (FHandle >= 0) {
        if (StillLinked()) unlink(FPath.c_str());
        CloseHandle();
    }
    FActive = false;
    DropPieces();
    FBuffer.clear();
    FBuffer.shrink_to_fit();
}

void TJournalWriter::Abandon() noexcept {
    CloseHandle();
    FActive = false;
    DropPieces();
}

void TJournalWriter::Close() noexcept {
    if (FHandle < 0) return;
    TFileFacts st;
    if (!FActive && StillLinked() && FileFactsAt(FHandle, "", AT_EMPTY_PATH, st) &&
        HeaderIsZero(FHandle, st.Size))
        unlink(FPath.c_str());
    CloseHandle();
    FActive = false;
    DropPieces();
}

} // namespace zan
