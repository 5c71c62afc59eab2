#pragma once
// The system log (journald): a logger that sends records to it, and a capture that reads this
// process's own records back into the dispatcher. Where no journal runs, both do nothing and say
// so once on the console.
#include <QByteArray>
#include <QHash>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "logging/LGLogger.h"

// Field that marks the records this program's logger sent, so that the capture passes them by.
inline constexpr const char* LGJournalOwnField = "OQ_LGLOG";

class LGASLLogger : public LGAbstractLogger {
public:
    // Sends one record given as "FIELD=value" entries; 0 or a negative errno.
    using Sender = std::function<int(const std::vector<QByteArray>& fields)>;

    static std::shared_ptr<LGASLLogger> sharedInstance();
    // An empty sender means the journal.
    explicit LGASLLogger(Sender sender = {});

    void logMessage(const LGLogMessage& message) override;

    // error 2, warning 3, info 4, anything else 5
    static int systemLogLevelForFlag(unsigned long flag);
    // MESSAGE, PRIORITY, SYSLOG_IDENTIFIER, the code position and our own marker.
    static std::vector<QByteArray> recordFields(const LGLogMessage& message, const QString& text);

private:
    Sender m_sender;
    bool m_reportedFailure = false;
};

class LGASLLogCapture {
public:
    // Once; a second start while running does nothing.
    static void start();
    static void stop();
    static bool isRunning();
    // Flags brought in; verbose at first.
    static unsigned long captureLevel();
    static void setCaptureLevel(unsigned long level);

    struct Captured {
        std::shared_ptr<const LGLogMessage> message;
        bool synchronous = false; // errors wait, like every error
    };
    // One journal record (field name → value) as a message for the dispatcher; nothing for our own
    // records, our own standard output and error, records without a text, priorities above 7 and
    // flags outside `captureLevel`.
    static std::optional<Captured> messageFromRecord(const QHash<QByteArray, QByteArray>& fields, unsigned long captureLevel);
};

// Whether a journal can be reached here.
bool LGJournalAvailable();
