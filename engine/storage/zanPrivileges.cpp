#include "engine/storage/zanPrivileges.h"

#include <iterator>

#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

// Bit constants by ordinal. Both sets have gaps (no 512 for objects, no 4 for the system), so
// they are a table and not a shift.
constexpr int32_t ObjectPrivConsts[] = {0, 2, 4, 8, 16, 256, 1024, 2048, 4096};
constexpr int32_t SystemPrivConsts[] = {0, 1, 2, 8, 16};

constexpr std::string_view ObjectPrivNames[] = {"None",        "Create Object", "Delete Object",
                                                "Open object", "Alter Object",  "Insert data",
                                                "Delete data", "Read data",     "Update data"};
constexpr std::string_view SystemPrivNames[] = {"None", "View users", "Edit users", "View groups",
                                                "Edit groups"};

static_assert(std::size(ObjectPrivConsts) == opUpdateData + 1);
static_assert(std::size(ObjectPrivNames) == opUpdateData + 1);
static_assert(std::size(SystemPrivConsts) == spEditGroups + 1);
static_assert(std::size(SystemPrivNames) == spEditGroups + 1);

// The ordinal whose constant is exactly `constant`; 0 (the "none" ordinal) for 0 and for any
// value that is not in the table.
template <size_t N>
size_t OrdinalOfConst(const int32_t (&table)[N], int32_t constant) {
    if (constant == 0) return 0;
    for (size_t i = 1; i < N; ++i)
        if (table[i] == constant) return i;
    return 0;
}

} // namespace

std::string_view ObjectPrivilegeTypeName(TObjectPrivilegeType value) {
    return value < std::size(ObjectPrivNames) ? ObjectPrivNames[value] : std::string_view();
}

std::string_view SystemPrivilegeTypeName(TSystemPrivilegeType value) {
    return value < std::size(SystemPrivNames) ? SystemPrivNames[value] : std::string_view();
}

int32_t MapObjectPrivTypeToConst(TObjectPrivilegeType value) {
    return value < std::size(ObjectPrivConsts) ? ObjectPrivConsts[value] : 0;
}

TObjectPrivilegeType MapObjectPrivConstToType(int32_t constant) {
    return static_cast<TObjectPrivilegeType>(OrdinalOfConst(ObjectPrivConsts, constant));
}

int32_t MapSystemPrivTypeToConst(TSystemPrivilegeType value) {
    return value < std::size(SystemPrivConsts) ? SystemPrivConsts[value] : 0;
}

TSystemPrivilegeType MapSystemPrivConstToType(int32_t constant) {
    return static_cast<TSystemPrivilegeType>(OrdinalOfConst(SystemPrivConsts, constant));
}

// ---------------------------------------------------------------------------------------------
// Public form

void TObjectPrivilege::Assign(const TCollectionItem& source) {
    const auto* other = dynamic_cast<const TObjectPrivilege*>(&source);
    if (!other) {
        TCollectionItem::Assign(source);
        return;
    }
    FGrantOption = other->FGrantOption;
    FFields = other->FFields;
    FPrivilegeType = other->FPrivilegeType;
    FObjectType = other->FObjectType;
    FObjectName = other->FObjectName;
}

TObjectPrivilege* TObjectPrivileges::FindPrivilege(TDatabaseObjectType objectType,
                                                   const std::string& objectName,
                                                   TObjectPrivilegeType privilegeType) const {
    for (int i = 0; i < Count(); ++i) {
        TObjectPrivilege* item = Items(i);
        if (item->GetObjectType() == objectType && item->GetPrivilegeType() == privilegeType &&
            item->GetObjectName() == objectName)
            return item;
    }
    return nullptr;
}

bool TObjectPrivileges::CheckForNamedObjectPrivileges(TDatabaseObjectType objectType,
                                                      const std::string& objectName) const {
    for (int i = 0; i < Count(); ++i) {
        const TObjectPrivilege* item = Items(i);
        if (item->GetObjectType() == objectType && item->GetObjectName() == objectName) return true;
    }
    return false;
}

TSystemPrivilege* TSystemPrivileges::FindPrivilege(TSystemPrivilegeType privilegeType) const {
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->GetPrivilegeType() == privilegeType) return Items(i);
    return nullptr;
}

void TPrivileges::ClearPrivileges() {
    FSystemPrivileges.Clear();
    FObjectPrivileges.Clear();
}

// ---------------------------------------------------------------------------------------------
// Internal form

void TInternalObjPriv::SetFields(bool allFields, const std::string& fieldIDs) {
    FAllFields = allFields;
    FFieldIDs.SetCommaText(fieldIDs);
}

void TInternalObjPrivs::SetMasks() {
    int32_t mask = 0;
    for (int i = 0; i < Count(); ++i) {
        const TInternalObjPriv* item = Items(i);
        if (item->GetObjectID() == AllObjectsID) mask |= item->GetPrivilegeID();
    }
    FMask = mask;
}

void TInternalObjPrivs::Clear() {
    TCollectionT<TInternalObjPriv>::Clear();
    FMask = 0;
}

TInternalObjPriv* TInternalObjPrivs::FindPrivilege(int32_t objectID, int32_t privilegeID) const {
    for (int i = 0; i < Count(); ++i) {
        TInternalObjPriv* item = Items(i);
        if (item->GetObjectID() == objectID && item->GetPrivilegeID() == privilegeID) return item;
    }
    return nullptr;
}

bool TInternalObjPrivs::CheckPrivilegeExists(int32_t objectID, int32_t privilegeID) const {
    return FindPrivilege(objectID, privilegeID) != nullptr;
}

bool TInternalObjPrivs::CheckPrivilegeAndFieldID(int32_t objectID, int32_t privilegeID,
                                                 int32_t fieldID) const {
    const TInternalObjPriv* item = FindPrivilege(objectID, privilegeID);
    if (!item) return false;
    if (item->GetAllFields()) return true;
    return item->GetFieldIDs().IndexOf(IntToStr(fieldID)) >= 0;
}

void TInternalSysPrivs::SetMask() {
    int32_t mask = 0;
    for (int i = 0; i < Count(); ++i)
        mask |= Items(i)->GetPrivilegeID();
    FMask = mask;
}

void TInternalSysPrivs::Clear() {
    TCollectionT<TInternalSysPriv>::Clear();
    FMask = 0;
}

TInternalSysPriv* TInternalSysPrivs::FindPrivilege(int32_t privilegeID) const {
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->GetPrivilegeID() == privilegeID) return Items(i);
    return nullptr;
}

bool TInternalSysPrivs::CheckPrivilegeExists(int32_t privilegeID) const {
    return FindPrivilege(privilegeID) != nullptr;
}

void TInternalPrivileges::Clear() {
    FObjectPrivileges.Clear();
    FSystemPrivileges.Clear();
}

} // namespace zan
