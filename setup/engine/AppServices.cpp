#include "setup/engine/AppServices.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"

namespace zan {

namespace {

// Bounds of the script's options: the disks drive A: takes, and a pump count far beyond any
// session that keeps a count of pumps from overflowing.
constexpr int MaxScriptDisk = 9999;
constexpr int MaxCancelAfter = 1000000;

TAppServices*& InstalledServices() {
    static TAppServices* services = nullptr;
    return services;
}
TUserPrompts*& InstalledPrompts() {
    static TUserPrompts* prompts = nullptr;
    return prompts;
}

const char* ButtonsName(TPromptButtons buttons) {
    switch (buttons) {
    case pbOK: return "OK";
    case pbOKCancel: return "OK+Cancel";
    default: return "Yes+No";
    }
}

// Parses "[<form>] <verb> [<control>] [<text>]"; "key" takes a key name ("Return", "Escape", "Tab").
void ParseFormStep(const std::string& line, TPromptAnswer& a, const std::function<void(const char*)>& fail) {
    size_t close = line.find(']');
    if (close == std::string::npos) fail("\"]\" expected");
    a.Answer = "form";
    a.Form = Trim(line.substr(line.find('[') + 1, close - line.find('[') - 1));
    if (a.Form.empty()) fail("form expected");
    std::string rest = Trim(line.substr(close + 1));
    auto word = [&rest]() {
        size_t blank = rest.find(' ');
        std::string w = rest.substr(0, blank);
        rest = blank == std::string::npos ? "" : TrimLeft(rest.substr(blank + 1));
        return w;
    };
    a.Verb = word();
    int n;
    if (a.Verb == "click" || a.Verb == "check" || a.Verb == "uncheck") {
        a.Control = word();
        if (a.Control.empty() || !rest.empty()) fail("one control expected");
    } else if (a.Verb == "type" || a.Verb == "choose") {
        a.Control = word();
        if (a.Control.empty()) fail("control expected");
        a.Value = rest;
        if (a.Verb == "choose" && !(TryStrToInt(a.Value, n) && n >= 0)) fail("index expected");
    } else if (a.Verb == "key") {
        a.Value = word();
        if (a.Value.empty() || !rest.empty()) fail("one key expected");
    } else if (a.Verb == "close") {
        if (!rest.empty()) fail("close takes nothing");
    } else if (a.Verb == "wait") {
        if (!(TryStrToInt(rest, n) && n > 0)) fail("pump count expected");
        a.Value = rest;
    } else if (a.Verb == "screenshot") {
        if (rest.empty()) fail("file expected");
        a.Value = rest;
    } else {
        fail("unknown form step");
    }
}

} // namespace

THeadlessSession& DefaultHeadlessSession() {
    static THeadlessSession session;
    return session;
}

TAppServices& AppServices() {
    return InstalledServices() ? *InstalledServices() : DefaultHeadlessSession();
}
TUserPrompts& UserPrompts() { return InstalledPrompts() ? *InstalledPrompts() : DefaultHeadlessSession(); }
void SetAppServices(TAppServices* services) { InstalledServices() = services; }
void SetUserPrompts(TUserPrompts* prompts) { InstalledPrompts() = prompts; }

std::vector<TPromptAnswer> ParsePromptScript(const std::string& text, const std::string& name) {
    std::vector<TPromptAnswer> answers;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        auto fail = [&](const char* what) {
            throw EHeadlessPrompt(Format("%s(%d): %s", name, lineNo, what));
        };
        if (trimmed[0] == '[') {
            TPromptAnswer a;
            ParseFormStep(trimmed, a, fail);
            a.Line = lineNo;
            a.Source = trimmed;
            answers.push_back(std::move(a));
            continue;
        }
        size_t arrow = line.find("=>");
        if (arrow == std::string::npos) fail("\"=>\" expected");
        TPromptAnswer a;
        a.Match = Trim(line.substr(0, arrow));
        std::string rest = line.substr(arrow + 2);
        std::vector<std::string> parts;
        size_t start = 0;
        while (true) {
            size_t bar = rest.find('|', start);
            parts.push_back(Trim(rest.substr(start, bar == std::string::npos ? bar : bar - start)));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        std::string answer = parts[0];
        size_t blank = answer.find(' ');
        std::string word = answer.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : Trim(answer.substr(blank + 1));
        const char* words[] = {"OK", "Cancel", "Yes", "No", "input", "folder", "create"};
        bool known = false;
        for (const char* w : words)
            if (SameText(word, w)) {
                a.Answer = w;
                known = true;
            }
        if (!known) fail("unknown answer");
        bool takesValue = a.Answer == "input" || a.Answer == "folder" || a.Answer == "create";
        if (!takesValue && !value.empty()) fail("this answer takes no text");
        a.Value = value;
        for (size_t i = 1; i < parts.size(); ++i) {
            int n;
            // Bounded here, so a bad number names its line instead of failing when answered.
            if (SameText(parts[i].substr(0, 5), "disk ") && TryStrToInt(Trim(parts[i].substr(5)), n)) {
                if (n < 1 || n > MaxScriptDisk) fail("disk number out of range");
                a.Disk = n;
            } else if (SameText(parts[i].substr(0, 13), "cancel after ") &&
                       TryStrToInt(Trim(parts[i].substr(13)), n)) {
                if (n < 0 || n > MaxCancelAfter) fail("cancel count out of range");
                a.CancelAfter = n;
            } else {
                fail("unknown option");
            }
        }
        a.Line = lineNo;
        a.Source = trimmed;
        answers.push_back(std::move(a));
    }
    return answers;
}

THeadlessSession::THeadlessSession() {
    std::string script;
    if (const char* s = std::getenv("ZAN_FORMS_SCRIPT"); s && *s)
        script = s;
    else
        script = CurrentWinEnv().PromptScript;
    if (const char* t = std::getenv("ZAN_FORMS_TRANSCRIPT"); t && *t) FTranscriptFile = t;
    if (script.empty()) return;
    std::ifstream in(script, std::ios::binary);
    if (!in) throw EHeadlessPrompt(Format("Cannot read the prompt script %s", script));
    std::stringstream text;
    text << in.rdbuf();
    if (FTranscriptFile.empty()) FTranscriptFile = script + ".transcript";
    Load(text.str(), script);
}

THeadlessSession::THeadlessSession(const std::string& scriptText, const std::string& scriptName,
                                   const std::string& transcriptFile)
    : FTranscriptFile(transcriptFile) {
    Load(scriptText, scriptName);
}

void THeadlessSession::Load(const std::string& text, const std::string& name) {
    FAnswers = ParsePromptScript(text, name);
    FScriptName = name;
    FHasScript = true;
}

TPromptAnswer* THeadlessSession::PeekFormStep() {
    for (TPromptAnswer& a : FAnswers)
        if (!a.Used && a.Answer == "form") return &a;
    return nullptr;
}

void THeadlessSession::Record(const std::string& rawLine) {
    // One entry, one line: the line breaks of a prompt's text are written as \r and \n.
    std::string line;
    for (char c : rawLine)
        line += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    FTranscript.push_back(line);
    if (FTranscriptFile.empty()) return;
    std::ofstream out(FTranscriptFile, std::ios::app | std::ios::binary);
    out << line << "\n";
}

TPromptAnswer* THeadlessSession::Next(const std::string& text, const std::string& kind) {
    if (!FHasScript) return nullptr;
    for (TPromptAnswer& a : FAnswers) {
        if (a.Used || a.Answer == "form" || text.find(a.Match) == std::string::npos) continue;
        a.Used = true;
        if (a.Disk > 0) WinInsertDisk(a.Disk);
        if (a.CancelAfter >= 0) FCancelAt = FPumps + a.CancelAfter;
        return &a;
    }
    Record(kind + " \"" + text + "\" -> not answered by the script");
    throw EHeadlessPrompt(text);
}

void THeadlessSession::ProcessMessages() {
    ++FPumps;
    if (FCancelAt >= 0 && FPumps >= FCancelAt) {
        FCancelAt = -1;
        Record(Format("cancel after %d pumps", FPumps));
        if (FCancelAction) FCancelAction();
    }
}

void THeadlessSession::ShowException(const std::exception& e) {
    Record(std::string("exception \"") + e.what() + "\"");
}

TPromptResult THeadlessSession::Message(const std::string& text, TPromptButtons buttons) {
    std::string kind = std::string("message ") + ButtonsName(buttons);
    TPromptAnswer* a = Next(text, kind);
    TPromptResult result;
    std::string said;
    if (!a) {
        result = buttons == pbOK ? prOK : buttons == pbOKCancel ? prCancel : prNo;
        said = " (default, no script)";
    } else if (a->Answer == "OK") {
        result = prOK;
    } else if (a->Answer == "Cancel") {
        result = prCancel;
    } else if (a->Answer == "Yes") {
        result = prYes;
    } else if (a->Answer == "No") {
        result = prNo;
    } else {
        throw EHeadlessPrompt(text);
    }
    // An answer the buttons do not offer fails the run as an unanswered prompt would.
    bool offered = buttons == pbOK ? result == prOK
                 : buttons == pbOKCancel ? (result == prOK || result == prCancel)
                                         : (result == prYes || result == prNo);
    if (!offered) throw EHeadlessPrompt(text);
    const char* names[] = {"OK", "Cancel", "Yes", "No"};
    Record(kind + " \"" + text + "\" -> " + names[result] + said);
    return result;
}

bool THeadlessSession::InputQuery(const std::string& caption, const std::string& prompt,
                                  std::string& value) {
    std::string text = caption + ": " + prompt;
    TPromptAnswer* a = Next(text, "input");
    if (!a) {
        Record("input \"" + text + "\" -> Cancel (default, no script)");
        return false;
    }
    if (a->Answer == "Cancel") {
        Record("input \"" + text + "\" -> Cancel");
        return false;
    }
    if (a->Answer != "input" && a->Answer != "OK") throw EHeadlessPrompt(text);
    if (a->Answer == "input") value = a->Value;
    Record("input \"" + text + "\" -> \"" + value + "\"");
    return true;
}

TFolderChoice THeadlessSession::ChooseFolder(const std::string& title, const std::string& initial) {
    std::string text = title + " [" + initial + "]";
    TPromptAnswer* a = Next(text, "folder");
    TFolderChoice choice;
    if (!a) {
        Record("folder \"" + text + "\" -> Cancel (default, no script)");
        return choice;
    }
    if (a->Answer == "folder" || a->Answer == "OK") {
        choice.Action = faChosen;
        choice.Path = a->Answer == "OK" ? initial : a->Value;
    } else if (a->Answer == "create") {
        choice.Action = faCreate;
        choice.Path = a->Value;
    } else if (a->Answer != "Cancel") {
        throw EHeadlessPrompt(text);
    }
    Record("folder \"" + text + "\" -> " + a->Answer + (choice.Path.empty() ? "" : " " + choice.Path));
    return choice;
}

} // namespace zan
