// Helpers of the filter tests: generated tables with several index sets, a generator of filter
// texts, and running a filter through a cursor's filter manager with or without indexes.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/sql/zanExprParser.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/child_process.h"

namespace zan {

// K (unique row number), I (integer), S (string 5), D (date), B (boolean), F (float); every
// field but K is NULL now and then.
struct TFilterTableSpec {
    bool File = false;
    TSortOrder Order = soASCII;
    int IndexSet = 0; // 0 ascending and case-sensitive, 1 descending and case-insensitive,
                      // 2 only I and S
    int Rows = 150;
    bool Nulls = true;
    bool Latin1 = false; // strings with accented letters too
    uint32_t Seed = 1;
};

inline TFilterTableSpec SpecOfRows(int rows) {
    TFilterTableSpec spec;
    spec.Rows = rows;
    return spec;
}

class TFilterTable {
public:
    explicit TFilterTable(const TFilterTableSpec& spec) : Spec(spec) {
        static int serial = 0;
        if (spec.File) {
            File = std::make_unique<TTempFile>("filter_" + std::to_string(++serial) + ".zan");
            auto created = std::make_unique<TZanDataBase>();
            created->SetDataBaseName(File->Path);
            created->CreateDatabase();
        }
        Db = std::make_unique<TZanDataBase>();
        Db->SetDataBaseName(spec.File ? File->Path : std::string(C_MEMORY_DATABASE));
        Db->SetLockRetryMaximum(200);
        Db->SetLockRetryInterval(5);
        Db->Open();
        {
            TZanTable def;
            def.SetDataBase(Db.get());
            def.SetTableName("T");
            def.SetMemory(!spec.File);
            def.SetSortOrder(spec.Order);
            TFieldDefs& f = def.GetFieldDefs();
            f.Add("K", ftInteger, 0, true);
            f.Add("I", ftInteger);
            f.Add("S", ftString, 5);
            f.Add("D", ftDate);
            f.Add("B", ftBoolean);
            f.Add("F", ftFloat);
            TIndexDefs& x = def.GetIndexDefs();
            x.Add("ixK", "K", {ixUnique});
            if (spec.IndexSet == 0) {
                x.Add("ixI", "I", {});
                x.Add("ixS", "S", {});
                x.Add("ixSci", "S", {ixCaseInsensitive});
                x.Add("ixD", "D", {});
                x.Add("ixB", "B", {});
                x.Add("ixF", "F", {});
            } else if (spec.IndexSet == 2) {
                x.Add("ixI", "I", {});
                x.Add("ixS", "S", {});
            } else {
                x.Add("ixIdesc", "I", {ixDescending});
                x.Add("ixSci", "S;I", {ixCaseInsensitive});
                x.Add("ixSdesc", "S", {ixDescending});
                x.Add("ixDdesc", "D", {ixDescending});
            }
            def.CreateTable();
        }
        Table.SetDataBase(Db.get());
        Table.SetTableName("T");
        Table.SetMemory(!spec.File);
        Table.Open();
        std::mt19937 r(spec.Seed);
        Today = Date();
        const std::string letters = spec.Latin1 ? "aAbB\xC3\xA9\xC3\x89" : "aAbB";
        for (int k = 1; k <= spec.Rows; ++k) {
            auto maybeNull = [&](Variant v) { return spec.Nulls && r() % 8 == 0 ? Null() : v; };
            std::string s;
            for (int n = int(r() % 5); n > 0; --n) {
                size_t at = r() % (spec.Latin1 ? 6 : 4);
                s += at < 4 ? letters.substr(at, 1) : letters.substr(4 + (at - 4) * 2, 2);
            }
            if (s.size() > 5) s.resize(4);
            const std::vector<Variant> values = {
                Variant(k), maybeNull(Variant(int32_t(r() % 21))), maybeNull(Variant(s)),
                maybeNull(VarFromDateTime(Today + double(int(r() % 31) - 15))),
                maybeNull(Variant(r() % 2 == 0)),
                maybeNull(Variant(double(int(r() % 41) - 20) / 4))};
            if (spec.Rows <= 1000) {
                Table.AppendRecord(values);
                continue;
            }
            // Large tables are filled through the cursor, without the dataset's buffers.
            static const char* const names[] = {"K", "I", "S", "D", "B", "F"};
            Table.InitializeNewRecord(Table.GetRecBuf(), false);
            for (size_t n = 0; n < values.size(); ++n)
                Table.DataSetSetFieldDataAsVariant(
                    Table.GetInternalFields().FindField(names[n])->GetFieldIndex(), values[n]);
            Table.AddRecord(false);
        }
        Table.First();
    }
    ~TFilterTable() {
        Table.Close();
        Table.SetDataBase(nullptr);
    }

    std::vector<std::string> IndexNames() {
        TStringList names;
        Table.GetIndexNames(names);
        std::vector<std::string> out;
        for (int i = 0; i < names.Count(); ++i)
            out.push_back(names.Get(i));
        return out;
    }

    TFilterTableSpec Spec;
    std::unique_ptr<TTempFile> File;
    std::unique_ptr<TZanDataBase> Db;
    TZanTable Table;
    TDateTime Today = 0;
};

// Filter texts over the fields of TFilterTable. Subset: comparisons, LIKE, IN, BETWEEN and
// AND/OR/NOT over I and S only, with ASCII constants (what SQLite reads the same way).
class TFilterGen {
public:
    explicit TFilterGen(uint32_t seed, bool subset = false) : R(seed), Subset(subset) {}

    std::string Condition(int depth = 0) {
        if (depth >= 3 || U(3) == 0) return Leaf();
        switch (U(4)) {
        case 0:
            return Condition(depth + 1) + " AND " + Condition(depth + 1);
        case 1:
            return Condition(depth + 1) + " OR " + Condition(depth + 1);
        case 2:
            return "NOT (" + Condition(depth + 1) + ")";
        default:
            return "(" + Condition(depth + 1) + ")";
        }
    }

    int U(int n) { return int(R() % uint32_t(n)); }
    std::string Op() {
        static const char* const ops[] = {"=", "<>", "<", "<=", ">", ">="};
        return ops[U(6)];
    }
    std::string Int() { return std::to_string(U(27) - 3); }
    std::string Str(bool star) {
        std::string s;
        for (int n = U(4); n > 0; --n)
            s += "aAbB"[U(4)];
        if (!Subset && U(12) == 0) s = "abAbab"; // longer than the field
        if (star && !Subset && U(4) == 0) s += "*";
        return "'" + s + "'";
    }
    std::string Pattern() {
        static const char* const patterns[] = {"a%",  "ab%", "A%",  "aB_%", "a_",  "%",   "_",
                                               "a",   "%b",  "_a%", "ba%",  "b%a", "Ab%", "abAbab%"};
        return "'" + std::string(patterns[U(14)]) + "'";
    }
    std::string DateText() {
        return "'" + FormatDateTime("yyyy-mm-dd", Date() + double(U(41) - 20)) + "'";
    }

    std::string Leaf() {
        if (Subset) {
            switch (U(7)) {
            case 0:
                return "I " + Op() + " " + Int();
            case 1:
                return Int() + " " + Op() + " I";
            case 2:
                return "S " + Op() + " " + Str(false);
            case 3:
                return std::string("S ") + (U(4) == 0 ? "NOT LIKE " : "LIKE ") + Pattern();
            case 4:
                return std::string(U(3) == 0 ? "I NOT IN (" : "I IN (") + Int() + ", " + Int() +
                       ", " + Int() + ")";
            case 5:
                return std::string(U(3) == 0 ? "I NOT BETWEEN " : "I BETWEEN ") + Int() + " AND " +
                       Int();
            default:
                return "S IN (" + Str(false) + ", " + Str(false) + ")";
            }
        }
        static const char* const fields[] = {"I", "S", "D", "B", "F", "K"};
        switch (U(17)) {
        case 0:
            return "I " + Op() + " " + Int();
        case 1:
            return Int() + " " + Op() + " I";
        case 2:
        case 3:
            return "S " + Op() + " " + Str(true);
        case 4:
            return "D " + Op() + " " + DateText();
        case 5:
            return std::string("B = ") + (U(2) ? "TRUE" : "FALSE");
        case 6:
            return std::string(fields[U(6)]) + (U(2) ? " IS NULL" : " IS NOT NULL");
        case 7:
            return std::string("S ") + (U(5) == 0 ? "NOT LIKE " : "LIKE ") + Pattern();
        case 8:
            return std::string(U(4) == 0 ? "I NOT IN (" : "I IN (") + Int() + ", " + Int() + ")";
        case 9:
            return std::string(U(4) == 0 ? "S NOT IN (" : "S IN (") + Str(false) + ", " +
                   Str(false) + ")";
        case 10:
            return std::string(U(3) == 0 ? "I NOT BETWEEN " : "I BETWEEN ") + Int() + " AND " +
                   Int();
        case 11:
            return "S BETWEEN " + Str(false) + " AND " + Str(false);
        case 12:
            return "I " + Op() + " " + Int() + " + 1";
        case 13: {
            static const char* const constants[] = {"1 = 1", "2 < 1", "'a' = 'a'", "1 + 1 = 2"};
            return constants[U(4)];
        }
        case 14:
            return "D " + Op() + " CURRENT_DATE";
        case 15:
            return "I " + std::string(U(2) ? ">" : "<") + " " + Int() + " OR I " +
                   std::string(U(2) ? "<" : ">=") + " " + Int();
        default:
            return "F " + Op() + " " + std::to_string(U(21) - 10) + ".5";
        }
    }

private:
    std::mt19937 R;
    bool Subset;
};

// One record as the tests check it.
struct TFilterRow {
    int K;
    Variant I, S;
    uint32_t Address;
};

// Every record in the order of the current index, unfiltered (the filter stays as it was).
inline std::vector<TFilterRow> AllRows(TZanTable& t) {
    const bool was = t.GetFiltered();
    t.SetFiltered(false);
    std::vector<TFilterRow> rows;
    for (t.First(); !t.GetEOF(); t.Next())
        rows.push_back({t.FieldByName("K")->GetAsInteger(), t.FieldByName("I")->GetValue(),
                        t.FieldByName("S")->GetValue(), GetLE32(t.GetBookmark().Data())});
    t.SetFiltered(was);
    return rows;
}

// K of the records walked (First/Next, or Last/Prior read back to front).
inline std::vector<int> Walk(TZanTable& t, bool backwards = false) {
    std::vector<int> ks;
    if (backwards) {
        for (t.Last(); !t.GetBOF(); t.Prior())
            ks.insert(ks.begin(), t.FieldByName("K")->GetAsInteger());
    } else {
        for (t.First(); !t.GetEOF(); t.Next())
            ks.push_back(t.FieldByName("K")->GetAsInteger());
    }
    return ks;
}

// What one filter gives through a cursor's filter manager.
struct TFilterOutcome {
    bool Ok = false;
    std::string Error;
    std::vector<uint32_t> List;
    TZanFilterOptimisationLevel Level = olNone;
};

enum TFilterMode { fmTable, fmQuery, fmQuerySorted, fmQueryNoNulls };

inline TFilterOutcome RunFilter(TZanTable& t, const std::string& text, TFilterOptions options,
                                TFilterMode mode, bool forceNoIndex) {
    TFilterMgr& m = t.GetFilterMgr();
    m.CloseFilter();
    m.SetQueryActive(mode != fmTable);
    m.SetOrdered(mode == fmQuerySorted);
    m.SetExcludeRelopNulls(mode == fmQueryNoNulls);
    m.SetFilterText(text);
    m.SetFilterOptions(options);
    TFilterOptimizer::SetForceNoOptimisation(forceNoIndex);
    TScopeExit restore([&] {
        TFilterOptimizer::SetForceNoOptimisation(false);
        m.CloseFilter();
        m.SetQueryActive(false);
        m.SetOrdered(false);
        m.SetExcludeRelopNulls(false);
    });
    TFilterOutcome out;
    try {
        if (!m.OpenFilter(&t)) {
            out.Error = m.GetLastError();
            return out;
        }
    } catch (const std::exception& e) {
        out.Error = e.what();
        return out;
    }
    out.Ok = true;
    out.List = m.GetCurrentFilter();
    out.Level = m.GetEvaluator()->GetOptimisationLevel();
    return out;
}

// A parsed expression over the table, as the query layer hands it over.
struct TParsedExpr {
    TParsedExpr(TZanTable& t, const std::string& text) {
        TTableNameItem& item = *Tables.Add();
        item.SetTableName("T");
        item.SetTableFields(&t.GetInternalFields());
        Pre.SetText(text);
        Pre.SetParseAsExprOnly(true);
        Pre.PreParseTokens();
        Parser.SetTableList(&Tables);
        Parser.SetValidateFields(true);
        EXPECT_TRUE(Parser.Execute(ZanParserOptions({zpoExtSyntax}), Pre.GetSection(zstWhere, nullptr)))
            << Parser.GetErrorMsg();
    }
    TZanExpr* Expr() { return Parser.GetExpr(); }
    TTableList Tables;
    TZanPreParser Pre;
    TZanExprParser Parser;
};

} // namespace zan
