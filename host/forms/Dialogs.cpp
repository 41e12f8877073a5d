#include "host/forms/Dialogs.h"

#include <algorithm>
#include <memory>

#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"

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

// ---- folder tree ----

bool TFolderTree::SelectPath(const std::string& path) {
    std::string folder;
    try {
        folder = NormalizeWinPath(path);
        if (!WinDirectoryExists(folder)) return false;
    } catch (const Exception&) {
        return false;
    }
    std::vector<std::string> chain;
    for (std::string p = folder;; p = WinParentDir(p)) {
        chain.insert(chain.begin(), p);
        if (WinParentDir(p) == p) break;
    }
    // Each folder in its on-disk case, however it was typed.
    for (size_t i = 1; i < chain.size(); ++i) {
        std::string name = WinFileNameOf(chain[i]);
        for (const TWinFindData& f : WinFindFiles(chain[i - 1], name))
            if (f.Attributes & FILE_ATTRIBUTE_DIRECTORY) {
                name = f.Name;
                break;
            }
        chain[i] = WinJoin(chain[i - 1], name);
    }
    folder = chain.back();
    Items.clear();
    Paths.clear();
    std::string indent;
    for (const std::string& p : chain) {
        std::string name = WinFileNameOf(p);
        Items.push_back(indent + (name.empty() ? p : name));
        Paths.push_back(p);
        indent += "  ";
    }
    ItemIndex = static_cast<int>(Paths.size()) - 1;
    try {
        for (const TWinFindData& f : WinFindFiles(folder))
            if ((f.Attributes & FILE_ATTRIBUTE_DIRECTORY) && f.Name != "." && f.Name != "..") {
                Items.push_back(indent + f.Name);
                Paths.push_back(WinJoin(folder, f.Name));
            }
    } catch (const Exception&) {
        // An unreadable folder shows without subfolders.
    }
    Changed();
    return true;
}

void TFolderTree::SetItemIndex(int index) {
    if (index < 0 || index >= static_cast<int>(Paths.size()))
        throw EFormsError(Format("%d is not an item of %s", index, GetName()));
    SelectPath(Paths[static_cast<size_t>(index)]);
    if (OnChange) OnChange(this);
}

std::string TFolderTree::SelectedPath() const {
    return ItemIndex >= 0 && ItemIndex < static_cast<int>(Paths.size()) ? Paths[static_cast<size_t>(ItemIndex)] : "";
}

void TFolderTree::KeyDown(const std::string& key) {
    int step = key == "Down" ? 1 : key == "Up" ? -1 : 0;
    int next = ItemIndex + step;
    if (step != 0 && next >= 0 && next < static_cast<int>(Paths.size())) SetItemIndex(next);
}

void TFolderTree::Paint(TCanvas& c) {
    c.BrushColor = clWindow;
    c.FillRect({0, 0, Width, Height});
    c.FrameRect({0, 0, Width, Height});
    c.Font = Font;
    int line = c.TextHeight("Wg") + 2;
    for (size_t i = 0; i < Items.size(); ++i) {
        int top = 2 + static_cast<int>(i) * line;
        if (top + line > Height) break;
        bool selected = static_cast<int>(i) == ItemIndex;
        if (selected) {
            c.BrushColor = 0x800000; // navy
            c.FillRect({2, top, Width - 2, top + line});
            c.BrushColor = clWindow;
        }
        c.Font.Color = selected ? clWhite : clWindowText;
        c.TextOut(4, top + 1, Items[i]);
    }
    c.Font = Font;
}

TForm* CreateFolderForm(const std::string& title, const std::string& initial) {
    auto* form = new TForm(nullptr);
    form->Caption = "Browse for Folder";
    form->BorderStyle = bsDialog;
    form->Position = poScreenCenter;
    form->SetBounds(0, 0, 320, 330);
    auto* label = new TLabel(form);
    label->Caption = title;
    label->SetBounds(8, 10, 304, 13);
    label->SetParent(form);
    // The tree is 60 px shorter than the browser's own to make room for the path edit.
    auto* tree = new TFolderTree(form);
    tree->SetName("Tree");
    tree->SetBounds(8, 30, 304, 230 - 60);
    tree->SetParent(form);
    auto* edit = new TEdit(form);
    edit->SetName("PathEdit");
    edit->SetBounds(8, tree->Top + tree->Height + 15, 304, 21);
    edit->SetParent(form);
    TButton* ok = AddButton(form, "OK", "OK", mrOk, 150, 270);
    ok->Default = true;
    AddButton(form, "Cancel", "Cancel", mrCancel, 237, 270)->Cancel = true;
    TButton* create = AddButton(form, "NewFolder", "New Folder", mrRetry, ok->Left - ok->Width - 8, ok->Top);
    // The tree drives the edit, the edit the tree; neither echoes back to the other.
    auto fromEdit = std::make_shared<bool>(false);
    tree->OnChange = [=](TObject*) {
        if (!*fromEdit) edit->SetText(tree->SelectedPath());
        ok->Enabled = create->Visible = tree->ItemIndex >= 0;
    };
    edit->OnChange = [=](TObject*) {
        *fromEdit = true;
        TScopeExit done([&] { *fromEdit = false; });
        if (tree->SelectPath(edit->Text()) && tree->OnChange) tree->OnChange(tree);
    };
    std::string start = initial;
    while (!start.empty() && !tree->SelectPath(start)) {
        std::string parent;
        try {
            parent = WinParentDir(NormalizeWinPath(start));
        } catch (const Exception&) {
            break;
        }
        if (parent == start) break;
        start = parent;
    }
    edit->SetText(initial);
    ok->Enabled = create->Visible = tree->ItemIndex >= 0;
    form->ActiveControl = tree;
    form->FinishCreate();
    return form;
}

TFolderChoice BrowseForFolder(const std::string& title, const std::string& initial) {
    if (Scripted()) return Application().Session().ChooseFolder(title, initial);
    std::unique_ptr<TForm> form(CreateFolderForm(title, initial));
    TFolderChoice choice;
    TModalResult r = form->ShowModal();
    choice.Path = static_cast<TEdit*>(form->FindControl("PathEdit"))->Text();
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
