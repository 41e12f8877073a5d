// Path specifiers: the template rule, the registry of classes, the standard, shell-folder and
// Office specifiers on emulated machines of each Windows preset.
#include <gtest/gtest.h>

#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/specifiers_Office.h"
#include "setup/engine/specifiers_windows.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

// The path of the live standard specifier named identifier, for asker.
std::string PathOf(const std::string& identifier, TComponent* asker = nullptr) {
    for (int i = 0; i < StandardPathSpecList().Count(); ++i) {
        auto* s = static_cast<TStandardPathSpecifier*>(StandardPathSpecList().Items(i));
        if (s->GetIdentifier() == identifier) return s->PathFor(asker);
    }
    return "(no such specifier)";
}

// An install object that is no file container (as the dialog components are).
class TPlainObject : public TInstallObject {
public:
    explicit TPlainObject(TComponent* owner) : TInstallObject(owner) {}
    int32_t RegisteredType() const override { return rtDialog; }
};

} // namespace

TEST(PathSpecifiers, TemplateRule) {
    struct {
        const char *Template, *Path, *Result;
    } rows[] = {
        {"%P\\bin", "C:\\App", "C:\\App\\bin"}, {"%p", "C:\\App", "C:\\App"},
        {"100%%", "x", "100%"},                 {"%x", "x", "x"},
        {"abc%", "x", "abc"},                   {"%%%P", "C:\\A", "%C:\\A"},
        {"%", "x", ""},                         {"", "x", ""},
        {"%%P", "x", "%P"},                     {"a%Pb%Pc", "1", "a1b1c"},
    };
    for (auto& r : rows)
        EXPECT_EQ(ExpandPathTemplate(r.Template, r.Path), r.Result) << r.Template;
    std::string longText(100000, 'a');
    EXPECT_EQ(ExpandPathTemplate(longText + "%P", "X"), longText + "X");
}

TEST(PathSpecifiers, RegistrationNamesCodesAndLists) {
    TSandbox box("psreg");
    TPathSpecifierClassList& classes = PathSpecifierClassList();
    ASSERT_EQ(classes.Count(), 35);
    const char* order[] = {"TpsBDEDLL", "TpsCommonFiles", "TpsContainerArchiveFile",
                           "TpsContainerDestDir", "TpsDesktopMenu", "TpsInstallSource",
                           "TpsMainInstall", "TpsProgramFiles", "TpsProgramMenu", "TpsStartMenu",
                           "TpsStartupMenu", "TpsSystem", "TpsMainArchiveFile", "TpsWindow",
                           "TpsPrinters", "TpsRecent", "TpsSendTo", "TpsStartup", "TpsControlPanel",
                           "TpsFavorites", "TpsBitBucket", "TpsCookies", "TpsCommonAltStartup",
                           "TpsCommonStartup", "TpsCommonDesktopDirectory", "TpsCommonFavorites",
                           "TpsCommonPrograms", "TpsCommonStartMenu", "TpsQuickLaunchMenu",
                           "TpsOfficeUserTemplates", "TpsOfficeWorkgroupTemplates",
                           "TpsOfficeClipartDirectory", "TpsOfficeStartupDirectory",
                           "TpsOfficeToolsDirectory", "TpsOfficeFavoritesDirectory"};
    for (int i = 0; i < 35; ++i)
        EXPECT_STREQ(classes.Items(i)->Name, order[i]);
    EXPECT_EQ(MessageOf<IEPathSpecifierClassList>([&] { classes.Add(nullptr); }),
              "Tried to add a nil object to the path specifier list");
    EXPECT_EQ(MessageOf<IEPathSpecifierList>([] { PathSpecifierList().Add(nullptr); }),
              "Tried to add a nil object to the path specifier list");
    EXPECT_EQ(MessageOf<IEPathSpecifier>([] { PathSpecifierList().FindByClass(TpsWindow::Class()); }),
              "Could not find the path specifier");
    {
        TDataModule form;
        auto* dirA = new TInstallDirectory(&form);
        EXPECT_EQ(StandardPathSpecList().Count(), 35);
        // A second container finds them all and makes none.
        new TInstallDirectory(&form);
        EXPECT_EQ(StandardPathSpecList().Count(), 35);
        auto* window = form.FindComponent("psWindow");
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(PathSpecifierList().FindByClass(TpsWindow::Class()), window);
        // Codes and names by class.
        struct {
            const char* Name;
            int32_t Code;
            const char* Caption;
        } codes[] = {{"psBDEDLL", 145, "BDE DLL"},        {"psCommonFiles", 1, "Common files"},
                     {"psContainerArchiveFile", 2, "Container archive file"},
                     {"psContainerDestDir", 2, "Path of the group (container)"},        {"psDesktopMenu", 3, "Desktop"},
                     {"psInstallSource", 4, "Install source"}, {"psMainInstall", 5, "Main install dir"},
                     {"psMainArchiveFile", 6, "Main archive"}, {"psSystem", 7, "System dir"},
                     {"psWindow", 0, "Windows dir"},       {"psRecent", 0, "Recently Used"},
                     {"psOfficeToolsDirectory", 0, "Office Tools dir"}};
        for (auto& c : codes) {
            auto* s = dynamic_cast<TStandardPathSpecifier*>(form.FindComponent(c.Name));
            ASSERT_NE(s, nullptr) << c.Name;
            EXPECT_EQ(s->GetCode(), c.Code) << c.Name;
            std::string caption;
            s->GetShortCaption(caption);
            EXPECT_EQ(caption, c.Caption) << c.Name;
        }
        EnsureStandardSpecifiers(dirA, &form, false);
        EXPECT_EQ(StandardPathSpecList().Count(), 70);
        EXPECT_NE(form.FindComponent("psWindow1"), nullptr);

        auto* custom = new TPathSpecifier(&form);
        std::string text;
        custom->GetDescription(text);
        EXPECT_EQ(text, "My cool new path specifier");
        EXPECT_EQ(custom->PathFor(dirA), "");
        custom->OnGetPath = [&](TComponent* asker, std::string& path) {
            EXPECT_EQ(asker, dirA);
            path = "C:\\Mine";
        };
        EXPECT_EQ(custom->PathFor(dirA), "C:\\Mine");
    }
    // Everything left with the script.
    EXPECT_EQ(PathSpecifierList().Count(), 0);
    EXPECT_EQ(StandardPathSpecList().Count(), 0);
    EXPECT_TRUE(InstallContainerList().empty());
}

TEST(PathSpecifiers, StandardPathsWithAndWithoutInstall) {
    TSandbox box("psstd");
    TDataModule form;
    auto* dir = new TInstallDirectory(&form);
    dir->SetName("Dir1");
    const std::string noInstall =
        "There is no TInstall component so the path specifier could not be expanded for Dir1";
    struct {
        const char* Identifier;
        const char* Path; // nullptr: raises noInstall
    } rows[] = {
        {"psBDEDLL", "C:\\Program Files\\Borland\\Common Files\\BDE"},
        {"psCommonFiles", "C:\\Program Files\\Common Files"},
        {"psDesktopMenu", "C:\\Documents and Settings\\User\\Desktop"},
        {"psProgramFiles", "C:\\Program Files"},
        {"psProgramMenu", "C:\\Documents and Settings\\User\\Start Menu\\Programs"},
        {"psStartMenu", "C:\\Documents and Settings\\User\\Start Menu"},
        {"psStartupMenu", "C:\\Documents and Settings\\User\\Start Menu\\Programs\\Startup"},
        {"psSystem", "C:\\WINDOWS\\system32"},
        {"psWindow", "C:\\WINDOWS"},
        {"psInstallSource", nullptr},
        {"psMainInstall", nullptr},
        {"psMainArchiveFile", nullptr},
    };
    for (auto& r : rows) {
        if (r.Path) EXPECT_EQ(PathOf(r.Identifier, dir), r.Path) << r.Identifier;
        else EXPECT_EQ(MessageOf<IEPathSpecifier>([&] { PathOf(r.Identifier, dir); }), noInstall);
    }

    // The container specifiers check their asker.
    auto* loose = new TInstallDirectory(&form);
    loose->SetName("Loose");
    EXPECT_EQ(MessageOf<IEPathSpecifier>([&] { PathOf("psContainerDestDir", &form); }),
              " must be a TInstallObject to use the psContainerDestDir path specifier");
    EXPECT_EQ(MessageOf<IEPathSpecifier>([&] { PathOf("psContainerDestDir", loose); }),
              "Cannot use ddContainerDestDir for Loose unless you assign a Container");
    EXPECT_EQ(MessageOf<IEPathSpecifier>([&] { PathOf("psContainerArchiveFile", loose); }),
              "Cannot use ddContainerArchiveFile for Loose unless you assign a Container");

    auto* install = new TCustomInstall(&form);
    install->SetName("Install");
    install->SetSwitch('s', true, "C:\\Build\\");
    dir->SetContainer(install);
    dir->SetDestDir("\\Data\\");
    EXPECT_EQ(PathOf("psInstallSource", dir), "C:\\Build");
    EXPECT_EQ(PathOf("psMainInstall", dir), "C:\\Program Files\\MyApplication");
    EXPECT_EQ(install->GetDestinationPath(), "C:\\Program Files\\MyApplication");
    EXPECT_EQ(dir->GetDestinationPath(), "C:\\Program Files\\MyApplication\\Data");
    EXPECT_EQ(MessageOf<IEPathSpecifier>([&] { PathOf("psMainInstall", install); }),
              "Cannot use the ddMainInstallDir path specifier for a TInstall component");
    EXPECT_EQ(PathOf("psContainerDestDir", dir), "C:\\Program Files\\MyApplication");

    // The archive specifiers.
    install->SetArchiveFileType(StandardSpecifier<TpsMainArchiveFile>());
    EXPECT_EQ(install->GetArchivePath(), "C:\\Build\\files.1");
    EXPECT_EQ(PathOf("psContainerArchiveFile", dir), "C:\\Build\\files.1");
    EXPECT_EQ(dir->GetArchivePath(), "C:\\Build\\files.1");
    StandardSpecifier<TpsMainArchiveFile>()->ArchiveDir = "C:\\Other\\";
    EXPECT_EQ(install->GetArchivePath(), "C:\\Other\\files.1");
    StandardSpecifier<TpsMainArchiveFile>()->ArchiveDir.clear();
    struct {
        const char* E;
        const char* Path;
    } self[] = {
        {"Setup.exe", "C:\\Build\\Setup.exe"},
        {"sub\\Setup.exe", "C:\\Build\\sub\\Setup.exe"},
        {"C:\\Dist\\Setup.exe", "C:\\Dist\\Setup.exe"},
        {"\\Dist\\Setup.exe", "\\Dist\\Setup.exe"},
        {"/srv/dist/Setup.exe", "Z:\\srv\\dist\\Setup.exe"},
    };
    for (auto& s : self) {
        install->SetSwitch('e', true, s.E);
        EXPECT_EQ(install->GetArchivePath(), s.Path) << s.E;
    }
    install->SetSwitch('e', true, "");
    EXPECT_EQ(MessageOf<IEInstall>([&] { install->GetArchivePath(); }),
              "You forgot to pass in the name of the self-extracting executable. Usage example: "
              "\"-eSetup.exe\"");

    // Writing ArchiveFile under an implicit specifier stores nothing.
    install->SetArchiveFile("x.1");
    EXPECT_EQ(install->GetArchiveFile(), "");
    install->SetArchiveFileType(nullptr);
    install->SetArchiveFile("C:\\x.1");
    EXPECT_EQ(install->GetArchivePath(), "C:\\x.1");
}

TEST(PathSpecifiers, BDEPathAndContainerDescriptions) {
    TSandbox box("psbde");
    TDataModule form;
    auto* install = new TCustomInstall(&form);
    install->SetName("Install");
    const char* key = "\\Software\\Borland\\Database Engine";
    struct {
        const char* Value;
        const char* Path;
    } bde[] = {
        {"C:\\BDE1\\;C:\\BDE2", "C:\\BDE1"},
        {"C:\\BDE", "C:\\BDE"},
        {";C:\\BDE2", ""},
        {"", "C:\\Program Files\\Borland\\Common Files\\BDE"},
    };
    for (auto& r : bde) {
        RegWriteString(hkLocalMachine, key, "DLLPath", r.Value);
        EXPECT_EQ(PathOf("psBDEDLL"), r.Path) << r.Value;
    }

    auto* group = new TCustomInstallGroup(&form);
    group->SetName("Tools");
    group->SetContainer(install);
    auto* dir = new TInstallDirectory(&form);
    dir->SetName("Docs");
    dir->SetContainer(group);
    auto* file = new TCustomInstallFile(&form);
    file->SetName("ReadMe");
    file->SetContainer(dir);
    auto* loose = new TInstallDirectory(&form);
    loose->SetName("Loose");
    TCustomPathSpecifier* destDir = StandardSpecifier<TpsContainerDestDir>();
    struct {
        TComponent* Asker;
        const char* Description;
        const char* Caption;
    } rows[] = {
        {group, "Main installation directory", "Main installation directory"},
        {dir, "Path of the <Tools> group", "<Tools>"},
        {file, "Path of the <Docs> directory", "<Docs>"},
        {loose, "Path of the group (container)", "Path of the group (container)"},
        {&form, "Path of the group (container)", "Path of the group (container)"},
    };
    for (auto& r : rows) {
        EXPECT_EQ(destDir->DescriptionFor(r.Asker), r.Description) << r.Asker->GetName();
        EXPECT_EQ(destDir->ShortCaptionFor(r.Asker), r.Caption) << r.Asker->GetName();
    }
    // A new container brings the container specifiers, which resolve through the chain.
    EXPECT_EQ(file->GetDestDirType(), destDir);
    EXPECT_EQ(file->GetArchiveFileType(), StandardSpecifier<TpsContainerArchiveFile>());
    EXPECT_EQ(file->GetDestinationPath(), "C:\\Program Files\\MyApplication");
    dir->SetDestDir("\\Docs");
    EXPECT_EQ(file->GetDestinationPath(), "C:\\Program Files\\MyApplication\\Docs");
    EXPECT_EQ(dir->GetPathSpecifier()->PathFor(file), "C:\\Program Files\\MyApplication\\Docs");
    EXPECT_EQ(dir->GetPathSpecifier()->DescriptionFor(file), "Path of the <Docs> directory");
    // A container that keeps no archive.
    auto* plain = new TPlainObject(&form);
    auto* inner = new TPlainObject(&form);
    inner->SetName("Inner");
    inner->SetContainer(plain);
    EXPECT_EQ(MessageOf<IEPathSpecifier>([&] { StandardSpecifier<TpsContainerArchiveFile>()->PathFor(inner); }),
              "Cannot use the ddContainerArchiveFile path specifier for Inner because the Container "
              "is not a TFileRelated descendant");
}

TEST(PathSpecifiers, ShellFoldersPerPreset) {
    struct TRow {
        const char* Identifier;
        const char* Path[5]; // 95, 98, NT4, 2000, XP
    };
    const TRow rows[] = {
        {"psRecent", {"undefined", "undefined", "C:\\WINNT\\Profiles\\User\\Recent",
                      "C:\\Documents and Settings\\User\\Recent",
                      "C:\\Documents and Settings\\User\\Recent"}},
        {"psCookies", {"", "", "C:\\WINNT\\Profiles\\User\\Cookies",
                       "C:\\Documents and Settings\\User\\Cookies",
                       "C:\\Documents and Settings\\User\\Cookies"}},
        {"psPrinters", {"undefined", "undefined", "", "", ""}},
        {"psControlPanel", {"", "", "", "", ""}},
        {"psBitBucket", {"", "", "", "", ""}},
        {"psCommonDesktopDirectory", {"C:\\WINDOWS\\Desktop", "C:\\WINDOWS\\Desktop",
                                      "C:\\WINNT\\Profiles\\All Users\\Desktop",
                                      "C:\\Documents and Settings\\All Users\\Desktop",
                                      "C:\\Documents and Settings\\All Users\\Desktop"}},
        {"psCommonStartup", {"C:\\WINDOWS\\Start Menu\\Programs\\Startup",
                             "C:\\WINDOWS\\Start Menu\\Programs\\Startup",
                             "C:\\WINNT\\Profiles\\All Users\\Start Menu\\Programs\\Startup",
                             "C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Startup",
                             ""}},
        {"psCommonPrograms", {"C:\\WINDOWS\\Start Menu\\Programs", "C:\\WINDOWS\\Start Menu\\Programs",
                              "C:\\WINNT\\Profiles\\All Users\\Start Menu\\Programs",
                              "C:\\Documents and Settings\\All Users\\Start Menu\\Programs",
                              "C:\\Documents and Settings\\All Users\\Start Menu\\Programs"}},
        {"psFavorites", {"undefined", "undefined", "C:\\WINNT\\Profiles\\User\\Favorites",
                         "C:\\Documents and Settings\\User\\Favorites",
                         "C:\\Documents and Settings\\User\\Favorites"}},
        {"psSendTo", {"", "", "C:\\WINNT\\Profiles\\User\\SendTo",
                      "C:\\Documents and Settings\\User\\SendTo",
                      "C:\\Documents and Settings\\User\\SendTo"}},
        {"psQuickLaunchMenu",
         {"C:\\WINDOWS\\Application Data\\Microsoft\\Internet Explorer\\Quick Launch",
          "C:\\WINDOWS\\Application Data\\Microsoft\\Internet Explorer\\Quick Launch",
          "C:\\WINNT\\Profiles\\User\\Application Data\\Microsoft\\Internet Explorer\\Quick Launch",
          "C:\\Documents and Settings\\User\\Application Data\\Microsoft\\Internet Explorer\\Quick Launch",
          "C:\\Documents and Settings\\User\\Application Data\\Microsoft\\Internet Explorer\\Quick Launch"}},
    };
    const TWinPreset presets[] = {wp95, wp98, wpNT4, wp2000, wpXP};
    for (int p = 0; p < 5; ++p) {
        TSandbox box("psshell" + PresetName(presets[p]), {presets[p], "User", true});
        TDataModule form;
        new TInstallDirectory(&form);
        for (auto& r : rows)
            EXPECT_EQ(PathOf(r.Identifier), r.Path[p]) << PresetName(presets[p]) << " " << r.Identifier;
    }
    std::string path = "kept";
    GetShellFolderPath(CSIDL_CONTROLS, path);
    EXPECT_EQ(path, "kept");
}

TEST(PathSpecifiers, OfficeFolders) {
    TSandbox box("psoffice");
    TDataModule form;
    new TInstallDirectory(&form);
    const char* curVer = "\\Word.Document\\CurVer";
    auto word = [&](const std::string& progId, bool server) {
        RegWriteString(hkClassesRoot, curVer, "", progId);
        std::string serverKey = "\\" + progId + "\\protocol\\StdFileEditing\\server";
        WinForceDirectories("C:\\Office");
        WinWriteFile("C:\\Office\\WINWORD.EXE", "word");
        RegWriteString(hkClassesRoot, serverKey, "", server ? "C:\\Office\\WINWORD.EXE" : "C:\\Office\\gone.exe");
    };
    const char* def = "C:\\Program Files\\Microsoft Office\\Clipart";
    EXPECT_EQ(OfficeVersion(), -1);
    EXPECT_EQ(PathOf("psOfficeClipartDirectory"), def);
    EXPECT_EQ(PathOf("psOfficeUserTemplates"), "C:\\Program Files\\Microsoft Office\\Templates");
    EXPECT_EQ(PathOf("psOfficeWorkgroupTemplates"), "C:\\Program Files\\Microsoft Office\\Templates");
    EXPECT_EQ(PathOf("psOfficeStartupDirectory"), "C:\\Program Files\\Microsoft Office\\Office\\Startup");
    EXPECT_EQ(PathOf("psOfficeToolsDirectory"), "C:\\Program Files\\Microsoft Office\\Office");
    EXPECT_EQ(PathOf("psOfficeFavoritesDirectory"), "C:\\Documents and Settings\\User\\Favorites");

    RegWriteString(hkCurrentUser, "\\Software\\Microsoft\\Office\\8.0\\Word\\Options", "PICTURE-PATH", "C:\\Clip8\\");
    RegWriteString(hkCurrentUser, "\\Software\\Policies\\Microsoft\\Office\\9.0\\Word\\Options", "PICTURE-PATH", "C:\\Clip9");
    RegWriteString(hkCurrentUser, "\\Software\\Policies\\Microsoft\\Office\\9.0\\Common\\FileNew\\LocalTemplates", "", "C:\\Tpl9");
    RegWriteString(hkCurrentUser, "\\Software\\Microsoft\\Office\\20.0\\Word\\Options", "PICTURE-PATH", "C:\\Clip20");
    struct {
        std::string ProgId;
        bool Server;
        int Version;
        const char* Clipart;
    } rows[] = {
        {"Word.Document.8", false, -1, def},
        {"Word.Document.8", true, 8, "C:\\Clip8"},
        {"Word.Document.9", true, 9, "C:\\Clip9"},
        {"Word.Document.20", true, 20, def},
        {"Word.Document", true, -1, def},
        {"Word.Document.", true, -1, def},
        {"Word.Document.x9", true, -1, def},
        {"", true, -1, def},
    };
    for (auto& r : rows) {
        word(r.ProgId, r.Server);
        EXPECT_EQ(OfficeVersion(), r.Version) << r.ProgId;
        EXPECT_EQ(PathOf("psOfficeClipartDirectory"), r.Clipart) << r.ProgId;
    }
    word("Word.Document.9", true);
    EXPECT_EQ(PathOf("psOfficeUserTemplates"), "C:\\Tpl9");
    EXPECT_EQ(PathOf("psOfficeWorkgroupTemplates"), "C:\\Tpl9");
    EXPECT_EQ(PathOf("psOfficeToolsDirectory"), "C:\\Program Files\\Microsoft Office\\Office");
}
