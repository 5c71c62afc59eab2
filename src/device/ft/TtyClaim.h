#pragma once
// One program per serial port (internal to device/): a non-blocking flock on the device node, the
// convention serial tools share, plus TIOCEXCL, which keeps even programs that do not lock from
// opening the terminal (root excepted, hence the lock).
#include <QString>

namespace oq::ft {

// Takes the port open on `fd` for this descriptor alone; false when another program holds it.
bool claimPort(int fd);
// Gives the port up before the descriptor closes (a reader may still hold it for a moment).
void releasePort(int fd);

// Who holds the port at `path`: "oqtool (pid 1234)", or empty when that cannot be found out
// (another user's process). Looks at the lock first, then at what every process's descriptors
// link to.
QString portHolder(const QString& path);

} // namespace oq::ft
