#pragma once
// oqtool's side of the history database: --db [FILE] for watch and download, and the level of a
// reading as the application's thresholds set it.
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "history/HistoryTypes.h"

class OQProtocol;

namespace oq::history {
class Writer;
}

namespace oqtool {

struct HistoryOptions {
    bool record = false; // --db was given
    QString path;        // its file; empty: the application's history database
};

// Takes "--db [FILE]" out of `args` (a FILE does not start with "-").
void takeHistoryOptions(QStringList& args, HistoryOptions& options);

// Records into the history database while it lives; what is handed in is written when it ends.
class HistoryRecording {
public:
    explicit HistoryRecording(const HistoryOptions& options);
    ~HistoryRecording();

    // False, and said on standard error, when the database cannot be recorded into at all
    // (another program's file, a folder that cannot be written): nothing is started then.
    bool usable() const { return m_usable; }
    // Writes what was handed in and ends the recording: how many readings could not be stored
    // (said on standard error when there are any).
    qint64 finish();

    void record(const QString& serial, const QDateTime& time, double value, int mode, const QString& counterUnit);
    // Stores the protocol's intervals; false (and said on standard error) when they could not be.
    bool storeProtocol(OQProtocol& protocol);

private:
    std::unique_ptr<oq::history::Writer> m_writer;
    bool m_usable = true;
};

} // namespace oqtool
