#pragma once
// The registry on the simulated USB bus, plugged into the USB monitor from outside: counters
// plugged into oq::sim::SimBus arrive here, and pulling them out removes them. Any step can be made to fail, so every failure path of the
// monitor can be driven without hardware.
#include <map>

#include "usb/USBRegistry.h"

namespace oq::sim {
struct SimBusEntry;
}

class SimRegistry : public USBRegistry {
    Q_OBJECT
public:
    explicit SimRegistry(QObject* parent = nullptr);

    // Makes `step` give `status` until it is set back to 0.
    void setFault(Step step, Status status);
    // A general-interest message for the watchers of a plugged counter.
    void postMessage(quint64 entryId, uint32_t message, quintptr argument = 0);

protected:
    void enumerateAttached() override;
    Status fault(Step step) const override;

private:
    void arrived(const oq::sim::SimBusEntry& entry);
    void removed(const oq::sim::SimBusEntry& entry);
    static QString pathOf(quint64 entryId);

    std::map<Step, Status> m_faults;
};
