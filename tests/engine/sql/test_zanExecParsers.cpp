// INSERT, UPDATE and DELETE parsers, row constructors and the schema-statement parser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/sql/zanExecParsers.h"
#include "engine/sql/zanMiscParsers.h"
#include "engine/storage/zanRestructure.h"
#include "host/rtl/SysUtils.h"
#include "support/zanMemProvider.h"

using namespace zan;

namespace {

struct Stmt {
    TZanPreParser pre;
    TParserStack* stack;
    explicit Stmt(const std::string& text) {
        pre.SetText(text);
        pre.SetParseSingleStack(true);
        pre.PreParseTokens();
        stack = pre.GetSingleStack();
    }
};

// t(a INTEGER, s VARCHAR(10), d DATE, bo BOOLEAN, f FLOAT).
const TInternalFields& Fields() {
    static TInternalFields fields;
    if (fields.Count()) return fields;
    TZanMemProvider t("t");
    t.AddField("a", ftInteger);
    t.AddField("s", ftString, 10);
    t.AddField("d", ftDate);
    t.AddField("bo", ftBoolean);
    t.AddField("f", ftFloat);
    TTableList list;
    t.AddToTableList(list);
    fields.Assign(list.Items(0)->GetTableFields());
    return fields;
}

std::string RowText(TZanRowConstructor& row) {
    std::string out;
    for (int i = 0; i < row.Count(); ++i) {
        const Variant v = row.Items(i)->GetRowData();
        out += (i ? "," : "") + (VarIsNull(v) ? std::string("NULL") : VarToStr(v));
    }
    return out;
}

} // namespace

TEST(ExecParsers, InsertParseAndValidate) {
    struct Case {
        std::string sql, expected; // row after validation, or the error
    };
    const std::vector<Case> cases = {
        {"INSERT INTO t VALUES (1, 'x', '2024-02-03', 'true', 1.5)", "1,x,2024-02-03,True,1.5"},
        {"INSERT INTO t (s, a) VALUES (NULL, '12')", "NULL,12"},
        {"INSERT INTO t (f, a) VALUES (2.5, 1.5)", "2.5,1.5"},
        {"INSERT INTO t (a) VALUES (1 + 2)", "3"},
        {"INSERT INTO t VALUES (1, 'x')",
         "Number of insert columns does not match number of insert values"},
        {"INSERT INTO t (a, s) VALUES (1)",
         "Number of insert columns does not match number of insert values"},
        {"INSERT INTO t () VALUES ()", "No insert columns were specified"},
        {"INSERT INTO t (nope) VALUES (1)", "Field not found : nope"},
        {"INSERT INTO t (a) VALUES ('abc')",
         "Expression data types do not match Line 1, Character 27. Token 'abc'"},
        {"INSERT INTO t (bo) VALUES ('yes')", "Expression data types do not match"},
        {"INSERT INTO t (d) VALUES ('2024-13-45')", "Value 2024-13-45 was not of the expected format"},
        {"INSERT INTO t (a, , s) VALUES (1, 2)", "Column specification is missing Line 1, Character 19."},
        {"INSERT INTO t (a) VALUES (b)", "Invalid token Line 1, Character 27. Token 'b'"},
        {"INSERT INTO t (a) VALUES (1.2.3)", "Invalid token"},
        {"INSERT INTO t (a) VALUES (1,)", "Column specification is missing"},
        {"INSERT INTO t (a VALUES (1)", "Missing Right Parenthesis"},
        {"INSERT INTO t (a) VALUES 1", "Missing Left Parenthesis"},
        {"INSERT INTO t (a) VALUES (1", "Expression incorrectly terminated"},
        {"INSERT INTO t (a) VALUES (1) x", "Insert statement incorrectly terminated Line 1, Character 30."},
        {"INSERT t (a) VALUES (1)", "Insert statement syntax is incorrect"},
        {"INSERT INTO", "Insert statement incorrectly terminated"},
        {"INSERT INTO t (a) SET", "Invalid token"},
    };
    const TInternalFields& fields = Fields();
    for (const auto& c : cases) {
        Stmt s(c.sql);
        TZanInsertParser p;
        bool ok = p.Execute(TZanParserOptions(), s.stack) && p.ValidateValueColumns(fields);
        std::string got;
        if (ok) {
            p.GetRowConstructor().Prepare(nullptr);
            got = RowText(p.GetRowConstructor());
        } else {
            got = p.GetErrorMsg();
        }
        EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << c.sql << "\n" << got;
    }
}

TEST(ExecParsers, SubqueryHandOverAndUpdate) {
    std::vector<TParserNotifyType> seen;
    const auto notify = [&](TParserNotifyType type, TBaseParser* parser, TParserStack*,
                            TZanExprNode* node, Variant&) {
        seen.push_back(type);
        EXPECT_EQ(node->Operator, zeoSUBQUERY);
        // The owner consumes the rest of the statement.
        while (parser->GetCurrToken() && parser->CurrentTokenType() != zstEnd) parser->NextToken();
    };
    {
        Stmt s("INSERT INTO t (f) SELECT a FROM u");
        TZanInsertParser p;
        p.SetParserNotifyEvent(notify);
        EXPECT_TRUE(p.Execute(TZanParserOptions(), s.stack)) << p.GetErrorMsg();
        EXPECT_TRUE(p.GetHasSelectClause());
        TInternalFields select;
        select.Add()->SetDataType(ftBoolean);
        EXPECT_FALSE(p.ValidateSelectColumns(select, Fields()));
        EXPECT_EQ(p.GetErrorMsg(), "Cannot convert type ftFloat -> ftBoolean");
    }
    TTableList tables;
    {
        Stmt s("DELETE FROM t WHERE a = 1");
        TZanDeleteParser p;
        p.SetTables(&tables);
        p.SetParserNotifyEvent(notify);
        EXPECT_TRUE(p.Execute(TZanParserOptions(), s.stack));
        EXPECT_TRUE(p.GetHasWhereClause());
        EXPECT_EQ(tables.Count(), 1);
    }
    EXPECT_EQ(seen.size(), 2u);
    const std::vector<std::pair<std::string, std::string>> updates = {
        {"UPDATE t SET a = '7', t.s = 'x' || 'y'", "7,xy"},
        {"UPDATE t SET a = a + 1 WHERE a > 1", "where"},
        {"UPDATE t SET a 5", "Missing assignment (=) token Line 1, Character 16. Token '5'"},
        {"UPDATE t SET u.a = 1", "Table and/or field not found Line 1, Character 14. Token 'u'"},
        {"UPDATE t SET = 1", "Update statement missing column reference"},
        {"UPDATE t SET a = ,", "Column specification is missing"},
        {"UPDATE t SET nope = 1", "Field not found : nope"},
        {"UPDATE t a = 1", "Update statement syntax is incorrect"},
        {"UPDATE t SET a = SUM(a)", "Scope is invalid"},
        {"DELETE t", "Delete statement syntax is incorrect"},
        {"DELETE FROM t x", "Delete statement incorrectly terminated Line 1, Character 15."},
    };
    for (const auto& [sql, expected] : updates) {
        Stmt s(sql);
        TTableList list;
        std::string got;
        if (sql.rfind("DELETE", 0) == 0) {
            TZanDeleteParser p;
            p.SetTables(&list);
            got = p.Execute(TZanParserOptions(), s.stack) ? "ok" : p.GetErrorMsg();
        } else {
            TZanUpdateParser p;
            p.SetTables(&list);
            p.SetParserNotifyEvent(notify);
            bool ok = p.Execute(TZanParserOptions(), s.stack) && p.ValidateValueColumns(Fields());
            if (ok && p.GetHasWhereClause()) {
                got = "where";
            } else if (ok) {
                p.GetSetList().Prepare(nullptr);
                got = RowText(p.GetSetList());
            } else {
                got = p.GetErrorMsg();
            }
        }
        EXPECT_EQ(got.substr(0, expected.size()), expected) << sql << "\n" << got;
    }
}

TEST(ExecParsers, ParameterBindingAndRebinding) {
    Stmt s("INSERT INTO t (a, s, f) VALUES (:p + 1, :q, :p * :p)");
    TZanInsertParser p;
    ASSERT_TRUE(p.Execute(TZanParserOptions(), s.stack)) << p.GetErrorMsg();
    TZanRowConstructor& row = p.GetRowConstructor();
    ASSERT_EQ(row.Count(), 3);
    EXPECT_TRUE(row.Items(0)->HasParameter);
    TParams params;
    params.CreateParam(ftInteger, "P", ptInput)->SetValue(Variant(int32_t(3)));
    params.CreateParam(ftString, "q", ptInput)->SetValue(Variant(std::string("x")));
    row.BindParams(params);
    TZanMemProvider provider("t");
    row.Prepare(&provider);
    EXPECT_EQ(RowText(row), "4,x,9");
    params.ParamByName("p")->SetValue(Variant(int32_t(5)));
    row.BindParams(params);
    EXPECT_EQ(RowText(row), "6,x,25");
    TParams missing;
    EXPECT_ANY_THROW(row.BindParams(missing));
}

TEST(SchemaParser, StatementsAndErrors) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"CREATE TABLE t (a INTEGER NOT NULL, b VARCHAR(20), PRIMARY KEY (a))", "ok 1 a"},
        {"CREATE TABLE TEMPORARY t (a AUTOINC)", "ok 1  temp"},
        {"CREATE TEMPORARY TABLE t (a INTEGER)", "Create statment is invalid Line 1, Character 8."},
        {"CREATE UNIQUE DESC INDEX x ON t (a, b)", "ok 3 a;b"},
        {"CREATE INDEX x t (a)", "Missing ON token"},
        {"CREATE INDEX x ON t (a, , b)", "Column specification is missing"},
        {"CREATE TABLE t (a INTEGER", "Missing Right Parenthesis"},
        {"CREATE TABLE t (a FOO)", ""},
        {"ALTER t ADD a INTEGER", "Alter table statment is invalid"},
        {"ALTER TABLE t ADD COLUMN x INTEGER, DROP a, ALTER b TO c, ALTER COLUMN d TYPE CHAR(3)",
         "ok 2"},
        {"ALTER TABLE t ALTER b RENAME c", "Invalid token Line 1, Character 23. Token 'RENAME'"},
        {"ALTER TABLE t FOO b", "Invalid token"},
        {"DROP VIEW v", "Drop statment is invalid"},
        {"DROP TABLE TEMPORARY t", "ok 4 temp"},
        {"DROP INDEX t PRIMARY", "ok 5"},
        {"DROP TABLE t x", "Invalid token Line 1, Character 14. Token 'x'"},
    };
    for (const auto& [sql, expected] : cases) {
        Stmt s(sql);
        TZanSchemaManipulationParser p;
        std::string got;
        if (p.Execute(TZanParserOptions(), s.stack)) {
            got = "ok " + std::to_string(p.GetOperation());
            if (p.GetOperation() == ddCreateTable) got += " " + p.GetIndexFieldsAsText();
            if (p.GetOperation() == ddCreateIndex) got += " " + p.GetIndexFieldsAsText();
            if (p.GetTemporaryTable()) got += " temp";
        } else {
            got = p.GetErrorMsg();
        }
        if (expected.empty())
            EXPECT_NE(got.substr(0, 2), "ok") << sql;
        else
            EXPECT_EQ(got.substr(0, expected.size()), expected) << sql << "\n" << got;
    }
    Stmt s("CREATE TABLE t (a INTEGER NOT NULL, b VARCHAR(20), c AUTOINC)");
    TZanSchemaManipulationParser p;
    ASSERT_TRUE(p.Execute(TZanParserOptions(), s.stack));
    const TInternalFields& f = p.GetAddedFields();
    ASSERT_EQ(f.Count(), 3);
    EXPECT_TRUE(f.Items(0)->GetRequired());
    EXPECT_EQ(f.Items(1)->GetDataType(), ftString);
    EXPECT_EQ(f.Items(1)->GetFieldSize(), 20);
    EXPECT_EQ(f.Items(2)->GetDataType(), ftAutoInc);
}

TEST(SchemaParser, ValidationAndRestructure) {
    TInternalFields table;
    for (const char* n : {"a", "b", "c"}) {
        TInternalFieldItem* f = table.Add();
        f->SetFieldName(n);
        f->SetDataType(ftInteger);
    }
    const auto fieldDefs = [] {
        auto defs = std::make_unique<TRestructureFieldDefs>();
        for (const char* n : {"a", "b", "c"}) defs->AddAndSetFieldDef(n, ftInteger, 0);
        return defs;
    };
    const auto indexDefs = [] {
        auto defs = std::make_unique<TRestructureIndexDefs>();
        defs->AddAndSetIndexDef("", "a", {ixPrimary});
        defs->AddAndSetIndexDef("ib", "b;c", {});
        return defs;
    };
    const std::vector<std::pair<std::string, std::string>> checks = {
        {"ALTER TABLE t ADD a INTEGER, DROP zz", "Field already exists Line 1, Character 19."},
        {"ALTER TABLE t DROP zz, ALTER yy TO b", "Field not found Line 1, Character 20."},
        {"ALTER TABLE t ALTER yy TO q", "Field not found"},
        {"ALTER TABLE t ALTER a TO b", "Field already exists Line 1, Character 26."},
        {"CREATE INDEX x ON t (a, zz)", "Field not found Line 1, Character 25. Token 'zz'"},
        {"CREATE INDEX x ON t ()", "No index columns specified"},
        {"CREATE INDEX ib ON t (a)", "Index already exists"},
        {"DROP INDEX t x", "Index not found"},
        {"DROP INDEX t PRIMARY", ""},
    };
    for (const auto& [sql, expected] : checks) {
        Stmt s(sql);
        TZanSchemaManipulationParser p;
        ASSERT_TRUE(p.Execute(TZanParserOptions(), s.stack)) << sql << p.GetErrorMsg();
        auto idx = indexDefs();
        const bool ok = p.ValidateTableChanges(table, idx.get());
        EXPECT_EQ(ok, expected.empty()) << sql;
        EXPECT_EQ(p.GetErrorMsg().substr(0, expected.size()), expected) << sql;
    }
    // A rename reaches the index field lists; dropped, added and retyped fields are applied.
    Stmt s("ALTER TABLE t ALTER b TO bb, DROP c, ADD n VARCHAR(5) NOT NULL, ALTER a TYPE FLOAT");
    TZanSchemaManipulationParser p;
    ASSERT_TRUE(p.Execute(TZanParserOptions(), s.stack)) << p.GetErrorMsg();
    ASSERT_TRUE(p.ValidateTableChanges(table, nullptr)) << p.GetErrorMsg();
    auto fields = fieldDefs();
    auto idx = indexDefs();
    p.SetRestructureFieldDefs(*fields);
    p.SetRestructureIndexDefs(*idx);
    ASSERT_EQ(fields->Count(), 3);
    EXPECT_EQ(fields->Items(0).GetName(), "a");
    EXPECT_EQ(fields->Items(0).GetDataType(), ftFloat);
    EXPECT_EQ(fields->Items(1).GetName(), "bb");
    EXPECT_EQ(fields->Items(1).GetSourceFieldName(), "b");
    EXPECT_EQ(fields->Items(2).GetName(), "n");
    EXPECT_EQ(fields->Items(2).GetSize(), 5);
    EXPECT_TRUE(fields->Items(2).GetRequired());
    EXPECT_EQ(idx->Items(1).GetFields(), "bb;c");
    // CREATE INDEX appends, DROP INDEX t PRIMARY removes the primary index.
    Stmt ci("CREATE UNIQUE INDEX ix ON t (c, a)");
    p.Clear();
    ASSERT_TRUE(p.Execute(TZanParserOptions(), ci.stack));
    p.SetRestructureIndexDefs(*idx);
    ASSERT_EQ(idx->Count(), 3);
    EXPECT_EQ(idx->Items(2).GetName(), "ix");
    EXPECT_EQ(idx->Items(2).GetFields(), "c;a");
    EXPECT_TRUE(idx->Items(2).GetOptions() == TIndexOptions({ixUnique}));
    Stmt dp("DROP INDEX t PRIMARY");
    p.Clear();
    ASSERT_TRUE(p.Execute(TZanParserOptions(), dp.stack));
    p.SetRestructureIndexDefs(*idx);
    ASSERT_EQ(idx->Count(), 2);
    EXPECT_EQ(idx->Items(0).GetName(), "ib");
}
