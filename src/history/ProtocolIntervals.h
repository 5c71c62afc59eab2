#pragma once
// A downloaded protocol's measurement events as the intervals the history keeps.
#include <QString>

#include <vector>

#include "history/HistoryTypes.h"
#include "parser/OQProtocol.h"

namespace oq::history {

std::vector<Interval> intervalsOf(const OQProtocolEventList& events);
// The serial number of the counter that wrote `protocol`; empty when its dump does not say.
QString serialOf(const OQProtocol& protocol);

} // namespace oq::history
