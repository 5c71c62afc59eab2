#include "platform/SafeFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/StringTable.h"

namespace oq::files {

namespace {

constexpr int kMaxLinks = 40; // as the kernel

bool stickyShared(const struct stat& folder)
{
    return (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
}

// Others than the user may add or swap names in it.
bool othersMayWrite(const struct stat& folder)
{
    if (folder.st_uid == geteuid())
        return stickyShared(folder);
    return folder.st_uid != 0 || (folder.st_mode & (S_IWGRP | S_IWOTH));
}

bool linkTrusted(const struct stat& link, const struct stat& folder)
{
    return !stickyShared(folder) && (link.st_uid == geteuid() || link.st_uid == 0);
}

QString say(const char* key, const QByteArray& path)
{
    return localized(QString::fromLatin1(key)).arg(QFile::decodeName(path));
}

QString systemError(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

void fail(QString* error, const QString& text, int err)
{
    if (error)
        *error = text;
    errno = err;
}

void failWithErrno(QString* error)
{
    const int err = errno;
    fail(error, systemError(err), err);
}

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

QByteArray nameOf(const QByteArray& path) { return path.mid(path.lastIndexOf('/') + 1); }

// The folder part opened one name at a time without following anything: a link put there
// after resolve() makes this fail instead of leading elsewhere.
int openFolder(const QByteArray& folder)
{
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (const QByteArray& part : folder.split('/')) {
        if (part.isEmpty() || fd < 0)
            continue;
        const int next = ::openat(fd, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        ::close(fd);
        fd = next;
        errno = err;
    }
    return fd;
}

// Without any home, nothing: never a folder at the root.
QString homeFallback(const char* variable, const char* below)
{
    const QString set = qEnvironmentVariable(variable);
    if (QDir::isAbsolutePath(set))
        return QDir::cleanPath(set);
    const QString home = homeFolder();
    return home.isEmpty() ? QString() : home + QLatin1String(below);
}

} // namespace

QString resolve(const QString& path, QString* error)
{
    // Never the current folder by accident.
    if (path.isEmpty()) {
        fail(error, systemError(ENOENT), ENOENT);
        return {};
    }
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    QList<QByteArray> todo = QFile::encodeName(absolute).split('/');
    QByteArray done; // "" is the root
    bool missing = false;
    int links = 0;
    while (!todo.isEmpty()) {
        const QByteArray part = todo.takeFirst();
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            done.truncate(std::max<qsizetype>(0, done.lastIndexOf('/')));
            continue;
        }
        const QByteArray next = done + '/' + part;
        struct stat st = {};
        const bool found = !missing && ::lstat(next.constData(), &st) == 0;
        // Below a missing name nothing can be a link yet.
        missing = missing || (!found && errno == ENOENT);
        if (!found || !S_ISLNK(st.st_mode)) {
            done = next;
            continue;
        }
        // The kernel's own links (/dev/stdout, /proc/self/fd/N) name no path; nobody plants them.
        if (next.startsWith("/proc/")) {
            done = next;
            for (const QByteArray& rest : todo)
                done += '/' + rest;
            break;
        }
        struct stat folder = {};
        if (::lstat(done.isEmpty() ? "/" : done.constData(), &folder) != 0 || !linkTrusted(st, folder)) {
            fail(error, say("files.untrusted_link", next), EPERM);
            return {};
        }
        char target[4096];
        const ssize_t n = ::readlink(next.constData(), target, sizeof target);
        if (n <= 0 || size_t(n) >= sizeof target || ++links > kMaxLinks) {
            fail(error, systemError(ELOOP), ELOOP);
            return {};
        }
        if (target[0] == '/')
            done.clear();
        todo = QByteArray(target, n).split('/') + todo;
    }
    return done.isEmpty() ? QStringLiteral("/") : QFile::decodeName(done);
}

int openFile(const QString& path, int flags, Privacy privacy, QString* error)
{
    const QString resolved = resolve(path, error);
    if (resolved.isEmpty())
        return -1;
    const QByteArray at = QFile::encodeName(resolved);
    const mode_t mode = privacy == Privacy::Private ? 0600 : 0666;
    if (at.startsWith("/proc/")) {
        const int fd = ::open(at.constData(), flags | O_CLOEXEC, mode);
        if (fd < 0)
            failWithErrno(error);
        return fd;
    }
    const int folderFd = openFolder(folderOf(at));
    struct stat folder = {};
    if (folderFd < 0 || ::fstat(folderFd, &folder) != 0) {
        const int err = errno;
        if (folderFd >= 0)
            ::close(folderFd);
        fail(error, systemError(err), err);
        return -1;
    }
    const int fd = ::openat(folderFd, nameOf(at).constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    const int openErr = errno;
    ::close(folderFd);
    if (fd < 0) {
        fail(error, openErr == ELOOP ? say("files.untrusted_link", at) : systemError(openErr),
            openErr == ELOOP ? EPERM : openErr);
        return -1;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || (!S_ISDIR(st.st_mode) && st.st_uid != geteuid() && othersMayWrite(folder))) {
        ::close(fd);
        fail(error, say("files.foreign_file", at), EPERM);
        return -1;
    }
    // Logs and reports of an earlier version were readable by everyone.
    if (privacy == Privacy::Private && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077))
        ::fchmod(fd, st.st_mode & 0700);
    return fd;
}

bool writeAtomically(const QString& path, const std::function<bool(QIODevice&)>& write, Privacy privacy, QString* error)
{
    const QString resolved = resolve(path, error);
    if (resolved.isEmpty())
        return false;
    const QByteArray at = QFile::encodeName(resolved);
    struct stat old = {};
    const bool replacing = ::lstat(at.constData(), &old) == 0;
    // A terminal, pipe or /dev/null is written as it is, not replaced by a file.
    if (at.startsWith("/proc/") || (replacing && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode))) {
        const int fd = openFile(resolved, O_WRONLY, privacy, error);
        if (fd < 0)
            return false;
        QFile file;
        if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
            ::close(fd);
        const bool ok = file.isOpen() && write(file) && file.flush();
        if (!ok && error)
            *error = file.errorString();
        return ok;
    }
    const int folderFd = openFolder(folderOf(at));
    if (folderFd < 0) {
        failWithErrno(error);
        return false;
    }
    const QByteArray name = nameOf(at);
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = '.' + name + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::openat(folderFd, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
            privacy == Privacy::Private ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    int err = fd < 0 ? errno : 0;
    QString reason;
    if (fd >= 0) {
        QFile file;
        if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle) || !write(file) || !file.flush()) {
            err = EIO;
            reason = file.errorString();
        }
        file.close();
        // The file it replaces keeps its mode: a dump the user made readable to a group stays so.
        if (!err && replacing && S_ISREG(old.st_mode) && old.st_uid == geteuid() && privacy == Privacy::Shared
            && ::fchmod(fd, old.st_mode & 07777) != 0)
            err = errno;
        if (!err && ::fsync(fd) != 0 && errno != EINVAL)
            err = errno;
        if (::close(fd) != 0 && !err)
            err = errno;
        // rename() replaces the name, never what a link there points to.
        if (!err && ::renameat(folderFd, temp.constData(), folderFd, name.constData()) != 0)
            err = errno;
        if (err)
            ::unlinkat(folderFd, temp.constData(), 0);
    }
    ::close(folderFd);
    if (err)
        fail(error, reason.isEmpty() ? systemError(err) : reason, err);
    return !err;
}

bool makeFolder(const QString& path, Privacy privacy, QString* error)
{
    const QString resolved = resolve(path, error);
    if (resolved.isEmpty())
        return false;
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    QByteArray done;
    for (const QByteArray& part : QFile::encodeName(resolved).split('/')) {
        if (part.isEmpty() || fd < 0)
            continue;
        done += '/' + part;
        // O_PATH: a folder one may only pass through, as many homes are to others, is fine.
        int next = ::openat(fd, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && (::mkdirat(fd, part.constData(), 0700) == 0 || errno == EEXIST))
            next = ::openat(fd, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        ::close(fd);
        fd = next;
        struct stat st = {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            fail(error, systemError(err), err);
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        const bool mine = st.st_uid == geteuid();
        if (!mine && (st.st_uid != 0 || ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)))) {
            ::close(fd);
            fail(error, say("files.foreign_folder", done), EPERM);
            return false;
        }
    }
    if (fd < 0) {
        failWithErrno(error);
        return false;
    }
    struct stat st = {};
    ::fstat(fd, &st);
    bool ok = true;
    if (privacy == Privacy::Private && (st.st_mode & 077)) {
        // Only the last folder is ours to close: its parents may be the user's shared ones.
        const int opened = st.st_uid == geteuid() ? ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ok = opened >= 0 && ::fchmod(opened, 0700) == 0;
        if (opened >= 0)
            ::close(opened);
        if (!ok)
            fail(error, say("files.foreign_folder", QFile::encodeName(resolved)), EPERM);
    }
    ::close(fd);
    return ok;
}

QString homeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);
    struct passwd entry = {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir
        && found->pw_dir[0] == '/')
        return QDir::cleanPath(QFile::decodeName(found->pw_dir));
    return {};
}

QString configHome() { return homeFallback("XDG_CONFIG_HOME", "/.config"); }
QString stateHome() { return homeFallback("XDG_STATE_HOME", "/.local/state"); }
QString dataHome() { return homeFallback("XDG_DATA_HOME", "/.local/share"); }

} // namespace oq::files
