#include "host/win/WinFiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "host/win/WinSys.h"

namespace zan {

static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");

namespace {

std::atomic<uint64_t> GLockCalls{0};

[[noreturn]] void RaiseOSError(int error, const std::string& what, const std::string& fileName) {
    std::string text = what;
    if (!fileName.empty()) text += " \"" + fileName + "\"";
    text += ": " + SysErrorMessage(error);
    throw EOSError(error, text);
}

// The four reserved bytes of the share-mode emulation.
enum : uint64_t { shAccessRead = 0, shAccessWrite = 1, shDenyRead = 2, shDenyWrite = 3 };

bool HasRead(TFileAccess access) {
    return access != faWrite;
}
bool HasWrite(TFileAccess access) {
    return access != faRead;
}
bool DeniesRead(TFileShare share) {
    return share == fsExclusive || share == fsDenyRead;
}
bool DeniesWrite(TFileShare share) {
    return share == fsExclusive || share == fsDenyWrite;
}

struct flock MakeLock(short type, uint64_t offset, uint64_t length) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = static_cast<off_t>(length);
    lock.l_pid = 0;
    return lock;
}

// One F_OFD_SETLK call, repeated when interrupted. Answers 0 or the errno.
int SetLock(int fd, short type, uint64_t offset, uint64_t length) {
    struct flock lock = MakeLock(type, offset, length);
    for (;;) {
        GLockCalls.fetch_add(1, std::memory_order_relaxed);
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

// True when a lock of another open file description covers a byte of the range; raises on
// failure of the query itself.
bool ForeignLockPresent(int fd, uint64_t offset, uint64_t length, const std::string& fileName) {
    struct flock lock = MakeLock(F_WRLCK, offset, length);
    GLockCalls.fetch_add(1, std::memory_order_relaxed);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0)
        RaiseOSError(errno, "Byte-range locks are not available on", fileName);
    return lock.l_type != F_UNLCK;
}

// Reads do not update the access time where the process may ask so (it owns the file): the
// file changes at every commit, so each read after one would otherwise write the inode.
int OpenRetrying(const char* path, int flags, mode_t mode) {
    for (int extra = O_NOATIME;;) {
        int fd = ::open(path, flags | extra, mode);
        if (fd >= 0) return fd;
        if (errno == EPERM && extra != 0) {
            extra = 0;
        } else if (errno != EINTR) {
            return fd;
        }
    }
}

void CloseFd(int& fd) noexcept {
    if (fd >= 0) ::close(fd); // the descriptor is gone even when close reports an error
    fd = TWinFile::NoHandle;
}

} // namespace

TWinFile::~TWinFile() {
    Close();
}

void TWinFile::Open(const std::string& fileName, TFileAccess access, TFileShare share,
                    bool regularOnly) {
    // A write-only open still reads: the share-mode bytes are held as shared locks, which need a
    // readable descriptor.
    int flags = access == faRead ? O_RDONLY : O_RDWR;
    OpenHandle(fileName, flags, access, share, false, regularOnly);
}

void TWinFile::Create(const std::string& fileName, TFileShare share, bool truncate,
                      bool regularOnly) {
    int flags = O_RDWR | O_CREAT | (truncate ? 0 : O_EXCL);
    OpenHandle(fileName, flags, faReadWrite, share, truncate, regularOnly);
}

void TWinFile::OpenHandle(const std::string& fileName, int flags, TFileAccess access,
                          TFileShare share, bool truncate, bool regularOnly) {
    Close();
    if (share != fsExclusive && share != fsDenyWrite && share != fsDenyRead && share != fsDenyNone)
        RaiseOSError(EINVAL, "Invalid share mode for", fileName);
    if (access != faRead && access != faWrite && access != faReadWrite)
        RaiseOSError(EINVAL, "Invalid access mode for", fileName);
    // O_NONBLOCK keeps a FIFO at the path from blocking the open; it changes nothing for a
    // regular file.
    if (regularOnly) flags |= O_NOFOLLOW | O_NONBLOCK;
    int fd = OpenRetrying(fileName.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) RaiseOSError(errno, "Unable to open", fileName);
    struct stat st {};
    const bool statFailed = fstat(fd, &st) != 0;
    if (statFailed || S_ISDIR(st.st_mode) || (regularOnly && !S_ISREG(st.st_mode))) {
        int error = statFailed ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        RaiseOSError(error, "Unable to open", fileName);
    }
    FHandle = fd;
    FFileName = fileName;
    FAccess = access;
    FShare = share;
    try {
        TakeShareLocks();
        if (truncate && ftruncate(FHandle, 0) != 0)
            RaiseOSError(errno, "Unable to truncate", fileName);
    } catch (...) {
        Close();
        throw;
    }
}

// Takes this handle's share bytes first, then looks for a conflicting handle: two handles that
// open at the same moment see each other, so at worst both are refused, never both admitted.
void TWinFile::TakeShareLocks() {
    std::vector<uint64_t> own, probe;
    if (HasRead(FAccess)) own.push_back(shAccessRead), probe.push_back(shDenyRead);
    if (HasWrite(FAccess)) own.push_back(shAccessWrite), probe.push_back(shDenyWrite);
    if (DeniesRead(FShare)) own.push_back(shDenyRead), probe.push_back(shAccessRead);
    if (DeniesWrite(FShare)) own.push_back(shDenyWrite), probe.push_back(shAccessWrite);
    for (uint64_t b : own) {
        int error = SetLock(FHandle, F_RDLCK, ShareLockBase + b, 1);
        if (error == EAGAIN || error == EACCES)
            throw ESharingViolation(EBUSY,
                                    "The file \"" + FFileName + "\" is in use by another handle");
        if (error != 0) RaiseOSError(error, "Byte-range locks are not available on", FFileName);
    }
    for (uint64_t b : probe)
        if (ForeignLockPresent(FHandle, ShareLockBase + b, 1, FFileName))
            throw ESharingViolation(EBUSY,
                                    "The file \"" + FFileName + "\" is in use by another handle");
}

void TWinFile::Close() noexcept {
    CloseFd(FLockHandle);
    CloseFd(FHandle);
    std::lock_guard guard(FLocksGuard);
    FLocks.clear();
    FUnlockBatch.clear();
}

uint64_t TWinFile::Size() const {
    TFileFacts facts;
    if (!FileFactsAt(FHandle, "", AT_EMPTY_PATH, facts))
        RaiseOSError(errno, "Unable to query the size of", FFileName);
    return facts.Size;
}

bool FileFactsAt(int dirfd, const char* path, int flags, TFileFacts& facts) {
    struct statx sx {};
    if (statx(dirfd, path, flags, STATX_TYPE | STATX_INO | STATX_NLINK | STATX_SIZE | STATX_BLOCKS,
              &sx) == 0) {
        facts.Mode = sx.stx_mode;
        facts.Dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        facts.Ino = sx.stx_ino;
        facts.Links = sx.stx_nlink;
        facts.Size = sx.stx_size;
        facts.Blocks = sx.stx_blocks;
        return true;
    }
    if (errno != ENOSYS) return false;
    // A system without the call answers the full query.
    struct stat st {};
    if (fstatat(dirfd, path, &st, flags) != 0) return false;
    facts.Mode = st.st_mode;
    facts.Dev = st.st_dev;
    facts.Ino = st.st_ino;
    facts.Links = st.st_nlink;
    facts.Size = static_cast<uint64_t>(st.st_size);
    facts.Blocks = static_cast<uint64_t>(st.st_blocks);
    return true;
}

size_t TWinFile::ReadAt(void* buffer, size_t count, uint64_t offset) const {
    if (offset > uint64_t(INT64_MAX) || count > uint64_t(INT64_MAX) - offset)
        RaiseOSError(EINVAL, "Read beyond the addressable range of", FFileName);
    auto* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(FHandle, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            RaiseOSError(errno, "Unable to read", FFileName);
        }
        if (n == 0) break; // end of file
        done += static_cast<size_t>(n);
    }
    return done;
}

void TWinFile::WriteAt(const void* buffer, size_t count, uint64_t offset) {
    if (offset > uint64_t(INT64_MAX) || count > uint64_t(INT64_MAX) - offset)
        RaiseOSError(EINVAL, "Write beyond the addressable range of", FFileName);
    const auto* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = pwrite(FHandle, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            RaiseOSError(errno, "Unable to write", FFileName);
        }
        if (n == 0) RaiseOSError(ENOSPC, "Unable to write", FFileName);
        done += static_cast<size_t>(n);
    }
}

void TWinFile::Flush() {
    if (fdatasync(FHandle) != 0) RaiseOSError(errno, "Unable to flush", FFileName);
}

int TWinFile::LockHandle(bool required) {
    if (FHandle < 0) RaiseOSError(EBADF, "Lock on a closed file", FFileName);
    if (HasWrite(FAccess)) return FHandle;
    if (FLockHandle < 0) {
        // Exclusive locks need a descriptor open for writing; a read-only open gets a second one
        // for its locks, owned and closed with this handle.
        FLockHandle = OpenRetrying(FFileName.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (FLockHandle < 0) {
            const int error = errno;
            FLockHandle = NoHandle;
            if (!required && (error == EACCES || error == EPERM || error == EROFS))
                return NoHandle;
            RaiseOSError(error, "Unable to open for locking", FFileName);
        }
    }
    return FLockHandle;
}

bool TWinFile::TryLock(uint64_t offset, uint64_t length) {
    if (length == 0) return true; // Linux would read length 0 as "to the end and beyond"
    if (offset >= ShareLockBase || length > ShareLockBase - offset)
        RaiseOSError(EINVAL, "Lock range out of bounds on", FFileName);
    std::lock_guard guard(FLocksGuard);
    FlushUnlockBatchLocked();
    auto next = FLocks.lower_bound(offset);
    if (next != FLocks.end() && next->first < offset + length) return false;
    if (next != FLocks.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second > offset) return false;
    }
    // A file this user may not write gives no descriptor to lock through: the lock is not
    // granted, as when another handle holds it.
    const int fd = LockHandle(false);
    if (fd == NoHandle) return false;
    int error = SetLock(fd, F_WRLCK, offset, length);
    if (error == EAGAIN || error == EACCES || error == ENOLCK) return false;
    if (error != 0) RaiseOSError(error, "Unable to lock a range of", FFileName);
    FLocks.emplace(offset, length);
    return true;
}

bool TWinFile::Unlock(uint64_t offset, uint64_t length) {
    if (length == 0) return true;
    std::lock_guard guard(FLocksGuard);
    auto it = FLocks.find(offset);
    // Only an exact range: a partial unlock would split or drop the handle's other locks.
    if (it == FLocks.end() || it->second != length) return false;
    if (FUnlockBatchDepth > 0) {
        // Noted once; unlocked at the batch's end.
        const std::pair<uint64_t, uint64_t> range(offset, length);
        if (std::find(FUnlockBatch.begin(), FUnlockBatch.end(), range) != FUnlockBatch.end())
            return false;
        FUnlockBatch.push_back(range);
        return true;
    }
    int error = SetLock(LockHandle(), F_UNLCK, offset, length);
    if (error != 0) RaiseOSError(error, "Unable to unlock a range of", FFileName);
    FLocks.erase(it);
    return true;
}

bool TWinFile::TryLockSpan(uint64_t offset, uint64_t length) {
    return TryLockSpan(offset, length, {}, false);
}

bool TWinFile::TryLockSpan(uint64_t offset, uint64_t length, std::span<const uint64_t> cuts,
                           bool whole) {
    if (length == 0) return true;
    if (offset >= ShareLockBase || length > ShareLockBase - offset)
        RaiseOSError(EINVAL, "Lock range out of bounds on", FFileName);
    const uint64_t end = offset + length;
    std::lock_guard guard(FLocksGuard);
    FlushUnlockBatchLocked();
    // The pieces of the span between the ranges held inside it.
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    auto it = FLocks.lower_bound(offset);
    if (it != FLocks.begin() && std::prev(it)->first + std::prev(it)->second > offset)
        return false;
    uint64_t at = offset;
    for (; it != FLocks.end() && it->first < end; ++it) {
        if (whole || it->first + it->second > end) return false;
        if (it->first > at) pieces.emplace_back(at, it->first - at);
        at = it->first + it->second;
    }
    if (at < end) pieces.emplace_back(at, end - at);
    if (pieces.empty()) return true;
    if (!cuts.empty()) {
        std::vector<std::pair<uint64_t, uint64_t>> divided;
        divided.reserve(pieces.size() + cuts.size());
        auto cut = cuts.begin();
        for (auto [from, count] : pieces) {
            const uint64_t pieceEnd = from + count;
            while (cut != cuts.end() && *cut <= from)
                ++cut;
            for (; cut != cuts.end() && *cut < pieceEnd; ++cut) {
                divided.emplace_back(from, *cut - from);
                from = *cut;
            }
            divided.emplace_back(from, pieceEnd - from);
        }
        pieces.swap(divided);
    }
    const int fd = LockHandle(false);
    if (fd == NoHandle) return false;
    // The ranges already held belong to this description: locking over them changes nothing.
    int error = SetLock(fd, F_WRLCK, offset, length);
    if (error == EAGAIN || error == EACCES || error == ENOLCK) return false;
    if (error != 0) RaiseOSError(error, "Unable to lock a range of", FFileName);
    for (const auto& [from, count] : pieces)
        FLocks.emplace(from, count);
    return true;
}

void TWinFile::UnlockRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges) {
    std::lock_guard guard(FLocksGuard);
    if (FUnlockBatchDepth > 0) {
        FUnlockBatch.insert(FUnlockBatch.end(), ranges.begin(), ranges.end());
        return;
    }
    UnlockRangesLocked(ranges);
}

void TWinFile::EndUnlockBatch() {
    std::lock_guard guard(FLocksGuard);
    if (FUnlockBatchDepth > 0 && --FUnlockBatchDepth > 0) return;
    FlushUnlockBatchLocked();
}

void TWinFile::FlushUnlockBatch() {
    std::lock_guard guard(FLocksGuard);
    FlushUnlockBatchLocked();
}

void TWinFile::FlushUnlockBatchLocked() {
    if (FUnlockBatch.empty()) return;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    ranges.swap(FUnlockBatch);
    UnlockRangesLocked(ranges);
    // The next batch notes into the same storage.
    ranges.clear();
    if (FUnlockBatch.empty()) FUnlockBatch.swap(ranges);
}

void TWinFile::UnlockRangesLocked(std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
    std::sort(ranges.begin(), ranges.end());
    // A run of held ranges with no other held range between them, forgotten once unlocked.
    std::vector<std::map<uint64_t, uint64_t>::iterator>& run = FUnlockRun;
    run.clear();
    auto flush = [&] {
        if (run.empty()) return;
        const uint64_t start = run.front()->first;
        const uint64_t end = run.back()->first + run.back()->second;
        int error = SetLock(LockHandle(), F_UNLCK, start, end - start);
        if (error != 0) RaiseOSError(error, "Unable to unlock a range of", FFileName);
        for (auto it : run)
            FLocks.erase(it);
        run.clear();
    };
    for (const auto& [offset, length] : ranges) {
        auto it = FLocks.find(offset);
        if (length == 0 || it == FLocks.end() || it->second != length) continue;
        if (!run.empty()) {
            const uint64_t runEnd = run.back()->first + run.back()->second;
            if (offset < runEnd) continue; // named twice
            // A range of this handle in the gap stays held: the run ends before it.
            if (std::next(run.back()) != it) flush();
        }
        run.push_back(it);
    }
    flush();
}

void TWinFile::CheckLockSupport() {
    int fd = LockHandle();
    ForeignLockPresent(fd, 0, 1, FFileName);
}

size_t TWinFile::LockCount() const {
    std::lock_guard guard(FLocksGuard);
    return FLocks.size();
}

uint64_t TWinFile::LockCallCount() {
    return GLockCalls.load(std::memory_order_relaxed);
}

bool FileExists(const std::string& fileName) {
    struct stat st {};
    return stat(fileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsFileReadOnly(const std::string& fileName) {
    struct stat st {};
    if (stat(fileName.c_str(), &st) != 0) return false;
    // The permission bits decide first, so the answer does not depend on running privileged.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    if (access(fileName.c_str(), W_OK) != 0) return errno == EACCES || errno == EROFS;
    struct statvfs vfs {};
    return statvfs(fileName.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0;
}

bool DeleteFile(const std::string& fileName) {
    return unlink(fileName.c_str()) == 0;
}

void CopyFile(const std::string& source, const std::string& target, bool failIfExists) {
    int in = OpenRetrying(source.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (in < 0) RaiseOSError(errno, "Unable to open", source);
    int out = TWinFile::NoHandle;
    bool created = false;
    try {
        struct stat src {};
        if (fstat(in, &src) != 0) RaiseOSError(errno, "Unable to query", source);
        struct stat dst {};
        if (stat(target.c_str(), &dst) == 0) {
            if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)
                RaiseOSError(EINVAL, "Unable to copy a file onto itself:", target);
            if (failIfExists) RaiseOSError(EEXIST, "Unable to copy to", target);
        }
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
        out = OpenRetrying(target.c_str(), flags, src.st_mode & 07777);
        if (out < 0) RaiseOSError(errno, "Unable to create", target);
        created = true;
        if (fchmod(out, src.st_mode & 07777) != 0)
            RaiseOSError(errno, "Unable to set mode", target);
        std::vector<char> buffer(1 << 16);
        for (;;) {
            ssize_t n = read(in, buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                RaiseOSError(errno, "Unable to read", source);
            }
            if (n == 0) break;
            size_t done = 0;
            while (done < static_cast<size_t>(n)) {
                ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n) - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) RaiseOSError(w < 0 ? errno : ENOSPC, "Unable to write", target);
                done += static_cast<size_t>(w);
            }
        }
        if (fsync(out) != 0) RaiseOSError(errno, "Unable to flush", target);
        if (::close(out) != 0) {
            out = TWinFile::NoHandle;
            RaiseOSError(errno, "Unable to close", target);
        }
        out = TWinFile::NoHandle;
        ::close(in);
    } catch (...) {
        CloseFd(out);
        ::close(in);
        if (created) unlink(target.c_str());
        throw;
    }
}

bool TWinFile::IsLinkedAt(const std::string& path) const {
    const int fd = FHandle;
    struct stat open {
    }, named{};
    if (fstat(fd, &open) != 0 || open.st_nlink == 0) return false;
    if (stat(path.c_str(), &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// The query reports one conflicting lock at a time, not necessarily the lowest, so the range is
// split around each one found.
bool TWinFile::CountLockedByOthers(uint64_t offset, uint64_t length, uint64_t& count) const {
    const int fd = FHandle;
    count = 0;
    std::vector<std::pair<uint64_t, uint64_t>> pending{{offset, offset + length}};
    while (!pending.empty()) {
        auto [low, high] = pending.back();
        pending.pop_back();
        if (low >= high) continue;
        struct flock query {};
        query.l_type = F_WRLCK;
        query.l_whence = SEEK_SET;
        query.l_start = static_cast<off_t>(low);
        query.l_len = static_cast<off_t>(high - low);
        int r;
        while ((r = fcntl(fd, F_OFD_GETLK, &query)) != 0 && errno == EINTR) {
        }
        if (r != 0) return false;
        if (query.l_type == F_UNLCK) continue;
        const auto start = static_cast<uint64_t>(query.l_start);
        const uint64_t from = std::max(low, start);
        const uint64_t to =
            query.l_len == 0 ? high : std::min(high, start + static_cast<uint64_t>(query.l_len));
        if (to <= from) return false; // not an answer about this range
        count += to - from;
        pending.emplace_back(low, from);
        pending.emplace_back(to, high);
    }
    return true;
}

} // namespace zan
