#include "AppDelegate.h"

#include <QFontMetricsF>

#include <memory>

#include "logging/Log.h"
#include "platform/Dispatch.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "units/ColorManager.h"

namespace {
// Not a real service key: crash reports stay on this machine (see docs).
const QString kCrashReportingSecret = QStringLiteral("5c1d7f3e-9a42-4b8e-8f0d-2e6a1b9c4d73");
} // namespace

AppDelegate::AppDelegate(QObject* parent)
    : OQAppDelegate(parent)
{
    setAppCenterSecret(kCrashReportingSecret);
}

void AppDelegate::applicationDidFinishLaunching()
{
    // The paths go through `device`: a replaced or dropped device is a change too.
    connect(this, &OQAppDelegate::deviceChanged, this, [this] {
        for (const auto& c : m_observation)
            disconnect(c);
        m_observation.clear();
        if (auto d = device()) {
            m_observation << connect(d.get(), &OQDevice::connectedChanged, this, &AppDelegate::observeConnection);
            m_observation << connect(d.get(), &OQDevice::busyChanged, this, &AppDelegate::observeConnection);
            // The failure observation is made but causes nothing.
            m_observation << connect(d.get(), &OQDevice::failedChanged, this, [] {});
        }
        observeConnection();
    });
    OQAppDelegate::applicationDidFinishLaunching();
}

void AppDelegate::observeConnection()
{
    const auto d = device();
    if (!d || !d->connected() || d->busy() || isOnlineModeHeld())
        return;
    const long long m = oq::SettingsStore::shared().integerForKey(oq::settings::OnlineMode);
    if (m == 1) {
        if (doseButton)
            doseButton->setChecked(false);
        if (rateButton)
            rateButton->setChecked(true);
    } else if (m == 2) {
        if (doseButton)
            doseButton->setChecked(true);
        if (rateButton)
            rateButton->setChecked(false);
    }
    if (m_colorManager)
        m_colorManager->setMode(int(m));
    QPointer<AppDelegate> self(this);
    oq::dispatchMainAfter(1.0, [self, m] {
        if (self)
            self->startMode(m);
    });
}

void AppDelegate::startMode(long long mode)
{
    const auto d = device(); // the device that is current now, not the one that became ready
    if (!d || isOnlineModeHeld()) // a start scheduled before the hold began
        return;
    // A counter that replaced the one this start was for may still be reading its information: a
    // start now would run a second exchange over its link. It starts by itself once it is ready.
    if (d->busy())
        return;
    if (mode == 1)
        d->startRateMode();
    else if (mode == 2)
        d->startDoseMode();
}

void AppDelegate::holdOnlineMode()
{
    ++m_onlineHolds;
}

void AppDelegate::releaseOnlineMode()
{
    if (m_onlineHolds == 0)
        return;
    if (--m_onlineHolds == 0)
        observeConnection();
}

void AppDelegate::onlineModeChanged(QObject* sender)
{
    if (sender && sender == rateButton)
        switchMode(1);
    if (sender && sender == doseButton)
        switchMode(2);
}

void AppDelegate::switchMode(long long mode)
{
    oq::SettingsStore::shared().setInteger(oq::settings::OnlineMode, mode);
    if (m_colorManager)
        m_colorManager->setMode(int(mode));
    const auto d = device();
    if (!d)
        return;
    // The new mode starts in the stop's completion, or after the wait limit if that never runs.
    const quint64 generation = ++m_switchGeneration;
    auto started = std::make_shared<bool>(false);
    QPointer<AppDelegate> self(this);
    // The start is for the stopped device only: a counter that replaced it starts by itself, and a
    // second start would run two reading loops over one link.
    const std::weak_ptr<OQDevice> stopped = d;
    auto start = [self, mode, started, stopped](bool late) {
        if (*started || !self)
            return;
        *started = true;
        if (self->device() != stopped.lock())
            return;
        if (late)
            LGLogWarn("Online mode did not stop within %g s; starting mode %lld anyway", kStopWaitLimit, mode);
        self->startMode(mode);
    };
    d->stopOnlineMode([start] { start(false); });
    oq::dispatchMainAfter(kStopWaitLimit, [self, start, generation] {
        if (self && self->m_switchGeneration == generation)
            start(true);
    });
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    LGLogInfo("Application should Terminate");
    // Nothing starts the stream again from here on: not the end of a transfer the quit cuts short,
    // nor a counter that becomes ready meanwhile.
    holdOnlineMode();
    const auto d = device();
    if (!d || !d->onlineMode())
        return TerminateReply::Now;
    auto replied = std::make_shared<bool>(false);
    QPointer<AppDelegate> self(this);
    auto reply = [self, replied](bool late) {
        if (*replied || !self)
            return;
        *replied = true;
        if (late)
            LGLogWarn("Online mode did not stop within %g s; terminating anyway", kStopWaitLimit);
        emit self->replyToApplicationShouldTerminate(true);
    };
    d->stopOnlineMode([reply] { reply(false); });
    oq::dispatchMainAfter(kStopWaitLimit, [reply] { reply(true); });
    return TerminateReply::Later;
}

QSizeF AppDelegate::windowWillResize(QWidget*, const QSizeF& proposed)
{
    if (valueTextField)
        valueTextField->setFont(fontSizedForAreaSize(proposed, QStringLiteral("999.999 uSv/h"), valueTextField->font()));
    return proposed;
}

QFont AppDelegate::fontSizedForAreaSize(const QSizeF& area, const QString& text, const QFont& font)
{
    QFont probe(font);
    probe.setPointSizeF(100.0);
    const QFontMetricsF metrics(probe);
    const QSizeF measured(metrics.horizontalAdvance(text), metrics.height());
    const float s = scaleToAspectFit(measured, area, 20.0f);
    QFont fitted(font);
    const double size = 100.0 * double(s);
    if (size > 0) // the window's minimum size keeps it positive; Qt rejects anything else
        fitted.setPointSizeF(size);
    return fitted;
}

float AppDelegate::scaleToAspectFit(const QSizeF& content, const QSizeF& target, float padding)
{
    const double sx = (target.width() - double(padding)) / content.width();
    const double sy = (target.height() - double(padding)) / content.height();
    return static_cast<float>(sx < sy ? sx : sy);
}
