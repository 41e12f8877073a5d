#include <gtest/gtest.h>

#include "engine/dataset/zanDatabase.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

TEST(ZanDatabaseSmoke, CreateConnect) {
    TTempFile file("smoke.zan");
    TZanDataBase db;
    db.SetDataBaseName(file.Path);
    db.CreateDatabase();
    db.Open();
    EXPECT_TRUE(db.GetConnected());
}
