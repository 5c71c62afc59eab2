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
#include "logging/Log.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "readings/ValueTransformers.h"
#include "app/windows/ColorManager.h"

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
    if (auto* cm = controller->colorManager()) {
        connect(cm, &ColorManager::fontColorChanged, this, &MainWindow::updateTextColor);
        connect(cm, &ColorManager::levelChanged, this, &MainWindow::updateValueText);
    }
    buildMenus();
    updateValueText();
    updateStatusText();
    updateTextColor();
    updateHistoryMode();
    resize(640, 300);
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
    m_value->setAccessibleName(spokenReading(text, cm ? cm->level() : ColorManager::Level::Normal));
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
    m_levelText->setAccessibleName(localized(QStringLiteral("ui.a11y.level_now")).arg(words));
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
    QPalette p = m_value->palette();
    if (auto* cm = m_controller->colorManager(); cm && cm->fontColor().isValid())
        p.setColor(QPalette::WindowText, cm->fontColor());
    else
        p.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::WindowText));
    m_value->setPalette(p);
    m_levelText->setPalette(p);
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
