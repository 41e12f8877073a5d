// Version resources of files and the overwrite decision built on them.
//
// Version data is a block of our own format (little-endian):
//     "ZVER"  magic
//     u32     format number (1)
//     u32     length of the fixed-info record: 0 (none) or 52
//     52      fixed info: signature 0xFEEF04BD and the twelve fields after it
//     u32     length of the Translation value, then its bytes
//     u32     number of string tables; each: 8 hex digits (language, code page),
//             u32 number of pairs, each pair a u32-length-prefixed key and value (UTF-8)
// It travels in an ELF section ".verinfo" (tools/mkverinfo writes a block, objcopy adds the
// section). Files without that section, Windows PE files included, have no version data.
//
// The readers take bytes and check every length and offset against what they were given; a
// block or file that lies about its sizes has no version data.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/DateUtils.h"

namespace zan {

// The string-table language and character set of a version resource (a separate namespace: the
// translator's TLanguage is another type).
namespace versionres {

enum TLanguage : uint8_t {
    lnArabic, lnBulgarian, lnCatalan, lnTraditionalChinese, lnCzech, lnDanish, lnGerman,
    lnGreek, lnUSEnglish, lnCastilianSpanish, lnFinnish, lnFrench, lnHebrew, lnHungarian,
    lnIcelandic, lnItalian, lnJapanese, lnKorean, lnDutch, lnNorwegianBokmal, lnPolish,
    lnBrazilianPortuguese, lnRhaetoRomanic, lnRomanian, lnRussian, lnCroatoSerbian, lnSlovak,
    lnAlbanian, lnSwedish, lnThai, lnTurkish, lnUrdu, lnBahasa, lnSimplifiedChinese,
    lnSwissGerman, lnUKEnglish, lnMexicanSpanish, lnBelgianFrench, lnSwissItalian,
    lnBelgianDutch, lnNorwegianNynorsk, lnPortuguese, lnSerboCroatian, lnCanadianFrench,
    lnSwissFrench
};

enum TCharacterSet : uint8_t {
    csASCII, csJapan, csKorea, csTaiwan, csUnicode, csLatin2, csCyrillic, csMultilingual,
    csGreek, csTurkish, csHebrew, csArabic
};

// The Windows language id and code page of the values above.
uint16_t LanguageId(TLanguage language);
uint16_t CodePage(TCharacterSet charset);

} // namespace versionres

enum TOverwriteType : uint8_t { owAlways, owNever, owVersion, owDate, owVersionDate, owAsk };

// Results of the overwrite decision.
enum : int {
    vrUndetermined = 0,
    vrEqual = 1,
    vrReplace = 2,
    vrKeep = 3,
    vrAsk = 4,
};

// The fixed part of version data (the Windows structure's thirteen fields).
struct TFixedFileInfo {
    static constexpr uint32_t Signature = 0xFEEF04BD;
    uint32_t dwSignature = Signature;
    uint32_t dwStrucVersion = 0x00010000;
    uint32_t dwFileVersionMS = 0, dwFileVersionLS = 0;
    uint32_t dwProductVersionMS = 0, dwProductVersionLS = 0;
    uint32_t dwFileFlagsMask = 0, dwFileFlags = 0;
    uint32_t dwFileOS = 0, dwFileType = 0, dwFileSubtype = 0;
    uint32_t dwFileDateMS = 0, dwFileDateLS = 0;
};

struct TVersionStringTable {
    std::string Name; // 8 hex digits: language id and code page
    std::vector<std::pair<std::string, std::string>> Values;
};

// Parsed version data.
struct TVersionBlock {
    std::optional<TFixedFileInfo> Fixed;
    std::string Translation; // the Translation value's bytes (normally 4)
    std::vector<TVersionStringTable> Tables;

    // The value at a query path: "\" (the fixed info's 52 bytes), "\VarFileInfo\Translation",
    // "\StringFileInfo\<8 hex digits>\<key>" (table names and keys ignore case). False when
    // the path has no value.
    bool Query(const std::string& path, std::string& value) const;
};

// Writes a block in the format above.
std::string SerializeVersionBlock(const TVersionBlock& block);
// Reads a block; nothing when the bytes are not a well-formed block.
std::optional<TVersionBlock> ParseVersionBlock(std::string_view bytes);

// Random access to a file's bytes: the size and a reader that answers how many bytes it read.
struct TByteSource {
    uint64_t Size = 0;
    std::function<size_t(uint64_t offset, void* buffer, size_t count)> ReadAt;
};
class TWinFsFile;
// A source over an open file (reads move its position) and over bytes in memory (which must
// outlive it).
TByteSource FileByteSource(TWinFsFile& file);
TByteSource MemoryByteSource(std::string_view bytes);

// The bytes of an ELF file's ".verinfo" section (32- or 64-bit, either byte order); empty when
// the file is not ELF, has no such section or its headers do not fit the file.
std::string ElfVersionSection(const TByteSource& source);
// The same over bytes in memory.
std::string ElfVersionSectionFromBytes(std::string_view bytes);
// The version data of file bytes: the ELF section parsed; nothing otherwise.
std::optional<TVersionBlock> VersionDataFromBytes(std::string_view fileBytes);
// The version data of a file (Windows-form path); nothing when it has none or cannot be read.
std::optional<TVersionBlock> ReadFileVersionData(const std::string& fileName);

class TVersionInfo : public TObject {
public:
    ZAN_CLASS(TVersionInfo)
    void Clear();

    std::string Comment, CompanyName, FileDescription, FileVersion, InternalName, LegalCopyright,
        LegalTradeMarks, OriginalFileName, PrivateBuild, ProductName, ProductVersion,
        SpecialBuild, FileOS, FileType, FileSubType;
    uint16_t PrimaryLanguage = 0; // low 10 bits of the first translation's language id
};

class TVersionResource : public TComponent {
public:
    explicit TVersionResource(TComponent* owner = nullptr);
    ZAN_CLASS(TVersionResource)

    const std::string& GetFileName() const { return FFileName; }
    void SetFileName(const std::string& fileName);
    versionres::TLanguage GetLanguage() const { return FLanguage; }
    void SetLanguage(versionres::TLanguage language);
    versionres::TCharacterSet GetCharacterSet() const { return FCharacterSet; }
    void SetCharacterSet(versionres::TCharacterSet charset);
    const TVersionInfo& GetVersionInfo() const { return FVersionInfo; }
    // True when FileName is another file than the running program.
    bool IsOtherFile() const { return FOtherFile; }

    // Fills the version info from version data (what reading a file does after loading it).
    void Apply(const std::optional<TVersionBlock>& block);

private:
    void Read();

    std::string FFileName;
    versionres::TLanguage FLanguage = versionres::lnUSEnglish;
    versionres::TCharacterSet FCharacterSet = versionres::csMultilingual;
    TVersionInfo FVersionInfo;
    bool FOtherFile = false;
};

// The texts of the fixed info's operating system, type and subtype values.
std::string FileOSText(uint32_t os);
std::string FileTypeText(uint32_t type);
std::string FileSubTypeText(uint32_t type, uint32_t subtype); // empty unless driver or font

// Compares dotted versions: 0 equal, 1 a is newer, 2 b is newer.
int CompareVersions(const std::string& a, const std::string& b);

// The overwrite decision for a new file over an existing one (vr* results).
int IsFileNewerByName(const std::string& newFile, const std::string& existingFile,
                      TOverwriteType overwrite);
// The same with the new file's version and date given.
int IsFileNewerByVersion(const std::string& newVersion, const std::string& existingFile,
                         TOverwriteType overwrite, TDateTime newDate);

// The file version of a file through the shared version resource ("" without version data).
std::string GetFileVersionText(const std::string& fileName);

// True when the file's version data has a translation and the string table of its first
// language and code page holds "OLESelfRegister".
bool IsOLESelfRegister(const std::string& fileName);

} // namespace zan
