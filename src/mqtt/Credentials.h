#pragma once
// The broker's user name and password: from a file or the environment, never from the command
// line (it shows in `ps`). The file holds lines `username=NAME` and `password=SECRET`.
#include <QString>

#include <optional>

namespace oq::mqtt {

struct Credentials {
    QString username; // empty: none are sent
    QString password;
};

// OQ_MQTT_USERNAME and OQ_MQTT_PASSWORD.
Credentials credentialsFromEnvironment();

// Nothing, with `why` set, when `path` cannot be read, holds no user name, or is not the user's
// own with mode 600 (or stricter).
std::optional<Credentials> readCredentials(const QString& path, QString* why = nullptr);

// The file named by OQ_MQTT_CREDENTIALS, else `fallbackPath` when it exists, else the
// environment's; `why` is set when a named file is unreadable.
std::optional<Credentials> findCredentials(const QString& fallbackPath, QString* why = nullptr);

// $XDG_CONFIG_HOME/oq-online/mqtt-credentials.
QString defaultCredentialsPath();

} // namespace oq::mqtt
