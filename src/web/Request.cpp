#include "web/Request.h"

#include <QStringDecoder>

#include <algorithm>
#include <charconv>

namespace oq::web {
namespace {

// Percent-decoded and checked as UTF-8; '+' is a space in a query only.
std::optional<QString> decode(std::string_view text, bool query)
{
    QByteArray bytes;
    bytes.reserve(qsizetype(text.size()));
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            unsigned byte = 0;
            const char* end = text.data() + i + 3;
            if (std::from_chars(text.data() + i + 1, end, byte, 16).ptr != end)
                return std::nullopt;
            bytes.append(char(byte));
            i += 2;
        } else if (query && c == '+') {
            bytes.append(' ');
        } else if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return std::nullopt;
        } else {
            bytes.append(c);
        }
    }
    if (bytes.contains('\0'))
        return std::nullopt;
    auto toUtf16 = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString out = toUtf16(bytes);
    if (toUtf16.hasError())
        return std::nullopt;
    return out;
}

} // namespace

std::optional<QString> Target::value(QStringView key) const
{
    for (const auto& [k, v] : query) {
        if (k == key)
            return v;
    }
    return std::nullopt;
}

std::optional<Target> parseTarget(std::string_view raw)
{
    if (raw.empty() || raw.size() > kMaxTarget || raw.front() != '/')
        return std::nullopt;
    const size_t mark = raw.find('?');
    std::string_view rawPath = raw.substr(0, mark);
    if (const size_t hash = rawPath.find('#'); hash != std::string_view::npos)
        return std::nullopt;
    Target t;
    const auto path = decode(rawPath, false);
    if (!path || path->contains(QLatin1Char('\\')))
        return std::nullopt;
    for (const QStringView segment : QStringView(*path).split(QLatin1Char('/'))) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return std::nullopt;
    }
    t.path = *path;
    if (mark == std::string_view::npos)
        return t;
    std::string_view rest = raw.substr(mark + 1);
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (pair.empty())
            continue;
        if (t.query.size() >= 32)
            return std::nullopt;
        const size_t eq = pair.find('=');
        const auto key = decode(pair.substr(0, eq), true);
        const auto value = decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
        if (!key || !value)
            return std::nullopt;
        t.query.emplace_back(*key, *value);
    }
    return t;
}

bool hostAllowed(std::string_view host, const QStringList& allowed, quint16 port)
{
    if (host.empty() || host.size() > 255)
        return false;
    std::string_view name = host, portText;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(1, close - 1);
        const std::string_view after = host.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return false;
            portText = after.substr(1);
        }
    } else if (const size_t colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        portText = host.substr(colon + 1);
    }
    if (!portText.empty() || host.back() == ':') {
        if (portText.empty() || portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        if (std::stoul(std::string(portText)) != port)
            return false;
    }
    if (!name.empty() && name.back() == '.') // the fully qualified spelling
        name.remove_suffix(1);
    const QString lower = QString::fromLatin1(name.data(), qsizetype(name.size())).toLower();
    return !lower.isEmpty() && allowed.contains(lower);
}

QString preferredLanguage(std::string_view acceptLanguage)
{
    // The first of de or en with the highest weight; others are not offered.
    double best = 0;
    QString chosen = QStringLiteral("en");
    std::string_view rest = acceptLanguage;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const QString text = QString::fromLatin1(item.data(), qsizetype(item.size())).trimmed().toLower();
        const QStringList parts = text.split(QLatin1Char(';'));
        const QString tag = parts.value(0).trimmed();
        double weight = 1;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QString p = parts[i].trimmed();
            if (p.startsWith(QLatin1String("q="))) {
                bool ok = false;
                weight = p.mid(2).toDouble(&ok);
                if (!ok)
                    weight = 0;
            }
        }
        const QString lang = tag.section(QLatin1Char('-'), 0, 0);
        if ((lang == QLatin1String("de") || lang == QLatin1String("en")) && weight > best) {
            best = weight;
            chosen = lang;
        }
    }
    return chosen;
}

std::optional<std::string_view> cookieValue(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        const size_t semi = header.find(';');
        std::string_view item = header.substr(0, semi);
        header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        const size_t eq = item.find('=');
        if (eq != std::string_view::npos && item.substr(0, eq) == name)
            return item.substr(eq + 1);
    }
    return std::nullopt;
}

std::optional<std::string_view> bearerToken(std::string_view authorization)
{
    constexpr std::string_view scheme = "Bearer ";
    if (authorization.size() <= scheme.size() || authorization.substr(0, scheme.size()) != scheme)
        return std::nullopt;
    return authorization.substr(scheme.size());
}

std::optional<qint64> parseMs(const QString& text)
{
    if (text.isEmpty() || text.size() > 16)
        return std::nullopt;
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(v) : std::nullopt;
}

} // namespace oq::web
