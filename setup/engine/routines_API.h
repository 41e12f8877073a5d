// The Windows routines of the installer: the running Windows version, temporary files, the
// system and Windows directories, short paths and the standard shell folders with their
// fallbacks.
#pragma once

#include <cstdint>
#include <string>

namespace zan {

enum TOSVerType : uint8_t {
    os31win32,
    oswin95,
    oswinNT,
    oswinNT351,
    osUnidentified,
    osLinux,
    oswin2K,
    oswin98,
    oswinME,
    oswinXP
};

// The version class of Windows: platform Win32s os31win32; 95 family: minor 90 oswinME, any
// other oswin98 (never oswin95); NT family: major < 4 oswinNT351, 4 oswinNT, 5.0 oswin2K, 5.x
// oswinXP, above 5 osUnidentified; any other platform osUnidentified.
TOSVerType OSVerTypeFromVersion(uint32_t platformId, uint32_t major, uint32_t minor);
// The class of the running (emulated) Windows. EAPIRoutines when Windows does not answer.
TOSVerType GetOSVerType();

// A new file "bat<hex>.TMP" in the Windows temporary directory; unless keep, the file is
// deleted again and only the name is answered. EAPIRoutines "Cannot create a temporary file".
std::string CreateTempFileName(bool keep);
std::string GetSystemDir();
std::string GetWindowsDir();
// The short form of a path (equal to the long one here); empty when the path does not exist.
std::string GetShortPath(const std::string& path);

// The shell folders, from the registry with the defaults of the installer; without "\" at
// the end.
std::string GetStartMenuDir();
std::string GetProgramsMenuDir();
std::string GetDesktopDir();
std::string GetStartupDir();
std::string GetProgramFilesDir();
std::string GetCommonFilesDir();

} // namespace zan
