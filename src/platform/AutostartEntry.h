#pragma once
// The XDG autostart entry that starts oq-online with the user's session:
// $XDG_CONFIG_HOME/autostart/oq-online.desktop (default ~/.config/autostart). Its presence is the
// setting; nothing else records it, so a user who deletes the file has switched it off.
#include <QString>
#include <QStringList>

namespace oq::autostart {

// The entry's file, named after the application's desktop entry.
QString entryPath();

// True when the session would start the application (the entry exists and is not marked hidden).
bool isEnabled();

// Writes the entry that runs `program` with `arguments` at login. False with `error` set when the
// file cannot be written or an argument cannot be expressed on an Exec line (a control character).
bool enable(const QString& program, const QStringList& arguments, QString* error);

// Removes the entry; true when there is none afterwards.
bool disable(QString* error);

// `argv` as an Exec line: each argument quoted where the desktop entry format needs it, then
// escaped as a string value. Empty when an argument holds a control character.
QString execLine(const QStringList& argv);

} // namespace oq::autostart
