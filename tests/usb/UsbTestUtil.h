#pragma once
// Shared by the USB monitor tests: a delegate that counts reports and a logger that keeps lines.
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "logging/LGLog.h"
#include "logging/LGLogger.h"
#include "usb/USBMonitor.h"

namespace oq::test {

struct CountingDelegate : USBMonitorDegelate {
    int found = 0;
    int removed = 0;
    USBMonitor* lastMonitor = nullptr;
    void monitorFoundNewDevice(USBMonitor* monitor) override
    {
        ++found;
        lastMonitor = monitor;
    }
    void monitorRemovedDevice(USBMonitor* monitor) override
    {
        ++removed;
        lastMonitor = monitor;
    }
};

class CaptureLogger : public LGAbstractLogger {
public:
    CaptureLogger() : LGAbstractLogger(QStringLiteral("usb.test.capture")) {}
    void logMessage(const LGLogMessage& message) override
    {
        std::lock_guard lock(m_mutex);
        m_lines << message.message;
    }
    // Every line logged so far, once the dispatcher has delivered them.
    QStringList lines()
    {
        LGLog::flushLog();
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    QStringList matching(const QString& pattern)
    {
        return lines().filter(QRegularExpression(pattern));
    }

private:
    std::mutex m_mutex;
    QStringList m_lines;
};

// Installs a capture logger for the life of the object.
struct LogCapture {
    std::shared_ptr<CaptureLogger> logger = std::make_shared<CaptureLogger>();
    LogCapture() { LGLog::addLogger(logger); }
    ~LogCapture() { LGLog::removeLogger(logger); }
    QStringList lines() { return logger->lines(); }
    QStringList matching(const QString& pattern) { return logger->matching(pattern); }

    // One arrival and one removal line, with the handle in upper-case hexadecimal (handles always
    // hold a letter, so lower case would show).
    void expectOneArrivalAndRemovalLine()
    {
        EXPECT_EQ(matching("^Device added with service: [0-9A-F]*[A-F][0-9A-F]*$").size(), 1);
        EXPECT_EQ(matching("^Device added with service: ").size(), 1);
        EXPECT_EQ(matching("^Device removed with service: [0-9A-F]+$").size(), 1);
    }
};

} // namespace oq::test
