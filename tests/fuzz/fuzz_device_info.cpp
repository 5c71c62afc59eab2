// libFuzzer target: a version line as the device reads it, into the device information record.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "parser/OQDeviceInfo.h"
#include "parser/OQParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The link hands lines on as Latin-1 text.
    const QString line = QString::fromLatin1(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto info = OQDeviceInfo::initWithVersionString(line);
    if (!info)
        return 0;
    // The record keeps the line it was read from, and that line reads as the same record.
    const auto record = parseVersion(info->versionString());
    if (!record)
        std::abort();

    if (info->protocolLength() != uint16_t(record->value(QStringLiteral("protocol_length")).toUInt()))
        std::abort();
    if (const auto date = info->date(); date && !date->isValid())
        std::abort();
    const uint64_t bits = OQDeviceInfo::featuresValue(info->features());
    if (info->hasOnline() != ((bits & OQDeviceInfo::kOnlineBit) != 0))
        std::abort();
    if (info->description().isEmpty())
        std::abort();

    const auto again = OQDeviceInfo::initWithVersionString(info->versionString());
    if (!again || again->firmwareVersion() != info->firmwareVersion() || again->serialNumber() != info->serialNumber()
        || again->protocolLength() != info->protocolLength() || again->features() != info->features())
        std::abort();
    return 0;
}
