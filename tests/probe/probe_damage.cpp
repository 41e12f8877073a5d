// Probes: damaged database files must give engine errors, never crashes, sanitizer reports or
// aborts. Each probe runs the use of the damaged file in a child process (gtest's EXPECT_EXIT),
// so a crash or an abort on the current code fails the probe instead of ending the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <cstring>
#include <string>
#include <vector>

#include "engine/dataset/dataset_test_support.h"
#include "engine/query/zanSQL.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanJournal.h"

using namespace zan;

namespace {

// A plain database file with the table "T" (Id integer, Name string(20), Note memo; a unique
// index on Id) and a few rows. The table definition is stored in the catalogue as text.
void MakeSampleFile(const std::string& path) {
    CreateDatabaseFile(path);
    auto db = NewDatabase(path);
    db->Open();
    {
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName("T");
        t.GetFieldDefs().Add("Id", ftInteger, 0, true);
        t.GetFieldDefs().Add("Name", ftString, 20);
        t.GetFieldDefs().Add("Note", ftMemo);
        t.GetFieldDefs().Add("Qty", ftInteger);
        t.GetIndexDefs().Add("ixId", "Id", {ixUnique});
        t.CreateTable();
        t.Open();
        for (int i = 1; i <= 20; ++i)
            t.AppendRecord({Variant(i), Variant("name" + std::to_string(i)),
                            Variant("memo " + std::to_string(i)), Variant(i * 10)});
        t.Close();
    }
    db->Close();
}

// Replaces the first occurrence of from (after the first occurrence of anchor) by to, which
// has the same length: the damage keeps the stored text's length, as a flipped byte would.
void PatchFile(const std::string& path, const std::string& anchor, const std::string& from,
               const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    std::string text(bytes.begin(), bytes.end());
    const size_t a = text.find(anchor);
    ASSERT_NE(a, std::string::npos) << anchor;
    const size_t at = text.find(from, a);
    ASSERT_NE(at, std::string::npos) << from;
    std::memcpy(bytes.data() + at, to.data(), to.size());
    WriteFileBytes(path, bytes);
}

// The stored definition of field Qty (ftInteger, in no index).
const char* const C_QTY_FIELD =
    "FieldName = 'Qty'\n      FieldNo = 4\n      FieldIndex = 3\n      DataType = ftInteger\n";

// The stored definition of field Id (ftInteger) says FieldSize = 4; the damage makes it 65536.
const char* const C_ID_FIELD =
    "FieldName = 'Id'\n      FieldNo = 1\n      FieldIndex = 0\n      DataType = ftInteger\n";

} // namespace

// A stored definition whose integer field claims a size of 65536 passes the layout check
// (TInternalFields::CheckLayout sizes fixed types by their type, not by the stored FieldSize),
// and the cursor then copies and clears FieldSize bytes in a record buffer of a few dozen bytes.
// Sound: opening or writing the table fails with an engine error (the file is damaged).
TEST(ProbeDamage, StoredIntegerFieldSizeOverflowsRecordBuffer) {
    TTempFile file("probe_damage_fieldsize.zan");
    MakeSampleFile(file.Path);
    PatchFile(file.Path, C_ID_FIELD, "      FieldSize = 4\n", "  FieldSize = 65536\n");
    EXPECT_EXIT(
        {
            int code = 0;
            try {
                auto db = NewDatabase(file.Path);
                db->Open();
                TZanTable t;
                t.SetDataBase(db.get());
                t.SetTableName("T");
                code = ErrorCodeOf([&] {
                    t.Open();
                    t.Append();
                    t.FieldByName("Id")->SetAsInteger(99);
                    t.FieldByName("Name")->SetAsString("x");
                    t.Post();
                });
                t.Close();
            } catch (const std::exception&) {
                _exit(3); // a non-engine exception escaped
            }
            _exit(code != 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

// The same damage reached through SQL: an INSERT into the table.
TEST(ProbeDamage, StoredIntegerFieldSizeOverflowsOnSqlInsert) {
    TTempFile file("probe_damage_fieldsize_sql.zan");
    MakeSampleFile(file.Path);
    PatchFile(file.Path, C_ID_FIELD, "      FieldSize = 4\n", "  FieldSize = 65536\n");
    EXPECT_EXIT(
        {
            int code = 0;
            try {
                auto db = NewDatabase(file.Path);
                db->Open();
                TZanQuery q;
                q.SetDataBase(db.get());
                code = ErrorCodeOf([&] {
                    q.GetSQL().SetText("INSERT INTO T (Id, Name) VALUES (99, 'x')");
                    q.ExecSQL();
                });
            } catch (const std::exception&) {
                _exit(3);
            }
            _exit(code != 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

// A stored definition the engine cannot read (one bit flipped in an enumeration name) makes the
// catalogue raise 8581 while the SQL text of a query is set: that text change runs the query's validation
// from the string list's update guard destructor (host/rtl/StringList.cpp TUpdateGuard), so the
// engine error leaves a destructor and std::terminate aborts the process.
// Sound: the engine error (8581) reaches the caller of SetText / Open.
TEST(ProbeDamage, UnreadableDefinitionAbortsOnQueryText) {
    TTempFile file("probe_damage_def.zan");
    MakeSampleFile(file.Path);
    // One flipped bit: "ftInteger" becomes "fuInteger" ('t' ^ 0x01).
    PatchFile(file.Path, C_ID_FIELD, "DataType = ftInteger", "DataType = fuInteger");
    EXPECT_EXIT(
        {
            int code = 0;
            try {
                auto db = NewDatabase(file.Path);
                db->Open();
                TZanQuery q;
                q.SetDataBase(db.get());
                code = ErrorCodeOf([&] {
                    q.GetSQL().SetText("SELECT * FROM T");
                    q.Open();
                });
            } catch (const std::exception&) {
                _exit(3);
            }
            _exit(code != 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

// The same abort without a damaged table: the query's database file is damaged (its definition
// header fails its checksum), so the connect that the SQL text change makes raises 8961 inside
// the same destructor. Sound: 8961 reaches the caller.
TEST(ProbeDamage, DamagedHeaderAbortsOnQueryTextOfDisconnectedDatabase) {
    TTempFile file("probe_damage_hdr.zan");
    MakeSampleFile(file.Path);
    std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    bytes[10] ^= 0x40; // inside the database definition header (bytes 0-253, CRC at 250)
    WriteFileBytes(file.Path, bytes);
    EXPECT_EXIT(
        {
            int code = 0;
            try {
                auto db = NewDatabase(file.Path);
                TZanQuery q;
                q.SetDataBase(db.get());
                code = ErrorCodeOf([&] {
                    q.GetSQL().SetText("SELECT * FROM T");
                    q.Open();
                });
            } catch (const std::exception&) {
                _exit(3);
            }
            _exit(code != 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

// A stored definition whose integer field Id now says ftBoolean (same record layout: the layout
// check sizes a Boolean by its type, 1 byte, and accepts it) keeps FieldSize = 4; reading the
// field copies 4 bytes into the Boolean field's 1-byte buffer (TBooleanField::GetAsBooleanImpl):
// a stack overflow on a plain read. Sound: the open or the read fails with an engine error.
TEST(ProbeDamage, StoredFieldTypeChangedOverflowsOnRead) {
    TTempFile file("probe_damage_fieldtype.zan");
    MakeSampleFile(file.Path);
    PatchFile(file.Path, C_ID_FIELD, "DataType = ftInteger", "DataType = ftBoolean");
    EXPECT_EXIT(
        {
            int code = 0;
            try {
                auto db = NewDatabase(file.Path);
                db->Open();
                TZanTable t;
                t.SetDataBase(db.get());
                t.SetTableName("T");
                code = ErrorCodeOf([&] {
                    t.Open();
                    t.First();
                    for (int i = 0; i < t.GetFields().Count(); ++i)
                        (void)t.GetFields()[i]->GetAsString();
                });
                t.Close();
            } catch (const std::exception&) {
                _exit(3);
            }
            _exit(code != 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

// A journal beside the file with a valid header that asks to cut the database to an old size of
// 0 (no records, truncate flag, fixed-region checksums of the file as it is). No commit can have
// started from an empty file: the five reserved pages and the first map page always exist, so
// the old size is impossible. Sound: the journal is judged damaged, the open fails with 8962 and
// the database file keeps its bytes. Seen: the open restores it as hot and truncates the
// database file to 0 bytes (every table lost); the journal is removed.
TEST(ProbeDamage, JournalWithOldSizeZeroTruncatesDatabase) {
    TTempFile file("probe_damage_jr0.zan");
    MakeSampleFile(file.Path);
    const std::vector<uint8_t> before = ReadFileBytes(file.Path);
    ASSERT_GT(before.size(), 6u * 4096u);
    TJournalHeader h;
    h.PageSize = 4096;
    h.Nonce = 1;
    h.RecordCount = 0;
    h.JournalLength = ZanJournalHeaderSize;
    h.OldSize = 0;
    h.Truncate = true;
    h.FixedCRCBefore = h.FixedCRCAfter = FixedRegionsCRC(before.data());
    std::vector<uint8_t> journal(ZanJournalHeaderSize);
    h.Encode(journal.data());
    const std::string journalPath = JournalFileNameFor(file.Path);
    WriteFileBytes(journalPath, journal);
    EXPECT_EQ(InspectJournal(journalPath, file.Path).State, jsDamaged);
    auto db = NewDatabase(file.Path);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }, &message), 8962) << message;
    db->Close();
    EXPECT_EQ(ReadFileBytes(file.Path).size(), before.size());
    unlink(journalPath.c_str());
}


// A record whose stored date (a double, days since 1899-12-30) was damaged into a NaN: reading
// the field as text raises EConvertError "Invalid argument to date decode" from the run-time
// layer, not an engine error (zansql prints it as "error 0"). Sound: the engine refuses the
// damaged value with an engine error (or reads it without raising); no non-engine exception.
TEST(ProbeDamage, DamagedDateValueRaisesNonEngineException) {
    TTempFile file("probe_damage_date.zan");
    CreateDatabaseFile(file.Path);
    {
        auto db = NewDatabase(file.Path);
        db->Open();
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName("D");
        t.GetFieldDefs().Add("Id", ftInteger);
        t.GetFieldDefs().Add("Day", ftDate);
        t.CreateTable();
        t.Open();
        t.Append();
        t.FieldByName("Id")->SetAsInteger(424242);
        t.FieldByName("Day")->SetAsString("2024-05-06");
        t.Post();
        t.Close();
        db->Close();
    }
    // The record: Id (int32 424242) followed by the date's 8 bytes.
    std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    const uint8_t id[4] = {0x32, 0x79, 0x06, 0x00};
    const auto at = std::search(bytes.begin(), bytes.end(), id, id + 4);
    ASSERT_NE(at, bytes.end());
    const uint8_t nan[8] = {0, 0, 0, 0, 0, 0, 0xF8, 0x7F};
    std::copy(nan, nan + 8, at + 4);
    WriteFileBytes(file.Path, bytes);
    auto db = NewDatabase(file.Path);
    db->Open();
    TZanTable t;
    t.SetDataBase(db.get());
    t.SetTableName("D");
    bool nonEngine = false;
    std::string what;
    try {
        ErrorCodeOf([&] {
            t.Open();
            t.First();
            EXPECT_EQ(t.FieldByName("Id")->GetAsInteger(), 424242);
            (void)t.FieldByName("Day")->GetAsString();
        });
    } catch (const std::exception& e) {
        nonEngine = true;
        what = e.what();
    }
    EXPECT_FALSE(nonEngine) << what;
    t.Close();
}

// The users file beside the database (shop.zan -> shop.lck) is a symlink to another file. A
// plain open and read of the database follows the link (TDBUserMonitor::Open opens the path
// read-write without refusing links) and writes user entries into the link's target: here a
// file of someone else's, grown from 31 bytes to 8 KiB. With the link pointing at the database
// file itself the same read destroys the database. Sound: the side file is refused like a
// linked journal (an engine error, or no users file), and the target is left untouched.
TEST(ProbeDamage, UsersFileSymlinkWritesIntoItsTarget) {
    TTempFile file("probe_damage_lck.zan");
    TTempFile victim("probe_damage_lck_victim.txt");
    MakeSampleFile(file.Path);
    const std::string text = "precious data that is not ours";
    WriteFileBytes(victim.Path, std::vector<uint8_t>(text.begin(), text.end()));
    const std::string users = UsersFileNameFor(file.Path);
    unlink(users.c_str());
    ASSERT_EQ(symlink(victim.Path.c_str(), users.c_str()), 0);
    {
        auto db = NewDatabase(file.Path);
        ErrorCodeOf([&] {
            db->Open();
            TZanTable t;
            t.SetDataBase(db.get());
            t.SetTableName("T");
            t.Open();
            t.First();
            t.Close();
            db->Close();
        });
    }
    const std::vector<uint8_t> after = ReadFileBytes(victim.Path);
    EXPECT_EQ(after.size(), text.size()) << "the link's target was written";
    EXPECT_TRUE(std::string(after.begin(), after.end()) == text);
    unlink(users.c_str());
}

// The same link pointing at the database file: a read-only session overwrites the database.
TEST(ProbeDamage, UsersFileSymlinkToDatabaseDestroysIt) {
    TTempFile file("probe_damage_lck_self.zan");
    MakeSampleFile(file.Path);
    const std::vector<uint8_t> before = ReadFileBytes(file.Path);
    const std::string users = UsersFileNameFor(file.Path);
    unlink(users.c_str());
    ASSERT_EQ(symlink(file.Path.c_str(), users.c_str()), 0);
    {
        auto db = NewDatabase(file.Path);
        ErrorCodeOf([&] {
            db->Open();
            TZanTable t;
            t.SetDataBase(db.get());
            t.SetTableName("T");
            t.Open();
            t.First();
            t.Close();
            db->Close();
        });
    }
    unlink(users.c_str());
    EXPECT_TRUE(ReadFileBytes(file.Path) == before) << "the database file was written";
}

namespace {

// A file with tables A and B (Id integer, Note memo), one row each: A 515151 with 500 "A"s,
// B 424242 with 500 "B"s.
void MakeTwoMemoTables(const std::string& path) {
    CreateDatabaseFile(path);
    auto db = NewDatabase(path);
    db->Open();
    for (const char* name : {"A", "B"}) {
        TZanTable t;
        t.SetDataBase(db.get());
        t.SetTableName(name);
        t.GetFieldDefs().Add("Id", ftInteger);
        t.GetFieldDefs().Add("Note", ftMemo);
        t.CreateTable();
        t.Open();
        t.Append();
        t.FieldByName("Id")->SetAsInteger(name[0] == 'A' ? 515151 : 424242);
        t.FieldByName("Note")->SetAsString(std::string(500, name[0]));
        t.Post();
        t.Close();
    }
    db->Close();
}

// The offset of a record's Id value (int32) in the file.
size_t RecordOffset(const std::vector<uint8_t>& bytes, int32_t id) {
    uint8_t key[4];
    std::memcpy(key, &id, 4);
    const auto at = std::search(bytes.begin(), bytes.end(), key, key + 4);
    return at == bytes.end() ? std::string::npos : size_t(at - bytes.begin());
}

std::string ReadNote(TZanDataBase& db, const char* table, std::string* error) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(table);
    std::string note;
    ErrorCodeOf(
        [&] {
            t.Open();
            t.First();
            note = t.FieldByName("Note")->GetAsString();
        },
        error);
    t.Close();
    return note;
}

} // namespace

// B's record has its memo's blob head damaged to name A's first blob block (the 4 bytes after
// Id: head, then length 500). Reading B silently answers A's memo; worse, editing B's memo
// rewrites the chain in place (TBlobInterface::EditBlob writes old[i] without checking that the
// block belongs to B's blob store, which DeleteBlob's release does check: "Block ... does not
// belong to owner"), so the post succeeds and A's memo block is overwritten: A's row is now
// damaged (8581 on read), and no error was ever raised. Sound: the edit fails with an engine
// error (8962/8963) and A's memo keeps its 500 "A"s.
TEST(ProbeDamage, DamagedBlobHeadEditOverwritesAnotherTablesMemo) {
    TTempFile file("probe_damage_blobhead.zan");
    MakeTwoMemoTables(file.Path);
    std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    const size_t a = RecordOffset(bytes, 515151), b = RecordOffset(bytes, 424242);
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    uint32_t lengthA = 0, lengthB = 0;
    std::memcpy(&lengthA, bytes.data() + a + 8, 4);
    std::memcpy(&lengthB, bytes.data() + b + 8, 4);
    ASSERT_EQ(lengthA, 500u);
    ASSERT_EQ(lengthB, 500u);
    std::memcpy(bytes.data() + b + 4, bytes.data() + a + 4, 4); // B's head := A's head
    WriteFileBytes(file.Path, bytes);

    auto db = NewDatabase(file.Path);
    db->Open();
    std::string message;
    const int32_t code = ErrorCodeOf(
        [&] {
            TZanTable t;
            t.SetDataBase(db.get());
            t.SetTableName("B");
            t.Open();
            t.First();
            t.Edit();
            t.FieldByName("Note")->SetAsString("overwritten through B");
            t.Post();
            t.Close();
        },
        &message);
    std::string errorA;
    const std::string noteA = ReadNote(*db, "A", &errorA);
    EXPECT_EQ(noteA, std::string(500, 'A')) << "A's memo after B's edit; A's read error: "
                                            << errorA << "; B's edit answered " << code << " "
                                            << message;
    EXPECT_NE(code, 0) << "the edit through a damaged blob head succeeded";
}

// A file cut at a page boundary (the last pages lost, as a truncated copy): the table cursor
// reads the table through to an engine error (9217), but "SELECT * FROM T3" through a query
// never ends: the result set grows without bound (seen: about 3 MB/s of memory, no output,
// killed after minutes). Each cut runs in a child with a 90 s alarm (the first cut found ends the probe). Sound: the query ends with
// the rows it read or an engine error.
TEST(ProbeDamage, TruncatedFileSelectNeverEnds) {
    TTempFile file("probe_damage_trunc.zan");
    CreateDatabaseFile(file.Path);
    {
        auto db = NewDatabase(file.Path);
        db->Open();
        TZanQuery q;
        q.SetDataBase(db.get());
        auto exec = [&](const std::string& sql) {
            q.GetSQL().SetText(sql);
            q.ExecSQL();
        };
        exec("CREATE TABLE T3 (a INTEGER NOT NULL, s VARCHAR(100), PRIMARY KEY (a))");
        for (int i = 1; i <= 1024; ++i)
            exec("INSERT INTO T3 VALUES (" + std::to_string(i * 2) + ", '" +
                 std::string(20 + i % 40, char('a' + i % 26)) + "')");
        q.Close();
        db->Close();
    }
    const std::vector<uint8_t> good = ReadFileBytes(file.Path);
    const size_t pages = good.size() / 4096;
    int hung = 0;
    std::string cuts;
    for (size_t lost = 1; lost <= 24 && lost + 7 < pages; ++lost) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + (pages - lost) * 4096);
        WriteFileBytes(file.Path, cut);
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(90);
            try {
                auto db = NewDatabase(file.Path);
                ErrorCodeOf([&] {
                    db->Open();
                    TZanQuery q;
                    q.SetDataBase(db.get());
                    q.GetSQL().SetText("SELECT * FROM T3");
                    q.Open();
                    q.Close();
                });
            } catch (const std::exception&) {
            }
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
            ++hung;
            cuts += " " + std::to_string(lost);
            break; // one is enough
        }
    }
    EXPECT_EQ(hung, 0) << "pages lost at the end for which the SELECT never ended:" << cuts;
}

