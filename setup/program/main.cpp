// OrvexDemoInstall: the product's setup program. It creates the process-wide objects of the
// install engine in a fixed order (no static initialisers), the main form that carries the
// install script and the product's page forms, and runs the application until the install
// component ends it; teardown runs in reverse.
//
// Exit status: 0 good install, 1 bad install or a failed start, 2 reboot pending, 3 build or
// floppy transfer done, 4 the wizard could not be shown or its script failed.
#include <vector>

#include "host/forms/fltk/FltkBackend.h"
#include "host/rtl/ScopeExit.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/wizard/ProductPages.h"
#include "setup/wizard/WizardRun.h"
#include "setup/wizard/frmMain.h"

using namespace zan;

int main(int argc, char** argv) {
    // The engine's shared objects, in order: the setup log with its temp directory, the
    // container, file and registry lists, the shared archive component, the page lists.
    CreateSetupLog();
    (void)InstallContainerList();
    (void)InstallFileList();
    (void)RetryRegisterList();
    (void)SharedCompress();
    RegisterStockForms();
    RegisterProductForms();
    TScopeExit freeShared([] {
        ClearInstallForms();
        FreeSetupLog();
    });

    UseFltkBackend();
    TApplication& app = Application();
    app.ExeName = argv[0];
    app.Title = "Orvex Database Engine Setup";
    // The forms in creation order, each owned by the application, freed in reverse.
    std::vector<TForm*> forms;
    TScopeExit freeForms([&] {
        for (auto it = forms.rbegin(); it != forms.rend(); ++it) delete *it;
        app.MainForm = nullptr;
    });
    return RunWizard(argc, argv, [&] {
        auto* mainForm = new TMainForm(&app);
        forms.push_back(mainForm);
        app.MainForm = mainForm;
        forms.push_back(new TBeforeInstallDialog1(&app));
        forms.push_back(new TWelcomeForm(&app));
        forms.push_back(new TConfirmInstall(&app));
        forms.push_back(new TSelectDestinationForm(&app));
        forms.push_back(new TAfterGoodInstallDlg(&app));
    });
}
