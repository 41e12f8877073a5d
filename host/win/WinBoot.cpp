#include "host/win/WinBoot.h"

#include <fstream>
#include <unistd.h>

#include "host/rtl/Format.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinIni.h"
#include "host/win/WinPaths.h"
#include "host/win/WinProcess.h"
#include "host/win/WinRegistry.h"

namespace zan {

namespace {

std::string MarkerFile() { return CurrentWinEnv().Root + "/reboot.requested"; }

// "\??\C:\x" and "!\??\C:\x" (replace existing) as Windows records them.
std::string StripNtPrefix(std::string path, bool* replace = nullptr) {
    if (replace) *replace = false;
    if (!path.empty() && path[0] == '!') {
        path.erase(0, 1);
        if (replace) *replace = true;
    }
    if (path.rfind("\\??\\", 0) == 0) path.erase(0, 4);
    return path;
}

void DoPendingRenames(std::vector<std::string>& report) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!reg.OpenKey(SessionManagerKey, false) || !reg.ValueExists(PendingRenamesValue)) return;
    std::vector<std::string> list;
    try {
        reg.ReadMultiString(PendingRenamesValue, list);
    } catch (const Exception& e) {
        report.push_back("PendingFileRenameOperations: " + e.Message());
    }
    reg.DeleteValue(PendingRenamesValue);
    if (list.size() % 2) {
        report.push_back("PendingFileRenameOperations: odd number of entries, last one skipped: " +
                         list.back());
        list.pop_back();
    }
    for (size_t i = 0; i < list.size(); i += 2) {
        bool replace = false;
        std::string source = StripNtPrefix(list[i]);
        std::string target = StripNtPrefix(list[i + 1], &replace);
        try {
            if (target.empty()) {
                WinDeleteFile(source);
            } else {
                // The move replaces the target itself, so a move that fails leaves it as it was.
                WinMoveFile(source, target, replace);
            }
        } catch (const Exception& e) {
            report.push_back(Format("pending rename %s -> %s: %s", source, target, e.Message()));
        }
    }
}

void DoWinInit(std::vector<std::string>& report) {
    std::string file = WinJoin(WinGetWindowsDirectory(), "WININIT.INI");
    if (!WinFileExists(file)) return;
    try {
        // An odd line is reported and skipped; the other entries are still done.
        std::vector<std::string> skipped;
        TIniText ini = TIniText::ParseSkipping(WinReadFile(file), file, skipped);
        for (const std::string& s : skipped)
            report.push_back("WININIT.INI: " + s);
        for (auto& [target, source] : ini.Pairs("Rename")) {
            try {
                if (SameName(target, "NUL")) {
                    WinDeleteFile(source);
                } else {
                    WinMoveFile(source, target, true);
                }
            } catch (const Exception& e) {
                report.push_back(Format("WININIT.INI %s=%s: %s", target, source, e.Message()));
            }
        }
    } catch (const Exception& e) {
        report.push_back("WININIT.INI: " + e.Message());
    }
    try {
        WinMoveFile(file, WinJoin(WinGetWindowsDirectory(), "WININIT.BAK"), true);
    } catch (const Exception& e) {
        report.push_back("WININIT.INI: " + e.Message());
    }
}

void DoRunOnce(HKEY root, std::vector<std::string>& report) {
    TRegistry reg;
    reg.SetRootKey(root);
    if (!reg.OpenKey(RunOnceKey, false)) return;
    TStringList names;
    reg.GetValueNames(names);
    for (int i = 0; i < names.Count(); ++i) {
        std::string name = names[i];
        std::string command;
        try {
            command = reg.ReadString(name);
        } catch (const Exception& e) {
            report.push_back(Format("RunOnce %s: %s", name, e.Message()));
        }
        // Deleted before it runs, so a program that fails or reboots again is not rerun.
        reg.DeleteValue(name);
        RegFlushHive(root);
        if (command.empty()) continue;
        try {
            size_t quotes = 0;
            for (char c : command)
                quotes += c == '"';
            if (quotes % 2) throw Exception("unbalanced quotes");
            int code = WinRunCommandLine(command, true, &report);
            if (code != 0) report.push_back(Format("RunOnce %s: exit code %d", name, code));
        } catch (const Exception& e) {
            report.push_back(Format("RunOnce %s: %s: %s", name, e.Message(), command));
        }
    }
}

} // namespace

bool WinRequestReboot() {
    RegFlushAllHives();
    if (CurrentWinEnv().RebootMode == rmFail) return false;
    std::ofstream marker(MarkerFile(), std::ios::trunc);
    marker << "reboot requested by " << getpid() << "\n";
    return static_cast<bool>(marker.flush());
}

bool WinRebootRequested() { return access(MarkerFile().c_str(), F_OK) == 0; }

void WinMoveFileDelayUntilReboot(const std::string& source, const std::string& target,
                                 bool replaceExisting) {
    std::string src = NormalizeWinPath(source);
    WinPathToHost(src, paWrite); // confinement: refused now, as the call itself would be
    std::string dst;
    if (!target.empty()) {
        dst = NormalizeWinPath(target);
        WinPathToHost(dst, paWrite);
        dst = (replaceExisting ? "!\\??\\" : "\\??\\") + dst;
    }
    // The list is shared with every other process: read, extend and written under the lock.
    TRegHiveUpdate update(HKEY_LOCAL_MACHINE);
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    reg.OpenKey(SessionManagerKey, true);
    std::vector<std::string> list;
    if (reg.ValueExists(PendingRenamesValue)) reg.ReadMultiString(PendingRenamesValue, list);
    list.push_back("\\??\\" + src);
    list.push_back(dst);
    reg.WriteMultiString(PendingRenamesValue, list);
}

void WinSimulateBoot(std::vector<std::string>& report) {
    TWinEnv& env = CurrentWinEnv();
    if (!env.InUse.empty()) {
        env.InUse.clear();
        SaveWinEnv();
    }
    unlink(MarkerFile().c_str());
    DoPendingRenames(report);
    DoWinInit(report);
    DoRunOnce(HKEY_LOCAL_MACHINE, report);
    DoRunOnce(HKEY_CURRENT_USER, report);
    RegFlushAllHives();
}

} // namespace zan
