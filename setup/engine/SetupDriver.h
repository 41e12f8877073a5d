// The headless setup driver: runs a setup program without forms. It boots the emulated machine
// when a reboot is pending, builds the script, lets the install component read the command line
// (-b, -f and -r are dispatched while it loads), stands in for the main form's first activation
// and routes the exceptions of the run to the install component's handler.
//
// Exit status: 0 good install, 1 bad install or any failure (usage errors too), 2 reboot
// pending, 3 build or floppy transfer done.
#pragma once

#include <functional>

#include "setup/engine/AppServices.h"
#include "setup/engine/cmp_TInstall.h"

namespace zan {

// Creates the script's components owned by owner, each put in the loading state
// (SetLoading(true)) before its design values are set; the driver calls Loaded on them in
// creation order, the install component's last (its Loaded dispatches -b, -f and -r, which
// need the rest of the script settled).
using TScriptBuilder = std::function<void(TDataModule& owner)>;

enum : int {
    SetupExitGood = 0,
    SetupExitFailed = 1,
    SetupExitRebootPending = 2,
    SetupExitBuildDone = 3,
};

// The exit status of a start that ended with outcome; failed: an error ended it outside the
// install component's handler.
int SetupExitCode(TRunOutcome outcome, bool failed);

// A pending reboot of the emulated machine is done first (the simulated boot).
void BootIfRebootPending();

// services and prompts may be nullptr (the headless session answers).
int RunSetup(int argc, const char* const* argv, const TScriptBuilder& builder,
             TAppServices* services = nullptr, TUserPrompts* prompts = nullptr);

} // namespace zan
