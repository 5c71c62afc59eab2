// Both plots' one time axis, from the function itself and as each plot draws it.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QLocale>

#include "app/plots/HistoryPlot.h"
#include "app/plots/ProtocolPlot.h"
#include "app/plots/TimeAxis.h"
#include "common/TestUtil.h"

namespace {

constexpr qint64 kMinute = 60000, kHour = 60 * kMinute, kDay = 24 * kHour;

// Ticks on whole local multiples of the step, rising, in view; labelled with their own local time.
void expectOnLocalTimes(const oq::plots::TimeAxis& axis, qint64 from, qint64 to, bool labelled, const std::string& what)
{
    for (size_t i = 0; i < axis.ticks.size(); ++i) {
        const auto& tick = axis.ticks[i];
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(tick.ms);
        const qint64 ofDay = local.time().msecsSinceStartOfDay();
        EXPECT_EQ(ofDay % std::min(axis.stepMs, kDay), 0) << what << " step " << axis.stepMs << " at " << tick.ms;
        EXPECT_TRUE(tick.ms > from && tick.ms < to && (i == 0 || tick.ms > axis.ticks[i - 1].ms)) << what;
        const bool date = ofDay == 0 || axis.stepMs >= kDay;
        EXPECT_TRUE(!labelled
            || tick.label == (date ? QLocale().toString(local.date(), QLocale::ShortFormat) : local.toString(QStringLiteral("HH:mm"))))
            << what << " at " << tick.ms << ": " << tick.label.toStdString();
    }
}

TEST(TimeAxis, TicksStayOnLocalTimesAcrossBothClockChangesInEitherPlot)
{
    const oq::test::ScopedTimeZone berlin("Europe/Berlin");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); // short times are HH:mm
    HistoryPlot history;
    history.resize(800, 360);
    ProtocolPlot protocol;
    protocol.resize(800, 300);
    for (const QDate day : {QDate(2026, 3, 29), QDate(2026, 10, 25)}) {
        const qint64 change = QDateTime(day, QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
        // Forty days around the change, whichever side a view starts on, for every step of an hour or more.
        for (const qint64 step : {kHour, 3 * kHour, 12 * kHour, kDay, 2 * kDay, 7 * kDay}) {
            const qint64 from = change - 20 * kDay - 1234, to = change + 20 * kDay;
            oq::plots::TimeAxis axis{step, {}};
            for (const qint64 t : oq::plots::timeTicks(from, to, step))
                axis.ticks.push_back({t, {}});
            ASSERT_GE(axis.ticks.size(), size_t(40 * kDay / step - 2)) << step;
            expectOnLocalTimes(axis, from, to, false, "ticks");
        }
        // Views of hours to weeks over the change, as each plot draws them.
        for (const qint64 span : {3 * kHour, 30 * kHour, 9 * kDay, 40 * kDay}) {
            for (const qint64 from : {change - span / 2 - 1234, change - span + 7 * kMinute}) {
                history.setView(from, from + span);
                expectOnLocalTimes(history.timeAxis(), from, from + span, true, "history");
                OQProtocolEventList events;
                for (qint64 t = from; t <= from + span; t += span / 180)
                    events.push_back(OQProtocolEvent::initWithStartDate(QDateTime::fromMSecsSinceEpoch(t), 60, 10, 0.1,
                        std::nullopt, false, false, false, false, false, false, false));
                protocol.setEvents(events);
                ASSERT_EQ(protocol.visibleTo() - protocol.visibleFrom(), span);
                EXPECT_GE(protocol.timeAxis().ticks.size(), 4u) << span;
                expectOnLocalTimes(protocol.timeAxis(), from, from + span, true, "protocol");
                protocol.grab(); // and draws them
            }
        }
    }
    QLocale::setDefault(QLocale::system());
}

} // namespace
