#pragma once
// One transferred protocol: the version record and the raw texts of the dump's sections (or a
// whole stored dump), its device dump text, and its measurement events.
#include <QCalendar>
#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <string>
#include <optional>
#include <vector>

#include "parser/OQDeviceInfo.h"
#include "platform/ErrorRecord.h"

// One measurement interval and the state changes announced since the previous one.
class OQProtocolEvent {
public:
    static std::shared_ptr<OQProtocolEvent> initWithStartDate(const QDateTime& startDate, qint64 duration,
        quint64 pulses, double doseRate, std::optional<int> cds, bool incomplete, bool newInterval, bool doseAlarm,
        bool doseRateAlarm, bool dateChanged, bool overflow, bool cdsChanged);

    // When the interval's count was recorded; endDate = startDate + duration.
    const QDateTime& startDate() const { return m_startDate; }
    const QDateTime& endDate() const { return m_endDate; }
    qint64 duration() const { return m_duration; }
    quint64 pulses() const { return m_pulses; }
    // uSv/h; NaN when none could be computed.
    double doseRate() const { return m_doseRate; }
    // The calibration set in force; none before the first switch.
    std::optional<int> cds() const { return m_cds; }
    bool incompleteInterval() const { return m_incompleteInterval; }
    bool newInterval() const { return m_newInterval; }
    bool dateChanged() const { return m_dateChanged; }
    bool overflow() const { return m_overflow; }
    bool doseAlarm() const { return m_doseAlarm; }
    bool doseRateAlarm() const { return m_doseRateAlarm; }
    bool cdsChanged() const { return m_cdsChanged; }

    // The event as text lines, dates in the machine's time zone.
    QString stringRepresentation() const;
    // The same text in Latin-1 (ASCII unless a date falls outside years 1 to 9999), appended.
    void appendText(std::string& out) const;
    QString description() const { return stringRepresentation(); }

private:
    struct Key {
        explicit Key() = default;
    };

public:
    // Only initWithStartDate can name the key.
    explicit OQProtocolEvent(Key) {}

private:

    QDateTime m_startDate, m_endDate;
    qint64 m_duration = 0;
    quint64 m_pulses = 0;
    double m_doseRate = 0;
    std::optional<int> m_cds;
    bool m_incompleteInterval = false, m_newInterval = false, m_dateChanged = false, m_overflow = false,
         m_doseAlarm = false, m_doseRateAlarm = false, m_cdsChanged = false;
};

using OQProtocolEventList = std::vector<std::shared_ptr<const OQProtocolEvent>>;

// Fields of a date, filled from a time mark before the calendar turns them into a date.
struct OQDateComponents {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int offset = 0; // seconds east of UTC
};

class OQProtocol {
public:
    // Sections that were not read are none.
    static std::unique_ptr<OQProtocol> initWithDeviceInfo(std::shared_ptr<const OQDeviceInfo> info,
        std::optional<QString> hwInfo, std::optional<QString> statc, std::optional<QString> calibrationData,
        QString protocolData, QDateTime transmissionDate);
    // A stored dump text. Nothing when it does not start with a version section; a version line that
    // does not parse leaves info() empty.
    static std::unique_ptr<OQProtocol> initWithDeviceDump(const QString& text);
    // Any stored dump text: as initWithDeviceDump when it starts with a version section, else kept
    // whole (it parses as the oldest firmware's) with `undatedTransmission` as its date.
    static std::unique_ptr<OQProtocol> initWithStoredText(const QString& text, const QDateTime& undatedTransmission = {});

    std::shared_ptr<const OQDeviceInfo> info() const { return m_info; }
    void setInfo(std::shared_ptr<const OQDeviceInfo> info) { m_info = std::move(info); }
    const std::optional<QString>& hwInfo() const { return m_hwInfo; }
    const std::optional<QString>& statc() const { return m_statc; }
    const std::optional<QString>& calibrationData() const { return m_calibrationData; }
    const QString& protocolData() const { return m_protocolData; }
    const QDateTime& transmissionDate() const { return m_transmissionDate; }
    const QCalendar& calendar() const { return m_calendar; }
    void setCalendar(const QCalendar& calendar) { m_calendar = calendar; }
    const OQDateComponents& dateComponents() const { return m_dateComponents; }
    void setDateComponents(const OQDateComponents& c) { m_dateComponents = c; }
    // The whole dump text when loaded as one; empty otherwise.
    const QString& deviceDumpString() const { return m_deviceDumpString; }
    void setDeviceDumpString(const QString& text) { m_deviceDumpString = text; }

    // The dump text, with "\r\n" line ends, as the dump parser reads it.
    QString deviceDump() const { return parserInput(); }
    QString parserInput() const;

    // The measurement events; nothing when the dump does not parse (see `error`) or holds no events.
    std::optional<OQProtocolEventList> protocolEventsError(oq::ErrorRecord* error = nullptr);

    // A "new_time" map (year, month, day, hour, minute, second, offset) as a date.
    QDateTime dateFromComponentDictionary(const QVariantMap& map);

private:
    OQProtocol() = default;

    std::shared_ptr<const OQDeviceInfo> m_info;
    std::optional<QString> m_hwInfo, m_statc, m_calibrationData;
    QString m_protocolData;
    QDateTime m_transmissionDate;
    QCalendar m_calendar{QCalendar::System::Gregorian};
    OQDateComponents m_dateComponents;
    QString m_deviceDumpString;
};
