#include "AppDelegate.h"

#include <QFontMetricsF>

#include <memory>

#include "logging/Log.h"
#include "platform/Dispatch.h"
#include "platform/SettingsKeys.h"
#include "platform/ProgressRecord.h"
#include "platform/SettingsStore.h"
#include "app/windows/ColorManager.h"

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
    connect(this, &OQAppDelegate::deviceChanged, this, &AppDelegate::deviceReplaced);
    OQAppDelegate::applicationDidFinishLaunching();
}

void AppDelegate::deviceReplaced()
{
    for (const auto& c : m_observation)
        disconnect(c);
    m_observation.clear();
    // A stop or a start scheduled for the previous device concerns that device alone.
    m_stopping = false;
    ++m_startGeneration;
    if (auto d = device()) {
        m_observation << connect(d.get(), &OQDevice::connectedChanged, this, &AppDelegate::observeConnection);
        m_observation << connect(d.get(), &OQDevice::busyChanged, this, &AppDelegate::observeConnection);
        // The failure observation is made but causes nothing.
        m_observation << connect(d.get(), &OQDevice::failedChanged, this, [] {});
    }
    observeConnection();
}

bool AppDelegate::deviceReady() const
{
    const auto d = device();
    return d && d->connected() && !d->busy() && !isOnlineModeHeld();
}

void AppDelegate::showMode(long long mode)
{
    if (mode == 1) {
        if (doseButton)
            doseButton->setChecked(false);
        if (rateButton)
            rateButton->setChecked(true);
    } else if (mode == 2) {
        if (doseButton)
            doseButton->setChecked(true);
        if (rateButton)
            rateButton->setChecked(false);
    }
}

void AppDelegate::observeConnection()
{
    if (!deviceReady())
        return;
    const long long m = oq::SettingsStore::shared().integerForKey(oq::settings::OnlineMode);
    showMode(m);
    if (m_colorManager)
        m_colorManager->setMode(int(m));
    // A switch's stop is under way: its completion starts the mode chosen last.
    if (m_stopping)
        return;
    const quint64 generation = ++m_startGeneration;
    QPointer<AppDelegate> self(this);
    oq::dispatchMainAfter(1.0, [self, m, generation] {
        if (self)
            self->startMode(m, generation);
    });
}

void AppDelegate::startMode(long long mode, quint64 generation)
{
    // Void when a press or another readiness came since, while a stop of ours runs, and while the
    // counter is busy or held (it is started again when it is ready).
    if (generation != m_startGeneration || m_stopping || !deviceReady())
        return;
    ++m_startGeneration;
    const auto d = device();
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
    // A click toggles the button it hits; the window shows the choice, not the toggle.
    showMode(mode);
    // A counter that is busy (reading its information, a download, a clock setting) or held gets
    // the choice when it is ready; without a counter the next one does.
    if (!deviceReady())
        return;
    ++m_startGeneration; // a start scheduled for an earlier choice is void
    if (m_stopping)
        return; // the stop under way starts the mode chosen last
    m_stopping = true;
    QPointer<AppDelegate> self(this);
    const std::weak_ptr<OQDevice> stopped = device();
    device()->stopOnlineMode([self, stopped] {
        if (!self || !self->m_stopping || self->device() != stopped.lock())
            return;
        self->m_stopping = false;
        self->startMode(oq::SettingsStore::shared().integerForKey(oq::settings::OnlineMode), self->m_startGeneration);
    });
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    LGLogInfo("Application should Terminate");
    // Nothing starts the stream again from here on: not a press, not the end of a transfer the
    // quit cuts short, nor a counter that becomes ready meanwhile.
    m_quitting = true;
    holdOnlineMode();
    const auto d = device();
    if (!d || !(d->onlineMode() || d->hasWorkInFlight()))
        return TerminateReply::Now;
    // A transfer under way is cancelled (ESC until quiet, then "X"); the stop follows it.
    if (const auto progress = d->progress(); progress && progress->isCancellable() && !progress->isCancelled())
        cancelTransfer();
    auto replied = std::make_shared<bool>(false);
    QPointer<AppDelegate> self(this);
    auto reply = [self, replied](bool late) {
        if (*replied || !self)
            return;
        *replied = true;
        if (late)
            LGLogWarn("The counter did not stop within %g s; terminating anyway", kQuitWaitLimit);
        emit self->replyToApplicationShouldTerminate(true);
    };
    d->stopOnlineMode([reply] { reply(false); });
    oq::dispatchMainAfter(kQuitWaitLimit, [reply] { reply(true); });
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
