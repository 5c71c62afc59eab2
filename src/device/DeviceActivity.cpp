#include "DeviceActivity.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "logging/Log.h"

namespace oq::device {
namespace {

// A dead bus must not stall the main thread, which begins activities.
constexpr uint64_t kInhibitTimeoutUsec = 500'000;

int takeIdleInhibitor(const QString& reason)
{
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return -1;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    const QByteArray why = reason.toUtf8();
    if (sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "Inhibit")
            >= 0
        && sd_bus_message_append(call, "ssss", "idle", "Orbel-Quist Online", why.constData(), "block") >= 0
        && sd_bus_call(bus, call, kInhibitTimeoutUsec, &error, &reply) >= 0) {
        int busFd = -1;
        // The reply owns its descriptor; keep a copy that outlives it.
        if (sd_bus_message_read(reply, "h", &busFd) >= 0 && busFd >= 0)
            fd = fcntl(busFd, F_DUPFD_CLOEXEC, 3);
    } else if (sd_bus_error_is_set(&error)) {
        LGLogDebug("no idle inhibitor: %s", error.message);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
    return fd;
}

} // namespace

Activity::Activity(QString reason)
    : m_reason(std::move(reason))
{
}

std::shared_ptr<Activity> Activity::begin(const QString& reason)
{
    std::shared_ptr<Activity> activity(new Activity(reason));
    activity->m_fd = takeIdleInhibitor(reason);
    return activity;
}

Activity::~Activity() { end(); }

void Activity::end()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace oq::device
