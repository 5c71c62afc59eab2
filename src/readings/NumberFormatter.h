#pragma once
// Locale-aware decimal numbers for the display and the threshold fields.
//
// Output rounds the shortest decimal form of the number half to even (0.0125 -> 0.012 with three
// fraction digits), the way the desktop's ICU-based formatters do, rather than rounding the exact
// binary value. Input is strict: group separators only in their proper places, so "1,5" is not
// fifteen in English.
#include <QLocale>
#include <QString>

#include <optional>

namespace oq {

class NumberFormatter {
public:
    // Decimal style in `locale`: grouping on, 0 to 3 fraction digits, "NaN" for not-a-number.
    explicit NumberFormatter(const QLocale& locale = QLocale());
    virtual ~NumberFormatter() = default;

    const QLocale& locale() const { return m_locale; }
    // Also resets the decimal and group separators to the locale's.
    void setLocale(const QLocale& locale);

    QString decimalSeparator() const { return m_decimalSeparator; }
    void setDecimalSeparator(const QString& separator) { m_decimalSeparator = separator; }
    QString groupingSeparator() const { return m_groupingSeparator; }
    void setGroupingSeparator(const QString& separator) { m_groupingSeparator = separator; }
    bool usesGroupingSeparator() const { return m_usesGrouping; }
    void setUsesGroupingSeparator(bool uses) { m_usesGrouping = uses; }
    int minimumFractionDigits() const { return m_minFraction; }
    void setMinimumFractionDigits(int digits);
    int maximumFractionDigits() const { return m_maxFraction; }
    void setMaximumFractionDigits(int digits);
    QString notANumberSymbol() const { return m_nanSymbol; }
    void setNotANumberSymbol(const QString& symbol) { m_nanSymbol = symbol; }

    QString stringFromNumber(double value) const;
    // None for anything but one whole, finite number (surrounding white space is allowed).
    std::optional<double> numberFromString(const QString& text) const;

private:
    QLocale m_locale;
    QString m_decimalSeparator;
    QString m_groupingSeparator;
    bool m_usesGrouping = true;
    int m_minFraction = 0;
    int m_maxFraction = 3;
    QString m_nanSymbol = QStringLiteral("NaN");
};

// The number format of the threshold fields: the user's locale, and when its rules fail, a second
// reading with "." and "," both taken as the decimal mark, so either mark works in any language.
class FloatingPointFormatter : public NumberFormatter {
public:
    explicit FloatingPointFormatter(const QLocale& locale = QLocale());

    // Every partial text is acceptable while the user types; the check comes on commit.
    bool isPartialStringValid(const QString& partial, QString* newEditingString, QString* errorDescription) const;
    // False, with a description for the user, when `text` is not a number.
    bool getObjectValue(double* value, const QString& text, QString* errorDescription) const;
    QString stringForObjectValue(double value) const { return stringFromNumber(value); }
};

} // namespace oq
