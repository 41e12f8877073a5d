#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/zanCommon.h"
#include "host/win/WinSys.h"

using namespace zan;

namespace {

using namespace std::string_literals;

int Sign(int32_t v) {
    return (v > 0) - (v < 0);
}

int Ansi(const std::string& a, const std::string& b, bool ci = false, bool partial = false) {
    return Sign(DBANSICompareStrings(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                     static_cast<int32_t>(b.size()), partial, ci));
}

int Ascii(const std::string& a, const std::string& b, bool ci = false, bool partial = false) {
    return DBASCIICompareStrings(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                 static_cast<int32_t>(b.size()), partial, ci);
}

// UTF-16 little-endian bytes of a string of code units.
std::string Utf16(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

int Wide(const std::u16string& a, const std::u16string& b, bool ci = false, bool partial = false) {
    std::string ba = Utf16(a), bb = Utf16(b);
    return Sign(DBCompareWideStrings(ba.data(), static_cast<int32_t>(ba.size()), bb.data(),
                                     static_cast<int32_t>(bb.size()), partial, ci));
}

// Strings ordered strictly ascending in case-sensitive mode.
void ExpectAscending(const std::vector<std::string>& list, bool ci = false) {
    for (size_t i = 0; i + 1 < list.size(); ++i) {
        EXPECT_EQ(Ansi(list[i], list[i + 1], ci), -1) << list[i] << " < " << list[i + 1];
        EXPECT_EQ(Ansi(list[i + 1], list[i], ci), 1) << list[i + 1] << " > " << list[i];
    }
}

} // namespace

TEST(CommonEnums, DisplayTexts) {
    EXPECT_EQ(SortOrderName(soANSI), "ANSI sort order");
    EXPECT_EQ(SortOrderName(soASCII), "ASCII sort order");
    EXPECT_EQ(EncryptionLevelName(encNone), "None");
    EXPECT_EQ(EncryptionLevelName(encStrong), "Strong");
    EXPECT_EQ(FilterOptimisationLevelName(olPartial), "Partial");
    EXPECT_EQ(SortOrderName(static_cast<TSortOrder>(7)), "");
    EXPECT_EQ(static_cast<int>(ikMinStringLen), 1);
}

TEST(AsciiCompare, UnsignedBytesAndAzFolding) {
    EXPECT_EQ(Ascii("abc", "abcd"), -1);
    EXPECT_EQ(Ascii("abc", "abcd", false, true), 0);
    EXPECT_EQ(Ascii("abcd", "abc", false, true), 0);
    EXPECT_GT(Ascii("\x80", "z"), 0); // bytes above 0x7F sort after ASCII
    EXPECT_GT(Ascii("\xC3\xA9", "\xC3\x89"), 0);
    EXPECT_GT(Ascii("a", "B"), 0);
    EXPECT_LT(Ascii("a", "B", true), 0);
    EXPECT_EQ(Ascii("HeLLo", "hello", true), 0);
    EXPECT_NE(Ascii("\xC3\xA9", "\xC3\x89", true), 0); // only a-z fold
    EXPECT_GT(Ascii("_", "a", true), 0);               // folds onto upper case: '_' > 'A'
    EXPECT_EQ(Ascii("", ""), 0);
    EXPECT_EQ(DBASCIICompareStrings(nullptr, 0, "x", 1, false, false), -1);
    EXPECT_EQ(DBASCIICompareStrings("x", -5, "", 0, false, false), 0); // negative length = 0
}

TEST(AnsiCompare, LettersCaseAndAccents) {
    EXPECT_EQ(Ansi("a", "B"), -1);
    EXPECT_EQ(Ansi("a", "B", true), -1);
    ExpectAscending({"a", "A", "b", "B"});
    EXPECT_EQ(Ansi("a", "A", true), 0);
    EXPECT_EQ(Ansi("Straße", "STRASSE", true), 1); // ligature differs at the accent level
    // Accents weigh more than case, both less than the letters themselves.
    ExpectAscending({"e", "E", "é", "É", "f"});
    ExpectAscending({"resume", "Resume", "résumé", "Résumé", "resumes"});
    EXPECT_EQ(Ansi("résumé", "RÉSUMÉ", true), 0);
    EXPECT_EQ(Ansi("\xC5\x93", "\xC5\x92", true), 0); // œ / Œ
    // Ligatures count as two letters at the first level.
    ExpectAscending({"ad", "ae", "æ", "Æ", "af"});
    ExpectAscending({"sr", "ss", "ß", "st"});
    ExpectAscending({"od", "oe", "œ", "of"});
    // Symbols before digits before letters; other code points after all of them.
    ExpectAscending({" ", "!", "+", "0", "9", "a", "z", "þ", "Ā", "\xE4\xB8\x80",
                     "\xF4\x8F\xBF\xBF", "\x80", "\xFF"});
}

TEST(AnsiCompare, HyphenAndApostropheCountLast) {
    for (bool ci : {false, true}) {
        EXPECT_EQ(Ansi("coop", "co-op", ci), -1);
        EXPECT_EQ(Ansi("co-op", "coop", ci), 1);
        EXPECT_EQ(Ansi("co-op", "coq", ci), -1); // ignored at the first level
        EXPECT_EQ(Ansi("cant", "can't", ci), -1);
        EXPECT_EQ(Ansi("co-op", "co-op", ci), 0);
    }
    EXPECT_EQ(Ansi("Coop", "co-op"), 1); // case outweighs the hyphen
}

TEST(AnsiCompare, LengthRules) {
    EXPECT_EQ(Ansi("abc", "abcd"), -1);
    EXPECT_EQ(Ansi("abc", "abcd", false, true), 0);
    EXPECT_EQ(Ansi("", "a"), -1);
    EXPECT_EQ(Ansi("", "a", false, true), 0);
    // An embedded NUL ends the text; the given lengths still break the tie.
    EXPECT_EQ(Ansi("ab\0z"s, "ab\0y"s), 0);
    EXPECT_EQ(DBANSICompareStrings("ab\0zz", 5, "ab", 2, false, false), 3);
    // Only the first 255 bytes take part, then la - lb.
    std::string a255(255, 'a'), a256(256, 'a');
    EXPECT_EQ(DBANSICompareStrings(a256.data(), 256, a255.data(), 255, false, false), 1);
    EXPECT_EQ(Ansi(a255 + "b", a255 + "a"), 0);
    EXPECT_EQ(Ansi(a255 + "bb", a255 + "a"), 1);
    // The cut keeps whole characters: "é" at bytes 254-255 is dropped, not split.
    std::string accentCut = std::string(254, 'a') + "é"; // 256 bytes
    EXPECT_EQ(Ansi(accentCut, std::string(254, 'a') + "f"), -1);
    EXPECT_EQ(DBANSICompareStrings(accentCut.data(), 256, accentCut.data(), 254, false, false), 2);
    // Partial compares cut both to the shorter character count.
    EXPECT_EQ(Ansi("é", "éa", false, true), 0);
    EXPECT_EQ(Ansi("e", "éa", false, true), -1);
    EXPECT_EQ(Ansi("a", "Ab", false, true), -1);
    EXPECT_EQ(Ansi("a", "Ab", true, true), 0);
    EXPECT_EQ(DBANSICompareStrings(nullptr, 0, nullptr, 0, false, false), 0);
    EXPECT_EQ(DBANSICompareStrings("abc", -1, "", 0, false, false), 0);
}

TEST(AnsiCompare, InvalidUtf8IsDeterministic) {
    // A truncated sequence, an overlong form and an encoded surrogate are bytes of their own.
    EXPECT_EQ(Ansi("a\xC3", "a\xC3"), 0);
    EXPECT_EQ(Ansi("a\xC3", "ab"), 1);
    EXPECT_EQ(Ansi("\xC0\xAF", "/"), 1);
    EXPECT_EQ(Ansi("\xED\xA0\x80", "\xEF\xBF\xBF"), 1);
    EXPECT_EQ(Ansi("\xC3\xA9", "\xC3\xA8"), -1); // é (acute) before è (grave)
    EXPECT_EQ(Ansi("\xC3\xA9", "\xC3("), -1);    // a shared lead byte is not a shared character
    EXPECT_EQ(Ansi("\xC3(", "\xC3\xA9"), 1);
    EXPECT_EQ(Ansi("x\xC3\xA9", "x\xC3\xA9\x80"), -1);
}

TEST(AnsiCompare, TotalOrderOnRandomSamples) {
    const std::vector<std::string> pieces = {"a",
                                             "A",
                                             "b",
                                             "e",
                                             "é",
                                             "É",
                                             "-",
                                             "'",
                                             "ß",
                                             "ss",
                                             "æ",
                                             "1",
                                             " ",
                                             "\xC3",
                                             "\x80",
                                             "\xFF",
                                             "Ā",
                                             "z",
                                             "\xF0\x9F\x98\x80",
                                             "\0"s};
    std::mt19937 rng(7);
    std::vector<std::string> samples;
    for (int i = 0; i < 250; ++i) {
        std::string s;
        int len = static_cast<int>(rng() % 5);
        for (int k = 0; k < len; ++k)
            s += pieces[rng() % pieces.size()];
        samples.push_back(s);
    }
    for (bool ci : {false, true}) {
        std::vector<std::vector<int>> cmp(samples.size(), std::vector<int>(samples.size()));
        for (size_t i = 0; i < samples.size(); ++i)
            for (size_t j = 0; j < samples.size(); ++j)
                cmp[i][j] = Ansi(samples[i], samples[j], ci);
        for (size_t i = 0; i < samples.size(); ++i)
            for (size_t j = 0; j < samples.size(); ++j)
                ASSERT_EQ(cmp[i][j], -cmp[j][i]) << samples[i] << " / " << samples[j];
        for (int n = 0; n < 200000; ++n) {
            size_t i = rng() % samples.size(), j = rng() % samples.size(),
                   k = rng() % samples.size();
            if (cmp[i][j] > 0 || cmp[j][k] > 0) continue;
            ASSERT_LE(cmp[i][k], (cmp[i][j] < 0 || cmp[j][k] < 0) ? -1 : 0)
                << samples[i] << " / " << samples[j] << " / " << samples[k];
        }
    }
}

TEST(AnsiCompare, CaseMappingCollatesEqualCaseInsensitively) {
    // Every character of the set (and a few beyond) equals its case partners when case is
    // ignored, and differs from them when it is not.
    for (uint32_t cp = 1; cp < 0x2200; ++cp) {
        std::string s;
        if (cp < 0x80)
            s = std::string(1, static_cast<char>(cp));
        else if (cp < 0x800)
            s = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        else
            s = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
        std::string upper = ZanAnsiUpperCase(s), lower = ZanAnsiLowerCase(s);
        EXPECT_EQ(Ansi(s, upper, true), 0) << cp;
        EXPECT_EQ(Ansi(s, lower, true), 0) << cp;
        if (upper != s) {
            EXPECT_EQ(Ansi(s, upper), -1) << cp;
        }
        if (lower != s) {
            EXPECT_EQ(Ansi(s, lower), 1) << cp;
        }
    }
}

TEST(WideCompare, CollatesUtf16WithoutLengthTiebreak) {
    EXPECT_EQ(Wide(u"a", u"B"), -1);
    EXPECT_EQ(Wide(u"a", u"A"), -1);
    EXPECT_EQ(Wide(u"a", u"A", true), 0);
    EXPECT_EQ(Wide(u"e\u0301", u"e\u0301"), 0);
    EXPECT_EQ(Wide(u"\u00e9", u"f"), -1);
    EXPECT_EQ(Wide(u"\u00e9", u"e"), 1);
    EXPECT_EQ(Wide(u"abc", u"ab"), 1);
    EXPECT_EQ(Wide(u"abc", u"ab", false, true), 0);
    EXPECT_EQ(Wide(u"\xD800", u"?"), 0); // lone surrogate reads as "?"
    EXPECT_EQ(Wide(u"x\xDC00y", u"x?y"), 0);
    EXPECT_EQ(Wide(u"\U0001F600", u"\u4E00"), 1); // a pair decodes to its code point
    EXPECT_EQ(Wide(u"ab\0c"s, u"ab\0d"s), 0);     // a NUL character ends the text
    std::string a = Utf16(u"abc");
    EXPECT_EQ(DBCompareWideStrings(a.data(), 5, a.data(), 4, false, false), 0); // odd byte ignored
}

TEST(CommonCompare, RealsAndListSort) {
    EXPECT_EQ(CompareReals(1.0, 2.0), -1);
    EXPECT_EQ(CompareReals(2.0, 1.0), 1);
    EXPECT_EQ(CompareReals(-0.0, 0.0), 0);
    EXPECT_EQ(AscendingListSort(INT32_MIN, INT32_MAX), -1); // a - b would overflow
    EXPECT_EQ(AscendingListSort(INT32_MAX, -1), 1);
    EXPECT_EQ(AscendingListSort(5, 5), 0);
}

TEST(CommonCompare, LocaleDoesNotChangeResults) {
    auto snapshot = [] {
        std::vector<int> r;
        const char* words[] = {"a", "B", "é", "co-op", "coop", "ß",
                               "I", "ı", "İ", "i",     "Z",    "\xFF"};
        for (const char* x : words)
            for (const char* y : words) {
                r.push_back(Ansi(x, y));
                r.push_back(Ansi(x, y, true));
                r.push_back(Sign(Ascii(x, y, true)));
            }
        r.push_back(ZanAnsiUpperCase("iéß").size());
        r.push_back(ZanAnsiUpperCase("i") == "I");
        return r;
    };
    auto before = snapshot();
    for (const char* name : {"tr_TR.UTF-8", "de_DE.UTF-8", "C.UTF-8", ""}) {
        if (!std::setlocale(LC_ALL, name)) continue;
        EXPECT_EQ(snapshot(), before) << name;
    }
    std::setlocale(LC_ALL, "C");
}

TEST(CaseMapping, AnsiCharacterSet) {
    EXPECT_EQ(ZanAnsiUpperCase("abc xyz 123"), "ABC XYZ 123");
    EXPECT_EQ(ZanAnsiLowerCase("ABC XYZ 123"), "abc xyz 123");
    EXPECT_EQ(ZanAnsiUpperCase("àéîõüçñøæþð"), "ÀÉÎÕÜÇÑØÆÞÐ");
    EXPECT_EQ(ZanAnsiLowerCase("ÀÉÎÕÜÇÑØÆÞÐ"), "àéîõüçñøæþð");
    EXPECT_EQ(ZanAnsiUpperCase("œšž"), "ŒŠŽ");
    EXPECT_EQ(ZanAnsiLowerCase("ŒŠŽŸ"), "œšžÿ");
    EXPECT_EQ(ZanAnsiUpperCase("ßÿµ×÷ª"), "ßÿµ×÷ª"); // no single upper form in the set
    EXPECT_EQ(ZanAnsiUpperCase("āдж"), "āдж");       // outside the set: unchanged
    // Invalid bytes pass through and never merge with neighbours.
    EXPECT_EQ(ZanAnsiUpperCase("a\xC3"), "A\xC3");
    EXPECT_EQ(ZanAnsiUpperCase("\xC3"
                               "a\xFF\xE9"),
              "\xC3"
              "A\xFF\xE9");
    EXPECT_EQ(ZanAnsiLowerCase("\xC3\xC3\x89"), "\xC3\xC3\xA9");
    EXPECT_EQ(ZanAnsiUpperCase(""), "");
}

TEST(Platform, Queries) {
    std::string os = GetOSDetails();
    ASSERT_TRUE(os.starts_with("XX:  0.")) << os;
    TOSVersion v;
    ASSERT_TRUE(GetOSVersion(v));
    EXPECT_EQ(os, "XX:  0." + std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." +
                      std::to_string(v.Patch) + "  " + v.SysName);
    errno = 0;
    EXPECT_EQ(GetOSErrorMsg(), "The error type could not be determined");
    errno = ENOENT;
    EXPECT_EQ(GetOSErrorMsg(), SysErrorMessage(ENOENT));
    EXPECT_LE(GetCurrentUser().size(), 256u);
    EXPECT_EQ(GetCurrentComputer(), GetComputerNameStr().substr(0, 256));
    EXPECT_EQ(GetCurrentThreadIdVal(), GetCurrentThreadId());
    uint32_t t0 = GetMSTimeMarker();
    EXPECT_LT(GetMSTimeMarker() - t0, 0x80000000u); // never runs backwards
    EXPECT_EQ(ZanIncludeTrailingBackslash("/tmp"), "/tmp/");
    EXPECT_EQ(ZanIncludeTrailingBackslash("/tmp/"), "/tmp/");
    EXPECT_EQ(ZanIncludeTrailingBackslash(""), "/");
}

TEST(Platform, StringLToWideChar) {
    char16_t buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(StringLToWideChar("abc", buf, 0), 0);
    EXPECT_EQ(buf[0], u'#'); // nothing written
    EXPECT_EQ(StringLToWideChar("abc", buf, 1), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(StringLToWideChar("aé€", buf, 8), 3);
    EXPECT_EQ(std::u16string(buf), u"aé€");
    // A surrogate pair is never split: with room for 2 units after "a" it still fits, with 1 not.
    EXPECT_EQ(StringLToWideChar("a\xF0\x9F\x98\x80z", buf, 4), 3);
    EXPECT_EQ(std::u16string(buf), u"a\U0001F600");
    EXPECT_EQ(StringLToWideChar("a\xF0\x9F\x98\x80z", buf, 3), 1);
    EXPECT_EQ(std::u16string(buf), u"a");
    EXPECT_EQ(StringLToWideChar("x\xC3y\xFF", buf, 8), 4);
    EXPECT_EQ(std::u16string(buf), u"x?y?");
}
