// Table maintenance beside SQLite, in one run, on the data of bench_vs_sqlite (table t: id,
// name, val, a blob on some rows; indexes on id, name and val).
//
// Operations: ReIndex (REINDEX); AddIndex on (name, val) (CREATE INDEX); a restructure that
// turns val into an integer (SQLite: a new table filled by INSERT ... SELECT with CAST, the old
// one dropped, the new one renamed and indexed, in one transaction); RebuildDatabase (VACUUM);
// CopyDatabase (the backup API). SQLite runs with synchronous=OFF and journal_mode=MEMORY; our
// database is exclusive.
//
// Usage: bench_maintenance [records]   (default 1000000)
#include <chrono>
#include <cstdio>
#include <string>

#include "bench/bench_data.h"
#include "bench/bench_zan_rows.h"
#include "engine/dataset/zanDatabase.h"

using namespace zan;
using namespace benchdata;

namespace {

struct TFigures {
    double ReIndex = 0, AddIndex = 0, Restructure = 0, Rebuild = 0, Copy = 0;
};

TFigures RunSqlite(const std::string& path, int32_t n) {
    TFigures f;
    sqlite3* db = CreateSqliteTable(path, 3);
    sqlite3_stmt* ins = SqlitePrepare(db, "INSERT INTO t(id, name, val, data) VALUES(?, ?, ?, ?)");
    SqliteExec(db, "BEGIN");
    for (int32_t id : Shuffled(n, 1))
        SqliteInsert(db, ins, id);
    SqliteExec(db, "COMMIT");
    sqlite3_finalize(ins);
    f.ReIndex = TimeSeconds([&] { SqliteExec(db, "REINDEX t"); });
    f.AddIndex = TimeSeconds([&] { SqliteExec(db, "CREATE INDEX t_nv ON t(name, val)"); });
    f.Restructure = TimeSeconds([&] {
        SqliteExec(db, "BEGIN");
        SqliteExec(db,
                   "CREATE TABLE t2(id INTEGER PRIMARY KEY, name TEXT, val INTEGER, data BLOB)");
        SqliteExec(db, "INSERT INTO t2 SELECT id, name, CAST(val AS INTEGER), data FROM t");
        SqliteExec(db, "DROP TABLE t");
        SqliteExec(db, "ALTER TABLE t2 RENAME TO t");
        SqliteExec(db, "CREATE INDEX t_name ON t(name)");
        SqliteExec(db, "CREATE INDEX t_val ON t(val)");
        SqliteExec(db, "CREATE INDEX t_nv ON t(name, val)");
        SqliteExec(db, "COMMIT");
    });
    f.Rebuild = TimeSeconds([&] { SqliteExec(db, "VACUUM"); });
    const std::string copy = path + ".copy";
    f.Copy = TimeSeconds([&] {
        unlink(copy.c_str());
        sqlite3* target = nullptr;
        Check(sqlite3_open(copy.c_str(), &target), target, "open copy");
        sqlite3_backup* backup = sqlite3_backup_init(target, "main", db, "main");
        sqlite3_backup_step(backup, -1);
        sqlite3_backup_finish(backup);
        sqlite3_close(target);
    });
    sqlite3_close(db);
    unlink(copy.c_str());
    unlink(path.c_str());
    return f;
}

TFigures RunOurs(const std::string& path, int32_t n) {
    TFigures f;
    unlink(path.c_str());
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName(path);
    db->CreateDatabase();
    db->SetExclusive(true);
    db->Open();
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("t");
    t.GetFieldDefs().Add("Id", ftInteger);
    t.GetFieldDefs().Add("Name", ftString, 40);
    t.GetFieldDefs().Add("Val", ftFloat);
    t.GetFieldDefs().Add("Data", ftBlob);
    t.GetIndexDefs().Add("ById", "Id", {ixUnique});
    t.GetIndexDefs().Add("ByName", "Name", {});
    t.GetIndexDefs().Add("ByVal", "Val", {});
    t.CreateTable();
    t.Open();
    AppendBenchRows(*db, t, n);
    f.ReIndex = TimeSeconds([&] { t.ReIndex(false); });
    t.Close();
    f.AddIndex = TimeSeconds([&] { t.AddIndex("ByNameVal", "Name;Val", {}); });
    f.Restructure = TimeSeconds([&] {
        t.Open();
        t.GetRestructureFieldDefs().Find("Val")->SetDataType(ftInteger);
        t.Close();
        t.RestructureTable({});
    });
    db->Close();
    db->SetExclusive(true);
    f.Rebuild = TimeSeconds([&] { db->RebuildDatabase(); });
    const std::string copy = path + ".copy";
    f.Copy = TimeSeconds([&] { db->CopyDatabase(copy, true); });
    unlink(copy.c_str());
    unlink(ChangeFileExt(path, ".zdx").c_str());
    unlink(path.c_str());
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const int32_t n = argc > 1 ? std::stoi(argv[1]) : 1000000;
    std::printf("bench_maintenance: %d records, 3 indexes, blobs on some rows\n", n);
    const TFigures ours = RunOurs("/tmp/bench_maintenance.zan", n);
    const TFigures lite = RunSqlite("/tmp/bench_maintenance.sqlite", n);
    ReportRatio("ReIndex / REINDEX", ours.ReIndex, lite.ReIndex);
    ReportRatio("AddIndex / CREATE INDEX", ours.AddIndex, lite.AddIndex);
    ReportRatio("retyping restructure / copy table", ours.Restructure, lite.Restructure);
    ReportRatio("RebuildDatabase / VACUUM", ours.Rebuild, lite.Rebuild);
    ReportRatio("CopyDatabase / backup API", ours.Copy, lite.Copy);
    return 0;
}
