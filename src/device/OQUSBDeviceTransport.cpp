// Opening the bridge, command writes and line reads.
#include "OQUSBDevice.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "device/DeviceError.h"
#include "logging/Log.h"
#include "platform/Clock.h"

using namespace oq;

namespace {
constexpr DWORD kVendorId = 0x0403;
constexpr DWORD kProductId = 0xD678;
constexpr int kCountAttempts = 5;
constexpr int kSilencePolls = 24;
constexpr double kPollInterval = 0.1;
// A driver that claims more than this is waiting is read in pieces of this size.
constexpr DWORD kMaxReadChunk = 1 << 16;
// Reads that return nothing while a line is unfinished, before the line is given up.
constexpr int kMaxEmptyReads = 2;
// Value lines after "P": a stream that stops sends one or two more; this many is one that does not.
constexpr int kMaxSkippedValues = 64;

// Its serial port can show up a moment after the counter itself.
bool bridgeListed(DWORD count, DWORD location)
{
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    DWORD listed = count;
    if (FT_GetDeviceInfoList(nodes.data(), &listed) != FT_OK)
        return false;
    return std::any_of(nodes.begin(), nodes.begin() + std::min(listed, count),
        [location](const FT_DEVICE_LIST_INFO_NODE& n) { return n.LocId == location; });
}

void setOut(std::optional<ErrorRecord>* out, ErrorRecord error)
{
    if (out)
        *out = std::move(error);
}
} // namespace

bool OQUSBDevice::openLink()
{
    if (FT_SetVIDPID(kVendorId, kProductId) != FT_OK) {
        failWithError(QStringLiteral("VID/PID set to OQ ... failed !"));
        return false;
    }

    DWORD count = 0;
    for (int attempt = 0; attempt < kCountAttempts; ++attempt) {
        clock::sleepFor(attempt * 0.1);
        const FT_STATUS status = FT_CreateDeviceInfoList(&count);
        if (status != FT_OK) {
            failWithFtStatus(status);
            return false;
        }
        if (count > 0 && (!m_bridgeLocation || bridgeListed(count, *m_bridgeLocation)))
            break;
    }

    // A device dropped while it looked for the bridge (its counter was pulled out at once) opens
    // nothing: the counter may be back under a newer device object, whose link it would close below
    // and then talk over. The worker's own reference is the last one then.
    if (m_weakSelf.use_count() <= 1) {
        LGLogInfo("device dropped before it opened the counter");
        return false;
    }

    FT_HANDLE handle = nullptr;
    const FT_STATUS status = openOwnBridge(count, &handle);
    {
        QMutexLocker lock(&m_textMutex);
        m_openFailure = status == FT_OK ? oq::ft::OpenFailure{} : oq::ft::openFailureOnThisThread();
    }
    // Retries of an open that keeps failing the same way stay quiet: one line per change of cause.
    static std::atomic<FT_STATUS> lastFailure{FT_OK};
    if (status != FT_OK) {
        if (lastFailure.exchange(status) != status)
            LGLogError("failed opening device: %i", status);
        failWithFtStatus(status);
        return false;
    }
    lastFailure = FT_OK;
    m_handle = handle;
    LGLogInfo("successfully opened device: %p", handle);

    FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    FT_SetFlowControl(handle, FT_FLOW_NONE, 0, 0);
    FT_SetLatencyTimer(handle, 2);
    FT_STATUS line = FT_SetBaudRate(handle, 460800);
    FT_SetTimeouts(handle, 2000, 1000);
    if (line == FT_OK)
        line = FT_SetDataCharacteristics(handle, FT_BITS_7, FT_STOP_BITS_1, FT_PARITY_EVEN);
    // A port that will not run 7E1 at the counter's speed garbles every command: say so now
    // rather than as a silent counter later.
    if (line != FT_OK) {
        LGLogError("the port refused the line settings: %i", line);
        failWithFtStatus(line);
        return false;
    }
    m_rxBuffer = QByteArray();
    return true;
}

FT_STATUS OQUSBDevice::openOwnBridge(DWORD count, FT_HANDLE* handle)
{
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    DWORD listed = count;
    if (count == 0 || FT_GetDeviceInfoList(nodes.data(), &listed) != FT_OK)
        listed = 0;
    nodes.resize(std::min(listed, count));
    if (!m_bridgeLocation) {
        // One counter: a bridge still open, for example by an earlier device object, would refuse the open.
        for (const auto& node : nodes) {
            if (node.ftHandle)
                FT_Close(node.ftHandle);
        }
        return FT_Open(0, handle);
    }
    // Several counters: the other bridges' handles belong to the other counters' devices.
    for (const auto& node : nodes) {
        if (node.LocId == *m_bridgeLocation && node.ftHandle)
            FT_Close(node.ftHandle);
    }
    return FT_OpenEx(reinterpret_cast<void*>(uintptr_t(*m_bridgeLocation)), FT_OPEN_BY_LOCATION, handle);
}

FT_STATUS OQUSBDevice::writeCommand(char command)
{
    DWORD written = 0;
    return FT_Write(handle(), &command, 1, &written);
}

void OQUSBDevice::clearInput()
{
    FT_Purge(handle(), FT_PURGE_RX | FT_PURGE_TX);
    m_rxBuffer.clear();
}

void OQUSBDevice::appendReceived(const char* bytes, DWORD count)
{
    // The counter speaks ASCII; anything else is line noise (a wrong line speed, a glitch) and
    // must not split or swallow a line.
    const qsizetype start = m_rxBuffer.size();
    m_rxBuffer.append(bytes, qsizetype(count));
    for (qsizetype i = start; i < m_rxBuffer.size(); ++i) {
        if (static_cast<unsigned char>(m_rxBuffer[i]) > 0x7F)
            m_rxBuffer[i] = '?';
    }
}

std::optional<QString> OQUSBDevice::readLineFromHandle(FT_HANDLE handle, std::optional<ErrorRecord>* error)
{
    DWORD queued = 0;
    int emptyReads = 0;
    for (;;) {
        const qsizetype end = m_rxBuffer.indexOf("\r\n");
        if (end >= 0) {
            const QString line = QString::fromLatin1(m_rxBuffer.constData(), end + 2);
            m_rxBuffer.remove(0, end + 2);
            return line;
        }
        if (m_rxBuffer.size() >= kMaxPartialLine || emptyReads >= kMaxEmptyReads) {
            // A counter that stops mid-line, or streams without line ends, must not hold the
            // read forever nor grow the buffer without bound.
            if (!m_rxBuffer.isEmpty())
                LGLogWarn("dropping unfinished line of %lld characters", static_cast<long long>(m_rxBuffer.size()));
            m_rxBuffer.clear();
            setOut(error, device::timeoutError());
            return QStringLiteral("");
        }

        if (queued == 0) {
            FT_STATUS status = FT_OK;
            for (int poll = 0; poll < kSilencePolls; ++poll) {
                if (cancelOnline())
                    break;
                status = FT_GetQueueStatus(handle, &queued);
                clock::sleepFor(kPollInterval);
                if (status != FT_OK || queued > 0)
                    break;
            }
            if (status != FT_OK) {
                setOut(error, device::errorWithFTStatus(status));
                return std::nullopt;
            }
            if (queued == 0) {
                setOut(error, device::timeoutError());
                return QStringLiteral("");
            }
        }

        const DWORD want = std::min(queued, kMaxReadChunk);
        QByteArray chunk(qsizetype(want), Qt::Uninitialized);
        DWORD got = 0;
        const FT_STATUS status = FT_Read(handle, chunk.data(), want, &got);
        got = std::min(got, want);
        appendReceived(chunk.constData(), got);
        if (status != FT_OK) {
            setOut(error, device::errorWithFTStatus(status));
            return std::nullopt;
        }
        emptyReads = got == 0 ? emptyReads + 1 : 0;
    }
}

std::optional<QString> OQUSBDevice::readLine(std::optional<ErrorRecord>& error)
{
    error.reset();
    return readLineFromHandle(handle(), &error);
}

namespace {
// Dose lines end in the unit ("1,5 mSv"), rate lines in the unit per hour ("0,12 uSv/h").
bool isValueLine(const QString& line, QLatin1String unit)
{
    if (!line.endsWith(QLatin1String("\r\n")))
        return false;
    QStringView body = QStringView(line).chopped(2);
    if (body.endsWith(QLatin1String("/h")))
        body.chop(2);
    return body.endsWith(unit);
}
} // namespace

std::optional<QString> OQUSBDevice::readLineSkippingValues(std::optional<ErrorRecord>& error)
{
    // A stream that "P" does not stop is not skipped for ever: the value line that passes the bound
    // is the answer, and the caller finds no confirmation in it.
    int skipped = 0;
    auto line = readLine(error);
    while (line && isValueLine(*line, QLatin1String("Sv")) && ++skipped <= kMaxSkippedValues)
        line = readLine(error);
    while (line && isValueLine(*line, QLatin1String("rem")) && ++skipped <= kMaxSkippedValues)
        line = readLine(error);
    return line;
}

std::optional<QString> OQUSBDevice::readLoggedLine(std::optional<ErrorRecord>& error, bool alsoApplicationLog)
{
    auto line = readLine(error);
    if (line) {
        LGLogDevice("%@", *line);
        if (alsoApplicationLog)
            LGLogInfo("<- %@", *line);
    }
    return line;
}

OQUSBDevice::VersionQuery OQUSBDevice::queryVersion(std::optional<ErrorRecord>& error, FT_STATUS& status)
{
    status = writeCommand('v');
    if (status != FT_OK)
        return VersionQuery::WriteFailed;
    LGLogDevice("v\n");
    // The first answer line is empty; the second is the record.
    std::optional<QString> line;
    for (int i = 0; i < 2; ++i) {
        line = readLoggedLine(error);
        if (!line)
            return VersionQuery::ReadFailed;
    }
    return parseInformation(*line) ? VersionQuery::Read : VersionQuery::Unreadable;
}

bool OQUSBDevice::leavePCMode(std::optional<ErrorRecord>& error)
{
    if (writeCommand('X') != FT_OK)
        return true;
    LGLogDevice("X\n");
    for (int i = 0; i < 2; ++i) {
        if (!readLoggedLine(error, i == 1))
            return false;
    }
    return true;
}

void OQUSBDevice::leavePCModeUnread()
{
    writeCommand('X');
    clock::sleepFor(0.2);
    clearInput();
}
