#pragma once
// A time ruler's ticks on whole local times (local midnights for a day or more), each placed by the
// UTC offset in force at that tick, so they stay on the hour and the day across a change of the
// clocks. Qt Core only: the window's plots and the web page's plot share it.
#include <QLocale>
#include <QString>

#include <vector>

namespace oq {

// The moments in (fromMs, toMs) at whole multiples of `stepMs` of local time.
std::vector<qint64> timeTicks(qint64 fromMs, qint64 toMs, qint64 stepMs);

// The shortest step that gives each label `labelRoom` when [fromMs, toMs) is drawn `width` wide.
qint64 timeStep(qint64 fromMs, qint64 toMs, double width, double labelRoom);

// The date at midnight or for steps of a day or more, else the time (with seconds below a minute).
QString timeTickLabel(qint64 ms, qint64 stepMs, const QLocale& locale);

} // namespace oq
