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

const QByteArray CsvFile::kHeader = QByteArrayLiteral("time,value,unit,counter_unit,level,counter\n");
const QByteArray CsvFile::kHeaderWithoutCounter = QByteArrayLiteral("time,value,unit,counter_unit,level\n");

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
    m_counterColumn = head == kHeader;
    if (!m_counterColumn && !head.startsWith(kHeaderWithoutCounter)) {
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

namespace {
// A serial number or port as one plain field: nothing that would need quoting, never a formula.
QByteArray csvField(const QString& text)
{
    QByteArray field = text.toUtf8();
    for (char& c : field) {
        if (c == ',' || c == '"' || c == '\n' || c == '\r' || uchar(c) < 0x20)
            c = '_';
    }
    if (!field.isEmpty() && QByteArrayView("=+-@").contains(field.front()))
        field.prepend('_');
    return field;
}
} // namespace

QByteArray csvNumber(double value) { return oq::singlePrecisionText(value); }

QByteArray csvRow(const oq::Reading& reading, const std::optional<QString>& counter)
{
    const QByteArray unit = reading.mode == 1 ? QByteArrayLiteral("μSv/h") : QByteArrayLiteral("μSv");
    // The counter's unit is one of two words; anything else is not passed into the file.
    const QByteArray counterUnit = reading.counterUnit == QLatin1String("Sv") || reading.counterUnit == QLatin1String("rem")
        ? reading.counterUnit.toLatin1()
        : QByteArray();
    const auto level = reading.level;
    return QDateTime::fromMSecsSinceEpoch(reading.timeMs, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1() + ',' + csvNumber(reading.value) + ',' + unit + ','
        + counterUnit + ',' + oq::levelName(level) + (counter ? ',' + csvField(*counter) : QByteArray()) + '\n';
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

} // namespace oqtool
