// The dataset protocol, written against a dataset factory so that any dataset of the system can
// run the same suite: a factory makes a closed dataset whose structure is
//   ID integer (required), NAME string(20), AMOUNT float, BORN date
// and that is empty when first opened. Instantiate it with
// INSTANTIATE_TYPED_TEST_SUITE_P(Name, DataSetProtocol, ::testing::Types<Factory...>).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/db/DataLinks.h"
#include "host/db/DataSet.h"

namespace zan {

template <typename Factory>
class DataSetProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        // A factory whose datasets keep their rows in key order (not where a row was inserted)
        // names the tests that rely on positional inserts; they are skipped for it.
        if constexpr (requires { Factory::KeyOrdered; }) {
            const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
            if (name == "NavigationWithAWindowOfFiveBuffers" ||
                name == "InsertAppendEditPostCancelDeleteEventOrder")
                GTEST_SKIP() << "rows are kept in key order, not at the insert position";
        }
        ds = Factory::Create();
    }

    // Opens the dataset and appends rows with ID 1..count and NAME "N<id>".
    void OpenWith(int count) {
        ds->Open();
        for (int i = 1; i <= count; ++i) {
            ds->Append();
            ds->FieldByName("ID")->SetAsInteger(i);
            ds->FieldByName("NAME")->SetAsString("N" + std::to_string(i));
            ds->Post();
        }
        ds->First();
    }
    int Id() { return ds->FieldByName("ID")->GetAsInteger(); }
    // Records every event handler call in log.
    void LogEvents() {
        auto hook = [this](TDataSetNotifyEvent& event, const char* name) {
            event = [this, name](TDataSet*) { log.emplace_back(name); };
        };
        hook(ds->BeforeInsert, "BeforeInsert");
        hook(ds->AfterInsert, "AfterInsert");
        hook(ds->BeforeEdit, "BeforeEdit");
        hook(ds->AfterEdit, "AfterEdit");
        hook(ds->BeforePost, "BeforePost");
        hook(ds->AfterPost, "AfterPost");
        hook(ds->BeforeCancel, "BeforeCancel");
        hook(ds->AfterCancel, "AfterCancel");
        hook(ds->BeforeDelete, "BeforeDelete");
        hook(ds->AfterDelete, "AfterDelete");
        hook(ds->BeforeScroll, "BeforeScroll");
        hook(ds->AfterScroll, "AfterScroll");
        hook(ds->OnNewRecord, "OnNewRecord");
    }
    // The IDs of the whole dataset, walked from the first record.
    std::vector<int> Ids() {
        std::vector<int> ids;
        for (ds->First(); !ds->GetEOF(); ds->Next())
            ids.push_back(Id());
        return ids;
    }
    std::unique_ptr<TDataSet> ds;
    std::vector<std::string> log;
};

TYPED_TEST_SUITE_P(DataSetProtocol);

// A data source whose link asks for a window of several buffers.
class TWindowLink : public TDataLink {};

TYPED_TEST_P(DataSetProtocol, OpenCreatesDefaultFieldsAndCloseFreesThem) {
    auto& ds = this->ds;
    std::vector<std::string> events;
    ds->BeforeOpen = [&](TDataSet*) { events.emplace_back("BeforeOpen"); };
    ds->AfterOpen = [&](TDataSet* d) {
        events.emplace_back(d->GetState() == dsBrowse ? "AfterOpen(browse)" : "AfterOpen");
    };
    ds->BeforeClose = [&](TDataSet*) { events.emplace_back("BeforeClose"); };
    ds->AfterClose = [&](TDataSet*) { events.emplace_back("AfterClose"); };
    ds->Open();
    EXPECT_TRUE(ds->GetActive());
    EXPECT_TRUE(ds->GetDefaultFields());
    ASSERT_EQ(ds->GetFieldCount(), 4);
    EXPECT_STREQ(ds->FieldByName("id")->ClassName(), "TIntegerField");
    EXPECT_STREQ(ds->FieldByName("NAME")->ClassName(), "TStringField");
    EXPECT_EQ(ds->FieldByName("NAME")->GetSize(), 20);
    EXPECT_STREQ(ds->FieldByName("BORN")->ClassName(), "TDateField");
    EXPECT_TRUE(ds->FieldByName("ID")->GetRequired());
    EXPECT_EQ(ds->FieldByName("AMOUNT")->GetFieldNo(), 3);
    EXPECT_TRUE(ds->GetBOF());
    EXPECT_TRUE(ds->GetEOF());
    EXPECT_TRUE(ds->IsEmpty());
    EXPECT_EQ(ds->FindField("MISSING"), nullptr);
    try {
        ds->FieldByName("MISSING");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Field 'MISSING' not found");
    }
    ds->Close();
    EXPECT_EQ(ds->GetState(), dsInactive);
    EXPECT_EQ(ds->GetFieldCount(), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen", "AfterOpen(browse)", "BeforeClose",
                                                "AfterClose"}));
    ds->Open();
    EXPECT_EQ(ds->GetFieldCount(), 4);
}

TYPED_TEST_P(DataSetProtocol, AbortInBeforeOpenLeavesItClosed) {
    auto& ds = this->ds;
    ds->BeforeOpen = [](TDataSet*) { Abort(); };
    EXPECT_THROW(ds->Open(), EAbort);
    EXPECT_FALSE(ds->GetActive());
    EXPECT_EQ(ds->GetFieldCount(), 0);
}

TYPED_TEST_P(DataSetProtocol, PersistentFieldsBindByNameAndTypeMismatchIsRefused) {
    auto& ds = this->ds;
    TComponent form;
    auto* name = new TStringField(&form);
    name->SetFieldName("NAME");
    name->SetSize(20);
    name->SetDataSet(ds.get());
    auto* twice = new TIntegerField(&form);
    twice->SetFieldName("TWICE");
    twice->SetFieldKind(fkCalculated);
    twice->SetDataSet(ds.get());
    ds->OnCalcFields = [&](TDataSet* d) {
        if (!d->FieldByName("NAME")->IsNull())
            twice->SetAsInteger(static_cast<int32_t>(d->FieldByName("NAME")->GetAsString().size()) *
                                2);
    };
    ds->Open();
    EXPECT_FALSE(ds->GetDefaultFields());
    EXPECT_EQ(ds->GetFieldCount(), 2);
    EXPECT_EQ(name->GetFieldNo(), 2);
    EXPECT_EQ(twice->GetFieldNo(), -1);
    EXPECT_EQ(ds->GetCalcFieldsSize(), twice->GetDataSize() + 1);
    ds->Append();
    name->SetAsString("abc");
    EXPECT_EQ(twice->GetAsInteger(), 6) << "a data-field change recomputes calculated fields";
    ds->Post();
    EXPECT_EQ(twice->GetAsInteger(), 6) << "calculated on fetch";
    EXPECT_THROW(twice->SetAsInteger(1), EDatabaseError) << "not editing";
    ds->Close();
    EXPECT_EQ(ds->GetFieldCount(), 2) << "persistent fields outlive the open";

    auto* wrong = new TIntegerField(&form);
    wrong->SetFieldName("AMOUNT");
    wrong->SetDataSet(ds.get());
    try {
        ds->Open();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Type mismatch for field 'AMOUNT', expecting: ftInteger actual: "
                               "ftFloat");
    }
    EXPECT_FALSE(ds->GetActive());
    delete wrong;
    auto* missing = new TIntegerField(&form);
    missing->SetFieldName("NOPE");
    missing->SetDataSet(ds.get());
    EXPECT_THROW(ds->Open(), EDatabaseError);
    EXPECT_FALSE(ds->GetActive());
    delete missing;
    auto* duplicate = new TIntegerField(&form);
    duplicate->SetFieldName("name");
    EXPECT_THROW(duplicate->SetDataSet(ds.get()), EDatabaseError);
    ds->Open();
    EXPECT_TRUE(ds->GetActive());
    ds->Close();
    ds.reset(); // the fields survive their dataset
    EXPECT_EQ(name->GetDataSet(), nullptr);
}

TYPED_TEST_P(DataSetProtocol, NavigationWithOneBuffer) {
    auto& ds = this->ds;
    this->OpenWith(5);
    EXPECT_EQ(this->Id(), 1);
    EXPECT_TRUE(ds->GetBOF());
    ds->Prior();
    EXPECT_TRUE(ds->GetBOF());
    EXPECT_EQ(this->Id(), 1);
    ds->Next();
    EXPECT_FALSE(ds->GetBOF());
    EXPECT_EQ(this->Id(), 2);
    EXPECT_EQ(ds->MoveBy(2), 2);
    EXPECT_EQ(this->Id(), 4);
    EXPECT_EQ(ds->MoveBy(5), 1);
    EXPECT_TRUE(ds->GetEOF());
    EXPECT_EQ(this->Id(), 5);
    ds->Last();
    EXPECT_TRUE(ds->GetEOF());
    EXPECT_EQ(this->Id(), 5);
    EXPECT_EQ(ds->MoveBy(-3), -3);
    EXPECT_EQ(this->Id(), 2);
    EXPECT_EQ(ds->MoveBy(-3), -1);
    EXPECT_TRUE(ds->GetBOF());
    EXPECT_EQ(this->Ids(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TYPED_TEST_P(DataSetProtocol, NavigationWithAWindowOfFiveBuffers) {
    auto& ds = this->ds;
    this->OpenWith(8);
    TDataSource source;
    TWindowLink link;
    link.SetDataSource(&source);
    link.SetBufferCount(5);
    source.SetDataSet(ds.get());
    EXPECT_EQ(link.GetRecordCount(), 5);
    EXPECT_EQ(this->Id(), 1);
    std::vector<int> forward, backward;
    for (ds->First(); !ds->GetEOF(); ds->Next())
        forward.push_back(this->Id());
    for (ds->Last(); !ds->GetBOF(); ds->Prior())
        backward.push_back(this->Id());
    EXPECT_EQ(forward, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(backward, (std::vector<int>{8, 7, 6, 5, 4, 3, 2, 1}));
    ds->First();
    EXPECT_EQ(ds->MoveBy(6), 6);
    EXPECT_EQ(this->Id(), 7);
    EXPECT_EQ(ds->MoveBy(-5), -5);
    EXPECT_EQ(this->Id(), 2);
    // Editing in the middle of a full window keeps the neighbours in order.
    ds->MoveBy(2);
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("changed");
    ds->Post();
    EXPECT_EQ(this->Id(), 4);
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "changed");
    ds->Insert();
    ds->FieldByName("ID")->SetAsInteger(40);
    ds->Post();
    EXPECT_EQ(this->Id(), 40);
    ds->Next();
    EXPECT_EQ(this->Id(), 4);
    EXPECT_EQ(this->Ids(), (std::vector<int>{1, 2, 3, 40, 4, 5, 6, 7, 8}));
    link.SetDataSource(nullptr);
    EXPECT_EQ(this->Id(), 8);
    ds->Prior();
    EXPECT_EQ(this->Id(), 7) << "the window shrank back to one buffer and still navigates";
}

TYPED_TEST_P(DataSetProtocol, InsertAppendEditPostCancelDeleteEventOrder) {
    auto& ds = this->ds;
    this->OpenWith(3);
    this->LogEvents();
    ds->Next();
    ds->Insert();
    EXPECT_EQ(ds->GetState(), dsInsert);
    EXPECT_TRUE(ds->FieldByName("ID")->IsNull());
    ds->FieldByName("ID")->SetAsInteger(10);
    EXPECT_TRUE(ds->GetModified());
    ds->Post();
    EXPECT_EQ(ds->GetState(), dsBrowse);
    EXPECT_FALSE(ds->GetModified());
    EXPECT_EQ(this->Id(), 10);
    EXPECT_EQ(this->log, (std::vector<std::string>{"BeforeScroll", "AfterScroll", "BeforeInsert",
                                                   "BeforeScroll", "OnNewRecord", "AfterInsert",
                                                   "AfterScroll", "BeforePost", "AfterPost"}));
    this->log.clear();
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("ten");
    ds->Cancel();
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "");
    EXPECT_EQ(this->log,
              (std::vector<std::string>{"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel"}));
    this->log.clear();
    ds->Append();
    ds->Cancel();
    EXPECT_EQ(this->log, (std::vector<std::string>{"BeforeInsert", "BeforeScroll", "OnNewRecord",
                                                   "AfterInsert", "AfterScroll", "BeforeCancel",
                                                   "BeforeScroll", "AfterCancel", "AfterScroll"}));
    this->log.clear();
    ds->Delete();
    EXPECT_EQ(this->log, (std::vector<std::string>{"BeforeDelete", "BeforeScroll", "AfterDelete",
                                                   "AfterScroll"}));
    EXPECT_EQ(this->Ids(), (std::vector<int>{1, 10, 2})) << "cancelled append rests on the last";
    ds->Edit();
    ds->Post(); // not modified: still posts
    ds->Last();
    ds->Edit();
    ds->CheckBrowseMode(); // not modified: cancels
    EXPECT_EQ(ds->GetState(), dsBrowse);
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("kept");
    ds->First(); // scrolling posts a modified record
    ds->Last();
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "kept");
}

TYPED_TEST_P(DataSetProtocol, EditOfAnEmptyDatasetInsertsAndDeleteOfEmptyIsRefused) {
    auto& ds = this->ds;
    ds->Open();
    ds->Edit();
    EXPECT_EQ(ds->GetState(), dsInsert);
    ds->Cancel();
    try {
        ds->Delete();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Cannot perform this operation on an empty dataset");
    }
    try {
        ds->Post();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Dataset not in edit or insert mode");
    }
}

TYPED_TEST_P(DataSetProtocol, BeforeHandlersThatThrowLeaveThePreviousState) {
    auto& ds = this->ds;
    this->OpenWith(3);
    ds->Next();
    ds->BeforeInsert = [](TDataSet*) { Abort(); };
    EXPECT_THROW(ds->Insert(), EAbort);
    EXPECT_EQ(ds->GetState(), dsBrowse);
    EXPECT_EQ(this->Id(), 2);
    ds->BeforeEdit = [](TDataSet*) { throw Exception("no"); };
    EXPECT_THROW(ds->Edit(), Exception);
    EXPECT_EQ(ds->GetState(), dsBrowse);
    ds->BeforeEdit = nullptr;
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("x");
    ds->BeforePost = [](TDataSet*) { Abort(); };
    EXPECT_THROW(ds->Post(), EAbort);
    EXPECT_EQ(ds->GetState(), dsEdit);
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "x");
    ds->BeforePost = nullptr;
    ds->BeforeDelete = [](TDataSet*) { Abort(); };
    ds->Cancel();
    EXPECT_THROW(ds->Delete(), EAbort);
    EXPECT_EQ(this->Ids(), (std::vector<int>{1, 2, 3}));
    ds->First();
    ds->BeforeScroll = [](TDataSet*) { Abort(); };
    EXPECT_THROW(ds->Next(), EAbort);
    EXPECT_EQ(this->Id(), 1);
}

TYPED_TEST_P(DataSetProtocol, ANewRecordHandlerThatThrowsReturnsToTheRecord) {
    auto& ds = this->ds;
    this->OpenWith(3);
    ds->Next();
    ds->OnNewRecord = [](TDataSet*) { throw Exception("bad default"); };
    EXPECT_THROW(ds->Insert(), Exception);
    EXPECT_EQ(ds->GetState(), dsBrowse);
    EXPECT_EQ(this->Id(), 2);
    EXPECT_EQ(this->Ids(), (std::vector<int>{1, 2, 3}));
}

TYPED_TEST_P(DataSetProtocol, RequiredAndReadOnlyFields) {
    auto& ds = this->ds;
    ds->Open();
    ds->Append();
    ds->FieldByName("NAME")->SetAsString("no id");
    try {
        ds->Post();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Field 'ID' must have a value");
    }
    EXPECT_EQ(ds->GetState(), dsInsert);
    ds->FieldByName("ID")->SetAsInteger(1);
    ds->Post();
    ds->FieldByName("NAME")->SetReadOnly(true);
    ds->Edit();
    try {
        ds->FieldByName("NAME")->SetAsString("blocked");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Field 'NAME' cannot be modified");
    }
    ds->FieldByName("ID")->SetReadOnly(true);
    EXPECT_THROW(ds->FieldByName("ID")->Clear(), EDatabaseError);
    ds->Cancel();
    EXPECT_EQ(ds->FieldByName("ID")->GetAsInteger(), 1);
}

TYPED_TEST_P(DataSetProtocol, PostErrorHandlerCanAbortOrRetry) {
    auto& ds = this->ds;
    this->OpenWith(1);
    ds->Edit();
    ds->FieldByName("ID")->Clear();
    int calls = 0;
    ds->OnPostError = [&](TDataSet* d, EDatabaseError&, TDataAction& action) {
        if (++calls == 1) {
            d->FieldByName("ID")->SetAsInteger(7);
            action = daRetry;
        }
    };
    ds->Post();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(this->Id(), 7);
    ds->Edit();
    ds->FieldByName("ID")->Clear();
    ds->OnPostError = [](TDataSet*, EDatabaseError&, TDataAction& action) { action = daAbort; };
    EXPECT_THROW(ds->Post(), EAbort);
    EXPECT_EQ(ds->GetState(), dsEdit);
    ds->Cancel();
}

TYPED_TEST_P(DataSetProtocol, BookmarksGetGotoCompareAndGoStale) {
    auto& ds = this->ds;
    this->OpenWith(5);
    ds->MoveBy(3);
    TBookmark fourth = ds->GetBookmark();
    ASSERT_TRUE(fourth.Assigned());
    EXPECT_TRUE(ds->BookmarkValid(fourth));
    ds->First();
    TBookmark first = ds->GetBookmark();
    EXPECT_EQ(ds->CompareBookmarks(first, first), 0);
    EXPECT_NE(ds->CompareBookmarks(first, fourth), 0);
    EXPECT_EQ(ds->CompareBookmarks(first, TBookmark()), 1);
    EXPECT_EQ(ds->CompareBookmarks(TBookmark(), first), 1);
    EXPECT_EQ(ds->CompareBookmarks(TBookmark(), TBookmark()), 0);
    ds->GotoBookmark(fourth);
    EXPECT_EQ(this->Id(), 4);
    ds->Insert();
    EXPECT_FALSE(ds->GetBookmark().Assigned()) << "a record being inserted has no bookmark";
    ds->Cancel();
    ds->Delete();
    EXPECT_FALSE(ds->BookmarkValid(fourth));
    EXPECT_THROW(ds->GotoBookmark(fourth), EDatabaseError);
    EXPECT_EQ(ds->GetState(), dsBrowse);
    ds->FreeBookmark(fourth);
    EXPECT_FALSE(fourth.Assigned());
}

TYPED_TEST_P(DataSetProtocol, LocateAndLookup) {
    auto& ds = this->ds;
    this->OpenWith(5);
    EXPECT_TRUE(ds->Locate("NAME", Variant("n3"), {loCaseInsensitive}));
    EXPECT_EQ(this->Id(), 3);
    EXPECT_FALSE(ds->Locate("NAME", Variant("n4"), {}));
    EXPECT_EQ(this->Id(), 3) << "a failed locate stays put";
    EXPECT_TRUE(ds->Locate("ID;NAME", VarArrayOf({Variant(5), Variant("N5")}), {}));
    EXPECT_EQ(this->Id(), 5);
    EXPECT_TRUE(ds->Locate("AMOUNT", Null(), {}));
    ds->Locate("ID", Variant(2), {});
    Variant name = ds->Lookup("ID", Variant(4), "NAME");
    EXPECT_EQ(name.AsString(), "N4");
    EXPECT_EQ(this->Id(), 2) << "lookup does not move";
    EXPECT_TRUE(VarIsNull(ds->Lookup("ID", Variant(99), "NAME")));
    Variant both = ds->Lookup("ID", Variant(1), "ID;NAME");
    ASSERT_TRUE(VarIsArray(both));
    EXPECT_EQ(both.Elements()[1].AsString(), "N1");
    EXPECT_THROW(ds->Locate("NOPE", Variant(1), {}), EDatabaseError);
}

TYPED_TEST_P(DataSetProtocol, DisableControlsHoldsEventsAndSendsOneChangeAtTheEnd) {
    auto& ds = this->ds;
    this->OpenWith(3);
    TDataSource source;
    source.SetDataSet(ds.get());
    int changes = 0;
    source.OnDataChange = [&](TObject*, TField*) { ++changes; };
    ds->DisableControls();
    ds->DisableControls();
    EXPECT_TRUE(ds->ControlsDisabled());
    ds->Next();
    ds->Last();
    ds->EnableControls();
    EXPECT_EQ(changes, 0);
    ds->EnableControls();
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(ds->ControlsDisabled());
    ds->Next();
    EXPECT_EQ(changes, 1) << "nothing attempted at EOF";
    ds->Prior();
    EXPECT_EQ(changes, 2);
}

TYPED_TEST_P(DataSetProtocol, FieldValuesAndInsertRecord) {
    auto& ds = this->ds;
    ds->Open();
    ds->InsertRecord({Variant(1), Variant("one"), Variant(1.5)});
    ds->AppendRecord({Variant(2), Variant("two")});
    ds->First();
    Variant values = ds->GetFieldValues("ID;NAME;AMOUNT");
    ASSERT_TRUE(VarIsArray(values));
    EXPECT_EQ(values.Elements()[0].AsInteger(), 1);
    EXPECT_EQ(values.Elements()[1].AsString(), "one");
    EXPECT_DOUBLE_EQ(values.Elements()[2].AsDouble(), 1.5);
    ds->Next();
    EXPECT_TRUE(VarIsNull(ds->GetFieldValues("AMOUNT")));
    ds->Edit();
    ds->SetFieldValues("NAME;AMOUNT", VarArrayOf({Variant("deux"), Variant(2.0)}));
    ds->Post();
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "deux");
    ds->Edit();
    EXPECT_THROW(ds->SetFieldValues("NAME;AMOUNT", VarArrayOf({Variant("trois")})),
                 EVariantError);
    EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "deux") << "nothing written";
    ds->Cancel();
    EXPECT_THROW(ds->InsertRecord({Variant("x")}), Exception);
    EXPECT_EQ(ds->GetState(), dsBrowse);
    EXPECT_EQ(this->Ids(), (std::vector<int>{1, 2}));
}

REGISTER_TYPED_TEST_SUITE_P(DataSetProtocol, OpenCreatesDefaultFieldsAndCloseFreesThem,
                            AbortInBeforeOpenLeavesItClosed,
                            PersistentFieldsBindByNameAndTypeMismatchIsRefused,
                            NavigationWithOneBuffer,
                            NavigationWithAWindowOfFiveBuffers,
                            InsertAppendEditPostCancelDeleteEventOrder,
                            EditOfAnEmptyDatasetInsertsAndDeleteOfEmptyIsRefused,
                            BeforeHandlersThatThrowLeaveThePreviousState,
                            ANewRecordHandlerThatThrowsReturnsToTheRecord,
                            RequiredAndReadOnlyFields,
                            PostErrorHandlerCanAbortOrRetry,
                            BookmarksGetGotoCompareAndGoStale,
                            LocateAndLookup,
                            DisableControlsHoldsEventsAndSendsOneChangeAtTheEnd,
                            FieldValuesAndInsertRecord);

} // namespace zan
