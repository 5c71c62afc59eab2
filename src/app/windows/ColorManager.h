#pragma once
// Decides the alarm level of the current reading against the user's thresholds and publishes the
// matching colours. Thresholds and colours are read from the settings store at every
// recalculation; a recalculation follows every change of the value, the mode or any setting.
//
// The level is judged by readings/Level.h.
//
// The colours change on the main thread only; setters may be called from any thread.
// It subscribes to the shared settings store when constructed: choose the store (useFile) first.
#include <QColor>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QVariant>
#include <QWidget>

#include <atomic>
#include <optional>

#include "platform/ArchivedColor.h"
#include "readings/Level.h"

// WCAG contrast ratio of two opaque colours, 1 to 21.
double contrastRatio(const QColor& a, const QColor& b);
// `text`, made darker or lighter as little as needed to reach `ratio` against `background`.
QColor legibleOn(const QColor& text, const QColor& background, double ratio = 4.5);
// A style sheet colour: widget style sheets outrank an application's (-stylesheet), palettes do not.
QString styleSheetColor(const QColor& color);

class ColorManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariant value READ valueVariant WRITE setValueVariant NOTIFY valueChanged)
    Q_PROPERTY(int mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(oq::Level level READ level NOTIFY levelChanged)
    Q_PROPERTY(QColor fontColor READ fontColor NOTIFY fontColorChanged)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor NOTIFY backgroundColorChanged)
    Q_PROPERTY(QColor barColor READ barColor NOTIFY barColorChanged)
    Q_PROPERTY(QWidget* backgroundView READ backgroundView WRITE setBackgroundView NOTIFY backgroundViewChanged)
public:
    using Level = oq::Level;

    static QColor fontColorForValue(double value, long long mode);
    static QColor backgroundColorForValue(double value, long long mode);
    // Always judged against the rate thresholds, whatever mode is shown.
    static QColor barColorForValue(double value);

    explicit ColorManager(QObject* parent = nullptr);

    // μSv/h in rate mode, μSv in dose mode; none while there is no reading.
    std::optional<double> value() const;
    void setValue(std::optional<double> value);
    QVariant valueVariant() const;
    // A variant that is not a number counts as none.
    void setValueVariant(const QVariant& value);
    int mode() const { return m_mode.load(); }
    void setMode(int mode);

    Level level() const { return m_level; }
    // Invalid (absent) until the first recalculation.
    QColor fontColor() const { return m_fontColor; }
    // The level's background, or the standard window background while there is no value.
    QColor backgroundColor() const { return m_backgroundColor; }
    QColor barColor() const { return m_barColor; }

    // The view whose background shows `backgroundColor` (not owned). Give it the widget that fills
    // the main window's content area. A change of the desktop theme recolours it, since the
    // standard window background follows the theme.
    QWidget* backgroundView() const { return m_backgroundView; }
    void setBackgroundView(QWidget* view);

public slots:
    // From any thread; off the main thread it schedules itself there and returns at once. The
    // scheduled run reads the value and mode current when it runs.
    void calculateColors();
    void defaultsChanged();

signals:
    void valueChanged();
    void modeChanged(int mode);
    void levelChanged(oq::Level level);
    void fontColorChanged(const QColor& color);
    void backgroundColorChanged(const QColor& color);
    void barColorChanged(const QColor& color);
    void backgroundViewChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyBackground();
    void watchWindowOf(QWidget* view);

    mutable QMutex m_valueMutex;
    std::optional<double> m_value;
    std::atomic<int> m_mode{0};
    std::atomic<bool> m_scheduled{false};

    Level m_level = Level::Normal;
    QColor m_fontColor, m_backgroundColor, m_barColor;
    QPointer<QWidget> m_backgroundView;
    QPointer<QWidget> m_watchedWindow;
    // The standard window background: left to the desktop's palette or style sheet.
    bool m_windowBackground = true;
};
