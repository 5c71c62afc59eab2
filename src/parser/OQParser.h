#pragma once
// Bridges from the raw parsers to records the rest of the system uses.
//
// Both calls run the non-reentrant parsers over their static buffers; a process-wide mutex
// serialises them, so they may be called from any thread (a second caller waits).
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

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

// The parser's identification text (name, revision and revision date).
const char* parserIdentification();
