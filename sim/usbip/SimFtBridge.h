#pragma once
// The counter's FT232R USB-serial bridge as the host's USB stack sees it: descriptors, the vendor
// requests of the FTDI driver, and the two bulk endpoints. Works on decoded USB/IP requests and
// produces encoded answers; the socket is someone else's (SimUsbIp). Used from one thread.
//
// The line between bridge and counter is the counter's: the counter hears the host only when the
// baud divisor and data format the host set match its own speed and 7E1, else both sides get
// noise. Characters arrive at line rate into the bridge's 256-byte receive FIFO. A pending bulk IN
// request is answered with 64-byte packets, each led by the modem and line status bytes and
// carrying at most 62 characters, as soon as 62 wait or when the latency timer runs out (then with
// what waits, possibly nothing). While the host has no request pending the FIFO fills; what does
// not fit is lost, counted, and reported by the overrun bit of the next packet. Characters that
// arrive while a request waits because this program was not scheduled in time are not the host's
// fault: they are held (and reported) until delivered, not lost.
#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>

#include "sim/SimCounter.h"
#include "UsbIpCodec.h"

namespace oq::sim {

struct BridgeOptions {
    QString serial; // the USB serial number string
    // Characters of a value stream (from 0, counted from the host's "R" or "D" until its next
    // write) that arrive with the parity-error bit: the packet that carries one has the bit set in
    // its line status.
    std::set<qint64> parityErrors;
    // After this many characters of a dump ("b") have gone to the host, the bridge is pulled out.
    qint64 unplugAfterDumpBytes = -1;
};

class SimFtBridge {
public:
    static constexpr int kVendorId = 0x0403;
    static constexpr int kProductId = 0xd678;
    static constexpr int kPacketSize = 64;
    static constexpr int kPacketData = 62;
    static constexpr qsizetype kFifoSize = 256;
    static constexpr int kDefaultLatencyMs = 16;

    // Counts into `stats`, which may outlive the bridge (one bridge per plug-in, one tally).
    struct Stats {
        std::atomic<qint64> lost{0};      // characters the FIFO could not hold
        std::atomic<qint64> delivered{0}; // characters that went to the host
        // The last dump: its characters that went to the host, and the modelled seconds from the
        // host's "b" to the last of them.
        std::atomic<qint64> dumpCharacters{0};
        std::atomic<double> dumpSeconds{0};
        std::atomic<int> baud{9600}; // the line speed the host's divisor gives at the bridge
        // The most characters held beyond the FIFO because this emulation, not the host, was late:
        // the host had a request pending that a real bridge would have answered in time.
        std::atomic<qint64> lateMost{0};
    };
    SimFtBridge(std::shared_ptr<SimCounter> counter, BridgeOptions options, Stats& stats);

    // Takes one request of the host; answers that are due at once are appended to `out`.
    void handle(const usbip::Request& request, QByteArray& out);
    // Brings the line up to now and answers the IN requests whose packets are due.
    void service(QByteArray& out);
    // Modelled time at which service() has something to do; none while nothing is pending.
    std::optional<double> nextDue();
    // The bridge is to be pulled out (a planned unplug, or the counter pulled itself out).
    bool wantsUnplug() const { return m_wantsUnplug; }

    // Line speed at the bridge after the host's divisor; 9600 before any.
    int bridgeBaud() const { return m_bridgeBaud; }
    int latencyMs() const { return m_latencyMs; }

private:
    struct InRequest {
        uint32_t seqnum;
        int32_t length;
    };
    void control(const usbip::Request& r, QByteArray& out);
    void vendorRequest(uint8_t request, uint16_t value, uint16_t index, bool& ok, QByteArray& reply);
    void applyLine();
    void pull();
    QByteArray takePackets(int32_t length);

    std::shared_ptr<SimCounter> m_counter;
    BridgeOptions m_options;
    Stats& m_stats;

    int m_bridgeBaud = 9600;
    LineSettings m_line; // 9600 8N1 at power-up
    bool m_break = false;
    int m_latencyMs = kDefaultLatencyMs;
    uint8_t m_configuration = 0;

    std::deque<InRequest> m_in;
    QByteArray m_fifo;
    std::deque<bool> m_fifoMarks; // per character in m_fifo: received with a parity error
    bool m_overrun = false;
    qsizetype m_late = 0; // characters beyond the FIFO held while this emulation catches up
    double m_lastPacket = 0;
    qint64 m_streamCharacters = -1; // -1: no value stream is being counted
    qint64 m_dumpDelivered = -1; // -1: no dump is being counted
    double m_dumpStart = 0;
    bool m_wantsUnplug = false;
};

} // namespace oq::sim
