// Table definitions and their managers.
//
// TTableDef is the complete definition of one table: identity, record layout, key fields and
// index definitions, and once opened its table header and the three block stores of its index
// pages, blobs and records. Its published properties, in their declared order, are the stored
// form of the definition (component text in the table's catalogue row).
//
// A table-definition manager keeps one master definition per open table, shared by every
// opener: each opener's definition is a copy wired to the master's header and stores, and the
// master counts its users. The memory kind keeps its masters until they are deleted or the
// manager closes; the disk kind frees a master at its last close. A manager flagged as the
// system-table manager numbers its tables from 1024, any other from 1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/zanBTreeUnit.h"
#include "engine/storage/zanCommon.h"
#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanIndexUnit.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "engine/storage/zanRestructure.h"
#include "host/rtl/ComponentText.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/StringList.h"

namespace zan {

class TDiskMgr;

// A new definition's blob block size; the master tables use 1024. Stored definitions must keep
// it within 64..65536.
inline constexpr int32_t C_DEFAULT_BLOB_SIZE = 512;
inline constexpr int32_t C_MIN_BLOB_SIZE = 64;
inline constexpr int32_t C_MAX_BLOB_SIZE = 65536;
// Index pages of a table without index definitions.
inline constexpr uint32_t C_DEFAULT_INDEX_PAGE_SIZE = 4096;

// The block-store access flags of an encryption level: strong 5 (cipher), weak 3 (scrambler),
// none 1.
uint8_t AccessFlagsForEncryption(TEncryptionLevel level);

class TTableDef : public TComponent {
public:
    explicit TTableDef(TComponent* owner = nullptr);
    ~TTableDef() override;
    ZAN_CLASS(TTableDef)
    ZAN_PROPERTIES(TTableDef)

    // Published, in stored order.
    int32_t GetTableID() const { return FTableID; }
    void SetTableID(int32_t id) { FTableID = id; }
    // TableID shl 4: the tag of the table's blocks and records.
    uint32_t GetOwnerFlag() const { return FOwnerFlag; }
    void SetOwnerFlag(uint32_t flag) { FOwnerFlag = flag; }
    const std::string& GetTableName() const { return FTableName; }
    void SetTableName(const std::string& name) { FTableName = name; }
    const std::string& GetAltName() const { return FAltName; }
    void SetAltName(const std::string& name) { FAltName = name; }
    const std::string& GetVersion() const { return FVersion; }
    void SetVersion(const std::string& version) { FVersion = version; }
    const std::string& GetOS() const { return FOS; }
    void SetOS(const std::string& os) { FOS = os; }
    TDateTime GetCreationDate() const { return FCreationDate; }
    void SetCreationDate(TDateTime date) { FCreationDate = date; }
    TDateTime GetLastModDate() const { return FLastModDate; }
    void SetLastModDate(TDateTime date) { FLastModDate = date; }
    const std::string& GetCreatedBy() const { return FCreatedBy; }
    void SetCreatedBy(const std::string& user) { FCreatedBy = user; }
    const std::string& GetPassword() const { return FPassword; }
    void SetPassword(const std::string& password) { FPassword = password; }
    bool GetEncrypted() const { return FEncrypted; }
    void SetEncrypted(bool value) { FEncrypted = value; }
    int32_t GetSecurityLevel() const { return FSecurityLevel; }
    void SetSecurityLevel(int32_t level) { FSecurityLevel = level; }
    bool GetMemory() const { return FMemory; }
    void SetMemory(bool value) { FMemory = value; }
    int32_t GetRecordSize() const { return FRecordSize; }
    void SetRecordSize(int32_t size) { FRecordSize = size; }
    int32_t GetDefaultBlobSize() const { return FDefaultBlobSize; }
    void SetDefaultBlobSize(int32_t size) { FDefaultBlobSize = size; }
    bool GetUsesBlobs() const { return FUsesBlobs; }
    void SetUsesBlobs(bool value) { FUsesBlobs = value; }
    TSortOrder GetSortOrder() const { return FSortOrder; }
    void SetSortOrder(TSortOrder order) { FSortOrder = order; }
    bool GetInternalTable() const { return FInternalTable; }
    void SetInternalTable(bool value) { FInternalTable = value; }
    TEncryptionLevel GetEncryptionLevel() const { return FEncryptionLevel; }
    void SetEncryptionLevel(TEncryptionLevel level) { FEncryptionLevel = level; }
    TKeyFields* GetKeyFields() const { return FKeyFields.get(); }
    TInternalFields* GetInternalFields() const { return FInternalFields.get(); }
    TInternalIndexDefs* GetInternalIndexDefs() const { return FInternalIndexDefs.get(); }
    bool GetBlobCompression() const { return FBlobCompression; }
    void SetBlobCompression(bool value) { FBlobCompression = value; }

    // Public, not stored.
    int32_t GetPrivilegeFlags() const { return FPrivilegeFlags; }
    void SetPrivilegeFlags(int32_t flags) { FPrivilegeFlags = flags; }
    TTableHeader* GetTableHeader() const { return FTableHeader; }
    void SetTableHeader(TTableHeader* header) { FTableHeader = header; }
    TBaseIOInterface* GetIndexInterface() const { return FIndexInterface; }
    TBaseIOInterface* GetBlobInterface() const { return FBlobInterface; }
    TBaseIOInterface* GetRecordInterface() const { return FRecordInterface; }
    // Wires a copy to a master's stores (not owned).
    void SetInterfaces(TBaseIOInterface* index, TBaseIOInterface* blob, TBaseIOInterface* record);
    bool GetMasterDef() const { return FMasterDef; }
    void SetMasterDef(bool value) { FMasterDef = value; }
    int32_t GetUserCount() const { return FUserCount; }
    void SetUserCount(int32_t count) { FUserCount = count; }
    bool GetActive() const { return FActive; }
    // The access flags of the table's block stores.
    uint8_t GetAccessFlags() const { return AccessFlagsForEncryption(FEncryptionLevel); }

    // Copies the definition (not OwnerFlag, SecurityLevel, LastModDate, InternalTable, the
    // header, the stores or the master state).
    void Assign(const TTableDef& source);
    // Back to a new definition; refused on a master (8577).
    void Clear();
    // Gives key fields whose index does not exist to the first index definition without key
    // fields. Answers true.
    bool Validate();
    // Needs the table header (8576). A master builds its stores: memory stores when disk is
    // null, else stores in the database file. Every open makes the definition active.
    void InternalOpen(TDiskMgr* disk);
    // A master closes and frees its stores; a copy forgets them.
    void InternalClose();
    // A fixed sample definition (indexes "one" and "two"; fields "Int1", "Str1", "Date1").
    void DebugSetDefs();

    // A stored definition that would make the stores read or write at wrong places, or size
    // buffers beyond the storage limits (record, field, key sizes), raises 8962.
    void CheckStoredLayout() const;

private:
    void BuildMemoryInterfaces();
    void BuildDiskInterfaces(TDiskMgr* disk);
    void FreeInterfaces();

    int32_t FTableID = 0;
    uint32_t FOwnerFlag = 0;
    std::string FTableName;
    std::string FAltName;
    std::string FVersion;
    std::string FOS;
    TDateTime FCreationDate = 0;
    TDateTime FLastModDate = 0;
    std::string FCreatedBy;
    std::string FPassword;
    bool FEncrypted = false;
    int32_t FSecurityLevel = 0;
    bool FMemory = false;
    int32_t FRecordSize = 0;
    int32_t FDefaultBlobSize = C_DEFAULT_BLOB_SIZE;
    bool FUsesBlobs = false;
    TSortOrder FSortOrder = soANSI;
    bool FInternalTable = false;
    TEncryptionLevel FEncryptionLevel = encNone;
    std::unique_ptr<TKeyFields> FKeyFields;
    std::unique_ptr<TInternalFields> FInternalFields;
    std::unique_ptr<TInternalIndexDefs> FInternalIndexDefs;
    bool FBlobCompression = false;

    int32_t FPrivilegeFlags = 0;
    TTableHeader* FTableHeader = nullptr;
    TBaseIOInterface* FIndexInterface = nullptr;
    TBaseIOInterface* FBlobInterface = nullptr;
    TBaseIOInterface* FRecordInterface = nullptr;
    // A master's own stores.
    std::vector<std::unique_ptr<TBaseIOInterface>> FOwnedInterfaces;
    bool FMasterDef = false;
    int32_t FUserCount = 0;
    bool FActive = false;
};

// Appends a field to the definition's layout (size 0: the type's own size; a string field's
// size counts its terminator).
TInternalFieldItem* AddTableField(TTableDef& def, const std::string& name, TFieldType type,
                                  int32_t size = 0);
// Appends an index on the named fields (";"-separated) of the laid-out definition; a
// non-unique index gets the hidden record number.
TInternalIndexDef* AddTableIndex(TTableDef& def, const std::string& indexName,
                                 const std::string& fieldNames, bool unique,
                                 bool caseInsensitive, TIndexKeyType kind = ikFixed);

// What a restructure changes besides the definition itself: the graded field and index change
// lists (either may be absent: no change) and new counter values where the flags say so.
struct TInternalRestructureRec {
    const TRestructureFieldDefs* FieldDefs = nullptr;
    const TRestructureIndexDefs* IndexDefs = nullptr;
    bool SetAutoIncValue = false;
    uint32_t AutoIncValue = 0;
    bool SetGenerator1 = false;
    uint32_t Generator1 = 0;
    bool SetGenerator2 = false;
    uint32_t Generator2 = 0;
};

class TBaseTableDefMgr : public TObject {
public:
    TBaseTableDefMgr();
    ~TBaseTableDefMgr() override;
    TBaseTableDefMgr(const TBaseTableDefMgr&) = delete;
    TBaseTableDefMgr& operator=(const TBaseTableDefMgr&) = delete;
    ZAN_CLASS(TBaseTableDefMgr)

    // The managed operations, in their slot order.
    virtual void InitializeIndexInterface(TTableDef& /*def*/) {}
    // Answers the new table's id (-1 here).
    virtual int32_t CreateTableDef(const std::string& /*name*/, TTableDef& /*def*/) { return -1; }
    virtual void CloseTableDefConnection(int32_t /*tableID*/) {}
    virtual void OpenTableDefConnection(const std::string& /*name*/, TTableDef& /*def*/) {}
    // Answers the deleted table's id (0 here).
    virtual int32_t DeleteTableDef(const std::string& /*name*/, TTableDef& /*def*/) { return 0; }
    virtual void RestructureTableDef(TTableDef& /*def*/, const TInternalRestructureRec& /*rec*/) {}
    virtual void Open() {}
    // Frees the master definitions.
    virtual void Close();

    // The first master whose name equals (case ignored), or -1.
    int32_t IndexOfTableName(const std::string& name) const;
    // Drops the master of that name when nothing has it open (one left by a create that was
    // rolled back, or of a table deleted elsewhere).
    void ForgetUnusedMaster(const std::string& name);
    // The master of that table id, or -1.
    int32_t IndexOfTableDef(int32_t tableID) const;
    // The master's user count; 0 when the table is not open.
    int32_t CheckTableUserCount(int32_t tableID) const;
    void GetCurrentTableNames(TStrings& list) const;
    int32_t MasterCount() const { return static_cast<int32_t>(FMasters.size()); }
    TTableDef* Masters(int32_t index) const {
        return FMasters.at(static_cast<size_t>(index)).get();
    }

    TTableHeaderMgr* GetHeaderMgr() const { return FHeaderMgr.get(); }
    void SetHeaderMgr(std::unique_ptr<TTableHeaderMgr> mgr) { FHeaderMgr = std::move(mgr); }
    bool GetSystemTableMgr() const { return FSystemTableMgr; }
    void SetSystemTableMgr(bool value) { FSystemTableMgr = value; }

protected:
    int32_t BaseTableID() const {
        return FSystemTableMgr ? C_SYSTEM_BASE_TABLE_ID : C_USER_BASE_TABLE_ID;
    }
    // A new master copied from def, kept in the list.
    TTableDef* AddMaster(const TTableDef& def);
    // Enters a new table of the kind (memory or disk) in the header map and adds its master;
    // def receives the table id and owner tag.
    TTableDef* CreateMaster(const std::string& name, TTableDef& def, bool memory,
                            const char* context);
    void RemoveMaster(TTableDef* master);
    // Closes the master's stores and header and removes it.
    void CloseAndRemoveMaster(TTableDef* master);
    // Wires def to the master's header and stores and opens it as a copy.
    static void WireCopy(TTableDef& def, TTableDef& master);
    // Common to both kinds: the master of def's table loses def's user and, when no other
    // user remains, is closed and removed; 8578 at context while others use it.
    void ReleaseMasterForDelete(TTableDef& def, const char* context);

    std::vector<std::unique_ptr<TTableDef>> FMasters;
    bool FSystemTableMgr = false;
    std::unique_ptr<TTableHeaderMgr> FHeaderMgr;
};

class TMemoryTableDefMgr : public TBaseTableDefMgr {
public:
    TMemoryTableDefMgr();
    ~TMemoryTableDefMgr() override;
    ZAN_CLASS(TMemoryTableDefMgr)

    void InitializeIndexInterface(TTableDef& def) override;
    int32_t CreateTableDef(const std::string& name, TTableDef& def) override;
    void CloseTableDefConnection(int32_t tableID) override;
    void OpenTableDefConnection(const std::string& name, TTableDef& def) override;
    int32_t DeleteTableDef(const std::string& name, TTableDef& def) override;
    void RestructureTableDef(TTableDef& def, const TInternalRestructureRec& rec) override;
    void Open() override;
    void Close() override;

    TMemoryIOInterface* GetHdrInterface() const { return FHdrInterface.get(); }

private:
    std::unique_ptr<TMemoryIOInterface> FHdrInterface;
};

class TDiskTableDefMgr : public TBaseTableDefMgr {
public:
    ZAN_CLASS(TDiskTableDefMgr)
    ~TDiskTableDefMgr() override;

    // The address of the table-header map in the database file.
    void SetBaseDefMgrAddress(uint32_t address) { FBaseDefMgrAddress = address; }
    uint32_t GetBaseDefMgrAddress() const { return FBaseDefMgrAddress; }
    // The block store of the table headers (not owned); gives the disk manager.
    void SetHdrDiskInterface(TBaseIOInterface* io) { FHdrDiskInterface = io; }
    TBaseIOInterface* GetHdrDiskInterface() const { return FHdrDiskInterface; }

    void InitializeIndexInterface(TTableDef& def) override;
    int32_t CreateTableDef(const std::string& name, TTableDef& def) override;
    void CloseTableDefConnection(int32_t tableID) override;
    void OpenTableDefConnection(const std::string& name, TTableDef& def) override;
    int32_t DeleteTableDef(const std::string& name, TTableDef& def) override;
    void RestructureTableDef(TTableDef& def, const TInternalRestructureRec& rec) override;
    void Open() override;
    void Close() override;

private:
    TDiskMgr* DiskMgr() const;
    // A temporary store of the table's index pages.
    std::unique_ptr<TDiskIOInterface> NewIndexStore(const TTableDef& def) const;

    uint32_t FBaseDefMgrAddress = 0;
    TBaseIOInterface* FHdrDiskInterface = nullptr;
};

} // namespace zan
