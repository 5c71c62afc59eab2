#include "app/controller/WindowRecording.h"

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
#include "counters/CounterSet.h"
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
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, &WindowRecording::settingChanged);
    QString why;
    QPointer<WindowRecording> self(this);
    m_historyTrouble = [self, path = m_path](const oq::history::Writer::Trouble& t) {
        QMetaObject::invokeMethod(self.data(), [self, text = t.ongoing ? oq::recording::troubleText(t, path) : QString()] {
            if (self)
                emit self->historyTroubleChanged(text);
        }, Qt::QueuedConnection);
    };
    m_recording = std::make_unique<oq::recording::Recording>(options(why));
    if (controller) {
        auto& counters = controller->counterSet();
        counters.setRecording(m_recording.get());
        connect(&counters, &oq::counters::CounterSet::counterAdded, this, [this](oq::counters::Counter* c) {
            connect(c, &oq::counters::Counter::mqttStatusChanged, this, &WindowRecording::updateStatus);
        });
        for (const auto& c : counters.counters())
            connect(c.get(), &oq::counters::Counter::mqttStatusChanged, this, &WindowRecording::updateStatus);
        connect(&counters, &oq::counters::CounterSet::countersChanged, this, &WindowRecording::updateStatus);
        connect(controller, &OQAppDelegate::deviceChanged, this, &WindowRecording::updateStatus);
    }
    restart();
}

WindowRecording::~WindowRecording()
{
    if (m_controller)
        m_controller->counterSet().setRecording(nullptr);
}

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
    QString why;
    oq::recording::Options o = options(why);
    const QString url = o.mqtt.url;
    m_recording->setOptions(std::move(o));
    if (m_controller)
        m_controller->counterSet().recordingChanged();
    m_optionsStatus = !why.isEmpty() ? why : url.isEmpty() ? localized(QStringLiteral("preferences.mqtt.off")) : QString();
    updateStatus();
}

void WindowRecording::updateStatus()
{
    QString status = m_optionsStatus;
    if (status.isEmpty() && m_controller) {
        // Each counter's own publisher: the shown counter first, the others after it by name.
        const auto* shown = m_controller->shownCounter();
        QStringList lines;
        const auto& counters = m_controller->counterSet().counters();
        for (const auto& c : counters) {
            if (c->mqttStatus().isEmpty())
                continue;
            const QString line = counters.size() > 1 ? localized(QStringLiteral("preferences.mqtt.counter_status"))
                                                              .arg(m_controller->counterName(c->device().get()), c->mqttStatus())
                                                     : c->mqttStatus();
            if (c.get() == shown)
                lines.prepend(line);
            else
                lines.append(line);
        }
        status = lines.isEmpty() ? localized(QStringLiteral("preferences.mqtt.waiting")) : lines.join(QLatin1Char('\n'));
    }
    setStatus(status);
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
