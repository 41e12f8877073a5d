// The row sources of a SELECT: a non-join provider per table reference (reading through a
// dataset bridge) and a standard join provider per join (an outer and an inner provider
// combined by a join evaluator), all expression data providers, so that evaluators read field
// values from whichever provider holds the current row. The manager creates and owns every
// provider and bridge of one statement and yields the joined rows that pass the whole WHERE.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/query/zanDatasetBridge.h"
#include "engine/sql/zanExprEvaluator.h"
#include "engine/sql/zanParserUtils.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/StringList.h"

namespace zan {

class TZanDataBase;
class TJoinAnalyser;
class TJoinEvaluator;
class TZanBaseJoinDataProvider;

// Provider join types (ordinals differ from TZanTableRefType's).
enum TZanJoinType : uint8_t {
    jtNone,
    jtCrossJoin,
    jtUnionJoin,
    jtInnerJoin,
    jtLeftOuterJoin,
    jtRightOuterJoin,
    jtFullOuterJoin,
};

// "jtNone", "jtCrossJoin", ...
std::string_view ZanJoinTypeName(TZanJoinType type);

// A field of a provider's row: the provider that holds it and its FieldIndex there.
class TJoinFieldItem : public TInternalFieldItem {
public:
    TJoinFieldItem();
    ~TJoinFieldItem() override;
    ZAN_CLASS(TJoinFieldItem)

    int32_t GetSourceFieldNo() const { return FSourceFieldNo; }
    void SetSourceFieldNo(int32_t n) { FSourceFieldNo = n; }
    TZanBaseJoinDataProvider* GetDataProvider() const { return FDataProvider; }
    void SetDataProvider(TZanBaseJoinDataProvider* p) { FDataProvider = p; }
    // Prepares the owned evaluator over the data provider (NULL comparisons excluded).
    void PrepareJoinExprEvaluator(TZanExprNode* node);
    TExprEvaluator* GetEvaluator() const { return FEvaluator.get(); }
    void Assign(const TCollectionItem& source) override;

private:
    int32_t FSourceFieldNo = -1;
    TZanBaseJoinDataProvider* FDataProvider = nullptr;
    std::unique_ptr<TExprEvaluator> FEvaluator;
};

class TJoinFields : public TInternalFields {
public:
    TJoinFields();
    ZAN_CLASS(TJoinFields)
    TJoinFieldItem* Add() { return static_cast<TJoinFieldItem*>(TInternalFields::Add()); }
    TJoinFieldItem* Items(int index) const {
        return static_cast<TJoinFieldItem*>(TInternalFields::Items(index));
    }

protected:
    // Collections of fields derived from TJoinFieldItem.
    explicit TJoinFields(TCollectionItemFactory factory) : TInternalFields(std::move(factory)) {}
};

class TZanBaseJoinDataProvider : public TZanExprDataProvider {
public:
    TZanBaseJoinDataProvider();
    ~TZanBaseJoinDataProvider() override;

    // --- The expression data provider ---------------------------------------------------------
    TInternalFields& GetProviderFields() override;
    TZanExprDataProvider* FindProvider(std::string_view name) override;

    // --- Joins ---------------------------------------------------------------------------------
    virtual void SetProviderName(const std::string& name) { FProviderName = name; }
    virtual void GetRawFieldData(int32_t fieldNo, TDataHolder& holder);
    virtual bool NextProviderRecord() { return false; }
    virtual bool FirstProviderRecord() { return false; }
    virtual bool LastProviderRecord() { return false; }
    virtual void OpenProvider() {}
    virtual void SetSelectExpr(bool enforceOrder, const std::string& orderIndexName);
    virtual void AssessJoin(const std::vector<std::string>& fieldNames, const Variant& value);
    virtual void PrepareJoin(const std::vector<std::string>& fieldNames);
    virtual void SetJoinValues(TZanExprOperator op, const std::vector<std::string>& fieldNames,
                               const std::vector<TDataHolder*>& values);
    // The provider of that exposed name (an alias, else a table name) in this subtree; a
    // table name finds an aliased table only when it is unique there; nullptr when none.
    virtual TZanBaseJoinDataProvider* FindJoinProvider(std::string_view name);
    virtual void SetJoinSelectExprRoot(const TZanExprNode* node);
    virtual void SetExtraSelectExpRoot(const TZanExprNode* node);
    // -1 when unknown.
    virtual int32_t GetRecordCount() { return -1; }
    // The current row's identity; empty when there is none.
    virtual std::string CurrentRecordIDAsString() { return {}; }
    // Whether the provider reads one table.
    virtual bool IsSingleTable() const { return false; }
    // Closes bridges and forgets per-open state.
    virtual void CloseProvider() { FIsOpen = false; }

    const std::string& GetProviderName() const { return FProviderName; }
    const std::string& GetCorrelationName() const { return FCorrelationName; }
    void SetCorrelationName(const std::string& name) { FCorrelationName = name; }
    // The name the statement knows the provider by: the correlation name, else its name.
    const std::string& ExposedName() const {
        return FCorrelationName.empty() ? FProviderName : FCorrelationName;
    }
    TZanBaseJoinDataProvider* GetOuterProvider() const { return FOuterProvider; }
    void SetOuterProvider(TZanBaseJoinDataProvider* p) { FOuterProvider = p; }
    TZanBaseJoinDataProvider* GetInnerProvider() const { return FInnerProvider; }
    void SetInnerProvider(TZanBaseJoinDataProvider* p) { FInnerProvider = p; }
    TZanJoinType GetJoinType() const { return FJoinType; }
    void SetJoinType(TZanJoinType type) { FJoinType = type; }
    TJoinStatistics& GetStatistics() { return FStatistics; }
    // The provider's own condition (a copy); nullptr when none.
    TZanExprNode* GetJoinSelectExprRoot() const { return FJoinSelectExpr->GetRootNode(); }
    bool GetIsOpen() const { return FIsOpen; }
    bool GetForceToNullValues() const { return FForceToNullValues; }
    // A join passes it on to every provider below it, whose fields are read directly too.
    virtual void SetForceToNullValues(bool value) { FForceToNullValues = value; }
    // Writes the subtree: "outer ->", the outer subtree, the name, "inner ->", the inner one.
    void DebugDumpProviderNames(const std::string& indent, TStrings& lines);
    // Every table provider in the subtree (outer side first).
    void CollectTableProviders(std::vector<TZanBaseJoinDataProvider*>& list);
    // The provider of the subtree whose exposed name equals name (any case); nullptr.
    TZanBaseJoinDataProvider* FindExposedProvider(std::string_view name);

protected:

    std::string FProviderName;
    std::string FCorrelationName;
    TZanBaseJoinDataProvider* FOuterProvider = nullptr;
    TZanBaseJoinDataProvider* FInnerProvider = nullptr;
    TZanJoinType FJoinType = jtNone;
    TJoinStatistics FStatistics;
    std::unique_ptr<TZanExpr> FJoinSelectExpr;
    bool FIsOpen = false;
    bool FForceToNullValues = false;
};

// One table of the statement, read through its bridge. Its row condition (the extra select
// expression when set, else its own select) is installed as the bridge's filter and checked on
// every row it yields.
class TZanNonJoinDataProvider : public TZanBaseJoinDataProvider {
public:
    TZanNonJoinDataProvider();
    ~TZanNonJoinDataProvider() override;

    TInternalFields& GetProviderFields() override;
    Variant GetDataAsVariant(int32_t fieldNo) override;
    bool IsFieldNull(int32_t fieldNo) override;
    TInternalFieldItem* FindField(const TParserToken* token, std::string_view name) override;
    bool MoveToRecord(int32_t recordAddress) override;

    void SetProviderName(const std::string& name) override;
    void GetRawFieldData(int32_t fieldNo, TDataHolder& holder) override;
    bool NextProviderRecord() override;
    bool FirstProviderRecord() override;
    bool LastProviderRecord() override;
    void OpenProvider() override;
    void SetSelectExpr(bool enforceOrder, const std::string& orderIndexName) override;
    void AssessJoin(const std::vector<std::string>& fieldNames, const Variant& value) override;
    void PrepareJoin(const std::vector<std::string>& fieldNames) override;
    void SetJoinValues(TZanExprOperator op, const std::vector<std::string>& fieldNames,
                       const std::vector<TDataHolder*>& values) override;
    TZanBaseJoinDataProvider* FindJoinProvider(std::string_view name) override;
    void SetJoinSelectExprRoot(const TZanExprNode* node) override;
    void SetExtraSelectExpRoot(const TZanExprNode* node) override;
    int32_t GetRecordCount() override;
    std::string CurrentRecordIDAsString() override;
    bool IsSingleTable() const override { return true; }
    void CloseProvider() override;

    TZanDatasetBridge* GetBridge() const { return FBridge; }
    void SetBridge(TZanDatasetBridge* bridge) { FBridge = bridge; }
    // A condition an enclosing join hands down to narrow the rows read (the join still checks
    // its whole condition on its rows); nullptr removes it.
    void SetPushedSelectExpRoot(const TZanExprNode* node);
    // The condition rows must pass now: the extra select (else the own select) and the pushed
    // condition; nullptr when none.
    TZanExprNode* GetRowCondition() const;
    // Whether the current record passes the row condition (True without one).
    bool PassesRow();
    // How well the own condition uses indexes (0 olNone, 1 olPartial, 2 olFull) and the most
    // records it can let through, as the table's filter assesses it.
    void AssessCondition(int32_t& level, int32_t& maximalCount);
    // Whether the row condition is the bridge's filter (else it is checked row by row).
    bool GetFilterInstalled() const { return FFilterInstalled; }
    // Whether the current row condition lets no row through (checked once per condition).
    bool GetNoRows() const { return FNoRows; }
    // Counters for tests: row conditions installed.
    int64_t GetConditionInstalls() const { return FConditionInstalls; }

private:
    // Prepares the row check (and the bridge filter when the bridge is open).
    void InstallCondition();
    bool Step(bool first);

    TZanDatasetBridge* FBridge = nullptr; // owned by the manager
    std::unique_ptr<TZanExpr> FExtraSelectExpr;
    std::unique_ptr<TZanExpr> FPushedExpr;
    std::unique_ptr<TZanExpr> FConditionExpr; // extra (or own) AND pushed
    std::unique_ptr<TExprEvaluator> FRowCheck;
    bool FEnforceOrder = false;
    std::string FOrderIndexName;
    bool FNoRows = false;
    bool FHasRow = false;
    // Set by SetSelectExpr: from then on conditions become the bridge's filter.
    bool FUseFilter = false;
    bool FFilterInstalled = false;
    int64_t FConditionInstalls = 0;
};

// A join of an outer and an inner provider.
class TZanStdJoinDataProvider : public TZanBaseJoinDataProvider {
public:
    TZanStdJoinDataProvider();
    ~TZanStdJoinDataProvider() override;

    TInternalFields& GetProviderFields() override;
    Variant GetDataAsVariant(int32_t fieldNo) override;
    bool IsFieldNull(int32_t fieldNo) override;
    TInternalFieldItem* FindField(const TParserToken* token, std::string_view name) override;

    void GetRawFieldData(int32_t fieldNo, TDataHolder& holder) override;
    bool NextProviderRecord() override;
    bool FirstProviderRecord() override;
    void OpenProvider() override;
    void SetSelectExpr(bool enforceOrder, const std::string& orderIndexName) override;
    void SetJoinSelectExprRoot(const TZanExprNode* node) override;
    void SetExtraSelectExpRoot(const TZanExprNode* node) override;
    std::string CurrentRecordIDAsString() override;
    void CloseProvider() override;
    void SetForceToNullValues(bool value) override;

    // The ON condition (a copy of the expression's root tree).
    void SetJoinExpr(const TZanExpr& expr);
    // A WHERE join condition (a copy of the subtree).
    void SetJoinExprRoot(const TZanExprNode* node);
    TZanExprNode* GetJoinExprRoot() const { return FJoinExpr->GetRootNode(); }
    void SetJoinRelop(TZanExprOperator op) { FJoinRelop = op; }
    // Installs on the filtered provider (the inner one when innerSide, else the outer) the join
    // condition with every field of the other side replaced by its current value.
    void ParseJoinExpr(bool innerSide);
    TJoinAnalyser& GetAnalyser() { return *FAnalyser; }
    TJoinEvaluator& GetEvaluator() { return *FEvaluator; }
    // The combined field of the child's field (nullptr when the child's field is not here).
    TJoinFieldItem* CombinedField(const TZanBaseJoinDataProvider* child, int32_t childFieldNo);

private:
    void PrepareInternalFields();
    // Hands each conjunct of the extra condition that names one table of this join, a table
    // that no outer join here makes NULL, down to that table.
    void PushDownExtra();
    bool PassesExtra();
    bool Filtered(bool first);

    std::unique_ptr<TJoinFields> FFields;
    TStringList FOuterNames, FInnerNames;
    TZanExprOperator FJoinRelop = zeoEQ;
    std::unique_ptr<TZanExpr> FJoinExpr;
    std::unique_ptr<TZanExpr> FExtraSelectExpr;
    std::unique_ptr<TExprEvaluator> FExtraCheck;
    std::vector<TZanNonJoinDataProvider*> FPushedTo;
    std::unique_ptr<TJoinAnalyser> FAnalyser;
    std::unique_ptr<TJoinEvaluator> FEvaluator;
};

// The exposed table name a field node refers to: its qualifier, else the table the parser
// resolved it to; empty when neither is known.
std::string ZanFieldTableName(const TZanExprNode& node);
// Whether tree holds p (or is p).
bool ProviderContains(TZanBaseJoinDataProvider* tree, const TZanBaseJoinDataProvider* p);
// Whether an outer or union join between root and target makes target supply NULL rows.
bool IsNullSuppliedProvider(TZanBaseJoinDataProvider* root, TZanBaseJoinDataProvider* target);

// Holds the read lock of every open table cursor of a manager while the rows of one population
// are read, so that each row moved to does not lock its table and re-read the table header.
// Only for reads: a cursor that holds its lock does not look for another cursor's writes to its
// table. The locks go back when the holder ends (a failing release is raised unless an
// exception is already on its way).
class TZanHeldReadLocks {
public:
    explicit TZanHeldReadLocks(const std::vector<std::unique_ptr<TZanDatasetBridge>>& bridges);

private:
    void Release();
    std::vector<TZanDatasetBridge*> FHeld;
    TScopeExit<std::function<void()>> FRelease; // after FHeld: runs before it goes
};

class TZanJoinDataProviderMgr {
public:
    TZanJoinDataProviderMgr();
    ~TZanJoinDataProviderMgr();
    TZanJoinDataProviderMgr(const TZanJoinDataProviderMgr&) = delete;
    TZanJoinDataProviderMgr& operator=(const TZanJoinDataProviderMgr&) = delete;

    // Frees every provider and bridge and the root evaluator.
    void Clear();
    TZanNonJoinDataProvider* GetNonJoinProvider(const std::string& tableName,
                                                const std::string& correlationName, bool memory);
    TZanStdJoinDataProvider* GetStdJoinProvider();
    int GetJoinCount() const { return static_cast<int>(FJoinProviders.size()); }
    TZanDataBase* GetDatabase() const { return FDatabase; }
    void SetDatabase(TZanDataBase* db) { FDatabase = db; }
    TZanBaseJoinDataProvider* GetRootProvider() const { return FRootProvider; }
    void SetRootProvider(TZanBaseJoinDataProvider* root) { FRootProvider = root; }
    TZanCompareFunc GetDBStringCompare() const { return FDBStringCompare; }
    void SetDBStringCompare(TZanCompareFunc compare);
    // Opens the root provider (False without one).
    bool OpenProviders();
    // Closes every bridge.
    void CloseProviders();
    // Copies the WHERE tree and prepares the root evaluator over the root provider; the
    // instant fixes CURRENT_DATE, _TIME and _TIMESTAMP for the execution.
    void PrepareJoinExprEvaluator(const TZanExprNode* whereRoot);
    void PrepareJoinExprEvaluator(const TZanExprNode* whereRoot, TDateTime instant);
    bool FirstProviderRecord();
    bool NextProviderRecord();
    void DebugDumpProviderStatus(TStrings& lines);
    const std::vector<std::unique_ptr<TZanDatasetBridge>>& GetBridges() const { return FBridges; }
    const std::vector<std::unique_ptr<TZanNonJoinDataProvider>>& GetTableProviders() const {
        return FTableProviders;
    }

private:
    bool Accept();

    TZanDataBase* FDatabase = nullptr;
    TZanBaseJoinDataProvider* FRootProvider = nullptr;
    TZanCompareFunc FDBStringCompare = nullptr;
    std::vector<std::unique_ptr<TZanNonJoinDataProvider>> FTableProviders;
    std::vector<std::unique_ptr<TZanStdJoinDataProvider>> FJoinProviders;
    std::vector<std::unique_ptr<TZanDatasetBridge>> FBridges;
    std::unique_ptr<TZanExpr> FWhereExpr;
    std::unique_ptr<TExprEvaluator> FRootEvaluator;
};

} // namespace zan
