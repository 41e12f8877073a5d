// A small in-memory dataset implementing every abstract slot of TDataSet: the reference the
// protocol tests run against. Its record buffers are laid out as the engine's base table lays
// them out (record image, spare byte, calculated-field area, 8 bytes of extra information with
// the bookmark flag at byte 5, an 8-byte bookmark), its post takes a "write lock" that only the
// following Resync releases, and its edit takes a "record lock" that post and cancel release.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/db/DataSet.h"

namespace zan {

class TMemDataSet : public TDataSet {
public:
    explicit TMemDataSet(TComponent* owner = nullptr);
    ~TMemDataSet() override;
    ZAN_CLASS(TMemDataSet)

    // --- Instrumentation read by the tests -----------------------------------------------------
    bool WriteLockHeld() const { return FWriteLock; }
    bool RecordLockHeld() const { return FRecordLock; }
    int RowCount() const { return static_cast<int>(FRows.size()); }
    // Names of the slots called, in order, while tracing is on.
    std::vector<std::string> Trace;
    bool Tracing = false;
    // Makes the next InternalPost / InternalDelete / InternalEdit fail with EDatabaseError.
    int FailPosts = 0;
    int FailDeletes = 0;
    int FailEdits = 0;
    void SetReadOnly(bool value) { FReadOnly = value; }
    // Removes a row behind the dataset's back (another user deleting it).
    void DeleteRowBehind(int index);
    // Enters key entry with an empty key buffer.
    void SetKey();
    const char* KeyBuffer() const { return FKeyBuffer.data(); }

    // --- TDataSet ------------------------------------------------------------------------------
    bool GetFieldData(TField* field, void* buffer) override;
    void SetFieldData(TField* field, const void* buffer, int32_t length) override;
    int GetRecordCount() override;
    int GetRecNo() override;
    bool BookmarkValid(const TBookmark& bookmark) override;
    int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
    bool Locate(const std::string& keyFields, const Variant& keyValues,
                TLocateOptions options) override;
    Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                   const std::string& resultFields) override;
    void Resync(TResyncMode mode) override;

protected:
    TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(TRecordBuffer& buffer) override;
    int GetRecordSize() override { return FRecordSize; }
    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
    void GetBookmarkData(TRecordBuffer buffer, void* data) override;
    void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
    void InternalGotoBookmark(const void* bookmark) override;
    void InternalOpen() override;
    void InternalClose() override;
    bool IsCursorOpen() override { return FCursorOpen; }
    void InternalInitFieldDefs() override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalSetToRecord(TRecordBuffer buffer) override;
    void InternalInitRecord(TRecordBuffer buffer) override;
    void InternalAddRecord(TRecordBuffer buffer, bool append) override;
    void InternalDelete() override;
    void InternalPost() override;
    void InternalEdit() override;
    void InternalInsert() override;
    void InternalCancel() override;
    void InternalRefresh() override;
    void ClearCalcFields(TRecordBuffer buffer) override;
    bool GetCanModify() override { return !FReadOnly; }

private:
    struct TRow {
        int64_t Id;
        std::vector<char> Image;
    };
    void Note(const char* slot) {
        if (Tracing) Trace.emplace_back(slot);
    }
    int FieldDataSize(const TFieldDef& def) const;
    // The buffer field values are read from and written to in the current state.
    char* CurrentBuffer();
    int64_t BufferId(const char* buffer) const;
    int RowIndexOf(int64_t id) const;
    // Whether the row at index matches the key values (read through the filter buffer).
    bool RowMatches(int index, const std::vector<TField*>& fields,
                    const std::vector<Variant>& values, TLocateOptions options);
    int FindRow(const std::string& keyFields, const Variant& keyValues, TLocateOptions options);

    std::vector<TRow> FRows;
    TFieldDefs FStructure;
    std::vector<int> FOffsets;
    int FRecordSize = 0;
    int FCalcOffset = 0;
    int FExtraOffset = 0;
    int FBufferSize = 0;
    int FCursor = -1; // row index; -1 before the first, Count after the last
    bool FCursorOpen = false;
    bool FReadOnly = false;
    bool FWriteLock = false;
    bool FRecordLock = false;
    int64_t FNextId = 1;
    int32_t FNextAutoInc = 1;
    std::vector<char> FFilterBuffer;
    std::vector<char> FKeyBuffer;
};

} // namespace zan
