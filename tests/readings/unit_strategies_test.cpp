#include <gtest/gtest.h>

#include "common/FreshSettings.h"
#include "readings/UnitStrategies.h"

using namespace oq;

TEST(UnitStrategies, SievertShowsAndStoresUnchanged)
{
    test::FreshSettings settings;
    SvUnitStrategy sv;
    EXPECT_EQ(sv.warningRateValue(), 2.2);
    sv.setDangerRateValue(11.8);
    EXPECT_EQ(sv.dangerRateValue(), 11.8);
    EXPECT_EQ(SettingsStore::shared().doubleForKey(settings::DangerRateValue), 11.8);
    EXPECT_EQ(sv.doseUnit(), QStringLiteral("mSv"));
    EXPECT_EQ(sv.rateUnit(), QString(QChar(0x03BC)) + QStringLiteral("Sv/h"));
}

TEST(UnitStrategies, RemScalesBothWays)
{
    test::FreshSettings settings;
    RemUnitStrategy rem;
    EXPECT_EQ(rem.dangerDoseValue(), 2000.0);
    EXPECT_EQ(rem.warningRateValue(), 220.0); // exactly, through single precision
    rem.setDangerDoseValue(1500);
    EXPECT_EQ(SettingsStore::shared().doubleForKey(settings::DangerDoseValue), 15.0);
    rem.setDangerRateValue(1180);
    EXPECT_EQ(SettingsStore::shared().doubleForKey(settings::DangerRateValue), double(1180.0f) * 0.01);
    EXPECT_EQ(rem.doseUnit(), QStringLiteral("mrem"));
    EXPECT_EQ(rem.rateUnit(), QString(QChar(0x03BC)) + QStringLiteral("rem/h"));
    EXPECT_EQ(RemUnitStrategy::outValue(2.2), 220.0f);
    EXPECT_EQ(RemUnitStrategy::inValue(220), double(220.0f) * 0.01);
}

TEST(UnitStrategies, ReadTheStoreAtEveryCall)
{
    test::FreshSettings settings;
    SvUnitStrategy sv;
    RemUnitStrategy rem;
    SettingsStore::shared().setDouble(settings::WarningDoseValue, 3.5);
    EXPECT_EQ(sv.warningDoseValue(), 3.5);
    EXPECT_EQ(rem.warningDoseValue(), 350.0);
    rem.setWarningDoseValue(700);
    EXPECT_EQ(sv.warningDoseValue(), 7.0);
    SettingsStore::shared().removeObject(settings::WarningDoseValue);
    EXPECT_EQ(sv.warningDoseValue(), 10.0);
    // Written by hand with a decimal comma, or by an earlier version under a German locale.
    SettingsStore::shared().setString(settings::WarningDoseValue, QStringLiteral("2,5"));
    EXPECT_EQ(sv.warningDoseValue(), 2.5);
    // A value that is not a number reads as the default.
    for (const char* bad : {"lots", "1,5,0", "nan", "1.5.0", ""}) {
        SettingsStore::shared().setString(settings::WarningDoseValue, QString::fromLatin1(bad));
        EXPECT_EQ(sv.warningDoseValue(), 10.0) << bad;
        EXPECT_EQ(rem.warningDoseValue(), 1000.0) << bad;
    }
}

TEST(UnitStrategies, BaseHoldsItsOwnNumbersWithoutUnits)
{
    test::FreshSettings settings;
    PreferenceUnitStrategy base;
    EXPECT_FALSE(base.warningRateValue());
    base.setWarningRateValue(99);
    EXPECT_EQ(base.warningRateValue(), 99.0);
    EXPECT_EQ(SettingsStore::shared().doubleForKey(settings::WarningRateValue), 2.2);
    EXPECT_TRUE(base.doseUnit().isEmpty());
    EXPECT_TRUE(base.rateUnit().isEmpty());
}
