#include "mqtt/Broker.h"

#include <QUrl>

#include "platform/StringTable.h"

namespace oq::mqtt {

QString Broker::text() const
{
    const QString h = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return (tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://")) + h + QLatin1Char(':') + QString::number(port);
}

std::optional<Broker> parseBroker(const QString& url, QString* why)
{
    // The address is not repeated when it holds a secret.
    const auto refuse = [&](const char* key, bool withUrl = true) -> std::optional<Broker> {
        if (why)
            *why = withUrl ? localized(QString::fromLatin1(key)).arg(url) : localized(QString::fromLatin1(key));
        return std::nullopt;
    };
    // Whatever else is wrong with it, an address with a user part is never repeated: a password
    // may hold any character ('#', '/', ':'), so the whole text is suspect.
    if (url.contains(QLatin1Char('@')))
        return refuse("mqtt.url.credentials", false);
    const QUrl u(url.trimmed(), QUrl::StrictMode);
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")))
        return refuse("mqtt.url.bad");
    if (u.host().isEmpty() || !(u.path().isEmpty() || u.path() == QLatin1String("/")) || u.hasQuery() || u.hasFragment())
        return refuse("mqtt.url.bad");
    Broker b;
    b.tls = scheme == QLatin1String("mqtts");
    b.host = u.host();
    b.port = u.port(b.tls ? 8883 : 1883);
    if (b.port <= 0)
        return refuse("mqtt.url.bad");
    return b;
}

} // namespace oq::mqtt
