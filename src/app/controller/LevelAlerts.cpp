#include "app/controller/LevelAlerts.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include "alerts/DesktopNotifier.h"
#include "app/controller/OQAppDelegate.h"
#include "counters/CounterSet.h"
#include "logging/Log.h"
#include "parser/OQDeviceInfo.h"
#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"

using oq::Level;

LevelAlerts::LevelAlerts(OQAppDelegate* controller, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_notifier(new oq::alerts::DesktopNotifier(oq::localized(QStringLiteral("ui.app.name")), QStringLiteral("oq-online"), this))
{
    connect(&controller->counterSet(), &oq::counters::CounterSet::levelChanged, this, &LevelAlerts::tell);
    connect(m_notifier, &oq::alerts::DesktopNotifier::activated, this, &LevelAlerts::showWindowRequested);
}

LevelAlerts::~LevelAlerts() = default;

void LevelAlerts::tell(const oq::counters::Counter* counter, const oq::Reading& reading, const oq::alerts::LevelEvent& event)
{
    const bool shown = counter == m_controller->shownCounter();
    LGLogInfo("Level %s (was %s)%@", oq::levelName(event.level), oq::levelName(event.previous),
        shown ? QString() : QStringLiteral(" on counter ") + counter->key());
    if (event.level == Level::Danger && oq::settings::alertOption(oq::settings::AlarmSound))
        playAlarm();
    if (!oq::settings::alertOption(oq::settings::NotifyLevelChanges))
        return;
    const QString text = m_controller->onlineValueString(reading);
    const QString key = QStringLiteral("alerts.%1.%2")
                            .arg(reading.rate() ? QStringLiteral("rate") : QStringLiteral("dose"), QLatin1String(oq::levelName(event.level)));
    oq::alerts::Notification n;
    n.summary = oq::localized(key);
    // Several counters: the title says which one, as it is not the one in the window.
    if (!shown)
        n.summary = oq::localized(QStringLiteral("alerts.other_counter")).arg(m_controller->counterName(counter->device().get()), n.summary);
    n.body = reading.serial.isEmpty() ? text : oq::localized(QStringLiteral("alerts.body")).arg(text, reading.serial);
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
