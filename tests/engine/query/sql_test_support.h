// Helpers of the query tests: a database (file or "MEMORY") with a query on it, statements run
// and results read as the shell's tab-separated text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"
#include "tools/zansql/zanSqlShell.h"

namespace zan {

class TQueryTestDb {
public:
    // A fresh file database (ASCII sort order) when file, else "MEMORY".
    explicit TQueryTestDb(bool file, const std::string& name = "query.zan") {
        if (file) {
            FFile = std::make_unique<TTempFile>(name);
            Db.SetDataBaseName(FFile->Path);
            Db.SetDefaultSortOrder(soASCII);
            Db.CreateDatabase();
        } else {
            Db.SetDataBaseName(C_MEMORY_DATABASE);
        }
        Db.SetLockRetryMaximum(50);
        Db.SetLockRetryInterval(5);
        Db.Open();
        Query.SetDatabase(&Db);
    }
    ~TQueryTestDb() {
        Query.Close();
        Query.SetDatabase(nullptr);
        Db.Close();
    }
    const std::string& Path() const { return FFile->Path; }

    // Runs a statement that is no SELECT; answers RowsAffected.
    int Exec(const std::string& sql) {
        Query.GetSQL().SetText(sql);
        Query.ExecSQL();
        return Query.GetRowsAffected();
    }
    // A SELECT's result as tab-separated text (header first).
    std::string Select(const std::string& sql) {
        Query.GetSQL().SetText(sql);
        Query.Open();
        std::ostringstream out;
        WriteSqlResult(Query, true, out);
        Query.Close();
        return out.str();
    }
    // The engine error of a statement run as it would be (Open for a SELECT): code and message.
    int32_t ErrorOf(const std::string& sql, std::string* message = nullptr) {
        return ErrorCodeOf(
            [&] {
                Query.GetSQL().SetText(sql);
                Query.Prepare();
                if (Query.GetSQLStatementType() == zsSQLSelect)
                    Query.Open();
                else
                    Query.ExecSQL();
            },
            message);
    }

    // Another connection to the same file, with a query of its own.
    struct TOther {
        explicit TOther(const std::string& path) {
            Db.SetDataBaseName(path);
            Db.SetLockRetryMaximum(50);
            Db.SetLockRetryInterval(5);
            Db.Open();
            Query.SetDatabase(&Db);
        }
        ~TOther() {
            Query.Close();
            Query.SetDatabase(nullptr);
            Db.Close();
        }
        int Exec(const std::string& sql) {
            Query.GetSQL().SetText(sql);
            Query.ExecSQL();
            return Query.GetRowsAffected();
        }
        std::string Select(const std::string& sql) {
            Query.GetSQL().SetText(sql);
            Query.Open();
            std::ostringstream out;
            WriteSqlResult(Query, true, out);
            Query.Close();
            return out.str();
        }
        TZanDataBase Db;
        TZanQuery Query;
    };

    TZanDataBase Db;
    TZanQuery Query;

private:
    std::unique_ptr<TTempFile> FFile;
};

} // namespace zan
