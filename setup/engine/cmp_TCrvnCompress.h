// The setup archive: a container of zlib streams with a header per file, optionally split into
// numbered volumes, and the component that packs, splits, lists, copies and extracts.
//
// Layout (little-endian int32; positions relative to the archive's start, which lies at Offset
// in its file): count (4), multi-volume flag (1), then either header 1, data 1, header 2, ...
// (single file) or all headers back to back followed by the data, continued in the volume
// files "<name>.2", "<name>.3", ... from their position 0. A header is 176 bytes (see
// TFileHeaderRec); each file's data is one complete zlib stream.
//
// Loaded headers are checked before use: the count fits the file, every position lies inside
// it, single-file headers follow one another, strings are clamped to their fields. Extraction
// inflates into a temporary file beside the target and renames it over the target only once
// the size matched, so a failed or aborted extraction leaves the previous target as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/StringList.h"
#include "setup/engine/cmp_TVersionResource.h"

namespace zan {

class TWinFsFile;

enum TCompressionLevel : uint8_t { colNone, colFastest, colDefault, colMax };
// How AddFiles treats an existing archive: write it anew, or append to it.
enum TlzhCommand : uint8_t { lzcOverwrite, lzcOnlyAdd };

// zlib's level for a compression level (0, 1, -1, 9).
int ZlibLevel(TCompressionLevel level);

inline constexpr size_t FileHeaderSize = 176;
inline constexpr size_t ArchivePrologueSize = 5;
inline constexpr int MaxFileId = 1999;
inline constexpr size_t MaxStoredPath = 100;
inline constexpr size_t MaxStoredVersion = 20;

// One file header, decoded.
struct TFileHeaderRec {
    int32_t FileNumber = 0;    // +0: number within the batch that added it, from 1
    TDateTime FileDate = 0;    // +8
    uint8_t LastVolume = 0;    // +16
    int32_t LastByte = 0;      // +20: position of the data's last byte (in the last volume)
    std::string Path;          // +24: up to 100 bytes
    int32_t NextHeader = 0;    // +128
    int32_t UncompressedSize = 0; // +132
    int32_t FirstByte = 0;     // +136: position of the data's first byte (in the first volume)
    int32_t StoredSize = 0;    // +140: the archive's length when this file's data was complete
    uint8_t FirstVolume = 0;   // +144
    int32_t FileId = 0;        // +148
    std::string Version;       // +152: up to 20 bytes
};

// The 176 bytes of a header (gaps zero); strings longer than their field are cut.
std::string EncodeFileHeader(const TFileHeaderRec& header);
// Decodes 176 bytes; string lengths are clamped to their fields.
TFileHeaderRec DecodeFileHeader(std::string_view bytes);

struct TFileHeader {
    TFileHeaderRec Rec;
    bool ReadFromArchive = false;
};

// The header list of an archive.
struct TArchiveDirectory {
    bool MultiVolume = false;
    std::vector<TFileHeader> Headers;
};

// Reads and checks the prologue and headers of an archive at offset in source. Raises
// ECrvnCompress "Could not read the file headers for the compressed file. The Archive file
// could possible be corrupt" for anything unreadable or inconsistent.
TArchiveDirectory ReadArchiveHeaders(const TByteSource& source, uint64_t offset);
TArchiveDirectory ReadArchiveHeadersFromBytes(std::string_view archive);

// Inflates one entry of a single-file archive held in memory (the path compared ignoring case)
// and answers its content. Raises ECrvnCompress like extraction does.
std::string ExtractEntryFromBytes(std::string_view archive, const std::string& path);

// The bytes of a file's stream, from its positions (the stored-size field is the archive's
// length, not this). For a file spanning volumes, from the stored-size fields instead.
int64_t CompressedSizeOf(const TArchiveDirectory& dir, size_t index);

// Progress passed to OnStatus and OnListing.
struct TlzhFileStats {
    int Percent = 0;            // of the current file
    int64_t Done = 0;           // bytes of the current file done
    std::string FileName;       // the stored path (or the source of a copy)
    int64_t StoredSize = 0;     // compressed bytes of the file
    int CompressionPercent = 0; // stored / uncompressed x 100
    int64_t UncompressedSize = 0;
    TFileHeaderRec Header;
    bool Finished = false;
    int OverallPercent = 0;
    int64_t TotalDone = 0;
    int64_t TotalStored = 0;
    int OverallCompressionPercent = 0;
    int64_t TotalUncompressed = 0;
};

using TlzhFileStatsEvent = std::function<void(TObject* sender, const TlzhFileStats& stats)>;
using TlzhNewDiskEvent = std::function<void(TObject* sender, int diskNumber, std::string& path)>;

class TCrvnCompress : public TComponent {
public:
    explicit TCrvnCompress(TComponent* owner = nullptr);
    ~TCrvnCompress() override;
    ZAN_CLASS(TCrvnCompress)

    bool GetAbort() const { return FAbort; }
    void SetAbort(bool abort) { FAbort = abort; }
    const std::string& GetCompressedFile() const { return FCompressedFile; }
    void SetCompressedFile(const std::string& fileName);
    TCompressionLevel GetCompressionLevel() const { return FCompressionLevel; }
    void SetCompressionLevel(TCompressionLevel level) { FCompressionLevel = level; }
    const std::string& GetExtractDirectory() const { return FExtractDirectory; }
    void SetExtractDirectory(const std::string& dir) { FExtractDirectory = dir; }
    TStrings& GetFilesToProcess() { return FFilesToProcess; }
    // Assigns the lines, dropping blank ones.
    void SetFilesToProcess(const TStrings& lines);
    int32_t GetOffset() const { return FOffset; }
    void SetOffset(int32_t offset);
    TOverwriteType GetOverwrite() const { return FOverwrite; }
    void SetOverwrite(TOverwriteType overwrite) { FOverwrite = overwrite; }
    // The name the next extraction is stored under (blank: the stored name); reset after each.
    const std::string& GetTargetName() const { return FTargetName; }
    void SetTargetName(const std::string& name) { FTargetName = name; }
    // Set by OnBeforeExtracting or OnReplace to skip the current file.
    void SetSkip(bool skip) { FSkip = skip; }

    // Packs the FilesToProcess files into CompressedFile under the given file id.
    void AddFiles(TlzhCommand mode, int fileId);
    // Extracts the FilesToProcess entries into ExtractDirectory.
    void ExtractFiles();
    // Copies one plain file with the replace rule and progress.
    void CopyFile(const std::string& source, const std::string& destination);
    // Writes the archive as volumes: volumeName in directory, then ".2", ".3", ... where
    // OnNewDisk answers.
    void SplitToVolumes(const std::string& directory, const std::string& volumeName);
    void ListFiles();
    int GetFileCount();
    void GetFileInfo(int index, TlzhFileStats& stats);
    // The header index of a file id; -1 when no header has it.
    int FindFileById(int id);

    TNotifyEvent OnAborted;
    TNotifyEvent OnBeforeAdding;
    TNotifyEvent OnAfterAdding;
    TNotifyEvent OnBeforeExtracting;
    TNotifyEvent OnAfterExtracting; // published, never fired
    TlzhFileStatsEvent OnListing;
    TNotifyEvent OnReplace;
    TlzhFileStatsEvent OnStatus;
    TNotifyEvent OnFullDisk;
    TlzhNewDiskEvent OnNewDisk;

private:
    class TDataReader;
    enum TMode : uint8_t { cmNone, cmAdd, cmExtract };

    void LoadHeaders();
    void DropHeaders();
    void ExtractOne(const std::string& line);
    void InflateTo(const TFileHeaderRec& header, const std::string& target);
    // Opens volume n of the archive (with disk prompts) into file.
    void OpenVolume(int volume, TWinFsFile& file);
    // A short write: OnFullDisk when assigned, else EccDiskFull.
    void DiskFull();
    // The replace rule for an existing target: true when the file is to be written.
    bool DecideReplace(const std::function<int()>& decide, std::string& target,
                       const std::function<std::string()>& computeTarget);
    void Status(bool finished);
    void CheckAbort();

    bool FAbort = false;
    std::string FCompressedFile;
    TCompressionLevel FCompressionLevel = colMax;
    std::string FExtractDirectory;
    TStringList FFilesToProcess;
    int32_t FOffset = 0;
    TOverwriteType FOverwrite = owAlways;
    std::string FTargetName;
    bool FSkip = false;

    TArchiveDirectory FDir;
    bool FHeadersLoaded = false;
    std::unordered_map<std::string, int> FByPath; // folded stored path -> first header
    std::vector<int> FIdMap;                      // file id -> header index, -1 when none
    TMode FMode = cmNone;
    std::string FVolumeDir; // where volumes after the first are looked for
    // A single-file archive stays open while one ExtractFiles runs through its entries.
    std::unique_ptr<TWinFsFile> FArchiveFile;
    TlzhFileStats FStats;
};

// The shared archive component of the run (its Abort is the run's abort flag).
TCrvnCompress& SharedCompress();

// The build's abort flag ("Creating Install Aborted!"), checked by CopyFile and the floppy copy.
bool GetBuildAbort();
void SetBuildAbort(bool abort);

} // namespace zan
