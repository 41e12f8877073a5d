// Variant: a value of one of a few run-time types, used for SQL values (Null is SQL NULL,
// Empty/Unassigned means "undecided") and field values. A plain value type: copies are deep.
//
// Conversions follow the framework's rules: Empty converts to 0, False or ""; Null converts to
// "" as text and to nothing else (EVariantError); True is -1 as a number and "True" as text;
// text converts through StrToInt / StrToFloat / StrToDateTime and "True"/"False" (any case),
// raising EConvertError for bad text; numbers that do not fit raise EVariantError.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "host/rtl/DateUtils.h"
#include "host/rtl/Exceptions.h"
#include "host/rtl/SysUtils.h"

namespace zan {

// A conversion the value's type does not allow, or a number that does not fit.
ZAN_EXCEPTION_CLASS(EVariantError, Exception);

// Type codes; the values are those the framework uses, so stored or compared codes agree.
enum TVarType : uint16_t {
    varEmpty = 0x0000,
    varNull = 0x0001,
    varSmallint = 0x0002,
    varInteger = 0x0003,
    varDouble = 0x0005,
    varCurrency = 0x0006,
    varDate = 0x0007,
    varBoolean = 0x000B,
    varInt64 = 0x0014,
    varString = 0x0100,
    varArray = 0x2000,
};

class Variant {
public:
    Variant() = default; // Empty
    Variant(bool value) : FType(varBoolean), FInt(value ? 1 : 0) {}
    // Integers keep their width: up to 16 bits signed -> Smallint, up to 32 bits -> Integer,
    // wider -> Int64 (an unsigned 32-bit value above the Integer range also becomes Int64).
    template <std::integral T>
    requires(!std::is_same_v<T, bool> && !std::is_same_v<T, char>) Variant(T value) {
        if constexpr (std::is_signed_v<T> && sizeof(T) <= 2) {
            FType = varSmallint;
        } else if constexpr (sizeof(T) <= 4 && (std::is_signed_v<T> || sizeof(T) <= 2)) {
            FType = varInteger;
        } else {
            if constexpr (std::is_unsigned_v<T> && sizeof(T) >= 8) {
                if (value > static_cast<T>(std::numeric_limits<int64_t>::max()))
                    throw EVariantError("Arithmetic overflow converting to variant of type "
                                        "(Int64)");
            }
            FType = (sizeof(T) <= 4 && static_cast<uint64_t>(value) <= INT32_MAX) ? varInteger
                                                                                  : varInt64;
        }
        FInt = static_cast<int64_t>(value);
    }
    Variant(double value) : FType(varDouble), FFloat(value) {}
    Variant(Currency value) : FType(varCurrency), FInt(value.Scaled()) {}
    Variant(std::string value) : FType(varString), FStr(std::move(value)) {}
    Variant(std::string_view value) : FType(varString), FStr(value) {}
    Variant(const char* value) : FType(varString), FStr(value ? value : "") {}
    Variant(std::vector<Variant> elements) : FType(varArray), FArray(std::move(elements)) {}

    TVarType Type() const { return FType; }

    int32_t AsInteger() const;
    int64_t AsInt64() const;
    double AsDouble() const;
    Currency AsCurrency() const;
    bool AsBoolean() const;
    std::string AsString() const;
    // The text of a string variant without copying it; EVariantError for any other type.
    const std::string& StringRef() const {
        if (FType != varString) CastError(varString);
        return FStr;
    }
    TDateTime AsDateTime() const;

    // The elements of an array variant; EVariantError for any other type.
    const std::vector<Variant>& Elements() const;
    std::vector<Variant>& Elements();

private:
    friend Variant VarFromDateTime(TDateTime value);
    friend Variant Null();

    [[noreturn]] void CastError(TVarType target) const;
    [[noreturn]] void OverflowError(TVarType target) const;

    TVarType FType = varEmpty;
    int64_t FInt = 0;  // Smallint, Integer, Int64, Boolean, Currency (scaled)
    double FFloat = 0; // Double, Date
    std::string FStr;  // String
    std::vector<Variant> FArray;
};

Variant Unassigned();
Variant Null();
Variant VarFromDateTime(TDateTime value);
Variant VarArrayOf(std::vector<Variant> elements);

inline TVarType VarType(const Variant& v) {
    return v.Type();
}
inline bool VarIsNull(const Variant& v) {
    return v.Type() == varNull;
}
inline bool VarIsEmpty(const Variant& v) {
    return v.Type() == varEmpty;
}
inline bool VarIsClear(const Variant& v) {
    return v.Type() == varEmpty;
}
inline bool VarIsArray(const Variant& v) {
    return v.Type() == varArray;
}
// "Empty", "Null", "Smallint", "Integer", "Double", "Currency", "Date", "Boolean", "Int64",
// "String", "Array".
const char* VarTypeAsText(TVarType type);
// The value as text; "" for Null and Empty.
std::string VarToStr(const Variant& v);

} // namespace zan
