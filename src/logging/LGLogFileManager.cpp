#include "LGLogFileManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "logging/LGLogger.h"
#include "platform/Dispatch.h"
#include "platform/SafeFile.h"

namespace {
// A name that keeps being taken by something that is not a file must not keep us busy forever.
constexpr int kMaxNameAttempts = 1000;
constexpr int kMaxCriticalErrors = 5;

QString processName()
{
    return QString::fromLocal8Bit(program_invocation_short_name);
}

// "device.log" → "device 2.log"
QString numberedName(const QString& name, int attempt)
{
    if (attempt <= 1)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral(" %1").arg(attempt);
    return dot > 0 ? name.left(dot) + suffix + name.mid(dot) : name + suffix;
}

int moveIntoPlace(const char* from, const char* to, bool replace)
{
    if (replace)
        return ::rename(from, to) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a hard link fails on an existing name as well.
    if (::link(from, to) != 0)
        return errno;
    ::unlink(from);
    return 0;
}

// Writes `contents` to `path` as a whole new file, private to the user as mkostemp makes it (logs
// name the counter, the broker and the files opened); 0 or an errno. A file of that name is replaced
// only when `replace` is set, else the answer is EEXIST.
int writeAtomically(const QString& path, const QByteArray& contents, bool replace)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    QByteArray temp = QFile::encodeName(path.left(slash + 1) + QLatin1Char('.') + path.mid(slash + 1)) + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = 0;
    qsizetype done = 0;
    while (!err && done < contents.size()) {
        const ssize_t n = ::write(fd, contents.constData() + done, size_t(contents.size() - done));
        if (n < 0 && errno != EINTR)
            err = errno;
        else if (n > 0)
            done += n;
    }
    if (::close(fd) != 0 && !err)
        err = errno;
    if (!err)
        err = moveIntoPlace(temp.constData(), QFile::encodeName(path).constData(), replace);
    if (err)
        ::unlink(temp.constData());
    return err;
}

// Whatever stands at the name is not a file we may replace.
bool nameTaken(int err) { return err == EISDIR || err == EEXIST || err == ENOTEMPTY || err == EBUSY; }
} // namespace

LGLogFileManagerDefault::LGLogFileManagerDefault()
    : LGLogFileManagerDefault(defaultLogsDirectory())
{
}

LGLogFileManagerDefault::LGLogFileManagerDefault(QString logsDirectory)
    : m_logsDirectory(logsDirectory.isEmpty() ? defaultLogsDirectory() : std::move(logsDirectory))
{
}

QString LGLogFileManagerDefault::defaultLogsDirectory()
{
    // Never a shared folder such as the temporary one, where others could read or plant files.
    const QString state = oq::files::stateHome();
    return state.isEmpty() ? QString() : state + QLatin1Char('/') + processName() + QStringLiteral("/Logs");
}

QString LGLogFileManagerDefault::applicationName()
{
    // Never destroyed: loggers may still name files while the process exits.
    static const QString* name = [] {
        QString n = QCoreApplication::instance() ? QCoreApplication::applicationName() : QString();
        return new QString(n.isEmpty() ? processName() : n);
    }();
    return *name;
}

QString LGLogFileManagerDefault::fileNameDateString(const QDateTime& date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd--HH-mm-ss-zzz"));
}

QDateTime LGLogFileManagerDefault::dateFromFileNameString(const QString& text)
{
    // Date and time apart: a UTC time must not fall into a local clock change.
    if (text.size() != 24 || text.mid(10, 2) != QStringLiteral("--"))
        return {};
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(12), QStringLiteral("HH-mm-ss-zzz"));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

QString LGLogFileManagerDefault::logsDirectory() const
{
    QString error;
    if (!oq::files::makeFolder(m_logsDirectory, oq::files::Privacy::Private, &error))
        m_reports.report("LGFileLogManagerDefault: Error creating logsDirectory: %@",
            QStringLiteral("%1: %2").arg(m_logsDirectory, error));
    return m_logsDirectory;
}

QString LGLogFileManagerDefault::newLogFileName() const
{
    return QStringLiteral("%1 %2.log").arg(applicationName(), fileNameDateString(QDateTime::currentDateTimeUtc()));
}

bool LGLogFileManagerDefault::isLogFile(const QString& fileName) const
{
    return fileName.startsWith(applicationName() + QLatin1Char(' ')) && fileName.endsWith(QStringLiteral(".log"));
}

QStringList LGLogFileManagerDefault::unsortedLogFilePaths() const
{
    const QString dir = logsDirectory();
    QStringList paths;
    // Devices and sockets count (System) so that nothing odd under a log's name goes unseen.
    for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted))
        if (isLogFile(name))
            paths << dir + QLatin1Char('/') + name;
    return paths;
}

std::vector<std::shared_ptr<LGLogFileInfo>> LGLogFileManagerDefault::unsortedLogFileInfos() const
{
    std::vector<std::shared_ptr<LGLogFileInfo>> infos;
    for (const QString& path : unsortedLogFilePaths())
        infos.push_back(LGLogFileInfo::logFileWithPath(path));
    return infos;
}

std::vector<std::shared_ptr<LGLogFileInfo>> LGLogFileManagerDefault::sortedLogFileInfos() const
{
    struct Entry {
        std::shared_ptr<LGLogFileInfo> info;
        QDateTime date;
        int number = 1; // "APP DATE N.log": the Nth file that started in that millisecond
    };
    std::vector<Entry> entries;
    for (auto& info : unsortedLogFileInfos()) {
        QString stem = info->fileName();
        if (stem.endsWith(QStringLiteral(".log")))
            stem.chop(4);
        const QStringList words = stem.split(QLatin1Char(' '));
        QDateTime date = dateFromFileNameString(words.last());
        int number = 1;
        bool numbered = false;
        const int n = words.last().toInt(&numbered);
        if (!date.isValid() && numbered && n > 1 && words.size() > 1) {
            date = dateFromFileNameString(words[words.size() - 2]);
            if (date.isValid())
                number = n;
        }
        if (!date.isValid())
            date = info->creationDate();
        entries.push_back({std::move(info), std::move(date), number});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.date != b.date)
            return a.date > b.date;
        if (a.number != b.number)
            return a.number > b.number;
        return a.info->fileName() > b.info->fileName();
    });
    std::vector<std::shared_ptr<LGLogFileInfo>> sorted;
    for (auto& e : entries)
        sorted.push_back(std::move(e.info));
    return sorted;
}

QStringList LGLogFileManagerDefault::sortedLogFileNames() const
{
    QStringList names;
    for (const auto& info : sortedLogFileInfos())
        names << info->fileName();
    return names;
}

QString LGLogFileManagerDefault::createNewLogFileWithError(QString* error)
{
    const QString dir = logsDirectory();
    // A folder that is not the user's alone gets nothing written, as one that cannot be made.
    QString folderError;
    const int folderErrno = oq::files::makeFolder(dir, oq::files::Privacy::Private, &folderError) ? 0 : (errno ? errno : EPERM);
    const QString name = newLogFileName();
    const QByteArray header = logFileHeader();
    int criticalErrors = 0;
    int attempt = 1;
    for (;;) {
        const QString path = dir + QLatin1Char('/') + numberedName(name, attempt);
        const int err = folderErrno ? folderErrno : writeAtomically(path, header, newFileReplacesOld());
        if (err == 0) {
            QFile::remove(LGLogFileInfo::markerPath(path)); // a marker of the file this one replaced
            deleteOldLogFilesInBackground();
            return path;
        }
        const QString text = QStringLiteral("%1: %2").arg(path, folderErrno ? folderError : QString::fromLocal8Bit(std::strerror(err)));
        if (nameTaken(err) && attempt < kMaxNameAttempts) {
            ++attempt;
            continue;
        }
        m_reports.report("LGLogFileManagerDefault: Critical error while creating log file: %@", text);
        if (++criticalErrors >= kMaxCriticalErrors || nameTaken(err)) {
            m_reports.report("LGLogFileManagerDefault: Bailing file creation, encountered %ld errors.", criticalErrors);
            if (error)
                *error = text;
            return {};
        }
    }
}

void LGLogFileManagerDefault::deleteOldLogFiles()
{
    std::lock_guard deleting(m_deleteMutex);
    const unsigned maxCount = m_maximumNumberOfLogFiles;
    const unsigned long long quota = m_logFilesDiskQuota;
    if (maxCount == 0 && quota == 0)
        return;
    const auto infos = sortedLogFileInfos();
    std::size_t first = infos.size();
    if (quota > 0) {
        unsigned long long total = 0;
        for (std::size_t i = 0; i < infos.size(); ++i) {
            total += infos[i]->fileSize();
            if (total > quota) {
                first = i;
                break;
            }
        }
    }
    if (maxCount > 0)
        first = std::min<std::size_t>(first, maxCount);
    if (first == 0 && !infos.empty() && !infos[0]->isArchived())
        first = 1; // the file being written
    QString current;
    {
        std::lock_guard lock(m_currentMutex);
        current = m_currentLogFilePath;
    }
    for (std::size_t i = first; i < infos.size(); ++i) {
        const QString& path = infos[i]->filePath();
        if (path == current)
            continue;
        if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
            m_reports.report("LGLogFileManagerDefault: Error deleting file %@",
                QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
            continue;
        }
        QFile::remove(LGLogFileInfo::markerPath(path));
    }
}

void LGLogFileManagerDefault::deleteOldLogFilesInBackground()
{
    if (auto self = weak_from_this().lock())
        oq::dispatchBackground([self] { self->deleteOldLogFiles(); });
    else
        deleteOldLogFiles(); // nobody shares it, so nothing would keep it alive for later
}

void LGLogFileManagerDefault::setMaximumNumberOfLogFiles(unsigned count)
{
    if (m_maximumNumberOfLogFiles.exchange(count) != count)
        deleteOldLogFilesInBackground();
}

void LGLogFileManagerDefault::setLogFilesDiskQuota(unsigned long long bytes)
{
    if (m_logFilesDiskQuota.exchange(bytes) != bytes)
        deleteOldLogFilesInBackground();
}

void LGLogFileManagerDefault::setCurrentLogFilePath(const QString& path)
{
    std::lock_guard lock(m_currentMutex);
    m_currentLogFilePath = path;
}
