#pragma once
// The command-line settings of oq-counter-sim, shared with tests that start it.
#include <QString>
#include <QStringList>

#include <optional>

#include "SimConfig.h"
#include "sim/usbip/SimFtBridge.h"

namespace oq::sim {

struct SimProgramOptions {
    CounterConfig counter;
    double timeScale = 1.0; // modelled seconds run this much faster (0.01: a hundred times)
    // Behind the emulated USB bridge at this vhci-hcd port instead of on a pseudo-terminal; -1:
    // the first free port.
    std::optional<int> usbipPort;
    BridgeOptions bridge;
    // Counters on pseudo-terminals of their own, alike but for their serial numbers (the first
    // one's, then counting up).
    int counters = 1;
    bool help = false;
};

// Parses the program's arguments (the program name first). Returns the error text, or empty.
// A script or dump file is read here.
QString parseSimOptions(const QStringList& arguments, SimProgramOptions& options);

// The short --help text.
QString simOptionsHelp();

} // namespace oq::sim
