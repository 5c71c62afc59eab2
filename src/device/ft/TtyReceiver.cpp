#include "TtyReceiver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include "logging/Log.h"

namespace oq::ft {

QByteArray TtyInputDecoder::decode(const char* bytes, qsizetype count)
{
    QByteArray out;
    out.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (m_state) {
        case Plain:
            if (c == 0xFF)
                m_state = Marked;
            else
                out += c > 0x7F ? '?' : char(c);
            break;
        case Marked:
            if (c == 0x00) {
                m_state = MarkedZero;
                break;
            }
            // A lone 0xFF was noise of its own.
            out += '?';
            m_state = Plain;
            --i;
            break;
        case MarkedZero:
            // The driver flags every character of the packet an error came in: a line end there
            // still ends its line, or one noisy bit would merge two lines.
            out += c == '\r' || c == '\n' ? char(c) : '?';
            m_state = Plain;
            break;
        }
    }
    return out;
}

TtyReceiver::TtyReceiver(int fd, QString name, std::function<void()> afterPoll)
    : m_fd(fd)
    , m_name(std::move(name))
    , m_afterPoll(std::move(afterPoll))
{
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "OQTtyReceiver");
        run();
    });
}

TtyReceiver::~TtyReceiver()
{
    stop();
    if (m_wake >= 0)
        ::close(m_wake);
}

void TtyReceiver::stop()
{
    if (m_stopped.exchange(true))
        return;
    const uint64_t one = 1;
    if (m_wake >= 0 && ::write(m_wake, &one, sizeof one) < 0) {
        // The thread still sees the flag within its poll's slice.
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    m_arrived.notify_all();
}

void TtyReceiver::run()
{
    // Without the eventfd the poll wakes up now and then to look at the stop flag.
    const int slice = m_wake >= 0 ? -1 : 50;
    char chunk[4096];
    while (!m_stopped.load()) {
        pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
        const int r = ::poll(p, m_wake >= 0 ? 2 : 1, slice);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || (p[0].revents & POLLNVAL))
            break;
        if (r == 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const uint64_t generation = m_generation.load();
        if (m_afterPoll)
            m_afterPoll();
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            deliver(chunk, qsizetype(n), generation);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // With VMIN and VTIME 0 an empty read is no hang-up: a purge may have emptied the queue
        // since the poll. Only the poll's hang-up or error, or a failing read, says the port is gone.
        if (n == 0 && !(p[0].revents & (POLLHUP | POLLERR)))
            continue;
        break;
    }
    if (!m_stopped.load()) {
        std::lock_guard lock(m_mutex);
        m_failed = true;
        m_arrived.notify_all();
    }
}

void TtyReceiver::deliver(const char* bytes, qsizetype count, uint64_t generation)
{
    std::lock_guard lock(m_mutex);
    if (generation != m_generation.load())
        return;
    const QByteArray text = m_decoder.decode(bytes, count);
    const qsizetype held = m_buffer.size() - m_head;
    if (m_head > 0 && m_buffer.size() + text.size() > kCapacity) {
        m_buffer.remove(0, m_head);
        m_head = 0;
    }
    const qsizetype room = std::max<qsizetype>(0, kCapacity - held);
    const qsizetype kept = std::min(room, text.size());
    m_buffer.append(text.constData(), kept);
    if (kept < text.size()) {
        const uint64_t lost = uint64_t(text.size() - kept);
        m_dropped += lost;
        m_droppedInEpisode += lost;
        if (!m_overflowing)
            LGLogWarn("receive buffer of %@ full (%lld bytes): input is dropped until it is read", m_name,
                static_cast<long long>(kCapacity));
        m_overflowing = true;
    } else if (m_overflowing) {
        LGLogWarn("receive buffer of %@: %llu bytes were dropped", m_name, static_cast<unsigned long long>(m_droppedInEpisode));
        m_overflowing = false;
        m_droppedInEpisode = 0;
    }
    if (kept > 0)
        m_arrived.notify_all();
}

qsizetype TtyReceiver::available() const
{
    std::lock_guard lock(m_mutex);
    return m_buffer.size() - m_head;
}

qsizetype TtyReceiver::take(char* out, qsizetype max)
{
    std::lock_guard lock(m_mutex);
    const qsizetype n = std::min(max, m_buffer.size() - m_head);
    if (n <= 0)
        return 0;
    std::memcpy(out, m_buffer.constData() + m_head, size_t(n));
    m_head += n;
    if (m_head == m_buffer.size()) {
        m_buffer.clear();
        m_head = 0;
    } else if (m_head > (qsizetype(1) << 16) && m_head > m_buffer.size() / 2) {
        m_buffer.remove(0, m_head);
        m_head = 0;
    }
    return n;
}

void TtyReceiver::waitFor(qsizetype count, int realMs)
{
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, std::chrono::milliseconds(std::max(realMs, 0)),
        [&] { return m_buffer.size() - m_head >= count || m_failed.load() || m_stopped.load(); });
}

void TtyReceiver::purge()
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    tcflush(m_fd, TCIFLUSH);
    m_buffer.clear();
    m_head = 0;
    m_decoder.reset();
}

} // namespace oq::ft
