#include "ErrorRecord.h"

namespace oq {

ErrorRecord::ErrorRecord(QString domain, int code, QVariantMap userInfo)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_userInfo(std::move(userInfo))
{
}

QString ErrorRecord::localizedDescription() const
{
    const auto it = m_userInfo.constFind(NSLocalizedDescriptionKey);
    if (it != m_userInfo.constEnd())
        return it->toString();
    return QStringLiteral("The operation couldn't be completed. (%1 error %2.)").arg(m_domain).arg(m_code);
}

QString ErrorRecord::localizedFailureReason() const { return m_userInfo.value(NSLocalizedFailureReasonErrorKey).toString(); }

QString ErrorRecord::localizedRecoverySuggestion() const
{
    return m_userInfo.value(NSLocalizedRecoverySuggestionErrorKey).toString();
}

QStringList ErrorRecord::localizedRecoveryOptions() const
{
    return m_userInfo.value(NSLocalizedRecoveryOptionsErrorKey).toStringList();
}

bool ErrorRecord::hasUnderlyingError() const
{
    return m_userInfo.value(NSUnderlyingErrorKey).canConvert<ErrorRecord>();
}

ErrorRecord ErrorRecord::underlyingError() const { return m_userInfo.value(NSUnderlyingErrorKey).value<ErrorRecord>(); }

ErrorRecord ErrorRecord::errorByAddingUserInfo(const QVariantMap& extra) const
{
    QVariantMap merged = m_userInfo;
    for (auto it = extra.constBegin(); it != extra.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    return ErrorRecord(m_domain, m_code, merged);
}

bool ErrorRecord::operator==(const ErrorRecord& other) const
{
    return m_domain == other.m_domain && m_code == other.m_code && m_userInfo == other.m_userInfo;
}

} // namespace oq
