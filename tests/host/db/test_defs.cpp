#include <gtest/gtest.h>

#include "host/db/DB.h"

using namespace zan;

TEST(FieldDefs, AddNumbersAndFindsWithoutCase) {
    TFieldDefs defs;
    defs.Add("Id", ftInteger, 0, true);
    TFieldDef& name = defs.Add("Name", ftString, 40);
    EXPECT_EQ(defs.Count(), 2);
    EXPECT_EQ(defs[0].GetFieldNo(), 1);
    EXPECT_EQ(name.GetFieldNo(), 2);
    EXPECT_EQ(name.GetIndex(), 1);
    EXPECT_EQ(name.GetOwner(), &defs);
    EXPECT_TRUE(defs[0].GetRequired());
    EXPECT_EQ(name.GetSize(), 40);

    EXPECT_EQ(defs.IndexOf("NAME"), 1);
    EXPECT_EQ(defs.IndexOf("nAmE"), 1);
    EXPECT_EQ(defs.IndexOf("Nam"), -1);
    EXPECT_EQ(&defs.Find("id"), &defs[0]);

    try {
        defs.Find("Missing");
        FAIL() << "Find must raise";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Field 'Missing' not found");
    }
    EXPECT_THROW(defs.Items(2), Exception);
    EXPECT_THROW(defs.Items(-1), Exception);
    EXPECT_THROW(defs.Delete(5), Exception);
}

TEST(FieldDefs, DeleteAssignAndClear) {
    TFieldDefs defs;
    defs.Add("A", ftInteger);
    defs.Add("B", ftBCD, 8).SetPrecision(4);
    defs.Add("C", ftDate);
    defs.Delete(0);
    ASSERT_EQ(defs.Count(), 2);
    EXPECT_EQ(defs[0].GetName(), "B");
    EXPECT_EQ(defs[0].GetIndex(), 0);

    TFieldDefs copy;
    copy.Add("Old", ftMemo);
    copy.Assign(defs);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy[0].GetName(), "B");
    EXPECT_EQ(copy[0].GetDataType(), ftBCD);
    EXPECT_EQ(copy[0].GetSize(), 8);
    EXPECT_EQ(copy[0].GetPrecision(), 4);
    EXPECT_EQ(copy[0].GetFieldNo(), 2); // numbers travel with the definitions
    EXPECT_EQ(copy[0].GetOwner(), &copy);
    EXPECT_NE(&copy[0], &defs[0]);

    copy.Assign(copy); // self-assignment keeps the list
    EXPECT_EQ(copy.Count(), 2);
    copy.Clear();
    EXPECT_EQ(copy.Count(), 0);
    EXPECT_EQ(defs.Count(), 2);
}

TEST(IndexOptions, SetOperations) {
    TIndexOptions options;
    EXPECT_TRUE(options.empty());
    options.insert(ixUnique);
    options.insert(ixCaseInsensitive);
    EXPECT_TRUE(options.contains(ixUnique));
    EXPECT_FALSE(options.contains(ixPrimary));
    EXPECT_EQ(options, (TIndexOptions{ixCaseInsensitive, ixUnique}));
    options.erase(ixUnique);
    options.erase(ixUnique);
    EXPECT_EQ(options, TIndexOptions{ixCaseInsensitive});
    EXPECT_FALSE(options == TIndexOptions{});
    EXPECT_EQ(static_cast<int>(ixNonMaintained), 5);
}

TEST(IndexDefs, AddFindDeleteAssign) {
    TIndexDefs defs;
    TIndexDef& primary = defs.Add("PK", "Id", {ixPrimary, ixUnique});
    primary.SetDescFields("Id");
    defs.Add("ByName", "Last;First", {ixCaseInsensitive}).SetCaseInsFields("Last");
    EXPECT_EQ(defs.IndexOf("byname"), 1);
    EXPECT_EQ(&defs.Find("pk"), &primary);
    try {
        defs.Find("Nope");
        FAIL() << "Find must raise";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Index 'Nope' not found");
    }

    TIndexDefs copy;
    copy.Assign(defs);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy[0].GetDescFields(), "Id");
    EXPECT_EQ(copy[0].GetOptions(), (TIndexOptions{ixPrimary, ixUnique}));
    EXPECT_EQ(copy[1].GetCaseInsFields(), "Last");
    EXPECT_EQ(copy[1].GetIndex(), 1);

    copy.Delete(0);
    EXPECT_EQ(copy.Count(), 1);
    EXPECT_EQ(copy[0].GetName(), "ByName");
    EXPECT_THROW(copy.Delete(1), Exception);
}

TEST(IndexDefs, GetIndexForFields) {
    TIndexDefs defs;
    TIndexDef& wide = defs.Add("Wide", "Last;First;City", {});
    TIndexDef& desc = defs.Add("Desc", "Last;First", {ixDescending});
    TIndexDef& exact = defs.Add("Exact", "Last;First", {});
    TIndexDef& ci = defs.Add("Ci", "City", {ixCaseInsensitive});
    defs.Add("Expr", "Zip", {ixExpression});

    // An exact key wins over an earlier index that merely begins with the fields.
    EXPECT_EQ(defs.GetIndexForFields("last; FIRST", false), &exact);
    // Otherwise the first index whose key begins with the fields, at a field boundary.
    EXPECT_EQ(defs.GetIndexForFields("Last", false), &wide);
    EXPECT_EQ(defs.GetIndexForFields("Las", false), nullptr);
    EXPECT_EQ(defs.GetIndexForFields("First", false), nullptr);
    // Descending and expression indexes never qualify.
    EXPECT_EQ(defs.GetIndexForFields("Zip", false), nullptr);
    (void)desc;
    // Case-insensitive lookups only take indexes that ignore case.
    EXPECT_EQ(defs.GetIndexForFields("City", true), &ci);
    EXPECT_EQ(defs.GetIndexForFields("Last", true), nullptr);
    EXPECT_EQ(defs.GetIndexForFields("City", false), &ci);
    EXPECT_EQ(defs.GetIndexForFields("", false), nullptr);
}
