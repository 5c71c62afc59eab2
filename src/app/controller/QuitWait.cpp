#include "QuitWait.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include "app/controller/OQAppDelegate.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/ProgressRecord.h"

bool finishDeviceWork(OQAppDelegate& controller, double limitSeconds)
{
    // Held here: a counter pulled out meanwhile still ends its exchange.
    const auto devices = controller.devices();
    const auto busy = [&devices] {
        return std::any_of(devices.begin(), devices.end(), [](const auto& d) { return d->hasWorkInFlight(); });
    };
    if (!busy())
        return true;
    // No line for the usual case: the worker of a stop that just completed is still returning.
    for (const auto& device : devices) {
        if (const auto progress = device->progress(); progress && progress->isCancellable())
            progress->cancel();
    }
    const double deadline = oq::clock::now() + limitSeconds;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (!busy() || oq::clock::now() > deadline)
            loop.quit();
    });
    check.start(10);
    loop.exec();
    const bool ended = !busy();
    if (!ended)
        LGLogWarn("The counter's exchange did not end within %g s; quitting anyway", limitSeconds);
    return ended;
}
