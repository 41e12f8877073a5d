// The setup part of the demo, around OrvexDemoInstall on the machine of $ORVEX_SANDBOX:
//   orvexdemo prepare <program> <loader>   a fresh machine: the program with BUILD.INF in C:\dev,
//                                          the loading program on the library path, a Delphi 7
//                                          installation for the registrar
//   orvexdemo report                       the installed tree, the IDE entries and instlog.txt
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinShell.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/wizard/VCLInstall.h"
#include "setup/wizard/frmMain.h"

using namespace zan;

namespace {

void CopyIn(const std::string& hostFile, const std::string& winPath) {
    std::ifstream in(hostFile, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + hostFile);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    WinWriteFile(winPath, data);
    WinMarkExecutableIfProgram(winPath);
}

void Tree(const std::string& dir, const std::string& indent) {
    for (const TWinFindData& f : WinFindFiles(dir)) {
        if (f.Name == "." || f.Name == "..") continue;
        bool folder = (f.Attributes & 0x10) != 0;
        std::printf("%s%s%s\n", indent.c_str(), f.Name.c_str(),
                    folder ? "\\" : ("  " + std::to_string(f.Size)).c_str());
        if (folder) Tree(dir + "\\" + f.Name, indent + "  ");
    }
}

} // namespace

int main(int argc, char** argv) {
    try {
        std::string command = argc > 1 ? argv[1] : "";
        std::string root = DefaultSandboxRoot();
        if (command == "prepare" && argc == 4) {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
            InitEnv(root, {});
            WinForceDirectories("C:\\dev");
            CopyIn(argv[2], "C:\\dev\\setup");
            WinWriteFile("C:\\dev\\BUILD.INF", "C:\\build\r\n");
            WinForceDirectories("C:\\lib");
            WinWriteFile("C:\\lib\\Kovrix.TXT", "");
            CopyIn(argv[3], "C:\\lib\\CorvaneLoadProgram.exe");
            RegWriteString(hkCurrentUser, "\\Software\\Borland\\Delphi\\5.0\\Library", "Search Path", "C:\\lib");
            SeedDelphi7Installation();
            std::printf("machine ready in %s (Delphi 7 seeded)\n", root.c_str());
            return 0;
        }
        if (command == "report" && argc == 2) {
            UseSandbox(root);
            std::string dest = RegReadString(hkLocalMachine, ProductKey, "InstallPath", "");
            std::printf("== installed tree (%s)\n", dest.c_str());
            if (!dest.empty() && WinDirectoryExists(dest)) Tree(dest, "  ");
            const std::string key = "\\software\\Borland\\Delphi\\7.0";
            std::printf("== Delphi 7 entries\n");
            std::printf("  Palette \"Data Access\": %s\n",
                        RegReadString(hkCurrentUser, "\\SOFTWARE\\Borland\\Delphi\\7.0\\Palette", "Data Access", "").c_str());
            std::printf("  Known Packages \"%s\\Delphi7\\dclzan14d7.bpl\": %s\n", dest.c_str(),
                        RegReadString(hkCurrentUser, key + "\\Known Packages", dest + "\\Delphi7\\dclzan14d7.bpl", "").c_str());
            std::printf("  Library \"Search Path\": %s\n",
                        RegReadString(hkCurrentUser, key + "\\Library", "Search Path", "").c_str());
            std::string help = RegReadString(hkLocalMachine, key, "RootDir", "") + "\\Help\\delphi7.ohl";
            std::printf("== %s\n%s", help.c_str(), WinFileExists(help) ? WinReadFile(help).c_str() : "(missing)\n");
            std::string log = dest + "\\instlog.txt";
            std::printf("== %s\n%s", log.c_str(), WinFileExists(log) ? WinReadFile(log).c_str() : "(missing)\n");
            return 0;
        }
        std::cerr << "usage: orvexdemo prepare <program> <loader> | orvexdemo report\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "orvexdemo: " << e.what() << "\n";
        return 1;
    }
}
