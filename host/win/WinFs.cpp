#include "host/win/WinFs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <functional>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include "host/rtl/Random.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFiles.h"
#include "host/win/WinPaths.h"

namespace zan {

namespace {

[[noreturn]] void RaiseErrno(const std::string& subject) {
    RaiseWinError(WinErrorFromErrno(errno), subject);
}

std::string HostDirOf(const std::string& host) {
    size_t slash = host.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : host.substr(0, slash);
}

// A missing file whose parent is missing too is "path not found" on Windows.
[[noreturn]] void RaiseMissing(const std::string& host, const std::string& subject) {
    struct stat st;
    if (stat(HostDirOf(host).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        RaiseWinError(ERROR_PATH_NOT_FOUND, subject);
    RaiseWinError(ERROR_FILE_NOT_FOUND, subject);
}

bool StatHost(const std::string& host, struct stat& st) { return stat(host.c_str(), &st) == 0; }

// The bytes used on the disk in drive A:.
uint64_t DiskUsed(const std::string& diskDir) {
    uint64_t used = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(diskDir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ec2;
        if (it->is_regular_file(ec2)) used += it->file_size(ec2);
    }
    return used;
}

// A hook run between the confinement check of a path and its use (tests swap folders there).
std::function<void(const std::string&)>& RaceHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

void CloseIfOpen(int fd) {
    if (fd >= 0) close(fd);
}

std::vector<std::string> SplitHost(const std::string& rel) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        if (end > start) parts.push_back(rel.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The folder holding a host path inside the sandbox root, as a handle reached from the root one
// component at a time without following a symlink, and the final name. Every write goes through
// (Fd, Name): a folder swapped for a symlink after the path was checked cannot carry the write
// outside the root. A symlink met on the way is followed only when its resolved target lies inside
// the root, and the walk then restarts from the root on the resolved path.
struct TConfined {
    int Fd = -1;
    std::string Name;
    TConfined() = default;
    TConfined(const TConfined&) = delete;
    TConfined& operator=(const TConfined&) = delete;
    ~TConfined() { CloseIfOpen(Fd); }
};

void OpenConfined(const std::string& host, const std::string& subject, TConfined& out) {
    if (RaceHook()) RaceHook()(host);
    const std::string& root = CurrentWinEnv().Root;
    if (host.size() <= root.size() + 1 || host.compare(0, root.size() + 1, root + "/") != 0)
        RaiseWinError(ERROR_ACCESS_DENIED, subject);
    const std::string realRoot = SandboxRealRoot();
    std::vector<std::string> parts = SplitHost(host.substr(root.size() + 1));
    if (parts.empty()) RaiseWinError(ERROR_ACCESS_DENIED, subject);
    out.Name = parts.back();
    parts.pop_back();
    int fd = open(realRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) RaiseWinError(ERROR_PATH_NOT_FOUND, subject);
    TScopeExit closer([&fd] { CloseIfOpen(fd); });
    int hops = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        int next = openat(fd, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next >= 0) {
            close(fd);
            fd = next;
            continue;
        }
        if (errno != ELOOP && errno != ENOTDIR) RaiseWinError(ERROR_PATH_NOT_FOUND, subject);
        struct stat st;
        if (fstatat(fd, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            RaiseWinError(ERROR_PATH_NOT_FOUND, subject);
        if (++hops > 16) RaiseWinError(ERROR_ACCESS_DENIED, subject);
        char real[PATH_MAX];
        std::string link = "/proc/self/fd/" + std::to_string(fd) + "/" + parts[i];
        if (!realpath(link.c_str(), real)) RaiseWinError(ERROR_PATH_NOT_FOUND, subject);
        std::string target = real;
        if (target != realRoot && target.compare(0, realRoot.size() + 1, realRoot + "/") != 0)
            RaiseWinError(ERROR_ACCESS_DENIED, subject);
        // Restart from the root on the resolved folder followed by the rest of the path.
        std::vector<std::string> rest = SplitHost(target.substr(realRoot.size()));
        rest.insert(rest.end(), parts.begin() + static_cast<ptrdiff_t>(i) + 1, parts.end());
        parts = std::move(rest);
        i = static_cast<size_t>(-1);
        close(fd);
        fd = open(realRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) RaiseWinError(ERROR_PATH_NOT_FOUND, subject);
    }
    out.Fd = fd;
    fd = -1;
}

// Opens a file inside the root relative to its checked folder; the final component is never
// followed when it is a symlink.
int OpenConfinedFile(const std::string& host, const std::string& subject, int flags, TConfined& dir) {
    OpenConfined(host, subject, dir);
    int fd = openat(dir.Fd, dir.Name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ELOOP) RaiseWinError(ERROR_ACCESS_DENIED, subject);
    return fd;
}

// Opens a host file for reading. Only regular files are read: a FIFO or a device named like a
// file would block the open or the reads forever. The open itself does not wait (O_NONBLOCK),
// the descriptor's own type is checked, then reads block as usual.
int OpenRegularForRead(const std::string& host, const std::string& subject) {
    int fd = open(host.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) RaiseMissing(host, subject);
        RaiseErrno(subject);
    }
    TScopeExit closer([&fd] {
        if (fd >= 0) close(fd);
    });
    struct stat st;
    if (fstat(fd, &st) != 0) RaiseErrno(subject);
    if (!S_ISREG(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, subject);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) RaiseErrno(subject);
    int out = fd;
    fd = -1;
    return out;
}

// Sets the mode bits of a file inside the root without following a final symlink.
void ChmodConfined(const std::string& host, const std::string& subject, mode_t mode) {
    TConfined dir;
    int fd = OpenConfinedFile(host, subject, O_PATH, dir);
    if (fd < 0) RaiseErrno(subject);
    TScopeExit closer([fd] { close(fd); });
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISLNK(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, subject);
    // The handle's own entry in /proc names the file itself, never a path that could change.
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (chmod(self.c_str(), mode) != 0) RaiseErrno(subject);
}

// A file listed in use, by its name or as another name of the same file (a hard link or a path
// through a symlinked folder).
bool InUse(const std::string& norm, const struct stat* st) {
    const TWinEnv& env = CurrentWinEnv();
    if (env.IsInUse(norm)) return true;
    if (!st || S_ISDIR(st->st_mode)) return false;
    for (const std::string& p : env.InUse) {
        struct stat other;
        try {
            if (stat(WinPathToHost(p).c_str(), &other) == 0 && other.st_dev == st->st_dev &&
                other.st_ino == st->st_ino)
                return true;
        } catch (const EWinError&) {
        }
    }
    return false;
}

// A folder holding a file in use cannot be renamed or removed, as on Windows.
bool HoldsInUse(const std::string& normDir) {
    std::string prefix = FoldName(normDir + "\\");
    for (const std::string& p : CurrentWinEnv().InUse)
        if (FoldName(p).compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::string DiskDir() {
    const TWinEnv& env = CurrentWinEnv();
    return env.Root + "/media/A/disk" + std::to_string(env.Disk);
}

uint64_t DiskFree() {
    uint64_t used = DiskUsed(DiskDir());
    uint64_t capacity = CurrentWinEnv().DiskCapacity;
    return used >= capacity ? 0 : capacity - used;
}

TDateTime ToDateTime(time_t t) {
    tm local{};
    localtime_r(&t, &local);
    int sec = local.tm_sec & ~1; // DOS dates keep even seconds
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, sec, 0);
}

time_t FromDateTime(TDateTime value) {
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(value, y, mo, d, h, mi, s, ms);
    tm local{};
    local.tm_year = y - 1900;
    local.tm_mon = mo - 1;
    local.tm_mday = d;
    local.tm_hour = h;
    local.tm_min = mi;
    local.tm_sec = s & ~1;
    local.tm_isdst = -1;
    return mktime(&local);
}

uint32_t AttributesOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}

} // namespace

bool WinFileExists(const std::string& path) {
    try {
        struct stat st;
        return StatHost(WinPathToHost(path), st) && !S_ISDIR(st.st_mode);
    } catch (const EWinError&) {
        return false;
    }
}

bool WinDirectoryExists(const std::string& path) {
    try {
        struct stat st;
        return StatHost(WinPathToHost(path), st) && S_ISDIR(st.st_mode);
    } catch (const EWinError&) {
        return false;
    }
}

bool WinPathExists(const std::string& path) {
    try {
        struct stat st;
        return StatHost(WinPathToHost(path), st);
    } catch (const EWinError&) {
        return false;
    }
}

void WinCreateDirectory(const std::string& path) {
    std::string host = WinPathToHost(path, paWrite);
    TConfined dir;
    OpenConfined(host, path, dir);
    if (mkdirat(dir.Fd, dir.Name.c_str(), 0777) != 0) {
        if (errno == ENOENT) RaiseWinError(ERROR_PATH_NOT_FOUND, path);
        RaiseErrno(path);
    }
    InvalidateDirCache(HostDirOf(host));
}

void WinForceDirectories(const std::string& path) {
    std::string norm = NormalizeWinPath(path);
    if (WinDirectoryExists(norm)) return;
    std::string parent = WinParentDir(norm);
    if (parent != norm) WinForceDirectories(parent);
    if (WinDirectoryExists(norm)) return;
    // The drive folder of A: and C: is made on demand: a fresh disk is an empty directory.
    if (parent == norm) {
        std::string host = WinPathToHost(norm, paWrite);
        const std::string& root = CurrentWinEnv().Root;
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec) RaiseWinError(WinErrorFromErrno(ec.value()), path);
        for (size_t at = host.find('/', root.size() + 1);; at = host.find('/', at + 1)) {
            std::string prefix = at == std::string::npos ? host : host.substr(0, at);
            TConfined dir;
            OpenConfined(prefix, path, dir);
            if (mkdirat(dir.Fd, dir.Name.c_str(), 0777) != 0 && errno != EEXIST) RaiseErrno(path);
            if (at == std::string::npos) break;
        }
        return;
    }
    WinCreateDirectory(norm);
}

void WinRemoveDirectory(const std::string& path) {
    std::string host = WinPathToHost(path, paWrite);
    TConfined dir;
    OpenConfined(host, path, dir);
    if (unlinkat(dir.Fd, dir.Name.c_str(), AT_REMOVEDIR) != 0) {
        if (errno == ENOENT) RaiseMissing(host, path);
        if (errno == EEXIST) RaiseWinError(ERROR_DIR_NOT_EMPTY, path);
        RaiseErrno(path);
    }
    InvalidateDirCache(HostDirOf(host));
}

void WinDeleteFile(const std::string& path) {
    std::string norm = NormalizeWinPath(path);
    std::string host = WinPathToHost(norm, paWrite);
    TConfined dir;
    OpenConfined(host, path, dir);
    struct stat st;
    if (fstatat(dir.Fd, dir.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) RaiseMissing(host, path);
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    if (InUse(norm, &st)) RaiseWinError(ERROR_SHARING_VIOLATION, path);
    if (unlinkat(dir.Fd, dir.Name.c_str(), 0) != 0) RaiseErrno(path);
    InvalidateDirCache(HostDirOf(host));
}

void WinMoveFile(const std::string& source, const std::string& target, bool replaceExisting) {
    std::string srcNorm = NormalizeWinPath(source);
    std::string dstNorm = NormalizeWinPath(target);
    std::string src = WinPathToHost(srcNorm, paWrite);
    std::string dst = WinPathToHost(dstNorm, paWrite);
    TConfined from, to;
    OpenConfined(src, source, from);
    OpenConfined(dst, target, to);
    struct stat st;
    if (fstatat(from.Fd, from.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) RaiseMissing(src, source);
    if (InUse(srcNorm, &st) || (S_ISDIR(st.st_mode) && HoldsInUse(srcNorm)))
        RaiseWinError(ERROR_SHARING_VIOLATION, source);
    struct stat dt;
    bool targetExists = fstatat(to.Fd, to.Name.c_str(), &dt, AT_SYMLINK_NOFOLLOW) == 0;
    bool sameFile = targetExists && dt.st_ino == st.st_ino && dt.st_dev == st.st_dev;
    if (sameFile) {
        // The target names the source itself (another case of the same name): the file takes
        // the case given for the target, as a Windows rename does.
        to.Name = WinFileNameOf(dstNorm);
        if (to.Name.empty() || to.Name == from.Name) return;
    } else if (targetExists) {
        if (!replaceExisting || S_ISDIR(dt.st_mode)) RaiseWinError(ERROR_ALREADY_EXISTS, target);
        if (InUse(dstNorm, &dt)) RaiseWinError(ERROR_SHARING_VIOLATION, target);
    }
    // A move onto the disk in A: must fit in what the disk has free, as a copy would.
    if (WinDriveOf(dstNorm) == 'A' && WinDriveOf(srcNorm) != 'A') {
        uint64_t size = S_ISDIR(st.st_mode) ? DiskUsed(src) : static_cast<uint64_t>(st.st_size);
        uint64_t freed = targetExists && !sameFile ? static_cast<uint64_t>(dt.st_size) : 0;
        if (size > DiskFree() + freed) RaiseWinError(ERROR_DISK_FULL, target);
    }
    if (renameat(from.Fd, from.Name.c_str(), to.Fd, to.Name.c_str()) != 0) {
        if (errno == EXDEV && !S_ISDIR(st.st_mode)) {
            WinCopyFile(srcNorm, dstNorm, false);
            unlinkat(from.Fd, from.Name.c_str(), 0);
        } else if (errno == ENOENT) {
            RaiseWinError(ERROR_PATH_NOT_FOUND, target);
        } else {
            RaiseErrno(target);
        }
    }
    InvalidateDirCache(HostDirOf(src));
    InvalidateDirCache(HostDirOf(dst));
}

void WinCopyFile(const std::string& source, const std::string& target, bool failIfExists) {
    std::string src = WinPathToHost(source);
    std::string norm = NormalizeWinPath(target);
    std::string dst = WinPathToHost(norm, paWrite);
    int in = OpenRegularForRead(src, source);
    TScopeExit closer([in] { close(in); });
    struct stat st;
    if (fstat(in, &st) != 0) RaiseErrno(source);
    if (failIfExists && WinPathExists(norm)) RaiseWinError(ERROR_FILE_EXISTS, target);
    struct stat dt;
    if (stat(dst.c_str(), &dt) == 0 && dt.st_dev == st.st_dev && dt.st_ino == st.st_ino)
        RaiseWinError(ERROR_INVALID_PARAMETER, target); // a copy onto itself would empty it
    // Written through the same checked path as any file (in-use, confinement, A: capacity).
    TWinFsFile out;
    out.Create(norm);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            RaiseErrno(source);
        }
        if (n == 0) break;
        if (out.Write(buffer.data(), static_cast<size_t>(n)) != static_cast<size_t>(n))
            RaiseWinError(ERROR_DISK_FULL, target);
    }
    out.Close();
    ChmodConfined(out.HostPath(), target, st.st_mode & 07777);
}

namespace {

// Removes name under dirFd and everything below it, keeping files in use (named by winPath);
// the first one kept is noted in kept.
void RemoveTreeAt(int dirFd, const std::string& name, const std::string& winPath, std::string& kept) {
    const char* at = name.empty() ? "." : name.c_str(); // "": the folder dirFd itself
    struct stat st;
    if (fstatat(dirFd, at, &st, AT_SYMLINK_NOFOLLOW) != 0) RaiseErrno(winPath);
    if (!S_ISDIR(st.st_mode)) {
        if (InUse(winPath, &st)) {
            if (kept.empty()) kept = winPath;
            return;
        }
        if (unlinkat(dirFd, name.c_str(), 0) != 0) RaiseErrno(winPath);
        return;
    }
    int fd = openat(dirFd, at, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) RaiseErrno(winPath);
    DIR* d = fdopendir(fd);
    if (!d) {
        close(fd);
        RaiseErrno(winPath);
    }
    TScopeExit closer([d] { closedir(d); });
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string child = e->d_name;
        if (child != "." && child != "..") names.push_back(std::move(child));
    }
    for (const std::string& child : names)
        RemoveTreeAt(fd, child, WinJoin(winPath, child), kept);
    if (name.empty()) return; // the drive root itself stays
    if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && !(errno == ENOTEMPTY && !kept.empty()))
        RaiseErrno(winPath);
}

} // namespace

void WinDeleteTree(const std::string& path) {
    std::string norm = NormalizeWinPath(path);
    std::string host = WinPathToHost(norm, paWrite);
    if (!WinPathExists(norm)) RaiseWinError(ERROR_FILE_NOT_FOUND, path);
    TConfined dir;
    OpenConfined(host, path, dir);
    std::string kept;
    TScopeExit clear([] { ClearDirCache(); });
    if (WinParentDir(norm) == norm) {
        // A drive root: its contents go, the drive stays usable.
        int fd = openat(dir.Fd, dir.Name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) RaiseErrno(path);
        TScopeExit closer([fd] { close(fd); });
        RemoveTreeAt(fd, "", norm.substr(0, 2), kept);
    } else {
        RemoveTreeAt(dir.Fd, dir.Name, norm, kept);
    }
    if (!kept.empty()) RaiseWinError(ERROR_SHARING_VIOLATION, kept);
}

void SetWinFsRaceHook(std::function<void(const std::string& hostPath)> hook) {
    RaceHook() = std::move(hook);
}

std::string WinReadFile(const std::string& path) {
    TWinFsFile file;
    file.OpenRead(path);
    std::string data(file.Size(), '\0');
    size_t got = 0;
    while (got < data.size()) {
        size_t n = file.Read(data.data() + got, data.size() - got);
        if (n == 0) break;
        got += n;
    }
    data.resize(got);
    return data;
}

void WinWriteFile(const std::string& path, const std::string& data) {
    TWinFsFile file;
    file.Create(path);
    if (file.Write(data.data(), data.size()) != data.size())
        RaiseWinError(ERROR_DISK_FULL, path);
    file.Close();
}

TWinFsFile::~TWinFsFile() { Close(); }

void TWinFsFile::Create(const std::string& path) {
    Close();
    std::string norm = NormalizeWinPath(path);
    std::string host = WinPathToHost(norm, paWrite);
    TConfined dir;
    OpenConfined(host, path, dir);
    struct stat st;
    bool exists = fstatat(dir.Fd, dir.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    // Only a regular file is rewritten: writes into a FIFO or a device would block or vanish.
    if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    // A file held open by a running program cannot be rewritten, as on Windows.
    if (InUse(norm, exists ? &st : nullptr)) RaiseWinError(ERROR_SHARING_VIOLATION, path);
    FHandle = openat(dir.Fd, dir.Name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                     0666);
    if (FHandle < 0) {
        if (errno == ENOENT) RaiseWinError(ERROR_PATH_NOT_FOUND, path);
        if (errno == ELOOP) RaiseWinError(ERROR_ACCESS_DENIED, path);
        RaiseErrno(path);
    }
    FHostPath = host;
    InvalidateDirCache(HostDirOf(host));
    FLimited = WinDriveOf(norm) == 'A';
}

void TWinFsFile::OpenRead(const std::string& path) {
    Close();
    std::string host = WinPathToHost(path);
    struct stat st;
    if (!StatHost(host, st)) RaiseMissing(host, path);
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    FHandle = OpenRegularForRead(host, path);
    FHostPath = host;
    FLimited = false;
}

void TWinFsFile::OpenReadWrite(const std::string& path) {
    Close();
    std::string norm = NormalizeWinPath(path);
    std::string host = WinPathToHost(norm, paWrite);
    TConfined dir;
    OpenConfined(host, path, dir);
    struct stat st;
    if (fstatat(dir.Fd, dir.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) RaiseMissing(host, path);
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    if (!S_ISREG(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    if (InUse(norm, &st)) RaiseWinError(ERROR_SHARING_VIOLATION, path);
    FHandle = openat(dir.Fd, dir.Name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (FHandle < 0) RaiseErrno(path);
    FHostPath = host;
    FLimited = WinDriveOf(norm) == 'A';
}

void TWinFsFile::Close() {
    if (FHandle >= 0) close(FHandle);
    FHandle = -1;
}

size_t TWinFsFile::Write(const void* buffer, size_t count) {
    if (FHandle < 0) RaiseWinError(ERROR_INVALID_PARAMETER, "write to a closed file");
    size_t allowed = count;
    // The free space of A: is measured at each write, so files written at once share it; bytes
    // that overwrite what the file holds take no room.
    if (FLimited) {
        FFree = DiskFree();
        uint64_t pos = Position(), size = Size();
        uint64_t inside = pos < size ? std::min<uint64_t>(size - pos, count) : 0;
        if (allowed > inside + FFree) allowed = static_cast<size_t>(inside + FFree);
    }
    size_t done = 0;
    const char* p = static_cast<const char*>(buffer);
    while (done < allowed) {
        ssize_t n = write(FHandle, p + done, allowed - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSPC) break;
            RaiseErrno(FHostPath);
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t TWinFsFile::Read(void* buffer, size_t count) {
    if (FHandle < 0) RaiseWinError(ERROR_INVALID_PARAMETER, "read from a closed file");
    while (true) {
        ssize_t n = read(FHandle, buffer, count);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) RaiseErrno(FHostPath);
    }
}

uint64_t TWinFsFile::Size() const {
    struct stat st;
    if (FHandle < 0 || fstat(FHandle, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

void TWinFsFile::Seek(uint64_t position) {
    if (FHandle < 0) RaiseWinError(ERROR_INVALID_PARAMETER, "seek in a closed file");
    if (lseek(FHandle, static_cast<off_t>(position), SEEK_SET) < 0) RaiseErrno(FHostPath);
}

uint64_t TWinFsFile::Position() const {
    if (FHandle < 0) return 0;
    off_t pos = lseek(FHandle, 0, SEEK_CUR);
    return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

void TWinFsFile::SetMode(uint32_t mode) {
    if (FHandle < 0) RaiseWinError(ERROR_INVALID_PARAMETER, FHostPath);
    if (fchmod(FHandle, static_cast<mode_t>(mode & 07777)) != 0)
        RaiseWinError(WinErrorFromErrno(errno), FHostPath);
}

TDateTime WinFileAge(const std::string& path) {
    try {
        struct stat st;
        if (!StatHost(WinPathToHost(path), st)) return -1;
        return ToDateTime(st.st_mtime);
    } catch (const EWinError&) {
        return -1;
    }
}

void WinSetFileAge(const std::string& path, TDateTime age) {
    std::string host = WinPathToHost(path, paWrite);
    TConfined dir;
    OpenConfined(host, path, dir);
    struct stat st;
    if (fstatat(dir.Fd, dir.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) RaiseMissing(host, path);
    if (S_ISLNK(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = FromDateTime(age);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    if (utimensat(dir.Fd, dir.Name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) RaiseErrno(path);
}

uint32_t WinGetFileAttributes(const std::string& path) {
    try {
        struct stat st;
        if (!StatHost(WinPathToHost(path), st)) return INVALID_FILE_ATTRIBUTES;
        return AttributesOf(st);
    } catch (const EWinError&) {
        return INVALID_FILE_ATTRIBUTES;
    }
}

void WinSetFileAttributes(const std::string& path, uint32_t attributes) {
    std::string host = WinPathToHost(path, paWrite);
    struct stat st;
    {
        TConfined dir;
        OpenConfined(host, path, dir);
        if (fstatat(dir.Fd, dir.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) RaiseMissing(host, path);
    }
    mode_t mode = st.st_mode & 07777;
    // Windows keeps a directory's read-only flag without refusing writes into it: here it is
    // not mapped, or the folder would become unwritable.
    if (S_ISDIR(st.st_mode)) return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    ChmodConfined(host, path, mode);
}

uint64_t WinFileSize(const std::string& path) {
    std::string host = WinPathToHost(path);
    struct stat st;
    if (!StatHost(host, st)) RaiseMissing(host, path);
    return static_cast<uint64_t>(st.st_size);
}

std::vector<TWinFindData> WinFindFiles(const std::string& dir, const std::string& mask) {
    std::vector<TWinFindData> found;
    std::string host = WinPathToHost(dir);
    DIR* d = opendir(host.c_str());
    if (!d) return found;
    TScopeExit closer([d] { closedir(d); });
    std::string foldedMask = FoldName(mask);
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (fnmatch(foldedMask.c_str(), FoldName(name).c_str(), FNM_NOESCAPE) != 0) continue;
        struct stat st;
        if (!StatHost(host + "/" + name, st)) continue;
        found.push_back({name, AttributesOf(st), static_cast<uint64_t>(st.st_size),
                         ToDateTime(st.st_mtime)});
    }
    std::sort(found.begin(), found.end(),
              [](const TWinFindData& a, const TWinFindData& b) { return a.Name < b.Name; });
    return found;
}

std::string WinGetWindowsDirectory() { return CurrentWinEnv().WindowsDir(); }
std::string WinGetSystemDirectory() { return CurrentWinEnv().SystemDir(); }
std::string WinGetTempPath() { return CurrentWinEnv().WindowsDir() + "\\TEMP\\"; }

std::string WinGetTempFileName(const std::string& dir, const std::string& prefix) {
    std::string norm = NormalizeWinPath(dir);
    if (!WinDirectoryExists(norm)) RaiseWinError(ERROR_PATH_NOT_FOUND, dir);
    std::string p = prefix.substr(0, 3);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        uint32_t unique = static_cast<uint32_t>(Random(0xFFFF)) + 1;
        std::string name = WinJoin(norm, p + IntToHex(unique, 1) + ".TMP");
        std::string host = WinPathToHost(name, paWrite);
        TConfined parent;
        int fd = OpenConfinedFile(host, name, O_WRONLY | O_CREAT | O_EXCL, parent);
        if (fd >= 0) {
            close(fd);
            InvalidateDirCache(HostDirOf(host));
            return name;
        }
        if (errno != EEXIST) RaiseErrno(name);
    }
    RaiseWinError(ERROR_FILE_EXISTS, dir);
}

std::string WinGetShortPathName(const std::string& path) {
    std::string host = WinPathToHost(path);
    struct stat st;
    if (!StatHost(host, st)) RaiseMissing(host, path);
    return path;
}

std::string WinGetModuleFileName() {
    std::error_code ec;
    std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    return HostPathToWin(exe);
}

void WinInsertDisk(int disk) {
    if (disk < 1 || disk >= 10000) RaiseWinError(ERROR_INVALID_PARAMETER, IntToStr(disk));
    CurrentWinEnv().Disk = disk;
    SaveWinEnv();
    // A disk in the drive is an (empty, when new) directory.
    WinForceDirectories("A:\\");
}

int WinCurrentDisk() { return CurrentWinEnv().Disk; }

void WinSetInUse(const std::string& path, bool inUse) {
    std::string norm = NormalizeWinPath(path);
    TWinEnv& env = CurrentWinEnv();
    std::erase_if(env.InUse, [&](const std::string& p) { return SameName(p, norm); });
    if (inUse) env.InUse.push_back(norm);
    SaveWinEnv();
}

void WinMarkExecutableIfProgram(const std::string& path) {
    std::string host = WinPathToHost(path, paWrite);
    char head[4] = {};
    TConfined dir;
    int fd = OpenConfinedFile(host, path, O_RDONLY, dir);
    if (fd < 0) RaiseMissing(host, path);
    TScopeExit closer([fd] { close(fd); });
    ssize_t n = read(fd, head, 4);
    bool program = (n == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) ||
                   (n >= 2 && head[0] == '#' && head[1] == '!');
    if (program && fchmod(fd, 0755) != 0) RaiseErrno(path);
}

} // namespace zan
