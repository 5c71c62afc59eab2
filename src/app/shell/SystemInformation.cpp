#include "SystemInformation.h"

#include <QRegularExpression>

#include <sys/utsname.h>

#include "app/BuildInfo.h"

QString SystemInformation::versionFromRelease(const QString& release)
{
    static const QRegularExpression re(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const auto m = re.match(release);
    if (!m.hasMatch())
        return QStringLiteral("0.0.0");
    auto part = [&](int i) { return m.captured(i).isEmpty() ? QStringLiteral("0") : QString::number(m.captured(i).toLongLong()); };
    return QStringLiteral("%1.%2.%3").arg(part(1), part(2), part(3));
}

QString SystemInformation::osVersion()
{
    struct utsname u {};
    if (uname(&u) != 0)
        return QStringLiteral("0.0.0");
    return versionFromRelease(QString::fromLatin1(u.release));
}

QString SystemInformation::appVersion()
{
    return QStringLiteral("%1 (%2)").arg(QStringLiteral(OQ_VERSION), QStringLiteral(OQ_BUILD_NUMBER));
}
