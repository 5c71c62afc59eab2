#include "mqtt/Messages.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "readings/Level.h"
#include "platform/CLocale.h"
#include "platform/StringTable.h"

namespace oq::mqtt {

namespace {

const QString mu(QChar(0x03BC));

bool isRem(const QString& displayUnit, const QString& counterUnit)
{
    if (displayUnit == QLatin1String("Sv") || displayUnit == QLatin1String("rem"))
        return displayUnit == QLatin1String("rem");
    return counterUnit == QLatin1String("rem");
}

QString unitText(bool rem, int mode)
{
    return mu + (rem ? QStringLiteral("rem") : QStringLiteral("Sv")) + (mode == history::Dose ? QString() : QStringLiteral("/h"));
}

QByteArray jsonString(const QString& s)
{
    // A one-element array is the shortest way to Qt's escaping of a lone string.
    const QByteArray a = QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

} // namespace

QString topicSafe(const QString& serial)
{
    // '_' starts an escape, so it is escaped too: two serials never share a topic.
    QString out;
    for (const char c : serial.toUtf8()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("_%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0')).toUpper();
    }
    return out.isEmpty() ? QStringLiteral("unknown") : out;
}

QString expandPrefix(const QString& pattern, const Station& station, QString* why)
{
    QString p = pattern.trimmed();
    p.replace(QLatin1String("SERIAL"), topicSafe(station.serial));
    if (!p.endsWith(QLatin1Char('/')))
        p += QLatin1Char('/');
    bool bad = p.size() < 2 || p.startsWith(QLatin1Char('/')) || p.contains(QLatin1String("//")) || p.toUtf8().size() > 1024;
    for (const QChar c : p)
        bad = bad || c == QLatin1Char('+') || c == QLatin1Char('#') || c.unicode() < 32 || c.unicode() == 127;
    if (bad) {
        if (why)
            *why = localized(QStringLiteral("mqtt.prefix.bad")).arg(pattern);
        return {};
    }
    return p;
}

Topics topicsFor(const QString& expandedPrefix)
{
    return {expandedPrefix + QStringLiteral("state"), expandedPrefix + QStringLiteral("availability"),
        expandedPrefix + QStringLiteral("dose_rate"), expandedPrefix + QStringLiteral("dose")};
}

QByteArray stateJson(const history::Reading& r, const Station& station, const QString& displayUnit)
{
    const bool rem = isRem(displayUnit, r.counterUnit);
    // 1 Sv = 100 rem; the value keeps the counter's precision in either unit.
    const double shown = rem ? r.value * 100.0 : r.value;
    const QString time = QDateTime::fromMSecsSinceEpoch(r.timeMs, Qt::UTC).toString(Qt::ISODateWithMs);
    const QString counterUnit =
        r.counterUnit == QLatin1String("Sv") || r.counterUnit == QLatin1String("rem") ? r.counterUnit : QString();
    const auto level = oq::Level(r.level >= 0 && r.level <= 2 ? r.level : 0);
    return QByteArrayLiteral("{\"time\":") + jsonString(time) + QByteArrayLiteral(",\"serial\":") + jsonString(station.serial)
        + QByteArrayLiteral(",\"mode\":") + (r.mode == history::Dose ? QByteArrayLiteral("\"dose\"") : QByteArrayLiteral("\"rate\""))
        + QByteArrayLiteral(",\"value\":") + singlePrecisionText(r.value) + QByteArrayLiteral(",\"unit\":")
        + jsonString(unitText(false, r.mode)) + QByteArrayLiteral(",\"display_value\":") + singlePrecisionText(shown)
        + QByteArrayLiteral(",\"display_unit\":") + jsonString(unitText(rem, r.mode)) + QByteArrayLiteral(",\"counter_unit\":")
        + jsonString(counterUnit) + QByteArrayLiteral(",\"level\":\"") + oq::levelName(level) + QByteArrayLiteral("\"}");
}

std::vector<Message> discoveryMessages(const Station& station, const Topics& topics, const QString& discoveryPrefix, bool enabled)
{
    const QString id = topicSafe(station.serial);
    QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("oq-online_") + id}},
        {QStringLiteral("name"), QStringLiteral("Orbel-Quist ") + (station.serial.isEmpty() ? id : station.serial)},
        {QStringLiteral("manufacturer"), QStringLiteral("Orbel-Quist")},
        {QStringLiteral("model"), QStringLiteral("Geiger counter")},
    };
    if (!station.serial.isEmpty())
        device.insert(QStringLiteral("serial_number"), station.serial);
    if (!station.firmware.isEmpty())
        device.insert(QStringLiteral("sw_version"), station.firmware);

    struct Sensor {
        const char* key;
        const char* name;
        const QString& topic;
        QString unit;
        const char* stateClass; // null: the alarm level
    };
    // Each quantity on a topic of its own: a sensor never carries the other's state, and a level
    // says whose thresholds it is. Sievert always, so a change of the display unit never mixes
    // units in a sensor's history. The key "alarm_level" stays the rate's, as it was.
    const Sensor sensors[] = {
        {"dose_rate", "Dose rate", topics.rate, unitText(false, history::Rate), "measurement"},
        {"dose", "Dose", topics.dose, unitText(false, history::Dose), "total_increasing"},
        {"alarm_level", "Dose-rate alarm level", topics.rate, QString(), nullptr},
        {"dose_alarm_level", "Dose alarm level", topics.dose, QString(), nullptr},
    };
    std::vector<Message> out;
    for (const Sensor& s : sensors) {
        const QString uniqueId = QStringLiteral("oq-online_%1_%2").arg(id, QLatin1String(s.key));
        Message m;
        m.topic = QStringLiteral("%1/sensor/oq-online_%2/%3/config").arg(discoveryPrefix, id, QLatin1String(s.key));
        m.retain = true;
        if (enabled) {
            QJsonObject config{
                {QStringLiteral("name"), QLatin1String(s.name)},
                {QStringLiteral("unique_id"), uniqueId},
                {QStringLiteral("state_topic"), s.topic},
                {QStringLiteral("value_template"),
                    s.stateClass ? QStringLiteral("{{ value_json.value }}") : QStringLiteral("{{ value_json.level }}")},
                {QStringLiteral("expire_after"), kExpireAfterSeconds},
                {QStringLiteral("availability_topic"), topics.availability},
                {QStringLiteral("payload_available"), QStringLiteral("online")},
                {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
                {QStringLiteral("device"), device},
            };
            if (!s.unit.isEmpty())
                config.insert(QStringLiteral("unit_of_measurement"), s.unit);
            if (s.stateClass)
                config.insert(QStringLiteral("state_class"), QLatin1String(s.stateClass));
            else {
                config.insert(QStringLiteral("device_class"), QStringLiteral("enum"));
                config.insert(QStringLiteral("options"), QJsonArray{QStringLiteral("normal"), QStringLiteral("warning"), QStringLiteral("danger")});
            }
            m.payload = QJsonDocument(config).toJson(QJsonDocument::Compact);
        }
        out.push_back(std::move(m));
    }
    return out;
}

} // namespace oq::mqtt
