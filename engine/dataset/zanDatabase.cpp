#include "engine/dataset/zanDatabase.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanJournal.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "engine/storage/zanTemporary.h"
#include "host/rtl/ComponentText.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinSys.h"

namespace zan {

namespace {

constexpr uint32_t C_PAGE_SIZE = 4096;
constexpr uint32_t C_HEADER_BLOCK_SIZE = 256;
constexpr int32_t C_MASTER_USER_ID = 1024;
constexpr int32_t C_MASTER_SYSTEM_ID = 1025;
constexpr int32_t C_MASTER_BLOB_SIZE = 1024;
const char* const C_MASTER_USER = "$MSTRTBLUSER";
const char* const C_MASTER_SYSTEM = "$MSTRTBLSYSTEM";
const char* const C_OBJECTIDREF = "$SYSTBL_OBJECTIDREF";
const char* const C_INTGENERATOR = "$SYSTBL_INTGENERATOR";
const char* const C_OBJECTID_GENERATOR = "$INTGEN_OBJID";
// String fields keep a terminator: a name of 40 bytes needs 41.
constexpr int32_t C_NAME_FIELD_SIZE = int32_t(C_MAX_TABLE_NAME) + 1;
constexpr int32_t C_GENERATOR_NAME_SIZE = 20;
// A catalogue row whose definition text does not read, or reads as another table's: damage.
const char* const C_UNREADABLE_DEF = "The table definition could not be read";

// Header field offsets and sizes in UTF-16 units.
constexpr int C_OFS_NAME = 2, C_OFS_OS = 64, C_OFS_CREATED = 126, C_OFS_OWNER = 134;
constexpr int C_OFS_ZERO = 196, C_OFS_SORT = 200, C_OFS_VERSION = 204, C_OFS_LEVEL = 246,
              C_OFS_CRC = 250;
constexpr int C_TEXT_UNITS = 31, C_VERSION_UNITS = 21;

void PutText(uint8_t* out, int units, const std::string& text) {
    // At most units - 2 characters' units and a terminator; the field's rest is zero.
    std::vector<char16_t> wide(static_cast<size_t>(units), 0);
    StringLToWideChar(text, wide.data(), units - 1);
    for (int i = 0; i < units; ++i) {
        out[2 * i] = static_cast<uint8_t>(wide[size_t(i)] & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(wide[size_t(i)] >> 8);
    }
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string GetText(const uint8_t* in, int units) {
    std::string out;
    auto unit = [&](int i) { return uint32_t(in[2 * i]) | uint32_t(in[2 * i + 1]) << 8; };
    for (int i = 0; i < units; ++i) {
        const uint32_t u = unit(i);
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF)
            out.push_back('?');
        else
            AppendUtf8(out, u);
    }
    return out;
}

// Characters (code points) of a UTF-8 text.
size_t CharCount(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

int32_t ToIntDef(const std::string& text, int32_t def) {
    int64_t value = 0;
    if (text.empty() || text.size() > 10) return def;
    for (char c : text) {
        if (c < '0' || c > '9') return def;
        value = value * 10 + (c - '0');
    }
    return value > INT32_MAX ? def : static_cast<int32_t>(value);
}

bool IsSystemName(const std::string& name) { return !name.empty() && name[0] == '$'; }

// 1 to 40 bytes without control characters.
void CheckTableName(const std::string& name, const char* context) {
    bool valid = !name.empty() && name.size() <= C_MAX_TABLE_NAME;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) valid = false;
    if (!valid)
        ZanDatabaseErrorFmt(10039, context, SzanStringInvalidFmt,
                            {name, 1, int32_t(C_MAX_TABLE_NAME)});
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Definition header

void TZanDBHeader::ToBytes(uint8_t out[Size]) const {
    std::fill(out, out + Size, uint8_t(0));
    out[0] = static_cast<uint8_t>(FormatNo & 0xFF);
    out[1] = static_cast<uint8_t>(FormatNo >> 8);
    PutText(out + C_OFS_NAME, C_TEXT_UNITS, Name);
    PutText(out + C_OFS_OS, C_TEXT_UNITS, OSDetails);
    std::memcpy(out + C_OFS_CREATED, &Created, sizeof Created);
    PutText(out + C_OFS_OWNER, C_TEXT_UNITS, Owner);
    PutLE32(out + C_OFS_ZERO, 0);
    PutLE32(out + C_OFS_SORT, SortOrder);
    PutText(out + C_OFS_VERSION, C_VERSION_UNITS, Version);
    PutLE32(out + C_OFS_LEVEL, SecurityLevel);
    PutLE32(out + C_OFS_CRC, CRC);
}

void TZanDBHeader::FromBytes(const uint8_t in[Size]) {
    FormatNo = static_cast<uint16_t>(in[0] | in[1] << 8);
    Name = GetText(in + C_OFS_NAME, C_TEXT_UNITS);
    OSDetails = GetText(in + C_OFS_OS, C_TEXT_UNITS);
    std::memcpy(&Created, in + C_OFS_CREATED, sizeof Created);
    Owner = GetText(in + C_OFS_OWNER, C_TEXT_UNITS);
    SortOrder = GetLE32(in + C_OFS_SORT);
    Version = GetText(in + C_OFS_VERSION, C_VERSION_UNITS);
    SecurityLevel = GetLE32(in + C_OFS_LEVEL);
    CRC = GetLE32(in + C_OFS_CRC);
}

uint32_t TZanDBHeader::CalcCRC(const uint8_t bytes[Size]) {
    uint8_t buffer[256 + Size];
    for (int i = 0; i < 256; ++i)
        buffer[i] = static_cast<uint8_t>(i);
    std::memcpy(buffer + 256, bytes, Size);
    PutLE32(buffer + 256 + C_OFS_CRC, 0);
    return zan::CalcCRC(buffer, int32_t(sizeof buffer));
}

void ParseZanVersion(const std::string& text, int32_t& major, int32_t& minor, int32_t& level) {
    std::string rest = text;
    size_t dot = rest.find('.');
    if (dot != std::string::npos) {
        major = ToIntDef(rest.substr(0, dot), 0);
        rest.erase(0, dot + 1);
        dot = rest.find('.');
        if (dot != std::string::npos) {
            minor = ToIntDef(rest.substr(0, dot), 0);
            rest.erase(0, dot + 1);
        }
    }
    level = ToIntDef(rest, 0);
}

// ---------------------------------------------------------------------------------------------
// Construction and properties

TZanDataBase::TZanDataBase(TComponent* owner)
    : TCustomConnection(owner), FPrivileges(std::make_unique<TPrivileges>()),
      FSecurityManager(std::make_unique<TSecurityManager>()), FMemoryTables(std::make_unique<TMemoryTableDefMgr>()) {
    FDBOwner = GetCurrentUser();
    ResetHeader();
}

TZanDataBase::~TZanDataBase() {
    if (FConnected) {
        try {
            CloseDataSets();
        } catch (const std::exception&) {
            // A dataset that fails to close is closed by its own destructor.
        }
    }
    InternalDisconnect();
    WipeString(FMasterKey);
}

void TZanDataBase::ResetHeader() {
    FHeader = TZanDBHeader();
    FHeader.Name = FDataBaseName;
    FHeader.OSDetails = GetOSDetails();
    FHeader.Created = Now();
    FHeader.Owner = FDBOwner;
    FHeader.Version = C_ZAN_VERSION;
}

void TZanDataBase::SetExclusive(bool value) {
    CheckNotConnected();
    FExclusive = value;
}

void TZanDataBase::SetReadOnly(bool value) {
    CheckNotConnected();
    FReadOnly = value;
}

void TZanDataBase::SetDirectory(const std::string& value) {
    CheckNotConnected();
    FDirectory = value.empty() ? value : IncludeTrailingPathDelimiter(value);
}

void TZanDataBase::SetDataBaseName(const std::string& value) {
    CheckNotConnected();
    const std::string path = ExtractFilePath(value);
    if (!path.empty()) SetDirectory(path);
    FDataBaseName = ExtractFileName(value);
    if (SameText(FDataBaseName, C_MEMORY_DATABASE)) FDataBaseName = C_MEMORY_DATABASE;
    FHeader.Name = FDataBaseName;
}

void TZanDataBase::SetDefaultSortOrder(TSortOrder value) {
    CheckNotConnected();
    FDefaultSortOrder = value;
}

void TZanDataBase::SetLockRetryMaximum(int32_t value) {
    FLockRetryMaximum = value;
    if (FDiskMgr) FDiskMgr->SetLockRetryCount(value);
}

void TZanDataBase::SetLockRetryInterval(int32_t value) {
    FLockRetryInterval = value;
    if (FDiskMgr) FDiskMgr->SetLockRetryInterval(value);
}

void TZanDataBase::SetEnforceSecurity(bool value) {
    CheckNotConnected();
    FEnforceSecurity = value;
    if (value) FUseEncryption = true;
}

void TZanDataBase::SetUseEncryption(bool value) {
    CheckNotConnected();
    if (!value && FEnforceSecurity)
        ZanDatabaseError(10766, "TZanDataBase.SetUseEncryption", SzanDBOperationCannotBePerformed);
    FUseEncryption = value;
}

void TZanDataBase::SetMasterKey(const std::string& value) {
    CheckNotConnected();
    const size_t n = CharCount(value);
    if (n != 0 && (n < C_MIN_MASTER_KEY || n > C_MAX_MASTER_KEY))
        ZanDatabaseErrorFmt(9602, "TZanDataBase.SetMasterKey", SzanStringInvalidFmt,
                            {"MasterKey", int32_t(C_MIN_MASTER_KEY), int32_t(C_MAX_MASTER_KEY)});
    WipeString(FMasterKey);
    FMasterKey = value;
}

void TZanDataBase::SetDBOwner(const std::string& value) {
    CheckNotConnected();
    FDBOwner = value;
    FHeader.Owner = value;
}

void TZanDataBase::SetLocked(bool value) {
    if (value != FLocked && FDiskMgr && !IsMemoryDatabase()) {
        CheckConnected(true);
        if (value)
            FDiskMgr->SetHeaderWriteLock();
        else
            FDiskMgr->ReleaseHeaderLock();
    }
    FLocked = value;
}

void TZanDataBase::ActivateQueryMode(bool changesData) {
    FQueryActive = true;
    FQueryChangesData = changesData;
}

// ---------------------------------------------------------------------------------------------
// Checks and queries

void TZanDataBase::CheckConnected(bool memoryAllowed) const {
    if (!FConnected) ZanDatabaseError(10113, "TZanDataBase.CheckConnected");
    if (!memoryAllowed && IsMemoryDatabase())
        ZanDatabaseError(10880, "TZanDataBase.CheckConnected");
}

void TZanDataBase::CheckNotConnected() const {
    if (FConnected) ZanDatabaseError(10120, "TZanDataBase.CheckNotConnected");
}

void TZanDataBase::CheckExclusive() const {
    if (!FExclusive) ZanDatabaseError(10121, "TZanDataBase.CheckExclusive");
}

void TZanDataBase::QueryOpenStatus(bool mustBeConnected, bool mustBeExclusive) const {
    if (mustBeConnected)
        CheckConnected(false);
    else
        CheckNotConnected();
    if (mustBeExclusive) CheckExclusive();
}

void TZanDataBase::CheckMinorVersion(int32_t minor) const {
    if (minor > FMinorVersion)
        ZanDatabaseError(12041, "TZanDataBase.CheckMinorVersion",
                         std::string(SzanFileVersionDoesNotSupportOperation) + IntToStr(minor));
}

bool TZanDataBase::NeedSecurity() const {
    return FHeader.SecurityLevel >= 2 && FTemporaryPrivilegeStatus != C_ALL_PRIVILEGES;
}

void TZanDataBase::GetCurrentUsers(TStrings& list) {
    CheckConnected(true);
    if (!FDiskMgr || IsMemoryDatabase())
        ZanDatabaseError(10501, "TZanDataBase.GetCurrentUsers",
                         "Connection details unavailable on memory only databases");
    FDiskMgr->GetCurrentUsers(list);
}

uint64_t TZanDataBase::DatabaseSize() {
    CheckConnected(true);
    return IsMemoryDatabase() || !FDiskMgr ? 0 : FDiskMgr->GetFileSize();
}

void TZanDataBase::FlushBuffers() {
    CheckConnected(true);
    if (!IsMemoryDatabase() && FDiskMgr) FDiskMgr->ForceToDisk();
}

std::vector<std::string> TZanDataBase::GetLog() const { return GDBLogger().GetLines(); }

void TZanDataBase::ClearLog() { GDBLogger().Clear(); }

void TZanDataBase::CloseDataSets() {
    for (int i = GetDataSetCount() - 1; i >= 0; --i)
        GetDataSet(i)->Close();
}

void TZanDataBase::CancelDataSets() {
    for (int i = 0; i < GetDataSetCount(); ++i) {
        TDataSet* d = GetDataSet(i);
        if (d->GetState() == dsEdit || d->GetState() == dsInsert) d->Cancel();
    }
}

void TZanDataBase::RefreshDataSets() {
    for (int i = 0; i < GetDataSetCount(); ++i)
        if (GetDataSet(i)->GetActive()) GetDataSet(i)->Refresh();
}

// ---------------------------------------------------------------------------------------------
// Disk connections

TZanDiskTables::TZanDiskTables(TDiskMgr& disk) {
    auto headers = [&](uint32_t firstEmptyOffset) {
        auto io = std::make_unique<TDiskIOInterface>();
        io->SetDiskMgr(&disk);
        io->SetBlockSize(C_HEADER_BLOCK_SIZE);
        io->SetTableID(0);
        io->SetAccessFlags(0);
        io->SetUsage(C_USAGE_HEADERS);
        io->SetIOMode(iomDiskFixedSize);
        io->SetGlobalFirstEmptyOffset(firstEmptyOffset);
        return io;
    };
    SystemHeaders = headers(C_GLOBAL_FE_SYSTEM_HEADERS);
    UserHeaders = headers(C_GLOBAL_FE_USER_HEADERS);
    SystemTables = std::make_unique<TDiskTableDefMgr>();
    SystemTables->SetSystemTableMgr(true);
    SystemTables->SetHdrDiskInterface(SystemHeaders.get());
    SystemTables->SetBaseDefMgrAddress(C_PAGE_SIZE);
    UserTables = std::make_unique<TDiskTableDefMgr>();
    UserTables->SetHdrDiskInterface(UserHeaders.get());
    UserTables->SetBaseDefMgrAddress(3 * C_PAGE_SIZE);
}

void TZanDiskTables::Open() {
    try {
        SystemHeaders->SetFirstEmptyValid(false);
        SystemHeaders->Open();
        SystemTables->Open();
        UserHeaders->SetFirstEmptyValid(false);
        UserHeaders->Open();
        UserTables->Open();
    } catch (...) {
        Close();
        throw;
    }
}

void TZanDiskTables::Close() noexcept {
    auto quietly = [](auto&& f) {
        try {
            f();
        } catch (const std::exception&) {
            // Closing goes on: every store must go.
        }
    };
    quietly([&] { UserTables->Close(); });
    quietly([&] { SystemTables->Close(); });
    quietly([&] { UserHeaders->Close(); });
    quietly([&] { SystemHeaders->Close(); });
}

void TZanDataBase::CreateDiskInterfaces() {
    if (FDiskMgr) return;
    FDiskMgr = std::make_unique<TDiskMgr>();
    FDiskMgr->SetPageSize(C_PAGE_SIZE);
    FDiskTables = std::make_unique<TZanDiskTables>(*FDiskMgr);
    FSystemTables = FDiskTables->SystemTables.get();
    FUserTables = FDiskTables->UserTables.get();
}

void TZanDataBase::OpenDiskConnections() {
    const std::string path = FDirectory + FDataBaseName;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        ZanDatabaseError(9988, "TZanDataBase.OpenDiskConnections", path);
    try {
        FDiskMgr->SetPageSize(C_PAGE_SIZE);
        FDiskMgr->SetFileName(path);
        FDiskMgr->SetOpenFlags((FReadOnly ? 0 : 2) | (FExclusive ? 0x10 : 0x40));
        FDiskMgr->SetLockRetryCount(FLockRetryMaximum);
        FDiskMgr->SetLockRetryInterval(FLockRetryInterval);
        FDiskMgr->Open();
        FDiskTables->Open();
    } catch (...) {
        CloseDiskConnections();
        throw;
    }
}

void TZanDataBase::CloseDiskConnections() noexcept {
    if (FDiskTables) FDiskTables->Close();
    if (FDiskMgr) {
        try {
            FDiskMgr->Close();
        } catch (const std::exception&) {
            // The file handle and the locks are gone with the close all the same.
        }
    }
}

void TZanDataBase::CloseSystemTables() noexcept {
    CloseSecurityTables();
    try {
        FIntGenerator.reset();
    } catch (...) {
        // Closing releases the table's locks; the disconnect closes the file after this.
    }
    FObjectIDRef.reset();
    FMasterSystem.reset();
    FMasterUser.reset();
}

void TZanDataBase::InternalDisconnect() noexcept {
    if (FLocked) {
        try {
            SetLocked(false);
        } catch (const std::exception&) {
            FLocked = false; // the disk manager's close releases every lock
        }
    }
    FLocked = false;
    FTableUseLocks.reset();
    FTableUses.clear();
    FTablesHeld.clear();
    CloseSystemTables();
    FParsedDefs.clear();
    CloseDiskConnections();
    try {
        FMemoryTables->Close();
    } catch (const std::exception&) {
        // Memory tables hold nothing outside the process.
    }
    FPrivileges->ClearPrivileges();
    FDBPrivilegeMask = 0;
    FTemporaryPrivilegeStatus = 0;
    WipeString(FMasterKey);
    ResetHeader();
    FConnected = false;
}

void TZanDataBase::ReadDBHeader() {
    static const char* const context = "TZanDataBase.ReadDBHeader";
    uint8_t bytes[TZanDBHeader::Size];
    if (FDiskMgr->GetFileSize() < C_PAGE_SIZE) ZanDatabaseError(8961, context);
    FDiskMgr->GetZanFile()->ReadThroughZanFile(bytes, 0, TZanDBHeader::Size);
    TZanDBHeader header;
    header.FromBytes(bytes);
    if (header.CRC != TZanDBHeader::CalcCRC(bytes) || header.SortOrder > soASCII)
        ZanDatabaseError(8961, context);
    FHeader = header;
    ParseZanVersion(FHeader.Version, FMajorVersion, FMinorVersion, FVersionLevel);
    if (FVersionLevel > 2)
        ZanDatabaseErrorFmt(12041, context, SzanDBFileVersionFmt, {FHeader.Version});
    FEnforceSecurity = FHeader.SecurityLevel >= 2;
    FUseEncryption = FHeader.SecurityLevel >= 1;
    FDefaultSortOrder = static_cast<TSortOrder>(FHeader.SortOrder);
}

void TZanDataBase::WriteDBHeader() {
    TDiskWriteScope scope(FDiskMgr.get());
    uint8_t bytes[TZanDBHeader::Size];
    FHeader.CRC = 0;
    FHeader.ToBytes(bytes);
    FHeader.CRC = TZanDBHeader::CalcCRC(bytes);
    PutLE32(bytes + C_OFS_CRC, FHeader.CRC);
    FDiskMgr->GetZanFile()->WriteThroughZanFile(bytes, 0, TZanDBHeader::Size);
}

void TZanDataBase::ResetDBHeader() {
    QueryOpenStatus(true, true);
    WriteDBHeader();
}

// ---------------------------------------------------------------------------------------------
// Connect and disconnect

void TZanDataBase::DoConnect() {
    static const char* const context = "TZanDataBase.DoConnect";
    if (FConnected) return;
    if (IsMemoryDatabase()) {
        FMemoryTables->Open();
        ResetHeader();
        FEnforceSecurity = false;
        FDBPrivilegeMask = C_ALL_PRIVILEGES;
        FConnected = true;
        return;
    }
    if (FDataBaseName.empty()) ZanDatabaseError(10118, context, FDirectory + FDataBaseName);
    try {
        FMemoryTables->Open();
        CreateDiskInterfaces();
        OpenDiskConnections(); // closes what it opened when it fails
        RemoveStaleTemporaries(FDirectory + FDataBaseName);
        // A schema change or rebuild killed while copying the file to its backup left a copy
        // as large as the file under the backup's temporary name: no later copy reuses it.
        RemoveStaleTemporaries(GetBackupFileName());
    } catch (...) {
        try {
            FMemoryTables->Close();
        } catch (const std::exception&) {
            // Nothing of the file is held by the memory tables.
        }
        throw;
    }
    FConnected = true;
    try {
        ReadDBHeader();
        int32_t mode = 0;
        if (NeedSecurity())
            mode = FMasterKey.empty() ? C_LOGIN_MASTERKEY | C_LOGIN_USER : C_LOGIN_USER;
        else if (FUseEncryption && FMasterKey.empty())
            mode = C_LOGIN_MASTERKEY;
        TZanLoginCredentials login(FMasterKey, "", "");
        if (mode != 0) Login(mode, login);
        FDiskMgr->SetCryptKey(FMasterKey);
        if (FUseEncryption || NeedSecurity()) {
            TSecurityHeader security;
            try {
                FDiskMgr->ReadSecurityHeader(security);
            } catch (...) {
                WipeString(FMasterKey);
                throw;
            }
        }
        OpenSystemTables();
        if (NeedSecurity()) {
            SecuredLogon(login);
            LoadDatabasePrivileges();
        } else {
            FDBPrivilegeMask = C_ALL_PRIVILEGES;
        }
    } catch (...) {
        InternalDisconnect();
        throw;
    }
}

void TZanDataBase::Login(int32_t mode, TZanLoginCredentials& login) {
    if (BeforeLogin) {
        BeforeLogin(this, login.UserName, login.Password, login.MasterKey);
    } else {
        TZanLoginPrompt& prompt = FLoginPrompt ? *FLoginPrompt : GetDefaultLoginPrompt();
        if (!ShowZanLoginDialog(prompt, FDataBaseName, mode, login.MasterKey, login.UserName,
                                login.Password))
            ZanDatabaseError(10015, "TZanDataBase.Login");
    }
    if (mode != C_LOGIN_USER) {
        WipeString(FMasterKey);
        FMasterKey = login.MasterKey;
    }
}

void TZanDataBase::DoDisconnect() {
    if (!FConnected) return;
    CloseDataSets();
    InternalDisconnect();
}

// ---------------------------------------------------------------------------------------------
// System tables

void TZanDataBase::BuildMasterTableDef(TTableDef& def, int32_t tableID,
                                       const std::string& name) const {
    def.Clear();
    def.SetTableName(name);
    def.SetTableID(tableID);
    def.SetOwnerFlag(static_cast<uint32_t>(tableID) << 4);
    def.SetMemory(false);
    def.SetInternalTable(true);
    def.SetDefaultBlobSize(C_MASTER_BLOB_SIZE);
    def.SetUsesBlobs(true);
    def.SetSortOrder(FDefaultSortOrder);
    def.SetEncryptionLevel(FUseEncryption ? encStrong : encNone);
    def.SetEncrypted(FUseEncryption);
    AddTableField(def, "AutoID", ftAutoInc);
    AddTableField(def, "Name", ftString, C_NAME_FIELD_SIZE);
    AddTableField(def, "TableDef", ftBlob);
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
    TInternalIndexDef* index = AddTableIndex(def, "", "Name", true, true);
    index->SetPrimary(true);
    index->SetIndexPageSize(C_PAGE_SIZE);
}

void TZanDataBase::OpenSystemTables() {
    OpenMasterTables();
    if (FMinorVersion > 1) {
        FObjectIDRef = OpenInternalTable(C_OBJECTIDREF, "ixObjectName");
        FIntGenerator = OpenInternalTable(C_INTGENERATOR, "ixGenName");
    }
    if (NeedSecurity()) OpenSecurityTables();
}

std::unique_ptr<TZanTable> TZanDataBase::OpenInternalTable(const std::string& name,
                                                           const std::string& indexName) {
    auto table = std::make_unique<TZanTable>();
    // Marked internal before it meets the database: it never enters the client list, and a
    // system table of a secured database opens for it.
    static_cast<TZanDataSet&>(*table).FInternalOpen = true;
    table->GetTableDef().SetInternalTable(true);
    table->SetDataBase(this);
    table->SetTableName(name);
    table->SetReadOnly(FReadOnly);
    table->SetIndexName(indexName);
    table->Open();
    return table;
}

void TZanDataBase::AddInternalDataSet(TZanDataSet* dataSet) {
    if (std::find(FInternalDataSets.begin(), FInternalDataSets.end(), dataSet) ==
        FInternalDataSets.end())
        FInternalDataSets.push_back(dataSet);
}

void TZanDataBase::RemoveInternalDataSet(TZanDataSet* dataSet) noexcept {
    FInternalDataSets.erase(
        std::remove(FInternalDataSets.begin(), FInternalDataSets.end(), dataSet),
        FInternalDataSets.end());
}

void TZanDataBase::OpenMasterTables() {
    TTableDef def;
    BuildMasterTableDef(def, C_MASTER_USER_ID, C_MASTER_USER);
    FMasterUser = std::make_unique<TZanRowStore>(*FSystemTables, FDiskMgr.get(), C_MASTER_USER,
                                                 def);
    if (FMinorVersion > 1) {
        BuildMasterTableDef(def, C_MASTER_SYSTEM_ID, C_MASTER_SYSTEM);
        FMasterSystem = std::make_unique<TZanRowStore>(*FSystemTables, FDiskMgr.get(),
                                                       C_MASTER_SYSTEM, def);
    }
}

void TZanDataBase::CreateSystemTables() {
    static const char* const context = "TZanDataBase.CreateSystemTables";
    if (!FLocked)
        ZanDatabaseError(8581, context, "Database header not locked prior to system change");
    TTableDef def;
    BuildMasterTableDef(def, 0, C_MASTER_USER);
    if (FSystemTables->CreateTableDef(C_MASTER_USER, def) != C_MASTER_USER_ID ||
        (BuildMasterTableDef(def, 0, C_MASTER_SYSTEM),
         FSystemTables->CreateTableDef(C_MASTER_SYSTEM, def) != C_MASTER_SYSTEM_ID))
        ZanDatabaseError(8581, context, "Master tables not at their table ids");
    OpenMasterTables();
    if (FMinorVersion <= 1) return;
    const TEncryptionLevel level = FUseEncryption ? encStrong : encNone;
    auto start = [&](const char* name) { BeginSystemTableDef(def, name, level); };
    auto layout = [&] { SetDefaultLayout(def); };
    start(C_OBJECTIDREF);
    AddTableField(def, "ObjectID", ftInteger);
    AddTableField(def, "ObjectName", ftString, C_NAME_FIELD_SIZE);
    layout();
    AddTableIndex(def, "ixObjectID", "ObjectID", true, true);
    AddTableIndex(def, "ixObjectName", "ObjectName", true, true);
    InternalCreateTable(def);
    FObjectIDRef = OpenInternalTable(C_OBJECTIDREF, "ixObjectName");

    start(C_INTGENERATOR);
    AddTableField(def, "GeneratorName", ftString, C_GENERATOR_NAME_SIZE + 1);
    AddTableField(def, "GeneratorValue", ftInteger);
    AddTableField(def, "GeneratorStep", ftInteger);
    AddTableField(def, "GeneratorResetValue", ftInteger);
    layout();
    AddTableIndex(def, "ixGenName", "GeneratorName", true, true);
    InternalCreateTable(def);
    FIntGenerator = OpenInternalTable(C_INTGENERATOR, "ixGenName");
    if (FHeader.SecurityLevel >= 2) CreateSecurityTables();
}

void TZanDataBase::CreateDatabase() {
    static const char* const context = "TZanDataBase.CreateDatabase";
    CheckNotConnected();
    if (FDataBaseName.empty()) ZanDatabaseError(10118, context, FDirectory + FDataBaseName);
    // No file, no login: there is nothing to create.
    if (IsMemoryDatabase()) return;
    if (FUseEncryption && CharCount(FMasterKey) < C_MIN_MASTER_KEY)
        ZanDatabaseErrorFmt(10015, context, SzanStringInvalidFmt,
                            {"MasterKey", int32_t(C_MIN_MASTER_KEY), int32_t(C_MAX_MASTER_KEY)});
    const std::string path = FDirectory + FDataBaseName;
    if (FileExists(path)) ZanDatabaseError(11043, context, path);
    // The file is built under a temporary name and takes its own only when whole: a process
    // killed on the way leaves no file at the path, never one without its system tables.
    // A creator killed before its rename left its temporary file: cleared when it is gone.
    RemoveStaleTemporaries(path);
    const std::string temp = TemporaryFileNameFor(path);
    auto removeTemp = [&temp] {
        unlink(temp.c_str());
        unlink(JournalFileNameFor(temp).c_str());
        RemoveIdleUsersFile(UsersFileNameFor(temp));
    };
    removeTemp();
    {
        TDiskMgr creator;
        creator.SetPageSize(C_PAGE_SIZE);
        creator.SetFileName(temp);
        creator.CreateNewFile(false);
    }
    const std::string directory = FDirectory, name = FDataBaseName;
    FDirectory.clear();
    FDataBaseName = temp;
    TScopeExit restoreName([&] {
        FDirectory = directory;
        FDataBaseName = name;
        FHeader.Name = name;
    });
    ResetHeader();
    FHeader.Name = name; // the header names the file as it will be called
    FHeader.SortOrder = FDefaultSortOrder;
    FHeader.SecurityLevel = FEnforceSecurity ? 2 : FUseEncryption ? 1 : 0;
    ParseZanVersion(FHeader.Version, FMajorVersion, FMinorVersion, FVersionLevel);
    // The master key stays for the connect that usually follows.
    const std::string key = FMasterKey;
    TScopeExit wipeKey([&] { explicit_bzero(const_cast<char*>(key.data()), key.size()); });
    FConnected = true;
    try {
        FMemoryTables->Open();
        CreateDiskInterfaces();
        OpenDiskConnections();
        FDiskMgr->SetCryptKey(FMasterKey);
        SetLocked(true);
        WriteDBHeader();
        if (FUseEncryption) {
            TSecurityHeader security;
            FDiskMgr->WriteSecurityHeader(security);
        }
        CreateSystemTables();
        InternalDisconnect();
    } catch (...) {
        InternalDisconnect();
        FMasterKey = key;
        // The file is this call's own and unusable.
        removeTemp();
        throw;
    }
    FMasterKey = key;
    // A journal at the path belongs to a file that is gone; the new file must not get it.
    const std::string journal = JournalFileNameFor(path);
    const TJournalState state = InspectJournal(journal).State;
    if (state != jsAbsent && state != jsForeign) unlink(journal.c_str());
    // Never over a file another process created meanwhile.
    int error = 0;
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        error = errno;
        if (error == EINVAL || error == ENOSYS) {
            // A filesystem without the exclusive rename: a link is refused as well when taken.
            error = link(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
        }
    }
    removeTemp();
    if (error == EEXIST) ZanDatabaseError(11043, context, path);
    if (error != 0)
        ZanDatabaseError(8449, context,
                         "The new database file could not be given its name " + path + ". " +
                             SysErrorMessage(error));
}

// ---------------------------------------------------------------------------------------------
// Catalogue

TZanRowStore& TZanDataBase::MasterTableFor(const std::string& name) const {
    TZanRowStore* master = IsSystemName(name) ? FMasterSystem.get() : FMasterUser.get();
    if (master == nullptr) ZanDatabaseError(10024, "TZanDataBase.MasterTableFor", name);
    return *master;
}

TBaseTableDefMgr& TZanDataBase::ManagerOf(const TTableDef& def) const {
    if (def.GetMemory() || IsMemoryDatabase()) return *FMemoryTables;
    if (def.GetTableID() >= C_SYSTEM_BASE_TABLE_ID) return *FSystemTables;
    return *FUserTables;
}

uint32_t TZanDataBase::FindCatalogueRow(TZanRowStore& master, const std::string& name) {
    // A longer name than the field holds matches no row (it is not cut to a stored one).
    if (name.size() > C_MAX_TABLE_NAME) return 0;
    TZanRow key = master.NewRow();
    RecordSetString(key.data(), master.Field("Name"), name);
    return master.Find("", key);
}

void TZanDataBase::ReadTableDef(const std::string& name, TTableDef& def) {
    static const char* const context = "TZanDataBase.ReadTableDef";
    TZanRowStore& master = MasterTableFor(name);
    const std::string cacheKey = ZanAnsiUpperCase(name);
    const TTableDef* parsedDef = nullptr;
    master.WithLock(false, [&] {
        const uint32_t address = FindCatalogueRow(master, name);
        if (address == 0) ZanDatabaseError(10024, context, name);
        const TZanRow row = master.Read(address);
        // The record's prefix (number and change stamp) and blob reference identify the text.
        std::string identity(reinterpret_cast<const char*>(row.data()), C_RECORD_PREFIX_SIZE);
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(row.data(), master.Field("TableDef"), head, length);
        identity += IntToStr(int64_t(address)) + "/" + IntToStr(int64_t(head)) + "/" +
                    IntToStr(int64_t(length));
        // Inside a write scope, or a transaction that has written, the row may still be rolled
        // back: its text is not kept. A transaction that wrote nothing reads committed rows
        // (a SELECT's own transaction, which reads the definitions of every UNION member).
        const bool cacheable =
            !FDiskMgr->GetWriteScopeActive() &&
            (!FDiskMgr->IsTransactionActive() || !FDiskMgr->GetZanFile()->HasPendingChanges());
        auto it = FParsedDefs.find(cacheKey);
        if (cacheable && it != FParsedDefs.end() && it->second.Identity == identity) {
            parsedDef = it->second.Def.get();
            return;
        }
        std::string text;
        try {
            text = master.ReadBlobText(row, "TableDef");
        } catch (const Exception&) {
            ZanDatabaseError(8962, context, C_UNREADABLE_DEF);
        }
        auto stored = std::make_unique<TTableDef>();
        try {
            ReadComponentFromText(text, *stored);
        } catch (const Exception&) {
            ZanDatabaseError(8962, context, C_UNREADABLE_DEF);
        }
        // The row must describe a table of its own master's range.
        const bool system = IsSystemName(name);
        const int32_t id = stored->GetTableID();
        // The stored name must be the one the catalogue index found: equal in its folding.
        const std::string& storedName = stored->GetTableName();
        const bool sameName =
            DBANSICompareStrings(storedName.data(), int32_t(storedName.size()), name.data(),
                                 int32_t(name.size()), false, true) == 0;
        if (!sameName || stored->GetMemory() ||
            (system ? id < C_SYSTEM_BASE_TABLE_ID
                    : (id < C_USER_BASE_TABLE_ID || id >= C_SYSTEM_BASE_TABLE_ID)) ||
            stored->GetOwnerFlag() != static_cast<uint32_t>(id) << 4)
            ZanDatabaseError(8962, context, C_UNREADABLE_DEF);
        // Internal are the system tables only, whatever a stored definition says.
        stored->SetInternalTable(system);
        if (!cacheable) {
            FUncachedDef = std::move(stored);
            parsedDef = FUncachedDef.get();
            return;
        }
        TParsedDef& entry = FParsedDefs[cacheKey];
        entry.Identity = identity;
        entry.Def = std::move(stored);
        parsedDef = entry.Def.get();
    });
    const TTableDef& stored = *parsedDef;
    def.Clear();
    def.Assign(stored);
    def.SetOwnerFlag(stored.GetOwnerFlag());
    def.SetSecurityLevel(stored.GetSecurityLevel());
    def.SetLastModDate(stored.GetLastModDate());
    def.SetInternalTable(stored.GetInternalTable());
}

void TZanDataBase::GrantAll(TTableDef& def) const {
    def.SetPrivilegeFlags(C_ALL_PRIVILEGES);
    TInternalFields& fields = *def.GetInternalFields();
    for (int i = 0; i < fields.Count(); ++i)
        fields.Items(i)->SetPrivilegeFlags(C_ALL_PRIVILEGES);
}

void TZanDataBase::CreateTable(TTableDef& def, bool saveDefinitions) {
    static const char* const context = "TZanDataBase.CreateTable";
    const std::string name = def.GetTableName();
    CheckConnected(def.GetMemory());
    CheckTableName(name, context);
    if (!def.GetMemory() && IsSystemName(name)) ZanDatabaseError(10041, context, name);
    // Only the engine's own file tables are internal (they skip every privilege).
    if (!def.GetMemory() && !IsMemoryDatabase()) def.SetInternalTable(false);
    InternalCreateTable(def);
    if (saveDefinitions && FSaveTableDefinitions && !def.GetMemory() && !IsMemoryDatabase())
        DumpTableDefinitions();
}

void TZanDataBase::CheckStorableLayout(const TTableDef& def) {
    // The layout as the open will see it: a definition without a record size gets the default
    // offsets there.
    TTableDef layout;
    layout.Assign(def);
    if (layout.GetRecordSize() == 0) {
        layout.GetInternalFields()->SetDefaultOffsets();
        layout.SetRecordSize(layout.GetInternalFields()->GetRecordSize());
    }
    layout.CheckStoredLayout();
}

void TZanDataBase::InternalCreateTable(TTableDef& def) {
    // A definition the open would refuse is not stored.
    CheckStorableLayout(def);
    def.SetVersion(C_ZAN_VERSION);
    def.SetOS(GetOSDetails());
    def.SetCreationDate(Now());
    def.SetLastModDate(def.GetCreationDate());
    if (def.GetCreatedBy().empty()) def.SetCreatedBy(GetCurrentUser());
    if (def.GetMemory() || IsMemoryDatabase()) {
        def.SetMemory(true);
        if (FMemoryTables->IndexOfTableName(def.GetTableName()) >= 0)
            ZanDatabaseError(13060, "TZanDataBase.InternalCreateTable", def.GetTableName());
        FMemoryTables->CreateTableDef(def.GetTableName(), def);
        return;
    }
    CatalogueAddTable(def);
}

void TZanDataBase::WithCatalogueLocks(const std::vector<uint16_t>& tableIDs,
                                      const std::function<void()>& f) {
    // Readers hold a table's lock while they wait for the header lock: a change takes the
    // write locks of all its tables first (always in the order given) and the header write
    // lock last, so that either side only waits. A caller that holds the header already
    // (Locked) chose its order: no table lock is taken here then.
    std::vector<uint16_t> tables;
    TScopeExit releaseTables([&] {
        std::exception_ptr failure;
        for (auto it = tables.rbegin(); it != tables.rend(); ++it) {
            try {
                FDiskMgr->ReleaseTableLock(*it);
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
    });
    const bool taken = !FLocked;
    if (taken && FDiskMgr && !IsMemoryDatabase()) {
        for (const uint16_t id : tableIDs) {
            if (FDiskMgr->QueryTableLockStatus(id) == ZanLockWrite) continue;
            FDiskMgr->SetTableLock(id, ZanLockWrite);
            tables.push_back(id);
        }
    }
    if (taken) SetLocked(true);
    TScopeExit unlock([&] {
        if (taken) SetLocked(false);
    });
    f();
}

void TZanDataBase::CatalogueAddTable(TTableDef& def) {
    static const char* const context = "TZanDataBase.CatalogueAddTable";
    const std::string name = def.GetTableName();
    CheckTableName(name, context);
    // The table's header and pages, its catalogue row and its object id: all or nothing.
    TDiskWriteScope scope(FDiskMgr.get());
    TZanRowStore& master = MasterTableFor(name);
    const bool withObjectID = FMinorVersion > 1 && !IsSystemName(name);
    std::vector<uint16_t> tables{master.TableID()};
    if (withObjectID)
        tables.insert(tables.end(),
                      {uint16_t(FIntGenerator->GetTableDef().GetTableID()),
                       uint16_t(FObjectIDRef->GetTableDef().GetTableID())});
    WithCatalogueLocks(tables, [&] { CatalogueInsert(master, def, withObjectID); });
}

void TZanDataBase::CatalogueInsert(TZanRowStore& master, TTableDef& def, bool withObjectID) {
    static const char* const context = "TZanDataBase.CatalogueAddTable";
    const std::string name = def.GetTableName();
    if (FindCatalogueRow(master, name) != 0) ZanDatabaseError(13060, context, name);
    TBaseTableDefMgr& mgr = IsSystemName(name) ? *FSystemTables : *FUserTables;
    // Without a catalogue row, a master of that name open nowhere here is one left by a create
    // that a rollback took back: it is forgotten, not taken for an existing table.
    mgr.ForgetUnusedMaster(name);
    mgr.CreateTableDef(name, def);
    try {
        int32_t objectID = 0;
        if (withObjectID)
            objectID = InternalGetGenerator(C_OBJECTID_GENERATOR, true);
        master.WithLock(true, [&] {
            TZanRow row = master.NewRow();
            RecordSetString(row.data(), master.Field("Name"), name);
            master.SetBlobText(row, "TableDef", ComponentToText(def));
            master.Insert(row);
        });
        if (objectID != 0) AddObjectReference(objectID, name);
    } catch (...) {
        // Without a catalogue row the table does not exist: its header and pages go again.
        try {
            const int32_t id = def.GetTableID();
            mgr.DeleteTableDef(name, def);
            FDiskMgr->DeleteOwnedPages(static_cast<uint32_t>(id), 0, true);
        } catch (const std::exception&) {
            // The first failure is the one reported.
        }
        throw;
    }
}

void TZanDataBase::CatalogueRewrite(TTableDef& def) {
    static const char* const context = "TZanDataBase.CatalogueRewrite";
    const std::string name = def.GetTableName();
    if (def.GetMemory()) ZanDatabaseError(10766, context, SzanDBOperationCannotBePerformed);
    TDiskWriteScope scope(FDiskMgr.get());
    TZanRowStore& master = MasterTableFor(name);
    WithCatalogueLocks({master.TableID()}, [&] {
        master.WithLock(true, [&] {
            const uint32_t address = FindCatalogueRow(master, name);
            if (address == 0) ZanDatabaseError(10024, context, name);
            TZanRow row = master.Read(address);
            master.SetBlobText(row, "TableDef", ComponentToText(def));
            master.Update(address, row);
        });
    });
}

void TZanDataBase::UpdateTableDef(TTableDef& def, const TInternalRestructureRec& rec) {
    QueryOpenStatus(true, true);
    if (def.GetMemory())
        ZanDatabaseError(10766, "TZanDataBase.UpdateTableDef", SzanDBOperationCannotBePerformed);
    CheckStorableLayout(def);
    ManagerOf(def).RestructureTableDef(def, rec);
    def.SetLastModDate(Now());
    CatalogueRewrite(def);
}

void TZanDataBase::OpenTable(const std::string& name, TTableDef& def) {
    static const char* const context = "TZanDataBase.OpenTable";
    CheckConnected(true);
    int32_t objectID = -1;
    if (def.GetMemory() || IsMemoryDatabase()) {
        if (FMemoryTables->IndexOfTableName(name) < 0) ZanDatabaseError(10024, context, name);
        FMemoryTables->OpenTableDefConnection(name, def);
    } else {
        if (name.size() > C_MAX_TABLE_NAME) ZanDatabaseError(10024, context, name);
        ReadTableDef(name, def);
        objectID = CheckOpenPrivilege(name, def);
        // The table-use lock first, then the definition again: a table deleted or replaced
        // meanwhile is not opened under its old definition.
        int32_t id = def.GetTableID();
        AcquireTableUse(id);
        try {
            ReadTableDef(name, def);
            if (def.GetTableID() != id) ZanDatabaseError(10024, context, name);
            ManagerOf(def).OpenTableDefConnection(name, def);
        } catch (...) {
            ReleaseTableUse(id);
            throw;
        }
    }
    ApplyTablePrivileges(def, objectID);
}

void TZanDataBase::CloseTable(TTableDef& def) {
    TBaseTableDefMgr& mgr = ManagerOf(def);
    const int32_t id = def.GetTableID();
    def.InternalClose();
    TScopeExit releaseUse([&] {
        if (&mgr != FMemoryTables.get()) ReleaseTableUse(id);
    });
    mgr.CloseTableDefConnection(id);
}

void TZanDataBase::QueryTableDef(const std::string& name, bool memory, TTableDef& def) {
    static const char* const context = "TZanDataBase.QueryTableDef";
    CheckConnected(true);
    if (memory || IsMemoryDatabase()) {
        const int32_t i = FMemoryTables->IndexOfTableName(name);
        if (i < 0) ZanDatabaseError(10024, context, name);
        const TTableDef& master = *FMemoryTables->Masters(i);
        def.Clear();
        def.Assign(master);
        def.SetTableID(master.GetTableID());
        def.SetOwnerFlag(master.GetOwnerFlag());
        return;
    }
    if (name.size() > C_MAX_TABLE_NAME) ZanDatabaseError(10024, context, name);
    ReadTableDef(name, def);
}

void TZanDataBase::GetTableNames(TStrings& list) {
    CheckConnected(true);
    list.Clear();
    if (IsMemoryDatabase()) {
        FMemoryTables->GetCurrentTableNames(list);
        return;
    }
    FMasterUser->Scan("", [&](uint32_t, const TZanRow& row) {
        list.Add(RecordGetString(row.data(), FMasterUser->Field("Name")));
        return true;
    });
}

void TZanDataBase::GetSystemTableNames(TStrings& list) {
    CheckConnected(true);
    list.Clear();
    if (!FMasterSystem) return;
    FMasterSystem->Scan("", [&](uint32_t, const TZanRow& row) {
        list.Add(RecordGetString(row.data(), FMasterSystem->Field("Name")));
        return true;
    });
}

int32_t TZanDataBase::GetLocalConnectedUserCount(const std::string& name) {
    CheckConnected(true);
    TBaseTableDefMgr& mgr =
        IsMemoryDatabase() ? static_cast<TBaseTableDefMgr&>(*FMemoryTables) : *FUserTables;
    const int32_t i = mgr.IndexOfTableName(name);
    return i < 0 ? 0 : mgr.Masters(i)->GetUserCount();
}

int32_t TZanDataBase::GetObjectID(const std::string& name) {
    CheckConnected(false);
    if (!FObjectIDRef || name.size() > C_MAX_TABLE_NAME) return -1;
    FObjectIDRef->SetIndexName("ixObjectName");
    if (!FObjectIDRef->FindKey({Variant(name)})) return -1;
    return FObjectIDRef->FieldByName("ObjectID")->GetAsInteger();
}

// ---------------------------------------------------------------------------------------------
// Transactions

void TZanDataBase::StartTransaction() {
    CheckConnected(false);
    FDiskMgr->DiskStartTransaction(FQueryActive && !FQueryChangesData);
}

void TZanDataBase::Commit() {
    if (!FDiskMgr) return;
    // A table held locked across the commit writes its header into the transaction now: its
    // release, which would write it, comes after the commit has given every lock back.
    auto writeHeaders = [](TZanDataSet& cursor) {
        if (cursor.GetInternalActive() && cursor.GetWriteLocked()) cursor.WriteTableHeader();
    };
    if (FDiskMgr->IsTransactionActive()) {
        for (int i = 0; i < GetDataSetCount(); ++i)
            if (auto* cursor = dynamic_cast<TZanDataSet*>(GetDataSet(i))) writeHeaders(*cursor);
        for (TZanDataSet* cursor : FInternalDataSets) writeHeaders(*cursor);
    }
    FDiskMgr->DiskCommit();
    ForgetDataSetLocks();
}

void TZanDataBase::Rollback() {
    if (FDiskMgr) {
        TScopeExit forget([&] { ForgetDataSetLocks(); });
        FDiskMgr->DiskRollback();
    }
    auto dropCaches = [](TZanDataSet& cursor) {
        cursor.ClearBlobCache();
        if (cursor.GetInternalActive()) cursor.InvalidateReadAhead(true);
    };
    for (int i = 0; i < GetDataSetCount(); ++i)
        if (auto* cursor = dynamic_cast<TZanDataSet*>(GetDataSet(i))) dropCaches(*cursor);
    for (TZanDataSet* cursor : FInternalDataSets) dropCaches(*cursor);
    CancelDataSets();
    RefreshDataSets();
}

void TZanDataBase::ForgetDataSetLocks() {
    if (FDiskMgr && FDiskMgr->IsTransactionActive()) return;
    for (int i = 0; i < GetDataSetCount(); ++i)
        if (auto* cursor = dynamic_cast<TZanDataSet*>(GetDataSet(i))) cursor->LocksReleased();
    for (TZanDataSet* cursor : FInternalDataSets) cursor->LocksReleased();
}

bool TZanDataBase::InTransaction() const {
    return FDiskMgr && FDiskMgr->IsTransactionActive();
}

// ---------------------------------------------------------------------------------------------
// Generators

TZanTable& TZanDataBase::GeneratorTable(const char* context) {
    CheckConnected(false);
    CheckMinorVersion(2);
    if (!FIntGenerator) ZanDatabaseError(8579, context, C_INTGENERATOR);
    return *FIntGenerator;
}

bool TZanDataBase::FindGenerator(TZanTable& gen, const std::string& name) {
    // Stored truncated, an over-long name would find the generator it begins with.
    if (name.size() > size_t(C_GENERATOR_NAME_SIZE)) return false;
    return gen.FindKey({Variant(name)});
}

namespace {

// The generator row's fields, set on the table's active record (insert or edit state).
void SetGeneratorRow(TZanTable& gen, const std::string& name, int32_t value, int32_t step,
                     int32_t resetValue) {
    gen.FieldByName("GeneratorName")->SetAsString(name);
    gen.FieldByName("GeneratorValue")->SetAsInteger(value);
    gen.FieldByName("GeneratorStep")->SetAsInteger(step);
    gen.FieldByName("GeneratorResetValue")->SetAsInteger(resetValue);
}

// Posts the table's insert or edit; a failure cancels it and passes on.
void PostOrCancel(TZanTable& gen) {
    try {
        gen.Post();
    } catch (...) {
        gen.Cancel();
        throw;
    }
}

// Takes the generator table's write lock; the guard it answers releases it on every path.
auto LockGenerators(TZanTable& gen) {
    gen.SetLocked(true);
    return TScopeExit([&gen] { gen.SetLocked(false); });
}

} // namespace

void TZanDataBase::CreateGenerator(const std::string& name, int32_t startValue, int32_t step) {
    static const char* const context = "TZanDataBase.CreateGenerator";
    TZanTable& gen = GeneratorTable(context);
    TDiskWriteScope scope(FDiskMgr.get());
    const auto unlock = LockGenerators(gen);
    if (FindGenerator(gen, name)) ZanDatabaseError(8580, context, name);
    if (name.size() > size_t(C_GENERATOR_NAME_SIZE))
        ZanDatabaseErrorFmt(9605, context, std::string(SzanStringInvalidFmt),
                            {name, int32_t(1), C_GENERATOR_NAME_SIZE});
    if (name.empty() || name[0] == '$')
        ZanDatabaseErrorFmt(10125, context, std::string(SzanGeneratorNameFmt), {name});
    gen.Insert();
    SetGeneratorRow(gen, name, startValue, step, startValue);
    PostOrCancel(gen);
}

void TZanDataBase::DeleteGenerator(const std::string& name) {
    TZanTable& gen = GeneratorTable("TZanDataBase.DeleteGenerator");
    TDiskWriteScope scope(FDiskMgr.get());
    const auto unlock = LockGenerators(gen);
    if (FindGenerator(gen, name)) gen.Delete();
}

int32_t TZanDataBase::GetGeneratorValue(const std::string& name, bool peek) {
    static const char* const context = "TZanDataBase.GetGeneratorValue";
    if (!peek) {
        GeneratorTable(context);
        return InternalGetGenerator(name, false);
    }
    int32_t value = 0, step = 0;
    if (!QueryGenerator(name, value, step)) ZanDatabaseError(8579, context, name);
    return value;
}

void TZanDataBase::GetGeneratorNames(TStrings& list) {
    TZanTable& gen = GeneratorTable("TZanDataBase.GetGeneratorNames");
    list.Clear();
    TField* fName = gen.FieldByName("GeneratorName");
    for (gen.First(); !gen.GetEOF(); gen.Next()) {
        if (fName->IsNull()) continue;
        const std::string name = fName->GetAsString();
        if (!name.empty() && name[0] != '$') list.Add(name);
    }
}

bool TZanDataBase::QueryGenerator(const std::string& name, int32_t& value, int32_t& step) {
    TZanTable& gen = GeneratorTable("TZanDataBase.QueryGenerator");
    if (!FindGenerator(gen, name)) return false;
    value = gen.FieldByName("GeneratorValue")->GetAsInteger();
    step = gen.FieldByName("GeneratorStep")->GetAsInteger();
    return true;
}

int32_t TZanDataBase::InternalGetGenerator(const std::string& name, bool allowCreate) {
    static const char* const context = "TZanDataBase.InternalGetGenerator";
    TZanTable& gen = GeneratorTable(context);
    // The draw (lock, read, advance) is one write: all of it reaches the file or none.
    TDiskWriteScope scope(FDiskMgr.get());
    const auto unlock = LockGenerators(gen);
    if (!FindGenerator(gen, name)) {
        if (!allowCreate || name.size() > size_t(C_GENERATOR_NAME_SIZE))
            ZanDatabaseError(8579, context, name);
        gen.Insert();
        SetGeneratorRow(gen, name, 2, 1, 2);
        PostOrCancel(gen);
        return 1;
    }
    const int64_t value = gen.FieldByName("GeneratorValue")->GetAsInteger();
    const int64_t next = value + gen.FieldByName("GeneratorStep")->GetAsInteger();
    // Values are 32-bit: a wrap would hand out values again.
    if (next < INT32_MIN || next > INT32_MAX) ZanDatabaseError(9985, context, name);
    gen.Edit();
    gen.FieldByName("GeneratorValue")->SetAsInteger(static_cast<int32_t>(next));
    PostOrCancel(gen);
    return static_cast<int32_t>(value);
}

} // namespace zan
