#pragma once
// main() of the benchmarks that need a Qt application object.
#include <benchmark/benchmark.h>

#include <QtGlobal>

namespace oq::bench {

// OQ_CLOCK_SCALE when it is a positive number, else `fallback`.
inline double clockScaleFromEnvironment(double fallback)
{
    bool ok = false;
    const double scale = qEnvironmentVariable("OQ_CLOCK_SCALE").toDouble(&ok);
    return ok && scale > 0 ? scale : fallback;
}

// Google Benchmark's main, with an application object of type App alive around the runs.
template <class App>
int runWithApplication(int argc, char** argv)
{
    App app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace oq::bench
