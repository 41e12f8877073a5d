#include <gtest/gtest.h>

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
    auto failingRelease = [] { throw Exception("release failed"); };
    // Normal exit: the clean-up's failure reaches the caller.
    std::string normal = "no exception";
    try {
        TScopeExit release(failingRelease);
    } catch (const Exception& e) {
        normal = e.Message();
    }
    EXPECT_EQ(normal, "release failed");
    // Unwinding: the exception already on its way wins, the clean-up's is dropped.
    try {
        TScopeExit release(failingRelease);
        throw EConvertError("body failed");
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "body failed");
    }
    // A guard built inside a destructor that runs during unwinding counts only exceptions
    // raised after it: its failure on the normal exit of its scope still propagates there.
    std::string seen;
    struct TUnwinder {
        std::string& Seen;
        ~TUnwinder() {
            try {
                TScopeExit release([] { throw Exception("inner release failed"); });
            } catch (const Exception& e) {
                Seen = e.Message();
            }
        }
    };
    try {
        TUnwinder unwinder{seen};
        throw EConvertError("outer");
    } catch (const EConvertError&) {
    }
    EXPECT_EQ(seen, "inner release failed");
}
