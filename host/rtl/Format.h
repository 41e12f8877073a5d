// Type-safe Format with the framework's specifiers:
//   "%" ["-"] [width | "*"] ["." (precision | "*")] type      ("%%" is a literal percent)
// type: d (integer; precision = minimum digits), u (unsigned), x (upper-case hex), f (fixed,
// precision default 2), n (fixed with thousand separators), m (money: n with 2 decimals),
// e (scientific, precision = significant digits, default 15, exponent "E+ddd"), g (general,
// shortest of fixed and scientific), s (string; precision = maximum characters), p (pointer).
// Width pads on the left ("-" pads on the right). A missing or mismatched argument raises
// EConvertError; nothing is ever read from an argument of the wrong type.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "host/rtl/Exceptions.h"

namespace zan {

// One argument of Format (the framework's "array of const" element). It only borrows string
// data, so it must not outlive the call it is built for.
class TVarRec {
public:
    // Signed integers keep their width: vtInteger up to 32 bits, vtInt64 above (%x and %u show
    // a negative value as the two's complement of that width).
    enum TKind : uint8_t {
        vtInteger,
        vtUnsigned,
        vtFloat,
        vtString,
        vtChar,
        vtPointer,
        vtBoolean,
        vtInt64
    };

    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
        TVarRec(T v) {
        if constexpr (std::is_signed_v<T>) {
            FKind = sizeof(T) > sizeof(int32_t) ? vtInt64 : vtInteger;
            FInt = static_cast<int64_t>(v);
        } else {
            FKind = vtUnsigned;
            FUInt = static_cast<uint64_t>(v);
        }
    }
    template <typename T>
    requires std::is_enum_v<T> TVarRec(T v) : TVarRec(static_cast<std::underlying_type_t<T>>(v)) {}
    TVarRec(bool v) : FKind(vtBoolean), FInt(v ? 1 : 0) {}
    TVarRec(char v) : FKind(vtChar), FChar(v) {}
    TVarRec(double v) : FKind(vtFloat), FFloat(v) {}
    TVarRec(float v) : FKind(vtFloat), FFloat(v) {}
    TVarRec(long double v) : FKind(vtFloat), FFloat(static_cast<double>(v)) {}
    TVarRec(const std::string& v) : FKind(vtString), FStr(v) {}
    TVarRec(std::string_view v) : FKind(vtString), FStr(v) {}
    TVarRec(const char* v) : FKind(vtString), FStr(v ? std::string_view(v) : std::string_view()) {}
    TVarRec(const void* v) : FKind(vtPointer), FPtr(v) {}

    TKind Kind() const { return FKind; }
    // A signed integer of either width (vtInteger, vtInt64).
    bool IsSigned() const { return FKind == vtInteger || FKind == vtInt64; }
    int64_t AsInteger() const { return FInt; }
    uint64_t AsUnsigned() const { return FUInt; }
    double AsFloat() const { return FFloat; }
    std::string_view AsString() const { return FStr; }
    char AsChar() const { return FChar; }
    const void* AsPointer() const { return FPtr; }

private:
    TKind FKind;
    union {
        int64_t FInt;
        uint64_t FUInt;
        double FFloat;
        char FChar;
        const void* FPtr;
    };
    std::string_view FStr;
};

std::string FormatV(std::string_view format, std::span<const TVarRec> args);

inline std::string Format(std::string_view format, std::initializer_list<TVarRec> args) {
    return FormatV(format, std::span<const TVarRec>(args.begin(), args.size()));
}

template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return FormatV(format, {});
    } else {
        const TVarRec recs[] = {TVarRec(args)...};
        return FormatV(format, std::span<const TVarRec>(recs, sizeof...(Args)));
    }
}

// The general float text of the framework: up to `precision` significant digits (0 = the
// shortest text that reads back to the same double), fixed notation unless the decimal exponent
// is at least the precision (15 when shortest) or the value is below 0.0001, then "1.5E-7" style.
// "NAN", "INF" and "-INF" for the special values. Always "." as the decimal separator.
std::string FloatToStrGeneral(double value, int precision = 0);

} // namespace zan
