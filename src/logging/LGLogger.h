#pragma once
// The message record, formatters and the loggers' common base.
#include <QDateTime>
#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>

#include "logging/LGLog.h"
#include "platform/RepeatedFailure.h"

namespace oq {
class SerialQueue;
}

// Ownership hints kept for the record; strings are always copied here.
enum LGLogMessageOptions : unsigned {
    LGLogMessageCopyFile = 1,
    LGLogMessageCopyFunction = 2,
    LGLogMessageDontCopyMessage = 4,
};

// One message, immutable once built and shared by every logger.
class LGLogMessage {
public:
    // An invalid `timestamp` means now. Thread fields describe the calling thread.
    LGLogMessage(QString message, unsigned long level, unsigned long flag, long context, const char* file,
        const char* function, unsigned line, const void* tag = nullptr, unsigned options = 0,
        QDateTime timestamp = {});

    QString message;
    unsigned long level = 0;
    unsigned long flag = 0;
    long context = 0;
    QString file;
    QString fileName; // last path component of `file`, cut before its last "."
    QString function;
    unsigned line = 0;
    const void* tag = nullptr;
    unsigned options = 0;
    QDateTime timestamp;
    QString threadID;
    QString threadName;
    QString queueLabel;
    unsigned qos = 0;
};

class LGLogFormatter {
public:
    virtual ~LGLogFormatter() = default;
    // The text to write, or nothing to skip the message for this logger. May run on several
    // loggers' queues at once.
    virtual std::optional<QString> formatLogMessage(const LGLogMessage& message) const = 0;
};

// A logger runs all its work on its own serial queue; the dispatcher waits on that queue.
// Loggers report their own failures on the console (LGConsoleReport), never through the dispatcher.
class LGAbstractLogger : public std::enable_shared_from_this<LGAbstractLogger> {
public:
    explicit LGAbstractLogger(QString loggerName);
    virtual ~LGAbstractLogger();
    LGAbstractLogger(const LGAbstractLogger&) = delete;
    LGAbstractLogger& operator=(const LGAbstractLogger&) = delete;

    // On the logger's queue, one message at a time, in dispatch order.
    virtual void logMessage(const LGLogMessage& message) = 0;
    virtual bool canFlush() const { return false; }
    virtual void flush() {}
    // On the logger's queue when the dispatcher installs or removes the logger.
    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}

    const QString& loggerName() const { return m_loggerName; }
    oq::SerialQueue& loggerQueue() const { return *m_queue; }
    bool isOnLoggerQueue() const;

    // Applies to every message queued after the call; reading waits for the queues.
    std::shared_ptr<const LGLogFormatter> logFormatter() const;
    void setLogFormatter(std::shared_ptr<const LGLogFormatter> formatter);

    // Whether the caller runs on some logger's queue (where waiting on the dispatcher would deadlock).
    static bool isOnAnyLoggerQueue();

protected:
    // Runs `task` on the logger's queue after everything queued to the dispatcher so far, and waits.
    void syncThroughQueues(const std::function<void()>& task) const;
    // The same without waiting.
    void asyncThroughQueues(std::function<void()> task);

    // Touched on the logger's queue only.
    std::shared_ptr<const LGLogFormatter> m_logFormatter;

private:
    QString m_loggerName;
    std::shared_ptr<oq::SerialQueue> m_queue;
};

// Writes "text" and a line end to standard error: the loggers' own failure reports.
void LGConsoleText(const QString& text);
template <typename... Args>
void LGConsoleReport(const char* format, const Args&... args)
{
    LGConsoleText(LGFormat(format, {LGArg(args)...}));
}

// One logger's (or manager's) failure reports: one that repeats, as every message does on a full
// disk, is told once, then at most once a minute (modelled) with how often it happened.
class LGConsoleReports {
public:
    template <typename... Args>
    void report(const char* format, const Args&... args)
    {
        tell(format, LGFormat(format, {LGArg(args)...}));
    }

private:
    void tell(const char* format, const QString& text);

    std::mutex m_mutex;
    std::map<const char*, oq::RepeatedFailure> m_failures; // by report
};
