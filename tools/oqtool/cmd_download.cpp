// oqtool download: reads the counter's protocol memory into a stored dump.
#include <QIODevice>

#include <optional>

#include "Command.h"
#include "DeviceSession.h"
#include "EventsOutput.h"
#include "Recording.h"
#include "device/DeviceError.h"
#include "device/OQUSBDevice.h"
#include "parser/OQProtocol.h"
#include "platform/SafeFile.h"

namespace {

bool writeAtomically(const QString& path, const QByteArray& bytes, QString& error)
{
    return oq::files::writeAtomically(
        path, [&bytes](QIODevice& file) { return file.write(bytes) == bytes.size(); }, oq::files::Privacy::Shared, &error);
}

int run(const QStringList& arguments)
{
    oqtool::DeviceCommand command("download", arguments);
    if (command.helpShown())
        return 0;
    oq::recording::Options historyOptions;
    oqtool::takeHistoryOptions(command.args(), historyOptions);
    const QStringList& args = command.args();
    QString output, events;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if ((args[i] == QLatin1String("-o") || args[i] == QLatin1String("--output")) && i + 1 < args.size())
            output = args[++i];
        else if (args[i] == QLatin1String("--events") && i + 1 < args.size())
            events = args[++i];
        else
            command.reject();
    }
    if (!events.isEmpty() && !oqtool::eventsFormat(events))
        command.reject(oqtool::text("oqtool.download.bad_events"));
    if (!command.ok())
        return command.usageError();
    std::optional<oqtool::Recording> history(std::in_place, historyOptions);
    if (!history->usable())
        return 1;
    const auto device = command.open();
    if (!device)
        return 1;
    auto& session = command.session();

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
            line += QLatin1Char(' ') + oqtool::text("oqtool.download.bytes").arg(progress->completedUnitCount()).arg(total);
        oqtool::err(line + QStringLiteral("\x1b[K"));
    };
    QObject::connect(progress.get(), &oq::ProgressRecord::localizedDescriptionChanged, &guard, showProgress);
    QObject::connect(progress.get(), &oq::ProgressRecord::completedUnitCountChanged, &guard, showProgress);
    QObject::connect(progress.get(), &oq::ProgressRecord::totalUnitCountChanged, &guard, showProgress);
    showProgress();

    // A cancelled transfer has no completion: it ends with the device no longer busy.
    const auto ended = [&] { return done || !device->busy(); };
    if (!session.runUntil(ended)) {
        oqtool::err(QLatin1Char('\n') + oqtool::text("oqtool.download.cancelling") + QLatin1Char('\n'));
        progress->cancel();
        session.runUntilDone(ended);
    }
    QObject::disconnect(progress.get(), nullptr, &guard, nullptr);
    oqtool::err(QStringLiteral("\n"));
    if (!done) {
        command.fail(oqtool::text("oqtool.download.cancelled"));
        return 130;
    }
    if (failure) {
        // A driver status alone tells the user nothing; an unplug is the usual cause.
        const bool unplugged = failure->domain() == oq::device::OQDeviceErrorDomain && failure->code() > 0
            && session.counterUnplugged();
        command.fail(unplugged ? oqtool::text("oqtool.download.unplugged") : failure->localizedDescription());
        return 1;
    }

    const QByteArray dump = protocol->deviceDump().toUtf8();
    QString error;
    if (!output.isEmpty() && !writeAtomically(output, dump, error)) {
        command.fail(oqtool::text("oqtool.cannot_write").arg(output, error));
        return 1;
    }
    const bool stored = history->storeProtocol(*protocol);
    history.reset();
    if (!stored)
        return 1;
    if (events.isEmpty()) {
        if (output.isEmpty())
            oqtool::out(QString::fromUtf8(dump));
        return 0;
    }
    oq::ErrorRecord parseError;
    const auto list = protocol->protocolEventsError(&parseError);
    if (!list && !parseError.domain().isEmpty()) {
        command.fail(parseError.localizedDescription());
        return 1;
    }
    const OQProtocolEventList none;
    const OQProtocolEventList& all = list ? *list : none;
    return oqtool::printEvents(all, *oqtool::eventsFormat(events)) ? 0 : 1;
}

} // namespace

OQTOOL_COMMAND("download", "download [-o FILE] [--events csv|json|text] [--db [FILE]] [--port PATH | --simulate]",
    "read the counter's protocol memory into a dump", run);
