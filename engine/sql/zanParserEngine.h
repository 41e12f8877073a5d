// Drives the parsing of one SQL statement: two pre-parsers over the text, the statement's
// table list and one parser per clause. Its owner calls one operation per clause in the order
// the statement type needs; each clause parser resumes where the preceding one stopped.
// Subqueries and UNION members are parsed by nested engines handed to the owner through the
// notify event.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanExecParsers.h"
#include "engine/sql/zanExprParser.h"
#include "engine/sql/zanFromParser.h"
#include "engine/sql/zanMiscParsers.h"
#include "engine/sql/zanSelectParser.h"

namespace zan {

class TZanParserEngine;

// The nested engine (nullptr for pntFindTableRef), the node the clause parser passed and a
// value passed both ways.
using TParserEngineNotifyEvent = std::function<void(
    TParserNotifyType notifyType, TZanParserEngine* engine, TZanExprNode* node, Variant& value)>;

class TZanParserEngine {
public:
    TZanParserEngine();
    ~TZanParserEngine();
    TZanParserEngine(const TZanParserEngine&) = delete;
    TZanParserEngine& operator=(const TZanParserEngine&) = delete;

    bool PreParseSQL(std::string_view sql);
    TZanSQLStatementType GetSQLStatementType() const { return FPrimary.GetSQLStatementType(); }
    // Pre-parses the text again (clause state is lost): call after parsing.
    void GetParamList(TStrings* list);
    bool CheckNoTokensRemain() const { return FPrimary.CheckParseComplete(); }
    bool CheckParseDone() const;
    std::string GetCurrentPreParserTokenAsErrorFmt() const;
    // The text of the primary pre-parser's next token ("" when none).
    std::string GetCurrentPreParserTokenText() const;

    bool ParseFromClause();
    bool ParseSelectClause();
    bool ParseWhereClause();
    bool ParseGroupByClause();
    bool ParseHavingClause();
    bool ParseOrderByClause();
    bool ParseInsertStatement();
    bool ParseDeleteStatement();
    bool ParseUpdateStatement();
    bool ParseSchemaManipulationStatement();
    bool CheckForUnionStatement(bool checkOnly, bool& isAll);
    // Hands the UNION member that follows to the owner (pntSelectUnion, the ALL flag as value);
    // the clauses after it resume behind it.
    bool ParseRemainingUnionStatement(bool isAll);
    void ParserCallback(TParserNotifyType notifyType, TBaseParser* parser, TParserStack* stack,
                        TZanExprNode* node, Variant& value);

    void SetParserEngineNotifyEvent(TParserEngineNotifyEvent event) { FNotify = std::move(event); }
    bool GetIsSubquery() const { return FIsSubquery; }
    void SetIsSubquery(bool value) { FIsSubquery = value; }
    bool GetHasUnionStatement() const { return FHasUnionStatement; }
    void SetHasUnionStatement(bool value) { FHasUnionStatement = value; }
    bool GetIsUnionSubstatement() const { return FIsUnionSubstatement; }
    void SetIsUnionSubstatement(bool value) { FIsUnionSubstatement = value; }
    bool GetSubqueryClosed() const { return FSubqueryClosed; }
    const std::string& GetErrorText() const { return FErrorText; }
    TBaseParser* GetLastParser() const { return FLastParser; }
    // Subqueries and UNION members open around this engine.
    int GetNestingLevel() const { return FNestingLevel; }

    TTableList& GetTableList() { return FTableList; }
    TZanPreParser& GetPrimaryPreParser() { return FPrimary; }
    TZanPreParser& GetSecondaryPreParser() { return FSecondary; }
    TZanFromParser& GetFromParser() { return FFromParser; }
    TZanSelectParser& GetSelectParser() { return FSelectParser; }
    TZanExprParser& GetWhereParser() { return FWhereParser; }
    TZanExprParser& GetHavingParser() { return FHavingParser; }
    TOrderByItems& GetOrderByItems() { return FOrderByItems; }
    TGroupByItems& GetGroupByItems() { return FGroupByItems; }
    TZanInsertParser& GetInsertParser() { return FInsertParser; }
    TZanDeleteParser& GetDeleteParser() { return FDeleteParser; }
    TZanUpdateParser& GetUpdateParser() { return FUpdateParser; }
    TZanSchemaManipulationParser& GetSchemaParser() { return FSchemaParser; }

private:
    bool Finish(TBaseParser& parser, bool ok);
    // A WHERE or HAVING without a condition: "Expression is empty" on the parser.
    static bool RequireCondition(TZanExprParser& parser);
    // A GROUP BY or ORDER BY without items: "missing column name descriptor" at the clause.
    static bool RequireItems(TBaseParser& parser, const TCollection& items,
                             const TParserToken* clause);
    TParserNotifyEvent Callback();
    TZanPreParser& FewerTokens(TZanPreParser& primary, TZanPreParser& secondary) const;

    TZanPreParser FPrimary;
    TZanPreParser FSecondary;
    TTableList FTableList;
    TZanFromParser FFromParser;
    TZanExprParser FWhereParser;
    TZanSelectParser FSelectParser;
    TZanOrderByParser FOrderByParser;
    TZanGroupByParser FGroupByParser;
    TZanExprParser FHavingParser;
    TOrderByItems FOrderByItems;
    TGroupByItems FGroupByItems;
    TZanInsertParser FInsertParser;
    TZanDeleteParser FDeleteParser;
    TZanUpdateParser FUpdateParser;
    TZanSchemaManipulationParser FSchemaParser;

    std::string FErrorText;
    TParserEngineNotifyEvent FNotify;
    bool FIsSubquery = false;
    bool FSubqueryClosed = false;
    TBaseParser* FLastParser = nullptr;
    bool FHasUnionStatement = false;
    bool FIsUnionSubstatement = false;
    int FNestingLevel = 0;
    // Nested engines live as long as this one: clause parsers here keep pointing at their
    // tokens after a nested parse.
    std::vector<std::unique_ptr<TZanParserEngine>> FNested;
};

} // namespace zan
