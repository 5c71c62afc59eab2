#pragma once
// Bridges from the raw parsers to records the rest of the system uses.
//
// Both calls run the non-reentrant parsers over their static buffers; a process-wide mutex
// serialises them, so they may be called from any thread (a second caller waits).
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/ErrorRecord.h"

// Domain of every parser error record (code OQParserErrorCode, description = the parser message).
inline constexpr char OQParserErrorDomain[] = "de.orbel-quist.online.parser";
inline constexpr int OQParserErrorCode = 1;

// The version line as a record map: "fw_version", "fw_tube", "type", "features", "serial_number",
// "date", "time", "hw_info" (texts; "N/A" where the record lacks a field) and "protocol_length"
// (unsigned: valid protocol bytes, 0 when the record has none). Nothing on failure; the message is
// logged and, when asked for, put into `error`.
std::optional<QVariantMap> parseVersion(const QString& text, oq::ErrorRecord* error = nullptr);


// A complete dump text as an ordered list of event maps: {"overflow": true}, {"dose_alarm": true},
// {"dose_rate_alarm": true}, {"truncated_interval": s}, {"new_interval": s}, {"new_cds": n},
// {"new_time": {year, month, day, hour, minute, second, offset, timezone}} (the counter's wall
// clock, with the machine's zone offset at that instant), and the count {"pulses", "interval",
// "doseRate"} (uSv/h, NaN when none). Nothing on failure, as for parseVersion.
std::optional<QVariantList> parseProtocol(const QString& text, oq::ErrorRecord* error = nullptr);

// One record of a dump as the parser reports it; parseProtocol's maps are made from these, and the
// protocol model reads them directly, which spares it tens of thousands of maps per dump.
struct OQParsedRecord {
    enum class Kind : uint8_t { Overflow, DoseAlarm, DoseRateAlarm, TruncatedInterval, NewInterval, NewTime, NewCds, Count };
    Kind kind = Kind::Count;
    // A rate completes the record before it, whatever its kind; only a count expects one.
    bool hasDoseRate = false;
    uint8_t cds = 0;       // NewCds
    uint32_t seconds = 0;  // TruncatedInterval, NewInterval, Count
    float doseRate = 0;    // uSv/h, NaN when none
    uint64_t pulses = 0;   // Count
    int64_t time = 0;      // NewTime: the counter's wall clock read as UTC
};
using OQParsedRecords = std::vector<OQParsedRecord>;

// What parseProtocol does, with the records instead of their maps.
std::optional<OQParsedRecords> parseProtocolRecords(const QString& text, oq::ErrorRecord* error = nullptr);
// The record as parseProtocol's event map.
QVariantMap eventMap(const OQParsedRecord& record);
// The "new_time" map of a time mark.
QVariantMap timeMarkFields(int64_t time);

// The parser's identification text (name, revision and revision date).
const char* parserIdentification();
