#include "TtyClaim.h"

#include <QFile>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace oq::ft {
namespace {

// The program's own name; the kernel's short name (15 characters) when its command line is hidden.
QString processName(long pid)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray program = cmdline.readAll().split('\0').value(0);
        if (!program.isEmpty())
            return QString::fromLocal8Bit(program.mid(program.lastIndexOf('/') + 1));
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

QString describe(long pid)
{
    const QString name = processName(pid);
    return name.isEmpty() ? QStringLiteral("pid %1").arg(pid) : QStringLiteral("%1 (pid %2)").arg(name).arg(pid);
}

// "1: FLOCK  ADVISORY  WRITE 1234 00:06:3 0 EOF"; waiters carry "->" after the number.
long lockHolder(const struct stat& node)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QString file = QStringLiteral("%1:%2:%3")
                             .arg(major(node.st_dev), 2, 16, QLatin1Char('0'))
                             .arg(minor(node.st_dev), 2, 16, QLatin1Char('0'))
                             .arg(quint64(node.st_ino));
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 6 || f.at(1) == "->" || f.at(1) != "FLOCK")
            continue;
        if (QString::fromLatin1(f.at(5)).compare(file, Qt::CaseInsensitive) == 0)
            return f.at(4).toLong();
    }
    return 0;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Another process with the terminal open, found by the link targets of its descriptors. Only
// readlink: it never touches the file behind a link, so a descriptor on a dead network mount
// cannot hang the lookup as a stat would.
long openerOf(const QByteArray& device)
{
    const long self = ::getpid();
    const Dir proc(::opendir("/proc"));
    if (!proc)
        return 0;
    while (const dirent* p = ::readdir(proc.get())) {
        char* end = nullptr;
        const long id = std::strtol(p->d_name, &end, 10);
        if (*end || id <= 0 || id == self)
            continue;
        const QByteArray fdDir = QByteArray("/proc/") + p->d_name + "/fd/";
        const Dir fds(::opendir(fdDir.constData()));
        if (!fds)
            continue;
        while (const dirent* f = ::readdir(fds.get())) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink((fdDir + f->d_name).constData(), target, sizeof target);
            if (n == device.size() && std::memcmp(target, device.constData(), size_t(n)) == 0)
                return id;
        }
    }
    return 0;
}

} // namespace

bool claimPort(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    ::ioctl(fd, TIOCEXCL);
    return true;
}

void releasePort(int fd)
{
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
}

QString portHolder(const QString& path)
{
    struct stat node {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0)
        return {};
    long pid = lockHolder(node);
    if (pid <= 0 && S_ISCHR(node.st_mode)) {
        char device[PATH_MAX];
        if (::realpath(QFile::encodeName(path).constData(), device))
            pid = openerOf(QByteArray(device));
    }
    return pid > 0 ? describe(pid) : QString();
}

} // namespace oq::ft
