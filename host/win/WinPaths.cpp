#include "host/win/WinPaths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <mutex>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>

#include "host/rtl/ScopeExit.h"
#include "host/win/WinEnv.h"

namespace zan {

namespace {

std::string& CurrentDir() {
    static std::string dir = "C:\\";
    return dir;
}

// The listing of one host directory: folded name -> the name that matches it (an exact-case
// match is tried before the listing is consulted; here the first in byte order wins).
struct TListing {
    std::unordered_set<std::string> Names;
    std::unordered_map<std::string, std::string> ByFolded;
};

std::mutex& CacheGuard() {
    static std::mutex m;
    return m;
}
std::unordered_map<std::string, TListing>& Cache() {
    static std::unordered_map<std::string, TListing> cache;
    return cache;
}

bool ReadListing(const std::string& dir, TListing& listing) {
    DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return false;
    TScopeExit closer([d] { closedir(d); });
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    for (std::string& name : names) {
        listing.ByFolded.emplace(FoldName(name), name);
        listing.Names.insert(std::move(name));
    }
    return true;
}

// The on-disk name in dir matching name ignoring case; empty when none. fresh re-reads dir.
std::string MatchInDir(const std::string& dir, const std::string& name, bool fresh) {
    std::lock_guard<std::mutex> lock(CacheGuard());
    auto it = Cache().find(dir);
    if (it == Cache().end() || fresh) {
        TListing listing;
        if (!ReadListing(dir, listing)) {
            Cache().erase(dir);
            return {};
        }
        it = Cache().insert_or_assign(dir, std::move(listing)).first;
    }
    if (it->second.Names.count(name)) return name;
    auto m = it->second.ByFolded.find(FoldName(name));
    return m == it->second.ByFolded.end() ? std::string() : m->second;
}

bool Exists(const std::string& host) {
    struct stat st;
    return lstat(host.empty() ? "/" : host.c_str(), &st) == 0;
}

// Resolves components under base (a host directory without trailing "/").
std::string Resolve(const std::string& base, const std::vector<std::string>& parts) {
    std::string exact = base;
    for (const std::string& p : parts)
        exact += "/" + p;
    if (parts.empty() || Exists(exact)) return exact.empty() ? "/" : exact;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = attempt == 1;
        std::string cur = base;
        size_t i = 0;
        for (; i < parts.size(); ++i) {
            std::string match = MatchInDir(cur, parts[i], fresh);
            if (match.empty()) break;
            cur += "/" + match;
        }
        if (i == parts.size() && Exists(cur)) return cur;
        // A miss: retry once with fresh listings (another process may have changed them); the
        // missing tail keeps the case it was given.
        if (fresh) {
            for (; i < parts.size(); ++i)
                cur += "/" + parts[i];
            return cur;
        }
    }
    return exact;
}

bool InvalidChar(unsigned char c) {
    return c < 32 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*' ||
           c == ':';
}

struct TSplitPath {
    char Drive = 'C';
    std::vector<std::string> Parts;
};

TSplitPath Split(const std::string& path) {
    if (path.find('\0') != std::string::npos) RaiseWinError(ERROR_INVALID_NAME, "");
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.empty()) RaiseWinError(ERROR_PATH_NOT_FOUND, path);
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') RaiseWinError(ERROR_PATH_NOT_FOUND, path);
    TSplitPath split;
    std::string rest;
    if (p.size() >= 2 && p[1] == ':') {
        char d = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
        if (d < 'A' || d > 'Z') RaiseWinError(ERROR_INVALID_NAME, path);
        split.Drive = d;
        rest = p.substr(2);
        if (rest.empty() || rest[0] != '\\') {
            // "C:name" is relative to the drive's current directory; only the current drive
            // has one here, the others their root.
            if (CurrentDir()[0] == d) rest = CurrentDir().substr(2) + "\\" + rest;
            else rest = "\\" + rest;
        }
    } else if (p[0] == '\\') {
        split.Drive = CurrentDir()[0];
        rest = p;
    } else {
        split.Drive = CurrentDir()[0];
        rest = CurrentDir().substr(2) + "\\" + p;
    }
    if (split.Drive != 'C' && split.Drive != 'A' && split.Drive != 'Z')
        RaiseWinError(ERROR_PATH_NOT_FOUND, path);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos) end = rest.size();
        std::string part = rest.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!split.Parts.empty()) split.Parts.pop_back();
            continue;
        }
        for (unsigned char c : part)
            if (InvalidChar(c)) RaiseWinError(ERROR_INVALID_NAME, path);
        // Windows drops trailing dots and blanks of a name.
        while (!part.empty() && (part.back() == '.' || part.back() == ' '))
            part.pop_back();
        if (part.empty()) RaiseWinError(ERROR_INVALID_NAME, path);
        split.Parts.push_back(std::move(part));
    }
    return split;
}

std::string DriveBase(char drive) {
    const TWinEnv& env = CurrentWinEnv();
    if (drive == 'C') return env.Root + "/drive_c";
    if (drive == 'A') return env.Root + "/media/A/disk" + std::to_string(env.Disk);
    return ""; // Z: is the host's "/"
}

std::string RealPathOfExisting(const std::string& hostPath) {
    // The nearest existing ancestor, resolved, with the missing tail appended.
    std::string path = hostPath.empty() ? "/" : hostPath;
    std::string tail;
    while (true) {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real)) return std::string(real) + tail;
        size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || path == "/") return hostPath;
        tail = path.substr(slash) + tail;
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

} // namespace

std::string NormalizeWinPath(const std::string& path) {
    TSplitPath split = Split(path);
    std::string out(1, split.Drive);
    out += ":\\";
    for (size_t i = 0; i < split.Parts.size(); ++i) {
        if (i) out += '\\';
        out += split.Parts[i];
    }
    return out;
}

void CheckConfined(const std::string& hostPath) {
    const std::string root = SandboxRealRoot();
    std::string real = RealPathOfExisting(hostPath);
    if (real != root && real.compare(0, root.size() + 1, root + "/") != 0)
        RaiseWinError(ERROR_ACCESS_DENIED, hostPath);
}

std::string WinPathToHost(const std::string& path, TPathAccess access) {
    TSplitPath split = Split(path);
    if (access == paWrite && split.Drive == 'Z') RaiseWinError(ERROR_ACCESS_DENIED, path);
    std::string host = Resolve(DriveBase(split.Drive), split.Parts);
    if (access == paWrite) {
        size_t slash = host.find_last_of('/');
        CheckConfined(slash == std::string::npos || slash == 0 ? host : host.substr(0, slash));
        // A final component that is a symlink would carry the write elsewhere.
        struct stat st;
        if (lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) CheckConfined(host);
    }
    return host;
}

std::string HostPathToWin(const std::string& hostPath) {
    const TWinEnv& env = CurrentWinEnv();
    auto under = [&](const std::string& base, std::string& rest) {
        if (hostPath == base) {
            rest.clear();
            return true;
        }
        if (hostPath.compare(0, base.size() + 1, base + "/") == 0) {
            rest = hostPath.substr(base.size() + 1);
            return true;
        }
        return false;
    };
    std::string rest;
    std::string prefix;
    if (under(env.Root + "/drive_c", rest)) prefix = "C:\\";
    else if (under(DriveBase('A'), rest)) prefix = "A:\\";
    else {
        prefix = "Z:\\";
        rest = hostPath.size() > 1 && hostPath[0] == '/' ? hostPath.substr(1) : hostPath;
    }
    std::replace(rest.begin(), rest.end(), '/', '\\');
    while (!rest.empty() && rest.back() == '\\')
        rest.pop_back();
    return prefix + rest;
}

void InvalidateDirCache(const std::string& hostDir) {
    std::lock_guard<std::mutex> lock(CacheGuard());
    Cache().erase(hostDir);
}

void ClearDirCache() {
    std::lock_guard<std::mutex> lock(CacheGuard());
    Cache().clear();
}

std::string WinGetCurrentDirectory() { return CurrentDir(); }

void WinSetCurrentDirectory(const std::string& path) {
    std::string norm = NormalizeWinPath(path);
    struct stat st;
    std::string host = WinPathToHost(norm);
    if (stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        RaiseWinError(ERROR_PATH_NOT_FOUND, path);
    CurrentDir() = norm;
}

char WinDriveOf(const std::string& normalisedPath) {
    return normalisedPath.empty() ? 'C' : static_cast<char>(std::toupper(
                                              static_cast<unsigned char>(normalisedPath[0])));
}

std::string WinParentDir(const std::string& normalisedPath) {
    size_t slash = normalisedPath.find_last_of('\\');
    if (slash == std::string::npos) return normalisedPath;
    if (slash <= 2) return normalisedPath.substr(0, 3);
    return normalisedPath.substr(0, slash);
}

std::string WinFileNameOf(const std::string& normalisedPath) {
    size_t slash = normalisedPath.find_last_of('\\');
    return slash == std::string::npos ? normalisedPath : normalisedPath.substr(slash + 1);
}

std::string WinJoin(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '\\' || dir.back() == '/') return dir + name;
    return dir + "\\" + name;
}

} // namespace zan
