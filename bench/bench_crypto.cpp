// Throughput of the engine's digests, ciphers and checksums.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/storage/zanCrypt.h"

using namespace zan;

namespace {

std::vector<uint8_t> Data(size_t n) {
    std::vector<uint8_t> b(n);
    uint32_t x = 2463534242u;
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<uint8_t>(x);
    }
    return b;
}

constexpr int32_t BufSize = 1 << 16;

void BM_Sha1(benchmark::State& state) {
    const auto buf = Data(BufSize);
    TSha1Stream sha;
    uint8_t digest[20];
    for (auto _ : state) {
        sha.Write(buf.data(), BufSize);
        sha.GetDigest(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * BufSize);
}
BENCHMARK(BM_Sha1);

void BM_Crc32(benchmark::State& state) {
    const auto buf = Data(BufSize);
    for (auto _ : state)
        benchmark::DoNotOptimize(CalcCRC(buf.data(), BufSize));
    state.SetBytesProcessed(state.iterations() * BufSize);
}
BENCHMARK(BM_Crc32);

void BM_BlowfishECB(benchmark::State& state) {
    auto buf = Data(BufSize);
    TBlowfishData data;
    BlowfishInit(data, C_ZANDEFAULTBLOWKEY, 14 * 8);
    for (auto _ : state) {
        for (int32_t i = 0; i < BufSize; i += 8)
            BlowfishEncryptECB(data, buf.data() + i, buf.data() + i);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BufSize);
}
BENCHMARK(BM_BlowfishECB);

// One database page enciphered the way the file layer does it: CFB-8 and a reset.
void BM_BlowfishCFBPageEncrypt(benchmark::State& state) {
    auto page = Data(4096);
    TBlowfishData data;
    BlowfishInit(data, C_ZANDEFAULTBLOWKEY, 14 * 8);
    for (auto _ : state) {
        BlowfishEncryptCFB(data, page.data(), page.data(), 4096);
        BlowfishReset(data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations()); // pages
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_BlowfishCFBPageEncrypt);

void BM_BlowfishCFBPageDecrypt(benchmark::State& state) {
    auto page = Data(4096);
    TBlowfishData data;
    BlowfishInit(data, C_ZANDEFAULTBLOWKEY, 14 * 8);
    for (auto _ : state) {
        BlowfishDecryptCFB(data, page.data(), page.data(), 4096);
        BlowfishReset(data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_BlowfishCFBPageDecrypt);

// The key schedule, paid at every file open.
void BM_BlowfishKeySchedule(benchmark::State& state) {
    TBlowfishData data;
    for (auto _ : state) {
        BlowfishInit(data, C_ZANDEFAULTBLOWKEY, 14 * 8);
        benchmark::DoNotOptimize(data.Register);
    }
}
BENCHMARK(BM_BlowfishKeySchedule);

void BM_XORCrypt(benchmark::State& state) {
    auto buf = Data(BufSize);
    for (auto _ : state) {
        XORCryptBuf(buf.data(), buf.data(), C_ZANXORKEY, 7, 71, BufSize);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BufSize);
}
BENCHMARK(BM_XORCrypt);

} // namespace

BENCHMARK_MAIN();
