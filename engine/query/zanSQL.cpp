#include "engine/query/zanSQL.h"

#include <chrono>

#include "engine/storage/zanConsts.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/rtl/Variants.h"

namespace zan {

namespace {

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Rethrows the exception being handled. A value that did not convert while the statement ran
// (a string read as a date or a number: the host's EConvertError or EVariantError) becomes the
// engine error 9645 with the conversion's text.
[[noreturn]] void RethrowStatementError(const char* context, const TObject* object) {
    try {
        throw;
    } catch (const EConvertError& e) {
        ZanDatabaseError(9645, context, e.Message(), object);
    } catch (const EVariantError& e) {
        ZanDatabaseError(9645, context, e.Message(), object);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Data link

TDataSet* TZanQueryDataLink::GetDetailDataSet() const {
    return FQuery;
}

void TZanQueryDataLink::ActiveChanged() {
    if (FQuery->GetActive() && GetActive()) FQuery->RefreshParams();
}

void TZanQueryDataLink::RecordChanged(TField* field) {
    if (field == nullptr && FQuery->GetActive()) FQuery->RefreshParams();
}

void TZanQueryDataLink::CheckBrowseMode() {
    if (FQuery->GetActive()) FQuery->CheckBrowseMode();
}

// ---------------------------------------------------------------------------------------------
// Streaming

const TPropertyTable& TZanQuery::Properties() {
    using T = TZanQuery;
    static const TPropertyTable table = [] {
        TPropertyTableOf<T> t("TZanQuery");
        t.String(
             "SQL", [](T& q) { return q.GetSQL().GetText(); },
             [](T& q, const std::string& text) { q.GetSQL().SetText(text); })
            .Integer("MaxRecords", &T::GetMaxRecords, &T::SetMaxRecords, 0)
            .Boolean("ParamCheck", &T::GetParamCheck, &T::SetParamCheck, true)
            .Boolean("RequestLive", &T::GetRequestLive, &T::SetRequestLive, false);
        DefineProperties(t);
        return t;
    }();
    return table;
}

void TZanQuery::DefineProperties(TPropertyTableOf<TZanQuery>& table) {
    // Reading replaces the parameters; SQL read before them rebuilds nothing while loading.
    table.Collection("ParamData", [](TZanQuery& q) -> TCollection* { return &q.FParams; })
        .StoredIf([](TZanQuery& q) { return q.GetParamCount() > 0; });
}

// ---------------------------------------------------------------------------------------------
// Life

TZanQuery::TZanQuery(TComponent* owner)
    : TZanBaseTable(owner), FProvider(std::make_unique<TZanQueryProvider>()),
      FDataLink(std::make_unique<TZanQueryDataLink>(this)) {
    FProvider->SetParams(&FParams);
    // Lines joined by LF, the platform's line break: a line break inside a string literal
    // reaches the statement as it was written.
    FSQL.SetLineBreak("\n");
    FSQL.OnChange = [this](TObject*) { QueryChanged(); };
}

TZanQuery::~TZanQuery() {
    Destroying();
    try {
        Close();
    } catch (const std::exception&) {
    }
    FSQL.OnChange = nullptr;
    const std::string name = GetTableName();
    try {
        if (!name.empty()) DeleteResultTable(name);
    } catch (const std::exception&) {
        // Left in the memory tables until the database disconnects.
    }
    FDataLink->SetDataSource(nullptr);
    FProvider.reset();
}

void TZanQuery::Notification(TComponent* component, TOperation operation) {
    TZanBaseTable::Notification(component, operation);
    if (operation == opRemove && FDataLink->GetDataSource() == component)
        FDataLink->SetDataSource(nullptr);
}

void TZanQuery::DeleteResultTable(const std::string& name) {
    TZanDataBase* db = GetDataBase();
    if (!db || !db->GetConnected()) return;
    if (db->GetMemoryTableDefMgr().IndexOfTableName(name) < 0) return;
    DropResultTable(*db, name);
}

void TZanQuery::DropUntakenResultTable() {
    if (FProvider->Count() == 0) return;
    TZanQueryDataset& built = FProvider->Items(0)->GetResultSet();
    const std::string name = built.GetTableName();
    if (name.empty() || SameText(name, GetTableName())) return;
    built.Close();
    if (built.GetInternalActive()) built.DataSetClose();
    DeleteResultTable(name);
}

void TZanQuery::SetSQL(const TStrings& value) {
    if (FSQL.GetText() == value.GetText()) return;
    FSQL.BeginUpdate();
    TScopeExit end([&] { FSQL.EndUpdate(); });
    FSQL.Assign(value);
}

TDataSource* TZanQuery::GetDataSource() {
    return FDataLink->GetDataSource();
}

void TZanQuery::SetDataSource(TDataSource* source) {
    if (source != nullptr && IsLinkedTo(source)) DatabaseError(std::string(SCircularDataLink), this);
    FDataLink->SetDataSource(source);
}

void TZanQuery::QueryChanged() {
    if (GetComponentState().Contains(csLoading)) return;
    Close();
    UnPrepare();
    if (FParamCheck || GetComponentState().Contains(csDesigning)) {
        FProvider->SetDatabase(GetDataBase());
        if (TZanDataBase* db = GetDataBase()) {
            if (!db->GetConnected()) db->Open();
            FProvider->GetSQL().SetText(FSQL.GetText());
            FProvider->ResetParams();
        }
    }
    DataEvent(dePropertyChange, 0);
}

// ---------------------------------------------------------------------------------------------
// Prepare

void TZanQuery::SetPrepared(bool value) {
    if (value)
        Prepare();
    else
        UnPrepare();
}

void TZanQuery::RaiseProviderError(const char* context) {
    ZanDatabaseError(9645, context, FProvider->GetErrorsAsText(), this);
}

void TZanQuery::Prepare() {
    TZanDataBase* db = GetDataBase();
    if (!db) ZanDatabaseError(10112, "TZanQuery.Prepare", {}, this);
    if (!db->GetConnected()) db->Open();
    FProvider->SetDatabase(db);
    InternalPrepare();
    FPrepared = true;
}

void TZanQuery::InternalPrepare() {
    const auto start = std::chrono::steady_clock::now();
    FProvider->GetSQL().SetText(FSQL.GetText());
    FProvider->SetInstant(zan::Now());
    if (!FProvider->ValidateSQLOnly()) RaiseProviderError("TZanQuery.Prepare");
    if (GetDataSource()) SetParamsFromDataSource();
    if (!FProvider->PreparePlan()) RaiseProviderError("TZanQuery.Prepare");
    FProvider->SetMaxRecords(FMaxRecords);
    FPrepareTime = MillisecondsSince(start);
}

void TZanQuery::UnPrepare() {
    FPrepared = false;
    FBridge.reset();
}

void TZanQuery::SetParamsFromDataSource() {
    TDataSource* source = GetDataSource();
    TDataSet* master = source ? source->GetDataSet() : nullptr;
    if (!master) return;
    master->GetFieldDefs().Update();
    for (int i = 0; i < FParams.Count(); ++i) {
        TParam* p = FParams[i];
        if (p->GetBound()) continue;
        TField* f = master->FieldByName(p->GetName());
        p->AssignField(*f);
        p->SetBound(false);
    }
}

void TZanQuery::RefreshParams() {
    DisableControls();
    TScopeExit enable([&] { EnableControls(); });
    TDataSource* source = GetDataSource();
    TDataSet* master = source ? source->GetDataSet() : nullptr;
    if (master && master->GetActive() && master->GetState() != dsSetKey) {
        Close();
        Open();
    }
}

// ---------------------------------------------------------------------------------------------
// The transaction bracket

void TZanQuery::InternalConnect() {
    TZanDataBase* db = GetDataBase();
    if (!db) ZanDatabaseError(10112, "TZanQuery.InternalConnect", {}, this);
    FSavedConnected = db->GetConnected();
    if (!db->GetConnected()) db->Open();
    FProvider->SetDatabase(db);
    db->ActivateQueryMode(FProvider->GetSQLStatementType() != zsSQLSelect);
    FSuccess = false;
    FInTransaction = db->InTransaction();
    if (FAutoTransaction && !FInTransaction) db->StartTransaction();
}

void TZanQuery::InternalDisconnect() {
    TZanDataBase* db = GetDataBase();
    if (!db) return;
    db->SetQueryActive(false);
    const bool ours = FAutoTransaction && !FInTransaction && db->GetConnected() &&
                      db->InTransaction();
    if (!FSuccess) {
        if (ours) db->Rollback();
    } else if (ours) {
        try {
            db->Commit();
        } catch (...) {
            // A commit that fails (a write lock that cannot be upgraded: 10249) leaves the
            // transaction open; the statement's own transaction is rolled back so that the
            // next statement does not run, uncommitted, inside it. The commit's error is the
            // one reported.
            try {
                if (db->InTransaction()) db->Rollback();
            } catch (...) {
            }
            FAutoTransaction = false;
            if (!FSavedConnected && db->GetConnected()) db->Close();
            throw;
        }
    }
    FAutoTransaction = false;
    if (!FSavedConnected && db->GetConnected()) db->Close();
}

// ---------------------------------------------------------------------------------------------
// Open, close, refresh

void TZanQuery::InternalOpen() {
    static const char* const context = "TZanQuery.InternalOpen";
    SetMemory(true);
    TZanDataBase* db = GetDataBase();
    if (!db) ZanDatabaseError(10112, context, {}, this);
    if (!db->GetConnected()) db->Open();
    if (!FPrepared) Prepare();
    if (FProvider->GetSQLStatementType() != zsSQLSelect)
        ZanDatabaseError(9645, context, "SQL statement cannot be opened (execute by ExecSQL)",
                         this);
    FAutoTransaction = !db->IsMemoryDatabase();
    FProvider->SetInstant(zan::Now());
    InternalConnect();
    TZanQueryDataset* built = nullptr;
    try {
        FProvider->SetRequestLive(FRequestLive);
        FProvider->SetCreateDefsOnly(FCreateDefsOnly);
        const auto start = std::chrono::steady_clock::now();
        if (!FProvider->CreateResultSet()) RaiseProviderError(context);
        FBuildTime = MillisecondsSince(start);
        built = FProvider->GetResultSet();
        const std::string name = built->GetTableName();
        const std::string previous = GetTableName();
        if (!previous.empty() && !SameText(previous, name)) DeleteResultTable(previous);
        SetTableName(name);
        // ORDER BY decides the delivery order, else the first result index.
        std::string index;
        for (const char* n : {"idxorderby", "idxgroupby", "idxdistinct"})
            if (index.empty() && built->FindIndexDefByName(n)) index = n;
        TZanDataSet::SetIndexName(index);
        SetReadOnly(!FProvider->GetIsLiveRequest());
        built->Close();
        if (built->GetInternalActive()) built->DataSetClose();
        TZanBaseTable::InternalOpen();
        // A read-only result is a table of this query's own, written only while it is built (a
        // refresh drops what was read ahead): steps take its records in runs, as from a file
        // table, instead of a key search each.
        if (!FProvider->GetIsLiveRequest()) SetUseReadAheadBuffer(true);
        // A column whose field name was cut from long select-list text shows the whole text.
        TResultSetFields& output = FProvider->Items(0)->GetResultFields();
        for (int i = 0; i < output.Count(); ++i)
            if (!output.Items(i)->DisplayName.empty())
                if (TField* f = FindField(output.Items(i)->GetFieldName()))
                    f->SetDisplayLabel(output.Items(i)->DisplayName);
        if (FProvider->GetIsLiveRequest()) {
            if (!FBridge) FBridge = std::make_unique<TZanDatasetBridge>();
            FBridge->Close();
            FBridge->SetDataBase(db);
            FProvider->SetLiveResultBridge(FBridge.get());
            // Computed columns cannot be written back.
            TResultSetFields& columns = FProvider->Items(0)->GetResultFields();
            for (int i = 0; i < columns.Count(); ++i)
                if (TField* f = FindField(columns.Items(i)->GetFieldName()))
                    f->SetReadOnly(columns.Items(i)->IsComputed());
            for (const char* hidden : {"__RecAddr", "__RecModFlag", "__RecLogicalNo"})
                if (TField* f = FindField(hidden)) {
                    f->SetVisible(false);
                    f->SetReadOnly(true);
                }
        }
        FSuccess = true;
    } catch (...) {
        if (built) {
            built->Close();
            if (built->GetInternalActive()) built->DataSetClose();
        }
        if (FBridge) FBridge->Close();
        DropUntakenResultTable();
        FSuccess = false;
        InternalDisconnect();
        RethrowStatementError(context, this);
    }
    InternalDisconnect();
}

void TZanQuery::InternalClose() {
    UnPrepare();
    TZanBaseTable::InternalClose();
}

void TZanQuery::InternalOpenForDefs() {
    FCreateDefsOnly = true;
    TScopeExit reset([&] { FCreateDefsOnly = false; });
    Open();
}

void TZanQuery::InternalCloseForDefs() {
    FCreateDefsOnly = false;
    Close();
}

void TZanQuery::InternalRefresh() {
    DisableControls();
    TScopeExit enable([&] { EnableControls(); });
    FAutoTransaction = GetDataBase() && !GetDataBase()->IsMemoryDatabase();
    FProvider->SetInstant(zan::Now());
    InternalConnect();
    try {
        FProvider->SetRequestLive(FRequestLive);
        if (!FProvider->PreparePlan() || !FProvider->CreateResultSet())
            RaiseProviderError("TZanQuery.InternalOpen");
        TZanQueryDataset* built = FProvider->GetResultSet();
        built->Close();
        if (built->GetInternalActive()) built->DataSetClose();
        FSuccess = true;
    } catch (...) {
        FSuccess = false;
        InternalDisconnect();
        RethrowStatementError("TZanQuery.InternalRefresh", this);
    }
    InternalDisconnect();
    InvalidateReadAhead(true);
    TZanBaseTable::InternalRefresh();
}

bool TZanQuery::GetCanModify() {
    // A live result is editable only while its base table is (not on a read-only database).
    return GetActive() && FProvider->GetIsLiveRequest() && TZanBaseTable::GetCanModify() &&
           !(FBridge && FBridge->GetInternalActive() && FBridge->GetIsReadOnly());
}

TZanDatasetBridge& TZanQuery::LiveBridge() {
    ZanAssert(FBridge != nullptr, "LiveResultBridge is not assigned");
    ZanAssert(FBridge->GetInternalActive(), "LiveResultBridge is not active");
    return *FBridge;
}

void TZanQuery::ReadRowFlags(uint32_t& address, uint32_t& stamp, uint32_t& logicalNo) {
    const uint8_t* row = GetActiveRecBuf();
    const int32_t n = GetFieldNo("__RecAddr");
    ZanAssert(row != nullptr && n >= 0, "LiveResultBridge is not assigned");
    address = uint32_t(DataSetGetFieldDataFromRecBufAsVariant(row, n).AsInteger());
    stamp = uint32_t(DataSetGetFieldDataFromRecBufAsVariant(row, n + 1).AsInteger());
    logicalNo = uint32_t(DataSetGetFieldDataFromRecBufAsVariant(row, n + 2).AsInteger());
}

void TZanQuery::CopyRowToBridge() {
    TZanDatasetBridge& bridge = *FBridge;
    TResultSetFields& columns = FProvider->Items(0)->GetResultFields();
    for (int i = 0; i < columns.Count(); ++i) {
        TResultSetField* c = columns.Items(i);
        if (c->IsComputed()) continue;
        TField* f = FindField(c->GetFieldName());
        const int32_t target = bridge.GetFieldNo(c->SourceFieldName);
        if (!f || f->GetFieldKind() != fkData || f->GetReadOnly() || target < 0) continue;
        bridge.DataSetSetFieldDataAsVariant(target, f->IsNull() ? Null() : f->GetValue());
    }
}

void TZanQuery::InternalPost() {
    if (!FProvider->GetIsLiveRequest()) {
        TZanBaseTable::InternalPost();
        return;
    }
    TDataSet::InternalPost(); // the required fields, before the base table is written
    TZanDatasetBridge& bridge = LiveBridge();
    uint8_t* row = GetActiveRecBuf();
    const int32_t n = GetFieldNo("__RecAddr");
    if (GetState() == dsEdit) {
        uint32_t address, stamp, logicalNo;
        ReadRowFlags(address, stamp, logicalNo);
        bridge.MoveToRecAddrAndValidate(address, stamp, logicalNo);
        CopyRowToBridge();
        bridge.UpdateRecord();
        DataSetSetFieldDataToRecBufAsVariant(row, n + 1, Variant(int32_t(stamp + 1)));
    } else {
        bridge.ClearRecord();
        bridge.InitializeNewRecord(bridge.GetRecBuf(), false);
        CopyRowToBridge();
        bridge.AddRecord(true);
        DataSetSetFieldDataToRecBufAsVariant(row, n, Variant(int32_t(bridge.GetRecAddr())));
        DataSetSetFieldDataToRecBufAsVariant(row, n + 1,
                                             Variant(int32_t(bridge.GetRecModFlag())));
        DataSetSetFieldDataToRecBufAsVariant(row, n + 2,
                                             Variant(int32_t(bridge.GetRecLogicalNo())));
    }
    TZanBaseTable::InternalPost();
}

void TZanQuery::InternalDelete() {
    if (FProvider->GetIsLiveRequest()) {
        TZanDatasetBridge& bridge = LiveBridge();
        uint32_t address, stamp, logicalNo;
        ReadRowFlags(address, stamp, logicalNo);
        bridge.MoveToRecAddrAndValidate(address, stamp, logicalNo);
        bridge.DeleteRecord(nullptr);
    }
    TZanBaseTable::InternalDelete();
}

// ---------------------------------------------------------------------------------------------
// ExecSQL

void TZanQuery::ExecSQL() {
    static const char* const context = "TZanQuery.ExecSQL";
    TZanDataBase* db = GetDataBase();
    if (!db) ZanDatabaseError(10112, context, {}, this);
    Close();
    if (!db->GetConnected()) db->Open();
    if (!FPrepared) Prepare();
    const TZanSQLStatementType type = FProvider->GetSQLStatementType();
    if (type == zsSchemaManipulation && db->InTransaction()) ZanDatabaseError(10122, context, {}, this);
    FAutoTransaction = (type == zsSQLInsert || type == zsSQLDelete || type == zsSQLUpdate) &&
                       !db->IsMemoryDatabase();
    FProvider->SetInstant(zan::Now());
    InternalConnect();
    try {
        FSuccess = FProvider->ExecSQL();
    } catch (...) {
        FSuccess = false;
        InternalDisconnect();
        RethrowStatementError(context, this);
    }
    InternalDisconnect();
    if (!FSuccess) RaiseProviderError(context);
}

} // namespace zan
