#include "setup/engine/cmp_TProgramLauncher.h"

#include "host/win/WinBatch.h"
#include "host/win/WinEnv.h"
#include "host/win/WinProcess.h"
#include "setup/engine/InstallExceptions.h"

namespace zan {

int ShowModeCommand(TplShowMode mode) {
    switch (mode) {
    case smNormal: return 1;
    case smMaximized: return 3;
    case smMinimized: return 2;
    default: return 0;
    }
}

std::string LaunchErrorText(int code) {
    switch (code) {
    case 0: case 8: return "Out of memory";
    case 2: return "File not found";
    case 3: return "Path not found";
    case 5: return "Sharing violation";
    case 6: return "Library/Segment error";
    case 10: return "Incorrect version of windows";
    case 11: return "Invalid file";
    case 12: case 13: return "Invalid DOS version";
    case 14: case 31: return "File type has no association";
    case 15: return "Cannot load a Real-mode application";
    case 16: return "Invalid attempt to launch second instance";
    case 19: return "Cannot load a compressed executable file";
    case 20: return "Invalid dynamic link library";
    case 21: return "Application requires Win32";
    default: return "Unknown error";
    }
}

void TProgramLauncher::Execute() {
    try {
        // A batch file runs through the batch interpreter, as a command line naming it does.
        if (FileName.size() > 4 && SameName(FileName.substr(FileName.size() - 4), ".bat")) {
            std::vector<std::string> report;
            RunBatchFile(FileName, report);
            FProcessId = 0;
            return;
        }
        FProcessId = WinCreateProcess(FileName, SplitCommandLine(Parameters));
    } catch (const EWinError& e) {
        // The launch code of the real cause, not the fixed 0 ("Out of memory").
        int code = static_cast<int>(e.Code);
        throw EProgramLauncherFailed(LaunchErrorText(code), code);
    }
}

} // namespace zan
