#pragma once
// Watches the USB bus for counters (vendor 0x0403, product 0xD678) and tells its delegate when one
// arrives and when it leaves. Counters attached before start are made to re-enumerate during
// construction, so that every reported counter came through the ordinary arrival path.
//
// Create it on the thread whose event loop is to deliver the reports (the main thread); every
// report runs there.
#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>

#include "usb/USBRegistry.h"

class USBMonitor;

// The delegate's role. During either report, the monitor's reportedDevice() says which counter.
class USBMonitorDegelate {
public:
    virtual ~USBMonitorDegelate() = default;
    virtual void monitorFoundNewDevice(USBMonitor* monitor) = 0;
    virtual void monitorRemovedDevice(USBMonitor* monitor) = 0;
};

// Raised when the registry cannot give a device's entry identifier. The monitor catches it where
// the registry's delivery enters it, so one unreadable device never stops the watch.
class USBMonitorInconsistency : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// One reported device. Destroying it ends its removal subscription.
class USBDeviceInternal {
public:
    explicit USBDeviceInternal(USBRegistry* registry) : m_registry(registry) {}
    ~USBDeviceInternal();
    USBDeviceInternal(const USBDeviceInternal&) = delete;
    USBDeviceInternal& operator=(const USBDeviceInternal&) = delete;

    uint64_t entryID = 0; // the same for the arrival and the removal of one attachment
    QString name;
    uint32_t locationID = 0; // where it sits on the bus; its serial port is listed under it
    USBRegistry::Subscription notification = 0;

private:
    USBRegistry* m_registry;
};

class USBMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr int32_t kVendorID = 0x0403;
    static constexpr int32_t kProductID = 0xD678;

    // On the kernel's device events (udev). None when the registry cannot be set up.
    static std::unique_ptr<USBMonitor> init();
    // On the given registry, which the monitor then owns.
    static std::unique_ptr<USBMonitor> init(std::unique_ptr<USBRegistry> registry);
    ~USBMonitor() override;

    USBMonitorDegelate* delegate() const { return m_delegate; }
    // Not owned: the delegate must outlive the monitor or be reset first.
    void setDelegate(USBMonitorDegelate* delegate) { m_delegate = delegate; }

    // Handles every device the iterator yields. Raises USBMonitorInconsistency when an entry
    // identifier cannot be read; the devices after it stay in the iterator.
    void deviceAdded(USBRegistry::Iterator iterator);
    // Handles a general-interest message about a reported device. Raises USBMonitorInconsistency
    // when the entry identifier cannot be read.
    void deviceNotificationForService(USBRegistry::Service service, uint32_t messageType, quintptr messageArgument);

    // The device being reported to the delegate; null outside a report.
    const USBDeviceInternal* reportedDevice() const { return m_reporting; }

    // The devices reported as arrived and not yet as removed.
    size_t deviceCount() const { return m_devicesByID.size(); }
    USBRegistry* registry() const { return m_registry.get(); }

private:
    explicit USBMonitor(std::unique_ptr<USBRegistry> registry);
    void handleArrivals(USBRegistry::Iterator iterator);
    void handleNotification(USBRegistry::Service service, uint32_t messageType, quintptr messageArgument);

    std::unique_ptr<USBRegistry> m_registry;
    // Declared after the registry so the records, which release their subscriptions, go first.
    std::map<uint64_t, std::unique_ptr<USBDeviceInternal>> m_devicesByID;
    USBRegistry::Iterator m_addedIter = 0;
    bool m_resetOnDetect = false;
    USBMonitorDegelate* m_delegate = nullptr;
    const USBDeviceInternal* m_reporting = nullptr;
};
