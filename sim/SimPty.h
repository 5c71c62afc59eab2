#pragma once
// Serves a simulated counter on a pseudo-terminal, so the tty backend of the FT_* layer talks to
// it as to a real serial device. The speed the other side sets on the terminal is the computer's
// line speed; data bits and parity are not visible through a pseudo-terminal and count as 7E1.
// When the counter is pulled out, the terminal is closed: the other side sees a hang-up.
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

private:
    void serve();

    std::shared_ptr<SimCounter> m_counter;
    int m_master = -1;
    int m_slave = -1; // held open so the terminal stays up between the other side's opens
    QString m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_hungUp{false};
};

} // namespace oq::sim
