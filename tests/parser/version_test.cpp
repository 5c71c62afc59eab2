// The version record: parse_v, parseVersion and OQDeviceInfo.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <QTimeZone>

#include <cstdlib>
#include <ctime>
#include <string>

#include "Recorder.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQParser.h"

using namespace parser_test;
using ::testing::ElementsAre;

namespace {

struct VResult {
    std::string message; // empty on success
    float version = -1;
    uint16_t validBytes = 0;
};

VResult runV(std::string line)
{
    VResult r;
    const char* m = parse_v(recorder(), line.data(), &r.version, &r.validBytes);
    if (m)
        r.message = m;
    return r;
}

} // namespace

TEST(ParseV, Version199IsTheOldestAcceptedRecord)
{
    const auto r = runV("Version 1.99");
    EXPECT_EQ(r.message, "");
    EXPECT_FLOAT_EQ(r.version, 1.99f);
    EXPECT_EQ(r.validBytes, 0);
    EXPECT_THAT(calls(), ElementsAre("version_line Version 1.99", "fw_version 1.99", "fw_tube N/A", "type N/A",
                             "date N/A", "time N/A", "hw_info N/A"));
    EXPECT_EQ(runV("Version 1.98").message, "parse_v: dump too old: 1.98");
}

TEST(ParseV, ShortFormAndLengths)
{
    auto r = runV("Version 2.0c");
    EXPECT_EQ(r.message, "");
    EXPECT_FLOAT_EQ(r.version, 2.03f);
    EXPECT_THAT(callsOf("fw_version"), ElementsAre("2.0c (2.03)"));

    r = runV("Version 2.0t");
    EXPECT_EQ(r.message, "parse_v: length of fw version is non-standard: 3");
    r = runV("Version 2.0");
    EXPECT_EQ(r.message, "parse_v: length of fw version is non-standard: 3");
    r = runV("Version 5.100");
    EXPECT_EQ(r.message, "") << "five characters are allowed";
    r = runV("Version 5.1000");
    EXPECT_EQ(r.message, "parse_v: length of fw version is non-standard: 6");
    r = runV("Version abc");
    EXPECT_EQ(r.message, "parse_v: length of fw version is non-standard: 0");
    EXPECT_EQ(r.version, 0.0f);
    // Exponents belong to the number; the tube letter may not be mistaken for one.
    r = runV("Version 2.0e");
    EXPECT_FLOAT_EQ(r.version, 2.05f);
}

TEST(ParseV, VersionIsReportedEvenWhenALaterCheckFails)
{
    const auto r = runV("Version 6.10");
    EXPECT_EQ(r.message, "parse_v: S/N missing");
    EXPECT_FLOAT_EQ(r.version, 6.10f);
    EXPECT_THAT(calls(), ElementsAre("version_line Version 6.10", "fw_version 6.10", "fw_tube N/A", "type N/A",
                             "features N/A", "hw_info N/A"));
}

TEST(ParseV, TubePowerAndFeatures)
{
    auto r = runV("Version 7.14Lb07 6240 1FFF 24.12.20 18:30:05");
    EXPECT_EQ(r.message, "");
    EXPECT_THAT(calls(), ElementsAre("version_line Version 7.14Lb07 6240 1FFF 24.12.20 18:30:05",
                             "fw_version 7.14Lb07", "fw_tube LND 712", "type Batt", "features 7",
                             "serial_number 6240", "date 24.12.20", "time 18:30:05"));
    EXPECT_EQ(r.validBytes, 0x1FFF);

    runV("Version 7.14Xb07 6240 1FFF 24.12.20 18:30:05");
    EXPECT_THAT(calls()[2], "bad_data 4 0");
    EXPECT_THAT(callsOf("fw_tube"), ElementsAre("unknown"));

    runV("Version 7.14cA17 6240 1FFF 24.12.20 18:30:05");
    EXPECT_THAT(callsOf("fw_tube"), ElementsAre("ZP 1401"));
    EXPECT_THAT(callsOf("type"), ElementsAre("Akku"));
    EXPECT_THAT(callsOf("features"), ElementsAre("17"));

    runV("Version 7.14nz1 6240 1FFF 24.12.20 18:30:05");
    EXPECT_THAT(callsOf("fw_tube"), ElementsAre("N205"));
    EXPECT_THAT(callsOf("type"), ElementsAre("unknown"));
    EXPECT_THAT(callsOf("features"), ElementsAre("unknown"));
    EXPECT_THAT(callsOf("bad_data"), ElementsAre("5 0", "6 0"));

    runV("Version 7.14L 6240 1FFF 24.12.20 18:30:05");
    EXPECT_THAT(callsOf("type"), ElementsAre("N/A"));
    EXPECT_THAT(callsOf("features"), ElementsAre("N/A"));
    runV("Version 7.14Lb 6240 1FFF 24.12.20 18:30:05");
    EXPECT_THAT(callsOf("features"), ElementsAre("N/A"));
}

TEST(ParseV, SerialRangeIsBadDataNotFailure)
{
    for (const char* serial : {"6239", "150001", "abc", "99999999999999999999"}) {
        const auto r = runV(std::string("Version 7.14Lb07 ") + serial + " 0100 24.12.20 18:30:05");
        EXPECT_EQ(r.message, "");
        EXPECT_THAT(callsOf("bad_data"), ElementsAre("1 0")) << serial;
        EXPECT_THAT(callsOf("serial_number"), ElementsAre(serial));
    }
    runV("Version 7.14Lb07 150000 0100 24.12.20 18:30:05");
    EXPECT_TRUE(callsOf("bad_data").empty());
}

TEST(ParseV, SizeField)
{
    auto r = runV("Version 7.14Lb07 6240 0006 24.12.20 18:30:05");
    EXPECT_EQ(r.message, "parse_v: amount of valid bytes seems wrong: 0006");
    EXPECT_EQ(r.validBytes, 0) << "left as preset";
    r = runV("Version 7.14Lb07 6240 0007 24.12.20 18:30:05");
    EXPECT_EQ(r.validBytes, 7);
    r = runV("Version 7.14Lb07 6240 1FFFF 24.12.20 18:30:05");
    EXPECT_EQ(r.validBytes, 0xFFFF);
    r = runV("Version 7.14Lb07 6240 10000 24.12.20 18:30:05");
    EXPECT_EQ(r.message, "parse_v: amount of valid bytes seems wrong: 10000");
    r = runV("Version 7.14Lb07 6240 FFFFFFFFFFFFFFFFFFFFFFFF0041 24.12.20 18:30:05");
    EXPECT_EQ(r.validBytes, 0x41) << "the low 16 bits of a long text";
}

TEST(ParseV, SurplusTokensDependOnTheVersionBand)
{
    const std::string five = " HW1 6240 0100 24.12.20 18:30:05";
    EXPECT_EQ(runV("Version 7.03Lb07" + five).message, "parse_v: output contains additional crap: \"18:30:05\"");
    auto r = runV("Version 6.90Lb07" + five);
    EXPECT_EQ(r.message, "");
    EXPECT_THAT(callsOf("hw_info"), ElementsAre("HW1"));
    EXPECT_EQ(runV("Version 6.50Lb07" + five).message, "parse_v: output contains additional crap: \"18:30:05\"");
    // Below 6.0195 nothing after the version is looked at.
    r = runV("Version 6.01Lb07" + five + " more tokens here");
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.validBytes, 0);
    // Only eight tokens are taken.
    EXPECT_EQ(runV("Version 6.90Lb07" + five + "\t").message, "");
}

TEST(ParseV, EveryMissingFieldInOrder)
{
    EXPECT_EQ(runV("").message, "parse_v: magic missing");
    EXPECT_EQ(runV(" \t  ").message, "parse_v: magic missing");
    EXPECT_EQ(runV("version 7.14Lb07 6240 0100 24.12.20 18:30:05").message, "parse_v: magic missing");
    EXPECT_EQ(runV("Version").message, "parse_v: version missing");
    EXPECT_EQ(runV("Version 6.95Lb07").message, "parse_v: HW info missing");
    EXPECT_EQ(runV("Version 6.95Lb07 HW").message, "parse_v: S/N missing");
    EXPECT_EQ(runV("Version 7.14Lb07 6240").message, "parse_v: size missing");
    EXPECT_EQ(runV("Version 7.14Lb07 6240 0100").message, "parse_v: date missing");
    EXPECT_EQ(runV("Version 7.14Lb07 6240 0100 24.12.20").message, "parse_v: time missing");
    EXPECT_EQ(runV("  Version\t\t7.14Lb07  6240 0100 24.12.20 18:30:05  ").message, "");
}

TEST(ParseV, MessagesAreCutAt255Characters)
{
    const std::string tail(400, 'x');
    const auto r = runV("Version 7.14Lb07 6240 0100 24.12.20 18:30:05 " + tail);
    EXPECT_EQ(r.message.size(), 255u);
    EXPECT_EQ(r.message.rfind("parse_v: output contains additional crap: \"xxx", 0), 0u);
}

TEST(ParseVersion, RecordMapAndErrors)
{
    auto map = parseVersion(QStringLiteral("Version 7.14Lb07 6240 1FFF 24.12.20 18:30:05"));
    ASSERT_TRUE(map);
    EXPECT_EQ(map->value("fw_version").toString(), "7.14Lb07");
    EXPECT_EQ(map->value("fw_tube").toString(), "LND 712");
    EXPECT_EQ(map->value("type").toString(), "Batt");
    EXPECT_EQ(map->value("features").toString(), "7");
    EXPECT_EQ(map->value("serial_number").toString(), "6240");
    EXPECT_EQ(map->value("protocol_length").toUInt(), 0x1FFFu);
    EXPECT_FALSE(map->contains("hw_info"));

    map = parseVersion(QStringLiteral("Version 1.99"));
    ASSERT_TRUE(map);
    EXPECT_EQ(map->value("protocol_length").toUInt(), 0u);
    EXPECT_EQ(map->value("hw_info").toString(), "N/A");

    oq::ErrorRecord error;
    EXPECT_FALSE(parseVersion(QStringLiteral("Version 7.14Lb07 6240 0006 24.12.20 18:30:05"), &error));
    EXPECT_EQ(error.domain(), QString::fromLatin1(OQParserErrorDomain));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(), "parse_v: amount of valid bytes seems wrong: 0006");
    EXPECT_EQ(error.userInfo().size(), 1);

    // A fresh map after a failure: nothing of the failed record leaks into the next.
    map = parseVersion(QStringLiteral("Version 1.99"));
    ASSERT_TRUE(map);
    EXPECT_FALSE(map->contains("serial_number"));
}

TEST(DeviceInfo, FieldsFeaturesAndTrimming)
{
    const auto a = OQDeviceInfo::initWithVersionString(QStringLiteral("Version 7.14Lb07 6240 1FFF 24.12.20 18:30:05"));
    const auto b = OQDeviceInfo::initWithVersionString(QStringLiteral("\t Version 7.14Lb07 6240 1FFF 24.12.20 18:30:05\r\n"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->versionString(), a->versionString());
    EXPECT_EQ(b->serialNumber(), "6240");
    EXPECT_EQ(b->firmwareVersion(), "7.14Lb07");
    EXPECT_EQ(b->protocolLength(), 0x1FFF);
    EXPECT_EQ(b->features(), "7");
    EXPECT_TRUE(b->hasOnline() && b->hasAlert());

    const struct { const char* features; bool online, alert; } cases[] = {
        {"04", true, false}, {"01", false, true}, {"05", true, true}, {"17", false, true}, {"0x", false, false},
        {"", false, false}, {"0", false, false}};
    for (const auto& c : cases) {
        const auto info = OQDeviceInfo::initWithVersionString(
            QStringLiteral("Version 7.14Lb%1 6240 1FFF 24.12.20 18:30:05").arg(QLatin1String(c.features)));
        ASSERT_TRUE(info) << c.features;
        EXPECT_EQ(info->hasOnline(), c.online) << c.features;
        EXPECT_EQ(info->hasAlert(), c.alert) << c.features;
    }

    EXPECT_FALSE(OQDeviceInfo::initWithVersionString(QStringLiteral("Versio 7.14Lb07 6240 1FFF 24.12.20 18:30:05")));
}

TEST(DeviceInfo, OldRecord)
{
    const auto info = OQDeviceInfo::initWithVersionString(QStringLiteral("Version 1.99"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->firmwareVersion(), "1.99");
    EXPECT_EQ(info->dateString(), "N/A");
    EXPECT_EQ(info->timeString(), "N/A");
    EXPECT_TRUE(info->serialNumber().isEmpty());
    EXPECT_TRUE(info->features().isEmpty());
    EXPECT_EQ(info->protocolLength(), 0);
    EXPECT_FALSE(info->hasOnline() || info->hasAlert());
    EXPECT_FALSE(info->date());
}

TEST(DeviceInfo, DateIsReadInTheLocalZone)
{
    const QByteArray oldTz = qgetenv("TZ");
    for (const char* zone : {"Europe/Berlin", "America/New_York", "UTC"}) {
        qputenv("TZ", zone);
        tzset();
        const auto info = OQDeviceInfo::initWithVersionString(QStringLiteral("Version 7.14Lb07 6240 1FFF 24.12.20 18:30:05"));
        ASSERT_TRUE(info);
        const auto date = info->date();
        ASSERT_TRUE(date) << zone;
        const QDateTime expected(QDate(2020, 12, 24), QTime(18, 30, 5), QTimeZone(zone));
        EXPECT_EQ(date->toSecsSinceEpoch(), expected.toSecsSinceEpoch()) << zone;
    }
    if (oldTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldTz);
    tzset();

    for (const char* bad : {"31.02.20 10:00:00", "24.12.20 24:00:00", "24.12.2020 10:00:00"}) {
        const QStringList parts = QString::fromLatin1(bad).split(' ');
        const auto info = OQDeviceInfo::initWithVersionString(
            QStringLiteral("Version 7.14Lb07 6240 1FFF %1 %2").arg(parts[0], parts[1]));
        ASSERT_TRUE(info);
        EXPECT_FALSE(info->date()) << bad;
    }
}
