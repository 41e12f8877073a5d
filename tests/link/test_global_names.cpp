// An application may define its own global names that the library also uses inside its
// namespace: both sets must link side by side and each call must reach its own definition.
#include <gtest/gtest.h>

#include <string>

#include "engine/storage/zanConsts.h"
#include "host/rtl/Format.h"
#include "host/rtl/StringList.h"
#include "host/rtl/SysUtils.h"

// The application's own names, deliberately the same as the library's.
std::string Format(const std::string& text, int value) { return text + "#" + std::to_string(value); }
std::string Trim(const std::string& text) { return "app:" + text; }
class TList {
public:
    int Count() const { return 42; }
};
class Exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    std::string Message;
};

TEST(GlobalNames, ApplicationAndLibraryNamesLinkSideBySide) {
    EXPECT_EQ(Format("n", 7), "n#7");
    EXPECT_EQ(zan::Format("n%d", 7), "n7");
    EXPECT_EQ(Trim(" x "), "app: x ");
    EXPECT_EQ(zan::Trim(" x "), "x");
    EXPECT_EQ(TList().Count(), 42);
    zan::TStringList list;
    list.Add("a");
    EXPECT_EQ(list.Count(), 1);
    try {
        throw Exception("mine");
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "mine");
    }
    EXPECT_THROW(zan::ZanDatabaseError(8961, "TTest.Run"), zan::EZanDatabaseError);
    EXPECT_THROW(zan::ZanDatabaseError(8961, "TTest.Run"), zan::Exception);
}
