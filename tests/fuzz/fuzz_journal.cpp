// Fuzz target: a journal beside a database. The sample database (without the filler table) is
// changed by commits killed at each of their crash points; every kill that leaves a journal
// gives a pair of the database as the kill left it and its journal. The input is one byte
// choosing the pair (bit 7: recompute the header's and the records' checksums after the
// fuzzer's changes, so that its records reach recovery) and the journal's bytes; the database
// is then used as in fuzz_file. Seeds are the real journals. How to build and run it:
// tests/fuzz/fuzz_support.h.
#include "fuzz/fuzz_support.h"

#include <csignal>
#include <sys/wait.h>

#include "engine/storage/zanCrypt.h"

using namespace zan;
using namespace zan::fuzz;

namespace {

struct TKilledCommit {
    std::vector<uint8_t> Database;
    std::vector<uint8_t> Journal;
};

// Commits that rewrite rows and memos in place, and one that grows the file.
const char* const C_COMMITS[] = {
    "UPDATE T SET Note = 'a much shorter memo', Qty = Qty + 100 WHERE Id < 40",
    "INSERT INTO P SELECT k + 5000, v, d FROM P",
};

std::vector<TKilledCommit> MakeKilledCommits() {
    const std::string path = WorkDir() + "/seed.zan";
    MakeSampleDatabase(path, false);
    const std::vector<uint8_t> good = ReadAll(path);
    std::vector<TKilledCommit> out;
    for (const char* sql : C_COMMITS) {
        for (uint64_t n = 1; n < 200 && out.size() < 100; ++n) {
            for (const bool torn : {false, true}) {
                WriteAll(path, good.data(), good.size());
                RemoveSideFiles(path);
                fflush(nullptr);
                const pid_t pid = fork();
                if (pid == 0) {
                    auto db = Connect(path);
                    TZanQuery q;
                    q.SetDataBase(db.get());
                    q.GetSQL().SetText(sql);
                    ZanArmCrashPoint(n, torn);
                    q.ExecSQL();
                    _exit(0);
                }
                int status = 0;
                waitpid(pid, &status, 0);
                if (!WIFSIGNALED(status)) {
                    n = 1000; // the commit ended before the n-th point
                    break;
                }
                TKilledCommit k{ReadAll(path), ReadAll(JournalFileNameFor(path))};
                if (k.Journal.size() >= ZanJournalHeaderSize) out.push_back(std::move(k));
            }
        }
    }
    unlink(path.c_str());
    RemoveSideFiles(path);
    if (out.empty()) {
        fprintf(stderr, "no commit left a journal\n");
        abort();
    }
    return out;
}

std::vector<TKilledCommit>& Killed() {
    static std::vector<TKilledCommit> killed = MakeKilledCommits();
    return killed;
}

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// The header's checksum, and each record's while the records can be walked.
void FixChecksums(std::vector<uint8_t>& j) {
    if (j.size() < ZanJournalHeaderSize) return;
    Put32(j.data() + 508, CalcCRC(j.data(), 508));
    uint8_t nonce[4];
    std::memcpy(nonce, j.data() + 16, 4);
    size_t at = ZanJournalHeaderSize;
    while (at + 12 <= j.size()) {
        const uint32_t length = Get32(j.data() + at + 4);
        if (length > C_PAGE || at + 12 + length > j.size()) break;
        const uint32_t crc = CRCUpdate(CRCUpdate(0, nonce, 4), j.data() + at, int32_t(8 + length));
        Put32(j.data() + at + 8 + length, crc);
        at += 12 + length;
    }
}

void WriteSeeds(const std::string& dir) {
    mkdir(dir.c_str(), 0700);
    for (size_t i = 0; i < Killed().size() && i < 128; ++i) {
        std::vector<uint8_t> input{uint8_t(i)};
        input.insert(input.end(), Killed()[i].Journal.begin(), Killed()[i].Journal.end());
        WriteAll(dir + "/killed" + std::to_string(i), input.data(), input.size());
        input[0] |= 0x80;
        WriteAll(dir + "/killed" + std::to_string(i) + "-fixed", input.data(), input.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("ZAN_FUZZ_WRITE_SEEDS")) {
        WriteSeeds(dir);
        fprintf(stderr, "%zu killed commits\n", Killed().size());
        exit(0);
    }
    Killed();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    GCurrentData = data;
    GCurrentSize = size;
    const TKilledCommit& k = Killed()[(data[0] & 0x7F) % Killed().size()];
    std::vector<uint8_t> journal(data + 1, data + size);
    if (data[0] & 0x80) FixChecksums(journal);
    const std::string path = WorkDir() + "/damaged.zan";
    RemoveSideFiles(path);
    WriteAll(path, k.Database.data(), k.Database.size());
    WriteAll(JournalFileNameFor(path), journal.data(), journal.size());
    UseDamagedFile(path);
    return 0;
}
