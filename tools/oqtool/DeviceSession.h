#pragma once
// What the device commands of oqtool share: choosing the link (--port PATH, --simulate, or the
// counters found on the USB bus), waiting for the counter to become ready, and Ctrl-C.
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class OQUSBDevice;
class QSocketNotifier;

namespace oq::sim {
class SimCounter;
}

namespace oqtool {

struct DeviceOptions {
    QStringList ports; // terminal devices, e.g. /dev/ttyUSB0 or oq-counter-sim's
    int simulate = 0;  // simulated counters, in process
};

// Takes --port PATH (any number of times) and --simulate [N] out of `args`. False, with `error`
// set, when they are malformed.
bool takeDeviceOptions(QStringList& args, DeviceOptions& options, QString& error);

// The serial device of the bridge at `location`, or where it sits on the bus when it has none.
QString portOfBridge(unsigned long location);

// A place a counter is read from: a given port, a simulated counter, or a bridge on the bus.
struct CounterPlace {
    std::optional<unsigned long> location; // its bridge's; none: the first bridge listed
    QString port;                          // for people: the port, or where on the bus
};

class DeviceSession {
public:
    explicit DeviceSession(DeviceOptions options);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Makes the device and waits until it has read the counter's information. Nothing, with
    // `error` set, when that failed or was interrupted, or when several counters are on the bus
    // and none was chosen.
    std::shared_ptr<OQUSBDevice> open(QString& error);

    // The places given on the command line; none when the counters are to be found on the bus.
    std::vector<CounterPlace> givenPlaces() const;
    // Whether the bridge at `location` (or, without one, as many bridges as at the last open) is
    // still listed after the system had a moment to take an unplugged one off.
    bool bridgeGone(const std::optional<unsigned long>& location);

    // Runs the event loop until `done` holds; false when Ctrl-C came first (`done` is then not
    // waited for). Each Ctrl-C is reported once. `done` is looked at after each wake-up of the
    // loop, so it must change through an event (a signal, a queued call, a timer of the caller's);
    // `recheckMs` > 0 also looks that often, for a condition nothing announces.
    bool runUntil(const std::function<bool()>& done, int recheckMs = 0);
    // Runs the event loop until `done` holds, whatever Ctrl-C says.
    void runUntilDone(const std::function<bool()>& done);

    // After a driver failure: the counter has left the bus (waits a moment for the system to take
    // it off), so the failure was an unplug.
    bool counterUnplugged();

    // The (first) simulated counter of --simulate, or null.
    std::shared_ptr<oq::sim::SimCounter> simulatedCounter() const { return m_counters.empty() ? nullptr : m_counters.front(); }

private:
    DeviceOptions m_options;
    std::vector<std::shared_ptr<oq::sim::SimCounter>> m_counters;
    std::vector<quint64> m_entries;
    unsigned long m_listedAtOpen = 0; // counters on the bus once ours was open
    std::shared_ptr<OQUSBDevice> m_device;
    std::unique_ptr<QSocketNotifier> m_interruptWake;
};

} // namespace oqtool

namespace oqtool {

// The frame of a device command: --help, the device options, usage errors, and the device.
//
//   DeviceCommand command("info", arguments);
//   if (command.helpShown()) return 0;
//   ... read command.args(), command.reject() what does not fit ...
//   if (!command.ok()) return command.usageError();
//   const auto device = command.open();
//   if (!device) return 1;
class DeviceCommand {
public:
    // `name` is the registered command's: its help comes from there and the string table. A
    // command for one counter refuses several ports or simulated counters.
    DeviceCommand(const char* name, const QStringList& arguments, bool severalCounters = false);
    ~DeviceCommand();

    // --help was asked for and the usage printed.
    bool helpShown() const { return m_help; }
    // The arguments without the device options; a command may take its own out of them.
    QStringList& args() { return m_args; }
    bool ok() const { return m_error.isNull(); }
    // Marks the command line as wrong; `why` is printed before the usage.
    void reject(const QString& why = QStringLiteral(""));
    // Prints the reason and the usage on standard error; returns the exit code 2.
    int usageError() const;
    // Prints "oqtool NAME: message" on standard error.
    void fail(const QString& message) const;

    // Opens the counter; nothing (and the reason printed) when that failed.
    std::shared_ptr<OQUSBDevice> open();
    // The link of the device options, made on first use.
    DeviceSession& session();

private:
    QString usage() const;

    const char* m_name;
    QStringList m_args;
    DeviceOptions m_options;
    QString m_error;
    bool m_help = false;
    std::unique_ptr<DeviceSession> m_session;
};

} // namespace oqtool
