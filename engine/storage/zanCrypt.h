// The engine's digests, ciphers and checksums: SHA-1 as a write-only stream, the Blowfish block
// cipher (ECB, CBC and 8-bit CFB), the keyed XOR scrambler and CRC-32.
//
// Buffers may overlap exactly (source == target) for every cipher routine: each transforms in
// place without allocating. A byte count of 0 accepts null buffers.
#pragma once

#include <cstdint>
#include <string>

#include "host/rtl/Streams.h"

namespace zan {

// SHA-1 digest fed through the stream interface. Write feeds bytes, Read answers 0, and Seek
// only rewinds for a new digest. The 20 digest bytes are the chaining words h0..h4, each stored
// least significant byte first (the usual printed form reversed per word), so they read back
// directly as five little-endian 32-bit words.
class TSha1Stream : public TStream {
public:
    static constexpr int DigestSize = 20;

    TSha1Stream() { Initialize(); }

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    // A seek to the current position (the number of bytes fed so far) answers it and changes
    // nothing, so GetPosition and GetSize are harmless; any other seek starts a new digest and
    // answers 0.
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

    // Pads, writes the 20 digest bytes to digest and starts a new digest. A null target raises
    // error 9986 and leaves the stream as it was.
    virtual void GetDigest(void* digest);
    // The same 20 bytes as a string (and a new digest is started).
    virtual std::string GetDigestString();
    virtual void Initialize();

protected:
    virtual void AddByte(uint8_t value);
    // Compresses the full 64-byte block buffer into the chaining words.
    virtual void UpdateDigest();
    // Feeds the 64-bit value most significant byte first (the padding's bit count).
    virtual void WriteBigEndian(uint64_t value);

private:
    uint64_t FBlockCount = 0; // 64-byte blocks compressed
    uint32_t FByteCount = 0;  // bytes waiting in FBlock
    uint8_t FBlock[64] = {};
    uint32_t FW[80] = {};
    uint32_t FH[5] = {};
};

// The digest of text's bytes; an empty text gives 20 zero bytes.
void GetSHA1FromString(const std::string& text, void* digest);

// Blowfish key schedule and chaining state (all zero until BlowfishInit).
struct TBlowfishData {
    uint8_t InitVector[8] = {};
    uint8_t Register[8] = {}; // chaining register of CBC and CFB
    uint32_t SBox[4][256] = {};
    uint32_t PArray[18] = {};
};

// Keys of 8 to 448 bits in whole bytes. A longer key is cut to its first 56 bytes; a length that
// is not a positive multiple of 8 (or a missing key) raises error 9986. Without an initial vector
// the vector is the block of eight 0xFF bytes enciphered with the key. The register starts as the
// initial vector.
void BlowfishInit(TBlowfishData& data, const void* key, int32_t keyLenBits,
                  const void* initVector = nullptr);
// Register := initial vector.
void BlowfishReset(TBlowfishData& data);
// Overwrites the whole state with 0xFF bytes.
void BlowfishBurn(TBlowfishData& data);

// One 8-byte block.
void BlowfishEncryptECB(const TBlowfishData& data, const void* source, void* target);
void BlowfishDecryptECB(const TBlowfishData& data, const void* source, void* target);

// Whole blocks are chained through the register; a trailing partial block is XORed with the
// encipherment of the register, which then still holds the last whole ciphertext block.
void BlowfishEncryptCBC(TBlowfishData& data, const void* source, void* target, int32_t count);
void BlowfishDecryptCBC(TBlowfishData& data, const void* source, void* target, int32_t count);

// 8-bit cipher feedback: each byte is XORed with the first byte of the enciphered register,
// then the ciphertext byte is shifted into the register from the right.
void BlowfishEncryptCFB(TBlowfishData& data, const void* source, void* target, int32_t count);
void BlowfishDecryptCFB(TBlowfishData& data, const void* source, void* target, int32_t count);

// Keyed XOR scrambler: target[i] = source[i] XOR key[k], with k starting at 0 and stepping by
// (position AND 100) + 1 modulo keyLen. Applying it twice restores the bytes. A key length below
// 1 with bytes to process raises error 9986.
void XORCryptBuf(const void* source, void* target, const void* key, int32_t position,
                 int32_t keyLen, int32_t count);

// CRC-32 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final complement).
uint32_t CalcCRC(const void* buffer, int32_t count);
// Continues a CRC-32 over more bytes: CRCUpdate(CalcCRC(a), b) = CalcCRC(a followed by b), and
// CRCUpdate(0, a) = CalcCRC(a).
uint32_t CRCUpdate(uint32_t crc, const void* buffer, int32_t count);

// The fixed key of the XOR scrambler, installed on every database file.
inline constexpr uint8_t C_ZANXORKEY[71] = {
    'k', '7', 'f', 'q', '2', 'w', 'z', 'p', ';', 'h', 'r', 'u', 'v', 'b', 'n', 'e', ',', 'T',
    'g', 'm', ';', 'Q', 'W', 'X', 'L', 'A', '8', 'R', 'P', 'O', 'I', 'J', 'E', ',', 'B', 'V',
    't', 'm', 'd', 'h', 'z', 'w', 'x', ',', 'p', 'q', 'l', 'r', 'o', '4', '<', '6', '!', '3',
    'U', '7', 'h', 'j', 'k', '_', 'v', 'b', 'm', '$', 'w', 'e', 't', 'y', 'o', 'a', 'q'};

// The Blowfish key of a database file that has no crypt key of its own.
inline constexpr uint8_t C_ZANDEFAULTBLOWKEY[14] = {'7', '[', 'k', '4', 'w', 'f', 'p',
                                                    'a', '2', '8', 'q', 'z', '&', 'M'};

} // namespace zan
