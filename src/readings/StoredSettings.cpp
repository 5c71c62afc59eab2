#include "StoredSettings.h"

#include <QMutex>
#include <QSet>

#include "logging/Log.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

namespace oq {
namespace {

QString storedText(const QString& key) { return SettingsStore::text(SettingsStore::shared().objectForKey(key)); }

// True the first time this key holds this unreadable text.
bool firstReport(const QString& key, const QString& text)
{
    static QMutex mutex;
    static QSet<QString> reported;
    QMutexLocker lock(&mutex);
    const QString entry = key + QLatin1Char('\n') + text;
    if (reported.contains(entry))
        return false;
    reported.insert(entry);
    return true;
}

} // namespace

double storedThreshold(const QString& key)
{
    const SettingsStore& store = SettingsStore::shared();
    if (const auto v = store.numberForKey(key))
        return *v;
    const double fallback = SettingsStore::number(settings::defaults().value(key)).value_or(0.0);
    const QString text = storedText(key);
    if (firstReport(key, text))
        LGLogWarn("stored threshold %@ is not a number (\"%@\"); using its default %g", key, text, fallback);
    return fallback;
}

ArchivedColor storedColor(const QString& key)
{
    if (auto color = SettingsStore::shared().colorForKey(key))
        return *color;
    const QString text = storedText(key);
    if (firstReport(key, text))
        LGLogWarn("stored colour %@ cannot be read (\"%@\"); using its default", key, text);
    return ArchivedColor::unarchive(settings::defaults().value(key).toString()).value_or(ArchivedColor::windowBackground());
}

} // namespace oq
