#include "host/rtl/Format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace zan {

namespace {

[[noreturn]] void FormatError(std::string_view format) {
    throw EConvertError("Format '" + std::string(format) +
                        "' invalid or incompatible with argument");
}

std::string SpecialFloat(double v) {
    if (std::isnan(v)) return "NAN";
    return v < 0 ? "-INF" : "INF";
}

std::string FixedText(double v, int decimals) {
    if (!std::isfinite(v)) return SpecialFloat(v);
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    std::string s(buf, r.ptr);
    if (s[0] == '-' && s.find_first_not_of("0.", 1) == std::string::npos) s.erase(0, 1);
    return s;
}

// Inserts "," every three digits of the integer part.
std::string GroupThousands(const std::string& fixed) {
    size_t start = (fixed[0] == '-') ? 1 : 0;
    size_t end = fixed.find('.');
    if (end == std::string::npos) end = fixed.size();
    std::string out = fixed.substr(0, start);
    for (size_t i = start; i < end; ++i) {
        out += fixed[i];
        size_t left = end - i - 1;
        if (left > 0 && left % 3 == 0) out += ',';
    }
    out += fixed.substr(end);
    return out;
}

// Splits v into significant digits and a decimal exponent: v = 0.d1d2d3... * 10^exp.
// digits == 0 asks for the shortest round-trip digits.
void Decompose(double v, int digits, std::string& mantissa, int& exp, bool& negative) {
    char buf[64];
    std::to_chars_result r =
        digits > 0
            ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits - 1)
            : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
    negative = !s.empty() && s[0] == '-';
    if (negative) s.remove_prefix(1);
    size_t e = s.find('e');
    mantissa.clear();
    for (char c : s.substr(0, e))
        if (c != '.') mantissa += c;
    int e10 = 0;
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), e10);
    exp = e10 + 1;
    while (mantissa.size() > 1 && mantissa.back() == '0')
        mantissa.pop_back();
}

std::string ScientificText(double v, int precision) {
    if (!std::isfinite(v)) return SpecialFloat(v);
    if (precision < 1) precision = 1;
    if (precision > 18) precision = 18;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision - 1);
    std::string s(buf, r.ptr);
    size_t e = s.find('e');
    std::string mant = s.substr(0, e);
    char sign = s[e + 1];
    std::string digits = s.substr(e + 2);
    while (digits.size() < 3)
        digits.insert(digits.begin(), '0');
    return mant + "E" + sign + digits;
}

std::string UnsignedText(uint64_t v, int base) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, base);
    std::string s(buf, r.ptr);
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// An integer seen as unsigned: a negative value wraps at the width of its argument (32 bits for
// int32_t and narrower, 64 bits for int64_t).
uint64_t AsUnsignedBits(const TVarRec& a) {
    if (a.Kind() == TVarRec::vtUnsigned) return a.AsUnsigned();
    int64_t v = a.AsInteger();
    if (a.Kind() == TVarRec::vtInteger) return static_cast<uint32_t>(static_cast<int32_t>(v));
    return static_cast<uint64_t>(v);
}

bool IsInteger(const TVarRec& a) {
    return a.IsSigned() || a.Kind() == TVarRec::vtUnsigned;
}

std::string Pad(std::string s, int width, bool left) {
    if (width > 0 && static_cast<int>(s.size()) < width) {
        std::string fill(static_cast<size_t>(width) - s.size(), ' ');
        s = left ? s + fill : fill + s;
    }
    return s;
}

} // namespace

std::string FloatToStrGeneral(double v, int precision) {
    if (!std::isfinite(v)) return SpecialFloat(v);
    if (v == 0) return "0";
    if (precision > 18) precision = 18;
    std::string digits;
    int exp = 0;
    bool negative = false;
    Decompose(v, precision, digits, exp, negative);
    const int limit = precision > 0 ? precision : 15;
    std::string out = negative ? "-" : "";
    if (exp > limit || exp < -3) {
        out += digits[0];
        if (digits.size() > 1) out += "." + digits.substr(1);
        out += "E" + std::to_string(exp - 1);
    } else if (exp <= 0) {
        out += "0." + std::string(static_cast<size_t>(-exp), '0') + digits;
    } else if (static_cast<int>(digits.size()) <= exp) {
        out += digits + std::string(static_cast<size_t>(exp) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(exp)) + "." +
               digits.substr(static_cast<size_t>(exp));
    }
    return out;
}

std::string FormatV(std::string_view format, std::span<const TVarRec> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    size_t argIndex = 0;
    auto nextArg = [&]() -> const TVarRec& {
        if (argIndex >= args.size()) FormatError(format);
        return args[argIndex++];
    };
    // Reads a number or "*" (taken from the arguments); -1 when absent.
    auto readNumber = [&](size_t& i) -> int {
        if (i < format.size() && format[i] == '*') {
            ++i;
            const TVarRec& a = nextArg();
            if (!IsInteger(a)) FormatError(format);
            int64_t v = a.IsSigned() ? a.AsInteger() : static_cast<int64_t>(a.AsUnsigned());
            if (v > 100000 || v < -100000) FormatError(format);
            return static_cast<int>(v);
        }
        if (i >= format.size() || !std::isdigit(static_cast<unsigned char>(format[i]))) return -1;
        int v = 0;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
            v = v * 10 + (format[i++] - '0');
            if (v > 100000) FormatError(format);
        }
        return v;
    };

    for (size_t i = 0; i < format.size();) {
        char c = format[i++];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i >= format.size()) FormatError(format);
        if (format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // Optional argument index "n:".
        size_t digitsEnd = i;
        while (digitsEnd < format.size() &&
               std::isdigit(static_cast<unsigned char>(format[digitsEnd])))
            ++digitsEnd;
        if (digitsEnd > i && digitsEnd < format.size() && format[digitsEnd] == ':') {
            argIndex = static_cast<size_t>(readNumber(i));
            ++i;
        }
        bool left = false;
        if (i < format.size() && format[i] == '-') {
            left = true;
            ++i;
        }
        int width = readNumber(i);
        if (width < 0 && width != -1) {
            left = true;
            width = -width;
        }
        int precision = -1;
        if (i < format.size() && format[i] == '.') {
            ++i;
            precision = readNumber(i);
            if (precision < 0) precision = 0;
        }
        if (i >= format.size()) FormatError(format);
        char type = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i++])));
        const TVarRec& a = nextArg();
        std::string text;
        switch (type) {
        case 'd': {
            if (!IsInteger(a)) FormatError(format);
            bool negative = a.IsSigned() && a.AsInteger() < 0;
            uint64_t magnitude = a.Kind() == TVarRec::vtUnsigned ? a.AsUnsigned()
                                 : negative ? 0 - static_cast<uint64_t>(a.AsInteger())
                                            : static_cast<uint64_t>(a.AsInteger());
            text = UnsignedText(magnitude, 10);
            if (precision > static_cast<int>(text.size()))
                text.insert(0, static_cast<size_t>(precision) - text.size(), '0');
            if (negative) text.insert(0, 1, '-');
            break;
        }
        case 'u':
        case 'x': {
            if (!IsInteger(a)) FormatError(format);
            text = UnsignedText(AsUnsignedBits(a), type == 'x' ? 16 : 10);
            if (precision > static_cast<int>(text.size()))
                text.insert(0, static_cast<size_t>(precision) - text.size(), '0');
            break;
        }
        case 'f':
        case 'n':
        case 'm':
        case 'e':
        case 'g': {
            double v;
            if (a.Kind() == TVarRec::vtFloat)
                v = a.AsFloat();
            else
                FormatError(format);
            if (type == 'f')
                text = FixedText(v, precision < 0 ? 2 : std::min(precision, 18));
            else if (type == 'n' || type == 'm')
                text =
                    std::isfinite(v)
                        ? GroupThousands(FixedText(v, precision < 0 ? 2 : std::min(precision, 18)))
                        : SpecialFloat(v);
            else if (type == 'e')
                text = ScientificText(v, precision < 0 ? 15 : precision);
            else
                text = FloatToStrGeneral(v, precision < 0 ? 15 : std::max(precision, 1));
            break;
        }
        case 's': {
            if (a.Kind() == TVarRec::vtString)
                text = std::string(a.AsString());
            else if (a.Kind() == TVarRec::vtChar)
                text = std::string(1, a.AsChar());
            else
                FormatError(format);
            if (precision >= 0 && static_cast<int>(text.size()) > precision)
                text.resize(static_cast<size_t>(precision));
            break;
        }
        case 'p': {
            if (a.Kind() != TVarRec::vtPointer) FormatError(format);
            text = UnsignedText(reinterpret_cast<uintptr_t>(a.AsPointer()), 16);
            if (text.size() < 8) text.insert(0, 8 - text.size(), '0');
            break;
        }
        default:
            FormatError(format);
        }
        out += Pad(std::move(text), width, left);
    }
    return out;
}

} // namespace zan
