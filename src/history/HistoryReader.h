#pragma once
// Reads the history database: the counters it knows, their live readings and protocol intervals,
// and both as per-bucket aggregates computed by SQLite, so a year is summed where it is stored.
// Use it on the thread that opened it.
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

#include "history/HistoryTypes.h"

namespace oq::history {

class Database;

struct StoredReading {
    qint64 timeMs = 0;
    int mode = Rate;
    double value = 0;
    QString counterUnit;
    int level = 0;
};

class Reader {
public:
    // Nothing, with `problem` set, when the file is missing or cannot be read.
    static std::unique_ptr<Reader> open(const QString& path, QString* problem);
    ~Reader();

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

    std::unique_ptr<Database> m_db;
};

} // namespace oq::history
