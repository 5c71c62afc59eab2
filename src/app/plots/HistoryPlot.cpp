#include "app/plots/HistoryPlot.h"

#include <QDateTime>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "platform/StringTable.h"

using oq::history::Bucket;
using oq::history::Interval;

namespace {

constexpr qint64 kMinute = 60 * 1000, kDay = 24 * 60 * kMinute;
constexpr qint64 kShortestView = kMinute;
// Zooming out stops at two centuries, and a view stays within ten millennia of 1970: far beyond
// any counter's history, far inside what 64-bit milliseconds and the calendar can hold.
constexpr qint64 kLongestView = 200 * 365 * kDay;
constexpr qint64 kFarthest = 10000LL * 365 * kDay;

double niceCeiling(double v)
{
    if (!(v > 0))
        return 1.0;
    const double magnitude = std::pow(10.0, std::floor(std::log10(v)));
    for (const double f : {1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0})
        if (f * magnitude >= v)
            return f * magnitude;
    return 10 * magnitude;
}

// Buckets that follow each other without a gap, as index ranges.
template <class F>
void forEachRun(const std::vector<Bucket>& buckets, qint64 length, F&& f)
{
    size_t start = 0;
    for (size_t i = 1; i <= buckets.size(); ++i) {
        if (i == buckets.size() || buckets[i].startMs != buckets[i - 1].startMs + length) {
            if (start < buckets.size())
                f(start, i);
            start = i;
        }
    }
}

const Bucket* bucketAt(const std::vector<Bucket>& buckets, qint64 length, qint64 t)
{
    auto it = std::upper_bound(buckets.begin(), buckets.end(), t, [](qint64 v, const Bucket& b) { return v < b.startMs; });
    if (it == buckets.begin())
        return nullptr;
    --it;
    return t < it->startMs + length ? &*it : nullptr;
}

} // namespace

HistoryPlot::HistoryPlot(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("historyPlot"));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(360, 200);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

qint64 HistoryPlot::longestView() { return kLongestView; }

void HistoryPlot::setView(qint64 fromMs, qint64 toMs)
{
    toMs = std::clamp(toMs, -kFarthest + kShortestView, kFarthest);
    fromMs = std::clamp(fromMs, std::max(-kFarthest, toMs - kLongestView), toMs);
    if (toMs - fromMs < kShortestView)
        toMs = fromMs + kShortestView;
    m_from = fromMs;
    m_to = toMs;
    update();
}

void HistoryPlot::setData(Data data)
{
    m_data = std::move(data);
    double top = 0;
    for (const Bucket& b : m_data.live)
        top = std::max(top, b.max);
    for (const Bucket& b : m_data.protocolBuckets)
        top = std::max(top, b.max);
    for (const Interval& i : m_data.intervals)
        if (std::isfinite(i.doseRate))
            top = std::max(top, i.doseRate);
    // A level line near the data is worth the room it takes; one far above it is named at the top.
    for (const Line& l : m_lines)
        if (l.value > top && l.value <= 2.5 * top)
            top = l.value;
    m_yMax = niceCeiling(top * 1.08);
    update();
}

void HistoryPlot::setLines(std::vector<Line> lines)
{
    m_lines = std::move(lines);
    setData(std::move(m_data));
}

void HistoryPlot::setColors(const QColor& live, const QColor& protocol)
{
    m_live = live;
    m_protocol = protocol;
    update();
}

void HistoryPlot::setUnit(const QString& unit, double scale)
{
    m_unit = unit;
    m_scale = scale;
    update();
}

void HistoryPlot::setEmptyText(const QString& text)
{
    m_empty = text;
    update();
}

void HistoryPlot::setLegend(const QString& live, const QString& protocol)
{
    m_liveLegend = live;
    m_protocolLegend = protocol;
    update();
}

void HistoryPlot::clearSelection()
{
    if (!m_drag.clear())
        return;
    update();
    emit selectionChanged();
}

QRectF HistoryPlot::plotArea() const
{
    const QFontMetricsF fm(font());
    const double left = fm.horizontalAdvance(QStringLiteral("0000.00")) + 14;
    return QRectF(left, fm.height() * 1.8, std::max(10.0, width() - left - 14), std::max(10.0, height() - fm.height() * 3.6));
}

double HistoryPlot::xAt(qint64 ms) const
{
    const QRectF a = plotArea();
    return a.left() + a.width() * double(ms - m_from) / double(std::max<qint64>(1, m_to - m_from));
}

qint64 HistoryPlot::timeAt(double x) const
{
    const QRectF a = plotArea();
    return m_from + qint64(std::llround((x - a.left()) / a.width() * double(m_to - m_from)));
}

double HistoryPlot::yAt(double value) const
{
    const QRectF a = plotArea();
    return a.bottom() - a.height() * std::clamp(value / m_yMax, -0.02, 1.02);
}

QString HistoryPlot::formatValue(double value) const
{
    const double shown = value * m_scale;
    const QString number = QLocale().toString(shown, 'g', shown >= 1000 ? 6 : 3);
    return m_unit.isEmpty() ? number : number + QLatin1Char(' ') + m_unit;
}

oq::plots::TimeAxis HistoryPlot::timeAxis() const
{
    return oq::plots::timeAxis(m_from, m_to, plotArea().width(), oq::plots::labelRoom(QFontMetricsF(font())));
}

void HistoryPlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    p.setRenderHint(QPainter::Antialiasing);
    const bool empty = m_data.live.empty() && m_data.intervals.empty() && m_data.protocolBuckets.empty();
    drawAxes(p);
    if (empty && !m_empty.isEmpty()) {
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(plotArea().adjusted(20, 20, -20, -20), Qt::AlignCenter | Qt::TextWordWrap, m_empty);
    }
    p.save();
    p.setClipRect(plotArea().adjusted(-1, -1, 1, 1));
    drawLines(p);
    drawLive(p);
    drawProtocol(p);
    if (const auto range = m_drag.range()) {
        oq::plots::PlotDrag::paintRange(p, *this, plotArea(), xAt(range->first), xAt(range->second));
    }
    if (m_hoverX) {
        p.setPen(QPen(palette().color(QPalette::Text), 0.8, Qt::DotLine));
        p.drawLine(QPointF(*m_hoverX, plotArea().top()), QPointF(*m_hoverX, plotArea().bottom()));
    }
    p.restore();
    drawLegend(p);
}

void HistoryPlot::drawAxes(QPainter& p)
{
    const QRectF a = plotArea();
    const QColor text = palette().color(QPalette::Text);
    QColor grid = text;
    grid.setAlpha(40);
    const QFontMetricsF fm(font());

    // Values: five steps of a round size.
    p.setPen(text);
    for (int i = 0; i <= 5; ++i) {
        const double v = m_yMax * i / 5;
        const double y = yAt(v);
        p.setPen(QPen(grid, 1));
        p.drawLine(QPointF(a.left(), y), QPointF(a.right(), y));
        p.setPen(text);
        p.drawText(QRectF(0, y - fm.height() / 2, a.left() - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
            QLocale().toString(v * m_scale, 'g', 4));
    }
    p.drawText(QRectF(0, 0, a.left() + 200, fm.height() * 1.6), Qt::AlignLeft | Qt::AlignVCenter, m_unit);

    // Times: the smallest step that leaves room for a label, on round local times.
    const double room = oq::plots::labelRoom(fm);
    for (const oq::plots::TimeTick& tick : timeAxis().ticks) {
        const double x = xAt(tick.ms);
        p.setPen(QPen(grid, 1));
        p.drawLine(QPointF(x, a.top()), QPointF(x, a.bottom()));
        p.setPen(text);
        p.drawText(QRectF(x - room / 2, a.bottom() + 4, room, fm.height()), Qt::AlignHCenter | Qt::AlignTop, tick.label);
    }
    p.setPen(QPen(text, 1));
    p.drawRect(a);
}

void HistoryPlot::drawLive(QPainter& p)
{
    const auto& buckets = m_data.live;
    const qint64 length = m_data.liveBucketMs;
    QColor band = m_live;
    band.setAlpha(70);
    forEachRun(buckets, length, [&](size_t from, size_t to) {
        QPainterPath area;
        QPolygonF mean;
        for (size_t i = from; i < to; ++i) {
            const double x0 = xAt(buckets[i].startMs), x1 = xAt(buckets[i].startMs + length);
            if (i == from)
                area.moveTo(x0, yAt(buckets[i].max));
            else
                area.lineTo(x0, yAt(buckets[i].max));
            area.lineTo(x1, yAt(buckets[i].max));
            mean << QPointF((x0 + x1) / 2, yAt(buckets[i].mean));
        }
        for (size_t i = to; i-- > from;) {
            area.lineTo(xAt(buckets[i].startMs + length), yAt(buckets[i].min));
            area.lineTo(xAt(buckets[i].startMs), yAt(buckets[i].min));
        }
        area.closeSubpath();
        p.fillPath(area, band);
        p.setPen(QPen(m_live.darker(115), 1.6));
        if (mean.size() == 1)
            p.drawEllipse(mean.front(), 1.8, 1.8);
        else
            p.drawPolyline(mean);
    });
}

void HistoryPlot::drawProtocol(QPainter& p)
{
    // Steps, one per interval over its duration, where the live readings are a band and a line.
    p.setPen(QPen(m_protocol, 2.2, Qt::SolidLine, Qt::FlatCap));
    for (const Interval& i : m_data.intervals) {
        if (!std::isfinite(i.doseRate))
            continue;
        const double y = yAt(i.doseRate);
        const double x0 = xAt(i.startMs), x1 = std::max(x0 + 2.0, xAt(i.startMs + i.durationS * 1000));
        p.drawLine(QPointF(x0, y), QPointF(x1, y));
    }
    const qint64 length = m_data.protocolBucketMs;
    for (const Bucket& b : m_data.protocolBuckets) {
        const double x = (xAt(b.startMs) + xAt(b.startMs + length)) / 2;
        p.setPen(QPen(m_protocol, 1.2));
        p.drawLine(QPointF(x, yAt(b.min)), QPointF(x, yAt(b.max)));
        p.setPen(QPen(m_protocol, 2.2));
        p.drawLine(QPointF(xAt(b.startMs), yAt(b.mean)), QPointF(std::max(xAt(b.startMs) + 2, xAt(b.startMs + length)), yAt(b.mean)));
    }
}

void HistoryPlot::drawLines(QPainter& p)
{
    const QRectF a = plotArea();
    const QFontMetricsF fm(font());
    double above = a.top() + 2; // names of lines beyond the scale, stacked at the top
    for (const Line& l : m_lines) {
        if (!(l.value > 0))
            continue;
        if (l.value <= m_yMax) {
            const double y = yAt(l.value);
            p.setPen(QPen(l.color, 1.4, Qt::DashLine));
            p.drawLine(QPointF(a.left(), y), QPointF(a.right(), y));
            p.drawText(QRectF(a.left() + 4, y - fm.height() - 1, a.width() - 8, fm.height()), Qt::AlignRight | Qt::AlignBottom,
                l.name + QStringLiteral(" ") + formatValue(l.value));
        } else {
            p.setPen(l.color);
            p.drawText(QRectF(a.left() + 4, above, a.width() - 8, fm.height()), Qt::AlignRight | Qt::AlignTop,
                QStringLiteral("▲ ") + l.name + QStringLiteral(" ") + formatValue(l.value));
            above += fm.height();
        }
    }
}

void HistoryPlot::drawLegend(QPainter& p)
{
    const QFontMetricsF fm(font());
    const double y = fm.height() * 0.3;
    double x = plotArea().left() + fm.horizontalAdvance(m_unit) + 24;
    const auto entry = [&](const QString& text, const QColor& color, bool band) {
        if (text.isEmpty())
            return;
        const QRectF swatch(x, y + fm.height() * 0.25, 18, fm.height() * 0.6);
        if (band) {
            QColor c = color;
            c.setAlpha(70);
            p.fillRect(swatch, c);
            p.setPen(QPen(color.darker(115), 1.6));
            p.drawLine(QPointF(swatch.left(), swatch.center().y()), QPointF(swatch.right(), swatch.center().y()));
        } else {
            p.setPen(QPen(color, 2.2));
            p.drawLine(QPointF(swatch.left(), swatch.center().y()), QPointF(swatch.right(), swatch.center().y()));
        }
        p.setPen(palette().color(QPalette::Text));
        p.drawText(QPointF(swatch.right() + 6, y + fm.ascent()), text);
        x = swatch.right() + 6 + fm.horizontalAdvance(text) + 20;
    };
    entry(m_liveLegend, m_live, true);
    entry(m_protocolLegend, m_protocol, false);
}

QString HistoryPlot::summary() const
{
    if (m_data.live.empty())
        return m_empty;
    double low = m_data.live.front().min, high = m_data.live.front().max;
    qint64 count = 0;
    for (const Bucket& b : m_data.live) {
        low = std::min(low, b.min);
        high = std::max(high, b.max);
        count += b.count;
    }
    return oq::localized(QStringLiteral("history.plot.summary"))
        .arg(QLocale().toString(count), formatValue(low), formatValue(high), formatValue(m_data.live.back().mean));
}

QString HistoryPlot::valuesAt(double x) const
{
    const qint64 t = timeAt(x);
    QStringList parts;
    const QLocale locale;
    if (const Bucket* b = bucketAt(m_data.live, m_data.liveBucketMs, t)) {
        const QDateTime begin = QDateTime::fromMSecsSinceEpoch(b->startMs);
        const QDateTime end = QDateTime::fromMSecsSinceEpoch(b->startMs + m_data.liveBucketMs);
        parts << locale.toString(begin, QLocale::ShortFormat) + QStringLiteral(" – ")
                + (end.date() == begin.date() ? locale.toString(end.time(), QLocale::ShortFormat)
                                              : locale.toString(end, QLocale::ShortFormat));
        parts << oq::localized(QStringLiteral("history.hover.live"))
                     .arg(formatValue(b->mean), formatValue(b->min), formatValue(b->max), locale.toString(b->count));
    }
    for (const Interval& i : m_data.intervals) {
        if (t >= i.startMs && t < i.startMs + std::max<qint64>(1000, i.durationS * 1000) && std::isfinite(i.doseRate)) {
            parts << oq::localized(QStringLiteral("history.hover.protocol")).arg(formatValue(i.doseRate));
            break;
        }
    }
    if (const Bucket* b = bucketAt(m_data.protocolBuckets, m_data.protocolBucketMs, t))
        parts << oq::localized(QStringLiteral("history.hover.protocol")).arg(formatValue(b->mean));
    return parts.join(QLatin1Char('\n'));
}

void HistoryPlot::zoomAround(qint64 centre, double factor)
{
    const double span = std::clamp(double(m_to - m_from) * factor, double(kShortestView), double(kLongestView));
    const double share = double(centre - m_from) / double(std::max<qint64>(1, m_to - m_from));
    const qint64 from = centre - qint64(span * share);
    emit viewRequested(from, from + qint64(span));
}

void HistoryPlot::pan(double fraction)
{
    const qint64 shift = qint64(double(m_to - m_from) * fraction);
    emit viewRequested(m_from + shift, m_to + shift);
}

void HistoryPlot::wheelEvent(QWheelEvent* event)
{
    const QPoint delta = event->angleDelta();
    const int vertical = delta.y(), sideways = delta.x();
    if (sideways != 0 || (event->modifiers() & Qt::ShiftModifier)) {
        const int d = sideways != 0 ? -sideways : -vertical;
        pan(double(d) / 120.0 * 0.1);
    } else if (vertical != 0) {
        zoomAround(timeAt(event->position().x()), std::pow(0.8, double(vertical) / 120.0));
    }
    event->accept();
}

void HistoryPlot::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Left: pan(-0.2); break;
    case Qt::Key_Right: pan(0.2); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: zoomAround((m_from + m_to) / 2, 0.5); break;
    case Qt::Key_Minus: zoomAround((m_from + m_to) / 2, 2.0); break;
    case Qt::Key_Escape: clearSelection(); break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

void HistoryPlot::mousePressEvent(QMouseEvent* event) { m_drag.press(*this, *event, plotArea(), m_from, m_to); }

void HistoryPlot::mouseMoveEvent(QMouseEvent* event)
{
    const double x = std::clamp(event->position().x(), plotArea().left(), plotArea().right());
    if (const auto view = m_drag.moveTo(event->position().x()))
        emit viewRequested(view->first, view->second);
    m_hoverX = plotArea().contains(event->position()) ? std::optional<double>(x) : std::nullopt;
    const QString text = m_hoverX ? valuesAt(x) : QString();
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(event->globalPosition().toPoint(), text, this);
    update();
}

void HistoryPlot::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_drag.release(*this, event->position().x()))
        return;
    update();
    emit selectionChanged();
}

void HistoryPlot::leaveEvent(QEvent*)
{
    m_hoverX.reset();
    update();
}
