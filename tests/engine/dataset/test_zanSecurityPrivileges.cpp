// Privileges: the SetPrivileges/GetPrivileges round trip, table privileges on open (named over
// ALL, field limits, the first table's id), system tables, the logon loop through a prompt, and
// a secured lifecycle across processes whose files and log carry no secret.
#include <gtest/gtest.h>

#include "security_test_support.h"
#include "support/zanScriptedPrompt.h"

using namespace zan;

namespace {

const std::initializer_list<TObjectPrivilegeType> C_EVERY_OBJECT_PRIVILEGE = {
    opCreateObj, opDeleteObj, opExecuteObj, opAlterObj,
    opInsertData, opDeleteData, opReadData, opUpdateData};

int32_t Bits(std::initializer_list<TObjectPrivilegeType> types) {
    int32_t mask = 0;
    for (TObjectPrivilegeType t : types)
        mask |= MapObjectPrivTypeToConst(t);
    return mask;
}

// A table of n integer fields F1..Fn.
void CreateWideTable(TZanDataBase& db, const std::string& name, int n) {
    TTableDef def;
    def.SetTableName(name);
    for (int i = 1; i <= n; ++i)
        AddTableField(def, "F" + std::to_string(i), ftInteger);
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
    AddTableIndex(def, "ixF1", "F1", true, false);
    db.CreateTable(def, false);
}

void AddRow(TZanDataBase& db, const std::string& table, int id) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(table);
    t.Open();
    t.Append();
    t.FieldByName("Id")->SetAsInteger(id);
    t.FieldByName("Code")->SetAsString("c" + std::to_string(id));
    t.FieldByName("Name")->SetAsString("n" + std::to_string(id));
    t.Post();
}

std::string ObjectPrivilegeText(const TPrivileges& set) {
    std::string text;
    const TObjectPrivileges& list = set.GetObjectPrivileges();
    for (int i = 0; i < list.Count(); ++i)
        text += list.Items(i)->GetObjectName() + ":" +
                std::to_string(MapObjectPrivTypeToConst(list.Items(i)->GetPrivilegeType())) + ":" +
                list.Items(i)->GetFields() + ";";
    return text;
}

// The secured file of the privilege tests: tables First (the first object id), Second, Third;
// group clerks with user clerk, group nobody with user idle.
void CreatePrivilegeFile(const std::string& path) {
    CreateSecuredFile(path);
    auto db = ConnectAs(path, C_ADMIN_USER, "plinth");
    for (const std::string table : {"First", "Second", "Third"}) {
        CreateUserTable(*db, table);
        AddRow(*db, table, 1);
        AddRow(*db, table, 2);
    }
    TSecurityManager& sm = db->GetSecurityManager();
    sm.AddGroup("clerks");
    sm.AddUser("clerk", "pw", "clerks");
    sm.AddGroup("nobody");
    sm.AddUser("idle", "pw", "nobody");
    // Every privilege on the first table, whose object id is the first one handed out.
    Grant(sm, "clerks", "First", C_EVERY_OBJECT_PRIVILEGE);
    Grant(sm, "clerks", "ALL", {opExecuteObj, opReadData, opDeleteData});
    // Named privileges replace those on ALL for this table entirely.
    Grant(sm, "clerks", "Third", {opExecuteObj});
    Grant(sm, "clerks", "Third", {opReadData}, "Id, Name");
    Grant(sm, "clerks", "Third", {opUpdateData}, "Name");
}

} // namespace

TEST(ZanSecurityPrivileges, SetAndGetRoundTrip) {
    TTempFile file("sec_roundtrip.zan");
    CreateSecuredFile(file.Path);
    auto db = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
    CreateWideTable(*db, "Wide", 60);
    TSecurityManager& sm = db->GetSecurityManager();
    sm.AddGroup("gg");
    // 59 of 60 fields: the id list is over 100 characters and goes into FieldsLong.
    std::string most;
    for (int i = 2; i <= 60; ++i)
        most += (most.empty() ? "" : ",") + std::string("F") + std::to_string(i);
    Grant(sm, "gg", "Wide", {opReadData}, most);
    Grant(sm, "gg", "Wide", {opUpdateData}, "F7, f3,F7");
    Grant(sm, "gg", "Wide", {opInsertData}, "ALL");
    std::string every;
    for (int i = 1; i <= 60; ++i)
        every += (every.empty() ? "" : ",") + std::string("F") + std::to_string(i);
    Grant(sm, "gg", "*", {opExecuteObj}, "");
    Grant(sm, "gg", "Wide", {opDeleteData}, every);
    GrantSystem(sm, "gg", {spViewGroups, spViewGroups});
    TPrivileges set;
    set.SetGroupName("GG");
    sm.GetPrivileges(doTable, "", set);
    EXPECT_EQ(ObjectPrivilegeText(set), "ALL:8:ALL;Wide:256:ALL;Wide:1024:ALL;Wide:2048:" + most +
                                            ";Wide:4096:F3,F7;");
    EXPECT_EQ(set.GetSystemPrivileges().Count(), 1);
    const std::string before = ObjectPrivilegeText(set);
    set.SetGroupName("gg");
    sm.GetPrivileges(doTable, "Wide", set);
    EXPECT_EQ(set.GetObjectPrivileges().Count(), 4);
    // The long list is stored in FieldsLong, the short ones in FieldsShort.
    {
        TZanTable rows;
        rows.SetDataBase(db.get());
        rows.SetTableName("$SYSTBL_SECOBJPRIV");
        rows.Open();
        int longRows = 0;
        for (rows.First(); !rows.GetEOF(); rows.Next()) {
            EXPECT_FALSE(rows.FieldByName("GrantOption")->GetAsBoolean());
            if (!rows.FieldByName("FieldsLong")->GetAsString().empty()) {
                ++longRows;
                EXPECT_EQ(rows.FieldByName("FieldsShort")->GetAsString(), "");
                EXPECT_EQ(rows.FieldByName("PrivilegeID")->GetAsInteger(), 2048);
            }
        }
        EXPECT_EQ(longRows, 1);
    }
    // Bad sets change nothing.
    struct {
        std::string Object, Fields;
        TDatabaseObjectType Type;
        std::string Named;
    } const bad[] = {
        {"Nope", "", doTable, "Nope"},
        {"Wide", "F1,Nope", doTable, "Nope"},
        {"Wide", "ALL,F1", doTable, "ALL,F1"},
        {"ALL", "F1", doTable, "F1"},
        {"Wide", "", doNone, "Wide"},
        {std::string(41, 'w'), "", doTable, ""},
    };
    for (const auto& b : bad) {
        TPrivileges change;
        change.SetGroupName("gg");
        TObjectPrivilege* p = change.GetObjectPrivileges().Add();
        p->SetObjectType(b.Type);
        p->SetObjectName(b.Object);
        p->SetPrivilegeType(opAlterObj);
        p->SetFields(b.Fields);
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { sm.SetPrivileges(change, true); }, &message), 8579)
            << b.Object << "/" << b.Fields;
        EXPECT_NE(message.find(b.Named), std::string::npos) << message;
    }
    TPrivileges again;
    again.SetGroupName("gg");
    sm.GetPrivileges(doTable, "", again);
    EXPECT_EQ(ObjectPrivilegeText(again), before);
    // Replace drops the rows not named again; revoke drops them all.
    TPrivileges only;
    only.SetGroupName("gg");
    only.GetObjectPrivileges().Add()->SetObjectType(doTable);
    only.GetObjectPrivileges().Items(0)->SetPrivilegeType(opReadData);
    only.GetObjectPrivileges().Items(0)->SetObjectName("Wide");
    sm.SetPrivileges(only, true);
    sm.GetPrivileges(doTable, "", again);
    EXPECT_EQ(ObjectPrivilegeText(again), "Wide:2048:ALL;");
    EXPECT_EQ(again.GetSystemPrivileges().Count(), 0);
    sm.RevokePrivileges("gg");
    sm.GetPrivileges(doTable, "", again);
    EXPECT_EQ(again.GetObjectPrivileges().Count(), 0);
    // The administrators hold everything, without rows, and cannot be changed.
    TPrivileges admins;
    admins.SetGroupName("Administrators");
    sm.GetPrivileges(doTable, "Wide", admins);
    EXPECT_EQ(admins.GetObjectPrivileges().Count(), 8);
    EXPECT_EQ(admins.GetSystemPrivileges().Count(), 4);
    EXPECT_EQ(ErrorCodeOf([&] { sm.SetPrivileges(admins, false); }), 10123);
    EXPECT_EQ(ErrorCodeOf([&] { sm.RevokePrivileges("ADMINISTRATORS"); }), 10123);
}

TEST(ZanSecurityPrivileges, PrivilegesOnOpen) {
    TTempFile file("sec_open.zan");
    CreatePrivilegeFile(file.Path);
    auto db = ConnectAs(file.Path, "clerk", "pw");
    EXPECT_EQ(db->GetPrivileges().GetGroupName(), "clerks");
    EXPECT_EQ(db->GetDBPrivilegeMask(), 0);
    struct TOpenCase {
        std::string Table;
        int32_t TableFlags;
        int32_t FieldFlags[5]; // Id, Code, Name, Amount, Note
        int32_t EmptyCode;
    };
    const int32_t all = Bits(C_EVERY_OBJECT_PRIVILEGE);
    const int32_t onAll = Bits({opExecuteObj, opReadData, opDeleteData});
    const int32_t x = Bits({opExecuteObj});
    const int32_t xr = Bits({opExecuteObj, opReadData});
    const TOpenCase cases[] = {
        {"First", all, {all, all, all, all, all}, 0},
        // The first table's privileges are no privileges on all tables.
        {"Second", onAll, {onAll, onAll, onAll, onAll, onAll}, 0},
        {"Third", Bits({opExecuteObj, opReadData, opUpdateData}),
         {xr, x, xr | Bits({opUpdateData}), x, x}, 10624},
    };
    for (const TOpenCase& c : cases) {
        SCOPED_TRACE(c.Table);
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName(c.Table);
        t.Open();
        EXPECT_EQ(t.GetTableDef().GetPrivilegeFlags(), c.TableFlags);
        const char* names[] = {"Id", "Code", "Name", "Amount", "Note"};
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(names[i]);
            const int32_t flags = c.FieldFlags[i];
            EXPECT_EQ(t.GetInternalFields().GetField(i)->GetPrivilegeFlags(), flags);
            TField* f = t.FieldByName(names[i]);
            const bool read = (flags & 2048) != 0;
            EXPECT_EQ(f->GetVisible(), read);
            EXPECT_EQ(f->GetReadOnly(), (flags & 4096) == 0);
            // Reading a field without the read privilege is refused, not only hidden.
            EXPECT_EQ(ErrorCodeOf([&] { (void)f->GetAsString(); }), read ? 0 : 10624);
            if (i < 3) {
                const Variant value = i == 0 ? Variant(1) : Variant(i == 1 ? "c1" : "n1");
                EXPECT_EQ(ErrorCodeOf([&] { t.Locate(names[i], value, {}); }), read ? 0 : 10624);
            }
        }
        EXPECT_EQ(t.CanModify(), (c.TableFlags & Bits({opInsertData, opUpdateData, opDeleteData})) != 0);
        // The cursor's writes check the table's privileges before anything is written.
        t.First();
        const bool canInsert = (c.TableFlags & 256) != 0, canUpdate = (c.TableFlags & 4096) != 0,
                   canDelete = (c.TableFlags & 1024) != 0;
        if (!canInsert) {
            EXPECT_EQ(ErrorCodeOf([&] { t.AddRecord(false); }), 10624);
        }
        if (!canUpdate) {
            EXPECT_EQ(ErrorCodeOf([&] { t.UpdateRecord(); }), 10624);
        }
        if (!canDelete) {
            EXPECT_EQ(ErrorCodeOf([&] { t.DeleteRecord(nullptr); }), 10624);
        }
        if (canUpdate && c.Table == "Third") {
            t.Edit();
            t.FieldByName("Name")->SetAsString("renamed");
            t.Post();
            EXPECT_EQ(t.FieldByName("Name")->GetAsString(), "renamed");
        }
        EXPECT_EQ(ErrorCodeOf([&] { t.EmptyTable(); }), c.EmptyCode);
        EXPECT_EQ(t.GetTotalRecordCount(), c.EmptyCode == 0 ? 0 : 2);
    }
    // Lookup's result fields and filters read fields as the field getters read them.
    {
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName("Third");
        t.Open();
        EXPECT_EQ(ErrorCodeOf([&] { t.Lookup("Id", Variant(2), "Code"); }), 10624);
        t.SetFilter("Id = 2");
        t.SetFiltered(true);
        EXPECT_EQ(t.GetRecordCount(), 1);
        EXPECT_EQ(t.FieldByName("Name")->GetAsString(), "n2");
        t.SetFiltered(false);
        t.SetFilter("Code = 'c2'");
        EXPECT_EQ(ErrorCodeOf([&] {
                      t.SetFiltered(true);
                      t.First();
                  }),
                  10624);
    }
    // The questions the query layer asks.
    struct {
        TDatabaseObjectType Type;
        std::string Name;
        int32_t Privilege, Code;
        bool Answer;
    } const questions[] = {
        {doTable, "Third", 4096, 0, true},  {doTable, "THIRD", 1024, 0, false},
        {doTable, "Second", 256, 0, false}, {doTable, "ALL", 1024, 0, true},
        {doTable, "First", 2, 0, true},     {doTable, "ALL", 2, 0, false},
        {doTable, "Nope", 8, 8579, false},  {doNone, "First", 8, 8579, false},
    };
    for (const auto& q : questions) {
        bool answer = false;
        EXPECT_EQ(ErrorCodeOf([&] {
                      answer = db->QueryObjectPrivilegeExists(q.Type, q.Name, q.Privilege);
                  }),
                  q.Code)
            << q.Name;
        EXPECT_EQ(answer, q.Answer) << q.Name << " " << q.Privilege;
    }
    TSecurityManager& sm = db->GetSecurityManager();
    EXPECT_TRUE(sm.CheckIfLogonHasObjectPrivilege(doTable, "*", opDeleteData));
    EXPECT_FALSE(sm.CheckIfLogonHasObjectPrivilege(doTable, "Third", opDeleteData));
    EXPECT_FALSE(sm.CheckIfLogonHasSystemPrivilege(spViewUsers));
    db->Close();
    // No privilege at all: the open needs execute; the system tables are the administrators'.
    auto idle = ConnectAs(file.Path, "idle", "pw");
    for (const std::string table : {"First", "$SYSTBL_SECUSERS", "$SYSTBL_OBJECTIDREF",
                                    "$SYSTBL_INTGENERATOR", "$MSTRTBLSYSTEM"}) {
        TZanTable t;
        t.SetDataBase(idle.get());
        t.SetTableName(table);
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { t.Open(); }, &message), 10624) << table;
        EXPECT_NE(message.find(table), std::string::npos) << message;
    }
    idle->Close();
    auto admin = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
    // A user table created with its definition marked internal is a user table all the same.
    TTableDef marked;
    BuildUserTableDef(marked, "Marked");
    marked.SetInternalTable(true);
    admin->CreateTable(marked, false);
    idle = ConnectAs(file.Path, "idle", "pw");
    TZanTable other;
    other.SetDataBase(idle.get());
    other.SetTableName("Marked");
    EXPECT_EQ(ErrorCodeOf([&] { other.Open(); }), 10624);
    idle->Close();
    TZanTable users;
    users.SetDataBase(admin.get());
    users.SetTableName("$SYSTBL_SECUSERS");
    users.Open();
    EXPECT_EQ(users.GetRecordCount(), 3);
}

// Rows an administrator edited by hand grant no more than they say.
TEST(ZanSecurityPrivileges, HandEditedRows) {
    TTempFile file("sec_edited.zan");
    CreatePrivilegeFile(file.Path);
    {
        auto admin = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
        const int32_t clerks = admin->GetSecurityManager().GetGroupIDFromName("clerks");
        TZanTable rows;
        rows.SetDataBase(admin.get());
        rows.SetTableName("$SYSTBL_SECOBJPRIV");
        rows.SetIndexName("ixGroupPriv");
        rows.Open();
        // Read on First (object id 1): garbage around field 1 (Id).
        ASSERT_TRUE(rows.FindKey({Variant(clerks), Variant(1), Variant(1), Variant(2048)}));
        rows.Edit();
        rows.FieldByName("ALL")->SetAsBoolean(false);
        rows.FieldByName("FieldsShort")->SetAsString("x, 1 ,,99,-3");
        rows.Post();
        // Execute on ALL and on Third: a constant of several bits.
        for (int32_t object : {0, 3}) {
            ASSERT_TRUE(rows.FindKey({Variant(clerks), Variant(1), Variant(object), Variant(8)}));
            rows.Edit();
            rows.FieldByName("PrivilegeID")->SetAsInteger(8 | 256 | 4096);
            rows.Post();
        }
        TZanTable users;
        users.SetDataBase(admin.get());
        users.SetTableName("$SYSTBL_SECUSERS");
        users.Open();
        ASSERT_TRUE(users.Locate("UserName", Variant("idle"), {}));
        users.Edit();
        users.FieldByName("GroupID")->SetAsInteger(777);
        users.Post();
    }
    EXPECT_EQ(ConnectCode(file.Path, "idle", "pw"), 10036);
    auto db = ConnectAs(file.Path, "clerk", "pw");
    // The execute rows of several bits grant nothing: those tables no longer open.
    for (const std::string table : {"Second", "Third"}) {
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName(table);
        EXPECT_EQ(ErrorCodeOf([&] { t.Open(); }), 10624) << table;
    }
    TZanTable first;
    first.SetDataBase(db.get());
    first.SetTableName("First");
    first.Open();
    EXPECT_EQ(ErrorCodeOf([&] { (void)first.FieldByName("Id")->GetAsInteger(); }), 0);
    EXPECT_EQ(ErrorCodeOf([&] { (void)first.FieldByName("Code")->GetAsString(); }), 10624);
}

namespace {

// A prompt that also notes how many refused logons the trace log holds when an error shows.
class TCountingPrompt : public TScriptedLoginPrompt {
public:
    std::vector<int> RefusalsAtError;
    void ShowError(const std::string& message) override {
        int n = 0;
        for (const std::string& line : GDBLogger().GetLines())
            if (line.find("10036") != std::string::npos) ++n;
        RefusalsAtError.push_back(n);
        TScriptedLoginPrompt::ShowError(message);
    }
};

} // namespace

TEST(ZanSecurityPrivileges, LogonLoopThroughThePrompt) {
    TTempFile file("sec_loop.zan");
    CreatePrivilegeFile(file.Path);
    for (bool succeed : {true, false}) {
        SCOPED_TRACE(succeed);
        GDBLogger().Clear();
        TCountingPrompt prompt;
        prompt.Answers.push_back({true, C_TEST_KEY, "clerk", "wrong"});
        if (succeed) prompt.Answers.push_back({true, "ignored", "clerk", "pw"});
        TZanDataBase db;
        db.SetDataBaseName(file.Path);
        db.SetLoginPrompt(&prompt);
        EXPECT_EQ(ErrorCodeOf([&] { db.Open(); }), succeed ? 0 : 10015);
        EXPECT_EQ(db.GetConnected(), succeed);
        ASSERT_EQ(prompt.Requests.size(), 2u);
        EXPECT_EQ(prompt.Requests[0].Options, C_LOGIN_MASTERKEY | C_LOGIN_USER);
        EXPECT_EQ(prompt.Requests[1].Options, C_LOGIN_USER);
        // The wrong password was tried twice before the first error was shown.
        ASSERT_EQ(prompt.Errors.size(), 1u);
        EXPECT_NE(prompt.Errors[0].find("Bad user name or password"), std::string::npos);
        EXPECT_EQ(prompt.RefusalsAtError, std::vector<int>{2});
        if (succeed) {
            EXPECT_EQ(db.GetMasterKey(), C_TEST_KEY);
            EXPECT_EQ(db.GetPrivileges().GetGroupName(), "clerks");
            EXPECT_EQ(db.GetSecurityManager().GetUserName(), "clerk");
        } else {
            EXPECT_EQ(db.GetMasterKey(), "");
        }
    }
}

// Two processes logged on as different users at once, each with its own privileges; then the
// files and the saved trace log are searched for the key and the passwords.
TEST(ZanSecurityPrivileges, TwoProcessesAndNoSecretsOnDisk) {
    TTempFile file("sec_e2e.zan");
    const std::string lck = ChangeFileExt(file.Path, ".lck");
    TTempFile log("sec_e2e.log");
    const std::string secrets[] = {C_TEST_KEY, "Kl4ssified-pw", "Manag3r-pw"};
    CreatePrivilegeFile(file.Path);
    {
        auto admin = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
        TSecurityManager& sm = admin->GetSecurityManager();
        sm.ChangePassword("clerk", secrets[1]);
        sm.AddGroup("managers");
        sm.AddUser("manager", secrets[2], "managers");
        Grant(sm, "managers", "ALL", {opExecuteObj, opReadData, opInsertData, opUpdateData});
        // Failures that saw a password: none of it reaches the log.
        EXPECT_EQ(ErrorCodeOf([&] { sm.AddUser("m", secrets[2], "managers"); }), 9605);
        EXPECT_EQ(ErrorCodeOf([&] { sm.AddUser("manager", secrets[2], "managers"); }), 8580);
    }
    EXPECT_EQ(ConnectCode(file.Path, "manager", secrets[1]), 10036);
    TChildProcess child([&](TChildProcess& self) {
        auto db = ConnectAs(file.Path, "manager", secrets[2]);
        self.Send('c');
        if (self.Receive() != 'g') return 1;
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName("Third");
        t.Open();
        if (t.FieldByName("Code")->GetAsString() != "c1") return 2;
        t.Append();
        t.FieldByName("Id")->SetAsInteger(3);
        t.Post();
        if (ErrorCodeOf([&] { t.EmptyTable(); }) != 10624) return 3;
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'c');
    auto db = ConnectAs(file.Path, "clerk", secrets[1]);
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("Third");
    t.Open();
    EXPECT_EQ(ErrorCodeOf([&] { (void)t.FieldByName("Code")->GetAsString(); }), 10624);
    child.Send('g');
    EXPECT_EQ(child.Wait(), 0);
    t.Refresh();
    EXPECT_EQ(t.GetTotalRecordCount(), 3);
    // While connected the users file exists; both files hold no secret.
    GDBLogger().SaveLogToFile(log.Path);
    for (const std::string& path : {file.Path, lck, log.Path}) {
        const std::vector<uint8_t> bytes = ReadFileBytes(path);
        EXPECT_FALSE(bytes.empty()) << path;
        const std::string text(bytes.begin(), bytes.end());
        for (const std::string& secret : secrets)
            EXPECT_EQ(text.find(secret), std::string::npos) << path << " holds " << secret;
    }
}
