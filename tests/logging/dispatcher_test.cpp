#include <QThread>

#include <atomic>
#include <latch>

#include "logging/LGFormatters.h"
#include "logging/Log.h"
#include "logging/LoggingTestUtil.h"
#include "platform/Dispatch.h"

using oq::test::RecordingLogger;

namespace {

class Dispatcher : public oq::test::LoggingTest {};

struct Described {
    QString description() const { return QStringLiteral("<described>"); }
};

TEST_F(Dispatcher, MessageCarriesCallSiteAndThread)
{
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    const unsigned line = __LINE__ + 1;
    LGLogInfo("value %d of %@", 3, Described());
    LGLogDevice("P\n");
    LGLog::log(true, LGLogLevelInfo, LGLogFlagInfo, 0, "x.cpp", "f", 1, nullptr, nullptr); // absent format
    LGLog::flushLog();

    const auto messages = logger->messages();
    ASSERT_EQ(messages.size(), 2u);
    const LGLogMessage& m = messages[0];
    EXPECT_EQ(m.message, QStringLiteral("value 3 of <described>"));
    EXPECT_EQ(m.flag, LGLogFlagInfo);
    EXPECT_EQ(m.level, LGLogLevelInfo);
    EXPECT_EQ(m.context, 0);
    EXPECT_EQ(m.fileName, QStringLiteral("dispatcher_test"));
    EXPECT_TRUE(m.file.endsWith(QStringLiteral("dispatcher_test.cpp")));
    EXPECT_EQ(m.line, line);
    EXPECT_TRUE(m.function.contains(QStringLiteral("TestBody")));
    EXPECT_EQ(m.threadID.toLongLong(), gettid());
    EXPECT_EQ(m.queueLabel, QStringLiteral("main"));
    EXPECT_LE(m.timestamp.msecsTo(QDateTime::currentDateTimeUtc()), 10000);

    EXPECT_EQ(messages[1].message, QStringLiteral("P\n"));
    EXPECT_EQ(messages[1].context, OQDeviceLogContext);
    EXPECT_EQ(messages[1].level, LGLogLevelVerbose);
    EXPECT_EQ(messages[1].flag, LGLogFlagInfo);
}

TEST_F(Dispatcher, LevelsPickLoggersAndCallSitesFilter)
{
    auto warnings = std::make_shared<RecordingLogger>();
    auto all = std::make_shared<RecordingLogger>();
    LGLog::addLogger(warnings, LGLogLevelWarning);
    LGLog::addLogger(all);
    LGLog::addLogger(all); // again with the same level: still one delivery
    LGLog::addLogger(nullptr);
    LGLogError("e");
    LGLogWarn("w");
    LGLogInfo("i");
    LGLogDebug("d"); // the default unit level is info: never made
    LGLogVerbose("v");
    LGLog::flushLog();
    EXPECT_EQ(warnings->texts(), (QStringList{"e", "w"}));
    EXPECT_EQ(all->texts(), (QStringList{"e", "w", "i"}));
    EXPECT_EQ(LGLog::loggerCount(), 2u);

    // Installing again with another level changes the level, not the number of deliveries.
    LGLog::addLogger(warnings, LGLogLevelError);
    LGLogWarn("w2");
    LGLogError("e2");
    LGLog::flushLog();
    EXPECT_EQ(warnings->texts(), (QStringList{"e", "w", "e2"}));
    EXPECT_EQ(LGLog::loggerCount(), 2u);
}

TEST_F(Dispatcher, LoggersOfDifferentSpeedSeeTheSameOrder)
{
    auto slow = std::make_shared<RecordingLogger>(QStringLiteral("test.slow"), 2);
    auto fast = std::make_shared<RecordingLogger>(QStringLiteral("test.fast"));
    std::atomic<int> violations{0};
    // When the fast logger gets its k-th message, the slow one must have finished k already.
    fast->onMessage = [&](const LGLogMessage&) {
        if (slow->texts().size() < fast->texts().size())
            ++violations;
    };
    LGLog::addLogger(slow);
    LGLog::addLogger(fast);
    constexpr int count = 60;
    std::thread other([] {
        for (int i = 0; i < 5; ++i)
            LGLogWarn("other");
    });
    for (int i = 0; i < count; ++i)
        LGLogInfo("%d", i);
    other.join();
    LGLog::flushLog();

    QStringList slowTexts = slow->texts();
    EXPECT_EQ(slowTexts, fast->texts());
    EXPECT_EQ(slowTexts.size(), count + 5);
    QStringList numbers;
    for (const QString& t : slowTexts)
        if (t != QStringLiteral("other"))
            numbers << t;
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(numbers[i], QString::number(i));
    EXPECT_EQ(violations.load(), 0);
}

TEST_F(Dispatcher, FlushAfterBurstReturnsWhenAllWereHandled)
{
    auto slow = std::make_shared<RecordingLogger>(QStringLiteral("test.slow"), 1);
    auto fast = std::make_shared<RecordingLogger>();
    LGLog::addLogger(slow);
    LGLog::addLogger(fast);
    for (int i = 0; i < 200; ++i)
        LGLogInfo("burst %d", i);
    LGLog::flushLog();
    EXPECT_EQ(slow->texts().size(), 200);
    EXPECT_EQ(fast->texts().size(), 200);
    EXPECT_GE(slow->flushes(), 1);
}

TEST_F(Dispatcher, ErrorsWaitForEveryLogger)
{
    auto slow = std::make_shared<RecordingLogger>(QStringLiteral("test.slow"), 20);
    LGLog::addLogger(slow);
    LGLogError("now");
    EXPECT_EQ(slow->texts(), QStringList{"now"}); // no flush needed
}

TEST_F(Dispatcher, ErrorsFromTheDispatcherOrALoggerDoNotDeadlock)
{
    auto logger = std::make_shared<RecordingLogger>();
    // A logger that itself logs an error for one message (loggers should not, but must not hang).
    logger->onMessage = [](const LGLogMessage& m) {
        if (m.message == QStringLiteral("trigger"))
            LGLogError("from the logger");
    };
    LGLog::addLogger(logger);
    LGLog::loggingQueue().sync([] { LGLogError("from the logging queue"); });
    LGLogInfo("trigger");
    LGLog::flushLog();
    LGLog::flushLog(); // the error from the logger was queued behind the first flush
    EXPECT_EQ(logger->texts(), (QStringList{"from the logging queue", "trigger", "from the logger"}));

    // flushLog from a logger's own queue returns instead of waiting for itself.
    logger->loggerQueue().sync([] { LGLog::flushLog(); });
}

TEST_F(Dispatcher, FormatterAppliesToMessagesQueuedAfterIt)
{
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    auto filter = std::make_shared<LGContextDenylistFilterLogFormatter>();
    filter->addToBlacklist(80);
    LGLogInfo("before");
    LGLogDevice("traffic 1");
    logger->setLogFormatter(filter);
    EXPECT_EQ(logger->logFormatter(), filter);
    LGLogDevice("traffic 2");
    LGLogInfo("after");
    LGLog::flushLog();
    EXPECT_EQ(logger->texts(), (QStringList{"before", "traffic 1", "after"}));
    EXPECT_TRUE(filter->isOnDenylist(80));
    EXPECT_FALSE(filter->isOnDenylist(0));
}

TEST_F(Dispatcher, RemovingLetsTheLoggerGoAndStopsDelivery)
{
    auto logger = std::make_shared<RecordingLogger>();
    std::weak_ptr<RecordingLogger> weak = logger;
    LGLog::addLogger(logger);
    LGLogInfo("one");
    LGLog::removeLogger(logger);
    LGLogInfo("two");
    LGLog::flushLog();
    EXPECT_EQ(logger->texts(), QStringList{"one"});
    logger.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(Dispatcher, ManyThreadsLogWithoutLoss)
{
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            oq::setCurrentThreadName(QStringLiteral("writer%1").arg(t));
            for (int i = 0; i < 250; ++i)
                LGLogInfo("%d:%d", t, i);
        });
    for (auto& th : threads)
        th.join();
    LGLog::flushLog();
    const auto messages = logger->messages();
    ASSERT_EQ(messages.size(), 1000u);
    // Each thread's messages keep their own order.
    int last[4] = {-1, -1, -1, -1};
    for (const auto& m : messages) {
        const int t = m.message.section(':', 0, 0).toInt();
        const int i = m.message.section(':', 1, 1).toInt();
        EXPECT_EQ(i, last[t] + 1);
        last[t] = i;
        EXPECT_EQ(m.threadName, QStringLiteral("writer%1").arg(t));
    }
}

} // namespace
