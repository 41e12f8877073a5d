// Version resources: the block format and its query paths, the ELF carrier (a program stamped
// with mkverinfo and objcopy), the texts of the fixed info, version comparison and the
// overwrite decision matrix.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "host/rtl/SysUtils.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/cmp_TVersionResource.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

TVersionBlock SampleBlock() {
    TVersionBlock b;
    TFixedFileInfo f;
    f.dwFileVersionMS = 1 << 16 | 2;
    f.dwFileVersionLS = 3 << 16 | 4;
    f.dwProductVersionMS = 5 << 16;
    f.dwProductVersionLS = 7;
    f.dwFileOS = 0x40004;
    f.dwFileType = 3;
    f.dwFileSubtype = 6;
    b.Fixed = f;
    b.Translation = std::string("\x07\x04\xE2\x04", 4); // 0x0407, code page 1250
    b.Tables.push_back({"040904E4",
                        {{"Comment", "A comment"},
                         {"CompanyName", "Orvex"},
                         {"ProductVersion", "5.0"},
                         {"OLESelfRegister", ""}}});
    b.Tables.push_back({"040704E2", {{"CompanyName", "Orvex GmbH"}, {"OLESelfRegister", ""}}});
    return b;
}

// Stamps a copy of a small program with a block written by mkverinfo; answers its host path.
std::string StampedProgram(const TSandbox& box, const std::string& rel,
                           const std::string& mkverinfoArgs) {
    std::string host = box.C(rel);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::filesystem::copy_file("/bin/true", host, std::filesystem::copy_options::overwrite_existing);
    std::string block = host + ".blk";
    std::string cmd = std::string(ZAN_MKVERINFO) + " '" + block + "' " + mkverinfoArgs;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    cmd = "objcopy --add-section .verinfo='" + block +
          "' --set-section-flags .verinfo=noload,readonly '" + host + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::filesystem::remove(block);
    return host;
}

} // namespace

TEST(VersionResource, CompareVersions) {
    struct {
        const char *A, *B;
        int Expected;
    } rows[] = {
        {"1.2", "1.2.0", 2}, {"1.2.0", "1.2", 1}, {"1.10", "1.9", 1}, {"1.2a", "1.2b", 2},
        {"", "", 0},         {"", "1", 2},        {"2.0.0.1", "2.0.0.1", 0},
        {"10", "9", 1},      {"a", "B", 1}, // ordinal, case-sensitive
        {"1.02", "1.2", 0},  {"99999999999999999999.1", "1.1", 1},
    };
    for (auto& r : rows)
        EXPECT_EQ(CompareVersions(r.A, r.B), r.Expected) << r.A << " vs " << r.B;
}

TEST(VersionResource, FixedInfoTexts) {
    std::pair<uint32_t, const char*> os[] = {
        {1, "Windows 3.0 or later"}, {2, "16 bit OS/2 Presentation Manager"},
        {3, "32 bit OS/2 Presentation Manager"}, {4, "32 bit Windows"}, {0x10000, "MS-Dos"},
        {0x10001, "Windows 3.0 or later with MS-Dos"}, {0x10004, "32 bit Windows with MS-Dos"},
        {0x20000, "16 bit OS/2"}, {0x20002, "16 bit OS/2 with Presentation Manager"},
        {0x30000, "32 bit OS/2"}, {0x30003, "32 bit OS/2 with Presentation Manager"},
        {0x40000, "Windows NT"}, {0x40004, "Windows NT with 32 bit Windows"}, {5, "Unknown"}};
    for (auto& [v, text] : os)
        EXPECT_EQ(FileOSText(v), text);
    std::pair<uint32_t, const char*> types[] = {
        {1, "Application"}, {2, "Dynamic-Link Library"}, {3, "Device Driver"}, {4, "Font"},
        {5, "Virtual Device Driver"}, {7, "Static-Link Library"}, {6, "Unknown"}, {0, "Unknown"}};
    for (auto& [v, text] : types)
        EXPECT_EQ(FileTypeText(v), text);
    const char* drivers[] = {"Unknown", "Printer", "Keyboard", "Language", "Display", "Mouse",
                             "Network", "System", "Installable", "Sound", "Communications",
                             "Unknown"};
    for (uint32_t s = 0; s <= 11; ++s)
        EXPECT_EQ(FileSubTypeText(3, s), drivers[s]);
    const char* fonts[] = {"Unknown", "Raster", "Vector", "TrueType", "Unknown"};
    for (uint32_t s = 0; s <= 4; ++s)
        EXPECT_EQ(FileSubTypeText(4, s), fonts[s]);
    EXPECT_EQ(FileSubTypeText(1, 1), "");
}

TEST(VersionResource, BlockQueriesLanguagesAndTranslation) {
    std::string bytes = SerializeVersionBlock(SampleBlock());
    auto block = ParseVersionBlock(bytes);
    ASSERT_TRUE(block);
    std::string v;
    ASSERT_TRUE(block->Query("\\", v));
    EXPECT_EQ(v.size(), 52u);
    EXPECT_EQ(v.substr(0, 4), std::string("\xBD\x04\xEF\xFE", 4));
    EXPECT_TRUE(block->Query("\\StringFileInfo\\040904e4\\companyname", v));
    EXPECT_EQ(v, "Orvex");
    EXPECT_FALSE(block->Query("\\StringFileInfo\\040904E4\\Missing", v));

    TSandbox box("verres_block");
    TVersionResource res;
    res.Apply(block);
    const TVersionInfo& info = res.GetVersionInfo();
    EXPECT_EQ(info.FileVersion, "1.2.3.4");
    EXPECT_EQ(info.ProductVersion, "5.0"); // the string table's value replaces the fixed one
    EXPECT_EQ(info.Comment, "A comment");
    EXPECT_EQ(info.CompanyName, "Orvex");
    EXPECT_EQ(info.FileOS, "Windows NT with 32 bit Windows");
    EXPECT_EQ(info.FileType, "Device Driver");
    EXPECT_EQ(info.FileSubType, "Network");
    EXPECT_EQ(info.PrimaryLanguage, 7);
    res.SetLanguage(versionres::lnGerman);
    res.SetCharacterSet(versionres::csLatin2);
    EXPECT_EQ(versionres::LanguageId(versionres::lnSwissFrench), 4108);
    EXPECT_EQ(versionres::CodePage(versionres::csArabic), 1256);
    res.Apply(block);
    EXPECT_EQ(res.GetVersionInfo().CompanyName, "Orvex GmbH");
    EXPECT_EQ(res.GetVersionInfo().Comment, "");

    // A translation that is not 4 bytes is ignored.
    TVersionBlock six = SampleBlock();
    six.Translation = std::string("\x07\x04\xE2\x04\x00\x00", 6);
    res.Apply(ParseVersionBlock(SerializeVersionBlock(six)));
    EXPECT_EQ(res.GetVersionInfo().PrimaryLanguage, 0);
    EXPECT_EQ(res.GetVersionInfo().FileVersion, "1.2.3.4");

    // Without version data all fifteen strings are empty.
    res.Apply(std::nullopt);
    EXPECT_EQ(res.GetVersionInfo().FileVersion, "");
    EXPECT_EQ(res.GetVersionInfo().FileOS, "");

    // Lies about lengths and counts: no version data, nothing sized by them.
    std::string huge = bytes;
    huge[bytes.size() - 4] = '\xFF'; // not at a count, but the tail no longer fits
    EXPECT_FALSE(ParseVersionBlock(huge));
    std::string counts = SerializeVersionBlock(TVersionBlock{});
    counts.replace(counts.size() - 4, 4, "\xFF\xFF\xFF\x7F");
    EXPECT_FALSE(ParseVersionBlock(counts));
    for (size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_FALSE(ParseVersionBlock(std::string_view(bytes).substr(0, cut))) << cut;
}

TEST(VersionResource, StampedElfReadBackAndOLESelfRegister) {
    TSandbox box("verres_elf");
    StampedProgram(box, "app/tool.exe",
                   "--file-version 2.5.0.17 --product-version 2.5 --os 4 --type 1 "
                   "--translation 0904E404 --string 040904E4:CompanyName=Orvex "
                   "--string 040904E4:OLESelfRegister=");
    TVersionResource res;
    res.SetFileName("C:\\app\\TOOL.EXE");
    EXPECT_TRUE(res.IsOtherFile());
    EXPECT_EQ(res.GetVersionInfo().FileVersion, "2.5.0.17");
    EXPECT_EQ(res.GetVersionInfo().ProductVersion, "2.5.0.0");
    EXPECT_EQ(res.GetVersionInfo().CompanyName, "Orvex");
    EXPECT_EQ(res.GetVersionInfo().FileType, "Application");
    EXPECT_EQ(res.GetVersionInfo().PrimaryLanguage, 9);
    EXPECT_TRUE(IsOLESelfRegister("C:\\app\\tool.exe"));
    EXPECT_EQ(GetFileVersionText("C:\\app\\tool.exe"), "2.5.0.17");

    StampedProgram(box, "app/plain.exe", "--file-version 1.0.0.0 --translation 0904E404");
    EXPECT_FALSE(IsOLESelfRegister("C:\\app\\plain.exe"));
    // A file without the section, a missing file: no version data.
    TSandbox::WriteHostFile(box.C("app/readme.txt"), "MZ not a program");
    res.SetFileName("C:\\app\\readme.txt");
    EXPECT_EQ(res.GetVersionInfo().FileVersion, "");
    res.SetFileName("C:\\app\\missing.exe");
    EXPECT_EQ(res.GetVersionInfo().CompanyName, "");

    // The ELF walk over damaged headers: never a crash, no version data or the right data.
    std::string elf = TSandbox::ReadHostFile(box.C("app/tool.exe"));
    ASSERT_TRUE(VersionDataFromBytes(elf));
    for (size_t field : {0x28u, 0x3Au, 0x3Cu, 0x3Eu}) {
        std::string bad = elf;
        bad[field] = '\xFF';
        bad[field + 1] = '\x7F';
        EXPECT_FALSE(VersionDataFromBytes(bad)) << field;
    }
    EXPECT_FALSE(VersionDataFromBytes(elf.substr(0, elf.size() / 2)));
}

TEST(VersionResource, OverwriteDecisionMatrix) {
    TSandbox box("verres_matrix");
    StampedProgram(box, "dest/app.exe", "--file-version 1.2.0.0");
    const std::string existing = "C:\\dest\\app.exe";
    const TDateTime date = EncodeDateTime(2024, 5, 6, 7, 8, 10, 0);
    WinSetFileAge(existing, date);
    enum TRel { Older, Equal, Newer };
    const char* versions[] = {"1.1.0.0", "1.2.0.0", "1.3.0.0"};
    const TDateTime dates[] = {date - 2, date, date + 2};
    // Results per mode for the new file's version/date relative to the existing file.
    struct {
        TOverwriteType Mode;
        TRel Version, Date;
        int Expected;
    } rows[] = {
        {owAlways, Older, Older, vrReplace},      {owAlways, Newer, Newer, vrReplace},
        {owNever, Newer, Newer, vrKeep},          {owNever, Older, Older, vrKeep},
        {owVersion, Older, Newer, vrKeep},        {owVersion, Equal, Newer, vrEqual},
        {owVersion, Newer, Older, vrReplace},     {owDate, Newer, Older, vrKeep},
        {owDate, Older, Equal, vrEqual},          {owDate, Older, Newer, vrReplace},
        {owVersionDate, Older, Newer, vrKeep},    {owVersionDate, Newer, Older, vrReplace},
        {owVersionDate, Equal, Older, vrKeep},    {owVersionDate, Equal, Equal, vrEqual},
        {owVersionDate, Equal, Newer, vrReplace}, {owAsk, Equal, Equal, vrAsk},
        {owAsk, Older, Older, vrAsk},
    };
    for (auto& r : rows)
        EXPECT_EQ(IsFileNewerByVersion(versions[r.Version], existing, r.Mode, dates[r.Date]),
                  r.Expected)
            << int(r.Mode) << " " << r.Version << " " << r.Date;

    // A missing destination.
    const std::string missing = "C:\\dest\\none.exe";
    std::pair<TOverwriteType, int> absent[] = {{owAlways, vrReplace}, {owNever, vrReplace},
                                               {owVersion, vrReplace}, {owDate, vrUndetermined},
                                               {owVersionDate, vrReplace}, {owAsk, vrAsk}};
    for (auto& [mode, expected] : absent)
        EXPECT_EQ(IsFileNewerByVersion("1.0", missing, mode, date), expected) << int(mode);
    EXPECT_EQ(IsFileNewerByName("C:\\dest\\app.exe", "  ", owNever), vrReplace);

    // By name: both files' versions and dates; an unopenable new file is undetermined.
    StampedProgram(box, "src/app.exe", "--file-version 1.2.0.0");
    WinSetFileAge("C:\\src\\app.exe", date + 1);
    EXPECT_EQ(IsFileNewerByName("C:\\src\\app.exe", existing, owVersion), vrEqual);
    EXPECT_EQ(IsFileNewerByName("C:\\src\\app.exe", existing, owVersionDate), vrReplace);
    EXPECT_EQ(IsFileNewerByName("C:\\src\\app.exe", existing, owDate), vrReplace);
    EXPECT_EQ(IsFileNewerByName(existing, "C:\\src\\app.exe", owDate), vrKeep);
    EXPECT_EQ(IsFileNewerByName("C:\\src\\gone.exe", existing, owDate), vrUndetermined);
    // Two files without version data compare equal by version.
    TSandbox::WriteHostFile(box.C("a.txt"), "a");
    TSandbox::WriteHostFile(box.C("b.txt"), "b");
    EXPECT_EQ(IsFileNewerByName("C:\\a.txt", "C:\\b.txt", owVersion), vrEqual);
}
