// oqtool events FILE|- [--format text|csv|json]: the measurement events of a stored dump.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

#include "Command.h"
#include "parser/OQProtocol.h"

namespace {

const char* kUsage = "Usage: oqtool events FILE|- [--format text|csv|json]\n"
                     "Prints the measurement events of a stored protocol dump (- reads standard input).\n"
                     "Dates are in the local time zone.\n";

// Local time with its offset, e.g. 2021-06-01T12:01:00+02:00.
QString iso(const QDateTime& d)
{
    const QDateTime local = d.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

struct Flag {
    const char* name;
    bool (OQProtocolEvent::*get)() const;
};
const Flag kFlags[] = {
    {"incompleteInterval", &OQProtocolEvent::incompleteInterval},
    {"newInterval", &OQProtocolEvent::newInterval},
    {"dateChanged", &OQProtocolEvent::dateChanged},
    {"overflow", &OQProtocolEvent::overflow},
    {"doseAlarm", &OQProtocolEvent::doseAlarm},
    {"doseRateAlarm", &OQProtocolEvent::doseRateAlarm},
    {"cdsChanged", &OQProtocolEvent::cdsChanged},
};

QString csv(const OQProtocolEventList& events)
{
    QString out = QStringLiteral("start,end,duration_s,pulses,dose_rate_uSv_h,cds");
    for (const Flag& f : kFlags)
        out += QLatin1Char(',') + QLatin1String(f.name);
    out += QLatin1Char('\n');
    for (const auto& e : events) {
        out += iso(e->startDate()) + QLatin1Char(',') + iso(e->endDate()) + QLatin1Char(',')
            + QString::number(e->duration()) + QLatin1Char(',') + QString::number(e->pulses()) + QLatin1Char(',')
            + (std::isnan(e->doseRate()) ? QString() : QString::number(e->doseRate(), 'f', 6)) + QLatin1Char(',')
            + (e->cds() ? QString::number(*e->cds()) : QString());
        for (const Flag& f : kFlags)
            out += ((*e).*f.get)() ? QStringLiteral(",1") : QStringLiteral(",0");
        out += QLatin1Char('\n');
    }
    return out;
}

QString json(const OQProtocolEventList& events)
{
    QJsonArray array;
    for (const auto& e : events) {
        QJsonObject o{
            {"start", iso(e->startDate())},
            {"end", iso(e->endDate())},
            {"duration", double(e->duration())},
            {"pulses", double(e->pulses())},
            {"doseRate", std::isnan(e->doseRate()) ? QJsonValue() : QJsonValue(e->doseRate())},
            {"cds", e->cds() ? QJsonValue(*e->cds()) : QJsonValue()},
        };
        for (const Flag& f : kFlags)
            o.insert(QLatin1String(f.name), ((*e).*f.get)());
        array.append(o);
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

int run(const QStringList& args)
{
    QString path, format = QStringLiteral("text");
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--help")) {
            oqtool::out(QString::fromLatin1(kUsage));
            return 0;
        }
        if (args[i] == QLatin1String("--format") && i + 1 < args.size())
            format = args[++i];
        else if (args[i].startsWith(QLatin1String("--format=")))
            format = args[i].mid(9);
        else if (path.isEmpty())
            path = args[i];
        else
            path.clear(), i = args.size();
    }
    if (path.isEmpty() || (format != QLatin1String("text") && format != QLatin1String("csv") && format != QLatin1String("json"))) {
        oqtool::err(QString::fromLatin1(kUsage));
        return 2;
    }

    QFile file;
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        oqtool::err(QStringLiteral("oqtool: cannot read %1: %2\n").arg(path, file.errorString()));
        return 1;
    }
    const QString text = QString::fromUtf8(file.readAll());

    // A dump without a version section still parses (as the oldest firmware); keep it whole.
    auto protocol = OQProtocol::initWithDeviceDump(text);
    if (!protocol) {
        protocol = OQProtocol::initWithDeviceInfo(nullptr, std::nullopt, std::nullopt, std::nullopt, QString(), QDateTime());
        protocol->setDeviceDumpString(text);
    }
    oq::ErrorRecord error;
    const auto events = protocol->protocolEventsError(&error);
    if (!events && !error.domain().isEmpty()) {
        oqtool::err(error.localizedDescription() + QLatin1Char('\n'));
        return 1;
    }
    const OQProtocolEventList list = events.value_or(OQProtocolEventList{});
    if (format == QLatin1String("csv")) {
        oqtool::out(csv(list));
    } else if (format == QLatin1String("json")) {
        oqtool::out(json(list));
    } else {
        QString out;
        for (const auto& e : list)
            out += e->stringRepresentation();
        oqtool::out(out);
    }
    return 0;
}

} // namespace

OQTOOL_COMMAND("events", "events FILE|- [--format text|csv|json]", "print the measurement events of a stored dump", run);
