// The IDE package registrar and the setup log.
//
// TPackageInstaller finds which supported IDEs (Delphi 3 to 7, C++Builder 6) the machine's
// registry knows, and registers the product's design package in a chosen one: the palette page,
// the known and disabled package lists, the library search path and the help configuration.
//
// The setup log is one process-wide list of lines and a log directory (the temp path until the
// product knows its destination). SaveLog rewrites "instlog.txt" whole, lines ending in CR LF,
// and never fails visibly. Registry paths and file paths stay in Windows form; files are reached
// only through the sandbox boundary (host/win).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/win/WinRegistry.h"

namespace zan {

// ---- the setup log ----

// Creates the log (empty) and sets the log directory to the temp path with a trailing "\".
// Called once at start-up; the accessors create it on first use when nothing did.
void CreateSetupLog();
void FreeSetupLog();
std::vector<std::string>& SetupLogLines();
void SetupLog(const std::string& line);
void SetLogDirectory(const std::string& dir);
const std::string& GetLogDirectory();
// The Windows temp path (with a trailing "\").
std::string GetTempDirectory();
// The log directory joined with "instlog.txt" when that directory exists, else the temp path's.
std::string GetLogFileName();
// Writes every line to GetLogFileName(); errors are ignored.
void SaveLog();
// How often SaveLog ran (for measurements).
long SetupLogSaves();

// ---- the registrar ----

enum : int { ideDelphi3, ideDelphi4, ideDelphi5, ideDelphi6, ideBuilder6, ideDelphi7, ideCount };

struct TIDEInfo {
    bool Installed = false;
    std::string RootDir;
    std::string KeyPath;  // below HKEY_LOCAL_MACHINE (and HKEY_CURRENT_USER for the settings)
    std::string HelpFile; // RootDir + the help configuration file
};

// The IDE's name in log lines ("Delphi 7", "Builder 6").
std::string IDELogName(int index);

class TPackageInstaller : public TObject {
public:
    // Detects the installed IDEs (logged); a registry failure is logged and passes on.
    TPackageInstaller();
    ~TPackageInstaller() override;
    ZAN_CLASS(TPackageInstaller)

    void GetIDEInfo(int index, TIDEInfo& info) const;
    // The flag bits of the IDEs found (Delphi 3: 1, 4: 2, 5: 4, 6: 8, Builder 6: 16, Delphi 7: 32).
    uint32_t FoundFlags() const { return FFound; }
    // Puts the components (a "," list) on the palette page of HKCU's palette key, opened
    // without being created.
    void InstallIntoPalette(int index, const std::string& page, const std::string& components);
    // Registers the package (a Windows path) as known, removes every package of the names (a ","
    // list of file names, old versions and the current) from the known and disabled lists, and
    // puts its directory on the library search path in place of directories holding any of them.
    void InstallPackage(int index, const std::string& packagePath, const std::string& names,
                        const std::string& description);
    // Links the help file into the IDE's help configuration and removes its ".gid" cache:
    // 1, or 255 when the configuration file does not exist.
    int InstallHelp(int index, const std::string& helpFile);

private:
    void Detect();
    TIDEInfo& IDE(int index);
    std::unique_ptr<TRegistry> FRegistry;
    std::vector<std::string> FWork;
    TIDEInfo FIDEs[ideCount];
    uint32_t FFound = 0;
};

// Seeds the current machine with a Delphi 7 installation as the registrar finds it, for tests
// and demonstrations (no IDE exists here): HKLM "\software\Borland\Delphi\7.0" with "RootDir"
// (default "C:\Program Files\Borland\Delphi7"), HKCU "Known Packages" (one standard package),
// "Disabled Packages", "Library" "Search Path" ("$(DELPHI)\Lib;$(DELPHI)\Bin;$(DELPHI)\Imports"),
// "Palette" "Data Access" ("TDataSource;TClientDataSet"), and the help configuration
// "<root>\Help\delphi7.ohl" (two ":Link" lines, CR LF) with its "delphi7.gid" cache.
void SeedDelphi7Installation(const std::string& rootDir = "C:\\Program Files\\Borland\\Delphi7");

} // namespace zan
