#pragma once
// What the publisher puts on the broker: the topics of one counter, a reading as JSON, and the
// retained Home Assistant discovery configs that make the counter one device with three sensors.
// Numbers and times are written alike in every locale.
#include <QByteArray>
#include <QString>

#include <vector>

#include "history/HistoryTypes.h"

namespace oq::mqtt {

inline const QString kDefaultPrefix = QStringLiteral("oq-online/SERIAL/");
inline const QString kDefaultDiscoveryPrefix = QStringLiteral("homeassistant");

// The counter a publisher speaks for.
struct Station {
    QString serial;   // as the counter reports it; may be empty (old firmware)
    QString firmware; // may be empty
};

// The serial as it may stand in a topic or an id: letters, digits, '-' and '_' kept, anything
// else '_'; "unknown" for a counter without one.
QString topicSafe(const QString& serial);

// The prefix with SERIAL replaced, ending in '/'. Empty, with `why` set, when it cannot be
// published to (wildcards, a leading '/', empty levels, control characters).
QString expandPrefix(const QString& pattern, const Station& station, QString* why = nullptr);

struct Message {
    QString topic;
    QByteArray payload;
    bool retain = false;
};

struct Topics {
    QString state;
    QString availability;
};
Topics topicsFor(const QString& expandedPrefix);

// One reading: {"time":…,"serial":…,"mode":"rate"|"dose","value":…,"unit":"μSv/h"|"μSv",
// "display_value":…,"display_unit":…,"counter_unit":…,"level":"normal"|"warning"|"danger"}.
// `displayUnit` is "Sv" or "rem"; anything else follows the counter's own unit.
QByteArray stateJson(const history::Reading& reading, const Station& station, const QString& displayUnit);

// The dose-rate, dose and alarm-level sensors' configs under `discoveryPrefix`. With `enabled`
// false the same topics with empty payloads, which removes the device from Home Assistant.
std::vector<Message> discoveryMessages(const Station& station, const Topics& topics, const QString& discoveryPrefix, bool enabled);

} // namespace oq::mqtt
