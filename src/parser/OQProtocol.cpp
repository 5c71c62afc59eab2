#include "OQProtocol.h"

#include <QRegularExpression>
#include <QTimeZone>

#include <charconv>
#include <cmath>

#include "logging/Log.h"
#include "parser/DoseRateText.h"
#include "parser/OQParser.h"
#include "platform/LocalTime.h"

namespace {

QString describe(const QVariantMap& map)
{
    QStringList parts;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        parts << it.key() + QStringLiteral(" = ") + it.value().toString();
    return QLatin1Char('{') + parts.join(QStringLiteral("; ")) + QLatin1Char('}');
}

// Old-format dump lines (52 characters) follow the header after one empty line, which trimming the
// transferred text removes; the dump parser needs it back.
bool needsBlankLine(const QString& protocolData)
{
    const qsizetype end = protocolData.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
    return (end < 0 ? protocolData.size() : end) == 52;
}

} // namespace

std::shared_ptr<OQProtocolEvent> OQProtocolEvent::initWithStartDate(const QDateTime& startDate, qint64 duration,
    quint64 pulses, double doseRate, std::optional<int> cds, bool incomplete, bool newInterval, bool doseAlarm,
    bool doseRateAlarm, bool dateChanged, bool overflow, bool cdsChanged)
{
    // One allocation for the event and its count: a dump makes tens of thousands.
    auto e = std::make_shared<OQProtocolEvent>(Key());
    e->m_startDate = startDate;
    e->m_endDate = startDate.addSecs(duration);
    e->m_duration = duration;
    e->m_pulses = pulses;
    e->m_doseRate = doseRate;
    e->m_cds = cds;
    e->m_incompleteInterval = incomplete;
    e->m_newInterval = newInterval;
    e->m_doseAlarm = doseAlarm;
    e->m_doseRateAlarm = doseRateAlarm;
    e->m_dateChanged = dateChanged;
    e->m_overflow = overflow;
    e->m_cdsChanged = cdsChanged;
    return e;
}

QString OQProtocolEvent::stringRepresentation() const
{
    std::string text;
    appendText(text);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

void OQProtocolEvent::appendText(std::string& s) const
{
    // Written piece by piece: an export makes tens of thousands of these.
    const auto number = [&s](auto value) {
        char digits[24];
        s.append(digits, size_t(std::to_chars(digits, digits + sizeof digits, value).ptr - digits));
    };
    const auto date = [&s](const QDateTime& d) {
        char text[oq::LocalTime::kIsoSize];
        s.append(text, size_t(oq::LocalTime::of(d).writeDotted(text)));
    };
    if (m_dateChanged) {
        date(m_startDate.addSecs(-m_duration));
        s.append("  New timestamp\n");
    }
    if (m_incompleteInterval) {
        date(m_startDate);
        s.append("  OOB protocol interval of ");
        number(m_duration);
        s.append(" sec\n");
    }
    if (m_newInterval) {
        s.append("                      Protocol interval now ");
        number(m_duration);
        s.append(" sec\n");
    }
    if (m_overflow)
        s.append("\t\t      dH/dt overflowed\n");
    if (m_doseAlarm)
        s.append("\t\t      H alarm fired\n");
    if (m_doseRateAlarm)
        s.append("\t\t      dH/dt alarm fired\n");
    date(m_startDate);
    s.append("  ");
    number(m_pulses);
    s.append(" pulses in ");
    number(m_duration);
    if (std::isnan(m_doseRate)) {
        s.append("s, dH/dt = NaN\n");
    } else {
        s.append("s, dH/dt = ");
        appendDoseRateText(s, m_doseRate);
        s.append(" uSv/h\n");
    }
}

std::unique_ptr<OQProtocol> OQProtocol::initWithDeviceInfo(std::shared_ptr<const OQDeviceInfo> info,
    std::optional<QString> hwInfo, std::optional<QString> statc, std::optional<QString> calibrationData,
    QString protocolData, QDateTime transmissionDate)
{
    std::unique_ptr<OQProtocol> p(new OQProtocol);
    p->m_info = std::move(info);
    p->m_hwInfo = std::move(hwInfo);
    p->m_statc = std::move(statc);
    p->m_calibrationData = std::move(calibrationData);
    p->m_protocolData = std::move(protocolData);
    p->m_transmissionDate = std::move(transmissionDate);
    return p;
}

std::unique_ptr<OQProtocol> OQProtocol::initWithDeviceDump(const QString& text)
{
    static const QRegularExpression versionSection(QStringLiteral("^v(?:\r\n|\r|\n)([^\r\n\\x{85}\\x{2028}\\x{2029}]*)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = versionSection.match(text);
    if (!match.hasMatch())
        return nullptr;
    std::unique_ptr<OQProtocol> p(new OQProtocol);
    p->m_deviceDumpString = text;
    p->m_transmissionDate = QDateTime::currentDateTime();
    p->m_info = OQDeviceInfo::initWithVersionString(match.captured(1));
    return p;
}

std::unique_ptr<OQProtocol> OQProtocol::initWithStoredText(const QString& text, const QDateTime& undatedTransmission)
{
    if (auto protocol = initWithDeviceDump(text))
        return protocol;
    auto protocol = initWithDeviceInfo(nullptr, std::nullopt, std::nullopt, std::nullopt, QString(), undatedTransmission);
    protocol->setDeviceDumpString(text);
    return protocol;
}

QString OQProtocol::parserInput() const
{
    if (!m_deviceDumpString.isEmpty())
        return m_deviceDumpString;
    QString dump = QStringLiteral("v\r\n%1\r\n").arg(m_info ? m_info->versionString() : QString());
    if (m_hwInfo)
        dump += QStringLiteral("h\r\n%1\r\n").arg(*m_hwInfo);
    if (m_statc)
        dump += QStringLiteral("s\r\n%1\r\n").arg(*m_statc);
    if (m_calibrationData)
        dump += QStringLiteral("c\r\n%1\r\n").arg(*m_calibrationData);
    dump += QStringLiteral("b\r\nORBEL-QUIST Protokoll\r\n");
    if (needsBlankLine(m_protocolData))
        dump += QStringLiteral("\r\n");
    dump += m_protocolData;
    return dump;
}

QDateTime OQProtocol::dateFromComponentDictionary(const QVariantMap& map)
{
    OQDateComponents& c = m_dateComponents;
    c.second = map.value(QStringLiteral("second")).toInt();
    c.minute = map.value(QStringLiteral("minute")).toInt();
    c.hour = map.value(QStringLiteral("hour")).toInt();
    c.day = map.value(QStringLiteral("day")).toInt();
    c.month = map.value(QStringLiteral("month")).toInt();
    c.year = map.value(QStringLiteral("year")).toInt();
    c.offset = map.value(QStringLiteral("offset")).toInt();
    const QDate day = m_calendar.dateFromParts(c.year, c.month, c.day);
    const QDateTime wall(day, QTime(c.hour, c.minute, c.second), Qt::OffsetFromUTC, c.offset);
    return wall.toUTC();
}

std::optional<OQProtocolEventList> OQProtocol::protocolEventsError(oq::ErrorRecord* error)
{
    // The parser's records rather than its maps: the same events, without a map per interval.
    const auto records = parseProtocolRecords(parserInput(), error);
    if (!records || records->empty())
        return std::nullopt;

    using Kind = OQParsedRecord::Kind;
    OQProtocolEventList events;
    events.reserve(records->size());
    std::optional<QDateTime> now;
    std::optional<int> cds;
    bool dateChanged = false, newInterval = false, incomplete = false, overflow = false, doseAlarm = false,
         doseRateAlarm = false, cdsChanged = false;
    for (const OQParsedRecord& r : *records) {
        if (!now) {
            if (r.kind == Kind::NewTime)
                now = dateFromComponentDictionary(timeMarkFields(r.time));
            continue;
        }
        switch (r.kind) {
        case Kind::NewTime:
            now = dateFromComponentDictionary(timeMarkFields(r.time));
            dateChanged = true;
            break;
        case Kind::NewInterval: newInterval = true; break;
        case Kind::TruncatedInterval: incomplete = true; break;
        case Kind::Overflow: overflow = true; break;
        case Kind::DoseAlarm: doseAlarm = true; break;
        case Kind::DoseRateAlarm: doseRateAlarm = true; break;
        case Kind::NewCds:
            cds = r.cds;
            cdsChanged = true;
            break;
        case Kind::Count: {
            if (!r.hasDoseRate) {
                LGLogWarn("unexpected event: %@", describe(eventMap(r)));
                break;
            }
            const QDateTime start = now->addSecs(r.seconds);
            events.push_back(OQProtocolEvent::initWithStartDate(start, r.seconds, r.pulses, r.doseRate, cds, incomplete,
                newInterval, doseAlarm, doseRateAlarm, dateChanged, overflow, cdsChanged));
            dateChanged = newInterval = incomplete = overflow = doseAlarm = doseRateAlarm = cdsChanged = false;
            now = start;
            break;
        }
        }
    }
    return events;
}
