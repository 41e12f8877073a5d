#include "host/win/WinFs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
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
    if (mkdir(host.c_str(), 0777) != 0) {
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
        std::error_code ec;
        std::filesystem::create_directories(host, ec);
        if (ec) RaiseWinError(WinErrorFromErrno(ec.value()), path);
        return;
    }
    WinCreateDirectory(norm);
}

void WinRemoveDirectory(const std::string& path) {
    std::string host = WinPathToHost(path, paWrite);
    if (rmdir(host.c_str()) != 0) {
        if (errno == ENOENT) RaiseMissing(host, path);
        if (errno == EEXIST) RaiseWinError(ERROR_DIR_NOT_EMPTY, path);
        RaiseErrno(path);
    }
    InvalidateDirCache(HostDirOf(host));
}

void WinDeleteFile(const std::string& path) {
    std::string norm = NormalizeWinPath(path);
    std::string host = WinPathToHost(norm, paWrite);
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) RaiseMissing(host, path);
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    if (CurrentWinEnv().IsInUse(norm)) RaiseWinError(ERROR_SHARING_VIOLATION, path);
    if (unlink(host.c_str()) != 0) RaiseErrno(path);
    InvalidateDirCache(HostDirOf(host));
}

void WinMoveFile(const std::string& source, const std::string& target, bool replaceExisting) {
    std::string src = WinPathToHost(source, paWrite);
    std::string dst = WinPathToHost(target, paWrite);
    struct stat st;
    if (lstat(src.c_str(), &st) != 0) RaiseMissing(src, source);
    if (CurrentWinEnv().IsInUse(NormalizeWinPath(source)))
        RaiseWinError(ERROR_SHARING_VIOLATION, source);
    struct stat dt;
    bool sameFile = lstat(dst.c_str(), &dt) == 0 && dt.st_ino == st.st_ino && dt.st_dev == st.st_dev;
    if (!sameFile && lstat(dst.c_str(), &dt) == 0) {
        if (!replaceExisting || S_ISDIR(dt.st_mode)) RaiseWinError(ERROR_ALREADY_EXISTS, target);
        if (CurrentWinEnv().IsInUse(NormalizeWinPath(target)))
            RaiseWinError(ERROR_SHARING_VIOLATION, target);
    }
    if (rename(src.c_str(), dst.c_str()) != 0) {
        if (errno == EXDEV && !S_ISDIR(st.st_mode)) {
            CopyFile(src, dst, false);
            unlink(src.c_str());
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
    std::string dst = WinPathToHost(target, paWrite);
    struct stat st;
    if (!StatHost(src, st)) RaiseMissing(src, source);
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, source);
    if (failIfExists && WinPathExists(target)) RaiseWinError(ERROR_FILE_EXISTS, target);
    if (CurrentWinEnv().IsInUse(NormalizeWinPath(target))) RaiseWinError(ERROR_SHARING_VIOLATION, target);
    if (WinDriveOf(NormalizeWinPath(target)) == 'A') {
        WinWriteFile(target, WinReadFile(source));
        chmod(WinPathToHost(target).c_str(), st.st_mode & 07777);
        return;
    }
    try {
        CopyFile(src, dst, failIfExists);
    } catch (const EOSError& e) {
        RaiseWinError(WinErrorFromErrno(e.ErrorCode), target);
    }
    InvalidateDirCache(HostDirOf(dst));
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
    struct stat st;
    if (lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    // A file held open by a running program cannot be rewritten, as on Windows.
    if (CurrentWinEnv().IsInUse(norm)) RaiseWinError(ERROR_SHARING_VIOLATION, path);
    FHandle = open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0) {
        if (errno == ENOENT) RaiseWinError(ERROR_PATH_NOT_FOUND, path);
        RaiseErrno(path);
    }
    FHostPath = host;
    InvalidateDirCache(HostDirOf(host));
    FLimited = WinDriveOf(norm) == 'A';
    if (FLimited) {
        const TWinEnv& env = CurrentWinEnv();
        std::string disk = env.Root + "/media/A/disk" + std::to_string(env.Disk);
        uint64_t used = DiskUsed(disk);
        FFree = used >= env.DiskCapacity ? 0 : env.DiskCapacity - used;
    }
}

void TWinFsFile::OpenRead(const std::string& path) {
    Close();
    std::string host = WinPathToHost(path);
    struct stat st;
    if (!StatHost(host, st)) RaiseMissing(host, path);
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    FHandle = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (FHandle < 0) RaiseErrno(path);
    FHostPath = host;
    FLimited = false;
}

void TWinFsFile::OpenReadWrite(const std::string& path) {
    Close();
    std::string norm = NormalizeWinPath(path);
    std::string host = WinPathToHost(norm, paWrite);
    struct stat st;
    if (!StatHost(host, st)) RaiseMissing(host, path);
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, path);
    if (CurrentWinEnv().IsInUse(norm)) RaiseWinError(ERROR_SHARING_VIOLATION, path);
    FHandle = open(host.c_str(), O_RDWR | O_CLOEXEC);
    if (FHandle < 0) RaiseErrno(path);
    FHostPath = host;
    FLimited = WinDriveOf(norm) == 'A';
    if (FLimited) {
        const TWinEnv& env = CurrentWinEnv();
        uint64_t used = DiskUsed(env.Root + "/media/A/disk" + std::to_string(env.Disk));
        FFree = used >= env.DiskCapacity ? 0 : env.DiskCapacity - used;
    }
}

void TWinFsFile::Close() {
    if (FHandle >= 0) close(FHandle);
    FHandle = -1;
}

size_t TWinFsFile::Write(const void* buffer, size_t count) {
    if (FHandle < 0) RaiseWinError(ERROR_INVALID_PARAMETER, "write to a closed file");
    size_t allowed = count;
    uint64_t inside = 0; // bytes that overwrite what the file holds take no room
    if (FLimited) {
        uint64_t pos = Position(), size = Size();
        inside = pos < size ? std::min<uint64_t>(size - pos, count) : 0;
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
    if (FLimited && done > inside) FFree -= done - inside;
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
    struct stat st;
    if (!StatHost(host, st)) RaiseMissing(host, path);
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = FromDateTime(age);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, host.c_str(), times, 0) != 0) RaiseErrno(path);
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
    if (!StatHost(host, st)) RaiseMissing(host, path);
    mode_t mode = st.st_mode & 07777;
    // Windows keeps a directory's read-only flag without refusing writes into it: here it is
    // not mapped, or the folder would become unwritable.
    if (S_ISDIR(st.st_mode)) return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (chmod(host.c_str(), mode) != 0) RaiseErrno(path);
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
        int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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
    int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) RaiseMissing(host, path);
    ssize_t n = read(fd, head, 4);
    close(fd);
    bool program = (n == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) ||
                   (n >= 2 && head[0] == '#' && head[1] == '!');
    if (program) chmod(host.c_str(), 0755);
}

} // namespace zan
