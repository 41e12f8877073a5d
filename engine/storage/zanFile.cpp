#include "engine/storage/zanFile.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"
#include "host/win/WinSys.h"

namespace zan {

void ZanSetWriteKillPoint(uint64_t n) {
    ZanArmCrashPoint(n);
}

TZanFile::TZanFile() {
    ConnectCaches();
}

TZanFile::~TZanFile() {
    CloseZanFile();
}

void TZanFile::ConnectCaches() {
    FPageCache.SetReadIO([this](uint8_t* buffer, uint32_t owner, uint32_t address, uint8_t flags) {
        return PageRead(buffer, owner, address, flags);
    });
    FPageCache.SetWriteIO([this](const uint8_t* buffer, uint32_t owner, uint32_t address,
                                 uint8_t flags) { PageWrite(buffer, owner, address, flags); });
    // The stored bytes of a page about to change, for the journal: a copy, or the scrambled
    // bytes; ciphering a strong page costs more than reading its old bytes back.
    FPageCache.SetStoreIO([this](const uint8_t* source, uint8_t* target, uint32_t owner,
                                 uint8_t flags) {
        if ((flags & (ZanAccessXOR | ZanAccessBlowfish)) == ZanAccessBlowfish) return false;
        Cipher(true, source, target, flags, owner, FPageSize);
        return true;
    });
    FPageCache.SetPlainStoreFlags(ZanAccessXOR | ZanAccessBlowfish);
    // A batch read's missing pages are asked of the system at once, a call per run of
    // neighbouring pages: it may fetch them together while the cache reads them one by one.
    FPageCache.SetAdviseIO([this](const std::vector<uint32_t>& bases) {
        const int fd = FFile.GetHandle();
        if (fd < 0) return;
        for (size_t i = 0; i < bases.size();) {
            size_t j = i + 1;
            while (j < bases.size() && uint64_t(bases[j]) == uint64_t(bases[j - 1]) + FPageSize)
                ++j;
            // Advice only: a refusal changes nothing the reads rely on.
            (void)posix_fadvise(fd, off_t(bases[i]), off_t(uint64_t(j - i) * FPageSize),
                                POSIX_FADV_WILLNEED);
            i = j;
        }
    });
    // The block cache reads only inside a transaction, where bytes between the size on disk
    // and the logical end are not written yet.
    FBlockCache.SetReadIO([this](uint8_t* buffer, uint32_t, uint32_t size, uint32_t address,
                                 uint8_t) { ReadStoredBlock(buffer, size, address); });
    FBlockCache.SetWriteIO([this](const uint8_t* buffer, uint32_t, uint32_t size, uint32_t address,
                                  uint8_t) { FileWrite(buffer, size, address); });
}

int32_t TZanFile::CachePageCountFor(uint64_t fileSize, uint32_t pageSize) {
    if (pageSize == 0) return 50;
    uint64_t pages = (fileSize / pageSize) / 4;
    return static_cast<int32_t>(std::clamp<uint64_t>(pages, 50, 1000));
}

int32_t TZanFile::CreateZanFile(const std::string& fileName) {
    if (CheckOpen()) CloseZanFile();
    if (FPageSize == 0)
        ZanDatabaseError(8581, "TZanFile.CreateZanFile", "Database page size not set on opening");
    const TFileShare share = FOpenReadExclusive || FOpenWriteExclusive ? fsExclusive : fsDenyNone;
    try {
        FFile.Create(fileName, share, true);
    } catch (const EOSError& e) {
        ZanDatabaseError(8582, "TZanFile.CreateZanFile", e.Message());
    }
    FPageCache.Open(50, FPageSize);
    FPageBuffer.assign(FPageSize, 0);
    FShareKeepsSize = share == fsExclusive;
    FKnownSize = FShareKeepsSize ? static_cast<int64_t>(FFile.Size()) : -1;
    return FFile.GetHandle();
}

int32_t TZanFile::OpenZanFile(const std::string& fileName) {
    // Closing forgets the keys: an open file is closed, and its keys must be set again.
    if (CheckOpen()) CloseZanFile();
    if (FPageSize == 0)
        ZanDatabaseError(8581, "TZanFile.OpenZanFile", "Database page size not set on opening");
    if (FXORKey.empty())
        ZanDatabaseError(8581, "TZanFile.OpenZanFile", "Crypt key not set before opening");
    TFileAccess access = faRead;
    if (FOpenWrite) access = FOpenRead ? faReadWrite : faWrite;
    TFileShare share = fsDenyNone;
    if (FOpenReadExclusive && FOpenWriteExclusive)
        share = fsExclusive;
    else if (FOpenWriteExclusive)
        share = fsDenyWrite;
    else if (FOpenReadExclusive)
        share = fsDenyRead;
    try {
        FFile.Open(fileName, access, share);
    } catch (const EOSError& e) {
        ZanDatabaseError(8449, "TZanFile.OpenZanFile",
                         "Unable to open file. Error type of: " + e.Message());
    }
    try {
        FPageCache.Open(CachePageCountFor(FFile.Size(), FPageSize), FPageSize);
    } catch (...) {
        FFile.Close();
        throw;
    }
    FPageBuffer.assign(FPageSize, 0);
    // No other handle can change the size: it is tracked here instead of asked for.
    FShareKeepsSize = share == fsExclusive || share == fsDenyWrite;
    FKnownSize = FShareKeepsSize ? static_cast<int64_t>(FFile.Size()) : -1;
    return FFile.GetHandle();
}

void TZanFile::CloseZanFile() {
    FKnownSize = -1;
    FFixedKept = false;
    FShareKeepsSize = FSizeSteady = false;
    FCleanBlocks.clear();
    FHeldStretches.clear();
    FJournal.Abandon();
    FJournalMode = 0;
    FPageCache.Close();
    FBlockCache.Close();
    FFile.Close();
    FTransactionActive = false;
    FLogicalEof = 0;
    FPageBuffer.clear();
    FXORKey.clear();
    FBlowKey.clear();
    BlowfishBurn(FBlowfish);
}

void TZanFile::SetXORKeyBuf(const void* key, int32_t length) {
    if (CheckOpen())
        ZanDatabaseError(8581, "TZanFile.SetXORKeyBuf", "Cannot set Crypt key on an opened file");
    const auto* bytes = static_cast<const uint8_t*>(key);
    FXORKey.assign(bytes, bytes + std::max(length, 0));
}

void TZanFile::SetBlowKeyBuf(const void* key, int32_t length) {
    const auto* bytes = static_cast<const uint8_t*>(key);
    FBlowKey.assign(bytes, bytes + std::max(length, 0));
    if (FBlowKey.empty()) {
        BlowfishBurn(FBlowfish);
        return;
    }
    BlowfishInit(FBlowfish, FBlowKey.data(), static_cast<int32_t>(FBlowKey.size()) * 8);
}

// ---------------------------------------------------------------------------------------------
// Checks, cipher and file transfers

void TZanFile::OwnerOutOfRange() const {
    GDBLogger().LogItem("ZanFile", "Invalid table id");
}

void TZanFile::RangeTooFar(uint32_t address, uint64_t count, const char* context) const {
    ZanDatabaseErrorFmt(9482, context,
                        "The database file cannot grow beyond the page at address 0x%x "
                        "(request of %d bytes at %d)",
                        {ZanMaxPageAddress, count, address});
}

void TZanFile::Cipher(bool encrypt, const uint8_t* source, uint8_t* target, uint8_t accessFlags,
                      uint32_t owner, uint32_t count) {
    if ((accessFlags & (ZanAccessXOR | ZanAccessBlowfish)) == 0) {
        if (source != target) std::memcpy(target, source, count);
    } else if ((accessFlags & ZanAccessXOR) == 0) {
        if (FBlowKey.empty())
            ZanDatabaseError(8581, "TZanFile.CryptBuffer", "Crypt key not set before opening");
        // Every page starts from the same register, so each page can be read alone.
        BlowfishReset(FBlowfish);
        if (encrypt)
            BlowfishEncryptCFB(FBlowfish, source, target, static_cast<int32_t>(count));
        else
            BlowfishDecryptCFB(FBlowfish, source, target, static_cast<int32_t>(count));
        BlowfishReset(FBlowfish);
    } else {
        if (FXORKey.empty())
            ZanDatabaseError(8581, "TZanFile.CryptBuffer", "Crypt key not set before opening");
        XORCryptBuf(source, target, FXORKey.data(), static_cast<int32_t>(owner),
                    static_cast<int32_t>(FXORKey.size()), static_cast<int32_t>(count));
    }
}

bool TZanFile::LoadFixedImage() {
    if (FFixedKept) return true;
    if (!FixedImageAllowed() || !CheckOpen()) return false;
    try {
        ++FReadCalls;
        // A file shorter than the fixed regions (one being created) is not held.
        FFixedKept = FFile.ReadAt(FFixedImage.data(), FFixedImage.size(), 0) == FFixedImage.size();
    } catch (const EOSError&) {
        FFixedKept = false; // the read asked for next says what is wrong
    }
    return FFixedKept;
}

void TZanFile::FileRead(uint8_t* buffer, uint32_t count, uint64_t address, bool fillTail) {
    if (!CheckOpen())
        ZanDatabaseError(8450, "TZanFile.Read", "Unable to seek for file read operation");
    // The global header at every header lock and the definition header come from the held
    // fixed regions.
    if (address + count <= ZanFixedRegionsEnd && LoadFixedImage()) {
        std::memcpy(buffer, FFixedImage.data() + address, count);
        return;
    }
    size_t n = 0;
    try {
        ++FReadCalls;
        n = FFile.ReadAt(buffer, count, address);
    } catch (const EOSError& e) {
        ZanDatabaseError(9217, "TZanFile.Read",
                         "Unable to complete file read operation. " + e.Message());
    }
    if (n < count) {
        if (!fillTail)
            ZanDatabaseError(9217, "TZanFile.Read", "Unable to complete file read operation");
        std::memset(buffer + n, 0, count - n);
    }
}

void TZanFile::FollowFixedRegions(const void* bytes, uint64_t address, uint64_t len) {
    if (FFixedKept && address < FFixedImage.size())
        std::memcpy(FFixedImage.data() + address, bytes,
                    std::min<uint64_t>(len, FFixedImage.size() - address));
}

void TZanFile::NoteWritten(uint64_t end) {
    if (FKnownSize >= 0) FKnownSize = std::max<int64_t>(FKnownSize, static_cast<int64_t>(end));
}

void TZanFile::WriteFailed(const std::string& why) {
    FKnownSize = -1; // a partial write may have grown the file
    FFixedKept = false;
    ZanDatabaseError(9218, "TZanFile.Write", "Unable to complete file write operation. " + why);
}

void TZanFile::FileWrite(const uint8_t* buffer, uint32_t count, uint64_t address) {
    if (!CheckOpen())
        ZanDatabaseError(8450, "TZanFile.Write", "Unable to seek for file write operation");
    CheckRange(static_cast<uint32_t>(address), count, "TZanFile.Write");
    DropCleanBlocks(address, count);
    bool killAfter = false;
    const size_t todo = ZanCrashWritePoint(count, killAfter);
    try {
        ++FWriteCalls;
        FFile.WriteAt(buffer, todo, address);
        if (killAfter) ZanCrashNow();
        NoteWritten(address + count);
    } catch (const EOSError& e) {
        WriteFailed(e.Message());
    }
    // What is held of the file follows the write.
    FollowFixedRegions(buffer, address, count);
    if (FShareKeepsSize && count < FPageSize) KeepCleanBlock(buffer, count, static_cast<uint32_t>(address));
}

void TZanFile::FileWriteV(std::vector<iovec>& iov, uint64_t address) {
    if (!CheckOpen())
        ZanDatabaseError(8450, "TZanFile.Write", "Unable to seek for file write operation");
    uint64_t count = 0;
    for (const iovec& v : iov)
        count += v.iov_len;
    CheckRange(static_cast<uint32_t>(address), count, "TZanFile.Write");
    DropCleanBlocks(address, count);
    // What is held of the fixed regions follows the write (a failed write drops it below).
    uint64_t at = address;
    for (const iovec& v : iov) {
        FollowFixedRegions(v.iov_base, at, v.iov_len);
        at += v.iov_len;
    }
    ++FWriteCalls;
    if (!ZanPWriteAllV(FFile.GetHandle(), iov.data(), static_cast<int>(iov.size()), address))
        WriteFailed(SysErrorMessage(errno));
    NoteWritten(address + count);
}

void TZanFile::ReadStoredBlock(uint8_t* buffer, uint32_t count, uint64_t address) {
    if (FShareKeepsSize && ReadCleanBlock(buffer, count, static_cast<uint32_t>(address))) return;
    FileRead(buffer, count, address, true);
    // Bytes beyond the end read as zeros and are not the file's.
    if (FShareKeepsSize && address + count <= GetPhysicalSize())
        KeepCleanBlock(buffer, count, static_cast<uint32_t>(address));
    // Shared: held for the journal when the size is known without asking (the header lock is
    // held) and the stretch lies within it.
    else if (!FShareKeepsSize && FTransactionActive && FLockChangeCount && FKnownSize >= 0 &&
             address + count <= static_cast<uint64_t>(FKnownSize))
        HoldReadStretch(buffer, count, address);
}

bool TZanFile::PageRead(uint8_t* buffer, uint32_t owner, uint32_t address, uint8_t accessFlags) {
    uint8_t* work = FPageBuffer.data();
    FileRead(work, FPageSize, address, FTransactionActive || FFillShortReads);
    bool pending = false;
    if (FTransactionActive && FBlockCache.PatchRange(work, address, FPageSize)) {
        // The page now carries the pending raw bytes; the cache keeps it dirty instead.
        FBlockCache.DropRange(address, FPageSize);
        pending = true;
    }
    Cipher(false, work, buffer, accessFlags, owner, FPageSize);
    return pending;
}

void TZanFile::PageWrite(const uint8_t* buffer, uint32_t owner, uint32_t address,
                         uint8_t accessFlags) {
    uint8_t* work = FPageBuffer.data();
    Cipher(true, buffer, work, accessFlags, owner, FPageSize);
    FileWrite(work, FPageSize, address);
}

void TZanFile::DirectPageTransfer(uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                                  uint8_t accessFlags, bool write) {
    const uint32_t mask = ~(FPageSize - 1);
    std::vector<uint8_t> page(FPageSize);
    uint32_t base = address & mask;
    uint32_t offset = address - base;
    while (count > 0) {
        uint32_t n = std::min(FPageSize - offset, count);
        if (!write || n < FPageSize) PageRead(page.data(), owner, base, accessFlags);
        if (write) {
            std::memcpy(page.data() + offset, buffer, n);
            PageWrite(page.data(), owner, base, accessFlags);
            FPageCache.RemovePage(base); // a cached copy is stale now
        } else {
            std::memcpy(buffer, page.data() + offset, n);
        }
        buffer += n;
        count -= n;
        base += FPageSize;
        offset = 0;
    }
}

void TZanFile::RawRead(uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                       uint8_t accessFlags) {
    if (!FTransactionActive) {
        if (FShareKeepsSize && ReadCleanBlock(buffer, count, address)) return;
        FileRead(buffer, count, address, false);
        if (FShareKeepsSize) KeepCleanBlock(buffer, count, address);
        return;
    }
    FBlockCache.ReadBlock(buffer, owner, count, address, accessFlags);
    // Dirty pages in the range hold the newest bytes: patch their on-disk image in.
    PatchDirtyPages(buffer, address, count);
}

void TZanFile::PatchDirtyPages(uint8_t* buffer, uint32_t address, uint32_t count) {
    if (!FPageCache.GetIsOpen() || FPageCache.Count() == 0) return;
    const uint32_t mask = FPageCache.GetAddressMask();
    const uint64_t end = uint64_t(address) + count;
    std::vector<uint8_t> image;
    for (uint64_t base = address & mask; base < end; base += FPageSize) {
        TCachePage* page = FPageCache.FindCachedPage(static_cast<uint32_t>(base));
        if (!page || page->GetState() != cpDirty) continue;
        image.resize(FPageSize);
        Cipher(true, page->GetPageData(), image.data(), page->GetAccessFlags(), page->GetOwner(),
               FPageSize);
        const uint64_t lo = std::max<uint64_t>(base, address);
        const uint64_t hi = std::min<uint64_t>(base + FPageSize, end);
        std::memcpy(buffer + (lo - address), image.data() + (lo - base), hi - lo);
    }
}

void TZanFile::RawWrite(const uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                        uint8_t accessFlags) {
    const uint64_t end = uint64_t(address) + count;
    if (!FTransactionActive) {
        FileWrite(buffer, count, address);
        // Cached copies of the pages written are stale now.
        if (FPageCache.GetIsOpen())
            for (uint64_t base = address & FPageCache.GetAddressMask(); base < end;
                 base += FPageSize)
                FPageCache.RemovePage(static_cast<uint32_t>(base));
        return;
    }
    if (FPageCache.GetIsOpen()) {
        std::vector<uint8_t> image;
        for (uint64_t base = address & FPageCache.GetAddressMask(); base < end; base += FPageSize) {
            TCachePage* page = FPageCache.FindCachedPage(static_cast<uint32_t>(base));
            if (!page) continue;
            if (page->GetState() == cpDirty) {
                // The page's changes stay pending, as the raw bytes they will become.
                image.resize(FPageSize);
                Cipher(true, page->GetPageData(), image.data(), page->GetAccessFlags(),
                       page->GetOwner(), FPageSize);
                FBlockCache.WriteBlock(image.data(), page->GetOwner(), FPageSize,
                                       static_cast<uint32_t>(base), 0);
            }
            FPageCache.RemovePage(static_cast<uint32_t>(base));
        }
    }
    FBlockCache.WriteBlock(buffer, owner, count, address, accessFlags);
}

void TZanFile::DropBlocksOfPages(uint32_t address, uint32_t count) {
    if (!FTransactionActive || count == 0) return;
    const uint32_t mask = ~(FPageSize - 1);
    const uint64_t first = address & mask;
    const uint64_t last = (uint64_t(address) + count - 1) & ~uint64_t(FPageSize - 1);
    FBlockCache.DropRange(static_cast<uint32_t>(first), last + FPageSize - first);
}

// ---------------------------------------------------------------------------------------------
// Routing

void TZanFile::SeekAndReadZanFile(void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                                  uint8_t accessFlags) {
    if (count == 0) return;
    CheckOwner(owner);
    CheckRange(address, count, "TZanFile.SeekAndReadZanFile");
    auto* out = static_cast<uint8_t*>(buffer);
    if (PagePath(accessFlags))
        FPageCache.ReadCache(out, owner, count, address, accessFlags);
    else if (accessFlags & ZanAccessPage)
        DirectPageTransfer(out, owner, count, address, accessFlags, false);
    else
        RawRead(out, owner, count, address, accessFlags);
}

void TZanFile::SeekAndWriteZanFile(const void* buffer, uint32_t owner, uint32_t count,
                                   uint32_t address, uint8_t accessFlags) {
    if (count == 0) return;
    CheckOwner(owner);
    CheckRange(address, count, "TZanFile.SeekAndWriteZanFile");
    const auto* in = static_cast<const uint8_t*>(buffer);
    // A partial write of a page beyond the end of the file reads zeros first.
    FFillShortReads = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{FFillShortReads};
    if (PagePath(accessFlags)) {
        FPageCache.WriteCache(in, owner, count, address, accessFlags);
        DropBlocksOfPages(address, count);
    } else if (accessFlags & ZanAccessPage) {
        DirectPageTransfer(const_cast<uint8_t*>(in), owner, count, address, accessFlags, true);
    } else {
        RawWrite(in, owner, count, address, accessFlags);
    }
}

TCachePin TZanFile::PinZanFilePage(uint32_t owner, uint32_t count, uint32_t address,
                                   uint8_t accessFlags) {
    if (!PagePath(accessFlags) || count != FPageSize || address % FPageSize != 0)
        return {};
    CheckOwner(owner);
    CheckRange(address, count, "TZanFile.PinZanFilePage");
    return FPageCache.PinPage(owner, address, accessFlags);
}

void TZanFile::ReadBlocks(uint32_t owner, const uint32_t* addresses, size_t count, uint32_t size,
                          uint8_t accessFlags, const TBlockVisit& visit) {
    if (count == 0 || size == 0) return;
    CheckOwner(owner);
    for (size_t i = 0; i < count; ++i)
        CheckRange(addresses[i], size, "TZanFile.ReadBlocks");
    if (PagePath(accessFlags)) {
        FPageCache.ReadBlocks(owner, addresses, count, size, accessFlags, visit);
        return;
    }
    std::vector<uint8_t> buffer(size);
    for (size_t i = 0; i < count; ++i) {
        SeekAndReadZanFile(buffer.data(), owner, size, addresses[i], accessFlags);
        visit(i, buffer.data());
    }
}

uint8_t* TZanFile::SeekAndReadZanFileByRef(uint32_t owner, uint32_t count, uint32_t address,
                                           uint8_t accessFlags) {
    CheckOwner(owner);
    CheckRange(address, count, "TZanFile.SeekAndReadZanFileByRef");
    if (!PagePath(accessFlags))
        ZanDatabaseError(8581, "TZanFile.SeekAndReadZanFileByRef",
                         "SeekAndReadZanFileByRef failed to access cache");
    return FPageCache.ReadCacheByRef(owner, count, address, accessFlags);
}

void TZanFile::SeekAndWriteZanFileByRef(const void* buffer, uint32_t owner, uint32_t count,
                                        uint32_t address, uint8_t accessFlags) {
    CheckOwner(owner);
    CheckRange(address, count, "TZanFile.SeekAndWriteZanFileByRef");
    if (!PagePath(accessFlags))
        ZanDatabaseError(8581, "TZanFile.SeekAndWriteZanFileByRef",
                         "SeekAndWriteZanFileByRef accessed in error");
    FPageCache.WriteCacheByRef(buffer, owner, count, address, accessFlags);
    DropBlocksOfPages(address, count);
}

uint32_t TZanFile::SeekAndAppendZanFile(const void* buffer, uint32_t count, uint32_t owner,
                                        uint8_t accessFlags) {
    uint64_t at = GetPhysicalSize();
    if (FTransactionActive) {
        RefreshLogicalEof();
        at = FLogicalEof;
    }
    // Every write keeps the file a whole number of pages: one that ends inside a page was cut,
    // and pages appended there would overlap the cut one.
    if (at % FPageSize != 0)
        ZanDatabaseErrorFmt(8962, "TZanFile.SeekAndAppendZanFile",
                            "The database file ends inside a page (at %d): it was cut",
                            {int64_t(at)});
    if (at > ZanMaxPageAddress || at + count > ZanMaxFileEnd)
        ZanDatabaseErrorFmt(9482, "TZanFile.SeekAndAppendZanFile",
                            "The database file cannot grow beyond the page at address 0x%x",
                            {ZanMaxPageAddress});
    if (FTransactionActive) FLogicalEof = at + count;
    SeekAndWriteZanFile(buffer, owner, count, static_cast<uint32_t>(at), accessFlags);
    return static_cast<uint32_t>(at);
}

void TZanFile::ReadThroughZanFile(void* buffer, uint32_t address, uint32_t count) {
    SeekAndReadZanFile(buffer, 0, count, address, 0);
}

void TZanFile::WriteThroughZanFile(const void* buffer, uint32_t address, uint32_t count) {
    SeekAndWriteZanFile(buffer, 0, count, address, 0);
}

void TZanFile::ReleasePage(uint32_t address, const void* zeroPage) {
    WriteThroughZanFile(zeroPage, address, FPageSize);
}

// ---------------------------------------------------------------------------------------------
// Transactions

void TZanFile::StartTransaction() {
    if (FTransactionActive) ZanDatabaseError(10256, "TZanFile.StartTransaction");
    FBlockCache.StartTransaction();
    FPageCache.StartTransaction();
    // Growth is noted by appends (and RefreshLogicalEof); until then the end is the size on
    // disk, asked only when needed.
    FLogicalEof = 0;
    FTransactionActive = true;
    DropHeldStretches();
}

bool TZanFile::HasPendingChanges() const {
    if (!FTransactionActive) return false;
    return FBlockCache.Count() > 0 || FLogicalEof > GetPhysicalSize() ||
           FPageCache.DirtyCount() > 0;
}

void TZanFile::RefreshLogicalEof() {
    if (FTransactionActive) FLogicalEof = std::max(FLogicalEof, GetPhysicalSize());
}

std::vector<std::pair<uint32_t, uint32_t>> TZanFile::PendingWrites() {
    // A dry run of the caches' write-back with routines that only take note.
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    TScopeExit reconnect([this] { ConnectCaches(); });
    FPageCache.SetWriteIO([&](const uint8_t*, uint32_t, uint32_t address, uint8_t) {
        writes.emplace_back(address, FPageSize);
    });
    FBlockCache.SetWriteIO([&](const uint8_t*, uint32_t, uint32_t size, uint32_t address,
                               uint8_t) { writes.emplace_back(address, size); });
    FPageCache.WriteDirtyPages();
    FBlockCache.WriteDirtyBlocks();
    return writes;
}

void TZanFile::WriteJournal(uint64_t oldSize, bool grows) {
    TJournalHeader fields;
    fields.Truncate = grows;
    fields.LockIds = FJournalLockIds;
    if (FJournalMode == 0) {
        struct stat st {};
        FJournalMode = fstat(FFile.GetHandle(), &st) == 0 ? st.st_mode & 07777 : 0644;
    }
    // What the commit overwrites below the old size, in address order. The fixed regions are
    // read as well (their checksum goes into the header).
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const auto& [address, size] : PendingWrites())
        if (address < oldSize)
            writes.emplace_back(address, static_cast<uint32_t>(
                                             std::min<uint64_t>(size, oldSize - address)));
    // An unsynced commit stamps the file with the journal's nonce before it writes anything
    // else there (zanJournal.h), so a journal left from an older commit is told from this
    // one's; the stamp's old bytes go into the journal. Not when a write of the commit covers
    // the stamp: it would overwrite it.
    FStampCommit = !FSyncCommits && oldSize >= ZanStampAddress + ZanStampSize &&
                   std::none_of(writes.begin(), writes.end(), [](const auto& w) {
                       return w.first < ZanStampAddress + ZanStampSize &&
                              uint64_t(w.first) + w.second > ZanStampAddress;
                   });
    fields.Stamped = FStampCommit;
    std::sort(writes.begin(), writes.end());
    // Whether the commit writes any byte of the fixed regions (writes within the old size
    // come first in address order; a file shorter than them grows over them).
    const bool touchesFixed = oldSize < ZanFixedRegionsEnd ||
                              (!writes.empty() && writes.front().first < ZanFixedRegionsEnd);
    uint8_t image[ZanFixedRegionsEnd];
    // Fixed regions held in memory need no read.
    bool imageRead = LoadFixedImage();
    if (imageRead) std::memcpy(image, FFixedImage.data(), ZanFixedRegionsEnd);

    FJournal.Begin(GetJournalFileName(), FPageSize, FJournalMode, oldSize, FSyncCommits,
                   FFile.GetHandle());
    try {
        if (FStampCommit) {
            // The stamp's old bytes come first: held with the fixed regions, or read with them.
            // Shared, the held stamp may be older than the file's (another connection's commit
            // changed it): restored, it is still no stamp of a journal that can come back, and
            // the stamp is never data.
            uint8_t head[ZanStampAddress + ZanStampSize];
            const uint8_t* pre = FFixedImage.data() + ZanStampAddress;
            if (!imageRead) {
                FileRead(head, sizeof head, 0, false);
                std::memcpy(image, head, ZanFixedRegionsEnd);
                imageRead = true;
                pre = head + ZanStampAddress;
            }
            FJournal.AddStretch(ZanStampAddress, pre, ZanStampSize);
        }
        // Stretches close to each other are read in one call, up to 1 MiB at a time; a gap
        // under a page costs less to read than a call.
        constexpr uint64_t C_MAX_READ = 1u << 20;
        std::vector<uint8_t> old;
        // A page cached clean before this commit changed it kept its stored bytes: not read.
        std::vector<std::pair<uint32_t, uint32_t>> reads;
        for (const auto& [address, n] : writes) {
            if (n == FPageSize && AddChangedSectors(address)) continue;
            const uint8_t* pre = n == FPageSize ? FPageCache.PreImage(address) : nullptr;
            // A raw stretch read or written before, while no other handle may write the
            // file, is held as stored.
            if (!pre && FShareKeepsSize) pre = FindCleanBlock(n, address);
            // Shared: a stretch this transaction read under locks held since.
            if (!pre && !FShareKeepsSize) pre = FindHeldStretch(n, address);
            if (pre)
                FJournal.AddStretchInPlace(address, pre, n);
            else
                reads.emplace_back(address, n);
        }
        writes.swap(reads);
        size_t next = 0;
        while (next < writes.size() || !imageRead) {
            uint64_t start = 0, end = ZanFixedRegionsEnd;
            size_t last = next;
            if (imageRead) {
                start = writes[next].first;
                end = start + writes[next].second;
                last = next + 1;
            }
            while (last < writes.size() && writes[last].first <= end + FPageSize &&
                   uint64_t(writes[last].first) + writes[last].second - start <= C_MAX_READ) {
                end = std::max<uint64_t>(end, uint64_t(writes[last].first) + writes[last].second);
                ++last;
            }
            old.resize(static_cast<size_t>(end - start));
            // Only the fixed regions of a file shorter than them may read short.
            FileRead(old.data(), static_cast<uint32_t>(old.size()), start, end > oldSize);
            if (!imageRead) {
                std::memcpy(image, old.data(), ZanFixedRegionsEnd);
                imageRead = true;
            }
            for (; next < last; ++next)
                FJournal.AddStretch(writes[next].first, old.data() + (writes[next].first - start),
                                    writes[next].second);
        }
        fields.FixedCRCBefore = FixedRegionsCRC(image);
        if (touchesFixed) {
            // The same bytes as the commit will leave them.
            FBlockCache.PatchRange(image, 0, ZanFixedRegionsEnd);
            PatchDirtyPages(image, 0, ZanFixedRegionsEnd);
            fields.FixedCRCAfter = FixedRegionsCRC(image);
        } else {
            fields.FixedCRCAfter = fields.FixedCRCBefore; // the commit leaves them as they are
        }
        FJournal.Finish(fields);
    } catch (...) {
        FJournal.Discard();
        throw;
    }
}

bool TZanFile::AddChangedSectors(uint32_t address) {
    const TCachePage* page = FPageCache.FindCachedPage(address);
    // Enciphered pages are stored as ciphered: their stored bytes are not at hand.
    if (!page || page->GetState() != cpDirty || page->GetLowerAddress() != address ||
        (page->GetAccessFlags() & (ZanAccessXOR | ZanAccessBlowfish)) != 0)
        return false;
    // A plain page is written as it lies in the cache. Bytes the commit writes unchanged stay
    // what they were whatever happens to the write, so only the sectors holding a change need
    // their old bytes in the journal (whole sectors: a sector being rewritten is never trusted
    // to keep a byte it was given unchanged).
    const uint32_t sector = std::min<uint32_t>(512, FPageSize);
    if (FPageSize % sector != 0) return false;
    // Only the range written since the pre-image was kept may differ from it (the pre-image
    // may hold no more than that range): the search for changed sectors starts at its ends.
    uint32_t lo = 0, hi = 0;
    const uint8_t* pre = FPageCache.ChangedPreImage(address, lo, hi);
    if (!pre) return false;
    const uint8_t* now = page->GetPageData();
    auto changed = [&](uint32_t at) { return std::memcmp(now + at, pre + at, sector) != 0; };
    uint32_t first = lo < hi ? lo / sector * sector : FPageSize;
    const uint32_t last = lo < hi ? std::min(FPageSize, (hi + sector - 1) / sector * sector) : 0;
    while (first < last && !changed(first))
        first += sector;
    if (first >= last) {
        // Written unchanged: nothing to put back, nothing to write.
        FChangedSpans.push_back({address, 0, 0});
        return true;
    }
    uint32_t end = last;
    while (!changed(end - sector))
        end -= sector;
    FJournal.AddStretchInPlace(address + first, pre + first, end - first);
    FChangedSpans.push_back({address, first, end});
    return true;
}

void TZanFile::WriteDirtyPagesCoalesced() {
    // Pages come in address order: each run of consecutive pages is one write of up to 16 KiB.
    // The cap is for later writes, not this one: the kernel may cache a file in folios as large
    // as the write that filled them, and each later one-page write into such a folio walks all
    // of its blocks (a 4 KiB write into 1 MiB-written pages costs about six times as much).
    // Plain pages are written from the cache as they are, enciphered ones from a copy.
    // A run leaves out the unchanged sectors before the first change of its first page and
    // after the last change of its last page, when the journal compared those pages with their
    // stored bytes (FChangedSpans): the file holds them already, and the kernel copies less.
    // A page written unchanged is not written.
    constexpr size_t C_MAX_RUN = 16u << 10;
    std::vector<iovec> run;
    std::vector<std::unique_ptr<uint8_t[]>> copies;
    uint64_t runStart = 0;
    size_t runBytes = 0;
    uint32_t headSkip = 0; // unchanged bytes at the start of the run's first page
    uint32_t tailSkip = 0; // unchanged bytes at the end of its last page
    size_t nextSpan = 0;
    // The changed span noted for the page at address (pages and spans go in address order).
    auto spanOf = [&](uint32_t address) -> const TChangedSpan* {
        while (nextSpan < FChangedSpans.size() && FChangedSpans[nextSpan].Address < address)
            ++nextSpan;
        return nextSpan < FChangedSpans.size() && FChangedSpans[nextSpan].Address == address
                   ? &FChangedSpans[nextSpan]
                   : nullptr;
    };
    auto flush = [&] {
        if (!run.empty()) {
            run.front().iov_base = static_cast<uint8_t*>(run.front().iov_base) + headSkip;
            run.front().iov_len -= headSkip;
            run.back().iov_len -= tailSkip;
            FileWriteV(run, runStart + headSkip);
        }
        run.clear();
        copies.clear();
        runBytes = 0;
        headSkip = tailSkip = 0;
    };
    TScopeExit reconnect([this] {
        ConnectCaches();
        FChangedSpans.clear();
    });
    FPageCache.SetWriteIO([&](const uint8_t* buffer, uint32_t owner, uint32_t address,
                              uint8_t flags) {
        const TChangedSpan* span =
            (flags & (ZanAccessXOR | ZanAccessBlowfish)) == 0 ? spanOf(address) : nullptr;
        if (span && span->First == span->End) return; // the file holds the page as it is
        if (!run.empty() && (runStart + runBytes != address || runBytes >= C_MAX_RUN ||
                             run.size() >= IOV_MAX))
            flush();
        if (run.empty()) {
            runStart = address;
            headSkip = span ? span->First : 0;
        }
        tailSkip = span ? FPageSize - span->End : 0;
        if ((flags & (ZanAccessXOR | ZanAccessBlowfish)) == 0) {
            run.push_back({const_cast<uint8_t*>(buffer), FPageSize});
        } else {
            copies.push_back(std::make_unique<uint8_t[]>(FPageSize));
            Cipher(true, buffer, copies.back().get(), flags, owner, FPageSize);
            run.push_back({copies.back().get(), FPageSize});
        }
        runBytes += FPageSize;
    });
    FPageCache.WriteDirtyPages();
    flush();
}

void TZanFile::SyncFile() {
    ZanCrashPoint(csSync);
    if (fdatasync(FFile.GetHandle()) != 0)
        ZanDatabaseError(9218, "TZanFile.Commit",
                         "The file buffers could not be flushed. " + SysErrorMessage(errno));
    ZanSynced(FFile.GetHandle());
}

void TZanFile::Commit() {
    if (!FTransactionActive) ZanDatabaseError(10257, "TZanFile.Commit");
    uint64_t end = std::max(FLogicalEof, FBlockCache.PendingEnd());
    bool dirty = FBlockCache.Count() > 0;
    for (const TCachePage* page : FPageCache.DirtyPages()) {
        end = std::max<uint64_t>(end, uint64_t(page->GetLowerAddress()) + FPageSize);
        dirty = true;
    }
    const uint64_t size = GetPhysicalSize();
    const bool journal = FJournalActive && (dirty || end > size);
    FChangedSpans.clear(); // only this commit's journal notes spans for its page writes
    FStampCommit = false;
    if (journal) WriteJournal(size, end > size);
    if (FStampCommit) {
        uint8_t stamp[ZanStampSize];
        const uint32_t nonce = FJournal.GetNonce();
        for (uint32_t i = 0; i < ZanStampSize; ++i)
            stamp[i] = static_cast<uint8_t>(nonce >> (8 * i));
        try {
            FileWrite(stamp, ZanStampSize, ZanStampAddress);
        } catch (...) {
            // Nothing but the stamp can have changed: the journal is not needed.
            FJournal.Discard();
            throw;
        }
    }
    if (end > size) {
        // Reserve the space first: a full disk fails here, before any page is overwritten.
        ZanCrashPoint(csTruncate);
        int rc = posix_fallocate(FFile.GetHandle(), static_cast<off_t>(size),
                                 static_cast<off_t>(end - size));
        if (rc != 0) {
            FKnownSize = -1;
            if (journal) FJournal.Discard();
            ZanDatabaseError(9218, "TZanFile.Commit",
                             "Unable to complete file write operation. " + SysErrorMessage(rc));
        }
        if (FKnownSize >= 0) FKnownSize = static_cast<int64_t>(end);
    }
    // Pending raw stretches come in address order; stretches that follow each other without a
    // gap (a map page and the table header after it) go out in one write, from where they lie.
    auto writeBlocks = [this] {
        std::vector<iovec> run;
        uint64_t runStart = 0, runEnd = 0;
        auto flush = [&] {
            if (run.empty()) return;
            if (run.size() == 1) {
                FileWrite(static_cast<const uint8_t*>(run[0].iov_base),
                          static_cast<uint32_t>(run[0].iov_len), runStart);
            } else {
                std::vector<iovec> pieces = run; // used up by the write
                FileWriteV(pieces, runStart);
                // As single writes keep them, when no other handle may write the file.
                uint64_t at = runStart;
                for (const iovec& v : run) {
                    if (FShareKeepsSize && v.iov_len < FPageSize)
                        KeepCleanBlock(static_cast<const uint8_t*>(v.iov_base),
                                       static_cast<uint32_t>(v.iov_len), static_cast<uint32_t>(at));
                    at += v.iov_len;
                }
            }
            run.clear();
        };
        TScopeExit reconnect([this] { ConnectCaches(); });
        FBlockCache.SetWriteIO([&](const uint8_t* buffer, uint32_t, uint32_t size, uint32_t address,
                                   uint8_t) {
            if (!run.empty() && (address != runEnd || run.size() >= IOV_MAX)) flush();
            if (run.empty()) runStart = address;
            run.push_back({const_cast<uint8_t*>(buffer), size});
            runEnd = uint64_t(address) + size;
        });
        FBlockCache.WriteDirtyBlocks();
        flush();
    };
    try {
        WriteDirtyPagesCoalesced();
        writeBlocks();
        if (journal) {
            if (FSyncCommits) SyncFile();
            FJournal.Invalidate(true); // the commit point
        }
    } catch (...) {
        FileChangedElsewhere();
        if (journal) {
            // The file holds part of the commit: the journal puts the old bytes back.
            try {
                RecoverJournal(GetJournalFileName(), FFile.GetFileName(), FSyncCommits);
                FJournal.Discard();
            } catch (const std::exception& e) {
                // The journal stays hot for the next connection to restore.
                GDBLogger().LogItem("TZanFile", std::string("Restoring after a failed commit "
                                                            "failed: ") +
                                                    e.what());
                FJournal.Abandon();
            }
        }
        throw;
    }
    FPageCache.FinishCommit();
    FBlockCache.FinishCommit();
    DropHeldStretches();
    FTransactionActive = false;
    FLogicalEof = 0;
}

void TZanFile::Rollback() {
    if (!FTransactionActive) ZanDatabaseError(10257, "TZanFile.Rollback");
    if (FPageCache.GetTransactionActive()) FPageCache.Rollback();
    FBlockCache.Close();
    DropCleanBlocks(0, ZanMaxFileEnd);
    DropHeldStretches();
    FTransactionActive = false;
    FLogicalEof = 0;
    ++FRollbackCount;
    ++FOwnershipEpoch;
}

// ---------------------------------------------------------------------------------------------
// Whole-file operations

void TZanFile::FlushBuffers() {
    try {
        if (!CheckOpen()) throw EOSError(EBADF, "file not open");
        FFile.Flush();
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TZanFile.FlushBuffers",
                         "The file buffers could not be flushed. " + e.Message());
    }
}

uint64_t TZanFile::GetPhysicalSize() const {
    if (!CheckOpen()) return 0;
    if (FKnownSize >= 0) return static_cast<uint64_t>(FKnownSize);
    const uint64_t size = FFile.Size();
    if (FSizeSteady || FShareKeepsSize) FKnownSize = static_cast<int64_t>(size);
    return size;
}

void TZanFile::SetSizeSteady(bool value) {
    if (value == FSizeSteady) return;
    FSizeSteady = value;
    // Newly steady: others may have changed it up to now. No longer steady: they may now.
    // The fixed regions likewise.
    if (!FShareKeepsSize) {
        FKnownSize = -1;
        FFixedKept = false;
    }
}

void TZanFile::FileChangedElsewhere() {
    FKnownSize = -1;
    FFixedKept = false;
    ++FOwnershipEpoch;
    DropCleanBlocks(0, ZanMaxFileEnd);
    DropHeldStretches();
}

// ---------------------------------------------------------------------------------------------
// Clean raw blocks

namespace {
constexpr size_t C_CLEAN_BLOCKS = 64;
} // namespace

const uint8_t* TZanFile::FindCleanBlock(uint32_t count, uint32_t address) const {
    for (const TCleanBlock& b : FCleanBlocks)
        if (b.Address <= address && uint64_t(address) + count <= b.Address + b.Bytes.size())
            return b.Bytes.data() + (address - b.Address);
    return nullptr;
}

bool TZanFile::ReadCleanBlock(uint8_t* buffer, uint32_t count, uint32_t address) const {
    const uint8_t* bytes = FindCleanBlock(count, address);
    if (bytes) std::memcpy(buffer, bytes, count);
    return bytes != nullptr;
}

void TZanFile::KeepCleanBlock(const uint8_t* buffer, uint32_t count, uint32_t address) {
    if (count > FPageSize) return;
    if (FCleanBlocks.size() < C_CLEAN_BLOCKS) {
        FCleanBlocks.push_back({address, std::vector<uint8_t>(buffer, buffer + count)});
        return;
    }
    FCleanNext %= FCleanBlocks.size();
    TCleanBlock& b = FCleanBlocks[FCleanNext++];
    b.Address = address;
    b.Bytes.assign(buffer, buffer + count);
}

void TZanFile::DropCleanBlocks(uint64_t address, uint64_t count) {
    // Bytes written in place are no longer what was read.
    if (!FHeldStretches.empty())
        std::erase_if(FHeldStretches, [&](const THeldStretch& b) {
            return b.Address < address + count && address < b.Address + b.Bytes.size();
        });
    if (FCleanBlocks.empty()) return;
    std::erase_if(FCleanBlocks, [&](const TCleanBlock& b) {
        return b.Address < address + count && address < b.Address + b.Bytes.size();
    });
}

namespace {
constexpr size_t C_HELD_STRETCHES = 16;
} // namespace

void TZanFile::HoldReadStretch(const uint8_t* buffer, uint32_t count, uint64_t address) {
    if (count > FPageSize) return;
    const uint64_t changes = FLockChangeCount();
    // A stretch read again replaces what was held of it.
    std::erase_if(FHeldStretches, [&](const THeldStretch& b) {
        return b.Address < address + count && address < b.Address + b.Bytes.size();
    });
    if (FHeldStretches.size() < C_HELD_STRETCHES) {
        FHeldStretches.push_back({static_cast<uint32_t>(address), changes,
                                  std::vector<uint8_t>(buffer, buffer + count)});
        return;
    }
    FHeldNext %= FHeldStretches.size();
    THeldStretch& b = FHeldStretches[FHeldNext++];
    b.Address = static_cast<uint32_t>(address);
    b.LockChanges = changes;
    b.Bytes.assign(buffer, buffer + count);
}

const uint8_t* TZanFile::FindHeldStretch(uint32_t count, uint32_t address) const {
    if (FHeldStretches.empty() || !FLockChangeCount) return nullptr;
    const uint64_t changes = FLockChangeCount();
    for (const THeldStretch& b : FHeldStretches)
        if (b.LockChanges == changes && b.Address <= address &&
            uint64_t(address) + count <= b.Address + b.Bytes.size())
            return b.Bytes.data() + (address - b.Address);
    return nullptr;
}

uint64_t TZanFile::SeekZanEof() const {
    if (FTransactionActive) return std::max(FLogicalEof, GetPhysicalSize());
    return GetPhysicalSize();
}

void TZanFile::CopyZanFile(const std::string& targetName) {
    if (!CheckOpen()) ZanDatabaseError(8449, "TZanFile.CopyZanFile", "The file is not open");
    TWinFile target;
    try {
        target.Create(targetName, fsExclusive, true);
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TZanFile.CopyZanFile",
                         "The file could not be copied correctly. " + e.Message());
    }
    std::vector<uint8_t> chunk(4096);
    uint64_t at = 0;
    try {
        for (;;) {
            size_t n = FFile.ReadAt(chunk.data(), chunk.size(), at);
            if (n > 0) target.WriteAt(chunk.data(), n, at);
            at += n;
            if (n < chunk.size()) break;
        }
        target.Flush();
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TZanFile.CopyZanFile",
                         "The file could not be copied correctly. " + e.Message());
    }
    if (target.Size() != GetPhysicalSize())
        ZanDatabaseError(8450, "TZanFile.CopyZanFile", "The file could not be copied correctly");
}

} // namespace zan
