// From a simulated counter's plug-in to its first value in the main window, the whole application
// in process at real time. The fixed part is the information exchange's pauses (0.5 + 0.6 + 0.2 +
// 0.2 s), the controller's 1-s start delay and the counter's own wait before its first value line
// (0.1 s here); overhead_s is what the application adds to that.
//
// OQ_CLOCK_SCALE (default 1) runs it faster for a quick look; times stay modelled seconds.
#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>

#include "BenchMain.h"
#include "app/SimulatedApplication.h"
#include "common/TestUtil.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"

namespace {

constexpr double kExchangePauses = 0.5 + 0.6 + 0.2 + 0.2;
constexpr double kStartDelay = 1.0;
constexpr double kFirstLine = 0.1;

double g_scale = 1.0;

void BM_PlugInToFirstShownValue(benchmark::State& state)
{
    QTemporaryDir dir;
    SimulatedApplication app(dir.path(), g_scale);
    const auto showsValue = [&] {
        const QString t = app.window->valueLabel()->text();
        return !t.isEmpty() && t != QLatin1String("---");
    };
    double total = 0;
    for (auto _ : state) {
        oq::sim::CounterConfig c;
        c.version = QStringLiteral("7.14Lb07");
        c.serial = QStringLiteral("10423");
        c.valueInterval = kFirstLine;
        auto counter = std::make_shared<oq::sim::SimCounter>(c);
        const auto start = std::chrono::steady_clock::now();
        const quint64 entry = oq::sim::SimBus::instance().plug(counter);
        if (!oq::test::waitUntil(showsValue, 30 * g_scale + 5)) {
            state.SkipWithError("no value shown");
            return;
        }
        const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(real);
        total += real / g_scale;
        oq::sim::SimBus::instance().unplug(entry);
        oq::test::waitUntil([&] { return !app.controller->device(); }, 10);
        oq::test::waitUntil([] { return false; }, 0.3);
    }
    const double mean = total / double(state.iterations());
    state.counters["shown_s"] = mean;
    state.counters["fixed_s"] = kExchangePauses + kStartDelay + kFirstLine;
    state.counters["overhead_s"] = mean - (kExchangePauses + kStartDelay + kFirstLine);
}
BENCHMARK(BM_PlugInToFirstShownValue)->Iterations(5)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    g_scale = oq::bench::clockScaleFromEnvironment(1.0);
    return oq::bench::runWithApplication<QApplication>(argc, argv);
}
