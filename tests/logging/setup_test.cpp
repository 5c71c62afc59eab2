#include <QDir>
#include <QFileInfo>

#include <unistd.h>

#include "common/TestUtil.h"
#include "logging/LGASLLogger.h"
#include "logging/Log.h"
#include "logging/LogSetup.h"
#include "logging/LoggingTestUtil.h"

using oq::test::readFile;

namespace {

class Setup : public oq::test::LoggingTest {
protected:
    void TearDown() override
    {
        LoggingTest::TearDown();
        LGASLLogCapture::stop();
    }
    QTemporaryDir tmp;
};

TEST_F(Setup, RoutesOrdinaryMessagesAndCounterTrafficToTheirFiles)
{
    const oq::LogSetup logs = oq::setupLogging(tmp.path());
    ASSERT_TRUE(logs.fileLogger && logs.deviceFileLogger);
    EXPECT_EQ(logs.fileLogger->logFileManager()->maximumNumberOfLogFiles(), 7u);
    EXPECT_EQ(logs.deviceFileLogger->logFileManager()->maximumNumberOfLogFiles(), 5u);
    EXPECT_EQ(LGASLLogCapture::captureLevel(), LGLogLevelAll);

    LGLogInfo("<- %@", "Geiger 1.0");
    LGLogDevice("P\n");
    LGLogDevice("%@", "PC-Mode gestartet\r\n");
    LGLogDevice("%@", "0,12 uSv");
    LGLogWarn("careful");
    LGLog::flushLog();

    const QString app = logs.fileLogger->currentLogFileInfo()->filePath();
    const QString device = logs.deviceFileLogger->currentLogFileInfo()->filePath();
    EXPECT_EQ(QFileInfo(device).fileName(), QStringLiteral("device.log"));
    EXPECT_TRUE(QFileInfo(app).fileName().startsWith(LGLogFileManagerDefault::applicationName() + QLatin1Char(' ')));
    EXPECT_EQ(readFile(app), "<- Geiger 1.0\ncareful\n");
    EXPECT_EQ(readFile(device), "P\nPC-Mode gestartet\r\n0,12 uSv\n");
}

TEST_F(Setup, EachConnectionStartsTheDeviceLogAfresh)
{
    oq::LogSetup logs = oq::setupLogging(tmp.path());
    LGLogDevice("X\n");
    LGLogDevice("first counter");
    logs.deviceFileLogger->rollLogFileWithCompletionBlock(); // unplugged
    LGLogDevice("X\n");
    LGLogDevice("second counter");
    LGLog::flushLog();
    const QString device = tmp.path() + QStringLiteral("/device.log");
    EXPECT_EQ(readFile(device), "X\nsecond counter\n");
    EXPECT_EQ(QDir(tmp.path()).entryList(QStringList{"device*"}, QDir::Files), QStringList{"device.log"});

    // The next run continues both logs left by the end of this one: one application log for
    // three runs.
    LGLogInfo("first run");
    for (const char* run : {"second run", "third run"}) {
        oq::endLogging(logs);
        logs = oq::setupLogging(tmp.path());
        LGLogInfo("%@", run);
    }
    LGLogDevice("still attached");
    LGLog::flushLog();
    EXPECT_EQ(readFile(device), "X\nsecond counter\nstill attached\n");
    const QStringList apps = QDir(tmp.path()).entryList({LGLogFileManagerDefault::applicationName() + QStringLiteral(" *.log")}, QDir::Files);
    ASSERT_EQ(apps.size(), 1) << apps.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(readFile(tmp.filePath(apps[0])), "first run\nsecond run\nthird run\n");
}

} // namespace

namespace {

TEST(LoggingExit, MessagesQueuedBeforeExitReachTheFile)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this test afresh in a new process: the folder is named after the parent.
    auto folderOf = [](pid_t parent) { return QDir::tempPath() + QStringLiteral("/oq-logging-exit-%1").arg(parent); };
    const QString folder = folderOf(getpid());
    QDir(folder).removeRecursively();
    EXPECT_EXIT(
        {
            auto manager = std::make_shared<LGLogFileManagerDefault>(folderOf(getppid()));
            auto logger = LGFileLogger::initWithLogFileManager(manager);
            logger->setLogFormatter(nullptr);
            LGLog::addLogger(logger);
            for (int i = 0; i < 500; ++i)
                LGLogInfo("line %d", i);
            std::exit(0); // no flush of our own
        },
        testing::ExitedWithCode(0), "");
    const auto infos = LGLogFileManagerDefault(folder).sortedLogFileInfos();
    ASSERT_EQ(infos.size(), 1u);
    const QByteArray contents = readFile(infos.front()->filePath());
    EXPECT_EQ(contents.count('\n'), 500);
    EXPECT_TRUE(contents.endsWith("line 499\n"));
    QDir(folder).removeRecursively();
}

} // namespace
