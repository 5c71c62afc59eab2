#include "app/controller/LevelAlerts.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include "alerts/DesktopNotifier.h"
#include "app/controller/OQAppDelegate.h"
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
    connect(controller, &OQAppDelegate::deviceOnlineValueChanged, this, &LevelAlerts::reading);
    connect(m_notifier, &oq::alerts::DesktopNotifier::activated, this, &LevelAlerts::showWindowRequested);
}

LevelAlerts::~LevelAlerts() = default;

void LevelAlerts::reading()
{
    const auto& device = m_controller->device();
    const auto value = device ? device->onlineValue() : std::nullopt;
    if (!value) {
        m_rule.interrupt();
        return;
    }
    const auto level = Level(int(oq::levelForValue(*value, shownMode())));
    if (const auto event = m_rule.observe(level))
        tell(*event, *value);
}

long long LevelAlerts::shownMode() const
{
    // The level the window shows: the colour manager's mode, else the chosen one.
    const ColorManager* cm = m_controller->colorManager();
    return cm ? cm->mode() : m_controller->onlineMode().toLongLong();
}

void LevelAlerts::tell(const oq::alerts::LevelEvent& event, double value)
{
    LGLogInfo("Level %s (was %s)", oq::levelName(event.level), oq::levelName(event.previous));
    if (event.level == Level::Danger && oq::settings::alertOption(oq::settings::AlarmSound))
        playAlarm();
    if (!oq::settings::alertOption(oq::settings::NotifyLevelChanges))
        return;
    const auto transformer = m_controller->displayValueTransformer();
    const QString shown = transformer ? transformer->transformedValue(value) : QString::number(value);
    const auto info = m_controller->device() ? m_controller->device()->info() : nullptr;
    const QString serial = info ? info->serialNumber() : QString();
    const bool rate = shownMode() == 1;
    const QString key = QStringLiteral("alerts.%1.%2")
                            .arg(rate ? QStringLiteral("rate") : QStringLiteral("dose"), QLatin1String(oq::levelName(event.level)));
    oq::alerts::Notification n;
    n.summary = oq::localized(key);
    n.body = serial.isEmpty() ? shown : oq::localized(QStringLiteral("alerts.body")).arg(shown, serial);
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
