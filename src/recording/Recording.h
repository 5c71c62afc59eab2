#pragma once
// What the programs record of a counter's readings: the history database and the MQTT broker,
// built from plain options. One Recorder per counter, owned by the counter; the Recording makes
// them and holds the one history writer they share. The window turns its settings into these options,
// oqtool watch its command line; neither records on its own.
//
// Readings are handed in with their time: when they arrived is the caller's to say.
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

#include "history/HistoryTypes.h"
#include "history/HistoryWriter.h"
#include "mqtt/Publisher.h"
#include "parser/OQProtocol.h"
#include "readings/Reading.h"

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

class Recording;

// One counter: its readings into the shared history writer and through a publisher of its own.
// Made by a Recording for a counter, which owns it; the recording reaches it while it lives, to
// start its publisher again with new options and to give it its time at the end.
class Recorder {
public:
    // Runs on the network thread at each change of the publisher's status.
    using StatusCallback = std::function<void(const mqtt::Status& status, const mqtt::Broker& broker)>;

    // Says `offline` (when it publishes) and leaves the recording.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    const mqtt::Station& station() const { return m_station; }
    // Null while nothing is published.
    const mqtt::Publisher* publisher() const { return m_publisher.get(); }

    // The reading as it was made; kept under this recorder's serial.
    void record(const Reading& reading);
    // Ends the publisher and hands over what still waits for the broker.
    std::unique_ptr<mqtt::Backlog> stop();

private:
    friend class Recording;
    Recorder(Recording& recording, mqtt::Station station, StatusCallback onStatus, std::unique_ptr<mqtt::Backlog> waiting);
    void start(std::unique_ptr<mqtt::Backlog> waiting);
    // Gives the broker `seconds` of real time to take what waits, then ends the publisher: how many
    // readings it did not take.
    std::size_t finish(double seconds);

    Recording* m_recording;
    mqtt::Station m_station;
    StatusCallback m_onStatus;
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
    explicit Recording(Options options);
    // Writes what was handed in; recorders still alive record nothing more.
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    const Options& options() const { return m_options; }
    // Other options: each recorder's publisher starts again, and what waited goes on with the new one.
    void setOptions(Options options);

    // A recorder for the counter of `station`; `waiting`: readings an earlier recorder of it had not
    // delivered. `onStatus` is told its publisher's status (on the network thread).
    std::unique_ptr<Recorder> recorder(const mqtt::Station& station, Recorder::StatusCallback onStatus = {},
        std::unique_ptr<mqtt::Backlog> waiting = {});

    // The history's writer, opened at first need (a damaged file is moved aside then); null
    // without a history.
    history::Writer* history();
    // Hands the protocol's intervals to the history: how many (0: none, or no history). `done`
    // runs on the writer's thread once they are in.
    std::size_t storeProtocol(const OQProtocol& protocol, const OQProtocolEventList& events,
        history::Writer::IntervalsStored done = {});

    // Gives every publisher the same `seconds` of real time at once, then writes what was handed
    // in: what was lost. Nothing is recorded after it.
    Lost finish(double seconds);

private:
    friend class Recorder;

    Options m_options;
    std::shared_ptr<history::Writer> m_history;
    std::vector<Recorder*> m_recorders; // alive, owned by their counters
    bool m_finished = false;
};

} // namespace oq::recording
