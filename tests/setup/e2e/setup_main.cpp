// A setup program on the headless driver, for the end-to-end tests: three directories, twenty
// files (a self-registering .ocx, an EXE server, a helper started after the install, the
// uninstaller), a registry writer with "%p" entries; a traditional distribution, or a web one
// when ZAN_E2E_WEB says "<http|ftp> <host:port>".
#include <cstdlib>
#include <string>

#include "setup/engine/SetupDriver.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TInstallRegistry.h"
#include "setup/engine/cmp_TNetInstallLocation.h"

using namespace zan;

namespace {

template <typename T>
T* Make(TDataModule& owner, const std::string& name) {
    auto* c = new T(&owner);
    c->SetLoading(true);
    c->SetName(name);
    return c;
}

void BuildScript(TDataModule& owner) {
    auto* install = Make<TInstall>(owner, "Install");
    install->Information = {"Marrowby Test", "Orvex Test", "1.0"};
    install->SetDestDir("\\Orvex Test");
    install->SetUseLoadingProgram(true);
    install->SetArchiveFileType(StandardSpecifier<TpsMainArchiveFile>());
    if (const char* web = std::getenv("ZAN_E2E_WEB")) {
        std::string spec = web;
        size_t blank = spec.find(' ');
        auto* location = Make<TNetInstallLocation>(owner, "Web");
        location->LoginInformation().Protocol = spec.substr(0, blank) == "ftp" ? ipFTP : ipHTTP;
        location->LoginInformation().Hostname = blank == std::string::npos ? "" : spec.substr(blank + 1);
        install->SetNetLocation(location);
        install->SetDistributeType(dtWeb);
    }
    struct {
        const char* Name;
        const char* Dest;
    } dirs[] = {{"MainDir", ""}, {"BinDir", "\\bin"}, {"DocDir", "\\doc"}};
    TInstallDirectory* containers[3];
    for (int i = 0; i < 3; ++i) {
        containers[i] = Make<TInstallDirectory>(owner, dirs[i].Name);
        containers[i]->SetContainer(install);
        containers[i]->SetDestDirType(StandardSpecifier<TpsMainInstall>());
        containers[i]->SetDestDir(dirs[i].Dest);
    }
    struct {
        const char* Name;
        int Dir;
    } files[] = {{"app.bin", 0},   {"server.exe", 0}, {"control.ocx", 0}, {"runafter.sh", 0},
                 {"readme.txt", 0}, {"data1.txt", 0},  {"data2.txt", 0},   {"data3.txt", 0},
                 {"data4.txt", 0},  {"lib1.dll", 1},   {"lib2.dll", 1},    {"lib3.dll", 1},
                 {"lib4.dll", 1},   {"lib5.dll", 1},   {"lib6.dll", 1},    {"help.hlp", 2},
                 {"doc1.txt", 2},   {"doc2.txt", 2},   {"doc3.txt", 2}};
    int id = 10;
    for (const auto& f : files) {
        std::string name = f.Name;
        auto* file = Make<TInstallFile>(owner, "File" + std::to_string(id));
        file->SetUniqueID(id++);
        file->SetContainer(containers[f.Dir]);
        file->SetIncludeFromDir("C:\\src");
        file->SetFileName(name);
        file->SetDestName(name);
        if (name == "server.exe" || name == "control.ocx") file->SetActiveX(true);
        if (name == "runafter.sh") file->SetRunAfterInstall(true);
        if (name == "help.hlp") file->SetRegisterAsHelp(true);
        if (name.rfind("lib", 0) == 0) {
            file->SetUpdateDLLCounter(true);
            file->SetOverwriteMode(owVersionDate);
        }
    }
    auto* uninstaller = Make<TUninstallEXE>(owner, "Uninstaller");
    uninstaller->SetUniqueID(id);
    uninstaller->SetContainer(containers[0]);
    uninstaller->SetIncludeFromDir("C:\\src");
    uninstaller->SetFileName("uninstall.exe");
    uninstaller->SetDestName("uninstall.exe");
    auto* keys = Make<TInstallRegistry>(owner, "Keys");
    keys->SetContainer(install);
    keys->SetKeySpecifierType(ksProductName);
    TRegistryEntry* path = keys->GetEntries().Add();
    path->SetIdent("InstallPath");
    path->SetPathSpecifier(StandardSpecifier<TpsMainInstall>());
    path->SetText("%p");
    TRegistryEntry* literal = keys->GetEntries().Add();
    literal->SetIdent("Literal");
    literal->SetText("%p");
    TRegistryEntry* version = keys->GetEntries().Add();
    version->SetIdent("Version");
    version->SetText("1.0");
}

} // namespace

int main(int argc, char** argv) { return RunSetup(argc, argv, BuildScript); }
