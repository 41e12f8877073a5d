// End to end through the table component: every storable field type, three indexes and 10,000
// rows posted into a file, read back after the file was closed and opened again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

constexpr int C_ROWS = 10000;

void DefineAllTypes(TFieldDefs& f, TIndexDefs& x) {
    f.Add("Id", ftAutoInc);
    f.Add("Str", ftString, 24);
    f.Add("Small", ftSmallint);
    f.Add("Int", ftInteger, 0, true);
    f.Add("Word", ftWord);
    f.Add("Bool", ftBoolean);
    f.Add("Float", ftFloat);
    f.Add("Curr", ftCurrency);
    f.Add("Date", ftDate);
    f.Add("Time", ftTime);
    f.Add("Stamp", ftDateTime);
    f.Add("Bytes", ftBytes, 4);
    f.Add("Blob", ftBlob);
    f.Add("Memo", ftMemo);
    f.Add("Graphic", ftGraphic);
    f.Add("FmtMemo", ftFmtMemo);
    x.Add("ixInt", "Int", {ixUnique});
    x.Add("ixStr", "Str", {ixDescending, ixCaseInsensitive});
    x.Add("ixSmallDate", "Small;Date", {});
}

// The row's values, a function of i alone.
void FillRow(TZanTable& t, int i) {
    t.FieldByName("Str")->SetAsString((i % 2 ? "S" : "s") + std::to_string((i * 7919) % C_ROWS));
    t.FieldByName("Small")->SetAsInteger(i % 500 - 250);
    t.FieldByName("Int")->SetAsInteger(i * 3);
    t.FieldByName("Word")->SetAsInteger(i % 65536);
    t.FieldByName("Bool")->SetAsVariant(Variant(i % 3 == 0));
    t.FieldByName("Float")->SetAsVariant(Variant(i * 0.5));
    t.FieldByName("Curr")->SetAsVariant(Variant(i * 1.25));
    t.FieldByName("Date")->SetAsVariant(VarFromDateTime(40000 + i % 1000));
    t.FieldByName("Time")->SetAsVariant(VarFromDateTime((i % 86400) / 86400.0));
    t.FieldByName("Stamp")->SetAsVariant(VarFromDateTime(40000 + i / 8.0));
    t.FieldByName("Bytes")->SetAsString(std::string{char('a' + i % 26), char(i % 256), 'x', 0});
    if (i % 250 == 0) {
        t.FieldByName("Blob")->SetAsString(std::string(3000 + i % 7, char(i % 256)));
        t.FieldByName("Memo")->SetAsString("memo " + std::to_string(i));
        t.FieldByName("Graphic")->SetAsString(std::string(20, 'g'));
        t.FieldByName("FmtMemo")->SetAsString("{fmt " + std::to_string(i) + "}");
    }
}

// Every field of the current row as text.
std::string RowText(TZanTable& t) {
    std::string text;
    for (int i = 0; i < t.GetFieldCount(); ++i) {
        TField* f = t.GetFields()[i];
        const std::string value = f->GetAsString();
        text += f->IsNull() ? "<null>" : std::to_string(value.size()) + ":" + value;
        text += '|';
    }
    return text;
}

std::unique_ptr<TZanTable> OpenAllTypes(TZanDataBase& db, const std::string& index) {
    auto t = std::make_unique<TZanTable>();
    t->SetDataBase(&db);
    t->SetTableName("AllTypes");
    t->SetIndexName(index);
    t->Open();
    return t;
}

// Every row, whole, in the order of the unique index; the other indexes by their key fields
// and addresses.
std::map<std::string, std::vector<std::string>> ReadAll(TZanDataBase& db) {
    std::map<std::string, std::vector<std::string>> orders;
    for (const char* index : {"ixInt", "ixStr", "ixSmallDate"}) {
        auto t = OpenAllTypes(db, index);
        std::vector<std::string>& rows = orders[index];
        const bool whole = std::string(index) == "ixInt";
        for (t->First(); !t->GetEOF(); t->Next())
            rows.push_back(whole ? RowText(*t)
                                 : t->FieldByName("Id")->GetAsString() + "|" +
                                       t->FieldByName("Str")->GetAsString() + "|" +
                                       t->FieldByName("Small")->GetAsString() + "|" +
                                       t->FieldByName("Date")->GetAsString());
    }
    return orders;
}

} // namespace

TEST(TableEndToEnd, SixteenTypesTenThousandRowsSurviveCloseAndReopen) {
    TTempFile file("end_to_end.zan");
    CreateDatabaseFile(file.Path);
    std::map<std::string, std::vector<std::string>> before;
    {
        auto db = NewDatabase(file.Path);
        db->Open();
        {
            TZanTable create;
            create.SetDataBase(db.get());
            create.SetTableName("AllTypes");
            DefineAllTypes(create.GetFieldDefs(), create.GetIndexDefs());
            create.CreateTable();
        }
        auto t = OpenAllTypes(*db, "ixInt");
        db->StartTransaction();
        for (int i = 0; i < C_ROWS; ++i) {
            t->Append();
            FillRow(*t, i);
            t->Post();
        }
        db->Commit();
        EXPECT_EQ(t->GetRecordCount(), C_ROWS);
        before = ReadAll(*db);
        t.reset();
        db->Close();
    }
    auto db = NewDatabase(file.Path);
    db->Open();
    const auto after = ReadAll(*db);
    EXPECT_EQ(after, before);
    for (const auto& [index, rows] : after)
        EXPECT_EQ(int(rows.size()), C_ROWS) << index;
    // Each index keeps its order; values read back are the ones written.
    auto t = OpenAllTypes(*db, "ixInt");
    std::vector<int32_t> ints;
    for (t->First(); !t->GetEOF(); t->Next())
        ints.push_back(t->FieldByName("Int")->GetAsInteger());
    EXPECT_TRUE(std::is_sorted(ints.begin(), ints.end()));
    ASSERT_TRUE(t->FindKey({Variant(750 * 3)}));
    EXPECT_EQ(t->FieldByName("Memo")->GetAsString(), "memo 750");
    EXPECT_EQ(t->FieldByName("Blob")->GetAsString(), std::string(3000 + 750 % 7, char(750 % 256)));
    EXPECT_EQ(t->FieldByName("Small")->GetAsInteger(), 0);
    EXPECT_TRUE(t->FieldByName("Bool")->GetAsBoolean());
    EXPECT_EQ(t->FieldByName("Id")->GetAsInteger(), 751);
    t->SetIndexName("ixStr");
    std::vector<std::string> strs;
    for (t->First(); !t->GetEOF(); t->Next())
        strs.push_back(UpperCase(t->FieldByName("Str")->GetAsString()));
    EXPECT_TRUE(std::is_sorted(strs.rbegin(), strs.rend())) << "descending, case ignored";
    t->SetIndexName("ixSmallDate");
    std::vector<std::pair<int32_t, double>> smallDates;
    for (t->First(); !t->GetEOF(); t->Next())
        smallDates.emplace_back(t->FieldByName("Small")->GetAsInteger(),
                                t->FieldByName("Date")->GetAsFloat());
    EXPECT_TRUE(std::is_sorted(smallDates.begin(), smallDates.end()));
    auto problems = CheckDatabase(*db->GetDiskMgr(), {&t->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}
