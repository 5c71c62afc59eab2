#include "SimUsbIp.h"

#include <QFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Clock.h"

namespace oq::sim {
namespace {

// Longest real wait between looks at the counter, so its own faults (an unplug) act soon.
constexpr int kSliceMs = 20;
// A port the kernel is still releasing after an unplug refuses an attach for a moment.
constexpr int kAttachTries = 40;
constexpr int kAttachRetryMs = 50;
constexpr int kVdevStateFree = 4;

QString errnoText(const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// The first free port of the full-speed hub in vhci-hcd's status table, or -1.
int freePort()
{
    QFile status(QStringLiteral("%1/status").arg(QLatin1String(SimUsbIp::kVhciPath)));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 3 && f[0] == "hs" && f[2].toInt() == kVdevStateFree)
            return f[1].toInt();
    }
    return -1;
}

// `port` -1: the first free one, chosen again when another bridge (of this program or another
// one plugging in at the same moment) took it first. Returns the port attached at, or -1.
int writeAttach(int port, int sockfd, QString* error)
{
    const bool anyPort = port < 0;
    const QByteArray path = QByteArray(SimUsbIp::kVhciPath) + "/attach";
    for (int attempt = 0;; ++attempt) {
        const int at = anyPort ? freePort() : port;
        if (at < 0) {
            if (error)
                *error = QStringLiteral("no free full-speed port in %1/status (is vhci-hcd loaded?)").arg(QLatin1String(SimUsbIp::kVhciPath));
            return -1;
        }
        const QByteArray line = QByteArray::number(at) + ' ' + QByteArray::number(sockfd) + ' '
            + QByteArray::number((1u << 16) | unsigned(at + 2)) + " 2"; // full speed
        const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            if (error)
                *error = errnoText(path.constData());
            return -1;
        }
        const ssize_t n = ::write(fd, line.constData(), size_t(line.size()));
        const int saved = errno;
        ::close(fd);
        if (n == line.size())
            return at;
        errno = saved;
        // A port still being released says EINVAL ("already used"); our own line is well formed.
        if ((saved != EBUSY && saved != EINVAL) || attempt + 1 >= kAttachTries) {
            if (error)
                *error = errnoText("attach");
            return -1;
        }
        QThread::msleep(kAttachRetryMs);
    }
}

// False when the host is gone or an unplug was asked for while the host did not read.
bool sendAll(int fd, int wake, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 2, kSliceMs) > 0 && (p[1].revents & POLLIN))
            return false;
    }
    return true;
}

} // namespace

SimUsbIp::SimUsbIp(std::shared_ptr<SimCounter> counter, BridgeOptions options)
    : m_counter(std::move(counter))
    , m_options(std::move(options))
{
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_counter->setUnplugHandler([this] {
        // Runs on the session's own thread (inside a counter call): only mark it.
        m_unplugRequested = true;
    });
}

SimUsbIp::~SimUsbIp()
{
    unplug();
    m_counter->setUnplugHandler({});
    if (m_wake >= 0)
        ::close(m_wake);
}

void SimUsbIp::join()
{
    if (!m_thread.joinable())
        return;
    m_unplugRequested = true;
    const uint64_t one = 1;
    if (::write(m_wake, &one, sizeof one) < 0) {
        // The session still sees the flag within its slice.
    }
    m_thread.join();
    uint64_t drained = 0;
    if (::read(m_wake, &drained, sizeof drained) < 0) {
        // Nothing was pending.
    }
}

void SimUsbIp::serve(int fd)
{
    std::lock_guard lock(m_control);
    join();
    m_counter->replug(); // powered up by the plug-in
    m_unplugRequested = false;
    m_serving = true;
    m_thread = std::thread([this, fd] {
        pthread_setname_np(pthread_self(), "OQSimUsbIp");
        run(fd);
    });
}

bool SimUsbIp::attach(int port, QString* error)
{
    unplug();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        if (error)
            *error = errnoText("socketpair");
        return false;
    }
    // The kernel's end must be a socket of this process when the attach is written; the kernel
    // then holds it, and ours can go.
    const int at = writeAttach(port, pair[1], error);
    ::close(pair[1]);
    if (at < 0) {
        ::close(pair[0]);
        return false;
    }
    m_port = at;
    serve(pair[0]);
    return true;
}

bool SimUsbIp::replug(QString* error)
{
    if (m_port < 0) {
        if (error)
            *error = QStringLiteral("never attached");
        return false;
    }
    return attach(m_port, error);
}

void SimUsbIp::unplug()
{
    std::lock_guard lock(m_control);
    join();
}

void SimUsbIp::run(int fd)
{
    SimFtBridge bridge(m_counter, m_options, m_stats);
    usbip::RequestReader reader;
    QByteArray out;
    char buf[16384];
    while (!m_unplugRequested && !bridge.wantsUnplug()) {
        int wait = kSliceMs;
        if (const auto due = bridge.nextDue())
            wait = std::clamp(oq::clock::scaledMs(*due - oq::clock::now()), 1, kSliceMs);
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
        if (::poll(p, 2, wait) < 0 && errno != EINTR)
            break;
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break; // the host let go: detached
            if (n > 0)
                reader.feed(buf, n);
        }
        while (const auto request = reader.next())
            bridge.handle(*request, out);
        if (reader.broken())
            break;
        bridge.service(out);
        if (!out.isEmpty() && !sendAll(fd, m_wake, std::exchange(out, {})))
            break;
    }
    ::close(fd);
    m_serving = false;
    m_counter->unplug();
}

} // namespace oq::sim
