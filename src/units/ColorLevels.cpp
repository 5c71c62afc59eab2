// The level side of ColorManager: no window system, so command-line programs can judge readings.
#include "ColorManager.h"

#include "platform/SettingsKeys.h"
#include "units/StoredSettings.h"

namespace {

using Level = ColorManager::Level;
using Kind = ColorManager::ColorKind;

Level levelFor(double value, float warning, float danger)
{
    const float v = float(value);
    if (v >= danger)
        return Level::Danger;
    if (v >= warning)
        return Level::Warning;
    return Level::Normal;
}

QString colorKey(Level level, Kind kind)
{
    namespace s = oq::settings;
    static const QString keys[3][3] = {
        {s::NormalFontColor, s::NormalBackgroundColor, s::NormalBarColor},
        {s::WarningFontColor, s::WarningBackgroundColor, s::WarningBarColor},
        {s::DangerFontColor, s::DangerBackgroundColor, s::DangerBarColor},
    };
    return keys[int(level)][int(kind)];
}

} // namespace

Level ColorManager::levelForValue(double value, long long mode)
{
    const auto threshold = [](const QString& key) { return float(oq::storedThreshold(key)); };
    if (mode == 1)
        return levelFor(value, threshold(oq::settings::WarningRateValue), threshold(oq::settings::DangerRateValue));
    return levelFor(value, threshold(oq::settings::WarningDoseValue) * 1000.0f, threshold(oq::settings::DangerDoseValue) * 1000.0f);
}

oq::ArchivedColor ColorManager::archivedColor(Level level, ColorKind kind)
{
    return oq::storedColor(colorKey(level, kind));
}
