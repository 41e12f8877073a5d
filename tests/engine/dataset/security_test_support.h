// Helpers of the security tests: a secured database file with its administrator, connections
// as a given user, and a user table with privileges.
#pragma once

#include <string>

#include "dataset_test_support.h"

namespace zan {

// A connection to path logged on as user (BeforeLogin gives the names and the key).
inline std::unique_ptr<TZanDataBase> ConnectAs(const std::string& path, const std::string& user,
                                               const std::string& password) {
    auto db = NewDatabase(path, 2);
    db->BeforeLogin = [user, password](TObject*, std::string& u, std::string& p, std::string&) {
        u = user;
        p = password;
    };
    db->Open();
    return db;
}

// A new secured file whose administrator has logged on once (password "plinth" since).
inline void CreateSecuredFile(const std::string& path) {
    CreateDatabaseFile(path, 2);
    ConnectAs(path, C_ADMIN_USER, "anything")->Close();
}

// The connect's error code as user.
inline int32_t ConnectCode(const std::string& path, const std::string& user,
                           const std::string& password) {
    return ErrorCodeOf([&] { ConnectAs(path, user, password); });
}

// Grants group the object privileges on table (fields: "" all, else a list), replacing none.
inline void Grant(TSecurityManager& sm, const std::string& group, const std::string& table,
                  std::initializer_list<TObjectPrivilegeType> types,
                  const std::string& fields = "") {
    TPrivileges set;
    set.SetGroupName(group);
    for (TObjectPrivilegeType t : types) {
        TObjectPrivilege* p = set.GetObjectPrivileges().Add();
        p->SetObjectType(doTable);
        p->SetObjectName(table);
        p->SetPrivilegeType(t);
        p->SetFields(fields);
    }
    sm.SetPrivileges(set, false);
}

inline void GrantSystem(TSecurityManager& sm, const std::string& group,
                        std::initializer_list<TSystemPrivilegeType> types) {
    TPrivileges set;
    set.SetGroupName(group);
    for (TSystemPrivilegeType t : types)
        set.GetSystemPrivileges().Add()->SetPrivilegeType(t);
    sm.SetPrivileges(set, false);
}

} // namespace zan
