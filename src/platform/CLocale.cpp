#include "CLocale.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
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

std::optional<ShortestDigits> shortestDigits(double value, bool single)
{
    char text[48]; // "-1.2345e+02"
    const auto result = single ? std::to_chars(text, text + sizeof text, static_cast<float>(value), std::chars_format::scientific)
                               : std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    if ((single ? !std::isfinite(static_cast<float>(value)) : !std::isfinite(value)) || result.ec != std::errc())
        return std::nullopt;
    ShortestDigits d;
    const char* p = text;
    d.negative = *p == '-';
    p += d.negative;
    for (; *p != 'e'; ++p)
        if (*p != '.')
            d.digits[d.count++] = *p;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), result.ptr, d.point);
    ++d.point;
    return d;
}

char* writeDecimal(const ShortestDigits& d, char* out)
{
    if (d.negative)
        *out++ = '-';
    if (d.point <= 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -d.point, '0');
        return std::copy(d.digits, d.digits + d.count, out);
    }
    for (int i = 0; i < std::max(d.point, d.count); ++i) {
        if (i == d.point)
            *out++ = '.';
        *out++ = i < d.count ? d.digits[i] : '0';
    }
    return out;
}

QByteArray singlePrecisionText(double value)
{
    // The reading has single precision; the conversion to μSv adds digits it never had. Beyond
    // single precision's range (a hostile line), the double as it is.
    const auto digits = shortestDigits(value, true);
    if (!digits)
        return QByteArray::number(value, 'g', 17);
    char text[64];
    return QByteArray(text, writeDecimal(*digits, text) - text);
}

} // namespace oq
