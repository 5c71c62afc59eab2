#include "AlertCommand.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QProcess>

#include <unistd.h>

#include "Command.h"
#include "CsvRecorder.h"
#include "logging/Log.h"
#include "units/ColorManager.h"

namespace oqtool {

AlertCommand::AlertCommand(QString command)
    : m_command(std::move(command))
{
}

AlertCommand::~AlertCommand() { finish(0); }

void AlertCommand::reading(double value, int mode, const QString& serial)
{
    const auto level = oq::alerts::Level(int(ColorManager::levelForValue(value, mode)));
    const auto event = m_rule.observe(level);
    if (!event)
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OQ_LEVEL"), QLatin1String(oq::alerts::levelName(event->level)));
    env.insert(QStringLiteral("OQ_PREVIOUS_LEVEL"), QLatin1String(oq::alerts::levelName(event->previous)));
    env.insert(QStringLiteral("OQ_VALUE"), QString::fromLatin1(csvNumber(value)));
    env.insert(QStringLiteral("OQ_UNIT"), mode == 1 ? QStringLiteral("μSv/h") : QStringLiteral("μSv"));
    env.insert(QStringLiteral("OQ_COUNTER"), serial);
    env.insert(QStringLiteral("OQ_TIME"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    LGLogInfo("Alert: level %s (was %s) at %@", oq::alerts::levelName(event->level),
        oq::alerts::levelName(event->previous), QString::fromLatin1(csvNumber(value)));
    if (m_waiting.size() >= kMaxWaiting) {
        m_waiting.pop_front();
        err(text("oqtool.watch.alert.dropped") + QLatin1Char('\n'));
    }
    m_waiting.push_back(env);
    if (!m_running)
        startNext();
}

void AlertCommand::startNext()
{
    if (m_running || m_waiting.empty())
        return;
    auto* process = new QProcess(this);
    process->setProcessEnvironment(m_waiting.front());
    m_waiting.pop_front();
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // Standard output is the readings' (or the CSV rows'); what the command says goes beside
    // oqtool's own messages.
    process->setChildProcessModifier([] { ::dup2(STDERR_FILENO, STDOUT_FILENO); });
    connect(process, &QProcess::finished, this, [this, process](int code, QProcess::ExitStatus status) {
        ended(process, code, status == QProcess::CrashExit);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(process, -1, true);
    });
    m_running = process;
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), m_command});
}

void AlertCommand::ended(QProcess* process, int exitCode, bool crashed)
{
    if (process != m_running)
        return;
    if (crashed || exitCode != 0) {
        const QString why = crashed ? m_running->errorString() : QString::number(exitCode);
        LGLogWarn("Alert command failed: %@", why);
        err(text("oqtool.watch.alert.failed").arg(why) + QLatin1Char('\n'));
    }
    m_running->deleteLater();
    m_running = nullptr;
    startNext();
}

void AlertCommand::finish(double realSeconds)
{
    const QDeadlineTimer deadline(qint64(realSeconds * 1000));
    while (m_running) {
        QProcess* process = m_running;
        if (!process->waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 0)))) {
            if (process->state() != QProcess::NotRunning) {
                m_waiting.clear();
                process->kill();
                process->waitForFinished(5000);
            }
        }
        // waitForFinished delivers `finished`, which starts the next one.
        if (m_running == process) {
            m_running = nullptr;
            delete process;
        }
    }
}

} // namespace oqtool
