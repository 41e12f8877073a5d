// winsandbox: manages the emulated Windows machine of the setup program.
//   winsandbox [--root DIR] init [--windows 95|98|ME|NT4|2000|XP] [--user NAME] [--no-seed]
//   winsandbox [--root DIR] boot
//   winsandbox [--root DIR] reg dump [HKLM|HKCU|HKCR|HKU|HKCC|HKDD]
// The root defaults to $ORVEX_SANDBOX, else the user's data directory.
#include <cstdio>
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "host/win/WinBoot.h"
#include "host/win/WinEnv.h"
#include "host/win/WinRegistry.h"
#include "host/win/WinShell.h"

using namespace zan;

namespace {

int Usage() {
    std::cerr << "usage: winsandbox [--root DIR] init [--windows 95|98|ME|NT4|2000|XP] "
                 "[--user NAME] [--no-seed]\n"
                 "       winsandbox [--root DIR] boot\n"
                 "       winsandbox [--root DIR] reg dump [HKLM|HKCU|HKCR|HKU|HKCC|HKDD]\n";
    return 2;
}

int Run(std::vector<std::string> args) {
    std::string root = DefaultSandboxRoot();
    if (args.size() >= 2 && args[0] == "--root") {
        root = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return Usage();
    std::string command = args[0];
    if (command == "init") {
        TInitEnvOptions options;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--windows" && i + 1 < args.size())
                options.Preset = PresetFromName(args[++i]);
            else if (args[i] == "--user" && i + 1 < args.size())
                options.UserName = args[++i];
            else if (args[i] == "--no-seed")
                options.SeedShellFolders = false;
            else
                return Usage();
        }
        InitEnv(root, options);
        std::cout << "machine ready in " << CurrentWinEnv().Root << "\n";
        return 0;
    }
    // The command is checked before the machine is opened: a usage error makes no sandbox root.
    const HKEY roots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT,
                          HKEY_USERS, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA};
    bool boot = command == "boot" && args.size() == 1;
    bool dump = command == "reg" && args.size() >= 2 && args[1] == "dump" && args.size() <= 3;
    if (dump && args.size() == 3 &&
        std::none_of(std::begin(roots), std::end(roots),
                     [&](HKEY r) { return RootKeyShortName(r) == args[2]; }))
        return Usage();
    if (!boot && !dump) return Usage();
    UseSandbox(root);
    if (boot) {
        std::vector<std::string> report;
        WinSimulateBoot(report);
        for (const std::string& line : report)
            std::cout << "skipped: " << line << "\n";
        return 0;
    }
    for (HKEY r : roots)
        if (args.size() != 3 || RootKeyShortName(r) == args[2]) std::cout << RegHiveText(r);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "winsandbox: " << e.what() << "\n";
        return 1;
    }
}
