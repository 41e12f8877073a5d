// The setup archive: byte layout (golden), content round trips, lookups, damaged archives,
// volumes with disk prompts, abort, disk full and plain copies.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <sys/stat.h>

#include "host/rtl/StringList.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

int32_t I32(const std::string& s, size_t at) {
    int32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

// Two files that compress to 37 and 2100 bytes at the default level colMax.
const std::string ContentA = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012";
const std::string ContentB = RandomBytes(2089, 7);

struct TArchiveTest : ::testing::Test {
    TSandbox Box{::testing::UnitTest::GetInstance()->current_test_info()->name()};

    // Writes a source file below C:.
    std::string Source(const std::string& winPath, const std::string& content) {
        std::string host = WinPathToHost(winPath, paWrite);
        TSandbox::WriteHostFile(host, content);
        return winPath;
    }
    static std::string Read(const std::string& winPath) { return WinReadFile(winPath); }
    static void Lines(TCrvnCompress& c, std::initializer_list<std::string> lines) {
        TStringList list;
        for (const std::string& l : lines)
            list.Add(l);
        c.SetFilesToProcess(list);
    }
    // Packs the files into archive (a fresh archive; file id as given).
    void Pack(const std::string& archive, std::initializer_list<std::string> files, int id = 5,
              TCompressionLevel level = colMax, TlzhCommand mode = lzcOverwrite) {
        TCrvnCompress c;
        c.SetCompressedFile(archive);
        c.SetCompressionLevel(level);
        Lines(c, files);
        c.AddFiles(mode, id);
    }
    void MakeExample() {
        Source("C:\\src\\a.txt", ContentA);
        Source("C:\\src\\b.bin", ContentB);
        WinSetFileAge("C:\\src\\a.txt", EncodeDateTime(2001, 2, 3, 4, 5, 6, 0));
        Pack("C:\\out\\files.1", {"C:\\src\\a.txt", "C:\\src\\b.bin"});
    }
    // Every file name below a Windows directory.
    static std::vector<std::string> Names(const std::string& dir) {
        std::vector<std::string> names;
        for (auto& f : WinFindFiles(dir))
            names.push_back(f.Name);
        return names;
    }
    // An OnNewDisk handler that inserts the asked disk in A: and answers "A:\".
    static TlzhNewDiskEvent InsertDisks(std::vector<int>* asked = nullptr) {
        return [asked](TObject*, int disk, std::string& path) {
            if (asked) asked->push_back(disk);
            WinInsertDisk(disk);
            path = "A:\\";
        };
    }
    void Floppy(uint64_t capacity) {
        CurrentWinEnv().DiskCapacity = capacity;
        SaveWinEnv();
        WinInsertDisk(1);
    }
};

} // namespace

TEST_F(TArchiveTest, GoldenTwoFileExampleAndItsVolumes) {
    MakeExample();
    std::string a = Read("C:\\out\\files.1");
    ASSERT_EQ(a.size(), 2494u);
    EXPECT_EQ(I32(a, 0), 2);
    EXPECT_EQ(a[4], 0);
    // Header A at 5.
    const size_t ha = 5, hb = 218;
    EXPECT_EQ(I32(a, ha + 0), 1);
    EXPECT_EQ(I32(a, ha + 20), 217);
    EXPECT_EQ(a.substr(ha + 24, 13), "\x0C" "C:\\src\\a.txt");
    EXPECT_EQ(I32(a, ha + 128), 218);
    EXPECT_EQ(I32(a, ha + 132), 29);
    EXPECT_EQ(I32(a, ha + 136), 181);
    EXPECT_EQ(I32(a, ha + 140), 218);
    EXPECT_EQ(a[ha + 144], 0);
    EXPECT_EQ(a[ha + 16], 0);
    EXPECT_EQ(I32(a, ha + 148), 5);
    double date;
    std::memcpy(&date, a.data() + ha + 8, 8);
    EXPECT_EQ(date, EncodeDateTime(2001, 2, 3, 4, 5, 6, 0));
    // Gaps and the string fields' tails are zero.
    for (size_t h : {ha, hb}) {
        for (size_t off : {4u, 5u, 6u, 7u, 17u, 18u, 19u, 125u, 126u, 127u, 145u, 146u, 147u,
                           152u, 173u, 174u, 175u})
            EXPECT_EQ(a[h + off], 0) << h << "+" << off;
        for (size_t off = 24 + 1 + 12; off < 125; ++off)
            EXPECT_EQ(a[h + off], 0) << h << "+" << off;
    }
    EXPECT_EQ(a.substr(181, 2), "\x78\xDA");
    EXPECT_EQ(I32(a, hb + 0), 2);
    EXPECT_EQ(I32(a, hb + 20), 2493);
    EXPECT_EQ(I32(a, hb + 128), 2494);
    EXPECT_EQ(I32(a, hb + 136), 394);
    EXPECT_EQ(I32(a, hb + 140), 2494);

    // Split into 1500-byte volumes on the floppy drive.
    Floppy(1500);
    TCrvnCompress c;
    c.SetCompressedFile("C:\\out\\files.1");
    std::vector<int> asked;
    c.OnNewDisk = InsertDisks(&asked);
    c.SplitToVolumes("A:\\", "files.1");
    EXPECT_EQ(asked, std::vector<int>{2});
    std::string v1 = TSandbox::ReadHostFile(Box.Root + "/media/A/disk1/files.1");
    std::string v2 = TSandbox::ReadHostFile(Box.Root + "/media/A/disk2/files.2");
    ASSERT_EQ(v1.size(), 1500u);
    ASSERT_EQ(v2.size(), 994u);
    EXPECT_EQ(I32(v1, 0), 2);
    EXPECT_EQ(v1[4], 1);
    EXPECT_EQ(I32(v1, 5 + 128), 181);
    EXPECT_EQ(I32(v1, 5 + 136), 357);
    EXPECT_EQ(I32(v1, 5 + 20), 393);
    EXPECT_EQ(v1[5 + 144], 1);
    EXPECT_EQ(v1[5 + 16], 1);
    EXPECT_EQ(I32(v1, 181 + 128), 357);
    EXPECT_EQ(I32(v1, 181 + 136), 394);
    EXPECT_EQ(v1[181 + 144], 1);
    EXPECT_EQ(v1[181 + 16], 2);
    EXPECT_EQ(I32(v1, 181 + 20), 993);
    EXPECT_EQ(I32(v1, 5 + 140), 218); // +140 stays as it was
    EXPECT_EQ(I32(v1, 181 + 140), 2494);
    EXPECT_EQ(v1.substr(357, 37), a.substr(181, 37));
    EXPECT_EQ(v1.substr(394) + v2, a.substr(394, 2100));

    // Extraction from the volumes asks for the disks it needs.
    WinInsertDisk(1);
    TCrvnCompress x;
    x.SetCompressedFile("A:\\files.1");
    x.SetExtractDirectory("C:\\dest");
    asked.clear();
    x.OnNewDisk = InsertDisks(&asked);
    Lines(x, {"C:\\src\\A.TXT", "c:\\src\\b.bin"});
    x.ExtractFiles();
    EXPECT_EQ(asked, std::vector<int>{2});
    EXPECT_EQ(Read("C:\\dest\\a.txt"), ContentA);
    EXPECT_EQ(Read("C:\\dest\\b.bin"), ContentB);
    EXPECT_EQ(WinFileAge("C:\\dest\\a.txt"), EncodeDateTime(2001, 2, 3, 4, 5, 6, 0));
}

TEST_F(TArchiveTest, LevelsAppendAndOffset) {
    Source("C:\\src\\a.txt", ContentA);
    Source("C:\\src\\b.bin", ContentB);
    std::pair<TCompressionLevel, std::string> levels[] = {
        {colNone, "\x78\x01"}, {colFastest, "\x78\x01"}, {colDefault, "\x78\x9C"},
        {colMax, "\x78\xDA"}};
    for (auto& [level, head] : levels) {
        Pack("C:\\lv\\x.1", {"C:\\src\\a.txt"}, 1, level);
        EXPECT_EQ(Read("C:\\lv\\x.1").substr(181, 2), head) << int(level);
    }

    // Append mode keeps the old entries and chains the new one at the old end.
    Pack("C:\\out\\files.1", {"C:\\src\\a.txt", "C:\\src\\b.bin"});
    std::string whole = Read("C:\\out\\files.1");
    Pack("C:\\ap\\files.1", {"C:\\src\\a.txt"}, 5);
    Pack("C:\\ap\\files.1", {"C:\\src\\b.bin"}, 5, colMax, lzcOnlyAdd);
    std::string appended = Read("C:\\ap\\files.1");
    ASSERT_EQ(appended.size(), whole.size());
    EXPECT_EQ(I32(appended, 218), 1); // numbering restarts with the batch
    appended.replace(218, 4, whole.substr(218, 4));
    EXPECT_EQ(appended, whole);

    // Appending to an archive whose chain does not end at its end (bytes after the last file)
    // would make the new entries unreachable: refused, the archive unchanged.
    Source("C:\\ap\\tail.1", whole + "junk");
    TCrvnCompress tail;
    tail.SetCompressedFile("C:\\ap\\tail.1");
    Lines(tail, {"C:\\src\\a.txt"});
    EXPECT_THROW(tail.AddFiles(lzcOnlyAdd, 1), ECrvnCompress);
    EXPECT_EQ(Read("C:\\ap\\tail.1"), whole + "junk");
    // The same for an archive without entries that has bytes after its prologue.
    const std::string empty = std::string(5, '\0') + std::string(40, 'J');
    Source("C:\\ap\\empty.1", empty);
    tail.SetCompressedFile("C:\\ap\\empty.1");
    EXPECT_THROW(tail.AddFiles(lzcOnlyAdd, 1), ECrvnCompress);
    EXPECT_EQ(Read("C:\\ap\\empty.1"), empty);

    // The same archive behind a random prefix, read through Offset.
    std::string prefix = RandomBytes(3333, 11);
    Source("C:\\sfx\\setup.exe", prefix + whole);
    TCrvnCompress x;
    x.SetCompressedFile("C:\\sfx\\setup.exe");
    x.SetOffset(static_cast<int32_t>(prefix.size()));
    x.SetExtractDirectory("C:\\dest");
    EXPECT_EQ(x.GetFileCount(), 2);
    Lines(x, {"C:\\src\\b.bin", "C:\\src\\a.txt"});
    x.ExtractFiles();
    EXPECT_EQ(Read("C:\\dest\\b.bin"), ContentB);
    EXPECT_EQ(Read("C:\\dest\\a.txt"), ContentA);
    // Split straight out of the self-extracting file: the volumes start at their own 0.
    x.OnNewDisk = InsertDisks();
    WinForceDirectories("C:\\vol");
    x.SplitToVolumes("C:\\vol", "files.1");
    TCrvnCompress v;
    v.SetCompressedFile("C:\\vol\\files.1");
    v.SetExtractDirectory("C:\\fromvol");
    Lines(v, {"C:\\src\\b.bin"});
    v.ExtractFiles();
    EXPECT_EQ(Read("C:\\fromvol\\b.bin"), ContentB);
    // An Offset past the end is a corrupt archive.
    x.SetOffset(static_cast<int32_t>(prefix.size() + whole.size() + 10));
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { x.GetFileCount(); }),
              "Could not read the file headers for the compressed file. The Archive file could "
              "possible be corrupt");
}

TEST_F(TArchiveTest, RoundTripSizesLookupAndInfo) {
    const size_t sizes[] = {0, 1, 4095, 4096, 4097, 65535, 65536, 65537};
    std::vector<std::string> files, contents;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        contents.push_back(RandomBytes(sizes[i], static_cast<uint32_t>(i)));
        files.push_back(Source("C:\\src\\f" + std::to_string(i) + ".dat", contents.back()));
    }
    contents.push_back(RandomBytes(10 << 20, 99));
    files.push_back(Source("C:\\src\\random.dat", contents.back()));
    contents.push_back(std::string(10 << 20, '\0'));
    files.push_back(Source("C:\\src\\zeros.dat", contents.back()));
    TCrvnCompress c;
    c.SetCompressedFile("C:\\out\\big.1");
    c.SetCompressionLevel(colFastest);
    TStringList list;
    for (auto& f : files)
        list.Add(f + ";ignored;fields");
    c.SetFilesToProcess(list);
    c.AddFiles(lzcOverwrite, 42);

    TCrvnCompress x;
    x.SetCompressedFile("C:\\out\\big.1");
    x.SetExtractDirectory("C:\\dest\\");
    std::vector<TlzhFileStats> finished;
    x.OnStatus = [&](TObject*, const TlzhFileStats& s) {
        if (s.Finished) finished.push_back(s);
    };
    TStringList entries;
    for (auto& f : files)
        entries.Add(SameName(f, files[0]) ? "c:\\SRC\\F0.DAT;x.dat" : f);
    x.SetFilesToProcess(entries);
    x.ExtractFiles();
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(Read("C:\\dest\\" + WinFileNameOf(files[i])), contents[i]) << files[i];
    ASSERT_EQ(finished.size(), files.size());
    EXPECT_EQ(finished[0].Percent, 100); // an empty file is finished at 100 %
    EXPECT_EQ(finished.back().OverallPercent, 100);
    EXPECT_EQ(finished.back().TotalDone, finished.back().TotalUncompressed);

    // Info from the positions: the compressed size is not the stored-size field.
    TlzhFileStats info;
    x.GetFileInfo(8, info);
    EXPECT_EQ(info.UncompressedSize, 10 << 20);
    EXPECT_GT(info.StoredSize, 10 << 20);
    EXPECT_EQ(info.StoredSize, info.Header.LastByte - info.Header.FirstByte + 1);
    EXPECT_EQ(x.FindFileById(42), 9); // the last header of the id
    EXPECT_EQ(x.FindFileById(7), -1);
    EXPECT_EQ(x.FindFileById(2000), -1);
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { x.GetFileInfo(10, info); }),
              "Tried to access the 10th file. This file is not defined");
    int listed = 0;
    x.OnListing = [&](TObject*, const TlzhFileStats&) { ++listed; };
    x.ListFiles();
    EXPECT_EQ(listed, 10);

    Lines(x, {"C:\\src\\nothere.dat"});
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { x.ExtractFiles(); }),
              "The file <C:\\src\\nothere.dat> was not found in the archive <C:\\out\\big.1>");
}

TEST_F(TArchiveTest, RefusedInputsAndDamagedArchives) {
    // Paths over 100 characters are refused before anything is written.
    std::string longPath = "C:\\src\\" + std::string(94, 'p');
    Source(longPath, "x");
    Source("C:\\src\\ok.txt", "ok");
    Source("C:\\src\\a.txt", ContentA);
    TCrvnCompress c;
    c.SetCompressedFile("C:\\out\\long.1");
    Lines(c, {"C:\\src\\ok.txt", longPath});
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { c.AddFiles(lzcOverwrite, 1); }),
              "The path " + longPath +
                  " is longer than 100 characters and cannot be stored in the archive");
    EXPECT_FALSE(WinFileExists("C:\\out\\long.1"));
    EXPECT_TRUE(c.GetAbort());
    Lines(c, {"C:\\src\\missing.txt"});
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { c.AddFiles(lzcOverwrite, 1); }),
              "Cannot open the file C:\\src\\missing.txt");

    // Stored names that climb out of the destination are reduced to one name or refused.
    Source("C:\\src\\evil.txt", "evil");
    Pack("C:\\out\\evil.1", {"C:\\src\\evil.txt", "C:\\src\\ok.txt"});
    std::string bytes = Read("C:\\out\\evil.1");
    auto rename = [&](size_t header, const std::string& name) {
        bytes[header + 24] = static_cast<char>(name.size());
        bytes.replace(header + 25, name.size(), name);
    };
    const size_t second = static_cast<size_t>(I32(bytes, 5 + 128));
    rename(5, "a/../../x.txt");
    rename(second, "q\\..");
    Source("C:\\out\\evil.1", bytes);
    TCrvnCompress x;
    x.SetCompressedFile("C:\\out\\evil.1");
    x.SetExtractDirectory("C:\\dest\\inner");
    Lines(x, {"A/../../X.TXT"});
    x.ExtractFiles();
    EXPECT_EQ(Read("C:\\dest\\inner\\x.txt"), "evil");
    EXPECT_EQ(Names("C:\\dest"), std::vector<std::string>{"inner"});
    Lines(x, {"q\\.."});
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { x.ExtractFiles(); }),
              "The file <q\\..> was not found in the archive <C:\\out\\evil.1>");

    // A tampered stream and lying sizes: an error, the previous target intact, no leftovers.
    Source("C:\\src\\b.bin", ContentB);
    Pack("C:\\out\\t.1", {"C:\\src\\b.bin"});
    std::string good = Read("C:\\out\\t.1");
    Source("C:\\dest\\b.bin", "previous");
    struct {
        std::function<void(std::string&)> Damage;
        std::string Message;
    } cases[] = {
        {[](std::string& s) { s[181 + 500] ^= 0x55; }, "Cannot decompress C:\\src\\b.bin: "},
        {[](std::string& s) { s[2 + 181 + 2100 - 5] ^= 1; }, "Cannot decompress C:\\src\\b.bin: "},
        {[](std::string& s) { s.replace(5 + 132, 4, std::string("\x10\x00\x00\x00", 4)); },
         "The decompressed file's size does not match with the actual size of the file.  The "
         "file is C:\\dest\\b.bin"},
        {[](std::string& s) { s.replace(5 + 132, 4, std::string("\x00\x10\x00\x00", 4)); },
         "The decompressed file's size does not match with the actual size of the file.  The "
         "file is C:\\dest\\b.bin"},
        {[](std::string& s) { // the last byte moved before the stream's end
             s.replace(5 + 20, 4, std::string("\x00\x02\x00\x00", 4));
         },
         "The decompressed file's size does not match with the actual size of the file.  The "
         "file is C:\\dest\\b.bin"},
    };
    for (auto& k : cases) {
        std::string damaged = good;
        k.Damage(damaged);
        Source("C:\\out\\bad.1", damaged);
        TCrvnCompress d;
        d.SetCompressedFile("C:\\out\\bad.1");
        d.SetExtractDirectory("C:\\dest");
        Lines(d, {"C:\\src\\b.bin"});
        std::string message = MessageOf<ECrvnCompress>([&] { d.ExtractFiles(); });
        EXPECT_EQ(message.substr(0, k.Message.size()), k.Message);
        EXPECT_EQ(Read("C:\\dest\\b.bin"), "previous");
    }
    EXPECT_EQ(Names("C:\\dest"), (std::vector<std::string>{"b.bin", "inner"}));

    // Damaged headers: the corrupt-archive text.
    const std::string corrupt = "Could not read the file headers for the compressed file. The "
                                "Archive file could possible be corrupt";
    std::function<void(std::string&)> headerDamage[] = {
        [](std::string& s) { s.replace(0, 4, std::string("\xFF\xFF\xFF\x7F", 4)); }, // 2^31 - 1
        [](std::string& s) { s.replace(0, 4, std::string("\xFF\xFF\xFF\xFF", 4)); }, // -1
        [](std::string& s) { s[4] = 7; },                                            // flag
        [](std::string& s) { s.replace(5 + 136, 4, std::string("\x00\x00\x01\x00", 4)); }, // reversed
        [](std::string& s) { s.replace(5 + 20, 4, std::string("\xFF\xFF\x00\x00", 4)); },  // outside
        [](std::string& s) { s.resize(100); },
        [](std::string& s) { s.resize(3); },
    };
    for (auto& damage : headerDamage) {
        std::string damaged = good;
        damage(damaged);
        EXPECT_THROW(ReadArchiveHeadersFromBytes(damaged), ECrvnCompress);
        Source("C:\\out\\bad.1", damaged);
        TCrvnCompress d;
        d.SetCompressedFile("C:\\out\\bad.1");
        EXPECT_EQ(MessageOf<ECrvnCompress>([&] { d.GetFileCount(); }), corrupt);
    }
    // Cyclic and backward next positions in a two-header archive.
    Pack("C:\\out\\two.1", {"C:\\src\\a.txt", "C:\\src\\ok.txt"});
    std::string two = Read("C:\\out\\two.1");
    for (int32_t next : {5, 100, 0, -1}) {
        std::string damaged = two;
        damaged.replace(5 + 128, 4, std::string(reinterpret_cast<char*>(&next), 4));
        EXPECT_THROW(ReadArchiveHeadersFromBytes(damaged), ECrvnCompress) << next;
    }
    // A length byte over its field is clamped.
    std::string clamped = two;
    clamped[5 + 24] = '\xFF';
    clamped[5 + 152] = '\xFF';
    TArchiveDirectory dir = ReadArchiveHeadersFromBytes(clamped);
    EXPECT_EQ(dir.Headers[0].Rec.Path.size(), 100u);
    EXPECT_EQ(dir.Headers[0].Rec.Version.size(), 20u);
}

TEST_F(TArchiveTest, OverwriteRulesDatesModesAndTargetNames) {
    Source("C:\\src\\run.sh", "#!/bin/sh\necho hi\n");
    Source("C:\\src\\a.txt", ContentA);
    const TDateTime stored = EncodeDateTime(2010, 1, 2, 3, 4, 6, 0);
    WinSetFileAge("C:\\src\\a.txt", stored);
    Pack("C:\\out\\f.1", {"C:\\src\\run.sh", "C:\\src\\a.txt"});
    TCrvnCompress x;
    x.SetCompressedFile("C:\\out\\f.1");
    x.SetExtractDirectory("C:\\dest");
    // The target name serves one entry, then the stored name is used again.
    x.SetTargetName("renamed.sh");
    Lines(x, {"C:\\src\\run.sh", "C:\\src\\a.txt"});
    x.ExtractFiles();
    EXPECT_EQ(Read("C:\\dest\\renamed.sh"), "#!/bin/sh\necho hi\n");
    EXPECT_EQ(Read("C:\\dest\\a.txt"), ContentA);
    struct stat st;
    ASSERT_EQ(stat(WinPathToHost("C:\\dest\\renamed.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat(WinPathToHost("C:\\dest\\a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0111, 0u);
    EXPECT_EQ(WinFileAge("C:\\dest\\a.txt"), stored);

    // An existing target: owNever keeps it (finished status), owDate equal keeps it, newer
    // stored replaces it after OnReplace, which may rename the target.
    Source("C:\\dest\\a.txt", "old");
    WinSetFileAge("C:\\dest\\a.txt", stored - 1);
    int finished = 0, replaced = 0;
    x.OnStatus = [&](TObject*, const TlzhFileStats& s) { finished += s.Finished; };
    x.OnReplace = [&](TObject* sender) {
        ++replaced;
        static_cast<TCrvnCompress*>(sender)->SetTargetName("b.txt");
    };
    x.SetOverwrite(owNever);
    Lines(x, {"C:\\src\\a.txt"});
    x.ExtractFiles();
    EXPECT_EQ(Read("C:\\dest\\a.txt"), "old");
    EXPECT_EQ(finished, 1);
    x.SetOverwrite(owDate);
    Lines(x, {"C:\\src\\a.txt"});
    x.ExtractFiles();
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(Read("C:\\dest\\b.txt"), ContentA);
    WinSetFileAge("C:\\dest\\a.txt", stored);
    Lines(x, {"C:\\src\\a.txt"});
    x.ExtractFiles();
    EXPECT_EQ(replaced, 1);
    // A target in use cannot be replaced.
    WinSetFileAge("C:\\dest\\a.txt", stored - 1);
    x.OnReplace = nullptr;
    WinSetInUse("C:\\dest\\a.txt", true);
    Lines(x, {"C:\\src\\a.txt"});
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { x.ExtractFiles(); }),
              "Cannot create the file C:\\dest\\a.txt");
    EXPECT_EQ(Read("C:\\dest\\a.txt"), "old");
}

TEST_F(TArchiveTest, VolumesPromptsAndTooSmallDisks) {
    std::string big = RandomBytes(25000, 3);
    Source("C:\\src\\big.bin", big);
    Source("C:\\src\\a.txt", ContentA);
    Pack("C:\\out\\files.1", {"C:\\src\\a.txt", "C:\\src\\big.bin"});

    // One file over three volumes.
    Floppy(10000);
    TCrvnCompress c;
    c.SetCompressedFile("C:\\out\\files.1");
    std::vector<int> asked;
    c.OnNewDisk = InsertDisks(&asked);
    c.SplitToVolumes("A:\\", "files.1");
    EXPECT_EQ(asked, (std::vector<int>{2, 3}));
    TlzhFileStats info;
    TCrvnCompress v;
    WinInsertDisk(1);
    v.SetCompressedFile("A:\\files.1");
    v.GetFileInfo(1, info);
    EXPECT_EQ(info.Header.FirstVolume, 1);
    EXPECT_EQ(info.Header.LastVolume, 3);
    TCrvnCompress single;
    single.SetCompressedFile("C:\\out\\files.1");
    TlzhFileStats singleInfo;
    single.GetFileInfo(1, singleInfo);
    EXPECT_EQ(info.StoredSize, singleInfo.StoredSize); // the stream's length either way
    v.SetExtractDirectory("C:\\dest");
    asked.clear();
    v.OnNewDisk = InsertDisks(&asked);
    Lines(v, {"C:\\src\\big.bin"});
    v.ExtractFiles();
    EXPECT_EQ(asked, (std::vector<int>{2, 3}));
    EXPECT_EQ(Read("C:\\dest\\big.bin"), big);

    // A missing volume is asked for 4 times, then given up.
    WinInsertDisk(1);
    TCrvnCompress m;
    m.SetCompressedFile("A:\\files.1");
    m.SetExtractDirectory("C:\\dest2");
    int prompts = 0;
    m.OnNewDisk = [&](TObject*, int disk, std::string& path) {
        ++prompts;
        EXPECT_EQ(disk, 2);
        path = "A:\\";
    };
    Lines(m, {"C:\\src\\big.bin"});
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { m.ExtractFiles(); }),
              "Cannot open the compressed file A:\\files.2");
    EXPECT_EQ(prompts, 4);
    EXPECT_FALSE(WinDirectoryExists("C:\\dest2") && !Names("C:\\dest2").empty());
    m.OnNewDisk = nullptr;
    Lines(m, {"C:\\src\\big.bin"});
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { m.ExtractFiles(); }),
              "Could not open the correct disk file 2");

    // Splitting needs a handler, and a disk that takes the rest of a block.
    Floppy(10000);
    std::filesystem::remove_all(Box.Root + "/media/A");
    WinInsertDisk(1);
    TCrvnCompress s;
    s.SetCompressedFile("C:\\out\\files.1");
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { s.SplitToVolumes("A:\\", "files.1"); }),
              "There was no event handler for the OnNewDisk event, therefore no new disk could be "
              "inserted");
    EXPECT_TRUE(s.GetAbort());
    Floppy(1500);
    std::filesystem::remove_all(Box.Root + "/media/A");
    WinInsertDisk(1);
    s.OnNewDisk = InsertDisks();
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { s.SplitToVolumes("A:\\", "files.1"); }),
              "There is too little space on this disk to operate");
}

TEST_F(TArchiveTest, AbortDiskFullAndCopies) {
    std::string big = RandomBytes(100000, 5);
    Source("C:\\src\\big.bin", big);
    Pack("C:\\out\\files.1", {"C:\\src\\big.bin"}, 3, colFastest);

    // Abort at a byte count during extraction: EccAborted, the previous target intact.
    Source("C:\\dest\\big.bin", "previous");
    TCrvnCompress x;
    x.SetCompressedFile("C:\\out\\files.1");
    x.SetExtractDirectory("C:\\dest");
    x.SetOverwrite(owAlways);
    x.OnStatus = [](TObject* sender, const TlzhFileStats& s) {
        if (s.Done >= 40000) static_cast<TCrvnCompress*>(sender)->SetAbort(true);
    };
    Lines(x, {"C:\\src\\big.bin"});
    EXPECT_EQ(MessageOf<EccAborted>([&] { x.ExtractFiles(); }), "Operation aborted by user");
    EXPECT_EQ(Read("C:\\dest\\big.bin"), "previous");
    EXPECT_EQ(Names("C:\\dest"), std::vector<std::string>{"big.bin"});

    // Abort during adding and splitting: OnAborted, quietly.
    for (int op = 0; op < 2; ++op) {
        TCrvnCompress a;
        a.SetCompressedFile("C:\\out\\files.1");
        int aborted = 0;
        a.OnAborted = [&](TObject*) { ++aborted; };
        a.OnStatus = [](TObject* sender, const TlzhFileStats& s) {
            if (s.Done >= 16384) static_cast<TCrvnCompress*>(sender)->SetAbort(true);
        };
        a.OnNewDisk = InsertDisks();
        if (op == 0) {
            Lines(a, {"C:\\src\\big.bin"});
            a.SetCompressedFile("C:\\out\\aborted.1");
            a.AddFiles(lzcOverwrite, 1);
        } else {
            WinForceDirectories("C:\\vol");
            a.SplitToVolumes("C:\\vol", "files.1");
        }
        EXPECT_EQ(aborted, 1) << op;
    }

    // A full disk: EccDiskFull without a handler; with one, the handler and then the size
    // check; the previous target intact either way.
    Floppy(30000);
    Source("A:\\big.bin", "prev");
    TCrvnCompress f;
    f.SetCompressedFile("C:\\out\\files.1");
    f.SetExtractDirectory("A:\\");
    Lines(f, {"C:\\src\\big.bin"});
    EXPECT_EQ(MessageOf<EccDiskFull>([&] { f.ExtractFiles(); }), "The disk is full");
    int full = 0;
    f.OnFullDisk = [&](TObject*) { ++full; };
    Lines(f, {"C:\\src\\big.bin"});
    EXPECT_THROW(f.ExtractFiles(), ECrvnCompress);
    EXPECT_GE(full, 1);
    EXPECT_EQ(Read("A:\\big.bin"), "prev");
    EXPECT_EQ(Names("A:\\"), std::vector<std::string>{"big.bin"});

    // Packing onto a full disk: the handler is told, and the pack fails as EccDiskFull.
    TCrvnCompress p;
    p.SetCompressedFile("A:\\pack.1");
    p.OnFullDisk = [&](TObject*) { ++full; };
    Lines(p, {"C:\\src\\big.bin"});
    full = 0;
    EXPECT_THROW(p.AddFiles(lzcOverwrite, 1), EccDiskFull);
    EXPECT_EQ(full, 1);
    EXPECT_TRUE(p.GetAbort());

    // CopyFile: content, date and mode; the build-abort flag stops it.
    std::string script = "#!/bin/sh\n" + std::string(20000, 'x');
    Source("C:\\src\\tool.sh", script);
    chmod(WinPathToHost("C:\\src\\tool.sh").c_str(), 0750);
    WinSetFileAge("C:\\src\\tool.sh", EncodeDateTime(2005, 6, 7, 8, 9, 10, 0));
    TCrvnCompress cp;
    int blocks = 0;
    cp.OnStatus = [&](TObject*, const TlzhFileStats& s) { blocks += !s.Finished; };
    cp.CopyFile("C:\\src\\tool.sh", "C:\\copy\\tool.sh");
    EXPECT_EQ(Read("C:\\copy\\tool.sh"), script);
    EXPECT_EQ(blocks, 3);
    EXPECT_EQ(WinFileAge("C:\\copy\\tool.sh"), EncodeDateTime(2005, 6, 7, 8, 9, 10, 0));
    struct stat st;
    ASSERT_EQ(stat(WinPathToHost("C:\\copy\\tool.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    // An existing destination: OnReplace may rename the copy; owNever keeps the destination.
    cp.OnReplace = [](TObject* sender) {
        static_cast<TCrvnCompress*>(sender)->SetTargetName("tool2.sh");
    };
    cp.CopyFile("C:\\src\\tool.sh", "C:\\copy\\tool.sh");
    EXPECT_EQ(Read("C:\\copy\\tool2.sh"), script);
    cp.SetOverwrite(owNever);
    cp.CopyFile("C:\\src\\tool.sh", "C:\\copy\\tool2.sh");
    cp.SetOverwrite(owAlways);
    cp.OnReplace = nullptr;
    Source("C:\\copy\\tool.sh", "previous");
    SetBuildAbort(true);
    EXPECT_EQ(MessageOf<ECrvnCompress>([&] { cp.CopyFile("C:\\src\\tool.sh", "C:\\copy\\tool.sh"); }),
              "Creating Install Aborted!");
    SetBuildAbort(false);
    EXPECT_EQ(Read("C:\\copy\\tool.sh"), "previous");
    EXPECT_EQ(Names("C:\\copy"), (std::vector<std::string>{"tool.sh", "tool2.sh"}));
}
