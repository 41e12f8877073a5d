#include <gtest/gtest.h>

#include "engine/storage/zanPrivileges.h"

using namespace zan;

TEST(PrivilegeMaps, ObjectTypesAndConstantsRoundTrip) {
    const int32_t bits[] = {0, 2, 4, 8, 16, 256, 1024, 2048, 4096};
    for (int t = opNone; t <= opUpdateData; ++t) {
        auto type = static_cast<TObjectPrivilegeType>(t);
        EXPECT_EQ(MapObjectPrivTypeToConst(type), bits[t]) << t;
        EXPECT_EQ(MapObjectPrivConstToType(bits[t]), type) << t;
    }
    EXPECT_EQ(MapObjectPrivConstToType(1024), opDeleteData);
    // Gaps, combinations and foreign values all mean "none".
    for (int32_t unknown : {1, 3, 32, 512, 1024 | 2048, 8192, -1, INT32_MIN, INT32_MAX})
        EXPECT_EQ(MapObjectPrivConstToType(unknown), opNone) << unknown;
    EXPECT_EQ(MapObjectPrivTypeToConst(static_cast<TObjectPrivilegeType>(9)), 0);
    EXPECT_EQ(MapObjectPrivTypeToConst(static_cast<TObjectPrivilegeType>(255)), 0);
}

TEST(PrivilegeMaps, SystemTypesAndConstantsRoundTrip) {
    const int32_t bits[] = {0, 1, 2, 8, 16};
    for (int t = spNone; t <= spEditGroups; ++t) {
        auto type = static_cast<TSystemPrivilegeType>(t);
        EXPECT_EQ(MapSystemPrivTypeToConst(type), bits[t]) << t;
        EXPECT_EQ(MapSystemPrivConstToType(bits[t]), type) << t;
    }
    EXPECT_EQ(MapSystemPrivConstToType(16), spEditGroups);
    for (int32_t unknown : {4, 3, 32, 256, -16})
        EXPECT_EQ(MapSystemPrivConstToType(unknown), spNone) << unknown;
    EXPECT_EQ(MapSystemPrivTypeToConst(static_cast<TSystemPrivilegeType>(5)), 0);
}

TEST(PrivilegeMaps, DisplayTexts) {
    EXPECT_EQ(ObjectPrivilegeTypeName(opNone), "None");
    EXPECT_EQ(ObjectPrivilegeTypeName(opCreateObj), "Create Object");
    EXPECT_EQ(ObjectPrivilegeTypeName(opExecuteObj), "Open object");
    EXPECT_EQ(ObjectPrivilegeTypeName(opAlterObj), "Alter Object");
    EXPECT_EQ(ObjectPrivilegeTypeName(opInsertData), "Insert data");
    EXPECT_EQ(ObjectPrivilegeTypeName(opUpdateData), "Update data");
    EXPECT_EQ(ObjectPrivilegeTypeName(static_cast<TObjectPrivilegeType>(9)), "");
    EXPECT_EQ(SystemPrivilegeTypeName(spViewUsers), "View users");
    EXPECT_EQ(SystemPrivilegeTypeName(spEditGroups), "Edit groups");
    EXPECT_EQ(SystemPrivilegeTypeName(static_cast<TSystemPrivilegeType>(5)), "");
}

namespace {
TObjectPrivilege* AddObjPriv(TObjectPrivileges& list, TDatabaseObjectType objectType,
                             const std::string& name, TObjectPrivilegeType type,
                             const std::string& fields = "") {
    TObjectPrivilege* item = list.Add();
    item->SetObjectType(objectType);
    item->SetObjectName(name);
    item->SetPrivilegeType(type);
    item->SetFields(fields);
    return item;
}
} // namespace

TEST(ObjectPrivileges, FindIsExactAndFirstWins) {
    TObjectPrivileges list;
    TObjectPrivilege* first = AddObjPriv(list, doTable, "Orders", opReadData, "a");
    AddObjPriv(list, doTable, "Orders", opReadData, "b");
    TObjectPrivilege* upd = AddObjPriv(list, doTable, "Orders", opUpdateData);
    AddObjPriv(list, doNone, "Customers", opReadData);

    EXPECT_EQ(list.FindPrivilege(doTable, "Orders", opReadData), first);
    EXPECT_EQ(list.FindPrivilege(doTable, "Orders", opUpdateData), upd);
    EXPECT_EQ(list.FindPrivilege(doTable, "orders", opReadData), nullptr);
    EXPECT_EQ(list.FindPrivilege(doTable, "Orders ", opReadData), nullptr);
    EXPECT_EQ(list.FindPrivilege(doTable, "Orders", opInsertData), nullptr);
    EXPECT_EQ(list.FindPrivilege(doTable, "Customers", opReadData), nullptr); // other type

    EXPECT_TRUE(list.CheckForNamedObjectPrivileges(doTable, "Orders"));
    EXPECT_FALSE(list.CheckForNamedObjectPrivileges(doTable, "ORDERS"));
    EXPECT_FALSE(list.CheckForNamedObjectPrivileges(doTable, "Customers"));
    EXPECT_TRUE(list.CheckForNamedObjectPrivileges(doNone, "Customers"));
    EXPECT_FALSE(TObjectPrivileges().CheckForNamedObjectPrivileges(doTable, ""));
}

TEST(ObjectPrivileges, AssignCopiesEveryProperty) {
    TObjectPrivileges list;
    TObjectPrivilege* source = AddObjPriv(list, doTable, "Orders", opAlterObj, "Name,\"Due date\"");
    source->SetGrantOption(true);

    TObjectPrivileges copy;
    copy.Assign(list);
    ASSERT_EQ(copy.Count(), 1);
    const TObjectPrivilege* item = copy.Items(0);
    EXPECT_TRUE(item->GetGrantOption());
    EXPECT_EQ(item->GetFields(), "Name,\"Due date\"");
    EXPECT_EQ(item->GetPrivilegeType(), opAlterObj);
    EXPECT_EQ(item->GetObjectType(), doTable);
    EXPECT_EQ(item->GetObjectName(), "Orders");

    TSystemPrivileges other;
    EXPECT_ANY_THROW(copy.Items(0)->Assign(*other.Add()));
}

TEST(Privileges, SystemFindAndClear) {
    TPrivileges set;
    set.SetGroupName("clerks");
    TSystemPrivilege* view = set.GetSystemPrivileges().Add();
    view->SetPrivilegeType(spViewUsers);
    set.GetSystemPrivileges().Add()->SetPrivilegeType(spViewUsers);
    AddObjPriv(set.GetObjectPrivileges(), doTable, "ALL", opReadData);

    EXPECT_EQ(set.GetSystemPrivileges().FindPrivilege(spViewUsers), view);
    EXPECT_EQ(set.GetSystemPrivileges().FindPrivilege(spEditUsers), nullptr);

    set.ClearPrivileges();
    EXPECT_EQ(set.GetSystemPrivileges().Count(), 0);
    EXPECT_EQ(set.GetObjectPrivileges().Count(), 0);
    EXPECT_EQ(set.GetGroupName(), "clerks");
}

namespace {
TInternalObjPriv* AddInternal(TInternalObjPrivs& list, int32_t objectID, int32_t privilegeID,
                              bool allFields, const std::string& fields) {
    TInternalObjPriv* item = list.Add();
    item->SetObjectType(doTable);
    item->SetObjectID(objectID);
    item->SetPrivilegeID(privilegeID);
    item->SetFields(allFields, fields);
    return item;
}
} // namespace

TEST(InternalObjPrivs, FieldLimitedChecks) {
    TInternalObjPrivs list;
    const int32_t update = MapObjectPrivTypeToConst(opUpdateData);
    const int32_t read = MapObjectPrivTypeToConst(opReadData);
    AddInternal(list, 7, update, false, "2,5");
    AddInternal(list, 7, read, true, "ALL");
    AddInternal(list, 8, update, false, "\"12\", 3");

    EXPECT_TRUE(list.CheckPrivilegeAndFieldID(7, update, 5));
    EXPECT_TRUE(list.CheckPrivilegeAndFieldID(7, update, 2));
    EXPECT_FALSE(list.CheckPrivilegeAndFieldID(7, update, 3));
    EXPECT_FALSE(list.CheckPrivilegeAndFieldID(7, update, 25)); // not a prefix match
    EXPECT_TRUE(list.CheckPrivilegeAndFieldID(7, read, 3));
    EXPECT_TRUE(list.CheckPrivilegeAndFieldID(7, read, 1000));
    EXPECT_FALSE(list.CheckPrivilegeAndFieldID(9, read, 3));   // no such object
    EXPECT_FALSE(list.CheckPrivilegeAndFieldID(7, 1024, 3));   // no such privilege
    EXPECT_TRUE(list.CheckPrivilegeAndFieldID(8, update, 12)); // quoted item
    EXPECT_TRUE(list.CheckPrivilegeAndFieldID(8, update, 3));  // blank after comma
    EXPECT_FALSE(list.CheckPrivilegeAndFieldID(8, update, 1));

    EXPECT_TRUE(list.CheckPrivilegeExists(7, update));
    EXPECT_FALSE(list.CheckPrivilegeExists(8, read));
    EXPECT_EQ(list.FindPrivilege(8, update)->GetFieldIDs().Count(), 2);

    // Re-setting the fields replaces the list; an empty list grants no field.
    TInternalObjPriv* item = list.FindPrivilege(7, update);
    item->SetFields(false, "");
    EXPECT_FALSE(item->GetAllFields());
    EXPECT_FALSE(list.CheckPrivilegeAndFieldID(7, update, 5));
    EXPECT_TRUE(list.CheckPrivilegeExists(7, update));
}

TEST(InternalObjPrivs, MaskCombinesOnlyAllObjectsItems) {
    TInternalObjPrivs list;
    AddInternal(list, AllObjectsID, 2, true, "ALL");
    AddInternal(list, AllObjectsID, 2048, true, "ALL");
    AddInternal(list, 1, 4096, true, "ALL"); // the first table, not "all objects"
    AddInternal(list, 7, 256, false, "1");
    EXPECT_EQ(list.GetMask(), 0); // only SetMasks computes it
    list.SetMasks();
    EXPECT_EQ(list.GetMask(), 2 | 2048);

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.GetMask(), 0);
}

TEST(InternalSysPrivs, MaskFindAndClear) {
    TInternalPrivileges privileges;
    TInternalSysPrivs& sys = privileges.GetSystemPrivileges();
    for (TSystemPrivilegeType t : {spViewUsers, spViewGroups, spViewGroups}) {
        TInternalSysPriv* item = sys.Add();
        item->SetPrivilegeID(MapSystemPrivTypeToConst(t));
    }
    sys.SetMask();
    EXPECT_EQ(sys.GetMask(), 1 | 8);
    EXPECT_TRUE(sys.CheckPrivilegeExists(8));
    EXPECT_FALSE(sys.CheckPrivilegeExists(2));
    EXPECT_EQ(sys.FindPrivilege(8), sys.Items(1));

    AddInternal(privileges.GetObjectPrivileges(), AllObjectsID, 2048, true, "ALL");
    privileges.GetObjectPrivileges().SetMasks();
    ASSERT_EQ(privileges.GetObjectPrivileges().GetMask(), 2048);

    // Logging off must leave no right behind, masks included.
    privileges.Clear();
    EXPECT_EQ(sys.Count(), 0);
    EXPECT_EQ(sys.GetMask(), 0);
    EXPECT_EQ(privileges.GetObjectPrivileges().Count(), 0);
    EXPECT_EQ(privileges.GetObjectPrivileges().GetMask(), 0);
}
