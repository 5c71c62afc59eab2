// The window-system side of archived colours, apart so that command-line programs do not link it.
#include "ArchivedColor.h"

#include <QGuiApplication>

#include "platform/SettingsKeys.h"

namespace oq {

namespace {
bool paletteIsDark()
{
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance())
        && QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
}

// Linked wherever colours are painted, so every windowed program gets the dark-desktop default.
[[maybe_unused]] const bool g_probeSet = (settings::setDarkDesktopProbe(&paletteIsDark), true);
} // namespace

ArchivedColor ArchivedColor::fromQColor(const QColor& c)
{
    const QColor rgb = c.toRgb();
    return rgba(rgb.redF(), rgb.greenF(), rgb.blueF(), rgb.alphaF());
}

QColor ArchivedColor::toQColor(const QPalette& palette) const
{
    if (kind == Kind::WindowBackground)
        return palette.color(QPalette::Active, QPalette::Window);
    return QColor::fromRgbF(float(red), float(green), float(blue), float(alpha));
}

QColor ArchivedColor::toQColor() const
{
    return toQColor(qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ? QGuiApplication::palette() : QPalette());
}

} // namespace oq
