#include "AlertOptionsBox.h"

#include <QCheckBox>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"

AlertOptionsBox::AlertOptionsBox(QWidget* parent)
    : QGroupBox(oq::localized(QStringLiteral("preferences.alerts.group")), parent)
{
    auto* layout = new QVBoxLayout(this);
    namespace keys = oq::settings;
    for (const auto& [key, label] : {std::pair{keys::NotifyLevelChanges, "preferences.alerts.notify"},
             std::pair{keys::AlarmSound, "preferences.alerts.sound"},
             std::pair{keys::KeepRunningWhenClosed, "preferences.alerts.keep_running"}}) {
        auto* box = new QCheckBox(oq::localized(QString::fromLatin1(label)), this);
        box->setObjectName(key);
        box->setChecked(oq::settings::alertOption(key));
        layout->addWidget(box);
        connect(box, &QCheckBox::toggled, this, [key](bool on) { oq::SettingsStore::shared().setObject(key, on); });
        m_boxes.emplace_back(key, box);
    }
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, &AlertOptionsBox::settingChanged);
}

QCheckBox* AlertOptionsBox::optionBox(const QString& key) const
{
    for (const auto& [k, box] : m_boxes)
        if (k == key)
            return box;
    return nullptr;
}

void AlertOptionsBox::settingChanged(const QString& key)
{
    if (QCheckBox* box = optionBox(key)) {
        const QSignalBlocker quiet(box);
        box->setChecked(oq::settings::alertOption(key));
    }
}

// Its own moc output, so programs without windows that link this library do not take it in.
#include "moc_AlertOptionsBox.cpp"
