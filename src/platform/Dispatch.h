#pragma once
// Counterparts of the main queue, the global background queue and serial queues.
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace oq {

using Task = std::function<void()>;

bool isMainThread();

// Runs `task` on the main thread's event loop later.
void dispatchMainAsync(Task task);
// Runs `task` on the main thread and returns when it has run; inline when called on the main thread.
void dispatchMainSync(Task task);
// Runs `task` on the main thread after `seconds` of modelled time (see Clock.h).
void dispatchMainAfter(double seconds, Task task);

// The process-wide concurrent background queue. The quality-of-service class is kept for the
// record only; Linux has no counterpart.
void dispatchBackground(Task task, int qosClass = 25);

// A queue that runs its tasks one at a time, in order, on its own thread.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task);
    // Waits until `task` has run; inline when already on this queue.
    void sync(const Task& task);
    bool isCurrent() const;
    const QString& label() const { return m_label; }

    // The label of the serial queue the caller runs on, or empty.
    static QString currentLabel();

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Task> m_tasks;
    bool m_stop = false;
    std::thread m_thread;
};

// Names the calling thread (visible in /proc and debuggers; at most 15 characters).
void setCurrentThreadName(const QString& name);
QString currentThreadName();

} // namespace oq
