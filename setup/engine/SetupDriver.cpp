#include "setup/engine/SetupDriver.h"

#include <cstdio>
#include <vector>

#include "host/rtl/ScopeExit.h"
#include "host/win/WinBoot.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TInstall.h"

namespace zan {

int SetupExitCode(TRunOutcome outcome, bool failed) {
    switch (outcome) {
    case roGoodInstall: return failed ? SetupExitFailed : SetupExitGood;
    case roRebootPending: return failed ? SetupExitFailed : SetupExitRebootPending;
    case roBuildDone: return failed ? SetupExitFailed : SetupExitBuildDone;
    case roBadInstall: return SetupExitFailed;
    case roNone: break;
    }
    return failed ? SetupExitFailed : SetupExitGood;
}

void BootIfRebootPending() {
    if (!WinRebootRequested()) return;
    std::vector<std::string> report;
    WinSimulateBoot(report);
}

int RunSetup(int argc, const char* const* argv, const TScriptBuilder& builder,
             TAppServices* services, TUserPrompts* prompts) {
    SetAppServices(services);
    SetUserPrompts(prompts);
    TScopeExit restore([] {
        SetAppServices(nullptr);
        SetUserPrompts(nullptr);
        SetMainFormStandIn(false);
        SetCommandLineArgs({});
    });
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    SetCommandLineArgs(std::move(args));
    SetMainFormStandIn(true);

    bool failed = false;
    TCustomInstall* install = nullptr;
    // Exceptions of the run reach the install's handler; others are shown and end the start.
    // A failure while showing one (a broken prompt script) goes to stderr.
    auto handle = [&](const std::exception& e) {
        try {
            if (install && install->GetRunning()) {
                install->HandleException(install, e);
                return;
            }
            failed = true;
            AppServices().ShowException(e);
        } catch (const std::exception& shown) {
            failed = true;
            std::fprintf(stderr, "%s\n%s\n", e.what(), shown.what());
        }
    };
    {
        TDataModule owner;
        try {
            BootIfRebootPending();
            builder(owner);
            for (int i = 0; i < owner.ComponentCount(); ++i)
                if (!install) install = dynamic_cast<TCustomInstall*>(owner.Components(i));
            if (!install) throw IEInstall("The setup script has no TInstall component");
            // Loaded in creation order, the install component's last: its Loaded dispatches
            // -b, -f and -r, which need every other component settled.
            for (int i = 0; i < owner.ComponentCount(); ++i) {
                TComponent* c = owner.Components(i);
                if (c != install && c->GetComponentState().Contains(csLoading)) c->Loaded();
            }
            if (install->GetComponentState().Contains(csLoading)) install->Loaded();
            if (!AppServices().Terminated()) install->FormActivate();
        } catch (const std::exception& e) {
            handle(e);
        }
        if (install) return SetupExitCode(install->GetOutcome(), failed);
    }
    return failed ? SetupExitFailed : SetupExitGood;
}

} // namespace zan
