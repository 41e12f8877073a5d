// Shared parts of the coverage-guided fuzz targets of damaged database files: a sample database
// built once per process, patches from the fuzzer's input laid over it, the uses every target
// makes of a damaged file, and the verdict on what those uses raised.
//
// Build (clang only, never part of `make test`; each command on one line):
//   CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug
//       -DZAN_FUZZ=ON -DZAN_TESTS=OFF
//   ninja -C build/fuzz fuzz_file fuzz_journal fuzz_file_sql
// Run (one corpus folder per target; ZAN_FUZZ_WRITE_SEEDS=<folder> writes a target's seeds and
// exits; leak checks are off while fuzzing, since they run an input twice, and on in the tests):
//   ZAN_FUZZ_WRITE_SEEDS=seeds/file build/fuzz/fuzz_file
//   build/fuzz/fuzz_file corpus/file seeds/file -timeout=10 -rss_limit_mb=2048
//       -malloc_limit_mb=512 -detect_leaks=0 -max_total_time=1800
// The fuzz build is instrumented at -O1 without coverage of the ciphers
// (tests/fuzz/coverage_ignore.txt); a run of fuzz_file takes about half a second.
// A crash, sanitizer report, timeout or memory blow-up is a finding (libFuzzer keeps the input
// as crash-*, timeout-* or oom-*; -minimize_crash=1 shrinks it). So is an error that is not the
// engine's, an internal error (8581), or a write that leaves a file the checker found whole
// with problems: those are written to ZAN_FUZZ_NOTES (default fuzz-notes.txt) once per kind,
// with the input beside it as note-<hash>.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanJournal.h"
#include "support/zanCheckFile.h"

namespace zan::fuzz {

inline constexpr uint32_t C_PAGE = 4096;

// A folder of this process for its files (tmpfs when there is one).
inline const std::string& WorkDir() {
    static const std::string dir = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        static char made[64];
        snprintf(made, sizeof made, "%s/zanfuzz-%d", base, int(getpid()));
        mkdir(made, 0700);
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(made, ec);
        });
        return std::string(made);
    }();
    return dir;
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return bytes;
    struct stat st {};
    fstat(fd, &st);
    bytes.resize(size_t(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, off_t(done));
        if (n <= 0) break;
        done += size_t(n);
    }
    bytes.resize(done);
    close(fd);
    return bytes;
}

inline void WriteAll(const std::string& path, const uint8_t* bytes, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, bytes + done, size - done, off_t(done));
        if (n <= 0) abort();
        done += size_t(n);
    }
    close(fd);
}

// Removes what a connection leaves beside a database file.
inline void RemoveSideFiles(const std::string& path) {
    unlink(JournalFileNameFor(path).c_str());
    const size_t dot = path.rfind('.');
    unlink((path.substr(0, dot) + ".zdx").c_str());
}

inline std::unique_ptr<TZanDataBase> Connect(const std::string& path) {
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName(path);
    db->SetLockRetryMaximum(3);
    db->SetLockRetryInterval(1);
    db->SetUseEncryption(true);
    db->SetMasterKey("open sesame");
    db->Open();
    return db;
}

inline void Exec(TZanDataBase& db, const std::string& sql) {
    TZanQuery q;
    q.SetDataBase(&db);
    q.GetSQL().SetText(sql);
    q.ExecSQL();
}

// The sample database, encrypted (a master key, needed for a ciphered table): table "T" (Id integer required, Name string(20), Note memo, Qty integer,
// Amount float; unique index on Id, case-insensitive one on Name, one on Qty) with 60 rows, some
// deleted; table "S" strongly ciphered (Id, Name, Note memo; unique index on Id) with 25 rows;
// table "P" made by SQL (k primary key, v, d DATE; an index on v) with 80 rows. With filler,
// table "G" (Id primary key, Note blob; 30 rows) lies beyond 9 MiB of pages a dropped table
// released, so the page map takes more than one map page and G's pages are in the second.
inline void MakeSampleDatabase(const std::string& path, bool filler) {
    unlink(path.c_str());
    RemoveSideFiles(path);
    {
        TZanDataBase maker;
        maker.SetDataBaseName(path);
        maker.SetUseEncryption(true);
        maker.SetMasterKey("open sesame");
        maker.CreateDatabase();
    }
    auto db = Connect(path);
    {
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName("T");
        t.GetFieldDefs().Add("Id", ftInteger, 0, true);
        t.GetFieldDefs().Add("Name", ftString, 20);
        t.GetFieldDefs().Add("Note", ftMemo);
        t.GetFieldDefs().Add("Qty", ftInteger);
        t.GetFieldDefs().Add("Amount", ftFloat);
        t.GetIndexDefs().Add("ixId", "Id", {ixUnique});
        t.GetIndexDefs().Add("ixName", "Name", {ixCaseInsensitive});
        t.GetIndexDefs().Add("ixQty", "Qty", {});
        t.CreateTable();
        t.Open();
        for (int i = 1; i <= 60; ++i)
            t.AppendRecord({Variant(i), Variant("name" + std::to_string(i % 17)),
                            i % 4 == 0 ? Variant() : Variant(std::string(50 + 97 * i, char('a' + i % 26))),
                            Variant(i % 7), Variant(i * 1.25)});
        t.Close();
        Exec(*db, "DELETE FROM T WHERE Id IN (5, 6, 7, 30, 31, 44)");
    }
    {
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName("S");
        t.SetEncryptionLevel(encStrong);
        t.GetFieldDefs().Add("Id", ftInteger, 0, true);
        t.GetFieldDefs().Add("Name", ftString, 30);
        t.GetFieldDefs().Add("Note", ftMemo);
        t.GetIndexDefs().Add("ixId", "Id", {ixUnique});
        t.CreateTable();
        t.Open();
        for (int i = 1; i <= 25; ++i)
            t.AppendRecord({Variant(i), Variant("secret" + std::to_string(i)),
                            Variant(std::string(100 + 150 * i, char('A' + i % 26)))});
        t.Close();
    }
    Exec(*db, "CREATE TABLE P (k INTEGER NOT NULL, v VARCHAR(20), d DATE, PRIMARY KEY (k))");
    Exec(*db, "CREATE INDEX ixv ON P (v)");
    for (int i = 1; i <= 80; ++i)
        Exec(*db, "INSERT INTO P VALUES (" + std::to_string(i * 3) + ", 'p" + std::to_string(i % 9) +
                      "', '2020-01-" + std::to_string(10 + i % 18) + "')");
    if (filler) {
        Exec(*db, "CREATE TABLE F (Id INTEGER NOT NULL, Big BLOB, PRIMARY KEY (Id))");
        TZanTable f;
        f.SetDataBase(db.get());
        f.SetTableName("F");
        f.Open();
        for (int i = 1; i <= 9; ++i)
            f.AppendRecord({Variant(i), Variant(std::string(1 << 20, 'f'))});
        f.Close();
        Exec(*db, "CREATE TABLE G (Id INTEGER NOT NULL, Note BLOB, PRIMARY KEY (Id))");
        for (int i = 1; i <= 30; ++i)
            Exec(*db, "INSERT INTO G VALUES (" + std::to_string(i) + ", '" +
                          std::string(size_t(300 * i), char('g' + i % 10)) + "')");
        Exec(*db, "DROP TABLE F");
    }
    db->Close();
    RemoveSideFiles(path);
}

// A sample database image and the pages a patch may land on: the first 128 (the fixed regions,
// the first map page, the tables), every page that is neither the dropped filler's bytes (mostly
// 'f') nor mostly zeros, and one page in 16 of the rest.
struct TSeedImage {
    std::vector<uint8_t> Bytes;
    std::vector<uint32_t> Pages;

    void Load(const std::string& path) {
        Bytes = ReadAll(path);
        Pages.clear();
        for (uint32_t p = 0; p < Bytes.size() / C_PAGE; ++p) {
            uint32_t counts[256] = {};
            for (uint32_t i = 0; i < C_PAGE; ++i)
                ++counts[Bytes[size_t(p) * C_PAGE + i]];
            if (p < 128 || p % 16 == 0 || (counts['f'] < 3000 && counts[0] < 4000))
                Pages.push_back(p);
        }
    }

    // The image with the input's patches laid over it. The input is a list of patches, each
    // [page choice 2][offset in page 2][length 1][bytes]; a patch cut short by the end of the
    // input takes the bytes there are. Answers where the patches went, for the notes.
    std::vector<uint8_t> Patched(const uint8_t* data, size_t size) const {
        std::vector<uint8_t> out = Bytes;
        size_t at = 0;
        while (at + 5 <= size && !Pages.empty()) {
            const uint32_t page = Pages[(data[at] | data[at + 1] << 8) % Pages.size()];
            const uint32_t offset = (data[at + 2] | data[at + 3] << 8) % C_PAGE;
            size_t length = 1 + data[at + 4] % 32;
            at += 5;
            length = std::min(length, size - at);
            const size_t to = size_t(page) * C_PAGE + offset;
            for (size_t i = 0; i < length && to + i < out.size(); ++i)
                out[to + i] = data[at + i];
            at += length;
        }
        return out;
    }
};

// The sample database (with or without the dropped filler table) made once and loaded.
inline TSeedImage SampleSeedImage(bool filler) {
    TSeedImage s;
    const std::string path = WorkDir() + "/seed.zan";
    MakeSampleDatabase(path, filler);
    s.Load(path);
    unlink(path.c_str());
    return s;
}

// The input being run, for the notes.
inline const uint8_t* GCurrentData = nullptr;
inline size_t GCurrentSize = 0;

// Records an odd outcome once per kind (digits dropped from the text): a line in the notes file
// and the input beside it.
inline void Note(const std::string& what) {
    static std::set<std::string> seen;
    std::string kind;
    for (char c : what)
        if (c < '0' || c > '9') kind += c;
    if (kind.size() > 300) kind.resize(300);
    if (!seen.insert(kind).second) return;
    const char* env = std::getenv("ZAN_FUZZ_NOTES");
    const std::string notes = env ? env : "fuzz-notes.txt";
    const uint32_t hash = CalcCRC(GCurrentData, int32_t(GCurrentSize));
    char name[32];
    snprintf(name, sizeof name, "note-%08x", hash);
    const size_t slash = notes.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : notes.substr(0, slash + 1);
    if (GCurrentData) WriteAll(dir + name, GCurrentData, GCurrentSize);
    FILE* f = fopen(notes.c_str(), "a");
    if (!f) return;
    fprintf(f, "%s: %s\n", name, what.c_str());
    fclose(f);
}

// Runs a use of the damaged file. Engine errors are the expected answer, but an internal error
// (8581) and any other exception are noted. Answers whether the use ended without an error.
inline bool Guarded(const char* use, const std::function<void()>& action) {
    try {
        action();
        return true;
    } catch (const EZanDatabaseError& e) {
        if (e.ErrorCode == 8581) Note(std::string(use) + ": 8581 " + e.Message());
    } catch (const std::exception& e) {
        Note(std::string(use) + ": not an engine error: " + e.what());
    }
    return false;
}

// Reads every row and field of a table in every index order (natural order first), forwards,
// then a few rows backwards from the end. At most 5,000 rows an order.
inline void ReadTable(TZanDataBase& db, const std::string& name) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(name);
    t.Open();
    TStringList indexes;
    t.GetIndexNames(indexes);
    std::vector<std::string> orders{""};
    for (int i = 0; i < indexes.Count(); ++i)
        orders.push_back(indexes.Get(i));
    for (const std::string& order : orders) {
        Guarded("read in index order", [&] {
            t.SetIndexName(order);
            int rows = 0;
            for (t.First(); !t.GetEOF() && rows < 5000; t.Next(), ++rows)
                for (int f = 0; f < t.GetFields().Count(); ++f)
                    (void)t.GetFields()[f]->GetAsString();
            t.Last();
            for (int back = 0; back < 5 && !t.GetBOF(); ++back)
                t.Prior();
        });
    }
}

inline std::vector<std::string> UserTables(TZanDataBase& db) {
    TStringList names;
    db.GetTableNames(names);
    std::vector<std::string> out;
    for (int i = 0; i < names.Count() && i < 16; ++i)
        out.push_back(names.Get(i));
    return out;
}

// One insert, one delete and one memo update through the table component.
inline void WriteTable(TZanDataBase& db, const std::string& name) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(name);
    t.Open();
    auto fill = [&](int salt) {
        for (int f = 0; f < t.GetFields().Count(); ++f) {
            TField* field = t.GetFields()[f];
            switch (field->GetDataType()) {
            case ftInteger:
            case ftSmallint:
            case ftWord:
                field->SetAsInteger(7000 + salt);
                break;
            case ftFloat:
                field->SetAsString("2.5");
                break;
            case ftString:
                field->SetAsString("fz" + std::to_string(salt));
                break;
            case ftMemo:
            case ftBlob:
                field->SetAsString(std::string(1500 + salt, 'm'));
                break;
            default:
                break;
            }
        }
    };
    Guarded("insert", [&] {
        t.Append();
        fill(1);
        t.Post();
    });
    Guarded("delete", [&] {
        t.First();
        t.Next();
        if (!t.GetEOF()) t.Delete();
    });
    Guarded("blob update", [&] {
        t.First();
        if (t.GetEOF()) return;
        t.Edit();
        for (int f = 0; f < t.GetFields().Count(); ++f) {
            TField* field = t.GetFields()[f];
            if (field->GetDataType() == ftMemo || field->GetDataType() == ftBlob)
                field->SetAsString(std::string(5000, 'u'));
        }
        t.Post();
    });
}

// The checker over the file; empty when whole. An error while checking is a problem found.
inline std::string Check(TZanDataBase& db) {
    std::string problems = "not checked";
    Guarded("checker", [&] { problems = CheckFile(db); });
    return problems;
}

// What every target does with a damaged file at path: open it, list and read every table in
// every order, check it; then write to each table and check it again. A file the checker found
// whole that the writes leave with problems is noted.
inline void UseDamagedFile(const std::string& path) {
    std::unique_ptr<TZanDataBase> db;
    if (!Guarded("open", [&] { db = Connect(path); })) return;
    std::vector<std::string> tables;
    Guarded("table names", [&] { tables = UserTables(*db); });
    for (const std::string& name : tables)
        Guarded("open table", [&] { ReadTable(*db, name); });
    const std::string before = Check(*db);
    for (const std::string& name : tables)
        Guarded("open table for writes", [&] { WriteTable(*db, name); });
    const std::string after = Check(*db);
    if (before.empty() && !after.empty())
        Note("writes left problems in a whole file: " + after.substr(0, 400));
    Guarded("close", [&] { db->Close(); });
}

} // namespace zan::fuzz
