// The counter engine against the simulated counter on the simulated bus: each reading made whole by
// the stream that read it, each counter's state its own.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "common/SimCounters.h"
#include "common/TestUtil.h"
#include "counters/CounterSet.h"
#include "device/OQDevice.h"
#include "platform/Clock.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "recording/Recording.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"
#include "sim/SimFtBackend.h"
#include "web/CounterSnapshot.h"

using oq::counters::Counter;
using oq::counters::CounterSet;
using oq::counters::State;
using oq::test::waitUntil;

namespace {

class Counters : public ::testing::Test {
protected:
    void SetUp() override
    {
        oq::SettingsStore::useFile(m_dir.filePath(QStringLiteral("oq.conf")));
        oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
        oq::sim::useFtBackend();
        oq::clock::setScale(0.05);
    }
    void TearDown() override
    {
        m_set.reset();
        oq::sim::SimBus::instance().unplugAll();
        oq::test::spin(0.1);
        oq::clock::setScale(1.0);
    }
    CounterSet& set(oq::counters::Options options = {})
    {
        m_set = std::make_unique<CounterSet>(options);
        m_set->watchBus(true);
        return *m_set;
    }
    static std::shared_ptr<oq::sim::SimCounter> plug(oq::sim::CounterConfig config)
    {
        auto counter = std::make_shared<oq::sim::SimCounter>(config);
        oq::sim::SimBus::instance().plug(counter);
        return counter;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<CounterSet> m_set;
};

// A counter that streams on for 3 s after "X": switching back and forth, no reading of the old
// stream is taken for one of the new (a dose of 50 μSv stored as a dose rate at danger), on
// screen, in the history or at the broker, which all take the reading as it was made.
TEST_F(Counters, AModeSwitchNeverTakesTheOldStreamsLinesForTheNewOnes)
{
    auto config = oq::test::steadyCounter(0.25);
    config.faults.stopDelay = 3;
    config.startDose = 50;
    plug(config);
    auto& counters = set();
    std::vector<oq::Reading> readings;
    QObject::connect(&counters, &CounterSet::readingArrived, [&](Counter*, const oq::Reading& r) { readings.push_back(r); });
    for (int mode : {1, 2, 1, 2}) {
        counters.setMode(mode);
        const auto before = readings.size();
        ASSERT_TRUE(waitUntil([&] { return readings.size() >= before + 4; }, 30)) << "mode " << mode;
    }
    for (const auto& r : readings) {
        EXPECT_EQ(r.serial, QStringLiteral("10423"));
        if (r.rate())
            EXPECT_LT(r.value, 1.0) << "a dose taken for a rate";
        else
            EXPECT_GE(r.value, 50.0) << "a rate taken for a dose";
        EXPECT_EQ(r.level, oq::levelForValue(r.value, r.mode));
    }
}

// Silence counts from the start of the stream: a counter whose first value line is cut short is
// said silent, as one that stops later is; each counter's state and cause are its own.
TEST_F(Counters, EachCounterHasItsOwnStateAndSilenceCountsFromTheStart)
{
    auto cut = oq::test::steadyCounter(0.25);
    cut.serial = QStringLiteral("CUT");
    cut.faults.cutLine = 6;
    plug(cut);
    auto fine = oq::test::steadyCounter(0.5);
    fine.serial = QStringLiteral("FINE");
    plug(fine);
    auto& counters = set();
    const auto byKey = [&](const QString& key) {
        const auto found = counters.withKey(key);
        return found.empty() ? nullptr : found.front();
    };
    ASSERT_TRUE(waitUntil([&] { return byKey(QStringLiteral("CUT")) && byKey(QStringLiteral("CUT"))->state() == State::Silent; }, 30));
    EXPECT_EQ(byKey(QStringLiteral("FINE"))->state(), State::Reading);
    EXPECT_TRUE(byKey(QStringLiteral("FINE"))->failure().isEmpty());
    // The web page's picture of the set says the same, with each counter's latest reading.
    const auto seen = [&] {
        QStringList views;
        for (const auto& v : oq::web::snapshotOf(counters).counters)
            views << QStringLiteral("%1 %2 %3 %4 %5").arg(v.key, v.state).arg(v.connected).arg(v.value.value_or(-1)).arg(v.level);
        views.sort();
        return views.join(QLatin1Char(';'));
    };
    EXPECT_EQ(seen(), QStringLiteral("CUT silent 1 -1 normal;FINE reading 1 0.5 normal"));

    // One pulled out ends only its own state; in the window's set it goes altogether.
    oq::sim::SimBus::instance().unplug(oq::sim::SimBus::instance().entries().front().entryId);
    ASSERT_TRUE(waitUntil([&] { return counters.counters().size() == 1; }, 10));
    EXPECT_EQ(counters.counters().front()->key(), QStringLiteral("FINE"));
    EXPECT_EQ(counters.counters().front()->state(), State::Reading);
    EXPECT_EQ(seen(), QStringLiteral("FINE reading 1 0.5 normal"));
}

// Two counters recording to a broker that is not there: each its own recorder, made and ended
// with its counter; the recording's end gives them their time at once and counts what each lost.
TEST_F(Counters, EachCounterRecordsThroughItsOwnRecorder)
{
    for (const char* serial : {"A1", "B2"}) {
        auto c = oq::test::steadyCounter(0.3);
        c.serial = QString::fromLatin1(serial);
        plug(c);
    }
    oq::recording::Options options;
    options.historyPath = m_dir.filePath(QStringLiteral("h.sqlite3"));
    options.mqtt.url = QStringLiteral("mqtt://127.0.0.1:1");
    oq::recording::Recording recording(options);
    auto& counters = set();
    counters.setRecording(&recording);
    std::map<QString, int> read;
    QObject::connect(&counters, &CounterSet::readingArrived, [&](Counter*, const oq::Reading& r) { ++read[r.serial]; });
    ASSERT_TRUE(waitUntil([&] { return read[QStringLiteral("A1")] >= 3 && read[QStringLiteral("B2")] >= 3; }, 30));
    for (const auto& c : counters.counters())
        EXPECT_FALSE(c->mqttStatus().isEmpty()) << c->key().toStdString();
    const auto lost = recording.finish(0.2);
    EXPECT_EQ(lost.notStored, 0);
    EXPECT_GE(lost.notSent, std::size_t(6)) << "nothing reached the missing broker";
}

// Two counters plugged in at once that report one serial number: said once, each keyed by its
// port from then on, so their readings never run together as one counter's.
TEST_F(Counters, TwoCountersWithOneSerialAreToldApartByTheirPorts)
{
    plug(oq::test::steadyCounter(0.2));
    plug(oq::test::steadyCounter(0.9));
    auto& counters = set();
    int said = 0;
    QObject::connect(&counters, &CounterSet::sharedSerial, [&](const QString& serial, const std::vector<Counter*>& twins) {
        ++said;
        EXPECT_EQ(serial, QStringLiteral("10423"));
        EXPECT_EQ(twins.size(), 2u);
    });
    std::map<QString, std::set<double>> values;
    QObject::connect(&counters, &CounterSet::readingArrived, [&](Counter* c, const oq::Reading& r) {
        if (c->sharesSerial())
            values[c->key()].insert(r.value);
    });
    ASSERT_TRUE(waitUntil([&] { return values.size() == 2 && std::all_of(values.begin(), values.end(), [](const auto& v) { return v.second.size() == 1; }) && said == 1; }, 30));
    for (const auto& [key, seen] : values)
        EXPECT_TRUE(key.startsWith(QStringLiteral("10423@"))) << key.toStdString();
    const auto views = oq::web::snapshotOf(counters).counters;
    ASSERT_EQ(views.size(), 2u);
    EXPECT_NE(views[0].serial, views[1].serial) << "one series each in /metrics";
}

} // namespace
