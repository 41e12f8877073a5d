// The build side of the install component: the distributables ("setup.1" with the setup
// program and the presetup files, "files.1" from the compress pass, the self-extracting
// "setup.exe"), the self-extract trailer, the remote file list "filelist.lst" and the transfer
// of a self-extracting installation to floppies.
//
// Self-extract trailer, the last 56 bytes of "setup.exe" (int32 little-endian):
//   +0  16 bytes: length byte 14 and "SELFEXTRACTING" (archives appended) or "NOTSELFEXTRACT"
//   +16 first and +20 last byte of the appended "setup.1"
//   +24 first and +28 last byte of the appended "files.1" (0 and 0 when there is none)
//   +32 24 zero bytes
// A self-extracting file is the loader, "setup.1", "files.1", the trailer; a "NOTSELFEXTRACT"
// file is the program and a trailer of zero positions.
//
// "filelist.lst": int32 count, then 80-byte records: +0 int32 size, +8 TDateTime date,
// +16 component name (NUL-terminated in 40 bytes), +56 version (NUL-terminated in 20 bytes).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/DateUtils.h"

namespace zan {

inline constexpr size_t SelfExtractTrailerSize = 56;
inline constexpr const char* SelfExtractingTag = "SELFEXTRACTING";
inline constexpr const char* NotSelfExtractTag = "NOTSELFEXTRACT";

struct TSelfExtractInfo {
    std::string Tag = SelfExtractingTag;
    int32_t SetupFirst = 0;
    int32_t SetupLast = 0;
    int32_t FilesFirst = 0;
    int32_t FilesLast = 0;
};

std::string EncodeSelfExtractInfo(const TSelfExtractInfo& info);
// Decodes and checks a trailer of a file of fileSize bytes: a known tag, positions in order
// and inside the file before the trailer. IEInstall "Could not read the extraction info ..."
// naming fileName otherwise.
TSelfExtractInfo DecodeSelfExtractInfo(std::string_view trailer, uint64_t fileSize,
                                       const std::string& fileName);
// Reads the trailer of a file (same error).
TSelfExtractInfo ReadSelfExtractInfo(const std::string& fileName);

inline constexpr size_t RemoteRecordSize = 80;
inline constexpr size_t RemoteNameSize = 40;
inline constexpr size_t RemoteVersionSize = 20;

struct TRemoteFileRecord {
    int32_t Size = 0;
    TDateTime Date = 0;
    std::string Name;
    std::string Version;
};

// Raises IEInstall for a name over 39 characters (it could match no component).
std::string EncodeRemoteFileList(const std::vector<TRemoteFileRecord>& records);
// IEInstall "Cannot read the remote list of files: %s" (with fileName) when the count does not
// fit the size or a name or version has no NUL inside its field.
std::vector<TRemoteFileRecord> DecodeRemoteFileList(std::string_view bytes,
                                                    const std::string& fileName);

} // namespace zan
