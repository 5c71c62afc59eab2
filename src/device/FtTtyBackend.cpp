// The `tty` backend: the kernel's FTDI serial driver (ftdi_sio gives /dev/ttyUSB*), or one given
// terminal device. Counters are found in sysfs: serial devices whose USB parent has the vendor and
// product set with FT_SetVIDPID (0403/d678 unless changed).
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "FtBackend.h"
#include "FtHandles.h"
#include "logging/Log.h"
#include "platform/CLocale.h"
#include "platform/Clock.h"

namespace oq::ft {
namespace {

// Longest real wait inside one poll, so a close from another thread is noticed soon.
constexpr int kSliceMs = 50;

struct TtyDevice {
    QString path;
    QString sysName; // e.g. ttyUSB0; empty for a given port
    QString serial;
    QString description;
    quint32 location = 0;
};

struct TtyPort {
    ~TtyPort() { ::close(fd); }
    int fd = -1;
    TtyDevice device;
    Timeouts timeouts;
    std::atomic<bool> dead{false};
    std::atomic<bool> closed{false};
};

QString readAttribute(const QString& dir, const char* name)
{
    QFile f(dir + QLatin1Char('/') + QLatin1String(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).trimmed();
}

speed_t speedOf(ULONG baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
    }
}

std::mutex g_openFailureMutex;
QString g_openFailure;

void setOpenFailure(const QString& text)
{
    std::lock_guard lock(g_openFailureMutex);
    g_openFailure = text;
}

bool vanishedErrno(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EBADF || e == EPIPE; }

class TtyBackend final : public Backend {
public:
    TtyBackend(QString fixedPort, QString sysfsRoot, QString devRoot)
        : m_fixedPort(std::move(fixedPort))
        , m_sysfs(sysfsRoot.isEmpty() ? QStringLiteral("/sys") : std::move(sysfsRoot))
        , m_dev(devRoot.isEmpty() ? QStringLiteral("/dev") : std::move(devRoot))
    {
    }

    const char* name() const override { return "tty"; }

    FT_STATUS setVidPid(DWORD vid, DWORD pid) override
    {
        m_vid = vid;
        m_pid = pid;
        return FT_OK;
    }

    FT_STATUS createDeviceInfoList(DWORD* count) override
    {
        std::lock_guard lock(m_listMutex);
        m_listed = scan();
        *count = DWORD(m_listed.size());
        return FT_OK;
    }

    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* count) override
    {
        std::lock_guard lock(m_listMutex);
        const DWORD n = std::min<DWORD>(*count, DWORD(m_listed.size()));
        for (DWORD i = 0; i < n; ++i) {
            const TtyDevice& d = m_listed[i];
            fillNode(nodes[i], (m_vid.load() << 16) | (m_pid.load() & 0xFFFF), d.location, d.serial, d.description,
                openHandleFor(d.path));
        }
        *count = n;
        return FT_OK;
    }

    FT_STATUS open(int index, FT_HANDLE* handle) override
    {
        const std::vector<TtyDevice> devices = scan();
        if (size_t(index) >= devices.size())
            return FT_DEVICE_NOT_FOUND;
        const TtyDevice& d = devices[size_t(index)];
        if (openHandleFor(d.path))
            return FT_DEVICE_NOT_OPENED;
        const int fd = ::open(QFile::encodeName(d.path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int cause = errno;
            if (cause == ENOENT || cause == ENODEV || cause == ENXIO)
                return FT_DEVICE_NOT_FOUND;
            reportOpenFailure(d.path, cause);
            return FT_DEVICE_NOT_OPENED;
        }
        setOpenFailure({});
        auto port = std::make_shared<TtyPort>();
        port->fd = fd;
        port->device = d;
        // The vendor library's defaults: raw 9600 8N1, no flow control.
        termios t {};
        if (tcgetattr(fd, &t) != 0)
            return FT_DEVICE_NOT_OPENED; // not a terminal; the port closes the descriptor
        cfmakeraw(&t);
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS)) | CS8 | CLOCAL | CREAD;
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        if (tcsetattr(fd, TCSANOW, &t) != 0)
            return FT_DEVICE_NOT_OPENED;
        *handle = m_ports.add(std::move(port));
        return FT_OK;
    }

    FT_STATUS close(FT_HANDLE handle) override
    {
        const auto port = m_ports.take(handle);
        if (!port)
            return FT_INVALID_HANDLE;
        port->closed = true; // a read in progress returns; the descriptor closes with the last user
        return FT_OK;
    }

    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override
    {
        return withPort(handle, [mask](TtyPort& p) -> FT_STATUS {
            const int which = (mask & FT_PURGE_RX) && (mask & FT_PURGE_TX) ? TCIOFLUSH : (mask & FT_PURGE_RX) ? TCIFLUSH : TCOFLUSH;
            if (!(mask & (FT_PURGE_RX | FT_PURGE_TX)))
                return FT_OK;
            return tcflush(p.fd, which) == 0 ? FT_OK : failed(p);
        });
    }

    FT_STATUS setFlowControl(FT_HANDLE handle, USHORT flow, UCHAR, UCHAR) override
    {
        if (flow != FT_FLOW_NONE)
            return m_ports.get(handle) ? FT_INVALID_PARAMETER : FT_INVALID_HANDLE;
        return changeTermios(handle, [](termios& t) -> bool {
            t.c_cflag &= ~CRTSCTS;
            t.c_iflag &= ~(IXON | IXOFF | IXANY);
            return true;
        });
    }

    FT_STATUS setLatencyTimer(FT_HANDLE handle, UCHAR ms) override
    {
        return withPort(handle, [this, ms](TtyPort& p) -> FT_STATUS {
            if (ms < 1)
                return FT_INVALID_PARAMETER;
            // ftdi_sio offers the timer as a sysfs attribute; other drivers have none, which is fine.
            if (!p.device.sysName.isEmpty()) {
                QFile f(m_sysfs + QStringLiteral("/class/tty/") + p.device.sysName + QStringLiteral("/device/latency_timer"));
                if (f.open(QIODevice::WriteOnly))
                    f.write(QByteArray::number(ms) + '\n');
            }
            return FT_OK;
        });
    }

    FT_STATUS setBaudRate(FT_HANDLE handle, ULONG baud) override
    {
        const speed_t speed = speedOf(baud);
        if (speed == B0)
            return m_ports.get(handle) ? FT_INVALID_BAUD_RATE : FT_INVALID_HANDLE;
        return changeTermios(handle, [speed](termios& t) -> bool { return cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0; });
    }

    FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) override
    {
        return withPort(handle, [readMs, writeMs](TtyPort& p) -> FT_STATUS {
            p.timeouts.set(readMs, writeMs);
            return FT_OK;
        });
    }

    FT_STATUS setDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stopBits, UCHAR parity) override
    {
        if ((bits != FT_BITS_7 && bits != FT_BITS_8) || (stopBits != FT_STOP_BITS_1 && stopBits != FT_STOP_BITS_2) || parity > FT_PARITY_EVEN)
            return m_ports.get(handle) ? FT_INVALID_PARAMETER : FT_INVALID_HANDLE;
        return changeTermios(handle, [=](termios& t) -> bool {
            t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
            t.c_cflag |= bits == FT_BITS_7 ? CS7 : CS8;
            if (stopBits == FT_STOP_BITS_2)
                t.c_cflag |= CSTOPB;
            if (parity != FT_PARITY_NONE)
                t.c_cflag |= PARENB | (parity == FT_PARITY_ODD ? PARODD : 0);
            return true;
        });
    }

    FT_STATUS getQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override
    {
        return withPort(handle, [rxBytes](TtyPort& p) -> FT_STATUS {
            int n = 0;
            const bool counted = ioctl(p.fd, FIONREAD, &n) == 0;
            if (counted && n > 0) {
                *rxBytes = DWORD(n);
                return FT_OK;
            }
            // A device that went away shows as a hang-up; FIONREAD alone may still answer 0.
            pollfd pf {p.fd, POLLIN, 0};
            if (!counted || ::poll(&pf, 1, 0) < 0 || (pf.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return failed(p);
            return FT_OK;
        });
    }

    FT_STATUS read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* returned) override
    {
        return withPort(handle, [&](TtyPort& p) -> FT_STATUS {
            auto* out = static_cast<char*>(buffer);
            const double deadline = oq::clock::now() + p.timeouts.readMs / 1000.0;
            bool readable = false; // the last poll said so
            while (*returned < count) {
                // With VMIN 0 a read gives 0 both for "nothing yet" and for a hang-up; after a poll
                // that reported input it can only be the hang-up.
                const ssize_t n = ::read(p.fd, out + *returned, count - *returned);
                if (n > 0) {
                    *returned += DWORD(n);
                    readable = false;
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if ((n < 0 && errno != EAGAIN) || (n == 0 && readable))
                    return failed(p);
                if (p.closed)
                    return FT_INVALID_HANDLE;
                const int left = oq::clock::scaledMs(deadline - oq::clock::now());
                if (left <= 0)
                    break; // time-out: fewer bytes than asked
                pollfd pf {p.fd, POLLIN, 0};
                const int r = ::poll(&pf, 1, std::min(left, kSliceMs));
                if (r < 0 && errno != EINTR)
                    return failed(p);
                if (r > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pf.revents & POLLIN))
                    return failed(p);
                readable = r > 0 && (pf.revents & POLLIN);
            }
            return FT_OK;
        });
    }

    FT_STATUS write(FT_HANDLE handle, const void* buffer, DWORD count, DWORD* written) override
    {
        return withPort(handle, [&](TtyPort& p) -> FT_STATUS {
            const auto* in = static_cast<const char*>(buffer);
            const double deadline = oq::clock::now() + p.timeouts.writeMs / 1000.0;
            while (*written < count) {
                const ssize_t n = ::write(p.fd, in + *written, count - *written);
                if (n > 0) {
                    *written += DWORD(n);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && errno != EAGAIN)
                    return failed(p);
                const int left = oq::clock::scaledMs(deadline - oq::clock::now());
                // A write that cannot go out in time is a failure, not a success with fewer bytes.
                if (left <= 0 || p.closed)
                    return FT_IO_ERROR;
                pollfd pf {p.fd, POLLOUT, 0};
                if (::poll(&pf, 1, std::min(left, kSliceMs)) > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL)))
                    return failed(p);
            }
            return FT_OK;
        });
    }

private:
    // The driver status says only "not opened"; the cause is what a user can act on. A port
    // that denies access is the usual case on a box without a local seat, where the udev rule's
    // seat access does not apply and the port's group decides.
    static void reportOpenFailure(const QString& path, int cause)
    {
        QString text = QStringLiteral("Cannot open %1: %2").arg(path, QString::fromLocal8Bit(oq::cStrerror(cause)));
        if (cause == EACCES || cause == EPERM) {
            struct stat st {};
            group entry {}, *g = nullptr;
            char buffer[4096];
            if (::stat(QFile::encodeName(path).constData(), &st) == 0)
                ::getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &g);
            // Joining root's group is no advice to give; then only the udev rule can help.
            if (g && st.st_gid != 0) {
                const QString name = QString::fromLocal8Bit(g->gr_name);
                text += QStringLiteral(". Members of the group \"%1\" may use it: sudo usermod -aG %1 $USER, then log in "
                                       "again.").arg(name);
            }
        }
        LGLogError("%@", text);
        setOpenFailure(text);
    }

    static FT_STATUS failed(TtyPort& p)
    {
        p.dead = true;
        return FT_IO_ERROR;
    }

    template <class F>
    FT_STATUS withPort(FT_HANDLE handle, F f)
    {
        const auto port = m_ports.get(handle);
        if (!port)
            return FT_INVALID_HANDLE;
        if (port->dead)
            return FT_IO_ERROR;
        return f(*port);
    }

    template <class F>
    FT_STATUS changeTermios(FT_HANDLE handle, F change)
    {
        return withPort(handle, [&change](TtyPort& p) -> FT_STATUS {
            termios t {};
            if (tcgetattr(p.fd, &t) != 0)
                return failed(p);
            if (!change(t))
                return FT_INVALID_PARAMETER;
            if (tcsetattr(p.fd, TCSANOW, &t) != 0)
                return vanishedErrno(errno) ? failed(p) : FT_IO_ERROR;
            return FT_OK;
        });
    }

    FT_HANDLE openHandleFor(const QString& path) const
    {
        return m_ports.find([&path](const TtyPort& p) { return !p.closed && p.device.path == path; });
    }

    std::vector<TtyDevice> scan() const
    {
        std::vector<TtyDevice> found;
        if (!m_fixedPort.isEmpty()) {
            if (QFileInfo::exists(m_fixedPort)) {
                // A given /dev/ttyUSB0 still has its latency timer in sysfs.
                QString sysName = QFileInfo(QFileInfo(m_fixedPort).canonicalFilePath()).fileName();
                if (!QFileInfo::exists(m_sysfs + QStringLiteral("/class/tty/") + sysName))
                    sysName.clear();
                found.push_back({m_fixedPort, sysName, {}, QStringLiteral("Serial port"), 0});
            }
            return found;
        }
        const QString vid = QStringLiteral("%1").arg(m_vid.load(), 4, 16, QLatin1Char('0'));
        const QString pid = QStringLiteral("%1").arg(m_pid.load(), 4, 16, QLatin1Char('0'));
        const QDir ttys(m_sysfs + QStringLiteral("/class/tty"));
        for (const QString& name : ttys.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
            // Walk up from the serial device to the USB device that carries the ids.
            QString dir = QFileInfo(ttys.filePath(name) + QStringLiteral("/device")).canonicalFilePath();
            for (int depth = 0; !dir.isEmpty() && depth < 8; ++depth, dir = QFileInfo(dir).path()) {
                if (!QFileInfo::exists(dir + QStringLiteral("/idVendor")))
                    continue;
                if (readAttribute(dir, "idVendor").compare(vid, Qt::CaseInsensitive) == 0
                    && readAttribute(dir, "idProduct").compare(pid, Qt::CaseInsensitive) == 0) {
                    const quint32 bus = readAttribute(dir, "busnum").toUInt();
                    const quint32 dev = readAttribute(dir, "devnum").toUInt();
                    found.push_back({m_dev + QLatin1Char('/') + name, name, readAttribute(dir, "serial"),
                        readAttribute(dir, "product"), (bus << 16) | dev});
                }
                break;
            }
        }
        return found;
    }

    const QString m_fixedPort;
    const QString m_sysfs;
    const QString m_dev;
    std::atomic<DWORD> m_vid{0x0403};
    std::atomic<DWORD> m_pid{0xD678};
    HandleTable<TtyPort> m_ports;
    std::mutex m_listMutex;
    std::vector<TtyDevice> m_listed;
};

} // namespace

QString lastOpenFailure()
{
    std::lock_guard lock(g_openFailureMutex);
    return g_openFailure;
}

std::shared_ptr<Backend> makeTtyBackend(const QString& fixedPort, const QString& sysfsRoot, const QString& devRoot)
{
    return std::make_shared<TtyBackend>(fixedPort, sysfsRoot, devRoot);
}

std::shared_ptr<Backend> makeTtyBackend(const QString& fixedPort) { return makeTtyBackend(fixedPort, {}, {}); }

} // namespace oq::ft
