#include "Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <pthread.h>

#include "Clock.h"

namespace oq {
namespace {
thread_local const SerialQueue* t_currentQueue = nullptr;

QThreadPool& backgroundPool()
{
    // Tasks may block (file housekeeping on a slow disk), so the pool is not limited to the number
    // of cores like the global pool.
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(64);
        p->setExpiryTimeout(30000);
        return p;
    }();
    return *pool;
}
} // namespace

bool isMainThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

namespace {
// Runs main-thread tasks one per posted event, in the order they were posted. The tasks pass
// through our own lock rather than only through Qt's event queue, whose locks thread checkers do
// not see; the event itself carries nothing.
class MainQueue final : public QObject {
public:
    static MainQueue& instance()
    {
        static MainQueue* queue = [] {
            auto* q = new MainQueue;
            q->moveToThread(QCoreApplication::instance()->thread());
            return q;
        }();
        return *queue;
    }

    void post(Task task)
    {
        QEvent* wake = nullptr;
        {
            // Made under the lock that event() takes before it reads the event, for the same reason.
            std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
            wake = new QEvent(kRunTask);
        }
        QCoreApplication::postEvent(this, wake);
    }

protected:
    bool event(QEvent* e) override
    {
        Task task;
        {
            std::unique_lock lock(m_mutex);
            if (e->type() != kRunTask) {
                lock.unlock();
                return QObject::event(e);
            }
            if (m_tasks.empty())
                return true;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
        return true;
    }

private:
    static constexpr QEvent::Type kRunTask = QEvent::Type(QEvent::User + 0x4F51);
    std::mutex m_mutex;
    std::deque<Task> m_tasks;
};
} // namespace

void dispatchMainAsync(Task task)
{
    if (!QCoreApplication::instance())
        return;
    MainQueue::instance().post(std::move(task));
}

void dispatchMainSync(Task task)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    if (isMainThread()) {
        task();
        return;
    }
    // The caller waits on our own lock rather than on Qt's internal semaphore, so that thread
    // checkers see that all the task did comes before the caller goes on. The gate opens when the
    // queued call is gone: after it ran, or when it was dropped unrun (the application went down).
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    auto opener = std::shared_ptr<void>(nullptr, [gate](void*) {
        {
            std::lock_guard lock(gate->mutex);
            gate->open = true;
        }
        gate->opened.notify_all();
    });
    // Qt makes the queued call's copy of the lambda on this thread and the main thread reads it;
    // holding a lock of ours across the posting, which the call takes before it reads anything,
    // orders the two where checkers can see it.
    static std::mutex handoff;
    {
        std::lock_guard posting(handoff);
        QMetaObject::invokeMethod(
            app,
            [&task, opener] {
                { std::lock_guard received(handoff); }
                task();
            },
            Qt::QueuedConnection);
    }
    opener.reset();
    std::unique_lock lock(gate->mutex);
    gate->opened.wait(lock, [&gate] { return gate->open; });
}

void dispatchMainAfter(double seconds, Task task)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    const int ms = clock::scaledMs(seconds);
    auto arm = [app, ms, task = std::move(task)]() mutable { QTimer::singleShot(ms, app, std::move(task)); };
    if (isMainThread())
        arm();
    else
        dispatchMainAsync(std::move(arm));
}

void dispatchBackground(Task task, int /*qosClass*/)
{
    // Tasks pass through our own lock rather than only through the pool's internal one, so that
    // thread checkers see that what the caller did comes before the task runs.
    // Never destroyed, like the pool: its threads may still take tasks while the process exits.
    struct Pending {
        std::mutex mutex;
        std::deque<Task> tasks;
    };
    static Pending* pending = new Pending;
    {
        std::lock_guard lock(pending->mutex);
        pending->tasks.push_back(std::move(task));
    }
    backgroundPool().start([] {
        Task next;
        {
            std::lock_guard lock(pending->mutex);
            next = std::move(pending->tasks.front());
            pending->tasks.pop_front();
        }
        next();
    });
}

SerialQueue::SerialQueue(QString label)
    : m_label(std::move(label))
{
    m_thread = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

void SerialQueue::async(Task task)
{
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_one();
}

void SerialQueue::sync(const Task& task)
{
    if (isCurrent()) {
        task();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    async([&] {
        task();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const { return t_currentQueue == this; }

QString SerialQueue::currentLabel() { return t_currentQueue ? t_currentQueue->m_label : QString(); }

void SerialQueue::run()
{
    t_currentQueue = this;
    setCurrentThreadName(m_label);
    for (;;) {
        Task task;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_stop || !m_tasks.empty(); });
            if (m_tasks.empty())
                return; // stopping, and everything queued has run
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

void setCurrentThreadName(const QString& name)
{
    pthread_setname_np(pthread_self(), name.left(15).toUtf8().constData());
}

QString currentThreadName()
{
    char buf[32] = {};
    if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0)
        return {};
    return QString::fromUtf8(buf);
}

} // namespace oq
