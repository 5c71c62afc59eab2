#include "SimDump.h"

#include <QRegularExpression>
#include <QStringList>

#include <vector>

namespace oq::sim {

DumpSections splitDeviceDump(const QString& text)
{
    static const QRegularExpression lineEnd(QStringLiteral("\r\n|\n|\r"));
    const QStringList lines = text.split(lineEnd);
    DumpSections d;
    QByteArray* current = nullptr;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& line = lines.at(i);
        const QString marker = line.trimmed();
        if (marker == QLatin1String("v") && i + 1 < lines.size()) {
            current = nullptr;
            if (lines.at(i + 1).trimmed() != QLatin1String("Standard"))
                d.version = lines.at(i + 1).trimmed();
            ++i;
        } else if (marker == QLatin1String("h")) {
            current = &d.hwInfo;
        } else if (marker == QLatin1String("s")) {
            current = &d.statc;
        } else if (marker == QLatin1String("c")) {
            current = &d.calibration;
        } else if (marker == QLatin1String("b")) {
            d.hasProtocol = true;
            if (i + 1 < lines.size())
                d.header = lines.at(++i).toLatin1();
            current = &d.protocol;
        } else if (current) {
            // The text's last line end leaves one empty piece behind; it is no line.
            if (i + 1 == lines.size() && line.isEmpty())
                break;
            *current += line.toLatin1() + "\r\n";
        }
    }
    return d;
}

QString builtinDeviceDump()
{
    std::vector<unsigned char> bytes = {0xF5, 0xED, 0x00, 0x00, 0x12, 0x01, 0x01, 0x25, // 01.01.25 12:00:00
        0xF5, 0x0B};                                                                   // 60 s interval
    // Counts per minute: background, a passing source (about 4 and 10 uSv/h), background.
    const unsigned counts[] = {25, 31, 22, 28, 19, 27, 33, 24, 26, 30, 21, 29, 600, 1500, 35, 23, 20, 32, 26, 18, 34, 25};
    for (size_t i = 0; i < std::size(counts); ++i) {
        if (i == 13)
            bytes.push_back(0xFC); // dose-rate alarm flag
        bytes.push_back(static_cast<unsigned char>(counts[i] >> 8)); // below 2048: exponent 0
        bytes.push_back(static_cast<unsigned char>(counts[i] & 0xFF));
    }
    const size_t valid = bytes.size();
    bytes.resize((valid + 31) / 32 * 32, 0xFF);
    QString body;
    for (size_t line = 0; line < bytes.size(); line += 32) {
        unsigned sum = 0;
        for (size_t i = line; i < line + 32; ++i) {
            body += QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
            sum += bytes[i];
        }
        body += QStringLiteral("%1\r\n").arg(sum & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    }
    return QStringLiteral("v\r\nVersion 7.14Lb07 12345 %1 01.01.25 12:20:00\r\n"
                          "h\r\nHW-Rev 3 LND712\r\n"
                          "s\r\nStat 000412 000003 0001\r\n"
                          "c\r\nORBEL-QUIST SoftCal gueltig\r\nB0 01 01 01 00\r\nFFFFFFFF0000A00F0300\r\n"
                          "00 00 01 00 00\r\nFFFFFFFF0000A00F0300\r\n"
                          "b\r\nORBEL-QUIST Protokoll\r\n%2")
        .arg(QStringLiteral("%1").arg(valid, 4, 16, QLatin1Char('0')).toUpper(), body);
}

} // namespace oq::sim
