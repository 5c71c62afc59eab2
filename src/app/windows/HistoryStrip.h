#pragma once
// The last ten minutes of live readings as a line under the main window's figure, each stretch in
// the colour of its alarm level. Readings are stamped with the modelled clock (platform/Clock.h),
// so the strip scrolls with the same time the device link runs on.
#include <QWidget>

#include <deque>
#include <functional>
#include <optional>

class HistoryStrip : public QWidget {
    Q_OBJECT
public:
    static constexpr double kSpanSeconds = 600.0;

    struct Reading {
        double t = 0;  // modelled seconds
        std::optional<double> value; // none: no reading from here on (stopped, unplugged)
    };

    explicit HistoryStrip(QWidget* parent = nullptr);

    // `t` defaults to the modelled clock's now. Readings older than the span are dropped.
    void addReading(std::optional<double> value, std::optional<double> t = std::nullopt);
    void clear();
    const std::deque<Reading>& readings() const { return m_readings; }

    // 1 dose rate, 2 dose: picks the thresholds that colour the line. A new mode starts afresh,
    // since rates and doses do not belong on one line.
    void setMode(long long mode);
    long long mode() const { return m_mode; }

    // The scale's label text for a value (the display unit's format); none: plain numbers.
    void setValueFormatter(std::function<QString(double)> formatter) { m_format = std::move(formatter); }
    // For pictures and tests: draw as of this time instead of the clock's now.
    void setFixedNow(std::optional<double> t) { m_fixedNow = t; update(); }

    QSize sizeHint() const override { return {480, 96}; }
    QSize minimumSizeHint() const override { return {120, 96}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    double now() const;
    void dropOld(double now);

    std::deque<Reading> m_readings;
    long long m_mode = 1;
    std::function<QString(double)> m_format;
    std::optional<double> m_fixedNow;
    int m_timer = 0;
};
