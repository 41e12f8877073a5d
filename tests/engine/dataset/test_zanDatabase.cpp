// The database component: definition header, properties, create, connect failures, catalogue.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <zlib.h>

#include "dataset_test_support.h"
#include "engine/storage/zanCommon.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

// Rewrites the definition header of a file with a valid CRC after changing it.
void ForgeHeader(const std::string& path, const std::function<void(TZanDBHeader&)>& change) {
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    TZanDBHeader h;
    h.FromBytes(bytes.data());
    change(h);
    h.ToBytes(bytes.data());
    PutLE32(bytes.data() + 250, TZanDBHeader::CalcCRC(bytes.data()));
    WriteFileBytes(path, bytes);
}

// A connection that opens the file exclusively; it must find itself the only connection.
void ExpectFileFree(const std::string& path) {
    auto other = NewDatabase(path);
    other->SetExclusive(true);
    other->Open();
    EXPECT_EQ(ConnectionCount(*other), 1);
    other->Close();
}

} // namespace

TEST(ZanDBHeader, LayoutCrcAndBoundedTexts) {
    TZanDBHeader h;
    h.Name = "shop.zan";
    h.OSDetails = "XX:  0.6.1.0  Linux";
    h.Created = 45000.5;
    h.Owner = "anna";
    h.SortOrder = 1;
    h.Version = "1.43.02";
    h.SecurityLevel = 2;
    uint8_t b[254];
    h.ToBytes(b);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 's');
    EXPECT_EQ(b[3], 0);
    EXPECT_EQ(b[2 + 2 * 8], 0); // terminator after "shop.zan"
    EXPECT_EQ(b[64], 'X');
    double created;
    std::memcpy(&created, b + 126, 8);
    EXPECT_EQ(created, 45000.5);
    EXPECT_EQ(b[134], 'a');
    EXPECT_EQ(GetLE32(b + 196), 0u);
    EXPECT_EQ(GetLE32(b + 200), 1u);
    EXPECT_EQ(b[204], '1');
    EXPECT_EQ(b[206], '.');
    EXPECT_EQ(GetLE32(b + 246), 2u);
    // The CRC: CRC-32 of the bytes 0..255 and then the header with a zero CRC field.
    std::vector<uint8_t> buffer(510);
    for (int i = 0; i < 256; ++i)
        buffer[size_t(i)] = uint8_t(i);
    std::memcpy(buffer.data() + 256, b, 254);
    const uint32_t expected = uint32_t(crc32(0, buffer.data(), 510));
    EXPECT_EQ(TZanDBHeader::CalcCRC(b), expected);
    PutLE32(b + 250, 0xDEADBEEF); // the stored CRC does not enter its own computation
    EXPECT_EQ(TZanDBHeader::CalcCRC(b), expected);

    TZanDBHeader back;
    back.FromBytes(b);
    EXPECT_EQ(back.Name, h.Name);
    EXPECT_EQ(back.Owner, "anna");
    EXPECT_EQ(back.Version, "1.43.02");
    EXPECT_EQ(back.SortOrder, 1u);

    // Writers cut at 29 units (19 for the version), never inside a surrogate pair.
    struct TCut {
        std::string In, Out;
    } cuts[] = {{std::string(40, 'n'), std::string(29, 'n')},
                {std::string(28, 'n') + "\xF0\x9F\x98\x80", std::string(28, 'n')},
                {std::string(27, 'n') + "\xF0\x9F\x98\x80", std::string(27, 'n') + "\xF0\x9F\x98\x80"},
                {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"}};
    for (const TCut& c : cuts) {
        h.Name = c.In;
        h.ToBytes(b);
        back.FromBytes(b);
        EXPECT_EQ(back.Name, c.Out) << c.In;
    }
    h.Version = std::string(25, '9');
    h.ToBytes(b);
    back.FromBytes(b);
    EXPECT_EQ(back.Version, std::string(19, '9'));

    // Readers stop at the field end without a terminator; lone surrogates become "?".
    for (int i = 0; i < 31; ++i) {
        b[2 + 2 * i] = 'A';
        b[3 + 2 * i] = 0;
    }
    b[64] = 0x00; // a lone high surrogate, then a lone low one, in the OS field
    b[65] = 0xD8;
    b[66] = 'x';
    b[67] = 0;
    b[68] = 0x00;
    b[69] = 0xDC;
    b[70] = 0;
    b[71] = 0;
    for (int i = 0; i < 21; ++i) {
        b[204 + 2 * i] = '7';
        b[205 + 2 * i] = 0;
    }
    back.FromBytes(b);
    EXPECT_EQ(back.Name, std::string(31, 'A'));
    EXPECT_EQ(back.OSDetails, "?x?");
    EXPECT_EQ(back.Version, std::string(21, '7'));
}

TEST(ZanDBHeader, VersionParse) {
    struct TCase {
        const char* Text;
        int32_t Major, Minor, Level;
    } cases[] = {{"1.43.02", 1, 43, 2}, {"1.43.03", 1, 43, 3}, {"1.5", 1, 9, 5},
                 {"7", 9, 9, 7},        {"a.b.c", 0, 0, 0},    {"2.1.0.4", 2, 1, 0},
                 {"", 9, 9, 0}};
    for (const TCase& c : cases) {
        int32_t major = 9, minor = 9, level = 9;
        ParseZanVersion(c.Text, major, minor, level);
        EXPECT_EQ(major, c.Major) << c.Text;
        EXPECT_EQ(minor, c.Minor) << c.Text;
        EXPECT_EQ(level, c.Level) << c.Text;
    }
}

TEST(ZanDatabase, VersionTableOnConnect) {
    TTempFile file("version.zan");
    CreateDatabaseFile(file.Path);
    const std::vector<uint8_t> good = ReadFileBytes(file.Path);
    struct TCase {
        const char* Version;
        int32_t Code;
    } cases[] = {{"1.43.02", 0}, {"1.43.03", 12041}, {"1.5", 12041}, {"1.43.2", 0},
                 {"1.x.02", 0}};
    for (const TCase& c : cases) {
        WriteFileBytes(file.Path, good);
        ForgeHeader(file.Path, [&](TZanDBHeader& h) { h.Version = c.Version; });
        auto db = NewDatabase(file.Path);
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }, &message), c.Code) << c.Version;
        EXPECT_EQ(db->GetConnected(), c.Code == 0);
        if (c.Code == 12041) {
            EXPECT_NE(message.find(std::string("Current database disk format is ") + c.Version),
                      std::string::npos)
                << message;
        }
        if (c.Code == 0) {
            EXPECT_EQ(db->GetDataFileVersion(), c.Version);
        }
        db->Close();
        WriteFileBytes(file.Path, good);
        ExpectFileFree(file.Path);
    }
}

// A file of minor version 1 has no generator table: every generator call says so.
TEST(ZanDatabase, GeneratorsNeedMinorVersionTwo) {
    TTempFile file("minor1.zan");
    CreateDatabaseFile(file.Path);
    ForgeHeader(file.Path, [](TZanDBHeader& h) { h.Version = "1.1.02"; });
    auto db = NewDatabase(file.Path);
    db->Open();
    TStringList names;
    int32_t value = 0, step = 0;
    const std::vector<std::function<void()>> calls{
        [&] { db->CreateGenerator("G", 1, 1); },
        [&] { db->DeleteGenerator("G"); },
        [&] { db->GetGeneratorValue("G", false); },
        [&] { db->GetGeneratorValue("G", true); },
        [&] { db->GetGeneratorNames(names); },
        [&] { db->QueryGenerator("G", value, step); },
        [&] { db->InternalGetGenerator("G", true); }};
    for (size_t i = 0; i < calls.size(); ++i) {
        std::string message;
        EXPECT_EQ(ErrorCodeOf(calls[i], &message), 12041) << i;
        EXPECT_NE(message.find("This database version does not support this operation 2"),
                  std::string::npos)
            << message;
    }
    db->Close();
}

TEST(ZanDatabase, HeaderByteFlipsGiveCorruptHeader) {
    TTempFile file("flips.zan");
    CreateDatabaseFile(file.Path);
    const std::vector<uint8_t> good = ReadFileBytes(file.Path);
    for (size_t offset = 0; offset < 254; offset += 7) {
        std::vector<uint8_t> bytes = good;
        bytes[offset] ^= 0x40;
        WriteFileBytes(file.Path, bytes);
        auto db = NewDatabase(file.Path);
        EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }), 8961) << offset;
        EXPECT_FALSE(db->GetConnected());
    }
    WriteFileBytes(file.Path, good);
    ExpectFileFree(file.Path);
    // Short, empty and foreign files, a directory and a missing file.
    struct TBad {
        std::vector<uint8_t> Bytes;
        int32_t Code;
    } bad[] = {{std::vector<uint8_t>(good.begin(), good.begin() + 200), 0},
               {{}, 0},
               {std::vector<uint8_t>(50000, 'x'), 0}};
    for (const TBad& b : bad) {
        WriteFileBytes(file.Path, b.Bytes);
        auto db = NewDatabase(file.Path);
        EXPECT_NE(ErrorCodeOf([&] { db->Open(); }), 0) << b.Bytes.size();
        EXPECT_FALSE(db->GetConnected());
    }
    auto dir = NewDatabase(TestTempPath(""));
    EXPECT_EQ(ErrorCodeOf([&] { dir->Open(); }), 9988);
    auto missing = NewDatabase(TestTempPath("missing.zan"));
    EXPECT_EQ(ErrorCodeOf([&] { missing->Open(); }), 9988);
}

TEST(ZanDatabase, PropertiesAndMasterKeyRules) {
    TTempFile file("props.zan");
    CreateDatabaseFile(file.Path);
    TZanDataBase db;
    db.SetDataBaseName(file.Path);
    EXPECT_EQ(db.GetDataBaseName(), ExtractFileName(file.Path));
    EXPECT_EQ(db.GetDirectory(), ExtractFilePath(file.Path));
    EXPECT_EQ(db.GetDirectory().back(), '/');
    db.SetDirectory("/tmp");
    EXPECT_EQ(db.GetDirectory(), "/tmp/");
    db.SetDataBaseName(file.Path);
    db.SetVersion("9.9.9");
    EXPECT_EQ(db.GetVersion(), "1.43.02");

    // Master key: empty or 4..100 characters; the error names the property, never the key.
    GDBLogger().Clear();
    struct TKey {
        std::string Key;
        int32_t Code;
    } keys[] = {{"", 0},
                {"abc", 9602},
                {"abcd", 0},
                {std::string(100, 'k'), 0},
                {std::string(101, 'k'), 9602},
                {std::string(50, '\xC3') , 0}, // not characters: 50 lead bytes count as 50
                {std::string("ab\0cd", 5), 0},
                {"\xC3\xA9\xC3\xA9\xC3\xA9", 9602}}; // 3 characters in 6 bytes
    for (const TKey& k : keys) {
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { db.SetMasterKey(k.Key); }, &message), k.Code) << k.Key;
        if (k.Code != 0) {
            EXPECT_NE(message.find("MasterKey is not a valid value (min. length 4, max. length 100)"),
                      std::string::npos)
                << message;
            EXPECT_EQ(message.find(k.Key), std::string::npos);
        }
    }
    db.SetMasterKey("secret-7");
    db.SetMasterKey("");
    for (const std::string& line : GDBLogger().GetLines()) {
        EXPECT_EQ(line.find("abc\""), std::string::npos) << line;
        EXPECT_EQ(line.find(std::string(101, 'k')), std::string::npos);
    }

    // Security implies encryption.
    db.SetEnforceSecurity(true);
    EXPECT_TRUE(db.GetUseEncryption());
    EXPECT_EQ(ErrorCodeOf([&] { db.SetUseEncryption(false); }), 10766);
    db.SetEnforceSecurity(false);
    db.SetUseEncryption(false);

    // Every setter that changes the file or the login is refused while connected.
    db.Open();
    const std::function<void()> setters[] = {
        [&] { db.SetDataBaseName("x.zan"); }, [&] { db.SetDirectory("/tmp"); },
        [&] { db.SetExclusive(true); },       [&] { db.SetReadOnly(true); },
        [&] { db.SetDefaultSortOrder(soASCII); }, [&] { db.SetEnforceSecurity(true); },
        [&] { db.SetUseEncryption(true); },   [&] { db.SetMasterKey("abcdef"); },
        [&] { db.SetDBOwner("bob"); },        [&] { db.CreateDatabase(); }};
    for (const auto& set : setters)
        EXPECT_EQ(ErrorCodeOf(set), 10120);
    db.SetLockRetryMaximum(3); // passed on at once, allowed
    EXPECT_EQ(db.GetDataFileVersion(), "1.43.02");
    EXPECT_EQ(ErrorCodeOf([&] { db.ResetDBHeader(); }), 10121);
    EXPECT_GT(db.DatabaseSize(), 5u * 4096);
    db.FlushBuffers();
    db.Close();
    EXPECT_EQ(db.GetDataFileVersion(), "");
    EXPECT_EQ(ErrorCodeOf([&] { db.FlushBuffers(); }), 10113);

    db.SetExclusive(true);
    db.Open();
    db.ResetDBHeader();
    db.SetLocked(true);
    EXPECT_TRUE(db.GetDiskMgr()->GetHeaderWriteLocked());
    db.Close();
    EXPECT_FALSE(db.GetLocked());
    EXPECT_EQ(ErrorCodeOf([&] { db.SetLocked(true); }), 10113);
    db.Open(); // the rewritten header is valid
    CreateUserTable(db, "kept");
    db.Close();

    // Read-only: the catalogue reads, changes fail with engine errors.
    db.SetExclusive(false);
    db.SetReadOnly(true);
    db.Open();
    EXPECT_EQ(TableNames(db), std::vector<std::string>{"kept"});
    TTableDef def;
    db.OpenTable("kept", def);
    db.CloseTable(def);
    TTableDef more;
    BuildUserTableDef(more, "more");
    EXPECT_NE(ErrorCodeOf([&] { db.CreateTable(more, false); }), 0);
    db.Close();
}

TEST(ZanDatabase, MemorySpellings) {
    for (const char* name : {"memory", "Memory", "MEMORY"}) {
        TZanDataBase db;
        db.SetDataBaseName(name);
        EXPECT_EQ(db.GetDataBaseName(), "MEMORY");
        db.SetEnforceSecurity(true);
        db.SetMasterKey("");
        db.CreateDatabase(); // creates nothing
        db.Open();
        EXPECT_TRUE(db.GetConnected());
        EXPECT_FALSE(db.GetEnforceSecurity());
        EXPECT_EQ(db.GetDBPrivilegeMask(), C_ALL_PRIVILEGES);
        EXPECT_EQ(db.DatabaseSize(), 0u);
        TStringList users;
        EXPECT_EQ(ErrorCodeOf([&] { db.GetCurrentUsers(users); }), 10501);
        EXPECT_EQ(ErrorCodeOf([&] { db.ResetDBHeader(); }), 10880);
        db.Close();
    }
    EXPECT_FALSE(FileExists("MEMORY"));
    EXPECT_FALSE(FileExists("memory"));
}

TEST(ZanDatabase, CreateWritesHeaderAndSystemTables) {
    for (int level = 0; level <= 2; ++level) {
        TTempFile file("create" + std::to_string(level) + ".zan");
        auto db = NewDatabase(file.Path, level);
        db->SetDBOwner("carol");
        db->SetDefaultSortOrder(soASCII);
        db->CreateDatabase();
        EXPECT_FALSE(db->GetConnected());
        EXPECT_EQ(db->GetMasterKey(), level >= 1 ? C_TEST_KEY : "");

        const std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
        TZanDBHeader h;
        h.FromBytes(bytes.data());
        EXPECT_EQ(h.FormatNo, 1);
        EXPECT_EQ(h.Name, ExtractFileName(file.Path));
        EXPECT_EQ(h.Owner, "carol");
        EXPECT_EQ(h.Version, "1.43.02");
        EXPECT_EQ(h.SortOrder, 1u);
        EXPECT_EQ(h.SecurityLevel, uint32_t(level));
        EXPECT_EQ(h.CRC, TZanDBHeader::CalcCRC(bytes.data()));
        EXPECT_NEAR(h.Created, Now(), 1.0 / 24);

        // An existing file is never overwritten.
        EXPECT_EQ(ErrorCodeOf([&] { db->CreateDatabase(); }), 11043);
        EXPECT_EQ(ReadFileBytes(file.Path), bytes);
        if (level == 2) continue; // secured files need the security tables

        db->Open();
        EXPECT_EQ(db->GetDefaultSortOrder(), soASCII);
        EXPECT_EQ(db->GetUseEncryption(), level >= 1);
        EXPECT_EQ(TableNames(*db, true),
                  (std::vector<std::string>{"$SYSTBL_INTGENERATOR", "$SYSTBL_OBJECTIDREF"}));
        EXPECT_TRUE(TableNames(*db).empty());
        TTableDef ref, gen;
        db->OpenTable("$SYSTBL_OBJECTIDREF", ref);
        db->OpenTable("$SYSTBL_INTGENERATOR", gen);
        EXPECT_TRUE(ref.GetInternalTable());
        EXPECT_EQ(ref.GetEncryptionLevel(), level >= 1 ? encStrong : encNone);
        EXPECT_GE(ref.GetTableID(), 1024);
        ASSERT_EQ(ref.GetInternalIndexDefs()->Count(), 2);
        EXPECT_EQ(ref.GetInternalIndexDefs()->Items(0)->GetIndexName(), "ixObjectID");
        EXPECT_EQ(ref.GetInternalIndexDefs()->Items(1)->GetIndexName(), "ixObjectName");
        EXPECT_TRUE(ref.GetKeyFields()->Items(1)->GetCaseInsensitive());
        ASSERT_EQ(gen.GetInternalFields()->Count(), 4);
        EXPECT_EQ(gen.GetInternalFields()->Items(0)->GetWriteableFieldSize(), 20);
        CreateUserTable(*db, "first");
        TTableDef first;
        db->OpenTable("first", first);
        auto problems = CheckDatabase(*db->GetDiskMgr(), {&ref, &gen, &first});
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
        db->CloseTable(first);
        db->CloseTable(gen);
        db->CloseTable(ref);
        db->Close();
    }
    // A key too short for an encrypted file: 10015, naming the property.
    TTempFile file("shortkey.zan");
    TZanDataBase db;
    db.SetDataBaseName(file.Path);
    db.SetUseEncryption(true);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { db.CreateDatabase(); }, &message), 10015);
    EXPECT_NE(message.find("MasterKey is not a valid value"), std::string::npos) << message;
    EXPECT_FALSE(FileExists(file.Path));
}

// After every failing connect nothing of the failed connection remains: another connection
// opens the file exclusively and finds itself its only user.
TEST(ZanDatabase, FailedConnectLeavesNothingOpen) {
    TTempFile file("f5.zan");
    CreateDatabaseFile(file.Path, 1);
    const std::vector<uint8_t> good = ReadFileBytes(file.Path);
    struct TCase {
        const char* What;
        int32_t Code;
        std::function<void(TZanDataBase&)> Setup;
    } cases[] = {
        {"missing file", 9988, [&](TZanDataBase& db) { db.SetDataBaseName(file.Path + "x"); }},
        {"bad CRC", 8961,
         [&](TZanDataBase&) {
             std::vector<uint8_t> bytes = good;
             bytes[100] ^= 1;
             WriteFileBytes(file.Path, bytes);
         }},
        {"wrong key", 8451, [&](TZanDataBase& db) { db.SetMasterKey("not the key"); }},
    };
    for (const TCase& c : cases) {
        WriteFileBytes(file.Path, good);
        auto db = NewDatabase(file.Path, 1);
        c.Setup(*db);
        EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }), c.Code) << c.What;
        EXPECT_FALSE(db->GetConnected());
        // Before the file is open the key stays; from then on a failure disconnects and
        // clears it.
        EXPECT_EQ(db->GetMasterKey(), c.Code == 9988 ? C_TEST_KEY : "");
        WriteFileBytes(file.Path, good);
        auto other = NewDatabase(file.Path, 1);
        other->SetExclusive(true);
        other->Open();
        EXPECT_EQ(ConnectionCount(*other), 1) << c.What;
        other->Close();
    }
    // Exclusive use elsewhere.
    auto holder = NewDatabase(file.Path, 1);
    holder->SetExclusive(true);
    holder->Open();
    auto db = NewDatabase(file.Path, 1);
    db->SetLockRetryMaximum(1);
    EXPECT_NE(ErrorCodeOf([&] { db->Open(); }), 0);
    EXPECT_FALSE(db->GetConnected());
    holder->Close();
    auto other = NewDatabase(file.Path, 1);
    other->SetExclusive(true);
    other->Open();
    EXPECT_EQ(ConnectionCount(*other), 1);
}

// ---------------------------------------------------------------------------------------------
// Catalogue on a file and on "MEMORY"

class ZanCatalogue : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        FMemory = GetParam();
        if (FMemory) {
            FDb = std::make_unique<TZanDataBase>();
            FDb->SetDataBaseName("memory");
        } else {
            CreateDatabaseFile(FFile.Path);
            FDb = NewDatabase(FFile.Path);
        }
        FDb->Open();
    }
    bool FMemory = false;
    TTempFile FFile{"catalogue.zan"};
    std::unique_ptr<TZanDataBase> FDb;
};

TEST_P(ZanCatalogue, CreateOpenCloseAndNames) {
    TZanDataBase& db = *FDb;
    const std::string forty(40, 'n');
    std::string accents;
    for (int i = 0; i < 20; ++i)
        accents += "\xC3\xA9"; // 20 characters, 40 bytes
    struct TName {
        std::string Name;
        int32_t Code;
    } names[] = {{"People", 0},
                 {"PEOPLE", 13060},
                 {forty, 0},
                 {forty + "n", 10039},
                 {"", 10039},
                 {"it's \"quoted\"", 0},
                 {accents, 0},
                 {"tab\there", 10039},
                 {"$sys", FMemory ? 0 : 10041}};
    for (const TName& n : names) {
        TTableDef def;
        BuildUserTableDef(def, n.Name, FMemory);
        EXPECT_EQ(ErrorCodeOf([&] { db.CreateTable(def, false); }), n.Code) << n.Name;
    }
    std::set<std::string> expected{"People", forty, "it's \"quoted\"", accents};
    if (FMemory) expected.insert("$sys");
    std::vector<std::string> listed = TableNames(db);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), expected);

    for (const std::string& name : expected) {
        TTableDef a, b;
        a.SetMemory(FMemory);
        b.SetMemory(FMemory);
        db.OpenTable(name, a);
        db.OpenTable(name, b);
        EXPECT_EQ(a.GetTableName(), name);
        EXPECT_EQ(a.GetTableHeader(), b.GetTableHeader());
        EXPECT_EQ(a.GetPrivilegeFlags(), C_ALL_PRIVILEGES);
        EXPECT_EQ(a.GetInternalFields()->Items(2)->GetPrivilegeFlags(), C_ALL_PRIVILEGES);
        EXPECT_EQ(a.GetVersion(), "1.43.02");
        EXPECT_FALSE(a.GetCreatedBy().empty());
        if (!FMemory) {
            EXPECT_EQ(db.GetLocalConnectedUserCount(name), 2);
        }
        db.CloseTable(b);
        db.CloseTable(a);
        EXPECT_EQ(db.GetLocalConnectedUserCount(name), 0);
    }
    TTableDef def;
    def.SetMemory(FMemory);
    EXPECT_EQ(ErrorCodeOf([&] { db.OpenTable("nobody", def); }), 10024);
    EXPECT_EQ(ErrorCodeOf([&] { db.OpenTable(forty + "n", def); }), 10024);
    EXPECT_EQ(ErrorCodeOf([&] { db.QueryTableDef(forty + "n", FMemory, def); }), 10024);
    db.QueryTableDef("people", FMemory, def);
    EXPECT_EQ(def.GetTableName(), "People");
    EXPECT_EQ(def.GetInternalIndexDefs()->Count(), 2);
}

TEST_P(ZanCatalogue, ObjectIdsAndReconnect) {
    if (FMemory) {
        EXPECT_EQ(ErrorCodeOf([&] { FDb->InternalGetGenerator("$INTGEN_OBJID", true); }), 10880);
        return;
    }
    for (const char* name : {"a", "b", "c"})
        CreateUserTable(*FDb, name);
    EXPECT_EQ(FDb->GetObjectID("a"), 1);
    EXPECT_EQ(FDb->GetObjectID("B"), 2);
    EXPECT_EQ(FDb->GetObjectID("c"), 3);
    EXPECT_EQ(FDb->GetObjectID("$SYSTBL_OBJECTIDREF"), -1);
    FDb->Close();
    FDb->Open();
    CreateUserTable(*FDb, "d");
    EXPECT_EQ(FDb->GetObjectID("d"), 4);
    EXPECT_EQ(TableNames(*FDb), (std::vector<std::string>{"a", "b", "c", "d"}));
    // A memory table on a file database lives in the memory manager only.
    CreateUserTable(*FDb, "$Q00011234abcd", true);
    EXPECT_EQ(TableNames(*FDb).size(), 4u);

    // Generators: 32-bit values only; the row stays when the next value would leave them.
    EXPECT_EQ(FDb->InternalGetGenerator("g", true), 1);
    EXPECT_EQ(FDb->InternalGetGenerator("g", false), 2);
    EXPECT_EQ(ErrorCodeOf([&] { FDb->InternalGetGenerator("missing", false); }), 8579);
    EXPECT_EQ(ErrorCodeOf([&] { FDb->InternalGetGenerator(std::string(21, 'g'), true); }), 8579);
}

TEST_P(ZanCatalogue, UpdateTableDefRewritesTheDefinition) {
    CreateUserTable(*FDb, "t", FMemory);
    TTableDef def;
    FDb->QueryTableDef("t", FMemory, def);
    const TInternalRestructureRec rec;
    if (FMemory) {
        EXPECT_EQ(ErrorCodeOf([&] { FDb->UpdateTableDef(def, rec); }), 10880);
        return;
    }
    EXPECT_EQ(ErrorCodeOf([&] { FDb->UpdateTableDef(def, rec); }), 10121);
    FDb->Close();
    FDb->SetExclusive(true);
    FDb->Open();
    FDb->QueryTableDef("t", false, def);
    def.SetAltName("renamed later");
    FDb->UpdateTableDef(def, rec);
    TTableDef back;
    FDb->QueryTableDef("t", false, back);
    EXPECT_EQ(back.GetAltName(), "renamed later");
    EXPECT_GE(back.GetLastModDate(), def.GetCreationDate());
}

INSTANTIATE_TEST_SUITE_P(FileAndMemory, ZanCatalogue, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Memory" : "File"; });

TEST(ZanDatabase, DamagedDefinitionTextGivesUnreadable) {
    TTempFile file("damaged_def.zan");
    CreateFileWithTables(file.Path, {"victim", "bystander"});
    std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    const std::string marker = "TableName = 'victim'";
    auto it = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    ASSERT_NE(it, bytes.end());
    std::fill(it, it + 9, uint8_t('{')); // "TableName" is no longer a property line
    WriteFileBytes(file.Path, bytes);
    auto db = NewDatabase(file.Path);
    db->Open();
    TTableDef def;
    std::string message;
    // Damage (8962), not an internal error.
    EXPECT_EQ(ErrorCodeOf([&] { db->OpenTable("victim", def); }, &message), 8962);
    EXPECT_NE(message.find("The table definition could not be read"),
              std::string::npos)
        << message;
    db->OpenTable("bystander", def);
    db->CloseTable(def);
    db->Close();

    // A text that reads but describes a record smaller than its fields: refused at the open.
    const std::string owner = "TableName = 'bystander'", size = "RecordSize = ";
    auto at = std::search(bytes.begin(), bytes.end(), owner.begin(), owner.end());
    ASSERT_NE(at, bytes.end());
    at = std::search(at, bytes.end(), size.begin(), size.end());
    ASSERT_NE(at, bytes.end());
    auto digit = at + long(size.size());
    for (; std::isdigit(*digit); ++digit)
        *digit = '0';
    *(digit - 1) = '9';
    WriteFileBytes(file.Path, bytes);
    db->Open();
    EXPECT_EQ(ErrorCodeOf([&] { db->OpenTable("bystander", def); }), 8962);
    EXPECT_FALSE(def.GetActive());
    TTableDef queried;
    db->QueryTableDef("bystander", false, queried);
    EXPECT_EQ(queried.GetRecordSize(), 9);
}

// Generators count in 64 bits: a next value beyond 32 bits is refused (9985) and the row stays.
// When the object-id generator runs out, the table being created is not left behind.
TEST(ZanDatabase, GeneratorsStopAtTheEndOf32Bits) {
    TTempFile file("generator_end.zan");
    CreateFileWithTables(file.Path, {"first"});
    TTableDef generators;
    {
        auto db = NewDatabase(file.Path);
        db->Open();
        EXPECT_EQ(db->InternalGetGenerator("g", true), 1);
        db->QueryTableDef("$SYSTBL_INTGENERATOR", false, generators);
    }
    {
        // Both generators moved to the end of the range through the storage units.
        TTestDatabase raw(file.Path);
        raw.Open();
        TZanRowStore store(raw.SystemTables(), &raw.Disk(), "$SYSTBL_INTGENERATOR", generators);
        store.WithLock(true, [&] {
            store.Scan("ixGenName", [&](uint32_t address, const TZanRow& found) {
                TZanRow row = found;
                const bool objectIds = RecordGetString(row.data(), store.Field("GeneratorName")) ==
                                       "$INTGEN_OBJID";
                RecordSetInteger(row.data(), store.Field("GeneratorValue"),
                                 objectIds ? INT32_MAX : INT32_MAX - 1);
                store.Update(address, row);
                return true;
            });
        });
    }
    auto db = NewDatabase(file.Path);
    db->Open();
    EXPECT_EQ(db->InternalGetGenerator("g", false), INT32_MAX - 1);
    EXPECT_EQ(ErrorCodeOf([&] { db->InternalGetGenerator("g", false); }), 9985);
    EXPECT_EQ(ErrorCodeOf([&] { db->InternalGetGenerator("g", false); }), 9985);
    TTableDef def;
    BuildUserTableDef(def, "second");
    EXPECT_EQ(ErrorCodeOf([&] { db->CreateTable(def, false); }), 9985);
    EXPECT_EQ(TableNames(*db), std::vector<std::string>{"first"});
    EXPECT_EQ(db->GetObjectID("second"), -1);
    TTableDef first;
    db->OpenTable("first", first);
    auto problems = CheckDatabase(*db->GetDiskMgr(), {&first});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    db->CloseTable(first);
}
