#include "setup/engine/cmp_TInstallBuild.h"

#include <cctype>
#include <cstring>

#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TNetInstallLocation.h"
#include "setup/engine/routines_API.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

void PutInt32(std::string& out, size_t at, int32_t value) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
}

int32_t GetInt32(std::string_view in, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
    return static_cast<int32_t>(v);
}

void PutDouble(std::string& out, size_t at, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

double GetDouble(std::string_view in, size_t at) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = bits << 8 | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

const char* ExtractInfoFailure = "Could not read the extraction info from the archive file %s when "
                                 "trying to find the correct offset into the self extracting file";

// Copies count bytes from in (at its position) to out in blocks; answers the bytes written.
uint64_t CopyBlocks(TWinFsFile& in, TWinFsFile& out, uint64_t count, size_t block,
                    const std::function<void()>& beforeBlock) {
    std::string buffer(block, '\0');
    uint64_t done = 0;
    while (done < count) {
        if (beforeBlock) beforeBlock();
        size_t want = static_cast<size_t>(std::min<uint64_t>(block, count - done));
        size_t got = in.Read(buffer.data(), want);
        if (got == 0) break;
        size_t written = out.Write(buffer.data(), got);
        done += written;
        if (written < got) break;
        AppServices().ProcessMessages();
    }
    return done;
}

// A short write on a full disk raises EWinError 112; both end as a short copy.
uint64_t CopyBlocksQuietly(TWinFsFile& in, TWinFsFile& out, uint64_t count, size_t block,
                           const std::function<void()>& beforeBlock) {
    uint64_t before = out.Position();
    try {
        return CopyBlocks(in, out, count, block, beforeBlock);
    } catch (const EWinError&) {
        return out.Position() - before;
    }
}

// A drive path ("C:\\build") or one from the drive root ("\\build"), without the characters
// Windows refuses in names or control bytes.
bool IsFullBuildPath(const std::string& path) {
    bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                 (path[2] == '\\' || path[2] == '/');
    bool rooted = !path.empty() && (path[0] == '\\' || path[0] == '/') && path.rfind("\\\\", 0) != 0;
    if (!drive && !rooted) return false;
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c < 0x20 || std::strchr("<>\"|?*", c) || (c == ':' && i != 1)) return false;
    }
    return true;
}

} // namespace

std::string EncodeSelfExtractInfo(const TSelfExtractInfo& info) {
    std::string out(SelfExtractTrailerSize, '\0');
    std::string tag = info.Tag.substr(0, 15);
    out[0] = static_cast<char>(tag.size());
    std::memcpy(out.data() + 1, tag.data(), tag.size());
    PutInt32(out, 16, info.SetupFirst);
    PutInt32(out, 20, info.SetupLast);
    PutInt32(out, 24, info.FilesFirst);
    PutInt32(out, 28, info.FilesLast);
    return out;
}

TSelfExtractInfo DecodeSelfExtractInfo(std::string_view t, uint64_t fileSize,
                                       const std::string& fileName) {
    auto fail = [&] { return IEInstall(ExtractInfoFailure, {fileName}); };
    if (t.size() < SelfExtractTrailerSize || fileSize < SelfExtractTrailerSize) throw fail();
    size_t length = static_cast<uint8_t>(t[0]);
    if (length > 15) throw fail();
    TSelfExtractInfo info;
    info.Tag = std::string(t.substr(1, length));
    info.SetupFirst = GetInt32(t, 16);
    info.SetupLast = GetInt32(t, 20);
    info.FilesFirst = GetInt32(t, 24);
    info.FilesLast = GetInt32(t, 28);
    const int64_t end = static_cast<int64_t>(fileSize - SelfExtractTrailerSize); // first trailer byte
    if (info.Tag == NotSelfExtractTag) return info;
    if (info.Tag != SelfExtractingTag) throw fail();
    bool ordered = info.SetupFirst > 0 && info.SetupFirst <= info.SetupLast && info.SetupLast < end;
    bool noFiles = info.FilesFirst == 0 && info.FilesLast == 0;
    bool files = info.FilesFirst > info.SetupLast && info.FilesFirst <= info.FilesLast &&
                 info.FilesLast < end;
    if (!ordered || !(noFiles || files)) throw fail();
    return info;
}

TSelfExtractInfo ReadSelfExtractInfo(const std::string& fileName) {
    std::string trailer;
    uint64_t size = 0;
    try {
        TWinFsFile file;
        file.OpenRead(fileName);
        size = file.Size();
        if (size < SelfExtractTrailerSize) throw IEInstall(ExtractInfoFailure, {fileName});
        file.Seek(size - SelfExtractTrailerSize);
        trailer.resize(SelfExtractTrailerSize);
        trailer.resize(file.Read(trailer.data(), SelfExtractTrailerSize));
    } catch (const EWinError&) {
        throw IEInstall(ExtractInfoFailure, {fileName});
    }
    return DecodeSelfExtractInfo(trailer, size, fileName);
}

std::string EncodeRemoteFileList(const std::vector<TRemoteFileRecord>& records) {
    for (const TRemoteFileRecord& r : records)
        if (r.Name.size() >= RemoteNameSize)
            throw IEInstall("The component name %s is longer than %d characters and cannot be "
                            "listed in filelist.lst",
                            {r.Name, int(RemoteNameSize - 1)});
    std::string out(4 + records.size() * RemoteRecordSize, '\0');
    PutInt32(out, 0, static_cast<int32_t>(records.size()));
    size_t at = 4;
    for (const TRemoteFileRecord& r : records) {
        PutInt32(out, at, r.Size);
        PutDouble(out, at + 8, r.Date);
        std::memcpy(out.data() + at + 16, r.Name.data(), r.Name.size());
        // A version of 20 characters or more keeps its first 19: the field ends with a NUL.
        std::string version = CutAtCharBoundary(r.Version, RemoteVersionSize - 1);
        std::memcpy(out.data() + at + 56, version.data(), version.size());
        at += RemoteRecordSize;
    }
    return out;
}

std::vector<TRemoteFileRecord> DecodeRemoteFileList(std::string_view bytes,
                                                    const std::string& fileName) {
    auto fail = [&] { return IEInstall("Cannot read the remote list of files: %s", {fileName}); };
    if (bytes.size() < 4) throw fail();
    int32_t count = GetInt32(bytes, 0);
    if (count < 0 || static_cast<uint64_t>(count) > (bytes.size() - 4) / RemoteRecordSize)
        throw fail();
    auto field = [&](size_t at, size_t size) {
        std::string_view f = bytes.substr(at, size);
        size_t nul = f.find('\0');
        if (nul == std::string_view::npos) throw fail();
        return std::string(f.substr(0, nul));
    };
    std::vector<TRemoteFileRecord> records;
    for (int32_t i = 0; i < count; ++i) {
        size_t at = 4 + static_cast<size_t>(i) * RemoteRecordSize;
        TRemoteFileRecord r;
        r.Size = GetInt32(bytes, at);
        r.Date = GetDouble(bytes, at + 8);
        r.Name = field(at + 16, RemoteNameSize);
        r.Version = field(at + 56, RemoteVersionSize);
        records.push_back(std::move(r));
    }
    return records;
}

// ---- the install component's build side ----

void TCustomInstall::BuildFromBuildInf() {
    try {
        std::string inf = AddTrailingBackslash(GetSetupDirectory()) + "BUILD.INF";
        if (!WinFileExists(inf))
            throw IEInstall("Need to have a BUILD.INF file in this directory with the first line "
                            "specifying the build directory");
        std::string text = WinReadFile(inf);
        if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3); // an editor's UTF-8 mark
        std::string first = text.substr(0, text.find_first_of("\r\n"));
        if (Trim(first).empty())
            throw IEInstall("Must be 1 line in BUILD.INF. This line should specify the build "
                            "directory");
        // Anything but a full path (a section header, a name=value line, a relative name,
        // binary bytes) would build somewhere nobody asked for.
        std::string dir = Trim(first);
        if (!IsFullBuildPath(dir))
            throw IEInstall("The first line of BUILD.INF must be the full path of the build "
                            "directory: %s", {dir});
        BuildSelfExtractor(WinGetModuleFileName(), dir, true);
        FOutcome = roBuildDone;
    } catch (const std::exception& e) {
        FOutcome = roBadInstall;
        UserPrompts().Message(e.what(), pbOK);
    }
    AppServices().Terminate();
}

void TCustomInstall::BuildSetupFile(const std::string& buildDir, const std::string& program) {
    if (Trim(program).empty()) throw IEInstall("Cannot create setup file. Executable is blank");
    if (!WinFileExists(program))
        throw IEInstall("TInstall: Cannot find the executable file %s", {program});
    std::string archive = AddTrailingBackslash(buildDir) + "setup.1";
    WinForceDirectories(buildDir);
    auto pack = [&](const std::string& path, TlzhCommand mode) {
        TCustomInstallFile file(nullptr);
        file.SetIncludeFromDir(WinParentDir(NormalizeWinPath(path)));
        file.SetFileName(WinFileNameOf(NormalizeWinPath(path)));
        file.SetNet(false);
        file.SetAddToArchive(mode);
        file.SetArchiveFileType(nullptr);
        file.SetArchiveFile(archive);
        file.Compress();
    };
    pack(program, lzcOverwrite);
    for (int i = 0; i < FPresetupFiles.Count(); ++i)
        pack(Trim(FPresetupFiles.Get(i)), lzcOnlyAdd);
}

void TCustomInstall::BuildSelfExtractor(const std::string& program, const std::string& buildDir,
                                        bool selfExtracting) {
    if (selfExtracting && !FUseLoadingProgram)
        throw IEInstall("Cannot build a stand alone executable if the UseLoadingProgram property "
                        "of the TInstall is set to False");
    std::string dir = RemoveTrailingBackslash(buildDir);
    std::string setupExe = dir + "\\setup.exe";
    if (FUseLoadingProgram) {
        try {
            BuildSetupFile(dir, program);
        } catch (const EccDiskFull&) {
            throw IEInstall("The disk that you have specified has been determined to be either too "
                            "full or is corrupt while trying to copy the SETUP.1 archive file. You "
                            "should probably clear all files off of the drive. Minimally, you "
                            "should leave enough space on the drive for the SETUP.1 archive file.");
        }
        std::string library;
        try {
            library = FindLibraryDirectory(true);
        } catch (const IENoCorvanePath&) {
            throw IEInstall("The HKEY_LOCAL_MACHINE | %s key in the registry is either missing or "
                            "points to an invalid Kel directory",
                            {"\\Software\\Tarn\\Kovrix"});
        }
        std::string loader = AddTrailingBackslash(library) + "CorvaneLoadProgram.exe";
        if (!WinFileExists(loader)) throw IEInstall("The loader program %s was not found", {loader});
        try {
            WinCopyFile(loader, setupExe, false);
            WinMarkExecutableIfProgram(setupExe);
        } catch (const EWinError&) {
            throw IEInstall("Cannot copy the loading program from %s to %s", {loader, setupExe});
        }
    } else {
        WinForceDirectories(dir);
        std::string target = dir + "\\" + WinFileNameOf(NormalizeWinPath(program));
        try {
            WinCopyFile(program, target, false);
            WinMarkExecutableIfProgram(target);
        } catch (const EWinError&) {
            throw IEInstall("Cannot copy the installation application from %s to %s",
                            {program, target});
        }
    }
    // The compress pass packs into the build directory; the script's settings come back after.
    {
        TCustomPathSpecifier* savedType = FArchiveFileType;
        std::string savedFile = FArchiveFile;
        TScopeExit restore([&] {
            SetArchiveFileType(savedType);
            FArchiveFile = savedFile;
        });
        SetArchiveFileType(nullptr);
        FArchiveFile = dir + "\\files.1";
        int options = FDistributeType == dtWeb ? 54 : FDistributeType == dtTraditionalNet ? 38 : 46;
        Compress(options);
        if (FDistributeType != dtTraditional) WriteRemoteFileList(dir);
    }
    if (selfExtracting) AppendArchives(setupExe, dir);
    else if (WinFileExists(setupExe)) {
        TSelfExtractInfo info;
        info.Tag = NotSelfExtractTag;
        std::string trailer = EncodeSelfExtractInfo(info);
        TWinFsFile out;
        out.OpenReadWrite(setupExe);
        out.Seek(out.Size());
        if (out.Write(trailer.data(), trailer.size()) != trailer.size())
            throw IEInstall("Cannot add the self-extract info header to %s", {setupExe});
    }
}

void TCustomInstall::WriteRemoteFileList(const std::string& dir) {
    std::vector<TRemoteFileRecord> records;
    for (TCustomInstallFile* file : InstallFileList()) {
        if (file->GetArchiveState() == asNone) continue;
        records.push_back({static_cast<int32_t>(file->GetFileSize()), file->GetFileDate(),
                           file->GetName(), file->GetVersion()});
    }
    WinWriteFile(AddTrailingBackslash(dir) + "filelist.lst", EncodeRemoteFileList(records));
}

void TCustomInstall::ReadRemoteFileList() {
    if (!FNetLocation) return;
    std::string local = CreateTempFileName(false);
    TScopeExit remove([&] {
        try {
            if (WinFileExists(local)) WinDeleteFile(local);
        } catch (const EWinError&) {
        }
    });
    FNetLocation->GetFile("filelist.lst", local);
    for (const TRemoteFileRecord& r : DecodeRemoteFileList(WinReadFile(local), "filelist.lst"))
        for (TCustomInstallFile* file : InstallFileList())
            if (SameText(file->GetName(), r.Name)) {
                file->SetFileInfo(r.Size, r.Date, r.Version);
                break;
            }
}

void TCustomInstall::AppendArchives(const std::string& setupExe, const std::string& dir) {
    TSelfExtractInfo info;
    TWinFsFile out;
    out.OpenReadWrite(setupExe);
    out.Seek(out.Size());
    auto append = [&](const std::string& archive, int32_t& first, int32_t& last) {
        TWinFsFile in;
        in.OpenRead(archive);
        uint64_t size = in.Size();
        if (out.Position() + size + SelfExtractTrailerSize > 0x7FFFFFFFu)
            throw IEInstall("Cannot create the self-extracting exe because %s could not be loaded "
                            "onto %s",
                            {archive, setupExe});
        first = static_cast<int32_t>(out.Position());
        if (CopyBlocksQuietly(in, out, size, 65536, nullptr) != size)
            throw IEInstall("Cannot create the self-extracting exe because %s could not be loaded "
                            "onto %s",
                            {archive, setupExe});
        last = static_cast<int32_t>(out.Position()) - 1;
    };
    append(dir + "\\setup.1", info.SetupFirst, info.SetupLast);
    if (WinFileExists(dir + "\\files.1")) append(dir + "\\files.1", info.FilesFirst, info.FilesLast);
    std::string trailer = EncodeSelfExtractInfo(info);
    if (out.Write(trailer.data(), trailer.size()) != trailer.size())
        throw IEInstall("Cannot create the self-extracting exe because %s could not be loaded "
                        "onto %s",
                        {std::string("the trailer"), setupExe});
}

void TCustomInstall::TransferToFloppies() {
    AppServices().SetHourglass(true);
    TScopeExit cursor([] { AppServices().SetHourglass(false); });
    try {
        if (!HasSwitch('e'))
            throw IEInstall("Sorry... You can only transfer this installation to floppies through "
                            "the self-extracting file. Usage example: setup.exe *TODISK");
        std::string source = GetSetupFileName();
        TSelfExtractInfo info = ReadSelfExtractInfo(source);
        if (info.Tag != SelfExtractingTag) throw IEInstall(ExtractInfoFailure, {source});
        ShowStatus("Transferring this installation to floppies. Please wait...");
        TWinFsFile in;
        in.OpenRead(source);
        {
            TWinFsFile out;
            out.Create("A:\\setup.exe");
            TSelfExtractInfo plain;
            plain.Tag = NotSelfExtractTag;
            std::string trailer = EncodeSelfExtractInfo(plain);
            uint64_t want = static_cast<uint64_t>(info.SetupFirst);
            bool complete = CopyBlocksQuietly(in, out, want, 65536, nullptr) == want;
            try {
                complete = complete && out.Write(trailer.data(), trailer.size()) == trailer.size();
            } catch (const EWinError&) {
                complete = false;
            }
            if (!complete)
                throw IEInstall("Cannot create setup.exe on the A drive. Probably not enough room");
            out.Close();
            // The copied loader stays a program.
            WinMarkExecutableIfProgram("A:\\setup.exe");
        }
        {
            TWinFsFile out;
            out.Create("A:\\setup.1");
            in.Seek(static_cast<uint64_t>(info.SetupFirst));
            uint64_t want = static_cast<uint64_t>(info.SetupLast - info.SetupFirst + 1);
            uint64_t done = CopyBlocksQuietly(in, out, want, 8192, [] {
                if (GetBuildAbort()) throw IEInstall("Creating Install Aborted!");
            });
            if (done != want)
                throw IEInstall("Cannot create setup.1 on the A drive. Probably not enough room");
        }
        if (info.FilesFirst > 0) {
            TCrvnCompress archive;
            archive.SetCompressedFile(source);
            archive.SetOffset(info.FilesFirst);
            archive.OnNewDisk = [](TObject*, int disk, std::string&) {
                AppServices().SetHourglass(false);
                TPromptResult answer =
                    UserPrompts().Message(FormatTranslated("Please insert disk %d", {disk}), pbOKCancel);
                AppServices().SetHourglass(true);
                if (answer == prCancel) throw IEInstall("Aborted by user");
            };
            archive.OnStatus = [](TObject*, const TlzhFileStats&) { AppServices().ProcessMessages(); };
            archive.SplitToVolumes("A:\\", "files.1");
        }
        CloseStatus();
        FOutcome = roBuildDone;
    } catch (const std::exception& e) {
        FOutcome = roBadInstall;
        UserPrompts().Message(e.what(), pbOK);
    }
    AppServices().Terminate();
}

} // namespace zan
