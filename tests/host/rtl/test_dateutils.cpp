#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <random>
#include <string>

#include "host/rtl/DateUtils.h"

using namespace zan;

namespace {

std::string Ymd(TDateTime v) {
    int y, m, d;
    DecodeDate(v, y, m, d);
    return std::to_string(y) + "/" + std::to_string(m) + "/" + std::to_string(d);
}

} // namespace

TEST(DateUtils, EpochAndKnownDates) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1899, 12, 31), 1.0);
    EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
    EXPECT_EQ(EncodeDate(1900, 3, 1), 61.0); // 1900 is not a leap year
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
    EXPECT_EQ(EncodeDate(1, 1, 1), MinDateTime);
    EXPECT_EQ(EncodeDate(9999, 12, 31), std::trunc(MaxDateTime));
    EXPECT_EQ(DayOfWeek(0), 7);                        // Saturday
    EXPECT_EQ(DayOfWeek(EncodeDate(2024, 2, 29)), 5);  // Thursday
    EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);      // Monday
    EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 24)), 1); // Sunday
}

TEST(DateUtils, LeapYearsAndInvalidDates) {
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2023));
    EXPECT_EQ(Ymd(EncodeDate(2000, 2, 29)), "2000/2/29");
    EXPECT_EQ(EncodeDate(2024, 3, 1) - EncodeDate(2024, 2, 28), 2.0);
    EXPECT_EQ(EncodeDate(2023, 3, 1) - EncodeDate(2023, 2, 28), 1.0);
    TDateTime d = 5;
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, d));
    EXPECT_FALSE(TryEncodeDate(2023, 2, 29, d));
    EXPECT_FALSE(TryEncodeDate(0, 1, 1, d));
    EXPECT_FALSE(TryEncodeDate(10000, 1, 1, d));
    EXPECT_FALSE(TryEncodeDate(2024, 13, 1, d));
    EXPECT_FALSE(TryEncodeDate(2024, 4, 31, d));
    EXPECT_EQ(d, 5);
    EXPECT_THROW(EncodeDate(2024, 0, 1), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
}

TEST(DateUtils, EncodeDecodeRoundTripsEveryDayAcrossLeapYears) {
    // Every day from 1896 to 1904 (the epoch and the skipped 1900 leap day) and 1996-2004.
    for (int from : {1896, 1996}) {
        TDateTime start = EncodeDate(from, 1, 1);
        for (int i = 0; i < 9 * 366; ++i) {
            TDateTime v = start + i;
            int y, m, d;
            DecodeDate(v, y, m, d);
            ASSERT_EQ(EncodeDate(y, m, d), v) << y << "-" << m << "-" << d;
        }
    }
}

TEST(DateUtils, NegativeValuesKeepTheTimeOfDay) {
    TDateTime v = EncodeDateTime(1899, 12, 29, 6, 0, 0, 0);
    EXPECT_EQ(v, -1.25);
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(-1.25, y, mo, d, h, mi, s, ms);
    EXPECT_EQ(Ymd(-1.25), "1899/12/29");
    EXPECT_EQ(h, 6);
    EXPECT_EQ(DateTimeToStr(-1.25), "1899-12-29 06:00:00");
    EXPECT_EQ(StrToDateTime("1899-12-29 06:00:00"), -1.25);
    EXPECT_EQ(StrToDateTime("1800-01-01 18:00"), EncodeDate(1800, 1, 1) - 0.75);
}

TEST(DateUtils, DecompositionRoundsToTheMillisecond) {
    // Just short of midnight rounds up to the next day, not to 24:00:00.
    TDateTime almost = EncodeDate(2023, 12, 31) + (MSecsPerDay - 0.4) / MSecsPerDay;
    EXPECT_EQ(DateTimeToStr(almost), "2024-01-01");
    TDateTime lastMs = EncodeDateTime(2023, 12, 31, 23, 59, 59, 999);
    EXPECT_EQ(DateTimeToStr(lastMs), "2023-12-31 23:59:59.999");
    // The same before the epoch: the fraction is the time of that day, so rounding it up
    // reaches midnight of the next day too.
    TDateTime negAlmost = -1 - (MSecsPerDay - 0.4) / MSecsPerDay; // 1899-12-29 23:59:59.9996
    EXPECT_EQ(DateTimeToStr(negAlmost), "1899-12-30");
    EXPECT_EQ(DateToStr(-0.9999999999), "1899-12-31"); // day 0 at 23:59:59.99999
    EXPECT_EQ(DateTimeToStr(EncodeDate(1800, 2, 28) - 0.9999999999), "1800-03-01");
    int h, m, s, ms;
    DecodeTime(EncodeTime(10, 20, 30, 456), h, m, s, ms);
    EXPECT_EQ(h * 10000000 + m * 100000 + s * 1000 + ms, 102030456);
}

TEST(DateUtils, DecodingRefusesValuesOutsideTheCalendar) {
    int y, m, d;
    EXPECT_THROW(DecodeDate(std::nan(""), y, m, d), EConvertError);
    EXPECT_THROW(DecodeDate(MaxDateTime + 1, y, m, d), EConvertError);
    EXPECT_THROW(DateToStr(MinDateTime - 1), EConvertError);
    EXPECT_THROW(FormatDateTime("yyyy", INFINITY), EConvertError);
}

TEST(DateUtils, TextForms) {
    TDateTime v = EncodeDateTime(2024, 2, 9, 7, 5, 3, 0);
    EXPECT_EQ(DateToStr(v), "2024-02-09");
    EXPECT_EQ(TimeToStr(v), "07:05:03");
    EXPECT_EQ(DateTimeToStr(v), "2024-02-09 07:05:03");
    EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 2, 9)), "2024-02-09"); // midnight: date only
    EXPECT_EQ(TimeToStr(EncodeTime(0, 0, 0, 50)), "00:00:00.050");
    EXPECT_EQ(DateTimeToStr(EncodeTime(0, 0, 0, 1)), "1899-12-30 00:00:00.001");
}

TEST(DateUtils, MillisecondTextRoundTripsForRandomValues) {
    std::mt19937_64 gen(8675309);
    std::uniform_int_distribution<int64_t> days(-693593, 2958465);
    std::uniform_int_distribution<int64_t> msec(0, MSecsPerDay - 1);
    for (int i = 0; i < 20000; ++i) {
        int64_t day = days(gen), ms = msec(gen);
        TDateTime tod = static_cast<double>(ms) / MSecsPerDay;
        TDateTime v = day < 0 ? day - tod : day + tod;
        std::string text = DateTimeToStr(v);
        TDateTime back = StrToDateTime(text);
        ASSERT_EQ(DateTimeToStr(back), text);
        ASSERT_LT(std::fabs(back - v) * MSecsPerDay, 0.01) << text;
    }
}

TEST(DateUtils, ParsingDatesAndTimes) {
    EXPECT_EQ(StrToDate(" 2024-2-9 "), EncodeDate(2024, 2, 9));
    EXPECT_EQ(StrToDate("0099-01-01"), EncodeDate(99, 1, 1)); // four digits: taken literally
    int y, m, d;
    DecodeDate(StrToDate("05-06-07"), y, m, d); // two digits: inside the 50-year window
    EXPECT_EQ(y % 100, 5);
    EXPECT_GE(y, 1950);
    EXPECT_EQ(StrToTime("7:05"), EncodeTime(7, 5, 0, 0));
    EXPECT_EQ(StrToTime("07:05:09.5"), EncodeTime(7, 5, 9, 500));
    EXPECT_EQ(StrToTime("07:05:09.045"), EncodeTime(7, 5, 9, 45));
    EXPECT_EQ(StrToTime("12:15 am"), EncodeTime(0, 15, 0, 0));
    EXPECT_EQ(StrToTime("1:05PM"), EncodeTime(13, 5, 0, 0));
    EXPECT_EQ(StrToTime("12:30 PM"), EncodeTime(12, 30, 0, 0));
    EXPECT_EQ(StrToDateTime("2024-02-29"), EncodeDate(2024, 2, 29));
    EXPECT_EQ(StrToDateTime("13:00"), EncodeTime(13, 0, 0, 0));
    EXPECT_EQ(StrToDateTime("2024-02-29  23:59:59.999"),
              EncodeDateTime(2024, 2, 29, 23, 59, 59, 999));
}

TEST(DateUtils, ParsingRefusesBadText) {
    TDateTime v = 0;
    for (const char* bad : {"", "2024", "2024-02-30", "2023-02-29", "2024/02/01", "24-02",
                            "12024-01-01", "2024-01-01x", "2024-001-01"})
        EXPECT_FALSE(TryStrToDate(bad, v)) << bad;
    for (const char* bad :
         {"", "24:00", "12:60", "12", "12:00:00.1234", "13:00 PM", "1:2:3:4", "12:00 XM", "-1:00"})
        EXPECT_FALSE(TryStrToTime(bad, v)) << bad;
    for (const char* bad : {"2024-01-0112:00", "2024-01-01 25:00", "x"})
        EXPECT_FALSE(TryStrToDateTime(bad, v)) << bad;
    auto message = [](auto fn) {
        try {
            fn();
        } catch (const EConvertError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([] { StrToDate("2024-13-01"); }), "'2024-13-01' is not a valid date");
    EXPECT_EQ(message([] { StrToTime("9"); }), "'9' is not a valid time");
    EXPECT_EQ(message([] { StrToDateTime("soon"); }), "'soon' is not a valid date and time");
}

TEST(DateUtils, FormatDateTimeTokens) {
    TDateTime v = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45); // a Tuesday
    EXPECT_EQ(FormatDateTime("yyyy yy m mm mmm mmmm", v), "2024 24 3 03 Mar March");
    EXPECT_EQ(FormatDateTime("d dd ddd dddd", v), "5 05 Tue Tuesday");
    EXPECT_EQ(FormatDateTime("h hh n nn s ss z zzz", v), "14 14 7 07 9 09 45 045");
    EXPECT_EQ(FormatDateTime("hh:mm", v), "14:07"); // m right after h means minutes
    EXPECT_EQ(FormatDateTime("h:mm am/pm", v), "2:07 pm");
    EXPECT_EQ(FormatDateTime("hh AM/PM", EncodeTime(0, 30, 0, 0)), "12 AM");
    EXPECT_EQ(FormatDateTime("h a/p", v), "2 p");
    EXPECT_EQ(FormatDateTime("h ampm", EncodeTime(9, 0, 0, 0)), "9 AM");
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd", v), "2024-03-05");
    EXPECT_EQ(FormatDateTime("c", v), "2024-03-05 14:07:09");
    EXPECT_EQ(FormatDateTime("c", EncodeDate(2024, 3, 5)), "2024-03-05");
    EXPECT_EQ(FormatDateTime("ddddd t tt", v), "2024-03-05 14:07 14:07:09");
    EXPECT_EQ(FormatDateTime("'yyyy' \"dd\" yyyy", v), "yyyy dd 2024");
    EXPECT_EQ(FormatDateTime("'unclosed", v), "unclosed");
    EXPECT_EQ(FormatDateTime("Q-x", v), "Q-x");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", 0), "1899-12-30 00:00:00");
}

TEST(DateUtils, ResultsIgnoreTheProcessLocale) {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "C.UTF-8"))
        GTEST_SKIP() << "no other locale available";
    TDateTime v = EncodeDateTime(2024, 10, 1, 8, 0, 0, 250);
    EXPECT_EQ(DateTimeToStr(v), "2024-10-01 08:00:00.250");
    EXPECT_EQ(FormatDateTime("dddd mmmm", v), "Tuesday October");
    EXPECT_EQ(StrToDateTime("2024-10-01 08:00:00.250"), v);
    std::setlocale(LC_ALL, saved.c_str());
}
