// Tables of the query tests: a "MEMORY" database (or a file one) with tables made from field
// and index lists and filled with rows of Variants.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "host/rtl/Variants.h"
#include "support/zanQueryRunner.h"

namespace zan {

struct TTestField {
    std::string Name;
    TFieldType Type;
    int Size = 0;
};

struct TTestIndex {
    std::string Name;
    std::string Fields;
    TIndexOptions Options;
};

inline std::unique_ptr<TZanDataBase> NewQueryDatabase(const std::string& name = "MEMORY") {
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName(name);
    db->Open();
    return db;
}

inline void CreateTestTable(TZanDataBase& db, const std::string& name,
                            const std::vector<TTestField>& fields,
                            const std::vector<TTestIndex>& indexes,
                            const std::vector<std::vector<Variant>>& rows,
                            TSortOrder order = soANSI) {
    TZanTable t;
    t.SetSortOrder(order);
    t.SetDataBase(&db);
    t.SetTableName(name);
    t.SetMemory(db.IsMemoryDatabase());
    for (const TTestField& f : fields) t.GetFieldDefs().Add(f.Name, f.Type, f.Size);
    for (const TTestIndex& i : indexes) t.GetIndexDefs().Add(i.Name, i.Fields, i.Options);
    t.CreateTable();
    t.Open();
    for (const auto& row : rows) {
        t.Append();
        for (size_t i = 0; i < row.size(); ++i)
            if (!VarIsNull(row[i])) t.GetFields().Fields(int(i))->SetAsVariant(row[i]);
        t.Post();
    }
    t.Close();
}

} // namespace zan
