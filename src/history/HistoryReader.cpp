#include "history/HistoryReader.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <cmath>
#include <memory>

#include "history/HistoryDatabase.h"

namespace oq::history {
namespace {

constexpr qint64 kMinuteMs = 60000;
constexpr qint64 kHourMs = 3600000;

qint64 ceilDiv(qint64 a, qint64 b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }
qint64 floorDiv(qint64 a, qint64 b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

} // namespace

std::unique_ptr<Reader> Reader::open(const QString& path, QString* problem)
{
    auto db = Database::open(path, Access::Read, problem);
    if (!db)
        return nullptr;
    return std::unique_ptr<Reader>(new Reader(std::move(db)));
}

Reader::Reader(std::unique_ptr<Database> db)
    : m_db(std::move(db))
{
}

Reader::~Reader() = default;

QString Reader::error() const { return m_error; }

bool Reader::failed(const QSqlQuery& q) const
{
    if (m_error.isEmpty())
        m_error = QStringLiteral("%1: %2").arg(m_db->path(), Database::describe(q.lastError()));
    return false;
}

std::optional<qint64> Reader::idOf(const QString& serial) const
{
    QSqlError error;
    const auto id = m_db->counterId(serial, false, &error);
    if (!id && error.isValid() && m_error.isEmpty())
        m_error = QStringLiteral("%1: %2").arg(m_db->path(), Database::describe(error));
    return id;
}

QStringList Reader::counters() const
{
    QStringList serials;
    QSqlQuery q(m_db->sql());
    if (!q.exec(QStringLiteral("SELECT serial FROM counters ORDER BY serial")))
        failed(q);
    while (q.next())
        serials << q.value(0).toString();
    return serials;
}

std::optional<std::pair<qint64, qint64>> Reader::span(const QString& serial) const
{
    const auto id = idOf(serial);
    if (!id)
        return std::nullopt;
    // Each bound is one step down a key.
    QSqlQuery q(m_db->sql());
    q.prepare(QStringLiteral(
        "SELECT MIN(a), MAX(b) FROM ("
        " SELECT (SELECT MIN(minute) FROM minutes WHERE counter = :c AND mode = 1) * 60000 AS a,"
        "        (SELECT MAX(minute) FROM minutes WHERE counter = :c AND mode = 1) * 60000 + 59999 AS b"
        " UNION ALL SELECT (SELECT MIN(minute) FROM minutes WHERE counter = :c AND mode = 2) * 60000,"
        "        (SELECT MAX(minute) FROM minutes WHERE counter = :c AND mode = 2) * 60000 + 59999"
        " UNION ALL SELECT MIN(start), MAX(start + duration * 1000) FROM intervals WHERE counter = :c)"));
    q.bindValue(QStringLiteral(":c"), *id);
    if (!q.exec()) {
        failed(q);
        return std::nullopt;
    }
    if (!q.next() || q.value(0).isNull())
        return std::nullopt;
    return std::make_pair(q.value(0).toLongLong(), q.value(1).toLongLong());
}

std::optional<qint64> Reader::oldestRaw(qint64 counter, int mode) const
{
    QSqlQuery q(m_db->sql());
    q.prepare(QStringLiteral("SELECT MIN(time) FROM readings WHERE counter = ? AND mode = ?"));
    q.addBindValue(counter);
    q.addBindValue(mode);
    if (!q.exec()) {
        failed(q);
        return std::nullopt;
    }
    if (!q.next() || q.value(0).isNull())
        return std::nullopt;
    return q.value(0).toLongLong();
}

qint64 Reader::effectiveBucket(const QString& serial, int mode, qint64 fromMs, qint64 bucketMs) const
{
    bucketMs = std::max<qint64>(1, bucketMs);
    if (bucketMs < kMinuteMs) {
        const auto id = idOf(serial);
        const auto oldest = id ? oldestRaw(*id, mode) : std::nullopt;
        if (oldest && *oldest <= fromMs + bucketMs)
            return bucketMs;
    }
    if (bucketMs >= kHourMs)
        return ceilDiv(bucketMs, kHourMs) * kHourMs;
    return ceilDiv(bucketMs, kMinuteMs) * kMinuteMs;
}

std::vector<Bucket> Reader::buckets(const QString& sql, qint64 counter, std::optional<int> mode, qint64 fromMs, qint64 toMs,
    qint64 bucketMs, qint64 scale) const
{
    std::vector<Bucket> out;
    QSqlQuery q(m_db->sql());
    q.setForwardOnly(true);
    q.prepare(sql);
    q.bindValue(QStringLiteral(":c"), counter);
    if (mode)
        q.bindValue(QStringLiteral(":m"), *mode);
    q.bindValue(QStringLiteral(":from"), fromMs);
    q.bindValue(QStringLiteral(":b"), bucketMs);
    q.bindValue(QStringLiteral(":lo"), ceilDiv(fromMs, scale));
    q.bindValue(QStringLiteral(":hi"), ceilDiv(toMs, scale));
    if (!q.exec()) {
        failed(q);
        return out;
    }
    while (q.next()) {
        Bucket b;
        b.startMs = fromMs + q.value(0).toLongLong() * bucketMs;
        b.count = q.value(1).toLongLong();
        if (b.count <= 0)
            continue;
        b.min = q.value(2).toDouble();
        b.mean = q.value(3).toDouble() / double(b.count);
        b.max = q.value(4).toDouble();
        out.push_back(b);
    }
    if (q.lastError().isValid())
        failed(q);
    return out;
}

std::vector<Bucket> Reader::liveBuckets(const QString& serial, int mode, qint64 fromMs, qint64 toMs, qint64 bucketMs) const
{
    const auto id = idOf(serial);
    if (!id || toMs <= fromMs)
        return {};
    const qint64 bucket = effectiveBucket(serial, mode, fromMs, bucketMs);
    if (bucket < kMinuteMs) {
        return buckets(QStringLiteral("SELECT (time - :from) / :b AS k, COUNT(*), MIN(value), SUM(value), MAX(value)"
                                      " FROM readings WHERE counter = :c AND mode = :m AND time >= :lo AND time < :hi"
                                      " GROUP BY k ORDER BY k"),
            *id, mode, fromMs, toMs, bucket, 1);
    }
    if (bucket >= kHourMs) {
        return buckets(QStringLiteral("SELECT (hour * 3600000 - :from) / :b AS k, SUM(count), MIN(min), SUM(sum), MAX(max)"
                                      " FROM hours WHERE counter = :c AND mode = :m AND hour >= :lo AND hour < :hi"
                                      " GROUP BY k ORDER BY k"),
            *id, mode, fromMs, toMs, bucket, kHourMs);
    }
    return buckets(QStringLiteral("SELECT (minute * 60000 - :from) / :b AS k, SUM(count), MIN(min), SUM(sum), MAX(max)"
                                  " FROM minutes WHERE counter = :c AND mode = :m AND minute >= :lo AND minute < :hi"
                                  " GROUP BY k ORDER BY k"),
        *id, mode, fromMs, toMs, bucket, kMinuteMs);
}

std::vector<Bucket> Reader::intervalBuckets(const QString& serial, qint64 fromMs, qint64 toMs, qint64 bucketMs) const
{
    const auto id = idOf(serial);
    if (!id || toMs <= fromMs)
        return {};
    return buckets(QStringLiteral("SELECT (start - :from) / :b AS k, COUNT(dose_rate), MIN(dose_rate), SUM(dose_rate),"
                                  " MAX(dose_rate) FROM intervals WHERE counter = :c AND start >= :lo AND start < :hi"
                                  " GROUP BY k ORDER BY k"),
        *id, std::nullopt, fromMs, toMs, std::max<qint64>(1, bucketMs), 1);
}

std::optional<Bucket> Reader::total(QSqlQuery& q) const
{
    if (!q.exec()) {
        failed(q);
        return std::nullopt;
    }
    if (!q.next() || q.value(0).isNull() || q.value(0).toLongLong() <= 0)
        return std::nullopt;
    Bucket b;
    b.count = q.value(0).toLongLong();
    b.min = q.value(1).toDouble();
    b.mean = q.value(2).toDouble() / double(b.count);
    b.max = q.value(3).toDouble();
    return b;
}

std::optional<Bucket> Reader::liveTotal(const QString& serial, int mode, qint64 fromMs, qint64 toMs) const
{
    const auto id = idOf(serial);
    if (!id || toMs <= fromMs)
        return std::nullopt;
    // Whole hours from the hours, whole minutes around them from the minutes, and the parts of a
    // minute at either end from the raw readings. An empty part is an empty range.
    qint64 m0 = ceilDiv(fromMs, kMinuteMs), m1 = floorDiv(toMs, kMinuteMs);
    if (m0 >= m1)
        m0 = m1 = floorDiv(toMs, kMinuteMs) + 1; // no whole minute: all raw
    qint64 h0 = ceilDiv(m0, 60), h1 = floorDiv(m1, 60);
    if (h0 >= h1)
        h0 = h1 = m1 / 60 + 1;
    const bool wholeMinutes = m0 < m1;
    const bool wholeHours = h0 < h1;
    QSqlQuery q(m_db->sql());
    q.prepare(QStringLiteral(
        "SELECT SUM(n), MIN(lo), SUM(s), MAX(hi) FROM ("
        " SELECT SUM(count) AS n, MIN(min) AS lo, SUM(sum) AS s, MAX(max) AS hi FROM hours"
        "  WHERE counter = :c AND mode = :m AND hour >= :h0 AND hour < :h1"
        " UNION ALL SELECT SUM(count), MIN(min), SUM(sum), MAX(max) FROM minutes"
        "  WHERE counter = :c AND mode = :m AND minute >= :ma AND minute < :mb"
        " UNION ALL SELECT SUM(count), MIN(min), SUM(sum), MAX(max) FROM minutes"
        "  WHERE counter = :c AND mode = :m AND minute >= :mc AND minute < :md"
        " UNION ALL SELECT COUNT(*), MIN(value), SUM(value), MAX(value) FROM readings"
        "  WHERE counter = :c AND mode = :m AND time >= :ra AND time < :rb"
        " UNION ALL SELECT COUNT(*), MIN(value), SUM(value), MAX(value) FROM readings"
        "  WHERE counter = :c AND mode = :m AND time >= :rc AND time < :rd)"));
    q.bindValue(QStringLiteral(":c"), *id);
    q.bindValue(QStringLiteral(":m"), mode);
    q.bindValue(QStringLiteral(":h0"), h0);
    q.bindValue(QStringLiteral(":h1"), h1);
    q.bindValue(QStringLiteral(":ma"), m0);
    q.bindValue(QStringLiteral(":mb"), wholeHours ? h0 * 60 : m1);
    q.bindValue(QStringLiteral(":mc"), wholeHours ? h1 * 60 : m1);
    q.bindValue(QStringLiteral(":md"), m1);
    q.bindValue(QStringLiteral(":ra"), fromMs);
    q.bindValue(QStringLiteral(":rb"), wholeMinutes ? m0 * kMinuteMs : toMs);
    q.bindValue(QStringLiteral(":rc"), wholeMinutes ? m1 * kMinuteMs : toMs);
    q.bindValue(QStringLiteral(":rd"), toMs);
    return total(q);
}

std::optional<Bucket> Reader::intervalTotal(const QString& serial, qint64 fromMs, qint64 toMs) const
{
    const auto id = idOf(serial);
    if (!id || toMs <= fromMs)
        return std::nullopt;
    QSqlQuery q(m_db->sql());
    q.prepare(QStringLiteral("SELECT COUNT(dose_rate), MIN(dose_rate), SUM(dose_rate), MAX(dose_rate) FROM intervals"
                             " WHERE counter = ? AND start >= ? AND start < ?"));
    q.addBindValue(*id);
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    return total(q);
}

bool Reader::visitRaw(const QString& serial, qint64 fromMs, qint64 toMs, const std::function<bool(const RawRow&)>& visit) const
{
    const auto id = idOf(serial);
    if (!id)
        return m_error.isEmpty();
    // Straight through SQLite's own interface: Qt's would make a variant of every field, which
    // costs more than the rest of an export together.
    const QVariant handle = m_db->sql().driver()->handle();
    sqlite3* db = handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3* const*>(handle.constData()) : nullptr;
    const auto fail = [&](const char* what) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1: %2").arg(m_db->path(), QString::fromUtf8(what));
        return false;
    };
    if (!db)
        return fail("Qt's SQLite driver does not give its connection");
    // Each part walks its own key in time order and is merged here: nothing is sorted or held, and
    // SQLite's own merge of the three cost more than the walks.
    using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
    const auto prepare = [&](const char* sql, int mode) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) == SQLITE_OK) {
            sqlite3_bind_int64(raw, 1, *id);
            sqlite3_bind_int64(raw, 2, fromMs);
            sqlite3_bind_int64(raw, 3, toMs);
            sqlite3_bind_int(raw, 4, mode);
        }
        return Statement(raw, sqlite3_finalize);
    };
    const char* const live = "SELECT time, value, counter_unit, level FROM readings"
                             " WHERE counter = ?1 AND mode = ?4 AND time >= ?2 AND time < ?3 ORDER BY time";
    // A reading before an interval at the same moment, a rate before a dose.
    Statement parts[] = {prepare(live, Rate), prepare(live, Dose),
        prepare("SELECT start, dose_rate, duration, pulses, flags FROM intervals"
                " WHERE counter = ?1 AND start >= ?2 AND start < ?3 AND ?4 = 1 ORDER BY start",
            Rate)};
    bool more[3];
    for (int i = 0; i < 3; ++i) {
        if (!parts[i])
            return fail(sqlite3_errmsg(db));
        const int rc = sqlite3_step(parts[i].get());
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return fail(sqlite3_errmsg(db));
        more[i] = rc == SQLITE_ROW;
    }
    RawRow row;
    QByteArray unit; // the last counter unit's bytes: a row with the same shares its text
    for (;;) {
        int next = -1;
        qint64 nextTime = 0;
        for (int i = 0; i < 3; ++i) {
            if (!more[i])
                continue;
            const qint64 t = sqlite3_column_int64(parts[i].get(), 0);
            if (next < 0 || t < nextTime) {
                next = i;
                nextTime = t;
            }
        }
        if (next < 0)
            return true;
        sqlite3_stmt* q = parts[next].get();
        row.protocol = next == 2;
        if (row.protocol) {
            row.interval = {nextTime, sqlite3_column_int64(q, 2), quint64(sqlite3_column_int64(q, 3)),
                sqlite3_column_type(q, 1) == SQLITE_NULL ? std::nan("") : sqlite3_column_double(q, 1),
                unsigned(sqlite3_column_int64(q, 4))};
        } else {
            auto& r = row.reading;
            r.timeMs = nextTime;
            r.mode = next == 0 ? Rate : Dose;
            r.value = sqlite3_column_double(q, 1);
            const QByteArrayView bytes(reinterpret_cast<const char*>(sqlite3_column_text(q, 2)), sqlite3_column_bytes(q, 2));
            if (bytes != unit || r.counterUnit.isNull()) {
                unit = bytes.toByteArray();
                r.counterUnit = QString::fromUtf8(unit);
            }
            r.level = sqlite3_column_int(q, 3);
        }
        if (!visit(row))
            return false;
        const int rc = sqlite3_step(q);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return fail(sqlite3_errmsg(db));
        more[next] = rc == SQLITE_ROW;
    }
}

std::vector<StoredReading> Reader::readings(const QString& serial, qint64 fromMs, qint64 toMs) const
{
    std::vector<StoredReading> out;
    visitRaw(serial, fromMs, toMs, [&](const RawRow& row) {
        if (!row.protocol)
            out.push_back(row.reading);
        return true;
    });
    return out;
}

std::vector<Interval> Reader::intervals(const QString& serial, qint64 fromMs, qint64 toMs) const
{
    std::vector<Interval> out;
    const auto id = idOf(serial);
    if (!id)
        return out;
    QSqlQuery q(m_db->sql());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT start, duration, pulses, dose_rate, flags FROM intervals"
                             " WHERE counter = ? AND start >= ? AND start < ? ORDER BY start"));
    q.addBindValue(*id);
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    if (!q.exec()) {
        failed(q);
        return out;
    }
    while (q.next()) {
        const QVariant rate = q.value(3);
        out.push_back({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toULongLong(),
            rate.isNull() ? std::nan("") : rate.toDouble(), q.value(4).toUInt()});
    }
    return out;
}

qint64 Reader::intervalCount(const QString& serial, qint64 fromMs, qint64 toMs) const
{
    const auto id = idOf(serial);
    if (!id)
        return 0;
    QSqlQuery q(m_db->sql());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM intervals WHERE counter = ? AND start >= ? AND start < ?"));
    q.addBindValue(*id);
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    if (!q.exec()) {
        failed(q);
        return 0;
    }
    return q.next() ? q.value(0).toLongLong() : 0;
}

qint64 Reader::missingIntervals(const QString& serial, const std::vector<Interval>& intervals) const
{
    const auto id = idOf(serial);
    if (!id)
        return qint64(intervals.size());
    QSqlQuery q(m_db->sql());
    q.prepare(QStringLiteral("SELECT 1 FROM intervals WHERE counter = ? AND start = ?"));
    qint64 missing = 0;
    for (const Interval& i : intervals) {
        q.bindValue(0, *id);
        q.bindValue(1, i.startMs);
        if (!q.exec())
            failed(q);
        else if (!q.next())
            ++missing;
        q.finish();
    }
    return missing;
}

} // namespace oq::history
