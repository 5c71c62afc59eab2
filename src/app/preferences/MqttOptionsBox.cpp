#include "MqttOptionsBox.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QFormLayout>

#include "mqtt/Broker.h"
#include "mqtt/Publisher.h"
#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"
#include "app/preferences/SwitchPreference.h"

namespace {
QString text(const char* key) { return oq::localized(QString::fromLatin1(key)); }
} // namespace

MqttOptionsBox::MqttOptionsBox(QWidget* parent)
    : SettingsFieldsBox(text("preferences.mqtt.group"), parent)
{
    namespace keys = oq::settings;
    m_broker = addField(keys::MqttBroker, text("preferences.mqtt.broker"), text("preferences.mqtt.broker_placeholder"), [](QString& value) {
        QString why;
        oq::mqtt::parseBroker(value, &why);
        return why;
    });
    m_prefix = addField(keys::MqttTopicPrefix, text("preferences.mqtt.prefix"), oq::mqtt::kDefaultPrefix, [](QString& value) {
        oq::mqtt::PublisherOptions probe;
        probe.prefix = value;
        return oq::mqtt::optionsProblem(probe);
    });
    // The publisher runs in whatever folder the program started in: the file is kept by its full path.
    m_caFile = addField(keys::MqttCaFile, text("preferences.mqtt.ca_file"), text("preferences.mqtt.ca_file_placeholder"), [](QString& value) {
        value = fullPath(value);
        const QFileInfo file(value);
        return file.isFile() && file.isReadable() ? QString() : text("preferences.mqtt.ca_file_unreadable").arg(value);
    });
    m_discovery = makeSwitchPreference(keys::MqttDiscovery, text("preferences.mqtt.discovery"), true, this);
    form()->addRow(m_discovery);
    addStatusLines(QStringLiteral("MqttStatus"), text("preferences.mqtt.off"));
}

// Its own moc output, so programs without windows that link this library do not take it in.
#include "moc_MqttOptionsBox.cpp"
