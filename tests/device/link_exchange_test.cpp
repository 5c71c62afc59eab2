// The information exchange, the online mode and the clock setting against the simulated counter.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QTimeZone>

#include <cmath>
#include <mutex>

#include "device/DeviceError.h"
#include "link_test_support.h"
#include "logging/LGLogger.h"
#include "logging/Log.h"
#include "parser/OQDeviceInfo.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"

using namespace oq;
using namespace oq::test;

namespace {

// Keeps the counter traffic that reaches the device log.
class DeviceLogCapture final : public LGAbstractLogger {
public:
    DeviceLogCapture() : LGAbstractLogger(QStringLiteral("test.devicelog")) {}
    void logMessage(const LGLogMessage& message) override
    {
        if (message.context != OQDeviceLogContext)
            return;
        std::lock_guard lock(m_mutex);
        m_lines << message.message;
    }
    QStringList lines()
    {
        LGLog::flushLog();
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    QStringList m_lines;
};

sim::CounterConfig config(const std::function<void(sim::CounterConfig&)>& change = {})
{
    sim::CounterConfig c;
    c.profile.kind = sim::ProfileSpec::Constant;
    c.profile.value = 0.12;
    if (change)
        change(c);
    return c;
}

bool waitEnded(const std::shared_ptr<OQUSBDevice>& device)
{
    return waitUntil([&] { return device->failed() || (!device->busy() && device->progress() && device->progress()->completedUnitCount() == -1); }, 30.0);
}

// ---- Information exchange

TEST(InfoExchange, ReadyAt460800WithTheCommandsAndAnswersInTheDeviceLog)
{
    auto capture = std::make_shared<DeviceLogCapture>();
    LGLog::addLogger(capture, LGLogLevelAll);
    {
        LinkRig rig(Link::Sim, config());
        auto device = rig.makeDevice(false);
        ASSERT_TRUE(waitEnded(device));
        EXPECT_FALSE(device->failed());
        EXPECT_FALSE(device->busy());
        ASSERT_TRUE(device->info());
        EXPECT_TRUE(device->info()->versionString().startsWith(QStringLiteral("Version 7.14")));
        EXPECT_EQ(device->progress()->localizedDescription(), localized(QStringLiteral("device.progress.loading_device_info")));
        EXPECT_EQ(rig.counter->commandLog(), (QStringList{"X", "P", "v", "X"}));

        const QStringList log = capture->lines();
        const QStringList expected{"P\n", "PC-Mode gestartet\r\n", "v\n", "\r\n", device->info()->versionString() + "\r\n", "X\n", "\r\n", "PC-Mode beendet\r\n"};
        EXPECT_EQ(log, expected);
    }
    LGLog::removeLogger(capture);
}

TEST(InfoExchange, CounterAt9600TakesOneFallback)
{
    LinkRig rig(Link::Sim, config([](auto& c) { c.baud = 9600; }));
    auto device = rig.makeDevice(false);
    ASSERT_TRUE(waitEnded(device));
    ASSERT_TRUE(device->info()) << device->error().toStdString();
    // What reached the counter at the wrong speed is noise; after the fallback one "P" is clear.
    const QStringList commands = rig.counter->commandLog();
    EXPECT_EQ(commands.count("P"), 1);
    EXPECT_EQ(commands.mid(commands.indexOf("P") - 1), (QStringList{"X", "P", "v", "X"}));
    // The speed stays at 9600: an online stream after the exchange is readable.
    device->startRateMode();
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue().has_value(); }));
    EXPECT_NEAR(*device->onlineValue(), 0.12, 1e-6);
}

TEST(InfoExchange, CounterStillStreamingIsStoppedAndItsValueLinesSkipped)
{
    LinkRig rig(Link::Sim, config([](auto& c) {
        c.startMode = sim::Mode::OnlineDose;
        c.valueInterval = 0.05;
    }));
    // Value lines of both kinds still in flight when "P" arrives, then its answer.
    rig.counter->setCommand('P', [](sim::SimCounter::Context& c) {
        c.stopStream();
        c.setMode(sim::Mode::PcMode);
        c.send("0,120 uSv/h\r\n1,500 mSv\r\n12,5 mrem\r\n0,3 urem/h\r\n\r\nPC-Mode gestartet\r\n");
    });
    auto device = rig.makeDevice(false);
    ASSERT_TRUE(waitEnded(device));
    EXPECT_TRUE(device->info()) << device->error().toStdString();
    EXPECT_EQ(rig.counter->commandLog().first(), "X");
    EXPECT_EQ(rig.counter->commandLog().count("P"), 1);
}

TEST(InfoExchange, UnconfirmedPcModeRecoversAndAcceptsTheLaterAnswer)
{
    LinkRig rig(Link::Sim, config([](auto& c) { c.faults.pcUnconfirmed = 1; }));
    auto device = rig.makeDevice(false);
    ASSERT_TRUE(waitEnded(device));
    ASSERT_TRUE(device->info()) << device->error().toStdString();
    const QStringList commands = rig.counter->commandLog();
    EXPECT_EQ(commands.count("P"), 2);
    // The cancel sequence ran between the two: ESC until quiet, then "X".
    const auto firstP = commands.indexOf("P");
    const auto secondP = commands.lastIndexOf("P");
    EXPECT_EQ(commands.mid(firstP + 1, secondP - firstP - 1).count("ESC"), 10);
    EXPECT_EQ(commands[secondP - 1], "X");
}

TEST(InfoExchange, RejectedVersionRecordFailsWithUnexpectedFormat)
{
    LinkRig rig(Link::Sim, config([](auto& c) { c.versionRecord = QStringLiteral("version 7.14Lb07 10000 FFFF 01.01.25 10:00:00"); }));
    auto device = rig.makeDevice(false);
    ASSERT_TRUE(waitEnded(device));
    EXPECT_TRUE(device->failed());
    EXPECT_FALSE(device->busy());
    EXPECT_FALSE(device->info());
    EXPECT_EQ(device->error(), QStringLiteral("unexpected Format"));
}

TEST(InfoExchange, SilentCounterEndsWithTheFirmwareFailure)
{
    for (const bool onlyPIsIgnored : {false, true}) {
        LinkRig rig(Link::Sim, config([&](auto& c) {
            c.faults.silent = !onlyPIsIgnored;
            c.faults.pcSilent = onlyPIsIgnored;
        }));
        auto device = rig.makeDevice(false);
        ASSERT_TRUE(waitEnded(device));
        EXPECT_TRUE(device->failed());
        EXPECT_TRUE(device->connected());
        EXPECT_FALSE(device->info());
        EXPECT_EQ(device->error(), localized(QStringLiteral("errors.device.firmware.description")));
        // The handle is closed on the worker thread right after the failure is recorded.
        EXPECT_TRUE(waitUntil([&] { return device->handle() == nullptr; }));
    }
}

TEST(InfoExchange, StopDuringTheExchangeWaitsItsTurnAndFailsNothing)
{
    LinkRig rig(Link::Sim, config());
    auto device = rig.makeDevice(false);
    bool stopped = false;
    device->stopOnlineMode([&] { stopped = true; });
    ASSERT_TRUE(waitEnded(device));
    EXPECT_FALSE(device->failed()) << device->error().toStdString();
    ASSERT_TRUE(waitUntil([&] { return stopped; }));
    // The exchange ran whole, its closing "X" read, before the stop's own "X".
    EXPECT_EQ(rig.counter->commandLog(), (QStringList{"X", "P", "v", "X", "X"}));
    EXPECT_TRUE(rig.counter->protocolViolations().isEmpty()) << rig.counter->protocolViolations().join("; ").toStdString();
}

TEST(InfoExchange, FailingVersionWriteRecordsTheFailure)
{
    LinkRig rig(Link::Sim, config());
    rig.backend->failWritesOf = 'v';
    auto device = rig.makeDevice(false);
    ASSERT_TRUE(waitEnded(device));
    EXPECT_TRUE(device->failed());
    EXPECT_FALSE(device->busy());
    EXPECT_EQ(device->error(), QStringLiteral("Driver Error: I/O Error"));
}

// ---- Online mode

class OnlineMode : public ::testing::Test {
protected:
    void start(sim::CounterConfig c)
    {
        rig = std::make_unique<LinkRig>(Link::Sim, std::move(c));
        device = rig->makeDevice();
    }
    void TearDown() override
    {
        if (device && !device->failed()) {
            bool stopped = false;
            device->stopOnlineMode([&] { stopped = true; });
            EXPECT_TRUE(waitUntil([&] { return stopped; }));
        }
        device.reset();
        rig.reset();
    }
    int commandCount(const QString& command) const { return int(rig->counter->commandLog().count(command)); }

    std::unique_ptr<LinkRig> rig;
    std::shared_ptr<OQUSBDevice> device;
};

TEST_F(OnlineMode, ValuesAndUnitReachTheMainThread)
{
    start(config([](auto& c) { c.valueInterval = 0.1; }));
    QList<double> seen;
    QObject guard; // ends the connection with the test body
    QObject::connect(device.get(), &OQDevice::onlineValueChanged, &guard, [&] {
        EXPECT_TRUE(isMainThread());
        if (auto v = device->onlineValue())
            seen << *v;
    });
    device->startRateMode();
    ASSERT_TRUE(waitUntil([&] { return seen.size() >= 3; }));
    EXPECT_TRUE(device->onlineMode());
    EXPECT_NEAR(seen.first(), 0.12, 1e-6);
    EXPECT_EQ(device->onlineUnit(), QStringLiteral("Sv"));
    EXPECT_EQ(rig->counter->commandLog().last(), "R");
}

// Three counters, each device bound to its own bridge: each reads its own counter, and one pulled
// out ends only its own device's stream.
TEST_F(OnlineMode, SeveralCountersEachThroughTheirOwnBridge)
{
    start(config([](auto& c) { c.valueInterval = 0.1; c.serial = QStringLiteral("A-1"); }));
    struct Other {
        std::shared_ptr<sim::SimCounter> counter;
        quint64 entry = 0;
        std::shared_ptr<OQUSBDevice> device;
    };
    std::vector<Other> others;
    for (const char* serial : {"B-2", "C-3"}) {
        Other o;
        o.counter = std::make_shared<sim::SimCounter>(config([&](auto& c) { c.valueInterval = 0.1; c.serial = QString::fromLatin1(serial); }));
        o.entry = sim::SimBus::instance().plug(o.counter);
        o.device = ::makeDevice<OQUSBDevice>(std::optional<DWORD>(sim::SimBus::instance().entry(o.entry)->locationId));
        others.push_back(std::move(o));
    }
    for (auto& o : others)
        ASSERT_TRUE(waitUntil([&] { return o.device->connected() && !o.device->busy(); }, 20.0)) << o.device->error().toStdString();
    EXPECT_EQ(others[0].device->info()->serialNumber(), QStringLiteral("B-2"));
    EXPECT_EQ(others[1].device->info()->serialNumber(), QStringLiteral("C-3"));
    for (auto& o : others)
        o.device->startRateMode();
    device->startRateMode();
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue() && others[0].device->onlineValue() && others[1].device->onlineValue(); }));
    sim::SimBus::instance().unplug(others[0].entry);
    ASSERT_TRUE(waitUntil([&] { return others[0].device->failed(); }));
    int before = 0, after = 0;
    QObject guard;
    QObject::connect(others[1].device.get(), &OQDevice::onlineValueChanged, &guard, [&] { ++after; });
    QObject::connect(device.get(), &OQDevice::onlineValueChanged, &guard, [&] { ++before; });
    EXPECT_TRUE(waitUntil([&] { return before >= 3 && after >= 3; }));
    EXPECT_FALSE(device->failed());
    EXPECT_FALSE(others[1].device->failed());
    bool stopped = false;
    others[1].device->stopOnlineMode([&] { stopped = true; });
    EXPECT_TRUE(waitUntil([&] { return stopped; }));
}

TEST_F(OnlineMode, RemCounterDoseStream)
{
    start(config([](auto& c) {
        c.valueInterval = 0.1;
        c.format.unit = sim::Unit::Rem;
        c.startDose = 5000;
    }));
    device->startDoseMode();
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue().has_value(); }));
    EXPECT_EQ(device->onlineUnit(), QStringLiteral("rem"));
    EXPECT_NEAR(*device->onlineValue(), 5000, 5);
    EXPECT_EQ(rig->counter->commandLog().last(), "D");
}

TEST_F(OnlineMode, TwoValuelessLinesResetByAGoodOneAndTheThirdRestartsOnce)
{
    QStringList script{"0.1", "echo", "echo", "0.2", "junk", "junk", "junk"};
    for (int i = 0; i < 1000; ++i)
        script << "0.3";
    start(config([&](auto& c) {
        c.valueInterval = 0.05;
        c.profile.kind = sim::ProfileSpec::Script;
        c.profile.script = script;
    }));
    int rAtSecondValue = -1;
    QObject guard;
    QObject::connect(device.get(), &OQDevice::onlineValueChanged, &guard, [&] {
        if (device->onlineValue() && std::abs(*device->onlineValue() - 0.2) < 1e-6 && rAtSecondValue < 0)
            rAtSecondValue = commandCount("R");
    });
    device->startRateMode();
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue() && std::abs(*device->onlineValue() - 0.3) < 1e-6; }));
    EXPECT_EQ(rAtSecondValue, 1);
    spin(0.1); // another 200 lines or so, all with values
    EXPECT_EQ(commandCount("R"), 2);
}

// A counter that falls silent mid-stream (switched off, its bridge still on the bus): once the
// stream is given up and started afresh its last reading is no longer shown as current, until
// readings return.
TEST_F(OnlineMode, SilenceClearsTheLastReadingUntilReadingsReturn)
{
    start(config([](auto& c) { c.valueInterval = 0.1; }));
    device->startRateMode();
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue().has_value(); }));
    rig->counter->updateConfig([](auto& c) { c.faults.silent = true; });
    ASSERT_TRUE(waitUntil([&] { return !device->onlineValue().has_value(); }));
    EXPECT_FALSE(device->failed());
    EXPECT_TRUE(waitUntil([&] { return commandCount("R") >= 2; })) << "the stream is started afresh";
    rig->counter->updateConfig([](auto& c) { c.faults.silent = false; });
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue().has_value(); }));
}

TEST_F(OnlineMode, StopAmongValuelessLinesIsNotUndoneByARestart)
{
    start(config([](auto& c) {
        c.valueInterval = 0.5;
        c.profile.kind = sim::ProfileSpec::Script;
        c.profile.script = QStringList{"echo"};
    }));
    // Stops landing after each count of value-less lines; a restart scheduled by the line that
    // ends the loop would start an orphaned loop beside the stop.
    for (int round = 0; round < 6; ++round) {
        device->startRateMode();
        spin(0.006 + 0.005 * round);
        bool stopped = false;
        device->stopOnlineMode([&] { stopped = true; });
        ASSERT_TRUE(waitUntil([&] { return stopped; }));
        spin(0.1); // past the time an orphaned loop takes to restart after three silent reads
        EXPECT_EQ(rig->counter->commandLog().last(), "X") << "round " << round;
    }
}

TEST_F(OnlineMode, AStopEndsOnlyTheLoopsAskedBeforeIt)
{
    start(config([](auto& c) { c.valueInterval = 0.1; }));
    // Rate, stop, dose in one go, as a quick switch sends them: one stream at the end, the dose.
    device->startRateMode();
    device->stopOnlineMode(nullptr);
    device->startDoseMode();
    ASSERT_TRUE(waitUntil([&] { return rig->counter->mode() == sim::Mode::OnlineDose && device->onlineValue().has_value(); }));
    EXPECT_FALSE(device->cancelOnline());
    spin(0.1);
    EXPECT_EQ(rig->counter->commandLog().last(), "D");
    EXPECT_TRUE(rig->counter->protocolViolations().isEmpty()) << rig->counter->protocolViolations().join("; ").toStdString();
}

TEST_F(OnlineMode, AfterTheStopsCompletionTheValueIsNoneAndOnlineModeStays)
{
    start(config([](auto& c) { c.valueInterval = 0.1; }));
    device->startRateMode();
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue().has_value(); }));
    bool stopped = false;
    device->stopOnlineMode([&] {
        EXPECT_TRUE(isMainThread());
        stopped = true;
    });
    EXPECT_FALSE(device->onlineValue()); // at once, on the caller's thread
    ASSERT_TRUE(waitUntil([&] { return stopped; }));
    EXPECT_FALSE(device->onlineValue());
    EXPECT_TRUE(device->onlineMode());
    EXPECT_EQ(rig->counter->commandLog().last(), "X");
    spin(0.05);
    EXPECT_FALSE(device->onlineValue());
}

TEST_F(OnlineMode, StopWithoutALoopStillCompletesAndTheNextStartStreams)
{
    start(config([](auto& c) { c.valueInterval = 0.1; }));
    bool stopped = false;
    device->stopOnlineMode([&] { stopped = true; });
    ASSERT_TRUE(waitUntil([&] { return stopped; }));
    EXPECT_FALSE(device->cancelOnline());
    device->startRateMode();
    EXPECT_TRUE(waitUntil([&] { return device->onlineValue().has_value(); }));
}

TEST_F(OnlineMode, UnplugMidStreamRecordsTheConnectionFailure)
{
    start(config([](auto& c) { c.valueInterval = 0.1; }));
    device->startRateMode();
    ASSERT_TRUE(waitUntil([&] { return device->onlineValue().has_value(); }));
    rig->unplug();
    ASSERT_TRUE(waitUntil([&] { return device->failed(); }));
    EXPECT_EQ(device->error(), localized(QStringLiteral("errors.device.connection.description")));
    EXPECT_FALSE(device->busy());
    // A stop on the failed device still completes.
    bool stopped = false;
    device->stopOnlineMode([&] { stopped = true; });
    EXPECT_TRUE(waitUntil([&] { return stopped; }));
}

// ---- Clock setting

class ClockSetting : public ::testing::Test {
protected:
    void start(sim::CounterConfig c = config())
    {
        rig = std::make_unique<LinkRig>(Link::Sim, std::move(c));
        device = rig->makeDevice();
    }
    // Runs setDate and records every completed count of the progress record.
    std::optional<ErrorRecord> setDate(const QDateTime& when)
    {
        bool done = false;
        std::optional<ErrorRecord> result;
        device->setDate(when, [&](bool success, std::optional<ErrorRecord> error) {
            EXPECT_EQ(success, !error.has_value());
            result = error;
            done = true;
        });
        EXPECT_TRUE(device->busy());
        auto progress = device->progress();
        EXPECT_EQ(progress->totalUnitCount(), 34);
        QObject::connect(progress.get(), &ProgressRecord::completedUnitCountChanged, [this](qint64 n) { counts << n; });
        EXPECT_TRUE(waitUntil([&] { return done; }, 30.0));
        EXPECT_FALSE(device->busy());
        return result;
    }
    void TearDown() override
    {
        device.reset();
        rig.reset();
    }

    std::unique_ptr<LinkRig> rig;
    std::shared_ptr<OQUSBDevice> device;
    QList<qint64> counts;
    const QDateTime newYear{QDate(2025, 1, 1), QTime(8, 5, 9)};
};

TEST_F(ClockSetting, SendsTheTimeOneCharacterAtATimeAndRereadsTheVersion)
{
    start();
    EXPECT_FALSE(setDate(newYear));
    EXPECT_FALSE(device->failed());
    QByteArray timeCommand;
    bool oneByteEach = true;
    for (const QByteArray& w : rig->backend->writes()) {
        oneByteEach = oneByteEach && w.size() == 1;
        timeCommand += w;
    }
    EXPECT_TRUE(oneByteEach);
    EXPECT_TRUE(timeCommand.contains("t010125080509\r\n"));
    EXPECT_TRUE(rig->counter->commandLog().contains("t010125080509\r\n"));
    // The confirmation came first: from 16 straight to the version query.
    QList<qint64> expected{1};
    for (qint64 i = 2; i <= 16; ++i)
        expected << i;
    expected << 32 << 33 << 34;
    EXPECT_EQ(counts, expected);
    // The re-read record shows the counter's clock, which has run on a little since it was set.
    ASSERT_TRUE(device->info());
    EXPECT_EQ(device->info()->dateString(), QStringLiteral("01.01.25"));
    const auto shown = device->info()->date();
    ASSERT_TRUE(shown);
    EXPECT_GE(*shown, newYear);
    EXPECT_LT(*shown, newYear.addSecs(600));
}

TEST_F(ClockSetting, TwoOtherLinesBeforeTheConfirmationLeaveProgressAt19)
{
    start(config([](auto& c) { c.faults.timeOtherLines = 2; }));
    EXPECT_FALSE(setDate(newYear));
    ASSERT_GE(counts.size(), 4);
    EXPECT_EQ(counts.mid(counts.indexOf(16), 4), (QList<qint64>{16, 18, 19, 32}));
}

TEST_F(ClockSetting, FifteenLinesWithoutConfirmationTimeOut)
{
    start(config([](auto& c) {
        c.faults.timeOtherLines = 15;
        c.faults.timeConfirm = false;
    }));
    const auto infoBefore = device->info();
    const auto error = setDate(newYear);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), device::OQDeviceErrorDomain);
    EXPECT_EQ(error->code(), -1);
    EXPECT_EQ(error->localizedDescription(), QStringLiteral("Timeout setting Date"));
    EXPECT_TRUE(device->failed());
    EXPECT_EQ(device->info(), infoBefore);
    EXPECT_EQ(counts.last(), 32);
    EXPECT_EQ(rig->counter->commandLog().last(), "X");
}

TEST_F(ClockSetting, SilenceAfterTheTimeIsAReadTimeout)
{
    start(config([](auto& c) { c.faults.timeConfirm = false; }));
    const auto error = setDate(newYear);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -3);
}

TEST_F(ClockSetting, UnreadableVersionRecordAfterwardsIsCodeMinus2)
{
    start();
    rig->counter->updateConfig([](sim::CounterConfig& c) { c.versionRecord = QStringLiteral("garbage"); });
    const auto error = setDate(newYear);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -2);
    EXPECT_EQ(error->localizedDescription(), QStringLiteral("Unexpected information Format"));
    EXPECT_TRUE(device->failed());
}

TEST_F(ClockSetting, FailingCharacterWriteIsErrorWritingTime)
{
    start();
    rig->backend->failWritesOf = '8';
    const auto error = setDate(newYear);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), int(FT_IO_ERROR));
    EXPECT_EQ(error->localizedDescription(), QStringLiteral("Error writing time"));
}

} // namespace
