#pragma once
// Measurement events on standard output in the format named on the command line, written as they
// are formatted.
#include <QString>

#include <optional>

#include "parser/OQProtocolExport.h"

namespace oqtool {

// "text", "csv" or "json"; nothing for any other name.
std::optional<OQEventsFormat> eventsFormat(const QString& name);

// False, with a message on standard error, when standard output cannot take them.
bool printEvents(const OQProtocolEventList& events, OQEventsFormat format);

} // namespace oqtool
