// How joins run: the mode each shape gets, hash and expression modes agreeing on keys whose
// bytes differ while their values may not, reads and filter installations counted, records
// deleted under a running join, deep joins, the bridge and the trace plan.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/rtl/DateUtils.h"
#include "host/win/child_process.h"
#include "query_test_support.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

using TResult = std::vector<std::vector<Variant>>;

std::vector<std::string> Sorted(const TResult& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) {
        std::string line;
        for (const Variant& v : r) line += (VarIsNull(v) ? std::string("N") : VarToStr(v)) + "|";
        out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::vector<Variant>> KeyRows(int n, int modulo) {
    std::vector<std::vector<Variant>> rows;
    for (int i = 1; i <= n; ++i) rows.push_back({Variant(i), Variant(i % modulo)});
    return rows;
}

const std::vector<TTestField> C_KEYED = {{"id", ftInteger}, {"k", ftInteger}};

} // namespace

TEST(JoinModes, EachShapeRunsTheWayItShould) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "s", C_KEYED, {{"ixs", "k", {}}}, KeyRows(5, 3));
    CreateTestTable(*db, "big", C_KEYED, {{"ixbig", "k", {}}}, KeyRows(20, 3));
    CreateTestTable(*db, "u", C_KEYED, {}, KeyRows(10, 3));
    CreateTestTable(*db, "w", {{"id", ftInteger}, {"k", ftFloat}}, {},
                    {{Variant(1), Variant(1.0)}, {Variant(2), Variant(2.5)}});
    TZanQueryRunner q(*db);
    for (const char* t : {"s", "big", "u", "w"}) q.AddTable(t);
    struct TModeCase {
        std::string Sql;
        TJoinModeType Mode;
        std::string Probed;
        bool Range;
    };
    const std::vector<TModeCase> cases = {
        // The larger table is hashed and probed.
        {"SELECT s.id FROM big JOIN u ON big.k = u.k", jmtHashJoin, "big", false},
        {"SELECT s.id FROM u JOIN big ON u.k = big.k", jmtHashJoin, "big", false},
        {"SELECT s.id FROM u JOIN s ON u.k = s.k", jmtHashJoin, "u", false},
        // Both join keys indexed and the outer side filtered: the inner side is read in the
        // outer side's key range (INNER and LEFT only); unfiltered, the index feeds the hash.
        {"SELECT s.id FROM s JOIN big ON s.k = big.k WHERE s.id > 1", jmtHashJoin, "big", true},
        {"SELECT s.id FROM s LEFT JOIN big ON s.k = big.k WHERE s.id > 1", jmtHashJoin, "big",
         true},
        {"SELECT s.id FROM s JOIN big ON s.k = big.k", jmtHashJoin, "big", false},
        {"SELECT s.id FROM s RIGHT JOIN big ON s.k = big.k WHERE s.id > 1", jmtHashJoin, "s",
         false},
        {"SELECT s.id FROM s RIGHT JOIN big ON s.k = big.k", jmtHashJoin, "s", false},
        // After the second pass of a FULL or UNION join the outer side is the probed one.
        {"SELECT s.id FROM s FULL JOIN big ON s.k = big.k", jmtHashJoin, "s", false},
        {"SELECT s.id FROM s JOIN big ON s.k = big.k OR s.id = big.id", jmtHashJoin, "big", false},
        // Not hashable: an inequality, keys of different types, a cross or union join.
        {"SELECT s.id FROM s JOIN big ON s.k > big.k", jmtJoinExpr, "big", false},
        {"SELECT s.id FROM s JOIN w ON s.k = w.k", jmtJoinExpr, "s", false},
        {"SELECT s.id FROM s JOIN big ON s.k = big.k AND s.id < big.id", jmtJoinExpr, "big", false},
        {"SELECT s.id FROM s CROSS JOIN u", jmtJoinExpr, "u", false},
        {"SELECT s.id FROM s UNION JOIN u", jmtJoinExpr, "s", false},
    };
    for (const TModeCase& c : cases) {
        SCOPED_TRACE(c.Sql);
        std::string sql = c.Sql;
        if (sql.find("FROM s") == std::string::npos) sql.replace(7, 4, "u.id");
        q.Select(sql);
        auto joins = q.JoinProviders();
        ASSERT_EQ(joins.size(), 1u);
        TJoinEvaluator& e = joins[0]->GetEvaluator();
        EXPECT_EQ(e.GetMode(), c.Mode);
        EXPECT_EQ(e.GetProbedProvider()->GetProviderName(), c.Probed);
        EXPECT_EQ(joins[0]->GetAnalyser().GetPlan().InnerRangeOn, c.Range);
    }
}

TEST(JoinModes, HashAndExpressionModesAgreeOnKeys) {
    // Strings differing only in case, accents or ignored characters, a 256-byte key, 0 and -0,
    // NULLs: an equality must match exactly the pairs the evaluator calls equal.
    const std::string longKey(256, 'q');
    const std::vector<Variant> strings = {Variant("coop"), Variant("co-op"), Variant("Coop"),
                                          Variant("COOP"), Variant("cote"),  Variant("c\xc3\xb4te"),
                                          Variant("a b"),  Variant(longKey), Null()};
    for (TSortOrder order : {soANSI, soASCII}) {
        SCOPED_TRACE(int(order));
        auto db = NewQueryDatabase();
        const std::vector<TTestField> fields = {
            {"id", ftInteger}, {"s", ftString, 256}, {"f", ftFloat}};
        std::vector<std::vector<Variant>> left, right;
        for (size_t i = 0; i < strings.size(); ++i) {
            left.push_back({Variant(int(i)), strings[i], Variant(i % 2 ? 0.0 : -0.0)});
            right.push_back({Variant(int(i)), strings[(i * 5) % strings.size()],
                             i == 3 ? Null() : Variant(i % 3 ? 0.0 : 1.0)});
            right.push_back({Variant(int(i + 100)), strings[i], Variant(-0.0)});
        }
        CreateTestTable(*db, "l", fields, {}, left, order);
        CreateTestTable(*db, "r", fields, {}, right, order);
        TZanQueryRunner q(*db);
        q.SetSortOrder(order);
        q.AddTable("l");
        q.AddTable("r");
        for (const std::string key : {"s", "f"}) {
            SCOPED_TRACE(key);
            const std::string on = "l." + key + " = r." + key;
            const auto hashed = Sorted(q.Select("SELECT l.id, r.id FROM l JOIN r ON " + on));
            ASSERT_EQ(q.JoinProviders()[0]->GetEvaluator().GetMode(), jmtHashJoin);
            const auto filtered =
                Sorted(q.Select("SELECT l.id, r.id FROM l JOIN r ON " + on + " AND l.id > -1"));
            ASSERT_EQ(q.JoinProviders()[0]->GetEvaluator().GetMode(), jmtJoinExpr);
            EXPECT_EQ(hashed, filtered);
            EXPECT_FALSE(hashed.empty());
        }
    }
}

TEST(JoinModes, AHashJoinReadsEachProbedRecordOncePerMatch) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "s", C_KEYED, {}, KeyRows(30, 10));
    CreateTestTable(*db, "big", C_KEYED, {}, KeyRows(200, 40));
    TZanQueryRunner q(*db);
    q.AddTable("s");
    q.AddTable("big");
    q.Plan("SELECT s.id, big.id FROM s JOIN big ON s.k = big.k WHERE big.id > 10");
    auto* big = static_cast<TZanNonJoinDataProvider*>(
        q.GetProviderMgr().GetRootProvider()->FindJoinProvider("big"));
    const auto rows = q.Run();
    ASSERT_EQ(q.JoinProviders()[0]->GetEvaluator().GetMode(), jmtHashJoin);
    // Each key 0..9 has 3 s rows and 5 big rows, one of which (ids 1..9, keys 1..9) fails the
    // WHERE: 3 x (5 + 9 x 4).
    EXPECT_EQ(rows.size(), 123u);
    // No per-row filter: big's own condition became its filter when the join opened (only its
    // records are hashed), and each matching record was read once by address.
    EXPECT_TRUE(big->GetFilterInstalled());
    EXPECT_LE(big->GetConditionInstalls(), 3);
    EXPECT_EQ(big->GetBridge()->GetAddressMoves(), int64_t(rows.size()));
}

TEST(JoinModes, ARecordDeletedAfterTheHashLoadIsSkipped) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "a", C_KEYED, {}, {{Variant(1), Variant(7)}});
    CreateTestTable(*db, "b", C_KEYED, {},
                    {{Variant(1), Variant(7)}, {Variant(2), Variant(7)}, {Variant(3), Variant(7)}});
    TZanQueryRunner q(*db);
    q.AddTable("a");
    q.AddTable("b");
    q.Plan("SELECT a.id, b.id FROM a JOIN b ON a.k = b.k");
    TZanJoinDataProviderMgr& mgr = q.GetProviderMgr();
    mgr.OpenProviders();
    TZanBaseJoinDataProvider* root = mgr.GetRootProvider();
    ASSERT_TRUE(mgr.FirstProviderRecord());
    auto* b = static_cast<TZanNonJoinDataProvider*>(root->FindJoinProvider("b"));
    const Variant first = b->GetDataAsVariant(0);
    // Another cursor deletes one of the two records still to come.
    TZanTable other;
    other.SetDataBase(db.get());
    other.SetTableName("b");
    other.Open();
    ASSERT_TRUE(other.Locate("id", Variant(first.AsInteger() == 2 ? 3 : 2), {}));
    other.Delete();
    int more = 0;
    while (mgr.NextProviderRecord()) {
        EXPECT_NE(b->GetDataAsVariant(0).AsInteger(), first.AsInteger());
        ++more;
    }
    EXPECT_EQ(more, 1);
}

TEST(JoinModes, JoinsSixtyFourTablesDeepRun) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "t", C_KEYED, {}, {{Variant(1), Variant(1)}, {Variant(2), Variant(2)}});
    TZanQueryRunner q(*db);
    q.AddTable("t");
    std::string left = "SELECT t0.id, t63.id FROM t t0";
    std::string right = "SELECT t0.id, t63.id FROM ";
    std::string close;
    for (int i = 1; i < 64; ++i) {
        const std::string a = "t" + std::to_string(i - 1), b = "t" + std::to_string(i);
        left += " JOIN t " + b + " ON " + a + ".k = " + b + ".k";
        right += "t " + a + " JOIN (";
        close = ") ON " + a + ".k = " + b + ".k" + close;
    }
    right += "t t63" + close;
    for (const std::string& sql : {left, right}) {
        const auto rows = Sorted(q.Select(sql));
        EXPECT_EQ(rows, (std::vector<std::string>{"1|1|", "2|2|"}));
    }
}

TEST(JoinModes, CombinedFieldsAndRowIdentities) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "a", C_KEYED, {}, KeyRows(12, 12));
    CreateTestTable(*db, "b", C_KEYED, {}, KeyRows(3, 12));
    TZanQueryRunner q(*db);
    q.AddTable("a");
    q.AddTable("b");
    q.Plan("SELECT a.id FROM a LEFT JOIN b ON a.id = b.id");
    TZanJoinDataProviderMgr& mgr = q.GetProviderMgr();
    mgr.OpenProviders();
    TInternalFields& fields = mgr.GetRootProvider()->GetProviderFields();
    std::vector<std::string> names;
    for (int i = 0; i < fields.Count(); ++i) names.push_back(fields.Items(i)->GetFieldName());
    EXPECT_EQ(names, (std::vector<std::string>{"id", "k", "b.id", "b.k"}));
    // Identities keep outer and inner apart ("1" + "23" is not "12" + "3").
    std::vector<std::string> ids;
    for (bool r = mgr.FirstProviderRecord(); r; r = mgr.NextProviderRecord())
        ids.push_back(mgr.GetRootProvider()->CurrentRecordIDAsString());
    ASSERT_EQ(ids.size(), 12u);
    for (const std::string& id : ids) EXPECT_NE(id.find(','), std::string::npos) << id;
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
    // The unmatched rows read NULL on the inner side.
    int nulls = 0;
    for (bool r = mgr.FirstProviderRecord(); r; r = mgr.NextProviderRecord())
        nulls += mgr.GetRootProvider()->IsFieldNull(2);
    EXPECT_EQ(nulls, 9);
}

TEST(JoinModes, TheTracePlanNamesEachChoice) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "s", C_KEYED, {{"ixs", "k", {}}}, KeyRows(5, 3));
    CreateTestTable(*db, "big", C_KEYED, {{"ixbig", "k", {}}}, KeyRows(20, 3));
    TZanQueryRunner q(*db);
    q.AddTable("s");
    q.AddTable("big");
    GDBLogger().Clear();
    GDBLogger().SetActive(true);
    q.Select("SELECT s.id FROM s JOIN big ON s.k = big.k WHERE s.id > 1");
    GDBLogger().SetActive(false);
    std::vector<std::string> plan;
    for (const std::string& line : GDBLogger().GetLines())
        if (line.find("TJoinPlan : ") != std::string::npos)
            plan.push_back(line.substr(line.find("TJoinPlan : ") + 12));
    EXPECT_EQ(plan, (std::vector<std::string>{
                        "Outer : s", "Inner : big", "Indexed : True", "Outer range on : True",
                        "Outer Expr exists : True", "Outer Expr opt level : olNone",
                        "Inner range on : True", "Inner Expr exists : False",
                        "Inner Expr opt level : olNone"}));
    GDBLogger().Clear();
}

TEST(DatasetBridge, PositionsAndJoinValueTexts) {
    TTempFile file("bridge.zan");
    {
        auto creator = std::make_unique<TZanDataBase>();
        creator->SetDataBaseName(file.Path);
        creator->CreateDatabase();
    }
    auto db = NewQueryDatabase(file.Path);
    CreateTestTable(*db, "t",
                    {{"id", ftInteger}, {"s", ftString, 20}, {"f", ftFloat}, {"d", ftDateTime},
                     {"tm", ftTime}},
                    {},
                    {{Variant(1), Variant("it's"), Variant(0.1), Variant(EncodeDateTime(2026, 12, 9, 2, 30, 15, 250)),
                      Variant(EncodeTime(1, 2, 3, 0))},
                     {Variant(2), Null(), Variant(-12345.678), Null(), Null()}});
    TZanDatasetBridge bridge;
    bridge.SetDataBase(db.get());
    bridge.SetTableName("t");
    EXPECT_EQ(bridge.GetRecAddr(), 0u);
    bridge.Open();
    ASSERT_TRUE(bridge.FirstBridgeRecord());
    const uint32_t address = bridge.GetRecAddr();
    const uint32_t stamp = bridge.GetRecModFlag();
    const uint32_t logicalNo = bridge.GetRecLogicalNo();
    EXPECT_NE(address, 0u);
    EXPECT_TRUE(bridge.MoveToRecAddrAndValidate(address, stamp, logicalNo));
    EXPECT_EQ(ErrorCodeOf([&] { bridge.MoveToRecAddrAndValidate(address, stamp, logicalNo + 1); }),
              8708);

    TDataHolder id, s, f, d, tm, nullS;
    bridge.GetRawFieldData(0, id);
    bridge.GetRawFieldData(1, s);
    bridge.GetRawFieldData(2, f);
    bridge.GetRawFieldData(3, d);
    bridge.GetRawFieldData(4, tm);
    bridge.SetJoinValues(zeoEQ, {"id", "s", "f", "d"}, {&id, &s, &f, &d});
    EXPECT_EQ(bridge.GetJoinFilterText(),
              "[id] = 1 AND [s] = 'it''s' AND [f] = 0.1 AND [d] = '2026-12-09 02:30:15.250'");
    // The filter parser reads the text back to exactly that record.
    ASSERT_TRUE(bridge.FirstBridgeRecord());
    EXPECT_EQ(bridge.GetRecAddr(), address);
    EXPECT_FALSE(bridge.NextBridgeRecord());
    EXPECT_EQ(ErrorCodeOf([&] { bridge.SetJoinValues(zeoGE, {"tm"}, {&tm}); }), 10000);
    bridge.SetFiltered(false);
    ASSERT_TRUE(bridge.FirstBridgeRecord());
    ASSERT_TRUE(bridge.NextBridgeRecord());
    const uint32_t second = bridge.GetRecAddr();
    bridge.GetRawFieldData(1, nullS);
    bridge.GetRawFieldData(2, f);
    bridge.SetJoinValues(zeoGE, {"s", "f"}, {&nullS, &f});
    EXPECT_EQ(bridge.GetJoinFilterText(), "[s] IS NULL AND [f] >= -12345.678");
    ASSERT_TRUE(bridge.FirstBridgeRecord());
    EXPECT_EQ(bridge.GetRecAddr(), second);
    EXPECT_FALSE(bridge.NextBridgeRecord());
    bridge.SetFiltered(false);

    // Another connection changes the first record: its stamp no longer validates.
    {
        auto second = NewQueryDatabase(file.Path);
        TZanTable t;
        t.SetDataBase(second.get());
        t.SetTableName("t");
        t.Open();
        t.Edit();
        t.GetFields().Fields(0)->SetAsVariant(Variant(10));
        t.Post();
    }
    EXPECT_EQ(ErrorCodeOf([&] { bridge.MoveToRecAddrAndValidate(address, stamp, logicalNo); }),
              8708);
    bridge.Close();
    EXPECT_EQ(bridge.GetRecAddr(), 0u);
}

TEST(JoinModes, MemoAndMixedKeysJoinWithoutHashing) {
    auto db = NewQueryDatabase();
    CreateTestTable(*db, "a", {{"id", ftInteger}, {"m", ftMemo}, {"n", ftSmallint}}, {},
                    {{Variant(1), Variant("long text"), Variant(int16_t(2))},
                     {Variant(2), Null(), Variant(int16_t(3))},
                     {Variant(3), Variant("other"), Null()}});
    CreateTestTable(*db, "b", {{"id", ftInteger}, {"m", ftMemo}, {"n", ftInteger}}, {},
                    {{Variant(1), Variant("long text"), Variant(2)},
                     {Variant(2), Null(), Variant(2)},
                     {Variant(3), Variant("long text"), Variant(3)}});
    TZanQueryRunner q(*db);
    q.AddTable("a");
    q.AddTable("b");
    EXPECT_EQ(Sorted(q.Select("SELECT a.id, b.id FROM a JOIN b ON a.m = b.m")),
              (std::vector<std::string>{"1|1|", "1|3|"}));
    EXPECT_EQ(q.JoinProviders()[0]->GetEvaluator().GetMode(), jmtJoinExpr);
    EXPECT_EQ(Sorted(q.Select("SELECT a.id, b.id FROM a LEFT JOIN b ON a.n = b.n")),
              (std::vector<std::string>{"1|1|", "1|2|", "2|3|", "3|N|"}));
    EXPECT_EQ(q.JoinProviders()[0]->GetEvaluator().GetMode(), jmtJoinExpr);
}
