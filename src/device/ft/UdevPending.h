#pragma once
// Right after a plug-in the kernel creates the tty's node for root alone; udev then gives it its
// group and the seat's access. A program that opens the node in between is refused for a reason
// that says nothing about the user's rights.
#include <QString>

namespace oq::ft {

// Waits while udev has not yet handled the tty `sysName` (ttyUSB0), at most `limitS` seconds of
// the time seam. True when udev was still at it, so a refused open is worth one more try; false
// at once when no udev runs or the device is unknown to it.
bool waitWhileUdevPending(const QString& sysName, double limitS);

} // namespace oq::ft
