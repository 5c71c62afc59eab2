// The monitor's behaviour on the simulated bus: arrivals, removals, the start scan and every
// failure a registry step can give.
#include <gtest/gtest.h>

#include "common/TestUtil.h"
#include "sim/SimBus.h"
#include "sim/SimRegistry.h"
#include "usb/UsbTestUtil.h"

using namespace oq::test;
using oq::sim::SimBus;
using Step = USBRegistry::Step;

namespace {

struct SimMonitor : ::testing::Test {
    LogCapture log;
    CountingDelegate delegate;
    SimRegistry* sim = nullptr;
    std::unique_ptr<USBMonitor> monitor;

    std::unique_ptr<SimRegistry> registry()
    {
        auto r = std::make_unique<SimRegistry>();
        sim = r.get();
        return r;
    }
    void start(std::unique_ptr<SimRegistry> r = {})
    {
        monitor = USBMonitor::init(r ? std::move(r) : registry());
        ASSERT_TRUE(monitor);
        monitor->setDelegate(&delegate);
    }
    static quint64 plug() { return SimBus::instance().plug(std::make_shared<oq::sim::SimCounter>()); }
    static void unplug(quint64 id) { SimBus::instance().unplug(id); }
    void TearDown() override
    {
        monitor.reset();
        SimBus::instance().unplugAll();
        spin(0.01);
    }
};

} // namespace

TEST_F(SimMonitor, CounterAttachedBeforeStartIsReportedOnlyWhenItArrivesAgain)
{
    const quint64 id = plug();
    auto r = registry();
    start(std::move(r));
    EXPECT_EQ(delegate.found, 0);

    // The start scan names the entry identifier in decimal.
    const QString key = QString::number(id);
    EXPECT_EQ(log.matching("^Device succesfully opened: " + key + "$").size(), 1);
    EXPECT_EQ(log.matching("^Device succesfully reset: " + key + "$").size(), 1);
    EXPECT_EQ(log.matching("^Device succesfully closed: " + key + "$").size(), 1);

    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));
    spin(0.05);
    EXPECT_EQ(delegate.found, 1);
    EXPECT_EQ(monitor->deviceCount(), 1u);

    unplug(id);
    ASSERT_TRUE(waitUntil([&] { return delegate.removed == 1; }, 2));
}

TEST_F(SimMonitor, CounterWhoseOpenFailsAtStartIsNotReportedUntilPluggedAgain)
{
    const quint64 id = plug();
    auto r = registry();
    r->setFault(Step::Open, USBRegistry::StatusExclusiveAccess);
    start(std::move(r));
    sim->setFault(Step::Open, 0);
    spin(0.05);
    EXPECT_EQ(delegate.found, 0);
    EXPECT_EQ(log.matching("^USBDeviceOpen returned 0xe00002c5\\.$").size(), 1);
    EXPECT_TRUE(log.matching("succesfully").isEmpty());

    unplug(id);
    spin(0.02);
    EXPECT_EQ(delegate.removed, 0);
    plug();
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));
}

TEST_F(SimMonitor, PlugAndUnplugGiveExactlyOneReportEach)
{
    start();
    const quint64 id = plug();
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));
    EXPECT_EQ(delegate.lastMonitor, monitor.get());
    unplug(id);
    ASSERT_TRUE(waitUntil([&] { return delegate.removed == 1; }, 2));
    spin(0.05);
    EXPECT_EQ(delegate.found, 1);
    EXPECT_EQ(delegate.removed, 1);
    EXPECT_EQ(monitor->deviceCount(), 0u);
    EXPECT_EQ(sim->handleCount(), 0u);
    log.expectOneArrivalAndRemovalLine();
}

TEST_F(SimMonitor, OtherVendorOrProductIsNeverReported)
{
    start();
    // The bus plugs only counters, so other devices are announced directly.
    for (auto [vendor, product] : {std::pair<quint16, quint16>{0x0403, 0x6001}, {0x1234, 0xD678}}) {
        oq::sim::SimBusEntry other;
        other.entryId = 900000 + product;
        other.vendorId = vendor;
        other.productId = product;
        emit SimBus::instance().deviceArrived(other);
        spin(0.02);
        emit SimBus::instance().deviceRemoved(other);
    }
    spin(0.02);
    EXPECT_EQ(delegate.found, 0);
    EXPECT_EQ(delegate.removed, 0);
    EXPECT_TRUE(log.matching("Device added").isEmpty());
}

TEST_F(SimMonitor, TwoCountersAreReportedSeparately)
{
    start();
    const quint64 a = plug();
    const quint64 b = plug();
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 2; }, 2));
    EXPECT_EQ(monitor->deviceCount(), 2u);
    unplug(a);
    ASSERT_TRUE(waitUntil([&] { return delegate.removed == 1; }, 2));
    EXPECT_EQ(monitor->deviceCount(), 1u);
    unplug(b);
    ASSERT_TRUE(waitUntil([&] { return delegate.removed == 2; }, 2));
}

TEST_F(SimMonitor, MessageOtherThanTerminationDoesNothing)
{
    start();
    const quint64 id = plug();
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));
    sim->postMessage(id, USBRegistry::MessageServicePropertyChange);
    spin(0.05);
    EXPECT_EQ(delegate.removed, 0);
    EXPECT_EQ(monitor->deviceCount(), 1u);
    EXPECT_TRUE(log.matching("unexpected|removed").isEmpty());
}

TEST_F(SimMonitor, DeviceSetUpFailuresSkipTheDeviceWithTheirLogLine)
{
    struct Case {
        Step step;
        USBRegistry::Status status;
        const char* line;
    };
    const Case cases[] = {
        {Step::PlugIn, USBRegistry::StatusNoDevice, "^IOCreatePlugInInterfaceForService returned 0xe00002c0\\.$"},
        {Step::QueryInterface, USBRegistry::StatusNoInterface,
            "^QueryInterface returned HRESULT: 0x80004002 code: 16386 facilty: 0 severity: 1$"},
        {Step::LocationID, USBRegistry::StatusNotFound, "^GetLocationID returned 0xe00002f0\\.$"},
    };
    start();
    for (const Case& c : cases) {
        sim->setFault(c.step, c.status);
        const quint64 id = plug();
        spin(0.02);
        sim->setFault(c.step, 0);
        EXPECT_EQ(log.matching(c.line).size(), 1) << c.line;
        unplug(id);
        spin(0.02);
    }
    EXPECT_EQ(delegate.found, 0);
    EXPECT_EQ(delegate.removed, 0);
    EXPECT_EQ(sim->handleCount(), 0u);
}

TEST_F(SimMonitor, StartScanFailuresAfterOpening)
{
    // Re-enumeration fails: not reported, and it does not come back by itself.
    const quint64 first = plug();
    auto r = registry();
    r->setFault(Step::ReEnumerate, USBRegistry::StatusNotOpen);
    start(std::move(r));
    spin(0.05);
    EXPECT_EQ(delegate.found, 0);
    EXPECT_EQ(log.matching("^ResetDevice returned 0xe00002cd\\.$").size(), 1);
    unplug(first);
    monitor.reset();

    // Closing fails: the re-enumeration happened, so the counter still arrives again.
    plug();
    r = registry();
    r->setFault(Step::Close, USBRegistry::StatusNotOpen);
    start(std::move(r));
    EXPECT_EQ(log.matching("^USBDeviceClose returned 0xe00002cd\\.$").size(), 1);
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));
}

TEST_F(SimMonitor, MissingRemovalWatchStillReports)
{
    start();
    sim->setFault(Step::Interest, USBRegistry::StatusNoDevice);
    const quint64 id = plug();
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));
    EXPECT_EQ(log.matching("^IOServiceAddInterestNotification returned 0xe00002c0\\.$").size(), 1);
    unplug(id);
    spin(0.05);
    EXPECT_EQ(delegate.removed, 0);
}

TEST_F(SimMonitor, UnreadableIdentifierIsCaughtAndTheMonitorKeepsRunning)
{
    // At start, during construction, and on a removal: none of them may escape.
    plug();
    auto r = registry();
    r->setFault(Step::EntryID, USBRegistry::StatusNotFound);
    start(std::move(r));
    EXPECT_EQ(log.matching("^could not get entry ID$").size(), 1);
    sim->setFault(Step::EntryID, 0);

    const quint64 id = plug();
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));

    sim->setFault(Step::EntryID, USBRegistry::StatusNotFound);
    unplug(id);
    spin(0.05);
    EXPECT_EQ(log.matching("^could not get entry ID$").size(), 2);
    EXPECT_EQ(log.matching("internal inconsistency").size(), 2);
    EXPECT_EQ(delegate.removed, 0);

    sim->setFault(Step::EntryID, 0);
    const quint64 again = plug();
    ASSERT_TRUE(waitUntil([&] { return delegate.found == 2; }, 2));
    unplug(again);
    ASSERT_TRUE(waitUntil([&] { return delegate.removed == 1; }, 2));
}

TEST(USBMonitorInit, NoCriteriaGivesNoMonitor)
{
    LogCapture log;
    EXPECT_FALSE(USBMonitor::init(nullptr));
    EXPECT_EQ(log.matching("^IOServiceMatching returned NULL\\.$").size(), 1);
}
