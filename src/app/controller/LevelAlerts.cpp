#include "app/controller/LevelAlerts.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>

#include "alerts/DesktopNotifier.h"
#include "app/controller/OQAppDelegate.h"
#include "device/OQDevice.h"
#include "logging/Log.h"
#include "parser/OQDeviceInfo.h"
#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"
#include "app/windows/ColorManager.h"
#include "readings/ValueTransformers.h"

using oq::Level;

LevelAlerts::LevelAlerts(OQAppDelegate* controller, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_notifier(new oq::alerts::DesktopNotifier(oq::localized(QStringLiteral("ui.app.name")), QStringLiteral("oq-online"), this))
{
    connect(controller, &OQAppDelegate::counterOnlineValueChanged, this, &LevelAlerts::reading);
    // A counter that comes back starts a new run.
    connect(controller, &OQAppDelegate::countersChanged, this, [this] {
        const auto plugged = m_controller->devices();
        std::erase_if(m_rules, [&](const auto& rule) {
            return std::none_of(plugged.begin(), plugged.end(), [&](const auto& d) { return d.get() == rule.first; });
        });
    });
    connect(m_notifier, &oq::alerts::DesktopNotifier::activated, this, &LevelAlerts::showWindowRequested);
}

LevelAlerts::~LevelAlerts() = default;

void LevelAlerts::reading(OQDevice* device)
{
    auto& rule = m_rules[device];
    const auto value = device->onlineValue();
    if (!value) {
        rule.interrupt();
        return;
    }
    const auto level = Level(int(oq::levelForValue(*value, modeOf(device))));
    if (const auto event = rule.observe(level))
        tell(device, *event, *value);
}

long long LevelAlerts::modeOf(const OQDevice* device) const
{
    // The level the window shows: the colour manager's mode, else the chosen one.
    const ColorManager* cm = m_controller->colorManager();
    return cm && device == m_controller->device().get() ? cm->mode() : m_controller->onlineMode().toLongLong();
}

void LevelAlerts::tell(const OQDevice* device, const oq::alerts::LevelEvent& event, double value)
{
    const bool shown = device == m_controller->device().get();
    LGLogInfo("Level %s (was %s)%@", oq::levelName(event.level), oq::levelName(event.previous),
        shown ? QString() : QStringLiteral(" on counter ") + m_controller->counterKey(device));
    if (event.level == Level::Danger && oq::settings::alertOption(oq::settings::AlarmSound))
        playAlarm();
    if (!oq::settings::alertOption(oq::settings::NotifyLevelChanges))
        return;
    const auto transformer = m_controller->displayValueTransformer(device);
    const QString text = transformer ? transformer->transformedValue(value) : QString::number(value);
    const auto info = device->info();
    const QString serial = info ? info->serialNumber() : QString();
    const bool rate = modeOf(device) == 1;
    const QString key = QStringLiteral("alerts.%1.%2")
                            .arg(rate ? QStringLiteral("rate") : QStringLiteral("dose"), QLatin1String(oq::levelName(event.level)));
    oq::alerts::Notification n;
    n.summary = oq::localized(key);
    // Several counters: the title says which one, as it is not the one in the window.
    if (!shown)
        n.summary = oq::localized(QStringLiteral("alerts.other_counter")).arg(m_controller->counterName(device), n.summary);
    n.body = serial.isEmpty() ? text : oq::localized(QStringLiteral("alerts.body")).arg(text, serial);
    n.critical = event.level == Level::Danger;
    m_notifier->notify(n);
}

void LevelAlerts::playAlarm()
{
    const QString player = QStandardPaths::findExecutable(QStringLiteral("canberra-gtk-play"));
    if (player.isEmpty() || !QProcess::startDetached(player, {QStringLiteral("-i"), QStringLiteral("alarm-clock-elapsed"),
                                   QStringLiteral("-d"), oq::localized(QStringLiteral("ui.app.name"))}))
        QApplication::beep();
}
