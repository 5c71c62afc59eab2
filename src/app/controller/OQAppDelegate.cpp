#include "OQAppDelegate.h"

#include "device/OQUSBDevice.h"
#include "device/ft/FtBackend.h"
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

OQAppDelegate::OQAppDelegate(QObject* parent)
    : QObject(parent)
{
    SettingsStore::shared().registerDefaults(settings::defaults());
    SettingsStore::shared().registerDefaults(settings::alertDefaults());
    bindSettings();

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
        emit onlineModeChanged();
    } else if (key == settings::displayUnit) {
        m_preferredDisplayUnit = store.stringForKey(settings::displayUnit);
        emit preferredDisplayUnitChanged();
    }
}

void OQAppDelegate::setDeviceFactory(DeviceFactory factory)
{
    m_deviceFactory = [factory = std::move(factory)](std::optional<uint32_t>) {
        return factory ? factory() : nullptr;
    };
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
        addCounter({0, 0, device});
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
        setDevice(m_deviceFactory ? m_deviceFactory(std::nullopt) : nullptr);
        return;
    }
    // Bound to its own bridge: unbound, it would take the first one and close the others' handles.
    const std::optional<uint32_t> location = reported->locationID ? std::optional<uint32_t>(reported->locationID) : std::nullopt;
    auto device = m_deviceFactory ? m_deviceFactory(location) : nullptr;
    if (!device)
        return;
    dropCounter(reported->entryID); // an arrival without its removal: the old device is stale
    addCounter({reported->entryID, reported->locationID, device});
    followChoice();
}

void OQAppDelegate::monitorRemovedDevice(USBMonitor* monitor)
{
    LGLogInfo("USB Device Removed");
    const USBDeviceInternal* reported = monitor ? monitor->reportedDevice() : nullptr;
    if (!reported) {
        if (m_device && m_device->usbConnected()) {
            const auto it = std::find_if(m_counters.begin(), m_counters.end(), [this](const Counter& c) { return c.device == m_device; });
            if (it == m_counters.end() || !dropCounter(it->entryID))
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

void OQAppDelegate::addCounter(Counter counter)
{
    auto* d = counter.device.get();
    auto& connections = m_counterConnections[d];
    connections << connect(d, &OQDevice::onlineValueChanged, this, [this, d] { emit counterOnlineValueChanged(d); });
    // Its serial is known once its information is read: it may be the chosen one.
    connections << connect(d, &OQDevice::infoChanged, this, [this, d] {
        const auto info = d->info();
        if (info && info->serialNumber().isEmpty())
            LGLogWarn("A counter without a serial number: told apart by its port %@", portOf(d));
        else if (info)
            LGLogInfo("Counter %@ at bus location %08x", info->serialNumber(), unsigned(counterLocation(d)));
        followChoice();
        emit countersChanged();
    });
    m_counters.push_back(std::move(counter));
    emit countersChanged();
}

bool OQAppDelegate::dropCounter(uint64_t entryID, bool unshow)
{
    const auto it = std::find_if(m_counters.begin(), m_counters.end(), [entryID](const Counter& c) { return c.entryID == entryID; });
    if (it == m_counters.end())
        return false;
    const std::shared_ptr<OQDevice> device = it->device;
    for (const auto& c : m_counterConnections[device.get()])
        disconnect(c);
    m_counterConnections.erase(device.get());
    m_counters.erase(it);
    if (unshow && device == m_device)
        showDevice(nullptr);
    emit countersChanged();
    return true;
}

void OQAppDelegate::followChoice()
{
    const QString chosen = SettingsStore::shared().stringForKey(settings::ShownCounter);
    for (const Counter& c : m_counters) {
        if (!chosen.isEmpty() && counterKey(c.device.get()) == chosen) {
            if (c.device != m_device)
                showDevice(c.device);
            return;
        }
    }
    if (!m_device && !m_counters.empty())
        showDevice(m_counters.front().device);
}

void OQAppDelegate::chooseDevice(const std::shared_ptr<OQDevice>& device)
{
    if (!hasDevice(device))
        return;
    const QString key = counterKey(device.get());
    if (!key.isEmpty())
        SettingsStore::shared().setString(settings::ShownCounter, key);
    if (device != m_device)
        showDevice(device);
}

std::vector<std::shared_ptr<OQDevice>> OQAppDelegate::devices() const
{
    std::vector<std::shared_ptr<OQDevice>> all;
    for (const Counter& c : m_counters)
        all.push_back(c.device);
    return all;
}

bool OQAppDelegate::hasDevice(const std::shared_ptr<OQDevice>& device) const
{
    return device && std::any_of(m_counters.begin(), m_counters.end(), [&](const Counter& c) { return c.device == device; });
}

std::shared_ptr<OQDevice> OQAppDelegate::deviceFor(const OQDevice* device) const
{
    for (const Counter& c : m_counters) {
        if (c.device.get() == device)
            return c.device;
    }
    return nullptr;
}

uint32_t OQAppDelegate::counterLocation(const OQDevice* device) const
{
    for (const Counter& c : m_counters) {
        if (c.device.get() == device)
            return c.locationID;
    }
    return 0;
}

QString OQAppDelegate::portOf(const OQDevice* device) const
{
    if (const uint32_t location = counterLocation(device))
        return oq::ft::portName(location);
    return m_launchOptions.portPath;
}

QString OQAppDelegate::counterKey(const OQDevice* device) const
{
    const auto info = device ? device->info() : nullptr;
    if (!info)
        return {};
    if (!info->serialNumber().isEmpty())
        return info->serialNumber();
    return QStringLiteral("port:") + portOf(device);
}

QString OQAppDelegate::counterName(const OQDevice* device) const
{
    const auto info = device ? device->info() : nullptr;
    if (!info)
        return oq::localized(QStringLiteral("ui.counter.unknown"));
    if (!info->serialNumber().isEmpty())
        return info->serialNumber();
    return oq::localized(QStringLiteral("ui.counter.no_serial")).arg(portOf(device));
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
    const auto transformer = displayValueTransformer(device);
    if (!transformer)
        return {};
    return transformer->transformedValue(device ? device->onlineValue() : std::nullopt);
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
