// oqtool history: prints what the history database holds, raw or per bucket, as CSV or JSON.
#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

#include "Command.h"
#include "CsvRecorder.h"
#include "history/HistoryDatabase.h"
#include "history/HistoryReader.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "units/ColorManager.h"

namespace {

using oq::history::Bucket;

constexpr qint64 kNoLimit = std::numeric_limits<qint64>::max() / 4;

// "now", "-7d" / "-12h" / "-30m" / "-90s" before now, an ISO 8601 date (local midnight) or date
// and time (local time unless it names its offset or Z).
std::optional<qint64> parseTime(const QString& text, qint64 now)
{
    if (text == QLatin1String("now"))
        return now;
    static const QRegularExpression relative(QStringLiteral("^-(\\d{1,9})([smhd])$"));
    if (const auto m = relative.match(text); m.hasMatch()) {
        const qint64 n = m.captured(1).toLongLong();
        const QChar unit = m.captured(2).at(0);
        const qint64 ms = unit == QLatin1Char('s') ? 1000 : unit == QLatin1Char('m') ? 60000 : unit == QLatin1Char('h') ? 3600000 : 86400000;
        return now - n * ms;
    }
    if (const QDate date = QDate::fromString(text, Qt::ISODate); date.isValid())
        return date.startOfDay().toMSecsSinceEpoch();
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (time.isValid())
        return time.toMSecsSinceEpoch();
    return std::nullopt;
}

QByteArray isoTime(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1(); }

QByteArray jsonString(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact); // ["…"]
    return array.mid(1, array.size() - 2);
}

QByteArray levelName(int level)
{
    return level == 2 ? QByteArrayLiteral("danger") : level == 1 ? QByteArrayLiteral("warning") : QByteArrayLiteral("normal");
}

QByteArray unitOf(int mode) { return mode == oq::history::Dose ? QByteArrayLiteral("μSv") : QByteArrayLiteral("μSv/h"); }

// Rows as CSV (a header from the names) or as a JSON array of objects; a field of null is
// empty in CSV and null in JSON, text fields are quoted in JSON.
class Table {
public:
    Table(bool json, QList<QByteArray> names, QList<bool> textual)
        : m_json(json), m_names(std::move(names)), m_textual(std::move(textual))
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
    void finish()
    {
        if (m_json)
            m_out += m_rows ? "\n]\n" : "]\n";
        flush();
    }

private:
    void flush()
    {
        oqtool::out(QString::fromUtf8(m_out));
        m_out.clear();
    }
    bool m_json;
    QList<QByteArray> m_names;
    QList<bool> m_textual;
    QByteArray m_out;
    qint64 m_rows = 0;
};

// Serial numbers are the counter's; a comma or quote would break a CSV field.
QByteArray csvSafe(const QString& text, bool json)
{
    if (json)
        return text.toUtf8();
    QString t = text;
    return t.replace(QLatin1Char(','), QLatin1Char(' ')).replace(QLatin1Char('"'), QLatin1Char(' ')).toUtf8();
}

void printRaw(const oq::history::Reader& reader, const QString& serial, qint64 from, qint64 to, Table& table, bool json)
{
    const auto readings = reader.readings(serial, from, to);
    const auto intervals = reader.intervals(serial, from, to);
    const QByteArray counter = csvSafe(serial, json);
    size_t r = 0, i = 0;
    while (r < readings.size() || i < intervals.size()) {
        if (i >= intervals.size() || (r < readings.size() && readings[r].timeMs <= intervals[i].startMs)) {
            const auto& x = readings[r++];
            table.row({counter, "live", isoTime(x.timeMs), oqtool::csvNumber(x.value), unitOf(x.mode),
                x.counterUnit.toUtf8(), levelName(x.level), QByteArray(), QByteArray()});
        } else {
            const auto& x = intervals[i++];
            const bool rate = std::isfinite(x.doseRate);
            const int level = rate ? int(ColorManager::levelForValue(x.doseRate, 1)) : 0;
            table.row({counter, "protocol", isoTime(x.startMs), rate ? oqtool::csvNumber(x.doseRate) : QByteArray(),
                unitOf(oq::history::Rate), QByteArray(), rate ? levelName(level) : QByteArray(),
                QByteArray::number(x.durationS), QByteArray::number(x.pulses)});
        }
    }
}

void printBuckets(const oq::history::Reader& reader, const QString& serial, qint64 from, qint64 to, qint64 bucket,
    Table& table, bool json)
{
    const QByteArray counter = csvSafe(serial, json);
    // Whole buckets from the first one that holds anything: the times are then round ones.
    const auto span = reader.span(serial);
    if (!span)
        return;
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
                oqtool::csvNumber(b.min), oqtool::csvNumber(b.mean), oqtool::csvNumber(b.max)}});
    };
    add("live", oq::history::Rate, reader.liveBuckets(serial, oq::history::Rate, start, end, bucket));
    add("live", oq::history::Dose, reader.liveBuckets(serial, oq::history::Dose, start, end, bucket));
    add("protocol", oq::history::Rate, reader.intervalBuckets(serial, start, end, bucket));
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.start < b.start; });
    for (const Row& r : rows)
        table.row(r.fields);
}

int run(const QStringList& args)
{
    QString path = oq::history::defaultPath();
    QString counter, fromText, toText, format = QStringLiteral("csv");
    qint64 bucket = 0;
    QString why;
    bool ok = true;
    for (qsizetype i = 0; i < args.size() && ok; ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            oqtool::out(oqtool::commandHelp("history"));
            return 0;
        }
        const bool takesValue = a == QLatin1String("--db") || a == QLatin1String("--counter") || a == QLatin1String("--from")
            || a == QLatin1String("--to") || a == QLatin1String("--bucket") || a == QLatin1String("--format");
        if (!takesValue || i + 1 >= args.size()) {
            ok = false;
            break;
        }
        const QString value = args[++i];
        if (a == QLatin1String("--db"))
            path = value;
        else if (a == QLatin1String("--counter"))
            counter = value;
        else if (a == QLatin1String("--from"))
            fromText = value;
        else if (a == QLatin1String("--to"))
            toText = value;
        else if (a == QLatin1String("--format"))
            format = value, ok = value == QLatin1String("csv") || value == QLatin1String("json");
        else if (value == QLatin1String("minute"))
            bucket = 60000;
        else if (value == QLatin1String("hour"))
            bucket = 3600000;
        else if (value == QLatin1String("day"))
            bucket = 86400000;
        else
            ok = false;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto from = fromText.isEmpty() ? std::optional<qint64>(-kNoLimit) : parseTime(fromText, now);
    const auto to = toText.isEmpty() ? std::optional<qint64>(kNoLimit) : parseTime(toText, now);
    if (ok && (!from || !to)) {
        why = oqtool::text("oqtool.history.bad_time").arg(!from ? fromText : toText);
        ok = false;
    }
    if (!ok) {
        oqtool::err((why.isEmpty() ? QString() : why + QLatin1Char('\n')) + oqtool::commandHelp("history"));
        return 2;
    }
    QString problem;
    const auto reader = oq::history::Reader::open(path, &problem);
    if (!reader) {
        oqtool::err(QStringLiteral("oqtool history: %1\n").arg(problem));
        return 1;
    }
    oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
    const bool json = format == QLatin1String("json");
    QStringList counters = reader->counters();
    if (!counter.isEmpty())
        counters = counters.contains(counter) ? QStringList{counter} : QStringList{};
    if (bucket) {
        Table table(json, {"counter", "source", "start", "unit", "count", "min", "mean", "max"},
            {true, true, true, true, false, false, false, false});
        for (const QString& serial : counters)
            printBuckets(*reader, serial, *from, *to, bucket, table, json);
        table.finish();
    } else {
        Table table(json, {"counter", "source", "time", "value", "unit", "counter_unit", "level", "duration", "pulses"},
            {true, true, true, false, true, true, true, false, false});
        for (const QString& serial : counters)
            printRaw(*reader, serial, *from, *to, table, json);
        table.finish();
    }
    return 0;
}

} // namespace

OQTOOL_COMMAND("history", "history [--counter SERIAL] [--from T] [--to T] [--bucket minute|hour|day] [--format csv|json] [--db FILE]",
    "print the readings kept in the history database", run);
