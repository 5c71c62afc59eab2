// A device dropped while it still looks for its counter (pulled out at once, plugged in again)
// must leave the counter to the device made for the new arrival.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "common/TestUtil.h"
#include "device/ft/FtBackend.h"
#include "sim/SimFtBackend.h"
#include "device/OQUSBDevice.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"

using namespace oq;

TEST(DroppedDevice, LeavesTheCounterToTheNextDevice)
{
    clock::setScale(0.1);
    sim::useFtBackend();
    sim::SimBus::instance().unplugAll();

    // No counter listed: the first device keeps looking for one for about a second.
    auto dropped = makeDevice<OQUSBDevice>();
    test::spin(0.002);
    dropped.reset();

    sim::CounterConfig config;
    config.version = QStringLiteral("7.14Lb07");
    auto counter = std::make_shared<sim::SimCounter>(config);
    sim::SimBus::instance().plug(counter);
    auto device = makeDevice<OQUSBDevice>();
    ASSERT_TRUE(test::waitUntil([&] { return device->failed() || device->info(); }, 10));
    device->startRateMode();
    EXPECT_TRUE(test::waitUntil([&] { return device->failed() || device->onlineValue(); }, 10));
    EXPECT_FALSE(device->failed()) << device->error().toStdString();
    EXPECT_EQ(counter->commandLog().count(QStringLiteral("P")), 1) << counter->commandLog().join(QLatin1Char(' ')).toStdString();

    device->stopOnlineMode(nullptr);
    sim::SimBus::instance().unplugAll();
    device.reset();
    test::spin(0.3);
    clock::setScale(1.0);
}

TEST(DroppedDevice, ClosesItsHandleWhenItGoes)
{
    clock::setScale(0.05);
    sim::useFtBackend();
    sim::SimBus::instance().unplugAll();
    sim::CounterConfig config;
    config.version = QStringLiteral("7.14Lb07");
    sim::SimBus::instance().plug(std::make_shared<sim::SimCounter>(config));

    const auto openHandle = [] {
        DWORD n = 0;
        FT_CreateDeviceInfoList(&n);
        FT_DEVICE_LIST_INFO_NODE node = {};
        DWORD one = 1;
        return n > 0 && FT_GetDeviceInfoList(&node, &one) == FT_OK ? node.ftHandle : nullptr;
    };
    auto device = makeDevice<OQUSBDevice>();
    ASSERT_TRUE(test::waitUntil([&] { return device->failed() || device->info(); }, 10));
    ASSERT_TRUE(test::waitUntil([&] { return device->progress() && device->progress()->completedUnitCount() == -1; }, 10));
    EXPECT_TRUE(openHandle());

    // Dropped without a failure (its counter went while a stop ran, say): nothing else would close it.
    device.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(openHandle());

    sim::SimBus::instance().unplugAll();
    clock::setScale(1.0);
}
