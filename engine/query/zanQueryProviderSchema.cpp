// Schema statements of the query provider: CREATE TABLE, ALTER TABLE, CREATE INDEX, DROP TABLE
// and DROP INDEX through the table component and the database's catalogue.
#include "engine/query/zanQueryProvider.h"

#include <algorithm>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanRestructure.h"
#include "host/rtl/ScopeExit.h"

namespace zan {

namespace {

// Refuses a unique index over rows that share a key (NULLs count as equal values, as in the
// table's unique indexes): the restructure would leave such rows out of every index, so they
// would vanish from the table's queries. Keys compare as the table's indexes compare them
// (strings in the table's sort order).
// An ALTER TABLE field that is NOT NULL and was not before (an added one among them) must have a
// value in every row: refused (9732) before anything changes. A restructure that keeps the record
// layout would otherwise leave the rows' NULLs under the new rule, and every later UPDATE of
// those rows would be refused for a field it does not name.
void CheckRequiredOverRows(TZanTable& table, TRestructureFieldDefs& fieldDefs,
                           TInternalFields& present) {
    std::vector<std::pair<std::string, TField*>> checked;
    for (int i = 0; i < fieldDefs.Count(); ++i) {
        const TRestructureFieldDef& d = fieldDefs.Items(i);
        if (!d.GetRequired() || d.GetDataType() == ftAutoInc) continue;
        const std::string& source =
            d.GetSourceFieldName().empty() ? d.GetName() : d.GetSourceFieldName();
        const TInternalFieldItem* before = present.FindField(source);
        if (before != nullptr && before->GetRequired()) continue;
        checked.emplace_back(d.GetName(), before ? table.FieldByName(source) : nullptr);
    }
    if (checked.empty()) return;
    for (table.First(); !table.GetEOF(); table.Next())
        for (const auto& [name, field] : checked)
            if (field == nullptr || field->IsNull())
                ZanDatabaseError(9732, "TZanQuery.ExecSQL", "Field " + name + " must have a value");
}

void CheckUniqueKeys(TZanTable& table, const TStringList& columns, const std::string& indexName) {
    const TZanCompareFunc compareStrings = table.GetTableDef().GetSortOrder() == soASCII
                                               ? DBASCIICompareStrings
                                               : DBANSICompareStrings;
    struct TKeyValue {
        bool Null;
        bool IsString;
        std::string Text;
        double Number;
    };
    std::vector<TField*> fields;
    for (int i = 0; i < columns.Count(); ++i)
        fields.push_back(table.FieldByName(columns.Strings(i)));
    std::vector<std::vector<TKeyValue>> keys;
    for (table.First(); !table.GetEOF(); table.Next()) {
        std::vector<TKeyValue>& key = keys.emplace_back();
        for (TField* f : fields) {
            const bool isString = f->GetDataType() == ftString || f->GetDataType() == ftFixedChar ||
                                  f->GetDataType() == ftWideString;
            if (f->IsNull())
                key.push_back({true, isString, {}, 0});
            else if (isString)
                key.push_back({false, true, f->GetAsString(), 0});
            else
                key.push_back({false, false, {}, f->GetAsFloat()});
        }
    }
    auto compare = [&](const std::vector<TKeyValue>& a, const std::vector<TKeyValue>& b) {
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i].Null || b[i].Null) {
                if (a[i].Null != b[i].Null) return a[i].Null ? -1 : 1;
                continue;
            }
            int c = 0;
            if (a[i].IsString)
                c = compareStrings(a[i].Text.data(), int32_t(a[i].Text.size()), b[i].Text.data(),
                                   int32_t(b[i].Text.size()), false, false);
            else
                c = a[i].Number < b[i].Number ? -1 : a[i].Number > b[i].Number ? 1 : 0;
            if (c != 0) return c;
        }
        return 0;
    };
    std::sort(keys.begin(), keys.end(),
              [&](const auto& a, const auto& b) { return compare(a, b) < 0; });
    for (size_t i = 1; i < keys.size(); ++i)
        if (compare(keys[i - 1], keys[i]) == 0)
            ZanDatabaseErrorFmt(9729, "TZanQuery.ExecSQL", "Index %s", {indexName});
}

} // namespace

bool TZanQueryProviderItem::ExecSchema() {
    TZanSchemaManipulationParser& p = FEngine->GetSchemaParser();
    TZanDataBase* db = GetProvider().GetDatabase();
    const bool memoryTable = p.GetTemporaryTable() || db->IsMemoryDatabase();
    // Everything but CREATE TABLE holds the database exclusively, unless the table lives in
    // memory or the database already is exclusive. The reconnect keeps the login and master
    // key the connection had.
    const bool reopen = p.GetOperation() != ddCreateTable && !memoryTable && !db->GetExclusive();
    if (!reopen) return ExecSchemaOnTable();
    const bool wasConnected = db->GetConnected();
    const std::string key = db->GetMasterKey();
    db->Close();
    db->SetExclusive(true);
    TScopeExit restore([&] {
        db->Close();
        db->SetExclusive(false);
        db->SetMasterKey(key);
        if (wasConnected) db->Open();
    });
    db->SetMasterKey(key);
    db->Open();
    return ExecSchemaOnTable();
}

bool TZanQueryProviderItem::ExecSchemaOnTable() {
    TZanSchemaManipulationParser& p = FEngine->GetSchemaParser();
    TZanDataBase* db = GetProvider().GetDatabase();
    const bool memoryTable = p.GetTemporaryTable() || db->IsMemoryDatabase();
    TZanTable table;
    table.SetDataBase(db);
    table.SetTableName(p.GetTableName());
    table.SetMemory(memoryTable);
    TScopeExit release([&] {
        table.Close();
        table.SetDataBase(nullptr);
    });
    switch (p.GetOperation()) {
    case ddCreateTable: {
        const TInternalFields& fields = p.GetAddedFields();
        for (int i = 0; i < fields.Count(); ++i) {
            const TInternalFieldItem* f = fields.Items(i);
            table.GetFieldDefs().Add(f->GetFieldName(), f->GetDataType(),
                                     f->GetDataType() == ftString || f->GetDataType() == ftBlob ||
                                             f->GetDataType() == ftMemo
                                         ? f->GetFieldSize()
                                         : 0,
                                     f->GetRequired());
        }
        if (!p.GetIndexName().empty() || p.GetIndexOptions().contains(ixPrimary)) {
            const std::string name = p.GetIndexName().empty() ? "PRIMARY" : p.GetIndexName();
            TIndexOptions options = p.GetIndexOptions();
            if (options.contains(ixPrimary)) options.insert(ixUnique);
            table.GetIndexDefs().Add(name, p.GetIndexFieldsAsText(), options);
        }
        table.CreateTable();
        return true;
    }
    case ddDropTable:
        table.SetDataBase(nullptr);
        db->DeleteTable(p.GetTableName(), memoryTable, false);
        return true;
    default:
        break;
    }
    // ALTER TABLE, CREATE INDEX, DROP INDEX: the present definitions, changed, restructured.
    table.Open();
    TInternalFields present;
    present.Assign(table.GetInternalFields());
    TRestructureFieldDefs& fieldDefs = table.GetRestructureFieldDefs();
    TRestructureIndexDefs& indexDefs = table.GetRestructureIndexDefs();
    if (!p.ValidateTableChanges(present, &indexDefs)) {
        AddError(p.GetErrorMsg());
        return false;
    }
    // Every record the index counts must come through the restructure, and each must hold its
    // key: the restructure builds the indexes anew from the records, which would take a
    // damaged record's bytes over as its row (found under another key, or under none) where
    // reading it through the index now fails with 8962.
    const int64_t rows = table.GetRecordCount();
    for (table.First(); !table.GetEOF(); table.Next()) {
    }
    const TIndexOptions options = p.GetIndexOptions();
    if (p.GetOperation() == ddCreateIndex &&
        (options.contains(ixUnique) || options.contains(ixPrimary)))
        CheckUniqueKeys(table, p.GetIndexColumns(), p.GetIndexName());
    if (p.GetOperation() == ddAlterTable) {
        p.SetRestructureFieldDefs(fieldDefs);
        CheckRequiredOverRows(table, fieldDefs, present);
    }
    table.Close();
    p.SetRestructureIndexDefs(indexDefs);
    // ALTER TABLE drops no index: a dropped column that an index uses is refused here, as an
    // engine error, before the restructure meets it.
    for (int i = 0; i < indexDefs.Count(); ++i) {
        const TRestructureIndexDef& index = indexDefs.Items(i);
        const std::string& fields = index.GetFields();
        for (size_t start = 0; start <= fields.size();) {
            const size_t end = std::min(fields.find(';', start), fields.size());
            const std::string field = fields.substr(start, end - start);
            if (!field.empty() && !fieldDefs.Find(field))
                ZanDatabaseErrorFmt(9996, "TZanQuery.ExecSQL",
                                    "Column %s is used by index %s: drop the index first",
                                    {field, index.GetName()});
            start = end + 1;
        }
    }
    // Converted values that collide in a unique index fail the statement: no row is left out.
    TRestructureRecord restructure;
    restructure.KeepEveryRecord = true;
    restructure.ExpectedRecords = rows;
    table.RestructureTable(restructure);
    return true;
}

} // namespace zan
