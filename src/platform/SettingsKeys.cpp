#include "SettingsKeys.h"

#include "ArchivedColor.h"
#include "SettingsStore.h"

#include <atomic>

namespace oq::settings {

namespace {
std::atomic<bool (*)()> g_darkDesktop{nullptr};

bool darkDesktop()
{
    const auto probe = g_darkDesktop.load();
    return probe && probe();
}
} // namespace

void setDarkDesktopProbe(bool (*probe)()) { g_darkDesktop.store(probe); }

QStringList colorKeys()
{
    return {NormalFontColor, NormalBackgroundColor, NormalBarColor, WarningFontColor, WarningBackgroundColor,
        WarningBarColor, DangerFontColor, DangerBackgroundColor, DangerBarColor};
}

QVariantMap defaults()
{
    const QString green = ArchivedColor::rgba(0.156862745, 0.666666667, 0.156862745, 1.0).archive();
    // The normal text shows on the window's own background: on a dark desktop that green is too dim
    // to read (under 4.5:1), so the default there is a lighter one. A colour the user chose stays.
    const QString normalText =
        darkDesktop() ? ArchivedColor::rgba(0.352941176, 0.823529412, 0.352941176, 1.0).archive() : green;
    const QString amber = ArchivedColor::rgba(0.933333333, 0.737254902, 0.031372549, 1.0).archive();
    const QString red = ArchivedColor::rgba(0.862745098, 0.0, 0.082352941, 1.0).archive();
    const QString white = ArchivedColor::grey(1.0, 1.0).archive();
    const QString window = ArchivedColor::windowBackground().archive();
    return {
        {OnlineMode, 1},
        {WarningRateValue, 2.2},
        {DangerRateValue, 11.8},
        {WarningDoseValue, 10.0},
        {DangerDoseValue, 20.0},
        {NormalFontColor, normalText},
        {NormalBackgroundColor, window},
        {NormalBarColor, green},
        {WarningFontColor, amber},
        {WarningBackgroundColor, window},
        {WarningBarColor, amber},
        {DangerFontColor, white},
        {DangerBackgroundColor, red},
        {DangerBarColor, red},
    };
}

QVariantMap alertDefaults()
{
    return {
        {NotifyLevelChanges, true},
        {AlarmSound, false},
        {KeepRunningWhenClosed, false},
    };
}

bool alertOption(const QString& key)
{
    const QVariant stored = SettingsStore::shared().objectForKey(key);
    return stored.isValid() ? stored.toBool() : alertDefaults().value(key).toBool();
}

} // namespace oq::settings
