#include "AlertOptionsBox.h"

#include <QCheckBox>
#include <QVBoxLayout>

#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"
#include "app/preferences/StartAtLoginBox.h"
#include "app/preferences/SwitchPreference.h"

AlertOptionsBox::AlertOptionsBox(QWidget* parent)
    : QGroupBox(oq::localized(QStringLiteral("preferences.alerts.group")), parent)
{
    auto* layout = new QVBoxLayout(this);
    namespace keys = oq::settings;
    const QVariantMap defaults = keys::alertDefaults();
    for (const auto& [key, label] : {std::pair{keys::NotifyLevelChanges, "preferences.alerts.notify"},
             std::pair{keys::AlarmSound, "preferences.alerts.sound"},
             std::pair{keys::KeepRunningWhenClosed, "preferences.alerts.keep_running"}}) {
        auto* box = makeSwitchPreference(key, oq::localized(QString::fromLatin1(label)), defaults.value(key).toBool(), this);
        layout->addWidget(box);
        m_boxes.emplace_back(key, box);
    }
    // Beside "keep running", which decides whether a start at login stays out of sight.
    layout->addWidget(new StartAtLoginBox(this));
}

QCheckBox* AlertOptionsBox::optionBox(const QString& key) const
{
    for (const auto& [k, box] : m_boxes)
        if (k == key)
            return box;
    return nullptr;
}

// Its own moc output, so programs without windows that link this library do not take it in.
#include "moc_AlertOptionsBox.cpp"
