#include "MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>

#include "app/AppDelegate.h"
#include "platform/StringTable.h"
#include "units/ColorManager.h"

using oq::localized;

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
    m_value->setAccessibleName(localized(QStringLiteral("ui.main.value.accessible")));
    QFont valueFont = m_value->font();
    valueFont.setBold(true);
    valueFont.setPointSizeF(48);
    m_value->setFont(valueFont);

    m_rate = new QPushButton(localized(QStringLiteral("ui.main.rate_button")), m_background);
    m_dose = new QPushButton(localized(QStringLiteral("ui.main.dose_button")), m_background);
    for (auto* b : {m_rate, m_dose}) {
        b->setCheckable(true);
        b->setAutoExclusive(false); // the controller sets both states when a counter becomes ready
        b->setMinimumWidth(140);
        b->setFocusPolicy(Qt::StrongFocus);
    }
    m_rate->setObjectName(QStringLiteral("rateButton"));
    m_dose->setObjectName(QStringLiteral("doseButton"));
    m_rate->setToolTip(localized(QStringLiteral("ui.main.rate_button.tooltip")));
    m_dose->setToolTip(localized(QStringLiteral("ui.main.dose_button.tooltip")));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_rate);
    buttons->addSpacing(12);
    buttons->addWidget(m_dose);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(m_background);
    layout->setContentsMargins(16, 8, 16, 16);
    layout->addWidget(m_value, 1);
    layout->addLayout(buttons);
    setCentralWidget(m_background);

    controller->window = this;
    controller->rateButton = m_rate;
    controller->doseButton = m_dose;
    controller->valueTextField = m_value;

    connect(m_rate, &QPushButton::clicked, controller, [this] { m_controller->onlineModeChanged(m_rate); });
    connect(m_dose, &QPushButton::clicked, controller, [this] { m_controller->onlineModeChanged(m_dose); });
    connect(controller, &OQAppDelegate::onlineValueStringChanged, this, &MainWindow::updateValueText);
    if (auto* cm = controller->colorManager()) {
        connect(cm, &ColorManager::fontColorChanged, this, &MainWindow::updateTextColor);
    }
    buildMenus();
    updateValueText();
    updateTextColor();
    resize(640, 300);
}

QMenu* MainWindow::addMenuAfterView(const QString& title)
{
    return menuBar()->addMenu(title);
}

void MainWindow::buildMenus()
{
    auto* file = menuBar()->addMenu(localized(QStringLiteral("ui.menu.file")));
    auto* prefs = file->addAction(localized(QStringLiteral("ui.menu.preferences")));
    prefs->setShortcut(QKeySequence::Preferences);
    prefs->setMenuRole(QAction::PreferencesRole);
    connect(prefs, &QAction::triggered, m_controller, &AppDelegate::showPreferences);
    file->addSeparator();
    auto* quit = file->addAction(localized(QStringLiteral("ui.menu.quit")));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);

    auto* device = menuBar()->addMenu(localized(QStringLiteral("ui.menu.device")));
    device->setObjectName(QStringLiteral("deviceMenu"));
    m_cancelTransfer = device->addAction(localized(QStringLiteral("ui.menu.cancel_transfer")));
    m_cancelTransfer->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
    connect(m_cancelTransfer, &QAction::triggered, m_controller, &OQAppDelegate::cancelTransfer);
}

void MainWindow::updateValueText()
{
    const QString text = m_controller->onlineValueString();
    m_value->setText(text);
    m_value->setAccessibleDescription(text);
}

void MainWindow::updateTextColor()
{
    QPalette p = m_value->palette();
    if (auto* cm = m_controller->colorManager(); cm && cm->fontColor().isValid())
        p.setColor(QPalette::WindowText, cm->fontColor());
    else
        p.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::WindowText));
    m_value->setPalette(p);
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    m_controller->windowWillResize(this, QSizeF(event->size()));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_allowClose) {
        event->accept();
        return;
    }
    // Closing the main window quits, through the same sequence as the menu.
    event->ignore();
    emit quitRequested();
}
