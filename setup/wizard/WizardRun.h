// The start of a wizard program: the command line, the forms layer's services, the forms the
// program creates (the main form, carrying the install script, first), then the message loop
// until the install component ends it. The runner stands in for what the install component
// cannot do from the install engine: it makes the install's handler the application's
// exception handler, hands the main form's first activation to the install (maximised when
// AutoMaximizeWindow, moved off screen when HideMainForm).
//
// Exit status: as the headless driver's (0 good install, 1 bad install or failure, 2 reboot
// pending, 3 build or floppy transfer done), and 4 when the wizard cannot be shown (unknown
// ZAN_FORMS, no display, no main form) or its prompt script fails (a malformed line, a step
// that cannot apply, a prompt it does not answer). The reason goes to stderr.
#pragma once

#include <functional>

namespace zan {

enum : int { WizardExitNotShown = 4 };

// Creates the program's forms; it sets Application().MainForm.
using TWizardForms = std::function<void()>;

int RunWizard(int argc, const char* const* argv, const TWizardForms& createForms);

} // namespace zan
