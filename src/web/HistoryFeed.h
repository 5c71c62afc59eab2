#pragma once
// The history as the page reads it: a counter's plot over a range, from the same per-bucket
// aggregates the History window draws, and its raw export streamed as `oqtool history` writes it.
// Everything here runs on the server's threads, each with its own read-only connection.
#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace oq::web {

struct PlotRequest {
    QString serial;
    int mode = 1;
    QString range;      // "hour", "day", "week", "month", "year", "all"
    int width = 360;    // pixels the page draws the plot in, for the ruler's step
    QString language;   // of the ruler's labels: "de" or "en"
    qint64 nowMs = 0;
};

// {"from","to","bucketMs","buckets":[[start,min,mean,max,count]..],"ticks":[[ms,label]..]};
// nothing when the range is unknown. `problem` is set when the history cannot be read.
std::optional<QByteArray> plotJson(const QString& historyPath, const PlotRequest& request, QString* problem);

// The moments [from, to) a range ends at `nowMs` spans; "all" needs the history.
std::optional<std::pair<qint64, qint64>> rangeSpan(const QString& historyPath, const QString& serial, const QString& range, qint64 nowMs);

// One export being written by a thread of its own into a bounded buffer, read by the server as
// the client takes it; ending it early (the client went away) stops the export.
class ExportStream {
public:
    // Nothing when too many exports are running already.
    // Levels are judged by the given rate thresholds (μSv/h), as the stored ones judge them.
    static std::unique_ptr<ExportStream> start(const QString& historyPath, const QString& serial, qint64 fromMs, qint64 toMs, bool json,
        double warningRate, double dangerRate);
    ~ExportStream();
    // Up to `max` bytes into `out`, waiting for the writer; 0 at the end, -1 after a failure.
    long read(char* out, size_t max);

    struct Pipe;

private:
    ExportStream() = default;
    std::shared_ptr<Pipe> m_pipe;
};

} // namespace oq::web
