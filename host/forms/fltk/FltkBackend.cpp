#include "host/forms/fltk/FltkBackend.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>
#include <FL/fl_utf8.h>
#include <FL/x.H>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/Forms.h"

namespace zan {

namespace {

int FaceOf(const TFont& font) {
    int face = FL_HELVETICA;
    if (font.Style & fsBold) face += FL_BOLD;
    if (font.Style & fsItalic) face += FL_ITALIC;
    return face;
}

void SetFont(const TFont& font) { fl_font(FaceOf(font), FontPixels(font.Size)); }

void SetColor(TColor rgb) { fl_color(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb)); }

// Texts longer than this are cut to the characters that can land in the window.
constexpr size_t LongText = 256;

class TFltkCanvas : public TCanvas {
public:
    // The window's size: nothing is drawn outside it.
    TFltkCanvas(int width, int height) : FWindow{0, 0, width, height} {}
    int TextWidth(const std::string& text) override {
        SetFont(Font);
        return static_cast<int>(std::lround(fl_width(SanitizeUTF8(text).c_str())));
    }
    int TextHeight(const std::string&) override {
        SetFont(Font);
        return fl_height();
    }

protected:
    void DoFillRect(const TRect& r, TColor rgb) override {
        SetColor(rgb);
        fl_rectf(r.Left, r.Top, r.Width(), r.Height());
    }
    void DoFrameRect(const TRect& r, TColor rgb) override {
        SetColor(rgb);
        fl_rect(r.Left, r.Top, r.Width(), r.Height());
    }
    void DoPolygon(const std::vector<TPoint>& points, TColor rgb) override {
        SetColor(rgb);
        fl_begin_complex_polygon();
        for (TPoint p : points) fl_vertex(p.X, p.Y);
        fl_end_complex_polygon();
    }
    void DoTextOut(int x, int y, const std::string& text, TColor rgb) override {
        SetFont(Font);
        SetColor(rgb);
        // The model places text by the top-left of its cell; FLTK draws from the baseline.
        double a = Angle * M_PI / 180.0;
        int ascent = fl_height() - fl_descent();
        double bx = x + ascent * std::sin(a), by = y + ascent * std::cos(a);
        std::string shown = text;
        if (text.size() > LongText) {
            // A long text turned at an angle makes drawing requests the X server refuses (it
            // drops the connection): only the characters that can show go to the toolkit, from
            // the point where the first of them starts.
            std::vector<size_t> starts;
            std::vector<double> advances;
            for (size_t i = 0; i < text.size();) {
                size_t n = std::max(1, fl_utf8len1(text[i]));
                n = std::min(n, text.size() - i);
                starts.push_back(i);
                advances.push_back(fl_width(text.c_str() + i, static_cast<int>(n)));
                i += n;
            }
            TTextRun run = VisibleTextRun(advances, bx, by, Angle, FWindow, 2 * fl_height());
            if (run.Count == 0) return;
            size_t end = run.First + run.Count < starts.size() ? starts[run.First + run.Count] : text.size();
            shown = text.substr(starts[run.First], end - starts[run.First]);
            bx += run.Offset * std::cos(a);
            by -= run.Offset * std::sin(a);
        }
        int ix = static_cast<int>(std::lround(bx)), iy = static_cast<int>(std::lround(by));
        if (Angle == 0) fl_draw(shown.c_str(), ix, iy);
        else fl_draw(Angle, shown.c_str(), ix, iy);
    }
    void DoDraw(int x, int y, const TPicture& picture) override {
        Fl_RGB_Image image(picture.RGBA().data(), picture.Width(), picture.Height(), 4);
        image.draw(x, y);
    }

private:
    TRect FWindow;
};

// The exception a handler raised inside FLTK's loop, rethrown once the loop returns.
std::exception_ptr gPending;

template <typename F>
void Guard(F action) {
    try {
        action();
    } catch (...) {
        if (!gPending) gPending = std::current_exception();
    }
}

// Auto-repeat: a key held down makes the X server send a release and a press again and again,
// each pair with one time stamp. When the toolkit finds the press already queued behind the
// release it folds the two into a key press, handled while the release is the current X event;
// otherwise the press comes alone, and every X event passes here before the toolkit handles it,
// so the key handler knows whether the press it gets is a repeat. Only the time stamps decide: a
// release this client never sees (the focus moved on) leaves nothing that could swallow the next
// real press.
bool gKeyRepeat = false;
std::map<unsigned, Time> gKeyReleased;

int WatchKeys(void* data, void*) {
    const XEvent& e = *static_cast<const XEvent*>(data);
    if (e.type == KeyPress) {
        auto released = gKeyReleased.find(e.xkey.keycode);
        gKeyRepeat = released != gKeyReleased.end() && released->second == e.xkey.time;
    } else if (e.type == KeyRelease) {
        gKeyReleased[e.xkey.keycode] = e.xkey.time;
        gKeyRepeat = false;
    }
    return 0;
}

// True while the key press being handled is a repeat of a key held down.
bool KeyRepeated() { return gKeyRepeat || (fl_xevent && fl_xevent->type == KeyRelease); }

std::string KeyName(int key) {
    switch (key) {
    case FL_Enter:
    case FL_KP_Enter: return "Return";
    case FL_Escape: return "Escape";
    case FL_Tab: return "Tab";
    case FL_BackSpace: return "BackSpace";
    case FL_Up: return "Up";
    case FL_Down: return "Down";
    case ' ': return "space";
    default: return "";
    }
}

class TFormWindow : public Fl_Double_Window {
public:
    explicit TFormWindow(TForm& form) : Fl_Double_Window(form.Width, form.Height), FForm(form) {
        end();
        callback([](Fl_Widget*, void* data) {
            auto* f = static_cast<TForm*>(data);
            Guard([&] { f->Close(); });
        }, &form);
    }

    void draw() override {
        Guard([&] {
            TFltkCanvas canvas(w(), h());
            FForm.PaintTree(canvas);
        });
    }

    int handle(int event) override {
        const auto& modal = Application().ModalStack();
        bool blocked = !modal.empty() && modal.back() != &FForm;
        switch (event) {
        case FL_FOCUS:
        case FL_UNFOCUS:
        case FL_ENTER:
        case FL_LEAVE:
        case FL_MOVE: return 1;
        case FL_PUSH:
            if (blocked) return 1;
            Guard([&] {
                TControl* c = FForm.ControlAt(Fl::event_x(), Fl::event_y());
                if (!c || !c->IsEnabled()) return;
                if (c->CanFocus()) c->SetFocus();
                c->Click();
            });
            redraw();
            return 1;
        case FL_KEYBOARD:
        case FL_SHORTCUT: {
            if (blocked) return 1;
            std::string key = KeyName(Fl::event_key());
            TControl* focus = FForm.ActiveControl;
            bool buttonSpace = key == "space" && focus && dynamic_cast<TButton*>(focus);
            // A held key that presses a button presses it once, not once a repeat.
            if (KeyRepeated() && (key == "Return" || key == "Escape" || buttonSpace)) return 1;
            Guard([&] {
                if (buttonSpace) focus->KeyDown(key);
                else if (!key.empty() && key != "space") FForm.KeyDown(key);
                else if (focus && Fl::event_length() > 0) focus->TypeText(Fl::event_text());
            });
            redraw();
            return 1;
        }
        default: return Fl_Double_Window::handle(event);
        }
    }

    TForm& Form() const { return FForm; }

private:
    TForm& FForm;
};

TFormWindow* WindowOf(TForm& form) { return static_cast<TFormWindow*>(form.BackendData); }

class TFltkBackend : public TFormsBackend {
public:
    TFltkBackend() {
        Display* d = XOpenDisplay(nullptr);
        if (!d) throw EFormsError("Cannot open the X display (is DISPLAY set?)");
        fl_open_display(d);
        Fl::add_system_handler(WatchKeys, nullptr);
        Fl::visual(FL_RGB);
        Screen().Width = Fl::w();
        Screen().Height = Fl::h();
    }
    // The backend owns its windows and frees those left. Each belongs to a form that is still
    // alive: a form's destructor hands its window back through FormDestroyed first. The forms'
    // global list is never read here, as it may be gone when this runs at the process' exit.
    ~TFltkBackend() override {
        Fl::remove_system_handler(WatchKeys);
        for (TFormWindow* w : FWindows) {
            w->Form().BackendData = nullptr;
            delete w;
        }
    }
    const char* Name() const override { return "fltk"; }
    void ShowForm(TForm& form) override {
        TFormWindow* w = WindowOf(form);
        if (!w) {
            w = new TFormWindow(form);
            FWindows.push_back(w);
            form.BackendData = w;
        }
        w->copy_label(SanitizeUTF8(form.Caption).c_str());
        w->border(form.BorderStyle != bsBorderless);
        w->resize(form.Left, form.Top, std::max(1, form.Width), std::max(1, form.Height));
        w->show();
        w->take_focus();
        Fl::flush();
        if (w->shown()) Screen().CaptionHeight = std::max(0, w->decorated_h() - w->h());
    }
    void HideForm(TForm& form) override {
        if (TFormWindow* w = WindowOf(form)) w->hide();
        Fl::flush();
    }
    void FormDestroyed(TForm& form) override {
        TFormWindow* w = WindowOf(form);
        if (!w) return;
        FWindows.erase(std::remove(FWindows.begin(), FWindows.end(), w), FWindows.end());
        form.BackendData = nullptr;
        delete w;
    }
    void Invalidate(TForm& form) override {
        TFormWindow* w = WindowOf(form);
        if (!w) return;
        // The caption may have changed since the window was shown (a frame takes its page's).
        std::string caption = SanitizeUTF8(form.Caption);
        if (caption != (w->label() ? w->label() : "")) w->copy_label(caption.c_str());
        // Bounds changed after the show (a form maximised on activation) move the window too.
        if (!form.GetParent() && (w->x() != form.Left || w->y() != form.Top || w->w() != form.Width ||
                                  w->h() != form.Height))
            w->resize(form.Left, form.Top, std::max(1, form.Width), std::max(1, form.Height));
        w->redraw();
    }
    void Pump(bool wait) override {
        if (wait) Fl::wait(0.02);
        else Fl::check();
        if (gPending) {
            std::exception_ptr e = gPending;
            gPending = nullptr;
            std::rethrow_exception(e);
        }
    }
    int TextWidth(const TFont& font, const std::string& text) override {
        SetFont(font);
        return static_cast<int>(std::lround(fl_width(SanitizeUTF8(text).c_str())));
    }
    int TextHeight(const TFont& font) override {
        SetFont(font);
        return fl_height();
    }
    TPicture Capture(TForm& form) override {
        TFormWindow* w = WindowOf(form);
        if (!w || !w->shown()) throw EFormsError(std::string("Cannot capture the hidden form ") + form.ClassName());
        w->redraw();
        Fl::flush();
        w->make_current();
        uchar* rgb = fl_read_image(nullptr, 0, 0, w->w(), w->h());
        if (!rgb) throw EFormsError("Cannot read the window's pixels");
        std::unique_ptr<uchar[]> owned(rgb);
        TPicture picture;
        picture.SetSize(w->w(), w->h());
        for (int y = 0; y < w->h(); ++y)
            for (int x = 0; x < w->w(); ++x) {
                const uchar* p = rgb + (static_cast<size_t>(y) * w->w() + x) * 3;
                picture.SetPixel(x, y, 0xFF000000u | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]);
            }
        return picture;
    }
    void SetCursor(TCursor cursor) override {
        for (TFormWindow* w : FWindows) w->cursor(cursor == crHourGlass ? FL_CURSOR_WAIT : FL_CURSOR_DEFAULT);
    }

private:
    // The windows made for forms, in the order they were first shown.
    std::vector<TFormWindow*> FWindows;
};

} // namespace

bool FltkDisplayAvailable() {
    const char* d = std::getenv("DISPLAY");
    if (!d || !*d) return false;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

void UseFltkBackend() {
    RegisterBackendFactory("fltk", [] { return std::unique_ptr<TFormsBackend>(new TFltkBackend()); });
}

} // namespace zan
