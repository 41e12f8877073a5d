// TSecurityManager: users, groups and privileges of a secured database.
//
// A database created with EnforceSecurity keeps its users, groups and privileges in four system
// tables ("$SYSTBL_SECUSERS", "$SYSTBL_SECGROUPS", "$SYSTBL_SECOBJPRIV", "$SYSTBL_SECSYSPRIV"),
// which the database opens as internal table components and hands to its security manager. The
// manager logs a user on, keeps the group and the stored privileges of the logged-on user,
// answers privilege questions and offers the administration of users, groups and privileges.
// Object names and ids go through the database's object-reference lookups.
//
// Passwords are never stored: a user row holds the SHA-1 digest of the password's bytes as five
// signed 32-bit words. Members of the group "administrators" hold every privilege without rows.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/storage/zanPrivileges.h"
#include "host/rtl/Classes.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/StringList.h"

namespace zan {

class TZanDataBase;
class TZanTable;

inline constexpr const char* C_ADMIN_GROUP = "administrators";
inline constexpr const char* C_ADMIN_USER = "administrator";
// The password the first logon as "administrator" gives that user.
inline constexpr const char* C_ADMIN_INITIAL_PASSWORD = "plinth";
// User and group names: at most 30 bytes (the fields' size).
inline constexpr int32_t C_MAX_SECURITY_NAME = 30;
// Field lists shorter than this go into FieldsShort, longer ones into FieldsLong.
inline constexpr int32_t C_FIELDS_SHORT_SIZE = 100;

// The SHA-1 digest of a password's bytes as five big-endian words, each read as a signed
// 32-bit integer (Pwd0..Pwd4). The empty password gives five zeros.
struct TZanPasswordWords {
    int32_t Words[5] = {0, 0, 0, 0, 0};
    bool operator==(const TZanPasswordWords&) const = default;
};
TZanPasswordWords ZanPasswordWords(const std::string& password);

class TSecurityManager : public TObject {
public:
    TSecurityManager() = default;
    ~TSecurityManager() override;
    TSecurityManager(const TSecurityManager&) = delete;
    TSecurityManager& operator=(const TSecurityManager&) = delete;
    ZAN_CLASS(TSecurityManager)

    // Stores the database and its four security tables (open internal table components, not
    // owned) and sets the active flag.
    void Open(TZanDataBase* db, TZanTable* users, TZanTable* sysPrivs, TZanTable* objPrivs,
              TZanTable* groups);
    // Logs off and clears the active flag and the tables.
    void Close() noexcept;
    bool GetActive() const { return FActive; }

    // Logs the user on (10036 for an unknown user, a wrong password or an expired one).
    void Logon(const std::string& userName, const std::string& password,
               const std::string& databaseName);
    void Logoff() noexcept;
    bool GetLoggedOn() const { return FLoggedOn; }
    const std::string& GetUserName() const { return FUserName; }
    const std::string& GetGroupName() const { return FGroupName; }
    int32_t GetGroupID() const { return FGroupID; }
    const std::string& GetDatabaseName() const { return FDatabaseName; }
    const TInternalPrivileges& GetInternalPrivileges() const { return FPrivileges; }
    // Whether the logged-on group is "administrators" (any case).
    bool IsAdministrator() const;

    // Administration; each needs the privilege its kind asks for (10624).
    int32_t AddGroup(const std::string& name);
    int32_t RenameGroup(const std::string& oldName, const std::string& newName);
    void DeleteGroup(const std::string& name);
    void AddUser(const std::string& userName, const std::string& password,
                 const std::string& groupName);
    void ChangePassword(const std::string& userName, const std::string& newPassword);
    void ChangeGroup(const std::string& userName, const std::string& groupName);
    void DeleteUser(const std::string& userName);
    // Both append to the list.
    void ListGroupNames(TStrings& list);
    void ListUserNames(const std::string& groupName, TStrings& list);
    // Empty when there is no such user.
    std::string GetUserGroupName(const std::string& userName);

    // The privileges of the set's group (the logged-on group when the set names none), for
    // one object or, for "", "*" or "ALL", for every object.
    void GetPrivileges(TDatabaseObjectType objectType, const std::string& objectName,
                       TPrivileges& privileges);
    void SetPrivileges(const TPrivileges& privileges, bool replace);
    void RevokePrivileges(const std::string& groupName);

    bool CheckIfLogonHasObjectPrivilege(TDatabaseObjectType objectType,
                                        const std::string& objectName,
                                        TObjectPrivilegeType privilege);
    bool CheckIfLogonHasSystemPrivilege(TSystemPrivilegeType privilege) const;
    // The privileges the logged-on group holds on an object: those naming its id, or those on
    // all objects when none does. Administrators get every bit (nullptr list).
    // Answers the OR of the constants and fills items with the rows used.
    int32_t ObjectPrivilegesFor(int32_t objectID,
                                std::vector<const TInternalObjPriv*>& items) const;
    // Whether the logged-on group holds the privilege constant on the object id (named rows
    // first, else those on all objects).
    bool HasObjectPrivilege(int32_t objectID, int32_t privilegeID) const;

    int32_t GetPasswordExpiryPeriod() const { return FExpiryPeriod; }
    void SetPasswordExpiryPeriod(int32_t days);
    void SetMinGroupNameLength(int32_t value) { FMinGroupName = value; }
    void SetMinUserNameLength(int32_t value) { FMinUserName = value; }
    void SetMinPasswordLength(int32_t value) { FMinPassword = value; }
    int32_t GetMinGroupNameLength() const { return FMinGroupName; }
    int32_t GetMinUserNameLength() const { return FMinUserName; }
    int32_t GetMinPasswordLength() const { return FMinPassword; }

    // Lookups: -1 or "" when missing. Object name "", "*" or "ALL" is AllObjectsID.
    int32_t GetGroupIDFromName(const std::string& name);
    std::string GetGroupNameFromID(int32_t id);
    int32_t GetObjectIDFromName(const std::string& name);
    std::string GetObjectNameFromID(int32_t id);

    // The clock expiry is judged by (tests set it).
    void SetClock(std::function<TDateTime()> clock) { FClock = std::move(clock); }

private:
    void CheckActive(const char* context) const;
    void RequireSystemPrivilege(int32_t constant, const char* context) const;
    void RequireAdministrator(const char* context) const;
    void CheckName(const std::string& name, int32_t minimum, const char* context) const;
    void CheckPassword(const std::string& password, const char* context) const;
    bool IsSelf(const std::string& userName) const;
    // Names equal as the unique name indexes compare them (case ignored).
    bool SameName(const std::string& a, const std::string& b) const;
    // Positions the table on the row of that name; false (nothing moved) when there is none
    // or the name cannot be stored.
    bool LocateUser(const std::string& userName);
    bool LocateGroup(const std::string& groupName);
    // The group name of the user row the users table stands on ("" when it names no group).
    bool UserIsAdministrator(const std::string& userName);
    void InsertUser(const std::string& userName, const std::string& password, int32_t groupID);
    int32_t InsertGroup(const std::string& name);
    // The password words and the change dates of the user row being written.
    void SetPasswordFields(const TZanPasswordWords& words, TDateTime now);
    void LoadPrivileges();
    // Runs f in a transaction of its own unless one is active; rolls back on failure.
    void InTransaction(const std::function<void()>& f);
    // Deletes every row of the group in a table whose index leads with GroupID.
    void DeleteGroupRows(TZanTable& table, const std::string& indexName, int32_t groupID);
    // Field names -> stored field-id list ("ALL" for every field) and back.
    std::string FieldIDsOf(const std::string& objectName, const std::string& fieldNames,
                           bool& allFields);
    std::string FieldNamesOf(const std::string& objectName, const std::string& fieldIDs);
    TDateTime Now() const;

    TZanDataBase* FDB = nullptr;
    TZanTable* FUsers = nullptr;
    TZanTable* FSysPrivs = nullptr;
    TZanTable* FObjPrivs = nullptr;
    TZanTable* FGroups = nullptr;
    bool FActive = false;
    bool FLoggedOn = false;
    int32_t FExpiryPeriod = 0;
    std::string FUserName;
    int32_t FGroupID = -1;
    std::string FGroupName;
    std::string FDatabaseName;
    TInternalPrivileges FPrivileges;
    int32_t FMinGroupName = 2;
    int32_t FMinUserName = 2;
    int32_t FMinPassword = 2;
    std::function<TDateTime()> FClock;
};

} // namespace zan
