#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "app/controller/OQAppDelegate.h"
#include "common/CLibraryLocale.h"
#include "platform/AutostartEntry.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

using namespace oq;

namespace {
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf"))); }
    QTemporaryDir dir;
};
} // namespace

TEST_F(SettingsTest, EmptyStoreReadsEveryRegisteredDefault)
{
    OQAppDelegate controller; // registers the defaults
    auto& s = SettingsStore::shared();
    EXPECT_EQ(s.integerForKey(settings::OnlineMode), 1);
    EXPECT_EQ(s.doubleForKey(settings::WarningRateValue), 2.2);
    EXPECT_EQ(s.doubleForKey(settings::DangerRateValue), 11.8);
    EXPECT_EQ(s.doubleForKey(settings::WarningDoseValue), 10.0);
    EXPECT_EQ(s.doubleForKey(settings::DangerDoseValue), 20.0);
    EXPECT_FALSE(s.objectForKey(settings::displayUnit).isValid());
    EXPECT_EQ(settings::defaults().size(), 14);

    const auto green = s.colorForKey(settings::NormalFontColor);
    ASSERT_TRUE(green);
    EXPECT_EQ(green->red, 0.117647059); // exact, to the last digit
    EXPECT_EQ(green->green, 0.509803922);
    EXPECT_EQ(green->blue, 0.117647059);
    EXPECT_EQ(green->alpha, 1.0);
    const auto amber = s.colorForKey(settings::WarningBarColor);
    ASSERT_TRUE(amber);
    EXPECT_EQ(*amber, ArchivedColor::rgba(0.666666667, 0.431372549, 0.0, 1.0));
    EXPECT_EQ(*s.colorForKey(settings::DangerFontColor), ArchivedColor::grey(1.0, 1.0));
    EXPECT_EQ(*s.colorForKey(settings::DangerBackgroundColor), ArchivedColor::rgba(0.862745098, 0.0, 0.082352941, 1.0));
    EXPECT_EQ(s.colorForKey(settings::NormalBackgroundColor)->kind, ArchivedColor::Kind::WindowBackground);
    // Defaults are never written to disk.
    EXPECT_FALSE(s.hasStoredValue(settings::OnlineMode));
}

TEST_F(SettingsTest, RemovingAKeyRestoresItsDefaultAndEveryWriteNotifies)
{
    OQAppDelegate controller;
    auto& s = SettingsStore::shared();
    QSignalSpy changed(&s, &SettingsStore::changed);
    s.setDouble(settings::DangerRateValue, 50.5);
    EXPECT_EQ(s.doubleForKey(settings::DangerRateValue), 50.5);
    s.removeObject(settings::DangerRateValue);
    EXPECT_EQ(s.doubleForKey(settings::DangerRateValue), 11.8);
    ASSERT_EQ(changed.count(), 2);
    EXPECT_EQ(changed.at(0).at(0).toString(), settings::DangerRateValue);
    EXPECT_EQ(changed.at(1).at(0).toString(), settings::DangerRateValue);
}

TEST_F(SettingsTest, BindingsFollowEveryWriter)
{
    OQAppDelegate controller;
    auto& s = SettingsStore::shared();
    EXPECT_EQ(controller.onlineMode().toInt(), 1);
    EXPECT_TRUE(controller.preferredDisplayUnit().isNull());

    QSignalSpy mode(&controller, &OQAppDelegate::onlineModeChanged);
    s.setInteger(settings::OnlineMode, 2);
    EXPECT_EQ(controller.onlineMode().toInt(), 2);
    EXPECT_EQ(mode.count(), 1);

    s.setString(settings::displayUnit, QStringLiteral("rem"));
    EXPECT_EQ(controller.preferredDisplayUnit(), QStringLiteral("rem"));
    s.removeObject(settings::displayUnit);
    EXPECT_TRUE(controller.preferredDisplayUnit().isNull());
}

TEST_F(SettingsTest, ColourArchiveRoundTripsExactlyAndRejectsGarbage)
{
    const auto c = ArchivedColor::rgba(0.1, 1.0 / 3.0, 0.999999999999, 0.5);
    EXPECT_EQ(ArchivedColor::unarchive(c.archive()), c);
    EXPECT_EQ(ArchivedColor::unarchive(ArchivedColor::grey(0.25, 1).archive()), ArchivedColor::grey(0.25, 1));
    for (const char* bad : {"", "rgba", "rgba 1 2 3 4", "rgba 0.1 0.2 0.3", "rgba nan 0 0 1", "rgba -0.1 0 0 1",
             "grey 0.5", "system", "system other", "rgba 0.1 0.2 0.3 0.4 0.5", "\xff\xfe", "rgba 1e999 0 0 1"})
        EXPECT_FALSE(ArchivedColor::unarchive(QString::fromLatin1(bad))) << bad;

    // The window background is read from the palette at the time of decoding.
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(10, 20, 30));
    EXPECT_EQ(ArchivedColor::windowBackground().toQColor(dark), QColor(10, 20, 30));
}

TEST_F(SettingsTest, ColoursAreWrittenAlikeInEveryLocaleAndCommaFormsStillRead)
{
    test::CLibraryLocale german(test::kGermanLocale);
    ASSERT_TRUE(german.active() && german.decimalComma()) << test::kMissingGerman;
    const auto green = *ArchivedColor::unarchive(settings::defaults().value(settings::NormalFontColor).toString());
    EXPECT_EQ(green.archive(), QStringLiteral("rgba 0.117647059 0.50980392200000002 0.117647059 1"));
    EXPECT_EQ(ArchivedColor::unarchive(QStringLiteral("rgba 0,117647059 0,50980392200000002 0,117647059 1")), green);
    EXPECT_EQ(ArchivedColor::unarchive(QStringLiteral("grey 0,25 1")), ArchivedColor::grey(0.25, 1));
    for (const char* bad : {"rgba 0,1,2 0 0 1", "grey 0,5.5 1", "rgba 1,5 0 0 1"})
        EXPECT_FALSE(ArchivedColor::unarchive(QString::fromLatin1(bad))) << bad;

    // A settings file written by an earlier version under German: every colour reads, and is
    // rewritten in the form every version reads; nothing else changes.
    const QString path = dir.filePath(QStringLiteral("german.conf"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[General]\nOnlineMode=2\nNormalFontColor=\"rgba 0,5 0,25 0 1\"\n"
                "WarningFontColor=grey 0,75 1\nWarningRateValue=3.5\n");
    }
    SettingsStore::useFile(path);
    auto& s = SettingsStore::shared();
    EXPECT_EQ(s.colorForKey(settings::NormalFontColor), ArchivedColor::rgba(0.5, 0.25, 0, 1));
    EXPECT_EQ(s.colorForKey(settings::WarningFontColor), ArchivedColor::grey(0.75, 1));
    EXPECT_EQ(s.integerForKey(settings::OnlineMode), 2);
    EXPECT_EQ(s.doubleForKey(settings::WarningRateValue), 3.5);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray written = f.readAll();
    EXPECT_TRUE(written.contains("rgba 0.5 0.25 0 1")) << written.constData();
    EXPECT_TRUE(written.contains("grey 0.75 1")) << written.constData();
}

TEST_F(SettingsTest, UnreadableValuesFallBackSafely)
{
    OQAppDelegate controller;
    auto& s = SettingsStore::shared();
    s.setString(settings::OnlineMode, QStringLiteral("banana"));
    EXPECT_EQ(s.integerForKey(settings::OnlineMode), 0); // starts no mode rather than a wrong one
    s.setString(settings::NormalFontColor, QStringLiteral("rgba 7 7 7 7"));
    EXPECT_FALSE(s.colorForKey(settings::NormalFontColor));
}

TEST(SettingsFile, CorruptFileStartsWithDefaultsAndIsKeptAside)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("oq.conf"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[General]\nOnlineMode=2\n\x00\x01\xff garbage [[[ \n=\n", 40);
    }
    SettingsStore::useFile(path);
    auto& s = SettingsStore::shared();
    s.registerDefaults(settings::defaults());
    EXPECT_EQ(s.integerForKey(settings::OnlineMode), 1);
    ASSERT_FALSE(s.preservedCorruptFile().isEmpty());
    EXPECT_TRUE(QFile::exists(s.preservedCorruptFile()));
    QFile kept(s.preservedCorruptFile());
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_TRUE(kept.readAll().contains("garbage"));
}

TEST(AutostartEntry, SwitchedOffAsTheDesktopWritesItOnlyInTheEntrysGroup)
{
    QTemporaryDir dir;
    const QByteArray old = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    ASSERT_TRUE(autostart::enable(QStringLiteral("/usr/bin/oq-online"), {QStringLiteral("--hidden")}, nullptr));
    QFile entry(autostart::entryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QByteArray written = entry.readAll();
    entry.close();
    EXPECT_TRUE(written.contains("\nTryExec=/usr/bin/oq-online\n")) << written.toStdString();
    for (const auto& [added, enabled] : {std::pair{"", true}, {"Hidden=true\n", false}, {"Hidden = true\n", false},
             {"X-GNOME-Autostart-enabled = false\n", false}, {"Hidden=false\n", true}, {"[Desktop Action x]\nHidden=true\n", true}}) {
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write(written + added);
        entry.close();
        EXPECT_EQ(autostart::isEnabled(), enabled) << added;
    }
    qputenv("XDG_CONFIG_HOME", old);
}
