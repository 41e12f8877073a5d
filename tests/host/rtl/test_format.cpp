#include <gtest/gtest.h>

#include <limits>

#include "host/rtl/Format.h"

using namespace zan;

TEST(Format, IntegersAndWidths) {
    EXPECT_EQ(Format("%d|%5d|%-5d|%.3d", 42, 42, 42, 7), "42|   42|42   |007");
    EXPECT_EQ(Format("%d", -2147483647 - 1), "-2147483648");
    EXPECT_EQ(Format("%d", INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(Format("%u %x %x", 4294967295u, 255, -1), "4294967295 FF FFFFFFFF");
    EXPECT_EQ(Format("%*d|%-*d|", 4, 1, 3, 2), "   1|2  |");
    EXPECT_EQ(Format("100%% %s", "done"), "100% done");
    EXPECT_EQ(Format("%1:s %0:s", "a", "b"), "b a");
}

TEST(Format, UnsignedViewsKeepTheArgumentsWidth) {
    EXPECT_EQ(Format("%x %u", int64_t(-1), int64_t(-1)), "FFFFFFFFFFFFFFFF 18446744073709551615");
    EXPECT_EQ(Format("%x %x", int64_t(-2147483648LL), int64_t(-2147483649LL)),
              "FFFFFFFF80000000 FFFFFFFF7FFFFFFF");
    EXPECT_EQ(Format("%x %u %x", int32_t(-1), int32_t(-2), int16_t(-1)),
              "FFFFFFFF 4294967294 FFFFFFFF");
    EXPECT_EQ(Format("%.4d|%*d", int64_t(-5), int64_t(3), 1), "-0005|  1");
}

TEST(Format, Strings) {
    EXPECT_EQ(Format("%s|%10s|%-10s|%.2s", "abc", "abc", "abc", "abc"),
              "abc|       abc|abc       |ab");
    std::string s = "std";
    EXPECT_EQ(Format("%s %s %s", s, std::string_view("view"), 'c'), "std view c");
    EXPECT_EQ(Format("%5s", "longer text"), "longer text"); // never truncated by width
}

TEST(Format, Floats) {
    EXPECT_EQ(Format("%f %.0f %.3f", 1.5, 2.5, -0.0004), "1.50 2 0.000");
    EXPECT_EQ(Format("%n %m", 1234567.891, 1234.5), "1,234,567.89 1,234.50");
    EXPECT_EQ(Format("%e", 1234.5), "1.23450000000000E+003");
    EXPECT_EQ(Format("%.3e", -0.00012), "-1.20E-004");
    EXPECT_EQ(Format("%g %g %g", 0.5, 1e20, 0.00001), "0.5 1E20 1E-5");
    EXPECT_EQ(Format("%g", 123456.0), "123456");
    EXPECT_EQ(Format("%f %f", std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::quiet_NaN())
                  .substr(0, 4),
              "INF ");
}

TEST(Format, BadArgumentsRaise) {
    EXPECT_THROW(Format("%d", "x"), EConvertError);
    EXPECT_THROW(Format("%s", 1), EConvertError);
    EXPECT_THROW(Format("%f", 1), EConvertError);
    EXPECT_THROW(Format("%d %d", 1), EConvertError);
    EXPECT_THROW(Format("%q", 1), EConvertError);
    EXPECT_THROW(Format("%", 1), EConvertError);
    EXPECT_THROW(Format("%d", true), EConvertError);
    EXPECT_THROW(Format("%999999999d", 1), EConvertError);
}

TEST(Format, GeneralFloatText) {
    EXPECT_EQ(FloatToStrGeneral(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(FloatToStrGeneral(1.0), "1");
    EXPECT_EQ(FloatToStrGeneral(-2.5e-7), "-2.5E-7");
    EXPECT_EQ(FloatToStrGeneral(0.0001), "0.0001");
    EXPECT_EQ(FloatToStrGeneral(1e15), "1E15");
    EXPECT_EQ(FloatToStrGeneral(123456789012345.0), "123456789012345");
    EXPECT_EQ(FloatToStrGeneral(2.0 / 3.0, 5), "0.66667");
}
