// TZanDataBase: the connection to one database file, or to the in-memory database "MEMORY".
//
// It owns the disk layer of the file (disk manager, the system and user header stores and
// table-definition managers), keeps the 254-byte database definition header at the start of
// the file, asks for the login (BeforeLogin, else a login prompt), hands the master key to the
// disk manager and opens the system tables through row stores. Its catalogue keeps one row per
// table in the master tables "$MSTRTBLUSER" and "$MSTRTBLSYSTEM" (name and definition text);
// user tables get object ids from the generator "$INTGEN_OBJID", recorded in
// "$SYSTBL_OBJECTIDREF".
//
// Every change of the file goes through one function per kind: WriteDBHeader (the definition
// header), CatalogueAddTable (table creation), CatalogueRewrite (a stored definition),
// InternalGetGenerator (generator reads, object ids among them) and the row store's Insert,
// Update and Delete.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/zanPwDlg.h"
#include "engine/dataset/zanRowStore.h"
#include "engine/storage/zanCommon.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "engine/storage/zanPrivileges.h"
#include "engine/storage/zanTableMgrUnit.h"
#include "host/db/Connection.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/StringList.h"

namespace zan {

// The engine's version text, written into new headers and table definitions.
inline constexpr const char* C_ZAN_VERSION = "1.43.02";
// The name that selects the in-memory database.
inline constexpr const char* C_MEMORY_DATABASE = "MEMORY";
// Every privilege bit: the mask of "MEMORY" and of tables opened without security.
inline constexpr int32_t C_ALL_PRIVILEGES = 2147483647;
// Table names: 1 to 40 bytes (the catalogue's Name field).
inline constexpr size_t C_MAX_TABLE_NAME = 40;
// Master key: empty, or 4 to 100 characters.
inline constexpr size_t C_MIN_MASTER_KEY = 4;
inline constexpr size_t C_MAX_MASTER_KEY = 100;

// The database definition header: 254 bytes at file offset 0, little-endian, texts in UTF-16.
struct TZanDBHeader {
    static constexpr uint32_t Size = 254;
    uint16_t FormatNo = 1;
    std::string Name;      // 31 units at 2
    std::string OSDetails; // 31 units at 64
    TDateTime Created = 0; // at 126
    std::string Owner;     // 31 units at 134
    uint32_t SortOrder = 0; // at 200 (after 4 zero bytes at 196)
    std::string Version;    // 21 units at 204
    uint32_t SecurityLevel = 0; // at 246: 0 none, 1 encryption, 2 encryption and security
    uint32_t CRC = 0;           // at 250

    // Texts are cut to 29 units (the version to 19), never inside a surrogate pair.
    void ToBytes(uint8_t out[Size]) const;
    // Texts end at their terminator or their field's end; lone surrogates become "?".
    void FromBytes(const uint8_t in[Size]);
    // CRC-32 over the bytes 0..255 followed by the header with its CRC field zero.
    static uint32_t CalcCRC(const uint8_t bytes[Size]);
};

// Splits a version text "major.minor.level": the text before the first "." and between the
// first and second "." give major and minor (a missing "." keeps the previous value); what
// follows the last "." taken is the level. Parts that are not numbers count as 0.
void ParseZanVersion(const std::string& text, int32_t& major, int32_t& minor, int32_t& level);

// The header stores and table-definition managers of a database file on its disk manager:
// system headers (first-empty slot 32, table map at one page, ids from 1024) and user headers
// (slot 28, map at three pages), 256-byte blocks.
struct TZanDiskTables {
    explicit TZanDiskTables(TDiskMgr& disk);
    // Opens the stores and managers (the disk manager is open); on failure closes them again.
    void Open();
    void Close() noexcept;

    std::unique_ptr<TDiskIOInterface> SystemHeaders;
    std::unique_ptr<TDiskIOInterface> UserHeaders;
    std::unique_ptr<TDiskTableDefMgr> SystemTables;
    std::unique_ptr<TDiskTableDefMgr> UserTables;
};

// The BeforeLogin event: sender, user name, password and master key, all changeable.
using TBeforeLoginEvent = std::function<void(TObject* sender, std::string& userName,
                                             std::string& password, std::string& masterKey)>;

class TZanDataBase : public TCustomConnection {
public:
    explicit TZanDataBase(TComponent* owner = nullptr);
    ~TZanDataBase() override;
    ZAN_CLASS(TZanDataBase)

    bool GetConnected() override { return FConnected; }

    // Properties. Setters that change the file or the login raise 10120 while connected.
    bool GetExclusive() const { return FExclusive; }
    void SetExclusive(bool value);
    bool GetReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);
    // Ends in "/" when not empty.
    const std::string& GetDirectory() const { return FDirectory; }
    void SetDirectory(const std::string& value);
    // The file-name part; a directory part sets Directory; "memory" in any case is "MEMORY".
    const std::string& GetDataBaseName() const { return FDataBaseName; }
    void SetDataBaseName(const std::string& value);
    TSortOrder GetDefaultSortOrder() const { return FDefaultSortOrder; }
    void SetDefaultSortOrder(TSortOrder value);
    std::string GetVersion() const { return C_ZAN_VERSION; }
    void SetVersion(const std::string&) {}
    int32_t GetLockRetryMaximum() const { return FLockRetryMaximum; }
    void SetLockRetryMaximum(int32_t value);
    int32_t GetLockRetryInterval() const { return FLockRetryInterval; }
    void SetLockRetryInterval(int32_t value);
    // Setting it also sets UseEncryption.
    bool GetEnforceSecurity() const { return FEnforceSecurity; }
    void SetEnforceSecurity(bool value);
    // Clearing it while EnforceSecurity is set raises 10766.
    bool GetUseEncryption() const { return FUseEncryption; }
    void SetUseEncryption(bool value);
    // Empty or 4 to 100 characters (9602 names "MasterKey", never the key).
    const std::string& GetMasterKey() const { return FMasterKey; }
    void SetMasterKey(const std::string& value);
    const std::string& GetDBOwner() const { return FDBOwner; }
    void SetDBOwner(const std::string& value);
    TDateTime GetDateCreated() const { return FHeader.Created; }
    // The header's version text while connected, else empty.
    std::string GetDataFileVersion() const { return FConnected ? FHeader.Version : std::string(); }
    bool GetSaveTableDefinitions() const { return FSaveTableDefinitions; }
    void SetSaveTableDefinitions(bool value) { FSaveTableDefinitions = value; }
    // The database header write lock.
    bool GetLocked() const { return FLocked; }
    void SetLocked(bool value);
    // The prompt this database asks through (not owned; nullptr: the process default).
    TZanLoginPrompt* GetLoginPrompt() const { return FLoginPrompt; }
    void SetLoginPrompt(TZanLoginPrompt* prompt) { FLoginPrompt = prompt; }
    TBeforeLoginEvent BeforeLogin;

    bool IsMemoryDatabase() const { return FDataBaseName == C_MEMORY_DATABASE; }
    int32_t GetMajorVersion() const { return FMajorVersion; }
    int32_t GetMinorVersion() const { return FMinorVersion; }
    int32_t GetVersionLevel() const { return FVersionLevel; }
    int32_t GetDBPrivilegeMask() const { return FDBPrivilegeMask; }
    int32_t GetTemporaryPrivilegeStatus() const { return FTemporaryPrivilegeStatus; }
    void SetTemporaryPrivilegeStatus(int32_t value) { FTemporaryPrivilegeStatus = value; }
    bool GetQueryActive() const { return FQueryActive; }
    bool GetQueryChangesData() const { return FQueryChangesData; }
    void SetQueryActive(bool value) { FQueryActive = value; }
    void ActivateQueryMode(bool changesData);
    TPrivileges& GetPrivileges() { return *FPrivileges; }
    TDiskMgr* GetDiskMgr() const { return FDiskMgr.get(); }
    TMemoryTableDefMgr& GetMemoryTableDefMgr() const { return *FMemoryTables; }
    const TZanDBHeader& GetDBHeader() const { return FHeader; }

    // Creates the file from the properties and leaves the database disconnected. An existing
    // file is refused (11043) and left as it is; "MEMORY" creates nothing.
    void CreateDatabase();
    // Connected and exclusive: writes the header again with a new CRC.
    void ResetDBHeader();
    // 10113 when not connected; 10880 for "MEMORY" unless memoryAllowed.
    void CheckConnected(bool memoryAllowed) const;
    void CheckNotConnected() const;
    void CheckExclusive() const;
    void QueryOpenStatus(bool mustBeConnected, bool mustBeExclusive) const;
    // 12041 when the file's minor version is below the one given.
    void CheckMinorVersion(int32_t minor) const;
    // Security level 2 and no temporary privilege status.
    bool NeedSecurity() const;
    void GetCurrentUsers(TStrings& list);
    uint64_t DatabaseSize();
    void FlushBuffers();
    std::vector<std::string> GetLog() const;
    void ClearLog();

    // Over the registered datasets: close each; cancel those editing or inserting; refresh the
    // active ones.
    void CloseDataSets();
    void CancelDataSets();
    void RefreshDataSets();

    // Catalogue. A file table needs a connection to a file; a memory table (the definition's
    // Memory flag) goes to the in-memory manager.
    void CreateTable(TTableDef& def, bool saveDefinitions);
    void UpdateTableDef(TTableDef& def, const TInternalRestructureRec& rec);
    // Reads the definition and opens the table: def is then wired to the shared stores.
    void OpenTable(const std::string& name, TTableDef& def);
    void CloseTable(TTableDef& def);
    // The stored definition (10024 when there is no such table).
    void QueryTableDef(const std::string& name, bool memory, TTableDef& def);
    void GetTableNames(TStrings& list);
    void GetSystemTableNames(TStrings& list);
    int32_t GetLocalConnectedUserCount(const std::string& name);
    // The object id of a table (its "$SYSTBL_OBJECTIDREF" row), or -1.
    int32_t GetObjectID(const std::string& name);
    // Reads a generator and advances it; a missing one is created (when allowed) with value 2
    // and step 1, answering 1, else 8579. A next value outside 32 bits raises 9985.
    int32_t InternalGetGenerator(const std::string& name, bool allowCreate);

protected:
    void DoConnect() override;
    void DoDisconnect() override;

private:
    void ResetHeader();
    void ReadDBHeader();
    void WriteDBHeader();
    void CreateDiskInterfaces();
    void OpenDiskConnections();
    void CloseDiskConnections() noexcept;
    void CloseSystemTables() noexcept;
    // Everything the connection holds is closed (no events).
    void InternalDisconnect() noexcept;
    void Login(int32_t mode);
    void OpenSystemTables();
    void OpenMasterTables();
    std::unique_ptr<TZanRowStore> OpenSystemTable(const std::string& name);
    // The code-built definition of a master table.
    void BuildMasterTableDef(TTableDef& def, int32_t tableID, const std::string& name) const;
    void CreateSystemTables();
    // Stamps the definition and creates it in its manager (and catalogue for a file table).
    void InternalCreateTable(TTableDef& def);
    // Refuses (8962) a definition whose layout the open of the table would refuse.
    static void CheckStorableLayout(const TTableDef& def);
    void CatalogueAddTable(TTableDef& def);
    void CatalogueInsert(TZanRowStore& master, TTableDef& def, bool withObjectID);
    // Runs f under the write locks of the stores' tables and the header write lock, taken in
    // that order.
    void WithCatalogueLocks(const std::vector<TZanRowStore*>& stores,
                            const std::function<void()>& f);
    void CatalogueRewrite(TTableDef& def);
    TZanRowStore& MasterTableFor(const std::string& name) const;
    TBaseTableDefMgr& ManagerOf(const TTableDef& def) const;
    uint32_t FindCatalogueRow(TZanRowStore& master, const std::string& name);
    void ReadTableDef(const std::string& name, TTableDef& def);
    void GrantAll(TTableDef& def) const;

    bool FConnected = false;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FEnforceSecurity = false;
    bool FUseEncryption = false;
    bool FSaveTableDefinitions = false;
    bool FLocked = false;
    bool FQueryActive = false;
    bool FQueryChangesData = false;
    std::string FDirectory;
    std::string FDataBaseName;
    std::string FMasterKey;
    std::string FDBOwner;
    TSortOrder FDefaultSortOrder = soANSI;
    int32_t FLockRetryMaximum = 10;
    int32_t FLockRetryInterval = 200;
    int32_t FMajorVersion = 0;
    int32_t FMinorVersion = 0;
    int32_t FVersionLevel = 0;
    int32_t FDBPrivilegeMask = 0;
    int32_t FTemporaryPrivilegeStatus = 0;
    TZanDBHeader FHeader;
    TZanLoginPrompt* FLoginPrompt = nullptr;

    std::unique_ptr<TPrivileges> FPrivileges;
    std::unique_ptr<TMemoryTableDefMgr> FMemoryTables;
    std::unique_ptr<TDiskMgr> FDiskMgr;
    std::unique_ptr<TZanDiskTables> FDiskTables;
    TDiskTableDefMgr* FSystemTables = nullptr;
    TDiskTableDefMgr* FUserTables = nullptr;
    std::unique_ptr<TZanRowStore> FMasterUser;
    std::unique_ptr<TZanRowStore> FMasterSystem;
    std::unique_ptr<TZanRowStore> FObjectIDRef;
    std::unique_ptr<TZanRowStore> FIntGenerator;
    // Definitions read from the catalogue, by upper-case name, with what identifies the row
    // and text they came from: a changed row is read again.
    struct TParsedDef {
        std::string Identity;
        std::unique_ptr<TTableDef> Def;
    };
    std::map<std::string, TParsedDef> FParsedDefs;
    std::unique_ptr<TTableDef> FUncachedDef;
};

} // namespace zan
