// Files of the operating system with the handle semantics the engine was written for: open with
// an access mode and a share mode, positional I/O, and exclusive byte-range locks that belong to
// the handle (not to the process), so two handles of one process conflict like two processes.
//
// Byte-range locks are open-file-description locks: every TWinFile is its own open() (never a
// dup) and carries a registry of the ranges it holds. A range overlapping one of the handle's own
// ranges is refused without a system call; an unlock must name exactly a registered range. Share
// modes are emulated with shared locks on four reserved bytes far beyond any data.
//
// Supported: local filesystems (NFSv4 best effort). A process that forks while holding a handle
// shares the handle's locks with the child until one of them closes it or execs; connected
// fork-without-exec is not supported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/rtl/Exceptions.h"

namespace zan {

// Access mode of an open: the values of the open-flag bits 0-2.
enum TFileAccess : uint8_t { faRead = 0, faWrite = 1, faReadWrite = 2 };

// Share mode of an open: the values of the open-flag bits 4-6. fsExclusive denies both.
enum TFileShare : uint8_t {
    fsExclusive = 0x10,
    fsDenyWrite = 0x20,
    fsDenyRead = 0x30,
    fsDenyNone = 0x40
};

// A failed operating-system call: the errno value and the system's text for it.
class EOSError : public Exception {
public:
    EOSError(int errorCode, const std::string& message)
        : Exception(message), ErrorCode(errorCode) {}
    const char* ClassName() const noexcept override { return "EOSError"; }
    int ErrorCode; // errno
};

// An open refused because another handle, in this or another process, has the file open in a
// conflicting access or share mode. ErrorCode is EBUSY.
class ESharingViolation : public EOSError {
public:
    using EOSError::EOSError;
    const char* ClassName() const noexcept override { return "ESharingViolation"; }
};

// One open file. Not copyable; closing (or destroying) the handle frees its locks.
class TWinFile {
public:
    static constexpr int NoHandle = -1;
    // First of the four reserved bytes that emulate share modes; ranges reaching them are
    // refused by TryLock.
    static constexpr uint64_t ShareLockBase = (uint64_t(1) << 62) - 4;

    TWinFile() = default;
    ~TWinFile();
    TWinFile(const TWinFile&) = delete;
    TWinFile& operator=(const TWinFile&) = delete;

    // Opens an existing file; closes first when open. Raises ESharingViolation when the share
    // mode conflicts with another handle, EOSError for other failures.
    // With regularOnly a symbolic link at the path is not followed and anything but a regular
    // file is refused (EOSError, ELOOP or EINVAL) before the handle is used.
    void Open(const std::string& fileName, TFileAccess access, TFileShare share,
              bool regularOnly = false);
    // Creates the file and opens it read-write. Without truncate an existing file is an error
    // (EOSError, EEXIST); with it an existing file is emptied, but only after the share check
    // passed, so a file that another handle holds exclusively is never touched.
    void Create(const std::string& fileName, TFileShare share, bool truncate = false,
                bool regularOnly = false);
    // Closes the handle (and the lock descriptor); its locks vanish. Nothing when closed.
    void Close() noexcept;

    bool IsOpen() const { return FHandle != NoHandle; }
    int GetHandle() const { return FHandle; }
    const std::string& GetFileName() const { return FFileName; }
    TFileAccess GetAccess() const { return FAccess; }
    TFileShare GetShare() const { return FShare; }

    uint64_t Size() const;
    // Reads up to count bytes at offset; answers the count read, short only at end of file.
    size_t ReadAt(void* buffer, size_t count, uint64_t offset) const;
    // Writes all count bytes at offset; a write that cannot complete raises EOSError.
    void WriteAt(const void* buffer, size_t count, uint64_t offset);
    // Forces written data to the device.
    void Flush();

    // Tries once to lock [offset, offset + length) exclusively. False when the range overlaps a
    // range held through this handle or through any other handle of the file, and on a
    // read-only open of a file this user may not write. Length 0 succeeds and locks nothing.
    // Offsets may lie beyond the end of the file; its size does not change.
    bool TryLock(uint64_t offset, uint64_t length);
    // Unlocks a range exactly equal to one locked through this handle; anything else answers
    // false and changes nothing. Length 0 succeeds and does nothing.
    bool Unlock(uint64_t offset, uint64_t length);
    // Locks every byte of [offset, offset + length) not yet held through this handle, in one
    // system call; each piece newly held is recorded as a range of its own (unlockable alone).
    // False, with nothing changed, when another handle holds a byte of it (as TryLock), or
    // when a range this handle holds crosses an end of the span.
    bool TryLockSpan(uint64_t offset, uint64_t length);
    // The same, with the pieces newly held also divided at the cut points (ascending, inside
    // the span): neighbouring regions locked together in one call stay unlockable one by one.
    // With whole set, every byte of the span must be free in this handle (false otherwise,
    // as TryLock), so each region is recorded whole.
    bool TryLockSpan(uint64_t offset, uint64_t length, std::span<const uint64_t> cuts,
                     bool whole);
    // Unlocks ranges, each exactly equal to one held through this handle (others are
    // skipped), with one system call for every run of ranges that no other range held through
    // this handle lies between: the bytes between them hold no lock of this handle, so
    // unlocking them as well changes nothing.
    void UnlockRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges);
    // Between these two (nestable), Unlock and UnlockRanges only note the ranges, which stay
    // held; the outermost end unlocks all of them as one UnlockRanges, so releases made one
    // after the other (a commit lock, then the table locks) cost one call. A lock asked
    // meanwhile unlocks what is noted first. The end raises when the unlock fails.
    void BeginUnlockBatch() { ++FUnlockBatchDepth; }
    void EndUnlockBatch();
    // Unlocks what the open batch noted so far (before a pause that waits for others).
    void FlushUnlockBatch();
    // Raises EOSError when the filesystem does not support the byte-range locks (or the lock
    // descriptor of a read-only open cannot be had).
    void CheckLockSupport();
    // The number of ranges held through this handle.
    size_t LockCount() const;

    // Lock system calls issued by all handles of the process (for tests and diagnostics).
    static uint64_t LockCallCount();

    // True when this handle's file is still linked and is the file now at path.
    bool IsLinkedAt(const std::string& path) const;
    // Counts the bytes of [offset, offset + length) locked through other handles, by lock
    // queries rather than by trying every byte. False when the system cannot answer.
    bool CountLockedByOthers(uint64_t offset, uint64_t length, uint64_t& count) const;

private:
    void OpenHandle(const std::string& fileName, int flags, TFileAccess access, TFileShare share,
                    bool truncate, bool regularOnly);
    void TakeShareLocks();
    // The descriptor locks go through. Without write permission on the file: NoHandle when
    // not required, else EOSError.
    int LockHandle(bool required = true);

    int FHandle = NoHandle;
    int FLockHandle = NoHandle; // read-write descriptor for locks on a read-only open
    std::string FFileName;
    TFileAccess FAccess = faRead;
    TFileShare FShare = fsDenyNone;
    // UnlockRanges with FLocksGuard held.
    void UnlockRangesLocked(std::vector<std::pair<uint64_t, uint64_t>>& ranges);
    // Unlocks what a batch noted; FLocksGuard held.
    void FlushUnlockBatchLocked();

    mutable std::mutex FLocksGuard;
    std::map<uint64_t, uint64_t> FLocks; // offset -> length of every range held
    int FUnlockBatchDepth = 0;
    std::vector<std::pair<uint64_t, uint64_t>> FUnlockBatch; // noted, still held
    // UnlockRangesLocked's run of held ranges, kept for its capacity; FLocksGuard held.
    std::vector<std::map<uint64_t, uint64_t>::iterator> FUnlockRun;
};

// Gathers the unlocks of a file made in its lifetime into one (TWinFile::BeginUnlockBatch);
// nothing for a null file. Its end never raises: a failed unlock leaves the ranges held
// until the handle closes, as other releases that fail do.
class TUnlockBatch {
public:
    explicit TUnlockBatch(TWinFile* file) : FFile(file) {
        if (FFile) FFile->BeginUnlockBatch();
    }
    ~TUnlockBatch() {
        if (!FFile) return;
        try {
            FFile->EndUnlockBatch();
        } catch (...) {
        }
    }
    // Ends the batch now; raises (EOSError) when the unlock fails.
    void Finish() {
        TWinFile* file = FFile;
        FFile = nullptr;
        if (file) file->EndUnlockBatch();
    }
    TUnlockBatch(const TUnlockBatch&) = delete;
    TUnlockBatch& operator=(const TUnlockBatch&) = delete;

private:
    TWinFile* FFile;
};

// The type, identity, link count, size and allocation of a file, as a status query gives them.
struct TFileFacts {
    uint32_t Mode = 0;
    uint64_t Dev = 0;
    uint64_t Ino = 0;
    uint64_t Links = 0;
    uint64_t Size = 0;
    uint64_t Blocks = 0; // 512-byte units allocated
};
// The facts of the file at path relative to dirfd (fstatat's arguments; an empty path with
// AT_EMPTY_PATH names dirfd itself); false with errno set on failure. The file's times are not
// asked: a query of them makes the kernel give the file's next change a fresh fine-grained
// time, and so an inode update, which a file written right after each query (a database, its
// kept journal) would otherwise pay on every write that follows a look.
bool FileFactsAt(int dirfd, const char* path, int flags, TFileFacts& facts);

// True when the path names an existing file (not a directory).
bool FileExists(const std::string& fileName);
// True when the file may not be written: no write permission bits, no write access for this
// user, or a read-only mount. False for a missing file.
bool IsFileReadOnly(const std::string& fileName);
// Removes the file; false (errno kept) when it does not exist or cannot be removed.
bool DeleteFile(const std::string& fileName);
// Copies source to target byte for byte, keeping the permission bits, and syncs the target.
// With failIfExists an existing target is refused (EOSError, EEXIST); otherwise it is
// truncated. A copy that fails midway removes the partial target. Copying a file onto itself
// is refused (EINVAL).
void CopyFile(const std::string& source, const std::string& target, bool failIfExists);

} // namespace zan
