// Randomized mutation of the three readers' inputs: language lines, version blocks inside ELF
// files, and archives. Each reader either accepts its input or raises its own error; nothing
// else escapes (the sanitizers catch bad reads).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "host/rtl/StringList.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TTranslator.h"
#include "setup/engine/cmp_TVersionResource.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

// Flips, overwrites with interesting bytes, inserts, deletes or truncates.
std::string Mutate(std::string s, std::mt19937& gen, size_t hotEnd = 0) {
    static const char interesting[] = {'\0', '\xFF', '\x7F', '\x80', '#', ';', '\r', '\n', '*',
                                       '9',  '-',    '\xB0', '\xFE', ' '};
    int edits = 1 + static_cast<int>(gen() % 4);
    for (int e = 0; e < edits && !s.empty(); ++e) {
        size_t range = hotEnd && gen() % 2 ? std::min(hotEnd, s.size()) : s.size();
        size_t at = gen() % range;
        switch (gen() % 6) {
        case 0: s[at] = static_cast<char>(s[at] ^ (1 << (gen() % 8))); break;
        case 1: s[at] = interesting[gen() % sizeof interesting]; break;
        case 2: s.insert(at, 1, interesting[gen() % sizeof interesting]); break;
        case 3: s.erase(at, 1 + gen() % 8); break;
        case 4: s.resize(at); break;
        default: { // a random int32 at a random aligned place
            uint32_t v = gen() % 3 == 0 ? 0x7FFFFFFF : gen();
            at &= ~size_t(3);
            for (int i = 0; i < 4 && at + i < s.size(); ++i)
                s[at + i] = static_cast<char>(v >> (8 * i));
        }
        }
    }
    return s;
}

std::vector<std::string> SplitLines(const std::string& text) {
    TStringList list;
    list.SetText(text);
    std::vector<std::string> lines;
    for (int i = 0; i < list.Count(); ++i)
        lines.push_back(list[i]);
    return lines;
}

} // namespace

TEST(ReaderMutation, LanguageLines) {
    const std::string sample = "* Orvex setup texts\r\n10;Next\r\n11;Back\r\n#12;\r\nLine one\r\n"
                               "Line two\r\n#\r\n13;Cancel\r\n#14;\r\nOnly line\r\n#\r\n";
    ASSERT_NO_THROW(ParseLanguageLines(SplitLines(sample), clEnglish));
    std::mt19937 gen(20261208);
    int accepted = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string text = Mutate(sample, gen);
        try {
            TParsedLanguage p = ParseLanguageLines(SplitLines(text), clGerman);
            ++accepted;
            for (auto& e : p.Strings)
                EXPECT_LE(e.Text.size(), 255u);
        } catch (const Exception&) {
        }
    }
    EXPECT_GT(accepted, 100);
}

TEST(ReaderMutation, VersionBlocksAndElfFiles) {
    TSandbox box("mutation_version");
    std::string host = box.C("tool");
    std::filesystem::copy_file("/bin/true", host);
    std::string cmd = std::string(ZAN_MKVERINFO) + " '" + host + ".blk' --file-version 1.2.3.4 " +
                      "--translation 0904E404 --string 040904E4:CompanyName=Orvex && objcopy " +
                      "--add-section .verinfo='" + host + ".blk' '" + host + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string elf = TSandbox::ReadHostFile(host);
    ASSERT_TRUE(VersionDataFromBytes(elf));
    std::string block = TSandbox::ReadHostFile(host + ".blk");
    // The section header table and the section itself are the places worth damaging.
    size_t shoff = 0;
    for (int i = 0; i < 8; ++i)
        shoff |= size_t(static_cast<uint8_t>(elf[0x28 + i])) << (8 * i);
    std::mt19937 gen(77);
    for (int i = 0; i < 3000; ++i) {
        std::string b = Mutate(block, gen);
        auto parsed = ParseVersionBlock(b);
        if (parsed) {
            std::string v;
            parsed->Query("\\StringFileInfo\\040904E4\\CompanyName", v);
        }
        std::string e = elf;
        // Damage the ELF header or the section headers in place (the size stays).
        for (int k = 0; k < 3; ++k) {
            size_t at = gen() % 2 ? gen() % 64 : shoff + gen() % (e.size() - shoff);
            e[at] = static_cast<char>(gen());
        }
        VersionDataFromBytes(e);
        VersionDataFromBytes(Mutate(elf, gen, 64));
    }
}

TEST(ReaderMutation, Archives) {
    TSandbox box("mutation_archive");
    TSandbox::WriteHostFile(box.C("src/a.txt"), "ABCDEFGHIJKLMNOPQRSTUVWXYZ012 hello hello hello");
    std::string b;
    for (int i = 0; i < 3000; ++i)
        b += std::to_string(i * 7919 % 1000) + ",";
    TSandbox::WriteHostFile(box.C("src/b.csv"), b);
    TSandbox::WriteHostFile(box.C("src/empty"), "");
    TCrvnCompress c;
    c.SetCompressedFile("C:\\out\\files.1");
    TStringList list;
    list.Add("C:\\src\\a.txt");
    list.Add("C:\\src\\b.csv");
    list.Add("C:\\src\\empty");
    c.SetFilesToProcess(list);
    c.AddFiles(lzcOverwrite, 1);
    const std::string archive = WinReadFile("C:\\out\\files.1");
    EXPECT_EQ(ExtractEntryFromBytes(archive, "c:\\SRC\\B.CSV"), b);

    std::mt19937 gen(4242);
    int intact = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string damaged = Mutate(archive, gen, 5 + 176);
        try {
            TArchiveDirectory dir = ReadArchiveHeadersFromBytes(damaged);
            for (const TFileHeader& h : dir.Headers) {
                try {
                    std::string content = ExtractEntryFromBytes(damaged, h.Rec.Path);
                    EXPECT_EQ(static_cast<int64_t>(content.size()), h.Rec.UncompressedSize);
                    ++intact;
                } catch (const ECrvnCompress&) {
                }
            }
        } catch (const ECrvnCompress&) {
        }
        // Now and then the whole way through files: the target stays as it was on failure.
        if (i % 100 == 0) {
            WinWriteFile("C:\\out\\bad.1", damaged);
            TSandbox::WriteHostFile(box.C("dest/b.csv"), "previous");
            TCrvnCompress x;
            x.SetCompressedFile("C:\\out\\bad.1");
            x.SetExtractDirectory("C:\\dest");
            TStringList entries;
            entries.Add("C:\\src\\b.csv");
            x.SetFilesToProcess(entries);
            try {
                x.ExtractFiles();
                EXPECT_EQ(WinReadFile("C:\\dest\\b.csv"), b);
            } catch (const ECrvnCompress&) {
                EXPECT_EQ(WinReadFile("C:\\dest\\b.csv"), "previous");
            }
            EXPECT_EQ(WinFindFiles("C:\\dest").size(), 1u);
        }
    }
    EXPECT_GT(intact, 0);
}
