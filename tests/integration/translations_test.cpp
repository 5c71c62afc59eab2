// The English and German string tables: the same keys, the same placeholders, every key the code
// asks for, and the language following the user's locale.
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include "platform/StringTable.h"

namespace {

QString sourceDir() { return qEnvironmentVariable("OQ_SOURCE_DIR", QStringLiteral(OQ_SOURCE_DIR_DEFAULT)); }

QJsonObject table(const char* language)
{
    QFile f(sourceDir() + QStringLiteral("/resources/strings/%1.json").arg(QLatin1String(language)));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << f.fileName().toStdString();
    QJsonParseError error;
    const auto doc = QJsonDocument::fromJson(f.readAll(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << language << ": " << error.errorString().toStdString();
    return doc.object();
}

// "%1", "%2", ...: .arg() fills them by number, so a text with one missing shows a raw "%2".
QSet<QString> placeholders(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("%\\d+"));
    QSet<QString> found;
    for (auto it = re.globalMatch(text); it.hasNext();)
        found.insert(it.next().captured());
    return found;
}

TEST(Translations, BothLanguagesHaveEveryKeyWithTheSamePlaceholders)
{
    const QJsonObject en = table("en"), de = table("de");
    ASSERT_FALSE(en.isEmpty());
    for (const QString& key : en.keys()) {
        ASSERT_TRUE(de.contains(key)) << "no German text for " << key.toStdString();
        const QString e = en.value(key).toString(), d = de.value(key).toString();
        EXPECT_FALSE(d.trimmed().isEmpty()) << key.toStdString();
        EXPECT_EQ(placeholders(e), placeholders(d)) << key.toStdString();
        // Menu entries keep a keyboard accelerator in both languages.
        EXPECT_EQ(e.count(QLatin1Char('&')) > 0, d.count(QLatin1Char('&')) > 0) << key.toStdString();
    }
    for (const QString& key : de.keys())
        EXPECT_TRUE(en.contains(key)) << "no English text for " << key.toStdString();
}

TEST(Translations, EveryKeyTheCodeAsksForExists)
{
    const QJsonObject en = table("en"), de = table("de");
    // Localisation keys are dotted lower case under these roots; file names are not keys.
    static const QRegularExpression key(QStringLiteral(R"re("((?:ui|errors|preferences|device|oqtool)(?:\.[a-z0-9_]+)+)")re"));
    static const QRegularExpression fileName(QStringLiteral(R"(\.(log|json|csv|txt|conf|oqdump)$)"));
    int found = 0;
    for (const char* folder : {"src", "tools"}) {
        QDirIterator it(sourceDir() + QLatin1Char('/') + QLatin1String(folder), {QStringLiteral("*.cpp"), QStringLiteral("*.h")},
            QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            const QString code = QString::fromUtf8(f.readAll());
            for (auto m = key.globalMatch(code); m.hasNext();) {
                const QString k = m.next().captured(1);
                if (fileName.match(k).hasMatch())
                    continue;
                ++found;
                EXPECT_TRUE(en.contains(k) && de.contains(k)) << k.toStdString() << " used in " << f.fileName().toStdString();
            }
        }
    }
    EXPECT_GT(found, 50); // the scan found the code
}

TEST(Translations, LanguageFollowsTheLocale)
{
    const char* vars[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    QList<QByteArray> saved;
    for (const char* v : vars) {
        saved << qgetenv(v);
        qunsetenv(v);
    }
    oq::setLanguage({});
    const QString key = QStringLiteral("errors.recovery_option_cancel");

    qputenv("LANG", "de_DE.UTF-8");
    EXPECT_EQ(oq::currentLanguage(), QStringLiteral("de"));
    EXPECT_EQ(oq::localized(key), QStringLiteral("Abbrechen"));
    qputenv("LC_MESSAGES", "en_GB.UTF-8"); // more specific than LANG
    EXPECT_EQ(oq::currentLanguage(), QStringLiteral("en"));
    qputenv("LANGUAGE", "de_AT:en"); // the first of the user's list
    EXPECT_EQ(oq::currentLanguage(), QStringLiteral("de"));
    qputenv("LANGUAGE", "fr_FR"); // no French table: English
    EXPECT_EQ(oq::currentLanguage(), QStringLiteral("en"));
    EXPECT_EQ(oq::localized(key), QStringLiteral("Cancel"));

    for (int i = 0; i < 4; ++i) {
        if (saved[i].isNull())
            qunsetenv(vars[i]);
        else
            qputenv(vars[i], saved[i]);
    }
}

} // namespace
