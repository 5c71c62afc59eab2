#pragma once
// The web page, its JSON and /metrics, served by libmicrohttpd on threads of its own. Those
// threads touch no Qt object of the caller: they read the last published Snapshot and the history
// through read-only connections of their own. GET and HEAD only; nothing served changes anything.
#include <QString>
#include <QStringList>

#include <memory>

#include "web/Snapshot.h"

namespace oq::web {

struct ServerOptions {
    QString address = QStringLiteral("127.0.0.1"); // an IPv4 or IPv6 literal
    quint16 port = 8080;                            // 0: any free port (see WebServer::port())
    QString tokenFile;                              // required unless `address` is a loopback one
    QString certFile, keyFile;                      // PEM; both or neither (then plain HTTP)
    QString historyPath;                            // empty: no plots or exports
    QStringList extraHosts;                         // host names the Host header may carry besides the defaults
};

class WebServer {
public:
    WebServer();
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Starts listening; a text for people saying why not, or empty when it runs.
    QString start(const ServerOptions& options);
    // Any thread; the handlers see it from their next request on.
    void publish(Snapshot snapshot);
    // Waits for the handlers to finish. Also done by the destructor.
    void stop();

    bool running() const;
    // The port listened on (the one chosen when the options asked for 0).
    quint16 port() const;
    // "http://127.0.0.1:8080/" or https.
    QString url() const;

    struct State;

private:
    std::unique_ptr<State> d;
};

// "[ADDRESS:]PORT" as given to --http: a port alone means 127.0.0.1; an IPv6 address in brackets.
// False when it is not one.
bool parseListen(const QString& text, QString* address, quint16* port);

} // namespace oq::web
