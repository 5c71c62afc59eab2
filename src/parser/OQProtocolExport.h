#pragma once
// Protocol events as text for files and tools. Dates are written in the machine's time zone.
#include <QString>

#include "parser/OQProtocol.h"

// The events' stringRepresentation, one after the other.
QString OQProtocolEventsText(const OQProtocolEventList& events);

// A header row, then one row per event: start and end (ISO 8601 with offset), duration_s, pulses,
// dose_rate_uSv_h (empty when none), cds (empty when none) and the seven flags as 0/1.
QString OQProtocolEventsCsv(const OQProtocolEventList& events);

// An array of objects with the same fields (start, end, duration, pulses, doseRate, cds and the
// flags by their property names); a missing rate or set is null.
QString OQProtocolEventsJson(const OQProtocolEventList& events);
