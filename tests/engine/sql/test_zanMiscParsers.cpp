// ORDER BY, GROUP BY and data-type parsers.
#include <gtest/gtest.h>

#include <string>

#include "engine/sql/zanMiscParsers.h"

using namespace zan;

namespace {

// Pre-parses a clause and leaves its stack after the clause word, as the parser engine hands
// it over (the previous clause parser stopped at that word).
struct Clause {
    TZanPreParser pre;
    TParserStack* stack;
    Clause(TZanSQLToken section, const std::string& text) {
        pre.SetText(text);
        pre.SetParseSingleStack(true);
        pre.PreParseTokens();
        const TParserToken* resume = pre.GetSingleStack()->Pop();
        stack = pre.GetSection(section, resume);
    }
};

std::string OrderBy(const std::string& clause, std::string* error = nullptr) {
    Clause c(zstOrderBy, "ORDER BY " + clause);
    TZanOrderByParser p;
    TOrderByItems items;
    const bool ok = p.ExecuteOrderBy(items, c.stack);
    if (error) *error = p.GetErrorMsg();
    if (!ok) return "error";
    std::string out;
    for (int i = 0; i < items.Count(); ++i) {
        const TOrderByItem* it = items.Items(i);
        out += (i ? "|" : "") + std::to_string(it->FieldIndex) + ":" + it->SortKey +
               (it->Descending ? ":desc" : "");
    }
    return out;
}

TEST(OrderByParser, Items) {
    const std::pair<const char*, const char*> cases[] = {
        {"2 DESC", "2::desc"},
        {"a + b", "0:a + b"},
        {"t.a DESC, 1 asc, b", "0:t.a:desc|1:|0:b"},
        {"[my col] DESCENDING", "0:my col:desc"},
        {"upper(name)  ,  x", "0:upper(name)|0:x"},
        {"a ASCENDING GROUP BY x", "error"},
        {"a b c DESC", "0:a b c:desc"},
        {"a;", "0:a"},
        {"1.5", "error"},
        {"0", "error"},
        {"-1", "error"},
        {"99999999999999999999", "error"},
        {"1.2.3", "error"},
        {"", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(OrderBy(text), expected) << text;
    std::string error;
    OrderBy("a,\n 1.5", &error);
    EXPECT_EQ(error, "Invalid token Line 2, Character 2. Token '1.5'");
    OrderBy("a HAVING", &error);
    EXPECT_EQ(error, "Order By clause incorrectly terminated Line 1, Character 12. Token 'HAVING'");
    TOrderByItems items;
    items.AddOrderByItem(1, "", false);
    TZanOrderByParser p;
    EXPECT_TRUE(p.ExecuteOrderBy(items, nullptr));
    EXPECT_EQ(items.Count(), 0);
}

std::string GroupBy(const std::string& clause, std::string* error = nullptr) {
    Clause c(zstGroupBy, "GROUP BY " + clause);
    TZanGroupByParser p;
    TGroupByItems items;
    const bool ok = p.ExecuteGroupBy(items, c.stack);
    if (error) *error = p.GetErrorMessage();
    if (!ok) return "error";
    std::string out;
    for (int i = 0; i < items.Count(); ++i)
        out += (i ? "|" : "") + items.Items(i)->TableName + "." + items.Items(i)->FieldName;
    return out;
}

TEST(GroupByParser, ItemsAndErrors) {
    std::string error;
    EXPECT_EQ(GroupBy("t.a, b"), "t.a|.b");
    EXPECT_EQ(GroupBy("a HAVING x > 1"), ".a");
    EXPECT_EQ(GroupBy("a ORDER BY a"), ".a");
    EXPECT_EQ(GroupBy("a UNION SELECT"), ".a");
    EXPECT_EQ(GroupBy("a,, b", &error), "error");
    EXPECT_EQ(error, "missing column name descriptor");
    EXPECT_EQ(GroupBy("1", &error), "error");
    EXPECT_EQ(error, "invalid column name descriptor");
    EXPECT_EQ(GroupBy("t.", &error), "error");
    EXPECT_EQ(error, "invalid column name descriptor");
    EXPECT_EQ(GroupBy("a WHERE", &error), "error");
    EXPECT_EQ(error, "invalid column name descriptor");
}

struct TypeResult {
    bool ok;
    TFieldType type;
    int32_t size, scale;
    bool notNull;
    std::string error;
};

TypeResult DataType(const std::string& text, bool constraints = false, bool allowAutoInc = false) {
    TZanPreParser pre;
    pre.SetText(text);
    pre.SetParseSingleStack(true);
    pre.PreParseTokens();
    TZanDataTypeParser p;
    p.Execute({}, pre.GetSingleStack());
    p.SetAllowConstraints(constraints);
    if (allowAutoInc) p.SetInvalidDataTypes({});
    TypeResult r;
    r.ok = p.ParseDataType();
    r.type = p.GetDataType();
    r.size = p.GetFieldSize();
    r.scale = p.GetScale();
    r.notNull = p.GetNotNull();
    r.error = p.GetErrorMessage();
    return r;
}

TEST(DataTypeParser, TypesSizesAndErrors) {
    struct Case {
        const char* text;
        bool ok;
        TFieldType type;
        int32_t size, scale;
        const char* error;
    } cases[] = {
        {"CHAR", true, ftString, 1, 0, ""},
        {"VARCHAR(20)", true, ftString, 20, 0, ""},
        {"CHARACTER (5)", true, ftString, 5, 0, ""},
        {"DECIMAL(10,2)", true, ftFloat, 10, 2, ""},
        {"NUMERIC", true, ftFloat, 0, 0, ""},
        {"FLOAT(8)", true, ftFloat, 8, 0, ""},
        {"INT", true, ftInteger, 0, 0, ""},
        {"SMALLINT", true, ftSmallint, 0, 0, ""},
        {"DATE", true, ftDate, 0, 0, ""},
        {"TIME(3)", true, ftTime, 3, 0, ""},
        {"TIMESTAMP", true, ftDateTime, 0, 0, ""},
        {"DATETIME(6)", true, ftDateTime, 6, 0, ""},
        {"BOOLEAN", true, ftBoolean, 0, 0, ""},
        {"MONEY", true, ftCurrency, 0, 0, ""},
        {"BLOB", true, ftBlob, 0, 0, ""},
        {"BLOB(0,1)", true, ftMemo, 0, 1, ""},
        {"BLOB(10,3)", true, ftFmtMemo, 10, 3, ""},
        {"BLOB(10,5)", true, ftGraphic, 10, 5, ""},
        {"BLOB(10,2)", true, ftBlob, 10, 2, ""},
        {"AUTOINC", false, ftAutoInc, 0, -1, "Data type is invalid"},
        {"REAL", false, ftUnknown, 0, -1, "Unknown Datatype"},
        {"DEC", false, ftUnknown, 0, -1, "Unknown Datatype"},
        {"DOUBLE PRECISION", false, ftUnknown, 0, -1, "Unknown Datatype"},
        {"x", false, ftUnknown, 0, -1, "Unknown Datatype"},
        {"CHAR(", false, ftString, 1, 0, "Data type length/precision not specified"},
        {"CHAR()", false, ftString, 1, 0, "Data type length/precision not specified"},
        {"CHAR(-1)", false, ftString, 1, 0, "Data type length/precision not specified"},
        {"CHAR(2.5)", false, ftString, 1, 0, "Data type length/precision not specified"},
        {"CHAR(4294967296)", false, ftString, 1, 0, "Data type length/precision not specified"},
        {"DECIMAL(10,-2)", false, ftFloat, 10, 0, "Data type scale invalid"},
        {"DECIMAL(10,x)", false, ftFloat, 10, 0, "Data type scale invalid"},
        {"DECIMAL(10", false, ftFloat, 10, 0, "Missing Right Parenthesis"},
        {"CHAR(10,2)", false, ftString, 10, 0, "Missing Right Parenthesis"},
    };
    for (const auto& c : cases) {
        const TypeResult r = DataType(c.text);
        EXPECT_EQ(r.ok, c.ok) << c.text;
        EXPECT_EQ(r.error, c.error) << c.text;
        if (c.type != ftUnknown) {
            EXPECT_EQ(r.type, c.type) << c.text;
        }
        EXPECT_EQ(r.size, c.size) << c.text;
        EXPECT_EQ(r.scale, c.scale) << c.text;
    }
    EXPECT_TRUE(DataType("AUTOINC", false, true).ok);
    EXPECT_TRUE(DataType("INT NOT NULL", true).notNull);
    EXPECT_FALSE(DataType("INT NOT NULL", false).notNull);
    const TypeResult r = DataType("INT NOT 5", true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Invalid token");
}

} // namespace
