#include "platform/TimeTicks.h"

#include <QDate>
#include <QTime>

#include <algorithm>
#include <iterator>

#include "platform/LocalTime.h"

namespace oq {
namespace {

constexpr qint64 kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
// Months and years are counted as 30 and 365 days.
constexpr qint64 kSteps[] = {kSecond, 5 * kSecond, 10 * kSecond, 30 * kSecond, kMinute, 5 * kMinute, 10 * kMinute,
    30 * kMinute, kHour, 3 * kHour, 6 * kHour, 12 * kHour, kDay, 2 * kDay, 7 * kDay, 14 * kDay, 30 * kDay, 91 * kDay,
    182 * kDay, 365 * kDay, 730 * kDay, 1825 * kDay};

qint64 floorDiv(qint64 a, qint64 b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

LocalTime localAt(qint64 ms) { return LocalTime::ofSecsSinceEpoch(floorDiv(ms, 1000)); }

qint64 offsetMs(qint64 ms) { return qint64(localAt(ms).offset) * 1000; }

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

qint64 timeStep(qint64 fromMs, qint64 toMs, double width, double labelRoom)
{
    const double span = double(std::max<qint64>(1, toMs - fromMs));
    for (const qint64 s : kSteps) {
        if (span / double(s) * labelRoom <= width)
            return s;
    }
    return kSteps[std::size(kSteps) - 1];
}

QString timeTickLabel(qint64 ms, qint64 stepMs, const QLocale& locale)
{
    const LocalTime t = localAt(ms);
    if (!t.valid)
        return {};
    const QDate date(t.year, t.month, t.day);
    const QTime time(t.hour, t.minute, t.second);
    if (stepMs >= kDay || (time == QTime(0, 0) && stepMs >= kMinute))
        return locale.toString(date, QLocale::ShortFormat);
    if (stepMs < kMinute)
        return locale.toString(time, QStringLiteral("HH:mm:ss"));
    return locale.toString(time, QLocale::ShortFormat);
}

} // namespace oq
