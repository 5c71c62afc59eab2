#include "app/preferences/SwitchPreference.h"

#include <QCheckBox>

#include "platform/SettingsStore.h"

QCheckBox* makeSwitchPreference(const QString& key, const QString& label, bool absentMeans, QWidget* parent)
{
    auto* box = new QCheckBox(label, parent);
    box->setObjectName(key);
    const auto read = [box, key, absentMeans] {
        const QVariant stored = oq::SettingsStore::shared().objectForKey(key);
        const QSignalBlocker quiet(box);
        box->setChecked(stored.isValid() ? stored.toBool() : absentMeans);
    };
    read();
    QObject::connect(box, &QCheckBox::toggled, box, [key](bool on) { oq::SettingsStore::shared().setObject(key, on); });
    QObject::connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, box, [read, key](const QString& changed) {
        if (changed == key)
            read();
    });
    return box;
}
