// How the install engine reaches the application and the user: TAppServices (message pump,
// terminate, hourglass, showing an exception) and TUserPrompts (messages with OK, OK+Cancel or
// Yes+No, an input query, a folder chooser). The forms layer implements both; the headless
// implementations here answer from a prompt script and write a transcript.
//
// Prompt script: one answer per line, matched in order against the prompt texts ("#" starts a
// comment):
//     <text contained in the prompt> => <answer> [| disk <n>] [| cancel after <n>]
// answers: OK, Cancel, Yes, No, input <text>, folder <path>, create <path>. The text matched is
// the message itself, "<caption>: <prompt>" for an input query and "<title> [<initial folder>]"
// for the folder chooser; each line answers once. "disk n" inserts
// disk n in drive A: when the answer is given; "cancel after n" runs the registered cancel
// action after n more pumps. The script is the file named by ZAN_FORMS_SCRIPT, else the
// machine's prompt-script setting. With a script, a prompt it does not answer raises
// EHeadlessPrompt with the prompt's text; without one, prompts answer their default button
// (Cancel, No, OK for a plain message) and the transcript says so. The transcript goes to
// ZAN_FORMS_TRANSCRIPT, else beside the script ("<script>.transcript").
//
// The same script drives the forms layer with form steps, taken strictly in order:
//     [<form class or caption>] <verb> [<control>] [<text>]
// verbs: click C, type C <text>, check C, uncheck C, choose C <index>, close, wait <n>,
// screenshot <file>; "[*]" names the form on top.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/Exceptions.h"

namespace zan {

enum TPromptButtons : uint8_t { pbOK, pbOKCancel, pbYesNo };
enum TPromptResult : uint8_t { prOK, prCancel, prYes, prNo };

enum TFolderAction : uint8_t { faChosen, faCancelled, faCreate };
// The answer of a folder chooser: a chosen folder, a cancel, or the create button pressed with
// the path in the chooser's edit.
struct TFolderChoice {
    TFolderAction Action = faCancelled;
    std::string Path;
};

class TAppServices {
public:
    virtual ~TAppServices() = default;
    // Lets the application handle pending events (the user's Cancel among them).
    virtual void ProcessMessages() = 0;
    virtual void Terminate() = 0;
    virtual bool Terminated() const = 0;
    virtual void SetHourglass(bool busy) = 0;
    virtual void ShowException(const std::exception& e) = 0;
    // Whether a component is one of the application's forms (none without a forms layer).
    virtual bool IsForm(TComponent*) const { return false; }
};

// A plain owner of non-visual components, for programs without forms (headless setups).
class TDataModule : public TComponent {
public:
    explicit TDataModule(TComponent* owner = nullptr) : TComponent(owner) {}
    ZAN_CLASS(TDataModule)
};

class TUserPrompts {
public:
    virtual ~TUserPrompts() = default;
    virtual TPromptResult Message(const std::string& text, TPromptButtons buttons) = 0;
    // False when cancelled; value holds the default on entry and the answer on success.
    virtual bool InputQuery(const std::string& caption, const std::string& prompt,
                            std::string& value) = 0;
    virtual TFolderChoice ChooseFolder(const std::string& title, const std::string& initial) = 0;
};

// The services in force (the headless ones until the application installs its own).
TAppServices& AppServices();
TUserPrompts& UserPrompts();
// Installs services (not owned; nullptr restores the headless ones).
void SetAppServices(TAppServices* services);
void SetUserPrompts(TUserPrompts* prompts);

// A prompt the script does not answer; the message is the prompt's text.
ZAN_EXCEPTION_CLASS(EHeadlessPrompt, Exception);

// One line of a prompt script.
struct TPromptAnswer {
    std::string Match;
    std::string Answer;   // "OK", "Cancel", "Yes", "No", "input", "folder", "create", "form"
    std::string Form;     // form steps: the form, verb and control
    std::string Verb;
    std::string Control;
    int Line = 0;
    std::string Source;   // the line as written, for errors
    std::string Value;    // the text of input, folder and create
    int Disk = 0;         // insert this disk when answering
    int CancelAfter = -1; // pumps before the cancel action runs
    bool Used = false;
};

// The headless session: prompts answered from the script, pumps counted, a transcript written.
class THeadlessSession : public TAppServices, public TUserPrompts {
public:
    // Reads the script from ZAN_FORMS_SCRIPT or the machine's setting (none: defaults).
    THeadlessSession();
    // A script given as text (scriptName names it in errors and places the transcript).
    THeadlessSession(const std::string& scriptText, const std::string& scriptName,
                     const std::string& transcriptFile);

    void ProcessMessages() override;
    void Terminate() override { FTerminated = true; }
    bool Terminated() const override { return FTerminated; }
    void SetHourglass(bool busy) override { FHourglass = busy; }
    void ShowException(const std::exception& e) override;

    TPromptResult Message(const std::string& text, TPromptButtons buttons) override;
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override;
    TFolderChoice ChooseFolder(const std::string& title, const std::string& initial) override;

    // The action "cancel after n" runs (the copy page's Cancel, for instance).
    void SetCancelAction(std::function<void()> action) { FCancelAction = std::move(action); }
    bool HasScript() const { return FHasScript; }
    bool GetHourglass() const { return FHourglass; }
    int PumpCount() const { return FPumps; }
    const std::vector<std::string>& Transcript() const { return FTranscript; }
    // The next form step not yet taken, or nullptr; Take marks it taken.
    TPromptAnswer* PeekFormStep();
    void Take(TPromptAnswer& step) { step.Used = true; }
    // Adds a line to the transcript.
    void Record(const std::string& line);
    const std::string& ScriptName() const { return FScriptName; }

private:
    void Load(const std::string& text, const std::string& name);
    // The next unused answer whose match the text contains; raises without one (with script).
    TPromptAnswer* Next(const std::string& text, const std::string& kind);

    std::vector<TPromptAnswer> FAnswers;
    bool FHasScript = false;
    std::string FTranscriptFile;
    std::string FScriptName;
    std::vector<std::string> FTranscript;
    bool FTerminated = false;
    bool FHourglass = false;
    int FPumps = 0;
    int FCancelAt = -1;
    std::function<void()> FCancelAction;
};

// The headless session the process uses when none is installed.
THeadlessSession& DefaultHeadlessSession();

// Parses a prompt script (EHeadlessPrompt "<name>(<line>): ..." when malformed).
std::vector<TPromptAnswer> ParsePromptScript(const std::string& text, const std::string& name);

} // namespace zan
