#pragma once
// Every counter a program reads: it finds them (the USB hot-plug watch, ports given on the
// command line, the simulated bus), adds and removes them, sets the mode they all stream in, and
// stops them all at once. The window, oqtool and the web page drive one of these. Main thread only.
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

#include "counters/Counter.h"
#include "usb/USBMonitor.h"

namespace oq::recording {
class Recording;
}

namespace oq::counters {

// What a counter whose device failed does next.
enum class OnFailure {
    StartAgain, // its device is asked to start again 1 s after it reports itself idle (the window)
    Reopen,     // a new device is made for it after `reopenAfter` (a recording that waits for it)
    End,        // it ends, with its cause
};

struct Options {
    int mode = 1;               // the stream every counter is started in: 1 dose rate, 2 dose, other: none
    double startDelay = 1.0;    // modelled seconds from ready to the start of the stream
    OnFailure onFailure = OnFailure::StartAgain;
    double reopenAfter = 2.0; // modelled seconds
    // A counter whose bridge left the bus stays in the set, ended, and is opened again when a
    // bridge comes back at its place (oqtool); else it is removed (the window).
    bool keepDeparted = false;
};

// Where the hot-plug watch says the counter it reports is plugged in.
Place placeOf(const USBDeviceInternal& reported);

class CounterSet : public QObject, public USBMonitorDegelate {
    Q_OBJECT
public:
    using DeviceFactory = std::function<std::shared_ptr<OQDevice>(const Place& place)>;

    explicit CounterSet(Options options = {}, QObject* parent = nullptr);
    // Removes every counter (their recorders say `offline`).
    ~CounterSet() override;

    const Options& options() const { return m_options; }
    // How a counter's device is made; by default an OQUSBDevice bound to the place's bridge.
    void setDeviceFactory(DeviceFactory factory) { m_factory = std::move(factory); }
    std::shared_ptr<OQDevice> makeDevice(const Place& place) const;
    // Where readings are recorded (not owned; null: nowhere). Each counter makes its recorder there.
    void setRecording(recording::Recording* recording);
    recording::Recording* recording() const { return m_recording; }
    // Each counter's recorder is made again (the recording's options changed).
    void recordingChanged();

    // In the order they came.
    const std::vector<std::unique_ptr<Counter>>& counters() const { return m_counters; }
    Counter* counterOf(const OQDevice* device) const;
    Counter* counterAt(quint64 entryID) const;
    // Counters identified under `key` (two counters may report the same serial number).
    std::vector<Counter*> withKey(const QString& key) const;

    // A counter at `place`, opened now with a new device (or `device` when given). An entry of the
    // hot-plug watch already in the set is opened again (a plug-in seen twice, or after a removal).
    Counter* add(const Place& place, std::shared_ptr<OQDevice> device = nullptr);
    // The counter of `entryID` has gone: removed, or ended when the set keeps departed counters.
    bool depart(quint64 entryID);
    void remove(Counter* counter);

    // Follows the bus with its own hot-plug watch (the simulated bus when `simulated`); false
    // without one. Counters on the bus at the start arrive through the event loop.
    bool watchBus(bool simulated);
    USBMonitor* monitor() const { return m_monitor.get(); }

    int mode() const { return m_options.mode; }
    // Every counter switches: a running stream is stopped and the new mode started.
    void setMode(int mode);
    // Holds every counter's stream (the quit has begun); the release treats them as ready.
    void holdAll();
    void releaseAll();
    bool allHeld() const { return m_holds > 0; }

    // Stops every stream at once; `done` runs once all have stopped, or after `limit` modelled
    // seconds, whichever is first. Nothing starts again while held.
    void stopAll(std::function<void()> done, double limit);
    // Any device still has work on its threads.
    bool hasWorkInFlight() const;

signals:
    void counterAdded(oq::counters::Counter* counter);
    // Before it is deleted.
    void counterRemoving(oq::counters::Counter* counter);
    // A counter came, went, changed its state or was identified.
    void countersChanged();
    void readingArrived(oq::counters::Counter* counter, const oq::Reading& reading);
    // A counter's onlineValue changed: a reading, or none any more.
    void valueChanged(oq::counters::Counter* counter);
    void levelChanged(oq::counters::Counter* counter, const oq::Reading& reading, const oq::alerts::LevelEvent& event);
    // Counters plugged in at once report the same serial number; from now on each is keyed by its
    // serial and port.
    void sharedSerial(const QString& serial, const std::vector<oq::counters::Counter*>& counters);

private:
    friend class Counter;

    void monitorFoundNewDevice(USBMonitor* monitor) override;
    void monitorRemovedDevice(USBMonitor* monitor) override;
    void wire(Counter* counter);

    Options m_options;
    DeviceFactory m_factory;
    recording::Recording* m_recording = nullptr;
    std::vector<std::unique_ptr<Counter>> m_counters;
    std::unique_ptr<USBMonitor> m_monitor;
    int m_holds = 0;
};

} // namespace oq::counters
