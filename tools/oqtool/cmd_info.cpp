// oqtool info: the counter's information record as JSON.
#include <QJsonDocument>
#include <QJsonObject>

#include "Command.h"
#include "DeviceSession.h"
#include "device/OQUSBDevice.h"
#include "parser/OQDeviceInfo.h"

namespace {

int run(const QStringList& arguments)
{
    oqtool::DeviceCommand command("info", arguments);
    if (command.helpShown())
        return 0;
    if (!command.args().isEmpty())
        command.reject();
    if (!command.ok())
        return command.usageError();
    const auto device = command.open();
    if (!device)
        return 1;
    const auto info = device->info();
    QJsonObject json{
        {"versionString", info->versionString()},
        {"firmwareVersion", info->firmwareVersion()},
        {"serialNumber", info->serialNumber()},
        {"date", info->dateString()},
        {"time", info->timeString()},
        {"protocolLength", int(info->protocolLength())},
        {"features", info->features()},
        {"hasOnline", info->hasOnline()},
        {"hasAlert", info->hasAlert()},
    };
    if (const auto clock = info->date())
        json.insert(QStringLiteral("clock"), clock->toString(Qt::ISODate));
    oqtool::out(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    return 0;
}

} // namespace

OQTOOL_COMMAND("info", "info [--port PATH | --simulate]", "read the counter's information record", run);
