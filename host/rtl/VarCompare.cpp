#include "host/rtl/VarCompare.h"

#include <cmath>

#include "host/rtl/DateUtils.h"

namespace zan {

namespace {

bool IsNumberType(TVarType t) {
    switch (t) {
    case varSmallint:
    case varInteger:
    case varInt64:
    case varDouble:
    case varCurrency:
    case varDate:
        return true;
    default:
        return false;
    }
}

bool IsIntegerType(TVarType t) {
    return t == varSmallint || t == varInteger || t == varInt64;
}

template <typename T>
TVariantRelationship Order(T a, T b) {
    if (a < b) return vrLessThan;
    if (b < a) return vrGreaterThan;
    if (a == b) return vrEqual;
    return vrNotEqual; // NaN
}

TVariantRelationship Swap(TVariantRelationship r) {
    return r == vrLessThan ? vrGreaterThan : r == vrGreaterThan ? vrLessThan : r;
}

constexpr double C_TWO_POW_63 = 9223372036854775808.0;

// A whole number `whole` plus `fraction` (0 <= fraction < 1, in units of 1/10000 when scaled)
// against a double, without rounding either side.
TVariantRelationship CompareWholeDouble(int64_t whole, int32_t tenThousandths, double d) {
    if (std::isnan(d)) return vrNotEqual;
    if (d >= C_TWO_POW_63) return vrLessThan;
    if (d < -C_TWO_POW_63) return vrGreaterThan;
    const double floorD = std::floor(d);
    const auto dWhole = static_cast<int64_t>(floorD);
    if (whole != dWhole) return whole < dWhole ? vrLessThan : vrGreaterThan;
    // Same whole part: tenThousandths / 10000 against the exact fraction of d. The fused
    // multiply-subtract rounds once, so its sign is the sign of the exact difference.
    const double diff = std::fma(d - floorD, 10000.0, -static_cast<double>(tenThousandths));
    return diff > 0 ? vrLessThan : diff < 0 ? vrGreaterThan : vrEqual;
}

TVariantRelationship CompareCurrencyDouble(int64_t scaled, double d) {
    int64_t whole = scaled / 10000;
    auto fraction = static_cast<int32_t>(scaled % 10000);
    if (fraction < 0) {
        fraction += 10000;
        --whole;
    }
    return CompareWholeDouble(whole, fraction, d);
}

// Integers, currency and doubles (dates included) against each other by their exact values:
// no side is rounded to the other's type.
TVariantRelationship CompareNumbers(const Variant& a, const Variant& b) {
    const TVarType ta = a.Type(), tb = b.Type();
    const bool ia = IsIntegerType(ta), ib = IsIntegerType(tb);
    const bool ca = ta == varCurrency, cb = tb == varCurrency;
    if (ia && ib) return Order(a.AsInt64(), b.AsInt64());
    if (ca && cb) return Order(a.AsCurrency().Scaled(), b.AsCurrency().Scaled());
    if ((ia || ca) && (ib || cb)) {
        const __int128 x = ia ? __int128{a.AsInt64()} * 10000 : a.AsCurrency().Scaled();
        const __int128 y = ib ? __int128{b.AsInt64()} * 10000 : b.AsCurrency().Scaled();
        return Order(x, y);
    }
    if (ia) return CompareWholeDouble(a.AsInt64(), 0, b.AsDouble());
    if (ca) return CompareCurrencyDouble(a.AsCurrency().Scaled(), b.AsDouble());
    if (ib) return Swap(CompareWholeDouble(b.AsInt64(), 0, a.AsDouble()));
    if (cb) return Swap(CompareCurrencyDouble(b.AsCurrency().Scaled(), a.AsDouble()));
    // Two date-times by the instants they name (their numbers run backwards within a day
    // before day zero).
    if (ta == varDate && tb == varDate)
        return Order(DateTimeOrderValue(a.AsDouble()), DateTimeOrderValue(b.AsDouble()));
    return Order(a.AsDouble(), b.AsDouble());
}

TVariantRelationship CompareBytes(const std::string& a, const std::string& b) {
    const int c = a.compare(b); // char_traits<char> compares as unsigned bytes
    return c < 0 ? vrLessThan : c > 0 ? vrGreaterThan : vrEqual;
}

// A string (s) against a number (n), s on the left. A date too far out to have a text does not
// compare with text.
TVariantRelationship CompareStringToNumber(const Variant& s, const Variant& n) {
    const std::string text = s.AsString();
    int64_t whole = 0;
    if (TryDecimalStrToInt64(text, whole)) return CompareNumbers(Variant(whole), n);
    double value = 0;
    if (TryStrToFloat(text, value)) return CompareNumbers(Variant(value), n);
    try {
        return CompareBytes(text, VarToStr(n));
    } catch (const EConvertError&) {
        return vrNotEqual;
    }
}

} // namespace

bool operator==(const Variant& a, const Variant& b) {
    if (a.Type() != b.Type()) return false;
    switch (a.Type()) {
    case varEmpty:
    case varNull:
        return true;
    case varSmallint:
    case varInteger:
    case varInt64:
    case varBoolean:
        return a.AsInt64() == b.AsInt64();
    case varCurrency:
        return a.AsCurrency() == b.AsCurrency();
    case varDouble:
    case varDate:
        return a.AsDouble() == b.AsDouble();
    case varString:
        return a.AsString() == b.AsString();
    case varArray: {
        const auto& x = a.Elements();
        const auto& y = b.Elements();
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i)
            if (!(x[i] == y[i])) return false;
        return true;
    }
    }
    return false;
}

TVariantRelationship VarCompareValue(const Variant& a, const Variant& b) {
    const TVarType ta = a.Type(), tb = b.Type();
    if (IsNumberType(ta) && IsNumberType(tb)) return CompareNumbers(a, b);
    if (ta == varBoolean && tb == varBoolean) return Order(a.AsBoolean(), b.AsBoolean());
    if (ta == varString && tb == varString) return CompareBytes(a.AsString(), b.AsString());
    if (ta == varString && IsNumberType(tb)) return CompareStringToNumber(a, b);
    if (IsNumberType(ta) && tb == varString) return Swap(CompareStringToNumber(b, a));
    return vrNotEqual;
}

TDateTime DateOf(TDateTime value) {
    return std::trunc(value) + 0.0; // + 0.0 turns -0 into 0
}

TDateTime TimeOf(TDateTime value) {
    return std::fabs(value - std::trunc(value));
}

} // namespace zan
