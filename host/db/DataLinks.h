// Data sources and data links: how consumers follow a dataset. A dataset notifies its data
// sources of every data event; each source passes them to its links, which turn them into calls
// of their virtual handlers. TMasterDataLink makes a detail dataset follow a master one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/db/DataSet.h"

namespace zan {

class TDataLink;

using TNotifyEvent = std::function<void(TObject* sender)>;
using TDataChangeEvent = std::function<void(TObject* sender, TField* field)>;

class TDataSource : public TComponent {
public:
    explicit TDataSource(TComponent* owner = nullptr);
    ~TDataSource() override;
    ZAN_CLASS(TDataSource)

    TDataSet* GetDataSet() const { return FDataSet; }
    // EDatabaseError "Circular datalinks are not allowed" when dataSet takes its values from
    // this source.
    void SetDataSet(TDataSet* dataSet);
    bool GetEnabled() const { return FEnabled; }
    void SetEnabled(bool enabled);
    // The dataset's state, dsInactive when disabled or without a dataset.
    TDataSetState GetState() const { return FState; }
    // Whether dataSet takes its values from this source through a chain of master sources.
    bool IsLinkedTo(TDataSet* dataSet) const;
    const std::vector<TDataLink*>& GetDataLinks() const { return FDataLinks; }

    TNotifyEvent OnStateChange;
    TDataChangeEvent OnDataChange;
    TNotifyEvent OnUpdateData;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TDataSet;
    friend class TDataLink;
    void DataEvent(TDataEvent event, intptr_t info);
    void NotifyDataLinks(TDataEvent event, intptr_t info);
    void SetState(TDataSetState state);
    void UpdateState();
    void AddDataLink(TDataLink* link);
    void RemoveDataLink(TDataLink* link);
    void FieldRemoved(TField* field);

    TDataSet* FDataSet = nullptr;
    bool FEnabled = true;
    TDataSetState FState = dsInactive;
    std::vector<TDataLink*> FDataLinks;
};

class TDataLink : public TObject {
public:
    TDataLink() = default;
    ~TDataLink() override;
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;
    ZAN_CLASS(TDataLink)

    TDataSource* GetDataSource() const { return FDataSource; }
    void SetDataSource(TDataSource* source);
    TDataSet* GetDataSet() const { return FDataSource ? FDataSource->GetDataSet() : nullptr; }
    // The source is enabled and its dataset open.
    bool GetActive() const { return FActive; }
    // The dataset is in an editing state (edit, insert, key entry) while the link is active.
    bool GetEditing() const { return FEditing; }
    // How many records the consumer shows; the dataset keeps at least as many buffers.
    int GetBufferCount() const { return FBufferCount; }
    void SetBufferCount(int count);
    // The position of the active record within the consumer's records.
    int GetActiveRecord() const;
    // How many records the consumer can show now (at most BufferCount).
    int GetRecordCount() const;

protected:
    virtual void ActiveChanged() {}
    virtual void RecordChanged(TField* /*field*/) {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int /*distance*/) { DataSetChanged(); }
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void EditingChanged() {}
    // Asked to write pending values into the fields (before a post).
    virtual void UpdateData() {}
    // Asked to end what it edits before the dataset leaves its record.
    virtual void CheckBrowseMode() {}
    virtual void FocusControl(TField* /*field*/) {}
    // A field left the dataset's Fields (freed or detached); told even while controls are
    // disabled. A link that keeps field pointers drops this one.
    virtual void FieldRemoved(TField* /*field*/) {}

private:
    friend class TDataSource;
    void DataEvent(TDataEvent event, intptr_t info);
    void UpdateState();
    void SetActive(bool active);
    void SetEditing(bool editing);

    TDataSource* FDataSource = nullptr;
    bool FActive = false;
    bool FEditing = false;
    bool FUpdating = false;
    int FBufferCount = 1;
};

// A link whose consumer is itself a dataset.
class TDetailDataLink : public TDataLink {
public:
    ZAN_CLASS(TDetailDataLink)
    virtual TDataSet* GetDetailDataSet() const { return nullptr; }
};

// Makes a detail dataset follow the record of its master: the link's data source is the
// master's, FieldNames the ";"-separated master fields the detail depends on.
class TMasterDataLink : public TDetailDataLink {
public:
    explicit TMasterDataLink(TDataSet* detail) : FDetail(detail) {}
    ZAN_CLASS(TMasterDataLink)

    TDataSet* GetDetailDataSet() const override { return FDetail; }
    const std::string& GetFieldNames() const { return FFieldNames; }
    void SetFieldNames(const std::string& names);
    // The master fields named in FieldNames; empty while the link is inactive.
    const std::vector<TField*>& GetFields() const { return FFields; }

    // The master moved to another record or changed a link field.
    TNotifyEvent OnMasterChange;
    // The master was closed or the link lost its fields.
    TNotifyEvent OnMasterDisable;

protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void LayoutChanged() override { ActiveChanged(); }
    void RecordChanged(TField* field) override;
    // The list is whole or empty: a removed master field empties it until the next
    // ActiveChanged (the layout change that EnableControls sends, or the next open) rebuilds it.
    void FieldRemoved(TField* field) override;

private:
    TDataSet* FDetail;
    std::string FFieldNames;
    std::vector<TField*> FFields;
};

} // namespace zan
