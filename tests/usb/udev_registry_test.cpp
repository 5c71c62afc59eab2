// The monitor on the udev registry, fed with recorded device events through the same path the
// socket uses.
#include <gtest/gtest.h>

#include "common/TestUtil.h"
#include "usb/UdevRegistry.h"
#include "usb/UsbTestUtil.h"

using namespace oq::test;

namespace {

// Recorded with `udevadm monitor --udev --property` while plugging a counter into port 4.2 of bus 1.
const char* kCounterAdd = R"(ACTION=add
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2
SUBSYSTEM=usb
DEVNAME=/dev/bus/usb/001/007
DEVTYPE=usb_device
PRODUCT=403/d678/600
TYPE=0/0/0
BUSNUM=001
DEVNUM=007
SEQNUM=5123
MAJOR=189
MINOR=6
ID_VENDOR_ID=0403
ID_MODEL_ID=d678
ID_MODEL=Orbel-Quist_Counter
ID_MODEL_ENC=Orbel-Quist\x20Counter
)";

// The kernel's own removal: no udev database fields, no attributes.
const char* kCounterRemove = R"(ACTION=remove
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2
SUBSYSTEM=usb
DEVNAME=/dev/bus/usb/001/007
DEVTYPE=usb_device
PRODUCT=403/d678/600
TYPE=0/0/0
BUSNUM=001
DEVNUM=007
SEQNUM=5131
)";

// A plain FTDI serial cable on port 3.
const char* kCableAdd = R"(ACTION=add
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-3
SUBSYSTEM=usb
DEVTYPE=usb_device
PRODUCT=403/6001/600
BUSNUM=001
DEVNUM=008
)";

// The counter's serial interface: same identifiers, but not the whole device.
const char* kCounterInterfaceAdd = R"(ACTION=add
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2/1-4.2:1.0
SUBSYSTEM=usb
DEVTYPE=usb_interface
PRODUCT=403/d678/600
)";

UdevEvent recorded(const char* text, const QMap<QString, QString>& replace = {})
{
    QMap<QString, QString> properties;
    for (const QString& line : QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts))
        properties.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    for (auto it = replace.begin(); it != replace.end(); ++it) {
        if (it.value().isNull())
            properties.remove(it.key());
        else
            properties.insert(it.key(), it.value());
    }
    return UdevEvent::fromProperties(properties);
}

UdevEvent counterOn(const QString& port, const QString& devnum, const char* action = kCounterAdd)
{
    return recorded(action,
        {{"DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-" + port}, {"DEVNUM", devnum}});
}

struct UdevMonitor : ::testing::Test {
    LogCapture log;
    CountingDelegate delegate;
    UdevRegistry* udev = nullptr;
    std::unique_ptr<USBMonitor> monitor;

    std::unique_ptr<UdevRegistry> registry()
    {
        auto r = std::make_unique<UdevRegistry>(UdevRegistry::Source::Recorded);
        udev = r.get();
        return r;
    }
    void start(std::unique_ptr<UdevRegistry> r)
    {
        monitor = USBMonitor::init(std::move(r));
        ASSERT_TRUE(monitor);
        monitor->setDelegate(&delegate);
    }
    void feed(const UdevEvent& event)
    {
        udev->handleEvent(event);
        spin(0.02);
    }
};

} // namespace

TEST(UdevEvent, ReadsIdentifiersFromPropertiesAndAttributes)
{
    const UdevEvent add = recorded(kCounterAdd);
    EXPECT_EQ(add.idVendor, "0403");
    EXPECT_EQ(add.idProduct, "d678");
    EXPECT_EQ(add.portPath, "4.2");
    EXPECT_EQ(add.product, "Orbel-Quist Counter");

    // A kernel removal still names vendor and product through PRODUCT.
    const UdevEvent removal = recorded(kCounterRemove);
    EXPECT_EQ(removal.idVendor, "403");
    EXPECT_EQ(removal.idProduct, "d678");

    // Attributes of a present device win over properties.
    QMap<QString, QString> properties{{"ACTION", "add"}, {"DEVPATH", "/devices/x/usb2/2-1"}};
    const UdevEvent scanned = UdevEvent::fromProperties(properties,
        {{"idVendor", "0403\n"}, {"idProduct", "d678"}, {"busnum", "2"}, {"devnum", "3"}, {"devpath", "1"},
            {"product", "Counter"}});
    EXPECT_EQ(scanned.idVendor, "0403");
    EXPECT_EQ(scanned.busnum, "2");
    EXPECT_EQ(scanned.portPath, "1");
    EXPECT_EQ(scanned.product, "Counter");
}

TEST(UdevEvent, IdentifierAndLocationRules)
{
    EXPECT_EQ(UdevRegistry::entryIDFor("001", "007"), (uint64_t(1) << 32) | 7);
    EXPECT_EQ(UdevRegistry::locationIDFor("1", "4.2"), 0x01420000u);
    EXPECT_EQ(UdevRegistry::locationIDFor("3", "1.2.3.4.5.6"), 0x03123456u);
    EXPECT_EQ(UdevRegistry::locationIDFor("1", "20"), 0x01F00000u); // ports above 15 share the last nibble

    for (const char* bad : {"", "0", "-1", "abc", "1x", "99999999999", "+1"})
        EXPECT_FALSE(UdevRegistry::entryIDFor(bad, "1")) << bad;
    EXPECT_FALSE(UdevRegistry::locationIDFor("300", "1"));
    EXPECT_FALSE(UdevRegistry::locationIDFor("1", "1.2.3.4.5.6.7"));
    EXPECT_FALSE(UdevRegistry::locationIDFor("1", "1..2"));
    EXPECT_FALSE(UdevRegistry::locationIDFor("1", ""));
}

TEST_F(UdevMonitor, PlugAndUnplugAreReportedOnceEachAndOthersNever)
{
    start(registry());
    feed(recorded(kCableAdd));
    feed(recorded(kCounterInterfaceAdd));
    EXPECT_EQ(delegate.found, 0);

    feed(recorded(kCounterAdd));
    EXPECT_EQ(delegate.found, 1);
    EXPECT_EQ(delegate.lastMonitor, monitor.get());
    EXPECT_EQ(monitor->deviceCount(), 1u);

    // The same attachment announced again (udevadm trigger) is not a new counter.
    feed(recorded(kCounterAdd));
    EXPECT_EQ(delegate.found, 1);
    EXPECT_EQ(delegate.removed, 0);

    // A change event (for example a configuration change) is no removal.
    feed(recorded(kCounterAdd, {{"ACTION", "change"}}));
    feed(recorded(kCableAdd, {{"ACTION", "remove"}}));
    EXPECT_EQ(delegate.removed, 0);

    feed(recorded(kCounterRemove));
    EXPECT_EQ(delegate.removed, 1);
    EXPECT_EQ(monitor->deviceCount(), 0u);
    // A repeated removal finds nothing to remove.
    feed(recorded(kCounterRemove));
    EXPECT_EQ(delegate.removed, 1);
    EXPECT_EQ(udev->handleCount(), 0u);

    log.expectOneArrivalAndRemovalLine();
}

TEST_F(UdevMonitor, CounterPresentAtStartArrivesAgainAfterConstruction)
{
    auto r = registry();
    r->handleEvent(recorded(kCounterAdd));
    r->handleEvent(recorded(kCableAdd));
    start(std::move(r));
    EXPECT_EQ(delegate.found, 0);
    EXPECT_EQ(monitor->deviceCount(), 0u);

    const QString id = QString::number((uint64_t(1) << 32) | 7);
    EXPECT_EQ(log.matching("^Device succesfully (opened|reset|closed): " + id + "$").size(), 3);

    ASSERT_TRUE(waitUntil([&] { return delegate.found == 1; }, 2));
    spin(0.05);
    EXPECT_EQ(delegate.found, 1);

    feed(recorded(kCounterRemove));
    EXPECT_EQ(delegate.removed, 1);
}

TEST_F(UdevMonitor, UnreadableIdentifierIsLoggedAndTheWatchGoesOn)
{
    start(registry());
    // No device number: the identifier cannot be made. Two counters arrive in one batch; the
    // second is still reported.
    udev->handleEvent(counterOn("1", QString()));
    udev->handleEvent(counterOn("2", "9"));
    spin(0.05);
    EXPECT_EQ(delegate.found, 1);
    EXPECT_EQ(log.matching("^could not get entry ID$").size(), 1);
    EXPECT_EQ(log.matching("internal inconsistency").size(), 1);

    // Later arrivals still come.
    feed(counterOn("3", "10"));
    EXPECT_EQ(delegate.found, 2);
    feed(counterOn("3", "10", kCounterRemove));
    feed(counterOn("2", "9", kCounterRemove));
    EXPECT_EQ(delegate.removed, 2);
}

TEST_F(UdevMonitor, HostileEventsNeverCrashOrReport)
{
    start(registry());
    const QList<QMap<QString, QString>> hostile = {
        {},
        {{"ACTION", "add"}},
        {{"ACTION", "add"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}},
        {{"ACTION", "add"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/x/1-1"},
            {"PRODUCT", "////"}},
        {{"ACTION", "add"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/x/1-1"},
            {"PRODUCT", "403/d678"}, {"BUSNUM", "1"}, {"DEVNUM", "2"}, {"ID_VENDOR_ID", "10403"}},
        {{"ACTION", "remove"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/x/unknown"}},
        {{"ACTION", "bind"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/x/1-9"},
            {"PRODUCT", "403/d678/0"}, {"BUSNUM", "1"}, {"DEVNUM", "3"}},
        {{"ACTION", "add"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "-"},
            {"PRODUCT", "403/d678/0"}, {"ID_MODEL_ENC", "\\x\\x0\\xzz\\x00end\\"}},
    };
    for (const auto& properties : hostile)
        udev->handleEvent(UdevEvent::fromProperties(properties));
    spin(0.05);
    EXPECT_EQ(delegate.found, 0);
    EXPECT_EQ(delegate.removed, 0);
}

TEST(UdevSystem, MonitorOnTheRealBusStartsOrFailsCleanly)
{
    LogCapture log;
    auto monitor = USBMonitor::init();
    if (!monitor) {
        EXPECT_EQ(log.matching("^IOServiceMatching returned NULL\\.$").size(), 1);
    }
    spin(0.05);
}
