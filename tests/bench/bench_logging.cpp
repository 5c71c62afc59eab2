// 100,000 info messages through the dispatcher to the application log and the device log.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include "BenchMain.h"
#include "logging/LGFileLogger.h"
#include "logging/Log.h"
#include "logging/OQDeviceLog.h"

namespace {

double peakRssMiB()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// `devicePercent` of the messages are counter traffic; the rest go to the application log.
void BM_InfoMessagesToBothFileLoggers(benchmark::State& state)
{
    const int messages = 100000;
    const int devicePercent = int(state.range(0));
    QTemporaryDir dir;
    auto filter = std::make_shared<LGContextDenylistFilterLogFormatter>();
    filter->addToDenylist(OQDeviceLogContext);
    auto appLogger = LGFileLogger::initWithLogFileManager(std::make_shared<LGLogFileManagerDefault>(dir.path()));
    appLogger->setLogFormatter(filter);
    auto deviceLogger = LGFileLogger::initWithLogFileManager(std::make_shared<OQDeviceLogFileManager>(dir.path()));
    deviceLogger->setAutomaticallyAppendNewlineForCustomFormatters(false);
    deviceLogger->setLogFormatter(OQDeviceFileFormatter::deviceLogFormatter());
    LGLog::addLogger(appLogger);
    LGLog::addLogger(deviceLogger);
    LGLog::flushLog();

    const double rssBefore = peakRssMiB();
    for (auto _ : state) {
        for (int i = 0; i < messages; ++i) {
            if (i % 100 < devicePercent)
                LGLogDevice("%@", "0,12 uSv");
            else
                LGLogInfo("reading %d: %@ at %f", i, "0,12 uSv", 0.12);
        }
        LGLog::flushLog();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * messages);
    state.counters["peak_rss_MiB"] = peakRssMiB();
    state.counters["rss_growth_MiB"] = peakRssMiB() - rssBefore;
    LGLog::removeAllLoggers();
}
BENCHMARK(BM_InfoMessagesToBothFileLoggers)->Arg(0)->Arg(50)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A burst that waits for every message: errors are synchronous.
void BM_ErrorMessagesToBothFileLoggers(benchmark::State& state)
{
    QTemporaryDir dir;
    auto appLogger = LGFileLogger::initWithLogFileManager(std::make_shared<LGLogFileManagerDefault>(dir.path()));
    appLogger->setLogFormatter(nullptr);
    auto deviceLogger = LGFileLogger::initWithLogFileManager(std::make_shared<OQDeviceLogFileManager>(dir.path()));
    deviceLogger->setLogFormatter(OQDeviceFileFormatter::deviceLogFormatter());
    LGLog::addLogger(appLogger);
    LGLog::addLogger(deviceLogger);
    int i = 0;
    for (auto _ : state)
        LGLogError("error %d", ++i);
    state.SetItemsProcessed(int64_t(state.iterations()));
    LGLog::flushLog();
    LGLog::removeAllLoggers();
}
BENCHMARK(BM_ErrorMessagesToBothFileLoggers)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) { return oq::bench::runWithApplication<QCoreApplication>(argc, argv); }
