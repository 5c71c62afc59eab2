#include "app/plots/TimeAxis.h"

#include <QFontMetricsF>
#include <QLocale>

namespace oq::plots {

std::vector<qint64> timeTicks(qint64 fromMs, qint64 toMs, qint64 stepMs) { return oq::timeTicks(fromMs, toMs, stepMs); }

TimeAxis timeAxis(qint64 fromMs, qint64 toMs, double width, double labelRoom)
{
    TimeAxis axis;
    axis.stepMs = timeStep(fromMs, toMs, width, labelRoom);
    const QLocale locale;
    for (const qint64 t : oq::timeTicks(fromMs, toMs, axis.stepMs))
        axis.ticks.push_back({t, timeTickLabel(t, axis.stepMs, locale)});
    return axis;
}

double labelRoom(const QFontMetricsF& fm) { return fm.horizontalAdvance(QStringLiteral("00.00.0000")) + 24; }

} // namespace oq::plots
