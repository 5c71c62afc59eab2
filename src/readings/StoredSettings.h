#pragma once
// Thresholds and colours as the display reads them. A stored value that cannot be read (a
// threshold that is not a number, a colour that does not decode) reads as the key's registered
// default, and is reported in the log once per key and value rather than at every reading.
#include <QString>

#include "platform/ArchivedColor.h"

namespace oq {

double storedThreshold(const QString& key);
ArchivedColor storedColor(const QString& key);

} // namespace oq
