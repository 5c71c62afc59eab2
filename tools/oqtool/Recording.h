#pragma once
// oqtool's side of the recording: --db [FILE] (watch, download) and --mqtt URL with its companions
// (watch) as the recording's options, and what the recording could not do, said on standard error.
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

#include "recording/Recording.h"

class OQProtocol;

namespace oqtool {

// Takes "--db [FILE]" out of `args` (a FILE does not start with "-"); without FILE, the
// application's history database.
void takeHistoryOptions(QStringList& args, oq::recording::Options& options);

// Takes the MQTT options out of `args`. False, with `error` set, when they are malformed: a
// missing value, an address that is not a broker's, an unusable prefix or credentials file.
bool takeMqttOptions(QStringList& args, oq::recording::Options& options, QString& error);

class Recording {
public:
    explicit Recording(oq::recording::Options options);
    ~Recording();

    // False, and said, when the history cannot be recorded into at all (another program's file, a
    // folder that cannot be written): nothing is started then.
    bool usable() const { return m_recording != nullptr; }

    // What the counters record into; null when unusable.
    oq::recording::Recording* recording() const { return m_recording.get(); }
    // Stores the protocol's intervals; false (and said) when they could not be.
    bool storeProtocol(OQProtocol& protocol);
    // Gives the broker `seconds` (real time) and writes what waits; false, said, when readings were
    // not stored or did not reach the broker.
    bool finish(double seconds);

private:
    std::unique_ptr<oq::recording::Recording> m_recording;
};

// Seconds of real time a watch gives the broker at its end.
constexpr double kMqttFinishWait = 10.0;

} // namespace oqtool
