// Field read privileges through SQL: a limited user's statement that reads a field it may not
// read fails with 10624 naming the field, wherever the statement reads it; the same statements
// over readable fields run.
#include <gtest/gtest.h>

#include "engine/dataset/security_test_support.h"
#include "engine/query/zanSQL.h"

using namespace zan;

namespace {

struct TPrivilegeCase {
    const char* Place;
    const char* Sql;
    // The unreadable field the error names; empty when the statement runs.
    const char* Field;
};

// T.Code and T.Note are unreadable for the clerk; U is readable throughout.
const TPrivilegeCase C_CASES[] = {
    {"select list", "SELECT Id, Code FROM T", "Code"},
    {"select star", "SELECT * FROM T", "Code"},
    {"select expression", "SELECT Id + 1, Code || 'x' FROM T", "Code"},
    {"aggregate", "SELECT COUNT(Code) FROM T", "Code"},
    {"grouped", "SELECT Code, COUNT(*) FROM T GROUP BY Code", "Code"},
    {"distinct", "SELECT DISTINCT Code FROM T", "Code"},
    {"where", "SELECT Id FROM T WHERE Code = 'c1'", "Code"},
    {"where is null", "SELECT Id FROM T WHERE Code IS NULL", "Code"},
    {"where like", "SELECT Id FROM T WHERE Code LIKE 'c%'", "Code"},
    {"where or", "SELECT Id FROM T WHERE Id = 7 OR Code = 'c1'", "Code"},
    {"join on", "SELECT T.Id FROM T JOIN U ON T.Code = U.Code", "Code"},
    {"join on, inner side", "SELECT U.Id FROM U JOIN T ON U.Code = T.Code", "Code"},
    {"left join on", "SELECT U.Id FROM U LEFT JOIN T ON U.Code = T.Code", "Code"},
    {"right join on", "SELECT T.Id FROM T RIGHT JOIN U ON T.Code = U.Code", "Code"},
    {"join in where", "SELECT T.Id FROM T, U WHERE T.Code = U.Code", "Code"},
    // ORDER BY names result columns only, so its column is read as a selected one.
    {"order by", "SELECT Code AS k, Id FROM T ORDER BY k DESC", "Code"},
    {"update source", "UPDATE T SET Name = Code", "Code"},
    {"update where", "UPDATE T SET Name = 'x' WHERE Code = 'c1'", "Code"},
    {"delete where", "DELETE FROM T WHERE Code = 'c1'", "Code"},
    {"subquery select", "SELECT Id FROM U WHERE Code IN (SELECT Code FROM T)", "Code"},
    {"subquery where", "SELECT Id FROM U WHERE EXISTS (SELECT Id FROM T WHERE Code = 'c1')",
     "Code"},
    {"correlated subquery",
     "SELECT Id FROM U WHERE EXISTS (SELECT Id FROM T WHERE T.Code = U.Code)", "Code"},
    {"scalar subquery", "SELECT Id FROM U WHERE Name = (SELECT MAX(Code) FROM T)", "Code"},
    {"memo", "SELECT Id FROM T WHERE Note IS NULL", "Note"},
    // Readable fields in every place.
    {"readable select", "SELECT Id, Name, Amount FROM T WHERE Name = 'n1' ORDER BY Name", ""},
    {"readable join", "SELECT T.Id, U.Code FROM T JOIN U ON T.Name = U.Name", ""},
    {"readable group", "SELECT Name, COUNT(*) FROM T GROUP BY Name", ""},
    {"readable update", "UPDATE T SET Code = Name WHERE Id = 1", ""},
    {"readable delete", "DELETE FROM T WHERE Name = 'n2'", ""},
    {"readable subquery", "SELECT Id FROM U WHERE Name IN (SELECT Name FROM T)", ""},
};

class QueryPrivileges : public ::testing::Test {
protected:
    void SetUp() override {
        CreateSecuredFile(FFile.Path);
        auto admin = ConnectAs(FFile.Path, C_ADMIN_USER, "plinth");
        for (const std::string table : {"T", "U"}) {
            // An index on Code lets a WHERE on it be answered from the index alone.
            TTableDef def;
            BuildUserTableDef(def, table);
            AddTableIndex(def, "ixCode", "Code", false, false);
            admin->CreateTable(def, false);
            TZanTable t;
            t.SetDataBase(admin.get());
            t.SetTableName(table);
            t.Open();
            for (int id = 1; id <= 2; ++id) {
                t.Append();
                t.FieldByName("Id")->SetAsInteger(id);
                t.FieldByName("Code")->SetAsString("c" + std::to_string(id));
                t.FieldByName("Name")->SetAsString("n" + std::to_string(id));
                t.Post();
            }
        }
        TSecurityManager& sm = admin->GetSecurityManager();
        sm.AddGroup("clerks");
        sm.AddUser("clerk", "pw", "clerks");
        Grant(sm, "clerks", "T", {opExecuteObj, opInsertData, opDeleteData});
        Grant(sm, "clerks", "T", {opReadData}, "Id, Name, Amount");
        Grant(sm, "clerks", "T", {opUpdateData}, "Code, Name");
        Grant(sm, "clerks", "U",
              {opExecuteObj, opInsertData, opDeleteData, opReadData, opUpdateData});
    }

    TTempFile FFile{"privileges.zan"};
};

TEST_F(QueryPrivileges, UnreadableFieldFailsInEveryPlace) {
    for (const TPrivilegeCase& c : C_CASES) {
        SCOPED_TRACE(c.Place);
        auto db = ConnectAs(FFile.Path, "clerk", "pw");
        TZanQuery query;
        query.SetDatabase(db.get());
        query.GetSQL().SetText(c.Sql);
        std::string message;
        const int32_t code = ErrorCodeOf(
            [&] {
                query.Prepare();
                if (query.GetSQLStatementType() == zsSQLSelect) {
                    query.Open();
                    // Reading every row of the result is part of running the statement.
                    for (query.First(); !query.GetEOF(); query.Next())
                        for (int i = 0; i < query.GetFields().Count(); ++i)
                            query.GetFields().Fields(i)->GetAsVariant();
                } else {
                    query.ExecSQL();
                }
            },
            &message);
        if (*c.Field) {
            EXPECT_EQ(code, 10624) << message;
            EXPECT_NE(message.find(c.Field), std::string::npos) << message;
        } else {
            EXPECT_EQ(code, 0) << message;
        }
        EXPECT_FALSE(db->InTransaction());
        query.Close();
        query.SetDatabase(nullptr);
    }
}

} // namespace
