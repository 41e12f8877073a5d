#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "engine/storage/zanCommon.h"

using namespace zan;

namespace {

// The LIKE rules applied literally and recursively, character by character (ASCII only): the
// reference that the matcher must agree with.
bool ReferenceMatch(const char* text, const char* pattern, char escape) {
    if (*pattern == 0) return *text == 0;
    if (escape && *pattern == escape) {
        if (pattern[1] == 0) return false;
        return *text == pattern[1] && ReferenceMatch(text + 1, pattern + 2, escape);
    }
    if (*pattern == '%')
        return ReferenceMatch(text, pattern + 1, escape) ||
               (*text != 0 && ReferenceMatch(text + 1, pattern, escape));
    if (*text == 0) return false;
    if (*pattern == '_') return ReferenceMatch(text + 1, pattern + 1, escape);
    return *pattern == *text && ReferenceMatch(text + 1, pattern + 1, escape);
}

} // namespace

TEST(Like, RulesEscapesAndCharacters) {
    struct Case {
        const char* text;
        const char* pattern;
        char escape;
        bool match;
    };
    const Case cases[] = {
        {"", "%", 0, true},        {"", "%%", 0, true},        {"", "", 0, true},
        {"", "_", 0, false},       {"abc", "%", 0, true},      {"ab", "a%%", 0, true},
        {"a", "a%%", 0, true},     {"a", "a%", 0, true},       {"abc", "a_c", 0, true},
        {"ABC", "a%", 0, false},   {"abc", "", 0, false},      {"abc", "abc", 0, true},
        {"abc", "ab", 0, false},   {"ab", "abc", 0, false},    {"ab", "ab_", 0, false},
        {"abc", "%b", 0, false},   {"abc", "%b%", 0, true},    {"a", "_%%", 0, true},
        {"x%y", "x%y", 0, true},   {"xzzy", "x_y", 0, false},  {"a_c", "a_c", 0, true},
        // Escapes: the next character is literal; a lone escape at the end matches nothing.
        {"a%c", "a!%c", '!', true}, {"abc", "a!%c", '!', false}, {"a_c", "a!_c", '!', true},
        {"abc", "a!_c", '!', false}, {"a!c", "a!!c", '!', true}, {"a", "a!", '!', false},
        {"a!", "a!", '!', false},  {"50%", "%!%", '!', true},   {"50", "%!%", '!', false},
        {"a!b", "a!b", 0, true},
        // "_" is one UTF-8 character; a literal multi-byte character matches itself.
        {"\xc3\xa9", "_", 0, true},          {"\xc3\xa9", "__", 0, false},
        {"x\xe2\x82\xac", "x_", 0, true},    {"\xf0\x9f\x98\x80z", "_z", 0, true},
        {"\xc3\xa9t\xc3\xa9", "\xc3\xa9%", 0, true}, {"\xff\xfe", "__", 0, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchPatternedStrings(c.text, c.pattern, c.escape), c.match)
            << "'" << c.text << "' LIKE '" << c.pattern << "' ESCAPE '" << c.escape << "'";
}

TEST(Like, EmbeddedNulEndsBothStrings) {
    using namespace std::string_literals;
    EXPECT_TRUE(MatchPatternedStrings("ab\0cd"s, "ab"));
    EXPECT_TRUE(MatchPatternedStrings("ab\0cd"s, "ab\0x"s));
    EXPECT_FALSE(MatchPatternedStrings("ab\0cd"s, "abc"));
    EXPECT_TRUE(MatchPatternedStrings("a", "a\0zzz"s));
    EXPECT_TRUE(MatchPatternedStrings("\0abc"s, ""));
    EXPECT_TRUE(MatchPatternedStrings("\0abc"s, "%%"));
}

TEST(Like, LongTextAndManyPercentsFinish) {
    std::string text(1 << 20, 'a');
    EXPECT_FALSE(MatchPatternedStrings(text, "%x"));
    text.back() = 'x';
    EXPECT_TRUE(MatchPatternedStrings(text, "%x"));
    EXPECT_TRUE(MatchPatternedStrings(text, "a%a_%x"));
    EXPECT_FALSE(MatchPatternedStrings(text, "%b%"));

    std::string run(20000, 'a');
    EXPECT_FALSE(MatchPatternedStrings(run, "%a%a%a%a%b"));
    EXPECT_TRUE(MatchPatternedStrings(run + "b", "%a%a%a%a%b"));
    EXPECT_TRUE(MatchPatternedStrings(run, "%a%a%a%a%%"));
    std::string many;
    for (int i = 0; i < 300; ++i)
        many += "%a";
    EXPECT_FALSE(MatchPatternedStrings(run, many + "b"));

    // Pieces between "%" are matched left to right: a 1 MB text against 5,000 pieces is one
    // pass, not text x pattern steps.
    std::string pieces;
    for (int i = 0; i < 5000; ++i)
        pieces += "%a";
    EXPECT_FALSE(MatchPatternedStrings(text, pieces + "%b"));
    EXPECT_TRUE(MatchPatternedStrings(text, pieces + "%x"));
    EXPECT_TRUE(MatchPatternedStrings(text, pieces + "_%_x"));

    std::string longPattern(600, '_'); // longer than the matcher's stack arrays
    EXPECT_TRUE(MatchPatternedStrings(std::string(600, 'q'), longPattern));
    EXPECT_FALSE(MatchPatternedStrings(std::string(599, 'q'), longPattern));
}

TEST(Like, AgreesWithRecursiveReference) {
    std::mt19937 rng(20240611);
    const char textAlphabet[] = "ab!";
    const char patternAlphabet[] = "ab%_!";
    for (int n = 0; n < 100000; ++n) {
        std::string text, pattern;
        int lt = static_cast<int>(rng() % 7), lp = static_cast<int>(rng() % 7);
        for (int i = 0; i < lt; ++i)
            text += textAlphabet[rng() % 3];
        for (int i = 0; i < lp; ++i)
            pattern += patternAlphabet[rng() % 5];
        const char escape = n % 2 ? '!' : '\0';
        ASSERT_EQ(MatchPatternedStrings(text, pattern, escape),
                  ReferenceMatch(text.c_str(), pattern.c_str(), escape))
            << "'" << text << "' LIKE '" << pattern << "' ESCAPE '" << escape << "'";
    }
}
