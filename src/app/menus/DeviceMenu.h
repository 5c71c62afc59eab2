#pragma once
// The Device menu's counter operations (information, protocol download, clock setting) and
// File > Open Protocol, with the windows they open, and the counters plugged in to choose from. The operations are enabled while a counter
// is ready: attached, idle, and no operation of ours running.
#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class AppDelegate;
class CounterMenu;
class DeviceExchanges;
class DeviceInfoWindow;
class OQProtocol;
class ProtocolWindow;
class QAction;
class QMenu;
class QWidget;

class DeviceMenu : public QObject {
    Q_OBJECT
public:
    // Adds its actions to `fileMenu` (at the top) and to `deviceMenu` (before what it holds).
    DeviceMenu(AppDelegate* controller, QWidget* window, QMenu* fileMenu, QMenu* deviceMenu);

    QAction* infoAction() const { return m_info; }
    QAction* downloadAction() const { return m_download; }
    QAction* setClockAction() const { return m_setClock; }
    QAction* openProtocolAction() const { return m_open; }
    DeviceExchanges* exchanges() const { return m_exchanges; }
    CounterMenu* counterMenu() const { return m_counters; }
    DeviceInfoWindow* infoWindow() const { return m_infoWindow; }
    QList<ProtocolWindow*> protocolWindows() const;

    // Opens a protocol window for the stored dump at `path`; failures are presented.
    ProtocolWindow* openProtocolFile(const QString& path);
    // Opens a protocol window for a protocol in memory (`path`: where it is stored, or empty).
    ProtocolWindow* showProtocol(std::shared_ptr<OQProtocol> protocol, const QString& path);

public slots:
    void showDeviceInformation();
    void openProtocol();

signals:
    // A protocol read from the counter, and a stored one opened, now shown in `window`.
    void protocolDownloaded(ProtocolWindow* window);
    void protocolFileOpened(ProtocolWindow* window);

private:
    void watchDevice();
    void updateActions();
    // The user chose "Download Again" on a protocol that would not parse.
    void offerDownloadAgain(int option);

    QPointer<AppDelegate> m_controller;
    QPointer<QWidget> m_window;
    DeviceExchanges* m_exchanges = nullptr;
    CounterMenu* m_counters = nullptr;
    DeviceInfoWindow* m_infoWindow = nullptr;
    QList<QPointer<ProtocolWindow>> m_protocolWindows;
    QList<QMetaObject::Connection> m_deviceConnections;
    QAction* m_info = nullptr;
    QAction* m_download = nullptr;
    QAction* m_setClock = nullptr;
    QAction* m_open = nullptr;
};
