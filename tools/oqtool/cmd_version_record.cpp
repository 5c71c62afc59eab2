// oqtool version-record LINE: the parsed version record as JSON.
#include <QJsonDocument>
#include <QJsonObject>

#include "Command.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQParser.h"

namespace {

int run(const QStringList& args)
{
    if (args.size() != 1 || args[0] == QLatin1String("--help")) {
        oqtool::err(oqtool::commandHelp("version-record"));
        return args.size() == 1 ? 0 : 2;
    }
    oq::ErrorRecord error;
    const auto record = parseVersion(args[0].trimmed(), &error);
    if (!record) {
        oqtool::err(error.localizedDescription() + QLatin1Char('\n'));
        return 1;
    }
    QJsonObject json = QJsonObject::fromVariantMap(*record);
    const uint64_t bits = OQDeviceInfo::featuresValue(record->value(QStringLiteral("features")).toString());
    json.insert(QStringLiteral("hasOnline"), (bits & OQDeviceInfo::kOnlineBit) != 0);
    json.insert(QStringLiteral("hasAlert"), (bits & OQDeviceInfo::kAlertBit) != 0);
    oqtool::out(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    return 0;
}

} // namespace

OQTOOL_COMMAND("version-record", "version-record LINE", "parse a version record and print it as JSON", run);
