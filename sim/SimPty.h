#pragma once
// Serves a simulated counter on a pseudo-terminal, so the tty backend of the FT_* layer talks to
// it as to a real serial device. The speed the other side sets on the terminal is the computer's
// line speed; data bits and parity are not visible through a pseudo-terminal and count as 7E1.
// When the counter is pulled out, the terminal is closed: the other side sees a hang-up.
//
// The line is as harsh as the real one. The counter sends at its line rate with no flow control
// into the bridge's 256-byte receive FIFO. The kernel's line discipline holds 4,096 bytes; while
// fewer than 128 of them are free the usb-serial driver is throttled and stops reading the bridge
// until 128 bytes or fewer wait. What does not fit the FIFO meanwhile is lost, and counted: a
// program that does not keep the terminal drained loses characters here as it would on a real
// counter. (A pseudo-terminal by itself only holds data back.)
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

#include "SimCounter.h"

namespace oq::sim {

class SimPty {
public:
    explicit SimPty(std::shared_ptr<SimCounter> counter);
    ~SimPty();
    SimPty(const SimPty&) = delete;
    SimPty& operator=(const SimPty&) = delete;

    // Creates the terminal and starts serving on a thread of its own.
    bool start(QString* error = nullptr);
    // The terminal's path (e.g. /dev/pts/3); empty before start().
    QString path() const { return m_path; }
    void stop();
    // The counter was pulled out and the terminal closed.
    bool hungUp() const { return m_hungUp.load(); }
    // Characters that overflowed the bridge's FIFO while the terminal was throttled.
    qint64 lostBytes() const { return m_lost.load(); }

    static constexpr qsizetype kBridgeFifo = 256;
    static constexpr int kTerminalBuffer = 4096;
    // Throttled while fewer than this many bytes of the terminal's buffer are free ...
    static constexpr int kThrottleFree = 128;
    // ... until this many or fewer wait.
    static constexpr int kUnthrottleHeld = 128;

private:
    void serve();
    // Bytes waiting in the terminal's input buffer, as the line discipline counts them.
    int terminalHeld() const;

    std::shared_ptr<SimCounter> m_counter;
    int m_master = -1;
    int m_slave = -1; // held open so the terminal stays up between the other side's opens
    QString m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_hungUp{false};
    std::atomic<qint64> m_lost{0};
};

} // namespace oq::sim
