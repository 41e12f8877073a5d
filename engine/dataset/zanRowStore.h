// The engine's own row access to a table, built straight on the storage units: used for the
// master tables, the object references and the generators until cursors exist.
//
// A row store opens a table the way a cursor does (its definition copy wired to the manager's
// master, its indexes and blob chains) and offers keyed find, read, insert, update, delete,
// key-order scans and blob text. On a database file every access runs under the table lock
// (write lock for changes, read lock for reads) and the database header lock, and re-reads the
// table header and index roots when it takes them, so changes of other connections show; a
// change writes the table header back before the locks go. Insert, Update and Delete are the
// only functions that write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanIndexUnit.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "engine/storage/zanTableMgrUnit.h"

namespace zan {

// One record of a table: the bytes of its layout.
using TZanRow = std::vector<uint8_t>;

class TZanRowStore {
public:
    // Opens the table through its manager (disk null: a memory table, no locks).
    TZanRowStore(TBaseTableDefMgr& mgr, TDiskMgr* disk, const std::string& name,
                 const TTableDef& stored);
    virtual ~TZanRowStore();
    TZanRowStore(const TZanRowStore&) = delete;
    TZanRowStore& operator=(const TZanRowStore&) = delete;

    const TTableDef& Def() const { return FDef; }
    uint16_t TableID() const { return static_cast<uint16_t>(FDef.GetTableID()); }
    // The layout field of that name; 8579 when the table has none.
    const TInternalFieldItem& Field(const std::string& name) const;
    // An empty record of the layout (every field NULL).
    TZanRow NewRow() const;

    // Runs f under the read lock (write: the write lock) with the table state re-read. Nested
    // calls share the outer lock (a write inside a read-only scope is refused).
    void WithLock(bool write, const std::function<void()>& f);

    // The address of the record whose key in the index equals the key fields of row; 0 when
    // there is none.
    uint32_t Find(const std::string& indexName, const TZanRow& key);
    // Reads the record at an address found through an index.
    TZanRow Read(uint32_t address);
    // Adds the record: in-use flag, owner tag, logical number and autoincrement values are
    // filled in. An equal key in a unique index raises 9729 and changes nothing.
    uint32_t Insert(TZanRow& row);
    // Replaces the record at the address by row (keys moved; same prefix). An equal key of
    // another record in a unique index raises 9729 and changes nothing.
    void Update(uint32_t address, const TZanRow& row);
    // Removes the record at the address with its keys and blobs.
    void Delete(uint32_t address);
    // Every record in the index's key order until f answers false.
    void Scan(const std::string& indexName,
              const std::function<bool(uint32_t address, const TZanRow& row)>& f);

    // The text of a blob field of a record read from this table.
    std::string ReadBlobText(const TZanRow& row, const std::string& field);
    // Sets a blob field of a record that Insert or Update will write: the text goes into a new
    // chain now (an Update frees the record's old chain; a failed write frees the new one).
    void SetBlobText(TZanRow& row, const std::string& field, const std::string& text);

protected:
    // The stores take their free-chain heads from the table header, and give them back.
    void LoadFreeHeads();
    void StoreFreeHeads();
    // Fills the record prefix of a new record: in-use flag, owner tag, next logical number.
    void NewRecordPrefix(uint8_t* rec);

    TBaseTableDefMgr& FMgr;
    TTableDef FDef;
    TIndexManager FIndexes;
    TBlobInterface FBlob;

private:
    void OpenStores();
    void Acquire(bool write);
    void Release(bool write) noexcept(false);
    void RequireWrite(const char* context) const;
    TIndexItem& Index(const std::string& name) const;
    // Removes the keys of row at address from the first count indexes.
    void RemoveKeys(const TZanRow& row, uint32_t address, int count);
    // Adds the keys of row at address; on an equal key removes those added and raises 9729.
    void InsertKeys(const TZanRow& row, uint32_t address, const char* context);
    void FreeNewBlobs(const TZanRow& row) noexcept;
    void FreeBlobs(const TZanRow& row);

    TDiskMgr* FDisk;
    int FLockDepth = 0;
    bool FWriteLocked = false;
    bool FHeaderLockTaken = false;
    bool FTableLockTaken = false;
    // Blob chains written by SetBlobText and not yet in a stored record: field index, head.
    std::vector<std::pair<int32_t, uint32_t>> FNewBlobs;
};

} // namespace zan
