#include "UdevPending.h"

#include <QFile>

#include <systemd/sd-device.h>
#include <unistd.h>

#include "logging/Log.h"
#include "platform/Clock.h"

namespace oq::ft {
namespace {

// -1: udev does not know the device (or does not run), 0: not handled yet, 1: handled.
int udevHandled(const QByteArray& sysName)
{
    sd_device* device = nullptr;
    if (sd_device_new_from_subsystem_sysname(&device, "tty", sysName.constData()) < 0)
        return -1;
    const int initialized = sd_device_get_is_initialized(device);
    sd_device_unref(device);
    return initialized < 0 ? -1 : initialized > 0 ? 1 : 0;
}

} // namespace

bool waitWhileUdevPending(const QString& sysName, double limitS)
{
    // Without a udev daemon nothing will ever change the node.
    if (sysName.isEmpty() || ::access("/run/udev/control", F_OK) != 0)
        return false;
    const QByteArray name = QFile::encodeName(sysName);
    if (udevHandled(name) != 0)
        return false;
    const double start = oq::clock::now();
    while (udevHandled(name) == 0 && oq::clock::now() < start + limitS)
        oq::clock::sleepFor(0.02);
    LGLogInfo("Waited %lld ms for udev to set up %@", static_cast<long long>((oq::clock::now() - start) * 1000), sysName);
    return true;
}

} // namespace oq::ft
