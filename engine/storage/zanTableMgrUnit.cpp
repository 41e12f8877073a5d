#include "engine/storage/zanTableMgrUnit.h"

#include <algorithm>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDisk.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr int32_t C_NOTINITIALIZED = 8576;
constexpr int32_t C_INVALIDOPERATION = 8577;
constexpr int32_t C_OBJECTINUSE = 8578;
constexpr int32_t C_OBJECTNOTFOUND = 8579;
constexpr int32_t C_OBJECTEXISTS = 8580;
constexpr int32_t C_FILECORRUPT = 8962;
constexpr int32_t C_WRONGTABLETYPE = 10766;
// Index slots a table header holds.
constexpr int32_t C_MAX_INDEX_SLOTS = 34;

// An empty leaf page of an index: leaf flag 1, nothing used.
std::vector<uint8_t> EmptyLeafPage(uint32_t pageSize) {
    std::vector<uint8_t> page(pageSize, 0);
    PutLE32(page.data(), 1);
    return page;
}

// Gives every index definition of def a fresh empty root of depth 1 in the store.
void CreateEmptyRoots(const TTableDef& def, TBaseIOInterface& store, TTableHeader& header) {
    const TInternalIndexDefs& defs = *def.GetInternalIndexDefs();
    for (int i = 0; i < defs.Count(); ++i) {
        const TInternalIndexDef* index = defs.Items(i);
        const uint32_t pageSize = index->GetIndexPageSize();
        std::vector<uint8_t> page = EmptyLeafPage(pageSize);
        const uint32_t root = store.AllocateNewAddress(pageSize, page.data());
        header.SetIndexRoot(index->GetIndexSequence(), root);
        header.SetIndexDepth(index->GetIndexSequence(), 1);
    }
}

// A change list whose state means the stored data must be rebuilt.
bool NeedsRebuild(TDefChangeType status) {
    const std::string_view text = DefChangeTypeText(status);
    return text == "New Item" || text == "Deleted Item" || text == "Data Requirements Changed" ||
           text == "Data Loss Possible";
}

} // namespace

uint8_t AccessFlagsForEncryption(TEncryptionLevel level) {
    switch (level) {
    case encStrong:
        return 5;
    case encWeak:
        return 3;
    default:
        return 1;
    }
}

// ---------------------------------------------------------------------------------------------
// Property table of the stored field items

const TPropertyTable& TInternalFieldItem::Properties() {
    static const TPropertyTableOf<TInternalFieldItem> table = [] {
        using T = TInternalFieldItem;
        TPropertyTableOf<T> t("TInternalFieldItem");
        t.String("FieldName", &T::GetFieldName, &T::SetFieldName)
            .Integer("FieldNo", &T::GetFieldNo, &T::SetFieldNo)
            .Integer("FieldIndex", &T::GetFieldIndex, &T::SetFieldIndex)
            .Enumeration("DataType", &T::GetDataType, &T::SetDataType, FieldTypeIdentifiers())
            .Integer("FieldSize", &T::GetFieldSize, &T::SetFieldSize)
            .Integer("NumDecimalPlaces", &T::GetNumDecimalPlaces, &T::SetNumDecimalPlaces, 0)
            .Boolean("Required", &T::GetRequired, &T::SetRequired)
            .Integer("SizeMarkerOffset", &T::GetSizeMarkerOffset, &T::SetSizeMarkerOffset)
            .Integer("DataOffset", &T::GetDataOffset, &T::SetDataOffset)
            .Integer("NullFlagOffset", &T::GetNullFlagOffset, &T::SetNullFlagOffset)
            .Boolean("IsVariable", &T::GetIsVariable, &T::SetIsVariable, false)
            .Integer("FieldGeneratorID", &T::GetFieldGeneratorID, &T::SetFieldGeneratorID)
            .Boolean("Hidden", &T::GetHidden, &T::SetHidden, false)
            .Enumeration("CompressionMode", &T::GetCompressionMode, &T::SetCompressionMode,
                         {"dcNone", "dcZLib", "dcCustom", "dcUnknown"}, dcNone);
        return t;
    }();
    return table;
}

// ---------------------------------------------------------------------------------------------
// TTableDef

const TPropertyTable& TTableDef::Properties() {
    static const TPropertyTableOf<TTableDef> table = [] {
        using T = TTableDef;
        TPropertyTableOf<T> t("TTableDef");
        t.Integer("TableID", &T::GetTableID, &T::SetTableID)
            .Integer("OwnerFlag", &T::GetOwnerFlag, &T::SetOwnerFlag)
            .String("TableName", &T::GetTableName, &T::SetTableName)
            .String("AltName", &T::GetAltName, &T::SetAltName)
            .String("Version", &T::GetVersion, &T::SetVersion)
            .String("OS", &T::GetOS, &T::SetOS)
            .Float("CreationDate", &T::GetCreationDate, &T::SetCreationDate)
            .Float("LastModDate", &T::GetLastModDate, &T::SetLastModDate)
            .String("CreatedBy", &T::GetCreatedBy, &T::SetCreatedBy)
            .String("Password", &T::GetPassword, &T::SetPassword)
            .Boolean("Encrypted", &T::GetEncrypted, &T::SetEncrypted)
            .Integer("SecurityLevel", &T::GetSecurityLevel, &T::SetSecurityLevel)
            .Boolean("Memory", &T::GetMemory, &T::SetMemory)
            .Integer("RecordSize", &T::GetRecordSize, &T::SetRecordSize)
            .Integer("DefaultBlobSize", &T::GetDefaultBlobSize, &T::SetDefaultBlobSize)
            .Boolean("UsesBlobs", &T::GetUsesBlobs, &T::SetUsesBlobs)
            .Enumeration("SortOrder", &T::GetSortOrder, &T::SetSortOrder, {"soANSI", "soASCII"})
            .Boolean("InternalTable", &T::GetInternalTable, &T::SetInternalTable)
            .Enumeration("EncryptionLevel", &T::GetEncryptionLevel, &T::SetEncryptionLevel,
                         {"encNone", "encWeak", "encStrong"})
            .Collection("KeyFields", &T::GetKeyFields)
            .Collection("InternalFields", &T::GetInternalFields)
            .Collection("InternalIndexDefs", &T::GetInternalIndexDefs)
            .Boolean("BlobCompression", &T::GetBlobCompression, &T::SetBlobCompression);
        return t;
    }();
    return table;
}

TTableDef::TTableDef(TComponent* owner)
    : TComponent(owner), FKeyFields(std::make_unique<TKeyFields>()),
      FInternalFields(std::make_unique<TInternalFields>()),
      FInternalIndexDefs(std::make_unique<TInternalIndexDefs>()) {}

TTableDef::~TTableDef() {
    FreeInterfaces();
}

void TTableDef::SetInterfaces(TBaseIOInterface* index, TBaseIOInterface* blob,
                              TBaseIOInterface* record) {
    FIndexInterface = index;
    FBlobInterface = blob;
    FRecordInterface = record;
}

void TTableDef::Assign(const TTableDef& source) {
    if (&source == this) return;
    FTableID = source.FTableID;
    FTableName = source.FTableName;
    FVersion = source.FVersion;
    FOS = source.FOS;
    FCreationDate = source.FCreationDate;
    FCreatedBy = source.FCreatedBy;
    FEncrypted = source.FEncrypted;
    FEncryptionLevel = source.FEncryptionLevel;
    FPassword = source.FPassword;
    FMemory = source.FMemory;
    FRecordSize = source.FRecordSize;
    FUsesBlobs = source.FUsesBlobs;
    FDefaultBlobSize = source.FDefaultBlobSize;
    FSortOrder = source.FSortOrder;
    FAltName = source.FAltName;
    FPrivilegeFlags = source.FPrivilegeFlags;
    FBlobCompression = source.FBlobCompression;
    FKeyFields->Assign(*source.FKeyFields);
    FInternalFields->Assign(*source.FInternalFields);
    FInternalIndexDefs->Assign(*source.FInternalIndexDefs);
}

void TTableDef::Clear() {
    if (FMasterDef) ZanDatabaseError(C_INVALIDOPERATION, "TTableDef.Clear");
    FreeInterfaces();
    FTableHeader = nullptr;
    FActive = false;
    FTableID = 0;
    FOwnerFlag = 0;
    FTableName.clear();
    FAltName.clear();
    FVersion.clear();
    FOS.clear();
    FCreationDate = 0;
    FLastModDate = 0;
    FCreatedBy.clear();
    FPassword.clear();
    FEncrypted = false;
    FSecurityLevel = 0;
    FMemory = false;
    FRecordSize = 0;
    FDefaultBlobSize = C_DEFAULT_BLOB_SIZE;
    FUsesBlobs = false;
    FSortOrder = soANSI;
    FInternalTable = false;
    FEncryptionLevel = encNone;
    FBlobCompression = false;
    FPrivilegeFlags = 0;
    FKeyFields->Clear();
    FInternalFields->Clear();
    FInternalIndexDefs->Clear();
}

bool TTableDef::Validate() {
    for (int k = 0; k < FKeyFields->Count(); ++k) {
        TKeyFieldItem* key = FKeyFields->Items(k);
        if (FInternalIndexDefs->FindIndexDef(key->GetIndexName()) != nullptr) continue;
        // The lowest-numbered index definition that has no key fields takes it.
        for (int i = 0; i < FInternalIndexDefs->Count(); ++i) {
            const std::string& name = FInternalIndexDefs->Items(i)->GetIndexName();
            if (FKeyFields->FindFieldCountForIndex(name) == 0) {
                key->SetIndexName(name);
                break;
            }
        }
    }
    return true;
}

void TTableDef::CheckStoredLayout() const {
    static const char* const context = "TTableDef.InternalOpen";
    // The largest record a layout describes: every field with its null flag, size marker and
    // the largest data a field holds. A larger size would only size buffers by the file.
    constexpr int64_t maxRecordSize =
        int64_t(C_RECORD_PREFIX_SIZE) + int64_t(C_MAX_LAYOUT_FIELDS) * (1 + 2 + 65535);
    if (FRecordSize < C_RECORD_PREFIX_SIZE || FRecordSize > maxRecordSize)
        ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Invalid record size %d", {FRecordSize});
    if (FInternalFields->Count() > C_MAX_LAYOUT_FIELDS)
        ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Invalid field count %d",
                            {FInternalFields->Count()});
    if (FDefaultBlobSize < C_MIN_BLOB_SIZE || FDefaultBlobSize > C_MAX_BLOB_SIZE)
        ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Invalid blob block size %d",
                            {FDefaultBlobSize});
    FInternalFields->Open();
    FInternalFields->CheckLayout(FRecordSize);
    for (int i = 0; i < FInternalIndexDefs->Count(); ++i) {
        const TInternalIndexDef* index = FInternalIndexDefs->Items(i);
        const uint32_t pageSize = index->GetIndexPageSize();
        if (index->GetIndexSequence() < 0 || index->GetIndexSequence() >= C_MAX_INDEX_SLOTS ||
            pageSize < C_DEFAULT_INDEX_PAGE_SIZE || pageSize > 32768 || pageSize % 2048 != 0)
            ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Invalid index definition %s",
                                {index->GetIndexName()});
        // A tree takes no more key fields than that; more would fail every open later.
        if (FKeyFields->FindFieldCountForIndex(index->GetIndexName()) > C_MAXKEYFIELDS)
            ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Too many key fields in index %s",
                                {index->GetIndexName()});
    }
    // Key values are copied out of record buffers: every key field must lie inside a record.
    for (int k = 0; k < FKeyFields->Count(); ++k) {
        const TKeyFieldItem* key = FKeyFields->Items(k);
        const int64_t size = key->GetFieldSize();
        const bool ok = key->GetFieldSize() >= 0 && key->GetRecBufOffset() >= 0 &&
                        key->GetRecBufOffset() + size <= FRecordSize &&
                        key->GetNullFlagOffset() >= 0 && key->GetNullFlagOffset() < FRecordSize &&
                        key->GetSizeMarkerOffset() >= 0 &&
                        int64_t(key->GetSizeMarkerOffset()) + 2 <= FRecordSize;
        if (!ok)
            ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Key field %s lies outside the record",
                                {key->GetFieldName()});
        if (size > C_MAXKEYSIZE)
            ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Key field %s is too large",
                                {key->GetFieldName()});
        // A key field of a table field is a copy of that field's layout: keys are built from
        // the record by it and the field found by its number, so the two must agree (a key
        // of another type or place would order and compare other bytes than the field holds).
        const int32_t no = key->GetPhysicalFieldNo();
        if (no == -1) continue;
        const TInternalFieldItem* f =
            no >= 0 && no < FInternalFields->Count() ? FInternalFields->GetField(no) : nullptr;
        if (f == nullptr || f->GetDataType() != key->GetDataType() ||
            f->GetFieldSize() != key->GetFieldSize() ||
            f->GetDataOffset() != key->GetRecBufOffset() ||
            f->GetNullFlagOffset() != key->GetNullFlagOffset() ||
            f->GetSizeMarkerOffset() != key->GetSizeMarkerOffset())
            ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Key field %s does not match its field",
                                {key->GetFieldName()});
    }
    // The trees build keys up to the index's maximum key size, which the keys must fit and
    // which must not exceed the largest key an index takes.
    for (int i = 0; i < FInternalIndexDefs->Count(); ++i) {
        const TInternalIndexDef* index = FInternalIndexDefs->Items(i);
        const int64_t needed =
            int64_t(CalculateMaximumKeySize(*FKeyFields, index->GetIndexName())) +
            index->GetKeyDataOffset();
        if (index->GetMaximumKeySize() > C_MAXKEYSIZE || needed > index->GetMaximumKeySize())
            ZanDatabaseErrorFmt(C_FILECORRUPT, context, "Invalid key size of index %s",
                                {index->GetIndexName()});
    }
}

void TTableDef::BuildMemoryInterfaces() {
    auto make = [&](uint16_t usage, uint32_t blockSize) {
        auto io = std::make_unique<TMemoryIOInterface>();
        io->SetBlockSize(blockSize);
        io->SetTableID(static_cast<uint16_t>(FTableID));
        io->SetUsage(usage);
        io->SetAccessFlags(GetAccessFlags());
        io->Open();
        TBaseIOInterface* raw = io.get();
        FOwnedInterfaces.push_back(std::move(io));
        return raw;
    };
    FIndexInterface = make(C_USAGE_INDEX, C_DEFAULT_INDEX_PAGE_SIZE);
    FBlobInterface = make(C_USAGE_BLOBS, static_cast<uint32_t>(FDefaultBlobSize));
    FRecordInterface = make(C_USAGE_RECORDS, static_cast<uint32_t>(FRecordSize));
    CreateEmptyRoots(*this, *FIndexInterface, *FTableHeader);
    FTableHeader->WriteHeader();
}

void TTableDef::BuildDiskInterfaces(TDiskMgr* disk) {
    auto make = [&](uint16_t usage, uint32_t blockSize) {
        auto io = std::make_unique<TDiskIOInterface>();
        io->SetDiskMgr(disk);
        io->SetBlockSize(blockSize);
        io->SetTableID(static_cast<uint16_t>(FTableID));
        io->SetUsage(usage);
        io->SetAccessFlags(GetAccessFlags());
        TDiskIOInterface* raw = io.get();
        FOwnedInterfaces.push_back(std::move(io));
        return raw;
    };
    const uint32_t indexPageSize = FInternalIndexDefs->Count() > 0
                                       ? FInternalIndexDefs->Items(0)->GetIndexPageSize()
                                       : C_DEFAULT_INDEX_PAGE_SIZE;
    TDiskIOInterface* index = make(C_USAGE_INDEX, indexPageSize);
    index->SetGlobalFirstEmptyOffset(C_GLOBAL_FE_INDEXES);
    index->SetFirstEmptyValid(false);
    TDiskIOInterface* blob = make(C_USAGE_BLOBS, static_cast<uint32_t>(FDefaultBlobSize));
    blob->SetFirstEmpty(FTableHeader->GetBlobFirstEmpty());
    blob->SetFirstEmptyValid(true);
    TDiskIOInterface* record = make(C_USAGE_RECORDS, static_cast<uint32_t>(FRecordSize));
    record->SetFirstEmpty(FTableHeader->GetRecordFirstEmpty());
    record->SetFirstEmptyValid(true);
    for (auto& io : FOwnedInterfaces)
        io->Open();
    FIndexInterface = index;
    FBlobInterface = blob;
    FRecordInterface = record;
}

void TTableDef::InternalOpen(TDiskMgr* disk) {
    if (FTableHeader == nullptr) ZanDatabaseError(C_NOTINITIALIZED, "TTableDef.InternalOpen");
    if (FMasterDef && FOwnedInterfaces.empty()) {
        if (FRecordSize == 0) {
            FInternalFields->SetDefaultOffsets();
            FRecordSize = FInternalFields->GetRecordSize();
        }
        CheckStoredLayout();
        FInternalFields->SetRecordSize(FRecordSize);
        try {
            if (disk == nullptr)
                BuildMemoryInterfaces();
            else
                BuildDiskInterfaces(disk);
        } catch (...) {
            FreeInterfaces();
            throw;
        }
    }
    FActive = true;
}

void TTableDef::FreeInterfaces() {
    for (auto& io : FOwnedInterfaces) {
        try {
            io->Close();
        } catch (const Exception&) {
            // Closing a store only drops its buffers; nothing is lost when it fails.
        }
    }
    FOwnedInterfaces.clear();
    FIndexInterface = FBlobInterface = FRecordInterface = nullptr;
}

void TTableDef::InternalClose() {
    FreeInterfaces();
    FActive = false;
}

void TTableDef::DebugSetDefs() {
    FTableName = "DebugTable";
    FInternalFields->Clear();
    FKeyFields->Clear();
    FInternalIndexDefs->Clear();
    AddTableField(*this, "Int1", ftInteger);
    AddTableField(*this, "Str1", ftString, 21);
    AddTableField(*this, "Date1", ftDate);
    FInternalFields->SetDefaultOffsets();
    FRecordSize = FInternalFields->GetRecordSize();
    AddTableIndex(*this, "one", "Int1", true, false);
    AddTableIndex(*this, "two", "Str1", true, false);
}

TInternalFieldItem* AddTableField(TTableDef& def, const std::string& name, TFieldType type,
                                  int32_t size) {
    TInternalFields& fields = *def.GetInternalFields();
    TInternalFieldItem* f = fields.Add();
    f->SetFieldName(name);
    f->SetDataType(type);
    if (size > 0) f->SetFieldSize(size);
    f->SetFieldNo(fields.Count());
    f->SetFieldIndex(fields.Count() - 1);
    return f;
}

TInternalIndexDef* AddTableIndex(TTableDef& def, const std::string& indexName,
                                 const std::string& fieldNames, bool unique,
                                 bool caseInsensitive, TIndexKeyType kind) {
    TStringList names;
    ConvertFieldNamesToList(fieldNames, names);
    TInternalFields& fields = *def.GetInternalFields();
    for (int n = 0; n < names.Count(); ++n) {
        const TInternalFieldItem* f = nullptr;
        for (int i = 0; i < fields.Count() && f == nullptr; ++i)
            if (fields.Items(i)->GetFieldName() == names.Get(n)) f = fields.Items(i);
        ZanAssert(f != nullptr, "AddTableIndex: unknown field");
        TKeyFieldItem* k = def.GetKeyFields()->Add();
        k->SetFieldName(f->GetFieldName());
        k->SetDataType(f->GetDataType());
        k->SetFieldSize(f->GetFieldSize());
        k->SetRecBufOffset(f->GetDataOffset());
        k->SetNullFlagOffset(f->GetNullFlagOffset());
        k->SetSizeMarkerOffset(f->GetSizeMarkerOffset());
        k->SetPhysicalFieldNo(f->GetIndex());
        k->SetCaseInsensitive(caseInsensitive);
        k->SetIndexName(indexName);
    }
    TInternalIndexDef* d = def.GetInternalIndexDefs()->Add();
    d->SetIndexName(indexName);
    d->SetIndexSequence(def.GetInternalIndexDefs()->Count() - 1);
    d->SetUnique(unique);
    d->SetMaintained(true);
    d->SetIndexKeyType(kind);
    PrepareIndexDef(*d, *def.GetKeyFields());
    return d;
}

// ---------------------------------------------------------------------------------------------
// TBaseTableDefMgr

TBaseTableDefMgr::TBaseTableDefMgr() = default;

TBaseTableDefMgr::~TBaseTableDefMgr() = default;

void TBaseTableDefMgr::Close() {
    for (auto& master : FMasters) {
        master->SetMasterDef(false);
        master->InternalClose();
    }
    FMasters.clear();
}

int32_t TBaseTableDefMgr::IndexOfTableName(const std::string& name) const {
    for (size_t i = 0; i < FMasters.size(); ++i)
        if (SameText(FMasters[i]->GetTableName(), name)) return static_cast<int32_t>(i);
    return -1;
}

int32_t TBaseTableDefMgr::IndexOfTableDef(int32_t tableID) const {
    for (size_t i = 0; i < FMasters.size(); ++i)
        if (FMasters[i]->GetTableID() == tableID) return static_cast<int32_t>(i);
    return -1;
}

int32_t TBaseTableDefMgr::CheckTableUserCount(int32_t tableID) const {
    const int32_t i = IndexOfTableDef(tableID);
    return i < 0 ? 0 : Masters(i)->GetUserCount();
}

void TBaseTableDefMgr::GetCurrentTableNames(TStrings& list) const {
    for (const auto& master : FMasters)
        list.Add(master->GetTableName());
}

TTableDef* TBaseTableDefMgr::CreateMaster(const std::string& name, TTableDef& def, bool memory,
                                          const char* context) {
    if (!FHeaderMgr) ZanDatabaseError(C_NOTINITIALIZED, context);
    if (def.GetMemory() != memory) ZanDatabaseError(C_INVALIDOPERATION, context);
    if (IndexOfTableName(name) >= 0) ZanDatabaseError(C_OBJECTEXISTS, context, name);
    const int32_t id = FHeaderMgr->AddTable(def.GetInternalIndexDefs()->Count());
    TTableDef* master = AddMaster(def);
    master->SetTableName(name);
    master->SetTableID(id);
    master->SetOwnerFlag(static_cast<uint32_t>(id) << 4);
    def.SetTableID(id);
    def.SetOwnerFlag(master->GetOwnerFlag());
    return master;
}

TTableDef* TBaseTableDefMgr::AddMaster(const TTableDef& def) {
    auto master = std::make_unique<TTableDef>();
    master->Assign(def);
    master->SetOwnerFlag(def.GetOwnerFlag());
    master->SetSecurityLevel(def.GetSecurityLevel());
    master->SetLastModDate(def.GetLastModDate());
    master->SetInternalTable(def.GetInternalTable());
    master->SetMasterDef(true);
    FMasters.push_back(std::move(master));
    return FMasters.back().get();
}

void TBaseTableDefMgr::RemoveMaster(TTableDef* master) {
    auto it = std::find_if(FMasters.begin(), FMasters.end(),
                           [&](const auto& m) { return m.get() == master; });
    if (it != FMasters.end()) FMasters.erase(it);
}

void TBaseTableDefMgr::WireCopy(TTableDef& def, TTableDef& master) {
    def.SetInterfaces(master.GetIndexInterface(), master.GetBlobInterface(),
                      master.GetRecordInterface());
    def.SetTableHeader(master.GetTableHeader());
    def.InternalOpen(nullptr);
}

void TBaseTableDefMgr::ReleaseMasterForDelete(TTableDef& def, const char* context) {
    const int32_t i = IndexOfTableDef(def.GetTableID());
    if (i < 0) return;
    TTableDef* master = Masters(i);
    // The deleter's own connection is the only one that may remain; a refused delete leaves
    // the count as it was.
    if (master->GetUserCount() - 1 > 0) ZanDatabaseError(C_OBJECTINUSE, context);
    master->SetUserCount(0);
    TTableHeader* header = master->GetTableHeader();
    master->InternalClose();
    master->SetTableHeader(nullptr);
    if (header != nullptr) FHeaderMgr->CloseTable(header);
    RemoveMaster(master);
}

void TBaseTableDefMgr::CloseAndRemoveMaster(TTableDef* master) {
    TTableHeader* header = master->GetTableHeader();
    master->InternalClose();
    master->SetTableHeader(nullptr);
    RemoveMaster(master);
    if (header != nullptr) FHeaderMgr->CloseTable(header);
}

void TBaseTableDefMgr::ForgetUnusedMaster(const std::string& name) {
    const int32_t i = IndexOfTableName(name);
    if (i < 0) return;
    TTableDef* master = Masters(i);
    if (master->GetUserCount() > 0) return;
    CloseAndRemoveMaster(master);
}

// ---------------------------------------------------------------------------------------------
// TMemoryTableDefMgr

TMemoryTableDefMgr::TMemoryTableDefMgr() = default;

TMemoryTableDefMgr::~TMemoryTableDefMgr() {
    try {
        Close();
    } catch (const Exception&) {
        // Memory stores cannot fail to close; nothing is stored anywhere else.
    }
}

void TMemoryTableDefMgr::Open() {
    Close();
    FHdrInterface = std::make_unique<TMemoryIOInterface>();
    FHdrInterface->SetBlockSize(4096);
    FHdrInterface->SetUsage(C_USAGE_HEADERS);
    FHdrInterface->Open();
    auto mgr = std::make_unique<TTableHeaderMgr>();
    const uint32_t map = FHdrInterface->AllocateNewAddress(C_HEADER_MAP_SIZE, nullptr);
    mgr->SetBaseAddress(map);
    mgr->SetBaseTableID(BaseTableID());
    mgr->Open(FHdrInterface.get());
    FHeaderMgr = std::move(mgr);
}

void TMemoryTableDefMgr::Close() {
    for (auto& master : FMasters) {
        TTableHeader* header = master->GetTableHeader();
        master->InternalClose();
        master->SetTableHeader(nullptr);
        if (header != nullptr && FHeaderMgr) FHeaderMgr->CloseTable(header);
    }
    TBaseTableDefMgr::Close();
    if (FHeaderMgr) FHeaderMgr->Close();
    FHeaderMgr.reset();
    if (FHdrInterface) FHdrInterface->Close();
    FHdrInterface.reset();
}

void TMemoryTableDefMgr::InitializeIndexInterface(TTableDef&) {
    // Memory tables get their roots when their master opens.
}

int32_t TMemoryTableDefMgr::CreateTableDef(const std::string& name, TTableDef& def) {
    return CreateMaster(name, def, true, "MemoryTableDefMgr.CreateTableDef")->GetTableID();
}

void TMemoryTableDefMgr::OpenTableDefConnection(const std::string& name, TTableDef& def) {
    const int32_t i = IndexOfTableName(name);
    if (i < 0)
        ZanDatabaseError(C_OBJECTNOTFOUND, "TMemoryTableDefMgr.OpenTableDefConnection", name);
    TTableDef* master = Masters(i);
    if (!master->GetActive()) {
        if (master->GetTableHeader() == nullptr)
            master->SetTableHeader(FHeaderMgr->OpenTable(master->GetTableID()));
        master->InternalOpen(nullptr);
    }
    def.Assign(*master);
    def.SetOwnerFlag(master->GetOwnerFlag());
    WireCopy(def, *master);
    master->SetUserCount(master->GetUserCount() + 1);
}

void TMemoryTableDefMgr::CloseTableDefConnection(int32_t tableID) {
    const int32_t i = IndexOfTableDef(tableID);
    if (i < 0)
        ZanDatabaseError(C_OBJECTNOTFOUND, "MemoryTableDefMgr.CloseTableDefConnection",
                         IntToStr(tableID));
    TTableDef* master = Masters(i);
    if (master->GetUserCount() > 0) master->SetUserCount(master->GetUserCount() - 1);
}

int32_t TMemoryTableDefMgr::DeleteTableDef(const std::string&, TTableDef& def) {
    ReleaseMasterForDelete(def, "TMemoryTableDefMgr.DeleteTableDef");
    const int32_t id = def.GetTableID();
    FHeaderMgr->DeleteTable(id);
    def.InternalClose();
    def.SetTableHeader(nullptr);
    def.SetTableID(0);
    return id;
}

void TMemoryTableDefMgr::RestructureTableDef(TTableDef& def, const TInternalRestructureRec&) {
    ZanDatabaseError(C_WRONGTABLETYPE, "TMemoryTableDefMgr.RestructureTableDef",
                     def.GetTableName());
}

// ---------------------------------------------------------------------------------------------
// TDiskTableDefMgr

TDiskTableDefMgr::~TDiskTableDefMgr() {
    try {
        Close();
    } catch (const Exception&) {
        // A header that cannot be written back is reported by the explicit Close.
    }
}

TDiskMgr* TDiskTableDefMgr::DiskMgr() const {
    return FHdrDiskInterface ? FHdrDiskInterface->GetDiskMgr() : nullptr;
}

void TDiskTableDefMgr::Open() {
    static const char* const context = "TDiskTableDefMgr.InternalInitHeaderMgr";
    Close();
    if (FHdrDiskInterface == nullptr) ZanDatabaseError(C_OBJECTNOTFOUND, context);
    if (FBaseDefMgrAddress == 0) ZanDatabaseError(C_NOTINITIALIZED, context);
    auto mgr = std::make_unique<TTableHeaderMgr>();
    mgr->SetBaseAddress(FBaseDefMgrAddress);
    mgr->SetBaseTableID(BaseTableID());
    mgr->Open(FHdrDiskInterface);
    FHeaderMgr = std::move(mgr);
}

void TDiskTableDefMgr::Close() {
    for (auto& master : FMasters) {
        TTableHeader* header = master->GetTableHeader();
        master->InternalClose();
        master->SetTableHeader(nullptr);
        if (header != nullptr && FHeaderMgr) FHeaderMgr->CloseTable(header);
    }
    if (FHeaderMgr) FHeaderMgr->Close();
    TBaseTableDefMgr::Close();
    FHeaderMgr.reset();
}

std::unique_ptr<TDiskIOInterface> TDiskTableDefMgr::NewIndexStore(const TTableDef& def) const {
    auto io = std::make_unique<TDiskIOInterface>();
    io->SetDiskMgr(DiskMgr());
    io->SetGlobalFirstEmptyOffset(C_GLOBAL_FE_INDEXES);
    io->SetFirstEmptyValid(false);
    io->SetBlockSize(C_DEFAULT_INDEX_PAGE_SIZE);
    io->SetUsage(C_USAGE_INDEX);
    io->SetTableID(static_cast<uint16_t>(def.GetTableID()));
    io->SetAccessFlags(def.GetAccessFlags());
    io->Open();
    return io;
}

void TDiskTableDefMgr::InitializeIndexInterface(TTableDef& def) {
    TTableHeader* header = FHeaderMgr->OpenTable(def.GetTableID());
    try {
        std::unique_ptr<TDiskIOInterface> io = NewIndexStore(def);
        CreateEmptyRoots(def, *io, *header);
        header->WriteHeader();
        io->Close();
    } catch (...) {
        FHeaderMgr->CloseTable(header);
        throw;
    }
    FHeaderMgr->CloseTable(header);
}

int32_t TDiskTableDefMgr::CreateTableDef(const std::string& name, TTableDef& def) {
    TDiskWriteScope scope(DiskMgr());
    TTableDef* master = CreateMaster(name, def, false, "TDiskTableDefMgr.CreateTableDef");
    InitializeIndexInterface(*master);
    return master->GetTableID();
}

void TDiskTableDefMgr::OpenTableDefConnection(const std::string& name, TTableDef& def) {
    int32_t i = IndexOfTableDef(def.GetTableID());
    if (i < 0) i = IndexOfTableName(name);
    TTableDef* master = i >= 0 ? Masters(i) : nullptr;
    bool created = false;
    if (master == nullptr) {
        master = AddMaster(def);
        created = true;
    }
    try {
        if (!master->GetActive()) {
            if (master->GetTableHeader() == nullptr)
                master->SetTableHeader(FHeaderMgr->OpenTable(master->GetTableID()));
            master->InternalOpen(DiskMgr());
        }
    } catch (...) {
        TTableHeader* header = master->GetTableHeader();
        master->SetTableHeader(nullptr);
        if (header != nullptr) FHeaderMgr->CloseTable(header);
        if (created) RemoveMaster(master);
        throw;
    }
    WireCopy(def, *master);
    master->SetUserCount(master->GetUserCount() + 1);
}

void TDiskTableDefMgr::CloseTableDefConnection(int32_t tableID) {
    const int32_t i = IndexOfTableDef(tableID);
    if (i < 0)
        ZanDatabaseError(C_OBJECTNOTFOUND, "TDiskTableDefMgr.CloseTableDefConnection",
                         IntToStr(tableID));
    TTableDef* master = Masters(i);
    master->SetUserCount(master->GetUserCount() - 1);
    if (master->GetUserCount() > 0) return;
    CloseAndRemoveMaster(master);
}

int32_t TDiskTableDefMgr::DeleteTableDef(const std::string&, TTableDef& def) {
    TDiskWriteScope scope(DiskMgr());
    ReleaseMasterForDelete(def, "TDiskTableDefMgr.DeleteTableDef");
    const int32_t id = def.GetTableID();
    FHeaderMgr->DeleteTable(id);
    def.InternalClose();
    def.SetTableHeader(nullptr);
    def.SetTableID(0);
    return id;
}

void TDiskTableDefMgr::RestructureTableDef(TTableDef& def, const TInternalRestructureRec& rec) {
    static const char* const context = "TDiskTableDefMgr.RestructureTableDef";
    if (def.GetMemory()) ZanDatabaseError(C_INVALIDOPERATION, context);
    TDiskWriteScope scope(DiskMgr());
    TTableHeader* header = def.GetTableHeader();
    const bool ownHeader = header == nullptr;
    if (ownHeader) header = FHeaderMgr->OpenTable(def.GetTableID());
    try {
        const int32_t indexCount = def.GetInternalIndexDefs()->Count();
        const int32_t headerSize = CalcTableHeaderSize(indexCount);
        const uint32_t autoInc =
            rec.SetAutoIncValue ? rec.AutoIncValue : header->GetRecordAutoIncVal();
        const uint32_t gen1 = rec.SetGenerator1 ? rec.Generator1 : header->GetGenerator1();
        const uint32_t gen2 = rec.SetGenerator2 ? rec.Generator2 : header->GetGenerator2();
        const bool fieldsRebuilt = rec.FieldDefs && NeedsRebuild(rec.FieldDefs->GetChangeStatus());
        const bool indexesRebuilt = rec.IndexDefs && NeedsRebuild(rec.IndexDefs->GetChangeStatus());

        // Stores of the table for the duration of the change (the def's own when it is open).
        std::unique_ptr<TTableDef> temp;
        TTableDef* stores = &def;
        if (def.GetIndexInterface() == nullptr || def.GetRecordInterface() == nullptr) {
            temp = std::make_unique<TTableDef>();
            temp->Assign(def);
            temp->SetMasterDef(true);
            temp->SetTableHeader(header);
            temp->InternalOpen(DiskMgr());
            stores = temp.get();
        }

        if (fieldsRebuilt || indexesRebuilt) {
            // The old trees go with their pages: fresh roots replace them below.
            stores->GetIndexInterface()->Empty(false);
            if (fieldsRebuilt) {
                // Records and their blobs go; the dataset reloads them.
                stores->GetRecordInterface()->Empty(false);
                stores->GetBlobInterface()->Empty(false);
                stores->GetRecordInterface()->SetFirstEmpty(0);
                stores->GetRecordInterface()->SetFirstEmptyValid(true);
                stores->GetBlobInterface()->SetFirstEmpty(0);
                stores->GetBlobInterface()->SetFirstEmptyValid(true);
            }
            const uint32_t address = header->GetBaseAddress();
            // The change counter moves on through a restructure: a value that came round again
            // would let another connection keep pages of the old trees.
            const uint32_t counter = header->GetModifiedFlag();
            header->ResetHeaderSize(headerSize, fieldsRebuilt);
            header->SetModifiedFlag(counter);
            header->SetIndexCount(static_cast<uint32_t>(std::max(indexCount, 1)));
            header->SetBaseAddress(address);
            header->SetTableID(static_cast<uint32_t>(def.GetTableID()));
            for (int32_t slot = 0; slot < static_cast<int32_t>(header->GetIndexCount()); ++slot) {
                header->SetIndexRoot(slot, 0);
                header->SetIndexDepth(slot, 0);
            }
        }
        header->SetRecordAutoIncVal(autoInc);
        header->SetGenerator1(gen1);
        header->SetGenerator2(gen2);
        if (fieldsRebuilt || indexesRebuilt) {
            stores->GetIndexInterface()->SetFirstEmpty(0);
            stores->GetIndexInterface()->SetFirstEmptyValid(false);
            CreateEmptyRoots(def, *stores->GetIndexInterface(), *header);
        }
        header->WriteHeader();
        if (temp) temp->InternalClose();
    } catch (...) {
        if (ownHeader) FHeaderMgr->CloseTable(header);
        throw;
    }
    if (ownHeader) FHeaderMgr->CloseTable(header);
}

} // namespace zan
