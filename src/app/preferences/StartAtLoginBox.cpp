#include "app/preferences/StartAtLoginBox.h"

#include <QCoreApplication>

#include "logging/Log.h"
#include "platform/AutostartEntry.h"
#include "platform/StringTable.h"

StartAtLoginBox::StartAtLoginBox(QWidget* parent, QString program)
    : QCheckBox(oq::localized(QStringLiteral("preferences.start_at_login")), parent)
    , m_program(program.isEmpty() ? QCoreApplication::applicationFilePath() : std::move(program))
{
    setObjectName(QStringLiteral("StartAtLogin"));
    readEntry();
    connect(this, &QCheckBox::toggled, this, [this](bool on) { write(on); });
}

void StartAtLoginBox::showEvent(QShowEvent* event)
{
    readEntry();
    QCheckBox::showEvent(event);
}

void StartAtLoginBox::readEntry()
{
    const QSignalBlocker quiet(this);
    setChecked(oq::autostart::isEnabled());
}

void StartAtLoginBox::write(bool on)
{
    QString error;
    const bool done = on ? oq::autostart::enable(m_program, {QStringLiteral("--hidden")}, &error)
                         : oq::autostart::disable(&error);
    if (!done)
        LGLogWarn("The autostart entry %@ could not be changed: %@", oq::autostart::entryPath(), error);
    // The box shows what the session will do, also after a failed write.
    readEntry();
}
