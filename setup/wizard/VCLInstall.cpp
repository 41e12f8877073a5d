#include "setup/wizard/VCLInstall.h"

#include <algorithm>

#include "host/rtl/StringList.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinFs.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

// ---- the setup log ----

namespace {

struct TSetupLogState {
    std::vector<std::string> Lines;
    std::string Directory;
    long Saves = 0;
};

std::unique_ptr<TSetupLogState>& LogState() {
    static std::unique_ptr<TSetupLogState> state;
    return state;
}

TSetupLogState& Log() {
    if (!LogState()) CreateSetupLog();
    return *LogState();
}

bool DirectoryExistsQuiet(const std::string& dir) {
    try {
        return !Trim(dir).empty() && WinDirectoryExists(dir);
    } catch (const std::exception&) {
        return false;
    }
}

bool FileExistsQuiet(const std::string& path) {
    try {
        return WinFileExists(path);
    } catch (const std::exception&) {
        return false;
    }
}

// The last component of a Windows path.
std::string FileNameOf(const std::string& path) {
    size_t at = path.find_last_of("\\/");
    return at == std::string::npos ? path : path.substr(at + 1);
}

// The directory of a Windows path, without a trailing "\".
std::string DirectoryOf(const std::string& path) {
    size_t at = path.find_last_of("\\/");
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

bool ContainsText(const std::string& text, const std::string& part) {
    return LowerCase(text).find(LowerCase(part)) != std::string::npos;
}

// The entries of a "," (or ";") list, trimmed, empty ones dropped.
std::vector<std::string> SplitTrimmed(const std::string& text, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        std::string item = Trim(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (!item.empty()) out.push_back(item);
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return out;
}

bool NameIn(const std::string& name, const std::vector<std::string>& names) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameText(n, name); });
}

struct TIDETable {
    const char* Key;
    const char* PaletteProduct;
    const char* Version;
    const char* Help;
    const char* LogName;
};

const TIDETable IDETable[ideCount] = {
    {"\\software\\Borland\\Delphi\\3.0", "Delphi", "\\3.0", "\\Help\\Delphi3.cfg", "Delphi 3"},
    {"\\software\\Borland\\Delphi\\4.0", "Delphi", "\\4.0", "\\Help\\delphi4.ohl", "Delphi 4"},
    {"\\software\\Borland\\Delphi\\5.0", "Delphi", "\\5.0", "\\Help\\delphi5.ohl", "Delphi 5"},
    {"\\software\\Borland\\Delphi\\6.0", "Delphi", "\\6.0", "\\Help\\delphi6.ohl", "Delphi 6"},
    {"\\software\\Borland\\C++Builder\\6.0", "C++Builder", "\\6.0", "\\Help\\bcb6.ohl", "Builder 6"},
    {"\\software\\Borland\\Delphi\\7.0", "Delphi", "\\7.0", "\\Help\\delphi7.ohl", "Delphi 7"},
};

void CheckIndex(int index) {
    if (index < 0 || index >= ideCount) throw Exception("IDE index " + std::to_string(index) + " out of range");
}

} // namespace

void CreateSetupLog() {
    LogState() = std::make_unique<TSetupLogState>();
    LogState()->Directory = GetTempDirectory();
}

void FreeSetupLog() { LogState().reset(); }

std::vector<std::string>& SetupLogLines() { return Log().Lines; }

void SetupLog(const std::string& line) { Log().Lines.push_back(line); }

void SetLogDirectory(const std::string& dir) { Log().Directory = dir; }

const std::string& GetLogDirectory() { return Log().Directory; }

std::string GetTempDirectory() { return AddTrailingBackslash(WinGetTempPath()); }

std::string GetLogFileName() {
    const std::string& dir = Log().Directory;
    if (DirectoryExistsQuiet(dir)) return AddTrailingBackslash(dir) + "instlog.txt";
    return GetTempDirectory() + "instlog.txt";
}

void SaveLog() {
    TSetupLogState& log = Log();
    ++log.Saves;
    try {
        std::string text;
        for (const std::string& line : log.Lines) text += line + "\r\n";
        WinWriteFile(GetLogFileName(), text);
    } catch (const std::exception&) {
        // The log is a courtesy: a folder that cannot take it never stops the install.
    }
}

long SetupLogSaves() { return Log().Saves; }

// ---- the registrar ----

std::string IDELogName(int index) {
    CheckIndex(index);
    return IDETable[index].LogName;
}

TPackageInstaller::TPackageInstaller() : FRegistry(std::make_unique<TRegistry>()) { Detect(); }

TPackageInstaller::~TPackageInstaller() = default;

TIDEInfo& TPackageInstaller::IDE(int index) {
    CheckIndex(index);
    return FIDEs[index];
}

void TPackageInstaller::GetIDEInfo(int index, TIDEInfo& info) const {
    CheckIndex(index);
    info = FIDEs[index];
}

void TPackageInstaller::Detect() {
    SetupLog("Starting find products");
    try {
        FRegistry->SetRootKey(HKEY_LOCAL_MACHINE);
        for (int index : {ideDelphi4, ideDelphi5, ideDelphi6, ideDelphi7, ideDelphi3, ideBuilder6}) {
            const TIDETable& t = IDETable[index];
            SetupLog(std::string("Looking for: ") + t.Key);
            if (!FRegistry->OpenKeyReadOnly(t.Key)) continue;
            SetupLog(std::string("Found ") + t.LogName + " installation");
            TIDEInfo& ide = FIDEs[index];
            FFound |= 1u << index;
            ide.Installed = true;
            ide.KeyPath = t.Key;
            ide.RootDir = FRegistry->ReadString("RootDir");
            ide.HelpFile = ide.RootDir + t.Help;
            FRegistry->CloseKey();
        }
    } catch (const std::exception& e) {
        FRegistry->CloseKey();
        SetupLog(std::string("Find products. Exception ") + e.what());
        SaveLog();
        throw;
    }
    SetupLog("Finished finding products");
}

void TPackageInstaller::InstallIntoPalette(int index, const std::string& page,
                                           const std::string& components) {
    const TIDETable& t = IDETable[(CheckIndex(index), index)];
    const std::string prefix = std::string("Install into palette. Product - ") + t.LogName;
    SetupLog(prefix);
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    try {
        std::string key = std::string("\\SOFTWARE\\Borland\\") + t.PaletteProduct + t.Version + "\\Palette";
        if (reg.OpenKey(key, false)) {
            SetupLog(prefix + ". Found Reg Key");
            std::vector<std::string> wanted = SplitTrimmed(components, ',');
            if (!reg.ValueExists(page)) {
                SetupLog(prefix + ". Updating Registry");
                std::string joined;
                for (const std::string& c : wanted) joined += (joined.empty() ? "" : ";") + c;
                reg.WriteString(page, joined);
            } else {
                std::string value = reg.ReadString(page);
                SetupLog(prefix + ". Existing components: " + value);
                // Membership is by whole entry: a name that only prefixes another is not there.
                std::vector<std::string> present = SplitTrimmed(value, ';');
                bool changed = false;
                for (const std::string& c : wanted) {
                    if (NameIn(c, present)) continue;
                    if (!value.empty() && value.back() != ';') value += ";";
                    value += c;
                    present.push_back(c);
                    changed = true;
                }
                if (changed) {
                    SetupLog(prefix + ". Updating Registry");
                    reg.WriteString(page, value);
                }
            }
            reg.CloseKey();
        }
        SetupLog(prefix + ". Completed");
    } catch (const std::exception& e) {
        SetupLog(prefix + ". Exception " + e.what());
        SaveLog();
        throw;
    }
}

void TPackageInstaller::InstallPackage(int index, const std::string& packagePath,
                                       const std::string& names, const std::string& description) {
    TIDEInfo& ide = IDE(index);
    const std::string logName = IDETable[index].LogName;
    SetupLog("Install into VCL. Product - " + logName + ".Installing component: " + packagePath);
    std::vector<std::string> packages = SplitTrimmed(names, ',');
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    try {
        // Every version of the package leaves the disabled list.
        if (reg.OpenKey(ide.KeyPath + "\\Disabled Packages", false)) {
            TStringList values;
            reg.GetValueNames(values);
            for (int i = 0; i < values.Count(); ++i)
                if (NameIn(FileNameOf(values[i]), packages)) reg.DeleteValue(values[i]);
            reg.CloseKey();
        }
        std::string known = ide.KeyPath + "\\Known Packages";
        if (!reg.OpenKey(known, false)) {
            SetupLog("Error: Unable to open key:" + known);
            return;
        }
        TStringList values;
        reg.GetValueNames(values);
        for (int i = 0; i < values.Count(); ++i)
            if (NameIn(FileNameOf(values[i]), packages)) {
                SetupLog("Deleting old package: " + values[i]);
                reg.DeleteValue(values[i]);
            }
        if (!reg.ValueExists(packagePath)) {
            SetupLog("Adding package: " + packagePath);
            try {
                reg.WriteString(packagePath, description);
            } catch (const std::exception&) {
                SetupLog("Exception: Unable to insert package:" + packagePath);
            }
        }
        reg.CloseKey();

        SetupLog("Install into VCL. Updating library path");
        const char* valueName = index == ideDelphi3 ? "SearchPath" : "Search Path";
        std::string current;
        if (reg.OpenKey(ide.KeyPath + "\\Library", false)) {
            try {
                current = reg.ReadString(valueName);
            } catch (const std::exception&) {
                current.clear();
            }
        }
        SetupLog("Install into VCL. Existing search path: " + current);
        TStringList entries;
        SplitDelimited(current, ';', entries);
        std::vector<std::string> path;
        // Empty entries name no folder and are dropped.
        for (int i = 0; i < entries.Count(); ++i)
            if (!Trim(entries[i]).empty()) path.push_back(Trim(entries[i]));
        std::string packageFile = FileNameOf(packagePath);
        auto holdsPackage = [&](const std::string& dir) {
            std::string d = AddTrailingBackslash(dir);
            if (FileExistsQuiet(d + packageFile)) return true;
            return std::any_of(packages.begin(), packages.end(),
                               [&](const std::string& n) { return FileExistsQuiet(d + n); });
        };
        for (size_t i = path.size(); i-- > 0;)
            if (holdsPackage(path[i])) path.erase(path.begin() + static_cast<long>(i));
        std::string packageDir = RemoveTrailingBackslash(DirectoryOf(packagePath));
        if (!NameIn(packageDir, path)) {
            SetupLog("Install into VCL. Installing component path: " + packageDir);
            path.push_back(packageDir);
        }
        std::string joined;
        for (size_t i = 0; i < path.size(); ++i) joined += (i ? ";" : "") + path[i];
        if (joined != current) {
            SetupLog("Install into VCL. Updating search path to: " + joined);
            try {
                if (reg.GetKeyOpen() || reg.OpenKey(ide.KeyPath + "\\Library", true))
                    reg.WriteString(valueName, joined);
            } catch (const std::exception&) {
                // The IDE keeps its old path; the package itself is registered.
            }
        } else {
            SetupLog("Install into VCL. Search path not required to update");
        }
        reg.CloseKey();
        SetupLog("Install into VCL. Product - " + logName + ". Completed");
    } catch (const std::exception& e) {
        SetupLog("Install into VCL. Product - " + logName + ". Exception " + e.what());
        SaveLog();
        throw;
    }
}

int TPackageInstaller::InstallHelp(int index, const std::string& helpFile) {
    TIDEInfo& ide = IDE(index);
    if (!FileExistsQuiet(ide.HelpFile)) return 255;
    std::string text = WinReadFile(ide.HelpFile);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t at = text.find('\n', start);
        std::string line = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (at == std::string::npos) break;
        start = at + 1;
    }
    bool linked = false;
    for (size_t i = lines.size(); i-- > 0;) {
        if (ContainsText(lines[i], helpFile)) {
            linked = true;
            break;
        }
        if (ContainsText(lines[i], "Third-party Help")) break;
    }
    if (!linked) {
        // Appended to the bytes as they are, in the file's own line ending.
        std::string eol = text.find("\r\n") != std::string::npos || text.find('\n') == std::string::npos ? "\r\n" : "\n";
        if (!text.empty() && text.back() != '\n') text += eol;
        text += ":Link " + helpFile + eol;
        WinWriteFile(ide.HelpFile, text);
    }
    std::string gid = ChangeWinFileExt(ide.HelpFile, ".gid");
    if (FileExistsQuiet(gid)) WinDeleteFile(gid);
    return 1;
}

void SeedDelphi7Installation(const std::string& rootDir) {
    const std::string key = IDETable[ideDelphi7].Key;
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    reg.OpenKey(key, true);
    reg.WriteString("RootDir", rootDir);
    reg.CloseKey();
    reg.SetRootKey(HKEY_CURRENT_USER);
    reg.OpenKey(key + "\\Known Packages", true);
    reg.WriteString("$(DELPHI)\\Bin\\dclstd70.bpl", "Borland Standard Components");
    reg.OpenKey(key + "\\Disabled Packages", true);
    reg.OpenKey(key + "\\Library", true);
    reg.WriteString("Search Path", "$(DELPHI)\\Lib;$(DELPHI)\\Bin;$(DELPHI)\\Imports");
    reg.OpenKey("\\SOFTWARE\\Borland\\Delphi\\7.0\\Palette", true);
    reg.WriteString("Data Access", "TDataSource;TClientDataSet");
    reg.CloseKey();
    WinForceDirectories(rootDir + "\\Help");
    WinWriteFile(rootDir + "\\Help\\delphi7.ohl", ":Link d7vcl.hlp\r\n:Link d7database.hlp\r\n");
    WinWriteFile(rootDir + "\\Help\\delphi7.gid", "index cache");
}

} // namespace zan
