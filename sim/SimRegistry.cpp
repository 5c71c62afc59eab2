#include "SimRegistry.h"

#include "SimBus.h"

SimRegistry::SimRegistry(QObject* parent) : USBRegistry(parent)
{
    auto& bus = oq::sim::SimBus::instance();
    connect(&bus, &oq::sim::SimBus::deviceArrived, this, &SimRegistry::arrived);
    connect(&bus, &oq::sim::SimBus::deviceRemoved, this, &SimRegistry::removed);
}

QString SimRegistry::pathOf(quint64 entryId)
{
    return QStringLiteral("sim:%1").arg(entryId);
}

void SimRegistry::setFault(Step step, Status status)
{
    if (status == 0)
        m_faults.erase(step);
    else
        m_faults[step] = status;
}

USBRegistry::Status SimRegistry::fault(Step step) const
{
    const auto it = m_faults.find(step);
    return it == m_faults.end() ? 0 : it->second;
}

void SimRegistry::postMessage(quint64 entryId, uint32_t message, quintptr argument)
{
    post(pathOf(entryId), message, argument);
}

void SimRegistry::enumerateAttached()
{
    for (const auto& entry : oq::sim::SimBus::instance().entries())
        arrived(entry);
}

void SimRegistry::arrived(const oq::sim::SimBusEntry& bus)
{
    // A plug queued from another thread may already be in the scan at start.
    if (isAttached(pathOf(bus.entryId)))
        return;
    Entry entry;
    entry.path = pathOf(bus.entryId);
    entry.deviceClass = QString::fromLatin1(kDeviceClass);
    entry.idVendor = bus.vendorId;
    entry.idProduct = bus.productId;
    entry.entryID = bus.entryId;
    entry.locationID = bus.locationId;
    entry.name = bus.name;
    attach(entry);
}

void SimRegistry::removed(const oq::sim::SimBusEntry& bus)
{
    detach(pathOf(bus.entryId));
}
