// libFuzzer target: a dump text through the protocol model, which splits it into the line table
// (parseProtocol) and builds events and their texts. The events come from the parser's typed
// records; the maps parseProtocol hands out must tell the same story.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "parser/OQParser.h"
#include "parser/OQProtocol.h"

namespace {
// Counts with a rate after the first time mark: one event each.
qsizetype eventsInMaps(const QVariantList& maps)
{
    qsizetype n = 0;
    bool timed = false;
    for (const QVariant& item : maps) {
        const QVariantMap map = item.toMap();
        if (map.contains(QStringLiteral("new_time")))
            timed = true;
        else if (timed && map.contains(QStringLiteral("pulses")) && map.contains(QStringLiteral("doseRate")))
            ++n;
    }
    return n;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    // Texts without a version section at their start still go through the parser.
    const auto protocol = OQProtocol::initWithStoredText(text);
    oq::ErrorRecord error;
    const auto events = protocol->protocolEventsError(&error);
    if (events) {
        for (const auto& e : *events)
            (void)e->stringRepresentation();
    }
    const auto maps = parseProtocol(protocol->parserInput());
    const qsizetype fromMaps = maps ? eventsInMaps(*maps) : 0;
    if (qsizetype(events ? events->size() : 0) != fromMaps)
        std::abort();
    return 0;
}
