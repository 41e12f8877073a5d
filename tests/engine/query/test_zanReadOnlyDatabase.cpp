// A database opened ReadOnly, and a database file that is read-only on disk: reading works,
// every way of changing data is refused before anything changes.
#include "sql_test_support.h"

#include <sys/stat.h>

using namespace zan;

namespace {

// A connection that asks for a read-only database.
class TReadOnlyConnection : public TQueryConnection {
public:
    explicit TReadOnlyConnection(const std::string& path) {
        Db.SetReadOnly(true);
        Connect(path);
    }
};

// A file database with two rows, closed again.
std::string MakeDatabase(TTempFile& file) {
    TZanDataBase db;
    db.SetDataBaseName(file.Path);
    db.CreateDatabase();
    db.Open();
    TZanQuery q;
    q.SetDatabase(&db);
    for (const char* sql : {"CREATE TABLE t (id INTEGER, name VARCHAR(10))",
                            "INSERT INTO t VALUES (1, 'one')", "INSERT INTO t VALUES (2, 'two')"}) {
        q.GetSQL().SetText(sql);
        q.ExecSQL();
    }
    q.SetDatabase(nullptr);
    db.Close();
    return file.Path;
}

// Every change tried through a table cursor, SQL and a live query is refused; the data stays.
void ExpectNothingChanges(TReadOnlyConnection& c) {
    EXPECT_EQ(c.Select("SELECT id, name FROM t ORDER BY id"), "id\tname\n1\tone\n2\ttwo\n");
    TZanTable table;
    table.SetDataBase(&c.Db);
    table.SetTableName("t");
    table.Open();
    EXPECT_FALSE(table.CanModify());
    EXPECT_THROW(table.Edit(), EDatabaseError);
    EXPECT_THROW(table.Insert(), EDatabaseError);
    EXPECT_THROW(table.Delete(), EDatabaseError);
    EXPECT_EQ(table.GetState(), dsBrowse);
    table.Close();
    for (const char* sql : {"UPDATE t SET name = 'x'", "DELETE FROM t WHERE id = 1",
                            "INSERT INTO t VALUES (3, 'three')"})
        EXPECT_EQ(c.ErrorOf(sql), 10501) << sql;
    c.Query.SetRequestLive(true);
    c.Query.GetSQL().SetText("SELECT id, name FROM t");
    c.Query.Open();
    EXPECT_FALSE(c.Query.CanModify());
    EXPECT_THROW(c.Query.Edit(), EDatabaseError);
    c.Query.Close();
    c.Query.SetRequestLive(false);
    EXPECT_EQ(c.Select("SELECT id, name FROM t ORDER BY id"), "id\tname\n1\tone\n2\ttwo\n");
    EXPECT_FALSE(c.Db.InTransaction());
}

} // namespace

TEST(ReadOnlyDatabase, AReadOnlyConnectionReadsAndChangesNothing) {
    TTempFile file("ro_connection.zan");
    MakeDatabase(file);
    TReadOnlyConnection c(file.Path);
    ExpectNothingChanges(c);
}

TEST(ReadOnlyDatabase, AFileReadOnlyOnDiskOpensForReading) {
    TTempFile file("ro_disk.zan");
    MakeDatabase(file);
    ASSERT_EQ(chmod(file.Path.c_str(), 0444), 0);
    {
        TReadOnlyConnection c(file.Path);
        ExpectNothingChanges(c);
    }
    ASSERT_EQ(chmod(file.Path.c_str(), 0644), 0);
}
