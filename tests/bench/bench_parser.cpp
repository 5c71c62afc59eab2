// The largest new-format protocol dump (FFFF valid bytes, about 32,800 intervals) from text to
// OQProtocolEvent objects, and parse_prot alone over the same dump already in the line table.
// Reports the median of the repetitions and the events per second.
#include <benchmark/benchmark.h>

#include <QString>

#include <cstdio>
#include <cstring>

#include "parser/OQParser.h"
#include "parser/OQProtocol.h"
#include "parser/parse_prot.h"

namespace {

QString largestDump()
{
    QByteArray image;
    image += QByteArray("\xF5\xED\x00\x00\x12\x01\x05\x24", 8); // 1.5.2024 12:00:00
    image += QByteArray("\xF5\x0B", 2);                          // one-minute intervals
    for (int i = 0; image.size() + 2 <= 0xFFFF; ++i) {
        const int pulses = 20 + (i * 7) % 60;
        image += char(pulses >> 8);
        image += char(pulses & 0xFF);
    }
    image += char(0xF9); // the last byte: an overflow flag
    QString text = QStringLiteral("v\r\nVersion 7.14Lb07 12345 FFFF 01.05.24 12:00:00\r\n"
                                  "h\r\nHW-3.1\r\ns\r\nSTAT 0001\r\n"
                                  "c\r\nORBEL-QUIST SoftCal gueltig\r\nB0 00 01 00 00\r\nFFFFFFFF0000A00F6400\r\n"
                                  "00 00 00 00 00\r\nb\r\nORBEL-QUIST Protokoll\r\n");
    for (int line = 0; line * 32 < image.size(); ++line) {
        unsigned sum = 0;
        char hex[3];
        for (int i = 0; i < 32; ++i) {
            const int at = line * 32 + i;
            const unsigned b = at < image.size() ? uint8_t(image[at]) : 0xFF;
            sum += b;
            std::snprintf(hex, sizeof hex, "%02X", b);
            text += QLatin1String(hex);
        }
        std::snprintf(hex, sizeof hex, "%02X", sum & 0xFF);
        text += QLatin1String(hex) + QStringLiteral("\r\n");
    }
    return text;
}

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
