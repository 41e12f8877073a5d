// Behaviour that needs the reference dataset's instrumentation: the write lock released on every
// path of a post or delete, slot order, key entry, data links and master-detail links.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/db/DataLinks.h"
#include "host/db/mem_dataset.h"

using namespace zan;

namespace {

std::unique_ptr<TMemDataSet> MakeTable(int rows) {
    auto ds = std::make_unique<TMemDataSet>();
    ds->GetFieldDefs().Add("ID", ftInteger, 0, true);
    ds->GetFieldDefs().Add("MASTER", ftInteger);
    ds->GetFieldDefs().Add("NAME", ftString, 10);
    ds->Open();
    for (int i = 1; i <= rows; ++i) {
        ds->Append();
        ds->FieldByName("ID")->SetAsInteger(i);
        ds->FieldByName("MASTER")->SetAsInteger((i + 1) / 2);
        ds->Post();
    }
    ds->First();
    return ds;
}

TEST(DataSetLocks, PostAndDeleteReleaseTheWriteLockWhenAStateHandlerThrows) {
    auto ds = MakeTable(3);
    TDataSource source;
    source.SetDataSet(ds.get());
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("x");
    source.OnStateChange = [&](TObject*) {
        if (ds->GetState() == dsBrowse) throw Exception("handler failed");
    };
    EXPECT_THROW(ds->Post(), Exception);
    EXPECT_FALSE(ds->WriteLockHeld());
    EXPECT_EQ(ds->GetState(), dsBrowse);
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "x") << "the post itself happened";
    ds->Edit();
    EXPECT_THROW(ds->Delete(), Exception);
    EXPECT_FALSE(ds->WriteLockHeld());
    EXPECT_EQ(ds->RowCount(), 2);
    source.OnStateChange = nullptr;
    ds->Edit();
    ds->Post();
    EXPECT_FALSE(ds->WriteLockHeld());
}

TEST(DataSetLocks, EditLocksTheRecordUntilPostOrCancelAndSlotsRunInOrder) {
    auto ds = MakeTable(2);
    ds->Tracing = true;
    ds->Edit();
    EXPECT_TRUE(ds->RecordLockHeld());
    ds->Cancel();
    EXPECT_FALSE(ds->RecordLockHeld());
    ds->Trace.clear();
    ds->Next();
    ds->Edit();
    ds->Post();
    // The cursor already rests on the active record, so no repositioning; the resync of a
    // one-buffer window fetches the current record only.
    std::vector<std::string> expected = {"GetRecord(next)", "InternalEdit", "InternalPost",
                                         "Resync", "GetRecord(current)"};
    EXPECT_EQ(ds->Trace, expected);
    ds->FailEdits = 1;
    EXPECT_THROW(ds->Edit(), EDatabaseError);
    EXPECT_EQ(ds->GetState(), dsBrowse);
    EXPECT_FALSE(ds->RecordLockHeld());
    ds->FailDeletes = 1;
    int calls = 0;
    ds->OnDeleteError = [&](TDataSet*, EDatabaseError&, TDataAction& action) {
        ++calls;
        action = daRetry;
    };
    ds->Delete();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ds->RowCount(), 1);
}

TEST(DataSetLocks, ResyncAfterTheRecordVanishedMovesToANeighbour) {
    auto ds = MakeTable(3);
    ds->Next();
    ds->DeleteRowBehind(1);
    ds->Refresh();
    EXPECT_EQ(ds->FieldByName("ID")->GetAsInteger(), 3);
    ds->Last();
    ds->DeleteRowBehind(1);
    ds->DeleteRowBehind(0);
    ds->Refresh();
    EXPECT_TRUE(ds->IsEmpty());
    EXPECT_TRUE(ds->GetEOF());
}

TEST(DataSetKeys, CheckBrowseModeEndsKeyEntryKeepingTheKey) {
    auto ds = MakeTable(2);
    ds->SetKey();
    EXPECT_EQ(ds->GetState(), dsSetKey);
    ds->FieldByName("NAME")->SetReadOnly(true);
    ds->FieldByName("NAME")->SetAsString("key"); // read-only fields take key values
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "key");
    ds->CheckBrowseMode();
    EXPECT_EQ(ds->GetState(), dsBrowse);
    EXPECT_STREQ(ds->KeyBuffer() + 1 + 4 + 1 + 4 + 1, "key");
    EXPECT_EQ(ds->FieldByName("ID")->GetAsInteger(), 1);
}

// A link that records what it is told.
class TRecordingLink : public TDataLink {
public:
    std::vector<std::string> Calls;

protected:
    void ActiveChanged() override { Calls.push_back(GetActive() ? "active" : "inactive"); }
    void EditingChanged() override { Calls.push_back(GetEditing() ? "editing" : "not editing"); }
    void RecordChanged(TField* field) override {
        Calls.push_back(field ? "record:" + field->GetFieldName() : "record");
    }
    void DataSetScrolled(int distance) override {
        Calls.push_back("scrolled " + std::to_string(distance));
    }
    void DataSetChanged() override { Calls.push_back("changed"); }
    void UpdateData() override { Calls.push_back("update"); }
    void CheckBrowseMode() override { Calls.push_back("browse"); }
};

TEST(DataLinks, LinksReceiveStateRecordAndScrollEvents) {
    auto ds = MakeTable(3);
    TDataSource source;
    TRecordingLink link;
    link.SetDataSource(&source);
    source.SetDataSet(ds.get());
    EXPECT_EQ(link.Calls, (std::vector<std::string>{"active"}));
    EXPECT_EQ(link.GetDataSet(), ds.get());
    link.Calls.clear();
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("n");
    ds->Post();
    EXPECT_EQ(link.Calls, (std::vector<std::string>{"browse", "editing", "record", "record:NAME",
                                                    "update", "browse", "not editing", "changed"}));
    link.Calls.clear();
    ds->Next();
    ds->Last();
    EXPECT_EQ(link.Calls, (std::vector<std::string>{"browse", "scrolled -1", "browse", "changed"}));
    link.Calls.clear();
    source.SetEnabled(false);
    ds->First();
    source.SetEnabled(true);
    EXPECT_EQ(link.Calls, (std::vector<std::string>{"inactive", "active"}));
    link.Calls.clear();
    ds->Close();
    EXPECT_EQ(link.Calls, (std::vector<std::string>{"inactive"}));
    EXPECT_FALSE(link.GetActive());
    EXPECT_EQ(source.GetState(), dsInactive);
}

TEST(DataLinks, DestroyingEitherEndDetachesTheOther) {
    auto ds = MakeTable(1);
    auto* source = new TDataSource;
    {
        TRecordingLink link;
        link.SetDataSource(source);
        source->SetDataSet(ds.get());
        EXPECT_EQ(ds->GetDataSources().size(), 1u);
    }
    EXPECT_TRUE(source->GetDataLinks().empty());
    TRecordingLink survivor;
    survivor.SetDataSource(source);
    delete source;
    EXPECT_EQ(survivor.GetDataSource(), nullptr);
    EXPECT_TRUE(ds->GetDataSources().empty());
    TDataSource orphan;
    {
        auto other = MakeTable(1);
        orphan.SetDataSet(other.get());
    }
    EXPECT_EQ(orphan.GetDataSet(), nullptr);
    EXPECT_EQ(orphan.GetState(), dsInactive);
}

// A detail dataset following a master through a master link, as the table component does.
class TDetailTable : public TMemDataSet {
public:
    TDetailTable() : FLink(this) {
        FLink.OnMasterChange = [this](TObject*) { ++MasterChanges; };
        FLink.OnMasterDisable = [this](TObject*) { ++MasterDisables; };
    }
    TDataSource* GetDataSource() override { return FLink.GetDataSource(); }
    TMasterDataLink& Link() { return FLink; }
    // Refuses a master source whose dataset takes its values from this one.
    void SetMasterSource(TDataSource* source) {
        if (source && IsLinkedTo(source)) DatabaseError(std::string(SCircularDataLink), this);
        FLink.SetDataSource(source);
    }
    int MasterChanges = 0;
    int MasterDisables = 0;

private:
    TMasterDataLink FLink;
};

// A master table of four rows, its data source and an open detail (one integer field "ID")
// following masterFields.
struct TMasterDetail {
    explicit TMasterDetail(const std::string& masterFields) {
        Source.SetDataSet(Master.get());
        Detail.GetFieldDefs().Add("ID", ftInteger);
        Detail.Open();
        Detail.SetMasterSource(&Source);
        Detail.Link().SetFieldNames(masterFields);
    }
    std::unique_ptr<TMemDataSet> Master = MakeTable(4);
    TDataSource Source;
    TDetailTable Detail;
};

TEST(DataLinks, MasterDetailLinkFollowsTheMaster) {
    TMasterDetail tables("ID;MASTER");
    auto& master = tables.Master;
    TDataSource& masterSource = tables.Source;
    TDetailTable& detail = tables.Detail;
    ASSERT_EQ(detail.Link().GetFields().size(), 2u);
    EXPECT_EQ(detail.Link().GetFields()[1], master->FieldByName("MASTER"));
    EXPECT_EQ(detail.MasterChanges, 1);
    master->Next();
    EXPECT_EQ(detail.MasterChanges, 2);
    master->Edit();
    master->FieldByName("NAME")->SetAsString("x"); // not a link field
    EXPECT_EQ(detail.MasterChanges, 3) << "entering edit is a record change";
    master->FieldByName("MASTER")->SetAsInteger(9);
    EXPECT_EQ(detail.MasterChanges, 4);
    detail.Edit();
    detail.FieldByName("ID")->SetAsInteger(5);
    master->Post(); // the master's browse check posts the detail first
    EXPECT_EQ(detail.GetState(), dsBrowse);
    EXPECT_EQ(detail.RowCount(), 1);
    master->Close();
    // The first came when the link became active before it had field names.
    EXPECT_EQ(detail.MasterDisables, 2);
    EXPECT_TRUE(detail.Link().GetFields().empty());

    detail.Link().SetFieldNames("NOPE"); // checked when the master opens
    EXPECT_THROW(master->Open(), EDatabaseError);
    EXPECT_TRUE(master->GetActive());
    EXPECT_TRUE(detail.Link().GetFields().empty()) << "a bad name leaves the list empty";

    TDataSource detailSource;
    detailSource.SetDataSet(&detail);
    EXPECT_TRUE(master->IsLinkedTo(&masterSource));
    EXPECT_TRUE(detail.IsLinkedTo(&detailSource));
    EXPECT_TRUE(master->IsLinkedTo(&detailSource)) << "the detail takes values from the master";
    TDataSource unrelated;
    EXPECT_FALSE(master->IsLinkedTo(&unrelated));
    EXPECT_THROW(detail.SetMasterSource(&detailSource), EDatabaseError);
    try {
        masterSource.SetDataSet(&detail);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Circular datalinks are not allowed");
    }
    detail.Link().SetDataSource(nullptr);
}

// The owner of a dataset and its fields, as a form is; its teardown marks both destroying.
struct TForm : TComponent {
    using TComponent::Destroying;
};

TEST(DataLinks, FreeingAFieldOfAnOpenDatasetClosesItFirst) {
    // A persistent field freed alone, or in its owner's teardown (the dataset is marked
    // destroying then): the dataset closes first and the master link lets the field go.
    for (bool inTeardown : {false, true}) {
        TForm form;
        auto* master = new TMemDataSet(&form);
        master->GetFieldDefs().Add("ID", ftInteger);
        auto* id = new TIntegerField(&form);
        id->SetFieldName("ID");
        id->SetDataSet(master);
        master->Open();
        TDataSource source;
        source.SetDataSet(master);
        TMasterDataLink link(nullptr);
        link.SetFieldNames("ID");
        link.SetDataSource(&source);
        ASSERT_EQ(link.GetFields().size(), 1u);
        if (inTeardown) form.Destroying();
        delete id;
        EXPECT_FALSE(master->GetActive()) << inTeardown;
        EXPECT_FALSE(link.GetActive()) << inTeardown;
        EXPECT_TRUE(link.GetFields().empty()) << inTeardown;
        link.SetDataSource(nullptr);
    }
}

TEST(DataLinks, MasterLinkDropsFieldsFreedWhileControlsAreDisabled) {
    TMasterDetail tables("MASTER");
    auto& master = tables.Master;
    TDetailTable& detail = tables.Detail;
    master->DisableControls();
    master->Close(); // frees the default fields; the link is not told of the state change
    master->Open();
    EXPECT_TRUE(detail.Link().GetActive());
    EXPECT_TRUE(detail.Link().GetFields().empty()) << "no freed field is kept";
    master->EnableControls(); // the layout change rebuilds the list from the new fields
    ASSERT_EQ(detail.Link().GetFields().size(), 1u);
    EXPECT_EQ(detail.Link().GetFields()[0], master->FieldByName("MASTER"));
    detail.Link().SetDataSource(nullptr);
}

} // namespace
