#include "engine/sql/zanParserEngine.h"

#include "host/rtl/Format.h"

namespace zan {

TZanParserEngine::TZanParserEngine() {
    // Only the parsers that meet subqueries get the callback.
    for (TBaseParser* p : std::initializer_list<TBaseParser*>{
             &FWhereParser, &FHavingParser, &FInsertParser, &FDeleteParser, &FUpdateParser})
        p->SetParserNotifyEvent(Callback());
}

TZanParserEngine::~TZanParserEngine() = default;

TParserNotifyEvent TZanParserEngine::Callback() {
    return [this](TParserNotifyType type, TBaseParser* parser, TParserStack* stack,
                  TZanExprNode* node, Variant& value) {
        ParserCallback(type, parser, stack, node, value);
    };
}

bool TZanParserEngine::PreParseSQL(std::string_view sql) {
    FErrorText.clear();
    for (TZanPreParser* p : {&FPrimary, &FSecondary}) {
        p->Clear();
        p->SetText(sql);
        p->SetParseSingleStack(true);
        p->PreParseTokens();
    }
    FFromParser.Clear();
    FWhereParser.Clear();
    FSelectParser.Clear();
    FOrderByParser.Clear();
    FGroupByParser.Clear();
    FHavingParser.Clear();
    FLastParser = nullptr;
    FSubqueryClosed = false;
    FHasUnionStatement = false;
    FNested.clear();
    return true;
}

void TZanParserEngine::GetParamList(TStrings* list) {
    ZanAssert(list != nullptr, "Parameter list is not assigned");
    list->Clear();
    FPrimary.Clear();
    FPrimary.SetParseSingleStack(true);
    FPrimary.PreParseTokens();
    FPrimary.GetParamList(*list);
}

bool TZanParserEngine::CheckParseDone() const {
    return FPrimary.GetSingleStackCount() == 0 || FWhereParser.CurrentTokenType() == zstEnd;
}

std::string TZanParserEngine::GetCurrentPreParserTokenAsErrorFmt() const {
    const TParserStack* stack = FPrimary.GetSingleStack();
    const TParserToken* t = stack ? stack->Peek() : nullptr;
    if (!t) return std::string();
    return Format(" Line %d, Character %d. Token '%s'", t->LineNo, t->LineOffset, t->Text);
}

std::string TZanParserEngine::GetCurrentPreParserTokenText() const {
    const TParserStack* stack = FPrimary.GetSingleStack();
    const TParserToken* t = stack ? stack->Peek() : nullptr;
    return t ? t->Text : std::string();
}

bool TZanParserEngine::Finish(TBaseParser& parser, bool ok) {
    FErrorText = parser.GetErrorMsg();
    FLastParser = &parser;
    return ok && FErrorText.empty();
}

bool TZanParserEngine::RequireCondition(TZanExprParser& parser) {
    if (parser.GetRootNode()) return true;
    parser.SetError(parser.GetCurrToken(), SzanEmptyExpr);
    return false;
}

bool TZanParserEngine::RequireItems(TBaseParser& parser, const TCollection& items,
                                    const TParserToken* clause) {
    if (parser.HasParseError() || items.Count() > 0) return true;
    parser.SetError(clause, SzanColumnNameMissingErr);
    return false;
}

bool TZanParserEngine::ParseFromClause() {
    FTableList.Clear();
    if (!FIsSubquery) FSelectParser.Clear();
    // This pass over the select list only moves the secondary tokens up to FROM.
    FSelectParser.SetTableList(&FTableList);
    FSelectParser.SetIsSubquery(FIsSubquery);
    const bool listOk = FSelectParser.Execute(
        ZanParserOptions({zpoExtSyntax}),
        FSecondary.GetSection(zstSelect, FSelectParser.GetCurrToken()));
    FFromParser.Clear();
    FFromParser.SetIsSubquery(FIsSubquery);
    FFromParser.SyncCurrToken(FSelectParser);
    bool ok = FFromParser.Execute(ZanParserOptions({zpoExtSyntax}),
                                  FSecondary.GetSection(zstFrom, FSelectParser.GetCurrToken()));
    // A broken select list is the first error of the statement.
    if (!listOk) {
        FErrorText = FSelectParser.GetErrorMsg();
        FLastParser = &FFromParser;
        FSelectParser.Clear();
        return false;
    }
    FSelectParser.Clear();
    ok = Finish(FFromParser, ok);
    if (FIsSubquery && FFromParser.CurrentTokenType() == zstRParen) FSubqueryClosed = true;
    if (ok) {
        FTableList.Clear();
        FTableList.Assign(FFromParser.GetTableList());
    }
    return ok;
}

bool TZanParserEngine::ParseSelectClause() {
    // The tables' fields are known now: a bare name of a USING or NATURAL join's column reads
    // the copy that holds the joined column's value, in the select list and every later clause.
    {
        TJoinPostProcessor shared;
        shared.SetTableList(&FTableList);
        shared.MarkSharedColumns(FFromParser);
    }
    if (!FIsSubquery) FSelectParser.Clear();
    FSelectParser.SetTableList(&FTableList);
    FSelectParser.SetIsSubquery(FIsSubquery);
    TParserToken selectToken;
    selectToken.Token = zstSelect;
    const bool ok = FSelectParser.Execute(
        ZanParserOptions({zpoExtSyntax}),
        FPrimary.GetSection(zstSelect, FIsSubquery ? &selectToken : nullptr));
    FErrorText = FSelectParser.GetErrorMsg();
    if (!ok || !FErrorText.empty()) return false;
    // The FROM clause again, over the primary tokens: this tree is the one planned, so its
    // USING lists and NATURAL joins become conditions now that the tables' fields are known.
    FFromParser.Clear();
    FFromParser.SetIsSubquery(FIsSubquery);
    FFromParser.SyncCurrToken(FSelectParser);
    FFromParser.Execute(ZanParserOptions({zpoExtSyntax}),
                        FPrimary.GetSection(zstFrom, FSelectParser.GetCurrToken()));
    FLastParser = &FFromParser;
    if (FFromParser.GetRootJoinNode()) {
        TJoinPostProcessor post;
        post.SetTableList(&FTableList);
        if (!post.ProcessJoinTree(FFromParser.GetRootJoinNode())) {
            FErrorText = post.GetErrorText();
            return false;
        }
    }
    return true;
}

bool TZanParserEngine::ParseWhereClause() {
    if (FSubqueryClosed) return true;
    if (FFromParser.CurrentTokenType() != zstWhere) {
        FWhereParser.SyncCurrToken(FFromParser);
        return true;
    }
    FWhereParser.Clear();
    FWhereParser.SetValidateFields(true);
    FWhereParser.SetIsSubquery(FIsSubquery);
    FWhereParser.SetNestingBase(FNestingLevel);
    FWhereParser.SetTableList(&FTableList);
    FWhereParser.SetValidEndTokens(
        ZanSQLTokens({zstGroupBy, zstHaving, zstUnion, zstOrderBy, zstEnd}));
    bool ok = FWhereParser.Execute(
        ZanParserOptions({zpoExtSyntax, zpoParameters, zpoSubqueries}),
        FPrimary.GetSection(zstWhere, FFromParser.GetCurrToken()));
    ok = ok && RequireCondition(FWhereParser);
    if (FIsSubquery && FWhereParser.CurrentTokenType() == zstRParen) FSubqueryClosed = true;
    if (ok) FFromParser.SyncCurrToken(FWhereParser);
    return Finish(FWhereParser, ok);
}

bool TZanParserEngine::ParseGroupByClause() {
    FGroupByParser.Clear();
    FGroupByItems.Clear();
    FErrorText.clear();
    if (FSubqueryClosed || FWhereParser.CurrentTokenType() != zstGroupBy) return true;
    FGroupByParser.SetIsSubquery(FIsSubquery);
    const TParserToken* clause = FWhereParser.GetCurrToken();
    bool ok = FGroupByParser.ExecuteGroupBy(FGroupByItems, FPrimary.GetSection(zstGroupBy, clause));
    ok = ok && RequireItems(FGroupByParser, FGroupByItems, clause);
    FWhereParser.SyncCurrToken(FGroupByParser);
    if (FIsSubquery && FGroupByParser.CurrentTokenType() == zstRParen) FSubqueryClosed = true;
    return Finish(FGroupByParser, ok);
}

bool TZanParserEngine::ParseHavingClause() {
    FHavingParser.Clear();
    FErrorText.clear();
    if (FSubqueryClosed || FWhereParser.CurrentTokenType() != zstHaving) return true;
    if (FGroupByItems.Count() == 0) {
        FErrorText = SzanNoGroupByClause;
        return false;
    }
    FHavingParser.SetIsSubquery(FIsSubquery);
    FHavingParser.SetNestingBase(FNestingLevel);
    FHavingParser.SetTableList(&FTableList);
    FHavingParser.SetValidEndTokens(ZanSQLTokens({zstOrderBy, zstEnd}));
    bool ok = FHavingParser.Execute(
        ZanParserOptions({zpoExtSyntax, zpoExtractAggFuncExprText, zpoSubqueries, zpoAggregate}),
        FPrimary.GetSection(zstHaving, FWhereParser.GetCurrToken()));
    ok = ok && RequireCondition(FHavingParser);
    FWhereParser.SyncCurrToken(FHavingParser);
    if (FIsSubquery && FHavingParser.CurrentTokenType() == zstRParen) FSubqueryClosed = true;
    if (ok) FHavingParser.GetExpr()->SetAsFirstNode(FHavingParser.GetRootNode());
    return Finish(FHavingParser, ok);
}

bool TZanParserEngine::ParseOrderByClause() {
    FOrderByParser.Clear();
    FOrderByItems.Clear();
    FErrorText.clear();
    if (FSubqueryClosed || FWhereParser.CurrentTokenType() != zstOrderBy) return true;
    FOrderByParser.SetIsSubquery(FIsSubquery);
    const TParserToken* clause = FWhereParser.GetCurrToken();
    bool ok = FOrderByParser.ExecuteOrderBy(FOrderByItems, FPrimary.GetSection(zstOrderBy, clause));
    ok = ok && RequireItems(FOrderByParser, FOrderByItems, clause);
    FWhereParser.SyncCurrToken(FOrderByParser);
    return Finish(FOrderByParser, ok);
}

bool TZanParserEngine::ParseInsertStatement() {
    FInsertParser.Clear();
    const bool ok =
        FInsertParser.Execute(TZanParserOptions(), FPrimary.GetSection(zstInsert, nullptr));
    if (!Finish(FInsertParser, ok)) return false;
    FTableList.Add()->SetTableName(FInsertParser.GetTableName());
    return true;
}

bool TZanParserEngine::ParseDeleteStatement() {
    FDeleteParser.Clear();
    FDeleteParser.SetTables(&FTableList);
    const bool ok =
        FDeleteParser.Execute(TZanParserOptions(), FPrimary.GetSection(zstDelete, nullptr));
    return Finish(FDeleteParser, ok);
}

bool TZanParserEngine::ParseUpdateStatement() {
    FUpdateParser.Clear();
    FUpdateParser.SetTables(&FTableList);
    const bool ok =
        FUpdateParser.Execute(TZanParserOptions(), FPrimary.GetSection(zstUpdate, nullptr));
    return Finish(FUpdateParser, ok);
}

bool TZanParserEngine::ParseSchemaManipulationStatement() {
    FSchemaParser.Clear();
    const bool ok = FSchemaParser.Execute(TZanParserOptions(), FPrimary.GetSingleStack());
    if (!Finish(FSchemaParser, ok)) return false;
    TTableNameItem* item = FTableList.Add();
    item->SetTableName(FSchemaParser.GetTableName());
    item->SetMemory(FSchemaParser.GetTemporaryTable());
    item->SetMemorySpecified(FSchemaParser.GetTemporaryTable());
    return true;
}

bool TZanParserEngine::CheckForUnionStatement(bool checkOnly, bool& isAll) {
    const bool found = FFromParser.CurrentTokenType() == zstUnion;
    if (!found || checkOnly) return found;
    FHasUnionStatement = true;
    TParserStack* stack = FPrimary.GetSingleStack();
    if (!stack || stack->Count() == 0) return false;
    isAll = stack->Peek()->Token == zstAll;
    if (isAll) stack->Pop();
    if (stack->Peek() && stack->Peek()->Token == zstSelect) return true;
    FErrorText = SzanUnionStatementIncorrectlyTerminated;
    return false;
}

bool TZanParserEngine::ParseRemainingUnionStatement(bool isAll) {
    Variant value(isAll);
    ParserCallback(pntSelectUnion, &FFromParser, FPrimary.GetSingleStack(), nullptr, value);
    FErrorText = FFromParser.GetErrorMsg();
    // The clauses after the member (ORDER BY, a further UNION) resume behind it.
    FWhereParser.SyncCurrToken(FFromParser);
    return FErrorText.empty();
}

TZanPreParser& TZanParserEngine::FewerTokens(TZanPreParser& primary,
                                             TZanPreParser& secondary) const {
    return primary.GetSingleStackCount() < secondary.GetSingleStackCount() ? primary : secondary;
}

void TZanParserEngine::ParserCallback(TParserNotifyType notifyType, TBaseParser* parser,
                                      TParserStack* /*stack*/, TZanExprNode* node,
                                      Variant& value) {
    if (notifyType == pntFindTableRef) {
        if (FNotify) FNotify(notifyType, nullptr, node, value);
        return;
    }
    if (notifyType != pntSubquery && notifyType != pntSelectUnion) {
        parser->SetError(parser->GetCurrToken(), SzanInvalidToken);
        return;
    }
    // Subqueries and UNION members count toward the expression nesting limit.
    // (An expression parser's open nesting already counts the subquery's parenthesis.)
    int level = FNestingLevel + 1;
    if (const auto* expr = dynamic_cast<const TZanExprParser*>(parser))
        level = std::max(level, expr->GetOpenNesting());
    if (level >= C_MAXEXPRNESTING) {
        parser->SetError(parser->GetCurrToken(), SzanInvalidToken);
        return;
    }
    FNested.push_back(std::make_unique<TZanParserEngine>());
    TZanParserEngine* nested = FNested.back().get();
    nested->FNestingLevel = level;
    const TZanPreParser& source = FewerTokens(FPrimary, FSecondary);
    for (TZanPreParser* p : {&nested->FPrimary, &nested->FSecondary}) {
        p->AssignStacks(source);
        p->SetSQLStatementType(zsSQLSelect);
        p->SetParseSingleStack(true);
    }
    nested->FSelectParser.SyncCurrToken(*parser);
    nested->FFromParser.SyncCurrToken(*parser);
    if (FNotify) FNotify(notifyType, nested, node, value);
    if (!nested->FErrorText.empty()) {
        parser->SetError(nullptr, nested->FErrorText);
        return;
    }
    const TZanPreParser& consumed = FewerTokens(nested->FPrimary, nested->FSecondary);
    FPrimary.TrimStacks(consumed);
    FSecondary.TrimStacks(consumed);
    if (nested->FLastParser) parser->SyncCurrToken(*nested->FLastParser);
}

} // namespace zan
