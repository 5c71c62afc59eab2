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

