#include "host/rtl/Variants.h"

#include <cmath>

#include "host/rtl/Format.h"

namespace zan {

namespace {

// "True"/"False" in any case; anything else is not boolean text.
bool TryBoolText(std::string_view text, bool& value) {
    std::string t = Trim(text);
    if (SameText(t, "True"))
        value = true;
    else if (SameText(t, "False"))
        value = false;
    else
        return false;
    return true;
}

// Text as a number: an integer, a float, or boolean text (-1 / 0).
bool TryNumberText(std::string_view text, double& value) {
    int64_t i = 0;
    bool b = false;
    if (TryStrToInt64(text, i))
        value = static_cast<double>(i);
    else if (TryStrToFloat(text, value))
        return true;
    else if (TryBoolText(text, b))
        value = b ? -1 : 0;
    else
        return false;
    return true;
}

} // namespace

const char* VarTypeAsText(TVarType type) {
    switch (type) {
    case varEmpty:
        return "Empty";
    case varNull:
        return "Null";
    case varSmallint:
        return "Smallint";
    case varInteger:
        return "Integer";
    case varDouble:
        return "Double";
    case varCurrency:
        return "Currency";
    case varDate:
        return "Date";
    case varBoolean:
        return "Boolean";
    case varInt64:
        return "Int64";
    case varString:
        return "String";
    case varArray:
        return "Array";
    }
    return "Unknown";
}

void Variant::CastError(TVarType target) const {
    throw EVariantError(Format("Could not convert variant of type (%s) into type (%s)",
                               VarTypeAsText(FType), VarTypeAsText(target)));
}

void Variant::OverflowError(TVarType target) const {
    throw EVariantError(Format("Overflow while converting variant of type (%s) into type (%s)",
                               VarTypeAsText(FType), VarTypeAsText(target)));
}

int64_t Variant::AsInt64() const {
    switch (FType) {
    case varEmpty:
        return 0;
    case varSmallint:
    case varInteger:
    case varInt64:
        return FInt;
    case varBoolean:
        return FInt ? -1 : 0;
    case varCurrency: {
        // Exact: the scaled integer divided by 10000, the remainder rounded half to even.
        int64_t whole = FInt / 10000;
        const int64_t rest = FInt % 10000; // carries the sign of the value
        if (rest > 5000 || (rest == 5000 && (whole & 1) != 0))
            ++whole;
        else if (rest < -5000 || (rest == -5000 && (whole & 1) != 0))
            --whole;
        return whole;
    }
    case varDouble:
    case varDate: {
        double v = FFloat;
        if (!std::isfinite(v) || v < -9223372036854775808.0 || v >= 9223372036854775808.0)
            OverflowError(varInt64);
        return Round(v);
    }
    case varString: {
        int64_t i = 0;
        if (TryStrToInt64(FStr, i)) return i;
        double d = 0;
        if (!TryNumberText(FStr, d))
            throw EConvertError(Format("'%s' is not a valid integer value", FStr));
        if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) OverflowError(varInt64);
        return Round(d);
    }
    default:
        CastError(varInt64);
    }
}

int32_t Variant::AsInteger() const {
    if (FType == varNull || FType == varArray) CastError(varInteger);
    int64_t v = 0;
    try {
        v = AsInt64();
    } catch (const EVariantError&) {
        OverflowError(varInteger);
    }
    if (v < INT32_MIN || v > INT32_MAX) OverflowError(varInteger);
    return static_cast<int32_t>(v);
}

double Variant::AsDouble() const {
    switch (FType) {
    case varEmpty:
        return 0;
    case varSmallint:
    case varInteger:
    case varInt64:
        return static_cast<double>(FInt);
    case varBoolean:
        return FInt ? -1 : 0;
    case varCurrency:
        return Currency::FromScaled(FInt).ToDouble();
    case varDouble:
    case varDate:
        return FFloat;
    case varString: {
        double d = 0;
        if (!TryNumberText(FStr, d))
            throw EConvertError(Format("'%s' is not a valid floating point value", FStr));
        return d;
    }
    default:
        CastError(varDouble);
    }
}

Currency Variant::AsCurrency() const {
    switch (FType) {
    case varCurrency:
        return Currency::FromScaled(FInt);
    case varNull:
    case varArray:
        CastError(varCurrency);
    default:
        break;
    }
    double d = AsDouble();
    // 922337203685477.5807 is the largest amount a Currency holds.
    if (!std::isfinite(d) || std::fabs(d) >= 922337203685477.0) OverflowError(varCurrency);
    return Currency::FromDouble(d);
}

bool Variant::AsBoolean() const {
    switch (FType) {
    case varEmpty:
        return false;
    case varSmallint:
    case varInteger:
    case varInt64:
    case varBoolean:
    case varCurrency:
        return FInt != 0;
    case varDouble:
    case varDate:
        return FFloat != 0;
    case varString: {
        bool b = false;
        if (TryBoolText(FStr, b)) return b;
        double d = 0;
        if (TryNumberText(FStr, d)) return d != 0;
        throw EConvertError(Format("'%s' is not a valid boolean value", FStr));
    }
    default:
        CastError(varBoolean);
    }
}

std::string Variant::AsString() const {
    switch (FType) {
    case varEmpty:
    case varNull:
        return std::string();
    case varSmallint:
    case varInteger:
    case varInt64:
        return IntToStr(FInt);
    case varBoolean:
        return FInt ? "True" : "False";
    case varCurrency:
        return CurrToStr(Currency::FromScaled(FInt));
    case varDouble:
        return FloatToStr(FFloat);
    case varDate:
        return DateTimeToStr(FFloat);
    case varString:
        return FStr;
    default:
        CastError(varString);
    }
}

TDateTime Variant::AsDateTime() const {
    switch (FType) {
    case varEmpty:
        return 0;
    case varSmallint:
    case varInteger:
    case varInt64:
        return static_cast<double>(FInt);
    case varCurrency:
        return Currency::FromScaled(FInt).ToDouble();
    case varDouble:
    case varDate:
        return FFloat;
    case varString:
        return StrToDateTime(FStr);
    default:
        CastError(varDate);
    }
}

const std::vector<Variant>& Variant::Elements() const {
    if (FType != varArray) throw EVariantError("Variant is not an array");
    return FArray;
}

std::vector<Variant>& Variant::Elements() {
    if (FType != varArray) throw EVariantError("Variant is not an array");
    return FArray;
}

Variant Unassigned() {
    return Variant();
}

Variant Null() {
    Variant v;
    v.FType = varNull;
    return v;
}

Variant VarFromDateTime(TDateTime value) {
    Variant v(value);
    v.FType = varDate;
    return v;
}

Variant VarArrayOf(std::vector<Variant> elements) {
    return Variant(std::move(elements));
}

std::string VarToStr(const Variant& v) {
    return v.AsString();
}

} // namespace zan
