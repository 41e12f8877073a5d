// TZanDataSet definitions: the table definition built from field and index definitions, table
// creation and emptying.
#include <algorithm>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

inline constexpr int32_t C_MAX_FIELDS = 255;
inline constexpr int32_t C_MAX_INDEXES = 32;
inline constexpr int32_t C_MAX_FIELD_NAME = 40;
inline constexpr int32_t C_MAX_FIELD_SIZE = 256;

bool InNameList(const std::string& list, const std::string& name) {
    TStringList names;
    ConvertFieldNamesToList(list, names);
    for (int i = 0; i < names.Count(); ++i)
        if (SameText(names.Get(i), name)) return true;
    return false;
}

// Framework types a key cannot hold: bytes, blobs and the other non-scalar types.
bool CannotBeIndexed(TFieldType type) { return !FieldTypeCanBeIndexed(type); }

} // namespace

bool TZanDataSet::AddIndexDef(const TIndexDef& source) {
    static const char* const context = "TZanDataSet.AddIndexDef";
    TTableDef& def = *FTableDef;
    TInternalFields& fields = *def.GetInternalFields();
    const std::string name = source.GetName();
    const TIndexOptions options = source.GetOptions();
    TStringList names;
    ConvertFieldNamesToList(source.GetFields(), names);
    for (int n = 0; n < names.Count(); ++n) {
        const TInternalFieldItem* f = fields.FindField(names.Get(n));
        if (f == nullptr) ZanDatabaseError(10116, context, names.Get(n));
        if (CannotBeIndexed(f->GetDataType()))
            ZanDatabaseError(10117, context, std::string(FieldTypeName(f->GetDataType())));
        if (f->GetDataOffset() <= 0)
            ZanDatabaseErrorFmt(8581, context, "%s has not been set or is out of range",
                                {"KeyOffset"});
        TKeyFieldItem* k = def.GetKeyFields()->Add();
        k->SetFieldName(f->GetFieldName());
        k->SetDataType(f->GetDataType());
        k->SetFieldSize(f->GetFieldSize());
        k->SetIsVariable(f->GetIsVariable());
        k->SetRecBufOffset(f->GetDataOffset());
        k->SetNullFlagOffset(f->GetNullFlagOffset());
        k->SetSizeMarkerOffset(f->GetSizeMarkerOffset());
        k->SetPhysicalFieldNo(f->GetFieldIndex());
        k->SetKeyIndex(n);
        k->SetDescending(options.contains(ixDescending) ||
                         InNameList(source.GetDescFields(), f->GetFieldName()));
        k->SetCaseInsensitive(options.contains(ixCaseInsensitive) ||
                              InNameList(source.GetCaseInsFields(), f->GetFieldName()));
        k->SetIndexName(name);
    }
    TInternalIndexDef* d = def.GetInternalIndexDefs()->Add();
    d->SetIndexName(name);
    d->SetIndexSequence(def.GetInternalIndexDefs()->Count() - 1);
    d->SetUnique(options.contains(ixUnique) || options.contains(ixPrimary));
    d->SetPrimary(options.contains(ixPrimary));
    d->SetMaintained(true);
    d->SetMemory(def.GetMemory());
    PrepareIndexDef(*d, *def.GetKeyFields());
    d->SetIndexPageSize(C_DEFAULT_INDEX_PAGE_SIZE);
    return true;
}

void TZanDataSet::SetTableDef(bool memory, const TFieldDefs& fieldDefs,
                              const TIndexDefs& indexDefs) {
    static const char* const context = "TZanDataSet.SetTableDef";
    TTableDef& def = *FTableDef;
    def.Clear();
    def.SetMemory(memory);
    def.SetTableName(FTableName);
    def.SetSortOrder(FSortOrder);
    def.SetDefaultBlobSize(FBlobBlockSize);
    def.SetBlobCompression(FBlobCompression);
    def.SetCreatedBy(GetCurrentUser());
    def.SetEncryptionLevel(FEncryptionLevel);
    def.SetEncrypted(FEncryptionLevel != encNone);
    if (def.GetEncrypted()) {
        std::string alt(FTableName.size(), '\0');
        XORCryptBuf(FTableName.data(), alt.data(), C_ZANXORKEY, 0, int32_t(sizeof(C_ZANXORKEY)),
                    int32_t(FTableName.size()));
        def.SetAltName(alt);
    }
    if (FTableName.empty() || FTableName.size() > C_MAX_TABLE_NAME)
        ZanDatabaseErrorFmt(10039, context,
                            "%s is not a valid value (min. length %d, max. length %d)",
                            {FTableName, 1, int32_t(C_MAX_TABLE_NAME)});
    ValidateObjectName(FTableName, "Table");
    const int32_t count = fieldDefs.Count();
    if (count < 1 || count > C_MAX_FIELDS)
        ZanDatabaseErrorFmt(9492, context, "%d is not a valid value (min. %d, max. %d)",
                            {count, 1, C_MAX_FIELDS});
    for (int i = 0; i < count; ++i) {
        const TFieldDef& fd = fieldDefs.Items(i);
        ValidateObjectName(fd.GetName(), "Field");
        if (int32_t(fd.GetName().size()) > C_MAX_FIELD_NAME)
            ZanDatabaseErrorFmt(10038, context,
                                "%s is not a valid value (min. length %d, max. length %d)",
                                {fd.GetName(), 1, C_MAX_FIELD_NAME});
        const TFieldType type = fd.GetDataType();
        TInternalFieldItem* f = AddTableField(def, fd.GetName(), type);
        f->SetRequired(fd.GetRequired());
        if (type == ftString || type == ftBytes) {
            if (fd.GetSize() < 1 || fd.GetSize() > C_MAX_FIELD_SIZE)
                ZanDatabaseErrorFmt(9606, context, "%d is not a valid value (min. %d, max. %d)",
                                    {fd.GetSize(), 1, C_MAX_FIELD_SIZE});
            // A string's declared size counts its terminator; only strings carry a size
            // marker in the record.
            f->SetFieldSize(type == ftString ? fd.GetSize() + 1 : fd.GetSize());
            f->SetIsVariable(type == ftString);
        }
    }
    TInternalFields& fields = *def.GetInternalFields();
    fields.SetDefaultOffsets();
    fields.Open();
    def.SetRecordSize(fields.GetRecordSize());
    ZanAssert(def.GetRecordSize() > 0, "Record size = 0");
    def.SetUsesBlobs(fields.GetUsesBlobs());
    if (indexDefs.Count() > C_MAX_INDEXES)
        ZanDatabaseErrorFmt(9604, context, "Maximum allowed is %d", {C_MAX_INDEXES});
    for (int i = 0; i < indexDefs.Count(); ++i)
        AddIndexDef(indexDefs.Items(i));
    if (indexDefs.Count() == 0) {
        TIndexDef logical;
        logical.SetName("_LogicalRecNo");
        AddIndexDef(logical);
    }
}

void TZanDataSet::InternalCreateTable() {
    CheckConnected();
    CheckInternalInactive();
    TDiskWriteScope scope(WriteScopeDisk());
    FDataBase->CreateTable(*FTableDef, FDataBase->GetSaveTableDefinitions());
}

void TZanDataSet::DataSetEmptyTable() {
    CheckInternalActive();
    CheckPrivilegePresent(FTableDef->GetPrivilegeFlags(), MapObjectPrivTypeToConst(opDeleteData));
    TDiskWriteScope scope(WriteScopeDisk());
    const bool taken = TakeWriteLock();
    TTableDef& def = *FTableDef;
    TTableHeader& header = *def.GetTableHeader();
    TScopeExit release([&] {
        header.SetDirty(true);
        ReleaseTaken(taken);
    });
    const bool wasLocked = FDataBase->GetLocked();
    FDataBase->SetLocked(true);
    TScopeExit unmark([&] {
        if (!wasLocked) FDataBase->SetLocked(false);
    });
    def.GetRecordInterface()->Empty(true);
    def.GetRecordInterface()->SetFirstEmpty(0);
    def.GetRecordInterface()->SetFirstEmptyValid(true);
    header.SetLogicalRecordNo(0);
    def.GetBlobInterface()->Empty(true);
    def.GetBlobInterface()->SetFirstEmpty(0);
    def.GetBlobInterface()->SetFirstEmptyValid(true);
    RecreateIndexes();
    InitializeNewRecord(FRecBuf.data(), false);
    FRecordMgr->GetBlobMgr().InvalidateStreams();
    FBufferState = 0;
    ClearFoundFlags();
    InvalidateReadAhead(true);
    ClearBlobCache();
    FFilterMgr->ResetFilter();
}

} // namespace zan
