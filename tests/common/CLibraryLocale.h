#pragma once
// Switches the C library's locale for one scope, as Qt does at start from LC_ALL and LANG.
// QLocale::setDefault changes only Qt's own formatting and would hide a printf or strtod that
// follows the user's locale. scripts/setup makes de_DE.UTF-8 available.
#include <clocale>
#include <cstring>
#include <string>

namespace oq::test {

class CLibraryLocale {
public:
    explicit CLibraryLocale(const char* name)
        : m_saved(std::setlocale(LC_ALL, nullptr))
        , m_active(std::setlocale(LC_ALL, name) != nullptr)
    {
    }
    ~CLibraryLocale() { std::setlocale(LC_ALL, m_saved.c_str()); }
    CLibraryLocale(const CLibraryLocale&) = delete;
    CLibraryLocale& operator=(const CLibraryLocale&) = delete;

    bool active() const { return m_active; }
    // True when the C library now writes numbers with a decimal comma.
    static bool decimalComma() { return std::strcmp(std::localeconv()->decimal_point, ",") == 0; }

private:
    std::string m_saved;
    bool m_active;
};

constexpr const char* kGermanLocale = "de_DE.UTF-8";
constexpr const char* kMissingGerman = "the de_DE.UTF-8 locale is missing: run scripts/setup";

} // namespace oq::test
