#include "OQUSBDevice.h"

#include "device/DeviceError.h"
#include "logging/Log.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"

using namespace oq;

namespace {
const QString kWorkerThreadName = QStringLiteral("OQDevice");
} // namespace

OQUSBDevice::OQUSBDevice(QObject* parent)
    : OQDevice(parent)
{
    // The counterpart of the older systems' high-priority queue is not needed on Linux: every
    // supported system has the user-initiated class.
    m_backgroundQueueClass = 25;
    ++m_workInFlight; // the information exchange
    m_usbThread = std::thread([this] { threadStart(); });
    setConnected(true);
    setBusy(true);
    setFailed(false);
    setCanSetTime(true);
    setProgress(makeProgress(-1, false, "device.progress.connection"));
}

OQUSBDevice::~OQUSBDevice()
{
    // Made without makeDevice: the worker never got its reference and must be let go.
    if (!m_selfGateSet)
        m_selfGate.set_value(nullptr);
    if (m_usbThread.joinable()) {
        if (m_usbThread.get_id() == std::this_thread::get_id())
            m_usbThread.detach();
        else
            m_usbThread.join();
    }
    // Nothing can use the handle any more (queued work holds the device). A handle left open would
    // stay open for the life of the process when its counter does not come back.
    if (const FT_HANDLE handle = m_handle.exchange(nullptr))
        FT_Close(handle);
}

void OQUSBDevice::didMakeShared(const std::shared_ptr<OQDevice>& self)
{
    if (m_selfGateSet)
        return;
    auto me = std::static_pointer_cast<OQUSBDevice>(self);
    m_weakSelf = me;
    m_selfGateSet = true;
    m_selfGate.set_value(std::move(me));
}

std::shared_ptr<ProgressRecord> OQUSBDevice::makeProgress(qint64 total, bool cancellable, const char* key)
{
    // Records are dropped on any thread but belong to the main thread.
    auto record = std::shared_ptr<ProgressRecord>(new ProgressRecord(total), [](ProgressRecord* p) { p->deleteLater(); });
    record->setCancellable(cancellable);
    record->setLocalizedDescription(localized(QString::fromLatin1(key)));
    return record;
}

void OQUSBDevice::threadStart()
{
    setCurrentThreadName(kWorkerThreadName);
    m_usbThreadId = std::this_thread::get_id();
    // Holding the device keeps a dropped one alive until the exchange has ended.
    std::shared_ptr<OQUSBDevice> self = m_selfGate.get_future().get();
    if (!self) {
        --m_workInFlight;
        return;
    }
    self->getDeviceInfo();
    --m_workInFlight;
    self.reset();
}

void OQUSBDevice::runInBackground(std::function<void(const std::shared_ptr<OQUSBDevice>&)> work)
{
    auto self = strongSelf();
    if (!self) {
        LGLogError("device made without makeDevice; its exchanges cannot run");
        return;
    }
    ++m_workInFlight;
    dispatchBackground(
        [self = std::move(self), work = std::move(work)] {
            work(self);
            --self->m_workInFlight;
        },
        m_backgroundQueueClass);
}

QString OQUSBDevice::calibration() const
{
    QMutexLocker lock(&m_textMutex);
    return m_calibration;
}

QString OQUSBDevice::hwInfo() const
{
    QMutexLocker lock(&m_textMutex);
    return m_hwInfo;
}

QString OQUSBDevice::statc() const
{
    QMutexLocker lock(&m_textMutex);
    return m_statc;
}

QString OQUSBDevice::protocol() const
{
    QMutexLocker lock(&m_textMutex);
    return m_protocol;
}

void OQUSBDevice::setTransferTexts(const QString& calibration, const QString& hwInfo, const QString& statc)
{
    {
        QMutexLocker lock(&m_textMutex);
        m_calibration = calibration;
        m_hwInfo = hwInfo;
        m_statc = statc;
    }
    emit calibrationChanged();
    emit hwInfoChanged();
    emit statcChanged();
}

void OQUSBDevice::setProtocolText(const QString& protocol)
{
    {
        QMutexLocker lock(&m_textMutex);
        m_protocol = protocol;
    }
    emit protocolChanged();
}

void OQUSBDevice::failWithFtStatus(FT_STATUS status) { failWithError(device::ftStatusMessage(status)); }

void OQUSBDevice::failWithError(const QString& message)
{
    dispatchMainSync([this, &message] {
        setError(message);
        setBusy(false);
        setFailed(true);
    });
    FT_Close(m_handle.exchange(nullptr));
}

void OQUSBDevice::failWithReadError(const std::optional<ErrorRecord>& error)
{
    failWithError(error ? error->localizedDescription() : device::timeoutError().localizedDescription());
}
