// A headless forms application answered by a prompt script given as text, for one test; the
// transcript stays in memory (Session.Transcript()).
#pragma once

#include <memory>
#include <string>

#include "host/forms/Forms.h"
#include "setup/engine/AppServices.h"

struct TScriptedForms {
    explicit TScriptedForms(const std::string& script) : Session(script, "script", "") {
        zan::Application().SetBackend(std::make_unique<zan::THeadlessBackend>());
        zan::Application().SetSession(&Session);
        zan::Application().OnException = nullptr;
        zan::Screen() = zan::TScreen{};
    }
    ~TScriptedForms() { zan::Application().SetSession(nullptr); }
    zan::THeadlessSession Session;
};
