#include "platform/AutostartEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace oq::autostart {

namespace {
const QString kEntryName = QStringLiteral("oq-online.desktop");

// Characters that force an Exec argument into double quotes.
bool needsQuotes(const QString& arg)
{
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    if (arg.isEmpty())
        return true;
    for (QChar c : arg)
        if (reserved.contains(c))
            return true;
    return false;
}

QString quoted(const QString& arg)
{
    if (!needsQuotes(arg))
        return arg;
    QString out = QStringLiteral("\"");
    for (QChar c : arg) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            out += u'\\';
        out += c;
    }
    return out + u'"';
}
} // namespace

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/") + kEntryName;
}

bool isEnabled()
{
    QFile f(entryPath());
    if (!f.open(QIODevice::ReadOnly))
        return false;
    // A desktop that switched the entry off leaves it in place with one of these.
    while (!f.atEnd()) {
        const QByteArray line = f.readLine(4096).trimmed();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return true;
}

QString execLine(const QStringList& argv)
{
    QStringList parts;
    for (const QString& arg : argv) {
        for (QChar c : arg)
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return {};
        // Field codes start with %; a literal one is doubled.
        QString part = quoted(arg).replace(u'%', QStringLiteral("%%"));
        // The key's value is a string, where a backslash is itself escaped.
        parts << part.replace(u'\\', QStringLiteral("\\\\"));
    }
    return parts.join(u' ');
}

bool enable(const QString& program, const QStringList& arguments, QString* error)
{
    const QString exec = execLine(QStringList{program} + arguments);
    if (exec.isEmpty()) {
        if (error)
            *error = QStringLiteral("the program path cannot be written on an Exec line");
        return false;
    }
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        const QString text = QStringLiteral(
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Orbel-Quist Online\n"
            "Comment=Show the live reading of an Orbel-Quist Geiger counter\n"
            "Icon=oq-online\n"
            "Exec=%1\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n")
                                 .arg(exec);
        file.write(text.toUtf8());
        if (file.commit())
            return true;
    }
    if (error)
        *error = file.errorString();
    return false;
}

bool disable(QString* error)
{
    QFile file(entryPath());
    if (!file.exists() || file.remove())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

} // namespace oq::autostart
