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
    // Online reading loops block for as long as the counter streams, so the pool must not be
    // limited to the number of cores like the global pool.
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

void dispatchMainAsync(Task task)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
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
    QMetaObject::invokeMethod(app, std::move(task), Qt::BlockingQueuedConnection);
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
    backgroundPool().start(std::move(task));
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
