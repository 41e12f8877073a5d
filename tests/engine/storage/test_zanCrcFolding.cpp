// CRC-32 of the engine against zlib's on every start alignment and on lengths around the folded
// block sizes (16, 64 bytes, and 128 where two lanes are multiplied at once, from 256 bytes),
// with chained updates: the folded paths and their tails must agree.
#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <vector>

#include "engine/storage/zanCrypt.h"

using namespace zan;

TEST(CrcFolding, AgreesWithZlibOnOddLengthsAndUnalignedStarts) {
    std::mt19937 rng(7);
    std::vector<uint8_t> buffer(9000 + 64);
    for (auto& b : buffer)
        b = uint8_t(rng());
    std::vector<int32_t> lengths;
    for (int32_t n = 0; n <= 700; ++n)
        lengths.push_back(n);
    for (int32_t n : {511, 512, 513, 1023, 1024, 1025, 1151, 1152, 4095, 4096, 4097, 8191, 9000})
        lengths.push_back(n);
    int failures = 0;
    for (size_t start = 0; start < 17; ++start)
        for (int32_t n : lengths)
            for (uint32_t seed : {0u, 0xFFFFFFFFu, 0x12345678u}) {
                const uint8_t* p = buffer.data() + start;
                const auto want = uint32_t(crc32(seed, p, uInt(n)));
                const uint32_t got = CRCUpdate(seed, p, n);
                if (got != want && ++failures < 10)
                    ADD_FAILURE() << "start " << start << " length " << n << " seed " << seed;
                // Two updates in a row are one over both parts.
                const int32_t cut = n / 3;
                const uint32_t chained = CRCUpdate(CRCUpdate(seed, p, cut), p + cut, n - cut);
                if (chained != want && ++failures < 10)
                    ADD_FAILURE() << "chained start " << start << " length " << n;
            }
    EXPECT_EQ(failures, 0);
}
