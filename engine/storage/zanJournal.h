// The rollback journal: a side file beside the database file that holds, before a commit changes
// the database, the stored bytes of everything the commit overwrites (ciphered pages exactly as
// on disk: the journal never sees a key or plaintext) and the size the file had. A process that
// dies in the middle of writing in place leaves a complete journal; the next connection writes
// the old bytes back and cuts the file to its old size, so the database shows the state before
// the commit.
//
// File layout (integers little-endian), named after the database file plus "-journal":
//
//   header, 512 bytes
//     0   8  magic "ZANJRNL\n"
//     8   4  version (1)
//     12  4  page size of the database
//     16  4  nonce: a random number drawn per journal, part of every record's checksum
//     20  4  record count
//     24  8  journal length: header plus all records, in bytes
//     32  8  old size: the database file's size before the commit
//     40  4  flags: bit 0 = the commit grows the file, recovery truncates to the old size;
//              bit 1 = the commit stamps the database (below) before writing it in place
//     44  4  CRC-32 of the fixed regions (bytes 0-253, 768-807, 1024-1151) before the commit
//     48  4  CRC-32 of the same regions after the commit
//     64  256  map of 2048 bits: the table lock ids (0 = global header) the writer held for
//              writing; bit i is bit i % 8 of byte i / 8
//     508 4  CRC-32 of bytes 0-507
//   records from offset 512, back to back
//     0   4  address in the database file
//     4   4  length (1 .. page size; the stretch lies within one page)
//     8   n  the bytes as stored
//     8+n 4  CRC-32 of the nonce, address, length and bytes
//
// Records are written first, the header last, so a journal whose header is missing, cut or
// fails its checksum was cut before the database was touched (torn) and may simply be removed.
// A file whose whole header is zeros holds no journal, like an empty file: the commit point of
// a kept journal zeroes its header and leaves the records for the next commit to overwrite.
// A valid header with impossible contents is damage: the journal is kept and the database
// refused until someone looks at it. So is a journal that reads as torn while the database
// already shows the commit's writes (fixed regions as the commit leaves them, or a sound record
// no longer matching the database): it was damaged after the commit began writing in place.
//
// The commit stamp: an unsynced commit writes its journal's nonce into the database at
// ZanStampAddress (4 bytes of page 0 no header uses, its old bytes the journal's first record) once
// the journal is complete and before anything else of the commit reaches the database. A hot
// journal with the stamp flag therefore either finds its nonce there (the database was being
// written) or a database exactly as its records hold it, at its old size (nothing was written
// yet). Anything else is a journal left from an older commit, copied in or put back by hand:
// restoring it would lay old pages over later commits, so it is kept and refused as damaged.
// Synced commits do not stamp: after a power cut the stamp may be lost while pages written
// after it were kept.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>
#include <sys/uio.h>

namespace zan {

struct TFileFacts;

inline constexpr uint32_t ZanJournalHeaderSize = 512;
inline constexpr uint32_t ZanJournalVersion = 1;
inline constexpr char ZanJournalMagic[8] = {'Z', 'A', 'N', 'J', 'R', 'N', 'L', '\n'};
// Bytes of a record around its data: address, length and checksum.
inline constexpr uint32_t ZanJournalRecordOverhead = 12;
// The fixed regions hashed by the header, all below this offset.
inline constexpr uint32_t ZanFixedRegionsEnd = 1152;
// The commit stamp's place in the database file, just after the fixed regions.
inline constexpr uint32_t ZanStampAddress = 1152;
inline constexpr uint32_t ZanStampSize = 4;
// Lock ids a journal can name: the table ids 0..2047.
inline constexpr uint32_t ZanJournalLockIds = 2048;

// The journal's name for a database file.
std::string JournalFileNameFor(const std::string& databaseFileName);

// Gives the file open at fd the owner and group (uid, gid) when it has others: a file the engine
// makes beside a database (journal, users file, backup copy) belongs to the database file's
// owner, so a privileged process using another user's database leaves nothing that user cannot
// open, empty or remove. Without the right to change the owner only the group is given (as a
// member of it may); without that either, the file stays as it is.
void ZanGiveOwner(int fd, uid_t uid, gid_t gid);

// CRC-32 of the three fixed regions of a database image of at least ZanFixedRegionsEnd bytes.
uint32_t FixedRegionsCRC(const uint8_t* image);

// The header fields.
struct TJournalHeader {
    uint32_t Version = ZanJournalVersion;
    uint32_t PageSize = 0;
    uint32_t Nonce = 0;
    uint32_t RecordCount = 0;
    uint64_t JournalLength = ZanJournalHeaderSize;
    uint64_t OldSize = 0;
    bool Truncate = false;
    bool Stamped = false; // the commit writes its nonce at ZanStampAddress first
    uint32_t FixedCRCBefore = 0;
    uint32_t FixedCRCAfter = 0;
    std::bitset<ZanJournalLockIds> LockIds;

    // The 512 header bytes, checksum included.
    void Encode(uint8_t* out) const;
    // Reads the fields; false when the checksum does not match. Nothing else is checked.
    bool Decode(const uint8_t* in);
};

// What lies at a journal path.
enum TJournalState : uint8_t {
    jsAbsent,        // nothing there
    jsEmpty,         // an empty file or one with a zero header: a journal invalidated at its
                     // commit point, not hot; reused by the next commit
    jsTorn,          // cut before its header was complete, or a record fails its checksum,
                     // and the database untouched; removable by the commit-lock holder
    jsHot,           // complete: its records must go back into the database
    jsDamaged,       // a valid header with impossible contents: kept, the database refused
    jsForeign,       // not a journal of this engine (other bytes, link, directory, FIFO):
                     // never touched
    jsOtherDatabase  // complete, but made for another database file: kept, refused
};

const char* JournalStateName(TJournalState state);

// The verdict on a journal path.
struct TJournalCheck {
    TJournalState State = jsAbsent;
    TJournalHeader Header; // valid for jsHot, jsDamaged and jsOtherDatabase
    std::string Reason;    // a short text for the trace log and error messages
};

// Examines the journal at journalPath. With a database path the journal is also checked
// against that file: the old size must not exceed its size (else damaged), and its fixed
// regions must match the journal's "after" CRC, or its "before" CRC once the journal's records
// are laid over them (else another database's journal). Never changes anything on disk.
TJournalCheck InspectJournal(const std::string& journalPath,
                             const std::string& databasePath = {});

// Calls action(address, bytes, length) for every record of a journal that InspectJournal found
// hot, in file order. Raises 8962 when the journal no longer reads as it did.
void ForEachJournalRecord(const std::string& journalPath,
                          const std::function<void(uint32_t, const uint8_t*, uint32_t)>& action);

// Recovery of the journal at journalPath into the database file at databasePath. The caller
// holds the commit lock (no live writer can be at work). Torn: the journal is removed. Hot:
// every record is written back through a read-write handle of its own, the file is truncated
// to the old size when the journal says so, synced when sync is set, and the journal removed.
// Damaged: 8962; another database's: 8449; both leave everything as it is. Absent, empty and
// foreign: nothing happens. Answers the state found. Running it again after a crash inside it
// gives the same result.
TJournalState RecoverJournal(const std::string& journalPath, const std::string& databasePath,
                             bool sync);

// Writes one journal. Kept between commits by its owner: Invalidate(true) zeroes its header in
// place (the commit point) and the next Begin writes into it again. Destroying the writer
// closes the file and leaves it where it is.
class TJournalWriter {
public:
    TJournalWriter() = default;
    ~TJournalWriter();
    TJournalWriter(const TJournalWriter&) = delete;
    TJournalWriter& operator=(const TJournalWriter&) = delete;

    // Starts a journal at path; the caller holds the commit lock. Creates the file (O_EXCL, O_NOFOLLOW, with mode's permission
    // bits) or reuses a regular file there that holds no journal (empty or with a zero header:
    // the writer's own, or one another connection left). Anything else at the path fails with 9217 before a byte is written, as does a file
    // that cannot be created. When sync is set, a newly created journal's directory is synced
    // at Finish. The old size is the database file's size now.
    // A journal it creates gets the owner and group of the file open at ownerFd, when given
    // (ZanGiveOwner).
    void Begin(const std::string& path, uint32_t pageSize, mode_t mode, uint64_t oldSize,
               bool sync, int ownerFd = -1);
    // Adds the stored bytes of [address, address + length); a stretch that crosses pages
    // becomes one record per page. Records are buffered and written in 1 MiB pieces.
    void AddStretch(uint32_t address, const void* bytes, uint32_t length);
    // The same without a copy: the bytes stay where they are, unchanged, until Finish or
    // Discard, and are written from there.
    void AddStretchInPlace(uint32_t address, const void* bytes, uint32_t length);
    // Writes the remaining records, then the header with the given fields (page size, nonce,
    // count, length and old size are the writer's own), then syncs the journal (and a new
    // journal's directory) when sync was asked. After this the journal is hot.
    void Finish(const TJournalHeader& fields);
    // The commit point: with keep the file's header is zeroed (a journal over 64 KiB is cut to
    // zero length instead) and it stays open for the next commit; otherwise it is removed and
    // closed. Synced when sync was asked.
    void Invalidate(bool keep);
    // Drops a journal that failed to be written: removes the file (when it is still the one at
    // the path) and closes it. Never raises.
    void Discard() noexcept;
    // Closes the file and leaves it as it is (a hot journal that could not be restored stays
    // for the next connection). Never raises.
    void Abandon() noexcept;
    // Removes and closes a kept journal that holds no journal (at close of the database). The caller holds the
    // commit lock, as for Begin: a kept empty journal may be in use by another committer
    // otherwise. Never raises.
    void Close() noexcept;

    // The journal kept from the last commit is still the file at its path and holds no
    // journal (empty or header zero), so the next Begin may write into it without looking
    // again. The caller holds the commit lock. One system call (the header is read through
    // the mapping, or a second call without one); none when known is set (the caller knows no
    // one else can have touched the path, as with an exclusive open).
    bool KeptReady(bool known = false);
    // The file at the path is the kept journal and holds no journal: one or two system calls,
    // and nothing noted for the next Begin (for a look without the commit lock).
    bool KeptIdle() const;

    bool IsActive() const { return FActive; }
    bool IsOpen() const { return FHandle >= 0; }
    uint32_t GetRecordCount() const { return FHeader.RecordCount; }
    uint64_t GetLength() const { return FHeader.JournalLength; }
    // The nonce of the journal begun (the commit stamp it writes).
    uint32_t GetNonce() const { return FHeader.Nonce; }
    const std::string& GetPath() const { return FPath; }

private:
    void AddRecord(uint32_t address, const uint8_t* bytes, uint32_t length, bool copy);
    void AddStretchPieces(uint32_t address, const uint8_t* bytes, uint32_t length, bool copy);
    // Appends n bytes to the buffer as a piece of the records (joined to the last piece when
    // that one ends the buffer); answers where they go.
    uint8_t* AppendOwned(size_t n);
    // The records' pieces as system-call buffers, from piece first on, at most count of them.
    void PiecesToIov(size_t first, size_t count, std::vector<struct iovec>& iov) const;
    void FlushRecords();
    void Fail(const std::string& what, int error);
    bool StillLinked() const;
    // The kept file, outside a commit, still linked (so still the file at the path): its facts.
    bool KeptFacts(TFileFacts& facts) const;
    // Closes the kept file and drops its mapping.
    void CloseHandle() noexcept;
    // Without syncs, the first C_MAP_LENGTH bytes of the kept file are mapped shared, so that
    // a small journal is written, and its header read and zeroed, with no system call. Only
    // under the commit lock, and only below the file's size as last seen under it: no one else
    // may shrink or write the file then, so the mapped bytes are the file's own. Synced commits
    // write through the descriptor, whose writes the sync covers and the power-cut tests see.
    void MapKept() noexcept;
    bool MappedUpTo(uint64_t end) const { return FMap != nullptr && end <= FMappedValid; }
    // The file is empty or its header is zero, seen through the mapping when it covers it.
    bool KeptHeaderIsZero(const TFileFacts& facts);
    // The mapped bytes that may be used in a file of this size and allocation.
    uint64_t MappableLength(uint64_t size, uint64_t blocks) const;
    // Writes the header and the records that wait into the mapping; false when they do not fit.
    bool FinishMapped(const uint8_t* head);
    // Notes that the file reaches at least FWritten (after a write through the descriptor).
    void NoteWritten();
    // Forgets the records buffered (the buffer's storage is kept for the next commit).
    void DropPieces() noexcept;

    int FHandle = -1;
    uint8_t* FMap = nullptr;   // the kept file's first C_MAP_LENGTH bytes, or null
    uint64_t FMappedValid = 0; // mapped bytes within the file's size as last seen locked
    bool FSizeUnseen = false;  // KeptReady(true) did not look: Begin asks for the size
    std::string FPath;
    bool FActive = false;   // between Begin and Invalidate
    bool FSync = false;
    bool FCreated = false;  // the file was created by this Begin: its directory needs a sync
    bool FVerified = false; // KeptReady answered true since the last Begin
    dev_t FDev = 0;         // the open file's identity, to recognise it at its path
    ino_t FIno = 0;
    uint64_t FWritten = ZanJournalHeaderSize; // file offset of the next flush
    TJournalHeader FHeader;
    // Records not written yet: pieces in order, either bytes of FBuffer (Bytes null, at
    // Offset) or the caller's bytes left in place.
    struct TPiece {
        const uint8_t* Bytes;
        size_t Offset;
        size_t Length;
    };
    std::vector<TPiece> FPieces;
    size_t FPending = 0;       // bytes in the pieces
    std::vector<uint8_t> FBuffer;
    size_t FBufferUsed = 0;    // bytes of FBuffer in use (it is not shrunk between commits)
};

// Fault injection for crash tests. Every write, sync, truncate and unlink of the database file
// and its journal is one crash point, counted in the order they happen. With n > 0 the process
// kills itself (SIGKILL) at the n-th point from now on; with torn, a write at that point first
// writes half of its bytes. 0 turns it off. Nothing arms it outside tests.
enum TZanCrashSite : uint8_t { csWrite, csSync, csTruncate, csUnlink };
void ZanArmCrashPoint(uint64_t n, bool torn = false);
// The number of crash points passed since the process started.
uint64_t ZanCrashPointCount();
// Counts a crash point that is not a write; kills the process when it is the armed one.
void ZanCrashPoint(TZanCrashSite site);
// Counts a write of count bytes as a crash point and answers how many bytes to write. Not
// armed: count. Armed: the process dies here, or with torn, killAfter is set and half of count
// is answered: the caller writes those bytes and then calls ZanCrashNow().
size_t ZanCrashWritePoint(size_t count, bool& killAfter);
[[noreturn]] void ZanCrashNow();

// Sync observation for power-cut tests: after each successful fsync or fdatasync of the
// database file or its journal, the observer (when set) is told the descriptor; what was
// written to it is then on the disk. Nothing sets it outside tests.
void ZanSetSyncObserver(std::function<void(int fd)> observer);
void ZanSynced(int fd);

// pwrite of all bytes with the crash point applied; false with errno set on failure.
bool ZanPWriteAll(int fd, const void* buffer, size_t count, uint64_t offset);
// The same for two buffers written back to back from offset in one call (one crash point).
bool ZanPWriteAll2(int fd, const void* first, size_t firstCount, const void* second,
                   size_t secondCount, uint64_t offset);
// The same for up to IOV_MAX buffers (one crash point; torn: half of all their bytes). The
// buffers' descriptions are used up.
bool ZanPWriteAllV(int fd, struct iovec* iov, int count, uint64_t offset);

} // namespace zan
