// The largest new-format protocol dump (FFFF valid bytes, about 32,800 intervals) from text to
// OQProtocolEvent objects, and parse_prot alone over the same dump already in the line table.
// Reports the median of the repetitions and the events per second.
#include <benchmark/benchmark.h>

#include <QString>

#include <cstring>

#include "parser/OQParser.h"
#include "parser/OQProtocol.h"
#include "parser/parse_prot.h"

#include "LargestDump.h"

namespace {

using oq::bench::largestDump;

void BM_LargestDumpToEvents(benchmark::State& state)
{
    const auto protocol = OQProtocol::initWithDeviceDump(largestDump());
    size_t events = 0;
    for (auto _ : state) {
        oq::ErrorRecord error;
        const auto list = protocol->protocolEventsError(&error);
        if (!list) {
            state.SkipWithError(error.localizedDescription().toUtf8().constData());
            return;
        }
        events = list->size();
        benchmark::DoNotOptimize(list->data());
    }
    state.counters["events"] = double(events);
    state.counters["events_per_s"] = benchmark::Counter(double(events), benchmark::Counter::kIsIterationInvariantRate);
}

// The first half of the above: text to the parser's event maps.
void BM_LargestDumpToMaps(benchmark::State& state)
{
    const QString text = OQProtocol::initWithDeviceDump(largestDump())->parserInput();
    for (auto _ : state) {
        const auto maps = parseProtocol(text, nullptr);
        if (!maps) {
            state.SkipWithError("the dump does not parse");
            return;
        }
        benchmark::DoNotOptimize(maps->constData());
    }
}

// Counts what the parser reports, as cheaply as a callback can.
uint64_t g_intervals = 0;
const parser_callbacks kCounting = [] {
    parser_callbacks cb = {};
    cb.cb_pulses = [](int64_t, uint64_t, uint32_t) { ++g_intervals; };
    cb.cb_dose_rate = [](float rate) { benchmark::DoNotOptimize(rate); };
    return cb;
}();

void BM_LargestDumpParseProtOnly(benchmark::State& state)
{
    const QStringList lines = largestDump().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    if (lines.size() > PARSER_MAX_LINES) {
        state.SkipWithError("more lines than the line table holds");
        return;
    }
    int n = 0;
    for (const QString& line : lines) {
        const QByteArray bytes = line.trimmed().toLatin1().left(PARSER_LINE_SIZE - 1);
        std::memcpy(parser_lines[n], bytes.constData(), size_t(bytes.size()));
        parser_lines[n][bytes.size()] = '\0';
        ++n;
    }
    for (auto _ : state) {
        g_intervals = 0;
        if (const char* message = parse_prot(&kCounting, n)) {
            state.SkipWithError(message);
            return;
        }
    }
    state.counters["events"] = double(g_intervals);
}

} // namespace

BENCHMARK(BM_LargestDumpParseProtOnly)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_LargestDumpToMaps)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_LargestDumpToEvents)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
