// oqtool: the command-line companion of oq-online.
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

#include "Command.h"

namespace oqtool {

std::vector<Command>& registry()
{
    static std::vector<Command> commands;
    return commands;
}

void out(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void err(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stderr);
    std::fflush(stderr);
}

} // namespace oqtool

namespace {
QString help()
{
    auto commands = oqtool::registry();
    std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return qstrcmp(a.name, b.name) < 0; });
    QString text = oqtool::text("oqtool.help.intro") + QLatin1Char('\n');
    for (const auto& c : commands)
        text += QStringLiteral("  %1\n      %2\n").arg(QLatin1String(c.usage), oqtool::commandSummary(c));
    return text + QLatin1Char('\n') + oqtool::text("oqtool.help.more") + QLatin1Char('\n');
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oqtool"));
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        oqtool::err(help());
        return 2;
    }
    const QString name = args.takeFirst();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("help")) {
        oqtool::out(help());
        return 0;
    }
    for (const auto& c : oqtool::registry()) {
        if (name == QLatin1String(c.name))
            return c.run(args);
    }
    oqtool::err(oqtool::text("oqtool.unknown_command").arg(name) + QStringLiteral("\n\n") + help());
    return 2;
}
