#pragma once
// oqtool's side of MQTT: --mqtt URL and its companions for watch, and one publisher per counter
// seen while it runs.
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

#include "HistoryRecording.h"

class OQDeviceInfo;

namespace oq::mqtt {
class Publisher;
struct PublisherOptions;
} // namespace oq::mqtt

namespace oqtool {

struct MqttOptions {
    QString url;             // --mqtt URL; empty: no publishing
    QString prefix;          // --mqtt-prefix P
    QString caFile;          // --mqtt-ca FILE
    QString credentialsFile; // --mqtt-credentials FILE
    bool discovery = true;   // --no-discovery turns it off
};

// Takes the MQTT options out of `args`. False, with `error` set, when they are malformed: a
// missing value, an address that is not a broker's, an unusable prefix or credentials file.
bool takeMqttOptions(QStringList& args, MqttOptions& options, QString& error);

class MqttPublishing {
public:
    // `history`: where readings are also recorded; the backlog reads back from there.
    MqttPublishing(MqttOptions options, HistoryOptions history, QString displayUnit);
    ~MqttPublishing();

    void record(const OQDeviceInfo* counter, const QDateTime& time, double value, int mode, const QString& counterUnit);
    // Gives the broker `seconds` (real time) to take what waits; false, said on standard error,
    // when readings remain.
    bool finish(double seconds);

private:
    MqttOptions m_options;
    HistoryOptions m_history;
    QString m_displayUnit;
    std::map<QString, std::unique_ptr<oq::mqtt::Publisher>> m_publishers;
};

// Seconds of real time a watch gives the broker at its end.
constexpr double kMqttFinishWait = 10.0;

} // namespace oqtool
