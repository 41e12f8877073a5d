// The cost of security: a secured database (users, groups, privileges) against the same
// database without security, in one run (SQLite has no users, so there is no counterpart).
//
// Both files hold 50 small tables and one large table; the secured one has a group with 200
// object-privilege rows (four on each small table) whose user logs on. Measured: connect and
// disconnect; the first open of each table after a connect and repeated opens of one table;
// First/Next over the large table reading every field as the limited user; logons per second.
// The encrypted database (security level 1, same key) is the baseline: it differs from the
// secured one only by the security tables and the checks.
//
// Usage: bench_security [records]   (default 1000000)
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "bench/bench_data.h"
#include "engine/dataset/zanDatabase.h"

using namespace zan;
using namespace benchdata;

namespace {

constexpr int C_TABLES = 50;
constexpr int C_CONNECTS = 200;
constexpr int C_REPEATED_OPENS = 2000;
constexpr int C_LOGONS = 2000;
const char* const C_KEY = "bench master key";

template <class F> double Seconds(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::unique_ptr<TZanDataBase> Connect(const std::string& path, bool secured,
                                      const std::string& user = "limited") {
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName(path);
    db->SetMasterKey(C_KEY);
    if (secured)
        db->BeforeLogin = [user](TObject*, std::string& u, std::string& p, std::string&) {
            u = user;
            p = user == C_ADMIN_USER ? "plinth" : "limited-pw";
        };
    db->Open();
    return db;
}

// The fields of the large table.
struct TBigFields {
    explicit TBigFields(TZanTable& t)
        : Id(t.FieldByName("Id")), Name(t.FieldByName("Name")), Val(t.FieldByName("Val")),
          Code(t.FieldByName("Code")) {}
    TField *Id, *Name, *Val, *Code;
};

void CreateTables(TZanDataBase& db, int32_t rows) {
    for (int i = 0; i < C_TABLES; ++i) {
        TTableDef def;
        def.SetTableName("Small" + std::to_string(i));
        AddTableField(def, "Id", ftInteger);
        AddTableField(def, "Name", ftString, 31);
        def.GetInternalFields()->SetDefaultOffsets();
        def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
        AddTableIndex(def, "ixId", "Id", true, false);
        db.CreateTable(def, false);
    }
    TTableDef def;
    def.SetTableName("Big");
    AddTableField(def, "Id", ftInteger);
    AddTableField(def, "Name", ftString, 31);
    AddTableField(def, "Val", ftFloat);
    AddTableField(def, "Code", ftInteger);
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
    AddTableIndex(def, "ixId", "Id", true, false);
    db.CreateTable(def, false);
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName("Big");
    t.Open();
    const TBigFields f(t);
    db.StartTransaction();
    for (int32_t i = 1; i <= rows; ++i) {
        t.Append();
        f.Id->SetAsInteger(i);
        f.Name->SetAsString(NameOf(i));
        f.Val->SetAsFloat(ValueOf(i));
        f.Code->SetAsInteger(i % 97);
        t.Post();
    }
    db.Commit();
}

void Build(const std::string& path, bool secured, int32_t rows) {
    unlink(path.c_str());
    TZanDataBase creator;
    creator.SetDataBaseName(path);
    creator.SetUseEncryption(true);
    creator.SetEnforceSecurity(secured);
    creator.SetMasterKey(C_KEY);
    creator.CreateDatabase();
    auto db = Connect(path, secured, C_ADMIN_USER);
    CreateTables(*db, rows);
    if (!secured) return;
    TSecurityManager& sm = db->GetSecurityManager();
    sm.AddGroup("limited");
    sm.AddUser("limited", "limited-pw", "limited");
    TPrivileges set;
    set.SetGroupName("limited");
    auto grant = [&](const std::string& table, TObjectPrivilegeType type,
                     const std::string& fields) {
        TObjectPrivilege* p = set.GetObjectPrivileges().Add();
        p->SetObjectType(doTable);
        p->SetObjectName(table);
        p->SetPrivilegeType(type);
        p->SetFields(fields);
    };
    for (int i = 0; i < C_TABLES; ++i)
        for (TObjectPrivilegeType type : {opExecuteObj, opReadData, opInsertData, opUpdateData})
            grant("Small" + std::to_string(i), type, "");
    // The scan reads through a field list that names every field.
    grant("Big", opExecuteObj, "");
    grant("Big", opReadData, "Id,Name,Val,Code");
    sm.SetPrivileges(set, false);
}

struct TFigures {
    double Connect = 0, FirstOpens = 0, RepeatedOpens = 0, Scan = 0, Logons = 0;
    double Sum = 0;
};

TFigures Run(const std::string& path, bool secured) {
    TFigures f;
    f.Connect = Seconds([&] {
        for (int i = 0; i < C_CONNECTS; ++i)
            Connect(path, secured)->Close();
    });
    auto db = Connect(path, secured);
    f.FirstOpens = Seconds([&] {
        for (int i = 0; i < C_TABLES; ++i) {
            TZanTable t;
            t.SetDataBase(db.get());
            t.SetTableName("Small" + std::to_string(i));
            t.Open();
        }
    });
    f.RepeatedOpens = Seconds([&] {
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName("Small7");
        for (int i = 0; i < C_REPEATED_OPENS; ++i) {
            t.Open();
            t.Close();
        }
    });
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("Big");
    t.Open();
    const TBigFields big(t);
    f.Scan = Seconds([&] {
        for (t.First(); !t.GetEOF(); t.Next())
            f.Sum += big.Id->GetAsInteger() + double(big.Name->GetAsString().size()) +
                     big.Val->GetAsFloat() + big.Code->GetAsInteger();
    });
    if (secured) {
        TSecurityManager& sm = db->GetSecurityManager();
        f.Logons = Seconds([&] {
            for (int i = 0; i < C_LOGONS; ++i)
                sm.Logon("limited", "limited-pw", path);
        });
    }
    return f;
}

void Report(const char* what, double secured, double plain) {
    std::printf("%-40s secured %9.4f s  unsecured %9.4f s  ratio %6.3f\n", what, secured, plain,
                plain > 0 ? secured / plain : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    const int32_t rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const std::string base = "/tmp/bench_security_" + std::to_string(getpid());
    const std::string securedPath = base + "_s.zan", plainPath = base + "_p.zan";
    Build(securedPath, true, rows);
    Build(plainPath, false, rows);
    // Each side twice, the first round warming the file cache.
    TFigures secured, plain;
    for (int round = 0; round < 2; ++round) {
        plain = Run(plainPath, false);
        secured = Run(securedPath, true);
    }
    std::printf("%d tables, %d privilege rows, %d rows in the scanned table\n", C_TABLES + 1,
                C_TABLES * 4 + 2, rows);
    Report("connect + disconnect (200)", secured.Connect, plain.Connect);
    Report("first OpenTable of 50 tables", secured.FirstOpens, plain.FirstOpens);
    Report("repeated OpenTable (2000)", secured.RepeatedOpens, plain.RepeatedOpens);
    Report("First/Next, every field", secured.Scan, plain.Scan);
    std::printf("logons per second (limited user, privileges loaded): %.0f\n",
                C_LOGONS / secured.Logons);
    if (secured.Sum != plain.Sum) std::printf("scan sums differ!\n");
    for (const std::string& path : {securedPath, plainPath}) {
        unlink(path.c_str());
        unlink(ChangeFileExt(path, ".lck").c_str());
    }
    return 0;
}
