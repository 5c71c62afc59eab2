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
    // Text and bars show on the window's own background, so their defaults are chosen for the
    // desktop's palette to stand out from it at least 3:1 (the normal text 4.5:1). A colour the user
    // chose stays.
    const bool dark = darkDesktop();
    const QString green = dark ? ArchivedColor::rgba(0.352941176, 0.823529412, 0.352941176, 1.0).archive()
                               : ArchivedColor::rgba(0.117647059, 0.509803922, 0.117647059, 1.0).archive();
    const QString amber = dark ? ArchivedColor::rgba(0.933333333, 0.737254902, 0.031372549, 1.0).archive()
                               : ArchivedColor::rgba(0.666666667, 0.431372549, 0.0, 1.0).archive();
    const QString red = ArchivedColor::rgba(0.862745098, 0.0, 0.082352941, 1.0).archive();
    const QString redBar = dark ? ArchivedColor::rgba(1.0, 0.352941176, 0.352941176, 1.0).archive() : red;
    const QString white = ArchivedColor::grey(1.0, 1.0).archive();
    const QString window = ArchivedColor::windowBackground().archive();
    return {
        {OnlineMode, 1},
        {WarningRateValue, 2.2},
        {DangerRateValue, 11.8},
        {WarningDoseValue, 10.0},
        {DangerDoseValue, 20.0},
        {NormalFontColor, green},
        {NormalBackgroundColor, window},
        {NormalBarColor, green},
        {WarningFontColor, amber},
        {WarningBackgroundColor, window},
        {WarningBarColor, amber},
        {DangerFontColor, white},
        {DangerBackgroundColor, red},
        {DangerBarColor, redBar},
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
