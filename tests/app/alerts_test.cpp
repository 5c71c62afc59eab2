// Alerts of the desktop against a private session bus (dbus-run-session) with a fake notification
// service: a simulated counter walking through warning and danger with the window closed, the
// service missing and coming back, the tray's menu, and a tray that comes up after the program.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

#include "FakeNotificationService.h"
#include "FakeStatusNotifierWatcher.h"
#include "SimulatedApplication.h"
#include "alerts/DesktopNotifier.h"
#include "app/controller/LevelAlerts.h"
#include "app/shell/TrayIcon.h"
#include "readings/Level.h"
#include "common/SimCounters.h"
#include "common/TestUtil.h"
#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"
#include "sim/SimCounter.h"

using namespace oq;

namespace {

// The number at the start of a notification's body ("6.359 μSv/h on counter 10423").
double leadingNumber(const QString& body) { return body.section(QLatin1Char(' '), 0, 0).toDouble(); }

} // namespace

// The walk of the simulated counter rises through warning to danger and falls back, then passes
// warning alone: exactly these changes are told, with the window closed and running on.
TEST(DesktopAlerts, WalkThroughWarningAndDangerIsToldWithTheWindowClosed)
{
    FakeNotificationService service;
    if (!service.start())
        GTEST_SKIP() << "needs a private session bus (dbus-run-session)";
    const test::EnglishTexts english;
    QTemporaryDir dir;
    SimulatedApplication app(dir.path(), 0.01);
    LevelAlerts alerts(app.controller.get());
    TrayIcon tray(app.controller.get(), app.window.get());
    QObject::connect(&alerts, &LevelAlerts::showWindowRequested, &tray, &TrayIcon::showWindow);
    SettingsStore::shared().setObject(settings::KeepRunningWhenClosed, true);
    app.window->close();
    EXPECT_FALSE(app.window->isVisible());
    EXPECT_FALSE(app.controller->isQuitting());

    int readings = 0;
    QObject::connect(app.controller.get(), &OQAppDelegate::deviceOnlineValueChanged, [&] { ++readings; });
    sim::CounterConfig walk = test::steadyCounter(0.12);
    walk.profile.kind = sim::ProfileSpec::Walk;
    walk.profile.seed = 1;
    sim::SimBus::instance().plug(std::make_shared<sim::SimCounter>(walk));
    // The walk is back to normal after about 175 readings; 40 more show nothing else comes.
    ASSERT_TRUE(test::waitUntil([&] { return readings >= 215; }, 30)) << readings;
    test::waitUntil([&] { return service.received.size() >= 5; }, 2);

    struct Told {
        const char* summary;
        bool critical;
        double from, below; // the reading shown
    };
    const Told expected[] = {
        {"Dose rate at the warning level", false, 2.2, 11.8},
        {"Dose rate at the danger level", true, 11.8, 1e9},
        {"Dose rate back to normal", false, 0, 2.2},
        {"Dose rate at the warning level", false, 2.2, 11.8},
        {"Dose rate back to normal", false, 0, 2.2},
    };
    ASSERT_EQ(service.received.size(), qsizetype(std::size(expected)));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto& got = service.received[qsizetype(i)];
        SCOPED_TRACE(got.summary.toStdString() + " / " + got.body.toStdString());
        EXPECT_EQ(got.summary, QLatin1String(expected[i].summary));
        EXPECT_TRUE(got.body.endsWith(QStringLiteral(" μSv/h on counter 10423")));
        EXPECT_GE(leadingNumber(got.body), expected[i].from);
        EXPECT_LT(leadingNumber(got.body), expected[i].below);
        EXPECT_EQ(got.urgency(), expected[i].critical ? 2 : 1);
        EXPECT_EQ(got.appName, QStringLiteral("Orbel-Quist Online"));
        EXPECT_EQ(got.actions.value(0), QStringLiteral("default"));
    }
    EXPECT_FALSE(app.window->isVisible());
    // A click on a notification brings the window back.
    service.click(uint(service.received.size()));
    EXPECT_TRUE(test::waitUntil([&] { return app.window->isVisible(); }, 5));
}

// Without the service nothing breaks and one line is logged, however many notifications fail; once
// it is back they are shown, and the next absence is logged again. The body goes escaped: a server that renders
// markup shows a counter's text as it came.
TEST(DesktopAlerts, AMissingServiceIsLoggedOnceAndOnlyOnce)
{
    FakeNotificationService service;
    if (!service.start())
        GTEST_SKIP() << "needs a private session bus (dbus-run-session)";
    service.stop();
    alerts::DesktopNotifier notifier(QStringLiteral("test"), QStringLiteral("oq-online"));
    QSignalSpy unavailable(&notifier, &alerts::DesktopNotifier::unavailable);
    QSignalSpy shown(&notifier, &alerts::DesktopNotifier::shown);
    const auto send = [&](const char* summary, int expectUnavailable, int expectShown) {
        notifier.notify({QString::fromLatin1(summary), QStringLiteral("on counter <b>1</b> & 2"), false});
        test::waitUntil([&] { return unavailable.count() + shown.count() >= expectUnavailable + expectShown; }, 5);
        test::spin(0.1);
        EXPECT_EQ(unavailable.count(), expectUnavailable) << summary;
        EXPECT_EQ(shown.count(), expectShown) << summary;
    };
    send("first without", 1, 0);
    send("second without", 1, 0);
    ASSERT_TRUE(service.start());
    send("with", 1, 1);
    EXPECT_EQ(service.received.value(0).summary, QStringLiteral("with"));
    EXPECT_EQ(service.received.value(0).body, QStringLiteral("on counter &lt;b&gt;1&lt;/b&gt; &amp; 2")); // shown as it came
    service.stop();
    send("without again", 2, 1);
}

// Xvfb has no tray, so the menu is driven directly: it shows the window, switches the mode the way
// the window's buttons do, and quits through the window's quit; the icon takes the level's colour.
TEST(TrayIcon, MenuShowsTheWindowSwitchesTheModeAndQuits)
{
    const test::EnglishTexts english;
    QTemporaryDir dir;
    SimulatedApplication app(dir.path(), 0.01);
    TrayIcon tray(app.controller.get(), app.window.get());
    QList<QAction*> items;
    for (QAction* a : tray.menu()->actions())
        if (!a->isSeparator())
            items << a;
    EXPECT_EQ(items, (QList<QAction*>{tray.showWindowAction(), tray.rateAction(), tray.doseAction(), tray.quitAction()}));
    EXPECT_EQ(tray.iconColor(), QColor(Qt::gray));

    app.window->hide();
    tray.showWindowAction()->trigger();
    EXPECT_TRUE(app.window->isVisible());

    EXPECT_TRUE(tray.rateAction()->isChecked());
    tray.doseAction()->trigger();
    EXPECT_EQ(SettingsStore::shared().integerForKey(settings::OnlineMode), 2);
    EXPECT_TRUE(app.window->doseButton()->isChecked());
    SettingsStore::shared().setInteger(settings::OnlineMode, 1); // another writer
    EXPECT_TRUE(tray.rateAction()->isChecked());
    EXPECT_FALSE(tray.doseAction()->isChecked());

    sim::SimBus::instance().plug(std::make_shared<sim::SimCounter>(test::steadyCounter(25.0)));
    ASSERT_TRUE(test::waitUntil([&] { return tray.toolTip().contains(QStringLiteral("μSv/h")); }, 20)) << tray.toolTip().toStdString();
    EXPECT_TRUE(tray.toolTip().endsWith(app.controller->onlineValueString() + QStringLiteral(", danger")))
        << tray.toolTip().toStdString();
    const QColor danger = oq::levelColor(ColorManager::Level::Danger, oq::LevelColor::Bar).toQColor();
    EXPECT_EQ(tray.iconColor(), danger);
    EXPECT_EQ(tray.icon().pixmap(64).toImage().pixelColor(32, 32), danger);

    QSignalSpy quit(app.window.get(), &MainWindow::quitRequested);
    tray.quitAction()->trigger();
    EXPECT_EQ(quit.count(), 1);
}

// At login the panel may come up after the program: the icon appears once a tray does, and the
// tray is told of it.
TEST(TrayIcon, AppearsWhenATrayComesUpLater)
{
    QTemporaryDir dir;
    SimulatedApplication app(dir.path(), 0.01);
    TrayIcon tray(app.controller.get(), app.window.get());
    EXPECT_FALSE(tray.systemTrayIcon());
    FakeStatusNotifierWatcher watcher;
    if (!watcher.start())
        GTEST_SKIP() << "needs a private session bus (dbus-run-session)";
    ASSERT_TRUE(test::waitUntil([&] { return !watcher.items().isEmpty(); }, 20));
    ASSERT_TRUE(tray.systemTrayIcon());
    EXPECT_TRUE(tray.systemTrayIcon()->isVisible());
    EXPECT_EQ(tray.systemTrayIcon()->toolTip(), tray.toolTip());
}
