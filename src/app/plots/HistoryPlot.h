#pragma once
// The History window's timeline: per bucket the min–max band and the mean line of the live
// readings, the downloaded protocol's dose rates drawn apart from them, the warning and danger
// lines in their level colours, gaps left open. The wheel zooms around the pointer (with Shift,
// or sideways, it moves), the arrow keys move and +/- zoom, a drag selects a range (with Shift it
// moves); hovering shows the values under the pointer.
#include <QColor>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

#include "app/plots/PlotDrag.h"
#include "app/plots/TimeAxis.h"
#include "history/HistoryTypes.h"

class HistoryPlot : public QWidget {
    Q_OBJECT
public:
    struct Data {
        std::vector<oq::history::Bucket> live;
        qint64 liveBucketMs = 60000;
        // The protocol's dose rates: every interval when there are few, else per bucket.
        std::vector<oq::history::Interval> intervals;
        std::vector<oq::history::Bucket> protocolBuckets;
        qint64 protocolBucketMs = 60000;
    };
    struct Line {
        double value = 0;
        QColor color;
        QString name;
    };

    explicit HistoryPlot(QWidget* parent = nullptr);

    void setView(qint64 fromMs, qint64 toMs);
    qint64 viewFrom() const { return m_from; }
    qint64 viewTo() const { return m_to; }
    void setData(Data data);
    const Data& data() const { return m_data; }
    void setLines(std::vector<Line> lines);
    void setColors(const QColor& live, const QColor& protocol);
    // The unit values are shown in; shown = stored × scale (the data stay in μSv/h or μSv).
    void setUnit(const QString& unit, double scale = 1.0);
    // Shown in place of the timeline when nothing is to be drawn.
    void setEmptyText(const QString& text);
    void setLegend(const QString& live, const QString& protocol);

    // The range dragged out, if any.
    std::optional<std::pair<qint64, qint64>> selection() const { return m_drag.range(); }
    void clearSelection();
    // What hovering at `x` shows; empty where nothing is.
    QString valuesAt(double x) const;
    // The live readings in view, in words: what hovering tells a mouse user, for everyone.
    QString summary() const;

    // Where the time axis is marked between `fromMs` and `toMs` for ticks `stepMs` apart.
    static std::vector<qint64> timeTicks(qint64 fromMs, qint64 toMs, qint64 stepMs)
    {
        return oq::plots::timeTicks(fromMs, toMs, stepMs);
    }
    // The time axis as drawn for the view and width.
    oq::plots::TimeAxis timeAxis() const;
    // The longest view: zooming out stops there.
    static qint64 longestView();

    // Buckets the width can draw apart.
    int bucketCapacity() const { return std::max(50, plotArea().toRect().width() / 2); }
    QRectF plotArea() const;

    QSize sizeHint() const override { return {800, 360}; }

signals:
    // The user asked to see [fromMs, toMs).
    void viewRequested(qint64 fromMs, qint64 toMs);
    void selectionChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    double xAt(qint64 ms) const;
    qint64 timeAt(double x) const;
    double yAt(double value) const;
    void zoomAround(qint64 centre, double factor);
    void pan(double fraction);
    void drawAxes(QPainter& p);
    void drawLive(QPainter& p);
    void drawProtocol(QPainter& p);
    void drawLines(QPainter& p);
    void drawLegend(QPainter& p);
    QString formatValue(double value) const;

    qint64 m_from = 0;
    qint64 m_to = 3600000;
    double m_yMax = 1.0;
    Data m_data;
    std::vector<Line> m_lines;
    QColor m_live{40, 170, 40};
    QColor m_protocol{80, 80, 210};
    QString m_unit;
    double m_scale = 1.0;
    QString m_empty;
    QString m_liveLegend, m_protocolLegend;
    oq::plots::PlotDrag m_drag;
    std::optional<double> m_hoverX;
};
