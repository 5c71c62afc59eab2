// The protocol memory transfer against a simulated counter holding a dump written for it.
#include <gtest/gtest.h>

#include "device/DeviceError.h"
#include "link_test_support.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQProtocol.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"
#include "sim/dump/DumpWriter.h"

using namespace oq;
using namespace oq::test;

namespace {

// An hour of one-minute counts, with a time mark and an alarm, then `extra` more counts.
sim::DumpSpec dumpSpec(const QString& firmware, int extra = 0)
{
    sim::DumpSpec spec;
    spec.firmware = firmware;
    spec.events = {sim::DumpEvent::interval(60), sim::DumpEvent::timeMark({2024, 5, 1, 12, 0, 0})};
    for (int i = 0; i < 60 + extra; ++i) {
        spec.events.push_back(sim::DumpEvent::count(uint64_t(10 + i % 7)));
        if (i == 30)
            spec.events.push_back(sim::DumpEvent::flagsSet(sim::DumpEvent::Overflow));
    }
    return spec;
}

QStringList eventTexts(const std::optional<OQProtocolEventList>& events)
{
    QStringList texts;
    if (events) {
        for (const auto& e : *events)
            texts << e->stringRepresentation();
    }
    return texts;
}

class ProtocolTransfer : public ::testing::Test {
protected:
    void start(const sim::DumpSpec& spec, const std::function<void(sim::CounterConfig&)>& change = {})
    {
        QString error;
        dump = sim::writeDump(spec, &error);
        ASSERT_TRUE(dump) << error.toStdString();
        sim::CounterConfig config;
        config.deviceDump = QString::fromLatin1(dump->deviceDump);
        if (change)
            change(config);
        rig = std::make_unique<LinkRig>(Link::Sim, config);
        device = rig->makeDevice();
        ASSERT_TRUE(device->info());
        readyCommands = rig->counter->commandLog().size();
    }
    // Starts a transfer; `done` tells whether its completion ran.
    void transfer()
    {
        device->getProtocol([this](std::shared_ptr<OQProtocol> p, std::optional<ErrorRecord> e) {
            EXPECT_TRUE(isMainThread());
            EXPECT_NE(p != nullptr, e.has_value());
            protocol = std::move(p);
            error = std::move(e);
            done = true;
        });
        EXPECT_TRUE(device->busy());
        ASSERT_TRUE(device->progress());
        EXPECT_TRUE(device->progress()->isCancellable());
    }
    bool finished() { return waitUntil([this] { return done; }, 30.0); }
    // The commands the counter got after the exchange that made the device ready.
    QStringList transferCommands() const
    {
        return rig->counter->commandLog().mid(readyCommands);
    }
    void TearDown() override
    {
        device.reset();
        rig.reset();
    }

    std::optional<sim::WrittenDump> dump;
    std::unique_ptr<LinkRig> rig;
    std::shared_ptr<OQUSBDevice> device;
    std::shared_ptr<OQProtocol> protocol;
    std::optional<ErrorRecord> error;
    bool done = false;
    qsizetype readyCommands = 0;
};

TEST_F(ProtocolTransfer, FirmwareDecidesWhichSectionsAreAskedFor)
{
    struct Band {
        QString firmware;
        QStringList commands;
    };
    const Band bands[] = {
        {"6.00", {"P", "b", "X"}},
        {"7.02Lb07", {"P", "c", "b", "X"}},
        {"7.022Lb07", {"P", "c", "h", "b", "X"}},
        {"7.03Lb07", {"P", "c", "h", "s", "b", "X"}},
    };
    for (const Band& band : bands) {
        SCOPED_TRACE(band.firmware.toStdString());
        done = false;
        start(dumpSpec(band.firmware));
        transfer();
        ASSERT_TRUE(finished());
        ASSERT_TRUE(protocol) << error->localizedDescription().toStdString();
        // The completion comes once the counter has left PC mode.
        EXPECT_EQ(transferCommands(), band.commands);
        EXPECT_EQ(device->calibration().isNull(), !band.commands.contains("c"));
        EXPECT_EQ(device->hwInfo().isNull(), !band.commands.contains("h"));
        EXPECT_EQ(device->statc().isNull(), !band.commands.contains("s"));
        // Old counters included: the stored dump parses to the events the counter was given.
        const auto expected = eventTexts(OQProtocol::initWithDeviceDump(QString::fromLatin1(dump->deviceDump))->protocolEventsError());
        ErrorRecord parseError;
        const auto events = eventTexts(protocol->protocolEventsError(&parseError));
        EXPECT_FALSE(events.isEmpty()) << parseError.localizedDescription().toStdString();
        EXPECT_EQ(events, expected);
        TearDown();
    }
}

TEST_F(ProtocolTransfer, CompleteDumpGivesTheCounterStateAndItsEvents)
{
    start(dumpSpec("7.14Lb07", 4000));
    QList<qint64> completed;
    QObject guard;
    // Subscribed as the transfer installs its record, before its worker can report anything.
    QObject::connect(device.get(), &OQDevice::progressChanged, &guard, [&] {
        QObject::connect(device->progress().get(), &ProgressRecord::completedUnitCountChanged, &guard,
            [&](qint64 n) { completed << n; });
    }, Qt::DirectConnection);
    transfer();
    const auto progress = device->progress();
    ASSERT_TRUE(finished());
    ASSERT_TRUE(protocol) << error->localizedDescription().toStdString();
    EXPECT_FALSE(device->busy());
    EXPECT_FALSE(device->failed());

    // The dump ended in its last chunk and was taken as complete only after a second of silence.
    EXPECT_EQ(rig->backend->pollsSinceData.load(), 10);
    ASSERT_FALSE(completed.isEmpty());
    EXPECT_EQ(completed.last(), 0); // reset when the transfer is over
    EXPECT_GE(completed[completed.size() - 2], device->info()->protocolLength());
    EXPECT_EQ(progress->totalUnitCount(), -1);
    EXPECT_FALSE(progress->isCancellable());

    EXPECT_EQ(device->calibration(), QString::fromLatin1(dump->calibrationAnswer).trimmed());
    EXPECT_EQ(device->hwInfo(), QString::fromLatin1(dump->hwInfoAnswer).trimmed());
    EXPECT_EQ(device->statc(), QString::fromLatin1(dump->statcAnswer).trimmed());
    EXPECT_EQ(device->protocol(), QString::fromLatin1(dump->dumpLines).trimmed());
    EXPECT_EQ(protocol->info()->versionString(), device->info()->versionString());

    const auto expected = eventTexts(OQProtocol::initWithDeviceDump(QString::fromLatin1(dump->deviceDump))->protocolEventsError());
    EXPECT_EQ(expected.size(), 4060);
    EXPECT_EQ(eventTexts(protocol->protocolEventsError()), expected);
}

TEST_F(ProtocolTransfer, ShortDumpIsCodeZeroWithTheTimeoutText)
{
    // The record promises more bytes than the memory holds.
    start(dumpSpec("7.14Lb07"), [](sim::CounterConfig& c) { c.protocolLength = 0x2000; });
    transfer();
    ASSERT_TRUE(finished());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), device::OQDeviceErrorDomain);
    EXPECT_EQ(error->code(), 0);
    EXPECT_EQ(error->localizedDescription(), localized(QStringLiteral("errors.device.timeout")));
    EXPECT_TRUE(device->failed());
    EXPECT_FALSE(device->busy());
    spin(0.05);
    EXPECT_EQ(transferCommands().last(), "b"); // no "X" after an incomplete dump
}

TEST_F(ProtocolTransfer, CancelDuringTheDumpSendsEscUntilQuietThenX)
{
    // At 9600 baud the dump takes long enough to be cancelled in the middle.
    start(dumpSpec("7.14Lb07", 2000), [](sim::CounterConfig& c) { c.baud = 9600; });
    transfer();
    auto progress = device->progress();
    ASSERT_TRUE(waitUntil([&] { return progress->completedUnitCount() > 0; }));
    progress->cancel();
    ASSERT_TRUE(waitUntil([&] { return !device->busy(); }));
    EXPECT_FALSE(device->failed());
    EXPECT_EQ(device->progress(), nullptr);
    // Idle only once the cancel sequence has ended with its "X".
    const QStringList commands = transferCommands();
    EXPECT_EQ(commands.last(), "X");
    const auto b = commands.indexOf("b");
    ASSERT_GE(b, 0);
    const QStringList cancel = commands.mid(b + 1);
    EXPECT_GE(cancel.count("ESC"), 10);
    EXPECT_EQ(cancel.count("ESC"), cancel.size() - 1);
    spin(0.05);
    EXPECT_FALSE(done); // a cancelled transfer has no completion
}

TEST_F(ProtocolTransfer, CancelBeforeItStartsEndsQuietly)
{
    start(dumpSpec("7.14Lb07"));
    transfer();
    device->progress()->cancel();
    ASSERT_TRUE(waitUntil([&] { return !device->busy(); }));
    EXPECT_EQ(device->progress(), nullptr);
    EXPECT_FALSE(device->failed());
    spin(0.05);
    EXPECT_FALSE(done);
}

TEST_F(ProtocolTransfer, CancelSequenceGivesUpOnACounterThatNeverFallsQuiet)
{
    start(dumpSpec("7.14Lb07"), [](sim::CounterConfig& c) { c.valueInterval = 0.05; });
    rig->counter->setCommand(0x1B, [](sim::SimCounter::Context&) {}); // ignores ESC
    ASSERT_EQ(device->writeCommand('R'), FT_OK);
    device->cancelProtocolTransfer(); // returns instead of draining for ever
    const QStringList commands = transferCommands();
    EXPECT_EQ(commands.last(), "X");
    EXPECT_GT(commands.count("ESC"), 100);
}

TEST_F(ProtocolTransfer, UnpluggedCounterGivesTheDriverError)
{
    start(dumpSpec("7.14Lb07"));
    rig->unplug();
    transfer();
    ASSERT_TRUE(finished());
    ASSERT_TRUE(error);
    EXPECT_GT(error->code(), 0);
    EXPECT_EQ(error->localizedDescription(), QStringLiteral("Driver return code: %1").arg(error->code()));
    EXPECT_TRUE(device->failed());
}

} // namespace
