#include "app/windows/ProtocolWindow.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QSplitter>
#include <QTableView>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

#include "app/controller/ErrorPresenter.h"
#include "app/controller/OQAppDelegate.h"
#include "app/windows/ProtocolFile.h"
#include "app/windows/WindowPlace.h"
#include "app/plots/ProtocolPlot.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQProtocolExport.h"
#include "platform/LocalTime.h"
#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"

using oq::localized;

namespace {
QString dateText(const QDateTime& d)
{
    const QDateTime local = oq::LocalTime::of(d).toDateTime();
    return QLocale().toString(local.date(), QLocale::ShortFormat) + QLatin1Char(' ') + local.time().toString(QStringLiteral("HH:mm:ss"));
}
} // namespace

ProtocolEventModel::ProtocolEventModel(OQProtocolEventList events, QObject* parent)
    : QAbstractTableModel(parent)
    , m_events(std::move(events))
{
}

QString ProtocolEventModel::flagsText(const OQProtocolEvent& e)
{
    const struct {
        bool set;
        const char* key;
    } flags[] = {
        {e.dateChanged(), "ui.protocol.flag.date_changed"},
        {e.newInterval(), "ui.protocol.flag.new_interval"},
        {e.incompleteInterval(), "ui.protocol.flag.incomplete"},
        {e.overflow(), "ui.protocol.flag.overflow"},
        {e.doseAlarm(), "ui.protocol.flag.dose_alarm"},
        {e.doseRateAlarm(), "ui.protocol.flag.dose_rate_alarm"},
        {e.cdsChanged(), "ui.protocol.flag.cds_changed"},
    };
    QStringList words;
    for (const auto& f : flags) {
        if (f.set)
            words << localized(QString::fromLatin1(f.key));
    }
    return words.join(QStringLiteral(", "));
}

int ProtocolEventModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_events.size());
}

int ProtocolEventModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant ProtocolEventModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const OQProtocolEvent& e = *m_events[size_t(index.row())];
    if (role == Qt::TextAlignmentRole)
        return index.column() == Start || index.column() == Flags ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                                                  : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    const QLocale locale;
    switch (index.column()) {
    case Start:
        return dateText(e.startDate());
    case Duration:
        return localized(QStringLiteral("ui.protocol.seconds")).arg(locale.toString(e.duration()));
    case Pulses:
        return locale.toString(e.pulses());
    case DoseRate:
        return std::isnan(e.doseRate()) ? QStringLiteral("—") : locale.toString(e.doseRate(), 'f', 3);
    case Flags:
        return flagsText(e);
    default:
        return {};
    }
}

QVariant ProtocolEventModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    static const char* const keys[] = {"ui.protocol.column.start", "ui.protocol.column.duration",
        "ui.protocol.column.pulses", "ui.protocol.column.dose_rate", "ui.protocol.column.flags"};
    return section >= 0 && section < ColumnCount ? localized(QString::fromLatin1(keys[section])) : QVariant();
}

ProtocolWindow* ProtocolWindow::create(OQAppDelegate* controller, std::shared_ptr<OQProtocol> protocol,
    const QString& path, QWidget* parent, oq::ErrorRecord* error)
{
    if (!protocol)
        return nullptr;
    oq::ErrorRecord parseError;
    auto events = protocol->protocolEventsError(&parseError);
    if (!events && !parseError.domain().isEmpty()) {
        if (!path.isEmpty()) // the presentation then offers the way back to the counter
            parseError = parseError.errorByAddingUserInfo({{QLatin1String(OQProtocolTargetURL), QUrl::fromLocalFile(path)}});
        if (error)
            *error = parseError;
        return nullptr;
    }
    return new ProtocolWindow(controller, std::move(protocol), events.value_or(OQProtocolEventList{}), path, parent);
}

ProtocolWindow::ProtocolWindow(OQAppDelegate* controller, std::shared_ptr<OQProtocol> protocol, OQProtocolEventList events,
    const QString& path, QWidget* parent)
    : QMainWindow(parent, Qt::Window)
    , m_controller(controller)
    , m_protocol(std::move(protocol))
    , m_path(path)
{
    setObjectName(QStringLiteral("protocolWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    updateTitle();

    m_model = new ProtocolEventModel(std::move(events), this);
    m_plot = new ProtocolPlot(this);
    m_plot->setEvents(m_model->events());
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("protocolTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setAlternatingRowColors(true);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(ProtocolEventModel::Flags, QHeaderView::Stretch);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &ProtocolWindow::showEventOnPlot);
    connect(m_plot, &ProtocolPlot::selectionChanged, this, &ProtocolWindow::selectEventsOfPlotRange);

    m_summary = new QLabel(summaryText(), this);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_summary->setWordWrap(true);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(m_plot);
    splitter->addWidget(m_table);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(8, 6, 8, 8);
    layout->addWidget(m_summary);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);

    auto* tools = addToolBar(localized(QStringLiteral("ui.protocol.toolbar")));
    tools->setObjectName(QStringLiteral("protocolToolBar"));
    tools->setMovable(false);
    auto* zoomIn = tools->addAction(localized(QStringLiteral("ui.protocol.zoom_in")), m_plot, &ProtocolPlot::zoomIn);
    zoomIn->setShortcut(QKeySequence::ZoomIn);
    auto* zoomOut = tools->addAction(localized(QStringLiteral("ui.protocol.zoom_out")), m_plot, &ProtocolPlot::zoomOut);
    zoomOut->setShortcut(QKeySequence::ZoomOut);
    auto* all = tools->addAction(localized(QStringLiteral("ui.protocol.show_all")), m_plot, &ProtocolPlot::showAll);
    all->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    tools->addSeparator();
    auto* save = tools->addAction(localized(QStringLiteral("ui.protocol.save_dump")), this, &ProtocolWindow::saveDumpAs);
    save->setShortcut(QKeySequence::Save);
    tools->addAction(localized(QStringLiteral("ui.protocol.export_csv")), this, &ProtocolWindow::exportCsv);
    tools->addAction(localized(QStringLiteral("ui.protocol.export_json")), this, &ProtocolWindow::exportJson);
    for (QAction* a : tools->actions())
        addAction(a); // shortcuts work wherever the focus is in the window
    auto* close = new QAction(this);
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, this, &QWidget::close);
    addAction(close);

    resize(900, 640);
    rememberWindowPlace(this, oq::settings::ProtocolWindowPlace);
}

void ProtocolWindow::updateTitle()
{
    setWindowTitle(m_path.isEmpty() ? localized(QStringLiteral("ui.protocol.title_downloaded"))
                                    : localized(QStringLiteral("ui.protocol.title_file")).arg(QFileInfo(m_path).fileName()));
}

bool ProtocolWindow::saveDump(const QString& path, oq::ErrorRecord* error)
{
    if (!oq::protocolfile::save(*m_protocol, path, error))
        return false;
    m_path = path;
    updateTitle();
    return true;
}

void ProtocolWindow::saveDumpAs()
{
    const auto info = m_protocol->info();
    const QString name = m_path.isEmpty()
        ? oq::protocolfile::suggestedFileName(info ? info->serialNumber() : QString(), m_protocol->transmissionDate())
        : QFileInfo(m_path).fileName();
    const QString folder = m_path.isEmpty() ? oq::protocolfile::dialogFolder() : QFileInfo(m_path).absolutePath();
    const QString path = QFileDialog::getSaveFileName(this, localized(QStringLiteral("ui.protocol.save_title")),
        QDir(folder).filePath(name), localized(QStringLiteral("ui.protocol.file_filter")));
    oq::protocolfile::rememberDialogFolder(path);
    oq::ErrorRecord error;
    if (!path.isEmpty() && !saveDump(path, &error))
        ErrorPresenter::present(m_controller, this, error);
}

QString ProtocolWindow::summaryText() const
{
    const auto info = m_protocol->info();
    const QString serial = info && !info->serialNumber().isEmpty() ? info->serialNumber() : QStringLiteral("—");
    const QString firmware = info && !info->firmwareVersion().isEmpty() ? info->firmwareVersion() : QStringLiteral("—");
    const QString read = m_protocol->transmissionDate().isValid() ? dateText(m_protocol->transmissionDate()) : QStringLiteral("—");
    return localized(QStringLiteral("ui.protocol.summary"))
        .arg(serial, firmware, read, QLocale().toString(qlonglong(m_model->events().size())));
}

bool ProtocolWindow::exportEvents(const QString& path, ExportFormat format, oq::ErrorRecord* error) const
{
    const OQEventsFormat as = format == ExportFormat::Csv ? OQEventsFormat::Csv : OQEventsFormat::Json;
    return oq::protocolfile::writeAtomically(
        path, [&](QIODevice& file) { return OQProtocolEventsWrite(events(), as, file); }, error);
}

void ProtocolWindow::exportCsv() { exportAs(ExportFormat::Csv); }

void ProtocolWindow::exportJson() { exportAs(ExportFormat::Json); }

void ProtocolWindow::exportAs(ExportFormat format)
{
    const bool csv = format == ExportFormat::Csv;
    const QString base = m_path.isEmpty() ? QStringLiteral("protocol") : QFileInfo(m_path).completeBaseName();
    const QString folder = m_path.isEmpty() ? oq::protocolfile::dialogFolder() : QFileInfo(m_path).absolutePath();
    const QString path = QFileDialog::getSaveFileName(this, localized(QStringLiteral("ui.protocol.export_title")),
        QDir(folder).filePath(base + (csv ? QStringLiteral(".csv") : QStringLiteral(".json"))),
        localized(csv ? QStringLiteral("ui.protocol.csv_filter") : QStringLiteral("ui.protocol.json_filter")));
    oq::protocolfile::rememberDialogFolder(path);
    if (path.isEmpty())
        return;
    oq::ErrorRecord error;
    if (!exportEvents(path, format, &error))
        ErrorPresenter::present(m_controller, this, error);
}

void ProtocolWindow::selectEventsOfPlotRange()
{
    const auto range = m_plot->selection();
    const auto& events = m_model->events();
    const auto inRange = [&](size_t row) {
        const auto& e = events[row];
        if (!range || !e || !e->startDate().isValid())
            return false;
        const qint64 t = e->startDate().toMSecsSinceEpoch();
        return t >= range->first && t < range->second;
    };
    QItemSelection rows;
    const int n = int(events.size());
    for (int row = 0, start = -1; row <= n; ++row) {
        const bool in = row < n && inRange(size_t(row));
        if (in && start < 0)
            start = row;
        if (!in && start >= 0) {
            rows.select(m_model->index(start, 0), m_model->index(row - 1, ProtocolEventModel::ColumnCount - 1));
            start = -1;
        }
    }
    m_table->selectionModel()->select(rows, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (!rows.isEmpty())
        m_table->scrollTo(rows.first().topLeft(), QAbstractItemView::PositionAtTop);
}

void ProtocolWindow::showEventOnPlot(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    const qint64 t = m_model->events()[size_t(index.row())]->startDate().toMSecsSinceEpoch();
    if (t >= m_plot->visibleFrom() && t <= m_plot->visibleTo())
        return;
    const qint64 half = (m_plot->visibleTo() - m_plot->visibleFrom()) / 2;
    m_plot->setVisibleRange(t - half, t + half);
}
