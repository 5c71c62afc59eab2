#pragma once
// View > Reading History…: one counter's timeline from the history database, live readings and
// downloaded protocols together, zoomed from an hour to all time; a selected range (or the
// range shown) exports as CSV or JSON. Each view asks SQLite for its buckets only.
#include <QMainWindow>
#include <QPointer>

#include <memory>

#include "history/HistoryExport.h"

class HistoryPlot;
class OQAppDelegate;
class QComboBox;
class QLabel;
class QTimer;

namespace oq::history {
class Reader;
}

class HistoryWindow : public QMainWindow {
    Q_OBJECT
public:
    enum class Zoom { Hour, Day, Week, Month, Year, All };

    HistoryWindow(const QString& path, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    HistoryPlot* plot() const { return m_plot; }
    QComboBox* counterBox() const { return m_counter; }
    QComboBox* modeBox() const { return m_mode; }
    QString rangeText() const;

    // Opens the database again and shows what it holds now.
    void refresh();
    void zoom(Zoom zoom);
    void setView(qint64 fromMs, qint64 toMs);

    // The selection, else the range shown, of the current counter; false with `error`.
    bool exportRange(const QString& path, oq::history::ExportFormat format, QString* error) const;

    void showWindow();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void load();
    void exportAs(oq::history::ExportFormat format);
    QString serial() const;
    int mode() const;
    void updateRangeText();

    QString m_path;
    std::unique_ptr<oq::history::Reader> m_reader;
    QString m_problem;
    HistoryPlot* m_plot = nullptr;
    QComboBox* m_counter = nullptr;
    QComboBox* m_mode = nullptr;
    QLabel* m_range = nullptr;
    QTimer* m_follow = nullptr;
    bool m_viewSet = false;
};
