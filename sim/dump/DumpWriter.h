#pragma once
// The dump writer: the inverse of the dump parser. From a list of protocol events and a firmware
// version it builds the counter's protocol memory and every text the counter sends about it: the
// version record ("v"), the calibration ("c"), hardware info ("h") and status ("s") answers, the
// answer to "b", and the whole stored dump text that OQProtocol writes and reads.
//
//   oq::sim::DumpSpec spec;
//   spec.firmware = "7.14Lb07";
//   spec.events = {DumpEvent::interval(60), DumpEvent::timeMark({2024, 5, 1, 12, 0, 0}),
//                  DumpEvent::count(42), DumpEvent::flags(DumpEvent::DoseRateAlarm), DumpEvent::count(17)};
//   QString error;
//   auto dump = oq::sim::writeDump(spec, &error);   // nothing (and `error`) when an event does not fit
//   counter.setDeviceDump(QString::fromLatin1(dump->deviceDump));
//
// What the firmware version decides, as the parser reads it:
// - below 6.0055 the old line format (16 bytes a line after an address, protocol from 0100, at most
//   1791 bytes), from 6.0055 the new one (32 bytes and a checksum a line, up to FFFF bytes);
//   versions 6.0055 to 6.0195 carry no byte count in their record, so their protocol is always empty;
// - below 5.99 the old event codes: intervals 7 d, 1 d, 1 h, 10 min and 1 min only, truncated
//   intervals in whole minutes, overflow but no alarms, time marks without seconds;
// - from 5.99 the flag byte and F5 records: intervals from the table of 13 (and 0 from 7.0005),
//   truncated intervals in 10 s units; below 7.0005 a dose alarm cannot stand alone (FA is an
//   overflow there) and time marks have no seconds;
// - diagnostic records from 6.9, calibration-set switches above 7.08;
// - the calibration section's layout by version band (none up to 6.0115, where built-in tables
//   apply), the hardware info in the record (6.9 to 7.0215) or its own "h" answer (above 7.0215),
//   and the status answer above 7.0225.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace oq::sim {

// The counter's wall clock.
struct DumpTime {
    int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

struct DumpEvent {
    enum Kind { Interval, TimeMark, Count, Truncated, Flags, CdsSwitch, Diagnostic };
    enum Flag : uint8_t { Overflow = 1, DoseAlarm = 2, DoseRateAlarm = 4 };

    Kind kind = Count;
    uint32_t seconds = 0; // Interval, Truncated
    DumpTime time;        // TimeMark
    uint64_t pulses = 0;  // Count: m * 2^e with m < 2048, e <= 29 (others are rounded down)
    uint8_t flags = 0;    // Flags: a non-empty set of Flag
    int cds = 0;          // CdsSwitch: 0 or 1
    uint8_t length = 1;   // Diagnostic: its length byte (it counts itself and the bytes after it)

    static DumpEvent interval(uint32_t seconds) { return make(Interval, &DumpEvent::seconds, seconds); }
    static DumpEvent timeMark(DumpTime t) { return make(TimeMark, &DumpEvent::time, t); }
    static DumpEvent count(uint64_t pulses) { return make(Count, &DumpEvent::pulses, pulses); }
    static DumpEvent truncated(uint32_t seconds) { return make(Truncated, &DumpEvent::seconds, seconds); }
    static DumpEvent flagsSet(uint8_t flags) { return make(Flags, &DumpEvent::flags, flags); }
    static DumpEvent cdsSwitch(int cds) { return make(CdsSwitch, &DumpEvent::cds, cds); }
    static DumpEvent diagnostic(uint8_t length) { return make(Diagnostic, &DumpEvent::length, length); }

private:
    template <typename T>
    static DumpEvent make(Kind kind, T DumpEvent::*field, T value)
    {
        DumpEvent e;
        e.kind = kind;
        e.*field = value;
        return e;
    }
};

// One calibration entry: rate values up to `limit` use numerator / (denominator - correction * O).
struct DumpCdi {
    uint32_t limit = 0xFFFFFFFF;
    uint16_t numerator = 100;
    uint16_t denominator = 4000;
    uint16_t correction = 0;
    bool wide = false;
};

enum class DumpLineFormat { ByVersion, Old, New };

struct DumpSpec {
    QString firmware = QStringLiteral("7.14Lb07"); // the version token of the record
    QString serial = QStringLiteral("123456");     // six digits for the old format
    QString date = QStringLiteral("01.05.24");
    QString time = QStringLiteral("12:00:00");
    QString hwInfo = QStringLiteral("HW-3.1");
    QString statc = QStringLiteral("STAT 0001 0002");
    std::vector<DumpEvent> events;
    // The protocol bytes as they stand, instead of the events (for damaged or unusual memories).
    std::optional<QByteArray> image;
    DumpLineFormat format = DumpLineFormat::ByVersion; // forcing the other one makes an unreadable dump

    // Calibration: tube code (B0 LND 712, B8 ZP 1401, 62 N205), adjust value J (-127..127) and the
    // two sets (the second only above 7.08). An entry covering every rate (limit FFFFFFFF) is
    // written the way its band ends a set; below 6.0615 it must be the last. Below 6.0205 a set
    // has 8 entries or ends with such an entry.
    uint8_t tubeCode = 0xB0;
    int adjust = 0;
    std::vector<DumpCdi> cds0 = {{1000, 100, 4000, 0, false}, {0xFFFFFFFF, 120, 4000, 0, false}};
    std::vector<DumpCdi> cds1 = {{0xFFFFFFFF, 50, 4000, 0, false}};
    bool softCalLine = true; // the "ORBEL-QUIST SoftCal gueltig" line before the header (from 6.9)

    // Unused bytes of the last dump line.
    uint8_t filler = 0xFF;
};

struct WrittenDump {
    float version = 0;        // the firmware version number, as the parser reads it
    bool oldFormat = false;
    QByteArray image;         // the protocol bytes, exactly as long as the protocol
    QByteArray versionLine;   // the record, without line end
    // Answers, each line ending in "\r\n". Empty when this firmware has no such section.
    QByteArray calibrationAnswer; // "c"
    QByteArray hwInfoAnswer;      // "h"
    QByteArray statcAnswer;       // "s"
    // "b": an empty line, the header "ORBEL-QUIST Protokoll", (old format: an empty line), the dump lines.
    QByteArray protocolAnswer;
    QByteArray dumpLines;         // the dump lines alone
    // The stored dump text: sections v, h, s, c, b in the layout OQProtocol writes.
    QByteArray deviceDump;
};

// Nothing when the firmware token has no version number, or an event or the protocol's size does
// not fit this firmware; `error` then says which.
std::optional<WrittenDump> writeDump(const DumpSpec& spec, QString* error = nullptr);

// A full memory of a 7.14 counter: a one-minute interval, a time mark on 1 May 2024 and 32,762
// counts, FFFF protocol bytes.
DumpSpec fullMemorySpec();

// The firmware version number of a version token, as the version record parser derives it
// ("7.14Lb07" is 7.14, "2.0c" is 2.03); nothing when the token has none.
std::optional<float> firmwareVersionNumber(const QString& token);

} // namespace oq::sim
