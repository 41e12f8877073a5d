// TZanDataSet: what the cursor owns, opening and closing, record buffers and field access; the
// table and record locks of the database component.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

uint64_t ZanMonotonicMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

namespace {

bool IsTableOfMemoryManager(const TZanDataBase& db, const TTableDef& def) {
    return def.GetMemory() || db.IsMemoryDatabase();
}

int32_t PrivilegeBit(TObjectPrivilegeType type) {
    return MapObjectPrivTypeToConst(type);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Locks of the database component

bool TZanDataBase::LockTable(const TTableDef& def, int32_t lockType) {
    if (IsTableOfMemoryManager(*this, def) || !FDiskMgr) return false;
    FDiskMgr->SetTableLock(static_cast<uint16_t>(def.GetTableID()), lockType);
    return true;
}

bool TZanDataBase::UnLockTable(const TTableDef& def) {
    if (IsTableOfMemoryManager(*this, def) || !FDiskMgr) return false;
    FDiskMgr->ReleaseTableLock(static_cast<uint16_t>(def.GetTableID()));
    return true;
}

bool TZanDataBase::TableLockExists(const TTableDef& def) const {
    if (IsTableOfMemoryManager(*this, def) || !FDiskMgr) return false;
    return FDiskMgr->QueryTableLockStatus(static_cast<uint16_t>(def.GetTableID())) != 0;
}

bool TZanDataBase::LockRecord(const TTableDef& def, uint32_t address) {
    if (IsTableOfMemoryManager(*this, def) || !FDiskMgr) return false;
    FDiskMgr->SetRecordLock(address, static_cast<uint16_t>(def.GetTableID()));
    return true;
}

bool TZanDataBase::UnLockRecord(const TTableDef& def, uint32_t address) {
    if (IsTableOfMemoryManager(*this, def) || !FDiskMgr) return false;
    FDiskMgr->ReleaseRecordLock(address);
    return true;
}

bool TZanDataBase::RecordLockExists(const TTableDef& def, uint32_t address) const {
    if (IsTableOfMemoryManager(*this, def) || !FDiskMgr) return false;
    return FDiskMgr->QueryRecordLockStatus(address) != 0;
}

// ---------------------------------------------------------------------------------------------
// Construction

TZanDataSet::TZanDataSet(TComponent* owner)
    : TDataSet(owner), FTableDef(std::make_unique<TTableDef>()),
      FRecordMgr(std::make_unique<TRecordMgr>()), FIndexMgr(std::make_unique<TIndexManager>()),
      FBlobInterface(std::make_unique<TBlobInterface>()),
      FReadAhead(std::make_unique<TReadAheadBuffer>()),
      FFilterMgr(std::make_unique<TFilterMgr>()) {}

TZanDataSet::~TZanDataSet() {
    Destroying();
    CloseFromDestructor();
    FRecordMgr.reset();
    FReadAhead.reset();
    FFilterMgr.reset();
    FIndexMgr.reset();
    FBlobInterface.reset();
    if (FDataBase) {
        if (FRegistered)
            FDataBase->UnRegisterClient(this);
        else
            FDataBase->RemoveInternalDataSet(this);
    }
    FDataBase = nullptr;
    FTableDef.reset();
    ClearBlobCache();
}

void TZanDataSet::NotValid(const char* routine) const {
    ZanDatabaseError(8577, std::string("TZanDataSet.") + routine);
}

// The framework slots belong to the table datasets.
TRecordBuffer TZanDataSet::AllocRecordBuffer() { NotValid("AllocRecordBuffer"); }
void TZanDataSet::FreeRecordBuffer(TRecordBuffer&) { NotValid("FreeRecordBuffer"); }
TGetResult TZanDataSet::GetRecord(TRecordBuffer, TGetMode, bool) { NotValid("GetRecord"); }
void TZanDataSet::GetBookmarkData(TRecordBuffer, void*) { NotValid("GetBookmarkData"); }
void TZanDataSet::SetBookmarkData(TRecordBuffer, const void*) { NotValid("SetBookmarkData"); }
TBookmarkFlag TZanDataSet::GetBookmarkFlag(TRecordBuffer) { NotValid("GetBookmarkFlag"); }
void TZanDataSet::SetBookmarkFlag(TRecordBuffer, TBookmarkFlag) { NotValid("SetBookmarkFlag"); }
void TZanDataSet::InternalGotoBookmark(const void*) { NotValid("InternalGotoBookmark"); }
void TZanDataSet::InternalOpen() { NotValid("InternalOpen"); }
void TZanDataSet::InternalClose() { NotValid("InternalClose"); }
bool TZanDataSet::IsCursorOpen() { return false; }
void TZanDataSet::InternalInitFieldDefs() { NotValid("InternalInitFieldDefs"); }
void TZanDataSet::InternalFirst() { NotValid("InternalFirst"); }
void TZanDataSet::InternalLast() { NotValid("InternalLast"); }
void TZanDataSet::InternalSetToRecord(TRecordBuffer) { NotValid("InternalSetToRecord"); }
void TZanDataSet::InternalInitRecord(TRecordBuffer) { NotValid("InternalInitRecord"); }
void TZanDataSet::InternalAddRecord(TRecordBuffer, bool) { NotValid("InternalAddRecord"); }
void TZanDataSet::InternalDelete() { NotValid("InternalDelete"); }
bool TZanDataSet::GetFieldData(TField*, void*) { NotValid("GetFieldData"); }
void TZanDataSet::SetFieldData(TField*, const void*, int32_t) { NotValid("SetFieldData"); }
void TZanDataSet::InternalHandleException(const std::exception&) {
    NotValid("InternalHandleException");
}

void TZanDataSet::Notification(TComponent* component, TOperation operation) {
    TDataSet::Notification(component, operation);
    if (operation == opRemove && component == FDataBase) {
        try {
            DataSetClose();
        } catch (const std::exception&) {
            // The database goes: what it held goes with it.
        }
        FDataBase = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Properties

void TZanDataSet::SetDataBase(TZanDataBase* db) {
    CheckInternalInactive();
    if (db == FDataBase) return;
    // A dataset leaves the list it entered, whatever its definition says by then.
    if (FDataBase) {
        if (FRegistered)
            FDataBase->UnRegisterClient(this);
        else
            FDataBase->RemoveInternalDataSet(this);
    }
    FRegistered = false;
    FDataBase = db;
    if (db) {
        if (GetSystemTable() || FInternalOpen) {
            db->AddInternalDataSet(this);
        } else {
            db->RegisterClient(this);
            FRegistered = true;
        }
        db->FreeNotification(this);
        FSortOrder = db->GetDefaultSortOrder();
    }
}

void TZanDataSet::SetTableName(const std::string& name) {
    CheckInternalInactive();
    if (name == FTableName) return;
    FTableName = name;
    DataEvent(dePropertyChange, 0);
}

void TZanDataSet::SetTableOwner(const std::string& owner) {
    CheckInternalInactive();
    FTableOwner = owner;
}

void TZanDataSet::SetReadOnly(bool value) {
    CheckInternalInactive();
    FReadOnly = value;
}

void TZanDataSet::SetMemory(bool value) {
    CheckInternalInactive();
    FMemory = value;
}

void TZanDataSet::SetSortOrder(TSortOrder value) {
    CheckInternalInactive();
    FSortOrder = value;
}

void TZanDataSet::SetEncryptionLevel(TEncryptionLevel value) {
    CheckInternalInactive();
    FEncryptionLevel = value;
}

void TZanDataSet::SetBlobBlockSize(int32_t value) {
    CheckInternalInactive();
    FBlobBlockSize = value;
}

void TZanDataSet::SetBlobCompression(bool value) {
    CheckInternalInactive();
    FBlobCompression = value;
}

void TZanDataSet::SetUseReadAheadBuffer(bool value) {
    FUseReadAheadBuffer = value;
    if (!value) FReadAhead->Invalidate();
}

void TZanDataSet::SetIndexName(const std::string& name) {
    if (FInternalActive)
        InternalSetIndexName(name);
    else
        FIndexName = name;
}

void TZanDataSet::SetInQuery(bool value) {
    FFilterMgr->SetInQuery(value);
}

bool TZanDataSet::GetSystemTable() const {
    return FTableDef && FTableDef->GetInternalTable();
}

bool TZanDataSet::GetExists() {
    if (!FDataBase) return false;
    TStringList names;
    FDataBase->GetTableNames(names);
    for (int i = 0; i < names.Count(); ++i)
        if (SameText(names.Get(i), FTableName)) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Checks

void TZanDataSet::CheckConnected() const {
    if (!FDataBase) ZanDatabaseError(10112, "TZanDataSet.CheckConnected");
}

void TZanDataSet::CheckInternalActive() const {
    if (!FInternalActive) DatabaseError("Cannot perform this operation on a closed dataset", this);
}

void TZanDataSet::CheckInternalInactive() const {
    if (FInternalActive) DatabaseError("Cannot perform this operation on an open dataset", this);
}

void TZanDataSet::CheckIndexesPresent() const {
    if (FIndexMgr->Count() == 0 || FIndexMgr->CurrentIndex() == nullptr)
        ZanDatabaseError(9997, "TZanDataSet.CheckIndexesPresent");
}

void TZanDataSet::CheckPrivilegePresent(int32_t mask, int32_t required) const {
    if ((mask & required) == 0 && !GetSystemTable())
        ZanDatabaseError(10624, "TZanDataSet.CheckPrivilegePresent");
}

bool TZanDataSet::CheckReadOnlyPrivileges() const {
    const int32_t flags = FTableDef->GetPrivilegeFlags();
    const int32_t writes = PrivilegeBit(opInsertData) | PrivilegeBit(opDeleteData) |
                           PrivilegeBit(opUpdateData);
    return (flags & writes) == 0;
}

void TZanDataSet::DataSetSetFieldPrivileges() {
    TInternalFields& fields = *FTableDef->GetInternalFields();
    for (int i = 0; i < GetFields().Count(); ++i) {
        TField* field = GetFields()[i];
        const int32_t n = field->GetFieldNo() - 1;
        if (n < 0 || n >= fields.Count()) continue;
        const int32_t flags = fields.GetField(n)->GetPrivilegeFlags();
        if ((flags & PrivilegeBit(opReadData)) == 0) field->SetVisible(false);
        if (!field->GetReadOnly() && (flags & PrivilegeBit(opUpdateData)) == 0)
            field->SetReadOnly(true);
    }
}

void TZanDataSet::ValidateObjectName(const std::string& name, const std::string& kind) {
    const std::string upper = UpperCase(name);
    if (upper.empty() || upper == "ALL")
        ZanDatabaseError(10041, "TZanDataSet.ValidateObjectName", name + ": " + kind);
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void TZanDataSet::DataSetOpen() {
    static const char* const context = "TZanDataSet.DataSetOpen";
    CheckConnected();
    if (FTableName.empty()) ZanDatabaseError(10024, context);
    if (FInternalActive) ZanDatabaseError(10031, context, FTableName);
    FDataBase->CheckSystemTableOpen(FTableName, FMemory, FInternalOpen);
    FTableDef->Clear();
    FTableDef->SetMemory(FMemory);
    FDataBase->OpenTable(FTableName, *FTableDef);
    bool opened = false;
    TScopeExit undo([&] {
        if (opened) return;
        InternalCloseDataSet();
        FDataBase->CloseTable(*FTableDef);
    });
    const std::string& alt = FTableDef->GetAltName();
    if (FTableDef->GetEncrypted() && !alt.empty()) {
        std::string plain(alt.size(), '\0');
        XORCryptBuf(alt.data(), plain.data(), C_ZANXORKEY, 0, int32_t(sizeof(C_ZANXORKEY)),
                    int32_t(alt.size()));
        if (plain != FTableDef->GetTableName())
            ZanDatabaseError(8961, context, "The encrpytion key is not valid or corrupted");
    }
    FIsReadOnly = FReadOnly || (FDataBase->GetReadOnly() && !FTableDef->GetMemory() &&
                                !FDataBase->IsMemoryDatabase());
    InternalOpenDataSet();
    FReadAhead->Open(InternalGetRecordSize(), C_MAXKEYSIZE + 1, C_READ_AHEAD_LIFETIME);
    FUseReadAheadBuffer = !(FTableDef->GetMemory() || FDataBase->IsMemoryDatabase());
    FReadAheadDirection = rdCenter;
    opened = true;
}

void TZanDataSet::InternalOpenDataSet() {
    static const char* const context = "TZanDataSet.InternalOpenDataSet";
    if (FInternalActive) ZanDatabaseError(10031, context, FTableName);
    TTableDef& def = *FTableDef;
    // Stamps that differ: the header counts as changed until it is first read.
    FLastStamp = 0;
    FPrevStamp = 1;
    if (FDataBase->LockTable(def, ZanLockRead)) FReadLocked = true;
    TScopeExit unlock([&] {
        if (FReadLocked && !FWriteLocked) {
            FDataBase->UnLockTable(def);
            FReadLocked = false;
        }
    });
    def.Validate();
    FEncryptionLevel = def.GetEncryptionLevel();
    TInternalFields& fields = *def.GetInternalFields();
    for (int i = 0; i < def.GetKeyFields()->Count(); ++i) {
        TKeyFieldItem* k = def.GetKeyFields()->Items(i);
        if (k->GetPhysicalFieldNo() < 0) continue;
        if (TInternalFieldItem* f = fields.GetField(k->GetPhysicalFieldNo()))
            f->SetSourceField(f->GetFieldName());
    }
    if (def.GetRecordSize() <= 0)
        ZanDatabaseErrorFmt(8581, context, "%s has not been set or is out of range",
                            {"RecordSize"});
    FRecordMgr->SetRecordSize(def.GetRecordSize());
    FRecordMgr->SetFields(&fields);
    FRecordMgr->Open(def.GetRecordInterface());
    const size_t bufSize = size_t(def.GetRecordSize()) + C_EXTRA_INFO_SIZE;
    FRecBuf.assign(bufSize, 0);
    FFilterBuf.assign(bufSize, 0);
    FScratch.assign(bufSize, 0);
    FMoveBuf.assign(bufSize, 0);
    for (int m = 0; m < 2; ++m) {
        FRangeBuf[m].assign(bufSize, 0);
        FRangeKey[m].assign(C_MAXKEYSIZE + 1, 0);
        FRangeMarkers[m].clear();
    }
    FOwnerTag = uint32_t(def.GetTableID()) * 16 + C_USAGE_RECORDS;
    FRangeActive = FRangeValid = false;
    ClearFoundFlags();
    InitializeRangeBuffers(rmRangeStart);
    InitializeRangeBuffers(rmRangeEnd);
    FIndexMgr->SetDBStringCompareFunction(def.GetSortOrder() == soASCII ? DBASCIICompareStrings
                                                                        : DBANSICompareStrings);
    FIndexMgr->SetIOInterface(def.GetIndexInterface());
    FIndexMgr->SetTableHeader(def.GetTableHeader());
    FIndexMgr->Assign(*def.GetInternalIndexDefs());
    FIndexMgr->AssignKeyFields(*def.GetKeyFields());
    FIndexMgr->Open();
    if (fields.GetUsesBlobs() && (!def.GetUsesBlobs() || def.GetDefaultBlobSize() == 0))
        ZanDatabaseErrorFmt(8581, context, "%s has not been set or is out of range",
                            {"DefaultBlobSize"});
    FBlobInterface->SetIOInterface(def.GetBlobInterface());
    FBlobInterface->SetBlobBlockSize(uint32_t(def.GetDefaultBlobSize()));
    FBlobInterface->SetCompressionMode(def.GetBlobCompression() ? dcZLib : dcNone);
    FBlobInterface->Open();
    FBlobBlockSize = def.GetDefaultBlobSize();
    FBlobCompression = def.GetBlobCompression();
    // The current index.
    if (FIndexMgr->Count() == 0) ZanAssert(false, "No indexes exist");
    std::string current;
    if (FIndexMgr->Count() == 1 && SameText(FIndexMgr->Items(0)->GetIndexName(), "_LogicalRecNo"))
        current = FIndexMgr->Items(0)->GetIndexName();
    else if (TIndexItem* item = FIndexMgr->FindIndex(FIndexName))
        current = item->GetIndexName();
    else
        for (int i = 0; i < FIndexMgr->Count() && current.empty(); ++i)
            if (!FIndexMgr->Items(i)->GetHidden()) current = FIndexMgr->Items(i)->GetIndexName();
    FIndexMgr->SetCurrentIndexName(current);
    FIndexName = current;
    FTableOwner = def.GetCreatedBy();
    FInternalActive = true;
    FBufferState = 0;
}

void TZanDataSet::CloseFromDestructor() noexcept {
    try {
        Close();
    } catch (const std::exception&) {
        // Closing releases locks and forgets the stores; a failure leaves nothing to undo.
    }
    try {
        DataSetClose();
    } catch (const std::exception&) {
        // As above: the stores are forgotten even when the release failed.
    }
}

void TZanDataSet::DataSetClose() {
    if (!FInternalActive) return;
    std::exception_ptr failure;
    try {
        if (FReadLocked || FWriteLocked) InternalReleaseLock();
    } catch (...) {
        failure = std::current_exception();
    }
    // A cursor closed in the middle of an edit gives its record back to the other connections.
    while (!FRecordLocks.empty()) {
        try {
            InternalReleaseRecordLock(FRecordLocks.back());
        } catch (...) {
            // The lock left the list before its release was tried.
            if (!failure) failure = std::current_exception();
        }
    }
    InternalCloseDataSet();
    FReadAhead->Close();
    FUseReadAheadBuffer = false;
    try {
        if (FDataBase) FDataBase->CloseTable(*FTableDef);
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
}

void TZanDataSet::InternalCloseDataSet() {
    try {
        FIndexMgr->Close();
    } catch (const std::exception&) {
        // Pages are written by the lock release; closing only forgets them.
    }
    FIndexMgr->SetIOInterface(nullptr);
    FIndexMgr->SetTableHeader(nullptr);
    FBlobInterface->Close();
    FRecordMgr->Close();
    FRecordMgr->SetRecordSize(0);
    FRecBuf.clear();
    FFilterBuf.clear();
    FScratch.clear();
    FMoveBuf.clear();
    for (int m = 0; m < 2; ++m) {
        FRangeBuf[m].clear();
        FRangeKey[m].clear();
        FRangeMarkers[m].clear();
    }
    FOwnerTag = 0;
    FRangeActive = FRangeValid = false;
    ClearFoundFlags();
    FInternalActive = false;
    FBufferState = 0;
    FTableOwner.clear();
    ClearReadAheadMode();
    FFilterMgr->CloseFilter();
    ClearBlobCache();
}

// ---------------------------------------------------------------------------------------------
// Buffers

int32_t TZanDataSet::InternalGetRecordSize() const {
    return FTableDef->GetRecordSize();
}

TInternalFields& TZanDataSet::GetInternalFields() const {
    CheckInternalActive();
    return *FTableDef->GetInternalFields();
}

int32_t TZanDataSet::GetInternalFieldCount() const {
    return FTableDef->GetInternalFields()->Count();
}

int32_t TZanDataSet::GetFieldNo(const std::string& name) const {
    const TInternalFieldItem* f = FTableDef->GetInternalFields()->FindField(name);
    return f ? f->GetFieldIndex() : -1;
}

const TInternalFieldItem& TZanDataSet::FieldAt(int32_t n, const char* context) const {
    TInternalFields& fields = *FTableDef->GetInternalFields();
    const TInternalFieldItem* f = n >= 0 && n < fields.Count() ? fields.GetField(n) : nullptr;
    if (f == nullptr) ZanDatabaseErrorFmt(8581, context, "Field number %d out of range", {n});
    return *f;
}

int32_t TZanDataSet::GetFieldDataOffset(int32_t n) const {
    return FieldAt(n, "TZanDataSet.GetFieldDataOffset").GetDataOffset();
}

int32_t TZanDataSet::GetFieldNullOffset(int32_t n) const {
    return FieldAt(n, "TZanDataSet.GetFieldNullOffset").GetNullFlagOffset();
}

bool TZanDataSet::GetIsFieldNullFromRecBuf(const uint8_t* recBuf, int32_t n) const {
    return recBuf[GetFieldNullOffset(n)] == C_NULLFLAG_NULL;
}

bool TZanDataSet::GetIsEditFieldNull(int32_t n) const {
    if (IsFieldBlob(n) && FRecordMgr) {
        // An empty value is stored as NULL (DataSetSetFieldStream).
        TBlob* blob = FRecordMgr->GetBlobMgr().FindBlob(0, n);
        if (blob != nullptr && blob->GetState() == bsModified)
            return blob->GetStream().GetSize() == 0;
    }
    return GetIsFieldNullFromRecBuf(FRecBuf.data(), n);
}

bool TZanDataSet::IsFieldBlob(int32_t n) const {
    return IsBlobFieldType(FieldAt(n, "TZanDataSet.IsFieldBlob").GetDataType());
}

bool TZanDataSet::IsFieldTextBlob(int32_t n) const {
    const TFieldType t = FieldAt(n, "TZanDataSet.IsFieldTextBlob").GetDataType();
    return t == ftMemo || t == ftFmtMemo;
}

namespace {

int32_t FieldLengthIn(const uint8_t* recBuf, const TInternalFieldItem& f) {
    if (IsBlobFieldType(f.GetDataType())) {
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(recBuf, f, head, length);
        return int32_t(length);
    }
    if (f.GetSizeMarkerOffset() <= 0) {
        if (f.GetIsVariable())
            ZanDatabaseErrorFmt(10000, "TZanDataSet.GetFieldLength", "%d",
                                {int32_t(f.GetDataType())});
        return f.GetFieldSize();
    }
    if (recBuf[f.GetNullFlagOffset()] == C_NULLFLAG_NULL) return 0;
    uint16_t marker = 0;
    std::memcpy(&marker, recBuf + f.GetSizeMarkerOffset(), 2);
    // A damaged marker never reaches beyond the field.
    return std::min<int32_t>(marker, f.GetFieldSize());
}

// A stored date or time no calendar holds (not finite, or far beyond the dates a value can be
// set to) comes from a damaged record: refused here, before it reaches a date conversion.
void CheckStoredDateTime(const TInternalFieldItem& f, const uint8_t* data, const char* context) {
    const TFieldType t = f.GetDataType();
    if (t != ftDate && t != ftTime && t != ftDateTime) return;
    double v;
    std::memcpy(&v, data, 8);
    if (!std::isfinite(v) || v < MinDateTime - 1 || v > MaxDateTime + 1)
        ZanDatabaseError(8962, context,
                         "Field " + f.GetFieldName() + " holds an impossible date value");
}

} // namespace

int32_t TZanDataSet::GetFieldLength(int32_t n) const {
    return FieldLengthIn(FRecBuf.data(), FieldAt(n, "TZanDataSet.GetFieldLength"));
}

void TZanDataSet::GetFieldDef(int32_t n, TFieldDef& def) const {
    const TInternalFieldItem& f = FieldAt(n, "TZanDataSet.GetFieldDef");
    def.SetDataType(f.GetDataType());
    def.SetName(f.GetFieldName());
    def.SetRequired(f.GetRequired());
    if (f.GetSizeMarkerOffset() > 0)
        def.SetSize(f.GetWriteableFieldSize());
    else if (f.GetDataType() == ftBytes)
        def.SetSize(f.GetFieldSize());
}

void TZanDataSet::ClearRecord(uint8_t* recBuf) {
    if (recBuf == nullptr || recBuf == FRecBuf.data()) {
        std::fill(FRecBuf.begin(), FRecBuf.end(), 0);
        FRecordMgr->GetBlobMgr().InvalidateStreams();
        for (int i = 0; i < FRecordMgr->GetBlobMgr().Count(); ++i)
            FRecordMgr->GetBlobMgr().Items(i)->GetStream().Clear();
        FBufferState = 2;
        return;
    }
    std::memset(recBuf, 0, size_t(GetRecBufSize()));
}

void TZanDataSet::SetRecordBuffer(const uint8_t* src, int32_t size) {
    std::memcpy(FRecBuf.data(), src, std::min<size_t>(FRecBuf.size(), size_t(std::max(size, 0))));
    FBufferState = 2;
}

void TZanDataSet::GetRecordBuffer(uint8_t* dest) const {
    std::memcpy(dest, FRecBuf.data(), FRecBuf.size());
}

void TZanDataSet::ReadRecordBuffer(uint32_t address, uint8_t* recBuf) {
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    uint8_t* buffer = recBuf ? recBuf : FRecBuf.data();
    FRecordMgr->ReadRecord(address, buffer, false);
    // The addresses come from this table's index lists: each names a live record.
    if (!InternalCheckRecordValid(buffer))
        ZanDatabaseErrorFmt(8962, "TZanDataSet.ReadRecordBuffer", "No live record at %d",
                            {int64_t(address)});
}

void TZanDataSet::InitializeNewRecord(uint8_t* recBuf, bool keyFlags) {
    std::memset(recBuf, 0, size_t(GetRecBufSize()));
    if (!keyFlags) return;
    TIndexItem* index = FIndexMgr->CurrentIndex();
    if (index) {
        for (int i = 0; i < index->GetKeyFields().Count(); ++i) {
            const TKeyFieldItem* k = index->GetKeyFields().Items(i);
            if (k->GetPhysicalFieldNo() >= 0) recBuf[k->GetNullFlagOffset()] = C_NULLFLAG_LOWEST;
        }
    }
    SetExtraKeyFlag(recBuf, C_NULLFLAG_LOWEST);
}

uint32_t TZanDataSet::ExtraAddress(const uint8_t* recBuf) const {
    return GetLE32(recBuf + InternalGetRecordSize());
}

uint32_t TZanDataSet::ExtraRecNo(const uint8_t* recBuf) const {
    return GetLE32(recBuf + InternalGetRecordSize() + 4);
}

uint32_t TZanDataSet::ExtraKeyFlag(const uint8_t* recBuf) const {
    return GetLE32(recBuf + InternalGetRecordSize() + 8);
}

void TZanDataSet::SetExtraInfo(uint8_t* recBuf, uint32_t address, uint32_t recNo) const {
    PutLE32(recBuf + InternalGetRecordSize(), address);
    PutLE32(recBuf + InternalGetRecordSize() + 4, recNo);
}

void TZanDataSet::SetExtraKeyFlag(uint8_t* recBuf, uint32_t flag) const {
    PutLE32(recBuf + InternalGetRecordSize() + 8, flag);
}

uint32_t TZanDataSet::DatasetGetRecAddr(const uint8_t* recBuf) const {
    return ExtraAddress(recBuf ? recBuf : FRecBuf.data());
}

uint32_t TZanDataSet::DataSetGetRecordModFlag(const uint8_t* recBuf) const {
    return GetLE32((recBuf ? recBuf : FRecBuf.data()) + C_REC_STAMP_OFFSET);
}

uint32_t TZanDataSet::DataSetGetRecordLogicalNo(const uint8_t* recBuf) const {
    return GetLE32((recBuf ? recBuf : FRecBuf.data()) + C_REC_LOGICAL_RECNO_OFFSET);
}

void TZanDataSet::GetBookMarkFromBuf(const uint8_t* recBuf, int32_t recordSize,
                                     uint8_t* bookmark) {
    std::memcpy(bookmark, recBuf + recordSize, 4);
    std::memcpy(bookmark + 4, recBuf + C_REC_LOGICAL_RECNO_OFFSET, 4);
}

void TZanDataSet::SetBookMarkToBuf(uint8_t* recBuf, int32_t recordSize, const uint8_t* bookmark) {
    std::memcpy(recBuf + recordSize, bookmark, 4);
    std::memcpy(recBuf + C_REC_LOGICAL_RECNO_OFFSET, bookmark + 4, 4);
}

bool TZanDataSet::ReadValidRecord(uint32_t address, uint8_t* recBuf) {
    // An address from outside (a bookmark, a caller) may name anything: a block of another
    // table, a free block or no block of the record store at all.
    // The store refuses an address outside its blocks or of another owner.
    if (address == 0) return false;
    try {
        FRecordMgr->ReadRecord(address, recBuf, false);
    } catch (const EZanDatabaseError&) {
        return false;
    }
    return InternalCheckRecordValid(recBuf);
}

bool TZanDataSet::CheckBookMarkValid(const uint8_t* bookmark) {
    CheckInternalActive();
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    const uint32_t address = GetLE32(bookmark);
    if (!ReadValidRecord(address, FScratch.data())) return false;
    return GetLE32(FScratch.data() + C_REC_LOGICAL_RECNO_OFFSET) == GetLE32(bookmark + 4);
}

bool TZanDataSet::CheckBufferWritten(const uint8_t* recBuf) const {
    return ExtraRecNo(recBuf) > 0;
}

void TZanDataSet::DumpInternalStatus(TStrings& lines) {
    if (FInternalActive) FIndexMgr->DumpInternalStatus(lines);
}

// ---------------------------------------------------------------------------------------------
// Field access

void TZanDataSet::CheckFieldRead(int32_t n) const {
    const TInternalFieldItem& f = FieldAt(n, "TZanDataSet.CheckFieldRead");
    if ((f.GetPrivilegeFlags() & PrivilegeBit(opReadData)) == 0 && !GetSystemTable())
        ZanDatabaseError(10624, "TZanDataSet.GetFieldData", f.GetFieldName());
}

void TZanDataSet::CheckFieldWrite(int32_t n, const uint8_t* recBuf) const {
    const TInternalFieldItem& f = FieldAt(n, "TZanDataSet.CheckFieldWrite");
    const TObjectPrivilegeType needed =
        ExtraAddress(recBuf) == 0 ? opInsertData : opUpdateData;
    CheckPrivilegePresent(f.GetPrivilegeFlags(), PrivilegeBit(needed));
}

void TZanDataSet::DataSetGetFieldData(int32_t n, bool& isNull, void* dest) {
    DataSetGetFieldDataFromRecBuf(n, isNull, dest, FRecBuf.data());
}

void TZanDataSet::DataSetGetFieldDataFromRecBuf(int32_t n, bool& isNull, void* dest,
                                                const uint8_t* recBuf) {
    static const char* const context = "TZanDataSet.DataSetGetFieldData";
    const TInternalFieldItem& f = FieldAt(n, context);
    if (IsBlobFieldType(f.GetDataType()))
        ZanDatabaseError(8581, context,
                         "Unable to use this method to access blob fields. Field : " +
                             std::to_string(n));
    CheckFieldRead(n);
    isNull = recBuf[f.GetNullFlagOffset()] == C_NULLFLAG_NULL;
    if (dest == nullptr || isNull) return;
    const int32_t length = FieldLengthIn(recBuf, f);
    CheckStoredDateTime(f, recBuf + f.GetDataOffset(), context);
    if (f.GetFieldSize() > length) std::memset(dest, 0, size_t(f.GetFieldSize()));
    std::memcpy(dest, recBuf + f.GetDataOffset(), size_t(length));
}

void TZanDataSet::DataSetGetFieldDataByReference(const uint8_t* recBuf, int32_t n, bool& isNull,
                                                 int32_t& length, const uint8_t*& data) {
    static const char* const context = "TZanDataSet.DataSetGetFieldDataByReference";
    const TInternalFieldItem& f = FieldAt(n, context);
    if (IsBlobFieldType(f.GetDataType()))
        ZanDatabaseError(8581, context,
                         "Unable to use this method to access blob fields. Field : " +
                             std::to_string(n));
    CheckFieldRead(n);
    isNull = recBuf[f.GetNullFlagOffset()] == C_NULLFLAG_NULL;
    if (isNull) {
        length = 0;
        data = nullptr;
        return;
    }
    length = FieldLengthIn(recBuf, f);
    data = recBuf + f.GetDataOffset();
}

void TZanDataSet::DataSetGetFieldDataByReferenceFromRecBuf(int32_t n, bool& isNull,
                                                           int32_t& length, const uint8_t*& data) {
    DataSetGetFieldDataByReference(FRecBuf.data(), n, isNull, length, data);
}

Variant TZanDataSet::DataSetGetFieldDataAsVariant(int32_t n) {
    return DataSetGetFieldDataFromRecBufAsVariant(FRecBuf.data(), n);
}

Variant TZanDataSet::DataSetGetFieldDataFromRecBufAsVariant(const uint8_t* recBuf, int32_t n) {
    static const char* const context = "TZanDataSet.DataSetGetFieldDataAsVariant";
    const TInternalFieldItem& f = FieldAt(n, context);
    if (IsBlobFieldType(f.GetDataType()))
        ZanDatabaseError(8581, context,
                         "Unable to use this method to access blob fields. Field : " +
                             std::to_string(n));
    CheckFieldRead(n);
    if (recBuf[f.GetNullFlagOffset()] == C_NULLFLAG_NULL) return Null();
    const uint8_t* p = recBuf + f.GetDataOffset();
    switch (f.GetDataType()) {
    case ftString:
        return Variant(std::string(reinterpret_cast<const char*>(p),
                                   size_t(FieldLengthIn(recBuf, f))));
    case ftSmallint: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return Variant(v);
    }
    case ftWord: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return Variant(int32_t(v));
    }
    case ftInteger:
    case ftAutoInc: {
        int32_t v;
        std::memcpy(&v, p, 4);
        return Variant(v);
    }
    case ftBoolean:
        return Variant(*p != 0);
    case ftFloat:
    case ftCurrency: {
        double v;
        std::memcpy(&v, p, 8);
        return Variant(v);
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
        CheckStoredDateTime(f, p, context);
        double v;
        std::memcpy(&v, p, 8);
        return VarFromDateTime(v);
    }
    default:
        ZanDatabaseError(10000, context, "Invalid field type");
    }
}

void TZanDataSet::DataSetSetFieldData(int32_t n, int32_t length, bool setNull, const void* data) {
    CheckFieldWrite(n, FRecBuf.data());
    DataSetSetFieldDataToRecBuf(n, length, setNull, FRecBuf.data(), data);
}

void TZanDataSet::DataSetSetFieldDataToRecBuf(int32_t n, int32_t length, bool setNull,
                                              uint8_t* recBuf, const void* data) {
    static const char* const context = "TZanDataSet.DataSetSetFieldData";
    const TInternalFieldItem& f = FieldAt(n, context);
    if (IsBlobFieldType(f.GetDataType()))
        ZanDatabaseError(8581, context, "Unable to use this method to access blob fields");
    uint8_t* dest = recBuf + f.GetDataOffset();
    if (setNull) {
        recBuf[f.GetNullFlagOffset()] = C_NULLFLAG_NULL;
        std::memset(dest, 0, size_t(f.GetFieldSize()));
        if (f.GetSizeMarkerOffset() > 0) std::memset(recBuf + f.GetSizeMarkerOffset(), 0, 2);
        return;
    }
    // A string field keeps a byte for its terminator: its declared size is one less.
    const int32_t declared = f.GetDataType() == ftString ? f.GetWriteableFieldSize() : f.GetFieldSize();
    if (length > declared) ZanDatabaseError(8581, context, "Field data length is out of range");
    if (f.GetSizeMarkerOffset() > 0) {
        ZanAssert(length >= 0, "Invalid data length in set field");
        const uint16_t marker = uint16_t(length);
        std::memcpy(recBuf + f.GetSizeMarkerOffset(), &marker, 2);
    } else if (length < 0) {
        length = f.GetFieldSize();
    } else {
        length &= 0xFFFF;
    }
    recBuf[f.GetNullFlagOffset()] = C_NULLFLAG_VALUE;
    if (f.GetFieldSize() > length) std::memset(dest, 0, size_t(f.GetFieldSize()));
    if (length > 0) std::memcpy(dest, data, size_t(length));
}

void TZanDataSet::DataSetSetFieldDataAsVariant(int32_t n, const Variant& value) {
    CheckFieldWrite(n, FRecBuf.data());
    DataSetSetFieldDataToRecBufAsVariant(FRecBuf.data(), n, value);
}

void CheckCurrencyAmount(double value, const std::string& fieldName, std::string_view context) {
    // 922337203685477.5807 is the largest amount the currency type holds; its conversion from
    // a double stops at the whole part.
    if (!std::isfinite(value) || std::fabs(value) >= 922337203685477.0)
        ZanDatabaseError(9985, context,
                         "Value " + FloatToStr(value) + " is out of range for field " + fieldName);
}

namespace {

// The value as a whole number the integer field can hold. A value outside the field's range is
// refused (9985) rather than stored wrapped.
int64_t FieldWholeNumber(const TInternalFieldItem& f, const Variant& value, int64_t low,
                         int64_t high, const char* context) {
    int64_t v = 0;
    bool inRange = true;
    try {
        v = value.AsInt64();
    } catch (const EVariantError&) {
        const TVarType t = value.Type();
        if (t != varDouble && t != varCurrency && t != varDate && t != varString) throw;
        inRange = false;
    }
    if (!inRange || v < low || v > high)
        ZanDatabaseError(9985, context,
                         "Value " + value.AsString() + " is out of range for field " +
                             f.GetFieldName());
    return v;
}

} // namespace

void TZanDataSet::DataSetSetFieldDataToRecBufAsVariant(uint8_t* recBuf, int32_t n,
                                                       const Variant& value) {
    static const char* const context = "TZanDataSet.DataSetSetFieldDataAsVariant";
    const TInternalFieldItem& f = FieldAt(n, context);
    if (VarIsNull(value) || VarIsEmpty(value)) {
        DataSetSetFieldDataToRecBuf(n, 0, true, recBuf, nullptr);
        return;
    }
    switch (f.GetDataType()) {
    case ftString: {
        const std::string text = value.AsString();
        DataSetSetFieldDataToRecBuf(n, int32_t(std::min<size_t>(text.size(), INT32_MAX)), false,
                                    recBuf, text.data());
        return;
    }
    case ftSmallint: {
        const int16_t v = int16_t(FieldWholeNumber(f, value, INT16_MIN, INT16_MAX, context));
        DataSetSetFieldDataToRecBuf(n, -1, false, recBuf, &v);
        return;
    }
    case ftWord: {
        const uint16_t v = uint16_t(FieldWholeNumber(f, value, 0, UINT16_MAX, context));
        DataSetSetFieldDataToRecBuf(n, -1, false, recBuf, &v);
        return;
    }
    case ftInteger:
    case ftAutoInc: {
        const int32_t v = int32_t(FieldWholeNumber(f, value, INT32_MIN, INT32_MAX, context));
        DataSetSetFieldDataToRecBuf(n, -1, false, recBuf, &v);
        return;
    }
    case ftBoolean: {
        // True is stored as 1, as index keys built from values expect.
        const uint8_t v = value.AsBoolean() ? 1 : 0;
        DataSetSetFieldDataToRecBuf(n, -1, false, recBuf, &v);
        return;
    }
    case ftFloat: {
        const double v = value.AsDouble();
        DataSetSetFieldDataToRecBuf(n, -1, false, recBuf, &v);
        return;
    }
    case ftCurrency: {
        // Refused rather than stored where no read can take it.
        const double v = value.AsDouble();
        CheckCurrencyAmount(v, f.GetFieldName(), context);
        DataSetSetFieldDataToRecBuf(n, -1, false, recBuf, &v);
        return;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
        const double v = value.AsDateTime();
        DataSetSetFieldDataToRecBuf(n, -1, false, recBuf, &v);
        return;
    }
    default:
        ZanDatabaseError(10000, context, "Invalid field type");
    }
}

// ---------------------------------------------------------------------------------------------
// Blobs

void TZanDataSet::DataSetGetFieldStream(int32_t n, bool& isNull, TStream& stream) {
    DataSetGetFieldStreamFromRecBuf(FRecBuf.data(), n, isNull, stream);
}

void TZanDataSet::DataSetGetFieldStreamFromRecBuf(const uint8_t* recBuf, int32_t n, bool& isNull,
                                                  TStream& stream) {
    static const char* const context = "TZanDataSet.DataSetGetFieldStream";
    const TInternalFieldItem& f = FieldAt(n, context);
    if (!IsBlobFieldType(f.GetDataType()))
        ZanDatabaseError(8581, context, "Unable to use this method to access non-blob fields");
    CheckFieldRead(n);
    TBlob* blob = FRecordMgr->GetBlobMgr().FindBlob(0, n);
    if (blob == nullptr)
        ZanDatabaseError(8581, context, "Blob field can not be found " + std::to_string(n));
    if (blob->GetState() != bsInvalid) {
        TMemoryStream& source = blob->GetStream();
        source.SetPosition(0);
        stream.CopyFrom(source, source.GetSize());
        isNull = source.GetSize() == 0;
        return;
    }
    if (recBuf[f.GetNullFlagOffset()] == C_NULLFLAG_NULL) {
        isNull = true;
        return;
    }
    const bool taken = TakeReadLock();
    TScopeExit release([&] { ReleaseTaken(taken); });
    // The image may be older than the record: another connection may have rewritten the blob
    // since, freeing the chain the image names. Under the lock the stored record names the
    // current chain; a record that is gone has none to read.
    const uint8_t* current = recBuf;
    std::vector<uint8_t> stored;
    if (const uint32_t address = ExtraAddress(recBuf); address != 0) {
        stored.assign(size_t(GetRecBufSize()), 0);
        if (!ReadValidRecord(address, stored.data()) ||
            !InternalCheckRecordFlags(recBuf, stored.data(), false, true))
            ZanDatabaseError(8708, context);
        current = stored.data();
    }
    isNull = current[f.GetNullFlagOffset()] == C_NULLFLAG_NULL;
    if (isNull) return;
    uint32_t head = 0, length = 0;
    RecordGetBlobRef(current, f, head, length);
    if (head == 0)
        ZanDatabaseErrorFmt(8963, context, "Blob field %s holds %d bytes without a chain",
                            {f.GetFieldName(), int64_t(length)});
    const int64_t start = stream.GetPosition();
    const uint32_t read = FBlobInterface->ReadBlob(head, stream, length);
    // A shorter chain is not the one the record names (a copied reference whose chain was
    // released and taken by another).
    if (read != length)
        ZanDatabaseErrorFmt(8963, context, "Blob chain at %d holds %d bytes, its reference %d",
                            {int64_t(head), int64_t(read), int64_t(length)});
    ZanAssert(stream.GetPosition() - start == int64_t(length),
              "Unexpected error in reading blob data");
}

void TZanDataSet::DataSetSetFieldStream(int32_t n, bool setNull, TStream& stream) {
    DataSetSetFieldStreamFromRecBuf(FRecBuf.data(), n, setNull, stream);
}

void TZanDataSet::DataSetSetFieldStreamFromRecBuf(uint8_t* recBuf, int32_t n, bool setNull,
                                                  TStream& stream) {
    static const char* const context = "TZanDataSet.DataSetSetFieldStream";
    const TInternalFieldItem& f = FieldAt(n, context);
    CheckFieldWrite(n, recBuf);
    if (!IsBlobFieldType(f.GetDataType())) ZanDatabaseError(10753, context);
    uint32_t head = 0, length = 0;
    if (recBuf[f.GetNullFlagOffset()] != C_NULLFLAG_NULL) RecordGetBlobRef(recBuf, f, head, length);
    TBlob* blob = FRecordMgr->GetBlobMgr().FindBlob(0, n);
    if (blob == nullptr) ZanDatabaseError(10753, context);
    if (!setNull && stream.GetSize() > 0) {
        TMemoryStream& target = blob->GetStream();
        target.Clear();
        stream.SetPosition(0);
        target.CopyFrom(stream, stream.GetSize());
        blob->SetState(bsModified);
    } else {
        // An empty value: the stored chain goes when the record is posted.
        blob->GetStream().Clear();
        blob->SetState(bsModified);
    }
}

namespace {

uint64_t BlobCacheKey(uint32_t address, int32_t field) {
    return (uint64_t(address) << 32) | uint32_t(field);
}

} // namespace

bool TZanDataSet::GetBlobCacheData(const uint8_t* recBuf, int32_t n, TStream& stream) {
    if (!FBlobCacheEnabled || GetState() != dsBrowse) return false;
    const auto found = FBlobCacheIndex.find(BlobCacheKey(ExtraAddress(recBuf), n));
    if (found == FBlobCacheIndex.end()) return false;
    const auto it = found->second;
    FBlobCache.splice(FBlobCache.end(), FBlobCache, it);
    stream.WriteBuffer(it->Data.data(), int32_t(it->Data.size()));
    return true;
}

void TZanDataSet::SetBlobCacheData(const uint8_t* recBuf, int32_t n, TStream& stream) {
    if (!FBlobCacheEnabled || GetState() != dsBrowse) return;
    const uint32_t address = ExtraAddress(recBuf);
    const uint64_t key = BlobCacheKey(address, n);
    if (const auto found = FBlobCacheIndex.find(key); found != FBlobCacheIndex.end()) {
        FBlobCacheBytes -= found->second->Data.size();
        FBlobCache.erase(found->second);
        FBlobCacheIndex.erase(found);
    }
    std::string data(size_t(stream.GetSize()), '\0');
    stream.SetPosition(0);
    if (!data.empty()) stream.ReadBuffer(data.data(), int32_t(data.size()));
    if (data.size() > C_BLOB_CACHE_LIMIT) return;
    FBlobCacheBytes += data.size();
    FBlobCache.push_back({address, n, std::move(data)});
    FBlobCacheIndex[key] = std::prev(FBlobCache.end());
    // Empty values count too: a scan over many records must not grow the cache without end.
    while (FBlobCacheBytes > C_BLOB_CACHE_LIMIT || FBlobCache.size() > C_BLOB_CACHE_ENTRIES) {
        const TBlobCacheEntry& oldest = FBlobCache.front();
        FBlobCacheBytes -= oldest.Data.size();
        FBlobCacheIndex.erase(BlobCacheKey(oldest.Address, oldest.Field));
        FBlobCache.pop_front();
    }
}

void TZanDataSet::ClearBlobCache() {
    FBlobCache.clear();
    FBlobCacheIndex.clear();
    FBlobCacheBytes = 0;
}

} // namespace zan
