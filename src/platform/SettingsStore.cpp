#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

#include <cmath>

#include "platform/CLocale.h"
#include "platform/MoveAside.h"
#include "platform/SafeFile.h"

namespace oq {
namespace {
std::unique_ptr<SettingsStore>& sharedSlot()
{
    static std::unique_ptr<SettingsStore> store;
    return store;
}

// QSettings cannot tell a damaged file from an empty one without trying; a file that does not
// parse is moved aside so the user's data is kept and the application starts on defaults.
QString preserveIfUnreadable(const QString& path)
{
    if (!QFileInfo::exists(path))
        return {};
    QSettings probe(path, QSettings::IniFormat);
    probe.allKeys();
    QFile file(path);
    bool readable = file.open(QIODevice::ReadOnly);
    if (readable) {
        // We only ever write UTF-8 text; NUL bytes or invalid UTF-8 mean damage.
        const QByteArray bytes = file.read(4 * 1024 * 1024);
        QStringDecoder utf8(QStringDecoder::Utf8);
        [[maybe_unused]] const QString text = utf8(bytes);
        readable = !bytes.contains('\0') && !utf8.hasError();
    }
    file.close();
    if (probe.status() == QSettings::NoError && readable)
        return {};
    return moveAside(path, "SettingsStore");
}
} // namespace

SettingsStore& SettingsStore::shared()
{
    auto& slot = sharedSlot();
    if (!slot)
        slot = std::make_unique<SettingsStore>(defaultFilePath());
    return *slot;
}

void SettingsStore::useFile(const QString& filePath) { sharedSlot() = std::make_unique<SettingsStore>(filePath); }

QString SettingsStore::defaultFilePath()
{
    return oq::files::configHome() + QStringLiteral("/oq-online/oq-online.conf");
}

SettingsStore::SettingsStore(const QString& filePath, QObject* parent)
    : QObject(parent)
{
    oq::files::makeFolder(QFileInfo(filePath).absolutePath(), oq::files::Privacy::Shared);
    m_preserved = preserveIfUnreadable(filePath);
    m_settings = std::make_unique<QSettings>(filePath, QSettings::IniFormat);
    rewriteCommaColors();
}

void SettingsStore::rewriteCommaColors()
{
    // Colours an earlier version archived under a decimal-comma locale are kept, in the form every
    // version reads.
    bool rewritten = false;
    for (const QString& key : m_settings->allKeys()) {
        const QString stored = text(m_settings->value(key));
        if (!stored.contains(QLatin1Char(',')))
            continue;
        if (const auto color = ArchivedColor::unarchive(stored)) {
            m_settings->setValue(key, color->archive());
            rewritten = true;
        }
    }
    if (rewritten)
        m_settings->sync();
}

void SettingsStore::registerDefaults(const QVariantMap& defaults)
{
    QMutexLocker lock(&m_mutex);
    for (auto it = defaults.constBegin(); it != defaults.constEnd(); ++it)
        m_defaults.insert(it.key(), it.value());
}

QVariant SettingsStore::objectForKey(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    const QVariant stored = m_settings->value(key);
    if (stored.isValid())
        return stored;
    return m_defaults.value(key);
}

bool SettingsStore::hasStoredValue(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    return m_settings->contains(key);
}

long long SettingsStore::integerForKey(const QString& key) const
{
    bool ok = false;
    const QVariant v = objectForKey(key);
    const long long i = v.toLongLong(&ok);
    if (ok)
        return i;
    const std::optional<double> d = number(v); // "2.0" written by hand still reads as 2
    return d && *d > -9.2e18 && *d < 9.2e18 ? static_cast<long long>(*d) : 0;
}

QString SettingsStore::text(const QVariant& v)
{
    // The INI format reads an unquoted "2,5" written by hand as a list of two texts.
    return v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
}

std::optional<double> SettingsStore::number(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return std::isfinite(v.toDouble()) ? std::optional<double>(v.toDouble()) : std::nullopt;
    default:
        return v.isValid() ? readDecimal(text(v)) : std::nullopt;
    }
}

std::optional<double> SettingsStore::numberForKey(const QString& key) const { return number(objectForKey(key)); }

double SettingsStore::doubleForKey(const QString& key) const { return numberForKey(key).value_or(0.0); }

float SettingsStore::floatForKey(const QString& key) const { return static_cast<float>(doubleForKey(key)); }

QString SettingsStore::stringForKey(const QString& key) const
{
    const QVariant v = objectForKey(key);
    return v.isValid() ? v.toString() : QString();
}

std::optional<ArchivedColor> SettingsStore::colorForKey(const QString& key) const
{
    const QVariant v = objectForKey(key);
    if (!v.isValid())
        return std::nullopt;
    return ArchivedColor::unarchive(text(v));
}

void SettingsStore::setObject(const QString& key, const QVariant& value)
{
    {
        QMutexLocker lock(&m_mutex);
        m_settings->setValue(key, value);
        m_settings->sync();
    }
    emit changed(key);
}

void SettingsStore::removeObject(const QString& key)
{
    {
        QMutexLocker lock(&m_mutex);
        m_settings->remove(key);
        m_settings->sync();
    }
    emit changed(key);
}

QString SettingsStore::filePath() const
{
    QMutexLocker lock(&m_mutex);
    return m_settings->fileName();
}

} // namespace oq
