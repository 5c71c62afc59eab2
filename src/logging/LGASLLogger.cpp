#include "LGASLLogger.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <mutex>
#include <thread>

#include <sys/uio.h>
#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include "logging/LGLogFileManager.h"
#include "platform/Dispatch.h"

namespace {

// The capture's records carry this as their file, so the system-log logger can pass them by.
const char* const kCaptureFile = "LGASLLogCapture";

void noteNoJournalOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        LGConsoleText(QStringLiteral("LGASLLogger: no system journal is running; the system log is not written or read."));
    });
}

int sendToJournal(const std::vector<QByteArray>& fields)
{
    std::vector<struct iovec> iov(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i)
        iov[i] = {const_cast<char*>(fields[i].constData()), size_t(fields[i].size())};
    return sd_journal_sendv(iov.data(), int(iov.size()));
}

struct CaptureState {
    std::mutex mutex; // start and stop
    std::atomic<bool> running{false};
    std::atomic<unsigned long> level{LGLogLevelVerbose};
    std::thread thread;
};

CaptureState& capture()
{
    static auto* state = new CaptureState; // never destroyed: its thread may outlive statics
    return *state;
}

QHash<QByteArray, QByteArray> currentRecord(sd_journal* journal)
{
    QHash<QByteArray, QByteArray> fields;
    const void* data = nullptr;
    size_t length = 0;
    sd_journal_restart_data(journal);
    while (sd_journal_enumerate_data(journal, &data, &length) > 0) {
        const QByteArray entry(static_cast<const char*>(data), qsizetype(length));
        const qsizetype eq = entry.indexOf('=');
        if (eq > 0)
            fields.insert(entry.left(eq), entry.mid(eq + 1));
    }
    uint64_t usec = 0;
    if (sd_journal_get_realtime_usec(journal, &usec) >= 0)
        fields.insert("__REALTIME_TIMESTAMP", QByteArray::number(qulonglong(usec)));
    return fields;
}

void captureLoop(uint64_t startUsec)
{
    oq::setCurrentThreadName(QStringLiteral("lglog.capture"));
    auto& state = capture();
    sd_journal* journal = nullptr;
    if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) {
        noteNoJournalOnce();
        state.running = false;
        return;
    }
    const QByteArray pidMatch = "_PID=" + QByteArray::number(getpid());
    sd_journal_add_match(journal, pidMatch.constData(), size_t(pidMatch.size()));
    sd_id128_t boot;
    if (sd_id128_get_boot(&boot) >= 0) {
        char text[SD_ID128_STRING_MAX];
        const QByteArray bootMatch = QByteArray("_BOOT_ID=") + sd_id128_to_string(boot, text);
        sd_journal_add_match(journal, bootMatch.constData(), size_t(bootMatch.size()));
    }
    sd_journal_seek_realtime_usec(journal, startUsec);
    while (state.running) {
        const int r = sd_journal_next(journal);
        if (r < 0)
            break;
        if (r == 0) {
            sd_journal_wait(journal, 200 * 1000); // also the pace at which stop is noticed
            continue;
        }
        if (auto captured = LGASLLogCapture::messageFromRecord(currentRecord(journal), state.level))
            LGLog::queueLogMessage(std::move(captured->message), !captured->synchronous);
    }
    sd_journal_close(journal);
}

} // namespace

bool LGJournalAvailable()
{
    static const bool available = QFile::exists(QStringLiteral("/run/systemd/journal/socket"));
    return available;
}

std::shared_ptr<LGASLLogger> LGASLLogger::sharedInstance()
{
    static auto instance = std::make_shared<LGASLLogger>();
    return instance;
}

LGASLLogger::LGASLLogger(Sender sender)
    : LGAbstractLogger(QStringLiteral("lglog.syslog"))
    , m_sender(std::move(sender))
{
    if (!m_sender) {
        if (LGJournalAvailable())
            m_sender = sendToJournal;
        else
            noteNoJournalOnce();
    }
}

int LGASLLogger::systemLogLevelForFlag(unsigned long flag)
{
    switch (flag) {
    case LGLogFlagError:
        return 2;
    case LGLogFlagWarning:
        return 3;
    case LGLogFlagInfo:
        return 4;
    default:
        return 5;
    }
}

std::vector<QByteArray> LGASLLogger::recordFields(const LGLogMessage& message, const QString& text)
{
    std::vector<QByteArray> fields;
    fields.push_back("MESSAGE=" + text.toUtf8());
    fields.push_back("PRIORITY=" + QByteArray::number(systemLogLevelForFlag(message.flag)));
    fields.push_back("SYSLOG_IDENTIFIER=" + LGLogFileManagerDefault::applicationName().toUtf8());
    if (!message.file.isEmpty()) {
        fields.push_back("CODE_FILE=" + message.file.toUtf8());
        fields.push_back("CODE_LINE=" + QByteArray::number(message.line));
    }
    if (!message.function.isEmpty())
        fields.push_back("CODE_FUNC=" + message.function.toUtf8());
    fields.push_back(QByteArray(LGJournalOwnField) + "=1");
    return fields;
}

void LGASLLogger::logMessage(const LGLogMessage& message)
{
    if (!m_sender || message.fileName == QLatin1String(kCaptureFile))
        return;
    const std::optional<QString> text = m_logFormatter ? m_logFormatter->formatLogMessage(message) : message.message;
    if (!text)
        return;
    const int rc = m_sender(recordFields(message, *text));
    if (rc < 0 && !m_reportedFailure) {
        m_reportedFailure = true;
        LGConsoleReport("LGASLLogger: could not write to the system journal: %s", std::strerror(-rc));
    }
}

void LGASLLogCapture::start()
{
    auto& state = capture();
    std::lock_guard lock(state.mutex);
    if (state.running)
        return;
    if (!LGJournalAvailable()) {
        noteNoJournalOnce();
        return;
    }
    if (state.thread.joinable())
        state.thread.join(); // a loop that ended by itself
    state.running = true;
    const auto startUsec = uint64_t(QDateTime::currentMSecsSinceEpoch()) * 1000;
    state.thread = std::thread([startUsec] { captureLoop(startUsec); });
}

void LGASLLogCapture::stop()
{
    auto& state = capture();
    std::lock_guard lock(state.mutex);
    state.running = false;
    if (state.thread.joinable())
        state.thread.join();
}

bool LGASLLogCapture::isRunning() { return capture().running; }

unsigned long LGASLLogCapture::captureLevel() { return capture().level; }

void LGASLLogCapture::setCaptureLevel(unsigned long level) { capture().level = level; }

std::optional<LGASLLogCapture::Captured> LGASLLogCapture::messageFromRecord(
    const QHash<QByteArray, QByteArray>& fields, unsigned long captureLevel)
{
    if (fields.value(LGJournalOwnField) == "1")
        return std::nullopt;
    // Our own standard output and error, where the journal collects them: the loggers report their
    // failures there, and a failing logger fed its own reports would never stop.
    if (fields.value("_TRANSPORT") == "stdout")
        return std::nullopt;
    const auto pid = fields.constFind("_PID");
    if (pid != fields.cend() && pid->toLongLong() != getpid())
        return std::nullopt;
    const auto text = fields.constFind("MESSAGE");
    if (text == fields.cend())
        return std::nullopt;

    unsigned long flag = LGLogFlagError;
    const auto priority = fields.constFind("PRIORITY");
    if (priority != fields.cend()) {
        bool ok = false;
        const int value = priority->toInt(&ok);
        if (ok && value > 7)
            return std::nullopt;
        if (!ok || value > 5)
            flag = LGLogFlagVerbose;
        else
            flag = value <= 2 ? LGLogFlagError : value == 3 ? LGLogFlagWarning : value == 4 ? LGLogFlagInfo : LGLogFlagDebug;
    }
    if ((flag & captureLevel) == 0)
        return std::nullopt;

    QDateTime timestamp;
    for (const char* key : {"_SOURCE_REALTIME_TIMESTAMP", "__REALTIME_TIMESTAMP"}) {
        bool ok = false;
        const qulonglong usec = fields.value(key).toULongLong(&ok);
        if (ok) {
            timestamp = QDateTime::fromMSecsSinceEpoch(qint64(usec / 1000), Qt::UTC);
            break;
        }
    }
    auto message = std::make_shared<const LGLogMessage>(QString::fromUtf8(*text), captureLevel, flag, 0, kCaptureFile,
        nullptr, 0, nullptr, 0, timestamp);
    return Captured{std::move(message), flag == LGLogFlagError};
}
