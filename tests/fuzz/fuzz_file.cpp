// Fuzz target: a damaged database file. The input is a list of patches laid over the sample
// database (tables with indexes and memos, a strongly ciphered table, a page map of more than
// one map page); the file is opened, every table read in every index order, checked, written
// to and checked again. How to build and run it: tests/fuzz/fuzz_support.h.
#include "fuzz/fuzz_support.h"

using namespace zan;
using namespace zan::fuzz;

namespace {

TSeedImage& Seed() {
    static TSeedImage seed = SampleSeedImage(true);
    return seed;
}

// Seeds: the file as it is, and one patch of four 0xFF bytes at the start of each page's body.
void WriteSeeds(const std::string& dir) {
    mkdir(dir.c_str(), 0700);
    WriteAll(dir + "/whole", nullptr, 0);
    if (std::getenv("ZAN_FUZZ_SEED_IMAGE"))
        WriteAll(std::getenv("ZAN_FUZZ_SEED_IMAGE"), Seed().Bytes.data(), Seed().Bytes.size());
    for (size_t i = 0; i < Seed().Pages.size(); ++i) {
        const uint8_t patch[] = {uint8_t(i), uint8_t(i >> 8), 16, 0, 3, 0xFF, 0xFF, 0xFF, 0xFF};
        WriteAll(dir + "/page" + std::to_string(i), patch, sizeof patch);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("ZAN_FUZZ_WRITE_SEEDS")) {
        WriteSeeds(dir);
        fprintf(stderr, "%zu pages of %zu may be patched\n", Seed().Pages.size(),
                Seed().Bytes.size() / C_PAGE);
        exit(0);
    }
    Seed();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GCurrentData = data;
    GCurrentSize = size;
    const std::string path = WorkDir() + "/damaged.zan";
    RemoveSideFiles(path);
    const std::vector<uint8_t> bytes = Seed().Patched(data, size);
    WriteAll(path, bytes.data(), bytes.size());
    UseDamagedFile(path);
    return 0;
}
