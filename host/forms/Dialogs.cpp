#include "host/forms/Dialogs.h"

#include <algorithm>
#include <memory>

namespace zan {

namespace {

// Boxes go to the script session when there is a script or no display.
bool Scripted() {
    TApplication& app = Application();
    return app.Session().HasScript() || std::string(app.Backend().Name()) == "headless";
}

TButton* AddButton(TForm* form, const std::string& name, const std::string& caption,
                   TModalResult result, int left, int top) {
    auto* b = new TButton(form);
    b->SetName(name);
    b->Caption = caption;
    b->ModalResult = result;
    b->SetBounds(left, top, 75, 25);
    b->SetParent(form);
    return b;
}

// A dialog form with a prompt label and an edit holding text.
TEdit* EditDialog(TForm& form, const std::string& caption, const std::string& prompt,
                  const std::string& editName, const std::string& text, int width, int height,
                  int editTop) {
    form.Caption = caption;
    form.BorderStyle = bsDialog;
    form.Position = poScreenCenter;
    form.SetBounds(0, 0, width, height);
    auto* label = new TLabel(&form);
    label->Caption = prompt;
    label->SetBounds(8, 10, width - 16, 13);
    label->SetParent(&form);
    auto* edit = new TEdit(&form);
    edit->SetName(editName);
    edit->SetText(text);
    edit->SetBounds(8, editTop, width - 16, 21);
    edit->SetParent(&form);
    form.ActiveControl = edit;
    return edit;
}

const char* TypeCaption(TMsgDlgType type) {
    switch (type) {
    case mtWarning: return "Warning";
    case mtError: return "Error";
    case mtInformation: return "Information";
    default: return "Confirm";
    }
}

TModalResult FromPrompt(TPromptResult r) {
    switch (r) {
    case prOK: return mrOk;
    case prYes: return mrYes;
    case prNo: return mrNo;
    default: return mrCancel;
    }
}

} // namespace

TForm* CreateMessageForm(const std::string& text, TMsgDlgType type, TPromptButtons buttons) {
    auto* form = new TForm(nullptr);
    form->Caption = TypeCaption(type);
    form->BorderStyle = bsDialog;
    form->Position = poScreenCenter;
    auto* label = new TLabel(form);
    label->SetName("Message");
    label->Caption = text;
    int width = std::clamp(6 * static_cast<int>(UTF8Length(text)) + 40, 220, Screen().Width);
    label->SetBounds(20, 20, width - 40, 13);
    label->SetParent(form);
    form->SetBounds(0, 0, width, 100);
    int n = buttons == pbOK ? 1 : 2;
    int left = (width - n * 75 - (n - 1) * 8) / 2;
    if (buttons == pbOK) {
        AddButton(form, "OK", "OK", mrOk, left, 55)->Default = true;
    } else if (buttons == pbOKCancel) {
        AddButton(form, "OK", "OK", mrOk, left, 55)->Default = true;
        AddButton(form, "Cancel", "Cancel", mrCancel, left + 83, 55)->Cancel = true;
    } else {
        AddButton(form, "Yes", "&Yes", mrYes, left, 55)->Default = true;
        AddButton(form, "No", "&No", mrNo, left + 83, 55)->Cancel = true;
    }
    form->FinishCreate();
    return form;
}

TModalResult MessageDlg(const std::string& text, TMsgDlgType type, TPromptButtons buttons) {
    if (Scripted()) return FromPrompt(Application().Session().Message(text, buttons));
    std::unique_ptr<TForm> form(CreateMessageForm(text, type, buttons));
    TModalResult r = form->ShowModal();
    if (buttons == pbYesNo && r == mrCancel) r = mrNo;
    return r;
}

void ShowMessage(const std::string& text) { MessageDlg(text, mtInformation, pbOK); }

bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    if (Scripted()) return Application().Session().InputQuery(caption, prompt, value);
    TForm form(nullptr);
    TEdit* edit = EditDialog(form, caption, prompt, "Edit", value, 280, 120, 30);
    AddButton(&form, "OK", "OK", mrOk, 56, 64)->Default = true;
    AddButton(&form, "Cancel", "Cancel", mrCancel, 140, 64)->Cancel = true;
    form.FinishCreate();
    if (form.ShowModal() != mrOk) return false;
    value = edit->Text();
    return true;
}

TFolderChoice BrowseForFolder(const std::string& title, const std::string& initial) {
    if (Scripted()) return Application().Session().ChooseFolder(title, initial);
    TForm form(nullptr);
    TEdit* edit = EditDialog(form, "Browse for Folder", title, "PathEdit", initial, 320, 150, 40);
    AddButton(&form, "NewFolder", "New Folder", mrRetry, 8, 100);
    AddButton(&form, "OK", "OK", mrOk, 150, 100)->Default = true;
    AddButton(&form, "Cancel", "Cancel", mrCancel, 237, 100)->Cancel = true;
    form.FinishCreate();
    TFolderChoice choice;
    TModalResult r = form.ShowModal();
    choice.Path = edit->Text();
    choice.Action = r == mrOk ? faChosen : r == mrRetry ? faCreate : faCancelled;
    if (choice.Action == faCancelled) choice.Path.clear();
    return choice;
}

void TFormsServices::SetHourglass(bool busy) {
    Screen().Cursor = busy ? crHourGlass : crDefault;
    Application().Backend().SetCursor(Screen().Cursor);
}

TPromptResult TFormsServices::Message(const std::string& text, TPromptButtons buttons) {
    switch (MessageDlg(text, buttons == pbYesNo ? mtConfirmation : mtWarning, buttons)) {
    case mrOk: return prOK;
    case mrYes: return prYes;
    case mrNo: return prNo;
    default: return prCancel;
    }
}

bool TFormsServices::InputQuery(const std::string& caption, const std::string& prompt,
                                std::string& value) {
    return zan::InputQuery(caption, prompt, value);
}

TFolderChoice TFormsServices::ChooseFolder(const std::string& title, const std::string& initial) {
    return BrowseForFolder(title, initial);
}

void UseFormsServices() {
    static TFormsServices services;
    SetAppServices(&services);
    SetUserPrompts(&services);
}

} // namespace zan
