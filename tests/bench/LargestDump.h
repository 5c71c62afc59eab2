#pragma once
// The largest new-format protocol dump: FFFF valid bytes from 1.5.2024 12:00:00, one-minute
// intervals (about 32,760 of them) with pulse counts from 20 to 79, and an overflow flag last.
#include <QString>

#include <cstdio>

namespace oq::bench {

inline QString largestDump()
{
    QByteArray image;
    image += QByteArray("\xF5\xED\x00\x00\x12\x01\x05\x24", 8); // 1.5.2024 12:00:00
    image += QByteArray("\xF5\x0B", 2);                          // one-minute intervals
    for (int i = 0; image.size() + 2 <= 0xFFFF; ++i) {
        const int pulses = 20 + (i * 7) % 60;
        image += char(pulses >> 8);
        image += char(pulses & 0xFF);
    }
    image += char(0xF9); // the last byte: an overflow flag
    QString text = QStringLiteral("v\r\nVersion 7.14Lb07 12345 FFFF 01.05.24 12:00:00\r\n"
                                  "h\r\nHW-3.1\r\ns\r\nSTAT 0001\r\n"
                                  "c\r\nORBEL-QUIST SoftCal gueltig\r\nB0 00 01 00 00\r\nFFFFFFFF0000A00F6400\r\n"
                                  "00 00 00 00 00\r\nb\r\nORBEL-QUIST Protokoll\r\n");
    for (int line = 0; line * 32 < image.size(); ++line) {
        unsigned sum = 0;
        char hex[3];
        for (int i = 0; i < 32; ++i) {
            const int at = line * 32 + i;
            const unsigned b = at < image.size() ? uint8_t(image[at]) : 0xFF;
            sum += b;
            std::snprintf(hex, sizeof hex, "%02X", b);
            text += QLatin1String(hex);
        }
        std::snprintf(hex, sizeof hex, "%02X", sum & 0xFF);
        text += QLatin1String(hex) + QStringLiteral("\r\n");
    }
    return text;
}

} // namespace oq::bench
