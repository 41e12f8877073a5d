// Throughput of the string comparisons of both sort orders and of the LIKE matcher.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "engine/storage/zanCommon.h"

using namespace zan;

namespace {

// Keys of about `bytes` bytes; accented keys mix in two-byte letters. Neighbouring keys share a
// random-length prefix, as keys on one B-tree page do.
std::vector<std::string> MakeKeys(size_t bytes, bool accented) {
    static const char* plain[] = {"a", "b", "c", "d", "e", "m", "n", "s", "t", "z", "A", "E", "S"};
    static const char* accents[] = {"é", "è", "ü", "ß", "ø", "æ", "É", "Ü", "ñ", "ç"};
    std::mt19937 rng(42);
    std::vector<std::string> keys;
    std::string previous;
    for (int i = 0; i < 1024; ++i) {
        std::string key = previous.substr(0, rng() % (previous.size() + 1));
        while (key.size() < bytes) {
            if (accented && rng() % 3 == 0)
                key += accents[rng() % std::size(accents)];
            else
                key += plain[rng() % std::size(plain)];
        }
        keys.push_back(key);
        previous = key;
    }
    return keys;
}

void Compare(benchmark::State& state, TZanCompareFunc compare, size_t bytes, bool accented,
             bool caseInsensitive) {
    auto keys = MakeKeys(bytes, accented);
    size_t i = 0;
    for (auto _ : state) {
        const std::string& a = keys[i];
        const std::string& b = keys[(i + 1) & 1023];
        benchmark::DoNotOptimize(compare(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                         static_cast<int32_t>(b.size()), false, caseInsensitive));
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
}

void Like1MB(benchmark::State& state) {
    std::string text(1 << 20, 'a');
    text.back() = 'x';
    for (auto _ : state)
        benchmark::DoNotOptimize(MatchPatternedStrings(text, "%x"));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void LikeManyPercents(benchmark::State& state) {
    std::string text(1 << 20, 'a');
    for (auto _ : state)
        benchmark::DoNotOptimize(MatchPatternedStrings(text, "%a%a%a%a%b"));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

} // namespace

BENCHMARK_CAPTURE(Compare, Ascii8, DBASCIICompareStrings, 8, false, false);
BENCHMARK_CAPTURE(Compare, Ascii8CI, DBASCIICompareStrings, 8, false, true);
BENCHMARK_CAPTURE(Compare, Ascii40, DBASCIICompareStrings, 40, false, false);
BENCHMARK_CAPTURE(Compare, Ascii40CI, DBASCIICompareStrings, 40, false, true);
BENCHMARK_CAPTURE(Compare, Ansi8, DBANSICompareStrings, 8, false, false);
BENCHMARK_CAPTURE(Compare, Ansi8CI, DBANSICompareStrings, 8, false, true);
BENCHMARK_CAPTURE(Compare, Ansi40, DBANSICompareStrings, 40, false, false);
BENCHMARK_CAPTURE(Compare, Ansi40CI, DBANSICompareStrings, 40, false, true);
BENCHMARK_CAPTURE(Compare, Ansi8Accented, DBANSICompareStrings, 8, true, false);
BENCHMARK_CAPTURE(Compare, Ansi8AccentedCI, DBANSICompareStrings, 8, true, true);
BENCHMARK_CAPTURE(Compare, Ansi40Accented, DBANSICompareStrings, 40, true, false);
BENCHMARK_CAPTURE(Compare, Ansi40AccentedCI, DBANSICompareStrings, 40, true, true);
BENCHMARK(Like1MB);
BENCHMARK(LikeManyPercents);

BENCHMARK_MAIN();
