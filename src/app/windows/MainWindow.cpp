#include "MainWindow.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QTimer>
#include <QVBoxLayout>

#include "app/controller/AppDelegate.h"
#include "app/controller/ConnectionStatus.h"
#include "app/windows/AccessibleRole.h"
#include "app/menus/DeviceMenu.h"
#include "app/menus/HelpMenu.h"
#include "app/windows/HistoryStrip.h"
#include "app/windows/HistoryWindow.h"
#include "history/HistoryDatabase.h"
#include "app/windows/SpokenReading.h"
#include "app/windows/WindowPlace.h"
#include "logging/Log.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "readings/ValueTransformers.h"
#include "app/windows/ColorManager.h"
#include "device/OQDevice.h"

using oq::localized;

namespace {
// Whether the history strip shows; absent means it does not.
const QString kShowHistoryKey = QStringLiteral("ShowHistoryStrip");
} // namespace

MainWindow::MainWindow(AppDelegate* controller, QWidget* parent)
    : QMainWindow(parent)
    , m_controller(controller)
{
    setWindowTitle(localized(QStringLiteral("ui.app.name")));
    setObjectName(QStringLiteral("mainWindow"));
    setMinimumSize(minimumWindowSize());

    m_background = new QWidget(this);
    m_background->setObjectName(QStringLiteral("backgroundView"));
    m_background->setAutoFillBackground(true);

    m_value = new QLabel(m_background);
    m_value->setObjectName(QStringLiteral("valueTextField"));
    m_value->setAlignment(Qt::AlignCenter);
    m_value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_value->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    QFont valueFont = m_value->font();
    valueFont.setBold(true);
    valueFont.setPointSizeF(48);
    m_value->setFont(valueFont);

    // The level in words under the figure: the colour alone does not tell everyone. To a screen
    // reader it is a notification, which is read out whenever it (re)appears.
    m_levelText = new QLabel(m_background);
    setAccessibleRole(m_levelText, QAccessible::Notification);
    m_levelText->setObjectName(QStringLiteral("levelTextField"));
    m_levelText->setAlignment(Qt::AlignCenter);
    QFont levelFont = m_levelText->font();
    levelFont.setBold(true);
    levelFont.setPointSizeF(levelFont.pointSizeF() * 1.5);
    m_levelText->setFont(levelFont);
    m_levelText->setVisible(false);

    m_status = new QLabel(m_background);
    m_status->setObjectName(QStringLiteral("statusTextField"));
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status->setTextFormat(Qt::PlainText); // it names ports, paths and the counter's texts
    QFont statusFont = m_status->font();
    statusFont.setPointSizeF(statusFont.pointSizeF() * 1.25);
    m_status->setFont(statusFont);
    m_connectionStatus = new ConnectionStatus(controller, this);

    // What a screen reader is told that no focus change would bring: the status, an unplug, a
    // switch of counter. Outside the layout and without text: it is heard, not seen (the status
    // and the title show the same).
    m_announcement = new QLabel(m_background);
    setAccessibleRole(m_announcement, QAccessible::Notification);
    m_announcement->setObjectName(QStringLiteral("announcement"));
    m_announcement->setGeometry(0, 0, 1, 1);
    m_announcement->setVisible(false);
    m_announceTimer = new QTimer(this);
    m_announceTimer->setSingleShot(true);
    connect(m_announceTimer, &QTimer::timeout, this, &MainWindow::announce);

    // One of the two is shown: to a screen reader they are a pair of radio buttons. Marked before
    // anything is set on them, as the first change already makes their accessible interface.
    m_rate = new QPushButton(m_background);
    m_dose = new QPushButton(m_background);
    setAccessibleRole(m_rate, QAccessible::RadioButton);
    setAccessibleRole(m_dose, QAccessible::RadioButton);
    m_rate->setText(localized(QStringLiteral("ui.main.rate_button")));
    m_dose->setText(localized(QStringLiteral("ui.main.dose_button")));
    for (auto* b : {m_rate, m_dose}) {
        b->setCheckable(true);
        b->setAutoExclusive(false); // the controller sets both states when a counter becomes ready
        b->setMinimumWidth(140);
        b->setFocusPolicy(Qt::StrongFocus);
    }
    m_rate->setObjectName(QStringLiteral("rateButton"));
    m_dose->setObjectName(QStringLiteral("doseButton"));
    m_rate->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    m_dose->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_2));
    const auto tooltip = [](QPushButton* b, const char* key) {
        b->setToolTip(localized(QStringLiteral("ui.main.shortcut_hint"))
                          .arg(localized(QString::fromLatin1(key)), b->shortcut().toString(QKeySequence::NativeText)));
    };
    tooltip(m_rate, "ui.main.rate_button.tooltip");
    tooltip(m_dose, "ui.main.dose_button.tooltip");

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_rate);
    buttons->addSpacing(12);
    buttons->addWidget(m_dose);
    buttons->addStretch(1);

    m_history = new HistoryStrip(m_background);
    m_history->setVisible(false);
    // The strip keeps the readings of a counter that has gone, and their unit with them.
    m_history->setValueFormatter([controller, last = std::make_shared<std::shared_ptr<DisplayValueTransformer>>()](double value) {
        if (auto transformer = controller->displayValueTransformer())
            *last = std::move(transformer);
        return *last ? (*last)->transformedValue(value) : QLocale().toString(value, 'g', 3);
    });

    auto* layout = new QVBoxLayout(m_background);
    layout->setContentsMargins(16, 8, 16, 16);
    layout->addWidget(m_value, 1);
    layout->addWidget(m_levelText);
    layout->addWidget(m_status);
    layout->addWidget(m_history);
    layout->addLayout(buttons);
    setCentralWidget(m_background);

    controller->window = this;
    controller->rateButton = m_rate;
    controller->doseButton = m_dose;
    controller->valueTextField = m_value;

    connect(m_rate, &QPushButton::clicked, controller, [this] { m_controller->onlineModeChanged(m_rate); });
    connect(m_dose, &QPushButton::clicked, controller, [this] { m_controller->onlineModeChanged(m_dose); });
    connect(controller, &OQAppDelegate::onlineValueStringChanged, this, &MainWindow::updateValueText);
    connect(controller, &OQAppDelegate::deviceOnlineValueChanged, this, &MainWindow::addHistoryReading);
    connect(controller, &OQAppDelegate::onlineModeChanged, this, &MainWindow::updateHistoryMode);
    connect(controller, &OQAppDelegate::displayValueTransformerChanged, m_history, qOverload<>(&QWidget::update));
    connect(m_connectionStatus, &ConnectionStatus::changed, this, &MainWindow::updateStatusText);
    connect(m_connectionStatus, &ConnectionStatus::changed, this, &MainWindow::updateLevelText);
    connect(m_connectionStatus, &ConnectionStatus::changed, this, &MainWindow::updateShownCounter);
    connect(controller, &OQAppDelegate::deviceChanged, this, &MainWindow::updateShownCounter);
    connect(controller, &OQAppDelegate::countersChanged, this, &MainWindow::updateShownCounter);
    if (auto* cm = controller->colorManager()) {
        connect(cm, &ColorManager::fontColorChanged, this, &MainWindow::updateTextColor);
        connect(cm, &ColorManager::backgroundColorChanged, this, &MainWindow::updateTextColor);
        connect(cm, &ColorManager::levelChanged, this, &MainWindow::updateValueText);
    }
    updateModeButtonStyle();
    buildMenus();
    updateValueText();
    updateStatusText();
    updateTextColor();
    updateHistoryMode();
    updateShownCounter();
    resize(640, 300);
    rememberWindowPlace(this, oq::settings::MainWindowPlace);
    if (oq::SettingsStore::shared().objectForKey(kShowHistoryKey).toBool())
        setHistoryVisible(true);
}

QMenu* MainWindow::addMenuAfterView(const QString& title)
{
    // Help stays last, where people look for it.
    auto* menu = new QMenu(title, menuBar());
    menuBar()->insertMenu(m_helpMenuBar->menuAction(), menu);
    return menu;
}

void MainWindow::buildMenus()
{
    auto* file = menuBar()->addMenu(localized(QStringLiteral("ui.menu.file")));
    auto* prefs = file->addAction(localized(QStringLiteral("ui.menu.preferences")));
    // Ctrl+, as elsewhere, beside whatever the desktop binds to Preferences.
    QList<QKeySequence> prefsKeys = QKeySequence::keyBindings(QKeySequence::Preferences);
    if (!prefsKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_Comma)))
        prefsKeys << QKeySequence(Qt::CTRL | Qt::Key_Comma);
    prefs->setShortcuts(prefsKeys);
    prefs->setMenuRole(QAction::PreferencesRole);
    connect(prefs, &QAction::triggered, m_controller, &AppDelegate::showPreferences);
    file->addSeparator();
    auto* quit = file->addAction(localized(QStringLiteral("ui.menu.quit")));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);

    m_viewMenu = menuBar()->addMenu(localized(QStringLiteral("ui.menu.view")));
    m_viewMenu->setObjectName(QStringLiteral("viewMenu"));
    m_showHistory = m_viewMenu->addAction(localized(QStringLiteral("ui.menu.view.history")));
    m_showHistory->setCheckable(true);
    m_showHistory->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(m_showHistory, &QAction::toggled, this, &MainWindow::setHistoryVisible);
    m_historyWindowAction = m_viewMenu->addAction(localized(QStringLiteral("ui.menu.view.history_window")));
    m_historyWindowAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H));
    connect(m_historyWindowAction, &QAction::triggered, this, [this] { historyWindow()->showWindow(); });

    auto* device = menuBar()->addMenu(localized(QStringLiteral("ui.menu.device")));
    device->setObjectName(QStringLiteral("deviceMenu"));
    m_cancelTransfer = device->addAction(localized(QStringLiteral("ui.menu.cancel_transfer")));
    m_cancelTransfer->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
    connect(m_cancelTransfer, &QAction::triggered, m_controller, &OQAppDelegate::cancelTransfer);
    connect(m_controller, &OQAppDelegate::deviceChanged, this, &MainWindow::observeTransfer);
    observeTransfer();
    m_deviceMenu = new DeviceMenu(m_controller, this, file, device);
    m_helpMenuBar = menuBar()->addMenu(localized(QStringLiteral("ui.menu.help")));
    m_helpMenu = new HelpMenu(m_controller, this, m_helpMenuBar);
}

HistoryWindow* MainWindow::historyWindow()
{
    if (!m_historyWindow)
        m_historyWindow = new HistoryWindow(oq::history::defaultPath(), this);
    return m_historyWindow;
}

void MainWindow::setHistoryVisible(bool visible)
{
    if (m_showHistory->isChecked() != visible)
        m_showHistory->setChecked(visible); // comes back here through toggled
    if (m_history->isVisibleTo(this) == visible)
        return;
    m_history->setVisible(visible);
    oq::SettingsStore::shared().setObject(kShowHistoryKey, visible);
    m_controller->windowWillResize(this, valueFitArea(size()));
}

QSizeF MainWindow::valueFitArea(const QSize& windowSize) const
{
    QSizeF area(windowSize);
    const int spacing = m_background->layout() ? std::max(0, m_background->layout()->spacing()) : 0;
    if (m_history->isVisibleTo(this))
        area.setHeight(area.height() - m_history->height() - spacing);
    if (m_status->isVisibleTo(this))
        area.setHeight(area.height() - m_status->sizeHint().height() - spacing);
    if (m_levelText->isVisibleTo(this))
        area.setHeight(area.height() - m_levelText->sizeHint().height() - spacing);
    return area;
}

void MainWindow::addHistoryReading()
{
    const auto device = m_controller->device();
    m_history->addReading(device ? device->onlineValue() : std::nullopt);
}

void MainWindow::updateHistoryMode()
{
    const QVariant mode = m_controller->onlineMode();
    m_history->setMode(mode.isValid() ? mode.toLongLong() : 0);
}

void MainWindow::updateValueText()
{
    const QString text = m_controller->onlineValueString();
    m_value->setText(text);
    const auto* cm = m_controller->colorManager();
    QString spoken = spokenReading(text, cm ? cm->level() : ColorManager::Level::Normal);
    // With several counters plugged in, which one this is.
    if (const auto device = m_controller->device(); device && m_controller->counterSet().counters().size() > 1)
        spoken = localized(QStringLiteral("ui.a11y.reading_of")).arg(spoken, m_controller->counterName(device.get()));
    m_value->setAccessibleName(spoken);
    m_value->setAccessibleDescription(localized(QStringLiteral("ui.main.value.accessible")));
    updateLevelText();
    if (m_connectionStatus)
        updateStatusText();
}

void MainWindow::updateLevelText()
{
    const auto* cm = m_controller->colorManager();
    const QString shown = m_value->text();
    const bool figure = cm && !shown.isEmpty() && !shown.startsWith(QLatin1String("---")) && !counterSilent();
    const oq::Level level = cm ? cm->level() : oq::Level::Normal;
    static const char* const keys[] = {"preferences.level.normal", "preferences.level.warning", "preferences.level.danger"};
    const QString words = figure ? localized(QString::fromLatin1(keys[int(level)])) : QString();
    const bool wasVisible = m_levelText->isVisibleTo(this);
    m_levelText->setText(words);
    m_levelText->setVisible(figure);
    if (wasVisible != figure)
        m_controller->windowWillResize(this, valueFitArea(size()));
    if (!figure) {
        m_announcedLevel.reset();
        return;
    }
    m_levelText->setAccessibleName(localized(QStringLiteral("ui.a11y.level_now")).arg(words, spokenValue(shown)));
    // A change of level is told at once, wherever the focus is: the notification shows anew, which
    // reaches AT-SPI as "object:state-changed:showing" (Orca reads a notification that shows), and
    // an alert is raised on it for bridges that pass alerts on. No frame is drawn in between.
    if (m_announcedLevel && *m_announcedLevel != level) {
        m_levelText->setVisible(false);
        m_levelText->setVisible(true);
        QAccessibleEvent alert(m_levelText, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
    m_announcedLevel = level;
}

void MainWindow::updateStatusText()
{
    const bool wasVisible = m_status->isVisibleTo(this);
    QStringList lines{m_connectionStatus->text(), m_historyTrouble};
    lines.removeAll(QString());
    m_status->setText(lines.join(QLatin1Char('\n')));
    m_status->setVisible(!lines.isEmpty());
    // Without a figure to show, the words take its place in the middle of the window.
    const QString shown = m_value->text();
    // A silent counter's last reading is not current: it is not shown at all.
    const bool noFigure = shown.isEmpty() || shown == QLatin1String("---") || counterSilent();
    m_value->setVisible(!(m_status->isVisibleTo(this) && noFigure));
    if (auto* layout = qobject_cast<QVBoxLayout*>(m_background->layout()))
        layout->setStretchFactor(m_status, m_value->isVisibleTo(this) ? 0 : 1);
    if (wasVisible != m_status->isVisibleTo(this))
        m_controller->windowWillResize(this, valueFitArea(size()));
}

void MainWindow::updateShownCounter()
{
    const auto device = m_controller->device();
    const QString name = device && device->info() ? m_controller->counterName(device.get()) : QString();
    const QString app = localized(QStringLiteral("ui.app.name"));
    setWindowTitle(name.isEmpty() ? app : localized(QStringLiteral("ui.main.title_with_counter")).arg(app, name));
    // The address alone could be a new counter's in the old one's place.
    if (device.get() != m_shownRaw || (device && m_shownDevice.expired())) {
        const auto shown = m_shownDevice.lock();
        if (m_shownRaw && !(shown && m_controller->hasDevice(shown)))
            m_counterNews << (m_shownName.isEmpty() ? localized(QStringLiteral("ui.a11y.unnamed_counter_unplugged"))
                                                    : localized(QStringLiteral("ui.a11y.counter_unplugged")).arg(m_shownName));
        // Which counter is shown is news when another was shown or went just now (the switch may
        // pass through none), or when there is a choice.
        if (device && (m_shownRaw || !m_counterNews.isEmpty() || m_controller->counterSet().counters().size() > 1))
            m_pendingShownNews = true;
        m_shownDevice = device;
        m_shownRaw = device.get();
        m_shownName.clear();
    }
    if (!name.isEmpty()) {
        m_shownName = name;
        if (std::exchange(m_pendingShownNews, false))
            m_counterNews << localized(QStringLiteral("ui.a11y.counter_shown")).arg(name);
    }
    queueAnnouncement();
}

void MainWindow::queueAnnouncement()
{
    // Just after the window shows a screen reader is still reading the window itself and would
    // cut the news short; after, what changed at one moment is said at once, in one phrase.
    // A switch of counter waits for the new one's name, which may take a moment to read; the
    // news of the one that went waits with it.
    const int delay = m_pendingShownNews ? kCounterNameWaitMs : 0;
    if (m_announceReady && (!m_announceTimer->isActive() || m_announceTimer->interval() != delay))
        m_announceTimer->start(delay);
}

void MainWindow::announce()
{
    m_announceReady = true;
    QStringList parts = std::exchange(m_counterNews, {});
    // The headline of the status: the first line, unless it is the cause of a failure.
    QString status = m_connectionStatus->text();
    if (m_connectionStatus->state() == ConnectionStatus::State::Failed)
        status.replace(QLatin1Char('\n'), QLatin1Char(' '));
    else
        status = status.section(QLatin1Char('\n'), 0, 0);
    if (!status.isEmpty() && status != m_announcedStatus)
        parts << status;
    m_announcedStatus = status;
    if (parts.isEmpty())
        return;
    m_announcement->setAccessibleName(parts.join(QStringLiteral(". ")));
    // A notification that shows is read out (see updateLevelText).
    m_announcement->setVisible(false);
    m_announcement->setVisible(true);
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        updateModeButtonStyle();
        updateTextColor();
    }
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_announceReady && !m_announceTimer->isActive())
        m_announceTimer->start(kFirstAnnouncementDelayMs);
}

void MainWindow::observeTransfer()
{
    for (const auto& c : std::exchange(m_transferWatch, {}))
        disconnect(c);
    const auto device = m_controller->device();
    const auto progress = device ? device->progress() : nullptr;
    if (device) {
        m_transferWatch << connect(device.get(), &OQDevice::progressChanged, this, &MainWindow::observeTransfer);
        m_transferWatch << connect(device.get(), &OQDevice::busyChanged, this, &MainWindow::observeTransfer);
    }
    if (progress) {
        m_transferWatch << connect(progress.get(), &oq::ProgressRecord::cancellableChanged, this, &MainWindow::observeTransfer);
        m_transferWatch << connect(progress.get(), &oq::ProgressRecord::cancelledChanged, this, &MainWindow::observeTransfer);
    }
    // Only a transfer under way that can still be cancelled; a finished one's record stays behind.
    m_cancelTransfer->setEnabled(device && device->busy() && progress && progress->isCancellable()
                                 && !progress->isCancelled());
}

void MainWindow::setHistoryTrouble(const QString& trouble)
{
    m_historyTrouble = trouble;
    updateStatusText();
}

bool MainWindow::counterSilent() const
{
    return m_connectionStatus && m_connectionStatus->state() == ConnectionStatus::State::Silent;
}

void MainWindow::updateTextColor()
{
    // Through style sheets: an application style sheet (-stylesheet) would paint over a palette.
    const auto* cm = m_controller->colorManager();
    if (!cm || !cm->fontColor().isValid()) {
        m_value->setStyleSheet({});
        m_levelText->setStyleSheet({});
        return;
    }
    const QColor font = cm->fontColor();
    m_value->setStyleSheet(QStringLiteral("color: %1;").arg(styleSheetColor(font)));
    // The level word is small text: it needs more contrast than the large figure in the same colour.
    // Against what is painted: a level's own background, else what an application style sheet
    // paints (a widget of the same name without our palette tells), else the palette's.
    QColor background = cm->backgroundColor();
    if (m_background->styleSheet().isEmpty()) {
        QWidget probe;
        probe.setObjectName(m_background->objectName());
        probe.ensurePolished();
        background = probe.palette().color(QPalette::Window);
    }
    m_levelText->setStyleSheet(QStringLiteral("color: %1;").arg(styleSheetColor(legibleOn(font, background))));
}

void MainWindow::updateModeButtonStyle()
{
    // The chosen mode filled and bold, not a shade of grey apart; the fill is darkened until its
    // white words are legible, whatever the desktop's highlight.
    const QColor fill = legibleOn(QApplication::palette().color(QPalette::Highlight), Qt::white);
    const QString sheet = QStringLiteral(
        "QPushButton:checked { background-color: %1; color: white; font-weight: bold; border: 1px solid %1;"
        " border-radius: 3px; padding: 3px 10px; }")
                              .arg(styleSheetColor(fill));
    for (auto* b : {m_rate, m_dose})
        b->setStyleSheet(sheet);
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    m_controller->windowWillResize(this, valueFitArea(event->size()));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_allowClose) {
        event->accept();
        return;
    }
    event->ignore();
    // Kept running, the reading and its alerts go on out of sight (the tray or a notification
    // brings the window back).
    if (oq::settings::alertOption(oq::settings::KeepRunningWhenClosed)) {
        LGLogInfo("Main window closed; keeping on running");
        hide();
        emit keptRunning();
        return;
    }
    // Closing the main window quits, through the same sequence as the menu.
    emit quitRequested();
}
