// Online measurement: the reading loop on the device's worker, its restart and its stop.
#include "OQUSBDevice.h"

#include <QDateTime>

#include <algorithm>

#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"
#include "readings/ValueTransformers.h"

using namespace oq;

namespace {
constexpr int kValuelessLinesBeforeRestart = 3;
constexpr double kRestartDelay = 0.3;
// A wall clock set back by more than this is followed; a smaller step back, or lines read in the
// same millisecond, give each reading the millisecond after the one before.
constexpr qint64 kClockStepBackMs = 1000;
} // namespace

void OQUSBDevice::startRateMode() { startOnlineMode(QStringLiteral("R")); }

void OQUSBDevice::startDoseMode() { startOnlineMode(QStringLiteral("D")); }

void OQUSBDevice::startOnlineMode(const QString& command)
{
    const quint64 loop = ++m_loopsAsked;
    runOnWorker([command, loop](const std::shared_ptr<OQUSBDevice>& self) {
        self->startOnlineModeInBackgroundWithCommand(command, loop);
    });
}

void OQUSBDevice::startOnlineModeInBackgroundWithCommand(const QString& command, quint64 loop)
{
    // A loop stopped before its turn came starts no stream: the stop's "X" follows at once.
    if (loopStopRequested(loop))
        return;
    m_runningLoop = loop;
    // A stream that dried up (or a counter that echoes without values) is started afresh, within
    // the same loop, so a restart can never outlive the stop that names the loop.
    while (runOnlineLoop(command, loop)) {
        // The stream dried up (a counter switched off, a dead line): its last reading is not
        // current any more, whatever the restart brings.
        dispatchMainAsync([self = strongSelf()] { self->setOnlineValue(std::nullopt); });
        clock::sleepFor(kRestartDelay);
        if (loopStopRequested(loop))
            break;
    }
    m_runningLoop = 0;
}

bool OQUSBDevice::runOnlineLoop(const QString& command, quint64 loop)
{
    m_rxBuffer = QByteArray();
    DeviceOnlineOutputValueTransformer transformer;

    const QByteArray commandBytes = command.left(1).toLatin1();
    const char commandByte = commandBytes.isEmpty() ? '\0' : commandBytes[0];
    // Every reading says which stream read it.
    const int mode = commandByte == 'D' ? 2 : 1;
    if (writeCommand(commandByte) != FT_OK) {
        failWithError(localized(QStringLiteral("errors.device.connection.description")));
        return false;
    }
    LGLogDevice("%s\n", commandBytes);

    int valuelessLines = 0;
    qint64 lastTime = 0;
    while (!loopStopRequested(loop)) {
        const auto line = readLineFromHandle(handle());
        // Timed here, where it arrives: the main thread may handle several lines at once.
        qint64 time = QDateTime::currentMSecsSinceEpoch();
        if (time <= lastTime && lastTime - time < kClockStepBackMs)
            time = lastTime + 1;
        const auto value = line ? transformer.transformedValue(line) : std::nullopt;
        const QString unit = transformer.unit();
        const bool stopRequested = loopStopRequested(loop);
        if (value) {
            lastTime = time;
            dispatchMainAsync([self = strongSelf(), mode, value = *value, time, unit, stopRequested] {
                if (!self->onlineMode())
                    self->setOnlineMode(true);
                if (!stopRequested)
                    self->setOnlineReading(mode, value, time, unit);
            });
            valuelessLines = 0;
        } else if (++valuelessLines == kValuelessLinesBeforeRestart) {
            return !stopRequested;
        }
    }
    return false;
}

double OQUSBDevice::waitForQuietLine()
{
    const double start = clock::now();
    double quietSince = start;
    while (clock::now() - quietSince < kQuietLineSeconds && clock::now() - start < kQuietLineLimit) {
        clock::sleepFor(0.1);
        DWORD queued = 0;
        if (FT_GetQueueStatus(handle(), &queued) != FT_OK)
            break;
        if (queued > 0) {
            FT_Purge(handle(), FT_PURGE_RX);
            quietSince = clock::now();
        }
    }
    if (quietSince > start)
        LGLogInfo("counter went on streaming after the stop for %.1f s", quietSince - start);
    return clock::now() - start;
}

void OQUSBDevice::stopOnlineMode(std::function<void()> completion)
{
    // Names every loop asked for so far, running or still queued; a later start is not touched.
    m_loopsStopped = m_loopsAsked.load();
    setOnlineValue(std::nullopt);
    runOnWorker([completion = std::move(completion)](const std::shared_ptr<OQUSBDevice>& self) {
        // The loops it names have ended: they ran before it on the worker.
        clock::sleepFor(0.5);
        dispatchMainAsync([self] { self->setOnlineValue(std::nullopt); });
        self->writeCommand('X');
        clock::sleepFor(0.5);
        FT_Purge(self->handle(), FT_PURGE_RX | FT_PURGE_TX);
        // A counter that streams on after "X" would hand its old stream's lines to the next one,
        // which would take a dose for a rate: the next stream starts only on a quiet line.
        const double quietFor = self->waitForQuietLine();
        dispatchMainAfter(std::max(0.0, 1.5 - quietFor), [self, completion] {
            self->setOnlineValue(std::nullopt);
            if (completion)
                completion();
        });
    });
}
