#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDataUnit.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

TInternalFieldItem* AddField(TInternalFields& fields, const char* name, TFieldType type,
                             int32_t size = 0) {
    TInternalFieldItem* f = fields.Add();
    f->SetFieldName(name);
    f->SetDataType(type);
    if (size != 0) f->SetFieldSize(size);
    f->SetFieldIndex(fields.Count() - 1);
    f->SetFieldNo(fields.Count());
    return f;
}

TEST(FieldLayout, OffsetsOfStringAndInteger) {
    TInternalFields fields;
    AddField(fields, "Name", ftString, 21);
    AddField(fields, "Qty", ftInteger);
    fields.SetDefaultOffsets();
    auto* s = fields.Items(0);
    auto* n = fields.Items(1);
    EXPECT_EQ(s->GetNullFlagOffset(), 14);
    EXPECT_EQ(n->GetNullFlagOffset(), 15);
    EXPECT_EQ(s->GetSizeMarkerOffset(), 16);
    EXPECT_EQ(s->GetDataOffset(), 18);
    EXPECT_EQ(n->GetDataOffset(), 39);
    EXPECT_EQ(n->GetSizeMarkerOffset(), 0);
    EXPECT_EQ(fields.GetRecordSize(), 43);
    EXPECT_EQ(s->GetWriteableFieldSize(), 20);
}

TEST(FieldLayout, StorageSizesAndBytesKeepDeclaredSize) {
    TInternalFields fields;
    AddField(fields, "b", ftBoolean);
    AddField(fields, "w", ftWord);
    AddField(fields, "d", ftDateTime);
    AddField(fields, "m", ftMemo);
    AddField(fields, "raw", ftBytes, 5);
    fields.SetDefaultOffsets();
    // 14 + 5 null flags = 19; 1 + 2 + 8 + 8 + 5 bytes of data.
    EXPECT_EQ(fields.Items(0)->GetDataOffset(), 19);
    EXPECT_EQ(fields.Items(4)->GetDataOffset(), 19 + 1 + 2 + 8 + 8);
    EXPECT_EQ(fields.Items(4)->GetFieldSize(), 5);
    EXPECT_EQ(fields.GetRecordSize(), 19 + 24);
}

TEST(FieldLayout, RefusedTypesRaise10000WithTypeName) {
    TInternalFieldItem item;
    for (TFieldType t : {ftBCD, ftVarBytes, ftWideString, ftLargeint, ftUnknown}) {
        std::string text;
        EXPECT_EQ(ErrorCodeOf([&] { item.SetDataType(t); }, &text), 10000);
        EXPECT_NE(text.find(std::string(FieldTypeName(t))), std::string::npos) << text;
    }
    for (TFieldType t : {ftString, ftCurrency, ftDate, ftBytes, ftAutoInc, ftFmtMemo})
        EXPECT_EQ(ErrorCodeOf([&] { item.SetDataType(t); }), 0);
}

TEST(FieldLayout, OpenDerivesBlobsAutoIncAndMap) {
    TInternalFields fields;
    AddField(fields, "a", ftInteger);
    fields.Open();
    EXPECT_FALSE(fields.GetUsesBlobs());
    EXPECT_EQ(fields.GetAutoIncFieldNo(), -1);

    AddField(fields, "id1", ftAutoInc);
    AddField(fields, "g", ftGraphic);
    AddField(fields, "id2", ftAutoInc);
    // Logical numbers need not follow list order.
    fields.Items(0)->SetFieldIndex(3);
    fields.Items(3)->SetFieldIndex(0);
    fields.Open();
    EXPECT_TRUE(fields.GetUsesBlobs());
    EXPECT_EQ(fields.GetAutoIncFieldNo(), 0); // the last autoinc wins
    EXPECT_EQ(fields.GetField(3)->GetFieldName(), "a");
    EXPECT_EQ(fields.GetField(0)->GetFieldName(), "id2");
    EXPECT_EQ(fields.GetFieldIndexValue(3), 0);
    EXPECT_EQ(ErrorCodeOf([&] { fields.GetField(4); }), 8581);
}

TEST(FieldLayout, StoredLayoutsWithBadIndexesOrOffsetsAreRefused) {
    TInternalFields fields;
    AddField(fields, "a", ftInteger);
    AddField(fields, "b", ftString, 10);
    fields.Items(1)->SetFieldIndex(0);
    EXPECT_EQ(ErrorCodeOf([&] { fields.Open(); }), 8962); // degenerate
    fields.Items(1)->SetFieldIndex(255);
    EXPECT_EQ(ErrorCodeOf([&] { fields.Open(); }), 8962); // beyond the map
    fields.Items(1)->SetFieldIndex(1);
    fields.Open();
    fields.SetDefaultOffsets();
    EXPECT_EQ(ErrorCodeOf([&] { fields.CheckLayout(fields.GetRecordSize()); }), 0);
    EXPECT_EQ(ErrorCodeOf([&] { fields.CheckLayout(fields.GetRecordSize() - 1); }), 8962);
    fields.Items(0)->SetDataOffset(-4);
    EXPECT_EQ(ErrorCodeOf([&] { fields.CheckLayout(100); }), 8962);
}

TEST(FieldLayout, FindFieldIgnoresCaseAndTakesFirst) {
    TInternalFields fields;
    AddField(fields, "Größe", ftInteger)->SetSourceField("src");
    AddField(fields, "GRÖSSE", ftInteger);
    AddField(fields, "größe", ftInteger);
    EXPECT_EQ(fields.FindField("GRÖßE"), fields.Items(0));
    EXPECT_EQ(fields.FindField("größe"), fields.Items(0));
    EXPECT_EQ(fields.FindField("nope"), nullptr);
    EXPECT_EQ(fields.FindSourceField("SRC"), fields.Items(0));
}

TEST(FieldLayout, AssignCopiesItemsAndResetsDerivedState) {
    TSearchFields src;
    auto* a = src.Add();
    a->SetFieldName("k");
    a->SetDataType(ftString);
    a->SetFieldSize(30);
    a->SetInIndex(true);
    a->SetDescending(true);
    a->SetFieldGeneratorID(1234);
    auto* b = src.Add();
    b->SetFieldName("n");
    b->SetDataType(ftAutoInc);
    b->SetFieldIndex(1);
    src.SetDefaultOffsets();
    src.Open();
    ASSERT_EQ(src.GetAutoIncFieldNo(), 1);

    TSearchFields copy;
    copy.Assign(src);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.Items(0)->GetFieldSize(), 30); // FieldSize is copied after the type
    EXPECT_EQ(copy.Items(0)->GetFieldGeneratorID(), 1234);
    EXPECT_TRUE(copy.Items(0)->GetInIndex());
    EXPECT_TRUE(copy.Items(0)->GetDescending());
    EXPECT_EQ(copy.Items(1)->GetDataOffset(), b->GetDataOffset());
    EXPECT_EQ(copy.GetRecordSize(), 0);
    EXPECT_EQ(copy.GetAutoIncFieldNo(), -1);
    EXPECT_FALSE(copy.GetUsesBlobs());
    copy.Open();
    EXPECT_EQ(copy.GetAutoIncFieldNo(), 1);

    TInternalFields plain;
    plain.Assign(src); // search items into a plain layout keep the base properties
    EXPECT_EQ(plain.Items(0)->GetFieldName(), "k");
    EXPECT_GE(plain.Add()->GetFieldGeneratorID(), 0);
}

TEST(RecordFormat, ValuesRoundTripWithNullFlags) {
    TInternalFields fields;
    auto* s = AddField(fields, "s", ftString, 10);
    auto* b = AddField(fields, "b", ftBoolean);
    auto* sm = AddField(fields, "sm", ftSmallint);
    auto* w = AddField(fields, "w", ftWord);
    auto* i = AddField(fields, "i", ftInteger);
    auto* f = AddField(fields, "f", ftFloat);
    auto* m = AddField(fields, "m", ftMemo);
    auto* by = AddField(fields, "by", ftBytes, 4);
    fields.SetDefaultOffsets();
    std::vector<uint8_t> rec(static_cast<size_t>(fields.GetRecordSize()), 0);
    uint8_t* r = rec.data();

    EXPECT_TRUE(RecordFieldIsNull(r, *s));
    RecordSetString(r, *s, "abc");
    EXPECT_EQ(RecordGetString(r, *s), "abc");
    // The view lies in the record itself.
    EXPECT_EQ(RecordGetStringView(r, *s).data(), reinterpret_cast<const char*>(r) + s->GetDataOffset());
    EXPECT_EQ(RecordGetStringView(r, *s), "abc");
    EXPECT_EQ(GetLE16(r + s->GetSizeMarkerOffset()), 3);
    for (int k = 3; k < 10; ++k)
        EXPECT_EQ(r[s->GetDataOffset() + k], 0);

    RecordSetBoolean(r, *b, true);
    EXPECT_EQ(r[b->GetDataOffset()], 1); // True is stored as 1
    r[b->GetDataOffset()] = 0xFF;
    EXPECT_TRUE(RecordGetBoolean(r, *b));
    RecordSetInteger(r, *sm, -2);
    RecordSetInteger(r, *w, 65535);
    RecordSetInteger(r, *i, -123456789);
    RecordSetFloat(r, *f, 2.5);
    EXPECT_EQ(RecordGetInteger(r, *sm), -2);
    EXPECT_EQ(RecordGetInteger(r, *w), 65535);
    EXPECT_EQ(RecordGetInteger(r, *i), -123456789);
    EXPECT_EQ(RecordGetFloat(r, *f), 2.5);
    RecordSetBytes(r, *by, std::string("\x01\x02", 2));
    EXPECT_EQ(RecordGetBytes(r, *by), std::string("\x01\x02\0\0", 4));

    RecordSetBlobRef(r, *m, 4096, 10);
    uint32_t head = 0, len = 0;
    RecordGetBlobRef(r, *m, head, len);
    EXPECT_EQ(head, 4096u);
    EXPECT_EQ(len, 10u);
    EXPECT_FALSE(RecordFieldIsNull(r, *m));
    RecordSetBlobRef(r, *m, 4096, 0);
    EXPECT_TRUE(RecordFieldIsNull(r, *m));

    RecordSetFieldNull(r, *s);
    EXPECT_TRUE(RecordFieldIsNull(r, *s));
    EXPECT_EQ(GetLE16(r + s->GetSizeMarkerOffset()), 0);
    EXPECT_EQ(RecordGetString(r, *s), "");
    EXPECT_TRUE(RecordGetStringView(r, *s).empty());
    // A stored length beyond the field is refused by the view as by the copy.
    PutLE16(r + s->GetSizeMarkerOffset(), uint16_t(s->GetWriteableFieldSize() + 1));
    r[s->GetNullFlagOffset()] = 1;
    EXPECT_EQ(ErrorCodeOf([&] { RecordGetStringView(r, *s); }), 8962);
    RecordSetFieldNull(r, *s);

    EXPECT_EQ(ErrorCodeOf([&] { RecordGetInteger(r, *f); }), 10000);
    EXPECT_EQ(ErrorCodeOf([&] { RecordGetStringView(r, *i); }), 10000);
    EXPECT_EQ(ErrorCodeOf([&] { RecordSetString(r, *i, "x"); }), 10000);
}

TEST(RecordFormat, StringsAreCutAtCharacterBoundaries) {
    EXPECT_EQ(Utf8CutLength("abc", 5), 3u);
    EXPECT_EQ(Utf8CutLength("abcdef", 4), 4u);
    EXPECT_EQ(Utf8CutLength("ab\xC3\xA9", 3), 2u);          // é would be split
    EXPECT_EQ(Utf8CutLength("ab\xC3\xA9z", 4), 4u);         // é ends at the cut
    EXPECT_EQ(Utf8CutLength("a\xE2\x82\xAC", 3), 1u);       // € would be split after 2 bytes
    EXPECT_EQ(Utf8CutLength("\xF0\x9F\x98\x80xyz", 3), 0u); // a 4-byte character

    TInternalFields fields;
    auto* s = AddField(fields, "s", ftString, 5); // 4 writable bytes
    fields.SetDefaultOffsets();
    std::vector<uint8_t> rec(static_cast<size_t>(fields.GetRecordSize()), 0xAA);
    RecordSetString(rec.data(), *s, "abc\xC3\xA9");
    EXPECT_EQ(RecordGetString(rec.data(), *s), "abc");
    EXPECT_EQ(rec[static_cast<size_t>(s->GetDataOffset()) + 3], 0);
    EXPECT_EQ(rec[static_cast<size_t>(s->GetDataOffset()) + 4], 0);

    // A stored marker beyond the field is corruption, not a long read.
    PutLE16(rec.data() + s->GetSizeMarkerOffset(), 200);
    EXPECT_EQ(ErrorCodeOf([&] { RecordGetString(rec.data(), *s); }), 8962);
}

} // namespace
