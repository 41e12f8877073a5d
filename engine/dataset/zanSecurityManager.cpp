#include "engine/dataset/zanSecurityManager.h"

#include <set>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

const char* const C_PASSWORD_FIELDS[5] = {"Pwd0", "Pwd1", "Pwd2", "Pwd3", "Pwd4"};
const char* const C_PASSWORD_EXPIRED = "The password has expired";
const char* const C_PASSWORD_TOO_SHORT = "Password is shorter than the minimum length of %d";
constexpr int32_t C_OBJECT_TYPE_TABLE = 1;
constexpr int32_t C_ALL_SYSTEM_PRIVILEGES[] = {1, 2, 8, 16};

size_t CharCount(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Well-formed UTF-8 without control characters: the only texts a name may be.
bool IsStorableName(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return false;
        size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2
                                      : (c & 0xF8) == 0xF0 ? 3 : 9;
        if (extra == 9 || (extra == 1 && c < 0xC2) || i + extra >= text.size() + (extra ? 0 : 1))
            return false;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += extra + 1;
    }
    return true;
}

// A name that an exact lookup can find: storable and within the field.
bool IsLookupName(const std::string& name) {
    return !name.empty() && name.size() <= size_t(C_MAX_SECURITY_NAME) && IsStorableName(name);
}

bool IsAllObjects(const std::string& name) {
    return name.empty() || name == "*" || SameText(name, "ALL");
}

std::string Trimmed(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    return text.substr(b, e - b);
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string item =
            Trimmed(text.substr(start, comma == std::string::npos ? std::string::npos
                                                                  : comma - start));
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

TField& F(TZanTable& table, const char* name) { return *table.FieldByName(name); }

// The field list of the object-privilege row the table stands on: "ALL", or field ids from
// FieldsShort, else FieldsLong.
std::string StoredFields(TZanTable& privs) {
    if (F(privs, "ALL").GetAsBoolean()) return "ALL";
    const std::string fields = F(privs, "FieldsShort").GetAsString();
    return fields.empty() ? F(privs, "FieldsLong").GetAsString() : fields;
}

// Appends a row (or edits the current one): set fills the fields, then the row is posted; a
// failure cancels the row and passes on.
void PostRow(TZanTable& table, bool append, const std::function<void()>& set) {
    append ? table.Append() : table.Edit();
    try {
        set();
        table.Post();
    } catch (...) {
        table.Cancel();
        throw;
    }
}

// Runs f on each row of the table's current range or order.
void ForEachRow(TZanTable& table, const std::function<void()>& f) {
    for (table.First(); !table.GetEOF(); table.Next())
        f();
}

// The index and range of a table as they were, restored when the scope ends.
class TIndexScope {
public:
    TIndexScope(TZanTable& table, const std::string& indexName) : FTable(table) {
        FIndexName = table.GetIndexName();
        table.SetIndexName(indexName);
    }
    ~TIndexScope() noexcept(false) {
        FTable.CancelRange();
        FTable.SetIndexName(FIndexName);
    }

private:
    TZanTable& FTable;
    std::string FIndexName;
};

} // namespace

TZanPasswordWords ZanPasswordWords(const std::string& password) {
    uint8_t digest[20];
    GetSHA1FromString(password, digest);
    TZanPasswordWords words;
    // The digest holds the chaining words h0..h4, each in the byte order of the file.
    for (int i = 0; i < 5; ++i)
        words.Words[i] = static_cast<int32_t>(uint32_t(digest[4 * i]) |
                                              uint32_t(digest[4 * i + 1]) << 8 |
                                              uint32_t(digest[4 * i + 2]) << 16 |
                                              uint32_t(digest[4 * i + 3]) << 24);
    explicit_bzero(digest, sizeof digest);
    return words;
}

TSecurityManager::~TSecurityManager() { Close(); }

void TSecurityManager::Open(TZanDataBase* db, TZanTable* users, TZanTable* sysPrivs,
                            TZanTable* objPrivs, TZanTable* groups) {
    FDB = db;
    FUsers = users;
    FSysPrivs = sysPrivs;
    FObjPrivs = objPrivs;
    FGroups = groups;
    FActive = true;
}

void TSecurityManager::Close() noexcept {
    Logoff();
    FActive = false;
    FDB = nullptr;
    FUsers = FSysPrivs = FObjPrivs = FGroups = nullptr;
}

void TSecurityManager::CheckActive(const char* context) const {
    if (!FActive) ZanDatabaseError(8581, context, "The security manager is not active");
}

TDateTime TSecurityManager::Now() const { return FClock ? FClock() : zan::Now(); }

bool TSecurityManager::SameName(const std::string& a, const std::string& b) const {
    // Equal as the names' unique indexes see them: case ignored in the database's order.
    const TZanCompareFunc compare = FDB && FDB->GetDefaultSortOrder() == soASCII
                                        ? DBASCIICompareStrings
                                        : DBANSICompareStrings;
    return compare(a.data(), int32_t(a.size()), b.data(), int32_t(b.size()), false, true) == 0;
}

bool TSecurityManager::IsAdministrator() const {
    return FLoggedOn && SameName(FGroupName, C_ADMIN_GROUP);
}

bool TSecurityManager::IsSelf(const std::string& userName) const {
    return FLoggedOn && SameName(userName, FUserName);
}

void TSecurityManager::RequireSystemPrivilege(int32_t constant, const char* context) const {
    CheckActive(context);
    if (IsAdministrator()) return;
    if (!FLoggedOn || (FPrivileges.GetSystemPrivileges().GetMask() & constant) == 0)
        ZanDatabaseError(10624, context);
}

void TSecurityManager::RequireAdministrator(const char* context) const {
    CheckActive(context);
    if (!IsAdministrator()) ZanDatabaseError(10624, context);
}

void TSecurityManager::CheckName(const std::string& name, int32_t minimum,
                                 const char* context) const {
    if (!IsStorableName(name) || CharCount(name) < size_t(std::max(minimum, 1)) ||
        name.size() > size_t(C_MAX_SECURITY_NAME))
        ZanDatabaseErrorFmt(9605, context, SzanStringInvalidFmt,
                            {name, minimum, C_MAX_SECURITY_NAME});
}

void TSecurityManager::CheckPassword(const std::string& password, const char* context) const {
    if (CharCount(password) < size_t(std::max(FMinPassword, 0)))
        ZanDatabaseErrorFmt(9605, context, C_PASSWORD_TOO_SHORT, {FMinPassword});
}

void TSecurityManager::SetPasswordExpiryPeriod(int32_t days) {
    FExpiryPeriod = days < 0 ? 0 : days;
}

bool TSecurityManager::LocateUser(const std::string& userName) {
    if (!IsLookupName(userName)) return false;
    FUsers->SetIndexName("ixUserName");
    return FUsers->FindKey({Variant(userName)});
}

bool TSecurityManager::LocateGroup(const std::string& groupName) {
    if (!IsLookupName(groupName)) return false;
    FGroups->SetIndexName("ixGroupName");
    return FGroups->FindKey({Variant(groupName)});
}

int32_t TSecurityManager::GetGroupIDFromName(const std::string& name) {
    CheckActive("TSecurityManager.GetGroupIDFromName");
    return LocateGroup(name) ? F(*FGroups, "GroupID").GetAsInteger() : -1;
}

std::string TSecurityManager::GetGroupNameFromID(int32_t id) {
    CheckActive("TSecurityManager.GetGroupNameFromID");
    FGroups->SetIndexName("ixGroupID");
    if (!FGroups->FindKey({Variant(id)})) return std::string();
    return F(*FGroups, "GroupName").GetAsString();
}

int32_t TSecurityManager::GetObjectIDFromName(const std::string& name) {
    CheckActive("TSecurityManager.GetObjectIDFromName");
    if (IsAllObjects(name)) return AllObjectsID;
    return FDB->GetObjectID(name);
}

std::string TSecurityManager::GetObjectNameFromID(int32_t id) {
    CheckActive("TSecurityManager.GetObjectNameFromID");
    if (id == AllObjectsID) return "ALL";
    return FDB->GetObjectName(id);
}

bool TSecurityManager::UserIsAdministrator(const std::string& userName) {
    if (!LocateUser(userName)) return false;
    return SameName(GetGroupNameFromID(F(*FUsers, "GroupID").GetAsInteger()), C_ADMIN_GROUP);
}

int32_t TSecurityManager::InsertGroup(const std::string& name) {
    PostRow(*FGroups, true, [&] { F(*FGroups, "GroupName").SetAsString(name); });
    return F(*FGroups, "GroupID").GetAsInteger();
}

void TSecurityManager::InsertUser(const std::string& userName, const std::string& password,
                                  int32_t groupID) {
    const TZanPasswordWords words = ZanPasswordWords(password);
    const TDateTime now = Now();
    PostRow(*FUsers, true, [&] {
        F(*FUsers, "UserName").SetAsString(userName);
        F(*FUsers, "GroupID").SetAsInteger(groupID);
        F(*FUsers, "DateCreated").SetAsDateTime(now);
        SetPasswordFields(words, now);
    });
}

void TSecurityManager::SetPasswordFields(const TZanPasswordWords& words, TDateTime now) {
    for (int i = 0; i < 5; ++i)
        F(*FUsers, C_PASSWORD_FIELDS[i]).SetAsInteger(words.Words[i]);
    F(*FUsers, "DateLastModified").SetAsDateTime(now);
    F(*FUsers, "DateLastPWordChange").SetAsDateTime(now);
}

// ---------------------------------------------------------------------------------------------
// Logon

void TSecurityManager::Logoff() noexcept {
    FLoggedOn = false;
    FUserName.clear();
    FGroupName.clear();
    FGroupID = -1;
    FDatabaseName.clear();
    FPrivileges.Clear();
}

void TSecurityManager::Logon(const std::string& userName, const std::string& password,
                             const std::string& databaseName) {
    static const char* const context = "TSecurityManager.Logon";
    CheckActive(context);
    Logoff();
    std::string storedName;
    int32_t groupID = -1;
    if (!LocateUser(userName)) {
        // The first logon of a new database: "administrator" creates the group and itself.
        if (userName != C_ADMIN_USER || LocateGroup(C_ADMIN_GROUP))
            ZanDatabaseError(10036, context);
        InTransaction([&] {
            groupID = InsertGroup(C_ADMIN_GROUP);
            InsertUser(C_ADMIN_USER, C_ADMIN_INITIAL_PASSWORD, groupID);
        });
        storedName = C_ADMIN_USER;
    } else {
        TZanPasswordWords stored;
        for (int i = 0; i < 5; ++i)
            stored.Words[i] = F(*FUsers, C_PASSWORD_FIELDS[i]).GetAsInteger();
        if (!(stored == ZanPasswordWords(password))) ZanDatabaseError(10036, context);
        storedName = F(*FUsers, "UserName").GetAsString();
        groupID = F(*FUsers, "GroupID").GetAsInteger();
        if (!SameName(storedName, C_ADMIN_USER) && FExpiryPeriod >= 1) {
            const TField& changed = F(*FUsers, "DateLastPWordChange");
            if (changed.IsNull() || changed.GetAsDateTime() + FExpiryPeriod < Now())
                ZanDatabaseError(10036, context, C_PASSWORD_EXPIRED);
        }
    }
    // A user row whose group is gone logs nobody on.
    const std::string groupName = GetGroupNameFromID(groupID);
    if (groupName.empty()) ZanDatabaseError(10036, context);
    FUserName = storedName;
    FGroupID = groupID;
    FGroupName = groupName;
    FDatabaseName = databaseName;
    FLoggedOn = true;
    try {
        if (!IsAdministrator()) LoadPrivileges();
    } catch (...) {
        Logoff();
        throw;
    }
}

void TSecurityManager::LoadPrivileges() {
    // Only rows that say one known privilege grant anything: a hand-edited constant of several
    // bits, or an object type other than table, grants nothing.
    {
        TIndexScope scope(*FObjPrivs, "ixGroupPriv");
        FObjPrivs->SetRange({Variant(FGroupID)}, {Variant(FGroupID)});
        ForEachRow(*FObjPrivs, [&] {
            const int32_t id = F(*FObjPrivs, "PrivilegeID").GetAsInteger();
            if (MapObjectPrivConstToType(id) == opNone ||
                F(*FObjPrivs, "ObjectType").GetAsInteger() != C_OBJECT_TYPE_TABLE)
                return;
            TInternalObjPriv* item = FPrivileges.GetObjectPrivileges().Add();
            item->SetObjectType(doTable);
            item->SetObjectID(F(*FObjPrivs, "ObjectID").GetAsInteger());
            item->SetPrivilegeID(id);
            item->SetGrantOption(F(*FObjPrivs, "GrantOption").GetAsBoolean());
            const std::string fields = StoredFields(*FObjPrivs);
            const bool all = SameText(fields, "ALL");
            item->SetFields(all, all ? std::string() : fields);
        });
    }
    {
        TIndexScope scope(*FSysPrivs, "ixGroupPriv");
        FSysPrivs->SetRange({Variant(FGroupID)}, {Variant(FGroupID)});
        ForEachRow(*FSysPrivs, [&] {
            const int32_t id = F(*FSysPrivs, "PrivilegeID").GetAsInteger();
            if (MapSystemPrivConstToType(id) == spNone) return;
            TInternalSysPriv* item = FPrivileges.GetSystemPrivileges().Add();
            item->SetPrivilegeID(id);
            item->SetGrantOption(F(*FSysPrivs, "GrantOption").GetAsBoolean());
        });
    }
    FPrivileges.GetObjectPrivileges().SetMasks();
    FPrivileges.GetSystemPrivileges().SetMask();
}

// ---------------------------------------------------------------------------------------------
// Privilege questions

int32_t TSecurityManager::ObjectPrivilegesFor(int32_t objectID,
                                              std::vector<const TInternalObjPriv*>& items) const {
    items.clear();
    const TInternalObjPrivs& privs = FPrivileges.GetObjectPrivileges();
    // A privilege naming the object overrides those on all objects entirely.
    for (int pass = 0; pass < 2 && items.empty(); ++pass) {
        const int32_t id = pass == 0 ? objectID : AllObjectsID;
        for (int i = 0; i < privs.Count(); ++i)
            if (privs.Items(i)->GetObjectID() == id) items.push_back(privs.Items(i));
    }
    int32_t mask = 0;
    for (const TInternalObjPriv* item : items)
        mask |= item->GetPrivilegeID();
    return mask;
}

bool TSecurityManager::HasObjectPrivilege(int32_t objectID, int32_t privilegeID) const {
    if (IsAdministrator()) return true;
    if (!FLoggedOn || privilegeID == 0) return false;
    std::vector<const TInternalObjPriv*> items;
    return (ObjectPrivilegesFor(objectID, items) & privilegeID) == privilegeID;
}

bool TSecurityManager::CheckIfLogonHasObjectPrivilege(TDatabaseObjectType objectType,
                                                      const std::string& objectName,
                                                      TObjectPrivilegeType privilege) {
    CheckActive("TSecurityManager.CheckIfLogonHasObjectPrivilege");
    if (IsAdministrator()) return true;
    if (objectType != doTable) return false;
    const int32_t id = GetObjectIDFromName(objectName);
    if (id < 0) return false;
    return HasObjectPrivilege(id, MapObjectPrivTypeToConst(privilege));
}

bool TSecurityManager::CheckIfLogonHasSystemPrivilege(TSystemPrivilegeType privilege) const {
    CheckActive("TSecurityManager.CheckIfLogonHasSystemPrivilege");
    if (IsAdministrator()) return true;
    const int32_t constant = MapSystemPrivTypeToConst(privilege);
    return FLoggedOn && constant != 0 &&
           (FPrivileges.GetSystemPrivileges().GetMask() & constant) == constant;
}

// ---------------------------------------------------------------------------------------------
// Groups and users

void TSecurityManager::InTransaction(const std::function<void()>& f) {
    if (FDB->InTransaction()) {
        f();
        return;
    }
    FDB->StartTransaction();
    try {
        f();
        FDB->Commit();
    } catch (...) {
        try {
            FDB->Rollback();
        } catch (const std::exception&) {
            // The first failure is the one reported.
        }
        throw;
    }
}

int32_t TSecurityManager::AddGroup(const std::string& name) {
    static const char* const context = "TSecurityManager.AddGroup";
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spEditGroups), context);
    if (SameName(name, C_ADMIN_GROUP) && !IsAdministrator()) ZanDatabaseError(10624, context);
    CheckName(name, FMinGroupName, context);
    if (LocateGroup(name)) ZanDatabaseError(8580, context, name);
    return InsertGroup(name);
}

int32_t TSecurityManager::RenameGroup(const std::string& oldName, const std::string& newName) {
    static const char* const context = "TSecurityManager.RenameGroup";
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spEditGroups), context);
    if (SameName(oldName, C_ADMIN_GROUP)) ZanDatabaseError(10123, context, C_ADMIN_GROUP);
    if (SameName(newName, C_ADMIN_GROUP) && !IsAdministrator())
        ZanDatabaseError(10624, context);
    CheckName(newName, FMinGroupName, context);
    if (LocateGroup(newName) && !SameName(oldName, newName))
        ZanDatabaseError(8580, context, newName);
    if (!LocateGroup(oldName)) ZanDatabaseError(8579, context, oldName);
    PostRow(*FGroups, false, [&] { F(*FGroups, "GroupName").SetAsString(newName); });
    if (FLoggedOn && SameName(FGroupName, oldName)) FGroupName = newName;
    return F(*FGroups, "GroupID").GetAsInteger();
}

void TSecurityManager::DeleteGroupRows(TZanTable& table, const std::string& indexName,
                                       int32_t groupID) {
    TIndexScope scope(table, indexName);
    table.SetRange({Variant(groupID)}, {Variant(groupID)});
    // Each delete starts again from the range's first row and checks the row's group: the
    // record a delete leaves the table on may lie outside the range.
    for (;;) {
        table.First();
        if (table.GetEOF() || F(table, "GroupID").GetAsInteger() != groupID) break;
        table.Delete();
    }
}

void TSecurityManager::DeleteGroup(const std::string& name) {
    static const char* const context = "TSecurityManager.DeleteGroup";
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spEditGroups), context);
    if (SameName(name, C_ADMIN_GROUP)) ZanDatabaseError(10124, context, C_ADMIN_GROUP);
    if (!LocateGroup(name)) ZanDatabaseError(8579, context, name);
    if (FDB->InTransaction()) ZanDatabaseError(10122, context);
    const int32_t id = F(*FGroups, "GroupID").GetAsInteger();
    InTransaction([&] {
        FGroups->Delete();
        DeleteGroupRows(*FObjPrivs, "ixGroupPriv", id);
        DeleteGroupRows(*FSysPrivs, "ixGroupPriv", id);
        DeleteGroupRows(*FUsers, "ixGroupUsers", id);
    });
}

void TSecurityManager::AddUser(const std::string& userName, const std::string& password,
                               const std::string& groupName) {
    static const char* const context = "TSecurityManager.AddUser";
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spEditUsers), context);
    if (SameName(groupName, C_ADMIN_GROUP) && !IsAdministrator())
        ZanDatabaseError(10624, context);
    CheckName(userName, FMinUserName, context);
    CheckPassword(password, context);
    if (LocateUser(userName)) ZanDatabaseError(8580, context, userName);
    if (!LocateGroup(groupName)) ZanDatabaseError(8579, context, groupName);
    InsertUser(userName, password, F(*FGroups, "GroupID").GetAsInteger());
}

void TSecurityManager::ChangePassword(const std::string& userName,
                                      const std::string& newPassword) {
    static const char* const context = "TSecurityManager.ChangePassword";
    CheckActive(context);
    if (!IsSelf(userName)) {
        RequireSystemPrivilege(MapSystemPrivTypeToConst(spEditUsers), context);
        if (!IsAdministrator() && UserIsAdministrator(userName)) ZanDatabaseError(10624, context);
    }
    CheckPassword(newPassword, context);
    if (!LocateUser(userName)) ZanDatabaseError(8579, context, userName);
    const TZanPasswordWords words = ZanPasswordWords(newPassword);
    const TDateTime now = Now();
    PostRow(*FUsers, false, [&] { SetPasswordFields(words, now); });
}

void TSecurityManager::ChangeGroup(const std::string& userName, const std::string& groupName) {
    static const char* const context = "TSecurityManager.ChangeGroup";
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spEditGroups), context);
    if (!IsAdministrator() &&
        (SameName(groupName, C_ADMIN_GROUP) || UserIsAdministrator(userName)))
        ZanDatabaseError(10624, context);
    if (!LocateGroup(groupName)) ZanDatabaseError(8579, context, groupName);
    const int32_t groupID = F(*FGroups, "GroupID").GetAsInteger();
    if (!LocateUser(userName)) ZanDatabaseError(8579, context, userName);
    PostRow(*FUsers, false, [&] {
        F(*FUsers, "GroupID").SetAsInteger(groupID);
        F(*FUsers, "DateLastModified").SetAsDateTime(Now());
    });
}

void TSecurityManager::DeleteUser(const std::string& userName) {
    static const char* const context = "TSecurityManager.DeleteUser";
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spEditUsers), context);
    if (!IsAdministrator() && !IsSelf(userName) && UserIsAdministrator(userName))
        ZanDatabaseError(10624, context);
    if (LocateUser(userName)) FUsers->Delete();
}

void TSecurityManager::ListGroupNames(TStrings& list) {
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spViewGroups),
                           "TSecurityManager.ListGroupNames");
    TIndexScope scope(*FGroups, "ixGroupName");
    ForEachRow(*FGroups, [&] { list.Add(F(*FGroups, "GroupName").GetAsString()); });
}

void TSecurityManager::ListUserNames(const std::string& groupName, TStrings& list) {
    RequireSystemPrivilege(MapSystemPrivTypeToConst(spViewUsers),
                           "TSecurityManager.ListUserNames");
    int32_t groupID = -1;
    if (!groupName.empty()) {
        groupID = GetGroupIDFromName(groupName);
        if (groupID < 0) return;
    }
    TIndexScope scope(*FUsers, "ixGroupUsers");
    if (groupID >= 0) FUsers->SetRange({Variant(groupID)}, {Variant(groupID)});
    ForEachRow(*FUsers, [&] { list.Add(F(*FUsers, "UserName").GetAsString()); });
}

std::string TSecurityManager::GetUserGroupName(const std::string& userName) {
    static const char* const context = "TSecurityManager.GetUserGroupName";
    CheckActive(context);
    if (!IsSelf(userName))
        RequireSystemPrivilege(MapSystemPrivTypeToConst(spViewGroups), context);
    if (!LocateUser(userName)) return std::string();
    return GetGroupNameFromID(F(*FUsers, "GroupID").GetAsInteger());
}

// ---------------------------------------------------------------------------------------------
// Privilege sets

std::string TSecurityManager::FieldIDsOf(const std::string& objectName,
                                         const std::string& fieldNames, bool& allFields) {
    static const char* const context = "TSecurityManager.SetPrivileges";
    const std::vector<std::string> names = SplitCommas(fieldNames);
    allFields = names.empty();
    for (const std::string& name : names)
        if (SameText(name, "ALL")) {
            if (names.size() > 1) ZanDatabaseError(8579, context, fieldNames);
            allFields = true;
        }
    if (allFields) return "ALL";
    if (IsAllObjects(objectName)) ZanDatabaseError(8579, context, fieldNames);
    TTableDef def;
    FDB->QueryTableDef(objectName, false, def);
    const TInternalFields& fields = *def.GetInternalFields();
    std::set<int32_t> ids;
    for (const std::string& name : names) {
        const TInternalFieldItem* f = fields.FindField(name);
        if (f == nullptr) ZanDatabaseError(8579, context, name);
        ids.insert(f->GetFieldNo());
    }
    if (int32_t(ids.size()) == fields.Count()) {
        allFields = true;
        return "ALL";
    }
    std::string text;
    for (int32_t id : ids)
        text += (text.empty() ? "" : ",") + IntToStr(id);
    return text;
}

std::string TSecurityManager::FieldNamesOf(const std::string& objectName,
                                           const std::string& fieldIDs) {
    if (fieldIDs.empty() || SameText(fieldIDs, "ALL")) return "ALL";
    std::string text;
    try {
        TTableDef def;
        FDB->QueryTableDef(objectName, false, def);
        const TInternalFields& fields = *def.GetInternalFields();
        for (const std::string& id : SplitCommas(fieldIDs))
            for (int i = 0; i < fields.Count(); ++i)
                if (IntToStr(fields.Items(i)->GetFieldNo()) == id)
                    text += (text.empty() ? "" : ",") + fields.Items(i)->GetFieldName();
    } catch (const EZanDatabaseError&) {
        // A table that is gone names no fields.
    }
    return text;
}

void TSecurityManager::GetPrivileges(TDatabaseObjectType objectType,
                                     const std::string& objectName, TPrivileges& privileges) {
    static const char* const context = "TSecurityManager.GetPrivileges";
    CheckActive(context);
    std::string group = privileges.GetGroupName();
    if (group.empty()) group = FGroupName;
    if (!FLoggedOn || !SameName(group, FGroupName))
        RequireSystemPrivilege(MapSystemPrivTypeToConst(spViewGroups), context);
    privileges.ClearPrivileges();
    privileges.SetGroupName(group);
    if (SameName(group, C_ADMIN_GROUP)) {
        const std::string name = IsAllObjects(objectName) ? std::string("ALL") : objectName;
        for (int t = opCreateObj; t <= opUpdateData; ++t) {
            TObjectPrivilege* p = privileges.GetObjectPrivileges().Add();
            p->SetObjectType(doTable);
            p->SetObjectName(name);
            p->SetPrivilegeType(static_cast<TObjectPrivilegeType>(t));
            p->SetFields("ALL");
        }
        for (int t = spViewUsers; t <= spEditGroups; ++t)
            privileges.GetSystemPrivileges().Add()->SetPrivilegeType(
                static_cast<TSystemPrivilegeType>(t));
        return;
    }
    const int32_t groupID = GetGroupIDFromName(group);
    if (groupID < 0) ZanDatabaseError(8579, context, group);
    int32_t objectID = -1;
    if (!IsAllObjects(objectName)) {
        objectID = GetObjectIDFromName(objectName);
        if (objectID < 0) ZanDatabaseError(8579, context, objectName);
    }
    if (objectType == doTable) {
        TIndexScope scope(*FObjPrivs, "ixGroupPriv");
        FObjPrivs->SetRange({Variant(groupID)}, {Variant(groupID)});
        ForEachRow(*FObjPrivs, [&] {
            const int32_t id = F(*FObjPrivs, "ObjectID").GetAsInteger();
            const TObjectPrivilegeType type =
                MapObjectPrivConstToType(F(*FObjPrivs, "PrivilegeID").GetAsInteger());
            if (F(*FObjPrivs, "ObjectType").GetAsInteger() != C_OBJECT_TYPE_TABLE ||
                type == opNone || (objectID >= 0 && id != objectID))
                return;
            const std::string name = GetObjectNameFromID(id);
            if (name.empty()) return;
            const std::string fields = StoredFields(*FObjPrivs);
            TObjectPrivilege* p = privileges.GetObjectPrivileges().Add();
            p->SetObjectType(doTable);
            p->SetObjectName(name);
            p->SetPrivilegeType(type);
            p->SetGrantOption(F(*FObjPrivs, "GrantOption").GetAsBoolean());
            p->SetFields(FieldNamesOf(name, fields));
        });
    }
    TIndexScope scope(*FSysPrivs, "ixGroupPriv");
    FSysPrivs->SetRange({Variant(groupID)}, {Variant(groupID)});
    ForEachRow(*FSysPrivs, [&] {
        const TSystemPrivilegeType type =
            MapSystemPrivConstToType(F(*FSysPrivs, "PrivilegeID").GetAsInteger());
        if (type == spNone) return;
        TSystemPrivilege* p = privileges.GetSystemPrivileges().Add();
        p->SetPrivilegeType(type);
        p->SetGrantOption(F(*FSysPrivs, "GrantOption").GetAsBoolean());
    });
}

void TSecurityManager::SetPrivileges(const TPrivileges& privileges, bool replace) {
    static const char* const context = "TSecurityManager.SetPrivileges";
    RequireAdministrator(context);
    const std::string& group = privileges.GetGroupName();
    if (SameName(group, C_ADMIN_GROUP)) ZanDatabaseError(10123, context, C_ADMIN_GROUP);
    const int32_t groupID = GetGroupIDFromName(group);
    if (groupID < 0) ZanDatabaseError(8579, context, group);
    // Every row is worked out before the first write.
    struct TRow {
        int32_t ObjectID, PrivilegeID;
        bool All;
        std::string Fields;
    };
    std::vector<TRow> rows;
    const TObjectPrivileges& objs = privileges.GetObjectPrivileges();
    for (int i = 0; i < objs.Count(); ++i) {
        const TObjectPrivilege& p = *objs.Items(i);
        if (p.GetObjectType() != doTable)
            ZanDatabaseError(8579, context, "Object type of " + p.GetObjectName());
        const int32_t constant = MapObjectPrivTypeToConst(p.GetPrivilegeType());
        if (constant == 0) ZanDatabaseError(8579, context, "Privilege type");
        const int32_t id = GetObjectIDFromName(p.GetObjectName());
        if (id < 0) ZanDatabaseError(8579, context, p.GetObjectName());
        TRow row{id, constant, false, {}};
        row.Fields = FieldIDsOf(p.GetObjectName(), p.GetFields(), row.All);
        rows.push_back(row);
    }
    std::vector<int32_t> systemRows;
    const TSystemPrivileges& syss = privileges.GetSystemPrivileges();
    for (int i = 0; i < syss.Count(); ++i) {
        const int32_t constant = MapSystemPrivTypeToConst(syss.Items(i)->GetPrivilegeType());
        if (constant == 0) ZanDatabaseError(8579, context, "Privilege type");
        systemRows.push_back(constant);
    }
    InTransaction([&] {
        if (replace) DeleteGroupRows(*FObjPrivs, "ixGroupPriv", groupID);
        TIndexScope scope(*FObjPrivs, "ixGroupPriv");
        for (const TRow& row : rows) {
            const bool found = FObjPrivs->FindKey({Variant(groupID), Variant(C_OBJECT_TYPE_TABLE),
                                                   Variant(row.ObjectID),
                                                   Variant(row.PrivilegeID)});
            PostRow(*FObjPrivs, !found, [&] {
                F(*FObjPrivs, "GroupID").SetAsInteger(groupID);
                F(*FObjPrivs, "ObjectType").SetAsInteger(C_OBJECT_TYPE_TABLE);
                F(*FObjPrivs, "ObjectID").SetAsInteger(row.ObjectID);
                F(*FObjPrivs, "PrivilegeID").SetAsInteger(row.PrivilegeID);
                F(*FObjPrivs, "ALL").SetAsBoolean(row.All);
                const bool isShort = int32_t(row.Fields.size()) < C_FIELDS_SHORT_SIZE;
                F(*FObjPrivs, "FieldsShort").SetAsString(isShort ? row.Fields : std::string());
                F(*FObjPrivs, "FieldsLong").SetAsString(isShort ? std::string() : row.Fields);
                F(*FObjPrivs, "GrantOption").SetAsBoolean(false);
            });
        }
    });
    InTransaction([&] {
        if (replace) DeleteGroupRows(*FSysPrivs, "ixGroupPriv", groupID);
        TIndexScope scope(*FSysPrivs, "ixGroupPriv");
        for (int32_t constant : systemRows) {
            if (FSysPrivs->FindKey({Variant(groupID), Variant(constant)})) continue;
            PostRow(*FSysPrivs, true, [&] {
                F(*FSysPrivs, "GroupID").SetAsInteger(groupID);
                F(*FSysPrivs, "PrivilegeID").SetAsInteger(constant);
                F(*FSysPrivs, "GrantOption").SetAsBoolean(false);
            });
        }
    });
}

void TSecurityManager::RevokePrivileges(const std::string& groupName) {
    static const char* const context = "TSecurityManager.RevokePrivileges";
    RequireAdministrator(context);
    if (SameName(groupName, C_ADMIN_GROUP)) ZanDatabaseError(10123, context, C_ADMIN_GROUP);
    const int32_t groupID = GetGroupIDFromName(groupName);
    if (groupID < 0) ZanDatabaseError(8579, context, groupName);
    InTransaction([&] {
        DeleteGroupRows(*FObjPrivs, "ixGroupPriv", groupID);
        DeleteGroupRows(*FSysPrivs, "ixGroupPriv", groupID);
    });
}

} // namespace zan
