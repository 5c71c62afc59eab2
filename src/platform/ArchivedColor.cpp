#include "ArchivedColor.h"

#include <cmath>

#include "platform/CLocale.h"

namespace oq {
namespace {
QString num(double v) { return QString::fromStdString(cFormat("%.17g", v)); }

bool readComponent(const QString& text, double& out)
{
    const std::optional<double> v = readDecimal(text);
    if (!v || *v < 0.0 || *v > 1.0)
        return false;
    out = *v;
    return true;
}
} // namespace

std::optional<std::array<int, 3>> ArchivedColor::rgb8() const
{
    if (kind == Kind::WindowBackground)
        return std::nullopt;
    // QColor keeps 16 bits a component and gives 8 of them rounded this way.
    const auto eight = [](double component) {
        const int sixteen = int(std::lround(float(component) * 65535.0f));
        return (sixteen - (sixteen >> 8) + 0x80) >> 8;
    };
    return std::array<int, 3>{eight(red), eight(green), eight(blue)};
}

QString ArchivedColor::archive() const
{
    switch (kind) {
    case Kind::WindowBackground:
        return QStringLiteral("system windowBackgroundColor");
    case Kind::Grey:
        return QStringLiteral("grey %1 %2").arg(num(red), num(alpha));
    case Kind::Rgba:
        break;
    }
    return QStringLiteral("rgba %1 %2 %3 %4").arg(num(red), num(green), num(blue), num(alpha));
}

std::optional<ArchivedColor> ArchivedColor::unarchive(const QString& text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() == 2 && parts[0] == QLatin1String("system") && parts[1] == QLatin1String("windowBackgroundColor"))
        return windowBackground();
    if (parts.size() == 5 && parts[0] == QLatin1String("rgba")) {
        ArchivedColor c;
        if (readComponent(parts[1], c.red) && readComponent(parts[2], c.green) && readComponent(parts[3], c.blue)
            && readComponent(parts[4], c.alpha))
            return c;
        return std::nullopt;
    }
    if (parts.size() == 3 && parts[0] == QLatin1String("grey")) {
        double w = 0, a = 0;
        if (readComponent(parts[1], w) && readComponent(parts[2], a))
            return grey(w, a);
    }
    return std::nullopt;
}

} // namespace oq
