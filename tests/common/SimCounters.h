#pragma once
// Simulated counters the test groups plug in.
#include "sim/SimConfig.h"

namespace oq::test {

// A well-behaved counter of current firmware whose dose rate stays at `rate` (uSv/h).
inline oq::sim::CounterConfig steadyCounter(double rate)
{
    oq::sim::CounterConfig c;
    c.version = QStringLiteral("7.14Lb07");
    c.serial = QStringLiteral("10423");
    c.profile.kind = oq::sim::ProfileSpec::Constant;
    c.profile.value = rate;
    return c;
}

} // namespace oq::test
