#include "mqtt/Credentials.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/SafeFile.h"
#include "platform/StringTable.h"

namespace oq::mqtt {

Credentials credentialsFromEnvironment()
{
    return {qEnvironmentVariable("OQ_MQTT_USERNAME"), qEnvironmentVariable("OQ_MQTT_PASSWORD")};
}

std::optional<Credentials> readCredentials(const QString& path, QString* why)
{
    QFile file(path);
    // A credentials file is a few lines; anything large is not one.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 64 * 1024) {
        if (why)
            *why = localized(QStringLiteral("mqtt.credentials.unreadable")).arg(path, file.errorString());
        return std::nullopt;
    }
    // As ssh with a key: a password others may read, or a file another user may change, is not one to send.
    struct stat st = {};
    if (::fstat(file.handle(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077)) {
        if (why)
            *why = localized(QStringLiteral("mqtt.credentials.too_open")).arg(path);
        return std::nullopt;
    }
    Credentials c;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw.endsWith('\r') ? raw.chopped(1) : raw);
        if (line.startsWith(QLatin1String("username=")))
            c.username = line.mid(9);
        else if (line.startsWith(QLatin1String("password=")))
            c.password = line.mid(9);
    }
    if (c.username.isEmpty()) {
        if (why)
            *why = localized(QStringLiteral("mqtt.credentials.no_user")).arg(path);
        return std::nullopt;
    }
    return c;
}

std::optional<Credentials> findCredentials(const QString& fallbackPath, QString* why)
{
    const QString named = qEnvironmentVariable("OQ_MQTT_CREDENTIALS");
    if (!named.isEmpty())
        return readCredentials(named, why);
    if (!fallbackPath.isEmpty() && QFileInfo::exists(fallbackPath))
        return readCredentials(fallbackPath, why);
    return credentialsFromEnvironment();
}

QString defaultCredentialsPath()
{
    const QString config = oq::files::configHome();
    return config.isEmpty() ? QString() : config + QStringLiteral("/oq-online/mqtt-credentials");
}

} // namespace oq::mqtt
