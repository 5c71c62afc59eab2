#pragma once
// The simulated USB bus: one per process. Simulated counters are plugged into it and pulled out
// of it; the `sim` backend of the FT_* layer lists exactly the counters plugged in here, in the
// order they were plugged, and the simulated USB registry reports their arrival and removal.
//
//   auto counter = std::make_shared<oq::sim::SimCounter>(config);
//   quint64 id = oq::sim::SimBus::instance().plug(counter);     // arrives, is listed by FT_CreateDeviceInfoList
//   oq::sim::SimBus::instance().unplug(id);                      // removed; an open handle's next
//                                                                // FT_Read/FT_GetQueueStatus fails
//
// A counter that pulls itself out (its unplug fault) is removed the same way.
//
// Signals are emitted on the thread that plugs or unplugs (a fault's unplug happens on the thread
// reading from the counter); receivers in another thread get them queued (Qt::AutoConnection).
// Entry ids start at 1, are never reused, and stay the same while the counter stays plugged.
#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "SimCounter.h"

namespace oq::sim {

struct SimBusEntry {
    quint64 entryId = 0;     // stable registry entry id
    quint32 locationId = 0;  // bus location
    QString name;            // product name, e.g. "Orbel-Quist USB Counter"
    QString serialNumber;    // USB serial number of the bridge
    quint16 vendorId = 0x0403;
    quint16 productId = 0xD678;
    std::shared_ptr<SimCounter> counter;
};

class SimBus : public QObject {
    Q_OBJECT
public:
    static SimBus& instance();

    // Plugs a counter in (again, if it was pulled out: it starts afresh). A location id of 0 picks
    // a free one; an empty name gives the default product name. Returns the entry id.
    quint64 plug(std::shared_ptr<SimCounter> counter, const QString& name = {}, quint32 locationId = 0,
        const QString& serialNumber = {});
    // Pulls the counter of `entryId` out; false when no such entry is plugged.
    bool unplug(quint64 entryId);
    void unplugAll();

    // The plugged counters, in plug order.
    std::vector<SimBusEntry> entries() const;
    std::optional<SimBusEntry> entry(quint64 entryId) const;

signals:
    void deviceArrived(const oq::sim::SimBusEntry& entry);
    void deviceRemoved(const oq::sim::SimBusEntry& entry);

private:
    SimBus();

    mutable std::mutex m_mutex;
    std::vector<SimBusEntry> m_entries;
    quint64 m_nextId = 1;
    quint32 m_nextLocation = 0x01100000;
};

} // namespace oq::sim

Q_DECLARE_METATYPE(oq::sim::SimBusEntry)
