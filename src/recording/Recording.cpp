#include "recording/Recording.h"

#include "history/ProtocolIntervals.h"
#include "mqtt/Backlog.h"
#include "platform/StringTable.h"
#include "readings/Level.h"

#include <future>

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

Recorder::Recorder(Recording& recording, mqtt::Station station, StatusCallback onStatus, std::unique_ptr<mqtt::Backlog> waiting)
    : m_recording(&recording)
    , m_station(std::move(station))
    , m_onStatus(std::move(onStatus))
{
    // A counter that names no serial number is kept under the empty one.
    if (m_station.serial.isNull())
        m_station.serial = QStringLiteral("");
    recording.m_recorders.push_back(this);
    start(std::move(waiting));
}

Recorder::~Recorder()
{
    if (m_recording)
        std::erase(m_recording->m_recorders, this);
}

void Recorder::start(std::unique_ptr<mqtt::Backlog> waiting)
{
    const Options& options = m_recording->m_options;
    m_history = options.historyReadings && m_recording->history() ? m_recording->m_history : nullptr;
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
    if (m_onStatus)
        status = [onStatus = m_onStatus, broker = *broker](const mqtt::Status& s) { onStatus(s, broker); };
    m_publisher = std::make_unique<mqtt::Publisher>(std::move(o), std::move(waiting), std::move(status));
}

void Recorder::record(const Reading& r)
{
    if (!m_recording || m_recording->m_finished)
        return;
    history::Reading reading{m_station.serial, r.timeMs, r.mode, r.value, r.counterUnit, int(r.level)};
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

Recording::Recording(Options options)
    : m_options(std::move(options))
{
    // Opened now, so a damaged file is found and moved aside at start, not at the first reading.
    if (m_options.historyReadings)
        history();
}

Recording::~Recording()
{
    for (Recorder* r : m_recorders) {
        r->stop();
        r->m_history.reset();
        r->m_recording = nullptr;
    }
    m_recorders.clear();
    m_history.reset();
}

std::unique_ptr<Recorder> Recording::recorder(const mqtt::Station& station, Recorder::StatusCallback onStatus,
    std::unique_ptr<mqtt::Backlog> waiting)
{
    if (m_options.historyReadings)
        history();
    return std::unique_ptr<Recorder>(new Recorder(*this, station, std::move(onStatus), std::move(waiting)));
}

void Recording::setOptions(Options options)
{
    // Readings still waiting for the broker go on to the next publisher of their counter.
    std::vector<std::unique_ptr<mqtt::Backlog>> waiting;
    for (Recorder* r : m_recorders) {
        waiting.push_back(r->stop());
        r->m_history.reset();
    }
    if (options.historyPath != m_options.historyPath)
        m_history.reset();
    m_options = std::move(options);
    for (std::size_t i = 0; i < m_recorders.size(); ++i)
        m_recorders[i]->start(std::move(waiting[i]));
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
    // Every publisher at once: one broker that is away costs the end `seconds`, not that many per counter.
    std::vector<std::future<std::size_t>> left;
    for (Recorder* r : m_recorders)
        left.push_back(std::async(std::launch::async, [r, seconds] { return r->finish(seconds); }));
    for (auto& l : left)
        lost.notSent += l.get();
    m_finished = true;
    for (Recorder* r : m_recorders)
        r->m_history.reset();
    if (m_history) {
        m_history->stop();
        lost.notStored = m_history->notStored();
        lost.why = !m_history->problem().isEmpty() ? m_history->problem() : m_history->lastRefusal();
        m_history.reset();
    }
    return lost;
}

} // namespace oq::recording
