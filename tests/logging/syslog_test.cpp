#include <systemd/sd-journal.h>
#include <unistd.h>

#include "common/TestUtil.h"

#include "logging/LGASLLogger.h"
#include "logging/Log.h"
#include "logging/LoggingTestUtil.h"

using oq::test::RecordingLogger;

namespace {

class SystemLog : public oq::test::LoggingTest {};

QHash<QByteArray, QByteArray> asMap(const std::vector<QByteArray>& fields)
{
    QHash<QByteArray, QByteArray> map;
    for (const QByteArray& f : fields) {
        const qsizetype eq = f.indexOf('=');
        map.insert(f.left(eq), f.mid(eq + 1));
    }
    return map;
}

TEST_F(SystemLog, LoggerSendsPriorityTextAndOwnMarkerButNotCapturedRecords)
{
    std::mutex mutex;
    std::vector<QHash<QByteArray, QByteArray>> sent;
    auto logger = std::make_shared<LGASLLogger>([&](const std::vector<QByteArray>& fields) {
        std::lock_guard lock(mutex);
        sent.push_back(asMap(fields));
        return 0;
    });
    LGLog::addLogger(logger, LGLogLevelAll);
    LGLogError("bad %d", 1);
    LGLogWarn("odd");
    LGLogInfo("fine ü");
    LGLog::log(true, LGLogLevelAll, LGLogFlagDebug, 0, "a.cpp", "f", 1, nullptr, "debug");
    // A record the capture brought in goes to every logger but back to the system log.
    LGLog::log(true, LGLogLevelAll, LGLogFlagError, 0, "LGASLLogCapture", nullptr, 0, nullptr, "captured");
    LGLog::flushLog();

    std::lock_guard lock(mutex);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0]["MESSAGE"], "bad 1");
    EXPECT_EQ(sent[0]["PRIORITY"], "2");
    EXPECT_EQ(sent[0][LGJournalOwnField], "1");
    EXPECT_EQ(sent[1]["PRIORITY"], "3");
    EXPECT_EQ(sent[2]["PRIORITY"], "4");
    EXPECT_EQ(QString::fromUtf8(sent[2]["MESSAGE"]), QStringLiteral("fine ü"));
    EXPECT_EQ(sent[3]["PRIORITY"], "5");
    EXPECT_EQ(sent[3]["CODE_FILE"], "a.cpp");
}

TEST_F(SystemLog, CaptureTurnsRecordsIntoMessages)
{
    const QByteArray pid = QByteArray::number(getpid());
    auto record = [&](QByteArray priority) {
        QHash<QByteArray, QByteArray> r{{"MESSAGE", "hello"}, {"_PID", pid}, {"__REALTIME_TIMESTAMP", "1700000000123456"}};
        if (!priority.isNull())
            r.insert("PRIORITY", priority);
        return r;
    };
    struct Case {
        QByteArray priority;
        unsigned long flag;
    };
    for (const Case& c : {Case{"0", LGLogFlagError}, Case{"2", LGLogFlagError}, Case{"3", LGLogFlagWarning},
             Case{"4", LGLogFlagInfo}, Case{"5", LGLogFlagDebug}, Case{"6", LGLogFlagVerbose},
             Case{"7", LGLogFlagVerbose}, Case{"x", LGLogFlagVerbose}, Case{QByteArray(), LGLogFlagError}}) {
        const auto captured = LGASLLogCapture::messageFromRecord(record(c.priority), LGLogLevelAll);
        ASSERT_TRUE(captured) << c.priority.constData();
        EXPECT_EQ(captured->message->flag, c.flag) << c.priority.constData();
        EXPECT_EQ(captured->synchronous, c.flag == LGLogFlagError);
        EXPECT_EQ(captured->message->fileName, QStringLiteral("LGASLLogCapture"));
        EXPECT_EQ(captured->message->context, 0);
        EXPECT_EQ(captured->message->level, LGLogLevelAll);
        EXPECT_EQ(captured->message->timestamp.toMSecsSinceEpoch(), 1700000000123LL);
    }
    EXPECT_FALSE(LGASLLogCapture::messageFromRecord(record("8"), LGLogLevelAll));
    EXPECT_FALSE(LGASLLogCapture::messageFromRecord(record("6"), LGLogLevelInfo)); // outside the capture level
    auto own = record("3");
    own.insert(LGJournalOwnField, "1");
    EXPECT_FALSE(LGASLLogCapture::messageFromRecord(own, LGLogLevelAll));
    auto console = record("6");
    console.insert("_TRANSPORT", "stdout");
    EXPECT_FALSE(LGASLLogCapture::messageFromRecord(console, LGLogLevelAll));
    auto silent = record("3");
    silent.remove("MESSAGE");
    EXPECT_FALSE(LGASLLogCapture::messageFromRecord(silent, LGLogLevelAll));
    auto other = record("3");
    other.insert("_PID", QByteArray::number(getpid() + 1));
    EXPECT_FALSE(LGASLLogCapture::messageFromRecord(other, LGLogLevelAll));
}

TEST_F(SystemLog, JournalRoundTripWhereAJournalRuns)
{
    if (!LGJournalAvailable()) {
        // Without a journal: nothing is sent, start does nothing, nothing throws.
        LGLog::addLogger(LGASLLogger::sharedInstance(), LGLogLevelWarning);
        LGLogWarn("nowhere");
        LGASLLogCapture::start();
        EXPECT_FALSE(LGASLLogCapture::isRunning());
        LGASLLogCapture::stop();
        GTEST_SKIP() << "no system journal here";
    }
    auto recorder = std::make_shared<RecordingLogger>();
    LGLog::addLogger(recorder);
    LGLog::addLogger(LGASLLogger::sharedInstance(), LGLogLevelWarning);
    LGASLLogCapture::setCaptureLevel(LGLogLevelAll);
    LGASLLogCapture::start();
    LGASLLogCapture::start(); // once
    ASSERT_TRUE(LGASLLogCapture::isRunning());
    // A foreign record of this process comes back; our own does not.
    sd_journal_send("MESSAGE=foreign record", "PRIORITY=4", nullptr);
    LGLogWarn("ours");
    const bool seen = oq::test::waitUntil([&] { return recorder->texts().contains(QStringLiteral("foreign record")); }, 10);
    LGASLLogCapture::stop();
    EXPECT_FALSE(LGASLLogCapture::isRunning());
    EXPECT_TRUE(seen);
    LGLog::flushLog();
    EXPECT_EQ(recorder->texts().count(QStringLiteral("ours")), 1);
}

} // namespace
