#include "engine/forms/zanPwDlgForm.h"

#include <memory>

#include "host/forms/Dialogs.h"
#include "setup/engine/AppServices.h"

namespace zan {

namespace {

template <typename T>
T* Make(TForm* form, const char* name, int left, int top, int width, int height, int tabOrder) {
    T* c = new T(form);
    c->SetName(name);
    c->Font = form->Font;
    c->SetBounds(left, top, width, height);
    c->TabOrder = tabOrder;
    c->SetParent(form);
    return c;
}

} // namespace

TZanPasswordDialog::TZanPasswordDialog(TComponent* owner) : TForm(owner) {
    SetName("ZanPasswordDialog");
    BorderStyle = bsDialog;
    Position = poScreenCenter;
    Font.Name = "MS Sans Serif";
    Font.Size = 8;
    SetBounds(0, 0, 336, 174);
    lblMasterKey = Make<TLabel>(this, "lblMasterKey", 7, 17, 90, 13, 0);
    ebMasterKey = Make<TEdit>(this, "ebMasterKey", 104, 14, 173, 21, 2);
    ebMasterKey->MaxLength = C_LOGIN_MAX_KEY_LENGTH;
    ebMasterKey->PasswordChar = '*';
    lblUsername = Make<TLabel>(this, "lblUsername", 7, 45, 90, 13, 0);
    ebUsername = Make<TEdit>(this, "ebUsername", 104, 42, 173, 21, 3);
    ebUsername->MaxLength = C_LOGIN_MAX_LENGTH;
    lblPassword = Make<TLabel>(this, "lblPassword", 7, 80, 90, 13, 0);
    ebPassword = Make<TEdit>(this, "ebPassword", 104, 76, 173, 21, 4);
    ebPassword->MaxLength = C_LOGIN_MAX_LENGTH;
    ebPassword->PasswordChar = '*';
    OKButton = Make<TButton>(this, "OKButton", 118, 106, 65, 21, 0);
    OKButton->Caption = "&OK";
    OKButton->Default = true;
    OKButton->ModalResult = mrOk;
    CancelButton = Make<TButton>(this, "CancelButton", 197, 106, 65, 21, 1);
    CancelButton->Caption = "Cancel";
    CancelButton->Cancel = true;
    CancelButton->ModalResult = mrCancel;
    FinishCreate();
}

void TZanPasswordDialog::Prepare(const TZanLoginRequest& request,
                                 const TZanLoginCredentials& credentials) {
    Caption = request.Caption;
    lblMasterKey->Caption = request.MasterKeyLabel;
    lblUsername->Caption = request.UserNameLabel;
    lblPassword->Caption = request.PasswordLabel;
    ebUsername->MaxLength = ebPassword->MaxLength = request.MaxLength;
    ebMasterKey->SetText(credentials.MasterKey);
    ebUsername->SetText(credentials.UserName);
    ebPassword->SetText(credentials.Password);
    ebMasterKey->Enabled = (request.Options & C_LOGIN_MASTERKEY) != 0;
    ebUsername->Enabled = ebPassword->Enabled = (request.Options & C_LOGIN_USER) != 0;
    for (TEdit* e : {ebMasterKey, ebUsername, ebPassword}) e->Color = e->Enabled ? clWindow : clMenu;
    ActiveControl = ebMasterKey->Enabled ? ebMasterKey : ebPassword;
}

bool TZanFormLoginPrompt::Ask(const TZanLoginRequest& request, TZanLoginCredentials& credentials) {
    try {
        Application().Backend();
    } catch (const EFormsError&) {
        return false; // no display: the login is cancelled
    }
    std::unique_ptr<TZanPasswordDialog> form(new TZanPasswordDialog(nullptr));
    form->Prepare(request, credentials);
    if (form->ShowModal() != mrOk) {
        for (TEdit* e : {form->ebMasterKey, form->ebUsername, form->ebPassword}) WipeString(e->Caption);
        return false;
    }
    credentials.MasterKey.swap(form->ebMasterKey->Caption);
    credentials.UserName.swap(form->ebUsername->Caption);
    credentials.Password.swap(form->ebPassword->Caption);
    for (TEdit* e : {form->ebMasterKey, form->ebUsername, form->ebPassword}) WipeString(e->Caption);
    return true;
}

void TZanFormLoginPrompt::ShowError(const std::string& message) {
    try {
        MessageDlg(message, mtError, pbOK);
    } catch (const EFormsError&) {
    }
}

TZanLoginPrompt& ZanUseLoginForm() {
    static TZanFormLoginPrompt prompt;
    SetDefaultLoginPrompt(&prompt);
    return prompt;
}

} // namespace zan
