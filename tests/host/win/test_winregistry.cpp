// The file-backed registry: hive text, typed values, names, key deletion, damaged hives and two
// processes writing into one hive, write batches; INI files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sys/stat.h>

#include "host/win/WinBoot.h"
#include "host/win/WinIni.h"
#include "host/win/WinProcess.h"
#include "host/win/WinRegistry.h"
#include "support/sandbox.h"

using namespace zan;

TEST(WinRegistry, GoldenHiveText) {
    TSandbox box("golden", {wpXP, "User", false});
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Orvex\\Engine", true));
    reg.WriteString("Path", "C:\\Program Files\\Orvex \"DB\"");
    reg.WriteInteger("Count", 42);
    reg.WriteInteger("Negative", -1);
    reg.WriteBool("Shared", true);
    reg.WriteFloat("Ratio", 0.5);
    reg.WriteBinaryData("Blob", std::string("\x00\xff\x10", 3));
    reg.WriteExpandString("Home", "%SystemRoot%\\x");
    reg.WriteMultiString("List", {"a", "", "b,c"});
    reg.WriteString("", "default");
    reg.WriteString("Lines", std::string("one\ntwo\t\x01", 9));
    ASSERT_TRUE(reg.OpenKey("Sub", true)); // relative to the open key
    EXPECT_EQ(reg.GetCurrentPath(), "Software\\Orvex\\Engine\\Sub");
    const std::string golden =
        "; hive HKLM\n"
        "[\\]\n"
        "[\\Software]\n"
        "[\\Software\\Orvex]\n"
        "[\\Software\\Orvex\\Engine]\n"
        "\"Path\"=sz:\"C:\\\\Program Files\\\\Orvex \\\"DB\\\"\"\n"
        "\"Count\"=dword:0000002a\n"
        "\"Negative\"=dword:ffffffff\n"
        "\"Shared\"=dword:00000001\n"
        "\"Ratio\"=binary:00,00,00,00,00,00,e0,3f\n"
        "\"Blob\"=binary:00,ff,10\n"
        "\"Home\"=expand:\"%SystemRoot%\\\\x\"\n"
        "\"List\"=multi:\"a\",\"\",\"b,c\"\n"
        "@=sz:\"default\"\n"
        "\"Lines\"=sz:\"one\\ntwo\\t\\x01\"\n"
        "[\\Software\\Orvex\\Engine\\Sub]\n";
    EXPECT_EQ(RegHiveText(HKEY_LOCAL_MACHINE), golden);
    EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/registry/HKLM.reg"), golden);
    // Changing and deleting values rewrites exactly their lines.
    reg.OpenKey("\\Software\\Orvex\\Engine", false);
    reg.WriteInteger("count", 7);
    reg.DeleteValue("Blob");
    reg.WriteString("Path", "D");
    std::string changed = golden;
    changed.replace(changed.find("dword:0000002a"), 14, "dword:00000007");
    changed.erase(changed.find("\"Blob\""), std::string("\"Blob\"=binary:00,ff,10\n").size());
    changed.replace(changed.find("sz:\"C:"), std::string("sz:\"C:\\\\Program Files\\\\Orvex \\\"DB\\\"\"").size(), "sz:\"D\"");
    EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/registry/HKLM.reg"), changed);
    reg.WriteString("Path", "C:\\Program Files\\Orvex \"DB\"");
    reg.WriteInteger("Count", 42);
    reg.OpenKey("Sub", false);

    // Another process reads every value back exactly.
    TChildProcess child([](TChildProcess&) {
        TRegistry r;
        r.SetRootKey(HKEY_LOCAL_MACHINE);
        if (!r.OpenKeyReadOnly("\\SOFTWARE\\ORVEX\\ENGINE")) return 1;
        std::vector<std::string> list;
        r.ReadMultiString("list", list);
        bool ok = r.ReadString("path") == "C:\\Program Files\\Orvex \"DB\"" &&
                  r.ReadInteger("count") == 42 && r.ReadInteger("Negative") == -1 &&
                  r.ReadBool("Shared") && r.ReadFloat("Ratio") == 0.5 &&
                  !r.ValueExists("Blob") &&
                  r.ReadString("Home") == "%SystemRoot%\\x" &&
                  list == std::vector<std::string>{"a", "", "b,c"} && r.ReadString("") == "default" &&
                  r.ReadString("Lines") == std::string("one\ntwo\t\x01", 9);
        return ok ? 0 : 2;
    });
    EXPECT_EQ(child.Wait(), 0);
}

TEST(WinRegistry, TypesNamesAndDeletion) {
    TSandbox box("types", {wpXP, "User", false});
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    reg.OpenKey("\\Software\\MyCompany\\Product", true);
    reg.WriteString("Text", "x");
    reg.WriteInteger("Number", 7);
    struct {
        std::function<void()> Read;
        std::string Error;
    } wrong[] = {
        {[&] { reg.ReadInteger("Text"); }, "Invalid data type for 'Text'"},
        {[&] { reg.ReadString("Number"); }, "Invalid data type for 'Number'"},
        {[&] { reg.ReadFloat("Number"); }, "Invalid data type for 'Number'"},
        {[&] { reg.ReadInteger("Missing"); }, "Failed to get data for 'Missing'"},
    };
    for (auto& row : wrong)
        EXPECT_EQ(MessageOf<ERegistryException>(row.Read), row.Error);
    EXPECT_EQ(reg.ReadString("Missing"), "");
    // Names ignore case and keep it.
    reg.WriteString("TEXT", "y");
    TStringList names;
    reg.GetValueNames(names);
    ASSERT_EQ(names.Count(), 2);
    EXPECT_EQ(names[0], "Text");
    EXPECT_EQ(reg.ReadString("text"), "y");
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\mycompany"));
    reg.OpenKey("\\software\\MYCOMPANY", false);
    EXPECT_EQ(reg.GetCurrentPath(), "software\\MYCOMPANY");
    reg.GetKeyNames(names);
    ASSERT_EQ(names.Count(), 1);
    EXPECT_EQ(names[0], "Product");
    EXPECT_EQ(RegSubKeyNames(HKEY_CURRENT_USER, "Software\\MyCompany"),
              std::vector<std::string>{"Product"});

    // A key with subkeys is not deleted; its leaf is.
    EXPECT_FALSE(reg.DeleteKey("\\Software\\MyCompany"));
    EXPECT_TRUE(reg.KeyExists("\\Software\\MyCompany\\Product"));
    EXPECT_TRUE(reg.DeleteKey("\\Software\\MyCompany\\Product"));
    EXPECT_TRUE(reg.DeleteKey("\\Software\\MyCompany"));
    EXPECT_FALSE(reg.DeleteKey("\\Software\\MyCompany"));
    EXPECT_FALSE(reg.KeyExists("\\Software\\MyCompany"));

    // Read-only keys refuse writes.
    reg.OpenKey("\\Software\\RO", true);
    reg.OpenKeyReadOnly("\\Software\\RO");
    EXPECT_THROW(reg.WriteString("x", "y"), ERegistryException);
}

TEST(WinRegistry, DamagedHiveIsNamedAndNeverOverwritten) {
    TSandbox box("damaged", {wpXP, "User", false});
    RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Ok");
    std::string file = box.Root + "/registry/HKLM.reg";
    struct {
        std::string Text, Error;
    } bad[] = {
        {"; hive HKLM\n[\\A]\n\"x\"=sz:\"unterminated\n", "(3): bad string value"},
        {"; hive HKLM\n[\\A]\n\"x\"=dword:12\n", "(3): bad dword value"},
        {"; hive HKLM\n\"x\"=sz:\"v\"\n", "(2): value outside any key"},
        {"; hive HKLM\n[\\A]\n\"x\"=qword:00\n", "(3): unknown value type"},
        {"; hive HKLM\n[\\A]\n\"x\"=sz:\"v\"", "(3): the hive is cut short"},
        {"; hive HKLM\n[\\A]\n[\\a]\n", "(3): key listed twice"},
        {"; hive HKLM\n[\\A]\n\"x\"=binary:0g\n", "(3): bad binary value"},
    };
    for (auto& row : bad) {
        SCOPED_TRACE(row.Text);
        TSandbox::WriteHostFile(file, row.Text);
        EXPECT_EQ(MessageOf<ERegistryException>([] { RegKeyExists(HKEY_LOCAL_MACHINE, "A"); }),
                  file + row.Error);
        EXPECT_THROW(RegCreateKey(HKEY_LOCAL_MACHINE, "B"), ERegistryException);
        EXPECT_EQ(TSandbox::ReadHostFile(file), row.Text);
    }
}

TEST(WinRegistry, TwoProcessesWritingOneHiveLoseNothing) {
    TSandbox box("fork", {wpXP, "User", false});
    RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Race");
    auto writer = [](char tag) {
        return [tag](TChildProcess& self) {
            self.Receive();
            TRegistry reg;
            reg.SetRootKey(HKEY_LOCAL_MACHINE);
            if (!reg.OpenKey("\\Software\\Race", false)) return 1;
            for (int i = 0; i < 200; ++i)
                reg.WriteInteger(std::string(1, tag) + std::to_string(i), i);
            return 0;
        };
    };
    TChildProcess a(writer('a')), b(writer('b'));
    a.Send('g');
    b.Send('g');
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);
    std::vector<std::string> names = RegValueNames(HKEY_LOCAL_MACHINE, "Software\\Race");
    EXPECT_EQ(names.size(), 400u);
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    reg.OpenKey("\\Software\\Race", false);
    EXPECT_EQ(reg.ReadInteger("a199"), 199);
    EXPECT_EQ(reg.ReadInteger("b0"), 0);
}

TEST(WinIni, ProfileStringsWithCrLfAndDamage) {
    TSandbox box("ini");
    TSandbox::WriteHostFile(box.C("test.ini"), "; comment\n[Rename]\nC:\\a=C:\\b\n\n[Other]\nk=v\n");
    EXPECT_EQ(WinGetPrivateProfileString("rename", "c:\\A", "", "C:\\TEST.INI"), "C:\\b");
    WinWritePrivateProfileString("RENAME", "C:\\c", std::string("C:\\d"), "C:\\test.ini");
    WinWritePrivateProfileString("New", "x", std::string("1"), "C:\\test.ini");
    WinWritePrivateProfileString("other", "K", std::nullopt, "C:\\test.ini");
    EXPECT_EQ(TSandbox::ReadHostFile(box.C("test.ini")),
              "; comment\r\n[Rename]\r\nC:\\a=C:\\b\r\nC:\\c=C:\\d\r\n\r\n[Other]\r\n[New]\r\nx=1\r\n");
    // A new file is created.
    WinWritePrivateProfileString("Rename", "NUL", std::string("C:\\x"), "C:\\WINDOWS\\WININIT.INI");
    EXPECT_EQ(TSandbox::ReadHostFile(box.C("WINDOWS/WININIT.INI")), "[Rename]\r\nNUL=C:\\x\r\n");

    TSandbox::WriteHostFile(box.C("bad.ini"), "[Ok]\r\na=1\r\ngarbage\r\n");
    EXPECT_EQ(WinGetPrivateProfileString("Ok", "a", "dflt", "C:\\bad.ini"), "dflt");
    EXPECT_EQ(MessageOf<EIniFileError>([] {
                  WinWritePrivateProfileString("Ok", "b", std::string("2"), "C:\\bad.ini");
              }),
              "C:\\bad.ini(3): line is neither a section nor key=value");
    EXPECT_EQ(TSandbox::ReadHostFile(box.C("bad.ini")), "[Ok]\r\na=1\r\ngarbage\r\n");
}

// Random writes, overwrites and deletes against a model; at checkpoints the hive file is read
// afresh in a second sandbox and must hold exactly the model.
TEST(WinRegistry, RandomChangesMatchAModel) {
    TSandbox box("model", {wpXP, "User", false});
    std::string mirror = TestTempPath("sandbox_model_mirror");
    std::filesystem::remove_all(mirror);
    const char* keys[] = {"Software\\A", "Software\\A\\Sub", "Software\\B"};
    const char* names[] = {"x", "X", "Path", "path", "", "Ünïcode", "q\"uote"};
    // folded key -> folded name -> text of the value
    std::map<std::string, std::map<std::string, std::string>> model;
    uint32_t seed = 12345;
    auto next = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    auto check = [&] {
        std::filesystem::create_directories(mirror + "/registry");
        std::filesystem::copy_file(box.Root + "/registry/HKCU.reg", mirror + "/registry/HKCU.reg",
                                   std::filesystem::copy_options::overwrite_existing);
        UseSandbox(mirror);
        for (const char* key : keys) {
            auto it = model.find(FoldName(key));
            std::vector<std::string> got = RegValueNames(HKEY_CURRENT_USER, key);
            size_t expected = it == model.end() ? 0 : it->second.size();
            EXPECT_EQ(got.size(), expected) << key;
            if (it == model.end()) continue;
            for (auto& [name, text] : it->second) {
                auto v = RegQueryValue(HKEY_CURRENT_USER, key, name);
                ASSERT_TRUE(v.has_value()) << key << " " << name;
                EXPECT_EQ(v->Data, text) << key << " " << name;
            }
        }
        UseSandbox(box.Root);
    };
    TRegistry reg;
    for (int step = 0; step < 600; ++step) {
        const char* key = keys[next(3)];
        std::string name = names[next(7)];
        reg.OpenKey(std::string("\\") + key, true);
        model[FoldName(key)];
        switch (next(4)) {
        case 0:
        case 1: {
            std::string text = "v" + std::to_string(step) + (next(2) ? "\\with\nescapes\"" : "");
            reg.WriteString(name, text);
            model[FoldName(key)][FoldName(name)] = text;
            break;
        }
        case 2: {
            int32_t n = static_cast<int32_t>(next(100000));
            reg.WriteInteger(name, n);
            model[FoldName(key)][FoldName(name)] = std::string(reinterpret_cast<const char*>(&n), 4);
            break;
        }
        default:
            EXPECT_EQ(reg.DeleteValue(name), model[FoldName(key)].erase(FoldName(name)) > 0);
        }
        if (step % 150 == 149) check();
    }
    std::filesystem::remove_all(mirror);
}

namespace {
std::string HiveFileText() { return TSandbox::ReadHostFile(HiveFileName(HKEY_LOCAL_MACHINE)); }
std::string ValueOf(const std::string& key, const std::string& name) {
    auto v = RegQueryValue(HKEY_LOCAL_MACHINE, key, name);
    return v ? v->Data : "<none>";
}
} // namespace

TEST(WinRegistry, WriteBatchWritesOnceAndMergesAnotherProcess) {
    TSandbox box("batch", {wpXP, "User", false});
    RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Batch\\Gone");
    RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Batch\\Theirs");
    std::string before = HiveFileText();
    // Another process, started on demand, deletes a key and writes one value.
    TChildProcess other([](TChildProcess& self) {
        self.Receive();
        RegDeleteKey(HKEY_LOCAL_MACHINE, "Software\\Batch\\Gone");
        RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Batch\\Theirs", {"t", rdString, "theirs"});
        self.Send('d');
        return 0;
    });
    {
        TRegWriteBatch outer;
        {
            TRegWriteBatch inner;
            for (int i = 0; i < 50; ++i)
                RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Batch", {"v" + std::to_string(i), rdString, "mine"});
        }
        RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Batch\\Mine");
        RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Batch\\Gone", {"lost", rdString, "x"});
        // Reads see the batch; the file does not, even after the inner batch ended.
        EXPECT_EQ(ValueOf("Software\\Batch", "v49"), "mine");
        EXPECT_EQ(HiveFileText(), before);
        EXPECT_TRUE(RegHasPendingWrites());
        other.Send('g');
        ASSERT_EQ(other.Receive(), 'd');
        // The other process's write shows, with this batch's changes on top.
        EXPECT_EQ(ValueOf("Software\\Batch\\Theirs", "t"), "theirs");
        EXPECT_EQ(ValueOf("Software\\Batch", "v0"), "mine");
        EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Batch\\Gone"));
    }
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_FALSE(RegHasPendingWrites());
    // One write for the batch: the lock file counts the other process's two and ours.
    uint64_t writes = 0;
    std::string counter = TSandbox::ReadHostFile(HiveFileName(HKEY_LOCAL_MACHINE) + ".lock");
    ASSERT_EQ(counter.size(), sizeof writes);
    std::memcpy(&writes, counter.data(), sizeof writes);
    EXPECT_EQ(writes, 2u + 2u + 1u); // two creates before, two by the other process, the batch
    std::string text = HiveFileText();
    EXPECT_NE(text.find("\"v49\"=sz:\"mine\""), std::string::npos);
    EXPECT_NE(text.find("\"t\"=sz:\"theirs\""), std::string::npos);
    EXPECT_NE(text.find("[\\Software\\Batch\\Mine]"), std::string::npos);
    EXPECT_EQ(text.find("Gone"), std::string::npos); // the value of a deleted key is dropped

    // A process that dies inside a batch leaves the hive as it was; a program it starts sees
    // the batch's changes.
    before = HiveFileText();
    TChildProcess dies([](TChildProcess&) {
        RegBeginBatch();
        RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Batch", {"never", rdString, "x"});
        _exit(0);
        return 0;
    });
    EXPECT_EQ(dies.Wait(), 0);
    EXPECT_EQ(HiveFileText(), before);
    EXPECT_EQ(ValueOf("Software\\Batch", "never"), "<none>");
    TRegWriteBatch batch;
    RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Batch", {"started", rdString, "x"});
    EXPECT_EQ(WinWaitProcess(WinCreateProcess("Z:\\bin\\true", {})), 0);
    EXPECT_FALSE(RegHasPendingWrites());
    EXPECT_NE(HiveFileText().find("\"started\""), std::string::npos);
}

// Processes each inside one long write batch advance a shared counter and extend the list of
// pending renames at the same time: every read-modify-write is made under the hive's lock on
// the current file, so nothing any of them added is lost, and each one's plain batch writes
// still arrive.
TEST(WinRegistry, SharedUpdatesInsideBatchesLoseNothing) {
    TSandbox box("shared_updates", {wpXP, "User", false});
    RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Shared");
    constexpr int Processes = 3, Rounds = 20;
    auto body = [](int id) {
        TRegWriteBatch batch;
        RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Shared", {"own" + std::to_string(id), rdString, "x"});
        for (int i = 0; i < Rounds; ++i) {
            {
                TRegHiveUpdate update(HKEY_LOCAL_MACHINE);
                int n = std::atoi(ValueOf("Software\\Shared", "Count").c_str());
                RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Shared", {"Count", rdString, std::to_string(n + 1)});
            }
            if (i % 5 == 0)
                WinMoveFileDelayUntilReboot("C:\\p" + std::to_string(id) + "_" + std::to_string(i), "", false);
        }
    };
    std::vector<std::unique_ptr<TChildProcess>> children;
    for (int id = 1; id < Processes; ++id)
        children.push_back(std::make_unique<TChildProcess>([&body, id](TChildProcess& self) {
            self.Receive();
            body(id);
            return 0;
        }));
    for (auto& child : children)
        child->Send('g');
    body(0);
    for (auto& child : children)
        EXPECT_EQ(child->Wait(), 0);
    EXPECT_EQ(ValueOf("Software\\Shared", "Count"), std::to_string(Processes * Rounds));
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(SessionManagerKey, false));
    std::vector<std::string> pending;
    reg.ReadMultiString(PendingRenamesValue, pending);
    EXPECT_EQ(pending.size(), size_t(2 * Processes * Rounds / 5));
    for (int id = 0; id < Processes; ++id)
        EXPECT_EQ(ValueOf("Software\\Shared", "own" + std::to_string(id)), "x");
}

// A batch whose end cannot write the hive raises and drops its changes: they are not replayed
// later over what another process wrote meanwhile, nor written by a later change.
TEST(WinRegistry, FailedBatchEndDropsItsChanges) {
    TSandbox box("failed_batch", {wpXP, "User", false});
    RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Fail");
    RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Fail", {"x", rdString, "0"});
    TChildProcess other([](TChildProcess& self) {
        if (self.Receive() != 'g') return 10;
        RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Fail", {"x", rdString, "theirs"});
        self.Send('d');
        return 0;
    });
    // The temporary file of the hive's write cannot be made.
    std::string temp = HiveFileName(HKEY_LOCAL_MACHINE) + ".tmp" + std::to_string(getpid());
    ASSERT_EQ(mkdir(temp.c_str(), 0755), 0);
    EXPECT_THROW(
        {
            TRegWriteBatch batch;
            RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Fail", {"x", rdString, "batch"});
        },
        ERegistryException);
    rmdir(temp.c_str());
    EXPECT_FALSE(RegHasPendingWrites());
    EXPECT_EQ(ValueOf("Software\\Fail", "x"), "0");
    ASSERT_TRUE(other.Send('g'));
    ASSERT_EQ(other.Receive(), 'd');
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_EQ(ValueOf("Software\\Fail", "x"), "theirs");
    RegSetValue(HKEY_LOCAL_MACHINE, "Software\\Fail", {"z", rdString, "1"});
    EXPECT_NE(HiveFileText().find("\"x\"=sz:\"theirs\""), std::string::npos) << HiveFileText();
}
