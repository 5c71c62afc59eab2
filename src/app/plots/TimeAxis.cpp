#include "app/plots/TimeAxis.h"

#include <QDate>
#include <QFontMetricsF>
#include <QLocale>
#include <QTime>

#include <algorithm>
#include <iterator>

#include "platform/LocalTime.h"

namespace oq::plots {
namespace {

constexpr qint64 kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
// Months and years are counted as 30 and 365 days.
constexpr qint64 kSteps[] = {kSecond, 5 * kSecond, 10 * kSecond, 30 * kSecond, kMinute, 5 * kMinute, 10 * kMinute,
    30 * kMinute, kHour, 3 * kHour, 6 * kHour, 12 * kHour, kDay, 2 * kDay, 7 * kDay, 14 * kDay, 30 * kDay, 91 * kDay,
    182 * kDay, 365 * kDay, 730 * kDay, 1825 * kDay};

qint64 floorDiv(qint64 a, qint64 b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

LocalTime localAt(qint64 ms) { return LocalTime::ofSecsSinceEpoch(floorDiv(ms, 1000)); }

qint64 offsetMs(qint64 ms) { return qint64(localAt(ms).offset) * 1000; }

// The date at midnight or for steps of a day or more, else the time (with seconds below a minute).
QString label(qint64 ms, qint64 step, const QLocale& locale)
{
    const LocalTime t = localAt(ms);
    if (!t.valid)
        return {};
    const QDate date(t.year, t.month, t.day);
    const QTime time(t.hour, t.minute, t.second);
    if (step >= kDay || (time == QTime(0, 0) && step >= kMinute))
        return locale.toString(date, QLocale::ShortFormat);
    if (step < kMinute)
        return locale.toString(time, QStringLiteral("HH:mm:ss"));
    return locale.toString(time, QLocale::ShortFormat);
}

} // namespace

std::vector<qint64> timeTicks(qint64 fromMs, qint64 toMs, qint64 stepMs)
{
    // Local time counted as milliseconds since the local 1970-01-01: round in it, then find the
    // moment that shows that local time by the offset in force there.
    std::vector<qint64> ticks;
    stepMs = std::max<qint64>(1, stepMs);
    for (qint64 t = fromMs; ticks.size() < 2000;) {
        const qint64 local = t + offsetMs(t);
        const qint64 nextLocal = (floorDiv(local, stepMs) + 1) * stepMs;
        qint64 next = nextLocal - offsetMs(t + (nextLocal - local));
        next = nextLocal - offsetMs(next);
        if (next <= t) // a local time the clocks skipped over
            next = t + stepMs;
        if (next >= toMs)
            break;
        ticks.push_back(next);
        t = next;
    }
    return ticks;
}

TimeAxis timeAxis(qint64 fromMs, qint64 toMs, double width, double labelRoom)
{
    TimeAxis axis;
    const double span = double(std::max<qint64>(1, toMs - fromMs));
    axis.stepMs = kSteps[std::size(kSteps) - 1];
    for (const qint64 s : kSteps) {
        if (span / double(s) * labelRoom <= width) {
            axis.stepMs = s;
            break;
        }
    }
    const QLocale locale;
    for (const qint64 t : timeTicks(fromMs, toMs, axis.stepMs))
        axis.ticks.push_back({t, label(t, axis.stepMs, locale)});
    return axis;
}

double labelRoom(const QFontMetricsF& fm) { return fm.horizontalAdvance(QStringLiteral("00.00.0000")) + 24; }

} // namespace oq::plots
