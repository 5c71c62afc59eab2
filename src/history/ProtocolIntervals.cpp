#include "history/ProtocolIntervals.h"

namespace oq::history {

std::vector<Interval> intervalsOf(const OQProtocolEventList& events)
{
    std::vector<Interval> out;
    out.reserve(events.size());
    for (const auto& e : events) {
        if (!e || !e->startDate().isValid())
            continue;
        unsigned flags = 0;
        if (e->incompleteInterval())
            flags |= Incomplete;
        if (e->newInterval())
            flags |= NewInterval;
        if (e->doseAlarm())
            flags |= DoseAlarm;
        if (e->doseRateAlarm())
            flags |= DoseRateAlarm;
        if (e->dateChanged())
            flags |= DateChanged;
        if (e->overflow())
            flags |= Overflow;
        if (e->cdsChanged())
            flags |= CdsChanged;
        out.push_back({e->startDate().toMSecsSinceEpoch(), e->duration(), e->pulses(), e->doseRate(), flags});
    }
    return out;
}

QString serialOf(const OQProtocol& protocol) { return protocol.info() ? protocol.info()->serialNumber() : QString(); }

} // namespace oq::history
