#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "common/OtherUser.h"
#include "common/TestUtil.h"
#include "logging/LGFileLogger.h"
#include "logging/Log.h"
#include "logging/LoggingTestUtil.h"
#include "logging/OQDeviceLog.h"
#include "platform/Clock.h"

using oq::test::readFile;
using oq::test::waitUntil;
using oq::test::writeFile;

namespace {

QString logName(const QDateTime& date)
{
    return QStringLiteral("%1 %2.log").arg(LGLogFileManagerDefault::applicationName(),
        LGLogFileManagerDefault::fileNameDateString(date));
}

class LogFiles : public oq::test::LoggingTest {
protected:
    void SetUp() override
    {
        LoggingTest::SetUp();
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path() + QStringLiteral("/Logs");
        manager = std::make_shared<LGLogFileManagerDefault>(folder);
        logger = LGFileLogger::initWithLogFileManager(manager);
        logger->setLogFormatter(nullptr); // bare text
    }
    void TearDown() override
    {
        LoggingTest::TearDown();
        LGLogFileInfo::setUserAttributesDisabledForTesting(false);
    }

    QString at(const QString& name) const { return folder + QLatin1Char('/') + name; }
    // An older log made by hand, `hoursAgo` by its name.
    QString oldLog(int hoursAgo, const QByteArray& contents = "old\n", bool archived = true)
    {
        QDir().mkpath(folder);
        const QString path = at(logName(QDateTime::currentDateTimeUtc().addSecs(-3600LL * hoursAgo)));
        writeFile(path, contents);
        LGLogFileInfo(path).setIsArchived(archived);
        return path;
    }
    QString currentPath() const
    {
        auto info = logger->currentLogFileInfo();
        return info ? info->filePath() : QString();
    }

    QTemporaryDir tmp;
    QString folder;
    std::shared_ptr<LGLogFileManagerDefault> manager;
    std::shared_ptr<LGFileLogger> logger;
};

TEST_F(LogFiles, WritesOneLineEndPerMessage)
{
    LGLog::addLogger(logger);
    LGLogInfo("plain");
    LGLogInfo("ends\n");
    LGLogInfo("%@", "");
    LGLog::flushLog();
    EXPECT_EQ(readFile(currentPath()), "plain\nends\n");

    // A formatter that changes the text, with automatic line ends off: written as it came.
    struct Upper : LGLogFormatter {
        std::optional<QString> formatLogMessage(const LGLogMessage& m) const override { return m.message.toUpper(); }
    };
    logger->setLogFormatter(std::make_shared<Upper>());
    logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
    LGLogInfo("a");
    logger->setAutomaticallyAppendNewlineForCustomFormatters(true);
    LGLogInfo("b");
    LGLog::flushLog();
    EXPECT_EQ(readFile(currentPath()), "plain\nends\nAB\n");

    // The default formatter: time stamp, two blanks, text.
    logger->setLogFormatter(std::make_shared<LGLogFileFormatterDefault>());
    LGLogInfo("stamped");
    LGLog::flushLog();
    const QByteArray last = readFile(currentPath()).split('\n').at(3);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}  stamped$"))
                    .match(QString::fromUtf8(last))
                    .hasMatch())
        << last.constData();
}

// Logs name the counter, the broker and the files opened: the user's alone, whatever the umask,
// and never in the temporary folder, which once stood in for a missing home (links planted in a
// folder another user made: tests/platform/safe_file_test.cpp).
TEST_F(LogFiles, PrivateToTheUserAndNeverInASharedFolder)
{
    const mode_t oldMask = ::umask(022);
    const QString earlier = oldLog(1, "old\n", false); // as an earlier version left it: 0644 in 0755
    LGLog::addLogger(logger);
    LGLogInfo("new");
    LGLog::flushLog();
    EXPECT_EQ(currentPath(), earlier);
    EXPECT_EQ(oq::test::modeOf(folder), 0700u);
    EXPECT_EQ(oq::test::modeOf(earlier), 0600u);
    ::umask(oldMask);

    const QByteArray home = qgetenv("HOME"), state = qgetenv("XDG_STATE_HOME");
    qunsetenv("HOME");
    qunsetenv("XDG_STATE_HOME");
    EXPECT_TRUE(LGLogFileManagerDefault::defaultLogsDirectory().startsWith(
        QFile::decodeName(getpwuid(geteuid())->pw_dir) + QStringLiteral("/.local/state/")))
        << LGLogFileManagerDefault::defaultLogsDirectory().toStdString();
    qputenv("HOME", home);
    if (!state.isNull())
        qputenv("XDG_STATE_HOME", state);
}

TEST_F(LogFiles, RollsBySizeAndKeepsTheNewest)
{
    logger->setMaximumFileSize(100);
    manager->setMaximumNumberOfLogFiles(3);
    LGLog::addLogger(logger);
    for (int i = 0; i < 40; ++i) {
        LGLogInfo("message %02d ..................", i);
        if (i % 8 == 7) {
            LGLog::flushLog();
            QThread::msleep(2); // distinct names
        }
    }
    LGLog::flushLog();
    ASSERT_TRUE(waitUntil([&] { return manager->sortedLogFileInfos().size() <= 3; }));
    const auto infos = manager->sortedLogFileInfos();
    QByteArray all;
    for (auto it = infos.rbegin(); it != infos.rend(); ++it) {
        EXPECT_LT((*it)->fileSize(), 100u + 40u);
        all += readFile((*it)->filePath());
    }
    EXPECT_TRUE(all.endsWith("message 39 ..................\n"));
    for (std::size_t i = 1; i < infos.size(); ++i)
        EXPECT_TRUE(infos[i]->isArchived());
}

TEST_F(LogFiles, NinthLogLeavesTheSevenNewest)
{
    manager->setMaximumNumberOfLogFiles(7);
    QStringList old;
    for (int i = 8; i >= 1; --i)
        old << oldLog(i);
    const QString created = manager->createNewLogFileWithError();
    ASSERT_FALSE(created.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return manager->sortedLogFileInfos().size() == 7; }));
    QStringList expected{QFileInfo(created).fileName()};
    for (int i = 7; i >= 2; --i)
        expected << QFileInfo(old[i]).fileName();
    EXPECT_EQ(manager->sortedLogFileNames(), expected);
}

TEST_F(LogFiles, OversizedNewestLogIsArchivedAtStart)
{
    const QString big = oldLog(1, QByteArray(1536 * 1024, 'x'), false);
    LGLog::addLogger(logger);
    EXPECT_FALSE(LGLogFileInfo(big).isArchived());
    LGLogInfo("first");
    LGLog::flushLog();
    EXPECT_TRUE(LGLogFileInfo(big).isArchived());
    EXPECT_NE(currentPath(), big);
    EXPECT_EQ(readFile(currentPath()), "first\n");

    // A small unarchived newest file is continued instead.
    auto again = LGFileLogger::initWithLogFileManager(manager);
    again->setLogFormatter(nullptr);
    const QString current = currentPath();
    LGLog::removeLogger(logger); // rolls: archived
    const QString fresh = oldLog(0, "left open\n", false);
    LGLog::addLogger(again);
    LGLogInfo("second");
    LGLog::flushLog();
    EXPECT_EQ(readFile(fresh), "left open\nsecond\n");
    EXPECT_EQ(readFile(current), "first\n");
}

// Two files started within one millisecond get the same dated name; the second must not take the
// first one's place (its lines would be gone).
TEST_F(LogFiles, FilesStartedInTheSameMillisecondBothSurvive)
{
    struct SameName : LGLogFileManagerDefault {
        using LGLogFileManagerDefault::LGLogFileManagerDefault;
        QString newLogFileName() const override { return applicationName() + QStringLiteral(" 2026-01-01--00-00-00-000.log"); }
    };
    SameName same(folder);
    QString error;
    const QString first = same.createNewLogFileWithError(&error);
    ASSERT_FALSE(first.isEmpty()) << error.toStdString();
    writeFile(first, "kept\n");
    const QString second = same.createNewLogFileWithError(&error);
    ASSERT_FALSE(second.isEmpty()) << error.toStdString();
    EXPECT_NE(second, first);
    EXPECT_TRUE(second.endsWith(QStringLiteral("-000 2.log"))) << second.toStdString();
    EXPECT_EQ(readFile(first), "kept\n");
    // A higher number started later and sorts as newer (so the oldest are the ones deleted),
    // past 9 as well.
    same.setMaximumNumberOfLogFiles(20);
    for (int i = 3; i <= 10; ++i)
        ASSERT_FALSE(same.createNewLogFileWithError(&error).isEmpty()) << error.toStdString();
    const QStringList names = same.sortedLogFileNames();
    ASSERT_EQ(names.size(), 10) << names.join(", ").toStdString();
    EXPECT_TRUE(names[0].endsWith(QStringLiteral("-000 10.log"))) << names.join(", ").toStdString();
    EXPECT_TRUE(names[1].endsWith(QStringLiteral("-000 9.log"))) << names.join(", ").toStdString();
    EXPECT_EQ(names.last(), QFileInfo(first).fileName());

    // The device log is one name by design: each new one replaces the last.
    OQDeviceLogFileManager device(folder);
    const QString log = device.createNewLogFileWithError(&error);
    writeFile(log, "old traffic\n");
    EXPECT_EQ(device.createNewLogFileWithError(&error), log);
    EXPECT_EQ(readFile(log), "");
}

TEST_F(LogFiles, DeletingOrMovingTheOpenLogStartsANewFile)
{
    LGLog::addLogger(logger);
    LGLogInfo("a");
    LGLog::flushLog();
    const QString first = currentPath();
    ASSERT_TRUE(QFile::remove(first));
    LGLogInfo("b");
    LGLog::flushLog();
    // A new file; within the same millisecond it may take the freed name again.
    const QString second = currentPath();
    EXPECT_EQ(readFile(second), "b\n");

    // Moved, even to a name of the set: it is archived through its handle and never continued.
    const QString moved = at(logName(QDateTime::currentDateTimeUtc().addDays(1)));
    ASSERT_TRUE(QFile::rename(second, moved));
    LGLogInfo("c");
    LGLog::flushLog();
    const QString third = currentPath();
    EXPECT_NE(third, moved);
    EXPECT_EQ(readFile(third), "c\n");
    EXPECT_EQ(readFile(moved), "b\n");
    EXPECT_TRUE(LGLogFileInfo(moved).isArchived());
}

TEST_F(LogFiles, TheFileBeingWrittenIsNeverDeleted)
{
    // The newest, unarchived, alone over the quota.
    oldLog(3);
    oldLog(2);
    const QString newest = oldLog(1, QByteArray(5000, 'n'), false);
    manager->setMaximumNumberOfLogFiles(0);
    manager->setLogFilesDiskQuota(1000);
    manager->deleteOldLogFiles();
    EXPECT_EQ(manager->sortedLogFileNames(), QStringList{QFileInfo(newest).fileName()});
    LGLogFileInfo(newest).setIsArchived(true);
    manager->deleteOldLogFiles();
    EXPECT_TRUE(manager->sortedLogFileNames().isEmpty());

    // A stray file dated in the future sorts before the file being written; that file still stays.
    manager->setLogFilesDiskQuota(0);
    manager->setMaximumNumberOfLogFiles(1);
    LGLog::addLogger(logger);
    LGLogInfo("live");
    LGLog::flushLog();
    const QString live = currentPath();
    oldLog(-48, "future\n", true);
    manager->deleteOldLogFiles();
    EXPECT_TRUE(QFile::exists(live));
    LGLogInfo("still");
    LGLog::flushLog();
    EXPECT_EQ(readFile(live), "live\nstill\n");
}

TEST_F(LogFiles, ArchiveMarkerWithAndWithoutUserAttributes)
{
    const QString path = oldLog(1, "x\n", false);
    LGLogFileInfo info(path);
    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(true);
    char value = 0;
    ASSERT_EQ(getxattr(QFile::encodeName(path).constData(), LGLogFileInfo::archivedAttributeName(), &value, 1), 1);
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(info.isArchived());
    // Any other value counts as archived and reads as 1 afterwards.
    setxattr(QFile::encodeName(path).constData(), LGLogFileInfo::archivedAttributeName(), "yes", 3, 0);
    EXPECT_TRUE(info.isArchived());
    EXPECT_EQ(getxattr(QFile::encodeName(path).constData(), LGLogFileInfo::archivedAttributeName(), &value, 1), 1);
    info.setIsArchived(false);
    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(false); // no attribute: no report, no harm

    LGLogFileInfo::setUserAttributesDisabledForTesting(true);
    info.setIsArchived(true);
    EXPECT_TRUE(QFile::exists(LGLogFileInfo::markerPath(path)));
    EXPECT_TRUE(info.isArchived());
    EXPECT_FALSE(manager->sortedLogFileNames().contains(QFileInfo(LGLogFileInfo::markerPath(path)).fileName()));
    // A roll archives with the marker too, so the rolled file is never continued.
    LGLog::addLogger(logger);
    LGLogInfo("one");
    LGLog::flushLog();
    const QString first = currentPath();
    logger->rollLogFileWithCompletionBlock();
    LGLogInfo("two");
    LGLog::flushLog();
    EXPECT_TRUE(LGLogFileInfo(first).isArchived());
    EXPECT_NE(currentPath(), first);
    info.setIsArchived(false);
    EXPECT_FALSE(QFile::exists(LGLogFileInfo::markerPath(path)));
}

TEST_F(LogFiles, SortingByNameDateElseCreationDate)
{
    QDir().mkpath(folder);
    const QString app = LGLogFileManagerDefault::applicationName();
    writeFile(at(app + QStringLiteral(" undated.log")), "u");
    QThread::msleep(20);
    const QString dated = oldLog(-1); // an hour ahead by its name
    writeFile(at(QStringLiteral("notes.txt")), "n");
    writeFile(at(app + QStringLiteral(" 2020-01-01--00-00-00-000.txt")), "t");
    QDir().mkpath(at(app + QStringLiteral(" 2030-01-01--00-00-00-000.log"))); // a folder
    EXPECT_EQ(manager->sortedLogFileNames(), (QStringList{QFileInfo(dated).fileName(), app + QStringLiteral(" undated.log")}));

    // Device logs: any name beginning with "device", by creation date.
    OQDeviceLogFileManager device(folder);
    writeFile(at(QStringLiteral("device.old")), "1");
    QThread::msleep(20);
    writeFile(at(QStringLiteral("device 2.log")), "2");
    QThread::msleep(20);
    writeFile(at(QStringLiteral("device.log")), "3");
    EXPECT_EQ(device.sortedLogFileNames(), (QStringList{"device.log", "device 2.log", "device.old"}));
    EXPECT_EQ(device.newLogFileName(), QStringLiteral("device.log"));

    EXPECT_EQ(LGLogFileManagerDefault::dateFromFileNameString(QStringLiteral("2024-03-31--02-30-00-123")),
        QDateTime(QDate(2024, 3, 31), QTime(2, 30, 0, 123), Qt::UTC));
    EXPECT_FALSE(LGLogFileManagerDefault::dateFromFileNameString(QStringLiteral("2024-13-31--02-30-00-123")).isValid());
    EXPECT_FALSE(LGLogFileManagerDefault::dateFromFileNameString(QStringLiteral("garbage")).isValid());
}

TEST_F(LogFiles, RollsWhenOldAndWhenAsked)
{
    LGLog::addLogger(logger);
    LGLogInfo("young");
    LGLog::flushLog();
    const QString first = currentPath();
    logger->setRollingFrequency(0.3);
    ASSERT_TRUE(waitUntil([&] { return LGLogFileInfo(first).isArchived(); }, 10));
    LGLogInfo("next");
    LGLog::flushLog();
    const QString second = currentPath();
    EXPECT_NE(second, first);
    EXPECT_EQ(readFile(second), "next\n");

    logger->setRollingFrequency(0);
    std::atomic<bool> completed{false};
    logger->rollLogFileWithCompletionBlock([&] { completed = true; });
    ASSERT_TRUE(waitUntil([&] { return completed.load(); }));
    EXPECT_TRUE(LGLogFileInfo(second).isArchived());
    completed = false;
    logger->rollLogFileWithCompletionBlock([&] { completed = true; }); // nothing open: only the completion
    ASSERT_TRUE(waitUntil([&] { return completed.load(); }));
}

// Hostile surroundings: the logger reports on the console and goes on.

TEST_F(LogFiles, FolderReplacedByAFileOrMissing)
{
    LGLog::addLogger(logger);
    QDir(tmp.path()).removeRecursively(); // missing: made again
    LGLogInfo("made again");
    LGLog::flushLog();
    EXPECT_EQ(readFile(currentPath()), "made again\n");

    logger->rollLogFileWithCompletionBlock();
    QDir(folder).removeRecursively();
    writeFile(folder, "a file where the folder was");
    testing::internal::CaptureStderr();
    LGLogInfo("lost");
    LGLog::flushLog();
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("LGFileLogger: Failed to create new log file"), std::string::npos) << console;
    EXPECT_NE(console.find("LGFileLogger: Failed to write data"), std::string::npos);
    EXPECT_EQ(logger->currentLogFileInfo(), nullptr);

    QFile::remove(folder);
    LGLogInfo("back");
    LGLog::flushLog();
    EXPECT_EQ(readFile(currentPath()), "back\n");
}

TEST_F(LogFiles, FolderNotWritable)
{
    // Root writes anywhere; a folder under /proc refuses everyone.
    const QString refused = geteuid() == 0 ? QStringLiteral("/proc/oq-no-logs/Logs") : QStringLiteral("/oq-no-logs");
    auto refusedManager = std::make_shared<LGLogFileManagerDefault>(refused);
    auto refusedLogger = LGFileLogger::initWithLogFileManager(refusedManager);
    LGLog::addLogger(refusedLogger);
    // Every message fails alike: each report is said once, then once a minute with its count.
    oq::clock::setManual(true);
    for (int minute = 0; minute < 2; ++minute) {
        testing::internal::CaptureStderr();
        for (int i = 0; i < 20; ++i)
            LGLogInfo("nowhere %i", i);
        LGLogError("nowhere either");
        LGLog::flushLog();
        const QString console = QString::fromStdString(testing::internal::GetCapturedStderr());
        for (const char* report : {"Error creating logsDirectory", "Bailing file creation, encountered 5 errors.",
                 "LGFileLogger: Failed to write data"})
            EXPECT_EQ(console.count(QLatin1String(report)), 1) << report << "\n" << console.toStdString();
        EXPECT_EQ(console.contains(QLatin1String("times since last said")), minute == 1) << console.toStdString();
        oq::clock::sleepFor(61);
    }
    oq::clock::setManual(false);
    EXPECT_TRUE(refusedManager->sortedLogFileInfos().empty());
}

TEST_F(LogFiles, WriteErrorsAreReportedAndLoggingGoesOn)
{
    LGLog::addLogger(logger);
    LGLogInfo("fits");
    LGLog::flushLog();
    const QString path = currentPath();
    // A file size limit fails writes past it, like a full disk.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved = {};
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit limit = saved;
    limit.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    testing::internal::CaptureStderr();
    LGLogInfo("%@", QString(8192, QLatin1Char('y')));
    LGLog::flushLog();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("LGFileLogger: Failed to write data"), std::string::npos) << console;
    LGLogInfo("after");
    LGLog::flushLog();
    EXPECT_TRUE(readFile(path).startsWith("fits\n"));
    EXPECT_TRUE(readFile(currentPath()).endsWith("after\n"));
}

TEST_F(LogFiles, ForeignThingsUnderLogNames)
{
    QDir().mkpath(folder);
    // The newest "log" is a pipe: opening it must neither hang nor stop the logging.
    const QString pipe = at(logName(QDateTime::currentDateTimeUtc().addDays(2)));
    ASSERT_EQ(mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    writeFile(at(QStringLiteral("README")), "not ours");
    LGLog::addLogger(logger);
    LGLogInfo("through");
    LGLog::flushLog();
    EXPECT_NE(currentPath(), pipe);
    EXPECT_EQ(readFile(currentPath()), "through\n");

    // A folder standing at the device log's name: the next name is taken.
    OQDeviceLogFileManager device(folder);
    QDir().mkpath(at(QStringLiteral("device.log")));
    EXPECT_EQ(QFileInfo(device.createNewLogFileWithError()).fileName(), QStringLiteral("device 2.log"));
}

} // namespace
