#include "UsbLocation.h"

#include <QStringList>

#include <algorithm>

namespace oq {

std::optional<uint32_t> sysfsNumber(const QString& s, uint32_t max)
{
    bool ok = false;
    const uint v = s.toUInt(&ok, 10);
    if (!ok || s.isEmpty() || s.front() == u'+' || v == 0 || v > max)
        return std::nullopt;
    return v;
}

std::optional<uint32_t> usbLocationId(const QString& busnum, const QString& portPath)
{
    const auto bus = sysfsNumber(busnum, 0xFF);
    if (!bus || portPath.isEmpty())
        return std::nullopt;
    const QStringList ports = portPath.split(u'.');
    if (ports.size() > 6)
        return std::nullopt;
    uint32_t location = *bus << 24;
    int shift = 20;
    for (const QString& port : ports) {
        const auto p = sysfsNumber(port, 0xFF);
        if (!p)
            return std::nullopt;
        location |= std::min<uint32_t>(*p, 0xF) << shift;
        shift -= 4;
    }
    return location;
}

std::optional<uint32_t> usbLocationIdOfSysName(const QString& sysName)
{
    const qsizetype dash = sysName.indexOf(u'-');
    if (dash <= 0 || sysName.contains(u':'))
        return std::nullopt;
    return usbLocationId(sysName.left(dash), sysName.mid(dash + 1));
}

} // namespace oq
