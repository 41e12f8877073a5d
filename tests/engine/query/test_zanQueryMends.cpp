// Regression tests: SQL writes that must neither lose nor corrupt data.
#include <gtest/gtest.h>

#include "engine/query/sql_test_support.h"

using namespace zan;

namespace {

void FillLive(TQueryConnection& t) {
    t.Exec("CREATE TABLE t (id INTEGER NOT NULL, name VARCHAR(12), PRIMARY KEY (id))");
    for (int i = 4; i <= 6; ++i)
        t.Exec("INSERT INTO t VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "')");
}

} // namespace

// Another connection deletes the live row's record and a new row takes its slot (same stamp):
// a live edit or delete must fail with 8708 and leave the new row alone.
TEST(QueryMends, LiveWriteOfARowReplacedInItsSlot) {
    for (bool edit : {true, false}) {
        TQueryTestDb t(true, edit ? "slotedit.zan" : "slotdel.zan");
        FillLive(t);
        TZanQuery& q = t.Query;
        q.SetRequestLive(true);
        q.GetSQL().SetText("SELECT id, name FROM t WHERE id = 4");
        q.Open();
        {
            TQueryTestDb::TOther other(t.Path());
            other.Exec("DELETE FROM t WHERE id = 4");
            other.Exec("INSERT INTO t VALUES (40, 'other')");
        }
        if (edit) {
            q.Edit();
            q.FieldByName("name")->SetAsString("mine");
            EXPECT_EQ(ErrorCodeOf([&] { q.Post(); }), 8708);
            q.Cancel();
        } else {
            EXPECT_EQ(ErrorCodeOf([&] { q.Delete(); }), 8708);
        }
        q.Close();
        q.SetRequestLive(false);
        EXPECT_EQ(t.Select("SELECT id, name FROM t ORDER BY id"), "id\tname\n5\tn5\n6\tn6\n40\tother\n");
    }
}

// A correlated subquery in SET reads the row being updated.
TEST(QueryMends, SetSubqueryReadsTheUpdatedRow) {
    struct Case {
        const char* Sql;
        const char* After;
    } cases[] = {
        {"UPDATE c SET v = (SELECT d.v FROM d WHERE d.id = c.id) + 1",
         "id\tv\n1\t11\n2\t21\n3\t31\n"},
        {"UPDATE c SET v = (SELECT COUNT(*) FROM d WHERE d.v < c.id * 10)",
         "id\tv\n1\t0\n2\t1\n3\t2\n"},
        {"UPDATE c SET v = id + (SELECT MAX(d.v) FROM d WHERE d.id <> c.id) WHERE id >= 2",
         "id\tv\n1\t0\n2\t32\n3\t23\n"},
    };
    for (bool file : {true, false})
        for (const Case& c : cases) {
            TQueryTestDb t(file);
            t.Exec("CREATE TABLE c (id INTEGER NOT NULL, v INTEGER, PRIMARY KEY (id))");
            t.Exec("CREATE TABLE d (id INTEGER NOT NULL, v INTEGER, PRIMARY KEY (id))");
            for (int i = 1; i <= 3; ++i) {
                t.Exec("INSERT INTO c VALUES (" + std::to_string(i) + ", 0)");
                t.Exec("INSERT INTO d VALUES (" + std::to_string(i) + ", " + std::to_string(i * 10) + ")");
            }
            t.Exec(c.Sql);
            EXPECT_EQ(t.Select("SELECT id, v FROM c ORDER BY id"), c.After) << c.Sql;
        }
}

// NULL blobs are read, inserted and set through SQL like any NULL.
TEST(QueryMends, NullBlobs) {
    for (bool file : {true, false}) {
        TQueryTestDb t(file);
        t.Exec("CREATE TABLE s (id INTEGER, b BLOB(10, 2))");
        EXPECT_EQ(t.Exec("INSERT INTO s (id, b) VALUES (1, 'ab')"), 1);
        EXPECT_EQ(t.Exec("INSERT INTO s (id) VALUES (2)"), 1);
        EXPECT_EQ(t.Exec("INSERT INTO s (id, b) VALUES (3, NULL)"), 1);
        EXPECT_EQ(t.Exec("INSERT INTO s (id, b) VALUES (4, 'cd')"), 1);
        EXPECT_EQ(t.Exec("UPDATE s SET b = NULL WHERE id = 4"), 1);
        EXPECT_EQ(t.Select("SELECT id, b FROM s ORDER BY id"),
                  "id\tb\n1\t6162\n2\t\\N\n3\t\\N\n4\t\\N\n");
    }
}

// A value outside an integer column's range is refused (9985), never stored wrapped; ALTER
// TYPE leaves a value that does not fit NULL, as for any value that does not convert.
TEST(QueryMends, IntegerRanges) {
    TQueryTestDb t(true);
    t.Exec("CREATE TABLE s (id INTEGER, n SMALLINT, i INTEGER)");
    t.Exec("INSERT INTO s VALUES (1, 30000, 2000000000)");
    struct Case {
        const char* Sql;
        int32_t Code;
    } cases[] = {
        {"INSERT INTO s VALUES (2, 100000, 0)", 9985},
        {"INSERT INTO s VALUES (2, -32769, 0)", 9985},
        {"INSERT INTO s VALUES (2, 0, 10000000000)", 9985},
        {"INSERT INTO s VALUES (2, 0, -2147483649)", 9985},
        {"INSERT INTO s VALUES (2, 0, 99999999999.5)", 9985},
        {"UPDATE s SET n = n * 2", 9985},
        {"UPDATE s SET i = i + i", 9985},
        {"INSERT INTO s VALUES (2, -32768, -2147483648)", 0},
        {"INSERT INTO s VALUES (3, 32767, 2147483647)", 0},
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_EQ(t.ErrorOf(c.Sql, &message), c.Code) << c.Sql << ": " << message;
    }
    EXPECT_EQ(t.Select("SELECT id, n, i FROM s ORDER BY id"),
              "id\tn\ti\n1\t30000\t2000000000\n2\t-32768\t-2147483648\n3\t32767\t2147483647\n");
    t.Exec("INSERT INTO s VALUES (4, 0, -5)");
    t.Exec("ALTER TABLE s ALTER i TYPE SMALLINT");
    EXPECT_EQ(t.Select("SELECT id, i FROM s ORDER BY id"),
              "id\ti\n1\t\\N\n2\t\\N\n3\t\\N\n4\t-5\n");
}

// A parameter anywhere in a SET or VALUES expression is bound.
TEST(QueryMends, ParametersInsideExpressions) {
    TQueryTestDb t(true);
    t.Exec("CREATE TABLE p (id INTEGER, v INTEGER)");
    t.Query.GetSQL().SetText("INSERT INTO p VALUES (1, :a * 2)");
    t.Query.ParamByName("a")->SetAsInteger(5);
    t.Query.ExecSQL();
    t.Query.GetSQL().SetText("UPDATE p SET v = v + :a WHERE id = 1");
    t.Query.ParamByName("a")->SetAsInteger(7);
    t.Query.ExecSQL();
    EXPECT_EQ(t.Query.GetRowsAffected(), 1);
    EXPECT_EQ(t.Select("SELECT id, v FROM p"), "id\tv\n1\t17\n");
}

// A string longer than its column is refused as SQL (9645), at exactly the declared length.
TEST(QueryMends, StringLongerThanItsColumn) {
    TQueryTestDb t(true);
    t.Exec("CREATE TABLE s (id INTEGER, t VARCHAR(5))");
    std::string message;
    EXPECT_EQ(t.ErrorOf("INSERT INTO s VALUES (1, 'abcde')"), 0);
    EXPECT_EQ(t.ErrorOf("INSERT INTO s VALUES (2, 'abcdef')", &message), 9645);
    EXPECT_NE(message.find("Field data length is out of range"), std::string::npos) << message;
    EXPECT_EQ(t.ErrorOf("UPDATE s SET t = t || 'x'"), 9645);
    EXPECT_EQ(t.Select("SELECT id, t FROM s"), "id\tt\n1\tabcde\n");
}

// Unaliased select-list text over 40 bytes names a shortened, unique result field; the column
// still shows the whole text.
TEST(QueryMends, LongUnaliasedColumns) {
    TQueryTestDb t(true);
    t.Exec("CREATE TABLE s (id INTEGER, k INTEGER)");
    t.Exec("INSERT INTO s VALUES (1, 2)");
    const std::string e = "s.id + s.k + s.id + s.k + s.id + s.k + s.id + s.k";
    const std::string l = "'this is a fairly long literal string value 123'";
    EXPECT_EQ(t.Select("SELECT " + e + ", " + e + ", " + l + " FROM s ORDER BY " + e),
              e + "\t" + e + "\t" + l + "\n12\t12\tthis is a fairly long literal string value 123\n");
    t.Query.GetSQL().SetText("SELECT " + e + ", " + e + " FROM s");
    t.Query.Open();
    EXPECT_LE(t.Query.GetFields()[0]->GetFieldName().size(), 40u);
    EXPECT_NE(t.Query.GetFields()[0]->GetFieldName(), t.Query.GetFields()[1]->GetFieldName());
    t.Query.Close();
}

// The cursor itself: each integer type refuses what it cannot hold (9985) and keeps its
// bounds; a string field takes its declared size and no byte more (8581 for program code).
TEST(QueryMends, CursorFieldRanges) {
    TZanDataBase db;
    db.SetDataBaseName("MEMORY");
    db.Open();
    TFieldDefs fields;
    fields.Add("S", ftSmallint);
    fields.Add("W", ftWord);
    fields.Add("I", ftInteger);
    fields.Add("T", ftString, 5);
    {
        TZanDataSet c;
        c.SetDataBase(&db);
        c.SetTableName("r");
        c.SetTableDef(true, fields, TIndexDefs());
        c.InternalCreateTable();
    }
    TZanDataSet c;
    c.SetDataBase(&db);
    c.SetTableName("r");
    c.SetMemory(true);
    c.DataSetOpen();
    struct Case {
        int32_t Field;
        Variant Value;
        int32_t Code;
    } cases[] = {
        {0, Variant(int32_t(32768)), 9985},        {0, Variant(int32_t(-32769)), 9985},
        {0, Variant(int32_t(-32768)), 0},          {1, Variant(int32_t(65536)), 9985},
        {1, Variant(int32_t(-1)), 9985},           {1, Variant(int32_t(65535)), 0},
        {2, Variant(int64_t(1) << 31), 9985},      {2, Variant(-1e10), 9985},
        {2, Variant(int32_t(INT32_MIN)), 0},       {3, Variant("abcdef"), 8581},
        {3, Variant("abcde"), 0},
    };
    c.ClearRecord();
    for (const Case& k : cases)
        EXPECT_EQ(ErrorCodeOf([&] { c.DataSetSetFieldDataAsVariant(k.Field, k.Value); }), k.Code)
            << k.Field << " " << k.Value.AsString();
    c.AddRecord(true);
    ASSERT_TRUE(c.DataSetFirst());
    EXPECT_EQ(c.DataSetGetFieldDataAsVariant(0).AsInteger(), -32768);
    EXPECT_EQ(c.DataSetGetFieldDataAsVariant(1).AsInteger(), 65535);
    EXPECT_EQ(c.DataSetGetFieldDataAsVariant(2).AsInteger(), INT32_MIN);
    EXPECT_EQ(c.DataSetGetFieldDataAsVariant(3).AsString(), "abcde");
}
