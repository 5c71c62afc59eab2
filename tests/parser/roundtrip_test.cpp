// Property: a dump written from random events parses back to the same events, in every version
// band and both line formats.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "dump/DumpWriter.h"
#include "parser/OQParser.h"
#include "parser/OQProtocol.h"

using namespace oq::sim;

namespace {

struct Band {
    const char* firmware;
    double v;
};

// One firmware per band of the code tables, line formats, calibration layouts and record forms.
const Band kBands[] = {
    {"5.12", 5.12}, {"6.00", 6.00}, {"6.02Lb07", 6.02}, {"6.04Lb07", 6.04}, {"6.07Lb07", 6.07},
    {"6.50Lb07", 6.50}, {"6.95Lb07", 6.95}, {"7.01Lb07", 7.01}, {"7.022Lb07", 7.022}, {"7.05Lb07", 7.05},
    {"7.09Lb07", 7.09},
};

constexpr uint32_t kIntervals[] = {604800, 259200, 86400, 43200, 7200, 3600, 1800, 600, 300, 120, 60, 30, 10};
constexpr uint32_t kOldIntervals[] = {604800, 86400, 3600, 600, 60};

class Generator {
public:
    Generator(double v, uint32_t seed) : m_v(v), m_rng(seed) {}

    std::vector<DumpEvent> stream(int length)
    {
        std::vector<DumpEvent> events{DumpEvent::interval(interval())};
        while (int(events.size()) < length)
            events.push_back(next());
        return events;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }

    uint32_t interval() { return m_v < 5.99 ? kOldIntervals[pick(0, 4)] : kIntervals[pick(0, 12)]; }

    DumpEvent next()
    {
        const int r = pick(0, 99);
        if (r < 55) {
            const int exp = pick(0, 9) < 8 ? pick(0, 3) : pick(0, 29);
            return DumpEvent::count(uint64_t(pick(0, 2047)) << exp);
        }
        if (r < 62)
            return DumpEvent::interval(interval());
        if (r < 70) {
            DumpTime t{pick(0, 9) ? pick(2000, 2069) : pick(1970, 1999), pick(1, 12), pick(1, 28), pick(0, 23),
                pick(0, 59), m_v >= 7.0005 ? pick(0, 59) : 0};
            return DumpEvent::timeMark(t);
        }
        if (r < 78) {
            const uint32_t unit = m_v < 5.99 ? 60 : 10;
            return DumpEvent::truncated(pick(0, 4) ? unit * uint32_t(pick(1, 65535)) : 0);
        }
        if (r < 88) {
            if (m_v < 5.99)
                return DumpEvent::flagsSet(DumpEvent::Overflow);
            int mask = pick(1, 7);
            if (mask == DumpEvent::DoseAlarm && m_v < 7.0005)
                mask = DumpEvent::DoseAlarm | DumpEvent::DoseRateAlarm;
            return DumpEvent::flagsSet(uint8_t(mask));
        }
        if (r < 94 && m_v > 7.08)
            return DumpEvent::cdsSwitch(pick(0, 1));
        if (m_v >= 6.9)
            return DumpEvent::diagnostic(uint8_t(pick(0, 12)));
        return DumpEvent::count(uint64_t(pick(0, 2047)));
    }

    double m_v;
    std::mt19937 m_rng;
};

// The event maps the parser must report for `events`.
QVariantList expectedMaps(const std::vector<DumpEvent>& events, double v)
{
    const uint64_t multiplier = v >= 6.9 ? 512 : 64;
    QVariantList maps;
    uint32_t interval = 0, carried = 0;
    std::optional<uint32_t> pending;
    auto one = [&](const char* key, QVariant value) { maps.append(QVariantMap{{QLatin1String(key), value}}); };
    for (const DumpEvent& e : events) {
        switch (e.kind) {
        case DumpEvent::Interval:
            interval = e.seconds;
            one("new_interval", e.seconds);
            break;
        case DumpEvent::Truncated:
            pending = e.seconds;
            one("truncated_interval", e.seconds);
            break;
        case DumpEvent::TimeMark:
            one("new_time", QVariantMap{{"year", e.time.year}, {"month", e.time.month}, {"day", e.time.day},
                                {"hour", e.time.hour}, {"minute", e.time.minute}, {"second", e.time.second}});
            break;
        case DumpEvent::Flags:
            if (e.flags & DumpEvent::Overflow)
                one("overflow", true);
            if (e.flags & DumpEvent::DoseAlarm)
                one("dose_alarm", true);
            if (e.flags & DumpEvent::DoseRateAlarm)
                one("dose_rate_alarm", true);
            break;
        case DumpEvent::CdsSwitch:
            one("new_cds", e.cds);
            break;
        case DumpEvent::Diagnostic:
            break;
        case DumpEvent::Count: {
            uint32_t d = interval;
            if (pending) {
                const uint32_t p = *pending;
                pending.reset();
                if (p == 0) {
                    carried += uint32_t(e.pulses);
                    break;
                }
                d = p;
            }
            const uint64_t pulses = e.pulses + carried;
            carried = 0;
            // Built-in tables cover every rate; the written sets cover every rate up to 2^32 - 1.
            const uint64_t o = (pulses * multiplier + d / 2) / d;
            const bool rated = v <= 6.0115 || o <= 0xFFFFFFFFu;
            maps.append(QVariantMap{{"pulses", quint64(pulses)}, {"interval", d}, {"rated", rated}});
            break;
        }
        }
    }
    return maps;
}

// Compares one parsed map with its expectation; returns a description of the first difference.
std::string difference(const QVariantMap& got, const QVariantMap& want)
{
    if (want.contains("pulses")) {
        if (got.value("pulses").toULongLong() != want.value("pulses").toULongLong()
            || got.value("interval").toUInt() != want.value("interval").toUInt())
            return "count";
        const double rate = got.value("doseRate").toDouble();
        if (want.value("rated").toBool() == std::isnan(rate) || (!std::isnan(rate) && rate < 0))
            return "dose rate";
        return {};
    }
    if (want.contains("new_time")) {
        const QVariantMap g = got.value("new_time").toMap(), w = want.value("new_time").toMap();
        for (auto it = w.constBegin(); it != w.constEnd(); ++it) {
            if (g.value(it.key()).toInt() != it.value().toInt())
                return "time field " + it.key().toStdString();
        }
        return {};
    }
    if (got.keys() != want.keys() || got.first().toString() != want.first().toString())
        return "map";
    return {};
}

} // namespace

TEST(RoundTrip, RandomStreamsInEveryBand)
{
    uint32_t seed = 20240501;
    for (const Band& band : kBands) {
        for (int run = 0; run < 25; ++run, ++seed) {
            Generator gen(band.v, seed);
            DumpSpec spec;
            spec.firmware = QString::fromLatin1(band.firmware);
            // The old format holds 1791 bytes: keep those streams short.
            spec.events = gen.stream(band.v < 6.0055 ? 1 + run * 8 : 1 + run * 20);
            spec.adjust = (run % 5) * 7 - 14;
            QString error;
            const auto dump = writeDump(spec, &error);
            ASSERT_TRUE(dump) << band.firmware << " seed " << seed << ": " << error.toStdString();
            EXPECT_EQ(dump->oldFormat, band.v < 6.0055);

            oq::ErrorRecord parseError;
            const auto maps = parseProtocol(QString::fromLatin1(dump->deviceDump), &parseError);
            ASSERT_TRUE(maps) << band.firmware << " seed " << seed << ": "
                              << parseError.localizedDescription().toStdString();
            const QVariantList want = expectedMaps(spec.events, band.v);
            ASSERT_EQ(maps->size(), want.size()) << band.firmware << " seed " << seed;
            for (qsizetype i = 0; i < want.size(); ++i) {
                const std::string diff = difference(maps->at(i).toMap(), want.at(i).toMap());
                ASSERT_EQ(diff, "") << band.firmware << " seed " << seed << " map " << i;
            }

            // The protocol model sees one event for each count after the first time mark.
            auto protocol = OQProtocol::initWithDeviceDump(QString::fromLatin1(dump->deviceDump));
            ASSERT_TRUE(protocol && protocol->info());
            const auto events = protocol->protocolEventsError();
            qsizetype counts = 0;
            bool timed = false;
            for (const QVariant& m : want) {
                timed = timed || m.toMap().contains("new_time");
                counts += timed && m.toMap().contains("pulses");
            }
            ASSERT_EQ(events ? qsizetype(events->size()) : 0, counts) << band.firmware << " seed " << seed;
        }
    }
}

TEST(RoundTrip, WriterRejectsWhatTheFirmwareCannotHold)
{
    const struct { const char* firmware; DumpEvent event; } cases[] = {
        {"5.12", DumpEvent::interval(10)},
        {"5.12", DumpEvent::flagsSet(DumpEvent::DoseAlarm)},
        {"6.95Lb07", DumpEvent::flagsSet(DumpEvent::DoseAlarm)},
        {"7.05Lb07", DumpEvent::cdsSwitch(1)},
        {"6.50Lb07", DumpEvent::diagnostic(3)},
        {"7.14Lb07", DumpEvent::truncated(15)},
        {"7.14Lb07", DumpEvent::count(uint64_t(1) << 41)},
        {"6.01", DumpEvent::interval(60)},
    };
    for (const auto& c : cases) {
        DumpSpec spec;
        spec.firmware = QString::fromLatin1(c.firmware);
        spec.events = {c.event};
        QString error;
        EXPECT_FALSE(writeDump(spec, &error)) << c.firmware << " " << int(c.event.kind);
        EXPECT_FALSE(error.isEmpty());
    }
    DumpSpec tooLong;
    tooLong.firmware = QStringLiteral("5.12");
    tooLong.events.assign(900, DumpEvent::count(1));
    EXPECT_FALSE(writeDump(tooLong));
}

TEST(RoundTrip, WriterAnswers)
{
    DumpSpec spec;
    spec.firmware = QStringLiteral("7.05Lb07");
    spec.events = {DumpEvent::interval(60), DumpEvent::count(3)};
    const auto d = writeDump(spec);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->versionLine, "Version 7.05Lb07 123456 0008 01.05.24 12:00:00");
    EXPECT_EQ(d->hwInfoAnswer, "HW-3.1\r\n");
    EXPECT_EQ(d->statcAnswer, "STAT 0001 0002\r\n");
    EXPECT_TRUE(d->calibrationAnswer.startsWith("ORBEL-QUIST SoftCal gueltig\r\nB0 00 02 00 00\r\n"));
    EXPECT_EQ(d->protocolAnswer, "\r\nORBEL-QUIST Protokoll\r\n" + d->dumpLines);
    EXPECT_EQ(d->image.size(), 8) << "padded to more than 6 bytes";
    EXPECT_TRUE(d->deviceDump.endsWith("b\r\nORBEL-QUIST Protokoll\r\n" + d->dumpLines));

    spec.firmware = QStringLiteral("6.95Lb07");
    EXPECT_EQ(writeDump(spec)->versionLine, "Version 6.95Lb07 HW-3.1 123456 0008 01.05.24 12:00:00");
    EXPECT_TRUE(writeDump(spec)->hwInfoAnswer.isEmpty());
    spec.firmware = QStringLiteral("5.12");
    spec.events = {DumpEvent::interval(60), DumpEvent::count(3)};
    const auto old = writeDump(spec);
    EXPECT_EQ(old->versionLine, "Version 5.12");
    EXPECT_TRUE(old->calibrationAnswer.isEmpty());
    EXPECT_EQ(old->protocolAnswer, "\r\nORBEL-QUIST Protokoll\r\n\r\n" + old->dumpLines);
    EXPECT_EQ(old->dumpLines.count('\n'), 17);

    EXPECT_EQ(firmwareVersionNumber(QStringLiteral("2.0c")), 2.03f);
    EXPECT_EQ(firmwareVersionNumber(QStringLiteral("7.14Lb07")), 7.14f);
    EXPECT_FALSE(firmwareVersionNumber(QStringLiteral("Lb07")));
}
