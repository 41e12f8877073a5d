// The forms layer on the headless backend:
//  - one copy-progress update (two bars and a label, as a status event sets them): aim < 2 us,
//    with the repaints per 1,000 updates reported (at most one per integer change);
//  - the gradient bands of a 1024 x 768 backdrop, each of the 8 directions: aim < 20 us.
#include <benchmark/benchmark.h>

#include <memory>

#include "host/forms/Forms.h"
#include "setup/wizard/VisualWidgets.h"

using namespace zan;

namespace {

void CopyFormUpdate(benchmark::State& state) {
    auto backend = std::make_unique<THeadlessBackend>();
    THeadlessBackend* headless = backend.get();
    Application().SetBackend(std::move(backend));
    TForm form(nullptr);
    form.BackendData = &form; // counts repaints as a shown window would
    auto* fileBar = new TProgressBar(&form);
    auto* totalBar = new TProgressBar(&form);
    auto* label = new TLabel(&form);
    for (TControl* c : std::initializer_list<TControl*>{fileBar, totalBar, label}) c->SetParent(&form);
    const std::string name = "C:\\Program Files\\Orvex\\bin\\orvex.dll";
    int64_t updates = 0;
    headless->Repaints = 0;
    for (auto _ : state) {
        // A 1 MB file in 4 KiB steps: the percentages move every 2 to 3 updates.
        int step = static_cast<int>(updates % 256);
        fileBar->SetPosition(step * 100 / 256);
        totalBar->SetPosition(static_cast<int>(updates / 256 % 100));
        if (label->Caption != name) {
            label->Caption = name;
            label->Invalidate();
        }
        ++updates;
    }
    form.BackendData = nullptr;
    state.counters["repaints_per_1000"] = 1000.0 * static_cast<double>(headless->Repaints) / static_cast<double>(updates);
}
BENCHMARK(CopyFormUpdate);

void BackdropBands(benchmark::State& state) {
    TDirection d = static_cast<TDirection>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(GradientBands(d, 16711680, 0, 1024, 768));
}
BENCHMARK(BackdropBands)->DenseRange(0, 7);

} // namespace

BENCHMARK_MAIN();
