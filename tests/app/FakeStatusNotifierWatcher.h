#pragma once
// A desktop's tray as the StatusNotifier protocol shows it, for tests: takes the watcher's name on
// the session bus (run the test under dbus-run-session, so it is a private bus) with a host
// registered, and keeps the items that register with it. It answers from its own thread, because
// Qt asks it with a blocking call from the main thread.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QStringList>
#include <QThread>

class FakeStatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    FakeStatusNotifierWatcher()
    {
        m_thread.start();
        moveToThread(&m_thread);
    }
    ~FakeStatusNotifierWatcher() override
    {
        QMetaObject::invokeMethod(this, [this] {
            m_bus.unregisterService(kService);
            m_bus.unregisterObject(kPath);
            moveToThread(QCoreApplication::instance()->thread()); // outlives its thread
        }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        QDBusConnection::disconnectFromBus(kConnection);
    }

    // False where there is no private bus, or the name is taken (a real desktop's bus).
    bool start()
    {
        bool ok = false;
        QMetaObject::invokeMethod(this, [this, &ok] {
            m_bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnection);
            ok = qEnvironmentVariableIsSet("OQ_PRIVATE_SESSION_BUS") && m_bus.isConnected()
                && m_bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)
                && m_bus.registerService(kService);
        }, Qt::BlockingQueuedConnection);
        return ok;
    }

    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const
    {
        QMutexLocker lock(&m_mutex);
        return m_items;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& item)
    {
        QMutexLocker lock(&m_mutex);
        m_items << item;
    }
    void RegisterStatusNotifierHost(const QString&) {}

private:
    inline static const QString kService = QStringLiteral("org.kde.StatusNotifierWatcher");
    inline static const QString kPath = QStringLiteral("/StatusNotifierWatcher");
    inline static const QString kConnection = QStringLiteral("fake-status-notifier-watcher");
    QThread m_thread;
    QDBusConnection m_bus{QString()};
    mutable QMutex m_mutex;
    QStringList m_items;
};
