// libFuzzer target: request targets, Host, Accept-Language and Cookie headers as a client sends
// them. A target that parses never names anything outside the served tree.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "web/Request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto t = oq::web::parseTarget(text)) {
        if (!t->path.startsWith(QLatin1Char('/')) || t->path.contains(QLatin1Char('\0')) || t->path.contains(QLatin1Char('\\')))
            std::abort();
        for (const QStringView segment : QStringView(t->path).split(QLatin1Char('/')))
            if (segment == QLatin1String("..") || segment == QLatin1String("."))
                std::abort();
        for (const auto& [key, value] : t->query)
            (void)oq::web::parseMs(value);
    }
    static const QStringList allowed{QStringLiteral("localhost"), QStringLiteral("::1")};
    (void)oq::web::hostAllowed(text, allowed, 8080);
    const QString language = oq::web::preferredLanguage(text);
    if (language != QLatin1String("de") && language != QLatin1String("en"))
        std::abort();
    (void)oq::web::cookieValue(text, "oq_session");
    (void)oq::web::bearerToken(text);
    return 0;
}
