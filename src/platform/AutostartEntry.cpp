#include "platform/AutostartEntry.h"

#include <QFile>
#include <QFileInfo>

#include "platform/SafeFile.h"

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
    return oq::files::configHome() + QStringLiteral("/autostart/") + kEntryName;
}

bool isEnabled()
{
    QFile f(entryPath());
    if (!f.open(QIODevice::ReadOnly))
        return false;
    // A desktop that switched the entry off leaves it in place with one of these, in the entry's
    // own group; blanks around "=" are allowed there.
    bool inEntry = false;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine(4096).trimmed();
        if (line.startsWith('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (!inEntry || eq < 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QByteArray value = line.mid(eq + 1).trimmed();
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
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
    if (!oq::files::makeFolder(QFileInfo(path).absolutePath(), oq::files::Privacy::Shared, error))
        return false;
    // Once the program is gone (the package removed), the session skips the entry.
    const QString tryExec = QString(program).replace(u'\\', QStringLiteral("\\\\"));
    const QString text = QStringLiteral(
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Orbel-Quist Online\n"
            "Comment=Show the live reading of an Orbel-Quist Geiger counter\n"
            "Icon=oq-online\n"
            "Exec=%1\n"
            "TryExec=%2\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n")
                             .arg(exec, tryExec);
    const QByteArray bytes = text.toUtf8();
    return oq::files::writeAtomically(
        path, [&bytes](QIODevice& file) { return file.write(bytes) == bytes.size(); }, oq::files::Privacy::Shared, error);
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
