#pragma once
// /metrics in Prometheus' text format, and the counters as the page's JSON.
#include <QByteArray>

#include "web/Snapshot.h"

namespace oq::web {

// Per connected counter (label serial): its dose rate in Sv/s or dose in Sv, level (0 normal,
// 1 warning, 2 danger) and the time of its last reading in s since the epoch; per known counter
// whether it is connected. An unplugged counter keeps only that, so its values go stale.
QByteArray metricsText(const Snapshot& snapshot);

// {"displayUnit", "thresholds", "counters": [..]}; the dose thresholds in μSv, as the dose values.
QByteArray countersJson(const Snapshot& snapshot);

} // namespace oq::web
