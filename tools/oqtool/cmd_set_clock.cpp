// oqtool set-clock: sets the counter's clock.
#include <QDateTime>

#include "Command.h"
#include "DeviceSession.h"
#include "device/OQUSBDevice.h"
#include "parser/OQDeviceInfo.h"

namespace {

int run(const QStringList& arguments)
{
    oqtool::DeviceCommand command("set-clock", arguments);
    if (command.helpShown())
        return 0;
    const QStringList& args = command.args();
    QDateTime when = QDateTime::currentDateTime();
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--date") && i + 1 < args.size()) {
            when = QDateTime::fromString(args[++i], Qt::ISODate);
            if (!when.isValid())
                command.reject(oqtool::text("oqtool.set_clock.bad_date").arg(args[i]));
        } else {
            command.reject();
        }
    }
    if (!command.ok())
        return command.usageError();
    const auto device = command.open();
    if (!device)
        return 1;

    bool done = false;
    std::optional<oq::ErrorRecord> failure;
    device->setDate(when, [&](bool, std::optional<oq::ErrorRecord> e) {
        failure = std::move(e);
        done = true;
    });
    // The counter is told the time character by character; leaving half way would confuse it.
    command.session().runUntilDone([&] { return done; });
    if (failure) {
        command.fail(failure->localizedDescription());
        return 1;
    }
    const auto clock = device->info() ? device->info()->date() : std::nullopt;
    oqtool::out((clock ? clock->toString(Qt::ISODate) : oqtool::text("oqtool.set_clock.done")) + QLatin1Char('\n'));
    return 0;
}

} // namespace

OQTOOL_COMMAND("set-clock", "set-clock [--date ISO8601] [--port PATH | --simulate]", "set the counter's clock", run);
