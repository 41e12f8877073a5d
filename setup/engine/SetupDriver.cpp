#include "setup/engine/SetupDriver.h"

#include <vector>

#include "host/rtl/ScopeExit.h"
#include "host/win/WinBoot.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TInstall.h"

namespace zan {

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
    auto handle = [&](const std::exception& e) {
        if (install && install->GetRunning()) {
            install->HandleException(install, e);
        } else {
            AppServices().ShowException(e);
            failed = true;
        }
    };
    {
        TDataModule owner;
        try {
            if (WinRebootRequested()) {
                std::vector<std::string> report;
                WinSimulateBoot(report);
            }
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
        if (install) {
            switch (install->GetOutcome()) {
            case roGoodInstall: break;
            case roRebootPending: return failed ? SetupExitFailed : SetupExitRebootPending;
            case roBuildDone: return failed ? SetupExitFailed : SetupExitBuildDone;
            case roBadInstall: failed = true; break;
            case roNone: break;
            }
        }
    }
    return failed ? SetupExitFailed : SetupExitGood;
}

} // namespace zan
