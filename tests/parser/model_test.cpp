// The protocol bridge (text to event maps) and the protocol model (events and dump texts).
#include <gtest/gtest.h>

#include <QTimeZone>

#include <cmath>
#include <cstring>
#include <ctime>
#include <random>

#include "common/CLibraryLocale.h"
#include "dump/DumpWriter.h"
#include "logging/LGFormat.h"
#include "parser/DoseRateText.h"
#include "platform/CLocale.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQParser.h"
#include "parser/OQProtocol.h"
#include "parser/OQProtocolExport.h"
#include "parser/parse_prot.h"

using namespace oq::sim;

namespace {

// Dates in these tests are read in a fixed zone with summer time.
class ModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_oldTz = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }
    void TearDown() override
    {
        if (m_oldTz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", m_oldTz);
        tzset();
    }

private:
    QByteArray m_oldTz;
};

QString write(std::vector<DumpEvent> events, const char* firmware = "7.14Lb07", DumpSpec spec = {})
{
    spec.firmware = QString::fromLatin1(firmware);
    spec.events = std::move(events);
    QString error;
    const auto d = writeDump(spec, &error);
    EXPECT_TRUE(d) << error.toStdString();
    return d ? QString::fromLatin1(d->deviceDump) : QString();
}

const DumpTime kNoon{2021, 6, 1, 12, 0, 0};

OQProtocolEventList eventsOf(const QString& dump, oq::ErrorRecord* error = nullptr)
{
    auto protocol = OQProtocol::initWithDeviceDump(dump);
    EXPECT_TRUE(protocol);
    if (!protocol)
        return {};
    return protocol->protocolEventsError(error).value_or(OQProtocolEventList{});
}

} // namespace

using Bridge = ModelTest;
using Model = ModelTest;

TEST_F(Bridge, EventMaps)
{
    const QString dump = write({DumpEvent::timeMark(kNoon), DumpEvent::interval(60), DumpEvent::count(10),
        DumpEvent::flagsSet(DumpEvent::DoseRateAlarm), DumpEvent::truncated(20), DumpEvent::count(3),
        DumpEvent::cdsSwitch(1)}, "7.14Lb07");
    const auto maps = parseProtocol(dump);
    ASSERT_TRUE(maps);
    ASSERT_EQ(maps->size(), 7);
    const QVariantMap time = maps->at(0).toMap().value("new_time").toMap();
    EXPECT_EQ(time.value("year").toInt(), 2021);
    EXPECT_EQ(time.value("month").toInt(), 6);
    EXPECT_EQ(time.value("hour").toInt(), 12);
    EXPECT_EQ(time.value("offset").toInt(), 7200);
    EXPECT_EQ(time.value("timezone").toString(), "CEST");
    EXPECT_EQ(maps->at(1).toMap().value("new_interval").toUInt(), 60u);
    const QVariantMap count = maps->at(2).toMap();
    EXPECT_EQ(count.value("pulses").toULongLong(), 10u);
    EXPECT_EQ(count.value("interval").toUInt(), 60u);
    EXPECT_GT(count.value("doseRate").toDouble(), 0);
    EXPECT_EQ(count.size(), 3);
    EXPECT_TRUE(maps->at(3).toMap().value("dose_rate_alarm").toBool());
    EXPECT_EQ(maps->at(4).toMap().value("truncated_interval").toUInt(), 20u);
    EXPECT_EQ(maps->at(5).toMap().value("interval").toUInt(), 20u);
    EXPECT_EQ(maps->at(6).toMap().value("new_cds").toUInt(), 1u);
}

TEST_F(Bridge, RateOfMinusOneIsNaN)
{
    DumpSpec spec;
    spec.cds0 = {{10, 100, 4000, 0, false}};
    const auto maps = parseProtocol(write({DumpEvent::interval(60), DumpEvent::count(600)}, "7.14Lb07", spec));
    ASSERT_TRUE(maps);
    EXPECT_TRUE(std::isnan(maps->last().toMap().value("doseRate").toDouble()));
}

TEST_F(Bridge, FailureGivesErrorRecord)
{
    oq::ErrorRecord error;
    EXPECT_FALSE(parseProtocol(QStringLiteral("v\r\nVersion 7.14Lb07\r\n"), &error));
    EXPECT_EQ(error.domain(), QString::fromLatin1(OQParserErrorDomain));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(), "parse_v: S/N missing");
    EXPECT_FALSE(parseProtocol(QString()));
    // The next parse is not affected.
    EXPECT_TRUE(parseProtocol(write({DumpEvent::interval(60), DumpEvent::count(1)})));
}

TEST_F(Bridge, LineSplittingAndTrimming)
{
    QString dump = write({DumpEvent::interval(60), DumpEvent::count(5)});
    for (const QString& end : {QStringLiteral("\n"), QStringLiteral("\r"), QString(QChar(0x2028))}) {
        QString d = dump;
        d.replace(QStringLiteral("\r\n"), end);
        // Markers and lines between blanks and tabs count as they are.
        d.replace(end + QStringLiteral("b") + end, end + QStringLiteral(" \t b\t ") + end);
        const auto maps = parseProtocol(d);
        ASSERT_TRUE(maps) << int(end[0].unicode());
        EXPECT_EQ(maps->size(), 2);
    }
    // A character outside ASCII ends the reading after its line.
    QString broken = dump;
    broken.insert(broken.indexOf(QStringLiteral("ORBEL-QUIST Protokoll")) + 21, QChar(0xE4));
    oq::ErrorRecord error;
    EXPECT_FALSE(parseProtocol(broken, &error));
    EXPECT_EQ(error.localizedDescription(), "parse_prot: bad header");
}

TEST_F(Bridge, LineLengthLimit)
{
    const QString dump = write({DumpEvent::interval(60), DumpEvent::count(5)});
    auto withFiller = [&](int length) {
        return QString(length, QLatin1Char('x')) + QStringLiteral("\r\n") + dump;
    };
    EXPECT_TRUE(parseProtocol(withFiller(121)));
    EXPECT_EQ(std::strlen(parser_lines[0]), 121u);
    // 122 characters: stored, and the last line read.
    oq::ErrorRecord error;
    EXPECT_FALSE(parseProtocol(withFiller(122), &error));
    EXPECT_EQ(error.localizedDescription(), "end of dump reached");
    EXPECT_EQ(std::strlen(parser_lines[0]), 122u);
    EXPECT_FALSE(parseProtocol(withFiller(500), &error));
    EXPECT_EQ(std::strlen(parser_lines[0]), 122u);
    // The limit applies before trimming.
    EXPECT_TRUE(parseProtocol(QStringLiteral(" \t") + withFiller(119)));
    EXPECT_EQ(std::strlen(parser_lines[0]), 119u);
    EXPECT_FALSE(parseProtocol(QStringLiteral(" \t") + withFiller(120)));
}

TEST_F(Bridge, LineCountLimit)
{
    // The dump takes the last lines of the table exactly, so one more line of filler loses one.
    const QString dump = write({DumpEvent::interval(60), DumpEvent::count(5)});
    const int dumpLines = int(dump.count(QStringLiteral("\r\n")));
    const QString filler = QStringLiteral("filler\r\n");
    EXPECT_TRUE(parseProtocol(filler.repeated(PARSER_MAX_LINES - dumpLines) + dump));
    oq::ErrorRecord error;
    EXPECT_FALSE(parseProtocol(filler.repeated(PARSER_MAX_LINES - dumpLines + 1) + dump, &error));
    EXPECT_EQ(error.localizedDescription(), "end of dump reached");
}

TEST_F(Model, EventsFromMaps)
{
    const auto events = eventsOf(write({DumpEvent::timeMark(kNoon), DumpEvent::interval(60), DumpEvent::count(10),
        DumpEvent::count(12)}));
    ASSERT_EQ(events.size(), 2u);
    const QDateTime noon(QDate(2021, 6, 1), QTime(12, 0), QTimeZone("Europe/Berlin"));
    EXPECT_EQ(events[0]->startDate(), noon.addSecs(60));
    EXPECT_EQ(events[0]->endDate(), noon.addSecs(120));
    EXPECT_EQ(events[0]->duration(), 60);
    EXPECT_EQ(events[0]->pulses(), 10u);
    EXPECT_FALSE(events[0]->dateChanged());
    EXPECT_TRUE(events[0]->newInterval());
    EXPECT_EQ(events[1]->startDate(), noon.addSecs(120));
    EXPECT_FALSE(events[1]->newInterval() || events[1]->dateChanged() || events[1]->overflow());
    EXPECT_FALSE(events[1]->cds());
}

TEST_F(Model, FlagsAndSecondTimeMark)
{
    const DumpTime later{2021, 6, 1, 18, 30, 0};
    const auto events = eventsOf(write({DumpEvent::interval(60), DumpEvent::count(99),
        DumpEvent::flagsSet(DumpEvent::Overflow), DumpEvent::timeMark(kNoon), DumpEvent::count(1),
        DumpEvent::timeMark(later), DumpEvent::truncated(30), DumpEvent::flagsSet(7), DumpEvent::cdsSwitch(1),
        DumpEvent::count(5), DumpEvent::count(6)}, "7.09Lb07"));
    ASSERT_EQ(events.size(), 3u) << "counts before the first time mark make no events";
    EXPECT_FALSE(events[0]->overflow()) << "flags before the first time mark are lost";
    const auto& e = *events[1];
    EXPECT_TRUE(e.dateChanged() && e.incompleteInterval() && e.overflow() && e.doseAlarm() && e.doseRateAlarm()
        && e.cdsChanged());
    EXPECT_EQ(e.cds(), 1);
    EXPECT_EQ(e.duration(), 30);
    EXPECT_EQ(e.stringRepresentation(),
        "01.06.2021  18:30:00  New timestamp\n"
        "01.06.2021  18:30:30  OOB protocol interval of 30 sec\n"
        "\t\t      dH/dt overflowed\n"
        "\t\t      H alarm fired\n"
        "\t\t      dH/dt alarm fired\n"
        + e.stringRepresentation().section(QLatin1Char('\n'), 5, 5) + "\n");
    EXPECT_EQ(events[2]->cds(), 1);
    EXPECT_FALSE(events[2]->cdsChanged());
}

TEST_F(Model, EventText)
{
    // Stored event texts and their readers depend on these characters, in every locale.
    oq::test::CLibraryLocale german(oq::test::kGermanLocale);
    ASSERT_TRUE(german.active() && german.decimalComma()) << oq::test::kMissingGerman;
    const QDateTime start(QDate(2020, 12, 24), QTime(18, 30, 5), QTimeZone("Europe/Berlin"));
    auto e = OQProtocolEvent::initWithStartDate(start, 60, 5, 0.1, std::nullopt, false, true, false, false, false,
        false, false);
    EXPECT_EQ(e->stringRepresentation(),
        "                      Protocol interval now 60 sec\n"
        "24.12.2020  18:30:05  5 pulses in 60s, dH/dt = 0.100000 uSv/h\n");
    e = OQProtocolEvent::initWithStartDate(start, 60, 5, std::nan(""), 0, false, false, false, false, false, false,
        true);
    EXPECT_EQ(e->stringRepresentation(), "24.12.2020  18:30:05  5 pulses in 60s, dH/dt = NaN\n");

    // As C's printf of the single-precision rate: an exact tie rounds to even, -0 keeps its sign.
    const std::pair<float, const char*> rates[] = {
        {23885.2265625f, "23885.226562"}, {-0.0f, "-0.000000"}, {1.0f / 3, "0.333333"}};
    for (const auto& [rate, text] : rates) {
        e = OQProtocolEvent::initWithStartDate(start, 60, 5, rate, std::nullopt, false, false, false, false, false,
            false, false);
        EXPECT_EQ(e->stringRepresentation(),
            QStringLiteral("24.12.2020  18:30:05  5 pulses in 60s, dH/dt = %1 uSv/h\n").arg(QLatin1String(text)));
        EXPECT_TRUE(OQProtocolEventsCsv({e}).contains(QLatin1Char(',') + QLatin1String(text) + QLatin1Char(',')))
            << text;
    }

    // The rate text is made without printf: it must agree with printf everywhere, ties included
    // (odd multiples of 2^-7 are exact ties at the sixth decimal).
    std::mt19937_64 random(20261208);
    for (int i = 0; i < 200000; ++i) {
        double rate;
        const std::uint64_t bits = random();
        if (i % 4 == 0)
            rate = double(int(bits % 2000001) - 1000000) / 128;
        else if (i % 4 == 1)
            rate = double(float(bits % 100000000) / 997.0f);
        else
            std::memcpy(&rate, &bits, sizeof rate);
        ASSERT_EQ(doseRateText(rate), QString::fromStdString(oq::cFormat("%.6f", rate))) << i;
    }
}

TEST_F(Model, MachineTextsAreTheSameInEveryLocale)
{
    const QString dump = write({DumpEvent::timeMark(kNoon), DumpEvent::interval(60), DumpEvent::count(10),
        DumpEvent::count(1234), DumpEvent::count(99999)});
    struct Texts {
        QString text, csv, json, shortVersion, log;
    };
    const auto textsIn = [&](const char* locale) {
        oq::test::CLibraryLocale scope(locale);
        EXPECT_TRUE(scope.active() && (scope.decimalComma() || locale[0] == 'C')) << oq::test::kMissingGerman;
        const auto events = eventsOf(dump);
        EXPECT_EQ(events.size(), 3u);
        const auto info = OQDeviceInfo::initWithVersionString(QStringLiteral("Version 2.0c 1234 0100"));
        return Texts{OQProtocolEventsText(events), OQProtocolEventsCsv(events), OQProtocolEventsJson(events),
            info ? info->firmwareVersion() : QString(), LGFormat("%.2f|%g|%e", {2.5, 0.125, 1e-3})};
    };
    const Texts c = textsIn("C");
    EXPECT_TRUE(c.text.contains(QStringLiteral(" uSv/h"))) << c.text.toStdString();
    EXPECT_EQ(c.shortVersion, QStringLiteral("2.0c (2.03)"));
    EXPECT_EQ(c.log, QStringLiteral("2.50|0.125|1.000000e-03"));
    const Texts de = textsIn(oq::test::kGermanLocale);
    EXPECT_EQ(de.text, c.text);
    EXPECT_EQ(de.csv, c.csv);
    EXPECT_EQ(de.json, c.json);
    EXPECT_EQ(de.shortVersion, c.shortVersion);
    EXPECT_EQ(de.log, c.log);
}

TEST_F(Model, DeviceDumpTexts)
{
    auto info = std::shared_ptr<const OQDeviceInfo>(
        OQDeviceInfo::initWithVersionString(QStringLiteral("Version 6.01")).release());
    auto p = OQProtocol::initWithDeviceInfo(info, std::nullopt, std::nullopt, std::nullopt,
        QStringLiteral(""), QDateTime::currentDateTime());
    const QString expected = QStringLiteral("v\r\nVersion 6.01\r\nb\r\nORBEL-QUIST Protokoll\r\n");
    EXPECT_EQ(p->deviceDump(), expected);
    EXPECT_TRUE(p->deviceDumpString().isEmpty());
    auto loaded = OQProtocol::initWithDeviceDump(p->deviceDump());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->parserInput(), expected);
    EXPECT_EQ(loaded->info()->firmwareVersion(), "6.01");

    p = OQProtocol::initWithDeviceInfo(info, QStringLiteral("H"), QStringLiteral("S"), QStringLiteral("C1\r\nC2"),
        QStringLiteral("L1\r\nL2"), QDateTime());
    EXPECT_EQ(p->parserInput(),
        "v\r\nVersion 6.01\r\nh\r\nH\r\ns\r\nS\r\nc\r\nC1\r\nC2\r\nb\r\nORBEL-QUIST Protokoll\r\nL1\r\nL2");

    EXPECT_TRUE(OQProtocol::initWithDeviceDump(QStringLiteral("V\nVersion 1.99\n")));
    EXPECT_FALSE(OQProtocol::initWithDeviceDump(QStringLiteral("\r\nv\r\nVersion 1.99\r\n")));
    EXPECT_FALSE(OQProtocol::initWithDeviceDump(QStringLiteral("v Version 1.99")));
    auto unreadable = OQProtocol::initWithDeviceDump(QStringLiteral("v\rnot a version\rb\r"));
    ASSERT_TRUE(unreadable);
    EXPECT_FALSE(unreadable->info());
}

TEST_F(Model, AVersionLineWithAStrayLineEndIsStoredAndReadBackAsOneRecord)
{
    const QString noisy = QStringLiteral("Version 5.00 56 34 12 00 v\r&Version 7.09Lb07 123456 0010\r\n");
    auto info = std::shared_ptr<const OQDeviceInfo>(OQDeviceInfo::initWithVersionString(noisy).release());
    ASSERT_TRUE(info);
    auto p = OQProtocol::initWithDeviceInfo(info, std::nullopt, std::nullopt, std::nullopt, QString(), QDateTime());
    auto loaded = OQProtocol::initWithDeviceDump(p->deviceDump());
    ASSERT_TRUE(loaded && loaded->info());
    EXPECT_EQ(loaded->info()->versionString(), info->versionString());
    EXPECT_EQ(loaded->info()->firmwareVersion(), info->firmwareVersion());
}

TEST_F(Model, TransferredProtocolsParse)
{
    // What the transfer hands over: the sections' answers trimmed, the dump lines without the
    // header and, for the old format, without its empty line.
    for (const char* firmware : {"5.12", "7.14Lb07"}) {
        DumpSpec spec;
        spec.firmware = QString::fromLatin1(firmware);
        spec.events = {DumpEvent::timeMark(kNoon), DumpEvent::interval(60), DumpEvent::count(7)};
        const auto d = writeDump(spec);
        ASSERT_TRUE(d);
        auto info = std::shared_ptr<const OQDeviceInfo>(
            OQDeviceInfo::initWithVersionString(QString::fromLatin1(d->versionLine)).release());
        auto trimmed = [](const QByteArray& a) -> std::optional<QString> {
            if (a.isEmpty())
                return std::nullopt;
            return QString::fromLatin1(a).trimmed();
        };
        auto p = OQProtocol::initWithDeviceInfo(info, trimmed(d->hwInfoAnswer), trimmed(d->statcAnswer),
            trimmed(d->calibrationAnswer), QString::fromLatin1(d->dumpLines).trimmed(), QDateTime::currentDateTime());
        oq::ErrorRecord error;
        const auto events = p->protocolEventsError(&error);
        ASSERT_TRUE(events) << firmware << ": " << error.localizedDescription().toStdString();
        ASSERT_EQ(events->size(), 1u);
        EXPECT_EQ((*events)[0]->pulses(), 7u);
    }
}

TEST_F(Model, UnparsableDumpGivesNoEvents)
{
    auto p = OQProtocol::initWithDeviceDump(QStringLiteral("v\r\nVersion 7.14Lb07 6240 0100 01.01.21 00:00:00\r\n"));
    ASSERT_TRUE(p);
    oq::ErrorRecord error;
    EXPECT_FALSE(p->protocolEventsError(&error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(), "end of dump reached");
}

TEST_F(Model, DateFromComponents)
{
    auto p = OQProtocol::initWithDeviceDump(QStringLiteral("v\nVersion 1.99\n"));
    const QDateTime d = p->dateFromComponentDictionary({{"year", 2020}, {"month", 12}, {"day", 24}, {"hour", 18},
        {"minute", 30}, {"second", 5}, {"offset", 3600}, {"timezone", "ignored"}});
    EXPECT_EQ(d.toSecsSinceEpoch(), QDateTime(QDate(2020, 12, 24), QTime(17, 30, 5), Qt::UTC).toSecsSinceEpoch());
    EXPECT_EQ(p->dateComponents().offset, 3600);
}
