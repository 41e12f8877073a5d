// TZanDataBase: the connection to one database file, or to the in-memory database "MEMORY".
//
// It owns the disk layer of the file (disk manager, the system and user header stores and
// table-definition managers), keeps the 254-byte database definition header at the start of
// the file, asks for the login (BeforeLogin, else a login prompt), hands the master key to the
// disk manager and opens the system tables (the master tables through row stores, the others as
// internal table components). Its catalogue keeps one row per table in the master tables
// "$MSTRTBLUSER" and "$MSTRTBLSYSTEM" (name and definition text); user tables get object ids
// from the generator "$INTGEN_OBJID", recorded in "$SYSTBL_OBJECTIDREF". A secured file logs a
// user on through its TSecurityManager, whose privileges every user table opens with.
//
// Every change of the file goes through one function per kind: WriteDBHeader (the definition
// header), CatalogueAddTable (table creation), CatalogueRewrite (a stored definition),
// InternalGetGenerator (generator reads, object ids among them) and the row store's Insert,
// Update and Delete.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/zanFilterUnit.h"
#include "engine/dataset/zanPwDlg.h"
#include "engine/dataset/zanRowStore.h"
#include "engine/dataset/zanSecurityManager.h"
#include "engine/storage/zanCommon.h"
#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanIndexUnit.h"
#include "engine/storage/zanLists.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "engine/storage/zanPrivileges.h"
#include "engine/storage/zanTableMgrUnit.h"
#include "host/db/Connection.h"
#include "host/db/DataLinks.h"
#include "host/db/DataSet.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/StringList.h"
#include "host/rtl/Variants.h"

namespace zan {

class TBaseLockMgr;
class TZanDataSet;
class TZanTable;

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

// A MONEY field's value is read back as a currency amount: a value that is not finite or lies
// outside that range (magnitude 922337203685477 and up) raises 9985 naming the field.
void CheckCurrencyAmount(double value, const std::string& fieldName, std::string_view context);

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
    // C_ALL_PRIVILEGES while the engine connects without a logon (set only by the engine).
    int32_t GetTemporaryPrivilegeStatus() const { return FTemporaryPrivilegeStatus; }
    bool GetQueryActive() const { return FQueryActive; }
    bool GetQueryChangesData() const { return FQueryChangesData; }
    void SetQueryActive(bool value) { FQueryActive = value; }
    void ActivateQueryMode(bool changesData);
    TPrivileges& GetPrivileges() { return *FPrivileges; }
    TSecurityManager& GetSecurityManager() { return *FSecurityManager; }
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
    // The table name of an object id, or "".
    std::string GetObjectName(int32_t id);
    // Whether the logged-on group holds the privilege (a constant) on the table, or on all
    // tables for "ALL": always where the database needs no security. A type other than table,
    // or a name without object id, raises 8579.
    bool QueryObjectPrivilegeExists(TDatabaseObjectType objectType, const std::string& name,
                                    int32_t privilege);
    // Where the database needs security, a file table whose name begins with "$" opens only
    // for the engine's own tables and for "administrators" (10624).
    void CheckSystemTableOpen(const std::string& name, bool memory, bool internalOpener) const;
    // Reads a generator and advances it; a missing one is created (when allowed) with value 2
    // and step 1, answering 1, else 8579. A next value outside 32 bits raises 9985.
    int32_t InternalGetGenerator(const std::string& name, bool allowCreate);

    // Maintenance (zanDatabaseMaint.cpp). DeleteTable and RenameTable refuse a table another
    // opener of this connection holds (10053, 10119) or another connection has open (10249).
    void DeleteTable(const std::string& name, bool memory = false, bool internal = false);
    void RenameTable(const std::string& oldName, const std::string& newName,
                     bool internal = false);
    // Copies the database file to destination (written under a temporary name and renamed,
    // with the source's permission bits).
    void CopyDatabase(const std::string& destination, bool overwrite);
    // Empties dest (a cursor on the table name of this database) and copies into it the rows of
    // the table of that name in the database file at sourcePath.
    void RebuildTable(const std::string& name, const std::string& sourcePath, TZanDataSet& dest);
    // The backup copy of a rebuild or restructure: the file name with the extension ".zdx".
    std::string GetBackupFileName() const;
    // Disconnected: rebuilds the whole file from its ".zdx" copy, table by table, under a
    // temporary name that replaces the file only when every table was copied (else 8581 names
    // the tables that failed; the file stays as it was).
    void RebuildDatabase();
    // The ".zdd" copy beside the file: every user table's definition and no rows.
    void DumpTableDefinitions();
    // Disconnected: hands every record block of the table (the records of that size) to the
    // handler in turn until it clears its continue flag.
    using TRecordBufferHandler = std::function<void(const uint8_t* record, int32_t count,
                                                    int32_t position, bool& continueTransfer)>;
    void TransferRecordBuffers(int32_t tableID, int32_t recordSize,
                               const TRecordBufferHandler& handler);
    // Holds the table for a change of its storage or name: refused with 10249 while another
    // connection has it open; openers of other connections wait (and fail with 10249) until
    // the release.
    void HoldTableForChange(int32_t tableID);
    void ReleaseTableForChange(int32_t tableID);

    // Transactions of the disk manager. StartTransaction needs a connected file database
    // (10113, 10880); its select-only flag is "a query is running that does not change data".
    // Inside a transaction a table write lock is taken as a read lock and upgraded at commit:
    // two connections may then both draw one generator value, and one commit fails (10249).
    void StartTransaction();
    void Commit();
    // Rolls back, then over the registered datasets: cursors drop their caches, edits and
    // inserts are cancelled, active datasets refreshed.
    void Rollback();
    bool InTransaction() const;

    // Generators: rows of "$SYSTBL_INTGENERATOR" (connected file database of minor version 2
    // or later). Names are 1 to 20 characters and never begin with "$".
    void CreateGenerator(const std::string& name, int32_t startValue, int32_t step);
    void DeleteGenerator(const std::string& name);
    // The present value; unless peeking the generator advances by its step.
    int32_t GetGeneratorValue(const std::string& name, bool peek);
    void GetGeneratorNames(TStrings& list);
    bool QueryGenerator(const std::string& name, int32_t& value, int32_t& step);

    // Engine-internal access to a system table: a table component marked internal, with the
    // database's ReadOnly value, on the given index ("" the natural order), opened at once. It
    // is no client of the database (the close, cancel and refresh walks pass it by), but
    // after a commit or rollback it drops its caches and the locks it believed it held, as the
    // clients do. Its owner keeps it for the connection and frees it before the disconnect.
    std::unique_ptr<TZanTable> OpenInternalTable(const std::string& name,
                                                 const std::string& indexName);
    // Internal datasets (table definition marked internal) enter and leave this list instead
    // of the client list.
    void AddInternalDataSet(TZanDataSet* dataSet);
    void RemoveInternalDataSet(TZanDataSet* dataSet) noexcept;
    const std::vector<TZanDataSet*>& InternalDataSets() const { return FInternalDataSets; }

    // Table and record locks of a file table (lock types 1 read, 4 write) through the disk
    // manager. A table of the in-memory manager takes no locks: these answer false for it.
    bool LockTable(const TTableDef& def, int32_t lockType);
    bool UnLockTable(const TTableDef& def);
    bool TableLockExists(const TTableDef& def) const;
    bool LockRecord(const TTableDef& def, uint32_t address);
    bool UnLockRecord(const TTableDef& def, uint32_t address);
    bool RecordLockExists(const TTableDef& def, uint32_t address) const;

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
    void Login(int32_t mode, TZanLoginCredentials& login);
    // Connect step 12: the logon, asking again through the prompt while it fails.
    void SecuredLogon(TZanLoginCredentials& login);
    // Connect steps 13 and 14: the logged-on group's privilege set and database mask.
    void LoadDatabasePrivileges();
    // Engine only: connects without a logon (a rebuild's auxiliary database).
    void SetTemporaryPrivilegeStatus(int32_t value) { FTemporaryPrivilegeStatus = value; }
    // A system table's definition, empty but for its name, sort order and encryption.
    void BeginSystemTableDef(TTableDef& def, const char* name, TEncryptionLevel level) const;
    static void SetDefaultLayout(TTableDef& def);
    void CreateSecurityTables();
    void OpenSecurityTables();
    void CloseSecurityTables() noexcept;
    // The object id whose privileges a table opens with (after the execute check: 8579,
    // 10624); -1 when the table opens with every privilege.
    int32_t CheckOpenPrivilege(const std::string& name, const TTableDef& def);
    void ApplyTablePrivileges(TTableDef& def, int32_t objectID) const;
    // Adds the "$SYSTBL_OBJECTIDREF" row of a new table.
    void AddObjectReference(int32_t id, const std::string& name);
    void OpenSystemTables();
    void OpenMasterTables();
    // The code-built definition of a master table.
    void BuildMasterTableDef(TTableDef& def, int32_t tableID, const std::string& name) const;
    void CreateSystemTables();
    // Stamps the definition and creates it in its manager (and catalogue for a file table).
    void InternalCreateTable(TTableDef& def);
    // Refuses (8962) a definition whose layout the open of the table would refuse.
    static void CheckStorableLayout(const TTableDef& def);
    void CatalogueAddTable(TTableDef& def);
    void CatalogueInsert(TZanRowStore& master, TTableDef& def, bool withObjectID);
    // Runs f under the write locks of the tables and the header write lock, taken in that
    // order.
    void WithCatalogueLocks(const std::vector<uint16_t>& tableIDs,
                            const std::function<void()>& f);
    void CatalogueRewrite(TTableDef& def);
    TZanRowStore& MasterTableFor(const std::string& name) const;
    TBaseTableDefMgr& ManagerOf(const TTableDef& def) const;
    uint32_t FindCatalogueRow(TZanRowStore& master, const std::string& name);
    void ReadTableDef(const std::string& name, TTableDef& def);
    void GrantAll(TTableDef& def) const;
    // The generator table after the checks every generator call makes.
    TZanTable& GeneratorTable(const char* context);
    // Positions the generator table on the generator's row; false when there is none (a name
    // longer than the field never matches).
    bool FindGenerator(TZanTable& gen, const std::string& name);
    // After a commit or rollback released every lock: the registered and the internal
    // datasets forget the table and record locks they believed they held.
    void ForgetDataSetLocks();

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

    // Declared before the internal tables, which leave it when they go.
    std::vector<TZanDataSet*> FInternalDataSets;
    std::unique_ptr<TPrivileges> FPrivileges;
    std::unique_ptr<TSecurityManager> FSecurityManager;
    // Users, groups, object and system privileges, as the security manager uses them.
    std::vector<std::unique_ptr<TZanTable>> FSecurityTables;
    std::unique_ptr<TMemoryTableDefMgr> FMemoryTables;
    std::unique_ptr<TDiskMgr> FDiskMgr;
    std::unique_ptr<TZanDiskTables> FDiskTables;
    TDiskTableDefMgr* FSystemTables = nullptr;
    TDiskTableDefMgr* FUserTables = nullptr;
    std::unique_ptr<TZanRowStore> FMasterUser;
    std::unique_ptr<TZanRowStore> FMasterSystem;
    std::unique_ptr<TZanTable> FObjectIDRef;
    std::unique_ptr<TZanTable> FIntGenerator;
    // Definitions read from the catalogue, by upper-case name, with what identifies the row
    // and text they came from: a changed row is read again.
    struct TParsedDef {
        std::string Identity;
        std::unique_ptr<TTableDef> Def;
    };
    std::map<std::string, TParsedDef> FParsedDefs;
    std::unique_ptr<TTableDef> FUncachedDef;
    // The table-use locks: a shared byte per table this connection has open, the whole region
    // while a table is held for a change.
    std::unique_ptr<TBaseLockMgr> FTableUseLocks;
    std::map<int32_t, int32_t> FTableUses;
    std::map<int32_t, int32_t> FTablesHeld;
    TBaseLockMgr* TableUseLocks();
    void AcquireTableUse(int32_t tableID);
    void ReleaseTableUse(int32_t tableID) noexcept;
    void RequireTablePrivilege(const std::string& name, int32_t privilege, const char* context);
    void RemoveCatalogueEntry(TTableDef& def, const char* context);
    // The tables a delete or rename of the table changes: its master, the object references.
    std::vector<uint16_t> CatalogueTables(const std::string& name);
};


// ---------------------------------------------------------------------------------------------
// The cursor: the engine's own access to one table.

enum TKeyMode : uint8_t { kmNone, kmFind, kmRange };
enum TRangeMode : uint8_t { rmRangeStart, rmRangeEnd };
enum TSeekPosition : uint8_t { spFromStart, spFromCurrent, spFromEnd };
enum TPositionMarker : uint8_t { tpInTableUnknown, tpInTableValid, tpAtFirst, tpAtLast };
enum TRecordBufferStatus : uint8_t { rbBrowse, rbEdit, rbInsert, rbInvalid };
enum TReadAheadMode : uint8_t { raReadAheadInactive, raReadAheadUninitialized, raReadAheadActive };

// Null-flag (and key-flag) values of a record buffer.
inline constexpr uint8_t C_NULLFLAG_NULL = 0;
inline constexpr uint8_t C_NULLFLAG_VALUE = 1;
inline constexpr uint8_t C_NULLFLAG_LOWEST = 2;
inline constexpr uint8_t C_NULLFLAG_HIGHEST = 4;
// The extra info after the record in a cursor buffer: record address, record number in the
// current index (1-based), key flag; each an unsigned 32-bit value.
inline constexpr int32_t C_EXTRA_INFO_SIZE = 12;
// How long records read ahead stay valid.
inline constexpr uint64_t C_READ_AHEAD_LIFETIME = 10000;
// The blob cache's limits on the bytes and on the values (empty ones included) it keeps.
inline constexpr size_t C_BLOB_CACHE_LIMIT = 16u << 20;
inline constexpr size_t C_BLOB_CACHE_ENTRIES = 4096;

using TUpdateProgressProc = std::function<void(int32_t percentDone, bool& cancel)>;

// A restructure as the cursor carries it out: the wanted field definitions, the destination
// field definitions (each naming the field its data comes from), the wanted index definitions,
// the change levels (TDefChangeType ordinals: 0 none, 1 definitions only, 2-5 records or
// indexes rebuilt) and the storage settings that change, each with its flag.
struct TInternalRestructureRecord {
    const TRestructureFieldDefs* NewFieldDefs = nullptr;
    const TRestructureFieldDefs* DestFieldDefs = nullptr;
    const TRestructureIndexDefs* NewIndexDefs = nullptr;
    int32_t FieldChangeLevel = 0;
    int32_t IndexChangeLevel = 0;
    bool SetBlobBlockSize = false;
    int32_t BlobBlockSize = 0;
    bool SetEncryptionLevel = false;
    TEncryptionLevel EncryptionLevel = encNone;
    bool SetBlobCompression = false;
    bool BlobCompression = false;
    // A record the new definition cannot take (a key violation of converted values) fails the
    // restructure, which then changes nothing, instead of being logged and left out.
    bool KeepEveryRecord = false;
    // The records the table holds by its index, when known (else -1): a restructure that reads
    // another number of live records (a record damaged past reading) fails with 8962 and
    // changes nothing, instead of leaving the unreadable ones out of the table for good.
    int64_t ExpectedRecords = -1;
};

// The storage changes a table component's restructure asks for besides its definitions.
struct TRestructureRecord {
    bool ChangeEncryption = false;
    TEncryptionLevel EncryptionLevel = encNone;
    bool ChangeCompression = false;
    bool BlobCompression = false;
    bool ChangeBlobSize = false;
    int32_t BlobBlockSize = 0;
    // See TInternalRestructureRecord::KeepEveryRecord and ExpectedRecords.
    bool KeepEveryRecord = false;
    int64_t ExpectedRecords = -1;
};
using TRecordFilterProc = std::function<bool(const uint8_t* recBuf)>;
// The millisecond clock of the read-ahead buffer (monotonic, 64 bits).
using TZanMillisecondClock = std::function<uint64_t()>;
uint64_t ZanMonotonicMilliseconds();

// A cursor over one table of a TZanDataBase. Every move is a search on the current index for
// the key of the record in the cursor buffer, under a table lock; nothing of a position is kept
// between calls, so other cursors and processes may change the table in between. The framework
// buffer protocol is served by the table datasets derived from it.
//
// The functions that write: AddRecord, UpdateRecord, DeleteRecord, DataSetEmptyTable and
// InternalCreateTable (blobs are written by WriteBlobsToInterface inside the first three).
class TZanDataSet : public TDataSet {
    // Only the engine opens a table as one of its own (FInternalOpen).
    friend class TZanDataBase;

public:
    explicit TZanDataSet(TComponent* owner = nullptr);
    ~TZanDataSet() override;
    ZAN_CLASS(TZanDataSet)
    // The filter manager evaluates under this cursor's read lock.
    friend class TFilterMgr;

    // --- Properties (table ones only while closed) -------------------------------------------
    TZanDataBase* GetDataBase() const { return FDataBase; }
    void SetDataBase(TZanDataBase* db);
    const std::string& GetTableName() const { return FTableName; }
    void SetTableName(const std::string& name);
    const std::string& GetTableOwner() const { return FTableOwner; }
    void SetTableOwner(const std::string& owner);
    bool GetReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);
    bool GetMemory() const { return FMemory; }
    void SetMemory(bool value);
    TSortOrder GetSortOrder() const { return FSortOrder; }
    void SetSortOrder(TSortOrder value);
    TEncryptionLevel GetEncryptionLevel() const { return FEncryptionLevel; }
    void SetEncryptionLevel(TEncryptionLevel value);
    int32_t GetBlobBlockSize() const { return FBlobBlockSize; }
    void SetBlobBlockSize(int32_t value);
    bool GetBlobCompression() const { return FBlobCompression; }
    void SetBlobCompression(bool value);
    int32_t GetReadAheadBufferSize() const { return FReadAheadBufferSize; }
    void SetReadAheadBufferSize(int32_t value) { FReadAheadBufferSize = value; }
    bool GetUseReadAheadBuffer() const { return FUseReadAheadBuffer; }
    void SetUseReadAheadBuffer(bool value);
    void SetVersion(const std::string&) {}
    bool GetSystemTable() const;
    bool GetInternalActive() const { return FInternalActive; }
    bool GetIsReadOnly() const { return FIsReadOnly; }
    // The index requested for the next open (the current index once open).
    const std::string& GetIndexName() const { return FIndexName; }
    void SetIndexName(const std::string& name);
    void SetInQuery(bool value);
    void SetFilterEventHandler(TRecordFilterProc handler) { FRecordFilter = std::move(handler); }
    bool HasFilterEventHandler() const { return bool(FRecordFilter); }
    TUpdateProgressProc OnUpdateProgress;
    void SetClock(TZanMillisecondClock clock) { FClock = std::move(clock); }
    void SetBlobCacheEnabled(bool value) { FBlobCacheEnabled = value; }
    TTableDef& GetTableDef() { return *FTableDef; }
    TIndexManager& GetIndexManager() { return *FIndexMgr; }
    TSearchModifier& GetSearchModifier() { return FSearchModifier; }
    TFilterMgr& GetFilterMgr() { return *FFilterMgr; }
    TReadAheadBuffer& GetReadAheadBuffer() { return *FReadAhead; }
    uint8_t GetBufferState() const { return FBufferState; }
    bool GetExists();

    // --- Open and close -----------------------------------------------------------------------
    void DataSetOpen();
    void DataSetClose();
    // Close() for destructors: a failure there (a lock release that cannot write) has no caller
    // to go to and must not end the process, so it is dropped. An explicit Close still raises it.
    void CloseFromDestructor() noexcept;

    // --- Buffers and fields -------------------------------------------------------------------
    uint8_t* GetRecBuf() { return FRecBuf.data(); }
    int32_t InternalGetRecordSize() const;
    // Record size plus the extra info.
    int32_t GetRecBufSize() const { return InternalGetRecordSize() + C_EXTRA_INFO_SIZE; }
    TInternalFields& GetInternalFields() const;
    int32_t GetInternalFieldCount() const;
    int32_t GetFieldNo(const std::string& name) const;
    int32_t GetFieldDataOffset(int32_t n) const;
    int32_t GetFieldNullOffset(int32_t n) const;
    bool GetIsFieldNullFromRecBuf(const uint8_t* recBuf, int32_t n) const;
    // Whether field n of the record being edited is NULL: a blob set since the record was read
    // (DataSetSetFieldStream) answers by its new value, which the record takes only at post.
    bool GetIsEditFieldNull(int32_t n) const;
    int32_t GetFieldLength(int32_t n) const;
    void GetFieldDef(int32_t n, TFieldDef& def) const;
    bool IsFieldBlob(int32_t n) const;
    bool IsFieldTextBlob(int32_t n) const;

    void DataSetGetFieldData(int32_t n, bool& isNull, void* dest);
    void DataSetGetFieldDataFromRecBuf(int32_t n, bool& isNull, void* dest,
                                       const uint8_t* recBuf);
    void DataSetGetFieldDataByReference(const uint8_t* recBuf, int32_t n, bool& isNull,
                                        int32_t& length, const uint8_t*& data);
    void DataSetGetFieldDataByReferenceFromRecBuf(int32_t n, bool& isNull, int32_t& length,
                                                  const uint8_t*& data);
    Variant DataSetGetFieldDataAsVariant(int32_t n);
    Variant DataSetGetFieldDataFromRecBufAsVariant(const uint8_t* recBuf, int32_t n);
    void DataSetSetFieldData(int32_t n, int32_t length, bool setNull, const void* data);
    void DataSetSetFieldDataToRecBuf(int32_t n, int32_t length, bool setNull, uint8_t* recBuf,
                                     const void* data);
    void DataSetSetFieldDataAsVariant(int32_t n, const Variant& value);
    void DataSetSetFieldDataToRecBufAsVariant(uint8_t* recBuf, int32_t n, const Variant& value);
    void DataSetGetFieldStream(int32_t n, bool& isNull, TStream& stream);
    void DataSetGetFieldStreamFromRecBuf(const uint8_t* recBuf, int32_t n, bool& isNull,
                                         TStream& stream);
    void DataSetSetFieldStream(int32_t n, bool setNull, TStream& stream);
    void DataSetSetFieldStreamFromRecBuf(uint8_t* recBuf, int32_t n, bool setNull,
                                         TStream& stream);
    bool GetBlobCacheData(const uint8_t* recBuf, int32_t n, TStream& stream);
    void SetBlobCacheData(const uint8_t* recBuf, int32_t n, TStream& stream);
    void ClearBlobCache();
    size_t GetBlobCacheBytes() const { return FBlobCacheBytes; }

    bool CheckReadOnlyPrivileges() const;
    // Framework fields without the read privilege are hidden, without the update privilege
    // made read-only.
    void DataSetSetFieldPrivileges();
    void ClearRecord(uint8_t* recBuf = nullptr);
    void SetRecordBuffer(const uint8_t* src, int32_t size);
    void GetRecordBuffer(uint8_t* dest) const;
    void ReadRecordBuffer(uint32_t address, uint8_t* recBuf = nullptr);
    void InitializeNewRecord(uint8_t* recBuf, bool keyFlags);
    uint32_t DatasetGetRecAddr(const uint8_t* recBuf = nullptr) const;
    uint32_t DataSetGetRecordModFlag(const uint8_t* recBuf = nullptr) const;
    uint32_t DataSetGetRecordLogicalNo(const uint8_t* recBuf = nullptr) const;
    static void GetBookMarkFromBuf(const uint8_t* recBuf, int32_t recordSize, uint8_t* bookmark);
    static void SetBookMarkToBuf(uint8_t* recBuf, int32_t recordSize, const uint8_t* bookmark);
    bool CheckBookMarkValid(const uint8_t* bookmark);
    bool CheckBufferWritten(const uint8_t* recBuf) const;
    static void ValidateObjectName(const std::string& name, const std::string& kind);
    void CheckConnected() const;
    void CheckInternalActive() const;
    // 10501 when the cursor is read-only: checked before any record is written.
    void CheckWritable(const char* context) const;
    void CheckInternalInactive() const;
    void CheckIndexesPresent() const;
    void CheckPrivilegePresent(int32_t mask, int32_t required) const;
    void DumpInternalStatus(TStrings& lines);

    // Extra info of a buffer.
    uint32_t ExtraAddress(const uint8_t* recBuf) const;
    uint32_t ExtraRecNo(const uint8_t* recBuf) const;
    uint32_t ExtraKeyFlag(const uint8_t* recBuf) const;
    void SetExtraInfo(uint8_t* recBuf, uint32_t address, uint32_t recNo) const;
    void SetExtraKeyFlag(uint8_t* recBuf, uint32_t flag) const;

    // --- Positioning --------------------------------------------------------------------------
    bool DataSetFirst();
    bool DataSetLast();
    bool DataSetNext();
    bool DataSetPrior();
    bool DataSetInternalFirst();
    bool DataSetInternalLast();
    bool DataSetInternalNext();
    bool DataSetInternalPrior();
    bool DataSetMoveToEnd(bool first);
    int32_t DataSetMoveBy(int32_t) { return 0; }
    bool Find(TIndexSearchType type, const std::string& indexName,
              const TSearchModifier* modifier = nullptr);
    bool FindBuf(const uint8_t* recBuf, TIndexSearchType type, const std::string& indexName,
                 const TSearchModifier* modifier, bool refreshIfMissing);
    bool InternalFind(TIndexSearchType type, const std::string& indexName,
                      const TSearchModifier* modifier);
    // The index's not-found answer (0 found).
    int32_t InternalSearchOnly(const uint8_t* recBuf, TIndexSearchType type,
                               const std::string& indexName, const TSearchModifier* modifier);
    void InternalSetIndexName(const std::string& name);
    std::string GetCurrentIndexName() const;

    void SetRangeOn(bool on);
    void DataSetClearRange() { SetRangeOn(false); }
    bool GetRangeActive() const { return FRangeActive; }
    bool GetRangeValid() const { return FRangeValid; }
    void InitializeRangeBuffers(TRangeMode mode);
    uint8_t* GetRangeRecBuf(TRangeMode mode) { return FRangeBuf[mode].data(); }
    void SetNullIndexFieldsToRangeEnd(uint8_t* recBuf, const std::string& indexName,
                                      TRangeMode mode, const std::vector<std::string>& fieldNames);
    // Marks the key fields of the index after position `after` and the key's extra part with
    // flag (lowest or highest), whatever values they hold.
    void SetKeyFieldsAfter(uint8_t* recBuf, const std::string& indexName, int after, uint8_t flag);
    void SetFieldKeyFlagToMax(int32_t n);
    void SetKeyFlagsToBOF(uint8_t* recBuf);
    void SetKeyFlagsToEOF(uint8_t* recBuf);
    bool MoveToRangeEnd(TRangeMode mode);
    bool CheckKeyBufInRange(const uint8_t* keyBuf, TRangeMode mode);
    uint32_t GetRangeEndRecNo(TRangeMode mode);
    bool ValidateRecBufPostDataChange();

    int32_t GetTotalRecordCount();
    int32_t GetCurrentRecordCount();
    int32_t DataSetGetRecordNo();
    int32_t DataSetGetRecordNoFromBuf(const uint8_t* recBuf);
    int32_t DataSetSetRecordNo(int32_t n);

    bool SetToRecord(uint32_t address, const uint8_t* compareBuf, bool reposition, bool check);
    // SetToRecord with repositioning, keeping the blob values set on the record being inserted
    // or edited: the read of the record positioned on drops the blob streams it replaces.
    bool SetToRecordKeepingBlobs(uint32_t address, const uint8_t* compareBuf);
    bool SetToRecordBuffer(const uint8_t* recBuf, bool reposition, bool check);
    bool DataSetSetToBookmark(const uint8_t* bookmark);
    bool DataSetSetToFlags(uint32_t address, uint32_t stamp, uint32_t logicalNo);
    // Makes the live record at address current without searching the index (its number in the
    // index stays unknown); False, with the buffer unchanged, when the address holds no live
    // record of this table or the filter excludes it.
    bool DataSetSetToLiveRecord(uint32_t address);
    void DataSetSetToUnorderedRecord(uint32_t address);
    bool DataSetRefresh(uint8_t* recBuf, bool exact);
    uint32_t RefreshDataSet(TIndexSearchType type, uint8_t* recBuf);
    void RefreshDataSetIndex(uint32_t address);

    void ReadTableHeader();
    bool HasTableHeaderChanged() const { return FLastStamp != FPrevStamp; }

    void SetReadAheadMode(TReadAheadMode mode);
    void ReleaseReadAheadMode();
    void ClearReadAheadMode();
    TReadAheadMode GetReadAheadMode() const { return FReadAheadMode; }
    void FillReadAheadBuffer(int32_t size, TReadAheadDirection direction);
    bool GetFromReadAheadBuffer(TReadAheadDirection direction);
    void InvalidateReadAhead(bool count);
    // Index searches made by fills of the read-ahead buffer (for tests and benchmarks).
    uint64_t GetReadAheadFills() const { return FReadAheadFills; }

    bool InternalMoveToFilterRecord(TSeekPosition from, int32_t offset);
    // The filtered record nearest to address in the direction given: for an address the filter
    // does not list (deleted meanwhile), the key of the cursor buffer is searched first.
    uint32_t NearestFilterRecord(uint32_t address, bool forwards);
    // Applies the Filter text (and the record-filter handler) in the filter manager (10051
    // "Invalid filter/filter expression" with the manager's error when the text fails);
    // without text and handler the filter is closed.
    void InternalSetFilter();
    void InternalClearFilter();
    // A filter for one find with Filtered off: InternalSetTemporaryFilter switches on the
    // filter kept by InternalSuspendFilter after the previous find, or applies it anew.
    void InternalSetTemporaryFilter();
    void InternalSuspendFilter();
    // Hands a query expression to the filter manager (10051 when the table's text fails).
    void InternalAssignFilterExpr(TZanFilterExprDriver& driver);
    // After a refresh by key: the cursor moves to the nearest record of an active filter.
    bool SyncToFilter();
    // The record's number in the current index; 0 when the address is no live record.
    uint32_t GetIndexRecNoOfAddress(uint32_t address);
    bool PassFilterEvent(uint32_t address);
    void InternalCheckFilterStatus(bool lockWasHeld);

    // --- Writes and locks ---------------------------------------------------------------------
    void AddRecord(bool useAutoInc);
    // While set, AddRecord and UpdateRecord leave the cursor unplaced in the index order instead
    // of positioning on the record written. (AddRecord always probes only the unique and primary
    // indexes for an equal key: the key of any other index ends in the new logical record number,
    // so it cannot meet an equal one.) For writing a table row after row, each row found by its
    // address, as a query fills its result table and INSERT ... SELECT and UPDATE their target.
    void SetAppendOnly(bool value) { FAppendOnly = value; }
    void UpdateRecord();
    int32_t DeleteRecord(const uint8_t* compareBuf);
    void WriteBlobsToInterface(bool deleting);
    void InternalSetReadLock();
    void InternalSetWriteLock();
    void InternalReleaseLock();
    bool ReadLockTable();
    bool LockTable();
    bool UnlockTable();
    bool InternalSetRecordLock(uint32_t address);
    bool InternalReleaseRecordLock(uint32_t address);
    bool HoldsRecordLock(uint32_t address) const;
    void WriteTableHeader();
    // After a change made outside a transaction under a table write lock the caller holds (not
    // taken by the change): the table header (free-chain heads, index roots, counters) is
    // written inside the change's write scope, so a process killed before the caller releases
    // the lock leaves no block outside its chains.
    void WriteHeaderInScope(bool taken);
    bool InternalCheckRecordFlags(const uint8_t* recBuf, const uint8_t* storedBuf,
                                  bool checkStamp, bool checkIdentity) const;
    bool InternalCheckRecordValid(const uint8_t* recBuf) const;
    // 8962 unless recBuf, read at address through the index entry whose key is entryKey, is a live
    // record of this table holding that key.
    void CheckRecordAtEntry(TIndexItem& index, const uint8_t* recBuf, uint32_t address,
                            const uint8_t* entryKey);
    bool GetReadLocked() const { return FReadLocked; }
    bool GetWriteLocked() const { return FWriteLocked; }
    // A commit or rollback released every lock of the connection: the table and record locks
    // are no longer held, and the free-chain heads are read again under the next lock.
    void LocksReleased();
    uint32_t GetOwnerTag() const { return FOwnerTag; }

    // --- Definitions --------------------------------------------------------------------------
    void SetTableDef(bool memory, const TFieldDefs& fieldDefs, const TIndexDefs& indexDefs);
    void InternalCreateTable();
    void DataSetEmptyTable();

    // --- Maintenance (zanDatabaseCursorRestructure.cpp) ---------------------------------------
    void SetTableDefFromRSDefs(bool memory, const TRestructureFieldDefs& fieldDefs,
                               const TRestructureIndexDefs& indexDefs);
    void InitializeRebuild();
    void FinalizeRebuild();
    // Rebuilds every index from the records; with ignoreKeyViolations a record whose key an
    // index already holds is left out of every index (and logged), else 9729.
    void InternalReIndex(bool ignoreKeyViolations);
    // A restructure that read another number of live records than FTransferExpected: 8962.
    void CheckTransferredCount(int64_t live, const char* context) const;
    void InternalRebuildTable();
    void InternalRestructureTable(const TInternalRestructureRecord& details);
    // Adds the record srcBuf of source (another layout) to this table: each field takes the
    // value of the source field its source name names (its own name when none is set).
    void TransferRecord(const uint8_t* srcBuf, TZanDataSet& source, int32_t recordNo);
    // Copies every record of this open table into dest, field by field, logging what it does.
    void CopyRawTableData(TZanDataSet* dest);
    // Where each field of this table takes its data from in TransferRecord: field name to
    // source field name (empty: by name).
    void SetTransferSources(std::map<std::string, std::string> sources) {
        FTransferSources = std::move(sources);
    }

    // --- Lists, locate, index information -----------------------------------------------------
    void LoadCompleteListOfRecords(TCompoundList& list);
    void LoadHashListOfRecords(TZanBaseHash& hash, const std::string& fieldName,
                               TCompoundList& list, bool noSort);
    void InternalPrepareMasterRecordList(TCompoundList& list);
    bool DoLocate(const std::string& indexName, uint8_t* keyBuf, uint8_t* resultBuf,
                  const std::vector<std::string>& fieldNames, TLocateOptions options,
                  bool useIndexName, bool reposition);
    int32_t InternalCompareRecords(const uint8_t* keyBuf, const uint8_t* recBuf,
                                   int32_t& fieldIndex, bool caseInsensitive, bool partial,
                                   const TSearchFields& searchFields) const;
    void GetIndexNames(TStrings& list) const;
    void GetIndexDef(int32_t n, TIndexDef& def) const;
    std::string FindIndexForFields(const std::string& fields) const;
    std::string GetIndexFieldsFromKeyFields(const std::string& indexName) const;
    int32_t GetIndexFieldCount() const;
    int32_t InternalGetIndexCount() const;
    // Records read by the last DoLocate.
    int32_t GetLocateRecordsRead() const { return FLocateReads; }

protected:
    // The framework slots: served by the table datasets, refused here.
    TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(TRecordBuffer& buffer) override;
    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
    void GetBookmarkData(TRecordBuffer buffer, void* data) override;
    void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
    void InternalGotoBookmark(const void* bookmark) override;
    void InternalOpen() override;
    void InternalClose() override;
    bool IsCursorOpen() override;
    void InternalInitFieldDefs() override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalSetToRecord(TRecordBuffer buffer) override;
    void InternalInitRecord(TRecordBuffer buffer) override;
    void InternalAddRecord(TRecordBuffer buffer, bool append) override;
    void InternalDelete() override;
    bool GetFieldData(TField* field, void* buffer) override;
    void SetFieldData(TField* field, const void* buffer, int32_t length) override;
    void InternalHandleException(const std::exception& error) override;
    bool IsSequenced() override { return !FFilterMgr->GetActive(); }
    void Notification(TComponent* component, TOperation operation) override;

    // Lock state helpers: the lock taken for one call when none is held.
    bool TakeReadLock();
    bool TakeWriteLock();
    void ReleaseTaken(bool taken);
    // The disk manager a write scope of this table runs on; none for an in-memory table.
    TDiskMgr* WriteScopeDisk() const;
    // A field getter's read privilege (system tables skip it): 10624 naming the field.
    void CheckFieldRead(int32_t n) const;

private:
    [[noreturn]] void NotValid(const char* routine) const;
    void InternalOpenDataSet();
    void InternalCloseDataSet();
    const TInternalFieldItem& FieldAt(int32_t n, const char* context) const;
    void CheckFieldWrite(int32_t n, const uint8_t* recBuf) const;
    TIndexItem& IndexByName(const std::string& name, const char* context) const;
    TIndexItem& CurrentIndexItem(const char* context) const;
    // Builds the markers of a key from the null flags of recBuf (key flag for key parts that
    // are not table fields) and the index's search key from recBuf.
    void BuildMarkers(const TIndexItem& index, const uint8_t* recBuf, TKeyMarkers& markers) const;
    void CreateKey(TIndexItem& index, const uint8_t* recBuf);
    // 0 when found.
    int32_t SearchIndex(TIndexItem& index, TIndexSearchType type,
                        const TSearchModifier* modifier);
    // Whether the stored block at address is a live record of this table (read into recBuf).
    bool ReadValidRecord(uint32_t address, uint8_t* recBuf);
    // Reads the record the index stands on into recBuf with its extra info.
    void ReadAtIndex(TIndexItem& index, uint8_t* recBuf, bool current);
    int32_t CompareToRange(TRangeMode mode, const uint8_t* recBuf);
    bool KeyInRange(const uint8_t* recBuf);
    void ClearFoundFlags() { FRangeFound[0] = FRangeFound[1] = false; }
    // Next (forwards) or prior: read-ahead first, else a search; never out of the range.
    bool InternalStep(bool forwards);
    // The buffer cleared with every null flag and the key flag set to flag.
    void SetKeyFlagsTo(uint8_t* recBuf, uint8_t flag);
    void AfterChange(uint32_t address, bool lockWasHeld);
    uint64_t Now() const { return FClock ? FClock() : ZanMonotonicMilliseconds(); }
    bool AddIndexDef(const TIndexDef& def);
    std::string IndexNameOfCurrent() const;

    TZanDataBase* FDataBase = nullptr;
    // Opened by the engine for itself: not a client of the database, and a system table of a
    // secured database opens for it.
    bool FInternalOpen = false;
    bool FRegistered = false;
    std::string FTableName;
    std::string FTableOwner;
    std::string FIndexName;
    bool FReadOnly = false;
    bool FMemory = false;
    TSortOrder FSortOrder = soANSI;
    TEncryptionLevel FEncryptionLevel = encNone;
    int32_t FBlobBlockSize = C_DEFAULT_BLOB_SIZE;
    bool FBlobCompression = false;
    bool FUseReadAheadBuffer = false;
    int32_t FReadAheadBufferSize = 10;
    TReadAheadDirection FReadAheadDirection = rdNone;
    TReadAheadMode FReadAheadMode = raReadAheadInactive;
    int32_t FReadAheadNesting = 0;
    uint64_t FReadAheadFills = 0;
    TZanMillisecondClock FClock;
    bool FInternalActive = false;
    bool FIsReadOnly = false;
    bool FAppendOnly = false;
    bool FReadLocked = false;
    bool FWriteLocked = false;
    uint32_t FLastStamp = 0;
    uint32_t FPrevStamp = 1;
    uint32_t FLastRollbacks = 0; // the file's rollback count at the last header read
    uint32_t FOwnerTag = 0;
    uint8_t FBufferState = 0;
    bool FRangeActive = false;
    bool FRangeValid = false;
    bool FRangeFound[2] = {false, false};
    TKeyMarkers FRangeMarkers[2];
    std::vector<uint8_t> FRangeKey[2];
    std::vector<uint8_t> FRangeBuf[2];
    std::vector<uint8_t> FRecBuf;
    std::vector<uint8_t> FFilterBuf;
    std::vector<uint8_t> FScratch;
    // The cursor buffer before a move that may have to be undone.
    std::vector<uint8_t> FMoveBuf;
    bool FBlobCacheEnabled = false;
    int32_t FLocateReads = 0;
    TRecordFilterProc FRecordFilter;
    // Record locks this cursor holds.
    std::vector<uint32_t> FRecordLocks;
    std::map<std::string, std::string> FTransferSources;
    // CopyRawTableData into this table fails at a record it cannot add instead of leaving it out.
    bool FTransferKeepsAll = false;
    // The same for a rebuild, which copies the records as they are: a record it cannot add (a
    // key violation a unique index left out) fails the rebuild rather than being dropped.
    bool FTransferLosesNone = false;
    // The live records a restructure of this table must read (-1: not checked).
    int64_t FTransferExpected = -1;

protected:
    // Reports percent when it differs from the last; answers whether Cancel was asked.
    bool ReportProgress(int64_t done, int64_t total, int32_t& last);

private:
    // Empties the index pages and creates the indexes again; the current index stays.
    void RecreateIndexes();

    std::unique_ptr<TTableDef> FTableDef;
    std::unique_ptr<TRecordMgr> FRecordMgr;
    std::unique_ptr<TIndexManager> FIndexMgr;
    std::unique_ptr<TBlobInterface> FBlobInterface;
    std::unique_ptr<TReadAheadBuffer> FReadAhead;
    std::unique_ptr<TFilterMgr> FFilterMgr;
    TSearchModifier FSearchModifier;
    // Blob contents read while browsing, by (record address, field), least recently used
    // first.
    struct TBlobCacheEntry {
        uint32_t Address;
        int32_t Field;
        std::string Data;
    };
    std::list<TBlobCacheEntry> FBlobCache;
    // The entries by address (high 32 bits) and field.
    std::unordered_map<uint64_t, std::list<TBlobCacheEntry>::iterator> FBlobCacheIndex;
    size_t FBlobCacheBytes = 0;
};

} // namespace zan

namespace zan {

// ---------------------------------------------------------------------------------------------
// The table datasets: the cursor served through the framework's buffer protocol.
//
// A framework buffer: the cursor buffer (record image and the cursor's 12 bytes of extra info,
// so that both agree on their first record size + 12 bytes), the calculated-field area (per
// field a flag byte and its data), 8 bytes of extra information (bytes 0-3 the record's
// position in the current index, range and filter; byte 4 the TRecordBufferStatus; byte 5 the
// bookmark flag) and the 8-byte bookmark (record address, logical record number).
class TZanBaseTable : public TZanDataSet {
public:
    explicit TZanBaseTable(TComponent* owner = nullptr);
    ~TZanBaseTable() override;
    ZAN_CLASS(TZanBaseTable)

    TIndexDefs& GetIndexDefs() { return FIndexDefs; }
    void SetIndexDefs(const TIndexDefs& defs) { FIndexDefs.Assign(defs); }
    std::string GetVersion() const { return C_ZAN_VERSION; }
    // The table lock (read or write) of the cursor; setting it needs an active dataset.
    bool GetLocked() const { return GetReadLocked() || GetWriteLocked(); }
    void SetLocked(bool value);
    int GetInternalBufferCount() const { return GetActive() ? BufferCount() : 0; }

    // --- Framework overrides --------------------------------------------------------------------
    bool GetFieldData(TField* field, void* buffer) override;
    void SetFieldData(TField* field, const void* buffer, int32_t length) override;
    std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
    bool GetCurrentRecord(TRecordBuffer buffer) override;
    int GetRecordCount() override;
    int GetRecNo() override;
    void SetRecNo(int value) override;
    bool BookmarkValid(const TBookmark& bookmark) override;
    int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
    bool Locate(const std::string& keyFields, const Variant& keyValues,
                TLocateOptions options) override;
    Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                   const std::string& resultFields) override;
    void UpdateIndexDefs() override;
    // Releases the table write lock a post or delete took, whatever the refill does.
    void Resync(TResyncMode mode) override;
    // The move always respects the filter; with Filtered off the filter applies to this move
    // only and the dataset ends on the record found.
    bool FindRecord(bool restart, bool goForward) override;
    // Inactive: stored only. Active: browse mode, the filter applied or cleared, first record;
    // a text that fails leaves the dataset unfiltered (Filtered off) and raises 10051.
    void SetFiltered(bool value) override;
    void SetFilterOptions(TFilterOptions options) override;
    void SetFilterText(const std::string& text) override;
    void SetOnFilterRecord(TFilterRecordEvent handler) override;
    // A query expression becomes the filter (see zanFilterUnit); then the first record, or,
    // for an assessment, the record count as the driver's maximal result size.
    void AssignFilterExpr(TZanFilterExprDriver& driver);

    // --- Table operations -----------------------------------------------------------------------
    bool CreateTable();
    void EmptyTable();
    void Flush();
    // InternalPost without the required-field check and without taking the table lock.
    void SilentPost();
    void SetKeyMode(TKeyMode mode) { FKeyMode = mode; }
    void SetRangeMode(TRangeMode mode) { FRangeMode = mode; }
    TRecordBufferStatus GetRecordStatus(TRecordBuffer buffer) const;
    void SetRecordStatus(TRecordBuffer buffer, TRecordBufferStatus status) const;
    // The first IndexDefs entry of that name (any case), else nullptr.
    TIndexDef* FindIndexDefByName(const std::string& name);
    // Assigns values to the leading fields of the named index (in the set-key state); answers
    // how many were assigned.
    int SetIndexFields(const std::vector<Variant>& values, const std::string& indexName);
    // The buffer field values are read from and written to in the current state, or nullptr.
    uint8_t* GetActiveRecBuf();

protected:
    TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(TRecordBuffer& buffer) override;
    int GetRecordSize() override { return InternalGetRecordSize(); }
    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
    void GetBookmarkData(TRecordBuffer buffer, void* data) override;
    void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
    void InternalGotoBookmark(const void* bookmark) override;
    void InternalOpen() override;
    void InternalClose() override;
    bool IsCursorOpen() override { return FCursorOpen; }
    void InternalInitFieldDefs() override;
    void InternalFirst() override { FMarker = tpAtFirst; }
    void InternalLast() override { FMarker = tpAtLast; }
    void InternalSetToRecord(TRecordBuffer buffer) override;
    void InternalInitRecord(TRecordBuffer buffer) override;
    void InternalAddRecord(TRecordBuffer buffer, bool append) override;
    void InternalDelete() override;
    void InternalPost() override;
    void InternalEdit() override;
    void InternalInsert() override;
    void InternalCancel() override;
    void InternalRefresh() override;
    void InternalHandleException(const std::exception& error) override;
    void ClearCalcFields(TRecordBuffer buffer) override;
    bool GetCanModify() override;

    // Applies a master range (the table component's); nothing here.
    virtual void InternalCheckMasterRange() {}
    // Sets a range on the current index from start or end values (browse mode first).
    void InternalSetRange(const std::vector<Variant>& start, const std::vector<Variant>& end);
    // The position of the first string value longer than its index field (with whether that
    // field sorts descending), or -1.
    int OverLongKeyValue(const std::vector<Variant>& values, bool& descending);
    void SetMarker(TPositionMarker marker) { FMarker = marker; }
    TKeyMode GetKeyMode() const { return FKeyMode; }
    uint8_t* KeyBuffer() { return FKeyBuf.data(); }
    int32_t FrameworkBufferSize() const { return FBufferSize; }

private:
    friend class TBlobStream;
    // The write of the active buffer shared by InternalPost and SilentPost.
    void PostActive(bool takeLock);
    // The table write lock for a post or delete unless held; Resync releases it.
    void TakePostLock();
    void ReleasePostLock();
    // Whether an autoinc field is NULL in buffer (the engine numbers it then).
    bool AutoIncNull(const uint8_t* buffer) const;
    bool IsFrameworkBuffer(const uint8_t* buffer) const;
    // Locate's search: the filter buffer holds the key; answers whether found.
    bool LocateRecord(const std::string& keyFields, const Variant& keyValues,
                      TLocateOptions options, bool reposition);
    std::string MapFieldsToIndex(const std::vector<TField*>& fields, bool caseInsensitive);
    // Applies the filter as Filtered says; on failure the dataset is left unfiltered.
    void ApplyFilter();
    // Re-applies an active dataset's filter after a change of its settings, then goes first.
    void ReapplyFilter();
    // The record-filter callback: OnFilterRecord on a copy of the record in the filter state.
    bool FilterRecord(const uint8_t* recBuf);

    TIndexDefs FIndexDefs{this};
    TPositionMarker FMarker = tpAtFirst;
    TKeyMode FKeyMode = kmNone;
    TRangeMode FRangeMode = rmRangeStart;
    bool FCursorOpen = false;
    bool FCanModify = false;
    bool FRefilterPending = false;
    // The table write lock a post or delete took, released by Resync.
    bool FPostLock = false;
    int32_t FCalcOffset = 0;
    int32_t FExtraOffset = 0;
    int32_t FBufferSize = 0;
    std::vector<uint8_t> FDataFilterBuf;
    std::vector<uint8_t> FKeyBuf;
    std::vector<uint8_t> FWorkBuf;
};

// The stream CreateBlobStream hands out: the field's content in memory, written back to the
// record's pending blob when it is destroyed after a write.
class TBlobStream : public TMemoryStream {
public:
    TBlobStream(TField* field, TBlobStreamMode mode);
    ~TBlobStream() override;
    ZAN_CLASS(TBlobStream)
    int32_t Write(const void* buffer, int32_t count) override;

private:
    TBlobField* FField;
    TZanBaseTable* FDataSet;
    TBlobStreamMode FMode;
    uint8_t* FBuffer = nullptr;
    bool FModified = false;
    bool FOpened = false;
};

// The table component: a base table bound to one named table, with the current index chosen by
// name or by fields, key searches and key ranges.
class TZanTable : public TZanBaseTable {
public:
    explicit TZanTable(TComponent* owner = nullptr);
    ~TZanTable() override;
    ZAN_CLASS(TZanTable)

    // Empty while the natural order ("_LogicalRecNo") is current.
    std::string GetIndexName() const;
    void SetIndexName(const std::string& name);
    std::string GetIndexFieldNames();
    void SetIndexFieldNames(const std::string& names);
    int GetIndexFieldCount();
    TField* GetIndexField(int index);
    int GetIndexCount();
    bool GetStoreDefs() const { return FStoreDefs; }
    void SetStoreDefs(bool value) { FStoreDefs = value; }

    // Structural operations (zanDatabaseTableMaint.cpp). The restructure definitions are made
    // from FieldDefs and IndexDefs at first use and dropped at open.
    TRestructureFieldDefs& GetRestructureFieldDefs();
    TRestructureIndexDefs& GetRestructureIndexDefs();
    void RestructureTable(const TRestructureRecord& options);
    void AddIndex(const std::string& name, const std::string& fields, TIndexOptions options,
                  const std::string& descFields = "", const std::string& caseInsFields = "");
    void DeleteIndex(const std::string& name);
    void ReIndex(bool ignoreKeyViolations);
    void RebuildTable();
    // Appends every record of source, field by field by the names of the restructure field
    // definitions (8576 without them), logging what it maps and what it cannot convert.
    void ImportData(TDataSet& source);

    void SetKey();
    void EditKey();
    void CancelKey();
    bool GoToKey() { return ApplyKey(true); }
    void GoToNearest() { ApplyKey(false); }
    bool ApplyKey(bool exact);
    void SetKeyFieldCount(int value);
    int GetKeyFieldCount() const { return FKeyFieldCount; }
    bool FindKey(const std::vector<Variant>& values);
    void FindNearest(const std::vector<Variant>& values);

    void SetRange(const std::vector<Variant>& start, const std::vector<Variant>& end) {
        InternalSetRange(start, end);
    }
    void SetRangeStart();
    void SetRangeEnd();
    void EditRangeStart();
    void EditRangeEnd();
    void ApplyRange();
    void CancelRange();

    void DefChanged(TObject* sender) override;

    // Master-detail: the detail shows the range of its current index that equals the master
    // fields (master field i to index field i).
    TDataSource* GetMasterSource() const { return FMasterLink->GetDataSource(); }
    // A source whose dataset takes its values from this table is a circular link.
    void SetMasterSource(TDataSource* source);
    const std::string& GetMasterFields() const { return FMasterLink->GetFieldNames(); }
    void SetMasterFields(const std::string& names) { FMasterLink->SetFieldNames(names); }
    TDataSource* GetDataSource() override { return FMasterLink->GetDataSource(); }
    void GetDetailLinkFields(std::vector<TField*>& master, std::vector<TField*>& detail) override;

protected:
    void InternalOpen() override;
    void InternalCheckMasterRange() override;
    void DoOnNewRecord() override;

private:
    void MasterChanged();
    void MasterDisabled();
    void SetDetailLinkRange(const std::vector<TField*>& masterFields);
    std::unique_ptr<TMasterDataLink> FMasterLink;
    // Resyncs centred on the record the cursor found.
    void FoundKey();
    bool SearchKey(TIndexSearchType type, int count);
    // Fills the key buffer's leading index fields from values (nearest: the other key fields
    // lowest); answers how many were assigned.
    int AssignKey(const std::vector<Variant>& values, bool nearest);

    std::string FPendingIndexFields;
    int FKeyFieldCount = 0;
    bool FStoreDefs = false;
    std::unique_ptr<TRestructureFieldDefs> FRestructureFieldDefs;
    std::unique_ptr<TRestructureIndexDefs> FRestructureIndexDefs;
    void FreeRestructureDefs();
    // Opens the table unless open, lets change alter the index definitions (and forget the
    // bookmark), restructures and returns to the open state and the bookmark it found.
    void ChangeIndexDefs(const std::function<void(TRestructureIndexDefs&, TBookmark&)>& change);
};

} // namespace zan
