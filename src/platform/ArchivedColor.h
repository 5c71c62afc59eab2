#pragma once
// Colours as the settings store keeps them: "rgba R G B A", "grey W A" (components printed with
// %.17g in the C locale so they decode exactly; a decimal comma reads too) or
// "system windowBackgroundColor", which follows the palette.
#include <QColor>
#include <QPalette>
#include <QString>

#include <array>
#include <optional>

namespace oq {

struct ArchivedColor {
    enum class Kind { Rgba, Grey, WindowBackground };
    Kind kind = Kind::Rgba;
    double red = 0, green = 0, blue = 0, alpha = 1; // grey uses red as its white level

    static ArchivedColor rgba(double r, double g, double b, double a) { return {Kind::Rgba, r, g, b, a}; }
    static ArchivedColor grey(double white, double a) { return {Kind::Grey, white, white, white, a}; }
    static ArchivedColor windowBackground() { return {Kind::WindowBackground, 0, 0, 0, 1}; }
    static ArchivedColor fromQColor(const QColor& c);

    // The colour to paint with; the window background is read from `palette` now.
    QColor toQColor(const QPalette& palette) const;
    QColor toQColor() const;
    // 8-bit red, green and blue as toQColor() gives them; none for the window background.
    std::optional<std::array<int, 3>> rgb8() const;

    QString archive() const;
    // None for text that is not an archived colour (any component outside 0..1 or not finite too).
    static std::optional<ArchivedColor> unarchive(const QString& text);

    bool operator==(const ArchivedColor&) const = default;
};

} // namespace oq
