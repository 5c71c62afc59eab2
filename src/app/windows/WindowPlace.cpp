#include "app/windows/WindowPlace.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>

#include "platform/SettingsStore.h"

namespace {
class WindowPlaceKeeper : public QObject {
public:
    WindowPlaceKeeper(QWidget* window, const QString& key)
        : QObject(window)
        , m_window(window)
        , m_key(key)
    {
        // A move or a drag of the edge sends many events: kept once it has come to rest.
        m_save.setSingleShot(true);
        m_save.setInterval(500);
        connect(&m_save, &QTimer::timeout, this, &WindowPlaceKeeper::save);
        const QByteArray stored = QByteArray::fromBase64(oq::SettingsStore::text(oq::SettingsStore::shared().objectForKey(key)).toLatin1());
        if (!stored.isEmpty())
            window->restoreGeometry(stored);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_window) {
            switch (event->type()) {
            case QEvent::Show:
                m_shown = true;
                break;
            case QEvent::Move:
            case QEvent::Resize:
                if (m_window->isVisible())
                    m_save.start();
                break;
            case QEvent::Hide:
            case QEvent::Close:
                save();
                break;
            default:
                break;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void save()
    {
        m_save.stop();
        if (m_shown)
            oq::SettingsStore::shared().setObject(m_key, QString::fromLatin1(m_window->saveGeometry().toBase64()));
    }

    QWidget* m_window;
    QString m_key;
    QTimer m_save;
    bool m_shown = false;
};
} // namespace

void rememberWindowPlace(QWidget* window, const QString& key)
{
    new WindowPlaceKeeper(window, key);
}
