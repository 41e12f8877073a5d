#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "engine/storage/zanCommon.h"

using namespace zan;

namespace {

// The matcher's rules applied literally and recursively on zero-terminated strings: the
// reference that the iterative matcher must agree with.
bool ReferenceMatch(const char* text, const char* pattern) {
    if (std::strcmp(pattern, "%") == 0) return true;
    if (*text == 0) return *pattern == 0;
    if (*pattern == '%')
        return ReferenceMatch(text, pattern + 1) || ReferenceMatch(text + 1, pattern);
    if (*pattern == '_') return ReferenceMatch(text + 1, pattern + 1);
    return *pattern == *text && ReferenceMatch(text + 1, pattern + 1);
}

} // namespace

TEST(Like, RulesAndPercentSubtleties) {
    struct Case {
        const char* text;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        {"", "%", true},      {"", "%%", false},      {"", "", true},       {"", "_", false},
        {"abc", "%", true},   {"ab", "a%%", true},    {"a", "a%%", false},  {"a", "a%", true},
        {"abc", "a_c", true}, {"ABC", "a%", false},   {"abc", "", false},   {"abc", "abc", true},
        {"abc", "ab", false}, {"ab", "abc", false},   {"abc", "ab_", true}, {"ab", "ab_", false},
        {"a", "a_", false},   {"abc", "%c", true},    {"abc", "%b", false}, {"abc", "%b%", true},
        {"abc", "_%", true},  {"a", "_%", true},      {"a", "_%%", false},  {"abcb", "%b", true},
        {"x%y", "x%y", true}, {"xzzy", "x_y", false}, {"a_c", "a_c", true}, {"abc", "%%c", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchPatternedStrings(c.text, c.pattern), c.match)
            << "'" << c.text << "' LIKE '" << c.pattern << "'";
}

TEST(Like, EmbeddedNulEndsBothStrings) {
    using namespace std::string_literals;
    EXPECT_TRUE(MatchPatternedStrings("ab\0cd"s, "ab"));
    EXPECT_TRUE(MatchPatternedStrings("ab\0cd"s, "ab\0x"s));
    EXPECT_FALSE(MatchPatternedStrings("ab\0cd"s, "abc"));
    EXPECT_TRUE(MatchPatternedStrings("a", "a\0zzz"s));
    EXPECT_TRUE(MatchPatternedStrings("\0abc"s, ""));
    EXPECT_FALSE(MatchPatternedStrings("\0abc"s, "%%"));
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

    std::string longPattern(600, '_'); // longer than the matcher's stack rows
    EXPECT_TRUE(MatchPatternedStrings(std::string(600, 'q'), longPattern));
    EXPECT_FALSE(MatchPatternedStrings(std::string(599, 'q'), longPattern));
}

TEST(Like, AgreesWithRecursiveReference) {
    std::mt19937 rng(20240611);
    const char textAlphabet[] = "ab";
    const char patternAlphabet[] = "ab%_";
    for (int n = 0; n < 100000; ++n) {
        std::string text, pattern;
        int lt = static_cast<int>(rng() % 7), lp = static_cast<int>(rng() % 7);
        for (int i = 0; i < lt; ++i)
            text += textAlphabet[rng() % 2];
        for (int i = 0; i < lp; ++i)
            pattern += patternAlphabet[rng() % 4];
        ASSERT_EQ(MatchPatternedStrings(text, pattern),
                  ReferenceMatch(text.c_str(), pattern.c_str()))
            << "'" << text << "' LIKE '" << pattern << "'";
    }
}
