// The parser engine through the test owner: nested engines, UNION detection, parameter lists,
// and hostile statements (huge, deep, mutated): a parse error at worst, never a crash or hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/zanSqlTestOwner.h"

using namespace zan;

namespace {

struct Owner : TZanSqlTestOwner {
    Owner() {
        AddTable("CREATE TABLE t (a INTEGER, b VARCHAR(10), c FLOAT)");
        AddTable("CREATE TABLE u (a INTEGER, d DATE)");
    }
    // The tables' layouts, as an owner gives them after the FROM clause.
    void Setup(TZanParserEngine& engine) {
        TTableList& list = engine.GetTableList();
        for (int i = 0; i < list.Count(); ++i)
            list.Items(i)->SetTableFields(
                &GetCatalogue().FindTableName(list.Items(i)->GetTableName())->GetTableFields());
    }
};

} // namespace

TEST(ParserEngine, CallbackTrimsBothPreParsersToTheNestedEngine) {
    Owner owner;
    TZanParserEngine engine;
    int nestedCalls = 0;
    engine.SetParserEngineNotifyEvent([&](TParserNotifyType type, TZanParserEngine* nested,
                                          TZanExprNode*, Variant&) {
        ASSERT_EQ(type, pntSubquery);
        ++nestedCalls;
        nested->SetIsSubquery(true);
        // The nested statement runs to its closing parenthesis.
        ASSERT_TRUE(nested->ParseFromClause()) << nested->GetErrorText();
        owner.Setup(*nested);
        ASSERT_TRUE(nested->ParseSelectClause()) << nested->GetErrorText();
        ASSERT_TRUE(nested->ParseWhereClause()) << nested->GetErrorText();
        EXPECT_TRUE(nested->GetSubqueryClosed());
    });
    engine.PreParseSQL("SELECT a FROM t WHERE a IN (SELECT a FROM u WHERE a > 1) AND b = 'x'");
    ASSERT_TRUE(engine.ParseFromClause());
    owner.Setup(engine);
    ASSERT_TRUE(engine.ParseSelectClause());
    const int before = engine.GetPrimaryPreParser().GetSingleStackCount();
    ASSERT_TRUE(engine.ParseWhereClause()) << engine.GetErrorText();
    EXPECT_EQ(nestedCalls, 1);
    // Both pre-parsers lost the nested statement's tokens; the WHERE went on after ")".
    EXPECT_LT(engine.GetPrimaryPreParser().GetSingleStackCount(), before);
    EXPECT_TRUE(engine.CheckNoTokensRemain());
    EXPECT_EQ(engine.GetWhereParser().GetRootNode()->Operator, zeoAND);

    // Any other notification ends the clause with "Invalid token".
    TZanExprParser parser;
    Variant value;
    engine.ParserCallback(pntUnknown, &parser, nullptr, nullptr, value);
    EXPECT_EQ(parser.GetErrorMessage(), "Invalid token");
}

TEST(ParserEngine, UnionCheckOnlyAndParamList) {
    Owner owner;
    TZanParserEngine engine;
    engine.PreParseSQL("SELECT a FROM t UNION ALL SELECT a FROM u");
    ASSERT_TRUE(engine.ParseFromClause());
    owner.Setup(engine);
    ASSERT_TRUE(engine.ParseSelectClause());
    ASSERT_TRUE(engine.ParseWhereClause());
    bool isAll = false;
    const int count = engine.GetPrimaryPreParser().GetSingleStackCount();
    EXPECT_TRUE(engine.CheckForUnionStatement(true, isAll));
    EXPECT_FALSE(isAll);
    EXPECT_FALSE(engine.GetHasUnionStatement());
    EXPECT_EQ(engine.GetPrimaryPreParser().GetSingleStackCount(), count);
    EXPECT_TRUE(engine.CheckForUnionStatement(false, isAll));
    EXPECT_TRUE(isAll);
    EXPECT_TRUE(engine.GetHasUnionStatement());
    EXPECT_EQ(engine.GetPrimaryPreParser().GetSingleStackCount(), count - 1);

    ASSERT_TRUE(owner.Validate("SELECT a FROM t WHERE a = :x AND b = :Y OR a = :X"));
    TStringList params;
    owner.GetRoot().Engine->GetParamList(&params);
    EXPECT_EQ(params.GetCommaText(), "x,Y");
}

TEST(ParserEngine, HostileStatements) {
    Owner owner;
    std::string many = "SELECT a";
    for (int i = 0; i < 10000; ++i) many += ", a";
    many += " FROM t";
    EXPECT_TRUE(owner.Validate(many)) << owner.GetErrorsAsText();
    std::string tables = "SELECT t.a FROM t";
    for (int i = 0; i < 10000; ++i) tables += ", u";
    EXPECT_TRUE(owner.Validate(tables)) << owner.GetErrorsAsText();
    std::string in = "SELECT a FROM t WHERE a IN (1";
    while (in.size() < (1 << 20)) in += ", 1";
    EXPECT_TRUE(owner.Validate(in + ")")) << owner.GetErrorsAsText().substr(0, 200);
    // Subqueries nested beyond the limit: an error at a SELECT, not a stack overflow.
    std::string deep = "SELECT a FROM t WHERE a IN ";
    for (int i = 0; i < 400; ++i) deep += "(SELECT a FROM t WHERE a IN ";
    deep += "(1)" + std::string(400, ')');
    EXPECT_FALSE(owner.Validate(deep));
    EXPECT_NE(owner.GetErrorsAsText().find("Invalid token"), std::string::npos);
    EXPECT_NE(owner.GetErrorsAsText().find("Token 'SELECT'"), std::string::npos)
        << owner.GetErrorsAsText();
    std::string nested = "SELECT a FROM t WHERE a IN ";
    for (int i = 0; i < 30; ++i) nested += "(SELECT a FROM t WHERE a IN ";
    nested += "(1)" + std::string(30, ')');
    EXPECT_TRUE(owner.Validate(nested)) << owner.GetErrorsAsText();
    for (const char* bad : {"SELECT a FROM t WHERE ((((a = 1)", "UNION", "SELECT a FROM t UNION",
                            "SELECT a FROM t; DELETE FROM t", "(", ")", ";", "SELECT",
                            "SELECT a FROM t WHERE a IN (SELECT a FROM u"}) {
        EXPECT_FALSE(owner.Validate(bad)) << bad;
        EXPECT_FALSE(owner.GetErrorsAsText().empty()) << bad;
    }
    EXPECT_FALSE(owner.Validate(std::string("SELECT a FROM t\0 WHERE", 22)));
}

// Corpus statements with tokens inserted, deleted and swapped: parse errors only.
TEST(ParserEngine, MutatedCorpusStatements) {
    const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "golden";
    std::vector<std::string> tables, statements;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path());
        std::string line;
        bool inSql = false;
        while (std::getline(in, line)) {
            if (line.rfind("CREATE TABLE", 0) == 0 && statements.empty()) tables.push_back(line);
            if (line.rfind("## ", 0) == 0) {
                inSql = true;
                statements.emplace_back();
            } else if (line == "----") {
                inSql = false;
            } else if (inSql) {
                statements.back() += line + "\n";
            }
        }
    }
    TZanSqlTestOwner owner;
    for (const std::string& t : tables) owner.AddTable(t);
    std::mt19937 rng(23);
    int accepted = 0, rejected = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::string& sql = statements[rng() % statements.size()];
        std::vector<std::string> words;
        std::string word;
        for (char ch : sql) {
            if (ch == ' ' || ch == '\n') {
                if (!word.empty()) words.push_back(word);
                word.clear();
            } else {
                word += ch;
            }
        }
        if (!word.empty()) words.push_back(word);
        if (words.empty()) continue;
        const size_t i = rng() % words.size(), j = rng() % words.size();
        switch (rng() % 3) {
        case 0: words.insert(words.begin() + i, words[j]); break;
        case 1: words.erase(words.begin() + i); break;
        default: std::swap(words[i], words[j]); break;
        }
        std::string text;
        for (const std::string& w : words) text += w + " ";
        try {
            owner.Validate(text) ? ++accepted : ++rejected;
        } catch (const EZanDatabaseError&) {
            ++rejected; // an engine error raised for a value, not a crash
        }
    }
    EXPECT_GT(rejected, 0);
    EXPECT_GT(accepted, 0);
}
