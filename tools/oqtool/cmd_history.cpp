// oqtool history: prints what the history database holds, raw or per bucket, as CSV or JSON.
#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include <limits>

#include "Command.h"
#include "history/HistoryDatabase.h"
#include "history/HistoryExport.h"
#include "history/HistoryReader.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "units/ColorManager.h"

namespace {

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
    const auto exportFormat = format == QLatin1String("json") ? oq::history::ExportFormat::Json : oq::history::ExportFormat::Csv;
    QStringList counters = reader->counters();
    if (!counter.isEmpty())
        counters = counters.contains(counter) ? QStringList{counter} : QStringList{};
    // Through the C library's stdout, which `out` and `err` use too.
    QFile standardOutput;
    bool written = standardOutput.open(stdout, QIODevice::WriteOnly);
    if (written && bucket)
        written = oq::history::exportBuckets(*reader, counters, *from, *to, bucket, exportFormat, standardOutput);
    else if (written)
        written = oq::history::exportRaw(*reader, counters, *from, *to, exportFormat,
            [](double rate) { return int(ColorManager::levelForValue(rate, 1)); }, standardOutput);
    if (!written || !standardOutput.flush()) {
        oqtool::err(QStringLiteral("oqtool history: ") + oqtool::text("oqtool.cannot_write").arg(QStringLiteral("-"), standardOutput.errorString())
            + QLatin1Char('\n'));
        return 1;
    }
    return 0;
}

} // namespace

OQTOOL_COMMAND("history", "history [--counter SERIAL] [--from T] [--to T] [--bucket minute|hour|day] [--format csv|json] [--db FILE]",
    "print the readings kept in the history database", run);
