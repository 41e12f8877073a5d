// SQLite as the oracle of differential query tests: its tables filled from the same rows as
// ours, and result rows of both engines printed alike, so they compare as sorted multisets.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host/rtl/Variants.h"

namespace zan {

// A value as both engines print it: numbers as doubles (so integers and floats compare), -0 as
// 0, strings marked, NULL as N.
inline std::string LiteRender(double v) {
    if (v == 0) v = 0;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

inline std::string LiteRender(const Variant& v) {
    if (VarIsNull(v) || v.Type() == varEmpty) return "N";
    if (v.Type() == varString) return "s:" + v.StringRef();
    return LiteRender(v.AsDouble());
}

// Result rows, each its values printed and ended by "|", sorted.
using TLiteRows = std::vector<std::string>;

// Inserts the rows into SQLite's table name, whose columns take the rows' values in order.
inline void FillLiteTable(sqlite3* lite, const std::string& name,
                          const std::vector<std::vector<Variant>>& rows) {
    if (rows.empty()) return;
    std::string marks;
    for (size_t i = 0; i < rows[0].size(); ++i) marks += i ? ", ?" : "?";
    sqlite3_stmt* insert = nullptr;
    const std::string sql = "INSERT INTO " + name + " VALUES (" + marks + ")";
    ASSERT_EQ(sqlite3_prepare_v2(lite, sql.c_str(), -1, &insert, nullptr), SQLITE_OK);
    for (const auto& r : rows) {
        for (size_t i = 0; i < r.size(); ++i) {
            const int col = int(i) + 1;
            if (VarIsNull(r[i]))
                sqlite3_bind_null(insert, col);
            else if (r[i].Type() == varString)
                sqlite3_bind_text(insert, col, r[i].StringRef().c_str(), -1, SQLITE_TRANSIENT);
            else if (r[i].Type() == varDouble)
                sqlite3_bind_double(insert, col, r[i].AsDouble());
            else
                sqlite3_bind_int(insert, col, int(r[i].AsDouble()));
        }
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
}

// SQLite's rows of a statement.
inline TLiteRows LiteRowsOf(sqlite3* lite, const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(lite, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(lite);
    TLiteRows rows;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string line;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            switch (sqlite3_column_type(st, i)) {
            case SQLITE_NULL: line += "N"; break;
            case SQLITE_TEXT:
                line += "s:" + std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)));
                break;
            default: line += LiteRender(sqlite3_column_double(st, i)); break;
            }
            line += "|";
        }
        rows.push_back(line);
    }
    sqlite3_finalize(st);
    std::sort(rows.begin(), rows.end());
    return rows;
}

} // namespace zan
