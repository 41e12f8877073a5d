// Boxes, the input query and the folder dialog as small modal forms of our own widgets, and the
// forms layer's TAppServices/TUserPrompts. With a prompt script (or on the headless backend)
// boxes are answered by the script session, one transcript for prompts and forms alike.
#pragma once

#include <string>

#include "host/forms/Forms.h"
#include "setup/engine/AppServices.h"

namespace zan {

enum TMsgDlgType : uint8_t { mtWarning, mtError, mtInformation, mtConfirmation };

// The box's answer as a modal result (mrOk, mrCancel, mrYes, mrNo).
TModalResult MessageDlg(const std::string& text, TMsgDlgType type, TPromptButtons buttons);
void ShowMessage(const std::string& text);
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value);
// A folder dialog: a folder list, a path edit, "New Folder", OK and Cancel.
TFolderChoice BrowseForFolder(const std::string& title, const std::string& initial);

// The box built as a form (what a display shows); exposed so that tests can look at it.
TForm* CreateMessageForm(const std::string& text, TMsgDlgType type, TPromptButtons buttons);

// The application's services over the forms layer.
class TFormsServices : public TAppServices, public TUserPrompts {
public:
    void ProcessMessages() override { Application().ProcessMessages(); }
    void Terminate() override { Application().Terminate(); }
    bool Terminated() const override { return Application().Terminated(); }
    void SetHourglass(bool busy) override;
    void ShowException(const std::exception& e) override { Application().ShowException(e); }
    TPromptResult Message(const std::string& text, TPromptButtons buttons) override;
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
    TFolderChoice ChooseFolder(const std::string& title, const std::string& initial) override;
};

// Installs TFormsServices as the process' services (SetAppServices, SetUserPrompts).
void UseFormsServices();

} // namespace zan
