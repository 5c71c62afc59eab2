#include "app/plots/PlotDrag.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace oq::plots {
namespace {
constexpr double kClick = 3; // pixels a click may wander
}

bool PlotDrag::press(QWidget& widget, const QMouseEvent& event, const QRectF& area, qint64 from, qint64 to)
{
    m_kind = Kind::None;
    if (!area.contains(event.position()) || area.width() <= 0)
        return false;
    if (event.button() == Qt::MiddleButton || (event.button() == Qt::LeftButton && (event.modifiers() & Qt::ShiftModifier)))
        m_kind = Kind::Pan;
    else if (event.button() == Qt::LeftButton)
        m_kind = Kind::Select;
    else
        return false;
    if (m_kind == Kind::Pan)
        widget.setCursor(Qt::ClosedHandCursor);
    m_area = area;
    m_x = event.position().x();
    m_from = from;
    m_to = to;
    return true;
}

std::optional<PlotDrag::Range> PlotDrag::moveTo(double x)
{
    const double span = double(m_to - m_from);
    if (m_kind == Kind::Pan) {
        const qint64 shift = qint64(std::llround(-(x - m_x) / m_area.width() * span));
        return Range{m_from + shift, m_to + shift};
    }
    x = std::clamp(x, m_area.left(), m_area.right());
    if (m_kind == Kind::Select && std::abs(x - m_x) > kClick) {
        const auto timeAt = [&](double at) { return m_from + qint64(std::llround((at - m_area.left()) / m_area.width() * span)); };
        const qint64 a = timeAt(m_x), b = timeAt(x);
        m_range = Range{std::min(a, b), std::max(a, b)};
    }
    return std::nullopt;
}

bool PlotDrag::release(QWidget& widget, double x)
{
    const Kind kind = std::exchange(m_kind, Kind::None);
    if (kind == Kind::Pan)
        widget.unsetCursor();
    if (kind != Kind::Select)
        return false;
    if (std::abs(x - m_x) <= kClick)
        m_range.reset();
    return true;
}

void PlotDrag::paintRange(QPainter& p, const QWidget& widget, const QRectF& area, double a, double b)
{
    QColor c = widget.palette().color(QPalette::Highlight);
    c.setAlpha(60);
    p.fillRect(QRectF(QPointF(std::min(a, b), area.top()), QPointF(std::max(a, b), area.bottom())), c);
}

} // namespace oq::plots
