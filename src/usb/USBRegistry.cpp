#include "USBRegistry.h"

#include <QMetaObject>

#include <algorithm>
#include <vector>

USBRegistry::USBRegistry(QObject* parent) : QObject(parent) {}

USBRegistry::~USBRegistry() = default;

bool USBRegistry::createMatching(const QString& deviceClass, int32_t idVendor, int32_t idProduct)
{
    m_criteria = Criteria{deviceClass, idVendor, idProduct};
    return true;
}

bool USBRegistry::matches(const Entry& entry) const
{
    return m_criteria && entry.deviceClass == m_criteria->deviceClass && entry.idVendor == m_criteria->idVendor
        && entry.idProduct == m_criteria->idProduct;
}

uint32_t USBRegistry::newHandle()
{
    if (m_nextHandle == 0)
        ++m_nextHandle;
    return m_nextHandle++;
}

USBRegistry::Iterator USBRegistry::addMatchingNotification(ArrivalCallback callback)
{
    enumerateAttached();
    m_arrival = std::move(callback);
    m_iterator = newHandle();
    m_armed = false;
    m_pending.clear();
    for (const auto& [path, entry] : m_attached) {
        if (matches(entry))
            m_pending.push_back(entry);
    }
    return m_iterator;
}

USBRegistry::Service USBRegistry::iteratorNext(Iterator iterator)
{
    if (iterator == 0 || iterator != m_iterator)
        return 0;
    if (m_pending.empty()) {
        // Read to its end: the subscription may fire again.
        m_armed = true;
        return 0;
    }
    const Service service = newHandle();
    m_services.emplace(service, ServiceRecord{std::move(m_pending.front())});
    m_pending.pop_front();
    return service;
}

void USBRegistry::armIfPending()
{
    if (!m_armed || m_pending.empty() || !m_arrival)
        return;
    m_armed = false;
    QMetaObject::invokeMethod(
        this, [this] { m_arrival(m_iterator); }, Qt::QueuedConnection);
}

const USBRegistry::Entry* USBRegistry::entryFor(Service service) const
{
    const auto it = m_services.find(service);
    return it == m_services.end() ? nullptr : &it->second.entry;
}

void USBRegistry::retain(Service service)
{
    if (auto it = m_services.find(service); it != m_services.end())
        ++it->second.references;
}

void USBRegistry::releaseService(Service service)
{
    auto it = m_services.find(service);
    if (it != m_services.end() && --it->second.references == 0)
        m_services.erase(it);
}

template <typename T>
USBRegistry::Status USBRegistry::read(Service service, Step step, std::optional<T> Entry::*field, T* out) const
{
    const Entry* entry = entryFor(service);
    if (!entry)
        return StatusBadArgument;
    if (Status s = fault(step))
        return s;
    if (!(entry->*field))
        return StatusNotFound;
    *out = *(entry->*field);
    return 0;
}

USBRegistry::Status USBRegistry::entryID(Service service, uint64_t* id)
{
    return read(service, Step::EntryID, &Entry::entryID, id);
}

USBRegistry::Status USBRegistry::entryName(Service service, QString* name)
{
    return read(service, Step::Name, &Entry::name, name);
}

USBRegistry::Status USBRegistry::createPlugIn(Service service)
{
    return entryFor(service) ? fault(Step::PlugIn) : StatusBadArgument;
}

USBRegistry::Status USBRegistry::queryInterface(Service service)
{
    return entryFor(service) ? fault(Step::QueryInterface) : StatusNoInterface;
}

USBRegistry::Status USBRegistry::locationID(Service service, uint32_t* location)
{
    return read(service, Step::LocationID, &Entry::locationID, location);
}

USBRegistry::Status USBRegistry::open(Service service)
{
    const Entry* entry = entryFor(service);
    if (!entry)
        return StatusBadArgument;
    if (Status s = fault(Step::Open))
        return s;
    if (!isAttached(entry->path))
        return StatusNoDevice;
    for (const auto& [other, path] : m_openServices) {
        if (path == entry->path)
            return StatusExclusiveAccess;
    }
    m_openServices.emplace(service, entry->path);
    return 0;
}

USBRegistry::Status USBRegistry::reEnumerate(Service service, uint32_t)
{
    const Entry* entry = entryFor(service);
    if (!entry)
        return StatusBadArgument;
    if (Status s = fault(Step::ReEnumerate))
        return s;
    if (!m_openServices.contains(service))
        return StatusNotOpen;
    const auto attached = m_attached.find(entry->path);
    if (attached == m_attached.end())
        return StatusNoDevice;
    // The device stays where it is; this attachment ends and the same device arrives again once
    // the event loop runs, unless it really leaves before that.
    const QString path = entry->path;
    m_reEnumerating[path] = attached->second;
    drop(path);
    QMetaObject::invokeMethod(
        this,
        [this, path] {
            const auto it = m_reEnumerating.find(path);
            if (it == m_reEnumerating.end())
                return;
            const Entry again = it->second;
            m_reEnumerating.erase(it);
            attach(again);
        },
        Qt::QueuedConnection);
    return 0;
}

USBRegistry::Status USBRegistry::close(Service service)
{
    if (!entryFor(service) && !m_openServices.contains(service))
        return StatusBadArgument;
    if (Status s = fault(Step::Close))
        return s;
    return m_openServices.erase(service) ? 0 : StatusNotOpen;
}

USBRegistry::Status USBRegistry::addInterestNotification(
    Service service, InterestCallback callback, Subscription* subscription)
{
    *subscription = 0;
    if (!entryFor(service))
        return StatusBadArgument;
    if (Status s = fault(Step::Interest))
        return s;
    retain(service);
    *subscription = newHandle();
    m_subscriptions.emplace(*subscription, SubscriptionRecord{service, std::move(callback)});
    return 0;
}

void USBRegistry::releaseSubscription(Subscription subscription)
{
    const auto it = m_subscriptions.find(subscription);
    if (it == m_subscriptions.end())
        return;
    const Service service = it->second.service;
    m_subscriptions.erase(it);
    releaseService(service);
}

void USBRegistry::attach(const Entry& entry)
{
    if (const auto it = m_attached.find(entry.path); it != m_attached.end()) {
        // The same attachment announced again (udevadm trigger, a plug seen by the start scan
        // too): reporting it twice would replace a working device.
        if (it->second.entryID == entry.entryID)
            return;
        // A new attachment whose removal was never seen: the old one is gone.
        detach(entry.path);
    }
    m_attached[entry.path] = entry;
    if (m_arrival && matches(entry)) {
        m_pending.push_back(entry);
        armIfPending();
    }
}

void USBRegistry::drop(const QString& path)
{
    m_attached.erase(path);
    // Not read yet: it will never be reported, so no removal is owed either.
    std::erase_if(m_pending, [&](const Entry& e) { return e.path == path; });
    deliver(path, MessageServiceIsTerminated, 0);
}

void USBRegistry::detach(const QString& path)
{
    m_reEnumerating.erase(path);
    std::erase_if(m_openServices, [&](const auto& open) { return open.second == path; });
    drop(path);
}

void USBRegistry::post(const QString& path, uint32_t message, quintptr argument)
{
    if (isAttached(path))
        deliver(path, message, argument);
}

void USBRegistry::deliver(const QString& path, uint32_t message, quintptr argument)
{
    std::vector<Subscription> watchers;
    for (const auto& [subscription, record] : m_subscriptions) {
        const Entry* entry = entryFor(record.service);
        if (entry && entry->path == path)
            watchers.push_back(subscription);
    }
    if (watchers.empty())
        return;
    QMetaObject::invokeMethod(
        this,
        [this, watchers, message, argument] {
            for (Subscription subscription : watchers) {
                // An earlier callback may have released this one.
                const auto it = m_subscriptions.find(subscription);
                if (it == m_subscriptions.end())
                    continue;
                const Service service = it->second.service;
                const InterestCallback callback = it->second.callback;
                callback(service, message, argument);
            }
        },
        Qt::QueuedConnection);
}
