#include "support/zanChecker.h"

#include "support/zanOpenTable.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "engine/storage/zanBTreeUnit.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanIndexUnit.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr uint32_t C_HEADER_BLOCK = 256;

class TProblems {
public:
    void Add(std::string line) { Lines.push_back(std::move(line)); }
    // Runs f; an exception becomes a problem line. Answers whether f ran through.
    bool Try(const std::string& what, const std::function<void()>& f) {
        try {
            f();
            return true;
        } catch (const std::exception& e) {
            Add(what + ": " + e.what());
            return false;
        }
    }
    std::vector<std::string> Lines;
};

std::string Addr(uint64_t address) {
    return Format("%d", {int64_t(address)});
}

// The stores and stored heads of one table, disk or memory.
struct TTableView {
    const TTableDef* Def = nullptr;
    TBaseIOInterface* Index = nullptr;
    TBaseIOInterface* Records = nullptr;
    TBaseIOInterface* Blobs = nullptr;
    bool Disk = false;
    // Disk: the free-run heads and every block of the record and blob areas.
    uint32_t RecordFirstEmpty = 0;
    uint32_t BlobFirstEmpty = 0;
    std::vector<uint32_t> RecordBlocks;
    std::vector<uint32_t> BlobBlocks;
    // Every index page of the table (disk: pages the map gives the table's index usage).
    std::set<uint32_t> IndexPages;
    // Root and depth per header slot.
    std::vector<std::pair<uint32_t, uint32_t>> Roots;
    std::string Name() const { return Format("table %d", {Def->GetTableID()}); }
};

// Walks the free runs from head over an area of fixed blocks: each run's first block has bytes
// 0-7 zero, the next run at 8 and its block count at 12; the other blocks start with 16 zeros.
// Marks the blocks in free; blocks outside the area, taken twice, or runs in a cycle are problems.
void WalkFreeRuns(TProblems& p, const std::string& what, TBaseIOInterface& io, uint32_t head,
                  uint32_t blockSize, const std::set<uint32_t>& area, std::set<uint32_t>& free) {
    std::vector<uint8_t> block(std::max<uint32_t>(blockSize, 16));
    size_t runs = 0;
    for (uint32_t run = head; run != 0;) {
        if (++runs > area.size() + 1) {
            p.Add(what + ": free runs form a cycle");
            return;
        }
        if (area.count(run) == 0) {
            p.Add(what + ": free run at " + Addr(run) + " is not a block of the area");
            return;
        }
        io.ReadBlock(run, blockSize, block.data());
        if (GetLE32(block.data()) != 0 || GetLE32(block.data() + 4) != 0)
            p.Add(what + ": free run at " + Addr(run) + " has a non-zero start");
        const uint32_t next = GetLE32(block.data() + 8);
        const uint32_t count = GetLE32(block.data() + 12);
        if (count == 0 || count > area.size()) {
            p.Add(what + ": free run at " + Addr(run) + " counts " + Addr(count) + " blocks");
            return;
        }
        for (uint32_t k = 0; k < count; ++k) {
            const uint64_t a = uint64_t(run) + uint64_t(k) * blockSize;
            if (area.count(static_cast<uint32_t>(a)) == 0) {
                p.Add(what + ": free run at " + Addr(run) + " runs out of the area at " + Addr(a));
                break;
            }
            if (!free.insert(static_cast<uint32_t>(a)).second)
                p.Add(what + ": block " + Addr(a) + " is in the free runs twice");
            if (k > 0) {
                io.ReadBlock(static_cast<uint32_t>(a), blockSize, block.data());
                if (std::any_of(block.begin(), block.begin() + 16, [](uint8_t b) { return b; }))
                    p.Add(what + ": free block " + Addr(a) + " does not start with zeros");
            }
        }
        run = next;
    }
}

TZanCompareFunc CompareFor(const TTableDef& def) {
    return def.GetSortOrder() == soASCII ? DBASCIICompareStrings : DBANSICompareStrings;
}

// The record addresses of a tree's leaves in key order.
std::vector<uint32_t> LeafAddresses(TBaseIOInterface& io, const TInternalIndexDef& index,
                                    uint32_t root, uint32_t depth, size_t pageLimit) {
    const uint32_t pageSize = index.GetIndexPageSize();
    std::vector<uint8_t> page(pageSize);
    uint32_t address = root;
    for (uint32_t level = 1; level < depth; ++level) {
        io.ReadBlock(address, pageSize, page.data());
        if (GetLE32(page.data()) != 0 || GetLE32(page.data() + 4) == 0)
            throw Exception("internal page " + Addr(address) + " is a leaf or empty");
        address = GetLE32(page.data() + C_NODEHEADERSIZE + C_KEYADDROFS);
    }
    std::vector<uint32_t> out;
    size_t pages = 0;
    while (address != 0) {
        if (++pages > pageLimit) throw Exception("leaf chain longer than the tree");
        io.ReadBlock(address, pageSize, page.data());
        const int32_t used = static_cast<int32_t>(GetLE32(page.data() + 4));
        for (int32_t pos = 0; pos < used;) {
            const uint8_t* entry = page.data() + C_NODEHEADERSIZE + pos;
            const int32_t len =
                index.GetIndexKeyType() == ikFixed ? index.GetMaximumKeySize() : KeyLength(entry);
            if (len <= 0) throw Exception("empty entry in leaf " + Addr(address));
            out.push_back(KeyAddress(entry));
            pos += len;
        }
        address = GetLE32(page.data() + 8);
    }
    return out;
}

void CheckTable(TProblems& p, TTableView& t) {
    const TTableDef& def = *t.Def;
    const std::string name = t.Name();
    const uint32_t recordSize = static_cast<uint32_t>(def.GetRecordSize());
    const uint32_t blobSize = static_cast<uint32_t>(def.GetDefaultBlobSize());
    const uint32_t ownerTag = static_cast<uint32_t>(def.GetTableID()) * 16 + C_USAGE_RECORDS;
    TInternalFields fields;
    fields.Assign(*def.GetInternalFields());
    fields.SetRecordSize(def.GetRecordSize());

    // Records: live ones, free runs, nothing else.
    std::set<uint32_t> recordArea(t.RecordBlocks.begin(), t.RecordBlocks.end());
    std::set<uint32_t> recordFree;
    if (t.Disk)
        p.Try(name + " record free runs", [&] {
            WalkFreeRuns(p, name + " records", *t.Records, t.RecordFirstEmpty, recordSize,
                         recordArea, recordFree);
        });
    std::map<uint32_t, std::vector<uint8_t>> live;
    for (uint32_t a : t.RecordBlocks) {
        std::vector<uint8_t> rec(recordSize);
        if (!p.Try(name + " record " + Addr(a),
                   [&] { t.Records->ReadBlock(a, recordSize, rec.data()); }))
            continue;
        const bool inUse = rec[C_REC_INUSE_OFFSET] == 1;
        if (inUse && recordFree.count(a))
            p.Add(name + ": record " + Addr(a) + " is live and in the free runs");
        else if (inUse)
            live.emplace(a, std::move(rec));
        else if (!recordFree.count(a))
            p.Add(name + ": record block " + Addr(a) + " is neither live nor free");
    }
    for (auto& [a, rec] : live)
        if (GetLE32(rec.data() + C_REC_OWNER_OFFSET) != ownerTag)
            p.Add(name + ": record " + Addr(a) + " carries a wrong owner tag");

    // Blobs: every chain of a live record, then the free runs; nothing else.
    std::set<uint32_t> blobArea(t.BlobBlocks.begin(), t.BlobBlocks.end());
    std::set<uint32_t> chained;
    std::vector<uint8_t> block(blobSize);
    for (auto& [a, rec] : live) {
        for (int i = 0; i < fields.Count(); ++i) {
            const TInternalFieldItem& f = *fields.Items(i);
            if (!IsBlobFieldType(f.GetDataType())) continue;
            uint32_t head = 0, length = 0;
            RecordGetBlobRef(rec.data(), f, head, length);
            const std::string what = name + " record " + Addr(a) + " blob " + f.GetFieldName();
            if ((length == 0) != (head == 0) || (length == 0) != RecordFieldIsNull(rec.data(), f)) {
                p.Add(what + ": head, length and null flag disagree");
                continue;
            }
            uint64_t total = 0;
            p.Try(what, [&] {
                for (uint32_t b = head; b != 0;) {
                    const bool inArea =
                        t.Disk ? blobArea.count(b) != 0 : t.Blobs->CheckBlockAddressValid(b);
                    if (!inArea) throw Exception("block " + Addr(b) + " is not a blob block");
                    if (!chained.insert(b).second)
                        throw Exception("block " + Addr(b) + " is used twice");
                    t.Blobs->ReadBlock(b, blobSize, block.data());
                    const uint32_t next = GetLE32(block.data());
                    const uint32_t count = GetLE32(block.data() + 4);
                    if (count > blobSize - 8 || (next != 0 && count != blobSize - 8))
                        throw Exception("block " + Addr(b) + " holds " + Addr(count) + " bytes");
                    total += count;
                    b = next;
                }
                if (total != length)
                    throw Exception("chain holds " + Addr(total) + " bytes, the record says " +
                                    Addr(length));
            });
        }
    }
    if (t.Disk) {
        std::set<uint32_t> blobFree;
        p.Try(name + " blob free runs", [&] {
            WalkFreeRuns(p, name + " blobs", *t.Blobs, t.BlobFirstEmpty, blobSize, blobArea,
                         blobFree);
        });
        for (uint32_t b : t.BlobBlocks) {
            const bool c = chained.count(b) != 0, f = blobFree.count(b) != 0;
            if (c && f) p.Add(name + ": blob block " + Addr(b) + " is chained and free");
            if (!c && !f) p.Add(name + ": blob block " + Addr(b) + " is neither chained nor free");
        }
    } else {
        std::vector<uint32_t> all;
        t.Blobs->ListBlocks(all);
        for (uint32_t b : all)
            if (!chained.count(b)) p.Add(name + ": blob block " + Addr(b) + " is in no chain");
    }

    // Index trees: invariants, pages exactly the table's index pages, one entry per live record.
    std::set<uint32_t> treePages;
    const TInternalIndexDefs& indexes = *def.GetInternalIndexDefs();
    for (int i = 0; i < indexes.Count(); ++i) {
        const TInternalIndexDef& index = *indexes.Items(i);
        const std::string what = name + " index " + index.GetIndexName();
        const size_t slot = static_cast<size_t>(index.GetIndexSequence());
        if (slot >= t.Roots.size()) {
            p.Add(what + ": no header slot " + Addr(slot));
            continue;
        }
        uint32_t root = t.Roots[slot].first, depth = t.Roots[slot].second;
        if (root == 0 || depth == 0) {
            p.Add(what + ": no root");
            continue;
        }
        TKeyFields keys;
        for (int k = 0; k < def.GetKeyFields()->Count(); ++k) {
            const TKeyFieldItem* key = def.GetKeyFields()->Items(k);
            if (SameText(key->GetIndexName(), index.GetIndexName())) keys.Add()->Assign(*key);
        }
        keys.SetDataOffset(index.GetKeyDataOffset());
        std::vector<uint32_t> pages;
        p.Try(what, [&] {
            TBTree tree;
            tree.SetKeyFields(keys);
            tree.SetMaximumKeySize(index.GetMaximumKeySize());
            tree.SetIndexKeyType(index.GetIndexKeyType());
            tree.SetDBStringCompare(CompareFor(def));
            tree.ConnectToIFace(t.Index, index.GetIndexPageSize(), &root, &depth);
            tree.Open();
            tree.CheckTree(&pages);
            const uint32_t count = tree.GetRecordCount(true);
            tree.Close();
            for (uint32_t page : pages)
                if (!treePages.insert(page).second)
                    p.Add(what + ": page " + Addr(page) + " belongs to two trees");
            std::vector<uint32_t> leaves =
                LeafAddresses(*t.Index, index, root, depth, pages.size());
            if (leaves.size() != count)
                p.Add(what + ": the root counts " + Addr(count) + " records, the leaves hold " +
                      Addr(leaves.size()));
            std::set<uint32_t> seen;
            for (uint32_t a : leaves) {
                if (!live.count(a)) p.Add(what + ": entry for " + Addr(a) + " is no live record");
                if (!seen.insert(a).second) p.Add(what + ": record " + Addr(a) + " twice");
            }
            if (seen.size() != live.size())
                p.Add(what + ": " + Addr(live.size()) + " live records, " + Addr(seen.size()) +
                      " in the index");
        });
    }
    for (uint32_t page : t.IndexPages)
        if (!treePages.count(page)) p.Add(name + ": index page " + Addr(page) + " is in no tree");
    for (uint32_t page : treePages)
        if (!t.IndexPages.count(page))
            p.Add(name + ": tree page " + Addr(page) + " is not an index page of the table");
}

// A block store of the table in the database file, as the table's master builds it.
std::unique_ptr<TDiskIOInterface> DiskStore(TDiskMgr& disk, const TTableDef& def, uint16_t usage,
                                            uint32_t blockSize) {
    auto io = std::make_unique<TDiskIOInterface>();
    io->SetDiskMgr(&disk);
    io->SetTableID(static_cast<uint16_t>(def.GetTableID()));
    io->SetUsage(usage);
    io->SetBlockSize(blockSize);
    io->SetAccessFlags(def.GetAccessFlags());
    if (usage == C_USAGE_INDEX) io->SetGlobalFirstEmptyOffset(C_GLOBAL_FE_INDEXES);
    io->Open();
    return io;
}

struct THeaderMapInfo {
    uint32_t Address;
    uint32_t BaseId;
    const char* Name;
};

void CheckWholeFile(TProblems& p, TDiskMgr& disk, const std::vector<const TTableDef*>& defs) {
    const uint32_t P = disk.GetPageSize();
    for (const std::string& line : disk.DebugCheckMap())
        p.Add("map: " + line);
    TMapPageMgr& map = *disk.GetMapPageMgr();
    TGlobalHdr& global = *disk.GetGlobalHdr();
    const uint64_t eof = disk.GetZanFile()->SeekZanEof();
    if (eof % P != 0) p.Add("file end " + Addr(eof) + " is not on a page border");
    const uint64_t pageCount = eof / P;

    // The map entry of every page.
    std::vector<uint16_t> entries(pageCount, 0);
    std::set<uint32_t> headerPages;
    std::map<uint32_t, std::map<uint32_t, std::vector<uint32_t>>> owned; // id -> usage -> pages
    for (uint64_t page = 0; page < pageCount; ++page) {
        const uint32_t a = static_cast<uint32_t>(page * P);
        uint16_t e = 0;
        if (!p.Try("map entry of page " + Addr(page), [&] { e = map.GetMapEntry(a); })) continue;
        entries[page] = e;
        if (page < 5) {
            if (e != ZanMapReserved) p.Add("reserved page " + Addr(page) + " has entry " + Addr(e));
        } else if (e == 0) {
            p.Add("page " + Addr(page) + " of the file has no map entry");
        } else if ((e & ZanMapFree) != 0 || e == ZanMapMapPage) {
            // free, or a map page (checked with the map)
        } else if (e == ZanMapReserved) {
            headerPages.insert(a);
        } else if (const uint32_t usage = e & 15u;
                   usage != C_USAGE_INDEX && usage != C_USAGE_RECORDS && usage != C_USAGE_BLOBS) {
            p.Add("page " + Addr(page) + " has an unknown usage in entry " + Addr(e));
        } else {
            owned[e >> 4][usage].push_back(a);
        }
    }
    if (pageCount > 5 && entries[5] != ZanMapMapPage) p.Add("page 5 is not the first map page");

    // Both header maps, their headers and the header stores.
    std::set<uint32_t> tableIds;
    std::set<uint32_t> headerBlocks;
    std::map<uint32_t, std::vector<uint8_t>> headers;
    const THeaderMapInfo maps[] = {{P, C_SYSTEM_BASE_TABLE_ID, "system"},
                                   {3 * P, C_USER_BASE_TABLE_ID, "user"}};
    for (const THeaderMapInfo& m : maps) {
        std::vector<uint8_t> pairs(C_HEADER_MAP_SIZE);
        if (!p.Try(std::string(m.Name) + " header map",
                   [&] { disk.ReadCustomSize(m.Address, C_HEADER_MAP_SIZE, pairs.data(), 0, 0); }))
            continue;
        bool ended = false;
        for (int k = 0; k < C_HEADER_MAP_PAIRS; ++k) {
            const uint32_t id = GetLE32(pairs.data() + 8 * k);
            const uint32_t address = GetLE32(pairs.data() + 8 * k + 4);
            const std::string what = std::string(m.Name) + " header map pair " + Addr(k);
            if (id == 0) {
                if (address != 0) p.Add(what + ": address without id");
                ended = true;
                continue;
            }
            if (ended) p.Add(what + ": follows the end of the list");
            if (id < m.BaseId || id >= m.BaseId + C_HEADER_MAP_PAIRS)
                p.Add(what + ": id " + Addr(id) + " is out of range");
            if (!tableIds.insert(id).second) p.Add(what + ": id " + Addr(id) + " twice");
            if (address % C_HEADER_BLOCK != 0 || !headerPages.count(address / P * P)) {
                p.Add(what + ": header " + Addr(address) + " is not in a header page");
                continue;
            }
            if (!headerBlocks.insert(address).second)
                p.Add(what + ": header " + Addr(address) + " is listed twice");
            std::vector<uint8_t> h(C_HEADER_BLOCK);
            if (!p.Try(what, [&] { disk.ReadCustomSize(address, C_HEADER_BLOCK, h.data(), 0, 0); }))
                continue;
            if (GetLE32(h.data()) != id) p.Add(what + ": the header names another table id");
            if (GetLE32(h.data() + 8) != C_HEADER_BLOCK) p.Add(what + ": header size is wrong");
            headers[id] = std::move(h);
        }
    }
    std::set<uint32_t> headerArea;
    for (uint32_t page : headerPages)
        for (uint32_t a = page; a < page + P; a += C_HEADER_BLOCK)
            headerArea.insert(a);
    std::set<uint32_t> headerFree;
    {
        TDiskIOInterface raw;
        raw.SetDiskMgr(&disk);
        raw.SetUsage(C_USAGE_HEADERS);
        raw.SetBlockSize(C_HEADER_BLOCK);
        raw.SetAccessFlags(0);
        raw.Open();
        for (uint32_t offset : {C_GLOBAL_FE_USER_HEADERS, C_GLOBAL_FE_SYSTEM_HEADERS})
            p.Try("header free runs", [&] {
                WalkFreeRuns(p, "header store " + Addr(offset), raw,
                             global.GlobalInterfaceGetHdrItem(int32_t(offset)), C_HEADER_BLOCK,
                             headerArea, headerFree);
            });
    }
    for (uint32_t a : headerArea) {
        const bool used = headerBlocks.count(a) != 0, free = headerFree.count(a) != 0;
        if (used && free) p.Add("header block " + Addr(a) + " is listed and free");
        if (!used && !free) p.Add("header block " + Addr(a) + " is neither listed nor free");
    }
    if (global.GetIndexesFirstEmpty() != 0) p.Add("the shared index free chain is not empty");

    for (const auto& [id, usages] : owned)
        if (!tableIds.count(id))
            p.Add("pages of table " + Addr(id) + ", which no header map lists");

    // The tables given.
    for (const TTableDef* def : defs) {
        const uint32_t id = static_cast<uint32_t>(def->GetTableID());
        auto h = headers.find(id);
        if (h == headers.end()) {
            p.Add(Format("table %d (%s) has no header", {def->GetTableID(), def->GetTableName()}));
            continue;
        }
        TTableView t;
        t.Def = def;
        t.Disk = true;
        const uint8_t* hb = h->second.data();
        t.RecordFirstEmpty = GetLE32(hb + 12);
        t.BlobFirstEmpty = GetLE32(hb + 24);
        const uint32_t indexCount = std::min<uint32_t>(GetLE32(hb + 36), 34);
        for (uint32_t i = 0; i < indexCount; ++i)
            t.Roots.emplace_back(GetLE32(hb + 48 + 6 * i), GetLE16(hb + 52 + 6 * i));
        const uint32_t indexPageSize =
            def->GetInternalIndexDefs()->Count() > 0
                ? def->GetInternalIndexDefs()->Items(0)->GetIndexPageSize()
                : C_DEFAULT_INDEX_PAGE_SIZE;
        if (!p.Try(t.Name(), [&] {
                // The connection's cached pages of a table are current only once it has read
                // the table's header under a lock and found it unchanged; the header here is
                // read raw, so another connection's changes may not have evicted them yet.
                // The check reads what the file holds (a transaction's dirty pages stay).
                disk.GetZanFile()->GetPageCache().ClearOwnedPages(id);
                auto index = DiskStore(disk, *def, C_USAGE_INDEX, indexPageSize);
                auto records = DiskStore(disk, *def, C_USAGE_RECORDS,
                                         static_cast<uint32_t>(def->GetRecordSize()));
                auto blobs = DiskStore(disk, *def, C_USAGE_BLOBS,
                                       static_cast<uint32_t>(def->GetDefaultBlobSize()));
                t.Index = index.get();
                t.Records = records.get();
                t.Blobs = blobs.get();
                disk.ListAllocatedFixedBlocks(static_cast<uint32_t>(def->GetRecordSize()), id,
                                              C_USAGE_RECORDS, t.RecordBlocks);
                disk.ListAllocatedFixedBlocks(static_cast<uint32_t>(def->GetDefaultBlobSize()), id,
                                              C_USAGE_BLOBS, t.BlobBlocks);
                for (uint32_t page : owned[id][C_USAGE_INDEX])
                    t.IndexPages.insert(page);
                CheckTable(p, t);
            }))
            continue;
    }
}

} // namespace

std::vector<std::string> CheckDatabase(TDiskMgr& disk, const std::vector<const TTableDef*>& defs) {
    TProblems p;
    const bool held = disk.GetHeaderReadLocked() || disk.GetHeaderWriteLocked();
    if (!p.Try("header read lock", [&] {
            if (!held) disk.SetHeaderReadLock();
        }))
        return p.Lines;
    p.Try("database", [&] { CheckWholeFile(p, disk, defs); });
    if (!held) p.Try("header lock release", [&] { disk.ReleaseHeaderLock(); });
    return p.Lines;
}

std::vector<std::string> CheckMemoryTable(const TTableDef& def) {
    TProblems p;
    TTableView t;
    t.Def = &def;
    t.Index = def.GetIndexInterface();
    t.Records = def.GetRecordInterface();
    t.Blobs = def.GetBlobInterface();
    TTableHeader* header = def.GetTableHeader();
    if (!t.Index || !t.Records || !t.Blobs || !header) {
        p.Add(t.Name() + ": the table is not open");
        return p.Lines;
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(header->GetIndexCount(), 34); ++i)
        t.Roots.emplace_back(header->GetIndexRoot(int32_t(i)), header->GetIndexDepth(int32_t(i)));
    t.Records->ListBlocks(t.RecordBlocks);
    std::vector<uint32_t> indexBlocks;
    t.Index->ListBlocks(indexBlocks);
    t.IndexPages.insert(indexBlocks.begin(), indexBlocks.end());
    p.Try(t.Name(), [&] { CheckTable(p, t); });
    return p.Lines;
}

std::string ProblemText(const std::vector<std::string>& problems) {
    std::string out;
    for (const std::string& line : problems)
        out += line + "\n";
    return out;
}

void BuildSampleTableDef(TTableDef& def, TEncryptionLevel level, bool memory) {
    def.Clear();
    def.SetEncryptionLevel(level);
    def.SetEncrypted(level != encNone);
    def.SetMemory(memory);
    TInternalFieldItem* id = AddTableField(def, "Id", ftInteger);
    TInternalFieldItem* name = AddTableField(def, "Name", ftString, 31);
    AddTableField(def, "Note", ftMemo);
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
    def.SetUsesBlobs(true);
    AddTableIndex(def, "ById", *id, true, ikFixed);
    AddTableIndex(def, "ByName", *name, false, ikMinStringLen);
}

// ---------------------------------------------------------------------------------------------

TTestDatabase::~TTestDatabase() {
    try {
        Close();
    } catch (const std::exception&) {
        // A test that failed half-way leaves what it left; the file is removed by its owner.
    }
}

void TTestDatabase::Create() {
    TDiskMgr disk;
    disk.SetFileName(FPath);
    disk.CreateNewFile(true);
}

void TTestDatabase::Open(bool exclusive) {
    Close();
    FDisk = std::make_unique<TDiskMgr>();
    FDisk->SetFileName(FPath);
    FDisk->SetOpenFlags(exclusive ? 0x12 : 0x42);
    FDisk->SetLockRetryCount(200);
    FDisk->SetLockRetryInterval(5);
    FDisk->Open();
    FTables = std::make_unique<TZanDiskTables>(*FDisk);
    FTables->Open();
}

void TTestDatabase::Close() {
    if (FTables) FTables->Close();
    FTables.reset();
    if (FDisk) FDisk->Close();
    FDisk.reset();
}

} // namespace zan
