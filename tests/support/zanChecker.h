// Consistency checker of a database file and of memory tables, and a database opened the way the
// database component opens it (disk manager, both header stores, both table-definition managers).
//
// The checker reads everything and changes nothing. It answers every problem found as one line
// of text; an empty answer means the file is consistent.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "engine/storage/zanTableMgrUnit.h"

namespace zan {

// Checks the whole file:
//  - the page map (numbering, links, free chains) and that every page of the file has an entry;
//  - both table-header maps: packed pairs, ids in their range and unique, each header block in a
//    header page with its id and size;
//  - the header stores: every 256-byte slot of a header page is either a listed header or in a
//    free run of the user or system chain, exactly once;
//  - every used page's owner is a table of a header map, with a known usage;
//  - for each table given (defs, by TableID): every index tree (order, counts, sibling links,
//    depth) with pages exactly the table's index pages; every leaf entry a live record; every
//    record block either live or in the record free runs, exactly once; every blob chain of a
//    live record well formed and as long as the record says, blob blocks either in a chain or in
//    the blob free runs, exactly once.
// Takes the header read lock for the check unless a header lock is held.
std::vector<std::string> CheckDatabase(TDiskMgr& disk, const std::vector<const TTableDef*>& defs);

// The same table checks on an open memory table (an active master or a copy wired to it):
// trees, leaf entries against live records, blob chains against record lengths.
std::vector<std::string> CheckMemoryTable(const TTableDef& def);

// The problems as one text, one per line (for test failure messages).
std::string ProblemText(const std::vector<std::string>& problems);

// A sample layout for tests: Id (ftInteger), Name (ftString, 31), Note (ftMemo); the indexes
// "ById" (unique, on Id) and "ByName" (on Name, ikMinStringLen, with the hidden record number).
void BuildSampleTableDef(TTableDef& def, TEncryptionLevel level = encNone, bool memory = false);

// A database file with its system and user header stores and table-definition managers.
class TTestDatabase {
public:
    explicit TTestDatabase(std::string path) : FPath(std::move(path)) {}
    ~TTestDatabase();
    TTestDatabase(const TTestDatabase&) = delete;
    TTestDatabase& operator=(const TTestDatabase&) = delete;

    // A new, empty file (replacing one that exists).
    void Create();
    // Opens the file shared (deny none) with short lock retries, or exclusively.
    void Open(bool exclusive = false);
    void Close();

    const std::string& Path() const { return FPath; }
    TDiskMgr& Disk() { return *FDisk; }
    TDiskTableDefMgr& UserTables() { return *FTables->UserTables; }
    TDiskTableDefMgr& SystemTables() { return *FTables->SystemTables; }

private:
    std::string FPath;
    std::unique_ptr<TDiskMgr> FDisk;
    std::unique_ptr<TZanDiskTables> FTables;
};

} // namespace zan
