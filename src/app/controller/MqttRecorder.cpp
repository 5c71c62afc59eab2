#include "app/controller/MqttRecorder.h"

#include <QPointer>

#include "app/controller/HistoryRecorder.h"
#include "history/HistorySettings.h"
#include "logging/Log.h"
#include "mqtt/Publisher.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"

using oq::localized;

MqttRecorder::MqttRecorder(HistoryRecorder* history, QObject* parent)
    : QObject(parent)
    , m_history(history)
{
    connect(history, &HistoryRecorder::readingTaken, this, &MqttRecorder::readingTaken);
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, &MqttRecorder::settingChanged);
    restart();
}

MqttRecorder::~MqttRecorder() = default;

void MqttRecorder::settingChanged(const QString& key)
{
    namespace keys = oq::settings;
    if (key == keys::MqttBroker || key == keys::MqttTopicPrefix || key == keys::MqttDiscovery || key == keys::displayUnit
        || key == keys::RecordHistory)
        restart();
}

void MqttRecorder::restart()
{
    // Readings of this counter that still wait for the broker go on to the next publisher.
    std::unique_ptr<oq::mqtt::Backlog> kept;
    if (m_publisher && m_publisher->options().station.serial == m_serial)
        kept = m_publisher->stop();
    m_publisher.reset();
    ++m_generation;
    const QString url = oq::SettingsStore::shared().stringForKey(oq::settings::MqttBroker).trimmed();
    if (url.isEmpty())
        return setStatus(localized(QStringLiteral("preferences.mqtt.off")));
    QString why;
    const auto broker = oq::mqtt::parseBroker(url, &why);
    if (!broker)
        return setStatus(why);
    if (m_serial.isNull())
        return setStatus(localized(QStringLiteral("preferences.mqtt.waiting")));

    auto& store = oq::SettingsStore::shared();
    oq::mqtt::PublisherOptions o;
    o.broker = *broker;
    const auto credentials = oq::mqtt::findCredentials(oq::mqtt::defaultCredentialsPath(), &why);
    if (!credentials)
        return setStatus(why);
    o.credentials = *credentials;
    if (const QString prefix = store.stringForKey(oq::settings::MqttTopicPrefix).trimmed(); !prefix.isEmpty())
        o.prefix = prefix;
    const QVariant discovery = store.objectForKey(oq::settings::MqttDiscovery);
    o.discovery = !discovery.isValid() || discovery.toBool();
    o.station = {m_serial, m_firmware};
    o.displayUnit = store.stringForKey(oq::settings::displayUnit);
    if (why = oq::mqtt::optionsProblem(o); !why.isEmpty())
        return setStatus(why);
    std::unique_ptr<oq::mqtt::Backlog> backlog = std::move(kept);
    if (!backlog && oq::history::recordingEnabled())
        backlog = std::make_unique<oq::mqtt::HistoryBacklog>(m_history->path(), m_serial);
    setStatus(oq::mqtt::Status{}.text(o.broker));
    QPointer<MqttRecorder> self(this);
    // A status still on its way from the publisher before this one is not shown.
    const quint64 generation = ++m_generation;
    m_publisher = std::make_unique<oq::mqtt::Publisher>(o, std::move(backlog), [self, generation, broker = o.broker](const oq::mqtt::Status& s) {
        const QString text = s.text(broker);
        QMetaObject::invokeMethod(self.data(), [self, generation, text] {
            if (self && self->m_generation == generation)
                self->setStatus(text);
        }, Qt::QueuedConnection);
    });
}

void MqttRecorder::readingTaken(const oq::history::Reading& reading, const QString& firmware)
{
    if (reading.serial != m_serial || firmware != m_firmware || m_serial.isNull()) {
        m_serial = reading.serial.isNull() ? QStringLiteral("") : reading.serial;
        m_firmware = firmware;
        restart();
    }
    if (m_publisher)
        m_publisher->publish(reading);
}

void MqttRecorder::setStatus(const QString& status)
{
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged(status);
}
