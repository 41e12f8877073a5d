// A login prompt for tests: answers from a script and records what it was asked.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "engine/dataset/zanPwDlg.h"

namespace zan {

class TScriptedLoginPrompt : public TZanLoginPrompt {
public:
    struct TAnswer {
        bool Ok = true;
        std::string MasterKey, UserName, Password;
    };
    // The answers in order; once they run out the prompt cancels.
    std::deque<TAnswer> Answers;
    std::vector<TZanLoginRequest> Requests;
    std::vector<std::string> Errors;

    bool Ask(const TZanLoginRequest& request, TZanLoginCredentials& credentials) override {
        Requests.push_back(request);
        if (Answers.empty()) return false;
        TAnswer a = Answers.front();
        Answers.pop_front();
        // A cancelled window may still have had text typed into it.
        credentials.MasterKey = a.MasterKey;
        credentials.UserName = a.UserName;
        credentials.Password = a.Password;
        return a.Ok;
    }
    void ShowError(const std::string& message) override { Errors.push_back(message); }
};

} // namespace zan
