#include "host/win/WinRegistry.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/StringList.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"

namespace zan {

namespace {

struct TKeyNode {
    std::string Path; // own case
    std::vector<TRegValue> Values;
    std::unordered_map<std::string, size_t> Index; // folded name -> position
    // The hive text of each value, made when the hive is written and kept until the value
    // changes: a write into a large key then only copies the other values' lines.
    mutable std::vector<std::string> Lines;

    void Changed(const TRegValue* value) {
        size_t i = static_cast<size_t>(value - Values.data());
        if (i < Lines.size()) Lines[i].clear();
    }
    void Appended() {
        if (Lines.size() + 1 == Values.size()) Lines.emplace_back();
        else Lines.clear();
    }
    void Reindex() {
        Lines.clear();
        Index.clear();
        for (size_t i = 0; i < Values.size(); ++i)
            Index.emplace(FoldName(Values[i].Name), i);
    }
    TRegValue* Find(const std::string& name) {
        auto it = Index.find(FoldName(name));
        return it == Index.end() ? nullptr : &Values[it->second];
    }
};

struct THive {
    std::map<std::string, TKeyNode> Keys; // folded path -> key
    bool Loaded = false;
    std::string Damage; // the parse error of a damaged file
    // The file as last read or written: another process's rename changes these.
    ino_t Inode = 0;
    int64_t MTimeNs = -1;
    off_t Size = -1;
    // The write count kept in the lock file, as of the hive's last read or write. Writers
    // compare it under the lock: file stamps alone can repeat when an inode is reused within
    // one clock tick.
    uint64_t Generation = UINT64_MAX;
};

// The changes of a write batch not yet in the hive files, per hive file in order: applied to the
// hive in memory at once, written at the batch's end, and applied again whenever the hive is
// re-read because another process replaced it.
using TPendingChange = std::function<void(THive&)>;
std::map<std::string, std::vector<TPendingChange>>& PendingChanges() {
    static std::map<std::string, std::vector<TPendingChange>> pending;
    return pending;
}
int& BatchDepth() {
    static int depth = 0;
    return depth;
}

std::mutex& StoreGuard() {
    static std::mutex m;
    return m;
}
std::map<std::string, THive>& Store() { // hive file -> hive
    static std::map<std::string, THive> store;
    return store;
}

std::string HexByte(unsigned char c) {
    static const char* digits = "0123456789abcdef";
    return std::string{digits[c >> 4], digits[c & 15]};
}

// Appends s in quotes with its escapes; runs of plain bytes are copied whole.
void AppendQuoted(std::string& out, const std::string& s) {
    out += '"';
    size_t plain = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != 0x7F && c != '\\' && c != '"') continue;
        out.append(s, plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '\\': out.append("\\\\", 2); break;
        case '"': out.append("\\\"", 2); break;
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        case '\t': out.append("\\t", 2); break;
        default: out += "\\x" + HexByte(c);
        }
    }
    out.append(s, plain, std::string::npos);
    out += '"';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted string at pos; false when malformed.
bool Unquote(const std::string& line, size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"') return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size()) return false;
        char e = line[pos++];
        switch (e) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            if (pos + 2 > line.size()) return false;
            int h = HexDigit(line[pos]), l = HexDigit(line[pos + 1]);
            if (h < 0 || l < 0) return false;
            out += static_cast<char>(h * 16 + l);
            pos += 2;
            break;
        }
        default: return false;
        }
    }
    return false;
}

void AppendValue(std::string& out, const TRegValue& v) {
    if (v.Name.empty()) out += '@';
    else AppendQuoted(out, v.Name);
    out += '=';
    switch (v.Type) {
    case rdString:
        out += "sz:";
        AppendQuoted(out, v.Data);
        break;
    case rdExpandString:
        out += "expand:";
        AppendQuoted(out, v.Data);
        break;
    case rdInteger: {
        uint32_t n = 0;
        std::memcpy(&n, v.Data.data(), std::min<size_t>(4, v.Data.size()));
        out += "dword:" + LowerCase(IntToHex(n, 8));
        break;
    }
    case rdMultiString: {
        out += "multi:";
        // N strings are N quoted items; no data is no strings.
        if (v.Data.empty()) break;
        size_t start = 0;
        while (true) {
            size_t end = v.Data.find('\0', start);
            AppendQuoted(out, v.Data.substr(start, end == std::string::npos ? end : end - start));
            if (end == std::string::npos) break;
            out += ',';
            start = end + 1;
        }
        break;
    }
    default: {
        out += "binary:";
        for (size_t i = 0; i < v.Data.size(); ++i) {
            if (i) out += ',';
            out += HexByte(static_cast<unsigned char>(v.Data[i]));
        }
    }
    }
    out += '\n';
}

std::string Serialize(const THive& hive, HKEY root) {
    size_t size = 64;
    for (auto& [folded, key] : hive.Keys) {
        size += key.Path.size() + 4;
        for (const TRegValue& v : key.Values)
            size += v.Name.size() + 3 * v.Data.size() + 16;
    }
    std::string out;
    out.reserve(size);
    out += "; hive " + RootKeyShortName(root) + "\n";
    for (auto& [folded, key] : hive.Keys) {
        out += "[\\";
        out += key.Path;
        out += "]\n";
        if (key.Lines.size() != key.Values.size()) key.Lines.assign(key.Values.size(), std::string());
        for (size_t i = 0; i < key.Values.size(); ++i) {
            if (key.Lines[i].empty()) AppendValue(key.Lines[i], key.Values[i]);
            out += key.Lines[i];
        }
    }
    return out;
}

// Parses hive text into keys; throws ERegistryException naming file and line.
std::map<std::string, TKeyNode> Parse(const std::string& text, const std::string& fileName) {
    std::map<std::string, TKeyNode> keys;
    TKeyNode* current = nullptr;
    size_t lineNo = 0, start = 0;
    auto fail = [&](const char* what) {
        throw ERegistryException(
            Format("%s(%d): %s", fileName, static_cast<int64_t>(lineNo), what));
    };
    if (!text.empty() && text.back() != '\n') {
        lineNo = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        fail("the hive is cut short");
    }
    // Every hive written starts with its header line: a file without it (emptied, or cut at the
    // front) is damage, never an empty hive to be overwritten.
    if (text.compare(0, 7, "; hive ") != 0) {
        lineNo = 1;
        fail("the hive has no header line");
    }
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.size() < 3 || line[1] != '\\' || line.back() != ']') fail("bad key line");
            std::string path = line.substr(2, line.size() - 3);
            std::string folded = FoldName(path);
            if (keys.count(folded)) fail("key listed twice");
            TKeyNode& node = keys[folded];
            node.Path = path;
            current = &node;
            continue;
        }
        if (!current) fail("value outside any key");
        TRegValue v;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!Unquote(line, pos, v.Name) || v.Name.empty()) {
            fail("bad value name");
        }
        if (pos >= line.size() || line[pos] != '=') fail("'=' expected after the value name");
        ++pos;
        size_t colon = line.find(':', pos);
        if (colon == std::string::npos) fail("value type expected");
        std::string type = line.substr(pos, colon - pos);
        pos = colon + 1;
        if (type == "sz" || type == "expand") {
            v.Type = type == "sz" ? rdString : rdExpandString;
            if (!Unquote(line, pos, v.Data) || pos != line.size()) fail("bad string value");
        } else if (type == "dword") {
            std::string hex = line.substr(pos);
            uint32_t n = 0;
            if (hex.size() != 8) fail("bad dword value");
            for (char c : hex) {
                int d = HexDigit(c);
                if (d < 0) fail("bad dword value");
                n = n * 16 + static_cast<uint32_t>(d);
            }
            v.Type = rdInteger;
            v.Data.assign(reinterpret_cast<const char*>(&n), 4);
        } else if (type == "binary") {
            v.Type = rdBinary;
            while (pos < line.size()) {
                if (pos + 2 > line.size()) fail("bad binary value");
                int h = HexDigit(line[pos]), l = HexDigit(line[pos + 1]);
                if (h < 0 || l < 0) fail("bad binary value");
                v.Data += static_cast<char>(h * 16 + l);
                pos += 2;
                if (pos < line.size()) {
                    if (line[pos] != ',' || pos + 1 == line.size()) fail("bad binary value");
                    ++pos;
                }
            }
        } else if (type == "multi") {
            v.Type = rdMultiString;
            bool first = true;
            while (pos < line.size()) {
                if (!first) {
                    if (line[pos] != ',') fail("bad multi-string value");
                    ++pos;
                }
                std::string part;
                if (!Unquote(line, pos, part)) fail("bad multi-string value");
                if (!first) v.Data += '\0';
                v.Data += part;
                first = false;
            }
        } else {
            fail("unknown value type");
        }
        if (current->Find(v.Name)) fail("value listed twice");
        current->Values.push_back(std::move(v));
        current->Index.emplace(FoldName(current->Values.back().Name), current->Values.size() - 1);
    }
    return keys;
}

std::string HostHiveFile(HKEY root) {
    return CurrentWinEnv().Root + "/registry/" + RootKeyShortName(root) + ".reg";
}

bool StampOf(const std::string& file, struct stat& st) { return stat(file.c_str(), &st) == 0; }

// Brings the hive up to date with its file (re-read when another process replaced it).
THive& Refresh(HKEY root) {
    std::string file = HostHiveFile(root);
    THive& hive = Store()[file];
    struct stat st;
    bool exists = StampOf(file, st);
    int64_t mtime = exists ? int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec : -1;
    if (hive.Loaded && ((exists && st.st_ino == hive.Inode && mtime == hive.MTimeNs &&
                         st.st_size == hive.Size) ||
                        (!exists && hive.Size == -1)))
        return hive;
    hive = THive();
    hive.Loaded = true;
    if (exists) {
        hive.Inode = st.st_ino;
        hive.MTimeNs = mtime;
        hive.Size = st.st_size;
        std::string text;
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            text.resize(static_cast<size_t>(st.st_size));
            ssize_t n = read(fd, text.data(), text.size());
            close(fd);
            text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        }
        try {
            hive.Keys = Parse(text, file);
        } catch (const ERegistryException& e) {
            hive.Keys.clear();
            hive.Damage = e.Message();
        }
    }
    // The root key always exists.
    TKeyNode& rootKey = hive.Keys[""];
    (void)rootKey;
    // This process's unwritten changes go on top of what the file holds now; one that no
    // longer applies (its key deleted by the other writer) is dropped.
    if (hive.Damage.empty()) {
        auto& pending = PendingChanges()[file];
        std::vector<TPendingChange> kept;
        for (TPendingChange& change : pending) {
            try {
                change(hive);
                kept.push_back(std::move(change));
            } catch (const ERegistryException&) {
            }
        }
        pending = std::move(kept);
    }
    return hive;
}

// Reads: the hive, current; a damaged hive raises its parse error.
const THive& ForRead(HKEY root) {
    THive& hive = Refresh(root);
    if (!hive.Damage.empty()) throw ERegistryException(hive.Damage);
    return hive;
}

// The hive's file lock, held while it lives, with the hive brought up to date under it.
class THiveLock {
public:
    explicit THiveLock(HKEY root);
    ~THiveLock() { close(FFd); }
    THiveLock(const THiveLock&) = delete;
    THiveLock& operator=(const THiveLock&) = delete;
    // Writes the hive whole (temporary file renamed over the old one) and counts the write.
    void Write();
    THive* Hive = nullptr;

private:
    HKEY FRoot;
    std::string FFile;
    int FFd = -1;
    uint64_t FGeneration = 0;
};

THiveLock::THiveLock(HKEY root) : FRoot(root), FFile(HostHiveFile(root)) {
    const std::string& file = FFile;
    int lockFd = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd < 0 && errno == ENOENT) {
        // The first write of a machine makes the registry folder.
        std::error_code ec;
        std::filesystem::create_directories(CurrentWinEnv().Root + "/registry", ec);
        lockFd = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    if (lockFd < 0)
        throw ERegistryException(Format("Cannot lock the hive %s: %s", file, strerror(errno)));
    FFd = lockFd;
    TScopeExit closeOnFailure([this] {
        if (!Hive) close(FFd);
    });
    while (flock(lockFd, LOCK_EX) != 0)
        if (errno != EINTR)
            throw ERegistryException(Format("Cannot lock the hive %s: %s", file, strerror(errno)));
    uint64_t generation = 0;
    if (pread(lockFd, &generation, sizeof generation, 0) != sizeof generation) generation = 0;
    if (Store()[file].Generation != generation) Store()[file].Loaded = false;
    THive& hive = Refresh(root);
    hive.Generation = generation;
    FGeneration = generation;
    if (!hive.Damage.empty()) throw ERegistryException(hive.Damage);
    Hive = &hive;
}

void THiveLock::Write() {
    const std::string& file = FFile;
    THive& hive = *Hive;
    // A failure below leaves memory ahead of the file: force a re-read next time.
    bool written = false;
    TScopeExit forget([&] {
        if (!written) hive.Loaded = false;
    });
    std::string text = Serialize(hive, FRoot);
    std::string temp = file + ".tmp" + IntToStr(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw ERegistryException(Format("Cannot write the hive %s: %s", file, strerror(errno)));
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = errno;
            close(fd);
            unlink(temp.c_str());
            throw ERegistryException(Format("Cannot write the hive %s: %s", file, strerror(e)));
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (rename(temp.c_str(), file.c_str()) != 0) {
        int e = errno;
        unlink(temp.c_str());
        throw ERegistryException(Format("Cannot write the hive %s: %s", file, strerror(e)));
    }
    struct stat st;
    if (StampOf(file, st)) {
        hive.Inode = st.st_ino;
        hive.MTimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        hive.Size = st.st_size;
        written = true;
    }
    ++FGeneration;
    if (pwrite(FFd, &FGeneration, sizeof FGeneration, 0) == sizeof FGeneration)
        hive.Generation = FGeneration;
    else
        hive.Loaded = false;
}

// The hives whose lock this process holds for a read-modify-write (TRegHiveUpdate), per hive
// file: the lock, the nesting depth, and whether anything changed.
struct THeldHive {
    std::unique_ptr<THiveLock> Lock;
    int Depth = 0;
    bool Dirty = false;
};
std::map<std::string, THeldHive>& Held() {
    static std::map<std::string, THeldHive> held;
    return held;
}

// Runs change on the current hive. Under a held lock: in memory, written at the hold's end.
// Outside a batch: under the hive's file lock, then the hive
// is written whole. Inside one: in memory, kept for the batch's write (change must own what it
// uses: it may run again on a re-read hive).
template <typename F>
auto Modify(HKEY root, F change) {
    auto held = Held().find(HostHiveFile(root));
    if (held != Held().end()) {
        // Under a held lock the hive is the file's current state: change it in memory, written
        // at the hold's end.
        auto result = change(*held->second.Lock->Hive);
        held->second.Dirty = true;
        return result;
    }
    if (BatchDepth() > 0) {
        std::string file = HostHiveFile(root);
        THive& hive = Refresh(root);
        if (!hive.Damage.empty()) throw ERegistryException(hive.Damage);
        auto result = change(hive);
        PendingChanges()[file].push_back([change](THive& h) { (void)change(h); });
        return result;
    }
    THiveLock lock(root);
    bool done = false;
    TScopeExit forget([&] {
        if (!done) lock.Hive->Loaded = false;
    });
    auto result = change(*lock.Hive);
    lock.Write();
    done = true;
    // The hive in memory carried any unwritten changes of this process: they are in the file now.
    PendingChanges().erase(HostHiveFile(root));
    return result;
}

// Writes the batch's changes of every hive (each once, under its lock; a hive another process
// replaced meanwhile is re-read and the changes applied on top). Store guard held.
void WritePendingLocked() {
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                      HKEY_CURRENT_CONFIG, HKEY_DYN_DATA}) {
        std::string file = HostHiveFile(root);
        auto it = PendingChanges().find(file);
        if (it == PendingChanges().end() || it->second.empty()) continue;
        if (Held().count(file)) continue; // written at the hold's end
        THiveLock lock(root);
        lock.Write();
        PendingChanges().erase(file);
    }
}

std::string CleanPath(const std::string& path) {
    std::string p = path;
    while (!p.empty() && p.front() == '\\')
        p.erase(0, 1);
    while (!p.empty() && p.back() == '\\')
        p.pop_back();
    return p;
}

void CheckKeyName(const std::string& path) {
    for (unsigned char c : path)
        if (c < 0x20) throw ERegistryException(Format("Invalid key name '%s'", path));
    if (path.find("\\\\") != std::string::npos)
        throw ERegistryException(Format("Invalid key name '%s'", path));
}

} // namespace

std::string RootKeyShortName(HKEY root) {
    switch (root) {
    case HKEY_CLASSES_ROOT: return "HKCR";
    case HKEY_CURRENT_USER: return "HKCU";
    case HKEY_LOCAL_MACHINE: return "HKLM";
    case HKEY_USERS: return "HKU";
    case HKEY_CURRENT_CONFIG: return "HKCC";
    case HKEY_DYN_DATA: return "HKDD";
    default: throw ERegistryException(Format("Invalid root key %x", static_cast<uint64_t>(root)));
    }
}

std::string HiveFileName(HKEY root) { return HostHiveFile(root); }

bool RegKeyExists(HKEY root, const std::string& path) {
    std::lock_guard<std::mutex> lock(StoreGuard());
    return ForRead(root).Keys.count(FoldName(CleanPath(path))) > 0;
}

void RegCreateKey(HKEY root, const std::string& path) {
    std::string p = CleanPath(path);
    CheckKeyName(p);
    std::lock_guard<std::mutex> lock(StoreGuard());
    if (ForRead(root).Keys.count(FoldName(p))) return;
    Modify(root, [p](THive& hive) {
        // Every missing ancestor too, each keeping the case of its first creation.
        size_t pos = 0;
        while (true) {
            size_t slash = p.find('\\', pos);
            std::string part = slash == std::string::npos ? p : p.substr(0, slash);
            std::string folded = FoldName(part);
            auto it = hive.Keys.find(folded);
            std::string path = part;
            if (folded.find('\\') != std::string::npos) {
                // Keep the parent's stored case for the leading components.
                size_t last = part.find_last_of('\\');
                path = hive.Keys[FoldName(part.substr(0, last))].Path + part.substr(last);
            }
            if (it == hive.Keys.end()) hive.Keys[folded].Path = path;
            if (slash == std::string::npos) break;
            pos = slash + 1;
        }
        return 0;
    });
}

namespace {
std::function<void()>& DeleteKeyHook() {
    static std::function<void()> hook;
    return hook;
}
} // namespace

void SetRegDeleteKeyHook(std::function<void()> hook) { DeleteKeyHook() = std::move(hook); }

bool RegDeleteKey(HKEY root, const std::string& path) {
    std::string p = CleanPath(path);
    if (p.empty()) return false;
    std::lock_guard<std::mutex> lock(StoreGuard());
    std::string folded = FoldName(p);
    const THive& current = ForRead(root);
    auto it = current.Keys.find(folded);
    if (it == current.Keys.end()) return false;
    // A key with subkeys stays; checked again under the hive's lock, where no other process
    // can add a subkey between the check and the erase.
    auto hasSubKeys = [folded](const THive& hive) {
        for (auto& [k, node] : hive.Keys)
            if (k.size() > folded.size() && k.compare(0, folded.size() + 1, folded + "\\") == 0)
                return true;
        return false;
    };
    if (hasSubKeys(current)) return false;
    if (DeleteKeyHook()) DeleteKeyHook()();
    return Modify(root, [hasSubKeys, folded](THive& hive) {
        return !hasSubKeys(hive) && hive.Keys.erase(folded) > 0;
    });
}

std::vector<std::string> RegSubKeyNames(HKEY root, const std::string& path) {
    std::lock_guard<std::mutex> lock(StoreGuard());
    std::string folded = FoldName(CleanPath(path));
    std::string prefix = folded.empty() ? "" : folded + "\\";
    std::vector<std::string> names;
    for (auto& [k, node] : ForRead(root).Keys) {
        if (k.empty() || k.size() <= prefix.size() || k.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (k.find('\\', prefix.size()) != std::string::npos) continue;
        names.push_back(node.Path.substr(node.Path.size() - (k.size() - prefix.size())));
    }
    return names;
}

std::vector<std::string> RegValueNames(HKEY root, const std::string& path) {
    std::lock_guard<std::mutex> lock(StoreGuard());
    std::vector<std::string> names;
    const THive& hive = ForRead(root);
    auto it = hive.Keys.find(FoldName(CleanPath(path)));
    if (it != hive.Keys.end())
        for (const TRegValue& v : it->second.Values)
            names.push_back(v.Name);
    return names;
}

std::optional<TRegValue> RegQueryValue(HKEY root, const std::string& path,
                                       const std::string& name) {
    std::lock_guard<std::mutex> lock(StoreGuard());
    const THive& hive = ForRead(root);
    auto it = hive.Keys.find(FoldName(CleanPath(path)));
    if (it == hive.Keys.end()) return std::nullopt;
    TRegValue* v = const_cast<TKeyNode&>(it->second).Find(name);
    if (!v) return std::nullopt;
    return *v;
}

void RegSetValue(HKEY root, const std::string& path, const TRegValue& value) {
    std::string folded = FoldName(CleanPath(path));
    std::lock_guard<std::mutex> lock(StoreGuard());
    Modify(root, [folded, value](THive& hive) {
        auto it = hive.Keys.find(folded);
        if (it == hive.Keys.end())
            throw ERegistryException(Format("Failed to set data for '%s'", value.Name));
        if (TRegValue* v = it->second.Find(value.Name)) {
            v->Type = value.Type;
            v->Data = value.Data;
            it->second.Changed(v);
        } else {
            it->second.Values.push_back(value);
            it->second.Index.emplace(FoldName(value.Name), it->second.Values.size() - 1);
            it->second.Appended();
        }
        return 0;
    });
}

bool RegDeleteValue(HKEY root, const std::string& path, const std::string& name) {
    std::string folded = FoldName(CleanPath(path));
    std::lock_guard<std::mutex> lock(StoreGuard());
    {
        const THive& hive = ForRead(root);
        auto it = hive.Keys.find(folded);
        if (it == hive.Keys.end() || !const_cast<TKeyNode&>(it->second).Find(name)) return false;
    }
    return Modify(root, [folded, name](THive& hive) {
        auto it = hive.Keys.find(folded);
        if (it == hive.Keys.end()) return false;
        std::string f = FoldName(name);
        size_t before = it->second.Values.size();
        std::erase_if(it->second.Values, [&](const TRegValue& v) { return FoldName(v.Name) == f; });
        it->second.Reindex();
        return it->second.Values.size() != before;
    });
}

void RegWritePending() {
    std::lock_guard<std::mutex> lock(StoreGuard());
    WritePendingLocked();
}

void RegBeginBatch() {
    std::lock_guard<std::mutex> lock(StoreGuard());
    ++BatchDepth();
}

void RegEndBatch() {
    std::lock_guard<std::mutex> lock(StoreGuard());
    if (BatchDepth() > 0 && --BatchDepth() == 0) {
        try {
            WritePendingLocked();
        } catch (...) {
            // The batch failed as a whole (the exception says so): its unwritten changes are
            // dropped, never replayed later over what other processes write meanwhile.
            for (auto& [file, changes] : PendingChanges())
                if (!changes.empty() && !Held().count(file)) Store()[file].Loaded = false;
            std::erase_if(PendingChanges(), [](auto& entry) { return !Held().count(entry.first); });
            throw;
        }
    }
}

TRegHiveUpdate::TRegHiveUpdate(HKEY root)
    : FFile(HostHiveFile(root)), FUncaught(std::uncaught_exceptions()) {
    std::lock_guard<std::mutex> lock(StoreGuard());
    THeldHive& held = Held()[FFile];
    if (held.Depth == 0) {
        try {
            held.Lock = std::make_unique<THiveLock>(root);
        } catch (...) {
            Held().erase(FFile);
            throw;
        }
        held.Dirty = false;
    }
    ++held.Depth;
}

TRegHiveUpdate::~TRegHiveUpdate() noexcept(false) {
    std::lock_guard<std::mutex> lock(StoreGuard());
    auto it = Held().find(FFile);
    if (it == Held().end() || --it->second.Depth > 0) return;
    THeldHive held = std::move(it->second);
    Held().erase(it);
    THive& hive = *held.Lock->Hive;
    if (std::uncaught_exceptions() > FUncaught) {
        // The update failed: what it changed is dropped (re-read next time, with this
        // process's pending batch changes on top).
        if (held.Dirty) hive.Loaded = false;
        return;
    }
    if (!held.Dirty) return;
    held.Lock->Write();
    PendingChanges().erase(FFile);
}

bool RegHasPendingWrites() {
    std::lock_guard<std::mutex> lock(StoreGuard());
    for (auto& [file, changes] : PendingChanges())
        if (!changes.empty()) return true;
    return false;
}

TRegWriteBatch::~TRegWriteBatch() noexcept(false) {
    if (std::uncaught_exceptions() > FUncaught) {
        try {
            RegEndBatch();
        } catch (const std::exception&) {
            // The exception on its way is the one reported.
        }
    } else {
        RegEndBatch();
    }
}

void RegFlushHive(HKEY root) {
    RegWritePending();
    std::string file = HostHiveFile(root);
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return; // nothing written yet
    fsync(fd);
    close(fd);
    int dir = open((CurrentWinEnv().Root + "/registry").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

void RegFlushAllHives() {
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                      HKEY_CURRENT_CONFIG, HKEY_DYN_DATA})
        RegFlushHive(root);
}

std::string RegHiveText(HKEY root) {
    std::lock_guard<std::mutex> lock(StoreGuard());
    return Serialize(ForRead(root), root);
}

void RegCheckHiveText(const std::string& text, const std::string& fileName) {
    Parse(text, fileName);
}

// ---- TRegistry -----------------------------------------------------------------------------

void TRegistry::SetRootKey(HKEY root) {
    RootKeyShortName(root); // validates
    CloseKey();
    FRootKey = root;
}

std::string TRegistry::FullPath(const std::string& key) const {
    if (!key.empty() && key[0] == '\\') return CleanPath(key);
    std::string rel = CleanPath(key);
    if (!FKeyOpen || FCurrentPath.empty()) return rel;
    return rel.empty() ? FCurrentPath : FCurrentPath + "\\" + rel;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    std::string path = FullPath(key);
    if (!RegKeyExists(FRootKey, path)) {
        if (!canCreate) return false;
        RegCreateKey(FRootKey, path);
    }
    // The stored case of the key becomes the current path.
    CloseKey();
    FCurrentPath = path;
    FKeyOpen = true;
    FReadOnly = false;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    if (!OpenKey(key, false)) return false;
    FReadOnly = true;
    return true;
}

void TRegistry::CloseKey() {
    if (FKeyOpen && !FLazyWrite && !FReadOnly) RegFlushHive(FRootKey);
    FKeyOpen = false;
    FReadOnly = false;
    FCurrentPath.clear();
}

bool TRegistry::CreateKey(const std::string& key) {
    try {
        RegCreateKey(FRootKey, FullPath(key));
        return true;
    } catch (const ERegistryException&) {
        throw ERegistryException(Format("Failed to create key %s", key));
    }
}

bool TRegistry::DeleteKey(const std::string& key) {
    std::string path = FullPath(key);
    bool closed = FKeyOpen && SameName(path, FCurrentPath);
    if (closed) CloseKey();
    return RegDeleteKey(FRootKey, path);
}

bool TRegistry::KeyExists(const std::string& key) const {
    return RegKeyExists(FRootKey, FullPath(key));
}

bool TRegistry::ValueExists(const std::string& name) const {
    return FKeyOpen && RegQueryValue(FRootKey, FCurrentPath, name).has_value();
}

bool TRegistry::HasSubKeys() const {
    return FKeyOpen && !RegSubKeyNames(FRootKey, FCurrentPath).empty();
}

void TRegistry::GetKeyNames(TStrings& list) const {
    list.Clear();
    if (!FKeyOpen) return;
    for (const std::string& name : RegSubKeyNames(FRootKey, FCurrentPath))
        list.Add(name);
}

void TRegistry::GetValueNames(TStrings& list) const {
    list.Clear();
    if (!FKeyOpen) return;
    for (const std::string& name : RegValueNames(FRootKey, FCurrentPath))
        list.Add(name);
}

TRegDataType TRegistry::GetDataType(const std::string& name) const {
    if (!FKeyOpen) return rdUnknown;
    auto v = RegQueryValue(FRootKey, FCurrentPath, name);
    return v ? v->Type : rdUnknown;
}

bool TRegistry::DeleteValue(const std::string& name) {
    return FKeyOpen && !FReadOnly && RegDeleteValue(FRootKey, FCurrentPath, name);
}

TRegValue TRegistry::GetValue(const std::string& name, TRegDataType type,
                              TRegDataType alt) const {
    std::optional<TRegValue> v;
    if (FKeyOpen) v = RegQueryValue(FRootKey, FCurrentPath, name);
    if (!v) throw ERegistryException(Format("Failed to get data for '%s'", name));
    if (v->Type != type && v->Type != alt)
        throw ERegistryException(Format("Invalid data type for '%s'", name));
    return *v;
}

void TRegistry::PutValue(const TRegValue& value) {
    if (!FKeyOpen || FReadOnly)
        throw ERegistryException(Format("Failed to set data for '%s'", value.Name));
    try {
        RegSetValue(FRootKey, FCurrentPath, value);
    } catch (const ERegistryException&) {
        throw ERegistryException(Format("Failed to set data for '%s'", value.Name));
    }
}

std::string TRegistry::ReadString(const std::string& name) const {
    if (!FKeyOpen || !RegQueryValue(FRootKey, FCurrentPath, name)) return "";
    return GetValue(name, rdString, rdExpandString).Data;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    PutValue({name, rdString, value});
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
    PutValue({name, rdExpandString, value});
}

int32_t TRegistry::ReadInteger(const std::string& name) const {
    TRegValue v = GetValue(name, rdInteger, rdInteger);
    int32_t n = 0;
    std::memcpy(&n, v.Data.data(), std::min<size_t>(4, v.Data.size()));
    return n;
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
    PutValue({name, rdInteger, std::string(reinterpret_cast<const char*>(&value), 4)});
}

bool TRegistry::ReadBool(const std::string& name) const { return ReadInteger(name) != 0; }

void TRegistry::WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }

double TRegistry::ReadFloat(const std::string& name) const {
    TRegValue v = GetValue(name, rdBinary, rdBinary);
    if (v.Data.size() != sizeof(double))
        throw ERegistryException(Format("Invalid data type for '%s'", name));
    double d;
    std::memcpy(&d, v.Data.data(), sizeof d);
    return d;
}

void TRegistry::WriteFloat(const std::string& name, double value) {
    PutValue({name, rdBinary, std::string(reinterpret_cast<const char*>(&value), sizeof value)});
}

std::string TRegistry::ReadBinaryData(const std::string& name) const {
    return GetValue(name, rdBinary, rdBinary).Data;
}

void TRegistry::WriteBinaryData(const std::string& name, const std::string& data) {
    PutValue({name, rdBinary, data});
}

void TRegistry::ReadMultiString(const std::string& name, std::vector<std::string>& strings) const {
    strings.clear();
    std::string data = GetValue(name, rdMultiString, rdMultiString).Data;
    if (data.empty()) return;
    size_t start = 0;
    while (true) {
        size_t end = data.find('\0', start);
        strings.push_back(data.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

void TRegistry::WriteMultiString(const std::string& name, const std::vector<std::string>& strings) {
    std::string data;
    for (size_t i = 0; i < strings.size(); ++i) {
        if (i) data += '\0';
        data += strings[i];
    }
    PutValue({name, rdMultiString, data});
}

} // namespace zan
