#pragma once
// Notifications through the desktop's notification service (org.freedesktop.Notifications on the
// session bus, Qt DBus). Sending never waits for the service. Without a session bus, or without a
// service on it, nothing is shown and one line is logged; the next failure after a notification
// got through is logged again.
#include <QObject>
#include <QString>

#include <set>

namespace oq::alerts {

// Whether the session has a bus. Asking libdbus for the session bus where none is announced would
// start one of its own (X11 autolaunch) and leave it running; no bus means no notifications instead.
bool sessionBusAnnounced();

struct Notification {
    QString summary;
    QString body;
    bool critical = false; // urgency critical (the desktop keeps it until it is dismissed)
};

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    static const QString kService; // org.freedesktop.Notifications

    // `appName` and `iconName` name the application to the service ("oq-online" for the icon).
    explicit DesktopNotifier(QString appName, QString iconName, QObject* parent = nullptr);

    void notify(const Notification& notification);

signals:
    // The service showed a notification under `id`.
    void shown(uint id);
    // The service could not be reached; `reason` is logged once.
    void unavailable(const QString& reason);
    // The user clicked one of our notifications.
    void activated();

private slots:
    void onActionInvoked(uint id, const QString& action);

private:
    void fail(const QString& reason);
    bool connectBus();

    QString m_appName;
    QString m_iconName;
    bool m_connected = false;
    bool m_failureLogged = false;
    std::set<uint> m_ids;
};

} // namespace oq::alerts
