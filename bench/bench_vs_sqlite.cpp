// The storage engine beside SQLite on the same data in the same run.
//
// Records: integer key, 40-byte string, double, and a 200-byte blob on every tenth row; one
// index (the key) or three (key, string, double). Operations: insert all in one transaction
// (keys in shuffled order); 100k random point lookups by key; a full scan in key order reading
// every column; delete half and re-insert it (one transaction each); 1000 transactions of one
// insert each, timed in five batches of 1000 whose median is shown (a thousand commits take
// tens of milliseconds, where one stall of a shared machine would decide the row). SQLite runs with prepared statements, synchronous=OFF and journal_mode=MEMORY, so
// neither engine syncs; ours commits through its journal, also measured with the journal off. A
// second table runs both journaled and synced at every commit (SQLite journal_mode=DELETE,
// synchronous=FULL). Our engine runs
// exclusive (one connection, no other can open the file) and shared (deny none, every operation
// under the multi-user lock protocol), each operation done the way a cursor does it: table lock,
// table header refreshed, work, header written back on a change.
//
// Last come 10,000 single-row posts outside a transaction (shared, one index) with the journal
// on and off, the median of five alternating rounds each, and the recovery of a 50 MB journal.
// Every engine and index count runs in a process of its own, so peak memory is its own.
// Before each timed operation the page cache's dirty pages are written back (untimed), so no
// operation pays for the writeback of another's.
// Usage: bench_vs_sqlite [records [only [indexes]]]   (default 1000000; only = sqlite,
// exclusive or shared runs just that engine, with three indexes unless told, in this process,
// for profiling; posts runs the single-row posts with and without the journal)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "engine/storage/zanJournal.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "engine/storage/zanTableMgrUnit.h"
#include "bench/bench_data.h"
#include "tests/support/zanOpenTable.h"

using namespace zan;
using namespace benchdata;

namespace {

enum TOp { opInsert, opLookup, opScan, opReinsert, opCommits, opCount };
// The operations that write, also measured with the journal off.
const TOp C_WRITE_OPS[] = {opInsert, opReinsert};
// The operations of the synced table.
const TOp C_SYNCED_OPS[] = {opInsert, opReinsert, opCommits};
const char* const C_OP_NAMES[opCount] = {"insert, one transaction", "100k point lookups",
                                         "full scan in key order", "delete half, re-insert",
                                         "1000 single-row commits"};
// BENCH_COMMITS=n runs n single-row commits instead (for profiles; the row's name stays).
const int32_t C_COMMITS = [] {
    const char* n = std::getenv("BENCH_COMMITS");
    return n && std::atoi(n) > 0 ? std::atoi(n) : 1000;
}();
constexpr int32_t C_LOOKUPS = 100000;

struct TResult {
    double Seconds[opCount] = {};
    double CpuSeconds[opCount] = {}; // processor time (user and system) of each operation
    long PeakKB[opCount] = {};
    uint64_t SizeAfterInsert = 0;
    uint64_t SizeAfterReinsert = 0;
    int64_t Errors = 0;
};

// ----- the data

std::vector<int32_t> LookupKeys(int32_t n) {
    return RandomKeys(n, C_LOOKUPS, 7);
}

long PeakKB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// The processor time this process has used (user and system), in seconds: steadier than the
// wall clock on a machine shared with other work.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Never inlined, so a profiler can collect one operation alone (callgrind --toggle-collect).
template <class F>
[[gnu::noinline]] void Timed(TResult& r, TOp op, F f) {
    // Neither engine syncs, so the kernel writes back what earlier operations (or the engine run
    // before this one) left dirty some seconds later, whenever its timers say. Flushing it here,
    // outside the timed span, keeps that writeback out of the next operation's time: each
    // operation is charged with its own work only, alike for both engines.
    sync();
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto end = std::chrono::steady_clock::now();
    r.CpuSeconds[op] = CpuSeconds() - cpuStart;
    r.Seconds[op] = std::chrono::duration<double>(end - start).count();
    r.PeakKB[op] = PeakKB();
    // BENCH_MARKS=1 prints each operation's span on the monotonic clock, so a profile recorded
    // with that clock (perf record -k CLOCK_MONOTONIC) can be cut to one operation (--time).
    if (std::getenv("BENCH_MARKS")) {
        auto at = [](std::chrono::steady_clock::time_point t) {
            return std::chrono::duration<double>(t.time_since_epoch()).count();
        };
        std::fprintf(stderr, "%s: --time %.6f,%.6f\n", C_OP_NAMES[op], at(start), at(end));
    }
}

// Times f(batch) for each of C_BATCHES batches and keeps the batch of median wall time.
constexpr int32_t C_BATCHES = 5;
template <class F>
void TimedBatches(TResult& r, TOp op, F f) {
    std::vector<TResult> runs(C_BATCHES);
    for (int32_t b = 0; b < C_BATCHES; ++b)
        Timed(runs[b], op, [&] { f(b); });
    std::sort(runs.begin(), runs.end(), [op](const TResult& a, const TResult& b) {
        return a.Seconds[op] < b.Seconds[op];
    });
    const TResult& median = runs[C_BATCHES / 2];
    r.Seconds[op] = median.Seconds[op];
    r.CpuSeconds[op] = median.CpuSeconds[op];
    r.PeakKB[op] = runs.back().PeakKB[op];
}

// ----- SQLite


// synced: the rollback journal on disk and every commit synced (journal_mode=DELETE,
// synchronous=FULL) instead of synchronous=OFF and journal_mode=MEMORY.
TResult RunSqlite(const std::string& path, int32_t n, int indexes, bool synced = false) {
    TResult r;
    sqlite3* db = CreateSqliteTable(path, indexes, synced);
    auto exec = [&](const char* sql) { SqliteExec(db, sql); };
    auto prepare = [&](const char* sql) { return SqlitePrepare(db, sql); };
    sqlite3_stmt* ins = prepare("INSERT INTO t(id, name, val, data) VALUES(?, ?, ?, ?)");
    sqlite3_stmt* get = prepare("SELECT name, val, data FROM t WHERE id = ?");
    sqlite3_stmt* scan = prepare("SELECT id, name, val, data FROM t ORDER BY id");
    sqlite3_stmt* del = prepare("DELETE FROM t WHERE id = ?");
    auto insert = [&](int32_t id) { SqliteInsert(db, ins, id); };
    const std::vector<int32_t> order = Shuffled(n, 1);
    Timed(r, opInsert, [&] {
        exec("BEGIN");
        for (int32_t id : order)
            insert(id);
        exec("COMMIT");
    });
    r.SizeAfterInsert = FileSize(path);
    const std::vector<int32_t> keys = LookupKeys(n);
    Timed(r, opLookup, [&] {
        for (int32_t id : keys) {
            sqlite3_bind_int(get, 1, id);
            if (sqlite3_step(get) != SQLITE_ROW)
                ++r.Errors;
            else if (sqlite3_column_bytes(get, 0) != 40)
                ++r.Errors;
            sqlite3_column_double(get, 1);
            sqlite3_column_blob(get, 2);
            sqlite3_reset(get);
        }
    });
    Timed(r, opScan, [&] {
        int64_t rows = 0, sum = 0;
        while (sqlite3_step(scan) == SQLITE_ROW) {
            sum += sqlite3_column_int(scan, 0) + sqlite3_column_bytes(scan, 1) +
                   sqlite3_column_bytes(scan, 3);
            sqlite3_column_double(scan, 2);
            sqlite3_column_text(scan, 1);
            sqlite3_column_blob(scan, 3);
            ++rows;
        }
        sqlite3_reset(scan);
        if (rows != n) ++r.Errors;
    });
    Timed(r, opReinsert, [&] {
        exec("BEGIN");
        for (int32_t id = 0; id < n; id += 2) {
            sqlite3_bind_int(del, 1, id);
            Check(sqlite3_step(del), db, "delete");
            sqlite3_reset(del);
        }
        exec("COMMIT");
        exec("BEGIN");
        for (int32_t id = 0; id < n; id += 2)
            insert(id);
        exec("COMMIT");
    });
    r.SizeAfterReinsert = FileSize(path);
    TimedBatches(r, opCommits, [&](int32_t batch) {
        for (int32_t k = 0; k < C_COMMITS; ++k) {
            exec("BEGIN");
            insert(n + batch * C_COMMITS + k);
            exec("COMMIT");
        }
    });
    for (sqlite3_stmt* s : {ins, get, scan, del})
        sqlite3_finalize(s);
    sqlite3_close(db);
    unlink(path.c_str());
    return r;
}

// ----- our engine

// One database connection with its user-table manager, opened as the database component does.
class TOurDatabase {
public:
    TOurDatabase(const std::string& path, bool exclusive, bool journal = true) {
        FDisk.SetFileName(path);
        FDisk.SetOpenFlags(exclusive ? 0x12 : 0x42);
        FDisk.Open();
        // The journal's cost is measured by turning it off (a hook for measurements only).
        if (!journal) FDisk.GetZanFile()->SetJournalActive(false);
        FHeaders.SetDiskMgr(&FDisk);
        FHeaders.SetUsage(C_USAGE_HEADERS);
        FHeaders.SetBlockSize(256);
        FHeaders.SetAccessFlags(0);
        FHeaders.SetGlobalFirstEmptyOffset(C_GLOBAL_FE_USER_HEADERS);
        FHeaders.Open();
        FTables.SetHdrDiskInterface(&FHeaders);
        FTables.SetBaseDefMgrAddress(3 * FDisk.GetPageSize());
        FTables.Open();
    }
    ~TOurDatabase() {
        FTables.Close();
        FHeaders.Close();
        FDisk.Close();
    }
    TDiskMgr& Disk() { return FDisk; }
    TDiskTableDefMgr& Tables() { return FTables; }

private:
    TDiskMgr FDisk;
    TDiskIOInterface FHeaders;
    TDiskTableDefMgr FTables;
};

void BuildDef(TTableDef& def, int indexes) {
    TInternalFieldItem* id = AddTableField(def, "Id", ftInteger);
    TInternalFieldItem* name = AddTableField(def, "Name", ftString, 41);
    TInternalFieldItem* val = AddTableField(def, "Val", ftFloat);
    AddTableField(def, "Data", ftBlob);
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
    def.SetUsesBlobs(true);
    auto index = [&](const char* indexName, TInternalFieldItem* f, bool unique,
                     TIndexKeyType kind) { AddTableIndex(def, indexName, *f, unique, kind); };
    index("ById", id, true, ikFixed);
    if (indexes >= 3) {
        index("ByName", name, false, ikMinStringLen);
        index("ByVal", val, false, ikFixed);
    }
}

// An open table driven as a cursor drives it.
class TOurTable : public TOpenTable {
public:
    TOurTable(TOurDatabase& db, const TTableDef& stored)
        : TOpenTable(db.Tables(), "t", stored), FDb(db) {
        FRec.resize(size_t(FDef.GetRecordSize()));
        FFilling.Open(FDef.GetRecordSize(), C_MAXKEYSIZE + 1, UINT64_MAX / 2);
    }

    // Table lock and header refresh; the trees drop their buffers when another connection
    // changed the table.
    void Enter(bool write) {
        // A change takes the header lock with the table's, as a row store does.
        if (write)
            FDb.Disk().SetTableLockWithHeader(TableID(), ZanLockWrite, true);
        else
            FDb.Disk().SetTableLock(TableID(), ZanLockRead);
        TTableHeader& h = *FDef.GetTableHeader();
        const uint32_t seen = h.GetModifiedFlag();
        h.ReadHeader();
        FIndexes.ReadIndexHeaders(h.GetModifiedFlag() != seen);
        if (write) LoadFreeHeads();
    }
    void Leave(bool write) {
        if (write) {
            TTableHeader& h = *FDef.GetTableHeader();
            FIndexes.WriteIndexHeaders();
            StoreFreeHeads();
            h.WriteHeader();
            FDb.Disk().ReleaseHeaderLock();
        }
        FDb.Disk().ReleaseTableLock(TableID());
    }

    void Insert(int32_t id) {
        Enter(true);
        TInternalFields& fields = *FDef.GetInternalFields();
        std::fill(FRec.begin(), FRec.end(), 0);
        NewRecordPrefix(FRec.data());
        RecordSetInteger(FRec.data(), *fields.Items(0), id);
        RecordSetString(FRec.data(), *fields.Items(1), NameOf(id));
        RecordSetFloat(FRec.data(), *fields.Items(2), ValueOf(id));
        if (HasBlob(id)) {
            TStringStream blob(BlobOf(id));
            const uint32_t head = FBlob.InsertBlob(blob);
            RecordSetBlobRef(FRec.data(), *fields.Items(3), head, 200);
        }
        const uint32_t address =
            FDef.GetRecordInterface()->AllocateNewAddress(uint32_t(FRec.size()), FRec.data());
        for (int i = 0; i < FIndexes.Count(); ++i) {
            FIndexes.Items(i)->CreateKeyBuffer(FRec.data());
            if (FIndexes.Items(i)->InsertKey(address) != 0) ++FErrors;
        }
        Leave(true);
    }

    void Delete(int32_t id) {
        Enter(true);
        const uint32_t size = uint32_t(FRec.size());
        TInternalFields& fields = *FDef.GetInternalFields();
        RecordSetInteger(FRec.data(), *fields.Items(0), id);
        TIndexItem* byId = FIndexes.Items(0);
        byId->CreateKeyBuffer(FRec.data());
        if (byId->FullIndexSearch(stEQ) != 0) {
            ++FErrors;
        } else {
            const uint32_t address = byId->GetRecordAddress();
            FDef.GetRecordInterface()->ReadBlock(address, size, FRec.data());
            for (int i = 0; i < FIndexes.Count(); ++i) {
                TIndexItem* index = FIndexes.Items(i);
                if (i > 0) {
                    index->CreateKeyBuffer(FRec.data());
                    if (index->FullIndexSearch(stEQ) != 0) {
                        ++FErrors;
                        continue;
                    }
                }
                index->DeleteKey();
            }
            uint32_t head = 0, length = 0;
            RecordGetBlobRef(FRec.data(), *fields.Items(3), head, length);
            if (head != 0) FBlob.DeleteBlob(head, length);
            FDef.GetRecordInterface()->ReleaseBlock(address, size);
        }
        Leave(true);
    }

    // Reads every column of the record at address.
    void ReadRow(uint32_t address, int64_t& sum) {
        FDef.GetRecordInterface()->ReadBlock(address, uint32_t(FRec.size()), FRec.data());
        ReadColumns(FRec.data(), sum);
    }

    // Reads every column of a record's bytes (its blob last: the bytes may lie in the cache).
    void ReadColumns(const uint8_t* rec, int64_t& sum) {
        TInternalFields& fields = *FDef.GetInternalFields();
        sum += RecordGetInteger(rec, *fields.Items(0));
        sum += int64_t(RecordGetStringView(rec, *fields.Items(1)).size());
        sum += int64_t(RecordGetFloat(rec, *fields.Items(2)));
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(rec, *fields.Items(3), head, length);
        if (head != 0) {
            FBlobStream.Clear();
            FBlob.ReadBlob(head, FBlobStream, length);
            sum += FBlobStream.GetSize();
        }
    }

    void Lookup(int32_t id, int64_t& sum) {
        Enter(false);
        RecordSetInteger(FRec.data(), *FDef.GetInternalFields()->Items(0), id);
        TIndexItem* byId = FIndexes.Items(0);
        byId->CreateKeyBuffer(FRec.data());
        if (byId->FullIndexSearch(stEQ) != 0)
            ++FErrors;
        else
            ReadRow(byId->GetRecordAddress(), sum);
        Leave(false);
    }

    // A scan in key order as the cursor reads ahead: the index lists a filling of records from
    // its current leaf, their records are read together (pages looked up and fetched at once)
    // and used in place, then the index goes to the record after the filling. One read lock
    // covers the scan, as one statement's lock covers SQLite's.
    int64_t Scan(int64_t& sum) {
        Enter(false);
        int64_t rows = 0;
        TIndexItem* byId = FIndexes.Items(0);
        const uint32_t count = byId->GetRecordCount();
        if (count > 0 && byId->SetRecordNo(1) != 0) {
            std::vector<uint32_t> addresses;
            for (;;) {
                FFilling.Invalidate();
                byId->ListReadAheadRecords(rdForwards, C_FILLING, FFilling);
                const int32_t n = FFilling.Count();
                if (n == 0) {
                    ++FErrors;
                    break;
                }
                addresses.resize(size_t(n));
                for (int32_t i = 0; i < n; ++i)
                    addresses[size_t(i)] = FFilling.Items(i)->GetRecAddr();
                FDef.GetRecordInterface()->ReadBlocks(
                    addresses.data(), addresses.size(), uint32_t(FRec.size()),
                    [&](size_t, const uint8_t* rec) { ReadColumns(rec, sum); });
                rows += n;
                const uint32_t next = uint32_t(FFilling.Last()->GetRecNo()) + 1;
                if (next > count || byId->SetRecordNo(next) == 0) break;
            }
        }
        Leave(false);
        return rows;
    }

    int64_t Errors() const { return FErrors; }

private:
    // Records per read-ahead filling in a scan: what a cursor reads ahead unless a view of more
    // rows asks for more.
    static constexpr int32_t C_FILLING = 10;
    TOurDatabase& FDb;
    TReadAheadBuffer FFilling;
    TMemoryStream FBlobStream;
    std::vector<uint8_t> FRec;
    int64_t FErrors = 0;
};

// synced: every commit syncs the journal, its directory and the file.
TResult RunOurs(const std::string& path, int32_t n, int indexes, bool exclusive,
                bool journal = true, bool synced = false) {
    TResult r;
    unlink(path.c_str());
    {
        TDiskMgr disk;
        disk.SetFileName(path);
        disk.CreateNewFile(true);
    }
    TOurDatabase db(path, exclusive, journal);
    db.Disk().SetSyncCommits(synced);
    TTableDef stored;
    BuildDef(stored, indexes);
    stored.SetTableName("t");
    db.Tables().CreateTableDef("t", stored);
    {
        TOurTable t(db, stored);
        const std::vector<int32_t> order = Shuffled(n, 1);
        Timed(r, opInsert, [&] {
            db.Disk().DiskStartTransaction(false);
            for (int32_t id : order)
                t.Insert(id);
            db.Disk().DiskCommit();
        });
        r.SizeAfterInsert = db.Disk().GetFileSize();
        const std::vector<int32_t> keys = LookupKeys(n);
        int64_t sum = 0;
        Timed(r, opLookup, [&] {
            for (int32_t id : keys)
                t.Lookup(id, sum);
        });
        Timed(r, opScan, [&] {
            if (t.Scan(sum) != n) ++r.Errors;
        });
        Timed(r, opReinsert, [&] {
            db.Disk().DiskStartTransaction(false);
            for (int32_t id = 0; id < n; id += 2)
                t.Delete(id);
            db.Disk().DiskCommit();
            db.Disk().DiskStartTransaction(false);
            for (int32_t id = 0; id < n; id += 2)
                t.Insert(id);
            db.Disk().DiskCommit();
        });
        r.SizeAfterReinsert = db.Disk().GetFileSize();
        TimedBatches(r, opCommits, [&](int32_t batch) {
            for (int32_t k = 0; k < C_COMMITS; ++k) {
                db.Disk().DiskStartTransaction(false);
                t.Insert(n + batch * C_COMMITS + k);
                db.Disk().DiskCommit();
            }
        });
        r.Errors += t.Errors();
    }
    return r;
}

// posts single-row inserts, each outside a transaction in a write scope of its own as a cursor
// posts it (shared open, one index): the seconds taken, and the processor seconds in cpu.
double RunPosts(const std::string& path, int32_t posts, bool journal, double* cpu = nullptr) {
    unlink(path.c_str());
    {
        TDiskMgr disk;
        disk.SetFileName(path);
        disk.CreateNewFile(true);
    }
    double seconds = 0;
    {
        TOurDatabase db(path, false, journal);
        TTableDef stored;
        BuildDef(stored, 1);
        stored.SetTableName("t");
        db.Tables().CreateTableDef("t", stored);
        TOurTable t(db, stored);
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        for (int32_t id = 0; id < posts; ++id) {
            TDiskWriteScope scope(db.Disk());
            t.Insert(id);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (cpu) *cpu = CpuSeconds() - cpuStart;
    }
    unlink(path.c_str());
    return seconds;
}

// Restores a hot journal of about mb megabytes (whole pages of a file as large): the seconds.
double RunRecovery(const std::string& path, uint32_t mb) {
    const uint32_t pages = mb * 256;
    {
        std::vector<uint8_t> page(4096, 0x5A);
        TWinFile f;
        f.Create(path, fsDenyNone, true);
        for (uint32_t i = 0; i < pages; ++i)
            f.WriteAt(page.data(), page.size(), uint64_t(i) * 4096);
    }
    const std::string journal = JournalFileNameFor(path);
    {
        std::vector<uint8_t> page(4096, 0xA5);
        TJournalWriter w;
        w.Begin(journal, 4096, 0644, uint64_t(pages) * 4096, false);
        for (uint32_t i = 0; i < pages; ++i)
            w.AddStretch(i * 4096, page.data(), 4096);
        std::vector<uint8_t> image(ZanFixedRegionsEnd, 0x5A);
        TJournalHeader h;
        h.FixedCRCAfter = FixedRegionsCRC(image.data());
        w.Finish(h);
        w.Abandon();
    }
    const auto start = std::chrono::steady_clock::now();
    RecoverJournal(journal, path, false);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    unlink(path.c_str());
    unlink(journal.c_str());
    return seconds;
}

// Runs f in a child process and answers its result.
TResult InChild(const std::function<TResult()>& f) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(3);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        TResult r;
        try {
            r = f();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "failed: %s\n", e.what());
            r.Errors = -1;
        }
        const char* p = reinterpret_cast<const char*>(&r);
        size_t left = sizeof r;
        while (left > 0) {
            const ssize_t w = write(fds[1], p, left);
            if (w <= 0) _exit(4);
            p += w;
            left -= size_t(w);
        }
        _exit(0);
    }
    close(fds[1]);
    TResult r;
    char* p = reinterpret_cast<char*>(&r);
    size_t got = 0;
    while (got < sizeof r) {
        const ssize_t n = read(fds[0], p + got, sizeof r - got);
        if (n <= 0) break;
        got += size_t(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != sizeof r) r.Errors = -1;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const int32_t n = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1000000;
    const std::string base = "/tmp/bench_vs_sqlite_" + std::to_string(getpid());
    if (argc > 2 && std::string(argv[2]) == "posts") {
        double cpuOn = 0, cpuOff = 0;
        const double on = RunPosts(base + ".zan", n, true, &cpuOn);
        const double off = RunPosts(base + ".zan", n, false, &cpuOff);
        std::printf("%d posts: journal on %.3f s, off %.3f s, on/off rate %.2f; processor time "
                    "on %.3f s, off %.3f s, on/off rate %.2f\n",
                    n, on, off, off / on, cpuOn, cpuOff, cpuOff / cpuOn);
        unlink((base + ".lck").c_str());
        return 0;
    }
    if (argc > 2) {
        const std::string only = argv[2];
        const int indexes = argc > 3 ? std::clamp(std::atoi(argv[3]), 1, 3) : 3;
        const TResult r = only == "sqlite"
                              ? RunSqlite(base + ".sqlite", n, indexes)
                              : RunOurs(base + ".zan", n, indexes, only == "exclusive");
        for (int op = 0; op < opCount; ++op)
            std::printf("%-24s %8.3f s  processor %8.3f s\n", C_OP_NAMES[op], r.Seconds[op],
                        r.CpuSeconds[op]);
        unlink((base + ".zan").c_str());
        return r.Errors == 0 ? 0 : 1;
    }
    std::printf("%d records: integer key, 40-byte string, double, 200-byte blob on every tenth "
                "row\n",
                n);
    for (int indexes : {1, 3}) {
        const TResult lite = InChild([&] { return RunSqlite(base + ".sqlite", n, indexes); });
        const TResult excl = InChild([&] { return RunOurs(base + ".zan", n, indexes, true); });
        const TResult shar = InChild([&] { return RunOurs(base + ".zan", n, indexes, false); });
        const TResult bare =
            InChild([&] { return RunOurs(base + ".zan", n, indexes, true, false); });
        std::printf("\n%d index%s        | SQLite s | exclusive s  ours/SQLite | shared s  "
                    "ours/SQLite | peak MB SQLite/excl/shared\n",
                    indexes, indexes == 1 ? " " : "es");
        std::printf("-------------------------+----------+--------------------------+----------"
                    "-------------+---------------------------\n");
        for (int op = 0; op < opCount; ++op)
            std::printf("%-24s | %8.3f | %11.3f  %10.2f | %8.3f  %10.2f | %6.0f %6.0f %6.0f\n",
                        C_OP_NAMES[op], lite.Seconds[op], excl.Seconds[op],
                        excl.Seconds[op] / lite.Seconds[op], shar.Seconds[op],
                        shar.Seconds[op] / lite.Seconds[op], lite.PeakKB[op] / 1024.0,
                        excl.PeakKB[op] / 1024.0, shar.PeakKB[op] / 1024.0);
        for (const TOp op : C_WRITE_OPS)
            std::printf("%-24s | %8s | %11.3f  %10.2f | journal cost: exclusive %.2fx\n",
                        (std::string(C_OP_NAMES[op]) + ", no journal").c_str(), "",
                        bare.Seconds[op], bare.Seconds[op] / lite.Seconds[op],
                        excl.Seconds[op] / bare.Seconds[op]);
        std::printf("file MB after insert     | %8.1f | %11.1f              | %8.1f\n",
                    MB(lite.SizeAfterInsert), MB(excl.SizeAfterInsert), MB(shar.SizeAfterInsert));
        std::printf("file MB after re-insert  | %8.1f | %11.1f              | %8.1f\n",
                    MB(lite.SizeAfterReinsert), MB(excl.SizeAfterReinsert),
                    MB(shar.SizeAfterReinsert));
        if (lite.Errors || excl.Errors || shar.Errors)
            std::printf("ERRORS: SQLite %lld, exclusive %lld, shared %lld\n",
                        (long long)lite.Errors, (long long)excl.Errors, (long long)shar.Errors);
    }
    unlink((base + ".lck").c_str());

    // Table 2: both engines journaled and synced at every commit.
    const int32_t n2 = std::min(n, 100000);
    const TResult lite2 =
        InChild([&] { return RunSqlite(base + ".sqlite", n2, 1, true); });
    const TResult excl2 =
        InChild([&] { return RunOurs(base + ".zan", n2, 1, true, true, true); });
    const TResult shar2 =
        InChild([&] { return RunOurs(base + ".zan", n2, 1, false, true, true); });
    std::printf("\nSynced, %d records, one index | SQLite s | exclusive s  ours/SQLite | "
                "shared s  ours/SQLite\n",
                n2);
    for (const TOp op : C_SYNCED_OPS)
        std::printf("%-30s | %8.3f | %11.3f  %10.2f | %8.3f  %10.2f\n", C_OP_NAMES[op],
                    lite2.Seconds[op], excl2.Seconds[op], excl2.Seconds[op] / lite2.Seconds[op],
                    shar2.Seconds[op], shar2.Seconds[op] / lite2.Seconds[op]);
    unlink((base + ".lck").c_str());

    // Single-row posts outside a transaction: the write scope's journaled commit per post.
    // Rounds with the journal on and off alternate, each in a process of its own, and the
    // median round of each side is shown: a stall of a shared machine then decides one round,
    // not the ratio.
    const int32_t posts = 10000;
    constexpr int C_POST_ROUNDS = 5;
    std::vector<TResult> on, off;
    for (int round = 0; round < C_POST_ROUNDS; ++round)
        for (const bool journal : {true, false})
            (journal ? on : off).push_back(InChild([&] {
                TResult r;
                r.Seconds[0] = RunPosts(base + ".zan", posts, journal, &r.Seconds[1]);
                return r;
            }));
    auto median = [](std::vector<TResult> rounds) {
        std::sort(rounds.begin(), rounds.end(), [](const TResult& a, const TResult& b) {
            return a.Seconds[0] < b.Seconds[0];
        });
        return rounds[rounds.size() / 2];
    };
    const TResult on1 = median(on), off1 = median(off);
    std::printf("\n%d single-row posts, shared, one index (median of %d rounds) | journal on "
                "%.0f/s | off %.0f/s | on/off rate %.2f (processor time %.2f)\n",
                posts, C_POST_ROUNDS, posts / on1.Seconds[0], posts / off1.Seconds[0],
                off1.Seconds[0] / on1.Seconds[0], off1.Seconds[1] / on1.Seconds[1]);
    const TResult rec = InChild([&] {
        TResult r;
        r.Seconds[0] = RunRecovery(base + ".rec.zan", 50);
        return r;
    });
    std::printf("recovery of a 50 MB journal: %.3f s\n", rec.Seconds[0]);
    unlink((base + ".lck").c_str());
    return 0;
}
