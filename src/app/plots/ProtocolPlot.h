#pragma once
// The dose rate of a protocol's events over time, on a logarithmic rate axis, with the warning and
// danger thresholds drawn in the level colours. Zoomable by time: wheel or +/- around a point,
// Shift+wheel, Shift+drag or the arrow keys to move, double click or 0 to see everything; a drag
// selects a range.
#include <QWidget>

#include <optional>
#include <vector>

#include "app/plots/PlotDrag.h"
#include "app/plots/TimeAxis.h"
#include "parser/OQProtocol.h"

class ProtocolPlot : public QWidget {
    Q_OBJECT
public:
    struct Sample {
        qint64 t = 0;     // ms since the epoch: when the interval's count was recorded
        double rate = 0;  // μSv/h; NaN when none could be computed
        bool gapBefore = false; // no line from the previous sample (a time jump)
    };
    // Narrowest time span a zoom reaches, in ms.
    static constexpr qint64 kMinSpanMs = 60 * 1000;

    explicit ProtocolPlot(QWidget* parent = nullptr);

    void setEvents(const OQProtocolEventList& events);
    const std::vector<Sample>& samples() const { return m_samples; }

    qint64 visibleFrom() const { return m_from; }
    qint64 visibleTo() const { return m_to; }
    qint64 dataFrom() const { return m_dataFrom; }
    qint64 dataTo() const { return m_dataTo; }
    // Clamped to the data, and to at least kMinSpanMs where the data allows.
    void setVisibleRange(qint64 from, qint64 to);
    bool isZoomed() const { return m_from > m_dataFrom || m_to < m_dataTo; }
    // Scales the visible span by `factor` (< 1 zooms in), keeping `anchor` where it is.
    void zoomBy(double factor, qint64 anchor);

    // The range dragged out, if any.
    std::optional<std::pair<qint64, qint64>> selection() const { return m_drag.range(); }
    void clearSelection();
    // The time axis as drawn for the visible range and width.
    oq::plots::TimeAxis timeAxis() const;

    QSize sizeHint() const override { return {640, 280}; }
    QSize minimumSizeHint() const override { return {240, 140}; }

public slots:
    void zoomIn();
    void zoomOut();
    void showAll();

signals:
    void visibleRangeChanged(qint64 from, qint64 to);
    void selectionChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QRectF plotArea() const;
    qint64 timeAt(double x) const;
    void panBy(double fractionOfSpan);

    std::vector<Sample> m_samples;
    double m_minPositiveRate = 0, m_maxRate = 0;
    qint64 m_dataFrom = 0, m_dataTo = 0, m_from = 0, m_to = 0;
    oq::plots::PlotDrag m_drag;
};
