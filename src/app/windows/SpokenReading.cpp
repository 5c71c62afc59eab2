#include "SpokenReading.h"

#include "platform/StringTable.h"

using oq::localized;

// A symbol it does not know is said as it is written.
QString spokenUnit(QString symbol)
{
    const bool perHour = symbol.endsWith(QLatin1String("/h"));
    if (perHour)
        symbol.chop(2);
    QString prefixKey;
    if (symbol.startsWith(QChar(0x03BC)) || symbol.startsWith(QChar(0x00B5))) {
        prefixKey = QStringLiteral("ui.a11y.micro");
        symbol.remove(0, 1);
    } else if (symbol.size() > 1 && symbol.startsWith(QLatin1Char('m'))) {
        prefixKey = QStringLiteral("ui.a11y.milli");
        symbol.remove(0, 1);
    }
    if (symbol == QLatin1String("Sv"))
        symbol = QStringLiteral("sievert");
    else if (symbol != QLatin1String("rem"))
        return perHour ? symbol + QLatin1String("/h") : symbol;
    QString word = prefixKey.isEmpty() ? symbol : localized(prefixKey).arg(symbol);
    return perHour ? localized(QStringLiteral("ui.a11y.per_hour")).arg(word) : word;
}

QString levelWord(ColorManager::Level level)
{
    switch (level) {
    case ColorManager::Level::Warning: return localized(QStringLiteral("ui.a11y.level.warning"));
    case ColorManager::Level::Danger: return localized(QStringLiteral("ui.a11y.level.danger"));
    case ColorManager::Level::Normal: break;
    }
    return localized(QStringLiteral("ui.a11y.level.normal"));
}

QString spokenValue(const QString& displayText)
{
    const QString text = displayText.trimmed();
    const qsizetype space = text.lastIndexOf(QLatin1Char(' '));
    if (text.isEmpty() || space <= 0 || text.startsWith(QLatin1String("---")))
        return {};
    return localized(QStringLiteral("ui.a11y.value")).arg(text.left(space), spokenUnit(text.mid(space + 1)));
}

QString spokenReading(const QString& displayText, ColorManager::Level level)
{
    const QString value = spokenValue(displayText);
    if (value.isEmpty())
        return localized(QStringLiteral("ui.a11y.no_reading"));
    return localized(QStringLiteral("ui.a11y.reading")).arg(value, levelWord(level));
}
