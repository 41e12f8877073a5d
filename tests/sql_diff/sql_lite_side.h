// The two sides of the SQL differential tests: SQLite's in-memory database and ours in a file,
// both giving query rows as the shell writes them (tab-separated, NULL as \N, floats in their
// shortest text), and the comparison of number cells.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"
#include "host/win/child_process.h"
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

// Our side: an empty file database in the ASCII order.
class TOurSide {
public:
    explicit TOurSide(const std::string& fileName) : FFile(fileName) {
        Db.SetDataBaseName(FFile.Path);
        Db.SetDefaultSortOrder(soASCII);
        Db.CreateDatabase();
        Db.Open();
        Query.SetDatabase(&Db);
    }
    ~TOurSide() {
        Query.Close();
        Query.SetDatabase(nullptr);
        Db.Close();
    }
    TOurSide(const TOurSide&) = delete;
    TOurSide& operator=(const TOurSide&) = delete;

    // Rows as tsv lines (no header); false with the error line on failure.
    bool Run(const std::string& sql, std::vector<std::string>& rows, int& changes,
             std::string& error) {
        std::ostringstream out, err;
        const bool ok = RunSqlStatement(Query, sql, true, out, err);
        rows.clear();
        error = err.str();
        if (!ok) return false;
        std::istringstream lines(out.str());
        std::string line;
        for (bool header = true; std::getline(lines, line); header = false)
            if (!header) rows.push_back(line);
        changes = Query.GetRowsAffected();
        return true;
    }

    TTempFile FFile;
    TZanDataBase Db;
    TZanQuery Query;
};

inline bool ParseNumber(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

// Whether two cells read as numbers that agree within a relative 1e-9.
inline bool SameNumberText(const std::string& a, const std::string& b) {
    double x, y;
    if (!ParseNumber(a, x) || !ParseNumber(b, y)) return false;
    return std::fabs(x - y) <= 1e-9 * std::max({1.0, std::fabs(x), std::fabs(y)});
}

} // namespace zan
