#pragma once
// What the programs record of a counter's readings: the history database and the MQTT broker,
// built from plain options. One Recorder per counter; a Recording holds them by serial number
// with the one history writer they share. The window turns its settings into these options,
// oqtool watch its command line; neither records on its own.
//
// Readings are handed in with their time: when they arrived is the caller's to say.
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

#include "history/HistoryTypes.h"
#include "history/HistoryWriter.h"
#include "mqtt/Publisher.h"
#include "parser/OQProtocol.h"

namespace oq::recording {

struct MqttOptions {
    QString url;    // mqtt://host or mqtts://host; empty: nothing is published
    QString prefix; // the topics' prefix; empty: oq-online/SERIAL/
    QString caFile; // for mqtts: the CA to trust; empty: the system's
    mqtt::Credentials credentials;
    bool discovery = true;
};

struct Options {
    QString historyPath;         // the history database; empty: none
    bool historyReadings = true; // readings go into it (protocols always do), and the broker's backlog reads back from it
    int retentionDays = 90;
    MqttOptions mqtt;
    QString displayUnit;         // "Sv", "rem"; empty: the counter's
    // On the history writer's thread: writing failed (at once, then once a minute while it
    // lasts) or works again. troubleText() says it for people.
    history::Writer::TroubleCallback historyTrouble;
};

// What `trouble` of the history at `path` means, for people.
QString troubleText(const history::Writer::Trouble& trouble, const QString& path);

// Why `mqtt` cannot publish (an address that is no broker's, a prefix that cannot be one), for
// people; empty when it can or publishes nothing.
QString problemOf(const MqttOptions& mqtt);

// One counter: its readings into the shared history writer and through a publisher of its own.
class Recorder {
public:
    // Runs on the network thread at each change of the publisher's status.
    using StatusCallback = std::function<void(const mqtt::Status& status, const mqtt::Broker& broker)>;

    // `waiting`: readings an earlier recorder of this counter had not delivered.
    Recorder(const Options& options, mqtt::Station station, std::shared_ptr<history::Writer> history,
        StatusCallback onStatus = {}, std::unique_ptr<mqtt::Backlog> waiting = {});
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    const mqtt::Station& station() const { return m_station; }
    // Null while nothing is published.
    const mqtt::Publisher* publisher() const { return m_publisher.get(); }

    // The level is set here, by the thresholds in force.
    void record(history::Reading reading);
    // Ends the publisher and hands over what still waits for the broker.
    std::unique_ptr<mqtt::Backlog> stop();
    // Gives the broker `seconds` of real time to take what waits, then ends the publisher: how many
    // readings it did not take.
    std::size_t finish(double seconds);

private:
    mqtt::Station m_station;
    std::shared_ptr<history::Writer> m_history;
    std::unique_ptr<mqtt::Publisher> m_publisher;
};

// What a recording could not keep by its end.
struct Lost {
    qint64 notStored = 0;  // readings not in the history
    QString why;           // why they are not
    std::size_t notSent = 0; // readings the broker did not take
};

class Recording {
public:
    // Asked on the caller's thread for each publisher started: the callback for its status.
    using StatusCallbacks = std::function<Recorder::StatusCallback(const mqtt::Station& station)>;

    explicit Recording(Options options, StatusCallbacks statusCallbacks = {});
    // Ends the publishers (offline, without waiting) and writes what was handed in.
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    const Options& options() const { return m_options; }
    // Other options: each counter's publisher starts again, and what waited goes on with the new one.
    void setOptions(Options options);

    // Into the recorder of `reading.serial`, made at first need; another firmware restarts it.
    void record(history::Reading reading, const QString& firmware);
    // Ends the recorders of the counters not named (they say `offline`).
    void keepOnly(const QStringList& serials);
    const Recorder* recorder(const QString& serial) const;

    // The history's writer, opened at first need (a damaged file is moved aside then); null
    // without a history.
    history::Writer* history();
    // Hands the protocol's intervals to the history: how many (0: none, or no history). `done`
    // runs on the writer's thread once they are in.
    std::size_t storeProtocol(const OQProtocol& protocol, const OQProtocolEventList& events,
        history::Writer::IntervalsStored done = {});

    // Gives the broker `seconds` of real time, then writes what was handed in: what was lost.
    // Nothing is recorded after it.
    Lost finish(double seconds);

private:
    std::unique_ptr<Recorder> makeRecorder(const mqtt::Station& station, std::unique_ptr<mqtt::Backlog> waiting);

    Options m_options;
    StatusCallbacks m_statusCallbacks;
    std::shared_ptr<history::Writer> m_history;
    std::map<QString, std::unique_ptr<Recorder>> m_recorders;
};

} // namespace oq::recording
