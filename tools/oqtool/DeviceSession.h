#pragma once
// What the device commands of oqtool share: choosing the link (--port PATH, --simulate, or the
// counters found on the USB bus), waiting for the counter to become ready, and Ctrl-C.
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class OQUSBDevice;

namespace oq::sim {
class SimCounter;
}

namespace oqtool {

struct DeviceOptions {
    QString port;          // one terminal device, e.g. /dev/ttyUSB0 or oq-counter-sim's
    bool simulate = false; // a simulated counter, in process
};

// The help lines of the options above.
extern const char* const kDeviceOptionsHelp;

// Prints `usage` and the device options for --help; true when it was asked for.
bool printHelpIfAsked(const QStringList& args, const char* usage);
// Prints `error` (when set) and `usage` for `command` on standard error; returns the exit code 2.
int usageError(const char* command, const QString& error, const char* usage);

// Takes --port PATH and --simulate out of `args`. False, with `error` set, when they are malformed.
bool takeDeviceOptions(QStringList& args, DeviceOptions& options, QString& error);

class DeviceSession {
public:
    explicit DeviceSession(DeviceOptions options);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Makes the device and waits until it has read the counter's information. Nothing, with
    // `error` set, when that failed or was interrupted.
    std::shared_ptr<OQUSBDevice> open(QString& error);

    // Runs the event loop until `done` holds; false when Ctrl-C came first (`done` is then not
    // waited for). Each Ctrl-C is reported once.
    bool runUntil(const std::function<bool()>& done);
    // Runs the event loop until `done` holds, whatever Ctrl-C says.
    void runUntilDone(const std::function<bool()>& done);

    // The simulated counter of --simulate, or null.
    std::shared_ptr<oq::sim::SimCounter> simulatedCounter() const { return m_counter; }

private:
    DeviceOptions m_options;
    std::shared_ptr<oq::sim::SimCounter> m_counter;
    quint64 m_entry = 0;
    std::shared_ptr<OQUSBDevice> m_device;
};

} // namespace oqtool
