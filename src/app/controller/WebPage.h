#pragma once
// The window's web page: the server started and stopped as Preferences say, serving the
// controller's counters and the history the window records into. The status says where it is
// served, or why not.
#include <QObject>
#include <QString>

#include <memory>

class OQAppDelegate;

namespace oq::web {
class SnapshotFeed;
class WebServer;
} // namespace oq::web

class WebPage : public QObject {
    Q_OBJECT
public:
    WebPage(OQAppDelegate* controller, const QString& historyPath, QObject* parent = nullptr);
    ~WebPage() override;

    // "Served at URL", "Off", or why it cannot be served; for people.
    QString status() const { return m_status; }
    bool serving() const;
    QString url() const;

    // $XDG_CONFIG_HOME/oq-online/http-token.
    static QString defaultTokenPath();

signals:
    void statusChanged(const QString& status);

private:
    void restart();
    void setStatus(const QString& status);

    OQAppDelegate* m_controller;
    QString m_historyPath;
    std::unique_ptr<oq::web::WebServer> m_server;
    std::unique_ptr<oq::web::SnapshotFeed> m_feed;
    QString m_status;
};
