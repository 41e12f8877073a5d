#include "host/forms/Forms.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "host/forms/Dialogs.h"
#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "setup/engine/AppServices.h"

namespace zan {

namespace {

// Never destroyed (see Application()).
std::vector<TForm*>& FormList() {
    static auto* forms = new std::vector<TForm*>;
    return *forms;
}

std::map<std::string, std::function<std::unique_ptr<TFormsBackend>()>>& Factories() {
    static std::map<std::string, std::function<std::unique_ptr<TFormsBackend>()>> factories;
    return factories;
}

// The caption without its "&" accelerator marks ("&&" stays one "&").
std::string StripAccel(const std::string& caption) {
    std::string out;
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) ++i;
        out += caption[i];
    }
    return out;
}

void Bevel3D(TCanvas& c, const TRect& r, bool raised) {
    c.BrushColor = raised ? clBtnHighlight : clBtnShadow;
    c.FillRect({r.Left, r.Top, r.Right, r.Top + 1});
    c.FillRect({r.Left, r.Top, r.Left + 1, r.Bottom});
    c.BrushColor = raised ? clBtnShadow : clBtnHighlight;
    c.FillRect({r.Left, r.Bottom - 1, r.Right, r.Bottom});
    c.FillRect({r.Right - 1, r.Top, r.Right, r.Bottom});
}

void CenteredText(TCanvas& c, const TRect& r, const std::string& text) {
    int w = c.TextWidth(text), h = c.TextHeight(text);
    c.TextOut(r.Left + (r.Width() - w) / 2, r.Top + (r.Height() - h) / 2, text);
}

// The first showing, enabled default (or cancel) button in the control tree under parent, embedded
// forms included, in the order the controls sit in their parents.
TButton* KeyButton(const TWinControl& parent, bool defaultButton) {
    for (TControl* c : parent.Controls()) {
        if (!c->Visible || !c->IsEnabled()) continue;
        if (auto* b = dynamic_cast<TButton*>(c); b && (defaultButton ? b->Default : b->Cancel)) return b;
        if (auto* w = dynamic_cast<TWinControl*>(c))
            if (TButton* b = KeyButton(*w, defaultButton)) return b;
    }
    return nullptr;
}

} // namespace

// ---- TControl ----

TControl::TControl(TComponent* owner) : TComponent(owner) {}

TControl::~TControl() { SetParent(nullptr); }

void TControl::SetParent(TWinControl* parent) {
    if (parent == FParent) return;
    if (FParent) {
        auto& list = FParent->FControls;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        if (TForm* f = FParent->ParentForm(); f && f->ActiveControl == this) f->ActiveControl = nullptr;
    }
    FParent = parent;
    if (parent) parent->FControls.push_back(this);
    Invalidate();
}

TForm* TControl::ParentForm() const {
    const TControl* c = this;
    while (c->FParent) c = c->FParent;
    return const_cast<TForm*>(dynamic_cast<const TForm*>(c));
}

void TControl::SetBounds(int left, int top, int width, int height) {
    Left = left;
    Top = top;
    Width = std::max(0, width);
    Height = std::max(0, height);
    if (auto* w = dynamic_cast<TWinControl*>(this)) w->Realign();
    Invalidate();
}

bool TControl::Showing() const {
    for (const TControl* c = this; c; c = c->FParent)
        if (!c->Visible) return false;
    return true;
}

bool TControl::IsEnabled() const {
    for (const TControl* c = this; c; c = c->FParent)
        if (!c->Enabled) return false;
    return true;
}

TPoint TControl::FormOrigin() const {
    TPoint p;
    for (const TControl* c = this; c->FParent; c = c->FParent) {
        p.X += c->Left;
        p.Y += c->Top;
    }
    return p;
}

void TControl::Invalidate() {
    TForm* form = ParentForm();
    if (form && form->BackendData && Application().HasBackend() && !GetComponentState().Contains(csDestroying))
        Application().Backend().Invalidate(*form);
}

void TControl::BringToFront() {
    if (!FParent) return;
    auto& list = FParent->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    list.push_back(this);
    Invalidate();
}

void TControl::SetFocus() {
    if (TForm* f = ParentForm()) {
        f->ActiveControl = this;
        Invalidate();
    }
}

bool TControl::Focused() const {
    TForm* f = ParentForm();
    return f && f->ActiveControl == this;
}

void TControl::Paint(TCanvas&) {}

void TControl::Click() {
    if (OnClick) Application().Call([&] { OnClick(this); });
}

std::vector<std::string*> TControl::TranslatableStrings() { return {&Caption, &Hint}; }

// ---- TWinControl ----

TWinControl::~TWinControl() {
    for (TControl* c : std::vector<TControl*>(FControls)) c->SetParent(nullptr);
}

void TWinControl::Realign() {
    TRect r{0, 0, Width, Height};
    for (TAlign pass : {alTop, alBottom, alLeft, alRight, alClient})
        for (TControl* c : FControls) {
            if (c->Align != pass || !c->Visible) continue;
            switch (pass) {
            case alTop: c->Left = r.Left, c->Top = r.Top, c->Width = r.Width(); r.Top += c->Height; break;
            case alBottom: r.Bottom -= c->Height; c->Left = r.Left, c->Top = r.Bottom, c->Width = r.Width(); break;
            case alLeft: c->Left = r.Left, c->Top = r.Top, c->Height = r.Height(); r.Left += c->Width; break;
            case alRight: r.Right -= c->Width; c->Left = r.Right, c->Top = r.Top, c->Height = r.Height(); break;
            default: c->Left = r.Left, c->Top = r.Top, c->Width = std::max(0, r.Width()), c->Height = std::max(0, r.Height()); break;
            }
            if (auto* w = dynamic_cast<TWinControl*>(c)) w->Realign();
        }
}

void TWinControl::PaintTree(TCanvas& canvas) {
    TPoint origin = canvas.Origin;
    Paint(canvas);
    for (TControl* c : FControls) {
        if (!c->Visible) continue;
        canvas.Origin = {origin.X + c->Left, origin.Y + c->Top};
        canvas.Angle = 0;
        canvas.BrushClear = false;
        if (auto* w = dynamic_cast<TWinControl*>(c)) w->PaintTree(canvas);
        else c->Paint(canvas);
    }
    canvas.Origin = origin;
}

TControl* TWinControl::ControlAt(int x, int y) {
    for (auto it = FControls.rbegin(); it != FControls.rend(); ++it) {
        TControl* c = *it;
        if (!c->Visible || !c->BoundsRect().Contains(x, y)) continue;
        if (auto* w = dynamic_cast<TWinControl*>(c))
            if (TControl* inner = w->ControlAt(x - c->Left, y - c->Top)) return inner;
        return c;
    }
    return nullptr;
}

// ---- controls ----

void TCustomControl::Paint(TCanvas& canvas) {
    if (OnPaint) OnPaint(canvas);
}

void TPanel::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    if (BevelOuter != bvNone) Bevel3D(c, {0, 0, Width, Height}, BevelOuter == bvRaised);
    c.Font = Font;
    if (!Caption.empty()) CenteredText(c, {0, 0, Width, Height}, Caption);
}

void TGroupBox::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    int th = c.TextHeight(Caption);
    Bevel3D(c, {0, th / 2, Width, Height}, false);
    c.Font = Font;
    c.TextOut(8, 0, StripAccel(Caption));
}

void TBevel::Paint(TCanvas& c) { Bevel3D(c, {0, 0, Width, Height}, false); }

void TLabel::Paint(TCanvas& c) {
    c.Font = Font;
    if (!IsEnabled()) c.Font.Color = clGrayText;
    if (!Transparent) {
        c.BrushColor = Color;
        c.FillRect({0, 0, Width, Height});
    }
    // Word-wrapped labels break at blanks to fit their width.
    std::vector<std::string> lines;
    std::string text = StripAccel(Caption), line;
    size_t at = 0;
    while (WordWrap && at < text.size()) {
        size_t blank = text.find(' ', at);
        std::string word = text.substr(at, blank == std::string::npos ? std::string::npos : blank - at);
        std::string tried = line.empty() ? word : line + " " + word;
        if (!line.empty() && c.TextWidth(tried) > Width) {
            lines.push_back(line);
            line = word;
        } else {
            line = tried;
        }
        at = blank == std::string::npos ? text.size() : blank + 1;
    }
    if (!WordWrap) line = text;
    lines.push_back(line);
    int y = 0;
    for (const std::string& l : lines) {
        int w = c.TextWidth(l);
        int x = Alignment == taLeftJustify ? 0 : Alignment == taRightJustify ? Width - w : (Width - w) / 2;
        c.TextOut(x, y, l);
        y += c.TextHeight(l);
    }
}

TEdit::TEdit(TComponent* owner) : TControl(owner) { Color = clWindow; }

void TEdit::SetText(const std::string& text) {
    if (text == Caption) return;
    Caption = text;
    Changed();
    if (OnChange) Application().Call([&] { OnChange(this); });
}

void TEdit::TypeText(const std::string& text) {
    if (ReadOnly) return;
    // Typing stops at MaxLength characters; a text set by the program may be longer.
    std::string cut = text;
    if (MaxLength > 0) {
        size_t room = UTF8Length(Caption) >= static_cast<size_t>(MaxLength) ? 0 : MaxLength - UTF8Length(Caption);
        size_t chars = 0, i = 0;
        for (; i < cut.size(); ++i)
            if ((static_cast<unsigned char>(cut[i]) & 0xC0) != 0x80 && chars++ == room) break;
        cut.resize(i);
    }
    if (!cut.empty()) SetText(Caption + cut);
}

void TEdit::KeyDown(const std::string& key) {
    if (key != "BackSpace" || ReadOnly || Caption.empty()) return;
    std::string t = Caption;
    size_t i = t.size() - 1;
    while (i > 0 && (static_cast<unsigned char>(t[i]) & 0xC0) == 0x80) --i;
    t.resize(i);
    SetText(t);
}

void TEdit::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    Bevel3D(c, {0, 0, Width, Height}, false);
    c.Font = Font;
    if (!IsEnabled()) c.Font.Color = clGrayText;
    std::string shown = PasswordChar ? std::string(UTF8Length(Caption), PasswordChar) : Caption;
    if (Focused()) shown += "|";
    c.TextOut(3, (Height - c.TextHeight(shown)) / 2, shown);
}

TMemo::TMemo(TComponent* owner) : TControl(owner) { Color = clWindow; }

void TMemo::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    Bevel3D(c, {0, 0, Width, Height}, false);
    c.Font = Font;
    int y = 2;
    for (const std::string& line : Lines) {
        if (y > Height) break;
        c.TextOut(3, y, line);
        y += c.TextHeight(line);
    }
}

std::vector<std::string*> TMemo::TranslatableStrings() {
    std::vector<std::string*> out = TControl::TranslatableStrings();
    for (std::string& l : Lines) out.push_back(&l);
    return out;
}

TButton::TButton(TComponent* owner) : TControl(owner) {}

void TButton::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    Bevel3D(c, {0, 0, Width, Height}, true);
    if (Default || Focused()) {
        c.PenColor = clBlack;
        c.FrameRect({0, 0, Width, Height});
    }
    c.Font = Font;
    if (!IsEnabled()) c.Font.Color = clGrayText;
    int gx = 0;
    if (!Glyph.Empty()) {
        c.Draw(4, (Height - Glyph.Height()) / 2, Glyph);
        gx = Glyph.Width() / 2;
    }
    CenteredText(c, {gx, 0, Width, Height}, StripAccel(Caption));
}

void TButton::Click() {
    TControl::Click();
    if (ModalResult != mrNone)
        if (TForm* f = ParentForm()) f->ModalResult = ModalResult;
}

void TButton::KeyDown(const std::string& key) {
    if (key == "space") Click();
}

void TCheckBox::SetChecked(bool checked) {
    if (checked == Checked) return;
    Checked = checked;
    Changed();
}

void TCheckBox::Click() {
    SetChecked(!Checked);
    TControl::Click();
}

void TCheckBox::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    int top = (Height - 13) / 2;
    c.BrushColor = clWindow;
    c.FillRect({0, top, 13, top + 13});
    Bevel3D(c, {0, top, 13, top + 13}, false);
    c.Font = Font;
    if (Checked) c.TextOut(3, top, "x");
    c.TextOut(18, (Height - c.TextHeight(Caption)) / 2, StripAccel(Caption));
}

void TRadioGroup::SetItemIndex(int index) {
    if (index < -1 || index >= static_cast<int>(Items.size()))
        throw EFormsError(Format("%d is not an item of %s", index, GetName()));
    if (index == ItemIndex) return;
    ItemIndex = index;
    Changed();
    TControl::Click();
}

void TRadioGroup::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    Bevel3D(c, {0, 6, Width, Height}, false);
    c.Font = Font;
    c.TextOut(8, 0, StripAccel(Caption));
    int y = 18;
    for (size_t i = 0; i < Items.size(); ++i, y += 18) {
        c.TextOut(10, y, static_cast<int>(i) == ItemIndex ? "(o)" : "( )");
        c.TextOut(32, y, StripAccel(Items[i]));
    }
}

std::vector<std::string*> TRadioGroup::TranslatableStrings() {
    std::vector<std::string*> out = TControl::TranslatableStrings();
    for (std::string& i : Items) out.push_back(&i);
    return out;
}

void TProgressBar::SetPosition(int position) {
    position = std::clamp(position, Min, std::max(Min, Max));
    if (position == FPosition) return;
    FPosition = position;
    Changed();
}

void TProgressBar::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    Bevel3D(c, {0, 0, Width, Height}, false);
    int span = Max - Min;
    int w = span > 0 ? static_cast<int>(static_cast<int64_t>(Width - 2) * (FPosition - Min) / span) : 0;
    c.BrushColor = clHighlight;
    c.FillRect({1, 1, 1 + w, Height - 1});
}

void TImage::Paint(TCanvas& c) {
    if (Picture.Empty()) return;
    int x = Center ? (Width - Picture.Width()) / 2 : 0;
    int y = Center ? (Height - Picture.Height()) / 2 : 0;
    c.Draw(x, y, Picture);
}

void TTabControl::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
    c.Font = Font;
    int x = 2;
    for (size_t i = 0; i < Tabs.size(); ++i) {
        int w = c.TextWidth(Tabs[i]) + 12;
        Bevel3D(c, {x, 0, x + w, 20}, static_cast<int>(i) == TabIndex);
        c.TextOut(x + 6, 3, StripAccel(Tabs[i]));
        x += w;
    }
    Bevel3D(c, {0, 20, Width, Height}, true);
}

// ---- TForm ----

TForm::TForm(TComponent* owner) : TWinControl(owner) {
    static uint64_t serials = 0;
    FSerial = ++serials;
    Visible = false;
    SetLoading(true);
    FormList().push_back(this);
}

TForm::~TForm() {
    if (OnDestroy) Application().Call([&] { OnDestroy(this); });
    Hide();
    if (Application().HasBackend()) Application().Backend().FormDestroyed(*this);
    auto& list = FormList();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    if (Application().MainForm == this) Application().MainForm = nullptr;
    Destroying();
    DestroyComponents();
}

const std::vector<TForm*>& LiveForms() { return FormList(); }

void TForm::FinishCreate() {
    for (int i = 0; i < ComponentCount(); ++i)
        if (Components(i)->GetComponentState().Contains(csLoading)) Components(i)->Loaded();
    if (GetComponentState().Contains(csLoading)) Loaded();
    Realign();
    if (OnCreate) Application().Call([&] { OnCreate(this); });
}

void TForm::PlaceOnScreen() {
    TScreen& s = Screen();
    if (WindowState == wsMaximized) {
        Left = Top = 0;
        Width = s.Width;
        Height = s.Height;
    } else if (Position == poScreenCenter) {
        Left = (s.Width - Width) / 2;
        Top = (s.Height - Height) / 2;
    }
    Realign();
}

void TForm::Show() {
    TApplication& app = Application();
    bool first = !FActivated;
    if (!Visible || !BackendData) {
        Visible = true;
        if (!GetParent()) PlaceOnScreen();
        if (std::find(app.FShown.begin(), app.FShown.end(), this) == app.FShown.end()) app.FShown.push_back(this);
        if (!GetParent()) app.Backend().ShowForm(*this);
        std::string buttons;
        for (const std::string& b : VisibleButtons()) buttons += (buttons.empty() ? "" : ", ") + b;
        app.Log(Format("form %s \"%s\" [%s]", ClassName(), Caption, buttons));
        if (OnShow) app.Call([&] { OnShow(this); });
    }
    if (first) {
        FActivated = true;
        // The form may be gone when the queue runs: look it up by pointer and serial.
        // The handler may create forms (a whole install runs in it): find first, then call.
        app.Post([this, serial = FSerial] {
            const std::vector<TForm*>& live = LiveForms();
            bool alive = std::any_of(live.begin(), live.end(),
                                     [&](TForm* f) { return f == this && f->FSerial == serial; });
            if (alive && OnActivate && Visible) Application().Call([&] { OnActivate(this); });
        });
    }
}

void TForm::Hide() {
    if (!Visible) return;
    Visible = false;
    TApplication& app = Application();
    app.FShown.erase(std::remove(app.FShown.begin(), app.FShown.end(), this), app.FShown.end());
    if (BackendData && app.HasBackend()) app.Backend().HideForm(*this);
}

TModalResult TForm::ShowModal() {
    TApplication& app = Application();
    if (FModal) throw EFormsError(std::string("Cannot make a visible window modal: ") + ClassName());
    ModalResult = mrNone;
    FModal = true;
    app.FModal.push_back(this);
    TScopeExit leave([&] {
        FModal = false;
        app.FModal.erase(std::remove(app.FModal.begin(), app.FModal.end(), this), app.FModal.end());
        Hide();
    });
    Show();
    while (true) {
        if (app.Terminated() && ModalResult == mrNone) ModalResult = mrCancel;
        if (ModalResult != mrNone) {
            if (CloseQuery()) break;
            ModalResult = mrNone;
        }
        app.HandleMessage();
    }
    TModalResult result = ModalResult;
    app.Log(Format("modal %s -> %d", ClassName(), result));
    return result;
}

void TForm::Close() {
    if (FModal) {
        ModalResult = mrCancel;
        return;
    }
    if (CloseQuery()) Hide();
}

bool TForm::CloseQuery() {
    bool can = true;
    if (OnCloseQuery) Application().Call([&] { OnCloseQuery(this, can); });
    return can;
}

std::vector<std::string> TForm::VisibleButtons() const {
    std::vector<std::string> out;
    std::function<void(const TWinControl*)> walk = [&](const TWinControl* w) {
        for (TControl* c : w->Controls()) {
            if (!c->Visible) continue;
            if (dynamic_cast<TButton*>(c)) out.push_back(StripAccel(c->Caption));
            if (auto* inner = dynamic_cast<TWinControl*>(c)) walk(inner);
        }
    };
    walk(this);
    return out;
}

TControl* TForm::FindControl(const std::string& name) const {
    return dynamic_cast<TControl*>(FindComponent(name));
}

void TForm::KeyDown(const std::string& key) {
    TControl* target = ActiveControl && ActiveControl->Showing() && ActiveControl->IsEnabled() ? ActiveControl : nullptr;
    if (key == "Return" || key == "Escape") {
        // A focused button takes Return itself; otherwise the default (Return) or cancel (Escape)
        // button that shows answers, wherever it sits: a page form embedded in a frame has its
        // buttons in its own panel, and the frame's window is the one that gets the keys.
        auto* button = key == "Return" ? dynamic_cast<TButton*>(target) : nullptr;
        if (!button) button = KeyButton(*this, key == "Return");
        if (button) {
            button->Click();
            return;
        }
        if (key == "Escape" && BorderStyle == bsDialog) Close();
        return;
    }
    if (key == "Tab") {
        std::vector<TControl*> order;
        for (int i = 0; i < ComponentCount(); ++i)
            if (auto* c = dynamic_cast<TControl*>(Components(i)); c && c->CanFocus() && c->Showing() && c->IsEnabled())
                order.push_back(c);
        std::stable_sort(order.begin(), order.end(), [](TControl* a, TControl* b) { return a->TabOrder < b->TabOrder; });
        if (order.empty()) return;
        auto it = std::find(order.begin(), order.end(), target);
        (it == order.end() || ++it == order.end() ? order.front() : *it)->SetFocus();
        return;
    }
    if (target) target->KeyDown(key);
}

void TForm::Paint(TCanvas& c) {
    c.BrushColor = Color;
    c.FillRect({0, 0, Width, Height});
}

// ---- screen, backends, application ----

TScreen& Screen() {
    static TScreen screen;
    return screen;
}

int THeadlessBackend::TextWidth(const TFont&, const std::string& text) {
    return 6 * static_cast<int>(UTF8Length(text));
}

TPicture THeadlessBackend::Capture(TForm& form) {
    TPicture p;
    p.SetSize(form.Width, form.Height);
    return p;
}

void RegisterBackendFactory(const std::string& name,
                            std::function<std::unique_ptr<TFormsBackend>()> factory) {
    Factories()[name] = std::move(factory);
}

TApplication::TApplication() : TComponent(nullptr) {}
TApplication::~TApplication() = default;

// Never destroyed, like the forms' list: the process may end from inside the event loop (the
// X library exits when the display is lost), and the forms, their windows and the backend then
// stay as they are rather than being torn down after the static objects they use.
TApplication& Application() {
    static auto* app = new TApplication;
    return *app;
}

void TApplication::Initialize() {
    const char* env = std::getenv("ZAN_FORMS");
    std::string name = env && *env ? env : "fltk";
    if (name == "headless") {
        SetBackend(std::make_unique<THeadlessBackend>());
        return;
    }
    auto it = Factories().find(name);
    if (name != "fltk")
        throw EFormsError("ZAN_FORMS=" + name + ": unknown forms backend (headless or fltk)");
    if (it == Factories().end()) throw EFormsError("This program has no fltk forms backend");
    SetBackend(it->second());
}

void TApplication::SetBackend(std::unique_ptr<TFormsBackend> backend) { FBackend = std::move(backend); }

TFormsBackend& TApplication::Backend() {
    if (!FBackend) Initialize();
    return *FBackend;
}

THeadlessSession& TApplication::Session() { return FSession ? *FSession : DefaultHeadlessSession(); }

void TApplication::Log(const std::string& line) { Session().Record(line); }

void TApplication::Call(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const EHeadlessPrompt&) {
        throw;
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        if (OnException) {
            try {
                OnException(this, e);
            } catch (const EHeadlessPrompt&) {
                throw;
            } catch (const std::exception& again) {
                ShowException(again);
            }
        } else {
            ShowException(e);
        }
    }
}

void TApplication::ShowException(const std::exception& e) {
    // Scripted and headless runs log it; a real display shows an error box.
    if (Session().HasScript() || !FBackend || std::string(FBackend->Name()) == "headless") {
        Session().ShowException(e);
        return;
    }
    UserPrompts().Message(e.what(), pbOK);
}

TForm* TApplication::ActiveForm() const {
    if (!FModal.empty()) return FModal.back();
    return FShown.empty() ? nullptr : FShown.back();
}

void TApplication::RunPosted() {
    while (!FPosted.empty()) {
        auto action = std::move(FPosted.front());
        FPosted.pop_front();
        action();
    }
}

void TApplication::ProcessMessages() {
    Backend().Pump(false);
    RunPosted();
    RunScriptStep(false);
}

void TApplication::HandleMessage() {
    Backend().Pump(true);
    RunPosted();
    if (FModal.empty() || FModal.back()->ModalResult != mrNone) return;
    THeadlessSession& s = Session();
    bool headless = std::string(Backend().Name()) == "headless";
    if (RunScriptStep(true)) return;
    if (!headless) return;
    TForm* form = FModal.back();
    if (!s.HasScript()) {
        // No script: a modal form answers as its Cancel would.
        Log(Format("modal %s \"%s\" -> Cancel (default, no script)", form->ClassName(), form->Caption));
        form->ModalResult = mrCancel;
        return;
    }
    throw EHeadlessPrompt(Format("%s: no script step for the modal form %s \"%s\"", s.ScriptName(),
                                 form->ClassName(), form->Caption));
}

void TApplication::Run() {
    if (MainForm) MainForm->Show();
    while (!FTerminated && MainForm && MainForm->Visible) HandleMessage();
}

TForm* TApplication::FindScriptForm(const std::string& name) const {
    if (name == "*") return ActiveForm();
    for (auto it = FShown.rbegin(); it != FShown.rend(); ++it)
        if ((*it)->Visible && ((*it)->ClassName() == name || (*it)->Caption == name)) return *it;
    return nullptr;
}

bool TApplication::RunScriptStep(bool modalWait) {
    THeadlessSession& s = Session();
    TPromptAnswer* step = s.PeekFormStep();
    if (!step) return false;
    auto where = [&] { return Format("%s(%d): %s", s.ScriptName(), step->Line, step->Source); };
    if (step->Verb == "wait") {
        if (++FWaitPumps >= StrToInt(step->Value)) {
            FWaitPumps = 0;
            s.Take(*step);
        }
        return true;
    }
    TForm* form = FindScriptForm(step->Form);
    if (!form) {
        if (!modalWait) return false;
        throw EHeadlessPrompt(where() + ": the form is not shown");
    }
    if (!FModal.empty() && form->ParentForm() != FModal.back() && step->Verb != "screenshot")
        throw EHeadlessPrompt(where() + ": the form is behind a modal form");
    s.Take(*step);
    try {
        ApplyStep(*step, *form);
    } catch (const EHeadlessPrompt&) {
        throw;
    } catch (const std::exception& e) {
        throw EHeadlessPrompt(where() + ": " + e.what());
    }
    return true;
}

void TApplication::ApplyStep(TPromptAnswer& step, TForm& form) {
    THeadlessSession& s = Session();
    auto fail = [&](const std::string& why) {
        throw EHeadlessPrompt(Format("%s(%d): %s: %s", s.ScriptName(), step.Line, step.Source, why));
    };
    if (step.Verb == "close") {
        Log(Format("close %s", form.ClassName()));
        form.Close();
        return;
    }
    if (step.Verb == "key") {
        // As a backend delivers it: to the window holding the form, whose focus and default and
        // cancel buttons decide.
        Log(Format("key %s %s", form.ClassName(), step.Value));
        if (TForm* window = form.ParentForm()) window->KeyDown(step.Value);
        return;
    }
    if (step.Verb == "screenshot") {
        Backend().Capture(form).SaveToFile(step.Value);
        Log(Format("screenshot %s", form.ClassName()));
        return;
    }
    TControl* c = form.FindControl(step.Control);
    if (!c) fail("no control " + step.Control);
    if (!c->Showing()) fail(step.Control + " is hidden");
    if (!c->IsEnabled()) fail(step.Control + " is disabled");
    Log(Format("%s %s.%s%s", step.Verb, form.ClassName(), step.Control,
               step.Value.empty() || step.Verb != "choose" ? "" : " " + step.Value));
    if (step.Verb == "click") {
        c->Click();
    } else if (step.Verb == "type") {
        auto* e = dynamic_cast<TEdit*>(c);
        if (!e) fail(step.Control + " takes no text");
        if (e->ReadOnly) fail(step.Control + " is read-only");
        if (e->MaxLength > 0 && UTF8Length(step.Value) > static_cast<size_t>(e->MaxLength))
            fail(Format("the text is longer than %d characters", e->MaxLength));
        e->SetFocus();
        e->SetText(step.Value);
    } else if (step.Verb == "check" || step.Verb == "uncheck") {
        auto* b = dynamic_cast<TCheckBox*>(c);
        if (!b) fail(step.Control + " is not a check box");
        if (b->Checked != (step.Verb == "check")) b->Click();
    } else if (step.Verb == "choose") {
        int n = StrToInt(step.Value);
        if (auto* tree = dynamic_cast<TFolderTree*>(c)) {
            if (n < 0 || n >= static_cast<int>(tree->Items.size())) fail("no item " + step.Value);
            tree->SetItemIndex(n);
            return;
        }
        auto* g = dynamic_cast<TRadioGroup*>(c);
        if (!g) fail(step.Control + " is not a radio group");
        if (n >= static_cast<int>(g->Items.size())) fail("no item " + step.Value);
        g->SetItemIndex(n);
    }
}

} // namespace zan
