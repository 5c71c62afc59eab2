#pragma once
// oqtool watch --alert-command CMD: CMD runs through /bin/sh on each level change worth telling
// (see alerts/LevelChangeRule.h), with the reading in its environment:
//   OQ_LEVEL           normal, warning or danger
//   OQ_PREVIOUS_LEVEL  the level told before
//   OQ_VALUE           the reading, decimal point, in OQ_UNIT
//   OQ_UNIT            μSv/h (dose rate) or μSv (dose)
//   OQ_COUNTER         the counter's serial number (empty when unknown)
//   OQ_TIME            when the reading arrived, UTC, ISO 8601
// The reading goes on while it runs. Each command starts at once, in a process group of its own,
// so one that hangs holds back no later alert: at its time limit the whole group (with whatever
// it started) gets SIGTERM, and SIGKILL a moment later. Standard output and error go to oqtool's
// standard error (standard output carries the readings), standard input is empty.
#include <QDeadlineTimer>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>

#include <deque>
#include <vector>

#include "readings/LevelChangeRule.h"
#include "readings/Reading.h"

class QProcess;

namespace oqtool {

// Real seconds an alert command under way at the end of the reading may take before it is stopped.
constexpr double kAlertFinishWait = 10.0;
// Real seconds an alert command may run, unless --alert-timeout says otherwise.
constexpr double kDefaultAlertTimeout = 60.0;
// Real seconds between SIGTERM and SIGKILL for a command's process group.
constexpr double kAlertStopGrace = 2.0;

class AlertCommand : public QObject {
public:
    AlertCommand(QString command, double timeoutSeconds = kDefaultAlertTimeout);
    // Ends what still runs (see finish()).
    ~AlertCommand() override;

    // A level change worth telling (the counter's level rule), with the reading that made it.
    void tell(const oq::Reading& reading, const oq::alerts::LevelEvent& event);
    // Waits up to `realSeconds` for the commands started and waiting, so none is cut short by an
    // ordinary end; what is still running then is stopped, process groups and all.
    void finish(double realSeconds);
    // Alerts whose command could not be run at all (no shell, not found, not executable): each an
    // alarm nobody heard, so the run fails.
    int unrun() const { return m_unrun; }

    // Commands running at once; beyond, they wait (at most kMaxWaiting, the oldest is dropped).
    static constexpr size_t kMaxRunning = 4;
    static constexpr size_t kMaxWaiting = 16;

private:
    enum class Stop { No, TimeUp, AtEnd };
    struct Run {
        QProcess* process = nullptr;
        qint64 group = 0; // the process group, 0 until started
        Stop stop = Stop::No;
        QDeadlineTimer limit; // the time limit, for what it left running in the background too
    };

    void startWaiting();
    void start(const QProcessEnvironment& env);
    void timeUp(QProcess* process);
    std::vector<Run>::iterator runOf(QProcess* process);
    void ended(QProcess* process, int exitCode, bool crashed);
    // SIGTERM, and SIGKILL after kAlertStopGrace unless the group is gone by then.
    void stopGroup(qint64 group);

    QString m_command;
    double m_timeout;
    std::deque<QProcessEnvironment> m_waiting;
    std::vector<Run> m_running;
    // Groups sent SIGTERM, to be sent SIGKILL; also stopped by finish().
    std::vector<qint64> m_stopping;
    // Groups whose command has ended but left processes behind (`sleep 300 &`): stopped at the
    // command's time limit, or by finish().
    struct Lingering {
        qint64 group = 0;
        QDeadlineTimer limit;
    };
    std::vector<Lingering> m_lingering;
    int m_unrun = 0;
};

} // namespace oqtool
