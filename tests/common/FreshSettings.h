#pragma once
// A fresh settings store with the registered defaults, in a temporary file, for each test.
#include <QLocale>
#include <QTemporaryDir>

#include <memory>

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

namespace oq::test {

class FreshSettings {
public:
    FreshSettings()
    {
        SettingsStore::useFile(m_dir.path() + QStringLiteral("/settings.conf"));
        SettingsStore::shared().registerDefaults(settings::defaults());
    }

private:
    QTemporaryDir m_dir;
};

class LocaleScope {
public:
    explicit LocaleScope(const char* name) : m_saved(QLocale()) { QLocale::setDefault(QLocale(QString::fromLatin1(name))); }
    ~LocaleScope() { QLocale::setDefault(m_saved); }

private:
    QLocale m_saved;
};

} // namespace oq::test
