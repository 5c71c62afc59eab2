#include "ValueTransformers.h"

#include "logging/Log.h"

namespace {

const QString kSv = QStringLiteral("Sv");
const QString kRem = QStringLiteral("rem");

// The whole line, as the counter sends it: number, blanks, prefix, unit, "/h" of a rate, line end.
// Anything else on the line (noise glued to the digits, a second value, a character the driver
// marked "?" for a parity error) makes it a garbled line, not a reading.
QRegularExpression onlinePattern()
{
    QRegularExpression re(QStringLiteral("\\A([0-9]*,[0-9]*)[ \\t]*([um]?)(Sv|rem)(?:/h)?(?:\\r\\n)?\\z"),
        QRegularExpression::CaseInsensitiveOption);
    if (!re.isValid())
        LGLogError("online value pattern does not compile: %@", re.errorString());
    return re;
}

} // namespace

DeviceOnlineOutputValueTransformer::DeviceOnlineOutputValueTransformer(QObject* parent)
    : QObject(parent)
    , m_formatter(QLocale::c())
    , m_pattern(onlinePattern())
{
    m_formatter.setDecimalSeparator(QStringLiteral(","));
    m_formatter.setUsesGroupingSeparator(false);
}

void DeviceOnlineOutputValueTransformer::setUnit(const QString& unit)
{
    if (unit == m_unit && unit.isNull() == m_unit.isNull())
        return;
    m_unit = unit;
    emit unitChanged();
}

std::optional<double> DeviceOnlineOutputValueTransformer::transformedValue(const std::optional<QString>& line)
{
    if (!line)
        return 0.0;

    const QRegularExpressionMatch match = m_pattern.match(*line);
    if (!match.hasMatch()) {
        setUnit(QString());
        return std::nullopt;
    }
    const bool sievert = match.captured(3).compare(kSv, Qt::CaseInsensitive) == 0;
    const double factor = sievert ? 1.0 : remFactor;
    setUnit(sievert ? kSv : kRem);

    const double n = double(float(m_formatter.numberFromString(match.captured(1)).value_or(0.0)));
    // The patterns ignore case, so "U" and "M" arrive here too; they mean what their lower-case forms mean.
    const QString prefix = match.captured(2).toLower();
    if (prefix == QLatin1String("u"))
        return n * factor;
    if (prefix == QLatin1String("m"))
        return n * 1000 * factor;
    return factor * (n * 1000000);
}

DisplayValueTransformer::DisplayValueTransformer(const QString& unit, const QString& suffix)
{
    const bool sievert = unit == kSv;
    const QString word = sievert ? kSv : kRem;
    m_valueFactor = sievert ? 1.0f : 100.0f;
    m_singleFormat = QStringLiteral("%@ ") + word + suffix;
    m_milliFormat = QStringLiteral("%@ m") + word + suffix;
    m_microFormat = QStringLiteral("%@ ") + QChar(0x03BC) + word + suffix;
    m_numberFormatter.setNotANumberSymbol(QStringLiteral("---"));
    m_numberFormatter.setMaximumFractionDigits(3);
    m_numberFormatter.setMinimumFractionDigits(sievert ? 3 : 1);
}

QString DisplayValueTransformer::transformedValue(std::optional<double> microValue) const
{
    if (!microValue)
        return QStringLiteral("---");
    const float v = float(*microValue) * m_valueFactor;
    double number = v;
    QString format = m_microFormat;
    if (v > 1000000.0f) {
        number = double(v) / 1000000.0;
        format = m_singleFormat;
    } else if (v > 1000.0f) {
        number = double(v) / 1000.0;
        format = m_milliFormat;
    }
    return QString(format).replace(QStringLiteral("%@"), m_numberFormatter.stringFromNumber(number));
}

DoseRateValueTransformer::DoseRateValueTransformer()
    : DoseRateValueTransformer(QString())
{
}

DoseRateValueTransformer::DoseRateValueTransformer(const QString& unit)
    : DisplayValueTransformer(unit, QStringLiteral("/h"))
{
}

DoseValueTransformer::DoseValueTransformer()
    : DoseValueTransformer(QString())
{
}

DoseValueTransformer::DoseValueTransformer(const QString& unit)
    : DisplayValueTransformer(unit, QString())
{
}
