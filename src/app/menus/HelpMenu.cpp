#include "HelpMenu.h"

#include <QAbstractButton>
#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QIcon>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QUrl>

#include "app/controller/AppDelegate.h"
#include "app/BuildInfo.h"
#include "app/shell/CrashReporter.h"
#include "logging/LGFileLogger.h"
#include "logging/LGLogFileManager.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"

using oq::localized;

HelpMenu::HelpMenu(AppDelegate* controller, QWidget* window, QMenu* menu)
    : QObject(window)
    , m_controller(controller)
    , m_window(window)
{
    menu->setObjectName(QStringLiteral("helpMenu"));
    m_shortcuts = menu->addAction(localized(QStringLiteral("ui.menu.shortcuts")));
    connect(m_shortcuts, &QAction::triggered, this, &HelpMenu::showShortcuts);
    m_openLogs = menu->addAction(localized(QStringLiteral("ui.menu.open_log_folder")));
    connect(m_openLogs, &QAction::triggered, this, &HelpMenu::openLogFolder);
    menu->addSeparator();
    m_about = menu->addAction(localized(QStringLiteral("ui.menu.about")));
    m_about->setMenuRole(QAction::AboutRole);
    connect(m_about, &QAction::triggered, this, &HelpMenu::showAbout);
}

QString HelpMenu::logFolder() const
{
    if (auto* logger = m_controller->fileLogger(); logger && logger->logFileManager())
        return logger->logFileManager()->logsDirectory();
    const QString chosen = m_controller->launchOptions().logsDirectory;
    return chosen.isEmpty() ? LGLogFileManagerDefault::defaultLogsDirectory() : chosen;
}

QString HelpMenu::aboutText() const
{
    const auto folder = [](const QString& path) { return QDir::toNativeSeparators(path).toHtmlEscaped(); };
    return localized(QStringLiteral("ui.about.body"))
        .arg(localized(QStringLiteral("ui.about.text")).toHtmlEscaped(),
             QStringLiteral(OQ_VERSION), QStringLiteral(OQ_BUILD_NUMBER), QString::fromLatin1(qVersion()),
             localized(QStringLiteral("ui.about.licence")).toHtmlEscaped(),
             folder(oq::SettingsStore::defaultFilePath()), folder(logFolder()),
             folder(CrashReporter::defaultFolder()));
}

void HelpMenu::showAbout()
{
    QMessageBox box(m_window);
    box.setObjectName(QStringLiteral("aboutBox"));
    box.setWindowTitle(localized(QStringLiteral("ui.menu.about")).remove(QLatin1Char('&')));
    // The installed icon; a build that is not installed has none, and shows the box's own.
    if (const QIcon icon = QIcon::fromTheme(QStringLiteral("oq-online")); !icon.isNull())
        box.setIconPixmap(icon.pixmap(64, 64));
    else
        box.setIcon(QMessageBox::Information);
    box.setTextFormat(Qt::RichText);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.setText(aboutText());
    box.exec();
}

void HelpMenu::showShortcuts()
{
    QMessageBox box(m_window);
    box.setObjectName(QStringLiteral("shortcutsBox"));
    box.setWindowTitle(localized(QStringLiteral("ui.menu.shortcuts")).remove(QLatin1Char('&')));
    box.setTextFormat(Qt::RichText);
    box.setText(shortcutsText());
    box.exec();
}

QString HelpMenu::shortcutsText() const
{
    // Read off the window itself, so the list never disagrees with what the keys do.
    QString rows;
    const auto addRow = [&rows](const QKeySequence& keys, QString label) {
        if (keys.isEmpty())
            return;
        label.remove(QLatin1Char('&'));
        rows += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>")
                    .arg(keys.toString(QKeySequence::NativeText).toHtmlEscaped(), label.toHtmlEscaped());
    };
    // Buttons of the main window only: those of its other windows act only there.
    for (auto* button : m_window->findChildren<QAbstractButton*>()) {
        if (button->window() == m_window)
            addRow(button->shortcut(), button->text());
    }
    if (auto* main = qobject_cast<QMainWindow*>(m_window)) {
        for (auto* menuAction : main->menuBar()->actions()) {
            if (!menuAction->menu())
                continue;
            for (auto* action : menuAction->menu()->actions()) {
                for (const QKeySequence& keys : action->shortcuts())
                    addRow(keys, action->text());
            }
        }
    }
    return QStringLiteral("<table cellspacing=\"6\">%1</table>").arg(rows);
}

void HelpMenu::openLogFolder()
{
    const QString folder = logFolder();
    QDir().mkpath(folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}
