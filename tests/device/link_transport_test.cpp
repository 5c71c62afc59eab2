// Line reading, failures and status messages of the serial link, in process and over a real
// pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "device/DeviceError.h"
#include "link_test_support.h"

using namespace oq;
using namespace oq::test;

namespace {

class LinkTransport : public ::testing::TestWithParam<Link> {
protected:
    std::unique_ptr<LinkRig> rig;
    std::shared_ptr<OQUSBDevice> device;

    void start(sim::CounterConfig config = {}, double scale = 0.01)
    {
        rig = std::make_unique<LinkRig>(GetParam(), std::move(config), scale);
        device = rig->makeDevice();
        ASSERT_TRUE(device->info());
    }
    void TearDown() override
    {
        device.reset();
        rig.reset();
    }
    std::optional<QString> read(std::optional<ErrorRecord>* error = nullptr)
    {
        return device->readLineFromHandle(device->handle(), error);
    }
    // A read that gave up: the empty text with the time-out error.
    bool readTimesOut()
    {
        std::optional<ErrorRecord> error;
        const auto line = read(&error);
        return line && line->isEmpty() && error && error->code() == -3;
    }
};

TEST_P(LinkTransport, LineSplitOverReadsComesWhenItsEndArrives)
{
    sim::CounterConfig slow;
    slow.baud = 9600; // 1 ms a character: a long line spans several polls
    start(slow);
    const QByteArray body(600, 'a');
    rig->answer('1', body + "\r\n");
    const int readsBefore = rig->backend->readCalls;
    ASSERT_EQ(device->writeCommand('1'), FT_OK);
    EXPECT_EQ(read(), QString::fromLatin1(body + "\r\n"));
    EXPECT_GE(rig->backend->readCalls - readsBefore, 2);
}

TEST_P(LinkTransport, TwoLinesInOneReadTheSecondWithoutTheDriver)
{
    start();
    rig->answer('1', "one\r\ntwo\r\n");
    ASSERT_EQ(device->writeCommand('1'), FT_OK);
    EXPECT_EQ(read(), QStringLiteral("one\r\n"));
    const int callsAfterFirst = rig->backend->driverCallsHere;
    EXPECT_EQ(read(), QStringLiteral("two\r\n"));
    EXPECT_EQ(rig->backend->driverCallsHere, callsAfterFirst);
}

TEST_P(LinkTransport, LoneCarriageReturnOrLineFeedDoesNotEndALine)
{
    start();
    rig->answer('1', "a\rb\nc\r\n");
    ASSERT_EQ(device->writeCommand('1'), FT_OK);
    EXPECT_EQ(read(), QStringLiteral("a\rb\nc\r\n"));
}

TEST_P(LinkTransport, SilenceTimesOutAfter24Polls)
{
    start();
    std::optional<ErrorRecord> error;
    int before = rig->backend->queueStatusCalls;
    auto line = read(&error);
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->isEmpty());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), device::OQDeviceErrorDomain);
    EXPECT_EQ(error->code(), -3);
    EXPECT_EQ(error->localizedDescription(), QStringLiteral("Timeout"));
    EXPECT_EQ(rig->backend->queueStatusCalls - before, 24);

    // Nobody asking for the error changes nothing else.
    before = rig->backend->queueStatusCalls;
    line = read();
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->isEmpty());
    EXPECT_EQ(rig->backend->queueStatusCalls - before, 24);
}

TEST_P(LinkTransport, UnfinishedLineIsDroppedAfterTwoEmptyReads)
{
    start();
    rig->answer('1', "abc");
    rig->answer('2', "def\r\n");
    ASSERT_EQ(device->writeCommand('1'), FT_OK);
    EXPECT_TRUE(readTimesOut());
    EXPECT_TRUE(device->rxBuffer().isEmpty());
    ASSERT_EQ(device->writeCommand('2'), FT_OK);
    EXPECT_EQ(read(), QStringLiteral("def\r\n"));
}

TEST_P(LinkTransport, StreamWithoutLineEndsCostsBoundedMemory)
{
    start();
    rig->answer('1', QByteArray(3 * OQUSBDevice::kMaxPartialLine, 'x'));
    ASSERT_EQ(device->writeCommand('1'), FT_OK);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(readTimesOut());
        EXPECT_LT(device->rxBuffer().size(), OQUSBDevice::kMaxPartialLine);
    }
}

TEST_P(LinkTransport, CounterStreamingValuesWithoutLineEndsCostsBoundedMemory)
{
    sim::CounterConfig config;
    config.valueInterval = 0.005;
    start(config);
    rig->counter->updateConfig([](sim::CounterConfig& c) { c.faults.noLineEnds = true; });
    ASSERT_EQ(device->writeCommand('R'), FT_OK);
    EXPECT_TRUE(readTimesOut());
    EXPECT_LT(device->rxBuffer().size(), OQUSBDevice::kMaxPartialLine);
    device->writeCommand('X');
}

TEST_P(LinkTransport, UnplugMidReadGivesNoneAndADriverError)
{
    start({}, 0.05);
    rig->answer('1', "abc");
    ASSERT_EQ(device->writeCommand('1'), FT_OK);
    std::thread unplugger([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rig->unplug();
    });
    std::optional<ErrorRecord> error;
    const auto line = read(&error);
    unplugger.join();
    EXPECT_FALSE(line);
    ASSERT_TRUE(error);
    EXPECT_GT(error->code(), 0);
    EXPECT_EQ(error->localizedDescription(), QStringLiteral("Driver return code: %1").arg(error->code()));
    // Later calls fail at once instead of waiting.
    EXPECT_FALSE(read(&error));
    EXPECT_NE(device->writeCommand('X'), FT_OK);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkTransport, ::testing::Values(Link::Sim, Link::Pty), linkName);

// Bytes outside 7-bit ASCII: a pseudo-terminal may strip the eighth bit, so in process only.
TEST(LinkTransportSim, BytesOutsideAsciiReadAsQuestionMarks)
{
    LinkRig rig(Link::Sim);
    auto device = rig.makeDevice();
    rig.answer('1', "\xB5Sv\r\n\xFF\r\n");
    ASSERT_EQ(device->writeCommand('1'), FT_OK);
    EXPECT_EQ(device->readLineFromHandle(device->handle()), QStringLiteral("?Sv\r\n"));
    EXPECT_EQ(device->readLineFromHandle(device->handle()), QStringLiteral("?\r\n"));
}

TEST(DeviceErrors, StatusMessagesAndRecords)
{
    EXPECT_EQ(device::ftStatusMessage(0), QStringLiteral("Driver Error: unknown status"));
    EXPECT_EQ(device::ftStatusMessage(3), QStringLiteral("Driver Error: device not found"));
    EXPECT_EQ(device::ftStatusMessage(2), QStringLiteral("Driver Error: device not found"));
    EXPECT_EQ(device::ftStatusMessage(7), QStringLiteral("Driver Error: invalid baud rate"));
    EXPECT_EQ(device::ftStatusMessage(18), QStringLiteral("Driver Error: unknown status"));
    const ErrorRecord e = device::errorWithFTStatus(4);
    EXPECT_EQ(e.domain(), device::OQDeviceErrorDomain);
    EXPECT_EQ(e.code(), 4);
    EXPECT_EQ(e.localizedDescription(), QStringLiteral("Driver return code: 4"));
}

TEST(DeviceFailure, NoCounterRecordsTheDriverMessageAndStaysConnected)
{
    LinkRig rig(Link::Sim);
    sim::SimBus::instance().unplugAll();
    auto device = rig.makeDevice(false);
    ASSERT_TRUE(waitUntil([&] { return !device->busy(); }));
    EXPECT_TRUE(device->failed());
    EXPECT_TRUE(device->connected());
    EXPECT_FALSE(device->info());
    EXPECT_EQ(device->error(), QStringLiteral("Driver Error: device not found"));
    EXPECT_EQ(device->handle(), nullptr);
}

TEST(DeviceFailure, FailWithFtStatusFromAnotherThread)
{
    LinkRig rig(Link::Sim);
    auto device = rig.makeDevice();
    std::thread worker([&] { device->failWithFtStatus(0); });
    ASSERT_TRUE(waitUntil([&] { return device->failed(); }));
    worker.join();
    EXPECT_EQ(device->error(), QStringLiteral("Driver Error: unknown status"));
    EXPECT_FALSE(device->busy());
    EXPECT_EQ(device->handle(), nullptr);
    // The closed handle fails every later call instead of touching the counter.
    EXPECT_NE(device->writeCommand('X'), FT_OK);
}

TEST(DeviceModel, UsbDeviceFlags)
{
    LinkRig rig(Link::Sim);
    auto device = rig.makeDevice();
    EXPECT_TRUE(device->usbConnected());
    EXPECT_TRUE(device->canSetTime());
    EXPECT_TRUE(device->name().isNull());
    EXPECT_FALSE(device->onlineMode());
}

} // namespace
