// String and number routines of the run-time layer. Every routine is locale-independent: numbers
// use "." as the decimal separator, case mapping acts on ASCII letters only.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "host/rtl/Exceptions.h"

namespace zan {

// ---- Integers ---------------------------------------------------------------------------------

std::string IntToStrSigned(int64_t value);
std::string IntToStrUnsigned(uint64_t value);

template <std::integral T>
requires(!std::is_same_v<T, bool>) std::string IntToStr(T value) {
    if constexpr (std::is_signed_v<T>)
        return IntToStrSigned(static_cast<int64_t>(value));
    else
        return IntToStrUnsigned(static_cast<uint64_t>(value));
}

// Integer text: leading blanks, an optional sign, then decimal digits or "$" / "0x" followed by
// hexadecimal digits. Hexadecimal text may use the whole unsigned range of the result type and
// is taken as its two's complement ("$FFFFFFFF" is -1 for StrToInt). Anything else, trailing
// blanks and values outside the result type included, raises EConvertError
// "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view text);
int64_t StrToInt64(std::string_view text);
bool TryStrToInt(std::string_view text, int32_t& value);
bool TryStrToInt64(std::string_view text, int64_t& value);
int32_t StrToIntDef(std::string_view text, int32_t defaultValue);
int64_t StrToInt64Def(std::string_view text, int64_t defaultValue);
// Decimal integer text in the frame TryStrToFloat accepts: optional blanks around, an optional
// sign, decimal digits only (no "$" or "0x"), within the int64 range.
bool TryDecimalStrToInt64(std::string_view text, int64_t& value);

std::string IntToHexBits(uint64_t bits, int digits);

// Upper-case hexadecimal text of at least `digits` digits; negative values show the two's
// complement of their own width (IntToHex(-1, 2) is "FFFFFFFF" for a 32-bit int).
template <std::integral T>
requires(!std::is_same_v<T, bool>) std::string IntToHex(T value, int digits) {
    return IntToHexBits(static_cast<uint64_t>(static_cast<std::make_unsigned_t<T>>(value)), digits);
}

// ---- Floating point ---------------------------------------------------------------------------

// The shortest text that reads back to the same double ("0.1", "1E20", "NAN", "INF"); -0.0 gives
// "0", which reads back as the equal +0.0.
std::string FloatToStr(double value);
// Decimal text with "." as separator, optional sign and exponent, surrounded by optional blanks.
// Text too small for a double reads as 0; infinite, NaN and too large text is refused:
// EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text);
bool TryStrToFloat(std::string_view text, double& value);
double StrToFloatDef(std::string_view text, double defaultValue);

// Rounds to the nearest integer, ties to even (0.5 -> 0, 1.5 -> 2, -2.5 -> -2). NaN, infinities
// and values outside the int64 range raise EConvertError.
int64_t Round(double value);
// Drops the fraction (towards zero); same guard as Round.
int64_t Trunc(double value);
// The fractional part, with the sign of the value.
double Frac(double value);

// A fixed-point amount with four decimals, held as value x 10000.
class Currency {
public:
    constexpr Currency() = default;
    static constexpr Currency FromScaled(int64_t scaled) {
        Currency c;
        c.FValue = scaled;
        return c;
    }
    // Rounds the value's shortest decimal text to four decimals, ties to even; EConvertError
    // when out of range or not finite.
    static Currency FromDouble(double value);

    constexpr int64_t Scaled() const { return FValue; }
    double ToDouble() const { return static_cast<double>(FValue) / 10000.0; }
    friend constexpr bool operator==(Currency a, Currency b) = default;

private:
    int64_t FValue = 0;
};

// "12.5", "-0.0001", "3": the exact value with at most four decimals and no trailing zeros.
std::string CurrToStr(Currency value);

// ---- Strings ----------------------------------------------------------------------------------

// Trimming removes every byte <= ' ' (blanks and control characters).
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// ASCII-only case mapping; other bytes (UTF-8 sequences included) are left alone.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);

// Byte-wise comparison: < 0, 0 or > 0.
int CompareStr(std::string_view a, std::string_view b);
// Comparison with ASCII letters folded to upper case: < 0, 0 or > 0.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

// Encloses in single quotes, doubling embedded ones: it's -> 'it''s'.
std::string QuotedStr(std::string_view s);
// When `s` starts with `quote`, the text up to the closing quote with doubled quotes undone;
// without a closing quote, or without the opening one, `s` unchanged.
std::string AnsiDequotedStr(std::string_view s, char quote);

enum TReplaceFlag : uint8_t { rfReplaceAll, rfIgnoreCase };

class TReplaceFlags {
public:
    constexpr TReplaceFlags() = default;
    constexpr TReplaceFlags(std::initializer_list<TReplaceFlag> flags) {
        for (TReplaceFlag f : flags)
            FBits |= static_cast<uint8_t>(1u << f);
    }
    constexpr bool Contains(TReplaceFlag f) const { return (FBits & (1u << f)) != 0; }

private:
    uint8_t FBits = 0;
};

// Replaces the first (or, with rfReplaceAll, every) occurrence of `oldPattern`; rfIgnoreCase
// matches ASCII letters in either case. An empty pattern replaces nothing.
std::string StringReplace(std::string_view s, std::string_view oldPattern,
                          std::string_view newPattern, TReplaceFlags flags = {});

// ---- 1-based helpers for algorithms written with 1-based positions -----------------------------

// Position of the first occurrence of `sub` in `s`, counting from 1; 0 when absent or empty.
size_t Pos(std::string_view sub, std::string_view s);
// `count` bytes from 1-based position `index`, clipped to the string; an index below 1 counts
// as 1.
std::string Copy(std::string_view s, int64_t index, int64_t count);

// ---- File names (POSIX paths) ------------------------------------------------------------------

inline constexpr char PathDelim = '/';

std::string IncludeTrailingPathDelimiter(std::string_view path);
std::string ExcludeTrailingPathDelimiter(std::string_view path);
// "dir/name.ext" -> "name.ext"
std::string ExtractFileName(std::string_view fileName);
// "dir/name.ext" -> "dir/"
std::string ExtractFilePath(std::string_view fileName);
// "dir/name.ext" -> ".ext"; "" when the name has no dot.
std::string ExtractFileExt(std::string_view fileName);
// Replaces (or adds) the extension; `extension` includes its dot.
std::string ChangeFileExt(std::string_view fileName, std::string_view extension);

} // namespace zan
