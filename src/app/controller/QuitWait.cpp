#include "QuitWait.h"

#include <QEventLoop>
#include <QTimer>

#include "app/controller/OQAppDelegate.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/ProgressRecord.h"

bool finishDeviceWork(OQAppDelegate& controller, double limitSeconds)
{
    const auto device = controller.device();
    if (!device || !device->hasWorkInFlight())
        return true;
    // No line for the usual case: the worker of a stop that just completed is still returning.
    if (const auto progress = device->progress(); progress && progress->isCancellable())
        controller.cancelTransfer();
    const double deadline = oq::clock::now() + limitSeconds;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (!device->hasWorkInFlight() || oq::clock::now() > deadline)
            loop.quit();
    });
    check.start(10);
    loop.exec();
    const bool ended = !device->hasWorkInFlight();
    if (!ended)
        LGLogWarn("The counter's exchange did not end within %g s; quitting anyway", limitSeconds);
    return ended;
}
