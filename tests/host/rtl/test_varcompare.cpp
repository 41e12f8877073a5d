#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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
    for (const auto& c : cases) {
        EXPECT_EQ(VarCompareValue(c.a, c.b), c.r) << VarToStr(c.a) << " ? " << VarToStr(c.b);
        const TVariantRelationship mirrored = c.r == vrLessThan      ? vrGreaterThan
                                              : c.r == vrGreaterThan ? vrLessThan
                                                                     : c.r;
        EXPECT_EQ(VarCompareValue(c.b, c.a), mirrored) << VarToStr(c.b) << " ? " << VarToStr(c.a);
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
