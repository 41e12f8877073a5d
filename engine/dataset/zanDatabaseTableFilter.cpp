// TZanBaseTable filtering: the filter setters, the record-filter callback, FindRecord and
// query expressions handed over by the query layer.
#include <cstring>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"

namespace zan {

bool TZanBaseTable::FilterRecord(const uint8_t* recBuf) {
    const TFilterRecordEvent& handler = GetOnFilterRecord();
    if (!handler || FDataFilterBuf.empty()) return true;
    std::memset(FDataFilterBuf.data(), 0, FDataFilterBuf.size());
    std::memcpy(FDataFilterBuf.data(), recBuf, size_t(GetRecBufSize()));
    bool accept = true;
    const TDataSetState saved = SetTempState(dsFilter);
    try {
        handler(this, accept);
    } catch (const std::exception& error) {
        RestoreState(saved);
        InternalHandleException(error);
        return accept;
    }
    RestoreState(saved);
    return accept;
}

void TZanBaseTable::SetOnFilterRecord(TFilterRecordEvent handler) {
    const bool assigned = bool(handler);
    TDataSet::SetOnFilterRecord(std::move(handler));
    if (assigned)
        SetFilterEventHandler([this](const uint8_t* recBuf) { return FilterRecord(recBuf); });
    else
        SetFilterEventHandler(nullptr);
    if (GetActive() && GetFiltered()) ReapplyFilter();
}

void TZanBaseTable::ApplyFilter() {
    if (!GetFiltered()) {
        InternalClearFilter();
        return;
    }
    try {
        InternalSetFilter();
    } catch (...) {
        TDataSet::SetFiltered(false);
        InternalClearFilter();
        throw;
    }
}

void TZanBaseTable::ReapplyFilter() {
    CheckBrowseMode();
    try {
        ApplyFilter();
    } catch (...) {
        First();
        throw;
    }
    First();
}

void TZanBaseTable::SetFiltered(bool value) {
    if (!GetActive()) {
        TDataSet::SetFiltered(value);
        return;
    }
    CheckBrowseMode();
    TDataSet::SetFiltered(value);
    ReapplyFilter();
}

void TZanBaseTable::SetFilterOptions(TFilterOptions options) {
    if (options == GetFilterOptions()) return;
    TDataSet::SetFilterOptions(options);
    if (GetActive() && GetFiltered()) ReapplyFilter();
}

void TZanBaseTable::SetFilterText(const std::string& text) {
    if (text == GetFilter()) return;
    TDataSet::SetFilterText(text);
    if (GetActive() && GetFiltered()) ReapplyFilter();
}

bool TZanBaseTable::FindRecord(bool restart, bool goForward) {
    CheckBrowseMode();
    DoBeforeScroll();
    SetFound(false);
    UpdateCursorPos();
    CursorPosChanged();
    // With Filtered off the filter is applied for this move only; it is kept switched off
    // for the next find.
    const bool temporary = !GetFiltered();
    if (temporary) InternalSetTemporaryFilter();
    bool found = false;
    {
        TScopeExit clear([&] {
            if (temporary) InternalSuspendFilter();
        });
        if (restart)
            found = goForward ? DataSetFirst() : DataSetLast();
        else
            found = goForward ? DataSetNext() : DataSetPrior();
    }
    SetFound(found);
    if (found) {
        SetMarker(tpInTableValid);
        Resync({rmExact, rmCenter});
        DoAfterScroll();
    }
    return found;
}

void TZanBaseTable::AssignFilterExpr(TZanFilterExprDriver& driver) {
    CheckActive();
    CheckBrowseMode();
    const std::string& order = driver.GetOrderIndexName();
    if (!order.empty() && !SameText(order, GetCurrentIndexName())) TZanDataSet::SetIndexName(order);
    InternalAssignFilterExpr(driver);
    if (driver.GetAssessExprOnly()) {
        // The dataset's own filter stands again after an assessment.
        if (GetFiltered()) ApplyFilter();
        if (driver.GetMaximalResultSetSize() <= 0) driver.SetMaximalResultSetSize(GetRecordCount());
        return;
    }
    First();
}

} // namespace zan
