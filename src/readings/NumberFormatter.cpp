#include "NumberFormatter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "platform/StringTable.h"

namespace oq {
namespace {

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Rounds the decimal fraction `frac` to `keep` digits, half to even, carrying into `whole`.
void roundHalfEven(std::string& whole, std::string& frac, int keep)
{
    if (int(frac.size()) <= keep)
        return;
    const char first = frac[size_t(keep)];
    bool up = first > '5';
    if (first == '5') {
        const bool beyondHalf = std::any_of(frac.begin() + keep + 1, frac.end(), [](char c) { return c != '0'; });
        const char last = keep > 0 ? frac[size_t(keep - 1)] : whole.back();
        up = beyondHalf || (last - '0') % 2 == 1;
    }
    frac.resize(size_t(keep));
    if (!up)
        return;
    for (auto it = frac.rbegin(); it != frac.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    for (auto it = whole.rbegin(); it != whole.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    whole.insert(whole.begin(), '1');
}

} // namespace

NumberFormatter::NumberFormatter(const QLocale& locale) { setLocale(locale); }

void NumberFormatter::setLocale(const QLocale& locale)
{
    m_locale = locale;
    m_decimalSeparator = locale.decimalPoint();
    m_groupingSeparator = locale.groupSeparator();
}

void NumberFormatter::setMinimumFractionDigits(int digits)
{
    m_minFraction = std::clamp(digits, 0, 40);
    m_maxFraction = std::max(m_maxFraction, m_minFraction);
}

void NumberFormatter::setMaximumFractionDigits(int digits)
{
    m_maxFraction = std::clamp(digits, 0, 40);
    m_minFraction = std::min(m_minFraction, m_maxFraction);
}

QString NumberFormatter::stringFromNumber(double value) const
{
    if (std::isnan(value))
        return m_nanSymbol;
    const QString minus = m_locale.negativeSign();
    if (std::isinf(value))
        return value < 0 ? minus + QChar(0x221E) : QString(QChar(0x221E));

    // The shortest digits that read back as `value`, then decimal rounding on those digits.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    const std::string sci(buf, res.ptr);
    const size_t e = sci.find('e');
    std::string digits = sci.substr(0, e);
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    const int pointPos = std::stoi(sci.substr(e + 1)) + 1;

    std::string whole, frac;
    if (pointPos <= 0) {
        whole = "0";
        frac = std::string(size_t(-pointPos), '0') + digits;
    } else if (pointPos >= int(digits.size())) {
        whole = digits + std::string(size_t(pointPos) - digits.size(), '0');
    } else {
        whole = digits.substr(0, size_t(pointPos));
        frac = digits.substr(size_t(pointPos));
    }
    roundHalfEven(whole, frac, m_maxFraction);
    while (int(frac.size()) > m_minFraction && frac.back() == '0')
        frac.pop_back();
    if (int(frac.size()) < m_minFraction)
        frac.append(size_t(m_minFraction) - frac.size(), '0');

    const bool isZero = whole.find_first_not_of('0') == std::string::npos
        && frac.find_first_not_of('0') == std::string::npos;
    QString out;
    if (value < 0 && !isZero)
        out += minus;
    const QString wholeText = QString::fromLatin1(whole.data(), qsizetype(whole.size()));
    if (m_usesGrouping && !m_groupingSeparator.isEmpty()) {
        const qsizetype n = wholeText.size();
        for (qsizetype i = 0; i < n; ++i) {
            if (i > 0 && (n - i) % 3 == 0)
                out += m_groupingSeparator;
            out += wholeText[i];
        }
    } else {
        out += wholeText;
    }
    if (!frac.empty())
        out += m_decimalSeparator + QString::fromLatin1(frac.data(), qsizetype(frac.size()));
    return out;
}

std::optional<double> NumberFormatter::numberFromString(const QString& text) const
{
    const QString s = text.trimmed();
    qsizetype i = 0;
    const qsizetype n = s.size();
    std::string c;

    auto startsWithAt = [&](const QString& token) { return !token.isEmpty() && QStringView(s).mid(i).startsWith(token); };
    if (startsWithAt(m_locale.negativeSign()) || startsWithAt(QStringLiteral("-"))) {
        c += '-';
        i += startsWithAt(m_locale.negativeSign()) ? m_locale.negativeSign().size() : 1;
    } else if (startsWithAt(m_locale.positiveSign()) || startsWithAt(QStringLiteral("+"))) {
        i += startsWithAt(m_locale.positiveSign()) ? m_locale.positiveSign().size() : 1;
    }

    // Typed grouping with a plain space stands in for the no-break spaces some locales group with.
    const bool spaceGroups = m_groupingSeparator == QString(QChar(0x00A0)) || m_groupingSeparator == QString(QChar(0x202F));
    auto groupAt = [&]() -> qsizetype {
        if (!m_usesGrouping || m_groupingSeparator.isEmpty())
            return 0;
        if (startsWithAt(m_groupingSeparator))
            return m_groupingSeparator.size();
        if (spaceGroups && i < n && s[i] == QLatin1Char(' '))
            return 1;
        return 0;
    };

    int digitCount = 0;
    int firstGroup = 0;
    bool grouped = false;
    while (i < n) {
        if (isDigit(s[i])) {
            c += char(s[i].unicode());
            ++digitCount;
            if (!grouped)
                ++firstGroup;
            ++i;
            continue;
        }
        const qsizetype sep = groupAt();
        if (sep == 0 || digitCount == 0)
            break;
        // A group separator must be followed by exactly three digits.
        const qsizetype j = i + sep;
        if (j + 3 > n || !isDigit(s[j]) || !isDigit(s[j + 1]) || !isDigit(s[j + 2]) || (j + 3 < n && isDigit(s[j + 3])))
            return std::nullopt;
        grouped = true;
        i = j;
        for (int k = 0; k < 3; ++k)
            c += char(s[i++].unicode());
        digitCount += 3;
    }
    if (grouped && firstGroup > 3)
        return std::nullopt;

    if (startsWithAt(m_decimalSeparator)) {
        i += m_decimalSeparator.size();
        c += '.';
        while (i < n && isDigit(s[i])) {
            c += char(s[i++].unicode());
            ++digitCount;
        }
    }
    if (digitCount == 0)
        return std::nullopt;
    if (i < n && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E'))) {
        c += 'e';
        ++i;
        if (i < n && (s[i] == QLatin1Char('-') || s[i] == QLatin1Char('+')))
            c += char(s[i++].unicode());
        const qsizetype start = i;
        while (i < n && isDigit(s[i]))
            c += char(s[i++].unicode());
        if (i == start)
            return std::nullopt;
    }
    if (i != n)
        return std::nullopt;

    double value = 0;
    const auto res = std::from_chars(c.data(), c.data() + c.size(), value);
    if (res.ec != std::errc() || res.ptr != c.data() + c.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

FloatingPointFormatter::FloatingPointFormatter(const QLocale& locale)
    : NumberFormatter(locale)
{
}

bool FloatingPointFormatter::isPartialStringValid(const QString&, QString*, QString*) const { return true; }

bool FloatingPointFormatter::getObjectValue(double* value, const QString& text, QString* errorDescription) const
{
    std::optional<double> number = numberFromString(text);
    if (!number) {
        QString relaxed = text;
        relaxed.replace(QLatin1Char('.'), decimalSeparator());
        relaxed.replace(QLatin1Char(','), decimalSeparator());
        number = numberFromString(relaxed);
    }
    if (!number) {
        if (errorDescription)
            *errorDescription = localized(QStringLiteral("preferences.invalid_number")).arg(text.trimmed());
        return false;
    }
    if (value)
        *value = *number;
    return true;
}

} // namespace oq
