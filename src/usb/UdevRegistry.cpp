#include "UdevRegistry.h"

#include <QSocketNotifier>
#include <QStringList>

#include <libudev.h>
#include <unistd.h>

#include "platform/UsbLocation.h"

namespace {

QString text(const char* s)
{
    return s ? QString::fromUtf8(s) : QString();
}

// A 16-bit identifier in hexadecimal ("0403"); 0, which matches nothing, when it is not one.
int32_t hexID(const QString& s)
{
    bool ok = false;
    const uint v = s.trimmed().toUInt(&ok, 16);
    return ok && !s.trimmed().isEmpty() && s.trimmed().size() <= 4 ? int32_t(v) : 0;
}

// udev escapes some characters in property values: "\x20" for a space and so on.
QString decodeEscapes(const QString& s)
{
    QByteArray out;
    const QByteArray in = s.toUtf8();
    for (qsizetype i = 0; i < in.size(); ++i) {
        bool ok = false;
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            const int v = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok && v > 0) {
                out += char(v);
                i += 3;
                continue;
            }
        }
        out += in[i];
    }
    return QString::fromUtf8(out);
}

} // namespace

UdevRegistry::UdevRegistry(Source source, QObject* parent) : USBRegistry(parent), m_source(source)
{
    if (source != Source::System)
        return;
    m_udev = udev_new();
    if (!m_udev)
        return;
    // Without a running udev daemon nothing arrives on its socket; the kernel's own events still do.
    const char* feed = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    m_monitor = udev_monitor_new_from_netlink(m_udev, feed);
    if (!m_monitor || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") < 0
        || udev_monitor_enable_receiving(m_monitor) < 0) {
        if (m_monitor)
            udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
        return;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdevRegistry::readSocket);
}

UdevRegistry::~UdevRegistry()
{
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

bool UdevRegistry::createMatching(const QString& deviceClass, int32_t idVendor, int32_t idProduct)
{
    if (m_source == Source::System && !m_monitor)
        return false;
    return USBRegistry::createMatching(deviceClass, idVendor, idProduct);
}

std::optional<uint64_t> UdevRegistry::entryIDFor(const QString& busnum, const QString& devnum)
{
    // The kernel gives each attachment a fresh device number on its bus, and the removal event
    // carries the same pair as the arrival.
    const auto bus = oq::sysfsNumber(busnum, 0xFFFF);
    const auto dev = oq::sysfsNumber(devnum, 0xFFFF);
    if (!bus || !dev)
        return std::nullopt;
    return (uint64_t(*bus) << 32) | *dev;
}

std::optional<uint32_t> UdevRegistry::locationIDFor(const QString& busnum, const QString& portPath)
{
    return oq::usbLocationId(busnum, portPath);
}

void UdevRegistry::handleEvent(const UdevEvent& event)
{
    if (event.subsystem != u"usb" || event.devtype != u"usb_device" || event.devpath.isEmpty())
        return;
    if (event.action == u"remove") {
        detach(event.devpath);
        return;
    }
    if (event.action == u"change") {
        post(event.devpath, MessageServicePropertyChange);
        return;
    }
    if (event.action != u"add")
        return;
    Entry entry;
    entry.path = event.devpath;
    entry.deviceClass = QString::fromLatin1(kDeviceClass);
    entry.idVendor = hexID(event.idVendor);
    entry.idProduct = hexID(event.idProduct);
    entry.entryID = entryIDFor(event.busnum, event.devnum);
    entry.locationID = locationIDFor(event.busnum, event.portPath);
    if (!event.product.isEmpty())
        entry.name = event.product.left(127);
    attach(entry);
}

UdevEvent UdevEvent::fromProperties(const QMap<QString, QString>& properties, const QMap<QString, QString>& attributes)
{
    auto first = [](std::initializer_list<QString> candidates) {
        for (const QString& c : candidates) {
            if (!c.trimmed().isEmpty())
                return c.trimmed();
        }
        return QString();
    };
    // PRODUCT is "vendor/product/release" in hexadecimal without leading zeros; the kernel always sends it.
    const QStringList product = properties.value(QStringLiteral("PRODUCT")).split(u'/');
    // The kernel names a device "bus-port.port..." after where it sits.
    const QString devpath = properties.value(QStringLiteral("DEVPATH"));
    const QString kernelName = devpath.section(u'/', -1);

    UdevEvent e;
    e.action = properties.value(QStringLiteral("ACTION"));
    e.subsystem = properties.value(QStringLiteral("SUBSYSTEM"));
    e.devtype = properties.value(QStringLiteral("DEVTYPE"));
    e.devpath = devpath;
    e.idVendor = first({attributes.value(QStringLiteral("idVendor")), properties.value(QStringLiteral("ID_VENDOR_ID")),
        product.value(0)});
    e.idProduct = first({attributes.value(QStringLiteral("idProduct")), properties.value(QStringLiteral("ID_MODEL_ID")),
        product.value(1)});
    e.busnum = first({properties.value(QStringLiteral("BUSNUM")), attributes.value(QStringLiteral("busnum"))});
    e.devnum = first({properties.value(QStringLiteral("DEVNUM")), attributes.value(QStringLiteral("devnum"))});
    e.portPath = first({attributes.value(QStringLiteral("devpath")),
        kernelName.contains(u'-') ? kernelName.section(u'-', 1) : QString()});
    e.product = first({attributes.value(QStringLiteral("product")),
        decodeEscapes(properties.value(QStringLiteral("ID_MODEL_ENC"))), properties.value(QStringLiteral("ID_MODEL"))});
    return e;
}

UdevEvent UdevRegistry::eventFrom(udev_device* device)
{
    QMap<QString, QString> properties;
    udev_list_entry* item = nullptr;
    udev_list_entry_foreach(item, udev_device_get_properties_list_entry(device))
    {
        properties.insert(text(udev_list_entry_get_name(item)), text(udev_list_entry_get_value(item)));
    }
    // A device found by the scan has no action; it is present, so it counts as arriving.
    if (!properties.contains(QStringLiteral("ACTION")))
        properties.insert(QStringLiteral("ACTION"), QStringLiteral("add"));
    // Attributes can be read only while the device is present.
    QMap<QString, QString> attributes;
    for (const char* key : {"idVendor", "idProduct", "busnum", "devnum", "devpath", "product"}) {
        if (const char* value = udev_device_get_sysattr_value(device, key))
            attributes.insert(QString::fromLatin1(key), text(value));
    }
    return UdevEvent::fromProperties(properties, attributes);
}

void UdevRegistry::readSocket()
{
    // The socket does not block: read until it is empty.
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        handleEvent(eventFrom(device));
        udev_device_unref(device);
    }
}

void UdevRegistry::enumerateAttached()
{
    if (!m_udev)
        return;
    udev_enumerate* scan = udev_enumerate_new(m_udev);
    if (!scan)
        return;
    udev_enumerate_add_match_subsystem(scan, "usb");
    udev_enumerate_add_match_property(scan, "DEVTYPE", "usb_device");
    udev_enumerate_scan_devices(scan);
    udev_list_entry* item = nullptr;
    udev_list_entry_foreach(item, udev_enumerate_get_list_entry(scan))
    {
        if (udev_device* device = udev_device_new_from_syspath(m_udev, udev_list_entry_get_name(item))) {
            handleEvent(eventFrom(device));
            udev_device_unref(device);
        }
    }
    udev_enumerate_unref(scan);
}
