#pragma once
// Helpers of the logging tests.
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "logging/LGLogger.h"

namespace oq::test {

// Keeps what it receives; optionally slow.
class RecordingLogger : public LGAbstractLogger {
public:
    explicit RecordingLogger(QString name = QStringLiteral("test.recording"), int delayMs = 0)
        : LGAbstractLogger(std::move(name))
        , m_delayMs(delayMs)
    {
    }

    void logMessage(const LGLogMessage& message) override
    {
        if (onMessage)
            onMessage(message);
        if (m_delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_delayMs));
        std::optional<QString> text = m_logFormatter ? m_logFormatter->formatLogMessage(message) : message.message;
        std::lock_guard lock(m_mutex);
        m_messages.push_back(message);
        if (text)
            m_texts << *text;
    }
    bool canFlush() const override { return true; }
    void flush() override
    {
        std::lock_guard lock(m_mutex);
        ++m_flushes;
    }

    std::vector<LGLogMessage> messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    QStringList texts() const
    {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }
    int flushes() const
    {
        std::lock_guard lock(m_mutex);
        return m_flushes;
    }

    std::function<void(const LGLogMessage&)> onMessage; // set before installing

private:
    const int m_delayMs;
    mutable std::mutex m_mutex;
    std::vector<LGLogMessage> m_messages;
    QStringList m_texts;
    int m_flushes = 0;
};

// Every test starts and ends with no logger installed.
class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override { LGLog::removeAllLoggers(); }
    void TearDown() override
    {
        LGLog::flushLog();
        LGLog::removeAllLoggers();
    }
};

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(data);
}

} // namespace oq::test
