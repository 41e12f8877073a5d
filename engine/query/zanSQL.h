// TZanQuery, the SQL dataset component: holds the SQL text and its parameters, prepares and
// runs the statement through a query provider and, for a SELECT, opens itself as a cursor on the
// in-memory result table the provider built. A live result carries edits, inserts and deletes
// through to the base table by a dataset bridge.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanDatasetBridge.h"
#include "engine/query/zanQueryProvider.h"
#include "host/db/DataLinks.h"
#include "host/db/Params.h"
#include "host/rtl/ComponentText.h"

namespace zan {

class TZanQuery;

// The link to the master dataset whose fields give the query's parameters.
class TZanQueryDataLink : public TDetailDataLink {
public:
    explicit TZanQueryDataLink(TZanQuery* query) : FQuery(query) {}
    ZAN_CLASS(TZanQueryDataLink)
    TDataSet* GetDetailDataSet() const override;

protected:
    void ActiveChanged() override;
    void RecordChanged(TField* field) override;
    void CheckBrowseMode() override;

private:
    TZanQuery* FQuery; // not owned
};

class TZanQuery : public TZanBaseTable {
public:
    explicit TZanQuery(TComponent* owner = nullptr);
    ~TZanQuery() override;
    ZAN_CLASS(TZanQuery)
    // Streamed in the component text form: SQL (its text), MaxRecords, ParamCheck, RequestLive
    // and the defined property "ParamData" (the Params collection, written only when there is at
    // least one parameter).
    ZAN_PROPERTIES(TZanQuery)

    // Published properties.
    TStringList& GetSQL() { return FSQL; }
    void SetSQL(const TStrings& value);
    TZanDataBase* GetDatabase() const { return GetDataBase(); }
    void SetDatabase(TZanDataBase* db) { SetDataBase(db); }
    TDataSource* GetDataSource() override;
    // A source whose dataset takes its values from this query is a circular link.
    void SetDataSource(TDataSource* source);
    int32_t GetMaxRecords() const { return FMaxRecords; }
    void SetMaxRecords(int32_t value) { FMaxRecords = value; }
    bool GetParamCheck() const { return FParamCheck; }
    void SetParamCheck(bool value) { FParamCheck = value; }
    int GetParamCount() const { return FParams.Count(); }
    TParams& GetParams() { return FParams; }
    void SetParams(const TParams& value) { FParams.Assign(value); }
    int32_t GetRowsAffected() const { return FProvider ? FProvider->GetRowsAffected() : 0; }
    bool GetRequestLive() const { return FRequestLive; }
    void SetRequestLive(bool value) { FRequestLive = value; }

    bool GetPrepared() const { return FPrepared; }
    void SetPrepared(bool value);
    void Prepare();
    void UnPrepare();
    void ExecSQL();
    TParam* ParamByName(const std::string& name) { return FParams.ParamByName(name); }
    TZanSQLStatementType GetSQLStatementType() const { return FProvider->GetSQLStatementType(); }
    void SetParamsFromDataSource();
    void RefreshParams();
    void QueryChanged();
    // Field definitions only (the design-time field editor).
    void InternalOpenForDefs();
    void InternalCloseForDefs();
    // Milliseconds of the last prepare and the last result-set build.
    double GetPrepareTime() const { return FPrepareTime; }
    double GetBuildTime() const { return FBuildTime; }
    TZanQueryProvider& GetProvider() { return *FProvider; }

protected:
    bool GetCanModify() override;
    void InternalRefresh() override;
    void InternalDelete() override;
    void InternalPost() override;
    void InternalClose() override;
    void InternalOpen() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    // Adds the defined properties to the query's property table.
    static void DefineProperties(TPropertyTableOf<TZanQuery>& table);
    void InternalPrepare();
    void InternalConnect();
    void InternalDisconnect();
    // 9645 with the provider's errors.
    [[noreturn]] void RaiseProviderError(const char* context);
    void DeleteResultTable(const std::string& name);
    // A failed open drops the result table the provider made and the query did not take.
    void DropUntakenResultTable();
    // Live results: the bridge checked, the row's base record address and stamp (the two
    // hidden fields after the visible ones), the row's data copied into the bridge's record.
    TZanDatasetBridge& LiveBridge();
    void ReadRowFlags(uint32_t& address, uint32_t& stamp, uint32_t& logicalNo);
    void CopyRowToBridge();

    TStringList FSQL;
    TParams FParams{this};
    std::unique_ptr<TZanQueryProvider> FProvider;
    std::unique_ptr<TZanQueryDataLink> FDataLink;
    std::unique_ptr<TZanDatasetBridge> FBridge;
    int32_t FMaxRecords = 0;
    bool FParamCheck = true;
    bool FRequestLive = false;
    bool FPrepared = false;
    bool FCreateDefsOnly = false;
    bool FSavedConnected = false;
    bool FAutoTransaction = false;
    bool FInTransaction = false;
    bool FSuccess = false;
    double FPrepareTime = 0;
    double FBuildTime = 0;
};

} // namespace zan
