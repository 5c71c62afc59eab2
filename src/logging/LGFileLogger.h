#pragma once
// A logger that writes to rolling files named and pruned by its log file manager.
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

#include "logging/LGLogFileInfo.h"
#include "logging/LGLogFileManager.h"
#include "logging/LGLogger.h"

class LGFileLogger : public LGAbstractLogger {
public:
    // With a default manager in the default folder.
    LGFileLogger();
    explicit LGFileLogger(std::shared_ptr<LGLogFileManagerDefault> logFileManager);
    ~LGFileLogger() override;

    static std::shared_ptr<LGFileLogger> init();
    static std::shared_ptr<LGFileLogger> initWithLogFileManager(std::shared_ptr<LGLogFileManagerDefault> logFileManager);

    void logMessage(const LGLogMessage& message) override;
    bool canFlush() const override { return true; }
    // Writes are unbuffered; this syncs the open file to disk.
    void flush() override;
    // Rolls the file, unless the logger is being put aside at the end of the process.
    void willRemoveLogger() override;
    // Removed from the dispatcher after this, the logger flushes and closes its file without
    // archiving it, so that the next start continues it (unless it is due by then).
    void keepFileAtRemoval() { m_keepFileAtRemoval = true; }

    // Closes and archives the current file after every message queued so far; the next message
    // starts a new one. `completion` runs on the background queue.
    void rollLogFileWithCompletionBlock(std::function<void()> completion = {});

    // The file being written, opening one if none is (nothing when none can be had).
    std::shared_ptr<LGLogFileInfo> currentLogFileInfo();

    const std::shared_ptr<LGLogFileManagerDefault>& logFileManager() const { return m_logFileManager; }

    // Setters apply to every message queued after the call.
    // Bytes; roll when the file reaches it; 0 = no limit. Default 1 MiB.
    unsigned long long maximumFileSize() const { return m_maximumFileSize; }
    void setMaximumFileSize(unsigned long long bytes);
    // Seconds; roll when the file is this old; 0 or less = no limit. Default 24 h.
    double rollingFrequency() const { return m_rollingFrequency; }
    void setRollingFrequency(double seconds);
    bool doNotReuseLogFiles() const { return m_doNotReuseLogFiles; }
    void setDoNotReuseLogFiles(bool value);
    bool automaticallyAppendNewlineForCustomFormatters() const { return m_appendNewline; }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool value);

private:
    // lt_: on the logger's queue only.
    int lt_currentFileHandle();
    bool lt_openFileWasRemoved();
    bool lt_isDue(const LGLogFileInfo& info) const;
    void lt_writeData(const QByteArray& data);
    // Closes the current file; archived unless `archive` is false.
    void lt_roll(bool archive = true);
    void lt_closeFile(bool archive);
    void lt_armAgeTimer();
    void lt_ageTimerFired(unsigned long generation);

    const std::shared_ptr<LGLogFileManagerDefault> m_logFileManager;
    std::atomic<unsigned long long> m_maximumFileSize{1024 * 1024};
    std::atomic<double> m_rollingFrequency{86400};
    std::atomic<bool> m_doNotReuseLogFiles{false};
    std::atomic<bool> m_appendNewline{true};
    std::atomic<bool> m_keepFileAtRemoval{false};

    std::shared_ptr<LGLogFileInfo> m_currentInfo;
    int m_fd = -1;
    QByteArray m_openPath;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    int m_watch = -1; // inotify on the open file and its folder
    bool m_askAtNextWrite = false;
    QString m_openError;
    mutable LGConsoleReports m_reports;
    unsigned long m_timerGeneration = 0;
    unsigned long long m_timerId = 0;
};
