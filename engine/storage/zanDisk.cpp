#include "engine/storage/zanDisk.h"
#include "engine/storage/zanTemporary.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <exception>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/rtl/Format.h"
#include "host/rtl/Random.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinFiles.h"
#include "host/win/WinSys.h"

namespace zan {

namespace {

uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// A stored map value (page number, map page link or count, free chain) that cannot be: the file
// is damaged.
[[noreturn]] void MapCorrupt(const char* context, const char* text) {
    ZanDatabaseError(8962, context, text);
}

// A page an owner holds lies inside the file: a map entry claiming one past its end is damage.
void CheckOwnedPageInFile(uint32_t page, uint64_t filePages) {
    if (page >= filePages)
        ZanDatabaseErrorFmt(8962, "TMapPageMgr.OwnedPages",
                            "Page %d beyond the end of the file is in use", {int64_t(page)});
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TGlobalHdr

void TGlobalHdr::Initialize(uint32_t size, uint32_t address) {
    if (size == 0)
        ZanDatabaseError(8581, "TGlobalHdr.Initialize",
                         "Unable to initialize header - size not set");
    FData.assign(size, 0);
    FAddress = address;
    FDirty = false;
    FValid = false;
}

uint32_t TGlobalHdr::Get(int32_t offset) const {
    return GetU32(FData.data() + offset);
}

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
    return zan::CalcCRC(bytes, Size);
}

// ---------------------------------------------------------------------------------------------
// TMapPageMgr

TMapPageMgr::TMapPageMgr(TZanFile* file, TGlobalHdr* header, uint32_t pageSize)
    : FEntriesPerPage((pageSize - HeaderSize) / 2), FPageShift(0), FPageSize(pageSize),
      FBuffer(pageSize, 0), FFile(file), FHeader(header) {
    for (uint32_t size = pageSize / 2; size > 0; size /= 2)
        ++FPageShift;
}

uint16_t TMapPageMgr::Entry(uint32_t index) const {
    return GetU16(FBuffer.data() + HeaderSize + 2 * index);
}

void TMapPageMgr::SetEntry(uint32_t index, uint16_t value) {
    PutU16(FBuffer.data() + HeaderSize + 2 * index, value);
}

uint16_t TMapPageMgr::Head() const {
    return GetU16(FBuffer.data() + 8);
}

void TMapPageMgr::SetHead(uint16_t offset) {
    PutU16(FBuffer.data() + 8, offset);
}

uint32_t TMapPageMgr::CurrentMapPageID() const {
    return GetU32(FBuffer.data());
}

uint32_t TMapPageMgr::NextMapPage() const {
    return GetU32(FBuffer.data() + 4);
}

void TMapPageMgr::CheckMapPageAddress(uint32_t address, const char* context) const {
    if (address == 0 || (address & (FPageSize - 1)) != 0 || address < 5 * FPageSize ||
        uint64_t(address) + FPageSize > FFile->SeekZanEof())
        MapCorrupt(context, "Map Page address invalid");
}

void TMapPageMgr::CheckHeader() const {
    const uint64_t pages = FFile->SeekZanEof() >> FPageShift;
    const uint32_t count = FHeader->GetMapPageCount();
    if (count == 0 || count > pages)
        MapCorrupt("TMapPageMgr.CheckHeader", "Map Page pageno invalid");
    CheckMapPageAddress(FHeader->GetFirstMapPage(), "TMapPageMgr.CheckHeader");
}

void TMapPageMgr::LoadMapPage(uint32_t address, int64_t expected) {
    auto kept = FKeepPages ? FKept.find(address) : FKept.end();
    // The buffered page is its kept image (every change is written, and kept, before the
    // next load): nothing to load.
    if (kept != FKept.end() && address == FBufferAddress) {
        if (expected >= 0 && CurrentMapPageID() != expected)
            MapCorrupt("TMapPageMgr.LoadMapPage", "Map Page pageno invalid");
        return;
    }
    FBufferAddress = 0;
    if (kept != FKept.end()) {
        std::memcpy(FBuffer.data(), kept->second.data(), FPageSize);
    } else {
        // Without a kept copy map pages are read raw: another connection or a rollback may
        // have changed them since the last use.
        CheckMapPageAddress(address, "TMapPageMgr.LoadMapPage");
        FFile->ReadThroughZanFile(FBuffer.data(), address, FPageSize);
    }
    const uint32_t number = CurrentMapPageID();
    if ((expected >= 0 && number != expected) || number >= FHeader->GetMapPageCount())
        MapCorrupt("TMapPageMgr.LoadMapPage", "Map Page pageno invalid");
    if (FKeepPages && kept == FKept.end()) FKept[address] = FBuffer;
    FBufferAddress = address;
}

void TMapPageMgr::WriteMapPage() {
    ZanAssert(FBufferAddress != 0, "Map page written without being loaded");
    FKept.erase(FBufferAddress);
    FFile->WriteThroughZanFile(FBuffer.data(), FBufferAddress, FPageSize);
    if (FKeepPages) FKept[FBufferAddress] = FBuffer;
}

std::vector<uint32_t> TMapPageMgr::ChainIndexes() const {
    std::vector<uint32_t> indexes;
    uint32_t offset = Head();
    uint32_t previous = 0;
    while (offset != 0) {
        // Offsets must name an entry, and the chain ascends (which also rules out cycles).
        if (offset < HeaderSize || offset > FPageSize - 2 || (offset & 1) != 0 ||
            offset <= previous || (offset - HeaderSize) / 2 >= FEntriesPerPage)
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
        uint16_t next =
            i + 1 < indexes.size() ? static_cast<uint16_t>(HeaderSize + 2 * indexes[i + 1]) : 0;
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
    if (n < FChain.size()) {
        LoadMapPage(FChain[n], n);
        return FChain[n];
    }
    // Walk on from the last map page whose address is known.
    uint32_t k = FChain.empty() ? 0 : uint32_t(FChain.size() - 1);
    uint32_t address = FChain.empty() ? FHeader->GetFirstMapPage() : FChain.back();
    for (;; ++k) {
        if (address == 0)
            MapCorrupt("TMapPageMgr.SearchMapsForMapPage", "Map Page address invalid");
        LoadMapPage(address, k);
        if (k == FChain.size()) FChain.push_back(address);
        if (k == n) return address;
        address = NextMapPage();
    }
}

void TMapPageMgr::UpdateFirstMapPageEmpty() {
    // The header names a map page with a free entry, or 0 when no map page has one; every
    // change of a chain is made in the buffered page and followed here. A buffered page left
    // without free entries changes nothing for another page the header names, nor for a header
    // naming none (taking entries frees none): only when it names the buffered page is every
    // map page searched (a file grows page by page with its last map page full, and walking
    // all map pages at each growth made a commit's cost grow with the file).
    if (Head() == 0) {
        if (FHeader->GetFirstMapPageEmpty() == FBufferAddress)
            FHeader->SetFirstMapPageEmpty(SearchMapsForFirstEmptyMapPage());
    } else if (FHeader->GetFirstMapPageEmpty() == 0) {
        FHeader->SetFirstMapPageEmpty(FBufferAddress);
    }
}

uint32_t TMapPageMgr::SearchMapsForFirstEmptyMapPage() {
    const uint32_t count = FHeader->GetMapPageCount();
    uint32_t address = FHeader->GetFirstMapPage();
    for (uint32_t k = 0; k < count; ++k) {
        if (address == 0)
            MapCorrupt("TMapPageMgr.SearchMapsForEmptyPages", "Illegal map page address");
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
        if (address == 0)
            MapCorrupt("TMapPageMgr.SearchMapsForEmptyPages", "Illegal map page address");
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
    uint32_t first = FHeader->GetFirstMapPageEmpty();
    if (first == 0) return 0;
    LoadMapPage(first, -1);
    if (Head() == 0) {
        // The header names a page without free entries (a new file names the first map page):
        // it is set right here, so later allocations start at a page that has some.
        first = SearchMapsForFirstEmptyMapPage();
        FHeader->SetFirstMapPageEmpty(first);
        if (first == 0) return 0;
    }
    const int64_t start = FindEmptyPagesInMap(pageCount);
    if (start < 0) return SearchMapsForEmptyPages(pageCount);
    std::vector<uint32_t> chain = ChainIndexes();
    std::erase_if(chain, [&](uint32_t i) { return i >= start && i < start + pageCount; });
    SetChain(chain);
    for (uint32_t i = 0; i < pageCount; ++i)
        SetEntry(static_cast<uint32_t>(start) + i, ZanMapFree);
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
    // A change the caller asks for that the map cannot hold (reserved or map pages freed,
    // pages beyond the map) is a program error.
    auto refuse = [](const char* where, const char* text) { ZanDatabaseError(8581, where, text); };
    if (pageCount == 0) return;
    CheckHeader();
    const bool used = (value & ZanMapFree) == 0;
    if (value == 0 || (address & (FPageSize - 1)) != 0) refuse(context, corrupt);
    const uint32_t page = address >> FPageShift;
    const uint32_t m = page / FEntriesPerPage;
    const uint32_t index = page % FEntriesPerPage;
    if (uint64_t(index) + pageCount > FEntriesPerPage) refuse(context, corrupt);
    const uint32_t mapCount = FHeader->GetMapPageCount();
    if (used ? m > mapCount : m >= mapCount) refuse(context, corrupt);
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
        for (uint32_t i = 0; i < pageCount; ++i)
            SetEntry(index + i, value);
    } else {
        // The reserved pages and map pages are never freed.
        for (uint32_t i = 0; i < pageCount; ++i)
            if (page + i < 5 || Entry(index + i) == ZanMapMapPage) refuse(context, corrupt);
        for (uint32_t i = 0; i < pageCount; ++i)
            chain.push_back(index + i);
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
    const uint64_t filePages = FFile->SeekZanEof() >> FPageShift;
    for (uint32_t k = 0; k < count; ++k) {
        SearchMapsForMapPage(k);
        for (uint32_t i = 0; i < FEntriesPerPage; ++i) {
            const uint16_t v = Entry(i);
            if (v == 0 || (v & ZanMapFree) != 0) continue;
            if (withUsage ? v == tag : (v >> 4) == tableId) {
                CheckOwnedPageInFile(k * FEntriesPerPage + i, filePages);
                list.push_back((k * FEntriesPerPage + i) << FPageShift);
            }
        }
    }
}

void TMapPageMgr::DeleteOwnedPages(uint32_t tableId, uint32_t usage, std::vector<uint32_t>& list,
                                   bool withUsage) {
    CheckHeader();
    const uint16_t tag = MapOwnerTag(tableId, usage);
    const uint32_t count = FHeader->GetMapPageCount();
    // Released pages are zeroed: a page past the end of the file would grow it, leaving the
    // pages between without map entries.
    const uint64_t filePages = FFile->SeekZanEof() >> FPageShift;
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
            CheckOwnedPageInFile(page, filePages);
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
            if (free > 0 && FHeader->GetFirstMapPageEmpty() == 0)
                problems.push_back(Format("Map page %d has free entries, the header names none", k));
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

std::string TemporaryFileNameFor(const std::string& path) {
    return path + ".tmp" + std::to_string(static_cast<long>(getpid()));
}

namespace {

// Seconds since the epoch at which the process started; -1 when it cannot be told.
int64_t ProcessStartTime(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(static_cast<long>(pid)) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return -1;
    // The command name in parentheses may hold blanks: fields count from its closing one.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    uint64_t ticks = 0;
    // Field 22 (start time in clock ticks since boot) is the 20th after the name.
    for (int i = 0; i < 20 && (fields >> field); ++i)
        if (i == 19) ticks = std::strtoull(field.c_str(), nullptr, 10);
    std::ifstream system("/proc/stat");
    int64_t boot = -1;
    while (std::getline(system, line))
        if (line.rfind("btime ", 0) == 0) boot = std::strtoll(line.c_str() + 6, nullptr, 10);
    const long hz = sysconf(_SC_CLK_TCK);
    if (boot < 0 || hz <= 0 || ticks == 0) return -1;
    return boot + static_cast<int64_t>(ticks / static_cast<uint64_t>(hz));
}

// Whether the process that named a file changed at changed (seconds) may still be writing it.
bool OwnerMayLive(pid_t pid, int64_t changed) {
    if (pid <= 0) return true;
    if (kill(pid, 0) != 0 && errno == ESRCH) return false;
    const int64_t started = ProcessStartTime(pid);
    // A file is changed after its writer started; a slack for the tick rounding of both times.
    return started < 0 || started <= changed + 2;
}

// Whether an open of the file may be using it: every open of a database or users file holds a
// byte-range lock in it. True as well when that cannot be told; false when the file is gone.
bool FileMayBeInUse(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno != ENOENT;
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET; // the whole file
    int r;
    while ((r = fcntl(fd, F_OFD_GETLK, &query)) != 0 && errno == EINTR) {
    }
    close(fd);
    return r != 0 || query.l_type != F_UNLCK;
}

} // namespace

// The largest process id the kernel hands out (its compile-time limit on 64-bit systems).
constexpr long C_PID_LIMIT = 4194304;

void RemoveStaleTemporaries(const std::string& databaseFileName) {
    const size_t slash = databaseFileName.find_last_of('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : databaseFileName.substr(0, slash + 1);
    const std::string prefix =
        (slash == std::string::npos ? databaseFileName : databaseFileName.substr(slash + 1)) +
        ".tmp";
    DIR* folder = opendir(dir.empty() ? "." : dir.c_str());
    if (folder == nullptr) return;
    std::vector<std::string> stale, live;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        size_t end = prefix.size();
        while (end < name.size() && end - prefix.size() < 10 &&
               std::isdigit(static_cast<unsigned char>(name[end])))
            ++end;
        const std::string rest = name.substr(end);
        if (end == prefix.size() || (!rest.empty() && rest != "-journal")) continue;
        // Only a name as TemporaryFileNameFor writes it: a process id without leading zeros
        // and within the kernel's limit (a longer number would wrap to another process's id).
        const std::string digits = name.substr(prefix.size(), end - prefix.size());
        const long number = std::strtol(digits.c_str(), nullptr, 10);
        if (number <= 0 || number > C_PID_LIMIT || std::to_string(number) != digits) continue;
        const pid_t pid = static_cast<pid_t>(number);
        struct stat st {};
        if (lstat((dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const std::string temp = dir + name.substr(0, end);
        // A file of that name open in some connection is in use, whatever named it.
        if (pid == getpid() || OwnerMayLive(pid, std::max<int64_t>(st.st_mtime, st.st_ctime)) ||
            FileMayBeInUse(temp))
            live.push_back(temp);
        else
            stale.push_back(dir + name);
    }
    closedir(folder);
    for (const std::string& path : stale) {
        unlink(path.c_str());
        // The users file of a temporary name may be shared by every temporary name of the
        // database (shop.zan.tmp1 and shop.zan.tmp2 both use shop.zan.lck): kept for a live one.
        const std::string temp =
            path.size() > 8 && path.compare(path.size() - 8, 8, "-journal") == 0
                ? path.substr(0, path.size() - 8)
                : path;
        const std::string users = UsersFileNameFor(temp);
        if (std::none_of(live.begin(), live.end(), [&](const std::string& other) {
                return UsersFileNameFor(other) == users;
            }))
            RemoveIdleUsersFile(users);
    }
}

void RemoveIdleUsersFile(const std::string& usersFileName) {
    if (!FileMayBeInUse(usersFileName)) unlink(usersFileName.c_str());
}

// ---------------------------------------------------------------------------------------------
// TDiskMgr

namespace {

const std::string& DefaultCryptKey() {
    static const std::string key(reinterpret_cast<const char*>(C_ZANDEFAULTBLOWKEY),
                                 sizeof C_ZANDEFAULTBLOWKEY);
    return key;
}

// Read-only on disk: no write permission bit at all, or a read-only mount. Deliberately not a
// per-user access check: one user's lack of permission must not turn into lock-free reads
// while others write.
bool IsReadOnlyOnDisk(const std::string& fileName) {
    struct stat st {};
    if (stat(fileName.c_str(), &st) != 0) return false;
    if ((st.st_mode & 0222) == 0) return true;
    struct statvfs vfs {};
    return statvfs(fileName.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0;
}

} // namespace

TDiskMgr::TDiskMgr() : FFile(std::make_unique<TZanFile>()), FCryptKey(DefaultCryptKey()) {
    const char* sync = std::getenv("ZAN_SYNC_COMMITS");
    SetSyncCommits(sync != nullptr && std::string(sync) == "1");
}

void TDiskMgr::SetSyncCommits(bool value) {
    FSyncCommits = value;
    FFile->SetSyncCommits(value);
}

TDiskMgr::~TDiskMgr() {
    try {
        Close();
    } catch (...) {
    }
}

void TDiskMgr::SetLockRetryCount(int32_t count) {
    FLockRetryCount = count;
    FFile->SetLockRetryCount(count);
    if (FTableLockMgr) FTableLockMgr->SetLockRetryCount(count);
    if (FRecordLockMgr) FRecordLockMgr->SetLockRetryCount(count);
}

void TDiskMgr::SetLockRetryInterval(int32_t milliseconds) {
    FLockRetryInterval = milliseconds;
    FFile->SetLockRetryInterval(milliseconds);
    if (FTableLockMgr) FTableLockMgr->SetLockRetryInterval(milliseconds);
    if (FRecordLockMgr) FRecordLockMgr->SetLockRetryInterval(milliseconds);
}

void TDiskMgr::SetCryptKey(const std::string& key) {
    FCryptKey = key.empty() ? DefaultCryptKey() : key;
    FFile->SetBlowKeyBuf(FCryptKey.data(), static_cast<int32_t>(FCryptKey.size()));
}

void TDiskMgr::InstallKeys() {
    FFile->SetXORKeyBuf(C_ZANXORKEY, sizeof C_ZANXORKEY);
    FFile->SetBlowKeyBuf(FCryptKey.data(), static_cast<int32_t>(FCryptKey.size()));
}

void TDiskMgr::NotOpen(const char* context) {
    ZanDatabaseError(8581, context, "The database file is not open");
}

void TDiskMgr::CreateNewFile(bool overwrite) {
    static const char* const context = "TDiskMgr.CreateNewFile";
    Close();
    // The five reserved pages must hold the fixed regions (up to byte 1152).
    if (FPageSize < 256 || (FPageSize & (FPageSize - 1)) != 0)
        ZanDatabaseError(8581, context, "Invalid database page size");
    if (FileExists(FFileName) && !overwrite) ZanDatabaseError(11043, context, FFileName);
    FFile->SetPageSize(FPageSize);
    FFile->SetOpenReadExclusive(true);
    FFile->SetOpenWriteExclusive(true);
    FFile->SetCacheActive(false);
    FFile->CreateZanFile(FFileName);
    {
        // A journal of the file replaced would be restored into the new one.
        const std::string journal = JournalFileNameFor(FFileName);
        const TJournalState state = InspectJournal(journal).State;
        if (state != jsAbsent && state != jsForeign) unlink(journal.c_str());
    }
    try {
        FGlobalHdr = std::make_unique<TGlobalHdr>();
        FGlobalHdr->Initialize();
        FMapPageMgr = std::make_unique<TMapPageMgr>(FFile.get(), FGlobalHdr.get(), FPageSize);
        const std::vector<uint8_t> zero(FPageSize, 0);
        for (uint32_t n = 0; n < 6; ++n)
            FFile->WriteThroughZanFile(zero.data(), n * FPageSize, FPageSize);
        FGlobalHdr->SetFirstMapPage(5 * FPageSize);
        FGlobalHdr->SetMapPageCount(1);
        FGlobalHdr->SetFirstMapPageEmpty(5 * FPageSize);
        FFile->WriteThroughZanFile(FGlobalHdr->Data(), FGlobalHdr->GetAddress(),
                                   FGlobalHdr->GetSize());
        FGlobalHdr->SetDirty(false);
        FMapPageMgr->SetMapEntryFlags(ZanMapReserved, 0, 5);
        FMapPageMgr->SetMapEntryFlags(ZanMapMapPage, 5 * FPageSize, 1);
    } catch (...) {
        Close();
        throw;
    }
    FGlobalHdr->SetDirty(false); // the header on disk is the one written above
    Close();
}

void TDiskMgr::Open() {
    static const char* const context = "TDiskMgr.Open";
    Close();
    if (FPageSize == 0) ZanDatabaseError(8581, context, "PageSize is 0");
    if (FPageSize < 256 || (FPageSize & (FPageSize - 1)) != 0)
        ZanDatabaseError(8581, context, "Invalid database page size");
    if (!FileExists(FFileName)) ZanDatabaseError(11010, context, FFileName);
    FMultiUser = !IsReadOnlyOnDisk(FFileName);
    InstallKeys();
    FExclusive = (FOpenFlags & 0x70) == 0x10;
    FReadOnly = (FOpenFlags & 7) == 0;
    const int32_t access = FOpenFlags & 7;
    // A file read-only on disk is shared without locks (no one writes it), so it is never
    // opened for writing, not even by a process that the mode bits do not stop.
    if (!FMultiUser && (access == 1 || access == 2))
        ZanDatabaseError(8449, context,
                         "Unable to open file. Error type of: \"" + FFileName +
                             "\" is read-only on disk and cannot be opened for writing");
    FFile->SetPageSize(FPageSize);
    FFile->SetOpenRead(true);
    FFile->SetOpenWrite(access == 1 || access == 2);
    FFile->SetOpenReadExclusive(FExclusive);
    FFile->SetOpenWriteExclusive(FExclusive);
    FFile->SetLockRetryCount(FLockRetryCount);
    FFile->SetLockRetryInterval(FLockRetryInterval);
    FFile->OpenZanFile(FFileName);
    try {
        if (FMultiUser) {
            FUserMonitor =
                std::make_unique<TDBUserMonitor>(&FFile->GetWinFile(), UsersFileNameFor(FFileName));
            FUserMonitor->Open(GetUserNameStr(), GetComputerNameStr());
            TWinFile* lockFile = FUserMonitor->GetLockFileHandle();
            TWinFile* dbFile = &FFile->GetWinFile();
            // Opened exclusively, no other connection shares the file: locks are kept in the
            // managers' lists without system calls.
            auto manager = [&](uint64_t base, uint32_t size, bool transaction) {
                return FExclusive ? std::make_unique<TListLockMgr>(lockFile, base, size)
                                  : GetLockManager(dbFile, lockFile, base, size, transaction);
            };
            FTableLockMgr = manager(0x800000, 8192, false);
            FTableLockMgr->SetLockRetryCount(FLockRetryCount);
            FTableLockMgr->SetLockRetryInterval(FLockRetryInterval);
            FTableLockMgr->SetReadLockErrMsg("A read lock could not be obtained on the table");
            FTableLockMgr->SetWriteLockErrMsg("A write lock could not be obtained on the table");
            FRecordLockMgr = manager(0x2000000, 1, false);
            FRecordLockMgr->SetLockRetryCount(FLockRetryCount);
            FRecordLockMgr->SetLockRetryInterval(FLockRetryInterval);
            FRecordLockMgr->SetReadLockErrMsg("A lock could not be obtained on the record");
            FRecordLockMgr->SetWriteLockErrMsg("A lock could not be obtained on the record");
            FTransactionLockMgr = manager(0x1FFE000, 1, true);
            FTransactionLockMgr->SetLockRetryCount(20);
            FTransactionLockMgr->SetLockRetryInterval(80 + Random(40));
            FTransactionLockMgr->SetReadLockErrMsg("A transaction lock could not be obtained");
            FTransactionLockMgr->SetWriteLockErrMsg("A transaction lock could not be obtained");
            // Shared: stretches a transaction reads serve as the journal's pre-images while
            // this connection's table and record locks stand still.
            if (!FExclusive)
                FFile->SetLockChangeCount([this] {
                    return FTableLockMgr->GetChangeCount() + FRecordLockMgr->GetChangeCount();
                });
        }
        FFile->SetCacheActive(true);
        FGlobalHdr = std::make_unique<TGlobalHdr>();
        FGlobalHdr->Initialize();
        FMapPageMgr = std::make_unique<TMapPageMgr>(FFile.get(), FGlobalHdr.get(), FPageSize);
        // Commits go through the journal wherever the commit lock exists.
        FFile->SetJournalActive(FMultiUser && !FReadOnly);
        FFile->SetSyncCommits(FSyncCommits);
        CheckJournal({});
        SetHeaderReadLock();
        ReleaseHeaderLock();
        // Not examined: a second connection simply does not hold the marker.
        FOpenMarkerHeld = FFile->GetWinFile().TryLock(OpenMarkerOffset, OpenMarkerLength);
    } catch (...) {
        Close();
        throw;
    }
}

void TDiskMgr::Close() {
    if (FOpenMarkerHeld && FFile->CheckOpen())
        FFile->GetWinFile().Unlock(OpenMarkerOffset, OpenMarkerLength);
    FOpenMarkerHeld = false;
    std::exception_ptr failure;
    if (FFile->CheckOpen()) {
        try {
            if (FGlobalHdr && FGlobalHdr->GetDirty() && !FFile->GetTransactionActive())
                WriteHeader();
        } catch (...) {
            failure = std::current_exception();
        }
        try {
            ReleaseAllLocks();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        // The journal kept between commits goes, unless someone is committing now.
        if (FUserMonitor && FUserMonitor->IsOpen() && TryCommitLock()) {
            FFile->CloseJournal();
            ReleaseCommitLock();
        }
    }
    FCommitLocked = false;
    if (FScopeTransaction) {
        // Closed inside a write scope: its writes are lost, as a transaction's are.
        FScopeTransaction = false;
        FDeferredReleases.clear();
        FFile->GetPageCache().SetReplaceClean(false);
    }
    FFile->SetLockChangeCount(nullptr);
    FTableLockMgr.reset();
    FRecordLockMgr.reset();
    FTransactionLockMgr.reset();
    if (FUserMonitor) {
        try {
            FUserMonitor->Close();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        FUserMonitor.reset();
    }
    FFile->CloseZanFile();
    FExclusive = false;
    FHeaderReadLocked = FHeaderWriteLocked = false;
    FSelectOnly = false;
    FMapPageMgr.reset();
    FGlobalHdr.reset();
    if (failure) std::rethrow_exception(failure);
}

// ----- transfers

namespace {

uint32_t PageBytes(uint32_t pageCount, uint32_t pageSize, const char* context) {
    const uint64_t bytes = uint64_t(pageCount) * pageSize;
    if (bytes > ZanMaxFileEnd)
        ZanDatabaseErrorFmt(9482, context,
                            "The database file cannot grow beyond the page at address 0x%x",
                            {ZanMaxPageAddress});
    return static_cast<uint32_t>(bytes);
}

} // namespace

void TDiskMgr::ReadPages(uint32_t address, uint32_t pageCount, void* buffer, uint32_t owner,
                         uint8_t accessFlags) {
    CheckOpen("TDiskMgr.ReadPages");
    FFile->SeekAndReadZanFile(buffer, owner, PageBytes(pageCount, FPageSize, "TDiskMgr.ReadPages"),
                              address, accessFlags);
}

void TDiskMgr::WritePages(uint32_t address, uint32_t pageCount, const void* buffer, uint32_t owner,
                          uint8_t accessFlags) {
    CheckOpen("TDiskMgr.WritePages");
    TDiskWriteScope scope(*this);
    FFile->SeekAndWriteZanFile(buffer, owner,
                               PageBytes(pageCount, FPageSize, "TDiskMgr.WritePages"), address,
                               accessFlags);
}

void TDiskMgr::ReadCustomSize(uint32_t address, uint32_t count, void* buffer, uint32_t owner,
                              uint8_t accessFlags) {
    CheckOpen("TDiskMgr.ReadCustomSize");
    FFile->SeekAndReadZanFile(buffer, owner, count, address, accessFlags);
}

void TDiskMgr::WriteCustomSize(uint32_t address, uint32_t count, const void* buffer, uint32_t owner,
                               uint8_t accessFlags) {
    CheckOpen("TDiskMgr.WriteCustomSize");
    TDiskWriteScope scope(*this);
    FFile->SeekAndWriteZanFile(buffer, owner, count, address, accessFlags);
}

uint8_t* TDiskMgr::ReadCustomSizeByRef(uint32_t address, uint32_t count, uint32_t owner,
                                       uint8_t accessFlags) {
    CheckOpen("TDiskMgr.ReadCustomSizeByRef");
    return FFile->SeekAndReadZanFileByRef(owner, count, address, accessFlags);
}

void TDiskMgr::WriteCustomSizeByRef(uint32_t address, uint32_t count, const void* buffer,
                                    uint32_t owner, uint8_t accessFlags) {
    CheckOpen("TDiskMgr.WriteCustomSizeByRef");
    TDiskWriteScope scope(*this);
    FFile->SeekAndWriteZanFileByRef(buffer, owner, count, address, accessFlags);
}

// ----- page allocation

bool TDiskMgr::EnterHeaderWrite() {
    if (FHeaderWriteLocked) return false;
    const bool held = FHeaderReadLocked;
    SetHeaderWriteLock(); // upgrades a held read lock without re-reading
    return !held;
}

void TDiskMgr::LeaveHeaderWrite(bool taken) {
    if (taken) ReleaseHeaderLock();
}

void TDiskMgr::ZeroPages(const std::vector<uint32_t>& addresses) {
    const std::vector<uint8_t> zero(FPageSize, 0);
    for (uint32_t address : addresses)
        FFile->ReleasePage(address, zero.data());
}

uint32_t TDiskMgr::WriteNewPages(uint32_t owner, uint32_t usage, uint8_t accessFlags,
                                 uint32_t pageCount, const void* buffer) {
    static const char* const context = "TDiskMgr.WriteNewPages";
    CheckOpen(context);
    TDiskWriteScope scope(*this);
    if (owner > 2047 || usage > 15 || MapOwnerTag(owner, usage) == 0 || pageCount == 0)
        ZanDatabaseErrorFmt(8581, context, "Invalid page request: owner %d usage %d count %d",
                            {owner, usage, pageCount});
    const uint32_t bytes = PageBytes(pageCount, FPageSize, context);
    const bool taken = EnterHeaderWrite();
    uint32_t address = 0;
    try {
        address = FMapPageMgr->GetNextEmptyPageAddress(pageCount);
        if (address != 0)
            FFile->SeekAndWriteZanFile(buffer, owner, bytes, address, accessFlags);
        else
            address = FFile->SeekAndAppendZanFile(buffer, bytes, owner, accessFlags);
        FMapPageMgr->AdjustMapPageFlags(MapOwnerTag(owner, usage), address, pageCount);
    } catch (...) {
        if (taken) {
            FGlobalHdr->SetDirty(false); // a half-done change is not published
            ReleaseHeaderLock();
        }
        throw;
    }
    LeaveHeaderWrite(taken);
    return address;
}

uint32_t TDiskMgr::AppendNewPages(const void* buffer, uint32_t pageCount, uint32_t owner,
                                  uint8_t accessFlags) {
    static const char* const context = "TDiskMgr.AppendNewPages";
    CheckOpen(context);
    TDiskWriteScope scope(*this);
    const uint32_t bytes = PageBytes(pageCount, FPageSize, context);
    const bool taken = EnterHeaderWrite();
    uint32_t address = 0;
    try {
        address = FFile->SeekAndAppendZanFile(buffer, bytes, owner, accessFlags);
    } catch (...) {
        if (taken) ReleaseHeaderLock();
        throw;
    }
    LeaveHeaderWrite(taken);
    return address;
}

void TDiskMgr::ReleasePages(uint32_t address, uint32_t pageCount) {
    static const char* const context = "TDiskMgr.ReleasePages";
    CheckOpen(context);
    TDiskWriteScope scope(*this);
    if (pageCount == 0) return;
    if ((address & (FPageSize - 1)) != 0 || address < 6 * FPageSize)
        ZanDatabaseError(8581, context, "Error in setting map flags - mapping corrupted");
    PageBytes(pageCount, FPageSize, context);
    const bool taken = EnterHeaderWrite();
    FFile->OwnershipMayChange();
    try {
        FMapPageMgr->AdjustMapPageFlags(ZanMapFree, address, pageCount);
        std::vector<uint32_t> pages;
        for (uint32_t i = 0; i < pageCount; ++i)
            pages.push_back(address + i * FPageSize);
        ZeroPages(pages);
    } catch (...) {
        if (taken) ReleaseHeaderLock();
        throw;
    }
    LeaveHeaderWrite(taken);
}

void TDiskMgr::DeleteOwnedPages(uint32_t owner, uint32_t usage, bool allUsages) {
    static const char* const context = "TDiskMgr.DeleteOwnedPages";
    CheckOpen(context);
    TDiskWriteScope scope(*this);
    const bool taken = EnterHeaderWrite();
    FFile->OwnershipMayChange();
    try {
        FFile->GetPageCache().ClearOwnedPages(owner);
        std::vector<uint32_t> pages;
        FMapPageMgr->DeleteOwnedPages(owner, usage, pages, !allUsages);
        if (FGlobalHdr->GetDirty()) WriteHeader();
        ZeroPages(pages);
    } catch (...) {
        if (taken) ReleaseHeaderLock();
        throw;
    }
    LeaveHeaderWrite(taken);
}

void TDiskMgr::ListAllocatedFixedBlocks(uint32_t blockSize, uint32_t owner, uint32_t usage,
                                        std::vector<uint32_t>& list) {
    static const char* const context = "TDiskMgr.ListAllocatedFixedBlocks";
    CheckOpen(context);
    if (blockSize == 0) ZanDatabaseError(8581, context, "Block size is 0");
    const bool held = FHeaderReadLocked || FHeaderWriteLocked;
    if (!held) SetHeaderReadLock();
    std::vector<uint32_t> pages;
    try {
        FMapPageMgr->ListPagesUsedByOwner(owner, usage, pages, true);
    } catch (...) {
        if (!held) ReleaseHeaderLock();
        throw;
    }
    if (!held) ReleaseHeaderLock();
    const uint32_t runPages =
        std::max<uint32_t>(1, GetBestPageRequestSize(blockSize, FPageSize) / FPageSize);
    for (size_t i = 0; i < pages.size();) {
        const uint64_t start = pages[i];
        size_t n = 1;
        while (n < runPages && i + n < pages.size() && pages[i + n] == start + n * FPageSize)
            ++n;
        const uint64_t end = start + uint64_t(n) * FPageSize;
        for (uint64_t a = start; a + blockSize <= end; a += blockSize)
            list.push_back(static_cast<uint32_t>(a));
        i += n;
    }
}

// ----- headers

void TDiskMgr::ReadHeader() {
    if (!FHeaderReadLocked && !FHeaderWriteLocked) ZanDatabaseError(10248, "TDiskMgr.ReadHeader");
    CheckOpen("TDiskMgr.ReadHeader");
    FFile->ReadThroughZanFile(FGlobalHdr->Data(), FGlobalHdr->GetAddress(), FGlobalHdr->GetSize());
    FGlobalHdr->SetDirty(false);
    FGlobalHdr->SetValid(true);
}

void TDiskMgr::WriteHeader() {
    CheckOpen("TDiskMgr.WriteHeader");
    TDiskWriteScope scope(*this);
    bool taken = false;
    if (!FHeaderWriteLocked) {
        // Taken without the re-read a new header lock makes: these are the bytes to write.
        SetTableLock(0, ZanLockWrite);
        taken = !FHeaderReadLocked;
    }
    try {
        FFile->WriteThroughZanFile(FGlobalHdr->Data(), FGlobalHdr->GetAddress(),
                                   FGlobalHdr->GetSize());
    } catch (...) {
        if (taken) ReleaseTableLock(0);
        throw;
    }
    FGlobalHdr->SetDirty(false);
    if (taken) ReleaseTableLock(0);
}

void TDiskMgr::ReadSecurityHeader(TSecurityHeader& header) {
    static const char* const context = "TDiskMgr.ReadSecurityHeader";
    CheckOpen(context);
    uint8_t bytes[TSecurityHeader::Size];
    FFile->ReadThroughZanFile(bytes, TSecurityHeader::Address, TSecurityHeader::Size);
    header.FromBytes(bytes);
    if (header.CalcCRC() != header.CRC)
        ZanDatabaseError(8451, context, "The Security Header CRC is incorrect");
    uint8_t digest[20];
    GetSHA1FromString(FCryptKey, digest);
    if (std::memcmp(digest, header.Digest, sizeof digest) != 0)
        ZanDatabaseError(8451, context, "The MasterKey is incorrect");
}

void TDiskMgr::WriteSecurityHeader(TSecurityHeader& header) {
    CheckOpen("TDiskMgr.WriteSecurityHeader");
    TDiskWriteScope scope(*this);
    header.RecordSize = TSecurityHeader::Size;
    header.WriteTime = Now();
    header.Word1 = 1;
    header.Word2 = 1;
    GetSHA1FromString(FCryptKey, header.Digest);
    header.CRC = 0;
    header.CRC = header.CalcCRC();
    uint8_t bytes[TSecurityHeader::Size];
    header.ToBytes(bytes);
    FFile->WriteThroughZanFile(bytes, TSecurityHeader::Address, TSecurityHeader::Size);
}

std::vector<uint16_t> TDiskMgr::ReadMapEntries(uint32_t address, uint32_t pageCount) {
    CheckOpen("TDiskMgr.ReadMapEntries");
    std::vector<uint16_t> entries;
    if (pageCount == 0) return entries;
    const bool held = FHeaderReadLocked || FHeaderWriteLocked;
    // Map pages change only under the header write lock: a read lock keeps them still while
    // they are read. Inside a transaction it is not enlisted (taken past SetTableLock) and goes
    // back at once, so a transaction on another table never waits for this one's commit.
    const bool take = !held && FMultiUser && FTableLockMgr &&
                      FTableLockMgr->QueryLockType(0) == ZanLockNone;
    if (take) FTableLockMgr->SetReadLock(0, 0);
    TScopeExit release([&] {
        if (take) FTableLockMgr->ReleaseLock(0);
    });
    const uint32_t first = address >> FMapPageMgr->GetPageShift();
    const uint32_t lastMapPage = (first + pageCount - 1) / FMapPageMgr->GetEntriesPerPage();
    // A page beyond the map pages known was added since the header was last read; the header
    // in memory holds nothing unwritten when no header lock is held.
    if (!held && lastMapPage >= FGlobalHdr->GetMapPageCount() && !FGlobalHdr->GetDirty()) {
        FFile->ReadThroughZanFile(FGlobalHdr->Data(), FGlobalHdr->GetAddress(),
                                  FGlobalHdr->GetSize());
        FGlobalHdr->SetValid(true);
    }
    entries.reserve(pageCount);
    for (uint32_t page = first; page - first < pageCount; ++page)
        entries.push_back(FMapPageMgr->GetMapEntry(page << FMapPageMgr->GetPageShift()));
    return entries;
}

// ----- locks

void TDiskMgr::SetHeaderWriteLock() {
    const bool held = FHeaderReadLocked || FHeaderWriteLocked;
    const bool kept = !held && HeaderLockHeld();
    SetTableLock(0, ZanLockWrite);
    FHeaderReadLocked = FHeaderWriteLocked = true;
    if (!held) HeaderLockTakenOrRelease(kept);
}

void TDiskMgr::SetHeaderReadLock() {
    const bool held = FHeaderReadLocked || FHeaderWriteLocked;
    const bool kept = !held && HeaderLockHeld();
    SetTableLock(0, ZanLockRead);
    FHeaderReadLocked = true;
    if (!held) HeaderLockTakenOrRelease(kept);
}

bool TDiskMgr::HeaderLockHeld() const {
    return FMultiUser && FTableLockMgr && FTableLockMgr->QueryLockType(0) != ZanLockNone;
}

void TDiskMgr::HeaderLockGone() {
    if (FMapPageMgr) FMapPageMgr->SetKeepPages(FExclusive);
    if (FFile) FFile->SetSizeSteady(false);
}

void TDiskMgr::HeaderLockTakenOrRelease(bool kept) {
    try {
        HeaderLockTaken(kept);
    } catch (...) {
        // A header that cannot be read leaves no lock behind (inside a transaction the lock
        // stays with the transaction's other locks until it ends); the next lock reads again.
        FGlobalHdr->SetValid(false);
        try {
            ReleaseTableLock(0);
        } catch (...) {
        }
        FHeaderReadLocked = FHeaderWriteLocked = false;
        FMapPageMgr->SetKeepPages(FExclusive);
        throw;
    }
}

void TDiskMgr::HeaderLockTaken(bool kept) {
    // Opened exclusively, nothing but this connection changes the header, the map or the
    // file's end, so what is in memory stays current once read. Likewise when the lock was
    // never really given back (a transaction or write scope holds it to its end).
    if ((FExclusive || kept) && FGlobalHdr->GetValid()) {
        FMapPageMgr->SetKeepPages(true);
        return;
    }
    // Other connections may have changed the header, the map and the file's end. Until the
    // lock is released none can, so map pages are kept meanwhile and the size is asked once.
    FMapPageMgr->ForgetPages();
    FMapPageMgr->SetKeepPages(true);
    FFile->SetSizeSteady(HeaderLockHeld());
    FFile->RefreshLogicalEof();
    ReadHeader();
}

void TDiskMgr::ReleaseHeaderLock() {
    // A header written here is one change with the lock release that publishes it.
    TDiskWriteScope scope(FFile->CheckOpen() ? this : nullptr);
    if (FGlobalHdr && FGlobalHdr->GetDirty() && FFile->CheckOpen()) {
        FFile->WriteThroughZanFile(FGlobalHdr->Data(), FGlobalHdr->GetAddress(),
                                   FGlobalHdr->GetSize());
        FGlobalHdr->SetDirty(false);
    }
    ReleaseTableLock(0);
    FHeaderReadLocked = FHeaderWriteLocked = false;
    // Held on by a transaction or write scope: what is kept stays good until it really goes.
    if (!HeaderLockHeld()) HeaderLockGone();
}

bool TDiskMgr::TakeTableLockUnchecked(uint16_t tableId, int32_t lockType) {
    const bool transaction = IsTransactionActive();
    const bool newly = FTableLockMgr->QueryLockType(tableId) == ZanLockNone;
    // Taken again: a release that waited for the write scope's end is off.
    FDeferredReleases.erase(
        std::remove(FDeferredReleases.begin(), FDeferredReleases.end(), tableId),
        FDeferredReleases.end());
    if (transaction && !FSelectOnly) FTransactionLockMgr->SetWriteLock(tableId, 0);
    int32_t type = transaction && lockType == ZanLockWrite ? ZanLockRead : lockType;
    // A write lock held (one whose release waits for the write scope's end) covers a read.
    if (type != ZanLockWrite && FTableLockMgr->LockExists(tableId, ZanLockWrite)) return false;
    if (type != ZanLockWrite)
        FTableLockMgr->SetReadLock(tableId, 0);
    else
        FTableLockMgr->SetWriteLock(tableId, 0);
    return newly;
}

void TDiskMgr::TakeTableLocksChecked(const uint16_t* ids, const int32_t* types, size_t count) {
    for (int32_t attempt = 0;; ++attempt) {
        // The locks newly had: one look at the journal serves them all, as long as nothing was
        // read under any of them before it.
        // Up to two ids (a table's and the header's) without an allocation.
        std::array<int32_t, 2> few{};
        std::vector<int32_t> many;
        size_t newlyCount = 0;
        auto note = [&](int32_t id) {
            if (count <= few.size())
                few[newlyCount] = id;
            else
                many.push_back(id);
            ++newlyCount;
        };
        auto newly = [&] {
            return count <= few.size() ? std::span<const int32_t>(few.data(), newlyCount)
                                       : std::span<const int32_t>(many);
        };
        auto giveBack = [&] {
            const std::span<const int32_t> had = newly();
            for (size_t i = had.size(); i-- > 0;)
                FTableLockMgr->ReleaseLock(static_cast<uint32_t>(had[i]));
        };
        bool retry = false;
        try {
            // The transaction locks of a table and the header are neighbours: one call.
            if (count == 2 && IsTransactionActive() && !FSelectOnly) {
                const uint32_t both[2] = {ids[0], ids[1]};
                FTransactionLockMgr->SetWriteLocks(both, 2);
            }
            for (size_t i = 0; i < count; ++i)
                if (TakeTableLockUnchecked(ids[i], types[i])) note(ids[i]);
            // A lock newly had may be one a dead committer held: its journal goes back first.
            retry = newlyCount > 0 && CheckJournal(newly());
        } catch (...) {
            giveBack();
            throw;
        }
        if (!retry) return;
        giveBack();
        if (attempt >= FLockRetryCount)
            ZanDatabaseError(10249, "TDiskMgr.SetTableLock",
                             "A journal left by a dead connection is still being restored");
        Sleep(static_cast<uint32_t>(std::max(FLockRetryInterval, 1)));
    }
}

int32_t TDiskMgr::SetTableLock(uint16_t tableId, int32_t lockType) {
    if (!FMultiUser || !FTableLockMgr) return lockType;
    TakeTableLocksChecked(&tableId, &lockType, 1);
    return FTableLockMgr->QueryLockType(tableId);
}

int32_t TDiskMgr::SetTableLockWithHeader(uint16_t tableId, int32_t lockType, bool headerWrite) {
    const bool held = FHeaderReadLocked || FHeaderWriteLocked;
    if (held || tableId == 0 || !FMultiUser || !FTableLockMgr) {
        // Nothing to share: the two locks one after the other.
        const int32_t type = SetTableLock(tableId, lockType);
        if (headerWrite)
            SetHeaderWriteLock();
        else
            SetHeaderReadLock();
        return type;
    }
    const bool kept = HeaderLockHeld();
    const uint16_t ids[2] = {tableId, 0};
    const int32_t types[2] = {lockType, headerWrite ? ZanLockWrite : ZanLockRead};
    // Inside a transaction the locks stay to its end: once both are held (and enlisted), taking
    // them again changes nothing and needs no look at the journal, so it is skipped (every row
    // a cursor changes takes them).
    if (!(kept && LocksKeptByTransaction(tableId, lockType))) TakeTableLocksChecked(ids, types, 2);
    FHeaderReadLocked = true;
    FHeaderWriteLocked = headerWrite;
    // A header that cannot be read gives the header lock back; the table lock stays with the
    // caller, as after SetTableLock and a failed header lock.
    HeaderLockTakenOrRelease(kept);
    return FTableLockMgr->QueryLockType(tableId);
}

bool TDiskMgr::LocksKeptByTransaction(uint16_t tableId, int32_t lockType) const {
    // As TakeTableLockUnchecked takes them in a transaction: the transaction's write lock on
    // each id and, on the table's lock manager, a read lock or a write lock already held. The
    // header's lock is known held (HeaderLockHeld).
    if ((lockType != ZanLockRead && lockType != ZanLockWrite) || !IsTransactionActive() ||
        FSelectOnly || !FTransactionLockMgr || !FDeferredReleases.empty())
        return false;
    return FTableLockMgr->QueryLockType(tableId) != ZanLockNone &&
           FTransactionLockMgr->LockExists(tableId, ZanLockWrite) &&
           FTransactionLockMgr->LockExists(0, ZanLockWrite);
}

void TDiskMgr::ReleaseTableLock(uint16_t tableId) {
    if (IsTransactionActive() || !FMultiUser || !FTableLockMgr) return;
    // Inside a write scope a write lock goes when the scope's changes are on disk.
    if (FScopeTransaction && FTableLockMgr->LockExists(tableId, ZanLockWrite)) {
        if (std::find(FDeferredReleases.begin(), FDeferredReleases.end(), tableId) ==
            FDeferredReleases.end())
            FDeferredReleases.push_back(tableId);
        return;
    }
    FTableLockMgr->ReleaseLock(tableId);
    if (tableId == 0) HeaderLockGone();
}

int32_t TDiskMgr::QueryTableLockStatus(uint16_t tableId) const {
    if (!FMultiUser || !FTableLockMgr) return ZanLockRead;
    return FTableLockMgr->QueryLockType(tableId);
}

int32_t TDiskMgr::SetRecordLock(uint32_t recordAddress, uint16_t tableId) {
    if (!FMultiUser || !FRecordLockMgr) return ZanLockWrite;
    if (IsTransactionActive()) FTransactionLockMgr->SetWriteLock(tableId, 0);
    FRecordLockMgr->SetWriteLock(recordAddress, 0);
    return FRecordLockMgr->QueryLockType(recordAddress);
}

void TDiskMgr::ReleaseRecordLock(uint32_t recordAddress) {
    if (IsTransactionActive() || !FMultiUser || !FRecordLockMgr) return;
    FRecordLockMgr->ReleaseLock(recordAddress);
}

int32_t TDiskMgr::QueryRecordLockStatus(uint32_t recordAddress) const {
    if (!FMultiUser || !FRecordLockMgr) return ZanLockRead;
    return FRecordLockMgr->QueryLockType(recordAddress);
}

void TDiskMgr::ReleaseAllLocks() {
    FDeferredReleases.clear();
    if (!FFile->CheckOpen() || !FMultiUser) return;
    // After a lock timeout the pause comes once, when every lock is given back: the connection
    // this one waited on then finds them free at its next attempt.
    TBaseLockMgr* owed = nullptr;
    for (TBaseLockMgr* manager :
         {FTableLockMgr.get(), FRecordLockMgr.get(), FTransactionLockMgr.get()})
        if (manager && manager->TakePauseOwed()) owed = manager;
    {
        // The managers' ranges in as few unlocks as they allow.
        TUnlockBatch batch(SharedLockFile());
        if (FTableLockMgr) FTableLockMgr->ReleaseAllLocks();
        HeaderLockGone();
        if (FRecordLockMgr) FRecordLockMgr->ReleaseAllLocks();
        if (FTransactionLockMgr) FTransactionLockMgr->ReleaseAllLocks();
        FinishUnlockBatch(batch, "TDiskMgr.ReleaseAllLocks");
    }
    if (owed) owed->PauseAfterTimeout();
}

// ----- transactions

void TDiskMgr::DiskStartTransaction(bool selectOnly) {
    CheckOpen("TDiskMgr.DiskStartTransaction");
    if (FScopeTransaction)
        ZanDatabaseError(10256, "TDiskMgr.DiskStartTransaction",
                         "A transaction cannot start inside a write scope");
    FFile->StartTransaction();
    FSelectOnly = selectOnly;
}

void TDiskMgr::DiskCommit() {
    static const char* const context = "TDiskMgr.DiskCommit";
    CheckOpen(context);
    if (!IsTransactionActive()) ZanDatabaseError(10257, context);
    // A header changed under a lock still held belongs to this transaction.
    if (FGlobalHdr->GetDirty()) {
        FFile->WriteThroughZanFile(FGlobalHdr->Data(), FGlobalHdr->GetAddress(),
                                   FGlobalHdr->GetSize());
        FGlobalHdr->SetDirty(false);
    }
    // A transaction that wrote nothing needs no write locks: upgrading would only make two
    // readers time each other out.
    const bool pending = FFile->HasPendingChanges();
    if (FMultiUser && FTableLockMgr && pending) FTableLockMgr->UpgradeReadLocks();
    const bool journal = pending && FFile->GetJournalActive();
    // The commit lock is given back with the transaction's locks, in one unlock where no
    // other lock of this connection lies between them.
    TUnlockBatch batch(journal ? SharedLockFile() : nullptr);
    if (journal) {
        TakeCommitLock();
        TScopeExit release([this] { ReleaseCommitLock(); });
        CommitWithCommitLock(context);
    } else {
        FFile->Commit();
    }
    FSelectOnly = false;
    ReleaseAllLocks();
    FinishUnlockBatch(batch, context);
    FHeaderReadLocked = FHeaderWriteLocked = false;
}

TWinFile* TDiskMgr::SharedLockFile() const {
    return FMultiUser && !FExclusive && FUserMonitor && FUserMonitor->IsOpen()
               ? FUserMonitor->GetLockFileHandle()
               : nullptr;
}

void TDiskMgr::FinishUnlockBatch(TUnlockBatch& batch, const char* context) {
    try {
        batch.Finish();
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, context, e.Message(), this);
    }
}

void TDiskMgr::DiskRollback() {
    static const char* const context = "TDiskMgr.DiskRollback";
    CheckOpen(context);
    if (FScopeTransaction) ZanDatabaseError(10257, context);

    FFile->Rollback();
    FSelectOnly = false;
    FMapPageMgr->InvalidateBuffer();
    // The transaction is over whatever follows: its locks go back on every path, also when
    // the global header cannot be locked or read again.
    TScopeExit release([this] {
        FHeaderReadLocked = FHeaderWriteLocked = false;
        FMapPageMgr->SetKeepPages(FExclusive);
        ReleaseAllLocks();
    });
    const bool held = FHeaderReadLocked || FHeaderWriteLocked;
    try {
        if (!held) SetHeaderReadLock();
        ReadHeader();
    } catch (...) {
        // What is in memory may be the rolled-back header: the next header lock reads it.
        FGlobalHdr->SetValid(false);
        throw;
    }
    if (!held) ReleaseHeaderLock();
}

void TDiskMgr::ForceToDisk() {
    if (!FFile->CheckOpen()) return;
    if (!FFile->GetTransactionActive() && FGlobalHdr && FGlobalHdr->GetDirty() &&
        FHeaderWriteLocked)
        WriteHeader();
    FFile->FlushBuffers();
}

uint64_t TDiskMgr::GetFileSize() const {
    if (!FFile->CheckOpen())
        ZanDatabaseError(8581, "TDiskMgr.GetFileSize", "Unable to get file size");
    return FFile->SeekZanEof();
}

uint32_t TDiskMgr::DiskCacheSize() const {
    return FFile->CheckOpen() ? FFile->GetPageCache().TotalCacheSize() : 0;
}

void TDiskMgr::CopyCurrentFile(const std::string& fileName) {
    // No commit writes in place while the bytes are copied.
    const bool locked = FMultiUser && FUserMonitor && !FCommitLocked;
    if (locked) TakeCommitLock();
    TScopeExit release([&] {
        if (locked) ReleaseCommitLock();
    });
    // A journal left by a dead committer is restored first, or the copy would hold its
    // half-written commit without the journal that repairs it.
    if (FCommitLocked) RecoverLeftoverJournal("TDiskMgr.CopyCurrentFile");
    FFile->CopyZanFile(fileName);
}

void TDiskMgr::GetCurrentUsers(TStrings& list) {
    if (!FMultiUser || !FUserMonitor)
        ZanDatabaseError(10501, "TDiskMgr.GetCurrentUsers",
                         "Connection details unavailable for read only database files");
    FUserMonitor->GetCurrentUsers(list);
}

// ----- commit lock and journal recovery

bool TDiskMgr::TryCommitLock() {
    if (FCommitLocked) return true;
    if (!FUserMonitor || !FUserMonitor->IsOpen()) return false;
    // Opened exclusively, no other connection commits: the lock is had without a system call.
    FCommitLocked = FExclusive || FUserMonitor->GetLockFileHandle()->TryLock(CommitLockOffset, 1);
    return FCommitLocked;
}

void TDiskMgr::TakeCommitLock() {
    for (int32_t attempt = 0;; ++attempt) {
        if (TryCommitLock()) return;
        if (attempt >= FLockRetryCount)
            ZanDatabaseError(10249, "TDiskMgr.TakeCommitLock",
                             "The commit lock could not be obtained");
        Sleep(static_cast<uint32_t>(std::max(FLockRetryInterval, 1)));
    }
}

void TDiskMgr::ReleaseCommitLock() noexcept {
    if (!FCommitLocked) return;
    FCommitLocked = false;
    if (FUserMonitor && FUserMonitor->IsOpen() && !FExclusive)
        FUserMonitor->GetLockFileHandle()->Unlock(CommitLockOffset, 1);
}

void TDiskMgr::CommitWithCommitLock(const char* context) {
    // A journal at the path has no live writer now: restore or remove it first. Our own kept,
    // empty journal in place means there is none.
    RecoverLeftoverJournal(context);
    FFile->SetJournalLockIds(WriteLockedIds());
    FFile->Commit();
}

std::bitset<ZanJournalLockIds> TDiskMgr::WriteLockedIds() const {
    std::bitset<ZanJournalLockIds> ids;
    if (FTableLockMgr)
        for (const TLockItem& item : FTableLockMgr->GetLocks())
            if (item.LckType == ZanLockWrite && item.RqID < ZanJournalLockIds) ids.set(item.RqID);
    return ids;
}

void TDiskMgr::RecoverLeftoverJournal(const char* context) {
    // Holding the commit lock: a journal at the path has no live writer. Restore or remove it;
    // our own kept, empty journal in place means there is none (opened exclusively, no one
    // else can have touched it: not even looked at).
    if (FFile->JournalKeptReady(FExclusive)) return;
    const TJournalCheck check = InspectJournal(FFile->GetJournalFileName(), FFileName);
    if (check.State == jsForeign)
        ZanDatabaseError(9217, context,
                         "The journal path " + FFile->GetJournalFileName() +
                             " holds something else: " + check.Reason);
    RaiseOnBadJournal(check);
    if (check.State != jsAbsent && check.State != jsEmpty) RecoverWithCommitLock(check);
}

void TDiskMgr::RaiseOnBadJournal(const TJournalCheck& check) const {
    if (check.State == jsDamaged)
        ZanDatabaseError(8962, "TDiskMgr.CheckJournal",
                         "The journal " + FFile->GetJournalFileName() + " is damaged: " +
                             check.Reason);
    if (check.State == jsOtherDatabase)
        ZanDatabaseError(8449, "TDiskMgr.CheckJournal",
                         "The journal " + FFile->GetJournalFileName() +
                             " belongs to another database");
}

bool TDiskMgr::CheckJournal(std::span<const int32_t> justTaken) {
    // Our own commit or restore is at work, or no one else can have written the file.
    if (FInJournalCheck || FCommitLocked || (!justTaken.empty() && FExclusive)) return false;
    // Our kept journal, invalidated, is still the file there: nothing to restore.
    if (FFile->JournalKeptIdle()) return false;
    TJournalCheck check = InspectJournal(FFile->GetJournalFileName(), FFileName);
    if (check.State == jsAbsent || check.State == jsEmpty || check.State == jsForeign)
        return false;
    if (!FMultiUser) {
        // No one else writes this file: what is seen is what is there.
        RaiseOnBadJournal(check);
        // Read-only on disk: nothing can be written back.
        if (check.State == jsHot)
            ZanDatabaseError(8449, "TDiskMgr.CheckJournal",
                             "The database file is read-only and its journal " +
                                 FFile->GetJournalFileName() + " must be restored first");
        return false;
    }
    if (!TryCommitLock())
        // A live committer writes its journal (it holds all its ids), or someone restores.
        // What was read may be a view torn by that writer: no verdict is given on it.
        return check.State == jsHot &&
               std::any_of(justTaken.begin(), justTaken.end(), [&](int32_t id) {
                   return static_cast<uint32_t>(id) < ZanJournalLockIds &&
                          check.Header.LockIds.test(static_cast<size_t>(id));
               });
    TScopeExit release([this] { ReleaseCommitLock(); });
    // Under the commit lock the journal stands still: look again before judging it.
    check = InspectJournal(FFile->GetJournalFileName(), FFileName);
    if (check.State == jsAbsent || check.State == jsEmpty || check.State == jsForeign)
        return false;
    RaiseOnBadJournal(check);
    RecoverWithCommitLock(check);
    return false;
}

void TDiskMgr::RecoverWithCommitLock(const TJournalCheck& check) {
    FInJournalCheck = true;
    std::vector<uint32_t> taken;
    TScopeExit done([&] {
        for (uint32_t id : taken)
            FTableLockMgr->ReleaseLock(id);
        FInJournalCheck = false;
    });
    const auto& ids = check.Header.LockIds;
    if (check.State == jsHot && FTableLockMgr)
        for (size_t i = ids._Find_first(); i < ZanJournalLockIds; i = ids._Find_next(i)) {
            const uint32_t id = static_cast<uint32_t>(i);
            if (FTableLockMgr->QueryLockType(id) == ZanLockNone) {
                FTableLockMgr->SetWriteLock(id, 0);
                taken.push_back(id);
            }
        }
    const TJournalState state =
        RecoverJournal(FFile->GetJournalFileName(), FFileName, FSyncCommits);
    if (state != jsHot) return;
    // Cached copies may hold bytes just undone.
    for (size_t id = ids._Find_first(); id < ZanJournalLockIds; id = ids._Find_next(id))
        FFile->GetPageCache().ClearOwnedPages(static_cast<uint32_t>(id));
    if (FMapPageMgr) FMapPageMgr->InvalidateBuffer();
    if (FGlobalHdr) FGlobalHdr->SetValid(false);
    // The file may have been cut to its old size and its bytes put back.
    FFile->FileChangedElsewhere();
}

// ----- write scopes

void TDiskMgr::BeginOutermostWriteScope() {
    if (!FFile->CheckOpen() || FFile->GetTransactionActive() || !FFile->GetJournalActive())
        return;
    FFile->StartTransaction();
    FFile->GetPageCache().SetReplaceClean(true);
    FScopeTransaction = true;
}

void TDiskMgr::EndOutermostWriteScope(bool failed) {
    ZanAssert(FScopeDepth > 0, "Write scope ended twice");
    if (--FScopeDepth > 0 || !FScopeTransaction) return;
    if (failed) {
        RollbackWriteScope();
        return;
    }
    try {
        CommitWriteScope();
    } catch (...) {
        RollbackWriteScope();
        throw;
    }
}

void TDiskMgr::CommitWriteScope() {
    // A header changed under a lock still held is part of the scope's change.
    if (FGlobalHdr && FGlobalHdr->GetDirty() && FHeaderWriteLocked) {
        FFile->WriteThroughZanFile(FGlobalHdr->Data(), FGlobalHdr->GetAddress(),
                                   FGlobalHdr->GetSize());
        FGlobalHdr->SetDirty(false);
    }
    const bool pending = FFile->HasPendingChanges();
    // The commit lock is given back with the scope's deferred locks, in one unlock where no
    // other lock of this connection lies between them.
    TUnlockBatch batch(pending ? SharedLockFile() : nullptr);
    if (pending) {
        TakeCommitLock();
        TScopeExit release([this] { ReleaseCommitLock(); });
        CommitWithCommitLock("TDiskMgr.CommitWriteScope");
    } else {
        FFile->Commit(); // nothing to write: ends the buffering
    }
    FinishWriteScope(); // the batch ends after it; a failed unlock is left as there
}

void TDiskMgr::RollbackWriteScope() noexcept {
    try {
        if (FFile->GetTransactionActive()) FFile->Rollback();
        if (FMapPageMgr) FMapPageMgr->InvalidateBuffer();
        // The header in memory may carry the scope's changes: read it again.
        if (FGlobalHdr) {
            FGlobalHdr->SetValid(false);
            if (FHeaderReadLocked || FHeaderWriteLocked) ReadHeader();
        }
    } catch (...) {
        // The next header lock reads the header again.
    }
    FinishWriteScope();
}

void TDiskMgr::FinishWriteScope() noexcept {
    FScopeTransaction = false;
    FFile->GetPageCache().SetReplaceClean(false);
    std::vector<uint16_t> deferred;
    deferred.swap(FDeferredReleases);
    if (deferred.empty() || IsTransactionActive() || !FMultiUser || !FTableLockMgr) return;
    // All in one go: the locks of neighbouring ids (the header's and the first tables') are
    // one unlock.
    try {
        FTableLockMgr->ReleaseLocks(std::vector<uint32_t>(deferred.begin(), deferred.end()));
    } catch (...) {
    }
    if (std::find(deferred.begin(), deferred.end(), 0) != deferred.end()) HeaderLockGone();
}

// ----- diagnostics

void TDiskMgr::DebugListOwnedPages(uint32_t owner, uint32_t usage, bool withUsage,
                                   TStrings& lines) {
    CheckOpen("TDiskMgr.DebugListOwnedPages");
    std::vector<uint32_t> pages;
    FMapPageMgr->ListPagesUsedByOwner(owner, usage, pages, withUsage);
    for (uint32_t address : pages)
        lines.Add(Format("Page %d", address));
}

void TDiskMgr::DebugDumpHeaderAndMap(TStrings& lines) {
    CheckOpen("TDiskMgr.DebugDumpHeaderAndMap");
    lines.Add(Format("FirstMapPageEmpty %d FirstMapPage %d MapPageCount %d",
                     FGlobalHdr->GetFirstMapPageEmpty(), FGlobalHdr->GetFirstMapPage(),
                     FGlobalHdr->GetMapPageCount()));
    FMapPageMgr->DebugDumpMapContents(lines);
}

std::vector<std::string> TDiskMgr::DebugCheckMap() {
    CheckOpen("TDiskMgr.DebugCheckMap");
    return FMapPageMgr->DebugCheckStatus();
}

} // namespace zan
