#pragma once
// Tells the desktop when a counter's level changes (each counter's own level rule), for every
// counter plugged in: a notification with the reading, its level and the counter (critical
// for danger; named in the title too when it is not the one shown), and an alarm sound on a rise
// to danger, each as the preferences say at that moment. It works with the main window hidden.
#include <QObject>

#include "readings/LevelChangeRule.h"
#include "readings/Reading.h"

class OQAppDelegate;

namespace oq::counters {
class Counter;
}

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
    void tell(const oq::counters::Counter* counter, const oq::Reading& reading, const oq::alerts::LevelEvent& event);

    OQAppDelegate* m_controller;
    oq::alerts::DesktopNotifier* m_notifier;
};
