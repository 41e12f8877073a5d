// The one boundary between Windows-form paths and host paths. Inside, paths stay in Windows form
// ("C:\Program Files\Orvex"); here they are mapped into the sandbox root:
//   C:  -> <root>/drive_c
//   A:  -> <root>/media/A/disk<n>   (n: the disk in the drive, a removable floppy)
//   Z:  -> host "/", for reading only (where the setup program itself lives)
// Other drives and UNC paths are "path not found". "\" and "/" both separate; doubled separators
// and "." are dropped; ".." never climbs above a drive root. Components are looked up ignoring
// case (an exact-case match wins, else the first match in byte order), with a cache of directory
// listings that our own writes invalidate.
#pragma once

#include <string>
#include <vector>

namespace zan {

enum TPathAccess : uint8_t { paRead, paWrite };

// The normalised absolute Windows form ("C:\a\b", a drive root keeps its "\": "C:\").
// Relative paths are taken from the current directory. Raises EWinError: 123 for NUL bytes or
// characters Windows refuses in names, 3 for other drives and UNC paths.
std::string NormalizeWinPath(const std::string& path);

// The host path of a Windows path, each existing component in its on-disk case. With paWrite
// the path must be writable: Z: and any path whose real parent (symlinks resolved) lies outside
// the sandbox root raise EWinError 5 (access denied), as a refused Windows call would.
std::string WinPathToHost(const std::string& path, TPathAccess access = paRead);

// Windows form of a host path: under the root's drive folders their drive, else "Z:\...".
std::string HostPathToWin(const std::string& hostPath);

// Raises EWinError 5 when hostPath (or its nearest existing ancestor), symlinks resolved, lies
// outside the sandbox root.
void CheckConfined(const std::string& hostPath);

// Forgets the cached listing of a host directory (after a create, rename or delete in it).
void InvalidateDirCache(const std::string& hostDir);
void ClearDirCache();

// The process's current directory in Windows form (initially "C:\").
std::string WinGetCurrentDirectory();
// Raises EWinError 3 when the directory does not exist.
void WinSetCurrentDirectory(const std::string& path);

// The drive letter of a normalised path, upper case.
char WinDriveOf(const std::string& normalisedPath);
// "C:\a\b" -> "C:\a"; a drive root answers itself.
std::string WinParentDir(const std::string& normalisedPath);
// The last component ("" for a drive root).
std::string WinFileNameOf(const std::string& normalisedPath);
// Joins with one "\".
std::string WinJoin(const std::string& dir, const std::string& name);

} // namespace zan
