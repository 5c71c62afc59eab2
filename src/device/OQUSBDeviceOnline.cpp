// Online measurement: the reading loop on the background queue, its restart and its stop.
#include "OQUSBDevice.h"

#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"
#include "units/ValueTransformers.h"

using namespace oq;

namespace {
constexpr int kValuelessLinesBeforeRestart = 3;
constexpr double kRestartDelay = 0.3;
// A stop waits this long for a loop to end before it goes on without one.
constexpr double kStopWaitLimit = 3.0;
} // namespace

void OQUSBDevice::startRateMode() { startOnlineMode(QStringLiteral("R")); }

void OQUSBDevice::startDoseMode() { startOnlineMode(QStringLiteral("D")); }

void OQUSBDevice::startOnlineMode(const QString& command)
{
    ++m_onlineLoops;
    runInBackground([command](const std::shared_ptr<OQUSBDevice>& self) {
        self->startOnlineModeInBackgroundWithCommand(command);
        --self->m_onlineLoops;
    });
}

void OQUSBDevice::startOnlineModeInBackgroundWithCommand(const QString& command)
{
    m_rxBuffer = QByteArray();
    DeviceOnlineOutputValueTransformer transformer;

    const QByteArray commandBytes = command.left(1).toLatin1();
    const char commandByte = commandBytes.isEmpty() ? '\0' : commandBytes[0];
    if (writeCommand(commandByte) != FT_OK) {
        failWithError(localized(QStringLiteral("errors.device.connection.description")));
        return;
    }
    LGLogDevice("%s\n", commandBytes);

    // A stop that came before the loop started.
    if (m_cancelOnline.load()) {
        m_cancelOnline = false;
        return;
    }

    int valuelessLines = 0;
    do {
        const auto line = readLineFromHandle(handle());
        const auto value = line ? transformer.transformedValue(line) : std::nullopt;
        const QString unit = transformer.unit();
        const bool stopRequested = m_cancelOnline.load();
        if (value) {
            dispatchMainAsync([self = strongSelf(), value = *value, unit, stopRequested] {
                if (!self->onlineMode())
                    self->setOnlineMode(true);
                if (!stopRequested) {
                    self->setOnlineValue(value);
                    self->setOnlineUnit(unit);
                }
            });
            valuelessLines = 0;
        } else if (++valuelessLines == kValuelessLinesBeforeRestart) {
            // The stream dried up (or the counter echoes without values): start it afresh. Not
            // when a stop is under way, or the restart would outlive the stop and run beside the
            // next mode's loop.
            bool running = false;
            if (m_cancelOnline.compare_exchange_strong(running, true))
                dispatchMainAfter(kRestartDelay, [self = strongSelf(), command] { self->startOnlineMode(command); });
        }
    } while (!m_cancelOnline.load());
    m_cancelOnline = false;
}

void OQUSBDevice::stopOnlineMode(std::function<void()> completion)
{
    m_cancelOnline = true;
    setOnlineValue(std::nullopt);
    runInBackground([completion = std::move(completion)](const std::shared_ptr<OQUSBDevice>& self) {
        // The loop clears the flag when it ends. With no loop queued or running nobody would,
        // so after a while the stop goes on by itself.
        double waited = 0;
        while (self->m_cancelOnline.load()) {
            if (waited >= kStopWaitLimit && self->m_onlineLoops.load() == 0) {
                self->m_cancelOnline = false;
                break;
            }
            clock::sleepFor(0.1);
            waited += 0.1;
        }
        clock::sleepFor(0.5);
        dispatchMainAsync([self] { self->setOnlineValue(std::nullopt); });
        self->writeCommand('X');
        clock::sleepFor(0.5);
        FT_Purge(self->handle(), FT_PURGE_RX | FT_PURGE_TX);
        dispatchMainAfter(1.5, [self, completion] {
            self->setOnlineValue(std::nullopt);
            if (completion)
                completion();
        });
    });
}
