#include "history/HistoryExport.h"

#include <QDate>
#include <QDateTime>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

#include "readings/Level.h"
#include "history/HistoryReader.h"
#include "platform/CLocale.h"

namespace oq::history {
namespace {

QByteArray isoTime(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1(); }

QByteArray jsonString(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact); // ["…"]
    return array.mid(1, array.size() - 2);
}

QByteArray levelName(int level) { return oq::levelName(oq::Level(level)); }

QByteArray unitOf(int mode) { return mode == Dose ? QByteArrayLiteral("μSv") : QByteArrayLiteral("μSv/h"); }

// Rows as CSV (a header from the names) or as a JSON array of objects; a null field is empty in
// CSV and null in JSON, text fields are quoted in JSON.
class Table {
public:
    Table(ExportFormat format, QList<QByteArray> names, QList<bool> textual, QIODevice& out)
        : m_json(format == ExportFormat::Json), m_names(std::move(names)), m_textual(std::move(textual)), m_device(out)
    {
        if (m_json)
            m_out += '[';
        else
            m_out += m_names.join(',') + '\n';
    }
    void row(const QList<QByteArray>& fields)
    {
        if (m_json) {
            m_out += m_rows ? ",\n{" : "\n{";
            for (qsizetype i = 0; i < fields.size(); ++i) {
                m_out += (i ? ",\"" : "\"") + m_names[i] + "\":";
                m_out += fields[i].isNull() ? QByteArrayLiteral("null")
                    : m_textual[i]          ? jsonString(QString::fromUtf8(fields[i]))
                                            : fields[i];
            }
            m_out += '}';
        } else {
            m_out += fields.join(',') + '\n';
        }
        ++m_rows;
        if (m_out.size() > 1 << 16)
            flush();
    }
    bool finish()
    {
        if (m_json)
            m_out += m_rows ? "\n]\n" : "]\n";
        flush();
        return m_ok;
    }
    bool json() const { return m_json; }
    bool ok() const { return m_ok; }

private:
    void flush()
    {
        m_ok = m_ok && m_device.write(m_out) == m_out.size();
        m_out.clear();
    }
    bool m_json;
    QList<QByteArray> m_names;
    QList<bool> m_textual;
    QIODevice& m_device;
    QByteArray m_out;
    qint64 m_rows = 0;
    bool m_ok = true;
};

// A serial number is the counter's text; a comma or quote would break a CSV field.
QByteArray counterField(const QString& serial, bool json)
{
    if (json)
        return serial.toUtf8();
    QString t = serial;
    return t.replace(QLatin1Char(','), QLatin1Char(' ')).replace(QLatin1Char('"'), QLatin1Char(' ')).toUtf8();
}

// Live readings and intervals merged by time as SQLite reads them. False when cancelled or failed.
bool rawRows(const Reader& reader, const QString& serial, qint64 from, qint64 to, const RateLevel& rateLevel, Table& table,
    const ExportProgress& progress)
{
    const QByteArray counter = counterField(serial, table.json());
    qint64 rows = 0;
    const double length = double(to) - double(from);
    return reader.visitRaw(serial, from, to, [&](const RawRow& row) {
        if (!row.protocol) {
            const auto& x = row.reading;
            table.row({counter, "live", isoTime(x.timeMs), singlePrecisionText(x.value), unitOf(x.mode),
                x.counterUnit.toUtf8(), levelName(x.level), QByteArray(), QByteArray()});
        } else {
            const auto& x = row.interval;
            const bool rate = std::isfinite(x.doseRate);
            table.row({counter, "protocol", isoTime(x.startMs), rate ? singlePrecisionText(x.doseRate) : QByteArray(),
                unitOf(Rate), QByteArray(), rate && rateLevel ? levelName(rateLevel(x.doseRate)) : QByteArray(),
                QByteArray::number(x.durationS), QByteArray::number(x.pulses)});
        }
        if (progress && ++rows % 4096 == 0)
            return table.ok() && progress(length > 0 ? (double(row.timeMs()) - double(from)) / length : 0.0);
        return table.ok();
    });
}

qint64 floorTo(qint64 t, qint64 step) { return t - ((t % step) + step) % step; }

// The bucket of `size` that holds `t`: its start and end.
std::pair<qint64, qint64> bucketAround(qint64 t, BucketSize size)
{
    if (size == BucketSize::Day) {
        const QDate day = QDateTime::fromMSecsSinceEpoch(t).date();
        return {day.startOfDay().toMSecsSinceEpoch(), day.addDays(1).startOfDay().toMSecsSinceEpoch()};
    }
    const qint64 step = size == BucketSize::Minute ? 60000 : 3600000;
    const qint64 start = floorTo(t, step);
    return {start, start + step};
}

void bucketRows(const Reader& reader, const QString& serial, qint64 from, qint64 to, BucketSize size, Table& table)
{
    const auto span = reader.span(serial);
    if (!span)
        return;
    const QByteArray counter = counterField(serial, table.json());
    const qint64 lo = std::max(from, span->first);
    const qint64 hi = std::min(to, span->second + 1);
    if (lo >= hi)
        return;
    struct Row {
        qint64 start;
        QList<QByteArray> fields;
    };
    std::vector<Row> rows;
    const auto add = [&](const QByteArray& source, int mode, const Bucket& b) {
        rows.push_back({b.startMs, {counter, source, isoTime(b.startMs), unitOf(mode), QByteArray::number(b.count),
            singlePrecisionText(b.min), singlePrecisionText(b.mean), singlePrecisionText(b.max)}});
    };
    // One bucket, cut to the range, summed as exactly as it is kept; it starts where the range does.
    const auto exact = [&](qint64 start, qint64 end) {
        const qint64 s = std::max(start, lo), e = std::min(end, hi);
        const auto addCut = [&](const QByteArray& source, int mode, std::optional<Bucket> b) {
            if (!b)
                return;
            b->startMs = std::max(start, from);
            add(source, mode, *b);
        };
        addCut("live", Rate, reader.liveTotal(serial, Rate, s, e));
        addCut("live", Dose, reader.liveTotal(serial, Dose, s, e));
        addCut("protocol", Rate, reader.intervalTotal(serial, s, e));
    };
    if (size == BucketSize::Day) {
        for (auto day = bucketAround(lo, size); day.first < hi; day = bucketAround(day.second, size))
            exact(day.first, day.second);
    } else {
        // Whole buckets inside the range straight from SQLite's grouping; the cut ones at its ends
        // one by one.
        const qint64 step = size == BucketSize::Minute ? 60000 : 3600000;
        const qint64 a0 = floorTo(lo, step) == lo ? lo : floorTo(lo, step) + step;
        const qint64 a1 = floorTo(hi, step);
        if (a0 > a1) {
            exact(floorTo(lo, step), floorTo(lo, step) + step);
        } else {
            if (lo < a0)
                exact(a0 - step, a0);
            for (const int mode : {int(Rate), int(Dose)}) {
                for (const Bucket& b : reader.liveBuckets(serial, mode, a0, a1, step))
                    add("live", mode, b);
            }
            for (const Bucket& b : reader.intervalBuckets(serial, a0, a1, step))
                add("protocol", Rate, b);
            if (a1 < hi)
                exact(a1, a1 + step);
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.start < b.start; });
    for (const Row& r : rows)
        table.row(r.fields);
}

} // namespace

bool exportRaw(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, ExportFormat format,
    const RateLevel& rateLevel, QIODevice& out, const ExportProgress& progress)
{
    Table table(format, {"counter", "source", "time", "value", "unit", "counter_unit", "level", "duration", "pulses"},
        {true, true, true, false, true, true, true, false, false}, out);
    for (const QString& serial : serials) {
        if (!rawRows(reader, serial, fromMs, toMs, rateLevel, table, progress))
            return false;
    }
    return table.finish() && reader.error().isEmpty();
}

bool exportBuckets(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, BucketSize size,
    ExportFormat format, QIODevice& out)
{
    Table table(format, {"counter", "source", "start", "unit", "count", "min", "mean", "max"},
        {true, true, true, true, false, false, false, false}, out);
    for (const QString& serial : serials) {
        bucketRows(reader, serial, fromMs, toMs, size, table);
        if (!reader.error().isEmpty() || !table.ok())
            return false;
    }
    return table.finish() && reader.error().isEmpty();
}

} // namespace oq::history
