// The row store against a model: random inserts, updates and deletes with unique-key clashes
// (refused with 9729 and nothing changed), blob texts, key-order scans; the file checked by the
// consistency checker after every round.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/dataset/zanRowStore.h"
#include "host/win/child_process.h"
#include "support/zanChecker.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

struct TModelRow {
    std::string Name;
    std::string Note;
};

void BuildModelTable(TTableDef& def, TEncryptionLevel level) {
    def.Clear();
    def.SetEncryptionLevel(level);
    def.SetEncrypted(level != encNone);
    AddTableField(def, "Serial", ftAutoInc);
    AddTableField(def, "Id", ftInteger);
    AddTableField(def, "Name", ftString, 21);
    AddTableField(def, "Note", ftMemo);
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
    def.SetUsesBlobs(true);
    AddTableIndex(def, "ixId", "Id", true, false);
    AddTableIndex(def, "ixName", "Name", true, true);
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

class ZanRowStoreModel : public ::testing::TestWithParam<TEncryptionLevel> {};

} // namespace

TEST_P(ZanRowStoreModel, RandomChangesMatchTheModel) {
    TTempFile file("rowstore.zan");
    TTestDatabase db(file.Path);
    db.Create();
    db.Open();
    TTableDef def;
    BuildModelTable(def, GetParam());
    def.SetTableName("model");
    db.UserTables().CreateTableDef("model", def);
    TZanRowStore store(db.UserTables(), &db.Disk(), "model", def);
    const TInternalFieldItem& fId = store.Field("Id");
    const TInternalFieldItem& fName = store.Field("name"); // case ignored
    EXPECT_EQ(ErrorCodeOf([&] { store.Field("none"); }), 8579);

    std::map<int32_t, TModelRow> model;
    std::mt19937 random(17);
    auto nameOf = [&](int32_t k) {
        std::string n = "name" + std::to_string(k % 60);
        return k % 3 == 0 ? Upper(n) : n; // clashes ignore case
    };
    auto noteOf = [&](int32_t k) {
        return k % 4 == 0 ? std::string() : std::string(size_t(k * 37 % 3000 + 1), char('a' + k % 26));
    };
    auto nameTaken = [&](const std::string& name, int32_t except) {
        for (const auto& [id, row] : model)
            if (id != except && Upper(row.Name) == Upper(name)) return true;
        return false;
    };
    auto find = [&](int32_t id) {
        TZanRow key = store.NewRow();
        RecordSetInteger(key.data(), fId, id);
        return store.Find("ixId", key);
    };
    int32_t lastSerial = 0;
    for (int round = 0; round < 6; ++round) {
        for (int step = 0; step < 120; ++step) {
            const int32_t id = int32_t(random() % 150);
            const int32_t k = int32_t(random() % 1000);
            const int op = int(random() % 3);
            const uint32_t address = find(id);
            ASSERT_EQ(address != 0, model.count(id) == 1) << id;
            if (op == 0 && address == 0) {
                const int32_t code = ErrorCodeOf([&] {
                    store.WithLock(true, [&] {
                        TZanRow row = store.NewRow();
                        RecordSetInteger(row.data(), fId, id);
                        RecordSetString(row.data(), fName, nameOf(k));
                        store.SetBlobText(row, "Note", noteOf(k));
                        store.Insert(row);
                        const int32_t serial = RecordGetInteger(row.data(), store.Field("Serial"));
                        EXPECT_EQ(serial, lastSerial + 1);
                        lastSerial = serial;
                    });
                });
                ASSERT_EQ(code, nameTaken(nameOf(k), -1) ? 9729 : 0) << nameOf(k);
                if (code == 0) model[id] = {nameOf(k), noteOf(k)};
            } else if (op == 1 && address != 0) {
                const int32_t code = ErrorCodeOf([&] {
                    store.WithLock(true, [&] {
                        TZanRow row = store.Read(address);
                        RecordSetString(row.data(), fName, nameOf(k));
                        store.SetBlobText(row, "Note", noteOf(k));
                        store.Update(address, row);
                    });
                });
                ASSERT_EQ(code, nameTaken(nameOf(k), id) ? 9729 : 0);
                if (code == 0) model[id] = {nameOf(k), noteOf(k)};
            } else if (op == 2 && address != 0) {
                store.WithLock(true, [&] { store.Delete(address); });
                model.erase(id);
            }
        }
        // Key order, contents and blobs as the model has them.
        std::vector<int32_t> ids;
        store.Scan("ixId", [&](uint32_t, const TZanRow& row) {
            const int32_t id = RecordGetInteger(row.data(), fId);
            ids.push_back(id);
            EXPECT_EQ(RecordGetString(row.data(), fName), model[id].Name);
            EXPECT_EQ(store.ReadBlobText(row, "Note"), model[id].Note);
            return true;
        });
        std::vector<int32_t> expected;
        for (const auto& [id, row] : model)
            expected.push_back(id);
        ASSERT_EQ(ids, expected);
        for (const auto& [id, row] : model) {
            TZanRow key = store.NewRow();
            RecordSetString(key.data(), fName, Upper(row.Name));
            EXPECT_EQ(store.Find("ixName", key), find(id));
        }
        auto problems = CheckDatabase(db.Disk(), {&store.Def()});
        ASSERT_TRUE(problems.empty()) << ProblemText(problems);
    }
    // A scan stops when asked; a change outside a write scope is refused.
    int seen = 0;
    store.Scan("ixName", [&](uint32_t, const TZanRow&) { return ++seen < 3; });
    EXPECT_EQ(seen, std::min<int>(3, int(model.size())));
    TZanRow row = store.NewRow();
    EXPECT_EQ(ErrorCodeOf([&] { store.SetBlobText(row, "Note", "x"); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] {
                  store.WithLock(false, [&] { store.WithLock(true, [] {}); });
              }),
              8581);
}

INSTANTIATE_TEST_SUITE_P(Levels, ZanRowStoreModel, ::testing::Values(encNone, encStrong),
                         [](const auto& info) { return info.param == encNone ? "Plain" : "Strong"; });
