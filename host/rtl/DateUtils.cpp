#include "host/rtl/DateUtils.h"

#include <cmath>
#include <ctime>

#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

const TFormatSettings FormatSettings = {
    '-',
    ':',
    '.',
    ',',
    "yyyy-mm-dd",
    "hh:nn",
    "hh:nn:ss",
    "AM",
    "PM",
    50,
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"January", "February", "March", "April", "May", "June", "July", "August", "September",
     "October", "November", "December"},
    {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"},
    {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"},
};

namespace {

// Days between 1899-12-30 and 1970-01-01.
constexpr int64_t UnixEpochDays = 25569;
constexpr int64_t MinDay = -693593; // 0001-01-01
constexpr int64_t MaxDay = 2958465; // 9999-12-31

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

// A date-time split into whole days and milliseconds of the day, rounded to the millisecond.
struct TStamp {
    int64_t Days;
    int64_t MSec;
};

TStamp ToStamp(TDateTime value) {
    if (!std::isfinite(value) || value < MinDateTime - 1 || value > MaxDateTime + 1)
        throw EConvertError("Invalid argument to date decode");
    double days = std::trunc(value);
    TStamp st{static_cast<int64_t>(days), Round(std::fabs(value - days) * MSecsPerDay)};
    // A time of day that rounds to a full day is midnight of the next day on both sides of
    // day 0: before 1899-12-30 the fraction is still the time of that (negative) day.
    if (st.MSec >= MSecsPerDay) {
        st.MSec -= MSecsPerDay;
        st.Days += 1;
    }
    if (st.Days < MinDay || st.Days > MaxDay)
        throw EConvertError("Invalid argument to date decode");
    return st;
}

struct TParts {
    int Year, Month, Day, Hour, Min, Sec, MSec, DayOfWeek;
};

TParts ToParts(TDateTime value) {
    TStamp st = ToStamp(value);
    TParts p{};
    CivilFromDays(st.Days - UnixEpochDays, p.Year, p.Month, p.Day);
    p.Hour = static_cast<int>(st.MSec / 3600000);
    p.Min = static_cast<int>(st.MSec / 60000 % 60);
    p.Sec = static_cast<int>(st.MSec / 1000 % 60);
    p.MSec = static_cast<int>(st.MSec % 1000);
    // 0001-01-01 was a Monday.
    p.DayOfWeek = static_cast<int>((st.Days - MinDay + 1) % 7) + 1;
    return p;
}

std::string Number(int value, int digits) {
    std::string s = IntToStr(value);
    if (static_cast<int>(s.size()) < digits)
        s.insert(0, static_cast<size_t>(digits) - s.size(), '0');
    return s;
}

bool StartsWithText(std::string_view s, size_t at, std::string_view what) {
    return at + what.size() <= s.size() && SameText(s.substr(at, what.size()), what);
}

// True when an am/pm token follows position `from` outside quoted text.
bool HasAmPmAfter(std::string_view fmt, size_t from) {
    for (size_t i = from; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c == '\'' || c == '"') {
            size_t close = fmt.find(c, i + 1);
            if (close == std::string_view::npos) return false;
            i = close;
        } else if (StartsWithText(fmt, i, "am/pm") || StartsWithText(fmt, i, "a/p") ||
                   StartsWithText(fmt, i, "ampm")) {
            return true;
        }
    }
    return false;
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

void FormatInto(std::string& out, std::string_view fmt, const TParts& p, bool timeIsZero) {
    char lastToken = ' ';
    size_t i = 0;
    auto runLength = [&](char token) {
        size_t n = 1;
        while (i + n < fmt.size() && UpperAscii(fmt[i + n]) == token)
            ++n;
        return n;
    };
    while (i < fmt.size()) {
        const char c = fmt[i];
        char token = UpperAscii(c);
        if (token >= 'A' && token <= 'Z') {
            if (token == 'M' && lastToken == 'H') token = 'N';
            lastToken = token;
        }
        size_t n = 1;
        switch (token) {
        case 'Y':
            n = runLength('Y');
            out += n <= 2 ? Number(p.Year % 100, 2) : Number(p.Year, 4);
            break;
        case 'M':
            n = runLength('M');
            if (n <= 2)
                out += Number(p.Month, static_cast<int>(n));
            else if (n == 3)
                out += FormatSettings.ShortMonthNames[p.Month - 1];
            else
                out += FormatSettings.LongMonthNames[p.Month - 1];
            break;
        case 'D':
            n = runLength('D');
            if (n <= 2)
                out += Number(p.Day, static_cast<int>(n));
            else if (n == 3)
                out += FormatSettings.ShortDayNames[p.DayOfWeek - 1];
            else if (n == 4)
                out += FormatSettings.LongDayNames[p.DayOfWeek - 1];
            else
                FormatInto(out, FormatSettings.ShortDateFormat, p, timeIsZero);
            break;
        case 'H': {
            n = runLength('H');
            int h = p.Hour;
            if (HasAmPmAfter(fmt, i + n)) {
                h %= 12;
                if (h == 0) h = 12;
            }
            out += Number(h, n >= 2 ? 2 : 1);
            break;
        }
        case 'N':
            n = (c == 'm' || c == 'M') ? runLength(UpperAscii(c)) : runLength('N');
            out += Number(p.Min, n >= 2 ? 2 : 1);
            break;
        case 'S':
            n = runLength('S');
            out += Number(p.Sec, n >= 2 ? 2 : 1);
            break;
        case 'Z':
            n = runLength('Z');
            out += Number(p.MSec, n >= 3 ? 3 : 1);
            break;
        case 'T':
            n = runLength('T');
            FormatInto(out, n == 1 ? FormatSettings.ShortTimeFormat : FormatSettings.LongTimeFormat,
                       p, timeIsZero);
            break;
        case 'C':
            FormatInto(out, FormatSettings.ShortDateFormat, p, timeIsZero);
            if (!timeIsZero) {
                out += ' ';
                FormatInto(out, FormatSettings.LongTimeFormat, p, timeIsZero);
            }
            break;
        case 'A':
            if (StartsWithText(fmt, i, "am/pm")) {
                n = 5;
                out += p.Hour < 12 ? fmt.substr(i, 2) : fmt.substr(i + 3, 2);
            } else if (StartsWithText(fmt, i, "a/p")) {
                n = 3;
                out += p.Hour < 12 ? fmt[i] : fmt[i + 2];
            } else if (StartsWithText(fmt, i, "ampm")) {
                n = 4;
                out += p.Hour < 12 ? FormatSettings.TimeAMString : FormatSettings.TimePMString;
            } else {
                out += c;
            }
            break;
        case '/':
            out += FormatSettings.DateSeparator;
            break;
        case ':':
            out += FormatSettings.TimeSeparator;
            break;
        case '\'':
        case '"': {
            size_t close = fmt.find(c, i + 1);
            if (close == std::string_view::npos) close = fmt.size();
            out += fmt.substr(i + 1, close - i - 1);
            n = close + 1 - i;
            break;
        }
        default:
            out += c;
        }
        i += n;
    }
}

// A cursor over date and time text.
class TScanner {
public:
    explicit TScanner(std::string_view s) : FText(s) {}

    bool AtEnd() const { return FPos >= FText.size(); }
    size_t SkipBlanks() {
        size_t start = FPos;
        while (FPos < FText.size() && static_cast<unsigned char>(FText[FPos]) <= ' ')
            ++FPos;
        return FPos - start;
    }
    bool Char(char c) {
        if (FPos < FText.size() && FText[FPos] == c) {
            ++FPos;
            return true;
        }
        return false;
    }
    // Reads 1 to maxDigits decimal digits; `digits` receives how many were read.
    bool Digits(int maxDigits, int& value, int& digits) {
        value = 0;
        digits = 0;
        while (FPos < FText.size() && FText[FPos] >= '0' && FText[FPos] <= '9') {
            if (digits == maxDigits) return false;
            value = value * 10 + (FText[FPos++] - '0');
            ++digits;
        }
        return digits > 0;
    }
    bool Digits(int maxDigits, int& value) {
        int digits = 0;
        return Digits(maxDigits, value, digits);
    }
    bool Word(std::string_view w) {
        if (!StartsWithText(FText, FPos, w)) return false;
        FPos += w.size();
        return true;
    }
    size_t GetPos() const { return FPos; }
    void SetPos(size_t pos) { FPos = pos; }

private:
    std::string_view FText;
    size_t FPos = 0;
};

int CurrentYear() {
    int y, m, d;
    DecodeDate(Now(), y, m, d);
    return y;
}

bool ScanDate(TScanner& sc, TDateTime& value) {
    int year = 0, month = 0, day = 0, yearDigits = 0;
    const char sep = FormatSettings.DateSeparator;
    if (!sc.Digits(4, year, yearDigits) || !sc.Char(sep) || !sc.Digits(2, month) || !sc.Char(sep) ||
        !sc.Digits(2, day))
        return false;
    if (yearDigits <= 2) {
        const int window = FormatSettings.TwoDigitYearCenturyWindow;
        const int base = CurrentYear() - window;
        year += base / 100 * 100;
        if (window > 0 && year < base) year += 100;
    }
    return TryEncodeDate(year, month, day, value);
}

bool ScanTime(TScanner& sc, TDateTime& value) {
    int hour = 0, min = 0, sec = 0, msec = 0;
    const char sep = FormatSettings.TimeSeparator;
    if (!sc.Digits(2, hour) || !sc.Char(sep) || !sc.Digits(2, min)) return false;
    if (sc.Char(sep)) {
        if (!sc.Digits(2, sec)) return false;
        if (sc.Char(FormatSettings.DecimalSeparator)) {
            int digits = 0;
            if (!sc.Digits(3, msec, digits)) return false;
            for (; digits < 3; ++digits)
                msec *= 10; // ".5" is half a second
        }
    }
    size_t beforeAmPm = sc.GetPos();
    sc.SkipBlanks();
    int ampm = 0;
    if (sc.Word(FormatSettings.TimeAMString))
        ampm = 1;
    else if (sc.Word(FormatSettings.TimePMString))
        ampm = 2;
    else
        sc.SetPos(beforeAmPm);
    if (ampm != 0) {
        if (hour > 12) return false;
        if (hour == 12) hour = 0;
        if (ampm == 2) hour += 12;
    }
    return TryEncodeTime(hour, min, sec, msec, value);
}

// Trims the blanks around `text` and runs `scan` over all of it.
template <typename Scan>
bool ScanWhole(std::string_view text, Scan scan) {
    TScanner sc(text);
    sc.SkipBlanks();
    if (!scan(sc)) return false;
    sc.SkipBlanks();
    return sc.AtEnd();
}

} // namespace

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInAMonth(int year, int month) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& date) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInAMonth(year, month))
        return false;
    date = static_cast<double>(
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
        UnixEpochDays);
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime d = 0;
    if (!TryEncodeDate(year, month, day, d)) throw EConvertError("Invalid argument to date encode");
    return d;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time) {
    if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 ||
        msec > 999)
        return false;
    const int64_t ms = ((static_cast<int64_t>(hour) * 60 + min) * 60 + sec) * 1000 + msec;
    time = static_cast<double>(ms) / static_cast<double>(MSecsPerDay);
    return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
    TDateTime t = 0;
    if (!TryEncodeTime(hour, min, sec, msec, t))
        throw EConvertError("Invalid argument to time encode");
    return t;
}

TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
    const double day = std::trunc(date);
    const double tod = std::fabs(time - std::trunc(time));
    return day < 0 ? day - tod : day + tod;
}

double DateTimeOrderValue(TDateTime value) {
    if (!(value < 0)) return value; // NaN stays NaN
    const double day = std::trunc(value);
    return day + (day - value) + 0.0;
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec,
                       TDateTime& value) {
    TDateTime d = 0, t = 0;
    if (!TryEncodeDate(year, month, day, d) || !TryEncodeTime(hour, min, sec, msec, t))
        return false;
    value = ComposeDateTime(d, t);
    return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec) {
    return ComposeDateTime(EncodeDate(year, month, day), EncodeTime(hour, min, sec, msec));
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    TParts p = ToParts(value);
    year = p.Year;
    month = p.Month;
    day = p.Day;
}

void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec) {
    TParts p = ToParts(value);
    hour = p.Hour;
    min = p.Min;
    sec = p.Sec;
    msec = p.MSec;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& min, int& sec,
                    int& msec) {
    TParts p = ToParts(value);
    year = p.Year;
    month = p.Month;
    day = p.Day;
    hour = p.Hour;
    min = p.Min;
    sec = p.Sec;
    msec = p.MSec;
}

int DayOfWeek(TDateTime value) {
    return ToParts(value).DayOfWeek;
}

TDateTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec > 59 ? 59 : tm.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

TDateTime Date() {
    return std::trunc(Now());
}

TDateTime Time() {
    return Frac(Now());
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
    const TStamp st = ToStamp(value);
    const TParts p = ToParts(value);
    std::string out;
    FormatInto(out, format, p, st.MSec == 0);
    return out;
}

std::string DateToStr(TDateTime value) {
    return FormatDateTime(FormatSettings.ShortDateFormat, value);
}

std::string TimeToStr(TDateTime value) {
    std::string fmt(FormatSettings.LongTimeFormat);
    if (ToStamp(value).MSec % 1000 != 0) {
        fmt += FormatSettings.DecimalSeparator;
        fmt += "zzz";
    }
    return FormatDateTime(fmt, value);
}

std::string DateTimeToStr(TDateTime value) {
    std::string s = DateToStr(value);
    if (ToStamp(value).MSec != 0) s += ' ' + TimeToStr(value);
    return s;
}

bool TryStrToDate(std::string_view text, TDateTime& value) {
    return ScanWhole(text, [&](TScanner& sc) { return ScanDate(sc, value); });
}

bool TryStrToTime(std::string_view text, TDateTime& value) {
    return ScanWhole(text, [&](TScanner& sc) { return ScanTime(sc, value); });
}

bool TryStrToDateTime(std::string_view text, TDateTime& value) {
    TDateTime date = 0, time = 0;
    bool ok = ScanWhole(text, [&](TScanner& sc) {
        if (!ScanDate(sc, date)) return false;
        size_t beforeTime = sc.GetPos();
        if (sc.SkipBlanks() > 0 && !sc.AtEnd()) return ScanTime(sc, time);
        sc.SetPos(beforeTime);
        return true;
    });
    if (ok) {
        value = ComposeDateTime(date, time);
        return true;
    }
    return TryStrToTime(text, value);
}

TDateTime StrToDate(std::string_view text) {
    TDateTime v = 0;
    if (!TryStrToDate(text, v)) throw EConvertError(Format("'%s' is not a valid date", text));
    return v;
}

TDateTime StrToTime(std::string_view text) {
    TDateTime v = 0;
    if (!TryStrToTime(text, v)) throw EConvertError(Format("'%s' is not a valid time", text));
    return v;
}

TDateTime StrToDateTime(std::string_view text) {
    TDateTime v = 0;
    if (!TryStrToDateTime(text, v))
        throw EConvertError(Format("'%s' is not a valid date and time", text));
    return v;
}

} // namespace zan
