#include "OQDevice.h"

#include "parser/OQDeviceInfo.h"

OQDevice::OQDevice(QObject* parent)
    : QObject(parent)
{
}

OQDevice::~OQDevice() = default;

std::shared_ptr<const OQDeviceInfo> OQDevice::info() const
{
    QMutexLocker lock(&m_mutex);
    return m_info;
}

std::optional<double> OQDevice::onlineValue() const
{
    QMutexLocker lock(&m_mutex);
    return m_onlineValue;
}

std::optional<oq::Reading> OQDevice::reading() const
{
    QMutexLocker lock(&m_mutex);
    return m_reading;
}

QString OQDevice::port() const
{
    QMutexLocker lock(&m_mutex);
    return m_port;
}

void OQDevice::setPort(const QString& port)
{
    QMutexLocker lock(&m_mutex);
    m_port = port;
}

QVariant OQDevice::onlineValueVariant() const
{
    const auto v = onlineValue();
    return v ? QVariant(*v) : QVariant();
}

QString OQDevice::onlineUnit() const
{
    QMutexLocker lock(&m_mutex);
    return m_onlineUnit;
}

QString OQDevice::error() const
{
    QMutexLocker lock(&m_mutex);
    return m_error;
}

std::shared_ptr<oq::ProgressRecord> OQDevice::progress() const
{
    QMutexLocker lock(&m_mutex);
    return m_progress;
}

void OQDevice::setInfo(std::shared_ptr<const OQDeviceInfo> info)
{
    {
        QMutexLocker lock(&m_mutex);
        m_info = std::move(info);
    }
    emit infoChanged();
}

void OQDevice::setConnected(bool v)
{
    m_connected.store(v);
    emit connectedChanged(v);
}

void OQDevice::setBusy(bool v)
{
    m_busy.store(v);
    emit busyChanged(v);
}

void OQDevice::setFailed(bool v)
{
    m_failed.store(v);
    emit failedChanged(v);
}

void OQDevice::setOnlineMode(bool v)
{
    if (m_onlineMode.exchange(v) != v)
        emit onlineModeChanged(v);
}

void OQDevice::setOnlineValue(std::optional<double> v)
{
    {
        QMutexLocker lock(&m_mutex);
        m_onlineValue = v;
        m_reading.reset();
    }
    emit onlineValueChanged();
}

void OQDevice::setOnlineReading(int mode, double v, qint64 timeMs, const QString& unit)
{
    const auto counter = info();
    oq::Reading r;
    r.serial = counter ? counter->serialNumber() : QString();
    if (r.serial.isNull())
        r.serial = QStringLiteral("");
    r.firmware = counter ? counter->firmwareVersion() : QString();
    r.port = port();
    r.timeMs = timeMs;
    r.mode = mode;
    r.value = v;
    r.counterUnit = unit;
    r.level = oq::levelForValue(v, mode);
    {
        QMutexLocker lock(&m_mutex);
        m_onlineValue = v;
        m_reading = r;
    }
    emit onlineValueChanged();
    setOnlineUnit(unit);
    emit readingArrived(r);
}

void OQDevice::setOnlineUnit(const QString& unit)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_onlineUnit == unit && m_onlineUnit.isNull() == unit.isNull())
            return;
        m_onlineUnit = unit;
    }
    emit onlineUnitChanged();
}

void OQDevice::setError(const QString& message)
{
    {
        QMutexLocker lock(&m_mutex);
        m_error = message;
    }
    emit errorChanged();
}

void OQDevice::setProgress(std::shared_ptr<oq::ProgressRecord> progress)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_progress == progress)
            return;
        m_progress = std::move(progress);
    }
    emit progressChanged();
}
