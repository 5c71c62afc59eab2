#pragma once
// The common application controller: settings and their bindings, device ownership, USB arrival
// and removal, transfer cancellation, the launch sequence and the derived display values.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "counters/CounterSet.h"
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
    // Makes the device of the counter at a bus location; none: the first counter listed.
    using LocatedDeviceFactory = std::function<std::shared_ptr<OQDevice>(std::optional<uint32_t> location)>;

    // Registers the settings defaults and binds onlineMode and preferredDisplayUnit.
    explicit OQAppDelegate(QObject* parent = nullptr);
    ~OQAppDelegate() override;

    // Crash-reporting secret; none means crash reporting is not started.
    std::optional<QString> appCenterSecret() const { return m_appCenterSecret; }
    void setAppCenterSecret(std::optional<QString> secret) { m_appCenterSecret = std::move(secret); }

    // The counter shown: the window, downloads, Device Information and Set Clock act on it.
    const std::shared_ptr<OQDevice>& device() const { return m_device; }
    // Makes `device` the counter of entry 0 and shows it.
    void setDevice(std::shared_ptr<OQDevice> device);
    // How arrivals make their device.
    void setDeviceFactory(DeviceFactory factory);
    void setDeviceFactory(LocatedDeviceFactory factory);
    // Makes an OQUSBDevice bound to the location.
    static LocatedDeviceFactory usbDeviceFactory();

    // Every counter plugged in, in arrival order; each is read, recorded and alerted for. Entry 0
    // is the counter that arrives without a monitor record (a fixed port, a test): a new arrival of
    // it replaces it, as with the single counter of old.
    oq::counters::CounterSet& counterSet() { return m_counters; }
    const oq::counters::CounterSet& counterSet() const { return m_counters; }
    std::vector<std::shared_ptr<OQDevice>> devices() const;
    bool hasDevice(const std::shared_ptr<OQDevice>& device) const;
    // The counter of `device`; null when it is not plugged.
    oq::counters::Counter* counterOf(const OQDevice* device) const { return m_counters.counterOf(device); }
    // The counter shown; null for none.
    oq::counters::Counter* shownCounter() const { return counterOf(m_device.get()); }
    // What tells a counter apart: its serial, else its port; empty until its information is read.
    QString counterKey(const OQDevice* device) const;
    // For people: the serial, or that it has none and its port.
    QString counterName(const OQDevice* device) const;
    // The user's choice: shows `device` and keeps its key in the settings.
    void chooseDevice(const std::shared_ptr<OQDevice>& device);
    // The reading of `device` as the window would show it (in the mode of the stream that read it);
    // null text for none.
    QString onlineValueString(const OQDevice* device) const;
    // A reading as the window shows it: in its own mode, in the display unit (else its counter's).
    QString onlineValueString(const oq::Reading& reading) const;
    // "Sv" or "rem": the preferred unit, else the one `device` displays; null text for none.
    QString displayUnit(const OQDevice* device) const;
    std::shared_ptr<DisplayValueTransformer> displayValueTransformer(const OQDevice* device) const;

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

    // Rewrites parser errors and device errors of a vanished device (`counter`, else the one shown)
    // into the user's words.
    oq::ErrorRecord willPresentError(const oq::ErrorRecord& error, const std::shared_ptr<OQDevice>& counter = nullptr);

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
    // A counter was plugged in or pulled out.
    void countersChanged();
    // A new reading of any counter, shown or not.
    void counterOnlineValueChanged(OQDevice* device);
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
    void showDevice(std::shared_ptr<OQDevice> device);
    // Forgets the counter of `entryID` (and shows none when it was shown, if `unshow`): true when
    // there was one.
    bool dropCounter(uint64_t entryID, bool unshow = true);
    // Shows the chosen counter when it is plugged, else keeps the shown one, else any.
    void followChoice();

    std::optional<QString> m_appCenterSecret;
    std::shared_ptr<OQDevice> m_device;
    QList<QMetaObject::Connection> m_deviceConnections;
    oq::counters::CounterSet m_counters;
    QString m_preferredDisplayUnit;
    QVariant m_onlineMode;
    std::unique_ptr<LivoraPreferencesWindow> m_prefWindowController;
    std::shared_ptr<LGFileLogger> m_fileLogger;
    std::shared_ptr<LGFileLogger> m_deviceFileLogger;
    LaunchOptions m_launchOptions;
};
