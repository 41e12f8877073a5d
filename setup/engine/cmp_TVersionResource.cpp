#include "setup/engine/cmp_TVersionResource.h"

#include <cmath>
#include <cstring>

#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"

namespace zan {

namespace versionres {

uint16_t LanguageId(TLanguage language) {
    static constexpr uint16_t Ids[] = {
        1025, 1026, 1027, 1028, 1029, 1030, 1031, 1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039,
        1040, 1041, 1042, 1043, 1044, 1045, 1046, 1047, 1048, 1049, 1050, 1051, 1052, 1053, 1054,
        1055, 1056, 1057, 2052, 2055, 2057, 2058, 2060, 2064, 2067, 2068, 2070, 2074, 3084, 4108};
    static_assert(sizeof Ids / sizeof Ids[0] == lnSwissFrench + 1);
    return language <= lnSwissFrench ? Ids[language] : 1033;
}

uint16_t CodePage(TCharacterSet charset) {
    static constexpr uint16_t Pages[] = {0,    932,  949,  950,  1200, 1250,
                                         1251, 1252, 1253, 1254, 1255, 1256};
    static_assert(sizeof Pages / sizeof Pages[0] == csArabic + 1);
    return charset <= csArabic ? Pages[charset] : 1252;
}

} // namespace versionres

namespace {

constexpr char Magic[4] = {'Z', 'V', 'E', 'R'};
constexpr uint32_t FormatNumber = 1;
constexpr uint32_t FixedSize = 52;
// The fixed info's fields in their stored order.
constexpr uint32_t TFixedFileInfo::*FixedFields[] = {
    &TFixedFileInfo::dwSignature,        &TFixedFileInfo::dwStrucVersion,
    &TFixedFileInfo::dwFileVersionMS,    &TFixedFileInfo::dwFileVersionLS,
    &TFixedFileInfo::dwProductVersionMS, &TFixedFileInfo::dwProductVersionLS,
    &TFixedFileInfo::dwFileFlagsMask,    &TFixedFileInfo::dwFileFlags,
    &TFixedFileInfo::dwFileOS,           &TFixedFileInfo::dwFileType,
    &TFixedFileInfo::dwFileSubtype,      &TFixedFileInfo::dwFileDateMS,
    &TFixedFileInfo::dwFileDateLS};
static_assert(sizeof FixedFields / sizeof FixedFields[0] * 4 == FixedSize);
// Version data larger than this is not version data (Windows caps resources at 64 KiB too).
constexpr uint64_t MaxBlockSize = 1 << 20;

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutBytes(std::string& out, std::string_view s) {
    PutU32(out, static_cast<uint32_t>(s.size()));
    out.append(s);
}

// A bounds-checked cursor over bytes.
class TReader {
public:
    explicit TReader(std::string_view bytes) : FBytes(bytes) {}
    bool U32(uint32_t& v) {
        if (FBytes.size() - FPos < 4) return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(static_cast<uint8_t>(FBytes[FPos + i])) << (8 * i);
        FPos += 4;
        return true;
    }
    bool Bytes(size_t n, std::string_view& out) {
        if (FBytes.size() - FPos < n) return false;
        out = FBytes.substr(FPos, n);
        FPos += n;
        return true;
    }
    bool Prefixed(std::string& out) {
        uint32_t n;
        std::string_view v;
        if (!U32(n) || !Bytes(n, v)) return false;
        out.assign(v);
        return true;
    }
    size_t Left() const { return FBytes.size() - FPos; }

private:
    std::string_view FBytes;
    size_t FPos = 0;
};

} // namespace

std::string SerializeVersionBlock(const TVersionBlock& block) {
    std::string out(Magic, 4);
    PutU32(out, FormatNumber);
    if (block.Fixed) {
        PutU32(out, FixedSize);
        for (uint32_t TFixedFileInfo::*field : FixedFields)
            PutU32(out, (*block.Fixed).*field);
    } else {
        PutU32(out, 0);
    }
    PutBytes(out, block.Translation);
    PutU32(out, static_cast<uint32_t>(block.Tables.size()));
    for (const TVersionStringTable& t : block.Tables) {
        std::string name = t.Name;
        name.resize(8, '0');
        out.append(name);
        PutU32(out, static_cast<uint32_t>(t.Values.size()));
        for (const auto& [key, value] : t.Values) {
            PutBytes(out, key);
            PutBytes(out, value);
        }
    }
    return out;
}

std::optional<TVersionBlock> ParseVersionBlock(std::string_view bytes) {
    TReader r(bytes);
    std::string_view magic;
    uint32_t format, fixedLen;
    if (!r.Bytes(4, magic) || magic != std::string_view(Magic, 4)) return std::nullopt;
    if (!r.U32(format) || format != FormatNumber || !r.U32(fixedLen)) return std::nullopt;
    TVersionBlock block;
    if (fixedLen == FixedSize) {
        TFixedFileInfo f;
        for (uint32_t TFixedFileInfo::*field : FixedFields)
            if (!r.U32(f.*field)) return std::nullopt;
        if (f.dwSignature != TFixedFileInfo::Signature) return std::nullopt;
        block.Fixed = f;
    } else if (fixedLen != 0) {
        return std::nullopt;
    }
    if (!r.Prefixed(block.Translation)) return std::nullopt;
    uint32_t tables;
    if (!r.U32(tables)) return std::nullopt;
    // Each table takes at least 12 bytes, each pair 8: counts beyond that are lies, refused
    // before anything is sized by them.
    if (tables > r.Left() / 12) return std::nullopt;
    for (uint32_t t = 0; t < tables; ++t) {
        TVersionStringTable table;
        std::string_view name;
        uint32_t pairs;
        if (!r.Bytes(8, name) || !r.U32(pairs) || pairs > r.Left() / 8) return std::nullopt;
        table.Name.assign(name);
        for (uint32_t p = 0; p < pairs; ++p) {
            std::string key, value;
            if (!r.Prefixed(key) || !r.Prefixed(value)) return std::nullopt;
            table.Values.emplace_back(std::move(key), std::move(value));
        }
        block.Tables.push_back(std::move(table));
    }
    if (r.Left() != 0) return std::nullopt;
    return block;
}

bool TVersionBlock::Query(const std::string& path, std::string& value) const {
    if (path == "\\") {
        if (!Fixed) return false;
        TVersionBlock only;
        only.Fixed = Fixed;
        value = SerializeVersionBlock(only).substr(12, FixedSize);
        return true;
    }
    if (SameText(path, "\\VarFileInfo\\Translation")) {
        if (Translation.empty()) return false;
        value = Translation;
        return true;
    }
    const std::string prefix = "\\StringFileInfo\\";
    if (path.size() < prefix.size() + 10 || !SameText(path.substr(0, prefix.size()), prefix))
        return false;
    std::string rest = path.substr(prefix.size());
    size_t slash = rest.find('\\');
    if (slash == std::string::npos) return false;
    std::string name = rest.substr(0, slash), key = rest.substr(slash + 1);
    for (const TVersionStringTable& t : Tables) {
        if (!SameText(t.Name, name)) continue;
        for (const auto& [k, v] : t.Values)
            if (SameText(k, key)) {
                value = v;
                return true;
            }
    }
    return false;
}

// ---- ELF carrier -------------------------------------------------------------------------------

std::string ElfVersionSection(const TByteSource& src) {
    auto read = [&](uint64_t off, void* buf, size_t n) {
        return off <= src.Size && src.Size - off >= n && src.ReadAt(off, buf, n) == n;
    };
    unsigned char ident[16];
    if (!read(0, ident, 16) || std::memcmp(ident, "\x7f" "ELF", 4) != 0) return {};
    bool is64 = ident[4] == 2, big = ident[5] == 2;
    if ((ident[4] != 1 && !is64) || (ident[5] != 1 && !big)) return {};
    auto get = [&](const unsigned char* p, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= uint64_t(p[big ? n - 1 - i : i]) << (8 * i);
        return v;
    };
    unsigned char eh[64];
    if (!read(0, eh, is64 ? 64 : 52)) return {};
    uint64_t shoff = is64 ? get(eh + 0x28, 8) : get(eh + 0x20, 4);
    uint64_t shentsize = get(eh + (is64 ? 0x3A : 0x2E), 2);
    uint64_t shnum = get(eh + (is64 ? 0x3C : 0x30), 2);
    uint64_t shstrndx = get(eh + (is64 ? 0x3E : 0x32), 2);
    const uint64_t minEnt = is64 ? 64 : 40;
    if (shoff == 0 || shnum == 0 || shentsize < minEnt || shstrndx >= shnum) return {};
    if (shoff > src.Size || (src.Size - shoff) / shentsize < shnum) return {};
    struct TSection {
        uint64_t Name, Offset, Size, Type;
    };
    auto section = [&](uint64_t i, TSection& s) {
        unsigned char sh[64];
        if (!read(shoff + i * shentsize, sh, minEnt)) return false;
        s.Name = get(sh, 4);
        s.Type = get(sh + 4, 4);
        s.Offset = is64 ? get(sh + 0x18, 8) : get(sh + 0x10, 4);
        s.Size = is64 ? get(sh + 0x20, 8) : get(sh + 0x14, 4);
        return true;
    };
    TSection names;
    if (!section(shstrndx, names) || names.Offset > src.Size || src.Size - names.Offset < names.Size)
        return {};
    static constexpr char Wanted[] = ".verinfo";
    for (uint64_t i = 0; i < shnum; ++i) {
        TSection s;
        if (!section(i, s) || s.Type == 8 /* no bits in the file */) continue;
        if (s.Name >= names.Size || names.Size - s.Name < sizeof Wanted) continue;
        char name[sizeof Wanted];
        if (!read(names.Offset + s.Name, name, sizeof Wanted) ||
            std::memcmp(name, Wanted, sizeof Wanted) != 0)
            continue;
        if (s.Offset > src.Size || src.Size - s.Offset < s.Size || s.Size > MaxBlockSize) return {};
        std::string data(static_cast<size_t>(s.Size), '\0');
        if (!read(s.Offset, data.data(), data.size())) return {};
        return data;
    }
    return {};
}

TByteSource FileByteSource(TWinFsFile& file) {
    TByteSource src;
    src.Size = file.Size();
    src.ReadAt = [&file](uint64_t off, void* buf, size_t n) -> size_t {
        file.Seek(off);
        size_t done = 0;
        while (done < n) {
            size_t k = file.Read(static_cast<char*>(buf) + done, n - done);
            if (k == 0) break;
            done += k;
        }
        return done;
    };
    return src;
}

TByteSource MemoryByteSource(std::string_view bytes) {
    TByteSource src;
    src.Size = bytes.size();
    src.ReadAt = [bytes](uint64_t off, void* buf, size_t n) -> size_t {
        if (off >= bytes.size()) return 0;
        size_t k = static_cast<size_t>(std::min<uint64_t>(n, bytes.size() - off));
        std::memcpy(buf, bytes.data() + off, k);
        return k;
    };
    return src;
}

std::string ElfVersionSectionFromBytes(std::string_view bytes) {
    return ElfVersionSection(MemoryByteSource(bytes));
}

std::optional<TVersionBlock> VersionDataFromBytes(std::string_view fileBytes) {
    std::string section = ElfVersionSectionFromBytes(fileBytes);
    if (section.empty()) return std::nullopt;
    return ParseVersionBlock(section);
}

std::optional<TVersionBlock> ReadFileVersionData(const std::string& fileName) {
    try {
        TWinFsFile file;
        file.OpenRead(fileName);
        TByteSource src = FileByteSource(file);
        std::string section = ElfVersionSection(src);
        if (section.empty()) return std::nullopt;
        return ParseVersionBlock(section);
    } catch (const Exception&) {
        return std::nullopt;
    }
}

// ---- Texts -------------------------------------------------------------------------------------

std::string FileOSText(uint32_t os) {
    switch (os) {
    case 1: return "Windows 3.0 or later";
    case 2: return "16 bit OS/2 Presentation Manager";
    case 3: return "32 bit OS/2 Presentation Manager";
    case 4: return "32 bit Windows";
    case 0x10000: return "MS-Dos";
    case 0x10001: return "Windows 3.0 or later with MS-Dos";
    case 0x10004: return "32 bit Windows with MS-Dos";
    case 0x20000: return "16 bit OS/2";
    case 0x20002: return "16 bit OS/2 with Presentation Manager";
    case 0x30000: return "32 bit OS/2";
    case 0x30003: return "32 bit OS/2 with Presentation Manager";
    case 0x40000: return "Windows NT";
    case 0x40004: return "Windows NT with 32 bit Windows";
    default: return "Unknown";
    }
}

std::string FileTypeText(uint32_t type) {
    switch (type) {
    case 1: return "Application";
    case 2: return "Dynamic-Link Library";
    case 3: return "Device Driver";
    case 4: return "Font";
    case 5: return "Virtual Device Driver";
    case 7: return "Static-Link Library";
    default: return "Unknown";
    }
}

std::string FileSubTypeText(uint32_t type, uint32_t subtype) {
    static const char* const Drivers[] = {"Printer", "Keyboard", "Language",   "Display",
                                          "Mouse",   "Network",  "System",     "Installable",
                                          "Sound",   "Communications"};
    static const char* const Fonts[] = {"Raster", "Vector", "TrueType"};
    if (type == 3) return subtype >= 1 && subtype <= 10 ? Drivers[subtype - 1] : "Unknown";
    if (type == 4) return subtype >= 1 && subtype <= 3 ? Fonts[subtype - 1] : "Unknown";
    return "";
}

// ---- TVersionResource --------------------------------------------------------------------------

void TVersionInfo::Clear() {
    for (std::string* s : {&Comment, &CompanyName, &FileDescription, &FileVersion, &InternalName,
                           &LegalCopyright, &LegalTradeMarks, &OriginalFileName, &PrivateBuild,
                           &ProductName, &ProductVersion, &SpecialBuild, &FileOS, &FileType,
                           &FileSubType})
        s->clear();
    PrimaryLanguage = 0;
}

TVersionResource::TVersionResource(TComponent* owner) : TComponent(owner) {
    FFileName = WinGetModuleFileName();
    Read();
}

void TVersionResource::SetFileName(const std::string& fileName) {
    FFileName = fileName;
    Read();
}

void TVersionResource::SetLanguage(versionres::TLanguage language) {
    FLanguage = language;
    Read();
}

void TVersionResource::SetCharacterSet(versionres::TCharacterSet charset) {
    FCharacterSet = charset;
    Read();
}

void TVersionResource::Read() {
    FOtherFile = !SameText(FFileName, WinGetModuleFileName());
    Apply(ReadFileVersionData(FFileName));
}

void TVersionResource::Apply(const std::optional<TVersionBlock>& block) {
    TVersionInfo& v = FVersionInfo;
    v.Clear();
    if (!block) return;
    auto dotted = [](uint32_t ms, uint32_t ls) {
        return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
               std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
    };
    if (block->Fixed) {
        const TFixedFileInfo& f = *block->Fixed;
        v.FileVersion = dotted(f.dwFileVersionMS, f.dwFileVersionLS);
        v.ProductVersion = dotted(f.dwProductVersionMS, f.dwProductVersionLS);
        v.FileOS = FileOSText(f.dwFileOS);
        v.FileType = FileTypeText(f.dwFileType);
        v.FileSubType = FileSubTypeText(f.dwFileType, f.dwFileSubtype);
    }
    if (block->Translation.size() == 4) {
        uint16_t lang = static_cast<uint16_t>(static_cast<uint8_t>(block->Translation[0]) |
                                              static_cast<uint8_t>(block->Translation[1]) << 8);
        v.PrimaryLanguage = lang & 0x3FF;
    }
    std::string base = "\\StringFileInfo\\" + IntToHex(versionres::LanguageId(FLanguage), 4) +
                       IntToHex(versionres::CodePage(FCharacterSet), 4) + "\\";
    const std::pair<const char*, std::string*> keys[] = {
        {"Comment", &v.Comment},
        {"CompanyName", &v.CompanyName},
        {"FileDescription", &v.FileDescription},
        {"InternalName", &v.InternalName},
        {"LegalCopyright", &v.LegalCopyright},
        {"LegalTradeMarks", &v.LegalTradeMarks},
        {"OriginalFileName", &v.OriginalFileName},
        {"PrivateBuild", &v.PrivateBuild},
        {"ProductName", &v.ProductName},
        {"ProductVersion", &v.ProductVersion},
        {"SpecialBuild", &v.SpecialBuild}};
    for (const auto& [key, target] : keys) {
        std::string value;
        if (block->Query(base + key, value)) *target = value;
    }
}

// ---- Comparison and the overwrite decision -----------------------------------------------------

namespace {

std::string Field(const std::string& s, size_t index) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        size_t dot = s.find('.', start);
        if (dot == std::string::npos) return "";
        start = dot + 1;
    }
    size_t dot = s.find('.', start);
    return s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
}

bool IsNumber(const std::string& s, uint64_t& v) {
    if (s.empty() || s.size() > 18) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    return true;
}

TVersionResource& SharedVersionResource() {
    static TVersionResource resource;
    return resource;
}

// Two dates at the 2-second granularity of file dates.
int CompareDates(TDateTime a, TDateTime b) {
    long long x = std::llround(a * 43200.0), y = std::llround(b * 43200.0);
    return x == y ? 0 : (x > y ? 1 : -1);
}

bool CanOpen(const std::string& fileName) {
    try {
        TWinFsFile file;
        file.OpenRead(fileName);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

int ByDate(TDateTime newDate, const std::string& existing) {
    if (!CanOpen(existing)) return vrUndetermined;
    int c = CompareDates(newDate, WinFileAge(existing));
    return c > 0 ? vrReplace : (c == 0 ? vrEqual : vrKeep);
}

int ByVersion(const std::string& newVersion, const std::string& existing) {
    switch (CompareVersions(newVersion, GetFileVersionText(existing))) {
    case 0: return vrEqual;
    case 1: return vrReplace;
    default: return vrKeep;
    }
}

int Decide(const std::string& newVersion, const std::string& existing, TOverwriteType overwrite,
           const std::function<std::optional<TDateTime>()>& newDate) {
    switch (overwrite) {
    case owAlways: return vrReplace;
    case owNever:
        return !Trim(existing).empty() && WinFileExists(existing) ? vrKeep : vrReplace;
    case owVersion: return ByVersion(newVersion, existing);
    case owDate: {
        std::optional<TDateTime> d = newDate();
        return d ? ByDate(*d, existing) : vrUndetermined;
    }
    case owVersionDate: {
        int r = ByVersion(newVersion, existing);
        if (r != vrEqual) return r;
        std::optional<TDateTime> d = newDate();
        return d ? ByDate(*d, existing) : vrUndetermined;
    }
    case owAsk: return vrAsk;
    }
    return vrUndetermined;
}

} // namespace

int CompareVersions(const std::string& a, const std::string& b) {
    for (size_t i = 0;; ++i) {
        std::string x = Field(a, i), y = Field(b, i);
        if (x.empty() && y.empty()) return 0;
        if (x.empty()) return 2;
        if (y.empty()) return 1;
        uint64_t nx, ny;
        if (IsNumber(x, nx) && IsNumber(y, ny)) {
            if (nx != ny) return nx > ny ? 1 : 2;
            continue;
        }
        int c = x.compare(y);
        if (c != 0) return c > 0 ? 1 : 2;
    }
}

std::string GetFileVersionText(const std::string& fileName) {
    TVersionResource& r = SharedVersionResource();
    r.SetFileName(fileName);
    return r.GetVersionInfo().FileVersion;
}

int IsFileNewerByName(const std::string& newFile, const std::string& existingFile,
                      TOverwriteType overwrite) {
    std::string newVersion =
        overwrite == owVersion || overwrite == owVersionDate ? GetFileVersionText(newFile) : "";
    return Decide(newVersion, existingFile, overwrite, [&]() -> std::optional<TDateTime> {
        if (!CanOpen(newFile)) return std::nullopt;
        return WinFileAge(newFile);
    });
}

int IsFileNewerByVersion(const std::string& newVersion, const std::string& existingFile,
                         TOverwriteType overwrite, TDateTime newDate) {
    return Decide(newVersion, existingFile, overwrite,
                  [newDate]() -> std::optional<TDateTime> { return newDate; });
}

bool IsOLESelfRegister(const std::string& fileName) {
    std::optional<TVersionBlock> block = ReadFileVersionData(fileName);
    if (!block || block->Translation.size() < 4) return false;
    auto u16 = [&](size_t i) {
        return static_cast<uint16_t>(static_cast<uint8_t>(block->Translation[i]) |
                                     static_cast<uint8_t>(block->Translation[i + 1]) << 8);
    };
    std::string value;
    return block->Query("\\StringFileInfo\\" + IntToHex(u16(0), 4) + IntToHex(u16(2), 4) +
                            "\\OLESelfRegister",
                        value);
}

} // namespace zan
