#include "ProgressRecord.h"

namespace oq {

ProgressRecord::ProgressRecord(qint64 total, QObject* parent)
    : QObject(parent)
    , m_total(total)
{
}

double ProgressRecord::fractionCompleted() const
{
    if (m_total <= 0)
        return 0.0;
    return static_cast<double>(m_completed) / static_cast<double>(m_total);
}

void ProgressRecord::setTotalUnitCount(qint64 total)
{
    if (m_total == total)
        return;
    m_total = total;
    emit totalUnitCountChanged(total);
}

void ProgressRecord::setCompletedUnitCount(qint64 completed)
{
    if (m_completed == completed)
        return;
    m_completed = completed;
    emit completedUnitCountChanged(completed);
}

void ProgressRecord::setLocalizedDescription(const QString& text)
{
    if (m_description == text)
        return;
    m_description = text;
    emit localizedDescriptionChanged(text);
}

void ProgressRecord::setCancellable(bool cancellable)
{
    if (m_cancellable == cancellable)
        return;
    m_cancellable = cancellable;
    emit cancellableChanged(cancellable);
}

void ProgressRecord::cancel()
{
    if (m_cancelled.exchange(true))
        return;
    emit cancelledChanged(true);
}

} // namespace oq
