// File services on Windows-form paths inside the sandbox (see WinPaths for the mapping). Every
// call that creates, writes, renames, deletes or changes dates or attributes is confined to the
// sandbox root; failures raise EWinError with the Windows error code.
//
// Dates are TDateTime in local time at the 2-second granularity of DOS dates, so a date set and
// read back compares equal. Short paths equal long paths. Attributes: read-only maps to the
// write bits, directory is read; hidden, system, archive, offline and temporary are ignored.
// Deleting, rewriting or moving a path listed "in use" by the machine fails with a sharing
// violation (32). Drive A:
// holds DiskCapacity bytes per disk; a write beyond that comes out short.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/rtl/DateUtils.h"

namespace zan {

enum : uint32_t {
    FILE_ATTRIBUTE_READONLY = 0x1,
    FILE_ATTRIBUTE_HIDDEN = 0x2,
    FILE_ATTRIBUTE_SYSTEM = 0x4,
    FILE_ATTRIBUTE_DIRECTORY = 0x10,
    FILE_ATTRIBUTE_ARCHIVE = 0x20,
    FILE_ATTRIBUTE_NORMAL = 0x80,
    FILE_ATTRIBUTE_TEMPORARY = 0x100,
    FILE_ATTRIBUTE_OFFLINE = 0x1000,
    INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF,
};

bool WinFileExists(const std::string& path);      // an existing file, not a directory
bool WinDirectoryExists(const std::string& path);
bool WinPathExists(const std::string& path);

void WinCreateDirectory(const std::string& path); // 183 when it exists, 3 without a parent
// Creates the directory with every missing parent; nothing when it exists.
void WinForceDirectories(const std::string& path);
void WinRemoveDirectory(const std::string& path); // 145 when not empty
void WinDeleteFile(const std::string& path);      // 2 when missing, 32 when in use
// Renames a file or directory; with replaceExisting an existing target file is replaced.
void WinMoveFile(const std::string& source, const std::string& target,
                 bool replaceExisting = false);
// Copies a file keeping its mode bits; failIfExists refuses an existing target (80).
void WinCopyFile(const std::string& source, const std::string& target, bool failIfExists);

// Deletes a file, or a directory with everything below it (DELTREE). Files in use are kept and
// the call then fails with 32 after deleting the rest; a drive root is emptied, never removed.
void WinDeleteTree(const std::string& path);

// Whole-file helpers. WinWriteFile replaces the file; on A: a file that does not fit raises
// EWinError 112 after writing what fits.
std::string WinReadFile(const std::string& path);
void WinWriteFile(const std::string& path, const std::string& data);

// An open file for writing or reading (RAII), sequential from the current position. On A: Write
// answers fewer bytes than asked once the disk is full, as a full floppy does; rewriting bytes
// that the file already holds takes no more room.
class TWinFsFile {
public:
    TWinFsFile() = default;
    ~TWinFsFile();
    TWinFsFile(const TWinFsFile&) = delete;
    TWinFsFile& operator=(const TWinFsFile&) = delete;

    void Create(const std::string& path); // read-write; truncates an existing file
    void OpenRead(const std::string& path);
    // An existing file for reading and writing, positioned at its start.
    void OpenReadWrite(const std::string& path);
    void Close();
    bool IsOpen() const { return FHandle >= 0; }
    size_t Write(const void* buffer, size_t count);
    size_t Read(void* buffer, size_t count);
    uint64_t Size() const;
    void Seek(uint64_t position);
    uint64_t Position() const;
    // Sets the permission bits through the open handle, so no path is looked up again.
    void SetMode(uint32_t mode);
    const std::string& HostPath() const { return FHostPath; }

private:
    int FHandle = -1;
    std::string FHostPath;
    bool FLimited = false;
    uint64_t FFree = 0;
};

// The modification date (local time, 2-second granularity); -1 when the path does not exist.
TDateTime WinFileAge(const std::string& path);
void WinSetFileAge(const std::string& path, TDateTime age);
// The attributes (FILE_ATTRIBUTE_*), INVALID_FILE_ATTRIBUTES when missing.
uint32_t WinGetFileAttributes(const std::string& path);
void WinSetFileAttributes(const std::string& path, uint32_t attributes);
uint64_t WinFileSize(const std::string& path); // 2 when missing

struct TWinFindData {
    std::string Name;    // on-disk case
    uint32_t Attributes = 0;
    uint64_t Size = 0;
    TDateTime Time = 0;
};
// Entries of a directory matching a mask with "*" and "?" (case ignored), in byte order.
std::vector<TWinFindData> WinFindFiles(const std::string& dir, const std::string& mask = "*");

// The machine's directories in Windows form, without trailing "\" (the temp path has one).
std::string WinGetWindowsDirectory();
std::string WinGetSystemDirectory();
std::string WinGetTempPath();
// Creates a new empty file "<prefix><hex>.TMP" in dir (exclusively) and answers its name.
std::string WinGetTempFileName(const std::string& dir, const std::string& prefix);
// The short path equals the long path; 2 or 3 when the path does not exist.
std::string WinGetShortPathName(const std::string& path);
// This program's file in Windows form (Z:\... unless it lies inside the sandbox).
std::string WinGetModuleFileName();

// The disk in drive A: (saved in the machine's settings).
void WinInsertDisk(int disk);
int WinCurrentDisk();
// Marks or clears a path as in use by another program (saved in the machine's settings).
void WinSetInUse(const std::string& path, bool inUse);
// Gives a file starting with "\x7fELF" or "#!" the execute bits, as an extracted program needs.
void WinMarkExecutableIfProgram(const std::string& path);

// Tests only: a hook run with the host path after a write's confinement check and before the
// path is used, where a test can swap a folder for a symlink. An empty function removes it.
void SetWinFsRaceHook(std::function<void(const std::string& hostPath)> hook);

} // namespace zan
