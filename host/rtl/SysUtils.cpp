#include "host/rtl/SysUtils.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "host/rtl/Format.h"

namespace zan {

namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

char UpChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char LoChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = UpChar(c);
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses integer text into a value of `bits` width. Decimal text must fit the signed range;
// hexadecimal text may use the unsigned range and is taken as two's complement.
bool ParseInteger(std::string_view s, unsigned bits, int64_t& out) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    bool hex = false;
    if (i < s.size() && s[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= s.size()) return false;
    const uint64_t signedMax = (uint64_t{1} << (bits - 1)) - 1;
    const uint64_t limit = hex ? (bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1)
                               : signedMax + (negative ? 1 : 0);
    const unsigned base = hex ? 16 : 10;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        int d = hex ? HexDigit(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
        if (d < 0) return false;
        if (v > (limit - static_cast<uint64_t>(d)) / base) return false;
        v = v * base + static_cast<uint64_t>(d);
    }
    if (hex && bits < 64 && v > signedMax) v |= ~((uint64_t{1} << bits) - 1); // sign-extend
    if (negative) v = ~v + 1;
    out = static_cast<int64_t>(v);
    return true;
}

[[noreturn]] void IntegerError(std::string_view text) {
    throw EConvertError(Format("'%s' is not a valid integer value", text));
}

[[noreturn]] void InvalidFloatOperation() {
    throw EConvertError("Invalid floating point operation");
}

// True when v lies in [-2^63, 2^63).
bool FitsInt64(double v) {
    return v >= -9223372036854775808.0 && v < 9223372036854775808.0;
}

double RoundHalfEven(double v) {
    double f = std::floor(v);
    double diff = v - f;
    if (diff > 0.5) return f + 1;
    if (diff < 0.5) return f;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

bool MatchAt(std::string_view s, size_t at, std::string_view pattern, bool ignoreCase) {
    if (at + pattern.size() > s.size()) return false;
    for (size_t k = 0; k < pattern.size(); ++k) {
        char a = s[at + k], b = pattern[k];
        if (ignoreCase ? UpChar(a) != UpChar(b) : a != b) return false;
    }
    return true;
}

// For decimal text that from_chars found out of range: true when the magnitude is tiny (the
// decimal exponent of its first significant digit is negative), false when it is huge.
bool IsUnderflowText(std::string_view s) {
    size_t e = s.find_first_of("eE");
    std::string_view mant = s.substr(0, e);
    int64_t exp10 = 0;
    if (e != std::string_view::npos) {
        std::string_view ex = s.substr(e + 1);
        if (!ex.empty() && ex[0] == '+') ex.remove_prefix(1);
        auto r = std::from_chars(ex.data(), ex.data() + ex.size(), exp10);
        if (r.ec == std::errc::result_out_of_range) return !ex.empty() && ex[0] == '-';
    }
    size_t dot = mant.find('.');
    if (dot == std::string_view::npos) dot = mant.size();
    size_t first = mant.find_first_of("123456789");
    if (first == std::string_view::npos) return true;
    int64_t lead =
        first < dot ? static_cast<int64_t>(dot - first - 1) : -static_cast<int64_t>(first - dot);
    return lead + exp10 < 0;
}

// Index just after the last path delimiter (0 when there is none).
size_t NameStart(std::string_view fileName) {
    size_t p = fileName.rfind(PathDelim);
    return p == std::string_view::npos ? 0 : p + 1;
}

} // namespace

std::string IntToStrSigned(int64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string IntToStrUnsigned(uint64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

bool TryStrToInt(std::string_view text, int32_t& value) {
    int64_t v = 0;
    if (!ParseInteger(text, 32, v)) return false;
    value = static_cast<int32_t>(v);
    return true;
}

bool TryStrToInt64(std::string_view text, int64_t& value) {
    return ParseInteger(text, 64, value);
}

int32_t StrToInt(std::string_view text) {
    int32_t v = 0;
    if (!TryStrToInt(text, v)) IntegerError(text);
    return v;
}

int64_t StrToInt64(std::string_view text) {
    int64_t v = 0;
    if (!TryStrToInt64(text, v)) IntegerError(text);
    return v;
}

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) {
    int32_t v = 0;
    return TryStrToInt(text, v) ? v : defaultValue;
}

int64_t StrToInt64Def(std::string_view text, int64_t defaultValue) {
    int64_t v = 0;
    return TryStrToInt64(text, v) ? v : defaultValue;
}

namespace {
// Decimal number text without its surrounding blanks and its sign.
std::string_view UnsignedNumberText(std::string_view text, bool& negative) {
    size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    std::string_view s = text.substr(b, e - b);
    negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    return s;
}
} // namespace

bool TryDecimalStrToInt64(std::string_view text, int64_t& value) {
    bool negative = false;
    const std::string_view s = UnsignedNumberText(text, negative);
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    uint64_t magnitude = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), magnitude, 10);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) return false;
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

std::string IntToHexBits(uint64_t bits, int digits) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, bits, 16);
    std::string s(buf, r.ptr);
    for (char& c : s)
        c = UpChar(c);
    if (digits > 0 && s.size() < static_cast<size_t>(digits))
        s.insert(0, static_cast<size_t>(digits) - s.size(), '0');
    return s;
}

std::string FloatToStr(double value) {
    return FloatToStrGeneral(value, 0);
}

bool TryStrToFloat(std::string_view text, double& value) {
    bool negative = false;
    const std::string_view s = UnsignedNumberText(text, negative);
    // from_chars would also take "inf", "nan" and a second sign: only digits or "." may start.
    if (s.empty() || !((s[0] >= '0' && s[0] <= '9') || s[0] == '.')) return false;
    double v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (r.ptr != s.data() + s.size()) return false;
    // Text too small for a double reads as zero; text too large is refused.
    if (r.ec == std::errc::result_out_of_range && IsUnderflowText(s))
        v = 0;
    else if (r.ec != std::errc() || !std::isfinite(v))
        return false;
    value = negative ? -v : v;
    return true;
}

double StrToFloat(std::string_view text) {
    double v = 0;
    if (!TryStrToFloat(text, v))
        throw EConvertError(Format("'%s' is not a valid floating point value", text));
    return v;
}

double StrToFloatDef(std::string_view text, double defaultValue) {
    double v = 0;
    return TryStrToFloat(text, v) ? v : defaultValue;
}

int64_t Round(double value) {
    if (!std::isfinite(value)) InvalidFloatOperation();
    double r = RoundHalfEven(value);
    if (!FitsInt64(r)) InvalidFloatOperation();
    return static_cast<int64_t>(r);
}

int64_t Trunc(double value) {
    if (!std::isfinite(value)) InvalidFloatOperation();
    double t = std::trunc(value);
    if (!FitsInt64(t)) InvalidFloatOperation();
    return static_cast<int64_t>(t);
}

double Frac(double value) {
    return value - std::trunc(value);
}

Currency Currency::FromDouble(double value) {
    // Rounded on the shortest decimal text of the value, so that 0.00005 (typed as such) is a
    // tie and 1.23455 rounds as written, not as its binary approximation.
    if (!std::isfinite(value) || std::fabs(value) >= 922337203685477.0) InvalidFloatOperation();
    char buf[512];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::fixed);
    std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
    size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view frac =
        dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    int64_t scaled = 0;
    for (char c : whole)
        scaled = scaled * 10 + (c - '0');
    for (size_t i = 0; i < 4; ++i)
        scaled = scaled * 10 + (i < frac.size() ? frac[i] - '0' : 0);
    if (frac.size() > 4) {
        std::string_view rest = frac.substr(4);
        bool up = rest[0] > '5' ||
                  (rest[0] == '5' &&
                   (rest.find_first_not_of('0', 1) != std::string_view::npos || scaled % 2 != 0));
        if (up) ++scaled;
    }
    return FromScaled(value < 0 ? -scaled : scaled);
}

std::string CurrToStr(Currency value) {
    int64_t v = value.Scaled();
    bool negative = v < 0;
    // Magnitude as unsigned so that INT64_MIN is safe.
    uint64_t m = negative ? ~static_cast<uint64_t>(v) + 1 : static_cast<uint64_t>(v);
    std::string out = negative ? "-" : "";
    out += IntToStrUnsigned(m / 10000);
    uint64_t frac = m % 10000;
    if (frac != 0) {
        std::string f = IntToStrUnsigned(frac);
        f.insert(0, 4 - f.size(), '0');
        while (f.back() == '0')
            f.pop_back();
        out += "." + f;
    }
    return out;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

std::string TrimLeft(std::string_view s) {
    size_t b = 0;
    while (b < s.size() && IsBlank(s[b]))
        ++b;
    return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
    size_t e = s.size();
    while (e > 0 && IsBlank(s[e - 1]))
        --e;
    return std::string(s.substr(0, e));
}

std::string UpperCase(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = UpChar(c);
    return out;
}

std::string LowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = LoChar(c);
    return out;
}

int CompareStr(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int d = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
        if (d != 0) return d;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int CompareText(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int d = static_cast<unsigned char>(UpChar(a[i])) - static_cast<unsigned char>(UpChar(b[i]));
        if (d != 0) return d;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string QuotedStr(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

std::string AnsiDequotedStr(std::string_view s, char quote) {
    if (s.empty() || s[0] != quote) return std::string(s);
    std::string out;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == quote) {
            if (i + 1 < s.size() && s[i + 1] == quote) {
                out += quote;
                ++i;
            } else {
                return out;
            }
        } else {
            out += s[i];
        }
    }
    return std::string(s); // no closing quote
}

std::string StringReplace(std::string_view s, std::string_view oldPattern,
                          std::string_view newPattern, TReplaceFlags flags) {
    if (oldPattern.empty()) return std::string(s);
    const bool all = flags.Contains(rfReplaceAll);
    const bool ignoreCase = flags.Contains(rfIgnoreCase);
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        if (MatchAt(s, i, oldPattern, ignoreCase)) {
            out += newPattern;
            i += oldPattern.size();
            if (!all) break;
        } else {
            out += s[i++];
        }
    }
    out += s.substr(std::min(i, s.size()));
    return out;
}

size_t Pos(std::string_view sub, std::string_view s) {
    if (sub.empty()) return 0;
    size_t p = s.find(sub);
    return p == std::string_view::npos ? 0 : p + 1;
}

std::string Copy(std::string_view s, int64_t index, int64_t count) {
    if (index < 1) index = 1;
    if (count <= 0 || index > static_cast<int64_t>(s.size())) return std::string();
    size_t start = static_cast<size_t>(index - 1);
    size_t n = std::min(static_cast<size_t>(count), s.size() - start);
    return std::string(s.substr(start, n));
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
    std::string out(path);
    if (out.empty() || out.back() != PathDelim) out += PathDelim;
    return out;
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
    std::string out(path);
    if (!out.empty() && out.back() == PathDelim) out.pop_back();
    return out;
}

std::string ExtractFileName(std::string_view fileName) {
    return std::string(fileName.substr(NameStart(fileName)));
}

std::string ExtractFilePath(std::string_view fileName) {
    return std::string(fileName.substr(0, NameStart(fileName)));
}

std::string ExtractFileExt(std::string_view fileName) {
    size_t start = NameStart(fileName);
    size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos || dot < start) return std::string();
    return std::string(fileName.substr(dot));
}

std::string ChangeFileExt(std::string_view fileName, std::string_view extension) {
    size_t start = NameStart(fileName);
    size_t dot = fileName.rfind('.');
    size_t end = (dot == std::string_view::npos || dot < start) ? fileName.size() : dot;
    return std::string(fileName.substr(0, end)) + std::string(extension);
}

} // namespace zan
