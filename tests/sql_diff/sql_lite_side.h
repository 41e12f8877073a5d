// SQLite's side of the SQL differential tests: an in-memory database whose query rows come out as
// the shell writes ours (tab-separated, NULL as \N, floats in their shortest text).
#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/zansql/zanSqlShell.h"

namespace zan {

class TLiteSide {
public:
    TLiteSide() {
        sqlite3_open(":memory:", &FDb);
        Exec("PRAGMA case_sensitive_like=ON");
    }
    ~TLiteSide() { sqlite3_close(FDb); }
    TLiteSide(const TLiteSide&) = delete;
    TLiteSide& operator=(const TLiteSide&) = delete;

    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string text = error ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error("sqlite: " + text + " in " + sql);
        }
    }
    // Rows as tsv lines; false with the error on failure.
    bool Query(const std::string& sql, std::vector<std::string>& rows, int& changes,
               std::string& error) {
        rows.clear();
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(FDb, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(FDb);
            return false;
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            std::string line;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                line += i ? "\t" : "";
                switch (sqlite3_column_type(st, i)) {
                case SQLITE_NULL:
                    line += "\\N";
                    break;
                case SQLITE_INTEGER:
                    line += std::to_string(sqlite3_column_int64(st, i));
                    break;
                case SQLITE_FLOAT:
                    line += ShortestFloatText(sqlite3_column_double(st, i));
                    break;
                default:
                    line += TsvEscape(reinterpret_cast<const char*>(sqlite3_column_text(st, i)));
                }
            }
            rows.push_back(line);
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            error = sqlite3_errmsg(FDb);
            return false;
        }
        changes = sqlite3_changes(FDb);
        return true;
    }

private:
    sqlite3* FDb = nullptr;
};

} // namespace zan
