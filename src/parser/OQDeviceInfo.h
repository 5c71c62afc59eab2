#pragma once
// What the counter's version record says about it; immutable once built.
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class OQDeviceInfo {
public:
    // Nothing when the line does not parse (the parser has logged why). Surrounding white space
    // and line ends are ignored.
    static std::unique_ptr<OQDeviceInfo> initWithVersionString(const QString& text);

    // The trimmed version line.
    const QString& versionString() const { return m_versionString; }
    const QString& firmwareVersion() const { return m_firmwareVersion; }
    // Empty for records that carry none.
    const QString& serialNumber() const { return m_serialNumber; }
    // "dd.MM.yy" / "HH:mm:ss", or "N/A".
    const QString& dateString() const { return m_dateString; }
    const QString& timeString() const { return m_timeString; }
    // Valid protocol bytes; 0 when the record has none.
    uint16_t protocolLength() const { return m_protocolLength; }
    // Decimal bit set as text, "N/A" or "unknown"; empty for old records.
    const QString& features() const { return m_features; }
    bool hasOnline() const { return m_hasOnline; }
    bool hasAlert() const { return m_hasAlert; }

    // The counter's clock at the time of the query, read in the machine's time zone; nothing when
    // the texts are not a date. Read afresh on each call.
    std::optional<QDateTime> date() const;

    // The features text read as a decimal bit set (leading digits; 0 when not numeric).
    static uint64_t featuresValue(const QString& features);
    static constexpr uint64_t kOnlineBit = 4;
    static constexpr uint64_t kAlertBit = 1;

    // For "%@" in log calls.
    QString description() const;

private:
    OQDeviceInfo() = default;

    QString m_versionString;
    QString m_firmwareVersion;
    QString m_serialNumber;
    QString m_dateString;
    QString m_timeString;
    uint16_t m_protocolLength = 0;
    QString m_features;
    bool m_hasOnline = false;
    bool m_hasAlert = false;
};
