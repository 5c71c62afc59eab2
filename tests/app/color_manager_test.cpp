#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QWidget>

#include <thread>

#include "common/FreshSettings.h"
#include "common/TestUtil.h"
#include "logging/LGLog.h"
#include "logging/LoggingTestUtil.h"
#include "app/windows/ColorManager.h"

using namespace oq;
using Level = ColorManager::Level;

namespace {

QColor stored(const QString& key) { return SettingsStore::shared().colorForKey(key)->toQColor(QApplication::palette()); }
QColor windowColor() { return QApplication::palette().color(QPalette::Active, QPalette::Window); }

} // namespace

TEST(ColorManager, RateLevels)
{
    test::FreshSettings settings;
    ColorManager cm;
    cm.setMode(1);
    cm.setValue(1.0);
    EXPECT_EQ(cm.level(), Level::Normal);
    EXPECT_EQ(cm.fontColor(), stored(settings::NormalFontColor));
    EXPECT_EQ(cm.backgroundColor(), windowColor());
    cm.setValue(5.0);
    EXPECT_EQ(cm.level(), Level::Warning);
    EXPECT_EQ(cm.fontColor(), stored(settings::WarningFontColor));
    cm.setValue(20.0);
    EXPECT_EQ(cm.level(), Level::Danger);
    EXPECT_EQ(cm.fontColor(), QColor(Qt::white));
    EXPECT_EQ(cm.backgroundColor(), stored(settings::DangerBackgroundColor));
    EXPECT_EQ(cm.backgroundColor().toRgb().red(), 220);
}

TEST(ColorManager, ThresholdValuesHaveReachedTheirLevel)
{
    test::FreshSettings settings;
    for (double warning : {2.2, double(2.2f), 220 * 0.009999999776482582})
        EXPECT_EQ(oq::levelForValue(warning, 1), Level::Warning) << warning;
    EXPECT_EQ(oq::levelForValue(11.8, 1), Level::Danger);
    EXPECT_EQ(oq::levelForValue(2.19, 1), Level::Normal);
    EXPECT_EQ(oq::levelForValue(10000, 2), Level::Warning);
    EXPECT_EQ(oq::levelForValue(20000, 2), Level::Danger);
    EXPECT_EQ(oq::levelForValue(std::nan(""), 1), Level::Normal);
    EXPECT_EQ(oq::levelForValue(1e300, 1), Level::Danger);
}

TEST(ColorManager, DoseModeAndBarColors)
{
    test::FreshSettings settings;
    ColorManager cm;
    cm.setMode(2);
    cm.setValue(15000.0);
    EXPECT_EQ(cm.level(), Level::Warning);
    cm.setValue(15.0);
    EXPECT_EQ(cm.level(), Level::Normal);
    // Any mode other than 1 is dose, including the 0 before the controller sets one.
    EXPECT_EQ(oq::levelForValue(15000, 0), Level::Warning);
    EXPECT_EQ(oq::levelForValue(15000, 7), Level::Warning);
    // The bar is judged against the rate thresholds whatever the mode.
    cm.setValue(5.0);
    EXPECT_EQ(ColorManager::barColorForValue(5.0), stored(settings::WarningBarColor));
    EXPECT_EQ(cm.barColor(), stored(settings::WarningBarColor));
    EXPECT_EQ(cm.fontColor(), stored(settings::NormalFontColor));
}

TEST(ColorManager, NoValueGivesNormalTextOnTheWindowBackground)
{
    test::FreshSettings settings;
    SettingsStore::shared().setColor(settings::DangerBackgroundColor, ArchivedColor::rgba(0, 0, 1, 1));
    ColorManager cm;
    cm.setMode(1);
    cm.setValue(50.0);
    EXPECT_EQ(cm.backgroundColor(), QColor(Qt::blue));
    cm.setValueVariant(QVariant());
    EXPECT_FALSE(cm.value());
    EXPECT_EQ(cm.fontColor(), stored(settings::NormalFontColor));
    EXPECT_EQ(cm.backgroundColor(), windowColor());
}

TEST(ColorManager, SettingsChangesRecolourAtOnce)
{
    test::FreshSettings settings;
    ColorManager cm;
    cm.setMode(1);
    cm.setValue(1.0);
    QSignalSpy spy(&cm, &ColorManager::fontColorChanged);
    SettingsStore::shared().setColor(settings::NormalFontColor, ArchivedColor::rgba(1, 0, 1, 1));
    EXPECT_EQ(cm.fontColor(), QColor(Qt::magenta));
    EXPECT_EQ(spy.count(), 1);
    // Lowering the warning rate below the value changes the level with no new reading.
    SettingsStore::shared().setDouble(settings::WarningRateValue, 0.5);
    EXPECT_EQ(cm.level(), Level::Warning);
    // A damaged stored colour falls back to its default.
    SettingsStore::shared().setString(settings::WarningFontColor, QStringLiteral("rgba 9 9"));
    EXPECT_EQ(cm.fontColor().toRgb(), QColor(170, 110, 0));
}

TEST(ColorManager, UnreadableStoredValuesReadAsTheirDefaultsAndAreReportedOnce)
{
    test::FreshSettings settings;
    auto capture = std::make_shared<test::RecordingLogger>();
    LGLog::addLogger(capture, LGLogLevelAll);
    auto& store = SettingsStore::shared();
    store.setString(settings::WarningRateValue, QStringLiteral("much"));
    store.setString(settings::DangerRateValue, QStringLiteral("11,8")); // a German hand
    store.setString(settings::NormalFontColor, QStringLiteral("rgba 9 9"));
    ColorManager cm;
    cm.setMode(1);
    for (double v : {1.0, 1.5, 1.0, 1.2}) {
        cm.setValue(v);
        EXPECT_EQ(cm.level(), Level::Normal) << v; // not white on red, as a threshold of 0 would give
        EXPECT_EQ(cm.fontColor().toRgb(), QColor(30, 130, 30));
    }
    cm.setValue(5.0);
    EXPECT_EQ(cm.level(), Level::Warning);
    cm.setValue(11.8);
    EXPECT_EQ(cm.level(), Level::Danger);
    store.setString(settings::NormalFontColor, QStringLiteral("rgba 8 8"));
    cm.setValue(1.0);
    LGLog::flushLog();
    const auto count = [&](const char* what) {
        return capture->texts().filter(QLatin1String(what)).size();
    };
    EXPECT_EQ(count("WarningRateValue"), 1) << capture->texts().join('\n').toStdString();
    EXPECT_EQ(count("DangerRateValue"), 0);
    EXPECT_EQ(count("NormalFontColor"), 2); // once for each unreadable text
    LGLog::removeLogger(capture);
}

TEST(ColorManager, BackgroundThreadChangesWaitForTheMainThread)
{
    test::FreshSettings settings;
    ColorManager cm;
    cm.setMode(1);
    cm.setValue(1.0);
    const QColor before = cm.fontColor();
    std::thread([&] {
        cm.setValue(20.0);
        cm.setValue(30.0);
        SettingsStore::shared().setDouble(settings::DangerRateValue, 25.0);
    }).join();
    EXPECT_EQ(cm.fontColor(), before);
    EXPECT_EQ(cm.level(), Level::Normal);
    QCoreApplication::processEvents();
    EXPECT_EQ(cm.level(), Level::Danger);
    EXPECT_EQ(cm.fontColor(), QColor(Qt::white));
}

TEST(ColorManager, PaintsItsBackgroundViewAndFollowsTheTheme)
{
    test::FreshSettings settings;
    QWidget window;
    QWidget view(&window); // the content view of a window, as in the main window
    ColorManager cm;
    cm.setBackgroundView(&view);
    EXPECT_TRUE(view.autoFillBackground());
    cm.setMode(1);
    cm.setValue(20.0);
    EXPECT_EQ(view.palette().color(QPalette::Window), stored(settings::DangerBackgroundColor));
    EXPECT_EQ(view.palette().color(QPalette::Inactive, QPalette::Window), stored(settings::DangerBackgroundColor));
    cm.setValue(std::nullopt);
    EXPECT_EQ(view.palette().color(QPalette::Window), windowColor());

    const QPalette saved = QApplication::palette();
    QPalette dark = saved;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    QApplication::setPalette(dark);
    EXPECT_TRUE(test::waitUntil([&] { return cm.backgroundColor() == QColor(30, 30, 30); }, 5));
    EXPECT_EQ(view.palette().color(QPalette::Window), QColor(30, 30, 30));
    QApplication::setPalette(saved);
    EXPECT_TRUE(test::waitUntil([&] { return cm.backgroundColor() == saved.color(QPalette::Window); }, 5));
}
