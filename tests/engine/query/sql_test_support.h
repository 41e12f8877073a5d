// Helpers of the query tests: a database (file or "MEMORY") with a query on it, statements run
// and results read as the shell's tab-separated text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>
#include <sstream>
#include <string>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"
#include "host/win/child_process.h"
#include "support/zanCheckFile.h"
#include "support/zanTestSupport.h"
#include "tools/zansql/zanSqlShell.h"

namespace zan {

// A connection with a query on it.
class TQueryConnection {
public:
    TQueryConnection() {
        Db.SetLockRetryMaximum(50);
        Db.SetLockRetryInterval(5);
    }
    ~TQueryConnection() {
        Query.Close();
        Query.SetDatabase(nullptr);
        Db.Close();
    }
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

    TZanDataBase Db;
    TZanQuery Query;

protected:
    void Connect(const std::string& name) {
        Db.SetDataBaseName(name);
        Db.Open();
        Query.SetDatabase(&Db);
    }
};

class TQueryTestDb : public TQueryConnection {
public:
    // A fresh file database (ASCII sort order) when file, else "MEMORY".
    explicit TQueryTestDb(bool file, const std::string& name = "query.zan") {
        if (file) {
            FFile = std::make_unique<TTempFile>(name);
            Db.SetDataBaseName(FFile->Path);
            Db.SetDefaultSortOrder(soASCII);
            Db.CreateDatabase();
        }
        Connect(file ? FFile->Path : C_MEMORY_DATABASE);
    }
    ~TQueryTestDb() {
        Query.Close();
        Query.SetDatabase(nullptr);
        Db.Close();
    }
    const std::string& Path() const { return FFile->Path; }

    // Another connection to the same file, with a query of its own.
    class TOther : public TQueryConnection {
    public:
        explicit TOther(const std::string& path) { Connect(path); }
    };

private:
    std::unique_ptr<TTempFile> FFile;
};

} // namespace zan
