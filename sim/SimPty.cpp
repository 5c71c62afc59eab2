#include "SimPty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Clock.h"

namespace oq::sim {
namespace {

int baudOf(speed_t s)
{
    switch (s) {
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    default: return 0; // garbles like any other wrong speed
    }
}

// Longest real wait between looks at the counter, so a stop or unplug is noticed soon.
constexpr int kSliceMs = 20;

} // namespace

SimPty::SimPty(std::shared_ptr<SimCounter> counter)
    : m_counter(std::move(counter))
{
}

SimPty::~SimPty() { stop(); }

bool SimPty::start(QString* error)
{
    const auto fail = [error](const char* what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    if (m_master >= 0)
        return true;
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return fail("posix_openpt");
    char name[128];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 || ptsname_r(m_master, name, sizeof name) != 0)
        return fail("pseudo-terminal");
    m_path = QString::fromLocal8Bit(name);
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return fail("open");
    // Raw from the start: an echoing terminal would hand the counter's own lines back to it.
    termios t {};
    tcgetattr(m_slave, &t);
    cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARODD | CSTOPB | CRTSCTS)) | CS7 | PARENB | CLOCAL | CREAD;
    cfsetispeed(&t, B460800);
    cfsetospeed(&t, B460800);
    tcsetattr(m_slave, TCSANOW, &t);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_stop = false;
    m_thread = std::thread([this] { serve(); });
    return true;
}

void SimPty::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

int SimPty::terminalHeld() const
{
    int held = 0;
    return ::ioctl(m_slave, TIOCINQ, &held) == 0 ? held : 0;
}

void SimPty::serve()
{
    QByteArray fifo;    // the bridge's receive FIFO, filling while the driver is throttled
    QByteArray pending; // handed to the driver, not yet taken by the terminal
    bool throttled = false;
    int baud = -1;
    while (!m_stop) {
        int wait = kSliceMs;
        if (const auto next = m_counter->nextEvent())
            wait = std::clamp(oq::clock::scaledMs(*next - oq::clock::now()), 1, kSliceMs);
        pollfd p {m_master, short(POLLIN | (pending.isEmpty() ? 0 : POLLOUT)), 0};
        ::poll(&p, 1, pending.isEmpty() ? wait : 1);
        char buf[512];
        ssize_t n;
        QByteArray written;
        while ((n = ::read(m_master, buf, sizeof buf)) > 0)
            written += QByteArray(buf, qsizetype(n));
        // The speed is looked at after the read: a speed change followed at once by a write
        // (the usual order) then counts for the bytes written.
        termios t {};
        if (tcgetattr(m_master, &t) == 0 && baudOf(cfgetospeed(&t)) != baud) {
            baud = baudOf(cfgetospeed(&t));
            m_counter->hostConfigure(LineSettings::counter(baud));
        }
        if (!written.isEmpty())
            m_counter->hostWrite(written);
        if (!m_counter->plugged())
            break;

        if (throttled && terminalHeld() <= kUnthrottleHeld)
            throttled = false;
        // Everything on the wire since the last look: while throttled it arrived into the FIFO.
        const QByteArray arrived = m_counter->hostRead(SimCounter::kReceiveCapacity);
        if (throttled) {
            const qsizetype room = kBridgeFifo - fifo.size();
            fifo += arrived.left(room);
            m_lost += std::max<qsizetype>(0, arrived.size() - room);
        } else {
            pending += fifo;
            pending += arrived;
            fifo.clear();
        }
        if (!pending.isEmpty()) {
            n = ::write(m_master, pending.constData(), size_t(pending.size()));
            if (n > 0)
                pending.remove(0, qsizetype(n));
        }
        if (!throttled && terminalHeld() > kTerminalBuffer - kThrottleFree)
            throttled = true;
    }
    if (!m_stop) {
        // Pulled out: the other side sees the terminal hang up.
        m_hungUp = true;
        ::close(m_master);
        ::close(m_slave);
        m_master = m_slave = -1;
    }
}

} // namespace oq::sim
