#include <gtest/gtest.h>

#include "host/rtl/Exceptions.h"

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
