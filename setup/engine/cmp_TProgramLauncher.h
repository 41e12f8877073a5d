// TProgramLauncher starts a program with its parameters as the command line and waits until it
// runs (exec succeeded: the stand-in of "idle for input"). Action, StartDir, Timeout and Wait
// are kept as properties and take no part in the start; ShowMode is recorded only.
#pragma once

#include <string>
#include <sys/types.h>

#include "host/rtl/Classes.h"

namespace zan {

enum TplShowMode : uint8_t { smNormal, smMaximized, smMinimized, smHide };

// The Windows show command of a mode: smNormal 1, smMaximized 3, smMinimized 2, smHide 0.
int ShowModeCommand(TplShowMode mode);
// The text of a launch code (0 and 8 "Out of memory", 2 "File not found", ...).
std::string LaunchErrorText(int code);

class TProgramLauncher : public TComponent {
public:
    explicit TProgramLauncher(TComponent* owner = nullptr) : TComponent(owner) {}
    ZAN_CLASS(TProgramLauncher)

    // Starts the program; EProgramLauncherFailed with the launch code and its text when it
    // cannot be started.
    void Execute();

    std::string Action = "Open";
    std::string FileName;
    std::string Parameters;
    TplShowMode ShowMode = smNormal;
    std::string StartDir;
    int Timeout = -1;
    bool Wait = true;

    // The process of the last successful Execute (0 before); the caller may wait for it.
    pid_t GetProcessId() const { return FProcessId; }

private:
    pid_t FProcessId = 0;
};

} // namespace zan
