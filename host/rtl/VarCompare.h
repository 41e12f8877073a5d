// Comparing Variants: exact equality of type and value, and an ordering that never throws.
#pragma once

#include <cstdint>

#include "host/rtl/Variants.h"

namespace zan {

enum TVariantRelationship : uint8_t { vrEqual, vrLessThan, vrGreaterThan, vrNotEqual };

// Same type and same value (Empty equals Empty, Null equals Null; strings byte for byte,
// arrays element by element).
bool operator==(const Variant& a, const Variant& b);

// Orders two values:
// - numbers, currency and dates numerically (currency against currency exactly, integers
//   against integers exactly);
// - Booleans against Booleans, False first;
// - strings byte-wise;
// - a string against a number numerically when the whole text reads as a number, else the
//   number's text against the string, byte-wise.
// Null, Empty, arrays, NaN and every other mixture answer vrNotEqual. Never throws.
TVariantRelationship VarCompareValue(const Variant& a, const Variant& b);

// The day part and the time-of-day part of a date-time. As everywhere in DateUtils, a value
// before 1899-12-30 carries its day in the integer part and its time of day in the fraction
// without its sign: DateOf(-1.25) is -1 and TimeOf(-1.25) is 0.25.
TDateTime DateOf(TDateTime value);
TDateTime TimeOf(TDateTime value);

} // namespace zan
