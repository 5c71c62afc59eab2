#include "LGLogger.h"

#include <cstdio>

#include <sys/prctl.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/Dispatch.h"

namespace {
thread_local bool t_onLoggerQueue = false;

QString fileNameOf(const QString& file)
{
    QString name = file.mid(file.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    return name;
}

QString callingThreadName()
{
    char buf[32] = {};
    if (prctl(PR_GET_NAME, buf) != 0)
        return {};
    return QString::fromUtf8(buf);
}
} // namespace

LGLogMessage::LGLogMessage(QString message_, unsigned long level_, unsigned long flag_, long context_,
    const char* file_, const char* function_, unsigned line_, const void* tag_, unsigned options_, QDateTime timestamp_)
    : message(std::move(message_))
    , level(level_)
    , flag(flag_)
    , context(context_)
    , file(file_ ? QString::fromUtf8(file_) : QString())
    , fileName(fileNameOf(file))
    , function(function_ ? QString::fromUtf8(function_) : QString())
    , line(line_)
    , tag(tag_)
    , options(options_)
    , timestamp(timestamp_.isValid() ? std::move(timestamp_) : QDateTime::currentDateTimeUtc())
    , threadName(callingThreadName())
    , queueLabel(oq::SerialQueue::currentLabel())
{
    const pid_t tid = gettid();
    threadID = tid > 0 ? QString::number(tid) : QStringLiteral("missing threadId");
    if (queueLabel.isEmpty() && oq::isMainThread())
        queueLabel = QStringLiteral("main");
}

LGAbstractLogger::LGAbstractLogger(QString loggerName)
    : m_loggerName(std::move(loggerName))
    , m_queue(std::make_shared<oq::SerialQueue>(m_loggerName))
{
    m_queue->async([] { t_onLoggerQueue = true; });
}

LGAbstractLogger::~LGAbstractLogger()
{
    // The last owner may be a task on our own queue; the queue's thread cannot join itself, so
    // another thread lets it finish and go.
    if (m_queue->isCurrent())
        std::thread([q = std::move(m_queue)] {}).detach();
}

bool LGAbstractLogger::isOnLoggerQueue() const { return m_queue->isCurrent(); }

bool LGAbstractLogger::isOnAnyLoggerQueue() { return t_onLoggerQueue; }

std::shared_ptr<const LGLogFormatter> LGAbstractLogger::logFormatter() const
{
    std::shared_ptr<const LGLogFormatter> result;
    syncThroughQueues([&] { result = m_logFormatter; });
    return result;
}

void LGAbstractLogger::setLogFormatter(std::shared_ptr<const LGLogFormatter> formatter)
{
    syncThroughQueues([&] { m_logFormatter = std::move(formatter); });
}

void LGAbstractLogger::syncThroughQueues(const std::function<void()>& task) const
{
    if (isOnLoggerQueue()) {
        task();
        return;
    }
    if (isOnAnyLoggerQueue()) {
        // The dispatcher may be waiting for the queue we run on: skip it.
        m_queue->sync(task);
        return;
    }
    LGLog::loggingQueue().sync([&] { m_queue->sync(task); });
}

void LGAbstractLogger::asyncThroughQueues(std::function<void()> task)
{
    auto self = weak_from_this().lock();
    if (!self) {
        syncThroughQueues(task); // not shared: nothing could keep it alive until later
        return;
    }
    LGLog::loggingQueue().async([self, task = std::move(task)]() mutable {
        self->m_queue->async([self, task = std::move(task)] { task(); });
    });
}

void LGConsoleText(const QString& text)
{
    const QByteArray line = text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void LGConsoleReports::tell(const char* format, const QString& text)
{
    qint64 times = 0;
    {
        std::lock_guard lock(m_mutex);
        times = m_failures[format].happened(oq::clock::now());
    }
    if (times == 1)
        LGConsoleText(text);
    else if (times > 1)
        LGConsoleText(text + QStringLiteral(" (%1 times since last said)").arg(times));
}
