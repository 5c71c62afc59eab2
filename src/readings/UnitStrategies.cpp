#include "UnitStrategies.h"

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/StoredSettings.h"

namespace oq {

QString thresholdKey(Threshold threshold)
{
    switch (threshold) {
    case Threshold::WarningRate:
        return settings::WarningRateValue;
    case Threshold::DangerRate:
        return settings::DangerRateValue;
    case Threshold::WarningDose:
        return settings::WarningDoseValue;
    case Threshold::DangerDose:
        break;
    }
    return settings::DangerDoseValue;
}

bool isRateThreshold(Threshold threshold)
{
    return threshold == Threshold::WarningRate || threshold == Threshold::DangerRate;
}

namespace {
std::optional<double> storedValue(Threshold threshold) { return storedThreshold(thresholdKey(threshold)); }

const QString micro(QChar(0x03BC));
} // namespace

} // namespace oq

using oq::Threshold;

std::optional<double> PreferenceUnitStrategy::value(Threshold threshold) const { return m_values[size_t(threshold)]; }

void PreferenceUnitStrategy::setValue(Threshold threshold, double shown) { m_values[size_t(threshold)] = shown; }

QString SvUnitStrategy::doseUnit() const { return QStringLiteral("mSv"); }
QString SvUnitStrategy::rateUnit() const { return oq::micro + QStringLiteral("Sv/h"); }

std::optional<double> SvUnitStrategy::value(Threshold threshold) const { return oq::storedValue(threshold); }

void SvUnitStrategy::setValue(Threshold threshold, double shown)
{
    oq::SettingsStore::shared().setDouble(oq::thresholdKey(threshold), shown);
}

QString RemUnitStrategy::doseUnit() const { return QStringLiteral("mrem"); }
QString RemUnitStrategy::rateUnit() const { return oq::micro + QStringLiteral("rem/h"); }

float RemUnitStrategy::outValue(double stored) { return float(stored) * 100.0f; }

double RemUnitStrategy::inValue(double shown) { return double(float(shown)) * 0.01; }

std::optional<double> RemUnitStrategy::value(Threshold threshold) const
{
    const auto stored = oq::storedValue(threshold);
    return stored ? std::optional<double>(outValue(*stored)) : std::nullopt;
}

void RemUnitStrategy::setValue(Threshold threshold, double shown)
{
    oq::SettingsStore::shared().setDouble(oq::thresholdKey(threshold), inValue(shown));
}
