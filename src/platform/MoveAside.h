#pragma once
// A file we cannot read is never overwritten: it is renamed beside itself, with the time it was
// found unreadable, and the caller starts afresh.
#include <QString>
#include <QStringList>

namespace oq {

// Renames `path` to "PATH.unreadable-YYYYMMDD-HHMMSS-zzz" (UTC); each file named by `path` plus
// one of `companions` (e.g. "-wal") follows under the same new name plus its suffix. Says so on
// standard error, naming `what`. Returns the new path, or empty when the file could not be moved.
QString moveAside(const QString& path, const char* what, const QStringList& companions = {});

} // namespace oq
