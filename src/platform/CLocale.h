#pragma once
// Texts for machines and files (settings, colour archives, stored dumps, event text, logs,
// oqtool's output) and numbers read from the counter, files or settings, the same whatever locale
// the process runs in. Qt switches the C library to the user's locale at start, so printf-family
// floating-point conversions and strtod would write and read decimal commas under German. This is
// the only place that calls them; scripts/check-locale-free fails the tests when they appear
// elsewhere. Texts for people on screen go through QLocale instead.
#include <QByteArray>
#include <QStringView>

#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>

namespace oq {

// snprintf / vsnprintf as in the "C" locale: a decimal point, ties rounded on the exact binary value.
int cSnprintf(char* buffer, std::size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
int cVsnprintf(char* buffer, std::size_t size, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
std::string cFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// strerror as in the "C" locale: the log reads the same in every language.
const char* cStrerror(int error);

// strtod as in the "C" locale: the number `text` starts with; `end` is set past it.
double cStrtod(const char* text, const char** end = nullptr);

// A whole stored number written with a decimal point or a decimal comma ("2.5", "2,5", " 1e-3 ");
// none for anything else, and for infinities and NaN.
std::optional<double> readDecimal(QStringView text);

// A value that has single precision (the counter's readings; their conversion to μSv adds digits
// they never had): the shortest digits that give back the same float, without exponent. Beyond
// single precision's range, the double as it is.
QByteArray singlePrecisionText(double value);

// The shortest digits that give back `value` (as a float when `single`): value = 0.DIGITS × 10^point,
// signed. Nothing when it is not finite in that precision. For writers that must not allocate.
struct ShortestDigits {
    bool negative = false;
    char digits[24] = {};
    int count = 0;
    int point = 0; // digits before the decimal point; 0 or less: zeros after it first
};
std::optional<ShortestDigits> shortestDigits(double value, bool single);
// The digits without exponent ("0.00012", "1200", "3.25"); `out` holds point + count + 3 bytes,
// 64 for any float. The end.
char* writeDecimal(const ShortestDigits& d, char* out);

} // namespace oq
