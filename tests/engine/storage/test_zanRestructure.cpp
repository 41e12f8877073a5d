#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanRestructure.h"

using namespace zan;

namespace {

// The text part of every line of a log ("<date-time>; <caller> : <text>").
std::vector<std::string> Texts(const TDBLogger& log) {
    std::vector<std::string> texts;
    for (const std::string& line : log.GetLines()) {
        auto pos = line.find(" : ");
        texts.push_back(pos == std::string::npos ? line : line.substr(pos + 3));
    }
    return texts;
}

// Id Integer (required), Name String(40), Price Float, Born Date.
void FillOriginals(TFieldDefs& defs) {
    defs.Add("Id", ftInteger, 0, true);
    defs.Add("Name", ftString, 40);
    defs.Add("Price", ftFloat);
    defs.Add("Born", ftDate);
}

// Restructure field definitions taken over from the originals, logging into `log`.
struct FieldFixture {
    TFieldDefs originals;
    TRestructureFieldDefs defs;
    TDBLogger log;
    FieldFixture() {
        FillOriginals(originals);
        defs.Assign(originals);
        defs.SetChangeLog(&log);
    }
    TDefChangeType Validate() {
        defs.ValidateAgainstOriginalDefs(&originals);
        return defs.GetChangeStatus();
    }
};

std::string ZanErrorCustomText(const EZanDatabaseError& e) {
    auto pos = e.Message().rfind(" - ");
    return pos == std::string::npos ? std::string() : e.Message().substr(pos + 3);
}

} // namespace

TEST(DefChangeType, OrdinalsAndTexts) {
    const std::pair<TDefChangeType, const char*> expected[] = {
        {dcNoChange, "Unchanged Item"},
        {dcDefOnlyChange, "Definition Only Changed"},
        {dcAdded, "New Item"},
        {dcDeleted, "Deleted Item"},
        {dcDataChange, "Data Requirements Changed"},
        {dcDataLoss, "Data Loss Possible"}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(static_cast<int>(expected[i].first), i);
        EXPECT_EQ(DefChangeTypeText(expected[i].first), expected[i].second);
    }
}

TEST(FieldTypeChange, DataLossRules) {
    struct Case {
        TFieldType from, to;
        bool loses;
    };
    const Case cases[] = {
        // 1: to Smallint/Word from anything but Smallint, Word, Boolean
        {ftInteger, ftSmallint, true},
        {ftFloat, ftWord, true},
        {ftWord, ftSmallint, false},
        {ftBoolean, ftWord, false},
        {ftSmallint, ftWord, false},
        // 2: to Integer/AutoInc from Float, Currency, BCD, Time, DateTime
        {ftFloat, ftInteger, true},
        {ftCurrency, ftAutoInc, true},
        {ftBCD, ftInteger, true},
        {ftTime, ftInteger, true},
        {ftDateTime, ftAutoInc, true},
        {ftDate, ftInteger, false},
        {ftSmallint, ftInteger, false},
        {ftAutoInc, ftInteger, false},
        // 3: to Currency/BCD from Float, Time, DateTime
        {ftFloat, ftCurrency, true},
        {ftTime, ftBCD, true},
        {ftDateTime, ftCurrency, true},
        {ftInteger, ftCurrency, false},
        {ftBCD, ftCurrency, false},
        // 4: to Boolean from anything else
        {ftSmallint, ftBoolean, true},
        {ftBoolean, ftBoolean, false},
        // 5: exactly one blob type
        {ftMemo, ftInteger, true},
        {ftDate, ftGraphic, true},
        {ftMemo, ftBlob, false},
        {ftGraphic, ftFmtMemo, false},
        // 6: exactly one string type
        {ftString, ftInteger, true},
        {ftDateTime, ftWideString, true},
        {ftString, ftMemo, true},
        {ftString, ftWideString, false},
        {ftWideString, ftString, false},
        // everything else keeps the data
        {ftInteger, ftFloat, false},
        {ftDate, ftDateTime, false},
        {ftInteger, ftLargeint, false},
        {ftCurrency, ftFloat, false},
        {ftString, ftString, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FieldTypeChangeLosesData(c.from, c.to), c.loses)
            << FieldTypeName(c.from) << " -> " << FieldTypeName(c.to);
}

TEST(RestructureFields, UnchangedTakeOverIsNoChange) {
    FieldFixture f;
    EXPECT_EQ(f.Validate(), dcNoChange);
    for (int i = 0; i < f.defs.Count(); ++i) {
        EXPECT_EQ(f.defs[i].GetChangeStatus(), dcNoChange);
        EXPECT_EQ(f.defs[i].GetSourceFieldName(), f.originals[i].GetName());
    }
    EXPECT_FALSE(f.defs.CheckIfFieldsDeleted());
    EXPECT_EQ(Texts(f.log),
              (std::vector<std::string>{"Field Def: Id status: Unchanged Item",
                                        "Field Def: Name status: Unchanged Item",
                                        "Field Def: Price status: Unchanged Item",
                                        "Field Def: Born status: Unchanged Item",
                                        "FieldDefs: Change status is - Unchanged Item"}));
}

TEST(RestructureFields, ItemClassification) {
    struct Case {
        const char* what;
        void (*change)(TRestructureFieldDefs&);
        int item;
        TDefChangeType status;
    };
    const Case cases[] = {
        {"rename", [](TRestructureFieldDefs& d) { d[1].SetName("FullName"); }, 1, dcDefOnlyChange},
        {"rename in case only", [](TRestructureFieldDefs& d) { d[1].SetName("NAME"); }, 1,
         dcDefOnlyChange},
        {"required", [](TRestructureFieldDefs& d) { d[0].SetRequired(false); }, 0, dcDefOnlyChange},
        {"shrink", [](TRestructureFieldDefs& d) { d[1].SetSize(39); }, 1, dcDataLoss},
        {"grow", [](TRestructureFieldDefs& d) { d[1].SetSize(41); }, 1, dcDataChange},
        {"keeping type change", [](TRestructureFieldDefs& d) { d[0].SetDataType(ftFloat); }, 0,
         dcDataChange},
        {"losing type change", [](TRestructureFieldDefs& d) { d[2].SetDataType(ftInteger); }, 2,
         dcDataLoss},
        {"to wide string", [](TRestructureFieldDefs& d) { d[1].SetDataType(ftWideString); }, 1,
         dcDataChange},
        {"no source", [](TRestructureFieldDefs& d) { d[3].SetSourceFieldName(""); }, 3, dcAdded},
    };
    for (const Case& c : cases) {
        FieldFixture f;
        c.change(f.defs);
        f.Validate();
        EXPECT_EQ(f.defs[c.item].GetChangeStatus(), c.status) << c.what;
        for (int i = 0; i < f.defs.Count(); ++i)
            if (i != c.item) {
                EXPECT_EQ(f.defs[i].GetChangeStatus(), dcNoChange) << c.what;
            }
    }
}

TEST(RestructureFields, PositionChangeIsDefinitionOnly) {
    FieldFixture f;
    f.defs.SwapDefs(0, 3);
    EXPECT_EQ(f.Validate(), dcDefOnlyChange);
    EXPECT_EQ(f.defs[0].GetName(), "Born");
    EXPECT_EQ(f.defs[0].GetChangeStatus(), dcDefOnlyChange);
    EXPECT_EQ(f.defs[1].GetChangeStatus(), dcNoChange);
    EXPECT_EQ(f.defs[3].GetChangeStatus(), dcDefOnlyChange);
    try {
        f.defs.SwapDefs(0, 4);
        FAIL() << "SwapDefs must refuse";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Invalid Field Def Index in SwapDefs");
    }
    EXPECT_THROW(f.defs.SwapDefs(-1, 0), Exception);
}

TEST(RestructureFields, AddedFieldMakesOverallAdded) {
    FieldFixture f;
    TRestructureFieldDef& added = f.defs.AddAndSetFieldDef("Notes", ftMemo, 0);
    EXPECT_EQ(f.Validate(), dcAdded);
    EXPECT_EQ(added.GetChangeStatus(), dcAdded);
    EXPECT_EQ(Texts(f.log).at(4), "Field Def: Notes status: New Item");
    EXPECT_EQ(Texts(f.log).back(), "FieldDefs: Change status is - New Item");

    // Inserted in front, every following field moves: definition-only changes.
    FieldFixture g;
    g.defs.Insert(0).SetName("Key");
    g.defs[0].SetDataType(ftAutoInc);
    EXPECT_EQ(g.Validate(), dcAdded);
    EXPECT_EQ(g.defs[1].GetChangeStatus(), dcDefOnlyChange);
    EXPECT_THROW(g.defs.Insert(7), Exception);
}

TEST(RestructureFields, DeletedFieldNeedsDataChange) {
    FieldFixture f;
    f.defs.DeleteItem(3);
    EXPECT_TRUE(f.defs.CheckIfFieldsDeleted());
    EXPECT_EQ(f.Validate(), dcDataChange);
    auto texts = Texts(f.log);
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[3], "Prior Field Def: Born status: Deleted Item");
    EXPECT_EQ(texts[4], "FieldDefs: Change status is - Data Requirements Changed");

    // Fewer items alone give dcDeleted before the deleted originals are graded; a data-loss
    // item found earlier is not downgraded by the deleted field.
    FieldFixture g;
    g.defs.DeleteItem(3);
    g.defs[1].SetSize(10);
    EXPECT_EQ(g.Validate(), dcDataLoss);
    EXPECT_EQ(Texts(g.log).back(), "FieldDefs: Change status is - Data Loss Possible");
}

TEST(RestructureFields, ReplacedFieldAndMissingSource) {
    // Deleting a field and adding another keeps the count: the new one is added, the old one
    // deleted.
    FieldFixture f;
    f.defs.DeleteItem(2);
    f.defs.AddAndSetFieldDef("Cost", ftCurrency, 0);
    EXPECT_EQ(f.Validate(), dcDataChange);
    EXPECT_EQ(f.defs[3].GetChangeStatus(), dcAdded);

    // A source name that no original has is graded as a new field, with a log line.
    FieldFixture g;
    g.defs[2].SetSourceFieldName("Ghost");
    EXPECT_EQ(g.Validate(), dcDataChange); // Price counts as deleted
    EXPECT_EQ(g.defs[2].GetChangeStatus(), dcAdded);
    auto texts = Texts(g.log);
    EXPECT_EQ(texts[2], "Field Def: Price - Source field not found: Ghost");
    EXPECT_EQ(texts[3], "Field Def: Price status: New Item");
    EXPECT_EQ(texts[5], "Prior Field Def: Price status: Deleted Item");
}

TEST(RestructureFields, WithoutOriginalsEverythingIsNew) {
    TRestructureFieldDefs defs;
    TDBLogger log;
    defs.SetChangeLog(&log);
    defs.AddAndSetFieldDef("A", ftInteger, 0);
    defs.AddAndSetFieldDef("B", ftString, 10).SetSourceFieldName("B");
    defs.ValidateAgainstOriginalDefs(nullptr);
    EXPECT_EQ(defs.GetChangeStatus(), dcAdded);
    EXPECT_EQ(defs[0].GetChangeStatus(), dcAdded);
    EXPECT_EQ(defs[1].GetChangeStatus(), dcAdded);
    EXPECT_EQ(Texts(log), std::vector<std::string>{"FieldDefs: Change status is - New Item"});
    EXPECT_EQ(defs.FindSourceDef("B"), nullptr);
}

TEST(RestructureFields, ContainerOperations) {
    FieldFixture f;
    EXPECT_EQ(f.defs.Find("PRICE"), &f.defs[2]);
    EXPECT_EQ(f.defs.Find("Nope"), nullptr);
    ASSERT_NE(f.defs.FindSourceDef("name"), nullptr);
    EXPECT_EQ(f.defs.FindSourceDef("name")->GetSize(), 40);
    EXPECT_THROW(f.defs.DeleteItem(4), Exception);

    f.defs[1].SetName("FullName");
    f.defs.SetResetAutoInc(true);
    f.defs.SetAutoIncResetValue(100);
    f.Validate();

    // A copy keeps items, statuses, originals and the autoinc request.
    TRestructureFieldDefs copy;
    copy.Assign(f.defs);
    ASSERT_EQ(copy.Count(), 4);
    EXPECT_EQ(copy[1].GetName(), "FullName");
    EXPECT_EQ(copy[1].GetSourceFieldName(), "Name");
    EXPECT_EQ(copy[1].GetChangeStatus(), dcDefOnlyChange);
    EXPECT_EQ(copy.GetChangeStatus(), dcDefOnlyChange);
    EXPECT_TRUE(copy.GetResetAutoInc());
    EXPECT_EQ(copy.GetAutoIncResetValue(), 100);
    ASSERT_NE(copy.GetOriginalFieldDefs(), nullptr);
    EXPECT_EQ(copy.GetOriginalFieldDefs()->Count(), 4);

    // The copy of the originals is independent of the dataset's definitions.
    f.originals.Clear();
    EXPECT_NE(f.defs.FindSourceDef("Born"), nullptr);

    TFieldDefs out;
    out.Add("Stale", ftBlob);
    copy.AssignTo(out);
    ASSERT_EQ(out.Count(), 4);
    EXPECT_EQ(out[1].GetName(), "FullName");
    EXPECT_EQ(out[1].GetDataType(), ftString);
    EXPECT_EQ(out[1].GetSize(), 40);
    EXPECT_TRUE(out[0].GetRequired());
    EXPECT_EQ(out[3].GetFieldNo(), 4);
}

TEST(RestructureFields, LogsToEngineTraceByDefault) {
    TRestructureFieldDefs defs;
    EXPECT_EQ(defs.GetChangeLog(), &GDBLogger());
    defs.SetChangeLog(nullptr);
    defs.AddAndSetFieldDef("A", ftInteger, 0);
    size_t before = GDBLogger().Count();
    defs.ValidateAgainstOriginalDefs(nullptr); // no log: nothing written anywhere
    EXPECT_EQ(GDBLogger().Count(), before);
}

namespace {

// Fields Id, Name, Price, Born (unchanged) with indexes PK(Id), ByName(Name), ByPrice(Price;Born).
struct IndexFixture {
    TFieldDefs fieldOriginals;
    TIndexDefs originals;
    TRestructureFieldDefs fields;
    TRestructureIndexDefs defs;
    TDBLogger log;
    IndexFixture() {
        FillOriginals(fieldOriginals);
        originals.Add("PK", "Id", {ixPrimary, ixUnique});
        originals.Add("ByName", "Name", {ixCaseInsensitive}).SetCaseInsFields("Name");
        originals.Add("ByPrice", "Price;Born", {}).SetDescFields("Born");
        fields.Assign(fieldOriginals);
        fields.SetChangeLog(nullptr);
        defs.Assign(originals);
        defs.SetChangeLog(&log);
    }
    TDefChangeType Validate() {
        fields.ValidateAgainstOriginalDefs(&fieldOriginals);
        defs.ValidateAgainstOriginalDefs(&originals, fields);
        return defs.GetChangeStatus();
    }
};

} // namespace

TEST(RestructureIndexes, UnchangedTakeOver) {
    IndexFixture f;
    EXPECT_EQ(f.Validate(), dcNoChange);
    EXPECT_EQ(Texts(f.log),
              (std::vector<std::string>{"Index Def: 'PK' status: Unchanged Item",
                                        "Index Def: 'ByName' status: Unchanged Item",
                                        "Index Def: 'ByPrice' status: Unchanged Item",
                                        "IndexDefs: Change status is - Unchanged Item"}));
}

TEST(RestructureIndexes, OptionsOrPositionChanged) {
    IndexFixture f;
    f.defs[1].SetOptions({ixCaseInsensitive, ixUnique});
    EXPECT_EQ(f.Validate(), dcDataChange);
    EXPECT_EQ(f.defs[1].GetChangeStatus(), dcDataChange);
    EXPECT_EQ(Texts(f.log).at(1), "Index Def: ByName - Options or position changed");
    EXPECT_EQ(Texts(f.log).at(2), "Index Def: 'ByName' status: Data Requirements Changed");

    IndexFixture g;
    g.defs.DeleteItem(0); // the others move up
    EXPECT_EQ(g.Validate(), dcDataChange);
    EXPECT_EQ(g.defs[0].GetChangeStatus(), dcDataChange);
    auto texts = Texts(g.log);
    EXPECT_EQ(texts.at(4), "Prior Index Def: PK status: Deleted Item");
    EXPECT_EQ(texts.at(5), "IndexDefs: Change status is - Data Requirements Changed");
}

TEST(RestructureIndexes, RenameAndCaseOnlyListsAreNotDataChanges) {
    IndexFixture f;
    f.defs[1].SetName("ByFullName");
    f.defs[2].SetFields("price; BORN");
    f.defs[2].SetDescFields("born");
    f.defs[0].SetName("pk"); // a name differing only in case is unchanged
    EXPECT_EQ(f.Validate(), dcDefOnlyChange);
    EXPECT_EQ(f.defs[0].GetChangeStatus(), dcNoChange);
    EXPECT_EQ(f.defs[1].GetChangeStatus(), dcDefOnlyChange);
    EXPECT_EQ(f.defs[2].GetChangeStatus(), dcNoChange);
    auto texts = Texts(f.log);
    EXPECT_EQ(texts.at(1), "Index Def: ByFullName - Name changed");
    EXPECT_EQ(texts.at(2), "Index Def: 'ByFullName' status: Definition Only Changed");
}

TEST(RestructureIndexes, FieldListsChanged) {
    struct Case {
        void (*change)(TRestructureIndexDefs&);
        const char* line;
    };
    const Case cases[] = {
        {[](TRestructureIndexDefs& d) { d[2].SetFields("Price"); },
         "Index Def fields changed: ByPrice from Price;Born to Price"},
        {[](TRestructureIndexDefs& d) { d[2].SetCaseInsFields("Price"); },
         "Index Def case insensitive fields changed: ByPrice from  to Price"},
        {[](TRestructureIndexDefs& d) { d[2].SetDescFields(""); },
         "Index Def descending fields changed: ByPrice from Born to "},
        // The field list is compared before the others: only its change is reported.
        {[](TRestructureIndexDefs& d) {
             d[2].SetFields("Born;Price");
             d[2].SetDescFields("");
         },
         "Index Def fields changed: ByPrice from Price;Born to Born;Price"},
    };
    for (const Case& c : cases) {
        IndexFixture f;
        c.change(f.defs);
        EXPECT_EQ(f.Validate(), dcDataChange) << c.line;
        EXPECT_EQ(f.defs[2].GetChangeStatus(), dcDataChange);
        auto texts = Texts(f.log);
        EXPECT_EQ(texts.at(2), c.line);
        EXPECT_EQ(texts.at(3), "Index Def: 'ByPrice' status: Data Requirements Changed");
    }
}

TEST(RestructureIndexes, ChangedKeyFieldNeedsRebuild) {
    IndexFixture f;
    f.fields[1].SetSize(60); // Name grows: dcDataChange
    f.defs[1].SetName("ByFullName");
    EXPECT_EQ(f.Validate(), dcDataChange);
    EXPECT_EQ(f.defs[1].GetChangeStatus(), dcDataChange);
    auto texts = Texts(f.log);
    EXPECT_EQ(texts.at(1), "Index Def: ByFullName - Name changed");
    EXPECT_EQ(texts.at(2), "Index Def: ByFullName - Changed field: Name");

    // A renamed key field is only a definition change of the field, but the index lists now
    // name it differently.
    IndexFixture g;
    g.fields[1].SetName("FullName");
    g.defs.ReplaceFieldName("NAME", "FullName");
    EXPECT_EQ(g.defs[1].GetFields(), "FullName");
    EXPECT_EQ(g.defs[1].GetCaseInsFields(), "FullName");
    EXPECT_EQ(g.Validate(), dcDataChange);
    EXPECT_EQ(Texts(g.log).at(1), "Index Def fields changed: ByName from Name to FullName");
}

TEST(RestructureIndexes, MissingKeyFieldRaises) {
    IndexFixture f;
    f.defs[2].SetFields("Price;Gone");
    try {
        f.Validate();
        FAIL() << "validation must raise";
    } catch (const EZanDatabaseError&) {
        FAIL() << "a plain exception is expected";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "The field 'Gone' in index 'ByPrice' was not found in the table "
                               "field definitions - Price;Gone");
    }
}

TEST(RestructureIndexes, AddedAndSourcelessIndexes) {
    IndexFixture f;
    f.defs.AddAndSetIndexDef("ByBorn", "Born", {});
    EXPECT_EQ(f.Validate(), dcAdded);
    EXPECT_EQ(f.defs[3].GetChangeStatus(), dcAdded);
    auto texts = Texts(f.log);
    EXPECT_EQ(texts.at(3), "New Index Def: ByBorn");
    EXPECT_EQ(texts.at(4), "Index Def: 'ByBorn' status: New Item");

    TRestructureIndexDefs fresh;
    TDBLogger log;
    fresh.SetChangeLog(&log);
    fresh.AddAndSetIndexDef("A", "Id", {ixPrimary});
    fresh.ValidateAgainstOriginalDefs(nullptr, f.fields);
    EXPECT_EQ(fresh.GetChangeStatus(), dcAdded);
    EXPECT_EQ(fresh[0].GetChangeStatus(), dcAdded);
    EXPECT_EQ(Texts(log), std::vector<std::string>{"IndexDefs: Change status is - New Item"});
}

TEST(RestructureIndexes, ContainerOperations) {
    IndexFixture f;
    EXPECT_EQ(f.defs.Find("byname"), &f.defs[1]);
    EXPECT_EQ(f.defs.Find("x"), nullptr);
    EXPECT_EQ(f.defs.FindSourceDef(f.originals[2]), &f.defs[2]);
    ASSERT_NE(f.defs[0].GetSource(), nullptr);
    EXPECT_EQ(f.defs[0].GetSource()->GetFields(), "Id");

    f.defs[2].SetCaseInsFields("Born ; Price");
    f.defs.DeleteField("born");
    EXPECT_EQ(f.defs[2].GetFields(), "Price");
    EXPECT_EQ(f.defs[2].GetDescFields(), "");
    EXPECT_EQ(f.defs[2].GetCaseInsFields(), "Price");
    EXPECT_EQ(f.defs[1].GetFields(), "Name");

    f.defs.DeleteItem(0);
    EXPECT_EQ(f.defs.FindSourceDef(f.originals[0]), nullptr);
    EXPECT_THROW(f.defs.DeleteItem(2), Exception);

    TRestructureIndexDefs copy;
    f.defs.SetMaxKeySize(100);
    copy.Assign(f.defs);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.GetMaxKeySize(), 100);
    EXPECT_EQ(copy[1].GetFields(), "Price");
    EXPECT_EQ(copy[1].GetSource()->GetName(), "ByPrice");
    EXPECT_NE(copy[1].GetSource(), f.defs[1].GetSource());
}

TEST(RestructureIndexes, DuplicatePrimary) {
    IndexFixture f;
    EXPECT_NO_THROW(f.defs.CheckForDuplicatePrimaryIndexes());
    f.defs.AddAndSetIndexDef("PK2", "Name", {ixPrimary});
    try {
        f.defs.CheckForDuplicatePrimaryIndexes();
        FAIL() << "a second primary index must be refused";
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(e.ErrorCode, 9996);
        EXPECT_EQ(ZanErrorCustomText(e), std::string(SzanOnlySinglePrimaryIndexAllowed));
    }
}

TEST(RestructureIndexes, ValidateNewIndexDefsLimits) {
    TRestructureFieldDefs fields;
    fields.SetChangeLog(nullptr);
    fields.AddAndSetFieldDef("Name", ftString, 40);
    fields.AddAndSetFieldDef("Id", ftInteger, 0);
    fields.AddAndSetFieldDef("Wide", ftWideString, 10);
    TRestructureIndexDefs defs;
    TDBLogger log;
    defs.SetChangeLog(&log);
    defs.AddAndSetIndexDef("Both", "Name;Id", {});

    auto customText = [&]() -> std::string {
        try {
            defs.ValidateNewIndexDefs(fields);
        } catch (const EZanDatabaseError& e) {
            EXPECT_EQ(e.ErrorCode, 9996);
            return ZanErrorCustomText(e);
        }
        return "passed";
    };

    // String(40) + Integer: 2 + 40 + 4 = 46 bytes.
    defs.SetMaxKeySize(46);
    EXPECT_EQ(customText(), "passed");
    EXPECT_EQ(Texts(log), std::vector<std::string>{"IndexDefs: Validation OK"});
    defs.SetMaxKeySize(45);
    EXPECT_EQ(customText(),
              "The Index 'Both' with fields 'Name;Id' has exceeded the maximum key size of 45");

    // A wide string counts two bytes per character: 2 + 20 = 22.
    defs[0].SetFields("Wide");
    defs.SetMaxKeySize(21);
    EXPECT_EQ(customText(),
              "The Index 'Both' with fields 'Wide' has exceeded the maximum key size of 21");
    defs.SetMaxKeySize(22);
    EXPECT_EQ(customText(), "passed");

    defs[0].SetFields("Id;Name;Wide");
    defs.SetMaxKeySize(500);
    defs.SetMaxKeyFieldCount(2);
    EXPECT_EQ(customText(), "The Index 'Both' with fields 'Id;Name;Wide' has exceeded the maximum "
                            "key field count of 2");

    defs[0].SetFields("Id;Missing");
    EXPECT_EQ(customText(), "The field 'Missing' in index 'Both' was not found in the table field "
                            "definitions.");
}
