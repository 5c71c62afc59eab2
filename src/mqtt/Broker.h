#pragma once
// Where readings go: a broker given as mqtt://host[:1883] or mqtts://host[:8883].
#include <QString>

#include <optional>

namespace oq::mqtt {

struct Broker {
    bool tls = false;
    QString host;
    int port = 1883;

    // "mqtts://host:8883", for logs and status lines.
    QString text() const;
};

// Nothing, with `why` set (for people, in their language), when `url` is no such address. A user
// name or password inside the address is refused: command lines show in `ps`.
std::optional<Broker> parseBroker(const QString& url, QString* why = nullptr);

} // namespace oq::mqtt
