#include "setup/engine/cmp_TCrvnCompress.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <zlib.h>

#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TInstallContainer.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

constexpr const char* CorruptText =
    "Could not read the file headers for the compressed file. The Archive file could possible be "
    "corrupt";
constexpr const char* MismatchText =
    "The decompressed file's size does not match with the actual size of the file.  The file is %s";
constexpr size_t OutputStep = 4096;
constexpr size_t InputPiece = 65536;
constexpr size_t WriteBuffer = 65536;
constexpr size_t CopyBlock = 8192;
constexpr int64_t Max32 = INT32_MAX;

[[noreturn]] void Fail(const std::string& format, std::initializer_list<TVarRec> args) {
    throw ECrvnCompress(Format(format, args));
}
[[noreturn]] void Corrupt() { throw ECrvnCompress(CorruptText); }

void PutI32(char* p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}
int32_t GetI32(const char* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= uint32_t(static_cast<uint8_t>(p[i])) << (8 * i);
    return static_cast<int32_t>(u);
}

void PutShort(char* p, const std::string& s, size_t field) {
    std::string cut = CutAtCharBoundary(s, field);
    p[0] = static_cast<char>(cut.size());
    std::memcpy(p + 1, cut.data(), cut.size());
}
std::string GetShort(const char* p, size_t field) {
    size_t n = std::min<size_t>(static_cast<uint8_t>(p[0]), field);
    return std::string(p + 1, n);
}

// "C:\a\files.1" with ".3" -> "C:\a\files.3".
std::string ChangeWinExt(const std::string& path, const std::string& ext) {
    size_t sep = path.find_last_of("\\/:");
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) return path + ext;
    return path.substr(0, dot) + ext;
}

// ".n" for volume n.
std::string VolumeExt(int volume) {
    std::string ext(1, '.');
    ext += std::to_string(volume);
    return ext;
}

// The one name component of a target name: split at "\", "/" and ":"; "", "." and ".." are
// no names.
bool TargetComponent(const std::string& name, std::string& out) {
    size_t sep = name.find_last_of("\\/:");
    out = sep == std::string::npos ? name : name.substr(sep + 1);
    return !out.empty() && out != "." && out != "..";
}

void WriteAll(TWinFsFile& file, const void* data, size_t n, const std::function<void()>& onShort) {
    if (file.Write(data, n) < n) onShort();
}

// Inflates one zlib stream. read answers input (0: no more); the output goes to chunk in pieces
// of up to 64 KiB. More output than expected, input that ends before the stream does, and zlib
// errors raise.
void InflateStream(const std::function<size_t(char*, size_t)>& read,
                   const std::function<void(const char*, size_t)>& chunk, int64_t expected,
                   const std::string& entry, const std::string& target) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) Fail("Cannot decompress %s: %s", {entry, "out of memory"});
    TScopeExit end([&] { inflateEnd(&zs); });
    std::unique_ptr<char[]> in(new char[InputPiece]), out(new char[WriteBuffer]);
    int64_t total = 0;
    int ret = Z_OK;
    while (ret != Z_STREAM_END) {
        if (zs.avail_in == 0) {
            size_t n = read(in.get(), InputPiece);
            if (n == 0) break;
            zs.next_in = reinterpret_cast<Bytef*>(in.get());
            zs.avail_in = static_cast<uInt>(n);
        }
        zs.next_out = reinterpret_cast<Bytef*>(out.get());
        zs.avail_out = static_cast<uInt>(WriteBuffer);
        ret = inflate(&zs, Z_NO_FLUSH);
        if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR)
            Fail("Cannot decompress %s: %s", {entry, zs.msg ? zs.msg : zError(ret)});
        size_t produced = WriteBuffer - zs.avail_out;
        total += static_cast<int64_t>(produced);
        if (total > expected) Fail(MismatchText, {target});
        if (produced > 0) chunk(out.get(), produced);
    }
    if (ret != Z_STREAM_END) Fail(MismatchText, {target});
}

// Stored bytes per 100 uncompressed bytes (over 100 for data that does not compress); an empty
// file counts as 100.
int CompressionPercent(int64_t stored, int64_t uncompressed) {
    if (uncompressed <= 0) return 100;
    return static_cast<int>(std::llround(static_cast<double>(stored) * 100.0 /
                                         static_cast<double>(uncompressed)));
}

bool LooksLikeProgram(const char* data, size_t n) {
    return (n >= 4 && std::memcmp(data, "\x7f" "ELF", 4) == 0) ||
           (n >= 2 && data[0] == '#' && data[1] == '!');
}

// A new file written beside its target and renamed over it by Commit; removed when it is not
// committed, so the previous target stays as it was on any failure.
class TTempTarget {
public:
    explicit TTempTarget(const std::string& target) : FTarget(target) {
        try {
            std::string norm = NormalizeWinPath(target);
            if (CurrentWinEnv().IsInUse(norm)) Fail("Cannot create the file %s", {target});
            std::string dir = WinParentDir(norm);
            WinForceDirectories(dir);
            FTemp = WinGetTempFileName(dir, "~cc");
            File.Create(FTemp);
        } catch (const Exception&) {
            Discard();
            Fail("Cannot create the file %s", {target});
        }
    }
    ~TTempTarget() {
        if (!FCommitted) Discard();
    }
    TTempTarget(const TTempTarget&) = delete;
    TTempTarget& operator=(const TTempTarget&) = delete;

    const std::string& TempName() const { return FTemp; }
    // Closes the file and renames it over the target.
    void Commit() {
        File.Close();
        try {
            WinMoveFile(FTemp, FTarget, true);
        } catch (const Exception&) {
            Fail("Cannot create the file %s", {FTarget});
        }
        FCommitted = true;
    }

    TWinFsFile File;

private:
    void Discard() noexcept {
        File.Close();
        if (FTemp.empty()) return;
        try {
            WinDeleteFile(FTemp);
        } catch (...) {
        }
    }

    std::string FTarget, FTemp;
    bool FCommitted = false;
};

std::atomic<bool>& BuildAbortFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

} // namespace

int ZlibLevel(TCompressionLevel level) {
    switch (level) {
    case colNone: return 0;
    case colFastest: return 1;
    case colDefault: return -1;
    case colMax: return 9;
    }
    return 9;
}

bool GetBuildAbort() { return BuildAbortFlag().load(); }
void SetBuildAbort(bool abort) { BuildAbortFlag().store(abort); }

// ---- Header records ----------------------------------------------------------------------------

std::string EncodeFileHeader(const TFileHeaderRec& h) {
    std::string out(FileHeaderSize, '\0');
    char* p = out.data();
    PutI32(p + 0, h.FileNumber);
    std::memcpy(p + 8, &h.FileDate, 8); // little-endian host: the double's bytes as stored
    p[16] = static_cast<char>(h.LastVolume);
    PutI32(p + 20, h.LastByte);
    PutShort(p + 24, h.Path, MaxStoredPath);
    PutI32(p + 128, h.NextHeader);
    PutI32(p + 132, h.UncompressedSize);
    PutI32(p + 136, h.FirstByte);
    PutI32(p + 140, h.StoredSize);
    p[144] = static_cast<char>(h.FirstVolume);
    PutI32(p + 148, h.FileId);
    PutShort(p + 152, h.Version, MaxStoredVersion);
    return out;
}

TFileHeaderRec DecodeFileHeader(std::string_view bytes) {
    if (bytes.size() < FileHeaderSize) Corrupt();
    const char* p = bytes.data();
    TFileHeaderRec h;
    h.FileNumber = GetI32(p);
    std::memcpy(&h.FileDate, p + 8, 8);
    h.LastVolume = static_cast<uint8_t>(p[16]);
    h.LastByte = GetI32(p + 20);
    h.Path = GetShort(p + 24, MaxStoredPath);
    h.NextHeader = GetI32(p + 128);
    h.UncompressedSize = GetI32(p + 132);
    h.FirstByte = GetI32(p + 136);
    h.StoredSize = GetI32(p + 140);
    h.FirstVolume = static_cast<uint8_t>(p[144]);
    h.FileId = GetI32(p + 148);
    h.Version = GetShort(p + 152, MaxStoredVersion);
    return h;
}

TArchiveDirectory ReadArchiveHeaders(const TByteSource& src, uint64_t offset) {
    try {
        if (offset > src.Size || src.Size - offset < ArchivePrologueSize) Corrupt();
        const uint64_t length = src.Size - offset; // the archive from its start to the file's end
        char prologue[ArchivePrologueSize];
        if (src.ReadAt(offset, prologue, ArchivePrologueSize) != ArchivePrologueSize) Corrupt();
        int32_t count = GetI32(prologue);
        uint8_t flag = static_cast<uint8_t>(prologue[4]);
        if (count < 0 || flag > 1 ||
            static_cast<uint64_t>(count) > (length - ArchivePrologueSize) / FileHeaderSize)
            Corrupt();
        TArchiveDirectory dir;
        dir.MultiVolume = flag == 1;
        dir.Headers.reserve(static_cast<size_t>(count));
        uint64_t pos = ArchivePrologueSize;
        char raw[FileHeaderSize];
        for (int32_t i = 0; i < count; ++i) {
            if (pos > length || length - pos < FileHeaderSize) Corrupt();
            if (src.ReadAt(offset + pos, raw, FileHeaderSize) != FileHeaderSize) Corrupt();
            TFileHeader header;
            header.Rec = DecodeFileHeader(std::string_view(raw, FileHeaderSize));
            header.ReadFromArchive = true;
            const TFileHeaderRec& h = header.Rec;
            // The next header follows this one and lies inside the file.
            if (h.NextHeader < 0 || static_cast<uint64_t>(h.NextHeader) < pos + FileHeaderSize ||
                static_cast<uint64_t>(h.NextHeader) > length)
                Corrupt();
            if (h.UncompressedSize < 0 || h.FirstByte < 0 || h.LastByte < 0) Corrupt();
            if (!dir.MultiVolume) {
                if (h.FirstVolume != 0 || h.LastVolume != 0 || h.FirstByte > h.LastByte ||
                    static_cast<uint64_t>(h.LastByte) >= length)
                    Corrupt();
            } else {
                if (h.FirstVolume < 1 || h.LastVolume < h.FirstVolume ||
                    (h.FirstVolume == h.LastVolume && h.FirstByte > h.LastByte))
                    Corrupt();
            }
            dir.Headers.push_back(std::move(header));
            pos = static_cast<uint64_t>(h.NextHeader);
        }
        return dir;
    } catch (const ECrvnCompress&) {
        throw;
    } catch (const Exception&) {
        Corrupt();
    }
}

TArchiveDirectory ReadArchiveHeadersFromBytes(std::string_view archive) {
    return ReadArchiveHeaders(MemoryByteSource(archive), 0);
}

int64_t CompressedSizeOf(const TArchiveDirectory& dir, size_t index) {
    const TFileHeaderRec& h = dir.Headers.at(index).Rec;
    if (h.FirstVolume == h.LastVolume) return int64_t(h.LastByte) - h.FirstByte + 1;
    // Spanning volumes: the stored-size fields are the archive's lengths before the split, so
    // the difference to the previous one is this file's header and data.
    int64_t before = index == 0 ? int64_t(ArchivePrologueSize) : dir.Headers[index - 1].Rec.StoredSize;
    return std::max<int64_t>(0, int64_t(h.StoredSize) - before - int64_t(FileHeaderSize));
}

std::string ExtractEntryFromBytes(std::string_view archive, const std::string& path) {
    TArchiveDirectory dir = ReadArchiveHeadersFromBytes(archive);
    if (dir.MultiVolume) Corrupt();
    for (const TFileHeader& header : dir.Headers) {
        if (!SameName(header.Rec.Path, path)) continue;
        const TFileHeaderRec& h = header.Rec;
        size_t pos = static_cast<size_t>(h.FirstByte), end = static_cast<size_t>(h.LastByte) + 1;
        std::string out;
        InflateStream(
            [&](char* buf, size_t n) {
                size_t k = std::min(n, end - pos);
                std::memcpy(buf, archive.data() + pos, k);
                pos += k;
                return k;
            },
            [&](const char* data, size_t n) { out.append(data, n); }, h.UncompressedSize, h.Path,
            h.Path);
        if (static_cast<int64_t>(out.size()) != h.UncompressedSize) Fail(MismatchText, {h.Path});
        return out;
    }
    Fail("The file <%s> was not found in the archive <%s>", {path, "(memory)"});
}

// ---- The component -----------------------------------------------------------------------------

// Reads one file's stream across its volumes: from the first byte in the first volume, every
// volume up to the last to its end, the last up to the last byte.
class TCrvnCompress::TDataReader {
public:
    TDataReader(TCrvnCompress& owner, const TFileHeaderRec& h) : FOwner(owner), FHeader(h) {
        FMulti = owner.FDir.MultiVolume;
        FVolume = FMulti ? h.FirstVolume : 0;
        FLastVolume = FMulti ? h.LastVolume : 0;
        if (!FMulti && FOwner.FMode == cmExtract) {
            if (!FOwner.FArchiveFile) {
                auto file = std::make_unique<TWinFsFile>();
                FOwner.OpenVolume(0, *file);
                FOwner.FArchiveFile = std::move(file);
            }
            FCur = FOwner.FArchiveFile.get();
        } else {
            FOwner.OpenVolume(FMulti ? FVolume : 0, FFile);
        }
        FBase = FVolume <= 1 ? static_cast<uint64_t>(FOwner.FOffset) : 0;
        FPos = FBase + static_cast<uint64_t>(h.FirstByte);
        FCur->Seek(FPos);
    }
    size_t Read(char* buf, size_t n) {
        while (true) {
            if (FVolume == FLastVolume) {
                uint64_t end = FBase + static_cast<uint64_t>(FHeader.LastByte) + 1;
                if (FPos >= end) return 0;
                n = static_cast<size_t>(std::min<uint64_t>(n, end - FPos));
            }
            size_t k = FCur->Read(buf, n);
            FPos += k;
            if (k > 0) return k;
            if (FVolume >= FLastVolume) return 0;
            // This volume ended: the data goes on at the start of the next one.
            ++FVolume;
            FFile.Close();
            FOwner.OpenVolume(FVolume, FFile);
            FCur = &FFile;
            FBase = 0;
            FPos = 0;
        }
    }

private:
    TCrvnCompress& FOwner;
    const TFileHeaderRec FHeader; // a copy: handlers may drop the loaded headers
    TWinFsFile FFile;
    TWinFsFile* FCur = &FFile;
    bool FMulti = false;
    int FVolume = 0, FLastVolume = 0;
    uint64_t FBase = 0, FPos = 0;
};

TCrvnCompress::TCrvnCompress(TComponent* owner) : TComponent(owner) {}
TCrvnCompress::~TCrvnCompress() = default;

void TCrvnCompress::SetCompressedFile(const std::string& fileName) {
    if (!SameName(ChangeWinExt(fileName, ".1"), ChangeWinExt(FCompressedFile, ".1"))) DropHeaders();
    FCompressedFile = fileName;
    try {
        FVolumeDir = WinParentDir(NormalizeWinPath(fileName));
    } catch (const Exception&) {
        FVolumeDir.clear();
    }
}

void TCrvnCompress::SetFilesToProcess(const TStrings& lines) {
    FFilesToProcess.Clear();
    for (int i = 0; i < lines.Count(); ++i)
        if (!Trim(lines[i]).empty()) FFilesToProcess.Add(lines[i]);
}

void TCrvnCompress::SetOffset(int32_t offset) {
    if (offset != FOffset) DropHeaders();
    FOffset = offset;
}

void TCrvnCompress::DropHeaders() {
    FArchiveFile.reset();
    FHeadersLoaded = false;
    FDir = {};
    FByPath.clear();
    FIdMap.clear();
}

void TCrvnCompress::LoadHeaders() {
    if (FHeadersLoaded) return;
    TWinFsFile file;
    try {
        file.OpenRead(FCompressedFile);
    } catch (const Exception&) {
        Corrupt();
    }
    if (FOffset < 0) Corrupt();
    TArchiveDirectory dir = ReadArchiveHeaders(FileByteSource(file), static_cast<uint64_t>(FOffset));
    FDir = std::move(dir);
    FByPath.clear();
    FIdMap.assign(MaxFileId + 1, -1);
    for (size_t i = 0; i < FDir.Headers.size(); ++i) {
        const TFileHeaderRec& h = FDir.Headers[i].Rec;
        FByPath.emplace(FoldName(h.Path), static_cast<int>(i));
        if (h.FileId >= 0 && h.FileId <= MaxFileId) FIdMap[h.FileId] = static_cast<int>(i);
    }
    FHeadersLoaded = true;
}

int TCrvnCompress::GetFileCount() {
    LoadHeaders();
    return static_cast<int>(FDir.Headers.size());
}

int TCrvnCompress::FindFileById(int id) {
    LoadHeaders();
    if (id < 0 || id > MaxFileId) return -1;
    return FIdMap[id];
}

void TCrvnCompress::GetFileInfo(int index, TlzhFileStats& stats) {
    LoadHeaders();
    if (index < 0 || index >= static_cast<int>(FDir.Headers.size()))
        Fail("Tried to access the %dth file. This file is not defined", {index});
    const TFileHeaderRec& h = FDir.Headers[index].Rec;
    stats = TlzhFileStats{};
    stats.FileName = h.Path;
    stats.StoredSize = CompressedSizeOf(FDir, static_cast<size_t>(index));
    stats.UncompressedSize = h.UncompressedSize;
    stats.CompressionPercent = CompressionPercent(stats.StoredSize, h.UncompressedSize);
    stats.Header = h;
}

void TCrvnCompress::ListFiles() {
    LoadHeaders();
    for (int i = 0; i < static_cast<int>(FDir.Headers.size()); ++i) {
        TlzhFileStats stats;
        GetFileInfo(i, stats);
        if (OnListing) OnListing(this, stats);
    }
}

void TCrvnCompress::CheckAbort() {
    if (FAbort) throw EccAborted("Operation aborted by user");
}

void TCrvnCompress::DiskFull() {
    if (OnFullDisk)
        OnFullDisk(this);
    else
        throw EccDiskFull("The disk is full");
}

void TCrvnCompress::Status(bool finished) {
    TlzhFileStats& s = FStats;
    s.Finished = finished;
    s.Percent = PercentOf(s.Done, s.UncompressedSize, finished);
    s.CompressionPercent = CompressionPercent(s.StoredSize, s.UncompressedSize);
    s.OverallPercent = PercentOf(s.TotalDone, s.TotalUncompressed, finished);
    s.OverallCompressionPercent = CompressionPercent(s.TotalStored, s.TotalUncompressed);
    if (OnStatus) OnStatus(this, s);
}

void TCrvnCompress::OpenVolume(int volume, TWinFsFile& file) {
    if (!FDir.MultiVolume || volume == 0) {
        try {
            file.OpenRead(FCompressedFile);
        } catch (const Exception&) {
            Fail("Cannot open the compressed file %s", {FCompressedFile});
        }
        return;
    }
    std::string baseName = ChangeWinExt(WinFileNameOf(NormalizeWinPath(FCompressedFile)),
                                        VolumeExt(volume));
    std::string name;
    for (int attempt = 0; attempt < 4; ++attempt) {
        name = WinJoin(FVolumeDir, baseName);
        if (WinFileExists(name)) {
            try {
                file.OpenRead(name);
            } catch (const Exception&) {
                Fail("Cannot open the compressed file %s", {name});
            }
            return;
        }
        if (!OnNewDisk) Fail("Could not open the correct disk file %d", {volume});
        std::string path = FVolumeDir;
        OnNewDisk(this, volume, path);
        if (!Trim(path).empty()) FVolumeDir = RemoveTrailingBackslash(path);
    }
    Fail("Cannot open the compressed file %s", {name});
}

bool TCrvnCompress::DecideReplace(const std::function<int()>& decide, std::string& target,
                                  const std::function<std::string()>& computeTarget) {
    if (WinFileExists(target)) {
        int decision = decide();
        if (decision == vrUndetermined)
            throw ECrvnCompress("Error comparing file versions in TCrvnCompress");
        if (decision == vrEqual || decision == vrKeep) return false;
        if (OnReplace) {
            OnReplace(this);
            target = computeTarget();
        }
    }
    return !FSkip;
}

void TCrvnCompress::ExtractFiles() {
    FAbort = false;
    FMode = cmExtract;
    TScopeExit close([this] {
        FArchiveFile.reset();
        FMode = cmNone;
    });
    LoadHeaders();
    FStats = TlzhFileStats{};
    for (int i = 0; i < FFilesToProcess.Count(); ++i) {
        auto it = FByPath.find(FoldName(GetDelimitedField(FFilesToProcess[i], 1, ';')));
        if (it == FByPath.end()) continue;
        FStats.TotalUncompressed += FDir.Headers[it->second].Rec.UncompressedSize;
        FStats.TotalStored += CompressedSizeOf(FDir, static_cast<size_t>(it->second));
    }
    for (int i = 0; i < FFilesToProcess.Count(); ++i)
        ExtractOne(FFilesToProcess[i]);
    FFilesToProcess.Clear();
}

void TCrvnCompress::ExtractOne(const std::string& line) {
    // The target name serves one entry only.
    TScopeExit reset([this] {
        FTargetName.clear();
        FSkip = false;
    });
    std::string entry = GetDelimitedField(line, 1, ';');
    auto it = FByPath.find(FoldName(entry));
    if (it == FByPath.end())
        Fail("The file <%s> was not found in the archive <%s>", {entry, FCompressedFile});
    // A copy: the events below may load another archive's headers.
    const int index = it->second;
    const TFileHeaderRec h = FDir.Headers[index].Rec;
    const int64_t stored = CompressedSizeOf(FDir, static_cast<size_t>(index));
    if (Trim(FTargetName).empty()) FTargetName = h.Path;
    if (OnBeforeExtracting) OnBeforeExtracting(this);
    auto computeTarget = [&] {
        std::string name;
        if (!TargetComponent(FTargetName, name))
            Fail("The file <%s> was not found in the archive <%s>", {entry, FCompressedFile});
        return AddTrailingBackslash(FExtractDirectory) + name;
    };
    std::string target = computeTarget();

    FStats.Done = 0;
    FStats.FileName = h.Path;
    FStats.UncompressedSize = h.UncompressedSize;
    FStats.StoredSize = stored;
    FStats.Header = h;
    bool write = DecideReplace(
        [&] { return IsFileNewerByVersion(h.Version, target, FOverwrite, h.FileDate); }, target,
        computeTarget);
    if (write) InflateTo(h, target);
    FStats.Done = h.UncompressedSize;
    if (!write) FStats.TotalDone += h.UncompressedSize;
    Status(true);
}

void TCrvnCompress::InflateTo(const TFileHeaderRec& h, const std::string& target) {
    TDataReader reader(*this, h);
    TTempTarget out(target);
    bool program = false, first = true;
    InflateStream([&](char* buf, size_t n) { return reader.Read(buf, n); },
                  [&](const char* data, size_t n) {
                      if (first) program = LooksLikeProgram(data, n);
                      first = false;
                      // The 4096-byte step is the unit of the abort check, the pump and the
                      // status; the chunk is written in one piece after its steps.
                      for (size_t done = 0; done < n; done += OutputStep) {
                          CheckAbort();
                          AppServices().ProcessMessages();
                          size_t step = std::min(OutputStep, n - done);
                          FStats.Done += static_cast<int64_t>(step);
                          FStats.TotalDone += static_cast<int64_t>(step);
                          Status(false);
                      }
                      WriteAll(out.File, data, n, [this] { DiskFull(); });
                  },
                  h.UncompressedSize, h.Path, target);
    if (out.File.Size() != static_cast<uint64_t>(h.UncompressedSize)) Fail(MismatchText, {target});
    out.File.Close();
    try {
        WinSetFileAge(out.TempName(), h.FileDate);
    } catch (const Exception&) {
        throw ECrvnCompress("Cannot set the date of the file just extracted.");
    }
    if (program) WinMarkExecutableIfProgram(out.TempName());
    out.Commit();
}

void TCrvnCompress::AddFiles(TlzhCommand mode, int fileId) {
    try {
        FAbort = false;
        FMode = cmAdd;
        FOffset = 0;
        DropHeaders();
        // Every file is checked before anything is written.
        std::vector<TFileHeader> added;
        FStats = TlzhFileStats{};
        for (int i = 0; i < FFilesToProcess.Count(); ++i) {
            std::string path = GetDelimitedField(FFilesToProcess[i], 1, ';');
            if (Trim(path).empty()) throw ECrvnCompress("Tried to add an invalid file header");
            if (path.size() > MaxStoredPath)
                Fail("The path %s is longer than %d characters and cannot be stored in the archive",
                     {path, int(MaxStoredPath)});
            if (!WinFileExists(path)) Fail("Cannot open the file %s", {path});
            uint64_t size = WinFileSize(path);
            if (size > static_cast<uint64_t>(Max32))
                Fail("The file %s is 2 GB or larger and cannot be stored in the archive", {path});
            TFileHeader header;
            header.Rec.FileNumber = static_cast<int32_t>(added.size()) + 1;
            header.Rec.Path = path;
            header.Rec.FileDate = WinFileAge(path);
            header.Rec.UncompressedSize = static_cast<int32_t>(size);
            header.Rec.Version = CutAtCharBoundary(GetFileVersionText(path), MaxStoredVersion);
            FStats.TotalUncompressed += header.Rec.UncompressedSize;
            added.push_back(std::move(header));
        }

        TWinFsFile archive;
        std::vector<TFileHeader> kept;
        try {
            WinForceDirectories(WinParentDir(NormalizeWinPath(FCompressedFile)));
        } catch (const Exception&) {
            Fail("Cannot create the file %s", {FCompressedFile});
        }
        if (mode == lzcOnlyAdd && WinFileExists(FCompressedFile)) {
            try {
                archive.OpenReadWrite(FCompressedFile);
            } catch (const Exception&) {
                Fail("Cannot create the file %s", {FCompressedFile});
            }
            TArchiveDirectory old = ReadArchiveHeaders(FileByteSource(archive), 0);
            // Appending needs a single-file archive whose last header points at its end; an
            // archive without entries must end right after its prologue, where readers look
            // for the first header.
            const uint64_t end = old.Headers.empty()
                                     ? uint64_t(ArchivePrologueSize)
                                     : static_cast<uint64_t>(old.Headers.back().Rec.NextHeader);
            if (old.MultiVolume || end != archive.Size()) Corrupt();
            kept = std::move(old.Headers);
        } else {
            try {
                archive.Create(FCompressedFile);
            } catch (const Exception&) {
                Fail("Cannot create the file %s", {FCompressedFile});
            }
        }
        auto writeFailed = [this] {
            DiskFull();
            throw EccDiskFull("The disk is full");
        };
        char prologue[ArchivePrologueSize] = {};
        PutI32(prologue, static_cast<int32_t>(kept.size() + added.size()));
        archive.Seek(0);
        WriteAll(archive, prologue, sizeof prologue, writeFailed);
        uint64_t pos = std::max<uint64_t>(archive.Size(), ArchivePrologueSize);
        archive.Seek(pos);

        const int level = ZlibLevel(FCompressionLevel);
        std::unique_ptr<char[]> in(new char[InputPiece]), outBuf(new char[InputPiece]);
        for (TFileHeader& header : added) {
            TFileHeaderRec& h = header.Rec;
            TWinFsFile source;
            try {
                source.OpenRead(h.Path);
            } catch (const Exception&) {
                Fail("Cannot open the file %s", {h.Path});
            }
            const uint64_t headerPos = pos;
            if (headerPos + FileHeaderSize > static_cast<uint64_t>(Max32))
                Fail("The archive %s would grow past 2 GB", {FCompressedFile});
            h.FirstByte = static_cast<int32_t>(headerPos + FileHeaderSize);
            std::string raw = EncodeFileHeader(h);
            if (archive.Write(raw.data(), raw.size()) < raw.size()) {
                DiskFull();
                throw ECrvnCompress("Could not write the file headers for the compressed file");
            }
            pos += FileHeaderSize;
            if (OnBeforeAdding) OnBeforeAdding(this);
            FStats.Done = 0;
            FStats.FileName = h.Path;
            FStats.UncompressedSize = h.UncompressedSize;
            FStats.StoredSize = 0;
            FStats.Header = h;

            z_stream zs{};
            if (deflateInit(&zs, level) != Z_OK) Fail("Cannot compress %s", {h.Path});
            TScopeExit end([&] { deflateEnd(&zs); });
            int flush = Z_NO_FLUSH;
            do {
                size_t n = source.Read(in.get(), InputPiece);
                flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
                zs.next_in = reinterpret_cast<Bytef*>(in.get());
                zs.avail_in = static_cast<uInt>(n);
                do {
                    zs.next_out = reinterpret_cast<Bytef*>(outBuf.get());
                    zs.avail_out = static_cast<uInt>(InputPiece);
                    deflate(&zs, flush);
                    size_t produced = InputPiece - zs.avail_out;
                    if (pos + produced > static_cast<uint64_t>(Max32))
                        Fail("The archive %s would grow past 2 GB", {FCompressedFile});
                    WriteAll(archive, outBuf.get(), produced, writeFailed);
                    pos += produced;
                    FStats.StoredSize += static_cast<int64_t>(produced);
                    FStats.TotalStored += static_cast<int64_t>(produced);
                } while (zs.avail_out == 0);
                FStats.Done += static_cast<int64_t>(n);
                FStats.TotalDone += static_cast<int64_t>(n);
                CheckAbort();
                AppServices().ProcessMessages();
                Status(false);
            } while (flush != Z_FINISH);
            if (FStats.Done != h.UncompressedSize)
                Fail("The file %s changed while it was being added", {h.Path});
            Status(true);
            h.LastByte = static_cast<int32_t>(pos - 1);
            h.NextHeader = static_cast<int32_t>(pos);
            h.StoredSize = static_cast<int32_t>(pos);
            h.FileId = fileId;
            raw = EncodeFileHeader(h);
            archive.Seek(headerPos);
            WriteAll(archive, raw.data(), raw.size(), writeFailed);
            archive.Seek(pos);
            if (OnAfterAdding) OnAfterAdding(this);
        }
        FFilesToProcess.Clear();
        DropHeaders();
    } catch (const EccAborted&) {
        DropHeaders();
        if (OnAborted) OnAborted(this);
    } catch (...) {
        DropHeaders();
        FAbort = true;
        throw;
    }
}

void TCrvnCompress::SplitToVolumes(const std::string& directory, const std::string& volumeName) {
    try {
        FAbort = false;
        LoadHeaders();
        if (FDir.MultiVolume) Corrupt(); // already volumes
        TWinFsFile first;
        std::string firstName = WinJoin(RemoveTrailingBackslash(directory), volumeName);
        try {
            first.Create(firstName);
        } catch (const Exception&) {
            Fail("Cannot create the file %s", {firstName});
        }
        const char* tooSmall = "There is too little space on this disk to operate";
        std::vector<TFileHeaderRec> headers;
        for (const TFileHeader& h : FDir.Headers)
            headers.push_back(h.Rec);
        auto writeHeaders = [&] {
            char prologue[ArchivePrologueSize] = {};
            PutI32(prologue, static_cast<int32_t>(headers.size()));
            prologue[4] = 1;
            first.Seek(0);
            if (first.Write(prologue, sizeof prologue) < sizeof prologue) throw ECrvnCompress(tooSmall);
            for (size_t i = 0; i < headers.size(); ++i) {
                headers[i].NextHeader =
                    static_cast<int32_t>(ArchivePrologueSize + (i + 1) * FileHeaderSize);
                std::string raw = EncodeFileHeader(headers[i]);
                if (first.Write(raw.data(), raw.size()) < raw.size()) throw ECrvnCompress(tooSmall);
            }
        };
        writeHeaders();

        int volume = 1;
        TWinFsFile next;
        TWinFsFile* current = &first;
        std::string volumeDir = directory;
        FStats = TlzhFileStats{};
        for (size_t i = 0; i < headers.size(); ++i)
            FStats.TotalUncompressed += CompressedSizeOf(FDir, i);
        FStats.TotalStored = FStats.TotalUncompressed;
        std::unique_ptr<char[]> block(new char[CopyBlock]);
        for (size_t i = 0; i < headers.size(); ++i) {
            TFileHeaderRec& h = headers[i];
            TDataReader reader(*this, FDir.Headers[i].Rec);
            h.FirstVolume = static_cast<uint8_t>(volume);
            h.FirstByte = static_cast<int32_t>(current->Position());
            FStats.Done = 0;
            FStats.FileName = h.Path;
            FStats.UncompressedSize = CompressedSizeOf(FDir, i);
            FStats.StoredSize = FStats.UncompressedSize;
            FStats.Header = FDir.Headers[i].Rec;
            bool wroteAny = false;
            for (size_t n; (n = reader.Read(block.get(), CopyBlock)) > 0;) {
                CheckAbort();
                AppServices().ProcessMessages();
                size_t w = current->Write(block.get(), n);
                if (w < n) {
                    if (volume >= 255) throw ECrvnCompress(tooSmall);
                    if (current != &first) current->Close();
                    ++volume;
                    if (!OnNewDisk)
                        throw ECrvnCompress("There was no event handler for the OnNewDisk event, "
                                            "therefore no new disk could be inserted");
                    std::string path = volumeDir;
                    OnNewDisk(this, volume, path);
                    volumeDir = RemoveTrailingBackslash(path);
                    std::string name =
                        WinJoin(volumeDir, ChangeWinExt(volumeName, VolumeExt(volume)));
                    try {
                        next.Create(name);
                    } catch (const Exception&) {
                        Fail("Cannot create the file %s", {name});
                    }
                    current = &next;
                    if (!wroteAny && w == 0) {
                        // Nothing of this file fitted: its data starts on the new volume.
                        h.FirstVolume = static_cast<uint8_t>(volume);
                        h.FirstByte = 0;
                    }
                    if (current->Write(block.get() + w, n - w) < n - w) throw ECrvnCompress(tooSmall);
                }
                wroteAny = true;
                FStats.Done += static_cast<int64_t>(n);
                FStats.TotalDone += static_cast<int64_t>(n);
                Status(false);
            }
            h.LastVolume = static_cast<uint8_t>(volume);
            h.LastByte = static_cast<int32_t>(current->Position()) - 1;
            Status(true);
        }
        writeHeaders();
    } catch (const EccAborted&) {
        if (OnAborted) OnAborted(this);
    } catch (...) {
        FAbort = true;
        throw;
    }
}

void TCrvnCompress::CopyFile(const std::string& source, const std::string& destination) {
    TScopeExit reset([this] {
        FTargetName.clear();
        FSkip = false;
    });
    std::string target = destination;
    // OnReplace may give the copy another name in the destination's directory.
    auto computeTarget = [&] {
        std::string name;
        if (Trim(FTargetName).empty() || !TargetComponent(FTargetName, name)) return destination;
        return WinJoin(WinParentDir(NormalizeWinPath(destination)), name);
    };
    bool write = DecideReplace([&] { return IsFileNewerByName(source, target, FOverwrite); },
                               target, computeTarget);
    FStats = TlzhFileStats{};
    FStats.FileName = source;
    if (!write) {
        Status(true);
        return;
    }
    TWinFsFile in;
    try {
        in.OpenRead(source);
    } catch (const Exception&) {
        Fail("Cannot open the file %s", {source});
    }
    FStats.UncompressedSize = FStats.TotalUncompressed = static_cast<int64_t>(in.Size());
    TTempTarget out(target);
    std::unique_ptr<char[]> block(new char[CopyBlock]);
    while (true) {
        if (GetBuildAbort()) throw ECrvnCompress("Creating Install Aborted!");
        size_t n = in.Read(block.get(), CopyBlock);
        if (n == 0) break;
        if (out.File.Write(block.get(), n) < n) {
            DiskFull();
            throw EccDiskFull("The disk is full");
        }
        FStats.Done += static_cast<int64_t>(n);
        FStats.TotalDone = FStats.Done;
        AppServices().ProcessMessages();
        Status(false);
    }
    struct stat st;
    if (stat(WinPathToHost(source).c_str(), &st) == 0) out.File.SetMode(st.st_mode & 07777);
    out.File.Close();
    WinSetFileAge(out.TempName(), WinFileAge(source));
    out.Commit();
    Status(true);
}

TCrvnCompress& SharedCompress() {
    static TCrvnCompress shared;
    return shared;
}

} // namespace zan
