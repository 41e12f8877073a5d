#include "engine/query/zanQueryProvider.h"

#include <algorithm>
#include <unordered_set>

#include "engine/query/zanQueryProviderPlan.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/Random.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

// ---------------------------------------------------------------------------------------------
// Subquery row source

bool TQueryExprNodeDataProvider::PrepareAndOpen() {
    if (!FItem || !FItem->FResultSet) return false;
    TZanQueryDataset& ds = *FItem->FResultSet;
    SetProviderDataset(&ds);
    // An uncorrelated subquery is computed once and rewound.
    if (!FItem->FIsCorrelated && ds.GetActive()) {
        ds.First();
        return true;
    }
    ds.Close();
    if (!FItem->PreparePlan()) ZanDatabaseError(9645, "TQueryExprNodeDataProvider.PrepareAndOpen",
                                                FItem->GetProvider().GetErrorsAsText());
    if (!ds.GetActive()) {
        FItem->GetProvider().CountSubqueryRun();
        NewResultGeneration();
        if (!FItem->CreateResultSet())
            ZanDatabaseError(9645, "TQueryExprNodeDataProvider.PrepareAndOpen",
                             FItem->GetProvider().GetErrorsAsText());
        ds.Open();
    }
    return ds.GetActive();
}

bool TQueryExprNodeDataProvider::ReadRows(const std::vector<Variant>*& firstColumn,
                                          int32_t& columns) {
    return FItem && FItem->KeyedRows(firstColumn, columns);
}

// ---------------------------------------------------------------------------------------------
// Item: life

TZanQueryProviderItem::TZanQueryProviderItem()
    : FResultSet(std::make_unique<TZanQueryDataset>()),
      FPlan(std::make_unique<TZanQueryPlanState>()) {
    ResetEngine(nullptr);
}

TZanQueryProviderItem::~TZanQueryProviderItem() {
    try {
        if (FParent) DeleteResultTable();
    } catch (const std::exception&) {
        // A result table that cannot be dropped stays in the memory tables until disconnect.
    }
    FResultSet.reset();
    FPlan.reset();
}

void TZanQueryProviderItem::DeleteResultTable() {
    if (!FResultSet || !FResultDefsExist) return;
    TZanDataBase* db = FResultSet->GetDataBase();
    FResultSet->Close();
    if (FResultSet->GetInternalActive()) FResultSet->DataSetClose();
    if (db && db->GetConnected() &&
        db->GetMemoryTableDefMgr().IndexOfTableName(FResultTableName) >= 0)
        DropResultTable(*db, FResultTableName);
    FResultDefsExist = false;
}

void TZanQueryProviderItem::ReleaseRun() {
    DeleteResultTable();
    FPlan = std::make_unique<TZanQueryPlanState>();
    FKeyedState = ksUnknown;
    FKeyedRows.clear();
    FProbeRows.clear();
    FKeyedDeferred = 0;
    FKeyedThreshold = -1;
}

const std::string& TZanQueryProviderItem::ResultTableName() {
    if (!FResultTableName.empty()) return FResultTableName;
    TZanDataBase* db = GetProvider().GetDatabase();
    do {
        FResultTableName = "$Q" + IntToHex(GetID(), 4) + IntToHex(Random(16777215), 8);
    } while (db && db->GetConnected() &&
             db->GetMemoryTableDefMgr().IndexOfTableName(FResultTableName) >= 0);
    return FResultTableName;
}

TZanQueryProvider& TZanQueryProviderItem::GetProvider() const {
    return *static_cast<TZanQueryProvider*>(GetCollection());
}

void TZanQueryProviderItem::ResetEngine(TZanParserEngine* external) {
    if (external) {
        FOwnEngine.reset();
        FEngine = external;
    } else {
        FOwnEngine = std::make_unique<TZanParserEngine>();
        FEngine = FOwnEngine.get();
    }
    FEngine->SetParserEngineNotifyEvent(
        [this](TParserNotifyType type, TZanParserEngine* e, TZanExprNode* node, Variant& value) {
            ParserEngineCallback(type, e, node, value);
        });
}

void TZanQueryProviderItem::AssignExternalParserEngine(TZanParserEngine* engine) {
    ResetEngine(engine);
}

void TZanQueryProviderItem::AddError(const std::string& text) {
    if (text.empty()) return;
    // A child's error reaches the list from the child and again from its caller.
    for (const TZanQueryProviderItem* i = this; i; i = i->FParent)
        if (i->FErrors.Count() > 0 && i->FErrors.Strings(i->FErrors.Count() - 1) == text) return;
    for (const TZanQueryProviderItem* c : FChildren)
        if (c->FErrors.IndexOf(text) >= 0) return;
    FErrors.Add(text);
}

// ---------------------------------------------------------------------------------------------
// Item: validation

bool TZanQueryProviderItem::ValidateSQL() {
    TZanQueryProvider& provider = GetProvider();
    const std::string sql = provider.GetSQL().GetText();
    if (Trim(sql).empty()) {
        AddError(std::string(SzanEmptySQLStatement));
        return false;
    }
    if (!FEngine->PreParseSQL(sql)) {
        AddError(FEngine->GetErrorText().empty() ? std::string(SzanInvalidToken)
                                                 : FEngine->GetErrorText());
        return false;
    }
    FStatementType = FEngine->GetSQLStatementType();
    if (!InternalParseQuery() || FErrors.Count() > 0 || provider.HasOwnErrors()) return false;
    for (const TZanQueryProviderItem* c : FChildren)
        if (c->FErrors.Count() > 0) return false;
    // Checked with children too: their tokens were taken from this engine's stacks.
    if (!FEngine->CheckNoTokensRemain()) {
        AddError("Unrecognized tokens beyond end of statement: " + UnrecognizedText());
        return false;
    }
    return true;
}

std::string TZanQueryProviderItem::UnrecognizedText() const {
    // The token the last clause stopped at, unless that ended the statement; else the next.
    const TBaseParser* last = FEngine->GetLastParser();
    if (last && last->GetCurrToken() && last->CurrentTokenType() != zstEnd)
        return last->TokenName();
    std::string text = FEngine->GetCurrentPreParserTokenText();
    if (text.empty()) text = Trim(FEngine->GetPrimaryPreParser().GetUnparsedText());
    return text;
}

bool TZanQueryProviderItem::InternalParseQuery() {
    switch (FStatementType) {
    case zsSQLSelect:
        return InternalParseSelectQuery();
    case zsSQLInsert:
        return InternalParseInsert();
    case zsSQLDelete:
        return InternalParseDelete();
    case zsSQLUpdate:
        return InternalParseUpdate();
    case zsSchemaManipulation:
        return InternalParseSchema();
    default:
        AddError(std::string(SzanUnrecognizedSQLStatement) + " " +
                 FEngine->GetCurrentPreParserTokenText());
        return false;
    }
}

void TZanQueryProviderItem::InternalSetupTableLists(TTableList& tables) {
    for (int i = 0; i < tables.Count(); ++i) {
        TTableNameItem* t = tables.Items(i);
        TInternalFields fields;
        GetProvider().GetFieldsForTable(t->GetTableName(), fields, t->GetMemory());
        t->SetTableFields(&fields);
    }
}

bool TZanQueryProviderItem::CheckAndSetupTables(TTableList& tables) {
    if (!GetProvider().CheckTableList(tables, true)) return false;
    InternalSetupTableLists(tables);
    return true;
}

bool TZanQueryProviderItem::InternalParseSelectQuery() {
    TZanParserEngine& e = *FEngine;
    if (!e.ParseFromClause()) {
        AddError(e.GetErrorText());
        return false;
    }
    // Without a table there is no row source: a select list alone is no statement here.
    if (e.GetTableList().Count() == 0) {
        AddError("A SELECT needs a FROM clause naming a table");
        return false;
    }
    if (!CheckAndSetupTables(e.GetTableList())) return false;
    if (!e.ParseSelectClause() || !e.ParseWhereClause() || !e.ParseGroupByClause() ||
        !e.ParseHavingClause()) {
        AddError(e.GetErrorText());
        return false;
    }
    TZanSelectAnalyser& a = FSelectAnalyser;
    a.SetIsDistinct(e.GetSelectParser().GetIsDistinct());
    if (!a.CheckSelect(e.GetSelectParser().GetFirstNode(), &e.GetTableList()) ||
        !a.CheckGroupedColumns(&e.GetGroupByItems()) ||
        !a.CheckHavingExpr(e.GetHavingParser().GetRootNode() ? e.GetHavingParser().GetExpr()
                                                               : nullptr)) {
        AddError(a.GetErrorText());
        return false;
    }
    if (FUnionPart) return true;
    bool isAll = false;
    while (e.CheckForUnionStatement(false, isAll))
        if (!e.ParseRemainingUnionStatement(isAll)) {
            AddError(e.GetErrorText());
            return false;
        }
    if (!e.GetErrorText().empty()) {
        AddError(e.GetErrorText());
        return false;
    }
    if (!ValidateUnionSubStatements()) return false;
    if (!e.ParseOrderByClause()) {
        AddError(e.GetErrorText());
        return false;
    }
    if (!a.CheckOrderByColumns(&e.GetOrderByItems())) {
        AddError(a.GetErrorText());
        return false;
    }
    return true;
}

bool TZanQueryProviderItem::ValidateUnionSubStatements() {
    for (TZanQueryProviderItem* child : FChildren) {
        if (!child->FUnionPart) continue;
        if (child->FErrors.Count() > 0) return false;
        if (!FSelectAnalyser.ValidateUnionSelectFields(&child->FSelectAnalyser.GetSelectFields())) {
            AddError(FSelectAnalyser.GetErrorText());
            return false;
        }
    }
    return true;
}

bool TZanQueryProviderItem::InternalParseWhereQuery() {
    TZanParserEngine& e = *FEngine;
    if (!CheckAndSetupTables(e.GetTableList())) return false;
    if (!e.ParseWhereClause()) {
        AddError(e.GetErrorText());
        return false;
    }
    FSelectAnalyser.SetIsDistinct(e.GetSelectParser().GetIsDistinct());
    if (!e.ParseOrderByClause()) {
        AddError(e.GetErrorText());
        return false;
    }
    if (!e.CheckParseDone()) {
        AddError("Unrecognized tokens beyond end of statement: " + UnrecognizedText());
        return false;
    }
    return true;
}

bool TZanQueryProviderItem::InternalParseInsert() {
    TZanParserEngine& e = *FEngine;
    if (!e.ParseInsertStatement()) {
        AddError(e.GetErrorText());
        return false;
    }
    if (!CheckAndSetupTables(e.GetTableList())) return false;
    TZanInsertParser& p = e.GetInsertParser();
    const TInternalFields& fields = e.GetTableList().Items(0)->GetTableFields();
    if (p.GetHasSelectClause()) {
        ZanAssert(FChildren.size() == 1, "Insert select count is incorrect");
        if (FChildren[0]->FErrors.Count() > 0) return false;
        if (!p.ValidateSelectColumns(FChildren[0]->FSelectAnalyser.GetSelectFields(), fields)) {
            AddError(p.GetErrorMsg());
            return false;
        }
        return true;
    }
    if (!p.ValidateValueColumns(fields)) {
        AddError(p.GetErrorMsg());
        return false;
    }
    return true;
}

bool TZanQueryProviderItem::InternalParseDelete() {
    TZanParserEngine& e = *FEngine;
    if (!e.ParseDeleteStatement()) {
        AddError(e.GetErrorText());
        return false;
    }
    return CheckAndSetupTables(e.GetTableList());
}

bool TZanQueryProviderItem::InternalParseUpdate() {
    TZanParserEngine& e = *FEngine;
    e.GetUpdateParser().SetTableListValidateEvent(
        [this](TTableList& tables) { return CheckAndSetupTables(tables); });
    if (!e.ParseUpdateStatement()) {
        AddError(e.GetErrorText());
        return false;
    }
    if (!e.GetUpdateParser().ValidateValueColumns(e.GetTableList().Items(0)->GetTableFields())) {
        AddError(e.GetUpdateParser().GetErrorMsg());
        return false;
    }
    return true;
}

bool TZanQueryProviderItem::InternalParseSchema() {
    TZanParserEngine& e = *FEngine;
    if (!e.ParseSchemaManipulationStatement()) {
        AddError(e.GetErrorText());
        return false;
    }
    TZanSchemaManipulationParser& p = e.GetSchemaParser();
    TTableList probe;
    TTableNameItem* t = probe.Add();
    t->SetTableName(p.GetTableName());
    if (p.GetTemporaryTable()) {
        t->SetMemory(true);
        t->SetMemorySpecified(true);
    }
    const bool exists = GetProvider().CheckTableList(probe, false);
    if (p.GetOperation() == ddCreateTable) {
        if (exists) {
            AddError(std::string(SzanTableExists) + ": " + p.GetTableName());
            return false;
        }
        return true;
    }
    if (!exists) {
        AddError(std::string(SzanTableNotFound) + ": " + p.GetTableName());
        return false;
    }
    p.SetTemporaryTable(probe.Items(0)->GetMemory());
    InternalSetupTableLists(probe);
    return true;
}

TZanQueryProviderItem& TZanQueryProviderItem::NewChild(TZanParserEngine* engine) {
    TZanQueryProviderItem* child = GetProvider().Add();
    child->FParent = this;
    child->AssignExternalParserEngine(engine);
    child->FStatementType = zsSQLSelect;
    FChildren.push_back(child);
    return *child;
}

void TZanQueryProviderItem::ParserEngineCallback(TParserNotifyType type, TZanParserEngine* engine,
                                                 TZanExprNode* node, Variant& value) {
    if (type == pntSubquery) {
        engine->SetIsSubquery(true);
        const bool whereOf =
            (FStatementType == zsSQLDelete && FEngine->GetDeleteParser().GetHasWhereClause() &&
             FChildren.empty()) ||
            (FStatementType == zsSQLUpdate && FEngine->GetUpdateParser().GetHasWhereClause() &&
             node == FEngine->GetUpdateParser().GetSubqueryExpr().GetRootNode());
        TZanQueryProviderItem& child = NewChild(engine);
        if (node) node->SetExprNodeDataProvider(&child.FSubqueryProvider);
        child.FExistsOnly = node && node->Kind == enkSubquery &&
                            node->ParserToken.CustomOrdinal == zsqExists;
        if (whereOf) {
            ZanAssert(FEngine->GetTableList().Count() == 1, "Parser engine table count is incorrect");
            child.FWhereOnly = true;
            TTableNameItem* t = engine->GetTableList().Add();
            t->SetTableName(FEngine->GetTableList().Items(0)->GetTableName());
            t->SetMemory(FEngine->GetTableList().Items(0)->GetMemory());
            t->SetMemorySpecified(FEngine->GetTableList().Items(0)->GetMemorySpecified());
            child.InternalParseWhereQuery();
        } else {
            child.InternalParseSelectQuery();
        }
        for (int i = 0; i < child.FErrors.Count(); ++i)
            AddError(child.FErrors.Strings(i));
        return;
    }
    if (type == pntSelectUnion) {
        engine->SetIsUnionSubstatement(true);
        TZanQueryProviderItem& child = NewChild(engine);
        child.FUnionPart = true;
        child.FUnionAll = value.Type() == varBoolean && value.AsBoolean();
        child.InternalParseSelectQuery();
        for (int i = 0; i < child.FErrors.Count(); ++i)
            AddError(child.FErrors.Strings(i));
        return;
    }
    if (type != pntFindTableRef) return;
    // A name the subquery did not resolve: this item's tables, then the enclosing ones; a
    // qualifier first by the names the FROM clauses expose, then by the table names of aliased
    // tables. A name that leads back to this item's own tables is no outer reference (False).
    const std::string table = value.Type() == varString ? value.AsString() : std::string();
    const std::string field = node->Data.AsString();
    value = Variant(false);
    for (const bool exposed : {true, false}) {
        if (!exposed && table.empty()) break;
        for (TZanQueryProviderItem* i = this; i; i = i->FParent) {
            TTableList& list = i->FEngine->GetTableList();
            TTableNameItem* found = table.empty() ? list.FindTableForField(field)
                                    : exposed     ? list.FindExposedTable(table)
                                                  : list.FindTableName(table);
            if (!found) continue;
            if (i == this) return;
            ++FOuterRefCount;
            found->SetInCorrelatedSubquery(true);
            found->SetCorrelatedSubqueryID(i->GetID());
            node->TableList.Add()->Assign(*found);
            // This item and every one between it and the table's owner depend on the outer row.
            for (TZanQueryProviderItem* c = this; c != i; c = c->FParent)
                c->FIsCorrelated = true;
            value = Variant(true);
            return;
        }
    }
}

TTableNameItem* TZanQueryProviderItem::FindTable(const std::string& name) {
    for (TZanQueryProviderItem* i = this; i; i = i->FParent)
        if (TTableNameItem* t = i->FEngine->GetTableList().FindTable(name)) return t;
    return nullptr;
}

TTableNameItem* TZanQueryProviderItem::FindTableForField(const std::string& name) {
    for (TZanQueryProviderItem* i = this; i; i = i->FParent)
        if (TTableNameItem* t = i->FEngine->GetTableList().FindTableForField(name)) return t;
    return nullptr;
}

void TZanQueryProviderItem::CreateParamList(TParams& params) {
    params.Clear();
    TStringList names;
    FEngine->GetParamList(&names);
    for (int i = 0; i < names.Count(); ++i)
        if (!params.FindParam(names.Strings(i)))
            params.CreateParam(ftUnknown, names.Strings(i), ptInput);
}

void TZanQueryProviderItem::BindParams(TZanExpr& expr) {
    TParams* params = GetProvider().GetParams();
    if (!params) return;
    for (TZanExprNode* n = expr.GetFirstNode(); n; n = n->Next) {
        if (n->Operator != zeoPARAMETER && n->OriginalOperator != zeoPARAMETER) continue;
        if (n->OriginalOperator != zeoPARAMETER) {
            n->OriginalOperator = zeoPARAMETER;
            n->OriginalData = n->Data;
        }
        const TParam* p = params->ParamByName(n->OriginalData.AsString());
        n->Data = p->GetValue();
        n->Operator = zeoCONST2;
        n->Kind = enkConst;
        if (p->GetDataType() != ftUnknown) n->DataType = p->GetDataType();
    }
}

// ---------------------------------------------------------------------------------------------
// Item: preparation and execution

bool TZanQueryProviderItem::Prepare() {
    bool ok = true;
    switch (FStatementType) {
    case zsSQLSelect:
        ok = PreparePlan();
        break;
    case zsSQLInsert:
        if (TParams* params = GetProvider().GetParams())
            FEngine->GetInsertParser().GetRowConstructor().BindParams(*params);
        break;
    case zsSQLDelete:
    case zsSQLUpdate:
    case zsSchemaManipulation:
        break;
    default:
        AddError(std::string(SzanUnrecognizedSQLStatement));
        return false;
    }
    if (!ok) return false;
    for (TZanQueryProviderItem* child : FChildren)
        if (!child->FWhereOnly) child->Prepare();
    return true;
}

void TZanQueryProviderItem::OpenTargetCursor() {
    TZanQueryDataset& target = *FResultSet;
    target.Close();
    if (target.GetInternalActive()) target.DataSetClose();
    TTableNameItem* t = FEngine->GetTableList().Items(0);
    target.SetDataBase(GetProvider().GetDatabase());
    target.SetTableName(t->GetTableName());
    target.SetMemory(t->GetMemory());
    target.DataSetOpen();
}

bool TZanQueryProviderItem::ExecSQL() {
    switch (FStatementType) {
    case zsSQLInsert:
        return ExecInsert();
    case zsSQLDelete:
        return ExecDelete();
    case zsSQLUpdate:
        return ExecUpdate();
    case zsSchemaManipulation:
        return ExecSchema();
    default:
        AddError("SQL statement cannot be executed by ExecSQL");
        return false;
    }
}

bool TZanQueryProviderItem::ExecInsert() {
    TZanInsertParser& p = FEngine->GetInsertParser();
    if (TParams* params = GetProvider().GetParams()) p.GetRowConstructor().BindParams(*params);
    OpenTargetCursor();
    TZanQueryDataset& target = *FResultSet;
    TScopeExit close([&] { target.DataSetClose(); });
    FResultFields.Clear();
    for (int i = 0; i < p.GetColumnNames().Count(); ++i) {
        TResultSetField* f = FResultFields.Add();
        f->SetFieldName(p.GetColumnNames().Strings(i));
    }
    if (p.GetHasSelectClause()) {
        ZanAssert(FChildren.size() == 1, "Insert select count is incorrect");
        TZanQueryProviderItem& source = *FChildren[0];
        if (!source.PreparePlan() || !source.CreateResultSet()) return false;
        TZanQueryDataset& rows = source.GetResultSet();
        rows.Open();
        TScopeExit closeRows([&] { rows.Close(); });
        // The rows are the statement's own table: read in runs (see TZanQuery's results).
        rows.SetUseReadAheadBuffer(true);
        // The target is closed after the statement: no added row needs the cursor on it.
        target.SetAppendOnly(true);
        TScopeExit appendOnly([&] { target.SetAppendOnly(false); });
        target.InsertDataFromDataset(FResultFields, rows, true, false, true);
        return true;
    }
    TZanRowConstructor& row = p.GetRowConstructor();
    TZanExprDataProvider none;
    row.Prepare(&none, GetProvider().GetInstant());
    for (int i = 0; i < FResultFields.Count(); ++i)
        FResultFields.Items(i)->SetData(i < row.Count() ? row.Items(i)->GetRowData() : Null());
    target.InsertData(FResultFields);
    return true;
}

bool TZanQueryProviderItem::ExecDelete() {
    OpenTargetCursor();
    TZanQueryDataset& target = *FResultSet;
    TScopeExit close([&] { target.DataSetClose(); });
    std::vector<uint32_t> list;
    const bool hasWhere = FEngine->GetDeleteParser().GetHasWhereClause();
    if (hasWhere) {
        ZanAssert(!FChildren.empty() && FChildren[0]->FWhereOnly,
                  "Parser engine table count is incorrect");
        if (!FChildren[0]->CreateResultList(list)) return false;
    }
    target.DeleteData(!hasWhere, list);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Provider

TZanQueryProvider::TZanQueryProvider()
    : TCollection([] { return std::make_unique<TZanQueryProviderItem>(); }) {
    FSQL.SetLineBreak("\n"); // the statement text as written (see TZanQuery)
}

TZanQueryProvider::~TZanQueryProvider() {
    // Children first: their result tables go before item 0's.
    while (Count() > 0)
        Delete(Count() - 1);
}

bool TZanQueryProvider::ValidateSQLOnly() {
    while (Count() > 0)
        Delete(Count() - 1);
    FOwnErrors.Clear();
    TZanQueryProviderItem* item = Add();
    // The table names and definitions the statement needs are read under one database header
    // lock rather than one lock (and one end of a write scope) per read.
    TDiskMgr* disk = FDatabase && FDatabase->GetConnected() && !FDatabase->IsMemoryDatabase()
                         ? FDatabase->GetDiskMgr()
                         : nullptr;
    const bool lock = disk && !disk->IsTransactionActive() && !disk->GetHeaderReadLocked() &&
                      !disk->GetHeaderWriteLocked();
    if (lock) disk->SetHeaderReadLock();
    TScopeExit release([&] {
        if (lock) disk->ReleaseHeaderLock();
    });
    return item->ValidateSQL();
}

bool TZanQueryProvider::ValidateSQL() {
    const bool ok = ValidateSQLOnly();
    if (ok && FParams) Items(0)->CreateParamList(*FParams);
    return ok;
}

void TZanQueryProvider::ResetParams() {
    if (!FParams || !FDatabase) return;
    if (!ValidateSQL() && Count() > 0) Items(0)->CreateParamList(*FParams);
}

bool TZanQueryProvider::PreparePlan() {
    return Count() > 0 && Items(0)->Prepare();
}

bool TZanQueryProvider::ExecSQL() {
    return Count() > 0 && Items(0)->ExecSQL();
}

bool TZanQueryProvider::CreateResultSet() {
    if (Count() == 0) return false;
    TZanQueryProviderItem* item = Items(0);
    item->SetRequestLive(FRequestLive && Count() == 1);
    item->SetCreateDefsOnly(FCreateDefsOnly);
    const bool ok = item->CreateResultSet();
    // The subqueries' result tables and table cursors go; their parsed statements stay, which
    // the parse trees of the statement point at, for a Refresh to run them again.
    for (int i = Count() - 1; i > 0; --i)
        Items(i)->ReleaseRun();
    return ok;
}

void TZanQueryProvider::SetLiveResultBridge(TZanDatasetBridge* bridge) {
    if (Count() > 0) Items(0)->SetLiveResultBridge(bridge);
}

TZanQueryDataset* TZanQueryProvider::GetResultSet() const {
    return Count() > 0 ? &Items(0)->GetResultSet() : nullptr;
}

bool TZanQueryProvider::GetIsLiveRequest() const {
    return Count() > 0 && Items(0)->GetResultIsLive();
}

TZanSQLStatementType TZanQueryProvider::GetSQLStatementType() const {
    return Count() > 0 ? Items(0)->GetSQLStatementType() : zsSQLUnknown;
}

int32_t TZanQueryProvider::GetRowsAffected() const {
    if (Count() == 0) return 0;
    TZanQueryProviderItem* item = Items(0);
    TZanQueryDataset& ds = item->GetResultSet();
    switch (item->GetSQLStatementType()) {
    case zsSQLSelect:
        return ds.GetActive() ? ds.GetRecordCount() : ds.GetRowsAffected();
    case zsSchemaManipulation:
        return 0;
    default:
        return ds.GetRowsAffected();
    }
}

void TZanQueryProvider::GetErrors(TStrings& list) const {
    list.Clear();
    for (int i = 0; i < FOwnErrors.Count(); ++i)
        if (!FOwnErrors.Strings(i).empty()) list.Add(FOwnErrors.Strings(i));
    for (int n = 0; n < Count(); ++n) {
        const TStringList& errors = Items(n)->GetErrors();
        for (int i = 0; i < errors.Count(); ++i)
            if (!errors.Strings(i).empty() && list.IndexOf(errors.Strings(i)) < 0)
                list.Add(errors.Strings(i));
    }
}

std::string TZanQueryProvider::GetErrorsAsText() const {
    TStringList list;
    GetErrors(list);
    std::string text;
    for (int i = 0; i < list.Count(); ++i)
        text += list.Strings(i) + ". ";
    return text;
}

bool TZanQueryProvider::CheckTableList(TTableList& tables, bool report) {
    ZanAssert(FDatabase != nullptr, "The database has not been assigned");
    std::unordered_set<std::string> disk, memory;
    TStringList names;
    if (!FDatabase->IsMemoryDatabase()) {
        FDatabase->GetTableNames(names);
        for (int i = 0; i < names.Count(); ++i)
            disk.insert(UpperCase(names.Strings(i)));
    }
    names.Clear();
    FDatabase->GetMemoryTableDefMgr().GetCurrentTableNames(names);
    for (int i = 0; i < names.Count(); ++i)
        memory.insert(UpperCase(names.Strings(i)));
    bool ok = true;
    for (int i = 0; i < tables.Count(); ++i) {
        TTableNameItem* t = tables.Items(i);
        const std::string name = UpperCase(t->GetTableName());
        if (!t->GetMemory() && disk.count(name)) {
            t->SetMemory(false);
            continue;
        }
        if (memory.count(name)) {
            t->SetMemory(true);
            continue;
        }
        ok = false;
        if (report) AddError("Table not found - " + t->GetTableName());
    }
    return ok;
}

TZanCompareFunc TZanQueryProvider::GetDBStringCompare() const {
    return FDatabase && FDatabase->GetDefaultSortOrder() == soASCII ? DBASCIICompareStrings
                                                                   : DBANSICompareStrings;
}

void TZanQueryProvider::GetFieldsForTable(const std::string& name, TInternalFields& fields,
                                          bool memory) {
    TTableDef def;
    FDatabase->QueryTableDef(name, memory, def);
    fields.Assign(*def.GetInternalFields());
}

} // namespace zan
