// TZanDataSet maintenance: definitions from restructure definitions, reindex, rebuild,
// restructure and the transfer of records between tables of different layouts.
#include <algorithm>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/Streams.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

inline constexpr int32_t C_COPY_BATCH = 100;

void Log(const std::string& text) {
    GDBLogger().LogItem("TZanDataSet", text);
}

void ToIndexDefs(const TRestructureIndexDefs& source, TIndexDefs& dest) {
    dest.Clear();
    for (int i = 0; i < source.Count(); ++i) {
        const TRestructureIndexDef& s = source.Items(i);
        TIndexDef& d = dest.Add(s.GetName(), s.GetFields(), s.GetOptions());
        d.SetDescFields(s.GetDescFields());
        d.SetCaseInsFields(s.GetCaseInsFields());
    }
}

// Level 1: names, positions and Required of the fields, names of the indexes, in place.
void ApplyDefinitionChanges(TTableDef& def, const TRestructureFieldDefs* fieldDefs,
                            const TRestructureIndexDefs* indexDefs) {
    TInternalFields& fields = *def.GetInternalFields();
    TKeyFields& keys = *def.GetKeyFields();
    if (fieldDefs != nullptr) {
        if (fieldDefs->Count() != fields.Count())
            ZanAssert(false, "Unexpected mismatch in restructure field defs count and table defs "
                             "count");
        std::vector<std::pair<TInternalFieldItem*, const TRestructureFieldDef*>> changes;
        for (int i = 0; i < fieldDefs->Count(); ++i) {
            const TRestructureFieldDef& rs = fieldDefs->Items(i);
            const std::string& source =
                rs.GetSourceFieldName().empty() ? rs.GetName() : rs.GetSourceFieldName();
            TInternalFieldItem* f = fields.FindField(source);
            ZanAssert(f != nullptr, "Field def not found for updating");
            changes.emplace_back(f, &rs);
        }
        for (auto& [f, rs] : changes) {
            for (int k = 0; k < keys.Count(); ++k)
                if (SameText(keys.Items(k)->GetFieldName(), f->GetFieldName()))
                    keys.Items(k)->SetFieldName(rs->GetName());
            f->SetFieldName(rs->GetName());
            f->SetFieldIndex(rs->GetIndex());
            f->SetRequired(rs->GetRequired());
        }
    }
    if (indexDefs == nullptr) return;
    TInternalIndexDefs& indexes = *def.GetInternalIndexDefs();
    for (int i = 0; i < indexDefs->Count(); ++i) {
        const TRestructureIndexDef& rs = indexDefs->Items(i);
        if (rs.GetSource() == nullptr) continue;
        const std::string oldName = rs.GetSource()->GetName();
        for (int n = 0; n < indexes.Count(); ++n)
            if (SameText(indexes.Items(n)->GetIndexName(), oldName))
                indexes.Items(n)->SetIndexName(rs.GetName());
        for (int k = 0; k < keys.Count(); ++k)
            if (SameText(keys.Items(k)->GetIndexName(), oldName))
                keys.Items(k)->SetIndexName(rs.GetName());
    }
}

std::string FieldTypeText(TFieldType type) {
    return std::string(FieldTypeName(type));
}

// At most size bytes, never ending inside a character.
std::string CutAtCharBoundary(const std::string& text, int32_t size) {
    if (size < 0 || text.size() <= size_t(size)) return text;
    size_t end = size_t(size);
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

} // namespace

bool TZanDataSet::ReportProgress(int64_t done, int64_t total, int32_t& last) {
    if (!OnUpdateProgress || total <= 0) return false;
    const int32_t percent = int32_t(done * 100 / total);
    if (percent == last) return false;
    last = percent;
    bool cancel = false;
    OnUpdateProgress(percent, cancel);
    return cancel;
}

void TZanDataSet::RecreateIndexes() {
    TTableDef& def = *FTableDef;
    def.GetIndexInterface()->Empty(true);
    const std::string current = GetCurrentIndexName();
    FIndexMgr->Close();
    FIndexMgr->Assign(*def.GetInternalIndexDefs());
    FIndexMgr->AssignKeyFields(*def.GetKeyFields());
    FIndexMgr->CreateIndexes();
    FIndexMgr->Open();
    FIndexMgr->SetCurrentIndexName(current);
}

void TZanDataSet::SetTableDefFromRSDefs(bool memory, const TRestructureFieldDefs& fieldDefs,
                                        const TRestructureIndexDefs& indexDefs) {
    TFieldDefs fields;
    fieldDefs.AssignTo(fields);
    TIndexDefs indexes;
    ToIndexDefs(indexDefs, indexes);
    SetTableDef(memory, fields, indexes);
}

// ---------------------------------------------------------------------------------------------
// Reindex and rebuild

void TZanDataSet::InitializeRebuild() {
    CheckInternalActive();
    TDiskWriteScope scope(WriteScopeDisk());
    const bool taken = TakeWriteLock();
    TScopeExit release([&] {
        FTableDef->GetTableHeader()->SetDirty(true);
        ReleaseTaken(taken);
    });
    FTableDef->GetRecordInterface()->Empty(true);
    FTableDef->GetRecordInterface()->SetFirstEmpty(0);
    FTableDef->GetRecordInterface()->SetFirstEmptyValid(true);
    InitializeNewRecord(FRecBuf.data(), false);
    InvalidateReadAhead(true);
}

void TZanDataSet::FinalizeRebuild() {
    CheckInternalActive();
    TDiskWriteScope scope(WriteScopeDisk());
    const bool taken = TakeWriteLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    InternalReIndex(true);
}

void TZanDataSet::InternalReIndex(bool ignoreKeyViolations) {
    static const char* const context = "TZanDataSet.InternalReIndex";
    CheckInternalActive();
    TDiskWriteScope scope(WriteScopeDisk());
    const bool taken = TakeWriteLock();
    TTableDef& def = *FTableDef;
    TTableHeader& header = *def.GetTableHeader();
    TScopeExit release([&] {
        header.SetDirty(true);
        ReleaseTaken(taken);
    });
    std::vector<uint32_t> addresses;
    def.GetRecordInterface()->ListBlocks(addresses);
    RecreateIndexes();
    ClearFoundFlags();
    InvalidateReadAhead(true);
    FFilterMgr->ResetFilter();
    std::vector<uint8_t> rec(FRecBuf.size());
    int32_t last = -1;
    int64_t done = 0;
    int64_t live = 0;
    bool cancelled = false;
    for (const uint32_t address : addresses) {
        ++done;
        if (ReadValidRecord(address, rec.data())) {
            ++live;
            SetExtraInfo(rec.data(), address, 0);
            TIndexItem* violated = nullptr;
            for (int i = 0; i < FIndexMgr->Count() && violated == nullptr; ++i) {
                TIndexItem& index = *FIndexMgr->Items(i);
                index.CreateKeyBuffer(rec.data());
                if (index.FullIndexSearch(stEQ) == 0) violated = &index;
            }
            if (violated != nullptr) {
                if (!ignoreKeyViolations)
                    ZanDatabaseErrorFmt(9729, context, "Index %s", {violated->GetIndexName()});
                GDBLogger().LogItem(context, Format("Record at %d left out of the indexes: "
                                                    "key violation in Index %s",
                                                    {int64_t(address), violated->GetIndexName()}));
            } else {
                for (int i = 0; i < FIndexMgr->Count(); ++i) {
                    TIndexItem& index = *FIndexMgr->Items(i);
                    index.CreateKeyBuffer(rec.data());
                    if (index.InsertKey(address) != 0)
                        ZanDatabaseErrorFmt(8581, context, "Failed to add key to Index %s",
                                            {index.GetIndexName()});
                }
            }
        }
        if (ReportProgress(done, int64_t(addresses.size()), last)) {
            cancelled = true;
            break;
        }
    }
    if (!cancelled) CheckTransferredCount(live, context);
}

void TZanDataSet::CheckTransferredCount(int64_t live, const char* context) const {
    if (FTransferExpected >= 0 && live != FTransferExpected)
        ZanDatabaseErrorFmt(8962, context, "Table %s holds %d records, %d read as live records",
                            {FTableName, FTransferExpected, live});
}

void TZanDataSet::InternalRebuildTable() {
    static const char* const context = "TZanDataSet.InternalRebuildTable";
    CheckConnected();
    CheckInternalInactive();
    if (FDataBase->GetLocalConnectedUserCount(FTableName) > 0)
        ZanDatabaseError(10031, context, FTableName);
    FDataBase->CopyDatabase(FDataBase->GetBackupFileName(), true);
    TTableDef stored;
    FDataBase->QueryTableDef(FTableName, false, stored);
    FDataBase->HoldTableForChange(stored.GetTableID());
    TScopeExit release([&] { FDataBase->ReleaseTableForChange(stored.GetTableID()); });
    TDiskWriteScope scope(FDataBase->GetDiskMgr());
    FTransferSources.clear();
    // Every record comes back or nothing changes: a rebuild never drops a row it cannot add.
    FTransferLosesNone = true;
    TScopeExit forget([&] { FTransferLosesNone = false; });
    FDataBase->RebuildTable(FTableName, FDataBase->GetBackupFileName(), *this);
}

// ---------------------------------------------------------------------------------------------
// Restructure

void TZanDataSet::InternalRestructureTable(const TInternalRestructureRecord& details) {
    static const char* const context = "TZanDataSet.InternalRestructureTable";
    CheckConnected();
    if (FDataBase->GetLocalConnectedUserCount(FTableName) > 0)
        ZanDatabaseError(10031, context, FTableName);
    CheckInternalInactive();
    if (!FDataBase->QueryObjectPrivilegeExists(doTable, FTableName,
                                               MapObjectPrivTypeToConst(opAlterObj)))
        ZanDatabaseError(10624, context, FTableName);
    if (details.NewFieldDefs == nullptr)
        ZanDatabaseErrorFmt(8576, context, "%s has not been set or is out of range",
                            {"RestructureDetails.NewFieldDefs"});
    if (details.DestFieldDefs == nullptr)
        ZanDatabaseErrorFmt(8576, context, "%s has not been set or is out of range",
                            {"RestructureDetails.DestFieldDefs"});
    FDataBase->QueryOpenStatus(true, true);
    TTableDef stored;
    FDataBase->QueryTableDef(FTableName, false, stored);
    const int32_t id = stored.GetTableID();
    FDataBase->HoldTableForChange(id);
    TScopeExit release([&] { FDataBase->ReleaseTableForChange(id); });
    FDataBase->CopyDatabase(FDataBase->GetBackupFileName(), true);
    TDiskWriteScope scope(FDataBase->GetDiskMgr());
    TRestructureFieldDefs fieldStatus;
    fieldStatus.SetChangeLog(nullptr);
    fieldStatus.SetChangeStatus(TDefChangeType(std::clamp(details.FieldChangeLevel, 0, 5)));
    TRestructureIndexDefs indexStatus;
    indexStatus.SetChangeLog(nullptr);
    indexStatus.SetChangeStatus(TDefChangeType(std::clamp(details.IndexChangeLevel, 0, 5)));
    TInternalRestructureRec rec;
    rec.FieldDefs = &fieldStatus;
    rec.IndexDefs = &indexStatus;

    auto storeUnderExistingId = [&](TTableDef& def) {
        def.SetTableID(id);
        def.SetOwnerFlag(stored.GetOwnerFlag());
        def.SetCreationDate(stored.GetCreationDate());
        def.SetCreatedBy(stored.GetCreatedBy());
        def.SetVersion(stored.GetVersion());
        def.SetOS(stored.GetOS());
        def.SetInternalTable(stored.GetInternalTable());
        FDataBase->UpdateTableDef(def, rec);
    };

    if (details.FieldChangeLevel >= 2) {
        std::map<std::string, int32_t> generators;
        TInternalFields& old = *stored.GetInternalFields();
        for (int i = 0; i < old.Count(); ++i)
            generators[ZanAnsiUpperCase(old.Items(i)->GetFieldName())] =
                old.Items(i)->GetFieldGeneratorID();
        const int32_t blobSize = FBlobBlockSize;
        const TEncryptionLevel level = FEncryptionLevel;
        const bool compression = FBlobCompression;
        const TSortOrder order = FSortOrder;
        TScopeExit restore([&] {
            FBlobBlockSize = blobSize;
            FEncryptionLevel = level;
            FBlobCompression = compression;
            FSortOrder = order;
        });
        FBlobBlockSize =
            details.SetBlobBlockSize ? details.BlobBlockSize : stored.GetDefaultBlobSize();
        FEncryptionLevel =
            details.SetEncryptionLevel ? details.EncryptionLevel : stored.GetEncryptionLevel();
        FBlobCompression =
            details.SetBlobCompression ? details.BlobCompression : stored.GetBlobCompression();
        FSortOrder = stored.GetSortOrder();
        TRestructureIndexDefs noIndexes;
        SetTableDefFromRSDefs(false, *details.NewFieldDefs,
                              details.NewIndexDefs ? *details.NewIndexDefs : noIndexes);
        std::map<std::string, std::string> sources;
        TInternalFields& fields = *FTableDef->GetInternalFields();
        for (int i = 0; i < details.NewFieldDefs->Count(); ++i) {
            const TRestructureFieldDef& rs = details.NewFieldDefs->Items(i);
            auto it = generators.find(ZanAnsiUpperCase(rs.GetSourceFieldName()));
            if (TInternalFieldItem* f = fields.FindField(rs.GetName());
                f != nullptr && it != generators.end())
                f->SetFieldGeneratorID(it->second);
        }
        for (int i = 0; i < details.DestFieldDefs->Count(); ++i) {
            const TRestructureFieldDef& rs = details.DestFieldDefs->Items(i);
            sources[ZanAnsiUpperCase(rs.GetName())] = rs.GetSourceFieldName();
        }
        storeUnderExistingId(*FTableDef);
        FTransferSources = std::move(sources);
        FTransferKeepsAll = details.KeepEveryRecord;
        FTransferExpected = details.ExpectedRecords;
        TScopeExit forget([&] {
            FTransferSources.clear();
            FTransferKeepsAll = false;
            FTransferExpected = -1;
        });
        FDataBase->RebuildTable(FTableName, FDataBase->GetBackupFileName(), *this);
        return;
    }
    if (details.IndexChangeLevel >= 2) {
        TTableDef& def = *FTableDef;
        def.Clear();
        def.Assign(stored);
        if (details.FieldChangeLevel == 1)
            ApplyDefinitionChanges(def, details.NewFieldDefs, nullptr);
        def.GetKeyFields()->Clear();
        def.GetInternalIndexDefs()->Clear();
        TIndexDefs indexes;
        if (details.NewIndexDefs) ToIndexDefs(*details.NewIndexDefs, indexes);
        if (indexes.Count() > 32) ZanDatabaseErrorFmt(9604, context, "Maximum allowed is %d", {32});
        for (int i = 0; i < indexes.Count(); ++i)
            AddIndexDef(indexes.Items(i));
        if (indexes.Count() == 0) {
            TIndexDef logical;
            logical.SetName("_LogicalRecNo");
            AddIndexDef(logical);
        }
        storeUnderExistingId(def);
        const std::string indexName = FIndexName;
        FIndexName.clear();
        TScopeExit restoreIndex([&] { FIndexName = indexName; });
        DataSetOpen();
        TScopeExit close([&] { DataSetClose(); });
        FTransferExpected = details.ExpectedRecords;
        TScopeExit forget([&] { FTransferExpected = -1; });
        InternalReIndex(true);
        return;
    }
    if (details.FieldChangeLevel == 1 || details.IndexChangeLevel == 1) {
        TTableDef def;
        def.Assign(stored);
        ApplyDefinitionChanges(def, details.FieldChangeLevel == 1 ? details.NewFieldDefs : nullptr,
                               details.IndexChangeLevel == 1 ? details.NewIndexDefs : nullptr);
        storeUnderExistingId(def);
    }
}

// ---------------------------------------------------------------------------------------------
// Record transfer

void TZanDataSet::TransferRecord(const uint8_t* srcBuf, TZanDataSet& source, int32_t recordNo) {
    static const char* const context = "TZanDataSet.TransferRecord";
    ClearRecord();
    InitializeNewRecord(FRecBuf.data(), false);
    TInternalFields& fields = *FTableDef->GetInternalFields();
    TInternalFields& from = source.GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i) {
        const TInternalFieldItem& f = *fields.Items(i);
        std::string sourceName = f.GetFieldName();
        if (!FTransferSources.empty()) {
            auto it = FTransferSources.find(ZanAnsiUpperCase(sourceName));
            sourceName = it == FTransferSources.end() ? std::string() : it->second;
        }
        const TInternalFieldItem* s = sourceName.empty() ? nullptr : from.FindField(sourceName);
        if (s == nullptr) continue;
        const int32_t n = f.GetFieldIndex();
        const int32_t sn = s->GetFieldIndex();
        try {
            const bool sourceBlob = IsBlobFieldType(s->GetDataType());
            const bool destBlob = IsBlobFieldType(f.GetDataType());
            if (sourceBlob) {
                TMemoryStream stream;
                bool isNull = false;
                source.DataSetGetFieldStreamFromRecBuf(srcBuf, sn, isNull, stream);
                if (isNull) continue;
                if (destBlob) {
                    stream.SetPosition(0);
                    DataSetSetFieldStreamFromRecBuf(FRecBuf.data(), n, false, stream);
                } else {
                    std::string text(stream.Memory(), size_t(stream.GetSize()));
                    // A text longer than a string field is cut as a string's would be.
                    if (f.GetDataType() == ftString)
                        text = CutAtCharBoundary(text, f.GetWriteableFieldSize());
                    DataSetSetFieldDataToRecBufAsVariant(FRecBuf.data(), n, Variant(text));
                }
                continue;
            }
            const Variant value = source.DataSetGetFieldDataFromRecBufAsVariant(srcBuf, sn);
            if (VarIsNull(value)) continue;
            if (destBlob) {
                const std::string text = VarToStr(value);
                TMemoryStream stream;
                stream.Write(text.data(), int32_t(text.size()));
                stream.SetPosition(0);
                DataSetSetFieldStreamFromRecBuf(FRecBuf.data(), n, false, stream);
            } else if (f.GetDataType() == ftString && VarType(value) == varString) {
                DataSetSetFieldDataToRecBufAsVariant(
                    FRecBuf.data(), n,
                    Variant(CutAtCharBoundary(VarToStr(value), f.GetWriteableFieldSize())));
            } else {
                DataSetSetFieldDataToRecBufAsVariant(FRecBuf.data(), n, value);
            }
        } catch (const Exception& e) {
            // A statement's restructure keeps every value: a damaged one in the source record
            // (a memo without its chain, an impossible stored value) fails it, where turning
            // it into NULL would hide the damage and write the loss back for good.
            const auto* engine = dynamic_cast<const EZanDatabaseError*>(&e);
            if (FTransferKeepsAll && engine != nullptr && engine->ErrorCode >= 8961 &&
                engine->ErrorCode <= 8969)
                throw;
            GDBLogger().LogItem(
                context, Format("Record %d: Error converting %s (%s) to %s (%s)). "
                                "Message: %s",
                                {recordNo, s->GetFieldName(), FieldTypeText(s->GetDataType()),
                                 f.GetFieldName(), FieldTypeText(f.GetDataType()), e.Message()}));
            FRecBuf[size_t(f.GetNullFlagOffset())] = C_NULLFLAG_NULL;
        }
    }
    // A statement's restructure (ALTER TABLE) keeps every record: one left with a NOT NULL
    // field NULL (a field added NOT NULL, a value that does not convert) fails it.
    if (FTransferKeepsAll)
        for (int i = 0; i < fields.Count(); ++i) {
            const TInternalFieldItem& f = *fields.Items(i);
            if (f.GetRequired() && f.GetDataType() != ftAutoInc &&
                GetIsEditFieldNull(f.GetFieldIndex()))
                ZanDatabaseError(9732, context, "Field " + f.GetFieldName() + " must have a value");
        }
    AddRecord(false);
}

void TZanDataSet::CopyRawTableData(TZanDataSet* dest) {
    static const char* const context = "TZanDataSet.CopyRawTableData";
    ZanAssert(dest != nullptr, "Dest table not assigned in CopyRawTableData");
    CheckInternalActive();
    dest->CheckInternalActive();
    Log("Copying record data - Starting");
    TDiskMgr* destDisk = dest->WriteScopeDisk();
    // Nobody else writes the destination meanwhile; this table stays as it is.
    const bool destTaken = dest->TakeWriteLock();
    TScopeExit releaseDest([&] { dest->ReleaseTaken(destTaken); });
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    std::vector<uint32_t> addresses;
    FTableDef->GetRecordInterface()->ListBlocks(addresses);
    Log(Format("Found %d records (including unallocated and deleted records)",
               {int64_t(addresses.size())}));
    Log("Importing data - field mapping...");
    TInternalFields& destFields = dest->GetInternalFields();
    for (int i = 0; i < destFields.Count(); ++i) {
        const std::string& name = destFields.Items(i)->GetFieldName();
        std::string source = name;
        if (!dest->FTransferSources.empty()) {
            auto it = dest->FTransferSources.find(ZanAnsiUpperCase(name));
            source = it == dest->FTransferSources.end() ? std::string() : it->second;
        }
        if (!source.empty() && FTableDef->GetInternalFields()->FindField(source) != nullptr)
            Log(source + " -> " + name);
    }
    int32_t copied = 0;
    int64_t live = 0;
    int32_t last = -1;
    int64_t done = 0;
    size_t next = 0;
    bool cancelled = false;
    // Batches of records, each one commit (nothing more inside a caller's transaction or scope).
    while (next < addresses.size() && !cancelled) {
        TDiskWriteScope batch(destDisk);
        for (int32_t n = 0; n < C_COPY_BATCH && next < addresses.size() && !cancelled; ++n) {
            const uint32_t address = addresses[next++];
            ++done;
            ClearRecord();
            if (ReadValidRecord(address, FRecBuf.data())) {
                ++live;
                try {
                    dest->TransferRecord(FRecBuf.data(), *this, int32_t(done));
                    ++copied;
                } catch (const Exception& e) {
                    GDBLogger().LogItem(context, Format("Record %d: Data post exception - %s",
                                                        {int32_t(done), e.Message()}));
                    // Unwinding the caller's write scope undoes what was copied.
                    if (dest->FTransferKeepsAll || dest->FTransferLosesNone) throw;
                }
            }
            cancelled = ReportProgress(done, int64_t(addresses.size()), last);
        }
    }
    if (!cancelled) dest->CheckTransferredCount(live, context);
    Log("Records Copied " + IntToStr(int64_t(copied)));
    Log("Copying record data - Done");
    const std::string logFile = GDBLogger().GetOutputFileName();
    if (!logFile.empty()) GDBLogger().SaveLogToFile(logFile);
}

} // namespace zan
