// A database file shared by processes of different users: the file (mode 0666) lies in a
// world-writable folder with the sticky bit, so only a file's owner may remove it. Side files
// another user's process made (the users file, the journal) must not lock out the others.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "dataset_test_support.h"
#include "engine/storage/zanJournal.h"

using namespace zan;

namespace {

constexpr uid_t C_OTHER_USER = 65534;

// A sticky world-writable folder holding a database of one table with three rows, mode 0666.
struct TSharedFolder {
    TSharedFolder() : Dir(TestTempPath("users_dir")) {
        std::filesystem::remove_all(Dir);
        std::filesystem::create_directories(Dir);
        chmod(Dir.c_str(), 01777);
        Path = Dir + "/shared.zan";
        CreateFileWithTables(Path, {"t"});
        auto db = NewDatabase(Path);
        db->Open();
        auto t = OpenUserTable(*db, "t");
        for (int32_t id = 1; id <= 3; ++id)
            AppendRow(*t, id);
        t->Close();
        db->Close();
        chmod(Path.c_str(), 0666);
    }
    ~TSharedFolder() { std::filesystem::remove_all(Dir); }

    std::unique_ptr<TZanTable> OpenUserTable(TZanDataBase& db, const std::string& name) {
        auto t = std::make_unique<TZanTable>();
        t->SetDataBase(&db);
        t->SetTableName(name);
        t->Open();
        return t;
    }
    static void AppendRow(TZanTable& t, int32_t id) {
        t.Append();
        t.FieldByName("Id")->SetAsInteger(id);
        t.FieldByName("Name")->SetAsString("row " + std::to_string(id));
        t.Post();
    }
    // In a child process of the other user: opens the database, adds a row and answers the
    // number of rows then (negative: the engine error code it failed with).
    int RowsAfterInsertAsOtherUser(int32_t id) {
        TChildProcess child([&](TChildProcess&) {
            if (setgid(C_OTHER_USER) != 0 || setuid(C_OTHER_USER) != 0) return 90;
            int32_t code = 0;
            int32_t rows = 0;
            code = ErrorCodeOf([&] {
                auto db = NewDatabase(Path);
                db->Open();
                auto t = OpenUserTable(*db, "t");
                AppendRow(*t, id);
                rows = t->GetRecordCount();
                t->Close();
                db->Close();
            });
            if (code != 0) std::fprintf(stderr, "error %d\n", int(code));
            return code != 0 ? 100 : rows;
        });
        return child.Wait();
    }

    std::string Dir, Path;
};

bool RunningAsRoot() {
    return geteuid() == 0;
}

} // namespace

// The other user opens the file while a root process is connected: the users file root made
// must be writable for the other user as the database file is.
TEST(DatabaseUsers, AnotherUserConnectsWhileRootIsConnected) {
    if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
    TSharedFolder f;
    auto db = NewDatabase(f.Path);
    db->Open();
    EXPECT_EQ(f.RowsAfterInsertAsOtherUser(4), 4);
    db->Close();
}

// A root process dies in the middle of a commit: its hot journal lies in the sticky folder,
// where the other user cannot remove it. The other user's connection restores it and goes on.
TEST(DatabaseUsers, AnotherUserRestoresAJournalRootLeft) {
    if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
    TSharedFolder f;
    TChildProcess writer([&](TChildProcess&) {
        auto db = NewDatabase(f.Path);
        db->Open();
        auto t = f.OpenUserTable(*db, "t");
        ZanArmCrashPoint(2); // the journal is written, the database not yet
        TSharedFolder::AppendRow(*t, 9);
        return 1;
    });
    EXPECT_NE(writer.Wait(), 1);
    ASSERT_EQ(InspectJournal(JournalFileNameFor(f.Path), f.Path).State, jsHot);
    unlink(UsersFileNameFor(f.Path).c_str());
    EXPECT_EQ(f.RowsAfterInsertAsOtherUser(4), 4);
    EXPECT_NE(InspectJournal(JournalFileNameFor(f.Path), f.Path).State, jsHot);
}
