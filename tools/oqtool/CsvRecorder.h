#pragma once
// oqtool watch --format csv: every reading of the counter as one CSV row, for recording on a
// machine without a display. The recording survives the counter being unplugged and plugged in
// again, and a restart of oqtool continues the file.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <sys/types.h>

#include "readings/Reading.h"


namespace oqtool {

class DeviceSession;

// The file a recording goes to. Rows are only ever appended, each with one write, so a reader
// following the file never sees half a row, and the file never holds one for long: a short write
// is cut back, and a row cut short by a crash is removed when the file is opened again.
class CsvFile {
public:
    // The first line of every recording; rows name their counter in the last column.
    static const QByteArray kHeader;
    // The first line of a recording begun before rows named their counter. Such a recording is
    // continued in its own layout, so readers that go by column position stay right.
    static const QByteArray kHeaderWithoutCounter;

    CsvFile() = default;
    ~CsvFile();
    CsvFile(const CsvFile&) = delete;
    CsvFile& operator=(const CsvFile&) = delete;

    // Opens `path` for appending; empty or "-" is standard output. A new or empty file gets the
    // header; an existing recording is continued. Refused (false, `error` set): a file that is not
    // a recording, and one that another process is recording into.
    bool open(const QString& path, QString& error);
    // Appends one row (with its line end).
    bool append(const QByteArray& row, QString& error);
    // Rows carry the counter column (false for a recording continued in the older layout).
    bool hasCounterColumn() const { return m_counterColumn; }

private:
    bool writeAll(const QByteArray& bytes, QString& error);
    bool continueRecording(QString& error);

    QString m_path;
    int m_fd = -1;
    bool m_ownsFd = false;
    bool m_regular = false;
    off_t m_size = 0; // of a regular file: everything up to the last whole row
    bool m_counterColumn = true;
};

// One row with its line end: time (ISO 8601, UTC, milliseconds), value with a decimal point, its
// unit, the counter's unit, the alarm level by the user's thresholds, and, when given, the counter
// (its serial number, or its port when it has none).
QByteArray csvRow(const oq::Reading& reading, const std::optional<QString>& counter = std::nullopt);
// The value as the counter's single-precision reading carries it, without exponent.
QByteArray csvNumber(double value);

struct CsvOptions {
    bool csv = false; // --format csv (else text)
    QString output;   // --output FILE; empty: standard output
};

// Takes --format text|csv and --output FILE out of `args`. False, with `error` set, when they
// are malformed or --output comes without --format csv.
bool takeCsvOptions(QStringList& args, CsvOptions& options, QString& error);

// Records until Ctrl-C, or until `count` rows of every counter when it is positive; waits for a
// counter while it is away. `mode` 1 records the dose rate, 2 the dose. Returns the exit code.
// (CounterWatch.cpp: the whole of oqtool watch.)
int runCsvWatch(DeviceSession& session, const CsvOptions& options, int mode, long long count);

// Modelled seconds between attempts to reach a counter that is away.
constexpr double kCsvRetryInterval = 2.0;

} // namespace oqtool
