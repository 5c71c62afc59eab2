// Both plots' one time axis and one drag: ticks on whole local times across both changes of the
// clocks, whichever side of the change a view starts on; a drag marks a range, Shift+drag moves.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QLocale>
#include <QTest>

#include "app/plots/HistoryPlot.h"
#include "app/plots/ProtocolPlot.h"
#include "app/plots/TimeAxis.h"
#include "common/TestUtil.h"

namespace {

constexpr qint64 kMinute = 60000, kHour = 60 * kMinute, kDay = 24 * kHour;

// Each tick a whole multiple of the step in local time (midnight for a day or more), rising,
// inside the view.
void expectOnLocalTimes(const std::vector<qint64>& ticks, qint64 step, qint64 from, qint64 to, const std::string& what)
{
    for (size_t i = 0; i < ticks.size(); ++i) {
        const qint64 ofDay = QDateTime::fromMSecsSinceEpoch(ticks[i]).time().msecsSinceStartOfDay();
        EXPECT_EQ(ofDay % std::min(step, kDay), 0) << what << " step " << step << " at " << ticks[i];
        EXPECT_TRUE(i == 0 || ticks[i] > ticks[i - 1]) << what;
        EXPECT_TRUE(ticks[i] > from && ticks[i] < to) << what;
    }
}

// The same for an axis a plot draws, each label its own tick's local time (the date at midnight).
void expectAxisOnLocalTimes(const oq::plots::TimeAxis& axis, qint64 from, qint64 to, const std::string& what)
{
    std::vector<qint64> ticks;
    for (const auto& tick : axis.ticks) {
        ticks.push_back(tick.ms);
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(tick.ms);
        const bool date = axis.stepMs >= kDay || local.time() == QTime(0, 0);
        EXPECT_EQ(tick.label, date ? QLocale().toString(local.date(), QLocale::ShortFormat) : local.toString(QStringLiteral("HH:mm")))
            << what << " at " << tick.ms;
    }
    expectOnLocalTimes(ticks, axis.stepMs, from, to, what);
}

OQProtocolEventList eventsEvery(qint64 from, qint64 to, qint64 step)
{
    OQProtocolEventList events;
    for (qint64 t = from; t <= to; t += step)
        events.push_back(OQProtocolEvent::initWithStartDate(QDateTime::fromMSecsSinceEpoch(t), int(step / 1000), 10, 0.1,
            std::nullopt, false, false, false, false, false, false, false));
    return events;
}

TEST(TimeAxis, TicksStayOnLocalTimesAcrossBothClockChangesInEitherPlot)
{
    const oq::test::ScopedTimeZone berlin("Europe/Berlin");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); // short times are HH:mm
    const qint64 spring = QDateTime(QDate(2026, 3, 29), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch(); // the changes
    const qint64 autumn = QDateTime(QDate(2026, 10, 25), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
    HistoryPlot history;
    history.resize(800, 360);
    ProtocolPlot protocol;
    protocol.resize(800, 300);
    for (const qint64 change : {spring, autumn}) {
        // Forty days around the change, for every step of an hour or more.
        for (const qint64 step : {kHour, 3 * kHour, 12 * kHour, kDay, 2 * kDay, 7 * kDay}) {
            const qint64 from = change - 20 * kDay - 1234, to = change + 20 * kDay;
            const auto ticks = oq::plots::timeTicks(from, to, step);
            ASSERT_GE(ticks.size(), size_t(40 * kDay / step - 2)) << step;
            expectOnLocalTimes(ticks, step, from, to, "ticks");
        }
        // Views of a few hours to weeks over the change, as each plot draws them.
        for (const qint64 span : {3 * kHour, 30 * kHour, 9 * kDay, 40 * kDay}) {
            for (const qint64 from : {change - span / 2 - 1234, change - span + 7 * kMinute}) {
                const qint64 to = from + span;
                history.setView(from, to);
                expectAxisOnLocalTimes(history.timeAxis(), from, to, "history " + std::to_string(span));
                protocol.setEvents(eventsEvery(from, to, std::max<qint64>(kMinute, span / 2000)));
                ASSERT_EQ(protocol.visibleTo() - protocol.visibleFrom(), span);
                const auto axis = protocol.timeAxis();
                EXPECT_GE(axis.ticks.size(), 4u) << span;
                expectAxisOnLocalTimes(axis, from, to, "protocol " + std::to_string(span));
                protocol.grab(); // and draws them
            }
        }
    }
    QLocale::setDefault(QLocale::system());
}

} // namespace

namespace {

// Either plot: a plain drag marks the range under it, either way round, and a click clears it;
// Shift+drag moves the view by the distance dragged and leaves the range alone.
TEST(PlotDrag, BothPlotsAnswerADragTheSameWay)
{
    using Range = std::pair<qint64, qint64>;
    const qint64 from = QDateTime(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch(), span = 2 * kDay;
    HistoryPlot history;
    Range requested{};
    QObject::connect(&history, &HistoryPlot::viewRequested, [&](qint64 a, qint64 b) { requested = {a, b}; });
    ProtocolPlot protocol;
    protocol.setEvents(eventsEvery(from - span, from + 2 * span, kHour));
    const struct {
        QWidget* widget;
        std::function<std::optional<Range>()> selection;
        std::function<Range()> view;
    } plots[] = {{&history, [&] { return history.selection(); }, [&] { return requested; }},
        {&protocol, [&] { return protocol.selection(); }, [&] { return Range{protocol.visibleFrom(), protocol.visibleTo()}; }}};
    for (const auto& plot : plots) {
        history.setView(from, from + span);
        requested = {from, from + span};
        protocol.setVisibleRange(from, from + span);
        plot.widget->resize(800, 320);
        plot.widget->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(plot.widget));
        const auto drag = [&](double a, double b, Qt::KeyboardModifiers modifiers) {
            const int y = plot.widget->height() / 2;
            QTest::mousePress(plot.widget, Qt::LeftButton, modifiers, QPoint(int(800 * a), y));
            QTest::mouseMove(plot.widget, QPoint(int(800 * b), y));
            QTest::mouseRelease(plot.widget, Qt::LeftButton, modifiers, QPoint(int(800 * b), y));
        };
        const char* name = plot.widget->metaObject()->className();
        drag(0.25, 0.75, {});
        const auto marked = plot.selection();
        ASSERT_TRUE(marked) << name;
        EXPECT_GT(marked->first, from) << name;
        EXPECT_LT(marked->second, from + span) << name;
        EXPECT_NEAR(double(marked->second - marked->first) / double(span), 0.55, 0.05) << name;
        drag(0.75, 0.25, {});
        ASSERT_TRUE(plot.selection()) << name;
        EXPECT_NEAR(double(plot.selection()->first), double(marked->first), double(span) / 400) << name;

        drag(0.75, 0.25, Qt::ShiftModifier);
        EXPECT_EQ(plot.selection(), marked) << name;
        EXPECT_NEAR(double(plot.view().first - from) / double(span), 0.55, 0.05) << name;
        EXPECT_EQ(plot.view().second - plot.view().first, span) << name;

        QTest::mouseClick(plot.widget, Qt::LeftButton, {}, QPoint(400, plot.widget->height() / 2));
        EXPECT_FALSE(plot.selection()) << name;
        plot.widget->hide();
    }
}

} // namespace
