#include "history/HistoryExport.h"

#include <QDate>
#include <QDateTime>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>

#include <QVarLengthArray>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

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

// isoTime() into `out` without an allocation, for the years 1970 to 9999.
QByteArrayView isoTime(qint64 ms, char (&out)[32], QByteArray& spare)
{
    if (ms < 0 || ms >= 253402300800000LL) {
        spare = isoTime(ms);
        return spare;
    }
    // Days to a civil date (H. Hinnant's algorithm, for days since 1970).
    const qint64 z = ms / 86400000 + 719468;
    const qint64 era = z / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const int day = int(doy - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    const int year = int(yoe + era * 400 + (month <= 2));
    const qint64 inDay = ms % 86400000;
    const auto put = [&](int at, qint64 value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            out[at + i] = char('0' + value % 10);
    };
    std::memcpy(out, "0000-00-00T00:00:00.000Z", 24);
    put(0, year, 4);
    put(5, month, 2);
    put(8, day, 2);
    put(11, inDay / 3600000, 2);
    put(14, inDay / 60000 % 60, 2);
    put(17, inDay / 1000 % 60, 2);
    put(20, inDay % 1000, 3);
    return QByteArrayView(out, 24);
}

// singlePrecisionText() into `out` (at least 64 bytes) without its allocations.
QByteArrayView singlePrecision(double value, char* out, QByteArray& spare)
{
    const auto digits = shortestDigits(value, true);
    if (!digits) {
        spare = singlePrecisionText(value);
        return spare;
    }
    return QByteArrayView(out, writeDecimal(*digits, out) - out);
}

// Rows as CSV (a header from the names) or as a JSON array of objects; a null field is empty in
// CSV and null in JSON, text fields are quoted in JSON.
class Table {
public:
    Table(ExportFormat format, QList<QByteArray> names, QList<bool> textual, QIODevice& out)
        : m_json(format == ExportFormat::Json), m_names(std::move(names)), m_textual(std::move(textual)), m_device(out)
    {
        m_out.reserve(kChunk + 4096);
        if (m_json)
            m_out += '[';
        else
            put(m_names.join(',') + '\n');
    }
    void row(const QList<QByteArray>& fields)
    {
        QVarLengthArray<QByteArrayView, 16> views(fields.begin(), fields.end());
        row(views.constData(), views.size());
    }
    void row(std::initializer_list<QByteArrayView> fields) { row(fields.begin(), qsizetype(fields.size())); }
    void row(const QByteArrayView* fields, qsizetype count)
    {
        if (m_json) {
            m_out += m_rows ? ",\n{" : "\n{";
            for (qsizetype i = 0; i < count; ++i) {
                m_out += i ? ",\"" : "\"";
                put(m_names[i]);
                m_out += "\":";
                if (fields[i].isNull())
                    m_out += "null";
                else if (m_textual[i])
                    appendString(fields[i]);
                else
                    put(fields[i]);
            }
            m_out += '}';
        } else {
            for (qsizetype i = 0; i < count; ++i) {
                if (i)
                    m_out += ',';
                put(fields[i]);
            }
            m_out += '\n';
        }
        ++m_rows;
        if (qsizetype(m_out.size()) > kChunk)
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
    static constexpr qsizetype kChunk = 1 << 16;

    // Plain ASCII as it stands; anything else as Qt escapes it, remembered, as such fields repeat
    // (units, levels, the counter).
    void appendString(QByteArrayView text)
    {
        bool plain = true;
        for (const char c : text)
            plain = plain && uchar(c) >= 0x20 && uchar(c) < 0x7f && c != '"' && c != '\\';
        if (plain) {
            m_out += '"';
            put(text);
            m_out += '"';
            return;
        }
        for (const auto& [raw, quoted] : m_quoted)
            if (raw == text) {
                put(quoted);
                return;
            }
        if (m_quoted.size() >= 16)
            m_quoted.erase(m_quoted.begin());
        m_quoted.emplace_back(text.toByteArray(), jsonString(QString::fromUtf8(text)));
        put(m_quoted.back().second);
    }
    void put(QByteArrayView text) { m_out.append(text.data(), std::size_t(text.size())); }
    void flush()
    {
        m_ok = m_ok && m_device.write(m_out.data(), qint64(m_out.size())) == qint64(m_out.size());
        m_out.clear(); // keeps its room
    }
    bool m_json;
    QList<QByteArray> m_names;
    QList<bool> m_textual;
    QIODevice& m_device;
    std::string m_out;
    std::vector<std::pair<QByteArray, QByteArray>> m_quoted;
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
    char time[32], value[64];
    QByteArray spareTime, spareValue, counterUnit("");
    QString counterUnitOf(QLatin1String(""));
    return reader.visitRaw(serial, from, to, [&](const RawRow& row) {
        if (!row.protocol) {
            const auto& x = row.reading;
            if (x.counterUnit != counterUnitOf) {
                counterUnitOf = x.counterUnit;
                counterUnit = x.counterUnit.toUtf8();
            }
            table.row({counter, "live", isoTime(x.timeMs, time, spareTime), singlePrecision(x.value, value, spareValue),
                x.mode == Dose ? QByteArrayView("μSv") : QByteArrayView("μSv/h"), counterUnit, oq::levelName(oq::Level(x.level)),
                QByteArrayView(), QByteArrayView()});
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
