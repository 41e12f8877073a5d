// Privileges of users' groups in two forms. The public form (privilege lists naming objects and
// privilege types) is what the security manager reads from and writes to its tables and what
// applications see. The internal form holds each privilege as a bit constant on an object id and
// keeps the combined bit masks that datasets and the database check every operation against.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/rtl/Collections.h"
#include "host/rtl/StringList.h"

namespace zan {

enum TDatabaseObjectType : uint8_t { doNone, doTable };

// The ordinals are the stored order of the types; the bits are given by the Map functions.
enum TObjectPrivilegeType : uint8_t {
    opNone,
    opCreateObj,
    opDeleteObj,
    opExecuteObj,
    opAlterObj,
    opInsertData,
    opDeleteData,
    opReadData,
    opUpdateData
};

enum TSystemPrivilegeType : uint8_t {
    spNone,
    spViewUsers,
    spEditUsers,
    spViewGroups,
    spEditGroups
};

// The object id that stands for every object (every table) of the database.
constexpr int32_t AllObjectsID = 0;

// Display texts shown in privilege lists: "None", "Create Object", ... "Update data";
// "None", "View users", ... "Edit groups". A value outside the type gives "".
std::string_view ObjectPrivilegeTypeName(TObjectPrivilegeType value);
std::string_view SystemPrivilegeTypeName(TSystemPrivilegeType value);

// Privilege type <-> stored bit constant. opNone/spNone and values outside the type give 0; 0 and
// any constant that is not exactly one privilege's bit give opNone/spNone.
int32_t MapObjectPrivTypeToConst(TObjectPrivilegeType value);
TObjectPrivilegeType MapObjectPrivConstToType(int32_t constant);
int32_t MapSystemPrivTypeToConst(TSystemPrivilegeType value);
TSystemPrivilegeType MapSystemPrivConstToType(int32_t constant);

// ---------------------------------------------------------------------------------------------
// Public form

// A privilege on a named object, possibly limited to some of its fields.
class TObjectPrivilege : public TCollectionItem {
public:
    ZAN_CLASS(TObjectPrivilege)

    bool GetGrantOption() const { return FGrantOption; }
    void SetGrantOption(bool value) { FGrantOption = value; }
    // Comma-separated field names the privilege is limited to.
    const std::string& GetFields() const { return FFields; }
    void SetFields(const std::string& value) { FFields = value; }
    TObjectPrivilegeType GetPrivilegeType() const { return FPrivilegeType; }
    void SetPrivilegeType(TObjectPrivilegeType value) { FPrivilegeType = value; }
    TDatabaseObjectType GetObjectType() const { return FObjectType; }
    void SetObjectType(TDatabaseObjectType value) { FObjectType = value; }
    const std::string& GetObjectName() const { return FObjectName; }
    void SetObjectName(const std::string& value) { FObjectName = value; }

    // Copies all five properties from another TObjectPrivilege.
    void Assign(const TCollectionItem& source) override;

private:
    bool FGrantOption = false;
    std::string FFields;
    TObjectPrivilegeType FPrivilegeType = opNone;
    TDatabaseObjectType FObjectType = doNone;
    std::string FObjectName;
};

class TObjectPrivileges : public TCollectionT<TObjectPrivilege> {
public:
    ZAN_CLASS(TObjectPrivileges)

    // The first item of that object type and privilege type whose object name is exactly
    // objectName (case counts), or nullptr.
    TObjectPrivilege* FindPrivilege(TDatabaseObjectType objectType, const std::string& objectName,
                                    TObjectPrivilegeType privilegeType) const;
    // Whether any item names that object (same type, exactly that name).
    bool CheckForNamedObjectPrivileges(TDatabaseObjectType objectType,
                                       const std::string& objectName) const;
};

class TSystemPrivilege : public TCollectionItem {
public:
    ZAN_CLASS(TSystemPrivilege)

    bool GetGrantOption() const { return FGrantOption; }
    void SetGrantOption(bool value) { FGrantOption = value; }
    TSystemPrivilegeType GetPrivilegeType() const { return FPrivilegeType; }
    void SetPrivilegeType(TSystemPrivilegeType value) { FPrivilegeType = value; }

private:
    bool FGrantOption = false;
    TSystemPrivilegeType FPrivilegeType = spNone;
};

class TSystemPrivileges : public TCollectionT<TSystemPrivilege> {
public:
    ZAN_CLASS(TSystemPrivileges)

    // The first item of that type, or nullptr.
    TSystemPrivilege* FindPrivilege(TSystemPrivilegeType privilegeType) const;
};

// The privileges of one group.
class TPrivileges : public TObject {
public:
    TPrivileges() = default;
    TPrivileges(const TPrivileges&) = delete;
    TPrivileges& operator=(const TPrivileges&) = delete;
    ZAN_CLASS(TPrivileges)

    TSystemPrivileges& GetSystemPrivileges() { return FSystemPrivileges; }
    const TSystemPrivileges& GetSystemPrivileges() const { return FSystemPrivileges; }
    TObjectPrivileges& GetObjectPrivileges() { return FObjectPrivileges; }
    const TObjectPrivileges& GetObjectPrivileges() const { return FObjectPrivileges; }
    const std::string& GetGroupName() const { return FGroupName; }
    void SetGroupName(const std::string& value) { FGroupName = value; }

    // Empties both lists; the group name stays.
    void ClearPrivileges();

private:
    TSystemPrivileges FSystemPrivileges;
    TObjectPrivileges FObjectPrivileges;
    std::string FGroupName;
};

// ---------------------------------------------------------------------------------------------
// Internal form

// One object privilege as stored: a bit constant on an object id (a table id, or AllObjectsID),
// on all fields or on the listed field ids.
class TInternalObjPriv : public TCollectionItem {
public:
    ZAN_CLASS(TInternalObjPriv)

    bool GetGrantOption() const { return FGrantOption; }
    void SetGrantOption(bool value) { FGrantOption = value; }
    int32_t GetPrivilegeID() const { return FPrivilegeID; }
    void SetPrivilegeID(int32_t value) { FPrivilegeID = value; }
    int32_t GetObjectID() const { return FObjectID; }
    void SetObjectID(int32_t value) { FObjectID = value; }
    bool GetAllFields() const { return FAllFields; }
    void SetAllFields(bool value) { FAllFields = value; }
    // Field numbers as decimal text, one per line.
    TStringList& GetFieldIDs() { return FFieldIDs; }
    const TStringList& GetFieldIDs() const { return FFieldIDs; }
    TDatabaseObjectType GetObjectType() const { return FObjectType; }
    void SetObjectType(TDatabaseObjectType value) { FObjectType = value; }

    // Sets the all-fields flag and replaces the field ids with those of the comma text
    // (quoted items allowed, blanks separate too).
    void SetFields(bool allFields, const std::string& fieldIDs);

private:
    bool FGrantOption = false;
    int32_t FPrivilegeID = 0;
    int32_t FObjectID = 0;
    bool FAllFields = false;
    TStringList FFieldIDs;
    TDatabaseObjectType FObjectType = doNone;
};

// The object privileges of a group and the mask of the privileges it holds on all objects.
class TInternalObjPrivs : public TCollectionT<TInternalObjPriv> {
public:
    ZAN_CLASS(TInternalObjPrivs)

    // The OR of the privilege constants held on AllObjectsID, as of the last SetMasks.
    int32_t GetMask() const { return FMask; }
    // Recomputes the mask from the items.
    void SetMasks();
    // Empties the list and the mask.
    void Clear();

    // The first item with that object id and privilege constant, or nullptr.
    TInternalObjPriv* FindPrivilege(int32_t objectID, int32_t privilegeID) const;
    bool CheckPrivilegeExists(int32_t objectID, int32_t privilegeID) const;
    // Whether the first item with that object id and privilege constant covers the field.
    bool CheckPrivilegeAndFieldID(int32_t objectID, int32_t privilegeID, int32_t fieldID) const;

private:
    int32_t FMask = 0;
};

class TInternalSysPriv : public TCollectionItem {
public:
    ZAN_CLASS(TInternalSysPriv)

    bool GetGrantOption() const { return FGrantOption; }
    void SetGrantOption(bool value) { FGrantOption = value; }
    int32_t GetPrivilegeID() const { return FPrivilegeID; }
    void SetPrivilegeID(int32_t value) { FPrivilegeID = value; }

private:
    bool FGrantOption = false;
    int32_t FPrivilegeID = 0;
};

// The system privileges of a group and the mask of all of them.
class TInternalSysPrivs : public TCollectionT<TInternalSysPriv> {
public:
    ZAN_CLASS(TInternalSysPrivs)

    // The OR of every item's privilege constant, as of the last SetMask.
    int32_t GetMask() const { return FMask; }
    void SetMask();
    // Empties the list and the mask.
    void Clear();

    TInternalSysPriv* FindPrivilege(int32_t privilegeID) const;
    bool CheckPrivilegeExists(int32_t privilegeID) const;

private:
    int32_t FMask = 0;
};

// The stored privileges of the logged-on group.
class TInternalPrivileges : public TObject {
public:
    TInternalPrivileges() = default;
    TInternalPrivileges(const TInternalPrivileges&) = delete;
    TInternalPrivileges& operator=(const TInternalPrivileges&) = delete;
    ZAN_CLASS(TInternalPrivileges)

    TInternalObjPrivs& GetObjectPrivileges() { return FObjectPrivileges; }
    const TInternalObjPrivs& GetObjectPrivileges() const { return FObjectPrivileges; }
    TInternalSysPrivs& GetSystemPrivileges() { return FSystemPrivileges; }
    const TInternalSysPrivs& GetSystemPrivileges() const { return FSystemPrivileges; }

    // Empties both lists and both masks, so nothing of a former group stays granted.
    void Clear();

private:
    TInternalObjPrivs FObjectPrivileges;
    TInternalSysPrivs FSystemPrivileges;
};

} // namespace zan
