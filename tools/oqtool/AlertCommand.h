#pragma once
// oqtool watch --alert-command CMD: CMD runs through /bin/sh on each level change worth telling
// (see alerts/LevelChangeRule.h), with the reading in its environment:
//   OQ_LEVEL           normal, warning or danger
//   OQ_PREVIOUS_LEVEL  the level told before
//   OQ_VALUE           the reading, decimal point, in OQ_UNIT
//   OQ_UNIT            μSv/h (dose rate) or μSv (dose)
//   OQ_COUNTER         the counter's serial number (empty when unknown)
//   OQ_TIME            when the reading arrived, UTC, ISO 8601
// The reading goes on while it runs. Commands run one at a time, in order; their standard output
// and error go to oqtool's standard error (standard output carries the readings), their standard
// input is empty.
#include <QObject>
#include <QProcessEnvironment>
#include <QString>

#include <deque>

#include "alerts/LevelChangeRule.h"

class QProcess;

namespace oqtool {

// Real seconds an alert command under way at the end of the reading may take before it is stopped.
constexpr double kAlertFinishWait = 10.0;

class AlertCommand : public QObject {
public:
    explicit AlertCommand(QString command);
    // Ends what still runs (see finish()).
    ~AlertCommand() override;

    // One reading: μSv/h in mode 1, μSv otherwise, from the counter with `serial`.
    void reading(double value, int mode, const QString& serial);
    // The readings stopped (the counter left): a level must hold anew.
    void interrupt() { m_rule.interrupt(); }
    // Waits up to `realSeconds` for the commands started and waiting, so none is cut short by an
    // ordinary end; what is still running then is stopped.
    void finish(double realSeconds);

    // Commands waiting beyond this are dropped, oldest first: a command that hangs does not
    // gather an endless queue.
    static constexpr size_t kMaxWaiting = 16;

private:
    void startNext();
    void ended(QProcess* process, int exitCode, bool crashed);

    QString m_command;
    oq::alerts::LevelChangeRule m_rule;
    std::deque<QProcessEnvironment> m_waiting;
    QProcess* m_running = nullptr;
};

} // namespace oqtool
