// The whole application in one process: simulated bus, simulated counter, real windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include <QRegularExpression>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include "app/controller/AppDelegate.h"
#include "app/controller/WindowRecording.h"
#include "app/menus/CounterMenu.h"
#include "app/menus/DeviceMenu.h"
#include "app/shell/TrayIcon.h"
#include "app/windows/MainWindow.h"
#include "common/CLibraryLocale.h"
#include "common/SimCounters.h"
#include "common/TestUtil.h"
#include "device/ft/FtBackend.h"
#include "logging/LGLog.h"
#include "device/OQUSBDevice.h"
#include "history/HistoryReader.h"
#include "parser/OQDeviceInfo.h"
#include "platform/ArchivedColor.h"
#include "platform/Clock.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"
#include "app/windows/ColorManager.h"
#include "SimulatedApplication.h"

using namespace oq;
using namespace oq::sim;

namespace {
class EndToEnd : public ::testing::Test {
protected:
    EndToEnd()
        : app(dir.path(), 0.1)
        , controller(app.controller)
        , colorManager(app.colorManager)
        , window(app.window)
    {
    }

    std::shared_ptr<SimCounter> plugCounter(double rate)
    {
        auto counter = std::make_shared<SimCounter>(test::steadyCounter(rate));
        entry = SimBus::instance().plug(counter);
        return counter;
    }
    QString shownText() const { return window->valueLabel()->text(); }
    bool showsValue() const
    {
        const QString t = shownText();
        return !t.isEmpty() && t != QLatin1String("---");
    }
    void setRate(const std::shared_ptr<SimCounter>& c, double rate)
    {
        c->updateConfig([rate](CounterConfig& cfg) { cfg.profile.value = rate; });
    }

    QTemporaryDir dir;
    SimulatedApplication app;
    std::unique_ptr<AppDelegate>& controller;
    std::unique_ptr<ColorManager>& colorManager;
    std::unique_ptr<MainWindow>& window;
    quint64 entry = 0;
};

// The C library in German from the start, as Qt sets it for a German user: the registered
// default colours are archived and decoded under it.
struct GermanNumbers {
    test::CLibraryLocale locale{test::kGermanLocale};
};
class GermanEndToEnd : private GermanNumbers, public EndToEnd {
protected:
    bool german() const { return locale.active() && test::CLibraryLocale::decimalComma(); }
};

QColor pixel(const QImage& img, int x, int y) { return img.pixelColor(x, y); }

bool near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3 && std::abs(a.blue() - b.blue()) <= 3;
}

// True when some pixel of the image's middle band has the colour.
bool hasColour(const QImage& img, const QColor& c)
{
    for (int y = img.height() / 4; y < img.height() * 3 / 4; y += 2)
        for (int x = 0; x < img.width(); x += 2)
            if (near(img.pixelColor(x, y), c))
                return true;
    return false;
}
} // namespace

TEST_F(EndToEnd, PlugInShowsAColouredValueUnplugClearsItAndRollsTheDeviceLog)
{
    plugCounter(0.12);
    ASSERT_TRUE(test::waitUntil([&] { return showsValue(); }, 5)) << shownText().toStdString();
    EXPECT_TRUE(shownText().endsWith(QStringLiteral("μSv/h"))) << shownText().toStdString();
    EXPECT_TRUE(near(window->valueLabel()->palette().color(QPalette::WindowText), QColor(30, 130, 30)));

    const QString deviceLog = dir.filePath(QStringLiteral("Logs/device.log"));
    LGLog::flushLog();
    ASSERT_TRUE(QFile::exists(deviceLog));

    SimBus::instance().unplug(entry);
    ASSERT_TRUE(test::waitUntil([&] { return !showsValue(); }, 5));
    EXPECT_TRUE(shownText() == QLatin1String("---") || shownText().isEmpty());
    EXPECT_EQ(controller->device(), nullptr);

    // The next connection starts the device log afresh.
    plugCounter(0.12);
    ASSERT_TRUE(test::waitUntil([&] { return showsValue(); }, 5));
    LGLog::flushLog();
    QFile f(deviceLog);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    EXPECT_EQ(content.count("PC-Mode gestartet"), 1) << content.toStdString();
}

TEST_F(GermanEndToEnd, LevelsColourTheWindowAndScreenshotsAreKept)
{
    ASSERT_TRUE(german()) << test::kMissingGerman;
    auto counter = plugCounter(0.12);
    ASSERT_TRUE(test::waitUntil([&] { return showsValue(); }, 5));
    const QColor windowBackground = window->palette().color(QPalette::Active, QPalette::Window);
    struct Case {
        const char* name;
        double rate;
        QColor font, background;
    };
    const Case cases[] = {
        {"normal", 0.12, QColor(30, 130, 30), windowBackground},
        {"warning", 4.5, QColor(170, 110, 0), windowBackground},
        {"danger", 25.0, QColor(255, 255, 255), QColor(220, 0, 21)},
    };
    for (const Case& c : cases) {
        setRate(counter, c.rate);
        ASSERT_TRUE(test::waitUntil([&] { return near(colorManager->fontColor(), c.font); }, 5)) << c.name;
        test::spin(0.1);
        const QImage img = window->grab().toImage();
        img.save(QDir(test::artifactsDir()).filePath(QStringLiteral("main-window-%1.png").arg(QLatin1String(c.name))));
        // A corner of the content area shows the background; the figure shows the font colour.
        EXPECT_TRUE(near(pixel(img, 4, img.height() / 2), c.background)) << c.name;
        EXPECT_TRUE(hasColour(img, c.font)) << c.name;
    }
}

namespace {
std::shared_ptr<SimCounter> counterWithSerial(const char* serial, double rate)
{
    CounterConfig c = test::steadyCounter(rate);
    c.serial = QString::fromLatin1(serial);
    return std::make_shared<SimCounter>(c);
}

QString serialOf(const std::shared_ptr<OQDevice>& d) { return d && d->info() ? d->info()->serialNumber() : QString(); }

// Readings of `serial` in the history so far.
size_t storedReadings(const QString& path, const QString& serial)
{
    QString problem;
    const auto reader = history::Reader::open(path, &problem);
    return reader ? reader->readings(serial, 0, std::numeric_limits<qint64>::max()).size() : 0;
}
} // namespace

// Two counters: both read and recorded whichever is shown; the window follows the one chosen in the
// Device menu, keeps that choice by serial across a restart and a replug, and shows the other when
// the shown one is pulled out.
TEST(SeveralCounters, AllAreRecordedAndTheWindowFollowsTheChosenOne)
{
    const test::EnglishTexts english;
    QTemporaryDir dir;
    const QString historyPath = dir.filePath(QStringLiteral("history.db"));
    auto app = std::make_unique<SimulatedApplication>(dir.path(), 0.1);
    auto recording = std::make_unique<WindowRecording>(app->controller.get(), historyPath);
    auto& bus = SimBus::instance();
    const quint64 first = bus.plug(counterWithSerial("10423", 0.12));
    quint64 second = bus.plug(counterWithSerial("20777", 4.5));
    const auto streaming = [&](const std::unique_ptr<SimulatedApplication>& a, size_t count) {
        const auto devices = a->controller->devices();
        return devices.size() == count && std::all_of(devices.begin(), devices.end(), [](const auto& d) { return d->onlineValue().has_value(); });
    };
    ASSERT_TRUE(test::waitUntil([&] { return streaming(app, 2); }, 10));
    // Each on its own bridge, whichever arrived first shown.
    EXPECT_EQ(serialOf(app->controller->device()), QStringLiteral("10423"));
    ASSERT_TRUE(test::waitUntil([&] {
        return storedReadings(historyPath, QStringLiteral("10423")) >= 2 && storedReadings(historyPath, QStringLiteral("20777")) >= 2;
    }, 10));

    // The tray's tooltip has a line for each, with its level, and marks the one shown.
    const TrayIcon tray(app->controller.get(), app->window.get());
    const QRegularExpression lines(QStringLiteral("\n10423: 0[^\n]*, normal \\(shown\\)\n20777: 4[^\n]*, (warning|danger)$"));
    EXPECT_TRUE(lines.match(tray.toolTip()).hasMatch()) << tray.toolTip().toStdString();

    // The Device menu lists both; choosing the other switches the window to its reading.
    CounterMenu* menu = app->window->deviceMenu()->counterMenu();
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_TRUE(menu->actions()[0]->isChecked());
    EXPECT_TRUE(menu->actions()[1]->text().startsWith(QStringLiteral("20777 (")));
    menu->actions()[1]->trigger();
    EXPECT_EQ(serialOf(app->controller->device()), QStringLiteral("20777"));
    EXPECT_TRUE(menu->actions()[1]->isChecked());
    ASSERT_TRUE(test::waitUntil([&] { return app->window->valueLabel()->text().startsWith(QLatin1Char('4')); }, 5))
        << app->window->valueLabel()->text().toStdString();

    // Each counter publishes on its own: Preferences tells each one's status, the shown one's first.
    SettingsStore::shared().setString(settings::MqttBroker, QStringLiteral("mqtt://127.0.0.1:1"));
    ASSERT_TRUE(test::waitUntil([&] { return recording->status().count(QLatin1Char('\n')) == 1; }, 5)) << recording->status().toStdString();
    EXPECT_TRUE(recording->status().startsWith(QStringLiteral("20777: "))) << recording->status().toStdString();
    EXPECT_TRUE(recording->status().contains(QStringLiteral("\n10423: "))) << recording->status().toStdString();
    SettingsStore::shared().setString(settings::MqttBroker, QString());

    // A restart with both still plugged: the chosen one is shown, though it arrived second.
    recording.reset();
    app->unplugOnExit = false;
    app.reset();
    app = std::make_unique<SimulatedApplication>(dir.path(), 0.1);
    recording = std::make_unique<WindowRecording>(app->controller.get(), historyPath);
    ASSERT_TRUE(test::waitUntil([&] { return streaming(app, 2); }, 10));
    EXPECT_EQ(serialOf(app->controller->device()), QStringLiteral("20777"));

    // The shown one pulled out: the other is shown and still recorded; plugged in again, the
    // chosen one is shown again.
    bus.unplug(second);
    ASSERT_TRUE(test::waitUntil([&] { return app->controller->devices().size() == 1; }, 5));
    EXPECT_EQ(serialOf(app->controller->device()), QStringLiteral("10423"));
    const size_t before = storedReadings(historyPath, QStringLiteral("10423"));
    EXPECT_TRUE(test::waitUntil([&] { return storedReadings(historyPath, QStringLiteral("10423")) >= before + 2; }, 10));
    second = bus.plug(counterWithSerial("20777", 4.5));
    ASSERT_TRUE(test::waitUntil([&] { return serialOf(app->controller->device()) == QStringLiteral("20777"); }, 10));
    EXPECT_TRUE(bus.entry(first).has_value());
}
