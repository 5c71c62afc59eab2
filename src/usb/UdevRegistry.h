#pragma once
// The registry on the kernel's USB device events (libudev). The monitor socket is driven by the
// event loop of the creating thread. See README.md beside this file for how identifiers are made
// and what re-enumeration means here.
#include <QMap>
#include <QString>

#include <memory>

#include "usb/USBRegistry.h"

class QSocketNotifier;
struct udev;
struct udev_device;
struct udev_monitor;

// One device event as udev reports it, reduced to what the registry reads.
struct UdevEvent {
    QString action;    // "add", "remove", "change", ...
    QString subsystem; // "usb"
    QString devtype;   // "usb_device" for whole devices
    QString devpath;   // the kernel's path of the device: its identity while it is attached
    QString idVendor;  // hexadecimal ("0403")
    QString idProduct;
    QString busnum; // decimal
    QString devnum;
    QString portPath; // ports from the root hub down ("4.2")
    QString product;  // the product string

    // From a device's properties, as `udevadm monitor --property` prints them, and, while the device
    // is present, its sysfs attributes. A removal has properties only.
    static UdevEvent fromProperties(const QMap<QString, QString>& properties, const QMap<QString, QString>& attributes = {});
};

class UdevRegistry : public USBRegistry {
    Q_OBJECT
public:
    enum class Source {
        System,   // the system's device events and the devices present now
        Recorded, // only what is fed to handleEvent (tests, replays)
    };

    explicit UdevRegistry(Source source = Source::System, QObject* parent = nullptr);
    ~UdevRegistry() override;

    // False when the system's device events cannot be received.
    bool createMatching(const QString& deviceClass, int32_t idVendor, int32_t idProduct) override;

    // Every event, from the socket or recorded, goes through here. Events of other subsystems and
    // device types are ignored.
    void handleEvent(const UdevEvent& event);

    // Identifier and location of a device as the registry makes them; none when unreadable.
    static std::optional<uint64_t> entryIDFor(const QString& busnum, const QString& devnum);
    static std::optional<uint32_t> locationIDFor(const QString& busnum, const QString& portPath);

protected:
    void enumerateAttached() override;

private:
    static UdevEvent eventFrom(udev_device* device);
    void readSocket();

    Source m_source;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
};
