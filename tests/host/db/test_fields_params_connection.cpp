// Field classes and their native data, parameters, connections.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "host/db/Connection.h"
#include "host/db/Params.h"
#include "host/db/mem_dataset.h"

using namespace zan;

namespace {

class FieldsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TFieldDefs& defs = ds.GetFieldDefs();
        defs.Add("S", ftString, 5);
        defs.Add("SI", ftSmallint);
        defs.Add("W", ftWord);
        defs.Add("B", ftBoolean);
        defs.Add("F", ftFloat);
        defs.Add("C", ftCurrency);
        defs.Add("D", ftDate);
        defs.Add("T", ftTime);
        defs.Add("DT", ftDateTime);
        defs.Add("BY", ftBytes, 4);
        defs.Add("AI", ftAutoInc, 0, true);
        ds.Open();
        ds.Append();
    }
    TField* F(const char* name) { return ds.FieldByName(name); }
    TMemDataSet ds;
};

TEST_F(FieldsTest, StringsTruncateAtACharacterBoundary) {
    F("S")->SetAsString("abcdefg");
    EXPECT_EQ(F("S")->GetAsString(), "abcde");
    F("S")->SetAsString("ab\xC3\xA9\xC3\xA9"); // "abéé": 6 bytes
    EXPECT_EQ(F("S")->GetAsString(), "ab\xC3\xA9");
    F("S")->SetAsString("");
    EXPECT_FALSE(F("S")->IsNull());
    F("S")->SetAsString("12");
    EXPECT_EQ(F("S")->GetAsInteger(), 12);
    F("S")->SetAsString("x1");
    EXPECT_THROW(F("S")->GetAsInteger(), EConvertError);
}

TEST_F(FieldsTest, IntegersCheckTheirRange) {
    F("SI")->SetAsInteger(-32768);
    EXPECT_EQ(F("SI")->GetAsInteger(), -32768);
    EXPECT_EQ(VarType(F("SI")->GetAsVariant()), varSmallint);
    try {
        F("SI")->SetAsInteger(40000);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(
            e.Message(),
            "40000 is not a valid value for field 'SI'. The allowed range is -32768 to 32767");
    }
    EXPECT_THROW(F("W")->SetAsInteger(-1), EDatabaseError);
    F("W")->SetAsString(" 65535 ");
    EXPECT_EQ(F("W")->GetAsInteger(), 65535);
    F("W")->SetAsFloat(2.5);
    EXPECT_EQ(F("W")->GetAsInteger(), 2) << "ties round to even";
    try {
        F("W")->SetAsString("ten");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "'ten' is not a valid value for field 'W'");
    }
    F("W")->SetAsString("");
    EXPECT_TRUE(F("W")->IsNull());
}

TEST_F(FieldsTest, BooleansStoreOneForTrueOnEveryPath) {
    auto stored = [&] {
        uint8_t data = 0xAA;
        F("B")->GetData(&data);
        return data;
    };
    F("B")->SetAsBoolean(true);
    EXPECT_EQ(stored(), 1);
    F("B")->SetAsVariant(Variant(true));
    EXPECT_EQ(stored(), 1);
    F("B")->SetAsInteger(-1);
    EXPECT_EQ(stored(), 1);
    F("B")->SetAsString("yes");
    EXPECT_EQ(stored(), 1);
    EXPECT_EQ(F("B")->GetAsString(), "True");
    F("B")->SetAsString("F");
    EXPECT_EQ(stored(), 0);
    uint8_t odd = 0xFF;
    F("B")->SetData(&odd);
    EXPECT_TRUE(F("B")->GetAsBoolean()) << "any non-zero byte reads as True";
    EXPECT_THROW(F("B")->SetAsString("maybe"), EDatabaseError);
}

TEST_F(FieldsTest, DatesAndTimesNormaliseAndTheirTextReadsBack) {
    TDateTime moment = EncodeDateTime(2024, 2, 29, 13, 5, 9, 250) + 0.4 / MSecsPerDay;
    F("D")->SetAsDateTime(moment);
    F("T")->SetAsDateTime(moment);
    F("DT")->SetAsDateTime(moment);
    EXPECT_EQ(F("D")->GetAsDateTime(), EncodeDate(2024, 2, 29));
    EXPECT_EQ(F("T")->GetAsDateTime(), EncodeTime(13, 5, 9, 250));
    EXPECT_EQ(F("DT")->GetAsDateTime(), EncodeDateTime(2024, 2, 29, 13, 5, 9, 250));
    EXPECT_EQ(F("D")->GetAsString(), "2024-02-29");
    EXPECT_EQ(F("T")->GetAsString(), "13:05:09.250");
    for (const char* name : {"D", "T", "DT"}) {
        TDateTime before = F(name)->GetAsDateTime();
        F(name)->SetAsString(F(name)->GetAsString());
        EXPECT_EQ(F(name)->GetAsDateTime(), before) << name;
    }
    F("DT")->SetAsDateTime(EncodeDate(2000, 1, 1));
    F("DT")->SetAsString(F("DT")->GetAsString());
    EXPECT_EQ(F("DT")->GetAsDateTime(), EncodeDate(2000, 1, 1)) << "midnight text is a date only";
    EXPECT_EQ(VarType(F("DT")->GetAsVariant()), varDate);
    EXPECT_THROW(F("D")->SetAsFloat(1e300), EDatabaseError);
    EXPECT_THROW(F("D")->SetAsString("2024-13-01"), EDatabaseError);
}

TEST_F(FieldsTest, DateTimeRangeIsTheCalendarsAfterRounding) {
    // field, value, text shown ("" when refused)
    const std::tuple<const char*, TDateTime, const char*> cases[] = {
        {"DT", EncodeDateTime(1, 1, 1, 12, 0, 0, 0), "0001-01-01 12:00:00"},
        {"DT", EncodeDate(9999, 12, 31) + 1.5, ""},          // 10000-01-01 12:00
        {"DT", EncodeDate(9999, 12, 31) + 0.9999999999, ""}, // rounds to 10000-01-01
        {"DT", -1.9999999999, "1899-12-30"},                 // rounds to the next day
        {"D", EncodeDate(9999, 12, 31) + 1, ""},
        {"T", EncodeDate(1, 1, 1) - 0.75, "18:00:00"},
    };
    for (auto [field, value, text] : cases) {
        if (*text == 0) {
            EXPECT_THROW(F(field)->SetAsDateTime(value), EDatabaseError) << field << value;
            continue;
        }
        F(field)->SetAsDateTime(value);
        EXPECT_EQ(F(field)->GetAsString(), text) << field << value;
    }
}

TEST_F(FieldsTest, VariantsNullsAssignAndAccessErrors) {
    F("F")->SetAsVariant(Variant(2.5));
    EXPECT_EQ(F("F")->GetAsString(), "2.5");
    F("F")->SetAsVariant(Null());
    EXPECT_TRUE(F("F")->IsNull());
    EXPECT_TRUE(VarIsNull(F("F")->GetAsVariant()));
    F("C")->SetAsCurrency(Currency::FromScaled(12345));
    EXPECT_EQ(VarType(F("C")->GetAsVariant()), varCurrency);
    F("F")->Assign(*F("C"));
    EXPECT_DOUBLE_EQ(F("F")->GetAsFloat(), 1.2345);
    F("F")->Assign(*F("SI")); // SI is NULL
    EXPECT_TRUE(F("F")->IsNull());
    F("BY")->SetAsString(std::string("\x01\x02", 2));
    EXPECT_EQ(F("BY")->GetAsString(), std::string("\x01\x02\0\0", 4));
    try {
        F("BY")->GetAsInteger();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Cannot access field 'BY' as type Integer");
    }
    EXPECT_THROW(F("F")->SetAsFloat(std::numeric_limits<double>::infinity()), EDatabaseError);
}

TEST_F(FieldsTest, ValidateSeesTheNewValueAndChangeFollowsTheWrite) {
    std::vector<std::string> seen;
    F("S")->OnValidate = [&](TField* f) {
        seen.push_back("validate " + f->GetAsString());
        if (f->GetAsString() == "bad") throw EDatabaseError("refused");
    };
    F("S")->OnChange = [&](TField* f) { seen.push_back("change " + f->GetAsString()); };
    F("S")->SetAsString("ok");
    EXPECT_THROW(F("S")->SetAsString("bad"), EDatabaseError);
    EXPECT_EQ(F("S")->GetAsString(), "ok");
    EXPECT_EQ(seen, (std::vector<std::string>{"validate ok", "change ok", "validate bad"}));
}

TEST_F(FieldsTest, AutoIncMayStayEmptyAndIsNumberedOnPost) {
    ds.Post();
    EXPECT_EQ(F("AI")->GetAsInteger(), 1);
    ds.Append();
    ds.Post();
    EXPECT_EQ(F("AI")->GetAsInteger(), 2);
    ds.Close();
    ds.GetFieldDefs().Add("X", ftVarBytes);
    // The structure is fixed at first open; a bare definition list with an unknown type is refused.
    TFieldDefs defs;
    TFieldDef& def = defs.Add("X", ftVarBytes);
    try {
        def.CreateField(nullptr);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Field 'X' is of an unknown type");
    }
}

TEST(FieldDefsOfADataSet, ChangesAreReportedAndUpdateRereads) {
    class TCountingDataSet : public TMemDataSet {
    public:
        void DefChanged(TObject*) override { ++Changes; }
        int Changes = 0;
    } ds;
    ds.GetFieldDefs().Add("A", ftInteger);
    ds.GetFieldDefs()[0].SetSize(0);
    EXPECT_EQ(ds.Changes, 2);
    ds.Open();
    EXPECT_EQ(ds.Changes, 2) << "reading the structure is no change";
    EXPECT_TRUE(ds.GetFieldDefs().GetUpdated());
    ds.DataEvent(dePropertyChange);
    EXPECT_FALSE(ds.GetFieldDefs().GetUpdated());
    ds.GetFieldDefs().Update();
    EXPECT_TRUE(ds.GetFieldDefs().GetUpdated());
    EXPECT_EQ(ds.GetFieldDefs().Count(), 1);
}

TEST(Params, TypesAreInferredFromValues) {
    TParams params;
    TParam* p = params.CreateParam(ftUnknown, "P1", ptInput);
    EXPECT_FALSE(p->GetBound());
    p->SetValue(Variant(int16_t(3)));
    EXPECT_EQ(p->GetDataType(), ftSmallint);
    EXPECT_TRUE(p->GetBound());
    struct Case {
        Variant value;
        TFieldType type;
    } cases[] = {{Variant(70000), ftInteger},
                 {Variant(int64_t(1) << 40), ftLargeint},
                 {Variant(1.5), ftFloat},
                 {Variant(Currency()), ftCurrency},
                 {VarFromDateTime(2.0), ftDateTime},
                 {Variant(true), ftBoolean},
                 {Variant("s"), ftString}};
    for (const Case& c : cases) {
        TParam* q = params.CreateParam(ftUnknown, "Q", ptInput);
        q->SetValue(c.value);
        EXPECT_EQ(q->GetDataType(), c.type) << VarTypeAsText(c.value.Type());
    }
    TParam* n = params.CreateParam(ftUnknown, "N", ptInput);
    n->SetValue(Null());
    EXPECT_EQ(n->GetDataType(), ftUnknown);
    EXPECT_TRUE(n->GetBound());
    EXPECT_TRUE(n->IsNull());
    n->SetValue(Variant());
    EXPECT_FALSE(n->GetBound());
    p->SetAsString("x");
    EXPECT_EQ(p->GetDataType(), ftString) << "typed setters set the type";
    EXPECT_EQ(params.ParamByName("p1"), p);
    EXPECT_EQ(params.FindParam("none"), nullptr);
    try {
        params.ParamByName("none");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Parameter 'none' not found");
    }
    TParams copy;
    copy.Assign(params);
    EXPECT_EQ(copy.Count(), params.Count());
    EXPECT_EQ(copy.ParamByName("P1")->GetAsString(), "x");
}

TEST(Params, AssignFieldTakesTypeAndValue) {
    TMemDataSet ds;
    ds.GetFieldDefs().Add("ID", ftAutoInc);
    ds.GetFieldDefs().Add("M", ftInteger);
    ds.Open();
    ds.Append();
    ds.FieldByName("M")->SetAsInteger(4);
    ds.Post();
    TParams params;
    TParam* p = params.Add();
    p->AssignField(*ds.FieldByName("ID"));
    EXPECT_EQ(p->GetDataType(), ftInteger) << "autoinc goes as integer";
    EXPECT_EQ(p->GetName(), "ID");
    EXPECT_EQ(p->GetAsInteger(), 1);
    EXPECT_TRUE(p->GetBound());
}

class TTestConnection : public TCustomConnection {
public:
    using TCustomConnection::TCustomConnection;
    bool GetConnected() override { return FUp; }
    bool FailConnect = false;
    std::vector<std::string>* Log = nullptr;

protected:
    void DoConnect() override {
        Log->emplace_back("DoConnect");
        if (FailConnect) throw EDatabaseError("cannot connect");
        FUp = true;
    }
    void DoDisconnect() override {
        Log->emplace_back("DoDisconnect");
        FUp = false;
    }

private:
    bool FUp = false;
};

TEST(Connection, EventsAndClientsInOrder) {
    std::vector<std::string> log;
    TTestConnection db;
    db.Log = &log;
    db.BeforeConnect = [&](TObject*) { log.emplace_back("BeforeConnect"); };
    db.AfterConnect = [&](TObject*) { log.emplace_back("AfterConnect"); };
    db.BeforeDisconnect = [&](TObject*) { log.emplace_back("BeforeDisconnect"); };
    db.AfterDisconnect = [&](TObject*) { log.emplace_back("AfterDisconnect"); };
    auto* table = new TMemDataSet;
    TObject plain;
    db.RegisterClient(table,
                      [&](TObject*, bool up) { log.push_back(up ? "table up" : "table down"); });
    db.RegisterClient(&plain);
    EXPECT_EQ(db.GetDataSetCount(), 1);
    EXPECT_EQ(db.GetDataSet(0), table);
    db.Open();
    db.Open();
    db.Close();
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeConnect", "DoConnect", "table up",
                                             "AfterConnect", "BeforeDisconnect", "table down",
                                             "DoDisconnect", "AfterDisconnect"}));
    log.clear();
    db.FailConnect = true;
    EXPECT_THROW(db.Open(), EDatabaseError);
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeConnect", "DoConnect"}));
    EXPECT_FALSE(db.GetConnected());
    delete table;
    EXPECT_EQ(db.GetDataSetCount(), 0) << "a destroyed client is forgotten";
    db.UnRegisterClient(&plain);

    TTestConnection loading;
    loading.Log = &log;
    loading.SetLoading(true);
    loading.SetConnected(true);
    EXPECT_FALSE(loading.GetConnected());
    loading.Loaded();
    EXPECT_TRUE(loading.GetConnected());
}

// A client as the engine's datasets are: it asks its database for free notification and forgets
// it when told of its removal.
struct TDatabaseClient : TComponent {
    TTestConnection* Database = nullptr;
    int Removals = 0;
    void Notification(TComponent* component, TOperation operation) override {
        TComponent::Notification(component, operation);
        if (operation == opRemove && component == Database) {
            ++Removals;
            Database->UnRegisterClient(this); // the connection is still whole when it tells
            Database = nullptr;
        }
    }
};

TEST(Connection, DestroyedConnectionTellsItsClients) {
    std::vector<std::string> log;
    auto* db = new TTestConnection;
    db->Log = &log;
    TDatabaseClient registered, unregistered; // the second still watches for its own reasons
    for (TDatabaseClient* client : {&registered, &unregistered}) {
        client->Database = db;
        db->RegisterClient(client);
        db->FreeNotification(client);
    }
    db->UnRegisterClient(&unregistered);
    delete db;
    for (TDatabaseClient* client : {&registered, &unregistered}) {
        EXPECT_EQ(client->Database, nullptr);
        EXPECT_EQ(client->Removals, 1);
    }
}

TEST(Connection, BroadcastSkipsClientsFreedOrUnregisteredOnTheWay) {
    std::vector<std::string> log, told;
    TTestConnection db;
    db.Log = &log;
    TComponent a, c;
    auto* b = new TComponent;
    db.RegisterClient(&a, [&](TObject*, bool up) {
        told.push_back(up ? "a up" : "a down");
        if (!up) delete b;
        if (!up) db.UnRegisterClient(&c);
    });
    db.RegisterClient(b, [&](TObject*, bool up) { told.push_back(up ? "b up" : "b down"); });
    db.RegisterClient(&c, [&](TObject*, bool) { told.push_back("c"); });
    db.Open();
    db.Close();
    EXPECT_EQ(told, (std::vector<std::string>{"a up", "b up", "c", "a down"}));
}

} // namespace
