// Filter evaluation and the filter manager.
//
// TZanBaseFilterEvaluator turns a filter text (or an expression handed over by the query layer
// through a TZanFilterExprDriver) into an ordered list of record addresses: it parses, lets the
// optimiser (zanFilterOptimizer) answer what the indexes can, evaluates the rest record by
// record and delivers the result in the table's index order (in query mode without sorted
// output: ascending addresses). TZanFilterEvaluator binds it to one table; TZanExprDBDataProvider
// feeds that table's records to the expression evaluator (also for UPDATE and HAVING).
// TFilterMgr is a cursor's filter state and the navigation inside the result.
//
// A result is a snapshot: it is computed when the filter is applied and again, at its next use,
// after ResetFilter (a range change, emptying, this cursor's writes, another connection's change
// seen at a lock).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/dataset/zanFilterOptimizer.h"
#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanExprEvaluator.h"
#include "engine/sql/zanExprParser.h"
#include "engine/sql/zanParserUtils.h"
#include "engine/storage/zanLists.h"
#include "host/db/DB.h"
#include "host/rtl/Classes.h"

namespace zan {

class TZanDataSet;

// The data provider over one table's records. Values are read from the provider's own copy of
// a record (or, with ReadDataFromRecBuf, from the table's current record buffer); memos come
// back as text. Reading a record never moves the table's cursor.
class TZanExprDBDataProvider : public TZanExprDataProvider {
public:
    explicit TZanExprDBDataProvider(TZanDataSet* table = nullptr);
    // The table must be assigned ("ExprDBDataProvider - source table is not assigned").
    void Initialize(TZanDataSet* table);

    TInternalFields& GetProviderFields() override;
    Variant GetDataAsVariant(int32_t fieldNo) override;
    bool IsFieldNull(int32_t fieldNo) override;
    // The table's records in its current order (its range respected); the base record number
    // is the first record's number.
    void GetDefaultRecordList(TCompoundList& list) override;
    void Open() override;
    void Refresh() override;
    bool MoveToRecord(int32_t recordAddress) override;
    TInternalFieldItem* FindField(const TParserToken* token, std::string_view name) override;
    bool PassFilterEvent(int32_t recordAddress) override;

    void CopyFilterBufFromRecBuf();
    bool GetReadDataFromRecBuf() const { return FReadDataFromRecBuf; }
    void SetReadDataFromRecBuf(bool value) { FReadDataFromRecBuf = value; }
    TZanDataSet* GetSourceTable() const { return FTable; }

private:
    const uint8_t* Buffer() const;

    TZanDataSet* FTable = nullptr;
    std::vector<uint8_t> FBuffer;
    bool FReadDataFromRecBuf = false;
};

// Parses, optimises and evaluates one filter expression over a data provider.
class TZanBaseFilterEvaluator {
public:
    TZanBaseFilterEvaluator();
    virtual ~TZanBaseFilterEvaluator();
    TZanBaseFilterEvaluator(const TZanBaseFilterEvaluator&) = delete;
    TZanBaseFilterEvaluator& operator=(const TZanBaseFilterEvaluator&) = delete;

    // Parses FilterText (blank: no expression) into the saved expression. True without error.
    bool Parse();
    // The optimiser analyses a working copy of the saved expression.
    void Optimize();
    bool Prepare();
    // Opens the provider, prepares and evaluates; false when the text does not parse.
    bool Open();
    // Computes the result from the working expression.
    void Evaluate();
    // How many results all evaluators computed so far (a work measure for tests).
    static uint64_t GetEvaluationCount();
    // Combines the driver's expression with the saved one by op (or replaces it when the
    // driver overwrites), optimises and either assesses it or evaluates it. Writes the time
    // taken to the trace log.
    bool AssignExpr(TZanFilterExprDriver& driver, TZanExprOperator op);
    // The driver's level and, when the limit field is bounded by the root comparison, its
    // limits.
    void AssessExpr(TZanFilterExprDriver& driver);
    void Close();
    std::string GetErrors() const { return FErrors; }

    const std::string& GetFilterText() const { return FFilterText; }
    void SetFilterText(const std::string& text) { FFilterText = text; }
    TFilterOptions GetFilterOptions() const { return FFilterOptions; }
    void SetFilterOptions(TFilterOptions options) { FFilterOptions = options; }
    bool GetExcludeRelopNulls() const { return FExcludeRelopNulls; }
    void SetExcludeRelopNulls(bool value) { FExcludeRelopNulls = value; }
    bool GetSortedOutput() const { return FSortedOutput; }
    void SetSortedOutput(bool value) { FSortedOutput = value; }
    bool GetQueryActive() const { return FQueryActive; }
    void SetQueryActive(bool value) { FQueryActive = value; }
    // The instant CURRENT_DATE and the others stand for; 0: drawn at the next open.
    TDateTime GetInstant() const { return FInstant; }
    void SetInstant(TDateTime value) { FInstant = value; }
    bool GetActive() const { return FActive; }

    // The result in delivery order.
    const TZanAddressList& GetResult() const { return FResult; }
    int32_t GetRecordCount() const { return int32_t(FResult.size()); }
    // The master list (addresses and record numbers in the table's order); empty when the
    // evaluation did not need it; only the result's records when the result was small (a
    // sparse master: other records are placed by their record numbers).
    const TCompoundList& GetMasterList() const { return FMaster; }
    bool GetMasterRead() const { return FMasterRead; }
    int32_t GetBaseRecNo() const { return FDataProvider ? FDataProvider->GetBaseRecNo() : 0; }
    // The saved (parsed) expression.
    TZanExpr* GetFilterExpr() { return FFilterExpr.get(); }
    TFilterOptimizer& GetOptimizer() { return FOptimizer; }
    TZanFilterOptimisationLevel GetOptimisationLevel() const { return FLevel; }
    TZanExprDataProvider* GetDataProvider() const { return FDataProvider; }

    // Takes the table's indexes again (emptying and restructuring replace them).
    virtual void BindIndexes() {}

    // Positions by address, built once per evaluation: -1 when absent.
    int32_t ResultIndexOf(uint32_t address) const;
    int32_t MasterIndexOf(uint32_t address) const;
    bool InResult(uint32_t address) const;
    bool GetSparseMaster() const { return FSparseMaster; }
    // Where walks through the master list start for an address: the entries before and after
    // it. Answers -1 when the address is no record of the master.
    int32_t MasterWalkStart(uint32_t address, int32_t& before, int32_t& after);
    // The address's record number in the current index, 0 when it is none of the master's.
    int32_t MasterRecNoOf(uint32_t address);

protected:
    // Whether the provider's table has an active range (the master list then bounds the
    // result in every mode).
    virtual bool GetRangeActive() const { return false; }
    // The number of records of the master list, as far as known cheaply (at least it).
    virtual int64_t MasterSizeHint() { return 0; }
    // The record's number in the current index, 0 when it is no record of the table.
    virtual int32_t RecordNoOf(uint32_t) { return 0; }
    // Refuses fields the reader may not read (the table evaluator checks privileges).
    virtual void CheckExprFields(const TZanExprNode*) {}
    void SetDataProvider(TZanExprDataProvider* provider) { FDataProvider = provider; }
    TTableList& GetTableList() { return FTableList; }
    TIndexQueryMgr& GetIndexQueryMgr() { return FIndexQueryMgr; }

private:
    void ClearResult();
    void Optimize(const TZanExpr* source);

    TZanExprDataProvider* FDataProvider = nullptr;
    TTableList FTableList;
    TIndexQueryMgr FIndexQueryMgr;
    TZanPreParser FPreParser;
    TZanExprParser FParser;
    std::unique_ptr<TZanExpr> FFilterExpr; // the saved expression
    std::unique_ptr<TZanExpr> FWorkExpr;   // the copy the optimiser simplifies
    TFilterOptimizer FOptimizer;
    TZanFilterOptimisationLevel FLevel = olNone;

    std::string FFilterText;
    TFilterOptions FFilterOptions;
    bool FExcludeRelopNulls = false;
    bool FSortedOutput = false;
    bool FQueryActive = false;
    bool FActive = false;
    TDateTime FInstant = 0;
    std::string FErrors;

    TCompoundList FMaster;
    bool FMasterRead = false;
    bool FSparseMaster = false;
    TZanAddressList FResult;
    TZanAddressList FEvaluated; // ascending
    std::unordered_map<uint32_t, int32_t> FResultPos;
    mutable std::unordered_map<uint32_t, int32_t> FMasterPos;
};

// The evaluator of one table: its provider, its one-entry table list, its indexes.
class TZanFilterEvaluator : public TZanBaseFilterEvaluator {
public:
    explicit TZanFilterEvaluator(TZanDataSet* table);
    TZanExprDBDataProvider& GetDBDataProvider() { return FProvider; }
    void BindIndexes() override;

protected:
    bool GetRangeActive() const override;
    int64_t MasterSizeHint() override;
    int32_t RecordNoOf(uint32_t address) override;
    void CheckExprFields(const TZanExprNode* root) override;

private:
    TZanDataSet* FTable;
    TZanExprDBDataProvider FProvider;
};

// A cursor's filter: its settings, its evaluator and the navigation in its result.
class TFilterMgr : public TObject {
public:
    TFilterMgr();
    ~TFilterMgr() override;
    ZAN_CLASS(TFilterMgr)

    bool GetActive() const { return FActive; }
    // A new evaluator for the table with the filter text and options; false (the evaluator's
    // error kept) when the text does not parse.
    bool OpenFilter(TZanDataSet* table);
    // As OpenFilter with the driver's expression ANDed to the filter text; sorted output
    // from the driver. A driver that only assesses leaves the manager inactive.
    bool AssignExpr(TZanDataSet* table, TZanFilterExprDriver& driver);
    void CloseFilter();
    // Switches the filter off but keeps the evaluator and its result for Resume: a find with
    // the dataset's Filtered off then does not build and evaluate the filter at every step.
    void Suspend();
    bool GetSuspended() const { return FSuspended; }
    // Switches a suspended filter on again (computed anew at its next use when reset
    // meanwhile); false when nothing is suspended.
    bool Resume();
    // The result is computed again at its next use (also while suspended).
    void ResetFilter();
    void RefreshDataProvider();
    // Forgets the counts and record numbers kept for OnFilterRecord (a refresh may change
    // what the handler accepts).
    void DropPassingCaches();

    bool GetQueryActive() const { return FQueryActive; }
    void SetQueryActive(bool value);
    void SetInQuery(bool value) { SetQueryActive(value); }
    bool GetExcludeRelopNulls() const { return FExcludeRelopNulls; }
    void SetExcludeRelopNulls(bool value) { FExcludeRelopNulls = value; }
    bool GetOrdered() const { return FOrdered; }
    void SetOrdered(bool value) { FOrdered = value; }
    const std::string& GetFilterText() const { return FFilterText; }
    void SetFilterText(const std::string& text) { FFilterText = text; }
    TFilterOptions GetFilterOptions() const { return FFilterOptions; }
    void SetFilterOptions(TFilterOptions options) { FFilterOptions = options; }
    const std::string& GetLastError() const { return FLastError; }
    TZanBaseFilterEvaluator* GetEvaluator() { return FEvaluator.get(); }

    // The result in delivery order ("ExprFilter is not assigned" without an evaluator).
    const TZanAddressList& GetCurrentFilter();
    const TCompoundList& GetMasterList();
    TZanExprDataProvider* GetDataProvider();
    int32_t GetBaseRecNo();

    // The entry n places from address in the result (with a record-filter event only passing
    // entries count); 0 when address is not in the result or the list ends first.
    uint32_t MoveBy(uint32_t recAddr, int32_t n);
    // The first (last) passing entry; 0 for an empty result.
    uint32_t MoveToEnd(bool first);
    // The filtered record nearest to recAddr for the search type (see the table in the
    // implementation); 0 when none. Backward and forward walks raise 8581 in query mode.
    uint32_t FindFilterRecord(uint32_t recAddr, TIndexSearchType type);
    uint32_t FindNearest(uint32_t recAddr, bool forward);
    // In query mode the address; otherwise its record number in the master list, 0 when absent.
    int32_t GetRecNo(uint32_t recAddr);
    bool CheckRecordInFilter(uint32_t recAddr);
    // 0 when inactive; the result entries that pass the record-filter event.
    int32_t GetFilterRecordCount();
    int32_t GetRecordCount() { return GetFilterRecordCount(); }

    // The cursor's record numbers under a filter: positions (1-based) among the passing
    // entries of the result.
    int32_t GetFilterPosition(uint32_t recAddr);
    // The address at a position, 0 outside the result.
    uint32_t GetFilterRecord(int32_t n);
    // Record numbers under a filter are positions: their base is 1.
    int32_t GetBaseRecordNo() { return 1; }
    // Whether the address is a record of the master list (a live record when it was read).
    bool InMasterList(uint32_t recAddr);
    // Whether the address is an entry of the result (whatever the record-filter event says).
    bool InFilterList(uint32_t recAddr) { return FActive && Current().InResult(recAddr); }
    void GetRecordList(std::vector<uint32_t>& list);

private:
    bool InstallEvaluator(TZanDataSet* table, bool sorted, bool active,
                          const std::function<bool(TZanFilterEvaluator&)>& open);
    TZanBaseFilterEvaluator& Current();
    bool Passes(uint32_t recAddr);
    bool HasEvent();
    uint32_t WalkMaster(int32_t from, int32_t step);

    std::unique_ptr<TZanFilterEvaluator> FEvaluator;
    TZanDataSet* FTable = nullptr;
    bool FActive = false;
    bool FStale = false;
    bool FSuspended = false;
    bool FQueryActive = false;
    bool FExcludeRelopNulls = false;
    bool FOrdered = false;
    std::string FFilterText;
    TFilterOptions FFilterOptions;
    std::string FLastError;
    // The passing count and positions under a record-filter event, per evaluation.
    int32_t FPassingCount = -1;
    std::vector<int32_t> FPassingPrefix;
};

} // namespace zan
