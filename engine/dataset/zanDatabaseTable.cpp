// TZanBaseTable: the cursor served through the framework's buffer, bookmark, field, navigation
// and edit protocol; TBlobStream, its blob fields' stream.
#include <algorithm>
#include <cstring>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

// The value of a default expression: a quoted text without its quotes (a doubled quote inside
// is one), anything else as written.
std::string DefaultValueText(const std::string& expression) {
    if (expression.size() < 2 || expression.front() != '\'' || expression.back() != '\'')
        return expression;
    std::string text;
    for (size_t i = 1; i + 1 < expression.size(); ++i) {
        text += expression[i];
        if (expression[i] == '\'' && expression[i + 1] == '\'') ++i;
    }
    return text;
}
constexpr int32_t C_STATUS_BYTE = 4;
constexpr int32_t C_FLAG_BYTE = 5;
constexpr int32_t C_BOOKMARK_SIZE = 8;

bool IsAutoInc(const TField* field) {
    return field->GetDataType() == ftAutoInc;
}
} // namespace

TZanBaseTable::TZanBaseTable(TComponent* owner) : TZanDataSet(owner) {
    SetBlobCacheEnabled(true);
}

TZanBaseTable::~TZanBaseTable() {
    Destroying();
    CloseFromDestructor();
}

// ---------------------------------------------------------------------------------------------
// Buffers

TRecordBuffer TZanBaseTable::AllocRecordBuffer() {
    return new char[size_t(FBufferSize)]();
}

void TZanBaseTable::FreeRecordBuffer(TRecordBuffer& buffer) {
    delete[] buffer;
    buffer = nullptr;
}

bool TZanBaseTable::IsFrameworkBuffer(const uint8_t* buffer) const {
    // Key and filter buffers have the framework layout; the cursor's range buffers do not.
    return buffer != nullptr && (buffer == FKeyBuf.data() || buffer == FDataFilterBuf.data() ||
                                 GetState() != dsSetKey || FKeyMode != kmRange);
}

uint8_t* TZanBaseTable::GetActiveRecBuf() {
    switch (GetState()) {
    case dsBrowse:
        return IsEmpty() ? nullptr : reinterpret_cast<uint8_t*>(ActiveBuffer());
    case dsEdit:
    case dsInsert:
    case dsNewValue:
        return reinterpret_cast<uint8_t*>(ActiveBuffer());
    case dsSetKey:
        if (FKeyMode == kmFind) return FKeyBuf.data();
        if (FKeyMode == kmRange) return GetRangeRecBuf(FRangeMode);
        ZanDatabaseError(8581, "TZanBaseTable.GetActiveRecBuf",
                         "State error - no KeyMode set for SetKey state");
    case dsCalcFields:
        return reinterpret_cast<uint8_t*>(CalcBuffer());
    case dsFilter:
        return FDataFilterBuf.data();
    default:
        return nullptr;
    }
}

TRecordBufferStatus TZanBaseTable::GetRecordStatus(TRecordBuffer buffer) const {
    return TRecordBufferStatus(buffer[FExtraOffset + C_STATUS_BYTE]);
}

void TZanBaseTable::SetRecordStatus(TRecordBuffer buffer, TRecordBufferStatus status) const {
    buffer[FExtraOffset + C_STATUS_BYTE] = char(status);
}

void TZanBaseTable::ClearCalcFields(TRecordBuffer buffer) {
    std::memset(buffer + FCalcOffset, 0, size_t(GetCalcFieldsSize()));
}

bool TZanBaseTable::GetCurrentRecord(TRecordBuffer buffer) {
    if (IsEmpty()) return false;
    std::memcpy(buffer, ActiveBuffer(), size_t(FBufferSize));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Fetch

TGetResult TZanBaseTable::GetRecord(TRecordBuffer buffer, TGetMode mode, bool) {
    if (FRefilterPending) {
        FRefilterPending = false;
        if (GetFiltered()) ApplyFilter();
        InternalCheckMasterRange();
    }
    bool ok = false;
    switch (mode) {
    case gmCurrent:
        switch (FMarker) {
        case tpInTableValid:
            ok = true;
            break;
        case tpAtFirst:
            ok = DataSetFirst();
            break;
        case tpAtLast:
            ok = DataSetLast();
            break;
        case tpInTableUnknown:
            ok = DataSetRefresh(GetRecBuf(), false) && SyncToFilter();
            break;
        }
        break;
    case gmNext:
        ok = FMarker == tpAtFirst ? DataSetFirst() : DataSetNext();
        break;
    case gmPrior:
        ok = FMarker == tpAtLast ? DataSetLast() : DataSetPrior();
        break;
    }
    FMarker = tpInTableUnknown;
    if (!ok) return mode == gmNext ? grEOF : mode == gmPrior ? grBOF : grError;
    const uint8_t* rec = GetRecBuf();
    std::memcpy(buffer, rec, size_t(GetRecBufSize()));
    PutLE32(reinterpret_cast<uint8_t*>(buffer) + FExtraOffset,
            uint32_t(DataSetGetRecordNoFromBuf(rec)));
    uint8_t bookmark[C_BOOKMARK_SIZE];
    GetBookMarkFromBuf(rec, InternalGetRecordSize(), bookmark);
    std::memcpy(buffer + FExtraOffset + 8, bookmark, C_BOOKMARK_SIZE);
    SetRecordStatus(buffer, rbBrowse);
    SetBookmarkFlag(buffer, bfCurrent);
    GetCalcFields(buffer);
    return grOK;
}

void TZanBaseTable::InternalSetToRecord(TRecordBuffer buffer) {
    const uint32_t address = GetLE32(reinterpret_cast<uint8_t*>(buffer) + FExtraOffset + 8);
    if (address == 0) {
        DataSetFirst();
        return;
    }
    // Before a post the framework positions on the record an insert was started at: the blob
    // values of the insert must survive that read.
    const auto* rec = reinterpret_cast<const uint8_t*>(buffer);
    SetToRecordKeepingBlobs(address, ExtraAddress(rec) == address ? rec : nullptr);
}

void TZanBaseTable::Resync(TResyncMode mode) {
    SetReadAheadBufferSize(std::max(BufferCount(), 10));
    TScopeExit release([&] { ReleasePostLock(); });
    TDataSet::Resync(mode);
}

bool TZanBaseTable::AutoIncNull(const uint8_t* buffer) const {
    for (int i = 0; i < FFields.Count(); ++i) {
        const TField* f = FFields[i];
        if (f->GetFieldNo() >= 1 && IsAutoInc(f) &&
            GetIsFieldNullFromRecBuf(buffer, f->GetFieldNo() - 1))
            return true;
    }
    return false;
}

void TZanBaseTable::TakePostLock() {
    if (GetWriteLocked()) return;
    LockTable();
    FPostLock = true;
}

void TZanBaseTable::ReleasePostLock() {
    if (!FPostLock) return;
    FPostLock = false;
    UnlockTable();
}

// ---------------------------------------------------------------------------------------------
// Bookmarks

void TZanBaseTable::GetBookmarkData(TRecordBuffer buffer, void* data) {
    CheckActive();
    std::memcpy(data, buffer + FExtraOffset + 8, C_BOOKMARK_SIZE);
}

void TZanBaseTable::SetBookmarkData(TRecordBuffer buffer, const void* data) {
    CheckActive();
    std::memcpy(buffer + FExtraOffset + 8, data, C_BOOKMARK_SIZE);
}

TBookmarkFlag TZanBaseTable::GetBookmarkFlag(TRecordBuffer buffer) {
    return TBookmarkFlag(buffer[FExtraOffset + C_FLAG_BYTE]);
}

void TZanBaseTable::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
    buffer[FExtraOffset + C_FLAG_BYTE] = char(flag);
}

void TZanBaseTable::InternalGotoBookmark(const void* bookmark) {
    const auto* data = static_cast<const uint8_t*>(bookmark);
    // A bookmark of a deleted or reused slot never lands on another record.
    if (!CheckBookMarkValid(data) || !DataSetSetToBookmark(data))
        ZanDatabaseError(10021, "TZanBaseTable.InternalGotoBookmark");
    FMarker = tpInTableValid;
}

bool TZanBaseTable::BookmarkValid(const TBookmark& bookmark) {
    CheckActive();
    return bookmark.Size() == C_BOOKMARK_SIZE && CheckBookMarkValid(bookmark.Data());
}

int TZanBaseTable::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
    if (!a && !b) return 0;
    if (!a || !b) return 1;
    for (int i = 0; i < TBookmark::MaxSize; ++i)
        if (a.Data()[i] != b.Data()[i]) return a.Data()[i] - b.Data()[i];
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Open and close

void TZanBaseTable::InternalInitFieldDefs() {
    const bool wasOpen = GetInternalActive();
    bool connected = false;
    if (!wasOpen) {
        if (GetDataBase() == nullptr) ZanDatabaseError(10112, "TZanBaseTable.InternalInitFieldDefs");
        if (!GetDataBase()->GetConnected()) {
            GetDataBase()->Open();
            connected = true;
        }
        DataSetOpen();
    }
    TScopeExit restore([&] {
        if (wasOpen) return;
        DataSetClose();
        if (connected) GetDataBase()->Close();
    });
    FFieldDefs.Clear();
    TInternalFields& fields = GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i) {
        if (fields.Items(i)->GetHidden()) continue;
        TFieldDef& def = FFieldDefs.AddFieldDef();
        GetFieldDef(i, def);
    }
}

void TZanBaseTable::InternalOpen() {
    static const char* const context = "TZanBaseTable.InternalOpen";
    if (GetDataBase() == nullptr) ZanDatabaseError(10112, context);
    if (!GetDataBase()->GetConnected()) GetDataBase()->Open();
    FCanModify = true;
    DataSetOpen();
    FCursorOpen = true;
    FMarker = tpAtFirst;
    InitFieldDefs();
    if (GetDefaultFields()) CreateFields();
    BindFields(true);
    DataSetSetFieldPrivileges();
    SetBookmarkSize(C_BOOKMARK_SIZE);
    FCalcOffset = GetRecBufSize();
    FExtraOffset = FCalcOffset + GetCalcFieldsSize();
    FBufferSize = FExtraOffset + 16;
    FDataFilterBuf.assign(size_t(FBufferSize), 0);
    FKeyBuf.assign(size_t(FBufferSize), 0);
    FWorkBuf.assign(size_t(FBufferSize), 0);
    FRefilterPending = true;
    UpdateIndexDefs();
}

void TZanBaseTable::InternalClose() {
    BindFields(false);
    if (GetDefaultFields()) DestroyFields();
    FPostLock = false;
    if (FCursorOpen) DataSetClose();
    FCursorOpen = false;
    FCanModify = false;
    FDataFilterBuf.clear();
    FKeyBuf.clear();
    FWorkBuf.clear();
}

void TZanBaseTable::UpdateIndexDefs() {
    FIndexDefs.Clear();
    if (!GetInternalActive()) return;
    TStringList names;
    GetIndexNames(names);
    for (int n = 0, seen = 0; seen < names.Count(); ++n) {
        TIndexDef def;
        try {
            GetIndexDef(n, def);
        } catch (const EZanDatabaseError&) {
            continue; // a hidden index
        }
        ++seen;
        TIndexDef& item = FIndexDefs.Add(def.GetName(), def.GetFields(), def.GetOptions());
        item.SetDescFields(def.GetDescFields());
        item.SetCaseInsFields(def.GetCaseInsFields());
    }
}

bool TZanBaseTable::GetCanModify() {
    // A cursor on a read-only database is not open for modification.
    return FCanModify && !GetReadOnly() && !GetIsReadOnly() && !CheckReadOnlyPrivileges();
}

int TZanBaseTable::GetRecordCount() {
    CheckActive();
    return GetCurrentRecordCount();
}

int TZanBaseTable::GetRecNo() {
    if (GetState() == dsInsert || IsEmpty()) return 0;
    return int(GetLE32(reinterpret_cast<uint8_t*>(ActiveBuffer()) + FExtraOffset));
}

void TZanBaseTable::SetRecNo(int value) {
    CheckBrowseMode();
    if (DataSetSetRecordNo(value) < 0) return;
    DoBeforeScroll();
    FMarker = tpInTableValid;
    Resync({rmExact, rmCenter});
    DoAfterScroll();
}

void TZanBaseTable::SetLocked(bool value) {
    CheckActive();
    if (value)
        LockTable();
    else
        UnlockTable();
}

// ---------------------------------------------------------------------------------------------
// Fields

bool TZanBaseTable::GetFieldData(TField* field, void* buffer) {
    const uint8_t* rec = GetActiveRecBuf();
    if (rec == nullptr) return false;
    if (field->GetFieldNo() < 1) {
        if (!IsFrameworkBuffer(rec)) return false;
        const uint8_t* data = rec + FCalcOffset + field->GetOffset();
        if (data[0] == 0) return false;
        if (buffer) std::memcpy(buffer, data + 1, size_t(field->GetDataSize()));
        return true;
    }
    const int32_t n = field->GetFieldNo() - 1;
    if (IsFieldBlob(n)) return !GetIsFieldNullFromRecBuf(rec, n);
    if (buffer) {
        const size_t size = field->GetDataType() == ftString ? size_t(field->GetSize()) + 2
                                                             : size_t(field->GetDataSize());
        std::memset(buffer, 0, size);
    }
    bool isNull = true;
    DataSetGetFieldDataFromRecBuf(n, isNull, buffer, rec);
    return !isNull;
}

void TZanBaseTable::SetFieldData(TField* field, const void* buffer, int32_t length) {
    const TDataSetState state = GetState();
    if (!IsWriteMode(state)) DatabaseError(std::string(SNotEditing), this);
    uint8_t* rec = GetActiveRecBuf();
    if (rec == nullptr) DatabaseError(std::string(SNotEditing), this);
    if (field->GetFieldNo() < 1) {
        if (!IsFrameworkBuffer(rec)) DatabaseError(std::string(SNotEditing), this);
        uint8_t* data = rec + FCalcOffset + field->GetOffset();
        data[0] = buffer ? 1 : 0;
        std::memset(data + 1, 0, size_t(field->GetDataSize()));
        if (buffer) std::memcpy(data + 1, buffer, size_t(field->GetDataSize()));
    } else {
        // Read-only fields carry the update privilege: program code may not bypass it.
        if (field->GetReadOnly() && state != dsSetKey && state != dsFilter)
            DatabaseErrorFmt(SFieldReadOnly, {field->GetDisplayName()}, this);
        field->Validate(buffer, length);
        if (buffer && field->GetDataType() == ftCurrency) {
            double amount;
            std::memcpy(&amount, buffer, sizeof amount);
            CheckCurrencyAmount(amount, field->GetFieldName(), "TZanBaseTable.SetFieldData");
        }
        int32_t size = -1;
        if (buffer && field->GetDataType() == ftString)
            size = length >= 0 ? length
                               : int32_t(strnlen(static_cast<const char*>(buffer),
                                                 size_t(field->GetSize()) + 1));
        DataSetSetFieldDataToRecBuf(field->GetFieldNo() - 1, size, buffer == nullptr, rec,
                                    buffer);
    }
    if (state != dsCalcFields && state != dsFilter)
        DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

// ---------------------------------------------------------------------------------------------
// Editing

void TZanBaseTable::InternalInitRecord(TRecordBuffer buffer) {
    auto* rec = reinterpret_cast<uint8_t*>(buffer);
    InitializeNewRecord(rec, false);
    if (rec == FDataFilterBuf.data()) return;
    std::vector<TField*> defaults;
    for (int i = 0; i < GetFieldCount(); ++i) {
        TField* f = GetFields()[i];
        if (f->GetFieldKind() == fkData && !f->GetReadOnly() && !f->GetDefaultExpression().empty())
            defaults.push_back(f);
    }
    if (defaults.empty()) return;
    // The defaults go in through the fields (their conversions and checks) in the filter state,
    // whose buffer is the work buffer here; the new record is then that buffer.
    InitializeNewRecord(FDataFilterBuf.data(), false);
    const TDataSetState saved = SetTempState(dsFilter);
    {
        TScopeExit restore([&] { RestoreState(saved); });
        for (TField* f : defaults) f->SetAsString(DefaultValueText(f->GetDefaultExpression()));
    }
    std::memcpy(rec, FDataFilterBuf.data(), size_t(GetRecBufSize()));
}

void TZanBaseTable::InternalInsert() {
    ClearRecord();
    SetRecordStatus(ActiveBuffer(), rbInsert);
    CursorPosChanged();
}

void TZanBaseTable::InternalEdit() {
    static const char* const context = "TZanBaseTable.InternalEdit";
    auto* buffer = reinterpret_cast<uint8_t*>(ActiveBuffer());
    if (GetRecordStatus(ActiveBuffer()) != rbBrowse)
        ZanDatabaseError(8581, context, "Internal State error - RecBuf not available for editing");
    ClearRecord();
    SetToRecordBuffer(buffer, false, true);
    const uint32_t address = ExtraAddress(buffer);
    InternalSetRecordLock(address);
    std::memcpy(buffer, GetRecBuf(), size_t(InternalGetRecordSize()));
    SetExtraInfo(buffer, address, ExtraRecNo(buffer));
    SetRecordStatus(ActiveBuffer(), rbEdit);
}

void TZanBaseTable::InternalCancel() {
    auto* buffer = reinterpret_cast<uint8_t*>(ActiveBuffer());
    const uint32_t address = ExtraAddress(buffer);
    if (address != 0) InternalReleaseRecordLock(address);
    ClearRecord();
    SetRecordStatus(ActiveBuffer(), rbBrowse);
}

void TZanBaseTable::PostActive(bool takeLock) {
    auto* buffer = reinterpret_cast<uint8_t*>(ActiveBuffer());
    const bool inserting = GetState() == dsInsert;
    const bool useAutoInc = AutoIncNull(buffer);
    // Only the record image and the cursor's extra info move into the cursor.
    SetRecordBuffer(buffer, GetRecBufSize());
    if (inserting) SetExtraInfo(GetRecBuf(), 0, 0);
    if (takeLock) TakePostLock();
    try {
        if (inserting)
            AddRecord(useAutoInc);
        else
            UpdateRecord();
    } catch (...) {
        ReleasePostLock();
        throw;
    }
    // The write left the cursor on the posted record (its buffer holds it, and the index search
    // made for it): the resync after the post re-reads it from there. A marker kept from before
    // the post (at the end after an append, at the start after an insert into an empty window)
    // would land on another record. A record the current index does not hold, or one outside the
    // filter or range, gives the nearest record of the cursor instead.
    FMarker = tpInTableUnknown;
    SetRecordStatus(ActiveBuffer(), rbBrowse);
}

void TZanBaseTable::InternalPost() {
    TDataSet::InternalPost();
    PostActive(true);
}

void TZanBaseTable::SilentPost() {
    PostActive(false);
}

void TZanBaseTable::InternalAddRecord(TRecordBuffer buffer, bool) {
    SetRecordBuffer(reinterpret_cast<uint8_t*>(buffer), GetRecBufSize());
    SetExtraInfo(GetRecBuf(), 0, 0);
    AddRecord(AutoIncNull(reinterpret_cast<uint8_t*>(buffer)));
}

void TZanBaseTable::InternalDelete() {
    auto* buffer = reinterpret_cast<uint8_t*>(ActiveBuffer());
    // The delete takes the record's lock as an edit does: a row another connection is editing is
    // not deleted under its edit.
    const uint32_t address = ExtraAddress(buffer);
    const bool recordLock = address != 0 && !HoldsRecordLock(address);
    if (recordLock) InternalSetRecordLock(address);
    TScopeExit unlockRecord([&] {
        if (recordLock) InternalReleaseRecordLock(address);
    });
    TakePostLock();
    try {
        // The active image identifies the record: a slot reused by another record is refused.
        if (DeleteRecord(buffer) == -1) ZanDatabaseError(8708, "TZanBaseTable.InternalDelete");
    } catch (...) {
        ReleasePostLock();
        throw;
    }
    SetRecordStatus(ActiveBuffer(), rbInvalid);
}

void TZanBaseTable::InternalRefresh() {
    if (IsEmpty()) return;
    DataSetRefresh(GetRecBuf(), false);
}

void TZanBaseTable::InternalHandleException(const std::exception& error) {
    try {
        GDBLogger().LogItem(GetTableName(), std::string("Exception in a dataset handler: ") +
                                                error.what());
        HandleDataSetException(error);
    } catch (...) {
        // A handler that throws must not take the dataset down.
    }
}

// ---------------------------------------------------------------------------------------------
// Table operations

bool TZanBaseTable::CreateTable() {
    static const char* const context = "TZanBaseTable.CreateTable";
    TZanDataBase* db = GetDataBase();
    if (db == nullptr) ZanDatabaseError(10112, context);
    const bool memory = GetMemory() || db->IsMemoryDatabase();
    if (!memory && db->InTransaction()) ZanDatabaseError(10122, context);
    if (GetEncryptionLevel() != encNone) {
        if (!db->GetUseEncryption())
            ZanDatabaseError(10766, context, SzanDBOperationCannotBePerformed);
        if (memory) ZanDatabaseError(10880, context);
    }
    if (GetActive() && (GetState() == dsEdit || GetState() == dsInsert)) Cancel();
    SetTableDef(GetMemory(), FFieldDefs, FIndexDefs);
    InternalCreateTable();
    return true;
}

void TZanBaseTable::EmptyTable() {
    CheckBrowseMode();
    TZanDataBase* db = GetDataBase();
    if (db && !GetMemory() && !db->IsMemoryDatabase() && db->GetDiskMgr() &&
        db->GetDiskMgr()->IsTransactionActive())
        ZanDatabaseError(10122, "TZanBaseTable.EmptyTable");
    DataSetEmptyTable();
    if (GetActive()) First();
}

void TZanBaseTable::Flush() {
    CheckActive();
    if (GetState() == dsEdit || GetState() == dsInsert) Post();
    GetDataBase()->FlushBuffers();
}

// ---------------------------------------------------------------------------------------------
// Search

TIndexDef* TZanBaseTable::FindIndexDefByName(const std::string& name) {
    for (int i = 0; i < FIndexDefs.Count(); ++i)
        if (SameText(FIndexDefs[i].GetName(), name)) return &FIndexDefs[i];
    return nullptr;
}

int TZanBaseTable::SetIndexFields(const std::vector<Variant>& values,
                                  const std::string& indexName) {
    TIndexDef* def = FindIndexDefByName(indexName);
    if (def == nullptr) ZanDatabaseError(9997, "TZanBaseTable.SetIndexFields", "Index " + indexName);
    const std::vector<std::string> names = SplitFieldNames(def->GetFields());
    const size_t count = std::min(values.size(), names.size());
    for (size_t i = 0; i < count; ++i)
        FieldByName(names[i])->SetAsVariant(values[i]);
    return int(count);
}

std::string TZanBaseTable::MapFieldsToIndex(const std::vector<TField*>& fields,
                                            bool caseInsensitive) {
    std::string best = GetCurrentIndexName();
    size_t bestCount = 0;
    for (int i = 0; i < FIndexDefs.Count(); ++i) {
        const TIndexDef& def = FIndexDefs[i];
        const std::vector<std::string> names = SplitFieldNames(def.GetFields());
        const std::vector<std::string> caseIns = SplitFieldNames(def.GetCaseInsFields());
        size_t count = 0;
        while (count < names.size() && count < fields.size() &&
               SameText(names[count], fields[count]->GetFieldName())) {
            if (caseInsensitive && fields[count]->GetDataType() == ftString &&
                !def.GetOptions().contains(ixCaseInsensitive) &&
                std::none_of(caseIns.begin(), caseIns.end(), [&](const std::string& n) {
                    return SameText(n, names[count]);
                }))
                break;
            ++count;
        }
        if (count > bestCount || (count == fields.size() && count == names.size() && count > 0)) {
            best = def.GetName();
            bestCount = count;
        }
    }
    return best;
}

bool TZanBaseTable::LocateRecord(const std::string& keyFields, const Variant& keyValues,
                                 TLocateOptions options, bool reposition) {
    CheckBrowseMode();
    CursorPosChanged();
    std::vector<TField*> fields;
    GetFieldList(fields, keyFields);
    std::vector<Variant> values;
    if (fields.size() == 1 && !VarIsArray(keyValues))
        values.push_back(keyValues);
    else
        values = keyValues.Elements();
    std::vector<std::string> names;
    InitializeNewRecord(FDataFilterBuf.data(), false);
    for (size_t i = 0; i < fields.size(); ++i) {
        TField* f = fields[i];
        if (f->GetFieldKind() != fkData || f->GetFieldNo() < 1)
            ZanDatabaseError(10000, "TZanBaseTable.LocateRecord", f->GetFieldName());
        // A field the user may not read is not searched either.
        CheckFieldRead(f->GetFieldNo() - 1);
        names.push_back(f->GetFieldName());
        const Variant value = i < values.size() ? values[i] : Null();
        if (VarIsNull(value) || VarIsEmpty(value)) continue;
        // A value longer than its field never matches a stored value it only begins with.
        if (f->GetDataType() == ftString && !options.contains(loPartialKey) &&
            VarToStr(value).size() > size_t(f->GetSize()))
            return false;
        std::string text;
        if (f->GetDataType() == ftString) {
            text = VarToStr(value);
            if (text.size() > size_t(f->GetSize())) text.resize(size_t(f->GetSize()));
        }
        DataSetSetFieldDataToRecBufAsVariant(FDataFilterBuf.data(), f->GetFieldNo() - 1,
                                             f->GetDataType() == ftString ? Variant(text)
                                                                          : value);
    }
    const std::string index = MapFieldsToIndex(fields, options.contains(loCaseInsensitive));
    return DoLocate(index, FDataFilterBuf.data(), FWorkBuf.data(), names, options, true,
                    reposition);
}

bool TZanBaseTable::Locate(const std::string& keyFields, const Variant& keyValues,
                           TLocateOptions options) {
    CheckBrowseMode();
    DoBeforeScroll();
    if (!LocateRecord(keyFields, keyValues, options, true)) return false;
    FMarker = tpInTableValid;
    Resync({rmExact, rmCenter});
    DoAfterScroll();
    return true;
}

Variant TZanBaseTable::Lookup(const std::string& keyFields, const Variant& keyValues,
                              const std::string& resultFields) {
    if (!LocateRecord(keyFields, keyValues, {}, false)) return Null();
    std::memcpy(FDataFilterBuf.data(), FWorkBuf.data(), size_t(GetRecBufSize()));
    GetCalcFields(reinterpret_cast<TRecordBuffer>(FDataFilterBuf.data()));
    const TDataSetState saved = SetTempState(dsFilter);
    TScopeExit restore([&] { RestoreState(saved); });
    return GetFieldValues(resultFields);
}

int TZanBaseTable::OverLongKeyValue(const std::vector<Variant>& values, bool& descending) {
    descending = false;
    TIndexDef* def = FindIndexDefByName(GetCurrentIndexName());
    if (def == nullptr) return -1;
    const std::vector<std::string> names = SplitFieldNames(def->GetFields());
    const std::vector<std::string> desc = SplitFieldNames(def->GetDescFields());
    const size_t count = std::min(values.size(), names.size());
    for (size_t i = 0; i < count; ++i) {
        TField* f = FieldByName(names[i]);
        if (f->GetDataType() != ftString || VarIsNull(values[i]) || VarIsEmpty(values[i]))
            continue;
        if (VarToStr(values[i]).size() <= size_t(std::max(f->GetSize(), 0))) continue;
        descending = def->GetOptions().contains(ixDescending) ||
                     std::any_of(desc.begin(), desc.end(),
                                 [&](const std::string& n) { return SameText(n, names[i]); });
        return int(i);
    }
    return -1;
}

void TZanBaseTable::InternalSetRange(const std::vector<Variant>& start,
                                     const std::vector<Variant>& end) {
    CheckBrowseMode();
    CheckIndexesPresent();
    const TDataSetState saved = SetTempState(dsSetKey);
    FKeyMode = kmRange;
    {
        TScopeExit restore([&] {
            RestoreState(saved);
            FKeyMode = kmNone;
        });
        DataSetClearRange();
        const std::string index = GetCurrentIndexName();
        for (TRangeMode mode : {rmRangeStart, rmRangeEnd}) {
            const std::vector<Variant>& values = mode == rmRangeStart ? start : end;
            FRangeMode = mode;
            InitializeRangeBuffers(mode);
            SetIndexFields(values, index);
            // A value longer than its field is stored by no record, and the field holds it
            // truncated: in ascending order it sorts after the truncated value and everything
            // stored under it, so both ends lie above those keys (a descending field: below).
            bool descending = false;
            const int overLong = OverLongKeyValue(values, descending);
            if (overLong >= 0)
                SetKeyFieldsAfter(GetRangeRecBuf(mode), index, overLong,
                                  descending ? C_NULLFLAG_LOWEST : C_NULLFLAG_HIGHEST);
        }
        SetRangeOn(true);
    }
    First();
}

// ---------------------------------------------------------------------------------------------
// Blob stream

std::unique_ptr<TStream> TZanBaseTable::CreateBlobStream(TField* field, TBlobStreamMode mode) {
    return std::make_unique<TBlobStream>(field, mode);
}

TBlobStream::TBlobStream(TField* field, TBlobStreamMode mode)
    : FField(dynamic_cast<TBlobField*>(field)),
      FDataSet(dynamic_cast<TZanBaseTable*>(field->GetDataSet())), FMode(mode) {
    if (FDataSet == nullptr || FField == nullptr)
        ZanAssert(false, "Mismatch in calling dataset type");
    FBuffer = FDataSet->GetActiveRecBuf();
    if (FBuffer == nullptr) return;
    const bool modified = FField->GetModified();
    const int32_t n = FField->GetFieldNo() - 1;
    if (!modified && mode != bmRead) {
        if (FField->GetReadOnly())
            DatabaseErrorFmt(SFieldReadOnly, {FField->GetDisplayName()}, FDataSet);
        if (FDataSet->GetState() != dsEdit && FDataSet->GetState() != dsInsert)
            DatabaseError(std::string(SNotEditing), FDataSet);
    }
    bool isNull = false;
    if (mode == bmRead && !modified) {
        if (!FDataSet->GetBlobCacheData(FBuffer, n, *this)) {
            FDataSet->DataSetGetFieldStreamFromRecBuf(FBuffer, n, isNull, *this);
            FDataSet->SetBlobCacheData(FBuffer, n, *this);
        }
    } else if (mode != bmWrite) {
        // bmReadWrite starts from the current value, pending or stored, so that what is not
        // rewritten is kept.
        FDataSet->DataSetGetFieldStreamFromRecBuf(FBuffer, n, isNull, *this);
    }
    if (mode == bmWrite) {
        Clear();
        FModified = true;
    }
    SetPosition(0);
    FOpened = true;
}

int32_t TBlobStream::Write(const void* buffer, int32_t count) {
    if (FMode != bmRead) FModified = true;
    return TMemoryStream::Write(buffer, count);
}

TBlobStream::~TBlobStream() {
    if (FMode == bmRead || FBuffer == nullptr || !FModified) return;
    try {
        SetPosition(0);
        FField->SetModified(true);
        FDataSet->DataSetSetFieldStreamFromRecBuf(FBuffer, FField->GetFieldNo() - 1,
                                                  GetSize() == 0, *this);
        FDataSet->DataEvent(deFieldChange, reinterpret_cast<intptr_t>(FField));
    } catch (const std::exception& e) {
        FDataSet->InternalHandleException(e);
    }
}

} // namespace zan
