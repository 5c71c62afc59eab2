#pragma once
// Naming, listing and deleting of the log files in one folder.
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "logging/LGLogFileInfo.h"
#include "logging/LGLogger.h"

class LGLogFileManagerDefault : public std::enable_shared_from_this<LGLogFileManagerDefault> {
public:
    // The default folder (see defaultLogsDirectory).
    LGLogFileManagerDefault();
    explicit LGLogFileManagerDefault(QString logsDirectory);
    virtual ~LGLogFileManagerDefault() = default;

    // $XDG_STATE_HOME (default ~/.local/state, the home taken from the password database when
    // HOME is unset), then the process name, then "Logs"; empty without any home.
    static QString defaultLogsDirectory();
    // The application's name as set on the application object, else the process name; worked out once.
    static QString applicationName();
    // The file-name date: UTC, "yyyy-MM-dd--HH-mm-ss-SSS".
    static QString fileNameDateString(const QDateTime& date);
    static QDateTime dateFromFileNameString(const QString& text);

    // Creates the folder (and missing parents) each time it is asked for, private to the user; one
    // that belongs to another user or that others may change is not written to.
    QString logsDirectory() const;
    // "APP DATE.log"
    virtual QString newLogFileName() const;
    // "APP " ... ".log"
    virtual bool isLogFile(const QString& fileName) const;
    // Written at the head of each new file; none here.
    virtual QByteArray logFileHeader() const { return {}; }
    // Whether a new file may take the place of an old one of the same name. Dated names meet only
    // when two files start within a millisecond; the later then gets a numbered name instead.
    virtual bool newFileReplacesOld() const { return false; }

    QStringList unsortedLogFilePaths() const;
    std::vector<std::shared_ptr<LGLogFileInfo>> unsortedLogFileInfos() const;
    // Newest first, by the date in the name, else by creation date.
    std::vector<std::shared_ptr<LGLogFileInfo>> sortedLogFileInfos() const;
    QStringList sortedLogFileNames() const;

    // Creates an empty file and gives its path; empty with `error` set on failure.
    QString createNewLogFileWithError(QString* error = nullptr);
    // Keeps `maximumNumberOfLogFiles` newest files within `logFilesDiskQuota`; never the file being
    // written.
    void deleteOldLogFiles();

    unsigned maximumNumberOfLogFiles() const { return m_maximumNumberOfLogFiles; }
    void setMaximumNumberOfLogFiles(unsigned count);
    unsigned long long logFilesDiskQuota() const { return m_logFilesDiskQuota; }
    void setLogFilesDiskQuota(unsigned long long bytes);

    // The file a logger writes to; deletion passes it by.
    void setCurrentLogFilePath(const QString& path);

private:
    void deleteOldLogFilesInBackground();

    const QString m_logsDirectory;
    std::atomic<unsigned> m_maximumNumberOfLogFiles{5};
    std::atomic<unsigned long long> m_logFilesDiskQuota{20 * 1024 * 1024};
    mutable std::mutex m_currentMutex;
    QString m_currentLogFilePath;
    std::mutex m_deleteMutex; // one deletion at a time
    mutable LGConsoleReports m_reports;
};
