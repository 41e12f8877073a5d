// B-tree throughput over the memory block store: inserts in random order, point searches and a
// full in-order scan for 1M integer keys and 1M 40-byte string keys (ASCII and ANSI order), with
// fixed and variable entries; depth and pages are reported as counters. A std::map over the
// same integer keys runs alongside as a sanity reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/zanBTreeUnit.h"
#include "engine/storage/zanInterfaceUnit.h"

using namespace zan;

namespace {

constexpr int32_t N = 1000000;
constexpr uint32_t PageSize = 4096;
constexpr int32_t StringSize = 41; // 40 bytes and the terminating zero of a declared size
constexpr int32_t RecSize = 26 + StringSize;

struct TConfig {
    bool StringKey;
    TIndexKeyType Kind;
    TZanCompareFunc Compare;
};

std::vector<std::vector<uint8_t>> MakeRecords(bool stringKey) {
    std::mt19937 rng(1);
    std::vector<int32_t> order(N);
    for (int32_t i = 0; i < N; ++i)
        order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<std::vector<uint8_t>> records;
    records.reserve(N);
    for (int32_t i : order) {
        std::vector<uint8_t> r(RecSize, 0);
        r[0] = 1;
        r[14] = 1;
        if (stringKey) {
            // 32 random letters and the 8-digit number, so that every key is distinct.
            std::string s;
            std::mt19937 local(static_cast<uint32_t>(i));
            for (int k = 0; k < 32; ++k)
                s.push_back(static_cast<char>('a' + local() % 26));
            const std::string digits = std::to_string(i);
            s += std::string(8 - digits.size(), '0') + digits;
            const uint16_t n = static_cast<uint16_t>(s.size());
            std::memcpy(r.data() + 24, &n, 2);
            std::memcpy(r.data() + 26, s.data(), s.size());
        } else {
            const int32_t v = i * 7;
            std::memcpy(r.data() + 20, &v, 4);
        }
        records.push_back(std::move(r));
    }
    return records;
}

struct TBuilt {
    TMemoryIOInterface IO;
    TKeyFields Fields;
    TBTree Tree;
    uint32_t Root = 0, Depth = 0;
    std::vector<std::vector<uint8_t>> Records;

    explicit TBuilt(const TConfig& c) : Records(MakeRecords(c.StringKey)) {
        IO.SetBlockSize(PageSize);
        IO.Open();
        TKeyFieldItem* f = Fields.Add();
        if (c.StringKey) {
            f->SetDataType(ftString);
            f->SetFieldSize(StringSize);
            f->SetRecBufOffset(26);
            f->SetSizeMarkerOffset(24);
        } else {
            f->SetDataType(ftInteger);
            f->SetFieldSize(4);
            f->SetRecBufOffset(20);
        }
        f->SetNullFlagOffset(14);
        Fields.SetDataOffset(1);
        Tree.SetKeyFields(Fields);
        Tree.SetMaximumKeySize(10 + 1 + (c.StringKey ? 2 + StringSize : 4));
        Tree.SetIndexKeyType(c.Kind);
        Tree.SetDBStringCompare(c.Compare);
        Tree.ConnectToIFace(&IO, PageSize, &Root, &Depth);
        Tree.Open();
        Tree.CreateTree();
    }
    void InsertAll() {
        uint32_t address = 16;
        for (const auto& r : Records) {
            Tree.ConstructKeyBufFromRecBuf(r.data());
            SetKeyAddress(Tree.GetSearchKey(), address += 16);
            if (Tree.IdxInsert() != 0) throw std::runtime_error("duplicate key");
        }
    }
};

// One tree per configuration, built by the insert benchmark and reused by the others.
std::map<int, std::unique_ptr<TBuilt>>& Trees() {
    static std::map<int, std::unique_ptr<TBuilt>> trees;
    return trees;
}

TBuilt& Get(int id, const TConfig& c) {
    auto& slot = Trees()[id];
    if (!slot) {
        slot = std::make_unique<TBuilt>(c);
        slot->InsertAll();
    }
    return *slot;
}

void Insert(benchmark::State& state, int id, TConfig c) {
    for (auto _ : state) {
        state.PauseTiming();
        Trees()[id].reset();
        auto built = std::make_unique<TBuilt>(c);
        state.ResumeTiming();
        built->InsertAll();
        state.PauseTiming();
        state.counters["depth"] = built->Depth;
        state.counters["pages"] = static_cast<double>(built->IO.BlockCount());
        Trees()[id] = std::move(built);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * N);
}

void Search(benchmark::State& state, int id, TConfig c) {
    TBuilt& t = Get(id, c);
    std::mt19937 rng(2);
    int64_t found = 0;
    for (auto _ : state) {
        for (int32_t i = 0; i < N; ++i) {
            const auto& r = t.Records[rng() % t.Records.size()];
            t.Tree.ConstructKeyBufFromRecBuf(r.data());
            found += t.Tree.IndexSearch(stEQ) == 0;
        }
    }
    if (found != state.iterations() * N) state.SkipWithError("a key was not found");
    state.SetItemsProcessed(state.iterations() * N);
}

void Scan(benchmark::State& state, int id, TConfig c) {
    TBuilt& t = Get(id, c);
    int64_t n = 0;
    for (auto _ : state) {
        t.Tree.GetAddrOfRecNo(1);
        do {
            benchmark::DoNotOptimize(t.Tree.GetRecAddr());
            ++n;
        } while (t.Tree.NextRecord());
    }
    if (n != state.iterations() * N) state.SkipWithError("scan count differs");
    state.SetItemsProcessed(n);
}

// The reference: std::map over the same integer keys.
void MapInsert(benchmark::State& state) {
    auto records = MakeRecords(false);
    for (auto _ : state) {
        std::map<int32_t, uint32_t> m;
        uint32_t address = 16;
        for (const auto& r : records) {
            int32_t v;
            std::memcpy(&v, r.data() + 20, 4);
            m.emplace(v, address += 16);
        }
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * N);
}

void MapSearchAndScan(benchmark::State& state) {
    auto records = MakeRecords(false);
    std::map<int32_t, uint32_t> m;
    for (const auto& r : records) {
        int32_t v;
        std::memcpy(&v, r.data() + 20, 4);
        m.emplace(v, 1);
    }
    std::mt19937 rng(2);
    const bool scan = state.range(0) != 0;
    for (auto _ : state) {
        if (scan) {
            for (auto& kv : m)
                benchmark::DoNotOptimize(kv.second);
        } else {
            for (int32_t i = 0; i < N; ++i) {
                int32_t v;
                std::memcpy(&v, records[rng() % records.size()].data() + 20, 4);
                benchmark::DoNotOptimize(m.find(v));
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * N);
}

void Register() {
    struct TNamed {
        const char* Name;
        TConfig Config;
    };
    static const TNamed configs[] = {
        {"Int/Fixed", {false, ikFixed, DBASCIICompareStrings}},
        {"Int/Variable", {false, ikMinStringLen, DBASCIICompareStrings}},
        {"String40ASCII/Fixed", {true, ikFixed, DBASCIICompareStrings}},
        {"String40ASCII/Variable", {true, ikMinStringLen, DBASCIICompareStrings}},
        {"String40ANSI/Fixed", {true, ikFixed, DBANSICompareStrings}},
        {"String40ANSI/Variable", {true, ikMinStringLen, DBANSICompareStrings}},
    };
    int id = 0;
    for (const TNamed& c : configs) {
        const std::string name = c.Name;
        benchmark::RegisterBenchmark(("BTreeInsert1M/" + name).c_str(), Insert, id, c.Config)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BTreeSearch1M/" + name).c_str(), Search, id, c.Config)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BTreeScan1M/" + name).c_str(), Scan, id, c.Config)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        ++id;
    }
    benchmark::RegisterBenchmark("StdMapInsert1M/Int", MapInsert)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("StdMapSearch1M/Int", MapSearchAndScan)
        ->Arg(0)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("StdMapScan1M/Int", MapSearchAndScan)
        ->Arg(1)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Trees().clear();
    return 0;
}
