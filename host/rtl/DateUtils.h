// Date and time values and their text. A TDateTime counts days since 1899-12-30; its fraction is
// the time of day. For values before that day the integer part is the (negative) day and the
// fraction, taken without its sign, is still the time of day: -1.25 is 1899-12-29 06:00.
// All text uses one fixed, locale-independent set of format settings.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/rtl/Exceptions.h"

namespace zan {

using TDateTime = double;

struct TFormatSettings {
    char DateSeparator;
    char TimeSeparator;
    char DecimalSeparator;
    char ThousandSeparator;
    std::string_view ShortDateFormat;
    std::string_view ShortTimeFormat;
    std::string_view LongTimeFormat;
    std::string_view TimeAMString;
    std::string_view TimePMString;
    // Two-digit years fall in the 100 years that end this many years before the current one
    // (0 keeps them in the current century).
    int TwoDigitYearCenturyWindow;
    std::array<std::string_view, 12> ShortMonthNames;
    std::array<std::string_view, 12> LongMonthNames;
    std::array<std::string_view, 7> ShortDayNames; // Sunday first
    std::array<std::string_view, 7> LongDayNames;
};

// The engine's one set of format settings: "yyyy-mm-dd", "hh:nn:ss", ".", English names.
extern const TFormatSettings FormatSettings;

inline constexpr double HoursPerDay = 24;
inline constexpr double MinsPerDay = 24 * 60;
inline constexpr double SecsPerDay = 24 * 60 * 60;
inline constexpr int64_t MSecsPerDay = 24 * 60 * 60 * 1000;
// 0001-01-01 00:00 and 9999-12-31 23:59:59.999, the range the routines below accept.
inline constexpr TDateTime MinDateTime = -693593.0;
inline constexpr TDateTime MaxDateTime = 2958465.99999999;

bool IsLeapYear(int year);
int DaysInAMonth(int year, int month);

// Year 1-9999; EncodeDate raises EConvertError "Invalid argument to date encode".
bool TryEncodeDate(int year, int month, int day, TDateTime& date);
TDateTime EncodeDate(int year, int month, int day);
// Hour 0-23, minute and second 0-59, millisecond 0-999; EncodeTime raises EConvertError
// "Invalid argument to time encode".
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
// A date plus a time of day, also before 1899-12-30 (where the time is subtracted).
bool TryEncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec,
                       TDateTime& value);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec);
// Joins a date (whose fraction is ignored) and a time of day.
TDateTime ComposeDateTime(TDateTime date, TDateTime time);
// A number that orders date-times by the instant they name: the day plus the time of day.
// Before 1899-12-30 a value is the (negative) day minus its time of day, so the values of
// one day run backwards and cannot be compared as they are; from day zero on the value is
// itself. -0.5 and 0.5 (both noon of 1899-12-30) answer the same.
double DateTimeOrderValue(TDateTime value);

// Decomposition rounds to the nearest millisecond first, so a time just short of midnight
// becomes midnight of the next day. Values that are not finite or lie outside
// MinDateTime..MaxDateTime raise EConvertError "Invalid argument to date decode".
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec);
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& min, int& sec,
                    int& msec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime value);

// Local date and time.
TDateTime Now();
TDateTime Date();
TDateTime Time();

// "2024-02-29"
std::string DateToStr(TDateTime value);
// "13:05:09", with ".zzz" milliseconds appended when they are not 0 (so the text reads back to
// the same millisecond).
std::string TimeToStr(TDateTime value);
// The date, then a blank and TimeToStr when the time of day is not 0.
std::string DateTimeToStr(TDateTime value);

// Date text: year, month and day numbers separated by "-" (a year of one or two digits is taken
// in the two-digit-year window). Time text: "h:n", optional ":s", optional ".zzz" (one to three
// digits, a decimal fraction of the second), optional "AM"/"PM". Date and time: the date, blanks,
// the time; a time alone also reads as a date and time. Blanks around the text are allowed.
bool TryStrToDate(std::string_view text, TDateTime& value);
bool TryStrToTime(std::string_view text, TDateTime& value);
bool TryStrToDateTime(std::string_view text, TDateTime& value);
// EConvertError "'<text>' is not a valid date" / "... time" / "... date and time".
TDateTime StrToDate(std::string_view text);
TDateTime StrToTime(std::string_view text);
TDateTime StrToDateTime(std::string_view text);

// Formats with the tokens:
//   y yy (two-digit year), yyy yyyy (four digits); m mm (month; minutes right after an h token),
//   mmm mmmm (short and long month name); d dd, ddd dddd (short and long day name), ddddd (the
//   short date format); h hh (12-hour when an am/pm token follows), n nn, s ss, z (milliseconds),
//   zzz (three digits); t tt (short and long time format); c (short date, then the long time
//   format when the time is not 0); am/pm, a/p (in the case written), ampm (TimeAMString /
//   TimePMString); "/" and ":" give the date and time separators; '...' and "..." are literal.
// Any other character is copied.
std::string FormatDateTime(std::string_view format, TDateTime value);

} // namespace zan
