// The simulated USB bus and oq-counter-sim's options.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryFile>

#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "sim/SimOptions.h"

using namespace oq::sim;

namespace {

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override { oq::clock::setScale(0.001); }
    void TearDown() override
    {
        SimBus::instance().unplugAll();
        oq::clock::setScale(1.0);
    }
};

} // namespace

TEST_F(SimBusTest, PlugAndUnplugAnnounceTheEntry)
{
    SimBus& bus = SimBus::instance();
    QSignalSpy arrived(&bus, &SimBus::deviceArrived);
    QSignalSpy removed(&bus, &SimBus::deviceRemoved);
    auto a = std::make_shared<SimCounter>();
    auto b = std::make_shared<SimCounter>();
    const quint64 ia = bus.plug(a, QStringLiteral("first"));
    const quint64 ib = bus.plug(b);
    EXPECT_EQ(bus.plug(a), ia); // already plugged
    ASSERT_EQ(arrived.size(), 2);
    const auto ea = arrived.at(0).at(0).value<SimBusEntry>();
    EXPECT_EQ(ea.entryId, ia);
    EXPECT_EQ(ea.name, "first");
    EXPECT_EQ(ea.vendorId, 0x0403);
    EXPECT_EQ(ea.productId, 0xD678);
    EXPECT_NE(ea.locationId, arrived.at(1).at(0).value<SimBusEntry>().locationId);
    ASSERT_EQ(bus.entries().size(), 2u);
    EXPECT_EQ(bus.entries().front().entryId, ia);

    EXPECT_TRUE(bus.unplug(ia));
    EXPECT_FALSE(bus.unplug(ia));
    EXPECT_FALSE(a->plugged());
    ASSERT_EQ(removed.size(), 1);
    EXPECT_EQ(removed.at(0).at(0).value<SimBusEntry>().entryId, ia);
    EXPECT_FALSE(bus.entry(ia));
    EXPECT_TRUE(bus.entry(ib));

    // Plugged in again: a new entry, never an old id.
    const quint64 again = bus.plug(a);
    EXPECT_GT(again, ib);
    EXPECT_TRUE(a->plugged());
}

TEST_F(SimBusTest, CounterPulledOutByItsFaultLeavesTheBus)
{
    SimBus& bus = SimBus::instance();
    QSignalSpy removed(&bus, &SimBus::deviceRemoved);
    CounterConfig c;
    c.valueInterval = 0.1;
    c.faults.unplugAfterLines = 2;
    c.startMode = Mode::OnlineRate;
    auto counter = std::make_shared<SimCounter>(c);
    const quint64 id = bus.plug(counter);
    while (counter->plugged()) {
        counter->hostRead(100);
        oq::clock::sleepFor(0.05);
    }
    ASSERT_EQ(removed.size(), 1);
    EXPECT_EQ(removed.at(0).at(0).value<SimBusEntry>().entryId, id);
    EXPECT_TRUE(bus.entries().empty());
}

TEST(SimOptionsTest, EverySettingHasAnOption)
{
    QTemporaryFile script;
    ASSERT_TRUE(script.open());
    script.write("0,5\n1,5\n");
    script.flush();
    SimProgramOptions o;
    const QString error = parseSimOptions(
        {"oq-counter-sim", "--baud", "9600", "--version", "6.50Lb07", "--serial", "7000", "--size", "1ff",
            "--unit", "rem", "--prefix", "m", "--decimals", "2", "--profile", "script:" + script.fileName(),
            "--interval", "0.5", "--start", "rate", "--start-dose", "3", "--response-delay", "0.01", "--relaxed",
            "--seed", "9", "--silent", "--pc-unconfirmed", "-1", "--pc-silent", "--garbage", "0.5", "--cut-line", "4",
            "--resume-after-cut", "--no-line-ends", "--unplug-after-lines", "10", "--unplug-after", "60",
            "--stop-delay", "1.5", "--time-lines", "3", "--time-never-confirms", "--time-scale", "0.01"},
        o);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const CounterConfig& c = o.counter;
    EXPECT_EQ(c.baud, 9600);
    EXPECT_EQ(c.version, "6.50Lb07");
    EXPECT_EQ(c.serial, "7000");
    EXPECT_EQ(c.protocolLength, 0x1FF);
    EXPECT_EQ(c.format.unit, Unit::Rem);
    EXPECT_EQ(c.format.prefix, Prefix::Milli);
    EXPECT_EQ(c.format.decimals, 2);
    EXPECT_EQ(c.profile.kind, ProfileSpec::Script);
    EXPECT_EQ(c.profile.script.mid(0, 2), (QStringList{"0,5", "1,5"}));
    EXPECT_EQ(c.valueInterval, 0.5);
    EXPECT_EQ(c.startMode, Mode::OnlineRate);
    EXPECT_EQ(c.startDose, 3);
    EXPECT_FALSE(c.strictPcMode);
    EXPECT_EQ(c.seed, 9u);
    EXPECT_TRUE(c.faults.silent && c.faults.pcSilent && c.faults.resumeAfterCut && c.faults.noLineEnds);
    EXPECT_EQ(c.faults.pcUnconfirmed, -1);
    EXPECT_EQ(c.faults.garbage, 0.5);
    EXPECT_EQ(c.faults.cutLine, 4);
    EXPECT_EQ(c.faults.unplugAfterLines, 10);
    EXPECT_EQ(c.faults.unplugAfter, 60);
    EXPECT_EQ(c.faults.stopDelay, 1.5);
    EXPECT_EQ(c.faults.timeOtherLines, 3);
    EXPECT_FALSE(c.faults.timeConfirm);
    EXPECT_EQ(o.timeScale, 0.01);
    EXPECT_FALSE(o.help);

    for (const QStringList& bad : {QStringList{"x", "--baud", "fast"}, QStringList{"x", "--unit", "gray"},
             QStringList{"x", "--profile", "sine"}, QStringList{"x", "--garbage", "2"}, QStringList{"x", "--nonsense"},
             QStringList{"x", "--profile", "script:/no/such/file"}, QStringList{"x", "extra"}}) {
        SimProgramOptions p;
        EXPECT_FALSE(parseSimOptions(bad, p).isEmpty()) << bad.join(' ').toStdString();
    }
    SimProgramOptions help;
    EXPECT_TRUE(parseSimOptions({"x", "--help"}, help).isEmpty());
    EXPECT_TRUE(help.help);
    EXPECT_TRUE(simOptionsHelp().contains(QLatin1String("--unplug-after-lines")));
}
