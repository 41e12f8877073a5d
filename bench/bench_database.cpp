// The database connection and its catalogue beside SQLite, in one process on the same schema:
//  - connect + disconnect of a file with 50 tables (plain and encrypted) against SQLite open,
//    SELECT count(*) FROM sqlite_master, close;
//  - CreateTable of 1,000 tables (5 fields, 2 indexes) against CREATE TABLE + 2 CREATE INDEX
//    (synchronous=OFF);
//  - OpenTable + CloseTable 10,000 times against sqlite3_prepare_v2 + finalize of a SELECT on
//    the table.
// Prints seconds and the ratio ours/SQLite for each.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

#include "bench_data.h"
#include "engine/dataset/zanDatabase.h"
#include "tests/support/zanOpenTable.h"

using namespace zan;

namespace {

using benchdata::Seconds;

void Exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
        std::exit(1);
    }
}

std::string SqliteCreate(int i) {
    char sql[400];
    std::snprintf(sql, sizeof sql,
                  "CREATE TABLE t%d (Id INTEGER, Code VARCHAR(10), Name VARCHAR(30), Amount "
                  "DOUBLE, Note TEXT); CREATE UNIQUE INDEX t%d_id ON t%d (Id); CREATE INDEX "
                  "t%d_name ON t%d (Name COLLATE NOCASE);",
                  i, i, i, i, i);
    return sql;
}

std::unique_ptr<TZanDataBase> Database(const std::string& path, bool encrypted) {
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName(path);
    if (encrypted) {
        db->SetUseEncryption(true);
        db->SetMasterKey("benchmark key");
    }
    return db;
}

std::unique_ptr<TZanDataBase> NewFile(const std::string& path, bool encrypted) {
    unlink(path.c_str());
    unlink((path.substr(0, path.size() - 4) + ".lck").c_str());
    Database(path, encrypted)->CreateDatabase();
    auto db = Database(path, encrypted);
    db->Open();
    return db;
}

sqlite3* NewSqlite(const std::string& path) {
    unlink(path.c_str());
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA synchronous=OFF");
    return db;
}

void Report(const char* what, double ours, double theirs) {
    std::printf("%-46s | %9.4f | %9.4f | %6.2f\n", what, ours, theirs, ours / theirs);
}

std::string TableName(int i) {
    std::string name = "t";
    name += std::to_string(i);
    return name;
}

} // namespace

// Usage: bench_database [open]   (open: only the OpenTable loop, for profiling)
int main(int argc, char** argv) {
    const bool onlyOpen = argc > 1 && std::string(argv[1]) == "open";
    const std::string dir = "/tmp/bench_database_" + std::to_string(getpid());
    const std::string zan = dir + ".zan", lite = dir + ".sqlite";
    std::printf("%-46s | %9s | %9s | %6s\n", "operation", "ours s", "SQLite s", "ratio");
    try {
        // Connect and disconnect, 50 tables.
        const int connects = 200;
        for (bool encrypted : {false, true}) {
            if (onlyOpen) break;
            {
                auto db = NewFile(zan, encrypted);
                for (int i = 0; i < 50; ++i) {
                    TTableDef def;
                    BuildUserTableDef(def, TableName(i));
                    db->CreateTable(def, false);
                }
            }
            const double ours = Seconds([&] {
                for (int i = 0; i < connects; ++i) {
                    auto db = Database(zan, encrypted);
                    db->Open();
                    db->Close();
                }
            });
            sqlite3* s = NewSqlite(lite);
            for (int i = 0; i < 50; ++i)
                Exec(s, SqliteCreate(i));
            sqlite3_close(s);
            const double theirs = Seconds([&] {
                for (int i = 0; i < connects; ++i) {
                    sqlite3* db = nullptr;
                    sqlite3_open(lite.c_str(), &db);
                    Exec(db, "SELECT count(*) FROM sqlite_master");
                    sqlite3_close(db);
                }
            });
            Report(encrypted ? "connect+disconnect x200, 50 tables, encrypted"
                             : "connect+disconnect x200, 50 tables, plain",
                   ours, theirs);
        }

        // Create 1,000 tables.
        const int tables = onlyOpen ? 600 : 1000;
        auto db = NewFile(zan, false);
        const double ours = Seconds([&] {
            for (int i = 0; i < tables; ++i) {
                TTableDef def;
                BuildUserTableDef(def, TableName(i));
                db->CreateTable(def, false);
            }
        });
        sqlite3* s = NewSqlite(lite);
        const double theirs = Seconds([&] {
            for (int i = 0; i < tables; ++i)
                Exec(s, SqliteCreate(i));
        });
        Report("CreateTable x1000 (5 fields, 2 indexes)", ours, theirs);

        // Open and close a table 10,000 times.
        const int opens = onlyOpen ? 100000 : 10000;
        const double oursOpen = Seconds([&] {
            for (int i = 0; i < opens; ++i) {
                TTableDef def;
                db->OpenTable("t500", def);
                db->CloseTable(def);
            }
        });
        const double theirsOpen = Seconds([&] {
            for (int i = 0; i < opens; ++i) {
                sqlite3_stmt* stmt = nullptr;
                sqlite3_prepare_v2(s, "SELECT Id, Code, Name, Amount, Note FROM t500", -1, &stmt,
                                   nullptr);
                sqlite3_finalize(stmt);
            }
        });
        Report("OpenTable+CloseTable x10000", oursOpen, theirsOpen);
        sqlite3_close(s);
        db->Close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        return 1;
    }
    unlink(zan.c_str());
    unlink((dir + ".lck").c_str());
    unlink(lite.c_str());
    return 0;
}
