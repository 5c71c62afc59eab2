#pragma once
// A small crash reporter: on a fatal signal it writes the signal, a backtrace and the version into
// a report in the crash folder beside the logs. Reports stay on this machine.
#include <QString>
#include <QStringList>

class CrashReporter {
public:
    // Installs the fatal-signal handlers; `folder` is created if missing, private to the user. A
    // folder of another user, or one others may change, gets no reports.
    static void start(const QString& secret, const QString& folder, const QString& version);
    static bool isStarted();
    // The default folder: "Crashes" beside the default log folder.
    static QString defaultFolder();
    // Reports written by earlier runs that nobody has looked at yet.
    static QStringList pendingReports(const QString& folder);
};
