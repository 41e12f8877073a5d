// Filter evaluation (TZanBaseFilterEvaluator, TZanFilterEvaluator), the table data provider and
// the filter manager.
#include "engine/dataset/zanFilterUnit.h"

#include <algorithm>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanPrivileges.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/Streams.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

uint64_t GEvaluationCount = 0;

// Field nodes of a copied expression forget their qualifier tokens: the tokens belong to the
// parser that made them, and one table answers every qualifier anyway.
void DetachFieldTokens(TZanExpr& expr) {
    for (TZanExprNode* n = expr.GetFirstNode(); n; n = n->Next)
        if (n->Kind == enkField) n->TokenArgs.clear();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TZanExprDBDataProvider

TZanExprDBDataProvider::TZanExprDBDataProvider(TZanDataSet* table) : FTable(table) {}

void TZanExprDBDataProvider::Initialize(TZanDataSet* table) {
    ZanAssert(table != nullptr, "ExprDBDataProvider - source table is not assigned");
    FTable = table;
    Refresh();
}

TInternalFields& TZanExprDBDataProvider::GetProviderFields() {
    ZanAssert(FTable != nullptr, "ExprDBDataProvider - source table is not assigned");
    return FTable->GetInternalFields();
}

const uint8_t* TZanExprDBDataProvider::Buffer() const {
    return FReadDataFromRecBuf ? FTable->GetRecBuf() : FBuffer.data();
}

Variant TZanExprDBDataProvider::GetDataAsVariant(int32_t fieldNo) {
    const uint8_t* buf = Buffer();
    if (FTable->IsFieldBlob(fieldNo)) {
        bool isNull = false;
        TStringStream stream;
        FTable->DataSetGetFieldStreamFromRecBuf(buf, fieldNo, isNull, stream);
        if (isNull) return Null();
        return Variant(stream.DataString());
    }
    return FTable->DataSetGetFieldDataFromRecBufAsVariant(buf, fieldNo);
}

bool TZanExprDBDataProvider::IsFieldNull(int32_t fieldNo) {
    return FTable->GetIsFieldNullFromRecBuf(Buffer(), fieldNo);
}

void TZanExprDBDataProvider::GetDefaultRecordList(TCompoundList& list) {
    FTable->LoadCompleteListOfRecords(list);
    SetBaseRecNo(list.Count() > 0 ? list.List2().front() : 0);
}

void TZanExprDBDataProvider::Open() {
    TZanExprDataProvider::Open();
    Refresh();
}

void TZanExprDBDataProvider::Refresh() {
    ZanAssert(FTable != nullptr, "ExprDBDataProvider - source table is not assigned");
    SetDBStringCompare(FTable->GetTableDef().GetSortOrder() == soASCII ? DBASCIICompareStrings
                                                                       : DBANSICompareStrings);
    SetHasPassFilterEvent(FTable->HasFilterEventHandler());
    FBuffer.assign(size_t(FTable->GetRecBufSize()), 0);
}

bool TZanExprDBDataProvider::MoveToRecord(int32_t recordAddress) {
    FTable->ReadRecordBuffer(uint32_t(recordAddress), FBuffer.data());
    return true;
}

TInternalFieldItem* TZanExprDBDataProvider::FindField(const TParserToken*, std::string_view name) {
    return FTable->GetInternalFields().FindField(name);
}

bool TZanExprDBDataProvider::PassFilterEvent(int32_t recordAddress) {
    return FTable->PassFilterEvent(uint32_t(recordAddress));
}

void TZanExprDBDataProvider::CopyFilterBufFromRecBuf() {
    const size_t n = std::min(FBuffer.size(), size_t(FTable->GetRecBufSize()));
    std::copy_n(FTable->GetRecBuf(), n, FBuffer.begin());
}

// ---------------------------------------------------------------------------------------------
// TZanBaseFilterEvaluator

TZanBaseFilterEvaluator::TZanBaseFilterEvaluator() {
    FPreParser.SetParseAsExprOnly(true);
    FOptimizer.SetIndexQueryMgr(&FIndexQueryMgr);
}

TZanBaseFilterEvaluator::~TZanBaseFilterEvaluator() = default;

void TZanBaseFilterEvaluator::ClearResult() {
    FMaster.Clear();
    FMasterRead = false;
    FSparseMaster = false;
    FResult.clear();
    FEvaluated.clear();
    FResultPos.clear();
    FMasterPos.clear();
}

void TZanBaseFilterEvaluator::Close() {
    FActive = false;
    ClearResult();
    FOptimizer.Clear();
    FPreParser.Clear();
}

bool TZanBaseFilterEvaluator::Parse() {
    Close();
    FErrors.clear();
    FFilterExpr.reset();
    if (Trim(FFilterText).empty()) return true;
    FPreParser.SetText(FFilterText);
    FPreParser.PreParseTokens();
    FParser.Clear();
    FParser.SetCaseInsensitiveMatch(FFilterOptions.contains(foCaseInsensitive));
    FParser.SetPartialStringComparison(!FFilterOptions.contains(foNoPartialCompare));
    FParser.SetValidateFields(true);
    FParser.SetTableList(&FTableList);
    FParser.Execute(ZanParserOptions({zpoExtSyntax}), FPreParser.GetSection(zstWhere, nullptr));
    // Text the pre-parser could not read (after a NUL byte) or tokens the expression left over
    // make the text invalid: nothing of it is silently dropped.
    if (FParser.HasParseError() || !FParser.GetRootNode() || !FPreParser.CheckParseComplete()) {
        FErrors = FParser.HasParseError() ? FParser.GetErrorMsgNoLine() : std::string(SzanInvalidToken);
        return false;
    }
    FFilterExpr = std::make_unique<TZanExpr>();
    FFilterExpr->CloneFromTree(FParser.GetRootNode());
    FFilterExpr->SetCaseInsensitiveMatch(FFilterOptions.contains(foCaseInsensitive));
    FFilterExpr->SetPartialStringComparisons(!FFilterOptions.contains(foNoPartialCompare));
    DetachFieldTokens(*FFilterExpr);
    return true;
}

void TZanBaseFilterEvaluator::Optimize(const TZanExpr* source) {
    FOptimizer.Clear();
    FWorkExpr.reset();
    if (!source || !source->GetRootNode()) return;
    CheckExprFields(source->GetRootNode());
    FWorkExpr = std::make_unique<TZanExpr>();
    FWorkExpr->CloneFromTree(source->GetRootNode());
    if (FInstant == 0) FInstant = Now();
    FOptimizer.SetDataProvider(FDataProvider);
    FOptimizer.SetExcludeNulls(FExcludeRelopNulls);
    FIndexQueryMgr.SetExcludeNulls(FExcludeRelopNulls);
    FOptimizer.SetInstant(FInstant);
    FOptimizer.AnalyzeExpr(*FWorkExpr, FWorkExpr->GetRootNode());
}

void TZanBaseFilterEvaluator::Optimize() {
    Optimize(FFilterExpr.get());
}

bool TZanBaseFilterEvaluator::Prepare() {
    if (!Parse()) return false;
    Optimize();
    return true;
}

bool TZanBaseFilterEvaluator::Open() {
    Close();
    ZanAssert(FDataProvider != nullptr, "The Data provider is not assigned");
    FDataProvider->Open();
    if (!Prepare()) return false;
    Evaluate();
    return true;
}

uint64_t TZanBaseFilterEvaluator::GetEvaluationCount() {
    return GEvaluationCount;
}

void TZanBaseFilterEvaluator::Evaluate() {
    ZanAssert(FDataProvider != nullptr, "The Data provider is not assigned");
    ++GEvaluationCount;
    ClearResult();
    TZanExprNode* root = FWorkExpr ? FWorkExpr->GetRootNode() : nullptr;
    TExprOptimizerMgr& mgr = FOptimizer.GetManager();
    FLevel = root ? FOptimizer.GetBaseOptimisationLevel() : olNone;
    const TNodeResultType rootType = root ? FOptimizer.GetRootResultType() : nrDynamic;
    const bool indexed = root && FLevel != olNone && rootType == nrDynamic;
    const bool addressOrder = FQueryActive && !FSortedOutput;
    const bool inverted = indexed && mgr.HasInvertedLists();

    if (indexed && !inverted) {
        FOptimizer.PrepareResultLists();
        FOptimizer.CombineResultLists();
    }
    // The master list (the current index and range) gives the candidates of an unindexed
    // filter, the complement of inverted lists, the bounds of a range and the order of
    // delivery. A small indexed result is put in index order by its record numbers instead.
    const bool masterNeeded = !indexed || inverted || GetRangeActive();
    FSparseMaster = !masterNeeded && !addressOrder &&
                    int64_t(FOptimizer.GetResultSetCount()) * 8 <= MasterSizeHint();
    FMasterRead = masterNeeded || (!addressOrder && !FSparseMaster);
    TZanAddressList masterSorted;
    if (FMasterRead) {
        FDataProvider->GetDefaultRecordList(FMaster);
        if (masterNeeded) {
            masterSorted.reserve(size_t(FMaster.Count()));
            for (int32_t a : FMaster.List1())
                masterSorted.push_back(uint32_t(a));
            std::sort(masterSorted.begin(), masterSorted.end());
        }
    }
    if (inverted) {
        FOptimizer.PrepareResultLists();
        mgr.ResetInvertedLists(masterSorted);
        FOptimizer.CombineResultLists();
    }

    if (!root || rootType == nrFixedTrue) {
        FEvaluated = masterSorted;
    } else if (rootType == nrFixedFalse) {
        FEvaluated.clear();
    } else {
        TZanAddressList candidates;
        if (FLevel == olNone) {
            candidates = masterSorted;
        } else {
            candidates = FOptimizer.GetResultSetList();
            if (masterNeeded) {
                TZanAddressList inMaster;
                std::set_intersection(candidates.begin(), candidates.end(), masterSorted.begin(),
                                      masterSorted.end(), std::back_inserter(inMaster));
                candidates.swap(inMaster);
            }
        }
        if (FLevel == olFull) {
            FEvaluated.swap(candidates);
        } else {
            // Candidates are read in address order.
            TExprEvaluator evaluator;
            evaluator.SetDBStringCompare(FDataProvider->GetDBStringCompare());
            evaluator.SetExcludeRelopNulls(FExcludeRelopNulls);
            evaluator.Prepare(FDataProvider, root, FInstant);
            for (uint32_t address : candidates) {
                FDataProvider->MoveToRecord(int32_t(address));
                evaluator.Reset();
                if (evaluator.Evaluate()) FEvaluated.push_back(address);
            }
        }
    }

    if (addressOrder) {
        FResult = FEvaluated;
    } else if (FSparseMaster) {
        // The master holds only the result's records, by their record numbers.
        std::vector<std::pair<int32_t, uint32_t>> numbered;
        numbered.reserve(FEvaluated.size());
        for (uint32_t a : FEvaluated) {
            const int32_t recNo = RecordNoOf(a);
            if (recNo > 0) numbered.push_back({recNo, a});
        }
        std::sort(numbered.begin(), numbered.end());
        for (const auto& [recNo, a] : numbered) {
            FMaster.Add(int32_t(a), recNo);
            FResult.push_back(a);
        }
        FEvaluated = FResult;
        std::sort(FEvaluated.begin(), FEvaluated.end());
    } else {
        FResult.reserve(FEvaluated.size());
        for (int32_t a : FMaster.List1())
            if (std::binary_search(FEvaluated.begin(), FEvaluated.end(), uint32_t(a)))
                FResult.push_back(uint32_t(a));
    }
    FResultPos.reserve(FResult.size());
    for (size_t i = 0; i < FResult.size(); ++i)
        FResultPos.emplace(FResult[i], int32_t(i));
    FActive = true;
}

int32_t TZanBaseFilterEvaluator::ResultIndexOf(uint32_t address) const {
    const auto it = FResultPos.find(address);
    return it == FResultPos.end() ? -1 : it->second;
}

int32_t TZanBaseFilterEvaluator::MasterIndexOf(uint32_t address) const {
    if (FMasterPos.empty() && FMaster.Count() > 0) {
        // Built at the first need: most walks never ask.
        FMasterPos.reserve(size_t(FMaster.Count()));
        for (int32_t i = 0; i < FMaster.Count(); ++i)
            FMasterPos.emplace(uint32_t(FMaster.List1()[size_t(i)]), i);
    }
    const auto it = FMasterPos.find(address);
    return it == FMasterPos.end() ? -1 : it->second;
}

int32_t TZanBaseFilterEvaluator::MasterWalkStart(uint32_t address, int32_t& before,
                                                 int32_t& after) {
    const int32_t pos = MasterIndexOf(address);
    if (pos >= 0 || !FSparseMaster) {
        before = pos - 1;
        after = pos + 1;
        return pos;
    }
    // A record the sparse master does not hold: placed by its record number.
    const int32_t recNo = RecordNoOf(address);
    if (recNo <= 0) return -1;
    const std::vector<int32_t>& numbers = FMaster.List2();
    after = int32_t(std::lower_bound(numbers.begin(), numbers.end(), recNo) - numbers.begin());
    before = after - 1;
    return recNo;
}

int32_t TZanBaseFilterEvaluator::MasterRecNoOf(uint32_t address) {
    const int32_t pos = MasterIndexOf(address);
    if (pos >= 0) return FMaster.List2()[size_t(pos)];
    return FSparseMaster ? std::max(RecordNoOf(address), 0) : 0;
}

bool TZanBaseFilterEvaluator::InResult(uint32_t address) const {
    return FResultPos.count(address) != 0;
}

bool TZanBaseFilterEvaluator::AssignExpr(TZanFilterExprDriver& driver, TZanExprOperator op) {
    const uint64_t started = ZanMonotonicMilliseconds();
    ClearResult();
    FActive = false;
    FErrors.clear();
    ZanAssert(FDataProvider != nullptr, "The Data provider is not assigned");
    FDataProvider->Open();
    if (driver.GetExecutionInstant() != 0) FInstant = driver.GetExecutionInstant();
    const TZanExpr* given = driver.GetFilterExpr();
    const TZanExprNode* givenRoot = given ? given->GetRootNode() : nullptr;
    // The combined expression becomes the saved one: a reset evaluates it again.
    auto combined = std::make_unique<TZanExpr>();
    combined->SetCaseInsensitiveMatch(FFilterOptions.contains(foCaseInsensitive));
    combined->SetPartialStringComparisons(!FFilterOptions.contains(foNoPartialCompare));
    const TZanExprNode* saved = FFilterExpr ? FFilterExpr->GetRootNode() : nullptr;
    if (!driver.GetOverwriteExpr() && saved && givenRoot) {
        ZanAssert(op == zeoAND || op == zeoOR, "Invalid operator");
        TZanExprNode* left = combined->CloneSubTree(saved);
        TZanExprNode* right = combined->CloneSubTree(givenRoot);
        TZanExprNode* node = combined->NewNode(enkLogicalOperator, op, Variant(), left, right,
                                               nullptr);
        node->DataType = ftBoolean;
    } else if (givenRoot) {
        combined->CloneFromTree(givenRoot);
    } else if (saved && !driver.GetOverwriteExpr()) {
        combined->CloneFromTree(saved);
    }
    DetachFieldTokens(*combined);
    FFilterExpr = std::move(combined);
    if (driver.GetAssessExprOnly()) {
        Optimize();
        AssessExpr(driver);
    } else {
        Optimize();
        Evaluate();
    }
    driver.SetExprOptimizationLevel(FFilterExpr->GetRootNode() ? FOptimizer.GetBaseOptimisationLevel()
                                                               : olNone);
    GDBLogger().LogItem("BaseFilterEvaluator.AssignExpr time",
                        IntToStr(int64_t(ZanMonotonicMilliseconds() - started)));
    return true;
}

void TZanBaseFilterEvaluator::AssessExpr(TZanFilterExprDriver& driver) {
    driver.SetExprOptimizationLevel(FOptimizer.GetBaseOptimisationLevel());
    if (driver.GetLimitFieldName().empty()) return;
    const TExprFieldLimits limits = FOptimizer.AssessExprFieldLimits(driver.GetLimitFieldName());
    if (!limits.Valid) return;
    driver.SetLimitMinSet(limits.MinSet);
    driver.SetLimitFieldMin(limits.Min);
    driver.SetLimitMaxSet(limits.MaxSet);
    driver.SetLimitFieldMax(limits.Max);
    driver.SetLimitsAssessed(true);
}

// ---------------------------------------------------------------------------------------------
// TZanFilterEvaluator

TZanFilterEvaluator::TZanFilterEvaluator(TZanDataSet* table) : FTable(table), FProvider(table) {
    FProvider.Initialize(table);
    SetDataProvider(&FProvider);
    TTableNameItem& item = *GetTableList().Add();
    item.SetTableName(table->GetTableName());
    item.SetTableFields(&table->GetInternalFields());
    BindIndexes();
}

void TZanFilterEvaluator::BindIndexes() {
    GetIndexQueryMgr().Clear();
    const bool ascii = FTable->GetTableDef().GetSortOrder() == soASCII;
    TIndexManager& indexes = FTable->GetIndexManager();
    for (int32_t i = 0; i < indexes.Count(); ++i)
        GetIndexQueryMgr().Add(indexes.Items(i), false, ascii);
}

bool TZanFilterEvaluator::GetRangeActive() const {
    return FTable->GetRangeActive();
}

int64_t TZanFilterEvaluator::MasterSizeHint() {
    return FTable->GetTotalRecordCount();
}

int32_t TZanFilterEvaluator::RecordNoOf(uint32_t address) {
    return int32_t(FTable->GetIndexRecNoOfAddress(address));
}

void TZanFilterEvaluator::CheckExprFields(const TZanExprNode* root) {
    if (FTable->GetSystemTable() || !root) return;
    // Every node of the tree is on the expression's chain; the chain is walked from the root
    // without recursion.
    for (const TZanExprNode* n = root; n; n = n->Next) {
        if (n->Kind != enkField) continue;
        const TInternalFieldItem* f = FTable->GetInternalFields().FindField(VarToStr(n->Data));
        if (f && (f->GetPrivilegeFlags() & MapObjectPrivTypeToConst(opReadData)) == 0)
            ZanDatabaseError(10624, "TFilterMgr.OpenFilter", f->GetFieldName());
    }
}

// ---------------------------------------------------------------------------------------------
// TFilterMgr

TFilterMgr::TFilterMgr() = default;
TFilterMgr::~TFilterMgr() = default;

// Runs open (a fresh evaluator for the table, under its read lock) and keeps the evaluator
// when it succeeds; the evaluator's error text becomes the last error either way.
bool TFilterMgr::InstallEvaluator(TZanDataSet* table, bool sorted, bool active,
                                  const std::function<bool(TZanFilterEvaluator&)>& open) {
    CloseFilter();
    FEvaluator.reset();
    FTable = table;
    const bool taken = table->TakeReadLock();
    TScopeExit release([&] { table->ReleaseTaken(taken); });
    auto evaluator = std::make_unique<TZanFilterEvaluator>(table);
    evaluator->SetFilterText(FFilterText);
    evaluator->SetFilterOptions(FFilterOptions);
    evaluator->SetSortedOutput(sorted);
    evaluator->SetExcludeRelopNulls(FExcludeRelopNulls);
    evaluator->SetQueryActive(FQueryActive);
    const bool ok = open(*evaluator);
    FLastError = evaluator->GetErrors();
    if (!ok) return false;
    FEvaluator = std::move(evaluator);
    FActive = active;
    return true;
}

bool TFilterMgr::OpenFilter(TZanDataSet* table) {
    return InstallEvaluator(table, FOrdered, true,
                            [](TZanFilterEvaluator& e) { return e.Open(); });
}

bool TFilterMgr::AssignExpr(TZanDataSet* table, TZanFilterExprDriver& driver) {
    return InstallEvaluator(table, driver.GetEnforceExprOrder(), !driver.GetAssessExprOnly(),
                            [&](TZanFilterEvaluator& e) {
                                return e.Parse() && e.AssignExpr(driver, zeoAND);
                            });
}

void TFilterMgr::CloseFilter() {
    if (FEvaluator) FEvaluator->Close();
    FActive = false;
    FStale = false;
    FSuspended = false;
    FPassingCount = -1;
    FPassingPrefix.clear();
}

void TFilterMgr::Suspend() {
    if (!FActive) return;
    FActive = false;
    FSuspended = true;
    DropPassingCaches();
}

bool TFilterMgr::Resume() {
    if (!FSuspended || !FEvaluator) return false;
    FSuspended = false;
    FActive = true;
    return true;
}

void TFilterMgr::ResetFilter() {
    if (!FActive && !FSuspended) return;
    FStale = true;
    FPassingCount = -1;
    FPassingPrefix.clear();
}

void TFilterMgr::RefreshDataProvider() {
    if (FEvaluator) FEvaluator->GetDBDataProvider().Refresh();
    DropPassingCaches();
}

void TFilterMgr::DropPassingCaches() {
    FPassingCount = -1;
    FPassingPrefix.clear();
}

void TFilterMgr::SetQueryActive(bool value) {
    FQueryActive = value;
}

TZanBaseFilterEvaluator& TFilterMgr::Current() {
    ZanAssert(FEvaluator != nullptr, "ExprFilter is not assigned");
    if (FStale && FActive) {
        // The snapshot is taken again, under one read lock for the whole evaluation.
        const bool taken = FTable->TakeReadLock();
        TScopeExit release([&] { FTable->ReleaseTaken(taken); });
        FStale = false;
        try {
            FEvaluator->GetDBDataProvider().Open();
            FEvaluator->BindIndexes();
            FEvaluator->Optimize();
            FEvaluator->Evaluate();
        } catch (...) {
            FStale = true;
            throw;
        }
    }
    return *FEvaluator;
}

const TZanAddressList& TFilterMgr::GetCurrentFilter() {
    return Current().GetResult();
}

const TCompoundList& TFilterMgr::GetMasterList() {
    return Current().GetMasterList();
}

TZanExprDataProvider* TFilterMgr::GetDataProvider() {
    return FEvaluator ? FEvaluator->GetDataProvider() : nullptr;
}

int32_t TFilterMgr::GetBaseRecNo() {
    return FEvaluator ? FEvaluator->GetBaseRecNo() : 0;
}

bool TFilterMgr::HasEvent() {
    return FEvaluator && FEvaluator->GetDataProvider()->GetHasPassFilterEvent();
}

bool TFilterMgr::Passes(uint32_t recAddr) {
    return !HasEvent() || FEvaluator->GetDataProvider()->PassFilterEvent(int32_t(recAddr));
}

uint32_t TFilterMgr::MoveBy(uint32_t recAddr, int32_t n) {
    TZanBaseFilterEvaluator& e = Current();
    const TZanAddressList& result = e.GetResult();
    const int64_t pos = e.ResultIndexOf(recAddr);
    if (pos < 0) return 0;
    if (!HasEvent()) {
        const int64_t target = pos + n;
        return target >= 0 && target < int64_t(result.size()) ? result[size_t(target)] : 0;
    }
    if (n == 0) return Passes(recAddr) ? recAddr : 0;
    const int64_t step = n > 0 ? 1 : -1;
    int64_t left = n > 0 ? int64_t(n) : -int64_t(n);
    for (int64_t i = pos + step; i >= 0 && i < int64_t(result.size()); i += step)
        if (Passes(result[size_t(i)]) && --left == 0) return result[size_t(i)];
    return 0;
}

uint32_t TFilterMgr::MoveToEnd(bool first) {
    const TZanAddressList& result = Current().GetResult();
    if (result.empty()) return 0;
    if (!HasEvent()) return first ? result.front() : result.back();
    if (first) {
        for (uint32_t a : result)
            if (Passes(a)) return a;
    } else {
        for (auto it = result.rbegin(); it != result.rend(); ++it)
            if (Passes(*it)) return *it;
    }
    return 0;
}

// Walks the master list from position from by step; the first entry in the result that
// passes the record-filter event, else 0.
uint32_t TFilterMgr::WalkMaster(int32_t from, int32_t step) {
    TZanBaseFilterEvaluator& e = Current();
    const std::vector<int32_t>& master = e.GetMasterList().List1();
    for (int64_t i = from; i >= 0 && i < int64_t(master.size()); i += step) {
        const uint32_t a = uint32_t(master[size_t(i)]);
        if (e.InResult(a) && Passes(a)) return a;
    }
    return 0;
}

//   stLT   backward walk
//   stLE   the address when it qualifies, else backward walk
//   stEQ   the address when it qualifies, else 0
//   stGE   the address when it qualifies, else forward walk
//   stGT   forward walk
//   stLEG  as stGE; when that gives 0, backward walk
uint32_t TFilterMgr::FindFilterRecord(uint32_t recAddr, TIndexSearchType type) {
    ZanAssert(FEvaluator != nullptr, "Filter allocation error. Current Filter has not been assigned");
    TZanBaseFilterEvaluator& e = Current();
    if (recAddr == 0 || e.GetResult().empty()) return 0;
    int32_t before = -1, after = -1;
    if (FQueryActive) {
        if (e.ResultIndexOf(recAddr) < 0) return 0;
    } else if (e.MasterWalkStart(recAddr, before, after) < 0) {
        return 0;
    }
    const bool qualifies = e.InResult(recAddr) && Passes(recAddr);
    auto walk = [&](int32_t step) -> uint32_t {
        if (FQueryActive)
            ZanDatabaseError(8581, "TFilterMgr.FindFilterRecord",
                             "Error in filter find nearest in active query");
        return WalkMaster(step < 0 ? before : after, step);
    };
    switch (type) {
    case stLT:
        return walk(-1);
    case stLE:
        return qualifies ? recAddr : walk(-1);
    case stEQ:
        return qualifies ? recAddr : 0;
    case stGE:
        return qualifies ? recAddr : walk(1);
    case stGT:
        return walk(1);
    case stLEG: {
        if (qualifies) return recAddr;
        const uint32_t forward = walk(1);
        return forward != 0 ? forward : walk(-1);
    }
    }
    return 0;
}

uint32_t TFilterMgr::FindNearest(uint32_t recAddr, bool forward) {
    return FindFilterRecord(recAddr, forward ? stGE : stLE);
}

int32_t TFilterMgr::GetRecNo(uint32_t recAddr) {
    if (FQueryActive) return int32_t(recAddr);
    return Current().MasterRecNoOf(recAddr);
}

bool TFilterMgr::CheckRecordInFilter(uint32_t recAddr) {
    return FActive && Current().InResult(recAddr) && Passes(recAddr);
}

int32_t TFilterMgr::GetFilterRecordCount() {
    if (!FActive) return 0;
    const TZanAddressList& result = Current().GetResult();
    if (!HasEvent()) return int32_t(result.size());
    if (FPassingCount < 0) {
        FPassingCount = 0;
        for (uint32_t a : result)
            FPassingCount += Passes(a) ? 1 : 0;
    }
    return FPassingCount;
}

int32_t TFilterMgr::GetFilterPosition(uint32_t recAddr) {
    if (!FActive) return 0;
    TZanBaseFilterEvaluator& e = Current();
    const int32_t pos = e.ResultIndexOf(recAddr);
    if (pos < 0) return 0;
    if (!HasEvent()) return pos + 1;
    if (FPassingPrefix.empty()) {
        // Passing entries before each position, computed once per evaluation.
        const TZanAddressList& result = e.GetResult();
        FPassingPrefix.resize(result.size() + 1, 0);
        for (size_t i = 0; i < result.size(); ++i)
            FPassingPrefix[i + 1] = FPassingPrefix[i] + (Passes(result[i]) ? 1 : 0);
        FPassingCount = FPassingPrefix.back();
    }
    return FPassingPrefix[size_t(pos) + 1];
}

uint32_t TFilterMgr::GetFilterRecord(int32_t n) {
    if (!FActive || n < 1) return 0;
    TZanBaseFilterEvaluator& e = Current();
    const TZanAddressList& result = e.GetResult();
    if (!HasEvent()) return size_t(n) <= result.size() ? result[size_t(n) - 1] : 0;
    if (result.empty()) return 0;
    GetFilterPosition(result.front());
    // The first position whose passing count reaches n.
    const auto it = std::lower_bound(FPassingPrefix.begin() + 1, FPassingPrefix.end(), n);
    if (it == FPassingPrefix.end()) return 0;
    return result[size_t(it - FPassingPrefix.begin()) - 1];
}

bool TFilterMgr::InMasterList(uint32_t recAddr) {
    TZanBaseFilterEvaluator& e = Current();
    if (e.InResult(recAddr)) return true;
    if (e.GetSparseMaster()) return e.MasterRecNoOf(recAddr) > 0;
    return e.GetMasterRead() && e.MasterIndexOf(recAddr) >= 0;
}

void TFilterMgr::GetRecordList(std::vector<uint32_t>& list) {
    list.clear();
    if (!FActive) return;
    for (uint32_t a : Current().GetResult())
        if (Passes(a)) list.push_back(a);
}

} // namespace zan
