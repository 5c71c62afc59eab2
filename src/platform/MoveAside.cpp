#include "platform/MoveAside.h"

#include <QDateTime>
#include <QFile>

#include <cstdio>

namespace oq {

QString moveAside(const QString& path, const char* what, const QStringList& companions)
{
    const QString aside = path + QStringLiteral(".unreadable-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    if (!QFile::rename(path, aside)) {
        std::fprintf(stderr, "%s: unreadable file %s could not be moved aside\n", what, qPrintable(path));
        return {};
    }
    for (const QString& suffix : companions) {
        if (QFile::exists(path + suffix) && !QFile::rename(path + suffix, aside + suffix))
            QFile::remove(path + suffix); // a journal of a file no longer there must not meet a new one
    }
    std::fprintf(stderr, "%s: unreadable file kept as %s; starting afresh\n", what, qPrintable(aside));
    return aside;
}

} // namespace oq
