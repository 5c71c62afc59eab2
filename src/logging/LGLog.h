#pragma once
// The logging dispatcher: one global serial queue orders every message and hands it to each
// installed logger whose level admits the message's flag.
#include <QString>

#include <memory>

#include "logging/LGFormat.h"

namespace oq {
class SerialQueue;
}
class LGLogMessage;
class LGAbstractLogger;

enum LGLogFlag : unsigned long {
    LGLogFlagError = 1,
    LGLogFlagWarning = 2,
    LGLogFlagInfo = 4,
    LGLogFlagDebug = 8,
    LGLogFlagVerbose = 16,
};

enum LGLogLevel : unsigned long {
    LGLogLevelOff = 0,
    LGLogLevelError = 1,
    LGLogLevelWarning = 3,
    LGLogLevelInfo = 7,
    LGLogLevelDebug = 15,
    LGLogLevelVerbose = 31,
    LGLogLevelAll = ~0UL,
};

class LGLog {
public:
    // An absent format logs nothing.
    template <typename... Args>
    static void log(bool asynchronous, unsigned long level, unsigned long flag, long context, const char* file,
        const char* function, unsigned line, const void* tag, const char* format, const Args&... args)
    {
        if (!format)
            return;
        logText(asynchronous, level, flag, context, file, function, line, tag, LGFormat(format, {LGArg(args)...}));
    }

    static void logText(bool asynchronous, unsigned long level, unsigned long flag, long context, const char* file,
        const char* function, unsigned line, const void* tag, const QString& message);

    // Queues a ready message.
    static void log(bool asynchronous, std::shared_ptr<const LGLogMessage> message);

    // Asynchronous: returns at once. Synchronous: returns when every picked logger has handled the
    // message; inline when the caller already runs on the logging queue.
    static void queueLogMessage(std::shared_ptr<const LGLogMessage> message, bool asynchronously);

    // Installation is queued like a message, so it applies to every message queued after it.
    // An absent logger is ignored; a logger installed again keeps one node with the new level.
    static void addLogger(std::shared_ptr<LGAbstractLogger> logger);
    static void addLogger(std::shared_ptr<LGAbstractLogger> logger, unsigned long level);
    // Waits until the logger is gone from the dispatcher; the logger hears of it on its own queue.
    static void removeLogger(const std::shared_ptr<LGAbstractLogger>& logger);
    static void removeAllLoggers();
    static std::size_t loggerCount();

    // Returns when every message queued before the call has been handled and flushed.
    static void flushLog();

    static oq::SerialQueue& loggingQueue();
    static bool isOnLoggingQueue();
};
