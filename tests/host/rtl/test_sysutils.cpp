#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "host/rtl/SysUtils.h"

using namespace zan;

TEST(SysUtils, StrToIntAcceptsSignsBlanksAndHex) {
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt("  -17"), -17);
    EXPECT_EQ(StrToInt("+8"), 8);
    EXPECT_EQ(StrToInt("$FF"), 255);
    EXPECT_EQ(StrToInt("0x1a"), 26);
    EXPECT_EQ(StrToInt("-$10"), -16);
    EXPECT_EQ(StrToInt("2147483647"), INT32_MAX);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    // Hexadecimal text is the two's complement of the result type.
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt64("$FFFFFFFF"), 4294967295);
    EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(StrToInt64("$8000000000000000"), INT64_MIN);
}

TEST(SysUtils, StrToIntRefusesBadTextAndOverflow) {
    for (const char* bad : {"", " ", "-", "+", "$", "0x", "12 ", "1.5", "1e3", "abc", "--1",
                            "2147483648", "-2147483649", "$100000000", "99999999999999999999"}) {
        EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
    }
    EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
    EXPECT_THROW(StrToInt64("$10000000000000000"), EConvertError);
    try {
        StrToInt("x1");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    }
    EXPECT_EQ(StrToIntDef("nope", 7), 7);
    EXPECT_EQ(StrToInt64Def("5000000000", 7), 5000000000);
    EXPECT_EQ(StrToIntDef("5000000000", 7), 7);
}

TEST(SysUtils, IntToStrAndIntToHex) {
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(INT32_MIN), "-2147483648");
    EXPECT_EQ(IntToStr(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(IntToStr(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(IntToHex(255, 4), "00FF");
    EXPECT_EQ(IntToHex(0x1234, 2), "1234");
    EXPECT_EQ(IntToHex(-1, 2), "FFFFFFFF");
    EXPECT_EQ(IntToHex(int64_t{-1}, 0), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(IntToHex(static_cast<int16_t>(-2), 0), "FFFE");
    // Hex text of a negative value reads back through StrToInt.
    EXPECT_EQ(StrToInt("$" + IntToHex(-123456, 8)), -123456);
}

TEST(SysUtils, FloatToStrRoundTripsRandomDoubles) {
    std::mt19937_64 gen(20240229);
    for (int i = 0; i < 20000; ++i) {
        double v = std::bit_cast<double>(gen());
        if (!std::isfinite(v)) continue;
        std::string s = FloatToStr(v);
        EXPECT_EQ(s.find(','), std::string::npos) << s;
        EXPECT_EQ(StrToFloat(s), v) << s;
    }
    std::uniform_real_distribution<double> money(-1e6, 1e6);
    for (int i = 0; i < 2000; ++i) {
        double v = std::round(money(gen) * 100) / 100;
        EXPECT_EQ(StrToFloat(FloatToStr(v)), v);
    }
    EXPECT_EQ(FloatToStr(0.1), "0.1");
    EXPECT_EQ(FloatToStr(-2.5), "-2.5");
    EXPECT_EQ(FloatToStr(1e20), "1E20");
}

TEST(SysUtils, StrToFloatForms) {
    EXPECT_EQ(StrToFloat(" 1.5 "), 1.5);
    EXPECT_EQ(StrToFloat("+.5"), 0.5);
    EXPECT_EQ(StrToFloat("-3."), -3.0);
    EXPECT_EQ(StrToFloat("1E-3"), 0.001);
    EXPECT_EQ(StrToFloat("2.5e+2"), 250.0);
    EXPECT_EQ(StrToFloat("1e-400"), 0.0); // underflow reads as zero
    EXPECT_EQ(StrToFloat("-0.0000000000000000000000000000000000000000000000000000000000000000000000"
                         "0000000000000000000000000000000000000000000000000000000000000000000000"
                         "0000000000000000000000000000000000000000000000000000000000000000000000"
                         "0000000000000000000000000000000000000000000000000000000000000000000000"
                         "0000000000000000000000000000000000000000000000000000000000000000000001"),
              0.0);
    EXPECT_EQ(StrToFloat("1e-99999999999999999999"), 0.0);
    for (const char* bad : {"", "1,5", "inf", "NAN", "-INF", "1e400", "0.0001e+400",
                            "1e99999999999999999999", "1.2.3", "+-1", "0x10", "1 2", "."}) {
        double v = 99;
        EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
        EXPECT_EQ(v, 99);
    }
    try {
        StrToFloat("1,5");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'1,5' is not a valid floating point value");
    }
}

TEST(SysUtils, RoundTiesToEvenTruncFrac) {
    EXPECT_EQ(Round(0.5), 0);
    EXPECT_EQ(Round(1.5), 2);
    EXPECT_EQ(Round(2.5), 2);
    EXPECT_EQ(Round(-2.5), -2);
    EXPECT_EQ(Round(-3.5), -4);
    EXPECT_EQ(Round(2.5000001), 3);
    EXPECT_EQ(Round(-0.49999999999999994), 0);
    EXPECT_EQ(Round(4503599627370497.0), 4503599627370497); // above 2^52: already whole
    EXPECT_EQ(Round(-9223372036854775808.0), INT64_MIN);
    EXPECT_THROW(Round(9223372036854775808.0), EConvertError);
    EXPECT_THROW(Round(std::nan("")), EConvertError);
    EXPECT_THROW(Trunc(std::numeric_limits<double>::infinity()), EConvertError);
    EXPECT_EQ(Trunc(-2.9), -2);
    EXPECT_EQ(Trunc(2.9), 2);
    EXPECT_DOUBLE_EQ(Frac(2.25), 0.25);
    EXPECT_DOUBLE_EQ(Frac(-2.25), -0.25);
}

TEST(SysUtils, CurrencyIsExactToFourDecimals) {
    EXPECT_EQ(Currency::FromDouble(1.23456).Scaled(), 12346);
    EXPECT_EQ(Currency::FromDouble(0.00005).Scaled(), 0); // tie to even
    EXPECT_EQ(Currency::FromDouble(0.00015).Scaled(), 2);
    EXPECT_EQ(Currency::FromDouble(1.23465).Scaled(), 12346); // ties as written in decimal
    EXPECT_EQ(Currency::FromDouble(-1.23455).Scaled(), -12346);
    EXPECT_EQ(Currency::FromDouble(0.1).Scaled(), 1000);
    EXPECT_EQ(Currency::FromDouble(922337203685476.5).Scaled(), 9223372036854765000);
    EXPECT_EQ(CurrToStr(Currency::FromScaled(125000)), "12.5");
    EXPECT_EQ(CurrToStr(Currency::FromScaled(-1)), "-0.0001");
    EXPECT_EQ(CurrToStr(Currency::FromScaled(30000)), "3");
    EXPECT_EQ(CurrToStr(Currency::FromScaled(INT64_MIN)), "-922337203685477.5808");
    EXPECT_THROW(Currency::FromDouble(1e300), EConvertError);
}

TEST(SysUtils, TrimCaseAndComparison) {
    EXPECT_EQ(Trim("\t a b \r\n"), "a b");
    EXPECT_EQ(TrimLeft("  x "), "x ");
    EXPECT_EQ(TrimRight("  x \x01"), "  x");
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(UpperCase("abc-\xC3\xA9z"), "ABC-\xC3\xA9Z"); // UTF-8 bytes untouched
    EXPECT_EQ(LowerCase("ABC-\xC3\x89Z"), "abc-\xC3\x89z");
    EXPECT_TRUE(SameText("Table1", "TABLE1"));
    EXPECT_FALSE(SameText("Table1", "Table12"));
    EXPECT_LT(CompareText("abc", "ABD"), 0);
    EXPECT_GT(CompareText("b", "A"), 0);
    EXPECT_LT(CompareText("ab", "ABC"), 0);
    EXPECT_LT(CompareStr("B", "a"), 0);
    EXPECT_GT(CompareStr("\xC3", "a"), 0); // bytes compare unsigned
    EXPECT_EQ(CompareStr("same", "same"), 0);
}

TEST(SysUtils, QuotingAndReplacing) {
    EXPECT_EQ(QuotedStr("it's"), "'it''s'");
    EXPECT_EQ(QuotedStr(""), "''");
    EXPECT_EQ(AnsiDequotedStr("'it''s' rest", '\''), "it's");
    EXPECT_EQ(AnsiDequotedStr("\"a\"", '"'), "a");
    EXPECT_EQ(AnsiDequotedStr("'open", '\''), "'open");
    EXPECT_EQ(AnsiDequotedStr("plain", '\''), "plain");
    EXPECT_EQ(StringReplace("a-b-c", "-", "+"), "a+b-c");
    EXPECT_EQ(StringReplace("a-b-c", "-", "+", {rfReplaceAll}), "a+b+c");
    EXPECT_EQ(StringReplace("Select SELECT", "select", "x", {rfReplaceAll, rfIgnoreCase}), "x x");
    EXPECT_EQ(StringReplace("aaa", "aa", "a", {rfReplaceAll}), "aa");
    EXPECT_EQ(StringReplace("abc", "", "x", {rfReplaceAll}), "abc");
}

TEST(SysUtils, OneBasedPosAndCopy) {
    EXPECT_EQ(Pos("lo", "hello"), 4u);
    EXPECT_EQ(Pos("x", "hello"), 0u);
    EXPECT_EQ(Pos("", "hello"), 0u);
    EXPECT_EQ(Copy("hello", 2, 3), "ell");
    EXPECT_EQ(Copy("hello", 0, 2), "he");
    EXPECT_EQ(Copy("hello", 4, 100), "lo");
    EXPECT_EQ(Copy("hello", 6, 1), "");
    EXPECT_EQ(Copy("hello", 2, -1), "");
}

TEST(SysUtils, FileNames) {
    EXPECT_EQ(IncludeTrailingPathDelimiter("/data"), "/data/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/data/"), "/data/");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/data/"), "/data");
    EXPECT_EQ(ExtractFileName("/db/main.zdb"), "main.zdb");
    EXPECT_EQ(ExtractFilePath("/db/main.zdb"), "/db/");
    EXPECT_EQ(ExtractFilePath("main.zdb"), "");
    EXPECT_EQ(ExtractFileExt("/db/main.v2.zdb"), ".zdb");
    EXPECT_EQ(ExtractFileExt("/db.d/main"), "");
    EXPECT_EQ(ChangeFileExt("/db/main.zdb", ".lck"), "/db/main.lck");
    EXPECT_EQ(ChangeFileExt("/db.d/main", ".zdx"), "/db.d/main.zdx");
    EXPECT_EQ(ChangeFileExt("main.zdb", ""), "main");
}

TEST(SysUtils, ResultsIgnoreTheProcessLocale) {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "C.UTF-8"))
        GTEST_SKIP() << "no other locale available";
    EXPECT_EQ(FloatToStr(1234.5), "1234.5");
    EXPECT_EQ(StrToFloat("1234.5"), 1234.5);
    EXPECT_EQ(UpperCase("i"), "I");
    EXPECT_EQ(IntToStr(1234567), "1234567");
    std::setlocale(LC_ALL, saved.c_str());
}
