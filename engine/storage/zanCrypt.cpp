#include "engine/storage/zanCrypt.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/storage/zanConsts.h"

namespace zan {

namespace {

#include "engine/storage/zan_blowfish_pi.inc"

constexpr int32_t ErrInvalidParameter = 9986; // "Generic invalid parameter"
constexpr int MaxBlowfishKeyBytes = 56;

// Refuses a negative count, and a missing buffer when there are bytes to move.
void CheckBuffers(const char* context, int32_t count, const void* source, const void* target) {
    if (count < 0)
        ZanDatabaseErrorFmt(ErrInvalidParameter, context, "Negative byte count %d", {count});
    if (count > 0 && (source == nullptr || target == nullptr))
        ZanDatabaseError(ErrInvalidParameter, context, "Missing buffer");
}

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void StoreBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint64_t LoadBE64(const uint8_t* p) {
    return (uint64_t{LoadBE32(p)} << 32) | LoadBE32(p + 4);
}

inline void StoreBE64(uint8_t* p, uint64_t v) {
    StoreBE32(p, static_cast<uint32_t>(v >> 32));
    StoreBE32(p + 4, static_cast<uint32_t>(v));
}

// One SHA-1 compression of a 64-byte block into h, using w as the message schedule.
void Sha1Compress(uint32_t h[5], uint32_t w[80], const uint8_t* block) {
    for (int i = 0; i < 16; ++i)
        w[i] = LoadBE32(block + 4 * i);
    for (int i = 16; i < 80; ++i)
        w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    // Four loops of 20 rounds, one per round function, keep the branches out of the rounds.
    auto round = [&](uint32_t f, uint32_t k, uint32_t wi) {
        const uint32_t t = Rotl(a, 5) + f + e + k + wi;
        e = d;
        d = c;
        c = Rotl(b, 30);
        b = a;
        a = t;
    };
    for (int i = 0; i < 20; ++i)
        round((b & c) | (~b & d), 0x5A827999, w[i]);
    for (int i = 20; i < 40; ++i)
        round(b ^ c ^ d, 0x6ED9EBA1, w[i]);
    for (int i = 40; i < 60; ++i)
        round((b & c) | (b & d) | (c & d), 0x8F1BBCDC, w[i]);
    for (int i = 60; i < 80; ++i)
        round(b ^ c ^ d, 0xCA62C1D6, w[i]);
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

inline uint32_t BlowfishF(const TBlowfishData& d, uint32_t x) {
    return ((d.SBox[0][x >> 24] + d.SBox[1][(x >> 16) & 0xFF]) ^ d.SBox[2][(x >> 8) & 0xFF]) +
           d.SBox[3][x & 0xFF];
}

// The 16 Feistel rounds on the block halves (l, r), the left half being the first four bytes
// of the block read big-endian.
inline void Encipher(const TBlowfishData& d, uint32_t& l, uint32_t& r) {
    uint32_t x = l, y = r;
    for (int i = 0; i < 16; i += 2) {
        x ^= d.PArray[i];
        y ^= BlowfishF(d, x);
        y ^= d.PArray[i + 1];
        x ^= BlowfishF(d, y);
    }
    x ^= d.PArray[16];
    y ^= d.PArray[17];
    l = y;
    r = x;
}

inline void Decipher(const TBlowfishData& d, uint32_t& l, uint32_t& r) {
    uint32_t x = l, y = r;
    for (int i = 17; i > 1; i -= 2) {
        x ^= d.PArray[i];
        y ^= BlowfishF(d, x);
        y ^= d.PArray[i - 1];
        x ^= BlowfishF(d, y);
    }
    x ^= d.PArray[1];
    y ^= d.PArray[0];
    l = y;
    r = x;
}

inline uint64_t EncipherBlock(const TBlowfishData& d, uint64_t block) {
    uint32_t l = static_cast<uint32_t>(block >> 32), r = static_cast<uint32_t>(block);
    Encipher(d, l, r);
    return (uint64_t{l} << 32) | r;
}

inline uint64_t DecipherBlock(const TBlowfishData& d, uint64_t block) {
    uint32_t l = static_cast<uint32_t>(block >> 32), r = static_cast<uint32_t>(block);
    Decipher(d, l, r);
    return (uint64_t{l} << 32) | r;
}

// XORs the first n (< 8) bytes of source with the big-endian bytes of keyStream.
inline void XorPartial(const uint8_t* source, uint8_t* target, int32_t n, uint64_t keyStream) {
    for (int32_t i = 0; i < n; ++i)
        target[i] =
            static_cast<uint8_t>(source[i] ^ static_cast<uint8_t>(keyStream >> (56 - 8 * i)));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TSha1Stream

int32_t TSha1Stream::Read(void*, int32_t) {
    return 0;
}

int32_t TSha1Stream::Write(const void* buffer, int32_t count) {
    if (count <= 0 || buffer == nullptr) return 0;
    auto p = static_cast<const uint8_t*>(buffer);
    int32_t left = count;
    // Top up a partly filled block first, then compress whole blocks straight from the input.
    if (FByteCount > 0) {
        const int32_t n = std::min<int32_t>(left, static_cast<int32_t>(64 - FByteCount));
        std::memcpy(FBlock + FByteCount, p, static_cast<size_t>(n));
        FByteCount += static_cast<uint32_t>(n);
        p += n;
        left -= n;
        if (FByteCount == 64) UpdateDigest();
    }
    while (left >= 64) {
        Sha1Compress(FH, FW, p);
        ++FBlockCount;
        p += 64;
        left -= 64;
    }
    if (left > 0) {
        std::memcpy(FBlock, p, static_cast<size_t>(left));
        FByteCount = static_cast<uint32_t>(left);
    }
    return count;
}

int64_t TSha1Stream::Seek(int64_t offset, TSeekOrigin origin) {
    const auto fed = static_cast<int64_t>(FBlockCount * 64 + FByteCount);
    if ((origin == soBeginning && offset == fed) || (origin != soBeginning && offset == 0))
        return fed;
    Initialize();
    return 0;
}

void TSha1Stream::Initialize() {
    FBlockCount = 0;
    FByteCount = 0;
    std::memset(FBlock, 0, sizeof FBlock);
    std::memset(FW, 0, sizeof FW);
    FH[0] = 0x67452301;
    FH[1] = 0xEFCDAB89;
    FH[2] = 0x98BADCFE;
    FH[3] = 0x10325476;
    FH[4] = 0xC3D2E1F0;
}

void TSha1Stream::AddByte(uint8_t value) {
    FBlock[FByteCount++] = value;
    if (FByteCount == 64) UpdateDigest();
}

void TSha1Stream::UpdateDigest() {
    Sha1Compress(FH, FW, FBlock);
    ++FBlockCount;
    FByteCount = 0;
}

void TSha1Stream::WriteBigEndian(uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8)
        AddByte(static_cast<uint8_t>(value >> shift));
}

void TSha1Stream::GetDigest(void* digest) {
    if (digest == nullptr)
        ZanDatabaseError(ErrInvalidParameter, "TSha1Stream.GetDigest", "Missing digest buffer");
    const uint64_t bitCount = (FBlockCount * 64 + FByteCount) * 8;
    AddByte(0x80);
    while (FByteCount != 56)
        AddByte(0);
    WriteBigEndian(bitCount);
    auto out = static_cast<uint8_t*>(digest);
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = static_cast<uint8_t>(FH[i]);
        out[4 * i + 1] = static_cast<uint8_t>(FH[i] >> 8);
        out[4 * i + 2] = static_cast<uint8_t>(FH[i] >> 16);
        out[4 * i + 3] = static_cast<uint8_t>(FH[i] >> 24);
    }
    Initialize();
}

std::string TSha1Stream::GetDigestString() {
    std::string result(DigestSize, '\0');
    GetDigest(result.data());
    return result;
}

void GetSHA1FromString(const std::string& text, void* digest) {
    if (digest == nullptr)
        ZanDatabaseError(ErrInvalidParameter, "GetSHA1FromString", "Missing digest buffer");
    if (text.empty()) {
        std::memset(digest, 0, TSha1Stream::DigestSize);
        return;
    }
    TSha1Stream sha;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const auto n = static_cast<int32_t>(std::min<size_t>(left, 1u << 30));
        sha.Write(p, n);
        p += n;
        left -= static_cast<size_t>(n);
    }
    sha.GetDigest(digest);
}

// ---------------------------------------------------------------------------------------------
// Blowfish

void BlowfishInit(TBlowfishData& data, const void* key, int32_t keyLenBits,
                  const void* initVector) {
    if (key == nullptr || keyLenBits <= 0 || keyLenBits % 8 != 0)
        ZanDatabaseErrorFmt(ErrInvalidParameter, "BlowfishInit",
                            "Key length of %d bits is not a positive number of whole bytes",
                            {keyLenBits});
    // The key schedule takes at most 56 bytes: a longer key is cut, so the state is always
    // defined by the key given.
    const int keyLen = std::min(keyLenBits / 8, MaxBlowfishKeyBytes);
    auto k = static_cast<const uint8_t*>(key);

    std::memcpy(data.PArray, BlowfishInitP, sizeof data.PArray);
    std::memcpy(data.SBox, BlowfishInitS, sizeof data.SBox);
    int j = 0;
    for (uint32_t& p : data.PArray) {
        uint32_t word = 0;
        for (int b = 0; b < 4; ++b) {
            word = (word << 8) | k[j];
            j = (j + 1 == keyLen) ? 0 : j + 1;
        }
        p ^= word;
    }
    uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        Encipher(data, l, r);
        data.PArray[i] = l;
        data.PArray[i + 1] = r;
    }
    for (auto& box : data.SBox) {
        for (int i = 0; i < 256; i += 2) {
            Encipher(data, l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }

    if (initVector != nullptr)
        std::memcpy(data.InitVector, initVector, sizeof data.InitVector);
    else
        StoreBE64(data.InitVector, EncipherBlock(data, ~uint64_t{0}));
    BlowfishReset(data);
}

void BlowfishReset(TBlowfishData& data) {
    std::memcpy(data.Register, data.InitVector, sizeof data.Register);
}

void BlowfishBurn(TBlowfishData& data) {
    std::memset(static_cast<void*>(&data), 0xFF, sizeof data);
}

void BlowfishEncryptECB(const TBlowfishData& data, const void* source, void* target) {
    CheckBuffers("BlowfishEncryptECB", 8, source, target);
    StoreBE64(static_cast<uint8_t*>(target),
              EncipherBlock(data, LoadBE64(static_cast<const uint8_t*>(source))));
}

void BlowfishDecryptECB(const TBlowfishData& data, const void* source, void* target) {
    CheckBuffers("BlowfishDecryptECB", 8, source, target);
    StoreBE64(static_cast<uint8_t*>(target),
              DecipherBlock(data, LoadBE64(static_cast<const uint8_t*>(source))));
}

void BlowfishEncryptCBC(TBlowfishData& data, const void* source, void* target, int32_t count) {
    CheckBuffers("BlowfishEncryptCBC", count, source, target);
    auto src = static_cast<const uint8_t*>(source);
    auto dst = static_cast<uint8_t*>(target);
    uint64_t reg = LoadBE64(data.Register);
    for (; count >= 8; count -= 8, src += 8, dst += 8) {
        reg = EncipherBlock(data, LoadBE64(src) ^ reg);
        StoreBE64(dst, reg);
    }
    if (count > 0) XorPartial(src, dst, count, EncipherBlock(data, reg));
    StoreBE64(data.Register, reg);
}

void BlowfishDecryptCBC(TBlowfishData& data, const void* source, void* target, int32_t count) {
    CheckBuffers("BlowfishDecryptCBC", count, source, target);
    auto src = static_cast<const uint8_t*>(source);
    auto dst = static_cast<uint8_t*>(target);
    uint64_t reg = LoadBE64(data.Register);
    for (; count >= 8; count -= 8, src += 8, dst += 8) {
        const uint64_t cipher = LoadBE64(src); // read before writing: source may be target
        StoreBE64(dst, DecipherBlock(data, cipher) ^ reg);
        reg = cipher;
    }
    if (count > 0) XorPartial(src, dst, count, EncipherBlock(data, reg));
    StoreBE64(data.Register, reg);
}

void BlowfishEncryptCFB(TBlowfishData& data, const void* source, void* target, int32_t count) {
    CheckBuffers("BlowfishEncryptCFB", count, source, target);
    auto src = static_cast<const uint8_t*>(source);
    auto dst = static_cast<uint8_t*>(target);
    uint64_t reg = LoadBE64(data.Register);
    for (int32_t i = 0; i < count; ++i) {
        const auto c = static_cast<uint8_t>(src[i] ^ (EncipherBlock(data, reg) >> 56));
        dst[i] = c;
        reg = (reg << 8) | c;
    }
    StoreBE64(data.Register, reg);
}

void BlowfishDecryptCFB(TBlowfishData& data, const void* source, void* target, int32_t count) {
    CheckBuffers("BlowfishDecryptCFB", count, source, target);
    auto src = static_cast<const uint8_t*>(source);
    auto dst = static_cast<uint8_t*>(target);
    uint64_t reg = LoadBE64(data.Register);
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t c = src[i];
        dst[i] = static_cast<uint8_t>(c ^ (EncipherBlock(data, reg) >> 56));
        reg = (reg << 8) | c;
    }
    StoreBE64(data.Register, reg);
}

// ---------------------------------------------------------------------------------------------
// XOR scrambler and CRC-32

void XORCryptBuf(const void* source, void* target, const void* key, int32_t position,
                 int32_t keyLen, int32_t count) {
    CheckBuffers("XORCryptBuf", count, source, target);
    if (count == 0) return;
    if (key == nullptr || keyLen <= 0)
        ZanDatabaseErrorFmt(ErrInvalidParameter, "XORCryptBuf", "Invalid key length %d", {keyLen});
    auto src = static_cast<const uint8_t*>(source);
    auto dst = static_cast<uint8_t*>(target);
    auto k = static_cast<const uint8_t*>(key);
    // (k + step) mod keyLen with the step reduced once: k + step then stays below 2 * keyLen,
    // so one subtraction replaces the division, and 64 bits cannot overflow.
    const int64_t step = ((position & 100) + 1) % keyLen;
    int64_t index = 0;
    for (int32_t i = 0; i < count; ++i) {
        dst[i] = static_cast<uint8_t>(src[i] ^ k[index]);
        index += step;
        if (index >= keyLen) index -= keyLen;
    }
}

uint32_t CalcCRC(const void* buffer, int32_t count) {
    CheckBuffers("CalcCRC", count, buffer, buffer);
    return CRCUpdate(0, buffer, count);
}

#if defined(__x86_64__)
namespace {

#define ZAN_CLMUL __attribute__((target("pclmul,sse4.1")))

ZAN_CLMUL inline __m128i Load16(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x folded over 128 bits by the constants in k, onto next.
ZAN_CLMUL inline __m128i Fold16(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// The folded 128-bit register reduced to the 32-bit CRC register.
ZAN_CLMUL uint32_t CRCReduce(__m128i x1) {
    alignas(16) static const uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const uint64_t k5k0[2] = {0x0163cd6124, 0};
    alignas(16) static const uint64_t poly[2] = {0x01db710641, 0x01f7011641};
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    __m128i x2;
    // 128 bits to 64.
    const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, mask32);
    x1 = _mm_clmulepi64_si128(x1, k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    // Barrett reduction to 32 bits.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2 = _mm_and_si128(x1, mask32);
    x2 = _mm_clmulepi64_si128(x2, k, 0x10);
    x2 = _mm_and_si128(x2, mask32);
    x2 = _mm_clmulepi64_si128(x2, k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

// The CRC-32 register (not inverted) carried over whole 16-byte blocks by carry-less
// multiplication: four lanes fold 64 bytes at a time, then fold into one lane, which is
// reduced to 32 bits (Barrett). len is a multiple of 16 and at least 64. The constants are
// x^k mod P for the reflected polynomial, and P and its quotient for the reduction.
ZAN_CLMUL uint32_t CRCFold(const uint8_t* p, size_t len, uint32_t crc) {
    alignas(16) static const uint64_t k1k2[2] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
    __m128i x1 = Load16(p), x2 = Load16(p + 16), x3 = Load16(p + 32), x4 = Load16(p + 48);
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    p += 64;
    len -= 64;
    while (len >= 64) {
        x1 = Fold16(x1, k, Load16(p));
        x2 = Fold16(x2, k, Load16(p + 16));
        x3 = Fold16(x3, k, Load16(p + 32));
        x4 = Fold16(x4, k, Load16(p + 48));
        p += 64;
        len -= 64;
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = Fold16(x1, k, x2);
    x1 = Fold16(x1, k, x3);
    x1 = Fold16(x1, k, x4);
    while (len >= 16) {
        x1 = Fold16(x1, k, Load16(p));
        p += 16;
        len -= 16;
    }
    return CRCReduce(x1);
}

#define ZAN_WIDE_CLMUL __attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1")))

ZAN_WIDE_CLMUL inline __m256i Load32(const uint8_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Both 128-bit lanes of x folded by the constants in k, onto next.
ZAN_WIDE_CLMUL inline __m256i Fold32(__m256i x, __m256i k, __m256i next) {
    const __m256i lo = _mm256_clmulepi64_epi128(x, k, 0x00);
    const __m256i hi = _mm256_clmulepi64_epi128(x, k, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(hi, lo), next);
}

// CRCFold where the processor multiplies two 128-bit lanes in one instruction: four 256-bit
// registers (eight lanes) fold 128 bytes at a time, by constants that carry a lane over 1024
// bits (x^(1024+32) and x^(1024-32) mod P, reflected, as k1k2 do over 512 bits); the lanes are
// then folded into one in stream order, the remaining 16-byte blocks onto it, and it is
// reduced as CRCFold's. len is a multiple of 16 and at least 128.
ZAN_WIDE_CLMUL uint32_t CRCFoldWide(const uint8_t* p, size_t len, uint32_t crc) {
    alignas(32) static const uint64_t k8[4] = {0x01e88ef372, 0x014a7fe880, 0x01e88ef372,
                                               0x014a7fe880};
    alignas(16) static const uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
    __m256i y1 = Load32(p), y2 = Load32(p + 32), y3 = Load32(p + 64), y4 = Load32(p + 96);
    y1 = _mm256_xor_si256(y1, _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    const __m256i k = _mm256_load_si256(reinterpret_cast<const __m256i*>(k8));
    p += 128;
    len -= 128;
    while (len >= 128) {
        y1 = Fold32(y1, k, Load32(p));
        y2 = Fold32(y2, k, Load32(p + 32));
        y3 = Fold32(y3, k, Load32(p + 64));
        y4 = Fold32(y4, k, Load32(p + 96));
        p += 128;
        len -= 128;
    }
    const __m128i k4 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    __m128i x = _mm256_castsi256_si128(y1);
    x = Fold16(x, k4, _mm256_extracti128_si256(y1, 1));
    x = Fold16(x, k4, _mm256_castsi256_si128(y2));
    x = Fold16(x, k4, _mm256_extracti128_si256(y2, 1));
    x = Fold16(x, k4, _mm256_castsi256_si128(y3));
    x = Fold16(x, k4, _mm256_extracti128_si256(y3, 1));
    x = Fold16(x, k4, _mm256_castsi256_si128(y4));
    x = Fold16(x, k4, _mm256_extracti128_si256(y4, 1));
    while (len >= 16) {
        x = Fold16(x, k4, Load16(p));
        p += 16;
        len -= 16;
    }
    return CRCReduce(x);
}

#undef ZAN_WIDE_CLMUL
#undef ZAN_CLMUL

const bool GHasCarryLessMultiply =
    __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
const bool GHasWideCarryLessMultiply = GHasCarryLessMultiply &&
                                       __builtin_cpu_supports("vpclmulqdq") &&
                                       __builtin_cpu_supports("avx2");

} // namespace
#endif

uint32_t CRCUpdate(uint32_t crc, const void* buffer, int32_t count) {
    CheckBuffers("CRCUpdate", count, buffer, buffer);
    // The common CRC-32 (reflected polynomial 0xEDB88320, inverted before and after). The
    // journal checksums every page it saves: whole 16-byte blocks of a long buffer are folded
    // by carry-less multiplication where the processor has it, the rest goes through zlib's.
    if (count == 0) return crc;
    const auto* p = static_cast<const uint8_t*>(buffer);
    size_t left = static_cast<size_t>(count);
#if defined(__x86_64__)
    if (GHasCarryLessMultiply && left >= 64) {
        const size_t blocks = left & ~size_t(15);
        crc = GHasWideCarryLessMultiply && blocks >= 256 ? ~CRCFoldWide(p, blocks, ~crc)
                                                          : ~CRCFold(p, blocks, ~crc);
        p += blocks;
        left -= blocks;
        if (left == 0) return crc;
    }
#endif
    return static_cast<uint32_t>(crc32(crc, p, static_cast<uInt>(left)));
}

} // namespace zan
