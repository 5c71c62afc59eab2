#include "web/HistoryFeed.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "history/HistoryExport.h"
#include "history/HistoryReader.h"
#include "platform/TimeTicks.h"
#include "readings/Level.h"

namespace oq::web {
namespace {

constexpr qint64 kHour = 3600 * 1000, kDay = 24 * kHour;
constexpr int kPlotBuckets = 300;
constexpr size_t kPipeBytes = 256 * 1024;
constexpr int kMaxExports = 4;

std::atomic<int> g_exports{0};

// One reader per server thread, reopened after a failure (the file may appear or be replaced).
const history::Reader* readerFor(const QString& path, QString* problem)
{
    thread_local std::unique_ptr<history::Reader> reader;
    thread_local QString readerPath;
    if (reader && (readerPath != path || !reader->error().isEmpty()))
        reader.reset();
    if (!reader) {
        reader = history::Reader::open(path, problem);
        readerPath = path;
    }
    return reader.get();
}

} // namespace

std::optional<std::pair<qint64, qint64>> rangeSpan(const QString& historyPath, const QString& serial, const QString& range, qint64 nowMs)
{
    static const std::pair<const char*, qint64> lengths[] = {
        {"hour", kHour}, {"day", kDay}, {"week", 7 * kDay}, {"month", 30 * kDay}, {"year", 365 * kDay}};
    for (const auto& [name, length] : lengths) {
        if (range == QLatin1String(name))
            return std::pair{nowMs - length, nowMs};
    }
    if (range != QLatin1String("all"))
        return std::nullopt;
    QString problem;
    const history::Reader* reader = historyPath.isEmpty() ? nullptr : readerFor(historyPath, &problem);
    const auto span = reader ? reader->span(serial) : std::nullopt;
    if (!span)
        return std::pair{nowMs - kHour, nowMs};
    return std::pair{span->first, std::max(nowMs, span->second + 1)};
}

std::optional<QByteArray> plotJson(const QString& historyPath, const PlotRequest& request, QString* problem)
{
    const auto span = rangeSpan(historyPath, request.serial, request.range, request.nowMs);
    if (!span)
        return std::nullopt;
    const auto [from, to] = *span;
    QJsonArray buckets;
    qint64 bucketMs = std::max<qint64>(1000, (to - from) / kPlotBuckets);
    if (const history::Reader* reader = readerFor(historyPath, problem)) {
        const qint64 asked = bucketMs;
        bucketMs = reader->effectiveBucket(request.serial, request.mode, from, asked);
        for (const history::Bucket& b : reader->liveBuckets(request.serial, request.mode, from, to, asked))
            buckets.append(QJsonArray{double(b.startMs), b.min, b.mean, b.max, double(b.count)});
        if (!reader->error().isEmpty() && problem)
            *problem = reader->error();
    }
    const int width = std::clamp(request.width, 100, 4000);
    const qint64 step = timeStep(from, to, width, 80);
    const QLocale locale(request.language == QLatin1String("de") ? QLocale::German : QLocale::English,
        request.language == QLatin1String("de") ? QLocale::Germany : QLocale::UnitedKingdom);
    QJsonArray ticks;
    for (const qint64 t : timeTicks(from, to, step))
        ticks.append(QJsonArray{double(t), timeTickLabel(t, step, locale)});
    return QJsonDocument(QJsonObject{{QStringLiteral("from"), double(from)}, {QStringLiteral("to"), double(to)},
                             {QStringLiteral("bucketMs"), double(bucketMs)}, {QStringLiteral("buckets"), buckets},
                             {QStringLiteral("ticks"), ticks}})
        .toJson(QJsonDocument::Compact);
}

struct ExportStream::Pipe {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<char> bytes;
    bool done = false, failed = false, cancelled = false;
    std::thread writer;
};

namespace {

// The export's side of the pipe: blocks while the buffer is full, fails once the reader left.
class PipeDevice : public QIODevice {
public:
    explicit PipeDevice(ExportStream::Pipe& pipe) : m_pipe(pipe) { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        std::unique_lock lock(m_pipe.mutex);
        m_pipe.changed.wait(lock, [&] { return m_pipe.cancelled || m_pipe.bytes.size() < kPipeBytes; });
        if (m_pipe.cancelled)
            return -1;
        m_pipe.bytes.insert(m_pipe.bytes.end(), data, data + size);
        m_pipe.changed.notify_all();
        return size;
    }

private:
    ExportStream::Pipe& m_pipe;
};

} // namespace

std::unique_ptr<ExportStream> ExportStream::start(const QString& historyPath, const QString& serial, qint64 fromMs, qint64 toMs, bool json,
    double warningRate, double dangerRate)
{
    if (g_exports.fetch_add(1) >= kMaxExports) {
        g_exports.fetch_sub(1);
        return nullptr;
    }
    std::unique_ptr<ExportStream> stream(new ExportStream);
    stream->m_pipe = std::make_shared<Pipe>();
    Pipe& pipe = *stream->m_pipe;
    pipe.writer = std::thread([&pipe, historyPath, serial, fromMs, toMs, json, warningRate, dangerRate] {
        bool ok = false;
        {
            QString problem;
            // Its own connection, closed before the thread ends.
            if (const auto reader = history::Reader::open(historyPath, &problem)) {
                PipeDevice out(pipe);
                ok = history::exportRaw(*reader, QStringList{serial}, fromMs, toMs, json ? history::ExportFormat::Json : history::ExportFormat::Csv,
                    [=](double rate) { return int(oq::levelFor(rate, float(warningRate), float(dangerRate))); }, out);
            }
        }
        std::lock_guard lock(pipe.mutex);
        pipe.done = true;
        pipe.failed = !ok;
        pipe.changed.notify_all();
    });
    return stream;
}

ExportStream::~ExportStream()
{
    {
        std::lock_guard lock(m_pipe->mutex);
        m_pipe->cancelled = true;
        m_pipe->changed.notify_all();
    }
    m_pipe->writer.join();
    g_exports.fetch_sub(1);
}

long ExportStream::read(char* out, size_t max)
{
    std::unique_lock lock(m_pipe->mutex);
    m_pipe->changed.wait(lock, [&] { return m_pipe->done || !m_pipe->bytes.empty(); });
    if (m_pipe->bytes.empty())
        return m_pipe->failed ? -1 : 0;
    const size_t n = std::min(max, m_pipe->bytes.size());
    std::copy_n(m_pipe->bytes.begin(), n, out);
    m_pipe->bytes.erase(m_pipe->bytes.begin(), m_pipe->bytes.begin() + qsizetype(n));
    m_pipe->changed.notify_all();
    return long(n);
}

} // namespace oq::web
