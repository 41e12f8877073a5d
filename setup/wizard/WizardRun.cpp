#include "setup/wizard/WizardRun.h"

#include <cstdio>
#include <string>
#include <vector>

#include "host/forms/Dialogs.h"
#include "host/forms/Forms.h"
#include "host/rtl/ScopeExit.h"
#include "setup/engine/SetupDriver.h"
#include "setup/engine/cmp_TInstall.h"

namespace zan {

namespace {

int NotShown(const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return WizardExitNotShown;
}

// The install's first activation follows the main form's own handler.
void HookMainForm(TForm& main, TCustomInstall& install) {
    if (install.GetHideMainForm()) {
        main.Left = -2 * main.Width;
        main.Top = -2 * main.Height;
    }
    TNotifyEvent saved = main.OnActivate;
    main.OnActivate = [saved, &main](TObject* sender) {
        if (saved) saved(sender);
        TCustomInstall* current = CurrentInstall();
        if (!current) return;
        if (current->GetAutoMaximizeWindow()) {
            // Maximised = the screen's size, applied to the window already shown.
            main.WindowState = wsMaximized;
            main.SetBounds(0, 0, Screen().Width, Screen().Height);
            main.Realign();
            main.Refresh();
        }
        current->FormActivate();
    };
}

} // namespace

int RunWizard(int argc, const char* const* argv, const TWizardForms& createForms) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    SetCommandLineArgs(std::move(args));
    TScopeExit restore([] {
        SetCommandLineArgs({});
        Application().OnException = nullptr;
        SetAppServices(nullptr);
        SetUserPrompts(nullptr);
    });
    bool failed = false;
    try {
        if (!Application().HasBackend()) Application().Initialize();
        (void)Application().Session(); // a broken script fails here, before any form shows
        UseFormsServices();
        Application().OnException = [&failed](TObject* sender, const std::exception& e) {
            TCustomInstall* install = CurrentInstall();
            if (install && install->GetRunning()) {
                install->HandleException(sender, e);
                return;
            }
            failed = true;
            Application().ShowException(e);
        };
        BootIfRebootPending();
        createForms();
        TCustomInstall* install = CurrentInstall();
        if (!Application().Terminated()) {
            TForm* main = Application().MainForm;
            if (!main) throw EFormsError("The wizard has no main form");
            if (install) HookMainForm(*main, *install);
            Application().Run();
        }
        install = CurrentInstall();
        return SetupExitCode(install ? install->GetOutcome() : roNone, failed);
    } catch (const EHeadlessPrompt& e) {
        return NotShown(e);
    } catch (const EFormsError& e) {
        return NotShown(e);
    } catch (const std::exception& e) {
        // An error outside a run (the script's creation, a usage error): shown, then failed.
        try {
            TCustomInstall* install = CurrentInstall();
            if (install && install->GetRunning()) install->HandleException(install, e);
            else Application().ShowException(e);
        } catch (const EHeadlessPrompt& shown) {
            return NotShown(shown);
        } catch (const std::exception& shown) {
            std::fprintf(stderr, "%s\n%s\n", e.what(), shown.what());
        }
        return SetupExitFailed;
    }
}

} // namespace zan
