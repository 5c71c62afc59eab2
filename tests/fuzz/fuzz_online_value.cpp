// libFuzzer target: one online line through the value reader, then through the display texts,
// and the same bytes as a typed threshold.
#include <QLocale>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "readings/NumberFormatter.h"
#include "readings/ValueTransformers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));

    DeviceOnlineOutputValueTransformer reader;
    const std::optional<double> value = reader.transformedValue(line);
    if (value.has_value() != !reader.unit().isNull())
        std::abort();
    if (value && (*value < 0 || std::isnan(*value)))
        std::abort(); // no sign in the patterns: a reading is never negative
    // A reading comes only from a line of the counter's own characters with one decimal comma:
    // noise glued to a value, or a character marked for a parity error, is a garbled line.
    static const QString counterCharacters = QStringLiteral("0123456789, \tumsvrehUMSVREH/\r\n");
    if (value && (line.count(QLatin1Char(',')) != 1
                     || std::any_of(line.begin(), line.end(), [](QChar c) { return !counterCharacters.contains(c); })))
        std::abort();

    static const QLocale locales[] = {QLocale(QStringLiteral("en_US")), QLocale(QStringLiteral("de_DE")),
        QLocale(QStringLiteral("fr_FR"))};
    for (const QLocale& locale : locales) {
        QLocale::setDefault(locale);
        DoseRateValueTransformer rate(reader.unit());
        DoseValueTransformer dose(QStringLiteral("Sv"));
        if (rate.transformedValue(value).isEmpty() || dose.transformedValue(value).isEmpty())
            std::abort();

        oq::FloatingPointFormatter typed(locale);
        double number = 0;
        if (typed.getObjectValue(&number, line, nullptr)) {
            if (!std::isfinite(number))
                std::abort();
            // What the field shows must read back as a number again.
            double again = 0;
            if (!typed.getObjectValue(&again, typed.stringForObjectValue(number), nullptr))
                std::abort();
        }
    }
    return 0;
}
