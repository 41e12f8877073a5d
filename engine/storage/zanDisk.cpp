#include "engine/storage/zanDisk.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/Format.h"
#include "host/rtl/Random.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinFiles.h"
#include "host/win/WinSys.h"

namespace {

uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

[[noreturn]] void MapCorrupt(const char* context, const char* text) {
    ZanDatabaseError(8581, context, text);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TGlobalHdr

void TGlobalHdr::Initialize(uint32_t size, uint32_t address) {
    if (size == 0)
        ZanDatabaseError(8581, "TGlobalHdr.Initialize", "Unable to initialize header - size not set");
    FData.assign(size, 0);
    FAddress = address;
    FDirty = false;
    FValid = false;
}

uint32_t TGlobalHdr::Get(int32_t offset) const { return GetU32(FData.data() + offset); }

void TGlobalHdr::Set(int32_t offset, uint32_t value) {
    if (Get(offset) == value) return;
    PutU32(FData.data() + offset, value);
    FDirty = true;
}

uint32_t TGlobalHdr::GlobalInterfaceGetHdrItem(int32_t offset) const {
    if (offset < 1 || uint64_t(offset) + 4 > FData.size())
        ZanDatabaseError(8581, "TGlobalHdr.GlobalInterfaceGetHdrItem",
                         "DB Header. Item offset is out of range");
    return Get(offset);
}

void TGlobalHdr::GlobalInterfaceSetHdrItem(int32_t offset, uint32_t value) {
    if (offset < 1 || uint64_t(offset) + 4 > FData.size())
        ZanDatabaseError(8581, "TGlobalHdr.GlobalInterfaceSetHdrItem",
                         "DB Header. Item offset is out of range");
    Set(offset, value);
}

// ---------------------------------------------------------------------------------------------
// TSecurityHeader

void TSecurityHeader::ToBytes(uint8_t out[Size]) const {
    std::memset(out, 0, Size);
    PutU32(out, RecordSize);
    std::memcpy(out + 4, &WriteTime, 8); // little-endian IEEE double
    PutU16(out + 12, Word1);
    PutU16(out + 14, Word2);
    std::memcpy(out + 16, Digest, 20);
    PutU32(out + 36, CRC);
}

void TSecurityHeader::FromBytes(const uint8_t in[Size]) {
    RecordSize = GetU32(in);
    std::memcpy(&WriteTime, in + 4, 8);
    Word1 = GetU16(in + 12);
    Word2 = GetU16(in + 14);
    std::memcpy(Digest, in + 16, 20);
    CRC = GetU32(in + 36);
}

uint32_t TSecurityHeader::CalcCRC() const {
    uint8_t bytes[Size];
    ToBytes(bytes);
    PutU32(bytes + 36, 0);
    return ::CalcCRC(bytes, Size);
}

// ---------------------------------------------------------------------------------------------
// TMapPageMgr

TMapPageMgr::TMapPageMgr(TZanFile* file, TGlobalHdr* header, uint32_t pageSize)
    : FEntriesPerPage((pageSize - HeaderSize) / 2), FPageShift(0), FPageSize(pageSize),
      FBuffer(pageSize, 0), FFile(file), FHeader(header) {
    for (uint32_t size = pageSize / 2; size > 0; size /= 2) ++FPageShift;
}

uint16_t TMapPageMgr::Entry(uint32_t index) const {
    return GetU16(FBuffer.data() + HeaderSize + 2 * index);
}

void TMapPageMgr::SetEntry(uint32_t index, uint16_t value) {
    PutU16(FBuffer.data() + HeaderSize + 2 * index, value);
}

uint16_t TMapPageMgr::Head() const { return GetU16(FBuffer.data() + 8); }

void TMapPageMgr::SetHead(uint16_t offset) { PutU16(FBuffer.data() + 8, offset); }

uint32_t TMapPageMgr::CurrentMapPageID() const { return GetU32(FBuffer.data()); }

uint32_t TMapPageMgr::NextMapPage() const { return GetU32(FBuffer.data() + 4); }

void TMapPageMgr::CheckMapPageAddress(uint32_t address, const char* context) const {
    if (address == 0 || (address & (FPageSize - 1)) != 0 || address < 5 * FPageSize ||
        uint64_t(address) + FPageSize > FFile->SeekZanEof())
        MapCorrupt(context, "Map Page address invalid");
}

void TMapPageMgr::CheckHeader() const {
    const uint64_t pages = FFile->SeekZanEof() >> FPageShift;
    const uint32_t count = FHeader->GetMapPageCount();
    if (count == 0 || count > pages) MapCorrupt("TMapPageMgr.CheckHeader", "Map Page pageno invalid");
    CheckMapPageAddress(FHeader->GetFirstMapPage(), "TMapPageMgr.CheckHeader");
}

void TMapPageMgr::LoadMapPage(uint32_t address, int64_t expected) {
    CheckMapPageAddress(address, "TMapPageMgr.LoadMapPage");
    // Map pages are read raw every time: another connection or a rollback may have changed
    // them since the last use.
    FBufferAddress = 0;
    FFile->ReadThroughZanFile(FBuffer.data(), address, FPageSize);
    const uint32_t number = CurrentMapPageID();
    if ((expected >= 0 && number != expected) || number >= FHeader->GetMapPageCount())
        MapCorrupt("TMapPageMgr.LoadMapPage", "Map Page pageno invalid");
    FBufferAddress = address;
}

void TMapPageMgr::WriteMapPage() {
    ZanAssert(FBufferAddress != 0, "Map page written without being loaded");
    FFile->WriteThroughZanFile(FBuffer.data(), FBufferAddress, FPageSize);
}

std::vector<uint32_t> TMapPageMgr::ChainIndexes() const {
    std::vector<uint32_t> indexes;
    uint32_t offset = Head();
    uint32_t previous = 0;
    while (offset != 0) {
        // Offsets must name an entry, and the chain ascends (which also rules out cycles).
        if (offset < HeaderSize || offset > FPageSize - 2 || (offset & 1) != 0 ||
            offset <= previous ||
            (offset - HeaderSize) / 2 >= FEntriesPerPage)
            MapCorrupt("TMapPageMgr.FindEmptyPagesInMap", "Empty segment found is invalid");
        const uint32_t index = (offset - HeaderSize) / 2;
        const uint16_t value = Entry(index);
        if ((value & ZanMapFree) == 0)
            MapCorrupt("TMapPageMgr.FindEmptyPagesInMap", "Empty segment found is invalid");
        indexes.push_back(index);
        previous = offset;
        offset = value & 0x7FFF;
    }
    return indexes;
}

void TMapPageMgr::SetChain(const std::vector<uint32_t>& indexes) {
    SetHead(indexes.empty() ? 0 : static_cast<uint16_t>(HeaderSize + 2 * indexes[0]));
    for (size_t i = 0; i < indexes.size(); ++i) {
        uint16_t next = i + 1 < indexes.size()
                            ? static_cast<uint16_t>(HeaderSize + 2 * indexes[i + 1])
                            : 0;
        SetEntry(indexes[i], static_cast<uint16_t>(ZanMapFree | next));
    }
}

void TMapPageMgr::OrderEmptySegments() {
    // Collected without the order check, then relinked in ascending order.
    std::vector<uint32_t> indexes;
    uint32_t offset = Head();
    while (offset != 0 && indexes.size() < FEntriesPerPage) {
        if (offset < HeaderSize || offset > FPageSize - 2 || (offset & 1) != 0)
            MapCorrupt("TMapPageMgr.OrderEmptySegments", "Empty segment found is invalid");
        const uint32_t index = (offset - HeaderSize) / 2;
        if (index >= FEntriesPerPage || (Entry(index) & ZanMapFree) == 0)
            MapCorrupt("TMapPageMgr.OrderEmptySegments", "Empty segment found is invalid");
        indexes.push_back(index);
        offset = Entry(index) & 0x7FFF;
    }
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    SetChain(indexes);
}

int64_t TMapPageMgr::FindEmptyPagesInMap(uint32_t pageCount) const {
    const std::vector<uint32_t> chain = ChainIndexes();
    uint32_t run = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        run = i > 0 && chain[i] == chain[i - 1] + 1 ? run + 1 : 1;
        if (run == pageCount) return chain[i] + 1 - pageCount;
    }
    return -1;
}

uint32_t TMapPageMgr::SearchMapsForMapPage(uint32_t n) {
    if (n >= FHeader->GetMapPageCount())
        MapCorrupt("TMapPageMgr.SearchMapsForMapPage", "Map Page pageno invalid");
    uint32_t address = FHeader->GetFirstMapPage();
    for (uint32_t k = 0;; ++k) {
        if (address == 0) MapCorrupt("TMapPageMgr.SearchMapsForMapPage", "Map Page address invalid");
        LoadMapPage(address, k);
        if (k == n) return address;
        address = NextMapPage();
    }
}

void TMapPageMgr::UpdateFirstMapPageEmpty() {
    if (Head() == 0) {
        FHeader->SetFirstMapPageEmpty(SearchMapsForFirstEmptyMapPage());
    } else if (FHeader->GetFirstMapPageEmpty() == 0) {
        FHeader->SetFirstMapPageEmpty(FBufferAddress);
    }
}

uint32_t TMapPageMgr::SearchMapsForFirstEmptyMapPage() {
    const uint32_t count = FHeader->GetMapPageCount();
    uint32_t address = FHeader->GetFirstMapPage();
    for (uint32_t k = 0; k < count; ++k) {
        if (address == 0) MapCorrupt("TMapPageMgr.SearchMapsForEmptyPages", "Illegal map page address");
        LoadMapPage(address, k);
        if (Head() != 0) return address;
        address = NextMapPage();
    }
    return 0;
}

uint32_t TMapPageMgr::SearchMapsForEmptyPages(uint32_t pageCount) {
    const uint32_t count = FHeader->GetMapPageCount();
    uint32_t address = FHeader->GetFirstMapPage();
    for (uint32_t k = 0; k < count; ++k) {
        if (address == 0) MapCorrupt("TMapPageMgr.SearchMapsForEmptyPages", "Illegal map page address");
        LoadMapPage(address, k);
        const int64_t start = FindEmptyPagesInMap(pageCount);
        if (start >= 0) {
            std::vector<uint32_t> chain = ChainIndexes();
            std::erase_if(chain, [&](uint32_t i) { return i >= start && i < start + pageCount; });
            SetChain(chain);
            for (uint32_t i = 0; i < pageCount; ++i)
                SetEntry(static_cast<uint32_t>(start) + i, ZanMapFree);
            WriteMapPage();
            const uint32_t page = k * FEntriesPerPage + static_cast<uint32_t>(start);
            UpdateFirstMapPageEmpty();
            return page << FPageShift;
        }
        address = NextMapPage();
    }
    return 0;
}

uint32_t TMapPageMgr::GetNextEmptyPageAddress(uint32_t pageCount) {
    CheckHeader();
    if (pageCount == 0 || pageCount > FEntriesPerPage) return 0;
    const uint32_t first = FHeader->GetFirstMapPageEmpty();
    if (first == 0) return 0;
    LoadMapPage(first, -1);
    const int64_t start = FindEmptyPagesInMap(pageCount);
    if (start < 0) return SearchMapsForEmptyPages(pageCount);
    std::vector<uint32_t> chain = ChainIndexes();
    std::erase_if(chain, [&](uint32_t i) { return i >= start && i < start + pageCount; });
    SetChain(chain);
    for (uint32_t i = 0; i < pageCount; ++i) SetEntry(static_cast<uint32_t>(start) + i, ZanMapFree);
    WriteMapPage();
    const uint32_t page = CurrentMapPageID() * FEntriesPerPage + static_cast<uint32_t>(start);
    UpdateFirstMapPageEmpty();
    return page << FPageShift;
}

uint32_t TMapPageMgr::AddNewMapPage() {
    const uint32_t count = FHeader->GetMapPageCount();
    std::vector<uint8_t> page(FPageSize, 0);
    PutU32(page.data(), count);
    const uint32_t address = FFile->SeekAndAppendZanFile(page.data(), FPageSize, 0, 0);
    SearchMapsForMapPage(count - 1);
    PutU32(FBuffer.data() + 4, address);
    WriteMapPage();
    return address;
}

void TMapPageMgr::SetMapEntryFlags(uint16_t value, uint32_t address, uint32_t pageCount) {
    static const char* const context = "TMapPageMgr.SetMapEntryFlags";
    static const char* const corrupt = "Error in setting map flags - mapping corrupted";
    if (pageCount == 0) return;
    CheckHeader();
    const bool used = (value & ZanMapFree) == 0;
    if (value == 0 || (address & (FPageSize - 1)) != 0) MapCorrupt(context, corrupt);
    const uint32_t page = address >> FPageShift;
    const uint32_t m = page / FEntriesPerPage;
    const uint32_t index = page % FEntriesPerPage;
    if (uint64_t(index) + pageCount > FEntriesPerPage) MapCorrupt(context, corrupt);
    const uint32_t mapCount = FHeader->GetMapPageCount();
    if (used ? m > mapCount : m >= mapCount) MapCorrupt(context, corrupt);
    uint32_t added = 0;
    if (used && m == mapCount) {
        added = AddNewMapPage();
        FHeader->SetMapPageCount(mapCount + 1);
        LoadMapPage(added, m);
    } else {
        SearchMapsForMapPage(m);
    }
    std::vector<uint32_t> chain = ChainIndexes();
    if (used) {
        std::erase_if(chain, [&](uint32_t i) { return i >= index && i < index + pageCount; });
        SetChain(chain);
        for (uint32_t i = 0; i < pageCount; ++i) SetEntry(index + i, value);
    } else {
        for (uint32_t i = 0; i < pageCount; ++i) chain.push_back(index + i);
        std::sort(chain.begin(), chain.end());
        chain.erase(std::unique(chain.begin(), chain.end()), chain.end());
        SetChain(chain);
    }
    WriteMapPage();
    UpdateFirstMapPageEmpty();
    // A map page added for this run is itself a used page; at a map page border this may add
    // the next map page in turn.
    if (added != 0) SetMapEntryFlags(ZanMapMapPage, added, 1);
}

void TMapPageMgr::AdjustMapPageFlags(uint16_t value, uint32_t address, uint32_t pageCount) {
    uint32_t page = address >> FPageShift;
    while (pageCount > 0) {
        uint32_t room = FEntriesPerPage - page % FEntriesPerPage;
        uint32_t n = std::min(room, pageCount);
        SetMapEntryFlags(value, page << FPageShift, n);
        page += n;
        pageCount -= n;
    }
}

void TMapPageMgr::ListPagesUsedByOwner(uint32_t tableId, uint32_t usage,
                                       std::vector<uint32_t>& list, bool withUsage) {
    CheckHeader();
    const uint16_t tag = MapOwnerTag(tableId, usage);
    const uint32_t count = FHeader->GetMapPageCount();
    for (uint32_t k = 0; k < count; ++k) {
        SearchMapsForMapPage(k);
        for (uint32_t i = 0; i < FEntriesPerPage; ++i) {
            const uint16_t v = Entry(i);
            if (v == 0 || (v & ZanMapFree) != 0) continue;
            if (withUsage ? v == tag : (v >> 4) == tableId)
                list.push_back((k * FEntriesPerPage + i) << FPageShift);
        }
    }
}

void TMapPageMgr::DeleteOwnedPages(uint32_t tableId, uint32_t usage, std::vector<uint32_t>& list,
                                   bool withUsage) {
    CheckHeader();
    const uint16_t tag = MapOwnerTag(tableId, usage);
    const uint32_t count = FHeader->GetMapPageCount();
    uint32_t firstEmpty = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t address = SearchMapsForMapPage(k);
        std::vector<uint32_t> chain = ChainIndexes();
        bool changed = false;
        for (uint32_t i = 0; i < FEntriesPerPage; ++i) {
            const uint16_t v = Entry(i);
            const uint32_t page = k * FEntriesPerPage + i;
            if (v == 0 || (v & ZanMapFree) != 0 || v == ZanMapMapPage || page < 5) continue;
            if (withUsage ? v != tag : (v >> 4) != tableId) continue;
            chain.push_back(i);
            list.push_back(page << FPageShift);
            changed = true;
        }
        if (changed) {
            std::sort(chain.begin(), chain.end());
            SetChain(chain);
            WriteMapPage();
        }
        if (firstEmpty == 0 && Head() != 0) firstEmpty = address;
    }
    FHeader->SetFirstMapPageEmpty(firstEmpty);
}

uint16_t TMapPageMgr::GetMapEntry(uint32_t address) {
    const uint32_t page = address >> FPageShift;
    const uint32_t m = page / FEntriesPerPage;
    if (m >= FHeader->GetMapPageCount()) return 0;
    SearchMapsForMapPage(m);
    return Entry(page % FEntriesPerPage);
}

void TMapPageMgr::DebugDumpMapContents(TStrings& lines) {
    const uint32_t count = FHeader->GetMapPageCount();
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t address = SearchMapsForMapPage(k);
        lines.Add(Format("Map page %d at %d: next %d, first empty %d", k, address, NextMapPage(),
                         Head()));
        for (uint32_t i = 0; i < FEntriesPerPage; ++i)
            if (Entry(i) != 0)
                lines.Add(Format("  Page %d: %x", k * FEntriesPerPage + i, Entry(i)));
    }
}

std::vector<std::string> TMapPageMgr::DebugCheckStatus() {
    std::vector<std::string> problems;
    try {
        CheckHeader();
        const uint32_t count = FHeader->GetMapPageCount();
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t address = SearchMapsForMapPage(k);
            const std::vector<uint32_t> chain = ChainIndexes();
            size_t free = 0;
            for (uint32_t i = 0; i < FEntriesPerPage; ++i)
                if (Entry(i) & ZanMapFree) ++free;
            if (free != chain.size())
                problems.push_back(Format("Map page %d: %d free entries outside the chain", k,
                                          static_cast<int64_t>(free - chain.size())));
            const uint32_t own = address >> FPageShift;
            if (own / FEntriesPerPage < count) {
                // The map page's own entry lives in some map page; check it when it is this one.
                if (own / FEntriesPerPage == k && Entry(own % FEntriesPerPage) != ZanMapMapPage)
                    problems.push_back(Format("Map page %d is not marked as a map page", k));
            }
        }
    } catch (const EZanDatabaseError& e) {
        problems.push_back(e.Message());
    }
    return problems;
}

// ---------------------------------------------------------------------------------------------
// Free functions

uint32_t GetBestPageRequestSize(uint32_t blockSize, uint32_t pageSize) {
    if (blockSize == 0 || pageSize == 0) return pageSize;
    const uint64_t b = blockSize, p = pageSize;
    const uint64_t m = (b + p - 1) / p * p;
    if (p >= b && m % b <= p / 4) return static_cast<uint32_t>(m);
    uint64_t best = m, bestRemainder = m % b;
    for (uint64_t size = m; size < 10 * m; size += p) {
        if (size % b < bestRemainder) {
            best = size;
            bestRemainder = size % b;
        }
    }
    return static_cast<uint32_t>(best);
}

bool DoCopyFile(const std::string& source, const std::string& target, bool overwrite) {
    try {
        CopyFile(source, target, !overwrite);
        return true;
    } catch (const EOSError&) {
        return false;
    }
}

std::string UsersFileNameFor(const std::string& databaseFileName) {
    const size_t slash = databaseFileName.find_last_of('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : databaseFileName.substr(0, slash + 1);
    std::string name =
        slash == std::string::npos ? databaseFileName : databaseFileName.substr(slash + 1);
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find(".zan") == std::string::npos) {
        const size_t dot = name.find_last_of('.');
        const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
        std::replace(name.begin(), name.end(), '.', '_');
        name += ext;
    }
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos) name.erase(dot);
    return dir + name + ".lck";
}
