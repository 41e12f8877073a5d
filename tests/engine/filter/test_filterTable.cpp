// Filters on the base table: the setters, a failing text, ranges, navigation with an
// OnFilterRecord handler, record numbers and bookmarks, FindRecord, Locate, emptying, another
// connection's insert and the read privilege.
#include <gtest/gtest.h>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanPrivileges.h"
#include "filter_test_support.h"

using namespace zan;

namespace {

std::vector<int> Expected(const std::vector<TFilterRow>& rows,
                          const std::function<bool(const TFilterRow&)>& pred) {
    std::vector<int> ks;
    for (const TFilterRow& r : rows)
        if (pred(r)) ks.push_back(r.K);
    return ks;
}

// NULL compares below every value.
bool Below(const Variant& v, int x) {
    return VarIsNull(v) || v.AsInteger() < x;
}

int32_t ErrorCodeOf(const std::function<void()>& f, std::string* message = nullptr) {
    try {
        f();
    } catch (const EZanDatabaseError& e) {
        if (message) *message = e.what();
        return e.ErrorCode;
    }
    return 0;
}

TEST(FilterTable, SettersFailingTextAndRange) {
    TFilterTable table(SpecOfRows(80));
    TZanTable& t = table.Table;
    t.SetIndexName("ixS");
    const std::vector<TFilterRow> rows = AllRows(t);
    t.SetFilter("I < 5");
    t.SetFiltered(true);
    const std::vector<int> expected = Expected(rows, [](auto& r) { return Below(r.I, 5); });
    EXPECT_EQ(Walk(t), expected);
    EXPECT_EQ(Walk(t, true), expected);
    EXPECT_EQ(t.GetRecordCount(), int(expected.size()));

    // The same text again does not move.
    t.First();
    t.Next();
    t.Next();
    const int here = t.FieldByName("K")->GetAsInteger();
    t.SetFilter("I < 5");
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), here);
    // New options re-apply the filter and go to the first record.
    t.SetFilterOptions(TFilterOptions{foCaseInsensitive});
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), expected.front());

    // A text that does not parse: 10051 with the parser's message, the dataset unfiltered.
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { t.SetFilter("I = (1"); }, &message), 10051);
    EXPECT_NE(message.find("Invalid filter/filter expression"), std::string::npos) << message;
    EXPECT_NE(message.find("Character"), std::string::npos) << message;
    EXPECT_FALSE(t.GetFiltered());
    EXPECT_EQ(t.GetRecordCount(), 80);
    EXPECT_EQ(int(Walk(t).size()), 80);

    // A filter inside a range.
    t.SetIndexName("ixK");
    t.SetRange({Variant(10)}, {Variant(40)});
    t.SetFilter("I < 5");
    t.SetFiltered(true);
    std::vector<int> ranged =
        Expected(rows, [](auto& r) { return r.K >= 10 && r.K <= 40 && Below(r.I, 5); });
    std::sort(ranged.begin(), ranged.end());
    EXPECT_EQ(Walk(t), ranged);
    t.CancelRange();
    EXPECT_EQ(int(Walk(t).size()), int(expected.size()));
    t.SetFiltered(false);
}

TEST(FilterTable, NavigationWithAHandlerRecordNumbersAndBookmarks) {
    TFilterTable table(SpecOfRows(90));
    TZanTable& t = table.Table;
    t.SetIndexName("ixI");
    const std::vector<TFilterRow> rows = AllRows(t);
    int calls = 0;
    t.SetOnFilterRecord([&](TDataSet* ds, bool& accept) {
        ++calls;
        accept = ds->FieldByName("K")->GetAsInteger() % 2 == 0;
    });
    t.SetFilter("I >= 10");
    t.SetFiltered(true);
    const std::vector<int> expected = Expected(
        rows, [](auto& r) { return !Below(r.I, 10) && r.K % 2 == 0; });
    ASSERT_GT(expected.size(), 5u);
    EXPECT_EQ(Walk(t), expected);
    EXPECT_EQ(Walk(t, true), expected);
    EXPECT_EQ(t.GetRecordCount(), int(expected.size()));
    EXPECT_GT(calls, 0);

    // Record numbers are positions in the result; SetRecNo and bookmarks come back.
    int n = 0;
    for (t.First(); !t.GetEOF(); t.Next())
        EXPECT_EQ(t.GetRecNo(), ++n);
    t.SetRecNo(3);
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), expected[2]);
    const TBookmark mark = t.GetBookmark();
    t.Last();
    t.GotoBookmark(mark);
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), expected[2]);
    t.MoveBy(2);
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), expected[4]);

    // The manager: moves and finds count only passing records.
    TFilterMgr& m = t.GetFilterMgr();
    const std::vector<uint32_t> result = m.GetCurrentFilter();
    std::vector<uint32_t> passing;
    std::vector<uint32_t> master;
    for (int32_t a : m.GetMasterList().List1())
        master.push_back(uint32_t(a));
    for (uint32_t a : result)
        if (m.CheckRecordInFilter(a)) passing.push_back(a);
    ASSERT_EQ(passing.size(), expected.size());
    EXPECT_EQ(m.MoveToEnd(true), passing.front());
    EXPECT_EQ(m.MoveToEnd(false), passing.back());
    EXPECT_EQ(m.MoveBy(passing[1], 2), passing[3]);
    EXPECT_EQ(m.MoveBy(passing[3], -3), passing[0]);
    EXPECT_EQ(m.MoveBy(passing[0], -1), 0u);
    EXPECT_EQ(m.GetFilterRecordCount(), int(passing.size()));
    // A master record between two passing ones, not itself passing.
    const auto at = [&](uint32_t a) { return std::find(master.begin(), master.end(), a) - master.begin(); };
    size_t gap = 0;
    for (size_t i = at(passing[1]) + 1; i < size_t(at(passing[2])); ++i)
        gap = i;
    if (gap != 0) {
        const uint32_t a = master[gap];
        EXPECT_EQ(m.FindFilterRecord(a, stLT), passing[1]);
        EXPECT_EQ(m.FindFilterRecord(a, stLE), passing[1]);
        EXPECT_EQ(m.FindFilterRecord(a, stEQ), 0u);
        EXPECT_EQ(m.FindFilterRecord(a, stGE), passing[2]);
        EXPECT_EQ(m.FindFilterRecord(a, stGT), passing[2]);
        EXPECT_EQ(m.FindFilterRecord(a, stLEG), passing[2]);
    }
    EXPECT_EQ(m.FindFilterRecord(passing[2], stEQ), passing[2]);
    EXPECT_EQ(m.FindFilterRecord(passing[2], stGT), passing[3]);
    EXPECT_EQ(m.FindFilterRecord(passing.back(), stGT), 0u);
    EXPECT_EQ(m.FindFilterRecord(passing.back(), stLEG), passing.back());
    EXPECT_EQ(m.FindFilterRecord(0, stGE), 0u);

    // An empty result.
    t.SetFilter("I > 100");
    EXPECT_TRUE(t.GetEOF());
    EXPECT_EQ(t.GetRecordCount(), 0);
    EXPECT_EQ(m.MoveToEnd(true), 0u);
    EXPECT_EQ(m.GetFilterRecordCount(), 0);
    t.SetFiltered(false);
    t.SetOnFilterRecord(nullptr);
}

TEST(FilterTable, FindRecordLocateAndEmptyTable) {
    TFilterTable table(SpecOfRows(100));
    TZanTable& t = table.Table;
    t.SetIndexName("ixK");
    const std::vector<TFilterRow> rows = AllRows(t);
    const std::vector<int> threes = Expected(rows, [](auto& r) { return !VarIsNull(r.I) && r.I.AsInteger() == 3; });
    ASSERT_GE(threes.size(), 2u);

    // FindFirst/FindNext with Filtered off: the filter holds for the move only.
    t.SetFilter("I = 3");
    t.Last();
    ASSERT_TRUE(t.FindFirst());
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), threes[0]);
    ASSERT_TRUE(t.FindNext());
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), threes[1]);
    EXPECT_FALSE(t.GetFiltered());
    EXPECT_EQ(t.GetRecordCount(), 100);
    t.Next();
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), threes[1] + 1);
    ASSERT_TRUE(t.FindLast());
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), threes.back());

    // Locate finds the first record that is also in the filter.
    t.SetFilter("S IS NOT NULL");
    t.SetFiltered(true);
    const std::vector<int> both = Expected(rows, [](auto& r) {
        return !VarIsNull(r.I) && r.I.AsInteger() == 3 && !VarIsNull(r.S);
    });
    if (!both.empty()) {
        ASSERT_TRUE(t.Locate("I", Variant(3), {}));
        EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), both[0]);
    }

    // Emptying keeps the filter: new records are filtered as they come.
    t.EmptyTable();
    EXPECT_EQ(t.GetRecordCount(), 0);
    t.AppendRecord({Variant(1000), Variant(1), Variant("x")});
    t.AppendRecord({Variant(1001), Variant(2), Null()});
    EXPECT_EQ(Walk(t), std::vector<int>{1000});
    t.SetFiltered(false);
}

TEST(FilterTable, AnotherConnectionsInsertEntersAtTheNextLock) {
    TFilterTableSpec spec;
    spec.File = true;
    spec.Rows = 40;
    TFilterTable table(spec);
    TZanTable& t = table.Table;
    t.SetFilter("I = 7");
    t.SetFiltered(true);
    const int before = t.GetRecordCount();
    // Another process inserts a matching record.
    const std::string path = table.File->Path;
    TChildProcess writer([&](TChildProcess&) {
        TZanDataBase other;
        other.SetDataBaseName(path);
        other.Open();
        TZanTable w;
        w.SetDataBase(&other);
        w.SetTableName("T");
        w.Open();
        w.AppendRecord({Variant(5000), Variant(7), Variant("new")});
        w.Close();
        return 0;
    });
    ASSERT_EQ(writer.Wait(), 0);
    // The result is a snapshot until this cursor takes its next lock.
    EXPECT_EQ(t.GetRecordCount(), before);
    const std::vector<int> ks = Walk(t);
    EXPECT_EQ(int(ks.size()), before + 1);
    EXPECT_EQ(t.GetRecordCount(), before + 1);
    EXPECT_NE(std::find(ks.begin(), ks.end(), 5000), ks.end());
    t.SetFiltered(false);
}

TEST(FilterTable, FieldsWithoutTheReadPrivilegeAreRefused) {
    TFilterTable table(SpecOfRows(10));
    TZanTable& t = table.Table;
    TInternalFieldItem* field = t.GetInternalFields().FindField("I");
    const int32_t flags = field->GetPrivilegeFlags();
    field->SetPrivilegeFlags(flags & ~MapObjectPrivTypeToConst(opReadData));
    std::string message;
    t.SetFilter("K > 2 AND I = 1");
    EXPECT_EQ(ErrorCodeOf([&] { t.SetFiltered(true); }, &message), 10624);
    EXPECT_NE(message.find("I"), std::string::npos);
    EXPECT_FALSE(t.GetFiltered());
    EXPECT_EQ(t.GetRecordCount(), 10);
    field->SetPrivilegeFlags(flags);
    t.SetFiltered(true);
    EXPECT_TRUE(t.GetFiltered());
    t.SetFiltered(false);
}

} // namespace

namespace {

TEST(FilterTable, PostsAndIndexChangesUpdateTheResult) {
    TFilterTableSpec spec;
    spec.Rows = 30;
    spec.Nulls = false;
    TFilterTable table(spec);
    TZanTable& t = table.Table;
    t.SetIndexName("ixK");
    t.SetFilter("I >= 10");
    t.SetFiltered(true);
    const std::vector<int> before = Walk(t);
    ASSERT_GE(before.size(), 3u);
    // An edit that leaves the filter takes the record out; the dataset stays on a neighbour.
    t.First();
    t.Edit();
    t.FieldByName("I")->SetAsInteger(1);
    t.Post();
    std::vector<int> after = Walk(t);
    EXPECT_EQ(after, std::vector<int>(before.begin() + 1, before.end()));
    // An insert that matches comes in.
    t.AppendRecord({Variant(999), Variant(15), Variant("z")});
    after = Walk(t);
    EXPECT_EQ(after.back(), 999);
    // Another index: the filter follows its order.
    t.SetIndexName("ixI");
    std::vector<int> is;
    for (t.First(); !t.GetEOF(); t.Next())
        is.push_back(t.FieldByName("I")->GetAsInteger());
    EXPECT_TRUE(std::is_sorted(is.begin(), is.end()));
    EXPECT_EQ(is.size(), after.size());
    t.SetFiltered(false);
}

} // namespace

namespace {

// FindFilterRecord for every record of the table and every search type, for a result that is
// small (its records placed by record number) and one that is not.
TEST(FilterTable, FindFilterRecordAgainstAWalkOfTheIndex) {
    TFilterTable table(SpecOfRows(120));
    TZanTable& t = table.Table;
    t.SetIndexName("ixS");
    const std::vector<TFilterRow> rows = AllRows(t);
    for (const char* text : {"I = 10", "I >= 8"}) {
        TFilterMgr& m = t.GetFilterMgr();
        m.SetFilterText(text);
        ASSERT_TRUE(m.OpenFilter(&t));
        std::vector<bool> in;
        for (const TFilterRow& r : rows)
            in.push_back(!VarIsNull(r.I) && (text[2] == '=' ? r.I.AsInteger() == 10 : r.I.AsInteger() >= 8));
        for (size_t i = 0; i < rows.size(); ++i) {
            uint32_t before = 0, after = 0;
            for (size_t j = i; j-- > 0;)
                if (in[j]) {
                    before = rows[j].Address;
                    break;
                }
            for (size_t j = i + 1; j < rows.size(); ++j)
                if (in[j]) {
                    after = rows[j].Address;
                    break;
                }
            const uint32_t self = in[i] ? rows[i].Address : 0;
            const uint32_t a = rows[i].Address;
            EXPECT_EQ(m.FindFilterRecord(a, stLT), before) << text << " " << i;
            EXPECT_EQ(m.FindFilterRecord(a, stLE), self ? self : before) << text << " " << i;
            EXPECT_EQ(m.FindFilterRecord(a, stEQ), self) << text << " " << i;
            EXPECT_EQ(m.FindFilterRecord(a, stGE), self ? self : after) << text << " " << i;
            EXPECT_EQ(m.FindFilterRecord(a, stGT), after) << text << " " << i;
            EXPECT_EQ(m.FindFilterRecord(a, stLEG), self ? self : after ? after : before)
                << text << " " << i;
        }
        EXPECT_EQ(m.GetEvaluator()->GetSparseMaster(), text[2] == '=') << text;
        m.CloseFilter();
    }
}

} // namespace
