// The login window of the database: TZanPasswordDialog, a fixed 336 x 174 form with the
// database password, user name and user password, and the login prompt that shows it. This
// library (zan14rd7_forms) sits beside the engine; the engine itself never links a toolkit.
// A program that wants the window calls ZanUseLoginForm() once.
#pragma once

#include "engine/dataset/zanPwDlg.h"
#include "host/forms/Forms.h"

namespace zan {

class TZanPasswordDialog : public TForm {
public:
    explicit TZanPasswordDialog(TComponent* owner);
    ZAN_CLASS(TZanPasswordDialog)
    TLabel* lblMasterKey;
    TEdit* ebMasterKey;
    TLabel* lblUsername;
    TEdit* ebUsername;
    TLabel* lblPassword;
    TEdit* ebPassword;
    TButton* OKButton;
    TButton* CancelButton;
    // Fills the form from a request: captions, enabled edits (option bits 0 and 1; higher bits
    // are ignored), values, colours and the focused edit.
    void Prepare(const TZanLoginRequest& request, const TZanLoginCredentials& credentials);
};

// Shows TZanPasswordDialog modally; errors in an error box. Cancels when no display can be had.
class TZanFormLoginPrompt : public TZanLoginPrompt {
public:
    bool Ask(const TZanLoginRequest& request, TZanLoginCredentials& credentials) override;
    void ShowError(const std::string& message) override;
};

// Makes the window the process' default login prompt (SetDefaultLoginPrompt); answers the
// prompt installed.
TZanLoginPrompt& ZanUseLoginForm();

} // namespace zan
