#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "common/FreshSettings.h"
#include "common/TestUtil.h"
#include "platform/StringTable.h"
#include "app/preferences/LivoraPreferencesWindow.h"
#include "app/preferences/MqttOptionsBox.h"
#include "app/preferences/WebPageBox.h"

using namespace oq;

namespace {

const QString mu(QChar(0x03BC));

QString fieldUnits(const LivoraPreferencesWindow& w)
{
    return w.thresholdUnitLabel(Threshold::WarningRate)->text() + QLatin1Char(' ')
        + w.thresholdUnitLabel(Threshold::DangerDose)->text();
}

void type(QLineEdit* field, const QString& text)
{
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

} // namespace

TEST(PreferencesWindow, ClosingWithoutAPickerLeavesNoneBehind)
{
    test::FreshSettings settings;
    LivoraPreferencesWindow w;
    w.show();
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(LivoraPreferencesWindow::sharedColorDialogExists());
}

TEST(PreferencesWindow, FollowsTheCountersUnitWhenNoneIsChosen)
{
    test::FreshSettings settings;
    test::LocaleScope scope("en_US");
    const test::EnglishTexts english;
    QString deviceUnit = QStringLiteral("rem");
    LivoraPreferencesWindow w([&] { return deviceUnit; });
    EXPECT_TRUE(w.deviceUnitButton()->isChecked());
    EXPECT_EQ(fieldUnits(w), mu + QStringLiteral("rem/h mrem"));
    EXPECT_EQ(w.thresholdField(Threshold::WarningRate)->text(), QStringLiteral("220"));
    EXPECT_EQ(w.thresholdField(Threshold::WarningRate)->accessibleName(),
              QStringLiteral("Dose rate warning threshold, in microrem per hour"));
    // A screen reader reads a labelled-by relation before the name: the fields have none, and four
    // names that tell level and quantity apart.
    QSet<QString> names;
    for (Threshold t : allThresholds) {
        QAccessibleInterface* field = QAccessible::queryAccessibleInterface(w.thresholdField(t));
        EXPECT_TRUE(field->relations(QAccessible::Label).isEmpty()) << thresholdKey(t).toStdString();
        names.insert(field->text(QAccessible::Name));
    }
    EXPECT_EQ(names.size(), 4);

    deviceUnit.clear();
    LivoraPreferencesWindow none([&] { return deviceUnit; });
    EXPECT_TRUE(none.deviceUnitButton()->isChecked());
    EXPECT_EQ(fieldUnits(none), mu + QStringLiteral("Sv/h mSv"));
    EXPECT_EQ(none.thresholdField(Threshold::DangerRate)->text(), QStringLiteral("11.8"));
}

TEST(PreferencesWindow, UnitButtonsStoreTheChoiceAndRelabelAtOnce)
{
    test::FreshSettings settings;
    auto& store = SettingsStore::shared();
    store.setString(settings::displayUnit, QStringLiteral("rem"));
    LivoraPreferencesWindow w([] { return QStringLiteral("rem"); });
    EXPECT_TRUE(w.remUnitButton()->isChecked());
    EXPECT_EQ(w.remUnitButton()->property("tag").toInt(), 3);

    int strategyChanges = 0;
    QObject::connect(&w, &LivoraPreferencesWindow::unitStrategyChanged, [&] { ++strategyChanges; });
    QTest::mouseClick(w.svUnitButton(), Qt::LeftButton);
    EXPECT_EQ(store.stringForKey(settings::displayUnit), QStringLiteral("Sv"));
    EXPECT_EQ(fieldUnits(w), mu + QStringLiteral("Sv/h mSv"));
    EXPECT_EQ(strategyChanges, 1);

    w.deviceUnitButton()->click();
    EXPECT_FALSE(store.hasStoredValue(settings::displayUnit));
    EXPECT_FALSE(store.objectForKey(settings::displayUnit).isValid());
    EXPECT_EQ(fieldUnits(w), mu + QStringLiteral("rem/h mrem"));

    // The controller's display unit switches the strategy but not the buttons.
    w.setDisplayUnit(QStringLiteral("Sv"));
    EXPECT_EQ(fieldUnits(w), mu + QStringLiteral("Sv/h mSv"));
    EXPECT_TRUE(w.deviceUnitButton()->isChecked());
    w.setDisplayUnit(QString());
    EXPECT_EQ(fieldUnits(w), mu + QStringLiteral("rem/h mrem"));

    // An unknown stored unit checks no button; the fields still write through to the store.
    store.setString(settings::displayUnit, QStringLiteral("gray"));
    LivoraPreferencesWindow odd;
    EXPECT_FALSE(odd.deviceUnitButton()->isChecked() || odd.svUnitButton()->isChecked() || odd.remUnitButton()->isChecked());
    EXPECT_EQ(fieldUnits(odd), mu + QStringLiteral("Sv/h mSv"));
}

TEST(PreferencesWindow, TypedThresholdsTakeEitherDecimalMark)
{
    for (const char* locale : {"en_US", "de_DE"}) {
        test::FreshSettings settings;
        test::LocaleScope scope(locale);
        auto& store = SettingsStore::shared();
        store.setString(settings::displayUnit, QStringLiteral("Sv"));
        LivoraPreferencesWindow w;
        w.show();
        QLineEdit* rate = w.thresholdField(Threshold::WarningRate);
        type(rate, QStringLiteral("1,5"));
        EXPECT_EQ(store.doubleForKey(settings::WarningRateValue), 1.5) << locale;
        store.setDouble(settings::WarningRateValue, 2.2);
        type(rate, QStringLiteral("1.5"));
        EXPECT_EQ(store.doubleForKey(settings::WarningRateValue), 1.5) << locale;
        EXPECT_EQ(rate->text(), QLocale() .toString(1.5)) << locale;

        // In rem the typed number is in the unit shown.
        w.remUnitButton()->click();
        type(w.thresholdField(Threshold::DangerDose), QStringLiteral("1500"));
        EXPECT_EQ(store.doubleForKey(settings::DangerDoseValue), 15.0) << locale;

        // Text that is not a number is refused, shown, and the setting is untouched.
        type(w.thresholdField(Threshold::DangerDose), QStringLiteral("abc"));
        EXPECT_EQ(store.doubleForKey(settings::DangerDoseValue), 15.0) << locale;
        EXPECT_TRUE(w.inputMessage().contains(QStringLiteral("abc"))) << locale;
        EXPECT_EQ(w.thresholdField(Threshold::DangerDose)->text(), QLocale().toString(1500)) << locale;
        type(w.thresholdField(Threshold::DangerDose), QStringLiteral("1600"));
        EXPECT_TRUE(w.inputMessage().isEmpty());

        // A warning at or over its danger threshold, or a danger under its warning, is refused and said.
        type(w.thresholdField(Threshold::WarningDose), QStringLiteral("1600"));
        EXPECT_NE(store.doubleForKey(settings::WarningDoseValue), 16.0) << locale;
        EXPECT_TRUE(w.inputMessage().contains(QLocale().toString(1600))) << locale;
        w.svUnitButton()->click();
        type(w.thresholdField(Threshold::DangerRate), QStringLiteral("1"));
        EXPECT_EQ(store.doubleForKey(settings::DangerRateValue), 11.8) << locale;
        EXPECT_FALSE(w.inputMessage().isEmpty()) << locale;
        w.close();
    }
}

TEST(PreferencesWindow, FieldsFollowTheStoreUnlessBeingEdited)
{
    test::FreshSettings settings;
    LivoraPreferencesWindow w;
    w.show();
    QApplication::setActiveWindow(&w);
    SettingsStore::shared().setDouble(settings::WarningDoseValue, 4.0);
    EXPECT_EQ(w.thresholdField(Threshold::WarningDose)->text(), QStringLiteral("4"));

    QLineEdit* rate = w.thresholdField(Threshold::WarningRate);
    rate->setFocus();
    QTest::keyClicks(rate, QStringLiteral("9"));
    SettingsStore::shared().setDouble(settings::WarningRateValue, 3.0);
    EXPECT_TRUE(rate->text().endsWith(QLatin1Char('9')));
    w.close(); // closing commits what was typed
    EXPECT_EQ(SettingsStore::shared().doubleForKey(settings::WarningRateValue), rate->text().toDouble());
}

TEST(PreferencesWindow, SwatchesDriveTheSharedPickerWhichClosesWithTheWindow)
{
    test::FreshSettings settings;
    LivoraPreferencesWindow w;
    w.show();
    QPushButton* swatch = w.colorSwatch(settings::WarningFontColor);
    ASSERT_TRUE(swatch);
    EXPECT_FALSE(swatch->accessibleName().isEmpty());
    // Described in the user's language: "dark orange (#aa6e00)".
    const auto words = [](const char* key) { return localized(QStringLiteral("preferences.colors.name.") + QLatin1String(key)); };
    const QString darkOrange = words("dark").arg(words("orange")) + QStringLiteral(" (#aa6e00)");
    EXPECT_EQ(swatch->accessibleDescription(), darkOrange);
    EXPECT_EQ(w.colorSwatch(settings::NormalBackgroundColor)->accessibleDescription(),
        localized(QStringLiteral("preferences.colors.system")));

    swatch->click();
    ASSERT_TRUE(LivoraPreferencesWindow::sharedColorDialogExists());
    QColorDialog* picker = LivoraPreferencesWindow::sharedColorDialog();
    EXPECT_TRUE(picker->isVisible());
    EXPECT_EQ(picker->currentColor().name(), QStringLiteral("#aa6e00"));
    EXPECT_TRUE(picker->windowTitle().contains(swatch->accessibleName())) << picker->windowTitle().toStdString();
    picker->setCurrentColor(QColor(10, 20, 30));
    EXPECT_EQ(SettingsStore::shared().colorForKey(settings::WarningFontColor)->toQColor(), QColor(10, 20, 30));
    EXPECT_EQ(swatch->accessibleDescription(), words("black") + QStringLiteral(" (#0a141e)"));

    // Another swatch takes the picker over.
    w.colorSwatch(settings::DangerBarColor)->click();
    picker->setCurrentColor(QColor(1, 2, 3));
    EXPECT_EQ(SettingsStore::shared().colorForKey(settings::WarningFontColor)->toQColor(), QColor(10, 20, 30));
    EXPECT_EQ(SettingsStore::shared().colorForKey(settings::DangerBarColor)->toQColor(), QColor(1, 2, 3));

    w.close();
    EXPECT_FALSE(picker->isVisible());
    // Once closed, the picker no longer writes.
    picker->setCurrentColor(QColor(9, 9, 9));
    EXPECT_EQ(SettingsStore::shared().colorForKey(settings::DangerBarColor)->toQColor(), QColor(1, 2, 3));

    w.showWindow();
    QTest::keyClick(&w, Qt::Key_Escape); // Escape closes too
    EXPECT_FALSE(w.isVisible());

    // Restore puts every colour back to its default.
    w.showWindow();
    for (QPushButton* b : w.findChildren<QPushButton*>())
        if (b->text() == localized(QStringLiteral("preferences.colors.restore")))
            b->click();
    EXPECT_FALSE(SettingsStore::shared().hasStoredValue(settings::WarningFontColor));
    EXPECT_EQ(swatch->accessibleDescription(), darkOrange);
    w.close();
}

TEST(PreferencesWindow, OnlyBarColoursHidesTheOthers)
{
    test::FreshSettings settings;
    LivoraPreferencesWindow w;
    w.setOnlyShowBarColors(true);
    w.show();
    EXPECT_FALSE(w.colorSwatch(settings::NormalFontColor)->isVisible());
    EXPECT_FALSE(w.colorSwatch(settings::DangerBackgroundColor)->isVisible());
    EXPECT_TRUE(w.colorSwatch(settings::DangerBarColor)->isVisible());
    w.close();
}

// Each on/off option (the alerts', the history's recording, MQTT discovery): its box shows the option's default
// (also where no defaults were registered), a click stores it and the store names the key, another
// writer's change shows at once without being written back, and the stored choice reads back
// after a restart.
TEST(PreferencesWindow, OnOffOptionsStoreEachChoiceUnderItsKey)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("settings.conf"));
    SettingsStore::useFile(file);
    LivoraPreferencesWindow w;
    const struct {
        QString key;
        bool byDefault;
    } options[] = {{settings::NotifyLevelChanges, true}, {settings::AlarmSound, false}, {settings::KeepRunningWhenClosed, false},
        {settings::RecordHistory, true}, {settings::MqttDiscovery, true}, {settings::WebPage, false}};
    for (const auto& o : options) {
        SCOPED_TRACE(o.key.toStdString());
        auto* box = w.findChild<QCheckBox*>(o.key);
        ASSERT_TRUE(box);
        EXPECT_FALSE(box->text().isEmpty());
        EXPECT_EQ(box->isChecked(), o.byDefault);
        QSignalSpy changed(&SettingsStore::shared(), &SettingsStore::changed);
        box->click();
        ASSERT_EQ(changed.count(), 1);
        EXPECT_EQ(changed.at(0).at(0).toString(), o.key);
        EXPECT_EQ(SettingsStore::shared().objectForKey(o.key).toBool(), !o.byDefault);
        SettingsStore::shared().setObject(o.key, o.byDefault);
        EXPECT_EQ(box->isChecked(), o.byDefault);
        EXPECT_EQ(changed.count(), 2);
        box->click();
    }
    SettingsStore::useFile(file);
    for (const auto& o : options)
        EXPECT_EQ(SettingsStore::shared().objectForKey(o.key).toBool(), !o.byDefault) << o.key.toStdString();
}

// The MQTT and web page text options: a usable text is stored under its key when the field is left
// (the store names the key once), an empty one removes the key, an unusable one is refused with a
// message and stores nothing, and another writer's change shows. The status lines show what they
// are given.
TEST(PreferencesWindow, TextFieldsStoreUsableTextsUnderTheirKeys)
{
    test::FreshSettings fresh;
    LivoraPreferencesWindow w;
    w.showWindow();
    auto* box = w.mqttBox();
    auto* web = w.webBox();
    ASSERT_TRUE(box && web);
    QTemporaryDir caDir;
    const QString ca = caDir.filePath(QStringLiteral("ca.pem"));
    ASSERT_TRUE(QFile(ca).open(QIODevice::WriteOnly));
    const struct {
        QString key;
        QLineEdit* field;
        QString usable, unusable;
        bool onWebBox = false;
    } fields[] = {
        {settings::MqttBroker, box->brokerField(), QStringLiteral("mqtts://broker.example:8884"), QStringLiteral("http://broker")},
        {settings::MqttTopicPrefix, box->prefixField(), QStringLiteral("home/geiger/SERIAL"), QStringLiteral("home/+/SERIAL")},
        {settings::MqttCaFile, box->caFileField(), ca, caDir.filePath(QStringLiteral("missing.pem"))},
        {settings::WebListen, web->listenField(), QStringLiteral("[::]:8443"), QStringLiteral("localhost:80"), true},
    };
    auto& store = SettingsStore::shared();
    for (const auto& f : fields) {
        SCOPED_TRACE(f.key.toStdString());
        const auto message = [&] { return f.onWebBox ? web->inputMessage() : box->inputMessage(); };
        EXPECT_EQ(f.field->objectName(), f.key);
        QSignalSpy changed(&store, &SettingsStore::changed);
        type(f.field, f.usable);
        ASSERT_EQ(changed.count(), 1);
        EXPECT_EQ(changed.at(0).at(0).toString(), f.key);
        EXPECT_EQ(store.stringForKey(f.key), f.usable);
        EXPECT_TRUE(message().isEmpty());

        type(f.field, f.unusable);
        EXPECT_EQ(changed.count(), 1);
        EXPECT_EQ(store.stringForKey(f.key), f.usable);
        EXPECT_FALSE(message().isEmpty());

        f.field->selectAll();
        QTest::keyClick(f.field, Qt::Key_Backspace);
        QTest::keyClick(f.field, Qt::Key_Return);
        EXPECT_EQ(changed.count(), 2);
        EXPECT_FALSE(store.objectForKey(f.key).isValid());

        w.thresholdField(Threshold::WarningRate)->setFocus();
        store.setString(f.key, f.usable);
        EXPECT_EQ(f.field->text(), f.usable);
    }
    box->setStatus(QStringLiteral("Connected to mqtt://broker:1883"));
    EXPECT_EQ(box->status(), QStringLiteral("Connected to mqtt://broker:1883"));
    web->setStatus(QStringLiteral("Served at http://127.0.0.1:8080/"));
    EXPECT_EQ(web->status(), QStringLiteral("Served at http://127.0.0.1:8080/"));
    w.close();
}

TEST(PreferencesWindow, ScreenshotsOfEachUnitChoice)
{
    test::FreshSettings settings;
    test::LocaleScope scope("en_US");
    LivoraPreferencesWindow w([] { return QStringLiteral("rem"); });
    w.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const std::pair<QRadioButton*, const char*> choices[] = {
        {w.deviceUnitButton(), "device"}, {w.svUnitButton(), "sievert"}, {w.remUnitButton(), "rem"}};
    for (const auto& [button, name] : choices) {
        button->click();
        test::spin(0.05);
        const QImage shot = w.grab().toImage();
        ASSERT_FALSE(shot.isNull());
        EXPECT_GT(shot.width(), 200);
        const QString path = test::artifactsDir() + QStringLiteral("/preferences-%1.png").arg(QLatin1String(name));
        EXPECT_TRUE(shot.save(path)) << qPrintable(path);
    }
    w.close();
}
