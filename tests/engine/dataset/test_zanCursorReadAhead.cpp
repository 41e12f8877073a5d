// The cursor's read-ahead scan (fillings read together) against the row-by-row scan, on records
// stored at scattered places, while records are deleted, changed and added between fillings by
// another connection in this process or by another process.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dataset_test_support.h"

using namespace zan;

namespace {

std::unique_ptr<TZanDataSet> OpenPeople(TZanDataBase& db) {
    auto c = std::make_unique<TZanDataSet>();
    c->SetDataBase(&db);
    c->SetTableName("people");
    c->SetIndexName("ixId");
    c->DataSetOpen();
    return c;
}

void CreatePeople(TZanDataBase& db) {
    TFieldDefs fields;
    fields.Add("Id", ftInteger);
    fields.Add("Name", ftString, 24);
    fields.Add("Note", ftMemo);
    TIndexDefs indexes;
    indexes.Add("ixId", "Id", {ixUnique});
    TZanDataSet c;
    c.SetDataBase(&db);
    c.SetTableName("people");
    c.SetTableDef(false, fields, indexes);
    c.InternalCreateTable();
}

std::string NameFor(int32_t key, int32_t version) {
    return "n" + std::to_string(key) + "v" + std::to_string(version);
}

std::string NoteFor(int32_t key) {
    return key % 3 == 0 ? "note of " + std::to_string(key) : "";
}

std::string Note(TZanDataSet& c) {
    TMemoryStream s;
    bool isNull = false;
    c.DataSetGetFieldStream(2, isNull, s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.GetSize()));
}

// Applies one change: 'i' adds key, 'u' renames it, 'd' deletes it.
void ApplyChange(TZanDataSet& w, char op, int32_t key, int32_t version) {
    w.ClearRecord();
    w.DataSetSetFieldDataAsVariant(0, Variant(key));
    if (op == 'i') {
        w.DataSetSetFieldDataAsVariant(1, Variant(NameFor(key, version)));
        const std::string note = NoteFor(key);
        TMemoryStream s;
        if (!note.empty()) s.WriteBuffer(note.data(), int32_t(note.size()));
        w.DataSetSetFieldStream(2, note.empty(), s);
        w.AddRecord(false);
        return;
    }
    if (!w.Find(stEQ, "ixId")) throw std::runtime_error("no record " + std::to_string(key));
    if (op == 'u') {
        w.DataSetSetFieldDataAsVariant(1, Variant(NameFor(key, version)));
        w.UpdateRecord();
    } else {
        w.DeleteRecord(nullptr);
    }
}

// A file database with a people table of keys 2, 4, ... 2n, added in shuffled order so their
// records lie at scattered places; the model of its rows.
std::map<int32_t, std::string> FillPeople(const std::string& path, int32_t n, uint32_t seed) {
    CreateDatabaseFile(path);
    auto db = NewDatabase(path);
    db->Open();
    CreatePeople(*db);
    auto w = OpenPeople(*db);
    std::vector<int32_t> keys;
    for (int32_t k = 1; k <= n; ++k)
        keys.push_back(2 * k);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
    std::map<int32_t, std::string> model;
    db->StartTransaction();
    for (int32_t key : keys) {
        ApplyChange(*w, 'i', key, 0);
        model[key] = NameFor(key, 0);
    }
    db->Commit();
    return model;
}

using TChangeSink = std::function<void(char op, int32_t key, int32_t version)>;

// One scan in key order through reader, checked at every row against the model: each row is
// the model's next key after the last one, with its current name and note. Between rows,
// changes go to sink: only to keys at least `horizon` rows ahead (beyond any filling the reader
// holds) or, with behind, to keys before the row just read, so both ways of reading must see
// exactly the model. Without changes behind, each row's record number is its place in the scan.
// Answers the rows read.
std::vector<std::pair<int32_t, std::string>> ScanWithChanges(TZanDataSet& reader,
                                                             std::map<int32_t, std::string> model,
                                                             uint32_t seed, int32_t horizon,
                                                             bool behind, const TChangeSink& sink) {
    std::mt19937 rng(seed);
    std::vector<std::pair<int32_t, std::string>> rows;
    int32_t version = 0;
    int32_t last = 0;
    reader.SetReadAheadMode(raReadAheadUninitialized);
    for (bool ok = reader.DataSetFirst(); ok; ok = reader.DataSetNext()) {
        const int32_t key = reader.DataSetGetFieldDataAsVariant(0).AsInteger();
        const std::string name = reader.DataSetGetFieldDataAsVariant(1).AsString();
        const auto expected = model.upper_bound(last);
        if (expected == model.end() || expected->first != key || expected->second != name) {
            ADD_FAILURE() << "after key " << last << " read " << key << " " << name << ", expected "
                          << (expected == model.end() ? std::string("the end")
                                                      : std::to_string(expected->first) + " " +
                                                            expected->second);
            break;
        }
        if (key % 9 == 0) {
            EXPECT_EQ(Note(reader), NoteFor(key)) << "key " << key;
        }
        rows.emplace_back(key, name);
        if (!behind) {
            EXPECT_EQ(reader.ExtraRecNo(reader.GetRecBuf()), rows.size()) << "key " << key;
        }
        last = key;
        if (rng() % 4 != 0) continue;
        // Changes ahead, beyond the horizon.
        auto ahead = model.upper_bound(key);
        for (int32_t i = 0; i < horizon && ahead != model.end(); ++i)
            ++ahead;
        for (int32_t changes = int32_t(rng() % 4); changes > 0 && ahead != model.end(); --changes) {
            const uint32_t op = rng() % 3;
            const int32_t at = ahead->first;
            ++version;
            if (op == 0) {
                // A new key just past this one (odd keys are free until taken).
                const int32_t fresh = at + 1;
                if (model.count(fresh) != 0) continue;
                sink('i', fresh, version);
                model[fresh] = NameFor(fresh, version);
            } else if (op == 1) {
                sink('u', at, version);
                model[at] = NameFor(at, version);
            } else {
                ++ahead;
                sink('d', at, version);
                model.erase(at);
                continue;
            }
            for (uint32_t skip = rng() % 5; skip > 0 && ahead != model.end(); --skip)
                ++ahead;
        }
        // Changes behind: record numbers of the rows ahead move.
        if (behind && rng() % 3 == 0 && model.begin()->first < key) {
            const int32_t behind = model.begin()->first;
            ++version;
            if (rng() % 2 == 0) {
                sink('d', behind, version);
                model.erase(behind);
            } else {
                sink('u', behind, version);
                model[behind] = NameFor(behind, version);
            }
        }
    }
    reader.ReleaseReadAheadMode();
    EXPECT_EQ(model.upper_bound(last), model.end()) << "the scan stopped early at " << last;
    return rows;
}

} // namespace

TEST(ZanCursorReadAhead, FillingsReadTogetherMatchRowByRowWhileAnotherConnectionWrites) {
    for (const int32_t filling : {10, 23, 64}) {
        TTempFile file("readahead_model_" + std::to_string(filling) + ".zan");
        const std::map<int32_t, std::string> start = FillPeople(file.Path, 700, 5);
        std::vector<std::pair<int32_t, std::string>> byRow, byFilling;
        for (const bool readAhead : {false, true}) {
            // Each pass starts from the same file.
            TTempFile copy("readahead_model_copy.zan");
            std::filesystem::copy_file(file.Path, copy.Path,
                                       std::filesystem::copy_options::overwrite_existing);
            auto writerDb = NewDatabase(copy.Path);
            writerDb->Open();
            auto writer = OpenPeople(*writerDb);
            auto readerDb = NewDatabase(copy.Path);
            readerDb->Open();
            auto reader = OpenPeople(*readerDb);
            reader->SetClock([] { return uint64_t(1000); });
            reader->SetUseReadAheadBuffer(readAhead);
            reader->SetReadAheadBufferSize(filling);
            const uint64_t fillsBefore = reader->GetReadAheadFills();
            auto rows = ScanWithChanges(*reader, start, 17, filling + 1, filling != 23,
                                        [&](char op, int32_t key, int32_t version) {
                                            ApplyChange(*writer, op, key, version);
                                        });
            if (readAhead) {
                // The scan went by fillings, not row by row.
                EXPECT_GT(reader->GetReadAheadFills() - fillsBefore, 0u);
                EXPECT_LT(reader->GetReadAheadFills() - fillsBefore, rows.size() / 2);
                byFilling = std::move(rows);
            } else {
                byRow = std::move(rows);
            }
        }
        EXPECT_GT(byRow.size(), 600u);
        EXPECT_EQ(byFilling, byRow) << "filling of " << filling;
    }
}

TEST(ZanCursorReadAhead, FillingsReadTogetherMatchRowByRowWhileAnotherProcessWrites) {
    TTempFile file("readahead_fork.zan");
    const std::map<int32_t, std::string> start = FillPeople(file.Path, 500, 9);
    std::vector<std::pair<int32_t, std::string>> byRow, byFilling;
    for (const bool readAhead : {false, true}) {
        TTempFile copy("readahead_fork_copy.zan");
        std::filesystem::copy_file(file.Path, copy.Path,
                                   std::filesystem::copy_options::overwrite_existing);
        // The child applies each change it is sent (op, key, version as four bytes each) and
        // answers 'k'.
        TChildProcess child([&](TChildProcess& self) {
            auto db = NewDatabase(copy.Path);
            db->SetLockRetryMaximum(2000);
            db->Open();
            auto writer = OpenPeople(*db);
            self.Send('r');
            const auto receiveInt = [&] {
                uint32_t v = 0;
                for (int b = 0; b < 4; ++b)
                    v |= uint32_t(uint8_t(self.Receive())) << (8 * b);
                return int32_t(v);
            };
            for (;;) {
                const char op = self.Receive();
                if (op == 'q') return 0;
                if (op != 'i' && op != 'u' && op != 'd') return 2;
                const int32_t key = receiveInt();
                const int32_t version = receiveInt();
                ApplyChange(*writer, op, key, version);
                self.Send('k');
            }
        });
        ASSERT_EQ(child.Receive(), 'r');
        auto readerDb = NewDatabase(copy.Path);
        readerDb->SetLockRetryMaximum(2000);
        readerDb->Open();
        auto reader = OpenPeople(*readerDb);
        reader->SetClock([] { return uint64_t(1000); });
        reader->SetUseReadAheadBuffer(readAhead);
        reader->SetReadAheadBufferSize(16);
        const auto sendInt = [&](int32_t v) {
            for (int b = 0; b < 4; ++b)
                child.Send(char(uint8_t(uint32_t(v) >> (8 * b))));
        };
        auto rows = ScanWithChanges(*reader, start, 23, 17, true,
                                    [&](char op, int32_t key, int32_t version) {
                                        child.Send(op);
                                        sendInt(key);
                                        sendInt(version);
                                        ASSERT_EQ(child.Receive(), 'k') << op << " " << key;
                                    });
        child.Send('q');
        EXPECT_EQ(child.Wait(), 0);
        (readAhead ? byFilling : byRow) = std::move(rows);
    }
    EXPECT_GT(byRow.size(), 400u);
    EXPECT_EQ(byFilling, byRow);
}
