// TZanDataSet filter bridge: applying and clearing the dataset's filter in the filter manager,
// query expressions, and moving to the nearest filtered record.
#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

void TZanDataSet::InternalSetFilter() {
    CheckInternalActive();
    TFilterMgr& filter = *FFilterMgr;
    const bool hasText = !Trim(GetFilter()).empty();
    const bool hasEvent = HasFilterEventHandler();
    if (filter.GetActive() &&
        (filter.GetFilterText() != GetFilter() || !(filter.GetFilterOptions() == GetFilterOptions()) ||
         (!hasText && !hasEvent)))
        filter.CloseFilter();
    if (!hasText && !hasEvent) return;
    if (filter.GetActive()) {
        filter.RefreshDataProvider();
        filter.ResetFilter();
        return;
    }
    filter.SetFilterText(GetFilter());
    filter.SetFilterOptions(GetFilterOptions());
    if (!filter.OpenFilter(this))
        ZanDatabaseError(10051, "TZanDataSet.InternalSetFilter", filter.GetLastError());
}

void TZanDataSet::InternalClearFilter() {
    FFilterMgr->SetQueryActive(FDataBase && FDataBase->GetQueryActive());
    FFilterMgr->CloseFilter();
}

void TZanDataSet::InternalSetTemporaryFilter() {
    TFilterMgr& filter = *FFilterMgr;
    // The filter kept from the previous step serves while its text, options and handler
    // still apply; a reset meanwhile (a write, another index or range, a header change)
    // makes it compute its result again.
    if (filter.GetSuspended() && filter.GetFilterText() == GetFilter() &&
        filter.GetFilterOptions() == GetFilterOptions() &&
        (!Trim(GetFilter()).empty() || HasFilterEventHandler()) && filter.Resume()) {
        filter.RefreshDataProvider();
        return;
    }
    filter.CloseFilter();
    InternalSetFilter();
}

void TZanDataSet::InternalSuspendFilter() {
    FFilterMgr->SetQueryActive(FDataBase && FDataBase->GetQueryActive());
    FFilterMgr->Suspend();
}

void TZanDataSet::InternalAssignFilterExpr(TZanFilterExprDriver& driver) {
    CheckInternalActive();
    TFilterMgr& filter = *FFilterMgr;
    // An assessment leaves the dataset's own filter settings as they were.
    const bool assessOnly = driver.GetAssessExprOnly();
    const bool excludeNulls = filter.GetExcludeRelopNulls();
    const bool queryActive = filter.GetQueryActive();
    TScopeExit restore([&] {
        if (!assessOnly) return;
        filter.SetExcludeRelopNulls(excludeNulls);
        filter.SetQueryActive(queryActive);
    });
    filter.SetExcludeRelopNulls(driver.GetExcludeRelopNulls());
    if (driver.GetExcludeRelopNulls()) filter.SetQueryActive(true);
    // The dataset's own filter takes part only while it is switched on.
    filter.SetFilterText(GetFiltered() ? GetFilter() : std::string());
    filter.SetFilterOptions(GetFilterOptions());
    if (!filter.AssignExpr(this, driver))
        ZanDatabaseError(10051, "TZanDataSet.InternalAssignFilterExpr", filter.GetLastError());
}

uint32_t TZanDataSet::NearestFilterRecord(uint32_t address, bool forwards) {
    TFilterMgr& filter = *FFilterMgr;
    const TIndexSearchType type = forwards ? stGE : stLE;
    if (address == 0) return filter.MoveToEnd(forwards);
    if (filter.InMasterList(address)) return filter.FindFilterRecord(address, type);
    // The record is gone: the index finds its neighbour by the key of the cursor buffer.
    if (!InternalFind(forwards ? stGT : stLT, GetCurrentIndexName(), nullptr)) return 0;
    return filter.FindFilterRecord(ExtraAddress(FRecBuf.data()), type);
}

bool TZanDataSet::SyncToFilter() {
    if (!FFilterMgr->GetActive()) return true;
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    const uint32_t address = ExtraAddress(FRecBuf.data());
    const uint32_t filtered = FFilterMgr->FindFilterRecord(address, stLEG);
    if (filtered == 0) return false;
    if (filtered == address) return true;
    return SetToRecord(filtered, nullptr, true, false);
}

uint32_t TZanDataSet::GetIndexRecNoOfAddress(uint32_t address) {
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    if (address == 0 || !ReadValidRecord(address, FScratch.data())) return 0;
    SetExtraKeyFlag(FScratch.data(), 0);
    TIndexItem& index = CurrentIndexItem("TZanDataSet.GetIndexRecNoOfAddress");
    CreateKey(index, FScratch.data());
    if (SearchIndex(index, stEQ, nullptr) != 0 || index.GetRecordAddress() != address) return 0;
    return index.GetRecordNo();
}

} // namespace zan
