#include "DoseRateText.h"

#include <cstdint>
#include <cstring>

#include "platform/CLocale.h"

namespace {

// printf is the costly part of an export's row, so "%.6f" is done here with whole numbers: the
// double is m * 2^e exactly, and m * 10^6 fits 128 bits, so the rounding (to nearest, ties to even,
// as the C library rounds) is exact. Values of 2^53 and more, infinities and NaN go to printf.
bool appendFixed6(std::string& out, double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = int(bits >> 52) & 0x7FF;
    const std::uint64_t fraction = bits & ((std::uint64_t(1) << 52) - 1);
    if (biased == 0x7FF)
        return false;
    const std::uint64_t mantissa = biased == 0 ? fraction : fraction | (std::uint64_t(1) << 52);
    const int exponent = biased == 0 ? -1074 : biased - 1075;
    if (exponent > 0)
        return false;
    using U128 = unsigned __int128;
    const U128 scaled = U128(mantissa) * 1000000u;
    const int shift = -exponent;
    U128 millionths = 0;
    if (shift == 0) {
        millionths = scaled;
    } else if (shift < 128) {
        millionths = scaled >> shift;
        const U128 rest = scaled & ((U128(1) << shift) - 1);
        const U128 half = U128(1) << (shift - 1);
        if (rest > half || (rest == half && (millionths & 1)))
            ++millionths;
    } // else below 2^-54 millionths: rounds to zero

    char text[40];
    char* end = text + sizeof text;
    char* p = end;
    std::uint64_t decimals = std::uint64_t(millionths % 1000000u);
    for (int i = 0; i < 6; ++i) {
        *--p = char('0' + decimals % 10);
        decimals /= 10;
    }
    *--p = '.';
    std::uint64_t whole = std::uint64_t(millionths / 1000000u);
    do {
        *--p = char('0' + whole % 10);
        whole /= 10;
    } while (whole > 0);
    if (bits >> 63)
        *--p = '-';
    out.append(p, size_t(end - p));
    return true;
}

} // namespace

void appendDoseRateText(std::string& out, double rate)
{
    if (!appendFixed6(out, rate))
        out += oq::cFormat("%.6f", rate);
}

QString doseRateText(double rate)
{
    std::string text;
    appendDoseRateText(text, rate);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}
