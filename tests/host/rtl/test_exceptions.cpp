#include <gtest/gtest.h>

#include <functional>

#include "host/rtl/Exceptions.h"
#include "host/rtl/ScopeExit.h"

using namespace zan;

TEST(Exceptions, ClassNamesAndMessages) {
    try {
        throw EConvertError("bad");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "EConvertError");
        EXPECT_EQ(e.Message(), "bad");
    }
    EXPECT_THROW(Abort(), EAbort);
}

TEST(Exceptions, AssertThrowsWithFileAndLine) {
    EXPECT_NO_THROW(Assert(true, "never"));
    try {
        Assert(false, "broken invariant");
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message().rfind("broken invariant (test_exceptions.cpp, line ", 0), 0u);
    }
}

TEST(Exceptions, ScopeExitRaisesAFailingCleanUpOnlyWhenNothingUnwinds) {
    // Runs a scope guarded by a failing release, the body optionally failing too; the message
    // that reaches the caller.
    auto outcome = [](bool bodyFails) -> std::string {
        try {
            TScopeExit release([] { throw Exception("release failed"); });
            if (bodyFails) throw EConvertError("body failed");
        } catch (const Exception& e) {
            return e.Message();
        }
        return "no exception";
    };
    EXPECT_EQ(outcome(false), "release failed");
    EXPECT_EQ(outcome(true), "body failed");
    // Inside a destructor run by unwinding, a guard counts only exceptions raised after it.
    std::string seen;
    struct TUnwinder {
        std::function<std::string(bool)> Run;
        std::string& Seen;
        ~TUnwinder() { Seen = Run(false); }
    };
    try {
        TUnwinder unwinder{outcome, seen};
        throw EConvertError("outer");
    } catch (const EConvertError&) {
    }
    EXPECT_EQ(seen, "release failed");
}
