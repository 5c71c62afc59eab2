#include "history/HistoryExport.h"

#include <QDateTime>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

#include "alerts/LevelChangeRule.h"
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

QByteArray levelName(int level) { return oq::alerts::levelName(oq::alerts::Level(level)); }

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

void rawRows(const Reader& reader, const QString& serial, qint64 from, qint64 to, const RateLevel& rateLevel, Table& table)
{
    const auto readings = reader.readings(serial, from, to);
    const auto intervals = reader.intervals(serial, from, to);
    const QByteArray counter = counterField(serial, table.json());
    size_t r = 0, i = 0;
    while (r < readings.size() || i < intervals.size()) {
        if (i >= intervals.size() || (r < readings.size() && readings[r].timeMs <= intervals[i].startMs)) {
            const auto& x = readings[r++];
            table.row({counter, "live", isoTime(x.timeMs), singlePrecisionText(x.value), unitOf(x.mode),
                x.counterUnit.toUtf8(), levelName(x.level), QByteArray(), QByteArray()});
        } else {
            const auto& x = intervals[i++];
            const bool rate = std::isfinite(x.doseRate);
            table.row({counter, "protocol", isoTime(x.startMs), rate ? singlePrecisionText(x.doseRate) : QByteArray(),
                unitOf(Rate), QByteArray(), rate && rateLevel ? levelName(rateLevel(x.doseRate)) : QByteArray(),
                QByteArray::number(x.durationS), QByteArray::number(x.pulses)});
        }
    }
}

void bucketRows(const Reader& reader, const QString& serial, qint64 from, qint64 to, qint64 bucket, Table& table)
{
    const auto span = reader.span(serial);
    if (!span)
        return;
    const QByteArray counter = counterField(serial, table.json());
    const qint64 first = std::max(from, span->first);
    const qint64 start = first - (first % bucket + bucket) % bucket;
    const qint64 end = std::min(to, span->second + 1);
    struct Row {
        qint64 start;
        QList<QByteArray> fields;
    };
    std::vector<Row> rows;
    const auto add = [&](const QByteArray& source, int mode, const std::vector<Bucket>& buckets) {
        for (const Bucket& b : buckets)
            rows.push_back({b.startMs, {counter, source, isoTime(b.startMs), unitOf(mode), QByteArray::number(b.count),
                singlePrecisionText(b.min), singlePrecisionText(b.mean), singlePrecisionText(b.max)}});
    };
    add("live", Rate, reader.liveBuckets(serial, Rate, start, end, bucket));
    add("live", Dose, reader.liveBuckets(serial, Dose, start, end, bucket));
    add("protocol", Rate, reader.intervalBuckets(serial, start, end, bucket));
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.start < b.start; });
    for (const Row& r : rows)
        table.row(r.fields);
}

} // namespace

bool exportRaw(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, ExportFormat format,
    const RateLevel& rateLevel, QIODevice& out)
{
    Table table(format, {"counter", "source", "time", "value", "unit", "counter_unit", "level", "duration", "pulses"},
        {true, true, true, false, true, true, true, false, false}, out);
    for (const QString& serial : serials)
        rawRows(reader, serial, fromMs, toMs, rateLevel, table);
    return table.finish();
}

bool exportBuckets(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, qint64 bucketMs,
    ExportFormat format, QIODevice& out)
{
    Table table(format, {"counter", "source", "start", "unit", "count", "min", "mean", "max"},
        {true, true, true, true, false, false, false, false}, out);
    for (const QString& serial : serials)
        bucketRows(reader, serial, fromMs, toMs, std::max<qint64>(1, bucketMs), table);
    return table.finish();
}

} // namespace oq::history
