// libFuzzer target: a dump text through the protocol model, which splits it into the line table
// (parseProtocol) and builds events and their texts.
#include <QString>

#include <cstddef>
#include <cstdint>

#include "parser/OQProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    auto protocol = OQProtocol::initWithDeviceDump(text);
    if (!protocol) {
        // Texts without a version section at their start still go through the parser.
        protocol = OQProtocol::initWithDeviceInfo(nullptr, std::nullopt, std::nullopt, std::nullopt, QString(), QDateTime());
        protocol->setDeviceDumpString(text);
    }
    oq::ErrorRecord error;
    if (const auto events = protocol->protocolEventsError(&error)) {
        for (const auto& e : *events)
            (void)e->stringRepresentation();
    }
    return 0;
}
