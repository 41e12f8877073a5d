// The cursor beside SQLite on the data of bench_vs_sqlite, in one run.
//
// Records: integer key, 40-byte string, double, 200-byte blob on every tenth row; one index (the
// key) or three (key, string, double). Operations: AddRecord of every row inside one disk
// transaction (keys shuffled); 100k point Finds by key (a Find fills the read-ahead buffer
// around the record found; also measured without); a key-order scan with DataSetFirst and
// DataSetNext with read-ahead on (inside a fetch bracket, as the table dataset scans) and off,
// beside a scan of the same index straight on the storage units; a 1% range scan; DoLocate of
// 10 doubles along the key index (SQLite: NOT INDEXED). SQLite runs with prepared statements,
// synchronous=OFF and journal_mode=MEMORY. Our engine runs exclusive and shared (every move
// takes a table read lock and re-reads the table header). Then the string index with each key
// kind: insert time and file size (the names are all 40 bytes long, so the kinds differ little).
//
// Usage: bench_cursor [records]   (default 1000000)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench/bench_data.h"
#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"

using namespace zan;
using namespace benchdata;

namespace {

enum TBenchOp { boInsert, boFind, boFindNoRA, boScanRA, boScanNoRA, boScanStorage, boRange, boLocate, boCount };
const char* const C_OP_NAMES[boCount] = {
    "insert, one transaction", "100k point Finds",  "100k Finds, read-ahead off",   "key scan, read-ahead on",
    "key scan, read-ahead off", "key scan, storage", "1% range scan",
    "10 locates, no index"};
constexpr int32_t C_LOOKUPS = 100000;
constexpr int32_t C_LOCATES = 10;

struct TResult {
    double Seconds[boCount] = {};
    uint64_t FileSize = 0;
    int64_t Errors = 0;
};

template <class F>
double Seconds(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}


TResult RunSqlite(const std::string& path, int32_t n, int indexes) {
    TResult r;
    sqlite3* db = CreateSqliteTable(path, indexes);
    auto exec = [&](const char* sql) { SqliteExec(db, sql); };
    auto prepare = [&](const char* sql) { return SqlitePrepare(db, sql); };
    sqlite3_stmt* ins = prepare("INSERT INTO t(id, name, val, data) VALUES(?, ?, ?, ?)");
    sqlite3_stmt* get = prepare("SELECT name, val, data FROM t WHERE id = ?");
    sqlite3_stmt* scan = prepare("SELECT id, name, val, data FROM t ORDER BY id");
    sqlite3_stmt* range = prepare("SELECT id, name, val, data FROM t WHERE id BETWEEN ? AND ?");
    sqlite3_stmt* locate = prepare("SELECT id FROM t NOT INDEXED WHERE val = ? LIMIT 1");
    r.Seconds[boInsert] = Seconds([&] {
        exec("BEGIN");
        for (int32_t id : Shuffled(n, 1))
            SqliteInsert(db, ins, id);
        exec("COMMIT");
    });
    r.FileSize = FileSize(path);
    r.Seconds[boFind] = Seconds([&] {
        for (int32_t id : RandomKeys(n, C_LOOKUPS, 7)) {
            sqlite3_bind_int(get, 1, id);
            if (sqlite3_step(get) != SQLITE_ROW) ++r.Errors;
            sqlite3_column_bytes(get, 0);
            sqlite3_reset(get);
        }
    });
    r.Seconds[boFindNoRA] = r.Seconds[boFind];
    auto scanAll = [&](sqlite3_stmt* s, int64_t expected) {
        int64_t rows = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            sqlite3_column_text(s, 1);
            sqlite3_column_double(s, 2);
            sqlite3_column_blob(s, 3);
            ++rows;
        }
        sqlite3_reset(s);
        if (rows != expected) ++r.Errors;
    };
    r.Seconds[boScanRA] = Seconds([&] { scanAll(scan, n); });
    r.Seconds[boScanNoRA] = r.Seconds[boScanStorage] = r.Seconds[boScanRA];
    r.Seconds[boRange] = Seconds([&] {
        sqlite3_bind_int(range, 1, n / 2);
        sqlite3_bind_int(range, 2, n / 2 + n / 100 - 1);
        scanAll(range, n / 100);
    });
    r.Seconds[boLocate] = Seconds([&] {
        for (int32_t id : RandomKeys(n, C_LOCATES, 11)) {
            sqlite3_bind_double(locate, 1, ValueOf(id));
            if (sqlite3_step(locate) != SQLITE_ROW) ++r.Errors;
            sqlite3_reset(locate);
        }
    });
    for (sqlite3_stmt* s : {ins, get, scan, range, locate})
        sqlite3_finalize(s);
    sqlite3_close(db);
    unlink(path.c_str());
    return r;
}

void CreateTable(TZanDataBase& db, int indexes, TIndexKeyType nameKind) {
    TZanDataSet c;
    c.SetDataBase(&db);
    c.SetTableName("t");
    TFieldDefs fields;
    fields.Add("Id", ftInteger);
    fields.Add("Name", ftString, 40);
    fields.Add("Val", ftFloat);
    fields.Add("Data", ftBlob);
    TIndexDefs defs;
    defs.Add("ById", "Id", {ixUnique});
    if (indexes >= 3) {
        defs.Add("ByName", "Name", {});
        defs.Add("ByVal", "Val", {});
    }
    c.SetTableDef(false, fields, defs);
    if (indexes >= 3) c.GetTableDef().GetInternalIndexDefs()->Items(1)->SetIndexKeyType(nameKind);
    c.InternalCreateTable();
}

TResult RunOurs(const std::string& path, int32_t n, int indexes, bool exclusive,
                TIndexKeyType nameKind, bool insertOnly) {
    TResult r;
    unlink(path.c_str());
    {
        TZanDataBase maker;
        maker.SetDataBaseName(path);
        maker.CreateDatabase();
    }
    TZanDataBase db;
    db.SetDataBaseName(path);
    db.SetExclusive(exclusive);
    db.Open();
    CreateTable(db, indexes, nameKind);
    TZanDataSet c;
    c.SetDataBase(&db);
    c.SetTableName("t");
    c.SetIndexName("ById");
    c.DataSetOpen();
    TMemoryStream blob;
    r.Seconds[boInsert] = Seconds([&] {
        db.GetDiskMgr()->DiskStartTransaction(false);
        for (int32_t id : Shuffled(n, 1)) {
            c.ClearRecord();
            c.DataSetSetFieldDataAsVariant(0, Variant(id));
            c.DataSetSetFieldDataAsVariant(1, Variant(NameOf(id)));
            c.DataSetSetFieldDataAsVariant(2, Variant(ValueOf(id)));
            if (HasBlob(id)) {
                const std::string b = BlobOf(id);
                blob.Clear();
                blob.WriteBuffer(b.data(), int32_t(b.size()));
                c.DataSetSetFieldStream(3, false, blob);
            }
            c.AddRecord(false);
        }
        db.GetDiskMgr()->DiskCommit();
    });
    r.FileSize = FileSize(path);
    if (insertOnly) return r;
    r.Seconds[boFind] = Seconds([&] {
        for (int32_t id : RandomKeys(n, C_LOOKUPS, 7)) {
            c.ClearRecord();
            c.DataSetSetFieldDataAsVariant(0, Variant(id));
            if (!c.Find(stEQ, "ById")) ++r.Errors;
        }
    });
    c.SetUseReadAheadBuffer(false);
    r.Seconds[boFindNoRA] = Seconds([&] {
        for (int32_t id : RandomKeys(n, C_LOOKUPS, 7)) {
            c.ClearRecord();
            c.DataSetSetFieldDataAsVariant(0, Variant(id));
            if (!c.Find(stEQ, "ById")) ++r.Errors;
        }
    });
    c.SetUseReadAheadBuffer(true);
    auto scan = [&](int64_t expected) {
        int64_t rows = 0;
        bool isNull = false;
        char name[48];
        double val;
        for (bool ok = c.DataSetFirst(); ok; ok = c.DataSetNext()) {
            c.DataSetGetFieldData(1, isNull, name);
            c.DataSetGetFieldData(2, isNull, &val);
            ++rows;
        }
        if (rows != expected) ++r.Errors;
    };
    r.Seconds[boScanRA] = Seconds([&] {
        c.SetUseReadAheadBuffer(true);
        c.SetReadAheadMode(raReadAheadUninitialized);
        scan(n);
        c.ReleaseReadAheadMode();
    });
    r.Seconds[boScanNoRA] = Seconds([&] {
        c.SetUseReadAheadBuffer(false);
        scan(n);
        c.SetUseReadAheadBuffer(true);
    });
    r.Seconds[boScanStorage] = Seconds([&] {
        c.ReadLockTable();
        TIndexItem& index = *c.GetIndexManager().FindIndex("ById");
        std::vector<uint8_t> rec(size_t(c.GetRecBufSize()));
        int64_t rows = 0;
        if (index.SetRecordNo(1) != 0) {
            do {
                c.ReadRecordBuffer(index.GetRecordAddress(), rec.data());
                ++rows;
            } while (index.NextKey());
        }
        c.UnlockTable();
        if (rows != n) ++r.Errors;
    });
    r.Seconds[boRange] = Seconds([&] {
        c.InitializeRangeBuffers(rmRangeStart);
        c.InitializeRangeBuffers(rmRangeEnd);
        c.DataSetSetFieldDataToRecBufAsVariant(c.GetRangeRecBuf(rmRangeStart), 0, Variant(n / 2));
        c.DataSetSetFieldDataToRecBufAsVariant(c.GetRangeRecBuf(rmRangeEnd), 0,
                                               Variant(n / 2 + n / 100 - 1));
        c.SetRangeOn(true);
        c.SetReadAheadMode(raReadAheadUninitialized);
        scan(n / 100);
        c.ReleaseReadAheadMode();
        c.DataSetClearRange();
    });
    r.Seconds[boLocate] = Seconds([&] {
        std::vector<uint8_t> key(size_t(c.GetRecBufSize())), result(key.size());
        for (int32_t id : RandomKeys(n, C_LOCATES, 11)) {
            std::fill(key.begin(), key.end(), 0);
            c.DataSetSetFieldDataToRecBufAsVariant(key.data(), 2, Variant(ValueOf(id)));
            if (!c.DoLocate("ById", key.data(), result.data(), {"Val"}, {}, true, false))
                ++r.Errors;
        }
    });
    c.DataSetClose();
    db.Close();
    unlink(path.c_str());
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const int32_t n = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1000000;
    const std::string base = "/tmp/bench_cursor_" + std::to_string(getpid());
    std::printf("%d records: integer key, 40-byte string, double, 200-byte blob on every tenth "
                "row\n",
                n);
    int64_t errors = 0;
    for (int indexes : {1, 3}) {
        const TResult lite = RunSqlite(base + ".sqlite", n, indexes);
        const TResult excl = RunOurs(base + ".zan", n, indexes, true, ikFixed, false);
        const TResult shar = RunOurs(base + ".zan", n, indexes, false, ikFixed, false);
        errors += lite.Errors + excl.Errors + shar.Errors;
        std::printf("\n%d index%s         | SQLite s | exclusive s  ours/SQLite | shared s  "
                    "shared/excl\n",
                    indexes, indexes == 1 ? " " : "es");
        for (int op = 0; op < boCount; ++op)
            std::printf("%-25s | %8.3f | %11.3f  %10.2f | %8.3f  %10.2f\n", C_OP_NAMES[op],
                        lite.Seconds[op], excl.Seconds[op], excl.Seconds[op] / lite.Seconds[op],
                        shar.Seconds[op], shar.Seconds[op] / excl.Seconds[op]);
        std::printf("scan read-ahead on / storage scan: exclusive %.2f, shared %.2f\n",
                    excl.Seconds[boScanRA] / excl.Seconds[boScanStorage],
                    shar.Seconds[boScanRA] / shar.Seconds[boScanStorage]);
        std::printf("file MB after insert      | %8.1f | %11.1f              | %8.1f\n",
                    MB(lite.FileSize), MB(excl.FileSize), MB(shar.FileSize));
    }
    std::printf("\nstring index key kinds (3 indexes, exclusive): insert s, file MB\n");
    for (TIndexKeyType kind : {ikFixed, ikMinStringLen}) {
        const TResult r = RunOurs(base + ".zan", n, 3, true, kind, true);
        errors += r.Errors;
        std::printf("%-14s %8.3f s %8.1f MB\n", kind == ikFixed ? "ikFixed" : "ikMinStringLen",
                    r.Seconds[boInsert], MB(r.FileSize));
    }
    unlink((base + ".lck").c_str());
    if (errors) std::printf("ERRORS: %lld\n", (long long)errors);
    return errors == 0 ? 0 : 1;
}
