// TZanDataBase: the security tables, the secured logon, table privileges on open and the
// engine's own table components over system tables.
#include "engine/dataset/zanDatabase.h"

#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

const char* const C_SECUSERS = "$SYSTBL_SECUSERS";
const char* const C_SECGROUPS = "$SYSTBL_SECGROUPS";
const char* const C_SECOBJPRIV = "$SYSTBL_SECOBJPRIV";
const char* const C_SECSYSPRIV = "$SYSTBL_SECSYSPRIV";
// String fields keep a terminator.
constexpr int32_t C_SECURITY_NAME_SIZE = C_MAX_SECURITY_NAME + 1;

bool IsReservedName(const std::string& name) { return !name.empty() && name[0] == '$'; }

} // namespace

// ---------------------------------------------------------------------------------------------
// Security tables

void TZanDataBase::BeginSystemTableDef(TTableDef& def, const char* name,
                                       TEncryptionLevel level) const {
    def.Clear();
    def.SetTableName(name);
    def.SetInternalTable(true);
    def.SetSortOrder(FDefaultSortOrder);
    def.SetEncryptionLevel(level);
    def.SetEncrypted(level != encNone);
}

void TZanDataBase::SetDefaultLayout(TTableDef& def) {
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
}

void TZanDataBase::CreateSecurityTables() {
    static const char* const context = "TZanDataBase.CreateSecurityTables";
    if (!FLocked)
        ZanDatabaseError(8581, context, "Database header not locked prior to system change");
    TTableDef def;
    // Users and privileges are always enciphered with the master key.
    auto start = [&](const char* name) { BeginSystemTableDef(def, name, encStrong); };
    auto create = [&] { SetDefaultLayout(def); };
    start(C_SECGROUPS);
    AddTableField(def, "GroupID", ftAutoInc);
    AddTableField(def, "GroupName", ftString, C_SECURITY_NAME_SIZE);
    create();
    AddTableIndex(def, "ixGroupName", "GroupName", true, true);
    AddTableIndex(def, "ixGroupID", "GroupID", true, true);
    InternalCreateTable(def);

    start(C_SECUSERS);
    AddTableField(def, "UserID", ftAutoInc);
    AddTableField(def, "UserName", ftString, C_SECURITY_NAME_SIZE);
    for (const char* pwd : {"Pwd0", "Pwd1", "Pwd2", "Pwd3", "Pwd4"})
        AddTableField(def, pwd, ftInteger);
    AddTableField(def, "GroupID", ftInteger);
    AddTableField(def, "DateCreated", ftDateTime);
    AddTableField(def, "DateLastModified", ftDateTime);
    AddTableField(def, "DateLastPWordChange", ftDateTime);
    create();
    AddTableIndex(def, "ixUserName", "UserName", true, true);
    AddTableIndex(def, "ixGroupUsers", "GroupID;UserName", false, true);
    AddTableIndex(def, "ixPasswordAge", "DateLastPWordChange", false, true);
    InternalCreateTable(def);

    start(C_SECOBJPRIV);
    for (const char* field : {"GroupID", "ObjectType", "ObjectID", "PrivilegeID"})
        AddTableField(def, field, ftInteger);
    AddTableField(def, "ALL", ftBoolean);
    AddTableField(def, "FieldsShort", ftString, C_FIELDS_SHORT_SIZE);
    AddTableField(def, "FieldsLong", ftMemo);
    AddTableField(def, "GrantOption", ftBoolean);
    def.SetUsesBlobs(true);
    def.SetDefaultBlobSize(C_DEFAULT_BLOB_SIZE);
    create();
    AddTableIndex(def, "ixGroupPriv", "GroupID;ObjectType;ObjectID;PrivilegeID", true, true);
    InternalCreateTable(def);

    start(C_SECSYSPRIV);
    AddTableField(def, "GroupID", ftInteger);
    AddTableField(def, "PrivilegeID", ftInteger);
    AddTableField(def, "GrantOption", ftBoolean);
    create();
    AddTableIndex(def, "ixGroupPriv", "GroupID;PrivilegeID", true, true);
    InternalCreateTable(def);
}

void TZanDataBase::OpenSecurityTables() {
    // A file marked secured whose security tables are missing cannot be logged on to.
    for (const char* name : {C_SECUSERS, C_SECSYSPRIV, C_SECOBJPRIV, C_SECGROUPS}) {
        try {
            FSecurityTables.push_back(OpenInternalTable(name, ""));
        } catch (const EZanDatabaseError& e) {
            if (e.ErrorCode != 10024) throw;
            ZanDatabaseError(10015, "TZanDataBase.OpenSecurityTables", name);
        }
    }
    FSecurityManager->Open(this, FSecurityTables[0].get(), FSecurityTables[1].get(),
                           FSecurityTables[2].get(), FSecurityTables[3].get());
}

void TZanDataBase::CloseSecurityTables() noexcept {
    FSecurityManager->Close();
    FSecurityTables.clear();
}

// ---------------------------------------------------------------------------------------------
// Logon

void TZanDataBase::SecuredLogon(TZanLoginCredentials& login) {
    // Only a refused logon asks again; any other failure ends the connect.
    std::string message;
    auto attempt = [&] {
        try {
            FSecurityManager->Logon(login.UserName, login.Password, FDataBaseName);
            return true;
        } catch (const EZanDatabaseError& e) {
            if (e.ErrorCode != 10036 || BeforeLogin) throw;
            message = e.Message();
            return false;
        }
    };
    // The values given are tried twice before the first failure is shown.
    if (attempt() || attempt()) return;
    TZanLoginPrompt& prompt = FLoginPrompt ? *FLoginPrompt : GetDefaultLoginPrompt();
    for (;;) {
        prompt.ShowError(message);
        if (!ShowZanLoginDialog(prompt, FDataBaseName, C_LOGIN_USER, login.MasterKey,
                                login.UserName, login.Password))
            ZanDatabaseError(10015, "TZanDataBase.SecuredLogon");
        if (attempt()) return;
    }
}

void TZanDataBase::LoadDatabasePrivileges() {
    FPrivileges->ClearPrivileges();
    FPrivileges->SetGroupName(FSecurityManager->GetGroupName());
    FSecurityManager->GetPrivileges(doTable, "", *FPrivileges);
    int32_t mask = 0;
    const TSystemPrivileges& system = FPrivileges->GetSystemPrivileges();
    for (int i = 0; i < system.Count(); ++i)
        mask |= MapSystemPrivTypeToConst(system.Items(i)->GetPrivilegeType());
    FDBPrivilegeMask = mask;
}

// ---------------------------------------------------------------------------------------------
// Privileges

void TZanDataBase::CheckSystemTableOpen(const std::string& name, bool memory,
                                        bool internalOpener) const {
    if (internalOpener || memory || IsMemoryDatabase() || !IsReservedName(name) ||
        !NeedSecurity())
        return;
    if (!FSecurityManager->IsAdministrator())
        ZanDatabaseError(10624, "TZanDataBase.OpenTable", name);
}

int32_t TZanDataBase::CheckOpenPrivilege(const std::string& name, const TTableDef& def) {
    static const char* const context = "TZanDataBase.OpenTable";
    if (!NeedSecurity() || def.GetInternalTable() || def.GetMemory() || IsMemoryDatabase() ||
        FSecurityManager->IsAdministrator())
        return -1;
    const int32_t id = GetObjectID(name);
    if (id < 0) ZanDatabaseError(8579, context, name);
    if (!FSecurityManager->HasObjectPrivilege(id, MapObjectPrivTypeToConst(opExecuteObj)))
        ZanDatabaseError(10624, context, name);
    return id;
}

void TZanDataBase::ApplyTablePrivileges(TTableDef& def, int32_t objectID) const {
    if (objectID < 0) {
        GrantAll(def);
        return;
    }
    std::vector<const TInternalObjPriv*> items;
    def.SetPrivilegeFlags(FSecurityManager->ObjectPrivilegesFor(objectID, items));
    // A privilege listing fields gives its bit to those fields only.
    TInternalFields& fields = *def.GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i) {
        TInternalFieldItem& field = *fields.Items(i);
        const std::string id = IntToStr(field.GetFieldNo());
        int32_t flags = 0;
        for (const TInternalObjPriv* item : items)
            if (item->GetAllFields() || item->GetFieldIDs().IndexOf(id) >= 0)
                flags |= item->GetPrivilegeID();
        field.SetPrivilegeFlags(flags);
    }
}

bool TZanDataBase::QueryObjectPrivilegeExists(TDatabaseObjectType objectType,
                                              const std::string& name, int32_t privilege) {
    static const char* const context = "TZanDataBase.QueryObjectPrivilegeExists";
    CheckConnected(true);
    if (!NeedSecurity()) return true;
    if (objectType != doTable) ZanDatabaseError(8579, context, name);
    const int32_t id = SameText(name, "ALL") ? AllObjectsID : GetObjectID(name);
    if (id < 0) ZanDatabaseError(8579, context, name);
    return FSecurityManager->HasObjectPrivilege(id, privilege);
}

std::string TZanDataBase::GetObjectName(int32_t id) {
    CheckConnected(false);
    if (!FObjectIDRef) return std::string();
    FObjectIDRef->SetIndexName("ixObjectID");
    if (!FObjectIDRef->FindKey({Variant(id)})) return std::string();
    return FObjectIDRef->FieldByName("ObjectName")->GetAsString();
}

void TZanDataBase::AddObjectReference(int32_t id, const std::string& name) {
    TZanTable& refs = *FObjectIDRef;
    refs.Append();
    try {
        refs.FieldByName("ObjectID")->SetAsInteger(id);
        refs.FieldByName("ObjectName")->SetAsString(name);
        refs.Post();
    } catch (...) {
        refs.Cancel();
        throw;
    }
}

} // namespace zan
