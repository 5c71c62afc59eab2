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
    m_worker = std::make_unique<SerialQueue>(kWorkerThreadName);
    setConnected(true);
    setBusy(true);
    setFailed(false);
    setCanSetTime(true);
    setProgress(makeProgress(-1, false, "device.progress.connection"));
}

OQUSBDevice::OQUSBDevice(std::optional<DWORD> bridgeLocation, QObject* parent)
    : OQUSBDevice(parent)
{
    m_bridgeLocation = bridgeLocation;
}

OQUSBDevice::~OQUSBDevice()
{
    // Queued work holds the device, so the worker is idle now. Passing once through its queue
    // orders what its last task did before what follows here (the hand-off that brought the
    // deletion here went through Qt, which thread checkers cannot see); then its thread ends.
    m_worker->sync([] {});
    m_worker.reset();
    // Nothing can use the handle any more. A handle left open would stay open for the life of the
    // process when its counter does not come back.
    if (const FT_HANDLE handle = m_handle.exchange(nullptr))
        FT_Close(handle);
}

void OQUSBDevice::didMakeShared(const std::shared_ptr<OQDevice>& self)
{
    if (!m_weakSelf.expired())
        return;
    m_weakSelf = std::static_pointer_cast<OQUSBDevice>(self);
    // The worker's first exchange. A device made without makeDevice has none, and no other.
    runOnWorker([](const std::shared_ptr<OQUSBDevice>& device) { device->getDeviceInfo(); });
}

std::shared_ptr<ProgressRecord> OQUSBDevice::makeProgress(qint64 total, bool cancellable, const char* key)
{
    // Records are dropped on any thread but belong to the main thread.
    auto record = std::shared_ptr<ProgressRecord>(new ProgressRecord(total), [](ProgressRecord* p) { p->deleteLater(); });
    record->setCancellable(cancellable);
    record->setLocalizedDescription(localized(QString::fromLatin1(key)));
    return record;
}

void OQUSBDevice::runOnWorker(std::function<void(const std::shared_ptr<OQUSBDevice>&)> work)
{
    auto self = strongSelf();
    if (!self) {
        LGLogError("device made without makeDevice; its exchanges cannot run");
        return;
    }
    ++m_workInFlight;
    m_worker->async([self = std::move(self), work = std::move(work)] {
        work(self);
        // Before the reference goes: the device may be deleted as soon as it has.
        --self->m_workInFlight;
    });
}

oq::ft::OpenFailure OQUSBDevice::openFailure() const
{
    QMutexLocker lock(&m_textMutex);
    return m_openFailure;
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
    // A reading of a lost counter is not current: the display falls back to no value, as when
    // the counter is unplugged.
    dispatchMainSync([this, &message] {
        setError(message);
        setOnlineValue(std::nullopt);
        setBusy(false);
        setFailed(true);
    });
    FT_Close(m_handle.exchange(nullptr));
}

void OQUSBDevice::failWithReadError(const std::optional<ErrorRecord>& error)
{
    failWithError(error ? error->localizedDescription() : device::timeoutError().localizedDescription());
}
