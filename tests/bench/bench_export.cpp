// The events of the largest dump (about 32,760) exported as text, CSV and JSON: in process into a
// device that drops the bytes (also as many events with rates that hardly repeat), and as `oqtool events` processes with TZ unset (wall time, peak
// resident memory and, when strace is installed, the system calls of one run, all and the stat
// family's).
#include <benchmark/benchmark.h>

#include <QFile>
#include <QIODevice>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "parser/OQProtocol.h"
#include "parser/OQProtocolExport.h"

#include "LargestDump.h"
#include "ProcessRun.h"

#ifndef OQTOOL_PATH
#define OQTOOL_PATH "oqtool"
#endif

namespace {

using oq::bench::Run;
using oq::bench::runProcess;

class DroppingDevice : public QIODevice {
public:
    DroppingDevice() { open(QIODevice::WriteOnly); }
    qint64 bytes = 0;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64 size) override
    {
        bytes += size;
        return size;
    }
};

const OQProtocolEventList& largestDumpEvents()
{
    static const OQProtocolEventList events =
        OQProtocol::initWithDeviceDump(oq::bench::largestDump())->protocolEventsError().value_or(OQProtocolEventList{});
    return events;
}

// As many one-minute intervals whose rates hardly repeat (a counter's memory in a changing
// field), where writing each number is paid in full.
const OQProtocolEventList& variedEvents()
{
    static const OQProtocolEventList events = [] {
        OQProtocolEventList out;
        QDateTime start(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
        for (std::size_t i = 0; i < largestDumpEvents().size(); ++i, start = start.addSecs(60)) {
            const quint64 pulses = 20 + (i * 7919) % 4000;
            out.push_back(OQProtocolEvent::initWithStartDate(start, 60, pulses, double(pulses) * 0.00573 + double(i % 97) * 1e-5,
                std::nullopt, false, i == 0, false, false, false, false, false));
        }
        return out;
    }();
    return events;
}

const char* formatName(int format) { return format == 0 ? "text" : format == 1 ? "csv" : "json"; }

void BM_Export(benchmark::State& state)
{
    const auto format = OQEventsFormat(state.range(0));
    const OQProtocolEventList& events = state.range(1) ? variedEvents() : largestDumpEvents();
    qint64 bytes = 0;
    for (auto _ : state) {
        DroppingDevice sink;
        OQProtocolEventsWrite(events, format, sink);
        bytes = sink.bytes;
    }
    state.SetLabel(std::string(formatName(int(state.range(0)))) + (state.range(1) ? ", varied rates" : ""));
    state.counters["events"] = double(events.size());
    state.counters["bytes"] = double(bytes);
}

struct SystemCalls {
    double all = -1, stat = -1; // -1: not counted (no strace)
};

// System calls of one run under `strace -c`: all of them, and those of the stat family.
SystemCalls systemCalls(const std::string& dump, const char* format, const QString& dir)
{
    const char* strace = "/usr/bin/strace";
    SystemCalls calls;
    if (access(strace, X_OK) != 0)
        return calls;
    const std::string report = (dir + QStringLiteral("/strace.txt")).toStdString();
    const Run run = runProcess({strace, "-f", "-c", "-o", report, OQTOOL_PATH, "events", dump, "--format", format}, "/dev/null");
    QFile file(QString::fromStdString(report));
    if (!run.ok || !file.open(QIODevice::ReadOnly))
        return calls;
    calls = {0, 0};
    // Rows: % time, seconds, usecs/call, calls, [errors,] name; the last row is the total.
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5 || fields[0].startsWith('%') || fields[0].startsWith('-'))
            continue;
        if (fields.last() == "total")
            calls.all = fields[3].toDouble();
        else if (fields.last().contains("stat"))
            calls.stat += fields[3].toDouble();
    }
    return calls;
}

void BM_OqtoolEventsProcess(benchmark::State& state)
{
    const char* format = formatName(int(state.range(0)));
    QTemporaryDir dir;
    const QString dumpPath = dir.filePath(QStringLiteral("largest.oqdump"));
    QFile dump(dumpPath);
    if (!dump.open(QIODevice::WriteOnly) || dump.write(oq::bench::largestDump().toLatin1()) < 0) {
        state.SkipWithError("cannot write the dump");
        return;
    }
    dump.close();
    const std::string path = dumpPath.toStdString();
    double peak = 0;
    for (auto _ : state) {
        const Run run = runProcess({OQTOOL_PATH, "events", path, "--format", format}, "/dev/null");
        if (!run.ok) {
            state.SkipWithError("oqtool failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        peak = std::max(peak, run.peakMiB);
    }
    state.SetLabel(format);
    state.counters["peak_rss_MiB"] = peak;
    const SystemCalls calls = systemCalls(path, format, dir.path());
    state.counters["syscalls"] = calls.all;
    state.counters["stat_calls"] = calls.stat;
}

} // namespace

BENCHMARK(BM_Export)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_OqtoolEventsProcess)
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
