// Helpers of the database tests: databases of each security level and a sample user table.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/win/child_process.h"
#include "support/zanOpenTable.h"
#include "support/zanTestSupport.h"

namespace zan {

inline const std::string C_TEST_KEY = "open sesame";

// A database component on path: level 0 plain, 1 encrypted, 2 encrypted and secured (both
// with C_TEST_KEY as master key). Short lock retries.
inline std::unique_ptr<TZanDataBase> NewDatabase(const std::string& path, int level = 0) {
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName(path);
    db->SetLockRetryMaximum(200);
    db->SetLockRetryInterval(5);
    if (level >= 2) db->SetEnforceSecurity(true);
    if (level >= 1) {
        db->SetUseEncryption(true);
        db->SetMasterKey(C_TEST_KEY);
    }
    return db;
}

inline void CreateDatabaseFile(const std::string& path, int level = 0) {
    NewDatabase(path, level)->CreateDatabase();
}

inline void CreateUserTable(TZanDataBase& db, const std::string& name, bool memory = false) {
    TTableDef def;
    BuildUserTableDef(def, name, memory);
    db.CreateTable(def, false);
}

// A new plain file holding the user tables named.
inline void CreateFileWithTables(const std::string& path, const std::vector<std::string>& names) {
    CreateDatabaseFile(path);
    auto db = NewDatabase(path);
    db->Open();
    for (const std::string& name : names)
        CreateUserTable(*db, name);
}

// The connections the users file counts for all users of the database's file.
inline int32_t ConnectionCount(TZanDataBase& db) {
    std::vector<std::string> lines;
    db.GetDiskMgr()->GetUserMonitor()->DebugDumpStatus(lines);
    int32_t total = 0;
    for (const std::string& line : lines) {
        const size_t at = line.find(" - connections ");
        if (at != std::string::npos) total += std::stoi(line.substr(at + 15));
    }
    return total;
}

inline std::vector<std::string> TableNames(TZanDataBase& db, bool system = false) {
    TStringList list;
    if (system)
        db.GetSystemTableNames(list);
    else
        db.GetTableNames(list);
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i)
        names.push_back(list.Get(i));
    return names;
}

} // namespace zan
