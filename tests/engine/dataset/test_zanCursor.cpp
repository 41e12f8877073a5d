// The cursor: field access over the storable types, a model test of random changes and moves on
// four kinds of index (unique, case-insensitive, descending, composite with NULLs) on a memory
// and a file table, ranges and read-ahead, writes, two connections on one file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

std::unique_ptr<TZanDataSet> NewCursor(TZanDataBase& db, const std::string& name) {
    auto c = std::make_unique<TZanDataSet>();
    c->SetDataBase(&db);
    c->SetTableName(name);
    return c;
}

// The model table: Id unique, Name (8 characters) case-insensitive, Score descending, and the
// composite Name;Score; a memo.
void CreateModelTable(TZanDataBase& db, const std::string& name, bool memory,
                      TIndexKeyType kind) {
    auto c = NewCursor(db, name);
    TFieldDefs fields;
    fields.Add("Id", ftInteger, 0, true);
    fields.Add("Name", ftString, 8);
    fields.Add("Score", ftSmallint);
    fields.Add("Note", ftMemo);
    TIndexDefs indexes;
    indexes.Add("ixId", "Id", {ixUnique});
    indexes.Add("ixName", "Name", {ixCaseInsensitive});
    indexes.Add("ixScore", "Score", {ixDescending});
    indexes.Add("ixComp", "Name;Score", {});
    c->SetMemory(memory);
    c->SetTableDef(memory, fields, indexes);
    for (int i = 0; i < c->GetTableDef().GetInternalIndexDefs()->Count(); ++i)
        c->GetTableDef().GetInternalIndexDefs()->Items(i)->SetIndexKeyType(kind);
    c->InternalCreateTable();
}

struct TRow {
    int32_t Id = 0;
    std::optional<std::string> Name;
    std::optional<int16_t> Score;
};

// Engine key order: NULL first, descending inverts, ties by logical number (in the direction of
// the first key field).
int CompareName(const std::optional<std::string>& a, const std::optional<std::string>& b,
                bool ci) {
    if (!a || !b) return int(a.has_value()) - int(b.has_value());
    const int r = DBANSICompareStrings(a->data(), int32_t(a->size()), b->data(),
                                       int32_t(b->size()), false, ci);
    return (r > 0) - (r < 0);
}
int CompareScore(const std::optional<int16_t>& a, const std::optional<int16_t>& b) {
    if (!a || !b) return int(a.has_value()) - int(b.has_value());
    return (*a > *b) - (*a < *b);
}

std::vector<uint32_t> ModelOrder(const std::map<uint32_t, TRow>& model, const std::string& index) {
    std::vector<uint32_t> order;
    for (const auto& [no, row] : model)
        order.push_back(no);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        const TRow& a = model.at(x);
        const TRow& b = model.at(y);
        int c = 0;
        bool desc = false;
        if (index == "ixId") return a.Id < b.Id;
        if (index == "ixName") c = CompareName(a.Name, b.Name, true);
        if (index == "ixScore") {
            c = -CompareScore(a.Score, b.Score);
            desc = true;
        }
        if (index == "ixComp") {
            c = CompareName(a.Name, b.Name, false);
            if (c == 0) c = CompareScore(a.Score, b.Score);
        }
        if (c != 0) return c < 0;
        return desc ? x > y : x < y;
    });
    return order;
}

uint32_t LogicalNo(TZanDataSet& c) {
    return GetLE32(c.GetRecBuf() + C_REC_LOGICAL_RECNO_OFFSET);
}

void SetRow(TZanDataSet& c, const TRow& row) {
    c.DataSetSetFieldDataAsVariant(0, Variant(row.Id));
    c.DataSetSetFieldDataAsVariant(1, row.Name ? Variant(*row.Name) : Null());
    c.DataSetSetFieldDataAsVariant(2, row.Score ? Variant(int32_t(*row.Score)) : Null());
}

std::vector<uint32_t> ScanForward(TZanDataSet& c) {
    std::vector<uint32_t> seen;
    for (bool ok = c.DataSetFirst(); ok; ok = c.DataSetNext())
        seen.push_back(LogicalNo(c));
    return seen;
}

std::vector<uint32_t> ScanBackward(TZanDataSet& c) {
    std::vector<uint32_t> seen;
    for (bool ok = c.DataSetLast(); ok; ok = c.DataSetPrior())
        seen.push_back(LogicalNo(c));
    std::reverse(seen.begin(), seen.end());
    return seen;
}

class ZanCursorModel : public ::testing::TestWithParam<std::tuple<bool, TIndexKeyType>> {};

TEST_P(ZanCursorModel, RandomOperationsMatchTheModel) {
    const bool onFile = std::get<0>(GetParam());
    const TIndexKeyType kind = std::get<1>(GetParam());
    TTempFile file("cursor_model.zan");
    std::unique_ptr<TZanDataBase> db;
    if (onFile) {
        CreateDatabaseFile(file.Path);
        db = NewDatabase(file.Path);
    } else {
        db = std::make_unique<TZanDataBase>();
        db->SetDataBaseName("MEMORY");
    }
    db->Open();
    CreateModelTable(*db, "model", !onFile, kind);
    auto c = NewCursor(*db, "model");
    c->SetMemory(!onFile);
    c->DataSetOpen();
    const std::vector<std::string> indexes = {"ixId", "ixName", "ixScore", "ixComp"};
    std::map<uint32_t, TRow> model;
    std::mt19937 random(1234);
    const char* names[] = {"abc", "ABC", "abd", "b", "Ba", "zz", "a", "abcdefgh"};
    auto randomRow = [&] {
        TRow r;
        r.Id = int32_t(random() % 400);
        if (random() % 5 != 0) r.Name = names[random() % 8];
        if (random() % 4 != 0) r.Score = int16_t(int(random() % 21) - 10);
        return r;
    };
    auto idTaken = [&](int32_t id, uint32_t except) {
        return std::any_of(model.begin(), model.end(), [&](const auto& e) {
            return e.first != except && e.second.Id == id;
        });
    };
    uint32_t nextLogical = 1;
    const int batches = 8, steps = 300;
    for (int batch = 0; batch < batches; ++batch) {
        for (int step = 0; step < steps; ++step) {
            const std::string& index = indexes[random() % indexes.size()];
            c->SetIndexName(index);
            const std::vector<uint32_t> order = ModelOrder(model, index);
            const int op = int(random() % 10);
            if (op <= 2 || model.empty()) { // add
                const TRow row = randomRow();
                c->ClearRecord();
                c->InitializeNewRecord(c->GetRecBuf(), false);
                SetRow(*c, row);
                const int32_t code = ErrorCodeOf([&] { c->AddRecord(false); });
                ASSERT_EQ(code, idTaken(row.Id, 0) ? 9729 : 0);
                if (code == 0) {
                    ASSERT_EQ(LogicalNo(*c), nextLogical);
                    model[nextLogical++] = row;
                    const std::vector<uint32_t> after = ModelOrder(model, index);
                    ASSERT_EQ(c->DataSetGetRecordNo(),
                              int32_t(std::find(after.begin(), after.end(), LogicalNo(*c)) -
                                      after.begin()) + 1);
                }
            } else if (op <= 4) { // update at a record number
                const int32_t n = int32_t(random() % order.size()) + 1;
                ASSERT_EQ(c->DataSetSetRecordNo(n), n);
                ASSERT_EQ(LogicalNo(*c), order[size_t(n - 1)]) << index << " " << n << " " << order.size();
                TRow row = randomRow();
                if (random() % 2) row.Id = model[LogicalNo(*c)].Id; // non-key change of Id
                SetRow(*c, row);
                const int32_t code = ErrorCodeOf([&] { c->UpdateRecord(); });
                ASSERT_EQ(code, idTaken(row.Id, LogicalNo(*c)) ? 9729 : 0);
                if (code == 0) model[LogicalNo(*c)] = row;
            } else if (op == 5) { // delete
                const int32_t n = int32_t(random() % order.size()) + 1;
                ASSERT_EQ(c->DataSetSetRecordNo(n), n);
                const uint32_t gone = LogicalNo(*c);
                const uint32_t goneAddress = c->DatasetGetRecAddr();
                const std::vector<uint8_t> goneRecord(c->GetRecBuf(),
                                                      c->GetRecBuf() + c->GetRecBufSize());
                ASSERT_EQ(c->DeleteRecord(nullptr), 0);
                EXPECT_FALSE(c->CheckBookMarkValid(std::vector<uint8_t>{
                    uint8_t(goneAddress), uint8_t(goneAddress >> 8), uint8_t(goneAddress >> 16),
                    uint8_t(goneAddress >> 24), uint8_t(gone), 0, 0, 0}.data()));
                model.erase(gone);
                const std::vector<uint32_t> after = ModelOrder(model, index);
                if (after.empty()) {
                    EXPECT_EQ(c->GetBufferState(), 0);
                } else {
                    // The following record, or the new last one.
                    const size_t at = std::min(size_t(n - 1), after.size() - 1);
                    ASSERT_EQ(LogicalNo(*c), after[at]);
                    // The deleted address lands on the nearest record by the old key.
                    ASSERT_TRUE(c->SetToRecord(goneAddress, goneRecord.data(), true, false));
                    ASSERT_EQ(LogicalNo(*c), after[at]);
                }
            } else if (op == 6) { // Find by Id with every search type
                const int32_t id = int32_t(random() % 400);
                const auto type = TIndexSearchType(random() % 6);
                c->SetIndexName("ixId");
                c->ClearRecord();
                c->DataSetSetFieldDataAsVariant(0, Variant(id));
                const bool found = c->Find(type, "ixId");
                std::vector<int32_t> ids;
                for (const auto& [no, row] : model)
                    ids.push_back(row.Id);
                std::sort(ids.begin(), ids.end());
                std::optional<int32_t> want;
                auto lower = std::lower_bound(ids.begin(), ids.end(), id);
                auto upper = std::upper_bound(ids.begin(), ids.end(), id);
                if (type == stEQ && lower != upper) want = id;
                if ((type == stGE || type == stLEG) && lower != ids.end()) want = *lower;
                if (type == stGT && upper != ids.end()) want = *upper;
                if ((type == stLE || (type == stLEG && !want)) && upper != ids.begin())
                    want = *(upper - 1);
                if (type == stLT && lower != ids.begin()) want = *(lower - 1);
                ASSERT_EQ(found, want.has_value()) << int(type) << " " << id;
                if (found) {
                    ASSERT_EQ(c->DataSetGetFieldDataAsVariant(0).AsInteger(), *want);
                }
            } else if (op == 7) { // partial key on the composite
                const std::string name = names[random() % 8];
                c->SetIndexName("ixComp");
                c->ClearRecord();
                c->DataSetSetFieldDataAsVariant(1, Variant(name));
                TSearchModifier leading{true, 1};
                const bool found = c->Find(stEQ, "ixComp", &leading);
                std::optional<uint32_t> want;
                for (uint32_t no : ModelOrder(model, "ixComp"))
                    if (!want && model[no].Name == name) want = no;
                ASSERT_EQ(found, want.has_value()) << name;
                if (found) {
                    ASSERT_EQ(LogicalNo(*c), *want);
                }
            } else if (op == 8) { // a range on Score: every duplicate of both ends
                c->SetIndexName("ixScore");
                int16_t hi = int16_t(int(random() % 21) - 10), lo = int16_t(int(random() % 21) - 10);
                // Descending: the range starts at the higher value.
                uint8_t* start = c->GetRangeRecBuf(rmRangeStart);
                uint8_t* end = c->GetRangeRecBuf(rmRangeEnd);
                c->InitializeRangeBuffers(rmRangeStart);
                c->InitializeRangeBuffers(rmRangeEnd);
                c->DataSetSetFieldDataToRecBufAsVariant(start, 2, Variant(int32_t(hi)));
                c->DataSetSetFieldDataToRecBufAsVariant(end, 2, Variant(int32_t(lo)));
                c->SetRangeOn(true);
                std::vector<uint32_t> want;
                for (uint32_t no : ModelOrder(model, "ixScore")) {
                    const auto& s = model[no].Score;
                    if (s && *s <= hi && *s >= lo) want.push_back(no);
                }
                ASSERT_EQ(ScanForward(*c), want) << hi << ".." << lo;
                ASSERT_EQ(ScanBackward(*c), want);
                ASSERT_EQ(c->GetCurrentRecordCount(), int32_t(want.size()));
                if (!want.empty()) {
                    const int32_t k = int32_t(random() % want.size()) + 1;
                    ASSERT_EQ(c->DataSetSetRecordNo(k), k);
                    ASSERT_EQ(LogicalNo(*c), want[size_t(k - 1)]);
                    ASSERT_EQ(c->DataSetGetRecordNo(), k);
                }
                ASSERT_EQ(c->DataSetSetRecordNo(int32_t(want.size()) + 1), -1);
                c->DataSetClearRange();
            } else if (op == 9 && random() % 2) { // positioning on a known address
                const int32_t n = int32_t(random() % order.size()) + 1;
                ASSERT_EQ(c->DataSetSetRecordNo(n), n);
                const uint32_t address = c->DatasetGetRecAddr();
                std::vector<uint8_t> copy(c->GetRecBuf(), c->GetRecBuf() + c->GetRecBufSize());
                ASSERT_TRUE(c->SetToRecord(address, copy.data(), true, true));
                ASSERT_EQ(LogicalNo(*c), order[size_t(n - 1)]);
            } else { // record numbers along the index
                for (size_t i = 0; i < order.size(); i += 1 + order.size() / 7) {
                    ASSERT_EQ(c->DataSetSetRecordNo(int32_t(i + 1)), int32_t(i + 1));
                    ASSERT_EQ(LogicalNo(*c), order[i]);
                }
                EXPECT_EQ(c->DataSetSetRecordNo(0), -1);
            }
        }
        for (const std::string& index : indexes) {
            c->SetIndexName(index);
            const std::vector<uint32_t> want = ModelOrder(model, index);
            ASSERT_EQ(ScanForward(*c), want) << index;
            ASSERT_EQ(ScanBackward(*c), want) << index;
            ASSERT_EQ(c->GetTotalRecordCount(), int32_t(want.size()));
        }
        if (!onFile) {
            auto problems = CheckMemoryTable(c->GetTableDef());
            ASSERT_TRUE(problems.empty()) << ProblemText(problems);
        } else {
            auto problems = CheckDatabase(*db->GetDiskMgr(), {&c->GetTableDef()});
            ASSERT_TRUE(problems.empty()) << ProblemText(problems);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, ZanCursorModel,
                         ::testing::Combine(::testing::Values(false, true),
                                            ::testing::Values(ikFixed, ikMinStringLen)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "File" : "Memory") +
                                    (std::get<1>(info.param) == ikFixed ? "Fixed" : "MinStringLen");
                         });

} // namespace
