#include "MqttOptionsBox.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

#include "mqtt/Broker.h"
#include "mqtt/Publisher.h"
#include "platform/SafeFile.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "app/preferences/SwitchPreference.h"

namespace {
QString text(const char* key) { return oq::localized(QString::fromLatin1(key)); }
} // namespace

MqttOptionsBox::MqttOptionsBox(QWidget* parent)
    : QGroupBox(text("preferences.mqtt.group"), parent)
{
    namespace keys = oq::settings;
    auto* form = new QFormLayout(this);
    m_broker = new QLineEdit(this);
    m_broker->setObjectName(keys::MqttBroker);
    m_broker->setPlaceholderText(text("preferences.mqtt.broker_placeholder"));
    form->addRow(text("preferences.mqtt.broker"), m_broker);
    m_prefix = new QLineEdit(this);
    m_prefix->setObjectName(keys::MqttTopicPrefix);
    m_prefix->setPlaceholderText(oq::mqtt::kDefaultPrefix);
    form->addRow(text("preferences.mqtt.prefix"), m_prefix);
    m_caFile = new QLineEdit(this);
    m_caFile->setObjectName(keys::MqttCaFile);
    m_caFile->setPlaceholderText(text("preferences.mqtt.ca_file_placeholder"));
    form->addRow(text("preferences.mqtt.ca_file"), m_caFile);
    m_discovery = makeSwitchPreference(keys::MqttDiscovery, text("preferences.mqtt.discovery"), true, this);
    form->addRow(m_discovery);
    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    m_message->setVisible(false);
    form->addRow(m_message);
    m_status = new QLabel(text("preferences.mqtt.off"), this);
    m_status->setWordWrap(true);
    m_status->setObjectName(QStringLiteral("MqttStatus"));
    form->addRow(m_status);

    connect(m_broker, &QLineEdit::editingFinished, this, [this] { commit(m_broker, oq::settings::MqttBroker); });
    connect(m_prefix, &QLineEdit::editingFinished, this, [this] { commit(m_prefix, oq::settings::MqttTopicPrefix); });
    connect(m_caFile, &QLineEdit::editingFinished, this, [this] { commit(m_caFile, oq::settings::MqttCaFile); });
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, [this](const QString& key) {
        if (key == oq::settings::MqttBroker || key == oq::settings::MqttTopicPrefix || key == oq::settings::MqttCaFile)
            refresh();
    });
    refresh();
}

QString MqttOptionsBox::inputMessage() const { return m_message->text(); }
QString MqttOptionsBox::status() const { return m_status->text(); }

void MqttOptionsBox::setStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setAccessibleName(text);
}

void MqttOptionsBox::refresh()
{
    auto& store = oq::SettingsStore::shared();
    for (const auto& [field, key] : {std::pair{m_broker, oq::settings::MqttBroker}, std::pair{m_prefix, oq::settings::MqttTopicPrefix},
             std::pair{m_caFile, oq::settings::MqttCaFile}}) {
        // Leave a field alone while the user is typing in it.
        if (!(field->hasFocus() && field->isModified()))
            field->setText(store.stringForKey(key));
        field->setModified(false);
    }
}

void MqttOptionsBox::commit(QLineEdit* field, const QString& key)
{
    if (!field->isModified())
        return;
    field->setModified(false);
    QString value = field->text().trimmed();
    QString why;
    if (!value.isEmpty()) {
        if (key == oq::settings::MqttBroker) {
            oq::mqtt::parseBroker(value, &why);
        } else if (key == oq::settings::MqttCaFile) {
            // The publisher runs in whatever folder the program started in: the file is kept by its full path.
            if (value.startsWith(QLatin1String("~/")))
                value = oq::files::homeFolder() + value.mid(1);
            const QFileInfo file(value);
            value = file.absoluteFilePath();
            if (!file.isFile() || !file.isReadable())
                why = text("preferences.mqtt.ca_file_unreadable").arg(value);
        } else {
            oq::mqtt::PublisherOptions probe;
            probe.prefix = value;
            why = oq::mqtt::optionsProblem(probe);
        }
    }
    m_message->setText(why);
    m_message->setVisible(!why.isEmpty());
    if (!why.isEmpty())
        return;
    auto& store = oq::SettingsStore::shared();
    if (value.isEmpty())
        store.removeObject(key);
    else
        store.setString(key, value);
}

// Its own moc output, so programs without windows that link this library do not take it in.
#include "moc_MqttOptionsBox.cpp"
