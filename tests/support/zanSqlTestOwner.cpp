#include "support/zanSqlTestOwner.h"

#include "host/rtl/SysUtils.h"

namespace zan {

TZanSqlTestOwner::TZanSqlTestOwner() = default;

bool TZanSqlTestOwner::AddTable(const std::string& createTable) {
    TZanParserEngine engine;
    engine.PreParseSQL(createTable);
    if (!engine.ParseSchemaManipulationStatement() ||
        engine.GetSchemaParser().GetOperation() != ddCreateTable)
        return false;
    const TZanSchemaManipulationParser& schema = engine.GetSchemaParser();
    TTableNameItem* item = FCatalogue.Add();
    item->SetTableName(schema.GetTableName());
    TInternalFields fields;
    fields.Assign(schema.GetAddedFields());
    // Layout sizes: a string holds its declared characters plus its terminator.
    for (int i = 0; i < fields.Count(); ++i) {
        TInternalFieldItem* f = fields.Items(i);
        f->SetFieldNo(i + 1);
        f->SetFieldIndex(i);
        if (f->GetDataType() == ftString) {
            f->SetIsVariable(true);
            f->SetFieldSize(f->GetFieldSize() + 1);
        }
    }
    item->SetTableFields(&fields);
    return true;
}

bool TZanSqlTestOwner::Fail(const std::string& message) {
    // A subquery's error reaches the list from the subquery and again from its caller.
    if (FErrors.empty() || FErrors.back() != message) FErrors.push_back(message);
    return false;
}

std::string TZanSqlTestOwner::UnrecognizedText(TZanParserEngine& engine) {
    // The token the last clause stopped at, unless that ended the statement; else the next.
    const TBaseParser* last = engine.GetLastParser();
    if (last && last->GetCurrToken() && last->CurrentTokenType() != zstEnd)
        return last->TokenName();
    std::string text = engine.GetCurrentPreParserTokenText();
    if (text.empty()) text = Trim(engine.GetPrimaryPreParser().GetUnparsedText());
    return text;
}

std::string TZanSqlTestOwner::GetErrorsAsText() const {
    std::string text;
    for (const std::string& e : FErrors) text += e + ". ";
    return text;
}

TZanSqlTestOwner::TItem& TZanSqlTestOwner::NewChild(TItem& parent, TZanParserEngine* engine) {
    parent.Children.push_back(std::make_unique<TItem>());
    TItem& child = *parent.Children.back();
    child.Parent = &parent;
    child.Engine = engine;
    child.Type = zsSQLSelect;
    engine->SetParserEngineNotifyEvent(
        [this, &child](TParserNotifyType type, TZanParserEngine* e, TZanExprNode* node,
                       Variant& value) { Callback(child, type, e, node, value); });
    return child;
}

bool TZanSqlTestOwner::Validate(const std::string& sql) {
    FErrors.clear();
    FRoot = std::make_unique<TItem>();
    FRoot->OwnEngine = std::make_unique<TZanParserEngine>();
    FRoot->Engine = FRoot->OwnEngine.get();
    TItem& root = *FRoot;
    root.Engine->SetParserEngineNotifyEvent(
        [this, &root](TParserNotifyType type, TZanParserEngine* e, TZanExprNode* node,
                      Variant& value) { Callback(root, type, e, node, value); });
    if (Trim(sql).empty()) return Fail(std::string(SzanEmptySQLStatement));
    root.Engine->PreParseSQL(sql);
    root.Type = root.Engine->GetSQLStatementType();
    // A subquery whose analysis failed leaves its caller's parse intact: its message counts.
    if (!ParseItem(root) || !FErrors.empty()) return false;
    // Checked with children too: their tokens were taken from this engine's stacks.
    if (!root.Engine->CheckNoTokensRemain())
        return Fail("Unrecognized tokens beyond end of statement: " + UnrecognizedText(*root.Engine));
    return true;
}

bool TZanSqlTestOwner::ParseItem(TItem& item) {
    switch (item.Type) {
    case zsSQLSelect:
        return ParseSelect(item);
    case zsSQLInsert:
        return ParseInsert(item);
    case zsSQLDelete:
        if (!item.Engine->ParseDeleteStatement()) return Fail(item.Engine->GetErrorText());
        if (!CheckTableList(item.Engine->GetTableList(), true)) return false;
        SetupTableLists(item.Engine->GetTableList());
        return true;
    case zsSQLUpdate:
        return ParseUpdate(item);
    case zsSchemaManipulation:
        return ParseSchema(item);
    default:
        return Fail(std::string(SzanUnrecognizedSQLStatement) + " " +
                    item.Engine->GetCurrentPreParserTokenText());
    }
}

bool TZanSqlTestOwner::CheckTableList(TTableList& tables, bool report) {
    bool ok = true;
    for (int i = 0; i < tables.Count(); ++i)
        if (!FCatalogue.FindTableName(tables.Items(i)->GetTableName())) {
            ok = false;
            if (report) Fail("Table not found - " + tables.Items(i)->GetTableName());
        }
    return ok;
}

void TZanSqlTestOwner::SetupTableLists(TTableList& tables) {
    for (int i = 0; i < tables.Count(); ++i)
        if (const TTableNameItem* t = FCatalogue.FindTableName(tables.Items(i)->GetTableName()))
            tables.Items(i)->SetTableFields(&t->GetTableFields());
}

bool TZanSqlTestOwner::ParseSelect(TItem& item) {
    TZanParserEngine& e = *item.Engine;
    if (!e.ParseFromClause()) return Fail(e.GetErrorText());
    if (!CheckTableList(e.GetTableList(), true)) return false;
    SetupTableLists(e.GetTableList());
    if (!e.ParseSelectClause() || !e.ParseWhereClause() || !e.ParseGroupByClause() ||
        !e.ParseHavingClause())
        return Fail(e.GetErrorText());
    TZanSelectAnalyser& a = item.Analyser;
    a.SetIsDistinct(e.GetSelectParser().GetIsDistinct());
    if (!a.CheckSelect(e.GetSelectParser().GetFirstNode(), &e.GetTableList()) ||
        !a.CheckGroupedColumns(&e.GetGroupByItems()) ||
        !a.CheckHavingExpr(e.GetHavingParser().GetRootNode() ? e.GetHavingParser().GetExpr()
                                                               : nullptr))
        return Fail(a.GetErrorText());
    if (item.UnionPart) return true;
    bool isAll = false;
    while (e.CheckForUnionStatement(false, isAll))
        if (!e.ParseRemainingUnionStatement(isAll)) return Fail(e.GetErrorText());
    if (!e.GetErrorText().empty()) return Fail(e.GetErrorText());
    for (const auto& child : item.Children)
        if (child->UnionPart && !a.ValidateUnionSelectFields(&child->Analyser.GetSelectFields()))
            return Fail(a.GetErrorText());
    if (!e.ParseOrderByClause()) return Fail(e.GetErrorText());
    if (!a.CheckOrderByColumns(&e.GetOrderByItems())) return Fail(a.GetErrorText());
    return true;
}

bool TZanSqlTestOwner::ParseWhereOnly(TItem& item) {
    TZanParserEngine& e = *item.Engine;
    if (!CheckTableList(e.GetTableList(), true)) return false;
    SetupTableLists(e.GetTableList());
    if (!e.ParseWhereClause()) return Fail(e.GetErrorText());
    item.Analyser.SetIsDistinct(e.GetSelectParser().GetIsDistinct());
    if (!e.ParseOrderByClause()) return Fail(e.GetErrorText());
    if (!e.CheckParseDone())
        return Fail("Unrecognized tokens beyond end of statement: " + UnrecognizedText(e));
    return true;
}

bool TZanSqlTestOwner::ParseInsert(TItem& item) {
    TZanParserEngine& e = *item.Engine;
    if (!e.ParseInsertStatement()) return Fail(e.GetErrorText());
    if (!CheckTableList(e.GetTableList(), true)) return false;
    SetupTableLists(e.GetTableList());
    TZanInsertParser& p = e.GetInsertParser();
    const TInternalFields& fields = e.GetTableList().Items(0)->GetTableFields();
    if (p.GetHasSelectClause()) {
        ZanAssert(item.Children.size() == 1, "Insert select count is incorrect");
        if (!p.ValidateSelectColumns(item.Children[0]->Analyser.GetSelectFields(), fields))
            return Fail(p.GetErrorMsg());
        return true;
    }
    if (!p.ValidateValueColumns(fields)) return Fail(p.GetErrorMsg());
    return true;
}

bool TZanSqlTestOwner::ParseUpdate(TItem& item) {
    TZanParserEngine& e = *item.Engine;
    e.GetUpdateParser().SetTableListValidateEvent([this](TTableList& tables) {
        if (!CheckTableList(tables, true)) return false;
        SetupTableLists(tables);
        return true;
    });
    if (!e.ParseUpdateStatement()) return Fail(e.GetErrorText());
    if (!e.GetUpdateParser().ValidateValueColumns(e.GetTableList().Items(0)->GetTableFields()))
        return Fail(e.GetUpdateParser().GetErrorMsg());
    return true;
}

bool TZanSqlTestOwner::ParseSchema(TItem& item) {
    TZanParserEngine& e = *item.Engine;
    if (!e.ParseSchemaManipulationStatement()) return Fail(e.GetErrorText());
    TZanSchemaManipulationParser& p = e.GetSchemaParser();
    const TTableNameItem* table = FCatalogue.FindTableName(p.GetTableName());
    if (p.GetOperation() == ddCreateTable) {
        if (table) return Fail(std::string(SzanTableExists) + ": " + p.GetTableName());
        return true;
    }
    if (!table) return Fail(std::string(SzanTableNotFound) + ": " + p.GetTableName());
    SetupTableLists(e.GetTableList());
    // DROP INDEX needs the table's index definitions: checked when it runs.
    if (p.GetOperation() != ddDropIndex && !p.ValidateTableChanges(table->GetTableFields(), nullptr))
        return Fail(p.GetErrorMsg());
    return true;
}

void TZanSqlTestOwner::Callback(TItem& item, TParserNotifyType type, TZanParserEngine* engine,
                                TZanExprNode* node, Variant& value) {
    if (type == pntSubquery) {
        engine->SetIsSubquery(true);
        TItem& child = NewChild(item, engine);
        const bool whereOf =
            (item.Type == zsSQLDelete && item.Engine->GetDeleteParser().GetHasWhereClause() &&
             item.Children.size() == 1) ||
            (item.Type == zsSQLUpdate && item.Engine->GetUpdateParser().GetHasWhereClause() &&
             node == item.Engine->GetUpdateParser().GetSubqueryExpr().GetRootNode());
        if (whereOf) {
            ZanAssert(item.Engine->GetTableList().Count() == 1,
                      "Parser engine table count is incorrect");
            child.WhereOnly = true;
            engine->GetTableList().Add()->SetTableName(
                item.Engine->GetTableList().Items(0)->GetTableName());
            ParseWhereOnly(child);
        } else {
            ParseSelect(child);
        }
        return;
    }
    if (type == pntSelectUnion) {
        engine->SetIsUnionSubstatement(true);
        TItem& child = NewChild(item, engine);
        child.UnionPart = true;
        child.UnionAll = value.Type() == varBoolean && value.AsBoolean();
        ParseSelect(child);
        return;
    }
    if (type != pntFindTableRef) return;
    // A name the subquery did not resolve: this item's tables, then the enclosing ones, as the
    // query layer looks them up (exposed names first; this item's own tables answer False).
    const std::string table = value.Type() == varString ? value.AsString() : std::string();
    const std::string field = node->Data.AsString();
    value = Variant(false);
    for (const bool exposed : {true, false}) {
        if (!exposed && table.empty()) break;
        for (TItem* i = &item; i; i = i->Parent) {
            TTableList& list = i->Engine->GetTableList();
            TTableNameItem* found = table.empty() ? list.FindTableForField(field)
                                    : exposed     ? list.FindExposedTable(table)
                                                  : list.FindTableName(table);
            if (!found) continue;
            if (i == &item) return;
            found->SetInCorrelatedSubquery(true);
            node->TableList.Add()->Assign(*found);
            value = Variant(true);
            return;
        }
    }
}

} // namespace zan
