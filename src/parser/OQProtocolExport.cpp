#include "OQProtocolExport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

#include "platform/CLocale.h"

namespace {

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

} // namespace

QString OQProtocolEventsText(const OQProtocolEventList& events)
{
    QString out;
    for (const auto& e : events)
        out += e->stringRepresentation();
    return out;
}

QString OQProtocolEventsCsv(const OQProtocolEventList& events)
{
    QString out = QStringLiteral("start,end,duration_s,pulses,dose_rate_uSv_h,cds");
    for (const Flag& f : kFlags)
        out += QLatin1Char(',') + QLatin1String(f.name);
    out += QLatin1Char('\n');
    for (const auto& e : events) {
        out += iso(e->startDate()) + QLatin1Char(',') + iso(e->endDate()) + QLatin1Char(',')
            + QString::number(e->duration()) + QLatin1Char(',') + QString::number(e->pulses()) + QLatin1Char(',')
            + (std::isnan(e->doseRate()) ? QString() : QString::fromStdString(oq::cFormat("%.6f", e->doseRate()))) + QLatin1Char(',')
            + (e->cds() ? QString::number(*e->cds()) : QString());
        for (const Flag& f : kFlags)
            out += ((*e).*f.get)() ? QStringLiteral(",1") : QStringLiteral(",0");
        out += QLatin1Char('\n');
    }
    return out;
}

QString OQProtocolEventsJson(const OQProtocolEventList& events)
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
