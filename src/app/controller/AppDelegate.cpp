#include "AppDelegate.h"

#include <QFontMetricsF>

#include <algorithm>
#include <memory>
#include <vector>

#include "logging/Log.h"
#include "platform/Clock.h"
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
    connect(&counterSet(), &oq::counters::CounterSet::counterAdded, this, [this](oq::counters::Counter* c) {
        connect(c, &oq::counters::Counter::stateChanged, this, [this, c](oq::counters::State state) {
            if (state == oq::counters::State::Starting)
                counterReady(c);
        });
    });
    connect(this, &OQAppDelegate::deviceChanged, this, [this] {
        if (auto* c = shownCounter(); c && c->state() == oq::counters::State::Starting)
            counterReady(c);
    });
    OQAppDelegate::applicationDidFinishLaunching();
}

void AppDelegate::counterReady(oq::counters::Counter* counter)
{
    if (counter != shownCounter())
        return;
    const long long mode = oq::SettingsStore::shared().integerForKey(oq::settings::OnlineMode);
    showMode(mode);
    if (m_colorManager)
        m_colorManager->setMode(int(mode));
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

bool AppDelegate::isOnlineModeHeld() const
{
    const auto* counter = shownCounter();
    return counterSet().allHeld() || (counter && counter->held());
}

void AppDelegate::holdOnlineMode(const std::shared_ptr<OQDevice>& device)
{
    if (!device)
        counterSet().holdAll();
    else if (auto* counter = counterOf(device.get()))
        counter->hold();
}

void AppDelegate::releaseOnlineMode(const std::shared_ptr<OQDevice>& device)
{
    if (!device)
        counterSet().releaseAll();
    else if (auto* counter = counterOf(device.get()))
        counter->release();
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
    // Every counter follows the choice; without a counter the next one does.
    counterSet().setMode(int(mode));
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    LGLogInfo("Application should Terminate");
    // Nothing starts a stream again from here on: not a press, not the end of a transfer the
    // quit cuts short, nor a counter that becomes ready meanwhile.
    m_quitting = true;
    holdOnlineMode();
    const auto& counters = counterSet().counters();
    if (std::none_of(counters.begin(), counters.end(), [](const auto& c) { return c->needsStop(); }))
        return TerminateReply::Now;
    // A transfer under way is cancelled (ESC until quiet, then "X"); the stop follows it.
    for (const auto& c : counters) {
        if (const auto progress = c->device() ? c->device()->progress() : nullptr;
            progress && progress->isCancellable() && !progress->isCancelled())
            progress->cancel();
    }
    QPointer<AppDelegate> self(this);
    const double started = oq::clock::now();
    counterSet().stopAll([self, started] {
        if (!self)
            return;
        if (oq::clock::now() - started >= kQuitWaitLimit)
            LGLogWarn("The counter did not stop within %g s; terminating anyway", kQuitWaitLimit);
        emit self->replyToApplicationShouldTerminate(true);
    }, kQuitWaitLimit);
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
