// oqtool watch: the counter's live readings as display texts, one per line.
#include <QObject>

#include <cstdio>
#include <memory>
#include <unistd.h>

#include "AlertCommand.h"
#include "Command.h"
#include "CsvRecorder.h"
#include "DeviceSession.h"
#include "Recording.h"
#include "device/OQUSBDevice.h"
#include "parser/OQDeviceInfo.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/Level.h"
#include "readings/ValueTransformers.h"

namespace {

// A day: a longer limit is no limit a user meant.
constexpr double kMaxAlertTimeout = 86400;

// The level's bar colour as a 24-bit terminal colour.
QString coloured(const QString& text, double value, int mode)
{
    const auto level = oq::levelForValue(value, mode);
    const auto c = oq::levelColor(level, oq::LevelColor::Bar).rgb8();
    if (!c)
        return text;
    return QStringLiteral("\x1b[38;2;%1;%2;%3m%4\x1b[0m").arg((*c)[0]).arg((*c)[1]).arg((*c)[2]).arg(text);
}

int run(const QStringList& arguments)
{
    oqtool::DeviceCommand command("watch", arguments);
    if (command.helpShown())
        return 0;
    oqtool::CsvOptions csv;
    QString csvError;
    if (!oqtool::takeCsvOptions(command.args(), csv, csvError))
        command.reject(csvError);
    oq::recording::Options recordingOptions;
    oqtool::takeHistoryOptions(command.args(), recordingOptions);
    QString mqttError;
    if (!oqtool::takeMqttOptions(command.args(), recordingOptions, mqttError))
        command.reject(mqttError);
    auto& settings = oq::SettingsStore::shared();
    settings.registerDefaults(oq::settings::defaults());
    int mode = 1;
    QString unit = settings.objectForKey(oq::settings::displayUnit).toString();
    if (unit != QLatin1String("rem"))
        unit = QStringLiteral("Sv");
    long long count = -1;
    QString alertCommand;
    double alertTimeout = oqtool::kDefaultAlertTimeout;
    const QStringList& args = command.args();
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool ok = true;
        if (args[i] == QLatin1String("--rate")) {
            mode = 1;
        } else if (args[i] == QLatin1String("--dose")) {
            mode = 2;
        } else if (args[i] == QLatin1String("--unit") && i + 1 < args.size()) {
            unit = args[++i];
            ok = unit == QLatin1String("Sv") || unit == QLatin1String("rem");
        } else if (args[i] == QLatin1String("--alert-command") && i + 1 < args.size()) {
            alertCommand = args[++i];
            ok = !alertCommand.trimmed().isEmpty();
        } else if (args[i].startsWith(QLatin1String("--alert-command="))) {
            alertCommand = args[i].section(QLatin1Char('='), 1);
            ok = !alertCommand.trimmed().isEmpty();
        } else if (args[i] == QLatin1String("--alert-timeout") && i + 1 < args.size()) {
            alertTimeout = args[++i].toDouble(&ok);
            ok = ok && alertTimeout > 0 && alertTimeout <= kMaxAlertTimeout;
        } else if (args[i] == QLatin1String("--count") && i + 1 < args.size()) {
            count = args[++i].toLongLong(&ok);
            ok = ok && count > 0;
        } else {
            ok = false;
        }
        if (!ok)
            command.reject();
    }
    if (!command.ok())
        return command.usageError();
    recordingOptions.displayUnit = unit;
    oqtool::Recording recording(std::move(recordingOptions));
    if (!recording.usable())
        return 1;
    // Readings that could not be kept or did not reach the broker fail the run however it ended.
    const auto storedAll = [&](int status) {
        return !recording.finish(oqtool::kMqttFinishWait) && status == 0 ? 1 : status;
    };
    const oqtool::ReadingHook record = [&](const oqtool::CsvReading& r, const OQDeviceInfo* counter) {
        recording.record(counter ? counter->serialNumber() : QString(), counter ? counter->firmwareVersion() : QString(), r.time,
            r.value, r.mode, r.counterUnit);
    };
    std::unique_ptr<oqtool::AlertCommand> alerts;
    if (!alertCommand.isNull())
        alerts = std::make_unique<oqtool::AlertCommand>(alertCommand, alertTimeout);
    // An alert under way at the end is given time to finish its work. An alarm whose command could
    // not be run reached nobody: that fails the run.
    const auto finishAlerts = [&](int status) {
        if (!alerts)
            return status;
        alerts->finish(oqtool::kAlertFinishWait);
        if (alerts->unrun() == 0)
            return status;
        command.fail(oqtool::text("oqtool.watch.alert.unrun").arg(alerts->unrun()));
        return status == 0 ? 1 : status;
    };
    if (csv.csv)
        return storedAll(finishAlerts(oqtool::runCsvWatch(command.session(), csv, mode, count, alerts.get(), record)));
    const auto device = command.open();
    if (!device)
        return 1;
    const QString serial = device->info() ? device->info()->serialNumber() : QString();
    const QString firmware = device->info() ? device->info()->firmwareVersion() : QString();

    std::unique_ptr<DisplayValueTransformer> display;
    if (mode == 1)
        display = DoseRateValueTransformer::initWithUnit(unit);
    else
        display = DoseValueTransformer::initWithUnit(unit);
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    long long printed = 0;
    QObject guard;
    QObject::connect(device.get(), &OQDevice::onlineValueChanged, &guard, [&] {
        const auto value = device->onlineValue();
        if (!value || (count > 0 && printed >= count) || oqtool::outFailed())
            return;
        const QString text = display->transformedValue(value);
        if (!oqtool::out((terminal ? coloured(text, *value, mode) : text) + QLatin1Char('\n')))
            return;
        ++printed;
        if (alerts)
            alerts->reading(*value, mode, serial);
        // The unit follows its value on this thread before control returns to the event loop.
        const QDateTime time = QDateTime::fromMSecsSinceEpoch(device->onlineValueTime().value_or(QDateTime::currentMSecsSinceEpoch()), Qt::UTC);
        QMetaObject::invokeMethod(&guard, [&, v = *value, time] {
            recording.record(serial, firmware, time, v, mode, device->onlineUnit());
        }, Qt::QueuedConnection);
    });
    oqtool::tellSilence(*device, guard);

    if (mode == 1)
        device->startRateMode();
    else
        device->startDoseMode();
    auto& session = command.session();
    session.runUntil([&] { return device->failed() || (count > 0 && printed >= count) || oqtool::outFailed(); });
    QObject::disconnect(device.get(), nullptr, &guard, nullptr);

    int status = 0;
    if (device->failed()) {
        command.fail(device->error());
        status = 1;
    }
    // Stop the counter's stream before leaving, also after Ctrl-C.
    bool stopped = false;
    device->stopOnlineMode([&] { stopped = true; });
    session.runUntilDone([&] { return stopped; });
    return storedAll(finishAlerts(status));
}

} // namespace

OQTOOL_COMMAND("watch", "watch [--rate|--dose] [--unit Sv|rem] [--count N] [--format text|csv] [--output FILE] [--alert-command CMD [--alert-timeout S]] [--db [FILE]] [--mqtt URL [--mqtt-prefix P] [--mqtt-ca FILE] [--mqtt-credentials FILE] [--no-discovery]] [--port PATH | --simulate]",
    "show the counter's live readings", run);
