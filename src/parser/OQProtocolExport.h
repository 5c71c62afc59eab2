#pragma once
// Protocol events as text for files and tools. Dates are written in the machine's time zone.
// Each export goes to `out` a few rows at a time, so none holds its whole text (nor, for JSON, a
// document tree); each returns false when a write fails.
#include <QIODevice>
#include <QString>

#include "parser/OQProtocol.h"

// The events' stringRepresentation, one after the other.
bool OQProtocolEventsText(const OQProtocolEventList& events, QIODevice& out);

// A header row, then one row per event: start and end (ISO 8601 with offset), duration_s, pulses,
// dose_rate_uSv_h (empty when none), cds (empty when none) and the seven flags as 0/1.
bool OQProtocolEventsCsv(const OQProtocolEventList& events, QIODevice& out);

// One JSON document: an array of objects with the same fields (start, end, duration, pulses,
// doseRate, cds and the flags by their property names); a missing rate or set is null. The bytes
// are those of QJsonDocument's indented form of the same array.
bool OQProtocolEventsJson(const OQProtocolEventList& events, QIODevice& out);

enum class OQEventsFormat { Text, Csv, Json };
bool OQProtocolEventsWrite(const OQProtocolEventList& events, OQEventsFormat format, QIODevice& out);

// The same as one text, for a few events.
QString OQProtocolEventsText(const OQProtocolEventList& events);
QString OQProtocolEventsCsv(const OQProtocolEventList& events);
QString OQProtocolEventsJson(const OQProtocolEventList& events);
