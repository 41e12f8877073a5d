// The consistency checker run over a connected database's tables.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "support/zanChecker.h"

namespace zan {

// The checker over the named tables and the system tables; answers the problems found as one
// text (empty when they are whole).
inline std::string CheckTables(TZanDataBase& db, const std::vector<std::string>& names) {
    std::vector<std::unique_ptr<TTableDef>> defs;
    std::vector<const TTableDef*> list;
    std::vector<std::string> all{"$SYSTBL_OBJECTIDREF", "$SYSTBL_INTGENERATOR"};
    all.insert(all.end(), names.begin(), names.end());
    for (const std::string& name : all) {
        defs.push_back(std::make_unique<TTableDef>());
        db.OpenTable(name, *defs.back());
        list.push_back(defs.back().get());
    }
    const auto problems = CheckDatabase(*db.GetDiskMgr(), list);
    for (auto& d : defs)
        db.CloseTable(*d);
    return ProblemText(problems);
}

// The checker over every table of the file, the system tables included.
inline std::string CheckFile(TZanDataBase& db) {
    TStringList names;
    db.GetTableNames(names);
    std::vector<std::string> all;
    for (int i = 0; i < names.Count(); ++i)
        all.push_back(names.Get(i));
    return CheckTables(db, all);
}

} // namespace zan
