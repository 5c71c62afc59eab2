#include "SimBus.h"

#include <algorithm>

namespace oq::sim {

SimBus& SimBus::instance()
{
    // Never destroyed: counters may still be pulled out by reading threads at exit.
    static SimBus* bus = new SimBus;
    return *bus;
}

SimBus::SimBus()
{
    qRegisterMetaType<oq::sim::SimBusEntry>();
}

quint64 SimBus::plug(std::shared_ptr<SimCounter> counter, const QString& name, quint32 locationId, const QString& serialNumber)
{
    if (!counter)
        return 0;
    SimBusEntry entry;
    {
        std::lock_guard lock(m_mutex);
        for (const SimBusEntry& e : m_entries)
            if (e.counter == counter)
                return e.entryId;
        entry.entryId = m_nextId++;
        entry.locationId = locationId ? locationId : m_nextLocation++;
        entry.name = name.isEmpty() ? QStringLiteral("Orbel-Quist USB Counter") : name;
        entry.serialNumber = serialNumber.isEmpty() ? QStringLiteral("OQ%1").arg(entry.entryId, 6, 10, QLatin1Char('0')) : serialNumber;
        entry.counter = counter;
        m_entries.push_back(entry);
    }
    counter->replug();
    const quint64 id = entry.entryId;
    counter->setUnplugHandler([id] { SimBus::instance().unplug(id); });
    emit deviceArrived(entry);
    return id;
}

bool SimBus::unplug(quint64 entryId)
{
    SimBusEntry entry;
    {
        std::lock_guard lock(m_mutex);
        const auto it = std::find_if(m_entries.begin(), m_entries.end(), [entryId](const SimBusEntry& e) { return e.entryId == entryId; });
        if (it == m_entries.end())
            return false;
        entry = *it;
        m_entries.erase(it);
    }
    entry.counter->unplug(); // its handler finds the entry gone
    emit deviceRemoved(entry);
    return true;
}

void SimBus::unplugAll()
{
    for (const SimBusEntry& e : entries())
        unplug(e.entryId);
}

std::vector<SimBusEntry> SimBus::entries() const
{
    std::lock_guard lock(m_mutex);
    return m_entries;
}

std::optional<SimBusEntry> SimBus::entry(quint64 entryId) const
{
    std::lock_guard lock(m_mutex);
    for (const SimBusEntry& e : m_entries)
        if (e.entryId == entryId)
            return e;
    return std::nullopt;
}

} // namespace oq::sim
