// Operator semantics, conversion rules and date and time text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "engine/sql/zanParserUtils.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

// T, F, N (Null) and U (unassigned) as values and back.
Variant V(char c) {
    return c == 'T' ? Variant(true) : c == 'F' ? Variant(false) : c == 'N' ? Null() : Unassigned();
}

char C(const Variant& v) {
    if (VarIsEmpty(v)) return 'U';
    if (VarIsNull(v)) return 'N';
    return v.AsBoolean() ? 'T' : 'F';
}

TEST(OpEvaluator, KleeneLogic) {
    const char* values = "TFNU";
    // Rows: left T F N U; columns: right T F N U. Undecided results are unassigned.
    const char* andTable[] = {"TFUU", "FFFF", "UFUU", "UFUU"};
    const char* orTable[] = {"TTTT", "TFUU", "TUUU", "TUUU"};
    for (int l = 0; l < 4; ++l) {
        for (int r = 0; r < 4; ++r) {
            Variant result;
            TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoAND, V(values[l]), result, V(values[r]));
            EXPECT_EQ(C(result), andTable[l][r]) << values[l] << " AND " << values[r];
            TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoOR, V(values[l]), result, V(values[r]));
            EXPECT_EQ(C(result), orTable[l][r]) << values[l] << " OR " << values[r];
            EXPECT_EQ(
                TZanOpEvaluator::EvaluateLogicalExprAsBoolean(zeoAND, V(values[l]), V(values[r])),
                andTable[l][r] == 'T');
        }
        Variant result;
        TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoNOT, V(values[l]), result, Variant());
        EXPECT_EQ(C(result), "FTUU"[l]) << "NOT " << values[l];
        TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoISBLANK, V(values[l]), result, Variant());
        EXPECT_EQ(C(result), "FFTF"[l]) << values[l] << " IS NULL";
        TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoNOTBLANK, V(values[l]), result, Variant());
        EXPECT_EQ(C(result), "TTFT"[l]) << values[l] << " IS NOT NULL";
    }
    // NOT (NULL AND FALSE) passes; other operators leave the result unassigned.
    Variant inner, outer;
    TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoAND, Null(), inner, false);
    TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoNOT, inner, outer, Variant());
    EXPECT_EQ(C(outer), 'T');
    TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoEQ, true, outer, true);
    EXPECT_EQ(C(outer), 'U');
    EXPECT_EQ(
        ErrorCodeOf([] { TZanOpEvaluator::EvaluateLogicalExprAsBoolean(zeoNOT, "maybe", {}); }),
        9645);
}

TEST(OpEvaluator, Relational) {
    // Per case: results of EQ NE LT LE GT GE LIKE, without and with excludeNulls.
    struct Case {
        Variant l, r;
        const char* plain;
        const char* excluding;
    } cases[] = {
        {1, 2, "FTTTFFF", "FTTTFFF"},           {2.5, 2, "FTFFTTF", "FTFFTTF"},
        {"abc", "abc", "TFFTFTT", "TFFTFTT"},   {"10", 9, "FTFFTTF", "FTFFTTF"},
        {Null(), 5, "FTTTFFF", "UUUUUUU"},      {5, Null(), "FTFFTTF", "UUUUUUU"},
        {Null(), Null(), "TFFTFTT", "UUUUUUU"}, {Unassigned(), 5, "FTTTFFF", "UUUUUUU"},
        {true, 1, "FTFFFFF", "FTFFFFF"}, // values that do not compare
    };
    const TZanExprOperator ops[] = {zeoEQ, zeoNE, zeoLT, zeoLE, zeoGT, zeoGE, zeoLIKE};
    for (const auto& c : cases) {
        for (int i = 0; i < 7; ++i) {
            Variant result;
            TZanOpEvaluator::EvaluateRelopExprAsVar(ops[i], c.l, result, false, c.r);
            EXPECT_EQ(C(result), c.plain[i]) << VarToStr(c.l) << " op" << i << " " << VarToStr(c.r);
            TZanOpEvaluator::EvaluateRelopExprAsVar(ops[i], c.l, result, true, c.r);
            EXPECT_EQ(C(result), c.excluding[i])
                << VarToStr(c.l) << " op" << i << " " << VarToStr(c.r);
            EXPECT_EQ(TZanOpEvaluator::EvaluateRelopExprAsBoolean(ops[i], c.l, true, c.r),
                      c.excluding[i] == 'T');
        }
    }
    Variant result;
    TZanOpEvaluator::EvaluateRelopExprAsVar(zeoADD, 1, result, false, 1);
    EXPECT_EQ(C(result), 'F');
}

TEST(OpEvaluator, Arithmetic) {
    const int64_t big = INT64_MAX;
    struct Case {
        TZanExprOperator op;
        Variant l, r, expected;
    } cases[] = {
        {zeoADD, 2, 3, 5},
        {zeoSUB, 2, 3, -1},
        {zeoMINUS, 2, 3, -1},
        {zeoMUL, 4, 5, 20},
        {zeoADD, int32_t{2147483647}, 1, int64_t{2147483648}},
        {zeoADD, big, 1, 9223372036854775808.0}, // Int64 overflow: Double
        {zeoMUL, big, 2, 18446744073709551616.0},
        {zeoDIV, 7, 2, 3.5},
        {zeoDIV, 6, 3, 2.0},
        {zeoADD, 1, 0.5, 1.5},
        {zeoDIV, 1, 0, Null()},
        {zeoDIV, 1.0, 0.0, Null()},
        {zeoMUL, 1e308, 10.0, Null()}, // not finite
        {zeoADD, Null(), 1, Null()},
        {zeoMUL, 2, Unassigned(), Null()},
        {zeoADD, VarFromDateTime(100.25), 2, VarFromDateTime(102.25)},
        {zeoADD, 2, VarFromDateTime(100), VarFromDateTime(102)},
        {zeoSUB, VarFromDateTime(100.5), 0.5, VarFromDateTime(100)},
        {zeoSUB, VarFromDateTime(100.5), VarFromDateTime(90), 10.5},
        {zeoADD, Currency::FromScaled(1), Currency::FromScaled(2), Currency::FromScaled(3)},
        {zeoMUL, Currency::FromScaled(10000), 2, 2.0},
        {zeoADD, "ab", "cd", "abcd"},
        {zeoADD, "2", 3, 5},
        {zeoMUL, " 1.5", 2, 3.0},
        {zeoSUB, "10", "4", 6},
        {zeoMOD, 7, 2, Unassigned()},
    };
    for (const auto& c : cases) {
        Variant result;
        TZanOpEvaluator::EvaluateArithExprValues(c.op, c.l, result, c.r);
        EXPECT_TRUE(result == c.expected)
            << VarToStr(c.l) << " op " << VarToStr(c.r) << " = " << VarToStr(result) << " ("
            << VarTypeAsText(result.Type()) << ")";
    }
    for (const auto& [l, r] :
         {std::pair<Variant, Variant>{"abc", 1}, {1, "1.2.3"}, {true, 1}, {"x", "y"}}) {
        Variant result;
        std::string message;
        EXPECT_EQ(
            ErrorCodeOf([&] { TZanOpEvaluator::EvaluateArithExprValues(zeoSUB, l, result, r); },
                        &message),
            9645);
        EXPECT_NE(message.find("Expression data types do not match"), std::string::npos);
    }
}

// A string is a number in arithmetic exactly when a comparison reads it as one: decimal text
// only ("0x10" and "$10" are text, so adding them fails), and then both agree on the value.
TEST(OpEvaluator, NumericTextReadsAlikeInArithmeticAndComparison) {
    struct Case {
        const char* text;
        Variant sumWithZero; // Unassigned: 9645
    } cases[] = {
        {"0x10", Unassigned()},
        {"$10", Unassigned()},
        {"$FFFFFFFFFFFFFFFF", Unassigned()},
        {"-0x1", Unassigned()},
        {"12", 12},
        {" -7 ", -7},
        {"+9007199254740993", int64_t{9007199254740993}},
        {"99999999999999999999", 1e20},
        {"1e3", 1000.0},
        {".5", 0.5},
    };
    for (const auto& c : cases) {
        Variant sum;
        const int code = ErrorCodeOf([&] {
            TZanOpEvaluator::EvaluateArithExprValues(zeoADD, Variant(c.text), sum, Variant(0));
        });
        if (VarIsEmpty(c.sumWithZero)) {
            EXPECT_EQ(code, 9645) << c.text << " + 0 = " << VarToStr(sum);
            continue;
        }
        ASSERT_EQ(code, 0) << c.text;
        EXPECT_TRUE(sum == c.sumWithZero) << c.text << " + 0 = " << VarToStr(sum);
        EXPECT_TRUE(TZanOpEvaluator::EvaluateRelopExprAsBoolean(zeoEQ, Variant(c.text), true, sum))
            << c.text << " <> " << VarToStr(sum);
    }
}

// Date arithmetic that leaves 0001-01-01..9999-12-31 gives Null, like a result that is not
// finite, instead of a date that later has no text.
TEST(OpEvaluator, DateArithmeticOutOfRangeIsNull) {
    const Variant last = VarFromDateTime(EncodeDate(9999, 12, 31));
    const Variant first = VarFromDateTime(EncodeDate(1, 1, 1));
    struct Case {
        TZanExprOperator op;
        Variant l, r;
        bool null;
    } cases[] = {
        {zeoADD, last, 0.5, false},  {zeoADD, last, 1, true},    {zeoADD, 1, last, true},
        {zeoSUB, first, 1, true},    {zeoSUB, first, -1, false}, {zeoADD, first, 1e15, true},
        {zeoSUB, last, first, false}, // a number of days, no date
    };
    for (const auto& c : cases) {
        Variant result;
        TZanOpEvaluator::EvaluateArithExprValues(c.op, c.l, result, c.r);
        EXPECT_EQ(VarIsNull(result), c.null) << VarToStr(c.l) << " op " << VarToStr(c.r);
        if (!c.null) {
            EXPECT_NO_THROW(VarToStr(result));
        }
    }
}

TEST(ConversionValidator, Matrix) {
    const TFieldType types[] = {ftString,   ftSmallint, ftInteger, ftWord,     ftBoolean, ftFloat,
                                ftCurrency, ftDate,     ftTime,    ftDateTime, ftBlob,    ftMemo};
    for (TFieldType from : types)
        for (TFieldType to : types) {
            const bool refused =
                from == ftBoolean &&
                (to == ftFloat || to == ftDate || to == ftTime || to == ftDateTime || to == ftBlob);
            EXPECT_EQ(TZanDataConversionValidator::CheckDataConversionValid(from, to), !refused)
                << FieldTypeName(from) << " -> " << FieldTypeName(to);
        }
    Variant result;
    TZanDataConversionValidator::PerformDataConversionToType(ftString, ftDate, "2005-04-03",
                                                             result);
    EXPECT_TRUE(result == VarFromDateTime(EncodeDate(2005, 4, 3)));
    TZanDataConversionValidator::PerformDataConversionToType(ftString, ftInteger, "12", result);
    EXPECT_TRUE(result == Variant("12"));
    TZanDataConversionValidator::PerformDataConversionToType(ftString, ftTime, "12:30 PM", result);
    EXPECT_TRUE(result == VarFromDateTime(EncodeTime(12, 30, 0, 0)));
}

TEST(DateOrder, FromShortDateFormat) {
    EXPECT_EQ(TZanDataConversionValidator::DateOrderOf("yyyy-mm-dd"), "YMD");
    EXPECT_EQ(TZanDataConversionValidator::DateOrderOf("yyyy/dd/mm"), "YDM");
    EXPECT_EQ(TZanDataConversionValidator::DateOrderOf("dd/mm/yyyy"), "DMY");
    EXPECT_EQ(TZanDataConversionValidator::DateOrderOf("m/d/yy"), "MDY");
    EXPECT_EQ(TZanDataConversionValidator::DateOrderOf(""), "MDY");
}

// Two-digit years: the 100 years ending TwoDigitYearCenturyWindow (50) years before now.
int WindowYear(int twoDigits) {
    int y = 0, m = 0, d = 0;
    DecodeDate(Date(), y, m, d);
    const int base = y - FormatSettings.TwoDigitYearCenturyWindow;
    int year = base / 100 * 100 + twoDigits;
    if (year < base) year += 100;
    return year;
}

// The first year of the window, and "1/1/yy" for that year's two digits plus delta.
int WindowStart() {
    int y = 0, m = 0, d = 0;
    DecodeDate(Date(), y, m, d);
    return y - FormatSettings.TwoDigitYearCenturyWindow;
}

std::string WindowText(int delta) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "1/1/%02d", (WindowStart() % 100 + 100 + delta) % 100);
    return buf;
}

TEST(DateText, Converter) {
    const std::string windowFirst = WindowText(0), windowLast = WindowText(-1);
    struct Case {
        const char* text;
        const char* order;
        TFieldType type;
        bool ok;
        TDateTime expected;
    } cases[] = {
        {"03/04/2005", "DMY", ftDate, true, EncodeDate(2005, 4, 3)},
        {"03/04/2005", "MDY", ftDate, true, EncodeDate(2005, 3, 4)},
        {"2005-04-03", "YMD", ftDate, true, EncodeDate(2005, 4, 3)},
        {"2005-04-03", "DMY", ftDate, false, 0},
        {"12-Sep-05", "DMY", ftDate, true, EncodeDate(WindowYear(5), 9, 12)},
        {"Sep 12 1999", "MDY", ftDate, true, EncodeDate(1999, 9, 12)},
        {"12-sept-05", "DMY", ftDate, false, 0},
        {"31/02/2005", "DMY", ftDate, false, 0},
        {"29/02/2024", "DMY", ftDate, true, EncodeDate(2024, 2, 29)},
        {"Monday/02/2024", "DMY", ftDate, false, 0}, // a weekday name is no day
        {"1/1/99", "DMY", ftDate, true, EncodeDate(WindowYear(99), 1, 1)},
        {"1/1/00", "DMY", ftDate, true, EncodeDate(WindowYear(0), 1, 1)},
        {windowFirst.c_str(), "DMY", ftDate, true, EncodeDate(WindowStart(), 1, 1)},
        {windowLast.c_str(), "DMY", ftDate, true, EncodeDate(WindowStart() + 99, 1, 1)},
        {"1/1/0005", "DMY", ftDate, true, EncodeDate(5, 1, 1)},
        {"1/1/10000", "DMY", ftDate, false, 0},
        {"1/1/12345678901234567890", "DMY", ftDate, false, 0},
        {"1/13/2000", "DMY", ftDate, false, 0},
        {"1/1", "DMY", ftDate, false, 0},
        {"", "DMY", ftDate, false, 0},
        {"12:30 PM", "YMD", ftTime, true, EncodeTime(12, 30, 0, 0)},
        {"12:15 AM", "YMD", ftTime, true, EncodeTime(0, 15, 0, 0)},
        {"1:05 pm", "YMD", ftTime, true, EncodeTime(13, 5, 0, 0)},
        {"23:59:59.999", "YMD", ftTime, true, EncodeTime(23, 59, 59, 999)},
        {"24:00", "YMD", ftTime, false, 0},
        {"13:05 PM", "YMD", ftTime, true, EncodeTime(13, 5, 0, 0)},
        {"03/04/2005 1:05 PM", "DMY", ftDateTime, true, EncodeDateTime(2005, 4, 3, 13, 5, 0, 0)},
        {"03/04/2005", "DMY", ftDateTime, true, EncodeDate(2005, 4, 3)},
        {"0001-01-01 06:00", "YMD", ftDateTime, true, EncodeDateTime(1, 1, 1, 6, 0, 0, 0)},
        {"1899-12-29 06:00", "YMD", ftDateTime, true, -1.25},
        {"x", "XYZ", ftDate, false, 0},
        {"1/1/2000", "dmy", ftDate, true, EncodeDate(2000, 1, 1)},
    };
    for (const auto& c : cases) {
        TZanStrToDateTimeConverter conv;
        TDateTime value = 0;
        EXPECT_EQ(conv.ConvertStrToDate(c.text, c.order, value, c.type), c.ok) << c.text;
        if (c.ok) {
            EXPECT_NEAR(value, c.expected, 1e-9) << c.text;
            EXPECT_GE(conv.GetLastPos(), 1);
        } else {
            EXPECT_EQ(conv.GetLastPos(), -1) << c.text;
        }
    }
    // Converting on from LastPos.
    TZanStrToDateTimeConverter conv;
    TDateTime value = 0;
    ASSERT_TRUE(conv.ConvertStrToDate("2005-04-03 10:20", "YMD", value, ftDate));
    EXPECT_EQ(conv.GetLastPos(), 12);
    ASSERT_TRUE(conv.ConvertStrToDateFromLastPos("2005-04-03 10:20", "YMD", value, ftTime));
    EXPECT_NEAR(value, EncodeTime(10, 20, 0, 0), 1e-9);
}

TEST(DateText, ValidatorNullAndErrors) {
    Variant result = 1;
    TZanDataConversionValidator::ConvertStrToDateTime("", ftDateTime, result);
    EXPECT_TRUE(VarIsNull(result));
    std::string message;
    EXPECT_EQ(
        ErrorCodeOf(
            [&] { TZanDataConversionValidator::ConvertStrToDateTime("31.2.x", ftDate, result); },
            &message),
        10059);
    EXPECT_NE(message.find("Value 31.2.x was not of the expected format yyyy-mmm-dd"),
              std::string::npos)
        << message;
    EXPECT_EQ(ErrorCodeOf(
                  [&] {
                      TZanDataConversionValidator::ConvertStrToDateTime("2005-01-01 25:00",
                                                                        ftDateTime, result);
                  },
                  &message),
              10058);
    EXPECT_NE(message.find("Value 2005-01-01 25:00 was not of the expected format hh:nn:ss"),
              std::string::npos)
        << message;
    EXPECT_EQ(ErrorCodeOf([&] {
                  TZanDataConversionValidator::ConvertStrToDateTime("noon", ftTime, result);
              }),
              10058);
    TZanDataConversionValidator::ConvertStrToDateTime("2005-01-01", ftDateTime, result);
    EXPECT_TRUE(result == VarFromDateTime(EncodeDate(2005, 1, 1)));
}

TEST(DateText, DateTimeToStrRoundTrip) {
    std::mt19937_64 rng(14);
    const TDateTime from = EncodeDate(1900, 1, 1), to = EncodeDate(2100, 12, 31);
    std::uniform_int_distribution<int64_t> ms(0, static_cast<int64_t>((to - from) * MSecsPerDay));
    for (int i = 0; i < 20000; ++i) {
        const int64_t n = ms(rng);
        const TDateTime value = ComposeDateTime(from + static_cast<double>(n / MSecsPerDay),
                                                static_cast<double>(n % MSecsPerDay) / MSecsPerDay);
        const std::string text = DateTimeToStr(value);
        Variant result;
        TZanDataConversionValidator::ConvertStrToDateTime(text, ftDateTime, result);
        ASSERT_EQ(DateTimeToStr(result.AsDateTime()), text);
        ASSERT_NEAR(result.AsDateTime(), value, 0.5 / MSecsPerDay) << text;
    }
}

} // namespace
