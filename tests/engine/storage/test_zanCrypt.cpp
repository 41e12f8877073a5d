#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (hex[i] == ' ') {
            --i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
std::string ToHex(const Bytes& b) {
    return ToHex(b.data(), b.size());
}

Bytes FromText(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A digest printed in the usual form (h0..h4 big-endian) turned into the engine's byte order.
std::string EngineOrder(const std::string& printed) {
    Bytes b = FromHex(printed);
    for (size_t i = 0; i < b.size(); i += 4)
        std::swap(b[i], b[i + 3]), std::swap(b[i + 1], b[i + 2]);
    return ToHex(b);
}

std::string Digest(TSha1Stream& s) {
    uint8_t d[20];
    s.GetDigest(d);
    return ToHex(d, 20);
}

std::string DigestInChunks(const std::string& text, size_t chunk) {
    TSha1Stream s;
    for (size_t at = 0; at < text.size(); at += chunk)
        s.WriteBuffer(text.data() + at, static_cast<int32_t>(std::min(chunk, text.size() - at)));
    return Digest(s);
}

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(gen());
    return b;
}

TBlowfishData KeyedWith(const Bytes& key, const uint8_t* iv = nullptr) {
    TBlowfishData d;
    BlowfishInit(d, key.data(), static_cast<int32_t>(key.size() * 8), iv);
    return d;
}

Bytes Ecb(const TBlowfishData& d, const Bytes& block) {
    Bytes out(8);
    BlowfishEncryptECB(d, block.data(), out.data());
    return out;
}

// 8-bit CFB built from single ECB encipherments, as the mode is defined.
Bytes CfbReference(const TBlowfishData& d, const Bytes& plain) {
    Bytes reg(d.Register, d.Register + 8), out;
    for (uint8_t p : plain) {
        uint8_t c = static_cast<uint8_t>(p ^ Ecb(d, reg)[0]);
        out.push_back(c);
        reg.erase(reg.begin());
        reg.push_back(c);
    }
    return out;
}

const std::string Sha56 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

} // namespace

TEST(Sha1, PublishedVectorsInEngineByteOrderAndAnyChunking) {
    const std::pair<std::string, std::string> vectors[] = {
        {"abc", "A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D"},
        {Sha56, "84983E44 1C3BD26E BAAE4AA1 F95129E5 E54670F1"},
        {std::string(1000000, 'a'), "34AA973C D4C4DAA4 F61EEB2B DBAD2731 6534016F"},
    };
    EXPECT_EQ(EngineOrder(vectors[0].second), "363E99A96A81064771253EBA6CC250789DD8D09C");
    for (const auto& [text, printed] : vectors) {
        const std::string want = EngineOrder(printed);
        for (size_t chunk :
             {size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65}, text.size()})
            EXPECT_EQ(DigestInChunks(text, chunk), want) << text.size() << " bytes by " << chunk;
        uint8_t d[20];
        GetSHA1FromString(text, d);
        EXPECT_EQ(ToHex(d, 20), want);
    }
}

TEST(Sha1, DigestWordsEmptyInputAndRestart) {
    TSha1Stream s;
    s.WriteBuffer("abc", 3);
    int32_t words[5];
    s.GetDigest(words);
    // Read back as the security manager stores them: five signed little-endian words.
    const int32_t want[5] = {-1449574858, 1191608682, -1170332303, 2018558572, -1664034659};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(words[i], want[i]);

    // GetDigest started a new digest: nothing fed gives the standard empty digest.
    const std::string empty = EngineOrder("DA39A3EE 5E6B4B0D 3255BFEF 95601890 AFD80709");
    EXPECT_EQ(Digest(s), empty);
    EXPECT_TRUE(empty.starts_with("EEA339DA"));

    // The text form holds the same bytes and restarts too.
    s.WriteBuffer("abc", 3);
    const std::string str = s.GetDigestString();
    ASSERT_EQ(str.size(), 20u);
    EXPECT_EQ(ToHex(reinterpret_cast<const uint8_t*>(str.data()), 20),
              EngineOrder("A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D"));
    EXPECT_EQ(Digest(s), empty);

    // An empty text is the special all-zero digest, not the empty-stream digest.
    uint8_t d[20];
    std::memset(d, 0xAA, sizeof d);
    GetSHA1FromString("", d);
    EXPECT_EQ(ToHex(d, 20), std::string(40, '0'));
}

TEST(Sha1, StreamContract) {
    TSha1Stream s;
    char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(s.Read(buf, 4), 0);
    EXPECT_EQ(buf[0], 1);
    EXPECT_THROW(s.ReadBuffer(buf, 4), EReadError);

    s.WriteBuffer("xyz", 3);
    // Asking for the position or size does not rewind.
    EXPECT_EQ(s.GetPosition(), 3);
    EXPECT_EQ(s.GetSize(), 3);
    s.WriteBuffer("zzzz", 4);
    EXPECT_EQ(s.Seek(7, soBeginning), 7);
    EXPECT_EQ(s.Seek(0, soBeginning), 0); // rewinds: the earlier bytes are forgotten
    s.WriteBuffer("abc", 3);
    EXPECT_EQ(Digest(s), EngineOrder("A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D"));

    s.WriteBuffer("abc", 3);
    EXPECT_EQ(ErrorCodeOf([&] { s.GetDigest(nullptr); }), 9986);
    EXPECT_EQ(Digest(s), EngineOrder("A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D"));
    EXPECT_EQ(s.Write(nullptr, 5), 0);
    EXPECT_EQ(s.Write("a", -1), 0);
    EXPECT_EQ(s.Write("a", 0), 0);
}

TEST(Blowfish, PublishedEcbTable) {
    struct Row {
        const char *Key, *Plain, *Cipher;
    };
    const Row rows[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
        {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
        {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
        {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
        {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
        {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
        {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
        {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
        {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
        {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
        {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
        {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
        {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
        {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
        {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
        {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
        {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
        {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
        {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
        {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
        {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
        {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
        {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
        {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
        {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
        {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
    };
    for (const Row& r : rows) {
        const TBlowfishData d = KeyedWith(FromHex(r.Key));
        Bytes block = Ecb(d, FromHex(r.Plain));
        EXPECT_EQ(ToHex(block), r.Cipher) << "key " << r.Key;
        BlowfishDecryptECB(d, block.data(), block.data()); // in place
        EXPECT_EQ(ToHex(block), r.Plain) << "key " << r.Key;
    }
}

TEST(Blowfish, PublishedKeyLengthTable) {
    // Prefixes of one key, 1 to 24 bytes, enciphering FEDCBA9876543210.
    const Bytes key = FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    const char* cipher[24] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
        "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
        "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
        "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
    for (size_t n = 1; n <= 24; ++n) {
        const TBlowfishData d = KeyedWith(Bytes(key.begin(), key.begin() + n));
        EXPECT_EQ(ToHex(Ecb(d, FromHex("FEDCBA9876543210"))), cipher[n - 1]) << n << " bytes";
    }
}

TEST(Blowfish, CbcPublishedWholeBlocksAndPartialTail) {
    const Bytes iv = FromHex("FEDCBA9876543210");
    TBlowfishData d = KeyedWith(FromHex("0123456789ABCDEFF0E1D2C3B4A59687"), iv.data());
    EXPECT_EQ(ToHex(d.Register, 8), "FEDCBA9876543210");
    const Bytes plain = FromText("7654321 Now is the time ");
    Bytes buf = plain;
    BlowfishEncryptCBC(d, buf.data(), buf.data(), 24);
    EXPECT_EQ(ToHex(buf), "6B77B4D63006DEE605B156E27403979358DEB9E7154616D9");
    EXPECT_EQ(ToHex(d.Register, 8), "58DEB9E7154616D9"); // the last ciphertext block
    BlowfishReset(d);
    BlowfishDecryptCBC(d, buf.data(), buf.data(), 24);
    EXPECT_EQ(buf, plain);

    // 21 bytes: two chained blocks, then 5 bytes XORed with E(register); no stealing.
    const Bytes msg = RandomBytes(21, 7);
    BlowfishReset(d);
    Bytes enc(21);
    BlowfishEncryptCBC(d, msg.data(), enc.data(), 21);
    Bytes reg = iv, want;
    for (int b = 0; b < 2; ++b) {
        Bytes x(8);
        for (int i = 0; i < 8; ++i)
            x[i] = msg[8 * b + i] ^ reg[i];
        reg = Ecb(d, x);
        want.insert(want.end(), reg.begin(), reg.end());
    }
    const Bytes ks = Ecb(d, reg);
    for (int i = 0; i < 5; ++i)
        want.push_back(msg[16 + i] ^ ks[i]);
    EXPECT_EQ(enc, want);
    EXPECT_EQ(Bytes(d.Register, d.Register + 8), reg);
    BlowfishReset(d);
    Bytes dec(21);
    BlowfishDecryptCBC(d, enc.data(), dec.data(), 21);
    EXPECT_EQ(dec, msg);

    // A tail alone (fewer than 8 bytes) uses E(IV) and leaves the register alone.
    BlowfishReset(d);
    Bytes tail = {1, 2, 3};
    BlowfishEncryptCBC(d, tail.data(), tail.data(), 3);
    const Bytes eiv = Ecb(d, iv);
    EXPECT_EQ(tail, (Bytes{uint8_t(1 ^ eiv[0]), uint8_t(2 ^ eiv[1]), uint8_t(3 ^ eiv[2])}));
    EXPECT_EQ(ToHex(d.Register, 8), "FEDCBA9876543210");
}

TEST(Blowfish, CfbMatchesReferenceAndRoundTrips) {
    TBlowfishData d = KeyedWith(FromHex("0123456789ABCDEFF0E1D2C3B4A59687"));
    const Bytes page = RandomBytes(4096, 42);
    const Bytes want = CfbReference(d, page);

    Bytes enc(page.size());
    BlowfishEncryptCFB(d, page.data(), enc.data(), 4096);
    EXPECT_EQ(enc, want);
    // The register holds the last eight ciphertext bytes.
    EXPECT_EQ(Bytes(d.Register, d.Register + 8), Bytes(enc.end() - 8, enc.end()));

    // Several calls chain through the register exactly like one call.
    BlowfishReset(d);
    Bytes parts = page;
    BlowfishEncryptCFB(d, parts.data(), parts.data(), 1);
    BlowfishEncryptCFB(d, parts.data() + 1, parts.data() + 1, 1000);
    BlowfishEncryptCFB(d, parts.data() + 1001, parts.data() + 1001, 3095);
    EXPECT_EQ(parts, want);

    // Decipher in place, split differently.
    BlowfishReset(d);
    BlowfishDecryptCFB(d, parts.data(), parts.data(), 7);
    BlowfishDecryptCFB(d, parts.data() + 7, parts.data() + 7, 4089);
    EXPECT_EQ(parts, page);
}

TEST(Blowfish, PageEncipheredTwiceWithResetIsIdentical) {
    TBlowfishData d = KeyedWith(Bytes(C_ZANDEFAULTBLOWKEY, C_ZANDEFAULTBLOWKEY + 14));
    const Bytes page = RandomBytes(4096, 3);
    Bytes first(4096), second(4096);
    BlowfishEncryptCFB(d, page.data(), first.data(), 4096);
    BlowfishReset(d);
    BlowfishEncryptCFB(d, page.data(), second.data(), 4096);
    EXPECT_EQ(first, second);
    // Without the reset the register has moved on and the bytes differ.
    BlowfishEncryptCFB(d, page.data(), second.data(), 4096);
    EXPECT_NE(first, second);
}

TEST(Blowfish, DefaultKeyRegressionValues) {
    TBlowfishData d = KeyedWith(Bytes(C_ZANDEFAULTBLOWKEY, C_ZANDEFAULTBLOWKEY + 14));
    EXPECT_EQ(ToHex(d.InitVector, 8), "7BF64B42953E01BD");
    EXPECT_EQ(ToHex(d.Register, 8), "7BF64B42953E01BD");
    EXPECT_EQ(ToHex(Ecb(d, Bytes(8, 0xFF))), "7BF64B42953E01BD");
    Bytes zeros(16, 0);
    BlowfishEncryptCFB(d, zeros.data(), zeros.data(), 16);
    EXPECT_EQ(ToHex(zeros), "5F6B82DA92AEA027B8EC62A2900A373E");
    BlowfishReset(d);
    Bytes abc = FromText("abc");
    BlowfishEncryptCFB(d, abc.data(), abc.data(), 3);
    EXPECT_EQ(ToHex(abc), "3E85A8");
}

TEST(Blowfish, KeyLengthLimitsAndBadInput) {
    const Bytes key57 = RandomBytes(57, 9);
    const Bytes key56(key57.begin(), key57.end() - 1);
    const TBlowfishData a = KeyedWith(key57), b = KeyedWith(key56);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0); // a 57-byte key acts as its first 56 bytes
    Bytes key55(key57.begin(), key57.end() - 2);
    const TBlowfishData c = KeyedWith(key55);
    EXPECT_NE(std::memcmp(&a, &c, sizeof a), 0);

    // A refused key leaves the state untouched.
    TBlowfishData d = a;
    const uint8_t k[2] = {1, 2};
    EXPECT_EQ(ErrorCodeOf([&] { BlowfishInit(d, k, 0); }), 9986);
    EXPECT_EQ(ErrorCodeOf([&] { BlowfishInit(d, k, 12); }), 9986);
    EXPECT_EQ(ErrorCodeOf([&] { BlowfishInit(d, k, -8); }), 9986);
    EXPECT_EQ(ErrorCodeOf([&] { BlowfishInit(d, nullptr, 16); }), 9986);
    EXPECT_EQ(std::memcmp(&a, &d, sizeof a), 0);

    EXPECT_EQ(ErrorCodeOf([&] { BlowfishEncryptCFB(d, k, nullptr, -1); }), 9986);
    EXPECT_EQ(ErrorCodeOf([&] { BlowfishEncryptCBC(d, nullptr, nullptr, 8); }), 9986);
    BlowfishEncryptCFB(d, nullptr, nullptr, 0);
    BlowfishDecryptCBC(d, nullptr, nullptr, 0);
    EXPECT_EQ(std::memcmp(&a, &d, sizeof a), 0);

    BlowfishBurn(d);
    const auto* raw = reinterpret_cast<const uint8_t*>(&d);
    EXPECT_EQ(std::count(raw, raw + sizeof d, 0xFF), static_cast<long>(sizeof d));
}

TEST(XorCrypt, KeyIndexSequencesAndSelfInverse) {
    // A key whose byte i is i reveals the index sequence when zero bytes are scrambled.
    Bytes key(71);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(i);
    auto sequence = [&](int32_t position, int n) {
        Bytes zeros(static_cast<size_t>(n), 0), out(static_cast<size_t>(n));
        XORCryptBuf(zeros.data(), out.data(), key.data(), position, 71, n);
        return out;
    };
    Bytes linear(75);
    for (int i = 0; i < 75; ++i)
        linear[static_cast<size_t>(i)] = static_cast<uint8_t>(i % 71);
    EXPECT_EQ(sequence(0, 75), linear);
    EXPECT_EQ(sequence(1024, 75), linear); // 1024 AND 100 = 0
    EXPECT_EQ(sequence(96, 6), (Bytes{0, 26, 52, 7, 33, 59}));
    EXPECT_EQ(sequence(4, 4), (Bytes{0, 5, 10, 15}));
    EXPECT_EQ(sequence(-1, 3), (Bytes{0, 30, 60})); // step 101, from -1 AND 100 = 100

    // Short keys and every step agree with the literal rule k := (k + (position AND 100) + 1)
    // mod keyLen.
    for (int32_t len : {1, 2, 3, 50, 71, 101, 102}) {
        for (int32_t position : {0, 4, 32, 64, 96, 100, 1000, -7}) {
            const Bytes src = RandomBytes(300, static_cast<uint32_t>(len * 1000 + position));
            Bytes want(300), got(300);
            for (int32_t i = 0, k = 0; i < 300; ++i, k = (k + (position & 100) + 1) % len)
                want[static_cast<size_t>(i)] =
                    src[static_cast<size_t>(i)] ^ key[static_cast<size_t>(k % 71)];
            Bytes longKey(static_cast<size_t>(len));
            for (int32_t i = 0; i < len; ++i)
                longKey[static_cast<size_t>(i)] = key[static_cast<size_t>(i % 71)];
            XORCryptBuf(src.data(), got.data(), longKey.data(), position, len, 300);
            EXPECT_EQ(got, want) << len << " " << position;
        }
    }

    // The fixed key: scrambling twice restores the bytes, also in place.
    const Bytes data = RandomBytes(5000, 11);
    Bytes buf = data;
    XORCryptBuf(buf.data(), buf.data(), C_ZANXORKEY, 37, 71, 5000);
    EXPECT_NE(buf, data);
    XORCryptBuf(buf.data(), buf.data(), C_ZANXORKEY, 37, 71, 5000);
    EXPECT_EQ(buf, data);

    EXPECT_EQ(ErrorCodeOf([&] { XORCryptBuf(buf.data(), buf.data(), key.data(), 0, 0, 5); }), 9986);
    XORCryptBuf(nullptr, nullptr, nullptr, 0, 0, 0); // nothing to do
}

TEST(Crc32, VectorsAndAgreementWithZlib) {
    EXPECT_EQ(CalcCRC("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(CalcCRC("abc", 3), 0x352441C2u);
    EXPECT_EQ(CalcCRC(nullptr, 0), 0u);
    for (size_t n : {size_t{1}, size_t{255}, size_t{4096}}) {
        const Bytes b = RandomBytes(n, static_cast<uint32_t>(n));
        EXPECT_EQ(CalcCRC(b.data(), static_cast<int32_t>(n)),
                  crc32(0, b.data(), static_cast<uInt>(n)));
    }
    EXPECT_EQ(ErrorCodeOf([] { CalcCRC("a", -1); }), 9986);
    // Continued over a split buffer it gives the CRC of the whole.
    EXPECT_EQ(CRCUpdate(CalcCRC("1234", 4), "56789", 5), 0xCBF43926u);
    EXPECT_EQ(CRCUpdate(0, "abc", 3), 0x352441C2u);
}

// Every length around the folded blocks (64 bytes and more, in steps of 16, with tails), at
// unaligned starts, continued from any register: the same as zlib's, also when one buffer is
// checksummed in two calls split anywhere.
TEST(Crc32, FoldedBlocksAgreeWithZlibAtAnyLengthAndStart) {
    const Bytes b = RandomBytes(9000, 77);
    int wrong = 0;
    for (size_t n = 0; n <= 600; ++n)
        for (size_t start : {size_t{0}, size_t{1}, size_t{7}, size_t{13}}) {
            const uint32_t seed = static_cast<uint32_t>(n * 2654435761u);
            const uint32_t want =
                static_cast<uint32_t>(crc32(seed, b.data() + start, static_cast<uInt>(n)));
            wrong += CRCUpdate(seed, b.data() + start, static_cast<int32_t>(n)) != want;
        }
    EXPECT_EQ(wrong, 0);
    for (size_t n : {size_t{4096}, size_t{4108}, size_t{8191}, size_t{8999}}) {
        const uint32_t whole = static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(n)));
        EXPECT_EQ(CalcCRC(b.data(), static_cast<int32_t>(n)), whole) << n;
        for (size_t cut : {size_t{1}, size_t{63}, size_t{64}, size_t{100}, n / 2, n - 65})
            EXPECT_EQ(CRCUpdate(CalcCRC(b.data(), static_cast<int32_t>(cut)), b.data() + cut,
                                static_cast<int32_t>(n - cut)),
                      whole)
                << n << " cut at " << cut;
    }
    // All zeros and all ones: no lane cancels another.
    const Bytes zeros(4096, 0), ones(4096, 0xFF);
    EXPECT_EQ(CalcCRC(zeros.data(), 4096), static_cast<uint32_t>(crc32(0, zeros.data(), 4096)));
    EXPECT_EQ(CalcCRC(ones.data(), 4096), static_cast<uint32_t>(crc32(0, ones.data(), 4096)));
}

TEST(CryptKeys, FixedKeyTexts) {
    EXPECT_EQ(std::string(C_ZANXORKEY, C_ZANXORKEY + sizeof C_ZANXORKEY),
              "k7fq2wzp;hruvbne,Tgm;QWXLA8RPOIJE,BVtmdhzwx,pqlro4<6!3U7hjk_vbm$wetyoaq");
    EXPECT_EQ(std::string(C_ZANDEFAULTBLOWKEY, C_ZANDEFAULTBLOWKEY + sizeof C_ZANDEFAULTBLOWKEY),
              "7[k4wfpa28qz&M");
}
