#include "LGFileLogger.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "logging/LGFormatters.h"
#include "platform/Dispatch.h"
#include "platform/SafeFile.h"

namespace {

QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// Watches the open file and its folder, so that a write asks the file system about the file again
// only after something happened there: a busy log costs no stat per line. -1 when the system
// has no watch to give (the caller then asks at every write).
int watchOpenFile(const QByteArray& path)
{
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return -1;
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? path.left(slash) : QByteArray(slash == 0 ? "/" : ".");
    if (::inotify_add_watch(fd, path.constData(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0
        || ::inotify_add_watch(fd, folder.constData(), IN_MOVE_SELF | IN_DELETE_SELF | IN_CREATE | IN_MOVED_TO) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether anything happened since the last look (true when it cannot tell); takes the news.
bool watchSawChange(int fd)
{
    if (fd < 0)
        return true;
    alignas(inotify_event) char events[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(fd, events, sizeof events);
        if (n > 0)
            any = true;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return any || !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }
}

// One thread for the age checks of every file logger.
class TimerService {
public:
    using Clock = std::chrono::steady_clock;

    static TimerService& shared()
    {
        static auto* service = new TimerService; // never destroyed: its thread may outlive statics
        return *service;
    }

    unsigned long long schedule(Clock::time_point when, std::function<void()> fire)
    {
        std::lock_guard lock(m_mutex);
        if (!m_started) {
            std::thread([this] { run(); }).detach();
            m_started = true;
        }
        const auto id = ++m_lastId;
        m_items.emplace(when, Item{id, std::move(fire)});
        m_cv.notify_one();
        return id;
    }

    void cancel(unsigned long long id)
    {
        if (id == 0)
            return;
        std::lock_guard lock(m_mutex);
        for (auto it = m_items.begin(); it != m_items.end(); ++it) {
            if (it->second.id == id) {
                m_items.erase(it);
                return;
            }
        }
    }

private:
    struct Item {
        unsigned long long id;
        std::function<void()> fire;
    };

    void run()
    {
        oq::setCurrentThreadName(QStringLiteral("lglog.timers"));
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_items.empty()) {
                m_cv.wait(lock);
                continue;
            }
            const auto first = m_items.begin();
            if (first->first > Clock::now()) {
                // A copy: the wait releases the lock, and a cancel may erase the item meanwhile.
                const Clock::time_point due = first->first;
                m_cv.wait_until(lock, due);
                continue;
            }
            auto fire = std::move(first->second.fire);
            m_items.erase(first);
            lock.unlock();
            fire();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::multimap<Clock::time_point, Item> m_items;
    unsigned long long m_lastId = 0;
    bool m_started = false;
};

} // namespace

LGFileLogger::LGFileLogger()
    : LGFileLogger(std::make_shared<LGLogFileManagerDefault>())
{
}

LGFileLogger::LGFileLogger(std::shared_ptr<LGLogFileManagerDefault> logFileManager)
    : LGAbstractLogger(QStringLiteral("lglog.file"))
    , m_logFileManager(logFileManager ? std::move(logFileManager) : std::make_shared<LGLogFileManagerDefault>())
{
    m_logFormatter = std::make_shared<LGLogFileFormatterDefault>();
}

LGFileLogger::~LGFileLogger()
{
    TimerService::shared().cancel(m_timerId);
    if (m_fd >= 0) {
        ::fdatasync(m_fd);
        ::close(m_fd);
    }
    if (m_watch >= 0)
        ::close(m_watch);
}

std::shared_ptr<LGFileLogger> LGFileLogger::init() { return std::make_shared<LGFileLogger>(); }

std::shared_ptr<LGFileLogger> LGFileLogger::initWithLogFileManager(std::shared_ptr<LGLogFileManagerDefault> logFileManager)
{
    return std::make_shared<LGFileLogger>(std::move(logFileManager));
}

void LGFileLogger::logMessage(const LGLogMessage& message)
{
    std::optional<QString> text = m_logFormatter ? m_logFormatter->formatLogMessage(message) : message.message;
    if (!text || text->isEmpty())
        return;
    const bool asItCame = !m_appendNewline && *text != message.message;
    if (!asItCame && !text->endsWith(QLatin1Char('\n')))
        text->append(QLatin1Char('\n'));
    lt_writeData(text->toUtf8());
}

void LGFileLogger::lt_writeData(const QByteArray& data)
{
    if (m_fd >= 0 && lt_openFileWasRemoved())
        lt_roll();
    const int fd = lt_currentFileHandle();
    if (fd < 0) {
        m_reports.report("LGFileLogger: Failed to seek to end of file: %@", m_openError);
        m_reports.report("LGFileLogger: Failed to write data: %@", m_openError);
        return;
    }
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) {
        m_reports.report("LGFileLogger: Failed to seek to end of file: %@", errnoText(errno));
        return;
    }
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_reports.report("LGFileLogger: Failed to write data: %@", errnoText(errno));
            return;
        }
        done += n;
    }
    const unsigned long long maxSize = m_maximumFileSize;
    if (maxSize > 0 && static_cast<unsigned long long>(end) + static_cast<unsigned long long>(done) >= maxSize)
        lt_roll();
}

bool LGFileLogger::lt_isDue(const LGLogFileInfo& info) const
{
    const unsigned long long maxSize = m_maximumFileSize;
    const double frequency = m_rollingFrequency;
    return (maxSize > 0 && info.fileSize() >= maxSize) || (frequency > 0 && info.age() >= frequency);
}

int LGFileLogger::lt_currentFileHandle()
{
    if (m_fd >= 0)
        return m_fd;
    std::shared_ptr<LGLogFileInfo> info;
    if (m_currentInfo) {
        m_currentInfo->reset();
        if (m_currentInfo->exists() && !m_currentInfo->isArchived())
            info = m_currentInfo;
    }
    if (!info) {
        m_currentInfo.reset();
        const auto sorted = m_logFileManager->sortedLogFileInfos();
        if (!sorted.empty() && !sorted.front()->isArchived()) {
            if (!m_doNotReuseLogFiles && !lt_isDue(*sorted.front()))
                info = sorted.front();
            else
                sorted.front()->setIsArchived(true);
        }
    }
    for (int round = 0; round < 2; ++round) {
        if (!info) {
            QString error;
            const QString path = m_logFileManager->createNewLogFileWithError(&error);
            if (path.isEmpty()) {
                m_reports.report("LGFileLogger: Failed to create new log file: %@", error);
                m_openError = error;
                return -1;
            }
            info = LGLogFileInfo::logFileWithPath(path);
        }
        m_currentInfo = info;
        const QByteArray path = QFile::encodeName(info->filePath());
        // Non-blocking so that a pipe under a log's name cannot stall the logger.
        QString refused;
        const int fd = oq::files::openFile(info->filePath(), O_WRONLY | O_APPEND | O_NONBLOCK, oq::files::Privacy::Private, &refused);
        struct stat st = {};
        int err = fd < 0 ? errno : 0;
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            err = S_ISREG(st.st_mode) ? errno : EINVAL;
            ::close(fd);
        }
        if (err == 0) {
            m_fd = fd;
            m_openPath = path;
            m_dev = st.st_dev;
            m_ino = st.st_ino;
            // Watched after opening: the first write still asks, in case the file went in between.
            m_watch = watchOpenFile(path);
            m_askAtNextWrite = true;
            m_openError.clear();
            m_logFileManager->setCurrentLogFilePath(info->filePath());
            lt_armAgeTimer();
            return m_fd;
        }
        m_openError = QStringLiteral("%1: %2").arg(info->filePath(), refused.isEmpty() ? errnoText(err) : refused);
        info.reset(); // a file we found but cannot write: start a new one instead
        m_currentInfo.reset();
    }
    return -1;
}

bool LGFileLogger::lt_openFileWasRemoved()
{
    if (!std::exchange(m_askAtNextWrite, false) && !watchSawChange(m_watch))
        return false;
    struct stat st = {};
    if (::stat(m_openPath.constData(), &st) != 0)
        return true;
    return st.st_ino != m_ino || st.st_dev != m_dev;
}

void LGFileLogger::lt_roll(bool archive)
{
    if (m_fd < 0)
        return;
    if (::fsync(m_fd) != 0 && errno != EINVAL)
        m_reports.report("LGFileLogger: Failed to synchronize file: %@", errnoText(errno));
    if (archive)
        m_currentInfo->setIsArchived(true, m_fd);
    if (::close(m_fd) != 0)
        m_reports.report("LGFileLogger: Failed to close file: %@", errnoText(errno));
    m_fd = -1;
    if (m_watch >= 0)
        ::close(m_watch);
    m_watch = -1;
    m_currentInfo.reset();
    ++m_timerGeneration;
    TimerService::shared().cancel(m_timerId);
    m_timerId = 0;
    m_logFileManager->setCurrentLogFilePath({});
}

void LGFileLogger::lt_armAgeTimer()
{
    TimerService::shared().cancel(m_timerId);
    m_timerId = 0;
    const double frequency = m_rollingFrequency;
    if (!(frequency > 0) || !m_currentInfo)
        return;
    m_currentInfo->reset();
    const double remaining = std::max(0.0, frequency - m_currentInfo->age());
    const auto when = TimerService::Clock::now()
        + std::chrono::duration_cast<TimerService::Clock::duration>(std::chrono::duration<double>(remaining));
    std::weak_ptr<LGAbstractLogger> weak = weak_from_this();
    const unsigned long generation = ++m_timerGeneration;
    m_timerId = TimerService::shared().schedule(when, [weak, generation] {
        if (auto self = std::static_pointer_cast<LGFileLogger>(weak.lock()))
            self->loggerQueue().async([self, generation] { self->lt_ageTimerFired(generation); });
    });
}

void LGFileLogger::lt_ageTimerFired(unsigned long generation)
{
    if (generation != m_timerGeneration || m_fd < 0)
        return;
    m_currentInfo->reset();
    if (m_currentInfo->age() + 1 >= m_rollingFrequency)
        lt_roll();
    else
        lt_armAgeTimer();
}

void LGFileLogger::flush()
{
    if (m_fd >= 0 && ::fdatasync(m_fd) != 0 && errno != EINVAL)
        m_reports.report("LGFileLogger: Failed to synchronize file: %@", errnoText(errno));
}

void LGFileLogger::willRemoveLogger() { lt_roll(!m_keepFileAtRemoval); }

void LGFileLogger::rollLogFileWithCompletionBlock(std::function<void()> completion)
{
    auto work = [this, completion = std::move(completion)] {
        lt_roll();
        if (completion)
            oq::dispatchBackground(completion);
    };
    if (isOnLoggerQueue())
        work();
    else
        asyncThroughQueues(std::move(work));
}

std::shared_ptr<LGLogFileInfo> LGFileLogger::currentLogFileInfo()
{
    std::shared_ptr<LGLogFileInfo> result;
    syncThroughQueues([&] {
        if (lt_currentFileHandle() >= 0)
            result = m_currentInfo;
    });
    return result;
}

void LGFileLogger::setMaximumFileSize(unsigned long long bytes)
{
    syncThroughQueues([&] { m_maximumFileSize = bytes; });
}

void LGFileLogger::setRollingFrequency(double seconds)
{
    syncThroughQueues([&] {
        m_rollingFrequency = seconds;
        if (m_fd >= 0)
            lt_armAgeTimer();
    });
}

void LGFileLogger::setDoNotReuseLogFiles(bool value)
{
    syncThroughQueues([&] { m_doNotReuseLogFiles = value; });
}

void LGFileLogger::setAutomaticallyAppendNewlineForCustomFormatters(bool value)
{
    syncThroughQueues([&] { m_appendNewline = value; });
}
