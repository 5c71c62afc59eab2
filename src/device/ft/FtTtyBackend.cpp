// The `tty` backend: the kernel's FTDI serial driver (ftdi_sio gives /dev/ttyUSB*), or one given
// terminal device. Counters are found in sysfs: serial devices whose USB parent has the vendor and
// product set with FT_SetVIDPID (0403/d678 unless changed). Each open port is claimed for this
// program alone (TtyClaim.h) and kept drained by a receiver of its own (TtyReceiver.h).
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
#include "TtyClaim.h"
#include "TtyReceiver.h"
#include "UdevPending.h"
#include "logging/Log.h"
#include "platform/CLocale.h"
#include "platform/Clock.h"
#include "platform/UsbLocation.h"

namespace oq::ft {
namespace {

// Longest real wait inside one poll, so a close from another thread is noticed soon.
constexpr int kSliceMs = 50;
// Longest wait for udev to finish a freshly plugged tty before a refusal counts.
constexpr double kUdevWaitS = 5.0;

struct TtyDevice {
    QString path;
    QString sysName; // e.g. ttyUSB0; empty for a given port
    QString serial;
    QString description;
    quint32 location = 0;
};

struct TtyPort {
    ~TtyPort()
    {
        release();
        ::close(fd);
    }
    // Stops reading and gives the port up; the descriptor itself closes with the last user.
    void release()
    {
        if (receiver)
            receiver->stop();
        if (claimed.exchange(false))
            releasePort(fd);
    }
    int fd = -1;
    TtyDevice device;
    Timeouts timeouts;
    std::unique_ptr<TtyReceiver> receiver;
    std::atomic<bool> claimed{false};
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

struct Speed {
    ULONG baud;
    speed_t speed;
};
constexpr Speed kSpeeds[] = {{1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

speed_t speedOf(ULONG baud)
{
    for (const Speed& s : kSpeeds)
        if (s.baud == baud)
            return s.speed;
    return B0;
}

// "460800 baud 7E1": how the line is set, for the log and the user.
QString lineSettings(const termios& t)
{
    ULONG baud = 0;
    for (const Speed& s : kSpeeds)
        if (s.speed == cfgetospeed(&t))
            baud = s.baud;
    const tcflag_t size = t.c_cflag & CSIZE;
    const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const char parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    return QStringLiteral("%1 baud %2%3%4").arg(baud).arg(bits).arg(QLatin1Char(parity)).arg(t.c_cflag & CSTOPB ? 2 : 1);
}

// tcsetattr succeeds when the driver took any part of a change; only reading back shows a port
// that kept its own speed or data format.
bool sameLineSettings(const termios& a, const termios& b)
{
    constexpr tcflag_t kControl = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    constexpr tcflag_t kInput = IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP;
    return (a.c_cflag & kControl) == (b.c_cflag & kControl) && (a.c_iflag & kInput) == (b.c_iflag & kInput)
        && cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

std::mutex g_openFailureMutex;
OpenFailure g_openFailure;
// Each device opens on its own worker: this is the cause of its own last attempt.
thread_local OpenFailure t_openFailure;

// Retries of the same failure stay quiet: the log gets one line per change of cause.
void setOpenFailure(const OpenFailure& failure)
{
    t_openFailure = failure;
    {
        std::lock_guard lock(g_openFailureMutex);
        if (failure == g_openFailure)
            return;
        g_openFailure = failure;
    }
    if (failure.kind != OpenFailure::None)
        LGLogError("%@", failure.text);
}

void setOpenFailure(OpenFailure::Kind kind, const QString& path, const QString& text, const QString& detail = {})
{
    setOpenFailure(OpenFailure{kind, path, detail, text});
}

bool vanishedErrno(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EBADF || e == EPIPE; }

class TtyBackend final : public Backend {
public:
    TtyBackend(QStringList fixedPorts, QString sysfsRoot, QString devRoot)
        : m_fixedPorts(std::move(fixedPorts))
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
        *count = m_listed.refresh(scan());
        return FT_OK;
    }

    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* count) override
    {
        m_listed.fill(nodes, count, [this](FT_DEVICE_LIST_INFO_NODE& node, const TtyDevice& d) {
            fillNode(node, (m_vid.load() << 16) | (m_pid.load() & 0xFFFF), d.location, d.serial, d.description,
                openHandleFor(d.path));
        });
        return FT_OK;
    }

    FT_STATUS open(int index, FT_HANDLE* handle) override
    {
        const std::vector<TtyDevice> devices = scan();
        if (size_t(index) >= devices.size())
            return FT_DEVICE_NOT_FOUND;
        return openDevice(devices[size_t(index)], handle);
    }

    FT_STATUS openByLocation(DWORD location, FT_HANDLE* handle) override
    {
        for (const TtyDevice& d : scan()) {
            if (d.location == location)
                return openDevice(d, handle);
        }
        return FT_DEVICE_NOT_FOUND;
    }

    QString portOf(DWORD location) override
    {
        for (const TtyDevice& d : scan()) {
            if (d.location == location)
                return d.path;
        }
        return {};
    }

    FT_STATUS openDevice(const TtyDevice& d, FT_HANDLE* handle)
    {
        if (openHandleFor(d.path))
            return FT_DEVICE_NOT_OPENED;
        const QByteArray node = QFile::encodeName(d.path);
        int fd = ::open(node.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        int cause = fd < 0 ? errno : 0;
        // Opened at the plug-in, before udev set the node's group: refused for now, not for good.
        if ((cause == EACCES || cause == EPERM) && waitWhileUdevPending(d.sysName, kUdevWaitS)) {
            fd = ::open(node.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            cause = fd < 0 ? errno : 0;
        }
        if (fd < 0) {
            if (cause == ENOENT || cause == ENODEV || cause == ENXIO) {
                setOpenFailure(OpenFailure::Vanished, d.path, QStringLiteral("%1 is gone").arg(d.path));
                return FT_DEVICE_NOT_FOUND;
            }
            if (cause == EBUSY) // another program's TIOCEXCL
                reportInUse(d.path);
            else
                reportOpenFailure(d.path, cause);
            return FT_DEVICE_NOT_OPENED;
        }
        auto port = std::make_shared<TtyPort>();
        port->fd = fd;
        port->device = d;
        // Nothing is changed on the port before it is ours: another program may be talking over it.
        if (!claimPort(fd)) {
            reportInUse(d.path);
            return FT_DEVICE_NOT_OPENED;
        }
        port->claimed = true;
        // The vendor library's defaults: raw 9600 8N1, no flow control.
        termios t {};
        if (tcgetattr(fd, &t) != 0) {
            setOpenFailure(OpenFailure::NotATerminal, d.path, QStringLiteral("Cannot open %1: not a terminal").arg(d.path));
            return FT_DEVICE_NOT_OPENED; // the port closes the descriptor
        }
        cfmakeraw(&t);
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS)) | CS8 | CLOCAL | CREAD;
        t.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        if (tcsetattr(fd, TCSANOW, &t) != 0) {
            setOpenFailure(OpenFailure::NotATerminal, d.path, QStringLiteral("Cannot open %1: not a terminal").arg(d.path));
            return FT_DEVICE_NOT_OPENED;
        }
        setOpenFailure({});
        port->receiver = std::make_unique<TtyReceiver>(fd, d.path);
        *handle = m_ports.add(std::move(port));
        return FT_OK;
    }

    FT_STATUS close(FT_HANDLE handle) override
    {
        const auto port = m_ports.take(handle);
        if (!port)
            return FT_INVALID_HANDLE;
        port->closed = true; // a read in progress returns; the descriptor closes with the last user
        port->release();
        return FT_OK;
    }

    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override
    {
        return withPort(handle, [mask](TtyPort& p) -> FT_STATUS {
            if (mask & FT_PURGE_RX)
                p.receiver->purge();
            if ((mask & FT_PURGE_TX) && tcflush(p.fd, TCOFLUSH) != 0)
                return failed(p);
            return p.receiver->failed() ? failed(p) : FT_OK;
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
            // Only root may write it: the udev rule sets it, and a port it has not seen is logged once.
            if (p.device.sysName.isEmpty())
                return FT_OK;
            const QString path = m_sysfs + QStringLiteral("/class/tty/") + p.device.sysName + QStringLiteral("/device/latency_timer");
            const QString current = readAttribute(QFileInfo(path).path(), "latency_timer");
            if (current.isEmpty() || current.toInt() == ms)
                return FT_OK;
            QFile f(path);
            if (f.open(QIODevice::WriteOnly) && f.write(QByteArray::number(ms) + '\n') > 0 && f.flush())
                return FT_OK;
            static std::atomic<bool> logged{false};
            if (!logged.exchange(true))
                LGLogWarn("cannot set the latency timer of %@ to %d ms (it is %@ ms): %@; the udev rule 70-oq-counter.rules sets it",
                    p.device.sysName, int(ms), current, f.errorString());
            return FT_OK;
        });
    }

    FT_STATUS setBaudRate(FT_HANDLE handle, ULONG baud) override
    {
        const speed_t speed = speedOf(baud);
        if (speed == B0)
            return m_ports.get(handle) ? FT_INVALID_BAUD_RATE : FT_INVALID_HANDLE;
        return changeTermios(
            handle, [speed](termios& t) -> bool { return cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0; },
            FT_INVALID_BAUD_RATE);
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
            t.c_iflag &= ~(ISTRIP | INPCK | PARMRK | IGNPAR);
            t.c_cflag |= bits == FT_BITS_7 ? CS7 : CS8;
            if (stopBits == FT_STOP_BITS_2)
                t.c_cflag |= CSTOPB;
            // Seven bits arrive stripped; a character with a parity or framing error arrives marked
            // ("\377\0" before it) and the receiver turns it into "?".
            if (bits == FT_BITS_7)
                t.c_iflag |= ISTRIP;
            if (parity != FT_PARITY_NONE) {
                t.c_cflag |= PARENB | (parity == FT_PARITY_ODD ? PARODD : 0);
                t.c_iflag |= INPCK | PARMRK;
            }
            return true;
        });
    }

    FT_STATUS getQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override
    {
        return withPort(handle, [rxBytes](TtyPort& p) -> FT_STATUS {
            const qsizetype n = p.receiver->available();
            if (n > 0) {
                *rxBytes = DWORD(n);
                return FT_OK;
            }
            return p.receiver->failed() ? failed(p) : FT_OK;
        });
    }

    FT_STATUS read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* returned) override
    {
        return withPort(handle, [&](TtyPort& p) -> FT_STATUS {
            auto* out = static_cast<char*>(buffer);
            const double deadline = oq::clock::now() + p.timeouts.readMs / 1000.0;
            for (;;) {
                // The receiver stores everything before it reports a hang-up.
                const bool hungUp = p.receiver->failed();
                *returned += DWORD(p.receiver->take(out + *returned, qsizetype(count - *returned)));
                if (*returned >= count)
                    return FT_OK;
                if (p.closed)
                    return FT_INVALID_HANDLE;
                if (hungUp)
                    return failed(p);
                const int left = oq::clock::scaledMs(deadline - oq::clock::now());
                if (left <= 0)
                    return FT_OK; // time-out: fewer bytes than asked
                p.receiver->waitFor(qsizetype(count - *returned), std::min(left, kSliceMs));
            }
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
        const QString reason = QString::fromLocal8Bit(oq::cStrerror(cause));
        QString text = QStringLiteral("Cannot open %1: %2").arg(path, reason);
        QString groupName;
        if (cause == EACCES || cause == EPERM) {
            struct stat st {};
            group entry {}, *g = nullptr;
            char buffer[4096];
            if (::stat(QFile::encodeName(path).constData(), &st) == 0)
                ::getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &g);
            // Joining root's group is no advice to give; then only the udev rule can help.
            if (g && st.st_gid != 0) {
                groupName = QString::fromLocal8Bit(g->gr_name);
                text += QStringLiteral(". Members of the group \"%1\" may use it: sudo usermod -aG %1 $USER, then log in "
                                       "again.").arg(groupName);
            }
            setOpenFailure(OpenFailure::PermissionDenied, path, text, groupName);
            return;
        }
        setOpenFailure(OpenFailure::Other, path, text, reason);
    }

    static void reportInUse(const QString& path)
    {
        const QString holder = portHolder(path);
        setOpenFailure(OpenFailure::InUse, path,
            holder.isEmpty() ? QStringLiteral("%1 is in use by another program").arg(path)
                             : QStringLiteral("%1 is in use by %2").arg(path, holder),
            holder);
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

    // Applies `change` and reads the result back; `refused` when the port kept other settings.
    template <class F>
    FT_STATUS changeTermios(FT_HANDLE handle, F change, FT_STATUS refused = FT_INVALID_PARAMETER)
    {
        return withPort(handle, [&change, refused](TtyPort& p) -> FT_STATUS {
            termios t {};
            if (tcgetattr(p.fd, &t) != 0)
                return failed(p);
            if (!change(t))
                return FT_INVALID_PARAMETER;
            // EINVAL: the port took none of it (a pseudo-terminal told parity twice); what it kept
            // decides below.
            if (tcsetattr(p.fd, TCSANOW, &t) != 0 && errno != EINVAL)
                return vanishedErrno(errno) ? failed(p) : FT_IO_ERROR;
            termios kept {};
            if (tcgetattr(p.fd, &kept) != 0)
                return failed(p);
            // A pseudo-terminal (oq-counter-sim's) has no line: it keeps 8N1 whatever it is told,
            // and the bytes pass all the same. A port the system lists as a device must obey.
            if (sameLineSettings(t, kept) || p.device.sysName.isEmpty())
                return FT_OK;
            const QString detail = QStringLiteral("asked for %1, it kept %2").arg(lineSettings(t), lineSettings(kept));
            setOpenFailure(OpenFailure::LineSettingsRefused, p.device.path,
                QStringLiteral("%1 refused the line settings: %2").arg(p.device.path, detail), detail);
            return refused;
        });
    }

    FT_HANDLE openHandleFor(const QString& path) const
    {
        return m_ports.find([&path](const TtyPort& p) { return !p.closed && p.device.path == path; });
    }

    std::vector<TtyDevice> scan() const
    {
        std::vector<TtyDevice> found;
        if (!m_fixedPorts.isEmpty()) {
            // Several given ports need locations of their own to be opened by location.
            for (qsizetype i = 0; i < m_fixedPorts.size(); ++i) {
                const QString& port = m_fixedPorts[i];
                if (!QFileInfo::exists(port))
                    continue;
                // A given /dev/ttyUSB0 still has its latency timer in sysfs.
                QString sysName = QFileInfo(QFileInfo(port).canonicalFilePath()).fileName();
                if (!QFileInfo::exists(m_sysfs + QStringLiteral("/class/tty/") + sysName))
                    sysName.clear();
                found.push_back({port, sysName, {}, QStringLiteral("Serial port"), m_fixedPorts.size() > 1 ? quint32(i + 1) : 0});
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
                    // Named as the hot-plug watch names it, so an arrival finds its port.
                    const quint32 location = usbLocationIdOfSysName(QFileInfo(dir).fileName()).value_or(0);
                    found.push_back({m_dev + QLatin1Char('/') + name, name, readAttribute(dir, "serial"),
                        readAttribute(dir, "product"), location});
                }
                break;
            }
        }
        return found;
    }

    const QStringList m_fixedPorts;
    const QString m_sysfs;
    const QString m_dev;
    std::atomic<DWORD> m_vid{0x0403};
    std::atomic<DWORD> m_pid{0xD678};
    HandleTable<TtyPort> m_ports;
    DeviceList<TtyDevice> m_listed;
};

} // namespace

OpenFailure lastOpenFailureDetails()
{
    std::lock_guard lock(g_openFailureMutex);
    return g_openFailure;
}

QString lastOpenFailure() { return lastOpenFailureDetails().text; }

OpenFailure openFailureOnThisThread() { return t_openFailure; }

std::shared_ptr<Backend> makeTtyBackend(const QString& fixedPort, const QString& sysfsRoot, const QString& devRoot)
{
    return std::make_shared<TtyBackend>(fixedPort.isEmpty() ? QStringList() : QStringList{fixedPort}, sysfsRoot, devRoot);
}

std::shared_ptr<Backend> makeTtyBackend(const QString& fixedPort) { return makeTtyBackend(fixedPort, {}, {}); }

std::shared_ptr<Backend> makeTtyBackend(const QStringList& fixedPorts)
{
    return std::make_shared<TtyBackend>(fixedPorts, QString(), QString());
}

} // namespace oq::ft
