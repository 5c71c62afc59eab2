#include "EventsOutput.h"

#include <QFile>

#include <cstdio>

#include "Command.h"

namespace oqtool {

std::optional<OQEventsFormat> eventsFormat(const QString& name)
{
    if (name == QLatin1String("text"))
        return OQEventsFormat::Text;
    if (name == QLatin1String("csv"))
        return OQEventsFormat::Csv;
    if (name == QLatin1String("json"))
        return OQEventsFormat::Json;
    return std::nullopt;
}

bool printEvents(const OQProtocolEventList& events, OQEventsFormat format)
{
    // Through the C library's stdout, which `out` uses too.
    QFile standardOutput;
    if (standardOutput.open(stdout, QIODevice::WriteOnly) && OQProtocolEventsWrite(events, format, standardOutput)
        && standardOutput.flush())
        return true;
    if (!outFailed())
        err(QStringLiteral("oqtool: ") + text("oqtool.cannot_write").arg(QStringLiteral("-"), standardOutput.errorString())
            + QLatin1Char('\n'));
    return false;
}

} // namespace oqtool
