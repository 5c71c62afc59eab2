#pragma once
// Plugs a simulated counter, behind its emulated FT232R bridge (SimFtBridge), into the kernel's
// USB/IP virtual host controller (vhci-hcd): the kernel's own FTDI driver then serves it as
// /dev/ttyUSB*. The device end of a connected stream socket is served on a thread of its own;
// closing it is the unplug. Tests hand serve() one end of a socketpair and play the kernel.
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "SimFtBridge.h"

namespace oq::sim {

class SimUsbIp {
public:
    SimUsbIp(std::shared_ptr<SimCounter> counter, BridgeOptions options);
    ~SimUsbIp();
    SimUsbIp(const SimUsbIp&) = delete;
    SimUsbIp& operator=(const SimUsbIp&) = delete;

    // Serves the device end `fd` of a connected stream socket (taken over) with a freshly powered
    // bridge; a running session is pulled out first.
    void serve(int fd);
    // Attaches to vhci-hcd at `port` (-1: the first free full-speed port) and serves. Needs root.
    bool attach(int port, QString* error = nullptr);
    // Pulls the bridge out now; the counter powers down with it. Idempotent.
    void unplug();
    // Plugs the counter in again at the port of the last attach.
    bool replug(QString* error = nullptr);
    // Plugged in and served; false after an unplug of any kind (requested, planned, or the host
    // dropped the connection).
    bool plugged() const { return m_serving.load(); }
    int port() const { return m_port; }

    const SimFtBridge::Stats& stats() const { return m_stats; }

    static constexpr const char* kVhciPath = "/sys/devices/platform/vhci_hcd.0";

private:
    void run(int fd);
    void join();

    std::shared_ptr<SimCounter> m_counter;
    BridgeOptions m_options;
    SimFtBridge::Stats m_stats;
    int m_port = -1;
    int m_wake = -1; // eventfd: ends the session's poll at once
    std::thread m_thread;
    std::atomic<bool> m_serving{false};
    std::atomic<bool> m_unplugRequested{false};
    std::mutex m_control; // one plug or unplug at a time
};

} // namespace oq::sim
