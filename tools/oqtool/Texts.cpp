#include <QString>

#include "Command.h"
#include "platform/StringTable.h"

namespace oqtool {
namespace {

// "set-clock" → "oqtool.set_clock.help"
QString commandKey(const char* name, const char* what)
{
    return QStringLiteral("oqtool.%1.%2").arg(QString::fromLatin1(name).replace(QLatin1Char('-'), QLatin1Char('_')), QLatin1String(what));
}

} // namespace

QString text(const char* key) { return oq::localized(QString::fromLatin1(key)); }

QString commandHelp(const char* name)
{
    QString syntax = QString::fromLatin1(name);
    for (const auto& c : registry()) {
        if (qstrcmp(c.name, name) == 0)
            syntax = QString::fromLatin1(c.usage);
    }
    return text("oqtool.usage").arg(syntax) + QLatin1Char('\n') + oq::localized(commandKey(name, "help"));
}

QString commandSummary(const Command& command)
{
    const QString summary = oq::localized(commandKey(command.name, "summary"));
    return summary.isEmpty() ? QString::fromLatin1(command.summary) : summary;
}

} // namespace oqtool
