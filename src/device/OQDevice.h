#pragma once
// The abstract counter: the operations any counter link offers and the observable state every
// user relies on. Every observed property changes on the main thread, so observers are told there.
// This base is inert: every flag false, every other property none, every operation ignored.
#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

#include "platform/ErrorRecord.h"
#include "platform/ProgressRecord.h"
#include "readings/Reading.h"

class OQDeviceInfo;
class OQProtocol;

class OQDevice : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool failed READ failed NOTIFY failedChanged)
    Q_PROPERTY(bool onlineMode READ onlineMode NOTIFY onlineModeChanged)
    Q_PROPERTY(QVariant onlineValue READ onlineValueVariant NOTIFY onlineValueChanged)
    Q_PROPERTY(QString onlineUnit READ onlineUnit NOTIFY onlineUnitChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(bool canSetTime READ canSetTime CONSTANT)
    Q_PROPERTY(bool usbConnected READ usbConnected CONSTANT)
public:
    // protocol xor error is present.
    using ProtocolCompletion = std::function<void(std::shared_ptr<OQProtocol> protocol, std::optional<oq::ErrorRecord> error)>;
    // success is true exactly when error is none.
    using DateCompletion = std::function<void(bool success, std::optional<oq::ErrorRecord> error)>;

    explicit OQDevice(QObject* parent = nullptr);
    ~OQDevice() override;

    std::shared_ptr<const OQDeviceInfo> info() const;
    bool connected() const { return m_connected.load(); }
    bool busy() const { return m_busy.load(); }
    bool failed() const { return m_failed.load(); }
    bool onlineMode() const { return m_onlineMode.load(); }
    std::optional<double> onlineValue() const;
    QVariant onlineValueVariant() const;
    // Null text for none.
    QString onlineUnit() const;
    // The reading behind `onlineValue`, whole: made by the stream that read its line; none with no value.
    std::optional<oq::Reading> reading() const;
    // Where the counter is plugged in, for people and for telling counters without a serial apart:
    // /dev/ttyUSB0, usb:LOCATION; empty when unknown. Set once, before the first exchange.
    QString port() const;
    void setPort(const QString& port);
    QString error() const;
    std::shared_ptr<oq::ProgressRecord> progress() const;
    bool canSetTime() const { return m_canSetTime.load(); }
    virtual bool usbConnected() const { return false; }
    // Work queued or running on the device's own threads. It can outlast `busy`: the closing
    // sequence of a cancelled transfer runs after it; a process must not end under it.
    virtual bool hasWorkInFlight() const { return false; }

    // All are called from the main thread and return at once; completions run on the main thread.
    virtual void getDeviceInfo() {}
    virtual void getProtocol(ProtocolCompletion /*completion*/) {}
    virtual void setDate(const QDateTime& /*date*/, DateCompletion /*completion*/) {}
    virtual void startRateMode() {}
    virtual void startDoseMode() {}
    virtual void stopOnlineMode(std::function<void()> /*completion*/) {}

    // Called once by makeDevice with the owning pointer, so a device can keep a weak reference to
    // itself and hand strong ones to the work it queues.
    virtual void didMakeShared(const std::shared_ptr<OQDevice>& /*self*/) {}

signals:
    void infoChanged();
    void connectedChanged(bool);
    void busyChanged(bool);
    void failedChanged(bool);
    void onlineModeChanged(bool);
    void onlineValueChanged();
    void onlineUnitChanged();
    // Each value line of a stream, as one reading; after onlineValue and onlineUnit are set.
    void readingArrived(const oq::Reading& reading);
    void errorChanged();
    void progressChanged();

protected:
    // Setters for derived devices. Like key-value observation, busy, failed, connected and the online
    // value notify on every set, even of the same value: the controller re-schedules the online mode
    // each time a failed device reports busy false again.
    void setInfo(std::shared_ptr<const OQDeviceInfo> info);
    void setConnected(bool v);
    void setBusy(bool v);
    void setFailed(bool v);
    void setOnlineMode(bool v);
    void setOnlineValue(std::optional<double> v);
    // A value line of a stream in `mode` (1 rate, 2 dose) read at `timeMs`: onlineValue, onlineUnit,
    // then the whole reading, told in that order.
    void setOnlineReading(int mode, double v, qint64 timeMs, const QString& unit);
    void setOnlineUnit(const QString& unit);
    void setError(const QString& message);
    void setProgress(std::shared_ptr<oq::ProgressRecord> progress);
    void setCanSetTime(bool v) { m_canSetTime = v; }

private:
    mutable QMutex m_mutex; // guards the object-valued properties so readers never see half a value
    std::shared_ptr<const OQDeviceInfo> m_info;
    std::optional<double> m_onlineValue;
    std::optional<oq::Reading> m_reading;
    QString m_port;
    QString m_onlineUnit;
    QString m_error;
    std::shared_ptr<oq::ProgressRecord> m_progress;
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_onlineMode{false};
    std::atomic<bool> m_canSetTime{false};
};

// Devices are shared: work queued for a device keeps it alive until it has run. The last owner may
// let go on any thread; the object is then deleted on the main thread.
template <typename T, typename... Args>
std::shared_ptr<T> makeDevice(Args&&... args)
{
    std::shared_ptr<T> device(new T(std::forward<Args>(args)...), [](T* d) { d->deleteLater(); });
    device->didMakeShared(device);
    return device;
}
