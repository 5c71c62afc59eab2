// The exchange a new device runs by itself: open, stop, PC mode, version record, leave PC mode.
#include "OQUSBDevice.h"

#include "device/DeviceError.h"
#include "logging/Log.h"
#include "parser/OQDeviceInfo.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"

using namespace oq;

namespace {
const QLatin1String kPCModeConfirmation("PC-Mode gestartet");
} // namespace

void OQUSBDevice::getDeviceInfo()
{
    if (!m_worker->isCurrent() || m_infoExchangeRun) {
        LGLogWarn("getDeviceInfo runs once, on the device's own thread");
        return;
    }
    m_infoExchangeRun = true;
    if (!runDeviceInfoExchange())
        return;
    // The device reports itself idle only once the counter has left PC mode and the link is
    // purged: whatever starts next finds the link quiet.
    FT_Purge(handle(), FT_PURGE_RX | FT_PURGE_TX);
    dispatchMainAsync([self = strongSelf()] {
        self->setBusy(false);
        if (auto progress = self->progress())
            progress->setCompletedUnitCount(-1);
    });
}

bool OQUSBDevice::runDeviceInfoExchange()
{
    if (!openLink())
        return false;

    dispatchMainAsync([self = strongSelf()] {
        if (auto progress = self->progress())
            progress->setLocalizedDescription(localized(QStringLiteral("device.progress.loading_device_info")));
    });

    // Stop whatever the counter was doing; its answer is purged unread.
    clock::sleepFor(0.5);
    writeCommand('X');
    clock::sleepFor(0.6);
    clearInput();

    std::optional<ErrorRecord> error;
    if (writeCommand('P') == FT_OK) {
        LGLogDevice("P\n");
        auto line = readLineSkippingValues(error);
        if (!line) {
            failWithReadError(error);
            return false;
        }
        if (line->isEmpty() && error && error->code() == device::DeviceErrorReadTimeout) {
            LGLogInfo("Reading timeout. Trying other baud rate.");
            if (const FT_STATUS status = FT_SetBaudRate(handle(), 9600); status != FT_OK) {
                failWithFtStatus(status);
                return false;
            }
            clock::sleepFor(0.5);
            writeCommand('X');
            clock::sleepFor(0.6);
            clearInput();
            if (writeCommand('P') == FT_OK)
                readLineSkippingValues(error);
        }

        // The first answer line is never the confirmation; the second is.
        auto answer = readLine(error);
        if (!answer) {
            failWithReadError(error);
            return false;
        }
        if (!acceptPCModeAnswer(answer, error))
            return false;
    }

    // Version query.
    clock::sleepFor(0.2);
    FT_STATUS status = FT_OK;
    switch (queryVersion(error, status)) {
    case VersionQuery::WriteFailed:
        // Going on would leave the device busy for ever without a word to the user.
        failWithFtStatus(status);
        return false;
    case VersionQuery::ReadFailed:
        failWithReadError(error);
        return false;
    case VersionQuery::Unreadable:
        failWithError(QStringLiteral("unexpected Format"));
        return false;
    case VersionQuery::Read:
        break;
    }

    clock::sleepFor(0.2);
    if (!leavePCMode(error)) {
        failWithReadError(error);
        return false;
    }
    return true;
}

bool OQUSBDevice::acceptPCModeAnswer(std::optional<QString> answer, std::optional<ErrorRecord> answerError)
{
    if (answer && answer->startsWith(kPCModeConfirmation)) {
        LGLogDevice("%@", *answer);
        LGLogInfo("<- %@", *answer);
        return true;
    }

    // Not confirmed: stop whatever the counter sends, wait, and ask once more.
    cancelProtocolTransfer();
    clock::sleepFor(3.0);
    clearInput();
    clock::sleepFor(1.0);

    if (writeCommand('P') == FT_OK) {
        LGLogDevice("P\n");
        answer = readLine(answerError);
        if (!answer) {
            failWithReadError(answerError);
            return false;
        }
    }
    if (answer && answer->isEmpty() && answerError && answerError->code() == device::DeviceErrorReadTimeout) {
        LGLogWarn("No return on P command. Perhaps old firmware?");
        failWithError(localized(QStringLiteral("errors.device.firmware.description")));
        return false;
    }

    // The answer is taken as it comes.
    std::optional<ErrorRecord> error;
    if (!readLoggedLine(error, true)) {
        failWithReadError(error);
        return false;
    }
    return true;
}

bool OQUSBDevice::parseInformation(const QString& versionLine)
{
    bool parsed = false;
    // The version parser keeps module state and is not reentrant: every parse in the process
    // runs on the main thread.
    dispatchMainSync([this, &versionLine, &parsed] {
        std::shared_ptr<const OQDeviceInfo> info = OQDeviceInfo::initWithVersionString(versionLine);
        if (!info)
            return;
        parsed = true;
        setInfo(std::move(info));
    });
    return parsed;
}
