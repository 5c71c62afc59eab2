#pragma once
// Persistent per-user settings (an INI file in the XDG config folder) over an in-memory layer of
// registered defaults that is never written to disk. `changed(key)` is emitted on the writer's
// thread after every write or removal.
#include <QMutex>
#include <QObject>
#include <QSettings>
#include <QVariant>

#include <memory>
#include <optional>

#include "platform/ArchivedColor.h"

namespace oq {

class SettingsStore : public QObject {
    Q_OBJECT
public:
    // The process-wide store; created at first use in the default location.
    static SettingsStore& shared();
    // Replaces the shared store with one kept at `filePath` (tests, --config).
    static void useFile(const QString& filePath);
    static QString defaultFilePath();

    explicit SettingsStore(const QString& filePath, QObject* parent = nullptr);

    void registerDefaults(const QVariantMap& defaults);

    // The stored value, else the registered default, else an invalid variant.
    QVariant objectForKey(const QString& key) const;
    bool hasStoredValue(const QString& key) const;
    // A number written with a decimal point or comma; none when absent or not a finite number.
    std::optional<double> numberForKey(const QString& key) const;
    static std::optional<double> number(const QVariant& value);
    // A stored value as the text it was written as.
    static QString text(const QVariant& value);
    // 0 / 0.0 / empty when the value is absent or not a number.
    long long integerForKey(const QString& key) const;
    double doubleForKey(const QString& key) const;
    float floatForKey(const QString& key) const;
    // Null text when absent.
    QString stringForKey(const QString& key) const;
    std::optional<ArchivedColor> colorForKey(const QString& key) const;

    void setObject(const QString& key, const QVariant& value);
    void setInteger(const QString& key, long long value) { setObject(key, value); }
    void setDouble(const QString& key, double value) { setObject(key, value); }
    void setString(const QString& key, const QString& value) { setObject(key, value); }
    void setColor(const QString& key, const ArchivedColor& color) { setObject(key, color.archive()); }
    void removeObject(const QString& key);

    QString filePath() const;
    // Where an unreadable settings file was moved at start, or empty.
    QString preservedCorruptFile() const { return m_preserved; }

signals:
    void changed(const QString& key);

private:
    void rewriteCommaColors();

    mutable QMutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
    QVariantMap m_defaults;
    QString m_preserved;
};

} // namespace oq
