#include "app/windows/TransferProgressDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

#include "platform/StringTable.h"

TransferProgressDialog::TransferProgressDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("transferProgressDialog"));
    setWindowTitle(oq::localized(QStringLiteral("ui.app.name")));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(400);

    m_label = new QLabel(this);
    m_label->setWordWrap(true);
    m_bar = new QProgressBar(this);
    m_bar->setAccessibleName(oq::localized(QStringLiteral("ui.progress.accessible")));
    auto* buttons = new QDialogButtonBox(this);
    m_cancel = buttons->addButton(oq::localized(QStringLiteral("ui.progress.cancel")), QDialogButtonBox::RejectRole);
    connect(m_cancel, &QPushButton::clicked, this, &TransferProgressDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    layout->addWidget(buttons);
}

QString TransferProgressDialog::labelText() const { return m_label->text(); }

void TransferProgressDialog::nameBar()
{
    // The bar is heard by what it follows ("Exporting the history to …"), not as any transfer.
    const QString what = m_label->text();
    m_bar->setAccessibleName(what.isEmpty() ? oq::localized(QStringLiteral("ui.progress.accessible")) : what);
}

void TransferProgressDialog::showWaiting(const QString& text, bool cancellable)
{
    follow(nullptr);
    m_highestPercent = 0;
    m_label->setText(text);
    nameBar();
    m_bar->setRange(0, 0);
    m_cancel->setEnabled(cancellable);
}

void TransferProgressDialog::follow(const std::shared_ptr<OQDevice>& device)
{
    disconnect(m_deviceConnection);
    m_device = device;
    if (device)
        m_deviceConnection = connect(device.get(), &OQDevice::progressChanged, this, &TransferProgressDialog::rebind);
    rebind();
}

void TransferProgressDialog::followRecord(oq::ProgressRecord* record)
{
    disconnect(m_deviceConnection);
    m_device.reset();
    bind(record);
}

void TransferProgressDialog::rebind()
{
    const auto device = m_device.lock();
    bind(device ? device->progress().get() : nullptr);
}

void TransferProgressDialog::bind(oq::ProgressRecord* record)
{
    for (const auto& c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_record = record;
    if (m_record) {
        using R = oq::ProgressRecord;
        m_connections << connect(m_record, &R::totalUnitCountChanged, this, &TransferProgressDialog::update);
        m_connections << connect(m_record, &R::completedUnitCountChanged, this, &TransferProgressDialog::update);
        m_connections << connect(m_record, &R::localizedDescriptionChanged, this, &TransferProgressDialog::update);
        m_connections << connect(m_record, &R::cancellableChanged, this, &TransferProgressDialog::update);
        update();
    }
}

void TransferProgressDialog::update()
{
    if (!m_record)
        return;
    m_label->setText(m_record->localizedDescription());
    nameBar();
    m_cancel->setEnabled(m_record->isCancellable() && !m_record->isCancelled());
    const qint64 total = m_record->totalUnitCount();
    if (total <= 0) {
        m_bar->setRange(0, 0);
        return;
    }
    const qint64 completed = std::clamp<qint64>(m_record->completedUnitCount(), 0, total);
    // The counter takes some seconds before the first byte: a bar standing at 0 % would look stuck.
    if (completed == 0) {
        m_label->setText(oq::localized(QStringLiteral("ui.progress.asking")).arg(m_record->localizedDescription()));
        m_bar->setRange(0, 0);
        return;
    }
    // A bar counts in int; the largest record is a 64 KiB memory, but scale rather than trust that.
    const qint64 scale = total > INT_MAX ? total / INT_MAX + 1 : 1;
    m_bar->setRange(0, int(total / scale));
    m_bar->setValue(int(completed / scale));
    m_highestPercent = std::max(m_highestPercent, int(completed * 100 / total));
}

void TransferProgressDialog::reject()
{
    if (m_cancel->isEnabled())
        emit cancelRequested();
}
