// The security manager: password words, logon and its bootstrap, expiry, name limits, the
// administration privilege matrix with the escalation cases, and DeleteGroup.
#include <gtest/gtest.h>

#include "security_test_support.h"

using namespace zan;

TEST(ZanSecurity, PasswordWords) {
    struct {
        std::string Password;
        TZanPasswordWords Words;
    } const cases[] = {
        {"plinth", {{1691651973, 661766368, -1727815005, 1612873930, -987730812}}},
        {"", {{0, 0, 0, 0, 0}}},
        // SHA-1 of the UTF-8 bytes of "Grüße".
        {"Gr\xC3\xBC\xC3\x9F" "e", {{-162958051, 1847309423, -1937332000, 805451715, 1039167604}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ZanPasswordWords(c.Password), c.Words) << c.Password;
}

TEST(ZanSecurity, BootstrapLogonAndExpiry) {
    TTempFile file("sec_logon.zan");
    CreateDatabaseFile(file.Path, 2);
    // Anyone but "administrator" fails on a new file; the administrator's first logon takes
    // any password and leaves "plinth" behind.
    EXPECT_EQ(ConnectCode(file.Path, "someone", "x"), 10036);
    EXPECT_EQ(ConnectCode(file.Path, "Administrator", "x"), 10036);
    {
        auto db = ConnectAs(file.Path, C_ADMIN_USER, "whatever");
        TSecurityManager& sm = db->GetSecurityManager();
        EXPECT_TRUE(sm.IsAdministrator());
        EXPECT_EQ(db->GetPrivileges().GetGroupName(), C_ADMIN_GROUP);
        EXPECT_EQ(db->GetDBPrivilegeMask(), 1 | 2 | 8 | 16);
        EXPECT_EQ(sm.AddGroup("clerks"), 2);
        sm.AddUser("mary", "secret", "clerks");
        // Own password, any case of the name.
        sm.ChangePassword("ADMINISTRATOR", "n3w");
    }
    struct {
        std::string User, Password;
        int32_t Code;
    } const logons[] = {
        {"administrator", "whatever", 10036}, {"administrator", "plinth", 10036},
        {"administrator", "n3w", 0},          {"Administrator", "n3w", 0},
        {"mary", "secret", 0},                {"MARY", "secret", 0},
        {"mary", "Secret", 10036},            {"mary ", "secret", 10036},
        {"mar", "secret", 10036},             {"mary", "", 10036},
        {std::string(31, 'm'), "secret", 10036}, {std::string("ma\0ry", 5), "secret", 10036},
        {"\xFF\xFE", "secret", 10036},        {"mary", std::string(10000, 'p'), 10036},
    };
    for (const auto& l : logons)
        EXPECT_EQ(ConnectCode(file.Path, l.User, l.Password), l.Code) << l.User << "/" << l.Password.size();
    // Expiry: 30 days, last change 31 days ago; the administrator never expires.
    for (const std::string& user : {std::string("mary"), std::string(C_ADMIN_USER)}) {
        auto db = NewDatabase(file.Path, 2);
        db->GetSecurityManager().SetPasswordExpiryPeriod(30);
        db->GetSecurityManager().SetClock([] { return Now() + 31; });
        const std::string password = user == "mary" ? "secret" : "n3w";
        db->BeforeLogin = [&](TObject*, std::string& u, std::string& p, std::string&) {
            u = user;
            p = password;
        };
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }, &message), user == "mary" ? 10036 : 0);
        if (user == "mary") {
            EXPECT_NE(message.find("The password has expired"), std::string::npos);
        }
        EXPECT_EQ(db->GetConnected(), user != "mary");
    }
    // The group without its administrator: nobody is created again.
    {
        auto db = ConnectAs(file.Path, C_ADMIN_USER, "n3w");
        db->GetSecurityManager().DeleteUser(C_ADMIN_USER);
    }
    EXPECT_EQ(ConnectCode(file.Path, C_ADMIN_USER, "anything"), 10036);
    EXPECT_EQ(ConnectCode(file.Path, C_ADMIN_USER, "plinth"), 10036);
}

TEST(ZanSecurity, NameAndPasswordLimits) {
    TTempFile file("sec_names.zan");
    CreateSecuredFile(file.Path);
    auto db = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
    TSecurityManager& sm = db->GetSecurityManager();
    sm.SetMinUserNameLength(3);
    const std::string umlaut = "\xC3\xBC"; // two bytes, one character
    struct {
        bool Group;
        std::string Name;
        int32_t Code;
        std::string Text;
    } const cases[] = {
        {true, "g", 9605, "g is not a valid value (min. length 2, max. length 30)"},
        {true, "gg", 0, ""},
        {true, std::string(30, 'a'), 0, ""},
        {true, std::string(31, 'b'), 9605, "(min. length 2, max. length 30)"},
        {true, std::string(28, 'c') + umlaut, 0, ""},
        {true, std::string(29, 'd') + umlaut, 9605, "max. length 30"},
        {true, "", 9605, "min. length 2"},
        {true, std::string("a\0b", 3), 9605, ""},
        {true, "\xC3", 9605, ""},
        {true, "GG", 8580, ""},
        {false, "uu", 9605, "min. length 3"},
        {false, "uuu", 0, ""},
        {false, std::string(30, 'u'), 0, ""},
        {false, std::string(31, 'u'), 9605, "max. length 30"},
    };
    for (const auto& c : cases) {
        std::string message;
        const int32_t code = ErrorCodeOf(
            [&] { c.Group ? (void)sm.AddGroup(c.Name) : sm.AddUser(c.Name, "pw", "gg"); },
            &message);
        EXPECT_EQ(code, c.Code) << c.Name;
        EXPECT_NE(message.find(c.Text), std::string::npos) << message;
    }
    // A 31-byte lookup finds nothing, never the name it begins with.
    EXPECT_EQ(sm.GetGroupIDFromName(std::string(30, 'a') + "x"), -1);
    EXPECT_EQ(sm.GetUserGroupName(std::string(30, 'u') + "x"), "");
    // The password minimum applies to AddUser and ChangePassword, not to a logon.
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { sm.AddUser("vvv", "p", "gg"); }, &message), 9605);
    EXPECT_NE(message.find("Password is shorter than the minimum length of 2"), std::string::npos);
    EXPECT_EQ(ErrorCodeOf([&] { sm.ChangePassword("uuu", "q"); }), 9605);
    sm.SetMinPasswordLength(0);
    sm.AddUser("www", "", "gg");
    db->Close();
    EXPECT_EQ(ConnectCode(file.Path, "www", ""), 0);
}

namespace {

enum TCaller { cAdmin, cWith, cWithout };

struct TAdminCase {
    const char* Name;
    TSystemPrivilegeType Needed; // spNone: administrators only
    std::function<void(TSecurityManager&)> Call;
};

} // namespace

// Every administration call as an administrator, as a group holding the privilege it needs
// and as a group without it.
TEST(ZanSecurity, AdministrationMatrix) {
    TTempFile file("sec_matrix.zan");
    CreateSecuredFile(file.Path);
    {
        auto db = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
        TSecurityManager& sm = db->GetSecurityManager();
        sm.AddGroup("with");
        sm.AddGroup("without");
        sm.AddGroup("target");
        GrantSystem(sm, "with", {spViewUsers, spEditUsers, spViewGroups, spEditGroups});
        sm.AddUser("withuser", "pw", "with");
        sm.AddUser("nouser", "pw", "without");
    }
    int n = 0;
    const TAdminCase cases[] = {
        {"AddGroup", spEditGroups, [&](TSecurityManager& sm) { sm.AddGroup("g" + std::to_string(++n)); }},
        {"RenameGroup", spEditGroups, [&](TSecurityManager& sm) {
             const std::string a = "r" + std::to_string(++n);
             sm.RenameGroup("target", a);
             sm.RenameGroup(a, "target");
         }},
        {"DeleteGroup", spEditGroups, [&](TSecurityManager& sm) {
             sm.DeleteGroup("target");
             sm.AddGroup("target");
         }},
        {"ChangeGroup", spEditGroups, [&](TSecurityManager& sm) { sm.ChangeGroup("victim", "target"); }},
        {"AddUser", spEditUsers, [&](TSecurityManager& sm) { sm.AddUser("u" + std::to_string(++n), "pw", "target"); }},
        {"DeleteUser", spEditUsers, [&](TSecurityManager& sm) { sm.DeleteUser("victim"); }},
        {"ChangePassword", spEditUsers, [&](TSecurityManager& sm) { sm.ChangePassword("victim", "pw2"); }},
        {"ListGroupNames", spViewGroups, [&](TSecurityManager& sm) {
             TStringList list;
             list.Add("kept");
             sm.ListGroupNames(list);
             EXPECT_EQ(list.Get(0), "kept");
             EXPECT_GE(list.Count(), 5);
         }},
        {"GetUserGroupName", spViewGroups, [&](TSecurityManager& sm) { EXPECT_EQ(sm.GetUserGroupName("victim"), "target"); }},
        {"ListUserNames", spViewUsers, [&](TSecurityManager& sm) {
             TStringList list;
             sm.ListUserNames("target", list);
             EXPECT_GE(list.IndexOf("victim"), 0);
             EXPECT_EQ(list.IndexOf("withuser"), -1);
         }},
        {"GetPrivileges", spViewGroups, [&](TSecurityManager& sm) {
             TPrivileges set;
             set.SetGroupName("with");
             sm.GetPrivileges(doTable, "", set);
             EXPECT_EQ(set.GetSystemPrivileges().Count(), 4);
         }},
        {"SetPrivileges", spNone, [&](TSecurityManager& sm) { GrantSystem(sm, "target", {spViewUsers}); }},
        {"RevokePrivileges", spNone, [&](TSecurityManager& sm) { sm.RevokePrivileges("target"); }},
    };
    // Three connections side by side: each sees the others' changes.
    std::unique_ptr<TZanDataBase> callers[] = {ConnectAs(file.Path, C_ADMIN_USER, "plinth"),
                                               ConnectAs(file.Path, "withuser", "pw"),
                                               ConnectAs(file.Path, "nouser", "pw")};
    TSecurityManager& admin = callers[cAdmin]->GetSecurityManager();
    for (const TAdminCase& c : cases)
        for (TCaller caller : {cAdmin, cWith, cWithout}) {
            SCOPED_TRACE(std::string(c.Name) + " as " + std::to_string(caller));
            // A fresh victim in the target group for each call.
            admin.DeleteUser("victim");
            admin.AddUser("victim", "pw", "target");
            const bool allowed = caller == cAdmin || (caller == cWith && c.Needed != spNone);
            EXPECT_EQ(ErrorCodeOf([&] { c.Call(callers[caller]->GetSecurityManager()); }),
                      allowed ? 0 : 10624);
        }
    for (auto& db : callers)
        db->Close();
    // What a user may do without privileges: their own password, group and privileges.
    auto db = ConnectAs(file.Path, "nouser", "pw");
    TSecurityManager& sm = db->GetSecurityManager();
    EXPECT_EQ(sm.GetUserGroupName("NOUSER"), "without");
    TPrivileges own;
    own.SetGroupName("WITHOUT");
    EXPECT_EQ(ErrorCodeOf([&] { sm.GetPrivileges(doTable, "", own); }), 0);
    sm.ChangePassword("nouser", "pw2");
    EXPECT_EQ(ConnectCode(file.Path, "nouser", "pw2"), 0);
}

// A holder of the edit privileges cannot reach the administrators' rights.
TEST(ZanSecurity, EscalationsRefused) {
    TTempFile file("sec_escalate.zan");
    CreateSecuredFile(file.Path);
    {
        auto db = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
        TSecurityManager& sm = db->GetSecurityManager();
        sm.AddGroup("editors");
        GrantSystem(sm, "editors", {spViewUsers, spEditUsers, spViewGroups, spEditGroups});
        sm.AddUser("ed", "pw", "editors");
        sm.AddUser("boss", "pw", "Administrators");
    }
    auto db = ConnectAs(file.Path, "ed", "pw");
    TSecurityManager& sm = db->GetSecurityManager();
    for (const std::string admins : {"administrators", "ADMINISTRATORS", "Administrators"}) {
        SCOPED_TRACE(admins);
        const struct {
            std::function<void()> Call;
            int32_t Code;
        } attempts[] = {
            {[&] { sm.AddUser("x" + admins.substr(0, 3), "pw", admins); }, 10624},
            {[&] { sm.ChangeGroup("ed", admins); }, 10624},
            {[&] { sm.AddGroup(admins); }, 10624},
            {[&] { sm.RenameGroup("editors", admins); }, 10624},
            {[&] { sm.RenameGroup(admins, "other"); }, 10123},
            {[&] { sm.DeleteGroup(admins); }, 10124},
            {[&] { sm.ChangePassword("Administrator", "mine"); }, 10624},
            {[&] { sm.ChangePassword("BOSS", "mine"); }, 10624},
            {[&] { sm.DeleteUser("administrator"); }, 10624},
            {[&] { sm.ChangeGroup("boss", "editors"); }, 10624},
            {[&] { GrantSystem(sm, "editors", {spEditUsers}); }, 10624},
        };
        for (const auto& a : attempts)
            EXPECT_EQ(ErrorCodeOf(a.Call), a.Code);
    }
    db->Close();
    EXPECT_EQ(ConnectCode(file.Path, C_ADMIN_USER, "plinth"), 0);
    EXPECT_EQ(ConnectCode(file.Path, "boss", "pw"), 0);
    auto admin = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
    EXPECT_EQ(admin->GetSecurityManager().GetUserGroupName("ed"), "editors");
}

TEST(ZanSecurity, DeleteGroupCascadesAndIsAtomic) {
    TTempFile file("sec_delgroup.zan");
    CreateSecuredFile(file.Path);
    auto db = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
    CreateUserTable(*db, "Items");
    TSecurityManager& sm = db->GetSecurityManager();
    for (const std::string group : {"gone", "stays"}) {
        sm.AddGroup(group);
        GrantSystem(sm, group, {spViewUsers});
        Grant(sm, group, "Items", {opExecuteObj, opReadData});
        for (int i = 0; i < 3; ++i)
            sm.AddUser(group + std::to_string(i), "pw", group);
    }
    auto users = [&](const std::string& group) {
        TStringList list;
        sm.ListUserNames(group, list);
        return list.Count();
    };
    // Inside a transaction: refused, nothing changed.
    db->StartTransaction();
    EXPECT_EQ(ErrorCodeOf([&] { sm.DeleteGroup("gone"); }), 10122);
    db->Rollback();
    EXPECT_EQ(users("gone"), 3);
    // Another connection holds the users table: the group's own transaction fails at its
    // commit and takes every delete back.
    {
        auto other = ConnectAs(file.Path, C_ADMIN_USER, "plinth");
        TZanTable holder;
        holder.SetDataBase(other.get());
        holder.SetTableName("$SYSTBL_SECUSERS");
        holder.Open();
        holder.SetLocked(true);
        db->SetLockRetryMaximum(2);
        EXPECT_NE(ErrorCodeOf([&] { sm.DeleteGroup("gone"); }), 0);
        db->SetLockRetryMaximum(200);
        EXPECT_FALSE(db->InTransaction());
    }
    EXPECT_EQ(sm.GetGroupIDFromName("gone"), 2);
    EXPECT_EQ(users("gone"), 3);
    TPrivileges set;
    set.SetGroupName("gone");
    sm.GetPrivileges(doTable, "", set);
    EXPECT_EQ(set.GetObjectPrivileges().Count(), 2);
    EXPECT_EQ(set.GetSystemPrivileges().Count(), 1);
    // The delete: group, privileges and users; the other group untouched.
    sm.DeleteGroup("GONE");
    EXPECT_EQ(sm.GetGroupIDFromName("gone"), -1);
    EXPECT_EQ(users(""), 1 + 3);
    EXPECT_EQ(users("stays"), 3);
    EXPECT_EQ(ErrorCodeOf([&] { sm.GetPrivileges(doTable, "", set); }), 8579);
    set.SetGroupName("stays");
    sm.GetPrivileges(doTable, "", set);
    EXPECT_EQ(set.GetObjectPrivileges().Count(), 2);
    EXPECT_EQ(ErrorCodeOf([&] { sm.DeleteGroup("gone"); }), 8579);
    db->Close();
    EXPECT_EQ(ConnectCode(file.Path, "gone0", "pw"), 10036);
    EXPECT_EQ(ConnectCode(file.Path, "stays0", "pw"), 0);
}

// The level is not secret: a header changed to level 1 (CRC recomputed) connects with the key
// and without a logon. The key still guards the file.
TEST(ZanSecurity, HeaderLevelIsNotSecret) {
    TTempFile file("sec_level.zan");
    CreateSecuredFile(file.Path);
    std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    PutLE32(bytes.data() + 246, 1);
    PutLE32(bytes.data() + 250, TZanDBHeader::CalcCRC(bytes.data()));
    WriteFileBytes(file.Path, bytes);
    auto db = NewDatabase(file.Path, 1);
    db->Open();
    EXPECT_FALSE(db->NeedSecurity());
    EXPECT_FALSE(db->GetSecurityManager().GetActive());
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { db->GetSecurityManager().AddGroup("gg"); }, &message), 8581);
    EXPECT_NE(message.find("The security manager is not active"), std::string::npos);
    db->Close();
    db->SetMasterKey("not the key");
    EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }), 8451);
}
