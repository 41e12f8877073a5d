// Scanner, token stacks, parser base, mappers and pre-parser.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/sql/zanBaseParser.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

std::string KindName(TZanSQLToken t) {
    return std::string(ZanSQLTokenName(t).substr(3));
}

// Every token up to the final empty end: "Kind(text)" joined by blanks; with positions
// "Kind(text)@line:col".
std::string Scan(std::string_view text, bool positions = false) {
    TZanTokenParser scanner;
    scanner.SetTokenString(text);
    std::string out;
    for (int guard = 0; guard < 1000; ++guard) {
        std::string tokenText;
        const TZanSQLToken t = scanner.GetNextToken(tokenText);
        if (t == zstEnd && tokenText.empty()) break;
        if (!out.empty()) out += ' ';
        out += KindName(t) + "(" + tokenText + ")";
        if (positions)
            out += "@" + std::to_string(scanner.GetTokenLine()) + ":" +
                   std::to_string(scanner.GetTokenColumn());
    }
    return out;
}

struct ScanCase {
    const char* text;
    const char* tokens;
};

const ScanCase kScanCases[] = {
    // qualified names and quoting
    {"T.Name", "TableName(T) FieldName(Name)"},
    {"T.*", "TableName(T) Mult(*)"},
    {"\"my table\".x", "TableName(my table) FieldName(x)"},
    {"[my col].x", "TableName(my col) FieldName(x)"}, // a bracketed table name qualifies
    {"[my col] .x", "FieldName(my col) FieldName(x)"},
    {"t.[a b]", "TableName(t) FieldName(a b)"},
    {"t.select", "TableName(t) FieldName(select)"},
    {"'it''s'", "StringLiteral(it's)"},
    {"\"it\"\"s\"", "Value(it\"s)"},
    {"#a##", "Value(a) FieldName(#)"},
    {"`x` 'unterminated", "Value(x) FieldName('unterminated)"},
    {"[abc", "FieldName([abc)"},
    {"a'b'", "FieldName(a) StringLiteral(b)"},
    // operators and numbers
    {"a>=b", "FieldName(a) CompOperator(>=) FieldName(b)"},
    {"a=<>b", "FieldName(a) CompOperator(=<>) FieldName(b)"},
    {"x=-1", "FieldName(x) CompOperator(=) Number(-1)"},
    {"x - 1", "FieldName(x) Sub(-) Number(1)"},
    {"x-1", "FieldName(x) Sub(-) Number(1)"},
    {"x -1", "FieldName(x) Sub(-) Number(1)"},
    {"(-1)", "LParen(() Number(-1) RParen())"},
    {"IN (1,-2)", "In(IN) LParen(() Number(1) Comma(,) Number(-2) RParen())"},
    {"3+.5 x=.25", "Number(3) Add(+) Number(.5) FieldName(x) CompOperator(=) Number(.25)"},
    {"t.5", "TableName(t) Number(.5)"},
    {"'a' -1", "StringLiteral(a) Sub(-) Number(1)"},
    {") +1", "RParen()) Add(+) Number(1)"},
    {"1.2.3 *2", "Number(1.2.3) Mult(*) Number(2)"},
    {"(1e3,.5E-1,-1e+2) 1e", "LParen(() Number(1e3) Comma(,) Number(.5E-1) Comma(,) Number(-1e+2) "
                             "RParen()) Number(1) FieldName(e)"},
    {"a--b", "FieldName(a) Sub(-) Sub(-) FieldName(b)"},
    {"a||b a || b", "FieldName(a||b) FieldName(a) Concatenate(||) FieldName(b)"},
    {"a/b", "FieldName(a) Div(/) FieldName(b)"},
    // comments
    {"a // rest\nb", "FieldName(a) Comment(// rest) FieldName(b)"},
    {"a /* x */ b /* open", "FieldName(a) Comment(/* x */) FieldName(b) Comment(/* open)"},
    {"a /*c*/ -1", "FieldName(a) Comment(/*c*/) Sub(-) Number(1)"},
    // parameters, separators
    {":p, a:b;", "Parameter(:) FieldName(p) Comma(,) FieldName(a:b) End(;)"},
    // keywords, look-ahead and case
    {"sElEcT a FROM t", "Select(sElEcT) FieldName(a) From(FROM) FieldName(t)"},
    {"a is not  null", "FieldName(a) IsNotNull(is not null)"},
    {"a IS NULL", "FieldName(a) IsNull(IS NULL)"},
    {"a IS TRUE", "FieldName(a) Value(IS) True(TRUE)"},
    {"a IS NOT TRUE", "FieldName(a) Value(IS) Not(NOT) True(TRUE)"},
    {"NOT LIKE NOT BETWEEN NOT IN NOT x",
     "NotLike(NOT LIKE) NotBetween(NOT BETWEEN) NotIn(NOT IN) Not(NOT) FieldName(x)"},
    {"NOT NOT NOT NOT a", "Not(NOT) Not(NOT) Not(NOT) Not(NOT) FieldName(a)"},
    {"GROUP BY ORDER BY FOR UPDATE PRIMARY KEY",
     "GroupBy(GROUP BY) OrderBy(ORDER BY) ForUpdate(FOR UPDATE) PrimaryKey(PRIMARY KEY)"},
    {"GROUP x ORDER FOR y", "FieldName(GROUP) FieldName(x) FieldName(ORDER) For(FOR) FieldName(y)"},
    {"SELECT DISTINCT a WHERE DISTINCT",
     "Select(SELECT) Distinct(DISTINCT) FieldName(a) Where(WHERE) FieldName(DISTINCT)"},
    {"count(*) SUM avg", "AggFunc(count) LParen(() Mult(*) RParen()) AggFunc(SUM) AggFunc(avg)"},
    {"DEC REAL DOUBLE PRECISION",
     "DataType(DEC) DataType(REAL) FieldName(DOUBLE) FieldName(PRECISION)"},
    {"CHARACTER INT DATETIME FLOAT", "Char(CHARACTER) Int(INT) TimeStamp(DATETIME) Numeric(FLOAT)"},
    {"upper trim substring", "StrFunc(upper) StrFunc(trim) StrFunc(substring)"},
    {"ADD ASCENDING desc", "AddWord(ADD) Ascending(ASCENDING) Descending(desc)"},
    {"CURRENT_DATE -1", "CurrentDate(CURRENT_DATE) Sub(-) Number(1)"},
    {"\xC3\xA9t\xC3\xA9 = 1", "FieldName(\xC3\xA9t\xC3\xA9) CompOperator(=) Number(1)"},
};

class ScannerTable : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScannerTable, Tokens) {
    EXPECT_EQ(Scan(GetParam().text), GetParam().tokens) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ScannerTable, ::testing::ValuesIn(kScanCases));

TEST(Scanner, LinesAndColumns) {
    // CR LF and LF CR are one break, LF LF and CR CR two.
    EXPECT_EQ(Scan("a\r\nb\n\rc\n\nd\r\re", true),
              "FieldName(a)@1:1 FieldName(b)@2:1 FieldName(c)@3:1 FieldName(d)@5:1 "
              "FieldName(e)@7:1");
    EXPECT_EQ(Scan("SELECT  x,\n  t.y", true),
              "Select(SELECT)@1:1 FieldName(x)@1:9 Comma(,)@1:10 TableName(t)@2:3 "
              "FieldName(y)@2:5");
    EXPECT_EQ(Scan("'a\nb' c", true), "StringLiteral(a\nb)@1:1 FieldName(c)@2:4");
    // A token of several words is where its first word is.
    EXPECT_EQ(Scan("a IS\n NOT NULL ORDER  BY", true),
              "FieldName(a)@1:1 IsNotNull(IS NOT NULL)@1:3 OrderBy(ORDER BY)@2:11");
}

TEST(Scanner, RawTextKeepsBlanksAndCommentsButNotLineBreaks) {
    TZanTokenParser scanner;
    scanner.SetTokenString("a  /*c*/\r\n b IS  NOT NULL");
    std::string text;
    scanner.GetNextToken(text);
    EXPECT_EQ(scanner.GetRawTokenText(), "a");
    scanner.GetNextToken(text);
    EXPECT_EQ(scanner.GetRawTokenText(), "  /*c*/");
    scanner.GetNextToken(text);
    EXPECT_EQ(scanner.GetRawTokenText(), " b");
    EXPECT_EQ(scanner.GetNextToken(text), zstIsNotNull);
    EXPECT_EQ(scanner.GetRawTokenText(), " IS  NOT NULL");
}

TEST(Scanner, LookAheadRestoresOnMismatch) {
    TZanTokenParser scanner;
    scanner.SetTokenString("x  y");
    std::string text = "w";
    scanner.GetNextToken(text);
    EXPECT_FALSE(scanner.NextTokenIs("z", text));
    EXPECT_EQ(text, "x");
    EXPECT_TRUE(scanner.NextTokenIs("Y", text));
    EXPECT_EQ(text, "x y");
    EXPECT_EQ(scanner.GetNextToken(text), zstEnd);
}

TEST(Scanner, EmbeddedNulEndsTheText) {
    TZanTokenParser scanner;
    scanner.SetTokenString(std::string_view("a \0b", 4));
    std::string text;
    EXPECT_EQ(scanner.GetNextToken(text), zstFieldName);
    EXPECT_EQ(scanner.GetNextToken(text), zstEnd);
    EXPECT_EQ(scanner.GetUnparsedText(), std::string("\0b", 2));
}

TEST(Scanner, LongInputsScanInLinearTime) {
    // Unclosed quotes of every kind, a huge number and a huge word: each scans once.
    for (char q : {'[', '#', '`', '\'', '"'}) {
        const std::string text(1 << 20, q);
        TZanPreParser pre;
        pre.SetText(text);
        pre.SetParseSingleStack(true);
        pre.PreParseTokens();
        EXPECT_GE(pre.GetSingleStackCount(), 1);
    }
    TZanTokenParser scanner;
    scanner.SetTokenString(std::string(10000, '9') + " " + std::string(1 << 20, 'x'));
    std::string text;
    EXPECT_EQ(scanner.GetNextToken(text), zstNumber);
    EXPECT_EQ(text.size(), 10000u);
    EXPECT_EQ(scanner.GetNextToken(text), zstFieldName);
    EXPECT_EQ(text.size(), 1u << 20);
}

TEST(NumberTokens, StrictReader) {
    struct Case {
        const char* text;
        bool number;
        bool whole;
    } cases[] = {
        {"12", true, true},      {"-12", true, true},   {"+3", true, true},
        {"1.5", true, false},    {".5", true, false},   {"5.", true, false},
        {"1.2.3", false, false}, {"-.", false, false},  {"-", false, false},
        {"", false, false},      {"1e5", true, false},  {"4294967296", true, false},
        {"-2.5E-3", true, false}, {"1e+2", true, false}, {"1e", false, false},
        {"1e+", false, false},   {"e5", false, false},  {"1e5.5", false, false},
        {"1e400", false, false},
    };
    for (const auto& c : cases) {
        double d = 0;
        int32_t i = 0;
        EXPECT_EQ(ZanReadNumberToken(c.text, d), c.number) << c.text;
        EXPECT_EQ(ZanReadWholeNumberToken(c.text, i), c.whole) << c.text;
    }
    double d = 0;
    EXPECT_FALSE(ZanReadNumberToken(std::string(400, '9'), d));
    EXPECT_TRUE(ZanReadNumberToken("-1.25", d));
    EXPECT_EQ(d, -1.25);
    EXPECT_TRUE(ZanReadNumberToken("-2.5E-3", d));
    EXPECT_EQ(d, -0.0025);
}

// ---- Stacks and parser base ----

TEST(ParserStack, OrderCountsAndCopies) {
    TParserTokenList owner;
    for (const char* s : {"a", "b", "c"})
        owner.push_back(TParserToken{0, 0, zstFieldName, zstSelect, s, 0, s});
    TParserStack stack;
    stack.Push(&owner[1]);
    stack.Queue(&owner[0]);
    stack.Push(&owner[2]);
    ASSERT_EQ(stack.Count(), 3);
    EXPECT_EQ(stack.PeekAt(0)->Text, "c");
    EXPECT_EQ(stack.PeekAt(2)->Text, "a");
    EXPECT_EQ(stack.PeekAt(3), nullptr);
    EXPECT_TRUE(stack.AtLeast(3));
    EXPECT_FALSE(stack.AtLeast(4));
    stack.SetCountTo(5);
    EXPECT_EQ(stack.Count(), 3);

    TParserTokenList copies;
    TParserStack copy;
    copy.CopyStack(stack, copies);
    EXPECT_EQ(copies.size(), 3u);
    EXPECT_EQ(copy.Pop()->Text, "c");
    EXPECT_NE(copy.Peek(), &owner[1]);
    EXPECT_EQ(copy.Peek()->Text, "b");
    stack.SetCountTo(1);
    EXPECT_EQ(stack.Pop()->Text, "a");
    EXPECT_EQ(stack.Pop(), nullptr);
}

TEST(BaseParser, FirstErrorWinsAndBothFormats) {
    TParserToken t{5, 2, zstFieldName, zstSelect, "x", 0, " x"};
    TParserToken u{1, 1, zstFieldName, zstSelect, "y", 0, "y"};
    TBaseParser p;
    EXPECT_EQ(p.GetErrorMsg(), "");
    p.SetError(&t, "Invalid token");
    p.SetError(&u, "Other");
    EXPECT_TRUE(p.HasParseError());
    EXPECT_EQ(p.GetErrorMsg(), "Invalid token Line 2, Character 5. Token 'x'");
    EXPECT_EQ(p.GetErrorMsgNoLine(), "Invalid token Character 5. Token 'x'");
    p.ClearError();
    p.SetError(nullptr, "Bare");
    EXPECT_EQ(p.GetErrorMsg(), "Bare");
}

TZanPreParser& PreParse(TZanPreParser& pre, std::string_view text, bool single = true) {
    pre.SetText(text);
    pre.SetParseSingleStack(single);
    pre.PreParseTokens();
    return pre;
}

TEST(BaseParser, ExecutePeekEndAndParsedText) {
    TZanPreParser pre;
    PreParse(pre, "SELECT a , b)");
    TBaseParser p;
    EXPECT_FALSE(p.Execute(ZanParserOptions({zpoExtSyntax}), pre.GetSingleStack()));
    EXPECT_TRUE(p.HasOption(zpoExtSyntax));
    EXPECT_EQ(p.CurrentTokenType(), zstSelect);
    EXPECT_EQ(p.PeekAtTokenType(0), zstFieldName);
    EXPECT_EQ(p.PeekAtTokenType(4), zstEnd);
    EXPECT_EQ(p.PeekAtTokenType(5), zstUnknown);
    p.NextToken();
    p.NextToken();
    EXPECT_TRUE(p.TokenSymbolIs(","));
    EXPECT_EQ(p.GetParsedText(), "SELECT a ,");
    p.RemoveCurrentTokenFromParsedText();
    EXPECT_EQ(p.GetParsedText(), "SELECT a");
    p.NextToken();
    p.NextToken();
    EXPECT_EQ(p.CurrentTokenType(), zstRParen);
    EXPECT_FALSE(p.AtEndToken());
    p.SetIsSubquery(true);
    EXPECT_TRUE(p.AtEndToken());

    // A parser that inherits a current token does not pop another one.
    TBaseParser q;
    q.SyncCurrToken(p);
    q.Execute({}, pre.GetSingleStack());
    EXPECT_EQ(q.CurrentTokenType(), zstRParen);
    EXPECT_EQ(q.GetParsedText(), ")");
}

TEST(Mappers, WordsAndOrdinals) {
    TAggFuncMapper agg;
    TStrFuncMapper str;
    TDataTypeMapper types;
    EXPECT_EQ(agg.GetCustomOrdinal("count", ""), zafCount);
    EXPECT_EQ(agg.GetCustomOrdinal("MIN", ""), zafMin);
    EXPECT_EQ(agg.IsMemberToken("total", ""), 0);
    EXPECT_EQ(str.GetCustomOrdinal("Trim", ""), zsfTrim);
    EXPECT_EQ(types.IsMemberToken("DOUBLE", "precision"), 2);
    EXPECT_EQ(types.IsMemberToken("DOUBLE", ""), 0);
    EXPECT_EQ(types.IsMemberToken("double precision", ""), 1);
    EXPECT_EQ(types.GetCustomOrdinal("DOUBLE", "PRECISION"), ftFloat);
    EXPECT_EQ(types.GetCustomOrdinal("timestamp", ""), ftDateTime);
    EXPECT_EQ(types.GetCustomOrdinal("real", ""), ftFloat);
    EXPECT_EQ(types.GetCustomOrdinal("smallint", ""), ftSmallint);
}

// ---- Pre-parser ----

std::string StackDump(const TParserStack& s) {
    std::string out;
    for (int i = 0; i < s.Count(); ++i)
        out += (i ? " " : "") + KindName(s.PeekAt(i)->Token) + "(" + s.PeekAt(i)->Text + ")";
    return out;
}

TEST(PreParser, SingleStackOrderAndStatementTypes) {
    TZanPreParser pre;
    PreParse(pre, "SELECT a FROM t");
    ASSERT_EQ(pre.GetSectionCount(), 1);
    EXPECT_EQ(StackDump(*pre.GetSingleStack()),
              "Select(SELECT) FieldName(a) From(FROM) FieldName(t) End()");
    EXPECT_EQ(pre.GetSingleStack()->Peek()->Section, zstSelect);
    EXPECT_FALSE(pre.CheckParseComplete());
    pre.SetSingleStackCountTo(1);
    EXPECT_TRUE(pre.CheckParseComplete());

    const std::pair<const char*, TZanSQLStatementType> types[] = {
        {"SELECT 1", zsSQLSelect},
        {"/* c */ insert into t", zsSQLInsert},
        {"// x\nDELETE FROM t", zsSQLDelete},
        {"update t set a=1", zsSQLUpdate},
        {"CREATE TABLE x", zsSchemaManipulation},
        {"drop table x", zsSchemaManipulation},
        {"ALTER TABLE x", zsSchemaManipulation},
        {"+ SELECT", zsSQLUnknown},
        {"", zsSQLUnknown},
        {"x", zsSQLUnknown},
    };
    for (const auto& [text, type] : types)
        EXPECT_EQ(PreParse(pre, text).GetSQLStatementType(), type) << text;
}

TEST(PreParser, ExpressionOnlyAndMultiStack) {
    TZanPreParser pre;
    pre.SetParseAsExprOnly(true);
    PreParse(pre, "SELECT a // c", false);
    EXPECT_EQ(pre.GetSQLStatementType(), zsSQLExprOnly);
    ASSERT_EQ(pre.GetSectionCount(), 1);
    EXPECT_EQ(pre.GetStack(0)->GetSection(), zstWhere);
    EXPECT_EQ(StackDump(*pre.GetStack(0)), "Select(SELECT) FieldName(a) Comment(// c) End()");

    TZanPreParser multi;
    PreParse(multi, "x SELECT a FROM t WHERE EXTRACT(YEAR FROM d) = 1 ORDER BY a", false);
    ASSERT_EQ(multi.GetSectionCount(), 4);
    EXPECT_EQ(StackDump(*multi.GetSection(zstSelect, nullptr)), "FieldName(a)");
    EXPECT_EQ(StackDump(*multi.GetSection(zstWhere, nullptr)),
              "Extract(EXTRACT) LParen(() Year(YEAR) From(FROM) FieldName(d) RParen()) "
              "CompOperator(=) Number(1)");
    EXPECT_EQ(StackDump(*multi.GetSection(zstOrderBy, nullptr)), "FieldName(a) End()");
    EXPECT_EQ(multi.GetSection(zstHaving, nullptr), nullptr);
    EXPECT_EQ(multi.GetSQLStatementType(), zsSQLUnknown);
    EXPECT_EQ(ErrorCodeOf([&] { multi.GetSingleStack(); }), 8581);
}

TEST(PreParser, GetSectionPops) {
    TZanPreParser pre;
    PreParse(pre, "SELECT a FROM t WHERE b = 1");
    EXPECT_EQ(ErrorCodeOf([&] { pre.GetSection(zstComma, nullptr); }), 8581);
    // Top already the section: nothing popped.
    EXPECT_EQ(pre.GetSection(zstSelect, nullptr)->Count(), 9);
    // Pops up to and including WHERE.
    TParserStack* s = pre.GetSection(zstWhere, nullptr);
    EXPECT_EQ(StackDump(*s), "FieldName(b) CompOperator(=) Number(1) End()");
    // The resume token is the section: nothing popped.
    TParserToken from{0, 0, zstFrom, zstSelect, "FROM", 0, "FROM"};
    EXPECT_EQ(pre.GetSection(zstFrom, &from)->Count(), 4);
    // A missing section empties the stack.
    EXPECT_EQ(pre.GetSection(zstHaving, nullptr)->Count(), 0);
    EXPECT_TRUE(pre.CheckParseComplete());
}

TEST(PreParser, CheckParseComplete) {
    TZanPreParser pre;
    PreParse(pre, "SELECT a; SELECT b");
    TParserStack* s = pre.GetSingleStack();
    EXPECT_FALSE(pre.CheckParseComplete());
    s->SetCountTo(5); // ";" SELECT b and the end remain
    EXPECT_FALSE(pre.CheckParseComplete());
    s->SetCountTo(1);
    EXPECT_TRUE(pre.CheckParseComplete());
    PreParse(pre, "SELECT a;");
    pre.GetSingleStack()->SetCountTo(2);
    EXPECT_FALSE(pre.CheckParseComplete()); // the ";" itself is unparsed
    PreParse(pre, std::string_view("SELECT a\0 DROP t", 16));
    pre.GetSingleStack()->SetCountTo(1);
    EXPECT_FALSE(pre.CheckParseComplete());
    EXPECT_EQ(pre.GetUnparsedText(), std::string("\0 DROP t", 8));
}

TEST(PreParser, ParamListKeepsFirstSpelling) {
    TZanPreParser pre;
    PreParse(pre, "SELECT * FROM t WHERE a = :Id AND b = :id OR c = :Name AND d = :");
    TStringList list;
    list.Add("name");
    pre.GetParamList(list);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0], "name");
    EXPECT_EQ(list[1], "Id");
}

TEST(PreParser, AssignAndTrimStacks) {
    TZanPreParser a, b;
    PreParse(a, "SELECT a, b FROM t");
    b.AssignStacks(a);
    ASSERT_EQ(b.GetSectionCount(), 1);
    EXPECT_EQ(b.GetSingleStack()->Peek(), a.GetSingleStack()->Peek()); // shared, not copied
    EXPECT_EQ(StackDump(*b.GetSingleStack()), StackDump(*a.GetSingleStack()));
    b.GetSection(zstFrom, nullptr);
    a.TrimStacks(b);
    EXPECT_EQ(StackDump(*a.GetSingleStack()), "FieldName(t) End()");
    TZanPreParser c;
    PreParse(c, "x", false);
    EXPECT_EQ(ErrorCodeOf([&] { a.TrimStacks(c); }), 8581);
}

// Many distinct parameters: de-duplication must not compare each name with the whole list
// (quadratic: minutes here under the sanitizers; linear: a fraction of a second).
TEST(PreParser, ParamListOfManyDistinctNamesIsLinear) {
    constexpr int C_PARAMS = 60000;
    std::string text = "SELECT * FROM t WHERE a IN (:P0";
    for (int i = 1; i < C_PARAMS; ++i)
        text += ",:p" + std::to_string(i) + ",:P" + std::to_string(i);
    text += ")";
    TZanPreParser pre;
    PreParse(pre, text);
    TStringList list;
    const auto start = std::chrono::steady_clock::now();
    pre.GetParamList(list);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(list.Count(), C_PARAMS);
    EXPECT_EQ(list[0], "P0");
    EXPECT_EQ(list[C_PARAMS - 1], "p" + std::to_string(C_PARAMS - 1));
    EXPECT_LT(took.count(), 30.0);
}

// Copies of stacks share their tokens, and a new scan lets the old tokens go unless a copy
// still holds them; repeated copies or scans do not pile up tokens.
TEST(PreParser, TokenStoreIsSharedAndReleased) {
    TZanPreParser parent, nested;
    PreParse(parent, "SELECT a FROM t WHERE b IN (SELECT c FROM u)");
    for (int round = 0; round < 3; ++round) {
        nested.AssignStacks(parent);
        ASSERT_EQ(nested.GetSingleStackCount(), parent.GetSingleStackCount());
        for (int i = 0; i < parent.GetSingleStackCount(); ++i)
            EXPECT_EQ(nested.GetSingleStack()->PeekAt(i), parent.GetSingleStack()->PeekAt(i));
        if (round == 0) nested.GetSection(zstWhere, nullptr);
        parent.TrimStacks(nested);
    }
    EXPECT_EQ(parent.GetSingleStack()->Peek()->Text, "b");
    // The parent scans a new text: the nested copy keeps the old tokens alive.
    const TParserToken* held = nested.GetSingleStack()->Peek();
    PreParse(parent, "DELETE FROM t");
    EXPECT_EQ(held->Text, "b");
    EXPECT_EQ(parent.GetSingleStack()->Peek()->Text, "DELETE");
}

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

TEST(PreParser, RescansAndCopiesDoNotAccumulateTokens) {
    if (!__sanitizer_get_current_allocated_bytes) GTEST_SKIP() << "needs the sanitizer build";
    std::string text = "SELECT a FROM t WHERE b IN ('0'";
    for (int i = 1; text.size() < 100000; ++i)
        text += ",'" + std::to_string(i) + "'";
    text += ")";
    TZanPreParser pre, nested;
    PreParse(pre, text);
    nested.AssignStacks(pre);
    const size_t before = __sanitizer_get_current_allocated_bytes();
    for (int i = 0; i < 20; ++i) {
        PreParse(pre, text);
        nested.AssignStacks(pre);
        pre.TrimStacks(nested);
    }
    // One scan of 100 KB holds a few MB of tokens; twenty kept scans would hold far more.
    EXPECT_LT(__sanitizer_get_current_allocated_bytes(), before + 8000000);
}

TEST(PreParser, MapperOrdinals) {
    TZanPreParser pre;
    PreParse(pre, "SELECT max(a), upper(b), real");
    const TParserStack& s = *pre.GetSingleStack();
    EXPECT_EQ(s.PeekAt(1)->CustomOrdinal, zafMax);
    EXPECT_EQ(s.PeekAt(6)->CustomOrdinal, zsfUpper);
    EXPECT_EQ(s.PeekAt(11)->CustomOrdinal, ftFloat);
    EXPECT_EQ(s.PeekAt(0)->CustomOrdinal, 0);
}

} // namespace
