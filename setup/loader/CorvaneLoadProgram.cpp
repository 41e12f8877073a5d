// The loading program (CorvaneLoadProgram.exe) a self-extracting setup.exe starts with. It
// reads its own trailer through /proc/self/exe. SELFEXTRACTING: extracts setup.1 into a new folder of the
// machine's temp directory, marks the setup program executable and runs
// "setup -e<own path> -s<folder> -c" ("-f" instead of "-c" when started with *TODISK).
// NOTSELFEXTRACT: extracts the setup.1 beside it and runs the setup program with -s<own folder>.
// Its exit status is the setup program's.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "host/win/WinProcess.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TInstallBuild.h"

using namespace zan;

int main(int argc, char** argv) {
    try {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) throw std::runtime_error("cannot find my own file");
        self[n] = '\0';
        std::string ownWin = HostPathToWin(self);
        std::string own = WinReadFile(ownWin);
        TSelfExtractInfo info = DecodeSelfExtractInfo(
            std::string_view(own).substr(own.size() - SelfExtractTrailerSize), own.size(), ownWin);
        bool toDisk = argc > 1 && std::string(argv[1]) == "*TODISK";
        std::string setup1;
        std::vector<std::string> args;
        if (info.Tag == SelfExtractingTag) {
            setup1 = own.substr(static_cast<size_t>(info.SetupFirst),
                                static_cast<size_t>(info.SetupLast - info.SetupFirst + 1));
        } else {
            setup1 = WinReadFile(WinJoin(WinParentDir(ownWin), "setup.1"));
        }
        std::string folder = WinJoin(WinGetTempPath(), "ldr" + std::to_string(getpid()));
        WinForceDirectories(folder);
        std::string program;
        for (const TFileHeader& h : ReadArchiveHeadersFromBytes(setup1).Headers) {
            std::string target = WinJoin(folder, WinFileNameOf(NormalizeWinPath(h.Rec.Path)));
            WinWriteFile(target, ExtractEntryFromBytes(setup1, h.Rec.Path));
            if (program.empty()) program = target;
        }
        WinMarkExecutableIfProgram(program);
        if (info.Tag == SelfExtractingTag) {
            args = {"-e" + std::string(self), "-s" + folder, toDisk ? "-f" : "-c"};
        } else {
            args = {"-s" + WinParentDir(ownWin)};
        }
        return WinWaitProcess(WinCreateProcess(program, args));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "loader: %s\n", e.what());
        return 1;
    }
}
