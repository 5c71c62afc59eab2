#include "OQDeviceInfo.h"

#include <QRegularExpression>
#include <QTimeZone>

#include "parser/OQParser.h"

namespace {

// Two-digit years fall into the century window that ends 20 years from now, as date formatters
// commonly resolve them (so "20" is 2020, not 1920).
int expandYear(int yy)
{
    const int now = QDate::currentDate().year();
    int year = (now / 100) * 100 + yy;
    if (year >= now + 20)
        year -= 100;
    else if (year < now - 80)
        year += 100;
    return year;
}

} // namespace

// The arithmetic wraps, which keeps the low bits exact.
uint64_t OQDeviceInfo::featuresValue(const QString& features)
{
    uint64_t value = 0;
    for (const QChar c : features) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        value = value * 10 + uint64_t(c.unicode() - '0');
    }
    return value;
}

std::unique_ptr<OQDeviceInfo> OQDeviceInfo::initWithVersionString(const QString& text)
{
    // The record is one line. A stray line end inside it (line noise) would split it in a stored
    // dump, and the dump read back would carry another record than the counter's.
    QString trimmed = text.trimmed();
    for (QChar& c : trimmed) {
        const char16_t u = c.unicode();
        if (u == '\r' || u == '\n' || u == 0x85 || u == 0x2028 || u == 0x2029)
            c = QLatin1Char(' ');
    }
    const auto record = parseVersion(trimmed);
    if (!record)
        return nullptr;
    std::unique_ptr<OQDeviceInfo> info(new OQDeviceInfo);
    info->m_versionString = trimmed;
    info->m_firmwareVersion = record->value(QStringLiteral("fw_version")).toString();
    info->m_serialNumber = record->value(QStringLiteral("serial_number")).toString();
    info->m_protocolLength = uint16_t(record->value(QStringLiteral("protocol_length")).toUInt());
    info->m_dateString = record->value(QStringLiteral("date")).toString();
    info->m_timeString = record->value(QStringLiteral("time")).toString();
    info->m_features = record->value(QStringLiteral("features")).toString();
    const uint64_t bits = featuresValue(info->m_features);
    info->m_hasOnline = (bits & kOnlineBit) != 0;
    info->m_hasAlert = (bits & kAlertBit) != 0;
    return info;
}

std::optional<QDateTime> OQDeviceInfo::date() const
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]{1,2})\\.([0-9]{1,2})\\.([0-9]{2}) ([0-9]{1,2}):([0-9]{1,2}):([0-9]{1,2})$"));
    const auto m = pattern.match(m_dateString + QLatin1Char(' ') + m_timeString);
    if (!m.hasMatch())
        return std::nullopt;
    const QDate day(expandYear(m.captured(3).toInt()), m.captured(2).toInt(), m.captured(1).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!day.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(day, time, Qt::LocalTime);
}

QString OQDeviceInfo::description() const
{
    return QStringLiteral("<OQDeviceInfo fw %1 s/n %2 %3 %4 length %5 features %6>")
        .arg(m_firmwareVersion, m_serialNumber, m_dateString, m_timeString)
        .arg(m_protocolLength)
        .arg(m_features);
}
