// Setting the counter's clock, then re-reading its version record so info shows the new clock.
#include "OQUSBDevice.h"

#include "device/DeviceActivity.h"
#include "device/DeviceError.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"

using namespace oq;

namespace {
const QLatin1String kDateConfirmation("Datum und Zeit gestellt");
constexpr int kConfirmationLines = 15;
constexpr qint64 kSetDateSteps = 34;
} // namespace

void OQUSBDevice::setDate(const QDateTime& date, DateCompletion completion)
{
    auto activity = device::Activity::begin(QStringLiteral("time_set"));
    setProgress(makeProgress(kSetDateSteps, false, "device.progress.set_date"));
    setBusy(true);
    DateCompletion wrapped = [self = strongSelf(), completion = std::move(completion), activity](
                                 bool /*success*/, std::optional<ErrorRecord> error) {
        dispatchMainSync([&] {
            self->setBusy(false);
            if (error) {
                self->setFailed(true);
                if (completion)
                    completion(false, error);
            } else if (completion) {
                completion(true, std::nullopt);
            }
            activity->end();
        });
    };
    runOnWorker([date, wrapped = std::move(wrapped)](const std::shared_ptr<OQUSBDevice>& self) {
        self->setDateOnBackgroundQueue(date, wrapped);
    });
}

void OQUSBDevice::setDateOnBackgroundQueue(const QDateTime& date, const DateCompletion& completion)
{
    const auto setProgressCount = [this](qint64 completed) {
        dispatchMainAsync([self = strongSelf(), completed] {
            if (auto record = self->progress())
                record->setCompletedUnitCount(completed);
        });
    };
    const auto failWith = [&completion](const ErrorRecord& error) { completion(false, error); };

    m_rxBuffer = QByteArray();
    std::optional<ErrorRecord> error;
    FT_STATUS status = writeCommand('P');
    if (status != FT_OK)
        return failWith(device::errorWithFTStatus(status));
    LGLogDevice("P\n");
    // The answer is not examined, but a silent counter ends the exchange once the time is sent.
    std::optional<ErrorRecord> carried;
    for (int i = 0; i < 2; ++i) {
        const auto line = readLoggedLine(error, i == 1);
        if (!line)
            return failWith(*error);
        if (line->isEmpty() && error && !carried)
            carried = error;
    }
    setProgressCount(1);
    clock::sleepFor(0.5);

    const QString command = QStringLiteral("t%1\r\n").arg(date.toLocalTime().toString(QStringLiteral("ddMMyyHHmmss")));
    const QByteArray bytes = command.toLatin1();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        status = writeCommand(bytes[i]);
        if (status != FT_OK)
            return failWith(device::deviceError(int(status), QStringLiteral("Error writing time")));
        setProgressCount(i + 2);
        clock::sleepFor(0.5);
    }
    LGLogDevice("%@\n", command);

    if (carried) {
        leavePCModeUnread();
        return failWith(*carried);
    }

    bool confirmed = false;
    for (int n = 1; n <= kConfirmationLines; ++n) {
        const auto line = readLoggedLine(error);
        if (line && line->startsWith(kDateConfirmation)) {
            confirmed = true;
            break;
        }
        setProgressCount(n + 17);
        clock::sleepFor(0.1);
        if (error) {
            leavePCModeUnread();
            return failWith(*error);
        }
    }
    if (!confirmed) {
        leavePCModeUnread();
        return failWith(device::deviceError(device::DeviceErrorDateTimeout, QStringLiteral("Timeout setting Date")));
    }

    // Version query, so that info shows the new clock.
    setProgressCount(32);
    clock::sleepFor(0.5);
    switch (queryVersion(error, status)) {
    case VersionQuery::ReadFailed:
        return failWith(*error);
    case VersionQuery::Unreadable:
        return failWith(device::deviceError(device::DeviceErrorUnexpectedInformation, QStringLiteral("Unexpected information Format")));
    case VersionQuery::WriteFailed:
    case VersionQuery::Read:
        break;
    }

    setProgressCount(33);
    clock::sleepFor(0.5);
    if (!leavePCMode(error))
        return failWith(*error);
    setProgressCount(34);
    FT_Purge(handle(), FT_PURGE_RX | FT_PURGE_TX);
    completion(true, std::nullopt);
}
