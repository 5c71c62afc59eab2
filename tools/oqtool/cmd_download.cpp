// oqtool download: reads the counter's protocol memory into a stored dump.
#include <QFile>
#include <QSaveFile>
#include <QTemporaryFile>

#include "Command.h"
#include "DeviceSession.h"
#include "device/OQUSBDevice.h"
#include "parser/OQProtocol.h"

namespace {

const char* kUsage = "Usage: oqtool download [-o FILE] [--events csv|json|text] [--port PATH | --simulate]\n"
                     "Reads the counter's protocol memory. The stored dump goes to FILE (written whole or not\n"
                     "at all), else to standard output; --events prints its measurement events instead.\n"
                     "Progress is shown on standard error; Ctrl-C cancels the transfer.\n";

bool writeAtomically(const QString& path, const QByteArray& bytes, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

// The measurement events of a stored dump, as `oqtool events` prints them.
int printEvents(const QString& dumpPath, const QString& format)
{
    for (const auto& command : oqtool::registry()) {
        if (qstrcmp(command.name, "events") == 0)
            return command.run({dumpPath, QStringLiteral("--format"), format});
    }
    oqtool::err(QStringLiteral("oqtool download: no events command\n"));
    return 1;
}

int run(const QStringList& arguments)
{
    QStringList args = arguments;
    if (oqtool::printHelpIfAsked(args, kUsage))
        return 0;
    oqtool::DeviceOptions options;
    QString error;
    bool ok = oqtool::takeDeviceOptions(args, options, error);
    QString output, events;
    for (qsizetype i = 0; ok && i < args.size(); ++i) {
        if ((args[i] == QLatin1String("-o") || args[i] == QLatin1String("--output")) && i + 1 < args.size())
            output = args[++i];
        else if (args[i] == QLatin1String("--events") && i + 1 < args.size())
            events = args[++i];
        else
            ok = false;
    }
    ok = ok && (events.isEmpty() || events == QLatin1String("csv") || events == QLatin1String("json") || events == QLatin1String("text"));
    if (!ok)
        return oqtool::usageError("download", error, kUsage);

    oqtool::DeviceSession session(options);
    const auto device = session.open(error);
    if (!device) {
        oqtool::err(QStringLiteral("oqtool download: %1\n").arg(error));
        return 1;
    }

    bool done = false;
    std::shared_ptr<OQProtocol> protocol;
    std::optional<oq::ErrorRecord> failure;
    device->getProtocol([&](std::shared_ptr<OQProtocol> p, std::optional<oq::ErrorRecord> e) {
        protocol = std::move(p);
        failure = std::move(e);
        done = true;
    });
    const auto progress = device->progress();
    QObject guard;
    const auto showProgress = [&] {
        const qint64 total = progress->totalUnitCount();
        QString line = QStringLiteral("\r%1").arg(progress->localizedDescription());
        if (total > 0)
            line += QStringLiteral(" %1 / %2 bytes").arg(progress->completedUnitCount()).arg(total);
        oqtool::err(line + QStringLiteral("\x1b[K"));
    };
    QObject::connect(progress.get(), &oq::ProgressRecord::localizedDescriptionChanged, &guard, showProgress);
    QObject::connect(progress.get(), &oq::ProgressRecord::completedUnitCountChanged, &guard, showProgress);
    QObject::connect(progress.get(), &oq::ProgressRecord::totalUnitCountChanged, &guard, showProgress);
    showProgress();

    // A cancelled transfer has no completion: it ends with the device no longer busy.
    const auto ended = [&] { return done || !device->busy(); };
    if (!session.runUntil(ended)) {
        oqtool::err(QStringLiteral("\ncancelling…\n"));
        progress->cancel();
        session.runUntilDone(ended);
    }
    QObject::disconnect(progress.get(), nullptr, &guard, nullptr);
    oqtool::err(QStringLiteral("\n"));
    if (!done) {
        oqtool::err(QStringLiteral("oqtool download: cancelled\n"));
        return 130;
    }
    if (failure) {
        oqtool::err(QStringLiteral("oqtool download: %1\n").arg(failure->localizedDescription()));
        return 1;
    }

    const QByteArray dump = protocol->deviceDump().toUtf8();
    if (!output.isEmpty() && !writeAtomically(output, dump, error)) {
        oqtool::err(QStringLiteral("oqtool download: cannot write %1: %2\n").arg(output, error));
        return 1;
    }
    if (events.isEmpty()) {
        if (output.isEmpty())
            oqtool::out(QString::fromUtf8(dump));
        return 0;
    }
    if (!output.isEmpty())
        return printEvents(output, events);
    QTemporaryFile temporary;
    if (!temporary.open() || temporary.write(dump) != dump.size() || !temporary.flush()) {
        oqtool::err(QStringLiteral("oqtool download: cannot write a temporary file: %1\n").arg(temporary.errorString()));
        return 1;
    }
    return printEvents(temporary.fileName(), events);
}

} // namespace

OQTOOL_COMMAND("download", "download [-o FILE] [--events csv|json|text] [--port PATH | --simulate]",
    "read the counter's protocol memory into a dump", run);
