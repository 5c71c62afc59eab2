#pragma once
// Every settings key the application registers, reads or writes, and their registered defaults.
#include <QString>
#include <QVariantMap>

namespace oq::settings {

inline const QString OnlineMode = QStringLiteral("OnlineMode");
// Each window's last size and place (Qt's saveGeometry, in base 64).
inline const QString MainWindowPlace = QStringLiteral("MainWindowPlace");
inline const QString HistoryWindowPlace = QStringLiteral("HistoryWindowPlace");
inline const QString ProtocolWindowPlace = QStringLiteral("ProtocolWindowPlace");
// The folder last chosen in a file dialog.
inline const QString LastDialogFolder = QStringLiteral("LastDialogFolder");
inline const QString WarningRateValue = QStringLiteral("WarningRateValue");
inline const QString DangerRateValue = QStringLiteral("DangerRateValue");
inline const QString WarningDoseValue = QStringLiteral("WarningDoseValue");
inline const QString DangerDoseValue = QStringLiteral("DangerDoseValue");
inline const QString NormalFontColor = QStringLiteral("NormalFontColor");
inline const QString NormalBackgroundColor = QStringLiteral("NormalBackgroundColor");
inline const QString NormalBarColor = QStringLiteral("NormalBarColor");
inline const QString WarningFontColor = QStringLiteral("WarningFontColor");
inline const QString WarningBackgroundColor = QStringLiteral("WarningBackgroundColor");
inline const QString WarningBarColor = QStringLiteral("WarningBarColor");
inline const QString DangerFontColor = QStringLiteral("DangerFontColor");
inline const QString DangerBackgroundColor = QStringLiteral("DangerBackgroundColor");
inline const QString DangerBarColor = QStringLiteral("DangerBarColor");
inline const QString displayUnit = QStringLiteral("displayUnit");
// The counter the window shows when it is plugged in: its serial, or "port:" and its port for one
// without; absent: whichever is plugged.
inline const QString ShownCounter = QStringLiteral("ShownCounter");
// Whether every reading shown is kept in the history database; absent means it is.
inline const QString RecordHistory = QStringLiteral("RecordHistory");
// Days raw readings stay in the history (their per-minute aggregates stay for ever); absent means 90.
inline const QString HistoryRetentionDays = QStringLiteral("HistoryRetentionDays");

// Readings to an MQTT broker. The broker's address (mqtt://host or mqtts://host); absent or empty:
// nothing is published.
inline const QString MqttBroker = QStringLiteral("MqttBroker");
// The topics' prefix, SERIAL standing for the counter's serial number; absent: oq-online/SERIAL/.
inline const QString MqttTopicPrefix = QStringLiteral("MqttTopicPrefix");
// Whether the counter is announced to Home Assistant; absent means it is.
inline const QString MqttDiscovery = QStringLiteral("MqttDiscovery");
// For mqtts: the file of the CA that signed the broker's certificate (PEM); absent: the system's CAs.
inline const QString MqttCaFile = QStringLiteral("MqttCaFile");

// The web page and /metrics served by the window; absent means off.
inline const QString WebPage = QStringLiteral("WebPage");
// Where it listens, as [ADDRESS:]PORT; absent or empty: 127.0.0.1:8080.
inline const QString WebListen = QStringLiteral("WebListen");
// The access token's file (mode 600), needed for any address other than loopback; absent or
// empty: $XDG_CONFIG_HOME/oq-online/http-token when it exists.
inline const QString WebTokenFile = QStringLiteral("WebTokenFile");

// Alerts on level changes: on/off, with their own defaults (alertDefaults()).
inline const QString NotifyLevelChanges = QStringLiteral("NotifyLevelChanges");       // default on
inline const QString AlarmSound = QStringLiteral("AlarmSound");                       // default off
inline const QString KeepRunningWhenClosed = QStringLiteral("KeepRunningWhenClosed"); // default off

// The nine colour keys, in the order the preferences window shows them.
QStringList colorKeys();

// The 14 registered defaults (every key above except displayUnit and ShownCounter); colours archived.
QVariantMap defaults();

// Tells defaults() whether the desktop is dark. Set by the painting side of colours
// (ArchivedColorQColor.cpp) in every program that links it; programs without windows have none.
void setDarkDesktopProbe(bool (*probe)());

// The defaults of the alert options, registered beside the 14.
QVariantMap alertDefaults();
// An alert option as stored, else its default (also where the defaults were never registered).
bool alertOption(const QString& key);

} // namespace oq::settings
