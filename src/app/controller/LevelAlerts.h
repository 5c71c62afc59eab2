#pragma once
// Tells the desktop when the shown level changes, by the rule of alerts/LevelChangeRule.h: a
// notification with the reading, its level and the counter (critical for danger), and an alarm
// sound on a rise to danger, each as the preferences say at that moment. It works with the main
// window hidden.
#include <QObject>

#include "readings/LevelChangeRule.h"

class OQAppDelegate;

namespace oq::alerts {
class DesktopNotifier;
}

class LevelAlerts : public QObject {
    Q_OBJECT
public:
    explicit LevelAlerts(OQAppDelegate* controller, QObject* parent = nullptr);
    ~LevelAlerts() override;

    oq::alerts::DesktopNotifier* notifier() const { return m_notifier; }

    // The desktop's alarm sound: the sound theme's "alarm-clock-elapsed" through canberra-gtk-play
    // where it is installed, else the display's bell.
    static void playAlarm();

signals:
    // A notification was clicked: the user wants the window.
    void showWindowRequested();

private:
    void reading();
    long long shownMode() const;
    void tell(const oq::alerts::LevelEvent& event, double value);

    OQAppDelegate* m_controller;
    oq::alerts::LevelChangeRule m_rule;
    oq::alerts::DesktopNotifier* m_notifier;
};
