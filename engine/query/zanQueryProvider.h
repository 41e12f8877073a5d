// The query provider: turns one SQL text into work. It validates (parses) the statement,
// prepares it, and either builds the result set of a SELECT or executes INSERT, DELETE, UPDATE
// and schema statements. Each statement, subquery and UNION member is a provider item; item 0
// is the statement itself, further items are added while parsing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanQueryDataset.h"
#include "engine/sql/zanParserEngine.h"
#include "host/db/Params.h"
#include "host/rtl/Collections.h"
#include "host/rtl/StringList.h"

namespace zan {

class TZanQueryProvider;
class TZanQueryProviderItem;
class TZanDatasetBridge;
class TZanBaseJoinDataProvider;
struct TZanQueryPlanState;

// The row source of a subquery node: runs the item's statement and hands out its result.
class TQueryExprNodeDataProvider : public TCustomExprNodeDataProvider {
public:
    explicit TQueryExprNodeDataProvider(TZanQueryProviderItem* item) : FItem(item) {}
    bool PrepareAndOpen() override;
    bool ReadRows(const std::vector<Variant>*& firstColumn, int32_t& columns) override;
    TZanQueryProviderItem* GetItem() const { return FItem; }

private:
    TZanQueryProviderItem* FItem; // not owned
};

class TZanQueryProviderItem : public TCollectionItem {
public:
    TZanQueryProviderItem();
    ~TZanQueryProviderItem() override;
    ZAN_CLASS(TZanQueryProviderItem)

    bool ValidateSQL();
    bool Prepare();
    bool PreparePlan();
    bool ExecSQL();
    bool CreateResultSet();
    // The record addresses of the rows the item's WHERE selects (DELETE and UPDATE).
    bool CreateResultList(std::vector<uint32_t>& list);
    void SetLiveResultBridge(TZanDatasetBridge* bridge);
    // A field value of the current row of a named table, looked up here, then up the parents.
    bool GetFieldData(const std::string& tableName, const std::string& fieldName, Variant& value);
    TTableNameItem* FindTable(const std::string& name);
    TTableNameItem* FindTableForField(const std::string& name);
    void CreateParamList(TParams& params);

    TZanQueryProvider& GetProvider() const;
    TZanParserEngine& GetEngine() const { return *FEngine; }
    // The item parses with the engine its parent's engine made for it.
    void AssignExternalParserEngine(TZanParserEngine* engine);
    TZanSQLStatementType GetSQLStatementType() const { return FStatementType; }
    TZanQueryDataset& GetResultSet() { return *FResultSet; }
    TResultSetFields& GetResultFields() { return FResultFields; }
    TZanSelectAnalyser& GetSelectAnalyser() { return FSelectAnalyser; }
    TZanQueryProviderItem* GetParentQuery() const { return FParent; }
    const std::vector<TZanQueryProviderItem*>& GetChildren() const { return FChildren; }
    bool GetIsCorrelated() const { return FIsCorrelated; }
    void SetRequestLive(bool value) { FRequestLive = value; }
    bool GetResultIsLive() const { return FResultIsLive; }
    void SetCreateDefsOnly(bool value) { FCreateDefsOnly = value; }
    const TStringList& GetErrors() const { return FErrors; }
    TQueryExprNodeDataProvider& GetSubqueryProvider() { return FSubqueryProvider; }
    bool GetUnionAll() const { return FUnionAll; }
    // Times the plan was prepared (tests count re-plans of correlated subqueries).
    int32_t GetPlanCount() const { return FPlanCount; }
    // Whether the item is a keyed correlated subquery whose rows were read once (tests).
    bool GetRowsKeyed() const { return FKeyedState == ksBuilt; }
    // Off: every correlated subquery runs per outer row (tests compare both ways).
    static void SetKeyedSubqueries(bool value);
    // The rows of a keyed correlated subquery for the current outer row (see FKeyedState);
    // False when the item is not keyed or this outer row's values cannot be keyed.
    bool KeyedRows(const std::vector<Variant>*& firstColumn, int32_t& columns);
    void AddError(const std::string& text);

private:
    friend class TZanQueryProvider;
    friend class TQueryExprNodeDataProvider;
    void ResetEngine(TZanParserEngine* external);
    bool InternalParseQuery();
    bool InternalParseSelectQuery();
    bool InternalParseWhereQuery();
    bool InternalParseInsert();
    bool InternalParseDelete();
    bool InternalParseUpdate();
    bool InternalParseSchema();
    bool CheckAndSetupTables(TTableList& tables);
    void InternalSetupTableLists(TTableList& tables);
    bool ValidateUnionSubStatements();
    std::string UnrecognizedText() const;
    void ParserEngineCallback(TParserNotifyType type, TZanParserEngine* engine,
                              TZanExprNode* node, Variant& value);
    TZanQueryProviderItem& NewChild(TZanParserEngine* engine);
    // The target cursor of INSERT, DELETE and UPDATE on table 0 of the statement.
    void OpenTargetCursor();
    bool ExecInsert();
    bool ExecDelete();
    bool ExecUpdate();
    bool ExecSchema();
    bool ExecSchemaOnTable();
    // Binds the provider's parameters into every parameter node of the tree.
    void BindParams(TZanExpr& expr);
    // Outer-field nodes take the current value of their field in the item owning the table.
    void ResolveOuterReferences(TZanExpr& expr);
    // The current value of an outer-field node's field.
    Variant OuterValue(const TZanExprNode& node);
    // Whether the item can be keyed (FKeyedState); fills FKeyParts and FKeyTerms.
    bool AnalyseKeyed();
    // Reads the rows once, without the key equalities, grouped by the inner key values.
    bool BuildKeyedRows();
    bool InternalCreateResultSet();
    // The WHERE the analyser splits: without the conditions that read correlated subqueries.
    TZanExprNode* PushableWhere();
    void CreateResultSetFields();
    void CreateResultSetIndexes();
    bool ProcessUnionResultSets();
    // "$Q", the item's ID in 4 hex digits, a random number in 8; drawn again while a memory
    // table of the database has that name.
    const std::string& ResultTableName();
    void DeleteResultTable();
    // After the statement's result is built: drops the result table and closes the plan (its
    // table cursors), and forgets keyed rows, keeping what was parsed so that the statement
    // can run again (Refresh).
    void ReleaseRun();

    std::unique_ptr<TZanParserEngine> FOwnEngine;
    TZanParserEngine* FEngine = nullptr; // FOwnEngine or the parent's nested engine
    TZanSelectAnalyser FSelectAnalyser;
    TResultSetFields FResultFields;
    std::unique_ptr<TZanQueryDataset> FResultSet;
    std::unique_ptr<TZanQueryPlanState> FPlan;
    std::vector<TZanQueryProviderItem*> FChildren; // items of the provider, not owned here
    TZanQueryProviderItem* FParent = nullptr;
    TQueryExprNodeDataProvider FSubqueryProvider{this};
    TStringList FErrors;
    TZanSQLStatementType FStatementType = zsSQLUnknown;
    std::string FResultTableName;
    bool FIsCorrelated = false;
    bool FRequestLive = false;
    bool FResultIsLive = false;
    bool FCreateDefsOnly = false;
    bool FResultDefsExist = false;
    bool FUnionAll = false;
    bool FUnionPart = false;
    bool FWhereOnly = false;
    // The subquery of an EXISTS: one row of its result decides.
    bool FExistsOnly = false;
    // UPDATE: the old row the SET values read, for the outer references of their subqueries.
    TZanBaseJoinDataProvider* FUpdateRowSource = nullptr;
    int32_t FPlanCount = 0;
    // Outer references the item's own clauses hold (counted as the parser resolves them).
    int32_t FOuterRefCount = 0;
    // A correlated SELECT whose outer references all sit in top-level WHERE equalities
    // "inner column = outer column" (nothing grouped, distinct or nested) is keyed: its rows
    // are read once without those equalities and grouped by the inner columns' values; an
    // outer row then takes the group of its own values instead of running the subquery again.
    enum TKeyedState : uint8_t { ksUnknown, ksNo, ksPlanned, ksBuilt };
    struct TKeyPart {
        const TZanExprNode* Inner; // a field node of the subquery's tables
        const TZanExprNode* Outer; // an outer-field node
        bool Strings;              // string keys (else numbers)
    };
    // Another comparison of an inner and an outer column, checked on a group's rows.
    struct TResidual {
        const TZanExprNode* Term;
        const TZanExprNode* Inner;
        const TZanExprNode* Outer;
        bool InnerLeft;
        bool Strings;
    };
    TKeyedState FKeyedState = ksUnknown;
    std::vector<TKeyPart> FKeyParts;
    std::vector<TResidual> FResiduals;
    std::vector<const TZanExprNode*> FKeyTerms; // the WHERE conjuncts keys and residuals stand for
    // COUNT, MIN or MAX as the only column: computed over the rows of a group that pass.
    TZanSQLAggFunc FKeyedAggregate = zafUnknown;
    // Per key: for each row, the first column's value (an aggregate's argument) followed by
    // the residuals' inner values.
    std::unordered_map<std::string, std::vector<Variant>> FKeyedRows;
    std::vector<Variant> FProbeRows; // the rows one outer row takes when they are computed
    int32_t FKeyedColumns = 0;
    // Reading every row once pays off only over enough outer rows: the first ones run the
    // subquery, until those runs would have cost about what the reading will (see KeyedRows).
    int64_t FKeyedDeferred = 0;
    int64_t FKeyedThreshold = -1;
    bool FDropKeyTerms = false; // PreparePlan leaves FKeyTerms out of the WHERE
};

class TZanQueryProvider : public TCollection {
public:
    TZanQueryProvider();
    ~TZanQueryProvider() override;
    ZAN_CLASS(TZanQueryProvider)
    TZanQueryProviderItem* Add() { return static_cast<TZanQueryProviderItem*>(TCollection::Add()); }
    TZanQueryProviderItem* Items(int i) const {
        return static_cast<TZanQueryProviderItem*>(TCollection::Items(i));
    }

    TStringList& GetSQL() { return FSQL; }
    TZanDataBase* GetDatabase() const { return FDatabase; }
    void SetDatabase(TZanDataBase* db) { FDatabase = db; }
    TParams* GetParams() const { return FParams; }
    void SetParams(TParams* params) { FParams = params; }
    int32_t GetMaxRecords() const { return FMaxRecords; }
    void SetMaxRecords(int32_t value) { FMaxRecords = value; }
    bool GetRequestLive() const { return FRequestLive; }
    void SetRequestLive(bool value) { FRequestLive = value; }
    bool GetCreateDefsOnly() const { return FCreateDefsOnly; }
    void SetCreateDefsOnly(bool value) { FCreateDefsOnly = value; }
    // The instant CURRENT_* read during one execution.
    TDateTime GetInstant() const { return FInstant; }
    void SetInstant(TDateTime value) { FInstant = value; }

    bool ValidateSQLOnly();
    bool ValidateSQL();
    void ResetParams();
    bool PreparePlan();
    bool ExecSQL();
    bool CreateResultSet();
    void SetLiveResultBridge(TZanDatasetBridge* bridge);
    TZanQueryDataset* GetResultSet() const;
    bool GetIsLiveRequest() const;
    TZanSQLStatementType GetSQLStatementType() const;
    int32_t GetRowsAffected() const;
    void GetErrors(TStrings& list) const;
    std::string GetErrorsAsText() const;
    bool CheckTableList(TTableList& tables, bool report);
    void GetFieldsForTable(const std::string& name, TInternalFields& fields, bool memory);
    void AddError(const std::string& text) { FOwnErrors.Add(text); }
    bool HasOwnErrors() const { return FOwnErrors.Count() > 0; }
    // Subquery results built (each run of a correlated subquery counts).
    int32_t GetSubqueryRuns() const { return FSubqueryRuns; }
    void CountSubqueryRun() { ++FSubqueryRuns; }
    // The comparison of the database's sort order.
    TZanCompareFunc GetDBStringCompare() const;

private:
    TStringList FSQL;
    TStringList FOwnErrors;
    TZanDataBase* FDatabase = nullptr; // not owned
    TParams* FParams = nullptr;        // not owned
    int32_t FMaxRecords = 0;
    bool FRequestLive = false;
    bool FCreateDefsOnly = false;
    TDateTime FInstant = 0;
    int32_t FSubqueryRuns = 0;
};

} // namespace zan
