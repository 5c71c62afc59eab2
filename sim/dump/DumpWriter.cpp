#include "DumpWriter.h"

#include <charconv>
#include <cstdio>

namespace oq::sim {

namespace {

constexpr uint32_t kIntervals[] = {604800, 259200, 86400, 43200, 7200, 3600, 1800, 600, 300, 120, 60, 30, 10};
constexpr uint32_t kOldIntervals[] = {604800, 86400, 3600, 600, 60};

QByteArray hex2(unsigned byte)
{
    char b[3];
    std::snprintf(b, sizeof b, "%02X", byte & 0xFF);
    return QByteArray(b, 2);
}

// Little-endian hex text of the low `bytes` bytes of `value`: 0x1234 over 2 bytes is "3412".
QByteArray hexLe(uint32_t value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out += hex2(value >> (8 * i));
    return out;
}

uint8_t bcd(int n) { return uint8_t((n / 10) << 4 | (n % 10)); }

class Writer {
public:
    Writer(const DumpSpec& spec, float version) : m_spec(spec), m_v(version) {}

    bool encodeEvents()
    {
        for (const DumpEvent& e : m_spec.events) {
            if (!encode(e))
                return false;
        }
        return true;
    }

    QByteArray image;
    QString error;

    bool fail(const QString& why)
    {
        error = why;
        return false;
    }

    bool calibrationSection(QByteArray& out);

private:
    bool encode(const DumpEvent& e);
    bool cdiLines(QByteArray& out, const std::vector<DumpCdi>& set, bool shortLayout);

    const DumpSpec& m_spec;
    const double m_v;
};

bool Writer::encode(const DumpEvent& e)
{
    const double v = m_v;
    switch (e.kind) {
    case DumpEvent::Count: {
        int exp = 0;
        while ((e.pulses >> exp) >= 2048)
            ++exp;
        if (exp > 29)
            return fail(QStringLiteral("pulse count %1 too large").arg(e.pulses));
        const unsigned m = unsigned(e.pulses >> exp);
        image += char(exp << 3 | m >> 8);
        image += char(m & 0xFF);
        return true;
    }
    case DumpEvent::Interval:
        if (v < 5.99) {
            for (int i = 0; i < 5; ++i) {
                if (kOldIntervals[i] == e.seconds) {
                    image += char(0xF0 + i);
                    return true;
                }
            }
        } else if (e.seconds == 0 && v >= 7.0005) {
            image += "\xF5";
            image += char(0);
            return true;
        } else {
            for (int i = 0; i < 13; ++i) {
                if (kIntervals[i] == e.seconds) {
                    image += "\xF5";
                    image += char(v >= 7.0005 ? i + 1 : i);
                    return true;
                }
            }
        }
        return fail(QStringLiteral("interval of %1 s not available in this firmware").arg(e.seconds));
    case DumpEvent::TimeMark: {
        const DumpTime& t = e.time;
        int yy;
        if (t.year >= 2000 && t.year < 2070)
            yy = t.year - 2000;
        else if (t.year >= 1970 && t.year < 2000)
            yy = t.year - 1900;
        else
            return fail(QStringLiteral("year %1 cannot be written").arg(t.year));
        for (int f : {t.month, t.day, t.hour, t.minute, t.second}) {
            if (f < 0 || f > 99)
                return fail(QStringLiteral("time field %1 cannot be written").arg(f));
        }
        if (v < 5.99)
            image += "\xFE";
        else if (v < 7.0005)
            image += "\xF5\xEF";
        else
            image += QByteArray("\xF5\xED") + char(bcd(t.second));
        for (int f : {t.minute, t.hour, t.day, t.month, yy})
            image += char(bcd(f));
        return true;
    }
    case DumpEvent::Truncated: {
        const uint32_t unit = v < 5.99 ? 60 : 10;
        if (e.seconds % unit != 0 || e.seconds / unit > 0xFFFF)
            return fail(QStringLiteral("truncated interval of %1 s not available in this firmware").arg(e.seconds));
        image += v < 5.99 ? QByteArray("\xFF") : QByteArray("\xF5\xEE");
        image += char(e.seconds / unit & 0xFF);
        image += char(e.seconds / unit >> 8);
        return true;
    }
    case DumpEvent::Flags:
        if (e.flags == 0 || e.flags > 7)
            return fail(QStringLiteral("flag set %1 invalid").arg(e.flags));
        if (v < 5.99) {
            if (e.flags != DumpEvent::Overflow)
                return fail(QStringLiteral("this firmware records overflows only"));
            image += char(0xFC);
            return true;
        }
        if (v < 7.0005 && e.flags == DumpEvent::DoseAlarm)
            return fail(QStringLiteral("a dose alarm alone reads as an overflow before 7.0005"));
        image += char(0xF8 | e.flags);
        return true;
    case DumpEvent::CdsSwitch:
        if (v <= 7.08 || e.cds < 0 || e.cds > 1)
            return fail(QStringLiteral("calibration set switch not available in this firmware"));
        image += "\xF5";
        image += char(e.cds == 0 ? 0xEA : 0xEB);
        return true;
    case DumpEvent::Diagnostic:
        if (v < 6.9)
            return fail(QStringLiteral("diagnostic records need firmware 6.9"));
        image += char(0xF8);
        image += char(e.length);
        image += QByteArray((e.length - 1) & 0xFF, '\0');
        return true;
    }
    return fail(QStringLiteral("unknown event"));
}

// Below 6.0615 an entry covering every rate ends the set, so it must be the last.
bool Writer::cdiLines(QByteArray& out, const std::vector<DumpCdi>& set, bool shortLayout)
{
    for (size_t i = 0; i < set.size(); ++i) {
        const DumpCdi& c = set[i];
        const bool last = i + 1 == set.size();
        if (c.limit == 0xFFFFFFFF && !last && m_v < 6.0615)
            return fail(QStringLiteral("an entry covering every rate ends the set in this layout"));
        if (shortLayout) {
            if (c.limit != 0xFFFFFFFF && (c.limit == 0 || c.limit > 0xFFFF))
                return fail(QStringLiteral("limit %1 cannot be written in this calibration layout").arg(c.limit));
            out += hexLe(c.limit == 0xFFFFFFFF ? 0 : c.limit, 2); // 0: every rate, and the end
        } else {
            out += hexLe(c.limit, 4);
        }
        out += hexLe(c.correction, 2) + hexLe(c.denominator, 2) + hexLe(c.numerator, 2) + "\r\n";
    }
    return true;
}

bool Writer::calibrationSection(QByteArray& out)
{
    const double v = m_v;
    const auto& s0 = m_spec.cds0;
    if (s0.size() > 8 || m_spec.cds1.size() > 8)
        return fail(QStringLiteral("at most 8 calibration entries a set"));
    unsigned mask0 = 0, mask1 = 0;
    for (size_t i = 0; i < s0.size(); ++i)
        mask0 |= s0[i].wide ? 1u << i : 0;
    for (size_t i = 0; i < m_spec.cds1.size(); ++i)
        mask1 |= m_spec.cds1[i].wide ? 1u << i : 0;
    const QByteArray tube = hex2(m_spec.tubeCode), count = hex2(unsigned(s0.size())), mask = hex2(mask0);

    if (v >= 6.9 && m_spec.softCalLine)
        out += "ORBEL-QUIST SoftCal gueltig\r\n";
    bool shortLayout = false;
    if (v < 6.0205) {
        // Always 8 entries unless one covering every rate ends the set.
        if (s0.empty() || (s0.size() < 8 && s0.back().limit != 0xFFFFFFFF))
            return fail(QStringLiteral("this calibration layout needs 8 entries or a last one covering every rate"));
        out += tube + " " + mask + "00\r\n";
        shortLayout = true;
    } else if (v < 6.0615) {
        out += count + " " + mask + " FFFFFFFF\r\n";
    } else if (v < 6.0805) {
        out += count + " " + mask + "\r\n";
    } else if (v < 6.9) {
        out += tube + " " + count + " 00" + mask + "\r\n";
    } else if (v < 7.0005) {
        out += tube + " 00 " + count + " " + mask + "\r\n";
    } else {
        const int j = m_spec.adjust;
        if (j < -127 || j > 127)
            return fail(QStringLiteral("adjust value %1 out of range").arg(j));
        out += tube + " 00 " + count + " " + mask + " " + hex2(j >= 0 ? unsigned(j) : 0x80u | unsigned(-j)) + "\r\n";
    }
    if (!cdiLines(out, s0, shortLayout))
        return false;
    if (v > 7.08) {
        out += "00 00 " + hex2(unsigned(m_spec.cds1.size())) + " " + hex2(mask1) + " 00\r\n";
        if (!cdiLines(out, m_spec.cds1, false))
            return false;
    }
    return true;
}

QByteArray oldLine(unsigned address, const uint8_t* bytes)
{
    QByteArray line = QByteArray::number(address, 16).toUpper().rightJustified(4, '0');
    for (int i = 0; i < 16; ++i)
        line += ' ' + hex2(bytes[i]);
    return line + "\r\n";
}

} // namespace

std::optional<float> firmwareVersionNumber(const QString& token)
{
    const QByteArray t = token.toLatin1();
    float v = 0;
    const auto r = std::from_chars(t.constData(), t.constData() + t.size(), v);
    if (r.ec != std::errc())
        return std::nullopt;
    const qsizetype len = r.ptr - t.constData();
    if (len == 3 && v > 1.99 && v < 2.2 && t.size() == 4 && t[3] >= 'a' && t[3] <= 's')
        v = 2.0f + float(t[3] - 96) / 100.0f;
    return v;
}

std::optional<WrittenDump> writeDump(const DumpSpec& spec, QString* error)
{
    auto failed = [error](const QString& why) -> std::optional<WrittenDump> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const auto number = firmwareVersionNumber(spec.firmware);
    if (!number)
        return failed(QStringLiteral("firmware \"%1\" has no version number").arg(spec.firmware));
    const float vf = *number;
    const double v = vf;

    WrittenDump out;
    out.version = vf;
    out.oldFormat = spec.format == DumpLineFormat::ByVersion ? v < 6.0055 : spec.format == DumpLineFormat::Old;

    Writer w(spec, vf);
    if (spec.image)
        w.image = *spec.image;
    else if (!w.encodeEvents())
        return failed(w.error);
    QByteArray& image = w.image;
    const bool carriesLength = v >= 6.0195;
    if (!out.oldFormat && carriesLength && !spec.image) {
        // The record's byte count must exceed 6: lead with records that the walk passes over.
        while (image.size() < 7)
            image.prepend(v >= 6.9 ? QByteArray("\xF8\x01", 2) : QByteArray("\xF5\xF0", 2));
    }
    if (out.oldFormat && image.size() > 0x6FF)
        return failed(QStringLiteral("%1 bytes do not fit the old format's 1791").arg(image.size()));
    if (!out.oldFormat && image.size() > 0xFFFF)
        return failed(QStringLiteral("%1 bytes do not fit the protocol memory").arg(image.size()));
    if (!out.oldFormat && !carriesLength && !image.isEmpty())
        return failed(QStringLiteral("firmware %1 gives no protocol length, so it cannot hold events").arg(spec.firmware));
    out.image = image;

    // The version record.
    QByteArray& rec = out.versionLine;
    rec = "Version " + spec.firmware.toLatin1();
    if (v >= 6.0195) {
        if (v >= 6.9 && v < 7.0215) {
            if (spec.hwInfo.isEmpty() || spec.hwInfo.contains(QLatin1Char(' ')) || spec.hwInfo.contains(QLatin1Char('\t')))
                return failed(QStringLiteral("hardware info must be one word for this record"));
            rec += ' ' + spec.hwInfo.toLatin1();
        }
        rec += ' ' + spec.serial.toLatin1() + ' ' + QByteArray::number(image.size(), 16).toUpper().rightJustified(4, '0')
            + ' ' + spec.date.toLatin1() + ' ' + spec.time.toLatin1();
    }

    if (v > 6.0115 && !w.calibrationSection(out.calibrationAnswer))
        return failed(w.error);
    if (v > 7.0215)
        out.hwInfoAnswer = spec.hwInfo.toLatin1() + "\r\n";
    if (v > 7.0225)
        out.statcAnswer = spec.statc.toLatin1() + "\r\n";

    // The dump lines.
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.constData());
    if (out.oldFormat) {
        const QByteArray serial = spec.serial.toLatin1();
        if (serial.size() != 6)
            return failed(QStringLiteral("the old format needs a six-digit serial number"));
        const unsigned pointer = 0x100 + unsigned(image.size());
        uint8_t system[0x100] = {};
        system[0] = uint8_t(serial.mid(4, 2).toUInt(nullptr, 16));
        system[1] = uint8_t(serial.mid(2, 2).toUInt(nullptr, 16));
        system[2] = uint8_t(serial.mid(0, 2).toUInt(nullptr, 16));
        system[0x20] = uint8_t(pointer & 0xFF);
        system[0x21] = uint8_t(pointer >> 8);
        system[0x26] = 0x5A; // alert feature
        system[0x27] = 0xA5;
        const unsigned lines = (pointer + 15) / 16;
        for (unsigned k = 0; k < lines; ++k) {
            uint8_t line[16];
            for (unsigned i = 0; i < 16; ++i) {
                const unsigned at = 16 * k + i;
                line[i] = at < 0x100 ? system[at] : at - 0x100 < unsigned(image.size()) ? bytes[at - 0x100] : spec.filler;
            }
            out.dumpLines += oldLine(16 * k, line);
        }
    } else if (carriesLength) {
        for (qsizetype k = 0; k * 32 < image.size(); ++k) {
            unsigned sum = 0;
            QByteArray line;
            for (qsizetype i = 0; i < 32; ++i) {
                const qsizetype at = k * 32 + i;
                const uint8_t b = at < image.size() ? bytes[at] : spec.filler;
                sum += b;
                line += hex2(b);
            }
            out.dumpLines += line + hex2(sum) + "\r\n";
        }
    }
    const QByteArray header = out.oldFormat ? "ORBEL-QUIST Protokoll\r\n\r\n" : "ORBEL-QUIST Protokoll\r\n";
    out.protocolAnswer = "\r\n" + header + out.dumpLines;

    QByteArray& d = out.deviceDump;
    d = "v\r\n" + rec + "\r\n";
    if (!out.hwInfoAnswer.isEmpty())
        d += "h\r\n" + out.hwInfoAnswer;
    if (!out.statcAnswer.isEmpty())
        d += "s\r\n" + out.statcAnswer;
    if (!out.calibrationAnswer.isEmpty())
        d += "c\r\n" + out.calibrationAnswer;
    d += "b\r\n" + header + out.dumpLines;
    return out;
}

DumpSpec fullMemorySpec()
{
    DumpSpec spec;
    spec.events = {DumpEvent::interval(60), DumpEvent::timeMark({2024, 5, 1, 12, 0, 0})};
    for (int i = 0; i < 32762; ++i)
        spec.events.push_back(DumpEvent::count(uint64_t(20 + i % 11)));
    return spec;
}

} // namespace oq::sim
