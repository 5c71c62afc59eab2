#include "CLocale.h"

#include <QByteArray>
#include <QString>

#include <clocale>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace oq {
namespace {

locale_t cLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return c;
}

// Switches this thread alone to the C locale for one call; other threads keep theirs.
class ThreadInCLocale {
public:
    ThreadInCLocale() : m_previous(uselocale(cLocale())) {}
    ~ThreadInCLocale() { uselocale(m_previous); }
    ThreadInCLocale(const ThreadInCLocale&) = delete;
    ThreadInCLocale& operator=(const ThreadInCLocale&) = delete;

private:
    locale_t m_previous;
};

} // namespace

int cVsnprintf(char* buffer, std::size_t size, const char* format, va_list args)
{
    ThreadInCLocale c;
    return std::vsnprintf(buffer, size, format, args);
}

int cSnprintf(char* buffer, std::size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = cVsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

std::string cFormat(const char* format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    char small[128];
    const int n = cVsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string out;
    if (n < 0) {
        va_end(again);
        return out;
    }
    if (std::size_t(n) < sizeof small) {
        out.assign(small, std::size_t(n));
    } else {
        out.resize(std::size_t(n) + 1);
        cVsnprintf(out.data(), out.size(), format, again);
        out.resize(std::size_t(n));
    }
    va_end(again);
    return out;
}

const char* cStrerror(int error) { return strerror_l(error, cLocale()); }

double cStrtod(const char* text, const char** end)
{
    char* stop = nullptr;
    const double v = strtod_l(text, &stop, cLocale());
    if (end)
        *end = stop;
    return v;
}

std::optional<double> readDecimal(QStringView text)
{
    const QStringView t = text.trimmed();
    if (t.isEmpty() || t.size() > 64 || t.contains(QChar(0)))
        return std::nullopt;
    QByteArray bytes = t.toLatin1();
    // Settings written by a German build of an earlier version carry a decimal comma.
    if (!bytes.contains('.') && bytes.count(',') == 1)
        bytes.replace(',', '.');
    const char* end = nullptr;
    const double v = cStrtod(bytes.constData(), &end);
    if (end == bytes.constData() || *end != '\0' || !std::isfinite(v))
        return std::nullopt;
    return v;
}

QByteArray singlePrecisionText(double value)
{
    // The reading has single precision; the conversion to μSv adds digits it never had. The
    // shortest digits that give back the same float, written out without exponent.
    // Beyond single precision's range (a hostile line), the double as it is.
    if (!std::isfinite(static_cast<float>(value)))
        return QByteArray::number(value, 'g', 17);
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value), std::chars_format::scientific);
    if (result.ec != std::errc())
        return QByteArray::number(value, 'g', 9);
    const QByteArray text(buffer, result.ptr - buffer); // "-1.2345e+02"
    const qsizetype e = text.indexOf('e');
    const bool negative = text.startsWith('-');
    QByteArray digits = text.mid(negative ? 1 : 0, e - (negative ? 1 : 0));
    digits.replace(".", "");
    const qsizetype point = 1 + text.mid(e + 1).toInt(); // digits before the decimal point
    QByteArray out;
    if (point <= 0)
        out = "0." + QByteArray(-point, '0') + digits;
    else if (point >= digits.size())
        out = digits + QByteArray(point - digits.size(), '0');
    else
        out = digits.left(point) + '.' + digits.mid(point);
    return negative ? '-' + out : out;
}

} // namespace oq
