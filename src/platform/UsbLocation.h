#pragma once
// Where a USB device sits: the bus number in the top byte, then one nibble per port from the root
// hub down. The hot-plug watch and the serial link both name a counter's bridge by it, so the
// device made for an arrival opens that counter's port and no other.
#include <QString>

#include <cstdint>
#include <optional>

namespace oq {

// A sysfs number ("5"): decimal, no sign, 1 to `max`.
std::optional<uint32_t> sysfsNumber(const QString& s, uint32_t max);

// From the bus number ("1") and the port path ("4.2", as in the sysfs name "1-4.2"); none when
// either is malformed or the hub chain is deeper than six.
std::optional<uint32_t> usbLocationId(const QString& busnum, const QString& portPath);
// From a USB device's sysfs name, e.g. "1-4.2"; none for a root hub ("usb1") or anything else.
std::optional<uint32_t> usbLocationIdOfSysName(const QString& sysName);

} // namespace oq
