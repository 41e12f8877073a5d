// The table component beside SQLite (and beside the cursor, for the dataset layer's cost) on the
// data of bench_vs_sqlite, in one run.
//
// Operations: Append/Post of every row in one transaction (keys shuffled) with one and three
// indexes (SQLite: prepared INSERT); 100k FindKey (prepared SELECT by key); First/Next reading
// every field (sqlite3_step and column reads; also the cursor's DataSetFirst/DataSetNext for
// the cost per fetch of the dataset layer); 10 Locates on the non-indexed double (full-scan
// SELECT ... LIMIT 1); 64 KiB blob reads with the blob cache hit and missed; generator reads
// (UPDATE ... RETURNING). SQLite runs with prepared statements, synchronous=OFF and
// journal_mode=MEMORY; our database is exclusive.
//
// Usage: bench_table [records]   (default 1000000)
#include <chrono>
#include <cstdio>
#include <string>

#include "bench/bench_data.h"
#include "bench/bench_zan_rows.h"
#include "engine/dataset/zanDatabase.h"

using namespace zan;
using namespace benchdata;

namespace {

constexpr int32_t C_LOOKUPS = 100000;
constexpr int32_t C_LOCATES = 10;
constexpr int32_t C_BLOB_READS = 2000;
constexpr int32_t C_GENERATOR_READS = 20000;

struct TFigures {
    double Insert = 0, Find = 0, Scan = 0, Locate = 0;
};

TFigures RunSqlite(const std::string& path, int32_t n, int indexes) {
    TFigures f;
    sqlite3* db = CreateSqliteTable(path, indexes);
    sqlite3_stmt* ins = SqlitePrepare(db, "INSERT INTO t(id, name, val, data) VALUES(?, ?, ?, ?)");
    sqlite3_stmt* get = SqlitePrepare(db, "SELECT id, name, val, data FROM t WHERE id = ?");
    sqlite3_stmt* scan = SqlitePrepare(db, "SELECT id, name, val, data FROM t ORDER BY id");
    sqlite3_stmt* locate = SqlitePrepare(db, "SELECT id FROM t NOT INDEXED WHERE val = ? LIMIT 1");
    f.Insert = TimeSeconds([&] {
        SqliteExec(db, "BEGIN");
        for (int32_t id : Shuffled(n, 1))
            SqliteInsert(db, ins, id);
        SqliteExec(db, "COMMIT");
    });
    f.Find = TimeSeconds([&] {
        for (int32_t id : RandomKeys(n, C_LOOKUPS, 7)) {
            sqlite3_bind_int(get, 1, id);
            sqlite3_step(get);
            sqlite3_column_text(get, 1);
            sqlite3_reset(get);
        }
    });
    f.Scan = TimeSeconds([&] {
        while (sqlite3_step(scan) == SQLITE_ROW) {
            sqlite3_column_int(scan, 0);
            sqlite3_column_text(scan, 1);
            sqlite3_column_double(scan, 2);
            sqlite3_column_blob(scan, 3);
        }
        sqlite3_reset(scan);
    });
    f.Locate = TimeSeconds([&] {
        for (int32_t id : RandomKeys(n, C_LOCATES, 11)) {
            sqlite3_bind_double(locate, 1, ValueOf(id));
            sqlite3_step(locate);
            sqlite3_reset(locate);
        }
    });
    for (sqlite3_stmt* s : {ins, get, scan, locate})
        sqlite3_finalize(s);
    sqlite3_close(db);
    unlink(path.c_str());
    return f;
}

std::unique_ptr<TZanDataBase> NewFile(const std::string& path) {
    unlink(path.c_str());
    {
        TZanDataBase maker;
        maker.SetDataBaseName(path);
        maker.CreateDatabase();
    }
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName(path);
    db->SetExclusive(true);
    db->Open();
    return db;
}

TFigures RunOurs(const std::string& path, int32_t n, int indexes, double& cursorScan) {
    TFigures f;
    auto db = NewFile(path);
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("t");
    t.GetFieldDefs().Add("Id", ftInteger);
    t.GetFieldDefs().Add("Name", ftString, 40);
    t.GetFieldDefs().Add("Val", ftFloat);
    t.GetFieldDefs().Add("Data", ftBlob);
    t.GetIndexDefs().Add("ById", "Id", {ixUnique});
    if (indexes >= 3) {
        t.GetIndexDefs().Add("ByName", "Name", {});
        t.GetIndexDefs().Add("ByVal", "Val", {});
    }
    t.CreateTable();
    t.SetIndexName("ById");
    t.Open();
    TField* id = t.FieldByName("Id");
    TField* name = t.FieldByName("Name");
    TField* val = t.FieldByName("Val");
    TField* data = t.FieldByName("Data");
    f.Insert = TimeSeconds([&] { AppendBenchRows(*db, t, n); });
    f.Find = TimeSeconds([&] {
        for (int32_t k : RandomKeys(n, C_LOOKUPS, 7)) {
            t.FindKey({Variant(k)});
            name->GetAsString();
        }
    });
    f.Scan = TimeSeconds([&] {
        for (t.First(); !t.GetEOF(); t.Next()) {
            id->GetAsInteger();
            name->GetAsString();
            val->GetAsFloat();
            data->GetAsString();
        }
    });
    f.Locate = TimeSeconds([&] {
        for (int32_t k : RandomKeys(n, C_LOCATES, 11))
            t.Locate("Val", Variant(ValueOf(k)), {});
    });
    t.Close();
    // The same scan on the bare cursor: the difference is the dataset layer's cost.
    TZanDataSet c;
    c.SetDataBase(db.get());
    c.SetTableName("t");
    c.SetIndexName("ById");
    c.DataSetOpen();
    TMemoryStream blob;
    cursorScan = TimeSeconds([&] {
        c.SetReadAheadMode(raReadAheadUninitialized);
        for (bool ok = c.DataSetFirst(); ok; ok = c.DataSetNext()) {
            bool isNull = false;
            c.DataSetGetFieldDataAsVariant(0);
            c.DataSetGetFieldDataAsVariant(1);
            c.DataSetGetFieldDataAsVariant(2);
            blob.Clear();
            c.DataSetGetFieldStream(3, isNull, blob);
        }
        c.ReleaseReadAheadMode();
    });
    c.DataSetClose();
    db->Close();
    unlink(path.c_str());
    return f;
}

void BlobsAndGenerators(const std::string& path) {
    auto db = NewFile(path);
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("b");
    t.GetFieldDefs().Add("Id", ftInteger);
    t.GetFieldDefs().Add("Data", ftBlob);
    t.GetIndexDefs().Add("ById", "Id", {ixUnique});
    t.CreateTable();
    t.Open();
    const std::string big(64 << 10, 'z');
    for (int i = 0; i < 16; ++i)
        t.AppendRecord({Variant(i), Variant(big)});
    TField* data = t.FieldByName("Data");
    t.First();
    const double hit = TimeSeconds([&] {
        for (int i = 0; i < C_BLOB_READS; ++i)
            data->GetAsString();
    });
    const double miss = TimeSeconds([&] {
        for (int i = 0; i < C_BLOB_READS; ++i) {
            t.ClearBlobCache();
            data->GetAsString();
        }
    });
    std::printf("64 KiB blob reads (%d): cache hit %.3f s, miss %.3f s\n", C_BLOB_READS, hit,
                miss);
    t.Close();
    db->CreateGenerator("G", 1, 1);
    const double ours = TimeSeconds([&] {
        for (int i = 0; i < C_GENERATOR_READS; ++i)
            db->GetGeneratorValue("G", false);
    });
    db->Close();
    unlink(path.c_str());
    const std::string sqlitePath = path + ".sqlite";
    sqlite3* s = CreateSqliteTable(sqlitePath, 1);
    SqliteExec(s, "CREATE TABLE g(name TEXT PRIMARY KEY, value INTEGER)");
    SqliteExec(s, "INSERT INTO g VALUES('G', 1)");
    sqlite3_stmt* draw =
        SqlitePrepare(s, "UPDATE g SET value = value + 1 WHERE name = 'G' RETURNING value - 1");
    const double theirs = TimeSeconds([&] {
        for (int i = 0; i < C_GENERATOR_READS; ++i) {
            sqlite3_step(draw);
            sqlite3_step(draw);
            sqlite3_reset(draw);
        }
    });
    sqlite3_finalize(draw);
    sqlite3_close(s);
    unlink(sqlitePath.c_str());
    std::printf("generator reads: ours %.0f/s, sqlite %.0f/s (one process)\n",
                C_GENERATOR_READS / ours, C_GENERATOR_READS / theirs);
}

} // namespace

int main(int argc, char** argv) {
    const int32_t n = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const std::string path = "/tmp/bench_table_" + std::to_string(getpid());
    for (int indexes : {1, 3}) {
        double cursorScan = 0;
        const TFigures sqlite = RunSqlite(path + ".sqlite", n, indexes);
        const TFigures ours = RunOurs(path + ".zan", n, indexes, cursorScan);
        std::printf("%d rows, %d index(es)\n", n, indexes);
        ReportRatio("Append/Post, one transaction", ours.Insert, sqlite.Insert);
        ReportRatio("100k FindKey", ours.Find, sqlite.Find);
        ReportRatio("First/Next, every field", ours.Scan, sqlite.Scan);
        ReportRatio("10 Locates, no index", ours.Locate, sqlite.Locate);
        std::printf("dataset layer per fetch: %.3f us (table scan %.3f s, cursor scan %.3f s)\n",
                    (ours.Scan - cursorScan) * 1e6 / n, ours.Scan, cursorScan);
    }
    BlobsAndGenerators(path + "_b.zan");
    return 0;
}
