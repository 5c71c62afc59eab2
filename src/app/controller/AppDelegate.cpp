#include "AppDelegate.h"

#include <QFontMetricsF>

#include <algorithm>
#include <memory>
#include <vector>

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
    connect(this, &OQAppDelegate::countersChanged, this, &AppDelegate::countersChanged);
    countersChanged();
    OQAppDelegate::applicationDidFinishLaunching();
}

void AppDelegate::countersChanged()
{
    const auto plugged = devices();
    std::erase_if(m_starters, [&](const auto& entry) {
        return std::none_of(plugged.begin(), plugged.end(), [&](const auto& d) { return d.get() == entry.first; });
    });
    for (const auto& d : plugged) {
        if (m_starters.count(d.get()))
            continue;
        auto starter = std::make_unique<OnlineStarter>(d, [this] { return m_onlineHolds > 0; });
        connect(starter.get(), &OnlineStarter::becameReady, this, [this, d = d.get()](long long mode) {
            if (device().get() != d)
                return;
            showMode(mode);
            if (m_colorManager)
                m_colorManager->setMode(int(mode));
        });
        auto* s = starter.get();
        m_starters.emplace(d.get(), std::move(starter));
        s->observe();
    }
}

OnlineStarter* AppDelegate::starterOf(const std::shared_ptr<OQDevice>& device) const
{
    const auto it = m_starters.find(device.get());
    return it == m_starters.end() ? nullptr : it->second.get();
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
    const auto* starter = starterOf(device());
    return m_onlineHolds > 0 || (starter && starter->held());
}

void AppDelegate::holdOnlineMode(const std::shared_ptr<OQDevice>& device)
{
    if (!device)
        ++m_onlineHolds;
    else if (auto* starter = starterOf(device))
        starter->hold();
}

void AppDelegate::releaseOnlineMode(const std::shared_ptr<OQDevice>& device)
{
    if (device) {
        if (auto* starter = starterOf(device))
            starter->release();
        return;
    }
    if (m_onlineHolds == 0 || --m_onlineHolds > 0)
        return;
    for (const auto& [d, starter] : m_starters)
        starter->observe();
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
    for (const auto& [d, starter] : m_starters)
        starter->switchMode();
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    LGLogInfo("Application should Terminate");
    // Nothing starts a stream again from here on: not a press, not the end of a transfer the
    // quit cuts short, nor a counter that becomes ready meanwhile.
    m_quitting = true;
    holdOnlineMode();
    std::vector<std::shared_ptr<OQDevice>> streaming;
    for (const auto& d : devices()) {
        if (d->onlineMode() || d->hasWorkInFlight())
            streaming.push_back(d);
    }
    if (streaming.empty())
        return TerminateReply::Now;
    auto waiting = std::make_shared<size_t>(streaming.size());
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
    for (const auto& d : streaming) {
        // A transfer under way is cancelled (ESC until quiet, then "X"); the stop follows it.
        if (const auto progress = d->progress(); progress && progress->isCancellable() && !progress->isCancelled())
            progress->cancel();
        d->stopOnlineMode([reply, waiting] {
            if (--*waiting == 0)
                reply(false);
        });
    }
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
