#pragma once
// One log file on disk and its archive marker.
#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

#include <sys/stat.h>

// A file is archived once a roll has closed it; an archived file is never continued. The marker is
// the extended attribute "user.oq.log.archived" (value 1). Where the file system takes no user
// attributes, a hidden file ".NAME.archived" beside the log stands in for it.
class LGLogFileInfo {
public:
    explicit LGLogFileInfo(QString filePath);
    static std::shared_ptr<LGLogFileInfo> logFileWithPath(const QString& filePath);

    const QString& filePath() const { return m_filePath; }
    QString fileName() const;
    bool exists() const;
    // "size", "creationDate", "modificationDate", "permissions" (octal mode bits)
    QVariantMap fileAttributes() const;
    // The file's birth time where the file system records one, else its modification time.
    QDateTime creationDate() const;
    QDateTime modificationDate() const;
    unsigned long long fileSize() const;
    // Seconds since creation.
    double age() const;

    bool isArchived() const;
    // `fd`, when given, marks the open file itself, so a file that was moved away is marked too.
    void setIsArchived(bool archived, int fd = -1);

    // Attributes are read once; reset() reads them afresh at the next question.
    void reset();

    static const char* archivedAttributeName();
    static QString markerPath(const QString& filePath);
    // Tests: behave as on a file system without user attributes.
    static void setUserAttributesDisabledForTesting(bool disabled);

private:
    const struct statx* stats() const;

    QString m_filePath;
    mutable std::optional<struct statx> m_stats;
    mutable bool m_statFailed = false;
};
