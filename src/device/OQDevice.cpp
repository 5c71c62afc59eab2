#include "OQDevice.h"

#include "platform/Clock.h"

OQDevice::OQDevice(QObject* parent)
    : QObject(parent)
{
    m_silenceTimer.setSingleShot(true);
    connect(&m_silenceTimer, &QTimer::timeout, this, [this] { setOnlineSilent(true); });
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

std::optional<qint64> OQDevice::onlineValueTime() const
{
    QMutexLocker lock(&m_mutex);
    return m_onlineValueTime;
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
    if (v)
        watchOnlineSilence(false);
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
        m_onlineValueTime.reset();
    }
    emit onlineValueChanged();
}

void OQDevice::setOnlineValue(double v, qint64 timeMs)
{
    {
        QMutexLocker lock(&m_mutex);
        m_onlineValue = v;
        m_onlineValueTime = timeMs;
    }
    if (m_silenceWatched) {
        m_silenceTimer.start(oq::clock::scaledMs(kOnlineSilenceSeconds));
        setOnlineSilent(false);
    }
    emit onlineValueChanged();
}

void OQDevice::watchOnlineSilence(bool on)
{
    m_silenceWatched = on;
    if (on)
        return;
    m_silenceTimer.stop();
    setOnlineSilent(false);
}

void OQDevice::setOnlineSilent(bool v)
{
    if (m_onlineSilent == v)
        return;
    m_onlineSilent = v;
    emit onlineSilentChanged(v);
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
