// Fuzz target: SQL through the engine on a damaged database file. The input is a list of
// patches laid over the sample database (without the filler table); each statement then runs on
// the file (SELECTs with joins, ORDER BY and GROUP BY read to the end; UPDATE, DELETE, INSERT
// from a SELECT, CREATE INDEX, ALTER TABLE), and the file is checked before and after the
// writes. How to build and run it: tests/fuzz/fuzz_support.h.
#include "fuzz/fuzz_support.h"

using namespace zan;
using namespace zan::fuzz;

namespace {

TSeedImage& Seed() {
    static TSeedImage seed = SampleSeedImage(false);
    return seed;
}

void WriteSeeds(const std::string& dir) {
    mkdir(dir.c_str(), 0700);
    WriteAll(dir + "/whole", nullptr, 0);
    for (size_t i = 0; i < Seed().Pages.size(); ++i) {
        const uint8_t patch[] = {uint8_t(i), uint8_t(i >> 8), 40, 0, 1, 0x7F, 0xFF};
        WriteAll(dir + "/page" + std::to_string(i), patch, sizeof patch);
    }
}

const char* const C_SELECTS[] = {
    "SELECT Name, COUNT(*), SUM(Qty), MAX(Amount) FROM T GROUP BY Name ORDER BY Name",
    "SELECT Id, Name, Note, Qty FROM T ORDER BY Qty DESC, Id",
    "SELECT k, v, d FROM P WHERE k > 30 ORDER BY v, k",
    "SELECT S.Name, S.Note, T.Note FROM S JOIN T ON S.Id = T.Id ORDER BY S.Id",
    "SELECT v, MAX(d), COUNT(*) FROM P GROUP BY v HAVING COUNT(*) > 1",
    "SELECT DISTINCT Qty FROM T WHERE Name LIKE 'name1%'",
};

const char* const C_WRITES[] = {
    "UPDATE T SET Note = 'rewritten memo text', Qty = Qty + 1 WHERE Id < 20",
    "UPDATE S SET Note = Name || ' was here' WHERE Id > 10",
    "DELETE FROM P WHERE k > 200",
    "INSERT INTO P SELECT k + 1000, v, d FROM P WHERE k < 60",
    "CREATE INDEX ixAmount ON T (Amount)",
    "ALTER TABLE T ADD Extra VARCHAR(10)",
    "ALTER TABLE P DROP d",
};

void ReadQuery(TZanDataBase& db, const char* sql) {
    TZanQuery q;
    q.SetDataBase(&db);
    q.GetSQL().SetText(sql);
    q.Open();
    int rows = 0;
    for (q.First(); !q.GetEOF() && rows < 5000; q.Next(), ++rows)
        for (int f = 0; f < q.GetFields().Count(); ++f)
            (void)q.GetFields()[f]->GetAsString();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("ZAN_FUZZ_WRITE_SEEDS")) {
        WriteSeeds(dir);
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
    std::unique_ptr<TZanDataBase> db;
    if (!Guarded("open", [&] { db = Connect(path); })) return 0;
    for (const char* sql : C_SELECTS)
        Guarded(sql, [&] { ReadQuery(*db, sql); });
    const std::string before = Check(*db);
    for (const char* sql : C_WRITES)
        Guarded(sql, [&] { Exec(*db, sql); });
    for (const char* sql : C_SELECTS)
        Guarded(sql, [&] { ReadQuery(*db, sql); });
    const std::string after = Check(*db);
    if (before.empty() && !after.empty())
        Note("statements left problems in a whole file: " + after.substr(0, 400));
    Guarded("close", [&] { db->Close(); });
    return 0;
}
