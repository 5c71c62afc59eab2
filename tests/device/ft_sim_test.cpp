// The FT_* layer over the simulated bus.
#include <gtest/gtest.h>

#include <future>

#include "device/ft/FtBackend.h"
#include "sim/SimFtBackend.h"
#include "ft_test_support.h"
#include "sim/SimBus.h"

using namespace oq::ft::test;
using oq::sim::CounterConfig;
using oq::sim::SimBus;
using oq::sim::SimCounter;

namespace {

class FtSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oq::clock::setScale(0.001);
        oq::sim::useFtBackend();
    }
    void TearDown() override
    {
        SimBus::instance().unplugAll();
        oq::clock::setScale(1.0);
    }

    std::shared_ptr<SimCounter> plug(CounterConfig c = {})
    {
        auto counter = std::make_shared<SimCounter>(c);
        SimBus::instance().plug(counter);
        return counter;
    }

    FT_HANDLE openFirst()
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(FT_Open(0, &h), FT_OK);
        return h;
    }
};

CounterConfig streaming(double interval = 0.1)
{
    CounterConfig c;
    c.profile.kind = oq::sim::ProfileSpec::Constant;
    c.profile.value = 0.5;
    c.valueInterval = interval;
    return c;
}

} // namespace

TEST_F(FtSimTest, ListsExactlyThePluggedCountersAndTheirOpenHandles)
{
    DWORD n = 99;
    EXPECT_EQ(FT_SetVIDPID(0x0403, 0xD678), FT_OK);
    EXPECT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 0u);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_Open(0, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);

    plug();
    plug();
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 2u);
    h = openFirst();
    ASSERT_NE(h, nullptr);
    FT_DEVICE_LIST_INFO_NODE nodes[2];
    ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), FT_OK);
    EXPECT_EQ(nodes[0].ftHandle, h);
    EXPECT_EQ(nodes[1].ftHandle, nullptr);
    EXPECT_EQ(nodes[0].ID, 0x0403D678u);

    // A stale handle keeps the counter busy until it is closed.
    FT_HANDLE second = nullptr;
    EXPECT_EQ(FT_Open(0, &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(FT_Close(nodes[0].ftHandle), FT_OK);
    EXPECT_EQ(FT_Open(0, &second), FT_OK);
    EXPECT_NE(second, h);
    FT_Close(second);
}

TEST_F(FtSimTest, ClosedAndForeignHandlesAreRejected)
{
    plug();
    FT_HANDLE h = openFirst();
    FT_Close(h);
    char c = 'P';
    DWORD n = 0;
    for (FT_HANDLE bad : {h, static_cast<FT_HANDLE>(nullptr), reinterpret_cast<FT_HANDLE>(&c)}) {
        EXPECT_EQ(FT_Write(bad, &c, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Read(bad, &c, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetQueueStatus(bad, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetBaudRate(bad, 9600), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Close(bad), FT_INVALID_HANDLE);
    }
    EXPECT_EQ(FT_Read(h, nullptr, 1, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetQueueStatus(h, nullptr), FT_INVALID_PARAMETER);

    // Choosing another backend leaves no usable handle behind.
    FT_HANDLE old = openFirst();
    oq::sim::useFtBackend();
    EXPECT_EQ(FT_GetQueueStatus(old, &n), FT_INVALID_HANDLE);
}

TEST_F(FtSimTest, LineSettingsDecideWhetherTheCounterUnderstands)
{
    CounterConfig slow;
    slow.baud = 9600;
    auto counter = plug(slow);
    FT_HANDLE h = openFirst();
    EXPECT_EQ(FT_SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(FT_SetDataCharacteristics(h, 5, FT_STOP_BITS_1, FT_PARITY_EVEN), FT_INVALID_PARAMETER);
    configureLine(h, 460800);
    ASSERT_EQ(writeText(h, "P"), FT_OK);
    EXPECT_EQ(readLines(h, 1, 3), "");
    FT_SetBaudRate(h, 9600);
    ASSERT_EQ(writeText(h, "P"), FT_OK);
    EXPECT_EQ(readLines(h, 2), "\r\nPC-Mode gestartet\r\n");
    EXPECT_EQ(counter->commandLog(), (QStringList{"~", "P"}));
    FT_Close(h);
}

TEST_F(FtSimTest, ReadWaitsForItsTimeOutAndPurgeDropsWhatArrived)
{
    plug();
    FT_HANDLE h = openFirst();
    configureLine(h);
    FT_SetTimeouts(h, 500, 1000);
    writeText(h, "P");
    char buf[64];
    DWORD n = 0;
    // More than will come: the read gives what there is when its time-out ends.
    EXPECT_EQ(FT_Read(h, buf, sizeof buf, &n), FT_OK);
    EXPECT_EQ(QByteArray(buf, int(n)), "\r\nPC-Mode gestartet\r\n");

    writeText(h, "v");
    oq::clock::sleepFor(0.5);
    DWORD waiting = 0;
    ASSERT_EQ(FT_GetQueueStatus(h, &waiting), FT_OK);
    EXPECT_GT(waiting, 40u);
    EXPECT_EQ(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    ASSERT_EQ(FT_GetQueueStatus(h, &waiting), FT_OK);
    EXPECT_EQ(waiting, 0u);
    FT_Close(h);
}

TEST_F(FtSimTest, UnplugEndsAWaitingReadWithAnError)
{
    plug();
    FT_HANDLE h = openFirst();
    configureLine(h);
    FT_SetTimeouts(h, 3600 * 1000, 1000); // an hour: only the unplug can end it
    auto read = std::async(std::launch::async, [h] {
        char buf[16];
        DWORD n = 0;
        return FT_Read(h, buf, sizeof buf, &n);
    });
    oq::clock::sleepFor(1);
    SimBus::instance().unplugAll();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(read.get(), FT_OK);
    DWORD n = 0;
    char c = 'X';
    EXPECT_NE(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_NE(FT_Write(h, &c, 1, &n), FT_OK);
    EXPECT_EQ(FT_Close(h), FT_OK);
}

TEST_F(FtSimTest, CounterPulledOutMidStream)
{
    CounterConfig c = streaming();
    c.faults.unplugAfterLines = 3;
    plug(c);
    FT_HANDLE h = openFirst();
    configureLine(h);
    writeText(h, "R");
    FT_STATUS status = FT_OK;
    const QByteArray got = readLines(h, 100, 30, &status);
    EXPECT_NE(status, FT_OK);
    // Whatever had arrived when it went is lost with it, as with a real bridge.
    EXPECT_TRUE(QByteArray("0,500 uSv/h\r\n").repeated(3).startsWith(got)) << got.toStdString();
    EXPECT_TRUE(SimBus::instance().entries().empty());
    // Plugged in again it is a new device; the old handle stays dead.
    SimBus::instance().plug(std::make_shared<SimCounter>());
    DWORD n = 0;
    EXPECT_NE(FT_GetQueueStatus(h, &n), FT_OK);
}
