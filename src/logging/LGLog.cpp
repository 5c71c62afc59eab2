#include "LGLog.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdlib>
#include <latch>
#include <thread>
#include <vector>

#include "logging/LGLogger.h"
#include "platform/Dispatch.h"

namespace {

struct LoggerNode {
    std::shared_ptr<LGAbstractLogger> logger;
    unsigned long level = LGLogLevelAll;
};

// Developers' aid: OQ_LOG_TO_STDERR=1 mirrors every message on standard error.
class StderrLogger final : public LGAbstractLogger {
public:
    StderrLogger() : LGAbstractLogger(QStringLiteral("lglog.stderr")) {}
    void logMessage(const LGLogMessage& m) override
    {
        LGConsoleText(QStringLiteral("[%1/%2] %3").arg(m.flag).arg(m.context).arg(m.message));
    }
};

class Dispatcher {
public:
    oq::SerialQueue queue{QStringLiteral("lglog.logging")};
    std::vector<LoggerNode> nodes; // touched on the logging queue only
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());

    Dispatcher() { nodes.reserve(4); }

    // On the logging queue: the next message goes nowhere before every picked logger is done.
    void deliver(const LGLogMessage& message)
    {
        LGAbstractLogger* picked[16];
        std::vector<LGAbstractLogger*> many;
        std::size_t count = 0;
        for (const auto& node : nodes) {
            if ((node.level & message.flag) == 0)
                continue;
            if (count < std::size(picked))
                picked[count] = node.logger.get();
            else
                many.push_back(node.logger.get());
            ++count;
        }
        if (count == 0)
            return;
        auto at = [&](std::size_t i) { return i < std::size(picked) ? picked[i] : many[i - std::size(picked)]; };
        if (count == 1 || processors == 1) {
            for (std::size_t i = 0; i < count; ++i) {
                LGAbstractLogger* logger = at(i);
                logger->loggerQueue().sync([&] { logger->logMessage(message); });
            }
            return;
        }
        std::latch done{std::ptrdiff_t(count)};
        for (std::size_t i = 0; i < count; ++i) {
            LGAbstractLogger* logger = at(i);
            logger->loggerQueue().async([&message, &done, logger] {
                logger->logMessage(message);
                done.count_down();
            });
        }
        done.wait();
    }

    // On the logging queue.
    void flushAll()
    {
        std::vector<LGAbstractLogger*> flushers;
        for (const auto& node : nodes)
            if (node.logger->canFlush())
                flushers.push_back(node.logger.get());
        if (flushers.empty())
            return;
        std::latch done{std::ptrdiff_t(flushers.size())};
        for (auto* logger : flushers)
            logger->loggerQueue().async([&done, logger] {
                logger->flush();
                done.count_down();
            });
        done.wait();
    }
};

void flushAtExit() { LGLog::flushLog(); }

Dispatcher& dispatcher()
{
    // Never destroyed: loggers must outlive every static that may still log during exit.
    static Dispatcher* instance = [] {
        auto* d = new Dispatcher;
        if (auto* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, app, &flushAtExit, Qt::DirectConnection);
        // Also at exit: a process may end without the application's quit signal.
        std::atexit(flushAtExit);
        if (qEnvironmentVariableIntValue("OQ_LOG_TO_STDERR") > 0)
            d->nodes.push_back({std::make_shared<StderrLogger>(), LGLogLevelAll});
        return d;
    }();
    return *instance;
}

} // namespace

void LGLog::logText(bool asynchronous, unsigned long level, unsigned long flag, long context, const char* file,
    const char* function, unsigned line, const void* tag, const QString& message)
{
    queueLogMessage(std::make_shared<const LGLogMessage>(message, level, flag, context, file, function, line, tag),
        asynchronous);
}

void LGLog::log(bool asynchronous, std::shared_ptr<const LGLogMessage> message)
{
    if (message)
        queueLogMessage(std::move(message), asynchronous);
}

void LGLog::queueLogMessage(std::shared_ptr<const LGLogMessage> message, bool asynchronously)
{
    if (!message)
        return;
    Dispatcher& d = dispatcher();
    if (d.queue.isCurrent()) {
        if (asynchronously)
            d.queue.async([&d, message = std::move(message)] { d.deliver(*message); });
        else
            d.deliver(*message);
        return;
    }
    // A logger that waited here for the dispatcher, which waits for that logger, would never wake.
    if (asynchronously || LGAbstractLogger::isOnAnyLoggerQueue()) {
        d.queue.async([&d, message = std::move(message)] { d.deliver(*message); });
        return;
    }
    d.queue.sync([&] { d.deliver(*message); });
}

void LGLog::addLogger(std::shared_ptr<LGAbstractLogger> logger) { addLogger(std::move(logger), LGLogLevelAll); }

void LGLog::addLogger(std::shared_ptr<LGAbstractLogger> logger, unsigned long level)
{
    if (!logger)
        return;
    Dispatcher& d = dispatcher();
    d.queue.async([&d, logger = std::move(logger), level] {
        for (auto& node : d.nodes) {
            if (node.logger == logger) {
                node.level = level;
                return;
            }
        }
        d.nodes.push_back({logger, level});
        logger->loggerQueue().sync([&] { logger->didAddLogger(); });
    });
}

void LGLog::removeLogger(const std::shared_ptr<LGAbstractLogger>& logger)
{
    if (!logger)
        return;
    Dispatcher& d = dispatcher();
    d.queue.sync([&] {
        auto it = std::find_if(d.nodes.begin(), d.nodes.end(), [&](const LoggerNode& n) { return n.logger == logger; });
        if (it == d.nodes.end())
            return;
        d.nodes.erase(it);
        logger->loggerQueue().sync([&] { logger->willRemoveLogger(); });
    });
}

void LGLog::removeAllLoggers()
{
    Dispatcher& d = dispatcher();
    d.queue.sync([&] {
        auto nodes = std::move(d.nodes);
        d.nodes.clear();
        for (auto& node : nodes)
            node.logger->loggerQueue().sync([&] { node.logger->willRemoveLogger(); });
    });
}

std::size_t LGLog::loggerCount()
{
    Dispatcher& d = dispatcher();
    std::size_t count = 0;
    d.queue.sync([&] { count = d.nodes.size(); });
    return count;
}

void LGLog::flushLog()
{
    if (LGAbstractLogger::isOnAnyLoggerQueue())
        return; // a logger cannot wait for its own queue
    Dispatcher& d = dispatcher();
    d.queue.sync([&d] { d.flushAll(); });
}

oq::SerialQueue& LGLog::loggingQueue() { return dispatcher().queue; }

bool LGLog::isOnLoggingQueue() { return dispatcher().queue.isCurrent(); }
