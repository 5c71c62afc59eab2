#pragma once
// The parts of a request the server acts on, parsed strictly: anything odd is refused rather than
// guessed at. No libmicrohttpd here, so the fuzzer drives exactly what the server runs.
#include <QString>
#include <QStringList>

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace oq::web {

constexpr size_t kMaxTarget = 2048;

struct Target {
    QString path; // decoded, starting with '/', no "." or ".." segments, no NUL, no backslash
    std::vector<std::pair<QString, QString>> query;
    // The first value of `key`; nothing when absent.
    std::optional<QString> value(QStringView key) const;
};

// The request target ("/path?query") as sent. Nothing for a target that is too long, not
// absolute, badly escaped, not UTF-8, or names anything outside the served tree.
std::optional<Target> parseTarget(std::string_view raw);

// Whether the Host header ("name", "name:port", "[v6]:port") names one of `allowed` (lower case,
// IPv6 without brackets); a port, when given, must be `port`.
bool hostAllowed(std::string_view host, const QStringList& allowed, quint16 port);

// "de" or "en", whichever the Accept-Language header prefers; "en" when neither is named.
QString preferredLanguage(std::string_view acceptLanguage);

// The value of cookie `name` in a Cookie header.
std::optional<std::string_view> cookieValue(std::string_view header, std::string_view name);

// The token of "Bearer TOKEN".
std::optional<std::string_view> bearerToken(std::string_view authorization);

// A whole number of milliseconds, as the page sends times; nothing for anything else.
std::optional<qint64> parseMs(const QString& text);

} // namespace oq::web
