// Databases shared between processes (forked children with their own connections), and damaged
// headers and catalogue texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <random>
#include <set>

#include "dataset_test_support.h"
#include "engine/storage/zanDisk.h"

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

// A temporary name's users file can be the users file of another database of the folder
// (shop.zan.tmp<pid> and shop.zan.old both use shop.zan.lck). Creating shop.zan, or opening it
// beside a dead process's temporary, must not remove that file while shop.zan.old is in use: a
// later connection would make a new one and neither its counts nor its locks would meet the
// first connection's. An idle users file of a dead temporary is still removed.
TEST(ZanDatabaseShared, TemporaryNamesLeaveAnotherDatabasesUsersFileInUse) {
    const std::string dir = TestTempPath("stale_users_dir");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string old = dir + "/shop.zan.old", shop = dir + "/shop.zan";
    const std::string shared = dir + "/shop.zan.lck";
    ASSERT_EQ(UsersFileNameFor(old), shared);
    ASSERT_EQ(UsersFileNameFor(shop + ".tmp1"), shared);
    const pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    const std::string deadTemp = shop + ".tmp" + std::to_string(static_cast<long>(dead));
    auto leaveTemp = [&] { std::ofstream(deadTemp) << "left by a killed creator"; };

    CreateDatabaseFile(old);
    auto a = NewDatabase(old);
    a->Open();
    leaveTemp();
    CreateDatabaseFile(shop); // removes the dead temporary and its own temporary's files
    EXPECT_FALSE(std::filesystem::exists(deadTemp));
    EXPECT_TRUE(std::filesystem::exists(shared));
    leaveTemp();
    NewDatabase(shop)->Open();
    EXPECT_FALSE(std::filesystem::exists(deadTemp));
    EXPECT_TRUE(std::filesystem::exists(shared));
    auto b = NewDatabase(old);
    b->Open();
    EXPECT_EQ(ConnectionCount(*b), 2);
    // The two connections meet in one lock space: a table one writes is refused to the other.
    CreateUserTable(*a, "t");
    auto openT = [](TZanDataBase& db) {
        auto t = std::make_unique<TZanTable>();
        t->SetDataBase(&db);
        t->SetTableName("t");
        t->Open();
        return t;
    };
    a->StartTransaction();
    auto ta = openT(*a);
    ta->Append();
    ta->FieldByName("Id")->SetAsInteger(1);
    ta->Post();
    auto tb = openT(*b);
    EXPECT_NE(ErrorCodeOf([&] { tb->EmptyTable(); }), 0);
    a->Rollback();
    tb->Close();
    ta->Close();
    b->Close();
    a->Close();

    // Idle: the dead temporary's users file goes with it.
    leaveTemp();
    std::ofstream(shared) << "";
    NewDatabase(shop)->Open();
    EXPECT_FALSE(std::filesystem::exists(deadTemp));
    EXPECT_FALSE(std::filesystem::exists(shared));
    std::filesystem::remove_all(dir);
}

// A database in use is never a dead creator's temporary, whatever its name: one called
// shop.zan.tmp<pid of a process that is gone> stays, with its journal, while a connection has
// it open, and goes once nobody has.
TEST(ZanDatabaseShared, DatabaseInUseUnderATemporaryNameStays) {
    const std::string dir = TestTempPath("temp_named_dir");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    const std::string shop = dir + "/shop.zan";
    const std::string named = shop + ".tmp" + std::to_string(static_cast<long>(dead));
    CreateDatabaseFile(named);
    auto a = NewDatabase(named);
    a->Open();
    CreateUserTable(*a, "t");
    CreateDatabaseFile(shop);
    EXPECT_TRUE(std::filesystem::exists(named));
    NewDatabase(shop)->Open();
    EXPECT_TRUE(std::filesystem::exists(named));
    EXPECT_EQ(TableNames(*a), std::vector<std::string>{"t"});
    auto b = NewDatabase(named);
    b->Open();
    EXPECT_EQ(ConnectionCount(*b), 2);
    EXPECT_EQ(TableNames(*b), std::vector<std::string>{"t"});
    b->Close();
    a->Close();
    NewDatabase(shop)->Open();
    EXPECT_FALSE(std::filesystem::exists(named));
    std::filesystem::remove_all(dir);
}
