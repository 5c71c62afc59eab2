// The history database: the cost of recording a reading (the caller's hand-in, and the writer's
// transaction per reading alone or in batches), and the History window's "all" view over a year of
// one reading a second (90 days of raw readings kept): the SQL query alone, and query plus drawing;
// and those 90 days of raw readings (7.8 million) exported as CSV by `oqtool history`, a whole
// process writing to /dev/null: wall time, rows a second, processor time and peak resident memory.
//
// The year is generated once, through the writer, into OQ_BENCH_HISTORY_DB (default
// $TMPDIR/oq-bench-history-year.sqlite3) and kept for later runs; it takes a minute or two.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <cmath>

#include "BenchMain.h"
#include "ProcessRun.h"
#include "app/plots/HistoryPlot.h"
#include "app/windows/HistoryWindow.h"
#include "history/HistoryReader.h"
#include "history/HistoryWriter.h"
#include "platform/Clock.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

#ifndef OQTOOL_PATH
#define OQTOOL_PATH "oqtool"
#endif

namespace {

using namespace oq::history;

constexpr qint64 kDay = 86400000;
constexpr qint64 kYearEnd = 1796083200000LL; // 2026-12-01T00:00:00Z
constexpr qint64 kYearStart = kYearEnd - 365 * kDay;
const QString kSerial = QStringLiteral("10423");

double rateAt(qint64 t) { return 0.12 + 0.03 * std::sin(double(t) / 3.6e6) + 0.01 * double((t / 1000) % 13) / 13.0; }

QString yearPath()
{
    const QString given = qEnvironmentVariable("OQ_BENCH_HISTORY_DB");
    return given.isEmpty() ? QDir::tempPath() + QStringLiteral("/oq-bench-history-year.sqlite3") : given;
}

const QString& year()
{
    static const QString path = [] {
        const QString p = yearPath();
        if (QFileInfo::exists(p + QStringLiteral(".complete")))
            return p;
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(p + QLatin1String(suffix));
        Writer::Options o;
        o.path = p;
        o.batchSeconds = 0;
        o.nowMs = [] { return kYearEnd; };
        o.maxPending = 2 * kDay / 1000;
        Writer writer(o);
        for (qint64 day = kYearStart; day < kYearEnd; day += kDay) {
            for (qint64 t = day; t < day + kDay; t += 1000)
                writer.record({kSerial, t, Rate, rateAt(t), QStringLiteral("Sv"), 0});
            writer.flush(600);
        }
        QFile(p + QStringLiteral(".complete")).open(QIODevice::WriteOnly);
        return p;
    }();
    return path;
}

// What handing a reading in costs the caller (the screen's thread).
void BM_RecordHandIn(benchmark::State& state)
{
    QTemporaryDir dir;
    Writer::Options o;
    o.path = dir.filePath(QStringLiteral("h.sqlite3"));
    Writer writer(o);
    qint64 t = kYearEnd;
    for (auto _ : state)
        writer.record({kSerial, t += 1000, Rate, 0.12, QStringLiteral("Sv"), 0});
    state.SetItemsProcessed(state.iterations());
    writer.flush(600);
}
BENCHMARK(BM_RecordHandIn);

// The writer's cost per reading when each transaction holds `range(0)` readings (1: a counter at
// one reading a second, the application's case).
void BM_WritePerReading(benchmark::State& state)
{
    QTemporaryDir dir;
    Writer::Options o;
    o.path = dir.filePath(QStringLiteral("h.sqlite3"));
    o.batchSeconds = 0;
    o.nowMs = [] { return kYearEnd; };
    Writer writer(o);
    const qint64 batch = state.range(0);
    qint64 t = kYearEnd - kDay;
    for (auto _ : state) {
        for (qint64 i = 0; i < batch; ++i)
            writer.record({kSerial, t += 1000, Rate, rateAt(t), QStringLiteral("Sv"), 0});
        writer.flush(600);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_WritePerReading)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// "All" over the year: the buckets one window width asks for, straight from SQLite.
void BM_YearAllQuery(benchmark::State& state)
{
    QString problem;
    const auto reader = Reader::open(year(), &problem);
    if (!reader) {
        state.SkipWithError(problem.toStdString().c_str());
        return;
    }
    const auto span = reader->span(kSerial);
    const qint64 bucket = (span->second - span->first) / 480;
    size_t buckets = 0;
    for (auto _ : state)
        buckets = reader->liveBuckets(kSerial, Rate, span->first, span->second + 1, bucket).size();
    state.counters["buckets"] = double(buckets);
    state.counters["db_MiB"] = double(QFileInfo(year()).size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_YearAllQuery)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// "All" in the History window: the button's query and the timeline drawn at 1000 × 480.
void BM_YearAllQueryAndDraw(benchmark::State& state)
{
    QTemporaryDir dir;
    oq::SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
    oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
    HistoryWindow window(year());
    window.resize(1000, 480);
    QImage image(window.plot()->size() * 2, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        window.zoom(HistoryWindow::Zoom::All);
        QPainter painter(&image);
        window.plot()->render(&painter);
    }
    state.counters["buckets"] = double(window.plot()->data().live.size());
}
BENCHMARK(BM_YearAllQueryAndDraw)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// Every raw reading kept (the last 90 days of the year) as CSV rows, streamed as they are read.
void BM_YearRawExportProcess(benchmark::State& state)
{
    const QString path = year();
    oq::bench::Run run;
    for (auto _ : state) {
        run = oq::bench::runProcess({OQTOOL_PATH, "history", "--db", path.toStdString(), "--from", "2026-01-01"}, "/dev/null");
        if (!run.ok) {
            state.SkipWithError("oqtool history failed");
            return;
        }
        state.SetIterationTime(run.seconds);
    }
    state.counters["readings"] = double(90 * kDay / 1000);
    state.counters["rows_per_s"] = double(90 * kDay / 1000) / run.seconds;
    state.counters["cpu_s"] = run.cpuSeconds;
    state.counters["peak_MiB"] = run.peakMiB;
}
BENCHMARK(BM_YearRawExportProcess)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

} // namespace

int main(int argc, char** argv) { return oq::bench::runWithApplication<QApplication>(argc, argv); }
