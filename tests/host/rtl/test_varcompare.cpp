#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "host/rtl/VarCompare.h"

using namespace zan;

namespace {

TEST(VarCompare, EqualityNeedsTypeAndValue) {
    EXPECT_TRUE(Variant() == Variant());
    EXPECT_TRUE(Null() == Null());
    EXPECT_FALSE(Null() == Variant());
    EXPECT_TRUE(Variant(int16_t{3}) == Variant(int16_t{3}));
    EXPECT_FALSE(Variant(int16_t{3}) == Variant(3));
    EXPECT_FALSE(Variant(3) == Variant(3.0));
    EXPECT_TRUE(Variant("ab") == Variant(std::string("ab")));
    EXPECT_FALSE(Variant("ab") == Variant("aB"));
    EXPECT_FALSE(Variant(true) == Variant(false));
    EXPECT_TRUE(Variant(Currency::FromScaled(5)) == Variant(Currency::FromScaled(5)));
    EXPECT_FALSE(VarFromDateTime(1.5) == Variant(1.5));
    EXPECT_TRUE(VarArrayOf({1, "x"}) == VarArrayOf({1, "x"}));
    EXPECT_FALSE(VarArrayOf({1, "x"}) == VarArrayOf({1}));
}

// a ? b is r, and b ? a its mirror.
void ExpectOrderBothWays(const Variant& a, const Variant& b, TVariantRelationship r) {
    EXPECT_EQ(VarCompareValue(a, b), r) << VarToStr(a) << " ? " << VarToStr(b);
    const TVariantRelationship mirrored = r == vrLessThan      ? vrGreaterThan
                                          : r == vrGreaterThan ? vrLessThan
                                                               : r;
    EXPECT_EQ(VarCompareValue(b, a), mirrored) << VarToStr(b) << " ? " << VarToStr(a);
}

TEST(VarCompare, Ordering) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        Variant a, b;
        TVariantRelationship r;
    } cases[] = {
        {1, 2, vrLessThan},
        {int64_t{9007199254740993}, int64_t{9007199254740992}, vrGreaterThan}, // exact
        {2.5, 2, vrGreaterThan},
        {Currency::FromScaled(15000), 1.5, vrEqual},
        {VarFromDateTime(45000.5), 45000, vrGreaterThan},
        {false, true, vrLessThan},
        {true, true, vrEqual},
        {"abc", "abd", vrLessThan},
        {"B", "a", vrLessThan},           // byte-wise
        {"\xC3\xA9", "z", vrGreaterThan}, // bytes above 127 after ASCII
        {"10", 9, vrGreaterThan},         // the text reads as a number
        {9, " 10 ", vrLessThan},
        {"abc", 5, vrGreaterThan}, // "abc" against "5"
        {"1.2.3", 1, vrGreaterThan},
        {Null(), Null(), vrNotEqual},
        {Null(), 1, vrNotEqual},
        {Variant(), 1, vrNotEqual},
        {true, 1, vrNotEqual},
        {"True", true, vrNotEqual},
        {nan, 1.0, vrNotEqual},
        {VarArrayOf({1}), 1, vrNotEqual},
        {"abc", VarFromDateTime(1e300), vrNotEqual}, // a date without a text
    };
    for (const auto& c : cases)
        ExpectOrderBothWays(c.a, c.b, c.r);
}

TEST(VarCompare, MixedNumericKindsCompareExactly) {
    const double two53 = 9007199254740992.0;
    struct Case {
        Variant a, b;
        TVariantRelationship r;
    } cases[] = {
        {int64_t{9007199254740993}, two53, vrGreaterThan}, // 2^53 + 1 has no double
        {int64_t{9007199254740992}, two53, vrEqual},
        {int64_t{INT64_MAX}, 9223372036854775808.0, vrLessThan}, // 2^63 as a double
        {int64_t{INT64_MIN}, -9223372036854775808.0, vrEqual},
        {int64_t{INT64_MIN}, std::nextafter(-9223372036854775808.0, 0.0), vrLessThan},
        {3, 2.999999999999999, vrGreaterThan},
        {-3, -2.5, vrLessThan},
        {0, -0.0, vrEqual},
        {int64_t{1} << 60, std::numeric_limits<double>::infinity(), vrLessThan},
        {Currency::FromScaled(9000000000000000001), int64_t{900000000000000}, vrGreaterThan},
        {Currency::FromScaled(-9000000000000000000), int64_t{-900000000000000}, vrEqual},
        {Currency::FromScaled(-15000), -1.5, vrEqual},
        {Currency::FromScaled(-15001), -1.5, vrLessThan},
        {Currency::FromScaled(1000), 0.1, vrLessThan}, // the double 0.1 is a little above 1/10
        {Currency::FromScaled(9000000000000000001), 900000000000000.0, vrGreaterThan},
        {Currency::FromScaled(1), std::numeric_limits<double>::quiet_NaN(), vrNotEqual},
        {VarFromDateTime(two53), int64_t{9007199254740993}, vrLessThan},
        {"9007199254740993", two53, vrGreaterThan}, // integer text read exactly
        {"9007199254740993", int64_t{9007199254740992}, vrGreaterThan},
        {" -9223372036854775808 ", int64_t{INT64_MIN}, vrEqual},
        {"900000000000000", Currency::FromScaled(9000000000000000001), vrLessThan},
        {"0x10", 16, vrLessThan}, // not a number: "0x10" against "16"
        {"$10", 10, vrLessThan},     // "$10" against "10"
    };
    for (const auto& c : cases)
        ExpectOrderBothWays(c.a, c.b, c.r);
}

// Int64 against double near the limits of double precision, checked against long double
// (which holds both exactly).
TEST(VarCompare, Int64AgainstDoubleMatchesExactReference) {
    std::mt19937_64 rng(42);
    for (int i = 0; i < 20000; ++i) {
        const int shift = 50 + static_cast<int>(rng() % 13);
        const auto base = static_cast<int64_t>(rng() >> (64 - shift)) * (rng() % 2 ? 1 : -1);
        const int64_t n = base + static_cast<int64_t>(rng() % 5) - 2;
        double d = static_cast<double>(base);
        for (int k = static_cast<int>(rng() % 5); k > 0; --k)
            d = std::nextafter(d, rng() % 2 ? 1e300 : -1e300);
        const long double x = n, y = d;
        const TVariantRelationship expected = x < y ? vrLessThan : x > y ? vrGreaterThan : vrEqual;
        ASSERT_EQ(VarCompareValue(Variant(n), Variant(d)), expected) << n << " ? " << d;
    }
}

TEST(VarCompare, DateAndTimeParts) {
    EXPECT_EQ(DateOf(45000.75), 45000);
    EXPECT_EQ(TimeOf(45000.75), 0.75);
    EXPECT_EQ(DateOf(-1.25), -1);
    EXPECT_EQ(TimeOf(-1.25), 0.25);
    EXPECT_FALSE(std::signbit(DateOf(-0.5)));
    EXPECT_EQ(TimeOf(-0.5), 0.5);
    EXPECT_EQ(ComposeDateTime(DateOf(-3.5), TimeOf(-3.5)), -3.5);
}

} // namespace

// Two date-times compare by the instants they name, also before 1899-12-30 where the number of
// a later time of the same day is smaller; a date-time against a plain number stays numeric.
TEST(VarCompare, DateTimesOrderByInstant) {
    std::vector<TDateTime> instants;
    for (int day : {-693593, -18000, -2, -1, 0, 1, 45000})
        for (double tod : {0.0, 0.001, 0.25, 0.5, 0.999})
            instants.push_back(day < 0 ? day - tod : day + tod);
    for (size_t i = 0; i < instants.size(); ++i)
        for (size_t j = 0; j < instants.size(); ++j) {
            const TVariantRelationship want =
                i < j ? vrLessThan : i > j ? vrGreaterThan : vrEqual;
            EXPECT_EQ(VarCompareValue(VarFromDateTime(instants[i]), VarFromDateTime(instants[j])),
                      want)
                << instants[i] << " " << instants[j];
        }
    // Noon of day zero written either way is one instant.
    EXPECT_EQ(VarCompareValue(VarFromDateTime(-0.5), VarFromDateTime(0.5)), vrEqual);
    EXPECT_EQ(VarCompareValue(VarFromDateTime(-1.25), Variant(-1.5)), vrGreaterThan);
    EXPECT_EQ(VarCompareValue(VarFromDateTime(std::nan("")), VarFromDateTime(1.0)), vrNotEqual);
}
