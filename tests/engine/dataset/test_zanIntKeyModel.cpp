// Integer keys against a row model: first fields negative, at the ends of the integer range and
// NULL, descending first fields, two-field keys whose first field ties; scans by every index
// forwards and backwards inside and outside a fetch bracket, searches of every type, and long
// delete runs that empty pages, with the checker after each batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <optional>
#include <random>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

struct TIntRow {
    int32_t Id = 0;
    std::optional<int32_t> A;
    std::optional<int32_t> B;
};

int CompareOpt(const std::optional<int32_t>& a, const std::optional<int32_t>& b) {
    if (!a || !b) return int(a.has_value()) - int(b.has_value());
    return (*a > *b) - (*a < *b);
}

// Engine order: NULL first, descending inverts, ties by logical number in the direction of the
// first key field.
std::vector<uint32_t> IntModelOrder(const std::map<uint32_t, TIntRow>& model,
                                    const std::string& index) {
    std::vector<uint32_t> order;
    for (const auto& e : model)
        order.push_back(e.first);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        const TIntRow& a = model.at(x);
        const TIntRow& b = model.at(y);
        int c = 0;
        bool desc = false;
        if (index == "ixId") c = (a.Id > b.Id) - (a.Id < b.Id);
        if (index == "ixA") c = CompareOpt(a.A, b.A);
        if (index == "ixAdesc") {
            c = -CompareOpt(a.A, b.A);
            desc = true;
        }
        if (index == "ixAB") {
            c = CompareOpt(a.A, b.A);
            if (c == 0) c = CompareOpt(a.B, b.B);
        }
        if (c != 0) return c < 0;
        return desc ? x > y : x < y;
    });
    return order;
}

uint32_t Logical(TZanDataSet& c) {
    return GetLE32(c.GetRecBuf() + C_REC_LOGICAL_RECNO_OFFSET);
}

void SetIntRow(TZanDataSet& c, const TIntRow& row) {
    c.DataSetSetFieldDataAsVariant(0, Variant(row.Id));
    c.DataSetSetFieldDataAsVariant(1, row.A ? Variant(*row.A) : Null());
    c.DataSetSetFieldDataAsVariant(2, row.B ? Variant(*row.B) : Null());
}

std::vector<uint32_t> Scan(TZanDataSet& c, bool forwards, bool bracket) {
    std::vector<uint32_t> seen;
    if (bracket) c.SetReadAheadMode(raReadAheadUninitialized);
    if (forwards) {
        for (bool ok = c.DataSetFirst(); ok; ok = c.DataSetNext())
            seen.push_back(Logical(c));
    } else {
        for (bool ok = c.DataSetLast(); ok; ok = c.DataSetPrior())
            seen.push_back(Logical(c));
        std::reverse(seen.begin(), seen.end());
    }
    if (bracket) c.ReleaseReadAheadMode();
    return seen;
}

TEST(ZanIntKeyModel, ExtremeAndNullIntegerKeysMatchTheModelThroughDeleteRuns) {
    TTempFile file("intkey_model.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->Open();
    {
        TZanDataSet c;
        c.SetDataBase(db.get());
        c.SetTableName("ints");
        TFieldDefs fields;
        fields.Add("Id", ftInteger, 0, true);
        fields.Add("A", ftInteger);
        fields.Add("B", ftInteger);
        TIndexDefs indexes;
        indexes.Add("ixId", "Id", {ixUnique});
        indexes.Add("ixA", "A", {});
        indexes.Add("ixAdesc", "A", {ixDescending});
        indexes.Add("ixAB", "A;B", {});
        c.SetTableDef(false, fields, indexes);
        for (int i = 0; i < c.GetTableDef().GetInternalIndexDefs()->Count(); ++i)
            c.GetTableDef().GetInternalIndexDefs()->Items(i)->SetIndexKeyType(ikFixed);
        c.InternalCreateTable();
    }
    auto c = std::make_unique<TZanDataSet>();
    c->SetDataBase(db.get());
    c->SetTableName("ints");
    c->DataSetOpen();
    const std::vector<std::string> indexes = {"ixId", "ixA", "ixAdesc", "ixAB"};
    const int32_t values[] = {INT_MIN, INT_MIN + 1, -65536, -257, -256, -1, 0, 1,
                              255,     256,         65536,  INT_MAX - 1, INT_MAX};
    std::mt19937 random(77);
    auto pick = [&]() -> std::optional<int32_t> {
        if (random() % 7 == 0) return std::nullopt;
        return values[random() % std::size(values)];
    };
    std::map<uint32_t, TIntRow> model;
    std::map<int32_t, uint32_t> byId;
    uint32_t nextLogical = 1;
    auto check = [&](const std::string& when) {
        for (const std::string& index : indexes) {
            c->SetIndexName(index);
            const std::vector<uint32_t> want = IntModelOrder(model, index);
            for (const bool bracket : {false, true}) {
                ASSERT_EQ(Scan(*c, true, bracket), want) << when << " " << index;
                ASSERT_EQ(Scan(*c, false, bracket), want) << when << " " << index;
            }
        }
        // Searches on the leading integer field, every type, every stored value and its
        // neighbours.
        c->SetIndexName("ixA");
        std::vector<int32_t> as;
        for (const auto& [no, row] : model)
            if (row.A) as.push_back(*row.A);
        std::sort(as.begin(), as.end());
        for (const int32_t v : values) {
            for (const int64_t probe : {int64_t(v) - 1, int64_t(v), int64_t(v) + 1}) {
                if (probe < INT_MIN || probe > INT_MAX) continue;
                const auto id = int32_t(probe);
                for (const TIndexSearchType type : {stEQ, stGE}) {
                    c->ClearRecord();
                    c->DataSetSetFieldDataAsVariant(1, Variant(id));
                    TSearchModifier leading{true, 1};
                    const bool found = c->Find(type, "ixA", &leading);
                    std::optional<int32_t> want;
                    auto lower = std::lower_bound(as.begin(), as.end(), id);
                    auto upper = std::upper_bound(as.begin(), as.end(), id);
                    if (type == stEQ && lower != upper) want = id;
                    if (type == stGE && lower != as.end()) want = *lower;
                    if (type == stGT && upper != as.end()) want = *upper;
                    if (type == stLE && upper != as.begin()) want = *(upper - 1);
                    if (type == stLT && lower != as.begin()) want = *(lower - 1);
                    // Below every value only the NULLs lie: LT/LE may land on one of them.
                    if (!want && (type == stLT || type == stLE) && found) {
                        ASSERT_TRUE(VarIsNull(c->DataSetGetFieldDataAsVariant(1))) << when;
                        continue;
                    }
                    ASSERT_EQ(found, want.has_value()) << when << " " << int(type) << " " << id;
                    if (found) {
                        ASSERT_EQ(c->DataSetGetFieldDataAsVariant(1).AsInteger(), *want)
                            << when << " " << int(type) << " " << id;
                    }
                }
            }
        }
        auto problems = CheckDatabase(*db->GetDiskMgr(), {&c->GetTableDef()});
        ASSERT_TRUE(problems.empty()) << when << ": " << ProblemText(problems);
    };
    c->SetIndexName("ixId");
    for (int round = 0; round < 3; ++round) {
        // Fill: many rows, ties on A everywhere.
        for (int i = 0; i < 1500; ++i) {
            TIntRow row;
            row.Id = int32_t(random() % 100000) - 50000;
            if (byId.count(row.Id)) continue;
            row.A = pick();
            row.B = pick();
            c->ClearRecord();
            c->InitializeNewRecord(c->GetRecBuf(), false);
            SetIntRow(*c, row);
            ASSERT_EQ(ErrorCodeOf([&] { c->AddRecord(false); }), 0);
            byId[row.Id] = nextLogical;
            model[nextLogical++] = row;
        }
        check("filled " + std::to_string(round));
        if (HasFatalFailure()) return;
        // Updates that move rows between the ties of the first field.
        c->SetIndexName("ixId");
        for (int i = 0; i < 300 && !model.empty(); ++i) {
            auto it = byId.begin();
            std::advance(it, long(random() % byId.size()));
            c->ClearRecord();
            c->DataSetSetFieldDataAsVariant(0, Variant(it->first));
            ASSERT_TRUE(c->Find(stEQ, "ixId"));
            TIntRow row = model[it->second];
            row.A = pick();
            row.B = pick();
            SetIntRow(*c, row);
            ASSERT_EQ(ErrorCodeOf([&] { c->UpdateRecord(); }), 0);
            model[it->second] = row;
        }
        check("updated " + std::to_string(round));
        if (HasFatalFailure()) return;
        // A delete run through one index: long stretches go, leaving pages empty or nearly.
        const std::string& through = indexes[size_t(round + 1) % indexes.size()];
        c->SetIndexName(through);
        const std::vector<uint32_t> order = IntModelOrder(model, through);
        const size_t from = order.size() / 5;
        const size_t to = order.size() - order.size() / 10;
        for (size_t i = from; i < to; ++i) {
            if (i % 17 == 3) continue; // a few survive, spread over the run
            const TIntRow row = model[order[i]];
            c->SetIndexName("ixId");
            c->ClearRecord();
            c->DataSetSetFieldDataAsVariant(0, Variant(row.Id));
            ASSERT_TRUE(c->Find(stEQ, "ixId"));
            ASSERT_EQ(c->DeleteRecord(nullptr), 0);
            model.erase(order[i]);
            byId.erase(row.Id);
            if (i % 97 == 0) {
                auto problems = CheckDatabase(*db->GetDiskMgr(), {&c->GetTableDef()});
                ASSERT_TRUE(problems.empty()) << "deleting " << i << ": " << ProblemText(problems);
            }
        }
        check("deleted " + std::to_string(round));
        if (HasFatalFailure()) return;
    }
}

// Scans by a non-unique integer index (ascending or descending, forwards or backwards, with a
// fetch bracket) while another process deletes, updates and inserts rows everywhere between the
// rows read. Rows the other process never touched must each come exactly once and the keys read
// must keep the index's order.
std::string PadFor(int32_t id, int32_t pad) {
    return std::string(size_t(id % pad), char('a' + id % 26));
}

std::string NoteOf(int32_t id) {
    std::string note;
    for (int i = 0; i < id % 40; ++i)
        note += "note " + std::to_string(id) + ";";
    return note;
}

std::string ReadNote(TZanDataSet& c) {
    TMemoryStream s;
    bool isNull = false;
    c.DataSetGetFieldStream(3, isNull, s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.GetSize()));
}

void ScanWhileAnotherProcessWrites(int32_t pad, int32_t extraPads, bool rollbacks,
                                   bool ranged = false) {
    TTempFile file("intkey_fork.zan");
    CreateDatabaseFile(file.Path);
    std::map<int32_t, int32_t> start; // Id -> A
    {
        auto db = NewDatabase(file.Path);
        db->Open();
        TZanDataSet c;
        c.SetDataBase(db.get());
        c.SetTableName("ints");
        TFieldDefs fields;
        fields.Add("Id", ftInteger, 0, true);
        fields.Add("A", ftInteger);
        fields.Add("Pad", ftString, pad);
        fields.Add("Note", ftMemo);
        for (int32_t i = 0; i < extraPads; ++i)
            fields.Add("P" + std::to_string(i), ftString, pad);
        TIndexDefs indexes;
        indexes.Add("ixId", "Id", {ixUnique});
        indexes.Add("ixA", "A", {});
        indexes.Add("ixAdesc", "A", {ixDescending});
        c.SetTableDef(false, fields, indexes);
        c.InternalCreateTable();
        auto w = std::make_unique<TZanDataSet>();
        w->SetDataBase(db.get());
        w->SetTableName("ints");
        w->DataSetOpen();
        std::mt19937 r(3);
        db->StartTransaction();
        for (int32_t id = 1; id <= 900; ++id) {
            const int32_t a = int32_t(r() % 40) - 20;
            w->ClearRecord();
            w->InitializeNewRecord(w->GetRecBuf(), false);
            w->DataSetSetFieldDataAsVariant(0, Variant(id));
            w->DataSetSetFieldDataAsVariant(1, Variant(a));
            w->DataSetSetFieldDataAsVariant(2, Variant(PadFor(id, pad)));
            const std::string note = NoteOf(id);
            TMemoryStream ns;
            if (!note.empty()) ns.WriteBuffer(note.data(), int32_t(note.size()));
            w->DataSetSetFieldStream(3, note.empty(), ns);
            for (int32_t i = 0; i < extraPads; ++i)
                w->DataSetSetFieldDataAsVariant(4 + i, Variant(PadFor(id + i, pad)));
            w->AddRecord(false);
            start[id] = a;
        }
        db->Commit();
    }
    // Ids the child may touch: every third one (and new ones above 10000).
    auto touchable = [](int32_t id) { return id % 3 == 0 || id > 10000; };
    for (const char* index : {"ixA", "ixAdesc"})
        for (const bool forwards : {true, false}) {
            TTempFile copy("intkey_fork_copy.zan");
            std::filesystem::copy_file(file.Path, copy.Path,
                                       std::filesystem::copy_options::overwrite_existing);
            TChildProcess child([&](TChildProcess& self) {
                auto db = NewDatabase(copy.Path);
                db->SetLockRetryMaximum(2000);
                db->Open();
                auto w = std::make_unique<TZanDataSet>();
                w->SetDataBase(db.get());
                w->SetTableName("ints");
                w->SetIndexName("ixId");
                w->DataSetOpen();
                std::mt19937 r(11);
                int32_t fresh = 10001;
                self.Send('r');
                for (;;) {
                    const char op = self.Receive();
                    if (op == 'q') return 0;
                    // Some turns change inside a transaction that is rolled back.
                    const bool undo = rollbacks && r() % 3 == 0;
                    if (undo) db->StartTransaction();
                    for (int k = 0; k < 3; ++k) {
                        const int32_t id = 3 * int32_t(1 + r() % 300);
                        const uint32_t what = r() % 3;
                        w->ClearRecord();
                        if (what == 0) {
                            w->InitializeNewRecord(w->GetRecBuf(), false);
                            w->DataSetSetFieldDataAsVariant(0, Variant(fresh++));
                            w->DataSetSetFieldDataAsVariant(1, Variant(int32_t(r() % 40) - 20));
                            w->AddRecord(false);
                            continue;
                        }
                        w->DataSetSetFieldDataAsVariant(0, Variant(id));
                        if (!w->Find(stEQ, "ixId")) continue;
                        if (what == 1) {
                            w->DataSetSetFieldDataAsVariant(1, Variant(int32_t(r() % 40) - 20));
                            w->UpdateRecord();
                        } else {
                            w->DeleteRecord(nullptr);
                        }
                    }
                    if (undo) db->Rollback();
                    self.Send('k');
                }
            });
            ASSERT_EQ(child.Receive(), 'r');
            auto db = NewDatabase(copy.Path);
            db->SetLockRetryMaximum(2000);
            db->Open();
            auto c = std::make_unique<TZanDataSet>();
            c->SetDataBase(db.get());
            c->SetTableName("ints");
            c->SetIndexName(index);
            c->DataSetOpen();
            c->SetReadAheadBufferSize(16);
            const uint64_t fillsBefore = c->GetReadAheadFills();
            const bool desc = std::string(index) == "ixAdesc";
            // Ranged: A from -10 to 10 (a descending index starts at the higher end).
            auto inRange = [&](int32_t a) { return !ranged || (a >= -10 && a <= 10); };
            if (ranged) {
                uint8_t* lo = c->GetRangeRecBuf(rmRangeStart);
                uint8_t* hi = c->GetRangeRecBuf(rmRangeEnd);
                c->InitializeRangeBuffers(rmRangeStart);
                c->InitializeRangeBuffers(rmRangeEnd);
                c->DataSetSetFieldDataToRecBufAsVariant(lo, 1, Variant(int32_t(desc ? 10 : -10)));
                c->DataSetSetFieldDataToRecBufAsVariant(hi, 1, Variant(int32_t(desc ? -10 : 10)));
                c->SetRangeOn(true);
            }
            std::map<int32_t, int> seen;
            std::optional<int32_t> last;
            int rows = 0;
            c->SetReadAheadMode(raReadAheadUninitialized);
            for (bool ok = forwards ? c->DataSetFirst() : c->DataSetLast(); ok;
                 ok = forwards ? c->DataSetNext() : c->DataSetPrior()) {
                const int32_t id = c->DataSetGetFieldDataAsVariant(0).AsInteger();
                const int32_t a = c->DataSetGetFieldDataAsVariant(1).AsInteger();
                ++seen[id];
                EXPECT_TRUE(inRange(a)) << "id " << id << " A " << a;
                if (!touchable(id)) {
                    EXPECT_EQ(a, start[id]) << "id " << id;
                    EXPECT_EQ(c->DataSetGetFieldDataAsVariant(2).AsString(), PadFor(id, pad))
                        << "id " << id;
                    if (id % 4 == 1) {
                        EXPECT_EQ(ReadNote(*c), NoteOf(id)) << "id " << id;
                    }
                    for (int32_t i = 0; i < extraPads; ++i)
                        EXPECT_EQ(c->DataSetGetFieldDataAsVariant(4 + i).AsString(),
                                  PadFor(id + i, pad))
                            << "id " << id;
                }
                if (last) {
                    const bool ascending = forwards != desc;
                    EXPECT_TRUE(ascending ? a >= *last : a <= *last)
                        << index << " " << forwards << ": " << a << " after " << *last;
                }
                last = a;
                if (++rows % 5 == 0) {
                    child.Send('g');
                    ASSERT_EQ(child.Receive(), 'k');
                }
                if (rows > 5000) break;
            }
            c->ReleaseReadAheadMode();
            // The scan went by fillings.
            EXPECT_GT(c->GetReadAheadFills() - fillsBefore, 10u);
            child.Send('q');
            EXPECT_EQ(child.Wait(), 0);
            for (const auto& [id, a] : start)
                if (!touchable(id) && inRange(a)) {
                    EXPECT_EQ(seen[id], 1) << index << " " << forwards << " id " << id;
                }
            for (const auto& [id, n] : seen)
                if (!touchable(id)) {
                    EXPECT_EQ(n, 1) << index << " id " << id;
                }
            auto problems = CheckDatabase(*db->GetDiskMgr(), {&c->GetTableDef()});
            EXPECT_TRUE(problems.empty()) << ProblemText(problems);
        }
}

TEST(ZanIntKeyModel, ScansKeepUntouchedRowsWhileAnotherProcessWrites) {
    ScanWhileAnotherProcessWrites(180, 0, false);
}

// The same inside a range of the index.
TEST(ZanIntKeyModel, RangedScansKeepUntouchedRowsWhileAnotherProcessWrites) {
    ScanWhileAnotherProcessWrites(180, 1, true, true);
}

// Records of about 900 bytes cross pages; the writer's turns are sometimes rolled back.
TEST(ZanIntKeyModel, ScansOfRecordsCrossingPagesKeepUntouchedRowsThroughRollbacks) {
    ScanWhileAnotherProcessWrites(250, 3, true);
}

} // namespace
