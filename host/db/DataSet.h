// TDataSet: the base of every dataset. It keeps a window of record buffers over a cursor that the
// derived class implements, and drives the browse/edit cycle, calculated fields, bookmarks, events
// and the notification of data sources. docs/ARCHITECTURE.md ("Dataset protocol") lists what a
// derived class overrides and in which order the base calls it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/db/DB.h"
#include "host/db/Fields.h"
#include "host/rtl/Streams.h"
#include "host/rtl/Variants.h"

namespace zan {

class TDataSource;

// A record buffer: memory laid out by the derived dataset (AllocRecordBuffer).
using TRecordBuffer = char*;

// A bookmark: up to 8 bytes identifying a record, or nothing.
class TBookmark {
public:
    static constexpr int MaxSize = 8;
    TBookmark() = default;
    TBookmark(const void* data, int size);
    bool Assigned() const { return FSize > 0; }
    explicit operator bool() const { return Assigned(); }
    const uint8_t* Data() const { return FData.data(); }
    int Size() const { return FSize; }
    void Clear() { *this = TBookmark(); }
    friend bool operator==(const TBookmark&, const TBookmark&) = default;

private:
    std::array<uint8_t, MaxSize> FData{};
    int FSize = 0;
};

using TDataSetNotifyEvent = std::function<void(TDataSet* dataSet)>;
using TDataSetErrorEvent =
    std::function<void(TDataSet* dataSet, EDatabaseError& error, TDataAction& action)>;
using TFilterRecordEvent = std::function<void(TDataSet* dataSet, bool& accept)>;

// Where datasets hand exceptions they must not let escape (InternalHandleException). The default
// writes the message to stderr; the engine installs a handler that writes its trace log as well.
using TExceptionHandler = std::function<void(const std::exception& error)>;
void SetDataSetExceptionHandler(TExceptionHandler handler);
void HandleDataSetException(const std::exception& error);

class TDataSet : public TComponent {
public:
    explicit TDataSet(TComponent* owner = nullptr);
    // A derived dataset must call Destroying() and then Close() in its own destructor: the buffers
    // and the cursor are its, and a closing dataset that is being destroyed fires no close events.
    ~TDataSet() override;
    ZAN_CLASS(TDataSet)

    // --- Activity ------------------------------------------------------------------------------
    bool GetActive() const { return FState != dsInactive && FState != dsOpening; }
    // While loading, the value waits for Loaded.
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState GetState() const { return FState; }
    void Loaded() override;

    // --- Navigation ----------------------------------------------------------------------------
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    // Moves by distance records; answers how many were moved (signed).
    int MoveBy(int distance);
    bool GetBOF() const { return FBOF; }
    bool GetEOF() const { return FEOF; }
    bool IsEmpty() const { return FActiveRecord >= FRecordCount; }
    virtual int GetRecordCount() { return -1; }
    virtual int GetRecNo() { return -1; }
    virtual void SetRecNo(int /*value*/) {}
    virtual bool IsSequenced() { return true; }

    // --- Editing -------------------------------------------------------------------------------
    void Insert();
    void Append();
    void Edit();
    void Post();
    void Cancel();
    void Delete();
    void Refresh();
    // Ends editing (posting when modified, else cancelling) and key entry.
    void CheckBrowseMode();
    // Lets data links push pending values (deUpdateRecord); raises when not editing.
    void UpdateRecord();
    bool CanModify() { return GetCanModify(); }
    bool GetModified() const { return FModified; }
    // Adds a record with the given values at once (Insert, values, Post).
    void InsertRecord(const std::vector<Variant>& values);
    void AppendRecord(const std::vector<Variant>& values);

    // --- Fields --------------------------------------------------------------------------------
    TFields& GetFields() { return FFields; }
    const TFields& GetFields() const { return FFields; }
    int GetFieldCount() const { return FFields.Count(); }
    TField* FieldByName(const std::string& name) const { return FFields.FieldByName(name); }
    TField* FindField(const std::string& name) const { return FFields.FindField(name); }
    // The fields of a ";"-separated list, in its order; raises for a missing name.
    void GetFieldList(std::vector<TField*>& list, const std::string& fieldNames) const;
    // One field's value, or a variant array of several fields' values.
    Variant GetFieldValues(const std::string& fieldNames) const;
    // Sets one field from a value or several from a variant array; EVariantError for an array
    // with fewer elements than fields (nothing is written then). Extra elements are ignored.
    void SetFieldValues(const std::string& fieldNames, const Variant& value);
    TFieldDefs& GetFieldDefs() { return FFieldDefs; }
    // True when the fields were created from the definitions at open (no persistent fields).
    bool GetDefaultFields() const { return FDefaultFields; }
    int GetCalcFieldsSize() const { return FCalcFieldsSize; }
    bool GetAutoCalcFields() const { return FAutoCalcFields; }
    void SetAutoCalcFields(bool value) { FAutoCalcFields = value; }
    // Reads the field definitions from the dataset (InternalInitFieldDefs).
    void InitFieldDefs();

    // Abstract slots of field access, implemented by the derived dataset. GetFieldData answers
    // whether the active record's field has a value and copies its native data when buffer is
    // given; SetFieldData writes native data (nullptr: NULL), length being the byte count of
    // string data (-1 for other types).
    virtual bool GetFieldData(TField* field, void* buffer) = 0;
    virtual void SetFieldData(TField* field, const void* buffer, int32_t length) = 0;
    // An owned stream on a blob field; destroying it is where written content is stored.
    virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);
    // Copies the active record's buffer; false when there is none.
    virtual bool GetCurrentRecord(TRecordBuffer /*buffer*/) { return false; }

    // --- Bookmarks -----------------------------------------------------------------------------
    // The active record's bookmark; empty when there is no current record.
    TBookmark GetBookmark();
    void GotoBookmark(const TBookmark& bookmark);
    void FreeBookmark(TBookmark& bookmark) { bookmark.Clear(); }
    TBookmark GetBookmarkValue() { return GetBookmark(); }
    void SetBookmarkValue(const TBookmark& bookmark) { GotoBookmark(bookmark); }
    virtual bool BookmarkValid(const TBookmark& /*bookmark*/) { return false; }
    virtual int CompareBookmarks(const TBookmark& /*a*/, const TBookmark& /*b*/) { return 0; }
    int GetBookmarkSize() const { return FBookmarkSize; }

    // --- Search --------------------------------------------------------------------------------
    virtual bool Locate(const std::string& /*keyFields*/, const Variant& /*keyValues*/,
                        TLocateOptions /*options*/) {
        return false;
    }
    virtual Variant Lookup(const std::string& /*keyFields*/, const Variant& /*keyValues*/,
                           const std::string& /*resultFields*/) {
        return Null();
    }
    bool FindFirst() { return FindRecord(true, true); }
    bool FindLast() { return FindRecord(true, false); }
    bool FindNext() { return FindRecord(false, true); }
    bool FindPrior() { return FindRecord(false, false); }
    virtual bool FindRecord(bool /*restart*/, bool /*goForward*/) { return false; }
    bool GetFound() const { return FFound; }

    // --- Filtering (stored here, applied by the derived dataset) ---------------------------------
    const std::string& GetFilter() const { return FFilterText; }
    void SetFilter(const std::string& text) { SetFilterText(text); }
    bool GetFiltered() const { return FFiltered; }
    virtual void SetFiltered(bool value) { FFiltered = value; }
    TFilterOptions GetFilterOptions() const { return FFilterOptions; }
    virtual void SetFilterOptions(TFilterOptions options) { FFilterOptions = options; }
    virtual void SetFilterText(const std::string& text) { FFilterText = text; }
    const TFilterRecordEvent& GetOnFilterRecord() const { return FOnFilterRecord; }
    virtual void SetOnFilterRecord(TFilterRecordEvent handler) {
        FOnFilterRecord = std::move(handler);
    }

    // --- Controls and links --------------------------------------------------------------------
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return FDisableCount != 0; }
    // The data source this dataset takes values from (a master), or nullptr.
    virtual TDataSource* GetDataSource() { return nullptr; }
    // Whether source's dataset is this one or takes its values from it through a chain of
    // master sources.
    bool IsLinkedTo(TDataSource* source);
    // Sends a data event to the data sources (info: the field for deFieldChange and
    // deFocusControl, the distance for deDataSetScroll).
    void DataEvent(TDataEvent event, intptr_t info = 0);
    // The data sources attached to this dataset.
    const std::vector<TDataSource*>& GetDataSources() const { return FDataSources; }

    // --- Cursor synchronisation ----------------------------------------------------------------
    // Puts the cursor back on the active record.
    void UpdateCursorPos();
    // Forgets where the cursor is.
    void CursorPosChanged() { FCurrentRecord = -1; }
    // Refills the buffer window around the cursor's record.
    virtual void Resync(TResyncMode mode);

    // --- Events --------------------------------------------------------------------------------
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent BeforeRefresh, AfterRefresh, OnCalcFields, OnNewRecord;
    TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

    // --- Slots the definitions and links call --------------------------------------------------
    // A change of the field or index definitions (sender is the list).
    virtual void DefChanged(TObject* /*sender*/) {}
    // Rebuilds the index definitions the dataset keeps.
    virtual void UpdateIndexDefs() {}
    // The master fields and the detail fields of a master-detail link.
    virtual void GetDetailLinkFields(std::vector<TField*>& master, std::vector<TField*>& detail);

protected:
    // --- Buffers (abstract) --------------------------------------------------------------------
    virtual TRecordBuffer AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(TRecordBuffer& buffer) = 0;
    virtual int GetRecordSize() { return 0; }
    // Fetches the current, next or prior record of the cursor into buffer; with doCheck a failure
    // other than BOF/EOF may raise instead of answering grError.
    virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) = 0;

    // --- Bookmarks (abstract) ------------------------------------------------------------------
    virtual void GetBookmarkData(TRecordBuffer buffer, void* data) = 0;
    virtual void SetBookmarkData(TRecordBuffer buffer, const void* data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
    virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;
    virtual void InternalGotoBookmark(const void* bookmark) = 0;

    // --- Cursor (abstract) ---------------------------------------------------------------------
    virtual void InternalOpen() = 0;
    virtual void InternalClose() = 0;
    virtual bool IsCursorOpen() = 0;
    virtual void InternalInitFieldDefs() = 0;
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
    virtual void InternalHandleException(const std::exception& error);

    // --- Editing -------------------------------------------------------------------------------
    virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
    virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
    virtual void InternalDelete() = 0;
    // Checks required fields: every required, writable data field except autoinc must have a
    // value ("Field '<name>' must have a value").
    virtual void InternalPost();
    virtual void InternalEdit() {}
    virtual void InternalInsert() {}
    virtual void InternalCancel() {}
    virtual void InternalRefresh() {}

    // --- Calculated fields ---------------------------------------------------------------------
    virtual void ClearCalcFields(TRecordBuffer /*buffer*/) {}
    // Fires OnCalcFields.
    virtual void CalculateFields(TRecordBuffer buffer);
    // Computes the calculated fields of buffer in the calc-fields state.
    void GetCalcFields(TRecordBuffer buffer);
    TRecordBuffer CalcBuffer() const { return FCalcBuffer; }

    // --- Fetching ------------------------------------------------------------------------------
    virtual bool GetNextRecord();
    virtual bool GetPriorRecord();
    virtual int GetNextRecords();
    virtual int GetPriorRecords();

    // --- Other slots ---------------------------------------------------------------------------
    virtual bool GetCanModify() { return true; }
    virtual void DoOnNewRecord();
    void Notification(TComponent* component, TOperation operation) override;

    // --- Helpers for derived datasets ----------------------------------------------------------
    TRecordBuffer ActiveBuffer() const;
    TRecordBuffer Buffers(int index) const { return FBuffers.at(static_cast<size_t>(index)); }
    int BufferCount() const { return FBufferCount; }
    void SetBufferCount(int value);
    // Sizes the window after the data links' wishes (at least 1).
    void UpdateBufferCount();
    int BufferedRecordCount() const { return FRecordCount; }
    int ActiveRecord() const { return FActiveRecord; }
    int CurrentRecord() const { return FCurrentRecord; }
    void SetState(TDataSetState value);
    TDataSetState SetTempState(TDataSetState value);
    void RestoreState(TDataSetState value);
    void SetModified(bool value) { FModified = value; }
    void SetFound(bool value) { FFound = value; }
    void SetBookmarkSize(int size) { FBookmarkSize = size; }
    void DoBeforeScroll();
    void DoAfterScroll();
    void CheckActive() const;
    void CheckInactive() const;
    void CheckCanModify();
    // Creates a field for every definition (default fields).
    void CreateFields();
    // Frees the default fields.
    void DestroyFields();
    // Binds the fields to the definitions (data fields take the definition's number and must
    // have its type; calculated fields get their place in the calculated-field area), or unbinds.
    void BindFields(bool binding);
    // Forgets state kept per edited record (blob fields' Modified).
    void FreeFieldBuffers();
    void ClearBuffers();
    void ActivateBuffers();
    void SetCurrentRecord(int index);
    void MoveBuffer(int from, int to);
    void InitRecord(TRecordBuffer buffer);
    // Runs an edit operation after putting the cursor on the active record, letting the error
    // handler fail, abort or retry on EDatabaseError.
    void CheckOperation(const std::function<void()>& operation,
                        const TDataSetErrorEvent& errorEvent);

    TFieldDefs FFieldDefs{this};
    TFields FFields{this};

private:
    friend class TDataSource;
    friend class TDataLink;
    friend class TFields;
    void OpenCursor();
    // Tells the links of every data source that field left Fields (freed or detached), also
    // while controls are disabled, so that none keeps it.
    void FieldRemoved(TField* field);
    void CloseCursor();
    void BeginInsertAppend();
    void EndInsertAppend();
    // Puts the dataset back into browse on the record that was active when an insert failed.
    void RecoverFromInsert();
    void UpdateCalcFields();
    void SetBufListSize(int size);
    // Puts the cursor on the active record, fills the window and leaves browse state; used after
    // an edit operation succeeded, so that the derived Resync (which releases what the operation
    // took) runs even when a state notification throws.
    void ReturnToBrowse();
    static void Fire(const TDataSetNotifyEvent& event, TDataSet* dataSet) {
        if (event) event(dataSet);
    }

    TDataSetState FState = dsInactive;
    TDataSetState FDisableState = dsInactive;
    TDataEvent FEnableEvent = deDataSetChange;
    int FDisableCount = 0;
    std::vector<TRecordBuffer> FBuffers;
    int FBufferCount = 0;
    int FRecordCount = 0;
    int FActiveRecord = 0;
    int FCurrentRecord = -1;
    bool FBOF = true;
    bool FEOF = true;
    bool FModified = false;
    bool FFound = false;
    bool FDefaultFields = false;
    bool FAutoCalcFields = true;
    bool FStreamedActive = false;
    bool FInternalOpenComplete = false;
    int FBookmarkSize = 0;
    int FCalcFieldsSize = 0;
    TRecordBuffer FCalcBuffer = nullptr;
    std::string FFilterText;
    bool FFiltered = false;
    TFilterOptions FFilterOptions;
    TFilterRecordEvent FOnFilterRecord;
    std::vector<TDataSource*> FDataSources;
};

} // namespace zan
