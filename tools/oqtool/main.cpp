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
void printHelp(FILE* to)
{
    auto commands = oqtool::registry();
    std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return qstrcmp(a.name, b.name) < 0; });
    std::fprintf(to, "Usage: oqtool COMMAND [ARGS]\n\nThe command-line companion for Orbel-Quist counters.\n\nCommands:\n");
    for (const auto& c : commands)
        std::fprintf(to, "  %s\n      %s\n", c.usage, c.summary);
    std::fprintf(to, "\nRun 'oqtool COMMAND --help' for a command's options.\n");
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oqtool"));
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        printHelp(stderr);
        return 2;
    }
    const QString name = args.takeFirst();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("help")) {
        printHelp(stdout);
        return 0;
    }
    for (const auto& c : oqtool::registry()) {
        if (name == QLatin1String(c.name))
            return c.run(args);
    }
    std::fprintf(stderr, "oqtool: unknown command '%s'\n\n", qPrintable(name));
    printHelp(stderr);
    return 2;
}
