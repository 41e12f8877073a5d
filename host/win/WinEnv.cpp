#include "host/win/WinEnv.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinIni.h"
#include "host/win/WinPaths.h"

namespace zan {

namespace {

struct TErrorText {
    uint32_t Code;
    const char* Text;
};
constexpr TErrorText ErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
};

// Decodes one UTF-8 sequence at i; answers the code point or -1 for an invalid byte.
int32_t DecodeAt(std::string_view s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        ++i;
        return c;
    }
    int len = (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
        ++i;
        return -1;
    }
    int32_t cp = c & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    i += len;
    return cp;
}

TWinEnv& Env() {
    static TWinEnv env;
    return env;
}
bool& EnvLoaded() {
    static bool loaded = false;
    return loaded;
}

std::string EnvFile(const std::string& root) { return root + "/winenv.ini"; }

void LoadFrom(const std::string& root) {
    TWinEnv env;
    env.Root = root;
    std::ifstream in(EnvFile(root), std::ios::binary);
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        ParseWinEnv(text.str(), EnvFile(root), env);
    }
    Env() = env;
    EnvLoaded() = true;
}

constexpr const char* PresetNames[] = {"95", "98", "ME", "NT4", "2000", "XP"};

} // namespace

std::string WinErrorMessage(uint32_t code) {
    for (const TErrorText& t : ErrorTexts)
        if (t.Code == code) return t.Text;
    return Format("System error %u.", code);
}

uint32_t WinErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EROFS: case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOEXEC: return ERROR_BAD_FORMAT;
    case EBUSY: case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

EWinError::EWinError(uint32_t code, const std::string& subject)
    : Exception(subject.empty() ? WinErrorMessage(code) : WinErrorMessage(code) + ": " + subject),
      Code(code) {}

void RaiseWinError(uint32_t code, const std::string& subject) { throw EWinError(code, subject); }

std::string FoldName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    size_t i = 0;
    while (i < name.size()) {
        size_t start = i;
        int32_t cp = DecodeAt(name, i);
        if (cp >= 'A' && cp <= 'Z') {
            out += static_cast<char>(cp + 32);
        } else if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) {
            cp += 0x20; // Latin-1 capitals: two-byte sequences C3 80..C3 9E -> C3 A0..C3 BE
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out.append(name.substr(start, i - start));
        }
    }
    return out;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a == b) return true;
    return FoldName(a) == FoldName(b);
}

TWinVersion TWinEnv::Version() const {
    switch (Preset) {
    case wp95: return {1, 4, 0, 950};
    case wp98: return {1, 4, 10, 1998};
    case wpME: return {1, 4, 90, 3000};
    case wpNT4: return {2, 4, 0, 1381};
    case wp2000: return {2, 5, 0, 2195};
    case wpXP: break;
    }
    return {2, 5, 1, 2600};
}

TFolderLayout TWinEnv::EffectiveLayout() const {
    if (Layout != flPreset) return Layout;
    return IsNT() ? flNT : fl9x;
}

std::string TWinEnv::WindowsDir() const {
    return (Preset == wpNT4 || Preset == wp2000) ? "C:\\WINNT" : "C:\\WINDOWS";
}

std::string TWinEnv::SystemDir() const {
    return WindowsDir() + (IsNT() ? "\\system32" : "\\SYSTEM");
}

bool TWinEnv::IsInUse(const std::string& normalisedWinPath) const {
    for (const std::string& p : InUse)
        if (SameName(p, normalisedWinPath)) return true;
    return false;
}

std::string PresetName(TWinPreset preset) { return PresetNames[preset]; }

TWinPreset PresetFromName(const std::string& name) {
    for (int i = 0; i < 6; ++i)
        if (SameName(PresetNames[i], name)) return static_cast<TWinPreset>(i);
    if (SameName(name, "Windows 2000") || SameName(name, "2K")) return wp2000;
    throw EWinEnvError(Format("Unknown Windows preset \"%s\"", name));
}

std::string DefaultSandboxRoot() {
    if (const char* s = std::getenv(SandboxVariable); s && *s) return s;
    std::string base;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        base = x;
    else if (const char* h = std::getenv("HOME"); h && *h)
        base = std::string(h) + "/.local/share";
    else
        base = "/tmp";
    return base + "/OrvexDemoInstall";
}

TWinEnv& CurrentWinEnv() {
    if (!EnvLoaded()) LoadFrom(DefaultSandboxRoot());
    return Env();
}

void UseSandbox(const std::string& root) {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    std::string absolute = std::filesystem::absolute(root, ec).lexically_normal().string();
    while (absolute.size() > 1 && absolute.back() == '/')
        absolute.pop_back();
    setenv(SandboxVariable, absolute.c_str(), 1);
    LoadFrom(absolute);
}

void ReloadWinEnv() { LoadFrom(CurrentWinEnv().Root); }

std::string SandboxRealRoot() {
    // Resolved again each time: the root may have been created since the settings were read.
    char real[PATH_MAX];
    const std::string& root = CurrentWinEnv().Root;
    return realpath(root.c_str(), real) ? std::string(real) : root;
}

uint16_t LangIDFromLocale(const std::string& locale) {
    struct TRow {
        const char* Prefix;
        uint16_t Id;
    };
    // Longer prefixes first: a country variant before its language.
    static const TRow rows[] = {
        {"zh_TW", 4 | 1 << 10}, {"zh_HK", 4 | 1 << 10}, {"zh_CN", 4 | 2 << 10}, {"zh_SG", 4 | 2 << 10},
        {"pt_BR", 22 | 1 << 10}, {"pt", 22 | 2 << 10},  {"nb", 20 | 1 << 10},   {"no", 20 | 1 << 10},
        {"nn", 20 | 2 << 10},    {"zh", 4 | 2 << 10},   {"de", 0x0407},         {"fr", 0x040C},
        {"en", 0x0409},          {"es", 0x040A},        {"it", 0x0410},         {"nl", 0x0413},
        {"sv", 0x041D},          {"da", 0x0406},        {"fi", 0x040B},         {"ja", 0x0411},
        {"ko", 0x0412},          {"ru", 0x0419},        {"pl", 0x0415},         {"cs", 0x0405},
        {"hu", 0x040E},          {"tr", 0x041F},        {"el", 0x0408},
    };
    for (const TRow& row : rows) {
        std::string_view prefix = row.Prefix;
        if (locale.compare(0, prefix.size(), prefix) != 0) continue;
        // The language must end there ("de" matches "de_AT" and "de", not "dev").
        if (locale.size() == prefix.size() || prefix.size() > 2 || locale[prefix.size()] == '_' ||
            locale[prefix.size()] == '.' || locale[prefix.size()] == '@')
            return row.Id;
    }
    return 0x0409;
}

uint16_t WinGetUserDefaultLangID() {
    if (uint16_t id = CurrentWinEnv().LangID) return id;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = std::getenv(name); value && *value) return LangIDFromLocale(value);
    return 0x0409;
}

int WinCompareText(std::string_view a, std::string_view b) {
    return FoldName(a).compare(FoldName(b));
}

void ParseWinEnv(const std::string& text, const std::string& fileName, TWinEnv& env) {
    TIniText ini;
    try {
        ini = TIniText::Parse(text, fileName);
    } catch (const EIniFileError& e) {
        throw EWinEnvError(e.Message());
    }
    std::string section;
    auto bad = [&](const std::string& key, const std::string& value) {
        throw EWinEnvError(Format("%s(%d): bad value \"%s\" for %s", fileName,
                                  ini.LineOf(section, key), value, key));
    };
    section = "Machine";
    for (auto& [key, value] : ini.Pairs(section)) {
        if (SameName(key, "Windows")) {
            try {
                env.Preset = PresetFromName(value);
            } catch (const EWinEnvError&) {
                bad(key, value);
            }
        } else if (SameName(key, "User")) {
            env.UserName = value;
        } else if (SameName(key, "LangID")) {
            int64_t id;
            std::string hex = "$";
            hex += value;
            if (!TryStrToInt64(hex, id) || id < 0 || id > 0xFFFF) bad(key, value);
            env.LangID = static_cast<uint16_t>(id);
        } else if (SameName(key, "Layout")) {
            if (SameName(value, "preset")) env.Layout = flPreset;
            else if (SameName(value, "nt")) env.Layout = flNT;
            else if (SameName(value, "9x")) env.Layout = fl9x;
            else bad(key, value);
        } else if (SameName(key, "RebootMode")) {
            if (SameName(value, "simulate")) env.RebootMode = rmSimulate;
            else if (SameName(value, "fail")) env.RebootMode = rmFail;
            else bad(key, value);
        } else if (SameName(key, "PromptScript")) {
            env.PromptScript = value;
        } else {
            bad(key, value);
        }
    }
    section = "Disks";
    for (auto& [key, value] : ini.Pairs(section)) {
        int64_t n;
        if (!TryStrToInt64(value, n) || n < 1) bad(key, value);
        if (SameName(key, "Capacity")) env.DiskCapacity = static_cast<uint64_t>(n);
        else if (SameName(key, "Disk") && n < 10000) env.Disk = static_cast<int>(n);
        else bad(key, value);
    }
    section = "InUse";
    for (auto& [key, value] : ini.Pairs(section)) {
        try {
            env.InUse.push_back(NormalizeWinPath(value));
        } catch (const EWinError&) {
            bad(key, value);
        }
    }
    for (auto& [key, value] : ini.Pairs("Resolver"))
        env.Resolver[key] = value;
    section = "Network";
    for (auto& [key, value] : ini.Pairs(section)) {
        if (SameName(key, "Library")) {
            if (value.empty()) bad(key, value);
            env.InternetLibrary = value;
            continue;
        }
        int64_t n;
        int64_t most = SameName(key, "TransferTimeout") ? 86400 : 3600;
        if (!TryStrToInt64(value, n) || n < 1 || n > most) bad(key, value);
        if (SameName(key, "ConnectTimeout")) env.ConnectTimeout = static_cast<int>(n);
        else if (SameName(key, "StallTimeout")) env.StallTimeout = static_cast<int>(n);
        else if (SameName(key, "TransferTimeout")) env.TransferTimeout = static_cast<int>(n);
        else bad(key, value);
    }
}

std::string SerializeWinEnv(const TWinEnv& env) {
    TIniText ini;
    ini.Write("Machine", "Windows", PresetName(env.Preset));
    ini.Write("Machine", "User", env.UserName);
    ini.Write("Machine", "LangID", IntToHex(env.LangID, 4));
    ini.Write("Machine", "Layout", env.Layout == flPreset ? "preset" : env.Layout == flNT ? "nt" : "9x");
    ini.Write("Machine", "RebootMode", env.RebootMode == rmSimulate ? "simulate" : "fail");
    ini.Write("Machine", "PromptScript", env.PromptScript);
    ini.Write("Disks", "Capacity", IntToStr(env.DiskCapacity));
    ini.Write("Disks", "Disk", IntToStr(env.Disk));
    for (size_t i = 0; i < env.InUse.size(); ++i)
        ini.Write("InUse", IntToStr(i + 1), env.InUse[i]);
    for (auto& [host, address] : env.Resolver)
        ini.Write("Resolver", host, address);
    ini.Write("Network", "Library", env.InternetLibrary);
    ini.Write("Network", "ConnectTimeout", IntToStr(env.ConnectTimeout));
    ini.Write("Network", "StallTimeout", IntToStr(env.StallTimeout));
    ini.Write("Network", "TransferTimeout", IntToStr(env.TransferTimeout));
    return ini.Serialize();
}

void SaveWinEnv() {
    const TWinEnv& env = CurrentWinEnv();
    std::error_code ec;
    std::filesystem::create_directories(env.Root, ec);
    std::string target = EnvFile(env.Root);
    // Settings that would not load again are refused before anything is written.
    std::string text = SerializeWinEnv(env);
    TWinEnv check;
    ParseWinEnv(text, target, check);
    std::string temp = target + ".tmp" + IntToStr(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) RaiseWinError(ERROR_GEN_FAILURE, target);
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        int e = errno;
        unlink(temp.c_str());
        RaiseWinError(WinErrorFromErrno(e), target);
    }
}

} // namespace zan
