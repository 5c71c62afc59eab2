#include "web/Snapshot.h"

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/StoredSettings.h"

namespace oq::web {

void applyStoredSettings(Snapshot& snapshot)
{
    snapshot.displayUnit = SettingsStore::shared().stringForKey(settings::displayUnit) == QLatin1String("rem") ? QStringLiteral("rem")
                                                                                                              : QStringLiteral("Sv");
    snapshot.warningRate = storedThreshold(settings::WarningRateValue);
    snapshot.dangerRate = storedThreshold(settings::DangerRateValue);
    snapshot.warningDose = storedThreshold(settings::WarningDoseValue);
    snapshot.dangerDose = storedThreshold(settings::DangerDoseValue);
}

} // namespace oq::web
