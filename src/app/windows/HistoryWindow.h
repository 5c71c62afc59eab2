#pragma once
// View > Reading History…: one counter's timeline from the history database, live readings and
// downloaded protocols together, zoomed from an hour to all time; a selected range (or the
// range shown) exports as CSV or JSON. Each view asks SQLite for its buckets only.
#include <QMainWindow>
#include <QPointer>

#include <memory>
#include <thread>

#include "history/HistoryExport.h"

class HistoryPlot;
class OQAppDelegate;
class TransferProgressDialog;
class QComboBox;
class QLabel;
class QTimer;

namespace oq {
class ProgressRecord;
}
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
    QString exportResultText() const;

    // Opens the database again and shows what it holds now.
    void refresh();
    void zoom(Zoom zoom);
    // The view a counter opens on.
    Zoom openingZoom() const;
    void setView(qint64 fromMs, qint64 toMs);

    // Writes the selection, else the range shown, of the current counter to `path` on a thread of
    // its own, however long it is: the window stays live, a progress dialog follows the export and
    // its Cancel ends it (nothing is written then). exportFinished() tells how it ended; a failure
    // is also shown. One export at a time: false while one runs.
    bool startExport(const QString& path, oq::history::ExportFormat format);
    bool exporting() const { return m_exportThread.joinable(); }
    oq::ProgressRecord* exportProgress() const { return m_exportProgress.get(); }
    TransferProgressDialog* exportDialog() const { return m_exportDialog; }

    void showWindow();

signals:
    // `written`: the whole range is in the file. Otherwise `error` says why, or is empty when the
    // export was cancelled.
    void exportFinished(bool written, const QString& error);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void load();
    void exportAs(oq::history::ExportFormat format);
    void exportEnded(bool written, const QString& error, const QString& path, qint64 rows);
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
    // After an export: how many rows went where.
    QLabel* m_exportResult = nullptr;
    // What only a history with readings can use.
    QList<QWidget*> m_needData;
    QTimer* m_follow = nullptr;
    bool m_viewSet = false;
    TransferProgressDialog* m_exportDialog = nullptr;
    std::shared_ptr<oq::ProgressRecord> m_exportProgress;
    std::thread m_exportThread;
};
