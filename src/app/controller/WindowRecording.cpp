#include "app/controller/WindowRecording.h"

#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>

#include "app/controller/DeviceExchanges.h"
#include "app/controller/OQAppDelegate.h"
#include "app/menus/DeviceMenu.h"
#include "app/windows/ProtocolWindow.h"
#include "history/HistoryDatabase.h"
#include "history/HistoryReader.h"
#include "history/HistorySettings.h"
#include "history/ProtocolIntervals.h"
#include "mqtt/Credentials.h"
#include "parser/OQDeviceInfo.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"

using oq::localized;

WindowRecording::WindowRecording(OQAppDelegate* controller, const QString& path, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_path(path.isEmpty() ? oq::history::defaultPath() : path)
{
    if (controller) {
        connect(controller, &OQAppDelegate::counterOnlineValueChanged, this, &WindowRecording::valueChanged);
        connect(controller, &OQAppDelegate::countersChanged, this, &WindowRecording::countersChanged);
    }
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, &WindowRecording::settingChanged);
    QString why;
    QPointer<WindowRecording> self(this);
    m_historyTrouble = [self, path = m_path](const oq::history::Writer::Trouble& t) {
        QMetaObject::invokeMethod(self.data(), [self, text = t.ongoing ? oq::recording::troubleText(t, path) : QString()] {
            if (self)
                emit self->historyTroubleChanged(text);
        }, Qt::QueuedConnection);
    };
    m_recording = std::make_unique<oq::recording::Recording>(options(why), [self](const oq::mqtt::Station&) {
        const quint64 generation = self->m_generation;
        return [self, generation](const oq::mqtt::Status& s, const oq::mqtt::Broker& broker) {
            QMetaObject::invokeMethod(self.data(), [self, generation, text = s.text(broker)] {
                if (self && self->m_generation == generation)
                    self->setStatus(text);
            }, Qt::QueuedConnection);
        };
    });
    restart();
}

WindowRecording::~WindowRecording() = default;

oq::recording::Options WindowRecording::options(QString& why) const
{
    auto& store = oq::SettingsStore::shared();
    namespace keys = oq::settings;
    oq::recording::Options o;
    o.historyPath = m_path;
    o.historyReadings = oq::history::recordingEnabled();
    o.retentionDays = oq::history::retentionDays();
    o.historyTrouble = m_historyTrouble;
    o.displayUnit = store.stringForKey(keys::displayUnit);
    oq::recording::MqttOptions mqtt;
    mqtt.url = store.stringForKey(keys::MqttBroker).trimmed();
    mqtt.prefix = store.stringForKey(keys::MqttTopicPrefix).trimmed();
    mqtt.caFile = store.stringForKey(keys::MqttCaFile).trimmed();
    const QVariant discovery = store.objectForKey(keys::MqttDiscovery);
    mqtt.discovery = !discovery.isValid() || discovery.toBool();
    if (mqtt.url.isEmpty())
        return o;
    if (why = oq::recording::problemOf(mqtt); !why.isEmpty())
        return o;
    const auto credentials = oq::mqtt::findCredentials(oq::mqtt::defaultCredentialsPath(), &why);
    if (!credentials)
        return o;
    mqtt.credentials = *credentials;
    o.mqtt = mqtt;
    return o;
}

void WindowRecording::settingChanged(const QString& key)
{
    namespace keys = oq::settings;
    if (key == keys::MqttBroker || key == keys::MqttTopicPrefix || key == keys::MqttDiscovery || key == keys::MqttCaFile
        || key == keys::displayUnit || key == keys::RecordHistory)
        restart();
}

void WindowRecording::restart()
{
    ++m_generation;
    QString why;
    oq::recording::Options o = options(why);
    const QString url = o.mqtt.url;
    m_recording->setOptions(std::move(o));
    if (!why.isEmpty())
        return setStatus(why);
    if (url.isEmpty())
        return setStatus(localized(QStringLiteral("preferences.mqtt.off")));
    if (m_serial.isNull())
        return setStatus(localized(QStringLiteral("preferences.mqtt.waiting")));
    setStatus(oq::mqtt::Status{}.text(*oq::mqtt::parseBroker(url)));
}

void WindowRecording::countersChanged()
{
    // A counter pulled out says `offline`; the others record on.
    QStringList plugged;
    for (const auto& d : m_controller->devices())
        plugged << (d->info() ? d->info()->serialNumber() : QString());
    QMetaObject::invokeMethod(this, [this, plugged] { m_recording->keepOnly(plugged); }, Qt::QueuedConnection);
}

void WindowRecording::valueChanged(OQDevice* counter)
{
    const auto device = m_controller ? m_controller->deviceFor(counter) : nullptr;
    if (!device || !device->onlineValue())
        return;
    const double value = device->onlineValue().value_or(0.0);
    const QVariant mode = m_controller->onlineMode();
    if (!mode.isValid())
        return;
    oq::history::Reading reading;
    // The time its line was read: readings of one poll keep their own times.
    reading.timeMs = device->onlineValueTime().value_or(QDateTime::currentMSecsSinceEpoch());
    reading.mode = int(mode.toLongLong());
    if (reading.mode != oq::history::Rate && reading.mode != oq::history::Dose)
        return;
    reading.value = value;
    // The device publishes a value and then its unit, in one go on this thread.
    QMetaObject::invokeMethod(this, [this, reading, weak = std::weak_ptr<OQDevice>(device)]() mutable {
        const auto d = weak.lock();
        if (!d)
            return;
        reading.counterUnit = d->onlineUnit();
        reading.serial = d->info() ? d->info()->serialNumber() : QString();
        if (reading.serial.isNull())
            reading.serial = QStringLiteral("");
        const QString firmware = d->info() ? d->info()->firmwareVersion() : QString();
        const auto* recorder = m_recording->recorder(reading.serial);
        // A new counter, or another firmware, starts a new publisher: its status is the one shown.
        const bool fresh = !recorder || recorder->station().firmware != firmware;
        if (fresh)
            ++m_generation;
        m_serial = reading.serial;
        m_recording->record(std::move(reading), firmware);
        if (fresh && !m_recording->options().mqtt.url.isEmpty())
            setStatus(oq::mqtt::Status{}.text(*oq::mqtt::parseBroker(m_recording->options().mqtt.url)));
    }, Qt::QueuedConnection);
}

void WindowRecording::watch(DeviceMenu* menu)
{
    connect(menu, &DeviceMenu::protocolDownloaded, this, &WindowRecording::storeProtocol);
    connect(menu, &DeviceMenu::protocolFileOpened, this, &WindowRecording::offerImport);
}

void WindowRecording::storeProtocol(ProtocolWindow* window)
{
    if (!window)
        return;
    QPointer<WindowRecording> self(this);
    m_recording->storeProtocol(*window->protocol(), window->events(), [self](int stored, int total) {
        QMetaObject::invokeMethod(self.data(), [self, stored, total] {
            if (self)
                emit self->protocolStored(stored, total);
        }, Qt::QueuedConnection);
    });
}

void WindowRecording::offerImport(ProtocolWindow* window)
{
    if (!window)
        return;
    const auto intervals = oq::history::intervalsOf(window->events());
    if (intervals.empty())
        return;
    const QString serial = oq::history::serialOf(*window->protocol());
    QString problem;
    const auto reader = oq::history::Reader::open(m_path, &problem);
    const qint64 missing = reader ? reader->missingIntervals(serial, intervals) : qint64(intervals.size());
    if (missing == 0)
        return;
    bool add = false;
    if (m_importAnswer) {
        add = *m_importAnswer;
    } else {
        QMessageBox box(QMessageBox::Question, localized(QStringLiteral("history.import.title")),
            localized(QStringLiteral("history.import.question"))
                .arg(serial.isEmpty() ? localized(QStringLiteral("history.unknown_counter")) : serial)
                .arg(missing)
                .arg(intervals.size()),
            QMessageBox::NoButton, window);
        auto* yes = box.addButton(localized(QStringLiteral("history.import.add")), QMessageBox::AcceptRole);
        box.addButton(localized(QStringLiteral("history.import.skip")), QMessageBox::RejectRole);
        box.setDefaultButton(yes);
        box.exec();
        add = box.clickedButton() == yes;
    }
    if (add)
        storeProtocol(window);
}

void WindowRecording::setStatus(const QString& status)
{
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged(status);
}
