#pragma once
// The one drag of both plots: a plain drag marks a range of time; with Shift, or with the middle
// button, it moves the view instead. A press that moves no more than a few pixels is a click.
#include <QRectF>

#include <optional>
#include <utility>

class QMouseEvent;
class QPainter;
class QPalette;

namespace oq::plots {

class PlotDrag {
public:
    enum class Kind { None, Select, Pan };
    using Range = std::pair<qint64, qint64>;

    // Starts a drag for a press inside `area`, which shows the view [from, to); false for others.
    bool press(const QMouseEvent& event, const QRectF& area, qint64 from, qint64 to);
    Kind kind() const { return m_kind; }
    // Select: the range marked so far, nothing while it is still a click.
    // Pan: the view that keeps the time grabbed under the pointer.
    std::optional<Range> moveTo(double x) const;
    // Ends the drag; whether it was more than a click.
    bool release(double x);

    // The marked range [a, b), drawn as the plots show it.
    static void paintRange(QPainter& p, const QRectF& area, double a, double b, const QPalette& palette);

private:
    Kind m_kind = Kind::None;
    QRectF m_area;
    double m_x = 0;
    qint64 m_from = 0, m_to = 0;
};

} // namespace oq::plots
