// oqtool: the command-line companion of oq-online.
#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "Command.h"
#include "platform/CLocale.h"

namespace oqtool {

namespace {
int outError = 0; // the first failed write to standard output
bool outErrorTold = false;
bool outWritten = false;

void noteOutResult()
{
    if (!outError && (std::ferror(stdout) || std::fflush(stdout) != 0))
        outError = errno ? errno : EIO;
}
} // namespace

std::vector<Command>& registry()
{
    static std::vector<Command> commands;
    return commands;
}

bool out(const QString& text)
{
    if (outError)
        return false;
    errno = 0;
    outWritten = true;
    const QByteArray bytes = text.toUtf8();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()) && !outError)
        outError = errno ? errno : EIO;
    noteOutResult();
    return !outError;
}

bool outFailed()
{
    // Also what went through a QFile on stdout (events, history).
    if (!outError && std::ferror(stdout))
        outError = errno ? errno : EIO;
    return outError != 0;
}

int finishOut(int status)
{
    errno = 0;
    noteOutResult();
    // The close is where a file system that delays its errors (NFS, a full disk) reports them. A
    // standard output closed from the start is no failure of a command that wrote nothing there.
    if (std::fclose(stdout) != 0 && !outError && (errno != EBADF || outWritten))
        outError = errno ? errno : EIO;
    if (!outError)
        return status;
    if (!outErrorTold) {
        outErrorTold = true;
        err(QStringLiteral("oqtool: ") + text("oqtool.cannot_write").arg(text("oqtool.standard_output"),
                                                                QString::fromLocal8Bit(oq::cStrerror(outError)))
            + QLatin1Char('\n'));
    }
    return status == 0 ? 1 : status;
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
        return oqtool::finishOut(0);
    }
    for (const auto& c : oqtool::registry()) {
        if (name == QLatin1String(c.name))
            return oqtool::finishOut(c.run(args));
    }
    oqtool::err(oqtool::text("oqtool.unknown_command").arg(name) + QStringLiteral("\n\n") + help());
    return 2;
}
