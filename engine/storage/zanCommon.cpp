#include "engine/storage/zanCommon.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>

#include "host/rtl/DateUtils.h"
#include "host/rtl/Exceptions.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinSys.h"

namespace zan {

namespace {

// The current local date and time as "yyyy-mm-dd hh:nn:ss".
std::string NowText() {
    return FormatDateTime("yyyy-mm-dd hh:nn:ss", Now());
}

int32_t ParseMonitor(const std::string& text) {
    int32_t v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return 0;
    return v;
}

} // namespace

TDBLogger::~TDBLogger() {
    try {
        SaveLogToFile(FOutputFileName);
    } catch (...) {
        // A destructor must not throw; a log that cannot be written is lost.
    }
}

void TDBLogger::AppendLine(std::string line) {
    if (FMaxLogItemCount > 0 && static_cast<int64_t>(FLines.size()) > FMaxLogItemCount)
        FLines.pop_front();
    FLines.push_back(std::move(line));
}

void TDBLogger::LogItem(const std::string& caller, const std::string& text) {
    std::string line = Format("%10s; %30s : %s", NowText(), caller, text);
    std::lock_guard guard(FLock);
    AppendLine(std::move(line));
}

std::vector<std::pair<std::string, std::string>>::iterator
TDBLogger::FindMonitor(const std::string& name) {
    for (auto it = FMonitors.begin(); it != FMonitors.end(); ++it)
        if (SameText(it->first, name)) return it;
    return FMonitors.end();
}

void TDBLogger::NamedMonitorDelta(const std::string& name, int32_t delta) {
    std::lock_guard guard(FLock);
    auto it = FindMonitor(name);
    if (it == FMonitors.end()) {
        FMonitors.emplace_back(name, std::to_string(delta));
    } else {
        int64_t v = static_cast<int64_t>(ParseMonitor(it->second)) + delta;
        it->second = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v)));
    }
}

void TDBLogger::NamedMonitorReset(const std::string& name, int32_t value) {
    std::lock_guard guard(FLock);
    auto it = FindMonitor(name);
    if (it == FMonitors.end())
        FMonitors.emplace_back(name, std::to_string(value));
    else
        it->second = std::to_string(value);
}

int32_t TDBLogger::NamedMonitorValue(const std::string& name) const {
    std::lock_guard guard(FLock);
    for (const auto& m : FMonitors)
        if (SameText(m.first, name)) return ParseMonitor(m.second);
    return 0;
}

void TDBLogger::SetMaxLogItemCount(int32_t n) {
    std::lock_guard guard(FLock);
    FMaxLogItemCount = n;
    if (n > 0 && static_cast<int64_t>(FLines.size()) > n)
        while (static_cast<int64_t>(FLines.size()) > n - 1)
            FLines.pop_front();
}

int32_t TDBLogger::GetMaxLogItemCount() const {
    std::lock_guard guard(FLock);
    return FMaxLogItemCount;
}

void TDBLogger::SaveLogToFile(const std::string& fileName) const {
    if (fileName.empty()) return;
    std::lock_guard guard(FLock);
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) throw Exception(Format("Cannot create file \"%s\"", fileName));
    for (const auto& line : FLines)
        out << line << '\n';
    out.flush();
    if (!out) throw Exception(Format("Cannot write file \"%s\"", fileName));
}

void TDBLogger::SetOutputFileName(const std::string& fileName) {
    std::lock_guard guard(FLock);
    FOutputFileName = fileName;
}

std::string TDBLogger::GetOutputFileName() const {
    std::lock_guard guard(FLock);
    return FOutputFileName;
}

void TDBLogger::Clear() {
    std::lock_guard guard(FLock);
    FLines.clear();
    FMonitors.clear();
}

void TDBLogger::SetActive(bool active) {
    std::lock_guard guard(FLock);
    FActive = active;
}

bool TDBLogger::GetActive() const {
    std::lock_guard guard(FLock);
    return FActive;
}

void TDBLogger::SetDumpMod(int32_t mode) {
    std::lock_guard guard(FLock);
    FDumpMod = mode;
}

int32_t TDBLogger::GetDumpMod() const {
    std::lock_guard guard(FLock);
    return FDumpMod;
}

void TDBLogger::AddLogTraceItem(int32_t caller, int32_t event) {
    std::lock_guard guard(FLock);
    if (FTraceIndex >= TraceRingSize) FTraceIndex = 0;
    FTrace[static_cast<size_t>(FTraceIndex++)] = {caller, event};
}

void TDBLogger::ClearLogTrace() {
    std::lock_guard guard(FLock);
    FTrace.fill({0, 0});
    FTraceIndex = 0;
}

void TDBLogger::DumpTraceToLog() {
    std::lock_guard guard(FLock);
    AppendLine("TraceLog");
    // Oldest first: from the ring index to the end, then from the start up to the index.
    int index = FTraceIndex >= TraceRingSize ? 0 : FTraceIndex;
    for (int n = 0; n < TraceRingSize; ++n) {
        const auto& [caller, event] = FTrace[static_cast<size_t>((index + n) % TraceRingSize)];
        AppendLine(Format("Caller %d  Event %d", caller, event));
    }
}

std::vector<std::string> TDBLogger::GetLines() const {
    std::lock_guard guard(FLock);
    return {FLines.begin(), FLines.end()};
}

size_t TDBLogger::Count() const {
    std::lock_guard guard(FLock);
    return FLines.size();
}

std::vector<std::string> TDBLogger::GetMonitors() const {
    std::lock_guard guard(FLock);
    std::vector<std::string> out;
    for (const auto& [name, value] : FMonitors)
        out.push_back(name + "=" + value);
    return out;
}

namespace {

TDBLogger* GLoggerInstance = nullptr;

// Writes the global log to its output file when the engine unloads; the logger itself stays
// alive so that code running later in the teardown can still log.
struct TLoggerFinaliser {
    ~TLoggerFinaliser() {
        if (!GLoggerInstance) return;
        try {
            GLoggerInstance->SaveLogToFile(GLoggerInstance->GetOutputFileName());
        } catch (...) {
        }
    }
} GLoggerFinaliser;

} // namespace

TDBLogger& GDBLogger() {
    static TDBLogger* instance = GLoggerInstance = new TDBLogger();
    return *instance;
}

int32_t CalcTableHeaderSize(int32_t indexCount) {
    int64_t size = (48 + 6 * static_cast<int64_t>(indexCount) + 255) / 256 * 256;
    if (size != 256) throw Exception("Debug check -  header size <> 256");
    return 256;
}

int32_t CalculateCoreDataSize(TFieldType fieldType) {
    switch (fieldType) {
    case ftBoolean:
        return 1;
    case ftString:
    case ftSmallint:
    case ftWord:
    case ftWideString:
        return 2;
    case ftInteger:
    case ftAutoInc:
        return 4;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
        return 8;
    default:
        throw Exception("Error in setting CoreDataSize - field type not found: " +
                        std::string(FieldTypeName(fieldType)));
    }
}

// ---------------------------------------------------------------------------------------------
// Enumeration texts

std::string_view SortOrderName(TSortOrder value) {
    switch (value) {
    case soANSI:
        return "ANSI sort order";
    case soASCII:
        return "ASCII sort order";
    }
    return {};
}

std::string_view EncryptionLevelName(TEncryptionLevel value) {
    switch (value) {
    case encNone:
        return "None";
    case encWeak:
        return "Weak";
    case encStrong:
        return "Strong";
    }
    return {};
}

std::string_view FilterOptimisationLevelName(TZanFilterOptimisationLevel value) {
    switch (value) {
    case olNone:
        return "None";
    case olPartial:
        return "Partial";
    case olFull:
        return "Full";
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// The ANSI collation

namespace {

// One character's collation data: up to two elements (primary 0 = no element), the fourth-level
// weight of characters ignored at the first three levels, and its case partners.
struct TZanCollEntry {
    uint16_t Primary[2];
    uint8_t Secondary[2];
    uint8_t Tertiary[2];
    uint8_t Fourth;
    uint16_t Upper;
    uint16_t Lower;
};

#include "engine/storage/zan_collation.inc"

// Characters are handled as units: a code point, or 0x110000 + byte for a byte that does not
// start a valid UTF-8 sequence. Units outside the table collate after every table weight.
constexpr uint32_t InvalidByteBase = 0x110000;
constexpr uint32_t OutsidePrimaryBase = 0x10000;
constexpr int32_t AnsiCutBytes = 255;

const TZanCollEntry* CollEntry(uint32_t unit) {
    if (unit < 256) return &ZanCollTable[unit];
    if (unit < ZanCollExtraCodePoints[0] || unit > ZanCollExtraCodePoints[ZanCollExtraCount - 1])
        return nullptr;
    int lo = 0, hi = ZanCollExtraCount - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        uint32_t cp = ZanCollExtraCodePoints[mid];
        if (cp == unit) return &ZanCollTable[256 + mid];
        if (cp < unit)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return nullptr;
}

bool IsContinuation(uint8_t b) {
    return (b & 0xC0) == 0x80;
}

// Decodes the unit at p (p < end); answers its byte length. Only shortest-form sequences of
// scalar values are valid; any other byte is a unit of its own.
int DecodeUtf8(const uint8_t* p, const uint8_t* end, uint32_t& unit) {
    uint8_t b0 = p[0];
    if (b0 < 0x80) {
        unit = b0;
        return 1;
    }
    ptrdiff_t avail = end - p;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (avail >= 2 && IsContinuation(p[1])) {
            unit = (uint32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
            return 2;
        }
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (avail >= 3) {
            uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
            if (p[1] >= lo && p[1] <= hi && IsContinuation(p[2])) {
                unit = (uint32_t(b0 & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
                return 3;
            }
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (avail >= 4) {
            uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
            if (p[1] >= lo && p[1] <= hi && IsContinuation(p[2]) && IsContinuation(p[3])) {
                unit = (uint32_t(b0 & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) |
                       (uint32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
                return 4;
            }
        }
    }
    unit = InvalidByteBase + b0;
    return 1;
}

// A forward reader of UTF-8 units.
struct TUtf8Source {
    const uint8_t* P;
    const uint8_t* End;
    bool Next(uint32_t& unit) {
        if (P >= End) return false;
        P += DecodeUtf8(P, End, unit);
        return true;
    }
};

// A forward reader of little-endian UTF-16 text; a lone surrogate reads as "?" and a NUL
// character ends the text.
struct TUtf16Source {
    const uint8_t* P;
    const uint8_t* End; // End - P is even
    bool Next(uint32_t& unit) {
        if (P >= End) return false;
        uint32_t u = P[0] | (uint32_t(P[1]) << 8);
        P += 2;
        if (u == 0) {
            P = End;
            return false;
        }
        if (u >= 0xD800 && u <= 0xDBFF && P < End) {
            uint32_t v = P[0] | (uint32_t(P[1]) << 8);
            if (v >= 0xDC00 && v <= 0xDFFF) {
                P += 2;
                unit = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
                return true;
            }
        }
        unit = (u >= 0xD800 && u <= 0xDFFF) ? uint32_t('?') : u;
        return true;
    }
};

// The weight stream of one level: level 1 yields the primaries of the characters not ignored,
// levels 2 and 3 one weight per element of those characters, level 4 one weight per character.
template <class TSource>
struct TLevelStream {
    TSource Src;
    int Level;
    uint32_t Pending = 0; // the second element of an expansion
    bool HasPending = false;

    bool Next(uint32_t& weight) {
        if (HasPending) {
            HasPending = false;
            weight = Pending;
            return true;
        }
        uint32_t unit;
        for (;;) {
            if (!Src.Next(unit)) return false;
            const TZanCollEntry* e = CollEntry(unit);
            if (Level == 4) {
                weight = e ? e->Fourth : 0;
                return true;
            }
            if (!e) {
                weight = Level == 1 ? OutsidePrimaryBase + unit : 0;
                return true;
            }
            if (e->Primary[0] == 0) continue; // ignored below level 4
            int second = e->Primary[1] != 0;
            switch (Level) {
            case 1:
                weight = e->Primary[0];
                Pending = e->Primary[1];
                break;
            case 2:
                weight = e->Secondary[0];
                Pending = e->Secondary[1];
                break;
            default:
                weight = e->Tertiary[0];
                Pending = e->Tertiary[1];
                break;
            }
            HasPending = second;
            return true;
        }
    }
};

template <class TSource>
int CompareLevel(const TSource& a, const TSource& b, int level) {
    TLevelStream<TSource> sa{a, level}, sb{b, level};
    for (;;) {
        uint32_t wa, wb;
        bool ha = sa.Next(wa), hb = sb.Next(wb);
        if (!ha || !hb) return ha ? 1 : (hb ? -1 : 0);
        if (wa != wb) return wa < wb ? -1 : 1;
    }
}

// The multi-level comparison of two whole texts: -1, 0 or 1.
template <class TSource>
int CompareCollated(const TSource& a, const TSource& b, bool caseInsensitive) {
    for (int level = 1; level <= 4; ++level) {
        if (level == 3 && caseInsensitive) continue;
        if (int r = CompareLevel(a, b, level)) return r;
    }
    return 0;
}

int32_t ClampLength(int32_t length) {
    return length < 0 ? 0 : length;
}

// The byte length of an ANSI-compared string: its first 255 bytes, cut back to a character
// boundary, up to an embedded NUL.
int32_t AnsiEffectiveLength(const uint8_t* p, int32_t length) {
    if (length > AnsiCutBytes) {
        int32_t cut = AnsiCutBytes;
        // A byte that is not a continuation byte always starts a unit; a valid sequence is at
        // most 4 bytes long, so only a lead byte among the last three kept bytes can straddle.
        for (int32_t k = AnsiCutBytes; k >= AnsiCutBytes - 3; --k) {
            if (IsContinuation(p[k])) continue;
            uint32_t unit;
            if (k < AnsiCutBytes && k + DecodeUtf8(p + k, p + length, unit) > AnsiCutBytes) cut = k;
            break;
        }
        length = cut;
    }
    if (const void* nul = std::memchr(p, 0, static_cast<size_t>(length)))
        length = static_cast<int32_t>(static_cast<const uint8_t*>(nul) - p);
    return length;
}

// The byte length of the first `count` units of p[0..length).
int32_t Utf8PrefixBytes(const uint8_t* p, int32_t length, int32_t count) {
    TUtf8Source s{p, p + length};
    uint32_t unit;
    while (count-- > 0 && s.Next(unit)) {
    }
    return static_cast<int32_t>(s.P - p);
}

int32_t Utf8UnitCount(const uint8_t* p, int32_t length) {
    TUtf8Source s{p, p + length};
    uint32_t unit;
    int32_t n = 0;
    while (s.Next(unit))
        ++n;
    return n;
}

} // namespace

int32_t DBANSICompareStrings(const char* a, int32_t la, const char* b, int32_t lb, bool partial,
                             bool caseInsensitive) {
    la = ClampLength(la);
    lb = ClampLength(lb);
    auto pa = reinterpret_cast<const uint8_t*>(a);
    auto pb = reinterpret_cast<const uint8_t*>(b);
    int32_t na = la ? AnsiEffectiveLength(pa, la) : 0;
    int32_t nb = lb ? AnsiEffectiveLength(pb, lb) : 0;
    if (partial) {
        int32_t count = std::min(Utf8UnitCount(pa, na), Utf8UnitCount(pb, nb));
        na = Utf8PrefixBytes(pa, na, count);
        nb = Utf8PrefixBytes(pb, nb, count);
    }
    // Every level is a concatenation of per-character weights, so a common run of whole
    // characters cannot decide the order: skip it. A position holding a non-continuation byte
    // (or the end) in both strings starts a unit in both, and the units before it decode alike.
    int32_t common = 0, limit = std::min(na, nb);
    while (common < limit && pa[common] == pb[common])
        ++common;
    auto startsUnit = [](const uint8_t* p, int32_t length, int32_t q) {
        return q >= length || !IsContinuation(p[q]);
    };
    while (common > 0 && !(startsUnit(pa, na, common) && startsUnit(pb, nb, common)))
        --common;
    int r = CompareCollated(TUtf8Source{pa + common, pa + na}, TUtf8Source{pb + common, pb + nb},
                            caseInsensitive);
    if (r != 0 || partial) return r;
    return la - lb;
}

int32_t DBASCIICompareStrings(const char* a, int32_t la, const char* b, int32_t lb, bool partial,
                              bool caseInsensitive) {
    la = ClampLength(la);
    lb = ClampLength(lb);
    // Bytes are compared as unsigned values.
    auto pa = reinterpret_cast<const uint8_t*>(a);
    auto pb = reinterpret_cast<const uint8_t*>(b);
    int32_t n = std::min(la, lb);
    for (int32_t i = 0; i < n; ++i) {
        int ca = pa[i], cb = pb[i];
        if (caseInsensitive) {
            if (ca >= 'a' && ca <= 'z') ca -= 32;
            if (cb >= 'a' && cb <= 'z') cb -= 32;
        }
        if (ca != cb) return ca - cb;
    }
    return partial ? 0 : la - lb;
}

int32_t DBCompareWideStrings(const char* a, int32_t la, const char* b, int32_t lb, bool partial,
                             bool caseInsensitive) {
    la = ClampLength(la);
    lb = ClampLength(lb);
    if (partial) la = lb = std::min(la, lb);
    auto pa = reinterpret_cast<const uint8_t*>(a);
    auto pb = reinterpret_cast<const uint8_t*>(b);
    return CompareCollated(TUtf16Source{pa, pa + (la & ~1)}, TUtf16Source{pb, pb + (lb & ~1)},
                           caseInsensitive);
}

int32_t CompareReals(double a, double b) {
    if (a < b) return -1;
    if (a > b) return 1;
    return 0;
}

int32_t AscendingListSort(int32_t a, int32_t b) {
    return (a > b) - (a < b);
}

// ---------------------------------------------------------------------------------------------
// Case mapping

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string MapCase(std::string_view text, bool upper) {
    std::string out;
    out.reserve(text.size());
    auto p = reinterpret_cast<const uint8_t*>(text.data());
    auto end = p + text.size();
    while (p < end) {
        if (*p < 0x80) { // ASCII fast path
            char c = static_cast<char>(*p++);
            if (upper && c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 32);
            else if (!upper && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
            out += c;
            continue;
        }
        uint32_t unit;
        int len = DecodeUtf8(p, end, unit);
        const TZanCollEntry* e = unit < InvalidByteBase ? CollEntry(unit) : nullptr;
        uint32_t mapped = e ? (upper ? e->Upper : e->Lower) : unit;
        if (e && mapped != unit)
            AppendUtf8(out, mapped);
        else
            out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
        p += len;
    }
    return out;
}

} // namespace

std::string ZanAnsiUpperCase(std::string_view text) {
    return MapCase(text, true);
}

std::string ZanAnsiLowerCase(std::string_view text) {
    return MapCase(text, false);
}

// ---------------------------------------------------------------------------------------------
// LIKE

int32_t ZanUtf8CharLength(std::string_view text, size_t pos) {
    if (pos >= text.size()) return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    uint32_t unit;
    return DecodeUtf8(p + pos, p + text.size(), unit);
}

bool MatchPatternedStrings(std::string_view text, std::string_view pattern, char escape, char) {
    text = text.substr(0, text.find('\0'));
    pattern = pattern.substr(0, pattern.find('\0'));
    // The pattern as elements: "%" (any run), "_" (one character) or one literal character.
    struct TElement {
        uint32_t Offset; // literal: where its bytes start in the pattern
        uint8_t Length;  // literal: its byte count; 0 for "%" and "_"
        char Kind;       // '%', '_' or 'L'
    };
    TElement local[256];
    std::vector<TElement> heap;
    TElement* elements = local;
    if (pattern.size() > 256) {
        heap.resize(pattern.size());
        elements = heap.data();
    }
    size_t m = 0;
    for (size_t j = 0; j < pattern.size();) {
        const char c = pattern[j];
        if (escape != '\0' && c == escape) {
            if (j + 1 >= pattern.size()) return false; // a lone escape at the end
            const int32_t len = ZanUtf8CharLength(pattern, j + 1);
            elements[m++] = {static_cast<uint32_t>(j + 1), static_cast<uint8_t>(len), 'L'};
            j += 1 + static_cast<size_t>(len);
        } else if (c == '%' || c == '_') {
            // Runs of "%" are one element.
            if (!(c == '%' && m > 0 && elements[m - 1].Kind == '%')) elements[m++] = {0, 0, c};
            ++j;
        } else {
            const int32_t len = ZanUtf8CharLength(pattern, j);
            elements[m++] = {static_cast<uint32_t>(j), static_cast<uint8_t>(len), 'L'};
            j += static_cast<size_t>(len);
        }
    }
    // The "%" elements cut the pattern into pieces of "_" and literals, each taking exactly one
    // text character per element. The first piece is anchored at the start of the text and the
    // last at its end; every piece between matches at its leftmost place after the one before
    // (any later place leaves less text for the rest, so leftmost never loses a match). The
    // cost is text x longest piece, not text x pattern.
    const auto matchAt = [&](size_t first, size_t last, size_t pos) -> size_t {
        for (size_t k = first; k < last; ++k) {
            if (pos >= text.size()) return std::string_view::npos;
            const size_t len = static_cast<size_t>(ZanUtf8CharLength(text, pos));
            const TElement& e = elements[k];
            if (e.Kind == 'L' && text.substr(pos, len) != pattern.substr(e.Offset, e.Length))
                return std::string_view::npos;
            pos += len;
        }
        return pos;
    };
    size_t k = 0;
    while (k < m && elements[k].Kind != '%')
        ++k;
    size_t pos = matchAt(0, k, 0);
    if (pos == std::string_view::npos) return false;
    if (k == m) return pos == text.size(); // no "%": the one piece is the whole text
    for (;;) {
        const size_t first = ++k; // after a "%"
        while (k < m && elements[k].Kind != '%')
            ++k;
        if (first == k) return true; // the pattern ends with "%"
        if (k == m) {
            // The last piece takes the last (k - first) characters of the text, counted from
            // the character boundaries seen walking forward from pos.
            const size_t count = k - first;
            std::vector<size_t> ring(count + 1);
            size_t seen = 0;
            for (size_t p = pos;; p += static_cast<size_t>(ZanUtf8CharLength(text, p))) {
                ring[seen++ % (count + 1)] = p;
                if (p >= text.size()) break;
            }
            if (seen < count + 1) return false;
            return matchAt(first, k, ring[(seen - 1 - count) % (count + 1)]) == text.size();
        }
        size_t at = pos;
        for (;;) {
            const size_t end = matchAt(first, k, at);
            if (end != std::string_view::npos) {
                pos = end;
                break;
            }
            if (at >= text.size()) return false;
            at += static_cast<size_t>(ZanUtf8CharLength(text, at));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Platform queries

namespace {

constexpr size_t MaxNameBytes = 256;

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
std::string CutAtCharBoundary(std::string text, size_t limit) {
    if (text.size() <= limit) return text;
    auto p = reinterpret_cast<const uint8_t*>(text.data());
    auto end = p + text.size();
    size_t pos = 0;
    while (pos < limit) {
        uint32_t unit;
        int len = DecodeUtf8(p + pos, end, unit);
        if (pos + static_cast<size_t>(len) > limit) break;
        pos += static_cast<size_t>(len);
    }
    text.resize(pos);
    return text;
}

} // namespace

std::string GetCurrentUser() {
    return CutAtCharBoundary(GetUserNameStr(), MaxNameBytes);
}

std::string GetCurrentComputer() {
    return CutAtCharBoundary(GetComputerNameStr(), MaxNameBytes);
}

std::string GetOSDetails() {
    TOSVersion version;
    if (!GetOSVersion(version)) return "unknown";
    return "XX: " + Format(" %d.%d.%d.%d ", 0, version.Major, version.Minor, version.Patch) + " " +
           version.SysName;
}

std::string GetOSErrorMsg() {
    int error = GetLastError();
    std::string text = error != 0 ? SysErrorMessage(error) : std::string();
    return text.empty() ? "The error type could not be determined" : text;
}

uint32_t GetMSTimeMarker() {
    return GetTickCount();
}

uint32_t GetCurrentThreadIdVal() {
    return GetCurrentThreadId();
}

std::string ZanIncludeTrailingBackslash(const std::string& path) {
    if (!path.empty() && path.back() == '/') return path;
    return path + "/";
}

int32_t StringLToWideChar(std::string_view text, char16_t* target, int32_t n) {
    if (n < 1 || !target) return 0;
    auto p = reinterpret_cast<const uint8_t*>(text.data());
    auto end = p + text.size();
    int32_t written = 0;
    const int32_t room = n - 1;
    while (p < end) {
        uint32_t unit;
        p += DecodeUtf8(p, end, unit);
        if (unit >= InvalidByteBase) unit = '?';
        if (unit >= 0x10000) {
            if (written + 2 > room) break;
            unit -= 0x10000;
            target[written++] = static_cast<char16_t>(0xD800 + (unit >> 10));
            target[written++] = static_cast<char16_t>(0xDC00 + (unit & 0x3FF));
        } else {
            if (written + 1 > room) break;
            target[written++] = static_cast<char16_t>(unit);
        }
    }
    target[written] = 0;
    return written;
}

void ConvertFieldNamesToList(const std::string& names, TStrings& list) {
    list.Clear();
    if (names.empty()) return;
    size_t start = 0;
    for (;;) {
        size_t sep = names.find(';', start);
        list.Add(names.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
        if (sep == std::string::npos) break;
        start = sep + 1;
    }
}

} // namespace zan
