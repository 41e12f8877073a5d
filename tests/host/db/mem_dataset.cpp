#include "host/db/mem_dataset.h"

#include <cstring>

#include "host/rtl/SysUtils.h"

namespace zan {

namespace {
constexpr int FlagByte = 5;
} // namespace

TMemDataSet::TMemDataSet(TComponent* owner) : TDataSet(owner) {}

TMemDataSet::~TMemDataSet() {
    Destroying();
    Close();
}

int TMemDataSet::FieldDataSize(const TFieldDef& def) const {
    switch (def.GetDataType()) {
    case ftString:
        return def.GetSize() + 1;
    case ftSmallint:
    case ftWord:
        return 2;
    case ftInteger:
    case ftAutoInc:
        return 4;
    case ftBoolean:
        return 1;
    case ftBytes:
        return def.GetSize();
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
        return 8;
    default:
        return 0;
    }
}

char* TMemDataSet::CurrentBuffer() {
    switch (GetState()) {
    case dsBrowse:
        return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
        return ActiveBuffer();
    case dsCalcFields:
        return CalcBuffer();
    case dsFilter:
        return FFilterBuffer.data();
    case dsSetKey:
        return FKeyBuffer.data();
    default:
        return nullptr;
    }
}

int64_t TMemDataSet::BufferId(const char* buffer) const {
    int64_t id;
    std::memcpy(&id, buffer + FExtraOffset + 8, sizeof id);
    return id;
}

int TMemDataSet::RowIndexOf(int64_t id) const {
    for (size_t i = 0; i < FRows.size(); ++i)
        if (FRows[i].Id == id) return static_cast<int>(i);
    return -1;
}

void TMemDataSet::DeleteRowBehind(int index) {
    FRows.erase(FRows.begin() + index);
}

void TMemDataSet::SetKey() {
    CheckBrowseMode();
    std::fill(FKeyBuffer.begin(), FKeyBuffer.end(), 0);
    SetState(dsSetKey);
}

// --- Fields
// ---------------------------------------------------------------------------------------

bool TMemDataSet::GetFieldData(TField* field, void* buffer) {
    char* record = CurrentBuffer();
    if (!record) return false;
    if (field->GetFieldNo() < 1) {
        char* data = record + FCalcOffset + field->GetOffset();
        if (!data[0]) return false;
        if (buffer) std::memcpy(buffer, data + 1, static_cast<size_t>(field->GetDataSize()));
        return true;
    }
    int index = field->GetFieldNo() - 1;
    char* data = record + FOffsets[static_cast<size_t>(index)];
    if (!data[0]) return false;
    if (buffer)
        std::memcpy(buffer, data + 1, static_cast<size_t>(FieldDataSize(FStructure[index])));
    return true;
}

void TMemDataSet::SetFieldData(TField* field, const void* buffer, int32_t length) {
    TDataSetState state = GetState();
    if (!IsWriteMode(state)) DatabaseError(std::string(SNotEditing), this);
    char* record = CurrentBuffer();
    if (!record) DatabaseError(std::string(SNotEditing), this);
    char* data;
    int size;
    if (field->GetFieldNo() < 1) {
        data = record + FCalcOffset + field->GetOffset();
        size = field->GetDataSize();
    } else {
        int index = field->GetFieldNo() - 1;
        field->Validate(buffer, length);
        data = record + FOffsets[static_cast<size_t>(index)];
        size = FieldDataSize(FStructure[index]);
    }
    data[0] = buffer ? 1 : 0;
    std::memset(data + 1, 0, static_cast<size_t>(size));
    if (buffer) {
        if (field->GetDataType() == ftString) {
            size_t n = length >= 0
                           ? static_cast<size_t>(length)
                           : strnlen(static_cast<const char*>(buffer), static_cast<size_t>(size));
            std::memcpy(data + 1, buffer, std::min(n, static_cast<size_t>(size - 1)));
        } else {
            std::memcpy(data + 1, buffer, static_cast<size_t>(size));
        }
    }
    if (state != dsCalcFields && state != dsFilter)
        DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

void TMemDataSet::ClearCalcFields(TRecordBuffer buffer) {
    std::memset(buffer + FCalcOffset, 0, static_cast<size_t>(GetCalcFieldsSize()));
}

// --- Buffers and bookmarks
// ------------------------------------------------------------------------

TRecordBuffer TMemDataSet::AllocRecordBuffer() {
    return new char[static_cast<size_t>(FBufferSize)]();
}

void TMemDataSet::FreeRecordBuffer(TRecordBuffer& buffer) {
    delete[] buffer;
    buffer = nullptr;
}

TGetResult TMemDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool) {
    Note(mode == gmCurrent ? "GetRecord(current)"
         : mode == gmNext  ? "GetRecord(next)"
                           : "GetRecord(prior)");
    int count = RowCount();
    FCursor = std::min(FCursor, count);
    switch (mode) {
    case gmCurrent:
        if (FCursor < 0 || FCursor >= count) return grError;
        break;
    case gmNext:
        if (FCursor + 1 >= count) {
            FCursor = count;
            return grEOF;
        }
        ++FCursor;
        break;
    case gmPrior:
        if (FCursor - 1 < 0) {
            FCursor = -1;
            return grBOF;
        }
        --FCursor;
        break;
    }
    const TRow& row = FRows[static_cast<size_t>(FCursor)];
    std::memcpy(buffer, row.Image.data(), static_cast<size_t>(FRecordSize));
    SetBookmarkFlag(buffer, bfCurrent);
    SetBookmarkData(buffer, &row.Id);
    GetCalcFields(buffer);
    return grOK;
}

void TMemDataSet::GetBookmarkData(TRecordBuffer buffer, void* data) {
    std::memcpy(data, buffer + FExtraOffset + 8, 8);
}

void TMemDataSet::SetBookmarkData(TRecordBuffer buffer, const void* data) {
    std::memcpy(buffer + FExtraOffset + 8, data, 8);
}

TBookmarkFlag TMemDataSet::GetBookmarkFlag(TRecordBuffer buffer) {
    return static_cast<TBookmarkFlag>(buffer[FExtraOffset + FlagByte]);
}

void TMemDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
    buffer[FExtraOffset + FlagByte] = static_cast<char>(flag);
}

void TMemDataSet::InternalGotoBookmark(const void* bookmark) {
    Note("InternalGotoBookmark");
    int64_t id;
    std::memcpy(&id, bookmark, sizeof id);
    int index = RowIndexOf(id);
    if (index < 0) DatabaseError(std::string(SRecordNotFound), this);
    FCursor = index;
}

bool TMemDataSet::BookmarkValid(const TBookmark& bookmark) {
    if (!bookmark) return false;
    int64_t id;
    std::memcpy(&id, bookmark.Data(), sizeof id);
    return RowIndexOf(id) >= 0;
}

int TMemDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
    if (!a && !b) return 0;
    if (!a || !b) return 1;
    for (int i = 0; i < TBookmark::MaxSize; ++i)
        if (a.Data()[i] != b.Data()[i]) return a.Data()[i] - b.Data()[i];
    return 0;
}

// --- Cursor
// ---------------------------------------------------------------------------------------

void TMemDataSet::InternalInitFieldDefs() {
    if (FStructure.Count() == 0) FStructure.Assign(FFieldDefs);
    FFieldDefs.Assign(FStructure);
}

void TMemDataSet::InternalOpen() {
    Note("InternalOpen");
    InitFieldDefs();
    if (GetDefaultFields()) CreateFields();
    BindFields(true);
    SetBookmarkSize(8);
    FOffsets.clear();
    FRecordSize = 0;
    for (int i = 0; i < FStructure.Count(); ++i) {
        FOffsets.push_back(FRecordSize);
        FRecordSize += 1 + FieldDataSize(FStructure[i]);
    }
    FCalcOffset = FRecordSize + 1;
    FExtraOffset = FCalcOffset + GetCalcFieldsSize();
    FBufferSize = FExtraOffset + 16;
    FFilterBuffer.assign(static_cast<size_t>(FBufferSize), 0);
    FKeyBuffer.assign(static_cast<size_t>(FBufferSize), 0);
    FCursor = -1;
    FCursorOpen = true;
}

void TMemDataSet::InternalClose() {
    Note("InternalClose");
    BindFields(false);
    if (GetDefaultFields()) DestroyFields();
    FCursorOpen = false;
    FRecordLock = false;
}

void TMemDataSet::InternalFirst() {
    Note("InternalFirst");
    FCursor = -1;
}

void TMemDataSet::InternalLast() {
    Note("InternalLast");
    FCursor = RowCount();
}

void TMemDataSet::InternalSetToRecord(TRecordBuffer buffer) {
    Note("InternalSetToRecord");
    int index = RowIndexOf(BufferId(buffer));
    if (index >= 0) FCursor = index;
}

int TMemDataSet::GetRecordCount() {
    CheckActive();
    return RowCount();
}

int TMemDataSet::GetRecNo() {
    if (GetState() != dsBrowse || IsEmpty()) return 0;
    return RowIndexOf(BufferId(ActiveBuffer())) + 1;
}

void TMemDataSet::Resync(TResyncMode mode) {
    Note("Resync");
    // As the engine's table does: the write lock taken by a post or delete ends here.
    try {
        TDataSet::Resync(mode);
    } catch (...) {
        FWriteLock = false;
        throw;
    }
    FWriteLock = false;
}

// --- Editing
// --------------------------------------------------------------------------------------

void TMemDataSet::InternalInitRecord(TRecordBuffer buffer) {
    Note("InternalInitRecord");
    std::memset(buffer, 0, static_cast<size_t>(FRecordSize));
}

void TMemDataSet::InternalAddRecord(TRecordBuffer buffer, bool) {
    FRows.push_back({FNextId++, std::vector<char>(buffer, buffer + FRecordSize)});
}

void TMemDataSet::InternalDelete() {
    Note("InternalDelete");
    if (FailDeletes > 0) {
        --FailDeletes;
        DatabaseError("Delete failed", this);
    }
    int index = RowIndexOf(BufferId(ActiveBuffer()));
    if (index < 0) DatabaseError(std::string(SRecordNotFound), this);
    FWriteLock = true;
    FRows.erase(FRows.begin() + index);
    FCursor = index;
    FRecordLock = false;
}

void TMemDataSet::InternalPost() {
    Note("InternalPost");
    if (FailPosts > 0) {
        --FailPosts;
        DatabaseError("Post failed", this);
    }
    TDataSet::InternalPost();
    char* buffer = ActiveBuffer();
    FWriteLock = true;
    if (GetState() == dsInsert) {
        for (int i = 0; i < FStructure.Count(); ++i) {
            char* data = buffer + FOffsets[static_cast<size_t>(i)];
            if (FStructure[i].GetDataType() == ftAutoInc && !data[0]) {
                data[0] = 1;
                int32_t value = FNextAutoInc++;
                std::memcpy(data + 1, &value, sizeof value);
            }
        }
        int position = RowCount();
        TBookmarkFlag flag = GetBookmarkFlag(buffer);
        if (flag == bfBOF) {
            position = 0;
        } else if (flag == bfInserted) {
            int index = RowIndexOf(BufferId(buffer));
            if (index >= 0) position = index;
        }
        FRows.insert(FRows.begin() + position,
                     {FNextId++, std::vector<char>(buffer, buffer + FRecordSize)});
        FCursor = position;
    } else {
        int index = RowIndexOf(BufferId(buffer));
        if (index < 0) {
            FWriteLock = false;
            DatabaseError(std::string(SRecordNotFound), this);
        }
        FRows[static_cast<size_t>(index)].Image.assign(buffer, buffer + FRecordSize);
        FCursor = index;
    }
    FRecordLock = false;
}

void TMemDataSet::InternalEdit() {
    Note("InternalEdit");
    if (FailEdits > 0) {
        --FailEdits;
        DatabaseError("Edit failed", this);
    }
    FRecordLock = true;
}

void TMemDataSet::InternalInsert() {
    Note("InternalInsert");
}

void TMemDataSet::InternalCancel() {
    Note("InternalCancel");
    FRecordLock = false;
}

void TMemDataSet::InternalRefresh() {
    Note("InternalRefresh");
}

// --- Search
// ---------------------------------------------------------------------------------------

bool TMemDataSet::RowMatches(int index, const std::vector<TField*>& fields,
                             const std::vector<Variant>& values, TLocateOptions options) {
    std::memcpy(FFilterBuffer.data(), FRows[static_cast<size_t>(index)].Image.data(),
                static_cast<size_t>(FRecordSize));
    for (size_t i = 0; i < fields.size(); ++i) {
        const Variant& key = i < values.size() ? values[i] : Null();
        Variant value = fields[i]->GetAsVariant();
        if (VarIsNull(key) || VarIsEmpty(key)) {
            if (!VarIsNull(value)) return false;
            continue;
        }
        if (VarIsNull(value)) return false;
        std::string a = VarToStr(value), b = VarToStr(key);
        if (options.contains(loPartialKey) && a.size() > b.size()) a.resize(b.size());
        if (options.contains(loCaseInsensitive) ? !SameText(a, b) : a != b) return false;
    }
    return true;
}

int TMemDataSet::FindRow(const std::string& keyFields, const Variant& keyValues,
                         TLocateOptions options) {
    std::vector<TField*> fields;
    GetFieldList(fields, keyFields);
    std::vector<Variant> values;
    if (fields.size() == 1 && !VarIsArray(keyValues))
        values.push_back(keyValues);
    else
        values = keyValues.Elements();
    TDataSetState saved = SetTempState(dsFilter);
    try {
        for (int i = 0; i < RowCount(); ++i)
            if (RowMatches(i, fields, values, options)) {
                RestoreState(saved);
                return i;
            }
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
    return -1;
}

bool TMemDataSet::Locate(const std::string& keyFields, const Variant& keyValues,
                         TLocateOptions options) {
    CheckBrowseMode();
    DoBeforeScroll();
    int index = FindRow(keyFields, keyValues, options);
    if (index < 0) return false;
    CursorPosChanged();
    FCursor = index;
    Resync({rmExact, rmCenter});
    DoAfterScroll();
    return true;
}

Variant TMemDataSet::Lookup(const std::string& keyFields, const Variant& keyValues,
                            const std::string& resultFields) {
    CheckBrowseMode();
    if (FindRow(keyFields, keyValues, {}) < 0) return Null();
    // The filter buffer holds the row found: compute its calculated fields and read from it.
    GetCalcFields(FFilterBuffer.data());
    TDataSetState saved = SetTempState(dsFilter);
    try {
        Variant result = GetFieldValues(resultFields);
        RestoreState(saved);
        return result;
    } catch (...) {
        RestoreState(saved);
        throw;
    }
}

} // namespace zan
