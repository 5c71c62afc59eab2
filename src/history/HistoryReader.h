#pragma once
// Reads the history database: the counters it knows, their live readings and protocol intervals,
// and both as per-bucket aggregates computed by SQLite, so a year is summed where it is stored.
// Use it on the thread that opened it.
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "history/HistoryTypes.h"

class QSqlQuery;

namespace oq::history {

class Database;

struct StoredReading {
    qint64 timeMs = 0;
    int mode = Rate;
    double value = 0;
    QString counterUnit;
    int level = 0;
};

// One row of the raw timeline: a live reading, or a downloaded protocol's interval.
struct RawRow {
    bool protocol = false;
    StoredReading reading; // live rows
    Interval interval;     // protocol rows
    qint64 timeMs() const { return protocol ? interval.startMs : reading.timeMs; }
};

class Reader {
public:
    // Read-only: never changes the file, and sees what a writer has committed. Nothing, with
    // `problem` set, when the file is missing, damaged, empty or another program's database.
    static std::unique_ptr<Reader> open(const QString& path, QString* problem);
    ~Reader();

    // The first query that failed since opening; empty while all went well. A failed query gives
    // what the methods below give for nothing found, so a caller that must not mistake a failure
    // for an empty history asks here.
    QString error() const;

    // Serial numbers, sorted.
    QStringList counters() const;
    // The first and last time with anything stored for `serial`.
    std::optional<std::pair<qint64, qint64>> span(const QString& serial) const;

    // Live readings of `mode` in [fromMs, toMs), per bucket of `bucketMs`; empty buckets are left
    // out. Buckets of an hour or longer come from the per-hour aggregates (they are then whole
    // hours long), of a minute or longer from the per-minute ones (whole minutes), shorter ones
    // from the raw readings where those are still kept.
    std::vector<Bucket> liveBuckets(const QString& serial, int mode, qint64 fromMs, qint64 toMs, qint64 bucketMs) const;
    // The length the buckets of liveBuckets() really have for these arguments.
    qint64 effectiveBucket(const QString& serial, int mode, qint64 fromMs, qint64 bucketMs) const;
    // The dose rates of protocol intervals starting in [fromMs, toMs), per bucket.
    std::vector<Bucket> intervalBuckets(const QString& serial, qint64 fromMs, qint64 toMs, qint64 bucketMs) const;

    // Live readings and protocol intervals of [fromMs, toMs) in time order (a reading before an
    // interval at the same moment), one at a time as SQLite reads them, so memory stays flat
    // however many there are. Stops when `visit` gives false; false when it did or a query failed.
    bool visitRaw(const QString& serial, qint64 fromMs, qint64 toMs, const std::function<bool(const RawRow&)>& visit) const;
    // Everything of [fromMs, toMs) as one bucket, as exactly as it is kept: per hour and minute,
    // and the raw readings for the parts of a minute while those are kept. Nothing when empty.
    std::optional<Bucket> liveTotal(const QString& serial, int mode, qint64 fromMs, qint64 toMs) const;
    std::optional<Bucket> intervalTotal(const QString& serial, qint64 fromMs, qint64 toMs) const;

    std::vector<StoredReading> readings(const QString& serial, qint64 fromMs, qint64 toMs) const;
    std::vector<Interval> intervals(const QString& serial, qint64 fromMs, qint64 toMs) const;
    qint64 intervalCount(const QString& serial, qint64 fromMs, qint64 toMs) const;
    // How many of `intervals` are not stored yet for `serial`.
    qint64 missingIntervals(const QString& serial, const std::vector<Interval>& intervals) const;

private:
    explicit Reader(std::unique_ptr<Database> db);
    std::vector<Bucket> buckets(const QString& sql, qint64 counter, std::optional<int> mode, qint64 fromMs, qint64 toMs,
        qint64 bucketMs, qint64 scale) const;
    std::optional<qint64> oldestRaw(qint64 counter, int mode) const;
    std::optional<qint64> idOf(const QString& serial) const;
    std::optional<Bucket> total(QSqlQuery& q) const;
    bool failed(const QSqlQuery& q) const;

    std::unique_ptr<Database> m_db;
    mutable QString m_error;
};

} // namespace oq::history
