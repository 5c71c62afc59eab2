#pragma once
// One oq-online per user session. The running instance holds an flock on a file in the user's
// runtime folder and listens on a local socket beside it; a later launch finds the lock taken,
// hands its request over the socket and exits. The kernel drops the lock with the process that
// held it, so after a crash the next launch simply takes it over: no stale lock to remove by hand.
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QLocalServer;
class QLocalSocket;

// What a launch asks for: the counter it talks to, the dumps to open, and whether to stay hidden.
struct LaunchRequest {
    bool simulate = false;
    QString portPath;
    QStringList files;
    bool hidden = false;

    QByteArray encode() const;
    static std::optional<LaunchRequest> decode(const QByteArray& json);
    // Whether an instance launched with this request cannot serve `later`: it names another
    // counter (or the simulated one) than this one talks to. Naming none is always served.
    bool refuses(const LaunchRequest& later) const;
    // The counter side as the options that chose it, for people to read.
    QString counterOptions() const;
};

struct LaunchReply {
    bool accepted = false;
    LaunchRequest running; // how the running instance was launched

    QByteArray encode() const;
    static std::optional<LaunchReply> decode(const QByteArray& json);
};

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `folder` holds the lock and the socket; it is made private to the user. A folder of another
    // user, one others may change, or one reached through their link is not used (Alone).
    explicit SingleInstance(QString folder = defaultFolder(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/oq-online, or Qt's runtime folder where that variable is unset; empty
    // without either.
    static QString defaultFolder();

    struct Outcome {
        enum Kind {
            Running,    // this process is the session's instance now
            HandedOver, // a running instance answered (`reply`)
            NoAnswer,   // one holds the lock but did not answer in time
            Alone,      // the folder is unusable: this process runs without the others knowing
        } kind = Alone;
        LaunchReply reply;
    };
    // Becomes the running instance, or hands `request` to the one there is. An instance that is
    // just quitting is waited for, up to `timeoutMs`, and then replaced.
    Outcome start(const LaunchRequest& request, int timeoutMs = 10000);

    // On the running instance: answers each later launch, on the main thread. Without a handler
    // (before it is set, and while quitting) a later launch waits and retries.
    void setHandler(std::function<LaunchReply(const LaunchRequest&)> handler) { m_handler = std::move(handler); }
    // Why start() ran Alone: the folder it refused, for people to read; empty otherwise.
    const QString& problem() const { return m_problem; }

private:
    enum class Lock { Taken, Held, Unusable };
    Lock tryLock();
    void listen();
    void serve(QLocalSocket* socket);

    QString m_folder;
    QString m_problem;
    int m_lockFd = -1;
    QLocalServer* m_server = nullptr;
    std::function<LaunchReply(const LaunchRequest&)> m_handler;
};

// The whole of a later launch: hands over, prints a refusal or silence, and gives the exit code.
// Nothing when this process is to run as the instance (or alone, saying why). A running instance
// that does not answer is also told through `tell` (a dialog).
std::optional<int> handOverToRunningInstance(SingleInstance& instance, const LaunchRequest& request,
    const std::function<void(const QString&)>& tell = {}, int timeoutMs = 10000);
