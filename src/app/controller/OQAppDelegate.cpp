#include "OQAppDelegate.h"

#include "logging/LGFileLogger.h"
#include "logging/LGLog.h"
#include "logging/Log.h"
#include "app/preferences/LivoraPreferencesWindow.h"
#include "readings/ValueTransformers.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

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
    LGLog::removeLogger(m_fileLogger);
    LGLog::removeLogger(m_deviceFileLogger);
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

void OQAppDelegate::setDevice(std::shared_ptr<OQDevice> device)
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
    QString unit = m_preferredDisplayUnit;
    if (unit.isNull() && m_device)
        unit = m_device->onlineUnit();
    if (unit == QLatin1String("Sv") || unit == QLatin1String("rem"))
        return unit;
    return {};
}

QVariant OQAppDelegate::onlineValueStringVariant() const
{
    const QString s = onlineValueString();
    return s.isNull() ? QVariant() : QVariant(s);
}

void OQAppDelegate::monitorFoundNewDevice(USBMonitor*)
{
    LGLogInfo("USB Device Found");
    setDevice(m_deviceFactory ? m_deviceFactory() : nullptr);
}

void OQAppDelegate::monitorRemovedDevice(USBMonitor*)
{
    LGLogInfo("USB Device Removed");
    if (m_device && m_device->usbConnected()) {
        setDevice(nullptr);
        rollDeviceLog();
    }
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
    const QString unit = displayUnit();
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
    const auto transformer = displayValueTransformer();
    if (!transformer)
        return {};
    return transformer->transformedValue(m_device ? m_device->onlineValue() : std::nullopt);
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
