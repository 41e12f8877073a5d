#include "host/rtl/Random.h"

#include <mutex>
#include <random>

namespace zan {

namespace {

struct TGenerator {
    std::mutex Lock;
    std::mt19937_64 Engine{std::random_device{}()};
};

TGenerator& Generator() {
    static TGenerator g;
    return g;
}

} // namespace

int32_t Random(int32_t range) {
    if (range <= 0) return 0;
    auto& g = Generator();
    std::lock_guard guard(g.Lock);
    return std::uniform_int_distribution<int32_t>(0, range - 1)(g.Engine);
}

double RandomFloat() {
    auto& g = Generator();
    std::lock_guard guard(g.Lock);
    return std::uniform_real_distribution<double>(0.0, 1.0)(g.Engine);
}

void Randomize() {
    auto& g = Generator();
    std::lock_guard guard(g.Lock);
    g.Engine.seed(std::random_device{}());
}

void RandSeed(uint64_t seed) {
    auto& g = Generator();
    std::lock_guard guard(g.Lock);
    g.Engine.seed(seed);
}

} // namespace zan
