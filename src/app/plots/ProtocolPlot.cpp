#include "app/plots/ProtocolPlot.h"

#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "app/windows/ColorManager.h"

using oq::localized;
using Level = ColorManager::Level;

namespace {

constexpr double kLeftMargin = 64, kRightMargin = 16, kTopMargin = 14, kBottomMargin = 40;
// Rates below this are drawn at the axis' floor; a log axis has no zero.
constexpr double kRateFloor = 1e-3;
constexpr double kRateCeiling = 1e7;

QColor levelColor(Level level) { return oq::levelColor(level, oq::LevelColor::Bar).toQColor(QPalette()); }

// Axis labels are powers of ten: whole numbers from 1 up, no exponent below.
QString rateLabel(double rate)
{
    return rate >= 1 ? QLocale().toString(rate, 'f', 0) : QLocale().toString(rate, 'g', 3);
}

} // namespace

ProtocolPlot::ProtocolPlot(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("protocolPlot"));
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
    setAccessibleName(localized(QStringLiteral("ui.protocol.plot.accessible")));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, p.color(QPalette::Base));
    setPalette(p);
}

void ProtocolPlot::setEvents(const OQProtocolEventList& events)
{
    m_samples.clear();
    m_samples.reserve(events.size());
    m_minPositiveRate = 0;
    m_maxRate = 0;
    qint64 previous = 0;
    for (const auto& e : events) {
        if (!e || !e->startDate().isValid())
            continue;
        Sample s;
        s.t = e->startDate().toMSecsSinceEpoch();
        s.rate = e->doseRate();
        // A new time mark may move the clock either way; a line across the jump would invent data.
        const qint64 expected = std::max<qint64>(e->duration(), 1) * 1000;
        s.gapBefore = m_samples.empty() || s.t <= previous || s.t - previous > 2 * expected + 1000;
        previous = s.t;
        if (std::isfinite(s.rate) && s.rate > 0) {
            m_minPositiveRate = m_minPositiveRate > 0 ? std::min(m_minPositiveRate, s.rate) : s.rate;
            m_maxRate = std::max(m_maxRate, s.rate);
        }
        m_samples.push_back(s);
    }
    // Dates normally rise; after a clock jump backwards the plot still needs one time order.
    std::stable_sort(m_samples.begin(), m_samples.end(), [](const Sample& a, const Sample& b) { return a.t < b.t; });
    if (m_samples.empty()) {
        m_dataFrom = m_dataTo = 0;
    } else {
        m_dataFrom = m_samples.front().t;
        m_dataTo = m_samples.back().t;
        if (m_dataTo - m_dataFrom < kMinSpanMs) { // one event, or a few seconds of them
            const qint64 middle = m_dataFrom + (m_dataTo - m_dataFrom) / 2;
            m_dataFrom = middle - kMinSpanMs / 2;
            m_dataTo = middle + kMinSpanMs / 2;
        }
    }
    m_from = m_dataFrom;
    m_to = m_dataTo;
    m_drag.clear();
    emit visibleRangeChanged(m_from, m_to);
    update();
}

void ProtocolPlot::setVisibleRange(qint64 from, qint64 to)
{
    if (from > to)
        std::swap(from, to);
    const qint64 fullSpan = m_dataTo - m_dataFrom;
    qint64 span = std::clamp<qint64>(to - from, std::min(kMinSpanMs, fullSpan), fullSpan);
    from = std::clamp<qint64>(from, m_dataFrom, m_dataTo - span);
    to = from + span;
    if (from == m_from && to == m_to)
        return;
    m_from = from;
    m_to = to;
    emit visibleRangeChanged(m_from, m_to);
    update();
}

void ProtocolPlot::zoomBy(double factor, qint64 anchor)
{
    if (m_to <= m_from || !(factor > 0))
        return;
    anchor = std::clamp(anchor, m_from, m_to);
    const double left = double(anchor - m_from) * factor;
    const double right = double(m_to - anchor) * factor;
    setVisibleRange(anchor - qint64(std::llround(left)), anchor + qint64(std::llround(right)));
}

void ProtocolPlot::clearSelection()
{
    if (!m_drag.clear())
        return;
    update();
    emit selectionChanged();
}

oq::plots::TimeAxis ProtocolPlot::timeAxis() const
{
    return oq::plots::timeAxis(m_from, m_to, plotArea().width(), oq::plots::labelRoom(QFontMetricsF(font())));
}

void ProtocolPlot::zoomIn() { zoomBy(0.5, m_from + (m_to - m_from) / 2); }

void ProtocolPlot::zoomOut() { zoomBy(2.0, m_from + (m_to - m_from) / 2); }

void ProtocolPlot::showAll() { setVisibleRange(m_dataFrom, m_dataTo); }

void ProtocolPlot::panBy(double fraction)
{
    const qint64 shift = qint64(std::llround(double(m_to - m_from) * fraction));
    setVisibleRange(m_from + shift, m_to + shift);
}

QRectF ProtocolPlot::plotArea() const
{
    return QRectF(kLeftMargin, kTopMargin, std::max(1.0, width() - kLeftMargin - kRightMargin),
        std::max(1.0, height() - kTopMargin - kBottomMargin));
}

qint64 ProtocolPlot::timeAt(double x) const
{
    const QRectF area = plotArea();
    const double f = std::clamp((x - area.left()) / area.width(), 0.0, 1.0);
    return m_from + qint64(std::llround(f * double(m_to - m_from)));
}

void ProtocolPlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF area = plotArea();
    const QColor text = palette().color(QPalette::Text);
    QColor grid = text;
    grid.setAlphaF(0.15);

    if (m_samples.empty()) {
        p.setPen(text);
        p.drawText(rect(), Qt::AlignCenter, localized(QStringLiteral("ui.protocol.no_events")));
        return;
    }

    // Thresholds are read now: the user may have changed them since the window opened.
    const auto& store = oq::SettingsStore::shared();
    const double warning = store.doubleForKey(oq::settings::WarningRateValue);
    const double danger = store.doubleForKey(oq::settings::DangerRateValue);
    double low = m_minPositiveRate > 0 ? m_minPositiveRate : 0.1;
    double high = std::max(m_maxRate, 0.1);
    for (const double threshold : {warning, danger}) {
        if (threshold > 0) {
            low = std::min(low, threshold);
            high = std::max(high, threshold);
        }
    }
    const double logLow = std::floor(std::log10(std::clamp(low, kRateFloor, kRateCeiling)));
    const double logHigh = std::max(logLow + 1, std::ceil(std::log10(std::clamp(high * 1.05, kRateFloor, kRateCeiling))));
    const auto yFor = [&](double rate) {
        const double l = std::log10(std::clamp(rate, std::pow(10.0, logLow), kRateCeiling));
        return area.bottom() - (l - logLow) / (logHigh - logLow) * area.height();
    };
    const double span = double(std::max<qint64>(1, m_to - m_from));
    const auto xFor = [&](qint64 t) { return area.left() + double(t - m_from) / span * area.width(); };

    // Rate axis: one line per decade.
    p.setFont(font());
    const QFontMetricsF fm(font());
    for (double d = logLow; d <= logHigh + 1e-9; d += 1) {
        const double y = yFor(std::pow(10.0, d));
        p.setPen(grid);
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        p.setPen(text);
        p.drawText(QRectF(0, y - fm.height() / 2, kLeftMargin - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
            rateLabel(std::pow(10.0, d)));
    }
    p.save();
    p.translate(12, area.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-area.height() / 2, -fm.height() / 2, area.height(), fm.height()), Qt::AlignCenter,
        localized(QStringLiteral("ui.protocol.rate_axis")));
    p.restore();

    // Time axis, ticks at round local times.
    const double room = oq::plots::labelRoom(fm);
    for (const oq::plots::TimeTick& tick : timeAxis().ticks) {
        const double x = xFor(tick.ms);
        p.setPen(grid);
        p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
        p.setPen(text);
        p.drawText(QRectF(x - room / 2, area.bottom() + 3, room, kBottomMargin - 3), Qt::AlignHCenter | Qt::AlignTop, tick.label);
    }
    p.setPen(text);
    p.drawRect(area);

    // Thresholds in their level colours.
    p.setClipRect(area.adjusted(-1, -1, 1, 1));
    const struct {
        double value;
        Level level;
        const char* key;
    } thresholds[] = {{warning, Level::Warning, "ui.protocol.warning_threshold"}, {danger, Level::Danger, "ui.protocol.danger_threshold"}};
    for (const auto& th : thresholds) {
        if (!(th.value > 0))
            continue;
        const double y = yFor(th.value);
        QPen pen(levelColor(th.level), 1.5, Qt::DashLine);
        p.setPen(pen);
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        p.drawText(QRectF(area.left() + 4, y - fm.height() - 1, area.width() - 8, fm.height()), Qt::AlignRight | Qt::AlignBottom,
            localized(QString::fromLatin1(th.key)).arg(QLocale().toString(th.value, 'g', 6)));
    }

    // The samples in view, at most a couple per pixel column: a column keeps its highest rate, so
    // no peak vanishes when zoomed out.
    const auto first = std::lower_bound(m_samples.begin(), m_samples.end(), m_from,
        [](const Sample& s, qint64 t) { return s.t < t; });
    const auto last = std::upper_bound(m_samples.begin(), m_samples.end(), m_to,
        [](qint64 t, const Sample& s) { return t < s.t; });
    auto begin = first == m_samples.begin() ? first : first - 1; // lines enter from outside the view
    const auto end = last == m_samples.end() ? last : last + 1;
    std::vector<Sample> drawn;
    const double columns = std::max(1.0, area.width());
    const bool decimate = double(end - begin) > 2 * columns;
    for (auto it = begin; it != end; ++it) {
        if (decimate && !drawn.empty() && !it->gapBefore
            && std::floor(xFor(it->t)) == std::floor(xFor(drawn.back().t))) {
            if (std::isnan(drawn.back().rate) || it->rate > drawn.back().rate)
                drawn.back().rate = it->rate;
            continue;
        }
        drawn.push_back(*it);
    }
    const QColor colors[] = {levelColor(Level::Normal), levelColor(Level::Warning), levelColor(Level::Danger)};
    const auto colorFor = [&](double rate) { return colors[int(oq::levelForValue(rate, 1))]; };
    for (size_t i = 0; i < drawn.size(); ++i) {
        const Sample& s = drawn[i];
        if (std::isnan(s.rate))
            continue;
        const QPointF point(xFor(s.t), yFor(s.rate));
        const bool joined = i > 0 && !s.gapBefore && !std::isnan(drawn[i - 1].rate);
        p.setPen(QPen(colorFor(s.rate), 2.0, Qt::SolidLine, Qt::RoundCap));
        if (joined)
            p.drawLine(QPointF(xFor(drawn[i - 1].t), yFor(drawn[i - 1].rate)), point);
        else
            p.drawPoint(point);
    }
    if (const auto range = m_drag.range())
        oq::plots::PlotDrag::paintRange(p, *this, area, xFor(range->first), xFor(range->second));
}

void ProtocolPlot::wheelEvent(QWheelEvent* event)
{
    const QPoint delta = event->angleDelta();
    if (m_samples.empty() || delta.isNull())
        return;
    if (delta.x() != 0 || (event->modifiers() & Qt::ShiftModifier))
        panBy(double(delta.x() != 0 ? -delta.x() : -delta.y()) / 120.0 * 0.1);
    else
        zoomBy(std::pow(0.8, delta.y() / 120.0), timeAt(event->position().x()));
    event->accept();
}

void ProtocolPlot::mousePressEvent(QMouseEvent* event)
{
    if (m_samples.empty() || !m_drag.press(*this, *event, plotArea(), m_from, m_to))
        QWidget::mousePressEvent(event);
}

void ProtocolPlot::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_drag.active())
        return QWidget::mouseMoveEvent(event);
    if (const auto view = m_drag.moveTo(event->position().x()))
        setVisibleRange(view->first, view->second);
    update();
}

void ProtocolPlot::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_drag.active())
        return QWidget::mouseReleaseEvent(event);
    if (!m_drag.release(*this, event->position().x()))
        return;
    update();
    emit selectionChanged();
}

void ProtocolPlot::mouseDoubleClickEvent(QMouseEvent*) { showAll(); }

void ProtocolPlot::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomIn();
        break;
    case Qt::Key_Minus:
        zoomOut();
        break;
    case Qt::Key_0:
    case Qt::Key_Home:
        showAll();
        break;
    case Qt::Key_Left:
        panBy(-0.25);
        break;
    case Qt::Key_Right:
        panBy(0.25);
        break;
    case Qt::Key_Escape:
        clearSelection();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}
