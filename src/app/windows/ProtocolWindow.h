#pragma once
// A protocol read from the counter or a stored dump: its events in a table and its dose rate over
// time in a plot, with the events' export as CSV or JSON.
#include <QAbstractTableModel>
#include <QMainWindow>
#include <QPointer>

#include <memory>

#include "parser/OQProtocol.h"
#include "platform/ErrorRecord.h"

class OQAppDelegate;
class ProtocolPlot;
class QLabel;
class QTableView;

class ProtocolEventModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Start, Duration, Pulses, DoseRate, Flags, ColumnCount };

    explicit ProtocolEventModel(OQProtocolEventList events, QObject* parent = nullptr);
    const OQProtocolEventList& events() const { return m_events; }

    // The flags an event carries, as short words; empty when none.
    static QString flagsText(const OQProtocolEvent& event);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    OQProtocolEventList m_events;
};

class ProtocolWindow : public QMainWindow {
    Q_OBJECT
public:
    enum class ExportFormat { Csv, Json };

    // The window for `protocol` (read from `path`, or just downloaded when `path` is empty), or
    // nothing with `error` when its dump does not parse. A protocol without events opens empty.
    static ProtocolWindow* create(OQAppDelegate* controller, std::shared_ptr<OQProtocol> protocol, const QString& path,
        QWidget* parent, oq::ErrorRecord* error);

    const std::shared_ptr<OQProtocol>& protocol() const { return m_protocol; }
    const OQProtocolEventList& events() const { return m_model->events(); }
    const QString& filePath() const { return m_path; }
    ProtocolPlot* plot() const { return m_plot; }
    QTableView* table() const { return m_table; }
    QString summaryText() const;

    // Writes the events atomically; false with `error` (shown to nobody: callers decide).
    bool exportEvents(const QString& path, ExportFormat format, oq::ErrorRecord* error) const;
    // Stores the dump itself, atomically; the window then names that file.
    bool saveDump(const QString& path, oq::ErrorRecord* error);

public slots:
    // Ask for a file and store the dump; failures go through the error presentation.
    void saveDumpAs();
    // Ask for a file and export; failures go through the error presentation.
    void exportCsv();
    void exportJson();

private:
    ProtocolWindow(OQAppDelegate* controller, std::shared_ptr<OQProtocol> protocol, OQProtocolEventList events,
        const QString& path, QWidget* parent);
    void exportAs(ExportFormat format);
    void showEventOnPlot(const QModelIndex& index);
    // The events in the range dragged out on the plot become the table's selection.
    void selectEventsOfPlotRange();
    void updateTitle();

    QPointer<OQAppDelegate> m_controller;
    std::shared_ptr<OQProtocol> m_protocol;
    QString m_path;
    ProtocolEventModel* m_model = nullptr;
    ProtocolPlot* m_plot = nullptr;
    QTableView* m_table = nullptr;
    QLabel* m_summary = nullptr;
};
