#include "MqttPublishing.h"

#include "Command.h"
#include "history/HistoryDatabase.h"
#include "history/HistorySettings.h"
#include "mqtt/Backlog.h"
#include "mqtt/Broker.h"
#include "mqtt/Credentials.h"
#include "mqtt/Publisher.h"
#include "parser/OQDeviceInfo.h"
#include "readings/Level.h"

namespace oqtool {

namespace {

std::optional<oq::mqtt::Credentials> credentials(const MqttOptions& o, QString* why)
{
    if (!o.credentialsFile.isEmpty())
        return oq::mqtt::readCredentials(o.credentialsFile, why);
    return oq::mqtt::findCredentials(oq::mqtt::defaultCredentialsPath(), why);
}

} // namespace

bool takeMqttOptions(QStringList& args, MqttOptions& options, QString& error)
{
    const struct {
        const char* name;
        QString* value;
    } valued[] = {{"--mqtt", &options.url}, {"--mqtt-prefix", &options.prefix}, {"--mqtt-ca", &options.caFile},
        {"--mqtt-credentials", &options.credentialsFile}};
    bool any = false;
    for (qsizetype i = 0; i < args.size();) {
        if (args[i] == QLatin1String("--no-discovery")) {
            options.discovery = false;
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
    if (!any && options.discovery)
        return true;
    if (options.url.isEmpty()) {
        error = text("oqtool.watch.csv.missing_value").arg(QStringLiteral("--mqtt"));
        return false;
    }
    if (!oq::mqtt::parseBroker(options.url, &error))
        return false;
    oq::mqtt::PublisherOptions probe;
    if (!options.prefix.isEmpty())
        probe.prefix = options.prefix;
    if (error = oq::mqtt::optionsProblem(probe); !error.isEmpty())
        return false;
    return credentials(options, &error).has_value();
}

MqttPublishing::MqttPublishing(MqttOptions options, HistoryOptions history, QString displayUnit)
    : m_options(std::move(options))
    , m_history(std::move(history))
    , m_displayUnit(std::move(displayUnit))
{
}

MqttPublishing::~MqttPublishing() = default;

void MqttPublishing::record(const OQDeviceInfo* counter, const QDateTime& time, double value, int mode, const QString& counterUnit)
{
    if (m_options.url.isEmpty())
        return;
    const QString serial = counter ? counter->serialNumber() : QString();
    auto& publisher = m_publishers[serial];
    if (!publisher) {
        oq::mqtt::PublisherOptions o;
        o.broker = *oq::mqtt::parseBroker(m_options.url);
        o.caFile = m_options.caFile;
        o.credentials = credentials(m_options, nullptr).value_or(oq::mqtt::Credentials{});
        if (!m_options.prefix.isEmpty())
            o.prefix = m_options.prefix;
        o.discovery = m_options.discovery;
        o.station = {serial, counter ? counter->firmwareVersion() : QString()};
        o.displayUnit = m_displayUnit;
        std::unique_ptr<oq::mqtt::Backlog> backlog;
        if (m_history.record)
            backlog = std::make_unique<oq::mqtt::HistoryBacklog>(
                m_history.path.isEmpty() ? oq::history::defaultPath() : m_history.path, serial);
        const oq::mqtt::Broker broker = o.broker;
        publisher = std::make_unique<oq::mqtt::Publisher>(std::move(o), std::move(backlog), [broker](const oq::mqtt::Status& s) {
            err(text("oqtool.watch.mqtt.status").arg(s.text(broker)) + QLatin1Char('\n'));
        });
    }
    const int level = static_cast<int>(oq::levelForValue(value, mode));
    publisher->publish({serial, time.toMSecsSinceEpoch(), mode, value, counterUnit, level});
}

bool MqttPublishing::finish(double seconds)
{
    std::size_t left = 0;
    for (auto& [serial, publisher] : m_publishers) {
        if (!publisher->flush(seconds))
            left += publisher->waiting();
        left += publisher->dropped(); // given up while the broker was away
    }
    m_publishers.clear();
    if (left > 0)
        err(text("oqtool.watch.mqtt.not_sent").arg(left) + QLatin1Char('\n'));
    return left == 0;
}

} // namespace oqtool
