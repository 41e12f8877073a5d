// The query component and its provider: statements that need no planner (schema statements,
// INSERT ... VALUES, DELETE of every row), parse errors with their texts, the transaction bracket.
#include "sql_test_support.h"

using namespace zan;

namespace {

class QueryTest : public ::testing::TestWithParam<bool> {};

int CountRows(TZanDataBase& db, const std::string& table) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(table);
    t.SetMemory(db.IsMemoryDatabase());
    t.Open();
    const int n = t.GetRecordCount();
    t.Close();
    return n;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(FileAndMemory, QueryTest, ::testing::Bool());

TEST_P(QueryTest, CreateTableInsertValuesAndDeleteAll) {
    TQueryTestDb t(GetParam());
    EXPECT_EQ(t.Exec("CREATE TABLE people (id INTEGER NOT NULL, name VARCHAR(20), born DATE, "
                     "score FLOAT, PRIMARY KEY (id))"),
              0);
    EXPECT_EQ(t.Exec("INSERT INTO people (id, name, born, score) VALUES (1, 'Ann', "
                     "'1990-05-01', 2.5)"),
              1);
    EXPECT_EQ(t.Exec("INSERT INTO people VALUES (2, 'Bob', NULL, NULL)"), 1);
    EXPECT_EQ(t.Exec("INSERT INTO people (name, id) VALUES ('Cy', 3)"), 1);
    EXPECT_EQ(CountRows(t.Db, "people"), 3);
    TZanTable check;
    check.SetDataBase(&t.Db);
    check.SetTableName("people");
    check.SetMemory(!GetParam());
    check.Open();
    ASSERT_TRUE(check.FindKey({Variant(1)}));
    EXPECT_EQ(check.FieldByName("name")->GetAsString(), "Ann");
    EXPECT_EQ(SqlFieldText(*check.FieldByName("born"), true), "1990-05-01");
    EXPECT_EQ(check.FieldByName("score")->GetAsFloat(), 2.5);
    ASSERT_TRUE(check.FindKey({Variant(3)}));
    EXPECT_TRUE(check.FieldByName("born")->IsNull());
    check.Close();
    EXPECT_EQ(t.Exec("DELETE FROM people"), 3);
    EXPECT_EQ(CountRows(t.Db, "people"), 0);
}

TEST_P(QueryTest, RefusalsCarryTheirTexts) {
    TQueryTestDb t(GetParam());
    t.Exec("CREATE TABLE t (a INTEGER, b CHAR(5))");
    const struct {
        const char* sql;
        int32_t code;
        const char* text;
    } cases[] = {
        {"", 9645, "SQL statment is empty. "},
        {"   ", 9645, "SQL statment is empty. "},
        {"EXPLAIN SELECT a FROM t", 9645, "Unrecognised SQL statement type"},
        {"CREATE TABLE t (x INTEGER)", 9645, "Table already exists: t. "},
        {"DROP TABLE nosuch", 9645, "Table not found: nosuch. "},
        {"INSERT INTO nosuch VALUES (1)", 9645, "Table not found - nosuch. "},
        {"INSERT INTO t VALUES (1)", 9645,
         "Number of insert columns does not match number of insert values"},
        {"INSERT INTO t VALUES (1, 'x', 3)", 9645,
         "Number of insert columns does not match number of insert values"},
        {"INSERT INTO t (a) VALUES (1, 2)", 9645,
         "Number of insert columns does not match number of insert values"},
        {"CREATE TABLE u (x TEXT)", 9645, "Unknown Datatype"},
        {"DELETE FROM t extra", 9645, "Delete statement incorrectly terminated"},
    };
    for (const auto& c : cases) {
        std::string message;
        EXPECT_EQ(t.ErrorOf(c.sql, &message), c.code) << c.sql;
        EXPECT_NE(message.find(c.text), std::string::npos) << c.sql << " -> " << message;
        EXPECT_FALSE(t.Db.InTransaction()) << c.sql;
    }
}

TEST(QueryComponent, NoDatabaseIs10112) {
    TZanQuery q;
    q.GetSQL().SetText("DELETE FROM t");
    EXPECT_EQ(ErrorCodeOf([&] { q.ExecSQL(); }), 10112);
    EXPECT_EQ(ErrorCodeOf([&] { q.Prepare(); }), 10112);
    EXPECT_EQ(ErrorCodeOf([&] { q.Open(); }), 10112);
}

TEST(QueryComponent, SchemaStatementInsideATransactionIs10122) {
    TQueryTestDb t(true);
    t.Db.StartTransaction();
    EXPECT_EQ(t.ErrorOf("CREATE TABLE x (a INTEGER)"), 10122);
    EXPECT_TRUE(t.Db.InTransaction());
    t.Db.Rollback();
}

TEST(QueryComponent, AutoTransactionCommitsAndNothingCommitsInsideTheApplications) {
    TQueryTestDb t(true, "autotx.zan");
    t.Exec("CREATE TABLE c (n INTEGER)");
    t.Exec("INSERT INTO c VALUES (1)");
    EXPECT_FALSE(t.Db.InTransaction());
    // Another connection sees the committed row.
    TZanDataBase other;
    other.SetDataBaseName(t.Path());
    other.Open();
    EXPECT_EQ(CountRows(other, "c"), 1);
    t.Db.StartTransaction();
    t.Exec("INSERT INTO c VALUES (2)");
    EXPECT_TRUE(t.Db.InTransaction());
    EXPECT_EQ(CountRows(other, "c"), 1);
    t.Db.Rollback();
    EXPECT_EQ(CountRows(t.Db, "c"), 1);
    other.Close();
}

TEST(QueryComponent, ParamsAreRebuiltWhenTheTextChangesUnlessParamCheckIsOff) {
    TQueryTestDb t(false);
    t.Exec("CREATE TABLE p (a INTEGER, b VARCHAR(10))");
    t.Query.GetSQL().SetText("INSERT INTO p (a, b) VALUES (:a, :b)");
    ASSERT_EQ(t.Query.GetParamCount(), 2);
    EXPECT_EQ(t.Query.GetParams()[0]->GetName(), "a");
    t.Query.ParamByName("a")->SetAsInteger(7);
    t.Query.ParamByName("b")->SetAsString("seven");
    t.Query.ExecSQL();
    EXPECT_EQ(t.Query.GetRowsAffected(), 1);
    t.Query.ParamByName("a")->SetAsInteger(8);
    t.Query.ExecSQL();
    EXPECT_EQ(CountRows(t.Db, "p"), 2);
    t.Query.SetParamCheck(false);
    t.Query.GetSQL().SetText("DELETE FROM p");
    EXPECT_EQ(t.Query.GetParamCount(), 2);
}

TEST(QuerySchema, AlterIndexesAndDropThroughSql) {
    TQueryTestDb t(true, "schema.zan");
    t.Exec("CREATE TABLE s (id INTEGER NOT NULL, name VARCHAR(10), price FLOAT, PRIMARY KEY (id))");
    t.Exec("INSERT INTO s VALUES (2, 'b', 1.5)");
    t.Exec("INSERT INTO s VALUES (1, 'a', 2.5)");
    EXPECT_EQ(t.Exec("ALTER TABLE s ADD COLUMN qty INTEGER, DROP price, ALTER name TO title"), 0);
    EXPECT_EQ(t.Select("SELECT id, title, qty FROM s ORDER BY id"),
              "id\ttitle\tqty\n1\ta\t\\N\n2\tb\t\\N\n");
    EXPECT_EQ(t.Exec("CREATE UNIQUE INDEX ix_title ON s (title)"), 0);
    std::string message;
    EXPECT_EQ(t.ErrorOf("INSERT INTO s (id, title) VALUES (3, 'a')", &message), 9729) << message;
    EXPECT_EQ(t.Exec("DROP INDEX s ix_title"), 0);
    EXPECT_EQ(t.Exec("INSERT INTO s (id, title) VALUES (3, 'a')"), 1);
    EXPECT_EQ(t.ErrorOf("ALTER TABLE s DROP nope", &message), 9645);
    EXPECT_EQ(t.Exec("DROP TABLE s"), 0);
    EXPECT_EQ(t.ErrorOf("DROP TABLE s", &message), 9645);
    EXPECT_NE(message.find("Table not found: s"), std::string::npos) << message;
    EXPECT_FALSE(t.Db.GetExclusive());
}

TEST(QuerySchema, TheExclusiveReopenKeepsTheMasterKey) {
    TTempFile file("keyed.zan");
    TZanDataBase db;
    db.SetDataBaseName(file.Path);
    db.SetUseEncryption(true);
    db.SetMasterKey("open sesame");
    db.CreateDatabase();
    db.Open();
    {
        TZanQuery q;
        q.SetDatabase(&db);
        q.GetSQL().SetText("CREATE TABLE k (a INTEGER, b VARCHAR(5))");
        q.ExecSQL();
        q.GetSQL().SetText("CREATE INDEX ix_b ON k (b)");
        q.ExecSQL();
        EXPECT_TRUE(db.GetConnected());
        EXPECT_EQ(db.GetMasterKey(), "open sesame");
        q.GetSQL().SetText("INSERT INTO k VALUES (1, 'x')");
        q.ExecSQL();
        EXPECT_EQ(q.GetRowsAffected(), 1);
    }
    db.Close();
}
