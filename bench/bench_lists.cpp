// Build and probe rates of the byte-key hash, the hash collection behind the page cache, and the
// compound list sort used for record-address lists, with the memory the hashes take.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/zanLists.h"

using namespace zan;

namespace {

// Random keys of keyLength bytes, laid out back to back.
std::vector<uint8_t> MakeKeys(int32_t count, int32_t keyLength) {
    std::vector<uint8_t> keys(static_cast<size_t>(count) * static_cast<size_t>(keyLength));
    std::mt19937_64 rng(7);
    for (size_t i = 0; i < keys.size(); i += 8) {
        uint64_t word = rng();
        std::memcpy(&keys[i], &word, std::min<size_t>(8, keys.size() - i));
    }
    return keys;
}

// The bytes a hash holds for its dimensions: a 4-byte head per bucket, and per entry slot the
// chain entry (next slot and value, 8 bytes), the key slot and a free-slot stack entry (4 bytes).
double HashBytes(const TZanBaseHash& hash) {
    return 4.0 * hash.BucketCount() + (8.0 + 4.0 + hash.KeyLength()) * hash.MaxEntries();
}

// Peak resident set of the process in bytes (VmHWM), 0 when unknown.
double PeakRssBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return 1024.0 * std::stod(line.substr(6));
    return 0;
}

// Lowers the peak resident set to the present one, so the next reading shows one benchmark's
// peak; without support the reading stays the peak of the whole run.
void ResetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    if (clear) clear << "5";
}

void BaseHashBuild(benchmark::State& state) {
    const auto count = static_cast<int32_t>(state.range(0));
    const auto keyLength = static_cast<int32_t>(state.range(1));
    const std::vector<uint8_t> keys = MakeKeys(count, keyLength);
    ResetPeakRss();
    double bytes = 0;
    for (auto _ : state) {
        TZanBaseHash hash(count, keyLength, count);
        for (int32_t i = 0; i < count; ++i)
            hash.Add(&keys[static_cast<size_t>(i) * keyLength], keyLength,
                     static_cast<uint32_t>(i));
        benchmark::DoNotOptimize(hash.EntryCount());
        bytes = HashBytes(hash);
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["HashMB"] = bytes / (1024 * 1024);
    state.counters["PeakRssMB"] = PeakRssBytes() / (1024 * 1024);
}

void BaseHashProbe(benchmark::State& state) {
    const auto count = static_cast<int32_t>(state.range(0));
    const auto keyLength = static_cast<int32_t>(state.range(1));
    const std::vector<uint8_t> keys = MakeKeys(count, keyLength);
    ResetPeakRss();
    TZanBaseHash hash(count, keyLength, count);
    for (int32_t i = 0; i < count; ++i)
        hash.Add(&keys[static_cast<size_t>(i) * keyLength], keyLength, static_cast<uint32_t>(i));
    // Probe in a scrambled order so that successive probes do not walk memory in order.
    std::vector<int32_t> order(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(11));
    uint64_t found = 0;
    for (auto _ : state) {
        for (int32_t i : order)
            found += hash.ValueOf(&keys[static_cast<size_t>(i) * keyLength], keyLength) ==
                     static_cast<uint32_t>(i);
    }
    benchmark::DoNotOptimize(found);
    if (found != static_cast<uint64_t>(state.iterations()) * static_cast<uint64_t>(count))
        state.SkipWithError("a key was not found");
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["HashMB"] = HashBytes(hash) / (1024 * 1024);
    state.counters["PeakRssMB"] = PeakRssBytes() / (1024 * 1024);
}

constexpr int32_t PageKeys = 100000;

// Page keys as the page cache forms them: page address, then a file tag.
void FillCollection(THashCollection& pages) {
    for (int32_t i = 0; i < PageKeys; ++i) {
        auto* item = static_cast<THashCollectionItem*>(pages.Add());
        item->SetHashFromInts(static_cast<uint32_t>(i) * 4096u, 1u);
        pages.AddHashKey(item->GetHashKey(), item->GetID());
    }
}

std::unique_ptr<THashCollection> NewCollection() {
    return std::make_unique<THashCollection>(
        [] { return std::make_unique<THashCollectionItem>(); });
}

void HashCollectionAdd(benchmark::State& state) {
    for (auto _ : state) {
        auto pages = NewCollection();
        FillCollection(*pages);
        benchmark::DoNotOptimize(pages->Count());
        state.counters["HashMB"] = HashBytes(pages->Hash()) / (1024 * 1024);
    }
    state.SetItemsProcessed(state.iterations() * PageKeys);
}

void HashCollectionFind(benchmark::State& state) {
    auto pages = NewCollection();
    FillCollection(*pages);
    uint64_t found = 0;
    for (auto _ : state) {
        for (int32_t i = 0; i < PageKeys; ++i) {
            // The item key: both words little-endian, as SetHashFromInts lays them out.
            const uint32_t words[2] = {static_cast<uint32_t>(i) * 4096u, 1u};
            uint8_t key[THashCollectionItem::KeyLength];
            for (int w = 0; w < 2; ++w)
                for (int b = 0; b < 4; ++b)
                    key[w * 4 + b] = static_cast<uint8_t>(words[w] >> (8 * b));
            found += pages->FindHashKey(key) != nullptr;
        }
    }
    if (found != static_cast<uint64_t>(state.iterations()) * PageKeys)
        state.SkipWithError("a page key was not found");
    state.SetItemsProcessed(state.iterations() * PageKeys);
}

void CompoundListSort(benchmark::State& state) {
    const auto count = static_cast<int32_t>(state.range(0));
    std::mt19937 rng(3);
    TCompoundList source;
    for (int32_t i = 0; i < count; ++i)
        source.Add(static_cast<int32_t>(rng()), i);
    for (auto _ : state) {
        state.PauseTiming();
        TCompoundList list = source;
        state.ResumeTiming();
        list.SortList1();
        benchmark::DoNotOptimize(list.List1().data());
    }
    state.SetItemsProcessed(state.iterations() * count);
}

} // namespace

BENCHMARK(BaseHashBuild)
    ->ArgNames({"keys", "keyLen"})
    ->Args({100000, 8})
    ->Args({100000, 40})
    ->Args({1000000, 8})
    ->Args({1000000, 40})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BaseHashProbe)
    ->ArgNames({"keys", "keyLen"})
    ->Args({100000, 8})
    ->Args({100000, 40})
    ->Args({1000000, 8})
    ->Args({1000000, 40})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(HashCollectionAdd)->Unit(benchmark::kMillisecond);
BENCHMARK(HashCollectionFind)->Unit(benchmark::kMillisecond);
BENCHMARK(CompoundListSort)->Arg(1000000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
