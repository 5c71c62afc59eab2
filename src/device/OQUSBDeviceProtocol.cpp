// Protocol memory transfer: calibration, hardware information, status and the memory dump.
#include "OQUSBDevice.h"

#include <algorithm>

#include "device/DeviceActivity.h"
#include "device/DeviceError.h"
#include "logging/Log.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQProtocol.h"
#include "platform/CLocale.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"

using namespace oq;

namespace {

constexpr char kEscape = 0x1B;
// A counter that keeps sending through ESC for this long is left to the final "X".
constexpr double kCancelDrainLimit = 120.0;

constexpr DWORD kMaxReadChunk = 1 << 16;
// The longest legal answer is the dump of a full memory: 65,536 bytes as hex digits with their
// checksums and line ends, about 139,000 characters. A counter that sends four times that has not
// stopped and never will.
constexpr qsizetype kMaxAnswerChars = 4 * 139264;

oq::ErrorRecord endlessAnswerError()
{
    return oq::device::deviceError(oq::device::DeviceErrorEndlessAnswer, localized(QStringLiteral("errors.device.endless_answer")));
}

struct Section {
    char command;
    double firmwareAbove;
    const char* progressKey;
};
constexpr Section kSections[] = {
    {'c', 6.0, "device.progress.loading_calibration"},
    {'h', 7.02, "device.progress.loading_hwinfo"},
    {'s', 7.022, "device.progress.loading_statc"},
};

// The firmware version text ("7.14Lb07", "2.0c (2.03)") read as the number it starts with.
double firmwareNumber(const QString& firmwareVersion)
{
    const QByteArray text = firmwareVersion.toLatin1();
    return oq::cStrtod(text.constData());
}

QString trimmedOrNone(const QString& text) { return text.isNull() ? QString() : text.trimmed(); }

// A section that was not asked for is none.
std::optional<QString> readOrNone(const QString& text) { return text.isNull() ? std::nullopt : std::optional<QString>(text); }

// Memory bytes in dump text: each line holds two hex digits per byte and a two-digit checksum.
qint64 bytesReceived(const QByteArray& dump)
{
    qint64 digits = 0;
    qsizetype lineStart = 0;
    const qsizetype size = dump.size();
    for (qsizetype i = 0; i <= size; ++i) {
        if (i == size || dump[i] == '\r' || dump[i] == '\n') {
            const qsizetype length = i - lineStart;
            if (length > 2)
                digits += length - 2;
            lineStart = i + 1;
        }
    }
    return digits / 2;
}

} // namespace

bool OQUSBDevice::progressCancelled() const
{
    const auto record = progress();
    return record && record->isCancelled();
}

void OQUSBDevice::getProtocol(ProtocolCompletion completion)
{
    auto activity = device::Activity::begin(QStringLiteral("protocol_transfer"));
    setProgress(makeProgress(-1, true, "device.progress.connection"));
    setBusy(true);
    ProtocolCompletion wrapped = [self = strongSelf(), completion = std::move(completion), activity](
                                     std::shared_ptr<OQProtocol> protocol, std::optional<ErrorRecord> error) {
        dispatchMainSync([&] {
            self->setBusy(false);
            if (error) {
                self->setFailed(true);
                if (completion)
                    completion(nullptr, error);
            } else if (completion) {
                completion(std::move(protocol), std::nullopt);
            }
            activity->end();
        });
    };
    runInBackground([wrapped = std::move(wrapped)](const std::shared_ptr<OQUSBDevice>& self) { self->loadProtocol(wrapped); });
}

void OQUSBDevice::handleTransferCancel()
{
    dispatchMainSync([this] {
        setBusy(false);
        setFailed(false);
        setProgress(nullptr);
    });
    FT_Purge(handle(), FT_PURGE_RX | FT_PURGE_TX);
    cancelProtocolTransfer();
    clearInput();
}

void OQUSBDevice::loadProtocol(const ProtocolCompletion& completion)
{
    const auto info = this->info();
    const FT_HANDLE handle = this->handle();
    m_rxBuffer = QByteArray();

    const auto cancelledState = [this] {
        dispatchMainSync([this] {
            setBusy(false);
            setFailed(false);
            setProgress(nullptr);
        });
    };
    if (progressCancelled()) {
        cancelledState();
        clearInput();
        return;
    }

    const auto failWith = [&completion](const ErrorRecord& error) { completion(nullptr, error); };
    std::optional<ErrorRecord> error;

    FT_STATUS status = writeCommand('P');
    if (status != FT_OK)
        return failWith(device::errorWithFTStatus(status));
    LGLogDevice("P\n");
    auto line = readLoggedLine(error);
    if (!line)
        return failWith(*error);
    line = readLine(error);
    if (!line)
        return failWith(*error);
    if (!acceptPCModeAnswer(line, error))
        return;

    if (progressCancelled()) {
        writeCommand('X');
        cancelledState();
        clearInput();
        return;
    }
    clock::sleepFor(0.2);
    if (progressCancelled())
        return handleTransferCancel();

    const double firmware = info ? firmwareNumber(info->firmwareVersion()) : 0.0;
    QString texts[std::size(kSections)];
    for (size_t i = 0; i < std::size(kSections); ++i) {
        const Section& section = kSections[i];
        if (!(firmware > section.firmwareAbove))
            continue;
        dispatchMainAsync([self = strongSelf(), key = section.progressKey] {
            if (auto record = self->progress())
                record->setLocalizedDescription(localized(QString::fromLatin1(key)));
        });
        status = writeCommand(section.command);
        if (status != FT_OK)
            return failWith(device::errorWithFTStatus(status));
        LGLogDevice("%c\n", section.command);
        // The answer runs until the counter falls silent.
        QString text = QStringLiteral("");
        for (int read = 0;; ++read) {
            line = readLoggedLine(error);
            if (!line)
                return failWith(*error);
            text += *line;
            if (read >= 2 && progressCancelled())
                return handleTransferCancel();
            if (text.size() > kMaxAnswerChars)
                return failWith(endlessAnswerError());
            if (read >= 1 && line->isEmpty())
                break;
        }
        texts[i] = text;
    }

    const qint64 protocolLength = info ? info->protocolLength() : 0;
    dispatchMainAsync([self = strongSelf(), texts0 = texts[0], texts1 = texts[1], texts2 = texts[2], protocolLength] {
        self->setTransferTexts(trimmedOrNone(texts0), trimmedOrNone(texts1), trimmedOrNone(texts2));
        if (auto record = self->progress()) {
            record->setLocalizedDescription(localized(QStringLiteral("device.progress.loading_protocol")));
            record->setTotalUnitCount(protocolLength);
        }
    });

    const auto leavePCMode = [this] {
        clock::sleepFor(0.6);
        if (writeCommand('X') == FT_OK) {
            LGLogDevice("X\n");
            clock::sleepFor(0.2);
        }
        clearInput();
    };

    status = writeCommand('b');
    if (status != FT_OK) {
        failWith(device::errorWithFTStatus(status));
        return leavePCMode();
    }
    LGLogDevice("b\n");
    clock::sleepFor(0.05);

    std::optional<ErrorRecord> headerError;
    for (int header = 0; header < 2; ++header) {
        line = readLoggedLine(error);
        if (!line)
            return failWith(*error);
        if (line->isEmpty() && error && !headerError)
            headerError = error;
        if (header == 0 && progressCancelled())
            return handleTransferCancel();
    }
    QByteArray dump = m_rxBuffer;
    qint64 received = bytesReceived(dump);
    if (progressCancelled())
        return handleTransferCancel();

    // The dump is read in whatever chunks the driver has waiting, until a second of silence.
    for (;;) {
        DWORD queued = 0;
        status = FT_OK;
        for (int poll = 0; poll < 10; ++poll) {
            status = FT_GetQueueStatus(handle, &queued);
            clock::sleepFor(0.1);
            if (progressCancelled())
                return handleTransferCancel();
            if (status != FT_OK || queued > 0)
                break;
        }
        if (status != FT_OK)
            return failWith(device::errorWithFTStatus(status));
        if (queued == 0) {
            if (received >= protocolLength)
                break;
            return failWith(device::deviceError(device::DeviceErrorIncompleteProtocol, localized(QStringLiteral("errors.device.timeout"))));
        }
        const DWORD want = std::min(queued, kMaxReadChunk);
        QByteArray chunk(qsizetype(want), Qt::Uninitialized);
        DWORD got = 0;
        status = FT_Read(handle, chunk.data(), want, &got);
        const qsizetype start = dump.size();
        dump.append(chunk.constData(), qsizetype(std::min(got, want)));
        for (qsizetype i = start; i < dump.size(); ++i) {
            if (static_cast<unsigned char>(dump[i]) > 0x7F)
                dump[i] = '?';
        }
        received = bytesReceived(dump);
        // Never past 100 %: a memory may carry more bytes than its valid protocol.
        const qint64 shown = protocolLength > 0 ? std::min(received, protocolLength) : received;
        dispatchMainAsync([self = strongSelf(), shown] {
            if (auto record = self->progress())
                record->setCompletedUnitCount(shown);
        });
        if (progressCancelled())
            return handleTransferCancel();
        if (status != FT_OK)
            return failWith(device::errorWithFTStatus(status));
        if (dump.size() > kMaxAnswerChars)
            return failWith(endlessAnswerError());
    }

    const QString dumpText = QString::fromLatin1(dump);
    LGLogDevice("%@", dumpText);
    dispatchMainAsync([self = strongSelf(), info, dumpText, headerError, completion] {
        self->setProtocolText(dumpText.trimmed());
        if (auto record = self->progress()) {
            record->setTotalUnitCount(-1);
            record->setCompletedUnitCount(0);
            record->setCancellable(false);
        }
        // Trimming takes away the empty line that old counters put after the dump header; the
        // protocol model puts it back when it writes the dump.
        std::shared_ptr<OQProtocol> protocol = OQProtocol::initWithDeviceInfo(info, readOrNone(self->hwInfo()),
            readOrNone(self->statc()), readOrNone(self->calibration()), self->protocol(), QDateTime::currentDateTime());
        completion(std::move(protocol), headerError);
    });
    leavePCMode();
}

void OQUSBDevice::cancelProtocolTransfer()
{
    LGLogWarn("cancel protocol Transfer");
    const FT_HANDLE handle = this->handle();
    const double started = clock::now();
    for (;;) {
        DWORD queued = 0;
        for (int round = 0; round < 10; ++round) {
            queued = 0;
            FT_GetQueueStatus(handle, &queued);
            clock::sleepFor(0.1);
            if (writeCommand(kEscape) != FT_OK)
                return;
            LGLogDevice("ESC\n");
            if (queued > 0)
                break;
        }
        if (queued == 0)
            break;
        QByteArray chunk(qsizetype(queued), Qt::Uninitialized);
        DWORD got = 0;
        if (FT_Read(handle, chunk.data(), queued, &got) != FT_OK)
            return;
        chunk.truncate(qsizetype(std::min(got, queued)));
        LGLogDevice("%s", chunk);
        if (clock::now() - started > kCancelDrainLimit) {
            LGLogWarn("counter still sending after ESC; giving up the drain");
            break;
        }
    }
    clock::sleepFor(0.6);
    if (writeCommand('X') == FT_OK) {
        LGLogDevice("X\n");
        clock::sleepFor(0.2);
    }
    clearInput();
}
