// oqtool watch: the counters' live readings as display texts, one per line.
#include <QObject>

#include <cstdio>
#include <memory>
#include <optional>
#include <unistd.h>

#include "AlertCommand.h"
#include "Command.h"
#include "CounterWatch.h"
#include "CsvRecorder.h"
#include "DeviceSession.h"
#include "Recording.h"
#include "device/OQUSBDevice.h"
#include "parser/OQDeviceInfo.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/Level.h"
#include "readings/ValueTransformers.h"
#include "web/WebServer.h"

namespace {

// A day: a longer limit is no limit a user meant.
constexpr double kMaxAlertTimeout = 86400;

// The level's bar colour as a 24-bit terminal colour.
QString coloured(const QString& text, oq::Level level)
{
    const auto c = oq::levelColor(level, oq::LevelColor::Bar).rgb8();
    if (!c)
        return text;
    return QStringLiteral("\x1b[38;2;%1;%2;%3m%4\x1b[0m").arg((*c)[0]).arg((*c)[1]).arg((*c)[2]).arg(text);
}

int run(const QStringList& arguments)
{
    oqtool::DeviceCommand command("watch", arguments, true);
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
    std::optional<oq::web::ServerOptions> http;
    QString httpToken, httpCert, httpKey;
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
        } else if (args[i] == QLatin1String("--http") && i + 1 < args.size()) {
            http.emplace();
            ok = oq::web::parseListen(args[++i], &http->address, &http->port);
            if (!ok)
                command.reject(oqtool::text("oqtool.watch.http.bad_listen").arg(args[i]));
        } else if (args[i] == QLatin1String("--http-token-file") && i + 1 < args.size()) {
            httpToken = args[++i];
        } else if (args[i] == QLatin1String("--http-cert") && i + 1 < args.size()) {
            httpCert = args[++i];
        } else if (args[i] == QLatin1String("--http-key") && i + 1 < args.size()) {
            httpKey = args[++i];
        } else if (args[i] == QLatin1String("--count") && i + 1 < args.size()) {
            count = args[++i].toLongLong(&ok);
            ok = ok && count > 0;
        } else {
            ok = false;
        }
        if (!ok && command.ok())
            command.reject();
    }
    if (!http && !(httpToken + httpCert + httpKey).isEmpty())
        command.reject(oqtool::text("oqtool.watch.http.alone"));
    if (!command.ok())
        return command.usageError();
    recordingOptions.displayUnit = unit;
    const QString historyPath = recordingOptions.historyPath;
    oqtool::Recording recording(std::move(recordingOptions));
    if (!recording.usable())
        return 1;
    // Started before any counter is opened: a page that cannot be served ends the run at once.
    oq::web::WebServer web;
    if (http) {
        http->tokenFile = httpToken;
        http->certFile = httpCert;
        http->keyFile = httpKey;
        http->historyPath = historyPath;
        if (const QString why = web.start(*http); !why.isEmpty()) {
            oqtool::err(QStringLiteral("oqtool watch: %1\n").arg(why));
            return 1;
        }
        oqtool::err(QStringLiteral("oqtool watch: ") + oqtool::text("oqtool.watch.serving").arg(web.url()) + QLatin1Char('\n'));
    }
    oqtool::WatchOptions watch;
    watch.mode = mode;
    watch.count = count;
    watch.csv = csv;
    watch.alertCommand = alertCommand;
    watch.alertTimeout = alertTimeout;
    std::unique_ptr<DisplayValueTransformer> display;
    if (mode == 1)
        display = DoseRateValueTransformer::initWithUnit(unit);
    else
        display = DoseValueTransformer::initWithUnit(unit);
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    watch.show = [&](const oq::Reading& r) {
        const QString text = display->transformedValue(r.value);
        return terminal ? coloured(text, r.level) : text;
    };
    watch.recording = recording.recording();
    watch.web = http ? &web : nullptr;
    watch.finishRecording = [&] { return recording.finish(oqtool::kMqttFinishWait); };
    // Readings that could not be kept or did not reach the broker fail the run however it ended.
    return oqtool::runWatch(command.session(), watch);
}

} // namespace

OQTOOL_COMMAND("watch", "watch [--rate|--dose] [--unit Sv|rem] [--count N] [--format text|csv] [--output FILE] [--alert-command CMD [--alert-timeout S]] [--db [FILE]] [--mqtt URL [--mqtt-prefix P] [--mqtt-ca FILE] [--mqtt-credentials FILE] [--no-discovery]] [--http [ADDRESS:]PORT [--http-token-file FILE] [--http-cert FILE --http-key FILE]] [--port PATH ... | --simulate [N]]",
    "show the counters' live readings", run);
