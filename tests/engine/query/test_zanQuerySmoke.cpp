#include <gtest/gtest.h>

#include "query_test_support.h"

using namespace zan;

TEST(QuerySmoke, OneTableAndAJoin) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "a", {{"id", ftInteger}, {"name", ftString, 10}}, {},
                    {{Variant(1), Variant("x")}, {Variant(2), Variant("y")}, {Variant(3), Null()}});
    CreateTestTable(*db, "b", {{"aid", ftInteger}, {"v", ftInteger}}, {},
                    {{Variant(1), Variant(10)}, {Variant(1), Variant(11)}, {Variant(4), Variant(40)}});
    TZanQueryRunner q(*db);
    q.AddTable("a");
    q.AddTable("b");
    auto rows = q.Select("SELECT id, name FROM a WHERE id > 1");
    ASSERT_EQ(rows.size(), 2u);
    rows = q.Select("SELECT a.id, b.v FROM a, b WHERE a.id = b.aid");
    EXPECT_EQ(rows.size(), 2u);
    rows = q.Select("SELECT a.id, b.v FROM a LEFT JOIN b ON a.id = b.aid");
    EXPECT_EQ(rows.size(), 4u);
    for (auto& l : q.PlanLines()) std::cout << l << "\n";
}
