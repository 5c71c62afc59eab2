// oqtool events FILE|- [--format text|csv|json]: the measurement events of a stored dump.
#include <QFile>

#include "Command.h"
#include "EventsOutput.h"
#include "parser/OQProtocol.h"

namespace {

int run(const QStringList& args)
{
    QString path, format = QStringLiteral("text");
    bool usage = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--help")) {
            oqtool::out(oqtool::commandHelp("events"));
            return 0;
        }
        if (args[i] == QLatin1String("--format") && i + 1 < args.size())
            format = args[++i];
        else if (args[i].startsWith(QLatin1String("--format=")))
            format = args[i].mid(9);
        else if (path.isEmpty())
            path = args[i];
        else
            usage = true;
    }
    const auto as = oqtool::eventsFormat(format);
    if (usage || path.isEmpty() || !as) {
        oqtool::err(oqtool::commandHelp("events"));
        return 2;
    }

    QFile file;
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        oqtool::err(QStringLiteral("oqtool: ") + oqtool::text("oqtool.cannot_read").arg(path, file.errorString()) + QLatin1Char('\n'));
        return 1;
    }
    // Dumps are ASCII; Latin-1 keeps every other byte as one character for the parser to reject.
    const QString text = QString::fromLatin1(file.readAll());

    const auto protocol = OQProtocol::initWithStoredText(text);
    oq::ErrorRecord error;
    const auto events = protocol->protocolEventsError(&error);
    if (!events && !error.domain().isEmpty()) {
        oqtool::err(error.localizedDescription() + QLatin1Char('\n'));
        return 1;
    }
    return oqtool::printEvents(events.value_or(OQProtocolEventList{}), *as) ? 0 : 1;
}

} // namespace

OQTOOL_COMMAND("events", "events FILE|- [--format text|csv|json]", "print the measurement events of a stored dump", run);
