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

// The serial as it may stand in a topic or an id: ASCII letters, digits and '-' kept, any other
// byte of its UTF-8 as '_' and two hex digits ("a/b" is "a_2Fb"); "unknown" for a counter without one.
QString topicSafe(const QString& serial);

// The prefix with SERIAL replaced, ending in '/'. Empty, with `why` set, when it cannot be
// published to (wildcards, a leading '/', empty levels, control characters).
QString expandPrefix(const QString& pattern, const Station& station, QString* why = nullptr);

struct Message {
    QString topic;
    QByteArray payload;
    bool retain = false;
};

// `state` gets every reading; `rate` and `dose` each keep the newest of their own quantity,
// retained, so each sensor's state stands on its own, also for a newcomer.
struct Topics {
    QString state;
    QString availability;
    QString rate;
    QString dose;
    const QString& of(int mode) const { return mode == history::Dose ? dose : rate; }
};
Topics topicsFor(const QString& expandedPrefix);

// Seconds after its last reading a sensor's value is no longer current (a silent or unplugged
// counter, a program that died where the broker cannot tell).
constexpr int kExpireAfterSeconds = 120;

// One reading: {"time":…,"serial":…,"mode":"rate"|"dose","value":…,"unit":"μSv/h"|"μSv",
// "display_value":…,"display_unit":…,"counter_unit":…,"level":"normal"|"warning"|"danger"}.
// `displayUnit` is "Sv" or "rem"; anything else follows the counter's own unit.
QByteArray stateJson(const history::Reading& reading, const Station& station, const QString& displayUnit);

// The dose-rate and dose sensors' configs, each with the alarm level of its quantity, under
// `discoveryPrefix`. With `enabled`
// false the same topics with empty payloads, which removes the device from Home Assistant.
std::vector<Message> discoveryMessages(const Station& station, const Topics& topics, const QString& discoveryPrefix, bool enabled);

} // namespace oq::mqtt
