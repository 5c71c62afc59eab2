#include "LGFormatters.h"

std::optional<QString> LGLogFileFormatterDefault::formatLogMessage(const LGLogMessage& message) const
{
    return QStringLiteral("%1  %2").arg(stringFromDate(message.timestamp), message.message);
}

QString LGLogFileFormatterDefault::stringFromDate(const QDateTime& date)
{
    return date.toUTC().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss:zzz"));
}

void LGLoggingContextSet::addToSet(long context)
{
    std::lock_guard lock(m_mutex);
    m_set.insert(context);
}

void LGLoggingContextSet::removeFromSet(long context)
{
    std::lock_guard lock(m_mutex);
    m_set.erase(context);
}

bool LGLoggingContextSet::isInSet(long context) const
{
    std::lock_guard lock(m_mutex);
    return m_set.contains(context);
}

std::set<long> LGLoggingContextSet::currentSet() const
{
    std::lock_guard lock(m_mutex);
    return m_set;
}

std::optional<QString> LGContextDenylistFilterLogFormatter::formatLogMessage(const LGLogMessage& message) const
{
    if (isOnDenylist(message.context))
        return std::nullopt;
    return message.message;
}
