// TZanTable: index selection, key searches and key ranges over a base table.
#include <algorithm>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {
constexpr const char* C_NATURAL_ORDER = "_LogicalRecNo";
} // namespace

TZanTable::TZanTable(TComponent* owner)
    : TZanBaseTable(owner), FMasterLink(std::make_unique<TMasterDataLink>(this)) {
    FMasterLink->OnMasterChange = [this](TObject*) { MasterChanged(); };
    FMasterLink->OnMasterDisable = [this](TObject*) { MasterDisabled(); };
}

TZanTable::~TZanTable() {
    Destroying();
    CloseFromDestructor();
    FMasterLink->SetDataSource(nullptr);
}

void TZanTable::DefChanged(TObject*) {
    FStoreDefs = true;
}

void TZanTable::InternalOpen() {
    TZanBaseTable::InternalOpen();
    FreeRestructureDefs();
    const std::string current = GetCurrentIndexName();
    if (GetIndexDefs().Count() > 0 && !SameText(current, C_NATURAL_ORDER) &&
        FindIndexDefByName(current) == nullptr)
        ZanDatabaseError(9997, "TZanTable.InternalOpen", "Index " + current);
    if (!FPendingIndexFields.empty()) {
        const std::string pending = FPendingIndexFields;
        FPendingIndexFields.clear();
        TIndexDef* def = GetIndexDefs().GetIndexForFields(pending, false);
        if (def != nullptr && !SameText(def->GetName(), current))
            InternalSetIndexName(def->GetName());
    }
}

std::string TZanTable::GetIndexName() const {
    const std::string& name = TZanDataSet::GetIndexName();
    return SameText(name, C_NATURAL_ORDER) ? std::string() : name;
}

void TZanTable::SetIndexName(const std::string& name) {
    FPendingIndexFields.clear();
    if (SameText(name, GetIndexName())) return;
    if (!GetActive()) {
        TZanDataSet::SetIndexName(name);
        return;
    }
    // An empty name selects the natural order; a table with index definitions has none and
    // takes its first index, as the open does.
    std::string target = GetIndexDefs().Count() > 0 ? GetIndexDefs()[0].GetName()
                                                    : std::string(C_NATURAL_ORDER);
    if (!name.empty()) {
        CheckIndexesPresent();
        TIndexDef* def = FindIndexDefByName(name);
        if (def == nullptr) ZanDatabaseError(9997, "TZanTable.SetIndexName", "Index " + name);
        target = def->GetName();
    }
    CheckBrowseMode();
    InternalSetIndexName(target);
    First();
    InternalCheckMasterRange();
}

std::string TZanTable::GetIndexFieldNames() {
    if (!GetActive()) return FPendingIndexFields;
    TIndexDef* def = FindIndexDefByName(GetIndexName());
    return def ? def->GetFields() : std::string();
}

void TZanTable::SetIndexFieldNames(const std::string& names) {
    if (!GetActive()) {
        TZanDataSet::SetIndexName(std::string());
        FPendingIndexFields = names;
        return;
    }
    if (names.empty()) {
        SetIndexName(std::string());
        return;
    }
    TIndexDef* def = GetIndexDefs().GetIndexForFields(names, false);
    if (def == nullptr) ZanDatabaseError(9997, "TZanTable.SetIndexFieldNames", names);
    SetIndexName(def->GetName());
}

int TZanTable::GetIndexFieldCount() {
    if (!GetActive()) return 0;
    return TZanDataSet::GetIndexFieldCount();
}

TField* TZanTable::GetIndexField(int index) {
    if (GetIndexDefs().Count() == 0) ZanDatabaseError(9997, "TZanTable.GetIndexField");
    TIndexDef* def = FindIndexDefByName(GetIndexName());
    if (def == nullptr) ZanDatabaseError(9997, "TZanTable.GetIndexField", "Index " + GetIndexName());
    const std::vector<std::string> names = SplitFieldNames(def->GetFields());
    if (index < 0 || size_t(index) >= names.size())
        ZanDatabaseError(9985, "TZanTable.GetIndexField",
                         "The specified index field count is out of range");
    return FieldByName(names[size_t(index)]);
}

int TZanTable::GetIndexCount() {
    CheckActive();
    return GetIndexDefs().Count();
}

// ---------------------------------------------------------------------------------------------
// Key entry and search

void TZanTable::SetKey() {
    CheckBrowseMode();
    FKeyFieldCount = 0;
    InitializeNewRecord(KeyBuffer(), false);
    SetKeyMode(kmFind);
    SetState(dsSetKey);
}

void TZanTable::EditKey() {
    CheckBrowseMode();
    SetKeyMode(kmFind);
    SetState(dsSetKey);
}

void TZanTable::CancelKey() {
    if (GetState() == dsSetKey) SetState(dsBrowse);
    SetKeyMode(kmNone);
}

void TZanTable::SetKeyFieldCount(int value) {
    if (GetState() != dsSetKey) DatabaseError(std::string(SNotEditing), this);
    if (value < 0 || value > GetIndexFieldCount())
        ZanDatabaseError(9985, "TZanTable.SetKeyFieldCount",
                         "The specified index field count is out of range");
    FKeyFieldCount = value;
}

bool TZanTable::SearchKey(TIndexSearchType type, int count) {
    TSearchModifier modifier;
    modifier.LimitedSearch = true;
    modifier.IncludedKeyFieldCount = count;
    return FindBuf(KeyBuffer(), type, GetCurrentIndexName(), &modifier, false);
}

void TZanTable::FoundKey() {
    CursorPosChanged();
    DoBeforeScroll();
    SetMarker(tpInTableValid);
    Resync({rmCenter});
    DoAfterScroll();
}

bool TZanTable::ApplyKey(bool exact) {
    CheckActive();
    const int count = FKeyFieldCount != 0 ? FKeyFieldCount : GetIndexFieldCount();
    bool found = false;
    {
        TScopeExit back([&] {
            if (GetState() == dsSetKey) SetState(dsBrowse);
            SetKeyMode(kmNone);
        });
        found = SearchKey(exact ? stEQ : stLEG, count);
    }
    if (found) FoundKey();
    return found;
}

int TZanTable::AssignKey(const std::vector<Variant>& values, bool nearest) {
    CheckBrowseMode();
    InitializeNewRecord(KeyBuffer(), nearest);
    const TDataSetState saved = SetTempState(dsSetKey);
    SetKeyMode(kmFind);
    TScopeExit restore([&] {
        SetKeyMode(kmNone);
        RestoreState(saved);
    });
    return SetIndexFields(values, GetCurrentIndexName());
}

bool TZanTable::FindKey(const std::vector<Variant>& values) {
    const int count = AssignKey(values, false);
    if (count == 0) return false;
    // A value longer than its field is stored by no record: the truncated key the field holds
    // must not find the record it begins.
    bool descending = false;
    if (OverLongKeyValue(values, descending) >= 0) return false;
    if (!SearchKey(stEQ, count)) return false;
    FoundKey();
    return true;
}

void TZanTable::FindNearest(const std::vector<Variant>& values) {
    const int count = AssignKey(values, true);
    bool found = false;
    {
        const bool lock = !GetLocked();
        if (lock) ReadLockTable();
        TScopeExit unlock([&] {
            if (lock) UnlockTable();
        });
        // A value longer than its field sorts after its truncated form and everything stored
        // under it: an ascending search goes past them (a descending one lands on them).
        bool descending = false;
        const int overLong = OverLongKeyValue(values, descending);
        if (overLong >= 0 && !descending)
            found = SearchKey(stGT, overLong + 1);
        else
            found = SearchKey(stLEG, std::max(count, 1));
    }
    if (!found) return;
    SetReadAheadMode(raReadAheadActive);
    ReleaseReadAheadMode();
    FoundKey();
}

// ---------------------------------------------------------------------------------------------
// Ranges

void TZanTable::SetRangeStart() {
    CheckBrowseMode();
    InitializeRangeBuffers(rmRangeStart);
    SetKeyMode(kmRange);
    SetRangeMode(rmRangeStart);
    SetState(dsSetKey);
}

void TZanTable::SetRangeEnd() {
    CheckBrowseMode();
    InitializeRangeBuffers(rmRangeEnd);
    SetKeyMode(kmRange);
    SetRangeMode(rmRangeEnd);
    SetState(dsSetKey);
}

void TZanTable::EditRangeStart() {
    CheckBrowseMode();
    SetKeyMode(kmRange);
    SetRangeMode(rmRangeStart);
    SetState(dsSetKey);
}

void TZanTable::EditRangeEnd() {
    CheckBrowseMode();
    SetKeyMode(kmRange);
    SetRangeMode(rmRangeEnd);
    SetState(dsSetKey);
}

void TZanTable::ApplyRange() {
    CheckActive();
    CheckIndexesPresent();
    SetRangeOn(true);
    if (GetState() == dsSetKey) SetState(dsBrowse);
    SetKeyMode(kmNone);
    First();
}

void TZanTable::CancelRange() {
    CheckActive();
    DataSetClearRange();
    if (GetState() != dsBrowse) SetState(dsBrowse);
    SetKeyMode(kmNone);
    First();
}

// ---------------------------------------------------------------------------------------------
// Master-detail

void TZanTable::SetMasterSource(TDataSource* source) {
    if (source != nullptr && IsLinkedTo(source)) DatabaseError(std::string(SCircularDataLink), this);
    FMasterLink->SetDataSource(source);
}

void TZanTable::GetDetailLinkFields(std::vector<TField*>& master, std::vector<TField*>& detail) {
    master.clear();
    detail.clear();
    TDataSet* masterSet = FMasterLink->GetDataSet();
    if (masterSet != nullptr && !GetMasterFields().empty())
        masterSet->GetFieldList(master, GetMasterFields());
    UpdateIndexDefs();
    if (GetActive()) GetFieldList(detail, GetIndexFieldNames());
}

void TZanTable::SetDetailLinkRange(const std::vector<TField*>& masterFields) {
    const bool opening = GetState() == dsInactive || GetState() == dsOpening;
    if (!opening) CheckBrowseMode();
    {
        const TDataSetState saved = SetTempState(dsSetKey);
        SetKeyMode(kmRange);
        TScopeExit restore([&] {
            SetKeyMode(kmNone);
            RestoreState(saved);
        });
        DataSetClearRange();
        for (TRangeMode mode : {rmRangeStart, rmRangeEnd}) {
            SetRangeMode(mode);
            InitializeRangeBuffers(mode);
            // Master fields beyond the index's are refused when a detail record is inserted.
            const size_t count = std::min(masterFields.size(), size_t(GetIndexFieldCount()));
            for (size_t i = 0; i < count; ++i)
                GetIndexField(int(i))->SetAsVariant(masterFields[i]->GetAsVariant());
        }
        SetRangeOn(true);
    }
    if (!opening) First();
}

void TZanTable::InternalCheckMasterRange() {
    if (FMasterLink->GetActive() && !FMasterLink->GetFields().empty())
        SetDetailLinkRange(FMasterLink->GetFields());
}

void TZanTable::MasterChanged() {
    if (!GetActive()) return;
    CheckBrowseMode();
    SetDetailLinkRange(FMasterLink->GetFields());
}

void TZanTable::MasterDisabled() {
    if (GetActive()) CancelRange();
}

void TZanTable::DoOnNewRecord() {
    if (FMasterLink->GetActive() && !FMasterLink->GetFields().empty()) {
        const std::vector<TField*>& master = FMasterLink->GetFields();
        for (size_t i = 0; i < master.size(); ++i) {
            if (int(i) >= GetIndexFieldCount())
                DatabaseError("Master-detail error" + master[i]->GetFieldName() +
                                  " is not a valid index field for this index",
                              this);
            GetIndexField(int(i))->SetAsVariant(master[i]->GetAsVariant());
        }
    }
    TZanBaseTable::DoOnNewRecord();
}

} // namespace zan
