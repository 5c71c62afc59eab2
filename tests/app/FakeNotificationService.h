#pragma once
// A desktop notification service for tests: takes the notification service's name on the session
// bus (run the test under dbus-run-session, so it is a private bus) and keeps what it is sent.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

class FakeNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Received {
        QString appName, icon, summary, body;
        uint replaces = 0;
        QStringList actions;
        QVariantMap hints;
        int urgency() const { return hints.value(QStringLiteral("urgency")).toInt(); }
    };

    FakeNotificationService()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-notifications")))
    {
    }
    ~FakeNotificationService() override
    {
        stop();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
    }

    // False where there is no private bus, or the name is taken (a real desktop's bus).
    bool start()
    {
        return qEnvironmentVariableIsSet("OQ_PRIVATE_SESSION_BUS") && m_bus.isConnected()
            && m_bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots) && m_bus.registerService(kService);
    }
    void stop()
    {
        m_bus.unregisterService(kService);
        m_bus.unregisterObject(kPath);
    }
    // The user clicks notification `id`.
    void click(uint id)
    {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
        signal << id << QStringLiteral("default");
        m_bus.send(signal);
    }

    QList<Received> received;

public slots:
    uint Notify(const QString& appName, uint replaces, const QString& icon, const QString& summary, const QString& body,
        const QStringList& actions, const QVariantMap& hints, int)
    {
        received.append({appName, icon, summary, body, replaces, actions, hints});
        return uint(received.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("actions")}; }
    void CloseNotification(uint) {}

private:
    inline static const QString kService = QStringLiteral("org.freedesktop.Notifications");
    inline static const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
    QDBusConnection m_bus;
};
