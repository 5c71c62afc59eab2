#pragma once
// Texts shown to the user, looked up by localisation key in the table of the user's language.
#include <QString>

namespace oq {

// The text for `key` in the current language; the English text when the language lacks it;
// the empty text when no table has it.
QString localized(const QString& key);

// "en", "de", ...; the default follows the user's locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG).
QString currentLanguage();
// Overrides the language (tests, --lang); an empty text returns to the locale's choice.
void setLanguage(const QString& language);
QStringList availableLanguages();

} // namespace oq
