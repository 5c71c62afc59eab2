#pragma once
// The simulated counters as an FT_* backend, plugged into the device link from outside as a
// demo driver would be: every counter plugged into oq::sim::SimBus is listed and opened through
// the FT_* calls, in process.
//
//   oq::sim::useFtBackend();
#include <memory>

#include "device/ft/FtBackend.h"

namespace oq::sim {

std::shared_ptr<oq::ft::Backend> makeFtBackend();
inline void useFtBackend() { oq::ft::setBackend(makeFtBackend()); }

// The one choice of serial backend of both programs: the simulated counters, or the terminal
// devices (the one at `portPath`, or the counters found through udev when it is empty).
inline void useSerialBackend(bool simulate, const QString& portPath)
{
    if (simulate)
        useFtBackend();
    else
        oq::ft::useTtyBackend(portPath);
}

// The same with several terminal devices (none: the counters found through udev).
inline void useSerialBackend(bool simulate, const QStringList& portPaths)
{
    if (simulate)
        useFtBackend();
    else
        oq::ft::useTtyBackend(portPaths);
}

} // namespace oq::sim
