#include "recording/Recording.h"

#include "history/ProtocolIntervals.h"
#include "mqtt/Backlog.h"
#include "platform/StringTable.h"
#include "readings/Level.h"

namespace oq::recording {

QString problemOf(const MqttOptions& mqtt)
{
    if (mqtt.url.isEmpty())
        return {};
    QString why;
    if (!mqtt::parseBroker(mqtt.url, &why))
        return why;
    mqtt::PublisherOptions probe;
    if (!mqtt.prefix.isEmpty())
        probe.prefix = mqtt.prefix;
    return mqtt::optionsProblem(probe);
}

QString troubleText(const history::Writer::Trouble& trouble, const QString& path)
{
    // One pass: a path or cause holding "%3" stays as it is.
    const QString count = QString::number(trouble.notStored);
    if (trouble.ongoing)
        return localized(QStringLiteral("history.trouble.paused")).arg(path, trouble.why, count);
    return localized(QStringLiteral("history.trouble.resumed")).arg(path, count);
}

Recorder::Recorder(const Options& options, mqtt::Station station, std::shared_ptr<history::Writer> history,
    StatusCallback onStatus, std::unique_ptr<mqtt::Backlog> waiting)
    : m_station(std::move(station))
    , m_history(options.historyReadings ? std::move(history) : nullptr)
{
    const auto broker = mqtt::parseBroker(options.mqtt.url);
    if (!broker || !problemOf(options.mqtt).isEmpty())
        return;
    mqtt::PublisherOptions o;
    o.broker = *broker;
    o.caFile = options.mqtt.caFile;
    o.credentials = options.mqtt.credentials;
    if (!options.mqtt.prefix.isEmpty())
        o.prefix = options.mqtt.prefix;
    o.discovery = options.mqtt.discovery;
    o.station = m_station;
    o.displayUnit = options.displayUnit;
    if (!waiting && m_history)
        waiting = std::make_unique<mqtt::HistoryBacklog>(m_history->path(), m_station.serial);
    mqtt::Publisher::StatusCallback status;
    if (onStatus)
        status = [onStatus = std::move(onStatus), broker = *broker](const mqtt::Status& s) { onStatus(s, broker); };
    m_publisher = std::make_unique<mqtt::Publisher>(std::move(o), std::move(waiting), std::move(status));
}

Recorder::~Recorder() = default;

void Recorder::record(history::Reading reading)
{
    reading.serial = m_station.serial;
    reading.level = int(levelForValue(reading.value, reading.mode));
    if (m_publisher)
        m_publisher->publish(reading);
    if (m_history)
        m_history->record(std::move(reading));
}

std::unique_ptr<mqtt::Backlog> Recorder::stop()
{
    auto waiting = m_publisher ? m_publisher->stop() : nullptr;
    m_publisher.reset();
    return waiting;
}

std::size_t Recorder::finish(double seconds)
{
    if (!m_publisher)
        return 0;
    std::size_t left = m_publisher->flush(seconds) ? 0 : m_publisher->waiting();
    left += m_publisher->dropped(); // given up by the backlog while the broker was away
    m_publisher.reset();
    return left;
}

Recording::Recording(Options options, StatusCallbacks statusCallbacks)
    : m_options(std::move(options))
    , m_statusCallbacks(std::move(statusCallbacks))
{
    // Opened now, so a damaged file is found and moved aside at start, not at the first reading.
    if (m_options.historyReadings)
        history();
}

Recording::~Recording()
{
    m_recorders.clear();
    m_history.reset();
}

std::unique_ptr<Recorder> Recording::makeRecorder(const mqtt::Station& station, std::unique_ptr<mqtt::Backlog> waiting)
{
    if (m_options.historyReadings)
        history();
    return std::make_unique<Recorder>(m_options, station, m_history,
        m_statusCallbacks && !m_options.mqtt.url.isEmpty() ? m_statusCallbacks(station) : Recorder::StatusCallback{},
        std::move(waiting));
}

void Recording::setOptions(Options options)
{
    // Readings still waiting for the broker go on to the next publisher of their counter.
    std::map<QString, std::pair<mqtt::Station, std::unique_ptr<mqtt::Backlog>>> waiting;
    for (auto& [serial, recorder] : m_recorders)
        waiting[serial] = {recorder->station(), recorder->stop()};
    m_recorders.clear();
    if (options.historyPath != m_options.historyPath)
        m_history.reset();
    m_options = std::move(options);
    for (auto& [serial, kept] : waiting)
        m_recorders[serial] = makeRecorder(kept.first, std::move(kept.second));
}

void Recording::record(history::Reading reading, const QString& firmware)
{
    // A counter that names no serial number is kept under the empty one.
    if (reading.serial.isNull())
        reading.serial = QStringLiteral("");
    auto& recorder = m_recorders[reading.serial];
    if (!recorder || recorder->station().firmware != firmware) {
        auto waiting = recorder ? recorder->stop() : nullptr;
        recorder.reset();
        recorder = makeRecorder({reading.serial, firmware}, std::move(waiting));
    }
    recorder->record(std::move(reading));
}

void Recording::keepOnly(const QStringList& serials)
{
    std::erase_if(m_recorders, [&](const auto& r) { return !serials.contains(r.first); });
}

const Recorder* Recording::recorder(const QString& serial) const
{
    const auto r = m_recorders.find(serial);
    return r == m_recorders.end() ? nullptr : r->second.get();
}

history::Writer* Recording::history()
{
    if (!m_history && !m_options.historyPath.isEmpty()) {
        history::Writer::Options o;
        o.path = m_options.historyPath;
        o.retentionDays = m_options.retentionDays;
        o.onTrouble = m_options.historyTrouble;
        m_history = std::make_shared<history::Writer>(o);
    }
    return m_history.get();
}

std::size_t Recording::storeProtocol(const OQProtocol& protocol, const OQProtocolEventList& events,
    history::Writer::IntervalsStored done)
{
    auto intervals = history::intervalsOf(events);
    const std::size_t total = intervals.size();
    if (total == 0 || !history())
        return 0;
    m_history->storeIntervals(history::serialOf(protocol), std::move(intervals), std::move(done));
    return total;
}

Lost Recording::finish(double seconds)
{
    Lost lost;
    for (auto& [serial, recorder] : m_recorders)
        lost.notSent += recorder->finish(seconds);
    m_recorders.clear();
    if (m_history) {
        m_history->stop();
        lost.notStored = m_history->notStored();
        lost.why = !m_history->problem().isEmpty() ? m_history->problem() : m_history->lastRefusal();
        m_history.reset();
    }
    m_options = {};
    return lost;
}

} // namespace oq::recording
