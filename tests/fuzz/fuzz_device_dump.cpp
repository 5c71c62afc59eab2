// libFuzzer target: device dumps as files hold them.
//  1. The bytes as a stored file: loaded (Latin-1, as the file reader decodes), parsed into events.
//  2. The bytes, split at NUL, as the sections of a transfer (version line, hardware information,
//     status, calibration, memory dump): the protocol's device dump, stored and loaded again, keeps
//     its version record and gives the same events.
#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "parser/OQDeviceInfo.h"
#include "parser/OQProtocol.h"

namespace {

QStringList eventTexts(OQProtocol& protocol)
{
    QStringList texts;
    if (const auto events = protocol.protocolEventsError()) {
        for (const auto& e : *events)
            texts << e->stringRepresentation();
    }
    return texts;
}

std::shared_ptr<OQProtocol> loadStored(const QByteArray& bytes)
{
    return OQProtocol::initWithStoredText(QString::fromLatin1(bytes));
}

// The link decodes what the counter sends as ASCII; anything else arrives as '?'.
QString asReceived(const QByteArray& bytes)
{
    QByteArray ascii = bytes;
    for (char& c : ascii) {
        if (static_cast<unsigned char>(c) > 0x7F)
            c = '?';
    }
    return QString::fromLatin1(ascii);
}

std::optional<QString> section(const QList<QByteArray>& parts, int i)
{
    if (i >= parts.size())
        return std::nullopt;
    return asReceived(parts[i]).trimmed();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    auto stored = loadStored(bytes);
    (void)eventTexts(*stored);
    if (const auto info = stored->info())
        (void)info->description();

    const QList<QByteArray> parts = bytes.split('\0');
    const QString versionLine = asReceived(parts.value(0)).section(QLatin1Char('\n'), 0, 0).trimmed();
    std::shared_ptr<const OQDeviceInfo> info = OQDeviceInfo::initWithVersionString(versionLine);
    auto transferred = OQProtocol::initWithDeviceInfo(info, section(parts, 1), section(parts, 2), section(parts, 3),
        section(parts, 4).value_or(QString()), QDateTime());
    const QString dump = transferred->deviceDump();

    auto reloaded = loadStored(dump.toLatin1());
    if (reloaded->deviceDump() != dump)
        std::abort();
    if (info && (!reloaded->info() || reloaded->info()->versionString() != info->versionString()))
        std::abort();
    if (eventTexts(*reloaded) != eventTexts(*transferred))
        std::abort();
    return 0;
}
