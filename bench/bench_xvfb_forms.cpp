// The forms layer on FLTK under a virtual X server (run it through tests/xvfb/run_xvfb.sh; with
// no display it reports an error and measures nothing):
//  - the setup's main window as it shows: a maximised form, a client-aligned backdrop (blue to
//    black) and the top-aligned rotated product label; one whole repaint, drawn into the
//    window's back buffer, copied to the window and waited for at the X server: aim < 16 ms.
#include <benchmark/benchmark.h>

#include <FL/Fl.H>
#include <FL/x.H>
#include <cstdlib>

#include "host/forms/Forms.h"
#include "host/forms/fltk/FltkBackend.h"
#include "setup/wizard/VisualWidgets.h"

using namespace zan;

namespace {

void MaximisedBackdropWithLabel(benchmark::State& state) {
    if (!FltkDisplayAvailable()) {
        state.SkipWithError("no X display: run under tests/xvfb/run_xvfb.sh");
        return;
    }
    if (!Application().HasBackend()) {
        setenv("ZAN_FORMS", "fltk", 1);
        UseFltkBackend();
        Application().Initialize();
    }
    TForm form(nullptr);
    form.Caption = "Backdrop";
    form.WindowState = wsMaximized;
    auto* backdrop = new TBackdrop(&form);
    backdrop->SetParent(&form);
    auto* label = new TRotate3DLabel(&form);
    label->SetBounds(0, 0, 640, 60);
    label->Align = alTop;
    label->Font.Size = 24;
    label->Font.Color = clWhite;
    label->Caption = "Orvex Database Engine";
    label->SetParent(backdrop);
    form.Show();
    for (int i = 0; i < 20; ++i) Application().ProcessMessages(); // mapped and painted once
    for (auto _ : state) {
        backdrop->Invalidate();
        Fl::flush();
        XSync(fl_display, False);
    }
    state.counters["width"] = form.Width;
    state.counters["height"] = form.Height;
    form.Hide();
}
BENCHMARK(MaximisedBackdropWithLabel)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
