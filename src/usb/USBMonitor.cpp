#include "USBMonitor.h"

#include "logging/Log.h"
#include "usb/UdevRegistry.h"

namespace {

[[noreturn]] void raiseEntryIDFailure()
{
    LGLogError("could not get entry ID");
    throw USBMonitorInconsistency("could not get entry ID");
}

} // namespace

USBDeviceInternal::~USBDeviceInternal()
{
    if (notification != 0)
        m_registry->releaseSubscription(notification);
}

USBMonitor::USBMonitor(std::unique_ptr<USBRegistry> registry) : m_registry(std::move(registry)) {}

USBMonitor::~USBMonitor()
{
    m_devicesByID.clear();
}

std::unique_ptr<USBMonitor> USBMonitor::init()
{
    return init(std::make_unique<UdevRegistry>());
}

std::unique_ptr<USBMonitor> USBMonitor::init(std::unique_ptr<USBRegistry> registry)
{
    if (!registry || !registry->createMatching(QString::fromLatin1(USBRegistry::kDeviceClass), kVendorID, kProductID)) {
        LGLogError("IOServiceMatching returned NULL.");
        return nullptr;
    }
    std::unique_ptr<USBMonitor> monitor(new USBMonitor(std::move(registry)));
    USBMonitor* self = monitor.get();
    self->m_addedIter = self->m_registry->addMatchingNotification(
        [self](USBRegistry::Iterator iterator) { self->handleArrivals(iterator); });
    self->m_resetOnDetect = true;
    self->handleArrivals(self->m_addedIter);
    self->m_resetOnDetect = false;
    return monitor;
}

void USBMonitor::handleArrivals(USBRegistry::Iterator iterator)
{
    // The failed device has been taken from the iterator, so going on reads the rest of the batch
    // and re-arms the subscription; stopping here would end all later arrivals.
    for (;;) {
        try {
            deviceAdded(iterator);
            return;
        } catch (const USBMonitorInconsistency& e) {
            LGLogError("USB arrival skipped after an internal inconsistency: %@", e.what());
        }
    }
}

void USBMonitor::handleNotification(USBRegistry::Service service, uint32_t messageType, quintptr messageArgument)
{
    try {
        deviceNotificationForService(service, messageType, messageArgument);
    } catch (const USBMonitorInconsistency& e) {
        LGLogError("USB notification ignored after an internal inconsistency: %@", e.what());
    }
}

void USBMonitor::deviceAdded(USBRegistry::Iterator iterator)
{
    USBRegistry& registry = *m_registry;
    while (const USBRegistry::Service service = registry.iteratorNext(iterator)) {
        LGLogInfo("Device added with service: %X", service);
        uint64_t key = 0;
        if (registry.entryID(service, &key) != 0) {
            registry.releaseService(service);
            raiseEntryIDFailure();
        }
        auto record = std::make_unique<USBDeviceInternal>(m_registry.get());
        record->entryID = key;
        if (registry.entryName(service, &record->name) != 0)
            record->name.clear();

        // Every way out of this device gives its handle back.
        auto skip = [&] { registry.releaseService(service); };
        if (const auto status = registry.createPlugIn(service); status != 0) {
            LGLogWarn("IOCreatePlugInInterfaceForService returned 0x%08x.", uint32_t(status));
            skip();
            continue;
        }
        if (const auto result = registry.queryInterface(service); result < 0) {
            const auto r = uint32_t(result);
            LGLogWarn("QueryInterface returned HRESULT: 0x%08x code: %d facilty: %d severity: %d", r, int(r & 0xFFFF),
                int((r >> 16) & 0x1FFF), int(r >> 31));
            skip();
            continue;
        }
        if (const auto status = registry.locationID(service, &record->locationID); status != 0) {
            LGLogWarn("GetLocationID returned 0x%08x.", uint32_t(status));
            skip();
            continue;
        }

        if (m_resetOnDetect) {
            // Attached before start: make it come back through the arrival path; not reported now.
            if (const auto status = registry.open(service); status != 0) {
                LGLogWarn("USBDeviceOpen returned 0x%08x.", uint32_t(status));
                skip();
                continue;
            }
            LGLogWarn("Device succesfully opened: %@", key);
            if (const auto status = registry.reEnumerate(service, 0); status != 0) {
                LGLogWarn("ResetDevice returned 0x%08x.", uint32_t(status));
                skip();
                continue;
            }
            LGLogWarn("Device succesfully reset: %@", key);
            if (const auto status = registry.close(service); status != 0) {
                LGLogWarn("USBDeviceClose returned 0x%08x.", uint32_t(status));
                skip();
                continue;
            }
            LGLogWarn("Device succesfully closed: %@", key);
            skip();
            continue;
        }

        const auto status = registry.addInterestNotification(
            service,
            [this](USBRegistry::Service s, uint32_t message, quintptr argument) {
                handleNotification(s, message, argument);
            },
            &record->notification);
        if (status != 0)
            LGLogWarn("IOServiceAddInterestNotification returned 0x%08x.", uint32_t(status));
        const USBDeviceInternal* reported = record.get();
        m_devicesByID[key] = std::move(record);
        if (m_delegate) {
            m_reporting = reported;
            m_delegate->monitorFoundNewDevice(this);
            m_reporting = nullptr;
        }
        registry.releaseService(service);
    }
}

void USBMonitor::deviceNotificationForService(
    USBRegistry::Service service, uint32_t messageType, quintptr /*messageArgument*/)
{
    uint64_t key = 0;
    if (m_registry->entryID(service, &key) != 0)
        raiseEntryIDFailure();
    const auto it = m_devicesByID.find(key);
    if (it == m_devicesByID.end()) {
        LGLogError("unexpected device notification for device identifier: %@ with service: %X and message: %X", key,
            service, messageType);
        return;
    }
    if (messageType != USBRegistry::MessageServiceIsTerminated)
        return;
    LGLogInfo("Device removed with service: %X", service);
    // Kept until the delegate has heard which counter left.
    const std::unique_ptr<USBDeviceInternal> removed = std::move(it->second);
    m_devicesByID.erase(it);
    if (m_delegate) {
        m_reporting = removed.get();
        m_delegate->monitorRemovedDevice(this);
        m_reporting = nullptr;
    }
}
