#include <gtest/gtest.h>

#include <QSignalSpy>

#include <cmath>
#include <limits>

#include "readings/NumberFormatter.h"
#include "readings/ValueTransformers.h"
#include "common/FreshSettings.h"

namespace {

const QString mu(QChar(0x03BC));

using oq::test::LocaleScope;

} // namespace

TEST(OnlineOutput, ReadsMicroMilliAndPlainSievertAndRem)
{
    DeviceOnlineOutputValueTransformer t;
    auto v = t.transformedValue(QStringLiteral("0,123 uSv/h\r\n"));
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, double(0.123f));
    EXPECT_EQ(t.unit(), QStringLiteral("Sv"));

    v = t.transformedValue(QStringLiteral("0,123 Sv"));
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 1.0 * (double(0.123f) * 1000000));
    EXPECT_NEAR(*v, 123000, 0.01);

    v = t.transformedValue(QStringLiteral("1,5 mSv"));
    EXPECT_EQ(*v, 1500);

    v = t.transformedValue(QStringLiteral("12,0 urem/h"));
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 12 * 0.009999999776482582);
    EXPECT_EQ(t.unit(), QStringLiteral("rem"));

    v = t.transformedValue(QStringLiteral("12,5 mrem"));
    EXPECT_EQ(*v, 12.5 * 1000 * 0.009999999776482582);
    EXPECT_EQ(t.unit(), QStringLiteral("rem"));
}

TEST(OnlineOutput, EmptyDigitRunsAndOddSpacing)
{
    DeviceOnlineOutputValueTransformer t;
    EXPECT_EQ(t.transformedValue(QStringLiteral(",5uSv")), 0.5);
    EXPECT_EQ(t.transformedValue(QStringLiteral("7,  \t uSv")), 7.0);
    EXPECT_EQ(t.transformedValue(QStringLiteral(", uSv")), 0.0); // a lone comma counts as 0
}

TEST(OnlineOutput, UpperCasePrefixIsScaledLikeLowerCase)
{
    DeviceOnlineOutputValueTransformer t;
    EXPECT_EQ(t.transformedValue(QStringLiteral("0,5 USV/H")), double(0.5f));
    EXPECT_EQ(t.unit(), QStringLiteral("Sv"));
    EXPECT_EQ(t.transformedValue(QStringLiteral("2,0 Msv")), 2000);
    EXPECT_EQ(t.transformedValue(QStringLiteral("1,0 MREM")), 1000 * 0.009999999776482582);
}

TEST(OnlineOutput, LinesWithoutAValueAndAbsentLines)
{
    DeviceOnlineOutputValueTransformer t;
    QSignalSpy spy(&t, &DeviceOnlineOutputValueTransformer::unitChanged);
    ASSERT_TRUE(t.transformedValue(QStringLiteral("1,0 urem")));
    EXPECT_EQ(spy.count(), 1);

    // An absent line gives 0 and keeps the unit.
    EXPECT_EQ(t.transformedValue(std::nullopt), 0.0);
    EXPECT_EQ(t.unit(), QStringLiteral("rem"));
    EXPECT_EQ(spy.count(), 1);

    // Line noise and parity errors ("?") make a garbled line, never a reading, wherever they are.
    for (const char* line : {"0.123 uSv/h", "", "R", "uSv", "123 uSv", "PC-Mode gestartet", "\r\n", "x920,5 uSv",
             "\x01\xfe" "920,5 uSv/h\r\n", "?0,5 uSv/h\r\n", "0,?5 uSv/h\r\n", "0,5 uS?v/h\r\n", "0,5 uSv/h?\r\n",
             " 0,5 uSv/h", "0,5 uSv/hx\r\n", "0,5 uSv/h\r\n\r\n", "1,0 uSv 2,0 uSv", "3,0 uSv 4,0 urem", "0,5 uSvrem"}) {
        EXPECT_FALSE(t.transformedValue(QString::fromLatin1(line))) << line;
        EXPECT_TRUE(t.unit().isNull()) << line;
    }
    EXPECT_EQ(spy.count(), 2);
}

TEST(OnlineOutput, HostileLinesNeverCrash)
{
    DeviceOnlineOutputValueTransformer t;
    const QString huge = QString(5000, QLatin1Char('9')) + QStringLiteral(",") + QString(5000, QLatin1Char('9'))
        + QStringLiteral(" Sv");
    auto v = t.transformedValue(huge);
    ASSERT_TRUE(v); // too long for a double: read as 0
    EXPECT_EQ(*v, 0.0);
    v = t.transformedValue(QStringLiteral("99999999999999999999999999999999999999999,0 Sv"));
    ASSERT_TRUE(v);
    EXPECT_TRUE(std::isinf(*v));
    EXPECT_FALSE(t.transformedValue(QString(3000, QChar(0xD800)))); // lone surrogates
    EXPECT_FALSE(t.transformedValue(QString(20000, QLatin1Char('1'))));
    // Arabic-Indic digits are not counter digits.
    EXPECT_FALSE(t.transformedValue(QString(QChar(0x0661)) + QStringLiteral(",") + QChar(0x0662) + QStringLiteral("Sv")));
}

TEST(DisplayValue, SievertRateForms)
{
    LocaleScope en("en_US");
    DoseRateValueTransformer t(QStringLiteral("Sv"));
    EXPECT_EQ(t.transformedValue(0.5), QStringLiteral("0.500 ") + mu + QStringLiteral("Sv/h"));
    EXPECT_EQ(t.transformedValue(1000), QStringLiteral("1,000.000 ") + mu + QStringLiteral("Sv/h"));
    EXPECT_EQ(t.transformedValue(1500), QStringLiteral("1.500 mSv/h"));
    EXPECT_EQ(t.transformedValue(1000000), QStringLiteral("1,000.000 mSv/h"));
    EXPECT_EQ(t.transformedValue(2500000), QStringLiteral("2.500 Sv/h"));
    EXPECT_EQ(t.transformedValue(std::nullopt), QStringLiteral("---"));
    EXPECT_EQ(t.transformedValue(std::nan("")), QStringLiteral("--- ") + mu + QStringLiteral("Sv/h"));
    EXPECT_EQ(t.transformedValue(1e300), QStringLiteral("\u221E Sv/h"));
}

TEST(DisplayValue, RemFormsAndUnitSelection)
{
    LocaleScope en("en_US");
    DoseRateValueTransformer rate(QStringLiteral("rem"));
    EXPECT_EQ(rate.transformedValue(1.5), QStringLiteral("150.0 ") + mu + QStringLiteral("rem/h"));
    EXPECT_EQ(rate.transformedValue(12), QStringLiteral("1.2 mrem/h"));
    EXPECT_EQ(rate.transformedValue(0.12345), QStringLiteral("12.345 ") + mu + QStringLiteral("rem/h"));

    DoseValueTransformer dose(QStringLiteral("Sv"));
    EXPECT_EQ(dose.transformedValue(56), QStringLiteral("56.000 ") + mu + QStringLiteral("Sv"));
    EXPECT_EQ(DoseValueTransformer().transformedValue(15), QStringLiteral("1.5 mrem"));

    // Only the exact text "Sv" selects sievert.
    for (const QString& unit : {QStringLiteral("sv"), QString(), QStringLiteral("SV"), QStringLiteral("rem")}) {
        auto t = DoseRateValueTransformer::initWithUnit(unit);
        EXPECT_FALSE(t->isSievert()) << qPrintable(unit);
        EXPECT_EQ(t->singleFormat(), QStringLiteral("%@ rem/h"));
        EXPECT_EQ(t->microFormat(), QStringLiteral("%@ ") + mu + QStringLiteral("rem/h"));
        EXPECT_EQ(t->valueFactor(), 100.0f);
    }
    EXPECT_EQ(DoseValueTransformer::initWithUnit(QStringLiteral("Sv"))->milliFormat(), QStringLiteral("%@ mSv"));
}

TEST(DisplayValue, FollowsTheGermanLocale)
{
    LocaleScope de("de_DE");
    DoseRateValueTransformer sv(QStringLiteral("Sv"));
    EXPECT_EQ(sv.transformedValue(0.5), QStringLiteral("0,500 ") + mu + QStringLiteral("Sv/h"));
    EXPECT_EQ(sv.transformedValue(1000), QStringLiteral("1.000,000 ") + mu + QStringLiteral("Sv/h"));
    EXPECT_EQ(DoseRateValueTransformer(QStringLiteral("rem")).transformedValue(12), QStringLiteral("1,2 mrem/h"));
}

TEST(NumberFormat, RoundsTheShortestDecimalHalfToEven)
{
    oq::NumberFormatter f(QLocale(QStringLiteral("en_US")));
    f.setMinimumFractionDigits(0);
    f.setMaximumFractionDigits(3);
    EXPECT_EQ(f.stringFromNumber(0.0125), QStringLiteral("0.012"));
    EXPECT_EQ(f.stringFromNumber(0.0135), QStringLiteral("0.014"));
    EXPECT_EQ(f.stringFromNumber(0.01250001), QStringLiteral("0.013"));
    EXPECT_EQ(f.stringFromNumber(999.9996), QStringLiteral("1,000"));
    EXPECT_EQ(f.stringFromNumber(-0.0001), QStringLiteral("0"));
    EXPECT_EQ(f.stringFromNumber(-1234567.5), QStringLiteral("-1,234,567.5"));
    EXPECT_EQ(f.stringFromNumber(1e-7), QStringLiteral("0"));
    f.setMaximumFractionDigits(0);
    EXPECT_EQ(f.stringFromNumber(2.5), QStringLiteral("2"));
    EXPECT_EQ(f.stringFromNumber(3.5), QStringLiteral("4"));
    EXPECT_EQ(f.stringFromNumber(std::numeric_limits<double>::max()).size(), 309 + 102);
}

TEST(NumberFormat, TypedThresholdsAcceptEitherDecimalMark)
{
    for (const char* locale : {"en_US", "de_DE"}) {
        oq::FloatingPointFormatter f{QLocale(QString::fromLatin1(locale))};
        for (const char* text : {"1,5", "1.5", " 1.5 ", "+1,5"}) {
            double v = 0;
            EXPECT_TRUE(f.getObjectValue(&v, QString::fromLatin1(text), nullptr)) << locale << " " << text;
            EXPECT_EQ(v, 1.5) << locale << " " << text;
        }
        double v = 7;
        QString error;
        for (const char* text : {"abc", "", "1.5x", "--1", "1e999", "nan", "inf", "1..5", "1,5,5"}) {
            EXPECT_FALSE(f.getObjectValue(&v, QString::fromLatin1(text), &error)) << locale << " " << text;
            EXPECT_EQ(v, 7);
        }
        EXPECT_TRUE(f.isPartialStringValid(QStringLiteral("1,"), nullptr, nullptr));
    }
    double v = 0;
    oq::FloatingPointFormatter en{QLocale(QStringLiteral("en_US"))};
    EXPECT_TRUE(en.getObjectValue(&v, QStringLiteral("1,500.25"), nullptr));
    EXPECT_EQ(v, 1500.25);
    EXPECT_TRUE(en.getObjectValue(&v, QStringLiteral("-2e3"), nullptr));
    EXPECT_EQ(v, -2000);
    oq::FloatingPointFormatter de{QLocale(QStringLiteral("de_DE"))};
    EXPECT_TRUE(de.getObjectValue(&v, QStringLiteral("1.500,25"), nullptr));
    EXPECT_EQ(v, 1500.25);
    EXPECT_EQ(de.stringForObjectValue(2000.5), QStringLiteral("2.000,5"));
}
