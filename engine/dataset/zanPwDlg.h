// The login prompt: how the database asks for its master key and a user's name and password.
//
// A prompt is an object with Ask and ShowError. The database uses, in this order, its
// BeforeLogin event, its own prompt, the process default prompt, else a built-in prompt that
// cancels at once, so a connect without a way to ask never blocks. The terminal prompt asks on
// the controlling terminal; the forms layer registers its window as the process default.
#pragma once

#include <cstdint>
#include <string>

namespace zan {

// Option bits of a request: the master key ("Database Password"), user name and password.
inline constexpr int32_t C_LOGIN_MASTERKEY = 1;
inline constexpr int32_t C_LOGIN_USER = 2;
// The longest text each edit of the login window takes.
inline constexpr int32_t C_LOGIN_MAX_LENGTH = 40;
// The longest master key the terminal prompt takes (the key's own limit).
inline constexpr int32_t C_LOGIN_MAX_KEY_LENGTH = 100;

struct TZanLoginRequest {
    std::string Caption; // "Database Login - " + the file-name part of the database name
    int32_t Options = 0; // C_LOGIN_MASTERKEY, C_LOGIN_USER
    std::string MasterKeyLabel;
    std::string UserNameLabel;
    std::string PasswordLabel;
    int32_t MaxLength = C_LOGIN_MAX_LENGTH;
};

// The three values of a login; wiped from memory when destroyed.
struct TZanLoginCredentials {
    TZanLoginCredentials() = default;
    TZanLoginCredentials(const std::string& masterKey, const std::string& userName,
                         const std::string& password);
    ~TZanLoginCredentials();
    TZanLoginCredentials(const TZanLoginCredentials&) = delete;
    TZanLoginCredentials& operator=(const TZanLoginCredentials&) = delete;

    std::string MasterKey;
    std::string UserName;
    std::string Password;
};

// Overwrites the string's bytes with zeros before clearing it.
void WipeString(std::string& text);

class TZanLoginPrompt {
public:
    virtual ~TZanLoginPrompt() = default;
    // Asks for the values the option bits enable, starting from those in credentials. True:
    // credentials hold the answers. False (cancel, no way to ask): the caller ignores them.
    virtual bool Ask(const TZanLoginRequest& request, TZanLoginCredentials& credentials) = 0;
    // Shows a failed logon's message.
    virtual void ShowError(const std::string& message) = 0;
};

// The built-in prompt: cancels without asking.
class TZanCancelLoginPrompt : public TZanLoginPrompt {
public:
    bool Ask(const TZanLoginRequest&, TZanLoginCredentials&) override { return false; }
    void ShowError(const std::string&) override {}
};

// Asks on /dev/tty: the caption, then each enabled value (user name echoed, the others not); an
// empty user name keeps the one given. Master key up to 100 characters, user name and password
// up to 40. Answers false without a terminal or at the end of input.
class TZanTerminalLoginPrompt : public TZanLoginPrompt {
public:
    bool Ask(const TZanLoginRequest& request, TZanLoginCredentials& credentials) override;
    void ShowError(const std::string& message) override;
};

// The process default prompt (not owned; nullptr: the built-in one). Answers the previous one.
TZanLoginPrompt* SetDefaultLoginPrompt(TZanLoginPrompt* prompt);
// The process default, or the built-in prompt; never nullptr.
TZanLoginPrompt& GetDefaultLoginPrompt();

// The request the database hands a prompt.
TZanLoginRequest MakeLoginRequest(const std::string& databaseName, int32_t options);

// Asks through the prompt. On OK all three values are copied back and true answered; otherwise
// they are left as they were.
bool ShowZanLoginDialog(TZanLoginPrompt& prompt, const std::string& databaseName,
                        int32_t options, std::string& masterKey, std::string& userName,
                        std::string& password);
// The same through the process default prompt.
bool ShowZanLoginDialog(const std::string& databaseName, int32_t options, std::string& masterKey,
                        std::string& userName, std::string& password);

} // namespace zan
