#pragma once
// The one drag of both plots: a plain drag marks a range of time, which stays until a click or
// Escape clears it; with Shift, or with the middle button, a drag moves the view instead. A press
// that moves no more than a few pixels is a click.
#include <QRectF>

#include <optional>
#include <utility>

class QMouseEvent;
class QPainter;
class QWidget;

namespace oq::plots {

class PlotDrag {
public:
    using Range = std::pair<qint64, qint64>;

    // Starts a drag for a press inside `area`, where `widget` shows the view [from, to); false for
    // any other press.
    bool press(QWidget& widget, const QMouseEvent& event, const QRectF& area, qint64 from, qint64 to);
    bool active() const { return m_kind != Kind::None; }
    // The pointer at `x`: the view to show while moving, else nothing (the marked range follows).
    std::optional<Range> moveTo(double x);
    // Ends the drag at `x`; true when it was one that marks (a click clears the range).
    bool release(QWidget& widget, double x);

    const std::optional<Range>& range() const { return m_range; }
    // False when there was none.
    bool clear() { return std::exchange(m_range, std::nullopt).has_value(); }
    // The marked range as the plots show it, `a` and `b` its ends' x in `area`.
    static void paintRange(QPainter& p, const QWidget& widget, const QRectF& area, double a, double b);

private:
    enum class Kind { None, Select, Pan };
    Kind m_kind = Kind::None;
    QRectF m_area;
    double m_x = 0;
    qint64 m_from = 0, m_to = 0;
    std::optional<Range> m_range;
};

} // namespace oq::plots
