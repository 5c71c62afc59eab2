// oqtool history: prints what the history database holds, raw or per bucket, as CSV or JSON.
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <limits>
#include <vector>

#include "Command.h"
#include "history/HistoryDatabase.h"
#include "platform/LocalTime.h"
#include "platform/SafeText.h"
#include "history/HistoryExport.h"
#include "history/HistoryReader.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/Level.h"

namespace {

constexpr qint64 kNoLimit = std::numeric_limits<qint64>::max() / 4;

// The moments (ms since the epoch) whose local date and time in the machine's zone are these:
// none in the hour the clocks skip, two in the hour they repeat, earlier first.
std::vector<qint64> localMoments(const QDate& date, const QTime& time)
{
    const qint64 asUtc = QDateTime(date, QTime(time.hour(), time.minute(), time.second()), Qt::UTC).toSecsSinceEpoch();
    std::vector<int> offsets;
    for (const qint64 probe : {asUtc - 2 * 86400, asUtc, asUtc + 2 * 86400}) {
        const int offset = oq::LocalTime::ofSecsSinceEpoch(probe).offset;
        if (std::find(offsets.begin(), offsets.end(), offset) == offsets.end())
            offsets.push_back(offset);
    }
    std::vector<qint64> moments;
    for (const int offset : offsets) {
        const auto l = oq::LocalTime::ofSecsSinceEpoch(asUtc - offset);
        if (l.valid && l.offset == offset && QDate(l.year, l.month, l.day) == date && l.hour == time.hour()
            && l.minute == time.minute() && l.second == time.second())
            moments.push_back((asUtc - offset) * 1000 + time.msec());
    }
    std::sort(moments.begin(), moments.end());
    return moments;
}

struct ParsedTime {
    std::optional<qint64> ms; // none: not a time, or a local time that does not exist
    bool skipped = false;     // a local time the clocks jump over
    bool twice = false;       // a local time that happens twice: the earlier is taken
};

// "now"; "-7d", "-12h", "-30m", "-90s" before now; an ISO 8601 date (the local midnight that
// starts it) or date and time to the minute, second or millisecond, local unless it ends in Z or an
// offset (+01:00, +0100, +01). Anything else is not a time.
ParsedTime parseTime(const QString& text, qint64 now)
{
    if (text == QLatin1String("now"))
        return {now};
    static const QRegularExpression relative(QStringLiteral("^-(\\d{1,9})([smhd])$"));
    if (const auto m = relative.match(text); m.hasMatch()) {
        const qint64 n = m.captured(1).toLongLong();
        const QChar unit = m.captured(2).at(0);
        const qint64 ms = unit == QLatin1Char('s') ? 1000 : unit == QLatin1Char('m') ? 60000 : unit == QLatin1Char('h') ? 3600000 : 86400000;
        return {now - n * ms};
    }
    static const QRegularExpression iso(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})"
        "(?:T(\\d{2}):(\\d{2})(?::(\\d{2})(?:[.,](\\d{1,9}))?)?(Z|([+-])(\\d{2})(?::?(\\d{2}))?)?)?$"));
    const auto m = iso.match(text);
    if (!m.hasMatch())
        return {};
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (!date.isValid())
        return {};
    if (!m.hasCaptured(4))
        return {date.startOfDay().toMSecsSinceEpoch()};
    const int ms = m.hasCaptured(7) ? m.captured(7).left(3).leftJustified(3, QLatin1Char('0')).toInt() : 0;
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.hasCaptured(6) ? m.captured(6).toInt() : 0, ms);
    if (!time.isValid())
        return {};
    if (!m.hasCaptured(8)) {
        const auto moments = localMoments(date, time);
        if (moments.empty())
            return {std::nullopt, true};
        return {moments.front(), false, moments.size() > 1};
    }
    int offset = 0;
    if (m.captured(8) != QLatin1String("Z")) {
        const int hours = m.captured(10).toInt(), minutes = m.hasCaptured(11) ? m.captured(11).toInt() : 0;
        if (hours > 18 || minutes > 59)
            return {};
        offset = (hours * 3600 + minutes * 60) * (m.captured(9) == QLatin1String("-") ? -1 : 1);
    }
    return {QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch() - qint64(offset) * 1000};
}

// What is wrong with a range's end, told before anything is read; false when nothing can be
// answered. A local time that happens twice is answered with the earlier, and said so.
bool tellTime(const QString& text, const ParsedTime& t)
{
    const QString said = !t.ms ? (t.skipped ? oqtool::text("oqtool.history.skipped_time") : oqtool::text("oqtool.history.bad_time"))
        : t.twice                  ? oqtool::text("oqtool.history.twice_time")
                                   : QString();
    if (!said.isEmpty())
        oqtool::err(QStringLiteral("oqtool history: ") + said.arg(text) + QLatin1Char('\n'));
    return t.ms.has_value();
}

int run(const QStringList& args)
{
    QString path = oq::history::defaultPath();
    QString counter, fromText, toText, format = QStringLiteral("csv");
    std::optional<oq::history::BucketSize> bucket;
    bool ok = true, fromGiven = false, toGiven = false, counterGiven = false;
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
            counter = value, counterGiven = true;
        else if (a == QLatin1String("--from"))
            fromText = value, fromGiven = true;
        else if (a == QLatin1String("--to"))
            toText = value, toGiven = true;
        else if (a == QLatin1String("--format"))
            format = value, ok = value == QLatin1String("csv") || value == QLatin1String("json");
        else if (value == QLatin1String("minute"))
            bucket = oq::history::BucketSize::Minute;
        else if (value == QLatin1String("hour"))
            bucket = oq::history::BucketSize::Hour;
        else if (value == QLatin1String("day"))
            bucket = oq::history::BucketSize::Day;
        else
            ok = false;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!ok) {
        oqtool::err(oqtool::commandHelp("history"));
        return 2;
    }
    // A mistyped or impossible time is told as such, not mistaken for another range.
    const ParsedTime fromTime = fromGiven ? parseTime(fromText, now) : ParsedTime{-kNoLimit};
    const ParsedTime toTime = toGiven ? parseTime(toText, now) : ParsedTime{kNoLimit};
    if (!tellTime(fromText, fromTime) || !tellTime(toText, toTime))
        return 1;
    const qint64 from = *fromTime.ms, to = *toTime.ms;
    if (from > to) {
        oqtool::err(QStringLiteral("oqtool history: ") + oqtool::text("oqtool.history.reversed").arg(fromText, toText) + QLatin1Char('\n'));
        return 1;
    }
    QString problem;
    const auto reader = oq::history::Reader::open(path, &problem);
    if (!reader) {
        oqtool::err(QStringLiteral("oqtool history: %1\n").arg(problem));
        return 1;
    }
    oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
    const auto exportFormat = format == QLatin1String("json") ? oq::history::ExportFormat::Json : oq::history::ExportFormat::Csv;
    QStringList counters = reader->counters();
    if (!reader->error().isEmpty()) {
        oqtool::err(QStringLiteral("oqtool history: %1\n").arg(reader->error()));
        return 1;
    }
    if (counterGiven && !counters.contains(counter)) {
        QStringList known;
        for (const QString& c : counters)
            known << (c.isEmpty() ? QStringLiteral("\"\"") : oq::terminalSafe(c));
        oqtool::err(QStringLiteral("oqtool history: ")
            + oqtool::text("oqtool.history.unknown_counter").arg(counter, known.isEmpty() ? QStringLiteral("-") : known.join(QStringLiteral(", ")))
            + QLatin1Char('\n'));
        return 1;
    }
    if (counterGiven)
        counters = QStringList{counter};
    // Through the C library's stdout, which `out` and `err` use too.
    QFile standardOutput;
    bool written = standardOutput.open(stdout, QIODevice::WriteOnly);
    if (written && bucket)
        written = oq::history::exportBuckets(*reader, counters, from, to, *bucket, exportFormat, standardOutput);
    else if (written)
        written = oq::history::exportRaw(*reader, counters, from, to, exportFormat,
            [](double rate) { return int(oq::levelForValue(rate, 1)); }, standardOutput);
    if (!reader->error().isEmpty()) {
        standardOutput.flush();
        oqtool::err(QStringLiteral("oqtool history: %1\n").arg(reader->error()));
        return 1;
    }
    if (!written || !standardOutput.flush()) {
        if (!oqtool::outFailed())
            oqtool::err(QStringLiteral("oqtool history: ") + oqtool::text("oqtool.cannot_write").arg(QStringLiteral("-"), standardOutput.errorString())
                + QLatin1Char('\n'));
        return 1;
    }
    return 0;
}

} // namespace

OQTOOL_COMMAND("history", "history [--counter SERIAL] [--from T] [--to T] [--bucket minute|hour|day] [--format csv|json] [--db FILE]",
    "print the readings kept in the history database", run);
