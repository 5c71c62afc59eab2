#include "AlertCommand.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "Command.h"
#include "CsvRecorder.h"
#include "logging/Log.h"
#include "readings/Level.h"

namespace oqtool {
namespace {

int toMs(double seconds) { return int(std::clamp(seconds * 1000.0, 0.0, 2.0e9)); }

// "SIGTERM": the same in every locale, unlike strsignal().
QString signalName(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation ? QStringLiteral("SIG") + QLatin1String(abbreviation) : QStringLiteral("unknown");
}

bool groupAlive(qint64 group) { return ::kill(pid_t(-group), 0) == 0; }

} // namespace

AlertCommand::AlertCommand(QString command, double timeoutSeconds)
    : m_command(std::move(command))
    , m_timeout(timeoutSeconds)
{
}

AlertCommand::~AlertCommand() { finish(0); }

void AlertCommand::tell(const oq::Reading& reading, const oq::alerts::LevelEvent& event)
{
    const double value = reading.value;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The broker's password is oqtool's, not the command's (nor of whatever it logs or starts).
    env.remove(QStringLiteral("OQ_MQTT_PASSWORD"));
    env.insert(QStringLiteral("OQ_LEVEL"), QLatin1String(oq::levelName(event.level)));
    env.insert(QStringLiteral("OQ_PREVIOUS_LEVEL"), QLatin1String(oq::levelName(event.previous)));
    env.insert(QStringLiteral("OQ_VALUE"), QString::fromLatin1(csvNumber(value)));
    env.insert(QStringLiteral("OQ_UNIT"), reading.mode == 1 ? QStringLiteral("μSv/h") : QStringLiteral("μSv"));
    env.insert(QStringLiteral("OQ_COUNTER"), reading.serial);
    env.insert(QStringLiteral("OQ_TIME"), QDateTime::fromMSecsSinceEpoch(reading.timeMs, Qt::UTC).toString(Qt::ISODateWithMs));
    LGLogInfo("Alert: level %s (was %s) at %@", oq::levelName(event.level),
        oq::levelName(event.previous), QString::fromLatin1(csvNumber(value)));
    if (m_waiting.size() >= kMaxWaiting) {
        m_waiting.pop_front();
        err(text("oqtool.watch.alert.dropped") + QLatin1Char('\n'));
    }
    m_waiting.push_back(env);
    startWaiting();
}

void AlertCommand::startWaiting()
{
    while (m_running.size() < kMaxRunning && !m_waiting.empty()) {
        const QProcessEnvironment env = m_waiting.front();
        m_waiting.pop_front();
        start(env);
    }
}

void AlertCommand::start(const QProcessEnvironment& env)
{
    auto* process = new QProcess(this);
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so a time-out reaches what the command started too. Standard output is
    // the readings' (or the CSV rows'); what the command says goes beside oqtool's own messages.
    process->setChildProcessModifier([] {
        ::setsid();
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    });
    connect(process, &QProcess::finished, this, [this, process](int code, QProcess::ExitStatus status) {
        ended(process, code, status == QProcess::CrashExit);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(process, -1, false);
    });
    m_running.push_back({process, 0, Stop::No, QDeadlineTimer(toMs(m_timeout))});
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), m_command});
    // A start that failed has been told already, and the run is gone.
    if (const auto run = runOf(process); run != m_running.end()) {
        run->group = process->processId();
        QTimer::singleShot(toMs(m_timeout), process, [this, process] { timeUp(process); });
    }
}

std::vector<AlertCommand::Run>::iterator AlertCommand::runOf(QProcess* process)
{
    return std::find_if(m_running.begin(), m_running.end(), [process](const Run& r) { return r.process == process; });
}

void AlertCommand::timeUp(QProcess* process)
{
    const auto run = runOf(process);
    if (run == m_running.end() || run->stop != Stop::No || run->group <= 0)
        return;
    run->stop = Stop::TimeUp;
    stopGroup(run->group);
}

void AlertCommand::stopGroup(qint64 group)
{
    ::kill(pid_t(-group), SIGTERM);
    m_stopping.push_back(group);
    QTimer::singleShot(toMs(kAlertStopGrace), this, [this, group] {
        if (groupAlive(group))
            ::kill(pid_t(-group), SIGKILL);
        std::erase(m_stopping, group);
    });
}

void AlertCommand::ended(QProcess* process, int exitCode, bool crashed)
{
    const auto run = runOf(process);
    if (run == m_running.end())
        return;
    QString said;
    if (run->stop == Stop::TimeUp) {
        LGLogWarn("alert command timed out after %@ s and was stopped", QString::number(m_timeout));
        said = text("oqtool.watch.alert.timed_out").arg(QString::number(m_timeout));
    } else if (run->stop == Stop::AtEnd) {
        LGLogWarn("alert command still running at the end was stopped");
        said = text("oqtool.watch.alert.stopped_at_end");
    } else if (process->error() == QProcess::FailedToStart) {
        LGLogWarn("alert command could not be started: %@", process->errorString());
        said = text("oqtool.watch.alert.not_started").arg(process->errorString());
    } else if (crashed) {
        LGLogWarn("alert command was ended by signal %d (%@)", exitCode, signalName(exitCode));
        said = text("oqtool.watch.alert.signal").arg(exitCode).arg(signalName(exitCode));
    } else if (exitCode == 126 || exitCode == 127) {
        // The shell's own statuses for a command it could not find or execute.
        LGLogWarn("alert command could not be run: status %d", exitCode);
        said = text("oqtool.watch.alert.cannot_run").arg(exitCode);
    } else if (exitCode != 0) {
        LGLogWarn("alert command exited with status %d", exitCode);
        said = text("oqtool.watch.alert.exit_status").arg(exitCode);
    }
    if (run->stop == Stop::No && (process->error() == QProcess::FailedToStart || (!crashed && (exitCode == 126 || exitCode == 127))))
        ++m_unrun;
    if (!said.isEmpty())
        err(said + QLatin1Char('\n'));
    const qint64 group = run->group;
    if (group > 0 && run->stop == Stop::No && groupAlive(group)) {
        m_lingering.push_back({group, run->limit});
        QTimer::singleShot(int(std::max<qint64>(run->limit.remainingTime(), 0)), this, [this, group] {
            if (std::erase_if(m_lingering, [group](const Lingering& l) { return l.group == group; }) && groupAlive(group))
                stopGroup(group);
        });
    }
    m_running.erase(run);
    process->deleteLater();
    startWaiting();
}

void AlertCommand::finish(double realSeconds)
{
    const QDeadlineTimer deadline(toMs(realSeconds));
    // waitForFinished delivers `finished`, which starts those waiting.
    while (!m_running.empty() && !deadline.hasExpired())
        m_running.front().process->waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 1)));
    // What commands left in the background may finish too, each within its own time limit.
    const auto due = [&](const Lingering& l) { return !groupAlive(l.group) || l.limit.hasExpired() || deadline.hasExpired(); };
    while (!std::all_of(m_lingering.begin(), m_lingering.end(), due))
        QThread::msleep(20);
    m_waiting.clear();
    for (const Lingering& l : m_lingering) {
        if (groupAlive(l.group)) {
            ::kill(pid_t(-l.group), SIGTERM);
            m_stopping.push_back(l.group);
        }
    }
    m_lingering.clear();
    for (Run& run : m_running) {
        if (run.group > 0 && run.stop == Stop::No) {
            ::kill(pid_t(-run.group), SIGTERM);
            m_stopping.push_back(run.group);
            run.stop = Stop::AtEnd;
        }
    }
    const QDeadlineTimer grace(toMs(kAlertStopGrace));
    for (const Run& run : std::vector<Run>(m_running))
        run.process->waitForFinished(int(std::max<qint64>(grace.remainingTime(), 1)));
    while (std::any_of(m_stopping.begin(), m_stopping.end(), groupAlive) && !grace.hasExpired())
        QThread::msleep(20);
    for (const qint64 group : m_stopping) {
        if (groupAlive(group))
            ::kill(pid_t(-group), SIGKILL);
    }
    m_stopping.clear();
    for (const Run& run : std::vector<Run>(m_running))
        run.process->waitForFinished(1000);
    for (const Run& run : m_running)
        delete run.process;
    m_running.clear();
}

} // namespace oqtool
