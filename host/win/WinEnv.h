// The emulated Windows machine: a sandbox root directory on the host, and the machine's settings
// kept in "<root>/winenv.ini" so that processes started later see the same machine (Windows
// preset, user, language, folder layout, paths in use, floppy capacity and disk, reboot mode,
// name resolver, internet library and timeouts, prompt script). Also the errors of the emulated Windows calls (Windows error
// codes) and the one case-folding rule for names.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/Exceptions.h"

namespace zan {

// Windows error codes the stand-ins report.
enum : uint32_t {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_ACCESS_DENIED = 5,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_BAD_FORMAT = 11,
    ERROR_GEN_FAILURE = 31,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_FILE_EXISTS = 80,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_DISK_FULL = 112,
    ERROR_INVALID_NAME = 123,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206,
};

// The system's text for a Windows error code.
std::string WinErrorMessage(uint32_t code);
// The Windows code of an errno value.
uint32_t WinErrorFromErrno(int error);

// A refused emulated Windows call. The message is the system text, then ": " and the subject.
class EWinError : public Exception {
public:
    EWinError(uint32_t code, const std::string& subject);
    const char* ClassName() const noexcept override { return "EWinError"; }
    uint32_t Code;
};
[[noreturn]] void RaiseWinError(uint32_t code, const std::string& subject);

// The one case-folding rule for paths, registry names, INI names and translations: ASCII and
// Latin-1 letters of the decoded UTF-8 text map to lower case; other bytes stay as they are.
std::string FoldName(std::string_view name);
bool SameName(std::string_view a, std::string_view b);

// A machine setting that cannot be parsed: "<file>(<line>): <what>".
ZAN_EXCEPTION_CLASS(EWinEnvError, Exception);

enum TWinPreset : uint8_t { wp95, wp98, wpME, wpNT4, wp2000, wpXP };
enum TRebootMode : uint8_t { rmSimulate, rmFail };
enum TFolderLayout : uint8_t { flPreset, flNT, fl9x };

// Windows' version answer: platform 1 = Windows 95 family, 2 = NT family.
struct TWinVersion {
    uint32_t PlatformId = 2, Major = 5, Minor = 1, Build = 2600;
};

struct TWinEnv {
    std::string Root;               // host directory of the sandbox
    TWinPreset Preset = wpXP;
    std::string UserName = "User";
    uint16_t LangID = 0;            // 0: from the process locale
    TFolderLayout Layout = flPreset;
    std::vector<std::string> InUse; // normalised Windows paths whose delete fails
    uint64_t DiskCapacity = 1457664;
    int Disk = 1;                   // the disk in drive A:
    TRebootMode RebootMode = rmSimulate;
    std::map<std::string, std::string> Resolver; // host name -> address
    std::string InternetLibrary = "libcurl.so.4"; // the internet library, loaded by name
    int ConnectTimeout = 30;        // seconds to connect to a server
    int StallTimeout = 60;          // seconds a transfer may receive nothing
    int TransferTimeout = 3600;     // seconds one transfer may take in all (a dripping server)
    std::string PromptScript;       // host path of the headless prompt script

    TWinVersion Version() const;
    bool IsNT() const { return Preset >= wpNT4; }
    // The layout in force: flNT or fl9x.
    TFolderLayout EffectiveLayout() const;
    std::string WindowsDir() const; // "C:\WINDOWS" or "C:\WINNT"
    std::string SystemDir() const;  // "...\SYSTEM" (9x) or "...\system32" (NT)
    bool IsInUse(const std::string& normalisedWinPath) const;
};

// Names of the presets as winenv.ini spells them ("95", "98", "ME", "NT4", "2000", "XP").
std::string PresetName(TWinPreset preset);
TWinPreset PresetFromName(const std::string& name); // EWinEnvError for an unknown name

// The sandbox root: $ORVEX_SANDBOX, else ${XDG_DATA_HOME:-$HOME/.local/share}/OrvexDemoInstall.
std::string DefaultSandboxRoot();
inline constexpr const char* SandboxVariable = "ORVEX_SANDBOX";

// The machine of this process, loaded from the default root at first use.
TWinEnv& CurrentWinEnv();
// Makes root the sandbox of this process (and of the processes it starts) and loads its
// settings; a root without winenv.ini gets the defaults. The root directory is created.
void UseSandbox(const std::string& root);
// Re-reads the settings of the current root (another process may have changed them).
void ReloadWinEnv();
// Writes the current settings to "<root>/winenv.ini" (temp file and rename).
void SaveWinEnv();
// Parses winenv.ini text (fileName names it in errors) into env; unknown keys are refused.
void ParseWinEnv(const std::string& text, const std::string& fileName, TWinEnv& env);
std::string SerializeWinEnv(const TWinEnv& env);

// The real path of the root (symlinks resolved), as confinement checks compare it.
std::string SandboxRealRoot();

// The user's language id: the machine's setting, else from LC_ALL, LC_MESSAGES or LANG.
uint16_t WinGetUserDefaultLangID();
// The language id of a locale name ("de_DE.UTF-8" -> 0x0407); English (0x0409) when unknown.
uint16_t LangIDFromLocale(const std::string& locale);
// CompareStringA ignoring case: < 0, 0 or > 0 on the folded texts.
int WinCompareText(std::string_view a, std::string_view b);

} // namespace zan
