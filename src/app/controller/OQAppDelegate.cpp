#include "OQAppDelegate.h"

#include "device/OQUSBDevice.h"
#include "device/ft/FtBackend.h"
#include "counters/Counter.h"
#include "logging/LGFileLogger.h"
#include "logging/LGLog.h"
#include "logging/LogSetup.h"
#include "logging/Log.h"
#include "app/preferences/LivoraPreferencesWindow.h"
#include "readings/ValueTransformers.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "parser/OQDeviceInfo.h"

#include <algorithm>

using oq::SettingsStore;
namespace settings = oq::settings;

namespace {
oq::counters::Options counterOptions()
{
    oq::counters::Options o;
    o.startDelay = 1.0;
    o.onFailure = oq::counters::OnFailure::StartAgain;
    o.keepDeparted = false;
    return o;
}

// The chosen counter as kept by earlier versions: "port:" before the port of one without a serial.
QString storedKey(QString key)
{
    if (key.startsWith(QLatin1String("port:")))
        key.remove(0, 5);
    return key;
}
} // namespace

OQAppDelegate::OQAppDelegate(QObject* parent)
    : QObject(parent)
    , m_counters(counterOptions())
{
    SettingsStore::shared().registerDefaults(settings::defaults());
    SettingsStore::shared().registerDefaults(settings::alertDefaults());
    bindSettings();
    m_counters.setDeviceFactory([](const oq::counters::Place& place) {
        return usbDeviceFactory()(place.location);
    });
    connect(&m_counters, &oq::counters::CounterSet::valueChanged, this, [this](oq::counters::Counter* c) {
        emit counterOnlineValueChanged(c->device().get());
    });
    connect(&m_counters, &oq::counters::CounterSet::countersChanged, this, [this] {
        // Its serial is known once its information is read: it may be the chosen one.
        followChoice();
        emit countersChanged();
    });

    // Derived values follow their sources.
    connect(this, &OQAppDelegate::preferredDisplayUnitChanged, this, &OQAppDelegate::displayUnitChanged);
    connect(this, &OQAppDelegate::displayUnitChanged, this, &OQAppDelegate::displayValueTransformerChanged);
    connect(this, &OQAppDelegate::onlineModeChanged, this, &OQAppDelegate::displayValueTransformerChanged);
    connect(this, &OQAppDelegate::displayValueTransformerChanged, this, &OQAppDelegate::onlineValueStringChanged);
    connect(this, &OQAppDelegate::deviceOnlineValueChanged, this, &OQAppDelegate::onlineValueStringChanged);
}

OQAppDelegate::~OQAppDelegate()
{
    // The loggers write into this controller's log folder: left installed, a later message would
    // bring back a folder its owner has already removed.
    oq::endLogging({m_fileLogger, m_deviceFileLogger});
}

void OQAppDelegate::bindSettings()
{
    readBoundSettings(settings::OnlineMode);
    readBoundSettings(settings::displayUnit);
    connect(&SettingsStore::shared(), &SettingsStore::changed, this, &OQAppDelegate::readBoundSettings);
}

void OQAppDelegate::readBoundSettings(const QString& key)
{
    auto& store = SettingsStore::shared();
    if (key == settings::OnlineMode) {
        const QVariant raw = store.objectForKey(settings::OnlineMode);
        m_onlineMode = raw.isValid() ? QVariant(store.integerForKey(settings::OnlineMode)) : QVariant();
        // Every counter streams in the mode chosen; without a counter the next one does.
        if (m_counters.mode() != int(m_onlineMode.toLongLong()))
            m_counters.setMode(int(m_onlineMode.toLongLong()));
        emit onlineModeChanged();
    } else if (key == settings::displayUnit) {
        m_preferredDisplayUnit = store.stringForKey(settings::displayUnit);
        emit preferredDisplayUnitChanged();
    }
}

void OQAppDelegate::setDeviceFactory(DeviceFactory factory)
{
    m_counters.setDeviceFactory([factory = std::move(factory)](const oq::counters::Place&) {
        return factory ? factory() : nullptr;
    });
}

void OQAppDelegate::setDeviceFactory(LocatedDeviceFactory factory)
{
    m_counters.setDeviceFactory([factory = std::move(factory)](const oq::counters::Place& place) {
        return factory ? factory(place.location) : nullptr;
    });
}

OQAppDelegate::LocatedDeviceFactory OQAppDelegate::usbDeviceFactory()
{
    return [](std::optional<uint32_t> location) -> std::shared_ptr<OQDevice> {
        return makeDevice<OQUSBDevice>(location ? std::optional<DWORD>(*location) : std::nullopt);
    };
}

void OQAppDelegate::setDevice(std::shared_ptr<OQDevice> device)
{
    dropCounter(0, false);
    if (device)
        m_counters.add({0, std::nullopt, m_launchOptions.portPath}, device);
    showDevice(std::move(device));
}

void OQAppDelegate::showDevice(std::shared_ptr<OQDevice> device)
{
    for (const auto& c : m_deviceConnections)
        disconnect(c);
    m_deviceConnections.clear();
    m_device = std::move(device);
    connectDevicePaths();
    emit deviceChanged();
    // A replaced or dropped device changes every path through it.
    emit displayUnitChanged();
    emit deviceOnlineValueChanged();
}

void OQAppDelegate::connectDevicePaths()
{
    if (!m_device)
        return;
    auto* d = m_device.get();
    m_deviceConnections << connect(d, &OQDevice::onlineUnitChanged, this, [this] {
        if (m_preferredDisplayUnit.isNull())
            emit displayUnitChanged();
    });
    m_deviceConnections << connect(d, &OQDevice::onlineValueChanged, this, &OQAppDelegate::deviceOnlineValueChanged);
}

QString OQAppDelegate::displayUnit() const
{
    return displayUnit(m_device.get());
}

QString OQAppDelegate::displayUnit(const OQDevice* device) const
{
    QString unit = m_preferredDisplayUnit;
    if (unit.isNull() && device)
        unit = device->onlineUnit();
    if (unit == QLatin1String("Sv") || unit == QLatin1String("rem"))
        return unit;
    return {};
}

QVariant OQAppDelegate::onlineValueStringVariant() const
{
    const QString s = onlineValueString();
    return s.isNull() ? QVariant() : QVariant(s);
}

void OQAppDelegate::monitorFoundNewDevice(USBMonitor* monitor)
{
    LGLogInfo("USB Device Found");
    const USBDeviceInternal* reported = monitor ? monitor->reportedDevice() : nullptr;
    if (!reported) {
        dropCounter(0, false);
        auto device = m_counters.makeDevice({0, std::nullopt, m_launchOptions.portPath});
        if (device)
            m_counters.add({0, std::nullopt, m_launchOptions.portPath}, device);
        showDevice(std::move(device));
        return;
    }
    const oq::counters::Place place = oq::counters::placeOf(*reported);
    auto device = m_counters.makeDevice(place);
    if (!device)
        return;
    dropCounter(reported->entryID); // an arrival without its removal: the old device is stale
    m_counters.add(place, device);
    followChoice();
}

void OQAppDelegate::monitorRemovedDevice(USBMonitor* monitor)
{
    LGLogInfo("USB Device Removed");
    const USBDeviceInternal* reported = monitor ? monitor->reportedDevice() : nullptr;
    if (!reported) {
        if (m_device && m_device->usbConnected()) {
            const auto* shown = shownCounter();
            if (!shown || !dropCounter(shown->place().entryID))
                showDevice(nullptr);
            followChoice();
            rollDeviceLog();
        }
        return;
    }
    if (dropCounter(reported->entryID)) {
        followChoice();
        rollDeviceLog();
    }
}

bool OQAppDelegate::dropCounter(uint64_t entryID, bool unshow)
{
    auto* counter = m_counters.counterAt(entryID);
    if (!counter)
        return false;
    const bool shown = counter->device() == m_device;
    m_counters.remove(counter);
    if (unshow && shown)
        showDevice(nullptr);
    return true;
}

void OQAppDelegate::followChoice()
{
    const QString chosen = storedKey(SettingsStore::shared().stringForKey(settings::ShownCounter));
    for (const auto& c : m_counters.counters()) {
        if (!chosen.isEmpty() && c->key() == chosen) {
            if (c->device() != m_device)
                showDevice(c->device());
            return;
        }
    }
    if (!m_device && !m_counters.counters().empty())
        showDevice(m_counters.counters().front()->device());
}

void OQAppDelegate::chooseDevice(const std::shared_ptr<OQDevice>& device)
{
    const auto* counter = counterOf(device.get());
    if (!counter)
        return;
    if (!counter->key().isEmpty())
        SettingsStore::shared().setString(settings::ShownCounter, counter->key());
    if (device != m_device)
        showDevice(device);
}

std::vector<std::shared_ptr<OQDevice>> OQAppDelegate::devices() const
{
    std::vector<std::shared_ptr<OQDevice>> all;
    for (const auto& c : m_counters.counters()) {
        if (c->device())
            all.push_back(c->device());
    }
    return all;
}

bool OQAppDelegate::hasDevice(const std::shared_ptr<OQDevice>& device) const
{
    return device && counterOf(device.get());
}

QString OQAppDelegate::counterKey(const OQDevice* device) const
{
    const auto* counter = counterOf(device);
    return counter ? counter->key() : QString();
}

QString OQAppDelegate::counterName(const OQDevice* device) const
{
    const auto* counter = counterOf(device);
    if (!counter || !counter->identified()) {
        // One on its way out is still named as it was.
        const auto info = device ? device->info() : nullptr;
        return info && !info->serialNumber().isEmpty() ? info->serialNumber() : oq::localized(QStringLiteral("ui.counter.unknown"));
    }
    if (counter->sharesSerial())
        return oq::localized(QStringLiteral("ui.counter.shared_serial")).arg(counter->serial(), counter->place().port);
    if (!counter->serial().isEmpty())
        return counter->serial();
    return oq::localized(QStringLiteral("ui.counter.no_serial")).arg(counter->place().port);
}

void OQAppDelegate::cancelTransfer()
{
    if (!m_device)
        return;
    if (auto progress = m_device->progress())
        progress->cancel();
}

std::shared_ptr<DisplayValueTransformer> OQAppDelegate::displayValueTransformer() const
{
    return displayValueTransformer(m_device.get());
}

std::shared_ptr<DisplayValueTransformer> OQAppDelegate::displayValueTransformer(const OQDevice* device) const
{
    const QString unit = displayUnit(device);
    if (unit.isNull())
        return nullptr;
    switch (m_onlineMode.isValid() ? m_onlineMode.toLongLong() : 0) {
    case 1:
        return DoseRateValueTransformer::initWithUnit(unit);
    case 2:
        return DoseValueTransformer::initWithUnit(unit);
    default:
        return nullptr;
    }
}

QString OQAppDelegate::onlineValueString() const
{
    return onlineValueString(m_device.get());
}

QString OQAppDelegate::onlineValueString(const OQDevice* device) const
{
    // A reading is shown in the mode of the stream that read it, whatever was chosen since.
    if (const auto reading = device ? device->reading() : std::nullopt)
        return onlineValueString(*reading);
    const auto transformer = displayValueTransformer(device);
    if (!transformer)
        return {};
    return transformer->transformedValue(device ? device->onlineValue() : std::nullopt);
}

QString OQAppDelegate::onlineValueString(const oq::Reading& reading) const
{
    const QString unit = m_preferredDisplayUnit.isNull() ? reading.counterUnit : m_preferredDisplayUnit;
    if (unit != QLatin1String("Sv") && unit != QLatin1String("rem"))
        return {};
    if (reading.rate())
        return DoseRateValueTransformer::initWithUnit(unit)->transformedValue(reading.value);
    return DoseValueTransformer::initWithUnit(unit)->transformedValue(reading.value);
}

void OQAppDelegate::showPreferences()
{
    if (!m_prefWindowController) {
        m_prefWindowController = std::make_unique<LivoraPreferencesWindow>([this] {
            return m_device ? m_device->onlineUnit() : QString();
        });
        auto* prefs = m_prefWindowController.get();
        connect(this, &OQAppDelegate::displayUnitChanged, prefs, [this, prefs] { prefs->setDisplayUnit(displayUnit()); });
        prefs->setDisplayUnit(displayUnit());
        emit preferencesWindowCreated(prefs);
    }
    m_prefWindowController->showWindow();
}
