#pragma once
// The backends behind our FT_* calls (ftd2xx.h), chosen once at start:
//
//   oq::ft::useTtyBackend();               // counters found through udev (vendor 0403, product d678)
//   oq::ft::useTtyBackend("/dev/pts/4");   // one given terminal device, e.g. oq-counter-sim's
//   oq::ft::useTtyBackend({"/dev/pts/4", "/dev/pts/5"}); // several, at locations 1, 2, ...
//   oq::ft::setBackend(other);             // a backend from outside (the simulated counters, sim/)
//
// Without a choice the searching tty backend is used. FtHandles.h helps a backend keep its handles. Handles are opaque numbers, never pointers:
// a closed or foreign handle gives FT_INVALID_HANDLE instead of touching freed memory. A counter
// that vanished answers reads, writes and queue queries with a non-zero status; no call blocks
// longer than its time-out (a time-out of 0 counts as the default).
//
// Time-outs (FT_SetTimeouts) are modelled milliseconds and run through the clock seam
// (platform/Clock.h), like every other wait of the device link.
#include <QString>
#include <QStringList>

#include <memory>

#include "device/ft/ftd2xx.h"

namespace oq::ft {

class Backend {
public:
    virtual ~Backend() = default;
    virtual const char* name() const = 0;

    virtual FT_STATUS setVidPid(DWORD vid, DWORD pid) = 0;
    virtual FT_STATUS createDeviceInfoList(DWORD* count) = 0;
    virtual FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* count) = 0;
    virtual FT_STATUS open(int index, FT_HANDLE* handle) = 0;
    // The bridge listed with this LocId, wherever it sits in the list now.
    virtual FT_STATUS openByLocation(DWORD location, FT_HANDLE* handle) = 0;
    virtual FT_STATUS close(FT_HANDLE handle) = 0;
    virtual FT_STATUS purge(FT_HANDLE handle, ULONG mask) = 0;
    virtual FT_STATUS setFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) = 0;
    virtual FT_STATUS setLatencyTimer(FT_HANDLE handle, UCHAR ms) = 0;
    virtual FT_STATUS setBaudRate(FT_HANDLE handle, ULONG baud) = 0;
    virtual FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) = 0;
    virtual FT_STATUS setDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stopBits, UCHAR parity) = 0;
    virtual FT_STATUS getQueueStatus(FT_HANDLE handle, DWORD* rxBytes) = 0;
    virtual FT_STATUS read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* returned) = 0;
    virtual FT_STATUS write(FT_HANDLE handle, const void* buffer, DWORD count, DWORD* written) = 0;
    // The serial device of the bridge at `location` (e.g. /dev/ttyUSB0), for people; empty when
    // the backend has none.
    virtual QString portOf(DWORD /*location*/) { return {}; }
};

// Defaults of a freshly opened handle, as the vendor library has them.
inline constexpr ULONG kDefaultReadTimeoutMs = 2000;
inline constexpr ULONG kDefaultWriteTimeoutMs = 1000;

std::shared_ptr<Backend> makeTtyBackend(const QString& fixedPort = {});
// Given terminal devices: one keeps location 0, several are at locations 1, 2, ... in order.
std::shared_ptr<Backend> makeTtyBackend(const QStringList& fixedPorts);
// Searching under other roots than /sys and /dev (tests build a fake sysfs tree).
std::shared_ptr<Backend> makeTtyBackend(const QString& fixedPort, const QString& sysfsRoot, const QString& devRoot);

// Replaces the backend; handles of the previous one become invalid.
void setBackend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> backend();

inline void useTtyBackend(const QString& fixedPort = {}) { setBackend(makeTtyBackend(fixedPort)); }
inline void useTtyBackend(const QStringList& fixedPorts) { setBackend(makeTtyBackend(fixedPorts)); }

// The bridge at `location` for people: its serial device (/dev/ttyUSB0), else "usb:" and the
// location in hexadecimal.
QString portName(DWORD location);

// Why the last port that would not open refused; none once a port opens. The driver status only
// says "not opened" or "not found". The log gets `text` once per change of cause.
struct OpenFailure {
    enum Kind { None, Vanished, NotATerminal, PermissionDenied, InUse, LineSettingsRefused, Other };
    Kind kind = None;
    QString path;
    // InUse: the holder ("oqtool (pid 1234)", empty when unknown); PermissionDenied: the group that
    // may use the port (empty when none to join); LineSettingsRefused: what was asked for and what
    // the port kept; Other: the system's reason.
    QString detail;
    QString text; // as logged: "Cannot open …", "/dev/ttyUSB0 is in use by oqtool (pid 1234)"
    bool operator==(const OpenFailure&) const = default;
};
OpenFailure lastOpenFailureDetails();
QString lastOpenFailure();
// The cause of the last open attempt made on the calling thread: with several counters, each
// device's own (the process-wide one is whichever port refused last).
OpenFailure openFailureOnThisThread();

} // namespace oq::ft
