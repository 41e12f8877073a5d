// The database file as one object: the handle with its access and share modes, the page cache
// and the block cache, the per-page cipher and the file-level transaction. Every byte of the
// database file passes through TZanFile.
//
// Access flags accompany every transfer: 0 = raw stretch (never ciphered), 1 = page, plain;
// 3 = page, XOR scrambler keyed by the owning table id; 5 = page, Blowfish CFB restarted for
// every page. Pages go through the page cache when the cache or a transaction is active; raw
// stretches go through the block cache inside a transaction and straight to the file outside.
//
// Inside a transaction the two caches form one overlay, last writer wins per byte: a raw write
// takes the pages it touches out of the page cache (a dirty one moves to the block cache as its
// enciphered image first), a page write drops pending raw bytes of its pages, a page read folds
// pending raw bytes into the page, and a raw read sees pending blocks and dirty pages. Commit
// therefore writes one consistent image.
//
// Addresses are 32-bit: the file may grow up to the page that starts at 0xFFFFF000 and no
// further; any growth beyond is refused (9482) before anything is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/zanCache.h"
#include "engine/storage/zanCrypt.h"
#include "host/rtl/Classes.h"
#include "host/win/WinFiles.h"

namespace zan {

// One past the last byte the file may ever hold.
inline constexpr uint64_t ZanMaxFileEnd = 0x100000000ull;
// The highest address a page may start at.
inline constexpr uint32_t ZanMaxPageAddress = 0xFFFFF000u;

// Fault injection for crash tests: with n > 0 the process kills itself (SIGKILL) in place of
// the n-th database-file write from now on, counting the writes of every open file; 0 turns it
// off. Nothing sets it outside tests.
void ZanSetWriteKillPoint(uint64_t n);

// Access flag bits.
inline constexpr uint8_t ZanAccessPage = 1;
inline constexpr uint8_t ZanAccessXOR = 2;
inline constexpr uint8_t ZanAccessBlowfish = 4;

class TZanFile : public TObject {
public:
    TZanFile();
    ~TZanFile() override;
    TZanFile(const TZanFile&) = delete;
    TZanFile& operator=(const TZanFile&) = delete;
    ZAN_CLASS(TZanFile)

    // Closes an open file, then creates (or empties) the file and opens it read-write with the
    // sharing of the exclusive flags. Answers the handle.
    int32_t CreateZanFile(const std::string& fileName);
    // Opens an existing file with the access and sharing of the open flags. Answers the handle.
    int32_t OpenZanFile(const std::string& fileName);
    // Empties both caches (a transaction's changes are lost), closes the handle, frees the work
    // buffer and both keys.
    void CloseZanFile();
    bool CheckOpen() const { return FFile.IsOpen(); }

    void SetOpenRead(bool value) { FOpenRead = value; }
    void SetOpenWrite(bool value) { FOpenWrite = value; }
    void SetOpenReadExclusive(bool value) { FOpenReadExclusive = value; }
    void SetOpenWriteExclusive(bool value) { FOpenWriteExclusive = value; }
    void SetPageSize(uint32_t value) { FPageSize = value; }
    void SetCacheActive(bool value) { FCacheActive = value; }
    void SetLockRetryCount(int32_t value) { FLockRetryCount = value; }
    void SetLockRetryInterval(int32_t value) { FLockRetryInterval = value; }
    void SetBeepOnLockRetry(bool value) { FBeepOnLockRetry = value; }
    uint32_t GetPageSize() const { return FPageSize; }
    bool GetCacheActive() const { return FCacheActive; }
    int32_t GetLockRetryCount() const { return FLockRetryCount; }
    int32_t GetLockRetryInterval() const { return FLockRetryInterval; }

    // Copies the scrambler key; refused (8581) while the file is open.
    void SetXORKeyBuf(const void* key, int32_t length);
    // Copies the Blowfish key and keys the cipher with it.
    void SetBlowKeyBuf(const void* key, int32_t length);

    void SeekAndReadZanFile(void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                            uint8_t accessFlags);
    void SeekAndWriteZanFile(const void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                             uint8_t accessFlags);
    // Page path only; the request must lie inside one page.
    uint8_t* SeekAndReadZanFileByRef(uint32_t owner, uint32_t count, uint32_t address,
                                     uint8_t accessFlags);
    void SeekAndWriteZanFileByRef(const void* buffer, uint32_t owner, uint32_t count,
                                  uint32_t address, uint8_t accessFlags);
    // Writes at the logical end of the file and answers the address written.
    uint32_t SeekAndAppendZanFile(const void* buffer, uint32_t count, uint32_t owner,
                                  uint8_t accessFlags);
    // Raw stretches (flags 0).
    void ReadThroughZanFile(void* buffer, uint32_t address, uint32_t count);
    void WriteThroughZanFile(const void* buffer, uint32_t address, uint32_t count);
    // Overwrites the page at address with zeroPage (page size bytes) as a raw stretch.
    void ReleasePage(uint32_t address, const void* zeroPage);

    void StartTransaction();
    // Extends the file to its final size first (a full disk fails before any page is
    // overwritten), then writes the dirty pages in address order and the pending blocks. When a
    // write fails the transaction stays active and 9217 is raised.
    void Commit();
    void Rollback();
    bool GetTransactionActive() const { return FTransactionActive; }
    // Raised by every rollback.
    uint32_t GetRollbackCount() const { return FRollbackCount; }
    // Whether the transaction has anything to write: dirty pages, pending blocks or growth.
    bool HasPendingChanges() const;
    // Logical end := max(logical end, size on disk): growth committed by other connections is
    // never overwritten by this transaction's appends.
    void RefreshLogicalEof();

    // Forces what the file holds to the device; a transaction's pending changes are not
    // written.
    void FlushBuffers();
    uint32_t SeekZanBof() const { return 0; }
    // The logical end inside a transaction, else the size on disk.
    uint64_t SeekZanEof() const;
    uint64_t GetPhysicalSize() const;
    // Byte copy of the file as it is on disk.
    void CopyZanFile(const std::string& targetName);

    // The cache size for a file: a quarter of its pages, clamped to 50..1000.
    static int32_t CachePageCountFor(uint64_t fileSize, uint32_t pageSize);

    TWinFile& GetWinFile() { return FFile; }
    TCacheMgr& GetPageCache() { return FPageCache; }
    TCacheBlockMgr& GetBlockCache() { return FBlockCache; }
    // read and write system calls made on the database file.
    uint64_t GetReadCalls() const { return FReadCalls; }
    uint64_t GetWriteCalls() const { return FWriteCalls; }

private:
    bool PagePath(uint8_t accessFlags) const {
        return (accessFlags & ZanAccessPage) && (FCacheActive || FTransactionActive);
    }
    void CheckOwner(uint32_t owner) const;
    // Refuses a stretch ending beyond the address limit.
    void CheckRange(uint32_t address, uint64_t count, const char* context) const;
    void Cipher(bool encrypt, const uint8_t* source, uint8_t* target, uint8_t accessFlags,
                uint32_t owner, uint32_t count);
    // Reads count bytes at address from the file; a short read is zero-filled when fillTail,
    // else 9217.
    void FileRead(uint8_t* buffer, uint32_t count, uint64_t address, bool fillTail);
    void FileWrite(const uint8_t* buffer, uint32_t count, uint64_t address);
    // The page routines of the page cache.
    bool PageRead(uint8_t* buffer, uint32_t owner, uint32_t address, uint8_t accessFlags);
    void PageWrite(const uint8_t* buffer, uint32_t owner, uint32_t address, uint8_t accessFlags);
    // Page path without the cache: one page at a time through the page routines.
    void DirectPageTransfer(uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                            uint8_t accessFlags, bool write);
    void RawRead(uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                 uint8_t accessFlags);
    void RawWrite(const uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                  uint8_t accessFlags);
    // Drops pending raw bytes of the pages that [address, address + count) touches.
    void DropBlocksOfPages(uint32_t address, uint32_t count);
    void ConnectCaches();

    TWinFile FFile;
    std::vector<uint8_t> FPageBuffer; // work buffer: one page, ciphered
    std::vector<uint8_t> FXORKey;
    std::vector<uint8_t> FBlowKey;
    uint64_t FLogicalEof = 0;
    TCacheMgr FPageCache;
    TCacheBlockMgr FBlockCache;
    bool FOpenWrite = false;
    bool FOpenRead = true;
    bool FOpenReadExclusive = false;
    bool FOpenWriteExclusive = false;
    bool FBeepOnLockRetry = false;
    int32_t FLockRetryInterval = 200;
    int32_t FLockRetryCount = 10;
    uint32_t FPageSize = 4096;
    bool FCacheActive = false;
    bool FTransactionActive = false;
    uint32_t FRollbackCount = 0;
    bool FFillShortReads = false; // set while a write may read a page beyond the end first
    TBlowfishData FBlowfish;
    uint64_t FReadCalls = 0;
    uint64_t FWriteCalls = 0;
    // The size on disk as this object's writes left it, kept while no other handle may write
    // the file (opened without write sharing); -1 when the file must be asked.
    int64_t FKnownSize = -1;
};

} // namespace zan
