#include "StringTable.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMutex>

static void initStringResources() { Q_INIT_RESOURCE(strings); }

namespace oq {
namespace {

QMutex g_mutex;
QString g_override;
QHash<QString, QHash<QString, QString>> g_tables;

const QHash<QString, QString>& table(const QString& language)
{
    auto it = g_tables.find(language);
    if (it != g_tables.end())
        return *it;
    initStringResources();
    QHash<QString, QString> entries;
    QFile file(QStringLiteral(":/strings/%1.json").arg(language));
    if (file.open(QIODevice::ReadOnly)) {
        const auto object = QJsonDocument::fromJson(file.readAll()).object();
        for (auto e = object.begin(); e != object.end(); ++e)
            entries.insert(e.key(), e.value().toString());
    }
    return *g_tables.insert(language, entries);
}

QString localeLanguage()
{
    for (const char* var : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(var);
        if (!value.isEmpty() && value != QLatin1String("C") && value != QLatin1String("POSIX"))
            return value.section(QLatin1Char(':'), 0, 0).left(2).toLower();
    }
    return QLocale().name().left(2);
}

} // namespace

QString currentLanguage()
{
    QMutexLocker lock(&g_mutex);
    const QString lang = g_override.isEmpty() ? localeLanguage() : g_override;
    return availableLanguages().contains(lang) ? lang : QStringLiteral("en");
}

void setLanguage(const QString& language)
{
    QMutexLocker lock(&g_mutex);
    g_override = language;
}

QStringList availableLanguages() { return {QStringLiteral("en"), QStringLiteral("de")}; }

QString localized(const QString& key)
{
    const QString lang = currentLanguage();
    QMutexLocker lock(&g_mutex);
    const auto& own = table(lang);
    auto it = own.constFind(key);
    if (it != own.constEnd())
        return *it;
    const auto& english = table(QStringLiteral("en"));
    return english.value(key);
}

} // namespace oq
