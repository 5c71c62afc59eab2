#pragma once
// Processor time and resident memory of this process, its threads by name, or another process,
// read from /proc.
#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

namespace oq::bench {

// CPU seconds (user and system) in a /proc stat file: /proc/PID/stat or a thread's.
inline double cpuSeconds(const QString& statPath)
{
    QFile f(statPath);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(')').last().trimmed().split(' ');
    // After the name: state is field 3, utime 14 and stime 15 of the whole line.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process's threads named `name`.
inline double threadsCpuSeconds(const char* name)
{
    double total = 0;
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            total += cpuSeconds(QStringLiteral("/proc/self/task/%1/stat").arg(task));
    }
    return total;
}

inline double residentMiB()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().split(' ').value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

} // namespace oq::bench
