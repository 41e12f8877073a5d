// TZanTable structural operations: restructure, index add and drop, reindex and rebuild.
#include <algorithm>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

// The table's definitions as stored: visible fields in their order and the index definitions.
void ReadPresentDefs(TZanBaseTable& table, TFieldDefs& fields, TIndexDefs& indexes) {
    const bool wasOpen = table.GetInternalActive();
    if (!wasOpen) table.DataSetOpen();
    TScopeExit close([&] {
        if (!wasOpen) table.DataSetClose();
    });
    fields.Clear();
    TInternalFields& internal = table.GetInternalFields();
    for (int i = 0; i < internal.Count(); ++i) {
        if (internal.Items(i)->GetHidden()) continue;
        table.GetFieldDef(i, fields.AddFieldDef());
    }
    table.UpdateIndexDefs();
    indexes.Assign(table.GetIndexDefs());
}

} // namespace

void TZanTable::FreeRestructureDefs() {
    FRestructureFieldDefs.reset();
    FRestructureIndexDefs.reset();
}

TRestructureFieldDefs& TZanTable::GetRestructureFieldDefs() {
    if (!FRestructureFieldDefs) {
        FRestructureFieldDefs = std::make_unique<TRestructureFieldDefs>();
        FRestructureFieldDefs->Assign(GetFieldDefs());
    }
    return *FRestructureFieldDefs;
}

TRestructureIndexDefs& TZanTable::GetRestructureIndexDefs() {
    if (!FRestructureIndexDefs) {
        FRestructureIndexDefs = std::make_unique<TRestructureIndexDefs>();
        FRestructureIndexDefs->Assign(GetIndexDefs());
    }
    return *FRestructureIndexDefs;
}

void TZanTable::RestructureTable(const TRestructureRecord& options) {
    static const char* const context = "TZanTable.RestructureTable";
    CheckInactive();
    if (GetMemory()) ZanDatabaseError(10766, context, SzanDBOperationCannotBePerformed);
    TZanDataBase* db = GetDataBase();
    if (db == nullptr) ZanDatabaseError(10112, context);
    if (db->InTransaction()) ZanDatabaseError(10122, context);
    if (db->GetLocalConnectedUserCount(GetTableName()) > 0)
        ZanDatabaseError(10031, context, GetTableName());
    if (options.ChangeBlobSize &&
        (options.BlobBlockSize < C_MIN_BLOB_SIZE || options.BlobBlockSize > C_MAX_BLOB_SIZE))
        ZanDatabaseErrorFmt(10029, context, std::string(SzanStringInvalidFmt) + " bytes",
                            {options.BlobBlockSize, C_MIN_BLOB_SIZE, C_MAX_BLOB_SIZE});
    TFieldDefs presentFields;
    TIndexDefs presentIndexes;
    ReadPresentDefs(*this, presentFields, presentIndexes);
    TRestructureFieldDefs fields;
    fields.Assign(GetRestructureFieldDefs());
    fields.ValidateAgainstOriginalDefs(&presentFields);
    TRestructureIndexDefs indexes;
    indexes.Assign(GetRestructureIndexDefs());
    indexes.ValidateAgainstOriginalDefs(&presentIndexes, fields);
    indexes.CheckForDuplicatePrimaryIndexes();
    indexes.ValidateNewIndexDefs(fields);
    TInternalRestructureRecord details;
    details.NewFieldDefs = &fields;
    details.DestFieldDefs = &fields;
    details.NewIndexDefs = &indexes;
    details.FieldChangeLevel = fields.GetChangeStatus();
    details.IndexChangeLevel = indexes.GetChangeStatus();
    details.SetEncryptionLevel = options.ChangeEncryption;
    details.EncryptionLevel = options.EncryptionLevel;
    details.SetBlobCompression = options.ChangeCompression;
    details.BlobCompression = options.BlobCompression;
    details.SetBlobBlockSize = options.ChangeBlobSize;
    details.BlobBlockSize = options.BlobBlockSize;
    if (options.ChangeEncryption || options.ChangeCompression || options.ChangeBlobSize)
        details.FieldChangeLevel = std::max<int32_t>(details.FieldChangeLevel, dcDataChange);
    InternalRestructureTable(details);
    FreeRestructureDefs();
}

void TZanTable::RestructureAndRestore(bool wasOpen, const TBookmark& bookmark) {
    Close();
    RestructureTable(TRestructureRecord{});
    if (!wasOpen) return;
    Open();
    GetIndexDefs().Update();
    if (bookmark && BookmarkValid(bookmark)) GotoBookmark(bookmark);
}

void TZanTable::AddIndex(const std::string& name, const std::string& fields,
                         TIndexOptions options, const std::string& descFields,
                         const std::string& caseInsFields) {
    const bool wasOpen = GetActive();
    DisableControls();
    TScopeExit enable([&] { EnableControls(); });
    TBookmark bookmark;
    if (wasOpen)
        bookmark = GetBookmark();
    else
        Open();
    TScopeExit closeAgain([&] {
        if (!wasOpen && GetActive()) Close();
    });
    TRestructureIndexDefs& indexes = GetRestructureIndexDefs();
    TRestructureIndexDef& def = indexes.AddAndSetIndexDef(name, fields, options);
    def.SetDescFields(descFields);
    def.SetCaseInsFields(caseInsFields);
    try {
        indexes.ValidateNewIndexDefs(GetRestructureFieldDefs());
    } catch (...) {
        indexes.DeleteItem(indexes.Count() - 1);
        throw;
    }
    RestructureAndRestore(wasOpen, bookmark);
}

void TZanTable::DeleteIndex(const std::string& name) {
    static const char* const context = "TZanTable.DeleteIndex";
    const bool wasOpen = GetActive();
    DisableControls();
    TScopeExit enable([&] { EnableControls(); });
    TBookmark bookmark;
    if (wasOpen)
        bookmark = GetBookmark();
    else
        Open();
    TScopeExit closeAgain([&] {
        if (!wasOpen && GetActive()) Close();
    });
    TRestructureIndexDefs& indexes = GetRestructureIndexDefs();
    TRestructureIndexDef* def = indexes.Count() > 0 ? indexes.Find(name) : nullptr;
    if (def == nullptr) ZanDatabaseErrorFmt(9997, context, "Index %s", {name});
    const bool current = SameText(GetIndexName(), def->GetName());
    indexes.DeleteItem(def->GetIndex());
    if (current) {
        Close();
        TZanDataSet::SetIndexName("");
        bookmark.Clear();
    }
    RestructureAndRestore(wasOpen, bookmark);
}

void TZanTable::ReIndex(bool ignoreKeyViolations) {
    static const char* const context = "TZanTable.ReIndex";
    TZanDataBase* db = GetDataBase();
    if (db == nullptr) ZanDatabaseError(10112, context);
    if (!GetMemory()) db->QueryOpenStatus(true, true);
    CheckActive();
    CheckBrowseMode();
    InternalReIndex(ignoreKeyViolations);
    if (GetFilterMgr().GetActive()) GetFilterMgr().ResetFilter();
    First();
}

void TZanTable::RebuildTable() {
    static const char* const context = "TZanTable.RebuildTable";
    CheckInactive();
    if (GetMemory()) ZanDatabaseError(10766, context, SzanDBOperationCannotBePerformed);
    if (GetDataBase() == nullptr) ZanDatabaseError(10112, context);
    InternalRebuildTable();
}

} // namespace zan
