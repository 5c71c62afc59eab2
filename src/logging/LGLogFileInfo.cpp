#include "LGLogFileInfo.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "logging/LGLogger.h"

namespace {
std::atomic<bool> g_noUserAttributes{false};

QDateTime fromStatx(const struct statx_timestamp& t)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000, Qt::UTC);
}

bool unsupported(int err) { return err == ENOTSUP || err == EOPNOTSUPP; }
} // namespace

LGLogFileInfo::LGLogFileInfo(QString filePath)
    : m_filePath(std::move(filePath))
{
}

std::shared_ptr<LGLogFileInfo> LGLogFileInfo::logFileWithPath(const QString& filePath)
{
    return std::make_shared<LGLogFileInfo>(filePath);
}

const char* LGLogFileInfo::archivedAttributeName() { return "user.oq.log.archived"; }

QString LGLogFileInfo::markerPath(const QString& filePath)
{
    const qsizetype slash = filePath.lastIndexOf(QLatin1Char('/'));
    return filePath.left(slash + 1) + QLatin1Char('.') + filePath.mid(slash + 1) + QStringLiteral(".archived");
}

void LGLogFileInfo::setUserAttributesDisabledForTesting(bool disabled) { g_noUserAttributes = disabled; }

QString LGLogFileInfo::fileName() const { return m_filePath.mid(m_filePath.lastIndexOf(QLatin1Char('/')) + 1); }

const struct statx* LGLogFileInfo::stats() const
{
    if (!m_stats && !m_statFailed) {
        struct statx st = {};
        const QByteArray path = QFile::encodeName(m_filePath);
        if (statx(AT_FDCWD, path.constData(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) == 0)
            m_stats = st;
        else
            m_statFailed = true;
    }
    return m_stats ? &*m_stats : nullptr;
}

void LGLogFileInfo::reset()
{
    m_stats.reset();
    m_statFailed = false;
}

bool LGLogFileInfo::exists() const { return stats() != nullptr; }

QDateTime LGLogFileInfo::creationDate() const
{
    const auto* st = stats();
    if (!st)
        return {};
    return fromStatx((st->stx_mask & STATX_BTIME) ? st->stx_btime : st->stx_mtime);
}

QDateTime LGLogFileInfo::modificationDate() const
{
    const auto* st = stats();
    return st ? fromStatx(st->stx_mtime) : QDateTime();
}

unsigned long long LGLogFileInfo::fileSize() const
{
    const auto* st = stats();
    return st ? st->stx_size : 0;
}

double LGLogFileInfo::age() const
{
    const QDateTime created = creationDate();
    if (!created.isValid())
        return 0;
    return double(created.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;
}

QVariantMap LGLogFileInfo::fileAttributes() const
{
    const auto* st = stats();
    if (!st)
        return {};
    return {
        {QStringLiteral("size"), QVariant::fromValue<qulonglong>(st->stx_size)},
        {QStringLiteral("creationDate"), creationDate()},
        {QStringLiteral("modificationDate"), modificationDate()},
        {QStringLiteral("permissions"), QString::number(st->stx_mode & 07777, 8)},
    };
}

bool LGLogFileInfo::isArchived() const
{
    const QByteArray path = QFile::encodeName(m_filePath);
    if (!g_noUserAttributes) {
        char value[2] = {};
        const ssize_t n = getxattr(path.constData(), archivedAttributeName(), value, sizeof value);
        if (n == 1 && value[0] == 1)
            return true;
        if (n >= 0 || (n < 0 && errno == ERANGE)) {
            // Some other value: still archived, and written back as it should read.
            const char one = 1;
            setxattr(path.constData(), archivedAttributeName(), &one, 1, 0);
            return true;
        }
    }
    return QFile::exists(markerPath(m_filePath));
}

void LGLogFileInfo::setIsArchived(bool archived, int fd)
{
    const QByteArray path = QFile::encodeName(m_filePath);
    const char* name = archivedAttributeName();
    if (archived) {
        int err = ENOTSUP;
        if (!g_noUserAttributes) {
            const char one = 1;
            const int rc = fd >= 0 ? fsetxattr(fd, name, &one, 1, 0) : setxattr(path.constData(), name, &one, 1, 0);
            if (rc == 0)
                return;
            err = errno;
        }
        if (unsupported(err)) {
            if (!exists())
                return;
            QFile marker(markerPath(m_filePath));
            if (marker.open(QIODevice::WriteOnly))
                return;
            err = EACCES;
        }
        if (err != ENOENT)
            LGConsoleReport("LGLogFileInfo: setxattr(%@, %@): error = %s", fileName(), name, std::strerror(err));
        return;
    }
    if (!g_noUserAttributes && removexattr(path.constData(), name) != 0) {
        const int err = errno;
        if (err != ENODATA && !unsupported(err) && err != ENOENT)
            LGConsoleReport("LGLogFileInfo: removexattr(%@, %@): error = %s", fileName(), name, std::strerror(err));
    }
    QFile::remove(markerPath(m_filePath));
}
