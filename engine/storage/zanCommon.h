// The engine's common services: the trace log, the size rules of the storage format, the string
// comparisons of the two sort orders, case mapping, the LIKE matcher and platform queries.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/db/DB.h"
#include "host/rtl/StringList.h"

namespace zan {

// In-memory trace log: timestamped lines (bounded), named integer monitors, a ring of the last
// 100 (caller, event) pairs, and saving to a file. Every operation is guarded by one mutex.
class TDBLogger {
public:
    TDBLogger() = default;
    ~TDBLogger(); // saves the lines when an output file name is set
    TDBLogger(const TDBLogger&) = delete;
    TDBLogger& operator=(const TDBLogger&) = delete;

    // Appends "<date-time>; <caller> : <text>" ("%10s; %30s : %s"). When a maximum is set and
    // more lines than the maximum exist, the oldest line goes first, so at most max + 1 remain.
    void LogItem(const std::string& caller, const std::string& text);
    void NamedMonitorDelta(const std::string& name, int32_t delta);
    void NamedMonitorReset(const std::string& name, int32_t value);
    // A monitor's value: 0 when absent or not a number. Names are case-insensitive.
    int32_t NamedMonitorValue(const std::string& name) const;
    // Stores n; when n > 0 and more than n lines exist, trims to n - 1 lines.
    void SetMaxLogItemCount(int32_t n);
    int32_t GetMaxLogItemCount() const;
    // Writes the lines to the file, replacing it; nothing for an empty name.
    void SaveLogToFile(const std::string& fileName) const;
    void SetOutputFileName(const std::string& fileName);
    std::string GetOutputFileName() const;
    void Clear(); // lines and monitors
    void SetActive(bool active);
    bool GetActive() const;
    void SetDumpMod(int32_t mode);
    int32_t GetDumpMod() const;

    void AddLogTraceItem(int32_t caller, int32_t event);
    void ClearLogTrace();
    // Appends "TraceLog" and one "Caller %d  Event %d" line per ring slot, oldest first.
    void DumpTraceToLog();

    std::vector<std::string> GetLines() const;
    size_t Count() const;
    // The monitors as "name=value" lines.
    std::vector<std::string> GetMonitors() const;

    static constexpr int32_t DefaultMaxLogItemCount = 500;
    static constexpr int TraceRingSize = 100;

private:
    void AppendLine(std::string line); // with the mutex held
    std::vector<std::pair<std::string, std::string>>::iterator FindMonitor(const std::string& name);

    mutable std::mutex FLock;
    std::deque<std::string> FLines;
    std::vector<std::pair<std::string, std::string>> FMonitors;
    std::array<std::pair<int32_t, int32_t>, TraceRingSize> FTrace{};
    int FTraceIndex = 0;
    bool FActive = false;
    int32_t FDumpMod = 0;
    std::string FOutputFileName;
    int32_t FMaxLogItemCount = DefaultMaxLogItemCount;
};

// The engine's one trace log. It lives until the process ends (it is never destroyed, so units
// may log during static teardown); its output file, if set, is written when the engine unloads.
TDBLogger& GDBLogger();

// Size of a table header for a number of indexes: 48 + 6 per index, rounded up to 256. Every
// header must take exactly 256 bytes (so at most 34 indexes); anything else raises Exception.
int32_t CalcTableHeaderSize(int32_t indexCount);

// Bytes a field of this type takes in an index key's core: 1, 2, 4 or 8. Other types raise
// Exception naming the type.
int32_t CalculateCoreDataSize(TFieldType fieldType);

// ---------------------------------------------------------------------------------------------
// Enumerations shared by the engine. The ordinals are stored: keep the declared order.

enum TSortOrder : uint8_t { soANSI, soASCII };
enum TEncryptionLevel : uint8_t { encNone, encWeak, encStrong };
enum TZanFilterOptimisationLevel : uint8_t { olNone, olPartial, olFull };
enum TIndexKeyType : uint8_t { ikFixed, ikMinStringLen };

// Display texts ("ANSI sort order", "Weak", "Full", ...); empty for an ordinal out of range.
std::string_view SortOrderName(TSortOrder value);
std::string_view EncryptionLevelName(TEncryptionLevel value);
std::string_view FilterOptimisationLevelName(TZanFilterOptimisationLevel value);

// ---------------------------------------------------------------------------------------------
// String comparison. Every function answers negative, zero or positive (a before, equal to, after
// b). Lengths are in bytes; a negative length counts as 0. With `partial` both strings are first
// cut to the shorter length (a key prefix search) and the lengths do not break ties.

using TZanCompareFunc = int32_t (*)(const char* a, int32_t la, const char* b, int32_t lb,
                                    bool partial, bool caseInsensitive);

// The "ANSI" sort order: a built-in, locale-independent collation of UTF-8 text.
//  - Each string is cut to its first 255 bytes (at a character boundary) and ends at an embedded
//    NUL. A byte that is not part of valid UTF-8 is a character of its own.
//  - Level 1 compares base characters: symbols and punctuation < digits < letters; letters
//    without regard to accents or case; hyphen, apostrophe and soft hyphen are ignored here;
//    ae, oe and sharp s ligatures count as two letters. Level 2 compares accents, level 3 case
//    (lowercase first; skipped when case-insensitive), level 4 the ignored characters (so "coop"
//    sorts before "co-op"). Characters outside Latin-1 and the Windows-1252 extras sort after all
//    of those by code point; invalid bytes after every code point, by byte value.
//  - Not partial: the whole strings are compared level by level (a proper prefix sorts first);
//    when they collate equal the answer is la - lb. This is the order B-trees store, and it is
//    a total order: comparing only a prefix of the longer string here would not be, once
//    ignored characters or ligatures are involved.
//  - Partial: both strings are cut to the character count of the shorter one and those prefixes
//    are compared with the same levels; no length tiebreak.
int32_t DBANSICompareStrings(const char* a, int32_t la, const char* b, int32_t lb, bool partial,
                             bool caseInsensitive);
// The "ASCII" sort order: the first min(la, lb) bytes compared as unsigned bytes (so UTF-8 text
// sorts by code point), folding only a-z onto A-Z when case-insensitive; when equal and not
// partial, la - lb.
int32_t DBASCIICompareStrings(const char* a, int32_t la, const char* b, int32_t lb, bool partial,
                              bool caseInsensitive);
// UTF-16 (little-endian) strings; the lengths are in bytes (an odd last byte is ignored). With
// `partial` both are cut to the shorter byte length. The text ends at a NUL character, a lone
// surrogate counts as "?", and the strings are compared with the ANSI collation over their
// whole length; there is no length tiebreak.
int32_t DBCompareWideStrings(const char* a, int32_t la, const char* b, int32_t lb, bool partial,
                             bool caseInsensitive);

// -1 when a < b, 1 when a > b, else 0.
int32_t CompareReals(double a, double b);
// List sort callback: the sign of a - b, computed without overflow.
int32_t AscendingListSort(int32_t a, int32_t b);

// Case mapping on the ANSI character set (Latin-1 and the Windows-1252 extras); other characters,
// the sharp s, y with diaeresis (upper-casing) and bytes that are not valid UTF-8 are kept as they
// are, so a UTF-8 sequence is never broken.
std::string ZanAnsiUpperCase(std::string_view text);
std::string ZanAnsiLowerCase(std::string_view text);

// LIKE: "%" matches any run of characters (the empty one too), "_" one UTF-8 character (a byte
// that is not valid UTF-8 is a character of its own), anything else itself, byte for byte
// (case-sensitive). With an escape character (NUL = none) the character after it is literal; a
// lone escape at the end of the pattern matches nothing. Both strings end at an embedded NUL.
// The last argument is not used. Time O(text x longest run between "%"), memory O(pattern).
bool MatchPatternedStrings(std::string_view text, std::string_view pattern, char escape = '\0',
                           char = '\0');
// The byte length of the UTF-8 character at pos (1 for a byte that is not valid UTF-8); 0 at
// the end of the text.
int32_t ZanUtf8CharLength(std::string_view text, size_t pos);

// ---------------------------------------------------------------------------------------------
// Platform queries.

// The effective user's and the host's names, at most 256 bytes; empty on failure.
std::string GetCurrentUser();
std::string GetCurrentComputer();
// "XX:  0.<major>.<minor>.<patch>  <system name>", or "unknown" when the version cannot be read.
std::string GetOSDetails();
// The system's text for the calling thread's last error; "The error type could not be
// determined" when there is none.
std::string GetOSErrorMsg();
// Milliseconds of a monotonic clock in 32 bits (it wraps: subtract as unsigned).
uint32_t GetMSTimeMarker();
uint32_t GetCurrentThreadIdVal();
// The path with one trailing "/" (added only when missing).
std::string ZanIncludeTrailingBackslash(const std::string& path);
// Clears the list, then adds one entry per name of a ";"-separated text, each name whole as
// written (blanks and quotes included). An empty text gives an empty list.
void ConvertFieldNamesToList(const std::string& names, TStrings& list);
// Copies the UTF-8 text as UTF-16 into target: at most n - 1 code units and a terminating 0 (a
// surrogate pair is never split; a byte that is not valid UTF-8 becomes "?"). Nothing is written
// when n < 1. Answers the number of code units written before the terminator.
int32_t StringLToWideChar(std::string_view text, char16_t* target, int32_t n);

} // namespace zan
