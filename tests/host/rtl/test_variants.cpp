#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/rtl/Variants.h"

using namespace zan;

namespace {

std::string VariantErrorText(auto fn) {
    try {
        fn();
    } catch (const EVariantError& e) {
        return e.what();
    }
    return "no error";
}

} // namespace

TEST(Variants, TypesFollowTheStoredValue) {
    EXPECT_EQ(VarType(Variant()), varEmpty);
    EXPECT_EQ(VarType(Unassigned()), varEmpty);
    EXPECT_EQ(VarType(Null()), varNull);
    EXPECT_EQ(VarType(Variant(int16_t{3})), varSmallint);
    EXPECT_EQ(VarType(Variant(3)), varInteger);
    EXPECT_EQ(VarType(Variant(uint16_t{3})), varInteger);
    EXPECT_EQ(VarType(Variant(3u)), varInteger);
    EXPECT_EQ(VarType(Variant(4000000000u)), varInt64);
    EXPECT_EQ(VarType(Variant(int64_t{3})), varInt64);
    EXPECT_EQ(VarType(Variant(3LL)), varInt64);
    EXPECT_EQ(VarType(Variant(1.5)), varDouble);
    EXPECT_EQ(VarType(Variant(Currency::FromScaled(1))), varCurrency);
    EXPECT_EQ(VarType(VarFromDateTime(1.0)), varDate);
    EXPECT_EQ(VarType(Variant(true)), varBoolean);
    EXPECT_EQ(VarType(Variant("x")), varString);
    EXPECT_EQ(VarType(Variant(std::string("x"))), varString);
    EXPECT_EQ(VarType(VarArrayOf({1, "a"})), varArray);
    EXPECT_THROW(Variant(UINT64_MAX), EVariantError);

    EXPECT_TRUE(VarIsNull(Null()));
    EXPECT_FALSE(VarIsNull(Unassigned())); // an unassigned value is not Null
    EXPECT_TRUE(VarIsEmpty(Unassigned()));
    EXPECT_TRUE(VarIsClear(Variant()));
    EXPECT_FALSE(VarIsClear(Null()));
    EXPECT_TRUE(VarIsArray(VarArrayOf({})));
}

TEST(Variants, ToStringRules) {
    EXPECT_EQ(VarToStr(Null()), "");
    EXPECT_EQ(VarToStr(Unassigned()), "");
    EXPECT_EQ(VarToStr(Variant(-12)), "-12");
    EXPECT_EQ(VarToStr(Variant(int64_t{1} << 40)), "1099511627776");
    EXPECT_EQ(VarToStr(Variant(0.1)), "0.1");
    EXPECT_EQ(VarToStr(Variant(true)), "True");
    EXPECT_EQ(VarToStr(Variant(false)), "False");
    EXPECT_EQ(VarToStr(Variant(Currency::FromScaled(12345))), "1.2345");
    EXPECT_EQ(VarToStr(VarFromDateTime(EncodeDateTime(2024, 1, 2, 3, 4, 5, 6))),
              "2024-01-02 03:04:05.006");
    EXPECT_EQ(VarToStr(VarFromDateTime(EncodeDate(2024, 1, 2))), "2024-01-02");
    EXPECT_THROW(VarToStr(VarArrayOf({1})), EVariantError);
}

TEST(Variants, NumericConversions) {
    EXPECT_EQ(Variant(true).AsInteger(), -1);
    EXPECT_EQ(Variant(false).AsInt64(), 0);
    EXPECT_EQ(Unassigned().AsInteger(), 0);
    EXPECT_EQ(Unassigned().AsDouble(), 0);
    EXPECT_FALSE(Unassigned().AsBoolean());
    EXPECT_EQ(Variant(2.5).AsInteger(), 2); // banker's rounding
    EXPECT_EQ(Variant(3.5).AsInt64(), 4);
    EXPECT_EQ(Variant(Currency::FromScaled(25000)).AsInteger(), 2);
    EXPECT_EQ(Variant(Currency::FromScaled(12345)).AsDouble(), 1.2345);
    EXPECT_EQ(Variant(1.23456).AsCurrency().Scaled(), 12346);
    EXPECT_EQ(Variant(int64_t{7}).AsInteger(), 7);
    EXPECT_EQ(Variant(int16_t{-7}).AsDouble(), -7.0);
    EXPECT_TRUE(Variant(0.25).AsBoolean());
    EXPECT_FALSE(Variant(0).AsBoolean());
    EXPECT_EQ(VarFromDateTime(36526.5).AsDouble(), 36526.5);
    EXPECT_EQ(Variant(36526).AsDateTime(), 36526.0);
}

TEST(Variants, CurrencyToIntegerIsExactWithTiesToEven) {
    // scaled value -> whole number; .4999 and .5001 stay apart where doubles blur them
    const std::pair<int64_t, int64_t> cases[] = {
        {12345678901234999LL, 1234567890123LL}, {12345678901235001LL, 1234567890124LL},
        {-12345678901234999LL, -1234567890123LL}, {15000, 2}, {25000, 2}, {-15000, -2},
        {-25000, -2}, {-5001, -1}, {INT64_MIN, -922337203685478LL},
    };
    for (auto [scaled, whole] : cases)
        EXPECT_EQ(Variant(Currency::FromScaled(scaled)).AsInt64(), whole) << scaled;
}

TEST(Variants, TextConversions) {
    EXPECT_EQ(Variant(" 42").AsInteger(), 42);
    EXPECT_EQ(Variant("$10").AsInteger(), 16);
    EXPECT_EQ(Variant("2.5").AsInteger(), 2);
    EXPECT_EQ(Variant("9000000000").AsInt64(), 9000000000);
    EXPECT_EQ(Variant("1e3").AsDouble(), 1000.0);
    EXPECT_EQ(Variant("true").AsInteger(), -1);
    EXPECT_TRUE(Variant("TRUE").AsBoolean());
    EXPECT_FALSE(Variant("False").AsBoolean());
    EXPECT_TRUE(Variant("12").AsBoolean());
    EXPECT_FALSE(Variant("0").AsBoolean());
    EXPECT_EQ(Variant("2024-02-29 12:00").AsDateTime(), EncodeDate(2024, 2, 29) + 0.5);
    EXPECT_EQ(Variant("0.1").AsCurrency().Scaled(), 1000);

    EXPECT_THROW(Variant("12x").AsInteger(), EConvertError);
    EXPECT_THROW(Variant("").AsDouble(), EConvertError);
    EXPECT_THROW(Variant("yes").AsBoolean(), EConvertError);
    EXPECT_THROW(Variant("2024-02-30").AsDateTime(), EConvertError);
    try {
        Variant("1,5").AsDouble();
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'1,5' is not a valid floating point value");
    }
}

TEST(Variants, ImpossibleConversionsRaiseVariantErrors) {
    EXPECT_EQ(VariantErrorText([] { Null().AsInteger(); }),
              "Could not convert variant of type (Null) into type (Integer)");
    EXPECT_EQ(VariantErrorText([] { Null().AsDouble(); }),
              "Could not convert variant of type (Null) into type (Double)");
    EXPECT_EQ(VariantErrorText([] { Null().AsBoolean(); }),
              "Could not convert variant of type (Null) into type (Boolean)");
    EXPECT_EQ(VariantErrorText([] { Null().AsDateTime(); }),
              "Could not convert variant of type (Null) into type (Date)");
    EXPECT_EQ(VariantErrorText([] { Null().AsCurrency(); }),
              "Could not convert variant of type (Null) into type (Currency)");
    EXPECT_EQ(VariantErrorText([] { Variant(true).AsDateTime(); }),
              "Could not convert variant of type (Boolean) into type (Date)");
    EXPECT_EQ(VariantErrorText([] { VarArrayOf({1}).AsInt64(); }),
              "Could not convert variant of type (Array) into type (Int64)");
    EXPECT_EQ(VariantErrorText([] { Variant(int64_t{1} << 40).AsInteger(); }),
              "Overflow while converting variant of type (Int64) into type (Integer)");
    EXPECT_EQ(VariantErrorText([] { Variant(1e30).AsInteger(); }),
              "Overflow while converting variant of type (Double) into type (Integer)");
    EXPECT_THROW(Variant(1e30).AsInt64(), EVariantError);
    EXPECT_THROW(Variant(1e300).AsCurrency(), EVariantError);
    EXPECT_THROW(Variant("1e30").AsInt64(), EVariantError);
    EXPECT_THROW(Variant(3).Elements(), EVariantError);
    EXPECT_EQ(Null().AsString(), "");
}

TEST(Variants, ArraysAreDeepCopiedValues) {
    Variant a = VarArrayOf({1, "two", VarArrayOf({3.5, Null()})});
    Variant b = a;
    b.Elements()[0] = Variant("changed");
    b.Elements()[2].Elements()[0] = Variant(9);
    ASSERT_EQ(a.Elements().size(), 3u);
    EXPECT_EQ(a.Elements()[0].AsInteger(), 1);
    EXPECT_EQ(a.Elements()[1].AsString(), "two");
    EXPECT_EQ(a.Elements()[2].Elements()[0].AsDouble(), 3.5);
    EXPECT_TRUE(VarIsNull(a.Elements()[2].Elements()[1]));
    EXPECT_EQ(b.Elements()[0].AsString(), "changed");
    Variant moved = std::move(b);
    EXPECT_EQ(moved.Elements()[2].Elements()[0].AsInteger(), 9);
}
