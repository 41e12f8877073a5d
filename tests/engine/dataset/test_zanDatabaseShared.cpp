// Databases shared between processes (forked children with their own connections), and damaged
// headers and catalogue texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "dataset_test_support.h"

using namespace zan;

TEST(ZanDatabaseShared, TablesOfAnotherProcessShowAndUsersAreListed) {
    TTempFile file("shared_tables.zan");
    CreateDatabaseFile(file.Path, 1);
    TChildProcess b([&](TChildProcess& self) {
        auto db = NewDatabase(file.Path, 1);
        db->Open();
        const bool empty = TableNames(*db).empty();
        self.Send('c');
        if (self.Receive() != 'g') return 2;
        if (!empty || TableNames(*db) != std::vector<std::string>{"t1", "t2"}) return 3;
        TTableDef def;
        db->OpenTable("t2", def);
        if (def.GetInternalIndexDefs()->Count() != 2) return 4;
        db->CloseTable(def);
        self.Send(char('0' + ConnectionCount(*db)));
        return self.Receive() == 'q' ? 0 : 5;
    });
    ASSERT_EQ(b.Receive(), 'c');
    auto a = NewDatabase(file.Path, 1);
    a->Open();
    CreateUserTable(*a, "t1");
    CreateUserTable(*a, "t2");
    b.Send('g');
    EXPECT_EQ(b.Receive(), '2');
    // Both connections run as one OS user on one machine: one entry, two connections.
    TStringList users;
    a->GetCurrentUsers(users);
    ASSERT_EQ(users.Count(), 1);
    EXPECT_NE(users.Get(0).find(GetCurrentUser()), std::string::npos) << users.Get(0);
    EXPECT_EQ(ConnectionCount(*a), 2);
    b.Send('q');
    EXPECT_EQ(b.Wait(), 0);
}

TEST(ZanDatabaseShared, TwoProcessesDrawDistinctObjectIds) {
    TTempFile file("shared_ids.zan");
    CreateDatabaseFile(file.Path);
    auto creator = [&](char prefix) {
        return [&, prefix](TChildProcess&) {
            auto db = NewDatabase(file.Path);
            db->SetLockRetryMaximum(2000);
            db->Open();
            for (int i = 0; i < 100; ++i)
                CreateUserTable(*db, std::string(1, prefix) + std::to_string(i));
            return 0;
        };
    };
    TChildProcess one(creator('p'));
    TChildProcess two(creator('q'));
    EXPECT_EQ(one.Wait(), 0);
    EXPECT_EQ(two.Wait(), 0);
    auto db = NewDatabase(file.Path);
    db->Open();
    EXPECT_EQ(TableNames(*db).size(), 200u);
    std::set<int32_t> ids;
    for (const std::string& name : TableNames(*db))
        ids.insert(db->GetObjectID(name));
    EXPECT_EQ(ids.size(), 200u);
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), 200);
}

// Random bytes in the definition header (with and without a matching CRC) and in a stored
// definition text: connecting and reading the catalogue fail with engine errors only.
TEST(ZanDatabaseShared, RandomBytesInHeaderAndCatalogueGiveEngineErrorsOnly) {
    TTempFile file("fuzz_catalogue.zan");
    CreateFileWithTables(file.Path, {"target"});
    const std::vector<uint8_t> good = ReadFileBytes(file.Path);
    const std::string marker = "object TTableDef";
    auto found = std::search(good.begin(), good.end(), marker.begin(), marker.end());
    ASSERT_NE(found, good.end());
    size_t textStart = size_t(found - good.begin());
    // The user table's text is the second; search past the system ones.
    size_t textOffsets[3] = {textStart, 0, 0};
    for (int i = 1; i < 3; ++i) {
        auto next = std::search(good.begin() + long(textOffsets[i - 1]) + 1, good.end(),
                                marker.begin(), marker.end());
        textOffsets[i] = next == good.end() ? textOffsets[i - 1] : size_t(next - good.begin());
    }
    std::mt19937 random(5);
    std::map<int32_t, int> codes;
    for (int round = 0; round < 90; ++round) {
        std::vector<uint8_t> bytes = good;
        const int kind = round % 3;
        if (kind < 2) {
            for (int n = 0; n < 1 + round % 7; ++n)
                bytes[random() % 254] = uint8_t(random());
            if (kind == 1) PutLE32(bytes.data() + 250, TZanDBHeader::CalcCRC(bytes.data()));
        } else {
            const size_t at = textOffsets[random() % 3];
            for (int n = 0; n < 1 + round % 5; ++n)
                bytes[at + random() % 300] = uint8_t(random());
        }
        WriteFileBytes(file.Path, bytes);
        auto db = NewDatabase(file.Path);
        const int32_t code = ErrorCodeOf([&] {
            db->Open();
            TableNames(*db);
            TTableDef def;
            db->OpenTable("target", def);
            db->CloseTable(def);
            CreateUserTable(*db, "another");
        });
        ++codes[code];
        db->Close();
    }
    EXPECT_GT(codes[8961], 0); // the unfixed CRC
    WriteFileBytes(file.Path, good);
}
