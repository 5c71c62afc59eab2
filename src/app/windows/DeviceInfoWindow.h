#pragma once
// The "Device Information" window: what the counter's version record says, and how far its clock
// was from the computer's when the record was read. It follows the controller's current device.
#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QDialog>

#include <memory>

class AppDelegate;
class OQDeviceInfo;
class QLabel;
class QPushButton;

class DeviceInfoWindow : public QDialog {
    Q_OBJECT
public:
    // The texts the window shows; "—" stands for a field the record lacks.
    struct Fields {
        QString firmware, tube, powerSupply, features, serialNumber, hardware, counterClock, clockDifference,
            protocolLength;
    };
    // `readAt` is the computer's time when the record was read.
    static Fields fieldsFor(const OQDeviceInfo& info, const QDateTime& readAt);
    // "+2 min 5 s": how far the counter's clock is ahead (or, negative, behind) the computer's.
    static QString differenceText(qint64 counterAheadSeconds);

    DeviceInfoWindow(AppDelegate* controller, QWidget* parent = nullptr);

    const Fields& fields() const { return m_fields; }
    QPushButton* setClockButton() const { return m_setClock; }
    // What the line above the fields says: when the record was read, or why there is none.
    QString statusText() const;
    void setSetClockEnabled(bool enabled);

signals:
    void setClockRequested();

private:
    void deviceChanged();
    void infoChanged();
    void refresh();

    QPointer<AppDelegate> m_controller;
    QMetaObject::Connection m_infoConnection;
    QList<QMetaObject::Connection> m_stateConnections;
    std::shared_ptr<const OQDeviceInfo> m_info;
    QDateTime m_readAt;
    Fields m_fields;
    QLabel* m_status = nullptr;
    QList<QLabel*> m_values;
    QPushButton* m_setClock = nullptr;
};
