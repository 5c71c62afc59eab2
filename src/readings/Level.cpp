#include "readings/Level.h"

#include "platform/SettingsKeys.h"
#include "readings/StoredSettings.h"

namespace oq {
Level levelFor(double value, float warning, float danger)
{
    const float v = float(value);
    if (v >= danger)
        return Level::Danger;
    if (v >= warning)
        return Level::Warning;
    return Level::Normal;
}

namespace {

using Kind = LevelColor;

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

Level levelForValue(double value, long long mode)
{
    const auto threshold = [](const QString& key) { return float(oq::storedThreshold(key)); };
    if (mode == 1)
        return levelFor(value, threshold(oq::settings::WarningRateValue), threshold(oq::settings::DangerRateValue));
    return levelFor(value, threshold(oq::settings::WarningDoseValue) * 1000.0f, threshold(oq::settings::DangerDoseValue) * 1000.0f);
}

ArchivedColor levelColor(Level level, LevelColor kind)
{
    return oq::storedColor(colorKey(level, kind));
}

const char* levelName(Level level)
{
    switch (level) {
    case Level::Warning:
        return "warning";
    case Level::Danger:
        return "danger";
    case Level::Normal:
        break;
    }
    return "normal";
}

} // namespace oq

#include "moc_Level.cpp"
