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
        ZanDatabaseErrorFmt(
            10029, context, std::string(SzanStringInvalidFmt) + " bytes",
            {IntToStr(int64_t(options.BlobBlockSize)), C_MIN_BLOB_SIZE, C_MAX_BLOB_SIZE});
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
    details.KeepEveryRecord = options.KeepEveryRecord;
    details.ExpectedRecords = options.ExpectedRecords;
    if (options.ChangeEncryption || options.ChangeCompression || options.ChangeBlobSize)
        details.FieldChangeLevel = std::max<int32_t>(details.FieldChangeLevel, dcDataChange);
    InternalRestructureTable(details);
    FreeRestructureDefs();
}

void TZanTable::ChangeIndexDefs(
    const std::function<void(TRestructureIndexDefs&, TBookmark&)>& change) {
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
    change(GetRestructureIndexDefs(), bookmark);
    Close();
    RestructureTable(TRestructureRecord{});
    if (!wasOpen) return;
    Open();
    GetIndexDefs().Update();
    if (!bookmark || !BookmarkValid(bookmark)) return;
    try {
        GotoBookmark(bookmark);
    } catch (const EZanDatabaseError& error) {
        // The record a new unique index left out (a key violation) is in no index: the table
        // cannot stand on it and stays on its first record.
        if (error.ErrorCode != 8708 && error.ErrorCode != 10021) throw;
        First();
    }
}

void TZanTable::AddIndex(const std::string& name, const std::string& fields, TIndexOptions options,
                         const std::string& descFields, const std::string& caseInsFields) {
    ChangeIndexDefs([&](TRestructureIndexDefs& indexes, TBookmark&) {
        TRestructureIndexDef& def = indexes.AddAndSetIndexDef(name, fields, options);
        def.SetDescFields(descFields);
        def.SetCaseInsFields(caseInsFields);
        try {
            indexes.ValidateNewIndexDefs(GetRestructureFieldDefs());
        } catch (...) {
            indexes.DeleteItem(indexes.Count() - 1);
            throw;
        }
    });
}

void TZanTable::DeleteIndex(const std::string& name) {
    static const char* const context = "TZanTable.DeleteIndex";
    ChangeIndexDefs([&](TRestructureIndexDefs& indexes, TBookmark& bookmark) {
        TRestructureIndexDef* def = indexes.Count() > 0 ? indexes.Find(name) : nullptr;
        if (def == nullptr) ZanDatabaseErrorFmt(9997, context, "Index %s", {name});
        const bool current = SameText(GetIndexName(), def->GetName());
        indexes.DeleteItem(def->GetIndex());
        if (!current) return;
        Close();
        TZanDataSet::SetIndexName("");
        bookmark.Clear();
    });
}

void TZanTable::ReIndex(bool ignoreKeyViolations) {
    static const char* const context = "TZanTable.ReIndex";
    TZanDataBase* db = GetDataBase();
    if (db == nullptr) ZanDatabaseError(10112, context);
    if (!GetMemory() && !db->IsMemoryDatabase()) db->QueryOpenStatus(true, true);
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

void TZanTable::ImportData(TDataSet& source) {
    static const char* const context = "TZanTable.ImportData";
    CheckActive();
    CheckBrowseMode();
    if (!FRestructureFieldDefs)
        ZanDatabaseErrorFmt(8576, context, "%s has not been set or is out of range",
                            {"FRestructureFieldDefs"});
    const std::string caller = GetName() + ".DataImport";
    auto log = [&](const std::string& text) { GDBLogger().LogItem(caller, text); };
    log("Matching fields");
    std::vector<std::pair<TField*, TField*>> mapping; // source, destination
    for (int i = 0; i < FRestructureFieldDefs->Count(); ++i) {
        const std::string& name = FRestructureFieldDefs->Items(i).GetName();
        TField* dest = FindField(name);
        TField* from = source.FindField(name);
        if (dest != nullptr && from != nullptr) {
            log(Format("Source field [%s] mapped to Field [%s]", {from->GetFieldName(), name}));
            mapping.emplace_back(from, dest);
        } else {
            log(Format("No Source field set for Field [%s]", {name}));
        }
    }
    source.First();
    log("Starting import");
    const int64_t total = source.GetRecordCount();
    int32_t last = -1;
    for (int32_t recordNo = 1; !source.GetEOF(); ++recordNo, source.Next()) {
        Append();
        for (auto& [from, dest] : mapping) {
            const Variant value = from->GetValue();
            try {
                dest->SetValue(value);
            } catch (const Exception& e) {
                log(Format("   Record %d  Source field \"%-10s\" could not be converted to "
                           "Destination field \"%-10s\". Source value \"%s\"   Error: %s",
                           {recordNo, from->GetFieldName(), dest->GetFieldName(),
                            VarIsNull(value) ? std::string() : VarToStr(value), e.Message()}));
                dest->Clear();
            }
        }
        try {
            Post();
        } catch (const Exception& e) {
            Cancel();
            log(Format("Record %d could not be added. Error: %s", {recordNo, e.Message()}));
        }
        if (ReportProgress(recordNo, total, last)) break;
    }
}

} // namespace zan
