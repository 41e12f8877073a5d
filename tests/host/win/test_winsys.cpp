#include <gtest/gtest.h>

#include <cerrno>

#include "host/rtl/Random.h"
#include "host/win/WinSys.h"

using namespace zan;

TEST(WinSys, Identity) {
    EXPECT_FALSE(GetUserNameStr().empty());
    EXPECT_FALSE(GetComputerNameStr().empty());
    TOSVersion v;
    ASSERT_TRUE(GetOSVersion(v));
    EXPECT_EQ(v.SysName, "Linux");
    EXPECT_GT(v.Major, 0);
    EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
}

TEST(WinSys, ClockAndSleep) {
    uint32_t start = GetTickCount();
    Sleep(20);
    EXPECT_GE(static_cast<uint32_t>(GetTickCount() - start), 19u);
    EXPECT_NE(GetCurrentThreadId(), 0u);
}

TEST(Random, StaysInRange) {
    EXPECT_EQ(Random(0), 0);
    EXPECT_EQ(Random(-5), 0);
    bool seen[10] = {};
    for (int i = 0; i < 1000; ++i) {
        int32_t r = Random(10);
        ASSERT_GE(r, 0);
        ASSERT_LT(r, 10);
        seen[r] = true;
    }
    for (bool s : seen)
        EXPECT_TRUE(s);
    double f = RandomFloat();
    EXPECT_GE(f, 0.0);
    EXPECT_LT(f, 1.0);
}
