#include "engine/dataset/zanPwDlg.h"

#include <string.h>

#include "engine/storage/zanConsts.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinConsole.h"

namespace zan {

namespace {

TZanLoginPrompt* gDefaultPrompt = nullptr;

TZanCancelLoginPrompt& BuiltInPrompt() {
    static TZanCancelLoginPrompt prompt;
    return prompt;
}

} // namespace

void WipeString(std::string& text) {
    if (!text.empty()) explicit_bzero(text.data(), text.size());
    text.clear();
}

TZanLoginCredentials::TZanLoginCredentials(const std::string& masterKey,
                                           const std::string& userName,
                                           const std::string& password)
    : MasterKey(masterKey), UserName(userName), Password(password) {}

TZanLoginCredentials::~TZanLoginCredentials() {
    WipeString(MasterKey);
    WipeString(UserName);
    WipeString(Password);
}

TZanLoginPrompt* SetDefaultLoginPrompt(TZanLoginPrompt* prompt) {
    TZanLoginPrompt* previous = gDefaultPrompt;
    gDefaultPrompt = prompt;
    return previous;
}

TZanLoginPrompt& GetDefaultLoginPrompt() {
    return gDefaultPrompt ? *gDefaultPrompt : BuiltInPrompt();
}

TZanLoginRequest MakeLoginRequest(const std::string& databaseName, int32_t options) {
    TZanLoginRequest request;
    request.Caption = std::string(SzanLoginPrompt) + " - " + ExtractFileName(databaseName);
    request.Options = options;
    request.MasterKeyLabel = std::string(SzanMasterKeyLabel);
    request.UserNameLabel = std::string(SzanUsernameLabel);
    request.PasswordLabel = std::string(SzanPasswordLabel);
    request.MaxLength = C_LOGIN_MAX_LENGTH;
    return request;
}

bool ShowZanLoginDialog(TZanLoginPrompt& prompt, const std::string& databaseName,
                        int32_t options, std::string& masterKey, std::string& userName,
                        std::string& password) {
    const TZanLoginRequest request = MakeLoginRequest(databaseName, options);
    TZanLoginCredentials answer(masterKey, userName, password);
    if (!prompt.Ask(request, answer)) return false;
    masterKey = answer.MasterKey;
    userName = answer.UserName;
    password = answer.Password;
    return true;
}

bool ShowZanLoginDialog(const std::string& databaseName, int32_t options, std::string& masterKey,
                        std::string& userName, std::string& password) {
    return ShowZanLoginDialog(GetDefaultLoginPrompt(), databaseName, options, masterKey, userName,
                              password);
}

bool TZanTerminalLoginPrompt::Ask(const TZanLoginRequest& request,
                                  TZanLoginCredentials& credentials) {
    if (!WriteTerminal(request.Caption + "\n")) return false;
    TZanLoginCredentials answer(credentials.MasterKey, credentials.UserName, credentials.Password);
    if (request.Options & C_LOGIN_MASTERKEY) {
        if (!ReadTerminalLine(request.MasterKeyLabel + " ", false, C_LOGIN_MAX_KEY_LENGTH,
                              answer.MasterKey))
            return false;
    }
    if (request.Options & C_LOGIN_USER) {
        const size_t max = static_cast<size_t>(request.MaxLength);
        std::string name;
        const std::string shown =
            answer.UserName.empty() ? " " : " [" + answer.UserName + "] ";
        if (!ReadTerminalLine(request.UserNameLabel + shown, true, max, name)) return false;
        if (!name.empty()) answer.UserName = name;
        if (!ReadTerminalLine(request.PasswordLabel + " ", false, max, answer.Password))
            return false;
    }
    credentials.MasterKey.swap(answer.MasterKey);
    credentials.UserName.swap(answer.UserName);
    credentials.Password.swap(answer.Password);
    return true;
}

void TZanTerminalLoginPrompt::ShowError(const std::string& message) {
    WriteTerminal(message + "\n");
}

} // namespace zan
