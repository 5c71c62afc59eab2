#pragma once
// A failure handed to completions and out-parameters: domain, code and user info.
#include <QMetaType>
#include <QString>
#include <QVariantMap>

namespace oq {

// User-info keys keep the names the rest of the system uses for them.
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* NSLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr const char* NSLocalizedRecoveryOptionsErrorKey = "NSLocalizedRecoveryOptions";
inline constexpr const char* NSRecoveryAttempterErrorKey = "NSRecoveryAttempter";
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";

class ErrorRecord {
public:
    ErrorRecord() = default;
    ErrorRecord(QString domain, int code, QVariantMap userInfo = {});

    const QString& domain() const { return m_domain; }
    int code() const { return m_code; }
    const QVariantMap& userInfo() const { return m_userInfo; }

    // The description entry, or a generic text naming domain and code when there is none.
    QString localizedDescription() const;
    QString localizedFailureReason() const;
    QString localizedRecoverySuggestion() const;
    QStringList localizedRecoveryOptions() const;
    // The underlying error, when the user info holds one.
    bool hasUnderlyingError() const;
    ErrorRecord underlyingError() const;

    // A new record with the same domain and code; the given entries replace existing ones.
    ErrorRecord errorByAddingUserInfo(const QVariantMap& extra) const;

    bool operator==(const ErrorRecord& other) const;

private:
    QString m_domain;
    int m_code = 0;
    QVariantMap m_userInfo;
};

} // namespace oq

Q_DECLARE_METATYPE(oq::ErrorRecord)
