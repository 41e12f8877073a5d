#include "host/rtl/VarCompare.h"

#include <cmath>

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

TVariantRelationship CompareNumbers(const Variant& a, const Variant& b) {
    if (IsIntegerType(a.Type()) && IsIntegerType(b.Type())) return Order(a.AsInt64(), b.AsInt64());
    if (a.Type() == varCurrency && b.Type() == varCurrency)
        return Order(a.AsCurrency().Scaled(), b.AsCurrency().Scaled());
    return Order(a.AsDouble(), b.AsDouble());
}

TVariantRelationship CompareBytes(const std::string& a, const std::string& b) {
    const int c = a.compare(b); // char_traits<char> compares as unsigned bytes
    return c < 0 ? vrLessThan : c > 0 ? vrGreaterThan : vrEqual;
}

TVariantRelationship Swap(TVariantRelationship r) {
    return r == vrLessThan ? vrGreaterThan : r == vrGreaterThan ? vrLessThan : r;
}

// A string (s) against a number (n), s on the left. A date too far out to have a text does not
// compare with text.
TVariantRelationship CompareStringToNumber(const Variant& s, const Variant& n) {
    double value = 0;
    const std::string text = s.AsString();
    if (TryStrToFloat(text, value)) return Order(value, n.AsDouble());
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
