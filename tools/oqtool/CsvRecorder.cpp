#include "CsvRecorder.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AlertCommand.h"
#include "Command.h"
#include "DeviceSession.h"
#include "readings/LevelChangeRule.h"
#include "device/ft/FtBackend.h"
#include "device/OQUSBDevice.h"
#include "parser/OQDeviceInfo.h"
#include "logging/Log.h"
#include "platform/CLocale.h"
#include "platform/Clock.h"
#include "platform/SafeFile.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/Level.h"

namespace oqtool {

const QByteArray CsvFile::kHeader = QByteArrayLiteral("time,value,unit,counter_unit,level\n");

namespace {

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Reads up to `length` bytes at `offset`; fewer at the end of the file.
QByteArray readAt(int fd, off_t offset, qsizetype length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < length) {
        const ssize_t n = pread(fd, bytes.data() + got, size_t(length - got), offset + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

// The offset just past the last line end before `size`; 0 when there is none.
off_t endOfLastLine(int fd, off_t size)
{
    constexpr off_t kChunk = 64 * 1024;
    for (off_t end = size; end > 0;) {
        const off_t start = std::max<off_t>(0, end - kChunk);
        const QByteArray chunk = readAt(fd, start, qsizetype(end - start));
        const qsizetype at = chunk.lastIndexOf('\n');
        if (at >= 0)
            return start + at + 1;
        end = start;
    }
    return 0;
}

} // namespace

// ---- The file

CsvFile::~CsvFile()
{
    if (m_fd >= 0 && m_ownsFd)
        ::close(m_fd);
}

bool CsvFile::open(const QString& path, QString& error)
{
    if (path.isEmpty() || path == QLatin1String("-")) {
        m_path = QStringLiteral("-");
        m_fd = STDOUT_FILENO;
        return writeAll(kHeader, error);
    }
    m_path = path;
    QString why;
    m_fd = oq::files::openFile(path, O_RDWR | O_CREAT | O_APPEND, oq::files::Privacy::Shared, &why);
    if (m_fd < 0) {
        error = text("oqtool.watch.csv.open_failed").arg(path, why);
        return false;
    }
    m_ownsFd = true;
    if (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? text("oqtool.watch.csv.in_use").arg(path)
                                     : text("oqtool.watch.csv.open_failed").arg(path, systemError(errno));
        return false;
    }
    struct stat info = {};
    if (fstat(m_fd, &info) != 0) {
        error = text("oqtool.watch.csv.open_failed").arg(path, systemError(errno));
        return false;
    }
    m_regular = S_ISREG(info.st_mode);
    if (!m_regular) // a pipe or terminal: nothing to continue
        return writeAll(kHeader, error);
    m_size = info.st_size;
    return continueRecording(error);
}

bool CsvFile::continueRecording(QString& error)
{
    const QByteArray head = readAt(m_fd, 0, kHeader.size());
    // Empty, or only the start of a header that a crash cut short: start afresh.
    if (!head.contains('\n') && kHeader.startsWith(head) && m_size == head.size()) {
        if (m_size > 0 && ftruncate(m_fd, 0) != 0) {
            error = text("oqtool.watch.csv.write_failed").arg(m_path, systemError(errno));
            return false;
        }
        m_size = 0;
        return writeAll(kHeader, error);
    }
    if (head != kHeader) {
        error = text("oqtool.watch.csv.not_recording").arg(m_path);
        return false;
    }
    const off_t whole = endOfLastLine(m_fd, m_size);
    if (whole < m_size) {
        LGLogWarn("CSV recording %@: removing %lld bytes of a row cut short", m_path, static_cast<long long>(m_size - whole));
        if (ftruncate(m_fd, whole) != 0) {
            error = text("oqtool.watch.csv.write_failed").arg(m_path, systemError(errno));
            return false;
        }
        m_size = whole;
    }
    return true;
}

bool CsvFile::append(const QByteArray& row, QString& error) { return writeAll(row, error); }

bool CsvFile::writeAll(const QByteArray& bytes, QString& error)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0 && !m_regular) { // a pipe takes what it can; the rest follows
            written += n;
            continue;
        }
        if (n == bytes.size()) {
            written = n;
            break;
        }
        // A short write (disk full) leaves a piece of a row: take it back.
        const int cause = n < 0 ? errno : ENOSPC;
        if (m_regular && n > 0)
            (void)ftruncate(m_fd, m_size);
        error = text("oqtool.watch.csv.write_failed").arg(m_path, systemError(cause));
        return false;
    }
    m_size += off_t(bytes.size());
    return true;
}

// ---- Rows

QByteArray csvNumber(double value) { return oq::singlePrecisionText(value); }

QByteArray csvRow(const CsvReading& reading)
{
    const QByteArray unit = reading.mode == 1 ? QByteArrayLiteral("μSv/h") : QByteArrayLiteral("μSv");
    // The counter's unit is one of two words; anything else is not passed into the file.
    const QByteArray counterUnit = reading.counterUnit == QLatin1String("Sv") || reading.counterUnit == QLatin1String("rem")
        ? reading.counterUnit.toLatin1()
        : QByteArray();
    const auto level = oq::Level(int(oq::levelForValue(reading.value, reading.mode)));
    return reading.time.toUTC().toString(Qt::ISODateWithMs).toLatin1() + ',' + csvNumber(reading.value) + ',' + unit + ','
        + counterUnit + ',' + oq::levelName(level) + '\n';
}

// ---- Options

bool takeCsvOptions(QStringList& args, CsvOptions& options, QString& error)
{
    bool outputGiven = false;
    for (qsizetype i = 0; i < args.size();) {
        const QString& a = args[i];
        QString value;
        qsizetype take = 1;
        const bool format = a == QLatin1String("--format") || a.startsWith(QLatin1String("--format="));
        const bool output = a == QLatin1String("--output") || a == QLatin1String("-o") || a.startsWith(QLatin1String("--output="));
        if (!format && !output) {
            ++i;
            continue;
        }
        if (a.contains(QLatin1Char('='))) {
            value = a.section(QLatin1Char('='), 1);
        } else if (i + 1 < args.size()) {
            value = args[i + 1];
            take = 2;
        } else {
            error = text("oqtool.watch.csv.missing_value").arg(a);
            return false;
        }
        if (format) {
            if (value != QLatin1String("csv") && value != QLatin1String("text")) {
                error = text("oqtool.watch.csv.bad_format").arg(value);
                return false;
            }
            options.csv = value == QLatin1String("csv");
        } else {
            options.output = value;
            outputGiven = true;
        }
        args.remove(i, take);
    }
    if (outputGiven && !options.csv) {
        error = text("oqtool.watch.csv.output_needs_csv");
        return false;
    }
    return true;
}

void tellSilence(const OQDevice& device, const QObject& context)
{
    QObject::connect(&device, &OQDevice::onlineSilentChanged, &context, [](bool silent) {
        err(silent ? QStringLiteral("oqtool watch: counter silent: no reading for more than %1 s\n").arg(OQDevice::kOnlineSilenceSeconds)
                   : QStringLiteral("oqtool watch: counter readings resumed\n"));
    });
}

// ---- The recording

namespace {

// Drives one recording: a device per attachment of the counter, each reading one row.
class CsvWatch : public QObject {
public:
    CsvWatch(CsvFile& file, int mode, long long count, AlertCommand* alerts, const ReadingHook& also)
        : m_file(file), m_mode(mode), m_count(count), m_alerts(alerts), m_also(also)
    {
    }

    // One step of the recording; true when it has ended.
    bool step()
    {
        if (m_finished)
            return true;
        switch (m_state) {
        case State::Away:
            if (oq::clock::now() >= m_retryAt)
                connectCounter();
            else if (!m_retryWake.isActive())
                wakeForRetry();
            break;
        case State::Opening:
            if (m_device->failed())
                lose(m_device->error());
            else if (exchangeEnded())
                startRecording();
            break;
        case State::Recording:
            if (m_device->failed())
                lose(m_device->error());
            break;
        }
        return m_finished;
    }

    bool failed() const { return m_writeFailed; }
    // The device still streaming, to be stopped on the way out.
    std::shared_ptr<OQUSBDevice> streamingDevice() const { return m_state == State::Recording ? m_device : nullptr; }

    void finish()
    {
        flushPending();
        if (m_device)
            QObject::disconnect(m_device.get(), nullptr, this, nullptr);
    }

private:
    enum class State { Away, Opening, Recording };

    bool exchangeEnded() const
    {
        const auto progress = m_device->progress();
        return !m_device->busy() && progress && progress->completedUnitCount() == -1;
    }

    // Nothing else wakes the waiting loop while no counter is there.
    void wakeForRetry()
    {
        m_retryWake.setSingleShot(true);
        m_retryWake.setTimerType(Qt::PreciseTimer);
        m_retryWake.start(oq::clock::scaledMs(m_retryAt - oq::clock::now()));
    }

    void connectCounter()
    {
        m_device = makeDevice<OQUSBDevice>();
        m_state = State::Opening;
    }

    void startRecording()
    {
        m_state = State::Recording;
        if (m_reported)
            err(text(m_attached ? "oqtool.watch.csv.back" : "oqtool.watch.csv.found") + QLatin1Char('\n'));
        m_reported = false;
        m_attached = true;
        LGLogInfo("CSV recording: counter attached, starting online mode %i", m_mode);
        QObject::connect(m_device.get(), &OQDevice::onlineValueChanged, this, [this] { valueChanged(); });
        tellSilence(*m_device, *this);
        if (m_mode == 1)
            m_device->startRateMode();
        else
            m_device->startDoseMode();
    }

    // The counter is away (never came, or left): drop the device and try again later.
    void lose(const QString& reason)
    {
        flushPending();
        if (m_alerts)
            m_alerts->interrupt();
        const bool wasRecording = m_state == State::Recording;
        QObject::disconnect(m_device.get(), nullptr, this, nullptr);
        m_device.reset();
        m_state = State::Away;
        m_retryAt = oq::clock::now() + (wasRecording ? 0.0 : kCsvRetryInterval);
        wakeForRetry();
        // "device not found" also stands for a port that is there but refused (in use by another
        // program, not permitted): the cause is what helps, and a new cause is said again.
        const QString cause = wasRecording ? QString() : oq::ft::lastOpenFailure();
        const QString said = cause.isEmpty() ? reason : reason + QStringLiteral("; ") + cause;
        if (!m_reported || said != m_reportedReason) {
            m_reported = true;
            m_reportedReason = said;
            LGLogWarn("CSV recording: counter away (%@); waiting for it", said);
            err((wasRecording ? text("oqtool.watch.csv.lost") : text("oqtool.watch.csv.waiting").arg(said)) + QLatin1Char('\n'));
        }
    }

    // The device publishes a value and then its unit in one go on this thread, so the unit of a
    // value is known once control comes back to the event loop, or when the next value arrives.
    void valueChanged()
    {
        flushPending();
        const auto value = m_device ? m_device->onlineValue() : std::nullopt;
        if (!value)
            return;
        m_pending = CsvReading{QDateTime::fromMSecsSinceEpoch(m_device->onlineValueTime().value_or(QDateTime::currentMSecsSinceEpoch()), Qt::UTC), *value, m_mode, {}};
        QPointer<CsvWatch> self(this);
        QMetaObject::invokeMethod(this, [self] { if (self) self->flushPending(); }, Qt::QueuedConnection);
    }

    void flushPending()
    {
        if (!m_pending || m_finished)
            return;
        CsvReading reading = *m_pending;
        m_pending.reset();
        reading.counterUnit = m_device ? m_device->onlineUnit() : QString();
        if (m_also)
            m_also(reading, m_device ? m_device->info().get() : nullptr);
        QString error;
        if (!m_file.append(csvRow(reading), error)) {
            err(QStringLiteral("oqtool watch: %1\n").arg(error));
            m_writeFailed = true;
            m_finished = true;
            return;
        }
        if (m_alerts) {
            const auto info = m_device ? m_device->info() : nullptr;
            m_alerts->reading(reading.value, m_mode, info ? info->serialNumber() : QString());
        }
        if (m_count > 0 && ++m_rows >= m_count)
            m_finished = true;
    }

    CsvFile& m_file;
    const int m_mode;
    const long long m_count;
    AlertCommand* const m_alerts;
    const ReadingHook& m_also;
    long long m_rows = 0;
    State m_state = State::Away;
    double m_retryAt = 0;
    bool m_reported = false; // the current absence was reported
    QString m_reportedReason;
    bool m_attached = false; // a counter was recorded from before
    bool m_finished = false;
    bool m_writeFailed = false;
    std::shared_ptr<OQUSBDevice> m_device;
    std::optional<CsvReading> m_pending;
    QTimer m_retryWake;
};

} // namespace

int runCsvWatch(DeviceSession& session, const CsvOptions& options, int mode, long long count, AlertCommand* alerts,
    const ReadingHook& also)
{
    oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
    CsvFile file;
    QString error;
    if (!file.open(options.output, error)) {
        err(QStringLiteral("oqtool watch: %1\n").arg(error));
        return 1;
    }
    LGLogInfo("CSV recording into %@", options.output.isEmpty() ? QStringLiteral("-") : options.output);

    CsvWatch watch(file, mode, count, alerts, also);
    session.runUntil([&] { return watch.step(); });
    watch.finish();
    // Stop the counter's stream before leaving, also after Ctrl-C.
    if (const auto device = watch.streamingDevice()) {
        bool stopped = false;
        device->stopOnlineMode([&] { stopped = true; });
        session.runUntilDone([&] { return stopped || device->failed(); });
    }
    return watch.failed() ? 1 : 0;
}

} // namespace oqtool
