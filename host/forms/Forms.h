// The forms layer: controls, forms, the application object and the screen, with the
// framework's names. The model includes no toolkit: a backend (TFormsBackend) shows windows,
// pumps events and measures text; every control paints itself on a TCanvas, so the backends
// share one look. Forms are built by C++ functions: design values are set while loading, then
// Loaded() runs on each component in creation order, then OnCreate (TForm::FinishCreate).
//
// Every handler call goes through TApplication::Call: an exception goes to OnException (EAbort
// is silent, a script failure passes through), so none crosses a toolkit frame. Modal loops
// nest and end only on a modal result that CloseQuery allows.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/Graphics.h"
#include "host/rtl/Classes.h"

namespace zan {

class TWinControl;
class TForm;
class THeadlessSession;
struct TPromptAnswer;

using TNotifyEvent = std::function<void(TObject* sender)>;
using TCloseQueryEvent = std::function<void(TObject* sender, bool& canClose)>;
using TPaintEvent = std::function<void(TCanvas& canvas)>;

enum TAlign : uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAlignment : uint8_t { taLeftJustify, taRightJustify, taCenter };

using TModalResult = int;
inline constexpr TModalResult mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4,
                              mrIgnore = 5, mrYes = 6, mrNo = 7;

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;
    ZAN_CLASS(TControl)

    TWinControl* GetParent() const { return FParent; }
    void SetParent(TWinControl* parent);
    TForm* ParentForm() const;

    int Left = 0, Top = 0, Width = 0, Height = 0;
    void SetBounds(int left, int top, int width, int height);
    TRect BoundsRect() const { return {Left, Top, Left + Width, Top + Height}; }
    TAlign Align = alNone;
    bool Visible = true;
    bool Enabled = true;
    TFont Font;
    TColor Color = clBtnFace;
    std::string Caption; // the caption of labels, buttons, forms; the text of edits
    std::string Hint;
    int GLID = 0;
    int TabOrder = 0;

    // Visible here and in every parent.
    bool Showing() const;
    bool IsEnabled() const;
    // Position relative to the form's client area.
    TPoint FormOrigin() const;
    void Invalidate();
    void Repaint() { Invalidate(); }
    void Refresh() { Invalidate(); }
    void BringToFront();
    void SetFocus();
    bool Focused() const;

    // Painting: the control's own look; children are painted by TWinControl::PaintTree.
    virtual void Paint(TCanvas& canvas);
    // Input from a backend or a script: a click, typed text, a key ("Return", "Escape", "Tab").
    virtual void Click();
    virtual bool CanFocus() const { return false; }
    virtual void TypeText(const std::string&) {}
    virtual void KeyDown(const std::string&) {}
    // The captions, texts and hints the translator reaches.
    virtual std::vector<std::string*> TranslatableStrings();
    TNotifyEvent OnClick;

protected:
    void Changed() { Invalidate(); }

private:
    TWinControl* FParent = nullptr;
};

class TWinControl : public TControl {
public:
    using TControl::TControl;
    ~TWinControl() override;
    ZAN_CLASS(TWinControl)
    const std::vector<TControl*>& Controls() const { return FControls; }
    // Lays out aligned children: top and bottom bands, then left and right, then client.
    void Realign();
    void PaintTree(TCanvas& canvas);
    // The deepest showing control at a point relative to this control.
    TControl* ControlAt(int x, int y);

private:
    friend class TControl;
    std::vector<TControl*> FControls;
};

class TCustomControl : public TWinControl {
public:
    using TWinControl::TWinControl;
    ZAN_CLASS(TCustomControl)
    void Paint(TCanvas& canvas) override;
    TPaintEvent OnPaint;
};

enum TBevelCut : uint8_t { bvNone, bvLowered, bvRaised };

class TPanel : public TWinControl {
public:
    using TWinControl::TWinControl;
    ZAN_CLASS(TPanel)
    TBevelCut BevelOuter = bvRaised;
    void Paint(TCanvas& canvas) override;
};

class TGroupBox : public TWinControl {
public:
    using TWinControl::TWinControl;
    ZAN_CLASS(TGroupBox)
    void Paint(TCanvas& canvas) override;
};

class TBevel : public TControl {
public:
    using TControl::TControl;
    ZAN_CLASS(TBevel)
    void Paint(TCanvas& canvas) override;
};

class TLabel : public TControl {
public:
    using TControl::TControl;
    ZAN_CLASS(TLabel)
    bool AutoSize = true;
    bool WordWrap = false;
    bool Transparent = false;
    TAlignment Alignment = taLeftJustify;
    void Paint(TCanvas& canvas) override;
};

class TEdit : public TControl {
public:
    explicit TEdit(TComponent* owner);
    ZAN_CLASS(TEdit)
    const std::string& Text() const { return Caption; }
    // Sets the text as given (MaxLength limits typing only); OnChange when it differs.
    void SetText(const std::string& text);
    int MaxLength = 0; // characters; 0: no limit
    char PasswordChar = 0;
    bool ReadOnly = false;
    TNotifyEvent OnChange;
    void Paint(TCanvas& canvas) override;
    bool CanFocus() const override { return true; }
    void TypeText(const std::string& text) override;
    void KeyDown(const std::string& key) override;
};

class TMemo : public TControl {
public:
    explicit TMemo(TComponent* owner);
    ZAN_CLASS(TMemo)
    std::vector<std::string> Lines;
    bool ReadOnly = false;
    bool WordWrap = true;
    void Paint(TCanvas& canvas) override;
    std::vector<std::string*> TranslatableStrings() override;
};

class TRichEdit : public TMemo {
public:
    using TMemo::TMemo;
    ZAN_CLASS(TRichEdit)
};

class TButton : public TControl {
public:
    explicit TButton(TComponent* owner);
    ZAN_CLASS(TButton)
    bool Default = false;
    bool Cancel = false;
    TModalResult ModalResult = mrNone;
    TPicture Glyph;
    void Paint(TCanvas& canvas) override;
    // Runs OnClick, then hands the modal result to the form.
    void Click() override;
    bool CanFocus() const override { return true; }
    void KeyDown(const std::string& key) override;
};

class TBitBtn : public TButton {
public:
    using TButton::TButton;
    ZAN_CLASS(TBitBtn)
};

class TCheckBox : public TControl {
public:
    using TControl::TControl;
    ZAN_CLASS(TCheckBox)
    bool Checked = false;
    void SetChecked(bool checked);
    void Paint(TCanvas& canvas) override;
    void Click() override;
    bool CanFocus() const override { return true; }
};

class TRadioGroup : public TWinControl {
public:
    using TWinControl::TWinControl;
    ZAN_CLASS(TRadioGroup)
    std::vector<std::string> Items;
    int ItemIndex = -1;
    // Raises EFormsError for an index outside the items; fires OnClick when it changes.
    void SetItemIndex(int index);
    void Paint(TCanvas& canvas) override;
    std::vector<std::string*> TranslatableStrings() override;
};

class TProgressBar : public TControl {
public:
    using TControl::TControl;
    ZAN_CLASS(TProgressBar)
    int Min = 0, Max = 100;
    int Position() const { return FPosition; }
    // Clamps to Min..Max; repaints only when the value changes.
    void SetPosition(int position);
    void Paint(TCanvas& canvas) override;

private:
    int FPosition = 0;
};

class TImage : public TControl {
public:
    using TControl::TControl;
    ZAN_CLASS(TImage)
    TPicture Picture;
    bool Center = false;
    void Paint(TCanvas& canvas) override;
};

class TTabControl : public TWinControl {
public:
    using TWinControl::TWinControl;
    ZAN_CLASS(TTabControl)
    std::vector<std::string> Tabs;
    int TabIndex = -1;
    TNotifyEvent OnChange;
    void Paint(TCanvas& canvas) override;
};

// bsBorderless is the framework's bsNone (that name is taken by the engine's blob state).
enum TFormBorderStyle : uint8_t { bsSizeable, bsDialog, bsBorderless };
enum TPosition : uint8_t { poDesigned, poScreenCenter };
enum TWindowState : uint8_t { wsNormal, wsMaximized };

class TForm : public TWinControl {
public:
    explicit TForm(TComponent* owner);
    ~TForm() override;
    ZAN_CLASS(TForm)

    TFormBorderStyle BorderStyle = bsSizeable;
    TPosition Position = poDesigned;
    TWindowState WindowState = wsNormal;
    TModalResult ModalResult = mrNone;
    TControl* ActiveControl = nullptr;

    TNotifyEvent OnCreate, OnDestroy, OnShow, OnActivate, OnResize;
    TCloseQueryEvent OnCloseQuery;

    // Ends loading: Loaded() on each owned component in creation order, then OnCreate.
    void FinishCreate();
    void Show();
    void Hide();
    // Shows modally until a modal result that CloseQuery allows; answers it.
    TModalResult ShowModal();
    // A modal form takes mrCancel; a plain one hides when CloseQuery allows.
    void Close();
    virtual bool CloseQuery();
    bool IsModal() const { return FModal; }
    // The buttons that show, in creation order (for the transcript).
    std::vector<std::string> VisibleButtons() const;
    // Controls owned by the form with that name (ASCII case ignored), or nullptr.
    TControl* FindControl(const std::string& name) const;
    // The default and cancel buttons: Return and Escape press them.
    void KeyDown(const std::string& key) override;
    void Paint(TCanvas& canvas) override;
    void* BackendData = nullptr;

private:
    void PlaceOnScreen();
    bool FModal = false;
    bool FActivated = false;
    uint64_t FSerial = 0;
};

// The forms alive, in creation order.
const std::vector<TForm*>& LiveForms();

enum TCursor : uint8_t { crDefault, crHourGlass };

class TScreen {
public:
    int Width = 1024;
    int Height = 768;
    int CaptionHeight = 0;
    TCursor Cursor = crDefault;
};
TScreen& Screen();

// What a toolkit provides to the model.
class TFormsBackend {
public:
    virtual ~TFormsBackend() = default;
    virtual const char* Name() const = 0;
    virtual void ShowForm(TForm& form) = 0;
    virtual void HideForm(TForm& form) = 0;
    virtual void FormDestroyed(TForm&) {}
    virtual void Invalidate(TForm& form) = 0;
    // Handles pending events; wait: blocks briefly for one.
    virtual void Pump(bool wait) = 0;
    virtual int TextWidth(const TFont& font, const std::string& text) = 0;
    virtual int TextHeight(const TFont& font) = 0;
    // The form's window as a picture.
    virtual TPicture Capture(TForm& form) = 0;
    virtual void SetCursor(TCursor) {}
};

// No display: metrics of 6 px a character and 13 px a line; a capture is the form painted
// on a blank picture with its frames only.
class THeadlessBackend : public TFormsBackend {
public:
    const char* Name() const override { return "headless"; }
    void ShowForm(TForm&) override {}
    void HideForm(TForm&) override {}
    void Invalidate(TForm&) override { ++Repaints; }
    void Pump(bool) override {}
    int TextWidth(const TFont&, const std::string& text) override;
    int TextHeight(const TFont&) override { return 13; }
    TPicture Capture(TForm& form) override;
    long Repaints = 0;
};

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;
    ZAN_CLASS(TApplication)

    // Picks the backend: ZAN_FORMS=headless|fltk (default fltk; the fltk factory must have
    // been registered by the program). EFormsError for an unknown value.
    void Initialize();
    void SetBackend(std::unique_ptr<TFormsBackend> backend);
    TFormsBackend& Backend();
    bool HasBackend() const { return FBackend != nullptr; }
    // The script session: the process' headless session unless set.
    void SetSession(THeadlessSession* session) { FSession = session; }
    THeadlessSession& Session();

    TForm* MainForm = nullptr;
    std::string Title;
    std::string ExeName;
    std::function<void(TObject* sender, const std::exception& e)> OnException;

    // Runs a handler: exceptions to OnException (EAbort silent), script failures pass on.
    void Call(const std::function<void()>& handler);
    void ShowException(const std::exception& e);
    void ProcessMessages();
    // One turn of a loop that waits: pump, posted actions, one script step.
    void HandleMessage();
    void Post(std::function<void()> action) { FPosted.push_back(std::move(action)); }
    void Run();
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    const std::vector<TForm*>& ModalStack() const { return FModal; }
    // The topmost showing form.
    TForm* ActiveForm() const;
    // Writes a transcript line through the session.
    void Log(const std::string& line);

private:
    friend class TForm;
    void RunPosted();
    // Applies the next script step when it can; true when one was taken.
    bool RunScriptStep(bool modalWait);
    void ApplyStep(TPromptAnswer& step, TForm& form);
    TForm* FindScriptForm(const std::string& name) const;
    std::unique_ptr<TFormsBackend> FBackend;
    THeadlessSession* FSession = nullptr;
    std::deque<std::function<void()>> FPosted;
    std::vector<TForm*> FModal;
    std::vector<TForm*> FShown;
    bool FTerminated = false;
    int FWaitPumps = 0;
};
TApplication& Application();

// A toolkit registers how its backend is made (UseFltkBackend); Initialize uses it.
void RegisterBackendFactory(const std::string& name, std::function<std::unique_ptr<TFormsBackend>()> factory);

} // namespace zan
