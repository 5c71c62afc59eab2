#pragma once
// Progress of one exchange with the counter, for display and cancellation.
#include <QObject>
#include <QString>

#include <atomic>

namespace oq {

class ProgressRecord : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint64 totalUnitCount READ totalUnitCount WRITE setTotalUnitCount NOTIFY totalUnitCountChanged)
    Q_PROPERTY(qint64 completedUnitCount READ completedUnitCount WRITE setCompletedUnitCount NOTIFY completedUnitCountChanged)
    Q_PROPERTY(QString localizedDescription READ localizedDescription WRITE setLocalizedDescription NOTIFY localizedDescriptionChanged)
    Q_PROPERTY(bool cancellable READ isCancellable WRITE setCancellable NOTIFY cancellableChanged)
    Q_PROPERTY(bool cancelled READ isCancelled NOTIFY cancelledChanged)
    Q_PROPERTY(double fractionCompleted READ fractionCompleted NOTIFY completedUnitCountChanged)
public:
    explicit ProgressRecord(qint64 total = -1, QObject* parent = nullptr);

    qint64 totalUnitCount() const { return m_total; }
    qint64 completedUnitCount() const { return m_completed; }
    QString localizedDescription() const { return m_description; }
    bool isCancellable() const { return m_cancellable; }
    // Read across threads without a lock.
    bool isCancelled() const { return m_cancelled.load(); }
    bool isIndeterminate() const { return m_total < 0; }
    // 0..1; 0 while indeterminate.
    double fractionCompleted() const;

    void setTotalUnitCount(qint64 total);
    void setCompletedUnitCount(qint64 completed);
    void setLocalizedDescription(const QString& text);
    void setCancellable(bool cancellable);

public slots:
    // Sets the cancelled flag; whoever runs the work notices it at its next check point.
    void cancel();

signals:
    void totalUnitCountChanged(qint64);
    void completedUnitCountChanged(qint64);
    void localizedDescriptionChanged(const QString&);
    void cancellableChanged(bool);
    void cancelledChanged(bool);

private:
    qint64 m_total;
    qint64 m_completed = 0;
    QString m_description;
    bool m_cancellable = false;
    std::atomic<bool> m_cancelled{false};
};

} // namespace oq
