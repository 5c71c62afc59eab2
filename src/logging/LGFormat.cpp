#include "LGFormat.h"

#include <cstring>
#include <vector>

#include "platform/CLocale.h"
#include "platform/ErrorRecord.h"

LGArg::LGArg(const oq::ErrorRecord& e)
    : kind(Text)
    , text(QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(e.domain()).arg(e.code()).arg(e.localizedDescription()))
{
}

namespace {

QString formatOne(const std::string& spec, char conv, const LGArg& arg)
{
    char buf[512];
    int n = 0;
    switch (conv) {
    case 'd':
    case 'i':
    case 'c': {
        const long long v = arg.kind == LGArg::UInt ? static_cast<long long>(arg.u)
            : arg.kind == LGArg::Double             ? static_cast<long long>(arg.d)
                                                    : arg.i;
        if (conv == 'c')
            return QString(QChar(static_cast<char16_t>(v & 0xffff)));
        n = oq::cSnprintf(buf, sizeof buf, (spec + "lld").c_str(), v);
        break;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
        const unsigned long long v = arg.kind == LGArg::Int ? static_cast<unsigned long long>(arg.i)
            : arg.kind == LGArg::Double                     ? static_cast<unsigned long long>(arg.d)
                                                            : arg.u;
        n = oq::cSnprintf(buf, sizeof buf, (spec + "ll" + conv).c_str(), v);
        break;
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
        const double v = arg.kind == LGArg::Int ? double(arg.i) : arg.kind == LGArg::UInt ? double(arg.u) : arg.d;
        n = oq::cSnprintf(buf, sizeof buf, (spec + conv).c_str(), v);
        break;
    }
    case 'p':
        n = oq::cSnprintf(buf, sizeof buf, "%p", arg.p);
        break;
    default: { // s and @
        const QByteArray text = arg.text.toUtf8();
        n = oq::cSnprintf(buf, sizeof buf, (spec + "s").c_str(), text.constData());
        if (n >= int(sizeof buf))
            return arg.text;
        break;
    }
    }
    if (n < 0)
        return {};
    return QString::fromUtf8(buf, qMin(n, int(sizeof buf) - 1));
}

} // namespace

QString LGFormat(const char* format, std::initializer_list<LGArg> args)
{
    QString out;
    if (!format)
        return out;
    const std::vector<const LGArg*> list = [&] {
        std::vector<const LGArg*> v;
        for (const auto& a : args)
            v.push_back(&a);
        return v;
    }();
    size_t next = 0;
    const char* p = format;
    const char* literal = p;
    auto flushLiteral = [&](const char* end) {
        if (end > literal)
            out += QString::fromUtf8(literal, end - literal);
    };
    while (*p) {
        if (*p != '%') {
            ++p;
            continue;
        }
        flushLiteral(p);
        const char* start = p++;
        if (*p == '%') {
            out += QLatin1Char('%');
            literal = ++p;
            continue;
        }
        std::string spec = "%";
        while (*p && std::strchr("-+ #0", *p))
            spec += *p++;
        while (*p >= '0' && *p <= '9')
            spec += *p++;
        if (*p == '.') {
            spec += *p++;
            while (*p >= '0' && *p <= '9')
                spec += *p++;
        }
        while (*p && std::strchr("hlqLjzt", *p))
            ++p; // length modifiers: the argument's own type decides
        const char conv = *p;
        if (!conv || !std::strchr("@sdiucxXofFeEgGp", conv)) {
            // Not a conversion we know: keep the text as written.
            out += QString::fromUtf8(start, (conv ? p + 1 : p) - start);
            literal = conv ? ++p : p;
            continue;
        }
        ++p;
        literal = p;
        if (spec.size() > 8)
            spec = "%"; // absurd widths and precisions would only waste time and memory
        if (next < list.size())
            out += formatOne(spec, conv, *list[next++]);
    }
    flushLiteral(p);
    return out;
}
