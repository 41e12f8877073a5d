#include "host/db/DataLinks.h"

#include <algorithm>

namespace zan {

// --- TDataSource
// ----------------------------------------------------------------------------------

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
    Destroying();
    while (!FDataLinks.empty())
        RemoveDataLink(FDataLinks.back());
    if (FDataSet) {
        auto& sources = FDataSet->FDataSources;
        sources.erase(std::remove(sources.begin(), sources.end(), this), sources.end());
        FDataSet = nullptr;
    }
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
}

bool TDataSource::IsLinkedTo(TDataSet* dataSet) const {
    for (int guard = 0; dataSet && guard < 10000; ++guard) {
        TDataSource* source = dataSet->GetDataSource();
        if (!source) break;
        if (source == this) return true;
        dataSet = source->GetDataSet();
    }
    return false;
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
    if (dataSet == FDataSet) return;
    if (IsLinkedTo(dataSet)) DatabaseError(std::string(SCircularDataLink), this);
    if (FDataSet) {
        TDataSet* old = FDataSet;
        auto& sources = old->FDataSources;
        sources.erase(std::remove(sources.begin(), sources.end(), this), sources.end());
        FDataSet = nullptr;
        UpdateState();
        if (!old->GetComponentState().Contains(csDestroying)) old->UpdateBufferCount();
    }
    if (dataSet) {
        dataSet->FDataSources.push_back(this);
        FDataSet = dataSet;
        dataSet->UpdateBufferCount();
        UpdateState();
    }
}

void TDataSource::SetEnabled(bool enabled) {
    FEnabled = enabled;
    UpdateState();
}

void TDataSource::UpdateState() {
    SetState(FEnabled && FDataSet ? FDataSet->GetState() : dsInactive);
}

void TDataSource::SetState(TDataSetState state) {
    if (FState == state) return;
    TDataSetState prior = FState;
    FState = state;
    NotifyDataLinks(deUpdateState, 0);
    if (GetComponentState().Contains(csDestroying)) return;
    if (OnStateChange) OnStateChange(this);
    if (prior == dsInactive && OnDataChange) OnDataChange(this, nullptr);
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
    if (event == deUpdateState) {
        UpdateState();
        return;
    }
    if (FState == dsInactive) return;
    NotifyDataLinks(event, info);
    switch (event) {
    case deFieldChange:
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
        if (OnDataChange)
            OnDataChange(this, event == deFieldChange ? reinterpret_cast<TField*>(info) : nullptr);
        break;
    case deUpdateRecord:
        if (OnUpdateData) OnUpdateData(this);
        break;
    default:
        break;
    }
}

void TDataSource::NotifyDataLinks(TDataEvent event, intptr_t info) {
    // By index, re-reading the size: a handler may detach links.
    for (size_t i = 0; i < FDataLinks.size(); ++i)
        FDataLinks[i]->DataEvent(event, info);
}

void TDataSource::FieldRemoved(TField* field) {
    for (size_t i = 0; i < FDataLinks.size(); ++i)
        FDataLinks[i]->FieldRemoved(field);
}

void TDataSource::AddDataLink(TDataLink* link) {
    FDataLinks.push_back(link);
    link->FDataSource = this;
    if (FDataSet) FDataSet->UpdateBufferCount();
    link->UpdateState();
}

void TDataSource::RemoveDataLink(TDataLink* link) {
    link->FDataSource = nullptr;
    FDataLinks.erase(std::remove(FDataLinks.begin(), FDataLinks.end(), link), FDataLinks.end());
    link->UpdateState();
    if (FDataSet && !GetComponentState().Contains(csDestroying) &&
        !FDataSet->GetComponentState().Contains(csDestroying))
        FDataSet->UpdateBufferCount();
}

// --- TDataLink
// ------------------------------------------------------------------------------------

TDataLink::~TDataLink() {
    FActive = false;
    FEditing = false;
    if (FDataSource) {
        auto& links = FDataSource->FDataLinks;
        links.erase(std::remove(links.begin(), links.end(), this), links.end());
        TDataSet* dataSet = FDataSource->GetDataSet();
        FDataSource = nullptr;
        if (dataSet && !dataSet->GetComponentState().Contains(csDestroying))
            dataSet->UpdateBufferCount();
    }
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == FDataSource) return;
    if (FDataSource) FDataSource->RemoveDataLink(this);
    if (source) source->AddDataLink(this);
}

void TDataLink::SetBufferCount(int count) {
    count = std::max(count, 1);
    if (count == FBufferCount) return;
    FBufferCount = count;
    if (TDataSet* dataSet = GetDataSet()) dataSet->UpdateBufferCount();
}

int TDataLink::GetActiveRecord() const {
    TDataSet* dataSet = GetDataSet();
    if (!FActive || !dataSet) return 0;
    return std::min(dataSet->FActiveRecord, FBufferCount - 1);
}

int TDataLink::GetRecordCount() const {
    TDataSet* dataSet = GetDataSet();
    if (!FActive || !dataSet) return 0;
    return std::min(dataSet->FRecordCount, FBufferCount);
}

void TDataLink::UpdateState() {
    SetActive(FDataSource && FDataSource->GetEnabled() && FDataSource->GetDataSet() &&
              FDataSource->GetDataSet()->GetActive());
}

void TDataLink::SetActive(bool active) {
    if (FActive != active) {
        FActive = active;
        ActiveChanged();
    }
    TDataSetState state = FDataSource ? FDataSource->GetState() : dsInactive;
    SetEditing(FActive && (state == dsEdit || state == dsInsert || state == dsSetKey));
}

void TDataLink::SetEditing(bool editing) {
    if (FEditing == editing) return;
    FEditing = editing;
    EditingChanged();
}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
    if (event == deUpdateState) {
        SetActive(FDataSource && FDataSource->GetState() != dsInactive);
        return;
    }
    if (!FActive) return;
    switch (event) {
    case deFieldChange:
    case deRecordChange:
        if (!FUpdating) RecordChanged(reinterpret_cast<TField*>(info));
        break;
    case deDataSetChange:
        DataSetChanged();
        break;
    case deDataSetScroll:
        DataSetScrolled(static_cast<int>(info));
        break;
    case deLayoutChange:
        LayoutChanged();
        break;
    case deUpdateRecord:
        FUpdating = true;
        try {
            UpdateData();
        } catch (...) {
            FUpdating = false;
            throw;
        }
        FUpdating = false;
        break;
    case deCheckBrowseMode:
        CheckBrowseMode();
        break;
    case deFocusControl:
        FocusControl(reinterpret_cast<TField*>(info));
        break;
    default:
        break;
    }
}

// --- TMasterDataLink
// ------------------------------------------------------------------------------

void TMasterDataLink::SetFieldNames(const std::string& names) {
    if (names == FFieldNames) return;
    FFieldNames = names;
    ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
    FFields.clear();
    if (GetActive()) {
        try {
            GetDataSet()->GetFieldList(FFields, FFieldNames);
        } catch (...) {
            FFields.clear();
            throw;
        }
    }
    if (!FDetail || !FDetail->GetActive() || FDetail->GetComponentState().Contains(csDestroying))
        return;
    if (GetActive() && !FFields.empty()) {
        if (OnMasterChange) OnMasterChange(this);
    } else if (OnMasterDisable) {
        OnMasterDisable(this);
    }
}

void TMasterDataLink::FieldRemoved(TField* field) {
    if (std::find(FFields.begin(), FFields.end(), field) != FFields.end()) FFields.clear();
}

void TMasterDataLink::CheckBrowseMode() {
    if (FDetail && FDetail->GetActive()) FDetail->CheckBrowseMode();
}

void TMasterDataLink::RecordChanged(TField* field) {
    if (!GetDataSource() || GetDataSource()->GetState() == dsSetKey) return;
    if (!FDetail || !FDetail->GetActive() || FFields.empty()) return;
    if (field && std::find(FFields.begin(), FFields.end(), field) == FFields.end()) return;
    if (OnMasterChange) OnMasterChange(this);
}

} // namespace zan
