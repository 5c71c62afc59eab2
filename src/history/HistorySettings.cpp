#include "history/HistorySettings.h"

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

namespace oq::history {

bool recordingEnabled()
{
    const QVariant stored = SettingsStore::shared().objectForKey(settings::RecordHistory);
    return !stored.isValid() || stored.toBool();
}

int retentionDays()
{
    const auto days = SettingsStore::shared().numberForKey(settings::HistoryRetentionDays);
    return days && *days >= 1 && *days <= 100000 ? int(*days) : 90;
}

} // namespace oq::history
