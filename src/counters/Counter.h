#pragma once
// One counter plugged in, with all that belongs to it: its device (a new one each time it is
// opened again), the rule that starts its stream in the chosen mode and switches it, its silence
// watch, its level rule, its recorder, and its state with its own failure cause. The faces (the
// window, oqtool, the web page) read and drive counters; none keeps state of a counter elsewhere.
// What a face needs to keep per counter it hangs on the counter as a child object, so it goes
// with it. Main thread only.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>

#include "readings/LevelChangeRule.h"
#include "readings/Reading.h"

class OQDevice;

namespace oq::recording {
class Recorder;
}

namespace oq::counters {

class CounterSet;

enum class State {
    Away,     // not open: waiting to try again, or not yet tried
    Opening,  // its bridge is opened and its information read
    Starting, // ready; its stream is asked for and has brought no reading yet
    Reading,
    Silent,   // its stream runs but has brought no reading for kSilenceSeconds
    Ended,    // failed (failure() says why) or gone; nothing more comes from this device
};
// "away", "opening", …: for machines (logs, the web page), never translated.
const char* stateName(State state);

// Where a counter is plugged in.
struct Place {
    quint64 entryID = 0;             // the hot-plug watch's record; 0: none (a given port)
    std::optional<uint32_t> location; // its bridge's place on the bus; none: the first bridge listed
    QString port;                     // /dev/ttyUSB0, usb:LOCATION, or a given path
};

class Counter : public QObject {
    Q_OBJECT
public:
    // The counter sends a reading a second; a stream that has brought none for this long (modelled
    // seconds, from the moment it was asked for) has gone silent.
    static constexpr double kSilenceSeconds = 5;
    // Modelled seconds a departed counter's device, kept by the set, is given to fail by itself.
    static constexpr double kDepartWait = 3;

    Counter(CounterSet& set, Place place);
    // Ends its recorder (`offline`); the device is let go without a word to the counter.
    ~Counter() override;

    const Place& place() const { return m_place; }
    const std::shared_ptr<OQDevice>& device() const { return m_device; }
    // Its serial number, else its port; empty until its information is read. A serial that another
    // counter plugged in reports too is followed by "@" and its port.
    QString key() const;
    // Another counter plugged in reports the same serial number.
    bool sharesSerial() const { return m_twin; }
    // The key it had when it was last identified, also while it is away.
    QString lastKey() const { return m_lastKey; }
    // Empty: it names none (or is not identified yet).
    QString serial() const;
    QString firmware() const;
    bool identified() const { return m_identified; }
    // Its bridge has left the bus.
    bool departed() const { return m_departed; }
    State state() const { return m_state; }
    // Why it ended: the device's error, with the cause its port gave when it would not open.
    QString failure() const { return m_failure; }
    // The latest reading of the running stream; none when its stream has none.
    std::optional<Reading> reading() const;
    // The level rule's state: the level its readings have settled on.
    Level settledLevel() const { return m_rule.level(); }
    // The broker's status for this counter, for people; empty while nothing is published.
    QString mqttStatus() const { return m_mqttStatus; }
    // Readings handed on since the device was made for it.
    qint64 readings() const { return m_readings; }

    // Another exchange (protocol download, clock setting) holds its stream; the last release
    // treats the counter as just become ready.
    void hold();
    void release();
    bool held() const { return m_holds > 0; }
    // Asks for the stream to stop (nothing starts it again until the set's mode changes or it is
    // released); `done` runs once it has stopped, at once when none runs.
    void stop(std::function<void()> done);
    // Its device streams or has an exchange under way: a stop is owed before the program ends.
    bool needsStop() const;

signals:
    void stateChanged(oq::counters::State state);
    // Its information was read; `same` false when another counter than before is at its place.
    void identifiedChanged(bool same);
    void readingArrived(const oq::Reading& reading);
    // A level change worth telling (the level rule); with the reading that made it.
    void levelChanged(const oq::Reading& reading, const oq::alerts::LevelEvent& event);
    void mqttStatusChanged(const QString& status);

private:
    friend class CounterSet;

    // A new device for it (a plug-in, or an attempt after a failure); the old one is let go.
    void attach(std::shared_ptr<OQDevice> device);
    // Its counter has gone: nothing more is tried.
    void depart();
    void end();
    void detach();
    void observe();
    bool ready() const;
    void scheduleStart();
    void start(quint64 generation);
    void switchMode();
    void setState(State state);
    void updateState();
    void onReading(const Reading& reading);
    void identify();
    void fail();
    void retryLater();
    void makeRecorder();
    void recordingChanged();
    void setMqttStatus(const QString& text);

    CounterSet& m_set;
    Place m_place;
    std::shared_ptr<OQDevice> m_device;
    QList<QMetaObject::Connection> m_deviceConnections;
    State m_state = State::Away;
    QString m_failure;
    bool m_identified = false;
    QString m_lastKey; // of the counter identified here before
    bool m_departed = false;
    bool m_twin = false;
    // Mode rules: starts scheduled before the last press or readiness are void.
    quint64 m_generation = 0;
    bool m_stopping = false;   // a stop of ours runs; its completion starts the mode chosen last
    bool m_stopped = false;    // stopped by stop(): nothing starts until the mode changes
    bool m_asked = false;      // a stream was asked for since the last stop or failure
    int m_holds = 0;
    QTimer m_silence;
    QTimer m_retry;
    alerts::LevelChangeRule m_rule;
    std::unique_ptr<recording::Recorder> m_recorder;
    QString m_mqttStatus;
    quint64 m_statusGeneration = 0;
    qint64 m_readings = 0;
};

} // namespace oq::counters
