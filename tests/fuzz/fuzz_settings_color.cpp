// libFuzzer target: stored colour texts and threshold values as the colour manager reads them.
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/ArchivedColor.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "app/windows/ColorManager.h"
#include "readings/Level.h"

namespace {

void setUpStore()
{
    static QTemporaryDir dir;
    oq::SettingsStore::useFile(dir.path() + QStringLiteral("/fuzz.conf"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = (setUpStore(), true);
    (void)ready;

    // A decodable colour archives back to the same text form and the same colour.
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto color = oq::ArchivedColor::unarchive(text)) {
        const auto again = oq::ArchivedColor::unarchive(color->archive());
        if (!again || !(*again == *color))
            std::abort();
        (void)color->toQColor();
    }

    // Thresholds and a value from the bytes (registered defaults only: no disk writes per run).
    if (size < 3 * sizeof(double) + 1)
        return 0;
    double warning, danger, value;
    std::memcpy(&warning, data, sizeof warning);
    std::memcpy(&danger, data + 8, sizeof danger);
    std::memcpy(&value, data + 16, sizeof value);
    const int mode = data[24] % 3;
    QVariantMap defaults = oq::settings::defaults();
    defaults.insert(mode == 1 ? oq::settings::WarningRateValue : oq::settings::WarningDoseValue, warning);
    defaults.insert(mode == 1 ? oq::settings::DangerRateValue : oq::settings::DangerDoseValue, danger);
    if (oq::ArchivedColor::unarchive(text))
        defaults.insert(oq::settings::DangerFontColor, text);
    oq::SettingsStore::shared().registerDefaults(defaults);

    const auto level = oq::levelForValue(value, mode);
    // With ordered thresholds, a larger value never has a lower level.
    if (!std::isnan(value) && warning <= danger && !std::isnan(warning)) {
        const auto higher = oq::levelForValue(value * 2 + 1, mode);
        if (value >= 0 && int(higher) < int(level))
            std::abort();
    }
    if (!ColorManager::fontColorForValue(value, mode).isValid() || !ColorManager::barColorForValue(value).isValid())
        std::abort();
    return 0;
}
