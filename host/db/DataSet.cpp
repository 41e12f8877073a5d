#include "host/db/DataSet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/db/DataLinks.h"

namespace zan {

namespace {

TExceptionHandler& ExceptionHandler() {
    static TExceptionHandler handler;
    return handler;
}

// The largest window a data link may ask for.
constexpr int MaxBufferCount = 1024;

} // namespace

void SetDataSetExceptionHandler(TExceptionHandler handler) {
    ExceptionHandler() = std::move(handler);
}

void HandleDataSetException(const std::exception& error) {
    if (ExceptionHandler()) {
        ExceptionHandler()(error);
        return;
    }
    if (dynamic_cast<const EAbort*>(&error)) return;
    std::fputs(error.what(), stderr);
    std::fputc('\n', stderr);
}

TBookmark::TBookmark(const void* data, int size) {
    if (!data || size <= 0) return;
    FSize = std::min(size, MaxSize);
    std::memcpy(FData.data(), data, static_cast<size_t>(FSize));
}

// --- Construction
// ---------------------------------------------------------------------------------

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() {
    Destroying();
    // Derived datasets close in their own destructors; what is left here must not call their
    // slots any more.
    while (!FDataSources.empty()) {
        TDataSource* source = FDataSources.back();
        FDataSources.pop_back();
        source->FDataSet = nullptr;
        source->UpdateState();
    }
    // The derived part is gone: nothing is open any more, and a field freed below must not
    // try to close the dataset through it.
    FState = dsInactive;
    DestroyFields();
    while (FFields.Count() > 0) {
        TField* field = FFields[FFields.Count() - 1];
        field->FDataSet = nullptr;
        FFields.Remove(field);
    }
}

void TDataSet::Loaded() {
    TComponent::Loaded();
    if (FStreamedActive) {
        FStreamedActive = false;
        SetActive(true);
    }
}

void TDataSet::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
}

// --- Checks
// ---------------------------------------------------------------------------------------

void TDataSet::CheckActive() const {
    if (!GetActive()) DatabaseError(std::string(SDataSetClosed), this);
}

void TDataSet::CheckInactive() const {
    if (GetActive()) DatabaseError(std::string(SDataSetOpen), this);
}

void TDataSet::CheckCanModify() {
    if (!GetCanModify()) DatabaseError(std::string(SDataSetReadOnly), this);
}

// --- Open and close
// -------------------------------------------------------------------------------

void TDataSet::SetActive(bool value) {
    if (GetComponentState().Contains(csLoading)) {
        FStreamedActive = value;
        return;
    }
    if (GetActive() == value) return;
    if (value) {
        Fire(BeforeOpen, this);
        OpenCursor();
        SetState(dsBrowse);
        Fire(AfterOpen, this);
        if (!IsEmpty()) DoAfterScroll();
    } else {
        bool destroying = GetComponentState().Contains(csDestroying);
        if (!destroying) Fire(BeforeClose, this);
        SetState(dsInactive);
        CloseCursor();
        if (!destroying) Fire(AfterClose, this);
    }
}

void TDataSet::OpenCursor() {
    FInternalOpenComplete = false;
    try {
        FDefaultFields = FFields.Count() == 0;
        InternalOpen();
        FInternalOpenComplete = true;
        UpdateBufferCount();
        FBOF = true;
    } catch (...) {
        // A failed open leaves the dataset closed, with whatever the open built released.
        FState = dsInactive;
        try {
            CloseCursor();
        } catch (...) {
        }
        throw;
    }
}

void TDataSet::CloseCursor() {
    FInternalOpenComplete = false;
    FreeFieldBuffers();
    ClearBuffers();
    SetBufListSize(0);
    FBufferCount = 0;
    InternalClose();
    FDefaultFields = false;
}

void TDataSet::InitFieldDefs() {
    FFieldDefs.BeginUpdate();
    try {
        InternalInitFieldDefs();
    } catch (...) {
        FFieldDefs.EndUpdate();
        throw;
    }
    FFieldDefs.EndUpdate();
    FFieldDefs.SetUpdated(true);
}

// --- Fields
// ---------------------------------------------------------------------------------------

void TDataSet::CreateFields() {
    for (int i = 0; i < FFieldDefs.Count(); ++i) {
        const TFieldDef& def = FFieldDefs[i];
        if (def.GetDataType() != ftUnknown) FFieldDefs[i].CreateField(this);
    }
}

void TDataSet::DestroyFields() {
    for (int i = FFields.Count() - 1; i >= 0; --i) {
        TField* field = FFields[i];
        if (field->GetOwner() == this) delete field;
    }
}

void TDataSet::FieldRemoved(TField* field) {
    // By index: a handler may detach sources.
    for (size_t i = 0; i < FDataSources.size(); ++i)
        FDataSources[i]->FieldRemoved(field);
}

void TDataSet::BindFields(bool binding) {
    FCalcFieldsSize = 0;
    for (int i = 0; i < FFields.Count(); ++i) {
        TField* field = FFields[i];
        if (!binding) {
            if (field->GetFieldKind() == fkData) field->SetFieldNo(0);
            continue;
        }
        if (field->GetFieldKind() == fkCalculated || field->GetFieldKind() == fkLookup) {
            field->SetFieldNo(-1);
            field->SetOffset(FCalcFieldsSize);
            FCalcFieldsSize += field->GetDataSize() + 1;
        } else {
            int index = FFieldDefs.IndexOf(field->GetFieldName());
            if (index < 0) DatabaseErrorFmt(SFieldNotFound, {field->GetDisplayName()}, this);
            const TFieldDef& def = FFieldDefs[index];
            if (def.GetDataType() != field->GetDataType())
                DatabaseErrorFmt(SFieldTypeMismatch,
                                 {field->GetDisplayName(), FieldTypeName(field->GetDataType()),
                                  FieldTypeName(def.GetDataType())},
                                 this);
            field->SetFieldNo(def.GetFieldNo());
        }
    }
}

void TDataSet::FreeFieldBuffers() {
    for (int i = 0; i < FFields.Count(); ++i)
        if (auto* blob = dynamic_cast<TBlobField*>(FFields[i])) blob->SetModified(false);
}

void TDataSet::GetFieldList(std::vector<TField*>& list, const std::string& fieldNames) const {
    for (const std::string& name : SplitFieldNames(fieldNames))
        list.push_back(FieldByName(name));
}

Variant TDataSet::GetFieldValues(const std::string& fieldNames) const {
    std::vector<TField*> fields;
    GetFieldList(fields, fieldNames);
    if (fields.size() == 1) return fields[0]->GetAsVariant();
    std::vector<Variant> values;
    for (TField* field : fields)
        values.push_back(field->GetAsVariant());
    return VarArrayOf(std::move(values));
}

void TDataSet::SetFieldValues(const std::string& fieldNames, const Variant& value) {
    std::vector<TField*> fields;
    GetFieldList(fields, fieldNames);
    if (fields.size() == 1 && !VarIsArray(value)) {
        fields[0]->SetAsVariant(value);
        return;
    }
    const auto& elements = value.Elements();
    // An array shorter than the field list is refused before anything is written.
    if (elements.size() < fields.size())
        throw EVariantError("Variant or safe array index out of bounds");
    for (size_t i = 0; i < fields.size(); ++i)
        fields[i]->SetAsVariant(elements[i]);
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) {
    return nullptr;
}

void TDataSet::GetDetailLinkFields(std::vector<TField*>& master, std::vector<TField*>& detail) {
    master.clear();
    detail.clear();
}

// --- State
// ----------------------------------------------------------------------------------------

void TDataSet::SetState(TDataSetState value) {
    if (FState == value) return;
    FState = value;
    FModified = false;
    DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
    TDataSetState old = FState;
    FState = value;
    ++FDisableCount;
    return old;
}

void TDataSet::RestoreState(TDataSetState value) {
    FState = value;
    --FDisableCount;
}

void TDataSet::DisableControls() {
    if (FDisableCount == 0) {
        FDisableState = FState;
        FEnableEvent = deDataSetChange;
    }
    ++FDisableCount;
}

void TDataSet::EnableControls() {
    if (FDisableCount == 0) return;
    if (--FDisableCount != 0) return;
    if (FDisableState != FState) DataEvent(deUpdateState);
    if (FDisableState != dsInactive && FState != dsInactive) DataEvent(FEnableEvent);
}

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
    switch (event) {
    case deFieldChange: {
        auto* field = reinterpret_cast<TField*>(info);
        if (FState != dsCalcFields && FState != dsFilter) {
            if (field && field->GetFieldKind() == fkData) FModified = true;
            UpdateCalcFields();
        }
        if (field) field->Change();
        break;
    }
    case dePropertyChange:
        FFieldDefs.SetUpdated(false);
        break;
    default:
        break;
    }
    if (FDisableCount == 0) {
        // By index: a handler may detach sources.
        for (size_t i = 0; i < FDataSources.size(); ++i)
            FDataSources[i]->DataEvent(event, info);
    } else if ((event == deUpdateState && FState == dsInactive) || event == deLayoutChange) {
        FEnableEvent = deLayoutChange;
    }
}

bool TDataSet::IsLinkedTo(TDataSource* source) {
    // Bounded walk: a chain longer than the number of links cannot end here.
    for (int guard = 0; source && guard < 10000; ++guard) {
        TDataSet* dataSet = source->GetDataSet();
        if (!dataSet) break;
        if (dataSet == this) return true;
        source = dataSet->GetDataSource();
    }
    return false;
}

// --- Calculated fields
// ----------------------------------------------------------------------------

void TDataSet::CalculateFields(TRecordBuffer) {
    Fire(OnCalcFields, this);
}

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
    if (FCalcFieldsSize <= 0) return;
    TDataSetState saved = SetTempState(dsCalcFields);
    try {
        FCalcBuffer = buffer;
        ClearCalcFields(buffer);
        CalculateFields(buffer);
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
}

void TDataSet::UpdateCalcFields() {
    if (FState != dsSetKey && FAutoCalcFields && FCalcFieldsSize > 0 && ActiveBuffer())
        GetCalcFields(ActiveBuffer());
}

// --- Buffers
// --------------------------------------------------------------------------------------

TRecordBuffer TDataSet::ActiveBuffer() const {
    if (FBuffers.empty()) return nullptr;
    return FBuffers[static_cast<size_t>(FActiveRecord)];
}

void TDataSet::SetBufListSize(int size) {
    size_t wanted = static_cast<size_t>(std::max(size, 0));
    while (FBuffers.size() < wanted) {
        FBuffers.push_back(nullptr);
        FBuffers.back() = AllocRecordBuffer();
    }
    while (FBuffers.size() > wanted) {
        TRecordBuffer buffer = FBuffers.back();
        FBuffers.pop_back();
        if (buffer) FreeRecordBuffer(buffer);
    }
}

void TDataSet::SetBufferCount(int value) {
    value = std::clamp(value, 1, MaxBufferCount);
    if (value == FBufferCount) return;
    if (value < FBufferCount) {
        // Keep the active record inside the smaller window.
        int drop = std::max(0, FActiveRecord - (value - 1));
        for (int i = 0; i < drop; ++i)
            MoveBuffer(0, FBufferCount);
        FActiveRecord -= drop;
        FRecordCount = std::min(FRecordCount - drop, value);
        if (FCurrentRecord >= 0) FCurrentRecord -= drop;
        if (FCurrentRecord < 0 || FCurrentRecord >= FRecordCount) FCurrentRecord = -1;
    }
    SetBufListSize(value + 1);
    FBufferCount = value;
    GetNextRecords();
    if (FRecordCount < FBufferCount) GetPriorRecords();
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen()) return;
    int count = 1;
    for (TDataSource* source : FDataSources)
        for (TDataLink* link : source->GetDataLinks())
            count = std::max(count, link->GetBufferCount());
    SetBufferCount(count);
}

void TDataSet::ClearBuffers() {
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBOF = true;
    FEOF = true;
}

void TDataSet::ActivateBuffers() {
    FRecordCount = 1;
    FActiveRecord = 0;
    FCurrentRecord = 0;
    FBOF = false;
    FEOF = false;
}

void TDataSet::MoveBuffer(int from, int to) {
    if (from == to) return;
    TRecordBuffer buffer = FBuffers[static_cast<size_t>(from)];
    FBuffers.erase(FBuffers.begin() + from);
    FBuffers.insert(FBuffers.begin() + to, buffer);
}

void TDataSet::SetCurrentRecord(int index) {
    if (FCurrentRecord == index) return;
    TRecordBuffer buffer = FBuffers[static_cast<size_t>(index)];
    switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
        InternalSetToRecord(buffer);
        break;
    case bfBOF:
        InternalFirst();
        break;
    case bfEOF:
        InternalLast();
        break;
    }
    FCurrentRecord = index;
}

void TDataSet::UpdateCursorPos() {
    if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
    TGetMode mode = gmNext;
    if (FRecordCount > 0) {
        SetCurrentRecord(FRecordCount - 1);
        if (FState == dsInsert && FCurrentRecord == FActiveRecord &&
            GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
            mode = gmCurrent;
    }
    if (GetRecord(FBuffers[static_cast<size_t>(FRecordCount)], mode, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0)
        ActivateBuffers();
    else if (FRecordCount < FBufferCount)
        ++FRecordCount;
    else
        MoveBuffer(0, FRecordCount);
    FCurrentRecord = FRecordCount - 1;
    return true;
}

bool TDataSet::GetPriorRecord() {
    if (FRecordCount > 0) SetCurrentRecord(0);
    if (GetRecord(FBuffers[static_cast<size_t>(FRecordCount)], gmPrior, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0) {
        ActivateBuffers();
    } else {
        MoveBuffer(FRecordCount, 0);
        if (FRecordCount < FBufferCount) {
            ++FRecordCount;
            ++FActiveRecord;
        }
    }
    FCurrentRecord = 0;
    return true;
}

int TDataSet::GetNextRecords() {
    int count = 0;
    while (FRecordCount < FBufferCount && GetNextRecord())
        ++count;
    return count;
}

int TDataSet::GetPriorRecords() {
    int count = 0;
    while (FRecordCount < FBufferCount && GetPriorRecord())
        ++count;
    return count;
}

void TDataSet::Resync(TResyncMode mode) {
    if (FBuffers.empty()) return;
    TRecordBuffer target = FBuffers[static_cast<size_t>(FRecordCount)];
    if (mode.contains(rmExact)) {
        CursorPosChanged();
        if (GetRecord(target, gmCurrent, true) != grOK)
            DatabaseError(std::string(SRecordNotFound), this);
    } else if (GetRecord(target, gmCurrent, false) != grOK &&
               GetRecord(target, gmNext, false) != grOK &&
               GetRecord(target, gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange);
        return;
    }
    int count = mode.contains(rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
    MoveBuffer(FRecordCount, 0);
    ActivateBuffers();
    try {
        while (count > 0 && GetPriorRecord())
            --count;
        GetNextRecords();
        GetPriorRecords();
    } catch (...) {
        DataEvent(deDataSetChange);
        throw;
    }
    DataEvent(deDataSetChange);
}

// --- Navigation
// -----------------------------------------------------------------------------------

void TDataSet::DoBeforeScroll() {
    Fire(BeforeScroll, this);
}

void TDataSet::DoAfterScroll() {
    Fire(AfterScroll, this);
}

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalFirst();
        GetNextRecord();
        GetNextRecords();
    } catch (...) {
        FBOF = true;
        DataEvent(deDataSetChange);
        throw;
    }
    FBOF = true;
    DataEvent(deDataSetChange);
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecord();
        GetPriorRecords();
    } catch (...) {
        FEOF = true;
        DataEvent(deDataSetChange);
        throw;
    }
    FEOF = true;
    DataEvent(deDataSetChange);
    DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
    CheckBrowseMode();
    int moved = 0;
    DoBeforeScroll();
    if (!((distance > 0 && !FEOF) || (distance < 0 && !FBOF))) return 0;
    FBOF = false;
    FEOF = false;
    int oldRecordCount = FRecordCount;
    int scrollDistance = 0;
    auto notify = [&] {
        if (FRecordCount != oldRecordCount)
            DataEvent(deDataSetChange);
        else
            DataEvent(deDataSetScroll, scrollDistance);
    };
    try {
        while (distance > 0) {
            if (FActiveRecord < FRecordCount - 1) {
                ++FActiveRecord;
            } else {
                bool grows = FRecordCount < FBufferCount;
                if (!GetNextRecord()) {
                    FEOF = true;
                    break;
                }
                // The new record is the last of the window.
                if (grows)
                    FActiveRecord = FRecordCount - 1;
                else
                    --scrollDistance;
            }
            --distance;
            ++moved;
        }
        while (distance < 0) {
            if (FActiveRecord > 0) {
                --FActiveRecord;
            } else {
                bool grows = FRecordCount < FBufferCount;
                if (!GetPriorRecord()) {
                    FBOF = true;
                    break;
                }
                // The new record is the first of the window.
                if (grows)
                    FActiveRecord = 0;
                else
                    ++scrollDistance;
            }
            ++distance;
            --moved;
        }
    } catch (...) {
        notify();
        throw;
    }
    notify();
    DoAfterScroll();
    return moved;
}

// --- Bookmarks
// ------------------------------------------------------------------------------------

TBookmark TDataSet::GetBookmark() {
    if ((FState == dsBrowse || FState == dsEdit || FState == dsInsert) && !IsEmpty() &&
        FBookmarkSize > 0 && GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
        uint8_t data[TBookmark::MaxSize] = {};
        GetBookmarkData(ActiveBuffer(), data);
        return TBookmark(data, std::min(FBookmarkSize, TBookmark::MaxSize));
    }
    return {};
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
    if (!bookmark) return;
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(bookmark.Data());
    Resync({rmExact, rmCenter});
    DoAfterScroll();
}

// --- Editing
// --------------------------------------------------------------------------------------

void TDataSet::InitRecord(TRecordBuffer buffer) {
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::DoOnNewRecord() {
    Fire(OnNewRecord, this);
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    Fire(BeforeInsert, this);
    DoBeforeScroll();
}

void TDataSet::RecoverFromInsert() {
    try {
        CursorPosChanged();
        UpdateCursorPos();
        FreeFieldBuffers();
        SetState(dsBrowse);
    } catch (...) {
        FState = dsBrowse;
    }
    Resync({});
}

void TDataSet::EndInsertAppend() {
    SetState(dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        RecoverFromInsert();
        throw;
    }
    FModified = false;
    DataEvent(deDataSetChange);
    Fire(AfterInsert, this);
    DoAfterScroll();
}

void TDataSet::Insert() {
    BeginInsertAppend();
    TBookmark current = GetBookmark();
    MoveBuffer(FRecordCount, FActiveRecord);
    TRecordBuffer buffer = ActiveBuffer();
    try {
        InitRecord(buffer);
        if (FRecordCount == 0)
            SetBookmarkFlag(buffer, bfBOF);
        else if (current)
            SetBookmarkData(buffer, current.Data());
        if (FRecordCount < FBufferCount) ++FRecordCount;
        InternalInsert();
    } catch (...) {
        // Point the slot back at the record that was active, so the window is rebuilt there.
        try {
            if (current) {
                SetBookmarkData(buffer, current.Data());
                SetBookmarkFlag(buffer, bfCurrent);
            } else {
                SetBookmarkFlag(buffer, bfBOF);
            }
        } catch (...) {
        }
        RecoverFromInsert();
        throw;
    }
    EndInsertAppend();
}

void TDataSet::Append() {
    BeginInsertAppend();
    ClearBuffers();
    try {
        TRecordBuffer buffer = FBuffers[0];
        InitRecord(buffer);
        SetBookmarkFlag(buffer, bfEOF);
        FRecordCount = 1;
        FBOF = false;
        GetPriorRecords();
        InternalInsert();
    } catch (...) {
        // The window was cleared: refill it from the end of the cursor.
        ClearBuffers();
        try {
            InternalLast();
            GetPriorRecord();
            GetPriorRecords();
        } catch (...) {
        }
        FEOF = true;
        DataEvent(deDataSetChange);
        throw;
    }
    EndInsertAppend();
}

void TDataSet::Edit() {
    if (FState == dsEdit || FState == dsInsert) return;
    if (FRecordCount == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    Fire(BeforeEdit, this);
    CheckOperation([this] { InternalEdit(); }, OnEditError);
    try {
        GetCalcFields(ActiveBuffer());
    } catch (...) {
        // Give back what InternalEdit took (a record lock).
        try {
            InternalCancel();
        } catch (...) {
        }
        throw;
    }
    SetState(dsEdit);
    DataEvent(deRecordChange);
    Fire(AfterEdit, this);
}

void TDataSet::ReturnToBrowse() {
    try {
        FreeFieldBuffers();
        SetState(dsBrowse);
    } catch (...) {
        // A state-change handler threw: still run the resync, which releases what the operation
        // took, and then report the handler's error.
        FState = dsBrowse;
        FModified = false;
        try {
            Resync({});
        } catch (...) {
        }
        throw;
    }
    Resync({});
}

void TDataSet::Post() {
    UpdateRecord();
    if (FState != dsEdit && FState != dsInsert) return;
    DataEvent(deCheckBrowseMode);
    Fire(BeforePost, this);
    CheckOperation([this] { InternalPost(); }, OnPostError);
    ReturnToBrowse();
    Fire(AfterPost, this);
}

void TDataSet::Cancel() {
    if (FState != dsEdit && FState != dsInsert) return;
    DataEvent(deCheckBrowseMode);
    Fire(BeforeCancel, this);
    bool scrollEvents = FState == dsInsert;
    if (scrollEvents) DoBeforeScroll();
    UpdateCursorPos();
    InternalCancel();
    ReturnToBrowse();
    Fire(AfterCancel, this);
    if (scrollEvents) DoAfterScroll();
}

void TDataSet::Delete() {
    CheckActive();
    if (FState == dsInsert || FState == dsSetKey) {
        Cancel();
        return;
    }
    if (FRecordCount == 0) DatabaseError(std::string(SDataSetEmpty), this);
    CheckCanModify();
    DataEvent(deCheckBrowseMode);
    Fire(BeforeDelete, this);
    DoBeforeScroll();
    CheckOperation([this] { InternalDelete(); }, OnDeleteError);
    ReturnToBrowse();
    Fire(AfterDelete, this);
    DoAfterScroll();
}

void TDataSet::Refresh() {
    Fire(BeforeRefresh, this);
    CheckBrowseMode();
    UpdateCursorPos();
    try {
        InternalRefresh();
    } catch (...) {
        Resync({});
        throw;
    }
    Resync({});
    Fire(AfterRefresh, this);
}

void TDataSet::UpdateRecord() {
    if (FState != dsEdit && FState != dsInsert && FState != dsSetKey)
        DatabaseError(std::string(SNotEditing), this);
    DataEvent(deUpdateRecord);
}

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode);
    switch (FState) {
    case dsEdit:
    case dsInsert:
        UpdateRecord();
        if (FModified)
            Post();
        else
            Cancel();
        break;
    case dsSetKey:
        // Key entry ends; the key buffer stays as entered.
        SetState(dsBrowse);
        break;
    default:
        break;
    }
}

void TDataSet::CheckOperation(const std::function<void()>& operation,
                              const TDataSetErrorEvent& errorEvent) {
    for (;;) {
        try {
            UpdateCursorPos();
            operation();
            return;
        } catch (EDatabaseError& error) {
            TDataAction action = daFail;
            if (errorEvent) errorEvent(this, error, action);
            if (action == daFail) throw;
            if (action == daAbort) Abort();
        }
    }
}

void TDataSet::InternalPost() {
    for (int i = 0; i < FFields.Count(); ++i) {
        TField* field = FFields[i];
        // Autoinc fields are numbered by the dataset when the record is stored.
        if (field->GetFieldKind() == fkData && field->GetRequired() && !field->GetReadOnly() &&
            field->GetDataType() != ftAutoInc && field->IsNull())
            DatabaseErrorFmt(SFieldRequired, {field->GetDisplayName()}, this);
    }
}

void TDataSet::InternalHandleException(const std::exception& error) {
    HandleDataSetException(error);
}

void TDataSet::InsertRecord(const std::vector<Variant>& values) {
    Insert();
    try {
        for (size_t i = 0; i < values.size() && static_cast<int>(i) < FFields.Count(); ++i)
            FFields[static_cast<int>(i)]->SetAsVariant(values[i]);
        Post();
    } catch (...) {
        if (FState == dsInsert) Cancel();
        throw;
    }
}

void TDataSet::AppendRecord(const std::vector<Variant>& values) {
    Append();
    try {
        for (size_t i = 0; i < values.size() && static_cast<int>(i) < FFields.Count(); ++i)
            FFields[static_cast<int>(i)]->SetAsVariant(values[i]);
        Post();
    } catch (...) {
        if (FState == dsInsert) Cancel();
        throw;
    }
}

} // namespace zan
