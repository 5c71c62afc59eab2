#include "app/windows/HistoryWindow.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "app/plots/HistoryPlot.h"
#include "app/windows/AccessibleRole.h"
#include "app/windows/ProtocolFile.h"
#include "app/windows/TransferProgressDialog.h"
#include "app/windows/WindowPlace.h"
#include "history/HistoryReader.h"
#include "platform/Dispatch.h"
#include "platform/ProgressRecord.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "app/windows/ColorManager.h"
#include "readings/UnitStrategies.h"

using oq::localized;

namespace {

constexpr qint64 kHour = 3600000, kDay = 24 * kHour;
// Beyond this many intervals in view, the protocol is drawn per bucket.
constexpr qint64 kIntervalsDrawnOneByOne = 4000;
// While the view reaches the present, it follows new readings this often (ms).
constexpr int kFollowInterval = 2000;

QColor barColor(ColorManager::Level level)
{
    return oq::levelColor(level, oq::LevelColor::Bar).toQColor();
}

} // namespace

HistoryWindow::HistoryWindow(const QString& path, QWidget* parent)
    : QMainWindow(parent, Qt::Window)
    , m_path(path)
{
    setObjectName(QStringLiteral("historyWindow"));
    setWindowTitle(localized(QStringLiteral("history.title")));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* bar = new QHBoxLayout;
    auto* counterLabel = new QLabel(localized(QStringLiteral("history.counter")), central);
    m_counter = new QComboBox(central);
    m_counter->setObjectName(QStringLiteral("historyCounter"));
    m_counter->setMinimumContentsLength(10);
    counterLabel->setBuddy(m_counter);
    m_mode = new QComboBox(central);
    m_mode->setObjectName(QStringLiteral("historyMode"));
    m_mode->setAccessibleName(localized(QStringLiteral("history.mode.name")));
    m_mode->addItem(localized(QStringLiteral("history.mode.rate")), int(oq::history::Rate));
    m_mode->addItem(localized(QStringLiteral("history.mode.dose")), int(oq::history::Dose));
    bar->addWidget(counterLabel);
    bar->addWidget(m_counter);
    bar->addWidget(m_mode);
    bar->addSpacing(12);
    const std::pair<const char*, Zoom> zooms[] = {{"history.zoom.hour", Zoom::Hour}, {"history.zoom.day", Zoom::Day},
        {"history.zoom.week", Zoom::Week}, {"history.zoom.month", Zoom::Month}, {"history.zoom.year", Zoom::Year},
        {"history.zoom.all", Zoom::All}};
    for (const auto& [key, z] : zooms) {
        auto* button = new QPushButton(localized(QString::fromLatin1(key)), central);
        button->setObjectName(QString::fromLatin1(key));
        button->setToolTip(localized(QStringLiteral("history.zoom.hint")));
        connect(button, &QPushButton::clicked, this, [this, zz = z] { zoom(zz); });
        bar->addWidget(button);
        m_needData << button;
    }
    bar->addStretch(1);
    auto* csv = new QPushButton(localized(QStringLiteral("history.export_csv")), central);
    auto* json = new QPushButton(localized(QStringLiteral("history.export_json")), central);
    connect(csv, &QPushButton::clicked, this, [this] { exportAs(oq::history::ExportFormat::Csv); });
    connect(json, &QPushButton::clicked, this, [this] { exportAs(oq::history::ExportFormat::Json); });
    bar->addWidget(csv);
    bar->addWidget(json);
    m_needData << csv << json << m_counter << m_mode;
    layout->addLayout(bar);

    m_plot = new HistoryPlot(central);
    setAccessibleRole(m_plot, QAccessible::Chart);
    m_plot->setToolTip(QString());
    m_plot->setAccessibleName(localized(QStringLiteral("history.plot.name")));
    m_plot->setAccessibleDescription(localized(QStringLiteral("history.plot.description")));
    m_plot->setLegend(localized(QStringLiteral("history.legend.live")), localized(QStringLiteral("history.legend.protocol")));
    layout->addWidget(m_plot, 1);
    m_range = new QLabel(central);
    m_range->setObjectName(QStringLiteral("historyRange"));
    m_range->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_range);
    m_exportResult = new QLabel(central);
    setAccessibleRole(m_exportResult, QAccessible::Notification);
    m_exportResult->setObjectName(QStringLiteral("historyExportResult"));
    m_exportResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_exportResult->setWordWrap(true);
    m_exportResult->setVisible(false);
    layout->addWidget(m_exportResult);
    setCentralWidget(central);
    resize(960, 480);
    rememberWindowPlace(this, oq::settings::HistoryWindowPlace);
    connect(new QShortcut(QKeySequence::Close, this), &QShortcut::activated, this, &QWidget::close);
    // Escape first drops a chosen period, then closes.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
        if (m_plot->selection())
            m_plot->clearSelection();
        else
            close();
    });

    connect(m_plot, &HistoryPlot::viewRequested, this, &HistoryWindow::setView);
    connect(m_plot, &HistoryPlot::selectionChanged, this, &HistoryWindow::updateRangeText);
    connect(m_counter, &QComboBox::currentIndexChanged, this, [this] { zoom(openingZoom()); });
    connect(m_mode, &QComboBox::currentIndexChanged, this, &HistoryWindow::load);
    m_follow = new QTimer(this);
    m_follow->setInterval(kFollowInterval);
    connect(m_follow, &QTimer::timeout, this, [this] {
        // Only a view that reaches the present changes with new readings.
        if (isVisible() && m_plot->viewTo() >= QDateTime::currentMSecsSinceEpoch() - kFollowInterval
            && m_plot->viewTo() - m_plot->viewFrom() <= 7 * kDay)
            load();
    });
    refresh();
}

HistoryWindow::~HistoryWindow()
{
    // An export under way stops at its next rows and leaves no file behind.
    if (m_exportThread.joinable()) {
        m_exportProgress->cancel();
        m_exportThread.join();
    }
}

void HistoryWindow::showWindow()
{
    show();
    raise();
    activateWindow();
}

void HistoryWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    refresh();
    m_follow->start();
}

QString HistoryWindow::serial() const { return m_counter->currentData().toString(); }

int HistoryWindow::mode() const { return m_mode->currentData().toInt(); }

void HistoryWindow::refresh()
{
    m_reader = oq::history::Reader::open(m_path, &m_problem);
    const QString current = serial();
    const QSignalBlocker quiet(m_counter);
    m_counter->clear();
    if (m_reader) {
        for (const QString& s : m_reader->counters())
            m_counter->addItem(s.isEmpty() ? localized(QStringLiteral("history.unknown_counter")) : s, s);
    }
    // Nothing recorded yet: nothing to choose, zoom or export.
    for (QWidget* w : std::as_const(m_needData))
        w->setEnabled(m_counter->count() > 0);
    const int keep = m_counter->findData(current);
    m_counter->setCurrentIndex(keep >= 0 ? keep : 0);
    if (!m_viewSet)
        zoom(openingZoom());
    else
        load();
}

HistoryWindow::Zoom HistoryWindow::openingZoom() const
{
    // A day, unless less was recorded: a short history fills the plot rather than its last sliver.
    const auto span = m_reader && m_counter->count() ? m_reader->span(serial()) : std::nullopt;
    return span && span->second - span->first < kDay ? Zoom::All : Zoom::Day;
}

void HistoryWindow::zoom(Zoom zoom)
{
    const auto span = m_reader && m_counter->count() ? m_reader->span(serial()) : std::nullopt;
    const qint64 latest = span ? std::max(span->second, QDateTime::currentMSecsSinceEpoch()) : QDateTime::currentMSecsSinceEpoch();
    qint64 length = kDay;
    switch (zoom) {
    case Zoom::Hour: length = kHour; break;
    case Zoom::Day: length = kDay; break;
    case Zoom::Week: length = 7 * kDay; break;
    case Zoom::Month: length = 30 * kDay; break;
    case Zoom::Year: length = 365 * kDay; break;
    case Zoom::All:
        if (span) {
            const qint64 margin = std::max<qint64>(60000, (latest - span->first) / 50);
            setView(span->first - margin, latest + margin);
            return;
        }
        break;
    }
    setView(latest - length, latest + length / 50);
}

void HistoryWindow::setView(qint64 fromMs, qint64 toMs)
{
    m_viewSet = true;
    m_plot->setView(fromMs, toMs);
    load();
}

void HistoryWindow::load()
{
    const qint64 from = m_plot->viewFrom(), to = m_plot->viewTo();
    HistoryPlot::Data data;
    if (m_reader && m_counter->count()) {
        const QString s = serial();
        const qint64 bucket = std::max<qint64>(1000, (to - from) / m_plot->bucketCapacity());
        data.liveBucketMs = m_reader->effectiveBucket(s, mode(), from, bucket);
        data.live = m_reader->liveBuckets(s, mode(), from, to, bucket);
        if (mode() == oq::history::Rate) {
            if (m_reader->intervalCount(s, from - kDay, to) <= kIntervalsDrawnOneByOne) {
                data.intervals = m_reader->intervals(s, from - kDay, to); // a long interval may reach into view
            } else {
                data.protocolBucketMs = bucket;
                data.protocolBuckets = m_reader->intervalBuckets(s, from, to, bucket);
            }
        }
    }
    const bool rate = mode() == oq::history::Rate;
    auto& store = oq::SettingsStore::shared();
    // Dose thresholds are kept in mSv, readings in μSv.
    const double warning = store.doubleForKey(rate ? oq::settings::WarningRateValue : oq::settings::WarningDoseValue) * (rate ? 1 : 1000);
    const double danger = store.doubleForKey(rate ? oq::settings::DangerRateValue : oq::settings::DangerDoseValue) * (rate ? 1 : 1000);
    m_plot->setColors(barColor(ColorManager::Level::Normal), QColor(80, 80, 210));
    m_plot->setLines({{warning, barColor(ColorManager::Level::Warning), localized(QStringLiteral("preferences.level.warning"))},
        {danger, barColor(ColorManager::Level::Danger), localized(QStringLiteral("preferences.level.danger"))}});
    // The data stay in μSv; a rem user reads them in the units the main window shows.
    if (store.stringForKey(oq::settings::displayUnit) == QLatin1String("rem")) {
        const RemUnitStrategy rem;
        m_plot->setUnit(rate ? rem.rateUnit() : rem.doseUnit(), rate ? 100.0 : 0.1);
    } else {
        m_plot->setUnit(rate ? QStringLiteral("μSv/h") : QStringLiteral("μSv"));
    }
    // A query that failed is said, not shown as an empty history.
    const QString problem = m_reader ? m_reader->error() : (QFile::exists(m_path) ? m_problem : QString());
    m_plot->setEmptyText(problem.isEmpty() ? localized(QStringLiteral("history.empty"))
                                           : localized(QStringLiteral("history.unavailable")).arg(problem));
    m_plot->setData(std::move(data));
    m_plot->setAccessibleDescription(m_plot->summary() + QLatin1Char(' ')
                                     + localized(QStringLiteral("history.plot.description")));
    updateRangeText();
}

QString HistoryWindow::rangeText() const { return m_range->text(); }
QString HistoryWindow::exportResultText() const { return m_exportResult->text(); }

void HistoryWindow::updateRangeText()
{
    const QLocale locale;
    const auto text = [&](qint64 ms) { return locale.toString(QDateTime::fromMSecsSinceEpoch(ms), QLocale::ShortFormat); };
    if (const auto s = m_plot->selection())
        m_range->setText(localized(QStringLiteral("history.selection")).arg(text(s->first), text(s->second)));
    else
        m_range->setText(localized(QStringLiteral("history.range")).arg(text(m_plot->viewFrom()), text(m_plot->viewTo())));
}

namespace {

// Runs on the export's own thread, with a reader of its own (a connection serves one thread).
bool exportToFile(const QString& database, const QString& serial, std::pair<qint64, qint64> range, const QString& path,
    oq::history::ExportFormat format, const std::shared_ptr<oq::ProgressRecord>& progress, QString& error)
{
    const auto reader = oq::history::Reader::open(database, &error);
    if (!reader)
        return false;
    const auto report = [progress](double fraction) {
        const qint64 done = qint64(std::clamp(fraction, 0.0, 1.0) * double(progress->totalUnitCount()));
        QMetaObject::invokeMethod(progress.get(), [progress, done] { progress->setCompletedUnitCount(done); });
        return !progress->isCancelled();
    };
    oq::ErrorRecord failure;
    const bool ok = report(0) && oq::protocolfile::writeAtomically(path, [&](QIODevice& out) {
        return oq::history::exportRaw(*reader, {serial}, range.first, range.second, format,
                   [](double rate) { return int(oq::levelForValue(rate, 1)); }, out, report)
            && report(1); // a cancel up to the last moment leaves no file
    }, &failure);
    if (!ok && !progress->isCancelled())
        error = !reader->error().isEmpty() ? reader->error() : failure.localizedDescription();
    return ok;
}

// The rows in a finished export: CSV lines under the header, JSON objects (one a line).
qint64 exportedRows(const QString& path, oq::history::ExportFormat format)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const bool json = format == oq::history::ExportFormat::Json;
    qint64 rows = json ? 0 : -1;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        rows += json ? line.startsWith('{') : 1;
    }
    return std::max<qint64>(rows, 0);
}

} // namespace

bool HistoryWindow::startExport(const QString& path, oq::history::ExportFormat format)
{
    if (exporting())
        return false;
    if (!m_exportDialog) {
        m_exportDialog = new TransferProgressDialog(this);
        connect(m_exportDialog, &TransferProgressDialog::cancelRequested, this, [this] {
            if (m_exportProgress)
                m_exportProgress->cancel();
        });
    }
    m_exportProgress = std::make_shared<oq::ProgressRecord>(1000);
    m_exportProgress->setLocalizedDescription(localized(QStringLiteral("history.exporting")).arg(QFileInfo(path).fileName()));
    m_exportProgress->setCancellable(true);
    m_exportDialog->followRecord(m_exportProgress.get());
    m_exportDialog->show();
    const auto range = m_plot->selection().value_or(std::make_pair(m_plot->viewFrom(), m_plot->viewTo()));
    const QPointer<HistoryWindow> self(this);
    m_exportThread = std::thread([self, database = m_path, serial = serial(), range, path, format, progress = m_exportProgress] {
        oq::setCurrentThreadName(QStringLiteral("OQHistoryExport"));
        QString error;
        const bool written = exportToFile(database, serial, range, path, format, progress, error);
        const qint64 rows = written ? exportedRows(path, format) : 0;
        oq::dispatchMainAsync([self, written, error, path, rows] {
            if (self)
                self->exportEnded(written, error, path, rows);
        });
    });
    return true;
}

void HistoryWindow::exportEnded(bool written, const QString& error, const QString& path, qint64 rows)
{
    if (m_exportThread.joinable())
        m_exportThread.join();
    m_exportDialog->followRecord(nullptr);
    m_exportDialog->hide();
    const bool cancelled = m_exportProgress && m_exportProgress->isCancelled();
    m_exportProgress.reset();
    if (!written && !cancelled) {
        auto* box = new QMessageBox(QMessageBox::Warning, localized(QStringLiteral("history.export_title")),
            localized(QStringLiteral("history.export_failed")).arg(path, error), QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
    // Where the file went and what it holds, on screen and (a notification) to a screen reader.
    m_exportResult->setText(written ? localized(QStringLiteral("history.exported")).arg(QLocale().toString(rows), path) : QString());
    m_exportResult->setVisible(false);
    m_exportResult->setVisible(written);
    emit exportFinished(written, cancelled ? QString() : error);
}

void HistoryWindow::exportAs(oq::history::ExportFormat format)
{
    if (!m_reader || !m_counter->count())
        return;
    const bool json = format == oq::history::ExportFormat::Json;
    const QString folder = oq::protocolfile::dialogFolder();
    const QString suggested = folder + QStringLiteral("/history-%1.%2").arg(serial().isEmpty() ? QStringLiteral("unknown") : serial(),
        json ? QStringLiteral("json") : QStringLiteral("csv"));
    const QString path = QFileDialog::getSaveFileName(this, localized(QStringLiteral("history.export_title")), suggested,
        json ? QStringLiteral("JSON (*.json)") : QStringLiteral("CSV (*.csv)"));
    oq::protocolfile::rememberDialogFolder(path);
    if (!path.isEmpty())
        startExport(path, format);
}
