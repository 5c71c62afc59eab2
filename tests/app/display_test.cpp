#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>

#include <cmath>
#include <functional>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "app/controller/AppDelegate.h"
#include "app/BuildInfo.h"
#include "app/controller/ConnectionStatus.h"
#include "app/menus/DeviceMenu.h"
#include "app/menus/HelpMenu.h"
#include "app/windows/DeviceInfoWindow.h"
#include "app/windows/MainWindow.h"
#include "common/SimCounters.h"
#include "common/TestUtil.h"
#include "device/ft/FtBackend.h"
#include "sim/SimFtBackend.h"
#include "device/OQUSBDevice.h"
#include "platform/ArchivedColor.h"
#include "platform/Clock.h"
#include "sim/SimPty.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "app/windows/ColorManager.h"
#include "TestDevice.h"

using namespace oq;

namespace {
class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("LC_ALL", "en_US.UTF-8");
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
        controller = std::make_unique<AppDelegate>();
    }
    QTemporaryDir dir;
    std::unique_ptr<AppDelegate> controller;
};
} // namespace

TEST_F(DisplayTest, DisplayUnitPrefersTheSettingThenTheDevice)
{
    EXPECT_TRUE(controller->displayUnit().isNull());
    EXPECT_TRUE(controller->onlineValueString().isNull()); // no transformer: empty
    auto d = makeDevice<TestDevice>();
    controller->setDevice(d);
    d->setOnlineUnit(QStringLiteral("Sv"));
    EXPECT_EQ(controller->displayUnit(), QStringLiteral("Sv"));
    EXPECT_EQ(controller->onlineValueString(), QStringLiteral("---"));

    SettingsStore::shared().setString(settings::displayUnit, QStringLiteral("rem"));
    EXPECT_EQ(controller->displayUnit(), QStringLiteral("rem"));
    SettingsStore::shared().setString(settings::displayUnit, QStringLiteral("Gy"));
    EXPECT_TRUE(controller->displayUnit().isNull()); // a setting other than Sv and rem is not a unit
    EXPECT_TRUE(controller->onlineValueString().isNull());
    SettingsStore::shared().removeObject(settings::displayUnit);
    d->setOnlineUnit(QStringLiteral("Gy"));
    EXPECT_TRUE(controller->displayUnit().isNull());
}

TEST_F(DisplayTest, ValueTextFollowsEverySource)
{
    auto d = makeDevice<TestDevice>();
    QSignalSpy text(controller.get(), &OQAppDelegate::onlineValueStringChanged);
    controller->setDevice(d);
    EXPECT_GE(text.count(), 1); // a new device is a change of the path
    d->setOnlineUnit(QStringLiteral("Sv"));
    d->setOnlineValue(0.5);
    EXPECT_EQ(controller->onlineValueString(), QStringLiteral("0.500 μSv/h"));

    text.clear();
    SettingsStore::shared().setString(settings::displayUnit, QStringLiteral("rem"));
    EXPECT_GE(text.count(), 1); // no new value needed
    EXPECT_EQ(controller->onlineValueString(), QStringLiteral("50.0 μrem/h"));

    text.clear();
    SettingsStore::shared().setInteger(settings::OnlineMode, 2);
    EXPECT_GE(text.count(), 1);
    EXPECT_EQ(controller->onlineValueString(), QStringLiteral("50.0 μrem"));
    SettingsStore::shared().setInteger(settings::OnlineMode, 3);
    EXPECT_TRUE(controller->onlineValueString().isNull());
    SettingsStore::shared().setInteger(settings::OnlineMode, 1);

    text.clear();
    controller->setDevice(nullptr);
    EXPECT_GE(text.count(), 1);
    EXPECT_EQ(controller->onlineValueString(), QStringLiteral("---")); // a unit is chosen, no value
}

TEST_F(DisplayTest, ScaleToAspectFitSubtractsTheMarginOnce)
{
    EXPECT_FLOAT_EQ(AppDelegate::scaleToAspectFit({600, 120}, {620, 200}, 20), 1.0f);
    EXPECT_FLOAT_EQ(AppDelegate::scaleToAspectFit({600, 120}, {1220, 200}, 20), 1.5f);
}

TEST_F(DisplayTest, FittedFontFollowsTheLimitingSideAndKeepsTheFace)
{
    QFont bold(QStringLiteral("DejaVu Sans"));
    bold.setBold(true);
    bold.setPointSizeF(33);
    const QString sample = QStringLiteral("999.999 uSv/h");
    const QFont wide = AppDelegate::fontSizedForAreaSize({4000, 200}, sample, bold);
    const QFont tall = AppDelegate::fontSizedForAreaSize({400, 4000}, sample, bold);
    EXPECT_TRUE(wide.bold());
    EXPECT_EQ(wide.family(), bold.family());
    // In the wide window the height limits: doubling the width changes nothing.
    EXPECT_DOUBLE_EQ(AppDelegate::fontSizedForAreaSize({8000, 200}, sample, bold).pointSizeF(), wide.pointSizeF());
    // In the tall window the width limits: doubling the height changes nothing.
    EXPECT_DOUBLE_EQ(AppDelegate::fontSizedForAreaSize({400, 8000}, sample, bold).pointSizeF(), tall.pointSizeF());
    // The probe is always 100 points: the starting size does not matter.
    QFont small = bold;
    small.setPointSizeF(5);
    EXPECT_DOUBLE_EQ(AppDelegate::fontSizedForAreaSize({4000, 200}, sample, small).pointSizeF(), wide.pointSizeF());
}

TEST_F(DisplayTest, ResizingFitsTheValueFontAndMinimumSizeKeepsItPositive)
{
    ColorManager cm;
    controller->setColorManager(&cm);
    MainWindow w(controller.get());
    w.show();
    w.resize(900, 300);
    ASSERT_TRUE(test::waitUntil([&] { return w.size() == QSize(900, 300); }, 5));
    const double first = w.valueLabel()->font().pointSizeF();
    w.resize(700, 500);
    test::waitUntil([&] { return w.size() == QSize(700, 500); }, 5);
    w.resize(900, 300);
    test::waitUntil([&] { return w.size() == QSize(900, 300); }, 5);
    EXPECT_DOUBLE_EQ(w.valueLabel()->font().pointSizeF(), first);
    EXPECT_GT(first, 0);
    const QSize min = MainWindow::minimumWindowSize();
    EXPECT_GT(AppDelegate::fontSizedForAreaSize(QSizeF(min), QStringLiteral("999.999 uSv/h"), w.valueLabel()->font()).pointSizeF(), 0);

    // The next window opens at the size the last one was left at.
    w.close();
    MainWindow next(controller.get());
    EXPECT_EQ(next.size(), QSize(900, 300));
}

// What the window says where the reading stands, and what a screen reader hears, through a
// counter's whole life: every state a device can be in, in the order a user meets them.
TEST_F(DisplayTest, WindowSaysWhereTheReadingStandsAndScreenReadersHearTheLevel)
{
    ColorManager cm;
    controller->setColorManager(&cm);
    MainWindow w(controller.get());
    w.show();
    auto d = makeDevice<TestDevice>();
    auto transfer = std::make_shared<ProgressRecord>();
    transfer->setCancellable(true);
    using State = ConnectionStatus::State;
    struct Step {
        const char* what;
        std::function<void()> act;
        State state;
        const char* shown;  // part of the status text; empty: the status is hidden
        const char* spoken; // the value label's accessible name
        const char* heard;  // the notification that showed last: the announcement's or the level's
        bool canCancel;     // Device > Cancel Transfer
    };
    const std::vector<Step> steps = {
        {"start", [] {}, State::NoCounter, "Plug in your Orbel-Quist counter", "No reading", "Plug in your Orbel-Quist counter", false},
        {"plugged", [&] { controller->setDevice(d); }, State::Connecting, "Connecting", "No reading", "Connecting to the counter…", false},
        {"ready", [&] { d->setBusy(false); }, State::Starting, "Starting", "No reading", "Starting the reading…", false},
        {"value", [&] { d->setOnlineUnit(QStringLiteral("Sv")); d->setOnlineValue(0.145); cm.setMode(1); cm.setValue(0.145); }, State::Reading, "",
         "0.145 microsievert per hour, normal", "Level: Normal, 0.145 microsievert per hour", false},
        {"danger", [&] { d->setOnlineValue(5000); cm.setValue(5000); }, State::Reading, "", "5.000 millisievert per hour, danger",
         "Level: Danger, 5.000 millisievert per hour", false},
        {"transfer", [&] { d->setProgress(transfer); d->setBusy(true); }, State::Reading, "", "5.000 millisievert per hour, danger",
         "Level: Danger, 5.000 millisievert per hour", true},
        {"transferred", [&] { d->setBusy(false); }, State::Reading, "", "5.000 millisievert per hour, danger",
         "Level: Danger, 5.000 millisievert per hour", false},
        {"fails", [&] { d->setOnlineValue(std::nullopt); d->setError(QStringLiteral("Permission denied")); d->setFailed(true); },
         State::Failed, "Permission denied", "No reading",
         "The counter cannot be used. Once the cause below is mended, unplug it and plug it in again. Permission denied", false},
        {"unplugged", [&] { controller->setDevice(nullptr); }, State::NoCounter, "Plug in", "No reading",
         "Counter unplugged. Plug in your Orbel-Quist counter", false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        test::spin(step.what == steps.front().what ? (MainWindow::kFirstAnnouncementDelayMs + 200) / 1000.0 : 0.05);
        EXPECT_EQ(w.connectionStatus()->state(), step.state);
        const QString shown = QString::fromUtf8(step.shown);
        EXPECT_EQ(w.statusLabel()->isVisibleTo(&w), !shown.isEmpty());
        if (!shown.isEmpty()) {
            EXPECT_TRUE(w.statusLabel()->text().contains(shown)) << w.statusLabel()->text().toStdString();
        }
        auto* a11y = QAccessible::queryAccessibleInterface(w.valueLabel());
        ASSERT_NE(a11y, nullptr);
        EXPECT_EQ(a11y->text(QAccessible::Name), QString::fromUtf8(step.spoken));
        const QString heard = w.levelLabel()->isVisible() && w.connectionStatus()->state() == State::Reading
            ? w.levelLabel()->accessibleName()
            : w.announcementLabel()->accessibleName();
        EXPECT_EQ(heard, QString::fromUtf8(step.heard));
        EXPECT_EQ(w.cancelTransferAction()->isEnabled(), step.canCancel);
    }

    // Help: the About box names the version and every folder; the shortcut list is read off the window.
    const QString about = w.helpMenu()->aboutText();
    for (const QString& part : {QStringLiteral(OQ_VERSION), QString::fromLatin1(qVersion()),
                                SettingsStore::defaultFilePath(), w.helpMenu()->logFolder()})
        EXPECT_TRUE(about.contains(part.toHtmlEscaped())) << part.toStdString();
    const QString shortcuts = w.helpMenu()->shortcutsText();
    EXPECT_TRUE(shortcuts.contains(QStringLiteral("Ctrl+1")));
    EXPECT_TRUE(shortcuts.contains(QStringLiteral("Ctrl+,")));
    // Device Information's clock button has its Alt key in that window only.
    EXPECT_FALSE(shortcuts.contains(localized(QStringLiteral("ui.menu.device.set_clock")).remove(QLatin1Char('&'))));
    EXPECT_TRUE(w.rateButton()->toolTip().endsWith(QStringLiteral("(Ctrl+1)")));
    EXPECT_EQ(w.doseButton()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_2));
}

// A port another program holds: the window says so, and who; once it is let go, the next counter
// opens and the words go.
TEST_F(DisplayTest, PortInUseIsShownInPlaceOfTheReading)
{
    // A real terminal's scheduling latency: at a hundredfold speed-up a busy machine turns it into
    // time-outs.
    clock::setScale(0.1);
    auto counter = std::make_shared<sim::SimCounter>(test::steadyCounter(0.5));
    sim::SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    const int holder = ::open(QFile::encodeName(pty.path()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    ft::useTtyBackend(pty.path());
    MainWindow window(controller.get());
    window.show();

    auto refused = makeDevice<OQUSBDevice>();
    controller->setDevice(refused);
    ASSERT_TRUE(test::waitUntil([&] { return refused->failed(); }, 20));
    test::spin(0.05);
    EXPECT_EQ(window.connectionStatus()->state(), ConnectionStatus::State::Failed);
    const QString shown = window.statusLabel()->text();
    EXPECT_TRUE(shown.contains(QStringLiteral("%1 is in use by ").arg(pty.path()))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("(pid %1). Close that program").arg(::getpid()))) << shown.toStdString();
    EXPECT_TRUE(window.grab().save(test::artifactsDir() + QStringLiteral("/main-window-port-in-use.png")));
    EXPECT_TRUE(counter->commandLog().isEmpty()) << "the refused opener sent something";

    ::close(holder);
    auto opened = makeDevice<OQUSBDevice>();
    controller->setDevice(opened);
    ASSERT_TRUE(test::waitUntil([&] { return (opened->info() && !opened->busy()) || opened->failed(); }, 20));
    ASSERT_FALSE(opened->failed()) << opened->error().toStdString() << "; " << oq::ft::lastOpenFailure().toStdString();
    EXPECT_FALSE(window.statusLabel()->text().contains(QStringLiteral("in use")));
    controller->setDevice(nullptr);
    sim::useFtBackend();
    clock::setScale(1.0);
}

// A given port that does not exist: the window says so rather than asking to replug, and nothing
// that needs the counter can be started.
TEST_F(DisplayTest, MissingPortIsToldAndLeavesTheCounterActionsOff)
{
    const QString port = dir.filePath(QStringLiteral("no-such-port"));
    auto options = controller->launchOptions();
    options.portPath = port;
    controller->setLaunchOptions(options);
    ft::useTtyBackend(port);
    MainWindow window(controller.get());
    window.show();
    auto device = makeDevice<OQUSBDevice>();
    controller->setDevice(device);
    ASSERT_TRUE(test::waitUntil([&] { return device->failed(); }, 20));
    test::spin(0.05);
    const QString shown = window.statusLabel()->text();
    EXPECT_TRUE(shown.contains(QStringLiteral("There is no port ") + port)) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QStringLiteral("plug it in again"))) << shown.toStdString();
    for (QAction* a : {window.deviceMenu()->infoAction(), window.deviceMenu()->downloadAction(), window.deviceMenu()->setClockAction()})
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    EXPECT_EQ(window.deviceMenu()->infoWindow()->statusText(), localized(QStringLiteral("ui.info.unusable")));
    // What the counter sends is never rendered as rich text.
    for (const QLabel* value : window.deviceMenu()->infoWindow()->findChildren<QLabel*>()) {
        if (value->textInteractionFlags() & Qt::TextSelectableByMouse) {
            EXPECT_EQ(value->textFormat(), Qt::PlainText);
        }
    }
    controller->setDevice(nullptr);
    sim::useFtBackend();
}

// The counter falls silent, then the line dies while it streams (as with --port): neither time
// does its last reading stay on screen as if it were current, and the window says which it is.
TEST_F(DisplayTest, SilentCounterOrLostConnectionLeavesNoReadingOnScreen)
{
    clock::setScale(0.01);
    auto counter = std::make_shared<sim::SimCounter>(test::steadyCounter(0.5));
    sim::SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    ft::useTtyBackend(pty.path());
    ColorManager cm;
    controller->setColorManager(&cm);
    MainWindow window(controller.get());
    window.show();
    auto device = makeDevice<OQUSBDevice>();
    controller->setDevice(device);
    ASSERT_TRUE(test::waitUntil([&] { return device->info() && !device->busy(); }, 20));
    device->startRateMode();
    ASSERT_TRUE(test::waitUntil([&] { return window.connectionStatus()->state() == ConnectionStatus::State::Reading; }, 20));
    EXPECT_TRUE(window.valueLabel()->text().startsWith(QStringLiteral("0.500"))) << window.valueLabel()->text().toStdString();

    counter->updateConfig([](auto& c) { c.faults.silent = true; });
    ASSERT_TRUE(test::waitUntil([&] { return window.connectionStatus()->state() == ConnectionStatus::State::Silent; }, 20));
    EXPECT_TRUE(window.statusLabel()->text().contains(QStringLiteral("no reading for more than 5 s")));
    EXPECT_FALSE(window.valueLabel()->isVisibleTo(&window) || window.levelLabel()->isVisibleTo(&window));
    counter->updateConfig([](auto& c) { c.faults.silent = false; });
    ASSERT_TRUE(test::waitUntil([&] { return window.valueLabel()->isVisibleTo(&window); }, 20));

    counter->unplug();
    ASSERT_TRUE(test::waitUntil([&] { return device->failed(); }, 20));
    test::spin(0.05);
    EXPECT_EQ(window.connectionStatus()->state(), ConnectionStatus::State::Failed);
    EXPECT_TRUE(window.statusLabel()->text().contains(QStringLiteral("The connection to the counter was lost")))
        << window.statusLabel()->text().toStdString();
    const QString shown = window.valueLabel()->text();
    EXPECT_TRUE(shown == QLatin1String("---") || shown.isEmpty()) << shown.toStdString();
    EXPECT_TRUE(window.grab().save(test::artifactsDir() + QStringLiteral("/main-window-connection-lost.png")));
    controller->setDevice(nullptr);
    sim::useFtBackend();
    clock::setScale(1.0);
}

TEST_F(DisplayTest, ReadingAndModeAreLegibleOnAnyDesktopAndAChosenColourIsKept)
{
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(40, 40, 40));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    QApplication::setPalette(dark);
    SettingsStore::shared().registerDefaults(settings::defaults()); // as a start on that desktop does

    ColorManager cm;
    controller->setColorManager(&cm);
    MainWindow w(controller.get());
    cm.setBackgroundView(w.backgroundView());
    w.show();
    auto d = makeDevice<TestDevice>();
    controller->setDevice(d);
    d->setOnlineUnit(QStringLiteral("Sv"));
    d->setOnlineValue(0.145);
    cm.setMode(1);
    cm.setValue(0.145);
    ASSERT_TRUE(test::waitUntil([&] { return w.isVisible() && !w.valueLabel()->text().isEmpty(); }, 5));
    const QImage shot = w.grab().toImage();
    shot.save(test::artifactsDir() + QStringLiteral("/main-window-dark.png"));
    const QColor background = shot.pixelColor(w.backgroundView()->mapTo(&w, QPoint(4, 4)));
    EXPECT_EQ(background, QColor(40, 40, 40));
    bool textDrawn = false;
    for (int y = 0; y < shot.height() && !textDrawn; ++y)
        for (int x = 0; x < shot.width() && !textDrawn; ++x)
            textDrawn = shot.pixelColor(x, y) == cm.fontColor();
    EXPECT_TRUE(textDrawn);
    EXPECT_GE(contrastRatio(cm.fontColor(), background), 4.5);

    // Each level's default text stands out at least 3:1 from the window, light or dark.
    for (const QPalette& palette : {light, dark}) {
        QApplication::setPalette(palette);
        const QVariantMap defaults = settings::defaults();
        for (const QString& key : {settings::NormalFontColor, settings::WarningFontColor, settings::NormalBarColor,
                 settings::WarningBarColor, settings::DangerBarColor})
            EXPECT_GE(contrastRatio(ArchivedColor::unarchive(defaults.value(key).toString())->toQColor(palette),
                          palette.color(QPalette::Window)), 3.0)
                << key.toStdString() << " on " << palette.color(QPalette::Window).name().toStdString();
    }
    QApplication::setPalette(dark);

    const QColor chosen(10, 120, 10);
    SettingsStore::shared().setObject(settings::NormalFontColor, ArchivedColor::fromQColor(chosen).archive());
    cm.calculateColors();
    EXPECT_EQ(cm.fontColor(), chosen);
    QApplication::setPalette(light);
    SettingsStore::shared().setObject(settings::NormalFontColor, QVariant());

    // Light and under a dark application style sheet: the small level word reads 4.5:1, the level
    // colours and the chosen mode's fill are not painted over.
    for (const QString& sheet : {QString(), QStringLiteral("QWidget { background-color: #202020; color: #dddddd; }")}) {
        SCOPED_TRACE(sheet.toStdString());
        qApp->setStyleSheet(sheet);
        const QColor window = sheet.isEmpty() ? light.color(QPalette::Window) : QColor(0x20, 0x20, 0x20);
        cm.setValue(5);
        test::spin(0.05);
        QImage shot = w.grab().toImage();
        EXPECT_EQ(shot.pixelColor(w.backgroundView()->mapTo(&w, QPoint(4, 4))), window);
        const QColor word = w.levelLabel()->palette().color(QPalette::WindowText);
        EXPECT_GE(contrastRatio(word, window), 4.5) << word.name().toStdString();
        EXPECT_LE(std::abs(word.hslHue() - cm.fontColor().hslHue()), 10) << word.name().toStdString();
        cm.setValue(50);
        test::spin(0.05);
        shot = w.grab().toImage();
        EXPECT_EQ(shot.pixelColor(w.backgroundView()->mapTo(&w, QPoint(4, 4))), cm.backgroundColor());
        w.rateButton()->setChecked(true);
        w.doseButton()->setChecked(false);
        const QImage rate = w.rateButton()->grab().toImage(), dose = w.doseButton()->grab().toImage();
        const QColor fill = legibleOn(QApplication::palette().color(QPalette::Highlight), Qt::white);
        EXPECT_EQ(rate.pixelColor(8, rate.height() / 2), fill);
        EXPECT_NE(dose.pixelColor(8, dose.height() / 2), fill);
        shot.save(test::artifactsDir() + (sheet.isEmpty() ? QStringLiteral("/main-window-danger.png")
                                                            : QStringLiteral("/main-window-dark-style-sheet.png")));
    }
    qApp->setStyleSheet({});
}
