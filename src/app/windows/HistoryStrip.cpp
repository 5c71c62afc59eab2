#include "app/windows/HistoryStrip.h"

#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QTimerEvent>

#include <algorithm>
#include <cmath>

#include "platform/Clock.h"
#include "platform/StringTable.h"
#include "app/windows/ColorManager.h"

using oq::localized;
using Level = ColorManager::Level;

HistoryStrip::HistoryStrip(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("historyStrip"));
    setAccessibleName(localized(QStringLiteral("ui.history.accessible")));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setFixedHeight(96);
}

double HistoryStrip::now() const { return m_fixedNow.value_or(oq::clock::now()); }

void HistoryStrip::addReading(std::optional<double> value, std::optional<double> t)
{
    if (value && !std::isfinite(*value))
        value.reset();
    const double at = t.value_or(now());
    // Several gaps in a row say no more than one.
    if (!value && (m_readings.empty() || !m_readings.back().value))
        return;
    m_readings.push_back({at, value});
    dropOld(at);
    update();
}

void HistoryStrip::dropOld(double now)
{
    // Keep the last reading before the window's edge: the line enters from it.
    while (m_readings.size() > 1 && m_readings[1].t < now - kSpanSeconds)
        m_readings.pop_front();
}

void HistoryStrip::clear()
{
    m_readings.clear();
    update();
}

void HistoryStrip::setMode(long long mode)
{
    if (mode == m_mode)
        return;
    m_mode = mode;
    clear();
}

void HistoryStrip::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_timer)
        m_timer = startTimer(1000);
}

void HistoryStrip::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (m_timer)
        killTimer(std::exchange(m_timer, 0));
}

void HistoryStrip::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_timer)
        update();
}

void HistoryStrip::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // A panel of its own: at the danger level the window behind is the danger colour itself.
    const QRectF panel = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor base = palette().color(QPalette::Base);
    QColor frame = palette().color(QPalette::Text);
    frame.setAlphaF(0.25);
    p.setPen(frame);
    p.setBrush(base);
    p.drawRoundedRect(panel, 4, 4);

    const double t1 = now();
    const double t0 = t1 - kSpanSeconds;
    const QFontMetricsF fm(font());
    const QRectF area = panel.adjusted(6, fm.height() + 2, -6, -4);
    double top = 0;
    for (const Reading& r : m_readings) {
        if (r.value)
            top = std::max(top, *r.value);
    }
    // Headroom above the highest reading; a flat zero line sits on the floor.
    top = top > 0 ? top * 1.15 : 1.0;

    QColor text = palette().color(QPalette::Text);
    p.setPen(text);
    const QString scale = m_format ? m_format(top) : QLocale().toString(top, 'g', 3);
    p.drawText(QRectF(panel.left() + 6, panel.top() + 1, panel.width() / 2, fm.height()), Qt::AlignLeft | Qt::AlignVCenter, scale);
    p.drawText(QRectF(panel.center().x(), panel.top() + 1, panel.width() / 2 - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
        localized(QStringLiteral("ui.history.span")));

    const auto xFor = [&](double t) { return area.left() + (t - t0) / kSpanSeconds * area.width(); };
    const auto yFor = [&](double v) { return area.bottom() - std::clamp(v / top, 0.0, 1.0) * area.height(); };
    const QColor colors[] = {oq::levelColor(Level::Normal, oq::LevelColor::Bar).toQColor(palette()),
        oq::levelColor(Level::Warning, oq::LevelColor::Bar).toQColor(palette()),
        oq::levelColor(Level::Danger, oq::LevelColor::Bar).toQColor(palette())};

    p.setClipRect(area.adjusted(-2, -2, 2, 2));
    for (size_t i = 0; i < m_readings.size(); ++i) {
        const Reading& r = m_readings[i];
        if (!r.value)
            continue;
        const QColor color = colors[int(oq::levelForValue(*r.value, m_mode))];
        p.setPen(QPen(color, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF point(xFor(r.t), yFor(*r.value));
        if (i > 0 && m_readings[i - 1].value)
            p.drawLine(QPointF(xFor(m_readings[i - 1].t), yFor(*m_readings[i - 1].value)), point);
        else
            p.drawPoint(point);
    }
}
