#pragma once
// Keeps one open terminal drained: a thread of its own moves everything the kernel delivers into a
// bounded buffer, from which FT_GetQueueStatus, FT_Read and FT_Purge are answered (internal to
// device/).
//
// The kernel's line discipline holds at most 4,095 bytes; with fewer than 128 free it throttles the
// usb-serial driver, which stops reading the bridge, whose 256-byte FIFO then overflows (the line
// has no flow control). The vendor library drains USB continuously into a large buffer of its own;
// this does the same for the tty backend, so polling every 0.1 s loses nothing.
#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace oq::ft {

// Turns what a terminal in raw 7E1 with INPCK | PARMRK | ISTRIP delivers into the counter's
// characters: a byte marked as received with an error ("\377\0" before it) and any byte above
// 0x7F become "?", except a marked line end, which stays one. Keeps its state across chunks.
class TtyInputDecoder {
public:
    QByteArray decode(const char* bytes, qsizetype count);
    void reset() { m_state = Plain; }

private:
    enum State { Plain, Marked, MarkedZero };
    State m_state = Plain;
};

class TtyReceiver {
public:
    // At least a megabyte, as the vendor library's buffer; beyond it input is dropped and counted.
    static constexpr qsizetype kCapacity = qsizetype(1) << 20;

    // Starts reading `fd` (non-blocking, owned by the caller; it must outlive stop()). `name`
    // names the port in the log. `afterPoll`, for tests, runs between each poll and its read.
    TtyReceiver(int fd, QString name, std::function<void()> afterPoll = {});
    ~TtyReceiver();
    TtyReceiver(const TtyReceiver&) = delete;
    TtyReceiver& operator=(const TtyReceiver&) = delete;

    // Ends the thread; idempotent. Nothing is read from the descriptor afterwards.
    void stop();

    qsizetype available() const;
    // The terminal hung up or failed; what was received before stays readable.
    bool failed() const { return m_failed.load(); }
    // Moves up to `max` buffered bytes to `out`; returns how many.
    qsizetype take(char* out, qsizetype max);
    // Waits at most `realMs` for `count` bytes to be buffered, a failure or a stop.
    void waitFor(qsizetype count, int realMs);
    // Drops what is buffered and what the kernel holds.
    void purge();
    // Bytes dropped because the buffer was full.
    uint64_t dropped() const { return m_dropped.load(); }

private:
    void run();
    void deliver(const char* bytes, qsizetype count, uint64_t generation);

    const int m_fd;
    const QString m_name;
    const std::function<void()> m_afterPoll;
    int m_wake = -1; // eventfd that ends the thread's poll
    std::thread m_thread;
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_failed{false};
    std::atomic<uint64_t> m_dropped{0};
    // Bumped by purge(): bytes read before it are dropped even when they are stored after it.
    std::atomic<uint64_t> m_generation{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    QByteArray m_buffer;
    qsizetype m_head = 0; // taken bytes at the front of m_buffer
    bool m_overflowing = false;
    uint64_t m_droppedInEpisode = 0;
    TtyInputDecoder m_decoder;
};

} // namespace oq::ft
