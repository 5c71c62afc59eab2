#pragma once
// The memory the simulated counter answers "v", "h", "s", "c" and "b" from, kept as the sections
// of a stored dump text.
#include <QByteArray>
#include <QString>

namespace oq::sim {

struct DumpSections {
    QString version;     // the version line of the "v" section
    QByteArray hwInfo;   // lines of each section, every one ending in "\r\n"; empty when absent.
                         // They are also the counter's answers to "h", "s" and "c".
    QByteArray statc;
    QByteArray calibration;
    QByteArray header;   // the line after "b" ("ORBEL-QUIST Protokoll"), without line end
    QByteArray protocol; // the dump lines after the header
    bool hasProtocol = false;
};

// Cuts a dump text (sections introduced by a line "v", "h", "s", "c" or "b") into its sections.
// Line ends may be "\r\n", "\n" or "\r". A "v" section reading "Standard" is skipped.
DumpSections splitDeviceDump(const QString& text);

// A small dump of a 7.14 counter: 22 one-minute counts, a source passing by, a dose-rate alarm.
QString builtinDeviceDump();

} // namespace oq::sim
