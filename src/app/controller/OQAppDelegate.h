#pragma once
// The common application controller: settings and their bindings, device ownership, USB arrival
// and removal, transfer cancellation, the launch sequence and the derived display values.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

#include "device/OQDevice.h"
#include "platform/ErrorRecord.h"
#include "usb/USBMonitor.h"

class ColorManager;
class LGFileLogger;
class LivoraPreferencesWindow;
class DisplayValueTransformer;

class OQAppDelegate : public QObject, public USBMonitorDegelate {
    Q_OBJECT
    Q_PROPERTY(QString preferredDisplayUnit READ preferredDisplayUnit NOTIFY preferredDisplayUnitChanged)
    Q_PROPERTY(QVariant onlineMode READ onlineMode NOTIFY onlineModeChanged)
    Q_PROPERTY(QString displayUnit READ displayUnit NOTIFY displayUnitChanged)
    Q_PROPERTY(QVariant onlineValueString READ onlineValueStringVariant NOTIFY onlineValueStringChanged)
public:
    using DeviceFactory = std::function<std::shared_ptr<OQDevice>()>;

    // Registers the settings defaults and binds onlineMode and preferredDisplayUnit.
    explicit OQAppDelegate(QObject* parent = nullptr);
    ~OQAppDelegate() override;

    // Crash-reporting secret; none means crash reporting is not started.
    std::optional<QString> appCenterSecret() const { return m_appCenterSecret; }
    void setAppCenterSecret(std::optional<QString> secret) { m_appCenterSecret = std::move(secret); }

    const std::shared_ptr<OQDevice>& device() const { return m_device; }
    void setDevice(std::shared_ptr<OQDevice> device);
    // How arrivals make their device; the default makes an OQUSBDevice.
    void setDeviceFactory(DeviceFactory factory) { m_deviceFactory = std::move(factory); }

    // Null text for none.
    QString preferredDisplayUnit() const { return m_preferredDisplayUnit; }
    // Invalid for none.
    QVariant onlineMode() const { return m_onlineMode; }

    // Derived display values: computed at each read; their signals fire whenever a source changes.
    QString displayUnit() const;
    std::shared_ptr<DisplayValueTransformer> displayValueTransformer() const;
    // Null text for none.
    QString onlineValueString() const;
    QVariant onlineValueStringVariant() const;

    ColorManager* colorManager() const { return m_colorManager; }
    void setColorManager(ColorManager* manager) { m_colorManager = manager; }
    USBMonitor* monitor() const { return m_monitor.get(); }
    LGFileLogger* fileLogger() const { return m_fileLogger.get(); }
    LGFileLogger* deviceFileLogger() const { return m_deviceFileLogger.get(); }
    LivoraPreferencesWindow* prefWindowController() const { return m_prefWindowController.get(); }

    // USB monitor delegate role.
    void monitorFoundNewDevice(USBMonitor* monitor) override;
    void monitorRemovedDevice(USBMonitor* monitor) override;

    // The launch sequence.
    virtual void applicationDidFinishLaunching();
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

    // Rewrites parser errors and device errors of a vanished device into the user's words.
    oq::ErrorRecord willPresentError(const oq::ErrorRecord& error);

    // Options for the launch sequence, set by the program entry before launching.
    struct LaunchOptions {
        bool useSimulatedBus = false;
        QString portPath; // a fixed terminal device reported as arriving at start
        bool setUpLogging = true;
        QString logsDirectory; // empty: the default folder
        bool startMonitor = true;
    };
    void setLaunchOptions(const LaunchOptions& options) { m_launchOptions = options; }
    const LaunchOptions& launchOptions() const { return m_launchOptions; }

public slots:
    void cancelTransfer();
    void setupLogging();
    void showPreferences();

signals:
    // Once, when showPreferences() first makes the window, so others can add to it.
    void preferencesWindowCreated(LivoraPreferencesWindow* window);
    void deviceChanged();
    void preferredDisplayUnitChanged();
    void onlineModeChanged();
    void displayUnitChanged();
    void displayValueTransformerChanged();
    void onlineValueStringChanged();
    // Every change of "device.onlineValue": a new value, or a new or dropped device.
    void deviceOnlineValueChanged();

protected:
    ColorManager* m_colorManager = nullptr;
    std::unique_ptr<USBMonitor> m_monitor;

    // Each connection of a counter starts a new device log.
    void rollDeviceLog();

private:
    void bindSettings();
    void readBoundSettings(const QString& key);
    void connectDevicePaths();

    std::optional<QString> m_appCenterSecret;
    std::shared_ptr<OQDevice> m_device;
    QList<QMetaObject::Connection> m_deviceConnections;
    DeviceFactory m_deviceFactory;
    QString m_preferredDisplayUnit;
    QVariant m_onlineMode;
    std::unique_ptr<LivoraPreferencesWindow> m_prefWindowController;
    std::shared_ptr<LGFileLogger> m_fileLogger;
    std::shared_ptr<LGFileLogger> m_deviceFileLogger;
    LaunchOptions m_launchOptions;
};
