#pragma once
// Stored protocol dumps on disk.
#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

#include "parser/OQProtocol.h"
#include "platform/ErrorRecord.h"

namespace oq::protocolfile {

// Domain of file errors (code: the QFileDevice::FileError; description and failure reason set).
inline const QString FileErrorDomain = QStringLiteral("de.orbel-quist.online.file");

// A dump far larger than any counter's memory is not a dump; reading stops there.
inline constexpr qint64 kMaxDumpFileSize = 8 * 1024 * 1024;

// The protocol stored at `path`, or nothing with `error` set (file domain) when it cannot be read.
// Any text loads: one without a version section is kept whole, as the dump parser reads it.
std::shared_ptr<OQProtocol> load(const QString& path, ErrorRecord* error);

// Writes `text` through a temporary file that replaces `path` only once it is complete.
bool writeAtomically(const QString& path, const QByteArray& bytes, ErrorRecord* error);
// The same for what `write` writes into the temporary file; it returns false when a write failed.
bool writeAtomically(const QString& path, const std::function<bool(QIODevice&)>& write, ErrorRecord* error);

// The protocol's device dump, atomically.
bool save(const OQProtocol& protocol, const QString& path, ErrorRecord* error);

// A file name for a protocol read now from the counter with `serialNumber`.
QString suggestedFileName(const QString& serialNumber, const QDateTime& when);

// Where a file dialog opens: the folder last chosen in one, while it is there, else the Documents
// folder, else home; never the folder the program happened to start in.
QString dialogFolder();
// Keeps the folder of `chosenPath` (empty: the dialog was cancelled) for the next dialog.
void rememberDialogFolder(const QString& chosenPath);

} // namespace oq::protocolfile
