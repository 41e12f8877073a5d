// Schema statements of the query provider: CREATE TABLE, ALTER TABLE, CREATE INDEX, DROP TABLE
// and DROP INDEX through the table component and the database's catalogue.
#include "engine/query/zanQueryProvider.h"

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanRestructure.h"
#include "host/rtl/ScopeExit.h"

namespace zan {

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
    table.Close();
    if (!p.ValidateTableChanges(present, &indexDefs)) {
        AddError(p.GetErrorMsg());
        return false;
    }
    if (p.GetOperation() == ddAlterTable) p.SetRestructureFieldDefs(fieldDefs);
    p.SetRestructureIndexDefs(indexDefs);
    table.RestructureTable(TRestructureRecord{});
    return true;
}

} // namespace zan
