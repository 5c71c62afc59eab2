#pragma once
// The time axis of both plots, on the ticks of platform/TimeTicks (shared with the web page);
// labels in the user's locale.
#include <QString>

#include <vector>

#include "platform/TimeTicks.h"

class QFontMetricsF;

namespace oq::plots {

struct TimeTick {
    qint64 ms = 0;
    QString label;
};

struct TimeAxis {
    qint64 stepMs = 0;
    std::vector<TimeTick> ticks;
};

// The moments in (fromMs, toMs) at whole multiples of `stepMs` of local time.
std::vector<qint64> timeTicks(qint64 fromMs, qint64 toMs, qint64 stepMs);

// The axis of [fromMs, toMs) drawn `width` wide: the shortest step that gives each label `labelRoom`.
TimeAxis timeAxis(qint64 fromMs, qint64 toMs, double width, double labelRoom);

// Room for one label and the space beside it in `fm`'s font.
double labelRoom(const QFontMetricsF& fm);

} // namespace oq::plots
