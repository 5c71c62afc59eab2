#include "Recording.h"

#include <atomic>

#include "Command.h"
#include "history/HistoryDatabase.h"
#include "history/HistorySettings.h"
#include "mqtt/Credentials.h"
#include "parser/OQProtocol.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

namespace oqtool {

namespace {

void say(const QString& line) { err(QStringLiteral("oqtool: ") + line + QLatin1Char('\n')); }

} // namespace

void takeHistoryOptions(QStringList& args, oq::recording::Options& options)
{
    for (qsizetype i = 0; i < args.size();) {
        if (args[i] != QLatin1String("--db")) {
            ++i;
            continue;
        }
        args.removeAt(i);
        options.historyPath = i < args.size() && !args[i].startsWith(QLatin1Char('-')) ? args.takeAt(i)
                                                                                      : oq::history::defaultPath();
    }
    oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
    options.retentionDays = oq::history::retentionDays();
}

bool takeMqttOptions(QStringList& args, oq::recording::Options& options, QString& error)
{
    auto& mqtt = options.mqtt;
    QString credentialsFile;
    const struct {
        const char* name;
        QString* value;
    } valued[] = {{"--mqtt", &mqtt.url}, {"--mqtt-prefix", &mqtt.prefix}, {"--mqtt-ca", &mqtt.caFile},
        {"--mqtt-credentials", &credentialsFile}};
    bool any = false;
    for (qsizetype i = 0; i < args.size();) {
        if (args[i] == QLatin1String("--no-discovery")) {
            mqtt.discovery = false;
            args.removeAt(i);
            continue;
        }
        bool taken = false;
        for (const auto& v : valued) {
            const QString name = QLatin1String(v.name);
            if (args[i] == name) {
                if (i + 1 >= args.size()) {
                    error = text("oqtool.watch.csv.missing_value").arg(name);
                    return false;
                }
                *v.value = args[i + 1];
                args.remove(i, 2);
            } else if (args[i].startsWith(name + QLatin1Char('='))) {
                *v.value = args.takeAt(i).mid(name.size() + 1);
            } else {
                continue;
            }
            taken = any = true;
            break;
        }
        if (!taken)
            ++i;
    }
    if (!any && mqtt.discovery)
        return true;
    if (mqtt.url.isEmpty()) {
        error = text("oqtool.watch.csv.missing_value").arg(QStringLiteral("--mqtt"));
        return false;
    }
    if (error = oq::recording::problemOf(mqtt); !error.isEmpty())
        return false;
    const auto credentials = !credentialsFile.isEmpty()
        ? oq::mqtt::readCredentials(credentialsFile, &error)
        : oq::mqtt::findCredentials(oq::mqtt::defaultCredentialsPath(), &error);
    if (!credentials)
        return false;
    mqtt.credentials = *credentials;
    return true;
}

Recording::Recording(oq::recording::Options options)
{
    if (!options.historyPath.isEmpty()) {
        // Refused before the counter is touched, rather than found out after a day of readings.
        QString problem;
        if (!oq::history::Database::open(options.historyPath, oq::history::Access::Write, &problem)) {
            say(text("oqtool.history.not_written").arg(options.historyPath, problem));
            return;
        }
    }
    options.historyTrouble = [path = options.historyPath](const oq::history::Writer::Trouble& t) { say(oq::recording::troubleText(t, path)); };
    m_recording = std::make_unique<oq::recording::Recording>(std::move(options));
}

Recording::~Recording() { finish(0); }

bool Recording::storeProtocol(OQProtocol& protocol)
{
    const auto events = protocol.protocolEventsError();
    if (!m_recording || !events || !m_recording->history())
        return true;
    auto stored = std::make_shared<std::atomic<int>>(-1);
    const std::size_t total = m_recording->storeProtocol(protocol, *events, [stored](int n, int) { *stored = n; });
    if (total == 0) {
        err(text("oqtool.history.stored").arg(0).arg(events->size()) + QLatin1Char('\n'));
        return true;
    }
    auto& writer = *m_recording->history();
    if (!writer.flush(30.0) || stored->load() < 0) {
        const QString why = !writer.problem().isEmpty() ? writer.problem() : writer.lastRefusal();
        say(text("oqtool.history.intervals_not_stored").arg(qint64(total)).arg(writer.path(), why));
        return false;
    }
    err(text("oqtool.history.stored").arg(stored->load()).arg(events->size()) + QLatin1Char('\n'));
    return true;
}

bool Recording::finish(double seconds)
{
    if (!m_recording)
        return true;
    const QString path = m_recording->options().historyPath;
    const oq::recording::Lost lost = m_recording->finish(seconds);
    m_recording.reset();
    if (lost.notSent > 0)
        err(text("oqtool.watch.mqtt.not_sent").arg(lost.notSent) + QLatin1Char('\n'));
    if (lost.notStored > 0)
        say(text("oqtool.history.not_stored").arg(lost.notStored).arg(path, lost.why));
    return lost.notSent == 0 && lost.notStored == 0;
}

} // namespace oqtool
