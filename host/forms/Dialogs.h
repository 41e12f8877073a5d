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
// A folder dialog: a folder tree, a path edit 15 px below it, "New Folder" left of OK with OK's
// size, OK and Cancel. Choosing in the tree shows the folder in the edit; typing an existing
// folder selects it in the tree; OK and the create button are there only while a folder is
// selected. The answer's path is the edit's text.
TFolderChoice BrowseForFolder(const std::string& title, const std::string& initial);

// The folder tree of the folder dialog: the drive, the ancestors of the selected folder and the
// selected folder with its subfolders, one line each indented by level; the selection always
// shows; Up and Down move it ("choose Tree <n>" in a script).
class TFolderTree : public TWinControl {
public:
    using TWinControl::TWinControl;
    ZAN_CLASS(TFolderTree)
    std::vector<std::string> Items; // the lines as shown
    std::vector<std::string> Paths; // the folder of each line
    int ItemIndex = -1;
    // Shows path selected and opened; false (selection unchanged) when it is no folder.
    bool SelectPath(const std::string& path);
    // Selects a line and opens its folder; OnChange follows.
    void SetItemIndex(int index);
    std::string SelectedPath() const;
    bool CanFocus() const override { return true; }
    void KeyDown(const std::string& key) override;
    void Paint(TCanvas& canvas) override;
    TNotifyEvent OnChange;
};

// The folder dialog as a form (what a display shows); exposed so that tests can look at it.
TForm* CreateFolderForm(const std::string& title, const std::string& initial);

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
    bool IsForm(TComponent* component) const override {
        return dynamic_cast<TForm*>(component) != nullptr;
    }
    TPromptResult Message(const std::string& text, TPromptButtons buttons) override;
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
    TFolderChoice ChooseFolder(const std::string& title, const std::string& initial) override;
};

// Installs TFormsServices as the process' services (SetAppServices, SetUserPrompts).
void UseFormsServices();

} // namespace zan
